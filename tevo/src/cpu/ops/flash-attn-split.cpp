#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Fused attention for one query row per head over many keys (a decoding
// step): too few rows to share, so the keys are shared. The keys are cut into
// pieces of a fixed length; every (head, piece) leaves an unnormalised record
// {M, S, acc}, computed by whichever thread takes it, and after a barrier the
// records of each head are folded together in piece order. Neither the
// pieces nor the order depend on the thread count, so neither does a bit of
// the result.

#include "cpu/ops/flash-attn.h"
#include "platform/platform.h"

#include <immintrin.h>

// the records of one head, one per piece, folded in piece order
static void tevo_flash_attn_ext_merge_partials(float * out, const float * records, int64_t n_piece, int64_t DV) {
    memset(out, 0, (size_t) DV * sizeof(float));
    float M = -INFINITY;
    float S = 0.0f;

    for (int64_t p = 0; p < n_piece; ++p) {
        const float * rec = records + p * (DV + 2);
        if (rec[1] == 0.0f) {
            continue; // every key of the piece masked
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

    const int64_t n_piece = tevo_flash_attn_ext_split_pieces(n_kv);

    float * const scratch = (float *) params->wdata;
    const int64_t slice   = DK + 2 * DV + 16;
    // every thread's slice, then a record per head and piece
    float * const records = scratch + (size_t) nth * (size_t) slice;
    TEVO_ASSERT(params->wsize >= tevo_flash_attn_ext_split_floats(nth, DK, DV, n_head, n_kv) * sizeof(float));

    // The (piece, head) items in piece order, a run of them per thread; the
    // heads of one piece go through the one-chunk kernel in one call. With
    // one query row the row number of head h is h, and its records lie
    // n_piece * (DV + 2) floats apart.
    const int64_t partial_stride = n_piece * (DV + 2);
    const int64_t n_item         = n_piece * n_head;
    const int64_t per_thread     = (n_item + nth - 1) / nth;
    const int64_t item1          = TEVO_MIN((int64_t) ith * per_thread + per_thread, n_item);
    for (int64_t item = (int64_t) ith * per_thread; item < item1;) {
        const int64_t p   = item / n_head;
        const int64_t h0  = item % n_head;
        const int64_t h1  = TEVO_MIN(n_head, h0 + item1 - item);
        const int64_t kv0 = p * FATTN_SPLIT_PIECE;
        const int64_t kv1 = TEVO_MIN(kv0 + FATTN_SPLIT_PIECE, n_kv);
        tevo_flash_attn_ext_one_chunk(params, dst, h0, h1, kv0, kv1, records + p * (DV + 2), partial_stride);
        item += h1 - h0;
    }

    tevo_barrier(params->threadpool);

    float * const out = scratch + (size_t) ith * (size_t) slice;
    for (int64_t h = ith; h < n_head; h += nth) {
        tevo_flash_attn_ext_merge_partials(out, records + h * partial_stride, n_piece, DV);
        memcpy((char *) dst->data + h * dst->nb[1], out, (size_t) DV * sizeof(float));
    }
}
