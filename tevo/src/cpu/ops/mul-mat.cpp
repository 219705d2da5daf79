#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// MUL_MAT and MUL_MAT_ID: src1 is first brought into the vec_dot_type of the
// weights' type, then blocks of the output are handed out through the chunk
// counter and every output value is one vec_dot of a src0 row with a src1
// row. F32, F16 and BF16 weights go through block dot products that compute
// a 16x16 block at once with the numerics of the one-row routine.
//
// When src1 has enough rows, MUL_MAT over those weights takes larger chunks
// through the panel routines (cpu/vec/dot-panel.h) instead: a block of src1
// rows sized for the second-level cache is converted and packed once per
// chunk, and the weights pass it a panel at a time, the panel staying in the
// first-level cache while the block streams by. Same dot products, same
// bits; the weights are read once per block rather than once per 16 rows of
// src1.

#include "cpu/ops/ops.h"
#include "cpu/ops/tiled.h"
#include "cpu/quants/quants.h"
#include "cpu/vec/dot-panel.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>

#include <atomic>

// output rows per side of a block inside a chunk
static const int64_t TEVO_MM_BLOCK = 16;

// One block row of results into dst. A library memcpy of these short rows
// ends in a string move whose start-up cost rivals the dot products of a
// small inner size.
static inline void tevo_mm_copy_row(float * dst, const float * src, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(dst + i, _mm256_loadu_ps(src + i));
    }
    for (; i < n; ++i) {
        dst[i] = src[i];
    }
}

typedef void (*tevo_vec_dot_block_t)(int n, int nx, int ny, const void * x, size_t bx, const void * const * y,
                                     float * s);

// the block routine of weights whose one-row dot product it reproduces
static tevo_vec_dot_block_t tevo_mm_block_kernel(enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_F32:  return tevo_vec_dot_f32_block;
        case TEVO_TYPE_F16:  return tevo_vec_dot_f16_block;
        case TEVO_TYPE_BF16: return tevo_vec_dot_bf16_block;
        default:             return NULL;
    }
}

// One row of n src1 values into the vec_dot_type V, for the whole src1
// (tevo_mm_convert_src1) and for the panels' few rows at a time alike.
static void tevo_mm_convert_row(enum tevo_type src, enum tevo_type V, const char * x, char * y, int64_t n) {
    switch (src) {
        case TEVO_TYPE_F16:  tevo_cpu_fp16_to_fp32((const tevo_fp16_t *) x, (float *) y, n); break;
        case TEVO_TYPE_BF16: tevo_cpu_bf16_to_fp32((const tevo_bf16_t *) x, (float *) y, n); break;
        default:             tevo_get_type_traits_cpu(V)->from_float((const float *) x, y, n); break;
    }
}

// the several-rows form of a quantized pair's dot product, where one exists:
// the same bits per value as vec_dot
static tevo_vec_dot_rows_t tevo_mm_rows_kernel(enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_Q4_0: return tevo_vec_dot_q4_0_q8_0_rows;
        case TEVO_TYPE_Q4_1: return tevo_vec_dot_q4_1_q8_1_rows;
        case TEVO_TYPE_Q5_0: return tevo_vec_dot_q5_0_q8_0_rows;
        case TEVO_TYPE_Q5_1: return tevo_vec_dot_q5_1_q8_1_rows;
        case TEVO_TYPE_Q8_0: return tevo_vec_dot_q8_0_q8_0_rows;
        default:             return NULL;
    }
}

// Converts this thread's share of every src1 row into wdata: the block range
// [ith*ne10/B/nth, (ith+1)*ne10/B/nth) of each row, B the block size of V.
static void tevo_mm_convert_src1(const struct tevo_compute_params * params, const struct tevo_tensor * src1,
                                 enum tevo_type vec_dot_type, char * wdata) {
    const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
    const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2], nb13 = src1->nb[3];

    const size_t nbw0 = tevo_type_size(vec_dot_type);
    const size_t nbw1 = tevo_row_size(vec_dot_type, ne10);
    const size_t nbw2 = nbw1 * (size_t) ne11;
    const size_t nbw3 = nbw2 * (size_t) ne12;

    const int64_t blck  = tevo_blck_size(vec_dot_type);
    const int64_t start = (int64_t) params->ith * ne10 / blck / params->nth;
    const int64_t end   = (int64_t) (params->ith + 1) * ne10 / blck / params->nth;
    if (start >= end) {
        return;
    }
    const int64_t n = (end - start) * blck;

    for (int64_t i13 = 0; i13 < ne13; ++i13) {
        for (int64_t i12 = 0; i12 < ne12; ++i12) {
            for (int64_t i11 = 0; i11 < ne11; ++i11) {
                const char * src = (const char *) src1->data + i11 * nb11 + i12 * nb12 + i13 * nb13 +
                                   (size_t) (start * blck) * nb10;
                char * dst = wdata + i13 * nbw3 + i12 * nbw2 + i11 * nbw1 + (size_t) start * nbw0;
                tevo_mm_convert_row(src1->type, vec_dot_type, src, dst, n);
            }
        }
    }
}

// The split of an nr0 x nr1 output into chunks: 16 x 16 (64 along the only
// dimension of a matrix-vector product), or one chunk per thread along the
// longer side when that would leave fewer than 4 chunks per thread.
struct tevo_mm_chunking {
    int64_t nchunk0, nchunk1;
    int64_t dr0, dr1;
};

static struct tevo_mm_chunking tevo_mm_chunks(int64_t nr0, int64_t nr1, int nth) {
    const int64_t chunk_size = (nr0 == 1 || nr1 == 1) ? 64 : 16;

    struct tevo_mm_chunking c;
    c.nchunk0 = (nr0 + chunk_size - 1) / chunk_size;
    c.nchunk1 = (nr1 + chunk_size - 1) / chunk_size;
    if (c.nchunk0 * c.nchunk1 < 4 * (int64_t) nth) {
        c.nchunk0 = nr0 > nr1 ? nth : 1;
        c.nchunk1 = nr0 > nr1 ? 1 : nth;
    }
    c.dr0 = (nr0 + c.nchunk0 - 1) / c.nchunk0;
    c.dr1 = (nr1 + c.nchunk1 - 1) / c.nchunk1;
    return c;
}

// The split of a one-row product through a several-rows kernel: up to 256
// weight rows a chunk, halved down to 64 while that leaves fewer than 4
// chunks per thread. The weights stream from memory, and each chunk start
// breaks a thread's sequential reads; at 64 rows a chunk the restarts cost
// a 4-thread product of 384 x 51864 q5_0 weights a fifth of its time.
static struct tevo_mm_chunking tevo_mm_rows_chunks(int64_t nr0, int nth) {
    int64_t rows = 256;
    while (rows > 64 && nr0 < rows * 4 * nth) {
        rows /= 2;
    }
    struct tevo_mm_chunking c;
    c.nchunk0 = (nr0 + rows - 1) / rows;
    c.nchunk1 = 1;
    if (c.nchunk0 < 4 * (int64_t) nth) {
        c.nchunk0 = nth;
    }
    c.dr0 = (nr0 + c.nchunk0 - 1) / c.nchunk0;
    c.dr1 = 1;
    return c;
}

// ---------------------------------------------------------------------------
// MUL_MAT

struct tevo_mm_ctx {
    const struct tevo_tensor * src0;
    const struct tevo_tensor * src1;
    struct tevo_tensor *       dst;

    tevo_vec_dot_t       vec_dot;
    tevo_vec_dot_block_t vec_dot_block; // NULL: one vec_dot call per value
    tevo_vec_dot_rows_t  vec_dot_rows;  // NULL: one vec_dot call per value
    int64_t              nrows;         // rows per vec_dot call (1 or 2)
    int                  n_dot;         // values per dot product (ne00)

    const char * src1_data;     // converted rows, or src1's own data
    bool         src1_packed;   // rows at a fixed stride row_size
    bool         convert;       // src1's rows are its own, still to be converted (panel path)
    size_t       row_size;      // of a src1 row in the vec_dot_type
    int64_t      r2, r3;        // broadcast factors of src0 over dims 2 and 3
};

static inline const char * tevo_mm_src1_row(const struct tevo_mm_ctx * mm, int64_t i11, int64_t i12, int64_t i13) {
    const struct tevo_tensor * src1 = mm->src1;
    if (mm->src1_packed) {
        return mm->src1_data + (i11 + i12 * src1->ne[1] + i13 * src1->ne[2] * src1->ne[1]) * mm->row_size;
    }
    return mm->src1_data + i11 * src1->nb[1] + i12 * src1->nb[2] + i13 * src1->nb[3];
}

// rows [ir0_start, ir0_end) of src0 against rows [ir1_start, ir1_end) of src1
static void tevo_mm_one_chunk(const struct tevo_mm_ctx * mm, int64_t ir0_start, int64_t ir0_end, int64_t ir1_start,
                              int64_t ir1_end) {
    if (ir0_start >= ir0_end || ir1_start >= ir1_end) {
        return;
    }

    const struct tevo_tensor * src0 = mm->src0;
    const struct tevo_tensor * src1 = mm->src1;
    struct tevo_tensor *       dst  = mm->dst;

    const int     n_dot = mm->n_dot;
    const int64_t ne11 = src1->ne[1], ne12 = src1->ne[2];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    if (mm->vec_dot_block != NULL) {
        float        s[TEVO_MM_BLOCK * TEVO_MM_BLOCK];
        const void * yrow[TEVO_MM_BLOCK];
        char *       drow[TEVO_MM_BLOCK];
        int64_t      xmat[TEVO_MM_BLOCK]; // offset of the src0 matrix of each src1 row

        for (int64_t iir1 = ir1_start; iir1 < ir1_end; iir1 += TEVO_MM_BLOCK) {
            const int ny = (int) TEVO_MIN(TEVO_MM_BLOCK, ir1_end - iir1);
            // the first row's indices by division, the others by counting on
            int64_t i13 = iir1 / (ne12 * ne11);
            int64_t i12 = (iir1 - i13 * ne12 * ne11) / ne11;
            int64_t i11 = iir1 - i13 * ne12 * ne11 - i12 * ne11;
            int64_t x0 = (int64_t) ((i12 / mm->r2) * nb02 + (i13 / mm->r3) * nb03);
            for (int j = 0; j < ny; ++j) {
                yrow[j] = tevo_mm_src1_row(mm, i11, i12, i13);
                drow[j] = (char *) dst->data + i11 * nb1 + i12 * nb2 + i13 * nb3;
                xmat[j] = x0;
                if (++i11 == ne11) {
                    i11 = 0;
                    if (++i12 == ne12) {
                        i12 = 0;
                        ++i13;
                    }
                    x0 = (int64_t) ((i12 / mm->r2) * nb02 + (i13 / mm->r3) * nb03);
                }
            }
            for (int64_t iir0 = ir0_start; iir0 < ir0_end; iir0 += TEVO_MM_BLOCK) {
                const int nx = (int) TEVO_MIN(TEVO_MM_BLOCK, ir0_end - iir0);
                // src1 rows of one src0 matrix are computed together
                for (int j0 = 0; j0 < ny;) {
                    int j1 = j0 + 1;
                    while (j1 < ny && xmat[j1] == xmat[j0]) {
                        ++j1;
                    }
                    const char * x = (const char *) src0->data + xmat[j0] + iir0 * nb01;
                    mm->vec_dot_block(n_dot, nx, j1 - j0, x, nb01, yrow + j0, s + j0 * TEVO_MM_BLOCK);
                    j0 = j1;
                }
                for (int j = 0; j < ny; ++j) {
                    tevo_mm_copy_row((float *) drow[j] + iir0, s + j * TEVO_MM_BLOCK, nx);
                }
            }
        }
        return;
    }

    // Generic path: one vec_dot call per value (or per 2x2 values for kernels
    // that handle two rows), results gathered in tmp and copied per row.
    int64_t nrc = mm->nrows;
    if ((dst->ne[0] % 2) != 0 || (ne11 % 2) != 0 || ((ir0_end - ir0_start) % 2) != 0 ||
        ((ir1_end - ir1_start) % 2) != 0) {
        nrc = 1;
    }
    const size_t src1_stride = mm->src1_packed ? mm->row_size : src1->nb[1];

    if (nrc == 1 && mm->vec_dot_rows != NULL) {
        // the src0 rows of a block against each src1 row in one call, written
        // straight into dst. A single src1 row has no reuse for the blocks to
        // keep in cache: the whole range goes in one call, which spares a
        // product of many short rows a call and its set-up per 16 rows.
        const int64_t blk0 = ir1_end - ir1_start == 1 ? ir0_end - ir0_start : TEVO_MM_BLOCK;
        for (int64_t iir1 = ir1_start; iir1 < ir1_end; iir1 += TEVO_MM_BLOCK) {
            for (int64_t iir0 = ir0_start; iir0 < ir0_end; iir0 += blk0) {
                const int nr = (int) (TEVO_MIN(iir0 + blk0, ir0_end) - iir0);
                for (int64_t ir1 = iir1; ir1 < iir1 + TEVO_MM_BLOCK && ir1 < ir1_end; ++ir1) {
                    const int64_t i13 = ir1 / (ne12 * ne11);
                    const int64_t i12 = (ir1 - i13 * ne12 * ne11) / ne11;
                    const int64_t i11 = ir1 - i13 * ne12 * ne11 - i12 * ne11;

                    const char * src0_row = (const char *) src0->data + (i12 / mm->r2) * nb02 + (i13 / mm->r3) * nb03;
                    float *      dst_col  = (float *) ((char *) dst->data + i11 * nb1 + i12 * nb2 + i13 * nb3);
                    mm->vec_dot_rows(n_dot, nr, dst_col + iir0, src0_row + iir0 * nb01, nb01,
                                     tevo_mm_src1_row(mm, i11, i12, i13));
                }
            }
        }
        return;
    }

    float tmp[32];

    for (int64_t iir1 = ir1_start; iir1 < ir1_end; iir1 += TEVO_MM_BLOCK) {
        for (int64_t iir0 = ir0_start; iir0 < ir0_end; iir0 += TEVO_MM_BLOCK) {
            for (int64_t ir1 = iir1; ir1 < iir1 + TEVO_MM_BLOCK && ir1 < ir1_end; ir1 += nrc) {
                const int64_t i13 = ir1 / (ne12 * ne11);
                const int64_t i12 = (ir1 - i13 * ne12 * ne11) / ne11;
                const int64_t i11 = ir1 - i13 * ne12 * ne11 - i12 * ne11;

                const char * src0_row = (const char *) src0->data + (i12 / mm->r2) * nb02 + (i13 / mm->r3) * nb03;
                const char * src1_col = tevo_mm_src1_row(mm, i11, i12, i13);
                float *      dst_col  = (float *) ((char *) dst->data + i11 * nb1 + i12 * nb2 + i13 * nb3);

                for (int64_t ir0 = iir0; ir0 < iir0 + TEVO_MM_BLOCK && ir0 < ir0_end; ir0 += nrc) {
                    mm->vec_dot(n_dot, &tmp[ir0 - iir0], nrc > 1 ? 16 : 0, src0_row + ir0 * nb01,
                                nrc > 1 ? nb01 : 0, src1_col, nrc > 1 ? src1_stride : 0, (int) nrc);
                }
                const int64_t len = TEVO_MIN(iir0 + TEVO_MM_BLOCK, ir0_end) - iir0;
                for (int64_t cn = 0; cn < nrc; ++cn) {
                    tevo_mm_copy_row(&dst_col[iir0 + cn * nb1 / sizeof(float)], tmp + cn * 16, len);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// MUL_MAT through the panel routines

// bytes of src1 rows a chunk packs: they stay in the second-level cache
// while the weights stream past them
static const size_t TEVO_MM_Y_BLOCK_BYTES = 768 * 1024;
// With fewer src1 rows the weights are better read in place than packed:
// each packed row would serve only a few dot products.
static const int64_t TEVO_MM_PANEL_MIN_ROWS = 16;
// longest rows the panel path takes: its scratch grows with them
static const int64_t TEVO_MM_PANEL_MAX_N = 8192;

static inline size_t tevo_mm_pad64(size_t n) {
    return (n + 63) & ~(size_t) 63;
}

static bool tevo_mm_panel_applies(const struct tevo_tensor * src0, const struct tevo_tensor * src1) {
    if (src0->type != TEVO_TYPE_F32 && src0->type != TEVO_TYPE_F16 && src0->type != TEVO_TYPE_BF16) {
        return false;
    }
    // a panel of mostly missing rows would be mostly wasted work
    const int64_t nr1 = src1->ne[1] * src1->ne[2] * src1->ne[3];
    return src0->ne[0] <= TEVO_MM_PANEL_MAX_N && src0->ne[1] >= 4 && nr1 >= TEVO_MM_PANEL_MIN_ROWS;
}

// src1 rows per chunk: a multiple of 12, which fills the groups of the
// panel routines (3 rows of long rows, 2 of short ones)
static const int64_t TEVO_MM_Y_STEP = 12;

static int64_t tevo_mm_panel_rows(int64_t n, int64_t nr1) {
    int64_t nc = (int64_t) (TEVO_MM_Y_BLOCK_BYTES / (4 * (size_t) n));
    nc         = TEVO_MAX(nc, (int64_t) 24);
    nc         = TEVO_MIN(nc, (int64_t) 384);
    nc         = TEVO_MIN(nc, (nr1 + TEVO_MM_Y_STEP - 1) / TEVO_MM_Y_STEP * TEVO_MM_Y_STEP);
    return nc / TEVO_MM_Y_STEP * TEVO_MM_Y_STEP;
}

// Packed panels a thread keeps: the whole src0 range of a chunk when it fits
// (a second-level cache's share), so that chunks of the same range, one after
// the other on a thread, pack it once; one panel otherwise.
static const size_t TEVO_MM_X_CACHE_BYTES = 512 * 1024;

static int64_t tevo_mm_panel_cache_panels(int n) {
    const size_t one = sizeof(float) * tevo_dot_panel_x_floats(n);
    return TEVO_MAX((int64_t) 1, (int64_t) (TEVO_MM_X_CACHE_BYTES / one));
}

// src1 rows converted at a time into a thread's scratch before packing (a
// multiple of 12, as the packing wants)
static const int TEVO_MM_CONVERT_ROWS = 12;

// one thread's scratch: the packed src1 block, the packed panels, the
// running sums of long rows, src1 rows being converted, and the src1 and
// dst row addresses of a chunk
struct tevo_mm_panel_scratch {
    float *       block;
    float *       panels;
    float *       acc;
    char *        conv;
    const void ** yrows;
    float **      drows;
    int64_t       n_panels; // room in panels
    size_t        panel_floats;
    // what panels holds: src0 rows [x0, x1) of the matrix at xoff (x1 = 0: nothing)
    size_t  xoff;
    int64_t x0, x1;
};

static size_t tevo_mm_panel_slice(int n, int64_t nc) {
    return tevo_mm_pad64(sizeof(float) * tevo_dot_panel_y_floats(n, (int) nc)) +
           (size_t) tevo_mm_panel_cache_panels(n) * tevo_mm_pad64(sizeof(float) * tevo_dot_panel_x_floats(n)) +
           tevo_mm_pad64(sizeof(float) * tevo_dot_panel_acc_floats(n, (int) nc)) +
           tevo_mm_pad64(sizeof(float) * (size_t) n * TEVO_MM_CONVERT_ROWS) +
           tevo_mm_pad64(sizeof(void *) * (size_t) nc) + tevo_mm_pad64(sizeof(float *) * (size_t) nc);
}

static struct tevo_mm_panel_scratch tevo_mm_panel_scratch_of(char * slice, int n, int64_t nc) {
    struct tevo_mm_panel_scratch s;
    s.block = (float *) slice;
    slice += tevo_mm_pad64(sizeof(float) * tevo_dot_panel_y_floats(n, (int) nc));
    s.panels       = (float *) slice;
    s.n_panels     = tevo_mm_panel_cache_panels(n);
    s.panel_floats = tevo_mm_pad64(sizeof(float) * tevo_dot_panel_x_floats(n)) / sizeof(float);
    slice += (size_t) s.n_panels * s.panel_floats * sizeof(float);
    s.acc = (float *) slice;
    slice += tevo_mm_pad64(sizeof(float) * tevo_dot_panel_acc_floats(n, (int) nc));
    s.conv = slice;
    slice += tevo_mm_pad64(sizeof(float) * (size_t) n * TEVO_MM_CONVERT_ROWS);
    s.yrows = (const void **) slice;
    slice += tevo_mm_pad64(sizeof(void *) * (size_t) nc);
    s.drows = (float **) slice;
    s.xoff  = 0;
    s.x0    = 0;
    s.x1    = 0;
    return s;
}

size_t tevo_mul_mat_panel_wsize(const struct tevo_tensor * node, int n_threads) {
    const struct tevo_tensor * src0 = node->src[0];
    const struct tevo_tensor * src1 = node->src[1];
    if (!tevo_mm_panel_applies(src0, src1)) {
        return 0;
    }
    const int64_t nr1 = src1->ne[1] * src1->ne[2] * src1->ne[3];
    const int     n   = (int) src0->ne[0];
    // 64: the scratch starts at the first 64-byte boundary of the work buffer
    return 64 + (size_t) n_threads * tevo_mm_panel_slice(n, tevo_mm_panel_rows(n, nr1));
}

// Chunks of mc src0 rows by nc src1 rows: one src0 range on a single
// thread. With more threads, either the src0 range, then the src1 block, is
// halved until every thread has about 4 chunks, or (with at least a src1
// block per thread) the chunks stay whole src0 ranges and the src1 blocks
// are made a little smaller, so that every thread gets the same number of
// them. The second way packs each src1 block once, as one thread does, and
// a thread reads the src1 rows the operators before wrote in its own cache;
// but every chunk packs the whole src0 range again unless it stays cached.
// The plan with the fewer rows packed per dot product wins, src1 rows
// counting double: they are converted as well as packed, and come from
// other threads' caches. In the speech encoder at 4 threads the second way
// takes a tenth off the 1500 x 384 by 384 x 384 products.
struct tevo_mm_panel_chunking {
    int64_t mc, nc;
    int64_t nchunk0, nchunk1;
};

// src1 blocks of the second way are a multiple of 6 rows: whole groups of
// the panel routines (3 rows of long rows, 2 of short ones)
static const int64_t TEVO_MM_Y_GROUP = 6;

static double tevo_mm_panel_pack_cost(const struct tevo_mm_panel_chunking * c, int64_t pr, int64_t cache_panels) {
    const bool cached = (c->mc + pr - 1) / pr <= cache_panels;
    return (cached ? 0.0 : 1.0 / (double) c->nc) + 2.0 / (double) c->mc;
}

static struct tevo_mm_panel_chunking tevo_mm_panel_chunks(int64_t nr0, int64_t nr1, int64_t nc, int n, int nth) {
    const int64_t pr = tevo_dot_panel_rows(n);

    struct tevo_mm_panel_chunking c;
    c.mc      = (nr0 + pr - 1) / pr * pr;
    c.nc      = nc;
    c.nchunk0 = 1;
    c.nchunk1 = (nr1 + nc - 1) / nc;
    if (nth == 1) {
        return c;
    }

    struct tevo_mm_panel_chunking whole = c;
    if (whole.nchunk1 >= nth) {
        const int64_t blocks = (whole.nchunk1 + nth - 1) / nth * nth;
        const int64_t rows   = (nr1 + blocks - 1) / blocks;
        whole.nc             = TEVO_MIN(nc, (rows + TEVO_MM_Y_GROUP - 1) / TEVO_MM_Y_GROUP * TEVO_MM_Y_GROUP);
        whole.nchunk1        = (nr1 + whole.nc - 1) / whole.nc;
    }

    const int64_t want = 4 * (int64_t) nth;
    while (c.nchunk0 * c.nchunk1 < want && c.mc > pr) {
        c.mc      = (c.mc / 2 + pr - 1) / pr * pr;
        c.nchunk0 = (nr0 + c.mc - 1) / c.mc;
    }
    while (c.nchunk0 * c.nchunk1 < want && c.nc > TEVO_MM_Y_STEP) {
        c.nc      = (c.nc / 2 + TEVO_MM_Y_STEP - 1) / TEVO_MM_Y_STEP * TEVO_MM_Y_STEP;
        c.nchunk1 = (nr1 + c.nc - 1) / c.nc;
    }

    const int64_t cache_panels = tevo_mm_panel_cache_panels(n);
    if (whole.nchunk1 >= nth &&
        tevo_mm_panel_pack_cost(&whole, pr, cache_panels) < tevo_mm_panel_pack_cost(&c, pr, cache_panels)) {
        return whole;
    }
    return c;
}

// src1 rows a short-row pass takes against every panel of the range before
// moving on: the results go out along dst rows, not down its columns
static const int TEVO_MM_SHORT_Y_ROWS = 12;

// src0 rows [x0, x1) against src1 rows [y0, y1): the src1 rows are taken in
// runs that share one src0 matrix (broadcasting over dimensions 2 and 3),
// each run packed once and passed by every panel of the range.
static void tevo_mm_panel_chunk(const struct tevo_mm_ctx * mm, struct tevo_mm_panel_scratch * s, int64_t x0,
                                int64_t x1, int64_t y0, int64_t y1) {
    const struct tevo_tensor * src0 = mm->src0;
    const struct tevo_tensor * src1 = mm->src1;
    struct tevo_tensor *       dst  = mm->dst;

    const int            n     = mm->n_dot;
    const enum tevo_type ytype = tevo_get_type_traits_cpu(src0->type)->vec_dot_type;
    const int64_t        ne11 = src1->ne[1], ne12 = src1->ne[2];
    const size_t         nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t         nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];
    const int64_t        pr      = tevo_dot_panel_rows(n);
    const int64_t        npanels = (x1 - x0 + pr - 1) / pr;
    const bool           cached  = npanels <= s->n_panels;

    int64_t i13 = y0 / (ne12 * ne11);
    int64_t i12 = (y0 - i13 * ne12 * ne11) / ne11;
    int64_t i11 = y0 - i13 * ne12 * ne11 - i12 * ne11;

    int64_t r = y0;
    while (r < y1) {
        const size_t xoff = (size_t) (i12 / mm->r2) * nb02 + (size_t) (i13 / mm->r3) * nb03;
        int          ny   = 0;
        for (; r < y1; ++r) {
            if ((size_t) (i12 / mm->r2) * nb02 + (size_t) (i13 / mm->r3) * nb03 != xoff) {
                break;
            }
            s->yrows[ny] = tevo_mm_src1_row(mm, i11, i12, i13);
            s->drows[ny] = (float *) ((char *) dst->data + i11 * nb1 + i12 * nb2 + i13 * nb3);
            ++ny;
            if (++i11 == ne11) {
                i11 = 0;
                if (++i12 == ne12) {
                    i12 = 0;
                    ++i13;
                }
            }
        }
        if (!mm->convert) {
            tevo_dot_panel_pack_y(ytype, n, s->yrows, 0, ny, s->block);
        } else {
            // src1 brought into the partner type a few rows at a time, in cache
            const size_t rs = tevo_row_size(ytype, n);
            for (int j0 = 0; j0 < ny; j0 += TEVO_MM_CONVERT_ROWS) {
                const int    m = TEVO_MIN(TEVO_MM_CONVERT_ROWS, ny - j0);
                const void * rows[TEVO_MM_CONVERT_ROWS];
                for (int j = 0; j < m; ++j) {
                    char * out = s->conv + (size_t) j * rs;
                    tevo_mm_convert_row(src1->type, ytype, (const char *) s->yrows[j0 + j], out, n);
                    rows[j] = out;
                }
                tevo_dot_panel_pack_y(ytype, n, rows, j0, m, s->block);
            }
        }

        const char * x = (const char *) src0->data + xoff;
        if (cached && !(s->xoff == xoff && s->x0 == x0 && s->x1 == x1)) {
            for (int64_t q = 0; q < npanels; ++q) {
                const int64_t i0 = x0 + q * pr;
                tevo_dot_panel_pack_x(src0->type, n, x + (size_t) i0 * nb01, nb01, (int) TEVO_MIN(pr, x1 - i0),
                                      s->panels + (size_t) q * s->panel_floats);
            }
            s->xoff = xoff;
            s->x0   = x0;
            s->x1   = x1;
        }

        if (cached && n < TEVO_PANEL_SHORT_N) {
            // short rows: a few src1 rows against every panel, the block's
            // rows being plain rows of floats
            for (int j = 0; j < ny; j += TEVO_MM_SHORT_Y_ROWS) {
                const int m = TEVO_MIN(TEVO_MM_SHORT_Y_ROWS, ny - j);
                for (int64_t q = 0; q < npanels; ++q) {
                    const int64_t i0 = x0 + q * pr;
                    tevo_dot_panel_run(src0->type, n, s->panels + (size_t) q * s->panel_floats,
                                       (int) TEVO_MIN(pr, x1 - i0), s->block + (size_t) j * (size_t) n, m,
                                       s->drows + j, (size_t) i0, s->acc);
                }
            }
            continue;
        }
        // long rows: a panel stays in the first-level cache while the block streams by
        for (int64_t q = 0; q < npanels; ++q) {
            const int64_t i0    = x0 + q * pr;
            const int     rows  = (int) TEVO_MIN(pr, x1 - i0);
            float *       panel = s->panels + (cached ? (size_t) q * s->panel_floats : 0);
            if (!cached) {
                tevo_dot_panel_pack_x(src0->type, n, x + (size_t) i0 * nb01, nb01, rows, panel);
            }
            tevo_dot_panel_run(src0->type, n, panel, rows, s->block, ny, s->drows, (size_t) i0, s->acc);
        }
    }
}

// Whether the product goes through the panels: the processor has them,
// the shapes suit them and the work buffer has room for their scratch (a
// caller's own work buffer, such as a convolution's, may not have it).
static bool tevo_mm_panel_ready(const struct tevo_compute_params * params, const struct tevo_tensor * src0,
                                const struct tevo_tensor * src1) {
    if (params->use_ref || !tevo_mm_panel_applies(src0, src1)) {
        return false;
    }
    const int     n   = (int) src0->ne[0];
    const int64_t nr1 = src1->ne[1] * src1->ne[2] * src1->ne[3];
    return 64 + (size_t) params->nth * tevo_mm_panel_slice(n, tevo_mm_panel_rows(n, nr1)) <= params->wsize;
}

static void tevo_mm_panel_path(const struct tevo_compute_params * params, const struct tevo_mm_ctx * mm) {
    const struct tevo_tensor * src1 = mm->src1;

    const int64_t nr0   = mm->dst->ne[0];
    const int64_t nr1   = src1->ne[1] * src1->ne[2] * src1->ne[3];
    const int64_t nc    = tevo_mm_panel_rows(mm->n_dot, nr1);
    const size_t  slice = tevo_mm_panel_slice(mm->n_dot, nc);

    char * const start = (char *) (((uintptr_t) params->wdata + 63) & ~(uintptr_t) 63);
    struct tevo_mm_panel_scratch s = tevo_mm_panel_scratch_of(start + (size_t) params->ith * slice, mm->n_dot, nc);

    const struct tevo_mm_panel_chunking c = tevo_mm_panel_chunks(nr0, nr1, nc, mm->n_dot, params->nth);
    const int64_t n_chunks = c.nchunk0 * c.nchunk1;
    TEVO_ASSERT(n_chunks <= INT32_MAX - params->nth);

    int64_t current = params->ith;
    while (current < n_chunks) {
        const int64_t ith0 = current % c.nchunk0;
        const int64_t ith1 = current / c.nchunk0;

        const int64_t x0 = c.mc * ith0;
        const int64_t y0 = c.nc * ith1;
        tevo_mm_panel_chunk(mm, &s, x0, TEVO_MIN(x0 + c.mc, nr0), y0, TEVO_MIN(y0 + c.nc, nr1));

        if (params->nth >= n_chunks) {
            break;
        }
        current = tevo_threadpool_chunk_add(params->threadpool, 1);
    }
}

void tevo_compute_forward_mul_mat(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (tevo_get_op_params_i32(dst, 1) == 1 && !params->use_ref) {
        tevo_compute_forward_fwht(params, dst);
        return;
    }
    if (tevo_compute_forward_mul_mat_tiled(params, dst)) {
        return;
    }

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const int64_t ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    const size_t  nb00 = src0->nb[0], nb10 = src1->nb[0];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    TEVO_ASSERT(ne0 == ne01);
    TEVO_ASSERT(ne1 == ne11);
    TEVO_ASSERT(ne2 == ne12);
    TEVO_ASSERT(ne3 == ne13);
    TEVO_ASSERT(nb00 == tevo_type_size(src0->type));
    TEVO_ASSERT(nb10 == tevo_type_size(src1->type));
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);

    const struct tevo_type_traits_cpu * traits       = tevo_get_type_traits_cpu(src0->type);
    const enum tevo_type                vec_dot_type = traits->vec_dot_type;
    if (traits->vec_dot == NULL) {
        // no CPU dot product for these weights
        TEVO_ABORT("fatal error");
    }
    // the dot products take an int length
    const int n_dot = tevo_row_length(dst, ne00);

    const bool convert = src1->type != vec_dot_type;
    // the panels convert src1 chunk by chunk in their own scratch
    const bool panels = tevo_mm_panel_ready(params, src0, src1);
    if (convert) {
        const bool widen = src1->type != TEVO_TYPE_F32;
        TEVO_ASSERT(!widen || vec_dot_type == TEVO_TYPE_F32);
        TEVO_ASSERT(!widen || src1->type == TEVO_TYPE_F16 || src1->type == TEVO_TYPE_BF16);
        if (!panels) {
            tevo_mm_convert_src1(params, src1, vec_dot_type, (char *) params->wdata);
        }
    }

    if (params->ith == 0) {
        tevo_threadpool_chunk_set(params->threadpool, params->nth);
    }
    tevo_barrier(params->threadpool);

    struct tevo_mm_ctx mm;
    mm.src0          = src0;
    mm.src1          = src1;
    mm.dst           = dst;
    mm.vec_dot       = traits->vec_dot;
    mm.vec_dot_block = tevo_mm_block_kernel(src0->type);
    mm.vec_dot_rows  = tevo_mm_rows_kernel(src0->type);
    mm.nrows         = traits->nrows;
    mm.n_dot         = n_dot;
    mm.src1_data     = convert && !panels ? (const char *) params->wdata : (const char *) src1->data;
    mm.src1_packed   = convert ? !panels : tevo_is_contiguous(src1);
    mm.convert       = convert && panels;
    mm.row_size      = tevo_row_size(vec_dot_type, src1->ne[0]);
    mm.r2            = ne12 / ne02;
    mm.r3            = ne13 / ne03;

    if (panels) {
        tevo_mm_panel_path(params, &mm);
        return;
    }

    const int64_t                 nr0 = ne0;
    const int64_t                 nr1 = ne1 * ne2 * ne3;
    const struct tevo_mm_chunking c   = mm.vec_dot_rows != NULL && nr1 == 1 ? tevo_mm_rows_chunks(nr0, params->nth)
                                                                             : tevo_mm_chunks(nr0, nr1, params->nth);
    const int64_t                 n_chunks = c.nchunk0 * c.nchunk1;
    // the pool's chunk counter is 32-bit and runs up to n_chunks + nth
    TEVO_ASSERT(n_chunks <= INT32_MAX - params->nth);

    int64_t current = params->ith;
    while (current < n_chunks) {
        const int64_t ith0 = current % c.nchunk0;
        const int64_t ith1 = current / c.nchunk0;

        const int64_t ir0_start = c.dr0 * ith0;
        const int64_t ir0_end   = TEVO_MIN(ir0_start + c.dr0, nr0);
        const int64_t ir1_start = c.dr1 * ith1;
        const int64_t ir1_end   = TEVO_MIN(ir1_start + c.dr1, nr1);

        tevo_mm_one_chunk(&mm, ir0_start, ir0_end, ir1_start, ir1_end);

        if (params->nth >= n_chunks) {
            break;
        }
        current = tevo_threadpool_chunk_add(params->threadpool, 1);
    }
}

// ---------------------------------------------------------------------------
// MUL_MAT_ID

struct tevo_mmid_ctx {
    const struct tevo_tensor * src0;
    const struct tevo_tensor * src1;
    struct tevo_tensor *       dst;

    tevo_vec_dot_t       vec_dot;
    tevo_vec_dot_block_t vec_dot_block;
    int                  n_dot; // values per dot product (ne00)

    const char * src1_data;
    bool         src1_packed;
    size_t       row_size;
};

static inline const char * tevo_mmid_src1_row(const struct tevo_mmid_ctx * mm, int64_t i11, int64_t t) {
    const struct tevo_tensor * src1 = mm->src1;
    if (mm->src1_packed) {
        return mm->src1_data + (i11 + t * src1->ne[1]) * mm->row_size;
    }
    return mm->src1_data + i11 * src1->nb[1] + t * src1->nb[2];
}

// expert e's rows [ir0_start, ir0_end) against its routed rows [ir1_start, ir1_end)
static void tevo_mmid_one_chunk(const struct tevo_mmid_ctx * mm, int64_t e, const struct mmid_row_mapping * rows,
                                int64_t ir0_start, int64_t ir0_end, int64_t ir1_start, int64_t ir1_end) {
    if (ir0_start >= ir0_end || ir1_start >= ir1_end) {
        return;
    }

    const struct tevo_tensor * src0 = mm->src0;
    const struct tevo_tensor * src1 = mm->src1;
    struct tevo_tensor *       dst  = mm->dst;

    const int     n_dot = mm->n_dot;
    const int64_t ne11  = src1->ne[1];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2];
    const size_t  nb1 = dst->nb[1], nb2 = dst->nb[2];

    const char * src0_cur = (const char *) src0->data + e * nb02;

    float        s[TEVO_MM_BLOCK * TEVO_MM_BLOCK];
    const void * yrow[TEVO_MM_BLOCK];
    char *       drow[TEVO_MM_BLOCK];

    for (int64_t iir1 = ir1_start; iir1 < ir1_end; iir1 += TEVO_MM_BLOCK) {
        const int ny = (int) TEVO_MIN(TEVO_MM_BLOCK, ir1_end - iir1);
        for (int j = 0; j < ny; ++j) {
            const struct mmid_row_mapping rm = rows[iir1 + j];
            const int64_t                 i11 = rm.i1 % ne11;
            yrow[j]                           = tevo_mmid_src1_row(mm, i11, rm.i2);
            drow[j]                           = (char *) dst->data + (int64_t) rm.i1 * nb1 + (int64_t) rm.i2 * nb2;
        }
        for (int64_t iir0 = ir0_start; iir0 < ir0_end; iir0 += TEVO_MM_BLOCK) {
            const int nx = (int) TEVO_MIN(TEVO_MM_BLOCK, ir0_end - iir0);
            if (mm->vec_dot_block != NULL) {
                mm->vec_dot_block(n_dot, nx, ny, src0_cur + iir0 * nb01, nb01, yrow, s);
            } else {
                for (int j = 0; j < ny; ++j) {
                    for (int i = 0; i < nx; ++i) {
                        mm->vec_dot(n_dot, &s[j * TEVO_MM_BLOCK + i], 0, src0_cur + (iir0 + i) * nb01, 0,
                                    yrow[j], 0, 1);
                    }
                }
            }
            for (int j = 0; j < ny; ++j) {
                tevo_mm_copy_row((float *) drow[j] + iir0, s + j * TEVO_MM_BLOCK, nx);
            }
        }
    }
}

static inline char * tevo_align_ptr(char * p, size_t align) {
    return (char *) (((uintptr_t) p + align - 1) & ~(uintptr_t) (align - 1));
}

void tevo_compute_forward_mul_mat_id(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const struct tevo_tensor * ids  = dst->src[2];

    const enum tevo_type type = src0->type;

    const int64_t ne01 = src0->ne[1], ne02 = src0->ne[2];
    const size_t  nb00 = src0->nb[0], nb10 = src1->nb[0];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const int ith = params->ith;
    const int nth = params->nth;

    const struct tevo_type_traits_cpu * traits       = tevo_get_type_traits_cpu(type);
    const enum tevo_type                vec_dot_type = traits->vec_dot_type;

    const int64_t n_as    = ne02;          // experts
    const int64_t n_ids   = ids->ne[0];    // slots per token
    const int64_t n_token = ids->ne[1];

    const bool convert = src1->type != vec_dot_type;

    // work buffer: converted src1, row counts, routing lists, chunk counters, tiled workspace
    char * wdata     = (char *) params->wdata;
    char * wdata_cur = wdata;
    if (convert) {
        wdata_cur += tevo_row_size(vec_dot_type, tevo_nelements(src1));
    }
    wdata_cur                                  = tevo_align_ptr(wdata_cur, sizeof(int64_t));
    int64_t * matrix_row_counts                = (int64_t *) wdata_cur;
    wdata_cur                                 += (size_t) n_as * sizeof(int64_t);
    struct mmid_row_mapping * matrix_rows      = (struct mmid_row_mapping *) wdata_cur;
    wdata_cur                                 += (size_t) (n_as * n_ids * n_token) * sizeof(struct mmid_row_mapping);
    wdata_cur                                  = tevo_align_ptr(wdata_cur, 64);
    char * chunk_counters                      = wdata_cur;
    wdata_cur                                 += (size_t) n_as * 64;
    void * tiled_workspace                     = wdata_cur;
    wdata_cur                                 += tevo_tiled_wdata_size(nth, dst);

    TEVO_ASSERT(nb00 == tevo_type_size(type));
    TEVO_ASSERT(nb10 == tevo_type_size(src1->type));
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);
    TEVO_ASSERT(params->wsize >= (size_t)((char *) wdata_cur - (char *) params->wdata));

    if (traits->vec_dot == NULL) {
        TEVO_ABORT("fatal error");
    }
    // the dot products take an int length; a routed row names its slot and
    // token in 32 bits
    const int n_dot = tevo_row_length(dst, src0->ne[0]);
    TEVO_ASSERT(n_ids <= INT32_MAX && n_token <= INT32_MAX);

    if (convert) {
        TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
        tevo_mm_convert_src1(params, src1, vec_dot_type, wdata);
    }

#define MMID_MATRIX_ROW(row_id, i1) matrix_rows[(row_id) * n_ids * n_token + (i1)]

    if (ith == 0) {
        // every id is checked before any list is written: an id outside
        // [0, n_as) would index past the counts and lists
        for (int64_t t = 0; t < n_token; ++t) {
            for (int64_t sl = 0; sl < n_ids; ++sl) {
                const int32_t i02 = *(const int32_t *) ((const char *) ids->data + t * ids->nb[1] + sl * ids->nb[0]);
                TEVO_ASSERT(i02 >= 0 && i02 < n_as);
            }
        }

        memset(matrix_row_counts, 0, (size_t) n_as * sizeof(int64_t));
        for (int64_t t = 0; t < n_token; ++t) {
            for (int64_t sl = 0; sl < n_ids; ++sl) {
                const int32_t i02 = *(const int32_t *) ((const char *) ids->data + t * ids->nb[1] + sl * ids->nb[0]);
                struct mmid_row_mapping m;
                m.i1                                          = (int32_t) sl;
                m.i2                                          = (int32_t) t;
                MMID_MATRIX_ROW(i02, matrix_row_counts[i02]) = m;
                matrix_row_counts[i02] += 1;
            }
        }
    }

    for (int64_t e = ith; e < n_as; e += nth) {
        std::atomic<int32_t> * counter = (std::atomic<int32_t> *) (chunk_counters + e * 64);
        counter->store(nth, std::memory_order_relaxed);
    }

    tevo_barrier(params->threadpool);

    struct tevo_mmid_ctx mm;
    mm.src0          = src0;
    mm.src1          = src1;
    mm.dst           = dst;
    mm.vec_dot       = traits->vec_dot;
    mm.vec_dot_block = tevo_mm_block_kernel(type);
    mm.n_dot         = n_dot;
    mm.src1_data     = convert ? (const char *) wdata : (const char *) src1->data;
    mm.src1_packed   = convert || tevo_is_contiguous(src1);
    mm.row_size      = tevo_row_size(vec_dot_type, src1->ne[0]);

    for (int64_t e = 0; e < n_as; ++e) {
        const int64_t cne1 = matrix_row_counts[e];
        if (cne1 == 0) {
            continue;
        }
        const struct mmid_row_mapping * rows = &MMID_MATRIX_ROW(e, 0);

        if (tevo_compute_forward_mul_mat_id_tiled(params, dst, e, cne1, rows, tiled_workspace)) {
            continue;
        }

        std::atomic<int32_t> * counter = (std::atomic<int32_t> *) (chunk_counters + e * 64);

        const int64_t                 nr0      = ne01;
        const int64_t                 nr1      = cne1;
        const struct tevo_mm_chunking c        = tevo_mm_chunks(nr0, nr1, nth);
        const int64_t                 n_chunks = c.nchunk0 * c.nchunk1;
        TEVO_ASSERT(n_chunks <= INT32_MAX - nth);

        int64_t current = ith;
        while (current < n_chunks) {
            const int64_t ith0 = current % c.nchunk0;
            const int64_t ith1 = current / c.nchunk0;

            const int64_t ir0_start = c.dr0 * ith0;
            const int64_t ir0_end   = TEVO_MIN(ir0_start + c.dr0, nr0);
            const int64_t ir1_start = c.dr1 * ith1;
            const int64_t ir1_end   = TEVO_MIN(ir1_start + c.dr1, nr1);

            tevo_mmid_one_chunk(&mm, e, rows, ir0_start, ir0_end, ir1_start, ir1_end);

            if (nth >= n_chunks) {
                break;
            }
            current = counter->fetch_add(1, std::memory_order_relaxed);
        }
    }

#undef MMID_MATRIX_ROW
}
