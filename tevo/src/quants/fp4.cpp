#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The four-bit floating-point formats: every value an E2M1 code (sign, two
// exponent bits, one mantissa bit) times a shared scale, a power of two per
// 32 values in mxfp4 and an unsigned E4M3 number per 16 values in nvfp4.
// The code table holds doubled values, so every scale is applied at half.

#include "quants/impl.h"

extern "C" {

const int8_t fp4_e2m1_doubled_values[16] = { 0, 1, 2, 3, 4, 6, 8, 12, 0, -1, -2, -3, -4, -6, -8, -12 };

} // extern "C"

// The code whose value table[c] * h lies nearest to x; among equal errors the
// lowest code, so 0 takes code 0 (never the negative zero 8) and a value
// halfway between two magnitudes the smaller one.
static inline uint8_t fp4_nearest_code(float x, float h) {
    uint8_t best     = 0;
    float   best_err = fabsf((float) fp4_e2m1_doubled_values[0] * h - x);
    for (int c = 1; c < 16; ++c) {
        const float err = fabsf((float) fp4_e2m1_doubled_values[c] * h - x);
        if (err < best_err) {
            best_err = err;
            best     = (uint8_t) c;
        }
    }
    return best;
}

// The E8M0 exponent of a block with largest magnitude amax: two below the
// exponent of amax, so that 6 * scale covers it. Blocks below 2^-125 would
// need an exponent under 0 and one byte value is the invalid 255, so the
// exponent is clamped to 0..254.
static uint8_t mxfp4_exponent(float amax) {
    if (!(amax > 0.0f)) {
        return 0;
    }
    const int e = (int) floorf(log2f(amax)) - 2 + 127;
    return (uint8_t) TEVO_MAX(0, TEVO_MIN(254, e));
}

// The unsigned E4M3 byte of a sub-block scale b = amax / 6: round to nearest
// (ties upward) on three mantissa bits, at most 448 (0x7e).
static uint8_t nvfp4_scale_byte(float b) {
    if (b <= 0.0f) {
        return 0;
    }
    b = TEVO_MIN(b, 448.0f);
    if (b >= 0.015625f) { // 2^-6, the smallest normal E4M3 value
        if (b >= 256.0f) {
            return 0x7e;
        }
        const uint32_t bits  = tevo_q_to_bits(b);
        int            exp   = (int) ((bits >> 23) & 0xff) - 127;
        int            mant  = (int) ((bits >> 20) & 7) + (int) ((bits >> 19) & 1);
        if (mant == 8) {
            if (b >= 128.0f) {
                return 0x7e;
            }
            exp += 1;
            mant = 0;
        }
        return (uint8_t) ((exp + 7) * 8 + mant);
    }
    const int n = (int) (b * 512.0f + 0.5f);
    return n <= 0 ? 0 : (uint8_t) TEVO_MIN(n, 7);
}

extern "C" {

void quantize_row_mxfp4_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_MXFP4);
    block_mxfp4 * y  = (block_mxfp4 *) vy;
    const int64_t nb = k / QK_MXFP4;

    for (int64_t i = 0; i < nb; ++i, x += QK_MXFP4) {
        if (!tevo_q_finite(x, QK_MXFP4)) {
            y[i].e = 255; // the invalid exponent: refused by row validation
            memset(y[i].qs, 0, sizeof(y[i].qs));
            continue;
        }
        float amax = 0.0f;
        for (int j = 0; j < QK_MXFP4; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const uint8_t e = mxfp4_exponent(amax);
        const float   h = tevo_q_e8m0_half(e);

        y[i].e = e;
        for (int j = 0; j < QK_MXFP4 / 2; ++j) {
            const uint8_t c0 = fp4_nearest_code(x[j], h);
            const uint8_t c1 = fp4_nearest_code(x[j + QK_MXFP4 / 2], h);
            y[i].qs[j]       = (uint8_t) (c0 | (c1 << 4));
        }
    }
}

void quantize_row_nvfp4_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_NVFP4);
    block_nvfp4 * y  = (block_nvfp4 *) vy;
    const int64_t nb = k / QK_NVFP4;

    for (int64_t i = 0; i < nb; ++i, x += QK_NVFP4) {
        for (int s = 0; s < QK_NVFP4 / QK_NVFP4_SUB; ++s) {
            const float * xs = x + QK_NVFP4_SUB * s;
            uint8_t *     qs = y[i].qs + 8 * s;
            float amax = 0.0f;
            for (int j = 0; j < QK_NVFP4_SUB; ++j) {
                amax = TEVO_MAX(amax, fabsf(xs[j]));
            }
            // A scale past 448 by more than its rounding (the next E4M3 step
            // would be 480) overflows the format, as a half scale overflows
            // to infinity: clamped, the sub-block would saturate at 6 * 448,
            // or beyond the float precision of the code search come out as
            // zeros.
            if (!tevo_q_finite(xs, QK_NVFP4_SUB) || amax / 6.0f >= 464.0f) {
                y[i].scales[s] = 0x7f; // the E4M3 NaN pattern: refused by row validation
                memset(qs, 0, 8);
                continue;
            }
            const uint8_t u = nvfp4_scale_byte(amax / 6.0f);
            // codes against the scale actually stored
            const float h = tevo_q_ue4m3(u) * 0.5f;

            y[i].scales[s] = u;
            for (int j = 0; j < 8; ++j) {
                const uint8_t c0 = fp4_nearest_code(xs[j], h);
                const uint8_t c1 = fp4_nearest_code(xs[j + 8], h);
                qs[j]            = (uint8_t) (c0 | (c1 << 4));
            }
        }
    }
}

void dequantize_row_mxfp4(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_MXFP4);
    const block_mxfp4 * x  = (const block_mxfp4 *) vx;
    const int64_t       nb = k / QK_MXFP4;

    for (int64_t i = 0; i < nb; ++i, y += QK_MXFP4) {
        const float h = tevo_q_e8m0_half(x[i].e);
        for (int j = 0; j < QK_MXFP4 / 2; ++j) {
            y[j]                = (float) fp4_e2m1_doubled_values[x[i].qs[j] & 0x0f] * h;
            y[j + QK_MXFP4 / 2] = (float) fp4_e2m1_doubled_values[x[i].qs[j] >> 4] * h;
        }
    }
}

void dequantize_row_nvfp4(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_NVFP4);
    const block_nvfp4 * x  = (const block_nvfp4 *) vx;
    const int64_t       nb = k / QK_NVFP4;

    for (int64_t i = 0; i < nb; ++i) {
        for (int s = 0; s < QK_NVFP4 / QK_NVFP4_SUB; ++s, y += QK_NVFP4_SUB) {
            const float     h  = tevo_q_ue4m3(x[i].scales[s]) * 0.5f;
            const uint8_t * qs = x[i].qs + 8 * s;
            for (int j = 0; j < 8; ++j) {
                y[j]     = (float) fp4_e2m1_doubled_values[qs[j] & 0x0f] * h;
                y[j + 8] = (float) fp4_e2m1_doubled_values[qs[j] >> 4] * h;
            }
        }
    }
}

// Power-of-two and E4M3 scales leave no continuous choice to weigh: the
// weights are not read.

size_t quantize_mxfp4(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_MXFP4);
    quantize_row_mxfp4_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK_MXFP4) * sizeof(block_mxfp4);
}

size_t quantize_nvfp4(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_NVFP4);
    quantize_row_nvfp4_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK_NVFP4) * sizeof(block_nvfp4);
}

} // extern "C"
