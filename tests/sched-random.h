#pragma once

// Random sequences of scheduler calls, each checked against the same graph
// computed afresh on one CPU backend. A sequence is drawn from a chooser (a
// seeded generator in the test, a fuzzer's bytes in the fuzz target) over a
// pool of leaves: weights in the first backend's memory and in host memory,
// inputs in the caller's host buffer and inputs the scheduler places. Graphs
// of 2-8 new nodes share leaves, nodes and views with the graphs before them,
// and are built on nodes of graphs computed, or allocated and never computed;
// a graph may also be a node of another graph alone.
//
// Steps: build a graph; allocate (after a reset or not), set the inputs and
// compute; allocate only; compute alone (which allocates when the graph is
// not the one allocated); compute asynchronously, then synchronize, reset or
// go on without waiting; compute under an eval callback that looks at nodes
// and may stop part-way; reset; reserve; reserve_size; pin a node (views
// too) to a backend that runs it; ask a node's backend; a graph reading a
// view of a node outside it (held by another scheduler, placed by this one,
// or by a scheduler freed or split again since); an allocation a device
// refuses, then the same graph once it allows again; new values of the
// caller's leaves; a scheduler freed and made again; the graphs' context
// freed and rebuilt at the same or at a new address, with or without the
// leaves. One or two schedulers take the steps in turn; after a reset, a
// query or a pin may come before the compute.
//
// What must hold: no call aborts; when a call returns (after an asynchronous
// compute: the scheduler's next call), every node of every graph reads the
// caller's own tensors; a compute that returns success gives every output
// the fresh CPU graph's values, exactly, computed with the inputs this
// scheduler set since its allocation of the graph (before or after a reset,
// and whatever another scheduler did since); every node an eval callback is
// shown before it first stops has those values too. A failure is accepted
// only while a device refuses buffers; from a compute of the graph a
// scheduler holds after another scheduler's split (reserve, reserve_size and
// a failed allocation too) took an input of it (one that took only nodes is
// allocated again, and succeeds); and where
// a view's source lies outside the graph: refused when this scheduler placed
// the source or its scheduler no longer holds it, read where it is when
// another scheduler holds it (a compute after that one split again fails).
// Outputs that read inputs the scheduler placed and this scheduler did not
// set since its allocation (and its last compute) are not compared.

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
#include <unordered_set>
#include <vector>

namespace schedrandom {

enum setup_kind { SETUP_CPU, SETUP_DEV, SETUP_DEV2, SETUP_META2, SETUP_META3 };
constexpr int N_SETUPS = 5;

inline const char * setup_name(setup_kind s) {
    switch (s) {
        case SETUP_CPU: return "cpu";
        case SETUP_DEV: return "dev";
        case SETUP_DEV2: return "dev2";
        case SETUP_META2: return "meta2";
        case SETUP_META3: return "meta3";
    }
    return "?";
}

// patterns a run can leave out, to tell which of them a fault needs
enum pattern : unsigned {
    PAT_REALLOC  = 1u << 0, // an allocation with no reset since the last one
    PAT_PIN      = 1u << 1, // set_tensor_backend
    PAT_QUERY    = 1u << 2, // get_tensor_backend
    PAT_ASYNC    = 1u << 3, // graph_compute_async
    PAT_CALLBACK = 1u << 4, // an eval callback
    PAT_OUTVIEW  = 1u << 5, // a view of a node outside the graph
    PAT_SUBGRAPH = 1u << 6, // a graph of one node of another
    PAT_TAKEN    = 1u << 7, // a compute after another scheduler took tensors of the graph: compared, and
                            // failing only when an input was taken
};

// "pin,async" -> the mask of those patterns; unknown names are ignored
inline unsigned patterns_named(const char * list) {
    static const struct {
        const char * name;
        unsigned     bit;
    } names[] = { { "realloc", PAT_REALLOC }, { "pin", PAT_PIN },         { "query", PAT_QUERY },
                  { "async", PAT_ASYNC },     { "callback", PAT_CALLBACK }, { "outview", PAT_OUTVIEW },
                  { "subgraph", PAT_SUBGRAPH }, { "taken", PAT_TAKEN } };
    unsigned    mask = 0;
    std::string s    = list != nullptr ? list : "";
    size_t      pos  = 0;
    while (pos <= s.size()) {
        const size_t      end  = std::min(s.find(',', pos), s.size());
        const std::string item = s.substr(pos, end - pos);
        for (const auto & n : names) {
            if (item == n.name) {
                mask |= n.bit;
            }
        }
        pos = end + 1;
    }
    return mask;
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

// R_OUTVIEW: tevo_view_tensor of the tensor of recipe param, a leaf of the
// graph whose source lies outside it
enum op_kind { R_LEAF, R_ADD, R_MUL, R_SCALE, R_SQR, R_NEG, R_SUM, R_MUL_MAT, R_ROW, R_TRANSPOSE, R_CONT, R_OUTVIEW };

inline const char * op_name(op_kind op) {
    static const char * names[] = { "leaf", "add", "mul", "scale", "sqr",  "neg",    "sum",
                                    "mul_mat", "row", "transpose", "cont", "outview" };
    return names[op];
}

inline bool is_view(op_kind op) {
    return op == R_ROW || op == R_TRANSPOSE;
}

// how to build one tensor, in any context
struct recipe {
    op_kind          op;
    int              a     = -1;
    int              b     = -1;
    int              param = 0; // leaf index, row, scale index, or the source of an outside view
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

// which scheduler's allocation placed a tensor last (inst 0: none known)
struct placement {
    int inst  = 0;
    int gid   = -1;
    int epoch = 0;

    bool operator==(const placement & o) const { return inst == o.inst && gid == o.gid && epoch == o.epoch; }
};

struct sched_state {
    tevo_backend_sched_t s        = nullptr;
    bool                 parallel = false;
    int                  inst     = 0;     // which scheduler made (a freed one's successor differs)
    int                  epoch    = 0;     // its successful splits so far
    int  cur         = -1;    // graph it allocated last, while that allocation may still be used
    std::vector<int> cur_shared; // that graph's tensors another scheduler may take
    bool disturbed   = false; // another scheduler split a graph sharing cur's tensors since
    bool lost_leaf   = false; // and among them an input cur reads
    bool rebuilt     = false; // cur was rebuilt in place since: to the scheduler it may be the same graph
    bool away        = false; // the graphs' context lies elsewhere since
    const char * cur_arena = nullptr; // where the graphs' context lay when cur was allocated
    bool maybe_alloc = false; // may hold an allocation
    bool dirty       = false; // a failure or a rebuild since the last reset
    bool inputs_set  = false; // cur's inputs set since its allocation and its last compute, to set_vals
    std::vector<std::vector<float>> set_vals; // per leaf
    bool pinned      = false; // a pin since the last reset
    std::vector<struct tevo_tensor *> pending; // nodes of a graph computed asynchronously, not yet waited for
    placement view_place; // where cur's outside view's source lay when cur was allocated
    bool      just_reset = false; // nothing but queries since a reset: every node's backend is NULL
};

// what a step allows of its compute besides success with the right values
struct expect {
    bool refusing  = false; // a device refuses buffers: any failure
    bool must_fail = false; // the graph views a source the scheduler may not read
    bool may_fail  = false; // the graph views a source whose placement is not known
    bool values_known = true; // false: a success is not compared
    int  view     = -1;    // the graph's outside view (recipe): what it allows is judged at each call
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
    // patterns left out (see pattern)
    unsigned without = 0;

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
        for (const auto & d : devs) {
            what += d->cfg.events ? ", " + d->cfg.name + " events" : "";
        }
        trace(what);
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
    std::vector<std::unique_ptr<schedtest::device>> devs;
    tevo_backend_t              meta    = nullptr;
    tevo_backend_t              cpu     = nullptr;
    tevo_backend_t              ref_cpu = nullptr;
    std::vector<tevo_backend_t> list;
    tevo_backend_buffer_type_t  weight_buft = nullptr;

    // the caller's leaves
    struct tevo_context *             leaf_ctx[3] = {};
    tevo_backend_buffer_t             leaf_buf[3] = {};
    std::array<struct tevo_tensor *, N_LEAVES> caller_leaf = {};
    std::vector<std::vector<float>>   values; // per leaf: the caller's, or the last set anywhere

    // recipes and graphs
    std::vector<recipe>    recipes;
    std::vector<graph_rec> graphs; // live ones
    int                    n_graphs_made = 0;
    std::unordered_map<int, std::vector<float>> fixed_vals; // values an outside view reads

    // the graphs' context, one generation at a time
    char *                 arena = nullptr;
    size_t                 arena_size = 0;
    struct tevo_context *  gctx  = nullptr;
    int                    gen_tensors = 0;
    int                    gen_graphs  = 0;
    std::vector<struct tevo_tensor *> memo; // tensor of each recipe in this generation
    std::unordered_map<struct tevo_tensor *, std::array<struct tevo_tensor *, TEVO_MAX_SRC>> own_srcs;
    // per recipe in this generation: who placed it, and its value there while known
    std::vector<placement>          placer;
    std::vector<std::vector<float>> kept;

    std::vector<sched_state> scheds;
    int                      n_insts      = 0;
    bool                     interleaving = false;

    std::vector<std::string> log;
    std::string              failure;

    bool on(unsigned pat) const { return (without & pat) == 0; }

    // ------------------------------------------------------------------
    // setup

    void make_backends() {
        cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(cpu, 1);
        ref_cpu = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(ref_cpu, 1);
        weight_buft = tevo_backend_cpu_buffer_type();
        if (setup == SETUP_DEV || setup == SETUP_DEV2) {
            // the second device also leaves MUL to the others, so that the
            // two split a graph differently
            const int n = setup == SETUP_DEV ? 1 : 2;
            for (int k = 0; k < n; k++) {
                schedtest::config dc;
                dc.name    = k == 0 ? "DEV" : "DEV2";
                dc.refused = { TEVO_OP_SQR, TEVO_OP_UNARY, TEVO_OP_SUM, TEVO_OP_MUL_MAT, TEVO_OP_CONT };
                if (k == 1) {
                    dc.refused.insert(TEVO_OP_MUL);
                }
                dc.accepts = dev_accepts;
                dc.events  = ch.chance(50);
                devs.push_back(schedtest::make(dc));
                list.push_back(&devs.back()->backend);
            }
            weight_buft = &devs[0]->buft;
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
        st.inst     = ++n_insts;
        st.set_vals.resize(N_LEAVES);
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
        placer.assign(recipes.size(), placement());
        kept.assign(recipes.size(), std::vector<float>());
        own_srcs.clear();
    }

    // the tensor of recipe id in ctx; leaf_of gives the leaves and the
    // outside views (by recipe)
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
            case R_LEAF:
            case R_OUTVIEW: t = leaf_of(id); break;
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
        return build(gctx, memo, id, [&](int leaf_id) { return leaf_tensor(leaf_id); }, &gen_tensors);
    }

    // the leaves the caller placed are its own; the others live in the
    // graphs' context; an outside view views its source's tensor
    struct tevo_tensor * leaf_tensor(int id) {
        const recipe & r = recipes[id];
        if (r.op == R_OUTVIEW) {
            return tevo_view_tensor(gctx, memo[r.param]);
        }
        const int leaf = r.param;
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
        memo.resize(recipes.size(), nullptr);
        placer.resize(recipes.size());
        kept.resize(recipes.size());
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

    // the members of a graph of outs, and those another scheduler may take
    void fill_members(graph_rec & g) {
        g.members.clear();
        g.shared.clear();
        for (int o : g.outs) {
            g.members = merged(g.members, recipes[o].closure);
        }
        for (int id : g.members) {
            if (id >= N_LEAVES || LEAVES[id].kind == LEAF_SCHED_INPUT) {
                g.shared.push_back(id);
            }
        }
    }

    std::string describe(const graph_rec & g) const {
        std::string what;
        for (int id : g.members) {
            if (id >= N_LEAVES) {
                const recipe & r = recipes[id];
                what += " r" + std::to_string(id) + "=" + op_name(r.op) + "(" +
                        (r.op == R_OUTVIEW ? operand(r.param) : operand(r.a)) + (r.b >= 0 ? "," + operand(r.b) : "") +
                        ")";
            }
        }
        what += " out";
        for (int o : g.outs) {
            what += " r" + std::to_string(o);
        }
        return what;
    }

    void step_build() {
        graph_rec g;
        g.id = n_graphs_made++;
        // at times a node of a live graph alone, so that two graphs differ
        // only in the nodes one of them computes past it
        std::vector<int> nodes;
        for (const graph_rec & h : graphs) {
            for (int id : h.members) {
                if (id >= N_LEAVES) {
                    nodes.push_back(id);
                }
            }
        }
        if (on(PAT_SUBGRAPH) && !nodes.empty() && ch.chance(15)) {
            g.outs.push_back(nodes[ch.pick((int) nodes.size())]);
        } else {
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
        }
        fill_members(g);
        const bool full = gen_tensors + 2 * MAX_MEMBERS > CTX_TENSORS || gen_graphs + 1 >= CTX_GRAPHS;
        if (!full) {
            build_graph(g);
        }
        graphs.push_back(g);
        trim_graphs();
        trace("build g" + std::to_string(g.id) + ":" + describe(g));
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

    // every node of every graph of this generation reads the caller's
    // tensors, but those of a graph computed asynchronously and not yet
    // waited for
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
        std::unordered_set<const struct tevo_tensor *> in_flight;
        for (const sched_state & st : scheds) {
            in_flight.insert(st.pending.begin(), st.pending.end());
        }
        for (const auto & [t, srcs] : own_srcs) {
            if (in_flight.count(t) != 0) {
                continue;
            }
            for (int j = 0; j < TEVO_MAX_SRC; j++) {
                if (t->src[j] != srcs[j]) {
                    fail(std::string("after ") + after + ": node " + t->name + " reads " +
                         (t->src[j] ? t->src[j]->name : "nothing") + " instead of " +
                         (srcs[j] ? srcs[j]->name : "nothing"));
                    return;
                }
            }
        }
        for (const auto & d : devs) {
            if (d->n_bad_source != 0) {
                fail(std::string("after ") + after + ": " + d->cfg.name +
                     " read a source from memory it cannot use");
                d->n_bad_source = 0;
            }
        }
    }

    // a call of si returned: what its asynchronous compute left is done
    void waited(int si) { scheds[si].pending.clear(); }

    // scheduler si splits a graph of these tensors: another scheduler holding
    // a graph that shares tensors with it may find them placed anew, and
    // what was placed and computed for them is gone
    void touch(int si, const std::vector<int> & shared) {
        for (int k = 0; k < (int) scheds.size(); k++) {
            sched_state & other = scheds[k];
            if (k == si || other.cur == -1) {
                continue;
            }
            std::vector<int> common;
            std::set_intersection(other.cur_shared.begin(), other.cur_shared.end(), shared.begin(), shared.end(),
                                  std::back_inserter(common));
            if (!common.empty()) {
                other.disturbed = true;
                if (common.front() < N_LEAVES) {
                    other.lost_leaf = true;
                }
            }
        }
        for (int id : shared) {
            placer[id] = placement();
            kept[id].clear();
        }
    }

    // si's split of g succeeded: g's tensors are its own now
    void split_done(int si, const graph_rec & g) {
        sched_state & st = scheds[si];
        st.epoch++;
        st.cur         = g.id;
        st.cur_shared  = g.shared;
        st.disturbed   = false;
        st.lost_leaf   = false;
        st.rebuilt     = false;
        st.away        = false;
        st.cur_arena   = arena;
        st.maybe_alloc = true;
        st.inputs_set  = false;
        for (int id : g.shared) {
            placer[id] = { st.inst, g.id, st.epoch };
        }
    }

    // si failed: what its allocations placed is no longer known
    void split_failed(int si) {
        sched_state & st = scheds[si];
        st.cur        = -1;
        st.inputs_set = false;
        st.dirty      = true;
        for (placement & p : placer) {
            if (p.inst == st.inst) {
                p = placement();
            }
        }
    }

    const sched_state * sched_of_inst(int inst) const {
        for (const sched_state & st : scheds) {
            if (st.inst == inst) {
                return &st;
            }
        }
        return nullptr;
    }

    // the values every member of the graph of outs has when computed afresh
    // on the reference CPU backend from leaf_vals (per leaf) and fixed_vals
    // (per outside view); a transposed view's are its source's bytes
    std::unordered_map<int, std::vector<float>> reference(const std::vector<int> &                outs,
                                                          const std::vector<std::vector<float>> & leaf_vals) {
        struct tevo_init_params params = { (MAX_MEMBERS + 8) * tevo_tensor_overhead() +
                                               tevo_graph_overhead_custom(64, false),
                                           nullptr, true };
        struct tevo_context *              ctx = tevo_init(params);
        std::vector<struct tevo_tensor *>  m;
        std::vector<std::pair<int, struct tevo_tensor *>> leaves;
        int                                n_made = 0;
        auto leaf_of = [&](int id) {
            const recipe & r = recipes[id];
            struct tevo_tensor * t = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, r.ne0, r.ne1);
            leaves.emplace_back(id, t);
            return t;
        };
        struct tevo_cgraph * gf = tevo_new_graph_custom(ctx, 64, false);
        for (int o : outs) {
            tevo_build_forward_expand(gf, build(ctx, m, o, leaf_of, &n_made));
        }
        tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
        for (const auto & [id, t] : leaves) {
            const recipe &             r = recipes[id];
            std::vector<float>         zeros(tevo_nelements(t), 0.0f);
            const std::vector<float> * v = &zeros;
            if (r.op == R_LEAF) {
                v = &leaf_vals[r.param];
            } else if (fixed_vals.count(id) != 0) {
                v = &fixed_vals[id];
            }
            tevo_backend_tensor_set(t, v->data(), 0, tevo_nbytes(t));
        }
        std::unordered_map<int, std::vector<float>> r;
        if (tevo_backend_graph_compute(ref_cpu, gf) != TEVO_STATUS_SUCCESS) {
            fail("the reference graph failed");
        }
        for (size_t id = 0; id < m.size(); id++) {
            if (m[id] != nullptr) {
                std::vector<float> & v = r[(int) id];
                v.resize(tevo_nelements(m[id]));
                tevo_backend_tensor_get(m[id], v.data(), 0, tevo_nbytes(m[id]));
            }
        }
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
        return r;
    }

    // exact; the sign of a zero and the payload of a NaN are left to the kernels
    static bool same(float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); }

    // the tensor t of recipe id against its fresh value; false (and the
    // failure) when it differs
    bool check_tensor(struct tevo_tensor * t, int id, const std::vector<float> & ref, const std::string & what) {
        if (t->buffer == nullptr || t->data == nullptr) {
            fail(what + ": r" + std::to_string(id) + " has no memory");
            return false;
        }
        std::vector<float> got(tevo_nelements(t));
        tevo_backend_tensor_get(t, got.data(), 0, tevo_nbytes(t));
        for (size_t i = 0; i < got.size() && i < ref.size(); i++) {
            if (!same(got[i], ref[i])) {
                char text[160];
                snprintf(text, sizeof(text), ": r%d [%zu] is %.9g, the fresh graph gives %.9g", id, i, got[i],
                         ref[i]);
                fail(what + text);
                return false;
            }
        }
        return true;
    }

    // the leaf values a compute of si uses: the caller's, and the inputs si
    // set when known
    std::vector<std::vector<float>> leaf_values(int si, bool inputs_known) const {
        std::vector<std::vector<float>> v = values;
        for (int i = 0; i < N_LEAVES; i++) {
            if (LEAVES[i].kind == LEAF_SCHED_INPUT) {
                if (inputs_known && !scheds[si].set_vals[i].empty()) {
                    v[i] = scheds[si].set_vals[i];
                } else {
                    std::fill(v[i].begin(), v[i].end(), 0.0f);
                }
            }
        }
        return v;
    }

    // the outputs of g against the fresh graph; outputs that read inputs the
    // scheduler placed are skipped unless those were set for this compute.
    // What a compared tensor flagged as an output holds is kept for views
    // of it from other graphs.
    void compare(const graph_rec & g, const std::unordered_map<int, std::vector<float>> & ref, bool inputs_known,
                 const std::string & what) {
        for (size_t k = 0; k < g.outs.size() && failure.empty(); k++) {
            const int id = g.outs[k];
            if (recipes[id].sched_input && !inputs_known) {
                continue;
            }
            if (!check_tensor(memo[id], id, ref.at(id), what + ": output")) {
                return;
            }
        }
        for (int id : g.members) {
            const recipe & r = recipes[id];
            if (id >= N_LEAVES && !is_view(r.op) && memo[id] != nullptr &&
                (memo[id]->flags & TEVO_TENSOR_FLAG_OUTPUT) && (!r.sched_input || inputs_known)) {
                kept[id] = ref.at(id);
            }
        }
    }

    // new values for the inputs g reads that the scheduler placed
    void set_sched_inputs(int si, const graph_rec & g) {
        sched_state & st = scheds[si];
        for (int id : g.members) {
            if (id < N_LEAVES && LEAVES[id].kind == LEAF_SCHED_INPUT) {
                struct tevo_tensor * t = memo[id];
                values[id]             = random_values(W * LEAVES[id].ne1);
                st.set_vals[id]        = values[id];
                if (t->buffer == nullptr || t->data == nullptr) {
                    fail("input " + std::string(LEAVES[id].name) + " has no memory after the allocation");
                    return;
                }
                tevo_backend_tensor_set(t, values[id].data(), 0, tevo_nbytes(t));
            }
        }
        st.inputs_set = true;
    }

    // ------------------------------------------------------------------
    // the eval callback: wants a node at times, checks each node it is
    // shown until it first stops, and stops at times

    struct callback_state {
        runner *                                          r = nullptr;
        std::unordered_map<const struct tevo_tensor *, int> id_of;
        const std::unordered_map<int, std::vector<float>> * ref = nullptr;
        bool        inputs_known = false;
        int         want         = 50;
        int         stop         = 0;
        bool        stopped      = false;
        int         n_shown      = 0;
        std::string what;
    };

    static bool eval_callback(struct tevo_tensor * t, bool ask, void * user_data) {
        callback_state * c = (callback_state *) user_data;
        runner *         r = c->r;
        if (ask) {
            return r->ch.chance(c->want);
        }
        c->n_shown++;
        if (!c->stopped && r->failure.empty()) {
            const auto it = c->id_of.find(t);
            if (it != c->id_of.end()) {
                const int      id = it->second;
                const recipe & rc = r->recipes[id];
                if (!rc.sched_input || c->inputs_known) {
                    r->check_tensor(t, id, c->ref->at(id), c->what + ": node shown to the callback");
                }
            }
        }
        if (r->ch.chance(c->stop)) {
            c->stopped = true;
            return false;
        }
        return true;
    }

    // ------------------------------------------------------------------
    // scheduler steps

    std::string name(int si, const graph_rec & g) const {
        return "S" + std::to_string(si) + " g" + std::to_string(g.id);
    }

    void do_reset(int si) {
        tevo_backend_sched_reset(scheds[si].s);
        waited(si);
        scheds[si].maybe_alloc = false;
        scheds[si].dirty       = false;
        scheds[si].pinned      = false;
        scheds[si].just_reset  = true;
        check_graphs("reset");
    }

    // the start of an allocation or a sizing of g on si: a reset first when
    // due or by chance, then the trace and the caller's touch
    void begin_placing(int si, const graph_rec & g, bool reset_due, const char * op, std::string & what) {
        if (reset_due || ch.chance(30)) {
            what += " reset";
            do_reset(si);
        }
        what += " ";
        what += op;
        trace(what);
        touch(si, g.shared);
        scheds[si].cur        = -1;
        scheds[si].inputs_set = false;
    }

    // allocates g on si (after a reset or not); false on failure
    bool do_alloc(int si, graph_rec & g, const expect & ex_in, std::string & what) {
        sched_state & st = scheds[si];
        const expect  ex = expect_now(si, ex_in);
        // with no reset a second allocation follows the first
        const bool reset_due = on(PAT_REALLOC) ? st.dirty && ch.chance(50) : st.maybe_alloc || st.dirty;
        begin_placing(si, g, reset_due, "alloc", what);
        st.just_reset = false;
        const bool ok = tevo_backend_sched_alloc_graph(st.s, g.gf);
        waited(si);
        check_graphs("alloc");
        if (!failure.empty()) {
            return false;
        }
        if (!ok) {
            what += "(failed)";
            note("(failed)");
            split_failed(si);
            if (!ex.refusing && !ex.must_fail && !ex.may_fail) {
                fail(what + ": the allocation failed");
            }
            return false;
        }
        if (ex.must_fail) {
            fail(what + ": the allocation of a view of a source the scheduler may not read succeeded");
            return false;
        }
        split_done(si, g);
        if (ex.view >= 0) {
            st.view_place = placer[recipes[ex.view].param];
        }
        return true;
    }

    // what an allocation or compute by si of a graph with an outside view
    // allows now (the source's holder may have split again, or computed it
    // anew, since the step began): refused when si placed the source, or its
    // scheduler is gone or split again since; read where it is, with the
    // values kept there, when another scheduler holds it; anything but a
    // crash when its placement is not known
    expect expect_now(int si, const expect & ex, std::string * why = nullptr) const {
        expect e = ex;
        if (e.view < 0) {
            return e;
        }
        const int           src = recipes[e.view].param;
        const placement &   p   = placer[src];
        const sched_state * x   = sched_of_inst(p.inst);
        std::string         text;
        if (p.inst == 0) {
            e.may_fail     = true;
            e.values_known = false;
            text           = "placement not known";
        } else if (p.inst == scheds[si].inst) {
            e.must_fail = true;
            text        = "placed by this scheduler: refused";
        } else if (x == nullptr || x->cur != p.gid || x->epoch != p.epoch) {
            e.must_fail = true;
            text        = x == nullptr ? "its scheduler is gone: refused" : "its scheduler split again: refused";
        } else {
            const auto it  = fixed_vals.find(e.view);
            e.values_known = !kept[src].empty() && x->pending.empty() && it != fixed_vals.end() &&
                             it->second == kept[src];
            text = e.values_known ? "held by another scheduler" : "held by another, value not known";
        }
        if (why != nullptr) {
            *why = text;
        }
        return e;
    }

    // after a reset, at times a query or a pin before what comes next
    void after_reset(int si) {
        if (on(PAT_QUERY) && ch.chance(30)) {
            step_query(si);
        }
        if (on(PAT_PIN) && ch.chance(15)) {
            step_pin(si);
        }
    }

    enum compute_mode { MODE_SYNC, MODE_ASYNC, MODE_CALLBACK };

    compute_mode pick_mode() {
        const int k = ch.pick(20);
        if (k < 3 && on(PAT_ASYNC)) {
            return MODE_ASYNC;
        }
        if (k >= 17 && on(PAT_CALLBACK)) {
            return MODE_CALLBACK;
        }
        return MODE_SYNC;
    }

    // compute g on si, with or without an allocation of its own first;
    // returns the status (SUCCESS as well when the step stopped before)
    enum tevo_status do_compute(int si, graph_rec & g, bool explicit_alloc, const expect & ex_in, std::string what,
                                compute_mode mode = MODE_SYNC) {
        sched_state & st = scheds[si];
        if (explicit_alloc) {
            if (!do_alloc(si, g, ex_in, what)) {
                return TEVO_STATUS_ALLOC_FAILED;
            }
            what = "   " + name(si, g);
        }
        // the inputs are set only after the allocation the compute will use,
        // and while no other scheduler has taken tensors of it since
        const bool holds = st.cur == g.id && !st.rebuilt && !st.away;
        if (holds && !st.disturbed && (!st.inputs_set || ch.chance(90))) {
            what += " set";
            set_sched_inputs(si, g);
            if (on(PAT_TAKEN) && scheds.size() > 1 && !ex_in.refusing && !interleaving && ch.chance(20)) {
                trace(what);
                what = "   " + name(si, g);
                interleave(si, g);
            } else if (ch.chance(25)) {
                what += " reset";
                trace(what);
                what = "   " + name(si, g);
                do_reset(si);
                after_reset(si);
            }
        }
        if (!failure.empty()) {
            return TEVO_STATUS_SUCCESS;
        }
        expect ex = expect_now(si, ex_in);
        if (ex.view >= 0 && holds && !(placer[recipes[ex.view].param] == st.view_place)) {
            if (placer[recipes[ex.view].param].inst != 0) {
                // the source was placed anew since the graph was allocated
                ex.must_fail = true;
            } else {
                // its holder failed since: where it lies is not known
                ex.may_fail     = true;
                ex.values_known = false;
            }
        }
        const bool inputs_known   = holds && st.inputs_set && (on(PAT_TAKEN) || !st.disturbed);
        const bool taken          = st.cur == g.id && !st.away && (on(PAT_TAKEN) ? st.lost_leaf : st.disturbed);
        const bool may_fail       = ex.refusing || ex.must_fail || ex.may_fail || taken;
        // the graph kept computes where it is placed, also after a reset; a
        // pin since splits it again
        const bool may_split = !(holds && !st.disturbed) || st.pinned;
        if (may_split) {
            touch(si, g.shared);
        }
        for (int id : g.members) {
            kept[id].clear();
        }
        const std::unordered_map<int, std::vector<float>> ref =
            ex.values_known ? reference(g.outs, leaf_values(si, inputs_known))
                            : std::unordered_map<int, std::vector<float>>();
        callback_state cb;
        if (mode == MODE_CALLBACK && ex.values_known) {
            cb.r            = this;
            cb.ref          = &ref;
            cb.inputs_known = inputs_known;
            cb.want         = 10 + ch.pick(90);
            cb.stop         = ch.chance(50) ? 0 : 5 + ch.pick(40);
            cb.what         = what;
            for (int id : g.members) {
                if (memo[id] != nullptr) {
                    cb.id_of[memo[id]] = id;
                }
            }
            tevo_backend_sched_set_eval_callback(st.s, eval_callback, &cb);
            what += " (callback)";
        } else if (mode == MODE_CALLBACK) {
            mode = MODE_SYNC;
        }
        what += mode == MODE_ASYNC ? " compute_async" : " compute";
        trace(what);
        enum tevo_status status;
        st.just_reset = false;
        if (mode == MODE_ASYNC) {
            status = tevo_backend_sched_graph_compute_async(st.s, g.gf);
            if (status == TEVO_STATUS_SUCCESS) {
                st.pending = g.nodes;
            }
        } else {
            status = tevo_backend_sched_graph_compute(st.s, g.gf);
        }
        // a compute may write over the inputs it placed: they are set again
        // before the next
        st.inputs_set = false;
        if (mode == MODE_CALLBACK) {
            tevo_backend_sched_set_eval_callback(st.s, nullptr, nullptr);
            note(" (" + std::to_string(cb.n_shown) + " shown" + (cb.stopped ? ", stopped)" : ")"));
        }
        check_graphs(mode == MODE_ASYNC ? "compute_async" : "compute");
        if (may_split && !holds) {
            // a graph other than the one held starts afresh, without the pins
            st.pinned      = false;
        }
        if (!failure.empty()) {
            return status;
        }
        if (status != TEVO_STATUS_SUCCESS) {
            note("(status " + std::to_string((int) status) + ")");
            split_failed(si);
            st.maybe_alloc = true;
            if (!may_fail) {
                fail(what + ": status " + std::to_string((int) status));
            }
            return status;
        }
        if (ex.must_fail) {
            fail(what + ": a compute viewing a source the scheduler may not read succeeded");
            return status;
        }
        if (may_split) {
            split_done(si, g);
            if (ex.view >= 0) {
                st.view_place = placer[recipes[ex.view].param];
            }
        }
        st.maybe_alloc = true;
        if (mode == MODE_ASYNC) {
            // then wait, or reset (which waits), or go on without waiting:
            // the scheduler's next call waits
            switch (ch.pick(3)) {
                case 0:
                    note(" synchronize");
                    tevo_backend_sched_synchronize(st.s);
                    waited(si);
                    check_graphs("synchronize");
                    break;
                case 1:
                    note(" reset");
                    do_reset(si);
                    break;
                default:
                    note(" (not waited for)");
                    return status;
            }
        } else if (ch.chance(20)) {
            note(" reset");
            do_reset(si);
        }
        if (cb.stopped || !ex.values_known) {
            return status; // the outputs were not all computed, or their values are not known
        }
        compare(g, ref, inputs_known, what);
        return status;
    }

    graph_rec & any_graph() { return graphs[ch.pick((int) graphs.size())]; }

    // waits for every asynchronous compute (before the graphs or leaves go)
    void wait_all(const char * why) {
        for (int si = 0; si < (int) scheds.size(); si++) {
            if (!scheds[si].pending.empty()) {
                trace("S" + std::to_string(si) + " synchronize (" + why + ")");
                tevo_backend_sched_synchronize(scheds[si].s);
                waited(si);
                check_graphs("synchronize");
            }
        }
    }

    void rebuild(bool same_address, bool leaves_too, const char * why) {
        wait_all("the graphs are freed");
        // a pin names a tensor record: it goes before the record does, else
        // it pins whatever tensor is made at that address next
        for (int si = 0; si < (int) scheds.size(); si++) {
            if (scheds[si].pinned) {
                trace("S" + std::to_string(si) + " reset (its pins go with the graphs)");
                do_reset(si);
            }
        }
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
            // a graph rebuilt where it lay (in place, or in new memory that
            // happens to lie where an older context did) may have the records
            // the scheduler allocated: it is then the same graph, with nothing
            // placed
            if (arena == st.cur_arena) {
                st.rebuilt = true;
                st.away    = false;
            } else {
                st.away = true;
            }
            st.inputs_set = false;
            st.dirty      = true;
        }
    }

    void step_reserve(int si, bool refusing, graph_rec * which = nullptr) {
        sched_state & st   = scheds[si];
        graph_rec &   g    = which != nullptr ? *which : any_graph();
        std::string   what = name(si, g) + (refusing ? " refused:" : "");
        begin_placing(si, g, st.dirty, "reserve", what);
        const bool ok = tevo_backend_sched_reserve(st.s, g.gf);
        waited(si);
        check_graphs("reserve");
        st.just_reset = ok; // it resets at its end
        if (ok) {
            // what it placed before is stale: it holds no graph
            st.epoch++;
            st.maybe_alloc = false;
            st.dirty       = false;
            st.pinned      = false;
        } else {
            note("(failed)");
            split_failed(si);
            if (!refusing) {
                fail(what + ": the reservation failed");
            }
        }
    }

    void step_reserve_size(int si, graph_rec * which = nullptr) {
        sched_state & st = scheds[si];
        graph_rec &   g  = which != nullptr ? *which : any_graph();
        trace(name(si, g) + " reserve_size");
        touch(si, g.shared);
        st.cur        = -1;
        st.inputs_set = false;
        st.epoch++;
        std::vector<size_t> sizes(list.size(), 0);
        tevo_backend_sched_reserve_size(st.s, g.gf, sizes.data());
        waited(si);
        st.just_reset = false;
        st.maybe_alloc = false;
        st.pinned      = false;
        check_graphs("reserve_size");
    }

    // between si's allocation of g (and its inputs set) and its compute,
    // another scheduler splits a graph that shares tensors with g (most
    // often): reserve, reserve_size, an allocation that fails, one that
    // succeeds, or a compute
    void interleave(int si, const graph_rec & g) {
        if (!scheds[si].pending.empty()) {
            trace("S" + std::to_string(si) + " synchronize");
            tevo_backend_sched_synchronize(scheds[si].s);
            waited(si);
            check_graphs("synchronize");
        }
        int k = ch.pick((int) scheds.size() - 1);
        k += k >= si ? 1 : 0;
        std::vector<graph_rec *> sharing;
        for (graph_rec & h : graphs) {
            std::vector<int> common;
            std::set_intersection(h.shared.begin(), h.shared.end(), g.shared.begin(), g.shared.end(),
                                  std::back_inserter(common));
            if (!common.empty()) {
                sharing.push_back(&h);
            }
        }
        graph_rec & h = !sharing.empty() && ch.chance(80) ? *sharing[ch.pick((int) sharing.size())] : any_graph();
        // one level: the other scheduler's calls leave si alone
        interleaving = true;
        switch (ch.pick(5)) {
            case 0:
                step_reserve(k, false, &h);
                break;
            case 1:
                step_reserve_size(k, &h);
                break;
            case 2:
                if (!devs.empty()) {
                    schedtest::device & d = *devs[ch.pick((int) devs.size())];
                    d.cfg.refuse_buffers  = true;
                    expect ex;
                    ex.refusing      = true;
                    std::string what = name(k, h) + " " + d.cfg.name + " refused:";
                    do_alloc(k, h, ex, what);
                    d.cfg.refuse_buffers = false;
                    break;
                }
                // fall through: no device to refuse
            case 3: {
                std::string what = name(k, h);
                if (do_alloc(k, h, expect(), what) && ch.chance(50)) {
                    note(" set");
                    set_sched_inputs(k, h);
                }
                break;
            }
            default:
                do_compute(k, h, ch.chance(50), expect(), name(k, h));
                break;
        }
        interleaving = false;
    }

    // the backends that run recipe id's node, asked of a copy without
    // memory: the node's sources may hold a freed scheduler's stale buffers,
    // which nothing may read
    std::vector<tevo_backend_t> able_backends(int id) {
        struct tevo_init_params params = { (MAX_MEMBERS + 8) * tevo_tensor_overhead(), nullptr, true };
        struct tevo_context *   ctx    = tevo_init(params);
        std::vector<struct tevo_tensor *> m;
        int                               n_made = 0;
        struct tevo_tensor * t = build(ctx, m, id, [&](int leaf_id) {
            return tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, recipes[leaf_id].ne0, recipes[leaf_id].ne1);
        }, &n_made);
        std::vector<tevo_backend_t> able;
        for (tevo_backend_t b : list) {
            if (tevo_backend_supports_op(b, t)) {
                able.push_back(b);
            }
        }
        tevo_free(ctx);
        return able;
    }

    // pins a node of a live graph (a view too) to a backend that runs it
    void step_pin(int si) {
        sched_state & st = scheds[si];
        graph_rec &   g  = any_graph();
        std::vector<int> nodes;
        for (int id : g.members) {
            if (id >= N_LEAVES && memo[id] != nullptr) {
                nodes.push_back(id);
            }
        }
        if (g.gf == nullptr || nodes.empty()) {
            return;
        }
        const int                   id   = nodes[ch.pick((int) nodes.size())];
        struct tevo_tensor *        t    = memo[id];
        std::vector<tevo_backend_t> able = able_backends(id);
        if (able.empty()) {
            return;
        }
        tevo_backend_t b = able[ch.pick((int) able.size())];
        trace("S" + std::to_string(si) + " pin r" + std::to_string(id) + " (" + op_name(recipes[id].op) + ") to " +
              tevo_backend_name(b));
        tevo_backend_sched_set_tensor_backend(st.s, t, b);
        waited(si);
        st.just_reset = false;
        st.pinned = true;
        check_graphs("set_tensor_backend");
    }

    // asks the backend of a tensor of a live graph: changes nothing
    void step_query(int si) {
        graph_rec & g = any_graph();
        if (g.gf == nullptr) {
            return;
        }
        const int            id = g.members[ch.pick((int) g.members.size())];
        struct tevo_tensor * t  = memo[id];
        if (t == nullptr) {
            return;
        }
        trace("S" + std::to_string(si) + " backend of " + operand(id));
        tevo_backend_t b = tevo_backend_sched_get_tensor_backend(scheds[si].s, t);
        waited(si);
        note(std::string(": ") + (b != nullptr ? tevo_backend_name(b) : "none"));
        if (b != nullptr && std::find(list.begin(), list.end(), b) == list.end()) {
            fail("get_tensor_backend gave a backend the scheduler does not have");
        }
        if (b != nullptr && scheds[si].just_reset) {
            fail("get_tensor_backend gave a backend after a reset");
        }
        check_graphs("get_tensor_backend");
    }

    // a graph of one view of a node outside it (and a leaf at times):
    // refused when si placed the node, or its scheduler is gone or split
    // again since; read where it is when another scheduler holds it
    void step_outview(int si) {
        std::vector<int> sources;
        for (size_t id = N_LEAVES; id < memo.size(); id++) {
            struct tevo_tensor * t = memo[id];
            if (t != nullptr && t->buffer != nullptr && t->view_src == nullptr && !is_view(recipes[id].op) &&
                recipes[id].op != R_OUTVIEW) {
                sources.push_back((int) id);
            }
        }
        if (sources.empty() || gen_tensors + 8 > CTX_TENSORS || gen_graphs + 1 >= CTX_GRAPHS) {
            return;
        }
        const int src = sources[ch.pick((int) sources.size())];
        recipe v;
        v.op    = R_OUTVIEW;
        v.param = src;
        v.ne0   = recipes[src].ne0;
        v.ne1   = recipes[src].ne1;
        const int vid = add_recipe(v);
        if (!kept[src].empty()) {
            fixed_vals[vid] = kept[src];
        }
        expect ex;
        ex.view = vid;
        std::string expected;
        expect_now(si, ex, &expected);
        recipe o;
        std::vector<int> fits;
        for (int i = 0; i < N_LEAVES; i++) {
            if (LEAVES[i].ne1 == v.ne1 && v.ne0 == W) {
                fits.push_back(i);
            }
        }
        if (!fits.empty() && ch.chance(70)) {
            o.op = R_ADD;
            o.a  = vid;
            o.b  = fits[ch.pick((int) fits.size())];
        } else {
            o.op    = R_SCALE;
            o.a     = vid;
            o.param = ch.pick(4);
        }
        o.ne0 = v.ne0;
        o.ne1 = v.ne1;
        graph_rec og;
        og.id = n_graphs_made++;
        og.outs.push_back(add_recipe(o));
        fill_members(og);
        build_graph(og);
        trace("view of r" + std::to_string(src) + " (" + expected + "): g" + std::to_string(og.id) + ":" +
              describe(og));
        // sizing reads no outside source (one no scheduler holds may be freed)
        const int sizing = ch.pick(10);
        if (sizing == 0) {
            step_reserve(si, false, &og);
            return;
        }
        if (sizing == 1) {
            step_reserve_size(si, &og);
            return;
        }
        const enum tevo_status status =
            do_compute(si, og, ch.chance(50), ex, name(si, og), ch.chance(20) ? MODE_ASYNC : MODE_SYNC);
        // the holder splits again: a compute of the view's graph then fails
        const placement p = placer[src];
        int             xi = 0;
        while (xi < (int) scheds.size() && scheds[xi].inst != p.inst) {
            xi++;
        }
        if (!failure.empty() || status != TEVO_STATUS_SUCCESS || xi == si || xi == (int) scheds.size() ||
            scheds[si].cur != og.id || graphs.empty() || !ch.chance(40)) {
            return;
        }
        graph_rec & g    = any_graph();
        std::string what = name(xi, g) + " (the holder)";
        if (!do_alloc(xi, g, expect(), what)) {
            return;
        }
        do_compute(si, og, false, ex, name(si, og) + " again");
    }

    // the device refuses buffers for one call; once it allows again, a reset
    // and an allocation (or a compute) of the same graph computes right
    void step_refused(int si) {
        graph_rec & g = any_graph();
        schedtest::device & d = *devs[ch.pick((int) devs.size())];
        d.cfg.refuse_buffers = true;
        expect ex;
        ex.refusing = true;
        switch (ch.pick(3)) {
            case 0:
                do_compute(si, g, true, ex, name(si, g) + " " + d.cfg.name + " refused:");
                break;
            case 1:
                do_compute(si, g, false, ex, name(si, g) + " " + d.cfg.name + " refused:");
                break;
            default:
                step_reserve(si, true);
                break;
        }
        d.cfg.refuse_buffers = false;
        if (!failure.empty()) {
            return;
        }
        trace("S" + std::to_string(si) + " the device allows again: reset");
        do_reset(si);
        do_compute(si, g, ch.chance(50), expect(), name(si, g) + " after refusal:");
    }

    void one_step() {
        if (graphs.empty()) {
            step_build();
            return;
        }
        const int si = ch.pick((int) scheds.size());
        sched_state & st = scheds[si];
        int kind = ch.pick(40);
        if ((kind >= 32 && kind < 34 && !on(PAT_PIN)) || (kind >= 34 && kind < 36 && !on(PAT_QUERY)) ||
            (kind >= 36 && kind < 38 && !on(PAT_OUTVIEW)) || (kind >= 25 && kind < 27 && devs.empty())) {
            kind = 14; // a compute alone instead
        }
        // the nodes of a graph computed asynchronously read the scheduler's
        // copies until its next call: anything else waits for it first
        const bool calls_si = kind >= 5 && kind != 27 && !(kind >= 30 && kind < 32);
        for (int k = 0; k < (int) scheds.size(); k++) {
            if (!scheds[k].pending.empty() && !(k == si && calls_si)) {
                trace("S" + std::to_string(k) + " synchronize");
                tevo_backend_sched_synchronize(scheds[k].s);
                waited(k);
                check_graphs("synchronize");
            }
        }
        if (kind < 5) {
            step_build();
        } else if (kind < 12) {
            graph_rec & g = any_graph();
            do_compute(si, g, true, expect(), name(si, g), pick_mode());
        } else if (kind < 14) {
            graph_rec & g    = any_graph();
            std::string what = name(si, g);
            if (do_alloc(si, g, expect(), what) && ch.chance(50)) {
                note(" set");
                set_sched_inputs(si, g);
            }
        } else if (kind < 20) {
            graph_rec & g = any_graph();
            do_compute(si, g, false, expect(), name(si, g), pick_mode());
        } else if (kind < 22) {
            trace("S" + std::to_string(si) + " reset");
            do_reset(si);
            after_reset(si);
        } else if (kind < 24) {
            step_reserve(si, false);
        } else if (kind < 25) {
            step_reserve_size(si);
        } else if (kind < 27) {
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
            check_graphs("free");
        } else if (kind < 32) {
            rebuild(ch.chance(50), ch.chance(30), "step");
        } else if (kind < 34) {
            step_pin(si);
        } else if (kind < 36) {
            step_query(si);
        } else if (kind < 38) {
            step_outview(si);
        } else {
            graph_rec &  g    = any_graph();
            compute_mode mode = ch.chance(50) ? MODE_ASYNC : MODE_CALLBACK;
            if ((mode == MODE_ASYNC && !on(PAT_ASYNC)) || (mode == MODE_CALLBACK && !on(PAT_CALLBACK))) {
                mode = MODE_SYNC;
            }
            do_compute(si, g, ch.chance(50), expect(), name(si, g), mode);
        }
    }
};

} // namespace schedrandom
