#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The training operators: the cross-entropy loss of logits against target
// probabilities (mean over rows), its gradient with respect to the logits,
// and one AdamW or SGD step that updates a parameter tensor in place. All in
// single precision; the fused multiply-adds below sit exactly where the
// results are defined to have them, so that parameters stay bit-identical
// over many steps whatever the thread count. Rows are split in contiguous
// blocks; only the loss, which sums partial sums of blocks of rows, meets the
// other threads at the barrier.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// CROSS_ENTROPY_LOSS: -(1/nr) · Σ rows Σ i s1[i] · log_softmax(s0)[i]

// The rows are summed in blocks that depend on the row count alone, each
// block's sum in its own slot, and thread 0 adds the slots in block order:
// the loss has the same bits at every thread count. At most this many
// blocks keep the slots small for any row count while leaving enough blocks
// to share among the threads.
#define CE_LOSS_MAX_BLOCKS 1024

static int64_t ce_loss_block_rows(int64_t nr) {
    return nr > 0 ? (nr + CE_LOSS_MAX_BLOCKS - 1) / CE_LOSS_MAX_BLOCKS : 1;
}

static int64_t ce_loss_blocks(int64_t nr) {
    const int64_t br = ce_loss_block_rows(nr);
    return (nr + br - 1) / br;
}

// one double per block of rows, then one scratch row of floats per thread
size_t tevo_cross_entropy_loss_wsize(const struct tevo_tensor * node, int nth) {
    const struct tevo_tensor * src0 = node->src[0];
    return sizeof(double) * (size_t) ce_loss_blocks(tevo_nrows(src0)) +
           sizeof(float) * (size_t) nth * (size_t) src0->ne[0];
}

void tevo_compute_forward_cross_entropy_loss(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int ith = params->ith;
    const int nth = params->nth;

    // the log-softmax routine takes an int length
    const int64_t nc = tevo_row_length(dst, src0->ne[0]);
    const int64_t nr = tevo_nrows(src0);

    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src0->nb[0] == tevo_type_size(src0->type));
    TEVO_ASSERT(src1->nb[0] == tevo_type_size(src1->type));
    TEVO_ASSERT(tevo_are_same_shape(src0, src1));
    TEVO_ASSERT(tevo_is_scalar(dst));
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(params->wsize >= tevo_cross_entropy_loss_wsize(dst, nth));
    // row i is read at data + i·nb[1]: the rows must be evenly spaced
    TEVO_ASSERT(tevo_is_contiguous_1(src0));
    TEVO_ASSERT(tevo_is_contiguous_1(src1));

    const int64_t n_blocks   = ce_loss_blocks(nr);
    const int64_t block_rows = ce_loss_block_rows(nr);

    double * sums = (double *) params->wdata;
    float *  st   = (float *) (sums + n_blocks) + (size_t) ith * (size_t) nc;

    int64_t ib0, ib1;
    tevo_thread_range(n_blocks, ith, nth, &ib0, &ib1);

    for (int64_t ib = ib0; ib < ib1; ++ib) {
        const int64_t ir1       = TEVO_MIN(ib * block_rows + block_rows, nr);
        double        sum_block = 0.0;
        for (int64_t i1 = ib * block_rows; i1 < ir1; ++i1) {
            const float * s0 = (const float *) ((const char *) src0->data + i1 * src0->nb[1]);
            const float * s1 = (const float *) ((const char *) src1->data + i1 * src1->nb[1]);

            float max = -INFINITY;
            tevo_vdsp_maxv(s0, 1, &max, (size_t) nc);

            const float log_sum = (float) tevo_vec_log_soft_max_f32((int) nc, st, s0, max);
            for (int64_t i = 0; i < nc; ++i) {
                st[i] = st[i] - log_sum;
            }
            for (int64_t i = 0; i < nc; ++i) {
                st[i] = st[i] * s1[i];
            }

            float sum_row = 0.0f;
            tevo_vdsp_sve(st, 1, &sum_row, (size_t) nc);
            sum_block += sum_row;
        }
        sums[ib] = sum_block;
    }

    tevo_barrier(params->threadpool);

    if (ith == 0) {
        double total = 0.0;
        for (int64_t ib = 0; ib < n_blocks; ++ib) {
            total += sums[ib];
        }
        const float f          = -1.0f / (float) nr;
        ((float *) dst->data)[0] = f * (float) total;
    }
}

// ---------------------------------------------------------------------------
// CROSS_ENTROPY_LOSS_BACK: (softmax(s0) - s1) · grad / nr, row by row

void tevo_compute_forward_cross_entropy_loss_back(const struct tevo_compute_params * params,
                                                  struct tevo_tensor * dst) {
    const struct tevo_tensor * grad  = dst->src[0];
    const struct tevo_tensor * src0f = dst->src[1];
    const struct tevo_tensor * src1f = dst->src[2];

    if (grad->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(tevo_is_contiguous(dst));
    TEVO_ASSERT(tevo_is_contiguous(src0f));
    TEVO_ASSERT(tevo_is_contiguous(src1f));
    TEVO_ASSERT(tevo_is_contiguous(grad));
    TEVO_ASSERT(tevo_are_same_shape(src0f, src1f) && tevo_are_same_shape(src0f, dst));
    // all of them are read and written as floats
    TEVO_ASSERT(src0f->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src1f->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    // the softmax routine takes an int length
    const int64_t nc = tevo_row_length(dst, src0f->ne[0]);
    const int64_t nr = tevo_nrows(src0f);

    const float d_by_nr = ((const float *) grad->data)[0] / (float) nr;

    int64_t ir0, ir1;
    tevo_thread_range(nr, params->ith, params->nth, &ir0, &ir1);

    for (int64_t i1 = ir0; i1 < ir1; ++i1) {
        float *       ds0 = (float *) tevo_row_at(dst, i1);
        const float * s0  = (const float *) tevo_row_at(src0f, i1);
        const float * s1  = (const float *) tevo_row_at(src1f, i1);

        float max = -INFINITY;
        tevo_vdsp_maxv(s0, 1, &max, (size_t) nc);

        const double sum = tevo_vec_soft_max_f32((int) nc, ds0, s0, max);
        const float  inv = (float) (1.0 / sum);
        tevo_vdsp_vsmul(ds0, 1, &inv, ds0, 1, (size_t) nc);
        for (int64_t i = 0; i < nc; ++i) {
            ds0[i] = ds0[i] - s1[i];
        }
        tevo_vdsp_vsmul(ds0, 1, &d_by_nr, ds0, 1, (size_t) nc);
    }
}

// ---------------------------------------------------------------------------
// the optimiser steps

// Each of the parameter's companions (gradient, moments) is addressed through
// its own strides: a padded parameter may come with packed moments.
static void opt_check_companion(const struct tevo_tensor * t) {
    TEVO_ASSERT(t->type == TEVO_TYPE_F32);
    TEVO_ASSERT(t->nb[0] == sizeof(float));
}

// the hyper-parameters, read as n packed floats
static const float * opt_hparams(const struct tevo_tensor * t) {
    TEVO_ASSERT(t->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_is_contiguous(t));
    return (const float *) t->data;
}

void tevo_compute_forward_opt_step_adamw(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0        = dst->src[0];
    const struct tevo_tensor * src0_grad   = dst->src[1];
    const struct tevo_tensor * src0_grad_m = dst->src[2];
    const struct tevo_tensor * src0_grad_v = dst->src[3];
    const struct tevo_tensor * adamw_prms  = dst->src[4];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(tevo_are_same_shape(src0, src0_grad));
    TEVO_ASSERT(tevo_are_same_shape(src0, src0_grad_m));
    TEVO_ASSERT(tevo_are_same_shape(src0, src0_grad_v));
    TEVO_ASSERT(tevo_nelements(adamw_prms) == 7);
    TEVO_ASSERT_AS(src0->nb[0] == sizeof(float), "nb00 == sizeof(float)");
    opt_check_companion(src0_grad);
    opt_check_companion(src0_grad_m);
    opt_check_companion(src0_grad_v);

    const float * p            = opt_hparams(adamw_prms);
    const float   alpha        = p[0];
    const float   beta1        = p[1];
    const float   beta2        = p[2];
    const float   eps          = p[3];
    const float   wd           = p[4];
    const float   m_scale      = p[5];
    const float   v_scale      = p[6];
    const float   decay_factor = fmaf(-alpha, wd, 1.0f);
    const float   beta1h       = 1.0f - beta1;
    const float   beta2h       = 1.0f - beta2;

    const int64_t nc = src0->ne[0];
    if (nc <= 0) {
        return;
    }

    int64_t ir0, ir1;
    tevo_thread_range(tevo_nrows(src0), params->ith, params->nth, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        float *       w = (float *) tevo_row_at(src0, ir);
        const float * g = (const float *) tevo_row_at(src0_grad, ir);
        float *       m = (float *) tevo_row_at(src0_grad_m, ir);
        float *       v = (float *) tevo_row_at(src0_grad_v, ir);

        for (int64_t i = 0; i < nc; ++i) {
            const float gi = g[i];
            m[i]           = fmaf(beta1, m[i], beta1h * gi);
            v[i]           = fmaf(beta2, v[i], beta2h * (gi * gi));

            const float mh = m_scale * m[i];
            const float t  = mh * -alpha;
            const float vh = sqrtf(v[i] * v_scale) + eps;

            w[i] = fmaf(decay_factor, w[i], t / vh);
        }
    }
}

void tevo_compute_forward_opt_step_sgd(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0      = dst->src[0];
    const struct tevo_tensor * src0_grad = dst->src[1];
    const struct tevo_tensor * sgd_prms  = dst->src[2];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error - sgd is F32 only");
    }

    TEVO_ASSERT(tevo_are_same_shape(src0, src0_grad));
    TEVO_ASSERT(tevo_nelements(sgd_prms) == 2);
    TEVO_ASSERT_AS(src0->nb[0] == sizeof(float), "nb00 == sizeof(float)");
    opt_check_companion(src0_grad);

    const float * p            = opt_hparams(sgd_prms);
    const float   alpha        = p[0];
    const float   decay_factor = fmaf(-alpha, p[1], 1.0f);

    const int64_t nc = src0->ne[0];
    if (nc <= 0) {
        return;
    }

    int64_t ir0, ir1;
    tevo_thread_range(tevo_nrows(src0), params->ith, params->nth, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        float *       w = (float *) tevo_row_at(src0, ir);
        const float * g = (const float *) tevo_row_at(src0_grad, ir);
        for (int64_t i = 0; i < nc; ++i) {
            w[i] = fmaf(decay_factor, w[i], (-alpha) * g[i]);
        }
    }
}
