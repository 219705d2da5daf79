#pragma once

// Internal declarations shared by the tensor library's sources.

#include "tevo.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TEVO_LOG_DEBUG(...) tevo_log_internal(TEVO_LOG_LEVEL_DEBUG, __VA_ARGS__)
#define TEVO_LOG_INFO(...)  tevo_log_internal(TEVO_LOG_LEVEL_INFO,  __VA_ARGS__)
#define TEVO_LOG_WARN(...)  tevo_log_internal(TEVO_LOG_LEVEL_WARN,  __VA_ARGS__)
#define TEVO_LOG_ERROR(...) tevo_log_internal(TEVO_LOG_LEVEL_ERROR, __VA_ARGS__)

#define TEVO_MAX(a, b) ((a) > (b) ? (a) : (b))
#define TEVO_MIN(a, b) ((a) < (b) ? (a) : (b))

// bytes of alignment of tensor data inside backend buffers
#define TENSOR_ALIGNMENT 32

struct tevo_context {
    size_t mem_size;
    void * mem_buffer;
    bool   mem_buffer_owned;
    bool   no_alloc;

    int n_objects;

    struct tevo_object * objects_begin;
    struct tevo_object * objects_end;
};

// Heap allocation of the library: 0 bytes warns and yields NULL, exhaustion
// is fatal. The caller's name goes into the failure line.
void * tevo_malloc_impl(size_t size, const char * func);
void * tevo_calloc_impl(size_t num, size_t size, const char * func);
#define tevo_malloc(size)      tevo_malloc_impl(size, __func__)
#define tevo_calloc(num, size) tevo_calloc_impl(num, size, __func__)

// The core of every tensor creation: optional view source and byte offset.
struct tevo_tensor * tevo_new_tensor_impl(struct tevo_context * ctx, enum tevo_type type, int n_dims,
                                          const int64_t * ne, struct tevo_tensor * view_src, size_t view_offs);

// --- critical section (backend/host-buffer.cpp)
// One process-wide mutex around one-time set-ups; not re-entrant.
TEVO_API void tevo_critical_section_start(void);
TEVO_API void tevo_critical_section_end(void);

// --- thread-pool parameters (threadpool-params.cpp)
// The priority a caller stored, read as the integer it is: any value may be
// stored there, and one outside the enumeration must not be loaded as it.
static inline int32_t tevo_threadpool_params_priority(const struct tevo_threadpool_params * p) {
    static_assert(sizeof(p->priority) == sizeof(int32_t), "the priority is a 32-bit integer");
    int32_t value;
    memcpy(&value, &p->priority, sizeof(value));
    return value;
}

// ---------------------------------------------------------------------------
// operator parameter words

static inline void tevo_set_op_params_impl(struct tevo_tensor * tensor, const void * params, size_t params_size,
                                           int line) {
    if (tensor == NULL) {
        tevo_abort("tevo/src/tevo-impl", line, "TEVO_ASSERT(%s) failed", "tensor != NULL");
    }
    if (params_size > TEVO_MAX_OP_PARAMS) {
        tevo_abort("tevo/src/tevo-impl", line, "TEVO_ASSERT(%s) failed", "params_size <= TEVO_MAX_OP_PARAMS");
    }
    memcpy(tensor->op_params, params, params_size);
}
#define tevo_set_op_params(tensor, params, size) tevo_set_op_params_impl(tensor, params, size, __LINE__)

static inline int32_t tevo_get_op_params_i32(const struct tevo_tensor * tensor, uint32_t i) {
    return tensor->op_params[i];
}

static inline float tevo_get_op_params_f32(const struct tevo_tensor * tensor, uint32_t i) {
    float v;
    memcpy(&v, &tensor->op_params[i], sizeof(v));
    return v;
}

static inline void tevo_set_op_params_i32(struct tevo_tensor * tensor, uint32_t i, int32_t value) {
    tensor->op_params[i] = value;
}

static inline void tevo_set_op_params_f32(struct tevo_tensor * tensor, uint32_t i, float value) {
    memcpy(&tensor->op_params[i], &value, sizeof(value));
}

// 64-bit values and pointers take two words, low half first
static inline void tevo_set_op_params_u64(struct tevo_tensor * tensor, uint32_t i, uint64_t value) {
    tensor->op_params[i]     = (int32_t) (uint32_t) (value & 0xFFFFFFFFu);
    tensor->op_params[i + 1] = (int32_t) (uint32_t) (value >> 32);
}

static inline uint64_t tevo_get_op_params_u64(const struct tevo_tensor * tensor, uint32_t i) {
    return (uint64_t) (uint32_t) tensor->op_params[i] | ((uint64_t) (uint32_t) tensor->op_params[i + 1] << 32);
}

// ---------------------------------------------------------------------------
// half and brain-float conversions, inline for the kernels

static inline float tevo_fp32_from_bits(uint32_t w) {
    float f;
    memcpy(&f, &w, sizeof(f));
    return f;
}

static inline uint32_t tevo_fp32_to_bits(float f) {
    uint32_t w;
    memcpy(&w, &f, sizeof(w));
    return w;
}

static inline float tevo_compute_fp16_to_fp32(tevo_fp16_t h) {
    const uint32_t w     = (uint32_t) h << 16;
    const uint32_t sign  = w & UINT32_C(0x80000000);
    const uint32_t two_w = w + w;

    const uint32_t exp_offset = UINT32_C(0xE0) << 23;
    const float    exp_scale  = tevo_fp32_from_bits(UINT32_C(0x7800000)); // 2^-112
    const float    normalized_value = tevo_fp32_from_bits((two_w >> 4) + exp_offset) * exp_scale;

    const uint32_t magic_mask = UINT32_C(126) << 23;
    const float    magic_bias = 0.5f;
    const float    denormalized_value = tevo_fp32_from_bits((two_w >> 17) | magic_mask) - magic_bias;

    const uint32_t denormalized_cutoff = UINT32_C(1) << 27;
    const uint32_t result = sign | (two_w < denormalized_cutoff ? tevo_fp32_to_bits(denormalized_value)
                                                                : tevo_fp32_to_bits(normalized_value));
    return tevo_fp32_from_bits(result);
}

static inline tevo_fp16_t tevo_compute_fp32_to_fp16(float f) {
    const float scale_to_inf  = tevo_fp32_from_bits(UINT32_C(0x77800000)); // 2^112
    const float scale_to_zero = tevo_fp32_from_bits(UINT32_C(0x08800000)); // 2^-110
    float base = (fabsf(f) * scale_to_inf) * scale_to_zero;

    const uint32_t w      = tevo_fp32_to_bits(f);
    const uint32_t shl1_w = w + w;
    const uint32_t sign   = w & UINT32_C(0x80000000);
    uint32_t       bias   = shl1_w & UINT32_C(0xFF000000);
    if (bias < UINT32_C(0x71000000)) {
        bias = UINT32_C(0x71000000);
    }

    base = tevo_fp32_from_bits((bias >> 1) + UINT32_C(0x07800000)) + base;
    const uint32_t bits          = tevo_fp32_to_bits(base);
    const uint32_t exp_bits      = (bits >> 13) & UINT32_C(0x00007C00);
    const uint32_t mantissa_bits = bits & UINT32_C(0x00000FFF);
    const uint32_t nonsign       = exp_bits + mantissa_bits;
    return (tevo_fp16_t) ((sign >> 16) | (shl1_w > UINT32_C(0xFF000000) ? UINT16_C(0x7E00) : nonsign));
}

static inline float tevo_compute_bf16_to_fp32(tevo_bf16_t h) {
    return tevo_fp32_from_bits((uint32_t) h.bits << 16);
}

static inline tevo_bf16_t tevo_compute_fp32_to_bf16(float s) {
    tevo_bf16_t    h;
    const uint32_t w = tevo_fp32_to_bits(s);
    if ((w & 0x7fffffff) > 0x7f800000) { // NaN: keep sign and upper payload, force quiet
        h.bits = (uint16_t) ((w >> 16) | 64);
        return h;
    }
    h.bits = (uint16_t) ((w + (0x7fff + ((w >> 16) & 1))) >> 16);
    return h;
}

#define TEVO_FP16_TO_FP32(x) tevo_compute_fp16_to_fp32(x)
#define TEVO_FP32_TO_FP16(x) tevo_compute_fp32_to_fp16(x)
#define TEVO_BF16_TO_FP32(x) tevo_compute_bf16_to_fp32(x)
#define TEVO_FP32_TO_BF16(x) tevo_compute_fp32_to_bf16(x)

// --- computation graphs

// occupancy bitset of a hash set: one bit per slot in 32-bit words
typedef uint32_t tevo_bitset_t;

static inline size_t tevo_bitset_size(size_t n) {
    return (n + 31) >> 5;
}

static inline bool tevo_bitset_get(const tevo_bitset_t * bitset, size_t i) {
    return (bitset[i >> 5] & (1u << (i & 31))) != 0;
}

static inline void tevo_bitset_set(tevo_bitset_t * bitset, size_t i) {
    bitset[i >> 5] |= (1u << (i & 31));
}

static inline void tevo_bitset_clear(tevo_bitset_t * bitset, size_t i) {
    bitset[i >> 5] &= ~(1u << (i & 31));
}

// open addressing over tensor pointers; the slot of a tensor indexes the
// per-tensor arrays of whoever owns the set
struct tevo_hash_set {
    size_t                size;
    tevo_bitset_t *       used;
    struct tevo_tensor ** keys;
};

#define TEVO_HASHSET_FULL           ((size_t) -1)
#define TEVO_HASHSET_ALREADY_EXISTS ((size_t) -2)

size_t               tevo_hash_size(size_t min_sz);
struct tevo_hash_set tevo_hash_set_new(size_t size);
void                 tevo_hash_set_free(struct tevo_hash_set * hash_set);
void                 tevo_hash_set_reset(struct tevo_hash_set * hash_set);

// tensors sit on 16-byte boundaries, so the low 4 address bits carry nothing
static inline size_t tevo_hash(const struct tevo_tensor * p) {
    return (size_t) (uintptr_t) p >> 4;
}

// slot of the key, or the free slot where it would go, or TEVO_HASHSET_FULL
static inline size_t tevo_hash_find(const struct tevo_hash_set * hash_set, const struct tevo_tensor * key) {
    if (hash_set->size == 0) {
        return TEVO_HASHSET_FULL;
    }
    const size_t h = tevo_hash(key) % hash_set->size;
    size_t       i = h;
    do {
        if (!tevo_bitset_get(hash_set->used, i) || hash_set->keys[i] == key) {
            return i;
        }
        i = (i + 1 == hash_set->size) ? 0 : i + 1;
    } while (i != h);
    return TEVO_HASHSET_FULL;
}

static inline bool tevo_hash_contains(const struct tevo_hash_set * hash_set, const struct tevo_tensor * key) {
    const size_t i = tevo_hash_find(hash_set, key);
    return i != TEVO_HASHSET_FULL && tevo_bitset_get(hash_set->used, i);
}

// slot taken for the key, or TEVO_HASHSET_ALREADY_EXISTS; a full set is fatal
size_t tevo_hash_insert(struct tevo_hash_set * hash_set, struct tevo_tensor * key);

// slot of the key, inserting it when absent; a full set is fatal
size_t tevo_hash_find_or_insert(struct tevo_hash_set * hash_set, struct tevo_tensor * key);

struct tevo_cgraph {
    int32_t size;    // capacity of nodes and of leafs
    int32_t n_nodes;
    int32_t n_leafs;

    struct tevo_tensor ** nodes;     // in execution order
    struct tevo_tensor ** grads;     // per hash slot, or NULL
    struct tevo_tensor ** grad_accs; // per hash slot, or NULL
    struct tevo_tensor ** leafs;
    int32_t *             use_counts; // per hash slot

    struct tevo_hash_set visited_hash_set;

    enum tevo_cgraph_eval_order order;

    uint64_t uid;
};

// nodes [i0, i1) of a graph; shares the graph's visited set and use counts
TEVO_API struct tevo_cgraph tevo_graph_view(struct tevo_cgraph * cgraph, int i0, int i1);

// how many source slots of the graph's nodes read node node_idx
static inline int tevo_node_get_use_count(const struct tevo_cgraph * cgraph, int node_idx) {
    const struct tevo_tensor * node = cgraph->nodes[node_idx];
    const size_t               pos  = tevo_hash_find(&cgraph->visited_hash_set, node);
    if (pos == TEVO_HASHSET_FULL || !tevo_bitset_get(cgraph->visited_hash_set.used, pos)) {
        return 0;
    }
    return cgraph->use_counts[pos];
}

// whether nodes node_idxs[0..count) with operators ops may be computed as one
// fused kernel; only the listed outputs may be read outside the run
TEVO_API bool tevo_can_fuse_subgraph_ext(const struct tevo_cgraph * cgraph, const int * node_idxs, int count,
                                         const enum tevo_op * ops, const int * outputs, int num_outputs);

// --- automatic differentiation (autodiff.cpp)
// Add a contribution to the gradient of the tensor in hash slot isrc (in
// place when the slot has an accumulator), subtract it, or add a scalar to
// every element; the first contribution becomes the gradient (negated, or
// broadcast to the tensor's shape).
void tevo_add_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc, struct tevo_tensor * tensor);
void tevo_sub_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc, struct tevo_tensor * tensor);
void tevo_add1_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc, struct tevo_tensor * tensor);

// --- custom operator record
// Laid over the first words of a custom node's op_params: fn in words 0-1,
// n_tasks in word 2, word 3 unused, user_data in words 4-5.
struct tevo_custom_call {
    union {
        tevo_map1_fn   map1;
        tevo_map2_fn   map2;
        tevo_map3_fn   map3;
        tevo_custom_fn custom;
    } fn;
    int32_t n_tasks;
    int32_t unused;
    void *  user_data;
};

// --- constructor predicates
// Shape tests shared by the graph-building operators.

// x is a whole multiple of m; only 0 is a multiple of 0 (no division by zero)
static inline bool tevo_is_multiple(int64_t x, int64_t m) {
    return m == 0 ? x == 0 : x % m == 0;
}

// an assertion reported under a given text, for conditions whose literal
// form would divide by zero on empty tensors or wrap around
#define TEVO_ASSERT_AS(cond, text)                          \
    do {                                                    \
        if (!(cond)) {                                      \
            TEVO_ABORT("TEVO_ASSERT(%s) failed", text);     \
        }                                                   \
    } while (0)

// b broadcasts over a by whole rows
static inline bool tevo_can_repeat_rows(const struct tevo_tensor * b, const struct tevo_tensor * a) {
    return b->ne[0] == a->ne[0] && tevo_can_repeat(b, a);
}

// rows may be padded; elements and everything above rows are packed
static inline bool tevo_is_padded_1d(const struct tevo_tensor * a) {
    return a->nb[0] == tevo_type_size(a->type) && a->nb[2] == a->nb[1] * a->ne[1] &&
           a->nb[3] == a->nb[2] * a->ne[2];
}

static inline bool tevo_can_mul_mat(const struct tevo_tensor * a, const struct tevo_tensor * b) {
    return a->ne[0] == b->ne[0] && tevo_is_multiple(b->ne[2], a->ne[2]) && tevo_is_multiple(b->ne[3], a->ne[3]);
}

static inline bool tevo_can_out_prod(const struct tevo_tensor * a, const struct tevo_tensor * b) {
    return a->ne[1] == b->ne[1] && tevo_is_multiple(b->ne[2], a->ne[2]) && tevo_is_multiple(b->ne[3], a->ne[3]);
}

// The window that SET and ACC write b into (offset, element stride of a,
// strides nb1..nb3, b's extents) ends inside a's bytes. An empty b writes
// nothing; an end that overflows 64 bits does not fit.
static inline bool tevo_window_fits(const struct tevo_tensor * a, const struct tevo_tensor * b, size_t nb1,
                                    size_t nb2, size_t nb3, size_t offset) {
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        if (b->ne[i] <= 0) {
            return true;
        }
    }
    const uint64_t blck = (uint64_t) tevo_blck_size(a->type);
    uint64_t       row;
    if (blck == 0 || __builtin_mul_overflow((uint64_t) b->ne[0], (uint64_t) tevo_type_size(a->type), &row)) {
        return false;
    }
    uint64_t       end       = row / blck;
    const uint64_t strides[] = { nb1, nb2, nb3 };
    if (__builtin_add_overflow(end, (uint64_t) offset, &end)) {
        return false;
    }
    for (int i = 1; i < TEVO_MAX_DIMS; ++i) {
        uint64_t span;
        if (__builtin_mul_overflow((uint64_t) (b->ne[i] - 1), strides[i - 1], &span) ||
            __builtin_add_overflow(end, span, &end)) {
            return false;
        }
    }
    return end <= (uint64_t) tevo_nbytes(a);
}

// A view's bytes, from its offset to the end of its last block under its own
// strides, lie inside its root's data. An empty view reads nothing; an end
// that overflows 64 bits does not fit.
static inline bool tevo_view_fits_root(const struct tevo_tensor * view) {
    if (view->view_src == NULL) {
        return true;
    }
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        if (view->ne[i] <= 0) {
            return true;
        }
    }
    const int64_t blck = tevo_blck_size(view->type);
    uint64_t      end  = (uint64_t) view->view_offs;
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        // dimension 0 steps by blocks
        const int64_t n = i == 0 ? view->ne[0] / blck : view->ne[i];
        uint64_t      span;
        if (__builtin_mul_overflow((uint64_t) (n - 1), (uint64_t) view->nb[i], &span) ||
            __builtin_add_overflow(end, span, &end)) {
            return false;
        }
    }
    if (__builtin_add_overflow(end, (uint64_t) tevo_type_size(view->type), &end)) {
        return false;
    }
    return end <= (uint64_t) tevo_nbytes(view->view_src);
}

#ifdef __cplusplus
}
#endif
