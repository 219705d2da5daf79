// The training operators on the CPU: the cross-entropy loss and its gradient
// against a double-precision reference (several thread counts, padded rows),
// AdamW and SGD steps against a float replay bit for bit and a double
// replay over several steps, with a padded parameter next to packed moments;
// and the refusals.

#include "kernel-test-helpers.h"

#include <thread>

// the replays below are the kernels' own roundings, not contracted ones
#pragma GCC optimize("fp-contract=off")

namespace {

using namespace kt;

// per row: -sum s1[i]·log_softmax(s0)[i], then the mean over rows
double ce_loss_ref(const tevo_tensor * s0, const tevo_tensor * s1) {
    const int64_t nc = s0->ne[0];
    const int64_t nr = tevo_nrows(s0);
    double        total = 0.0;
    for (int64_t r = 0; r < nr; ++r) {
        const int64_t i1 = r % s0->ne[1], i2 = (r / s0->ne[1]) % s0->ne[2], i3 = r / (s0->ne[1] * s0->ne[2]);
        double        mx = -INFINITY;
        for (int64_t i = 0; i < nc; ++i) {
            mx = std::max(mx, (double) get(s0, i, i1, i2, i3));
        }
        double se = 0.0;
        for (int64_t i = 0; i < nc; ++i) {
            se += exp((double) get(s0, i, i1, i2, i3) - mx);
        }
        const double lse = mx + log(se);
        for (int64_t i = 0; i < nc; ++i) {
            total -= (double) get(s1, i, i1, i2, i3) * ((double) get(s0, i, i1, i2, i3) - lse);
        }
    }
    return total / (double) nr;
}

// target rows that are probability distributions
void fill_targets(tevo_tensor * t, std::mt19937 & rng) {
    fill(t, rng, 0.0f, 1.0f);
    for (int64_t i3 = 0; i3 < t->ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
            for (int64_t i1 = 0; i1 < t->ne[1]; ++i1) {
                double s = 0.0;
                for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) s += get(t, i0, i1, i2, i3);
                for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) set(t, (float) (get(t, i0, i1, i2, i3) / s), i0, i1, i2, i3);
            }
}

tevo_tensor * padded(tevo_context * ctx, int64_t ne0, int64_t ne1, int64_t ne2, int64_t pad) {
    tevo_tensor * big = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, ne0 + pad, ne1, ne2);
    return tevo_view_3d(ctx, big, ne0, ne1, ne2, big->nb[1], big->nb[2], 0);
}

TEST(KernelCrossEntropyLoss, MatchesTheReferenceForEveryShapeAndThreadCount) {
    struct Shape {
        int64_t nc, ne1, ne2, pad;
    };
    const Shape shapes[] = { { 10, 7, 1, 0 }, { 33, 4, 3, 0 }, { 5, 2, 1, 3 }, { 1000, 3, 1, 0 }, { 7, 1, 1, 0 } };
    std::mt19937 rng(11);
    for (const Shape & s : shapes) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "nc " << s.nc << " rows " << s.ne1 * s.ne2 << " nth " << nth);
            Ctx           c;
            tevo_tensor * logits  = s.pad ? padded(c.ctx, s.nc, s.ne1, s.ne2, s.pad)
                                          : tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, s.nc, s.ne1, s.ne2);
            tevo_tensor * targets = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, s.nc, s.ne1, s.ne2);
            fill(logits, rng, -4.0f, 4.0f);
            fill_targets(targets, rng);
            tevo_tensor * loss = tevo_cross_entropy_loss(c.ctx, logits, targets);
            compute_n(c.ctx, loss, nth);
            const double ref = ce_loss_ref(logits, targets);
            EXPECT_NEAR(((float *) loss->data)[0], ref, 1e-5 * (1.0 + fabs(ref)));
        }
    }
}

// The loss and its gradient have the same bits at every thread count: the
// rows are grouped into partial sums by the row count alone. Shapes are
// (row length, rows): fewer rows than threads, rows that split unevenly, a
// prime row count, and more rows than there are partial sums, so that each
// sum covers several rows.
TEST(KernelCrossEntropyLoss, SameBitsAtEveryThreadCount) {
    struct Shape {
        int64_t nc, nr;
    };
    const Shape  shapes[] = { { 7, 5 }, { 5, 7 },     { 17, 1000 }, { 1000, 31 },
                              { 1, 1 }, { 13, 1237 }, { 4, 2049 },  { 3, 100003 } };
    const int    cores    = (int) std::thread::hardware_concurrency();
    std::mt19937 rng(7937);
    for (const Shape & s : shapes) {
        Ctx           c(64);
        tevo_tensor * logits  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, s.nc, s.nr);
        tevo_tensor * targets = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, s.nc, s.nr);
        tevo_tensor * grad    = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 1);
        fill(logits, rng, -4.0f, 4.0f);
        fill_targets(targets, rng);
        ((float *) grad->data)[0] = 0.75f;
        tevo_tensor * loss = tevo_cross_entropy_loss(c.ctx, logits, targets);
        tevo_tensor * back = tevo_cross_entropy_loss_back(c.ctx, grad, logits, targets);
        const double  ref  = ce_loss_ref(logits, targets);

        uint32_t              loss_bits = 0;
        std::vector<uint32_t> back_bits;
        for (int nth = 1; nth <= 8; ++nth) {
            if (nth > cores) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "nc " << s.nc << " rows " << s.nr << " nth " << nth);
            compute_n(c.ctx, loss, nth);
            compute_n(c.ctx, back, nth);
            const float                 value = ((float *) loss->data)[0];
            const uint32_t *            b     = (const uint32_t *) back->data;
            const std::vector<uint32_t> gb(b, b + tevo_nelements(back));
            if (nth == 1) {
                EXPECT_NEAR(value, ref, 2e-6 * (1.0 + fabs(ref)));
                loss_bits = bits(value);
                back_bits = gb;
            } else {
                EXPECT_EQ(bits(value), loss_bits) << value << " against " << from_bits(loss_bits);
                EXPECT_TRUE(gb == back_bits);
            }
        }
    }
}

TEST(KernelCrossEntropyLoss, EdgeCases) {
    Ctx c;
    // equal logits against a one-hot target: log(nc)
    tevo_tensor * s0 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 12, 1);
    tevo_tensor * s1 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 12, 1);
    for (int i = 0; i < 12; ++i) {
        ((float *) s0->data)[i] = 0.3f;
        ((float *) s1->data)[i] = i == 4 ? 1.0f : 0.0f;
    }
    tevo_tensor * loss = tevo_cross_entropy_loss(c.ctx, s0, s1);
    compute_forced(c.ctx, loss, 8); // more threads than rows
    EXPECT_NEAR(((float *) loss->data)[0], log(12.0), 1e-6);

    // nr identical rows: the mean over rows, not over elements
    tevo_tensor * r0 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 12, 5);
    tevo_tensor * r1 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 12, 5);
    std::mt19937  rng(2);
    fill(s0, rng);
    for (int64_t r = 0; r < 5; ++r) {
        memcpy((char *) r0->data + r * r0->nb[1], s0->data, 12 * sizeof(float));
        memcpy((char *) r1->data + r * r1->nb[1], s1->data, 12 * sizeof(float));
    }
    tevo_tensor * one  = tevo_cross_entropy_loss(c.ctx, s0, s1);
    tevo_tensor * five = tevo_cross_entropy_loss(c.ctx, r0, r1);
    compute(c.ctx, std::vector<tevo_tensor *>{ one, five }, 3);
    EXPECT_NEAR(((float *) five->data)[0], ((float *) one->data)[0], 1e-6);
}

// Also with logits and targets made by transposing [1, 17, 3]: packed, but
// with a stride of one element in dimension 1 (extent 1), so rows are found
// by all their strides.
TEST(KernelCrossEntropyLossBack, MatchesTheReference) {
    std::mt19937 rng(13);
    for (const bool transposed : { false, true }) {
        for (int nth : thread_counts()) {
            Ctx           c;
            const int64_t nc = 17, n1 = transposed ? 1 : 5, n2 = transposed ? 3 : 2;
            auto          operand = [&]() {
                return transposed ? tevo_transpose(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 1, nc, n2))
                                  : tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, nc, n1, n2);
            };
            tevo_tensor * s0   = operand();
            tevo_tensor * s1   = operand();
            tevo_tensor * grad = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 1);
            fill(s0, rng, -3.0f, 3.0f);
            fill_targets(s1, rng);
            ((float *) grad->data)[0] = 1.5f;
            tevo_tensor * out         = tevo_cross_entropy_loss_back(c.ctx, grad, s0, s1);
            poison(out);
            compute_n(c.ctx, out, nth);
            for (int64_t i2 = 0; i2 < n2; ++i2)
                for (int64_t i1 = 0; i1 < n1; ++i1) {
                    double mx = -INFINITY, se = 0.0;
                    for (int64_t i = 0; i < nc; ++i) mx = std::max(mx, (double) get(s0, i, i1, i2));
                    for (int64_t i = 0; i < nc; ++i) se += exp((double) get(s0, i, i1, i2) - mx);
                    for (int64_t i = 0; i < nc; ++i) {
                        const double sm  = exp((double) get(s0, i, i1, i2) - mx) / se;
                        const double ref = (sm - (double) get(s1, i, i1, i2)) * 1.5 / (double) (n1 * n2);
                        ASSERT_NEAR(get(out, i, i1, i2), ref, 1e-6)
                            << i << "," << i1 << "," << i2 << " nth " << nth << " transposed " << transposed;
                    }
                }
        }
    }
}

// ---------------------------------------------------------------------------
// optimiser steps

struct AdamW {
    float alpha, beta1, beta2, eps, wd, m_scale, v_scale;
};

// one step of one element as the kernel rounds it
void adamw_float(const AdamW & p, float & w, float g, float & m, float & v) {
    const float decay = fmaf(-p.alpha, p.wd, 1.0f);
    m                 = fmaf(p.beta1, m, (1.0f - p.beta1) * g);
    v                 = fmaf(p.beta2, v, (1.0f - p.beta2) * (g * g));
    const float mh    = p.m_scale * m;
    const float t     = mh * -p.alpha;
    const float vh    = sqrtf(v * p.v_scale) + p.eps;
    w                 = fmaf(decay, w, t / vh);
}

void adamw_double(const AdamW & p, double & w, double g, double & m, double & v) {
    m = p.beta1 * m + (1.0 - p.beta1) * g;
    v = p.beta2 * v + (1.0 - p.beta2) * g * g;
    w = w * (1.0 - (double) p.alpha * p.wd) - p.alpha * (m * p.m_scale) / (sqrt(v * p.v_scale) + p.eps);
}

TEST(KernelOptStep, AdamWMatchesFloatAndDoubleReplaysWithAPaddedParameter) {
    const int64_t ne0 = 13, ne1 = 7, ne2 = 2;
    for (int nth : { 1, 3, 8 }) {
        SCOPED_TRACE(testing::Message() << "nth " << nth);
        Ctx c;
        // the parameter lies in a wider buffer; gradient and moments are packed
        tevo_tensor * w  = padded(c.ctx, ne0, ne1, ne2, 3);
        w->flags        |= TEVO_TENSOR_FLAG_PARAM;
        tevo_tensor * g  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, ne0, ne1, ne2);
        tevo_tensor * m  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, ne0, ne1, ne2);
        tevo_tensor * v  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, ne0, ne1, ne2);
        tevo_tensor * hp = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 7);
        // the padding between rows must stay untouched
        memset(w->view_src->data, 0x7F, tevo_nbytes(w->view_src));

        std::mt19937 rng(17);
        fill(w, rng);
        memset(m->data, 0, tevo_nbytes(m));
        memset(v->data, 0, tevo_nbytes(v));

        const int64_t       n = ne0 * ne1 * ne2;
        std::vector<float>  wf(n), mf(n, 0.0f), vf(n, 0.0f);
        std::vector<double> wd(n), md(n, 0.0), vd(n, 0.0);
        for (int64_t k = 0; k < n; ++k) {
            wf[k] = get<float>(w, k);
            wd[k] = wf[k];
        }

        tevo_tensor * step = tevo_opt_step_adamw(c.ctx, w, g, m, v, hp);
        for (int it = 1; it <= 6; ++it) {
            const AdamW p = { 0.01f * it, 0.9f, 0.999f, 1e-8f, it % 2 ? 0.1f : 0.0f,
                              1.0f / (1.0f - powf(0.9f, (float) it)), 1.0f / (1.0f - powf(0.999f, (float) it)) };
            memcpy(hp->data, &p, sizeof(p));
            fill(g, rng);
            compute_n(c.ctx, step, nth);
            for (int64_t k = 0; k < n; ++k) {
                const float gk = get<float>(g, k);
                adamw_float(p, wf[k], gk, mf[k], vf[k]);
                adamw_double(p, wd[k], gk, md[k], vd[k]);
            }
            for (int64_t k = 0; k < n; ++k) {
                ASSERT_EQ(bits(get<float>(w, k)), bits(wf[k])) << "step " << it << " element " << k;
                ASSERT_EQ(bits(get<float>(m, k)), bits(mf[k]));
                ASSERT_EQ(bits(get<float>(v, k)), bits(vf[k]));
                ASSERT_NEAR(get<float>(w, k), wd[k], 1e-5 * (1.0 + fabs(wd[k])));
            }
        }
        // padding bytes of the parameter's rows
        for (int64_t i2 = 0; i2 < ne2; ++i2)
            for (int64_t i1 = 0; i1 < ne1; ++i1)
                for (int64_t i0 = ne0; i0 < ne0 + 3; ++i0) {
                    const float * big = (const float *) w->view_src->data;
                    ASSERT_EQ(bits(big[(i2 * ne1 + i1) * (ne0 + 3) + i0]), 0x7F7F7F7Fu);
                }
    }
}

TEST(KernelOptStep, AdamWFirstStepWithoutDecay) {
    Ctx           c;
    tevo_tensor * w = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_set_param(w);
    tevo_tensor * g  = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_tensor * m  = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_tensor * v  = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_tensor * hp = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 7);
    const float   w0[] = { 1.0f, -2.0f, 0.5f, 3.0f };
    const float   g0[] = { 0.5f, -0.25f, 4.0f, -1.0f };
    const AdamW   p    = { 0.1f, 0.0f, 0.0f, 1e-8f, 0.0f, 1.0f, 1.0f };
    memcpy(w->data, w0, sizeof(w0));
    memcpy(g->data, g0, sizeof(g0));
    memset(m->data, 0, 16);
    memset(v->data, 0, 16);
    memcpy(hp->data, &p, sizeof(p));
    compute(c.ctx, tevo_opt_step_adamw(c.ctx, w, g, m, v, hp), 2);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(((float *) m->data)[i], g0[i]);
        EXPECT_EQ(((float *) v->data)[i], g0[i] * g0[i]);
        EXPECT_NEAR(((float *) w->data)[i], w0[i] - 0.1 * g0[i] / (fabs(g0[i]) + 1e-8), 1e-6);
    }
}

TEST(KernelOptStep, SgdMatchesFloatAndDoubleReplaysWithAPaddedParameter) {
    const int64_t ne0 = 9, ne1 = 5, ne2 = 3;
    for (int nth : { 1, 3, 8 }) {
        Ctx           c;
        tevo_tensor * w  = padded(c.ctx, ne0, ne1, ne2, 2);
        w->flags        |= TEVO_TENSOR_FLAG_PARAM;
        tevo_tensor * g  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, ne0, ne1, ne2);
        tevo_tensor * hp = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
        std::mt19937  rng(19);
        fill(w, rng);
        const int64_t       n = ne0 * ne1 * ne2;
        std::vector<float>  wf(n);
        std::vector<double> wd(n);
        for (int64_t k = 0; k < n; ++k) {
            wf[k] = get<float>(w, k);
            wd[k] = wf[k];
        }
        tevo_tensor * step = tevo_opt_step_sgd(c.ctx, w, g, hp);
        for (int it = 0; it < 5; ++it) {
            const float alpha = 0.05f + 0.01f * it, wdecay = it % 2 ? 0.2f : 0.0f;
            ((float *) hp->data)[0] = alpha;
            ((float *) hp->data)[1] = wdecay;
            fill(g, rng);
            compute_n(c.ctx, step, nth);
            for (int64_t k = 0; k < n; ++k) {
                const float gk = get<float>(g, k);
                wf[k]          = fmaf(fmaf(-alpha, wdecay, 1.0f), wf[k], (-alpha) * gk);
                wd[k]          = wd[k] * (1.0 - (double) alpha * wdecay) - (double) alpha * gk;
                ASSERT_EQ(bits(get<float>(w, k)), bits(wf[k])) << "step " << it << " element " << k;
                ASSERT_NEAR(get<float>(w, k), wd[k], 1e-5 * (1.0 + fabs(wd[k])));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// refusals

TEST(KernelTrainDeathTest, Refusals) {
    death_setup();
    Ctx c;

    // the loss reads row i at data + i·nb[1]: rows must be evenly spaced
    tevo_tensor * logits  = tevo_permute(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 3, 2), 0, 2, 1, 3);
    tevo_tensor * targets = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 2, 3);
    tevo_compute_params p = {};
    p.nth                 = 1;
    std::vector<float> work(64);
    p.wdata = work.data();
    p.wsize = work.size() * sizeof(float);
    EXPECT_DEATH(tevo_compute_forward_cross_entropy_loss(&p, tevo_cross_entropy_loss(c.ctx, logits, targets)),
                 kernel_assert_re("tevo_is_contiguous_1(src0)"));
    // a work buffer without room for the thread's row
    tevo_tensor * l2 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_cross_entropy_loss, tevo_cross_entropy_loss(c.ctx, l2, l2)),
                 kernel_assert_re("params->wsize >= tevo_cross_entropy_loss_wsize(dst, nth)"));
    tevo_tensor * h2 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 8, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_cross_entropy_loss, tevo_cross_entropy_loss(c.ctx, h2, h2)),
                 kernel_abort_re("fatal error"));
    // the loss gradient reads its logits as floats
    tevo_tensor * g1 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_cross_entropy_loss_back, tevo_cross_entropy_loss_back(c.ctx, g1, h2, h2)),
                 kernel_assert_re("src0f->type == TEVO_TYPE_F32"));

    // the optimisers: elements packed, companions of float type
    tevo_tensor * w = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
    tevo_set_param(w);
    tevo_tensor * wt = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 4));
    wt->flags       |= TEVO_TENSOR_FLAG_PARAM;
    tevo_tensor * g   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
    tevo_tensor * gh  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 4, 3);
    tevo_tensor * hp7 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 7);
    tevo_tensor * hp2 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_adamw, tevo_opt_step_adamw(c.ctx, wt, g, g, g, hp7)),
                 kernel_assert_re("nb00 == sizeof(float)"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_adamw, tevo_opt_step_adamw(c.ctx, w, gh, g, g, hp7)),
                 kernel_assert_re("t->type == TEVO_TYPE_F32"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_sgd, tevo_opt_step_sgd(c.ctx, wt, g, hp2)),
                 kernel_assert_re("nb00 == sizeof(float)"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_sgd, tevo_opt_step_sgd(c.ctx, w, gh, hp2)),
                 kernel_assert_re("t->type == TEVO_TYPE_F32"));
    tevo_tensor * wh = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 4, 3);
    tevo_set_param(wh);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_sgd, tevo_opt_step_sgd(c.ctx, wh, gh, hp2)),
                 kernel_abort_re("fatal error - sgd is F32 only"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_opt_step_adamw, tevo_opt_step_adamw(c.ctx, wh, gh, gh, gh, hp7)),
                 kernel_abort_re("fatal error"));
}

// The planner's work buffer holds the loss's partial sums and one row per
// thread for every thread count, however many rows there are.
TEST(KernelCrossEntropyLoss, PlannedWorkBufferIsEnough) {
    for (int nth : { 1, 2, 5, 8 }) {
        Ctx           c;
        tevo_tensor * s0   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 300, 9);
        tevo_tensor * loss = tevo_cross_entropy_loss(c.ctx, s0, s0);
        tevo_cgraph * gf   = tevo_new_graph(c.ctx);
        tevo_build_forward_expand(gf, loss);
        const tevo_cplan plan = tevo_graph_plan(gf, nth, nullptr);
        EXPECT_GE(plan.work_size, sizeof(float) * (size_t) plan.n_threads * (300 + 1));
    }
    // the partial sums stay a few kilobytes for millions of rows
    tevo_init_params ip   = { 1024 * 1024, nullptr, true };
    tevo_context *   ctx  = tevo_init(ip);
    tevo_tensor *    s0   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 4000000);
    tevo_tensor *    loss = tevo_cross_entropy_loss(ctx, s0, s0);
    tevo_cgraph *    gf   = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, loss);
    const tevo_cplan plan = tevo_graph_plan(gf, 8, nullptr);
    EXPECT_LE(plan.work_size, (size_t) 16384);
    tevo_free(ctx);
}

} // namespace
