// The lightning indexer on the CPU: scores against the formula in double with
// F32 and F16 keys, the mask shared by all sequences or one per sequence,
// strided inputs, 1, 3 and 8 threads (more threads than keys) and the same
// bits at every thread count; F16 keys score exactly as the same keys widened
// beforehand.

#include "kernel-test-helpers.h"
#include "padded-view.h"

namespace {

using namespace kt;

struct Case {
    int64_t   D, H, T, N, S, Sm;
    tevo_type k_type;
    bool      strided;
};

struct Node {
    tevo_tensor *q, *k, *w, *mask, *out;
};

Node build(tevo_context * ctx, const Case & c, std::mt19937 & rng) {
    const int64_t q_ne[4] = { c.D, c.H, c.T, c.S };
    const int64_t k_ne[4] = { c.D, 1, c.N, c.S };
    const int64_t w_ne[4] = { c.H, c.T, 1, c.S };
    const int64_t m_ne[4] = { c.N, c.T, 1, c.Sm };
    auto make = [&](tevo_type type, const int64_t ne[4], int pad) {
        return c.strided ? padded(ctx, type, ne, pad) : tevo_new_tensor(ctx, type, 4, ne);
    };
    Node n;
    n.q    = make(TEVO_TYPE_F32, q_ne, 1);
    n.k    = make(c.k_type, k_ne, 1);
    n.w    = make(TEVO_TYPE_F32, w_ne, 0);
    n.mask = make(TEVO_TYPE_F16, m_ne, 2);
    fill(n.q, rng);
    fill(n.k, rng);
    fill(n.w, rng, 0.0f, 1.0f);
    fill(n.mask, rng, -4.0f, 0.0f);
    n.out = tevo_lightning_indexer(ctx, n.q, n.k, n.w, n.mask);
    poison(n.out);
    return n;
}

TEST(KernelLightningIndexer, AgainstTheFormulaInDouble) {
    const Case cases[] = {
        { 16, 1, 1, 5, 1, 1, TEVO_TYPE_F32, false },  { 16, 4, 3, 5, 3, 1, TEVO_TYPE_F16, true },
        { 40, 4, 2, 37, 2, 2, TEVO_TYPE_F32, true },  { 64, 2, 3, 37, 3, 3, TEVO_TYPE_F16, false },
        { 64, 8, 2, 3, 1, 1, TEVO_TYPE_F16, true },
    };
    std::mt19937 rng(71);
    for (const Case & c : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "D " << c.D << " H " << c.H << " T " << c.T << " N " << c.N << " S "
                                            << c.S << " Sm " << c.Sm << " " << tevo_type_name(c.k_type) << " strided "
                                            << c.strided << " threads " << nt);
            Ctx          ctx(4);
            std::mt19937 r = rng;
            Node         n = build(ctx.ctx, c, r);
            compute_n(ctx.ctx, n.out, nt);

            std::vector<uint32_t> got;
            for (int64_t s = 0; s < c.S; ++s) {
                for (int64_t t = 0; t < c.T; ++t) {
                    for (int64_t j = 0; j < c.N; ++j) {
                        double want = 0.0, mag = 0.0;
                        for (int64_t h = 0; h < c.H; ++h) {
                            double d = 0.0, dm = 0.0;
                            for (int64_t i = 0; i < c.D; ++i) {
                                d += (double) get(n.q, i, h, t, s) * get(n.k, i, 0, j, s);
                                dm += fabs((double) get(n.q, i, h, t, s) * get(n.k, i, 0, j, s));
                            }
                            want += std::max(d, 0.0) * get(n.w, h, t, 0, s);
                            mag += dm;
                        }
                        want += get(n.mask, j, t, 0, s % c.Sm);
                        ASSERT_NEAR(get(n.out, j, t, 0, s), want, 1e-6 * (4.0 + mag)) << j << " " << t << " " << s;
                        got.push_back(get_bits(n.out, j, t, 0, s));
                    }
                }
            }
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelLightningIndexer, HalfKeysScoreAsWidenedKeys) {
    const Case   c = { 40, 4, 3, 9, 2, 1, TEVO_TYPE_F16, true };
    Ctx          ctx(4);
    std::mt19937 rng(72);
    Node         n  = build(ctx.ctx, c, rng);
    tevo_tensor * k32 = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.D, 1, c.N, c.S);
    for_each(k32, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        set(k32, get(n.k, i0, i1, i2, i3), i0, i1, i2, i3);
    });
    tevo_tensor * out32 = tevo_lightning_indexer(ctx.ctx, n.q, k32, n.w, n.mask);
    compute_n(ctx.ctx, n.out, 3);
    compute_n(ctx.ctx, out32, 3);
    ASSERT_EQ(memcmp(n.out->data, out32->data, tevo_nbytes(out32)), 0);
}

TEST(KernelLightningIndexer, NegativeProductsLeaveTheMask) {
    Ctx           ctx(1);
    tevo_tensor * q    = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, 2, 1, 1, 1);
    tevo_tensor * k    = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, 2, 1, 3, 1);
    tevo_tensor * w    = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, 1, 1, 1, 1);
    tevo_tensor * mask = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F16, 3, 1, 1, 1);
    const float   qv[] = { 1.0f, 2.0f };
    const float   kv[] = { -1.0f, -1.0f, 3.0f, 0.5f, 1.0f, 1.0f };
    memcpy(q->data, qv, sizeof(qv));
    memcpy(k->data, kv, sizeof(kv));
    put<float>(w, 0, 1.0f);
    put<tevo_fp16_t>(mask, 0, tevo_fp32_to_fp16(-0.5f));
    put<tevo_fp16_t>(mask, 1, tevo_fp32_to_fp16(0.0f));
    put<tevo_fp16_t>(mask, 2, tevo_fp32_to_fp16(-INFINITY));
    tevo_tensor * out = tevo_lightning_indexer(ctx.ctx, q, k, w, mask);
    compute(ctx.ctx, out, 3);
    EXPECT_EQ(get<float>(out, 0), -0.5f);   // q . k = -3: only the mask
    EXPECT_EQ(get<float>(out, 1), 4.0f);    // q . k = 4
    EXPECT_EQ(get<float>(out, 2), -INFINITY);
}

TEST(KernelLightningIndexerDeathTest, Checks) {
    death_setup();
    Ctx           ctx(1);
    std::mt19937  rng(73);
    Node          n = build(ctx.ctx, { 8, 2, 2, 3, 1, 1, TEVO_TYPE_F32, false }, rng);
    tevo_tensor * k = n.out->src[1];
    n.out->src[1]   = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_I32, 8, 1, 3, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_lightning_indexer, n.out),
                 kernel_assert_re("(k->type == TEVO_TYPE_F32 || k_to_float) && \"lightning indexer: unsupported K-type\""));
    n.out->src[1] = k;
    n.out->src[3] = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, 3, 2, 1, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_lightning_indexer, n.out),
                 kernel_assert_re("m->type == TEVO_TYPE_F16"));
}

} // namespace
