#pragma once

// Records and functions shared by the meta backend's sources: the meta
// device, its buffer type, its buffers with their per-device sub-tensors,
// split-state inference and the meta backend.

#include "tevo-meta.h"

#include "backend/impl.h"
#include "core/impl.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

typedef struct tevo_backend_meta_split_state meta_split_state;

// base of every meta buffer and data address of tensors placed in bulk; never
// dereferenced, real data lives only in the sub-tensors
#define TEVO_META_BUFFER_BASE ((uintptr_t) 0x1000000000000000ull)
#define TEVO_META_BULK_DATA   ((uintptr_t) 0x2000000000000000ull)

// ---------------------------------------------------------------------------
// split states

static inline bool meta_axis_is_split(enum tevo_backend_meta_split_axis axis) {
    return axis >= TEVO_BACKEND_SPLIT_AXIS_0 && axis <= TEVO_BACKEND_SPLIT_AXIS_3;
}

// bytes of one block along a split axis of a contiguous tensor: the whole
// extent of the axis times the elements below it
static inline size_t meta_axis_bytes(const struct tevo_tensor * t, int axis) {
    if (axis == 0) {
        return tevo_row_size(t->type, t->ne[0]);
    }
    return t->nb[axis] * (size_t) t->ne[axis];
}

// a plain state of one segment without extents
meta_split_state meta_split_state_plain(enum tevo_backend_meta_split_axis axis);

// device j's total extent along the axis over all segments and repeats
int64_t meta_share(const meta_split_state & ss, size_t n_bufs, size_t j);

// The state of a tensor in a meta buffer: with sync clear as its node leaves
// the devices (before any all-reduce), with sync set as later nodes see it.
meta_split_state meta_get_split_state(const struct tevo_tensor * tensor, bool sync);

// fields from the element type through the extra pointer
bool meta_tensor_records_equal(const struct tevo_tensor & a, const struct tevo_tensor & b);

// ---------------------------------------------------------------------------
// device

struct meta_device_context {
    std::vector<tevo_backend_dev_t>        simple_devs;
    tevo_backend_meta_split_state_callback get_split_state;
    void *                                 get_split_state_ud;
    std::string                            name;
    std::string                            description;
};

bool                  tevo_backend_dev_is_meta(tevo_backend_dev_t dev);
meta_device_context * meta_dev_ctx(tevo_backend_dev_t dev);

// ---------------------------------------------------------------------------
// buffer type

struct meta_buffer_type_context {
    std::vector<tevo_backend_buffer_type_t> simple_bufts;
    std::string                             name;
};

meta_buffer_type_context *              meta_buffer_type_context_new(const std::vector<tevo_backend_buffer_type_t> & bufts);
const struct tevo_backend_buffer_type_i & meta_buffer_type_iface(void);

// ---------------------------------------------------------------------------
// buffers

// Sub-tensor records of one kind, one list of no-allocation contexts per
// device that grows when full, and the sub-tensors of each meta tensor.
struct meta_tensor_set {
    std::vector<std::vector<struct tevo_context *>> ctxs;
    std::vector<size_t>                             active; // context being filled, per device
    size_t                                          tensors_per_ctx = 0;
    std::map<const struct tevo_tensor *, std::vector<struct tevo_tensor *>> subs;
};

struct meta_split_cache_entry {
    meta_split_state   state;
    struct tevo_tensor record;
};

// what the devices hold of a node after the meta backend computed it, where
// that differs from the inferred state
struct meta_device_state_entry {
    enum tevo_backend_meta_split_axis axis;
    struct tevo_tensor                record;
};

struct meta_buffer_context {
    meta_tensor_set persistent;
    meta_tensor_set temp[2];
    int             temp_cur  = 0;
    int             temp_next = 0;

    std::vector<tevo_backend_buffer_t> bufs;

    std::map<std::pair<const struct tevo_tensor *, bool>, meta_split_cache_entry> split_cache;
    std::map<const struct tevo_tensor *, meta_device_state_entry>                 device_states;

    int meta_debug = 0;
};

meta_buffer_context *                meta_buffer_context_new(size_t n_bufs, size_t persistent_cap, size_t temp_cap);
// frees the simple buffers and the sub-tensor sets too
void                                 meta_buffer_context_free(meta_buffer_context * ctx);
const struct tevo_backend_buffer_i & meta_buffer_iface(void);

// makes T's sub-tensors into a set (replacing earlier ones)
void meta_create_sub_tensors(struct tevo_tensor * tensor, meta_tensor_set & set);

// the transfer slots (scatter and gather by split state)
void meta_buffer_set_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                            size_t offset, size_t size);
void meta_buffer_get_tensor(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                            size_t offset, size_t size);
void meta_buffer_memset_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, uint8_t value,
                               size_t offset, size_t size);

// T's sub-tensor on a device, remade when its temporary set was recycled
// while T stayed placed; NULL when T was never placed
struct tevo_tensor * meta_simple_tensor(const struct tevo_tensor * tensor, size_t index);

// remakes T's sub-tensors when they are gone or read sub-tensors its sources
// no longer have; sources first, as a graph orders them
void meta_refresh_sub_tensors(struct tevo_tensor * tensor);

size_t meta_buffer_n_bufs(tevo_backend_buffer_t buffer);

// The state of what the devices hold now: the inferred state with sync clear,
// unless the meta backend recorded otherwise for this node.
meta_split_state meta_device_state(const struct tevo_tensor * tensor);
void             meta_set_device_state(const struct tevo_tensor * tensor, enum tevo_backend_meta_split_axis axis);

// Before a graph is prepared: recycles the temporary set that does not hold
// the graph's sub-tensors, so the graph's own stay valid.
void meta_buffer_begin_graph(tevo_backend_buffer_t buffer, const struct tevo_cgraph * cgraph);

// ---------------------------------------------------------------------------
// backend

struct meta_backend_config {
    tevo_backend_t                     backend = nullptr;
    std::vector<struct tevo_cgraph *>  subgraphs;
    std::vector<struct tevo_tensor *>  nodes;       // per node of the prepared graph
    std::vector<tevo_backend_buffer_t> reduce_bufs; // one per reduce step
};

struct meta_subgraph {
    int  start;  // first node
    int  end;    // last node
    bool reduce; // its end node holds partial sums
};

struct meta_backend_context {
    std::string                      name;
    std::vector<meta_backend_config> cfgs;

    struct tevo_context *              ctx = nullptr;
    std::vector<struct tevo_cgraph *>  step_graphs;
    std::vector<struct tevo_tensor *>  step_tensors;

    int n_reduce_steps = 0;

    int                        node_capacity = 0;
    size_t                     reduce_size   = 0;
    int                        max_subgraphs = 0;
    std::vector<meta_subgraph> subgraphs;
    uint64_t                   uid = 0;

    void *                               comm_ctx       = nullptr;
    tevo_backend_comm_allreduce_tensor_t comm_allreduce = nullptr;
};

// NULL when a device's backend cannot be made
tevo_backend_t   meta_backend_new(tevo_backend_dev_t meta_dev, const char * params);
enum tevo_status meta_backend_graph_compute(tevo_backend_t backend, struct tevo_cgraph * cgraph);

// sums the end node of subgraph s over the devices
enum tevo_status meta_allreduce(meta_backend_context * ctx, int s);
