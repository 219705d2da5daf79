#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Dot products of F32, F16 and BF16 rows with AVX2, FMA and F16C.
//
// Every dot product has the same fixed numerics: the leading n rounded down
// to 32 values go through four 8-lane accumulators (element 32b + 8m + l
// into lane l of accumulator m), combined as (a0 + a2) + (a1 + a3) and folded
// to one float; the remaining values are added one at a time (F32: fused in
// single precision; F16 and BF16: products in single, sum in double).
//
// The block routines compute many such dot products at once for matrix
// multiplication. Each lane of each accumulator sees the same operations in
// the same order as in the one-row routine, so results are bit-identical;
// only the schedule differs. A tile of RX rows of x by RY rows of y runs
// one accumulator index m at a time (four passes over the rows), which keeps
// RX*RY accumulators plus the loaded rows within the 16 vector registers
// and reuses every load RX or RY times. A single row of y (matrix-vector
// products) instead goes through a few rows of x in one front-to-back pass.
// Short rows (under 96 values) skip the passes: the fixed costs per dot
// product (folds, stores) outweigh its few multiply-adds there.

#include "cpu/vec/vec.h"
#include "cpu/vec/x86/simd.h"

#include <math.h>

namespace {

struct f32_row {
    typedef float elem;
    static inline __m256 load(const float * p) { return _mm256_loadu_ps(p); }
    static inline __m256 madd(__m256 x, __m256 y, __m256 acc) { return _mm256_fmadd_ps(x, y, acc); }
    static inline float  finish(float sum, const float * x, const float * y, int i, int n) {
        for (; i < n; ++i) {
            sum = fmaf(x[i], y[i], sum);
        }
        return sum;
    }
};

struct f16_row {
    typedef tevo_fp16_t elem;
    static inline __m256 load(const tevo_fp16_t * p) {
        return _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) p));
    }
    static inline __m256 madd(__m256 x, __m256 y, __m256 acc) { return _mm256_fmadd_ps(x, y, acc); }
    static inline float  finish(float sum, const tevo_fp16_t * x, const tevo_fp16_t * y, int i, int n) {
        double sumd = (double) sum;
        for (; i < n; ++i) {
            sumd += (double) (tevo_table_f32_f16[x[i]] * tevo_table_f32_f16[y[i]]);
        }
        return (float) sumd;
    }
};

struct bf16_row {
    typedef tevo_bf16_t elem;
    static inline __m256 load(const tevo_bf16_t * p) {
        const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *) p));
        return _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
    }
    // no fused operation: multiply, then add
    static inline __m256 madd(__m256 x, __m256 y, __m256 acc) { return _mm256_add_ps(acc, _mm256_mul_ps(x, y)); }
    static inline float  finish(float sum, const tevo_bf16_t * x, const tevo_bf16_t * y, int i, int n) {
        double sumd = (double) sum;
        for (; i < n; ++i) {
            sumd += (double) (TEVO_BF16_TO_FP32(x[i]) * TEVO_BF16_TO_FP32(y[i]));
        }
        return (float) sumd;
    }
};

static inline float tevo_reduce4(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
    return tevo_v_hsum(_mm256_add_ps(_mm256_add_ps(a0, a2), _mm256_add_ps(a1, a3)));
}

// The folds of four vectors at once: for each, (lanes 0-3 + lanes 4-7), then
// (w0 + w1) + (w2 + w3), exactly as tevo_v_hsum does for one.
static inline __m128 tevo_fold4(__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
    const __m256 w01 = _mm256_add_ps(_mm256_permute2f128_ps(v0, v1, 0x20), _mm256_permute2f128_ps(v0, v1, 0x31));
    const __m256 w23 = _mm256_add_ps(_mm256_permute2f128_ps(v2, v3, 0x20), _mm256_permute2f128_ps(v2, v3, 0x31));
    const __m256 h   = _mm256_hadd_ps(w01, w23);
    const __m256 h2  = _mm256_hadd_ps(h, h);
    // lanes 0, 4, 1, 5 hold the sums of v0, v1, v2, v3
    const __m256 ordered = _mm256_permutevar8x32_ps(h2, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
    return _mm256_castps256_ps128(ordered);
}

// [a lanes 0-3 + a lanes 4-7 | b lanes 0-3 + b lanes 4-7]
static inline __m256 tevo_fold_halves(__m256 a, __m256 b) {
    return _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
}

// The folds of eight vectors at once, in the order of tevo_v_hsum for each.
static inline __m256 tevo_fold8(const __m256 * v) {
    const __m256 w01 = tevo_fold_halves(v[0], v[1]);
    const __m256 w23 = tevo_fold_halves(v[2], v[3]);
    const __m256 w45 = tevo_fold_halves(v[4], v[5]);
    const __m256 w67 = tevo_fold_halves(v[6], v[7]);
    // lanes 0-3 hold the sums of v0, v2, v4, v6, lanes 4-7 those of v1, v3, v5, v7
    const __m256 h = _mm256_hadd_ps(_mm256_hadd_ps(w01, w23), _mm256_hadd_ps(w45, w67));
    return _mm256_permutevar8x32_ps(h, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

template <typename R>
static inline float tevo_dot_row(int n, const typename R::elem * x, const typename R::elem * y) {
    const int np = n & ~31;
    __m256    a0 = _mm256_setzero_ps();
    __m256    a1 = _mm256_setzero_ps();
    __m256    a2 = _mm256_setzero_ps();
    __m256    a3 = _mm256_setzero_ps();
    for (int i = 0; i < np; i += 32) {
        a0 = R::madd(R::load(x + i + 0), R::load(y + i + 0), a0);
        a1 = R::madd(R::load(x + i + 8), R::load(y + i + 8), a1);
        a2 = R::madd(R::load(x + i + 16), R::load(y + i + 16), a2);
        a3 = R::madd(R::load(x + i + 24), R::load(y + i + 24), a3);
    }
    return R::finish(tevo_reduce4(a0, a1, a2, a3), x, y, np, n);
}

// One tile: RX rows of x against RY rows of y. s[j*16 + i].
template <typename R, int RX, int RY>
static void tevo_dot_tile(int n, const typename R::elem * x, size_t bx, const void * const * y, float * s) {
    typedef typename R::elem elem;

    const int np = n & ~31;

    const elem * xr[RX];
    const elem * yr[RY];
    for (int i = 0; i < RX; ++i) {
        xr[i] = (const elem *) ((const char *) x + i * bx);
    }
    for (int j = 0; j < RY; ++j) {
        yr[j] = (const elem *) y[j];
    }

    __m256 part[4][RX][RY];

    // the loops over the tile are unrolled so the accumulators stay in registers
    for (int m = 0; m < 4; ++m) {
        __m256 acc[RX][RY];
#pragma GCC unroll 8
        for (int i = 0; i < RX; ++i) {
#pragma GCC unroll 4
            for (int j = 0; j < RY; ++j) {
                acc[i][j] = _mm256_setzero_ps();
            }
        }
        for (int k = 8 * m; k < np; k += 32) {
            __m256 yv[RY];
#pragma GCC unroll 4
            for (int j = 0; j < RY; ++j) {
                yv[j] = R::load(yr[j] + k);
            }
#pragma GCC unroll 8
            for (int i = 0; i < RX; ++i) {
                const __m256 xv = R::load(xr[i] + k);
#pragma GCC unroll 4
                for (int j = 0; j < RY; ++j) {
                    acc[i][j] = R::madd(xv, yv[j], acc[i][j]);
                }
            }
        }
#pragma GCC unroll 8
        for (int i = 0; i < RX; ++i) {
#pragma GCC unroll 4
            for (int j = 0; j < RY; ++j) {
                part[m][i][j] = acc[i][j];
            }
        }
    }

    // four dot products folded at once, each in the order of tevo_reduce4
#pragma GCC unroll 4
    for (int j = 0; j < RY; ++j) {
#pragma GCC unroll 2
        for (int i0 = 0; i0 < RX; i0 += 4) {
            __m256 v[4];
#pragma GCC unroll 4
            for (int d = 0; d < 4; ++d) {
                const int i = i0 + d < RX ? i0 + d : i0;
                v[d]        = _mm256_add_ps(_mm256_add_ps(part[0][i][j], part[2][i][j]),
                                            _mm256_add_ps(part[1][i][j], part[3][i][j]));
            }
            const __m128 sums = tevo_fold4(v[0], v[1], v[2], v[3]);
            float *      out  = s + j * 16 + i0;
            if (np == n && i0 + 4 <= RX) {
                _mm_storeu_ps(out, sums);
            } else {
                float tmp[4];
                _mm_storeu_ps(tmp, sums);
                for (int d = 0; d < 4 && i0 + d < RX; ++d) {
                    out[d] = R::finish(tmp[d], xr[i0 + d], yr[j], np, n);
                }
            }
        }
    }
}

// RX rows of x against one row of y in a single pass, all four accumulators
// of each dot product live at once: rows are read front to back, which the
// hardware prefetchers follow best when x streams from memory.
template <typename R, int RX>
static void tevo_dot_rows_1(int n, const typename R::elem * x, size_t bx, const void * const * y, float * s) {
    typedef typename R::elem elem;

    const int    np = n & ~31;
    const elem * yr = (const elem *) y[0];
    const elem * xr[RX];
#pragma GCC unroll 4
    for (int i = 0; i < RX; ++i) {
        xr[i] = (const elem *) ((const char *) x + i * bx);
    }

    __m256 acc[RX][4];
#pragma GCC unroll 4
    for (int i = 0; i < RX; ++i) {
#pragma GCC unroll 4
        for (int m = 0; m < 4; ++m) {
            acc[i][m] = _mm256_setzero_ps();
        }
    }
    for (int k = 0; k < np; k += 32) {
#pragma GCC unroll 4
        for (int m = 0; m < 4; ++m) {
            const __m256 yv = R::load(yr + k + 8 * m);
#pragma GCC unroll 4
            for (int i = 0; i < RX; ++i) {
                acc[i][m] = R::madd(R::load(xr[i] + k + 8 * m), yv, acc[i][m]);
            }
        }
    }
#pragma GCC unroll 4
    for (int i = 0; i < RX; ++i) {
        s[i] = R::finish(tevo_reduce4(acc[i][0], acc[i][1], acc[i][2], acc[i][3]), xr[i], yr, np, n);
    }
}

template <typename R, int RY>
static inline void tevo_dot_tile_rows(int n, int rx, const typename R::elem * x, size_t bx, const void * const * y,
                                      float * s) {
    switch (rx) {
        case 1: tevo_dot_tile<R, 1, RY>(n, x, bx, y, s); break;
        case 2: tevo_dot_tile<R, 2, RY>(n, x, bx, y, s); break;
        case 3: tevo_dot_tile<R, 3, RY>(n, x, bx, y, s); break;
        default: tevo_dot_tile<R, 4, RY>(n, x, bx, y, s); break;
    }
}

// Short rows (one or two blocks of 32): each dot product is a handful of
// fused multiply-adds, so the fixed costs decide. A row of y stays in
// registers, every row of x is read once per row of y, the four accumulators
// of a dot product live only briefly and the folds go eight at a time.
template <typename R, int B>
static void tevo_dot_block_short(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s) {
    typedef typename R::elem elem;

    const int    np   = 32 * B;
    const __m256 zero = _mm256_setzero_ps();

    for (int j = 0; j < ny; ++j) {
        const elem * yj = (const elem *) y[j];
        __m256       yv[4 * B];
#pragma GCC unroll 8
        for (int q = 0; q < 4 * B; ++q) {
            yv[q] = R::load(yj + 8 * q);
        }
        float * out = s + j * 16;
        for (int i0 = 0; i0 < nx; i0 += 8) {
            const int cnt = nx - i0 < 8 ? nx - i0 : 8;
            __m256    v[8];
#pragma GCC unroll 8
            for (int d = 0; d < 8; ++d) {
                const elem * xi = (const elem *) ((const char *) x + (size_t) (i0 + (d < cnt ? d : 0)) * bx);
                __m256       a[4];
#pragma GCC unroll 4
                for (int m = 0; m < 4; ++m) {
                    a[m] = R::madd(R::load(xi + 8 * m), yv[m], zero);
                }
#pragma GCC unroll 4
                for (int b = 1; b < B; ++b) {
#pragma GCC unroll 4
                    for (int m = 0; m < 4; ++m) {
                        a[m] = R::madd(R::load(xi + 32 * b + 8 * m), yv[4 * b + m], a[m]);
                    }
                }
                v[d] = _mm256_add_ps(_mm256_add_ps(a[0], a[2]), _mm256_add_ps(a[1], a[3]));
            }
            const __m256 r = tevo_fold8(v);
            if (cnt == 8 && np == n) {
                _mm256_storeu_ps(out + i0, r);
            } else {
                float tmp[8];
                _mm256_storeu_ps(tmp, r);
                for (int d = 0; d < cnt; ++d) {
                    const elem * xi = (const elem *) ((const char *) x + (size_t) (i0 + d) * bx);
                    out[i0 + d]     = np == n ? tmp[d] : R::finish(tmp[d], xi, yj, np, n);
                }
            }
        }
    }
}

template <typename R>
static void tevo_dot_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s) {
    typedef typename R::elem elem;

    if (n < 32) {
        // nothing to tile: only the one-at-a-time tail
        for (int j = 0; j < ny; ++j) {
            for (int i = 0; i < nx; ++i) {
                const elem * xi = (const elem *) ((const char *) x + i * bx);
                s[j * 16 + i]   = R::finish(0.0f, xi, (const elem *) y[j], 0, n);
            }
        }
        return;
    }

    if (n < 64) {
        tevo_dot_block_short<R, 1>(n, nx, ny, x, bx, y, s);
        return;
    }
    if (n < 96) {
        tevo_dot_block_short<R, 2>(n, nx, ny, x, bx, y, s);
        return;
    }

    // a single row of y (matrix-vector, or the row left over from tiles of
    // three): three rows of x at a time
    if (ny % 3 == 1) {
        const int j  = ny - 1;
        int       i0 = 0;
        for (; i0 + 3 <= nx; i0 += 3) {
            tevo_dot_rows_1<R, 3>(n, (const elem *) ((const char *) x + i0 * bx), bx, y + j, s + j * 16 + i0);
        }
        for (; i0 < nx; ++i0) {
            tevo_dot_rows_1<R, 1>(n, (const elem *) ((const char *) x + i0 * bx), bx, y + j, s + j * 16 + i0);
        }
        if (--ny == 0) {
            return;
        }
    }

    // a few rows of x stay in the first-level cache while all rows of y pass
    for (int i0 = 0; i0 < nx; i0 += 4) {
        const int    rx = nx - i0 < 4 ? nx - i0 : 4;
        const elem * xi = (const elem *) ((const char *) x + i0 * bx);
        for (int j0 = 0; j0 < ny; j0 += 3) {
            const int ry = ny - j0 < 3 ? ny - j0 : 3;
            float *   si = s + j0 * 16 + i0;
            switch (ry) {
                case 1: tevo_dot_tile_rows<R, 1>(n, rx, xi, bx, y + j0, si); break;
                case 2: tevo_dot_tile_rows<R, 2>(n, rx, xi, bx, y + j0, si); break;
                default: tevo_dot_tile_rows<R, 3>(n, rx, xi, bx, y + j0, si); break;
            }
        }
    }
}

}  // namespace

void tevo_vec_dot_f32(int n, float * s, size_t bs, const float * x, size_t bx, const float * y, size_t by, int nrc) {
    (void) bs;
    (void) bx;
    (void) by;
    (void) nrc;
    *s = tevo_dot_row<f32_row>(n, x, y);
}

void tevo_vec_dot_f16(int n, float * s, size_t bs, const tevo_fp16_t * x, size_t bx, const tevo_fp16_t * y, size_t by,
                      int nrc) {
    (void) bs;
    (void) bx;
    (void) by;
    (void) nrc;
    *s = tevo_dot_row<f16_row>(n, x, y);
}

void tevo_vec_dot_bf16(int n, float * s, size_t bs, const tevo_bf16_t * x, size_t bx, const tevo_bf16_t * y,
                       size_t by, int nrc) {
    (void) bs;
    (void) bx;
    (void) by;
    (void) nrc;
    *s = tevo_dot_row<bf16_row>(n, x, y);
}

void tevo_vec_dot_f32_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s) {
    tevo_dot_block<f32_row>(n, nx, ny, x, bx, y, s);
}

void tevo_vec_dot_f16_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s) {
    tevo_dot_block<f16_row>(n, nx, ny, x, bx, y, s);
}

void tevo_vec_dot_bf16_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s) {
    tevo_dot_block<bf16_row>(n, nx, ny, x, bx, y, s);
}
