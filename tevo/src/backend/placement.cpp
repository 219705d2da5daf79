#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// Placing tensors and views in buffers, the default allocation of a tensor
// list cut into chunks under a buffer type's maximum size, and copying an
// allocated graph to another backend.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdlib.h>
#include <vector>

// ---------------------------------------------------------------------------
// placement

enum tevo_status tevo_backend_tensor_alloc(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, void * addr) {
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->buffer == NULL);
    TEVO_ASSERT(tensor->data == NULL);
    TEVO_ASSERT(tensor->view_src == NULL);
    TEVO_ASSERT(buffer);
    TEVO_ASSERT(addr >= tevo_backend_buffer_get_base(buffer));
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer) ||
                (char *) addr + tevo_backend_buffer_get_alloc_size(buffer, tensor) <=
                    (char *) tevo_backend_buffer_get_base(buffer) + tevo_backend_buffer_get_size(buffer));

    tensor->buffer = buffer;
    tensor->data   = addr;
    return tevo_backend_buffer_init_tensor(buffer, tensor);
}

enum tevo_status tevo_backend_view_init(struct tevo_tensor * tensor) {
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->buffer == NULL);
    TEVO_ASSERT(tensor->view_src != NULL);
    TEVO_ASSERT(tensor->view_src->buffer != NULL);
    TEVO_ASSERT(tensor->view_src->data != NULL);

    tensor->buffer = tensor->view_src->buffer;
    tensor->data   = (char *) tensor->view_src->data + tensor->view_offs;
    return tevo_backend_buffer_init_tensor(tensor->buffer, tensor);
}

// ---------------------------------------------------------------------------
// chunked allocation of a tensor list

namespace {

struct buft_chunk {
    size_t size;
    int    begin; // first tensor
    int    end;   // one past the last tensor
};

}

static size_t round_up(size_t size, size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

// Consecutive runs of tensors whose padded sizes stay within the type's
// maximum; a tensor larger than the maximum gets a chunk of its own, and
// tensors that need no storage ride along with their neighbours.
static std::vector<buft_chunk> buft_chunks(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                           int n_tensors) {
    const size_t alignment = tevo_backend_buft_get_alignment(buft);
    const size_t max_size  = tevo_backend_buft_get_max_size(buft);

    std::vector<buft_chunk> chunks;
    buft_chunk              cur = { 0, 0, 0 };
    for (int i = 0; i < n_tensors; i++) {
        struct tevo_tensor * t = tensors[i];
        size_t need = 0;
        if (t->data == NULL && t->view_src == NULL) {
            need = round_up(tevo_backend_buft_get_alloc_size(buft, t), alignment);
        }
        if (cur.size == 0 || cur.size + need <= max_size) {
            cur.size += need;
        } else {
            cur.end = i;
            chunks.push_back(cur);
            cur = { need, i, i };
        }
    }
    if (cur.size != 0) {
        cur.end = n_tensors;
        chunks.push_back(cur);
    }
    return chunks;
}

static size_t buft_get_alloc_size_n_default(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                            int n_tensors) {
    size_t total = 0;
    for (const buft_chunk & c : buft_chunks(buft, tensors, n_tensors)) {
        total += c.size;
    }
    return total;
}

static void free_buffers(std::vector<tevo_backend_buffer_t> & buffers) {
    for (tevo_backend_buffer_t b : buffers) {
        tevo_backend_buffer_free(b);
    }
    buffers.clear();
}

static tevo_backend_buffer_t buft_alloc_buffer_n_default(tevo_backend_buffer_type_t buft,
                                                         struct tevo_tensor ** tensors, int n_tensors) {
    const char * func = "tevo_backend_buft_alloc_buffer_n_default";

    std::vector<buft_chunk> chunks = buft_chunks(buft, tensors, n_tensors);
    if (chunks.empty()) {
        return NULL;
    }

    std::vector<tevo_backend_buffer_t> buffers;
    for (const buft_chunk & c : chunks) {
        tevo_backend_buffer_t buffer = tevo_backend_buft_alloc_buffer(buft, c.size);
        if (buffer == NULL) {
            TEVO_LOG_ERROR("%s: failed to allocate %s buffer of size %zu\n", func, tevo_backend_buft_name(buft),
                           c.size);
            free_buffers(buffers);
            return NULL;
        }
        buffers.push_back(buffer);

        struct tevo_tallocr talloc = tevo_tallocr_new(buffer);
        for (int i = c.begin; i < c.end; i++) {
            struct tevo_tensor * t = tensors[i];

            enum tevo_status status = TEVO_STATUS_SUCCESS;
            if (t->data == NULL && t->view_src == NULL) {
                status = tevo_tallocr_alloc(&talloc, t);
            } else if (t->view_src != NULL && t->buffer == NULL) {
                // a view of a tensor of this list, or of one placed earlier
                status = tevo_backend_view_init(t);
            }
            if (status != TEVO_STATUS_SUCCESS) {
                TEVO_LOG_ERROR("%s: failed to initialize tensor %s\n", func, t->name);
                free_buffers(buffers);
                return NULL;
            }
        }
    }

    if (buffers.size() == 1) {
        return buffers[0];
    }
    return tevo_backend_multi_buffer_alloc_buffer(buffers.data(), buffers.size());
}

tevo_backend_buffer_t tevo_backend_buft_alloc_buffer_n(tevo_backend_buffer_type_t buft,
                                                       struct tevo_tensor ** tensors, int n_tensors) {
    TEVO_ASSERT(buft);
    if (buft->iface.alloc_buffer_n) {
        return buft->iface.alloc_buffer_n(buft, tensors, n_tensors);
    }
    return buft_alloc_buffer_n_default(buft, tensors, n_tensors);
}

size_t tevo_backend_buft_get_alloc_size_n(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                          int n_tensors) {
    TEVO_ASSERT(buft);
    if (buft->iface.get_alloc_size_n) {
        return buft->iface.get_alloc_size_n(buft, tensors, n_tensors);
    }
    return buft_get_alloc_size_n_default(buft, tensors, n_tensors);
}

// ---------------------------------------------------------------------------
// graph copy

namespace {

// tensors of the source graph by hash slot, with their copies
struct graph_copy_state {
    struct tevo_hash_set  hash_set;
    struct tevo_tensor ** node_copies;
    bool *                node_init;
    struct tevo_context * ctx_allocated;
    struct tevo_context * ctx_unallocated;
};

}

static struct tevo_tensor * graph_copy_dup_tensor(graph_copy_state & st, struct tevo_tensor * src) {
    TEVO_ASSERT(src != NULL);
    TEVO_ASSERT(src->data && "graph must be allocated");

    const size_t id = tevo_hash_insert(&st.hash_set, src);
    if (id == TEVO_HASHSET_ALREADY_EXISTS) {
        return st.node_copies[tevo_hash_find(&st.hash_set, src)];
    }

    // views take their storage from their source's copy, so they need no room
    struct tevo_tensor * view_src = NULL;
    if (src->view_src != NULL) {
        view_src = graph_copy_dup_tensor(st, src->view_src);
    }

    struct tevo_context * ctx = src->view_src != NULL ? st.ctx_unallocated : st.ctx_allocated;
    struct tevo_tensor *  dst = tevo_new_tensor(ctx, src->type, TEVO_MAX_DIMS, src->ne);
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        dst->nb[i] = src->nb[i];
    }
    if (view_src != NULL) {
        dst->view_src  = view_src;
        dst->view_offs = src->view_offs;
    }
    dst->op    = src->op;
    dst->flags = src->flags;
    memcpy(dst->op_params, src->op_params, sizeof(dst->op_params));
    tevo_set_name(dst, src->name);

    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        struct tevo_tensor * s = src->src[i];
        if (s == NULL) {
            continue;
        }
        dst->src[i] = graph_copy_dup_tensor(st, s);
    }

    st.node_copies[id] = dst;
    return dst;
}

static void graph_copy_init_tensor(graph_copy_state & st, struct tevo_tensor * src) {
    const size_t id = tevo_hash_find(&st.hash_set, src);
    if (st.node_init[id]) {
        return;
    }
    st.node_init[id] = true;

    struct tevo_tensor * dst = st.node_copies[id];
    if (dst->view_src != NULL) {
        graph_copy_init_tensor(st, src->view_src);
        enum tevo_status status = tevo_backend_view_init(dst);
        TEVO_ASSERT(status == TEVO_STATUS_SUCCESS);
    } else {
        tevo_backend_tensor_copy(src, dst);
    }

    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        struct tevo_tensor * s = src->src[i];
        if (s == NULL) {
            continue;
        }
        graph_copy_init_tensor(st, s);
    }
}

static void graph_copy_state_free(graph_copy_state & st) {
    tevo_hash_set_free(&st.hash_set);
    free(st.node_copies);
    free(st.node_init);
}

struct tevo_backend_graph_copy_result tevo_backend_graph_copy(tevo_backend_t backend, struct tevo_cgraph * graph) {
    const char * func = "tevo_backend_graph_copy";
    TEVO_ASSERT(graph);

    graph_copy_state st = {};
    st.hash_set    = tevo_hash_set_new(graph->visited_hash_set.size);
    st.node_copies = (struct tevo_tensor **) calloc(st.hash_set.size, sizeof(struct tevo_tensor *));
    st.node_init   = (bool *) calloc(st.hash_set.size, sizeof(bool));

    struct tevo_init_params params = {
        /* .mem_size   = */ tevo_tensor_overhead() * st.hash_set.size +
            tevo_graph_overhead_custom(graph->size, false),
        /* .mem_buffer = */ NULL,
        /* .no_alloc   = */ true,
    };

    st.ctx_allocated   = tevo_init(params);
    st.ctx_unallocated = tevo_init(params);

    if (st.node_copies == NULL || st.node_init == NULL || st.ctx_allocated == NULL || st.ctx_unallocated == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate context for graph copy\n", func);
        graph_copy_state_free(st);
        if (st.ctx_allocated) {
            tevo_free(st.ctx_allocated);
        }
        if (st.ctx_unallocated) {
            tevo_free(st.ctx_unallocated);
        }
        return {};
    }

    for (int i = 0; i < graph->n_nodes; i++) {
        graph_copy_dup_tensor(st, graph->nodes[i]);
    }

    tevo_backend_buffer_t buffer = tevo_backend_alloc_ctx_tensors(st.ctx_allocated, backend);
    if (buffer == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate buffer for graph copy\n", func);
        graph_copy_state_free(st);
        tevo_free(st.ctx_allocated);
        tevo_free(st.ctx_unallocated);
        return {};
    }

    for (int i = 0; i < graph->n_nodes; i++) {
        graph_copy_init_tensor(st, graph->nodes[i]);
    }

    struct tevo_cgraph * graph_copy = tevo_new_graph_custom(st.ctx_allocated, graph->size, false);
    for (int i = 0; i < graph->n_nodes; i++) {
        graph_copy->nodes[i] = st.node_copies[tevo_hash_find(&st.hash_set, graph->nodes[i])];
    }
    graph_copy->n_nodes = graph->n_nodes;

    struct tevo_backend_graph_copy_result result = { buffer, st.ctx_allocated, st.ctx_unallocated, graph_copy };
    graph_copy_state_free(st);
    return result;
}

void tevo_backend_graph_copy_free(struct tevo_backend_graph_copy_result copy) {
    tevo_backend_buffer_free(copy.buffer);
    if (copy.ctx_allocated) {
        tevo_free(copy.ctx_allocated);
    }
    if (copy.ctx_unallocated) {
        tevo_free(copy.ctx_unallocated);
    }
}

static bool op_is_view(enum tevo_op op) {
    return op == TEVO_OP_RESHAPE || op == TEVO_OP_VIEW || op == TEVO_OP_PERMUTE || op == TEVO_OP_TRANSPOSE;
}

bool tevo_backend_compare_graph_backend(tevo_backend_t backend1, tevo_backend_t backend2, struct tevo_cgraph * graph,
                                        tevo_backend_eval_callback callback, void * user_data,
                                        struct tevo_tensor * const * test_nodes, size_t num_test_nodes) {
    struct tevo_backend_graph_copy_result copy = tevo_backend_graph_copy(backend2, graph);
    if (copy.graph == NULL) {
        return false;
    }

    struct tevo_cgraph * g1 = graph;
    struct tevo_cgraph * g2 = copy.graph;
    TEVO_ASSERT(g1->n_nodes == g2->n_nodes);

    if (num_test_nodes != 0) {
        TEVO_ASSERT(test_nodes);
        tevo_backend_graph_compute(backend1, g1);
        tevo_backend_graph_compute(backend2, g2);

        bool verified = false;
        for (int i = 0; i < g1->n_nodes; i++) {
            for (size_t j = 0; j < num_test_nodes; j++) {
                if (g1->nodes[i] == test_nodes[j]) {
                    // the callback hears every result; its answer changes nothing here
                    callback(i, g1->nodes[i], g2->nodes[i], user_data);
                    verified = true;
                }
            }
        }
        TEVO_ASSERT(verified);
    } else {
        for (int i = 0; i < g1->n_nodes; i++) {
            struct tevo_tensor * t1 = g1->nodes[i];
            struct tevo_tensor * t2 = g2->nodes[i];

            struct tevo_cgraph g1v = tevo_graph_view(g1, i, i + 1);
            struct tevo_cgraph g2v = tevo_graph_view(g2, i, i + 1);

            tevo_backend_graph_compute(backend1, &g1v);
            tevo_backend_graph_compute(backend2, &g2v);

            if (op_is_view(t1->op)) {
                continue;
            }

            // a mismatch is the callback's to report; it only ends the walk
            if (!callback(i, t1, t2, user_data)) {
                break;
            }
        }
    }

    tevo_backend_graph_copy_free(copy);
    return true;
}
