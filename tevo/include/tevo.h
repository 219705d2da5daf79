#pragma once

// Tensor core: element types, contexts, tensors, operators, graphs, logging
// and timing. Plain C interface; the library itself is written in C++.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TEVO_API __attribute__((visibility("default")))

#define TEVO_MAX_DIMS           4
#define TEVO_MAX_PARAMS         2048
#define TEVO_MAX_SRC            10
#define TEVO_MAX_N_THREADS      512
#define TEVO_MAX_OP_PARAMS      64
#define TEVO_MAX_NAME           64
#define TEVO_DEFAULT_N_THREADS  4
#define TEVO_DEFAULT_GRAPH_SIZE 2048
#define TEVO_MEM_ALIGN          16
#define TEVO_N_TASKS_MAX        (-1)

#define TEVO_PAD(x, n) (((x) + (n) - 1) & ~((n) - 1))

#define TEVO_UNUSED(x) (void)(x)

// Every library source defines TEVO_SOURCE_PATH (its path without extension)
// so assertion texts name the unit, not the build tree.
#ifndef TEVO_SOURCE_PATH
#define TEVO_SOURCE_PATH __FILE__
#endif

#define TEVO_ABORT(...) tevo_abort(TEVO_SOURCE_PATH, __LINE__, __VA_ARGS__)
#define TEVO_ASSERT(x)                                                    \
    do {                                                                  \
        if (!(x)) {                                                       \
            tevo_abort(TEVO_SOURCE_PATH, __LINE__, "TEVO_ASSERT(%s) failed", #x); \
        }                                                                 \
    } while (0)

// ---------------------------------------------------------------------------
// status, logging, abort, timing

enum tevo_status {
    TEVO_STATUS_ALLOC_FAILED = -2,
    TEVO_STATUS_FAILED       = -1,
    TEVO_STATUS_SUCCESS      = 0,
    TEVO_STATUS_ABORTED      = 1,
};

enum tevo_log_level {
    TEVO_LOG_LEVEL_NONE  = 0,
    TEVO_LOG_LEVEL_DEBUG = 1,
    TEVO_LOG_LEVEL_INFO  = 2,
    TEVO_LOG_LEVEL_WARN  = 3,
    TEVO_LOG_LEVEL_ERROR = 4,
};

typedef void (*tevo_log_callback)(enum tevo_log_level level, const char * text, void * user_data);
typedef void (*tevo_abort_callback_t)(const char * error_message);
// asked by a CPU graph computation after each node; true stops it
typedef bool (*tevo_abort_callback)(void * data);

typedef uint8_t tevo_guid[16];
typedef tevo_guid * tevo_guid_t;

TEVO_API void tevo_log_internal(enum tevo_log_level level, const char * format, ...)
    __attribute__((format(printf, 2, 3)));
TEVO_API void tevo_log_set(tevo_log_callback callback, void * user_data);
TEVO_API void tevo_log_get(tevo_log_callback * callback, void ** user_data);
TEVO_API void tevo_log_callback_default(enum tevo_log_level level, const char * text, void * user_data);

TEVO_API void tevo_abort(const char * file, int line, const char * fmt, ...)
    __attribute__((noreturn, format(printf, 3, 4)));
TEVO_API tevo_abort_callback_t tevo_set_abort_callback(tevo_abort_callback_t callback);
TEVO_API void tevo_print_backtrace(void);

TEVO_API void * tevo_aligned_malloc(size_t size);
TEVO_API void   tevo_aligned_free(void * ptr, size_t size);

TEVO_API const char * tevo_status_to_string(enum tevo_status status);
TEVO_API const char * tevo_version(void);
TEVO_API const char * tevo_commit(void);

TEVO_API void    tevo_time_init(void);
TEVO_API int64_t tevo_time_ms(void);
TEVO_API int64_t tevo_time_us(void);
TEVO_API int64_t tevo_cycles(void);
TEVO_API int64_t tevo_cycles_per_ms(void);

TEVO_API FILE * tevo_fopen(const char * fname, const char * mode);

TEVO_API uint64_t tevo_graph_next_uid(void);
TEVO_API bool     tevo_guid_matches(tevo_guid_t guid_a, tevo_guid_t guid_b);

// ---------------------------------------------------------------------------
// element types

typedef uint16_t tevo_fp16_t;
typedef struct { uint16_t bits; } tevo_bf16_t;

enum tevo_type {
    TEVO_TYPE_F32     = 0,
    TEVO_TYPE_F16     = 1,
    TEVO_TYPE_Q4_0    = 2,
    TEVO_TYPE_Q4_1    = 3,
    // 4, 5 retired
    TEVO_TYPE_Q5_0    = 6,
    TEVO_TYPE_Q5_1    = 7,
    TEVO_TYPE_Q8_0    = 8,
    TEVO_TYPE_Q8_1    = 9,
    TEVO_TYPE_Q2_K    = 10,
    TEVO_TYPE_Q3_K    = 11,
    TEVO_TYPE_Q4_K    = 12,
    TEVO_TYPE_Q5_K    = 13,
    TEVO_TYPE_Q6_K    = 14,
    TEVO_TYPE_Q8_K    = 15,
    TEVO_TYPE_IQ2_XXS = 16,
    TEVO_TYPE_IQ2_XS  = 17,
    TEVO_TYPE_IQ3_XXS = 18,
    TEVO_TYPE_IQ1_S   = 19,
    TEVO_TYPE_IQ4_NL  = 20,
    TEVO_TYPE_IQ3_S   = 21,
    TEVO_TYPE_IQ2_S   = 22,
    TEVO_TYPE_IQ4_XS  = 23,
    TEVO_TYPE_I8      = 24,
    TEVO_TYPE_I16     = 25,
    TEVO_TYPE_I32     = 26,
    TEVO_TYPE_I64     = 27,
    TEVO_TYPE_F64     = 28,
    TEVO_TYPE_IQ1_M   = 29,
    TEVO_TYPE_BF16    = 30,
    // 31, 32, 33 retired
    TEVO_TYPE_TQ1_0   = 34,
    TEVO_TYPE_TQ2_0   = 35,
    // 36, 37, 38 retired
    TEVO_TYPE_MXFP4   = 39,
    TEVO_TYPE_NVFP4   = 40,
    TEVO_TYPE_Q1_0    = 41,
    TEVO_TYPE_Q2_0    = 42,
    TEVO_TYPE_COUNT   = 43,
};

enum tevo_ftype {
    TEVO_FTYPE_UNKNOWN        = -1,
    TEVO_FTYPE_ALL_F32        = 0,
    TEVO_FTYPE_MOSTLY_F16     = 1,
    TEVO_FTYPE_MOSTLY_Q4_0    = 2,
    TEVO_FTYPE_MOSTLY_Q4_1    = 3,
    TEVO_FTYPE_MOSTLY_Q4_1_SOME_F16 = 4,
    TEVO_FTYPE_MOSTLY_Q8_0    = 7,
    TEVO_FTYPE_MOSTLY_Q5_0    = 8,
    TEVO_FTYPE_MOSTLY_Q5_1    = 9,
    TEVO_FTYPE_MOSTLY_Q2_K    = 10,
    TEVO_FTYPE_MOSTLY_Q3_K    = 11,
    TEVO_FTYPE_MOSTLY_Q4_K    = 12,
    TEVO_FTYPE_MOSTLY_Q5_K    = 13,
    TEVO_FTYPE_MOSTLY_Q6_K    = 14,
    TEVO_FTYPE_MOSTLY_IQ2_XXS = 15,
    TEVO_FTYPE_MOSTLY_IQ2_XS  = 16,
    TEVO_FTYPE_MOSTLY_IQ3_XXS = 17,
    TEVO_FTYPE_MOSTLY_IQ1_S   = 18,
    TEVO_FTYPE_MOSTLY_IQ4_NL  = 19,
    TEVO_FTYPE_MOSTLY_IQ3_S   = 20,
    TEVO_FTYPE_MOSTLY_IQ2_S   = 21,
    TEVO_FTYPE_MOSTLY_IQ4_XS  = 22,
    TEVO_FTYPE_MOSTLY_IQ1_M   = 23,
    TEVO_FTYPE_MOSTLY_BF16    = 24,
    TEVO_FTYPE_MOSTLY_MXFP4   = 25,
    TEVO_FTYPE_MOSTLY_NVFP4   = 26,
    TEVO_FTYPE_MOSTLY_Q1_0    = 27,
    TEVO_FTYPE_MOSTLY_Q2_0    = 28,
};

typedef void (*tevo_to_float_t)(const void * x, float * y, int64_t k);
typedef void (*tevo_from_float_t)(const float * x, void * y, int64_t k);

struct tevo_type_traits {
    const char *      type_name;
    int64_t           blck_size;
    int64_t           blck_size_interleave; // 0 in every row
    size_t            type_size;
    bool              is_quantized;
    tevo_to_float_t   to_float;
    tevo_from_float_t from_float_ref;
};

TEVO_API const struct tevo_type_traits * tevo_get_type_traits(enum tevo_type type);

TEVO_API int64_t      tevo_blck_size(enum tevo_type type);
TEVO_API size_t       tevo_type_size(enum tevo_type type);
TEVO_API size_t       tevo_row_size(enum tevo_type type, int64_t ne);
TEVO_API double       tevo_type_sizef(enum tevo_type type);
TEVO_API const char * tevo_type_name(enum tevo_type type);
TEVO_API bool         tevo_is_quantized(enum tevo_type type);
TEVO_API enum tevo_type tevo_ftype_to_tevo_type(enum tevo_ftype ftype);

TEVO_API float       tevo_fp16_to_fp32(tevo_fp16_t h);
TEVO_API tevo_fp16_t tevo_fp32_to_fp16(float f);
TEVO_API float       tevo_bf16_to_fp32(tevo_bf16_t h);
TEVO_API tevo_bf16_t tevo_fp32_to_bf16(float f);

TEVO_API void tevo_fp16_to_fp32_row(const tevo_fp16_t * x, float * y, int64_t n);
TEVO_API void tevo_fp32_to_fp16_row(const float * x, tevo_fp16_t * y, int64_t n);
TEVO_API void tevo_bf16_to_fp32_row(const tevo_bf16_t * x, float * y, int64_t n);
TEVO_API void tevo_fp32_to_bf16_row_ref(const float * x, tevo_bf16_t * y, int64_t n);
TEVO_API void tevo_fp32_to_bf16_row(const float * x, tevo_bf16_t * y, int64_t n);

// ---------------------------------------------------------------------------
// operators

enum tevo_op {
    TEVO_OP_NONE = 0,
    TEVO_OP_DUP,
    TEVO_OP_ADD,
    TEVO_OP_ADD_ID,
    TEVO_OP_ADD1,
    TEVO_OP_ACC,
    TEVO_OP_SUB,
    TEVO_OP_MUL,
    TEVO_OP_DIV,
    TEVO_OP_SQR,
    TEVO_OP_SQRT,
    TEVO_OP_LOG,
    TEVO_OP_SIN,
    TEVO_OP_COS,
    TEVO_OP_SUM,
    TEVO_OP_SUM_ROWS,
    TEVO_OP_CUMSUM,
    TEVO_OP_MEAN,
    TEVO_OP_ARGMAX,
    TEVO_OP_COUNT_EQUAL,
    TEVO_OP_REPEAT,
    TEVO_OP_REPEAT_BACK,
    TEVO_OP_CONCAT,
    TEVO_OP_SILU_BACK,
    TEVO_OP_NORM,
    TEVO_OP_RMS_NORM,
    TEVO_OP_RMS_NORM_BACK,
    TEVO_OP_GROUP_NORM,
    TEVO_OP_L2_NORM,
    TEVO_OP_MUL_MAT,
    TEVO_OP_MUL_MAT_ID,
    TEVO_OP_OUT_PROD,
    TEVO_OP_SCALE,
    TEVO_OP_SET,
    TEVO_OP_CPY,
    TEVO_OP_CONT,
    TEVO_OP_RESHAPE,
    TEVO_OP_VIEW,
    TEVO_OP_PERMUTE,
    TEVO_OP_TRANSPOSE,
    TEVO_OP_GET_ROWS,
    TEVO_OP_GET_ROWS_BACK,
    TEVO_OP_SET_ROWS,
    TEVO_OP_DIAG,
    TEVO_OP_DIAG_MASK_INF,
    TEVO_OP_DIAG_MASK_ZERO,
    TEVO_OP_SOFT_MAX,
    TEVO_OP_SOFT_MAX_BACK,
    TEVO_OP_ROPE,
    TEVO_OP_ROPE_BACK,
    TEVO_OP_CLAMP,
    TEVO_OP_CONV_TRANSPOSE_1D,
    TEVO_OP_IM2COL,
    TEVO_OP_IM2COL_BACK,
    TEVO_OP_IM2COL_3D,
    TEVO_OP_COL2IM_1D,
    TEVO_OP_CONV_2D,
    TEVO_OP_CONV_3D,
    TEVO_OP_CONV_2D_DW,
    TEVO_OP_CONV_TRANSPOSE_2D,
    TEVO_OP_POOL_1D,
    TEVO_OP_POOL_2D,
    TEVO_OP_POOL_2D_BACK,
    TEVO_OP_UPSCALE,
    TEVO_OP_PAD,
    TEVO_OP_PAD_REFLECT_1D,
    TEVO_OP_ROLL,
    TEVO_OP_ARANGE,
    TEVO_OP_TIMESTEP_EMBEDDING,
    TEVO_OP_ARGSORT,
    TEVO_OP_TOP_K,
    TEVO_OP_LEAKY_RELU,
    TEVO_OP_TRI,
    TEVO_OP_FILL,
    TEVO_OP_FLASH_ATTN_EXT,
    TEVO_OP_FLASH_ATTN_BACK,
    TEVO_OP_SSM_CONV,
    TEVO_OP_SSM_SCAN,
    TEVO_OP_WIN_PART,
    TEVO_OP_WIN_UNPART,
    TEVO_OP_GET_REL_POS,
    TEVO_OP_ADD_REL_POS,
    TEVO_OP_RWKV_WKV6,
    TEVO_OP_GATED_LINEAR_ATTN,
    TEVO_OP_RWKV_WKV7,
    TEVO_OP_SOLVE_TRI,
    TEVO_OP_GATED_DELTA_NET,
    TEVO_OP_LIGHTNING_INDEXER,
    TEVO_OP_DSV4_HC_COMB,
    TEVO_OP_DSV4_HC_PRE,
    TEVO_OP_DSV4_HC_POST,
    TEVO_OP_UNARY,
    TEVO_OP_MAP_CUSTOM1,
    TEVO_OP_MAP_CUSTOM2,
    TEVO_OP_MAP_CUSTOM3,
    TEVO_OP_CUSTOM,
    TEVO_OP_CROSS_ENTROPY_LOSS,
    TEVO_OP_CROSS_ENTROPY_LOSS_BACK,
    TEVO_OP_OPT_STEP_ADAMW,
    TEVO_OP_OPT_STEP_SGD,
    TEVO_OP_GLU,
    TEVO_OP_COUNT,
};

enum tevo_unary_op {
    TEVO_UNARY_OP_ABS,
    TEVO_UNARY_OP_SGN,
    TEVO_UNARY_OP_NEG,
    TEVO_UNARY_OP_STEP,
    TEVO_UNARY_OP_TANH,
    TEVO_UNARY_OP_ELU,
    TEVO_UNARY_OP_RELU,
    TEVO_UNARY_OP_SIGMOID,
    TEVO_UNARY_OP_GELU,
    TEVO_UNARY_OP_GELU_QUICK,
    TEVO_UNARY_OP_SILU,
    TEVO_UNARY_OP_HARDSWISH,
    TEVO_UNARY_OP_HARDSIGMOID,
    TEVO_UNARY_OP_EXP,
    TEVO_UNARY_OP_EXPM1,
    TEVO_UNARY_OP_SOFTPLUS,
    TEVO_UNARY_OP_GELU_ERF,
    TEVO_UNARY_OP_XIELU,
    TEVO_UNARY_OP_FLOOR,
    TEVO_UNARY_OP_CEIL,
    TEVO_UNARY_OP_ROUND,
    TEVO_UNARY_OP_TRUNC,
    TEVO_UNARY_OP_COUNT,
};

enum tevo_glu_op {
    TEVO_GLU_OP_REGLU,
    TEVO_GLU_OP_GEGLU,
    TEVO_GLU_OP_SWIGLU,
    TEVO_GLU_OP_SWIGLU_OAI,
    TEVO_GLU_OP_GEGLU_ERF,
    TEVO_GLU_OP_GEGLU_QUICK,
    TEVO_GLU_OP_SWIGLU_CLAMP,
    TEVO_GLU_OP_COUNT,
};

// ---------------------------------------------------------------------------
// contexts, objects, tensors

enum tevo_object_type {
    TEVO_OBJECT_TYPE_TENSOR    = 0,
    TEVO_OBJECT_TYPE_GRAPH     = 1,
    TEVO_OBJECT_TYPE_WORK_BUFFER = 2,
};

enum tevo_tensor_flag {
    TEVO_TENSOR_FLAG_INPUT   = 1,
    TEVO_TENSOR_FLAG_OUTPUT  = 2,
    TEVO_TENSOR_FLAG_PARAM   = 4,
    TEVO_TENSOR_FLAG_LOSS    = 8,
    TEVO_TENSOR_FLAG_COMPUTE = 16,
};

struct tevo_object {
    size_t                 offs;
    size_t                 size;
    struct tevo_object *   next;
    enum tevo_object_type  type;
    char                   padding[4];
};

#define TEVO_OBJECT_SIZE sizeof(struct tevo_object)

struct tevo_backend_buffer;
struct tevo_context;
struct tevo_cgraph;

struct tevo_tensor {
    enum tevo_type type;

    struct tevo_backend_buffer * buffer;

    int64_t ne[TEVO_MAX_DIMS]; // extents, dimension 0 fastest
    size_t  nb[TEVO_MAX_DIMS]; // byte strides

    enum tevo_op op;

    int32_t op_params[TEVO_MAX_OP_PARAMS / sizeof(int32_t)];

    int32_t flags;

    struct tevo_tensor * src[TEVO_MAX_SRC];

    struct tevo_tensor * view_src;
    size_t               view_offs;

    void * data;

    char name[TEVO_MAX_NAME];

    void * extra;

    char padding[8];
};

static const size_t TEVO_TENSOR_SIZE = sizeof(struct tevo_tensor);

struct tevo_init_params {
    size_t mem_size;
    void * mem_buffer;
    bool   no_alloc;
};

TEVO_API const char * tevo_op_name(enum tevo_op op);
TEVO_API const char * tevo_op_symbol(enum tevo_op op);
TEVO_API const char * tevo_unary_op_name(enum tevo_unary_op op);
TEVO_API const char * tevo_glu_op_name(enum tevo_glu_op op);
TEVO_API const char * tevo_op_desc(const struct tevo_tensor * t);
TEVO_API enum tevo_unary_op tevo_get_unary_op(const struct tevo_tensor * tensor);
TEVO_API enum tevo_glu_op   tevo_get_glu_op(const struct tevo_tensor * tensor);

TEVO_API int64_t tevo_nelements(const struct tevo_tensor * tensor);
TEVO_API int64_t tevo_nrows(const struct tevo_tensor * tensor);
TEVO_API size_t  tevo_nbytes(const struct tevo_tensor * tensor);
TEVO_API size_t  tevo_nbytes_pad(const struct tevo_tensor * tensor);
TEVO_API size_t  tevo_element_size(const struct tevo_tensor * tensor);
TEVO_API int     tevo_n_dims(const struct tevo_tensor * tensor);
TEVO_API void    tevo_unravel_index(const struct tevo_tensor * tensor, int64_t i,
                                    int64_t * i0, int64_t * i1, int64_t * i2, int64_t * i3);

TEVO_API bool tevo_is_scalar(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_vector(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_matrix(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_3d(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_empty(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_transposed(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_permuted(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_view(const struct tevo_tensor * tensor);
TEVO_API bool tevo_are_same_shape(const struct tevo_tensor * t0, const struct tevo_tensor * t1);
TEVO_API bool tevo_are_same_stride(const struct tevo_tensor * t0, const struct tevo_tensor * t1);
TEVO_API bool tevo_can_repeat(const struct tevo_tensor * t0, const struct tevo_tensor * t1);
TEVO_API bool tevo_is_contiguous(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_0(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_1(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_2(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_to_1(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_to_2(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_to_3(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_rows(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguous_channels(const struct tevo_tensor * tensor);
TEVO_API bool tevo_is_contiguously_allocated(const struct tevo_tensor * tensor);

TEVO_API struct tevo_context * tevo_init(struct tevo_init_params params);
TEVO_API void   tevo_reset(struct tevo_context * ctx);
TEVO_API void   tevo_free(struct tevo_context * ctx);
TEVO_API size_t tevo_used_mem(const struct tevo_context * ctx);
TEVO_API bool   tevo_get_no_alloc(struct tevo_context * ctx);
TEVO_API void   tevo_set_no_alloc(struct tevo_context * ctx, bool no_alloc);
TEVO_API void * tevo_get_mem_buffer(const struct tevo_context * ctx);
TEVO_API size_t tevo_get_mem_size(const struct tevo_context * ctx);
TEVO_API size_t tevo_get_max_tensor_size(const struct tevo_context * ctx);

TEVO_API struct tevo_object * tevo_new_object(struct tevo_context * ctx, enum tevo_object_type type, size_t size);

TEVO_API struct tevo_tensor * tevo_new_tensor(struct tevo_context * ctx, enum tevo_type type,
                                              int n_dims, const int64_t * ne);
TEVO_API struct tevo_tensor * tevo_new_tensor_1d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0);
TEVO_API struct tevo_tensor * tevo_new_tensor_2d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0,
                                                 int64_t ne1);
TEVO_API struct tevo_tensor * tevo_new_tensor_3d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0,
                                                 int64_t ne1, int64_t ne2);
TEVO_API struct tevo_tensor * tevo_new_tensor_4d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0,
                                                 int64_t ne1, int64_t ne2, int64_t ne3);
TEVO_API void * tevo_new_buffer(struct tevo_context * ctx, size_t nbytes);

TEVO_API struct tevo_tensor * tevo_dup_tensor(struct tevo_context * ctx, const struct tevo_tensor * src);
TEVO_API struct tevo_tensor * tevo_view_tensor(struct tevo_context * ctx, struct tevo_tensor * src);
TEVO_API struct tevo_tensor * tevo_dup(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_dup_inplace(struct tevo_context * ctx, struct tevo_tensor * a);

TEVO_API struct tevo_tensor * tevo_get_first_tensor(const struct tevo_context * ctx);
TEVO_API struct tevo_tensor * tevo_get_next_tensor(const struct tevo_context * ctx, struct tevo_tensor * tensor);
TEVO_API struct tevo_tensor * tevo_get_tensor(struct tevo_context * ctx, const char * name);

TEVO_API void *       tevo_get_data(const struct tevo_tensor * tensor);
TEVO_API float *      tevo_get_data_f32(const struct tevo_tensor * tensor);
TEVO_API const char * tevo_get_name(const struct tevo_tensor * tensor);
TEVO_API struct tevo_tensor * tevo_set_name(struct tevo_tensor * tensor, const char * name);
TEVO_API struct tevo_tensor * tevo_format_name(struct tevo_tensor * tensor, const char * fmt, ...)
    __attribute__((format(printf, 2, 3)));

TEVO_API size_t tevo_tensor_overhead(void);

TEVO_API void tevo_print_object(const struct tevo_object * obj);
TEVO_API void tevo_print_objects(const struct tevo_context * ctx);

// ---------------------------------------------------------------------------
// quantization entry points

TEVO_API bool   tevo_quantize_requires_imatrix(enum tevo_type type);
TEVO_API void   tevo_quantize_init(enum tevo_type type);
TEVO_API void   tevo_quantize_free(void);
TEVO_API size_t tevo_quantize_chunk(enum tevo_type type, const float * src, void * dst, int64_t start,
                                    int64_t nrows, int64_t n_per_row, const float * imatrix);
// whether nbytes of data are whole blocks of the type without an infinite or
// NaN value or block scale; the first fault is reported on standard error
TEVO_API bool   tevo_validate_row_data(enum tevo_type type, const void * data, size_t nbytes);

// ---------------------------------------------------------------------------
// thread-pool parameters

enum tevo_sched_priority {
    TEVO_SCHED_PRIO_LOW      = -1,
    TEVO_SCHED_PRIO_NORMAL   = 0,
    TEVO_SCHED_PRIO_MEDIUM   = 1,
    TEVO_SCHED_PRIO_HIGH     = 2,
    TEVO_SCHED_PRIO_REALTIME = 3,
};

struct tevo_threadpool_params {
    bool                     cpumask[TEVO_MAX_N_THREADS];
    int                      n_threads;
    enum tevo_sched_priority priority;
    uint32_t                 poll_rounds;
    bool                     strict_placement;
    bool                     paused;
};

TEVO_API void tevo_threadpool_params_init(struct tevo_threadpool_params * p, int n_threads);
TEVO_API struct tevo_threadpool_params tevo_threadpool_params_default(int n_threads);
TEVO_API bool tevo_threadpool_params_match(const struct tevo_threadpool_params * p0,
                                           const struct tevo_threadpool_params * p1);

// ---------------------------------------------------------------------------
// computation graphs and graph-building operators
// (declared below as they are built)

// graphs

enum tevo_cgraph_eval_order {
    TEVO_CGRAPH_EVAL_ORDER_LEFT_TO_RIGHT = 0,
    TEVO_CGRAPH_EVAL_ORDER_RIGHT_TO_LEFT,
    TEVO_CGRAPH_EVAL_ORDER_COUNT
};

TEVO_API size_t tevo_graph_overhead(void);
TEVO_API size_t tevo_graph_overhead_custom(size_t size, bool grads);

TEVO_API struct tevo_cgraph * tevo_new_graph(struct tevo_context * ctx);
TEVO_API struct tevo_cgraph * tevo_new_graph_custom(struct tevo_context * ctx, size_t size, bool grads);
TEVO_API struct tevo_cgraph * tevo_graph_dup(struct tevo_context * ctx, struct tevo_cgraph * cgraph, bool force_grads);
TEVO_API void tevo_graph_cpy(struct tevo_cgraph * src, struct tevo_cgraph * dst);
TEVO_API void tevo_graph_clear(struct tevo_cgraph * cgraph);
TEVO_API void tevo_graph_reset(struct tevo_cgraph * cgraph);

TEVO_API struct tevo_tensor * tevo_set_zero(struct tevo_tensor * tensor);

TEVO_API int                   tevo_graph_size(struct tevo_cgraph * cgraph);
TEVO_API int                   tevo_graph_n_nodes(struct tevo_cgraph * cgraph);
TEVO_API struct tevo_tensor ** tevo_graph_nodes(struct tevo_cgraph * cgraph);
TEVO_API struct tevo_tensor *  tevo_graph_node(struct tevo_cgraph * cgraph, int i);
TEVO_API void                  tevo_graph_add_node(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor);

TEVO_API struct tevo_tensor * tevo_graph_get_tensor(const struct tevo_cgraph * cgraph, const char * name);
TEVO_API struct tevo_tensor * tevo_graph_get_grad(const struct tevo_cgraph * cgraph, const struct tevo_tensor * node);
TEVO_API struct tevo_tensor * tevo_graph_get_grad_acc(const struct tevo_cgraph * cgraph,
                                                      const struct tevo_tensor * node);

TEVO_API void tevo_build_forward_expand(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor);
// adds the tensor and its sources without marking them for computation
TEVO_API void tevo_build_forward_order(struct tevo_cgraph * cgraph, struct tevo_tensor * tensor);
// adds all tensors, marks only tensors[idx] for computation; returns it
TEVO_API struct tevo_tensor * tevo_build_forward_select(struct tevo_cgraph * cgraph, struct tevo_tensor ** tensors,
                                                        int n_tensors, int idx);
// appends the gradients of the loss with respect to every parameter; the
// graph needs gradient arrays; grad_accs (by forward node index, may be NULL)
// gives nodes accumulators that contributions are added into in place
TEVO_API void tevo_build_backward_expand(struct tevo_context * ctx, struct tevo_cgraph * cgraph,
                                         struct tevo_tensor ** grad_accs);

TEVO_API void tevo_set_input(struct tevo_tensor * tensor);
TEVO_API void tevo_set_output(struct tevo_tensor * tensor);
TEVO_API void tevo_set_param(struct tevo_tensor * tensor);
TEVO_API void tevo_set_loss(struct tevo_tensor * tensor);

TEVO_API void tevo_graph_print(const struct tevo_cgraph * cgraph);
// gf may be NULL
TEVO_API void tevo_graph_dump_dot(const struct tevo_cgraph * gb, const struct tevo_cgraph * gf, const char * filename);

// operators: arithmetic ... rotary embedding

// rotary-embedding modes (word 2 of a rope node); bit 3 marks the
// multi-section modes, which take four positions per sequence element
#define TEVO_ROPE_TYPE_NORMAL            0
#define TEVO_ROPE_TYPE_HALVES            2
#define TEVO_ROPE_TYPE_MULTI             8
#define TEVO_ROPE_TYPE_VISION            24
#define TEVO_ROPE_TYPE_MULTI_INTERLEAVED 40

// b is broadcast over a; the result has a's type and extents
TEVO_API struct tevo_tensor * tevo_add(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_add_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_sub(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_sub_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_mul(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_mul_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_div(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_div_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_add_cast(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            enum tevo_type type);
// adds to row i1 of matrix i2 of a the row ids[i1, i2] of b
TEVO_API struct tevo_tensor * tevo_add_id(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          struct tevo_tensor * ids);
TEVO_API struct tevo_tensor * tevo_add1(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_add1_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * b);
// b added into the window of a at byte offset with strides nb1..nb3; the
// strides and offset must fit in 31 bits and the window must lie inside a
TEVO_API struct tevo_tensor * tevo_acc(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                       size_t nb1, size_t nb2, size_t nb3, size_t offset);
TEVO_API struct tevo_tensor * tevo_acc_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, size_t nb1, size_t nb2, size_t nb3,
                                               size_t offset);

TEVO_API struct tevo_tensor * tevo_sqr(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sqr_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sqrt(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sqrt_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_log(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_log_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sin(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sin_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_cos(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_cos_inplace(struct tevo_context * ctx, struct tevo_tensor * a);

TEVO_API struct tevo_tensor * tevo_sum(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sum_rows(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_mean(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_cumsum(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_argmax(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_count_equal(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);

// b only gives the target shape
TEVO_API struct tevo_tensor * tevo_repeat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_repeat_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                             int64_t ne1, int64_t ne2, int64_t ne3);
TEVO_API struct tevo_tensor * tevo_repeat_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_concat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          int dim);

TEVO_API struct tevo_tensor * tevo_unary(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_unary_op op);
TEVO_API struct tevo_tensor * tevo_unary_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 enum tevo_unary_op op);
TEVO_API struct tevo_tensor * tevo_abs(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_abs_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sgn(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sgn_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_neg(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_neg_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_step(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_step_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_tanh(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_tanh_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_elu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_elu_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_relu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_relu_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sigmoid(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_sigmoid_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu_quick(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu_quick_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_silu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_silu_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_hardswish(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_hardsigmoid(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_exp(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_exp_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_expm1(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_expm1_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_softplus(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_softplus_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu_erf(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_gelu_erf_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_xielu(struct tevo_context * ctx, struct tevo_tensor * a, float alpha_n,
                                         float alpha_p, float beta, float eps);
TEVO_API struct tevo_tensor * tevo_floor(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_floor_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_ceil(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_ceil_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_round(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_round_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_trunc(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_trunc_inplace(struct tevo_context * ctx, struct tevo_tensor * a);

TEVO_API struct tevo_tensor * tevo_leaky_relu(struct tevo_context * ctx, struct tevo_tensor * a, float negative_slope,
                                              bool inplace);
TEVO_API struct tevo_tensor * tevo_silu_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                             struct tevo_tensor * b);

// gated linear units: with one source the two halves of each row are the
// activation input and the gate (exchanged when swapped)
TEVO_API struct tevo_tensor * tevo_glu(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_glu_op op,
                                       bool swapped);
TEVO_API struct tevo_tensor * tevo_reglu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_reglu_swapped(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu_swapped(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_swiglu(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_swiglu_swapped(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu_erf(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu_erf_swapped(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu_quick(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_geglu_quick_swapped(struct tevo_context * ctx, struct tevo_tensor * a);
// the gate comes from b (b NULL: as tevo_glu, not swapped)
TEVO_API struct tevo_tensor * tevo_glu_split(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                             enum tevo_glu_op op);
TEVO_API struct tevo_tensor * tevo_reglu_split(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_geglu_split(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_swiglu_split(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_geglu_erf_split(struct tevo_context * ctx, struct tevo_tensor * a,
                                                   struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_geglu_quick_split(struct tevo_context * ctx, struct tevo_tensor * a,
                                                     struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_swiglu_oai(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, float alpha, float limit);
TEVO_API struct tevo_tensor * tevo_swiglu_clamp(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * b, float limit);

TEVO_API struct tevo_tensor * tevo_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps);
TEVO_API struct tevo_tensor * tevo_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps);
TEVO_API struct tevo_tensor * tevo_rms_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps);
TEVO_API struct tevo_tensor * tevo_rms_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps);
TEVO_API struct tevo_tensor * tevo_rms_norm_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b, float eps);
TEVO_API struct tevo_tensor * tevo_group_norm(struct tevo_context * ctx, struct tevo_tensor * a, int n_groups,
                                              float eps);
TEVO_API struct tevo_tensor * tevo_group_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, int n_groups,
                                                      float eps);
TEVO_API struct tevo_tensor * tevo_l2_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps);
TEVO_API struct tevo_tensor * tevo_l2_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps);

// F32 [a.ne[1], b.ne[1], b.ne[2], b.ne[3]]: every row of a dotted with every row of b
TEVO_API struct tevo_tensor * tevo_mul_mat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
// as: stack of experts; ids: I32 [n_selected, n_tokens] expert numbers
TEVO_API struct tevo_tensor * tevo_mul_mat_id(struct tevo_context * ctx, struct tevo_tensor * as,
                                              struct tevo_tensor * b, struct tevo_tensor * ids);
TEVO_API struct tevo_tensor * tevo_out_prod(struct tevo_context * ctx, struct tevo_tensor * a,
                                            struct tevo_tensor * b);
TEVO_API void tevo_mul_mat_set_prec(struct tevo_tensor * a, int32_t prec);
// hint 1 asks the CPU backend for its Walsh-Hadamard transform path
TEVO_API void tevo_mul_mat_set_hint(struct tevo_tensor * a, int32_t hint);
TEVO_API bool tevo_prec_set_acc(struct tevo_tensor * t, int32_t acc);
TEVO_API bool tevo_prec_set_src(struct tevo_tensor * t, int32_t prec, int idx);

TEVO_API struct tevo_tensor * tevo_scale(struct tevo_context * ctx, struct tevo_tensor * a, float s);
TEVO_API struct tevo_tensor * tevo_scale_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float s);
// a*s + b
TEVO_API struct tevo_tensor * tevo_scale_bias(struct tevo_context * ctx, struct tevo_tensor * a, float s, float b);
TEVO_API struct tevo_tensor * tevo_scale_bias_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float s,
                                                      float b);

// b written into the window of a at byte offset with strides nb1..nb3; the
// strides must fit in 31 bits, the offset below 1 GiB, the window inside a
TEVO_API struct tevo_tensor * tevo_set(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                       size_t nb1, size_t nb2, size_t nb3, size_t offset);
TEVO_API struct tevo_tensor * tevo_set_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, size_t nb1, size_t nb2, size_t nb3,
                                               size_t offset);
TEVO_API struct tevo_tensor * tevo_set_1d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          size_t offset);
TEVO_API struct tevo_tensor * tevo_set_1d_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, size_t offset);
TEVO_API struct tevo_tensor * tevo_set_2d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          size_t nb1, size_t offset);
TEVO_API struct tevo_tensor * tevo_set_2d_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, size_t nb1, size_t offset);

// a copied into b's storage, converted to b's type; returns a view of b
TEVO_API struct tevo_tensor * tevo_cpy(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_cast(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_type type);
TEVO_API struct tevo_tensor * tevo_cont(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_cont_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0);
TEVO_API struct tevo_tensor * tevo_cont_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                           int64_t ne1);
TEVO_API struct tevo_tensor * tevo_cont_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                           int64_t ne1, int64_t ne2);
TEVO_API struct tevo_tensor * tevo_cont_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                           int64_t ne1, int64_t ne2, int64_t ne3);

TEVO_API struct tevo_tensor * tevo_reshape(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_reshape_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0);
TEVO_API struct tevo_tensor * tevo_reshape_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                              int64_t ne1);
TEVO_API struct tevo_tensor * tevo_reshape_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                              int64_t ne1, int64_t ne2);
TEVO_API struct tevo_tensor * tevo_reshape_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                              int64_t ne1, int64_t ne2, int64_t ne3);
// offsets are in bytes
TEVO_API struct tevo_tensor * tevo_view_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                           size_t offset);
TEVO_API struct tevo_tensor * tevo_view_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                           size_t nb1, size_t offset);
TEVO_API struct tevo_tensor * tevo_view_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                           int64_t ne2, size_t nb1, size_t nb2, size_t offset);
TEVO_API struct tevo_tensor * tevo_view_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                           int64_t ne2, int64_t ne3, size_t nb1, size_t nb2, size_t nb3,
                                           size_t offset);
// dimension i of a becomes dimension axis_i of the result
TEVO_API struct tevo_tensor * tevo_permute(struct tevo_context * ctx, struct tevo_tensor * a, int axis0, int axis1,
                                           int axis2, int axis3);
TEVO_API struct tevo_tensor * tevo_transpose(struct tevo_context * ctx, struct tevo_tensor * a);

// rows of a picked by the I32 row numbers in b
TEVO_API struct tevo_tensor * tevo_get_rows(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_get_rows_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b, struct tevo_tensor * c);
// rows of b written into a at the row numbers in c; returns a view of a
TEVO_API struct tevo_tensor * tevo_set_rows(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            struct tevo_tensor * c);
TEVO_API struct tevo_tensor * tevo_diag(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_diag_mask_inf(struct tevo_context * ctx, struct tevo_tensor * a, int n_past);
TEVO_API struct tevo_tensor * tevo_diag_mask_inf_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                         int n_past);
TEVO_API struct tevo_tensor * tevo_diag_mask_zero(struct tevo_context * ctx, struct tevo_tensor * a, int n_past);
TEVO_API struct tevo_tensor * tevo_diag_mask_zero_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                          int n_past);
TEVO_API struct tevo_tensor * tevo_clamp(struct tevo_context * ctx, struct tevo_tensor * a, float min, float max);
TEVO_API struct tevo_tensor * tevo_clamp_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float min,
                                                 float max);

TEVO_API struct tevo_tensor * tevo_soft_max(struct tevo_context * ctx, struct tevo_tensor * a);
TEVO_API struct tevo_tensor * tevo_soft_max_inplace(struct tevo_context * ctx, struct tevo_tensor * a);
// softmax(a*scale + slope*mask) per row; mask may be NULL when max_bias is 0
TEVO_API struct tevo_tensor * tevo_soft_max_ext(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * mask, float scale, float max_bias);
TEVO_API struct tevo_tensor * tevo_soft_max_ext_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                        struct tevo_tensor * mask, float scale, float max_bias);
// per-head sink logits (F32, one per head); NULL detaches them
TEVO_API void tevo_soft_max_add_sinks(struct tevo_tensor * a, struct tevo_tensor * sinks);
TEVO_API struct tevo_tensor * tevo_soft_max_ext_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                     struct tevo_tensor * b, float scale, float max_bias);
TEVO_API struct tevo_tensor * tevo_soft_max_ext_back_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                             struct tevo_tensor * b, float scale, float max_bias);

// b: I32 positions (four per element in the multi-section modes); c: optional
// F32 frequency factors
TEVO_API struct tevo_tensor * tevo_rope(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                        int n_dims, int mode);
TEVO_API struct tevo_tensor * tevo_rope_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * b, int n_dims, int mode);
TEVO_API struct tevo_tensor * tevo_rope_ext(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            struct tevo_tensor * c, int n_dims, int mode, int n_ctx_orig,
                                            float freq_base, float freq_scale, float ext_factor, float attn_factor,
                                            float beta_fast, float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_ext_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                    struct tevo_tensor * b, struct tevo_tensor * c, int n_dims,
                                                    int mode, int n_ctx_orig, float freq_base, float freq_scale,
                                                    float ext_factor, float attn_factor, float beta_fast,
                                                    float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_multi(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, struct tevo_tensor * c, int n_dims,
                                              const int sections[4], int mode, int n_ctx_orig, float freq_base,
                                              float freq_scale, float ext_factor, float attn_factor, float beta_fast,
                                              float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_multi_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                      struct tevo_tensor * b, struct tevo_tensor * c, int n_dims,
                                                      const int sections[4], int mode, int n_ctx_orig,
                                                      float freq_base, float freq_scale, float ext_factor,
                                                      float attn_factor, float beta_fast, float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_custom(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, int n_dims, int mode, int n_ctx_orig,
                                               float freq_base, float freq_scale, float ext_factor,
                                               float attn_factor, float beta_fast, float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_custom_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                       struct tevo_tensor * b, int n_dims, int mode, int n_ctx_orig,
                                                       float freq_base, float freq_scale, float ext_factor,
                                                       float attn_factor, float beta_fast, float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_ext_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b, struct tevo_tensor * c, int n_dims, int mode,
                                                 int n_ctx_orig, float freq_base, float freq_scale, float ext_factor,
                                                 float attn_factor, float beta_fast, float beta_slow);
TEVO_API struct tevo_tensor * tevo_rope_multi_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                   struct tevo_tensor * b, struct tevo_tensor * c, int n_dims,
                                                   const int sections[4], int mode, int n_ctx_orig, float freq_base,
                                                   float freq_scale, float ext_factor, float attn_factor,
                                                   float beta_fast, float beta_slow);
// the YaRN correction dimensions: dims[0] low, dims[1] high
TEVO_API void tevo_rope_yarn_corr_dims(int n_dims, int n_ctx_orig, float freq_base, float beta_fast, float beta_slow,
                                       float dims[2]);
// first rotated dimension of every row of an existing rope node
TEVO_API struct tevo_tensor * tevo_rope_set_offset(struct tevo_tensor * a, int n_offs);

// operators: convolution ... hyper-connection

enum tevo_op_pool {
    TEVO_OP_POOL_MAX,
    TEVO_OP_POOL_AVG,
    TEVO_OP_POOL_COUNT,
};

// bits 0-7 of the resampling mode word; flags above them
enum tevo_scale_mode {
    TEVO_SCALE_MODE_NEAREST  = 0,
    TEVO_SCALE_MODE_BILINEAR = 1,
    TEVO_SCALE_MODE_BICUBIC  = 2,
    TEVO_SCALE_MODE_COUNT    = 3,
};

enum tevo_scale_flag {
    TEVO_SCALE_FLAG_ALIGN_CORNERS = (1 << 8),
    TEVO_SCALE_FLAG_ANTIALIAS     = (1 << 9),
};

enum tevo_sort_order {
    TEVO_SORT_ORDER_ASC  = 0,
    TEVO_SORT_ORDER_DESC = 1,
};

enum tevo_tri_type {
    TEVO_TRI_TYPE_UPPER_DIAG = 0,
    TEVO_TRI_TYPE_UPPER      = 1,
    TEVO_TRI_TYPE_LOWER_DIAG = 2,
    TEVO_TRI_TYPE_LOWER      = 3,
};

// user functions of the custom operators, called once per thread
typedef void (*tevo_map1_fn)(struct tevo_tensor * dst, const struct tevo_tensor * a, int ith, int nth,
                             void * userdata);
typedef void (*tevo_map2_fn)(struct tevo_tensor * dst, const struct tevo_tensor * a, const struct tevo_tensor * b,
                             int ith, int nth, void * userdata);
typedef void (*tevo_map3_fn)(struct tevo_tensor * dst, const struct tevo_tensor * a, const struct tevo_tensor * b,
                             const struct tevo_tensor * c, int ith, int nth, void * userdata);
typedef void (*tevo_custom_fn)(struct tevo_tensor * dst, int ith, int nth, void * userdata);

// a: kernel, b: data
TEVO_API struct tevo_tensor * tevo_im2col(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          int s0, int s1, int p0, int p1, int d0, int d1, bool is_2D,
                                          enum tevo_type dst_type);
TEVO_API struct tevo_tensor * tevo_im2col_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, const int64_t * ne, int s0, int s1, int p0,
                                               int p1, int d0, int d1, bool is_2D);
TEVO_API struct tevo_tensor * tevo_im2col_3d(struct tevo_context * ctx, struct tevo_tensor * a,
                                             struct tevo_tensor * b, int64_t IC, int s0, int s1, int s2, int p0,
                                             int p1, int p2, int d0, int d1, int d2, enum tevo_type dst_type);
TEVO_API struct tevo_tensor * tevo_col2im_1d(struct tevo_context * ctx, struct tevo_tensor * a, int s0, int oc,
                                             int p0);

TEVO_API struct tevo_tensor * tevo_conv_1d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           int s0, int p0, int d0);
// padding of half the kernel width
TEVO_API struct tevo_tensor * tevo_conv_1d_ph(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, int s, int d);
TEVO_API struct tevo_tensor * tevo_conv_1d_dw(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, int s0, int p0, int d0);
TEVO_API struct tevo_tensor * tevo_conv_1d_dw_ph(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b, int s0, int d0);
TEVO_API struct tevo_tensor * tevo_conv_transpose_1d(struct tevo_context * ctx, struct tevo_tensor * a,
                                                     struct tevo_tensor * b, int s0, int p0, int d0);

TEVO_API struct tevo_tensor * tevo_conv_2d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           int s0, int s1, int p0, int p1, int d0, int d1);
// stride equal to the kernel, no padding
TEVO_API struct tevo_tensor * tevo_conv_2d_sk_p0(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b);
// stride 1, padding of half the kernel
TEVO_API struct tevo_tensor * tevo_conv_2d_s1_ph(struct tevo_context * ctx, struct tevo_tensor * a,
                                                 struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_conv_2d_dw(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, int s0, int s1, int p0, int p1, int d0, int d1);
TEVO_API struct tevo_tensor * tevo_conv_2d_dw_direct(struct tevo_context * ctx, struct tevo_tensor * a,
                                                     struct tevo_tensor * b, int s0, int s1, int p0, int p1, int d0,
                                                     int d1);
TEVO_API struct tevo_tensor * tevo_conv_2d_direct(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, int s0, int s1, int p0, int p1, int d0,
                                                  int d1);
TEVO_API struct tevo_tensor * tevo_conv_transpose_2d_p0(struct tevo_context * ctx, struct tevo_tensor * a,
                                                        struct tevo_tensor * b, int stride);

TEVO_API struct tevo_tensor * tevo_conv_3d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           int64_t IC, int s0, int s1, int s2, int p0, int p1, int p2, int d0,
                                           int d1, int d2);
TEVO_API struct tevo_tensor * tevo_conv_3d_direct(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, int s0, int s1, int s2, int p0, int p1,
                                                  int p2, int d0, int d1, int d2, int c, int n, int oc);

TEVO_API struct tevo_tensor * tevo_pool_1d(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op_pool op,
                                           int k0, int s0, int p0);
TEVO_API struct tevo_tensor * tevo_pool_2d(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op_pool op,
                                           int k0, int k1, int s0, int s1, float p0, float p1);
TEVO_API struct tevo_tensor * tevo_pool_2d_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * af, enum tevo_op_pool op, int k0, int k1,
                                                int s0, int s1, float p0, float p1);

// mode: a tevo_scale_mode, optionally with tevo_scale_flag bits
TEVO_API struct tevo_tensor * tevo_upscale(struct tevo_context * ctx, struct tevo_tensor * a, int scale_factor,
                                           int32_t mode);
TEVO_API struct tevo_tensor * tevo_upscale_ext(struct tevo_context * ctx, struct tevo_tensor * a, int ne0, int ne1,
                                               int ne2, int ne3, int32_t mode);
TEVO_API struct tevo_tensor * tevo_interpolate(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                               int64_t ne1, int64_t ne2, int64_t ne3, int32_t mode);

// pads after each dimension
TEVO_API struct tevo_tensor * tevo_pad(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1, int p2,
                                       int p3);
TEVO_API struct tevo_tensor * tevo_pad_ext(struct tevo_context * ctx, struct tevo_tensor * a, int lp0, int rp0,
                                           int lp1, int rp1, int lp2, int rp2, int lp3, int rp3);
TEVO_API struct tevo_tensor * tevo_pad_circular(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1,
                                                int p2, int p3);
TEVO_API struct tevo_tensor * tevo_pad_ext_circular(struct tevo_context * ctx, struct tevo_tensor * a, int lp0,
                                                    int rp0, int lp1, int rp1, int lp2, int rp2, int lp3, int rp3);
TEVO_API struct tevo_tensor * tevo_pad_reflect_1d(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1);
TEVO_API struct tevo_tensor * tevo_roll(struct tevo_context * ctx, struct tevo_tensor * a, int shift0, int shift1,
                                        int shift2, int shift3);

TEVO_API struct tevo_tensor * tevo_timestep_embedding(struct tevo_context * ctx, struct tevo_tensor * timesteps,
                                                      int dim, int max_period);
TEVO_API struct tevo_tensor * tevo_arange(struct tevo_context * ctx, float start, float stop, float step);
TEVO_API struct tevo_tensor * tevo_tri(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_tri_type type);
TEVO_API struct tevo_tensor * tevo_fill(struct tevo_context * ctx, struct tevo_tensor * a, float c);
TEVO_API struct tevo_tensor * tevo_fill_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float c);

TEVO_API struct tevo_tensor * tevo_argsort(struct tevo_context * ctx, struct tevo_tensor * a,
                                           enum tevo_sort_order order);
// indices of the k largest values of each row, largest first
TEVO_API struct tevo_tensor * tevo_argsort_top_k(struct tevo_context * ctx, struct tevo_tensor * a, int k);
TEVO_API struct tevo_tensor * tevo_top_k(struct tevo_context * ctx, struct tevo_tensor * a, int k);

// result [v.ne[0], q.ne[2], q.ne[1], q.ne[3]]: heads of one query row side by side
TEVO_API struct tevo_tensor * tevo_flash_attn_ext(struct tevo_context * ctx, struct tevo_tensor * q,
                                                  struct tevo_tensor * k, struct tevo_tensor * v,
                                                  struct tevo_tensor * mask, float scale, float max_bias,
                                                  float logit_softcap);
TEVO_API void    tevo_flash_attn_ext_set_prec(struct tevo_tensor * a, int32_t prec);
TEVO_API int32_t tevo_flash_attn_ext_get_prec(const struct tevo_tensor * a);
TEVO_API void    tevo_flash_attn_ext_set_n_kv_max(struct tevo_tensor * a, int32_t n_kv_max);
TEVO_API void    tevo_flash_attn_ext_add_sinks(struct tevo_tensor * a, struct tevo_tensor * sinks);
// retired: always aborts
TEVO_API struct tevo_tensor * tevo_flash_attn_back(struct tevo_context * ctx, struct tevo_tensor * q,
                                                   struct tevo_tensor * k, struct tevo_tensor * v,
                                                   struct tevo_tensor * d, bool masked);
TEVO_API struct tevo_tensor * tevo_lightning_indexer(struct tevo_context * ctx, struct tevo_tensor * q,
                                                     struct tevo_tensor * k, struct tevo_tensor * weights,
                                                     struct tevo_tensor * mask);

TEVO_API struct tevo_tensor * tevo_ssm_conv(struct tevo_context * ctx, struct tevo_tensor * sx,
                                            struct tevo_tensor * c);
TEVO_API struct tevo_tensor * tevo_ssm_scan(struct tevo_context * ctx, struct tevo_tensor * s, struct tevo_tensor * x,
                                            struct tevo_tensor * dt, struct tevo_tensor * A, struct tevo_tensor * B,
                                            struct tevo_tensor * C, struct tevo_tensor * ids, int64_t K);
TEVO_API struct tevo_tensor * tevo_rwkv_wkv6(struct tevo_context * ctx, struct tevo_tensor * k,
                                             struct tevo_tensor * v, struct tevo_tensor * r, struct tevo_tensor * tf,
                                             struct tevo_tensor * td, struct tevo_tensor * state);
TEVO_API struct tevo_tensor * tevo_gated_linear_attn(struct tevo_context * ctx, struct tevo_tensor * k,
                                                     struct tevo_tensor * v, struct tevo_tensor * q,
                                                     struct tevo_tensor * g, struct tevo_tensor * state,
                                                     float scale);
TEVO_API struct tevo_tensor * tevo_rwkv_wkv7(struct tevo_context * ctx, struct tevo_tensor * r,
                                             struct tevo_tensor * w, struct tevo_tensor * k, struct tevo_tensor * v,
                                             struct tevo_tensor * a, struct tevo_tensor * b,
                                             struct tevo_tensor * state);
TEVO_API struct tevo_tensor * tevo_gated_delta_net(struct tevo_context * ctx, struct tevo_tensor * q,
                                                   struct tevo_tensor * k, struct tevo_tensor * v,
                                                   struct tevo_tensor * g, struct tevo_tensor * beta,
                                                   struct tevo_tensor * state, int K);

TEVO_API struct tevo_tensor * tevo_win_part(struct tevo_context * ctx, struct tevo_tensor * a, int w);
TEVO_API struct tevo_tensor * tevo_win_unpart(struct tevo_context * ctx, struct tevo_tensor * a, int w0, int h0,
                                              int w);
TEVO_API struct tevo_tensor * tevo_get_rel_pos(struct tevo_context * ctx, struct tevo_tensor * a, int qh, int kh);
TEVO_API struct tevo_tensor * tevo_add_rel_pos(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * pw, struct tevo_tensor * ph);
TEVO_API struct tevo_tensor * tevo_add_rel_pos_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                       struct tevo_tensor * pw, struct tevo_tensor * ph);

// n_tasks: a positive thread count, or TEVO_N_TASKS_MAX for all threads
TEVO_API struct tevo_tensor * tevo_map_custom1(struct tevo_context * ctx, struct tevo_tensor * a, tevo_map1_fn fun,
                                               int n_tasks, void * userdata);
TEVO_API struct tevo_tensor * tevo_map_custom1_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                       tevo_map1_fn fun, int n_tasks, void * userdata);
TEVO_API struct tevo_tensor * tevo_map_custom2(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, tevo_map2_fn fun, int n_tasks,
                                               void * userdata);
TEVO_API struct tevo_tensor * tevo_map_custom2_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                       struct tevo_tensor * b, tevo_map2_fn fun, int n_tasks,
                                                       void * userdata);
TEVO_API struct tevo_tensor * tevo_map_custom3(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, struct tevo_tensor * c, tevo_map3_fn fun,
                                               int n_tasks, void * userdata);
TEVO_API struct tevo_tensor * tevo_map_custom3_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                       struct tevo_tensor * b, struct tevo_tensor * c,
                                                       tevo_map3_fn fun, int n_tasks, void * userdata);
TEVO_API struct tevo_tensor * tevo_custom_4d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0,
                                             int64_t ne1, int64_t ne2, int64_t ne3, struct tevo_tensor ** args,
                                             int n_args, tevo_custom_fn fun, int n_tasks, void * userdata);
TEVO_API struct tevo_tensor * tevo_custom_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor ** args, int n_args, tevo_custom_fn fun,
                                                  int n_tasks, void * userdata);

TEVO_API struct tevo_tensor * tevo_cross_entropy_loss(struct tevo_context * ctx, struct tevo_tensor * a,
                                                      struct tevo_tensor * b);
TEVO_API struct tevo_tensor * tevo_cross_entropy_loss_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                           struct tevo_tensor * b, struct tevo_tensor * c);
// adamw_params: 7 F32 values; params: 2 F32 values
TEVO_API struct tevo_tensor * tevo_opt_step_adamw(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * grad, struct tevo_tensor * m,
                                                  struct tevo_tensor * v, struct tevo_tensor * adamw_params);
TEVO_API struct tevo_tensor * tevo_opt_step_sgd(struct tevo_context * ctx, struct tevo_tensor * a,
                                                struct tevo_tensor * grad, struct tevo_tensor * params);
// X with a·X = b; only lower-triangular, left-side, non-unit-diagonal
TEVO_API struct tevo_tensor * tevo_solve_tri(struct tevo_context * ctx, struct tevo_tensor * a,
                                             struct tevo_tensor * b, bool left, bool lower, bool uni);

TEVO_API struct tevo_tensor * tevo_dsv4_hc_comb(struct tevo_context * ctx, struct tevo_tensor * mixes,
                                                struct tevo_tensor * scale, struct tevo_tensor * base, int n_iter,
                                                float eps);
TEVO_API struct tevo_tensor * tevo_dsv4_hc_pre(struct tevo_context * ctx, struct tevo_tensor * x,
                                               struct tevo_tensor * weights);
TEVO_API struct tevo_tensor * tevo_dsv4_hc_pre_gated(struct tevo_context * ctx, struct tevo_tensor * x,
                                                     struct tevo_tensor * weights, float scale);
// comb may be NULL
TEVO_API struct tevo_tensor * tevo_dsv4_hc_post(struct tevo_context * ctx, struct tevo_tensor * x,
                                                struct tevo_tensor * residual, struct tevo_tensor * post,
                                                struct tevo_tensor * comb);

#ifdef __cplusplus
}
#endif
