#pragma once

// Fused attention on the CPU: the operator entry with its path choice and
// the one-chunk kernel (flash-attn.cpp), the split-key path for one query
// row per head (flash-attn-split.cpp) and the tiled path for many query
// rows (flash-attn-tiled.cpp).

#include "cpu/ops/kernel.h"

#include <math.h>
#include <string.h>

#define FATTN_Q_TILE  64
#define FATTN_KV_TILE 64

// scalars of one attention node, derived once per kernel call
struct tevo_fattn_consts {
    float    scale;   // already divided by softcap when softcap is set
    float    max_bias;
    float    softcap;
    uint32_t n_head_log2;
    float    m0;
    float    m1;
};

static inline struct tevo_fattn_consts tevo_fattn_consts_of(const struct tevo_tensor * dst, int64_t n_head) {
    struct tevo_fattn_consts c;
    memcpy(&c.scale, (const float *) dst->op_params + 0, sizeof(float));
    memcpy(&c.max_bias, (const float *) dst->op_params + 1, sizeof(float));
    memcpy(&c.softcap, (const float *) dst->op_params + 2, sizeof(float));
    if (c.softcap != 0.0f) {
        c.scale /= c.softcap;
    }
    c.n_head_log2 = 1u << (uint32_t) floor(log2((double) n_head));
    c.m0          = exp2f(-c.max_bias / (float) c.n_head_log2);
    c.m1          = exp2f((c.max_bias * -0.5f) / (float) c.n_head_log2);
    return c;
}

// ALiBi slope of query head h
static inline float tevo_fattn_slope(const struct tevo_fattn_consts * c, uint32_t h) {
    if (!(c->max_bias > 0.0f)) {
        return 1.0f;
    }
    return h < c->n_head_log2 ? powf(c->m0, (float) (h + 1)) : powf(c->m1, (float) (2 * (h - c->n_head_log2) + 1));
}

// The layout every path relies on: packed rows of q, k and v, float rows of
// dst in increasing strides, result rows of v's width per query row.
static inline void tevo_flash_attn_ext_check_layout(const struct tevo_tensor * dst) {
    const struct tevo_tensor * q = dst->src[0];
    const struct tevo_tensor * k = dst->src[1];
    const struct tevo_tensor * v = dst->src[2];

    const int64_t DK   = k->ne[0];
    const int64_t DV   = v->ne[0];
    const int64_t N    = q->ne[1];
    const int64_t neq0 = q->ne[0];
    const int64_t ne0  = dst->ne[0];
    const int64_t ne2  = dst->ne[2];
    const size_t  nbq0 = q->nb[0];
    const size_t  nbk0 = k->nb[0];
    const size_t  nbv0 = v->nb[0];
    const size_t  nb0  = dst->nb[0];
    const size_t  nb1  = dst->nb[1];
    const size_t  nb2  = dst->nb[2];
    const size_t  nb3  = dst->nb[3];

    TEVO_ASSERT(ne0 == DV);
    TEVO_ASSERT(ne2 == N);
    TEVO_ASSERT(nbq0 == tevo_type_size(q->type));
    TEVO_ASSERT(nbk0 == tevo_type_size(k->type));
    TEVO_ASSERT(nbv0 == tevo_type_size(v->type));
    TEVO_ASSERT(neq0 == DK);
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);
}

// Query rows ir0 <= ir < ir1 over keys kv0 <= ic < kv1 on this thread's
// scratch slice. With partials == NULL the rows are finished into dst;
// otherwise row ir leaves an unnormalised record {M, S, acc[DV]} at
// partials + ir * partial_stride and dst is not touched.
void tevo_flash_attn_ext_one_chunk(const struct tevo_compute_params * params, struct tevo_tensor * dst, int64_t ir0,
                                   int64_t ir1, int64_t kv0, int64_t kv1, float * partials, int64_t partial_stride);

// Keys per piece of the split-key path. The pieces depend on the number of
// keys alone, never on the threads, and are merged in piece order, so a
// decoding step gives the same bits on any thread count.
#define FATTN_SPLIT_PIECE 128

static inline int64_t tevo_flash_attn_ext_split_pieces(int64_t n_kv) {
    return (n_kv + FATTN_SPLIT_PIECE - 1) / FATTN_SPLIT_PIECE;
}

// work room of the split-key path in floats: a one-chunk slice per thread,
// then a record {M, S, acc[DV]} per head and piece
static inline size_t tevo_flash_attn_ext_split_floats(int nth, int64_t DK, int64_t DV, int64_t n_head, int64_t n_kv) {
    return (size_t) nth * (size_t) (DK + 2 * DV + 16) +
           (size_t) n_head * (size_t) tevo_flash_attn_ext_split_pieces(n_kv) * (size_t) (DV + 2);
}

// one query row per head, keys cut into pieces shared among the threads,
// then merged
void tevo_flash_attn_ext_split_kv(const struct tevo_compute_params * params, struct tevo_tensor * dst);

// rows ir0 <= ir < ir1 in 64 x 64 query/key tiles (F32 or F16 K equal to V)
void tevo_flash_attn_ext_tiles(const struct tevo_compute_params * params, struct tevo_tensor * dst, int64_t ir0,
                               int64_t ir1);

// Z (64 x N) += X (64 x K) * Y (K x N), row-major, each output a chain of
// fused multiply-adds in increasing k starting from its old value
void tevo_flash_attn_tile_gemm(float * Z, const float * X, const float * Y, int32_t K, int32_t N);
