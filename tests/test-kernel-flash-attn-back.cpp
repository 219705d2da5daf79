// The backward pass of fused attention on the CPU: dq, dk and dv against
// central finite differences of a double-precision attention, with and
// without the causal mask, grouped query heads, several batches, a strided
// output gradient, a head size below 8, and 1, 3 and 8 threads on the work
// buffer the planner sizes; and the refusals of inconsistent shapes.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

struct FabCase {
    int64_t D, N, M, hq, hkv, B;
    bool    masked;
    bool    strided_d; // the output gradient as a permuted view
};

// byte offsets of the three gradients in the destination
struct Layout {
    int64_t offs_k, offs_v, bytes;
};

int64_t pad16(int64_t x) {
    return (x + 15) / 16 * 16;
}

Layout layout_of(const FabCase & c) {
    const int64_t elem_q = c.D * c.N * c.hq * c.B;
    const int64_t elem_k = c.D * c.M * c.hkv * c.B;
    Layout        l;
    l.offs_k = pad16(4 * elem_q);
    l.offs_v = l.offs_k + pad16(4 * elem_k);
    l.bytes  = l.offs_v + 4 * elem_k;
    return l;
}

tevo_tensor * fab_node(tevo_context * ctx, tevo_tensor * q, tevo_tensor * k, tevo_tensor * v, tevo_tensor * d,
                       bool masked, int64_t bytes) {
    tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, bytes / 4);
    t->op           = TEVO_OP_FLASH_ATTN_BACK;
    t->src[0]       = q;
    t->src[1]       = k;
    t->src[2]       = v;
    t->src[3]       = d;
    tevo_set_op_params_i32(t, 0, masked ? 1 : 0);
    return t;
}

// the inputs in double, indexed as the kernel's texts index them
struct Inputs {
    FabCase             c;
    std::vector<double> q, k, v, d; // q[i + D(iq1 + N(iq2 + hq·iq3))], v[j + M(ic + D(ik2 + hkv·ik3))] ...

    double & Q(int64_t i, int64_t r, int64_t h, int64_t b) { return q[i + c.D * (r + c.N * (h + c.hq * b))]; }
    double & K(int64_t i, int64_t r, int64_t h, int64_t b) { return k[i + c.D * (r + c.M * (h + c.hkv * b))]; }
    double & V(int64_t j, int64_t ic, int64_t h, int64_t b) { return v[j + c.M * (ic + c.D * (h + c.hkv * b))]; }
    double & G(int64_t i, int64_t r, int64_t h, int64_t b) { return d[i + c.D * (r + c.N * (h + c.hq * b))]; }

    // sum over every output element of d · attention output
    double loss() {
        const double scale = 1.0 / sqrt((double) c.D);
        const int64_t P     = c.M - c.N;
        double        total = 0.0;
        std::vector<double> s(c.M);
        for (int64_t b = 0; b < c.B; ++b)
            for (int64_t h = 0; h < c.hq; ++h) {
                const int64_t hk = h % c.hkv;
                for (int64_t r = 0; r < c.N; ++r) {
                    const int64_t mb = c.masked ? P + r + 1 : c.M;
                    double        mx = -INFINITY;
                    for (int64_t j = 0; j < mb; ++j) {
                        double dot = 0.0;
                        for (int64_t i = 0; i < c.D; ++i) dot += K(i, j, hk, b) * Q(i, r, h, b);
                        s[j] = dot * scale;
                        mx   = std::max(mx, s[j]);
                    }
                    double sum = 0.0;
                    for (int64_t j = 0; j < mb; ++j) {
                        s[j] = exp(s[j] - mx);
                        sum += s[j];
                    }
                    for (int64_t ic = 0; ic < c.D; ++ic) {
                        double o = 0.0;
                        for (int64_t j = 0; j < mb; ++j) o += s[j] / sum * V(j, ic, hk, b);
                        total += G(ic, r, h, b) * o;
                    }
                }
            }
        return total;
    }

    double fd(std::vector<double> & x, size_t i) {
        const double h = 1e-4, x0 = x[i];
        x[i]            = x0 + h;
        const double lp = loss();
        x[i]            = x0 - h;
        const double lm = loss();
        x[i]            = x0;
        return (lp - lm) / (2 * h);
    }
};

void run_case(const FabCase & c, int nth) {
    SCOPED_TRACE(testing::Message() << "D " << c.D << " N " << c.N << " M " << c.M << " heads " << c.hq << "/"
                                    << c.hkv << " B " << c.B << " masked " << c.masked << " strided d "
                                    << c.strided_d << " nth " << nth);
    Ctx           ctx;
    tevo_tensor * q = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.D, c.N, c.hq, c.B);
    tevo_tensor * k = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.D, c.M, c.hkv, c.B);
    tevo_tensor * v = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.M, c.D, c.hkv, c.B);
    tevo_tensor * d = c.strided_d
                          ? tevo_permute(ctx.ctx, tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.D, c.hq, c.N, c.B), 0, 2, 1, 3)
                          : tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.D, c.N, c.hq, c.B);
    std::mt19937 rng((uint32_t) (c.D * 131 + c.M * 7 + c.hq));
    fill(q, rng);
    fill(k, rng);
    fill(v, rng);
    fill(d, rng);

    Inputs in{ c, {}, {}, {}, {} };
    in.q.resize((size_t) tevo_nelements(q));
    in.k.resize((size_t) tevo_nelements(k));
    in.v.resize((size_t) tevo_nelements(v));
    in.d.resize((size_t) tevo_nelements(d));
    for (int64_t i = 0; i < tevo_nelements(q); ++i) in.q[i] = get<float>(q, i);
    for (int64_t i = 0; i < tevo_nelements(k); ++i) in.k[i] = get<float>(k, i);
    for (int64_t i = 0; i < tevo_nelements(v); ++i) in.v[i] = get<float>(v, i);
    for (int64_t i = 0; i < tevo_nelements(d); ++i) in.d[i] = get<float>(d, i);

    const Layout  l   = layout_of(c);
    tevo_tensor * out = fab_node(ctx.ctx, q, k, v, d, c.masked, l.bytes);
    poison(out);

    // the planner's buffer, with exactly nth threads in the node
    tevo_cgraph * gf = tevo_new_graph(ctx.ctx);
    tevo_build_forward_expand(gf, out);
    tevo_cplan plan = tevo_graph_plan(gf, nth, nullptr);
    ASSERT_EQ(plan.n_threads, nth);
    const int64_t mxdm = std::max(c.D, (c.M + 3) / 4 * 4);
    EXPECT_GE(plan.work_size, 4 * 2 * (size_t) nth * (size_t) (mxdm + 16));
    std::vector<uint8_t> work(plan.work_size);
    plan.work_data = work.data();
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);

    const char * base = (const char *) out->data;
    auto         at   = [&](int64_t byte) { return *(const float *) (base + byte); };

    for (size_t i = 0; i < in.q.size(); ++i) {
        ASSERT_NEAR(at(4 * (int64_t) i), in.fd(in.q, i), 1e-4) << "dq " << i;
    }
    for (size_t i = 0; i < in.k.size(); ++i) {
        ASSERT_NEAR(at(l.offs_k + 4 * (int64_t) i), in.fd(in.k, i), 1e-4) << "dk " << i;
    }
    for (size_t i = 0; i < in.v.size(); ++i) {
        ASSERT_NEAR(at(l.offs_v + 4 * (int64_t) i), in.fd(in.v, i), 1e-4) << "dv " << i;
    }
    // the padding between the blocks is cleared too
    for (int64_t b = 4 * (int64_t) in.q.size(); b < l.offs_k; b += 4) {
        ASSERT_EQ(bits(at(b)), 0u);
    }
    for (int64_t b = l.offs_k + 4 * (int64_t) in.k.size(); b < l.offs_v; b += 4) {
        ASSERT_EQ(bits(at(b)), 0u);
    }
}

TEST(KernelFlashAttnBack, GradientsMatchFiniteDifferences) {
    const FabCase cases[] = {
        { 8, 5, 7, 2, 2, 1, false, false },
        { 8, 5, 7, 2, 2, 1, true, false },  // causal, 2 keys before the first query
        { 8, 6, 6, 1, 1, 1, true, false },  // causal without earlier keys: row 0 sees key 0 alone
        { 6, 3, 9, 4, 2, 2, true, false },  // grouped query heads over two batches
        { 12, 4, 5, 6, 3, 1, false, true }, // grouped heads, strided output gradient, M not a multiple of 4
        { 4, 2, 3, 3, 1, 2, false, false }, // head size below 8
    };
    for (const FabCase & c : cases) {
        for (int nth : thread_counts()) {
            run_case(c, nth);
        }
    }
}

TEST(KernelFlashAttnBackDeathTest, Refusals) {
    death_setup();
    Ctx  c;
    auto mk = [&](tevo_type t, int64_t a, int64_t b, int64_t h, int64_t n) {
        return tevo_new_tensor_4d(c.ctx, t, a, b, h, n);
    };
    tevo_tensor * q = mk(TEVO_TYPE_F32, 8, 4, 2, 1);
    tevo_tensor * k = mk(TEVO_TYPE_F32, 8, 6, 2, 1);
    tevo_tensor * v = mk(TEVO_TYPE_F32, 6, 8, 2, 1);
    tevo_tensor * d = mk(TEVO_TYPE_F32, 8, 4, 2, 1);
    const int64_t bytes = pad16(4 * 64) + pad16(4 * 96) + 4 * 96;

    std::vector<float>  work(4096);
    tevo_compute_params p = {};
    p.nth                 = 1;
    p.wdata               = work.data();
    p.wsize               = work.size() * sizeof(float);
    auto run = [&](tevo_tensor * dst) { tevo_compute_forward_flash_attn_back(&p, false, dst); };

    EXPECT_DEATH(run(fab_node(c.ctx, mk(TEVO_TYPE_F16, 8, 4, 2, 1), k, v, d, false, bytes)),
                 kernel_abort_re("fatal error"));
    // more queries than keys
    EXPECT_DEATH(run(fab_node(c.ctx, mk(TEVO_TYPE_F32, 8, 7, 2, 1), k, v, mk(TEVO_TYPE_F32, 8, 7, 2, 1), false, bytes)),
                 kernel_assert_re("P >= 0"));
    // values of another width than the key count would be read past their rows
    EXPECT_DEATH(run(fab_node(c.ctx, q, k, mk(TEVO_TYPE_F32, 4, 8, 2, 1), d, false, bytes)),
                 kernel_assert_re("nev0 == M"));
    EXPECT_DEATH(run(fab_node(c.ctx, q, k, mk(TEVO_TYPE_F32, 6, 8, 1, 1), d, false, bytes)),
                 kernel_assert_re("nev2 == nek2 && nev3 == nek3"));
    // an output gradient with fewer heads than q
    EXPECT_DEATH(run(fab_node(c.ctx, q, k, v, mk(TEVO_TYPE_F32, 8, 4, 1, 1), false, bytes)),
                 kernel_assert_re("ned2 == neq2 && ned3 == neq3"));
    // batches of keys and queries must pair up
    EXPECT_DEATH(run(fab_node(c.ctx, mk(TEVO_TYPE_F32, 8, 4, 2, 2), k, v, mk(TEVO_TYPE_F32, 8, 4, 2, 2), false, bytes)),
                 kernel_assert_re("nek3 == neq3"));
    // three query heads cannot share two key heads evenly
    EXPECT_DEATH(run(fab_node(c.ctx, mk(TEVO_TYPE_F32, 8, 4, 3, 1), k, v, mk(TEVO_TYPE_F32, 8, 4, 3, 1), false, bytes)),
                 kernel_assert_re("neq2 % nek2 == 0"));
    // keys read as floats
    EXPECT_DEATH(run(fab_node(c.ctx, q, mk(TEVO_TYPE_I32, 8, 6, 2, 1), v, d, false, bytes)),
                 kernel_assert_re("k->type == TEVO_TYPE_F32"));
    // a destination without room for the three gradients
    EXPECT_DEATH(run(fab_node(c.ctx, q, k, v, d, false, bytes - 4)),
                 kernel_assert_re("offs_v + elem_v*sizeof(float) <= tevo_nbytes(dst)"));
    // a work buffer without room for this thread's rows
    p.wsize = 4 * 2 * (8 + 16) - 4;
    EXPECT_DEATH(run(fab_node(c.ctx, q, k, v, d, false, bytes)),
                 kernel_assert_re("params->wsize >= sizeof(float) * 2 * (size_t) params->nth * (size_t) (mxDM + 16)"));
    p.wsize = work.size() * sizeof(float);
    // the masked flag is 0 or 1
    tevo_tensor * bad = fab_node(c.ctx, q, k, v, d, false, bytes);
    tevo_set_op_params_i32(bad, 0, 2);
    EXPECT_DEATH(compute(c.ctx, bad, 1), "TEVO_ASSERT\\(t == 0 \\|\\| t == 1\\) failed");
}

} // namespace
