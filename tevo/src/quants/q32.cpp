#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The 32-element formats q4_0, q4_1, q5_0, q5_1, q8_0 and q8_1: reference
// quantizers, dequantizers and the chunk quantizers with their
// importance-weighted scale searches.
//
// Codes are always chosen with the float scale and only then is the scale
// rounded to half; the integer rounding rule differs by format (truncation
// of x + offset + 0.5, or halves away from zero for q8) and is part of the
// format, so the rules below are not interchangeable.

#include "quants/impl.h"

#include <float.h>

// ---------------------------------------------------------------------------
// non-finite blocks: infinite scale, codes of zero

static void q4_0_nonfinite(block_q4_0 * y) {
    y->d = TEVO_Q_FP16_INF;
    memset(y->qs, 0x88, sizeof(y->qs));
}

static void q4_1_nonfinite(block_q4_1 * y) {
    y->d = TEVO_Q_FP16_INF;
    y->m = 0;
    memset(y->qs, 0, sizeof(y->qs));
}

static void q5_0_nonfinite(block_q5_0 * y) {
    y->d = TEVO_Q_FP16_INF;
    memset(y->qh, 0xff, sizeof(y->qh)); // code 16: fifth bit set, low bits 0
    memset(y->qs, 0, sizeof(y->qs));
}

static void q5_1_nonfinite(block_q5_1 * y) {
    y->d = TEVO_Q_FP16_INF;
    y->m = 0;
    memset(y->qh, 0, sizeof(y->qh));
    memset(y->qs, 0, sizeof(y->qs));
}

// ---------------------------------------------------------------------------
// packing shared by the five-bit formats

static void q5_pack(const int * codes, uint8_t * qs, uint8_t * qh_bytes) {
    uint32_t qh = 0;
    for (int j = 0; j < 16; ++j) {
        const int c0 = codes[j];
        const int c1 = codes[j + 16];
        qs[j]        = (uint8_t) ((c0 & 0x0f) | ((c1 & 0x0f) << 4));
        qh |= ((uint32_t) (c0 & 0x10) >> 4) << j;
        qh |= ((uint32_t) (c1 & 0x10) >> 4) << (j + 16);
    }
    memcpy(qh_bytes, &qh, sizeof(qh));
}

static inline int q5_code(const uint8_t * qs, uint32_t qh, int i) {
    const int lo = i < 16 ? (qs[i] & 0x0f) : (qs[i - 16] >> 4);
    return lo | (int) (((qh >> i) & 1) << 4);
}

// the signed value of largest magnitude; the first wins among equals
static float q_signed_max(const float * x, int n) {
    float amax = 0.0f;
    float max  = 0.0f;
    for (int j = 0; j < n; ++j) {
        const float v = x[j];
        if (amax < fabsf(v)) {
            amax = fabsf(v);
            max  = v;
        }
    }
    return max;
}

extern "C" {

// ---------------------------------------------------------------------------
// reference quantizers

void quantize_row_q4_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_0);
    block_q4_0 *  y  = (block_q4_0 *) vy;
    const int64_t nb = k / QK4_0;

    for (int64_t i = 0; i < nb; ++i, x += QK4_0) {
        if (!tevo_q_finite(x, QK4_0)) {
            q4_0_nonfinite(&y[i]);
            continue;
        }
        const float max = q_signed_max(x, QK4_0);
        const float d   = max / -8;
        const float id  = d != 0.0f ? 1.0f / d : 0.0f;

        y[i].d = tevo_q_fp16(d);
        for (int j = 0; j < QK4_0 / 2; ++j) {
            const int c0 = TEVO_MIN(15, tevo_q_trunc(x[j] * id + 8.5f));
            const int c1 = TEVO_MIN(15, tevo_q_trunc(x[j + QK4_0 / 2] * id + 8.5f));
            y[i].qs[j]   = (uint8_t) ((c0 & 15) | ((c1 & 15) << 4));
        }
    }
}

void quantize_row_q4_1_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_1);
    block_q4_1 *  y  = (block_q4_1 *) vy;
    const int64_t nb = k / QK4_1;

    for (int64_t i = 0; i < nb; ++i, x += QK4_1) {
        if (!tevo_q_finite(x, QK4_1)) {
            q4_1_nonfinite(&y[i]);
            continue;
        }
        float min = FLT_MAX;
        float max = -FLT_MAX;
        for (int j = 0; j < QK4_1; ++j) {
            if (x[j] < min) min = x[j];
            if (x[j] > max) max = x[j];
        }
        const float d  = (max - min) / 15;
        const float id = d != 0.0f ? 1.0f / d : 0.0f;

        y[i].d = tevo_q_fp16(d);
        y[i].m = tevo_q_fp16(min);
        for (int j = 0; j < QK4_1 / 2; ++j) {
            const int c0 = TEVO_MIN(15, tevo_q_trunc((x[j] - min) * id + 0.5f));
            const int c1 = TEVO_MIN(15, tevo_q_trunc((x[j + QK4_1 / 2] - min) * id + 0.5f));
            y[i].qs[j]   = (uint8_t) ((c0 & 15) | ((c1 & 15) << 4));
        }
    }
}

void quantize_row_q5_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK5_0);
    block_q5_0 *  y  = (block_q5_0 *) vy;
    const int64_t nb = k / QK5_0;

    for (int64_t i = 0; i < nb; ++i, x += QK5_0) {
        if (!tevo_q_finite(x, QK5_0)) {
            q5_0_nonfinite(&y[i]);
            continue;
        }
        const float max = q_signed_max(x, QK5_0);
        const float d   = max / -16;
        const float id  = d != 0.0f ? 1.0f / d : 0.0f;

        int codes[QK5_0];
        for (int j = 0; j < QK5_0; ++j) {
            codes[j] = TEVO_MIN(31, tevo_q_trunc(x[j] * id + 16.5f));
        }
        y[i].d = tevo_q_fp16(d);
        q5_pack(codes, y[i].qs, y[i].qh);
    }
}

void quantize_row_q5_1_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK5_1);
    block_q5_1 *  y  = (block_q5_1 *) vy;
    const int64_t nb = k / QK5_1;

    for (int64_t i = 0; i < nb; ++i, x += QK5_1) {
        if (!tevo_q_finite(x, QK5_1)) {
            q5_1_nonfinite(&y[i]);
            continue;
        }
        float min = FLT_MAX;
        float max = -FLT_MAX;
        for (int j = 0; j < QK5_1; ++j) {
            if (x[j] < min) min = x[j];
            if (x[j] > max) max = x[j];
        }
        const float d  = (max - min) / 31;
        const float id = d != 0.0f ? 1.0f / d : 0.0f;

        int codes[QK5_1];
        for (int j = 0; j < QK5_1; ++j) {
            // already within 0..31 for finite input and an invertible scale
            codes[j] = tevo_q_trunc((x[j] - min) * id + 0.5f);
        }
        y[i].d = tevo_q_fp16(d);
        y[i].m = tevo_q_fp16(min);
        q5_pack(codes, y[i].qs, y[i].qh);
    }
}

void quantize_row_q8_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK8_0);
    block_q8_0 *  y  = (block_q8_0 *) vy;
    const int64_t nb = k / QK8_0;

    for (int64_t i = 0; i < nb; ++i, x += QK8_0) {
        if (!tevo_q_finite(x, QK8_0)) {
            y[i].d = TEVO_Q_FP16_INF;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            continue;
        }
        float amax = 0.0f;
        for (int j = 0; j < QK8_0; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const float d  = amax / 127;
        const float id = d != 0.0f ? 1.0f / d : 0.0f;

        y[i].d = tevo_q_fp16(d);
        for (int j = 0; j < QK8_0; ++j) {
            y[i].qs[j] = (int8_t) tevo_q_trunc(roundf(x[j] * id));
        }
    }
}

void quantize_row_q8_1_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK8_1);
    block_q8_1 *  y  = (block_q8_1 *) vy;
    const int64_t nb = k / QK8_1;

    for (int64_t i = 0; i < nb; ++i, x += QK8_1) {
        if (!tevo_q_finite(x, QK8_1)) {
            y[i].d = TEVO_Q_FP16_INF;
            y[i].s = TEVO_Q_FP16_INF;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            continue;
        }
        float amax = 0.0f;
        for (int j = 0; j < QK8_1; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const float d  = amax / 127;
        const float id = d != 0.0f ? 1.0f / d : 0.0f;

        int sum = 0;
        for (int j = 0; j < QK8_1; ++j) {
            y[i].qs[j] = (int8_t) tevo_q_trunc(roundf(x[j] * id));
            sum += y[i].qs[j];
        }
        y[i].d = tevo_q_fp16(d);
        // from the float scale, before it is rounded
        y[i].s = tevo_q_fp16(d * (float) sum);
    }
}

// ---------------------------------------------------------------------------
// dequantizers

void dequantize_row_q4_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_0);
    const block_q4_0 * x  = (const block_q4_0 *) vx;
    const int64_t      nb = k / QK4_0;

    for (int64_t i = 0; i < nb; ++i, y += QK4_0) {
        const float d = tevo_q_fp32(x[i].d);
        for (int j = 0; j < QK4_0 / 2; ++j) {
            y[j]             = (float) ((x[i].qs[j] & 0x0f) - 8) * d;
            y[j + QK4_0 / 2] = (float) ((x[i].qs[j] >> 4) - 8) * d;
        }
    }
}

void dequantize_row_q4_1(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_1);
    const block_q4_1 * x  = (const block_q4_1 *) vx;
    const int64_t      nb = k / QK4_1;

    for (int64_t i = 0; i < nb; ++i, y += QK4_1) {
        const float d = tevo_q_fp32(x[i].d);
        const float m = tevo_q_fp32(x[i].m);
        for (int j = 0; j < QK4_1 / 2; ++j) {
            y[j]             = (float) (x[i].qs[j] & 0x0f) * d + m;
            y[j + QK4_1 / 2] = (float) (x[i].qs[j] >> 4) * d + m;
        }
    }
}

void dequantize_row_q5_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK5_0);
    const block_q5_0 * x  = (const block_q5_0 *) vx;
    const int64_t      nb = k / QK5_0;

    for (int64_t i = 0; i < nb; ++i, y += QK5_0) {
        const float d = tevo_q_fp32(x[i].d);
        uint32_t    qh;
        memcpy(&qh, x[i].qh, sizeof(qh));
        for (int j = 0; j < QK5_0; ++j) {
            y[j] = (float) (q5_code(x[i].qs, qh, j) - 16) * d;
        }
    }
}

void dequantize_row_q5_1(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK5_1);
    const block_q5_1 * x  = (const block_q5_1 *) vx;
    const int64_t      nb = k / QK5_1;

    for (int64_t i = 0; i < nb; ++i, y += QK5_1) {
        const float d = tevo_q_fp32(x[i].d);
        const float m = tevo_q_fp32(x[i].m);
        uint32_t    qh;
        memcpy(&qh, x[i].qh, sizeof(qh));
        for (int j = 0; j < QK5_1; ++j) {
            y[j] = (float) q5_code(x[i].qs, qh, j) * d + m;
        }
    }
}

void dequantize_row_q8_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK8_0);
    const block_q8_0 * x  = (const block_q8_0 *) vx;
    const int64_t      nb = k / QK8_0;

    for (int64_t i = 0; i < nb; ++i, y += QK8_0) {
        const float d = tevo_q_fp32(x[i].d);
        for (int j = 0; j < QK8_0; ++j) {
            y[j] = (float) x[i].qs[j] * d;
        }
    }
}

} // extern "C"

// ---------------------------------------------------------------------------
// importance-weighted searches

// Per-row weight base: the mean square of the row's values below 2^30 (a
// non-finite value, or one too large to search, is written as a non-finite
// block of its own and must not poison the weights of the row's other
// blocks).
static float q_row_sigma2(const float * x, int64_t n) {
    float sum = 0.0f;
    for (int64_t j = 0; j < n; ++j) {
        if (tevo_q_in_range(&x[j], 1)) {
            sum += x[j] * x[j];
        }
    }
    return sum / (float) n;
}

// Symmetric codes l in -nmax..nmax-1 (stored l + nmax) with the
// least-squares scale, trying 19 inverse scales around -nmax/max.
static float q_search_symmetric(const float * x, const float * w, int nmax, int * codes) {
    const float max = q_signed_max(x, 32);
    if (fabsf(max) < 1e-15f) {
        for (int j = 0; j < 32; ++j) codes[j] = 0;
        return 0.0f;
    }

    auto fit = [&](float iscale, int * L, float * sumlx, float * suml2) {
        float slx = 0.0f;
        float sl2 = 0.0f;
        for (int j = 0; j < 32; ++j) {
            int l = tevo_q_nearest_int(iscale * x[j]);
            l     = TEVO_MAX(-nmax, TEVO_MIN(nmax - 1, l));
            L[j]  = l + nmax;
            slx += (w[j] * x[j]) * (float) l;
            sl2 += (w[j] * (float) l) * (float) l;
        }
        *sumlx = slx;
        *suml2 = sl2;
    };

    float sumlx, suml2;
    fit(-(float) nmax / max, codes, &sumlx, &suml2);
    float scale = suml2 != 0.0f ? sumlx / suml2 : 0.0f;
    float best  = scale * sumlx;

    for (int is = -9; is <= 9; ++is) {
        if (is == 0) {
            continue;
        }
        int L[32];
        fit(-((float) nmax + 0.1f * (float) is) / max, L, &sumlx, &suml2);
        if (suml2 > 0.0f && sumlx * sumlx > best * suml2) {
            memcpy(codes, L, sizeof(L));
            scale = sumlx / suml2;
            best  = scale * sumlx;
        }
    }
    return scale;
}

// Codes 0..nmax with a scale and a minimum (never positive) fitted by
// weighted least squares, trying 37 inverse scales. Returns the scale.
static float q_search_scale_min(const float * x, const float * w, int nmax, int * codes, float * the_min) {
    float min   = x[0];
    float max   = x[0];
    float sum_w = w[0];
    float sum_x = sum_w * x[0];
    for (int i = 1; i < 32; ++i) {
        if (x[i] < min) min = x[i];
        if (x[i] > max) max = x[i];
        const float wi = w[i];
        sum_w += wi;
        sum_x += wi * x[i];
    }
    if (min > 0.0f) {
        min = 0.0f;
    }
    if (max <= min) {
        for (int i = 0; i < 32; ++i) codes[i] = 0;
        *the_min = min;
        return 0.0f;
    }

    float iscale   = (float) nmax / (max - min);
    float scale    = 1.0f / iscale;
    float best_err = 0.0f;
    for (int i = 0; i < 32; ++i) {
        int l    = tevo_q_nearest_int(iscale * (x[i] - min));
        codes[i] = TEVO_MAX(0, TEVO_MIN(nmax, l));
        const float diff = scale * (float) codes[i] + min - x[i];
        best_err += w[i] * diff * diff;
    }

    int La[32];
    for (int is = 0; is <= 36; ++is) {
        iscale = (-0.9f + 0.05f * (float) is + (float) nmax) / (max - min);
        float sum_l = 0.0f, sum_l2 = 0.0f, sum_xl = 0.0f;
        for (int i = 0; i < 32; ++i) {
            int l = tevo_q_nearest_int(iscale * (x[i] - min));
            l     = TEVO_MAX(0, TEVO_MIN(nmax, l));
            La[i] = l;
            sum_l += w[i] * (float) l;
            sum_l2 += w[i] * (float) l * (float) l;
            sum_xl += w[i] * (float) l * x[i];
        }
        const float D = sum_w * sum_l2 - sum_l * sum_l;
        if (D > 0.0f) {
            float this_scale = (sum_w * sum_xl - sum_x * sum_l) / D;
            float this_min   = (sum_l2 * sum_x - sum_l * sum_xl) / D;
            if (this_min > 0.0f) {
                this_min   = 0.0f;
                this_scale = sum_xl / sum_l2;
            }
            float err = 0.0f;
            for (int i = 0; i < 32; ++i) {
                const float diff = this_scale * (float) La[i] + this_min - x[i];
                err += w[i] * diff * diff;
            }
            if (err < best_err) {
                memcpy(codes, La, sizeof(La));
                best_err = err;
                scale    = this_scale;
                min      = this_min;
            }
        }
    }
    *the_min = min;
    return scale;
}

template <typename block, void (*nonfinite)(block *), void (*ref)(const float *, void *, int64_t),
          void (*store)(block *, const int *, float scale, float min), bool with_min>
static size_t q_quantize_weighted(const float * src, void * dst, int64_t nrows, int64_t n_per_row,
                                  const float * imatrix, int nmax) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, 32);
    const size_t row_size = (size_t) (n_per_row / 32) * sizeof(block);
    if (imatrix == NULL) {
        ref(src, dst, nrows * n_per_row);
        return (size_t) nrows * row_size;
    }

    char * out = (char *) dst;
    for (int64_t r = 0; r < nrows; ++r, src += n_per_row, out += row_size) {
        const float sigma2 = q_row_sigma2(src, n_per_row);
        block *     y      = (block *) out;
        for (int64_t ib = 0; ib < n_per_row / 32; ++ib) {
            const float * x = src + 32 * ib;
            if (!tevo_q_in_range(x, 32)) {
                nonfinite(&y[ib]);
                continue;
            }
            float w[32];
            for (int j = 0; j < 32; ++j) {
                w[j] = imatrix[32 * ib + j] * sqrtf(sigma2 + x[j] * x[j]);
            }
            int   codes[32];
            float min   = 0.0f;
            float scale = with_min ? q_search_scale_min(x, w, nmax, codes, &min)
                                   : q_search_symmetric(x, w, nmax, codes);
            store(&y[ib], codes, scale, min);
        }
    }
    return (size_t) nrows * row_size;
}

static void q4_0_store(block_q4_0 * y, const int * codes, float scale, float) {
    y->d = tevo_q_fp16(scale);
    for (int j = 0; j < 16; ++j) {
        y->qs[j] = (uint8_t) (codes[j] | (codes[j + 16] << 4));
    }
}

static void q5_0_store(block_q5_0 * y, const int * codes, float scale, float) {
    y->d = tevo_q_fp16(scale);
    q5_pack(codes, y->qs, y->qh);
}

static void q4_1_store(block_q4_1 * y, const int * codes, float scale, float min) {
    y->d = tevo_q_fp16(scale);
    y->m = tevo_q_fp16(min);
    for (int j = 0; j < 16; ++j) {
        y->qs[j] = (uint8_t) (codes[j] | (codes[j + 16] << 4));
    }
}

static void q5_1_store(block_q5_1 * y, const int * codes, float scale, float min) {
    y->d = tevo_q_fp16(scale);
    y->m = tevo_q_fp16(min);
    q5_pack(codes, y->qs, y->qh);
}

extern "C" {

// ---------------------------------------------------------------------------
// chunk quantizers

size_t quantize_q4_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return q_quantize_weighted<block_q4_0, q4_0_nonfinite, quantize_row_q4_0_ref, q4_0_store, false>(
        src, dst, nrows, n_per_row, imatrix, 8);
}

size_t quantize_q4_1(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return q_quantize_weighted<block_q4_1, q4_1_nonfinite, quantize_row_q4_1_ref, q4_1_store, true>(
        src, dst, nrows, n_per_row, imatrix, 15);
}

size_t quantize_q5_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return q_quantize_weighted<block_q5_0, q5_0_nonfinite, quantize_row_q5_0_ref, q5_0_store, false>(
        src, dst, nrows, n_per_row, imatrix, 16);
}

size_t quantize_q5_1(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return q_quantize_weighted<block_q5_1, q5_1_nonfinite, quantize_row_q5_1_ref, q5_1_store, true>(
        src, dst, nrows, n_per_row, imatrix, 31);
}

size_t quantize_q8_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    // eight bits leave nothing for weights to choose between
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK8_0);
    quantize_row_q8_0_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK8_0) * sizeof(block_q8_0);
}

} // extern "C"
