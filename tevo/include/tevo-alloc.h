#pragma once

// Placing tensors in backend buffers: the linear allocator over one buffer,
// the graph allocator that plans and places every tensor of a graph, and the
// placement of all tensors of a no-allocation context.

#include "tevo.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tevo_backend_buffer_type * tevo_backend_buffer_type_t;
typedef struct tevo_backend_buffer *      tevo_backend_buffer_t;
typedef struct tevo_backend *             tevo_backend_t;

// linear allocator: tensors go one after the other into an existing buffer
struct tevo_tallocr {
    tevo_backend_buffer_t buffer;
    void *                base;
    size_t                alignment;
    size_t                offset;
};

TEVO_API struct tevo_tallocr tevo_tallocr_new(tevo_backend_buffer_t buffer);
TEVO_API enum tevo_status    tevo_tallocr_alloc(struct tevo_tallocr * talloc, struct tevo_tensor * tensor);

// graph allocator: one set of compute buffers per buffer type slot
typedef struct tevo_gallocr * tevo_gallocr_t;

TEVO_API tevo_gallocr_t tevo_gallocr_new(tevo_backend_buffer_type_t buft);
TEVO_API tevo_gallocr_t tevo_gallocr_new_n(tevo_backend_buffer_type_t * bufts, int n_bufs);
TEVO_API void           tevo_gallocr_free(tevo_gallocr_t galloc);

// Plans the graph and allocates (or grows) the buffers. The id arrays give
// each node's and each leaf's buffer slot; NULL puts everything in slot 0.
TEVO_API bool tevo_gallocr_reserve(tevo_gallocr_t galloc, struct tevo_cgraph * graph);
TEVO_API bool tevo_gallocr_reserve_n(tevo_gallocr_t galloc, struct tevo_cgraph * graph, const int * node_buffer_ids,
                                     const int * leaf_buffer_ids);
// plans without allocating; sizes receives the bytes each slot would need
TEVO_API void tevo_gallocr_reserve_n_size(tevo_gallocr_t galloc, struct tevo_cgraph * graph,
                                          const int * node_buffer_ids, const int * leaf_buffer_ids, size_t * sizes);

// Places every tensor of the graph by the current plan. With one slot a graph
// that no longer fits is planned again; with several, false asks the caller
// to reserve again.
TEVO_API bool tevo_gallocr_alloc_graph(tevo_gallocr_t galloc, struct tevo_cgraph * graph);

TEVO_API size_t tevo_gallocr_get_buffer_size(tevo_gallocr_t galloc, int buffer_id);

// whether an operator may write its result over its first matching source;
// a few may do so only over some of their sources
TEVO_API bool tevo_op_can_inplace(enum tevo_op op);

// all tensors of a no-allocation context in one buffer (NULL without tensors)
TEVO_API size_t tevo_backend_alloc_ctx_tensors_from_buft_size(struct tevo_context * ctx,
                                                              tevo_backend_buffer_type_t buft);
TEVO_API tevo_backend_buffer_t tevo_backend_alloc_ctx_tensors_from_buft(struct tevo_context * ctx,
                                                                        tevo_backend_buffer_type_t buft);
TEVO_API tevo_backend_buffer_t tevo_backend_alloc_ctx_tensors(struct tevo_context * ctx, tevo_backend_t backend);

#ifdef __cplusplus
}
#endif
