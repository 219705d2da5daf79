// Graphs on the meta backend over 1 to 4 CPU devices against the same graph
// on one CPU backend: a transformer-like block whose products are split by
// rows (output features, attention heads) and by columns (inner dimension,
// leaving partial sums), through the built-in exchange and through a
// communication library; and graphs a scheduler spreads over a meta device
// and the CPU, with views of the CPU's results among the meta nodes.

#include "meta-test-devices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <set>

using namespace metatest;

namespace {

constexpr int64_t D  = 16; // model width
constexpr int64_t T  = 5;  // tokens
constexpr int64_t H  = 6;  // heads
constexpr int64_t Dh = 4;  // head width
constexpr int64_t F  = 24; // hidden width of the first MLP
constexpr int64_t F2 = 12; // hidden width of the final MLP
constexpr int64_t V  = 8;  // outputs

struct weight_recipe {
    const char *         name;
    std::vector<int64_t> ne;
};

const std::vector<weight_recipe> & weight_specs() {
    static const std::vector<weight_recipe> specs = {
        { "x", { D, T } },         { "g", { D } },          { "wq", { D, H * Dh } }, { "wk", { D, H * Dh } },
        { "wv", { D, H * Dh } },   { "wo", { H * Dh, D } }, { "w1", { D, F } },      { "w2", { F, D } },
        { "sc", { 1, T } },        { "gate", { D, T } },    { "w4", { D, F2 } },     { "w3", { F2, V } },
        { "w1b", { D, F } },       { "w2b", { F, D } },
    };
    return specs;
}

const std::vector<float> & host_values(const std::string & name) {
    static std::map<std::string, std::vector<float>> values = [] {
        std::map<std::string, std::vector<float>> v;
        unsigned                                  seed = 1;
        for (const weight_recipe & s : weight_specs()) {
            int64_t n = 1;
            for (int64_t e : s.ne) {
                n *= e;
            }
            const float                           scale = 1.0f / std::sqrt((float) s.ne[0]);
            std::mt19937                          rng(seed++);
            std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
            for (int64_t i = 0; i < n; i++) {
                v[s.name].push_back(dist(rng) * (s.ne[0] == 1 ? 1.0f : scale * 2.0f));
            }
        }
        return v;
    }();
    return values.at(name);
}

// Split states for n devices: heads and hidden features spread over the
// devices; zero_share leaves the last device without any hidden feature of
// the first MLP.
void set_states(int n, bool zero_share) {
    const std::vector<int64_t> heads = even_shares(H, n);
    std::vector<int64_t>       head_cols;
    for (int64_t h : heads) {
        head_cols.push_back(h * Dh);
    }
    std::vector<int64_t> hidden = even_shares(F, n);
    if (zero_share && n >= 2) {
        hidden = even_shares(F, n - 1);
        hidden.push_back(0);
    }
    const std::vector<int64_t> hidden2 = even_shares(F2, n);

    for (const char * name : { "wq", "wk", "wv" }) {
        states()[name] = split(TEVO_BACKEND_SPLIT_AXIS_1, head_cols);
    }
    states()["wo"]  = split(TEVO_BACKEND_SPLIT_AXIS_0, head_cols);
    states()["w1"]  = split(TEVO_BACKEND_SPLIT_AXIS_1, hidden);
    states()["w2"]  = split(TEVO_BACKEND_SPLIT_AXIS_0, hidden);
    states()["w1b"] = split(TEVO_BACKEND_SPLIT_AXIS_1, even_shares(F, n));
    states()["w2b"] = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(F, n));
    states()["w4"]  = split(TEVO_BACKEND_SPLIT_AXIS_1, hidden2);
    states()["w3"]  = split(TEVO_BACKEND_SPLIT_AXIS_0, hidden2);
}

struct weights {
    tevo_context *                       ctx = nullptr;
    tevo_backend_buffer_t                buf = nullptr;
    std::map<std::string, tevo_tensor *> t;

    explicit weights(tevo_backend_buffer_type_t buft) {
        ctx = no_alloc_ctx();
        for (const weight_recipe & s : weight_specs()) {
            tevo_tensor * w = tevo_new_tensor(ctx, TEVO_TYPE_F32, (int) s.ne.size(), s.ne.data());
            tevo_set_name(w, s.name);
            t[s.name] = w;
        }
        buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, buft);
        EXPECT_NE(buf, nullptr);
        tevo_backend_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
        for (auto & [name, w] : t) {
            const std::vector<float> & v = host_values(name);
            tevo_backend_tensor_set(w, v.data(), 0, v.size() * sizeof(float));
        }
    }
    ~weights() {
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
    }
    tevo_tensor * operator[](const char * name) const { return t.at(name); }
};

// x: [d, n_tok], wq, wk, wv: [d, n_head * head], wo: [n_head * head, d] ->
// [d, n_tok]: the output projection leaves partial sums
tevo_tensor * attention(tevo_context * ctx, tevo_tensor * x, tevo_tensor * wq, tevo_tensor * wk, tevo_tensor * wv,
                        tevo_tensor * wo, int64_t n_head, int64_t head, int64_t n_tok) {
    tevo_tensor * q = tevo_reshape_3d(ctx, tevo_mul_mat(ctx, wq, x), head, n_head, n_tok);
    tevo_tensor * k = tevo_reshape_3d(ctx, tevo_mul_mat(ctx, wk, x), head, n_head, n_tok);
    tevo_tensor * v = tevo_reshape_3d(ctx, tevo_mul_mat(ctx, wv, x), head, n_head, n_tok);

    tevo_tensor * qp  = tevo_permute(ctx, q, 0, 2, 1, 3);                      // [head, n_tok, n_head]
    tevo_tensor * kp  = tevo_permute(ctx, k, 0, 2, 1, 3);                      // [head, n_tok, n_head]
    tevo_tensor * kq  = tevo_mul_mat(ctx, kp, qp);                             // [n_tok, n_tok, n_head]
    kq                = tevo_soft_max(ctx, tevo_scale(ctx, kq, 1.0f / std::sqrt((float) head)));
    tevo_tensor * vt  = tevo_cont(ctx, tevo_permute(ctx, v, 1, 2, 0, 3));      // [n_tok, head, n_head]
    tevo_tensor * kqv = tevo_mul_mat(ctx, vt, kq);                             // [head, n_tok, n_head]
    tevo_tensor * o   = tevo_reshape_2d(ctx, tevo_cont(ctx, tevo_permute(ctx, kqv, 0, 2, 1, 3)), head * n_head, n_tok);
    return tevo_mul_mat(ctx, wo, o);
}

// [D, T] -> attention over split heads, residual, an MLP over split hidden
// features with a gate, residual, and a final MLP that ends in partial sums:
// [V, T]
tevo_tensor * build_transformer_on(tevo_context * ctx, const weights & w, tevo_tensor * x) {
    tevo_tensor * n1 = tevo_mul(ctx, tevo_rms_norm(ctx, x, 1e-5f), w["g"]);

    tevo_tensor * attn = attention(ctx, n1, w["wq"], w["wk"], w["wv"], w["wo"], H, Dh, T); // partial
    tevo_set_name(attn, "attn_out");
    tevo_tensor * h = tevo_add(ctx, x, attn);

    tevo_tensor * n2 = tevo_norm(ctx, h, 1e-5f);
    tevo_tensor * u  = tevo_mul(ctx, tevo_silu(ctx, tevo_mul_mat(ctx, w["w1"], n2)), w["sc"]);
    tevo_tensor * y  = tevo_mul(ctx, tevo_mul_mat(ctx, w["w2"], u), w["gate"]); // partial, scaled before the sum
    tevo_set_name(y, "mlp_out");
    tevo_tensor * h2 = tevo_add(ctx, h, y);

    tevo_tensor * out = tevo_mul_mat(ctx, w["w3"], tevo_silu(ctx, tevo_mul_mat(ctx, w["w4"], h2)));
    tevo_set_name(out, "out");
    return out;
}

tevo_tensor * build_transformer(tevo_context * ctx, const weights & w) {
    return build_transformer_on(ctx, w, w["x"]);
}

// two partial branches summed: one exchange for both
tevo_tensor * build_branches_on(tevo_context * ctx, const weights & w, tevo_tensor * x) {
    tevo_tensor * a = tevo_mul_mat(ctx, w["w2"], tevo_silu(ctx, tevo_mul_mat(ctx, w["w1"], x)));
    tevo_tensor * b = tevo_mul_mat(ctx, w["w2b"], tevo_gelu(ctx, tevo_mul_mat(ctx, w["w1b"], x)));
    tevo_tensor * s = tevo_add(ctx, a, b);
    tevo_tensor * out = tevo_add(ctx, s, x);
    tevo_set_name(out, "out");
    return out;
}

tevo_tensor * build_branches(tevo_context * ctx, const weights & w) {
    return build_branches_on(ctx, w, w["x"]);
}

// a partial product read by a gate and by the residual: the exchange may not
// wait for the gate, or the residual would read a device's share only
tevo_tensor * build_shared_partial(tevo_context * ctx, const weights & w) {
    tevo_tensor * x   = w["x"];
    tevo_tensor * y   = tevo_mul_mat(ctx, w["w2"], tevo_silu(ctx, tevo_mul_mat(ctx, w["w1"], x)));
    tevo_tensor * z   = tevo_mul(ctx, y, w["gate"]);
    tevo_tensor * out = tevo_add(ctx, z, y);
    tevo_set_name(out, "out");
    return out;
}

using builder = std::function<tevo_tensor *(tevo_context *, const weights &)>;

struct graph_run {
    tevo_context * ctx = nullptr;
    tevo_cgraph *  g   = nullptr;
    tevo_tensor *  out = nullptr;

    graph_run(const builder & build, const weights & w) :
        graph_run([&](tevo_context * c) { return build(c, w); }) {}

    explicit graph_run(const std::function<tevo_tensor *(tevo_context *)> & build) {
        ctx = no_alloc_ctx(1024);
        out = build(ctx);
        tevo_set_output(out);
        g = tevo_new_graph(ctx);
        tevo_build_forward_expand(g, out);
    }
    ~graph_run() { tevo_free(ctx); }

    std::vector<float> read() const {
        std::vector<float> v((size_t) tevo_nelements(out));
        tevo_backend_tensor_get(out, v.data(), 0, tevo_nbytes(out));
        return v;
    }
};

std::vector<float> reference(const builder & build) {
    tevo_backend_t cpu = tevo_backend_cpu_init();
    tevo_backend_cpu_set_n_threads(cpu, 2);
    weights        w(tevo_backend_cpu_buffer_type());
    graph_run      run(build, w);
    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, run.g));
    EXPECT_EQ(tevo_backend_graph_compute(cpu, run.g), TEVO_STATUS_SUCCESS);
    std::vector<float> v = run.read();
    tevo_gallocr_free(galloc);
    tevo_backend_free(cpu);
    return v;
}

void expect_close(const std::vector<float> & got, const std::vector<float> & want, const std::string & what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); i++) {
        ASSERT_TRUE(std::isfinite(got[i])) << what << " element " << i;
        ASSERT_NEAR(got[i], want[i], 1e-4 * (1.0 + std::fabs(want[i]))) << what << " element " << i;
    }
}

enum class path { fallback, comm, comm_declines };

device_set & devices_for(path p) {
    device_set & set = p == path::fallback ? plain_set() : comm_set();
    set.stats        = {};
    set.stats.succeed = p != path::comm_declines;
    return set;
}

// the meta side of a test: backend, weights and one graph allocator
struct meta_setup {
    device_set &   set;
    tevo_backend_t backend;
    weights        w;
    tevo_gallocr_t galloc;

    meta_setup(path p, int n) :
        set(devices_for(p)),
        backend(tevo_backend_dev_init(meta_device(set, n), nullptr)),
        w(tevo_backend_dev_buffer_type(meta_device(set, n))),
        galloc(tevo_gallocr_new(tevo_backend_dev_buffer_type(meta_device(set, n)))) {}
    ~meta_setup() {
        tevo_gallocr_free(galloc);
        tevo_backend_free(backend);
    }

    std::vector<float> compute(graph_run & run, bool alloc = true) {
        if (alloc) {
            EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, run.g));
        }
        EXPECT_EQ(tevo_backend_graph_compute(backend, run.g), TEVO_STATUS_SUCCESS);
        return run.read();
    }
};

struct graph_case {
    int  n;
    path p;
};

std::string case_name(const ::testing::TestParamInfo<graph_case> & info) {
    const char * p = info.param.p == path::fallback ? "Exchange" : info.param.p == path::comm ? "Comm" : "CommDeclines";
    return std::to_string(info.param.n) + "Devices" + p;
}

class MetaGraph : public ::testing::TestWithParam<graph_case> {};

TEST_P(MetaGraph, TransformerBlockMatchesOneDevice) {
    const graph_case & c = GetParam();
    set_states(c.n, false);
    const std::vector<float> want = reference(build_transformer);

    meta_setup meta(c.p, c.n);
    graph_run  run(build_transformer, meta.w);
    expect_close(meta.compute(run), want, "first run");

    // the attention output, the gated MLP output and the final node: the
    // scaling by the gate waits for the same exchange
    const int reductions = c.n >= 2 && c.p != path::fallback ? 3 : 0;
    EXPECT_EQ(meta.set.stats.n_allreduce, reductions);

    // the final partial node holds the sum on every device
    for (int j = 1; j < c.n; j++) {
        const tevo_tensor * d0 = meta_simple_tensor(run.out, 0);
        const tevo_tensor * dj = meta_simple_tensor(run.out, j);
        std::vector<float>  v0((size_t) tevo_nelements(d0));
        std::vector<float>  vj((size_t) tevo_nelements(dj));
        tevo_backend_tensor_get(d0, v0.data(), 0, tevo_nbytes(d0));
        tevo_backend_tensor_get(dj, vj.data(), 0, tevo_nbytes(dj));
        expect_close(vj, v0, "device " + std::to_string(j));
    }

    // the same graph again: the preparation of a graph without identity is
    // redone and must keep its own sub-tensors
    expect_close(meta.compute(run, false), want, "second run");
}

TEST_P(MetaGraph, SummedPartialBranchesMatchOneDevice) {
    const graph_case & c = GetParam();
    set_states(c.n, false);
    const std::vector<float> want = reference(build_branches);

    meta_setup meta(c.p, c.n);
    graph_run  run(build_branches, meta.w);
    expect_close(meta.compute(run), want, "branches");
    EXPECT_EQ(meta.set.stats.n_allreduce, c.n >= 2 && c.p != path::fallback ? 1 : 0);
}

TEST_P(MetaGraph, PartialProductReadTwiceIsSummedBeforeEitherReader) {
    const graph_case & c = GetParam();
    set_states(c.n, false);
    const std::vector<float> want = reference(build_shared_partial);

    meta_setup meta(c.p, c.n);
    graph_run  run(build_shared_partial, meta.w);
    expect_close(meta.compute(run), want, "shared partial");
}

INSTANTIATE_TEST_SUITE_P(Devices, MetaGraph,
                         ::testing::Values(graph_case{ 1, path::fallback }, graph_case{ 2, path::fallback },
                                           graph_case{ 3, path::fallback }, graph_case{ 4, path::fallback },
                                           graph_case{ 2, path::comm }, graph_case{ 3, path::comm },
                                           graph_case{ 4, path::comm }, graph_case{ 3, path::comm_declines }),
                         case_name);

class MetaGraphZeroShare : public ::testing::TestWithParam<path> {};

// The last device holds no hidden feature of the MLP: it skips the product
// and the gate, and must contribute zeros, not what its memory held.
TEST_P(MetaGraphZeroShare, DeviceWithoutShareContributesZeros) {
    set_states(3, true);
    const std::vector<float> want = reference(build_transformer);

    meta_setup meta(GetParam(), 3);
    graph_run  run(build_transformer, meta.w);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(meta.galloc, run.g));

    tevo_tensor * y = tevo_graph_get_tensor(run.g, "mlp_out");
    ASSERT_NE(y, nullptr);
    ASSERT_EQ(meta_simple_tensor(y->src[0], 2)->flags & TEVO_TENSOR_FLAG_COMPUTE, 0);
    tevo_tensor *      y2 = meta_simple_tensor(y, 2);
    std::vector<float> poison((size_t) tevo_nelements(y2), std::nanf(""));
    tevo_backend_tensor_set(y2, poison.data(), 0, tevo_nbytes(y2));

    expect_close(meta.compute(run, false), want, "zero share");
}

INSTANTIATE_TEST_SUITE_P(Paths, MetaGraphZeroShare, ::testing::Values(path::fallback, path::comm),
                         [](const ::testing::TestParamInfo<path> & info) {
                             return std::string(info.param == path::fallback ? "Exchange" : "Comm");
                         });

// A mixture-of-experts tail: per-slot products over a split inner dimension,
// a bias per expert stored as partial shares, the sum over the slots, then a
// gate. The bias and the slot sum are linear in the partial values, so one
// exchange after the last addition serves them all.
constexpr int64_t EK = 8; // inner width
constexpr int64_t EN = 6; // output width
constexpr int64_t EM = 3; // slots per token
constexpr int64_t EX = 4; // experts

struct expert_model {
    tevo_context *        ctx = nullptr;
    tevo_backend_buffer_t buf = nullptr;
    tevo_tensor *         w = nullptr, * x = nullptr, * bias = nullptr, * ids = nullptr, * gate = nullptr;

    explicit expert_model(tevo_backend_buffer_type_t buft) {
        ctx  = no_alloc_ctx();
        w    = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, EK, EN);
        x    = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, EK, EM, T);
        bias = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, EN, EX);
        ids  = tevo_new_tensor_2d(ctx, TEVO_TYPE_I32, EM, T);
        gate = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, EN, T);
        const char * names[] = { "moe_w", "moe_x", "moe_bias", "moe_ids", "moe_gate" };
        tevo_tensor * all[]   = { w, x, bias, ids, gate };
        for (int i = 0; i < 5; i++) {
            tevo_set_name(all[i], names[i]);
        }
        buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, buft);
        unsigned seed = 40;
        for (tevo_tensor * f : { w, x, bias, gate }) {
            std::mt19937                          rng(seed++);
            std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
            std::vector<float>                    v((size_t) tevo_nelements(f));
            for (float & e : v) {
                e = dist(rng);
            }
            tevo_backend_tensor_set(f, v.data(), 0, tevo_nbytes(f));
        }
        std::vector<int32_t> id((size_t) (EM * T));
        for (size_t i = 0; i < id.size(); i++) {
            id[i] = (int32_t) ((i * 7 + 1) % EX);
        }
        tevo_backend_tensor_set(ids, id.data(), 0, tevo_nbytes(ids));
    }
    ~expert_model() {
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
    }
};

// [EK, EM, T] -> [EN, T]; the views come into the graph before the additions
struct expert_graph {
    tevo_context * ctx;
    tevo_cgraph *  g;
    tevo_tensor *  last_add = nullptr;
    tevo_tensor *  out      = nullptr;

    explicit expert_graph(const expert_model & m) {
        ctx              = no_alloc_ctx(1024);
        g                = tevo_new_graph(ctx);
        tevo_tensor * y  = tevo_mul_mat(ctx, m.w, m.x); // [EN, EM, T], partial
        tevo_tensor * yb = tevo_add_id(ctx, y, m.bias, m.ids);
        std::vector<tevo_tensor *> views;
        for (int64_t s = 0; s < EM; s++) {
            views.push_back(tevo_view_2d(ctx, yb, EN, T, yb->nb[2], s * yb->nb[1]));
            tevo_build_forward_expand(g, views.back());
        }
        tevo_tensor * sum = views[0];
        for (int64_t s = 1; s < EM; s++) {
            sum = tevo_add(ctx, sum, views[s]);
        }
        last_add = sum;
        out      = tevo_mul(ctx, sum, m.gate);
        tevo_set_output(out);
        tevo_build_forward_expand(g, out);
    }
    ~expert_graph() { tevo_free(ctx); }

    std::vector<float> read() const {
        std::vector<float> v((size_t) tevo_nelements(out));
        tevo_backend_tensor_get(out, v.data(), 0, tevo_nbytes(out));
        return v;
    }
};

TEST_P(MetaGraph, ExpertSlotsAndTheirBiasWaitForOneExchange) {
    const graph_case & c = GetParam();
    states()["moe_w"]    = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(EK, c.n));
    states()["moe_x"]    = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(EK, c.n));
    states()["moe_bias"] = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL);

    std::vector<float> want;
    {
        tevo_backend_t cpu = tevo_backend_cpu_init();
        expert_model   m(tevo_backend_cpu_buffer_type());
        expert_graph   eg(m);
        tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, eg.g));
        ASSERT_EQ(tevo_backend_graph_compute(cpu, eg.g), TEVO_STATUS_SUCCESS);
        want = eg.read();
        tevo_gallocr_free(galloc);
        tevo_backend_free(cpu);
    }

    device_set &       set     = devices_for(c.p);
    tevo_backend_dev_t dev     = meta_device(set, c.n);
    tevo_backend_t     backend = tevo_backend_dev_init(dev, nullptr);
    {
        expert_model   m(tevo_backend_dev_buffer_type(dev));
        expert_graph   eg(m);
        tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_dev_buffer_type(dev));
        ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, eg.g));
        ASSERT_EQ(tevo_backend_graph_compute(backend, eg.g), TEVO_STATUS_SUCCESS);
        expect_close(eg.read(), want, "experts");

        // one subgraph up to the last addition, then the gate
        const meta_backend_context * ctx = (const meta_backend_context *) backend->context;
        ASSERT_EQ(ctx->subgraphs.size(), 2u);
        EXPECT_EQ(eg.g->nodes[ctx->subgraphs[0].end], eg.last_add);
        EXPECT_EQ(set.stats.n_allreduce, c.n >= 2 && c.p != path::fallback ? 1 : 0);
        tevo_gallocr_free(galloc);
    }
    tevo_backend_free(backend);
}

// Two graphs over one meta buffer: the second is placed while the first is
// still to be computed again; both keep their sub-tensors.
TEST(MetaGraphSets, GraphsPlacedOneAfterAnotherKeepTheirSubTensors) {
    set_states(3, false);
    const std::vector<float> want = reference(build_transformer);

    meta_setup meta(path::fallback, 3);
    graph_run  a(build_transformer, meta.w);
    graph_run  b(build_transformer, meta.w);

    expect_close(meta.compute(a), want, "a");
    ASSERT_TRUE(tevo_gallocr_alloc_graph(meta.galloc, b.g));
    expect_close(meta.compute(a, false), want, "a again after b was placed");
    expect_close(meta.compute(b, false), want, "b");
}

// a graph over an input of its own, placed with the graph's other tensors
template <tevo_tensor * (*body)(tevo_context *, const weights &, tevo_tensor *)>
tevo_tensor * with_input(tevo_context * ctx, const weights & w) {
    tevo_tensor * in = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, D, T);
    tevo_set_name(in, "inp");
    tevo_set_input(in);
    return body(ctx, w, in);
}

// Graph A, then graph B, placed one after the other in one compute buffer
// and computed in turns (A, A, B, A, B, A), each time with new input values:
// every output in order.
std::vector<std::vector<float>> computed_in_turns(tevo_backend_t backend, const weights & w) {
    tevo_backend_buffer_type_t      buft = tevo_backend_get_default_buffer_type(backend);
    tevo_gallocr_t                  galloc = tevo_gallocr_new(buft);
    graph_run                       a(with_input<build_transformer_on>, w);
    graph_run                       b(with_input<build_branches_on>, w);
    std::vector<std::vector<float>> outs;

    auto compute = [&](graph_run & run) {
        std::mt19937                          rng((unsigned) outs.size() + 100);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float>                    in((size_t) (D * T));
        for (float & e : in) {
            e = dist(rng);
        }
        tevo_backend_tensor_set(tevo_graph_get_tensor(run.g, "inp"), in.data(), 0, in.size() * sizeof(float));
        EXPECT_EQ(tevo_backend_graph_compute(backend, run.g), TEVO_STATUS_SUCCESS);
        outs.push_back(run.read());
    };

    EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, a.g));
    compute(a);
    const size_t size = tevo_gallocr_get_buffer_size(galloc, 0);
    EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, b.g));
    // B fits where A was: A stays placed in the same buffer
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), size);
    for (graph_run * run : { &a, &b, &a, &b, &a }) {
        compute(*run);
    }
    tevo_gallocr_free(galloc);
    return outs;
}

// Placing and computing B recycles the sub-tensors A was given; A, still
// placed, computes as it does on one device.
TEST_P(MetaGraph, GraphsComputedInTurnsInOneBufferMatchOneDevice) {
    const graph_case & c = GetParam();
    set_states(c.n, false);

    std::vector<std::vector<float>> want;
    {
        tevo_backend_t cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 2);
        weights w(tevo_backend_cpu_buffer_type());
        want = computed_in_turns(cpu, w);
        tevo_backend_free(cpu);
    }

    meta_setup                            meta(c.p, c.n);
    const std::vector<std::vector<float>> got = computed_in_turns(meta.backend, meta.w);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++) {
        expect_close(got[i], want[i], "computation " + std::to_string(i));
    }
}

// One attention head over the devices: the device holding it computes the
// attention, the others hold empty slices and contribute zeros to the output
// projection.
struct single_head_case {
    int     n;
    int64_t head;  // head width
    int     owner; // the device holding the head
};

class MetaGraphSingleHead : public ::testing::TestWithParam<single_head_case> {};

// [4, 3] -> one head of the given width -> [4, 3]
std::vector<float> single_head_attention(tevo_backend_t backend, int64_t head) {
    constexpr int64_t d = 4, n_tok = 3;
    tevo_context *    wctx = no_alloc_ctx();
    tevo_tensor *     x    = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, d, n_tok);
    tevo_tensor *     wq   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, d, head);
    tevo_tensor *     wk   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, d, head);
    tevo_tensor *     wv   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, d, head);
    tevo_tensor *     wo   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, head, d);
    const char *      names[] = { "sh_x", "sh_q", "sh_k", "sh_v", "sh_o" };
    tevo_tensor *     all[]   = { x, wq, wk, wv, wo };
    for (int i = 0; i < 5; i++) {
        tevo_set_name(all[i], names[i]);
    }
    tevo_backend_buffer_t wbuf =
        tevo_backend_alloc_ctx_tensors_from_buft(wctx, tevo_backend_get_default_buffer_type(backend));
    tevo_backend_buffer_set_usage(wbuf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    for (int i = 0; i < 5; i++) {
        std::mt19937                          rng(60 + i);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float>                    v((size_t) tevo_nelements(all[i]));
        for (float & e : v) {
            e = dist(rng);
        }
        tevo_backend_tensor_set(all[i], v.data(), 0, tevo_nbytes(all[i]));
    }

    std::vector<float> out;
    {
        graph_run run([&](tevo_context * ctx) { return attention(ctx, x, wq, wk, wv, wo, 1, head, n_tok); });
        tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_get_default_buffer_type(backend));
        EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, run.g));
        EXPECT_EQ(tevo_backend_graph_compute(backend, run.g), TEVO_STATUS_SUCCESS);
        out = run.read();
        tevo_gallocr_free(galloc);
    }
    tevo_backend_buffer_free(wbuf);
    tevo_free(wctx);
    return out;
}

TEST_P(MetaGraphSingleHead, AttentionMatchesOneDevice) {
    const single_head_case & c = GetParam();
    std::vector<int64_t>     cols((size_t) c.n, 0);
    cols[(size_t) c.owner] = c.head;
    for (const char * name : { "sh_q", "sh_k", "sh_v" }) {
        states()[name] = split(TEVO_BACKEND_SPLIT_AXIS_1, cols);
    }
    states()["sh_o"] = split(TEVO_BACKEND_SPLIT_AXIS_0, cols);

    tevo_backend_t cpu = tevo_backend_cpu_init();
    const std::vector<float> want = single_head_attention(cpu, c.head);
    tevo_backend_free(cpu);

    tevo_backend_t meta = tevo_backend_dev_init(meta_device(devices_for(path::fallback), c.n), nullptr);
    expect_close(single_head_attention(meta, c.head), want, "single head");
    tevo_backend_free(meta);
}

INSTANTIATE_TEST_SUITE_P(Heads, MetaGraphSingleHead,
                         ::testing::Values(single_head_case{ 2, 4, 0 }, single_head_case{ 2, 1, 0 },
                                           single_head_case{ 2, 4, 1 }, single_head_case{ 2, 1, 1 },
                                           single_head_case{ 3, 4, 2 }, single_head_case{ 3, 1, 1 }),
                         [](const ::testing::TestParamInfo<single_head_case> & info) {
                             return std::to_string(info.param.n) + "DevicesHeadWidth" +
                                    std::to_string(info.param.head) + "OnDevice" + std::to_string(info.param.owner);
                         });

// Reads of nodes that the exchange waits for see the sums the devices hold.
TEST(MetaGraphSets, NodesBeforeTheExchangeReadAsTheirSums) {
    set_states(3, true);
    meta_setup meta(path::fallback, 3);
    graph_run  run(build_transformer, meta.w);

    // mlp_out = (w2 u) * gate, reduced; its product is read as the sum of the devices' shares
    tevo_tensor * y    = tevo_graph_get_tensor(run.g, "mlp_out");
    tevo_tensor * prod = y->src[0];
    tevo_tensor * gate = y->src[1];
    tevo_set_output(y);
    tevo_set_output(prod);
    meta.compute(run);

    std::vector<float> vy((size_t) tevo_nelements(y));
    std::vector<float> vp((size_t) tevo_nelements(prod));
    std::vector<float> vg((size_t) tevo_nelements(gate));
    tevo_backend_tensor_get(y, vy.data(), 0, tevo_nbytes(y));
    tevo_backend_tensor_get(prod, vp.data(), 0, tevo_nbytes(prod));
    tevo_backend_tensor_get(gate, vg.data(), 0, tevo_nbytes(gate));
    for (size_t i = 0; i < vy.size(); i++) {
        ASSERT_NEAR(vy[i], vp[i] * vg[i], 1e-5 * (1.0 + std::fabs(vy[i]))) << i;
    }
}


// ---------------------------------------------------------------------------
// A scheduler over a meta device and the CPU: views of results the CPU
// computes fall among the nodes of a meta split, where the meta nodes read
// copies of them.

// meta over n test devices, then the CPU, under one scheduler
struct meta_cpu_sched {
    tevo_backend_t       meta;
    tevo_backend_t       cpu;
    tevo_backend_sched_t sched;

    explicit meta_cpu_sched(int n) {
        meta                        = tevo_backend_dev_init(meta_device(devices_for(path::fallback), n), nullptr);
        cpu                         = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 2);
        tevo_backend_t backends[2] = { meta, cpu };
        sched                       = tevo_backend_sched_new(backends, nullptr, 2, 256, false, false);
    }
    ~meta_cpu_sched() {
        tevo_backend_sched_free(sched);
        tevo_backend_free(cpu);
        tevo_backend_free(meta);
    }
};

// n floats from a seed, in [-1, 1)
std::vector<float> seeded_values(size_t n, unsigned seed) {
    std::mt19937       rng(seed);
    std::vector<float> v(n);
    for (float & e : v) {
        e = (float) ((double) rng() / 4294967296.0 * 2.0 - 1.0);
    }
    return v;
}

// Weights placed by side: the meta side in one buffer of its own type, the
// CPU side in the CPU's memory; a reference places both in the CPU's memory.
struct sided_weights {
    tevo_context *        ctx[2] = { nullptr, nullptr }; // meta side, CPU side
    tevo_backend_buffer_t buf[2] = { nullptr, nullptr };

    sided_weights() {
        ctx[0] = no_alloc_ctx();
        ctx[1] = no_alloc_ctx();
    }
    ~sided_weights() {
        for (int k = 0; k < 2; k++) {
            tevo_backend_buffer_free(buf[k]);
            tevo_free(ctx[k]);
        }
    }
    tevo_tensor * add(bool meta_side, const char * name, std::vector<int64_t> ne) {
        tevo_tensor * t = tevo_new_tensor(ctx[meta_side ? 0 : 1], TEVO_TYPE_F32, (int) ne.size(), ne.data());
        tevo_set_name(t, name);
        return t;
    }
    // allocates both sides and fills every weight with values seeded by its name
    void place(tevo_backend_buffer_type_t meta_buft) {
        tevo_backend_buffer_type_t bufts[2] = { meta_buft, tevo_backend_cpu_buffer_type() };
        for (int k = 0; k < 2; k++) {
            if (tevo_get_first_tensor(ctx[k]) == nullptr) {
                continue;
            }
            buf[k] = tevo_backend_alloc_ctx_tensors_from_buft(ctx[k], bufts[k]);
            ASSERT_NE(buf[k], nullptr);
            tevo_backend_buffer_set_usage(buf[k], TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
            for (tevo_tensor * t = tevo_get_first_tensor(ctx[k]); t != nullptr; t = tevo_get_next_tensor(ctx[k], t)) {
                const std::vector<float> v =
                    seeded_values((size_t) tevo_nelements(t), (unsigned) std::hash<std::string>()(t->name));
                tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
            }
        }
    }
};

// every input of a graph filled with values seeded by its name; I32 inputs
// hold row numbers below rows
void fill_inputs(tevo_cgraph * g, int64_t rows) {
    for (int i = 0; i < g->n_leafs; i++) {
        tevo_tensor * t = g->leafs[i];
        if (!(t->flags & TEVO_TENSOR_FLAG_INPUT)) {
            continue;
        }
        if (t->type == TEVO_TYPE_I32) {
            std::vector<int32_t> v((size_t) tevo_nelements(t));
            for (size_t k = 0; k < v.size(); k++) {
                v[k] = (int32_t) ((k * 7 + 3) % (size_t) rows);
            }
            tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
        } else {
            const std::vector<float> v =
                seeded_values((size_t) tevo_nelements(t), (unsigned) std::hash<std::string>()(t->name));
            tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
        }
    }
}

std::vector<float> read_f32(const tevo_tensor * t) {
    std::vector<float> v((size_t) tevo_nelements(t));
    tevo_backend_tensor_get(t, v.data(), 0, tevo_nbytes(t));
    return v;
}

// the outputs computed by the scheduler, or, without one, on a CPU backend
// of its own
std::vector<std::vector<float>> compute_outputs(tevo_cgraph * g, const std::vector<tevo_tensor *> & outs,
                                                int64_t rows, tevo_backend_sched_t sched) {
    tevo_backend_t cpu    = nullptr;
    tevo_gallocr_t galloc = nullptr;
    if (sched != nullptr) {
        EXPECT_TRUE(tevo_backend_sched_alloc_graph(sched, g));
    } else {
        cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 2);
        galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    }
    fill_inputs(g, rows);
    EXPECT_EQ(sched != nullptr ? tevo_backend_sched_graph_compute(sched, g) : tevo_backend_graph_compute(cpu, g),
              TEVO_STATUS_SUCCESS);
    std::vector<std::vector<float>> v;
    for (tevo_tensor * t : outs) {
        v.push_back(read_f32(t));
    }
    tevo_gallocr_free(galloc);
    tevo_backend_free(cpu);
    return v;
}

// e = get_rows(emb, ids) with emb in the CPU's memory, h = W·x on the meta
// device, out = h + (a view of e, read as it is or through cont): the view
// follows e to the CPU and lies among the nodes of the meta split.
constexpr int64_t VK = 8;  // inner width of the product
constexpr int64_t VM = 6;  // rows of the sum
constexpr int64_t VN = 4;  // columns of the sum
constexpr int64_t VR = 10; // rows of the table

struct view_kind {
    const char * name;
    int64_t      e0, e1; // shape of the looked-up rows
    tevo_tensor * (*view)(tevo_context *, tevo_tensor * e);   // on the CPU's side
    tevo_tensor * (*read)(tevo_context *, tevo_tensor * view); // what the sum reads: [VM, VN]
};

const view_kind view_kinds[] = {
    { "Transpose", VN, VM, [](tevo_context * c, tevo_tensor * e) { return tevo_transpose(c, e); },
      [](tevo_context * c, tevo_tensor * v) { return tevo_cont(c, v); } },
    // a permute of a reshape, made contiguous and reshaped on the meta device
    { "PermuteOfReshape", VN, VM,
      [](tevo_context * c, tevo_tensor * e) { return tevo_permute(c, tevo_reshape_3d(c, e, 2, 2, VM), 2, 0, 1, 3); },
      [](tevo_context * c, tevo_tensor * v) { return tevo_reshape_2d(c, tevo_cont(c, v), VM, VN); } },
    { "Reshape", VN, VM, [](tevo_context * c, tevo_tensor * e) { return tevo_reshape_2d(c, e, VM, VN); },
      [](tevo_context *, tevo_tensor * v) { return v; } },
    // a window of a larger result, from element 2 of row 1, read with its strides
    { "View", VM + 2, VN + 1,
      [](tevo_context * c, tevo_tensor * e) {
          return tevo_view_2d(c, e, VM, VN, e->nb[1], e->nb[1] + 2 * sizeof(float));
      },
      [](tevo_context *, tevo_tensor * v) { return v; } },
};

// the product's split: W and x mirrored, or both split along the inner
// dimension, leaving partial sums that are all-reduced before the sum
enum class product_split { mirrored, inner };

struct view_case {
    int           kind;
    product_split split;
    int           n;
};

struct view_graph {
    tevo_context *             ctx;
    tevo_cgraph *              g;
    tevo_tensor *              e;
    tevo_tensor *              view;
    tevo_tensor *              read;
    tevo_tensor *              out;
    std::vector<tevo_tensor *> outs;

    view_graph(const view_case & c, tevo_tensor * W, tevo_tensor * x_weight, tevo_tensor * emb) {
        const view_kind & k = view_kinds[c.kind];
        ctx                 = no_alloc_ctx();
        tevo_tensor * ids   = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, k.e1);
        tevo_set_name(ids, "mv_ids");
        tevo_set_input(ids);
        tevo_tensor * x = x_weight;
        if (x == nullptr) {
            x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, VK, VN);
            tevo_set_name(x, "mv_x_in");
            tevo_set_input(x);
        }
        e    = tevo_get_rows(ctx, emb, ids);
        view = k.view(ctx, e);
        read = k.read(ctx, view);
        out  = tevo_add(ctx, tevo_mul_mat(ctx, W, x), read);
        tevo_set_output(e);
        tevo_set_output(out);
        g = tevo_new_graph(ctx);
        tevo_build_forward_expand(g, e);
        tevo_build_forward_expand(g, out);
        outs = { e, out };
    }
    ~view_graph() { tevo_free(ctx); }
};

// the outputs of the case's graph: over the meta device and the CPU, or on
// one CPU backend
std::vector<std::vector<float>> view_case_outputs(const view_case & c, bool on_meta) {
    const view_kind & k = view_kinds[c.kind];
    if (c.split == product_split::inner) {
        states()["mv_W"] = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(VK, c.n));
        states()["mv_x"] = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(VK, c.n));
    } else {
        states().erase("mv_W");
        states().erase("mv_x");
    }
    std::unique_ptr<meta_cpu_sched> ms(on_meta ? new meta_cpu_sched(c.n) : nullptr);

    sided_weights w;
    tevo_tensor * W   = w.add(true, "mv_W", { VK, VM });
    tevo_tensor * x   = c.split == product_split::inner ? w.add(true, "mv_x", { VK, VN }) : nullptr;
    tevo_tensor * emb = w.add(false, "mv_emb", { k.e0, VR });
    w.place(on_meta ? tevo_backend_get_default_buffer_type(ms->meta) : tevo_backend_cpu_buffer_type());

    view_graph vg(c, W, x, emb);
    std::vector<std::vector<float>> got = compute_outputs(vg.g, vg.outs, VR, on_meta ? ms->sched : nullptr);
    if (on_meta) {
        EXPECT_EQ(tevo_backend_sched_get_tensor_backend(ms->sched, vg.e), ms->cpu);
        EXPECT_EQ(tevo_backend_sched_get_tensor_backend(ms->sched, vg.view), ms->cpu);
        EXPECT_EQ(tevo_backend_sched_get_tensor_backend(ms->sched, vg.out), ms->meta);
    }
    return got;
}

class MetaSchedView : public ::testing::TestWithParam<view_case> {};

// The meta split leaves the CPU's view alone and its nodes read a copy: the
// results are those of one CPU backend.
TEST_P(MetaSchedView, ViewOfACpuResultReadOnTheMetaDeviceMatchesOneCpu) {
    const view_case &                     c    = GetParam();
    const std::vector<std::vector<float>> want = view_case_outputs(c, false);
    const std::vector<std::vector<float>> got  = view_case_outputs(c, true);
    ASSERT_EQ(got.size(), want.size());
    expect_close(got[0], want[0], "looked-up rows");
    expect_close(got[1], want[1], "sum");
}

std::vector<view_case> view_cases() {
    std::vector<view_case> cases;
    for (int k = 0; k < (int) (sizeof(view_kinds) / sizeof(view_kinds[0])); k++) {
        for (product_split s : { product_split::mirrored, product_split::inner }) {
            for (int n : { 2, 3 }) {
                cases.push_back({ k, s, n });
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, MetaSchedView, ::testing::ValuesIn(view_cases()),
                         [](const ::testing::TestParamInfo<view_case> & info) {
                             return std::string(view_kinds[info.param.kind].name) +
                                    (info.param.split == product_split::inner ? "InnerSplit" : "Mirrored") +
                                    std::to_string(info.param.n) + "Devices";
                         });

// Random graphs over the meta device and the CPU: weights on either side,
// products over split hidden features on the meta side, views and views of
// views of any result, and nodes pinned to either backend. Every output
// matches one CPU backend.
constexpr int64_t RD = 8;  // rows of every value
constexpr int64_t RT = 4;  // columns of every value
constexpr int64_t RF = 12; // hidden width of the products over split features
constexpr int64_t RR = 10; // rows of the tables
constexpr int     R_MATS   = 3;
constexpr int     R_TABLES = 2;
constexpr int     R_MLPS   = 2;

// a small generator of its own, so the graphs are the same everywhere
struct draw {
    uint64_t state;
    explicit draw(uint64_t seed) : state(seed * 0x9e3779b97f4a7c15ull + 1) {}
    int operator()(int n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (int) ((state >> 33) % (uint64_t) n);
    }
};

struct random_graph {
    tevo_context *             ctx;
    tevo_cgraph *              g;
    std::vector<tevo_tensor *> outs;
    std::vector<tevo_tensor *> pins[2]; // to the meta device, to the CPU

    // mats: [RD, RD]; tables: [RD, RR]; mlps: pairs of [RD, RF] and [RF, RD];
    // x0: an [RD, RT] value stored beside the weights
    random_graph(uint64_t seed, const std::vector<tevo_tensor *> & mats, const std::vector<tevo_tensor *> & tables,
                 const std::vector<tevo_tensor *> & mlps, tevo_tensor * x0) {
        draw d(seed);
        ctx = no_alloc_ctx();
        g   = tevo_new_graph(ctx);

        tevo_tensor * x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, RD, RT);
        tevo_set_name(x, "rg_x");
        tevo_set_input(x);
        tevo_tensor * ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, RT);
        tevo_set_name(ids, "rg_ids");
        tevo_set_input(ids);

        std::vector<tevo_tensor *> pool = { x, x0 }; // contiguous [RD, RT] values
        // nodes inside a product over split features: pinned to the CPU they
        // would hand the meta side a whole copy where it needs a split one
        std::set<tevo_tensor *>    inner;
        auto pick = [&]() { return pool[(size_t) d((int) pool.size())]; };

        const int n_steps = 6 + d(8);
        for (int step = 0; step < n_steps; step++) {
            tevo_tensor * a = pick();
            tevo_tensor * r = nullptr;
            switch (d(11)) {
                case 0: r = tevo_mul_mat(ctx, mats[(size_t) d(R_MATS)], a); break;
                case 1: r = tevo_get_rows(ctx, tables[(size_t) d(R_TABLES)], ids); break;
                case 2: r = tevo_add(ctx, a, pick()); break;
                case 3: r = tevo_mul(ctx, a, pick()); break;
                case 4: r = d(2) ? tevo_silu(ctx, a) : tevo_scale(ctx, a, 0.5f); break;
                case 5: r = tevo_rms_norm(ctx, a, 1e-5f); break;
                case 6: {
                    const int     m  = d(R_MLPS);
                    tevo_tensor * h  = tevo_mul_mat(ctx, mlps[(size_t) (2 * m)], a);
                    tevo_tensor * hs = tevo_silu(ctx, h);
                    inner.insert(h);
                    inner.insert(hs);
                    r = tevo_mul_mat(ctx, mlps[(size_t) (2 * m + 1)], hs);
                    break;
                }
                default:
                    // views, some of views, read as they are or made contiguous
                    switch (d(5)) {
                        case 0: r = tevo_cont(ctx, tevo_transpose(ctx, tevo_reshape_2d(ctx, a, RT, RD))); break;
                        case 1: {
                            tevo_tensor * p = tevo_permute(ctx, tevo_reshape_3d(ctx, a, RD / 2, 2, RT), 0, 2, 1, 3);
                            r               = tevo_reshape_2d(ctx, tevo_cont(ctx, p), RD, RT);
                            break;
                        }
                        case 2: r = tevo_reshape_2d(ctx, tevo_reshape_1d(ctx, a, RD * RT), RD, RT); break;
                        case 3: r = tevo_view_2d(ctx, a, RD, RT, a->nb[1], 0); break;
                        default: r = tevo_transpose(ctx, tevo_transpose(ctx, a)); break;
                    }
                    break;
            }
            pool.push_back(r);
            if (r->view_src == nullptr && d(2) == 0) {
                tevo_set_output(r);
                tevo_build_forward_expand(g, r);
                outs.push_back(r);
            }
        }
        tevo_tensor * last = tevo_cont(ctx, pool.back());
        tevo_set_output(last);
        tevo_build_forward_expand(g, last);
        outs.push_back(last);

        for (int i = 0; i < g->n_nodes; i++) {
            tevo_tensor * node = g->nodes[i];
            if (node->view_src == nullptr && inner.count(node) == 0 && d(3) == 0) {
                pins[d(2)].push_back(node);
            }
        }
    }
    ~random_graph() { tevo_free(ctx); }
};

// the outputs of the seed's graph over n devices and the CPU, or on one CPU
std::vector<std::vector<float>> random_graph_outputs(uint64_t seed, int n, bool on_meta) {
    draw place(seed + 1000);
    for (int m = 0; m < R_MLPS; m++) {
        states()["rg_up" + std::to_string(m)]   = split(TEVO_BACKEND_SPLIT_AXIS_1, even_shares(RF, n));
        states()["rg_down" + std::to_string(m)] = split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(RF, n));
    }
    std::unique_ptr<meta_cpu_sched> ms(on_meta ? new meta_cpu_sched(n) : nullptr);

    sided_weights              w;
    std::vector<tevo_tensor *> mats, tables, mlps;
    for (int i = 0; i < R_MATS; i++) {
        mats.push_back(w.add(place(2) == 0, ("rg_mat" + std::to_string(i)).c_str(), { RD, RD }));
    }
    for (int i = 0; i < R_TABLES; i++) {
        tables.push_back(w.add(place(2) == 0, ("rg_table" + std::to_string(i)).c_str(), { RD, RR }));
    }
    for (int m = 0; m < R_MLPS; m++) {
        const bool meta_side = place(2) == 0;
        mlps.push_back(w.add(meta_side, ("rg_up" + std::to_string(m)).c_str(), { RD, RF }));
        mlps.push_back(w.add(meta_side, ("rg_down" + std::to_string(m)).c_str(), { RF, RD }));
    }
    tevo_tensor * x0 = w.add(place(2) == 0, "rg_x0", { RD, RT });
    w.place(on_meta ? tevo_backend_get_default_buffer_type(ms->meta) : tevo_backend_cpu_buffer_type());

    random_graph rg(seed, mats, tables, mlps, x0);
    if (on_meta) {
        for (int k = 0; k < 2; k++) {
            for (tevo_tensor * t : rg.pins[k]) {
                tevo_backend_sched_set_tensor_backend(ms->sched, t, k == 0 ? ms->meta : ms->cpu);
            }
        }
    }
    return compute_outputs(rg.g, rg.outs, RR, on_meta ? ms->sched : nullptr);
}

TEST(MetaSchedRandom, GraphsWithWeightsOnBothSidesAndPinnedNodesMatchOneCpu) {
    for (uint64_t seed = 0; seed < 24; seed++) {
        const int                             n    = 2 + (int) (seed % 2);
        const std::vector<std::vector<float>> want = random_graph_outputs(seed, n, false);
        const std::vector<std::vector<float>> got  = random_graph_outputs(seed, n, true);
        ASSERT_EQ(got.size(), want.size()) << "seed " << seed;
        for (size_t i = 0; i < got.size(); i++) {
            expect_close(got[i], want[i], "seed " + std::to_string(seed) + " output " + std::to_string(i));
        }
    }
}

}
