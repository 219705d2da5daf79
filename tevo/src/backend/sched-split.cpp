#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// Backend assignment and graph splitting of the scheduler: decides which
// backend owns every tensor, cuts the nodes into splits, copies split inputs
// that the split's backend cannot read, and builds the combined graph that
// the graph allocator plans in one go.

#include "backend/sched-impl.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>

// ---------------------------------------------------------------------------
// backend assignment

// whether t is a view of a source whose placement no scheduler holds now
static bool tevo_sched_views_stale(const struct tevo_backend_sched * sched, const struct tevo_tensor * t) {
    return t->view_src != NULL && !sched->stale_sources.empty() &&
           std::find(sched->stale_sources.begin(), sched->stale_sources.end(), t->view_src) !=
               sched->stale_sources.end();
}

// the buffer a tensor's memory lies in; NULL without one, or when that
// buffer may be freed
static tevo_backend_buffer_t tevo_sched_buffer_of(const struct tevo_backend_sched * sched,
                                                  const struct tevo_tensor * t) {
    if (tevo_sched_views_stale(sched, t)) {
        return NULL;
    }
    return t->view_src ? t->view_src->buffer : t->buffer;
}

// first backend (in priority order) that can use the tensor's buffer and run
// the operation, or -1 when the tensor has no buffer or none can
static int tevo_sched_backend_from_buffer(struct tevo_backend_sched * sched, const struct tevo_tensor * tensor,
                                          const struct tevo_tensor * op) {
    tevo_backend_buffer_t buffer = tevo_sched_buffer_of(sched, tensor);
    if (buffer == NULL) {
        return -1;
    }
    for (int i = 0; i < sched->n_backends; i++) {
        if (tevo_backend_supports_buft(sched->backends[i], buffer->buft) &&
            tevo_backend_supports_op(sched->backends[i], op)) {
            return i;
        }
    }
    return -1;
}

static bool tevo_sched_is_weight(const struct tevo_tensor * t) {
    return t->buffer != NULL && t->buffer->usage == TEVO_BACKEND_BUFFER_USAGE_WEIGHTS;
}

// the backend a tensor gets before expansion: from its memory, as an input, or
// from the first weight among its sources; -1 leaves it to the later passes
static int tevo_sched_backend_id_from_cur(struct tevo_backend_sched * sched, struct tevo_tensor * tensor) {
    // refused by an allocation; a sizing takes it for host memory
    if (tevo_sched_views_stale(sched, tensor)) {
        return sched->n_backends - 1;
    }
    int cur_backend_id = tevo_sched_backend_from_buffer(sched, tensor, tensor);
    if (cur_backend_id != -1) {
        return cur_backend_id;
    }

    if (tensor->view_src != NULL) {
        cur_backend_id = tevo_sched_backend_from_buffer(sched, tensor->view_src, tensor);
        if (cur_backend_id != -1) {
            return cur_backend_id;
        }
    }

    if (tensor->buffer || (tensor->view_src && tensor->view_src->buffer)) {
        tevo_backend_buffer_t buffer = tensor->view_src ? tensor->view_src->buffer : tensor->buffer;
        TEVO_ABORT("pre-allocated tensor (%s) in a buffer (%s) that cannot run the operation (%s)", tensor->name,
                   tevo_backend_buffer_name(buffer), tevo_op_name(tensor->op));
    }

    // inputs come from the host
    if (tensor->flags & TEVO_TENSOR_FLAG_INPUT) {
        return sched->n_backends - 1;
    }

    // the small tables these read say nothing about where the work belongs
    if (tensor->op == TEVO_OP_ROPE || tensor->op == TEVO_OP_FLASH_ATTN_EXT) {
        return -1;
    }

    // operations on weights run where the weights are, unless a faster
    // backend wants to take them from host memory
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        const struct tevo_tensor * src = tensor->src[i];
        if (src == NULL || !tevo_sched_is_weight(src)) {
            continue;
        }
        const int src_backend_id = tevo_sched_backend_from_buffer(sched, src, tensor);
        if (sched->op_offload && src_backend_id == sched->n_backends - 1 &&
            tevo_backend_buffer_is_host(src->buffer)) {
            for (int b = 0; b < src_backend_id; b++) {
                if (tevo_backend_supports_op(sched->backends[b], tensor) &&
                    tevo_backend_offload_op(sched->backends[b], tensor)) {
                    return b;
                }
            }
        }
        return src_backend_id;
    }

    return -1;
}

// whether backend_id can read the tensor where it lives (or will live)
static bool tevo_sched_buffer_supported(struct tevo_backend_sched * sched, const struct tevo_tensor * t,
                                        int backend_id) {
    tevo_backend_buffer_t      buf  = tevo_sched_buffer_of(sched, t);
    tevo_backend_buffer_type_t buft = NULL;

    if (buf) {
        buft = buf->buft;
    } else {
        int tensor_backend_id = *tevo_sched_tensor_backend_id(sched, t);
        if (tensor_backend_id == -1 && t->view_src) {
            tensor_backend_id = *tevo_sched_tensor_backend_id(sched, t->view_src);
        }
        if (tensor_backend_id != -1) {
            buft = sched->bufts[tensor_backend_id];
        }
    }

    return buft != NULL && tevo_backend_supports_buft(sched->backends[backend_id], buft);
}

// one expansion sweep; with skip_cpu the last backend does not spread
static void tevo_sched_expand_sweep(struct tevo_backend_sched * sched, struct tevo_cgraph * graph, bool forward,
                                    bool skip_cpu) {
    int cur_backend_id = -1;
    for (int k = 0; k < graph->n_nodes; k++) {
        const int            i    = forward ? k : graph->n_nodes - 1 - k;
        struct tevo_tensor * node = graph->nodes[i];
        if (tevo_sched_is_view_op(node->op)) {
            continue;
        }
        int * node_backend_id = tevo_sched_tensor_backend_id(sched, node);
        if (*node_backend_id != -1) {
            if (skip_cpu && *node_backend_id == sched->n_backends - 1) {
                cur_backend_id = -1;
            } else {
                cur_backend_id = *node_backend_id;
            }
        } else if (cur_backend_id != -1) {
            if (tevo_backend_supports_op(sched->backends[cur_backend_id], node)) {
                *node_backend_id = cur_backend_id;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// growing containers

static void tevo_sched_split_inputs_grow(struct tevo_backend_sched_split * split) {
    const int new_capacity = split->inputs_capacity == 0 ? 30 : split->inputs_capacity * 2;
    if (split->inputs_capacity > 0) {
        TEVO_LOG_DEBUG("%s: increasing split inputs capacity from %d to %d\n", "tevo_backend_sched_split_inputs_grow",
                       split->inputs_capacity, new_capacity);
    }
    const size_t nbytes = (size_t) new_capacity * sizeof(struct tevo_tensor *);
    struct tevo_tensor ** inputs = (struct tevo_tensor **) realloc(split->inputs, nbytes);
    if (inputs == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate %zu bytes\n", "tevo_backend_sched_split_inputs_grow", nbytes);
        TEVO_ABORT("failed to grow split inputs container");
    }
    split->inputs          = inputs;
    split->inputs_capacity = new_capacity;
}

static void tevo_sched_graph_inputs_grow(struct tevo_backend_sched * sched) {
    const int new_capacity = sched->graph_inputs_capacity == 0 ? 30 : sched->graph_inputs_capacity * 2;
    if (sched->graph_inputs_capacity > 0) {
        TEVO_LOG_DEBUG("%s: increasing graph inputs capacity from %d to %d\n", "tevo_backend_sched_graph_inputs_grow",
                       sched->graph_inputs_capacity, new_capacity);
    }
    const size_t nbytes = (size_t) new_capacity * sizeof(struct tevo_tensor *);
    struct tevo_tensor ** inputs = (struct tevo_tensor **) realloc(sched->graph_inputs, nbytes);
    if (inputs == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate %zu bytes\n", "tevo_backend_sched_graph_inputs_grow", nbytes);
        TEVO_ABORT("failed to grow graph inputs container");
    }
    sched->graph_inputs          = inputs;
    sched->graph_inputs_capacity = new_capacity;
}

static struct tevo_backend_sched_split * tevo_sched_open_split(struct tevo_backend_sched * sched, int i_split) {
    if (i_split >= sched->splits_capacity) {
        const int new_capacity = sched->splits_capacity * 2;
        sched->splits = (struct tevo_backend_sched_split *) realloc(
            sched->splits, (size_t) new_capacity * sizeof(struct tevo_backend_sched_split));
        TEVO_ASSERT(sched->splits != NULL);
        memset(&sched->splits[sched->splits_capacity], 0,
               (size_t) (new_capacity - sched->splits_capacity) * sizeof(struct tevo_backend_sched_split));
        sched->splits_capacity = new_capacity;
    }
    return &sched->splits[i_split];
}

// a tensor record of the same type, shape and strides, without data
static struct tevo_tensor * tevo_sched_dup_layout(struct tevo_context * ctx, const struct tevo_tensor * src) {
    struct tevo_tensor * t = tevo_new_tensor(ctx, src->type, TEVO_MAX_DIMS, src->ne);
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        t->nb[i] = src->nb[i];
    }
    return t;
}

// ---------------------------------------------------------------------------
// debug output

static const char * tevo_sched_fmt_size(size_t size) {
    static char buffer[128];
    if (size >= 1024 * 1024) {
        snprintf(buffer, sizeof(buffer), "%zuM", size / 1024 / 1024);
    } else {
        snprintf(buffer, sizeof(buffer), "%zuK", size / 1024);
    }
    return buffer;
}

// backend of a tensor for printing only: looking it up must not fill the set
static tevo_backend_t tevo_sched_peek_backend(struct tevo_backend_sched * sched, const struct tevo_tensor * t) {
    if (!tevo_hash_contains(&sched->hash_set, t)) {
        return NULL;
    }
    const int id = sched->hv_tensor_backend_ids[tevo_hash_find(&sched->hash_set, t)];
    return id == -1 ? NULL : sched->backends[id];
}

static void tevo_sched_print_assignments(struct tevo_backend_sched * sched, struct tevo_cgraph * graph) {
    int cur_split = 0;
    for (int i = 0; i < graph->n_nodes; i++) {
        if (cur_split < sched->n_splits && i == sched->splits[cur_split].i_start) {
            const struct tevo_backend_sched_split * split = &sched->splits[cur_split];
            tevo_backend_t split_backend = sched->backends[split->backend_id];
            TEVO_LOG_DEBUG("\n## SPLIT #%d: %s # %d inputs", cur_split, tevo_backend_name(split_backend),
                           split->n_inputs);
            if (split->n_inputs > 0) {
                TEVO_LOG_DEBUG(": ");
            }
            for (int j = 0; j < split->n_inputs; j++) {
                TEVO_LOG_DEBUG("[%s (%5.5s)] ", split->inputs[j]->name, tevo_sched_fmt_size(tevo_nbytes(split->inputs[j])));
            }
            TEVO_LOG_DEBUG("\n");
            cur_split++;
        }
        struct tevo_tensor * node = graph->nodes[i];
        if (tevo_sched_is_view_op(node->op)) {
            continue;
        }
        if (sched->debug > 1) {
            tevo_backend_t node_backend = tevo_sched_peek_backend(sched, node);
            TEVO_LOG_DEBUG("node #%3d (%10.10s): %20.20s (%5.5s) [%5.5s %8.8s] use=%d,c=%d:", i, tevo_op_desc(node),
                           node->name, tevo_sched_fmt_size(tevo_nbytes(node)), tevo_backend_name(node_backend), "",
                           tevo_node_get_use_count(graph, i), (node->flags & TEVO_TENSOR_FLAG_COMPUTE) ? 1 : 0);
            for (int j = 0; j < TEVO_MAX_SRC; j++) {
                struct tevo_tensor * src = node->src[j];
                if (src == NULL) {
                    continue;
                }
                tevo_backend_t src_backend = tevo_sched_peek_backend(sched, src);
                TEVO_LOG_DEBUG(" %20.20s (%5.5s) [%5.5s %8.8s]", src->name, tevo_sched_fmt_size(tevo_nbytes(src)),
                               tevo_backend_name(src_backend), "");
            }
            TEVO_LOG_DEBUG("\n");
        }
    }
}

// ---------------------------------------------------------------------------
// dependencies declared by the backends

static void tevo_sched_add_dep(void * user_data, struct tevo_tensor * tensor, struct tevo_tensor * node) {
    struct tevo_backend_sched *          sched = (struct tevo_backend_sched *) user_data;
    std::vector<struct tevo_tensor *> & list  = sched->deps[node];
    if (std::find(list.begin(), list.end(), tensor) == list.end()) {
        list.push_back(tensor);
    }
}

#define TEVO_SCHED_DEPS_PER_NODE 10

static int tevo_sched_n_dep_nodes(size_t n_deps) {
    return (int) ((n_deps + TEVO_SCHED_DEPS_PER_NODE - 1) / TEVO_SCHED_DEPS_PER_NODE);
}

// ---------------------------------------------------------------------------
// combined graph

static void tevo_sched_grow_combined_graph(struct tevo_backend_sched * sched, int graph_size) {
    if (sched->graph.size < graph_size) {
        sched->graph.nodes =
            (struct tevo_tensor **) realloc(sched->graph.nodes, (size_t) graph_size * sizeof(struct tevo_tensor *));
        TEVO_ASSERT(sched->graph.nodes != NULL);
        sched->graph.leafs =
            (struct tevo_tensor **) realloc(sched->graph.leafs, (size_t) graph_size * sizeof(struct tevo_tensor *));
        TEVO_ASSERT(sched->graph.leafs != NULL);
        sched->graph.size = graph_size;
    }
    // the backend of each position must fit as well; the previous split's
    // entries are kept for the comparison that decides about re-planning
    if (sched->backend_ids_size < graph_size) {
        int ** arrays[4] = { &sched->node_backend_ids, &sched->leaf_backend_ids, &sched->prev_node_backend_ids,
                             &sched->prev_leaf_backend_ids };
        for (int k = 0; k < 4; k++) {
            int * ids = (int *) realloc(*arrays[k], (size_t) graph_size * sizeof(int));
            TEVO_ASSERT(ids != NULL);
            memset(ids + sched->backend_ids_size, 0, (size_t) (graph_size - sched->backend_ids_size) * sizeof(int));
            *arrays[k] = ids;
        }
        sched->backend_ids_size = graph_size;
    }
}

// ---------------------------------------------------------------------------
// placements made before

// Every placement a scheduler made for a tensor of the graph, this one or
// another, for whichever graph, is taken back, so that the graph allocator
// places the tensor anew: a scheduler computes only into memory it placed
// for its current graph (or the caller placed), and the one that placed the
// tensor first notices the lost mark before its next compute. A view source
// outside the graph cannot be placed anew: one that another live scheduler
// holds for its current graph is read where it is (and checked before each
// compute); any other placed one makes the allocation fail.
static void tevo_sched_take_back(struct tevo_backend_sched * sched, struct tevo_cgraph * graph) {
    sched->outside.clear();
    sched->refused_view = nullptr;
    sched->stale_sources.clear();
    struct tevo_tensor ** lists[2]  = { graph->leafs, graph->nodes };
    const int             counts[2] = { graph->n_leafs, graph->n_nodes };
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            struct tevo_tensor * t = lists[l][i];
            if (tevo_sched_mark(t) != 0) {
                t->buffer = NULL;
                t->data   = NULL;
                tevo_sched_set_mark(t, 0);
            }
        }
    }
    // what still carries a mark now is outside the graph; the tensors of
    // one allocation share its mark: ask once per mark in a row
    uint64_t last_mark = 0;
    bool     last_held = false;
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            struct tevo_tensor * t    = lists[l][i];
            const uint64_t       mark = t->view_src != NULL ? tevo_sched_mark(t->view_src) : 0;
            if (mark == 0) {
                continue;
            }
            if (mark != last_mark) {
                last_mark = mark;
                last_held = tevo_sched_mark_held_elsewhere(sched, mark);
            }
            if (!last_held) {
                sched->refused_view = t;
                if (sched->stale_sources.empty() || sched->stale_sources.back() != t->view_src) {
                    sched->stale_sources.push_back(t->view_src);
                }
            } else if (sched->outside.empty() || sched->outside.back().first != t->view_src) {
                sched->outside.push_back({ t->view_src, mark });
            }
        }
    }
    // from here on the plan is replaced: the last graph's memory is no
    // longer anyone's to read
    sched->place_serial = 0;
    sched->alloc_graph  = nullptr;
    sched->alloc_kept   = false;
}

// ---------------------------------------------------------------------------
// splitting

void tevo_backend_sched_split_graph(struct tevo_backend_sched * sched, struct tevo_cgraph * graph) {
    if (sched->clear_pending) {
        tevo_sched_clear(sched);
    }
    // copies of an earlier split lived in the context that is recreated now;
    // keeping their pointers would hand out records overwritten below
    if (!sched->is_reset) {
        memset(sched->hv_tensor_copies, 0,
               sched->hash_set.size * sched->n_backends * sched->n_copies * sizeof(struct tevo_tensor *));
    }

    sched->n_splits       = 0;
    sched->n_graph_inputs = 0;
    sched->is_reset       = false;
    sched->split_assigned = true;

    struct tevo_init_params params = {
        /*.mem_size   =*/sched->context_buffer_size,
        /*.mem_buffer =*/sched->context_buffer,
        /*.no_alloc   =*/true,
    };
    tevo_free(sched->ctx);
    sched->ctx = tevo_init(params);
    if (sched->ctx == NULL) {
        TEVO_ABORT("%s: failed to initialize context\n", "tevo_backend_sched_split_graph");
    }

    graph->uid = tevo_graph_next_uid();

    sched->redirects.clear();
    tevo_sched_take_back(sched, graph);

    // pass 1: tensors whose memory, input flag or weights decide
    for (int i = 0; i < graph->n_leafs; i++) {
        struct tevo_tensor * leaf = graph->leafs[i];
        int * leaf_backend_id = tevo_sched_tensor_backend_id(sched, leaf);
        if (*leaf_backend_id == -1) {
            *leaf_backend_id = tevo_sched_backend_id_from_cur(sched, leaf);
        }
    }
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        int * node_backend_id = tevo_sched_tensor_backend_id(sched, node);
        if (*node_backend_id == -1) {
            *node_backend_id = tevo_sched_backend_id_from_cur(sched, node);
        }
    }

    // pass 2: spread the assigned backends to their neighbours; the other
    // backends go first, up and down, and the CPU only fills what is left
    tevo_sched_expand_sweep(sched, graph, true, true);
    tevo_sched_expand_sweep(sched, graph, false, true);
    tevo_sched_expand_sweep(sched, graph, true, false);
    tevo_sched_expand_sweep(sched, graph, false, false);

    // pass 3: move nodes to a higher-priority backend with the same buffer
    // type, and place the rest where most of their sources already are
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        if (tevo_sched_is_view_op(node->op)) {
            continue;
        }
        int * node_backend_id = tevo_sched_tensor_backend_id(sched, node);
        if (*node_backend_id == -1) {
            int n_supported_best = -1;
            for (int b = 0; b < sched->n_backends; b++) {
                if (!tevo_backend_supports_op(sched->backends[b], node)) {
                    continue;
                }
                int n_supported = 0;
                for (int j = 0; j < TEVO_MAX_SRC; j++) {
                    struct tevo_tensor * src = node->src[j];
                    if (src == NULL) {
                        continue;
                    }
                    const bool placed = *tevo_sched_tensor_backend_id(sched, src) != -1 ||
                                        (src->view_src != NULL &&
                                         *tevo_sched_tensor_backend_id(sched, src->view_src) != -1);
                    if (placed && tevo_sched_buffer_supported(sched, src, b)) {
                        n_supported++;
                    }
                }
                if (n_supported > n_supported_best) {
                    n_supported_best = n_supported;
                    *node_backend_id = b;
                }
            }
        } else {
            for (int b = 0; b < *node_backend_id; b++) {
                if (sched->bufts[b] != sched->bufts[*node_backend_id] ||
                    !tevo_backend_supports_op(sched->backends[b], node)) {
                    continue;
                }
                bool supported = true;
                for (int j = 0; j < TEVO_MAX_SRC; j++) {
                    struct tevo_tensor * src = node->src[j];
                    if (src == NULL) {
                        continue;
                    }
                    if (!tevo_sched_buffer_supported(sched, src, b)) {
                        supported = false;
                        break;
                    }
                }
                if (supported) {
                    *node_backend_id = b;
                    break;
                }
            }
        }
    }

    // pass 4: views follow their sources, sources their readers
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        int * cur_backend_id = tevo_sched_tensor_backend_id(sched, node);
        if (node->view_src != NULL && *cur_backend_id == -1) {
            *cur_backend_id = *tevo_sched_tensor_backend_id(sched, node->view_src);
        }
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * src = node->src[j];
            if (src == NULL) {
                continue;
            }
            int * src_backend_id = tevo_sched_tensor_backend_id(sched, src);
            if (*src_backend_id == -1) {
                if (src->view_src != NULL) {
                    *src_backend_id = *tevo_sched_tensor_backend_id(sched, src->view_src);
                } else {
                    *src_backend_id = *cur_backend_id;
                }
            }
        }
        for (int b = 0; b < sched->n_backends && *cur_backend_id == -1; b++) {
            if (tevo_backend_supports_op(sched->backends[b], node)) {
                *cur_backend_id = b;
            }
        }
        TEVO_ASSERT(*cur_backend_id != -1);
    }

    // a view computes nothing and lives in its source's memory: it is where
    // that memory is (or where the source will be placed), whatever it or
    // its source was pinned to, so a reader elsewhere copies it
    struct tevo_tensor ** lists[2]  = { graph->nodes, graph->leafs };
    const int             counts[2] = { graph->n_nodes, graph->n_leafs };
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            struct tevo_tensor * t = lists[l][i];
            if (t->view_src == NULL || !(tevo_sched_is_view_op(t->op) || t->op == TEVO_OP_NONE)) {
                continue;
            }
            int src_backend_id = -1;
            if (tevo_sched_buffer_of(sched, t) != NULL) {
                src_backend_id = tevo_sched_backend_from_buffer(sched, t, t);
            } else if (tevo_hash_contains(&sched->hash_set, t->view_src)) {
                // a source outside the graph that nothing assigned is not
                // looked up: the set has room for the graph's own tensors only
                src_backend_id = sched->hv_tensor_backend_ids[tevo_hash_find(&sched->hash_set, t->view_src)];
            }
            if (src_backend_id != -1) {
                *tevo_sched_tensor_backend_id(sched, t) = src_backend_id;
            }
        }
    }

    // pass 5: cut the splits and copy their inputs
    {
        int i_split = 0;
        struct tevo_backend_sched_split * split = &sched->splits[0];

        int i = 0;
        for (; i < graph->n_nodes; i++) {
            struct tevo_tensor * node = graph->nodes[i];
            if (!tevo_sched_is_view_op(node->op)) {
                split->backend_id = *tevo_sched_tensor_backend_id(sched, node);
                break;
            }
        }
        split->i_start  = 0;
        split->n_inputs = 0;
        int cur_backend_id = split->backend_id;

        for (; i < graph->n_nodes; i++) {
            struct tevo_tensor * node = graph->nodes[i];
            if (tevo_sched_is_view_op(node->op)) {
                continue;
            }
            const int node_backend_id = *tevo_sched_tensor_backend_id(sched, node);
            TEVO_ASSERT(node_backend_id != -1);

            // a weight the split's backend cannot read starts a new split, so
            // the memory of the weights copied so far can be used again
            bool need_new_split = false;
            if (node_backend_id == cur_backend_id && split->n_inputs > 0) {
                for (int j = 0; j < TEVO_MAX_SRC; j++) {
                    struct tevo_tensor * src = node->src[j];
                    if (src == NULL || !tevo_sched_is_weight(src)) {
                        continue;
                    }
                    const int src_backend_id = *tevo_sched_tensor_backend_id(sched, src);
                    if (src_backend_id != cur_backend_id && !tevo_sched_buffer_supported(sched, src, cur_backend_id)) {
                        need_new_split = true;
                        break;
                    }
                }
            }

            if (node_backend_id != cur_backend_id || need_new_split) {
                split->i_end = i;
                i_split++;
                split = tevo_sched_open_split(sched, i_split);
                split->backend_id = node_backend_id;
                split->i_start    = i;
                split->n_inputs   = 0;
                cur_backend_id    = node_backend_id;
            }

            for (int j = 0; j < TEVO_MAX_SRC; j++) {
                struct tevo_tensor * src = node->src[j];
                if (src == NULL) {
                    continue;
                }
                const size_t src_id         = tevo_sched_hash_id(sched, src);
                const int    src_backend_id = sched->hv_tensor_backend_ids[src_id];
                TEVO_ASSERT(src_backend_id != -1);

                if (src_backend_id == cur_backend_id || tevo_sched_buffer_supported(sched, src, cur_backend_id)) {
                    continue;
                }
                if (*tevo_sched_tensor_id_copy(sched, src_id, cur_backend_id, 0) == NULL) {
                    tevo_backend_t backend = sched->backends[cur_backend_id];
                    for (int c = 0; c < sched->n_copies; c++) {
                        struct tevo_tensor * tensor_copy = tevo_sched_dup_layout(sched->ctx, src);
                        tevo_format_name(tensor_copy, "%s#%s#%d", tevo_backend_name(backend), src->name, c);
                        if (sched->n_copies > 1) {
                            // the allocator must neither reuse nor overwrite a slot
                            tevo_set_input(tensor_copy);
                            tevo_set_output(tensor_copy);
                        }
                        *tevo_sched_tensor_id_copy(sched, src_id, cur_backend_id, c) = tensor_copy;
                    }
                    if (split->n_inputs >= split->inputs_capacity) {
                        tevo_sched_split_inputs_grow(split);
                    }
                    split->inputs[split->n_inputs++] = src;
                }
                struct tevo_sched_redirect & r = sched->redirects[node];
                r.own[j]                       = src;
                r.copy[j]     = *tevo_sched_tensor_id_copy(sched, src_id, cur_backend_id, sched->cur_copy);
                node->src[j]  = r.copy[j];
            }
        }
        split->i_end    = graph->n_nodes;
        sched->n_splits = i_split + 1;
        // until the call that split returns
        sched->at_copies = true;
    }

    if (sched->debug) {
        tevo_sched_print_assignments(sched, graph);
    }

    // graph inputs get one copy per slot, the current slot being the input itself
    if (sched->n_copies > 1) {
        for (int i = 0; i < graph->n_leafs; i++) {
            struct tevo_tensor * leaf = graph->leafs[i];
            if (!(leaf->flags & TEVO_TENSOR_FLAG_INPUT)) {
                continue;
            }
            const size_t leaf_id         = tevo_sched_hash_id(sched, leaf);
            const int    leaf_backend_id = sched->hv_tensor_backend_ids[leaf_id];
            TEVO_ASSERT(leaf_backend_id != -1);
            if (*tevo_sched_tensor_id_copy(sched, leaf_id, leaf_backend_id, 0) != NULL) {
                continue;
            }
            tevo_backend_t backend = sched->backends[leaf_backend_id];
            for (int c = 0; c < sched->n_copies; c++) {
                struct tevo_tensor * tensor_copy;
                if (c == sched->cur_copy) {
                    tensor_copy = leaf;
                } else {
                    tensor_copy = tevo_sched_dup_layout(sched->ctx, leaf);
                    tevo_format_name(tensor_copy, "%s#%s#%d", tevo_backend_name(backend), leaf->name, c);
                }
                tevo_set_input(tensor_copy);
                tevo_set_output(tensor_copy);
                *tevo_sched_tensor_id_copy(sched, leaf_id, leaf_backend_id, c) = tensor_copy;
            }
            if (sched->n_graph_inputs >= sched->graph_inputs_capacity) {
                tevo_sched_graph_inputs_grow(sched);
            }
            sched->graph_inputs[sched->n_graph_inputs++] = leaf;
        }
    }

    // keep the previous assignment of the combined graph for the re-planning check
    std::swap(sched->node_backend_ids, sched->prev_node_backend_ids);
    std::swap(sched->leaf_backend_ids, sched->prev_leaf_backend_ids);

    // let the backends look at their splits and declare dependencies
    sched->deps.clear();
    struct tevo_backend_dep_callback dep_callback = { tevo_sched_add_dep, sched };
    for (int i = 0; i < sched->n_splits; i++) {
        struct tevo_backend_sched_split * split = &sched->splits[i];
        split->graph = tevo_graph_view(graph, split->i_start, split->i_end);
        tevo_backend_t backend = sched->backends[split->backend_id];
        if (backend->iface.graph_prepare) {
            backend->iface.graph_prepare(backend, &split->graph, &dep_callback);
        }
    }

    int n_dep_nodes = 0;
    for (const auto & entry : sched->deps) {
        n_dep_nodes += tevo_sched_n_dep_nodes(entry.second.size());
    }
    int n_split_inputs = 0;
    for (int i = 0; i < sched->n_splits; i++) {
        n_split_inputs += sched->splits[i].n_inputs;
    }

    const int graph_size = std::max(graph->n_nodes, graph->n_leafs) + n_dep_nodes +
                           2 * sched->n_copies * (sched->n_graph_inputs + n_split_inputs);
    sched->prev_graph_size = sched->graph_size;
    sched->graph_size      = graph_size;
    tevo_sched_grow_combined_graph(sched, graph_size);

    // the combined graph: per split its input copies, then its nodes with the
    // dependency nodes the backend asked for
    sched->graph.n_nodes = 0;
    sched->graph.n_leafs = 0;

    struct tevo_cgraph * graph_copy = &sched->graph;

    int n_dep_nodes_added = 0;
    for (int i = 0; i < sched->n_splits; i++) {
        struct tevo_backend_sched_split * split = &sched->splits[i];

        for (int j = 0; j < split->n_inputs; j++) {
            struct tevo_tensor * input     = split->inputs[j];
            const size_t         input_id  = tevo_sched_hash_id(sched, input);
            struct tevo_tensor * input_cpy = *tevo_sched_tensor_id_copy(sched, input_id, split->backend_id, sched->cur_copy);

            // keeps the input alive until it has been copied
            struct tevo_tensor * input_dep = tevo_view_tensor(sched->ctx, input);
            input_dep->src[0] = input;
            sched->node_backend_ids[graph_copy->n_nodes] = sched->hv_tensor_backend_ids[input_id];
            graph_copy->nodes[graph_copy->n_nodes++]      = input_dep;

            // places the copy at the start of the split
            sched->node_backend_ids[graph_copy->n_nodes] = split->backend_id;
            graph_copy->nodes[graph_copy->n_nodes++]      = input_cpy;
        }

        for (int j = split->i_start; j < split->i_end; j++) {
            struct tevo_tensor * node = graph->nodes[j];
            sched->node_backend_ids[graph_copy->n_nodes] = split->backend_id;
            graph_copy->nodes[graph_copy->n_nodes++]      = node;

            auto it = sched->deps.find(node);
            if (it == sched->deps.end()) {
                continue;
            }
            const std::vector<struct tevo_tensor *> & list = it->second;
            for (size_t k0 = 0; k0 < list.size(); k0 += TEVO_SCHED_DEPS_PER_NODE) {
                struct tevo_tensor * dep = tevo_view_tensor(sched->ctx, list[k0]);
                for (size_t k = k0; k < list.size() && k < k0 + TEVO_SCHED_DEPS_PER_NODE; k++) {
                    dep->src[k - k0] = list[k];
                }
                sched->node_backend_ids[graph_copy->n_nodes] = split->backend_id;
                graph_copy->nodes[graph_copy->n_nodes++]      = dep;
                n_dep_nodes_added++;
            }
        }
    }
    TEVO_ASSERT(n_dep_nodes_added == n_dep_nodes);

    if (sched->n_copies > 1) {
        // every slot is allocated, so the next graphs find their copies in place
        for (int i = 0; i < sched->n_graph_inputs; i++) {
            struct tevo_tensor * input      = sched->graph_inputs[i];
            const size_t         input_id   = tevo_sched_hash_id(sched, input);
            const int            backend_id = sched->hv_tensor_backend_ids[input_id];
            for (int c = 0; c < sched->n_copies; c++) {
                sched->leaf_backend_ids[graph_copy->n_leafs] = backend_id;
                graph_copy->leafs[graph_copy->n_leafs++] = *tevo_sched_tensor_id_copy(sched, input_id, backend_id, c);
            }
        }
        for (int i = 0; i < sched->n_splits; i++) {
            struct tevo_backend_sched_split * split = &sched->splits[i];
            for (int j = 0; j < split->n_inputs; j++) {
                const size_t input_id = tevo_sched_hash_id(sched, split->inputs[j]);
                for (int c = 0; c < sched->n_copies; c++) {
                    sched->leaf_backend_ids[graph_copy->n_leafs] = split->backend_id;
                    graph_copy->leafs[graph_copy->n_leafs++] =
                        *tevo_sched_tensor_id_copy(sched, input_id, split->backend_id, c);
                }
            }
        }
    }

    for (int i = 0; i < graph->n_leafs; i++) {
        struct tevo_tensor * leaf = graph->leafs[i];
        sched->leaf_backend_ids[graph_copy->n_leafs] = *tevo_sched_tensor_backend_id(sched, leaf);
        graph_copy->leafs[graph_copy->n_leafs++]      = leaf;
    }

    for (int i = 0; i < sched->n_splits; i++) {
        sched->splits[i].graph.uid = tevo_graph_next_uid();
    }
    sched->deps.clear();
}
