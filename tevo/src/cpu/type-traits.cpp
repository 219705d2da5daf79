#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The CPU engine's row per element type: how floats become a row of the
// type, which dot product multiplies its rows and with which partner type.
// The routines themselves are in cpu/vec.

#include "cpu/impl.h"
#include "cpu/quants/quants.h"
#include "cpu/vec/vec.h"

// ---------------------------------------------------------------------------
// the table; entries take untyped rows, so typed routines get thin adapters

static void tevo_from_float_f32(const float * x, void * y, int64_t n) {
    tevo_cpu_fp32_to_fp32(x, (float *) y, n);
}

static void tevo_from_float_f16(const float * x, void * y, int64_t n) {
    tevo_cpu_fp32_to_fp16(x, (tevo_fp16_t *) y, n);
}

static void tevo_from_float_bf16(const float * x, void * y, int64_t n) {
    tevo_cpu_fp32_to_bf16(x, (tevo_bf16_t *) y, n);
}

static void tevo_from_float_i32(const float * x, void * y, int64_t n) {
    tevo_cpu_fp32_to_i32(x, (int32_t *) y, n);
}

static void tevo_vec_dot_f32_any(int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by,
                                 int nrc) {
    tevo_vec_dot_f32(n, s, bs, (const float *) x, bx, (const float *) y, by, nrc);
}

static void tevo_vec_dot_f16_any(int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by,
                                 int nrc) {
    tevo_vec_dot_f16(n, s, bs, (const tevo_fp16_t *) x, bx, (const tevo_fp16_t *) y, by, nrc);
}

static void tevo_vec_dot_bf16_any(int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by,
                                  int nrc) {
    tevo_vec_dot_bf16(n, s, bs, (const tevo_bf16_t *) x, bx, (const tevo_bf16_t *) y, by, nrc);
}

static struct tevo_type_traits_cpu tevo_make_traits(tevo_from_float_t from_float, tevo_vec_dot_t vec_dot,
                                                    enum tevo_type vec_dot_type, int64_t nrows) {
    struct tevo_type_traits_cpu t;
    t.from_float   = from_float;
    t.vec_dot      = vec_dot;
    t.vec_dot_type = vec_dot_type;
    t.nrows        = nrows;
    return t;
}

struct tevo_cpu_traits_table {
    struct tevo_type_traits_cpu rows[TEVO_TYPE_COUNT];
};

// rows not set stay empty: no functions, partner type F32, 0 rows
static const struct tevo_type_traits_cpu * tevo_cpu_type_traits(void) {
    static const tevo_cpu_traits_table table = [] {
        tevo_cpu_traits_table t;
        for (int i = 0; i < TEVO_TYPE_COUNT; ++i) {
            t.rows[i] = tevo_make_traits(NULL, NULL, TEVO_TYPE_F32, 0);
        }
        auto set = [&t](enum tevo_type type, tevo_from_float_t ff, tevo_vec_dot_t vd, enum tevo_type vt,
                        int64_t nrows) { t.rows[type] = tevo_make_traits(ff, vd, vt, nrows); };

        set(TEVO_TYPE_F32,     tevo_from_float_f32,  tevo_vec_dot_f32_any,       TEVO_TYPE_F32,  1);
        set(TEVO_TYPE_F16,     tevo_from_float_f16,  tevo_vec_dot_f16_any,       TEVO_TYPE_F16,  1);
        set(TEVO_TYPE_Q4_0,    quantize_row_q4_0,    tevo_vec_dot_q4_0_q8_0,     TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_Q4_1,    quantize_row_q4_1,    tevo_vec_dot_q4_1_q8_1,     TEVO_TYPE_Q8_1, 1);
        set(TEVO_TYPE_Q5_0,    quantize_row_q5_0,    tevo_vec_dot_q5_0_q8_0,     TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_Q5_1,    quantize_row_q5_1,    tevo_vec_dot_q5_1_q8_1,     TEVO_TYPE_Q8_1, 1);
        set(TEVO_TYPE_Q8_0,    quantize_row_q8_0,    tevo_vec_dot_q8_0_q8_0,     TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_Q8_1,    quantize_row_q8_1,    NULL,                       TEVO_TYPE_Q8_1, 1);
        set(TEVO_TYPE_Q2_K,    quantize_row_q2_K,    tevo_vec_dot_q2_K_q8_K,     TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_Q3_K,    quantize_row_q3_K,    tevo_vec_dot_q3_K_q8_K,     TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_Q4_K,    quantize_row_q4_K,    tevo_vec_dot_q4_K_q8_K,     TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_Q5_K,    quantize_row_q5_K,    tevo_vec_dot_q5_K_q8_K,     TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_Q6_K,    quantize_row_q6_K,    tevo_vec_dot_q6_K_q8_K,     TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_Q8_K,    quantize_row_q8_K,    NULL,                       TEVO_TYPE_F32,  0);
        set(TEVO_TYPE_IQ2_XXS, NULL,                 tevo_vec_dot_iq2_xxs_q8_K,  TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ2_XS,  NULL,                 tevo_vec_dot_iq2_xs_q8_K,   TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ3_XXS, NULL,                 tevo_vec_dot_iq3_xxs_q8_K,  TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ1_S,   NULL,                 tevo_vec_dot_iq1_s_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ4_NL,  quantize_row_iq4_nl,  tevo_vec_dot_iq4_nl_q8_0,   TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_IQ3_S,   NULL,                 tevo_vec_dot_iq3_s_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ2_S,   NULL,                 tevo_vec_dot_iq2_s_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_IQ4_XS,  quantize_row_iq4_xs,  tevo_vec_dot_iq4_xs_q8_K,   TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_I32,     tevo_from_float_i32,  NULL,                       TEVO_TYPE_F32,  0);
        set(TEVO_TYPE_IQ1_M,   NULL,                 tevo_vec_dot_iq1_m_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_BF16,    tevo_from_float_bf16, tevo_vec_dot_bf16_any,      TEVO_TYPE_BF16, 1);
        set(TEVO_TYPE_TQ1_0,   quantize_row_tq1_0,   tevo_vec_dot_tq1_0_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_TQ2_0,   quantize_row_tq2_0,   tevo_vec_dot_tq2_0_q8_K,    TEVO_TYPE_Q8_K, 1);
        set(TEVO_TYPE_MXFP4,   quantize_row_mxfp4,   tevo_vec_dot_mxfp4_q8_0,    TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_NVFP4,   quantize_row_nvfp4,   tevo_vec_dot_nvfp4_q8_0,    TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_Q1_0,    quantize_row_q1_0,    tevo_vec_dot_q1_0_q8_0,     TEVO_TYPE_Q8_0, 1);
        set(TEVO_TYPE_Q2_0,    quantize_row_q2_0,    tevo_vec_dot_q2_0_q8_0,     TEVO_TYPE_Q8_0, 1);
        return t;
    }();
    return table.rows;
}

const struct tevo_type_traits_cpu * tevo_get_type_traits_cpu(enum tevo_type type) {
    return &tevo_cpu_type_traits()[type];
}
