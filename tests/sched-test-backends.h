#pragma once

// Two kinds of small backends for the scheduler tests, behind the real
// interface tables: a "host" one whose device counts as a CPU and whose
// buffers are host memory, and "device" ones whose buffers the framework must
// treat as foreign memory and which can refuse operators. Both compute a few
// F32 operators with plain loops, check that every source they read lies in
// memory they can use (so a missing input copy shows up), and count what the
// scheduler asks of them.

#include "backend/impl.h"
#include "core/impl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace schedtest {

struct transfer {
    std::string name;
    size_t      offset;
    size_t      size;
};

struct device;

struct buffer_ctx {
    uint8_t * mem;
    size_t    size;
    device *  dev;
};

// what a test sets up for one backend
struct config {
    std::string         name    = "DEV";
    bool                host    = false; // host memory and a CPU device
    std::set<tevo_op>   refused = {};    // operators supports_op rejects
    bool                events  = false;
    bool                offload = false; // answer of offload_op
    size_t              max_alloc = 0;   // buffers above this many bytes are refused; 0: no limit
    // called from graph_prepare when set
    void (*prepare)(device * dev, struct tevo_cgraph * graph, struct tevo_backend_dep_callback * cb) = nullptr;
    // while set, the buffer type refuses every buffer (a device out of memory)
    bool refuse_buffers = false;
    // when set, supports_op also asks it (e.g. to refuse layouts the loops do not handle)
    bool (*accepts)(const struct tevo_tensor * node) = nullptr;
};

struct device {
    config cfg;

    struct tevo_backend_buffer_type buft;
    struct tevo_backend_device      dev;
    struct tevo_backend             backend;
    tevo_guid                       guid;

    // counters
    int                   n_buffers_alloc = 0;
    int                   n_buffers_refused = 0;
    int                   n_sync          = 0;
    int                   n_event_record  = 0;
    int                   n_event_wait    = 0;
    int                   n_event_sync    = 0;
    int                   n_bad_source    = 0; // sources read from memory this backend cannot use
    std::vector<int>      compute_sizes;       // nodes per graph_compute call
    std::vector<std::string> computed;         // names of computed nodes, in order
    std::vector<transfer> sets;                // set_tensor calls on this backend's buffers

    void * user = nullptr; // for prepare hooks
};

inline device * dev_of(tevo_backend_buffer_type_t buft) {
    return (device *) buft->context;
}

inline device * dev_of(tevo_backend_t backend) {
    return (device *) backend->context;
}

// ---------------------------------------------------------------------------
// buffers

inline void buf_free(tevo_backend_buffer_t buffer) {
    buffer_ctx * ctx = (buffer_ctx *) buffer->context;
    free(ctx->mem);
    delete ctx;
}

inline void * buf_base(tevo_backend_buffer_t buffer) {
    return ((buffer_ctx *) buffer->context)->mem;
}

inline void buf_memset(tevo_backend_buffer_t, struct tevo_tensor * t, uint8_t value, size_t offset, size_t size) {
    memset((char *) t->data + offset, value, size);
}

inline void buf_set(tevo_backend_buffer_t buffer, struct tevo_tensor * t, const void * data, size_t offset,
                    size_t size) {
    buffer_ctx * ctx = (buffer_ctx *) buffer->context;
    ctx->dev->sets.push_back({ t->name, offset, size });
    memcpy((char *) t->data + offset, data, size);
}

inline void buf_get(tevo_backend_buffer_t, const struct tevo_tensor * t, void * data, size_t offset, size_t size) {
    memcpy(data, (const char *) t->data + offset, size);
}

// copies only between buffers of the same kind; everything else goes through the host
inline bool buf_cpy(tevo_backend_buffer_t buffer, const struct tevo_tensor * src, struct tevo_tensor * dst) {
    tevo_backend_buffer_t src_buf = src->view_src ? src->view_src->buffer : src->buffer;
    if (src_buf == NULL || src_buf->buft != buffer->buft) {
        return false;
    }
    memcpy(dst->data, src->data, tevo_nbytes(src));
    return true;
}

inline void buf_clear(tevo_backend_buffer_t buffer, uint8_t value) {
    buffer_ctx * ctx = (buffer_ctx *) buffer->context;
    memset(ctx->mem, value, ctx->size);
}

// ---------------------------------------------------------------------------
// buffer type

inline const char * buft_name(tevo_backend_buffer_type_t buft) {
    return dev_of(buft)->cfg.host ? "HOSTBUF" : "DEVBUF";
}

inline tevo_backend_buffer_t buft_alloc(tevo_backend_buffer_type_t buft, size_t size) {
    device *     d   = dev_of(buft);
    if (d->cfg.refuse_buffers || (d->cfg.max_alloc != 0 && size > d->cfg.max_alloc)) {
        d->n_buffers_refused++;
        return NULL;
    }
    buffer_ctx * ctx = new buffer_ctx();
    ctx->size        = size;
    ctx->mem         = (uint8_t *) aligned_alloc(64, TEVO_PAD(size, 64));
    ctx->dev         = d;
    memset(ctx->mem, 0, size);
    d->n_buffers_alloc++;
    struct tevo_backend_buffer_i iface = {};
    iface.free_buffer   = buf_free;
    iface.get_base      = buf_base;
    iface.memset_tensor = buf_memset;
    iface.set_tensor    = buf_set;
    iface.get_tensor    = buf_get;
    iface.cpy_tensor    = buf_cpy;
    iface.clear         = buf_clear;
    return tevo_backend_buffer_init(buft, iface, ctx, size);
}

inline size_t buft_alignment(tevo_backend_buffer_type_t) {
    return 32;
}

inline bool buft_is_host(tevo_backend_buffer_type_t buft) {
    return dev_of(buft)->cfg.host;
}

// ---------------------------------------------------------------------------
// reference kernels (contiguous F32, I32 expert ids)

inline float * f32(const struct tevo_tensor * t) {
    return (float *) t->data;
}

inline void compute_node(struct tevo_tensor * node) {
    struct tevo_tensor * a = node->src[0];
    struct tevo_tensor * b = node->src[1];
    const int64_t        n = tevo_nelements(node);
    switch (node->op) {
        case TEVO_OP_ADD:
        case TEVO_OP_MUL: {
            const int64_t nb = tevo_nelements(b);
            for (int64_t i = 0; i < n; i++) {
                const float x = f32(a)[i];
                const float y = f32(b)[i % nb];
                f32(node)[i]  = node->op == TEVO_OP_ADD ? x + y : x * y;
            }
            break;
        }
        case TEVO_OP_SCALE: {
            const float s = tevo_get_op_params_f32(node, 0);
            const float c = tevo_get_op_params_f32(node, 1);
            for (int64_t i = 0; i < n; i++) {
                f32(node)[i] = s * f32(a)[i] + c;
            }
            break;
        }
        case TEVO_OP_CPY:
            memmove(node->data, a->data, tevo_nbytes(a));
            break;
        case TEVO_OP_MUL_MAT_ID: {
            // out[i, e, t] = sum_k as[k, i, ids[e, t]] * b[k, e % ne11, t]
            const struct tevo_tensor * ids = node->src[2];
            for (int64_t t = 0; t < node->ne[2]; t++) {
                for (int64_t e = 0; e < node->ne[1]; e++) {
                    const int32_t expert = *(const int32_t *) ((const char *) ids->data + t * ids->nb[1] + e * ids->nb[0]);
                    for (int64_t i = 0; i < node->ne[0]; i++) {
                        float sum = 0.0f;
                        for (int64_t k = 0; k < a->ne[0]; k++) {
                            const float x = *(const float *) ((const char *) a->data + expert * a->nb[2] + i * a->nb[1] +
                                                              k * a->nb[0]);
                            const float y = *(const float *) ((const char *) b->data + t * b->nb[2] +
                                                              (e % b->ne[1]) * b->nb[1] + k * b->nb[0]);
                            sum += x * y;
                        }
                        *(float *) ((char *) node->data + t * node->nb[2] + e * node->nb[1] + i * node->nb[0]) = sum;
                    }
                }
            }
            break;
        }
        default:
            break;
    }
}

inline bool is_view_op(tevo_op op) {
    return op == TEVO_OP_NONE || op == TEVO_OP_VIEW || op == TEVO_OP_RESHAPE || op == TEVO_OP_PERMUTE ||
           op == TEVO_OP_TRANSPOSE;
}

// ---------------------------------------------------------------------------
// backend

inline const char * backend_name(tevo_backend_t backend) {
    return dev_of(backend)->cfg.name.c_str();
}

inline void backend_free(tevo_backend_t) {}

inline void backend_sync(tevo_backend_t backend) {
    dev_of(backend)->n_sync++;
}

inline bool readable(device * d, const struct tevo_tensor * t) {
    tevo_backend_buffer_t buf = t->view_src ? t->view_src->buffer : t->buffer;
    if (buf == NULL) {
        return false;
    }
    if (buf->buft == &d->buft) {
        return true;
    }
    return d->cfg.host && tevo_backend_buft_is_host(buf->buft);
}

inline enum tevo_status backend_compute(tevo_backend_t backend, struct tevo_cgraph * graph) {
    device * d = dev_of(backend);
    d->compute_sizes.push_back(graph->n_nodes);
    for (int i = 0; i < graph->n_nodes; i++) {
        struct tevo_tensor * node = graph->nodes[i];
        if (is_view_op(node->op)) {
            continue;
        }
        bool ok = readable(d, node);
        for (int j = 0; j < TEVO_MAX_SRC; j++) {
            if (node->src[j] != NULL && !readable(d, node->src[j])) {
                ok = false;
            }
        }
        if (!ok) {
            d->n_bad_source++;
            continue;
        }
        d->computed.push_back(node->name);
        compute_node(node);
    }
    return TEVO_STATUS_SUCCESS;
}

inline void backend_event_record(tevo_backend_t backend, tevo_backend_event_t) {
    dev_of(backend)->n_event_record++;
}

inline void backend_event_wait(tevo_backend_t backend, tevo_backend_event_t) {
    dev_of(backend)->n_event_wait++;
}

inline void backend_prepare(tevo_backend_t backend, struct tevo_cgraph * graph, struct tevo_backend_dep_callback * cb) {
    device * d = dev_of(backend);
    if (d->cfg.prepare) {
        d->cfg.prepare(d, graph, cb);
    }
}

// ---------------------------------------------------------------------------
// device

inline device * dev_of(tevo_backend_dev_t dev) {
    return (device *) dev->context;
}

inline const char * dev_name(tevo_backend_dev_t dev) {
    return dev_of(dev)->cfg.name.c_str();
}

inline void dev_memory(tevo_backend_dev_t, size_t * mem_free, size_t * mem_total) {
    *mem_free  = 0;
    *mem_total = 0;
}

inline enum tevo_backend_device_type dev_type(tevo_backend_dev_t dev) {
    return dev_of(dev)->cfg.host ? TEVO_BACKEND_DEVICE_TYPE_CPU : TEVO_BACKEND_DEVICE_TYPE_GPU;
}

inline void dev_props(tevo_backend_dev_t dev, struct tevo_backend_dev_props * props) {
    props->name = dev_name(dev);
    props->type = dev_type(dev);
}

inline tevo_backend_buffer_type_t dev_buft(tevo_backend_dev_t dev) {
    return &dev_of(dev)->buft;
}

inline bool dev_supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) {
    const config & cfg = dev_of(dev)->cfg;
    return cfg.refused.count(op->op) == 0 && (cfg.accepts == nullptr || cfg.accepts(op));
}

inline bool dev_supports_buft(tevo_backend_dev_t dev, tevo_backend_buffer_type_t buft) {
    device * d = dev_of(dev);
    return buft == &d->buft || (d->cfg.host && tevo_backend_buft_is_host(buft));
}

inline bool dev_offload_op(tevo_backend_dev_t dev, const struct tevo_tensor *) {
    return dev_of(dev)->cfg.offload;
}

inline tevo_backend_event_t dev_event_new(tevo_backend_dev_t dev) {
    tevo_backend_event_t ev = new tevo_backend_event();
    ev->device              = dev;
    ev->context             = nullptr;
    return ev;
}

inline void dev_event_free(tevo_backend_dev_t, tevo_backend_event_t ev) {
    delete ev;
}

inline void dev_event_sync(tevo_backend_dev_t dev, tevo_backend_event_t) {
    dev_of(dev)->n_event_sync++;
}

inline std::unique_ptr<device> make(const config & cfg) {
    std::unique_ptr<device> d(new device());
    d->cfg = cfg;
    memset(d->guid, cfg.host ? 1 : 2, sizeof(d->guid));

    d->buft.iface               = {};
    d->buft.iface.get_name      = buft_name;
    d->buft.iface.alloc_buffer  = buft_alloc;
    d->buft.iface.get_alignment = buft_alignment;
    d->buft.iface.is_host       = buft_is_host;
    d->buft.device              = &d->dev;
    d->buft.context             = d.get();

    d->dev.iface                 = {};
    d->dev.iface.get_name        = dev_name;
    d->dev.iface.get_description = dev_name;
    d->dev.iface.get_memory      = dev_memory;
    d->dev.iface.get_type        = dev_type;
    d->dev.iface.get_props       = dev_props;
    d->dev.iface.get_buffer_type = dev_buft;
    d->dev.iface.supports_op     = dev_supports_op;
    d->dev.iface.supports_buft   = dev_supports_buft;
    d->dev.iface.offload_op      = dev_offload_op;
    if (cfg.events) {
        d->dev.iface.event_new         = dev_event_new;
        d->dev.iface.event_free        = dev_event_free;
        d->dev.iface.event_synchronize = dev_event_sync;
    }
    d->dev.reg     = nullptr;
    d->dev.context = d.get();

    d->backend.guid                  = &d->guid;
    d->backend.iface                 = {};
    d->backend.iface.get_name        = backend_name;
    d->backend.iface.free            = backend_free;
    d->backend.iface.synchronize     = backend_sync;
    d->backend.iface.graph_compute   = backend_compute;
    d->backend.iface.graph_prepare   = backend_prepare;
    if (cfg.events) {
        d->backend.iface.event_record = backend_event_record;
        d->backend.iface.event_wait   = backend_event_wait;
    }
    d->backend.device  = &d->dev;
    d->backend.context = d.get();
    return d;
}

inline config host_config() {
    config c;
    c.name = "HOST";
    c.host = true;
    return c;
}

} // namespace schedtest
