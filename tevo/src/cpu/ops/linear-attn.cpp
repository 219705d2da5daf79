#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Linear-attention recurrences on F32 data: RWKV-7, RWKV-6 and gated linear
// attention. Each head carries an S x S state per sequence through the
// tokens; the T tokens of a batch are n_seqs sequences of T / n_seqs tokens,
// one after the other, and each sequence starts from its own matrix of the
// state input. The destination holds the C * T outputs, then the states
// after the last token of every sequence.
//
// Heads are split among the threads by proportion; a thread owns the output
// columns and state matrices of its heads. RWKV-6 and gated linear attention
// accumulate their outputs over the state rows, so thread 0 clears them all
// first and every thread waits at the barrier before adding; RWKV-7 assigns
// its outputs and needs neither.

#include "cpu/ops/ops.h"
#include "cpu/vec/recurrent.h"
#include "cpu/vec/vec.h"

#include <string.h>

namespace {

// The shared frame: extents, this thread's heads and where a sequence's
// states are.
struct tevo_lin_attn {
    int64_t T;      // tokens of the batch
    int64_t C;      // channels, HEADS * S
    int64_t heads;
    int64_t S;      // head size
    int64_t n_seqs;
    int64_t seq_len; // tokens per sequence
    int64_t h0, h1; // this thread's heads

    const float * state_in;
    float *       out;
    float *       state_out;
};

} // namespace

// Fills the frame; false when the node holds no heads or no tokens (a node
// without tokens has its initial states copied through by then).
static bool tevo_lin_attn_frame(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                const struct tevo_tensor * src_state, struct tevo_lin_attn * f) {
    const struct tevo_tensor * src1 = dst->src[1];

    f->T      = src1->ne[2];
    f->heads  = src1->ne[1];
    f->C      = dst->ne[0];
    f->n_seqs = src_state->ne[1];

    TEVO_ASSERT_AS(tevo_is_multiple(f->C, f->heads), "C % HEADS == 0");
    if (f->heads == 0) {
        return false;
    }
    f->S = f->C / f->heads;
    tevo_row_length(dst, f->S);
    // every sequence has the same number of tokens
    TEVO_ASSERT_AS(f->n_seqs > 0 && f->T % f->n_seqs == 0, "T % n_seqs == 0");
    f->seq_len = f->T / f->n_seqs;

    const int64_t ith = params->ith;
    const int64_t nth = params->nth;
    f->h0             = (f->heads * ith) / nth;
    f->h1             = TEVO_MIN((f->heads * (ith + 1)) / nth, f->heads);

    f->state_in  = (const float *) src_state->data;
    f->out       = (float *) dst->data;
    f->state_out = f->out + f->C * f->T;

    if (f->T == 0) {
        // the states pass through unchanged
        for (int64_t sq = 0; sq < f->n_seqs; ++sq) {
            for (int64_t h = f->h0; h < f->h1; ++h) {
                const int64_t off = sq * f->S * f->C + h * f->S * f->S;
                memcpy(f->state_out + off, f->state_in + off, (size_t) (f->S * f->S) * sizeof(float));
            }
        }
        return false;
    }
    return true;
}

// The state matrix of head h that token t reads: its sequence's input
// matrix at the first token, else the one being updated in the destination.
static inline const float * tevo_lin_attn_prev(const struct tevo_lin_attn * f, int64_t t, int64_t h) {
    const int64_t sq  = t / f->seq_len;
    const int64_t off = sq * f->S * f->C + h * f->S * f->S;
    return (t % f->seq_len == 0 ? f->state_in : f->state_out) + off;
}

static inline float * tevo_lin_attn_cur(const struct tevo_lin_attn * f, int64_t t, int64_t h) {
    return f->state_out + (t / f->seq_len) * f->S * f->C + h * f->S * f->S;
}

// ---------------------------------------------------------------------------
// RWKV_WKV7

// r, w, k, v, a, b: [S, H, T]; state: [S * S * H, n_seqs]. In the state, the
// row is the value channel and the column the key channel.
void tevo_compute_forward_rwkv_wkv7(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (dst->src[0]->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    struct tevo_lin_attn f;
    if (!tevo_lin_attn_frame(params, dst, dst->src[6], &f)) {
        return;
    }

    const float * r = (const float *) dst->src[0]->data;
    const float * w = (const float *) dst->src[1]->data;
    const float * k = (const float *) dst->src[2]->data;
    const float * v = (const float *) dst->src[3]->data;
    const float * a = (const float *) dst->src[4]->data;
    const float * b = (const float *) dst->src[5]->data;

    const int S = (int) f.S;

    for (int64_t t = 0; t < f.T; ++t) {
        for (int64_t h = f.h0; h < f.h1; ++h) {
            const int64_t off  = t * f.C + h * f.S;
            const float * prev = tevo_lin_attn_prev(&f, t, h);
            float *       cur  = tevo_lin_attn_cur(&f, t, h);

            for (int64_t i = 0; i < f.S; ++i) {
                const float * prow = prev + i * f.S;
                float *       crow = cur + i * f.S;

                // the whole row is read here before the update below writes it
                float sa;
                tevo_vec_dot_f32(S, &sa, 0, a + off, 0, prow, 0, 1);

                f.out[off + i] = tevo_vec_wkv7_row_f32(S, crow, prow, w + off, k + off, b + off, r + off, v[off + i], sa);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// RWKV_WKV6

// thread 0 clears the outputs that the recurrences add into
static void tevo_lin_attn_clear_outputs(const struct tevo_compute_params * params, const struct tevo_lin_attn * f) {
    if (params->ith == 0) {
        memset(f->out, 0, (size_t) (f->C * f->T) * sizeof(float));
    }
    tevo_barrier(params->threadpool);
}

// k, v, r, td: [S, H, T]; tf: [S, H]; state: [S * S * H, n_seqs]. In the
// state, the row is the key channel and the column the value channel.
void tevo_compute_forward_rwkv_wkv6(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (dst->src[0]->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    struct tevo_lin_attn f;
    if (!tevo_lin_attn_frame(params, dst, dst->src[5], &f)) {
        return;
    }

    const float * k  = (const float *) dst->src[0]->data;
    const float * v  = (const float *) dst->src[1]->data;
    const float * r  = (const float *) dst->src[2]->data;
    const float * tf = (const float *) dst->src[3]->data;
    const float * td = (const float *) dst->src[4]->data;

    tevo_lin_attn_clear_outputs(params, &f);

    const int S = (int) f.S;

    for (int64_t t = 0; t < f.T; ++t) {
        for (int64_t h = f.h0; h < f.h1; ++h) {
            const int64_t off  = t * f.C + h * f.S;
            const float * prev = tevo_lin_attn_prev(&f, t, h);
            float *       cur  = tevo_lin_attn_cur(&f, t, h);

            for (int64_t i = 0; i < f.S; ++i) {
                tevo_vec_wkv6_row_f32(S, f.out + off, cur + i * f.S, prev + i * f.S, v + off, k[off + i], r[off + i],
                                      tf[h * f.S + i], td[off + i]);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// GATED_LINEAR_ATTN

// k, v, q, gate: [S, H, T]; state: [S * S * H, n_seqs]; the state row is the
// key channel. Output t reads the state after token t through q * scale.
void tevo_compute_forward_gla(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (dst->src[0]->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    struct tevo_lin_attn f;
    if (!tevo_lin_attn_frame(params, dst, dst->src[4], &f)) {
        return;
    }

    const float * k     = (const float *) dst->src[0]->data;
    const float * v     = (const float *) dst->src[1]->data;
    const float * q     = (const float *) dst->src[2]->data;
    const float * g     = (const float *) dst->src[3]->data;
    const float   scale = tevo_get_op_params_f32(dst, 0);

    tevo_lin_attn_clear_outputs(params, &f);

    const int S = (int) f.S;

    for (int64_t t = 0; t < f.T; ++t) {
        for (int64_t h = f.h0; h < f.h1; ++h) {
            const int64_t off  = t * f.C + h * f.S;
            const float * prev = tevo_lin_attn_prev(&f, t, h);
            float *       cur  = tevo_lin_attn_cur(&f, t, h);

            for (int64_t i = 0; i < f.S; ++i) {
                tevo_vec_gla_row_f32(S, f.out + off, cur + i * f.S, prev + i * f.S, v + off, k[off + i],
                                     q[off + i] * scale, g[off + i]);
            }
        }
    }
}
