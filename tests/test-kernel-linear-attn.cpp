// The linear-attention recurrences on the CPU (RWKV-7, RWKV-6, gated linear
// attention): outputs and final states against the recurrences written out in
// double precision, with several sequences that each restart from their own
// state, head sizes with and without a vector remainder, 1, 3 and 8 threads
// (more threads than heads), and the same bits at every thread count.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

enum class Rec { WKV7, WKV6, GLA };

const char * rec_name(Rec r) {
    return r == Rec::WKV7 ? "wkv7" : r == Rec::WKV6 ? "wkv6" : "gla";
}

struct Case {
    Rec     rec;
    int64_t S, H, n_seqs, seq_len;
};

const float SCALE = 0.75f; // gated linear attention's read-out scale

struct Node {
    std::vector<tevo_tensor *> tok; // per-token inputs in source order, state excluded
    tevo_tensor *              tf    = nullptr;
    tevo_tensor *              state = nullptr;
    tevo_tensor *              out   = nullptr;
};

// inputs in [-1, 1], decays in [0.5, 1], RWKV-7's a and b small enough that
// the state stays of order one
Node build(tevo_context * ctx, const Case & k, std::mt19937 & rng) {
    const int64_t T = k.n_seqs * k.seq_len;
    Node          n;
    auto          tok = [&](float lo, float hi) {
        tevo_tensor * t = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, k.S, k.H, T);
        fill(t, rng, lo, hi);
        n.tok.push_back(t);
        return t;
    };
    n.state = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, k.S * k.S * k.H, k.n_seqs);
    fill(n.state, rng);
    switch (k.rec) {
        case Rec::WKV7: {
            tevo_tensor *r = tok(-1, 1), *w = tok(0.5f, 1), *kk = tok(-1, 1), *v = tok(-1, 1), *a = tok(-0.3f, 0.3f),
                        *b = tok(-0.3f, 0.3f);
            n.out = tevo_rwkv_wkv7(ctx, r, w, kk, v, a, b, n.state);
        } break;
        case Rec::WKV6: {
            tevo_tensor *kk = tok(-1, 1), *v = tok(-1, 1), *r = tok(-1, 1);
            n.tf = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, k.S, k.H);
            fill(n.tf, rng);
            tevo_tensor * td = tok(0.5f, 1);
            n.out            = tevo_rwkv_wkv6(ctx, kk, v, r, n.tf, td, n.state);
        } break;
        case Rec::GLA: {
            tevo_tensor *kk = tok(-1, 1), *v = tok(-1, 1), *q = tok(-1, 1), *g = tok(0.5f, 1);
            n.out = tevo_gated_linear_attn(ctx, kk, v, q, g, n.state, SCALE);
        } break;
    }
    poison(n.out);
    return n;
}

// The recurrence in double: outputs [C * T] then the final states.
std::vector<double> reference(const Node & n, const Case & k) {
    const int64_t S = k.S, H = k.H, C = S * H, T = k.n_seqs * k.seq_len;
    auto          in = [&](int which, int64_t t, int64_t h, int64_t i) -> double {
        return ((const float *) n.tok[which]->data)[t * C + h * S + i];
    };
    std::vector<double> out(C * T + S * C * k.n_seqs, 0.0);
    const float *       s0 = (const float *) n.state->data;

    for (int64_t sq = 0; sq < k.n_seqs; ++sq) {
        for (int64_t h = 0; h < H; ++h) {
            // st[i][j] as the kernel stores it
            std::vector<double> st(S * S);
            for (int64_t e = 0; e < S * S; ++e) {
                st[e] = s0[sq * S * C + h * S * S + e];
            }
            for (int64_t t = sq * k.seq_len; t < (sq + 1) * k.seq_len; ++t) {
                double * y = &out[t * C + h * S];
                if (k.rec == Rec::WKV7) {
                    // row i: value channel; column j: key channel
                    for (int64_t i = 0; i < S; ++i) {
                        double sa = 0.0;
                        for (int64_t j = 0; j < S; ++j) {
                            sa += in(4, t, h, j) * st[i * S + j];
                        }
                        double yi = 0.0;
                        for (int64_t j = 0; j < S; ++j) {
                            double & s = st[i * S + j];
                            s = s * in(1, t, h, j) + in(3, t, h, i) * in(2, t, h, j) + sa * in(5, t, h, j);
                            yi += s * in(0, t, h, j);
                        }
                        y[i] = yi;
                    }
                } else if (k.rec == Rec::WKV6) {
                    // row i: key channel; output j reads the state before the token plus the bonus
                    const float * tf = (const float *) n.tf->data;
                    for (int64_t i = 0; i < S; ++i) {
                        const double kk = in(0, t, h, i), rr = in(2, t, h, i), td = in(3, t, h, i);
                        for (int64_t j = 0; j < S; ++j) {
                            double &     s  = st[i * S + j];
                            const double kv = kk * in(1, t, h, j);
                            y[j] += rr * (s + tf[h * S + i] * kv);
                            s = s * td + kv;
                        }
                    }
                } else {
                    // output j reads the state after the token
                    for (int64_t i = 0; i < S; ++i) {
                        const double kk = in(0, t, h, i), q = (double) (in(2, t, h, i) * SCALE), g = in(3, t, h, i);
                        for (int64_t j = 0; j < S; ++j) {
                            double & s = st[i * S + j];
                            s          = g * s + kk * in(1, t, h, j);
                            y[j] += q * s;
                        }
                    }
                }
            }
            for (int64_t e = 0; e < S * S; ++e) {
                out[C * T + sq * S * C + h * S * S + e] = st[e];
            }
        }
    }
    return out;
}

TEST(KernelLinearAttention, AgainstDoubleRecurrences) {
    const Case cases[] = {
        { Rec::WKV7, 32, 2, 2, 3 }, { Rec::WKV7, 64, 1, 1, 5 }, { Rec::WKV7, 40, 3, 3, 2 }, { Rec::WKV7, 8, 2, 2, 2 },
        { Rec::WKV6, 8, 3, 2, 3 },  { Rec::WKV6, 12, 2, 1, 4 }, { Rec::WKV6, 64, 2, 3, 2 }, { Rec::GLA, 8, 3, 2, 3 },
        { Rec::GLA, 12, 2, 1, 4 },  { Rec::GLA, 33, 1, 2, 2 },
    };
    std::mt19937 rng(21);
    for (const Case & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << rec_name(k.rec) << " S " << k.S << " H " << k.H << " seqs "
                                            << k.n_seqs << " x " << k.seq_len << " threads " << nt);
            Ctx          c(8);
            std::mt19937 r = rng;
            Node         n = build(c.ctx, k, r);
            compute_n(c.ctx, n.out, nt);

            const std::vector<double> want = reference(n, k);
            ASSERT_EQ((int64_t) want.size(), tevo_nelements(n.out));
            double scale = 1.0;
            for (double v : want) {
                scale = std::max(scale, fabs(v));
            }
            const float * got = (const float *) n.out->data;
            for (size_t e = 0; e < want.size(); ++e) {
                ASSERT_NEAR(got[e], want[e], 2e-6 * (double) k.S * scale) << e;
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

TEST(KernelLinearAttention, NoTokensPassTheStatesThrough) {
    for (Rec rec : { Rec::WKV7, Rec::WKV6, Rec::GLA }) {
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << rec_name(rec) << " threads " << nt);
            Ctx          c(2);
            std::mt19937 rng(22);
            Node         n = build(c.ctx, { rec, 8, 2, 2, 0 }, rng);
            compute_n(c.ctx, n.out, nt);
            ASSERT_EQ(memcmp(n.out->data, n.state->data, tevo_nbytes(n.state)), 0);
        }
    }
}

TEST(KernelLinearAttentionDeathTest, Checks) {
    death_setup();
    for (Rec rec : { Rec::WKV7, Rec::WKV6, Rec::GLA }) {
        SCOPED_TRACE(rec_name(rec));
        void (*kernel)(const tevo_compute_params *, tevo_tensor *) =
            rec == Rec::WKV7 ? tevo_compute_forward_rwkv_wkv7
                             : (rec == Rec::WKV6 ? tevo_compute_forward_rwkv_wkv6 : tevo_compute_forward_gla);
        Ctx          c(2);
        std::mt19937 rng(23);
        Node         n = build(c.ctx, { rec, 8, 2, 2, 2 }, rng);

        // channels that do not split into the heads
        n.out->ne[0] = 15;
        EXPECT_DEATH(call_kernel(kernel, n.out), kernel_assert_re("C % HEADS == 0"));
        n.out->ne[0] = 16;

        n.out->src[0] = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 8, 2, 4);
        EXPECT_DEATH(call_kernel(kernel, n.out), kernel_abort_re("fatal error"));
    }
}

} // namespace
