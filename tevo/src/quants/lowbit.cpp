#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The one- and two-bit formats: q1_0 keeps the sign of each of 128 values
// and their mean magnitude, q2_0 maps each of 64 values to -d, 0 or +d with
// d the block's largest magnitude.

#include "quants/impl.h"

extern "C" {

void quantize_row_q1_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK1_0);
    block_q1_0 *  y  = (block_q1_0 *) vy;
    const int64_t nb = k / QK1_0;

    for (int64_t i = 0; i < nb; ++i, x += QK1_0) {
        memset(y[i].qs, 0, sizeof(y[i].qs));
        if (!tevo_q_finite(x, QK1_0)) {
            y[i].d = TEVO_Q_FP16_INF;
            memset(y[i].qs, 0xff, sizeof(y[i].qs));
            continue;
        }
        float sum = 0.0f;
        for (int j = 0; j < QK1_0; ++j) {
            sum += fabsf(x[j]);
        }
        y[i].d = tevo_q_fp16(sum * (1.0f / QK1_0));
        for (int j = 0; j < QK1_0; ++j) {
            if (x[j] >= 0.0f) {
                y[i].qs[j / 8] |= (uint8_t) (1u << (j % 8));
            }
        }
    }
}

void quantize_row_q2_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK2_0);
    block_q2_0 *  y  = (block_q2_0 *) vy;
    const int64_t nb = k / QK2_0;

    for (int64_t i = 0; i < nb; ++i, x += QK2_0) {
        if (!tevo_q_finite(x, QK2_0)) {
            y[i].d = TEVO_Q_FP16_INF;
            memset(y[i].qs, 0x55, sizeof(y[i].qs)); // every code 1: zero
            continue;
        }
        float amax = 0.0f;
        for (int j = 0; j < QK2_0; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const float id = amax > 0.0f ? 1.0f / amax : 0.0f;

        y[i].d = tevo_q_fp16(amax);
        memset(y[i].qs, 0, sizeof(y[i].qs));
        for (int j = 0; j < QK2_0; ++j) {
            int r = tevo_q_trunc(roundf(x[j] * id));
            if (r < 0) r = -1;
            if (r > 2) r = 2;
            y[i].qs[j / 4] |= (uint8_t) ((r + 1) << (2 * (j % 4)));
        }
    }
}

void dequantize_row_q1_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK1_0);
    const block_q1_0 * x  = (const block_q1_0 *) vx;
    const int64_t      nb = k / QK1_0;

    for (int64_t i = 0; i < nb; ++i, y += QK1_0) {
        const float d = tevo_q_fp32(x[i].d);
        for (int j = 0; j < QK1_0; ++j) {
            y[j] = (x[i].qs[j / 8] >> (j % 8)) & 1 ? d : -d;
        }
    }
}

void dequantize_row_q2_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK2_0);
    const block_q2_0 * x  = (const block_q2_0 *) vx;
    const int64_t      nb = k / QK2_0;

    for (int64_t i = 0; i < nb; ++i, y += QK2_0) {
        const float d = tevo_q_fp32(x[i].d);
        for (int j = 0; j < QK2_0; ++j) {
            const int code = (x[i].qs[j / 4] >> (2 * (j % 4))) & 3;
            y[j]           = (float) (code - 1) * d;
        }
    }
}

// Importance weights cannot change a sign or a three-level split around a
// fixed scale: both forms write the reference bytes, row by row.

size_t quantize_q1_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK1_0);
    quantize_row_q1_0_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK1_0) * sizeof(block_q1_0);
}

size_t quantize_q2_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK2_0);
    quantize_row_q2_0_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK2_0) * sizeof(block_q2_0);
}

} // extern "C"
