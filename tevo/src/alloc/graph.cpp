#define TEVO_SOURCE_PATH "tevo/src/tevo-alloc"

// Graph allocator: plans every tensor of a graph in one pass over the nodes,
// reusing the memory of tensors whose last reader has run and letting
// element-wise operators write over their input, then allocates (or grows)
// one set of compute buffers per buffer type.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

bool tevo_op_can_inplace(enum tevo_op op) {
    switch (op) {
        case TEVO_OP_ADD:
        case TEVO_OP_ADD_ID:
        case TEVO_OP_ADD1:
        case TEVO_OP_SUB:
        case TEVO_OP_MUL:
        case TEVO_OP_DIV:
        case TEVO_OP_SQR:
        case TEVO_OP_SQRT:
        case TEVO_OP_LOG:
        case TEVO_OP_SILU_BACK:
        case TEVO_OP_RMS_NORM:
        case TEVO_OP_RMS_NORM_BACK:
        case TEVO_OP_SCALE:
        case TEVO_OP_DIAG_MASK_INF:
        case TEVO_OP_DIAG_MASK_ZERO:
        case TEVO_OP_SOFT_MAX:
        case TEVO_OP_SOFT_MAX_BACK:
        case TEVO_OP_ROPE:
        case TEVO_OP_ROPE_BACK:
        case TEVO_OP_CLAMP:
        case TEVO_OP_FILL:
        case TEVO_OP_UNARY:
            return true;
        default:
            return false;
    }
}

// Whether a node may be written over its source i: only a source whose
// element j the kernel reads for output element j alone, or reads whole
// before writing a row of its own, as the normalisations and softmaxes do.
// Rows looked up by id, scalars and per-row factors serve other outputs too.
static bool gallocr_can_write_over(const struct tevo_tensor * node, int i) {
    switch (node->op) {
        case TEVO_OP_ADD_ID:    // src1: rows picked by the ids
        case TEVO_OP_ADD1:      // src1: the scalar, read by every thread
        case TEVO_OP_ROPE:      // src2: frequency factors, read for every row
        case TEVO_OP_ROPE_BACK:
            return i == 0;
        case TEVO_OP_SOFT_MAX:  // src2: the sink of a head, read after its rows are written
            return i < 2;
        default:
            return tevo_op_can_inplace(node->op);
    }
}

// the planner's record of one tensor
struct hash_node {
    int                        n_children; // source slots of unprocessed nodes reading it
    int                        n_views;    // views with an operator whose readers have not all run
    int                        buffer_id;
    struct tevo_buffer_address addr;
    bool                       allocated;  // placed by this plan and not yet released
    int                        pos;        // graph position, while comparing structures
};

struct tensor_alloc {
    int                        buffer_id; // -1 for none
    struct tevo_buffer_address addr;
    size_t                     size_max;  // 0 for none
};

struct leaf_alloc {
    struct tensor_alloc leaf;
};

// What else a tensor's placement was decided by: the flags that keep it from
// release or place it early, the root it views (which its readers keep
// alive), and for a source of an in-place operator whether it has the node's
// layout (a broadcast source must not be written over).
struct tensor_role {
    int32_t flags;
    int     view_pos;
    bool    same_layout;
};

// A plan also holds the structure it was made for: each node's operator and
// where its sources sit in the graph. A graph of equal counts and sizes but
// other wiring would otherwise be placed by lifetimes that are not its own.
struct node_alloc {
    struct tensor_alloc dst;
    struct tensor_alloc src[TEVO_MAX_SRC];
    enum tevo_op        op;
    int                 src_pos[TEVO_MAX_SRC];
    struct tensor_role  dst_role;
    struct tensor_role  src_role[TEVO_MAX_SRC];
};

struct tevo_gallocr {
    tevo_backend_buffer_type_t * bufts;       // [n_buffers]
    tevo_backend_buffer_t **     buffers;     // [n_buffers], each NULL or 16 entries (one per chunk)
    struct tevo_dyn_tallocr **   buf_tallocs; // [n_buffers]
    int                          n_buffers;

    struct tevo_hash_set hash_set;
    struct hash_node *   hash_values; // [hash_set.size]

    struct node_alloc * node_allocs; // [n_nodes]
    int                 n_nodes;

    struct leaf_alloc * leaf_allocs; // [n_leafs]
    int                 n_leafs;
};

tevo_gallocr_t tevo_gallocr_new_n(tevo_backend_buffer_type_t * bufts, int n_bufs) {
    tevo_gallocr_t galloc = (tevo_gallocr_t) calloc(1, sizeof(struct tevo_gallocr));
    TEVO_ASSERT(galloc != NULL);

    galloc->bufts = (tevo_backend_buffer_type_t *) calloc(n_bufs, sizeof(tevo_backend_buffer_type_t));
    TEVO_ASSERT(galloc->bufts != NULL);

    galloc->buffers = (tevo_backend_buffer_t **) calloc(n_bufs, sizeof(tevo_backend_buffer_t *));
    TEVO_ASSERT(galloc->buffers != NULL);

    galloc->buf_tallocs = (struct tevo_dyn_tallocr **) calloc(n_bufs, sizeof(struct tevo_dyn_tallocr *));
    TEVO_ASSERT(galloc->buf_tallocs != NULL);

    for (int i = 0; i < n_bufs; i++) {
        galloc->bufts[i]   = bufts[i];
        galloc->buffers[i] = NULL;

        // slots of one buffer type share its planner, and later its buffers
        for (int j = 0; j < i; j++) {
            if (bufts[i] == bufts[j]) {
                galloc->buf_tallocs[i] = galloc->buf_tallocs[j];
                break;
            }
        }

        if (galloc->buf_tallocs[i] == NULL) {
            size_t alignment       = tevo_backend_buft_get_alignment(bufts[i]);
            size_t max_size        = tevo_backend_buft_get_max_size(bufts[i]);
            galloc->buf_tallocs[i] = tevo_dyn_tallocr_new(alignment, max_size);
        }
    }
    galloc->n_buffers = n_bufs;

    return galloc;
}

tevo_gallocr_t tevo_gallocr_new(tevo_backend_buffer_type_t buft) {
    return tevo_gallocr_new_n(&buft, 1);
}

static void vbuffer_free(tevo_backend_buffer_t * buffers) {
    if (buffers == NULL) {
        return;
    }
    for (int c = 0; c < TEVO_VBUFFER_MAX_CHUNKS; c++) {
        tevo_backend_buffer_free(buffers[c]);
    }
    free(buffers);
}

static size_t vbuffer_size(tevo_backend_buffer_t * buffers) {
    size_t size = 0;
    for (int c = 0; c < TEVO_VBUFFER_MAX_CHUNKS && buffers[c] != NULL; c++) {
        size += tevo_backend_buffer_get_size(buffers[c]);
    }
    return size;
}

void tevo_gallocr_free(tevo_gallocr_t galloc) {
    if (galloc == NULL) {
        return;
    }

    for (int i = 0; i < galloc->n_buffers; i++) {
        if (galloc->buffers != NULL) {
            bool shared = false;
            for (int j = 0; j < i; j++) {
                if (galloc->buffers[j] == galloc->buffers[i]) {
                    shared = true;
                    break;
                }
            }
            if (!shared) {
                vbuffer_free(galloc->buffers[i]);
            }
        }
        if (galloc->buf_tallocs != NULL) {
            bool shared = false;
            for (int j = 0; j < i; j++) {
                if (galloc->buf_tallocs[j] == galloc->buf_tallocs[i]) {
                    shared = true;
                    break;
                }
            }
            if (!shared) {
                tevo_dyn_tallocr_free(galloc->buf_tallocs[i]);
            }
        }
    }

    if (galloc->hash_set.keys != NULL) {
        tevo_hash_set_free(&galloc->hash_set);
    }
    free(galloc->hash_values);
    free(galloc->bufts);
    free(galloc->buffers);
    free(galloc->buf_tallocs);
    free(galloc->node_allocs);
    free(galloc->leaf_allocs);
    free(galloc);
}

// ---------------------------------------------------------------------------
// planning

static struct hash_node * hash_get(tevo_gallocr_t galloc, struct tevo_tensor * t) {
    size_t i = tevo_hash_find_or_insert(&galloc->hash_set, t);
    return &galloc->hash_values[i];
}

static size_t alloc_size_in(tevo_gallocr_t galloc, int buffer_id, const struct tevo_tensor * t) {
    return tevo_backend_buft_get_alloc_size(galloc->bufts[buffer_id], t);
}

static void gallocr_allocate_node(tevo_gallocr_t galloc, struct tevo_tensor * node, int buffer_id) {
    TEVO_ASSERT(buffer_id >= 0);
    struct hash_node * hn = hash_get(galloc, node);

    if (node->data != NULL || node->buffer != NULL || hn->allocated || node->view_src != NULL) {
        return;
    }
    hn->allocated = true;

    // write over a source whose last reader this node is
    if (tevo_op_can_inplace(node->op)) {
        for (int i = 0; i < TEVO_MAX_SRC; i++) {
            struct tevo_tensor * parent = node->src[i];
            if (parent == NULL || !gallocr_can_write_over(node, i)) {
                continue;
            }
            struct hash_node * p_hn = hash_get(galloc, parent);
            if (!p_hn->allocated || (parent->flags & TEVO_TENSOR_FLAG_OUTPUT) ||
                !tevo_are_same_layout(node, parent)) {
                continue;
            }
            if (p_hn->n_children != 1 || p_hn->n_views != 0) {
                continue;
            }

            hn->buffer_id    = p_hn->buffer_id;
            hn->addr         = p_hn->addr;
            p_hn->allocated  = false; // the node owns the range now

            // give back what the node does not need of the parent's range
            struct tevo_dyn_tallocr * alloc       = galloc->buf_tallocs[p_hn->buffer_id];
            size_t                    parent_size = alloc_size_in(galloc, p_hn->buffer_id, parent);
            size_t                    node_size   = alloc_size_in(galloc, p_hn->buffer_id, node);
            TEVO_ASSERT(parent_size >= node_size);
            parent_size = (parent_size + alloc->alignment - 1) / alloc->alignment * alloc->alignment;
            node_size   = (node_size + alloc->alignment - 1) / alloc->alignment * alloc->alignment;
            if (node_size < parent_size) {
                struct tevo_buffer_address tail = { p_hn->addr.chunk, p_hn->addr.offset + node_size };
                tevo_dyn_tallocr_free_range(alloc, tail, parent_size - node_size, parent);
            }
            return;
        }
    }

    size_t size   = alloc_size_in(galloc, buffer_id, node);
    hn->buffer_id = buffer_id;
    hn->addr      = tevo_dyn_tallocr_alloc(galloc->buf_tallocs[buffer_id], size, node);
}

static void gallocr_free_node(tevo_gallocr_t galloc, struct tevo_tensor * node) {
    // outputs must survive the graph
    if (node->flags & TEVO_TENSOR_FLAG_OUTPUT) {
        return;
    }
    struct hash_node * hn   = hash_get(galloc, node);
    size_t             size = alloc_size_in(galloc, hn->buffer_id, node);
    tevo_dyn_tallocr_free_range(galloc->buf_tallocs[hn->buffer_id], hn->addr, size, node);
    hn->allocated = false;
}

static int get_buffer_id(const int * ids, int i) {
    return ids ? ids[i] : 0;
}

static void gallocr_plan_graph(tevo_gallocr_t galloc, struct tevo_cgraph * graph, const int * node_buffer_ids,
                               const int * leaf_buffer_ids) {
    // leafs first, so no node is placed over them
    for (int i = 0; i < graph->n_leafs; i++) {
        gallocr_allocate_node(galloc, graph->leafs[i], get_buffer_id(leaf_buffer_ids, i));
    }

    // count readers and views; place graph inputs before anything else
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];

        if (node->view_src != NULL && node->op != TEVO_OP_NONE) {
            hash_get(galloc, node->view_src)->n_views += 1;
        }
        if (node->flags & TEVO_TENSOR_FLAG_INPUT) {
            gallocr_allocate_node(galloc, node, get_buffer_id(node_buffer_ids, i));
        }
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * src = node->src[j];
            if (src == NULL) {
                continue;
            }
            hash_get(galloc, src)->n_children += 1;
            if (src->flags & TEVO_TENSOR_FLAG_INPUT) {
                gallocr_allocate_node(galloc, src, get_buffer_id(node_buffer_ids, i));
            }
        }
    }

    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node      = graph->nodes[i];
        const int            buffer_id = get_buffer_id(node_buffer_ids, i);

        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * parent = node->src[j];
            if (parent == NULL) {
                continue;
            }
            gallocr_allocate_node(galloc, parent, buffer_id);
        }
        gallocr_allocate_node(galloc, node, buffer_id);

        // release the sources this node was the last reader of
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * parent = node->src[j];
            if (parent == NULL) {
                continue;
            }
            struct hash_node * p_hn = hash_get(galloc, parent);
            p_hn->n_children -= 1;
            if (p_hn->n_children != 0 || p_hn->n_views != 0) {
                continue;
            }
            if (parent->view_src != NULL) {
                struct tevo_tensor * view_src = parent->view_src;
                struct hash_node *   vs_hn    = hash_get(galloc, view_src);
                vs_hn->n_views -= 1;
                if (vs_hn->n_views == 0 && vs_hn->n_children == 0 && vs_hn->allocated) {
                    gallocr_free_node(galloc, view_src);
                }
            } else if (p_hn->allocated) {
                gallocr_free_node(galloc, parent);
            }
        }
    }
}

static void gallocr_record(tevo_gallocr_t galloc, struct tevo_tensor * t, struct tensor_alloc * talloc) {
    if (t == NULL || t->view_src != NULL || t->data != NULL) {
        talloc->buffer_id   = -1;
        talloc->addr.chunk  = -1;
        talloc->addr.offset = SIZE_MAX;
        talloc->size_max    = 0;
        return;
    }
    struct hash_node * hn = hash_get(galloc, t);
    talloc->buffer_id     = hn->buffer_id;
    talloc->addr          = hn->addr;
    talloc->size_max      = alloc_size_in(galloc, hn->buffer_id, t);
}

// Positions of sources: node i is i, leaf i is -4 - i.
enum { GALLOCR_POS_NONE = -1, GALLOCR_POS_OUTSIDE = -2, GALLOCR_POS_KEPT_LEAF = -3 };

// files every node and leaf in the hash set with its position (a tensor
// listed twice keeps its first); the planning records in the set are lost
static void gallocr_index_graph(tevo_gallocr_t galloc, const struct tevo_cgraph * graph) {
    tevo_hash_set_reset(&galloc->hash_set);
    for (int i = 0; i < graph->n_nodes; i++) {
        size_t h = tevo_hash_insert(&galloc->hash_set, graph->nodes[i]);
        if (h != TEVO_HASHSET_ALREADY_EXISTS) {
            galloc->hash_values[h].pos = i;
        }
    }
    for (int i = 0; i < graph->n_leafs; i++) {
        size_t h = tevo_hash_insert(&galloc->hash_set, graph->leafs[i]);
        if (h != TEVO_HASHSET_ALREADY_EXISTS) {
            galloc->hash_values[h].pos = -4 - i;
        }
    }
}

static int gallocr_pos(tevo_gallocr_t galloc, const struct tevo_tensor * t) {
    if (t == NULL) {
        return GALLOCR_POS_NONE;
    }
    size_t h = tevo_hash_find(&galloc->hash_set, t);
    if (h == TEVO_HASHSET_FULL || !tevo_bitset_get(galloc->hash_set.used, h)) {
        return GALLOCR_POS_OUTSIDE;
    }
    const int pos = galloc->hash_values[h].pos;
    // Leafs are placed first, each by its own record, and a kept one is never
    // released nor written over: which of them a node reads changes no
    // placement. The scheduler's input slots take turns this way.
    if (pos <= -4 && t->view_src == NULL && (t->flags & TEVO_TENSOR_FLAG_OUTPUT)) {
        return GALLOCR_POS_KEPT_LEAF;
    }
    return pos;
}

static struct tensor_role gallocr_role(tevo_gallocr_t galloc, const struct tevo_tensor * node,
                                       const struct tevo_tensor * t) {
    struct tensor_role role = { 0, GALLOCR_POS_NONE, false };
    if (t == NULL) {
        return role;
    }
    role.flags       = t->flags & (TEVO_TENSOR_FLAG_INPUT | TEVO_TENSOR_FLAG_OUTPUT);
    role.view_pos    = t->view_src != NULL ? gallocr_pos(galloc, t->view_src) : GALLOCR_POS_NONE;
    role.same_layout = t != node && tevo_op_can_inplace(node->op) && tevo_are_same_layout(node, t);
    return role;
}

static bool gallocr_same_role(struct tensor_role a, struct tensor_role b) {
    return a.flags == b.flags && a.view_pos == b.view_pos && a.same_layout == b.same_layout;
}

static bool tevo_gallocr_reserve_n_impl(tevo_gallocr_t galloc, struct tevo_cgraph * graph,
                                        const int * node_buffer_ids, const int * leaf_buffer_ids, bool no_alloc) {
    size_t min_hash_size = graph->n_nodes + graph->n_leafs;
    // the source of a view is filed too, and may lie outside the graph
    for (int i = 0; i < graph->n_nodes; i++) {
        min_hash_size += graph->nodes[i]->view_src != NULL;
    }
    for (int i = 0; i < graph->n_leafs; i++) {
        min_hash_size += graph->leafs[i]->view_src != NULL;
    }
    // a quarter more, so probing stays short
    min_hash_size += min_hash_size / 4;

    // an empty first graph still needs a set to clear
    if (galloc->hash_set.size < min_hash_size || galloc->hash_set.keys == NULL) {
        if (galloc->hash_set.keys != NULL) {
            tevo_hash_set_free(&galloc->hash_set);
        }
        galloc->hash_set = tevo_hash_set_new(min_hash_size);
        TEVO_ASSERT(galloc->hash_set.keys != NULL);

        free(galloc->hash_values);
        galloc->hash_values = (struct hash_node *) malloc(sizeof(struct hash_node) * galloc->hash_set.size);
        TEVO_ASSERT(galloc->hash_values != NULL);
    }

    for (int i = 0; i < galloc->n_buffers; i++) {
        tevo_dyn_tallocr_reset(galloc->buf_tallocs[i]);
    }
    tevo_hash_set_reset(&galloc->hash_set);
    memset(galloc->hash_values, 0, sizeof(struct hash_node) * galloc->hash_set.size);

    gallocr_plan_graph(galloc, graph, node_buffer_ids, leaf_buffer_ids);

    // the plan of every node and its sources, for allocation without planning
    if (galloc->n_nodes < graph->n_nodes) {
        free(galloc->node_allocs);
        galloc->node_allocs = (struct node_alloc *) calloc(graph->n_nodes, sizeof(struct node_alloc));
        TEVO_ASSERT(galloc->node_allocs != NULL);
    }
    galloc->n_nodes = graph->n_nodes;
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        struct node_alloc *  na   = &galloc->node_allocs[i];
        gallocr_record(galloc, node, &na->dst);
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            gallocr_record(galloc, node->src[j], &na->src[j]);
        }
    }

    if (galloc->n_leafs < graph->n_leafs) {
        free(galloc->leaf_allocs);
        galloc->leaf_allocs = (struct leaf_alloc *) calloc(graph->n_leafs, sizeof(struct leaf_alloc));
        TEVO_ASSERT(galloc->leaf_allocs != NULL);
    }
    galloc->n_leafs = graph->n_leafs;
    for (int i = 0; i < graph->n_leafs; i++) {
        gallocr_record(galloc, graph->leafs[i], &galloc->leaf_allocs[i].leaf);
    }

    gallocr_index_graph(galloc, graph);
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        struct node_alloc *  na   = &galloc->node_allocs[i];
        na->op                    = node->op;
        na->dst_role              = gallocr_role(galloc, node, node);
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            na->src_pos[j]  = gallocr_pos(galloc, node->src[j]);
            na->src_role[j] = gallocr_role(galloc, node, node->src[j]);
        }
    }

    // grow the buffers when a chunk needs more than its buffer holds
    for (int i = 0; i < galloc->n_buffers; i++) {
        bool shared = false;
        for (int j = 0; j < i; j++) {
            if (galloc->buf_tallocs[j] == galloc->buf_tallocs[i]) {
                galloc->buffers[i] = galloc->buffers[j];
                shared             = true;
                break;
            }
        }
        if (shared) {
            continue;
        }

        struct tevo_dyn_tallocr * alloc = galloc->buf_tallocs[i];
        bool needs_realloc = galloc->buffers[i] == NULL;
        for (int c = 0; !needs_realloc && c < alloc->n_chunks; c++) {
            tevo_backend_buffer_t buf      = galloc->buffers[i][c];
            size_t                cur_size = buf ? tevo_backend_buffer_get_size(buf) : 0;
            if (alloc->chunks[c]->max_size > cur_size) {
                needs_realloc = true;
            }
        }
        if (!needs_realloc) {
            continue;
        }

        // later slots sharing the old array must not keep a dangling pointer
        tevo_backend_buffer_t * old = galloc->buffers[i];
        for (int k = i; k < galloc->n_buffers; k++) {
            if (galloc->buffers[k] == old) {
                galloc->buffers[k] = NULL;
            }
        }
        vbuffer_free(old);

        if (no_alloc) {
            continue;
        }

        tevo_backend_buffer_t * vbuf =
            (tevo_backend_buffer_t *) calloc(TEVO_VBUFFER_MAX_CHUNKS, sizeof(tevo_backend_buffer_t));
        bool ok = vbuf != NULL;
        for (int c = 0; ok && c < alloc->n_chunks; c++) {
            vbuf[c] = tevo_backend_buft_alloc_buffer(galloc->bufts[i], alloc->chunks[c]->max_size);
            if (vbuf[c] == NULL) {
                ok = false;
                break;
            }
            tevo_backend_buffer_set_usage(vbuf[c], TEVO_BACKEND_BUFFER_USAGE_COMPUTE);
        }
        if (!ok) {
            vbuffer_free(vbuf);
            TEVO_LOG_ERROR("%s: failed to allocate %s buffer of size %zu\n", "tevo_gallocr_reserve_n_impl",
                           tevo_backend_buft_name(galloc->bufts[i]), tevo_dyn_tallocr_total_size(alloc));
            return false;
        }
        galloc->buffers[i] = vbuf;
    }

    return true;
}

bool tevo_gallocr_reserve_n(tevo_gallocr_t galloc, struct tevo_cgraph * graph, const int * node_buffer_ids,
                            const int * leaf_buffer_ids) {
    return tevo_gallocr_reserve_n_impl(galloc, graph, node_buffer_ids, leaf_buffer_ids, false);
}

bool tevo_gallocr_reserve(tevo_gallocr_t galloc, struct tevo_cgraph * graph) {
    return tevo_gallocr_reserve_n(galloc, graph, NULL, NULL);
}

void tevo_gallocr_reserve_n_size(tevo_gallocr_t galloc, struct tevo_cgraph * graph, const int * node_buffer_ids,
                                 const int * leaf_buffer_ids, size_t * sizes) {
    TEVO_ASSERT(tevo_gallocr_reserve_n_impl(galloc, graph, node_buffer_ids, leaf_buffer_ids, true));
    for (int i = 0; i < galloc->n_buffers; i++) {
        sizes[i] = tevo_dyn_tallocr_total_size(galloc->buf_tallocs[i]);
    }
}

size_t tevo_gallocr_get_buffer_size(tevo_gallocr_t galloc, int buffer_id) {
    TEVO_ASSERT(buffer_id >= 0 && buffer_id < galloc->n_buffers);

    if (galloc->buffers[buffer_id] == NULL) {
        return 0;
    }
    // a shared array is reported once, by its first slot
    for (int i = 0; i < buffer_id; i++) {
        if (galloc->buffers[i] == galloc->buffers[buffer_id]) {
            return 0;
        }
    }
    return vbuffer_size(galloc->buffers[buffer_id]);
}

// ---------------------------------------------------------------------------
// allocation by the plan

static bool tensor_fits(tevo_gallocr_t galloc, struct tevo_tensor * t, const struct tensor_alloc * talloc) {
    if (t->data != NULL || t->view_src != NULL) {
        return true;
    }
    if (talloc->buffer_id < 0) {
        return false;
    }
    return talloc->size_max >= alloc_size_in(galloc, talloc->buffer_id, t);
}

// the graph has the operators, wiring and roles of the planned one, so every
// in-place and release decision of the plan holds for it; its tensors may be
// others
static bool gallocr_same_structure(tevo_gallocr_t galloc, struct tevo_cgraph * graph) {
    gallocr_index_graph(galloc, graph);
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor *      node = graph->nodes[i];
        const struct node_alloc * na   = &galloc->node_allocs[i];
        if (na->op != node->op || !gallocr_same_role(na->dst_role, gallocr_role(galloc, node, node))) {
            return false;
        }
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            if (na->src_pos[j] != gallocr_pos(galloc, node->src[j]) ||
                !gallocr_same_role(na->src_role[j], gallocr_role(galloc, node, node->src[j]))) {
                return false;
            }
        }
    }
    return true;
}

// the plan still fits the graph, and its buffers exist and are large enough
// (a size-only reserve plans without allocating)
static bool gallocr_plan_fits(tevo_gallocr_t galloc, struct tevo_cgraph * graph) {
    if (galloc->n_nodes != graph->n_nodes || galloc->n_leafs != graph->n_leafs) {
        return false;
    }
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        struct node_alloc *  na   = &galloc->node_allocs[i];
        if (!tensor_fits(galloc, node, &na->dst)) {
            return false;
        }
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * src = node->src[j];
            if (src != NULL && !tensor_fits(galloc, src, &na->src[j])) {
                return false;
            }
        }
    }
    // a leaf that lost its data since planning has no placement
    for (int i = 0; i < graph->n_leafs; i++) {
        if (!tensor_fits(galloc, graph->leafs[i], &galloc->leaf_allocs[i].leaf)) {
            return false;
        }
    }
    for (int i = 0; i < galloc->n_buffers; i++) {
        tevo_backend_buffer_t *   vbuf  = galloc->buffers[i];
        struct tevo_dyn_tallocr * alloc = galloc->buf_tallocs[i];
        if (vbuf == NULL) {
            return false;
        }
        for (int c = 0; c < alloc->n_chunks; c++) {
            if (vbuf[c] == NULL || tevo_backend_buffer_get_size(vbuf[c]) < alloc->chunks[c]->max_size) {
                return false;
            }
        }
    }
    // last: only a reserve that made buffers also made the hash set
    return gallocr_same_structure(galloc, graph);
}

static void gallocr_init_tensor(tevo_gallocr_t galloc, struct tevo_tensor * tensor,
                                const struct tensor_alloc * talloc) {
    if (tensor->view_src != NULL) {
        if (tensor->buffer == NULL && tensor->view_src->buffer != NULL) {
            tevo_backend_view_init(tensor);
        }
        return;
    }
    if (tensor->data == NULL) {
        TEVO_ASSERT(talloc->buffer_id >= 0);
        tevo_backend_buffer_t buffer = galloc->buffers[talloc->buffer_id][talloc->addr.chunk];
        void *                base   = tevo_backend_buffer_get_base(buffer);
        void *                addr   = (char *) base + talloc->addr.offset;
        tevo_backend_tensor_alloc(buffer, tensor, addr);
    }
}

bool tevo_gallocr_alloc_graph(tevo_gallocr_t galloc, struct tevo_cgraph * graph) {
    if (!gallocr_plan_fits(galloc, graph)) {
        if (galloc->n_buffers != 1) {
            // the caller knows the slot of each node; it must reserve again
            TEVO_LOG_DEBUG("%s: cannot reallocate multi buffer graph automatically, call reserve\n", __func__);
            return false;
        }
        TEVO_LOG_DEBUG("%s: reallocating buffers automatically\n", __func__);
        if (!tevo_gallocr_reserve_n_impl(galloc, graph, NULL, NULL, false)) {
            return false;
        }
    }

    // drop per-tensor state of the previous graph
    for (int i = 0; i < galloc->n_buffers; i++) {
        if (galloc->buffers[i] == NULL) {
            continue;
        }
        for (int c = 0; c < TEVO_VBUFFER_MAX_CHUNKS && galloc->buffers[i][c] != NULL; c++) {
            tevo_backend_buffer_reset(galloc->buffers[i][c]);
        }
    }

    for (int i = 0; i < graph->n_leafs; i++) {
        gallocr_init_tensor(galloc, graph->leafs[i], &galloc->leaf_allocs[i].leaf);
    }
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        struct node_alloc *  na   = &galloc->node_allocs[i];
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            struct tevo_tensor * src = node->src[j];
            if (src == NULL) {
                continue;
            }
            gallocr_init_tensor(galloc, src, &na->src[j]);
        }
        gallocr_init_tensor(galloc, node, &na->dst);
    }

    return true;
}
