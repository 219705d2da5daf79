#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Fused attention: the operator entry, which picks the split-key, tiled or
// one-chunk path and shares query rows out in chunks, and the one-chunk
// kernel, which handles every K and V type with an online softmax over one
// key at a time.

#include "cpu/ops/flash-attn.h"
#include "cpu/ops/ops.h"
#include "platform/platform.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>

// keys whose scores are taken before the accumulator is updated
#define FATTN_KEY_BLOCK 32

// V rows as 8 floats at a time: F16 widened exactly, F32 as they are
static inline __m256 tevo_fattn_load8(const float * v) {
    return _mm256_loadu_ps(v);
}

static inline __m256 tevo_fattn_load8(const tevo_fp16_t * v) {
    return _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) v));
}

static inline void tevo_fattn_mad_tail(int64_t n, float * acc, const float * v, float s) {
    tevo_vec_mad_f32(n, acc, v, s);
}

static inline void tevo_fattn_mad_tail(int64_t n, float * acc, const tevo_fp16_t * v, float s) {
    tevo_vec_mad_f32_f16(n, acc, v, s);
}

// The accumulator updates of a block of keys, 64 columns at a time held in
// registers through all the block's keys: every element still sees the
// per-key rule in key order (scale by ms on a new maximum, then add vs times
// V). The accumulator is float whatever V's type: a half one would round
// differently for every way the keys are split among threads.
template <int NV, typename TV>
static inline void tevo_fattn_acc_cols(float * acc, int64_t d0, const char * vbase, size_t nbv1, const int64_t * key,
                                       const float * ms, const float * vs, const bool * new_max, int n) {
    __m256 a[NV];
#pragma GCC unroll 8
    for (int r = 0; r < NV; ++r) {
        a[r] = _mm256_loadu_ps(acc + d0 + 8 * r);
    }
    for (int j = 0; j < n; ++j) {
        const TV * vr = (const TV *) (vbase + key[j] * nbv1) + d0;
        if (new_max[j]) {
            const __m256 m = _mm256_set1_ps(ms[j]);
#pragma GCC unroll 8
            for (int r = 0; r < NV; ++r) {
                a[r] = _mm256_mul_ps(a[r], m);
            }
        }
        const __m256 w = _mm256_set1_ps(vs[j]);
#pragma GCC unroll 8
        for (int r = 0; r < NV; ++r) {
            a[r] = _mm256_fmadd_ps(tevo_fattn_load8(vr + 8 * r), w, a[r]);
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < NV; ++r) {
        _mm256_storeu_ps(acc + d0 + 8 * r, a[r]);
    }
}

template <typename TV>
static void tevo_fattn_acc(float * acc, int64_t DV, const char * vbase, size_t nbv1, const int64_t * key,
                           const float * ms, const float * vs, const bool * new_max, int n) {
    int64_t d = 0;
    for (; d + 64 <= DV; d += 64) {
        tevo_fattn_acc_cols<8, TV>(acc, d, vbase, nbv1, key, ms, vs, new_max, n);
    }
    for (; d + 8 <= DV; d += 8) {
        tevo_fattn_acc_cols<1, TV>(acc, d, vbase, nbv1, key, ms, vs, new_max, n);
    }
    if (d < DV) {
        for (int j = 0; j < n; ++j) {
            if (new_max[j]) {
                tevo_vdsp_vsmul(acc + d, 1, &ms[j], acc + d, 1, (size_t) (DV - d));
            }
            tevo_fattn_mad_tail(DV - d, acc + d, (const TV *) (vbase + key[j] * nbv1) + d, vs[j]);
        }
    }
}

void tevo_flash_attn_ext_one_chunk(const struct tevo_compute_params * params, struct tevo_tensor * dst, int64_t ir0,
                                   int64_t ir1, int64_t kv0, int64_t kv1, float * partials, int64_t partial_stride) {
    const struct tevo_tensor * q     = dst->src[0];
    const struct tevo_tensor * k     = dst->src[1];
    const struct tevo_tensor * v     = dst->src[2];
    const struct tevo_tensor * mask  = dst->src[3];
    const struct tevo_tensor * sinks = dst->src[4];

    const int64_t DK   = k->ne[0];
    const int64_t DV   = v->ne[0];
    const int64_t N    = q->ne[1];
    const int64_t ne1  = dst->ne[1];
    const size_t  nb1  = dst->nb[1];

    tevo_flash_attn_ext_check_layout(dst);

    // the dot products of the scores take an int length
    const int dk = tevo_row_length(dst, DK);

    const enum tevo_type  k_vec_dot_type = tevo_get_type_traits_cpu(k->type)->vec_dot_type;
    const tevo_from_float_t q_to_vec_dot = tevo_get_type_traits_cpu(k_vec_dot_type)->from_float;
    const tevo_vec_dot_t    kq_vec_dot   = tevo_get_type_traits_cpu(k->type)->vec_dot;
    const tevo_to_float_t   v_to_float   = tevo_get_type_traits(v->type)->to_float;

    TEVO_ASSERT(( q_to_vec_dot) && "fattn: unsupported K-type");
    // Types without a dot product still have a query converter (their partner
    // type defaults to F32); refuse them here instead of calling through NULL.
    TEVO_ASSERT(( kq_vec_dot) && "fattn: unsupported K-type");
    TEVO_ASSERT((v->type == TEVO_TYPE_F32 || v_to_float ) && "fattn: unsupported V-type");

    const int64_t n_head = q->ne[2];
    const struct tevo_fattn_consts c = tevo_fattn_consts_of(dst, n_head);

    const int64_t rk2 = n_head / k->ne[2];
    const int64_t rk3 = q->ne[3] / k->ne[3];
    const int64_t rv2 = n_head / v->ne[2];
    const int64_t rv3 = q->ne[3] / v->ne[3];

    // this thread's slice: the accumulator, a V row and the converted query
    const size_t slice_floats = (size_t) (DK + 2 * DV + 16);
    TEVO_ASSERT(params->wsize >= (size_t) (params->ith + 1) * slice_floats * sizeof(float));

    if (ir0 >= ir1) {
        return;
    }

    typedef void (*kq_block_t)(int, int, int, const void *, size_t, const void * const *, float *);
    const kq_block_t kq_block = k->type == TEVO_TYPE_F32  ? tevo_vec_dot_f32_block
                              : k->type == TEVO_TYPE_F16  ? tevo_vec_dot_f16_block
                              : k->type == TEVO_TYPE_BF16 ? tevo_vec_dot_bf16_block
                                                          : NULL;

    const bool use_sinks = sinks != NULL && kv0 == 0;
    const bool v_is_f16  = v->type == TEVO_TYPE_F16;

    float * const slice = (float *) params->wdata + (size_t) params->ith * slice_floats;
    float * const acc   = slice;
    float * const vrow  = slice + DV;
    void * const        qconv = slice + 2 * DV;
    const void * const  qconv_row = qconv;

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (n_head * N);
        const int64_t i2 = (ir - i3 * n_head * N) / N;
        const int64_t i1 = ir - i3 * n_head * N - i2 * N;

        const uint32_t h     = (uint32_t) i2;
        const float    slope = tevo_fattn_slope(&c, h);

        float M = -INFINITY;
        float S = 0.0f;
        memset(acc, 0, (size_t) DV * sizeof(float));

        const tevo_fp16_t * mp =
            mask ? (const tevo_fp16_t *) ((const char *) mask->data + i1 * mask->nb[1] +
                                          (i2 % mask->ne[2]) * mask->nb[2] + (i3 % mask->ne[3]) * mask->nb[3])
                 : NULL;

        const char * kbase = (const char *) k->data + (i2 / rk2) * k->nb[2] + (i3 / rk3) * k->nb[3];
        const char * vbase = (const char *) v->data + (i2 / rv2) * v->nb[2] + (i3 / rv3) * v->nb[3];

        const float * qrow =
            (const float *) ((const char *) q->data + i1 * q->nb[1] + i2 * q->nb[2] + i3 * q->nb[3]);
        q_to_vec_dot(qrow, qconv, DK);

        // Keys go in blocks: first the scores of the block's open keys, then
        // the running maximum and the weights, then the accumulator updates.
        // Each step is the per-key rule in key order, so the result is the
        // same; but the dot products and exponentials no longer wait on the
        // accumulator's chain of roundings.
        for (int64_t ib = kv0; ib < kv1; ib += FATTN_KEY_BLOCK) {
            const int64_t nb = TEVO_MIN((int64_t) FATTN_KEY_BLOCK, kv1 - ib);

            int64_t key[FATTN_KEY_BLOCK];
            float   mvs[FATTN_KEY_BLOCK];
            int     n_open = 0;
            for (int64_t ic = ib; ic < ib + nb; ++ic) {
                const float mv = mp ? slope * tevo_table_f32_f16[mp[ic]] : 0.0f;
                if (mv == -INFINITY) {
                    continue; // a masked key costs nothing more
                }
                key[n_open] = ic;
                mvs[n_open] = mv;
                ++n_open;
            }

            // Runs of neighbouring open keys go through the engine's block
            // routine, whose dot products are bit for bit those of vec_dot.
            float sc[FATTN_KEY_BLOCK];
            for (int j = 0; j < n_open;) {
                int run = 1;
                if (kq_block) {
                    while (j + run < n_open && run < 16 && key[j + run] == key[j] + run) {
                        ++run;
                    }
                }
                if (run > 1) {
                    float dots[16];
                    kq_block(dk, run, 1, kbase + key[j] * k->nb[1], k->nb[1], &qconv_row, dots);
                    memcpy(sc + j, dots, (size_t) run * sizeof(float));
                } else {
                    kq_vec_dot(dk, &sc[j], 0, kbase + key[j] * k->nb[1], 0, qconv, 0, 1);
                }
                j += run;
            }

            for (int j = 0; j < n_open; ++j) {
                float s = sc[j] * c.scale;
                if (c.softcap != 0.0f) {
                    s = c.softcap * tanhf(s);
                }
                sc[j] = s + mvs[j];
            }

            // ms rescales the accumulator when the key is a new maximum (a
            // tie is not); vs weights the key's V row
            float ms[FATTN_KEY_BLOCK];
            float vs[FATTN_KEY_BLOCK];
            bool  new_max[FATTN_KEY_BLOCK];
            for (int j = 0; j < n_open; ++j) {
                const float s = sc[j];
                new_max[j]    = s > M;
                if (new_max[j]) {
                    ms[j] = expf(M - s);
                    vs[j] = 1.0f;
                    M     = s;
                } else {
                    ms[j] = 1.0f;
                    vs[j] = expf(s - M);
                }
                S = fmaf(S, ms[j], vs[j]);
            }

            if (v_is_f16) {
                tevo_fattn_acc<tevo_fp16_t>(acc, DV, vbase, v->nb[1], key, ms, vs, new_max, n_open);
            } else if (v->type == TEVO_TYPE_F32) {
                tevo_fattn_acc<float>(acc, DV, vbase, v->nb[1], key, ms, vs, new_max, n_open);
            } else {
                for (int j = 0; j < n_open; ++j) {
                    if (new_max[j]) {
                        tevo_vdsp_vsmul(acc, 1, &ms[j], acc, 1, (size_t) DV);
                    }
                    v_to_float(vbase + key[j] * v->nb[1], vrow, DV);
                    tevo_vec_mad_f32(DV, acc, vrow, vs[j]);
                }
            }
        }

        if (use_sinks) {
            const float s  = ((const float *) sinks->data)[h];
            float       ms = 1.0f;
            float       vs = 1.0f;
            if (s > M) {
                ms = expf(M - s);
                tevo_vdsp_vsmul(acc, 1, &ms, acc, 1, (size_t) DV);
                M = s;
            } else {
                vs = expf(s - M);
            }
            S = fmaf(S, ms, vs);
        }

        if (partials) {
            float * rec = partials + ir * partial_stride;
            rec[0]      = M;
            rec[1]      = S;
            memcpy(rec + 2, acc, (size_t) DV * sizeof(float));
            continue;
        }

        const float S_inv = S == 0.0f ? 0.0f : 1.0f / S;
        tevo_vdsp_vsmul(acc, 1, &S_inv, acc, 1, (size_t) DV);
        memcpy((char *) dst->data + ((i3 * N + i1) * ne1 + i2) * nb1, acc, (size_t) DV * sizeof(float));
    }
}

void tevo_compute_forward_flash_attn_ext(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const int32_t prec = tevo_get_op_params_i32(dst, 3);
    if (prec != 0 && prec != 10) {
        TEVO_ABORT("fatal error");
    }

    const struct tevo_tensor * q = dst->src[0];
    const struct tevo_tensor * k = dst->src[1];
    const struct tevo_tensor * v = dst->src[2];

    const int64_t N    = q->ne[1];

    tevo_flash_attn_ext_check_layout(dst);

    // Every path reads query rows as floats; a query of another type would be
    // read past the end of its rows.
    TEVO_ASSERT(q->type == TEVO_TYPE_F32);

    const bool kv_float_pair = (k->type == TEVO_TYPE_F32 || k->type == TEVO_TYPE_F16) && k->type == v->type &&
                               q->type == TEVO_TYPE_F32;
    const int64_t n_kv = k->ne[1];

    if (!params->use_ref && N == 1 && q->ne[3] == 1 && kv_float_pair && n_kv >= 512) {
        tevo_flash_attn_ext_split_kv(params, dst);
        return;
    }

    const int ith = params->ith;
    const int nth = params->nth;

    const int64_t nr = N * q->ne[2] * q->ne[3];

    const int64_t chunk_size = (nr + 4 * nth - 1) / (4 * nth);
    int64_t       nchunk     = (nr + chunk_size - 1) / chunk_size;
    if (nth == 1 || nchunk < nth || tevo_is_numa()) {
        nchunk = nth;
    }

    if (ith == 0) {
        tevo_threadpool_chunk_set(params->threadpool, nth);
    }
    tevo_barrier(params->threadpool);

    const int64_t dr = (nr + nchunk - 1) / nchunk;

    const bool tiled = !params->use_ref && kv_float_pair && N >= FATTN_Q_TILE;

    int64_t chunk = ith;
    while (chunk < nchunk) {
        const int64_t ir0 = dr * chunk;
        const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);
        if (tiled) {
            tevo_flash_attn_ext_tiles(params, dst, ir0, ir1);
        } else {
            tevo_flash_attn_ext_one_chunk(params, dst, ir0, ir1, 0, n_kv, NULL, 0);
        }
        chunk = tevo_threadpool_chunk_add(params->threadpool, 1);
    }
}
