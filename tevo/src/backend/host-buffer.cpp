#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// Host memory: the "CPU" and "CPU_Mapped" buffer types, the multi-buffer that
// joins several buffers into one, and the process-wide critical section.

#include "backend/impl.h"
#include "core/impl.h"

#include <mutex>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// CPU buffers: the context is the storage address

static void * cpu_buffer_get_base(tevo_backend_buffer_t buffer) {
    uintptr_t data = (uintptr_t) buffer->context;
    // page-aligned storage is already aligned; round up for anything else
    if (data % TENSOR_ALIGNMENT != 0) {
        data = data + TENSOR_ALIGNMENT - data % TENSOR_ALIGNMENT;
    }
    return (void *) data;
}

static void cpu_buffer_free_buffer(tevo_backend_buffer_t buffer) {
    tevo_aligned_free(buffer->context, buffer->size);
}

static void cpu_buffer_memset_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, uint8_t value,
                                     size_t offset, size_t size) {
    TEVO_ASSERT(tensor);
    memset((char *) tensor->data + offset, value, size);
}

static void cpu_buffer_set_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                                  size_t offset, size_t size) {
    TEVO_ASSERT(tensor);
    memcpy((char *) tensor->data + offset, data, size);
}

static void cpu_buffer_get_tensor(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                                  size_t offset, size_t size) {
    TEVO_ASSERT(tensor);
    memcpy(data, (const char *) tensor->data + offset, size);
}

static bool cpu_buffer_cpy_tensor(tevo_backend_buffer_t buffer, const struct tevo_tensor * src,
                                  struct tevo_tensor * dst) {
    TEVO_ASSERT(src);
    if (tevo_backend_buffer_is_host(src->buffer)) {
        memcpy(dst->data, src->data, tevo_nbytes(src));
        return true;
    }
    return false;
}

static void cpu_buffer_clear(tevo_backend_buffer_t buffer, uint8_t value) {
    memset(buffer->context, value, buffer->size);
}

static const struct tevo_backend_buffer_i tevo_backend_cpu_buffer_i = {
    /* .free_buffer   = */ cpu_buffer_free_buffer,
    /* .get_base      = */ cpu_buffer_get_base,
    /* .init_tensor   = */ NULL,
    /* .memset_tensor = */ cpu_buffer_memset_tensor,
    /* .set_tensor    = */ cpu_buffer_set_tensor,
    /* .get_tensor    = */ cpu_buffer_get_tensor,
    /* .set_tensor_2d = */ NULL,
    /* .get_tensor_2d = */ NULL,
    /* .cpy_tensor    = */ cpu_buffer_cpy_tensor,
    /* .clear         = */ cpu_buffer_clear,
    /* .reset         = */ NULL,
};

// the caller owns the memory of a mapped buffer, so nothing is freed
static const struct tevo_backend_buffer_i tevo_backend_cpu_buffer_from_ptr_i = {
    /* .free_buffer   = */ NULL,
    /* .get_base      = */ cpu_buffer_get_base,
    /* .init_tensor   = */ NULL,
    /* .memset_tensor = */ cpu_buffer_memset_tensor,
    /* .set_tensor    = */ cpu_buffer_set_tensor,
    /* .get_tensor    = */ cpu_buffer_get_tensor,
    /* .set_tensor_2d = */ NULL,
    /* .get_tensor_2d = */ NULL,
    /* .cpy_tensor    = */ cpu_buffer_cpy_tensor,
    /* .clear         = */ cpu_buffer_clear,
    /* .reset         = */ NULL,
};

// ---------------------------------------------------------------------------
// CPU buffer types

static const char * cpu_buffer_type_get_name(tevo_backend_buffer_type_t buft) {
    return "CPU";
}

static const char * cpu_buffer_from_ptr_type_get_name(tevo_backend_buffer_type_t buft) {
    return "CPU_Mapped";
}

static tevo_backend_buffer_t cpu_buffer_type_alloc_buffer(tevo_backend_buffer_type_t buft, size_t size) {
    void * data = tevo_aligned_malloc(size);
    if (data == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate buffer of size %zu\n", "tevo_backend_cpu_buffer_type_alloc_buffer",
                       size);
        return NULL;
    }
    return tevo_backend_buffer_init(buft, tevo_backend_cpu_buffer_i, data, size);
}

static size_t cpu_buffer_type_get_alignment(tevo_backend_buffer_type_t buft) {
    return TENSOR_ALIGNMENT;
}

static bool cpu_buffer_type_is_host(tevo_backend_buffer_type_t buft) {
    return true;
}

tevo_backend_buffer_type_t tevo_backend_cpu_buffer_type(void) {
    static struct tevo_backend_buffer_type tevo_backend_cpu_buffer_type = {
        /* .iface = */ {
            /* .get_name         = */ cpu_buffer_type_get_name,
            /* .alloc_buffer     = */ cpu_buffer_type_alloc_buffer,
            /* .alloc_buffer_n   = */ NULL,
            /* .get_alignment    = */ cpu_buffer_type_get_alignment,
            /* .get_max_size     = */ NULL,
            /* .get_alloc_size   = */ NULL,
            /* .get_alloc_size_n = */ NULL,
            /* .is_host          = */ cpu_buffer_type_is_host,
        },
        /* .device  = */ NULL,
        /* .context = */ NULL,
    };
    return &tevo_backend_cpu_buffer_type;
}

static tevo_backend_buffer_type_t tevo_backend_cpu_buffer_from_ptr_type(void) {
    static struct tevo_backend_buffer_type tevo_backend_cpu_buffer_type = {
        /* .iface = */ {
            /* .get_name         = */ cpu_buffer_from_ptr_type_get_name,
            /* .alloc_buffer     = */ cpu_buffer_type_alloc_buffer,
            /* .alloc_buffer_n   = */ NULL,
            /* .get_alignment    = */ cpu_buffer_type_get_alignment,
            /* .get_max_size     = */ NULL,
            /* .get_alloc_size   = */ NULL,
            /* .get_alloc_size_n = */ NULL,
            /* .is_host          = */ cpu_buffer_type_is_host,
        },
        /* .device  = */ NULL,
        /* .context = */ NULL,
    };
    return &tevo_backend_cpu_buffer_type;
}

tevo_backend_buffer_t tevo_backend_cpu_buffer_from_ptr(void * ptr, size_t size) {
    TEVO_ASSERT((uintptr_t)ptr % TENSOR_ALIGNMENT == 0 && "buffer pointer must be aligned");
    return tevo_backend_buffer_init(tevo_backend_cpu_buffer_from_ptr_type(), tevo_backend_cpu_buffer_from_ptr_i, ptr,
                                    size);
}

// ---------------------------------------------------------------------------
// multi-buffer: owns its parts; tensors inside it belong to the parts, so it
// has no base address and no transfer slots of its own

struct tevo_backend_multi_buffer_context {
    tevo_backend_buffer_t * buffers;
    size_t                  n_buffers;
};

static void multi_buffer_free_buffer(tevo_backend_buffer_t buffer) {
    struct tevo_backend_multi_buffer_context * ctx = (struct tevo_backend_multi_buffer_context *) buffer->context;
    for (size_t i = 0; i < ctx->n_buffers; i++) {
        tevo_backend_buffer_free(ctx->buffers[i]);
    }
    free(ctx->buffers);
    free(ctx);
}

static void multi_buffer_clear(tevo_backend_buffer_t buffer, uint8_t value) {
    struct tevo_backend_multi_buffer_context * ctx = (struct tevo_backend_multi_buffer_context *) buffer->context;
    for (size_t i = 0; i < ctx->n_buffers; i++) {
        if (ctx->buffers[i]->size > 0) {
            tevo_backend_buffer_clear(ctx->buffers[i], value);
        }
    }
}

static const struct tevo_backend_buffer_i tevo_backend_multi_buffer_i = {
    /* .free_buffer   = */ multi_buffer_free_buffer,
    /* .get_base      = */ NULL,
    /* .init_tensor   = */ NULL,
    /* .memset_tensor = */ NULL,
    /* .set_tensor    = */ NULL,
    /* .get_tensor    = */ NULL,
    /* .set_tensor_2d = */ NULL,
    /* .get_tensor_2d = */ NULL,
    /* .cpy_tensor    = */ NULL,
    /* .clear         = */ multi_buffer_clear,
    /* .reset         = */ NULL,
};

tevo_backend_buffer_t tevo_backend_multi_buffer_alloc_buffer(tevo_backend_buffer_t * buffers, size_t n_buffers) {
    TEVO_ASSERT(n_buffers > 0);
    struct tevo_backend_multi_buffer_context * ctx =
        (struct tevo_backend_multi_buffer_context *) malloc(sizeof(struct tevo_backend_multi_buffer_context));
    TEVO_ASSERT(ctx != NULL);
    ctx->n_buffers = n_buffers;
    ctx->buffers   = (tevo_backend_buffer_t *) malloc(n_buffers * sizeof(tevo_backend_buffer_t));
    TEVO_ASSERT(ctx->buffers != NULL);

    size_t total_size = 0;
    for (size_t i = 0; i < n_buffers; i++) {
        tevo_backend_buffer_t buffer = buffers[i];
        TEVO_ASSERT(buffer);
        ctx->buffers[i] = buffer;
        total_size += buffer->size;
    }

    return tevo_backend_buffer_init(buffers[0]->buft, tevo_backend_multi_buffer_i, ctx, total_size);
}

bool tevo_backend_buffer_is_multi_buffer(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return buffer->iface.free_buffer == multi_buffer_free_buffer;
}

void tevo_backend_multi_buffer_set_usage(tevo_backend_buffer_t buffer, enum tevo_backend_buffer_usage usage) {
    TEVO_ASSERT(tevo_backend_buffer_is_multi_buffer(buffer));
    struct tevo_backend_multi_buffer_context * ctx = (struct tevo_backend_multi_buffer_context *) buffer->context;
    for (size_t i = 0; i < ctx->n_buffers; i++) {
        tevo_backend_buffer_set_usage(ctx->buffers[i], usage);
    }
}

// ---------------------------------------------------------------------------
// critical section: serialises one-time set-ups across threads (not re-entrant)

static std::mutex tevo_critical_section_mutex;

void tevo_critical_section_start(void) {
    tevo_critical_section_mutex.lock();
}

void tevo_critical_section_end(void) {
    tevo_critical_section_mutex.unlock();
}
