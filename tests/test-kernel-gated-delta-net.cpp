// The gated delta-rule recurrence on the CPU: outputs and state snapshots
// against the rule written out in double precision, with a decay per head or
// per key component, several sequences that each start from their own
// state, q and k heads and sequences shared by several of v's, strided q, k
// and v, 1, 3 and 8 threads (more threads than (sequence, head) pairs), and
// the same bits at every thread count.

#include "kernel-test-helpers.h"
#include "padded-view.h"

namespace {

using namespace kt;

struct Case {
    int64_t S, H, T, n_seqs, K;
    bool    per_key;  // one decay per key component
    int64_t H_q;      // q and k heads (divides nothing: heads repeat cyclically)
    int64_t n_seqs_q; // q and k sequences
    int     pad;      // -1 packed, else the dimension of q, k and v with gaps
};

struct Node {
    tevo_tensor *q, *k, *v, *g, *beta, *state, *out;
};

Node build(tevo_context * ctx, const Case & c, std::mt19937 & rng) {
    Node          n;
    const int64_t qk_ne[4] = { c.S, c.H_q, c.T, c.n_seqs_q };
    const int64_t v_ne[4]  = { c.S, c.H, c.T, c.n_seqs };
    auto          make     = [&](const int64_t ne[4]) {
        return c.pad < 0 ? tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne) : padded(ctx, TEVO_TYPE_F32, ne, c.pad);
    };
    n.q     = make(qk_ne);
    n.k     = make(qk_ne);
    n.v     = make(v_ne);
    n.g     = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, c.per_key ? c.S : 1, c.H, c.T, c.n_seqs);
    n.beta  = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, 1, c.H, c.T, c.n_seqs);
    n.state = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, c.S, c.S, c.H, c.n_seqs);
    // keys of squared length about 1/3 keep the update a contraction
    const float a = 1.0f / sqrtf((float) c.S);
    fill(n.q, rng);
    fill(n.k, rng, -a, a);
    fill(n.v, rng);
    fill(n.g, rng, -0.5f, 0.0f);
    fill(n.beta, rng, 0.0f, 1.0f);
    fill(n.state, rng);
    n.out = tevo_gated_delta_net(ctx, n.q, n.k, n.v, n.g, n.beta, n.state, (int) c.K);
    poison(n.out);
    return n;
}

// outputs then K slots, slots past the tokens left as NaN
std::vector<double> reference(const Node & n, const Case & c) {
    const int64_t S = c.S, H = c.H, SS = S * S;
    const int64_t n_out = S * H * c.T * c.n_seqs;
    std::vector<double> out(n_out + c.K * c.n_seqs * H * SS, NAN);

    for (int64_t s = 0; s < c.n_seqs; ++s) {
        for (int64_t h = 0; h < H; ++h) {
            std::vector<double> W(SS); // W[j * S + i]: row j value, column i key
            for (int64_t e = 0; e < SS; ++e) {
                W[e] = get(n.state, e % S, e / S, h, s);
            }
            const int64_t hq = h % c.H_q, sq = s / (c.n_seqs / c.n_seqs_q);
            for (int64_t t = 0; t < c.T; ++t) {
                for (int64_t j = 0; j < S; ++j) {
                    for (int64_t i = 0; i < S; ++i) {
                        W[j * S + i] *= exp((double) get(n.g, c.per_key ? i : 0, h, t, s));
                    }
                }
                const double        b = get(n.beta, 0, h, t, s);
                std::vector<double> delta(S);
                for (int64_t j = 0; j < S; ++j) {
                    double u = 0.0;
                    for (int64_t i = 0; i < S; ++i) {
                        u += W[j * S + i] * get(n.k, i, hq, t, sq);
                    }
                    delta[j] = b * (get(n.v, j, h, t, s) - u);
                }
                for (int64_t j = 0; j < S; ++j) {
                    double o = 0.0;
                    for (int64_t i = 0; i < S; ++i) {
                        W[j * S + i] += get(n.k, i, hq, t, sq) * delta[j];
                        o += W[j * S + i] * get(n.q, i, hq, t, sq);
                    }
                    out[((s * c.T + t) * H + h) * S + j] = o / sqrt((double) S);
                }
                const int64_t p = c.T - 1 - t;
                if (p < c.K) {
                    for (int64_t e = 0; e < SS; ++e) {
                        out[n_out + p * c.n_seqs * H * SS + (s * H + h) * SS + e] = W[e];
                    }
                }
            }
        }
    }
    return out;
}

TEST(KernelGatedDeltaNet, AgainstDoubleRecurrence) {
    const Case cases[] = {
        { 16, 2, 3, 2, 1, false, 2, 2, -1 },
        { 16, 2, 5, 2, 3, true, 2, 2, 0 },
        // a tail after the blocks of 32 of the dot products
        { 40, 3, 4, 1, 2, true, 3, 1, 1 },
        // one q and k head and sequence for all of v's
        { 8, 3, 3, 3, 1, false, 1, 1, 2 },
        { 8, 4, 2, 2, 3, false, 2, 1, -1 },
        // more slots than tokens
        { 8, 1, 2, 1, 4, true, 1, 1, -1 },
        // a state of one number: the read-out scale is 1
        { 1, 2, 4, 2, 2, false, 2, 2, -1 },
    };
    std::mt19937 rng(41);
    for (const Case & c : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "S " << c.S << " H " << c.H << " T " << c.T << " seqs " << c.n_seqs
                                            << " K " << c.K << " per key " << c.per_key << " threads " << nt);
            Ctx          ctx(8);
            std::mt19937 r = rng;
            Node         n = build(ctx.ctx, c, r);
            compute_n(ctx.ctx, n.out, nt);

            const std::vector<double> want = reference(n, c);
            ASSERT_EQ((int64_t) want.size(), tevo_nelements(n.out));
            double scale = 1.0;
            for (double v : want) {
                if (!std::isnan(v)) {
                    scale = std::max(scale, fabs(v));
                }
            }
            const float * got = (const float *) n.out->data;
            for (size_t e = 0; e < want.size(); ++e) {
                if (std::isnan(want[e])) {
                    ASSERT_EQ(bits(got[e]), 0xFFFFFFFFu) << "slot past the tokens written at " << e;
                } else {
                    ASSERT_NEAR(got[e], want[e], 2e-6 * (double) c.S * scale) << e;
                }
            }

            std::vector<uint32_t> b(want.size());
            memcpy(b.data(), got, b.size() * sizeof(uint32_t));
            if (first.empty()) {
                first = b;
            }
            ASSERT_EQ(b, first);
        }
        rng.discard(1000);
    }
}

// a decay per key component that is the same for all components gives the
// result of one decay per head, bit for bit
TEST(KernelGatedDeltaNet, EqualPerKeyDecaysMatchOnePerHead) {
    Case         c = { 16, 2, 3, 2, 2, false, 2, 2, -1 };
    Ctx          ctx(4);
    std::mt19937 rng(42);
    Node         one = build(ctx.ctx, c, rng);
    tevo_tensor * g  = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.S, c.H, c.T, c.n_seqs);
    for_each(g, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { set(g, get(one.g, 0, i1, i2, i3), i0, i1, i2, i3); });
    tevo_tensor * out = tevo_gated_delta_net(ctx.ctx, one.q, one.k, one.v, g, one.beta, one.state, (int) c.K);
    compute(ctx.ctx, std::vector<tevo_tensor *>{ one.out, out }, 3);
    ASSERT_EQ(memcmp(one.out->data, out->data, tevo_nbytes(out)), 0);
}

TEST(KernelGatedDeltaNet, NoTokensKeepsTheInitialStateInSlotZero) {
    const Case c = { 8, 2, 0, 2, 1, false, 2, 2, -1 };
    for (int nt : thread_counts()) {
        Ctx          ctx(2);
        std::mt19937 rng(43);
        Node         n = build(ctx.ctx, c, rng);
        compute_n(ctx.ctx, n.out, nt);
        ASSERT_EQ(memcmp(n.out->data, n.state->data, tevo_nbytes(n.state)), 0);
    }
}

TEST(KernelGatedDeltaNetDeathTest, Checks) {
    death_setup();
    const Case   c = { 8, 2, 2, 1, 1, false, 2, 1, -1 };
    Ctx          ctx(2);
    std::mt19937 rng(44);
    Node         n = build(ctx.ctx, c, rng);
    n.out->src[4]  = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, 2, c.H, c.T, c.n_seqs);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_gated_delta_net, n.out), kernel_assert_re("src_beta->ne[0] == 1"));
    n.out->src[4] = n.beta;
    n.out->src[0] = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F16, c.S, c.H, c.T, c.n_seqs);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_gated_delta_net, n.out), kernel_abort_re("fatal error"));
}

} // namespace
