#define TEVO_SOURCE_PATH "tevo/src/tevo"

#include "platform/platform.h"

#include <cpuid.h>
#include <errno.h>
#include <execinfo.h>
#include <immintrin.h>
#include <limits.h>
#include <linux/futex.h>
#include <math.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

// ---------------------------------------------------------------------------
// system services

extern "C" void * tevo_platform_page_alloc(size_t size, int * err_code) {
    void * p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        const int e = errno;
        if (err_code) {
            *err_code = e == ENOMEM ? 3 : e == EINVAL ? 1 : 5;
        }
        return NULL;
    }
    return p;
}

extern "C" void tevo_platform_page_free(void * ptr, size_t size) {
    if (ptr == NULL) {
        return;
    }
    munmap(ptr, size);
}

extern "C" int64_t tevo_platform_monotonic_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t) ts.tv_sec * 1000000000 + (int64_t) ts.tv_nsec;
}

extern "C" int64_t tevo_platform_thread_preemptions(void) {
    struct rusage ru;
    if (getrusage(RUSAGE_THREAD, &ru) != 0) {
        return 0;
    }
    return (int64_t) ru.ru_nivcsw;
}

extern "C" size_t tevo_platform_exe_path(char * buf, size_t size) {
    if (buf == NULL || size == 0) {
        return 0;
    }
    const ssize_t len = readlink("/proc/self/exe", buf, size);
    // readlink does not terminate and silently truncates: a result that fills
    // the whole buffer may be cut short.
    if (len <= 0 || (size_t) len >= size) {
        buf[0] = '\0';
        return 0;
    }
    buf[len] = '\0';
    return (size_t) len;
}

static size_t tevo_copy_trimmed(char * buf, size_t size, const char * src) {
    while (*src == ' ' || *src == '\t') {
        src++;
    }
    size_t len = strlen(src);
    if (len > size - 1) {
        len = size - 1;
    }
    memcpy(buf, src, len);
    buf[len] = '\0';
    return len;
}

extern "C" size_t tevo_platform_cpu_brand(char * buf, size_t size) {
    if (buf == NULL || size == 0) {
        return 0;
    }
    buf[0] = '\0';

    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) && eax >= 0x80000004u) {
        unsigned int regs[13] = {0};
        for (unsigned int i = 0; i < 3; i++) {
            __get_cpuid(0x80000002u + i, &regs[4 * i + 0], &regs[4 * i + 1], &regs[4 * i + 2], &regs[4 * i + 3]);
        }
        char brand[52];
        memcpy(brand, regs, 48);
        brand[48] = '\0';
        const size_t len = tevo_copy_trimmed(buf, size, brand);
        if (len > 0) {
            return len;
        }
    }

    // Virtual machines may hide the brand leaves; the kernel still knows a name.
    FILE * f = fopen("/proc/cpuinfo", "r");
    if (f == NULL) {
        return 0;
    }
    size_t len = 0;
    char line[512];
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "model name", 10) != 0) {
            continue;
        }
        const char * colon = strchr(line, ':');
        if (colon == NULL) {
            continue;
        }
        line[strcspn(line, "\n")] = '\0';
        len = tevo_copy_trimmed(buf, size, colon + 1);
        break;
    }
    fclose(f);
    return len;
}

extern "C" uint64_t tevo_platform_mem_total(void) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return 0;
    }
    return (uint64_t) pages * (uint64_t) page_size;
}

extern "C" void tevo_platform_native_backtrace(void) {
    void * frames[100];
    const int n = backtrace(frames, 100);
    backtrace_symbols_fd(frames, n, 2);
}

extern "C" void tevo_platform_allow_ptrace(void) {
#if defined(PR_SET_PTRACER)
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
#endif
}

extern "C" void tevo_platform_word_wait(const void * word, uint32_t expected) {
    // the kernel compares the word and sleeps atomically: a wake that comes
    // after the caller's last look cannot be missed
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, NULL, NULL, 0);
}

extern "C" void tevo_platform_word_wake_all(const void * word) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, NULL, NULL, 0);
}

// ---------------------------------------------------------------------------
// strided float vectors
//
// Fast path: contiguous output with inputs that are contiguous (stride 1) or
// one broadcast element (stride 0), eight floats per AVX operation. Each
// lane does exactly the rounding a scalar loop does, so both paths give the
// same bits. Broadcast elements are read once, before anything is written.

namespace {

struct op_add {
    static float s(float x, float y) { return x + y; }
    static __m256 v(__m256 x, __m256 y) { return _mm256_add_ps(x, y); }
};
struct op_sub {
    static float s(float x, float y) { return x - y; }
    static __m256 v(__m256 x, __m256 y) { return _mm256_sub_ps(x, y); }
};
struct op_mul {
    static float s(float x, float y) { return x * y; }
    static __m256 v(__m256 x, __m256 y) { return _mm256_mul_ps(x, y); }
};
struct op_div {
    static float s(float x, float y) { return x / y; }
    static __m256 v(__m256 x, __m256 y) { return _mm256_div_ps(x, y); }
};

// Contiguous output; XV / YV tell whether x / y are contiguous or one
// broadcast element. Fixed at compile time so the loop carries no branch.
template <typename OP, bool XV, bool YV>
void vec_binary_unit(const float * x, const float * y, float * c, size_t n) {
    const float x0 = x[0];
    const float y0 = y[0];
    const __m256 xb = _mm256_set1_ps(x0);
    const __m256 yb = _mm256_set1_ps(y0);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 xv = XV ? _mm256_loadu_ps(x + i) : xb;
        const __m256 yv = YV ? _mm256_loadu_ps(y + i) : yb;
        _mm256_storeu_ps(c + i, OP::v(xv, yv));
    }
    for (; i < n; i++) {
        c[i] = OP::s(XV ? x[i] : x0, YV ? y[i] : y0);
    }
}

// c[k*ic] = OP(x[k*ix], y[k*iy])
template <typename OP>
void vec_binary(const float * x, ptrdiff_t ix, const float * y, ptrdiff_t iy, float * c, ptrdiff_t ic, size_t n) {
    if (n == 0) {
        return;
    }
    if (ic == 1 && (ix == 0 || ix == 1) && (iy == 0 || iy == 1)) {
        if (ix == 1 && iy == 1) {
            vec_binary_unit<OP, true, true>(x, y, c, n);
        } else if (ix == 1) {
            vec_binary_unit<OP, true, false>(x, y, c, n);
        } else if (iy == 1) {
            vec_binary_unit<OP, false, true>(x, y, c, n);
        } else {
            vec_binary_unit<OP, false, false>(x, y, c, n);
        }
        return;
    }
    for (size_t i = 0; i < n; i++) {
        const ptrdiff_t k = (ptrdiff_t) i;
        c[k * ic] = OP::s(x[k * ix], y[k * iy]);
    }
}

static inline float hsum8(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
    return _mm_cvtss_f32(s);
}

// Single-precision sum of x[k*ix] (squared when SQUARE).
template <bool SQUARE>
float vec_sum(const float * x, ptrdiff_t ix, size_t n) {
    float sum = 0.0f;
    size_t i = 0;
    if (ix == 1) {
        // Four independent accumulators hide the add latency on long rows.
        __m256 acc0 = _mm256_setzero_ps();
        __m256 acc1 = _mm256_setzero_ps();
        __m256 acc2 = _mm256_setzero_ps();
        __m256 acc3 = _mm256_setzero_ps();
        for (; i + 32 <= n; i += 32) {
            __m256 v0 = _mm256_loadu_ps(x + i);
            __m256 v1 = _mm256_loadu_ps(x + i + 8);
            __m256 v2 = _mm256_loadu_ps(x + i + 16);
            __m256 v3 = _mm256_loadu_ps(x + i + 24);
            if (SQUARE) {
                v0 = _mm256_mul_ps(v0, v0);
                v1 = _mm256_mul_ps(v1, v1);
                v2 = _mm256_mul_ps(v2, v2);
                v3 = _mm256_mul_ps(v3, v3);
            }
            acc0 = _mm256_add_ps(acc0, v0);
            acc1 = _mm256_add_ps(acc1, v1);
            acc2 = _mm256_add_ps(acc2, v2);
            acc3 = _mm256_add_ps(acc3, v3);
        }
        for (; i + 8 <= n; i += 8) {
            __m256 v = _mm256_loadu_ps(x + i);
            if (SQUARE) {
                v = _mm256_mul_ps(v, v);
            }
            acc0 = _mm256_add_ps(acc0, v);
        }
        sum = hsum8(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3)));
        for (; i < n; i++) {
            sum += SQUARE ? x[i] * x[i] : x[i];
        }
        return sum;
    }
    for (; i < n; i++) {
        const float v = x[(ptrdiff_t) i * ix];
        sum += SQUARE ? v * v : v;
    }
    return sum;
}

} // namespace

extern "C" void tevo_vdsp_vadd(const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n) {
    vec_binary<op_add>(a, ia, b, ib, c, ic, n);
}

extern "C" void tevo_vdsp_vsub(const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n) {
    // the vector passed first is the subtrahend
    vec_binary<op_sub>(b, ib, a, ia, c, ic, n);
}

extern "C" void tevo_vdsp_vmul(const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n) {
    vec_binary<op_mul>(a, ia, b, ib, c, ic, n);
}

extern "C" void tevo_vdsp_vdiv(const float * a, ptrdiff_t ia, const float * b, ptrdiff_t ib, float * c, ptrdiff_t ic, size_t n) {
    // the vector passed first is the divisor
    vec_binary<op_div>(b, ib, a, ia, c, ic, n);
}

extern "C" void tevo_vdsp_vsadd(const float * a, ptrdiff_t ia, const float * b, float * c, ptrdiff_t ic, size_t n) {
    vec_binary<op_add>(a, ia, b, 0, c, ic, n);
}

extern "C" void tevo_vdsp_vsmul(const float * a, ptrdiff_t ia, const float * b, float * c, ptrdiff_t ic, size_t n) {
    vec_binary<op_mul>(a, ia, b, 0, c, ic, n);
}

extern "C" void tevo_vdsp_vsmsa(const float * a, ptrdiff_t ia, const float * b, const float * c, float * d, ptrdiff_t id, size_t n) {
    if (n == 0) {
        return;
    }
    const float s = *b;
    const float t = *c;
    size_t i = 0;
    if (id == 1 && ia == 1) {
        const __m256 sv = _mm256_set1_ps(s);
        const __m256 tv = _mm256_set1_ps(t);
        // product and sum rounded separately, as the scalar form
        for (; i + 8 <= n; i += 8) {
            _mm256_storeu_ps(d + i, _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(a + i), sv), tv));
        }
        for (; i < n; i++) {
            d[i] = a[i] * s + t;
        }
        return;
    }
    for (; i < n; i++) {
        const ptrdiff_t k = (ptrdiff_t) i;
        d[k * id] = a[k * ia] * s + t;
    }
}

extern "C" void tevo_vdsp_sve(const float * a, ptrdiff_t ia, float * c, size_t n) {
    *c = n == 0 ? 0.0f : vec_sum<false>(a, ia, n);
}

extern "C" void tevo_vdsp_measqv(const float * a, ptrdiff_t ia, float * c, size_t n) {
    *c = n == 0 ? 0.0f : vec_sum<true>(a, ia, n) / (float) n;
}

extern "C" void tevo_vdsp_maxv(const float * a, ptrdiff_t ia, float * c, size_t n) {
    float m = -INFINITY;
    size_t i = 0;
    if (ia == 1) {
        // max_ps(x, acc) yields acc whenever x is NaN, so a NaN never enters
        // the accumulator, as with a `>` scan.
        __m256 acc = _mm256_set1_ps(-INFINITY);
        for (; i + 8 <= n; i += 8) {
            acc = _mm256_max_ps(_mm256_loadu_ps(a + i), acc);
        }
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, acc);
        for (int l = 0; l < 8; l++) {
            if (lanes[l] > m) {
                m = lanes[l];
            }
        }
        for (; i < n; i++) {
            if (a[i] > m) {
                m = a[i];
            }
        }
        // A scan keeps the first of equal values; only zeros of both signs
        // compare equal with different bits.
        if (m == 0.0f) {
            for (size_t j = 0; j < n; j++) {
                if (a[j] == 0.0f) {
                    m = a[j];
                    break;
                }
            }
        }
        *c = m;
        return;
    }
    for (; i < n; i++) {
        const float v = a[(ptrdiff_t) i * ia];
        if (v > m) {
            m = v;
        }
    }
    *c = m;
}

extern "C" void tevo_memset_pattern16(void * dst, const void * pattern16, size_t len) {
    unsigned char pat[32];
    memcpy(pat, pattern16, 16);
    memcpy(pat + 16, pattern16, 16);
    unsigned char * d = (unsigned char *) dst;
    const __m256i v = _mm256_loadu_si256((const __m256i *) pat);
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        _mm256_storeu_si256((__m256i *) (d + i), v);
    }
    if (i < len) {
        memcpy(d + i, pat, len - i);
    }
}
