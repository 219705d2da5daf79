// What the scheduler leaves behind between calls, as a table of call
// sequences over one CPU backend, a test device with memory of its own
// beside the CPU (or two of them), and a meta device of two CPU devices
// beside the CPU: a failed allocation, graphs allocated and never computed,
// a compute of another graph, a reset between allocation and compute,
// tensors that two schedulers place, queries and pins after a reset, pinned
// views and a second allocation without a reset. Every value is compared bit for bit with the same
// graph built afresh and computed on one CPU backend.

#include "sched-test-backends.h"
#include "meta-test-devices.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

enum setup { CPU, DEV, META, DEV2 };

const char * setup_name(setup s) {
    return s == CPU ? "CPU" : s == DEV ? "DEV" : s == META ? "META" : "DEV2";
}

// the leaves every case builds on: x and b inputs, w a weight
struct leaves {
    struct tevo_tensor * x;
    struct tevo_tensor * b;
    struct tevo_tensor * w;
};

typedef std::function<struct tevo_tensor *(struct tevo_context *, const leaves &)> builder;

struct values {
    std::vector<float> x, b, w;
    values(int64_t n, int k) : x(n), b(n), w(n) {
        for (int64_t i = 0; i < n; i++) {
            x[i] = 1.0f + (float) k + 0.25f * (float) (i % 97);
            b[i] = -2.0f + 0.5f * (float) k + 0.125f * (float) (i % 31);
            w[i] = 0.5f - 0.0625f * (float) (i % 13);
        }
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

// the backends of a setup, the CPU last; weights live where the device is
// (DEV2: two test devices, the second one as well)
struct rig {
    std::unique_ptr<schedtest::device> dev;
    std::unique_ptr<schedtest::device> dev2;
    tevo_backend_t                     meta = nullptr;
    tevo_backend_t                     cpu  = nullptr;
    std::vector<tevo_backend_t>        list;
    tevo_backend_buffer_type_t         wbuft = nullptr;

    explicit rig(setup s) {
        cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 1);
        wbuft = tevo_backend_cpu_buffer_type();
        if (s == DEV || s == DEV2) {
            // the devices' loops know no concatenation
            schedtest::config dc;
            dc.refused = { TEVO_OP_SQR, TEVO_OP_CONCAT };
            dev        = schedtest::make(dc);
            wbuft      = &dev->buft;
            list.push_back(&dev->backend);
            if (s == DEV2) {
                dc.name = "DEV2";
                dev2    = schedtest::make(dc);
                list.push_back(&dev2->backend);
            }
        } else if (s == META) {
            tevo_backend_dev_t mdev = metatest::meta_device(metatest::plain_set(), 2);
            meta                    = tevo_backend_dev_init(mdev, nullptr);
            for (size_t j = 0; j < tevo_backend_meta_n_backends(meta); j++) {
                tevo_backend_cpu_set_n_threads(tevo_backend_meta_simple_backend(meta, j), 1);
            }
            wbuft = tevo_backend_dev_buffer_type(mdev);
            list.push_back(meta);
        }
        list.push_back(cpu);
    }
    ~rig() {
        tevo_backend_free(cpu);
        tevo_backend_free(meta);
    }
    tevo_backend_sched_t sched(bool parallel) {
        return tevo_backend_sched_new(list.data(), nullptr, (int) list.size(), 64, parallel, false);
    }
    int n_bad_source() const { return (dev ? dev->n_bad_source : 0) + (dev2 ? dev2->n_bad_source : 0); }
};

// the graph of out built afresh on the CPU alone, with the given values
std::vector<float> fresh(tevo_backend_t cpu, int64_t n, const builder & build, const values & v) {
    struct tevo_context * ctx = metatest::no_alloc_ctx();
    leaves l = { tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n), tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n),
                 tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n) };
    struct tevo_tensor *  out = build(ctx, l);
    struct tevo_cgraph *  gf  = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    set_f32(l.x, v.x);
    set_f32(l.b, v.b);
    set_f32(l.w, v.w);
    EXPECT_EQ(tevo_backend_graph_compute(cpu, gf), TEVO_STATUS_SUCCESS);
    std::vector<float> r = get_f32(out);
    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
    return r;
}

// the caller's side of a case: leaves of n elements (x and b inputs, w a
// weight in the setup's weight memory) in a context for its graphs
struct caller {
    rig &                 r;
    int64_t               n;
    struct tevo_context * ctx;
    struct tevo_context * wctx;
    tevo_backend_buffer_t wbuf = nullptr;
    leaves                l;

    caller(rig & r_, int64_t n_, bool b_is_input = true) : r(r_), n(n_) {
        ctx  = metatest::no_alloc_ctx(512);
        l.x  = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n);
        l.b  = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n);
        tevo_set_name(l.x, "x");
        tevo_set_name(l.b, "b");
        tevo_set_input(l.x);
        if (b_is_input) {
            tevo_set_input(l.b);
        }
        wctx = metatest::no_alloc_ctx(4);
        l.w  = tevo_new_tensor_1d(wctx, TEVO_TYPE_F32, n);
        tevo_set_name(l.w, "w");
        wbuf = tevo_backend_alloc_ctx_tensors_from_buft(wctx, r.wbuft);
        tevo_backend_buffer_set_usage(wbuf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
        set_f32(l.w, values(n, 0).w);
    }
    ~caller() {
        tevo_backend_buffer_free(wbuf);
        tevo_free(wctx);
        tevo_free(ctx);
    }
    struct tevo_cgraph * graph(struct tevo_tensor * out) {
        struct tevo_cgraph * gf = tevo_new_graph_custom(ctx, 64, false);
        tevo_build_forward_expand(gf, out);
        return gf;
    }
    // the graph's inputs get the values of step k
    void set_inputs(struct tevo_cgraph * gf, int k) {
        const values v(n, k);
        for (int i = 0; i < gf->n_leafs; i++) {
            if (gf->leafs[i] == l.x) {
                set_f32(l.x, v.x);
            } else if (gf->leafs[i] == l.b && (l.b->flags & TEVO_TENSOR_FLAG_INPUT)) {
                set_f32(l.b, v.b);
            }
        }
    }
    // out as the CPU alone computes it from the values of step k
    std::vector<float> want(const builder & build, int k) { return fresh(r.cpu, n, build, values(n, k)); }
};

// whether every node of the graph reads the caller's own tensors
void expect_own_sources(const struct tevo_cgraph * gf, const char * when) {
    for (int i = 0; i < gf->n_nodes; i++) {
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            const struct tevo_tensor * src = gf->nodes[i]->src[j];
            EXPECT_TRUE(src == nullptr || std::string(src->name).find('#') == std::string::npos)
                << when << ": node " << gf->nodes[i]->name << " reads " << src->name;
        }
    }
}

struct lifetime_case {
    int    item;
    setup  s;
    bool   parallel;
    char   variant; // a case's second sequence, where it has one
};

// ---------------------------------------------------------------------------
// the cases

// A failed allocation leaves the graph as built; after a smaller graph the
// retry allocates and computes it.
void failed_allocation_is_retried(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 8 * 64);
    builder fa = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, l.w, l.x); };
    struct tevo_tensor * a  = fa(c.ctx, c.l);
    tevo_set_name(a, "y");
    struct tevo_cgraph * ga = c.graph(a);

    // a small graph on the device
    struct tevo_context * sctx = metatest::no_alloc_ctx(16);
    struct tevo_tensor *  xs   = tevo_new_tensor_1d(sctx, TEVO_TYPE_F32, 8);
    tevo_set_input(xs);
    struct tevo_tensor *  ws   = tevo_view_1d(sctx, c.l.w, 8, 0);
    struct tevo_tensor *  ys   = tevo_mul(sctx, ws, xs);
    struct tevo_cgraph *  gs   = tevo_new_graph(sctx);
    tevo_build_forward_expand(gs, ys);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    r.dev->cfg.max_alloc = 1024;
    if (lc.variant == 'c') {
        EXPECT_EQ(tevo_backend_sched_graph_compute(sched, ga), TEVO_STATUS_ALLOC_FAILED);
    } else {
        EXPECT_FALSE(tevo_backend_sched_alloc_graph(sched, ga));
    }
    expect_own_sources(ga, "after the failed allocation");
    EXPECT_EQ(a->data, nullptr);
    EXPECT_EQ(c.l.x->data, nullptr);

    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gs));
    const std::vector<float> vx = values(8, 3).x;
    set_f32(xs, vx);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gs), TEVO_STATUS_SUCCESS);
    const std::vector<float> rs = get_f32(ys), vw = values(8 * 64, 0).w;
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(rs[i], vw[i] * vx[i]);
    }

    r.dev->cfg.max_alloc = 0;
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, ga));
    c.set_inputs(ga, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, ga), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(a), c.want(fa, 1));
    expect_own_sources(ga, "after the compute");
    tevo_backend_sched_free(sched);
    tevo_free(sctx);
}

// A compute of another graph than the one allocated last allocates it, also
// when the earlier graph's records are gone.
void compute_computes_the_graph_given(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fg = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    builder fh = [](tevo_context * ctx, const leaves & l) { return tevo_add(ctx, tevo_scale(ctx, l.b, 3.0f), l.w); };

    // G in a context of its own, freed once computed
    struct tevo_context * gctx = metatest::no_alloc_ctx(16);
    struct tevo_tensor *  gx   = tevo_new_tensor_1d(gctx, TEVO_TYPE_F32, c.n);
    tevo_set_input(gx);
    struct tevo_tensor *  y    = fg(gctx, { gx, nullptr, c.l.w });
    struct tevo_cgraph *  gg   = tevo_new_graph(gctx);
    tevo_build_forward_expand(gg, y);
    struct tevo_tensor *  yh   = fh(c.ctx, c.l);
    struct tevo_cgraph *  gh   = c.graph(yh);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gg));
    set_f32(gx, values(c.n, 1).x);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gg), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(fg, 1));
    if (lc.variant == 'f') {
        tevo_free(gctx);
        gctx = nullptr;
    }

    // H's input has no memory before the compute places it: it is placed
    // by a compute of G, then H is computed with no reset in between
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gh), TEVO_STATUS_SUCCESS);
    ASSERT_NE(yh->data, nullptr);
    c.set_inputs(gh, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gh), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(yh), c.want(fh, 2));
    if (gctx != nullptr) {
        // and G again
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gg), TEVO_STATUS_SUCCESS);
        set_f32(gx, values(c.n, 3).x);
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gg), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y), c.want(fg, 3));
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
    tevo_free(gctx);
}

// Inputs set after the allocation survive a reset before the compute of the
// same graph, with parallel copies as without; set after the reset too.
void inputs_survive_a_reset(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder f = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    struct tevo_tensor * y  = f(c.ctx, c.l);
    struct tevo_cgraph * gf = c.graph(y);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    for (int k = 0; k < 3; k++) {
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gf));
        if (lc.variant == 'b') {
            c.set_inputs(gf, k);
        }
        tevo_backend_sched_reset(sched);
        if (lc.variant != 'b') {
            c.set_inputs(gf, k);
        }
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y), c.want(f, k)) << k;
        tevo_backend_sched_reset(sched);
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// Two schedulers never compute into each other's memory: the second places
// the shared nodes anew, and the first finds out before it computes again.
// b is an input (variant 'i': the first fails and is allocated again) or
// memory the caller placed (the first allocates again by itself).
void two_schedulers_keep_apart(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64, lc.variant == 'i');
    tevo_backend_buffer_t bbuf = nullptr;
    struct tevo_context * bctx = nullptr;
    if (lc.variant != 'i') {
        // b in the caller's own memory
        bctx   = metatest::no_alloc_ctx(4);
        c.l.b  = tevo_new_tensor_1d(bctx, TEVO_TYPE_F32, c.n);
        bbuf   = tevo_backend_alloc_ctx_tensors_from_buft(bctx, tevo_backend_cpu_buffer_type());
        set_f32(c.l.b, values(c.n, 0).b);
    }
    builder ft1 = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, l.b, 2.0f); };
    builder f0  = [&](tevo_context * ctx, const leaves & l) {
        return tevo_mul(ctx, tevo_sqr(ctx, ft1(ctx, l)), l.w);
    };
    builder f1 = [&](tevo_context * ctx, const leaves & l) {
        struct tevo_tensor * t1 = ft1(ctx, l);
        return tevo_mul(ctx, tevo_sqr(ctx, t1), t1);
    };
    struct tevo_tensor * t1 = ft1(c.ctx, c.l);
    struct tevo_tensor * t2 = tevo_sqr(c.ctx, t1);
    struct tevo_tensor * y0 = tevo_mul(c.ctx, t2, c.l.w);
    struct tevo_tensor * y1 = tevo_mul(c.ctx, t2, t1);
    struct tevo_cgraph * g0 = c.graph(y0);
    struct tevo_cgraph * g1 = c.graph(y1);
    const int            kb = lc.variant == 'i' ? 1 : 0; // the step whose b the graphs read

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, g0));
    c.set_inputs(g0, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, g0), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y0), c.want(f0, kb));

    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, g1));
    c.set_inputs(g1, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, g1), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y1), c.want(f1, kb));

    if (lc.variant == 'i') {
        // the first's input b now lives in the second's memory
        EXPECT_EQ(tevo_backend_sched_graph_compute(s1, g0), TEVO_STATUS_FAILED);
        expect_own_sources(g0, "after the refused compute");
        tevo_backend_sched_reset(s1);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, g0));
        c.set_inputs(g0, 2);
    }
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, g0), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y0), c.want(f0, lc.variant == 'i' ? 2 : 0));

    // the second again, now that the first took t1 and t2 back
    const enum tevo_status st = tevo_backend_sched_graph_compute(s2, g1);
    if (lc.variant == 'i') {
        EXPECT_EQ(st, TEVO_STATUS_FAILED);
    } else {
        EXPECT_EQ(st, TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y1), c.want(f1, 0));
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
    tevo_backend_buffer_free(bbuf);
    tevo_free(bctx);
}

// A view of a tensor another scheduler placed: in the graph, the tensor is
// placed anew; outside it (variant 'o'), it is read where that scheduler
// holds it, and a compute after that scheduler moved on is refused.
void view_of_another_schedulers_tensor(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fa = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    builder fb = [&](tevo_context * ctx, const leaves & l) {
        return tevo_scale(ctx, tevo_view_1d(ctx, fa(ctx, l), 32, 16 * sizeof(float)), 3.0f);
    };
    struct tevo_tensor * a  = fa(c.ctx, c.l);
    struct tevo_cgraph * ga = c.graph(a);
    struct tevo_tensor * v  = lc.variant == 'o' ? tevo_view_tensor(c.ctx, a)
                                                : tevo_view_1d(c.ctx, a, 32, 16 * sizeof(float));
    // with a source outside the graph, more nodes than the view's reader
    // alone, as real graphs have, so the graph allocator's set has room
    // for that source too
    struct tevo_tensor * yb = tevo_scale(c.ctx, v, 3.0f);
    if (lc.variant == 'o') {
        yb = tevo_add(c.ctx, yb, tevo_scale(c.ctx, c.l.w, 0.5f));
    }
    struct tevo_cgraph * gb = c.graph(yb);
    builder fo = [&](tevo_context * ctx, const leaves & l) {
        return tevo_add(ctx, tevo_scale(ctx, fa(ctx, l), 3.0f), tevo_scale(ctx, l.w, 0.5f));
    };

    tevo_backend_sched_t s0 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s0, ga));
    c.set_inputs(ga, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s0, ga), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(a), c.want(fa, 1));

    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gb));
    c.set_inputs(gb, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gb), TEVO_STATUS_SUCCESS);
    if (lc.variant == 'o') {
        // a is not part of the graph: it keeps the first scheduler's values
        EXPECT_EQ(get_f32(yb), c.want(fo, 1));
        tevo_backend_sched_reset(s0);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s0, ga));
        EXPECT_EQ(tevo_backend_sched_graph_compute(s2, gb), TEVO_STATUS_FAILED);
        expect_own_sources(gb, "after the refused compute");
    } else {
        EXPECT_EQ(get_f32(yb), c.want(fb, 2));
        tevo_backend_sched_reset(s0);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s0, gb));
        c.set_inputs(gb, 3);
        ASSERT_EQ(tevo_backend_sched_graph_compute(s0, gb), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(yb), c.want(fb, 3));
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s0);
    tevo_backend_sched_free(s2);
}

// A graph that shares a node with one allocated and never computed computes
// right after other graphs.
void shared_node_of_an_uncomputed_graph(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fn = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, l.w, l.x); };
    builder f0 = [&](tevo_context * ctx, const leaves & l) { return tevo_add(ctx, fn(ctx, l), l.b); };
    builder f2 = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, tevo_add(ctx, l.b, l.w), 0.5f); };
    struct tevo_tensor * n  = fn(c.ctx, c.l);
    tevo_set_name(n, "n");
    struct tevo_tensor * y1 = tevo_scale(c.ctx, n, 2.0f);
    struct tevo_tensor * y0 = tevo_add(c.ctx, n, c.l.b);
    struct tevo_tensor * y2 = f2(c.ctx, c.l);
    struct tevo_cgraph * g1 = c.graph(y1);
    struct tevo_cgraph * g0 = c.graph(y0);
    struct tevo_cgraph * g2 = c.graph(y2);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g1));
    expect_own_sources(g1, "after the allocation");
    expect_own_sources(g0, "after the allocation of another graph");
    tevo_backend_sched_reset(sched);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g2), TEVO_STATUS_SUCCESS);
    c.set_inputs(g2, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g2), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y2), c.want(f2, 1));
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g0));
    c.set_inputs(g0, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g0), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y0), c.want(f0, 2));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// An input that a second scheduler allocates is its own to set, whatever
// becomes of the first (variant 'f': freed; 'm': it allocates a larger
// graph; 'k': it computes G again, which it is refused until it allocates G
// again, and so is the second then).
void input_outlives_the_first_scheduler(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 65536);
    builder f = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    builder fl = [](tevo_context * ctx, const leaves & l) {
        return tevo_add(ctx, tevo_mul(ctx, l.b, l.w), tevo_scale(ctx, tevo_add(ctx, l.b, l.w), 4.0f));
    };
    struct tevo_tensor * y  = f(c.ctx, c.l);
    struct tevo_cgraph * gf = c.graph(y);
    struct tevo_tensor * yl = fl(c.ctx, c.l);
    struct tevo_cgraph * gl = c.graph(yl);

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gf));
    c.set_inputs(gf, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(f, 1));
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gf));
    if (lc.variant == 'k') {
        // both keep G: each finds its input gone once the other placed it
        c.set_inputs(gf, 2);
        ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y), c.want(f, 2));
        EXPECT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_FAILED);
        tevo_backend_sched_reset(s1);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gf));
        c.set_inputs(gf, 3);
        ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y), c.want(f, 3));
        EXPECT_EQ(tevo_backend_sched_graph_compute(s2, gf), TEVO_STATUS_FAILED);
        tevo_backend_sched_reset(s2);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gf));
    } else if (lc.variant == 'f') {
        tevo_backend_sched_free(s1);
        s1 = nullptr;
    } else {
        tevo_backend_sched_reset(s1);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gl));
        c.set_inputs(gl, 4);
        ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gl), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(yl), c.want(fl, 4));
    }
    c.set_inputs(gf, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(f, 2));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
}

// A graph built while another is allocated and not yet computed reads the
// caller's tensors (variant 'f': split on a new scheduler once the first is
// freed).
void graph_built_while_another_is_allocated(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    // XC is x, B is b, W1 is w
    builder fe4 = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, l.x, 1.0f); };
    builder fe6 = [&](tevo_context * ctx, const leaves & l) {
        return tevo_add(ctx, tevo_view_tensor(ctx, l.x), fe4(ctx, l));
    };
    builder f1 = [&](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, l.w, fe6(ctx, l)); };
    builder f2 = [&](tevo_context * ctx, const leaves & l) {
        return tevo_mul(ctx, tevo_add(ctx, fe6(ctx, l), l.b), tevo_sqr(ctx, fe4(ctx, l)));
    };
    struct tevo_tensor * e4 = fe4(c.ctx, c.l);
    tevo_set_name(e4, "e4");
    struct tevo_tensor * e6 = tevo_add(c.ctx, tevo_view_tensor(c.ctx, c.l.x), e4);
    struct tevo_tensor * y1 = tevo_mul(c.ctx, c.l.w, e6);
    struct tevo_cgraph * g1 = c.graph(y1);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g1));
    struct tevo_tensor * y2 = tevo_mul(c.ctx, tevo_add(c.ctx, e6, c.l.b), tevo_sqr(c.ctx, e4));
    struct tevo_cgraph * g2 = c.graph(y2);
    expect_own_sources(g2, "built after the allocation");
    c.set_inputs(g1, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g1), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y1), c.want(f1, 1));
    if (lc.variant == 'f') {
        tevo_backend_sched_free(sched);
        sched = r.sched(lc.parallel);
    }
    tevo_backend_sched_reset(sched);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g2));
    c.set_inputs(g2, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g2), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y2), c.want(f2, 2));
    for (int i = 0; i < g2->n_leafs; i++) {
        EXPECT_EQ(std::string(g2->leafs[i]->name).find('#'), std::string::npos) << g2->leafs[i]->name;
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// the error lines logged while it lives
struct error_log {
    std::string text;
    error_log() { tevo_log_set(capture, this); }
    ~error_log() { tevo_log_set(nullptr, nullptr); }
    static void capture(enum tevo_log_level level, const char * t, void * user) {
        if (level == TEVO_LOG_LEVEL_ERROR) {
            ((error_log *) user)->text += t;
        }
    }
    // whether a line naming the call has come since the last take
    bool take(const char * call) {
        const bool found = text.find(call) != std::string::npos;
        text.clear();
        return found;
    }
};

// b in memory of the caller's own, with the values of step k
struct caller_b {
    struct tevo_context * ctx;
    tevo_backend_buffer_t buf;
    caller_b(caller & c) {
        ctx   = metatest::no_alloc_ctx(4);
        c.l.b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, c.n);
        tevo_set_name(c.l.b, "b");
        buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    }
    ~caller_b() {
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
    }
};

// A second scheduler splits a graph holding an input the first placed and
// set, and gives it no memory: its allocation fails (variant 'a': a view of
// a tensor it placed itself), or it only sizes its buffers with the first
// one's graph (r: reserve, s: reserve_size). The first one's compute fails
// with a log line, and computes once allocated again.
void input_taken_without_memory(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder f = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, l.x, 2.0f); };
    struct tevo_tensor * y  = f(c.ctx, c.l);
    struct tevo_cgraph * gf = c.graph(y);

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gf));
    c.set_inputs(gf, 1);

    if (lc.variant == 'a') {
        struct tevo_tensor * m  = tevo_scale(c.ctx, c.l.b, 3.0f);
        struct tevo_cgraph * gm = c.graph(m);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gm));
        tevo_backend_sched_reset(s2);
        struct tevo_tensor * yv = tevo_add(c.ctx, tevo_view_tensor(c.ctx, m), c.l.x);
        error_log log;
        EXPECT_FALSE(tevo_backend_sched_alloc_graph(s2, c.graph(yv)));
        EXPECT_TRUE(log.take("tevo_backend_sched_alloc_graph"));
    } else if (lc.variant == 'r') {
        ASSERT_TRUE(tevo_backend_sched_reserve(s2, gf));
    } else {
        std::vector<size_t> sizes(r.list.size());
        tevo_backend_sched_reserve_size(s2, gf, sizes.data());
    }
    expect_own_sources(gf, "after the second scheduler's split");

    {
        error_log log;
        EXPECT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_FAILED);
        EXPECT_TRUE(log.take("tevo_backend_sched_graph_compute"));
    }
    expect_own_sources(gf, "after the refused compute");
    tevo_backend_sched_reset(s1);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gf));
    c.set_inputs(gf, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(f, 2));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
}

// A scheduler whose graph lost only a node to another scheduler allocates
// it again and computes with the input set before the compute (variant 'b':
// set before the other scheduler's calls, 'a': after them).
void lost_node_keeps_the_inputs(const lifetime_case & lc) {
    rig      r(lc.s);
    caller   c(r, 64);
    caller_b cb(c);
    // x is the input, b the caller's memory
    builder fn = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, l.b, 2.0f); };
    builder f  = [&](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, fn(ctx, l), l.x); };
    struct tevo_tensor * n  = fn(c.ctx, c.l);
    tevo_set_name(n, "n");
    struct tevo_tensor * y  = tevo_mul(c.ctx, n, c.l.x);
    struct tevo_cgraph * gf = c.graph(y);
    struct tevo_cgraph * gn = c.graph(n);
    auto set_all = [&](int k) {
        set_f32(c.l.b, values(c.n, k).b);
        c.set_inputs(gf, k);
    };

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gf));
    set_all(1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(f, 1));
    if (lc.variant == 'b') {
        set_all(2);
    }
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gn));
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gn), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(n), c.want(fn, lc.variant == 'b' ? 2 : 1));
    if (lc.variant != 'b') {
        set_all(2);
    }
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gf), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y), c.want(f, 2));
    expect_own_sources(gf, "after the compute");
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
}

// After a reset, a query changes nothing: the graph allocated computes where
// it is, with the inputs set before the reset (variant 'q'). A pin (p) may
// make it split again: it then computes right too, or fails with a log line.
// So does a pin after a compute of the graph kept through a reset (k: a node
// of the graph; o: of another graph, then a reset). After an asynchronous
// compute, a query (a) or a pin (b) waits for it and gives the nodes their
// own sources back.
void query_or_pin_after_a_reset(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fx = [](tevo_context * ctx, const leaves & l) { return tevo_add(ctx, tevo_scale(ctx, l.x, 2.0f), l.x); };
    // with a weight, so that a device's split reads copies
    builder fw = [](tevo_context * ctx, const leaves & l) {
        return tevo_add(ctx, tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w), l.x);
    };
    const bool           plain = lc.variant == 'q' || lc.variant == 'p';
    const builder &      f     = plain ? fx : fw;
    struct tevo_tensor * y     = f(c.ctx, c.l);
    struct tevo_cgraph * gf    = c.graph(y);
    struct tevo_tensor * other = tevo_scale(c.ctx, c.l.b, 5.0f);
    c.graph(other);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    for (int k = 1; k <= 2; k++) {
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gf));
        c.set_inputs(gf, k);
        if (lc.variant == 'a' || lc.variant == 'b') {
            ASSERT_EQ(tevo_backend_sched_graph_compute_async(sched, gf), TEVO_STATUS_SUCCESS);
            if (lc.variant == 'a') {
                tevo_backend_sched_get_tensor_backend(sched, y);
            } else {
                tevo_backend_sched_set_tensor_backend(sched, y->src[0], r.cpu);
            }
            expect_own_sources(gf, "after the call that followed the asynchronous compute");
            tevo_backend_sched_synchronize(sched);
            EXPECT_EQ(get_f32(y), c.want(f, k)) << k;
            tevo_backend_sched_reset(sched);
            continue;
        }
        tevo_backend_sched_reset(sched);
        if (lc.variant == 'k' || lc.variant == 'o') {
            ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS);
            EXPECT_EQ(get_f32(y), c.want(f, k)) << k;
        }
        error_log log;
        if (lc.variant == 'q') {
            // what a reset drops, it drops for the query too
            EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, y), nullptr);
            EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, y->src[0]), nullptr);
        } else if (lc.variant == 'o') {
            tevo_backend_sched_set_tensor_backend(sched, other, r.cpu);
            tevo_backend_sched_reset(sched);
        } else {
            tevo_backend_sched_set_tensor_backend(sched, y->src[0], r.cpu);
        }
        const enum tevo_status st = tevo_backend_sched_graph_compute(sched, gf);
        if (lc.variant == 'q' || st != TEVO_STATUS_FAILED) {
            ASSERT_EQ(st, TEVO_STATUS_SUCCESS);
            EXPECT_EQ(get_f32(y), c.want(f, k)) << k;
        } else {
            EXPECT_TRUE(log.take("tevo_backend_sched_graph_compute"));
        }
        expect_own_sources(gf, "after the compute");
        tevo_backend_sched_reset(sched);
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// A view pinned to another backend than its source's reads the source where
// it is, or the allocation fails with a log line: the first half of e pinned
// to the first device (variant 'd'), or to the CPU while the scale runs on
// the second device (c).
void pinned_view(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 32);
    const int64_t h = c.n / 2;
    builder f = [h](tevo_context * ctx, const leaves & l) {
        struct tevo_tensor * e  = tevo_sqr(ctx, l.x);
        struct tevo_tensor * v1 = tevo_view_1d(ctx, e, h, 0);
        struct tevo_tensor * v2 = tevo_view_1d(ctx, e, h, h * sizeof(float));
        struct tevo_tensor * s  = tevo_add(ctx, v1, v2);
        return tevo_concat(ctx, s, tevo_scale(ctx, s, 0.5f), 0);
    };
    struct tevo_tensor * y  = f(c.ctx, c.l);
    struct tevo_tensor * sc = y->src[1];
    struct tevo_tensor * v1 = y->src[0]->src[0];
    ASSERT_EQ(v1->op, TEVO_OP_VIEW);
    struct tevo_cgraph * gf = c.graph(y);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    for (int k = 1; k <= 2; k++) {
        tevo_backend_sched_reset(sched);
        if (lc.variant == 'd') {
            tevo_backend_sched_set_tensor_backend(sched, v1, &r.dev->backend);
        } else {
            tevo_backend_sched_set_tensor_backend(sched, v1, r.cpu);
            tevo_backend_sched_set_tensor_backend(sched, sc, &r.dev2->backend);
        }
        error_log log;
        if (!tevo_backend_sched_alloc_graph(sched, gf)) {
            EXPECT_TRUE(log.take("tevo_backend_sched_alloc_graph"));
            expect_own_sources(gf, "after the failed allocation");
            continue;
        }
        c.set_inputs(gf, k);
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gf), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y), c.want(f, k)) << k;
        expect_own_sources(gf, "after the compute");
    }
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// A second allocation without a reset is a reset and an allocation: of the
// same graph (variant 's'), of another (o), or of another after a compute
// of the first (c).
void alloc_twice_without_a_reset(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fg = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    builder fh = [](tevo_context * ctx, const leaves & l) { return tevo_add(ctx, tevo_scale(ctx, l.b, 3.0f), l.x); };
    struct tevo_tensor * yg = fg(c.ctx, c.l);
    struct tevo_cgraph * gg = c.graph(yg);
    struct tevo_tensor * yh = fh(c.ctx, c.l);
    struct tevo_cgraph * gh = c.graph(yh);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gg));
    c.set_inputs(gg, 1);
    if (lc.variant == 'c') {
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gg), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(yg), c.want(fg, 1));
    }
    struct tevo_cgraph * g2 = lc.variant == 's' ? gg : gh;
    struct tevo_tensor * y2 = lc.variant == 's' ? yg : yh;
    const builder &      f2 = lc.variant == 's' ? fg : fh;
    for (int k = 2; k <= 3; k++) {
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g2));
        c.set_inputs(g2, k);
        ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g2), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(get_f32(y2), c.want(f2, k)) << k;
    }
    expect_own_sources(g2, "after the compute");
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// A view of a tensor placed for a scheduler since freed (variant 'f') or
// whose buffers were replaced by a much larger graph (m) is refused by an
// allocation without reading the old buffer's record; sizing buffers with
// that graph (r) reads nothing of it either.
void view_of_a_freed_placement(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    builder fm = [](tevo_context * ctx, const leaves & l) { return tevo_scale(ctx, l.x, 3.0f); };
    struct tevo_tensor * m  = fm(c.ctx, c.l);
    struct tevo_cgraph * gm = c.graph(m);

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gm));
    c.set_inputs(gm, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, gm), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(m), c.want(fm, 1));

    struct tevo_context * lctx = nullptr;
    if (lc.variant == 'm') {
        lctx = metatest::no_alloc_ctx(16);
        struct tevo_tensor * big = tevo_new_tensor_1d(lctx, TEVO_TYPE_F32, 1 << 18);
        tevo_set_input(big);
        struct tevo_cgraph * gl = tevo_new_graph(lctx);
        tevo_build_forward_expand(gl, tevo_scale(lctx, tevo_sqr(lctx, big), 2.0f));
        tevo_backend_sched_reset(s1);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, gl));
    } else {
        tevo_backend_sched_free(s1);
        s1 = nullptr;
    }

    struct tevo_tensor * yv = tevo_add(c.ctx, tevo_view_tensor(c.ctx, m), c.l.b);
    struct tevo_cgraph * gv = c.graph(yv);
    if (lc.variant == 'r') {
        ASSERT_TRUE(tevo_backend_sched_reserve(s2, gv));
        std::vector<size_t> sizes(r.list.size());
        tevo_backend_sched_reserve_size(s2, gv, sizes.data());
    }
    {
        error_log log;
        EXPECT_FALSE(tevo_backend_sched_alloc_graph(s2, gv));
        EXPECT_TRUE(log.take("tevo_backend_sched_alloc_graph"));
    }
    expect_own_sources(gv, "after the refused allocation");

    // the tensor placed anew is read again
    tevo_backend_sched_reset(s2);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, gm));
    c.set_inputs(gm, 2);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, gm), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(m), c.want(fm, 2));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
    tevo_free(lctx);
}

// Records made anew at the addresses of an earlier split's (a context freed
// and built again in the same memory) are assigned afresh by the next
// allocation, even with no reset since that split: a sizing of the earlier
// graph (variant 's'), its allocation the device refused (r), or a compute
// of it kept through a reset that failed, as another scheduler took its
// input (f). The node that ran on the device is a square now, which the
// device leaves to the CPU.
void records_made_anew_in_place(const lifetime_case & lc) {
    rig    r(lc.s);
    caller c(r, 64);
    std::vector<char> mem(64 * tevo_tensor_overhead() + tevo_graph_overhead());
    const struct tevo_init_params params = { mem.size(), mem.data(), true };
    builder f1 = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_scale(ctx, l.x, 2.0f), l.w); };
    builder f2 = [](tevo_context * ctx, const leaves & l) { return tevo_mul(ctx, tevo_sqr(ctx, l.x), l.w); };
    auto build = [&](const builder & f, struct tevo_context * ctx, struct tevo_tensor ** out) {
        leaves l = c.l;
        l.x      = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, c.n);
        tevo_set_input(l.x);
        *out                    = f(ctx, l);
        struct tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, *out);
        return std::make_pair(gf, l.x);
    };

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    struct tevo_context * ctx = tevo_init(params);
    struct tevo_tensor *  y1  = nullptr;
    auto                  g1  = build(f1, ctx, &y1);
    if (lc.variant == 's') {
        std::vector<size_t> sizes(r.list.size());
        tevo_backend_sched_reserve_size(sched, g1.first, sizes.data());
    } else if (lc.variant == 'f') {
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g1.first));
        tevo_backend_sched_reset(sched);
        tevo_backend_sched_t other = r.sched(lc.parallel);
        ASSERT_TRUE(tevo_backend_sched_alloc_graph(other, g1.first));
        tevo_backend_sched_free(other);
        EXPECT_EQ(tevo_backend_sched_graph_compute(sched, g1.first), TEVO_STATUS_FAILED);
    } else {
        r.dev->cfg.refuse_buffers = true;
        EXPECT_FALSE(tevo_backend_sched_alloc_graph(sched, g1.first));
        r.dev->cfg.refuse_buffers = false;
    }
    EXPECT_EQ(tevo_backend_sched_get_tensor_backend(sched, y1->src[0]), &r.dev->backend);
    tevo_free(ctx);

    ctx                      = tevo_init(params);
    struct tevo_tensor * y2  = nullptr;
    auto                 g2  = build(f2, ctx, &y2);
    ASSERT_EQ((void *) y2->src[0], (void *) y1->src[0]);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g2.first));
    const values v(c.n, 1);
    set_f32(g2.second, v.x);
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g2.first), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(y2), fresh(r.cpu, c.n, f2, v));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
    tevo_free(ctx);
}

// An allocation refused for a view of memory no scheduler holds leaves the
// graph allocator's plan to the graph before it: the next graph, whose
// backends are the refused one's but whose nodes are shaped as the planned
// one's, is placed for its own backends.
void refused_allocation_keeps_the_plan(const lifetime_case & lc) {
    rig      r(lc.s);
    caller   c(r, 64);
    caller_b cb(c);
    set_f32(c.l.b, values(c.n, 1).b);
    builder fk = [](tevo_context * ctx, const leaves & l) { return tevo_sum(ctx, l.w); };
    builder fg = [](tevo_context * ctx, const leaves & l) { return tevo_sum(ctx, l.b); };
    struct tevo_tensor * m  = tevo_scale(c.ctx, c.l.x, 3.0f);
    struct tevo_cgraph * gm = c.graph(m);
    struct tevo_tensor * yk = fk(c.ctx, c.l);
    struct tevo_cgraph * gk = c.graph(yk);
    struct tevo_tensor * yg = fg(c.ctx, c.l);
    struct tevo_cgraph * gg = c.graph(yg);

    tevo_backend_sched_t sched = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gm));
    tevo_backend_sched_reset(sched);
    // planned with the sum on the device, where the weight is
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gk));
    ASSERT_NE(tevo_backend_sched_get_tensor_backend(sched, yk), r.cpu);
    tevo_backend_sched_reset(sched);
    struct tevo_tensor * yv = tevo_add(c.ctx, tevo_view_tensor(c.ctx, m), c.l.x);
    EXPECT_FALSE(tevo_backend_sched_alloc_graph(sched, c.graph(yv)));
    tevo_backend_sched_reset(sched);

    // the sum of the caller's b runs on the CPU, into memory the CPU uses
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, gg));
    ASSERT_EQ(tevo_backend_sched_get_tensor_backend(sched, yg), r.cpu);
    EXPECT_TRUE(tevo_backend_supports_buft(r.cpu, yg->buffer->buft));
    ASSERT_EQ(tevo_backend_sched_graph_compute(sched, gg), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(yg), c.want(fg, 1));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(sched);
}

// A view of a tensor outside the graph that another scheduler holds lives
// where that tensor's memory is, also when this scheduler pinned the tensor
// elsewhere: on the CPU and pinned to the device (variant 'c'), or on the
// device and pinned to the CPU (d).
void view_of_a_pinned_outside_tensor(const lifetime_case & lc) {
    rig      r(lc.s);
    caller   c(r, 64);
    caller_b cb(c);
    set_f32(c.l.b, values(c.n, 1).b);
    const bool on_cpu = lc.variant == 'c';
    builder    fa     = [on_cpu](tevo_context * ctx, const leaves & l) {
        struct tevo_tensor * s = tevo_scale(ctx, l.x, 2.0f);
        return on_cpu ? s : tevo_mul(ctx, s, l.w);
    };
    // the reader runs on the device by its weight, or on the CPU
    builder fb = [&](tevo_context * ctx, const leaves & l) {
        return tevo_add(ctx, fa(ctx, l), on_cpu ? l.w : l.b);
    };
    struct tevo_tensor * a  = fa(c.ctx, c.l);
    struct tevo_cgraph * ga = c.graph(a);
    struct tevo_tensor * yb = tevo_add(c.ctx, tevo_view_tensor(c.ctx, a), on_cpu ? c.l.w : c.l.b);
    struct tevo_cgraph * gb = c.graph(yb);
    // more nodes than the reader alone, so the graph allocator's set has
    // room for the source outside the graph too
    struct tevo_tensor * yo = tevo_scale(c.ctx, yb, 1.0f);
    struct tevo_cgraph * go = c.graph(yo);
    (void) gb;

    tevo_backend_sched_t s1 = r.sched(lc.parallel);
    tevo_backend_sched_t s2 = r.sched(lc.parallel);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s2, ga));
    c.set_inputs(ga, 1);
    ASSERT_EQ(tevo_backend_sched_graph_compute(s2, ga), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(a), c.want(fa, 1));
    ASSERT_EQ(tevo_backend_sched_get_tensor_backend(s2, a), on_cpu ? r.cpu : r.list[0]);

    tevo_backend_sched_set_tensor_backend(s1, a, on_cpu ? r.list[0] : r.cpu);
    ASSERT_TRUE(tevo_backend_sched_alloc_graph(s1, go));
    ASSERT_EQ(tevo_backend_sched_graph_compute(s1, go), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(get_f32(yb), c.want(fb, 1));
    EXPECT_EQ(r.n_bad_source(), 0);
    tevo_backend_sched_free(s1);
    tevo_backend_sched_free(s2);
}

void run_case(const lifetime_case & lc) {
    switch (lc.item) {
        case 1: failed_allocation_is_retried(lc); break;
        case 2: compute_computes_the_graph_given(lc); break;
        case 3: inputs_survive_a_reset(lc); break;
        case 4: two_schedulers_keep_apart(lc); break;
        case 5: view_of_another_schedulers_tensor(lc); break;
        case 6: shared_node_of_an_uncomputed_graph(lc); break;
        case 7: input_outlives_the_first_scheduler(lc); break;
        case 9: graph_built_while_another_is_allocated(lc); break;
        case 10: input_taken_without_memory(lc); break;
        case 11: lost_node_keeps_the_inputs(lc); break;
        case 12: query_or_pin_after_a_reset(lc); break;
        case 13: pinned_view(lc); break;
        case 14: alloc_twice_without_a_reset(lc); break;
        case 15: view_of_a_freed_placement(lc); break;
        case 16: records_made_anew_in_place(lc); break;
        case 17: refused_allocation_keeps_the_plan(lc); break;
        case 18: view_of_a_pinned_outside_tensor(lc); break;
        default: FAIL() << "no case " << lc.item;
    }
}

class SchedLifetime : public ::testing::TestWithParam<lifetime_case> {};

TEST_P(SchedLifetime, ComputesAsAFreshGraphAndLeavesTheCallersGraphItsOwn) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    unsetenv("TEVO_SCHED_DEBUG");
    unsetenv("TEVO_SCHED_DEBUG_REALLOC");
    run_case(GetParam());
}

std::vector<lifetime_case> cases() {
    std::vector<lifetime_case> list;
    // item: failed allocation (c: by a compute), compute of another graph
    // (f: the first one's records freed), reset between allocation and
    // compute (b: inputs set before the reset), two schedulers sharing nodes
    // (i: and an input), a view of another scheduler's tensor (o: its
    // source outside the graph), a node shared with an uncomputed graph, an
    // input in another scheduler's memory (f: freed, m: moved on, k: both
    // keep the graph), a graph built while another is allocated (f: split on
    // a new scheduler); an input taken without memory by a second
    // scheduler's failed allocation, reserve or reserve_size; a node lost to
    // another scheduler (b: inputs set before its calls); a query or a pin
    // after a reset (k, o: after a compute of the graph kept; a, b: after an
    // asynchronous compute); a view pinned away from its source (d: to the
    // device, c: to the CPU with the scale on the second device); a second
    // allocation without a reset (s: of the same graph, o: of another, c:
    // after a compute); a view of a placement freed (f), moved (m) or sized
    // with (r); records made anew where an earlier split's were, after that
    // graph was sized (s), refused (r) or failed to compute (f); an
    // allocation refused between two others; a view of a tensor outside the
    // graph pinned away from its memory (c: from the CPU, d: from the
    // device). Setups: c CPU, d device, m meta, 2 two devices.
    const struct {
        int          item;
        const char * variants;
        const char * setups;
    } items[] = { { 1, "ca", "d" }, { 2, "fk", "cdm" }, { 3, "ba", "cdm" }, { 4, "ic", "cdm" }, { 5, "ov", "cdm" },
                  { 6, "-", "cdm" }, { 7, "fmk", "cdm" }, { 9, "fk", "cdm" }, { 10, "ars", "cdm2" },
                  { 11, "ba", "cdm2" }, { 12, "qpkoab", "cdm2" }, { 13, "d", "d2" }, { 13, "c", "2" },
                  { 14, "soc", "cdm2" }, { 15, "fmr", "cdm2" }, { 16, "srf", "d2" },
                  { 17, "-", "dm2" }, { 18, "cd", "dm2" } };
    for (const auto & it : items) {
        for (const char * sc = it.setups; *sc != '\0'; sc++) {
            const setup s = *sc == 'c' ? CPU : *sc == 'd' ? DEV : *sc == 'm' ? META : DEV2;
            for (bool parallel : { false, true }) {
                for (const char * v = it.variants; *v != '\0'; v++) {
                    list.push_back({ it.item, s, parallel, *v });
                }
            }
        }
    }
    return list;
}

std::string case_name(const ::testing::TestParamInfo<lifetime_case> & info) {
    const lifetime_case & lc = info.param;
    std::string name = "item" + std::to_string(lc.item) + "_" + setup_name(lc.s) + (lc.parallel ? "_parallel" : "");
    if (lc.variant != '-') {
        name += std::string("_") + lc.variant;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, SchedLifetime, ::testing::ValuesIn(cases()), case_name);

} // namespace
