// The stream-mixing operators on the CPU: the per-token mixing matrix (softmax
// and alternating normalisations, with its row and column sums), the
// weighted and gated reduction of the streams, and their spreading back with
// and without the matrix; against double-precision formulas, with strided
// inputs, 1, 3 and 8 threads (more threads than tokens) and the same bits at
// every thread count.

#include "kernel-test-helpers.h"
#include "padded-view.h"

namespace {

using namespace kt;

std::vector<uint32_t> all_bits(const tevo_tensor * t) {
    std::vector<uint32_t> b;
    for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { b.push_back(get_bits(t, i0, i1, i2, i3)); });
    return b;
}

// ---------------------------------------------------------------------------
// DSV4_HC_COMB

struct CombCase {
    int64_t n_tokens;
    int     n_iter;
    float   eps;
    bool    strided;
};

// the matrix of token t in double: m[i0][i1]
void comb_reference(const tevo_tensor * mixes, const tevo_tensor * scale, const tevo_tensor * base, int64_t t,
                    int n_iter, double eps, double m[4][4]) {
    const double a = get(scale, 2);
    for (int i1 = 0; i1 < 4; ++i1) {
        double z[4], mx = -INFINITY, s = 0.0;
        for (int i0 = 0; i0 < 4; ++i0) {
            z[i0] = a * get(mixes, 8 + i0 + 4 * i1, t) + get(base, 8 + i0 + 4 * i1);
            mx    = std::max(mx, z[i0]);
        }
        for (int i0 = 0; i0 < 4; ++i0) {
            s += exp(z[i0] - mx);
        }
        for (int i0 = 0; i0 < 4; ++i0) {
            m[i0][i1] = exp(z[i0] - mx) / s + eps;
        }
    }
    for (int it = 0; it < n_iter; ++it) {
        if (it > 0) {
            for (int i1 = 0; i1 < 4; ++i1) {
                const double c = eps + m[0][i1] + m[1][i1] + m[2][i1] + m[3][i1];
                for (int i0 = 0; i0 < 4; ++i0) {
                    m[i0][i1] /= c;
                }
            }
        }
        for (int i0 = 0; i0 < 4; ++i0) {
            const double c = eps + m[i0][0] + m[i0][1] + m[i0][2] + m[i0][3];
            for (int i1 = 0; i1 < 4; ++i1) {
                m[i0][i1] /= c;
            }
        }
    }
}

struct Comb {
    tevo_tensor *mixes, *scale, *base, *out;
};

Comb build_comb(tevo_context * ctx, const CombCase & k, std::mt19937 & rng) {
    Comb          c;
    const int64_t ne[4] = { 24, k.n_tokens, 1, 1 };
    c.mixes = k.strided ? padded(ctx, TEVO_TYPE_F32, ne, 0) : tevo_new_tensor(ctx, TEVO_TYPE_F32, 2, ne);
    c.scale = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 3);
    c.base  = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 24);
    fill(c.mixes, rng, -2.0f, 2.0f);
    fill(c.scale, rng, 0.5f, 1.5f);
    fill(c.base, rng);
    c.out = tevo_dsv4_hc_comb(ctx, c.mixes, c.scale, c.base, k.n_iter, k.eps);
    poison(c.out);
    return c;
}

TEST(KernelHcComb, AgainstDoubleNormalisations) {
    const CombCase cases[] = {
        { 5, 1, 1e-6f, false }, { 5, 3, 1e-3f, true }, { 17, 20, 0.0f, false }, { 1, 2, 1e-2f, true },
    };
    std::mt19937 rng(51);
    for (const CombCase & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "tokens " << k.n_tokens << " n_iter " << k.n_iter << " eps " << k.eps
                                            << " threads " << nt);
            Ctx          c(2);
            std::mt19937 r  = rng;
            Comb         cb = build_comb(c.ctx, k, r);
            compute_n(c.ctx, cb.out, nt);
            for (int64_t t = 0; t < k.n_tokens; ++t) {
                double m[4][4];
                comb_reference(cb.mixes, cb.scale, cb.base, t, k.n_iter, k.eps, m);
                for (int i0 = 0; i0 < 4; ++i0) {
                    double row = 0.0;
                    for (int i1 = 0; i1 < 4; ++i1) {
                        ASSERT_NEAR(get(cb.out, i0, i1, t), m[i0][i1], 1e-6 * (1.0 + m[i0][i1] * k.n_iter))
                            << i0 << " " << i1 << " " << t;
                        row += get(cb.out, i0, i1, t);
                    }
                    // the last normalisation runs over i1: each i0 sums to
                    // one less what eps took
                    ASSERT_NEAR(row, 1.0, 1e-5 + 4 * (double) k.eps);
                }
            }
            const std::vector<uint32_t> got = all_bits(cb.out);
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelHcComb, ManyIterationsGiveUnitColumnSumsToo) {
    std::mt19937 rng(52);
    Ctx          c(2);
    Comb         cb = build_comb(c.ctx, { 6, 50, 0.0f, false }, rng);
    compute(c.ctx, cb.out, 3);
    for (int64_t t = 0; t < 6; ++t) {
        for (int i1 = 0; i1 < 4; ++i1) {
            double col = 0.0;
            for (int i0 = 0; i0 < 4; ++i0) {
                col += get(cb.out, i0, i1, t);
            }
            EXPECT_NEAR(col, 1.0, 1e-4) << i1 << " " << t;
        }
    }
}

TEST(KernelHcComb, EqualLogitsAndUnreadValues) {
    std::mt19937 rng(53);
    Ctx          c(2);
    Comb         cb = build_comb(c.ctx, { 3, 2, 0.0f, false }, rng);
    for_each(cb.mixes, [&](int64_t i0, int64_t i1, int64_t, int64_t) { set(cb.mixes, i0 < 8 ? 100.0f : 0.5f, i0, i1); });
    for (int j = 0; j < 24; ++j) {
        put<float>(cb.base, j, 0.25f);
    }
    compute(c.ctx, cb.out, 1);
    for (int64_t e = 0; e < tevo_nelements(cb.out); ++e) {
        ASSERT_EQ(get<float>(cb.out, e), 0.25f) << e;
    }

    // mix values 0 .. 7 and scale values 0 and 1 do not enter
    Comb other = build_comb(c.ctx, { 3, 2, 1e-4f, false }, rng);
    compute(c.ctx, other.out, 1);
    const std::vector<uint32_t> before = all_bits(other.out);
    for (int64_t t = 0; t < 3; ++t) {
        for (int j = 0; j < 8; ++j) {
            set(other.mixes, -7.0f, j, t);
        }
    }
    put<float>(other.scale, 0, 123.0f);
    put<float>(other.scale, 1, -9.0f);
    compute(c.ctx, other.out, 1);
    ASSERT_EQ(all_bits(other.out), before);
}

// ---------------------------------------------------------------------------
// DSV4_HC_PRE and DSV4_HC_POST

struct StreamCase {
    int64_t n_embd, hc, n_tokens;
    bool    flag;    // pre: gated; post: with the matrix
    bool    strided;
};

TEST(KernelHcPre, AgainstDoubleSums) {
    const StreamCase cases[] = {
        { 8, 4, 3, false, false }, { 8, 4, 3, true, true }, { 37, 3, 2, false, true }, { 5, 1, 1, true, false },
    };
    const float  pre_scale = 0.5f;
    std::mt19937 rng(54);
    for (const StreamCase & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "n_embd " << k.n_embd << " hc " << k.hc << " gated " << k.flag
                                            << " threads " << nt);
            Ctx           c(2);
            std::mt19937  r       = rng;
            const int64_t x_ne[4] = { k.n_embd, k.hc, k.n_tokens, 1 };
            const int64_t w_ne[4] = { k.flag ? k.n_embd : k.hc, k.flag ? k.hc : k.n_tokens, k.flag ? k.n_tokens : 1, 1 };
            tevo_tensor * x = k.strided ? padded(c.ctx, TEVO_TYPE_F32, x_ne, 1) : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 3, x_ne);
            tevo_tensor * w = k.strided ? padded(c.ctx, TEVO_TYPE_F32, w_ne, 0) : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 3, w_ne);
            fill(x, r);
            fill(w, r, -2.0f, 2.0f);
            tevo_tensor * out = k.flag ? tevo_dsv4_hc_pre_gated(c.ctx, x, w, pre_scale) : tevo_dsv4_hc_pre(c.ctx, x, w);
            poison(out);
            compute_n(c.ctx, out, nt);
            for (int64_t t = 0; t < k.n_tokens; ++t) {
                for (int64_t e = 0; e < k.n_embd; ++e) {
                    double want = 0.0;
                    for (int64_t h = 0; h < k.hc; ++h) {
                        const double wh = k.flag ? 1.0 / (1.0 + exp(-(double) get(w, e, h, t))) : get(w, h, t);
                        want += wh * get(x, e, h, t);
                    }
                    want *= k.flag ? pre_scale : 1.0;
                    ASSERT_NEAR(get(out, e, t), want, 1e-6 * (1.0 + k.hc)) << e << " " << t;
                }
            }
            const std::vector<uint32_t> got = all_bits(out);
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelHcPre, GatedWithZeroWeightsHalvesEveryStream) {
    Ctx           c(1);
    tevo_tensor * x = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 2, 1);
    tevo_tensor * w = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 2, 1);
    for (int i = 0; i < 8; ++i) {
        put<float>(x, i, (float) (i + 1));
        put<float>(w, i, 0.0f);
    }
    tevo_tensor * out = tevo_dsv4_hc_pre_gated(c.ctx, x, w, 1.0f);
    compute(c.ctx, out, 1);
    for (int e = 0; e < 4; ++e) {
        EXPECT_EQ(get(out, e, 0), 0.5f * (float) (e + 1) + 0.5f * (float) (e + 5));
    }
}

TEST(KernelHcPost, AgainstDoubleSums) {
    const StreamCase cases[] = {
        { 8, 4, 3, false, false }, { 8, 4, 3, true, true }, { 37, 3, 2, true, false }, { 5, 1, 1, false, true },
    };
    std::mt19937 rng(55);
    for (const StreamCase & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "n_embd " << k.n_embd << " hc " << k.hc << " comb " << k.flag
                                            << " threads " << nt);
            Ctx           c(2);
            std::mt19937  r       = rng;
            const int64_t x_ne[4] = { k.n_embd, k.n_tokens, 1, 1 };
            const int64_t r_ne[4] = { k.n_embd, k.hc, k.n_tokens, 1 };
            tevo_tensor * x = k.strided ? padded(c.ctx, TEVO_TYPE_F32, x_ne, 0) : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 2, x_ne);
            tevo_tensor * res = k.strided ? padded(c.ctx, TEVO_TYPE_F32, r_ne, 1) : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 3, r_ne);
            tevo_tensor * post = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, k.hc, k.n_tokens);
            tevo_tensor * comb = k.flag ? tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, k.hc, k.hc, k.n_tokens) : nullptr;
            fill(x, r);
            fill(res, r);
            fill(post, r);
            if (comb) {
                fill(comb, r, 0.0f, 0.5f);
            }
            tevo_tensor * out = tevo_dsv4_hc_post(c.ctx, x, res, post, comb);
            poison(out);
            compute_n(c.ctx, out, nt);
            for (int64_t t = 0; t < k.n_tokens; ++t) {
                for (int64_t h = 0; h < k.hc; ++h) {
                    for (int64_t e = 0; e < k.n_embd; ++e) {
                        double want = (double) get(x, e, t) * get(post, h, t);
                        if (comb) {
                            for (int64_t j = 0; j < k.hc; ++j) {
                                want += (double) get(res, e, j, t) * get(comb, h, j, t);
                            }
                        } else {
                            want += get(res, e, h, t);
                        }
                        ASSERT_NEAR(get(out, e, h, t), want, 1e-6 * (1.0 + k.hc)) << e << " " << h << " " << t;
                    }
                }
            }
            const std::vector<uint32_t> got = all_bits(out);
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelHcPost, IdentityMatrixEqualsNone) {
    std::mt19937  rng(56);
    Ctx           c(1);
    tevo_tensor * x    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 16, 3);
    tevo_tensor * res  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 16, 4, 3);
    tevo_tensor * post = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
    tevo_tensor * comb = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 4, 3);
    fill(x, rng);
    fill(res, rng);
    fill(post, rng);
    for_each(comb, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) { set(comb, i0 == i1 ? 1.0f : 0.0f, i0, i1, i2); });
    tevo_tensor * a = tevo_dsv4_hc_post(c.ctx, x, res, post, nullptr);
    tevo_tensor * b = tevo_dsv4_hc_post(c.ctx, x, res, post, comb);
    compute(c.ctx, std::vector<tevo_tensor *>{ a, b }, 3);
    ASSERT_EQ(all_bits(a), all_bits(b));
}

TEST(KernelHcDeathTest, Checks) {
    death_setup();
    Ctx           c(1);
    std::mt19937  rng(57);
    Comb          cb = build_comb(c.ctx, { 2, 1, 0.0f, false }, rng);
    tevo_set_op_params_i32(cb.out, 1, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_dsv4_hc_comb, cb.out), kernel_assert_re("n_iter > 0"));
    cb.out->src[0] = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 24, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_dsv4_hc_comb, cb.out), kernel_abort_re("fatal error"));

    tevo_tensor * pre = tevo_dsv4_hc_pre(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 4, 2),
                                         tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2));
    tevo_set_op_params_i32(pre, 1, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_dsv4_hc_pre, pre), kernel_assert_re("w->ne[0] == n_embd"));

    tevo_tensor * post = tevo_dsv4_hc_post(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2),
                                           tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 4, 2),
                                           tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2), nullptr);
    post->src[3] = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 3, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_dsv4_hc_post, post), kernel_assert_re("comb->ne[1] == hc"));
}

} // namespace
