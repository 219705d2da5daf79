#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// The meta buffer type: the default buffer type of a meta device, over each
// simple device's default type. A meta buffer of n bytes is n bytes on every
// device, since a sub-tensor sits at its meta tensor's offset and is never
// larger than it. Weights placed in bulk get storage sized for their own
// shares instead.

#include "meta/impl.h"

#include <stdint.h>

static meta_buffer_type_context * meta_buft_ctx(tevo_backend_buffer_type_t buft) {
    return (meta_buffer_type_context *) buft->context;
}

meta_buffer_type_context * meta_buffer_type_context_new(const std::vector<tevo_backend_buffer_type_t> & bufts) {
    meta_buffer_type_context * ctx = new meta_buffer_type_context;
    ctx->simple_bufts              = bufts;
    ctx->name                      = "Meta(";
    for (size_t i = 0; i < bufts.size(); i++) {
        if (i > 0) {
            ctx->name += ",";
        }
        ctx->name += tevo_backend_buft_name(bufts[i]);
    }
    ctx->name += ")";
    return ctx;
}

static const char * meta_buffer_type_get_name(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(buft));
    return meta_buft_ctx(buft)->name.c_str();
}

bool tevo_backend_buft_is_meta(tevo_backend_buffer_type_t buft) {
    return buft != NULL && buft->iface.get_name == meta_buffer_type_get_name;
}

static tevo_backend_buffer_t meta_buffer_type_alloc_buffer(tevo_backend_buffer_type_t meta_buft, size_t size) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    const std::vector<tevo_backend_buffer_type_t> & simple_bufts = meta_buft_ctx(meta_buft)->simple_bufts;

    meta_buffer_context * ctx = meta_buffer_context_new(simple_bufts.size(), 256, 1024);
    size_t                max_size = 0;
    for (size_t i = 0; i < simple_bufts.size(); i++) {
        ctx->bufs[i] = tevo_backend_buft_alloc_buffer(simple_bufts[i], size);
        if (ctx->bufs[i] == nullptr) {
            // the caller learns of the failure as from any other buffer type
            TEVO_LOG_ERROR("%s: failed to allocate %s buffer of size %zu\n", "meta_buffer_type_alloc_buffer",
                           tevo_backend_buft_name(simple_bufts[i]), size);
            meta_buffer_context_free(ctx);
            return nullptr;
        }
        max_size = TEVO_MAX(max_size, tevo_backend_buffer_get_size(ctx->bufs[i]));
    }
    return tevo_backend_buffer_init(meta_buft, meta_buffer_iface(), ctx, max_size);
}

static void meta_unplace(struct tevo_tensor ** tensors, int n_tensors) {
    for (int i = 0; i < n_tensors; i++) {
        tensors[i]->buffer = NULL;
        tensors[i]->data   = NULL;
    }
}

static tevo_backend_buffer_t meta_buffer_type_alloc_buffer_n(tevo_backend_buffer_type_t meta_buft,
                                                             struct tevo_tensor ** tensors, int n_tensors) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    const std::vector<tevo_backend_buffer_type_t> & simple_bufts = meta_buft_ctx(meta_buft)->simple_bufts;
    const size_t                                    n_bufs       = simple_bufts.size();

    meta_buffer_context * meta_buf_ctx =
        meta_buffer_context_new(n_bufs, (size_t) TEVO_MAX(n_tensors, 1), 16 * (size_t) TEVO_MAX(n_tensors, 1));
    tevo_backend_buffer_t meta_buf = tevo_backend_buffer_init(meta_buft, meta_buffer_iface(), meta_buf_ctx, 0);

    for (int i = 0; i < n_tensors; i++) {
        struct tevo_tensor * t = tensors[i];
        t->buffer              = meta_buf;
        meta_create_sub_tensors(t, meta_buf_ctx->persistent);
        t->data = (void *) TEVO_META_BULK_DATA;
    }

    for (size_t i = 0; i < n_bufs; i++) {
        std::vector<struct tevo_context *> & chain = meta_buf_ctx->persistent.ctxs[i];
        TEVO_ASSERT(chain.size() <= 1);
        struct tevo_context * ctx = chain.empty() ? nullptr : chain[0];

        bool has_elements = false;
        for (struct tevo_tensor * t = ctx ? tevo_get_first_tensor(ctx) : NULL; t != NULL;
             t                      = tevo_get_next_tensor(ctx, t)) {
            has_elements = has_elements || tevo_nelements(t) > 0;
        }

        tevo_backend_buffer_t buf = nullptr;
        if (has_elements) {
            buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, simple_bufts[i]);
        } else {
            buf = tevo_backend_buft_alloc_buffer(simple_bufts[i], 0);
            for (struct tevo_tensor * t = ctx ? tevo_get_first_tensor(ctx) : NULL; t != NULL;
                 t                      = tevo_get_next_tensor(ctx, t)) {
                t->buffer = buf;
            }
        }
        tevo_backend_buffer_free(meta_buf_ctx->bufs[i]);
        meta_buf_ctx->bufs[i] = buf;
        if (meta_buf_ctx->bufs[i] == nullptr) {
            TEVO_LOG_ERROR("%s: failed to allocate %s buffer for %d tensors\n", "meta_buffer_type_alloc_buffer_n",
                           tevo_backend_buft_name(simple_bufts[i]), n_tensors);
            meta_unplace(tensors, n_tensors);
            tevo_backend_buffer_free(meta_buf);
            return nullptr;
        }
        meta_buf->size = TEVO_MAX(meta_buf->size, tevo_backend_buffer_get_size(meta_buf_ctx->bufs[i]));
    }
    return meta_buf;
}

// an address aligned for the meta buffer must be aligned for every device
static size_t meta_buffer_type_get_alignment(tevo_backend_buffer_type_t meta_buft) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    size_t max_alignment = 1;
    for (tevo_backend_buffer_type_t buft : meta_buft_ctx(meta_buft)->simple_bufts) {
        max_alignment = TEVO_MAX(max_alignment, tevo_backend_buft_get_alignment(buft));
    }
    for (tevo_backend_buffer_type_t buft : meta_buft_ctx(meta_buft)->simple_bufts) {
        const size_t alignment = tevo_backend_buft_get_alignment(buft);
        TEVO_ASSERT(max_alignment % alignment == 0);
    }
    return max_alignment;
}

static size_t meta_buffer_type_get_max_size(tevo_backend_buffer_type_t meta_buft) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    size_t max_size = SIZE_MAX;
    for (tevo_backend_buffer_type_t buft : meta_buft_ctx(meta_buft)->simple_bufts) {
        max_size = TEVO_MIN(max_size, tevo_backend_buft_get_max_size(buft));
    }
    return max_size;
}

static size_t meta_buffer_type_get_alloc_size(tevo_backend_buffer_type_t meta_buft,
                                              const struct tevo_tensor * tensor) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    size_t size = 0;
    for (tevo_backend_buffer_type_t buft : meta_buft_ctx(meta_buft)->simple_bufts) {
        size = TEVO_MAX(size, tevo_backend_buft_get_alloc_size(buft, tensor));
    }
    return size;
}

// Meta tensors carry stand-in addresses that nobody may read or write
// directly, whatever memory the devices have.
static bool meta_buffer_type_is_host(tevo_backend_buffer_type_t meta_buft) {
    TEVO_ASSERT(tevo_backend_buft_is_meta(meta_buft));
    return false;
}

const struct tevo_backend_buffer_type_i & meta_buffer_type_iface(void) {
    static const struct tevo_backend_buffer_type_i iface = {
        /* .get_name         = */ meta_buffer_type_get_name,
        /* .alloc_buffer     = */ meta_buffer_type_alloc_buffer,
        /* .alloc_buffer_n   = */ meta_buffer_type_alloc_buffer_n,
        /* .get_alignment    = */ meta_buffer_type_get_alignment,
        /* .get_max_size     = */ meta_buffer_type_get_max_size,
        /* .get_alloc_size   = */ meta_buffer_type_get_alloc_size,
        /* .get_alloc_size_n = */ NULL,
        /* .is_host          = */ meta_buffer_type_is_host,
    };
    return iface;
}
