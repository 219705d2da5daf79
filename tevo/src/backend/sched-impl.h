#pragma once

// The scheduler record, shared by the splitting step and by the creation,
// allocation and execution code.

#include "tevo-alloc.h"
#include "backend/impl.h"
#include "tevo-backend.h"
#include "core/impl.h"

#include <array>
#include <atomic>
#include <string.h>
#include <unordered_map>
#include <vector>

#define TEVO_SCHED_MAX_COPIES 4

// records per unit of graph size in the scheduler's own context (copies,
// input views and dependency views) and combined-graph positions per unit
#define TEVO_SCHED_CTX_RECORDS_PER_NODE 60
#define TEVO_SCHED_IDS_PER_NODE         61

struct tevo_backend_sched_split {
    int backend_id;
    int i_start;
    int i_end;

    struct tevo_tensor ** inputs;
    int                   n_inputs;
    int                   inputs_capacity;

    // nodes [i_start, i_end) of the caller's graph
    struct tevo_cgraph graph;
};

// tensors a backend asked to keep alive until a node of its split has run
typedef std::unordered_map<const struct tevo_tensor *, std::vector<struct tevo_tensor *>> tevo_sched_deps;

// The caller's own sources of a node that the last split pointed at copies,
// and the copies (both NULL for the other slots)
struct tevo_sched_redirect {
    std::array<struct tevo_tensor *, TEVO_MAX_SRC> own  = {};
    std::array<struct tevo_tensor *, TEVO_MAX_SRC> copy = {};
};

// Placement marks. A tensor of the caller's graph that the graph allocator
// placed for a scheduler carries the serial of that allocation in its record
// (the spare bytes at its end). The serial names the memory's owner even when
// the scheduler that placed it, and the buffer it points at, are gone: a
// mark that is no live scheduler's current serial is stale, and its tensor
// must be placed anew before anything reads its buffer. Serials come from
// one process-wide counter and never repeat; 0 means no mark.
static_assert(sizeof(((struct tevo_tensor *) 0)->padding) >= sizeof(uint64_t), "room for a placement mark");

static inline uint64_t tevo_sched_mark(const struct tevo_tensor * t) {
    uint64_t mark;
    memcpy(&mark, t->padding, sizeof(mark));
    return mark;
}

static inline void tevo_sched_set_mark(struct tevo_tensor * t, uint64_t mark) {
    memcpy(t->padding, &mark, sizeof(mark));
}

struct tevo_backend_sched {
    bool is_reset;
    bool is_alloc;

    int n_backends;

    tevo_backend_t             backends[TEVO_SCHED_MAX_BACKENDS];
    tevo_backend_buffer_type_t bufts[TEVO_SCHED_MAX_BACKENDS];
    tevo_gallocr_t             galloc;

    // every tensor seen since the last reset; the slot indexes the arrays below
    struct tevo_hash_set hash_set;
    int *                hv_tensor_backend_ids;
    struct tevo_tensor ** hv_tensor_copies; // [slot][backend][copy]

    // backend of each position of the combined graph, for this split and the one before
    int * node_backend_ids;
    int * leaf_backend_ids;
    int * prev_node_backend_ids;
    int * prev_leaf_backend_ids;

    struct tevo_cgraph graph;

    struct tevo_backend_sched_split * splits;
    int                               n_splits;
    int                               splits_capacity;

    // pipeline parallelism: every copy exists once per slot
    int n_copies;
    int cur_copy;
    int next_copy;

    tevo_backend_event_t events[TEVO_SCHED_MAX_BACKENDS][TEVO_SCHED_MAX_COPIES];

    struct tevo_tensor ** graph_inputs;
    int                   n_graph_inputs;
    int                   graph_inputs_capacity;

    struct tevo_context * ctx;

    tevo_backend_sched_eval_callback callback_eval;
    void *                           callback_eval_user_data;

    char * context_buffer;
    size_t context_buffer_size;

    bool op_offload;

    int debug;
    int debug_realloc;
    int graph_size;
    int prev_graph_size;

    // entries of each backend-id array above (they grow with the combined graph)
    int backend_ids_size;

    // dependency lists handed in by the backends' graph_prepare, per node
    tevo_sched_deps deps;

    // the nodes of the last split that read copies; they read them only
    // inside a call (planning, computing) and, after an asynchronous
    // compute, until the next synchronize or scheduler call
    std::unordered_map<struct tevo_tensor *, struct tevo_sched_redirect> redirects;
    bool at_copies = false;
    // while the splits run: an eval callback's queries must not end the compute
    bool computing = false;

    // serial of the placements of the last allocated graph, 0 from the start
    // of a split until an allocation succeeds (read by other schedulers)
    std::atomic<uint64_t> place_serial{ 0 };

    // The graph the last allocation placed, known by its record and a hash
    // of its node and leaf records: a compute of any
    // other graph splits and allocates first. Its tensors this scheduler
    // placed, and the view sources outside it that another scheduler placed
    // (with that scheduler's mark), are checked before each compute.
    const struct tevo_cgraph *                          alloc_graph = nullptr;
    uint64_t                                            alloc_hash  = 0;
    std::vector<struct tevo_tensor *>                   placed;
    std::vector<std::pair<struct tevo_tensor *, uint64_t>> outside;
    // a view of the last split whose source outside the graph no live
    // scheduler holds: its allocation is refused. Such sources may point at
    // freed buffer records: the split reads their marks only, and a sizing
    // counts their views as host memory.
    struct tevo_tensor *                     refused_view = nullptr;
    std::vector<const struct tevo_tensor *> stale_sources;

    // a reset of an allocated graph keeps its splits and placement for a
    // compute of that same graph; the reset's clearing waits until another
    // graph is split or an assignment is asked for
    bool alloc_kept    = false;
    bool clear_pending = false;

    // the pins given since the last reset, and whether a split since then
    // filled in the other assignments: tensors made since may have the
    // addresses of that split's records, so an allocation keeps only the pins
    std::vector<std::pair<const struct tevo_tensor *, int>> pins;
    bool                                                    split_assigned = false;
};

// hash slot of a tensor, inserting it when absent
static inline size_t tevo_sched_hash_id(struct tevo_backend_sched * sched, const struct tevo_tensor * tensor) {
    return tevo_hash_find_or_insert(&sched->hash_set, (struct tevo_tensor *) tensor);
}

static inline int * tevo_sched_tensor_backend_id(struct tevo_backend_sched * sched, const struct tevo_tensor * tensor) {
    return &sched->hv_tensor_backend_ids[tevo_sched_hash_id(sched, tensor)];
}

static inline struct tevo_tensor ** tevo_sched_tensor_id_copy(struct tevo_backend_sched * sched, size_t id,
                                                              int backend_id, int copy_id) {
    return &sched->hv_tensor_copies[(id * sched->n_backends + backend_id) * sched->n_copies + copy_id];
}

static inline struct tevo_tensor ** tevo_sched_tensor_copy(struct tevo_backend_sched * sched,
                                                           const struct tevo_tensor * tensor, int backend_id,
                                                           int copy_id) {
    return tevo_sched_tensor_id_copy(sched, tevo_sched_hash_id(sched, tensor), backend_id, copy_id);
}

static inline bool tevo_sched_is_view_op(enum tevo_op op) {
    return op == TEVO_OP_VIEW || op == TEVO_OP_RESHAPE || op == TEVO_OP_PERMUTE || op == TEVO_OP_TRANSPOSE;
}

// whether mark is the current serial of a live scheduler other than sched
bool tevo_sched_mark_held_elsewhere(const struct tevo_backend_sched * sched, uint64_t mark);

// forgets assignments and copies (what a reset drops)
void tevo_sched_clear(struct tevo_backend_sched * sched);

// assigns backends, cuts the splits, makes the input copies and builds the
// combined graph
void tevo_backend_sched_split_graph(struct tevo_backend_sched * sched, struct tevo_cgraph * graph);
