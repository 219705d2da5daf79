#pragma once

// Random sequences of scheduler calls, each checked against the same graph
// computed afresh on one CPU backend. A sequence is drawn from a chooser (a
// seeded generator in the test, a fuzzer's bytes in the fuzz target) over a
// pool of leaves: weights in the first backend's memory and in host memory,
// inputs in the caller's host buffer and inputs the scheduler places. Graphs
// of 2-8 new nodes share leaves, nodes and views with the graphs before them,
// and are built on nodes of graphs computed, or allocated and never computed.
//
// Steps: build a graph; reset, allocate, set the inputs and compute; allocate
// only; compute alone (which allocates when the graph is not the one
// allocated); reset; reserve; reserve_size; an allocation the device refuses,
// then the same graph once it allows again; new values of the caller's
// leaves; a scheduler freed and made again; the graphs' context freed and
// rebuilt at the same or at a new address, with or without the leaves. One or
// two schedulers take the steps in turn.
//
// What must hold: no call aborts; when a call returns, every node of every
// graph reads the caller's own tensors; a compute that returns success gives
// every output the fresh CPU graph's values, exactly. A failure is accepted
// only while the device refuses buffers, or from a compute of the graph a
// scheduler holds after another scheduler has split a graph sharing its
// tensors. Inputs the scheduler places are set only after the allocation the
// compute uses (or after a reset that follows it); outputs that read inputs
// not set so are not compared.

#include "meta-test-devices.h"
#include "sched-test-backends.h"
#include "tevo-alloc.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "tevo-meta.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace schedrandom {

enum setup_kind { SETUP_CPU, SETUP_DEV, SETUP_META2, SETUP_META3 };

inline const char * setup_name(setup_kind s) {
    switch (s) {
        case SETUP_CPU: return "cpu";
        case SETUP_DEV: return "dev";
        case SETUP_META2: return "meta2";
        case SETUP_META3: return "meta3";
    }
    return "?";
}

// where the choices come from: a seeded generator, or bytes (0 once they run out)
struct chooser {
    std::mt19937 *  rng  = nullptr;
    const uint8_t * data = nullptr;
    size_t          size = 0;
    size_t          pos  = 0;
    bool            exhausted = false;

    int pick(int n) {
        if (n <= 1) {
            return 0;
        }
        if (rng != nullptr) {
            return (int) ((*rng)() % (uint32_t) n);
        }
        if (pos >= size) {
            exhausted = true;
            return 0;
        }
        return data[pos++] % n;
    }
    bool chance(int percent) { return pick(100) < percent; }
};

constexpr int64_t W = 8;  // every row has W elements; matrices are W x W
constexpr int     MAX_MEMBERS = 40; // tensors of one graph, leaves included
constexpr int     MAX_LIVE    = 8;  // graphs the steps choose from
constexpr int     SCHED_GRAPH_SIZE = 256;
constexpr int     CTX_TENSORS = 640; // per generation of the graphs' context
constexpr int     CTX_GRAPHS  = 40;

enum leaf_kind { LEAF_WEIGHT, LEAF_HOST_WEIGHT, LEAF_CALLER_INPUT, LEAF_SCHED_INPUT };

struct leaf_def {
    const char * name;
    leaf_kind    kind;
    int64_t      ne1;
};

// the leaves, recipes 0..N_LEAVES-1
constexpr leaf_def LEAVES[] = {
    { "w0", LEAF_WEIGHT, W },        { "w1", LEAF_WEIGHT, W },       { "wr", LEAF_WEIGHT, 1 },
    { "hw", LEAF_HOST_WEIGHT, W },   { "ci", LEAF_CALLER_INPUT, W }, { "cr", LEAF_CALLER_INPUT, 1 },
    { "si", LEAF_SCHED_INPUT, W },   { "sr", LEAF_SCHED_INPUT, 1 },
};
constexpr int N_LEAVES = (int) (sizeof(LEAVES) / sizeof(LEAVES[0]));

enum op_kind { R_LEAF, R_ADD, R_MUL, R_SCALE, R_SQR, R_NEG, R_SUM, R_MUL_MAT, R_ROW, R_TRANSPOSE, R_CONT };

inline const char * op_name(op_kind op) {
    static const char * names[] = { "leaf", "add", "mul", "scale", "sqr", "neg", "sum", "mul_mat", "row", "transpose",
                                    "cont" };
    return names[op];
}

// how to build one tensor, in any context
struct recipe {
    op_kind          op;
    int              a     = -1;
    int              b     = -1;
    int              param = 0; // leaf index, row, or scale index
    int64_t          ne0   = W;
    int64_t          ne1   = W;
    bool             contiguous = true;
    std::vector<int> closure;   // itself and every recipe it reads, sorted
    bool             sched_input = false; // reads an input the scheduler places
};

constexpr float SCALES[] = { 0.5f, 2.0f, -1.5f, 0.25f };

struct graph_rec {
    int                id;
    std::vector<int>   outs;
    std::vector<int>   members; // closure of the outputs
    std::vector<int>   shared;  // members the caller did not place: what another scheduler may take
    struct tevo_cgraph * gf = nullptr;
    std::vector<struct tevo_tensor *> nodes; // the graph's nodes as built
};

struct sched_state {
    tevo_backend_sched_t s        = nullptr;
    bool                 parallel = false;
    int  cur         = -1;    // graph it allocated last, while that allocation may still be used
    bool disturbed   = false; // another scheduler split a graph sharing cur's tensors since
    bool rebuilt     = false; // cur was rebuilt in place since: to the scheduler it may be the same graph
    bool maybe_alloc = false; // may hold an allocation: reset before allocating
    bool dirty       = false; // a failure or a rebuild since the last reset
};

// whether the device's plain loops compute the node: contiguous F32 with the
// broadcasts they know (a whole operand, one row, one element)
inline bool dev_accepts(const struct tevo_tensor * node) {
    if (schedtest::is_view_op(node->op)) {
        return true;
    }
    if (!tevo_is_contiguous(node)) {
        return false;
    }
    for (int j = 0; j < TEVO_MAX_SRC; j++) {
        if (node->src[j] != nullptr && !tevo_is_contiguous(node->src[j])) {
            return false;
        }
    }
    if (node->op == TEVO_OP_ADD || node->op == TEVO_OP_MUL) {
        const struct tevo_tensor * b  = node->src[1];
        const int64_t              nb = tevo_nelements(b);
        return nb == tevo_nelements(node) || nb == 1 || (b->ne[0] == node->ne[0] && nb == b->ne[0]);
    }
    return true;
}

class runner {
  public:
    runner(setup_kind setup, chooser & ch) : setup(setup), ch(ch) {}

    // prints every step as it starts (to see where a run stops)
    bool verbose = false;

    ~runner() {
        for (sched_state & st : scheds) {
            tevo_backend_sched_free(st.s);
        }
        free_graph_ctx();
        free(arena);
        free_leaves();
        tevo_backend_free(ref_cpu);
        tevo_backend_free(cpu);
        tevo_backend_free(meta);
    }

    // runs up to max_steps steps (fewer when the chooser runs out); "" when
    // every step held, else what broke and the steps that led there
    std::string run(int max_steps) {
        make_backends();
        make_leaves();
        const int n_scheds = 1 + ch.pick(2);
        for (int i = 0; i < n_scheds; i++) {
            scheds.emplace_back();
            make_sched(scheds.back());
        }
        std::string what = "setup " + std::string(setup_name(setup)) + ":";
        for (const sched_state & st : scheds) {
            what += st.parallel ? " parallel scheduler" : " scheduler";
        }
        trace(what + (dev && dev->cfg.events ? ", device events" : ""));
        new_graph_ctx(false);
        for (step = 0; step < max_steps && failure.empty() && !ch.exhausted; step++) {
            one_step();
        }
        if (failure.empty()) {
            return "";
        }
        std::string text = failure + "\nsteps:\n";
        const size_t first = log.size() > 25 ? log.size() - 25 : 0;
        for (size_t i = first; i < log.size(); i++) {
            text += "  " + log[i] + "\n";
        }
        return text;
    }

  private:
    setup_kind setup;
    chooser &  ch;
    int        step = 0;

    // backends
    std::unique_ptr<schedtest::device> dev;
    tevo_backend_t              meta    = nullptr;
    tevo_backend_t              cpu     = nullptr;
    tevo_backend_t              ref_cpu = nullptr;
    std::vector<tevo_backend_t> list;
    tevo_backend_buffer_type_t  weight_buft = nullptr;

    // the caller's leaves
    struct tevo_context *             leaf_ctx[3] = {};
    tevo_backend_buffer_t             leaf_buf[3] = {};
    std::array<struct tevo_tensor *, N_LEAVES> caller_leaf = {};
    std::vector<std::vector<float>>   values; // per leaf

    // recipes and graphs
    std::vector<recipe>    recipes;
    std::vector<graph_rec> graphs; // live ones
    int                    n_graphs_made = 0;

    // the graphs' context, one generation at a time
    char *                 arena = nullptr;
    size_t                 arena_size = 0;
    struct tevo_context *  gctx  = nullptr;
    int                    gen_tensors = 0;
    int                    gen_graphs  = 0;
    std::vector<struct tevo_tensor *> memo; // tensor of each recipe in this generation
    std::unordered_map<struct tevo_tensor *, std::array<struct tevo_tensor *, TEVO_MAX_SRC>> own_srcs;

    std::vector<sched_state> scheds;

    std::vector<std::string> log;
    std::string              failure;

    // ------------------------------------------------------------------
    // setup

    void make_backends() {
        cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 1);
        ref_cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(ref_cpu, 1);
        weight_buft = tevo_backend_cpu_buffer_type();
        if (setup == SETUP_DEV) {
            schedtest::config dc;
            dc.refused = { TEVO_OP_SQR, TEVO_OP_UNARY, TEVO_OP_SUM, TEVO_OP_MUL_MAT, TEVO_OP_CONT };
            dc.accepts = dev_accepts;
            dc.events  = ch.chance(50);
            dev        = schedtest::make(dc);
            list.push_back(&dev->backend);
            weight_buft = &dev->buft;
        } else if (setup == SETUP_META2 || setup == SETUP_META3) {
            tevo_backend_dev_t mdev = metatest::meta_device(metatest::plain_set(), setup == SETUP_META2 ? 2 : 3);
            meta                    = tevo_backend_dev_init(mdev, nullptr);
            for (size_t j = 0; j < tevo_backend_meta_n_backends(meta); j++) {
                tevo_backend_cpu_set_n_threads(tevo_backend_meta_simple_backend(meta, j), 1);
            }
            list.push_back(meta);
            weight_buft = tevo_backend_dev_buffer_type(mdev);
        }
        list.push_back(cpu);
    }

    void make_sched(sched_state & st) {
        st          = sched_state();
        st.parallel = ch.chance(50);
        st.s = tevo_backend_sched_new(list.data(), nullptr, (int) list.size(), SCHED_GRAPH_SIZE, st.parallel, false);
    }

    std::vector<float> random_values(int64_t n) {
        // magnitudes in [0.5, 2) on a grid of 1/64, either sign
        std::vector<float> v(n);
        for (float & e : v) {
            const int k = 32 + ch.pick(96);
            e           = (ch.chance(50) ? -1.0f : 1.0f) * (float) k / 64.0f;
        }
        return v;
    }

    void make_leaves() {
        values.resize(N_LEAVES);
        for (int i = 0; i < N_LEAVES; i++) {
            recipe r;
            r.op      = R_LEAF;
            r.param   = i;
            r.ne1     = LEAVES[i].ne1;
            r.closure = { i };
            r.sched_input = LEAVES[i].kind == LEAF_SCHED_INPUT;
            recipes.push_back(r);
            values[i] = random_values(W * LEAVES[i].ne1);
        }
        alloc_leaves();
    }

    // the caller's leaves in three buffers: the first backend's memory
    // (weights), host memory (weights), the caller's host buffer (inputs)
    void alloc_leaves() {
        const tevo_backend_buffer_type_t bufts[3] = { weight_buft, tevo_backend_cpu_buffer_type(),
                                                      tevo_backend_cpu_buffer_type() };
        for (int k = 0; k < 3; k++) {
            struct tevo_init_params params = { 8 * tevo_tensor_overhead(), nullptr, true };
            leaf_ctx[k]                    = tevo_init(params);
        }
        for (int i = 0; i < N_LEAVES; i++) {
            const int k = LEAVES[i].kind == LEAF_WEIGHT ? 0 : LEAVES[i].kind == LEAF_HOST_WEIGHT ? 1 :
                          LEAVES[i].kind == LEAF_CALLER_INPUT ? 2 : -1;
            if (k < 0) {
                caller_leaf[i] = nullptr;
                continue;
            }
            struct tevo_tensor * t = tevo_new_tensor_2d(leaf_ctx[k], TEVO_TYPE_F32, W, LEAVES[i].ne1);
            tevo_set_name(t, LEAVES[i].name);
            if (k == 2) {
                tevo_set_input(t);
            }
            caller_leaf[i] = t;
        }
        for (int k = 0; k < 3; k++) {
            leaf_buf[k] = tevo_backend_alloc_ctx_tensors_from_buft(leaf_ctx[k], bufts[k]);
            if (k < 2) {
                tevo_backend_buffer_set_usage(leaf_buf[k], TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
            }
        }
        for (int i = 0; i < N_LEAVES; i++) {
            if (caller_leaf[i] != nullptr) {
                tevo_backend_tensor_set(caller_leaf[i], values[i].data(), 0, tevo_nbytes(caller_leaf[i]));
            }
        }
    }

    void free_leaves() {
        for (int k = 0; k < 3; k++) {
            tevo_backend_buffer_free(leaf_buf[k]);
            tevo_free(leaf_ctx[k]);
            leaf_buf[k] = nullptr;
            leaf_ctx[k] = nullptr;
        }
    }

    // ------------------------------------------------------------------
    // building tensors and graphs

    static size_t ctx_bytes() {
        return CTX_TENSORS * tevo_tensor_overhead() + CTX_GRAPHS * tevo_graph_overhead_custom(64, false);
    }

    void free_graph_ctx() {
        tevo_free(gctx);
        gctx = nullptr;
    }

    // a new generation of the graphs' context, in the same memory or in new
    // memory (the old freed, so a record read after it shows up)
    void new_graph_ctx(bool same_address) {
        if (!same_address || arena == nullptr) {
            // the new memory is taken before the old is freed, so that it
            // really lies elsewhere
            char * old = arena;
            arena_size = ctx_bytes();
            arena      = (char *) malloc(arena_size);
            free(old);
        }
        struct tevo_init_params params = { arena_size, arena, true };
        gctx        = tevo_init(params);
        gen_tensors = 0;
        gen_graphs  = 0;
        memo.assign(recipes.size(), nullptr);
        own_srcs.clear();
    }

    // the tensor of recipe id in ctx; leaf_of gives the leaves
    template <typename LeafOf>
    struct tevo_tensor * build(struct tevo_context * ctx, std::vector<struct tevo_tensor *> & m, int id,
                               LeafOf leaf_of, int * n_made) {
        if (m.size() < recipes.size()) {
            m.resize(recipes.size(), nullptr);
        }
        if (m[id] != nullptr) {
            return m[id];
        }
        const recipe & r = recipes[id];
        struct tevo_tensor * a = r.a >= 0 ? build(ctx, m, r.a, leaf_of, n_made) : nullptr;
        struct tevo_tensor * b = r.b >= 0 ? build(ctx, m, r.b, leaf_of, n_made) : nullptr;
        struct tevo_tensor * t = nullptr;
        switch (r.op) {
            case R_LEAF: t = leaf_of(r.param); break;
            case R_ADD: t = tevo_add(ctx, a, b); break;
            case R_MUL: t = tevo_mul(ctx, a, b); break;
            case R_SCALE: t = tevo_scale(ctx, a, SCALES[r.param]); break;
            case R_SQR: t = tevo_sqr(ctx, a); break;
            case R_NEG: t = tevo_neg(ctx, a); break;
            case R_SUM: t = tevo_sum(ctx, a); break;
            case R_MUL_MAT: t = tevo_mul_mat(ctx, a, b); break;
            case R_ROW: t = tevo_view_2d(ctx, a, W, 1, a->nb[1], (size_t) r.param * a->nb[1]); break;
            case R_TRANSPOSE: t = tevo_transpose(ctx, a); break;
            case R_CONT: t = tevo_cont(ctx, a); break;
        }
        if (r.op != R_LEAF) {
            tevo_format_name(t, "r%d", id);
            (*n_made)++;
        }
        m[id] = t;
        return t;
    }

    struct tevo_tensor * tensor_of(int id) {
        return build(gctx, memo, id, [&](int leaf) { return leaf_tensor(leaf); }, &gen_tensors);
    }

    // the leaves the caller placed are its own; the others live in the graphs' context
    struct tevo_tensor * leaf_tensor(int leaf) {
        if (caller_leaf[leaf] != nullptr) {
            return caller_leaf[leaf];
        }
        struct tevo_tensor * t = tevo_new_tensor_2d(gctx, TEVO_TYPE_F32, W, LEAVES[leaf].ne1);
        tevo_set_name(t, LEAVES[leaf].name);
        tevo_set_input(t);
        gen_tensors++;
        return t;
    }

    // builds g's graph in the current generation
    void build_graph(graph_rec & g) {
        g.gf = tevo_new_graph_custom(gctx, 64, false);
        gen_graphs++;
        for (int o : g.outs) {
            struct tevo_tensor * t = tensor_of(o);
            tevo_set_output(t);
            tevo_build_forward_expand(g.gf, t);
        }
        g.nodes.assign(g.gf->nodes, g.gf->nodes + g.gf->n_nodes);
        for (int i = 0; i < g.gf->n_nodes; i++) {
            struct tevo_tensor * t = g.gf->nodes[i];
            if (own_srcs.count(t) == 0) {
                std::array<struct tevo_tensor *, TEVO_MAX_SRC> s;
                std::copy(t->src, t->src + TEVO_MAX_SRC, s.begin());
                own_srcs[t] = s;
            }
        }
    }

    static std::vector<int> merged(const std::vector<int> & x, const std::vector<int> & y) {
        std::vector<int> r;
        std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(r));
        return r;
    }

    int add_recipe(recipe r) {
        const int id = (int) recipes.size();
        std::vector<int> c = { id };
        if (r.a >= 0) {
            c = merged(c, recipes[r.a].closure);
            r.sched_input = r.sched_input || recipes[r.a].sched_input;
        }
        if (r.b >= 0) {
            c = merged(c, recipes[r.b].closure);
            r.sched_input = r.sched_input || recipes[r.b].sched_input;
        }
        r.closure = c;
        recipes.push_back(r);
        return id;
    }

    // an operand for a new node: a leaf, a node of a live graph (shared) or a
    // node made for this graph; -1 when none fits
    template <typename Fits>
    int pick_operand(const std::vector<int> & fresh, const std::vector<int> & members, Fits fits) {
        std::vector<int> pools[3];
        for (int i = 0; i < N_LEAVES; i++) {
            pools[0].push_back(i);
        }
        for (const graph_rec & g : graphs) {
            for (int id : g.members) {
                if (id >= N_LEAVES) {
                    pools[1].push_back(id);
                }
            }
        }
        pools[2] = fresh;
        // a few tries from a pool chosen at random, then any fitting one
        for (int attempt = 0; attempt < 6; attempt++) {
            const std::vector<int> & p = pools[ch.pick(3)];
            if (p.empty()) {
                continue;
            }
            const int id = p[ch.pick((int) p.size())];
            if (fits(recipes[id]) && (int) merged(members, recipes[id].closure).size() < MAX_MEMBERS - 2) {
                return id;
            }
        }
        for (int k = 0; k < 3; k++) {
            for (int id : pools[k]) {
                if (fits(recipes[id]) && (int) merged(members, recipes[id].closure).size() < MAX_MEMBERS - 2) {
                    return id;
                }
            }
        }
        return -1;
    }

    // one new node over the operands; -1 when the chosen kind has none
    int new_node(const std::vector<int> & fresh, std::vector<int> & members) {
        auto is_mat   = [](const recipe & r) { return r.contiguous && r.ne0 == W && r.ne1 == W; };
        auto is_contig = [](const recipe & r) { return r.contiguous; };
        recipe r;
        switch (ch.pick(10)) {
            case 0:
            case 1:
            case 2: { // add or mul, b the same shape, one row or one element
                r.op = ch.chance(50) ? R_ADD : R_MUL;
                r.a  = pick_operand(fresh, members, is_contig);
                if (r.a < 0) {
                    return -1;
                }
                const recipe & a = recipes[r.a];
                r.b = pick_operand(fresh, members, [&](const recipe & b) {
                    return b.contiguous && ((b.ne0 == a.ne0 && b.ne1 == a.ne1) || (b.ne0 == 1 && b.ne1 == 1) ||
                                            (b.ne0 == a.ne0 && b.ne1 == 1));
                });
                if (r.b < 0) {
                    return -1;
                }
                r.ne0 = a.ne0;
                r.ne1 = a.ne1;
                break;
            }
            case 3:
            case 4:
            case 5: { // scale, sqr, neg
                const int k = ch.pick(3);
                r.op        = k == 0 ? R_SCALE : k == 1 ? R_SQR : R_NEG;
                r.param     = ch.pick(4);
                r.a         = pick_operand(fresh, members, is_contig);
                if (r.a < 0) {
                    return -1;
                }
                r.ne0 = recipes[r.a].ne0;
                r.ne1 = recipes[r.a].ne1;
                break;
            }
            case 6: { // sum
                r.op = R_SUM;
                r.a  = pick_operand(fresh, members, is_contig);
                if (r.a < 0) {
                    return -1;
                }
                r.ne0 = 1;
                r.ne1 = 1;
                break;
            }
            case 7: { // matrix product: [W, W] x [W, n] -> [W, n]
                r.op = R_MUL_MAT;
                r.a  = pick_operand(fresh, members, is_mat);
                r.b  = pick_operand(fresh, members, [](const recipe & b) { return b.contiguous && b.ne0 == W; });
                if (r.a < 0 || r.b < 0) {
                    return -1;
                }
                r.ne1 = recipes[r.b].ne1;
                break;
            }
            case 8: { // a row of a matrix, as a view
                r.op    = R_ROW;
                r.param = ch.pick((int) W);
                r.a     = pick_operand(fresh, members, is_mat);
                if (r.a < 0) {
                    return -1;
                }
                r.ne1 = 1;
                break;
            }
            default: { // cont of a transposed view (made here, or one made before)
                r.op = R_CONT;
                r.a  = pick_operand(fresh, members, [](const recipe & t) { return t.op == R_TRANSPOSE; });
                if (r.a < 0 || ch.chance(50)) {
                    recipe t;
                    t.op = R_TRANSPOSE;
                    t.a  = pick_operand(fresh, members, is_mat);
                    if (t.a < 0) {
                        return -1;
                    }
                    t.contiguous = false;
                    r.a          = add_recipe(t);
                }
                break;
            }
        }
        const int id = add_recipe(r);
        if ((int) merged(members, recipes[id].closure).size() > MAX_MEMBERS) {
            return -1;
        }
        members = merged(members, recipes[id].closure);
        return id;
    }

    void step_build() {
        graph_rec g;
        g.id = n_graphs_made++;
        std::vector<int> fresh;
        std::vector<int> members;
        const int        n_new = 2 + ch.pick(7);
        for (int k = 0; k < n_new; k++) {
            const int id = new_node(fresh, members);
            if (id >= 0) {
                fresh.push_back(id);
            }
        }
        if (fresh.empty()) {
            recipe r;
            r.op = R_ADD;
            r.a  = 0;
            r.b  = 4;
            fresh.push_back(add_recipe(r));
        }
        // the last node, and at times one more: a node of this graph or of another
        g.outs.push_back(fresh.back());
        if (ch.chance(40)) {
            const int extra = pick_operand(fresh, members, [](const recipe & r) { return r.op != R_LEAF; });
            if (extra >= 0 && extra != g.outs[0]) {
                g.outs.push_back(extra);
            }
        }
        for (int o : g.outs) {
            g.members = merged(g.members, recipes[o].closure);
        }
        for (int id : g.members) {
            if (id >= N_LEAVES || LEAVES[id].kind == LEAF_SCHED_INPUT) {
                g.shared.push_back(id);
            }
        }
        const bool full = gen_tensors + 2 * MAX_MEMBERS > CTX_TENSORS || gen_graphs + 1 >= CTX_GRAPHS;
        if (!full) {
            build_graph(g);
        }
        graphs.push_back(g);
        trim_graphs();
        std::string what = "build g" + std::to_string(g.id) + ":";
        for (int id : g.members) {
            if (id >= N_LEAVES) {
                const recipe & r = recipes[id];
                what += " r" + std::to_string(id) + "=" + op_name(r.op) + "(" + operand(r.a) +
                        (r.b >= 0 ? "," + operand(r.b) : "") + ")";
            }
        }
        what += " out";
        for (int o : g.outs) {
            what += " r" + std::to_string(o);
        }
        trace(what);
        if (full) {
            rebuild(ch.chance(50), false, "context full");
        }
    }

    static std::string operand(int id) { return id < N_LEAVES ? LEAVES[id].name : "r" + std::to_string(id); }

    void trim_graphs() {
        while ((int) graphs.size() > MAX_LIVE) {
            graphs.erase(graphs.begin());
        }
    }

    // ------------------------------------------------------------------
    // checks

    void trace(const std::string & what) {
        log.push_back(std::to_string(step) + ": " + what);
        if (verbose) {
            fprintf(stderr, "%s\n", log.back().c_str());
        }
    }

    // more of the last step's line
    void note(const std::string & what) {
        log.back() += what;
        if (verbose && !what.empty()) {
            fprintf(stderr, "    ...%s\n", what.c_str());
        }
    }

    void fail(const std::string & what) {
        if (failure.empty()) {
            failure = "step " + std::to_string(step) + ": " + what;
        }
    }

    // every node of every graph of this generation reads the caller's tensors
    void check_graphs(const char * after) {
        for (const graph_rec & g : graphs) {
            if (g.gf == nullptr) {
                continue;
            }
            if (g.gf->n_nodes != (int) g.nodes.size() ||
                !std::equal(g.nodes.begin(), g.nodes.end(), g.gf->nodes)) {
                fail(std::string("after ") + after + ": the nodes of g" + std::to_string(g.id) + " changed");
                return;
            }
        }
        for (const auto & [t, srcs] : own_srcs) {
            for (int j = 0; j < TEVO_MAX_SRC; j++) {
                if (t->src[j] != srcs[j]) {
                    fail(std::string("after ") + after + ": node " + t->name + " reads " +
                         (t->src[j] ? t->src[j]->name : "nothing") + " instead of " +
                         (srcs[j] ? srcs[j]->name : "nothing"));
                    return;
                }
            }
        }
        if (dev && dev->n_bad_source != 0) {
            fail(std::string("after ") + after + ": the device read a source from memory it cannot use");
            dev->n_bad_source = 0;
        }
    }

    bool shares(int ga, int gb) const {
        const graph_rec * a = find_graph(ga);
        const graph_rec * b = find_graph(gb);
        if (a == nullptr || b == nullptr) {
            return true; // a graph the steps no longer choose: what it held is not kept
        }
        std::vector<int> common;
        std::set_intersection(a->shared.begin(), a->shared.end(), b->shared.begin(), b->shared.end(),
                              std::back_inserter(common));
        return !common.empty();
    }

    const graph_rec * find_graph(int id) const {
        for (const graph_rec & g : graphs) {
            if (g.id == id) {
                return &g;
            }
        }
        return nullptr;
    }

    // scheduler si splits g: another scheduler holding a graph that shares
    // tensors with g may find them placed anew
    void touch(int si, int g) {
        for (int k = 0; k < (int) scheds.size(); k++) {
            if (k != si && scheds[k].cur >= 0 && (scheds[k].cur == g || shares(scheds[k].cur, g))) {
                scheds[k].disturbed = true;
            }
        }
    }

    // the outputs computed afresh on the reference CPU backend
    std::vector<std::vector<float>> reference(const graph_rec & g) {
        struct tevo_init_params params = { (MAX_MEMBERS + 8) * tevo_tensor_overhead() +
                                               tevo_graph_overhead_custom(64, false),
                                           nullptr, true };
        struct tevo_context *              ctx = tevo_init(params);
        std::vector<struct tevo_tensor *>  m;
        std::vector<struct tevo_tensor *>  leaves(N_LEAVES, nullptr);
        int                                n_made = 0;
        auto leaf_of = [&](int leaf) {
            leaves[leaf] = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, W, LEAVES[leaf].ne1);
            return leaves[leaf];
        };
        struct tevo_cgraph * gf = tevo_new_graph_custom(ctx, 64, false);
        std::vector<struct tevo_tensor *> outs;
        for (int o : g.outs) {
            outs.push_back(build(ctx, m, o, leaf_of, &n_made));
            tevo_build_forward_expand(gf, outs.back());
        }
        tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
        for (int i = 0; i < N_LEAVES; i++) {
            if (leaves[i] != nullptr) {
                tevo_backend_tensor_set(leaves[i], values[i].data(), 0, tevo_nbytes(leaves[i]));
            }
        }
        std::vector<std::vector<float>> r;
        if (tevo_backend_graph_compute(ref_cpu, gf) != TEVO_STATUS_SUCCESS) {
            fail("the reference graph failed");
        }
        for (struct tevo_tensor * t : outs) {
            r.emplace_back(tevo_nelements(t));
            tevo_backend_tensor_get(t, r.back().data(), 0, tevo_nbytes(t));
        }
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
        return r;
    }

    // exact; the sign of a zero and the payload of a NaN are left to the kernels
    static bool same(float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); }

    // the outputs of g against the fresh graph; outputs that read inputs the
    // scheduler placed are skipped unless those were set for this compute
    void compare(const graph_rec & g, bool inputs_known, const std::string & what) {
        const std::vector<std::vector<float>> ref = reference(g);
        for (size_t k = 0; k < g.outs.size() && failure.empty(); k++) {
            const recipe & r = recipes[g.outs[k]];
            if (r.sched_input && !inputs_known) {
                continue;
            }
            struct tevo_tensor * t = memo[g.outs[k]];
            if (t->buffer == nullptr || t->data == nullptr) {
                fail(what + ": output r" + std::to_string(g.outs[k]) + " has no memory");
                return;
            }
            std::vector<float> got(tevo_nelements(t));
            tevo_backend_tensor_get(t, got.data(), 0, tevo_nbytes(t));
            for (size_t i = 0; i < got.size(); i++) {
                if (!same(got[i], ref[k][i])) {
                    char text[160];
                    snprintf(text, sizeof(text), ": output r%d [%zu] is %.9g, the fresh graph gives %.9g",
                             g.outs[k], i, got[i], ref[k][i]);
                    fail(what + text);
                    return;
                }
            }
        }
    }

    // new values for the inputs g reads that the scheduler placed
    void set_sched_inputs(const graph_rec & g) {
        for (int id : g.members) {
            if (id < N_LEAVES && LEAVES[id].kind == LEAF_SCHED_INPUT) {
                struct tevo_tensor * t = memo[id];
                values[id]             = random_values(W * LEAVES[id].ne1);
                if (t->buffer == nullptr || t->data == nullptr) {
                    fail("input " + std::string(LEAVES[id].name) + " has no memory after the allocation");
                    return;
                }
                tevo_backend_tensor_set(t, values[id].data(), 0, tevo_nbytes(t));
            }
        }
    }

    // ------------------------------------------------------------------
    // scheduler steps

    std::string name(int si, const graph_rec & g) const {
        return "S" + std::to_string(si) + " g" + std::to_string(g.id);
    }

    void do_reset(int si) {
        tevo_backend_sched_reset(scheds[si].s);
        scheds[si].maybe_alloc = false;
        scheds[si].dirty       = false;
        check_graphs("reset");
    }

    // allocates g on si (after a reset when one is due); false on failure
    bool do_alloc(int si, graph_rec & g, bool refusing, std::string & what) {
        sched_state & st = scheds[si];
        if (st.maybe_alloc || st.dirty || ch.chance(30)) {
            what += " reset";
            do_reset(si);
        }
        what += " alloc";
        trace(what);
        touch(si, g.id);
        st.cur            = -1;
        const bool ok     = tevo_backend_sched_alloc_graph(st.s, g.gf);
        check_graphs("alloc");
        if (!failure.empty()) {
            return false;
        }
        if (!ok) {
            what += "(failed)";
            note("(failed)");
            st.dirty = true;
            if (!refusing) {
                fail(what + ": the allocation failed");
            }
            return false;
        }
        st.cur         = g.id;
        st.disturbed   = false;
        st.rebuilt     = false;
        st.maybe_alloc = true;
        return true;
    }

    // compute g on si, with or without an allocation of its own first
    void do_compute(int si, graph_rec & g, bool explicit_alloc, bool refusing, std::string what) {
        sched_state & st = scheds[si];
        if (explicit_alloc && !do_alloc(si, g, refusing, what)) {
            return;
        }
        // the inputs are set only after the allocation the compute will use
        const bool holds        = st.cur == g.id && !st.disturbed && !st.rebuilt;
        const bool inputs_known = holds;
        if (inputs_known) {
            what += " set";
            set_sched_inputs(g);
            if (ch.chance(25)) {
                what += " reset";
                do_reset(si);
            }
        }
        if (!failure.empty()) {
            return;
        }
        const bool may_fail  = refusing || (st.cur == g.id && st.disturbed);
        const bool may_split = !(holds && st.maybe_alloc);
        if (may_split) {
            touch(si, g.id);
        }
        what += " compute";
        trace(what);
        const enum tevo_status status = tevo_backend_sched_graph_compute(st.s, g.gf);
        check_graphs("compute");
        if (!failure.empty()) {
            return;
        }
        if (status != TEVO_STATUS_SUCCESS) {
            note("(status " + std::to_string((int) status) + ")");
            st.cur         = -1;
            st.dirty       = true;
            st.maybe_alloc = true;
            if (!may_fail) {
                fail(what + ": status " + std::to_string((int) status));
            }
            return;
        }
        st.cur         = g.id;
        st.disturbed   = false;
        st.rebuilt     = false;
        st.maybe_alloc = true;
        if (ch.chance(20)) {
            note(" reset");
            do_reset(si);
        }
        compare(g, inputs_known, what);
    }

    graph_rec & any_graph() { return graphs[ch.pick((int) graphs.size())]; }

    void rebuild(bool same_address, bool leaves_too, const char * why) {
        trace(std::string("rebuild the graphs' context ") + (same_address ? "in place" : "elsewhere") +
              (leaves_too ? ", the caller's leaves too" : "") + " (" + why + ")");
        for (graph_rec & g : graphs) {
            g.gf = nullptr;
        }
        free_graph_ctx();
        if (leaves_too) {
            free_leaves();
            alloc_leaves();
        }
        new_graph_ctx(same_address);
        for (graph_rec & g : graphs) {
            build_graph(g);
        }
        for (sched_state & st : scheds) {
            // a graph rebuilt in place may have the records the scheduler
            // allocated: it is then the same graph, with nothing placed
            if (same_address) {
                st.rebuilt = true;
            } else {
                st.cur = -1;
            }
            st.dirty = true;
        }
    }

    void one_step() {
        if (graphs.empty()) {
            step_build();
            return;
        }
        const int si = ch.pick((int) scheds.size());
        sched_state & st = scheds[si];
        const int kind = ch.pick(32);
        if (kind < 5) {
            step_build();
        } else if (kind < 12) {
            graph_rec & g = any_graph();
            do_compute(si, g, true, false, name(si, g));
        } else if (kind < 14) {
            graph_rec & g    = any_graph();
            std::string what = name(si, g);
            if (do_alloc(si, g, false, what) && ch.chance(50)) {
                note(" set");
                set_sched_inputs(g);
            }
        } else if (kind < 20) {
            graph_rec & g = any_graph();
            do_compute(si, g, false, false, name(si, g));
        } else if (kind < 22) {
            trace("S" + std::to_string(si) + " reset");
            do_reset(si);
        } else if (kind < 24) {
            graph_rec & g    = any_graph();
            std::string what = name(si, g);
            if (st.dirty || ch.chance(30)) {
                what += " reset";
                do_reset(si);
            }
            what += " reserve";
            trace(what);
            touch(si, g.id);
            st.cur        = -1;
            const bool ok = tevo_backend_sched_reserve(st.s, g.gf);
            check_graphs("reserve");
            if (ok) {
                st.maybe_alloc = false;
                st.dirty       = false;
            } else {
                fail(what + ": the reservation failed");
            }
        } else if (kind < 25) {
            graph_rec & g = any_graph();
            trace(name(si, g) + " reserve_size");
            touch(si, g.id);
            st.cur = -1;
            std::vector<size_t> sizes(list.size(), 0);
            tevo_backend_sched_reserve_size(st.s, g.gf, sizes.data());
            st.maybe_alloc = false;
            check_graphs("reserve_size");
        } else if (kind < 27 && dev) {
            step_refused(si);
        } else if (kind < 28) {
            const int i = ch.pick(N_LEAVES);
            if (caller_leaf[i] != nullptr) {
                trace(std::string("new values of ") + LEAVES[i].name);
                values[i] = random_values(W * LEAVES[i].ne1);
                tevo_backend_tensor_set(caller_leaf[i], values[i].data(), 0, tevo_nbytes(caller_leaf[i]));
            }
        } else if (kind < 30) {
            tevo_backend_sched_free(st.s);
            make_sched(st);
            trace("S" + std::to_string(si) + " freed and made again" + (st.parallel ? " (parallel)" : ""));
        } else {
            rebuild(ch.chance(50), ch.chance(30), "step");
        }
    }

    // the device refuses buffers for one call; once it allows again, a reset
    // and an allocation (or a compute) of the same graph computes right
    void step_refused(int si) {
        sched_state & st   = scheds[si];
        graph_rec &   g    = any_graph();
        std::string   what = name(si, g) + " refused:";
        dev->cfg.refuse_buffers = true;
        switch (ch.pick(3)) {
            case 0:
                do_compute(si, g, true, true, what);
                break;
            case 1:
                do_compute(si, g, false, true, what);
                break;
            default: {
                if (st.dirty || ch.chance(30)) {
                    what += " reset";
                    do_reset(si);
                }
                what += " reserve";
                trace(what);
                touch(si, g.id);
                st.cur        = -1;
                const bool ok = tevo_backend_sched_reserve(st.s, g.gf);
                check_graphs("reserve");
                note(ok ? "" : "(failed)");
                if (ok) {
                    st.maybe_alloc = false;
                    st.dirty       = false;
                } else {
                    st.dirty = true;
                }
                break;
            }
        }
        dev->cfg.refuse_buffers = false;
        if (!failure.empty()) {
            return;
        }
        trace("S" + std::to_string(si) + " the device allows again: reset");
        do_reset(si);
        do_compute(si, g, ch.chance(50), false, name(si, g) + " after refusal:");
    }
};

} // namespace schedrandom
