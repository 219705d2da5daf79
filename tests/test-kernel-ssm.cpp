// The state-space operators on the CPU: the depth-wise causal convolution and
// the selective scan (scalar and per-element decay, grouped B and C, state
// pool entries picked by id, snapshot slots), each against a double-precision
// recurrence, with several sequences, strided inputs and 1, 3 and 8 threads
// (more threads than channels or heads); the same bits at every thread count.

#include "kernel-test-helpers.h"
#include "padded-view.h"

namespace {

using namespace kt;

// ---------------------------------------------------------------------------
// SSM_CONV

struct ConvCase {
    int64_t nc, nr, nt, ns;
    bool    strided; // c with gaps between rows, sx with gaps between sequences
};

TEST(KernelSsmConv, AgainstDoubleSum) {
    const ConvCase cases[] = {
        { 4, 5, 6, 2, false }, { 4, 5, 6, 2, true }, { 1, 3, 4, 1, false }, { 4, 37, 1, 3, true },
    };
    std::mt19937 rng(11);
    for (const ConvCase & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "nc " << k.nc << " nr " << k.nr << " strided " << k.strided
                                            << " threads " << nt);
            Ctx           c(4);
            const int64_t sx_ne[4] = { k.nc - 1 + k.nt, k.nr, k.ns, 1 };
            const int64_t c_ne[4]  = { k.nc, k.nr, 1, 1 };
            tevo_tensor * sx = k.strided ? padded(c.ctx, TEVO_TYPE_F32, sx_ne, 1)
                                         : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 3, sx_ne);
            tevo_tensor * w  = k.strided ? padded(c.ctx, TEVO_TYPE_F32, c_ne, 0)
                                         : tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 2, c_ne);
            std::mt19937  r  = rng; // the same inputs at every thread count
            fill(sx, r);
            fill(w, r);
            tevo_tensor * out = tevo_ssm_conv(c.ctx, sx, w);
            poison(out);
            compute_n(c.ctx, out, nt);

            std::vector<uint32_t> got;
            for (int64_t i3 = 0; i3 < k.ns; ++i3) {
                for (int64_t i2 = 0; i2 < k.nt; ++i2) {
                    for (int64_t i1 = 0; i1 < k.nr; ++i1) {
                        double want = 0.0, mag = 0.0;
                        for (int64_t i0 = 0; i0 < k.nc; ++i0) {
                            const double p = (double) get(sx, i2 + i0, i1, i3) * get(w, i0, i1);
                            want += p;
                            mag += fabs(p);
                        }
                        ASSERT_NEAR(get(out, i1, i2, i3), want, 1e-6 * (1.0 + mag)) << i1 << " " << i2 << " " << i3;
                        got.push_back(get_bits(out, i1, i2, i3));
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

TEST(KernelSsmConv, OneTapScalesTheToken) {
    Ctx           c(1);
    tevo_tensor * sx = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 3, 2, 1);
    tevo_tensor * w  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 1, 2);
    for (int i = 0; i < 6; ++i) {
        put<float>(sx, i, (float) (i + 1));
    }
    put<float>(w, 0, 2.0f);
    put<float>(w, 1, -0.5f);
    tevo_tensor * out = tevo_ssm_conv(c.ctx, sx, w);
    compute(c.ctx, out, 1);
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(get(out, 0, t), 2.0f * (float) (t + 1));
        EXPECT_EQ(get(out, 1, t), -0.5f * (float) (t + 4));
    }
}

TEST(KernelSsmConvDeathTest, Checks) {
    death_setup();
    Ctx c(1);
    {
        tevo_tensor * sx  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 6, 4, 1);
        tevo_tensor * out = tevo_ssm_conv(c.ctx, sx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 4));
        EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_conv, out), kernel_abort_re("fatal error"));
    }
    {
        const int64_t ne[4] = { 6, 4, 1, 1 };
        tevo_tensor * sx    = padded(c.ctx, TEVO_TYPE_F32, ne, 0);
        tevo_tensor * out   = tevo_ssm_conv(c.ctx, sx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 4));
        EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_conv, out),
                     kernel_assert_re("src0->nb[1] == src0->ne[0]*sizeof(float)"));
    }
    {
        tevo_tensor * sx  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 6, 4, 1);
        tevo_tensor * out = tevo_ssm_conv(c.ctx, sx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_I32, 4, 4));
        EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_conv, out), kernel_assert_re("src1->type == TEVO_TYPE_F32"));
    }
}

// ---------------------------------------------------------------------------
// SSM_SCAN

struct ScanCase {
    int64_t nc, nr, nh, ng, nt, ns, pool, K;
    bool    per_element; // one decay per state element instead of per head
    bool    strided;     // gaps between the tokens of x, B and C
    bool    big_dt;      // one time step above the softplus threshold
};

struct Scan {
    tevo_tensor *s, *x, *dt, *A, *B, *C, *ids, *out;
};

Scan build_scan(tevo_context * ctx, const ScanCase & k, std::mt19937 & rng) {
    Scan          sc;
    const int64_t x_ne[4] = { k.nr, k.nh, k.nt, k.ns };
    const int64_t b_ne[4] = { k.nc, k.ng, k.nt, k.ns };
    sc.s                  = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, k.nc, k.nr, k.nh, k.pool);
    sc.x  = k.strided ? padded(ctx, TEVO_TYPE_F32, x_ne, 1) : tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, x_ne);
    sc.dt = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, k.nh, k.nt, k.ns);
    sc.A  = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, k.per_element ? k.nc : 1, k.nh);
    sc.B  = k.strided ? padded(ctx, TEVO_TYPE_F32, b_ne, 2) : tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, b_ne);
    sc.C  = k.strided ? padded(ctx, TEVO_TYPE_F32, b_ne, 1) : tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, b_ne);
    sc.ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, k.ns);
    fill(sc.s, rng);
    fill(sc.x, rng);
    fill(sc.dt, rng, -2.0f, 2.0f);
    fill(sc.A, rng, -1.5f, -0.1f);
    fill(sc.B, rng);
    fill(sc.C, rng);
    if (k.big_dt) {
        set(sc.dt, 25.0f, k.nh - 1, k.nt - 1, 0);
    }
    // the sequences start from pool entries in another order
    for (int64_t i = 0; i < k.ns; ++i) {
        put<int32_t>(sc.ids, i, (int32_t) ((k.pool - 1 - 2 * i + 2 * k.pool) % k.pool));
    }
    sc.out = tevo_ssm_scan(ctx, sc.s, sc.x, sc.dt, sc.A, sc.B, sc.C, sc.ids, k.K);
    poison(sc.out);
    return sc;
}

double softplus_d(double z) {
    return z > 20.0 ? z : log1p(exp(z));
}

// checks every output and slot against the recurrence in double; slots
// P >= nt must still hold the poison
void check_scan(const Scan & sc, const ScanCase & k) {
    const int64_t nx      = k.nr * k.nh * k.nt * k.ns;
    const int64_t n_state = k.nc * k.nr * k.nh;
    const float * out     = (const float *) sc.out->data;
    std::vector<double> st(n_state);

    for (int64_t i3 = 0; i3 < k.ns; ++i3) {
        const int32_t id = get<int32_t>(sc.ids, i3);
        for (int64_t e = 0; e < n_state; ++e) {
            st[e] = ((const float *) sc.s->data)[id * n_state + e];
        }
        for (int64_t i2 = 0; i2 < k.nt; ++i2) {
            for (int64_t h = 0; h < k.nh; ++h) {
                const double  dts = softplus_d(get(sc.dt, h, i2, i3));
                const int64_t g   = h / (k.nh / k.ng);
                for (int64_t i1 = 0; i1 < k.nr; ++i1) {
                    const double xdt = (double) get(sc.x, i1, h, i2, i3) * dts;
                    double       y = 0.0, mag = 0.0;
                    for (int64_t i0 = 0; i0 < k.nc; ++i0) {
                        const double dA = exp(dts * get(sc.A, k.per_element ? i0 : 0, h));
                        double &     s  = st[i0 + k.nc * (i1 + k.nr * h)];
                        s               = s * dA + (double) get(sc.B, i0, g, i2, i3) * xdt;
                        y += s * get(sc.C, i0, g, i2, i3);
                        mag += fabs(s * get(sc.C, i0, g, i2, i3));
                    }
                    const int64_t iy = i1 + k.nr * h + k.nr * k.nh * i2 + k.nr * k.nh * k.nt * i3;
                    ASSERT_NEAR(out[iy], y, 2e-6 * (1.0 + mag)) << "y " << i1 << " " << h << " " << i2 << " " << i3;
                }
            }
            const int64_t P = k.nt - 1 - i2;
            if (P < k.K) {
                const float * slot = out + nx + (P * k.ns + i3) * n_state;
                for (int64_t e = 0; e < n_state; ++e) {
                    ASSERT_NEAR(slot[e], st[e], 2e-6 * (1.0 + fabs(st[e]))) << "slot " << P << " seq " << i3 << " " << e;
                }
            }
        }
        for (int64_t P = k.nt; P < k.K; ++P) {
            const float * slot = out + nx + (P * k.ns + i3) * n_state;
            for (int64_t e = 0; e < n_state; ++e) {
                ASSERT_EQ(bits(slot[e]), 0xFFFFFFFFu) << "slot " << P << " was written";
            }
        }
    }
}

TEST(KernelSsmScan, AgainstDoubleRecurrence) {
    const ScanCase cases[] = {
        // d_state below one block of 32: all scalar
        { 16, 3, 2, 1, 5, 2, 4, 1, false, false, false },
        // blocks of 32 plus a tail, grouped B and C, snapshots, strided tokens
        { 40, 3, 4, 2, 5, 3, 4, 3, false, true, true },
        { 64, 2, 3, 3, 4, 2, 3, 2, false, false, false },
        // one decay per state element
        { 40, 3, 2, 1, 5, 2, 3, 1, true, true, true },
        // one token and three slots: only slot 0 is written
        { 32, 2, 2, 1, 1, 2, 2, 3, false, false, false },
        // more slots than tokens
        { 8, 2, 2, 2, 2, 1, 1, 4, false, true, false },
    };
    std::mt19937 rng(12);
    for (const ScanCase & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "d_state " << k.nc << " heads " << k.nh << " groups " << k.ng
                                            << " tokens " << k.nt << " K " << k.K << " threads " << nt);
            Ctx  c(8);
            std::mt19937 r = rng;
            Scan sc        = build_scan(c.ctx, k, r);
            compute_n(c.ctx, sc.out, nt);
            check_scan(sc, k);
            if (HasFatalFailure()) {
                return;
            }
            std::vector<uint32_t> got(tevo_nelements(sc.out));
            memcpy(got.data(), sc.out->data, got.size() * sizeof(uint32_t));
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelSsmScanDeathTest, Checks) {
    death_setup();
    const ScanCase k = { 16, 2, 2, 1, 3, 2, 3, 2, false, false, false };
    std::mt19937   rng(13);
    Ctx            c(4);
    Scan           sc = build_scan(c.ctx, k, rng);

    // an id outside the pool, on either side
    put<int32_t>(sc.ids, 1, 3);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_scan, sc.out),
                 kernel_assert_re("ids[i3] >= 0 && ids[i3] < src0->ne[3]"));
    put<int32_t>(sc.ids, 1, -1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_scan, sc.out),
                 kernel_assert_re("ids[i3] >= 0 && ids[i3] < src0->ne[3]"));
    put<int32_t>(sc.ids, 1, 0);

    // snapshots need one decay per head
    tevo_tensor * A_scalar = sc.out->src[3];
    sc.out->src[3]         = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, k.nc, k.nh);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_scan, sc.out), kernel_assert_re("src3->ne[0] == 1 || K == 1"));
    sc.out->src[3] = A_scalar;

    tevo_set_op_params_i32(sc.out, 0, 3);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_scan, sc.out),
                 kernel_assert_re("tevo_nelements(src1) + K*nc*nr*nh*ns == tevo_nelements(dst)"));
    tevo_set_op_params_i32(sc.out, 0, 2);

    sc.out->src[0] = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F16, k.nc, k.nr, k.nh, k.pool);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_ssm_scan, sc.out), kernel_abort_re("fatal error"));
}

TEST(KernelSsmScan, NoTokensKeepsTheInitialStates) {
    const ScanCase k = { 8, 2, 3, 1, 0, 2, 3, 1, false, false, false };
    std::mt19937   rng(14);
    for (int nt : thread_counts()) {
        Ctx           c(2);
        Scan          sc = build_scan(c.ctx, k, rng);
        compute_n(c.ctx, sc.out, nt);
        const int64_t n_state = k.nc * k.nr * k.nh;
        for (int64_t i3 = 0; i3 < k.ns; ++i3) {
            const int32_t id = get<int32_t>(sc.ids, i3);
            ASSERT_EQ(memcmp((const float *) sc.out->data + i3 * n_state, (const float *) sc.s->data + id * n_state,
                             n_state * sizeof(float)),
                      0);
        }
    }
}

} // namespace
