#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// Public dispatchers over the interface tables. They hold the defaults of
// empty slots, so an implementation fills only what it needs.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------
// buffer types

const char * tevo_backend_buft_name(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(buft);
    return buft->iface.get_name(buft);
}

tevo_backend_buffer_t tevo_backend_buft_alloc_buffer(tevo_backend_buffer_type_t buft, size_t size) {
    TEVO_ASSERT(buft);
    if (size == 0) {
        // a record without storage, so callers need no special case for empty sets
        struct tevo_backend_buffer_i empty = {};
        return tevo_backend_buffer_init(buft, empty, NULL, 0);
    }
    return buft->iface.alloc_buffer(buft, size);
}

size_t tevo_backend_buft_get_alignment(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(buft);
    return buft->iface.get_alignment(buft);
}

size_t tevo_backend_buft_get_max_size(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(buft);
    if (buft->iface.get_max_size) {
        return buft->iface.get_max_size(buft);
    }
    return SIZE_MAX;
}

bool tevo_op_alloc_size_may_expand(enum tevo_op op) {
    switch (op) {
        case TEVO_OP_CUMSUM:
        case TEVO_OP_MUL_MAT:
        case TEVO_OP_MUL_MAT_ID:
        case TEVO_OP_ARGSORT:
        case TEVO_OP_TOP_K:
        case TEVO_OP_FLASH_ATTN_EXT:
            return true;
        default:
            return false;
    }
}

size_t tevo_backend_buft_get_alloc_size(tevo_backend_buffer_type_t buft, const struct tevo_tensor * tensor) {
    TEVO_ASSERT(buft);
    TEVO_ASSERT(tensor);
    if (buft->iface.get_alloc_size) {
        size_t size = buft->iface.get_alloc_size(buft, tensor);
        // extra room is only plausible for padded quantized rows, storage
        // descriptions and the operators that may use scratch space
        TEVO_ASSERT(size <= tevo_nbytes(tensor) || tevo_op_is_empty(tensor->op) || tevo_is_quantized(tensor->type) ||
                    tevo_op_alloc_size_may_expand(tensor->op));
        return size;
    }
    return tevo_nbytes(tensor);
}

bool tevo_backend_buft_is_host(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(buft);
    if (buft->iface.is_host) {
        return buft->iface.is_host(buft);
    }
    return false;
}

tevo_backend_dev_t tevo_backend_buft_get_device(tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(buft);
    return buft->device;
}

// ---------------------------------------------------------------------------
// buffers

tevo_backend_buffer_t tevo_backend_buffer_init(tevo_backend_buffer_type_t buft, struct tevo_backend_buffer_i iface,
                                               void * context, size_t size) {
    return new tevo_backend_buffer{
        /* .iface   = */ iface,
        /* .buft    = */ buft,
        /* .context = */ context,
        /* .size    = */ size,
        /* .usage   = */ TEVO_BACKEND_BUFFER_USAGE_ANY,
    };
}

const char * tevo_backend_buffer_name(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return tevo_backend_buft_name(tevo_backend_buffer_get_type(buffer));
}

void tevo_backend_buffer_free(tevo_backend_buffer_t buffer) {
    if (buffer == NULL) {
        return;
    }
    if (buffer->iface.free_buffer != NULL) {
        buffer->iface.free_buffer(buffer);
    }
    delete buffer;
}

size_t tevo_backend_buffer_get_size(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return buffer->size;
}

void * tevo_backend_buffer_get_base(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    // an empty buffer has no storage; a meta buffer has a fixed base even then
    if (buffer->size == 0 && !tevo_backend_buffer_is_meta(buffer)) {
        return NULL;
    }
    if (buffer->iface.get_base == NULL) {
        return NULL;
    }
    void * base = buffer->iface.get_base(buffer);
    TEVO_ASSERT(base != NULL && "backend buffer base cannot be NULL");
    return base;
}

enum tevo_status tevo_backend_buffer_init_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor) {
    TEVO_ASSERT(buffer);
    if (buffer->iface.init_tensor) {
        return buffer->iface.init_tensor(buffer, tensor);
    }
    return TEVO_STATUS_SUCCESS;
}

void tevo_backend_buffer_clear(tevo_backend_buffer_t buffer, uint8_t value) {
    TEVO_ASSERT(buffer);
    if (buffer->size == 0) {
        return;
    }
    buffer->iface.clear(buffer, value);
}

size_t tevo_backend_buffer_get_alignment(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return tevo_backend_buft_get_alignment(tevo_backend_buffer_get_type(buffer));
}

size_t tevo_backend_buffer_get_max_size(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return tevo_backend_buft_get_max_size(tevo_backend_buffer_get_type(buffer));
}

size_t tevo_backend_buffer_get_alloc_size(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor) {
    TEVO_ASSERT(buffer);
    return tevo_backend_buft_get_alloc_size(tevo_backend_buffer_get_type(buffer), tensor);
}

bool tevo_backend_buffer_is_host(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return tevo_backend_buft_is_host(tevo_backend_buffer_get_type(buffer));
}

void tevo_backend_buffer_set_usage(tevo_backend_buffer_t buffer, enum tevo_backend_buffer_usage usage) {
    TEVO_ASSERT(buffer);
    buffer->usage = usage;

    // the parts of a joined buffer are what the scheduler looks at
    if (tevo_backend_buffer_is_multi_buffer(buffer)) {
        tevo_backend_multi_buffer_set_usage(buffer, usage);
    }
    if (tevo_backend_buffer_is_meta(buffer)) {
        tevo_backend_meta_buffer_set_usage(buffer, usage);
    }
}

enum tevo_backend_buffer_usage tevo_backend_buffer_get_usage(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return buffer->usage;
}

tevo_backend_buffer_type_t tevo_backend_buffer_get_type(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    return buffer->buft;
}

void tevo_backend_buffer_reset(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(buffer);
    if (buffer->iface.reset) {
        buffer->iface.reset(buffer);
    }
}

bool tevo_backend_buffer_copy_tensor(const struct tevo_tensor * src, struct tevo_tensor * dst) {
    TEVO_ASSERT(src);
    TEVO_ASSERT(dst);
    tevo_backend_buffer_t buffer = dst->view_src ? dst->view_src->buffer : dst->buffer;
    TEVO_ASSERT(buffer);
    if (buffer->iface.cpy_tensor) {
        return buffer->iface.cpy_tensor(buffer, src, dst);
    }
    return false;
}

// ---------------------------------------------------------------------------
// backends

tevo_guid_t tevo_backend_guid(tevo_backend_t backend) {
    if (backend == NULL) {
        return NULL;
    }
    return backend->guid;
}

const char * tevo_backend_name(tevo_backend_t backend) {
    if (backend == NULL) {
        return "NULL";
    }
    return backend->iface.get_name(backend);
}

void tevo_backend_free(tevo_backend_t backend) {
    if (backend == NULL) {
        return;
    }
    backend->iface.free(backend);
}

tevo_backend_dev_t tevo_backend_get_device(tevo_backend_t backend) {
    TEVO_ASSERT(backend);
    return backend->device;
}

tevo_backend_buffer_type_t tevo_backend_get_default_buffer_type(tevo_backend_t backend) {
    TEVO_ASSERT(backend);
    return tevo_backend_dev_buffer_type(backend->device);
}

tevo_backend_buffer_t tevo_backend_alloc_buffer(tevo_backend_t backend, size_t size) {
    return tevo_backend_buft_alloc_buffer(tevo_backend_get_default_buffer_type(backend), size);
}

size_t tevo_backend_get_alignment(tevo_backend_t backend) {
    return tevo_backend_buft_get_alignment(tevo_backend_get_default_buffer_type(backend));
}

size_t tevo_backend_get_max_size(tevo_backend_t backend) {
    return tevo_backend_buft_get_max_size(tevo_backend_get_default_buffer_type(backend));
}

void tevo_backend_synchronize(tevo_backend_t backend) {
    TEVO_ASSERT(backend);
    if (backend->iface.synchronize == NULL) {
        return;
    }
    backend->iface.synchronize(backend);
}

tevo_backend_graph_plan_t tevo_backend_graph_plan_create(tevo_backend_t backend, struct tevo_cgraph * cgraph) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(backend->iface.graph_plan_create != NULL);
    return backend->iface.graph_plan_create(backend, cgraph);
}

void tevo_backend_graph_plan_free(tevo_backend_t backend, tevo_backend_graph_plan_t plan) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(backend->iface.graph_plan_free != NULL);
    backend->iface.graph_plan_free(backend, plan);
}

enum tevo_status tevo_backend_graph_plan_compute(tevo_backend_t backend, tevo_backend_graph_plan_t plan) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(backend->iface.graph_plan_compute != NULL);
    return backend->iface.graph_plan_compute(backend, plan);
}

enum tevo_status tevo_backend_graph_compute(tevo_backend_t backend, struct tevo_cgraph * cgraph) {
    enum tevo_status err = tevo_backend_graph_compute_async(backend, cgraph);
    tevo_backend_synchronize(backend);
    return err;
}

enum tevo_status tevo_backend_graph_compute_async(tevo_backend_t backend, struct tevo_cgraph * cgraph) {
    TEVO_ASSERT(backend);
    return backend->iface.graph_compute(backend, cgraph);
}

bool tevo_backend_supports_op(tevo_backend_t backend, const struct tevo_tensor * op) {
    TEVO_ASSERT(backend);
    return tevo_backend_dev_supports_op(backend->device, op);
}

bool tevo_backend_supports_buft(tevo_backend_t backend, tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(backend);
    return tevo_backend_dev_supports_buft(backend->device, buft);
}

bool tevo_backend_offload_op(tevo_backend_t backend, const struct tevo_tensor * op) {
    TEVO_ASSERT(backend);
    return tevo_backend_dev_offload_op(backend->device, op);
}

// ---------------------------------------------------------------------------
// events

tevo_backend_event_t tevo_backend_event_new(tevo_backend_dev_t device) {
    // backends without events are allowed
    if (device == NULL || device->iface.event_new == NULL) {
        return NULL;
    }
    return device->iface.event_new(device);
}

void tevo_backend_event_free(tevo_backend_event_t event) {
    if (event == NULL) {
        return;
    }
    event->device->iface.event_free(event->device, event);
}

void tevo_backend_event_record(tevo_backend_event_t event, tevo_backend_t backend) {
    TEVO_ASSERT(event);
    TEVO_ASSERT(backend);
    TEVO_ASSERT(backend->iface.event_record != NULL);
    backend->iface.event_record(backend, event);
}

void tevo_backend_event_synchronize(tevo_backend_event_t event) {
    TEVO_ASSERT(event);
    TEVO_ASSERT(event->device->iface.event_synchronize);
    event->device->iface.event_synchronize(event->device, event);
}

void tevo_backend_event_wait(tevo_backend_t backend, tevo_backend_event_t event) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(event);
    TEVO_ASSERT(backend->iface.event_wait != NULL);
    backend->iface.event_wait(backend, event);
}

// ---------------------------------------------------------------------------
// devices

const char * tevo_backend_dev_name(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    return device->iface.get_name(device);
}

const char * tevo_backend_dev_description(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    return device->iface.get_description(device);
}

void tevo_backend_dev_memory(tevo_backend_dev_t device, size_t * mem_free, size_t * mem_total) {
    TEVO_ASSERT(device);
    device->iface.get_memory(device, mem_free, mem_total);
}

enum tevo_backend_device_type tevo_backend_dev_type(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    return device->iface.get_type(device);
}

void tevo_backend_dev_get_props(tevo_backend_dev_t device, struct tevo_backend_dev_props * props) {
    TEVO_ASSERT(device);
    // whatever the device does not fill reads as zero or NULL
    memset(props, 0, sizeof(*props));
    device->iface.get_props(device, props);
}

tevo_backend_reg_t tevo_backend_dev_backend_reg(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    return device->reg;
}

tevo_backend_t tevo_backend_dev_init(tevo_backend_dev_t device, const char * params) {
    TEVO_ASSERT(device);
    return device->iface.init_backend(device, params);
}

tevo_backend_buffer_type_t tevo_backend_dev_buffer_type(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    return device->iface.get_buffer_type(device);
}

tevo_backend_buffer_type_t tevo_backend_dev_host_buffer_type(tevo_backend_dev_t device) {
    TEVO_ASSERT(device);
    if (device->iface.get_host_buffer_type == NULL) {
        return NULL;
    }
    return device->iface.get_host_buffer_type(device);
}

tevo_backend_buffer_t tevo_backend_dev_buffer_from_host_ptr(tevo_backend_dev_t device, void * ptr, size_t size,
                                                            size_t max_tensor_size) {
    TEVO_ASSERT(device);
    return device->iface.buffer_from_host_ptr(device, ptr, size, max_tensor_size);
}

bool tevo_backend_dev_supports_op(tevo_backend_dev_t device, const struct tevo_tensor * op) {
    TEVO_ASSERT(device);
    return device->iface.supports_op(device, op);
}

bool tevo_backend_dev_supports_buft(tevo_backend_dev_t device, tevo_backend_buffer_type_t buft) {
    TEVO_ASSERT(device);
    return device->iface.supports_buft(device, buft);
}

bool tevo_backend_dev_offload_op(tevo_backend_dev_t device, const struct tevo_tensor * op) {
    TEVO_ASSERT(device);
    if (device->iface.offload_op != NULL) {
        return device->iface.offload_op(device, op);
    }
    return false;
}

// ---------------------------------------------------------------------------
// registries

const char * tevo_backend_reg_name(tevo_backend_reg_t reg) {
    TEVO_ASSERT(reg);
    return reg->iface.get_name(reg);
}

size_t tevo_backend_reg_dev_count(tevo_backend_reg_t reg) {
    TEVO_ASSERT(reg);
    return reg->iface.get_device_count(reg);
}

tevo_backend_dev_t tevo_backend_reg_dev_get(tevo_backend_reg_t reg, size_t index) {
    TEVO_ASSERT(reg);
    return reg->iface.get_device(reg, index);
}

void * tevo_backend_reg_get_proc_address(tevo_backend_reg_t reg, const char * name) {
    TEVO_ASSERT(reg);
    if (!reg->iface.get_proc_address) {
        return NULL;
    }
    return reg->iface.get_proc_address(reg, name);
}
