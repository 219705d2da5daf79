#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// All-reduce of a subgraph's end node: afterwards every device's copy holds
// the element-wise sum over the devices. A communication library offered by
// the first device's registry does it when it can; otherwise the devices
// exchange copies and add them: with p the largest power of two up to the
// device count n, devices p..n-1 first add into devices 0..n-p-1, devices
// 0..p-1 then sum by recursive doubling (log2 p rounds of pairwise
// exchange), and devices p..n-1 finally receive the sum.
//
// Devices that skipped the end node hold no partial sum of it, only stale
// memory: they are zero-filled first, whichever path then sums.

#include "meta/impl.h"

#include <algorithm>

static struct tevo_tensor * meta_step_tensor(meta_backend_context * ctx, int s, size_t dev, int slot, int which) {
    const size_t n_devs = ctx->cfgs.size();
    const size_t index  = (((size_t) s * n_devs + dev) * (size_t) ctx->n_reduce_steps + (size_t) slot) * 3 + which;
    return ctx->step_tensors[index];
}

static struct tevo_cgraph * meta_step_graph(meta_backend_context * ctx, int s, size_t dev, int slot, int which) {
    const size_t n_devs = ctx->cfgs.size();
    const size_t index  = (((size_t) s * n_devs + dev) * (size_t) ctx->n_reduce_steps + (size_t) slot) * 2 + which;
    return ctx->step_graphs[index];
}

// a step record rewritten to the layout of `like`, placed nowhere
static void meta_step_record(struct tevo_tensor * rec, const struct tevo_tensor * like, const char * name) {
    rec->type = like->type;
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        rec->ne[i] = like->ne[i];
        rec->nb[i] = like->nb[i];
    }
    rec->op = TEVO_OP_NONE;
    memset(rec->op_params, 0, sizeof(rec->op_params));
    rec->flags = 0;
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        rec->src[i] = NULL;
    }
    rec->view_src  = NULL;
    rec->view_offs = 0;
    rec->data      = NULL;
    rec->buffer    = NULL;
    rec->extra     = NULL;
    tevo_set_name(rec, name);
}

static struct tevo_cgraph * meta_one_node_graph(struct tevo_cgraph * g, struct tevo_tensor * node) {
    g->n_nodes = 0;
    g->n_leafs = 0;
    tevo_hash_set_reset(&g->visited_hash_set);
    g->nodes[g->n_nodes++] = node;
    g->use_counts[tevo_hash_find_or_insert(&g->visited_hash_set, node)] = 0;
    return g;
}

static enum tevo_status meta_zero_fill(meta_backend_context * ctx, int s, size_t j, struct tevo_tensor * node) {
    struct tevo_tensor * fill = meta_step_tensor(ctx, s, j, 0, 2);
    meta_step_record(fill, node, "meta_zero_fill");
    fill->op     = TEVO_OP_FILL; // operator parameter 0 is the value: 0.0
    fill->flags  = TEVO_TENSOR_FLAG_COMPUTE;
    fill->src[0] = node;
    fill->data   = node->data;
    fill->buffer = node->buffer;
    return tevo_backend_graph_compute_async(ctx->cfgs[j].backend,
                                            meta_one_node_graph(meta_step_graph(ctx, s, j, 0, 1), fill));
}

// Copies the source device's end node into the receiver's reduce slot and
// returns the one-node graph that adds it in place on the receiver.
static struct tevo_cgraph * meta_allreduce_fallback(meta_backend_context * ctx, int s, size_t src, size_t dst,
                                                    int slot) {
    const int            end      = ctx->subgraphs[s].end;
    struct tevo_tensor * node_src = ctx->cfgs[src].nodes[end];
    struct tevo_tensor * node_dst = ctx->cfgs[dst].nodes[end];
    TEVO_ASSERT(tevo_is_contiguous(node_src));
    TEVO_ASSERT(tevo_is_contiguous(node_dst));

    meta_backend_config &   cfg = ctx->cfgs[dst];
    tevo_backend_buffer_t & buf = cfg.reduce_bufs[slot];
    if (buf == NULL || tevo_backend_buffer_get_size(buf) < ctx->reduce_size) {
        tevo_backend_buffer_free(buf);
        buf = tevo_backend_alloc_buffer(cfg.backend, ctx->reduce_size);
        TEVO_ASSERT(buf != NULL);
    }

    struct tevo_tensor * copy = meta_step_tensor(ctx, s, dst, slot, 0);
    meta_step_record(copy, node_dst, "meta_reduce_copy");
    TEVO_ASSERT(tevo_backend_tensor_alloc(buf, copy, tevo_backend_buffer_get_base(buf)) == TEVO_STATUS_SUCCESS);
    tevo_backend_tensor_copy_async(ctx->cfgs[src].backend, cfg.backend, node_src, copy);

    struct tevo_tensor * add = meta_step_tensor(ctx, s, dst, slot, 1);
    meta_step_record(add, node_dst, "meta_reduce_add");
    add->op        = TEVO_OP_ADD;
    add->flags     = TEVO_TENSOR_FLAG_COMPUTE;
    add->src[0]    = node_dst;
    add->src[1]    = copy;
    add->view_src  = node_dst->view_src != NULL ? node_dst->view_src : node_dst;
    add->view_offs = node_dst->view_offs;
    TEVO_ASSERT(tevo_backend_view_init(add) == TEVO_STATUS_SUCCESS);

    return meta_one_node_graph(meta_step_graph(ctx, s, dst, slot, 0), add);
}

enum tevo_status meta_allreduce(meta_backend_context * ctx, int s) {
    const size_t n   = ctx->cfgs.size();
    const int    end = ctx->subgraphs[s].end;

    for (size_t j = 0; j < n; j++) {
        struct tevo_tensor * node = ctx->cfgs[j].nodes[end];
        if ((node->flags & TEVO_TENSOR_FLAG_COMPUTE) == 0 && tevo_nelements(node) > 0) {
            const enum tevo_status status = meta_zero_fill(ctx, s, j, node);
            if (status != TEVO_STATUS_SUCCESS) {
                return status;
            }
        }
    }

    if (ctx->comm_allreduce != nullptr) {
        std::vector<struct tevo_tensor *> tensors;
        for (meta_backend_config & cfg : ctx->cfgs) {
            tensors.push_back(cfg.nodes[end]);
        }
        if (ctx->comm_allreduce(ctx->comm_ctx, tensors.data())) {
            return TEVO_STATUS_SUCCESS;
        }
    }

    size_t p = 1;
    while (p * 2 <= n) {
        p *= 2;
    }

    int slot = 0;
    if (p < n) {
        // the devices beyond the power of two hand their share over first
        for (size_t i = 0; p + i < n; i++) {
            struct tevo_cgraph *   g      = meta_allreduce_fallback(ctx, s, p + i, i, i == 0 ? 0 : 1);
            const enum tevo_status status = tevo_backend_graph_compute_async(ctx->cfgs[i].backend, g);
            if (status != TEVO_STATUS_SUCCESS) {
                return status;
            }
        }
        slot = 1;
    }

    for (size_t h = p / 2; h >= 1; h /= 2, slot++) {
        // every copy reads a value before any addition changes it
        std::vector<std::pair<size_t, struct tevo_cgraph *>> adds;
        for (size_t l = 0; l < p; l++) {
            const size_t partner = l ^ h;
            adds.push_back({ partner, meta_allreduce_fallback(ctx, s, l, partner, slot) });
        }
        std::sort(adds.begin(), adds.end(),
                  [](const std::pair<size_t, struct tevo_cgraph *> & a,
                     const std::pair<size_t, struct tevo_cgraph *> & b) { return a.first < b.first; });
        for (const auto & add : adds) {
            const enum tevo_status status = tevo_backend_graph_compute_async(ctx->cfgs[add.first].backend, add.second);
            if (status != TEVO_STATUS_SUCCESS) {
                return status;
            }
        }
    }

    for (size_t i = 0; p + i < n; i++) {
        tevo_backend_tensor_copy_async(ctx->cfgs[i].backend, ctx->cfgs[p + i].backend, ctx->cfgs[i].nodes[end],
                                       ctx->cfgs[p + i].nodes[end]);
    }
    return TEVO_STATUS_SUCCESS;
}
