#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The two operators of a selective state-space layer on F32 data.
//
// SSM_CONV: a short causal depth-wise convolution of every channel over its
// d_conv - 1 state columns followed by the new tokens. Channels are split in
// contiguous blocks among the threads.
//
// SSM_SCAN: the recurrent scan. Every head carries a d_state x head_dim state
// through the tokens of its sequence; each token decays it, adds the input
// projected by B and reads it out through C. The final state lands in slot 0
// of the destination after the outputs, and slots 1 .. K-1 keep the states 1
// .. K-1 tokens before the end. Heads are split in contiguous blocks, so a
// head's outputs, states and snapshots belong to one thread: no barrier.

#include "cpu/ops/ops.h"
#include "cpu/vec/recurrent.h"

#include <math.h>
#include <string.h>

// ---------------------------------------------------------------------------
// SSM_CONV

// sx: [d_conv - 1 + n_t, d_inner, n_s], c: [d_conv, d_inner] -> [d_inner, n_t, n_s]
void tevo_compute_forward_ssm_conv(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t nc  = src1->ne[0]; // taps
    const int64_t ncs = src0->ne[0]; // state columns, then the tokens
    const int64_t nr  = src0->ne[1]; // channels
    const int64_t n_t = dst->ne[1];
    const int64_t n_s = dst->ne[2];

    TEVO_ASSERT(dst->ne[0] == nr);
    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(src1->nb[0] == sizeof(float));
    TEVO_ASSERT(src0->nb[1] == src0->ne[0]*sizeof(float));
    // the taps are read as floats; a half-float weight would be read past its end
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);

    int64_t ir0, ir1;
    tevo_thread_range(nr, params->ith, params->nth, &ir0, &ir1);
    if (ir0 >= ir1) {
        return;
    }

    for (int64_t i3 = 0; i3 < n_s; ++i3) {
        const float * sx = (const float *) ((const char *) src0->data + i3 * src0->nb[2]);
        for (int64_t i2 = 0; i2 < n_t; ++i2) {
            float * y = (float *) ((char *) dst->data + i2 * dst->nb[1] + i3 * dst->nb[2]);
            for (int64_t i1 = ir0; i1 < ir1; ++i1) {
                // output token i2 covers columns i2 .. i2 + nc - 1 of its channel
                const float * x = sx + i1 * ncs + i2;
                const float * c = (const float *) ((const char *) src1->data + i1 * src1->nb[1]);
                float         sum = 0.0f;
                for (int64_t i0 = 0; i0 < nc; ++i0) {
                    sum = fmaf(x[i0], c[i0], sum);
                }
                y[i1] = sum;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// SSM_SCAN

// softplus of the time step; above 20 it is the identity to float precision
static inline float tevo_ssm_softplus(float z) {
    return z > 20.0f ? z : logf(expf(z) + 1.0f);
}

// s: state pool [d_state, head_dim, n_head, n_pool], x: [head_dim, n_head, nt, ns],
// dt: [n_head, nt, ns], A: [1 or d_state, n_head], B, C: [d_state, ng, nt, ns],
// ids: [ns] -> y (dense, as x) then K slots of ns states
void tevo_compute_forward_ssm_scan(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0]; // s
    const struct tevo_tensor * src1 = dst->src[1]; // x
    const struct tevo_tensor * src2 = dst->src[2]; // dt
    const struct tevo_tensor * src3 = dst->src[3]; // A
    const struct tevo_tensor * src4 = dst->src[4]; // B
    const struct tevo_tensor * src5 = dst->src[5]; // C
    const struct tevo_tensor * src6 = dst->src[6]; // ids
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t K  = tevo_get_op_params_i32(dst, 0);
    const int64_t nc = src0->ne[0]; // d_state
    const int64_t nr = src0->ne[1]; // head_dim
    const int64_t nh = src0->ne[2]; // n_head
    const int64_t nt = src1->ne[2]; // tokens per sequence
    const int64_t ns = src1->ne[3]; // sequences
    const int64_t ng = src4->ne[1]; // groups of B and C

    TEVO_ASSERT(K >= 1);
    TEVO_ASSERT(tevo_nelements(src1) + K*nc*nr*nh*ns == tevo_nelements(dst));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(src1->nb[0] == sizeof(float));
    TEVO_ASSERT(src2->nb[0] == sizeof(float));
    TEVO_ASSERT(src3->nb[0] == sizeof(float));
    TEVO_ASSERT(src4->nb[0] == sizeof(float));
    TEVO_ASSERT(src5->nb[0] == sizeof(float));
    TEVO_ASSERT(src6->nb[0] == sizeof(int32_t));
    TEVO_ASSERT_AS(tevo_is_multiple(nh, ng), "nh % ng == 0");
    TEVO_ASSERT(src3->ne[0] == 1 || K == 1);

    const int32_t * ids = (const int32_t *) src6->data;
    // an id outside the pool would read another buffer as a state
    for (int64_t i3 = 0; i3 < ns; ++i3) {
        TEVO_ASSERT(ids[i3] >= 0 && ids[i3] < src0->ne[3]);
    }

    const int n = tevo_row_length(dst, nc);

    int64_t h0, h1;
    tevo_thread_range(nh, params->ith, params->nth, &h0, &h1);
    if (h0 >= h1) {
        return;
    }

    const bool    scalar_decay = src3->ne[0] == 1;
    const int64_t heads_per_g  = ng > 0 ? nh / ng : 1;
    const int64_t head_state   = nc * nr; // floats of one head's state

    float *      y      = (float *) dst->data;
    char * const states = (char *) dst->data + tevo_nelements(src1) * tevo_element_size(src1);
    const size_t seq_nb = src0->nb[3];

    for (int64_t i3 = 0; i3 < ns; ++i3) {
        const char * pool = (const char *) src0->data + ids[i3] * src0->nb[3];
        float *      cur  = (float *) (states + i3 * seq_nb);

        if (nt == 0) {
            // no tokens: the final state is the initial one
            for (int64_t h = h0; h < h1; ++h) {
                memcpy(cur + h * head_state, pool + h * src0->nb[2], (size_t) head_state * sizeof(float));
            }
            continue;
        }

        for (int64_t i2 = 0; i2 < nt; ++i2) {
            const char * xt  = (const char *) src1->data + i2 * src1->nb[2] + i3 * src1->nb[3];
            const char * dtt = (const char *) src2->data + i2 * src2->nb[1] + i3 * src2->nb[2];
            const char * Bt  = (const char *) src4->data + i2 * src4->nb[2] + i3 * src4->nb[3];
            const char * Ct  = (const char *) src5->data + i2 * src5->nb[2] + i3 * src5->nb[3];
            float *      yt  = y + (i3 * nt + i2) * nr * nh;

            for (int64_t h = h0; h < h1; ++h) {
                const float   dts = tevo_ssm_softplus(((const float *) dtt)[h]);
                const int64_t g   = h / heads_per_g;
                const float * A   = (const float *) ((const char *) src3->data + h * src3->nb[1]);
                const float * B   = (const float *) (Bt + g * src4->nb[1]);
                const float * C   = (const float *) (Ct + g * src5->nb[1]);
                const float * x   = (const float *) (xt + h * src1->nb[1]);
                // one decay per head and token in the scalar form
                const float   dA  = scalar_decay ? expf(dts * A[0]) : 0.0f;

                for (int64_t i1 = 0; i1 < nr; ++i1) {
                    // the first token reads the pool, later ones the state in place
                    const float * prev = i2 == 0 ? (const float *) (pool + h * src0->nb[2] + i1 * src0->nb[1])
                                                 : cur + h * head_state + i1 * nc;
                    float *       s    = cur + h * head_state + i1 * nc;
                    float         sum;
                    if (scalar_decay) {
                        const float xdt = x[i1] * dts;
                        sum             = tevo_vec_ssm_scan_row_f32(n, s, prev, B, C, dA, xdt);
                    } else {
                        const float xdt = dts * x[i1];
                        sum             = 0.0f;
                        for (int64_t i0 = 0; i0 < nc; ++i0) {
                            const float dAi = expf(dts * A[i0]);
                            const float nv  = fmaf(dAi, prev[i0], B[i0] * xdt);
                            sum            = fmaf(nv, C[i0], sum);
                            s[i0]          = nv;
                        }
                    }
                    yt[i1 + nr * h] = sum;
                }
            }

            // the states 1 .. K-1 tokens before the end, for rolling back
            const int64_t P = nt - 1 - i2;
            if (K > 1 && P > 0 && P < K) {
                float * slot = (float *) (states + (P * ns + i3) * seq_nb);
                for (int64_t h = h0; h < h1; ++h) {
                    memcpy(slot + h * head_state, cur + h * head_state, (size_t) head_state * sizeof(float));
                }
            }
        }
    }
}
