#pragma once

// Multi-device backend: one virtual device over several ordinary devices for
// tensor-parallel execution. Every tensor on it has a split state: cut along
// one dimension across the devices, mirrored on every device, or held as
// per-device partial sums that the backend adds together (all-reduce) before
// later nodes read them.

#include "tevo.h"
#include "tevo-backend.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TEVO_BACKEND_META_MAX_DEVICES  16
#define TEVO_BACKEND_META_MAX_SEGMENTS 16

enum tevo_backend_meta_split_axis {
    TEVO_BACKEND_SPLIT_AXIS_0        = 0,
    TEVO_BACKEND_SPLIT_AXIS_1        = 1,
    TEVO_BACKEND_SPLIT_AXIS_2        = 2,
    TEVO_BACKEND_SPLIT_AXIS_3        = 3,
    TEVO_BACKEND_SPLIT_AXIS_MIRRORED = 10, // every device holds the whole tensor
    TEVO_BACKEND_SPLIT_AXIS_PARTIAL  = 11, // the element-wise sum over the devices is the value
    TEVO_BACKEND_SPLIT_AXIS_NONE     = 98,
    TEVO_BACKEND_SPLIT_AXIS_UNKNOWN  = 99,
};

// Along the axis the tensor holds, for each segment s in order and nr[s]
// times, the pieces of devices 0, 1, ... of that segment one after another;
// device j's piece of segment s has ne[s*n_devices + j] elements. One segment
// with nr[0] = 1 is a plain cut into consecutive slices.
struct tevo_backend_meta_split_state {
    enum tevo_backend_meta_split_axis axis;
    int64_t ne[TEVO_BACKEND_META_MAX_SEGMENTS * TEVO_BACKEND_META_MAX_DEVICES];
    int32_t nr[TEVO_BACKEND_META_MAX_SEGMENTS];
    int32_t n_segments;
};

// The split state of a stored tensor (weights, inputs outside compute
// buffers): an axis 0 to 3, mirrored or partial.
typedef struct tevo_backend_meta_split_state (*tevo_backend_meta_split_state_callback)(
    const struct tevo_tensor * tensor, void * user_data);

// The same devices, callback and user data give the same handle, which lives
// until the process ends. At most TEVO_BACKEND_META_MAX_DEVICES devices;
// NULL (with an error logged) for none.
TEVO_API tevo_backend_dev_t tevo_backend_meta_device(tevo_backend_dev_t * devs, size_t n_devs,
                                                     tevo_backend_meta_split_state_callback get_split_state,
                                                     void * get_split_state_ud);

TEVO_API const char * tevo_backend_meta_split_axis_name(enum tevo_backend_meta_split_axis axis);

TEVO_API bool tevo_backend_buft_is_meta(tevo_backend_buffer_type_t buft);
TEVO_API bool tevo_backend_is_meta(tevo_backend_t backend);

// one simple backend per device of the meta device, in device order
TEVO_API size_t         tevo_backend_meta_n_backends(tevo_backend_t meta_backend);
TEVO_API tevo_backend_t tevo_backend_meta_simple_backend(tevo_backend_t meta_backend, size_t index);

// Optional collective communication that a registry of the first device may
// offer by name (tevo_backend_reg_get_proc_address).
// "tevo_backend_comm_init": NULL when unavailable
typedef void * (*tevo_backend_comm_init_t)(tevo_backend_t * backends, size_t n_backends);
// "tevo_backend_comm_allreduce_tensor": one tensor per device, all of one
// shape; true when each now holds the element-wise sum of all, false to make
// the caller reduce by itself
typedef bool (*tevo_backend_comm_allreduce_tensor_t)(void * comm_ctx, struct tevo_tensor ** tensors);
// "tevo_backend_comm_free"
typedef void (*tevo_backend_comm_free_t)(void * comm_ctx);

#ifdef __cplusplus
}
#endif
