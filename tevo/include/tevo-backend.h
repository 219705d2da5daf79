#pragma once

// Backend framework: buffer types, buffers, backends, devices, registries and
// events behind tables of functions, tensor upload and download, host buffer
// types and tensor placement.

#include "tevo.h"
#include "tevo-alloc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tevo_backend_event *  tevo_backend_event_t;
typedef struct tevo_backend_device * tevo_backend_dev_t;
typedef struct tevo_backend_reg *    tevo_backend_reg_t;
typedef void *                       tevo_backend_graph_plan_t;

// ---------------------------------------------------------------------------
// buffer types

TEVO_API const char *          tevo_backend_buft_name(tevo_backend_buffer_type_t buft);
TEVO_API tevo_backend_buffer_t tevo_backend_buft_alloc_buffer(tevo_backend_buffer_type_t buft, size_t size);
// one buffer holding all the tensors (a multi-buffer when they exceed the
// type's maximum size); NULL when nothing needs storage or on failure
TEVO_API tevo_backend_buffer_t tevo_backend_buft_alloc_buffer_n(tevo_backend_buffer_type_t buft,
                                                                struct tevo_tensor ** tensors, int n_tensors);
TEVO_API size_t tevo_backend_buft_get_alignment(tevo_backend_buffer_type_t buft);
TEVO_API size_t tevo_backend_buft_get_max_size(tevo_backend_buffer_type_t buft);
TEVO_API size_t tevo_backend_buft_get_alloc_size(tevo_backend_buffer_type_t buft, const struct tevo_tensor * tensor);
TEVO_API size_t tevo_backend_buft_get_alloc_size_n(tevo_backend_buffer_type_t buft, struct tevo_tensor ** tensors,
                                                   int n_tensors);
TEVO_API bool   tevo_backend_buft_is_host(tevo_backend_buffer_type_t buft);
TEVO_API tevo_backend_dev_t tevo_backend_buft_get_device(tevo_backend_buffer_type_t buft);

// operators whose results may need more room than their byte span
TEVO_API bool tevo_op_alloc_size_may_expand(enum tevo_op op);

// ---------------------------------------------------------------------------
// buffers

enum tevo_backend_buffer_usage {
    TEVO_BACKEND_BUFFER_USAGE_ANY     = 0,
    TEVO_BACKEND_BUFFER_USAGE_WEIGHTS = 1,
    TEVO_BACKEND_BUFFER_USAGE_COMPUTE = 2,
};

TEVO_API const char *     tevo_backend_buffer_name(tevo_backend_buffer_t buffer);
TEVO_API void             tevo_backend_buffer_free(tevo_backend_buffer_t buffer);
TEVO_API void *           tevo_backend_buffer_get_base(tevo_backend_buffer_t buffer);
TEVO_API size_t           tevo_backend_buffer_get_size(tevo_backend_buffer_t buffer);
TEVO_API enum tevo_status tevo_backend_buffer_init_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor);
TEVO_API size_t           tevo_backend_buffer_get_alignment(tevo_backend_buffer_t buffer);
TEVO_API size_t           tevo_backend_buffer_get_max_size(tevo_backend_buffer_t buffer);
TEVO_API size_t           tevo_backend_buffer_get_alloc_size(tevo_backend_buffer_t buffer,
                                                             const struct tevo_tensor * tensor);
TEVO_API void             tevo_backend_buffer_clear(tevo_backend_buffer_t buffer, uint8_t value);
TEVO_API bool             tevo_backend_buffer_is_host(tevo_backend_buffer_t buffer);
TEVO_API void             tevo_backend_buffer_set_usage(tevo_backend_buffer_t buffer,
                                                        enum tevo_backend_buffer_usage usage);
TEVO_API enum tevo_backend_buffer_usage tevo_backend_buffer_get_usage(tevo_backend_buffer_t buffer);
TEVO_API tevo_backend_buffer_type_t     tevo_backend_buffer_get_type(tevo_backend_buffer_t buffer);
TEVO_API void                           tevo_backend_buffer_reset(tevo_backend_buffer_t buffer);

// whether the buffer belongs to the multi-device backend (tevo-meta.h)
TEVO_API bool tevo_backend_buffer_is_meta(tevo_backend_buffer_t buffer);

// ---------------------------------------------------------------------------
// tensor transfer

TEVO_API void tevo_backend_tensor_set(struct tevo_tensor * tensor, const void * data, size_t offset, size_t size);
TEVO_API void tevo_backend_tensor_get(const struct tevo_tensor * tensor, void * data, size_t offset, size_t size);
TEVO_API void tevo_backend_tensor_set_2d(struct tevo_tensor * tensor, const void * data, size_t offset, size_t size,
                                         size_t n_copies, size_t stride_tensor, size_t stride_data);
TEVO_API void tevo_backend_tensor_get_2d(const struct tevo_tensor * tensor, void * data, size_t offset, size_t size,
                                         size_t n_copies, size_t stride_tensor, size_t stride_data);
TEVO_API void tevo_backend_tensor_memset(struct tevo_tensor * tensor, uint8_t value, size_t offset, size_t size);

TEVO_API void tevo_backend_tensor_set_async(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data,
                                            size_t offset, size_t size);
TEVO_API void tevo_backend_tensor_get_async(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data,
                                            size_t offset, size_t size);
TEVO_API void tevo_backend_tensor_set_2d_async(tevo_backend_t backend, struct tevo_tensor * tensor,
                                               const void * data, size_t offset, size_t size, size_t n_copies,
                                               size_t stride_tensor, size_t stride_data);
TEVO_API void tevo_backend_tensor_get_2d_async(tevo_backend_t backend, const struct tevo_tensor * tensor,
                                               void * data, size_t offset, size_t size, size_t n_copies,
                                               size_t stride_tensor, size_t stride_data);

// copies all bytes of src into dst of the same layout
TEVO_API void tevo_backend_tensor_copy(struct tevo_tensor * src, struct tevo_tensor * dst);
TEVO_API void tevo_backend_tensor_copy_async(tevo_backend_t backend_src, tevo_backend_t backend_dst,
                                             struct tevo_tensor * src, struct tevo_tensor * dst);

// ---------------------------------------------------------------------------
// backends

TEVO_API tevo_guid_t  tevo_backend_guid(tevo_backend_t backend);
TEVO_API const char * tevo_backend_name(tevo_backend_t backend);
TEVO_API void         tevo_backend_free(tevo_backend_t backend);

TEVO_API tevo_backend_dev_t         tevo_backend_get_device(tevo_backend_t backend);
TEVO_API tevo_backend_buffer_type_t tevo_backend_get_default_buffer_type(tevo_backend_t backend);
TEVO_API tevo_backend_buffer_t      tevo_backend_alloc_buffer(tevo_backend_t backend, size_t size);
TEVO_API size_t                     tevo_backend_get_alignment(tevo_backend_t backend);
TEVO_API size_t                     tevo_backend_get_max_size(tevo_backend_t backend);

TEVO_API void tevo_backend_synchronize(tevo_backend_t backend);

TEVO_API tevo_backend_graph_plan_t tevo_backend_graph_plan_create(tevo_backend_t backend, struct tevo_cgraph * cgraph);
TEVO_API void             tevo_backend_graph_plan_free(tevo_backend_t backend, tevo_backend_graph_plan_t plan);
TEVO_API enum tevo_status tevo_backend_graph_plan_compute(tevo_backend_t backend, tevo_backend_graph_plan_t plan);
TEVO_API enum tevo_status tevo_backend_graph_compute(tevo_backend_t backend, struct tevo_cgraph * cgraph);
TEVO_API enum tevo_status tevo_backend_graph_compute_async(tevo_backend_t backend, struct tevo_cgraph * cgraph);

TEVO_API bool tevo_backend_supports_op(tevo_backend_t backend, const struct tevo_tensor * op);
TEVO_API bool tevo_backend_supports_buft(tevo_backend_t backend, tevo_backend_buffer_type_t buft);
TEVO_API bool tevo_backend_offload_op(tevo_backend_t backend, const struct tevo_tensor * op);

// ---------------------------------------------------------------------------
// events

TEVO_API tevo_backend_event_t tevo_backend_event_new(tevo_backend_dev_t device);
TEVO_API void                 tevo_backend_event_free(tevo_backend_event_t event);
TEVO_API void                 tevo_backend_event_record(tevo_backend_event_t event, tevo_backend_t backend);
TEVO_API void                 tevo_backend_event_synchronize(tevo_backend_event_t event);
TEVO_API void                 tevo_backend_event_wait(tevo_backend_t backend, tevo_backend_event_t event);

// ---------------------------------------------------------------------------
// devices

enum tevo_backend_device_type {
    TEVO_BACKEND_DEVICE_TYPE_CPU           = 0,
    TEVO_BACKEND_DEVICE_TYPE_GPU           = 1,
    TEVO_BACKEND_DEVICE_TYPE_GPU_SECONDARY = 2,
    TEVO_BACKEND_DEVICE_TYPE_ACCEL         = 3,
    TEVO_BACKEND_DEVICE_TYPE_META          = 4,
};

struct tevo_backend_dev_caps {
    bool async;
    bool host_buffer;
    bool buffer_from_host_ptr;
    bool events;
    // set by the CPU device and combined by multi-device backends; nothing reads it
    bool reserved;
};

struct tevo_backend_dev_props {
    const char *                  name;
    const char *                  description;
    size_t                        memory_free;
    size_t                        memory_total;
    enum tevo_backend_device_type type;
    const char *                  device_id; // NULL when the device has none
    struct tevo_backend_dev_caps  caps;
};

TEVO_API const char *                  tevo_backend_dev_name(tevo_backend_dev_t device);
TEVO_API const char *                  tevo_backend_dev_description(tevo_backend_dev_t device);
TEVO_API void tevo_backend_dev_memory(tevo_backend_dev_t device, size_t * mem_free, size_t * mem_total);
TEVO_API enum tevo_backend_device_type tevo_backend_dev_type(tevo_backend_dev_t device);
TEVO_API void tevo_backend_dev_get_props(tevo_backend_dev_t device, struct tevo_backend_dev_props * props);
TEVO_API tevo_backend_reg_t         tevo_backend_dev_backend_reg(tevo_backend_dev_t device);
TEVO_API tevo_backend_t             tevo_backend_dev_init(tevo_backend_dev_t device, const char * params);
TEVO_API tevo_backend_buffer_type_t tevo_backend_dev_buffer_type(tevo_backend_dev_t device);
TEVO_API tevo_backend_buffer_type_t tevo_backend_dev_host_buffer_type(tevo_backend_dev_t device);
TEVO_API tevo_backend_buffer_t      tevo_backend_dev_buffer_from_host_ptr(tevo_backend_dev_t device, void * ptr,
                                                                          size_t size, size_t max_tensor_size);
TEVO_API bool tevo_backend_dev_supports_op(tevo_backend_dev_t device, const struct tevo_tensor * op);
TEVO_API bool tevo_backend_dev_supports_buft(tevo_backend_dev_t device, tevo_backend_buffer_type_t buft);
TEVO_API bool tevo_backend_dev_offload_op(tevo_backend_dev_t device, const struct tevo_tensor * op);

// ---------------------------------------------------------------------------
// registries

TEVO_API const char *       tevo_backend_reg_name(tevo_backend_reg_t reg);
TEVO_API size_t             tevo_backend_reg_dev_count(tevo_backend_reg_t reg);
TEVO_API tevo_backend_dev_t tevo_backend_reg_dev_get(tevo_backend_reg_t reg, size_t index);
// an extension function by name, or NULL
TEVO_API void *             tevo_backend_reg_get_proc_address(tevo_backend_reg_t reg, const char * name);

// ---------------------------------------------------------------------------
// host memory

// "CPU": page-aligned memory owned by each buffer
TEVO_API tevo_backend_buffer_type_t tevo_backend_cpu_buffer_type(void);
// a "CPU_Mapped" buffer over caller memory (32-byte aligned); freeing the
// buffer leaves the memory alone
TEVO_API tevo_backend_buffer_t tevo_backend_cpu_buffer_from_ptr(void * ptr, size_t size);

// ---------------------------------------------------------------------------
// tensor placement

// places a tensor without buffer, data or view source at addr of the buffer
TEVO_API enum tevo_status tevo_backend_tensor_alloc(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor,
                                                    void * addr);
// places a view in its view source's buffer
TEVO_API enum tevo_status tevo_backend_view_init(struct tevo_tensor * tensor);

// ---------------------------------------------------------------------------
// graph copy between backends

struct tevo_backend_graph_copy_result {
    tevo_backend_buffer_t buffer;
    struct tevo_context * ctx_allocated;
    struct tevo_context * ctx_unallocated;
    struct tevo_cgraph *  graph;
};

// copies an allocated graph with its data into a buffer of the backend;
// all fields NULL on failure
TEVO_API struct tevo_backend_graph_copy_result tevo_backend_graph_copy(tevo_backend_t backend,
                                                                       struct tevo_cgraph * graph);
TEVO_API void tevo_backend_graph_copy_free(struct tevo_backend_graph_copy_result copy);

// called per compared node; returning false reports a mismatch
typedef bool (*tevo_backend_eval_callback)(int node_index, struct tevo_tensor * t1, struct tevo_tensor * t2,
                                           void * user_data);

// Computes the graph on both backends and hands each pair of results to the
// callback, which hears of any mismatch; false only when the copy fails.
TEVO_API bool tevo_backend_compare_graph_backend(tevo_backend_t backend1, tevo_backend_t backend2,
                                                 struct tevo_cgraph * graph, tevo_backend_eval_callback callback,
                                                 void * user_data, struct tevo_tensor * const * test_nodes,
                                                 size_t num_test_nodes);

// ---------------------------------------------------------------------------
// backend registry

// Extension functions that a registry hands out by name
// (tevo_backend_reg_get_proc_address).
struct tevo_backend_feature {
    const char * name;
    const char * value;
};
// "tevo_backend_get_features": ends with {NULL, NULL}
typedef struct tevo_backend_feature * (*tevo_backend_get_features_t)(tevo_backend_reg_t reg);
// "tevo_backend_set_n_threads"
typedef void (*tevo_backend_set_n_threads_t)(tevo_backend_t backend, int n_threads);
// "tevo_backend_set_abort_callback"
typedef void (*tevo_backend_set_abort_callback_t)(tevo_backend_t backend, tevo_abort_callback abort_callback,
                                                  void * abort_callback_data);
// "tevo_backend_dev_get_extra_bufts": NULL-terminated
typedef tevo_backend_buffer_type_t * (*tevo_backend_dev_get_extra_bufts_t)(tevo_backend_dev_t device);

// What a backend library exports: "tevo_backend_init" and, optionally,
// "tevo_backend_score" (0: unusable here; higher is better).
typedef tevo_backend_reg_t (*tevo_backend_init_t)(void);
typedef int                (*tevo_backend_score_t)(void);

// The process-wide list of registries and devices, built on first use with
// the CPU registry as entry 0.
TEVO_API void               tevo_backend_register(tevo_backend_reg_t reg);
TEVO_API void               tevo_backend_device_register(tevo_backend_dev_t device);
TEVO_API size_t             tevo_backend_reg_count(void);
TEVO_API tevo_backend_reg_t tevo_backend_reg_get(size_t index);
// names compare ignoring letter case
TEVO_API tevo_backend_reg_t tevo_backend_reg_by_name(const char * name);
TEVO_API size_t             tevo_backend_dev_count(void);
TEVO_API tevo_backend_dev_t tevo_backend_dev_get(size_t index);
TEVO_API tevo_backend_dev_t tevo_backend_dev_by_name(const char * name);
TEVO_API tevo_backend_dev_t tevo_backend_dev_by_type(enum tevo_backend_device_type type);

TEVO_API tevo_backend_t tevo_backend_init_by_name(const char * name, const char * params);
TEVO_API tevo_backend_t tevo_backend_init_by_type(enum tevo_backend_device_type type, const char * params);
// a GPU, else a secondary GPU, else the CPU
TEVO_API tevo_backend_t tevo_backend_init_best(void);

// Backend libraries "libtevo-<name>[-<variant>].so". The loaded ones stay
// open until unloaded.
TEVO_API tevo_backend_reg_t tevo_backend_load(const char * path);
// removes the registry and its devices and closes its library
TEVO_API void               tevo_backend_unload(tevo_backend_reg_t reg);
// the best-scoring variant of one backend, else its plain library; dir_path
// NULL searches the executable's directory, then the current one
TEVO_API void               tevo_backend_load_best(const char * name, const char * dir_path);
// every known backend name, then the library named by TEVO_BACKEND_PATH
TEVO_API void               tevo_backend_load_all(void);
TEVO_API void               tevo_backend_load_all_from_path(const char * dir_path);

// ---------------------------------------------------------------------------
// scheduler
//
// Runs a graph over up to 16 backends in priority order (the last one a CPU
// backend): every node gets a backend, runs of nodes on one backend become
// splits, and split inputs that live where a split's backend cannot read
// them are copied to it before the split runs. The scheduler owns one set of
// compute buffers per backend, sized by the largest graph seen.
//
// What allocating does to the caller's graph:
// - Nodes that read a split input read the scheduler's copy of it only
//   inside a scheduler call, while the graph is planned and computed. When
//   any call returns, successful or not, every node reads the caller's own
//   tensors; after graph_compute_async, from the next synchronize on (or the
//   scheduler's next call, which waits for the backends first; its count
//   and buffer accessors aside), so synchronize before freeing a graph
//   computed that way.
// - Tensors without memory are placed in the compute buffers. That memory is
//   valid until the scheduler's next split of any graph (alloc_graph,
//   reserve, reserve_size, or a compute that allocates) or its free. A reset
//   keeps it: outputs may be read after a reset, and a compute of the graph
//   allocated last, after a reset, computes it where it is placed, with the
//   inputs set before or after the reset. A query of a node's backend in
//   between changes nothing; after a pin the compute splits and allocates
//   the graph again, and its inputs keep their values. From the next split
//   on, such a tensor's buffer and data are stale: nothing may read or write
//   them. It may only be part of a graph that a scheduler splits again,
//   which places it anew, so its inputs must be set again.
// - Splitting a graph takes back what any scheduler, this one or another,
//   placed for its tensors; memory the caller placed stays. A scheduler
//   whose graph lost tensors that way finds out before it computes the
//   graph again: it allocates it again when it lost only nodes it computes
//   (its inputs keep the values set before the compute), and returns
//   TEVO_STATUS_FAILED with a log line when it lost an input or another leaf
//   (allocate it again and set its inputs). A split that places nothing
//   (reserve, reserve_size, a failed allocation) takes them too.
// - A view whose source lies outside the graph reads the source where it
//   is: memory the caller placed, or memory another scheduler holds for its
//   current graph (a compute after that scheduler split again returns
//   TEVO_STATUS_FAILED). A source this scheduler placed, or one placed for
//   a graph its scheduler no longer holds, makes the allocation fail; its
//   memory, maybe freed, is not read (reserve and reserve_size count such a
//   view as host memory).
// - Placements are known by a mark in the tensor record's spare bytes
//   (padding), which the caller leaves alone.
// - A compute of a graph other than the one allocated last (or one rebuilt
//   since) splits and allocates it first, as a compute after a reset does.
// - After a compute, the values kept are those of the tensors flagged with
//   tevo_set_output, of the nodes no later node of the graph reads, and of
//   memory the caller placed. Any other tensor's memory may have been taken
//   by a later node once its last reader ran (an element-wise node may write
//   over its source), so flag every tensor read after the compute.

#define TEVO_SCHED_MAX_BACKENDS 16

typedef struct tevo_backend_sched * tevo_backend_sched_t;

// Asked before each node with ask = true: true means the caller wants to see
// the node's result. The nodes up to the wanted one are then computed, and the
// callback is called again with ask = false; returning false there abandons
// the rest of the split.
typedef bool (*tevo_backend_sched_eval_callback)(struct tevo_tensor * t, bool ask, void * user_data);

// bufts may be NULL (each backend's default buffer type); parallel keeps four
// copies of every split input so that consecutive graphs can overlap
TEVO_API tevo_backend_sched_t tevo_backend_sched_new(tevo_backend_t * backends, tevo_backend_buffer_type_t * bufts,
                                                     int n_backends, size_t graph_size, bool parallel,
                                                     bool op_offload);
// the tensors it placed keep stale buffer and data (see above); a graph
// computed asynchronously must still exist
TEVO_API void                 tevo_backend_sched_free(tevo_backend_sched_t sched);

// sizes the compute buffers for a worst-case graph, then resets; what an
// earlier allocation placed is stale afterwards
TEVO_API bool tevo_backend_sched_reserve(tevo_backend_sched_t sched, struct tevo_cgraph * measure_graph);
// the bytes each backend's compute buffer would need, without allocating
TEVO_API void tevo_backend_sched_reserve_size(tevo_backend_sched_t sched, struct tevo_cgraph * measure_graph,
                                              size_t * sizes);

TEVO_API int                        tevo_backend_sched_get_n_backends(tevo_backend_sched_t sched);
TEVO_API tevo_backend_t             tevo_backend_sched_get_backend(tevo_backend_sched_t sched, int i);
TEVO_API int                        tevo_backend_sched_get_n_splits(tevo_backend_sched_t sched);
TEVO_API int                        tevo_backend_sched_get_n_copies(tevo_backend_sched_t sched);
TEVO_API tevo_backend_buffer_type_t tevo_backend_sched_get_buffer_type(tevo_backend_sched_t sched,
                                                                       tevo_backend_t backend);
TEVO_API size_t tevo_backend_sched_get_buffer_size(tevo_backend_sched_t sched, tevo_backend_t backend);

// pins a node to a backend until the next reset; a view (or a view leaf)
// stays where its memory is, its source's buffer or backend, whatever it or
// its source was pinned to
TEVO_API void           tevo_backend_sched_set_tensor_backend(tevo_backend_sched_t sched, struct tevo_tensor * node,
                                                              tevo_backend_t backend);
// NULL for a node without one, and for every node after a reset
TEVO_API tevo_backend_t tevo_backend_sched_get_tensor_backend(tevo_backend_sched_t sched, struct tevo_tensor * node);

// splits and allocates the graph; false, with the graph left as built, when
// the memory cannot be had. The caller sets the graph's inputs after this.
// With a graph allocated already (and no reset since) it is a reset followed
// by the allocation; otherwise it keeps, of the assignments an earlier split
// made (reserve_size, a failed allocation), only the pins given since the
// last reset.
TEVO_API bool             tevo_backend_sched_alloc_graph(tevo_backend_sched_t sched, struct tevo_cgraph * graph);
TEVO_API enum tevo_status tevo_backend_sched_graph_compute(tevo_backend_sched_t sched, struct tevo_cgraph * graph);
TEVO_API enum tevo_status tevo_backend_sched_graph_compute_async(tevo_backend_sched_t sched,
                                                                 struct tevo_cgraph * graph);
TEVO_API void             tevo_backend_sched_synchronize(tevo_backend_sched_t sched);

// forgets assignments and copies for the next graph; the compute buffers and
// what was placed in them stay
TEVO_API void tevo_backend_sched_reset(tevo_backend_sched_t sched);

TEVO_API void tevo_backend_sched_set_eval_callback(tevo_backend_sched_t sched,
                                                   tevo_backend_sched_eval_callback callback, void * user_data);

#ifdef __cplusplus
}
#endif
