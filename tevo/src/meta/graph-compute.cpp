#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// Graph computation on the meta backend. Each device computes its own copy
// of the graph (the nodes' sub-tensors) on its simple backend. Where a node
// leaves the devices as partial sums, the sums must be added up before later
// nodes read them: the graph is cut into subgraphs that end there, and after
// each such subgraph its end node is all-reduced (allreduce.cpp).
//
// A cut may wait for a few linear follow-ups of the partial node (a bias per
// expert, scaling by mirrored factors, the sum over expert slices, the sum
// of two partial branches), so that one exchange serves them all. They are
// linear in the partial values only when they are the partial node's sole
// readers, which is checked here.
//
// Preparation (cutting, node lists, buffers) is done once per graph
// identity; computing the same graph again only submits work.

#include "meta/impl.h"

#include <algorithm>
#include <set>

static bool meta_in_meta_buffer(const struct tevo_tensor * t) {
    return t != NULL && t->buffer != NULL && tevo_backend_buffer_is_meta(t->buffer);
}

// Views used as they are on every device: a view of an input in host memory,
// which the devices read in place, and a view whose source the scheduler
// keeps on another backend but that falls among this graph's nodes, which the
// nodes here read through a copy. No device computes a view.
static bool meta_is_outside_view(const struct tevo_tensor * node) {
    const struct tevo_tensor * vs = node->view_src;
    if (vs == NULL) {
        return false;
    }
    return (vs->op == TEVO_OP_NONE && vs->buffer != NULL && tevo_backend_buffer_is_host(vs->buffer)) ||
           (tevo_op_is_empty(node->op) && !meta_in_meta_buffer(vs));
}

// the split axis of a tensor as it leaves the devices
static enum tevo_backend_meta_split_axis meta_node_axis(const struct tevo_tensor * t) {
    if (!meta_in_meta_buffer(t)) {
        return TEVO_BACKEND_SPLIT_AXIS_MIRRORED;
    }
    return meta_get_split_state(t, false).axis;
}

static bool meta_uses(const struct tevo_tensor * node, const struct tevo_tensor * t) {
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        if (node->src[i] == t) {
            return true;
        }
    }
    return false;
}

namespace {

// a partial node and the follow-ups that join it before the all-reduce
struct meta_chain {
    int              first;
    int              end;
    std::vector<int> joined;
};

}

// Segment extension: the nodes after the partial node `first` that may run
// before the all-reduce, because they are linear in its values.
static meta_chain meta_extend(const struct tevo_cgraph * g, int first) {
    meta_chain chain = { first, first, {} };
    const int  n     = g->n_nodes;
    int        tracked = first;

    // nodes whose device copies hold partial sums until the all-reduce
    std::set<const struct tevo_tensor *> held = { g->nodes[first] };

    auto independent = [&](int k) {
        const struct tevo_tensor * node = g->nodes[k];
        if (meta_node_axis(node) != TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
            return false;
        }
        for (int i = 0; i < TEVO_MAX_SRC; i++) {
            const struct tevo_tensor * src = node->src[i];
            if (src != NULL && (held.count(src) != 0 || meta_node_axis(src) != TEVO_BACKEND_SPLIT_AXIS_MIRRORED)) {
                return false;
            }
        }
        return true;
    };
    auto pass_over = [&](int k) {
        while (k < n && independent(k)) {
            k++;
        }
        return k;
    };
    auto join = [&](int k) {
        chain.joined.push_back(k);
        chain.end = k;
        tracked   = k;
        held.insert(g->nodes[k]);
    };
    auto used_once = [&](int i) { return tevo_node_get_use_count(g, i) == 1; };

    int k = pass_over(first + 1);

    // a bias per expert, itself split into partial shares
    if (k < n) {
        const struct tevo_tensor * node = g->nodes[k];
        if (node->op == TEVO_OP_ADD_ID && node->src[0] == g->nodes[tracked] && used_once(tracked) &&
            meta_node_axis(node->src[1]) == TEVO_BACKEND_SPLIT_AXIS_PARTIAL &&
            meta_node_axis(node->src[2]) == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
            join(k);
            k = pass_over(k + 1);
        }
    }

    // scaling by mirrored factors
    while (k < n) {
        const struct tevo_tensor * node = g->nodes[k];
        if (node->op != TEVO_OP_MUL || node->src[0] != g->nodes[tracked] || !used_once(tracked) ||
            meta_node_axis(node->src[1]) != TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
            break;
        }
        join(k);
        k = pass_over(k + 1);
    }

    // the sum over expert slices: m views of the tracked node, one per slot,
    // then a chain of m - 1 additions
    const struct tevo_tensor * tr = g->nodes[tracked];
    const int64_t              m  = tr->ne[1];
    if (m >= 2 && tevo_node_get_use_count(g, tracked) == m && k + 2 * m - 1 <= n) {
        bool ok = true;
        for (int64_t v = 0; v < m && ok; v++) {
            const struct tevo_tensor * view = g->nodes[k + v];
            ok = view->op == TEVO_OP_VIEW && view->src[0] == tr && view->view_offs == tr->view_offs + v * tr->nb[1] &&
                 view->ne[0] == tr->ne[0] && view->ne[1] == tr->ne[2] && view->nb[1] == tr->nb[2] &&
                 used_once(k + (int) v);
        }
        const struct tevo_tensor * sum = nullptr;
        for (int64_t v = 1; v < m && ok; v++) {
            const struct tevo_tensor * add   = g->nodes[k + m + v - 1];
            const struct tevo_tensor * left  = v == 1 ? g->nodes[k] : sum;
            const struct tevo_tensor * right = g->nodes[k + v];
            ok = add->op == TEVO_OP_ADD &&
                 ((add->src[0] == left && add->src[1] == right) || (add->src[0] == right && add->src[1] == left)) &&
                 used_once(k + (int) (m + v - 1));
            sum = add;
        }
        if (ok) {
            for (int64_t v = 0; v < 2 * m - 1; v++) {
                join(k + (int) v);
            }
        }
    }
    return chain;
}

// The sum of two partial branches: when the chain's end is read only by an
// addition with another partial chain, the exchange waits for that addition.
static bool meta_pair_branches(const struct tevo_cgraph * g, const std::vector<meta_backend_config> & cfgs,
                               const meta_chain & chain, meta_chain & other) {
    const int                  n  = g->n_nodes;
    const struct tevo_tensor * te = g->nodes[chain.end];
    if (tevo_node_get_use_count(g, chain.end) != 1) {
        return false;
    }
    for (int k = chain.end + 1; k < n; k++) {
        const struct tevo_tensor * node = g->nodes[k];
        if (meta_uses(node, te)) {
            return false;
        }
        if (meta_is_outside_view(node) || meta_node_axis(node) != TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
            continue;
        }

        other        = meta_extend(g, k);
        const int  f = other.end;
        if (tevo_node_get_use_count(g, f) != 1 || f + 1 >= n) {
            return false;
        }
        const struct tevo_tensor * tf  = g->nodes[f];
        const struct tevo_tensor * sum = g->nodes[f + 1];
        const bool                 adds_both =
            (sum->src[0] == te && sum->src[1] == tf) || (sum->src[0] == tf && sum->src[1] == te);
        if (sum->op != TEVO_OP_ADD || !adds_both || !tevo_are_same_shape(sum, te) || !tevo_are_same_shape(sum, tf) ||
            sum->type != te->type || sum->type != tf->type ||
            meta_node_axis(sum) != TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
            return false;
        }
        for (const meta_backend_config & cfg : cfgs) {
            if ((cfg.nodes[k]->flags & TEVO_TENSOR_FLAG_COMPUTE) !=
                (cfg.nodes[chain.first]->flags & TEVO_TENSOR_FLAG_COMPUTE)) {
                return false;
            }
        }
        other.joined.push_back(f + 1);
        other.end = f + 1;
        return true;
    }
    return false;
}

// Devices that do not compute a partial node hold nothing of it: the nodes
// that join it there are left out too, so the end node is zero-filled.
static void meta_skip_joined(std::vector<meta_backend_config> & cfgs, const meta_chain & chain) {
    for (meta_backend_config & cfg : cfgs) {
        if ((cfg.nodes[chain.first]->flags & TEVO_TENSOR_FLAG_COMPUTE) != 0) {
            continue;
        }
        for (int k : chain.joined) {
            cfg.nodes[k]->flags &= ~TEVO_TENSOR_FLAG_COMPUTE;
        }
    }
}

// Reads of the chain's nodes after the computation must see what the
// devices hold: the end node is summed, the nodes before it are not.
static void meta_record_device_states(const struct tevo_cgraph * g, const meta_chain & chain, int end) {
    if (chain.first != end) {
        meta_set_device_state(g->nodes[chain.first], TEVO_BACKEND_SPLIT_AXIS_PARTIAL);
    }
    for (int k : chain.joined) {
        if (k != end) {
            meta_set_device_state(g->nodes[k], TEVO_BACKEND_SPLIT_AXIS_PARTIAL);
        }
    }
}

static void meta_cut(meta_backend_context * ctx, const struct tevo_cgraph * cgraph, size_t & reduce_size) {
    const int n = cgraph->n_nodes;
    ctx->subgraphs.clear();
    reduce_size = 0;

    int i_start = 0;
    for (int i = 0; i < n; i++) {
        const struct tevo_tensor * node = cgraph->nodes[i];
        if (meta_is_outside_view(node) ||
            meta_get_split_state(node, false).axis != TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
            continue;
        }
        reduce_size = TEVO_MAX(reduce_size, tevo_nbytes(node));

        meta_chain chain = meta_extend(cgraph, i);
        meta_chain other = {};
        const bool paired = meta_pair_branches(cgraph, ctx->cfgs, chain, other);
        const int  end    = paired ? other.end : chain.end;
        if (paired) {
            // the final addition belongs to both branches
            chain.joined.push_back(other.end);
            meta_skip_joined(ctx->cfgs, other);
            meta_record_device_states(cgraph, other, end);
        }
        meta_skip_joined(ctx->cfgs, chain);
        meta_record_device_states(cgraph, chain, end);
        meta_set_device_state(cgraph->nodes[end], TEVO_BACKEND_SPLIT_AXIS_MIRRORED);

        reduce_size = TEVO_MAX(reduce_size, tevo_nbytes(cgraph->nodes[end]));
        ctx->subgraphs.push_back({ i_start, end, true });
        i_start = end + 1;
        i       = end;
    }
    if (i_start < n) {
        ctx->subgraphs.push_back({ i_start, n - 1, false });
        i_start = n;
    }
    TEVO_ASSERT(i_start == cgraph->n_nodes);
}

// room for the subgraphs, the one-node step graphs and the step records
static void meta_make_graph_context(meta_backend_context * ctx, int n_nodes, int n_subgraphs) {
    ctx->node_capacity = TEVO_MAX(ctx->node_capacity, n_nodes);
    ctx->max_subgraphs = TEVO_MAX(ctx->max_subgraphs, n_subgraphs);

    const size_t n_devs  = ctx->cfgs.size();
    const size_t n_sub   = (size_t) ctx->max_subgraphs;
    const size_t n_steps = (size_t) ctx->n_reduce_steps;
    const size_t per_dev = n_sub * tevo_graph_overhead_custom((size_t) ctx->node_capacity, false) +
                           2 * n_steps * n_sub * tevo_graph_overhead_custom(1, false) +
                           3 * n_steps * n_sub * tevo_tensor_overhead();

    tevo_free(ctx->ctx);
    struct tevo_init_params params = { n_devs * per_dev + TEVO_MEM_ALIGN, NULL, true };
    ctx->ctx                       = tevo_init(params);

    for (meta_backend_config & cfg : ctx->cfgs) {
        cfg.subgraphs.clear();
        for (size_t s = 0; s < n_sub; s++) {
            cfg.subgraphs.push_back(tevo_new_graph_custom(ctx->ctx, (size_t) ctx->node_capacity, false));
        }
    }
    ctx->step_graphs.clear();
    ctx->step_tensors.clear();
    for (size_t i = 0; i < 2 * n_steps * n_devs * n_sub; i++) {
        ctx->step_graphs.push_back(tevo_new_graph_custom(ctx->ctx, 1, false));
    }
    for (size_t i = 0; i < 3 * n_steps * n_devs * n_sub; i++) {
        ctx->step_tensors.push_back(tevo_new_tensor_1d(ctx->ctx, TEVO_TYPE_F32, 1));
    }
}

static enum tevo_status meta_prepare(meta_backend_context * ctx, struct tevo_cgraph * cgraph) {
    const int n = cgraph->n_nodes;
    for (meta_backend_config & cfg : ctx->cfgs) {
        cfg.nodes.assign((size_t) n, nullptr);
    }

    // sub-tensors of the graph stay; the other temporary sets are recycled
    std::set<tevo_backend_buffer_t> meta_bufs;
    for (int i = 0; i < cgraph->n_leafs; i++) {
        if (meta_in_meta_buffer(cgraph->leafs[i])) {
            meta_bufs.insert(cgraph->leafs[i]->buffer);
        }
    }
    for (int i = 0; i < n; i++) {
        if (meta_in_meta_buffer(cgraph->nodes[i])) {
            meta_bufs.insert(cgraph->nodes[i]->buffer);
        }
    }
    for (tevo_backend_buffer_t buf : meta_bufs) {
        meta_buffer_begin_graph(buf, cgraph);
    }
    // a graph placed before another one was computed may have lost its
    // sub-tensors to the recycling, or hold copies of sources made again
    for (int i = 0; i < cgraph->n_leafs + n; i++) {
        struct tevo_tensor * t = i < cgraph->n_leafs ? cgraph->leafs[i] : cgraph->nodes[i - cgraph->n_leafs];
        if (meta_in_meta_buffer(t)) {
            meta_refresh_sub_tensors(t);
        }
    }

    for (int i = 0; i < n; i++) {
        struct tevo_tensor * tensor = cgraph->nodes[i];
        if (meta_is_outside_view(tensor)) {
            for (meta_backend_config & bcj : ctx->cfgs) {
                bcj.nodes[i] = tensor;
            }
            continue;
        }
        TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
        for (size_t j = 0; j < ctx->cfgs.size(); j++) {
            meta_backend_config & bcj = ctx->cfgs[j];
            bcj.nodes[i]              = meta_simple_tensor(tensor, j);
            TEVO_ASSERT(bcj.nodes[i]);
        }
    }

    size_t reduce_size = 0;
    meta_cut(ctx, cgraph, reduce_size);
    const int n_subgraphs = (int) ctx->subgraphs.size();

    if (reduce_size > ctx->reduce_size && ctx->n_reduce_steps > 0) {
        for (meta_backend_config & cfg : ctx->cfgs) {
            for (tevo_backend_buffer_t & buf : cfg.reduce_bufs) {
                tevo_backend_buffer_free(buf);
                buf = tevo_backend_alloc_buffer(cfg.backend, reduce_size);
                if (buf == NULL) {
                    TEVO_LOG_ERROR("%s: failed to allocate a reduce buffer of %zu bytes\n", "meta_backend_graph_compute",
                                   reduce_size);
                    ctx->reduce_size = 0;
                    return TEVO_STATUS_ALLOC_FAILED;
                }
            }
        }
        ctx->reduce_size = reduce_size;
    }

    if (n > ctx->node_capacity || n_subgraphs > ctx->max_subgraphs) {
        meta_make_graph_context(ctx, n, n_subgraphs);
    }

    for (meta_backend_config & cfg : ctx->cfgs) {
        for (int s = 0; s < n_subgraphs; s++) {
            const meta_subgraph & sg = ctx->subgraphs[s];
            struct tevo_cgraph *  g  = cfg.subgraphs[s];
            g->n_nodes               = 0;
            g->n_leafs               = 0;
            tevo_hash_set_reset(&g->visited_hash_set);
            for (int i = sg.start; i <= sg.end; i++) {
                struct tevo_tensor * sub = cfg.nodes[i];
                g->nodes[g->n_nodes++]   = sub;
                // the full graph's counts: a node read in a later subgraph
                // must not look like a fusion candidate
                const size_t pos = tevo_hash_find_or_insert(&g->visited_hash_set, sub);
                g->use_counts[pos] = tevo_node_get_use_count(cgraph, i);
            }
            g->uid = tevo_graph_next_uid();
        }
    }

    ctx->uid = cgraph->uid;
    return TEVO_STATUS_SUCCESS;
}

enum tevo_status meta_backend_graph_compute(tevo_backend_t backend, struct tevo_cgraph * cgraph) {
    TEVO_ASSERT(tevo_backend_is_meta(backend));
    meta_backend_context * ctx = (meta_backend_context *) backend->context;
    TEVO_ASSERT(cgraph->grads == nullptr);

    // graphs without an identity may change between calls
    if (cgraph->uid == 0 || cgraph->uid != ctx->uid) {
        const enum tevo_status status = meta_prepare(ctx, cgraph);
        if (status != TEVO_STATUS_SUCCESS) {
            ctx->uid = 0;
            return status;
        }
    }

    const bool several = ctx->cfgs.size() >= 2;
    for (int s = 0; s < (int) ctx->subgraphs.size(); s++) {
        for (meta_backend_config & cfg : ctx->cfgs) {
            const enum tevo_status status = tevo_backend_graph_compute_async(cfg.backend, cfg.subgraphs[s]);
            if (status != TEVO_STATUS_SUCCESS) {
                return status;
            }
        }
        // the last subgraph too: a graph may end in partial sums
        if (several && ctx->subgraphs[s].reduce) {
            const enum tevo_status status = meta_allreduce(ctx, s);
            if (status != TEVO_STATUS_SUCCESS) {
                return status;
            }
        }
    }
    return TEVO_STATUS_SUCCESS;
}
