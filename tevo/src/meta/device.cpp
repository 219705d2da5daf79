#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// The meta device: several simple devices behind one device record. Devices
// are made once per (device list, callback, user data) and live until the
// process ends, so callers may keep the handle anywhere; their buffer types
// likewise. None of this is locked: devices are made from one thread.

#include "meta/impl.h"

#include <stdint.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

struct meta_device_key {
    std::vector<tevo_backend_dev_t>        devs;
    tevo_backend_meta_split_state_callback callback;
    void *                                 user_data;

    bool operator<(const meta_device_key & other) const {
        std::less<tevo_backend_dev_t> dev_less;
        const size_t                  n = std::min(devs.size(), other.devs.size());
        for (size_t i = 0; i < n; i++) {
            if (devs[i] != other.devs[i]) {
                return dev_less(devs[i], other.devs[i]);
            }
        }
        if (devs.size() != other.devs.size()) {
            return devs.size() < other.devs.size();
        }
        if (callback != other.callback) {
            return (uintptr_t) callback < (uintptr_t) other.callback;
        }
        return std::less<void *>()(user_data, other.user_data);
    }
};

struct meta_registry {
    std::vector<std::unique_ptr<meta_device_context>> contexts;
    // std::map keeps node addresses, so the records can be handed out
    std::map<meta_device_key, tevo_backend_device>            devices;
    std::map<tevo_backend_dev_t, tevo_backend_buffer_type>    bufts;
    std::vector<std::unique_ptr<meta_buffer_type_context>>    buft_contexts;
};

meta_registry & registry() {
    static meta_registry reg;
    return reg;
}

}

// ---------------------------------------------------------------------------
// device slots

static const char * meta_device_get_name(tevo_backend_dev_t dev) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    return meta_dev_ctx(dev)->name.c_str();
}

bool tevo_backend_dev_is_meta(tevo_backend_dev_t dev) {
    return dev != NULL && dev->iface.get_name == meta_device_get_name;
}

meta_device_context * meta_dev_ctx(tevo_backend_dev_t dev) {
    return (meta_device_context *) dev->context;
}

static const char * meta_device_get_description(tevo_backend_dev_t dev) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    return meta_dev_ctx(dev)->description.c_str();
}

static void meta_device_get_memory(tevo_backend_dev_t dev, size_t * mem_free, size_t * mem_total) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    *mem_free  = 0;
    *mem_total = 0;
    for (tevo_backend_dev_t simple : meta_dev_ctx(dev)->simple_devs) {
        size_t f = 0;
        size_t t = 0;
        tevo_backend_dev_memory(simple, &f, &t);
        *mem_free += f;
        *mem_total += t;
    }
}

static enum tevo_backend_device_type meta_device_get_type(tevo_backend_dev_t dev) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    return TEVO_BACKEND_DEVICE_TYPE_META;
}

static void meta_device_get_props(tevo_backend_dev_t dev, struct tevo_backend_dev_props * props) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    props->name        = meta_device_get_name(dev);
    props->description = meta_device_get_description(dev);
    props->type        = TEVO_BACKEND_DEVICE_TYPE_META;
    props->device_id   = NULL;
    meta_device_get_memory(dev, &props->memory_free, &props->memory_total);

    // host memory, host pointers and events would need one answer for all
    // devices at once, which the meta device cannot give
    props->caps = { true, false, false, false, true };
    for (tevo_backend_dev_t simple : meta_dev_ctx(dev)->simple_devs) {
        struct tevo_backend_dev_props sp;
        tevo_backend_dev_get_props(simple, &sp);
        props->caps.async                = props->caps.async && sp.caps.async;
        props->caps.host_buffer          = props->caps.host_buffer && sp.caps.host_buffer;
        props->caps.buffer_from_host_ptr = props->caps.buffer_from_host_ptr && sp.caps.buffer_from_host_ptr;
        props->caps.events               = props->caps.events && sp.caps.events;
        props->caps.reserved             = props->caps.reserved && sp.caps.reserved;
    }
}

static tevo_backend_t meta_device_init_backend(tevo_backend_dev_t dev, const char * params) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    return meta_backend_new(dev, params);
}

static tevo_backend_buffer_type_t meta_device_get_buffer_type(tevo_backend_dev_t dev) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    meta_registry & reg = registry();

    auto it = reg.bufts.find(dev);
    if (it != reg.bufts.end()) {
        return &it->second;
    }

    std::vector<tevo_backend_buffer_type_t> simple_bufts;
    for (tevo_backend_dev_t simple : meta_dev_ctx(dev)->simple_devs) {
        simple_bufts.push_back(tevo_backend_dev_buffer_type(simple));
    }
    reg.buft_contexts.emplace_back(meta_buffer_type_context_new(simple_bufts));

    tevo_backend_buffer_type buft = { meta_buffer_type_iface(), dev, reg.buft_contexts.back().get() };
    return &reg.bufts.emplace(dev, buft).first->second;
}

static tevo_backend_buffer_type_t meta_device_get_host_buffer_type(tevo_backend_dev_t dev) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    tevo_backend_buffer_type_t host = NULL;
    bool                       first = true;
    for (tevo_backend_dev_t simple : meta_dev_ctx(dev)->simple_devs) {
        tevo_backend_buffer_type_t h = tevo_backend_dev_host_buffer_type(simple);
        if (h == NULL || (!first && h != host)) {
            return NULL;
        }
        host  = h;
        first = false;
    }
    return host;
}

static bool meta_device_supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    for (tevo_backend_dev_t simple : meta_dev_ctx(dev)->simple_devs) {
        if (!tevo_backend_dev_supports_op(simple, op)) {
            return false;
        }
    }
    return true;
}

static bool meta_device_supports_buft(tevo_backend_dev_t dev, tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(tevo_backend_dev_is_meta(dev));
    tevo_backend_dev_t other = tevo_backend_buft_get_device(buft);
    if (!tevo_backend_dev_is_meta(other)) {
        return false;
    }
    return meta_dev_ctx(other)->simple_devs == meta_dev_ctx(dev)->simple_devs;
}

static const struct tevo_backend_device_i meta_device_iface = {
    /* .get_name             = */ meta_device_get_name,
    /* .get_description      = */ meta_device_get_description,
    /* .get_memory           = */ meta_device_get_memory,
    /* .get_type             = */ meta_device_get_type,
    /* .get_props            = */ meta_device_get_props,
    /* .init_backend         = */ meta_device_init_backend,
    /* .get_buffer_type      = */ meta_device_get_buffer_type,
    /* .get_host_buffer_type = */ meta_device_get_host_buffer_type,
    /* .buffer_from_host_ptr = */ NULL,
    /* .supports_op          = */ meta_device_supports_op,
    /* .supports_buft        = */ meta_device_supports_buft,
    /* .offload_op           = */ NULL,
    /* .event_new            = */ NULL,
    /* .event_free           = */ NULL,
    /* .event_synchronize    = */ NULL,
};

// ---------------------------------------------------------------------------
// entry point

static std::string meta_joined(const std::vector<tevo_backend_dev_t> & devs,
                               const char * (*part)(tevo_backend_dev_t)) {
    std::string text = "Meta(";
    for (size_t i = 0; i < devs.size(); i++) {
        if (i > 0) {
            text += ",";
        }
        text += part(devs[i]);
    }
    return text + ")";
}

tevo_backend_dev_t tevo_backend_meta_device(tevo_backend_dev_t * devs, size_t n_devs,
                                            tevo_backend_meta_split_state_callback get_split_state,
                                            void * get_split_state_ud) {
    TEVO_ASSERT(n_devs <= TEVO_BACKEND_META_MAX_DEVICES);
    // without devices there is nothing to split over, and the all-reduce
    // would take log2(0) steps
    if (n_devs == 0) {
        TEVO_LOG_ERROR("%s: a meta device needs at least one device\n", "tevo_backend_meta_device");
        return NULL;
    }
    TEVO_ASSERT(devs != NULL);

    meta_device_key key = { std::vector<tevo_backend_dev_t>(devs, devs + n_devs), get_split_state,
                            get_split_state_ud };

    meta_registry & reg = registry();
    auto            it  = reg.devices.find(key);
    if (it != reg.devices.end()) {
        return &it->second;
    }

    auto ctx                = std::make_unique<meta_device_context>();
    ctx->simple_devs        = key.devs;
    ctx->get_split_state    = get_split_state;
    ctx->get_split_state_ud = get_split_state_ud;
    ctx->name               = meta_joined(key.devs, tevo_backend_dev_name);
    ctx->description        = meta_joined(key.devs, tevo_backend_dev_description);

    tevo_backend_device dev = { meta_device_iface, NULL, ctx.get() };
    reg.contexts.push_back(std::move(ctx));
    return &reg.devices.emplace(key, dev).first->second;
}

const char * tevo_backend_meta_split_axis_name(enum tevo_backend_meta_split_axis axis) {
    switch (axis) {
        case TEVO_BACKEND_SPLIT_AXIS_0:        return "0";
        case TEVO_BACKEND_SPLIT_AXIS_1:        return "1";
        case TEVO_BACKEND_SPLIT_AXIS_2:        return "2";
        case TEVO_BACKEND_SPLIT_AXIS_3:        return "3";
        case TEVO_BACKEND_SPLIT_AXIS_MIRRORED: return "MIRRORED";
        case TEVO_BACKEND_SPLIT_AXIS_PARTIAL:  return "PARTIAL";
        case TEVO_BACKEND_SPLIT_AXIS_NONE:     return "NONE";
        case TEVO_BACKEND_SPLIT_AXIS_UNKNOWN:  return "UNKNOWN";
    }
    TEVO_ABORT("fatal error");
}
