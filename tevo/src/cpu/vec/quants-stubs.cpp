#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The quantized row kernels are not built yet: a graph that reaches one
// stops here. Their own sources replace these definitions.

#include "cpu/vec/quants.h"

#include "core/impl.h"

#define TEVO_QUANTIZE_NOT_BUILT(name)                                 \
    void quantize_row_##name(const float * x, void * y, int64_t k) { \
        (void) x;                                                     \
        (void) y;                                                     \
        (void) k;                                                     \
        TEVO_ABORT("not implemented");                                \
    }

#define TEVO_VEC_DOT_NOT_BUILT(name)                                                                    \
    void tevo_vec_dot_##name(int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by, \
                             int nrc) {                                                                  \
        (void) n;                                                                                        \
        (void) s;                                                                                        \
        (void) bs;                                                                                       \
        (void) x;                                                                                        \
        (void) bx;                                                                                       \
        (void) y;                                                                                        \
        (void) by;                                                                                       \
        (void) nrc;                                                                                      \
        TEVO_ABORT("not implemented");                                                                   \
    }

TEVO_QUANTIZE_NOT_BUILT(q4_0)
TEVO_QUANTIZE_NOT_BUILT(q4_1)
TEVO_QUANTIZE_NOT_BUILT(q5_0)
TEVO_QUANTIZE_NOT_BUILT(q5_1)
TEVO_QUANTIZE_NOT_BUILT(q8_0)
TEVO_QUANTIZE_NOT_BUILT(q8_1)
TEVO_QUANTIZE_NOT_BUILT(q2_K)
TEVO_QUANTIZE_NOT_BUILT(q3_K)
TEVO_QUANTIZE_NOT_BUILT(q4_K)
TEVO_QUANTIZE_NOT_BUILT(q5_K)
TEVO_QUANTIZE_NOT_BUILT(q6_K)
TEVO_QUANTIZE_NOT_BUILT(q8_K)
TEVO_QUANTIZE_NOT_BUILT(iq4_nl)
TEVO_QUANTIZE_NOT_BUILT(iq4_xs)
TEVO_QUANTIZE_NOT_BUILT(tq1_0)
TEVO_QUANTIZE_NOT_BUILT(tq2_0)
TEVO_QUANTIZE_NOT_BUILT(mxfp4)
TEVO_QUANTIZE_NOT_BUILT(nvfp4)
TEVO_QUANTIZE_NOT_BUILT(q1_0)
TEVO_QUANTIZE_NOT_BUILT(q2_0)

TEVO_VEC_DOT_NOT_BUILT(q4_0_q8_0)
TEVO_VEC_DOT_NOT_BUILT(q4_1_q8_1)
TEVO_VEC_DOT_NOT_BUILT(q5_0_q8_0)
TEVO_VEC_DOT_NOT_BUILT(q5_1_q8_1)
TEVO_VEC_DOT_NOT_BUILT(q8_0_q8_0)
TEVO_VEC_DOT_NOT_BUILT(q2_K_q8_K)
TEVO_VEC_DOT_NOT_BUILT(q3_K_q8_K)
TEVO_VEC_DOT_NOT_BUILT(q4_K_q8_K)
TEVO_VEC_DOT_NOT_BUILT(q5_K_q8_K)
TEVO_VEC_DOT_NOT_BUILT(q6_K_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq2_xxs_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq2_xs_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq3_xxs_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq1_s_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq3_s_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq2_s_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq4_xs_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq1_m_q8_K)
TEVO_VEC_DOT_NOT_BUILT(tq1_0_q8_K)
TEVO_VEC_DOT_NOT_BUILT(tq2_0_q8_K)
TEVO_VEC_DOT_NOT_BUILT(iq4_nl_q8_0)
TEVO_VEC_DOT_NOT_BUILT(mxfp4_q8_0)
TEVO_VEC_DOT_NOT_BUILT(nvfp4_q8_0)
TEVO_VEC_DOT_NOT_BUILT(q1_0_q8_0)
TEVO_VEC_DOT_NOT_BUILT(q2_0_q8_0)
