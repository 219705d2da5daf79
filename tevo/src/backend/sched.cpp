#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// The scheduler's public face: creation over a list of backends, sizing the
// compute buffers, allocating a graph (re-planning when its layout changed),
// running the splits with their input copies, and the accessors.

#include "backend/sched-impl.h"

#include <algorithm>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <vector>

// ---------------------------------------------------------------------------
// live schedulers and placement serials

// Other schedulers' marks are judged by the schedulers that exist now, which
// may run on other threads: the list changes only at creation and freeing.
// Never destroyed, so a scheduler freed during exit still finds it.
struct tevo_sched_live_list {
    std::mutex                                   mutex;
    std::vector<const struct tevo_backend_sched *> list;
};

static tevo_sched_live_list & tevo_sched_live() {
    static tevo_sched_live_list * live = new tevo_sched_live_list();
    return *live;
}

static std::atomic<uint64_t> tevo_sched_last_serial{ 0 };

bool tevo_sched_mark_held_elsewhere(const struct tevo_backend_sched * sched, uint64_t mark) {
    tevo_sched_live_list &      live = tevo_sched_live();
    std::lock_guard<std::mutex> lock(live.mutex);
    for (const struct tevo_backend_sched * other : live.list) {
        if (other != sched && other->place_serial.load() == mark) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// the caller's graph reads copies only inside a call

// the nodes of the last split read its copies (copies = true) or the
// caller's own tensors
static void tevo_sched_point_at_copies(struct tevo_backend_sched * sched, bool copies) {
    if (!copies && !sched->at_copies) {
        return;
    }
    for (auto & [node, r] : sched->redirects) {
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            if (r.own[j] == NULL) {
                continue;
            }
            if (copies) {
                node->src[j] = r.copy[j];
            } else if (node->src[j] == r.copy[j]) {
                node->src[j] = r.own[j];
            }
        }
    }
    sched->at_copies = copies;
}

// after an asynchronous compute the backends may still read the sources:
// they get the caller's tensors back once nothing runs
static void tevo_sched_finish_compute(struct tevo_backend_sched * sched) {
    if (sched->at_copies) {
        for (int i = 0; i < sched->n_backends; i++) {
            tevo_backend_synchronize(sched->backends[i]);
        }
        tevo_sched_point_at_copies(sched, false);
    }
}

// a caller's query or change waits for an asynchronous compute, except from
// inside that compute's eval callback
static void tevo_sched_await_compute(struct tevo_backend_sched * sched) {
    if (!sched->computing) {
        tevo_sched_finish_compute(sched);
    }
}

// ---------------------------------------------------------------------------
// creation and lifetime

static int tevo_sched_env_int(const char * name) {
    const char * value = getenv(name);
    return value ? atoi(value) : 0;
}

tevo_backend_sched_t tevo_backend_sched_new(tevo_backend_t * backends, tevo_backend_buffer_type_t * bufts,
                                            int n_backends, size_t graph_size, bool parallel, bool op_offload) {
    TEVO_ASSERT(n_backends > 0);
    TEVO_ASSERT(n_backends <= TEVO_SCHED_MAX_BACKENDS);
    TEVO_ASSERT(tevo_backend_dev_type(tevo_backend_get_device(backends[n_backends - 1])) == TEVO_BACKEND_DEVICE_TYPE_CPU);

    struct tevo_backend_sched * sched = new tevo_backend_sched();

    sched->debug         = tevo_sched_env_int("TEVO_SCHED_DEBUG");
    sched->debug_realloc = tevo_sched_env_int("TEVO_SCHED_DEBUG_REALLOC");
    sched->n_backends    = n_backends;
    sched->n_copies      = parallel ? TEVO_SCHED_MAX_COPIES : 1;

    sched->hash_set              = tevo_hash_set_new(graph_size);
    sched->hv_tensor_backend_ids = (int *) tevo_malloc(sched->hash_set.size * sizeof(int));
    sched->hv_tensor_copies      = (struct tevo_tensor **) tevo_calloc(
        sched->hash_set.size * sched->n_backends * sched->n_copies, sizeof(struct tevo_tensor *));

    const size_t ids_size    = TEVO_SCHED_IDS_PER_NODE * graph_size;
    sched->backend_ids_size  = (int) ids_size;
    sched->node_backend_ids      = (int *) tevo_calloc(ids_size, sizeof(int));
    sched->leaf_backend_ids      = (int *) tevo_calloc(ids_size, sizeof(int));
    sched->prev_node_backend_ids = (int *) tevo_calloc(ids_size, sizeof(int));
    sched->prev_leaf_backend_ids = (int *) tevo_calloc(ids_size, sizeof(int));

    // sized in whole tensor records as a no-allocation context stores them
    // (object header included), plus room for one graph of this size
    sched->context_buffer_size = TEVO_SCHED_CTX_RECORDS_PER_NODE * graph_size * tevo_tensor_overhead() +
                                 tevo_graph_overhead_custom(graph_size, false);
    sched->context_buffer = (char *) tevo_malloc(sched->context_buffer_size);

    sched->splits_capacity = 16;
    sched->splits          = (struct tevo_backend_sched_split *) tevo_calloc(sched->splits_capacity,
                                                                            sizeof(struct tevo_backend_sched_split));

    sched->graph_inputs_capacity = 30;
    sched->graph_inputs = (struct tevo_tensor **) tevo_malloc(sched->graph_inputs_capacity * sizeof(struct tevo_tensor *));

    for (int b = 0; b < n_backends; b++) {
        sched->backends[b] = backends[b];
        sched->bufts[b]    = bufts ? bufts[b] : tevo_backend_get_default_buffer_type(backends[b]);
        TEVO_ASSERT(tevo_backend_supports_buft(backends[b], sched->bufts[b]));

        if (sched->n_copies > 1) {
            for (int c = 0; c < sched->n_copies; c++) {
                sched->events[b][c] = tevo_backend_event_new(backends[b]->device);
            }
        }
    }

    sched->galloc     = tevo_gallocr_new_n(sched->bufts, n_backends);
    sched->op_offload = op_offload;

    tevo_backend_sched_reset(sched);

    {
        tevo_sched_live_list &      live = tevo_sched_live();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.list.push_back(sched);
    }
    return sched;
}

void tevo_backend_sched_free(tevo_backend_sched_t sched) {
    if (sched == NULL) {
        return;
    }
    tevo_sched_finish_compute(sched);
    {
        // from now on the marks of its placements are stale everywhere
        tevo_sched_live_list &      live = tevo_sched_live();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.list.erase(std::find(live.list.begin(), live.list.end(), sched));
    }
    for (int b = 0; b < sched->n_backends; b++) {
        for (int c = 0; c < sched->n_copies; c++) {
            tevo_backend_event_free(sched->events[b][c]);
        }
    }
    tevo_gallocr_free(sched->galloc);
    tevo_free(sched->ctx);
    tevo_hash_set_free(&sched->hash_set);
    for (int i = 0; i < sched->splits_capacity; i++) {
        free(sched->splits[i].inputs);
    }
    free(sched->splits);
    free(sched->graph_inputs);
    free(sched->hv_tensor_backend_ids);
    free(sched->hv_tensor_copies);
    free(sched->node_backend_ids);
    free(sched->leaf_backend_ids);
    free(sched->prev_node_backend_ids);
    free(sched->prev_leaf_backend_ids);
    free(sched->context_buffer);
    free(sched->graph.nodes);
    free(sched->graph.leafs);
    delete sched;
}

void tevo_sched_clear(struct tevo_backend_sched * sched) {
    tevo_hash_set_reset(&sched->hash_set);
    memset(sched->hv_tensor_backend_ids, -1, sched->hash_set.size * sizeof(int));
    memset(sched->hv_tensor_copies, 0,
           sched->hash_set.size * sched->n_backends * sched->n_copies * sizeof(struct tevo_tensor *));
    sched->clear_pending  = false;
    sched->alloc_kept     = false;
    sched->split_assigned = false;
    sched->pins.clear();
}

void tevo_backend_sched_reset(tevo_backend_sched_t sched) {
    TEVO_ASSERT(sched);
    tevo_sched_finish_compute(sched);
    // a compute of the graph allocated now still finds its splits, copies
    // and placement: its inputs may be set before or after this reset
    if (sched->is_alloc) {
        sched->alloc_kept = true;
    }
    // assignments and copies only go here, so user assignments survive
    // until the next graph asks for a clean start
    if (!sched->is_reset) {
        if (sched->alloc_kept) {
            sched->clear_pending = true;
        } else {
            tevo_sched_clear(sched);
        }
        sched->is_reset = true;
    }
    sched->is_alloc = false;
}

void tevo_backend_sched_synchronize(tevo_backend_sched_t sched) {
    TEVO_ASSERT(sched);
    for (int i = 0; i < sched->n_backends; i++) {
        tevo_backend_synchronize(sched->backends[i]);
    }
    tevo_sched_point_at_copies(sched, false);
    if (!sched->is_alloc) {
        // without a graph in flight the next one starts at slot 0 again, so
        // repeated single graphs always use the same copies
        sched->next_copy = 0;
    }
}

// ---------------------------------------------------------------------------
// reservation and allocation

bool tevo_backend_sched_reserve(tevo_backend_sched_t sched, struct tevo_cgraph * measure_graph) {
    TEVO_ASSERT(sched);
    TEVO_ASSERT((int)sched->hash_set.size >= measure_graph->n_nodes + measure_graph->n_leafs);

    tevo_backend_sched_synchronize(sched);

    tevo_backend_sched_split_graph(sched, measure_graph);

    const bool reserved =
        tevo_gallocr_reserve_n(sched->galloc, &sched->graph, sched->node_backend_ids, sched->leaf_backend_ids);
    tevo_sched_point_at_copies(sched, false);
    if (!reserved) {
        return false;
    }

    tevo_backend_sched_reset(sched);
    return true;
}

void tevo_backend_sched_reserve_size(tevo_backend_sched_t sched, struct tevo_cgraph * measure_graph, size_t * sizes) {
    TEVO_ASSERT(sched);
    TEVO_ASSERT((int)sched->hash_set.size >= measure_graph->n_nodes + measure_graph->n_leafs);
    TEVO_ASSERT(sizes);

    tevo_backend_sched_reset(sched);
    tevo_backend_sched_synchronize(sched);

    tevo_backend_sched_split_graph(sched, measure_graph);

    tevo_gallocr_reserve_n_size(sched->galloc, &sched->graph, sched->node_backend_ids, sched->leaf_backend_ids, sizes);
    tevo_sched_point_at_copies(sched, false);
}

// whether position i moved to a backend with another buffer type
static bool tevo_sched_id_changed(const struct tevo_backend_sched * sched, int id, int prev_id) {
    if (id == prev_id) {
        return false;
    }
    if (id < 0 || prev_id < 0) {
        return true;
    }
    return sched->bufts[id] != sched->bufts[prev_id];
}

static bool tevo_sched_alloc_splits(struct tevo_backend_sched * sched) {
    bool backend_ids_changed = false;
    for (int i = 0; i < sched->graph.n_nodes && !backend_ids_changed; i++) {
        backend_ids_changed = tevo_sched_id_changed(sched, sched->node_backend_ids[i], sched->prev_node_backend_ids[i]);
    }
    for (int i = 0; i < sched->graph.n_leafs && !backend_ids_changed; i++) {
        backend_ids_changed = tevo_sched_id_changed(sched, sched->leaf_backend_ids[i], sched->prev_leaf_backend_ids[i]);
    }

    if (!backend_ids_changed) {
        // the current plan may still fit
        if (tevo_gallocr_alloc_graph(sched->galloc, &sched->graph)) {
            return true;
        }
        if ((sched->debug_realloc > 0 && sched->graph_size == sched->prev_graph_size) || sched->debug_realloc >= 2) {
            TEVO_ABORT("%s: unexpected graph reallocation (graph size = %d, nodes = %d, leafs = %d), "
                       "debug_realloc = %d\n",
                       "tevo_backend_sched_alloc_splits", sched->graph_size, sched->graph.n_nodes,
                       sched->graph.n_leafs, sched->debug_realloc);
        }
    } else if (sched->debug_realloc >= 2) {
        TEVO_ABORT("%s: unexpected graph reallocation (graph size = %d, nodes = %d, leafs = %d), "
                   "debug_realloc = %d\n",
                   "tevo_backend_sched_alloc_splits", sched->graph_size, sched->graph.n_nodes, sched->graph.n_leafs,
                   sched->debug_realloc);
    }

    // the buffers may be replaced: nothing may still be running on them
    for (int i = 0; i < sched->n_backends; i++) {
        tevo_backend_synchronize(sched->backends[i]);
    }

    if (!tevo_gallocr_reserve_n(sched->galloc, &sched->graph, sched->node_backend_ids, sched->leaf_backend_ids)) {
        TEVO_LOG_ERROR("%s: failed to reserve graph buffers\n", "tevo_backend_sched_alloc_splits");
        return false;
    }
    if (!tevo_gallocr_alloc_graph(sched->galloc, &sched->graph)) {
        TEVO_LOG_ERROR("%s: failed to allocate graph\n", "tevo_backend_sched_alloc_splits");
        return false;
    }
    return true;
}

// the node and leaf records of a graph, to tell a graph rebuilt in the same
// record from the one allocated
static uint64_t tevo_sched_graph_hash(const struct tevo_cgraph * graph) {
    uint64_t h = ((uint64_t) graph->n_nodes << 32) ^ (uint64_t) graph->n_leafs;
    struct tevo_tensor * const * lists[2]  = { graph->nodes, graph->leafs };
    const int                    counts[2] = { graph->n_nodes, graph->n_leafs };
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            h = (h ^ (uint64_t) (uintptr_t) lists[l][i]) * 0x100000001b3ull;
        }
    }
    return h;
}

bool tevo_backend_sched_alloc_graph(tevo_backend_sched_t sched, struct tevo_cgraph * graph) {
    TEVO_ASSERT(sched);
    TEVO_ASSERT((int)sched->hash_set.size >= graph->n_nodes + graph->n_leafs);
    tevo_sched_finish_compute(sched);
    // a second allocation is a reset and an allocation
    if (sched->is_alloc) {
        tevo_backend_sched_reset(sched);
    } else if (sched->split_assigned && !sched->clear_pending) {
        // an earlier split's assignments (a sizing, a refused allocation)
        // would go to whatever tensors have its records' addresses now
        std::vector<std::pair<const struct tevo_tensor *, int>> pins = std::move(sched->pins);
        tevo_sched_clear(sched);
        for (const auto & [t, id] : pins) {
            *tevo_sched_tensor_backend_id(sched, t) = id;
        }
        sched->pins = std::move(pins);
    }

    sched->cur_copy  = sched->next_copy;
    sched->next_copy = (sched->next_copy + 1) % sched->n_copies;

    tevo_backend_sched_split_graph(sched, graph);

    if (sched->refused_view != NULL) {
        tevo_sched_point_at_copies(sched, false);
        // the graph allocator's plan is still that of the split before: the
        // next one is compared with its backends, not with this one's
        std::swap(sched->node_backend_ids, sched->prev_node_backend_ids);
        std::swap(sched->leaf_backend_ids, sched->prev_leaf_backend_ids);
        sched->graph_size = sched->prev_graph_size;
        TEVO_LOG_ERROR("%s: the source of view %s lies outside the graph in memory no scheduler holds for it now; "
                       "put the source in the graph or give it memory of its own\n",
                       "tevo_backend_sched_alloc_graph", sched->refused_view->name);
        return false;
    }

    // the caller's tensors the graph allocator is about to place get the mark
    // of this allocation
    std::vector<struct tevo_tensor *> & placed = sched->placed;
    placed.clear();
    struct tevo_tensor ** lists[2]  = { graph->nodes, graph->leafs };
    const int             counts[2] = { graph->n_nodes, graph->n_leafs };
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            struct tevo_tensor * t = lists[l][i];
            if (t->view_src != NULL ? t->buffer == NULL : t->data == NULL) {
                placed.push_back(t);
            }
        }
    }

    const bool allocated = tevo_sched_alloc_splits(sched);
    tevo_sched_point_at_copies(sched, false);
    if (!allocated) {
        // the graph stays as built (a view keeps the address it was made with)
        for (struct tevo_tensor * t : placed) {
            if (t->buffer != NULL) {
                t->buffer = NULL;
                if (t->view_src == NULL) {
                    t->data = NULL;
                }
            }
        }
        placed.clear();
        return false;
    }

    const uint64_t serial = ++tevo_sched_last_serial;
    size_t         n      = 0;
    for (struct tevo_tensor * t : placed) {
        if (t->buffer != NULL) {
            tevo_sched_set_mark(t, serial);
            placed[n++] = t;
        }
    }
    placed.resize(n);
    sched->place_serial = serial;

    sched->alloc_graph = graph;
    sched->alloc_hash  = tevo_sched_graph_hash(graph);

    sched->is_alloc = true;
    return true;
}

// ---------------------------------------------------------------------------
// execution

// backend of a tensor of the current split (NULL for none)
static tevo_backend_t tevo_sched_tensor_backend(struct tevo_backend_sched * sched, const struct tevo_tensor * t) {
    const int id = *tevo_sched_tensor_backend_id(sched, t);
    return id == -1 ? NULL : sched->backends[id];
}

// Copies into d only the experts of the weight s that the expert ids of the
// split's first node (a MUL_MAT_ID) use; ids and used persist across the
// inputs of one computation, so the ids are read once.
static void tevo_sched_copy_used_experts(struct tevo_backend_sched * sched, struct tevo_backend_sched_split * split,
                                         int input_id, tevo_backend_t input_backend, tevo_backend_t split_backend,
                                         struct tevo_tensor * input, struct tevo_tensor * input_cpy,
                                         const struct tevo_tensor ** prev_ids_tensor, std::vector<int32_t> & ids,
                                         std::vector<bool> & used_ids) {
    tevo_backend_synchronize(input_backend);

    struct tevo_tensor * node       = split->graph.nodes[0];
    struct tevo_tensor * ids_tensor = node->src[2];
    tevo_backend_t       ids_backend = split_backend;

    // when the ids are themselves a later input of this split, their copy is
    // not filled yet: read the original where it lives
    for (int i = input_id + 1; i < split->n_inputs; i++) {
        if (ids_tensor == *tevo_sched_tensor_copy(sched, split->inputs[i], split->backend_id, sched->cur_copy)) {
            ids_tensor  = split->inputs[i];
            ids_backend = tevo_sched_tensor_backend(sched, split->inputs[i]);
            break;
        }
    }

    const int64_t n_expert    = input->ne[2];
    const size_t  expert_size = input->nb[2];

    if (ids_tensor != *prev_ids_tensor) {
        used_ids.assign((size_t) n_expert, false);
        const size_t nbytes = tevo_nbytes(ids_tensor);
        ids.assign(nbytes / sizeof(int32_t) + 1, 0);
        if (nbytes > 0) {
            tevo_backend_tensor_get_async(ids_backend, ids_tensor, ids.data(), 0, nbytes);
            tevo_backend_synchronize(ids_backend);
        }
        if (tevo_nelements(ids_tensor) > 0) {
            for (int64_t i1 = 0; i1 < ids_tensor->ne[1]; i1++) {
                for (int64_t i0 = 0; i0 < ids_tensor->ne[0]; i0++) {
                    int32_t id;
                    memcpy(&id, (const char *) ids.data() + i1 * ids_tensor->nb[1] + i0 * ids_tensor->nb[0],
                           sizeof(id));
                    TEVO_ASSERT(id >= 0 && id < n_expert);
                    used_ids[(size_t) id] = true;
                }
            }
        }
        *prev_ids_tensor = ids_tensor;
    }

    // the ids were checked against the expert count of the weight they were
    // read for; another weight's experts beyond that count count as unused
    auto used = [&](int64_t e) { return e < (int64_t) used_ids.size() && used_ids[(size_t) e]; };

    // runs of consecutive used experts, each written in one transfer
    int64_t id = 0;
    while (id < n_expert) {
        while (id < n_expert && !used(id)) {
            id++;
        }
        if (id >= n_expert) {
            break;
        }
        const int64_t first_id = id;
        int64_t       last_id  = first_id;
        while (last_id + 1 < n_expert && used(last_id + 1)) {
            last_id++;
        }

        const size_t offset = (size_t) first_id * expert_size;
        size_t       size   = (size_t) (last_id - first_id + 1) * expert_size;
        if (last_id < n_expert - 1) {
            // some kernels read a little past the end of an expert
            size += expert_size < 512 ? expert_size : 512;
        }
        tevo_backend_tensor_set_async(split_backend, input_cpy, (const char *) input->data + offset, offset, size);

        id = last_id + 1;
    }
}

static enum tevo_status tevo_sched_compute_splits(struct tevo_backend_sched * sched) {
    const struct tevo_tensor * prev_ids_tensor = NULL;
    std::vector<int32_t>       ids;
    std::vector<bool>          used_ids;

    int prev_backend_id = -1;

    for (int split_id = 0; split_id < sched->n_splits; split_id++) {
        struct tevo_backend_sched_split * split = &sched->splits[split_id];
        const int            split_backend_id = split->backend_id;
        tevo_backend_t       split_backend    = sched->backends[split_backend_id];
        tevo_backend_event_t split_event      = sched->events[split_backend_id][sched->cur_copy];

        // nothing is copied into this split, so its order with the previous
        // backend's work comes from waiting for it here
        if (prev_backend_id != -1 && prev_backend_id != split_backend_id && split->n_inputs == 0) {
            tevo_backend_event_t prev_event = sched->events[prev_backend_id][sched->cur_copy];
            if (prev_event != NULL) {
                tevo_backend_event_synchronize(prev_event);
            } else {
                tevo_backend_synchronize(sched->backends[prev_backend_id]);
            }
        }

        for (int input_id = 0; input_id < split->n_inputs; input_id++) {
            struct tevo_tensor * input         = split->inputs[input_id];
            tevo_backend_t       input_backend = tevo_sched_tensor_backend(sched, input);
            struct tevo_tensor * input_cpy = *tevo_sched_tensor_copy(sched, input, split_backend_id, sched->cur_copy);

            if (input->flags & TEVO_TENSOR_FLAG_INPUT) {
                // the caller may overwrite its input right after we return: copy now
                if (split_event != NULL) {
                    tevo_backend_event_synchronize(split_event);
                } else {
                    tevo_backend_synchronize(split_backend);
                }
                tevo_backend_tensor_copy(input, input_cpy);
                continue;
            }

            // the copy slot may still be read by this backend's earlier work
            if (split_event != NULL) {
                tevo_backend_event_wait(split_backend, split_event);
            } else {
                tevo_backend_synchronize(split_backend);
            }

            struct tevo_tensor * first_node = split->graph.n_nodes > 0 ? split->graph.nodes[0] : NULL;
            if (first_node != NULL && input->buffer != NULL &&
                tevo_backend_buffer_get_usage(input->buffer) == TEVO_BACKEND_BUFFER_USAGE_WEIGHTS &&
                tevo_backend_buffer_is_host(input->buffer) && first_node->op == TEVO_OP_MUL_MAT_ID &&
                first_node->src[0] == input_cpy) {
                tevo_sched_copy_used_experts(sched, split, input_id, input_backend, split_backend, input, input_cpy,
                                             &prev_ids_tensor, ids, used_ids);
                continue;
            }

            if (!split_backend->iface.cpy_tensor_async ||
                !split_backend->iface.cpy_tensor_async(input_backend, split_backend, input, input_cpy)) {
                tevo_backend_synchronize(input_backend);
                if (split_event != NULL) {
                    tevo_backend_event_synchronize(split_event);
                } else {
                    tevo_backend_synchronize(split_backend);
                }
                tevo_backend_tensor_copy(input, input_cpy);
            }
        }

        if (!sched->callback_eval) {
            const enum tevo_status ec = tevo_backend_graph_compute_async(split_backend, &split->graph);
            if (ec != TEVO_STATUS_SUCCESS) {
                return ec;
            }
        } else {
            // compute up to each node the callback wants to see, then show it
            for (int j0 = 0; j0 < split->graph.n_nodes; j0++) {
                struct tevo_tensor * t    = split->graph.nodes[j0];
                bool                 need = sched->callback_eval(t, true, sched->callback_eval_user_data);
                int                  j1   = j0;
                while (!need && j1 < split->graph.n_nodes - 1) {
                    t    = split->graph.nodes[++j1];
                    need = sched->callback_eval(t, true, sched->callback_eval_user_data);
                }

                struct tevo_cgraph gv = tevo_graph_view(&split->graph, j0, j1 + 1);
                const enum tevo_status ec = tevo_backend_graph_compute_async(split_backend, &gv);
                if (ec != TEVO_STATUS_SUCCESS) {
                    return ec;
                }
                tevo_backend_synchronize(split_backend);

                if (need && !sched->callback_eval(t, false, sched->callback_eval_user_data)) {
                    break;
                }
                j0 = j1;
            }
        }

        if (split_event != NULL) {
            tevo_backend_event_record(split_event, split_backend);
        }

        prev_backend_id = split_backend_id;
    }

    return TEVO_STATUS_SUCCESS;
}

enum tevo_sched_placement {
    TEVO_SCHED_PLACEMENT_HELD,  // as the allocation left it
    TEVO_SCHED_PLACEMENT_MOVED, // another scheduler placed some of its nodes since: allocate again
    TEVO_SCHED_PLACEMENT_LOST,  // and with them values the graph does not compute
};

// whether the graph's tensors are still where this scheduler's allocation put
// them; another scheduler that split a graph holding some of them has taken
// them, and view sources outside the graph held by another must still be
// where they were
static enum tevo_sched_placement tevo_sched_check_placement(struct tevo_backend_sched * sched,
                                                            struct tevo_cgraph * graph) {
    uint64_t last_mark = 0;
    for (const auto & [src, mark] : sched->outside) {
        if (tevo_sched_mark(src) != mark ||
            (mark != last_mark && !tevo_sched_mark_held_elsewhere(sched, mark))) {
            TEVO_LOG_ERROR("%s: %s, read by a view of the graph, lies in memory another scheduler has placed anew; "
                           "compute the graph that makes it, then allocate this graph again\n",
                           "tevo_backend_sched_graph_compute", src->name);
            return TEVO_SCHED_PLACEMENT_LOST;
        }
        last_mark = mark;
    }

    const uint64_t        serial    = sched->place_serial.load();
    struct tevo_tensor ** lists[2]  = { graph->nodes, graph->leafs };
    const int             counts[2] = { graph->n_nodes, graph->n_leafs };
    size_t                n_held    = 0;
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < counts[l]; i++) {
            n_held += tevo_sched_mark(lists[l][i]) == serial;
        }
    }
    if (n_held == sched->placed.size()) {
        return TEVO_SCHED_PLACEMENT_HELD;
    }
    // a value the graph does not compute is lost once another split took
    // the tensor, whether that split placed it elsewhere or left it without
    // memory (a failed allocation, a reserve): the values set for it are gone
    for (const struct tevo_tensor * t : sched->placed) {
        if (tevo_sched_mark(t) != serial && t->view_src == NULL &&
            ((t->flags & TEVO_TENSOR_FLAG_INPUT) || t->op == TEVO_OP_NONE)) {
            TEVO_LOG_ERROR("%s: another scheduler placed %s anew since this graph was allocated; allocate it "
                           "again and set its inputs\n",
                           "tevo_backend_sched_graph_compute", t->name);
            return TEVO_SCHED_PLACEMENT_LOST;
        }
    }
    return TEVO_SCHED_PLACEMENT_MOVED;
}

// The values of the leaves (inputs among them) placed for the graph held and
// still where they were placed: an allocation of the same graph places them
// anew, maybe elsewhere (another copy slot), and they get these values back.
struct tevo_sched_kept_leaf {
    struct tevo_tensor * t;
    std::vector<uint8_t> bytes;
};

static std::vector<tevo_sched_kept_leaf> tevo_sched_keep_leaves(struct tevo_backend_sched * sched) {
    std::vector<tevo_sched_kept_leaf> kept;
    const uint64_t                    serial = sched->place_serial.load();
    for (struct tevo_tensor * t : sched->placed) {
        if (tevo_sched_mark(t) == serial && t->view_src == NULL && tevo_nbytes(t) > 0 &&
            ((t->flags & TEVO_TENSOR_FLAG_INPUT) || t->op == TEVO_OP_NONE)) {
            kept.push_back({ t, std::vector<uint8_t>(tevo_nbytes(t)) });
            tevo_backend_tensor_get(t, kept.back().bytes.data(), 0, kept.back().bytes.size());
        }
    }
    return kept;
}

enum tevo_status tevo_backend_sched_graph_compute_async(tevo_backend_sched_t sched, struct tevo_cgraph * graph) {
    TEVO_ASSERT(sched);
    tevo_sched_finish_compute(sched);

    // the splits and placement at hand are those of the graph last allocated
    // (a graph made since has identifier 0; another scheduler's split of
    // this one gives it another, and the placement check below sees that)
    const bool same = sched->alloc_graph == graph && graph->uid != 0 &&
                      sched->alloc_hash == tevo_sched_graph_hash(graph);
    if (!same) {
        sched->is_alloc = false;
    } else if (!sched->is_alloc && sched->alloc_kept) {
        // the reset is undone: the graph's assignments and copies are in
        // use again, and a pin from now on must not clear them under it
        sched->is_alloc      = true;
        sched->alloc_kept    = false;
        sched->clear_pending = false;
        sched->is_reset      = false;
    }

    // also when a pin after a reset dropped the splits kept: the graph is
    // split again, and its inputs must still be where they were set
    bool again = false;
    if (same) {
        switch (tevo_sched_check_placement(sched, graph)) {
            case TEVO_SCHED_PLACEMENT_HELD:
                break;
            case TEVO_SCHED_PLACEMENT_MOVED:
                // the same graph with the same assignments
                sched->is_alloc = false;
                again           = true;
                break;
            case TEVO_SCHED_PLACEMENT_LOST:
                // told once: the next compute allocates it afresh
                sched->is_alloc    = false;
                sched->alloc_graph = nullptr;
                return TEVO_STATUS_FAILED;
        }
    }

    if (!sched->is_reset && !sched->is_alloc && !again) {
        tevo_backend_sched_reset(sched);
    }
    if (!sched->is_alloc) {
        std::vector<tevo_sched_kept_leaf> kept;
        if (same) {
            kept = tevo_sched_keep_leaves(sched);
        }
        if (!tevo_backend_sched_alloc_graph(sched, graph)) {
            return TEVO_STATUS_ALLOC_FAILED;
        }
        for (const tevo_sched_kept_leaf & k : kept) {
            tevo_backend_tensor_set(k.t, k.bytes.data(), 0, k.bytes.size());
        }
    }
    tevo_sched_point_at_copies(sched, true);
    sched->computing              = true;
    const enum tevo_status status = tevo_sched_compute_splits(sched);
    sched->computing              = false;
    if (status != TEVO_STATUS_SUCCESS) {
        tevo_sched_finish_compute(sched);
    }
    return status;
}

enum tevo_status tevo_backend_sched_graph_compute(tevo_backend_sched_t sched, struct tevo_cgraph * graph) {
    const enum tevo_status err = tevo_backend_sched_graph_compute_async(sched, graph);
    tevo_backend_sched_synchronize(sched);
    return err;
}

void tevo_backend_sched_set_eval_callback(tevo_backend_sched_t sched, tevo_backend_sched_eval_callback callback,
                                          void * user_data) {
    TEVO_ASSERT(sched);
    tevo_sched_await_compute(sched);
    sched->callback_eval           = callback;
    sched->callback_eval_user_data = user_data;
}

// ---------------------------------------------------------------------------
// accessors

int tevo_backend_sched_get_n_splits(tevo_backend_sched_t sched) {
    TEVO_ASSERT(sched);
    return sched->n_splits;
}

int tevo_backend_sched_get_n_copies(tevo_backend_sched_t sched) {
    TEVO_ASSERT(sched);
    return sched->n_copies;
}

int tevo_backend_sched_get_n_backends(tevo_backend_sched_t sched) {
    TEVO_ASSERT(sched);
    return sched->n_backends;
}

tevo_backend_t tevo_backend_sched_get_backend(tevo_backend_sched_t sched, int i) {
    TEVO_ASSERT(sched);
    TEVO_ASSERT(i >= 0 && i < sched->n_backends);
    return sched->backends[i];
}

static int tevo_sched_backend_index(const struct tevo_backend_sched * sched, tevo_backend_t backend) {
    for (int i = 0; i < sched->n_backends; i++) {
        if (sched->backends[i] == backend) {
            return i;
        }
    }
    return -1;
}

tevo_backend_buffer_type_t tevo_backend_sched_get_buffer_type(tevo_backend_sched_t sched, tevo_backend_t backend) {
    TEVO_ASSERT(sched);
    const int backend_index = tevo_sched_backend_index(sched, backend);
    TEVO_ASSERT(backend_index >= 0 && backend_index < sched->n_backends);
    return sched->bufts[backend_index];
}

size_t tevo_backend_sched_get_buffer_size(tevo_backend_sched_t sched, tevo_backend_t backend) {
    TEVO_ASSERT(sched);
    const int backend_index = tevo_sched_backend_index(sched, backend);
    TEVO_ASSERT(backend_index >= 0 && backend_index < sched->n_backends);
    return tevo_gallocr_get_buffer_size(sched->galloc, backend_index);
}

void tevo_backend_sched_set_tensor_backend(tevo_backend_sched_t sched, struct tevo_tensor * node,
                                           tevo_backend_t backend) {
    TEVO_ASSERT(sched);
    tevo_sched_await_compute(sched);
    if (sched->clear_pending) {
        tevo_sched_clear(sched);
    }
    const int backend_index = tevo_sched_backend_index(sched, backend);
    TEVO_ASSERT(backend_index >= 0 && backend_index < sched->n_backends);
    *tevo_sched_tensor_backend_id(sched, node) = backend_index;
    sched->pins.push_back({ node, backend_index });
    sched->is_reset = false;
}

tevo_backend_t tevo_backend_sched_get_tensor_backend(tevo_backend_sched_t sched, struct tevo_tensor * node) {
    TEVO_ASSERT(sched);
    tevo_sched_await_compute(sched);
    // a reset forgot every assignment; a query leaves the graph it kept alone
    if (sched->clear_pending) {
        return NULL;
    }
    return tevo_sched_tensor_backend(sched, node);
}
