// The backend scheduler over small test backends: backend assignment, splits
// and input copies, the combined graph, pipeline copies, re-planning checks,
// execution with events and the evaluation callback, the used-expert copy,
// graphs allocated again, also over a meta device, sequences of graphs that
// share tensors, on one scheduler or on several, and the sources a node
// reads between calls (its own) and during an asynchronous compute.

#include "sched-test-backends.h"
#include "meta-test-devices.h"
#include "backend/sched-impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using schedtest::config;
using schedtest::device;

// a fatal message as a regular expression matching it literally
std::string lit(const std::string & text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::string assert_text(const std::string & cond) {
    return lit("TEVO_ASSERT(" + cond + ") failed");
}

// a no-allocation context holding one graph
struct graph_ctx {
    struct tevo_context * ctx;
    struct tevo_cgraph *  gf;

    explicit graph_ctx(int n_graphs = 1) {
        struct tevo_init_params params = { 256 * tevo_tensor_overhead() + n_graphs * tevo_graph_overhead(), NULL,
                                           true };
        ctx = tevo_init(params);
        gf  = tevo_new_graph(ctx);
    }
    ~graph_ctx() { tevo_free(ctx); }

    struct tevo_tensor * input(const char * name, int64_t n, enum tevo_type type = TEVO_TYPE_F32) {
        struct tevo_tensor * t = tevo_new_tensor_1d(ctx, type, n);
        tevo_set_name(t, name);
        tevo_set_input(t);
        return t;
    }
    struct tevo_tensor * named(struct tevo_tensor * t, const char * name) {
        tevo_set_name(t, name);
        return t;
    }
    void expand(struct tevo_tensor * t) { tevo_build_forward_expand(gf, t); }
};

// source j of a node as the scheduler computes it: the copy the last split
// made for it, else the caller's own (which the node reads between calls)
const struct tevo_tensor * reads(tevo_backend_sched_t sched, struct tevo_tensor * node, int j) {
    auto it = sched->redirects.find(node);
    return it != sched->redirects.end() && it->second.copy[j] != nullptr ? it->second.copy[j] : node->src[j];
}

// weights in one buffer of a backend's buffer type, marked as weights
struct weights {
    struct tevo_context * ctx;
    tevo_backend_buffer_t buf = nullptr;

    weights() {
        struct tevo_init_params params = { 64 * tevo_tensor_overhead(), NULL, true };
        ctx = tevo_init(params);
    }
    ~weights() {
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
    }
    struct tevo_tensor * add(const char * name, int64_t n) {
        struct tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n);
        tevo_set_name(t, name);
        return t;
    }
    void alloc(tevo_backend_buffer_type_t buft) {
        buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, buft);
        ASSERT_NE(buf, nullptr);
        tevo_backend_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    }
};

void set_f32(struct tevo_tensor * t, const std::vector<float> & v) {
    ASSERT_EQ(v.size() * sizeof(float), tevo_nbytes(t));
    tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
}

std::vector<float> get_f32(const struct tevo_tensor * t) {
    std::vector<float> v(tevo_nelements(t));
    tevo_backend_tensor_get(t, v.data(), 0, tevo_nbytes(t));
    return v;
}

std::vector<float> ramp(int64_t n, float start, float step) {
    std::vector<float> v(n);
    for (int64_t i = 0; i < n; i++) {
        v[i] = start + step * (float) i;
    }
    return v;
}

int backend_id(tevo_backend_sched_t sched, struct tevo_tensor * t) {
    tevo_backend_t b = tevo_backend_sched_get_tensor_backend(sched, t);
    for (int i = 0; i < tevo_backend_sched_get_n_backends(sched); i++) {
        if (tevo_backend_sched_get_backend(sched, i) == b) {
            return i;
        }
    }
    return -1;
}

std::vector<std::string> input_names(tevo_backend_sched_t sched, int split) {
    std::vector<std::string> names;
    for (int j = 0; j < sched->splits[split].n_inputs; j++) {
        names.push_back(sched->splits[split].inputs[j]->name);
    }
    return names;
}

const int64_t N = 8;

// A device backend that refuses MUL in front of the host backend.
class Sched : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        unsetenv("TEVO_SCHED_DEBUG");
        unsetenv("TEVO_SCHED_DEBUG_REALLOC");
        config dc;
        dc.refused = { TEVO_OP_MUL };
        dev        = schedtest::make(dc);
        host       = schedtest::make(schedtest::host_config());
        backends[0] = &dev->backend;
        backends[1] = &host->backend;
    }

    tevo_backend_sched_t make_sched(bool parallel = false, bool op_offload = false, size_t graph_size = 64) {
        return tevo_backend_sched_new(backends, NULL, 2, graph_size, parallel, op_offload);
    }

    std::unique_ptr<device> dev;
    std::unique_ptr<device> host;
    tevo_backend_t          backends[2];
};

// n1 = a + w1 on the device, n2 = n1 * n1 on the host (the device refuses
// MUL), n3 = n2 + w2 on the device again
struct three_splits {
    graph_ctx g;
    struct tevo_tensor * a;
    struct tevo_tensor * n1;
    struct tevo_tensor * n2;
    struct tevo_tensor * n3;

    three_splits(struct tevo_tensor * w1, struct tevo_tensor * w2, int64_t n = N) {
        a  = g.input("a", n);
        n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
        n2 = g.named(tevo_mul(g.ctx, n1, n1), "n2");
        n3 = g.named(tevo_add(g.ctx, n2, w2), "n3");
        g.expand(n3);
    }

    static std::vector<float> expected(const std::vector<float> & a, const std::vector<float> & w1,
                                       const std::vector<float> & w2) {
        std::vector<float> r(a.size());
        for (size_t i = 0; i < a.size(); i++) {
            const float x = a[i] + w1[i];
            r[i]          = x * x + w2[i];
        }
        return r;
    }
};

// ---------------------------------------------------------------------------
// creation

TEST_F(Sched, CreationChecksTheBackendList) {
    EXPECT_DEATH(tevo_backend_sched_new(backends, NULL, 0, 64, false, false), assert_text("n_backends > 0"));
    // the host (CPU) backend must come last
    tevo_backend_t reversed[2] = { backends[1], backends[0] };
    EXPECT_DEATH(tevo_backend_sched_new(reversed, NULL, 2, 64, false, false),
                 assert_text("tevo_backend_dev_type(tevo_backend_get_device(backends[n_backends - 1])) == "
                             "TEVO_BACKEND_DEVICE_TYPE_CPU"));

    std::vector<std::unique_ptr<device>> devs;
    std::vector<tevo_backend_t>          list;
    for (int i = 0; i < 16; i++) {
        config c;
        c.name = "D" + std::to_string(i);
        devs.push_back(schedtest::make(c));
        list.push_back(&devs.back()->backend);
    }
    list[15] = backends[1];
    list.push_back(backends[1]);
    EXPECT_DEATH(tevo_backend_sched_new(list.data(), NULL, 17, 64, false, false),
                 assert_text("n_backends <= TEVO_SCHED_MAX_BACKENDS"));

    // a buffer type the backend cannot use
    tevo_backend_buffer_type_t bufts[2] = { &host->buft, &host->buft };
    EXPECT_DEATH(tevo_backend_sched_new(backends, bufts, 2, 64, false, false),
                 assert_text("tevo_backend_supports_buft(backends[b], sched->bufts[b])"));

    // sixteen backends: weights on the eighth pull their node there
    tevo_backend_sched_t sched = tevo_backend_sched_new(list.data(), NULL, 16, 64, false, false);
    EXPECT_EQ(tevo_backend_sched_get_n_backends(sched), 16);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(tevo_backend_sched_get_buffer_type(sched, list[i]), tevo_backend_get_default_buffer_type(list[i]));
    }
    weights w;
    struct tevo_tensor * w7 = w.add("w7", N);
    w.alloc(&devs[7]->buft);
    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w7), "n1");
    g.expand(n1);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, n1), list[7]);
    EXPECT_STREQ(reads(sched, n1, 0)->name, "D7#a#0");
    tevo_backend_sched_free(sched);
    tevo_backend_sched_free(NULL);
}

TEST_F(Sched, WithoutParallelThereIsOneCopyAndNoEvents) {
    tevo_backend_sched_t sched = make_sched();
    EXPECT_EQ(tevo_backend_sched_get_n_copies(sched), 1);
    for (int b = 0; b < TEVO_SCHED_MAX_BACKENDS; b++) {
        for (int c = 0; c < TEVO_SCHED_MAX_COPIES; c++) {
            EXPECT_EQ(sched->events[b][c], nullptr);
        }
    }
    EXPECT_EQ(tevo_backend_sched_get_backend(sched, 1), backends[1]);
    EXPECT_DEATH(tevo_backend_sched_get_backend(sched, 2), assert_text("i >= 0 && i < sched->n_backends"));
    auto other = schedtest::make(config());
    EXPECT_DEATH(tevo_backend_sched_get_buffer_size(sched, &other->backend),
                 assert_text("backend_index >= 0 && backend_index < sched->n_backends"));
    tevo_backend_sched_free(sched);
}

// The scheduler's own context is sized in whole records as a no-allocation
// context stores them (tevo_tensor_overhead() bytes each), so 60 records per
// unit of graph size really fit.
TEST_F(Sched, OwnContextHoldsSixtyRecordsPerGraphNode) {
    const size_t         graph_size = 8;
    tevo_backend_sched_t sched      = make_sched(false, false, graph_size);
    EXPECT_EQ(sched->context_buffer_size,
              60 * graph_size * tevo_tensor_overhead() + tevo_graph_overhead_custom(graph_size, false));

    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&dev->buft);
    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
    g.expand(n1);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));

    int n_records = 0;
    for (struct tevo_tensor * t = tevo_get_first_tensor(sched->ctx); t; t = tevo_get_next_tensor(sched->ctx, t)) {
        n_records++;
    }
    EXPECT_EQ(n_records, 2); // the copy of a and the view that keeps a alive
    // running out of room would be fatal, so fill it in a child process
    EXPECT_EXIT(
        {
            for (; n_records < (int) (60 * graph_size); n_records++) {
                tevo_new_tensor_4d(sched->ctx, TEVO_TYPE_F32, 1, 1, 1, 1);
            }
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    tevo_backend_sched_free(sched);
}

// ---------------------------------------------------------------------------
// splitting

TEST_F(Sched, OneBackendGivesOneSplitAndNoCopies) {
    tevo_backend_sched_t sched = tevo_backend_sched_new(&backends[1], NULL, 1, 64, false, false);

    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * b  = g.input("b", N);
    struct tevo_tensor * c  = g.named(tevo_add(g.ctx, a, b), "c");
    struct tevo_tensor * d  = g.named(tevo_mul(g.ctx, c, a), "d");
    struct tevo_tensor * e  = g.named(tevo_scale(g.ctx, d, 0.5f), "e");
    g.expand(e);

    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    EXPECT_EQ(tevo_backend_sched_get_n_splits(sched), 1);
    EXPECT_EQ(sched->splits[0].backend_id, 0);
    EXPECT_EQ(sched->splits[0].i_start, 0);
    EXPECT_EQ(sched->splits[0].i_end, g.gf->n_nodes);
    EXPECT_EQ(sched->splits[0].n_inputs, 0);
    // the combined graph is the caller's graph
    ASSERT_EQ(sched->graph.n_nodes, g.gf->n_nodes);
    ASSERT_EQ(sched->graph.n_leafs, g.gf->n_leafs);
    for (int i = 0; i < g.gf->n_nodes; i++) {
        EXPECT_EQ(sched->graph.nodes[i], g.gf->nodes[i]);
        EXPECT_EQ(sched->node_backend_ids[i], 0);
    }
    for (int i = 0; i < g.gf->n_leafs; i++) {
        EXPECT_EQ(sched->graph.leafs[i], g.gf->leafs[i]);
    }
    EXPECT_EQ(c->src[0], a);
    EXPECT_EQ(d->src[1], a);

    const std::vector<float> va = ramp(N, 1.0f, 1.0f), vb = ramp(N, -2.0f, 0.5f);
    set_f32(a, va);
    set_f32(b, vb);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    const std::vector<float> ve = get_f32(e);
    for (int64_t i = 0; i < N; i++) {
        EXPECT_FLOAT_EQ(ve[i], 0.5f * (va[i] + vb[i]) * va[i]);
    }
    EXPECT_EQ(host->n_bad_source, 0);
    EXPECT_EQ(host->compute_sizes, std::vector<int>({ 3 }));
    EXPECT_GT(tevo_backend_sched_get_buffer_size(sched, backends[1]), 0u);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, RefusedMiddleNodeGivesThreeSplitsWithCopies) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);

    three_splits t(w1, w2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));

    ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 3);
    EXPECT_EQ(sched->splits[0].backend_id, 0);
    EXPECT_EQ(sched->splits[1].backend_id, 1);
    EXPECT_EQ(sched->splits[2].backend_id, 0);
    EXPECT_EQ(input_names(sched, 0), std::vector<std::string>({ "a" }));
    EXPECT_EQ(input_names(sched, 1), std::vector<std::string>({ "n1" }));
    EXPECT_EQ(input_names(sched, 2), std::vector<std::string>({ "n2" }));

    // the nodes read the copies while computing, their own sources between
    // calls; weights stay where they are
    EXPECT_EQ(t.n1->src[0], t.a);
    EXPECT_EQ(t.n3->src[0], t.n2);
    EXPECT_STREQ(reads(sched, t.n1, 0)->name, "DEV#a#0");
    EXPECT_EQ(reads(sched, t.n1, 1), w1);
    EXPECT_STREQ(reads(sched, t.n2, 0)->name, "HOST#n1#0");
    EXPECT_EQ(reads(sched, t.n2, 1), reads(sched, t.n2, 0));
    EXPECT_STREQ(reads(sched, t.n3, 0)->name, "DEV#n2#0");
    EXPECT_EQ(reads(sched, t.n3, 1), w2);
    EXPECT_EQ(reads(sched, t.n1, 0)->flags & (TEVO_TENSOR_FLAG_INPUT | TEVO_TENSOR_FLAG_OUTPUT), 0);

    EXPECT_EQ(backend_id(sched, t.a), 1);
    EXPECT_EQ(backend_id(sched, w1), 0);
    EXPECT_EQ(backend_id(sched, t.n1), 0);
    EXPECT_EQ(backend_id(sched, t.n2), 1);
    EXPECT_EQ(backend_id(sched, t.n3), 0);

    // combined graph: per split a view keeping the input alive, the copy, then the nodes
    const std::vector<std::string> names = { "a (view)", "DEV#a#0", "n1", "n1 (view)", "HOST#n1#0",
                                             "n2", "n2 (view)", "DEV#n2#0", "n3" };
    const std::vector<int>         ids   = { 1, 0, 0, 0, 1, 1, 1, 0, 0 };
    ASSERT_EQ(sched->graph.n_nodes, (int) names.size());
    for (int i = 0; i < sched->graph.n_nodes; i++) {
        EXPECT_EQ(sched->graph.nodes[i]->name, names[i]) << i;
        EXPECT_EQ(sched->node_backend_ids[i], ids[i]) << i;
    }
    EXPECT_EQ(sched->graph.nodes[0]->src[0], t.a);
    EXPECT_EQ(sched->graph.nodes[0]->view_src, t.a);
    ASSERT_EQ(sched->graph.n_leafs, t.g.gf->n_leafs);
    for (int i = 0; i < t.g.gf->n_leafs; i++) {
        EXPECT_EQ(sched->graph.leafs[i], t.g.gf->leafs[i]);
        EXPECT_EQ(sched->leaf_backend_ids[i], backend_id(sched, t.g.gf->leafs[i]));
    }
    // graph size: 3 nodes plus two entries per input
    EXPECT_EQ(sched->graph_size, 3 + 2 * 3);

    const std::vector<float> va = ramp(N, -1.0f, 0.25f), v1 = ramp(N, 2.0f, -0.5f), v2 = ramp(N, 0.5f, 1.0f);
    set_f32(t.a, va);
    set_f32(w1, v1);
    set_f32(w2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(t.n3), three_splits::expected(va, v1, v2));
    EXPECT_EQ(dev->n_bad_source, 0);
    EXPECT_EQ(host->n_bad_source, 0);
    EXPECT_EQ(dev->computed, std::vector<std::string>({ "n1", "n3" }));
    EXPECT_EQ(host->computed, std::vector<std::string>({ "n2" }));

    // computing again does not split again
    set_f32(t.a, v1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(t.n3), three_splits::expected(v1, v1, v2));
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, CopiesAreReusedAcrossSplits) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);

    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");  // device, copies a
    struct tevo_tensor * n2 = g.named(tevo_mul(g.ctx, n1, n1), "n2"); // host, copies n1 once
    struct tevo_tensor * n3 = g.named(tevo_add(g.ctx, n2, w2), "n3"); // device, copies n2
    struct tevo_tensor * n4 = g.named(tevo_add(g.ctx, n3, a), "n4");  // device: a's copy exists
    struct tevo_tensor * n5 = g.named(tevo_mul(g.ctx, n4, n1), "n5"); // host: n1's copy exists
    g.expand(n5);

    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 4);
    EXPECT_EQ(input_names(sched, 0), std::vector<std::string>({ "a" }));
    EXPECT_EQ(input_names(sched, 1), std::vector<std::string>({ "n1" }));
    EXPECT_EQ(input_names(sched, 2), std::vector<std::string>({ "n2" }));
    EXPECT_EQ(input_names(sched, 3), std::vector<std::string>({ "n4" }));
    EXPECT_EQ(reads(sched, n4, 1), reads(sched, n1, 0));
    EXPECT_EQ(reads(sched, n5, 1), reads(sched, n2, 0));

    const std::vector<float> va = ramp(N, 1.0f, -0.5f), v1 = ramp(N, 0.25f, 0.25f), v2 = ramp(N, -3.0f, 1.0f);
    set_f32(a, va);
    set_f32(w1, v1);
    set_f32(w2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    const std::vector<float> r = get_f32(n5);
    for (int64_t i = 0; i < N; i++) {
        const float x1 = va[i] + v1[i];
        const float x4 = x1 * x1 + v2[i] + va[i];
        EXPECT_FLOAT_EQ(r[i], x4 * x1);
    }
    EXPECT_EQ(dev->n_bad_source + host->n_bad_source, 0);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, InputReadOnTwoOtherBackendsIsCopiedForEach) {
    config ca, cb;
    ca.name = "DEVA";
    cb.name = "DEVB";
    auto da = schedtest::make(ca);
    auto db = schedtest::make(cb);
    tevo_backend_t       list[3] = { &da->backend, &db->backend, backends[1] };
    tevo_backend_sched_t sched   = tevo_backend_sched_new(list, NULL, 3, 64, false, false);

    weights wa, wb;
    struct tevo_tensor * w1 = wa.add("w1", N);
    wa.alloc(&da->buft);
    struct tevo_tensor * w2 = wb.add("w2", N);
    wb.alloc(&db->buft);

    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
    struct tevo_tensor * n2 = g.named(tevo_add(g.ctx, a, w2), "n2");
    struct tevo_tensor * n3 = g.named(tevo_add(g.ctx, n1, n2), "n3");
    g.expand(n3);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));

    EXPECT_STREQ(reads(sched, n1, 0)->name, "DEVA#a#0");
    EXPECT_STREQ(reads(sched, n2, 0)->name, "DEVB#a#0");
    EXPECT_EQ(input_names(sched, 0), std::vector<std::string>({ "a" }));
    EXPECT_EQ(input_names(sched, 1), std::vector<std::string>({ "a", "n1" }));
    EXPECT_EQ(backend_id(sched, n3), 1); // carried on from n2 by the expansion
    EXPECT_STREQ(reads(sched, n3, 0)->name, "DEVB#n1#0");

    const std::vector<float> va = ramp(N, 1.0f, 1.0f), v1 = ramp(N, 0.0f, 2.0f), v2 = ramp(N, 5.0f, -1.0f);
    set_f32(a, va);
    set_f32(w1, v1);
    set_f32(w2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    const std::vector<float> r = get_f32(n3);
    for (int64_t i = 0; i < N; i++) {
        EXPECT_FLOAT_EQ(r[i], 2 * va[i] + v1[i] + v2[i]);
    }
    EXPECT_EQ(da->n_bad_source + db->n_bad_source, 0);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, ViewOnlyGraphIsOneSplitKeepingTheBackend) {
    tevo_backend_sched_t sched = make_sched();
    {
        // a first graph that leaves split 0 on the host
        graph_ctx g;
        struct tevo_tensor * a = g.input("a", N);
        g.expand(tevo_mul(g.ctx, a, a));
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
        ASSERT_EQ(sched->splits[0].backend_id, 1);
        tevo_backend_sched_reset(sched);
    }
    graph_ctx g;
    struct tevo_tensor * a = g.input("a", N);
    struct tevo_tensor * r = tevo_reshape_2d(g.ctx, a, 2, N / 2);
    g.expand(tevo_transpose(g.ctx, r));
    ASSERT_EQ(g.gf->n_nodes, 2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    EXPECT_EQ(tevo_backend_sched_get_n_splits(sched), 1);
    EXPECT_EQ(sched->splits[0].i_start, 0);
    EXPECT_EQ(sched->splits[0].i_end, 2);
    EXPECT_EQ(sched->splits[0].backend_id, 1);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, UserAssignmentSurvivesTheSplit) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&dev->buft);

    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
    struct tevo_tensor * n2 = g.named(tevo_scale(g.ctx, n1, 3.0f), "n2");
    g.expand(n2);

    // a tensor never seen has no backend
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, n2), nullptr);
    tevo_backend_sched_set_tensor_backend(sched, n2, backends[1]);
    EXPECT_FALSE(sched->is_reset);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, n1), backends[0]);
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, n2), backends[1]);
    EXPECT_EQ(tevo_backend_sched_get_n_splits(sched), 2);

    set_f32(a, ramp(N, 1.0f, 1.0f));
    set_f32(w1, ramp(N, 1.0f, 0.0f));
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(n2), ramp(N, 6.0f, 3.0f));

    // a reset drops the assignment
    tevo_backend_sched_reset(sched);
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, n2), nullptr);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, PreallocatedTensorOnUnusableBufferIsFatal) {
    config dc;
    dc.refused = { TEVO_OP_CPY };
    auto d = schedtest::make(dc);
    tevo_backend_t       list[2] = { &d->backend, backends[1] };
    tevo_backend_sched_t sched   = tevo_backend_sched_new(list, NULL, 2, 64, false, false);
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&d->buft);
    graph_ctx g;
    struct tevo_tensor * a = g.input("a", N);
    g.expand(tevo_cpy(g.ctx, a, w1));
    EXPECT_DEATH(tevo_backend_sched_alloc_graph(sched, g.gf),
                 lit("pre-allocated tensor (w1 (copy of a)) in a buffer (DEVBUF) that cannot run the operation (CPY)"));
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, NodeNoBackendSupportsIsFatal) {
    host->cfg.refused = { TEVO_OP_SCALE };
    dev->cfg.refused  = { TEVO_OP_SCALE };
    tevo_backend_sched_t sched = make_sched();
    graph_ctx g;
    struct tevo_tensor * a = g.input("a", N);
    g.expand(tevo_scale(g.ctx, a, 2.0f));
    EXPECT_DEATH(tevo_backend_sched_alloc_graph(sched, g.gf), assert_text("*cur_backend_id != -1"));
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, WeightOnHostIsOffloadedWhenAllowed) {
    dev->cfg.offload = true;
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&host->buft);
    for (bool op_offload : { false, true }) {
        tevo_backend_sched_t sched = make_sched(false, op_offload);
        graph_ctx g;
        struct tevo_tensor * a  = g.input("a", N);
        struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
        g.expand(n1);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
        EXPECT_EQ(backend_id(sched, n1), op_offload ? 0 : 1);
        EXPECT_EQ(sched->splits[0].n_inputs, op_offload ? 2 : 0);
        tevo_backend_sched_free(sched);
    }
}

// ---------------------------------------------------------------------------
// dependencies declared by a backend

struct dep_plan {
    std::vector<struct tevo_tensor *> tensors;
    struct tevo_tensor *              node = nullptr;
};

void declare_deps(device * d, struct tevo_cgraph *, struct tevo_backend_dep_callback * cb) {
    dep_plan * plan = (dep_plan *) d->user;
    for (struct tevo_tensor * t : plan->tensors) {
        cb->add_dep(cb->user_data, t, plan->node);
        cb->add_dep(cb->user_data, t, plan->node); // repeated pairs count once
    }
}

TEST_F(Sched, DependencyNodesFollowTheirNode) {
    dev->cfg.prepare = declare_deps;
    tevo_backend_sched_t sched = make_sched();
    weights w;
    std::vector<struct tevo_tensor *> ws;
    for (int i = 0; i < 12; i++) {
        ws.push_back(w.add(("w" + std::to_string(i)).c_str(), N));
    }
    w.alloc(&dev->buft);

    // a chain of additions over all the weights, on the device
    graph_ctx g;
    struct tevo_tensor * a = g.input("a", N);
    std::vector<struct tevo_tensor *> xs;
    for (int i = 0; i < 12; i++) {
        xs.push_back(tevo_add(g.ctx, i == 0 ? a : xs.back(), ws[i]));
    }
    g.expand(xs.back());

    // every weight must outlive the first addition
    dep_plan plan;
    plan.tensors = ws;
    plan.node    = xs[0];
    dev->user    = &plan;
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));

    // 12 dependencies: groups of 10 and 2, right after their node
    EXPECT_EQ(sched->graph_size, 13 + 2 + 2 * 1);
    ASSERT_EQ(sched->graph.n_nodes, 2 + 12 + 2);
    EXPECT_EQ(sched->graph.nodes[2], xs[0]);
    struct tevo_tensor * dep0 = sched->graph.nodes[3];
    struct tevo_tensor * dep1 = sched->graph.nodes[4];
    EXPECT_EQ(sched->graph.nodes[5], xs[1]);
    EXPECT_EQ(dep0->view_src, ws[0]);
    EXPECT_EQ(dep1->view_src, ws[10]);
    for (int k = 0; k < 10; k++) {
        EXPECT_EQ(dep0->src[k], ws[k]);
    }
    EXPECT_EQ(dep1->src[0], ws[10]);
    EXPECT_EQ(dep1->src[1], ws[11]);
    EXPECT_EQ(dep1->src[2], nullptr);
    EXPECT_EQ(sched->node_backend_ids[3], 0);
    EXPECT_EQ(sched->node_backend_ids[4], 0);
    EXPECT_TRUE(sched->deps.empty());

    // the graph still computes
    set_f32(a, ramp(N, 0.0f, 1.0f));
    for (struct tevo_tensor * t : ws) {
        set_f32(t, ramp(N, 1.0f, 0.0f));
    }
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(xs.back()), ramp(N, 12.0f, 1.0f));

    // a dependency on a node outside every split
    tevo_backend_sched_reset(sched);
    graph_ctx g2;
    struct tevo_tensor * b  = g2.input("b", N);
    struct tevo_tensor * m1 = g2.named(tevo_add(g2.ctx, b, ws[0]), "m1");
    g2.expand(m1);
    plan.node = xs[1];
    EXPECT_DEATH(tevo_backend_sched_alloc_graph(sched, g2.gf), assert_text("n_dep_nodes_added == n_dep_nodes"));
    tevo_backend_sched_free(sched);
}

// ---------------------------------------------------------------------------
// debug output

std::string g_log;

void capture_log(enum tevo_log_level level, const char * text, void *) {
    if (level == TEVO_LOG_LEVEL_DEBUG) {
        g_log += text;
    }
}

TEST_F(Sched, DebugOutputListsSplitsAndNodes) {
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);

    for (int level : { 1, 2 }) {
        setenv("TEVO_SCHED_DEBUG", std::to_string(level).c_str(), 1);
        tevo_backend_sched_t sched = make_sched();
        unsetenv("TEVO_SCHED_DEBUG");
        three_splits t(w1, w2);
        g_log.clear();
        tevo_log_set(capture_log, NULL);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
        tevo_log_set(NULL, NULL);

        std::string expected = "\n## SPLIT #0: DEV # 1 inputs: [a (   0K)] \n";
        if (level > 1) {
            expected += "node #  0 (       ADD):                   n1 (   0K) [  DEV         ] use=2,c=1:"
                        "              DEV#a#0 (   0K) [ NULL         ]                   w1 (   0K) [  DEV         ]\n";
        }
        expected += "\n## SPLIT #1: HOST # 1 inputs: [n1 (   0K)] \n";
        EXPECT_EQ(g_log.substr(0, expected.size()), expected) << g_log;
        EXPECT_NE(g_log.find("\n## SPLIT #2: DEV # 1 inputs: [n2 (   0K)] \n"), std::string::npos);
        size_t n_node_lines = 0;
        for (size_t pos = g_log.find("node #"); pos != std::string::npos; pos = g_log.find("node #", pos + 1)) {
            n_node_lines++;
        }
        EXPECT_EQ(n_node_lines, level > 1 ? 3u : 0u);
        tevo_backend_sched_free(sched);
    }
}

// ---------------------------------------------------------------------------
// pipeline copies

TEST_F(Sched, ParallelCopiesCycleThroughFourSlots) {
    dev->cfg.events = true;
    dev             = schedtest::make(dev->cfg);
    backends[0]     = &dev->backend;
    tevo_backend_sched_t sched = make_sched(true);
    EXPECT_EQ(tevo_backend_sched_get_n_copies(sched), 4);
    for (int c = 0; c < 4; c++) {
        EXPECT_NE(sched->events[0][c], nullptr);
        EXPECT_EQ(sched->events[1][c], nullptr); // the host device makes no events
    }

    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);
    const std::vector<float> v1 = ramp(N, 1.0f, 0.5f), v2 = ramp(N, -1.0f, 0.25f);
    set_f32(w1, v1);
    set_f32(w2, v2);

    // the slots take turns under one plan: a re-plan after the first round stops the test
    sched->debug_realloc = 1;
    for (int round = 0; round < 6; round++) {
        three_splits t(w1, w2);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
        const int cur = round % 4;
        EXPECT_EQ(sched->cur_copy, cur);
        EXPECT_EQ(reads(sched, t.n1, 0)->name, "DEV#a#" + std::to_string(cur));

        // every split input exists once per slot, flagged so that the
        // allocator keeps them apart
        for (int c = 0; c < 4; c++) {
            struct tevo_tensor * cpy = *tevo_sched_tensor_copy(sched, t.a, 0, c);
            ASSERT_NE(cpy, nullptr);
            EXPECT_EQ(cpy->name, "DEV#a#" + std::to_string(c));
            EXPECT_EQ(cpy->flags & 3, 3);
        }
        // the graph input: the input itself in the current slot
        ASSERT_EQ(sched->n_graph_inputs, 1);
        EXPECT_EQ(sched->graph_inputs[0], t.a);
        for (int c = 0; c < 4; c++) {
            struct tevo_tensor * cpy = *tevo_sched_tensor_copy(sched, t.a, 1, c);
            if (c == cur) {
                EXPECT_EQ(cpy, t.a);
            } else {
                EXPECT_EQ(cpy->name, "HOST#a#" + std::to_string(c));
            }
            EXPECT_EQ(cpy->flags & 3, 3);
        }
        // leaves: 4 graph-input slots, 4 slots per split input, then the caller's leaves
        EXPECT_EQ(sched->graph.n_leafs, 4 + 3 * 4 + t.g.gf->n_leafs);
        EXPECT_EQ(sched->graph_size, 3 + 2 * 4 * (1 + 3));

        const std::vector<float> va = ramp(N, (float) round, 1.0f);
        set_f32(t.a, va);
        const int records = dev->n_event_record;
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(dev->n_event_record - records, 2); // after each device split
        EXPECT_EQ(get_f32(t.n3), three_splits::expected(va, v1, v2));
        tevo_backend_sched_reset(sched);
    }
    EXPECT_GT(dev->n_event_wait, 0);  // before overwriting a computed input's copy
    EXPECT_GT(dev->n_event_sync, 0);  // before copying the caller's input
    EXPECT_EQ(dev->n_bad_source + host->n_bad_source, 0);

    // a synchronization without an allocated graph starts again at slot 0
    tevo_backend_sched_synchronize(sched);
    three_splits t(w1, w2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
    EXPECT_EQ(sched->cur_copy, 0);
    tevo_backend_sched_free(sched);
}

// ---------------------------------------------------------------------------
// reservation and re-planning

TEST_F(Sched, ReserveSizesBuffersAndResets) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", 4 * N);
    struct tevo_tensor * w2 = w.add("w2", 4 * N);
    w.alloc(&dev->buft);

    // sizes only: nothing is allocated and the scheduler stays as split;
    // reserving a graph of the same shape then gets exactly those sizes
    {
        three_splits t(w1, w2, 4 * N);
        size_t sizes[2] = { 0, 0 };
        const int allocs = dev->n_buffers_alloc + host->n_buffers_alloc;
        tevo_backend_sched_reserve_size(sched, t.g.gf, sizes);
        EXPECT_EQ(dev->n_buffers_alloc + host->n_buffers_alloc, allocs);
        EXPECT_GE(sizes[0], 4 * N * sizeof(float));
        EXPECT_GE(sizes[1], 4 * N * sizeof(float));
        EXPECT_FALSE(sched->is_reset);

        three_splits t2(w1, w2, 4 * N);
        ASSERT_TRUE(tevo_backend_sched_reserve(sched, t2.g.gf));
        EXPECT_TRUE(sched->is_reset);
        EXPECT_FALSE(sched->is_alloc);
        EXPECT_EQ(tevo_backend_sched_get_buffer_size(sched, backends[0]), sizes[0]);
        EXPECT_EQ(tevo_backend_sched_get_buffer_size(sched, backends[1]), sizes[1]);
    }

    // a smaller graph of the same kind fits without new buffers
    weights ws;
    struct tevo_tensor * u1 = ws.add("u1", N);
    struct tevo_tensor * u2 = ws.add("u2", N);
    ws.alloc(&dev->buft);
    const int allocs = dev->n_buffers_alloc + host->n_buffers_alloc;
    three_splits t(u1, u2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
    EXPECT_EQ(dev->n_buffers_alloc + host->n_buffers_alloc, allocs);
    // a second allocation without a reset is a reset and an allocation
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
    EXPECT_TRUE(sched->is_alloc);
    EXPECT_EQ(dev->n_buffers_alloc + host->n_buffers_alloc, allocs);
    const std::vector<float> va = ramp(N, 1.0f, 1.0f), v1 = ramp(N, 0.0f, 1.0f), v2 = ramp(N, 2.0f, 0.0f);
    set_f32(t.a, va);
    set_f32(u1, v1);
    set_f32(u2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(t.n3), three_splits::expected(va, v1, v2));
    tevo_backend_sched_free(sched);
}

// Copies made while sizing belong to a context that the next split recreates;
// a graph allocated afterwards without a reset must get fresh copies.
TEST_F(Sched, AllocAfterReserveSizeMakesFreshCopies) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);

    graph_ctx g(3);
    struct tevo_tensor * a = g.input("a", N);
    // the sizing graph reads a on the device
    struct tevo_cgraph * gm = tevo_new_graph(g.ctx);
    tevo_build_forward_expand(gm, tevo_add(g.ctx, a, w1));
    size_t sizes[2];
    tevo_backend_sched_reserve_size(sched, gm, sizes);

    // the real graph reads the same input
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
    struct tevo_tensor * n2 = g.named(tevo_mul(g.ctx, n1, n1), "n2");
    struct tevo_tensor * n3 = g.named(tevo_add(g.ctx, n2, w2), "n3");
    struct tevo_cgraph * gf = tevo_new_graph(g.ctx);
    tevo_build_forward_expand(gf, n3);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gf));
    ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 3);
    EXPECT_EQ(input_names(sched, 0), std::vector<std::string>({ "a" }));
    EXPECT_STREQ(reads(sched, n1, 0)->name, "DEV#a#0");

    const std::vector<float> va = ramp(N, 0.5f, 0.5f), v1 = ramp(N, 1.0f, -1.0f), v2 = ramp(N, 3.0f, 0.0f);
    set_f32(a, va);
    set_f32(w1, v1);
    set_f32(w2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(n3), three_splits::expected(va, v1, v2));
    EXPECT_EQ(dev->n_bad_source + host->n_bad_source, 0);
    tevo_backend_sched_free(sched);
}

// a chain a -> ... of n_nodes additions with a weight, on the device, over n elements
struct chain {
    graph_ctx            g;
    struct tevo_tensor * in;
    struct tevo_tensor * out;
    chain(struct tevo_tensor * w, int n_nodes, int64_t n) {
        in = g.input("x", n);
        struct tevo_tensor * x = in;
        for (int i = 0; i < n_nodes; i++) {
            x = tevo_add(g.ctx, x, w);
        }
        out = x;
        g.expand(out);
    }
};

struct realloc_case {
    int         level;
    int         n_nodes;  // of the second graph (the first has 2)
    int64_t     n;        // elements of the second graph (the first has N)
    bool        dies;
};

class SchedRealloc : public Sched, public ::testing::WithParamInterface<realloc_case> {};

TEST_P(SchedRealloc, ReplanningFollowsTheDebugLevel) {
    const realloc_case rc = GetParam();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", 1);
    w.alloc(&dev->buft);
    set_f32(w1, { 1.0f });

    auto run = [&]() {
        setenv("TEVO_SCHED_DEBUG_REALLOC", std::to_string(rc.level).c_str(), 1);
        tevo_backend_sched_t sched = make_sched();
        {
            // sized first: at level 2 even the first allocation of an
            // unsized scheduler counts as re-planning
            chain c(w1, 2, N);
            if (!tevo_backend_sched_reserve(sched, c.g.gf)) {
                abort();
            }
        }
        const int allocs = dev->n_buffers_alloc + host->n_buffers_alloc;
        chain c(w1, rc.n_nodes, rc.n);
        if (!tevo_backend_sched_alloc_graph(sched, c.g.gf)) {
            abort();
        }
        const bool grew = rc.n_nodes != 2 || rc.n != N;
        // exactly one re-reservation when the graph needs more, none otherwise
        EXPECT_EQ(dev->n_buffers_alloc + host->n_buffers_alloc - allocs, grew ? 2 : 0);
        std::vector<float> x = ramp(rc.n, 0.0f, 1.0f);
        set_f32(c.in, x);
        EXPECT_EQ(tevo_backend_sched_graph_compute(sched, c.g.gf), TEVO_STATUS_SUCCESS);
        std::vector<float> r = get_f32(c.out);
        for (int64_t i = 0; i < rc.n; i++) {
            EXPECT_FLOAT_EQ(r[i], x[i] + (float) rc.n_nodes);
        }
        tevo_backend_sched_free(sched);
        unsetenv("TEVO_SCHED_DEBUG_REALLOC");
    };

    if (rc.dies) {
        char buf[256];
        // the first graph: 2 nodes on one split, x copied in
        const int graph_size = std::max(rc.n_nodes, 2) + 2;
        snprintf(buf, sizeof(buf),
                 "tevo_backend_sched_alloc_splits: unexpected graph reallocation (graph size = %d, nodes = %d, "
                 "leafs = %d), debug_realloc = %d",
                 graph_size, rc.n_nodes + 2, 2, rc.level);
        EXPECT_DEATH(run(), lit(buf));
    } else {
        run();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, SchedRealloc,
    ::testing::Values(realloc_case{ 0, 2, 4 * N, false },  // bigger tensors: re-planned quietly
                      realloc_case{ 0, 2, N, false },      // same shape: no re-planning
                      realloc_case{ 2, 2, N, false },      // same shape: nothing to stop
                      realloc_case{ 1, 2, 4 * N, true },   // same graph size needs more memory
                      realloc_case{ 1, 3, 4 * N, false },  // another graph size may re-plan
                      realloc_case{ 2, 3, 4 * N, true })); // any re-planning stops

TEST_F(Sched, ChangedBackendsStopOnlyAtDebugLevelTwo) {
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&dev->buft);
    auto run = [&](const char * level) {
        setenv("TEVO_SCHED_DEBUG_REALLOC", level, 1);
        tevo_backend_sched_t sched = make_sched();
        unsetenv("TEVO_SCHED_DEBUG_REALLOC");
        {
            graph_ctx g;
            g.expand(tevo_add(g.ctx, tevo_add(g.ctx, w1, w1), w1));
            ASSERT_TRUE(tevo_backend_sched_reserve(sched, g.gf));
        }
        // the positions now sit on the host with another buffer type; the
        // graph size stays 2, which at level 1 would stop an unchanged plan
        graph_ctx g;
        struct tevo_tensor * a = g.input("a", N);
        struct tevo_tensor * m = tevo_mul(g.ctx, tevo_mul(g.ctx, a, a), a);
        g.expand(m);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
        set_f32(a, ramp(N, 1.0f, 1.0f));
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
        EXPECT_FLOAT_EQ(get_f32(m)[1], 8.0f);
        tevo_backend_sched_free(sched);
    };
    run("1");
    EXPECT_DEATH(run("2"), lit("unexpected graph reallocation (graph size = 2, nodes = 2, leafs = 1), "
                               "debug_realloc = 2"));
}

// ---------------------------------------------------------------------------
// execution

TEST_F(Sched, SplitWithoutInputsWaitsForThePreviousBackend) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    w.alloc(&dev->buft);
    graph_ctx g;
    struct tevo_tensor * a  = g.input("a", N);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, w1, w1), "n1"); // device, no inputs
    struct tevo_tensor * n2 = g.named(tevo_mul(g.ctx, a, a), "n2");   // host, no inputs
    g.expand(n1);
    g.expand(n2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 2);
    EXPECT_EQ(sched->splits[1].n_inputs, 0);

    const int syncs = dev->n_sync;
    set_f32(a, ramp(N, 1.0f, 1.0f));
    ASSERT_EQ(tevo_backend_sched_graph_compute_async(sched, g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(dev->n_sync - syncs, 1);
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, ComputeAllocatesWhenNeeded) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);
    const std::vector<float> v1 = ramp(N, 1.0f, 1.0f), v2 = ramp(N, 0.0f, 0.5f);
    set_f32(w1, v1);
    set_f32(w2, v2);

    // the caller's input must have memory before it can be set: reserve,
    // then compute a graph whose input lives in a buffer of its own
    weights in;
    struct tevo_tensor * a = in.add("a", N);
    in.alloc(&host->buft);
    tevo_backend_buffer_set_usage(in.buf, TEVO_BACKEND_BUFFER_USAGE_ANY);
    const std::vector<float> va = ramp(N, -2.0f, 1.0f);
    set_f32(a, va);

    graph_ctx g;
    tevo_set_input(a);
    struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
    struct tevo_tensor * n2 = g.named(tevo_mul(g.ctx, n1, n1), "n2");
    struct tevo_tensor * n3 = g.named(tevo_add(g.ctx, n2, w2), "n3");
    g.expand(n3);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_TRUE(sched->is_alloc);
    EXPECT_EQ(tevo_backend_sched_get_n_splits(sched), 3);
    EXPECT_EQ(get_f32(n3), three_splits::expected(va, v1, v2));
    tevo_backend_sched_free(sched);
}

struct eval_log {
    std::vector<std::string> asked;
    std::vector<std::string> shown;
    std::vector<float>       first_values;
    std::string              want;      // only this node is wanted; empty: every node
    std::string              stop_at;   // answering false after seeing this node
};

bool eval_cb(struct tevo_tensor * t, bool ask, void * user_data) {
    eval_log * log = (eval_log *) user_data;
    if (ask) {
        log->asked.push_back(t->name);
        return log->want.empty() || log->want == t->name;
    }
    log->shown.push_back(t->name);
    float v;
    tevo_backend_tensor_get(t, &v, 0, sizeof(v));
    log->first_values.push_back(v);
    return log->stop_at != t->name;
}

TEST_F(Sched, EvalCallbackSeesEveryNode) {
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);
    const std::vector<float> v1 = ramp(N, 1.0f, 1.0f), v2 = ramp(N, 0.0f, 0.5f);
    set_f32(w1, v1);
    set_f32(w2, v2);

    tevo_backend_sched_t sched = make_sched();
    eval_log log;
    tevo_backend_sched_set_eval_callback(sched, eval_cb, &log);
    three_splits t(w1, w2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
    const std::vector<float> va = ramp(N, 2.0f, 1.0f);
    set_f32(t.a, va);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);

    const std::vector<std::string> all = { "n1", "n2", "n3" };
    EXPECT_EQ(log.asked, all);
    EXPECT_EQ(log.shown, all);
    const float x = va[0] + v1[0];
    EXPECT_EQ(log.first_values, std::vector<float>({ x, x * x, x * x + v2[0] }));
    // one node per computation
    EXPECT_EQ(dev->compute_sizes, std::vector<int>({ 1, 1 }));
    EXPECT_EQ(host->compute_sizes, std::vector<int>({ 1 }));
    tevo_backend_sched_free(sched);
}

TEST_F(Sched, EvalCallbackGroupsUnwantedNodesAndStopsOnlyItsSplit) {
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);

    // n1, s1, s2 on the device, n2 on the host, n3 on the device
    struct graph {
        graph_ctx            g;
        struct tevo_tensor * a;
        graph(struct tevo_tensor * w1, struct tevo_tensor * w2) {
            a                       = g.input("a", N);
            struct tevo_tensor * n1 = g.named(tevo_add(g.ctx, a, w1), "n1");
            struct tevo_tensor * s1 = g.named(tevo_scale(g.ctx, n1, 2.0f), "s1");
            struct tevo_tensor * s2 = g.named(tevo_scale(g.ctx, s1, 2.0f), "s2");
            struct tevo_tensor * n2 = g.named(tevo_mul(g.ctx, s2, s2), "n2");
            g.expand(g.named(tevo_add(g.ctx, n2, w2), "n3"));
        }
    };

    {
        // wanting only s1: n1 and s1 are computed together, then s2 alone
        tevo_backend_sched_t sched = make_sched();
        eval_log log;
        log.want = "s1";
        tevo_backend_sched_set_eval_callback(sched, eval_cb, &log);
        graph gr(w1, w2);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gr.g.gf));
        ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 3);
        set_f32(gr.a, ramp(N, 1.0f, 0.0f));
        set_f32(w1, ramp(N, 1.0f, 0.0f));
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gr.g.gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(log.asked, std::vector<std::string>({ "n1", "s1", "s2", "n2", "n3" }));
        EXPECT_EQ(log.shown, std::vector<std::string>({ "s1" }));
        EXPECT_EQ(log.first_values, std::vector<float>({ 4.0f }));
        EXPECT_EQ(dev->compute_sizes, std::vector<int>({ 2, 1, 1 }));
        tevo_backend_sched_free(sched);
    }
    dev->compute_sizes.clear();
    dev->computed.clear();
    host->computed.clear();
    {
        // stopping after n1 abandons s1 and s2; the later splits still run
        tevo_backend_sched_t sched = make_sched();
        eval_log log;
        log.stop_at = "n1";
        tevo_backend_sched_set_eval_callback(sched, eval_cb, &log);
        graph gr(w1, w2);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gr.g.gf));
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gr.g.gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(log.asked, std::vector<std::string>({ "n1", "n2", "n3" }));
        EXPECT_EQ(dev->computed, std::vector<std::string>({ "n1", "n3" }));
        EXPECT_EQ(host->computed, std::vector<std::string>({ "n2" }));
        tevo_backend_sched_free(sched);
    }
}

// The expert weights stay in host memory and the MUL_MAT_ID node is offloaded:
// only the experts the ids use are written to the device copy, in runs.
TEST_F(Sched, OffloadedExpertsCopyOnlyTheUsedOnes) {
    dev->cfg.offload = true;
    const int64_t K = 4, M = 3, n_expert = 6, n_used = 2, n_tokens = 2;

    weights w;
    struct tevo_tensor * as = tevo_new_tensor_3d(w.ctx, TEVO_TYPE_F32, K, M, n_expert);
    tevo_set_name(as, "as");
    w.alloc(&host->buft);
    const std::vector<float> vas = ramp(K * M * n_expert, -1.0f, 0.125f);
    set_f32(as, vas);

    for (const std::vector<int32_t> & ids : { std::vector<int32_t>{ 1, 2, 4, 1 }, std::vector<int32_t>{ 5, 2, 1, 5 } }) {
        tevo_backend_sched_t sched = make_sched(false, true);
        graph_ctx g;
        struct tevo_tensor * b   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, K, n_used, n_tokens);
        struct tevo_tensor * idt = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, n_used, n_tokens);
        tevo_set_name(b, "b");
        tevo_set_name(idt, "ids");
        tevo_set_input(b);
        tevo_set_input(idt);
        struct tevo_tensor * out = g.named(tevo_mul_mat_id(g.ctx, as, b, idt), "out");
        g.expand(out);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
        ASSERT_EQ(backend_id(sched, out), 0);
        ASSERT_EQ(input_names(sched, 0), std::vector<std::string>({ "as", "b", "ids" }));

        const std::vector<float> vb = ramp(K * n_used * n_tokens, 0.5f, 0.25f);
        set_f32(b, vb);
        tevo_backend_tensor_set(idt, ids.data(), 0, ids.size() * sizeof(int32_t));
        dev->sets.clear();
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);

        // the writes into the copy of the weights
        std::vector<std::pair<size_t, size_t>> writes;
        for (const auto & s : dev->sets) {
            if (s.name == "DEV#as#0") {
                writes.push_back({ s.offset, s.size });
            }
        }
        const size_t es  = as->nb[2];
        const size_t pad = std::min<size_t>(es, 512);
        if (ids[0] == 1) {
            // experts {1, 2} and {4}: both runs end before the last expert
            EXPECT_EQ(writes, (std::vector<std::pair<size_t, size_t>>{ { 1 * es, 2 * es + pad }, { 4 * es, es + pad } }));
        } else {
            // experts {1, 2} and {5}: the last run ends at the final expert
            EXPECT_EQ(writes, (std::vector<std::pair<size_t, size_t>>{ { 1 * es, 2 * es + pad }, { 5 * es, es } }));
        }

        const std::vector<float> r = get_f32(out);
        for (int64_t t = 0; t < n_tokens; t++) {
            for (int64_t e = 0; e < n_used; e++) {
                const int32_t ex = ids[t * n_used + e];
                for (int64_t i = 0; i < M; i++) {
                    double sum = 0;
                    for (int64_t k = 0; k < K; k++) {
                        sum += (double) vas[(ex * M + i) * K + k] * vb[(t * n_used + e) * K + k];
                    }
                    EXPECT_NEAR(r[(t * n_used + e) * M + i], sum, 1e-5) << t << " " << e << " " << i;
                }
            }
        }
        EXPECT_EQ(dev->n_bad_source, 0);
        tevo_backend_sched_free(sched);
    }
}

TEST_F(Sched, ExpertIdOutOfRangeIsFatal) {
    dev->cfg.offload = true;
    weights w;
    struct tevo_tensor * as = tevo_new_tensor_3d(w.ctx, TEVO_TYPE_F32, 4, 3, 6);
    w.alloc(&host->buft);
    tevo_backend_sched_t sched = make_sched(false, true);
    graph_ctx g;
    struct tevo_tensor * b   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 4, 1, 1);
    struct tevo_tensor * idt = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, 1, 1);
    tevo_set_input(b);
    tevo_set_input(idt);
    g.expand(tevo_mul_mat_id(g.ctx, as, b, idt));
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
    const int32_t bad = 6;
    tevo_backend_tensor_set(idt, &bad, 0, sizeof(bad));
    EXPECT_DEATH(tevo_backend_sched_graph_compute(sched, g.gf), assert_text("id >= 0 && id < n_expert"));
    tevo_backend_sched_free(sched);
}

// ---------------------------------------------------------------------------
// allocating a graph again

struct again_case {
    bool         parallel;
    const char * order; // graphs allocated in turn, each after a reset
};

class SchedAgain : public Sched, public ::testing::WithParamInterface<again_case> {};

// Graphs built once and allocated again after a reset, with new inputs each
// round, compute as graphs built anew: three splits, copies both ways. B is
// larger than A, so allocating it replaces the buffers A was placed in.
TEST_P(SchedAgain, GraphAllocatedAgainComputesAsANewOne) {
    const again_case ac = GetParam();
    dev->cfg.events     = ac.parallel;
    dev                 = schedtest::make(dev->cfg);
    backends[0]         = &dev->backend;
    tevo_backend_sched_t sched = make_sched(ac.parallel);

    weights w;
    struct tevo_tensor * wa1 = w.add("wa1", N);
    struct tevo_tensor * wa2 = w.add("wa2", N);
    struct tevo_tensor * wb1 = w.add("wb1", 4 * N);
    struct tevo_tensor * wb2 = w.add("wb2", 4 * N);
    w.alloc(&dev->buft);
    const std::vector<float> va1 = ramp(N, 1.0f, 0.5f), va2 = ramp(N, -1.0f, 0.25f);
    const std::vector<float> vb1 = ramp(4 * N, 0.5f, -0.125f), vb2 = ramp(4 * N, 2.0f, 0.5f);
    set_f32(wa1, va1);
    set_f32(wa2, va2);
    set_f32(wb1, vb1);
    set_f32(wb2, vb2);

    three_splits ga(wa1, wa2);
    three_splits gb(wb1, wb2, 4 * N);
    char         prev = 0;
    for (int step = 0; ac.order[step] != '\0'; step++) {
        const bool     is_a = ac.order[step] == 'A';
        three_splits & t    = is_a ? ga : gb;
        tevo_backend_sched_reset(sched);
        const int allocs = dev->n_buffers_alloc + host->n_buffers_alloc;
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf)) << step;
        if (ac.order[step] == prev) {
            EXPECT_EQ(dev->n_buffers_alloc + host->n_buffers_alloc, allocs) << "the same graph again re-planned";
        }
        prev = ac.order[step];
        ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 3);
        EXPECT_STREQ(reads(sched, t.n1, 0)->name, ("DEV#a#" + std::to_string(sched->cur_copy)).c_str());

        const std::vector<float> va = ramp(is_a ? N : 4 * N, (float) step - 2.0f, 0.75f + 0.5f * (float) step);
        set_f32(t.a, va);
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, t.g.gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(t.n3), is_a ? three_splits::expected(va, va1, va2) : three_splits::expected(va, vb1, vb2))
            << ac.order << " step " << step;
        EXPECT_EQ(dev->n_bad_source + host->n_bad_source, 0) << step;
    }
    tevo_backend_sched_free(sched);
}

INSTANTIATE_TEST_SUITE_P(Orders, SchedAgain,
                         ::testing::Values(again_case{ false, "AAAA" }, again_case{ true, "AAAAAA" },
                                           again_case{ false, "ABABA" }, again_case{ true, "ABAABB" }));

// y = W2·((W1·x)⊙g) over a meta device of CPU devices plus the CPU: the
// products on the meta device by their weights, the gate on the CPU by the
// user's assignment. x: [D, T], W1: [D, F] split by rows, g: [F, T] in the
// CPU's memory, W2: [F, D] split by rows.
struct meta_again_case {
    int          n_devices;
    bool         parallel;
    const char * order; // A has T tokens, B 4 T
};

class SchedMetaAgain : public ::testing::TestWithParam<meta_again_case> {};

TEST_P(SchedMetaAgain, GraphAllocatedAgainComputesAsANewOne) {
    const meta_again_case mc = GetParam();
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    const int64_t D = 8, F = 12, T = 3;

    tevo_backend_dev_t mdev = metatest::meta_device(metatest::plain_set(), mc.n_devices);
    metatest::states()["w1"] = metatest::split(TEVO_BACKEND_SPLIT_AXIS_1, metatest::even_shares(F, mc.n_devices));
    metatest::states()["w2"] = metatest::split(TEVO_BACKEND_SPLIT_AXIS_1, metatest::even_shares(D, mc.n_devices));
    tevo_backend_t meta = tevo_backend_dev_init(mdev, nullptr);
    tevo_backend_t cpu  = tevo_backend_cpu_init();

    struct tevo_context * wctx = metatest::no_alloc_ctx();
    struct tevo_tensor *  w1   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, D, F);
    struct tevo_tensor *  w2   = tevo_new_tensor_2d(wctx, TEVO_TYPE_F32, F, D);
    tevo_set_name(w1, "w1");
    tevo_set_name(w2, "w2");
    tevo_backend_buffer_t wbuf = tevo_backend_alloc_ctx_tensors_from_buft(wctx, tevo_backend_dev_buffer_type(mdev));
    tevo_backend_buffer_set_usage(wbuf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    struct tevo_context * gctx = metatest::no_alloc_ctx();
    struct tevo_tensor *  g    = tevo_new_tensor_2d(gctx, TEVO_TYPE_F32, F, T);
    tevo_backend_buffer_t gbuf = tevo_backend_alloc_ctx_tensors_from_buft(gctx, tevo_backend_cpu_buffer_type());

    std::vector<float> vw1(D * F), vw2(F * D), vg(F * T);
    for (size_t i = 0; i < vw1.size(); i++) {
        vw1[i] = std::sin(0.3f * (float) i);
        vw2[i] = std::cos(0.7f * (float) i);
    }
    for (size_t i = 0; i < vg.size(); i++) {
        vg[i] = 0.5f + 0.1f * (float) i;
    }
    tevo_backend_tensor_set(w1, vw1.data(), 0, tevo_nbytes(w1));
    tevo_backend_tensor_set(w2, vw2.data(), 0, tevo_nbytes(w2));
    tevo_backend_tensor_set(g, vg.data(), 0, tevo_nbytes(g));

    struct mlp {
        struct tevo_context * ctx;
        struct tevo_tensor *  x;
        struct tevo_tensor *  m;
        struct tevo_tensor *  y;
        struct tevo_cgraph *  gf;
    };
    auto build = [&](int64_t n_tokens) {
        mlp r;
        r.ctx = metatest::no_alloc_ctx();
        r.x   = tevo_new_tensor_2d(r.ctx, TEVO_TYPE_F32, D, n_tokens);
        tevo_set_input(r.x);
        r.m = tevo_mul(r.ctx, tevo_mul_mat(r.ctx, w1, r.x), g); // g repeats over the tokens
        r.y = tevo_mul_mat(r.ctx, w2, r.m);
        tevo_set_output(r.y);
        r.gf = tevo_new_graph(r.ctx);
        tevo_build_forward_expand(r.gf, r.y);
        return r;
    };
    mlp ga = build(T), gb = build(4 * T);

    tevo_backend_t       backends[2] = { meta, cpu };
    tevo_backend_sched_t sched       = tevo_backend_sched_new(backends, nullptr, 2, 64, mc.parallel, false);
    for (int step = 0; mc.order[step] != '\0'; step++) {
        const mlp &   r        = mc.order[step] == 'A' ? ga : gb;
        const int64_t n_tokens = r.x->ne[1];
        tevo_backend_sched_reset(sched);
        tevo_backend_sched_set_tensor_backend(sched, r.m, cpu);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, r.gf));
        ASSERT_EQ(tevo_backend_sched_get_n_splits(sched), 3);

        std::vector<float> vx(D * n_tokens);
        for (size_t i = 0; i < vx.size(); i++) {
            vx[i] = std::cos(0.2f * (float) i + (float) step);
        }
        tevo_backend_tensor_set(r.x, vx.data(), 0, tevo_nbytes(r.x));
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, r.gf), TEVO_STATUS_SUCCESS);
        std::vector<float> vy(D * n_tokens);
        tevo_backend_tensor_get(r.y, vy.data(), 0, tevo_nbytes(r.y));

        for (int64_t t = 0; t < n_tokens; t++) {
            std::vector<double> m(F);
            for (int64_t f = 0; f < F; f++) {
                double s = 0.0;
                for (int64_t d = 0; d < D; d++) {
                    s += (double) vw1[f * D + d] * vx[t * D + d];
                }
                m[f] = s * vg[(t % T) * F + f];
            }
            for (int64_t d = 0; d < D; d++) {
                double s = 0.0;
                for (int64_t f = 0; f < F; f++) {
                    s += (double) vw2[d * F + f] * m[f];
                }
                ASSERT_NEAR(vy[t * D + d], s, 1e-5 * (1.0 + std::fabs(s))) << mc.order << " step " << step;
            }
        }
    }
    tevo_backend_sched_free(sched);
    tevo_free(ga.ctx);
    tevo_free(gb.ctx);
    tevo_backend_buffer_free(gbuf);
    tevo_free(gctx);
    tevo_backend_buffer_free(wbuf);
    tevo_free(wctx);
    tevo_backend_free(cpu);
    tevo_backend_free(meta);
}

INSTANTIATE_TEST_SUITE_P(Orders, SchedMetaAgain,
                         ::testing::Values(meta_again_case{ 2, false, "AAA" }, meta_again_case{ 3, false, "ABAB" },
                                           meta_again_case{ 2, true, "AABA" }));

// ---------------------------------------------------------------------------
// sequences of graphs sharing tensors

// The graphs of a sequence read the caller's leaves x [N], xb [1024], x2 [N]
// and the weight w [N]:
//   A = scale(x, 2) + x         B = scale(x, 6) + sum(scale(xb, 1))
//   C = s + x                   D = s * s + sum(xb), s = scale(x, 2) shared
//   H = h = x + w               Y = (x2 + w) * h, built once H was computed
struct seq_leaves {
    struct tevo_tensor * x;
    struct tevo_tensor * xb;
    struct tevo_tensor * x2;
    struct tevo_tensor * w;
};

struct seq_shared {
    struct tevo_tensor * s = nullptr;
    struct tevo_tensor * h = nullptr;
};

struct tevo_tensor * seq_build(char g, struct tevo_context * ctx, const seq_leaves & l, seq_shared & sh) {
    if (sh.s == nullptr && (g == 'C' || g == 'D')) {
        sh.s = tevo_scale(ctx, l.x, 2.0f);
    }
    if (sh.h == nullptr && (g == 'H' || g == 'Y')) {
        sh.h = tevo_add(ctx, l.x, l.w);
    }
    switch (g) {
        case 'A': return tevo_add(ctx, tevo_scale(ctx, l.x, 2.0f), l.x);
        case 'B': return tevo_add(ctx, tevo_scale(ctx, l.x, 6.0f), tevo_sum(ctx, tevo_scale(ctx, l.xb, 1.0f)));
        case 'C': return tevo_add(ctx, sh.s, l.x);
        case 'D': return tevo_add(ctx, tevo_mul(ctx, sh.s, sh.s), tevo_sum(ctx, l.xb));
        case 'H': return sh.h;
        case 'Y': return tevo_mul(ctx, tevo_add(ctx, l.x2, l.w), sh.h);
    }
    abort();
}

// input values of step k, and the weight's
struct seq_values {
    std::vector<float> x, xb, x2, w;
    explicit seq_values(int k)
        : x(ramp(N, 1.0f + (float) k, 1.0f)), xb(ramp(1024, 0.25f * (float) k, 0.001f)),
          x2(ramp(N, -1.0f - (float) k, 0.25f)), w(ramp(N, -3.0f, 0.5f)) {}
};

// graph g built afresh on the CPU alone
std::vector<float> seq_reference(tevo_backend_t cpu, char g, const seq_values & v) {
    struct tevo_context * ctx = metatest::no_alloc_ctx();
    seq_leaves            l   = { tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1024),
                                  tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N) };
    seq_shared            sh;
    struct tevo_tensor *  out = seq_build(g, ctx, l, sh);
    struct tevo_cgraph *  gf  = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    set_f32(l.x, v.x);
    set_f32(l.xb, v.xb);
    set_f32(l.x2, v.x2);
    set_f32(l.w, v.w);
    EXPECT_EQ(tevo_backend_graph_compute(cpu, gf), TEVO_STATUS_SUCCESS);
    std::vector<float> r = get_f32(out);
    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
    return r;
}

enum seq_setup { SEQ_CPU, SEQ_DEV, SEQ_META };

// the backends of one setup: a CPU backend last, before it a test device
// that runs what its plain loops know, or a meta device of two CPU devices
struct seq_backends {
    std::unique_ptr<device> dev;
    tevo_backend_t          meta = nullptr;
    tevo_backend_t          cpu  = nullptr;
    std::vector<tevo_backend_t> list;
    tevo_backend_buffer_type_t  weight_buft = nullptr;

    explicit seq_backends(seq_setup setup) {
        // one thread: the graphs are tiny, and many are computed
        cpu         = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 1);
        weight_buft = tevo_backend_cpu_buffer_type();
        if (setup == SEQ_DEV) {
            config dc;
            dc.refused  = { TEVO_OP_SUM };
            dev         = schedtest::make(dc);
            weight_buft = &dev->buft;
            list.push_back(&dev->backend);
        } else if (setup == SEQ_META) {
            tevo_backend_dev_t mdev = metatest::meta_device(metatest::plain_set(), 2);
            meta                    = tevo_backend_dev_init(mdev, nullptr);
            for (size_t j = 0; j < tevo_backend_meta_n_backends(meta); j++) {
                tevo_backend_cpu_set_n_threads(tevo_backend_meta_simple_backend(meta, j), 1);
            }
            weight_buft             = tevo_backend_dev_buffer_type(mdev);
            list.push_back(meta);
        }
        list.push_back(cpu);
    }
    ~seq_backends() {
        tevo_backend_free(cpu);
        tevo_backend_free(meta);
    }
    tevo_backend_sched_t make_sched(bool parallel) {
        return tevo_backend_sched_new(list.data(), nullptr, (int) list.size(), 64, parallel, false);
    }
    int n_bad_source() const { return dev ? dev->n_bad_source : 0; }
};

// whether t is one of the scheduler's records (an input copy)
bool is_sched_record(const struct tevo_tensor * t) {
    return std::string(t->name).find('#') != std::string::npos;
}

struct seq_case {
    const char * what;
    seq_setup    setup;
    bool         parallel;
    // per letter: reset, allocate, set the inputs, compute and compare;
    // '!' frees the scheduler and makes another over the same backends, '^'
    // sizes it with the graph of the next letter, which is not computed then
    const char * steps;
};

class SchedSequence : public ::testing::TestWithParam<seq_case> {};

// Graphs that share leaves and nodes, graphs built from a computed one, and
// a scheduler made after another placed the graph and was freed: every step
// computes what the graph built afresh on the CPU alone computes, and once
// a compute returns the caller's nodes read the caller's tensors.
TEST_P(SchedSequence, EveryStepComputesAsAFreshGraph) {
    const seq_case sc = GetParam();
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    seq_backends b(sc.setup);

    struct tevo_context * ctx = metatest::no_alloc_ctx(512);
    seq_leaves            l   = { tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1024),
                                  tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), nullptr };
    tevo_set_name(l.x, "x");
    tevo_set_name(l.xb, "xb");
    tevo_set_name(l.x2, "x2");
    tevo_set_input(l.x);
    tevo_set_input(l.xb);
    tevo_set_input(l.x2);
    weights w;
    l.w = w.add("w", N);
    w.alloc(b.weight_buft);
    set_f32(l.w, seq_values(0).w);

    seq_shared                                  sh;
    std::map<char, std::pair<tevo_tensor *, tevo_cgraph *>> graphs; // built at first use
    tevo_backend_sched_t sched = b.make_sched(sc.parallel);
    for (int k = 0; sc.steps[k] != '\0'; k++) {
        const char g = sc.steps[k];
        if (g == '!') {
            tevo_backend_sched_free(sched);
            sched = b.make_sched(sc.parallel);
            continue;
        }
        const char gg = g == '^' ? sc.steps[++k] : g;
        if (graphs.count(gg) == 0) {
            struct tevo_tensor * out = seq_build(gg, ctx, l, sh);
            struct tevo_cgraph * gf  = tevo_new_graph_custom(ctx, 64, false);
            tevo_build_forward_expand(gf, out);
            graphs[gg] = { out, gf };
        }
        auto [out, gf] = graphs[gg];
        if (g == '^') {
            ASSERT_TRUE(tevo_backend_sched_reserve(sched, gf)) << sc.steps << " step " << k;
            continue;
        }

        tevo_backend_sched_reset(sched);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gf)) << sc.steps << " step " << k;
        const seq_values v(k);
        for (int i = 0; i < gf->n_leafs; i++) {
            struct tevo_tensor * leaf = gf->leafs[i];
            if (leaf == l.x || leaf == l.xb || leaf == l.x2) {
                set_f32(leaf, leaf == l.x ? v.x : leaf == l.xb ? v.xb : v.x2);
            }
        }
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS) << sc.steps << " step " << k;
        EXPECT_EQ(get_f32(out), seq_reference(b.cpu, g, v)) << sc.what << ": " << sc.steps << " step " << k;
        EXPECT_EQ(b.n_bad_source(), 0) << sc.steps << " step " << k;
        for (int i = 0; i < gf->n_nodes; i++) {
            for (int j = 0; j < TEVO_MAX_SRC; j++) {
                const struct tevo_tensor * src = gf->nodes[i]->src[j];
                EXPECT_TRUE(src == nullptr || !is_sched_record(src))
                    << sc.steps << " step " << k << ": node " << i << " reads " << src->name;
            }
        }
    }
    tevo_backend_sched_free(sched);
    // nothing the freed scheduler made is read again: the leaves of the last
    // graph are the caller's
    for (auto & [g, og] : graphs) {
        for (int i = 0; i < og.second->n_leafs; i++) {
            EXPECT_FALSE(is_sched_record(og.second->leafs[i])) << g;
        }
    }
    tevo_free(ctx);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SchedSequence,
    ::testing::Values(seq_case{ "shared input", SEQ_CPU, false, "ABABA" },
                      seq_case{ "shared input", SEQ_DEV, false, "ABAB" },
                      seq_case{ "shared input", SEQ_CPU, true, "ABAB" },
                      seq_case{ "shared node", SEQ_CPU, false, "CDCD" },
                      seq_case{ "shared node", SEQ_DEV, true, "CDCD" },
                      seq_case{ "graph built from a computed one", SEQ_DEV, false, "HYHY" },
                      seq_case{ "graph built from a computed one", SEQ_CPU, false, "HY" },
                      seq_case{ "graph built from a computed one", SEQ_META, false, "HYH" },
                      seq_case{ "second scheduler after the first is freed", SEQ_CPU, false, "A!A" },
                      seq_case{ "second scheduler after the first is freed", SEQ_DEV, false, "H!HY!Y" },
                      seq_case{ "second scheduler after the first is freed", SEQ_META, true, "H!H" },
                      seq_case{ "larger graph between two runs of a smaller one", SEQ_CPU, false, "ABA" },
                      seq_case{ "larger graph between two runs of a smaller one", SEQ_DEV, true, "HBDH" },
                      seq_case{ "larger graph between two runs of a smaller one", SEQ_META, false, "HBH" },
                      seq_case{ "sized first", SEQ_CPU, false, "^BABA^BA" },
                      seq_case{ "sized first", SEQ_DEV, true, "^BHB^BHY" },
                      seq_case{ "sized with a graph computed after another", SEQ_DEV, false, "^YHY" },
                      seq_case{ "sized with a graph computed after another", SEQ_META, false, "^YHY" }));

// A graph on a second scheduler places anew the tensors that the first placed
// for its graph, so neither computes into the other's memory; the first
// finds its input gone before it computes again and says so, and computes
// right once allocated again.
TEST(SchedTwo, TensorsAnotherSchedulerPlacedArePlacedAnew) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    seq_backends b(SEQ_DEV);
    struct tevo_init_params params = { 256 * tevo_tensor_overhead() + 3 * tevo_graph_overhead(), nullptr, true };
    struct tevo_context *   ctx    = tevo_init(params);
    seq_leaves l = { tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1024),
                     tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), nullptr };
    tevo_set_input(l.x);
    tevo_set_input(l.xb);
    tevo_set_input(l.x2);
    weights w;
    l.w = w.add("w", N);
    w.alloc(b.weight_buft);
    const seq_values v(1);
    set_f32(l.w, v.w);
    seq_shared           sh;
    struct tevo_tensor * h  = seq_build('H', ctx, l, sh);
    struct tevo_cgraph * gh = tevo_new_graph(ctx);
    tevo_build_forward_expand(gh, h);
    struct tevo_tensor * y  = seq_build('Y', ctx, l, sh);
    struct tevo_cgraph * gy = tevo_new_graph(ctx);
    tevo_build_forward_expand(gy, y);

    tevo_backend_sched_t s1 = b.make_sched(false);
    tevo_backend_sched_t s2 = b.make_sched(false);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gh));
    set_f32(l.x, v.x);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gh), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(h), seq_reference(b.cpu, 'H', v));
    tevo_backend_sched_reset(s1);
    tevo_backend_buffer_t hbuf = h->buffer, xbuf = l.x->buffer;

    // the second places x and h in its own memory; x is set again
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gy));
    EXPECT_NE(h->buffer, hbuf);
    EXPECT_NE(l.x->buffer, xbuf);
    set_f32(l.x, v.x);
    set_f32(l.x2, v.x2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gy), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), seq_reference(b.cpu, 'Y', v));

    // the first kept H through its reset, but its input x is gone
    EXPECT_EQ(tevo_backend_sched_graph_compute(s1, gh), TEVO_STATUS_FAILED);
    const seq_values v2(2);
    tevo_backend_sched_reset(s1);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gh));
    set_f32(l.x, v2.x);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gh), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(h), seq_reference(b.cpu, 'H', v2));

    // and now the second's
    EXPECT_EQ(tevo_backend_sched_graph_compute(s2, gy), TEVO_STATUS_FAILED);
    tevo_backend_sched_reset(s2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gy));
    set_f32(l.x, v2.x);
    set_f32(l.x2, v2.x2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gy), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), seq_reference(b.cpu, 'Y', v2));
    EXPECT_EQ(b.n_bad_source(), 0);

    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
    tevo_free(ctx);
}

class SchedFreshAddresses : public ::testing::TestWithParam<seq_setup> {};

// A long-running caller builds each step's graph in memory that never held
// a graph before (a sliding arena): what the scheduler keeps about the
// graphs it split stays that of the last graph.
TEST_P(SchedFreshAddresses, RecordsStayThoseOfTheLastGraph) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    seq_backends b(GetParam());
    weights      w;
    struct tevo_tensor * wt = w.add("w", N);
    w.alloc(b.weight_buft);
    set_f32(wt, seq_values(0).w);

    const int    n_graphs = 2000;
    const size_t ctx_size = 16 * tevo_tensor_overhead() + tevo_graph_overhead_custom(16, false);
    std::vector<char> arena(n_graphs * ctx_size);

    tevo_backend_sched_t sched = b.make_sched(false);
    for (int k = 0; k < n_graphs; k++) {
        struct tevo_init_params params = { ctx_size, arena.data() + k * ctx_size, true };
        struct tevo_context *   ctx    = tevo_init(params);
        seq_leaves l = { tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), nullptr, tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, N), wt };
        tevo_set_input(l.x);
        tevo_set_input(l.x2);
        seq_shared           sh;
        struct tevo_tensor * y   = seq_build('Y', ctx, l, sh);
        struct tevo_tensor * out = tevo_add(ctx, y, tevo_sum(ctx, y)); // the sum runs on the CPU
        struct tevo_cgraph * gf  = tevo_new_graph_custom(ctx, 16, false);
        tevo_build_forward_expand(gf, out);

        tevo_backend_sched_reset(sched);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gf)) << k;
        ASSERT_LE(sched->redirects.size(), (size_t) gf->n_nodes) << k;
        const seq_values v(k % 7);
        set_f32(l.x, v.x);
        set_f32(l.x2, v.x2);
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS) << k;
        ASSERT_LE(sched->redirects.size(), (size_t) gf->n_nodes) << k;
        if (y->buffer != nullptr && tevo_backend_buffer_is_meta(y->buffer)) {
            // the meta buffer's records of split states and of what the
            // devices hold: those of the graphs its two sets hold, no more
            const meta_buffer_context * mc = (const meta_buffer_context *) y->buffer->context;
            const size_t              held = 2 * (size_t) (gf->n_nodes + gf->n_leafs);
            ASSERT_LE(mc->split_cache.size(), 2 * held) << k;
            ASSERT_LE(mc->device_states.size(), held) << k;
        }
        if (k % 500 == 0) {
            const std::vector<float> r = get_f32(out);
            const std::vector<float> ry = seq_reference(b.cpu, 'Y', v);
            float sum = 0.0f;
            for (float e : ry) {
                sum += e;
            }
            for (int64_t i = 0; i < N; i++) {
                EXPECT_NEAR(r[i], sum + ry[i], 1e-4f * (1.0f + std::fabs(sum))) << k << " " << i;
            }
        }
        tevo_free(ctx);
    }
    tevo_backend_sched_free(sched);
}

INSTANTIATE_TEST_SUITE_P(Setups, SchedFreshAddresses, ::testing::Values(SEQ_CPU, SEQ_DEV, SEQ_META));

// After an asynchronous compute the backends may still read the nodes'
// sources: they read the copies until the next synchronize, or until the
// scheduler's next call, which waits for the backends first.
TEST_F(Sched, AsyncComputeGivesTheSourcesBackAtSynchronize) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);
    const std::vector<float> va = ramp(N, 1.0f, 1.0f), v1 = ramp(N, 0.5f, 0.0f), v2 = ramp(N, -1.0f, 1.0f);
    set_f32(w1, v1);
    set_f32(w2, v2);
    three_splits t(w1, w2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, t.g.gf));
    set_f32(t.a, va);
    ASSERT_EQ(tevo_backend_sched_graph_compute_async(sched, t.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_STREQ(t.n1->src[0]->name, "DEV#a#0");
    tevo_backend_sched_synchronize(sched);
    EXPECT_EQ(t.n1->src[0], t.a);
    EXPECT_EQ(get_f32(t.n3), three_splits::expected(va, v1, v2));

    const int syncs = dev->n_sync;
    ASSERT_EQ(tevo_backend_sched_graph_compute_async(sched, t.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(t.n3->src[0]->name, std::string("DEV#n2#0"));
    tevo_backend_sched_reset(sched);
    EXPECT_GT(dev->n_sync, syncs);
    EXPECT_EQ(t.n3->src[0], t.n2);
    tevo_backend_sched_free(sched);
}

// A graph allocated and never computed reads the caller's tensors once the
// allocation returns: split again after another graph, it computes right.
TEST_F(Sched, GraphAllocatedAndNeverComputedIsSplitAgainLater) {
    tevo_backend_sched_t sched = make_sched();
    weights w;
    struct tevo_tensor * w1 = w.add("w1", N);
    struct tevo_tensor * w2 = w.add("w2", N);
    w.alloc(&dev->buft);
    three_splits ta(w1, w2);
    three_splits tb(w1, w2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, ta.g.gf));
    EXPECT_EQ(ta.n1->src[0], ta.a);
    EXPECT_EQ(ta.n2->src[0], ta.n1);
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, tb.g.gf));
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, ta.g.gf));
    const std::vector<float> va = ramp(N, 1.0f, 1.0f), v1 = ramp(N, 0.5f, 0.0f), v2 = ramp(N, -1.0f, 1.0f);
    set_f32(ta.a, va);
    set_f32(w1, v1);
    set_f32(w2, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, ta.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(ta.n3), three_splits::expected(va, v1, v2));
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, tb.g.gf));
    set_f32(tb.a, v2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, tb.g.gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(tb.n3), three_splits::expected(v2, v1, v2));
    EXPECT_EQ(tb.n1->src[0], tb.a);
    EXPECT_EQ(dev->n_bad_source + host->n_bad_source, 0);
    tevo_backend_sched_free(sched);
}

// Views made by tevo_view_tensor have no operator and no source: the tensor x
// they view, placed by the caller, is not in the graph. One CPU backend
// places and computes the graph, with a scheduler sized for the graph
// exactly and with one sized generously.
TEST(SchedViewSource, ViewsOfATensorOutsideTheGraphArePlacedAndComputed) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    struct Case {
        const char *                                                               name;
        std::function<tevo_tensor *(tevo_context *, tevo_tensor *, tevo_tensor *)> build; // (ctx, x, b) -> out
        float                                                                      expected;
    };
    const Case cases[] = {
        { "view",
          [](tevo_context * c, tevo_tensor * x, tevo_tensor * b) { return tevo_add(c, tevo_view_tensor(c, x), b); },
          5.0f },
        { "view of a view",
          [](tevo_context * c, tevo_tensor * x, tevo_tensor * b) {
              return tevo_add(c, tevo_view_tensor(c, tevo_view_tensor(c, x)), b);
          },
          5.0f },
        { "many views",
          [](tevo_context * c, tevo_tensor * x, tevo_tensor * b) {
              tevo_tensor * y = b;
              for (int i = 0; i < 12; ++i) {
                  y = tevo_add(c, y, tevo_view_tensor(c, x));
              }
              return y;
          },
          27.0f },
    };
    tevo_backend_t cpu = tevo_backend_cpu_init();
    for (const Case & c : cases) {
        for (const bool exact : { true, false }) {
            SCOPED_TRACE(testing::Message() << c.name << (exact ? ", exact size" : ", generous size"));
            struct tevo_init_params wp   = { 4 * tevo_tensor_overhead(), NULL, true };
            tevo_context *          wctx = tevo_init(wp);
            tevo_tensor *           x    = tevo_new_tensor_1d(wctx, TEVO_TYPE_F32, 4);
            tevo_tensor *           b    = tevo_new_tensor_1d(wctx, TEVO_TYPE_F32, 4);
            tevo_backend_buffer_t   wbuf = tevo_backend_alloc_ctx_tensors(wctx, cpu);
            ASSERT_NE(wbuf, nullptr);
            const std::vector<float> two(4, 2.0f), three(4, 3.0f);
            tevo_backend_tensor_set(x, two.data(), 0, sizeof(float) * 4);
            tevo_backend_tensor_set(b, three.data(), 0, sizeof(float) * 4);

            graph_ctx            g;
            struct tevo_tensor * y = c.build(g.ctx, x, b);
            g.expand(y);
            const size_t graph_size = exact ? (size_t) (g.gf->n_nodes + g.gf->n_leafs) : 256;
            tevo_backend_sched_t sched = tevo_backend_sched_new(&cpu, NULL, 1, graph_size, false, false);
            ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));
            ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
            std::vector<float> out(4);
            tevo_backend_tensor_get(y, out.data(), 0, sizeof(float) * 4);
            EXPECT_EQ(out, std::vector<float>(4, c.expected));

            tevo_backend_sched_free(sched);
            tevo_backend_buffer_free(wbuf);
            tevo_free(wctx);
        }
    }
    tevo_backend_free(cpu);
}

} // namespace
