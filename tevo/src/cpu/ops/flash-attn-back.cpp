#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// FLASH_ATTN_BACK: the gradients of one scaled dot-product attention with
// respect to q, k and v, written one after the other into the destination.
//
// q: [D, N, H_q, B], k: [D, M, H_kv, B], v transposed: [M, D, H_kv, B] (row ic
// holds output component ic for every key), d (the output's gradient):
// [D, N, H_q, B]. Query head iq2 uses key head iq2 mod H_kv; with the causal
// mask, query row iq1 sees keys 0 .. M - N + iq1.
//
// The attention weights are not kept by any forward pass: every query row
// recomputes its scores and softmax in two per-thread scratch rows, goes back
// through the softmax and adds its share to the three gradients. Threads take
// whole key heads, so no two threads write the same gradient row; thread 0
// clears the destination before the one barrier.
//
// Destination layout (bytes; each block packed like the tensor it belongs to,
// the blocks 16-byte aligned):
//   grad_q at 0, grad_k at offs_k = pad16(4·|q|), grad_v at offs_v = offs_k + pad16(4·|k|).

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"
#include "platform/platform.h"

static inline int64_t fab_pad16(int64_t x) {
    return (x + 15) & ~(int64_t) 15;
}

void tevo_compute_forward_flash_attn_back(const struct tevo_compute_params * params, bool masked,
                                          struct tevo_tensor * dst) {
    const struct tevo_tensor * q = dst->src[0];
    const struct tevo_tensor * k = dst->src[1];
    const struct tevo_tensor * v = dst->src[2];
    const struct tevo_tensor * d = dst->src[3];

    if (q->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(k != NULL && v != NULL && d != NULL);

    const int64_t D = q->ne[0];
    const int64_t N = q->ne[1];
    const int64_t M = k->ne[1];
    const int64_t P = M - N;

    const int64_t neq2 = q->ne[2], neq3 = q->ne[3];
    const int64_t nek2 = k->ne[2], nek3 = k->ne[3];

    TEVO_ASSERT(P >= 0);
    TEVO_ASSERT_AS(q->nb[0] == sizeof(float), "nbq0 == sizeof(float)");
    TEVO_ASSERT_AS(k->nb[0] == sizeof(float), "nbk0 == sizeof(float)");
    TEVO_ASSERT_AS(v->nb[0] == sizeof(float), "nbv0 == sizeof(float)");
    TEVO_ASSERT_AS(k->ne[0] == D, "nek0 == D");
    TEVO_ASSERT_AS(v->ne[1] == D, "nev1 == D");
    TEVO_ASSERT_AS(d->ne[0] == D, "ned0 == D");
    TEVO_ASSERT_AS(d->ne[1] == N, "ned1 == N");
    TEVO_ASSERT_AS(dst->nb[0] == sizeof(float), "nb0 == sizeof(float)");
    TEVO_ASSERT_AS(dst->nb[0] <= dst->nb[1], "nb0 <= nb1");
    TEVO_ASSERT_AS(dst->nb[1] <= dst->nb[2], "nb1 <= nb2");
    TEVO_ASSERT_AS(dst->nb[2] <= dst->nb[3], "nb2 <= nb3");

    // Every source is read as floats and addressed by the extents above, so
    // each must have them: k and v one value per key, d and q the same heads
    // and batches, k and v the same heads, and whole groups of query heads
    // per key head.
    TEVO_ASSERT(k->type == TEVO_TYPE_F32);
    TEVO_ASSERT(v->type == TEVO_TYPE_F32);
    TEVO_ASSERT(d->type == TEVO_TYPE_F32);
    TEVO_ASSERT_AS(v->ne[0] == M, "nev0 == M");
    TEVO_ASSERT_AS(v->ne[2] == nek2 && v->ne[3] == nek3, "nev2 == nek2 && nev3 == nek3");
    TEVO_ASSERT_AS(d->ne[2] == neq2 && d->ne[3] == neq3, "ned2 == neq2 && ned3 == neq3");
    TEVO_ASSERT_AS(nek3 == neq3, "nek3 == neq3");
    TEVO_ASSERT_AS(nek2 > 0 && neq2 % nek2 == 0, "neq2 % nek2 == 0");

    // the gradients are cleared as one flat block, then filled by offset
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_is_contiguous(dst));
    const int64_t elem_q = tevo_nelements(q);
    const int64_t elem_k = tevo_nelements(k);
    const int64_t elem_v = tevo_nelements(v);
    const int64_t offs_k = fab_pad16(elem_q * (int64_t) sizeof(float));
    const int64_t offs_v = offs_k + fab_pad16(elem_k * (int64_t) sizeof(float));
    TEVO_ASSERT_AS(offs_v + elem_v * (int64_t) sizeof(float) <= (int64_t) tevo_nbytes(dst),
                   "offs_v + elem_v*sizeof(float) <= tevo_nbytes(dst)");

    // the row routines take int lengths
    const int     nd   = tevo_row_length(dst, D);
    const int64_t Mup  = (M + 3) & ~(int64_t) 3;
    const int     nmup = tevo_row_length(dst, Mup);
    const int64_t mxDM = TEVO_MAX(D, Mup);

    // two scratch rows per thread, a cache line apart
    TEVO_ASSERT(params->wsize >= sizeof(float) * 2 * (size_t) params->nth * (size_t) (mxDM + 16));

    if (params->ith == 0) {
        memset(dst->data, 0, tevo_nbytes(dst));
    }
    tevo_barrier(params->threadpool);

    const int64_t nrep = neq2 / nek2;

    int64_t ir0, ir1;
    tevo_thread_range(nek2 * nek3, params->ith, params->nth, &ir0, &ir1);
    if (ir0 >= ir1 || nrep <= 0 || N <= 0) {
        return;
    }

    const float scale = 1.0f / sqrtf((float) D);

    char * grad_q = (char *) dst->data;
    char * grad_k = (char *) dst->data + offs_k;
    char * grad_v = (char *) dst->data + offs_v;

    // packed strides of the three gradient blocks
    const size_t gq1 = sizeof(float) * (size_t) D;
    const size_t gq2 = gq1 * (size_t) N;
    const size_t gq3 = gq2 * (size_t) neq2;
    const size_t gk1 = sizeof(float) * (size_t) D;
    const size_t gk2 = gk1 * (size_t) M;
    const size_t gk3 = gk2 * (size_t) nek2;
    const size_t gv1 = sizeof(float) * (size_t) M;
    const size_t gv2 = gv1 * (size_t) D;
    const size_t gv3 = gv2 * (size_t) nek2;

    float * S  = (float *) params->wdata + (size_t) params->ith * 2 * (size_t) (mxDM + 16);
    float * SM = S + (mxDM + 16);

    static const float neg_inf4[4] = { -INFINITY, -INFINITY, -INFINITY, -INFINITY };

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t ik3 = ir / nek2;
        const int64_t ik2 = ir - ik3 * nek2;
        const int64_t iq3 = ik3;

        for (int64_t irep = 0; irep < nrep; ++irep) {
            const int64_t iq2 = ik2 + irep * nek2;

            for (int64_t iq1 = 0; iq1 < N; ++iq1) {
                const int64_t masked_begin = masked ? P + iq1 + 1 : M;
                const size_t  mb           = (size_t) masked_begin;

                const float * qrow = (const float *) ((const char *) q->data + iq1 * q->nb[1] + iq2 * q->nb[2] +
                                                      iq3 * q->nb[3]);

                tevo_memset_pattern16(S + M, neg_inf4, (size_t) (Mup - M) * sizeof(float));

                // scores of the visible keys
                for (int64_t ic = 0; ic < masked_begin; ++ic) {
                    const float * krow = (const float *) ((const char *) k->data + ic * k->nb[1] +
                                                          ik2 * k->nb[2] + ik3 * k->nb[3]);
                    tevo_vec_dot_f32(nd, &S[ic], 0, krow, 0, qrow, 0, 1);
                }
                tevo_vdsp_vsmul(S, 1, &scale, S, 1, mb);
                tevo_memset_pattern16(S + masked_begin, neg_inf4, (size_t) (M - masked_begin) * sizeof(float));

                float max = -INFINITY;
                tevo_vdsp_maxv(S, 1, &max, mb);

                // the attention weights of this query row
                const double sum = tevo_vec_soft_max_f32(nmup, SM, S, max);
                const float  inv = (float) (1.0 / sum);
                tevo_vdsp_vsmul(SM, 1, &inv, SM, 1, mb);

                // gradient of the weights: S[j] = sum over ic of v[j, ic] d[ic]
                memset(S, 0, mb * sizeof(float));
                for (int64_t ic = 0; ic < D; ++ic) {
                    const float * vrow = (const float *) ((const char *) v->data + ic * v->nb[1] +
                                                          ik2 * v->nb[2] + ik3 * v->nb[3]);
                    const float   dv   = *(const float *) ((const char *) d->data + ic * d->nb[0] +
                                                           iq1 * d->nb[1] + iq2 * d->nb[2] + iq3 * d->nb[3]);
                    tevo_vec_mad_f32(masked_begin, S, vrow, dv);
                }

                // back through the softmax to the raw scores
                float dot;
                tevo_vec_dot_f32((int) masked_begin, &dot, 0, SM, 0, S, 0, 1);
                for (int64_t j = 0; j < masked_begin; ++j) {
                    S[j] = (S[j] - dot) * SM[j];
                }
                tevo_vdsp_vsmul(S, 1, &scale, S, 1, mb);

                float * gq = (float *) (grad_q + iq1 * gq1 + iq2 * gq2 + iq3 * gq3);
                for (int64_t ic = 0; ic < masked_begin; ++ic) {
                    const float * krow = (const float *) ((const char *) k->data + ic * k->nb[1] +
                                                          ik2 * k->nb[2] + ik3 * k->nb[3]);
                    tevo_vec_mad_f32(D, gq, krow, S[ic]);
                }
                for (int64_t ic = 0; ic < masked_begin; ++ic) {
                    float * gk = (float *) (grad_k + ic * gk1 + ik2 * gk2 + ik3 * gk3);
                    tevo_vec_mad_f32(D, gk, qrow, S[ic]);
                }
                for (int64_t ic = 0; ic < D; ++ic) {
                    float *     gv = (float *) (grad_v + ic * gv1 + ik2 * gv2 + ik3 * gv3);
                    const float dv = *(const float *) ((const char *) d->data + ic * d->nb[0] + iq1 * d->nb[1] +
                                                       iq2 * d->nb[2] + iq3 * d->nb[3]);
                    tevo_vec_mad_f32(masked_begin, gv, SM, dv);
                }
            }
        }
    }
}
