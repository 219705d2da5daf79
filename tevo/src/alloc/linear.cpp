#define TEVO_SOURCE_PATH "tevo/src/tevo-alloc"

// The linear allocator over one buffer, and the placement of all tensors of a
// no-allocation context in one buffer.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdint.h>
#include <stdlib.h>

// ---------------------------------------------------------------------------
// linear allocator

struct tevo_tallocr tevo_tallocr_new(tevo_backend_buffer_t buffer) {
    void * base  = tevo_backend_buffer_get_base(buffer);
    size_t align = tevo_backend_buffer_get_alignment(buffer);

    // the first tensor starts aligned even when the base is not
    struct tevo_tallocr talloc = {
        /* .buffer    = */ buffer,
        /* .base      = */ base,
        /* .alignment = */ align,
        /* .offset    = */ (align - (uintptr_t) base % align) % align,
    };
    return talloc;
}

enum tevo_status tevo_tallocr_alloc(struct tevo_tallocr * talloc, struct tevo_tensor * tensor) {
    size_t size = tevo_backend_buffer_get_alloc_size(talloc->buffer, tensor);
    size        = (size + talloc->alignment - 1) / talloc->alignment * talloc->alignment;

    const size_t buffer_size = tevo_backend_buffer_get_size(talloc->buffer);
    if (talloc->offset + size > buffer_size) {
        TEVO_LOG_ERROR("%s: not enough space in the buffer to allocate %s (needed %zu, available %zu)\n",
                       "tevo_tallocr_alloc", tensor->name, size, buffer_size - talloc->offset);
        TEVO_ABORT("not enough space in the buffer");
    }

    void * addr = (char *) talloc->base + talloc->offset;
    talloc->offset += size;

    return tevo_backend_tensor_alloc(talloc->buffer, tensor, addr);
}

// ---------------------------------------------------------------------------
// all tensors of a context

// the context's tensors in creation order; false when the list cannot be had
static bool ctx_tensors_collect(struct tevo_context * ctx, struct tevo_tensor *** tensors, int * n_tensors) {
    TEVO_ASSERT(tevo_get_no_alloc(ctx) == true);

    int n = 0;
    for (struct tevo_tensor * t = tevo_get_first_tensor(ctx); t != NULL; t = tevo_get_next_tensor(ctx, t)) {
        n++;
    }
    *tensors   = NULL;
    *n_tensors = n;
    if (n == 0) {
        return true;
    }

    struct tevo_tensor ** list = (struct tevo_tensor **) malloc(n * sizeof(struct tevo_tensor *));
    if (list == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate %zu bytes\n", "tevo_backend_alloc_ctx_tensors_from_buft_collect",
                       n * sizeof(struct tevo_tensor *));
        return false;
    }
    int i = 0;
    for (struct tevo_tensor * t = tevo_get_first_tensor(ctx); t != NULL; t = tevo_get_next_tensor(ctx, t)) {
        list[i++] = t;
    }
    *tensors = list;
    return true;
}

size_t tevo_backend_alloc_ctx_tensors_from_buft_size(struct tevo_context * ctx, tevo_backend_buffer_type_t buft) {
    struct tevo_tensor ** tensors   = NULL;
    int                   n_tensors = 0;
    if (!ctx_tensors_collect(ctx, &tensors, &n_tensors) || n_tensors == 0) {
        return 0;
    }
    size_t size = tevo_backend_buft_get_alloc_size_n(buft, tensors, n_tensors);
    free(tensors);
    return size;
}

tevo_backend_buffer_t tevo_backend_alloc_ctx_tensors_from_buft(struct tevo_context * ctx,
                                                               tevo_backend_buffer_type_t buft) {
    struct tevo_tensor ** tensors   = NULL;
    int                   n_tensors = 0;
    if (!ctx_tensors_collect(ctx, &tensors, &n_tensors) || n_tensors == 0) {
        return NULL;
    }
    tevo_backend_buffer_t buffer = tevo_backend_buft_alloc_buffer_n(buft, tensors, n_tensors);
    free(tensors);
    return buffer;
}

tevo_backend_buffer_t tevo_backend_alloc_ctx_tensors(struct tevo_context * ctx, tevo_backend_t backend) {
    return tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_get_default_buffer_type(backend));
}
