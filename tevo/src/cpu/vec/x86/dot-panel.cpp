#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The panel routines of dot-panel.h with AVX2, FMA and F16C.
//
// The one-row routine keeps, for each dot product, 32 running sums: value
// 32b + 8m + l of the rows goes into lane l of accumulator m, in increasing
// b. Long rows are packed by accumulator: for each m, the blocks one after
// the other, 8 values of each row. A tile of 4 x rows by 3 y rows keeps 12
// accumulators and runs the row four times, once per m; each step loads 4 +
// 3 vectors for 12 multiply-adds. The four passes' accumulators are then
// added as (a0 + a2) + (a1 + a3) and folded to one float in the one-row
// routine's order, four dot products at once; the values past the last
// block of 32 follow one at a time, four dot products per vector (F32:
// fused in single precision; F16 and BF16: products in single, sums in
// double).
//
// A long row would not leave room in the first-level cache for a panel and
// the stream of y rows past it: it is then cut into parts of at most 48
// blocks, and the running sums of every y row wait in acc between the parts.
//
// Rows of fewer than 128 values (attention heads) have too few blocks to
// pay for that fold. Short rows turn the computation around: a register
// holds one running sum of 8 dot products (8 x rows, packed transposed),
// each step adds one value times a broadcast y value, and the fold of the
// 32 sums becomes plain additions of registers in the same tree. A tile is
// 8 x rows by 2 y rows.

#include "cpu/vec/dot-panel.h"
#include "cpu/vec/tables.h"
#include "cpu/vec/x86/simd.h"

#include <string.h>

namespace {

const int PR = 4;
const int PY = TEVO_PANEL_Y_ROWS;

// blocks of 32 per part of a long row: a part of a panel is then 24 KiB
const int PART_BLOCKS = 48;

const int SHORT_N  = TEVO_PANEL_SHORT_N;
const int SHORT_PR = 8;

struct fused {
    static inline __m256 madd(__m256 x, __m256 y, __m256 acc) { return _mm256_fmadd_ps(x, y, acc); }
};

// the brain-float routine multiplies, then adds
struct unfused {
    static inline __m256 madd(__m256 x, __m256 y, __m256 acc) { return _mm256_add_ps(acc, _mm256_mul_ps(x, y)); }
};

inline size_t round16(size_t n) {
    return (n + 15) & ~(size_t) 15;
}

// floats of one packed group of ny rows of y
inline size_t group_floats(int n, int ny) {
    return round16((size_t) n * (size_t) ny);
}

// --- packing

// 8 values widened to floats
inline __m256 load8(enum tevo_type type, const void * row, int i) {
    switch (type) {
        case TEVO_TYPE_F16: return _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) ((const tevo_fp16_t *) row + i)));
        case TEVO_TYPE_BF16: {
            const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *) ((const uint16_t *) row + i)));
            return _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
        }
        default: return _mm256_loadu_ps((const float *) row + i);
    }
}

// one value widened as the one-row routines widen their last values
inline float load1(enum tevo_type type, const void * row, int i) {
    switch (type) {
        case TEVO_TYPE_F16: return tevo_table_f32_f16[((const tevo_fp16_t *) row)[i]];
        case TEVO_TYPE_BF16: {
            const uint32_t u = (uint32_t) ((const uint16_t *) row)[i] << 16;
            float          f;
            memcpy(&f, &u, sizeof(f));
            return f;
        }
        default: return ((const float *) row)[i];
    }
}

// --- long rows

// acc[r][j] += x row r times y row j over ns blocks of one pass: xp and yp
// point at the pass's first block in the panel and in the group
template <typename Op, int NY>
__attribute__((always_inline)) inline void tile_steps(int ns, const float * xp, const float * yp,
                                                      __m256 (&acc)[PR][NY]) {
    for (int s = 0; s < ns; ++s) {
        __m256 yv[NY];
#pragma GCC unroll 4
        for (int j = 0; j < NY; ++j) {
            yv[j] = _mm256_load_ps(yp + 8 * j);
        }
#pragma GCC unroll 4
        for (int r = 0; r < PR; ++r) {
            __m256 xv = _mm256_load_ps(xp + 8 * r);
            // one load per x row, not one per multiply-add (the compiler
            // would fold the load into each of them and run out of load ports)
            __asm__("" : "+x"(xv));
#pragma GCC unroll 4
            for (int j = 0; j < NY; ++j) {
                acc[r][j] = Op::madd(xv, yv[j], acc[r][j]);
            }
        }
        xp += 8 * PR;
        yp += 8 * NY;
    }
}

template <int NY>
inline void tile_zero(__m256 (&acc)[PR][NY]) {
#pragma GCC unroll 4
    for (int r = 0; r < PR; ++r) {
#pragma GCC unroll 4
        for (int j = 0; j < NY; ++j) {
            acc[r][j] = _mm256_setzero_ps();
        }
    }
}

// saved sums: [r][j][8]
template <int NY>
inline void tile_store(float * s, const __m256 (&acc)[PR][NY]) {
#pragma GCC unroll 4
    for (int r = 0; r < PR; ++r) {
#pragma GCC unroll 4
        for (int j = 0; j < NY; ++j) {
            _mm256_store_ps(s + 8 * (NY * r + j), acc[r][j]);
        }
    }
}

template <int NY>
inline void tile_load(const float * s, __m256 (&acc)[PR][NY]) {
#pragma GCC unroll 4
    for (int r = 0; r < PR; ++r) {
#pragma GCC unroll 4
        for (int j = 0; j < NY; ++j) {
            acc[r][j] = _mm256_load_ps(s + 8 * (NY * r + j));
        }
    }
}

// For each of four vectors: (lanes 0-3 + lanes 4-7), then (w0 + w1) + (w2 +
// w3), as tevo_v_hsum does for one.
inline __m128 fold4(__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
    const __m256 w01 = _mm256_add_ps(_mm256_permute2f128_ps(v0, v1, 0x20), _mm256_permute2f128_ps(v0, v1, 0x31));
    const __m256 w23 = _mm256_add_ps(_mm256_permute2f128_ps(v2, v3, 0x20), _mm256_permute2f128_ps(v2, v3, 0x31));
    const __m256 h   = _mm256_hadd_ps(w01, w23);
    const __m256 h2  = _mm256_hadd_ps(h, h);
    // lanes 0, 4, 1, 5 hold the sums of v0, v1, v2, v3
    return _mm256_castps256_ps128(_mm256_permutevar8x32_ps(h2, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0)));
}

// the values past the last block of 32 of four dot products: xt holds them
// for the 4 x rows ([t][4]), yt for the y row
template <bool DOUBLE>
inline __m128 long_tail(__m128 r, const float * xt, const float * yt, int nt) {
    if (DOUBLE) {
        if (nt == 0) {
            return r; // (float) (double) r
        }
        __m256d d = _mm256_cvtps_pd(r);
        for (int t = 0; t < nt; ++t) {
            const __m128 prod = _mm_mul_ps(_mm_load_ps(xt + 4 * t), _mm_set1_ps(yt[t]));
            d                 = _mm256_add_pd(d, _mm256_cvtps_pd(prod));
        }
        return _mm256_cvtpd_ps(d);
    }
    for (int t = 0; t < nt; ++t) {
        r = _mm_fmadd_ps(_mm_load_ps(xt + 4 * t), _mm_set1_ps(yt[t]), r);
    }
    return r;
}

inline void store_rows(float * out, __m128 v, int rows) {
    if (rows == 4) {
        _mm_storeu_ps(out, v);
        return;
    }
    float tmp[4];
    _mm_storeu_ps(tmp, v);
    for (int i = 0; i < rows; ++i) {
        out[i] = tmp[i];
    }
}

// Blocks [b0, b1) of a group of NY y rows (g) against the panel p, all four
// passes. The sums of the earlier parts of the row wait in st ([m][r][j][8]);
// after the last part the results go to dst.
template <typename Op, bool DOUBLE, int NY>
void group_part(int n, const float * p, int rows, const float * g, float * const * dst, size_t col, float * st,
                int b0, int b1) {
    const int  nb = n / 32, np = 32 * nb, nt = n - np;
    const bool first = b0 == 0, last = b1 == nb;

    alignas(32) float lo[3 * PR * NY * 8];
    __m256            acc[PR][NY];
    for (int m = 0; m < 4; ++m) {
        float * const saved = st + (size_t) m * PR * NY * 8;
        if (first) {
            tile_zero(acc);
        } else {
            tile_load(saved, acc);
        }
        tile_steps<Op, NY>(b1 - b0, p + (size_t) 8 * PR * (m * nb + b0), g + (size_t) 8 * NY * (m * nb + b0), acc);
        if (!last) {
            tile_store(saved, acc);
        } else if (m < 3) {
            tile_store(lo + m * PR * NY * 8, acc);
        }
    }
    if (!last) {
        return;
    }

    const float * xt = p + (size_t) PR * np;
#pragma GCC unroll 3
    for (int j = 0; j < NY; ++j) {
        __m256 v[PR];
#pragma GCC unroll 4
        for (int r = 0; r < PR; ++r) {
            const float * s0 = lo + 8 * (NY * r + j);
            const __m256  a0 = _mm256_load_ps(s0);
            const __m256  a1 = _mm256_load_ps(s0 + PR * NY * 8);
            const __m256  a2 = _mm256_load_ps(s0 + 2 * PR * NY * 8);
            v[r]             = _mm256_add_ps(_mm256_add_ps(a0, a2), _mm256_add_ps(a1, acc[r][j]));
        }
        const __m128 sums = fold4(v[0], v[1], v[2], v[3]);
        store_rows(dst[j] + col, long_tail<DOUBLE>(sums, xt, g + (size_t) NY * np + (size_t) j * nt, nt), rows);
    }
}

// The long form: the whole row in one go per group of y, or in parts that
// keep the panel's part in cache while every group passes.
template <typename Op, bool DOUBLE>
void long_rows(int n, const float * p, int rows, const float * b, int ny, float * const * dst, size_t col,
               float * acc) {
    const int    nb = n / 32;
    const size_t gf = group_floats(n, PY);

    alignas(32) float local[4 * PR * PY * 8];
    const int         nparts = nb <= PART_BLOCKS ? 1 : (nb + PART_BLOCKS - 1) / PART_BLOCKS;
    for (int c = 0; c < nparts; ++c) {
        const int b0 = (int) ((int64_t) c * nb / nparts);
        const int b1 = (int) ((int64_t) (c + 1) * nb / nparts);
        for (int j = 0; j < ny; j += PY) {
            const float * g  = b + (size_t) (j / PY) * gf;
            float *       st = nparts == 1 ? local : acc + (size_t) (j / PY) * 4 * PR * PY * 8;
            switch (ny - j) {
                case 1:  group_part<Op, DOUBLE, 1>(n, p, rows, g, dst + j, col, st, b0, b1); break;
                case 2:  group_part<Op, DOUBLE, 2>(n, p, rows, g, dst + j, col, st, b0, b1); break;
                default: group_part<Op, DOUBLE, 3>(n, p, rows, g, dst + j, col, st, b0, b1); break;
            }
        }
    }
}

// --- short rows

// two registers, one per y row of a tile
struct duo {
    __m256 a, b;
};

// Sums of two registers, fixed in place: without the empty statement the
// compiler computes every running sum of the tile before adding any and
// spills them.
__attribute__((always_inline)) inline duo duo_add(duo x, duo y) {
    duo r = { _mm256_add_ps(x.a, y.a), _mm256_add_ps(x.b, y.b) };
    __asm__ volatile("" : "+x"(r.a), "+x"(r.b));
    return r;
}

// running sum c (values 32b + c) of the 8 x rows and the 2 y rows, over NB blocks
template <typename Op, int NB>
__attribute__((always_inline)) inline duo short_sum(int c, const float * xt, const float * y0, const float * y1) {
    duo q = { _mm256_setzero_ps(), _mm256_setzero_ps() };
#pragma GCC unroll 4
    for (int b = 0; b < NB; ++b) {
        const int    k  = 32 * b + c;
        __m256    xv = _mm256_load_ps(xt + 8 * k);
        // one load for both y rows (as in tile_steps)
        __asm__("" : "+x"(xv));
        q.a = Op::madd(xv, _mm256_broadcast_ss(y0 + k), q.a);
        q.b             = Op::madd(xv, _mm256_broadcast_ss(y1 + k), q.b);
    }
    return q;
}

// The one-row routine's v = (a0 + a2) + (a1 + a3), w = v0-3 + v4-7 over
// its 32 sums C: w_k = ((C_k + C_16+k) + (C_8+k + C_24+k)) +
// ((C_4+k + C_20+k) + (C_12+k + C_28+k)).
template <typename Op, int NB>
__attribute__((always_inline)) inline duo short_pair(int c, const float * xt, const float * y0, const float * y1) {
    const duo a = short_sum<Op, NB>(c, xt, y0, y1);
    const duo b = short_sum<Op, NB>(c + 16, xt, y0, y1);
    return duo_add(a, b);
}

template <typename Op, int NB>
__attribute__((always_inline)) inline duo short_w(int k, const float * xt, const float * y0, const float * y1) {
    duo       a = short_pair<Op, NB>(k, xt, y0, y1);
    const duo b = short_pair<Op, NB>(k + 8, xt, y0, y1);
    a           = duo_add(a, b);
    duo       c = short_pair<Op, NB>(k + 4, xt, y0, y1);
    const duo d = short_pair<Op, NB>(k + 12, xt, y0, y1);
    c           = duo_add(c, d);
    return duo_add(a, c);
}

// the last n mod 32 values of 8 dot products, one at a time
template <bool DOUBLE>
inline __m256 short_tail(__m256 r, const float * xt, const float * y, int nt) {
    if (DOUBLE) {
        if (nt == 0) {
            return r;
        }
        __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(r));
        __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(r, 1));
        for (int t = 0; t < nt; ++t) {
            const __m256 prod = _mm256_mul_ps(_mm256_load_ps(xt + 8 * t), _mm256_broadcast_ss(y + t));
            lo                = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(prod)));
            hi                = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(prod, 1)));
        }
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
    }
    for (int t = 0; t < nt; ++t) {
        r = _mm256_fmadd_ps(_mm256_load_ps(xt + 8 * t), _mm256_broadcast_ss(y + t), r);
    }
    return r;
}

inline void store_rows8(float * out, __m256 v, int rows) {
    if (rows == 8) {
        _mm256_storeu_ps(out, v);
        return;
    }
    float tmp[8];
    _mm256_storeu_ps(tmp, v);
    for (int i = 0; i < rows; ++i) {
        out[i] = tmp[i];
    }
}

// 8 x rows (p: [k][8]) by ny <= 2 y rows; a missing second row repeats the first
template <typename Op, bool DOUBLE, int NB>
inline void short_tile(int n, const float * p, int rows, const float * y0, const float * y1, int ny,
                       float * const * dst, size_t col) {
    const int np = 32 * NB, nt = n - np;
    duo       r  = short_w<Op, NB>(0, p, y0, y1);
    const duo w1 = short_w<Op, NB>(1, p, y0, y1);
    r            = duo_add(r, w1);
    duo       w2 = short_w<Op, NB>(2, p, y0, y1);
    const duo w3 = short_w<Op, NB>(3, p, y0, y1);
    w2           = duo_add(w2, w3);
    r            = duo_add(r, w2);

    const float * xt = p + (size_t) 8 * np;
    store_rows8(dst[0] + col, short_tail<DOUBLE>(r.a, xt, y0 + np, nt), rows);
    if (ny > 1) {
        store_rows8(dst[1] + col, short_tail<DOUBLE>(r.b, xt, y1 + np, nt), rows);
    }
}

// y rows of a short block are plain rows of n floats, one after the other
template <typename Op, bool DOUBLE, int NB>
void short_run(int n, const float * p, int rows, const float * b, int ny, float * const * dst, size_t col) {
    for (int j = 0; j < ny; j += 2) {
        const float * y0 = b + (size_t) j * (size_t) n;
        const float * y1 = j + 1 < ny ? y0 + n : y0;
        short_tile<Op, DOUBLE, NB>(n, p, rows, y0, y1, ny - j, dst + j, col);
    }
}

template <typename Op, bool DOUBLE>
void short_rows(int n, const float * p, int rows, const float * b, int ny, float * const * dst, size_t col) {
    switch (n / 32) {
        case 0:  short_run<Op, DOUBLE, 0>(n, p, rows, b, ny, dst, col); break;
        case 1:  short_run<Op, DOUBLE, 1>(n, p, rows, b, ny, dst, col); break;
        case 2:  short_run<Op, DOUBLE, 2>(n, p, rows, b, ny, dst, col); break;
        default: short_run<Op, DOUBLE, 3>(n, p, rows, b, ny, dst, col); break;
    }
}

template <typename Op, bool DOUBLE>
void run(int n, const float * p, int rows, const float * b, int ny, float * const * dst, size_t col, float * acc) {
    if (n < SHORT_N) {
        short_rows<Op, DOUBLE>(n, p, rows, b, ny, dst, col);
    } else {
        long_rows<Op, DOUBLE>(n, p, rows, b, ny, dst, col, acc);
    }
}

}  // namespace

int tevo_dot_panel_rows(int n) {
    return n < SHORT_N ? SHORT_PR : PR;
}

size_t tevo_dot_panel_x_floats(int n) {
    return round16((size_t) tevo_dot_panel_rows(n) * (size_t) n);
}

size_t tevo_dot_panel_y_floats(int n, int ny) {
    if (n < SHORT_N) {
        return round16((size_t) ny * (size_t) n);
    }
    const size_t full = (size_t) (ny / PY) * group_floats(n, PY);
    return ny % PY == 0 ? full : full + group_floats(n, ny % PY);
}

size_t tevo_dot_panel_acc_floats(int n, int ny) {
    if (n < SHORT_N || n / 32 <= PART_BLOCKS) {
        return 0;
    }
    return (size_t) ((ny + PY - 1) / PY) * 4 * PR * PY * 8;
}

// Long rows: [m][block][row][8], then the last n mod 32 values as [t][row].
// Short rows: [k][row] (8 rows). Each value is widened as its place in the
// one-row routine widens it.
void tevo_dot_panel_pack_x(enum tevo_type type, int n, const void * x, size_t bx, int rows, float * p) {
    const int nb = n / 32, np = 32 * nb, nt = n - np;
    if (n < SHORT_N) {
        for (int r = 0; r < SHORT_PR; ++r) {
            const void * row = (const char *) x + (size_t) r * bx;
            for (int k = 0; k < n; ++k) {
                p[(size_t) SHORT_PR * k + r] = r < rows ? load1(type, row, k) : 0.0f;
            }
        }
        return;
    }
    for (int r = 0; r < PR; ++r) {
        const void * row = (const char *) x + (size_t) r * bx;
        for (int b = 0; b < nb; ++b) {
            for (int m = 0; m < 4; ++m) {
                float * out = p + (size_t) 8 * (PR * (m * nb + b) + r);
                _mm256_store_ps(out, r < rows ? load8(type, row, 32 * b + 8 * m) : _mm256_setzero_ps());
            }
        }
        for (int t = 0; t < nt; ++t) {
            p[(size_t) PR * np + PR * t + r] = r < rows ? load1(type, row, np + t) : 0.0f;
        }
    }
}

// Long rows: groups of PY rows, [m][block][row][8], then the last n mod 32
// values of each row. Short rows: the rows one after the other.
void tevo_dot_panel_pack_y(enum tevo_type type, int n, const void * const * y, int j0, int ny, float * b) {
    const int nb = n / 32, np = 32 * nb, nt = n - np;
    if (n < SHORT_N) {
        for (int j = 0; j < ny; ++j) {
            float * out = b + (size_t) (j0 + j) * (size_t) n;
            int     k   = 0;
            for (; k + 8 <= n; k += 8) {
                _mm256_storeu_ps(out + k, load8(type, y[j], k));
            }
            for (; k < n; ++k) {
                out[k] = load1(type, y[j], k);
            }
        }
        return;
    }
    const size_t gf = group_floats(n, PY);
    for (int g0 = 0; g0 < ny; g0 += PY) {
        const int gy = ny - g0 < PY ? ny - g0 : PY;
        float *   g  = b + (size_t) ((j0 + g0) / PY) * gf;
        for (int j = 0; j < gy; ++j) {
            const void * row = y[g0 + j];
            for (int blk = 0; blk < nb; ++blk) {
                for (int m = 0; m < 4; ++m) {
                    _mm256_store_ps(g + (size_t) 8 * (gy * (m * nb + blk) + j), load8(type, row, 32 * blk + 8 * m));
                }
            }
            for (int t = 0; t < nt; ++t) {
                g[(size_t) gy * np + (size_t) j * nt + t] = load1(type, row, np + t);
            }
        }
    }
}

void tevo_dot_panel_run(enum tevo_type type, int n, const float * p, int rows, const float * b, int ny,
                        float * const * dst, size_t col, float * acc) {
    switch (type) {
        case TEVO_TYPE_F16:  run<fused, true>(n, p, rows, b, ny, dst, col, acc); break;
        case TEVO_TYPE_BF16: run<unfused, true>(n, p, rows, b, ny, dst, col, acc); break;
        default:             run<fused, false>(n, p, rows, b, ny, dst, col, acc); break;
    }
}
