#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The chunk quantizers of the K-quants. Without importance weights they
// write the reference blocks; with them every value's error is weighted by
// its column's importance times sqrt(sigma2 + x²), the sub-block searches
// run on those weights over a finer grid, and for q2_K, q4_K and q5_K the
// quantized sub-block scales and minimums come from a weighted search too
// instead of plain proportional rounding.

#include "quants/impl.h"
#include "quants/kquants-search.h"
#include "quants/kquants.h"

#include <stddef.h>

// the weighted grid of the scale-and-minimum searches
#define KQ_W_RMIN   -0.9f
#define KQ_W_RDELTA 0.05f
#define KQ_W_NSTEP  37

static float kq_sum_x2(const float * x) {
    float sum = 0.0f;
    for (int i = 0; i < QK_K; ++i) {
        sum += x[i] * x[i];
    }
    return sum;
}

// w_t = qw_t * sqrt(sigma2 + x_t²) and the sum of each sub-block's weights
static void kq_weights(const float * x, const float * qw, float sigma2, int sub, float * w, float * sw) {
    for (int j = 0; j < QK_K / sub; ++j) {
        float sum = 0.0f;
        for (int l = 0; l < sub; ++l) {
            const int t = sub * j + l;
            w[t]        = qw[t] * sqrtf(sigma2 + x[t] * x[t]);
            sum += w[t];
        }
        sw[j] = sum;
    }
}

static void kq_q2_K_weighted(const float * x, block_q2_K * y, const float * qw) {
    const float sigma2 = kq_sum_x2(x) / (float) QK_K;
    float       w[QK_K];
    float       sw[QK_K / 16];
    kq_weights(x, qw, sigma2, 16, w, sw);

    uint8_t L[QK_K];
    float   scales[QK_K / 16];
    float   mins[QK_K / 16];
    for (int j = 0; j < QK_K / 16; ++j) {
        scales[j] = tevo_kq_search_scale_min(16, 3, x + 16 * j, w + 16 * j, L + 16 * j, &mins[j], KQ_W_RMIN,
                                             KQ_W_RDELTA, KQ_W_NSTEP, TEVO_KQ_SQUARED);
    }
    uint8_t     Ls[QK_K / 16];
    uint8_t     Lm[QK_K / 16];
    const float dm = tevo_kq_quantize_nonneg_weighted(QK_K / 16, 15, scales, Ls, sw);
    const float mm = tevo_kq_quantize_nonneg_weighted(QK_K / 16, 15, mins, Lm, sw);

    y->d    = tevo_q_fp16(dm);
    y->dmin = tevo_q_fp16(mm);
    for (int j = 0; j < QK_K / 16; ++j) {
        y->scales[j] = (uint8_t) (Ls[j] | (Lm[j] << 4));
    }
    tevo_kq_finish_q2_K(x, y, L);
}

static void kq_q3_K_weighted(const float * x, block_q3_K * y, const float * qw) {
    const float sigma2 = 2.0f * kq_sum_x2(x) / (float) QK_K;
    float       w[QK_K];
    float       sw[QK_K / 16];
    kq_weights(x, qw, sigma2, 16, w, sw);

    int8_t L[QK_K];
    float  scales[QK_K / 16];
    for (int j = 0; j < QK_K / 16; ++j) {
        scales[j] = tevo_kq_search_signed_scale(16, 4, x + 16 * j, L + 16 * j, w + 16 * j);
    }
    int8_t      Ls[QK_K / 16];
    const float d_block = tevo_kq_search_signed_scale(QK_K / 16, 32, scales, Ls, sw);

    memset(y->scales, 0, sizeof(y->scales));
    for (int j = 0; j < QK_K / 16; ++j) {
        tevo_kq_q3_set_scale(y->scales, j, Ls[j]);
    }
    y->d = tevo_q_fp16(d_block);
    tevo_kq_finish_q3_K(x, y, L);
}

template <typename block>
static void kq_q4_q5_K_weighted(const float * x, block * y, const float * qw, int nmax,
                                void (*finish)(const float *, block *, uint8_t *)) {
    const float sigma2 = 2.0f * kq_sum_x2(x) / (float) QK_K;
    float       w[QK_K];
    float       sw[QK_K / 32];
    kq_weights(x, qw, sigma2, 32, w, sw);

    uint8_t L[QK_K];
    float   scales[QK_K / 32];
    float   mins[QK_K / 32];
    for (int j = 0; j < QK_K / 32; ++j) {
        scales[j] = tevo_kq_search_scale_min(32, nmax, x + 32 * j, w + 32 * j, L + 32 * j, &mins[j], KQ_W_RMIN,
                                             KQ_W_RDELTA, KQ_W_NSTEP, TEVO_KQ_SQUARED);
    }
    uint8_t     Ls[QK_K / 32];
    uint8_t     Lm[QK_K / 32];
    const float d_block = tevo_kq_quantize_nonneg_weighted(QK_K / 32, 63, scales, Ls, sw);
    const float m_block = tevo_kq_quantize_nonneg_weighted(QK_K / 32, 63, mins, Lm, sw);

    for (int j = 0; j < QK_K / 32; ++j) {
        tevo_kq_pack_scale_min(j, Ls[j], Lm[j], y->scales);
    }
    y->d    = tevo_q_fp16(d_block);
    y->dmin = tevo_q_fp16(m_block);
    finish(x, y, L);
}

static void kq_q6_K_weighted(const float * x, block_q6_K * y, const float * qw) {
    int8_t L[QK_K];
    float  scales[QK_K / 16];
    for (int j = 0; j < QK_K / 16; ++j) {
        scales[j] = tevo_kq_search_signed_scale(16, 32, x + 16 * j, L + 16 * j, qw + 16 * j);
    }
    tevo_kq_finish_q6_K(x, y, scales, L);
}

// The row loop: every block of every row, with the weights of its columns.
template <typename block, typename F>
static size_t kq_quantize_rows(const float * src, void * dst, int64_t nrows, int64_t n_per_row,
                               const float * imatrix, void (*ref)(const float *, void *, int64_t), F weighted) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    const size_t row_size = (size_t) (n_per_row / QK_K) * sizeof(block);
    if (imatrix == NULL) {
        ref(src, dst, nrows * n_per_row);
        return (size_t) nrows * row_size;
    }
    char * out = (char *) dst;
    for (int64_t r = 0; r < nrows; ++r, src += n_per_row, out += row_size) {
        block * y = (block *) out;
        for (int64_t ib = 0; ib < n_per_row / QK_K; ++ib) {
            const float * x = src + QK_K * ib;
            if (!tevo_q_in_range(x, QK_K)) {
                tevo_kq_nonfinite(&y[ib], sizeof(block), offsetof(block, d));
                continue;
            }
            weighted(x, &y[ib], imatrix + QK_K * ib);
        }
    }
    return (size_t) nrows * row_size;
}

extern "C" {

size_t quantize_q2_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return kq_quantize_rows<block_q2_K>(src, dst, nrows, n_per_row, imatrix, quantize_row_q2_K_ref,
                                        kq_q2_K_weighted);
}

size_t quantize_q3_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return kq_quantize_rows<block_q3_K>(src, dst, nrows, n_per_row, imatrix, quantize_row_q3_K_ref,
                                        kq_q3_K_weighted);
}

size_t quantize_q4_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return kq_quantize_rows<block_q4_K>(
        src, dst, nrows, n_per_row, imatrix, quantize_row_q4_K_ref,
        [](const float * x, block_q4_K * y, const float * qw) { kq_q4_q5_K_weighted(x, y, qw, 15, tevo_kq_finish_q4_K); });
}

size_t quantize_q5_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return kq_quantize_rows<block_q5_K>(
        src, dst, nrows, n_per_row, imatrix, quantize_row_q5_K_ref,
        [](const float * x, block_q5_K * y, const float * qw) { kq_q4_q5_K_weighted(x, y, qw, 31, tevo_kq_finish_q5_K); });
}

size_t quantize_q6_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    return kq_quantize_rows<block_q6_K>(src, dst, nrows, n_per_row, imatrix, quantize_row_q6_K_ref,
                                        kq_q6_K_weighted);
}

} // extern "C"
