#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Fused attention for one query row per head over many keys (a decoding
// step): too few rows to share, so the keys are shared. Each thread leaves an
// unnormalised record {M, S, acc} per head for its key range; after a barrier
// the records of each head are folded together in thread order.

#include "cpu/ops/flash-attn.h"
#include "platform/platform.h"

#include <immintrin.h>

// the records of one head, one per thread, folded in thread order
static void tevo_flash_attn_ext_merge_partials(float * out, const float * records, int nth, int64_t DV,
                                               int64_t n_kv, int64_t chunk_size) {
    memset(out, 0, (size_t) DV * sizeof(float));
    float M = -INFINITY;
    float S = 0.0f;

    for (int t = 0; t < nth; ++t) {
        const float * rec = records + (int64_t) t * (DV + 2);
        if ((int64_t) t * chunk_size >= n_kv || rec[1] == 0.0f) {
            continue;
        }
        const float   m   = rec[0];
        const float   s   = rec[1];
        const float * acc = rec + 2;

        const float Mn = fmaxf(M, m);
        const float a  = expf(M - Mn);
        const float b  = expf(m - Mn);

        const __m256 va = _mm256_set1_ps(a);
        const __m256 vb = _mm256_set1_ps(b);
        int64_t      d  = 0;
        for (; d + 8 <= DV; d += 8) {
            const __m256 ab = _mm256_mul_ps(_mm256_loadu_ps(acc + d), vb);
            _mm256_storeu_ps(out + d, _mm256_fmadd_ps(_mm256_loadu_ps(out + d), va, ab));
        }
        for (; d < DV; ++d) {
            out[d] = fmaf(out[d], a, acc[d] * b);
        }

        S = S * a + s * b;
        M = Mn;
    }

    if (S != 0.0f) {
        const float S_inv = 1.0f / S;
        tevo_vdsp_vsmul(out, 1, &S_inv, out, 1, (size_t) DV);
    }
}

void tevo_flash_attn_ext_split_kv(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * q = dst->src[0];
    const struct tevo_tensor * k = dst->src[1];
    const struct tevo_tensor * v = dst->src[2];

    const int ith = params->ith;
    const int nth = params->nth;

    const int64_t DK     = k->ne[0];
    const int64_t DV     = v->ne[0];
    const int64_t n_kv   = k->ne[1];
    const int64_t n_head = q->ne[2];

    const int64_t chunk_size = (n_kv + nth - 1) / nth;
    const int64_t kv0        = (int64_t) ith * chunk_size;
    const int64_t kv1        = TEVO_MIN(kv0 + chunk_size, n_kv);

    float * const scratch        = (float *) params->wdata;
    const int64_t slice          = DK + 2 * DV + 16;
    float * const records        = scratch + (size_t) nth * (size_t) slice;
    const int64_t partial_stride = (int64_t) nth * (DV + 2);
    // every thread's slice, then a record per head and thread
    TEVO_ASSERT(params->wsize >= ((size_t) nth * (size_t) slice + (size_t) n_head * (size_t) partial_stride) *
                                     sizeof(float));

    if (kv0 < n_kv) {
        // with one query row the row number of head h is h
        tevo_flash_attn_ext_one_chunk(params, dst, 0, n_head, kv0, kv1, records + (int64_t) ith * (DV + 2),
                                      partial_stride);
    } else {
        for (int64_t h = 0; h < n_head; ++h) {
            float * rec = records + (h * nth + ith) * (DV + 2);
            rec[0]      = -INFINITY;
            rec[1]      = 0.0f;
        }
    }

    tevo_barrier(params->threadpool);

    float * const out = scratch + (size_t) ith * (size_t) slice;
    for (int64_t h = ith; h < n_head; h += nth) {
        tevo_flash_attn_ext_merge_partials(out, records + h * partial_stride, nth, DV, n_kv, chunk_size);
        memcpy((char *) dst->data + h * dst->nb[1], out, (size_t) DV * sizeof(float));
    }
}
