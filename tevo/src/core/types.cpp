#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Element types: the traits table, half and brain-float conversions and the
// file-type mapping.

#include "core/impl.h"
#include "quants/quants.h"

#include <immintrin.h>

static void tevo_fp16_to_fp32_row_cb(const void * x, float * y, int64_t n) {
    tevo_fp16_to_fp32_row((const tevo_fp16_t *) x, y, n);
}

static void tevo_fp32_to_fp16_row_cb(const float * x, void * y, int64_t n) {
    tevo_fp32_to_fp16_row(x, (tevo_fp16_t *) y, n);
}

static void tevo_bf16_to_fp32_row_cb(const void * x, float * y, int64_t n) {
    tevo_bf16_to_fp32_row((const tevo_bf16_t *) x, y, n);
}

static void tevo_fp32_to_bf16_row_ref_cb(const float * x, void * y, int64_t n) {
    tevo_fp32_to_bf16_row_ref(x, (tevo_bf16_t *) y, n);
}

#define TEVO_RETIRED(name) { name, 0, 0, 0, false, NULL, NULL }
// A block format with its dequantizer and reference quantizer (either may be
// missing: q8_1 and q8_K are activation formats only; iq2_xxs, iq2_xs, iq1_s
// and iq1_m are made only from whole rows with importance weights).
#define TEVO_BLOCKS(name, blck, size, to, from) { name, blck, 0, size, true, to, from }

static const struct tevo_type_traits type_traits[TEVO_TYPE_COUNT] = {
    /* 0  */ { "f32", 1, 0, sizeof(float), false, NULL, NULL },
    /* 1  */ { "f16", 1, 0, sizeof(tevo_fp16_t), false, tevo_fp16_to_fp32_row_cb, tevo_fp32_to_fp16_row_cb },
    /* 2  */ TEVO_BLOCKS("q4_0", 32, 18, dequantize_row_q4_0, quantize_row_q4_0_ref),
    /* 3  */ TEVO_BLOCKS("q4_1", 32, 20, dequantize_row_q4_1, quantize_row_q4_1_ref),
    /* 4  */ TEVO_RETIRED("DEPRECATED"),
    /* 5  */ TEVO_RETIRED("DEPRECATED"),
    /* 6  */ TEVO_BLOCKS("q5_0", 32, 22, dequantize_row_q5_0, quantize_row_q5_0_ref),
    /* 7  */ TEVO_BLOCKS("q5_1", 32, 24, dequantize_row_q5_1, quantize_row_q5_1_ref),
    /* 8  */ TEVO_BLOCKS("q8_0", 32, 34, dequantize_row_q8_0, quantize_row_q8_0_ref),
    /* 9  */ TEVO_BLOCKS("q8_1", 32, 36, NULL, quantize_row_q8_1_ref),
    /* 10 */ TEVO_BLOCKS("q2_K", 256, 84, dequantize_row_q2_K, quantize_row_q2_K_ref),
    /* 11 */ TEVO_BLOCKS("q3_K", 256, 110, dequantize_row_q3_K, quantize_row_q3_K_ref),
    /* 12 */ TEVO_BLOCKS("q4_K", 256, 144, dequantize_row_q4_K, quantize_row_q4_K_ref),
    /* 13 */ TEVO_BLOCKS("q5_K", 256, 176, dequantize_row_q5_K, quantize_row_q5_K_ref),
    /* 14 */ TEVO_BLOCKS("q6_K", 256, 210, dequantize_row_q6_K, quantize_row_q6_K_ref),
    /* 15 */ TEVO_BLOCKS("q8_K", 256, 292, NULL, NULL),
    /* 16 */ TEVO_BLOCKS("iq2_xxs", 256, 66, dequantize_row_iq2_xxs, NULL),
    /* 17 */ TEVO_BLOCKS("iq2_xs", 256, 74, dequantize_row_iq2_xs, NULL),
    /* 18 */ TEVO_BLOCKS("iq3_xxs", 256, 98, dequantize_row_iq3_xxs, quantize_row_iq3_xxs_ref),
    /* 19 */ TEVO_BLOCKS("iq1_s", 256, 50, dequantize_row_iq1_s, NULL),
    /* 20 */ TEVO_BLOCKS("iq4_nl", 32, 18, dequantize_row_iq4_nl, quantize_row_iq4_nl_ref),
    /* 21 */ TEVO_BLOCKS("iq3_s", 256, 110, dequantize_row_iq3_s, quantize_row_iq3_s_ref),
    /* 22 */ TEVO_BLOCKS("iq2_s", 256, 82, dequantize_row_iq2_s, quantize_row_iq2_s_ref),
    /* 23 */ TEVO_BLOCKS("iq4_xs", 256, 136, dequantize_row_iq4_xs, quantize_row_iq4_xs_ref),
    /* 24 */ { "i8", 1, 0, sizeof(int8_t), false, NULL, NULL },
    /* 25 */ { "i16", 1, 0, sizeof(int16_t), false, NULL, NULL },
    /* 26 */ { "i32", 1, 0, sizeof(int32_t), false, NULL, NULL },
    /* 27 */ { "i64", 1, 0, sizeof(int64_t), false, NULL, NULL },
    /* 28 */ { "f64", 1, 0, sizeof(double), false, NULL, NULL },
    /* 29 */ TEVO_BLOCKS("iq1_m", 256, 56, dequantize_row_iq1_m, NULL),
    /* 30 */ { "bf16", 1, 0, sizeof(tevo_bf16_t), false, tevo_bf16_to_fp32_row_cb, tevo_fp32_to_bf16_row_ref_cb },
    /* 31 */ TEVO_RETIRED("TYPE_Q4_0_4_4 REMOVED, use Q4_0 with runtime repacking"),
    /* 32 */ TEVO_RETIRED("TYPE_Q4_0_4_8 REMOVED, use Q4_0 with runtime repacking"),
    /* 33 */ TEVO_RETIRED("TYPE_Q4_0_8_8 REMOVED, use Q4_0 with runtime repacking"),
    /* 34 */ TEVO_BLOCKS("tq1_0", 256, 54, dequantize_row_tq1_0, quantize_row_tq1_0_ref),
    /* 35 */ TEVO_BLOCKS("tq2_0", 256, 66, dequantize_row_tq2_0, quantize_row_tq2_0_ref),
    /* 36 */ TEVO_RETIRED("TYPE_IQ4_NL_4_4 REMOVED, use IQ4_NL with runtime repacking"),
    /* 37 */ TEVO_RETIRED("TYPE_IQ4_NL_4_8 REMOVED, use IQ4_NL with runtime repacking"),
    /* 38 */ TEVO_RETIRED("TYPE_IQ4_NL_8_8 REMOVED, use IQ4_NL with runtime repacking"),
    /* 39 */ TEVO_BLOCKS("mxfp4", 32, 17, dequantize_row_mxfp4, quantize_row_mxfp4_ref),
    /* 40 */ TEVO_BLOCKS("nvfp4", 64, 36, dequantize_row_nvfp4, quantize_row_nvfp4_ref),
    /* 41 */ TEVO_BLOCKS("q1_0", 128, 18, dequantize_row_q1_0, quantize_row_q1_0_ref),
    /* 42 */ TEVO_BLOCKS("q2_0", 64, 18, dequantize_row_q2_0, quantize_row_q2_0_ref),
};

extern "C" {

const struct tevo_type_traits * tevo_get_type_traits(enum tevo_type type) {
    return &type_traits[type];
}

int64_t tevo_blck_size(enum tevo_type type) {
    return type_traits[type].blck_size;
}

size_t tevo_type_size(enum tevo_type type) {
    return type_traits[type].type_size;
}

size_t tevo_row_size(enum tevo_type type, int64_t ne) {
    return tevo_type_size(type) * ne / tevo_blck_size(type);
}

double tevo_type_sizef(enum tevo_type type) {
    return ((double) type_traits[type].type_size) / type_traits[type].blck_size;
}

const char * tevo_type_name(enum tevo_type type) {
    return type_traits[type].type_name;
}

bool tevo_is_quantized(enum tevo_type type) {
    return type_traits[type].is_quantized;
}

enum tevo_type tevo_ftype_to_tevo_type(enum tevo_ftype ftype) {
    enum tevo_type wtype = TEVO_TYPE_COUNT;
    switch (ftype) {
        case TEVO_FTYPE_ALL_F32:        wtype = TEVO_TYPE_F32; break;
        case TEVO_FTYPE_MOSTLY_F16:     wtype = TEVO_TYPE_F16; break;
        case TEVO_FTYPE_MOSTLY_Q4_0:    wtype = TEVO_TYPE_Q4_0; break;
        case TEVO_FTYPE_MOSTLY_Q4_1:    wtype = TEVO_TYPE_Q4_1; break;
        case TEVO_FTYPE_MOSTLY_Q8_0:    wtype = TEVO_TYPE_Q8_0; break;
        case TEVO_FTYPE_MOSTLY_Q5_0:    wtype = TEVO_TYPE_Q5_0; break;
        case TEVO_FTYPE_MOSTLY_Q5_1:    wtype = TEVO_TYPE_Q5_1; break;
        case TEVO_FTYPE_MOSTLY_Q2_K:    wtype = TEVO_TYPE_Q2_K; break;
        case TEVO_FTYPE_MOSTLY_Q3_K:    wtype = TEVO_TYPE_Q3_K; break;
        case TEVO_FTYPE_MOSTLY_Q4_K:    wtype = TEVO_TYPE_Q4_K; break;
        case TEVO_FTYPE_MOSTLY_Q5_K:    wtype = TEVO_TYPE_Q5_K; break;
        case TEVO_FTYPE_MOSTLY_Q6_K:    wtype = TEVO_TYPE_Q6_K; break;
        case TEVO_FTYPE_MOSTLY_IQ2_XXS: wtype = TEVO_TYPE_IQ2_XXS; break;
        case TEVO_FTYPE_MOSTLY_IQ2_XS:  wtype = TEVO_TYPE_IQ2_XS; break;
        case TEVO_FTYPE_MOSTLY_IQ3_XXS: wtype = TEVO_TYPE_IQ3_XXS; break;
        case TEVO_FTYPE_MOSTLY_IQ1_S:   wtype = TEVO_TYPE_IQ1_S; break;
        case TEVO_FTYPE_MOSTLY_IQ4_NL:  wtype = TEVO_TYPE_IQ4_NL; break;
        case TEVO_FTYPE_MOSTLY_IQ3_S:   wtype = TEVO_TYPE_IQ3_S; break;
        case TEVO_FTYPE_MOSTLY_IQ2_S:   wtype = TEVO_TYPE_IQ2_S; break;
        case TEVO_FTYPE_MOSTLY_IQ4_XS:  wtype = TEVO_TYPE_IQ4_XS; break;
        case TEVO_FTYPE_MOSTLY_IQ1_M:   wtype = TEVO_TYPE_IQ1_M; break;
        case TEVO_FTYPE_MOSTLY_BF16:    wtype = TEVO_TYPE_BF16; break;
        case TEVO_FTYPE_MOSTLY_MXFP4:   wtype = TEVO_TYPE_MXFP4; break;
        case TEVO_FTYPE_MOSTLY_NVFP4:   wtype = TEVO_TYPE_NVFP4; break;
        case TEVO_FTYPE_MOSTLY_Q1_0:    wtype = TEVO_TYPE_Q1_0; break;
        case TEVO_FTYPE_MOSTLY_Q2_0:    wtype = TEVO_TYPE_Q2_0; break;
        default: break;
    }
    TEVO_ASSERT(wtype != TEVO_TYPE_COUNT);
    return wtype;
}

float tevo_fp16_to_fp32(tevo_fp16_t h) {
    return TEVO_FP16_TO_FP32(h);
}

tevo_fp16_t tevo_fp32_to_fp16(float f) {
    return TEVO_FP32_TO_FP16(f);
}

float tevo_bf16_to_fp32(tevo_bf16_t h) {
    return TEVO_BF16_TO_FP32(h);
}

tevo_bf16_t tevo_fp32_to_bf16(float f) {
    return TEVO_FP32_TO_BF16(f);
}

// F16C converts exactly like the scalar code (round to nearest even), except
// that it keeps a NaN's payload where the scalar rule gives 0x7E00; NaN lanes
// are redone with the scalar rule.
void tevo_fp16_to_fp32_row(const tevo_fp16_t * x, float * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (x + i))));
    }
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_ps(y + i, _mm_cvtph_ps(_mm_loadl_epi64((const __m128i *) (x + i))));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP16_TO_FP32(x[i]);
    }
}

void tevo_fp32_to_fp16_row(const float * x, tevo_fp16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v   = _mm256_loadu_ps(x + i);
        const __m128i h  = _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128((__m128i *) (y + i), h);
        // NaN lanes: the scalar rule gives the quiet NaN 0x7E00 with the sign
        const int nan_mask = _mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
        if (nan_mask) {
            for (int j = 0; j < 8; ++j) {
                if (nan_mask & (1 << j)) {
                    y[i + j] = TEVO_FP32_TO_FP16(x[i + j]);
                }
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(x[i]);
    }
}

void tevo_bf16_to_fp32_row(const tevo_bf16_t * x, float * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128((const __m128i *) (x + i));
        const __m256i w = _mm256_slli_epi32(_mm256_cvtepu16_epi32(h), 16);
        _mm256_storeu_ps(y + i, _mm256_castsi256_ps(w));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_BF16_TO_FP32(x[i]);
    }
}

void tevo_fp32_to_bf16_row_ref(const float * x, tevo_bf16_t * y, int64_t n) {
    for (int64_t i = 0; i < n; i++) {
        y[i] = TEVO_FP32_TO_BF16(x[i]);
    }
}

void tevo_fp32_to_bf16_row(const float * x, tevo_bf16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i w    = _mm256_castps_si256(_mm256_loadu_ps(x + i));
        const __m256i lsb  = _mm256_and_si256(_mm256_srli_epi32(w, 16), _mm256_set1_epi32(1));
        __m256i       r    = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(w, _mm256_set1_epi32(0x7fff)), lsb), 16);
        const __m256i absw = _mm256_and_si256(w, _mm256_set1_epi32(0x7fffffff));
        const __m256i nan  = _mm256_cmpgt_epi32(absw, _mm256_set1_epi32(0x7f800000));
        const __m256i qnan = _mm256_or_si256(_mm256_srli_epi32(w, 16), _mm256_set1_epi32(64));
        r = _mm256_blendv_epi8(r, qnan, nan);
        // pack the low 16 bits of each 32-bit lane
        const __m128i lo = _mm256_castsi256_si128(r);
        const __m128i hi = _mm256_extracti128_si256(r, 1);
        _mm_storeu_si128((__m128i *) (y + i), _mm_packus_epi32(lo, hi));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(x[i]);
    }
}

} // extern "C"
