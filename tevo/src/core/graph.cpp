#define TEVO_SOURCE_PATH "tevo/src/tevo"

#include "core/impl.h"
#include "tevo-backend.h"

#include <inttypes.h>

// ---------------------------------------------------------------------------
// layout: record, nodes, leafs, use counts, keys, [grads, grad_accs], bitset

static size_t tevo_graph_nbytes(size_t size, bool grads) {
    const size_t hash_size = tevo_hash_size(size * 2);
    size_t       nbytes    = sizeof(struct tevo_cgraph);
    nbytes += size * sizeof(struct tevo_tensor *) * 2; // nodes, leafs
    nbytes += hash_size * sizeof(int32_t);             // use_counts
    nbytes = TEVO_PAD(nbytes, sizeof(void *));         // keys are pointers
    nbytes += hash_size * sizeof(struct tevo_tensor *); // keys
    if (grads) {
        nbytes += hash_size * sizeof(struct tevo_tensor *) * 2; // grads, grad_accs
    }
    nbytes += tevo_bitset_size(hash_size) * sizeof(tevo_bitset_t);
    return nbytes;
}

size_t tevo_graph_overhead_custom(size_t size, bool grads) {
    return TEVO_OBJECT_SIZE + TEVO_PAD(tevo_graph_nbytes(size, grads), TEVO_MEM_ALIGN);
}

size_t tevo_graph_overhead(void) {
    return tevo_graph_overhead_custom(TEVO_DEFAULT_GRAPH_SIZE, false);
}

struct tevo_cgraph * tevo_new_graph_custom(struct tevo_context * ctx, size_t size, bool grads) {
    const size_t         obj_size = tevo_graph_nbytes(size, grads);
    struct tevo_object * obj      = tevo_new_object(ctx, TEVO_OBJECT_TYPE_GRAPH, obj_size);
    TEVO_ASSERT(obj);
    struct tevo_cgraph * cgraph = (struct tevo_cgraph *) ((char *) ctx->mem_buffer + obj->offs);

    const size_t hash_size = tevo_hash_size(size * 2);

    struct tevo_tensor ** nodes_ptr  = (struct tevo_tensor **) (cgraph + 1);
    struct tevo_tensor ** leafs_ptr  = nodes_ptr + size;
    int32_t *             use_counts = (int32_t *) (leafs_ptr + size);
    struct tevo_tensor ** keys_ptr =
        (struct tevo_tensor **) TEVO_PAD((uintptr_t) (use_counts + hash_size), sizeof(void *));
    struct tevo_tensor ** grads_ptr     = grads ? keys_ptr + hash_size : NULL;
    struct tevo_tensor ** grad_accs_ptr = grads ? grads_ptr + hash_size : NULL;
    tevo_bitset_t *       hash_used     = (tevo_bitset_t *) (grads ? grad_accs_ptr + hash_size : keys_ptr + hash_size);

    TEVO_ASSERT(obj_size == (size_t) ((char *) (hash_used + tevo_bitset_size(hash_size)) - (char *) cgraph));

    cgraph->size             = (int32_t) size;
    cgraph->n_nodes          = 0;
    cgraph->n_leafs          = 0;
    cgraph->nodes            = nodes_ptr;
    cgraph->grads            = grads_ptr;
    cgraph->grad_accs        = grad_accs_ptr;
    cgraph->leafs            = leafs_ptr;
    cgraph->use_counts       = use_counts;
    cgraph->visited_hash_set = { hash_size, hash_used, keys_ptr };
    cgraph->order            = TEVO_CGRAPH_EVAL_ORDER_LEFT_TO_RIGHT;
    cgraph->uid              = 0;

    tevo_hash_set_reset(&cgraph->visited_hash_set);
    if (grads) {
        memset(cgraph->grads, 0, hash_size * sizeof(struct tevo_tensor *));
        memset(cgraph->grad_accs, 0, hash_size * sizeof(struct tevo_tensor *));
    }
    return cgraph;
}

struct tevo_cgraph * tevo_new_graph(struct tevo_context * ctx) {
    return tevo_new_graph_custom(ctx, TEVO_DEFAULT_GRAPH_SIZE, false);
}

struct tevo_cgraph tevo_graph_view(struct tevo_cgraph * cgraph0, int i0, int i1) {
    struct tevo_cgraph cgraph;
    cgraph.size             = 0;
    cgraph.n_nodes          = i1 - i0;
    cgraph.n_leafs          = 0;
    cgraph.nodes            = cgraph0->nodes + i0;
    cgraph.grads            = NULL;
    cgraph.grad_accs        = NULL;
    cgraph.leafs            = NULL;
    cgraph.use_counts       = cgraph0->use_counts;
    cgraph.visited_hash_set = cgraph0->visited_hash_set;
    cgraph.order            = cgraph0->order;
    cgraph.uid              = 0;
    return cgraph;
}

void tevo_graph_cpy(struct tevo_cgraph * src, struct tevo_cgraph * dst) {
    TEVO_ASSERT(dst->size >= src->n_leafs);
    TEVO_ASSERT(dst->size >= src->n_nodes);
    TEVO_ASSERT(dst->visited_hash_set.size >= src->visited_hash_set.size);

    dst->n_leafs = src->n_leafs;
    dst->n_nodes = src->n_nodes;
    dst->order   = src->order;

    for (int i = 0; i < src->n_leafs; ++i) {
        dst->leafs[i] = src->leafs[i];
    }
    for (int i = 0; i < src->n_nodes; ++i) {
        dst->nodes[i] = src->nodes[i];
    }

    for (size_t i = 0; i < src->visited_hash_set.size; ++i) {
        if (tevo_bitset_get(src->visited_hash_set.used, i)) {
            // dst may already hold the key: its use count still belongs in the key's own slot
            const size_t new_pos   = tevo_hash_find_or_insert(&dst->visited_hash_set, src->visited_hash_set.keys[i]);
            dst->use_counts[new_pos] = src->use_counts[i];
        }
    }

    if (dst->grads) {
        memset(dst->grads, 0, dst->visited_hash_set.size * sizeof(struct tevo_tensor *));
        memset(dst->grad_accs, 0, dst->visited_hash_set.size * sizeof(struct tevo_tensor *));
    }
    if (src->grads) {
        TEVO_ASSERT(dst->grads != NULL);
        TEVO_ASSERT(dst->grad_accs != NULL);
        for (int i = 0; i < src->n_nodes; ++i) {
            const size_t igrad_src = tevo_hash_find(&src->visited_hash_set, src->nodes[i]);
            const size_t igrad_dst = tevo_hash_find(&dst->visited_hash_set, dst->nodes[i]);

            TEVO_ASSERT(igrad_src != TEVO_HASHSET_FULL);
            TEVO_ASSERT(tevo_bitset_get(src->visited_hash_set.used, igrad_src));
            TEVO_ASSERT(igrad_dst != TEVO_HASHSET_FULL);
            TEVO_ASSERT(tevo_bitset_get(dst->visited_hash_set.used, igrad_dst));

            dst->grads[igrad_dst]     = src->grads[igrad_src];
            dst->grad_accs[igrad_dst] = src->grad_accs[igrad_src];
        }
    }
}

struct tevo_cgraph * tevo_graph_dup(struct tevo_context * ctx, struct tevo_cgraph * cgraph, bool force_grads) {
    struct tevo_cgraph * result =
        tevo_new_graph_custom(ctx, (size_t) cgraph->size, cgraph->grads != NULL || force_grads);
    tevo_graph_cpy(cgraph, result);
    return result;
}

void tevo_graph_clear(struct tevo_cgraph * cgraph) {
    cgraph->n_leafs = 0;
    cgraph->n_nodes = 0;
    tevo_hash_set_reset(&cgraph->visited_hash_set);
}

struct tevo_tensor * tevo_set_zero(struct tevo_tensor * tensor) {
    if (tevo_is_empty(tensor)) {
        return tensor;
    }
    if (tensor->buffer) {
        tevo_backend_tensor_memset(tensor, 0, 0, tevo_nbytes(tensor));
    } else {
        TEVO_ASSERT(tensor->data);
        memset(tensor->data, 0, tevo_nbytes(tensor));
    }
    return tensor;
}

void tevo_graph_reset(struct tevo_cgraph * cgraph) {
    if (!cgraph) {
        return;
    }
    TEVO_ASSERT(cgraph->grads != NULL);

    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * node     = cgraph->nodes[i];
        struct tevo_tensor * grad_acc = tevo_graph_get_grad_acc(cgraph, node);

        if (node->op == TEVO_OP_OPT_STEP_ADAMW) {
            // the optimizer's first and second moments start from zero
            tevo_set_zero(node->src[2]);
            tevo_set_zero(node->src[3]);
        }

        if (grad_acc) {
            if (node->flags & TEVO_TENSOR_FLAG_LOSS) {
                // the loss's own gradient is 1
                TEVO_ASSERT(grad_acc->type == TEVO_TYPE_F32);
                TEVO_ASSERT(tevo_is_scalar(grad_acc));

                const float onef = 1.0f;
                if (grad_acc->buffer) {
                    tevo_backend_tensor_set(grad_acc, &onef, 0, sizeof(float));
                } else {
                    TEVO_ASSERT(grad_acc->data);
                    *((float *) grad_acc->data) = onef;
                }
            } else {
                tevo_set_zero(grad_acc);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// accessors

int tevo_graph_size(struct tevo_cgraph * cgraph) {
    return cgraph->size;
}

int tevo_graph_n_nodes(struct tevo_cgraph * cgraph) {
    return cgraph->n_nodes;
}

struct tevo_tensor ** tevo_graph_nodes(struct tevo_cgraph * cgraph) {
    return cgraph->nodes;
}

struct tevo_tensor * tevo_graph_node(struct tevo_cgraph * cgraph, int i) {
    if (i < 0) {
        TEVO_ASSERT(cgraph->n_nodes + i >= 0);
        return cgraph->nodes[cgraph->n_nodes + i];
    }
    TEVO_ASSERT(i < cgraph->n_nodes);
    return cgraph->nodes[i];
}

void tevo_graph_add_node(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor) {
    TEVO_ASSERT(cgraph->size > cgraph->n_nodes);
    cgraph->nodes[cgraph->n_nodes] = tensor;
    cgraph->n_nodes++;
}

struct tevo_tensor * tevo_graph_get_tensor(const struct tevo_cgraph * cgraph, const char * name) {
    for (int i = 0; i < cgraph->n_leafs; i++) {
        struct tevo_tensor * leaf = cgraph->leafs[i];
        if (strcmp(leaf->name, name) == 0) {
            return leaf;
        }
    }
    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * node = cgraph->nodes[i];
        if (strcmp(node->name, name) == 0) {
            return node;
        }
    }
    return NULL;
}

struct tevo_tensor * tevo_graph_get_grad(const struct tevo_cgraph * cgraph, const struct tevo_tensor * node) {
    const size_t igrad = tevo_hash_find(&cgraph->visited_hash_set, node);
    return igrad != TEVO_HASHSET_FULL && tevo_bitset_get(cgraph->visited_hash_set.used, igrad) && cgraph->grads
               ? cgraph->grads[igrad]
               : NULL;
}

struct tevo_tensor * tevo_graph_get_grad_acc(const struct tevo_cgraph * cgraph, const struct tevo_tensor * node) {
    const size_t igrad = tevo_hash_find(&cgraph->visited_hash_set, node);
    return igrad != TEVO_HASHSET_FULL && tevo_bitset_get(cgraph->visited_hash_set.used, igrad) && cgraph->grad_accs
               ? cgraph->grad_accs[igrad]
               : NULL;
}

// ---------------------------------------------------------------------------
// building

static size_t tevo_visit_parents(struct tevo_cgraph * cgraph, struct tevo_tensor * node, bool compute) {
    if (compute && node->op != TEVO_OP_NONE) {
        node->flags |= TEVO_TENSOR_FLAG_COMPUTE;
    }

    const size_t node_hash_pos = tevo_hash_find(&cgraph->visited_hash_set, node);
    TEVO_ASSERT(node_hash_pos != TEVO_HASHSET_FULL);

    if (tevo_bitset_get(cgraph->visited_hash_set.used, node_hash_pos)) {
        // Already in the graph. A part first added without the compute flag
        // (build_forward_order, unselected entries) gets marked now.
        if (compute) {
            for (int i = 0; i < TEVO_MAX_SRC; ++i) {
                struct tevo_tensor * src = node->src[i];
                if (src && !(src->flags & TEVO_TENSOR_FLAG_COMPUTE)) {
                    tevo_visit_parents(cgraph, src, true);
                }
            }
        }
        return node_hash_pos;
    }

    tevo_bitset_set(cgraph->visited_hash_set.used, node_hash_pos);
    cgraph->visited_hash_set.keys[node_hash_pos] = node;
    cgraph->use_counts[node_hash_pos]            = 0;

    bool reverse = false;
    switch (cgraph->order) {
        case TEVO_CGRAPH_EVAL_ORDER_LEFT_TO_RIGHT: reverse = false; break;
        case TEVO_CGRAPH_EVAL_ORDER_RIGHT_TO_LEFT: reverse = true; break;
        default: TEVO_ABORT("fatal error");
    }

    for (int i = 0; i < TEVO_MAX_SRC; ++i) {
        struct tevo_tensor * src = node->src[reverse ? TEVO_MAX_SRC - 1 - i : i];
        if (src) {
            const size_t src_hash_pos = tevo_visit_parents(cgraph, src, compute);
            cgraph->use_counts[src_hash_pos]++;
        }
    }

    if (node->op == TEVO_OP_NONE && !(node->flags & TEVO_TENSOR_FLAG_PARAM)) {
        // read by the graph but produced by no operator
        TEVO_ASSERT(cgraph->n_leafs < cgraph->size);
        if (strlen(node->name) == 0) {
            tevo_format_name(node, "leaf_%d", cgraph->n_leafs);
        }
        cgraph->leafs[cgraph->n_leafs] = node;
        cgraph->n_leafs++;
    } else {
        TEVO_ASSERT(cgraph->n_nodes < cgraph->size);
        if (strlen(node->name) == 0) {
            tevo_format_name(node, "node_%d", cgraph->n_nodes);
        }
        cgraph->nodes[cgraph->n_nodes] = node;
        cgraph->n_nodes++;
    }

    return node_hash_pos;
}

static void tevo_build_forward_impl(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor, bool compute) {
    const int n0 = cgraph->n_nodes;

    tevo_visit_parents(cgraph, tensor, compute);

    const int n_new = cgraph->n_nodes - n0;
    if (n_new > 0) {
        // the last added node must be the tensor itself
        TEVO_ASSERT(cgraph->nodes[cgraph->n_nodes - 1] == tensor);
    }
}

void tevo_build_forward_expand(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor) {
    tevo_build_forward_impl(cgraph, tensor, true);
}

void tevo_build_forward_order(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor) {
    tevo_build_forward_impl(cgraph, tensor, false);
}

struct tevo_tensor * tevo_build_forward_select(struct tevo_cgraph * cgraph, struct tevo_tensor ** tensors,
                                               int n_tensors, int idx) {
    TEVO_ASSERT(idx >= 0 && idx < n_tensors);
    for (int i = 0; i < n_tensors; i++) {
        tevo_build_forward_impl(cgraph, tensors[i], i == idx);
    }
    return tensors[idx];
}

// ---------------------------------------------------------------------------
// tensor flags

void tevo_set_input(struct tevo_tensor * tensor) {
    TEVO_ASSERT(tensor->op == TEVO_OP_NONE);
    tensor->flags |= TEVO_TENSOR_FLAG_INPUT;
}

void tevo_set_output(struct tevo_tensor * tensor) {
    // the data that must survive is the view's root
    for (struct tevo_tensor * t = tensor; t != NULL; t = t->view_src) {
        t->flags |= TEVO_TENSOR_FLAG_OUTPUT;
    }
}

void tevo_set_param(struct tevo_tensor * tensor) {
    TEVO_ASSERT(tensor->op == TEVO_OP_NONE);
    tensor->flags |= TEVO_TENSOR_FLAG_PARAM;
}

void tevo_set_loss(struct tevo_tensor * tensor) {
    TEVO_ASSERT(tevo_is_scalar(tensor));
    TEVO_ASSERT(tensor->type == TEVO_TYPE_F32);
    tensor->flags |= TEVO_TENSOR_FLAG_LOSS;
}

// ---------------------------------------------------------------------------
// fusion check

static inline bool tevo_node_index_ok(const struct tevo_cgraph * cgraph, int idx) {
    return idx >= 0 && idx < cgraph->n_nodes;
}

// position in idxs of the node that is tensor, or -1; stops at the first
// index outside the graph so nothing past n_nodes is read
static int tevo_find_tensor_in_list(const struct tevo_cgraph * cgraph, const int * idxs, int count,
                                    const struct tevo_tensor * tensor) {
    TEVO_ASSERT(cgraph && idxs);
    for (int i = 0; i < count; ++i) {
        if (!tevo_node_index_ok(cgraph, idxs[i])) {
            break;
        }
        if (cgraph->nodes[idxs[i]] == tensor) {
            return i;
        }
    }
    return -1;
}

bool tevo_can_fuse_subgraph_ext(const struct tevo_cgraph * cgraph, const int * node_idxs, int count,
                                const enum tevo_op * ops, const int * outputs, int num_outputs) {
    TEVO_ASSERT(outputs && num_outputs > 0);

    for (int i = 0; i < count; ++i) {
        if (!tevo_node_index_ok(cgraph, node_idxs[i])) {
            return false;
        }

        const struct tevo_tensor * node = cgraph->nodes[node_idxs[i]];

        if (node->op != ops[i]) {
            return false;
        }
        if ((node->flags & TEVO_TENSOR_FLAG_COMPUTE) == 0) {
            return false;
        }

        if (tevo_find_tensor_in_list(cgraph, outputs, num_outputs, node) != -1) {
            continue;
        }

        if (node->flags & TEVO_TENSOR_FLAG_OUTPUT) {
            return false;
        }

        // every reader of an intermediate must be inside the run
        int subgraph_uses = 0;
        for (int j = i + 1; j < count; ++j) {
            if (!tevo_node_index_ok(cgraph, node_idxs[j])) {
                return false;
            }
            const struct tevo_tensor * other = cgraph->nodes[node_idxs[j]];
            for (int s = 0; s < TEVO_MAX_SRC; s++) {
                if (other->src[s] == node) {
                    subgraph_uses++;
                }
            }
        }
        if (subgraph_uses != tevo_node_get_use_count(cgraph, node_idxs[i])) {
            return false;
        }

        // a view's data must come from inside the run or from a weight
        for (const struct tevo_tensor * view_src = node->view_src; view_src != NULL; view_src = view_src->view_src) {
            if (tevo_find_tensor_in_list(cgraph, node_idxs, count, view_src) != -1) {
                continue;
            }
            const bool is_weight = view_src->buffer != NULL &&
                                   tevo_backend_buffer_get_usage(view_src->buffer) == TEVO_BACKEND_BUFFER_USAGE_WEIGHTS &&
                                   !(view_src->flags & TEVO_TENSOR_FLAG_PARAM);
            if (!is_weight) {
                return false;
            }
        }
    }

    return true;
}

// ---------------------------------------------------------------------------
// printing

void tevo_graph_print(const struct tevo_cgraph * cgraph) {
    TEVO_LOG_INFO("=== GRAPH ===\n");

    TEVO_LOG_INFO("n_nodes = %d\n", cgraph->n_nodes);
    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * node = cgraph->nodes[i];
        TEVO_LOG_INFO(" - %3d: [ %5lld, %5lld, %5lld] %16s %s\n", i, (long long) node->ne[0], (long long) node->ne[1],
                      (long long) node->ne[2], tevo_op_name(node->op),
                      (node->flags & TEVO_TENSOR_FLAG_PARAM) ? "x"
                      : tevo_graph_get_grad(cgraph, node)    ? "g"
                                                             : " ");
    }

    TEVO_LOG_INFO("n_leafs = %d\n", cgraph->n_leafs);
    for (int i = 0; i < cgraph->n_leafs; i++) {
        struct tevo_tensor * node = cgraph->leafs[i];
        TEVO_LOG_INFO(" - %3d: [ %5lld, %5lld] %8s %16s\n", i, (long long) node->ne[0], (long long) node->ne[1],
                      tevo_op_name(node->op), tevo_get_name(node));
    }

    TEVO_LOG_INFO("========================================\n");
}

// the node of gb whose gradient is node, or NULL
static struct tevo_tensor * tevo_graph_get_parent(const struct tevo_cgraph * cgraph, const struct tevo_tensor * node) {
    if (cgraph->grads == NULL) {
        return NULL;
    }
    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * parent = cgraph->nodes[i];
        if (tevo_graph_get_grad(cgraph, parent) == node) {
            return parent;
        }
    }
    return NULL;
}

// without a second graph every node counts as found
static bool tevo_graph_find(const struct tevo_cgraph * cgraph, const struct tevo_tensor * node) {
    if (cgraph == NULL) {
        return true;
    }
    for (int i = 0; i < cgraph->n_nodes; i++) {
        if (cgraph->nodes[i] == node) {
            return true;
        }
    }
    return false;
}

static void tevo_graph_dump_dot_name(FILE * fp, const struct tevo_tensor * t) {
    if (strlen(t->name) > 0) {
        fprintf(fp, "%s (%s)|", t->name, tevo_type_name(t->type));
    } else {
        fprintf(fp, "(%s)|", tevo_type_name(t->type));
    }
}

static void tevo_graph_dump_dot_node_edge(FILE * fp, const struct tevo_cgraph * gb, struct tevo_tensor * node,
                                          struct tevo_tensor * parent, const char * label) {
    struct tevo_tensor * gparent  = tevo_graph_get_parent(gb, node);
    struct tevo_tensor * gparent0 = tevo_graph_get_parent(gb, parent);
    fprintf(fp, "  \"%p\" -> \"%p\" [ arrowhead = %s; style = %s; label = \"%s\"; ]\n",
            gparent0 ? (void *) gparent0 : (void *) parent, gparent ? (void *) gparent : (void *) node,
            gparent ? "empty" : "vee", gparent ? "dashed" : "solid", label);
}

static void tevo_graph_dump_dot_leaf_edge(FILE * fp, struct tevo_tensor * node, struct tevo_tensor * parent,
                                          const char * label) {
    fprintf(fp, "  \"%p\" -> \"%p\" [ label = \"%s\"; ]\n", (void *) parent, (void *) node, label);
}

void tevo_graph_dump_dot(const struct tevo_cgraph * gb, const struct tevo_cgraph * gf, const char * filename) {
    char color[16];

    FILE * fp = tevo_fopen(filename, "w");
    TEVO_ASSERT(fp);

    fprintf(fp, "digraph G {\n");
    fprintf(fp, "  newrank = true;\n");
    fprintf(fp, "  rankdir = TB;\n");

    for (int i = 0; i < gb->n_nodes; i++) {
        struct tevo_tensor * node = gb->nodes[i];
        struct tevo_tensor * grad = tevo_graph_get_grad(gb, node);

        if (tevo_graph_get_parent(gb, node) != NULL) {
            continue; // drawn as the <g> field of its owner
        }

        if (node->flags & TEVO_TENSOR_FLAG_PARAM) {
            snprintf(color, sizeof(color), "yellow");
        } else if (grad) {
            snprintf(color, sizeof(color), "%s", tevo_graph_find(gf, node) ? "green" : "lightblue");
        } else {
            snprintf(color, sizeof(color), "white");
        }

        fprintf(fp, "  \"%p\" [ style = filled; fillcolor = %s; shape = record; label=\"", (void *) node, color);
        tevo_graph_dump_dot_name(fp, node);

        if (node->ne[2] == 1 && node->ne[3] == 1) {
            fprintf(fp, "%d [%lld, %lld] | <x>%s", i, (long long) node->ne[0], (long long) node->ne[1],
                    tevo_op_symbol(node->op));
        } else {
            fprintf(fp, "%d [%lld, %lld, %lld] | <x>%s", i, (long long) node->ne[0], (long long) node->ne[1],
                    (long long) node->ne[2], tevo_op_symbol(node->op));
        }

        if (grad) {
            fprintf(fp, " | <g>%s\"; ]\n", tevo_op_symbol(grad->op));
        } else {
            fprintf(fp, "\"; ]\n");
        }
    }

    for (int i = 0; i < gb->n_leafs; i++) {
        struct tevo_tensor * node = gb->leafs[i];

        snprintf(color, sizeof(color), "pink");

        fprintf(fp, "  \"%p\" [ style = filled; fillcolor = %s; shape = record; label=\"<x>", (void *) node, color);
        tevo_graph_dump_dot_name(fp, node);

        fprintf(fp, "CONST %d [%lld, %lld]", i, (long long) node->ne[0], (long long) node->ne[1]);
        const int64_t n = tevo_nelements(node);
        if (n < 5 && node->data != NULL) {
            // the data may live on a device; only its shape is shown
            fprintf(fp, " | (");
            for (int64_t j = 0; j < n; j++) {
                fprintf(fp, "#");
                if (j < n - 1) {
                    fprintf(fp, ", ");
                }
            }
            fprintf(fp, ")");
        }
        fprintf(fp, "\"; ]\n");
    }

    char label[16];
    for (int i = 0; i < gb->n_nodes; i++) {
        struct tevo_tensor * node = gb->nodes[i];
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            if (node->src[j]) {
                snprintf(label, sizeof(label), "src %d", j);
                tevo_graph_dump_dot_node_edge(fp, gb, node, node->src[j], label);
            }
        }
    }

    for (int i = 0; i < gb->n_leafs; i++) {
        struct tevo_tensor * node = gb->leafs[i];
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            if (node->src[j]) {
                snprintf(label, sizeof(label), "src %d", j);
                tevo_graph_dump_dot_leaf_edge(fp, node, node->src[j], label);
            }
        }
    }

    fprintf(fp, "}\n");
    fclose(fp);

    TEVO_LOG_INFO("%s: dot -Tpng %s -o %s.png && open %s.png\n", __func__, filename, filename, filename);
}
