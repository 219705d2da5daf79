#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Convolutions that compute in one node: direct 2-D and 3-D, transposed 1-D
// and 2-D, and depthwise 2-D.
//
// The direct ones are split by output positions (patches) over the
// threads, each working alone in its slice of the work buffer: it unfolds a
// batch of its patches into a tile, in the kernel's element type and in the
// order of a packed kernel row, multiplies the tile by the kernel 16 × 16
// values at a time with the block dot product of the matrix product (the
// same numerics), and copies each channel's run of outputs into dst. A batch
// is as many patches as the slice and about 1 MiB of tile hold, so the tile
// stays in the cache and a large image never needs its whole patch matrix;
// no barrier is needed, and no batching changes a result.
//
// The transposed ones permute kernel and input once, channel innermost, so
// that every contribution is one contiguous dot product over the input
// channels; the threads then take blocks of output channels, which keeps
// their += apart.
//
// The depthwise one sums the taps directly: planes of a planar input, or
// rows of a channel-last input with eight channels per vector.

#include "cpu/ops/ops.h"
#include "cpu/vec/convert.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>
#include <math.h>
#include <string.h>

#include <vector>

namespace {

inline void tevo_conv_block_range(int64_t n, int ith, int nth, int64_t * i0, int64_t * i1) {
    const int64_t dr = (n + nth - 1) / nth;
    *i0              = TEVO_MIN(dr * ith, n);
    *i1              = TEVO_MIN(*i0 + dr, n);
}

// tile elements: floats as they are, halves by the rounding rule (the
// hardware's rounding, with NaN stored as the rule stores it)
inline void tevo_conv_put(float * p, float v) {
    *p = v;
}

inline void tevo_conv_put(tevo_fp16_t * p, float v) {
    if (v != v) {
        *p = (tevo_fp16_t) (((tevo_fp32_to_bits(v) >> 16) & 0x8000u) | 0x7E00u);
        return;
    }
    *p = (tevo_fp16_t) _cvtss_sh(v, _MM_FROUND_TO_NEAREST_INT);
}

// ---------------------------------------------------------------------------
// direct convolution (2-D is the 3-D one with a depth of 1)

// bytes of one thread's tile
const size_t TEVO_CONV_TILE_BYTES = 1024 * 1024;

struct tevo_conv_shape {
    int64_t N, IC, OC;
    int64_t IW, IH, ID, KW, KH, KD, OW, OH, OD;
    int64_t s0, s1, s2, p0, p1, p2, d0, d1, d2;
    // input (iw, ih, id, ic, n) and output (ow, oh, od, oc, n) byte steps
    size_t in_w, in_h, in_d, in_c, in_n;
    size_t out_w, out_h, out_d, out_c, out_n;
};

// the taps of patch p, in the order (ic, kd, kh, kw) of a packed kernel row;
// rows holds KD·KH offsets of scratch
template <typename T>
void tevo_conv_unfold_patch(const tevo_conv_shape & s, const char * in, int64_t p, T * row, int64_t * rows) {
    const int64_t ow = p % s.OW;
    const int64_t oh = (p / s.OW) % s.OH;
    const int64_t od = (p / (s.OW * s.OH)) % s.OD;
    const int64_t n  = p / (s.OW * s.OH * s.OD);

    // the input row of each (kd, kh), the same for every channel; -1 in the padding
    const int64_t nr = s.KD * s.KH;
    for (int64_t kd = 0; kd < s.KD; ++kd) {
        const int64_t id = od * s.s2 + kd * s.d2 - s.p2;
        for (int64_t kh = 0; kh < s.KH; ++kh) {
            const int64_t ih = oh * s.s1 + kh * s.d1 - s.p1;
            rows[kd * s.KH + kh] =
                id < 0 || id >= s.ID || ih < 0 || ih >= s.IH ? -1 : id * (int64_t) s.in_d + ih * (int64_t) s.in_h;
        }
    }

    const int64_t iw0    = ow * s.s0 - s.p0;
    const int64_t iw_end = iw0 + (s.KW - 1) * s.d0;
    const bool    inside = iw0 >= 0 && iw_end < s.IW;
    const int64_t step   = s.d0 * (int64_t) s.in_w;

    for (int64_t ic = 0; ic < s.IC; ++ic) {
        const char * plane = in + n * s.in_n + ic * s.in_c;
        for (int64_t r = 0; r < nr; ++r, row += s.KW) {
            if (rows[r] < 0) {
                memset(row, 0, (size_t) s.KW * sizeof(T));
            } else if (inside) {
                const char * x = plane + rows[r] + iw0 * (int64_t) s.in_w;
                for (int64_t kw = 0; kw < s.KW; ++kw) {
                    tevo_conv_put(row + kw, *(const float *) (x + kw * step));
                }
            } else {
                const char * line = plane + rows[r];
                for (int64_t kw = 0; kw < s.KW; ++kw) {
                    const int64_t iw = iw0 + kw * s.d0;
                    tevo_conv_put(row + kw, iw < 0 || iw >= s.IW ? 0.0f : *(const float *) (line + iw * s.in_w));
                }
            }
        }
    }
}

// the product of the kernel's rows with 16 tile rows at a time, each value
// with the numerics of the one-row dot product
inline void tevo_conv_dot_block(int n, int nx, int ny, const float * x, size_t bx, const void * const * y, float * out) {
    tevo_vec_dot_f32_block(n, nx, ny, x, bx, y, out);
}

inline void tevo_conv_dot_block(int n, int nx, int ny, const tevo_fp16_t * x, size_t bx, const void * const * y,
                                float * out) {
    tevo_vec_dot_f16_block(n, nx, ny, x, bx, y, out);
}

// room for one patch: its tile row and its output values; a thread's slice
// adds 128 bytes for the alignment of the slice and of the output area
inline size_t tevo_conv_per_patch(int64_t Kt, size_t es, int64_t OC) {
    return (size_t) Kt * es + (size_t) OC * sizeof(float);
}

template <typename T>
void tevo_conv_direct(const tevo_compute_params * params, const tevo_tensor * kernel, const tevo_tensor * input,
                      tevo_tensor * dst, const tevo_conv_shape & s) {
    const int64_t Kt      = s.IC * s.KD * s.KH * s.KW;
    const size_t  es      = sizeof(T);
    const int64_t patches = s.N * s.OD * s.OH * s.OW;

    const size_t  per_patch = tevo_conv_per_patch(Kt, es, s.OC);
    const int64_t workers   = TEVO_MIN((int64_t) params->nth, (int64_t) (params->wsize / (per_patch + 128)));
    TEVO_ASSERT(workers >= 1);
    if (params->ith >= workers) {
        return;
    }

    const size_t  slice     = params->wsize / (size_t) workers / 64 * 64;
    const int64_t per_batch = (int64_t) ((slice - 64) / per_patch);
    // about 1 MiB of tile stays in this thread's cache between the unfolding
    // and the products; batches of whole 16-patch blocks
    const size_t  tile_row = TEVO_MAX((size_t) Kt * es, (size_t) 1);
    const int64_t cached   = TEVO_MAX((int64_t) 16, (int64_t) (TEVO_CONV_TILE_BYTES / tile_row));
    const int64_t fit      = TEVO_MIN(per_batch, cached);
    const int64_t batch    = fit <= 16 ? fit : fit / 16 * 16;
    TEVO_ASSERT(batch >= 1);

    char *  base = (char *) params->wdata + (size_t) params->ith * slice;
    T *     tile = (T *) base;
    float * out  = (float *) TEVO_PAD((uintptr_t) (base + (size_t) batch * (size_t) Kt * es), (uintptr_t) 64);
    TEVO_ASSERT((char *) (out + batch * s.OC) <= base + slice);

    const T *            weights = (const T *) kernel->data;
    std::vector<int64_t> rows((size_t) (s.KD * s.KH));
    float                block[16 * 16];
    const void *         yrow[16];

    int64_t p0, p1;
    tevo_conv_block_range(patches, params->ith, (int) workers, &p0, &p1);

    for (int64_t start = p0; start < p1; start += batch) {
        const int64_t n = TEVO_MIN(batch, p1 - start);
        for (int64_t j = 0; j < n; ++j) {
            tevo_conv_unfold_patch(s, (const char *) input->data, start + j, tile + j * Kt, rows.data());
        }

        // out[oc][j] = kernel row oc · tile row j: each channel's outputs in a
        // row, so that the scatter copies runs along the output's rows
        for (int64_t jb = 0; jb < n; jb += 16) {
            const int ny = (int) TEVO_MIN((int64_t) 16, n - jb);
            for (int j = 0; j < ny; ++j) {
                yrow[j] = tile + (jb + j) * Kt;
            }
            for (int64_t ob = 0; ob < s.OC; ob += 16) {
                const int nx = (int) TEVO_MIN((int64_t) 16, s.OC - ob);
                tevo_conv_dot_block((int) Kt, nx, ny, weights + ob * Kt, (size_t) Kt * es, yrow, block);
                for (int i = 0; i < nx; ++i) {
                    float * o = out + (ob + i) * batch + jb;
                    for (int j = 0; j < ny; ++j) {
                        o[j] = block[j * 16 + i];
                    }
                }
            }
        }

        // runs of patches along one output row
        for (int64_t j = 0; j < n;) {
            const int64_t p   = start + j;
            const int64_t ow  = p % s.OW;
            const int64_t oh  = (p / s.OW) % s.OH;
            const int64_t od  = (p / (s.OW * s.OH)) % s.OD;
            const int64_t nb  = p / (s.OW * s.OH * s.OD);
            const int64_t len = TEVO_MIN(n - j, s.OW - ow);
            char * y = (char *) dst->data + ow * s.out_w + oh * s.out_h + od * s.out_d + nb * s.out_n;
            for (int64_t oc = 0; oc < s.OC; ++oc) {
                const float * r  = out + oc * batch + j;
                char *        yc = y + oc * s.out_c;
                if (s.out_w == sizeof(float)) {
                    memcpy(yc, r, (size_t) len * sizeof(float));
                } else {
                    for (int64_t i = 0; i < len; ++i) {
                        *(float *) (yc + i * s.out_w) = r[i];
                    }
                }
            }
            j += len;
        }
    }
}

void tevo_conv_direct_dispatch(const tevo_compute_params * params, const tevo_tensor * kernel,
                               const tevo_tensor * input, tevo_tensor * dst, const tevo_conv_shape & s) {
    TEVO_ASSERT(tevo_is_contiguous(kernel));
    TEVO_ASSERT(kernel->type == TEVO_TYPE_F16 || kernel->type == TEVO_TYPE_F32);
    // input and output are read and written as floats
    TEVO_ASSERT(input->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    if (kernel->type == TEVO_TYPE_F16) {
        tevo_conv_direct<tevo_fp16_t>(params, kernel, input, dst, s);
    } else {
        tevo_conv_direct<float>(params, kernel, input, dst, s);
    }
}

// ---------------------------------------------------------------------------
// transposed convolution

template <typename T> inline T tevo_conv_from_f32(float v);
template <> inline float tevo_conv_from_f32<float>(float v) {
    return v;
}
template <> inline tevo_fp16_t tevo_conv_from_f32<tevo_fp16_t>(float v) {
    return TEVO_FP32_TO_FP16(v);
}

inline float tevo_conv_dot(int64_t n, const float * x, const float * y) {
    float s;
    tevo_vec_dot_f32((int) n, &s, 0, x, 0, y, 0, 1);
    return s;
}

inline float tevo_conv_dot(int64_t n, const tevo_fp16_t * x, const tevo_fp16_t * y) {
    float s;
    tevo_vec_dot_f16((int) n, &s, 0, x, 0, y, 0, 1);
    return s;
}

// an element of the kernel's type, copied as stored
template <typename T> inline T tevo_conv_load(const char * p) {
    return *(const T *) p;
}

// kernel [K, OC, IC], input [L, IC] -> dst [(L - 1)·s0 + K, OC]
template <typename T>
void tevo_conv_transpose_1d_impl(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];

    const int64_t K = src0->ne[0], OC = src0->ne[1], IC = src0->ne[2];
    const int64_t L  = src1->ne[0];
    const int64_t s0 = tevo_get_op_params_i32(dst, 0);

    TEVO_ASSERT(src1->ne[1] == IC && dst->ne[1] == OC);
    TEVO_ASSERT(dst->ne[0] == (L - 1) * s0 + K);
    TEVO_ASSERT(dst->nb[0] == sizeof(float));

    const size_t kernel_n = (size_t) (K * OC * IC);
    const size_t input_n  = (size_t) (L * IC);
    TEVO_ASSERT(params->wsize >= (kernel_n + input_n) * sizeof(T));

    T * wk = (T *) params->wdata; // [OC][K][IC]
    T * wi = wk + kernel_n;       // [L][IC]

    if (params->ith == 0) {
        for (int64_t ic = 0; ic < IC; ++ic) {
            for (int64_t oc = 0; oc < OC; ++oc) {
                const char * row = (const char *) src0->data + oc * src0->nb[1] + ic * src0->nb[2];
                for (int64_t k = 0; k < K; ++k) {
                    wk[(oc * K + k) * IC + ic] = tevo_conv_load<T>(row + k * src0->nb[0]);
                }
            }
        }
        for (int64_t ic = 0; ic < IC; ++ic) {
            const char * row = (const char *) src1->data + ic * src1->nb[1];
            for (int64_t l = 0; l < L; ++l) {
                wi[l * IC + ic] = tevo_conv_from_f32<T>(*(const float *) (row + l * src1->nb[0]));
            }
        }
        for (int64_t oc = 0; oc < OC; ++oc) {
            memset((char *) dst->data + oc * dst->nb[1], 0, (size_t) dst->ne[0] * sizeof(float));
        }
    }
    tevo_barrier(params->threadpool);

    int64_t oc0, oc1;
    tevo_conv_block_range(OC, params->ith, params->nth, &oc0, &oc1);
    for (int64_t oc = oc0; oc < oc1; ++oc) {
        float * y = (float *) ((char *) dst->data + oc * dst->nb[1]);
        for (int64_t l = 0; l < L; ++l) {
            for (int64_t k = 0; k < K; ++k) {
                y[l * s0 + k] += tevo_conv_dot(IC, wi + l * IC, wk + (oc * K + k) * IC);
            }
        }
    }
}

// kernel [KW, KH, OC, IC], input [W, H, IC, N] -> dst [(W - 1)·st + KW, (H - 1)·st + KH, OC, N]
template <typename T>
void tevo_conv_transpose_2d_impl(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];

    const int64_t KW = src0->ne[0], KH = src0->ne[1], OC = src0->ne[2], IC = src0->ne[3];
    const int64_t W = src1->ne[0], H = src1->ne[1], N = src1->ne[3];
    const int64_t st = tevo_get_op_params_i32(dst, 0);

    TEVO_ASSERT(src1->ne[2] == IC && dst->ne[2] == OC && dst->ne[3] == N);
    TEVO_ASSERT(dst->ne[0] == (W - 1) * st + KW && dst->ne[1] == (H - 1) * st + KH);
    TEVO_ASSERT(dst->nb[0] == sizeof(float));

    const size_t kernel_n = (size_t) (KW * KH * OC * IC);
    const size_t input_n  = (size_t) (W * H * IC * N);
    TEVO_ASSERT(params->wsize >= (kernel_n + input_n) * sizeof(T));

    T * wk = (T *) params->wdata; // [OC][KH][KW][IC]
    T * wi = wk + kernel_n;       // [N][H][W][IC]

    if (params->ith == 0) {
        for (int64_t ic = 0; ic < IC; ++ic) {
            for (int64_t oc = 0; oc < OC; ++oc) {
                for (int64_t kh = 0; kh < KH; ++kh) {
                    const char * row =
                        (const char *) src0->data + kh * src0->nb[1] + oc * src0->nb[2] + ic * src0->nb[3];
                    for (int64_t kw = 0; kw < KW; ++kw) {
                        wk[((oc * KH + kh) * KW + kw) * IC + ic] = tevo_conv_load<T>(row + kw * src0->nb[0]);
                    }
                }
            }
        }
        for (int64_t n = 0; n < N; ++n) {
            for (int64_t ic = 0; ic < IC; ++ic) {
                for (int64_t h = 0; h < H; ++h) {
                    const char * row =
                        (const char *) src1->data + h * src1->nb[1] + ic * src1->nb[2] + n * src1->nb[3];
                    for (int64_t w = 0; w < W; ++w) {
                        wi[((n * H + h) * W + w) * IC + ic] =
                            tevo_conv_from_f32<T>(*(const float *) (row + w * src1->nb[0]));
                    }
                }
            }
        }
        for (int64_t n = 0; n < N; ++n) {
            for (int64_t oc = 0; oc < OC; ++oc) {
                for (int64_t y = 0; y < dst->ne[1]; ++y) {
                    memset((char *) dst->data + y * dst->nb[1] + oc * dst->nb[2] + n * dst->nb[3], 0,
                           (size_t) dst->ne[0] * sizeof(float));
                }
            }
        }
    }
    tevo_barrier(params->threadpool);

    int64_t oc0, oc1;
    tevo_conv_block_range(OC, params->ith, params->nth, &oc0, &oc1);
    for (int64_t oc = oc0; oc < oc1; ++oc) {
        for (int64_t n = 0; n < N; ++n) {
            char * plane = (char *) dst->data + oc * dst->nb[2] + n * dst->nb[3];
            for (int64_t h = 0; h < H; ++h) {
                for (int64_t w = 0; w < W; ++w) {
                    const T * x = wi + ((n * H + h) * W + w) * IC;
                    for (int64_t kh = 0; kh < KH; ++kh) {
                        float * y = (float *) (plane + (h * st + kh) * dst->nb[1]) + w * st;
                        for (int64_t kw = 0; kw < KW; ++kw) {
                            y[kw] += tevo_conv_dot(IC, x, wk + ((oc * KH + kh) * KW + kw) * IC);
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// depthwise convolution

struct tevo_conv_dw_shape {
    int64_t N, C, IW, IH, KW, KH, OW, OH;
    int64_t s0, s1, p0, p1, d0, d1;
};

inline float tevo_conv_dw_tap(const tevo_tensor * kernel, int64_t kw, int64_t kh, int64_t c) {
    const char * p = (const char *) kernel->data + kw * kernel->nb[0] + kh * kernel->nb[1] + c * kernel->nb[3];
    return kernel->type == TEVO_TYPE_F32 ? *(const float *) p : tevo_table_f32_f16[*(const tevo_fp16_t *) p];
}

// plane i of the N·C planes of a planar input
void tevo_conv_dw_plane(const tevo_conv_dw_shape & s, const tevo_tensor * kernel, const tevo_tensor * input,
                        tevo_tensor * dst, int64_t i) {
    const int64_t c = i % s.C;
    const int64_t n = i / s.C;

    const char * x = (const char *) input->data + c * input->nb[2] + n * input->nb[3];
    char *       y = (char *) dst->data + c * dst->nb[2] + n * dst->nb[3];

    for (int64_t oh = 0; oh < s.OH; ++oh) {
        for (int64_t ow = 0; ow < s.OW; ++ow) {
            float sum = 0.0f;
            for (int64_t kh = 0; kh < s.KH; ++kh) {
                const int64_t ih = oh * s.s1 + kh * s.d1 - s.p1;
                if (ih < 0 || ih >= s.IH) {
                    continue;
                }
                for (int64_t kw = 0; kw < s.KW; ++kw) {
                    const int64_t iw = ow * s.s0 + kw * s.d0 - s.p0;
                    if (iw < 0 || iw >= s.IW) {
                        continue;
                    }
                    const float v = *(const float *) (x + iw * input->nb[0] + ih * input->nb[1]);
                    sum           = fmaf(tevo_conv_dw_tap(kernel, kw, kh, c), v, sum);
                }
            }
            *(float *) (y + ow * dst->nb[0] + oh * dst->nb[1]) = sum;
        }
    }
}

// output row r (n·OH + oh) of a channel-last input: for every ow, all
// channels at once, the taps in the planar order so both layouts agree
void tevo_conv_dw_row(const tevo_conv_dw_shape & s, const tevo_tensor * kernel, const tevo_tensor * input,
                      tevo_tensor * dst, int64_t r) {
    const int64_t oh = r % s.OH;
    const int64_t n  = r / s.OH;

    // eight channels per vector where the kernel's channels are packed floats
    const bool    wide = kernel->type == TEVO_TYPE_F32 && kernel->nb[3] == sizeof(float);
    const int64_t C8   = wide ? s.C / 8 * 8 : 0;

    for (int64_t ow = 0; ow < s.OW; ++ow) {
        float * y = (float *) ((char *) dst->data + ow * dst->nb[0] + oh * dst->nb[1] + n * dst->nb[3]);
        for (int64_t c = 0; c < s.C; ++c) {
            y[c] = 0.0f;
        }
        for (int64_t kh = 0; kh < s.KH; ++kh) {
            const int64_t ih = oh * s.s1 + kh * s.d1 - s.p1;
            if (ih < 0 || ih >= s.IH) {
                continue;
            }
            for (int64_t kw = 0; kw < s.KW; ++kw) {
                const int64_t iw = ow * s.s0 + kw * s.d0 - s.p0;
                if (iw < 0 || iw >= s.IW) {
                    continue;
                }
                const float * x =
                    (const float *) ((const char *) input->data + iw * input->nb[0] + ih * input->nb[1] +
                                     n * input->nb[3]);
                const float * k = (const float *) ((const char *) kernel->data + kw * kernel->nb[0] +
                                                   kh * kernel->nb[1]); // read only when wide
                for (int64_t c = 0; c < C8; c += 8) {
                    _mm256_storeu_ps(y + c, _mm256_fmadd_ps(_mm256_loadu_ps(k + c), _mm256_loadu_ps(x + c),
                                                            _mm256_loadu_ps(y + c)));
                }
                for (int64_t c = C8; c < s.C; ++c) {
                    y[c] = fmaf(tevo_conv_dw_tap(kernel, kw, kh, c), x[c], y[c]);
                }
            }
        }
    }
}

} // namespace

size_t tevo_conv_direct_least_wsize(const struct tevo_tensor * node) {
    const tevo_tensor * kernel = node->src[0];
    // CONV_3D keeps its channel counts in its parameters
    const bool    is_3d = node->op == TEVO_OP_CONV_3D;
    const int64_t IC    = is_3d ? tevo_get_op_params_i32(node, 9) : kernel->ne[2];
    const int64_t OC    = is_3d ? tevo_get_op_params_i32(node, 11) : kernel->ne[3];
    const int64_t Kt    = kernel->ne[0] * kernel->ne[1] * (is_3d ? kernel->ne[2] : 1) * IC;
    return tevo_conv_per_patch(Kt, tevo_type_size(kernel->type), OC) + 128;
}

// kernel [KW, KH, IC, OC], input [IW, IH, IC, N] -> dst [OW, OH, OC, N]
void tevo_compute_forward_conv_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * kernel = dst->src[0];
    const tevo_tensor * input  = dst->src[1];

    tevo_conv_shape s;
    s.KW = kernel->ne[0];
    s.KH = kernel->ne[1];
    s.KD = 1;
    s.IC = input->ne[2];
    s.OC = kernel->ne[3];
    s.N  = input->ne[3];
    s.IW = input->ne[0];
    s.IH = input->ne[1];
    s.ID = 1;
    s.OW = dst->ne[0];
    s.OH = dst->ne[1];
    s.OD = 1;
    s.s0 = tevo_get_op_params_i32(dst, 0);
    s.s1 = tevo_get_op_params_i32(dst, 1);
    s.s2 = 1;
    s.p0 = tevo_get_op_params_i32(dst, 2);
    s.p1 = tevo_get_op_params_i32(dst, 3);
    s.p2 = 0;
    s.d0 = tevo_get_op_params_i32(dst, 4);
    s.d1 = tevo_get_op_params_i32(dst, 5);
    s.d2 = 1;

    s.in_w = input->nb[0];
    s.in_h = input->nb[1];
    s.in_d = 0;
    s.in_c = input->nb[2];
    s.in_n = input->nb[3];

    s.out_w = dst->nb[0];
    s.out_h = dst->nb[1];
    s.out_d = 0;
    s.out_c = dst->nb[2];
    s.out_n = dst->nb[3];

    TEVO_ASSERT(s.IC == kernel->ne[2]);
    TEVO_ASSERT(dst->ne[2] == s.OC && dst->ne[3] == s.N);

    tevo_conv_direct_dispatch(params, kernel, input, dst, s);
}

// kernel [KW, KH, KD, IC·OC], input [IW, IH, ID, IC·N] -> dst [OW, OH, OD, OC·N]
void tevo_compute_forward_conv_3d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * kernel = dst->src[0];
    const tevo_tensor * input  = dst->src[1];

    tevo_conv_shape s;
    s.IC = tevo_get_op_params_i32(dst, 9);
    s.N  = tevo_get_op_params_i32(dst, 10);
    s.OC = tevo_get_op_params_i32(dst, 11);
    s.KW = kernel->ne[0];
    s.KH = kernel->ne[1];
    s.KD = kernel->ne[2];
    s.IW = input->ne[0];
    s.IH = input->ne[1];
    s.ID = input->ne[2];
    s.OW = dst->ne[0];
    s.OH = dst->ne[1];
    s.OD = dst->ne[2];
    s.s0 = tevo_get_op_params_i32(dst, 0);
    s.s1 = tevo_get_op_params_i32(dst, 1);
    s.s2 = tevo_get_op_params_i32(dst, 2);
    s.p0 = tevo_get_op_params_i32(dst, 3);
    s.p1 = tevo_get_op_params_i32(dst, 4);
    s.p2 = tevo_get_op_params_i32(dst, 5);
    s.d0 = tevo_get_op_params_i32(dst, 6);
    s.d1 = tevo_get_op_params_i32(dst, 7);
    s.d2 = tevo_get_op_params_i32(dst, 8);

    s.in_w = input->nb[0];
    s.in_h = input->nb[1];
    s.in_d = input->nb[2];
    s.in_c = input->nb[3];
    s.in_n = input->nb[3] * (size_t) s.IC;

    s.out_w = dst->nb[0];
    s.out_h = dst->nb[1];
    s.out_d = dst->nb[2];
    s.out_c = dst->nb[3];
    s.out_n = dst->nb[3] * (size_t) s.OC;

    // the channel counts split dimension 3 of all three tensors
    TEVO_ASSERT(kernel->ne[3] == s.IC * s.OC);
    TEVO_ASSERT(input->ne[3] == s.IC * s.N);
    TEVO_ASSERT(dst->ne[3] == s.OC * s.N);

    tevo_conv_direct_dispatch(params, kernel, input, dst, s);
}

void tevo_compute_forward_conv_transpose_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F16 && src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    const size_t nb00 = src0->nb[0], nb10 = src1->nb[0];
    if (src0->type == TEVO_TYPE_F16) {
        TEVO_ASSERT(nb00 == sizeof(tevo_fp16_t));
    } else {
        TEVO_ASSERT(nb00 == sizeof(float));
    }
    TEVO_ASSERT(nb10 == sizeof(float));

    if (src0->type == TEVO_TYPE_F16) {
        tevo_conv_transpose_1d_impl<tevo_fp16_t>(params, dst);
    } else {
        tevo_conv_transpose_1d_impl<float>(params, dst);
    }
}

void tevo_compute_forward_conv_transpose_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F16 && src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    const size_t nb00 = src0->nb[0], nb10 = src1->nb[0];
    TEVO_ASSERT(nb00 == tevo_type_size(src0->type));
    TEVO_ASSERT(nb10 == sizeof(float));

    if (src0->type == TEVO_TYPE_F16) {
        tevo_conv_transpose_2d_impl<tevo_fp16_t>(params, dst);
    } else {
        tevo_conv_transpose_2d_impl<float>(params, dst);
    }
}

// kernel [KW, KH, 1, C], input [IW, IH, C, N] -> dst [OW, OH, C, N]
void tevo_compute_forward_conv_2d_dw(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * kernel = dst->src[0];
    const tevo_tensor * input  = dst->src[1];

    tevo_conv_dw_shape s;
    s.N  = input->ne[3];
    s.C  = input->ne[2];
    s.IW = input->ne[0];
    s.IH = input->ne[1];
    s.KW = kernel->ne[0];
    s.KH = kernel->ne[1];
    s.OW = dst->ne[0];
    s.OH = dst->ne[1];
    s.s0 = tevo_get_op_params_i32(dst, 0);
    s.s1 = tevo_get_op_params_i32(dst, 1);
    s.p0 = tevo_get_op_params_i32(dst, 2);
    s.p1 = tevo_get_op_params_i32(dst, 3);
    s.d0 = tevo_get_op_params_i32(dst, 4);
    s.d1 = tevo_get_op_params_i32(dst, 5);

    TEVO_ASSERT(kernel->type == TEVO_TYPE_F32 || kernel->type == TEVO_TYPE_F16);
    TEVO_ASSERT(kernel->ne[3] == s.C);
    TEVO_ASSERT(dst->ne[3] == s.N);
    // input and output are read and written as floats
    TEVO_ASSERT(input->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->ne[2] == s.C);

    if (tevo_is_contiguous_channels(input)) {
        // the kernel is read through its own strides, in any layout; the
        // rows are written a whole run of channels at a time
        TEVO_ASSERT(dst->nb[2] == sizeof(float));
        int64_t r0, r1;
        tevo_conv_block_range(s.N * s.OH, params->ith, params->nth, &r0, &r1);
        for (int64_t r = r0; r < r1; ++r) {
            tevo_conv_dw_row(s, kernel, input, dst, r);
        }
    } else if (tevo_is_contiguous(input)) {
        int64_t i0, i1;
        tevo_conv_block_range(s.N * s.C, params->ith, params->nth, &i0, &i1);
        for (int64_t i = i0; i < i1; ++i) {
            tevo_conv_dw_plane(s, kernel, input, dst, i);
        }
    } else {
        TEVO_ABORT("non-contiguous memory layout not supported");
    }
}
