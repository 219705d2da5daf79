#pragma once

// Interface tables and handle records of the backend framework. An
// implementation fills the slots it needs; an empty (NULL) slot takes the
// default of the public dispatcher.

#include "tevo-backend.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// buffer types

struct tevo_backend_buffer_type_i {
    const char *          (*get_name)(tevo_backend_buffer_type_t buft);
    // never called for size 0
    tevo_backend_buffer_t (*alloc_buffer)(tevo_backend_buffer_type_t buft, size_t size);
    tevo_backend_buffer_t (*alloc_buffer_n)(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                            int n_tensors);
    size_t                (*get_alignment)(tevo_backend_buffer_type_t buft);
    size_t                (*get_max_size)(tevo_backend_buffer_type_t buft);
    size_t                (*get_alloc_size)(tevo_backend_buffer_type_t buft, const struct tevo_tensor * tensor);
    size_t                (*get_alloc_size_n)(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                              int n_tensors);
    bool                  (*is_host)(tevo_backend_buffer_type_t buft);
};

struct tevo_backend_buffer_type {
    struct tevo_backend_buffer_type_i iface;
    tevo_backend_dev_t                device;
    void *                            context;
};

// ---------------------------------------------------------------------------
// buffers

struct tevo_backend_buffer_i {
    void             (*free_buffer)(tevo_backend_buffer_t buffer);
    void *           (*get_base)(tevo_backend_buffer_t buffer);
    enum tevo_status (*init_tensor)(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor);
    void             (*memset_tensor)(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, uint8_t value,
                                      size_t offset, size_t size);
    void             (*set_tensor)(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                                   size_t offset, size_t size);
    void             (*get_tensor)(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                                   size_t offset, size_t size);
    void             (*set_tensor_2d)(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                                      size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                      size_t stride_data);
    void             (*get_tensor_2d)(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                                      size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                      size_t stride_data);
    // dst lies in this buffer; false when the copy cannot be done here
    bool             (*cpy_tensor)(tevo_backend_buffer_t buffer, const struct tevo_tensor * src,
                                   struct tevo_tensor * dst);
    void             (*clear)(tevo_backend_buffer_t buffer, uint8_t value);
    void             (*reset)(tevo_backend_buffer_t buffer);
};

struct tevo_backend_buffer {
    struct tevo_backend_buffer_i   iface;
    tevo_backend_buffer_type_t     buft;
    void *                         context;
    size_t                         size;
    enum tevo_backend_buffer_usage usage;
};

TEVO_API tevo_backend_buffer_t tevo_backend_buffer_init(tevo_backend_buffer_type_t buft,
                                                        struct tevo_backend_buffer_i iface, void * context,
                                                        size_t size);

// the cpy_tensor slot of the buffer holding dst; false when it has none
TEVO_API bool tevo_backend_buffer_copy_tensor(const struct tevo_tensor * src, struct tevo_tensor * dst);

// a buffer that joins several buffers (it owns them)
TEVO_API tevo_backend_buffer_t tevo_backend_multi_buffer_alloc_buffer(tevo_backend_buffer_t * buffers,
                                                                      size_t n_buffers);
TEVO_API bool tevo_backend_buffer_is_multi_buffer(tevo_backend_buffer_t buffer);
TEVO_API void tevo_backend_multi_buffer_set_usage(tevo_backend_buffer_t buffer,
                                                  enum tevo_backend_buffer_usage usage);

// forwards a usage to the parts of a multi-device buffer
TEVO_API void tevo_backend_meta_buffer_set_usage(tevo_backend_buffer_t buffer, enum tevo_backend_buffer_usage usage);

// ---------------------------------------------------------------------------
// backends

// declares that tensor must stay allocated until node has been computed
struct tevo_backend_dep_callback {
    void (*add_dep)(void * user_data, struct tevo_tensor * tensor, struct tevo_tensor * node);
    void * user_data;
};

struct tevo_backend_i {
    const char * (*get_name)(tevo_backend_t backend);
    void         (*free)(tevo_backend_t backend);

    void (*set_tensor_async)(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data, size_t offset,
                             size_t size);
    void (*get_tensor_async)(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data, size_t offset,
                             size_t size);
    void (*set_tensor_2d_async)(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data,
                                size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                size_t stride_data);
    void (*get_tensor_2d_async)(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data,
                                size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                size_t stride_data);
    // looked up on the destination backend
    bool (*cpy_tensor_async)(tevo_backend_t backend_src, tevo_backend_t backend_dst, const struct tevo_tensor * src,
                             struct tevo_tensor * dst);

    void (*synchronize)(tevo_backend_t backend);

    tevo_backend_graph_plan_t (*graph_plan_create)(tevo_backend_t backend, const struct tevo_cgraph * cgraph);
    void                      (*graph_plan_free)(tevo_backend_t backend, tevo_backend_graph_plan_t plan);
    void                      (*graph_plan_update)(tevo_backend_t backend, tevo_backend_graph_plan_t plan,
                                                   const struct tevo_cgraph * cgraph);
    enum tevo_status          (*graph_plan_compute)(tevo_backend_t backend, tevo_backend_graph_plan_t plan);

    // may return before the work has ended
    enum tevo_status (*graph_compute)(tevo_backend_t backend, struct tevo_cgraph * cgraph);

    void (*event_record)(tevo_backend_t backend, tevo_backend_event_t event);
    void (*event_wait)(tevo_backend_t backend, tevo_backend_event_t event);

    // called by the scheduler once per split
    void (*graph_prepare)(tevo_backend_t backend, struct tevo_cgraph * cgraph,
                          struct tevo_backend_dep_callback * dep_callback);
};

struct tevo_backend {
    tevo_guid_t           guid;
    struct tevo_backend_i iface;
    tevo_backend_dev_t    device;
    void *                context;
};

struct tevo_backend_event {
    tevo_backend_dev_t device;
    void *             context;
};

// ---------------------------------------------------------------------------
// devices

struct tevo_backend_device_i {
    const char *                  (*get_name)(tevo_backend_dev_t dev);
    const char *                  (*get_description)(tevo_backend_dev_t dev);
    void                          (*get_memory)(tevo_backend_dev_t dev, size_t * mem_free, size_t * mem_total);
    enum tevo_backend_device_type (*get_type)(tevo_backend_dev_t dev);
    void                          (*get_props)(tevo_backend_dev_t dev, struct tevo_backend_dev_props * props);

    tevo_backend_t             (*init_backend)(tevo_backend_dev_t dev, const char * params);
    tevo_backend_buffer_type_t (*get_buffer_type)(tevo_backend_dev_t dev);
    tevo_backend_buffer_type_t (*get_host_buffer_type)(tevo_backend_dev_t dev);
    tevo_backend_buffer_t      (*buffer_from_host_ptr)(tevo_backend_dev_t dev, void * ptr, size_t size,
                                                       size_t max_tensor_size);

    bool (*supports_op)(tevo_backend_dev_t dev, const struct tevo_tensor * op);
    bool (*supports_buft)(tevo_backend_dev_t dev, tevo_backend_buffer_type_t buft);
    // the device wants the node although its weights are in host memory
    bool (*offload_op)(tevo_backend_dev_t dev, const struct tevo_tensor * op);

    tevo_backend_event_t (*event_new)(tevo_backend_dev_t dev);
    void                 (*event_free)(tevo_backend_dev_t dev, tevo_backend_event_t event);
    void                 (*event_synchronize)(tevo_backend_dev_t dev, tevo_backend_event_t event);
};

struct tevo_backend_device {
    struct tevo_backend_device_i iface;
    tevo_backend_reg_t           reg;
    void *                       context;
};

// ---------------------------------------------------------------------------
// registries

#define TEVO_BACKEND_API_VERSION 3

struct tevo_backend_reg_i {
    const char *       (*get_name)(tevo_backend_reg_t reg);
    size_t             (*get_device_count)(tevo_backend_reg_t reg);
    tevo_backend_dev_t (*get_device)(tevo_backend_reg_t reg, size_t index);
    void *             (*get_proc_address)(tevo_backend_reg_t reg, const char * name);
};

struct tevo_backend_reg {
    int                       api_version;
    struct tevo_backend_reg_i iface;
    void *                    context;
};

// ---------------------------------------------------------------------------
// small predicates shared by the framework's sources

// operators that only describe other memory
static inline bool tevo_op_is_empty(enum tevo_op op) {
    switch (op) {
        case TEVO_OP_NONE:
        case TEVO_OP_RESHAPE:
        case TEVO_OP_VIEW:
        case TEVO_OP_PERMUTE:
        case TEVO_OP_TRANSPOSE:
            return true;
        default:
            return false;
    }
}

static inline bool tevo_are_same_layout(const struct tevo_tensor * a, const struct tevo_tensor * b) {
    if (a->type != b->type) {
        return false;
    }
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        if (a->ne[i] != b->ne[i] || a->nb[i] != b->nb[i]) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// offset planner of the graph allocator: ranges in up to 16 chunks, each of
// which later becomes one backend buffer

#define MAX_FREE_BLOCKS 256
#define TEVO_VBUFFER_MAX_CHUNKS 16

struct tevo_buffer_address {
    int    chunk;
    size_t offset;
};

struct tevo_free_block {
    size_t offset;
    size_t size;
};

struct tevo_tallocr_chunk {
    // sorted by offset, never touching each other
    struct tevo_free_block free_blocks[MAX_FREE_BLOCKS];
    int                    n_free_blocks;
    // end of the highest range ever handed out: the chunk's buffer size
    size_t max_size;
};

struct tevo_dyn_tallocr {
    size_t                      alignment;
    size_t                      max_size;
    struct tevo_tallocr_chunk * chunks[TEVO_VBUFFER_MAX_CHUNKS];
    int                         n_chunks;
};

struct tevo_dyn_tallocr * tevo_dyn_tallocr_new(size_t alignment, size_t max_size);
void                      tevo_dyn_tallocr_free(struct tevo_dyn_tallocr * alloc);
void                      tevo_dyn_tallocr_reset(struct tevo_dyn_tallocr * alloc);
struct tevo_buffer_address tevo_dyn_tallocr_alloc(struct tevo_dyn_tallocr * alloc, size_t size,
                                                  const struct tevo_tensor * tensor);
void   tevo_dyn_tallocr_free_range(struct tevo_dyn_tallocr * alloc, struct tevo_buffer_address addr, size_t size,
                                   const struct tevo_tensor * tensor);
// sum of the chunk sizes
size_t tevo_dyn_tallocr_total_size(const struct tevo_dyn_tallocr * alloc);

#ifdef __cplusplus
}
#endif
