#pragma once

// The few operating-system services the library needs that Linux does not
// offer under the names the library was designed around: page pools, the
// executable's path, the processor name, backtraces, sleeping on a shared
// word until it changes, and a small set of strided float vector routines.

#include <stddef.h>
#include <stdint.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

// Page-aligned, zero-filled memory straight from the kernel. On failure
// returns NULL and sets *err_code (when err_code is not NULL):
// 1 invalid alignment or argument, 3 insufficient memory, 5 anything else.
void * tevo_platform_page_alloc(size_t size, int * err_code);
// Returns pages from tevo_platform_page_alloc; NULL is ignored.
void   tevo_platform_page_free(void * ptr, size_t size);

// Nanoseconds of the monotonic clock.
int64_t tevo_platform_monotonic_ns(void);

// How often the calling thread has been switched out while it could run
// (its involuntary context switches): other work took its processor.
int64_t tevo_platform_thread_preemptions(void);

// Full path of the running executable, terminated. Returns its length, or 0
// when it cannot be read or does not fit into size bytes.
size_t tevo_platform_exe_path(char * buf, size_t size);

// The processor's brand string, terminated (truncated to fit). Returns its
// length; 0 when none is known.
size_t tevo_platform_cpu_brand(char * buf, size_t size);

// Physical memory in bytes; 0 when unknown.
uint64_t tevo_platform_mem_total(void);

// Up to 100 frames of the calling thread, symbolised, to file descriptor 2.
void tevo_platform_native_backtrace(void);

// Lets any process of the user attach as a debugger (Yama ptrace scope), so
// a forked child can print our backtrace. Errors are ignored.
void tevo_platform_allow_ptrace(void);

// Sleeps while the aligned 32-bit word at `word` holds `expected`, until a
// wake on that word; may also return early for no reason, so callers check
// the word again. The word must be shared only within this process.
void tevo_platform_word_wait(const void * word, uint32_t expected);
// Wakes every thread sleeping in tevo_platform_word_wait on `word`.
void tevo_platform_word_wake_all(const void * word);

// Strided float vectors: element k of a vector X with stride ix is X[k*ix].
// A stride of 0 repeats one element; negative strides walk downwards from
// the given address. The output may be one of the inputs with the same
// stride. Every element-wise result is the single rounded float operation,
// as a plain loop gives.
void tevo_vdsp_vadd (const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n); // c = a + b
void tevo_vdsp_vsub (const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n); // c = b - a
void tevo_vdsp_vmul (const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n); // c = a * b
void tevo_vdsp_vdiv (const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n); // c = b / a
void tevo_vdsp_sve  (const float * a, ptrdiff_t ia, float * c, size_t n);   // *c = sum (0 for n == 0)
void tevo_vdsp_measqv(const float * a, ptrdiff_t ia, float * c, size_t n);  // *c = mean of squares (0 for n == 0)
void tevo_vdsp_vsadd(const float * a, ptrdiff_t ia, const float * b, float * c, ptrdiff_t ic, size_t n); // c = a + *b
void tevo_vdsp_vsmul(const float * a, ptrdiff_t ia, const float * b, float * c, ptrdiff_t ic, size_t n); // c = a * *b
void tevo_vdsp_vsmsa(const float * a, ptrdiff_t ia, const float * b, const float * c, float * d, ptrdiff_t id, size_t n); // d = a * *b + *c
// *c = maximum as a `>` scan in index order would give: NaNs never win,
// -infinity for n == 0 or all NaN, the first of equal zeros keeps its sign.
void tevo_vdsp_maxv (const float * a, ptrdiff_t ia, float * c, size_t n);

// Fills len bytes with repetitions of the 16-byte pattern; a partial last
// copy takes the pattern's first bytes.
void tevo_memset_pattern16(void * dst, const void * pattern16, size_t len);

#ifdef __cplusplus
}
#endif
