#pragma once

// CPU backend: the backend, its device and registry, and the CPU engine's
// graph planning and computation.

#include "tevo.h"
#include "tevo-backend.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// CPU backend

struct tevo_threadpool;

TEVO_API tevo_backend_t tevo_backend_cpu_init(void);
TEVO_API bool           tevo_backend_is_cpu(tevo_backend_t backend);

// the setters assert that the backend is a CPU backend
TEVO_API void tevo_backend_cpu_set_n_threads(tevo_backend_t backend_cpu, int n_threads);
// pauses the pool set before, when it differs; its owner still frees it
TEVO_API void tevo_backend_cpu_set_threadpool(tevo_backend_t backend_cpu, struct tevo_threadpool * threadpool);
TEVO_API void tevo_backend_cpu_set_abort_callback(tevo_backend_t backend_cpu, tevo_abort_callback abort_callback,
                                                  void * abort_callback_data);
TEVO_API void tevo_backend_cpu_set_use_ref(tevo_backend_t backend_cpu, bool use_ref);

TEVO_API tevo_backend_reg_t tevo_backend_cpu_reg(void);

// "CPU_REPACK": weights of matrix products placed here are stored in
// interleaved rows; the CPU device's only extra buffer type, built once
TEVO_API tevo_backend_buffer_type_t tevo_backend_cpu_repack_buffer_type(void);

// ---------------------------------------------------------------------------
// CPU engine

// The plan of one CPU graph run, made by tevo_graph_plan; the caller supplies
// work_data (at least work_size bytes) before computing.
struct tevo_cplan {
    size_t    work_size;
    uint8_t * work_data;

    int                      n_threads;
    struct tevo_threadpool * threadpool; // NULL: a pool for this one run

    tevo_abort_callback abort_callback;  // asked by thread 0 after each computed node
    void *              abort_callback_data;

    bool use_ref;                        // kernels take their reference paths
};

// worker pools; a pause takes effect between runs: a run already started
// completes on all its threads, and the next run resumes the pool
TEVO_API struct tevo_threadpool * tevo_threadpool_new(struct tevo_threadpool_params * params);
TEVO_API void                     tevo_threadpool_free(struct tevo_threadpool * threadpool);
TEVO_API void                     tevo_threadpool_pause(struct tevo_threadpool * threadpool);
TEVO_API void                     tevo_threadpool_resume(struct tevo_threadpool * threadpool);

TEVO_API void tevo_numa_init(void);
TEVO_API bool tevo_is_numa(void);

// planning and computing; a thread count of 0 or less means the pool's size,
// or 4 without a pool
TEVO_API struct tevo_cplan tevo_graph_plan(const struct tevo_cgraph * cgraph, int n_threads,
                                           struct tevo_threadpool * threadpool);
// While barriers find the cores shared with other busy work, a run of more
// than 2 threads takes half of them (at least 2).
TEVO_API enum tevo_status  tevo_graph_compute(struct tevo_cgraph * cgraph, struct tevo_cplan * cplan);
// plans without a pool and takes the work buffer from the context
TEVO_API enum tevo_status  tevo_graph_compute_with_ctx(struct tevo_context * ctx, struct tevo_cgraph * cgraph,
                                                       int n_threads);

// scalars and single elements of I8, I16, I32, F16, BF16 and F32 tensors
TEVO_API struct tevo_tensor * tevo_new_i32(struct tevo_context * ctx, int32_t value);
TEVO_API struct tevo_tensor * tevo_new_f32(struct tevo_context * ctx, float value);
TEVO_API struct tevo_tensor * tevo_set_i32(struct tevo_tensor * tensor, int32_t value);
TEVO_API struct tevo_tensor * tevo_set_f32(struct tevo_tensor * tensor, float value);

TEVO_API int32_t tevo_get_i32_1d(const struct tevo_tensor * tensor, int i);
TEVO_API void    tevo_set_i32_1d(const struct tevo_tensor * tensor, int i, int32_t value);
TEVO_API int32_t tevo_get_i32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3);
TEVO_API void    tevo_set_i32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3, int32_t value);
TEVO_API float   tevo_get_f32_1d(const struct tevo_tensor * tensor, int i);
TEVO_API void    tevo_set_f32_1d(const struct tevo_tensor * tensor, int i, float value);
TEVO_API float   tevo_get_f32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3);
TEVO_API void    tevo_set_f32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3, float value);

// the instruction sets the engine was built for (constants, not the running processor)
TEVO_API int tevo_cpu_has_sse3(void);
TEVO_API int tevo_cpu_has_ssse3(void);
TEVO_API int tevo_cpu_has_avx(void);
TEVO_API int tevo_cpu_has_avx_vnni(void);
TEVO_API int tevo_cpu_has_avx2(void);
TEVO_API int tevo_cpu_has_bmi2(void);
TEVO_API int tevo_cpu_has_f16c(void);
TEVO_API int tevo_cpu_has_fma(void);
TEVO_API int tevo_cpu_has_avx512(void);
TEVO_API int tevo_cpu_has_avx512_vbmi(void);
TEVO_API int tevo_cpu_has_avx512_vnni(void);
TEVO_API int tevo_cpu_has_avx512_bf16(void);
TEVO_API int tevo_cpu_has_amx_int8(void);
TEVO_API int tevo_cpu_has_neon(void);
TEVO_API int tevo_cpu_has_arm_fma(void);
TEVO_API int tevo_cpu_has_fp16_va(void);
TEVO_API int tevo_cpu_has_dotprod(void);
TEVO_API int tevo_cpu_has_matmul_int8(void);
TEVO_API int tevo_cpu_has_sve(void);
TEVO_API int tevo_cpu_get_sve_cnt(void);
TEVO_API int tevo_cpu_has_sme(void);
TEVO_API int tevo_cpu_has_sme2(void);
TEVO_API int tevo_cpu_has_riscv_v(void);
TEVO_API int tevo_cpu_get_rvv_vlen(void);
TEVO_API int tevo_cpu_has_vsx(void);
TEVO_API int tevo_cpu_has_vxe(void);
TEVO_API int tevo_cpu_has_wasm_simd(void);
TEVO_API int tevo_cpu_has_torvofile(void);

// fills the engine's lookup tables once; every computing entry calls it
TEVO_API void tevo_cpu_init(void);

// dot product of n values of row x with row y (of the vec_dot_type) into *s;
// the strides are used only when nrc > 1
typedef void (*tevo_vec_dot_t)(int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by,
                               int nrc);

struct tevo_type_traits_cpu {
    tevo_from_float_t from_float;   // NULL: the CPU cannot produce this type
    tevo_vec_dot_t    vec_dot;      // NULL: no dot product for this type
    enum tevo_type    vec_dot_type; // the type the other operand must have
    int64_t           nrows;        // rows per vec_dot call
};

TEVO_API const struct tevo_type_traits_cpu * tevo_get_type_traits_cpu(enum tevo_type type);

// row conversions
TEVO_API void tevo_cpu_fp32_to_fp32(const float * x, float * y, int64_t n);
TEVO_API void tevo_cpu_fp32_to_i32 (const float * x, int32_t * y, int64_t n);
TEVO_API void tevo_cpu_fp32_to_fp16(const float * x, tevo_fp16_t * y, int64_t n);
TEVO_API void tevo_cpu_fp16_to_fp32(const tevo_fp16_t * x, float * y, int64_t n);
TEVO_API void tevo_cpu_fp32_to_bf16(const float * x, tevo_bf16_t * y, int64_t n);
TEVO_API void tevo_cpu_bf16_to_fp32(const tevo_bf16_t * x, float * y, int64_t n);

#ifdef __cplusplus
}
#endif
