#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Gated delta-rule recurrence. Every head of every sequence carries an
// S_v x S_v state W (row j: value component, column i: key component). For
// each token: W is decayed by exp(g) (one factor, or one per key
// component), the deltas b * (v_j - W_j . k) are taken from the decayed state
// for all rows, W_j += delta_j * k, and output j is W_j . q / sqrt(S_v).
// The destination holds the outputs, then K state slots: slot p is the state
// after token n_tokens - 1 - p.
//
// One work unit is one (sequence, head) pair; units are handed out in chunks
// through the chunk counter, about four chunks per thread. With K = 1 the
// state is updated in place in slot 0; with more slots each thread works on
// its own matrix in the work buffer and copies it into the slots of the last
// K tokens.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"
#include "platform/platform.h"

#include <math.h>
#include <string.h>

// q: [S_v, H_q, n_tokens, n_seqs_q], k: [S_v, H_k, n_tokens, n_seqs_k],
// v: [S_v, H, n_tokens, n_seqs], g: [1 or S_v, H, n_tokens, n_seqs],
// beta: [1, H, n_tokens, n_seqs], state: [S_v, S_v, H, n_seqs]
void tevo_compute_forward_gated_delta_net(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src_q     = dst->src[0];
    const struct tevo_tensor * src_k     = dst->src[1];
    const struct tevo_tensor * src_v     = dst->src[2];
    const struct tevo_tensor * src_g     = dst->src[3];
    const struct tevo_tensor * src_beta  = dst->src[4];
    const struct tevo_tensor * src_state = dst->src[5];
    if (src_q->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int     ith = params->ith;
    const int     nth = params->nth;
    const int64_t K   = tevo_get_op_params_i32(dst, 0);

    const int64_t S_v      = src_v->ne[0];
    const int64_t H        = src_v->ne[1];
    const int64_t n_tokens = src_v->ne[2];
    const int64_t n_seqs   = src_v->ne[3];

    TEVO_ASSERT(tevo_is_contiguous_rows(src_q));
    TEVO_ASSERT(tevo_is_contiguous_rows(src_k));
    TEVO_ASSERT(tevo_is_contiguous_rows(src_v));
    TEVO_ASSERT(tevo_is_contiguous(src_g));
    TEVO_ASSERT(tevo_is_contiguous(src_beta));
    TEVO_ASSERT(tevo_is_contiguous(src_state));
    TEVO_ASSERT(src_g->ne[0] == 1 || src_g->ne[0] == S_v);
    TEVO_ASSERT(src_beta->ne[0] == 1);
    TEVO_ASSERT(K >= 1);

    const int n = tevo_row_length(dst, S_v);

    // q and k heads repeat cyclically, their sequences in whole groups
    const int64_t H_q = src_q->ne[1], H_k = src_k->ne[1];
    TEVO_ASSERT(H_q >= 1 && H_k >= 1);
    TEVO_ASSERT_AS(tevo_is_multiple(n_seqs, src_q->ne[3]) && tevo_is_multiple(n_seqs, src_k->ne[3]),
                   "n_seqs % n_seqs_q == 0 && n_seqs % n_seqs_k == 0");
    const int64_t q_seq_group = src_q->ne[3] > 0 ? n_seqs / src_q->ne[3] : 0;
    const int64_t k_seq_group = src_k->ne[3] > 0 ? n_seqs / src_k->ne[3] : 0;

    // per-thread scratch: the decay factors, then the deltas; with K > 1 the
    // working state after them
    const int64_t R = K > 1 ? S_v + S_v * S_v : S_v;
    TEVO_ASSERT(params->wdata != NULL &&
                params->wsize >= 64 + (size_t) (ith + 1) * (size_t) R * sizeof(float));
    float * scratch = (float *) ((char *) params->wdata + 64) + (size_t) ith * (size_t) R;
    float * d       = scratch;

    const int64_t nr = H * n_seqs;

    const int64_t chunk_size = TEVO_MAX((nr + 4 * nth - 1) / (4 * nth), (int64_t) 1);
    int64_t       nchunk     = (nr + chunk_size - 1) / chunk_size;
    if (nth == 1 || nchunk < nth || tevo_is_numa()) {
        nchunk = nth;
    }
    if (ith == 0) {
        tevo_threadpool_chunk_set(params->threadpool, nth);
    }
    tevo_barrier(params->threadpool);

    const int64_t dr = (nr + nchunk - 1) / nchunk;

    const float   scale    = 1.0f / sqrtf((float) S_v);
    const int64_t ss       = S_v * S_v;
    float * const out      = (float *) dst->data;
    float * const slots    = out + S_v * H * n_tokens * n_seqs;
    const int64_t slot_len = n_seqs * H * ss;
    const bool    per_key  = src_g->ne[0] == S_v;

    int64_t chunk = ith;
    while (chunk < nchunk) {
        const int64_t ir0 = dr * chunk;
        const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);

        for (int64_t ir = ir0; ir < ir1; ++ir) {
            const int64_t s = ir / H;
            const int64_t h = ir % H;

            float * W = K == 1 ? slots + (s * H + h) * ss : scratch + S_v;
            memcpy(W, (const char *) src_state->data + s * src_state->nb[3] + h * ss * (int64_t) sizeof(float),
                   (size_t) ss * sizeof(float));

            const int64_t hq = h % H_q, sq = s / q_seq_group;
            const int64_t hk = h % H_k, sk = s / k_seq_group;

            for (int64_t t = 0; t < n_tokens; ++t) {
                const float * q  = (const float *) ((const char *) src_q->data + hq * src_q->nb[1] +
                                                   t * src_q->nb[2] + sq * src_q->nb[3]);
                const float * k  = (const float *) ((const char *) src_k->data + hk * src_k->nb[1] +
                                                   t * src_k->nb[2] + sk * src_k->nb[3]);
                const float * v  = (const float *) ((const char *) src_v->data + h * src_v->nb[1] +
                                                   t * src_v->nb[2] + s * src_v->nb[3]);
                const float * g  = (const float *) ((const char *) src_g->data + h * src_g->nb[1] +
                                                   t * src_g->nb[2] + s * src_g->nb[3]);
                const float   b  = *(const float *) ((const char *) src_beta->data + h * src_beta->nb[1] +
                                                   t * src_beta->nb[2] + s * src_beta->nb[3]);
                float *       o  = out + ((s * n_tokens + t) * H + h) * S_v;

                // decay: the factor goes with the key component
                if (per_key) {
                    for (int64_t i = 0; i < S_v; ++i) {
                        d[i] = expf(g[i]);
                    }
                    for (int64_t j = 0; j < S_v; ++j) {
                        float * Wj = W + j * S_v;
                        for (int64_t i = 0; i < S_v; ++i) {
                            Wj[i] = Wj[i] * d[i];
                        }
                    }
                } else {
                    const float dg = expf(g[0]);
                    tevo_vdsp_vsmul(W, 1, &dg, W, 1, (size_t) ss);
                }

                // every delta from the decayed state before any row changes
                for (int64_t j = 0; j < S_v; ++j) {
                    float u;
                    tevo_vec_dot_f32(n, &u, 0, W + j * S_v, 0, k, 0, 1);
                    d[j] = b * (v[j] - u);
                }

                // rank-one update, then the read-out of the updated state
                for (int64_t j = 0; j < S_v; ++j) {
                    float *     Wj = W + j * S_v;
                    const float dj = d[j];
                    for (int64_t i = 0; i < S_v; ++i) {
                        Wj[i] = fmaf(k[i], dj, Wj[i]);
                    }
                }
                for (int64_t j = 0; j < S_v; ++j) {
                    float y;
                    tevo_vec_dot_f32(n, &y, 0, W + j * S_v, 0, q, 0, 1);
                    o[j] = scale * y;
                }

                const int64_t p = n_tokens - 1 - t;
                if (K > 1 && p < K) {
                    memcpy(slots + p * slot_len + (s * H + h) * ss, W, (size_t) ss * sizeof(float));
                }
            }
        }

        chunk = tevo_threadpool_chunk_add(params->threadpool, 1);
    }
}
