#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The lightning indexer: for every query token and key, the sum over heads of
// the head's weight times the positive part of the head's query . key (one
// key row shared by all heads), plus an additive half-precision mask that
// broadcasts over sequences. Keys are split in contiguous blocks among the
// threads; a key of another type than F32 is widened into the thread's own
// row of the work buffer before its dot products.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"

#include <math.h>

// q: [D, H, T, S], k: [D, 1, N, S], weights: [H, T, 1, S], mask: [N, T, 1, Sm]
// -> [N, T, 1, S]
void tevo_compute_forward_lightning_indexer(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * q = dst->src[0];
    const struct tevo_tensor * k = dst->src[1];
    const struct tevo_tensor * w = dst->src[2];
    const struct tevo_tensor * m = dst->src[3];

    const size_t nb0  = dst->nb[0];
    const size_t nbq0 = q->nb[0];
    const size_t nbk0 = k->nb[0];
    const size_t nbw0 = w->nb[0];
    const size_t nbm0 = m->nb[0];

    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(q->type == TEVO_TYPE_F32);
    TEVO_ASSERT(w->type == TEVO_TYPE_F32);
    TEVO_ASSERT(m->type == TEVO_TYPE_F16);
    TEVO_ASSERT(nb0 == tevo_type_size(dst->type));
    TEVO_ASSERT(nbq0 == tevo_type_size( q->type));
    TEVO_ASSERT(nbk0 == tevo_type_size( k->type));
    TEVO_ASSERT(nbw0 == tevo_type_size( w->type));
    TEVO_ASSERT(nbm0 == tevo_type_size( m->type));

    const tevo_to_float_t k_to_float = tevo_get_type_traits(k->type)->to_float;
    TEVO_ASSERT((k->type == TEVO_TYPE_F32 || k_to_float) && "lightning indexer: unsupported K-type");

    const int64_t D  = q->ne[0];
    const int64_t H  = q->ne[1];
    const int64_t T  = q->ne[2];
    const int64_t S  = q->ne[3];
    const int64_t N  = k->ne[2];
    const int64_t Sm = m->ne[3];

    const int n = tevo_row_length(dst, D);

    int64_t n0, n1;
    tevo_thread_range(N, params->ith, params->nth, &n0, &n1);
    if (S <= 0 || T <= 0 || n0 >= n1) {
        return;
    }

    float * scratch = NULL;
    if (k->type != TEVO_TYPE_F32) {
        const size_t stride = (size_t) D + 16;
        TEVO_ASSERT(params->wdata != NULL && params->wsize >= (size_t) (params->ith + 1) * stride * sizeof(float));
        scratch = (float *) params->wdata + (size_t) params->ith * stride;
    }

    for (int64_t s = 0; s < S; ++s) {
        for (int64_t t = 0; t < T; ++t) {
            const float *       wt = (const float *) ((const char *) w->data + t * w->nb[1] + s * w->nb[3]);
            const tevo_fp16_t * mt =
                (const tevo_fp16_t *) ((const char *) m->data + t * m->nb[1] + (s % Sm) * m->nb[3]);
            float * yt = (float *) ((char *) dst->data + t * dst->nb[1] + s * dst->nb[3]);

            for (int64_t j = n0; j < n1; ++j) {
                const char *  krow = (const char *) k->data + j * k->nb[2] + s * k->nb[3];
                const float * key  = (const float *) krow;
                if (scratch) {
                    k_to_float(krow, scratch, D);
                    key = scratch;
                }

                float acc = 0.0f;
                for (int64_t h = 0; h < H; ++h) {
                    const float * qh = (const float *) ((const char *) q->data + h * q->nb[1] + t * q->nb[2] +
                                                        s * q->nb[3]);
                    float d;
                    tevo_vec_dot_f32(n, &d, 0, qh, 0, key, 0, 1);
                    // the positive part; a NaN counts as 0
                    const float r = d > 0.0f ? d : 0.0f;
                    acc           = fmaf(r, wt[h], acc);
                }
                yt[j] = acc + tevo_table_f32_f16[mt[j]];
            }
        }
    }
}
