#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// The meta backend: one simple backend per device of a meta device, made
// and freed together. Transfers scatter and gather like the meta buffer's,
// through the simple backends' queues; graphs are computed in
// graph-compute.cpp.

#include "meta/impl.h"

static tevo_guid meta_guid_bytes = {
    0xf1, 0x0e, 0x34, 0xcf, 0x9c, 0x6f, 0x43, 0xcb, 0x96, 0x92, 0xbe, 0x8e, 0xbb, 0x71, 0x3f, 0xda,
};

static meta_backend_context * meta_backend_ctx(tevo_backend_t backend) {
    return (meta_backend_context *) backend->context;
}

static const char * meta_backend_get_name(tevo_backend_t backend) {
    TEVO_ASSERT(tevo_backend_is_meta(backend));
    return meta_backend_ctx(backend)->name.c_str();
}

bool tevo_backend_is_meta(tevo_backend_t backend) {
    return backend != NULL && backend->iface.get_name == meta_backend_get_name;
}

// where the first device's registry hands out the communication functions
static tevo_backend_reg_t meta_comm_reg(const meta_backend_context * ctx) {
    tevo_backend_dev_t dev = tevo_backend_get_device(ctx->cfgs[0].backend);
    return dev != NULL ? tevo_backend_dev_backend_reg(dev) : NULL;
}

static void meta_backend_context_free(meta_backend_context * ctx) {
    if (ctx->comm_ctx != nullptr) {
        tevo_backend_reg_t       reg       = meta_comm_reg(ctx);
        tevo_backend_comm_free_t comm_free =
            reg != NULL ? (tevo_backend_comm_free_t) tevo_backend_reg_get_proc_address(reg, "tevo_backend_comm_free")
                        : nullptr;
        TEVO_ASSERT(comm_free != nullptr);
        comm_free(ctx->comm_ctx);
    }
    for (meta_backend_config & cfg : ctx->cfgs) {
        tevo_backend_free(cfg.backend);
    }
    ctx->step_graphs.clear();
    ctx->step_tensors.clear();
    tevo_free(ctx->ctx);
    for (meta_backend_config & cfg : ctx->cfgs) {
        for (tevo_backend_buffer_t buf : cfg.reduce_bufs) {
            tevo_backend_buffer_free(buf);
        }
    }
    delete ctx;
}

static void meta_backend_free(tevo_backend_t backend) {
    TEVO_ASSERT(tevo_backend_is_meta(backend));
    meta_backend_context_free(meta_backend_ctx(backend));
    delete backend;
}

static void meta_backend_synchronize(tevo_backend_t backend) {
    TEVO_ASSERT(tevo_backend_is_meta(backend));
    for (meta_backend_config & cfg : meta_backend_ctx(backend)->cfgs) {
        tevo_backend_synchronize(cfg.backend);
    }
}

// ---------------------------------------------------------------------------
// transfers

static void meta_backend_transfer_async(tevo_backend_t backend, struct tevo_tensor * tensor, const void * src,
                                        void * dst, size_t offset, size_t size) {
    TEVO_ASSERT(tevo_backend_is_meta(backend));
    meta_backend_context * ctx = meta_backend_ctx(backend);
    TEVO_ASSERT(offset == 0);
    TEVO_ASSERT(tevo_is_contiguous(tensor));
    const meta_split_state split_state = meta_device_state(tensor);
    TEVO_ASSERT(split_state.n_segments == 1);
    TEVO_ASSERT(split_state.nr[0] == 1);

    const bool set = src != nullptr;
    if (split_state.axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        if (!set) {
            tevo_backend_tensor_get_async(ctx->cfgs[0].backend, meta_simple_tensor(tensor, 0), dst, offset, size);
            return;
        }
        for (size_t j = 0; j < ctx->cfgs.size(); j++) {
            tevo_backend_tensor_set_async(ctx->cfgs[j].backend, meta_simple_tensor(tensor, j), src, offset, size);
        }
        return;
    }
    if (split_state.axis == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
        // dividing or summing needs the values on the host: wait and go
        // through the buffer
        meta_backend_synchronize(backend);
        if (set) {
            tevo_backend_tensor_set(tensor, src, offset, size);
        } else {
            tevo_backend_tensor_get(tensor, dst, offset, size);
        }
        return;
    }
    if (!meta_axis_is_split(split_state.axis)) {
        TEVO_ABORT("fatal error");
    }

    const int    axis            = (int) split_state.axis;
    const size_t chunk_size_full = meta_axis_bytes(tensor, axis);
    TEVO_ASSERT(size % chunk_size_full == 0);
    const size_t n_chunks = size / chunk_size_full;
    size_t       offset_j = 0;
    for (size_t j = 0; j < ctx->cfgs.size(); j++) {
        struct tevo_tensor * sub   = meta_simple_tensor(tensor, j);
        const size_t         chunk = meta_axis_bytes(sub, axis);
        if (chunk == 0) {
            continue;
        }
        if (set) {
            tevo_backend_tensor_set_2d_async(ctx->cfgs[j].backend, sub, (const char *) src + offset_j, 0, chunk,
                                             n_chunks, chunk, chunk_size_full);
        } else {
            tevo_backend_tensor_get_2d_async(ctx->cfgs[j].backend, sub, (char *) dst + offset_j, 0, chunk, n_chunks,
                                             chunk, chunk_size_full);
        }
        offset_j += chunk;
    }
    TEVO_ASSERT(offset_j == chunk_size_full);
}

static void meta_backend_set_tensor_async(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data,
                                          size_t offset, size_t size) {
    meta_backend_transfer_async(backend, tensor, data, nullptr, offset, size);
}

static void meta_backend_get_tensor_async(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data,
                                          size_t offset, size_t size) {
    meta_backend_transfer_async(backend, (struct tevo_tensor *) tensor, nullptr, data, offset, size);
}

static const struct tevo_backend_i meta_backend_iface = {
    /* .get_name            = */ meta_backend_get_name,
    /* .free                = */ meta_backend_free,
    /* .set_tensor_async    = */ meta_backend_set_tensor_async,
    /* .get_tensor_async    = */ meta_backend_get_tensor_async,
    /* .set_tensor_2d_async = */ NULL,
    /* .get_tensor_2d_async = */ NULL,
    /* .cpy_tensor_async    = */ NULL,
    /* .synchronize         = */ meta_backend_synchronize,
    /* .graph_plan_create   = */ NULL,
    /* .graph_plan_free     = */ NULL,
    /* .graph_plan_update   = */ NULL,
    /* .graph_plan_compute  = */ NULL,
    /* .graph_compute       = */ meta_backend_graph_compute,
    /* .event_record        = */ NULL,
    /* .event_wait          = */ NULL,
    /* .graph_prepare       = */ NULL,
};

// ---------------------------------------------------------------------------
// creation

// rounds of the exchange: log2 of the device count, rounded up
static int meta_reduce_steps(size_t n_devs) {
    int steps = 0;
    while (((size_t) 1 << steps) < n_devs) {
        steps++;
    }
    return steps;
}

tevo_backend_t meta_backend_new(tevo_backend_dev_t meta_dev, const char * params) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(meta_dev));
    const meta_device_context * meta_dev_ctx = ::meta_dev_ctx(meta_dev);
    // meta devices are never made without devices
    TEVO_ASSERT(!meta_dev_ctx->simple_devs.empty());

    meta_backend_context * ctx = new meta_backend_context;
    ctx->n_reduce_steps        = meta_reduce_steps(meta_dev_ctx->simple_devs.size());
    ctx->name                  = "Meta(";
    for (size_t index = 0; index < meta_dev_ctx->simple_devs.size(); index++) {
        TEVO_ASSERT(index < meta_dev_ctx->simple_devs.size());
        tevo_backend_dev_t dev = meta_dev_ctx->simple_devs[index];
        if (index > 0) {
            ctx->name += ",";
        }
        ctx->name += tevo_backend_dev_name(dev);

        meta_backend_config cfg;
        cfg.backend = tevo_backend_dev_init(dev, params);
        if (cfg.backend == NULL) {
            TEVO_LOG_ERROR("%s: failed to initialize the backend of device %zu (%s)\n", "meta_backend_new", index,
                           tevo_backend_dev_name(dev));
            meta_backend_context_free(ctx);
            return NULL;
        }
        cfg.reduce_bufs.assign((size_t) ctx->n_reduce_steps, nullptr);
        ctx->cfgs.push_back(cfg);
    }
    ctx->name += ")";

    if (ctx->cfgs.size() >= 2) {
        tevo_backend_reg_t       reg       = meta_comm_reg(ctx);
        tevo_backend_comm_init_t comm_init =
            reg != NULL ? (tevo_backend_comm_init_t) tevo_backend_reg_get_proc_address(reg, "tevo_backend_comm_init")
                        : nullptr;
        if (comm_init != nullptr) {
            std::vector<tevo_backend_t> backends;
            for (meta_backend_config & cfg : ctx->cfgs) {
                backends.push_back(cfg.backend);
            }
            ctx->comm_ctx = comm_init(backends.data(), backends.size());
        }
        if (ctx->comm_ctx != nullptr) {
            tevo_backend_comm_allreduce_tensor_t comm_allreduce =
                (tevo_backend_comm_allreduce_tensor_t) tevo_backend_reg_get_proc_address(
                    reg, "tevo_backend_comm_allreduce_tensor");
            TEVO_ASSERT(comm_allreduce != nullptr);
            ctx->comm_allreduce = comm_allreduce;
        }
    }

    return new tevo_backend{
        /* .guid    = */ &meta_guid_bytes,
        /* .iface   = */ meta_backend_iface,
        /* .device  = */ meta_dev,
        /* .context = */ ctx,
    };
}

size_t tevo_backend_meta_n_backends(tevo_backend_t meta_backend) {
    TEVO_ASSERT(tevo_backend_is_meta(meta_backend));
    return meta_backend_ctx(meta_backend)->cfgs.size();
}

tevo_backend_t tevo_backend_meta_simple_backend(tevo_backend_t meta_backend, size_t index) {
    TEVO_ASSERT(tevo_backend_is_meta(meta_backend));
    const meta_backend_context * ctx = meta_backend_ctx(meta_backend);
    TEVO_ASSERT(index < ctx->cfgs.size());
    return ctx->cfgs[index].backend;
}
