#pragma once

// Stand-ins for a device: a buffer type whose alignment, maximum size and
// host flag the test chooses, recording what is asked of it; and a small
// backend that computes a handful of float operators on such buffers.

#include "backend/impl.h"
#include "core/impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace mock {

// the text of a fatal error as a regular expression matching it literally
inline std::string fatal(const std::string & text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

inline std::string assert_text(const std::string & cond) {
    return fatal("TEVO_ASSERT(" + cond + ") failed");
}

struct options {
    const char * name      = "MOCK";
    size_t       alignment = 32;
    size_t       max_size  = 0; // 0: leave the slot empty
    bool         host      = false;
    size_t       extra     = 0; // >0: get_alloc_size adds this many bytes
    bool         with_2d   = false;
};

struct buft_ctx {
    options opt;

    int                 n_alloc = 0;
    int                 n_free  = 0;
    std::vector<size_t> alloc_sizes;
    bool                fail_alloc = false;

    std::vector<std::pair<size_t, size_t>> sets; // (offset, size) per set_tensor call
    std::vector<std::pair<size_t, size_t>> gets;
    int                                    n_set_2d = 0;
    int                                    n_get_2d = 0;
    int                                    n_clear  = 0;
};

inline buft_ctx * ctx_of(tevo_backend_buffer_type_t buft) {
    return (buft_ctx *) buft->context;
}

inline buft_ctx * ctx_of(tevo_backend_buffer_t buffer) {
    return ctx_of(buffer->buft);
}

inline void buffer_free(tevo_backend_buffer_t buffer) {
    ctx_of(buffer)->n_free++;
    free(buffer->context);
}

inline void * buffer_get_base(tevo_backend_buffer_t buffer) {
    return buffer->context;
}

inline void buffer_memset(tevo_backend_buffer_t, tevo_tensor * t, uint8_t value, size_t offset, size_t size) {
    memset((char *) t->data + offset, value, size);
}

inline void buffer_set(tevo_backend_buffer_t buffer, tevo_tensor * t, const void * data, size_t offset,
                       size_t size) {
    ctx_of(buffer)->sets.push_back({ offset, size });
    memcpy((char *) t->data + offset, data, size);
}

inline void buffer_get(tevo_backend_buffer_t buffer, const tevo_tensor * t, void * data, size_t offset,
                       size_t size) {
    ctx_of(buffer)->gets.push_back({ offset, size });
    memcpy(data, (const char *) t->data + offset, size);
}

inline void buffer_set_2d(tevo_backend_buffer_t buffer, tevo_tensor * t, const void * data, size_t offset,
                          size_t size, size_t n, size_t st, size_t sd) {
    ctx_of(buffer)->n_set_2d++;
    for (size_t i = 0; i < n; i++) {
        memcpy((char *) t->data + offset + i * st, (const char *) data + i * sd, size);
    }
}

inline void buffer_get_2d(tevo_backend_buffer_t buffer, const tevo_tensor * t, void * data, size_t offset,
                          size_t size, size_t n, size_t st, size_t sd) {
    ctx_of(buffer)->n_get_2d++;
    for (size_t i = 0; i < n; i++) {
        memcpy((char *) data + i * sd, (const char *) t->data + offset + i * st, size);
    }
}

inline void buffer_clear(tevo_backend_buffer_t buffer, uint8_t value) {
    ctx_of(buffer)->n_clear++;
    memset(buffer->context, value, buffer->size);
}

inline const char * buft_name(tevo_backend_buffer_type_t buft) {
    return ctx_of(buft)->opt.name;
}

inline tevo_backend_buffer_t buft_alloc(tevo_backend_buffer_type_t buft, size_t size) {
    buft_ctx * c = ctx_of(buft);
    if (c->fail_alloc) {
        return nullptr;
    }
    c->n_alloc++;
    c->alloc_sizes.push_back(size);
    const size_t padded  = (size + 63) / 64 * 64;
    void *       storage = aligned_alloc(64, padded);
    memset(storage, 0, padded);

    tevo_backend_buffer_i iface = {};
    iface.free_buffer   = buffer_free;
    iface.get_base      = buffer_get_base;
    iface.memset_tensor = buffer_memset;
    iface.set_tensor    = buffer_set;
    iface.get_tensor    = buffer_get;
    iface.clear         = buffer_clear;
    if (c->opt.with_2d) {
        iface.set_tensor_2d = buffer_set_2d;
        iface.get_tensor_2d = buffer_get_2d;
    }
    return tevo_backend_buffer_init(buft, iface, storage, size);
}

inline size_t buft_alignment(tevo_backend_buffer_type_t buft) {
    return ctx_of(buft)->opt.alignment;
}

inline size_t buft_max_size(tevo_backend_buffer_type_t buft) {
    return ctx_of(buft)->opt.max_size;
}

inline size_t buft_alloc_size(tevo_backend_buffer_type_t buft, const tevo_tensor * t) {
    return tevo_nbytes(t) + ctx_of(buft)->opt.extra;
}

inline bool buft_is_host(tevo_backend_buffer_type_t) {
    return true;
}

struct BufferType {
    buft_ctx                 ctx;
    tevo_backend_buffer_type buft = {};

    explicit BufferType(options opt = {}) {
        ctx.opt                    = opt;
        buft.iface.get_name        = buft_name;
        buft.iface.alloc_buffer    = buft_alloc;
        buft.iface.get_alignment   = buft_alignment;
        buft.iface.get_max_size    = opt.max_size ? buft_max_size : nullptr;
        buft.iface.get_alloc_size  = opt.extra ? buft_alloc_size : nullptr;
        buft.iface.is_host         = opt.host ? buft_is_host : nullptr;
        buft.context               = &ctx;
    }

    BufferType(const BufferType &)             = delete;
    BufferType & operator=(const BufferType &) = delete;

    tevo_backend_buffer_type_t get() { return &buft; }
};

// ---------------------------------------------------------------------------
// a backend computing ADD, MUL, SQR and SQRT of contiguous F32 tensors

struct backend_ctx {
    tevo_backend_buffer_type_t buft;
    float                      sqr_bias       = 0.0f; // added to SQR results, to provoke mismatches
    int                        n_sync         = 0;
    int                        n_compute      = 0;
    int                        n_cpy_async    = 0;
    bool                       cpy_async_done = false;
};

inline backend_ctx * bctx(tevo_backend_t backend) {
    return (backend_ctx *) backend->context;
}

inline const char * backend_name(tevo_backend_t) {
    return "TEST";
}

inline void backend_free(tevo_backend_t) {}

inline void backend_sync(tevo_backend_t backend) {
    bctx(backend)->n_sync++;
}

inline bool backend_cpy_async(tevo_backend_t, tevo_backend_t backend_dst, const tevo_tensor *, tevo_tensor *) {
    bctx(backend_dst)->n_cpy_async++;
    return bctx(backend_dst)->cpy_async_done;
}

inline tevo_status backend_compute(tevo_backend_t backend, tevo_cgraph * graph) {
    backend_ctx * c = bctx(backend);
    c->n_compute++;
    for (int i = 0; i < graph->n_nodes; i++) {
        tevo_tensor * t = graph->nodes[i];
        const int64_t n = tevo_nelements(t);
        float *       d = (float *) t->data;
        const float * a = t->src[0] ? (const float *) t->src[0]->data : nullptr;
        const float * b = t->src[1] ? (const float *) t->src[1]->data : nullptr;
        switch (t->op) {
            case TEVO_OP_NONE:
            case TEVO_OP_RESHAPE:
            case TEVO_OP_VIEW:
            case TEVO_OP_PERMUTE:
            case TEVO_OP_TRANSPOSE:
                break;
            case TEVO_OP_ADD:
                for (int64_t k = 0; k < n; k++) {
                    d[k] = a[k] + b[k];
                }
                break;
            case TEVO_OP_MUL:
                for (int64_t k = 0; k < n; k++) {
                    d[k] = a[k] * b[k];
                }
                break;
            case TEVO_OP_SQR:
                for (int64_t k = 0; k < n; k++) {
                    d[k] = a[k] * a[k] + c->sqr_bias;
                }
                break;
            case TEVO_OP_SQRT:
                for (int64_t k = 0; k < n; k++) {
                    d[k] = std::sqrt(a[k]);
                }
                break;
            default:
                return TEVO_STATUS_FAILED;
        }
    }
    return TEVO_STATUS_SUCCESS;
}

inline const char * dev_name(tevo_backend_dev_t) {
    return "TESTDEV";
}

inline tevo_backend_buffer_type_t dev_buft(tevo_backend_dev_t dev) {
    return (tevo_backend_buffer_type_t) dev->context;
}

inline bool dev_supports_op(tevo_backend_dev_t, const tevo_tensor *) {
    return true;
}

struct Backend {
    backend_ctx         ctx;
    tevo_backend_device dev     = {};
    tevo_backend        backend = {};

    explicit Backend(tevo_backend_buffer_type_t buft, bool with_cpy_async = false) {
        ctx.buft                        = buft;
        dev.iface.get_name              = dev_name;
        dev.iface.get_buffer_type       = dev_buft;
        dev.iface.supports_op           = dev_supports_op;
        dev.context                     = buft;
        backend.iface.get_name          = backend_name;
        backend.iface.free              = backend_free;
        backend.iface.synchronize       = backend_sync;
        backend.iface.graph_compute     = backend_compute;
        backend.iface.cpy_tensor_async  = with_cpy_async ? backend_cpy_async : nullptr;
        backend.device                  = &dev;
        backend.context                 = &ctx;
    }

    Backend(const Backend &)             = delete;
    Backend & operator=(const Backend &) = delete;

    tevo_backend_t get() { return &backend; }
};

// a no-allocation context for n tensors and one graph
inline tevo_context * new_meta_ctx(size_t n_tensors = 64) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_init_params params = { n_tensors * tevo_tensor_overhead() + tevo_graph_overhead(), nullptr, true };
    return tevo_init(params);
}

} // namespace mock
