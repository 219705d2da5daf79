#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The 2-bit and 3-bit i-quants iq2_xxs, iq2_xs, iq2_s, iq3_xxs and iq3_s:
// dequantizers and quantizers. Every group of 8 (or 4) magnitudes is one
// point of a fixed grid, times a sub-block scale, with its signs stored
// apart (7 bits per 8 values where the number of negatives is kept even).
//
// The quantizer searches per sub-block a range of candidate scales: at
// each, every group rounds to the nearest lattice levels, an off-grid group
// takes the best of its precomputed grid neighbours, and the scale that
// fits the importance-weighted values best is kept. The sub-block scales
// are then quantized to 4 bits under one half block scale.

#include "quants/impl.h"
#include "quants/iquants-tables.h"
#include "quants/iquants.h"
#include "quants/kquants-search.h"

#include <stdio.h>

// ---------------------------------------------------------------------------
// dequantizers

static inline uint32_t iq_u32(const void * p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// 8 values of a 2-bit grid point times ds, negated where the pattern says
static inline void iq_put8(float * y, float ds, uint64_t point, uint8_t pattern) {
    for (int j = 0; j < 8; ++j) {
        const float v = ds * (float) (uint8_t) (point >> (8 * j));
        y[j]          = (pattern >> j) & 1 ? -v : v;
    }
}

// ---------------------------------------------------------------------------
// the candidate-scale search shared by the five types

namespace {

struct iq_params {
    enum tevo_type type;
    int            sub;        // values under one sub-block scale
    int            width;      // values per grid point: 8 or 4
    int            levels;     // 3 or 8
    bool           parity;     // 7 stored sign bits per 8 values
    float          sigma2_mul; // sigma2 = mul * sum(x²) / 256
    float          fallback;   // weight without importance weights: fallback * sigma2 + x²
    float          eps;        // a sub-block whose largest magnitude is below this is zero
    bool           exact_zero; // only an exactly zero sub-block is zero
    int            is_lo, is_hi;
    float          c0, c1;     // candidate inverse scales (c0 + c1 * is) / top
    int            refit;      // 0: every group whenever scale > 0; 1: the off-grid groups; 2: all if any is off
    float          d_factor;   // the stored block scale is d times this
    size_t         size;       // bytes per block
};

const iq_params iq_params_of[] = {
    { TEVO_TYPE_IQ2_XXS, 32, 8, 3, true, 1.0f, 0.0f, 1e-15f, false, -6, 6, 5.0f, 0.1f, 0, 1.0f,
      sizeof(block_iq2_xxs) },
    { TEVO_TYPE_IQ2_XS, 16, 8, 3, true, 1.0f, 0.0f, 1e-15f, false, -9, 9, 5.0f, 0.1f, 1, 1.0f,
      sizeof(block_iq2_xs) },
    { TEVO_TYPE_IQ2_S, 16, 8, 3, false, 2.0f, 0.25f, 1e-8f, false, -9, 9, 5.0f, 0.1f, 1, 0.9875f,
      sizeof(block_iq2_s) },
    { TEVO_TYPE_IQ3_XXS, 32, 4, 8, true, 2.0f, 0.0f, 1e-8f, false, -15, 15, 15.0f, 0.2f, 1, 1.0125f,
      sizeof(block_iq3_xxs) },
    { TEVO_TYPE_IQ3_S, 32, 4, 8, false, 2.0f, 0.0f, 0.0f, true, -9, 9, 15.0f, 0.2f, 2, 1.033f,
      sizeof(block_iq3_s) },
};

const iq_params & iq_params_for(enum tevo_type type) {
    for (const iq_params & p : iq_params_of) {
        if (p.type == type) return p;
    }
    TEVO_ABORT("fatal error");
}

// The grid in working form: 8 bytes per point for the 2-bit grids, 4 for
// the 3-bit ones.
struct iq_grid_view {
    const uint64_t * grid8;
    const uint32_t * grid4;
    const int32_t *  map;
    const uint16_t * neighbours;
    int              width;
    int              bits;

    int value(int g, int j) const {
        return width == 8 ? (int) (uint8_t) (grid8[g] >> (8 * j)) : (int) (uint8_t) (grid4[g] >> (8 * j));
    }
    int pack(const int8_t * L) const {
        int u = 0;
        for (int j = 0; j < width; ++j) u |= L[j] << (bits * j);
        return u;
    }
};

// The listed grid point nearest to the group under the search weights at
// this scale (the first of equals); its levels go to L. Only a list whose
// every distance is NaN finds none.
int iq_find_nearest_grid_point(const iq_grid_view & g, const uint16_t * list, const float * mag, const float * sw,
                               float scale, int8_t * L) {
    const int n = list[0];
    TEVO_Q_CHECK(n > 0, "num_neighbors > 0");
    float best = 0.0f;
    int   idx  = -1;
    for (int k = 1; k <= n; ++k) {
        const int p  = list[k];
        float     d2 = 0.0f;
        for (int j = 0; j < g.width; ++j) {
            const float d = scale * (float) g.value(p, j) - mag[j];
            d2 += sw[j] * d * d;
        }
        if (idx < 0 ? d2 == d2 : d2 < best) {
            best = d2;
            idx  = p;
        }
    }
    TEVO_Q_CHECK(idx >= 0, "grid_index >= 0");
    for (int j = 0; j < g.width; ++j) L[j] = (int8_t) ((g.value(idx, j) - 1) / 2);
    return idx;
}

// Rounds one group to lattice levels at inverse scale id and moves it onto
// the grid; returns whether it was off the grid.
bool iq_round_group(const iq_grid_view & g, const iq_params & P, const float * mag, const float * sw, float id,
                    int8_t * L) {
    for (int j = 0; j < P.width; ++j) {
        // bounded first: a tiny fitted scale must not take the value past
        // the range the rounding is exact in
        const float v = TEVO_MAX(-1.0f, TEVO_MIN((float) P.levels, 0.5f * (id * mag[j] - 1.0f)));
        const int   l = tevo_q_nearest_int(v);
        L[j]          = (int8_t) TEVO_MAX(0, TEVO_MIN(P.levels - 1, l));
    }
    const int entry = g.map[g.pack(L)];
    if (entry >= 0) {
        return false;
    }
    iq_find_nearest_grid_point(g, g.neighbours - entry - 1, mag, sw, 1.0f / id, L);
    return true;
}

// Per value of one block: magnitudes (the parity flip makes one negative
// in a group of 8 with an odd number of negative values), weights, search
// weights, and per group of 8 the sign bits to store.
struct iq_block_work {
    float   mag[QK_K];
    float   w[QK_K];
    float   sw[QK_K];
    uint8_t signs[QK_K / 8];
};

void iq_prepare(const iq_params & P, const float * x, const float * qw, iq_block_work & b) {
    float sumx2 = 0.0f;
    for (int i = 0; i < QK_K; ++i) sumx2 += x[i] * x[i];
    const float sigma2 = P.sigma2_mul * sumx2 / (float) QK_K;
    for (int i = 0; i < QK_K; ++i) {
        b.w[i]   = qw ? qw[i] * sqrtf(sigma2 + x[i] * x[i]) : P.fallback * sigma2 + x[i] * x[i];
        b.sw[i]  = sqrtf(b.w[i]);
        b.mag[i] = fabsf(x[i]);
    }
    for (int k = 0; k < QK_K / 8; ++k) {
        const float * xk = x + 8 * k;
        uint8_t       s  = 0;
        int           nneg = 0;
        for (int j = 0; j < 8; ++j) {
            if (xk[j] < 0.0f) {
                s |= (uint8_t) (1u << j);
                ++nneg;
            }
        }
        if (P.parity && nneg % 2 != 0) {
            // the least important value takes the wrong sign
            int   jmin = 0;
            float emin = b.w[8 * k] * xk[0] * xk[0];
            for (int j = 1; j < 8; ++j) {
                const float e = b.w[8 * k + j] * xk[j] * xk[j];
                if (e < emin) {
                    emin = e;
                    jmin = j;
                }
            }
            b.mag[8 * k + jmin] = -b.mag[8 * k + jmin];
            s ^= (uint8_t) (1u << jmin);
        }
        b.signs[k] = P.parity ? (uint8_t) (s & 127) : s;
    }
}

// The scale of one sub-block and the levels of its groups (into L); the
// signs of its groups are inverted when the best scale came out negative.
float iq_search_sub_block(const iq_grid_view & g, const iq_params & P, iq_block_work & b, int ib, int8_t * L) {
    const int     o  = ib * P.sub;
    const float * m  = b.mag + o;
    const int     ng = P.sub / P.width;
    memset(L, 0, (size_t) P.sub);

    float max = m[0];
    for (int i = 1; i < P.sub; ++i) max = TEVO_MAX(max, m[i]);
    if (P.exact_zero ? max == 0.0f : max < P.eps) {
        memset(b.signs + o / 8, 0, (size_t) P.sub / 8);
        return 0.0f;
    }

    float top   = max;
    float scale = max / P.c0;
    if (P.type == TEVO_TYPE_IQ2_XXS) {
        // the weighted fit takes the magnitudes before the parity flip: a
        // flipped (negative) one would wrap its level round
        float   am[32];
        uint8_t Ls[32];
        for (int i = 0; i < P.sub; ++i) am[i] = fabsf(m[i]);
        scale = tevo_kq_quantize_nonneg_weighted(P.sub, 4, am, Ls, b.w + o);
        top   = 3.0f * scale;
        if (top <= 0.0f) {
            memset(b.signs + o / 8, 0, (size_t) P.sub / 8);
            return 0.0f;
        }
    }

    int8_t Lt[32];
    bool   off[8] = { false }, offt[8];
    float  best   = 0.0f;
    for (int is = P.is_lo; is <= P.is_hi; ++is) {
        const float id = (P.c0 + P.c1 * (float) is) / top;
        for (int k = 0; k < ng; ++k) {
            const int j0 = k * P.width;
            offt[k]      = iq_round_group(g, P, m + j0, b.sw + o + j0, id, Lt + j0);
        }
        float sumqx = 0.0f, sumq2 = 0.0f;
        for (int i = 0; i < P.sub; ++i) {
            const float q = (float) (2 * Lt[i] + 1);
            sumqx += b.w[o + i] * m[i] * q;
            sumq2 += b.w[o + i] * q * q;
        }
        if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
            scale = sumqx / sumq2;
            best  = scale * sumqx;
            memcpy(L, Lt, (size_t) P.sub);
            memcpy(off, offt, sizeof(off));
        }
    }

    bool any_off = false;
    for (int k = 0; k < ng; ++k) any_off = any_off || off[k];
    const bool refit = P.refit == 0 ? scale > 0.0f : (any_off && scale > 0.0f);
    if (refit) {
        const float id = 1.0f / scale;
        for (int k = 0; k < ng; ++k) {
            if (P.refit == 1 && !off[k]) continue;
            const int j0 = k * P.width;
            iq_round_group(g, P, m + j0, b.sw + o + j0, id, L + j0);
        }
        float sumqx = 0.0f, sumq2 = 0.0f;
        for (int i = 0; i < P.sub; ++i) {
            const float q = (float) (2 * L[i] + 1);
            sumqx += b.w[o + i] * m[i] * q;
            sumq2 += b.w[o + i] * q * q;
        }
        if (sumq2 > 0.0f) {
            scale = sumqx / sumq2;
        }
    }

    if (scale < 0.0f) {
        // a negative fit: the same levels with every sign inverted
        scale = -scale;
        for (int k = o / 8; k < (o + P.sub) / 8; ++k) {
            b.signs[k] = P.parity ? (uint8_t) (~b.signs[k] & 127) : (uint8_t) ~b.signs[k];
        }
    }
    return scale;
}

// the grid index of a group's levels; a point off the grid here is a bug
int iq_grid_index(const iq_grid_view & g, const int8_t * L) {
    const int u   = g.pack(L);
    const int idx = g.map[u];
    if (idx < 0) {
        printf("Oops: found point %u not on grid:", (unsigned) u);
        for (int j = 0; j < g.width; ++j) printf(" %d", L[j]);
        printf("\n");
        TEVO_ABORT("fatal error");
    }
    return idx;
}

// the 4-bit sub-block field of a scale under the block scale's inverse id
inline uint8_t iq_scale_field(float id, float scale) {
    const int l = tevo_q_nearest_int(0.5f * (id * scale - 1.0f));
    return (uint8_t) TEVO_MAX(0, TEVO_MIN(15, l));
}

// One block of any of the five types.
void iq_quantize_block(const iq_grid_view & g, const iq_params & P, const float * x, const float * qw, void * vy) {
    memset(vy, 0, P.size);
    tevo_fp16_t * d_out = (tevo_fp16_t *) vy; // every record starts with d
    if (!tevo_q_in_range(x, QK_K)) {
        *d_out = TEVO_Q_FP16_INF;
        return;
    }

    iq_block_work b;
    iq_prepare(P, x, qw, b);

    const int nsub = QK_K / P.sub;
    float     scales[QK_K / 16];
    int       index[QK_K / 4]; // per group
    float     smax = 0.0f;
    int8_t    L[32];
    for (int ib = 0; ib < nsub; ++ib) {
        scales[ib] = iq_search_sub_block(g, P, b, ib, L);
        for (int k = 0; k < P.sub / P.width; ++k) {
            index[ib * P.sub / P.width + k] = iq_grid_index(g, L + k * P.width);
        }
        TEVO_Q_CHECK(scales[ib] >= 0.0f, "scale >= 0");
        smax = TEVO_MAX(smax, scales[ib]);
    }
    if (smax == 0.0f) {
        return; // d = 0 and a zero payload
    }
    const float d  = smax / 31.0f;
    const float id = 1.0f / d;
    *d_out         = tevo_q_fp16(d * P.d_factor);

    switch (P.type) {
        case TEVO_TYPE_IQ2_XXS:
            {
                block_iq2_xxs * y = (block_iq2_xxs *) vy;
                for (int ib = 0; ib < QK_K / 32; ++ib) {
                    uint32_t w0 = 0, w1 = 0;
                    for (int l = 0; l < 4; ++l) {
                        w0 |= (uint32_t) index[4 * ib + l] << (8 * l);
                        w1 |= (uint32_t) b.signs[4 * ib + l] << (7 * l);
                    }
                    w1 |= (uint32_t) iq_scale_field(id, scales[ib]) << 28;
                    memcpy(&y->qs[4 * ib], &w0, 4);
                    memcpy(&y->qs[4 * ib + 2], &w1, 4);
                }
            }
            break;
        case TEVO_TYPE_IQ2_XS:
            {
                block_iq2_xs * y = (block_iq2_xs *) vy;
                for (int k = 0; k < QK_K / 8; ++k) {
                    y->qs[k] = (uint16_t) (index[k] | (b.signs[k] << 9));
                }
                for (int ib = 0; ib < QK_K / 16; ++ib) {
                    y->scales[ib / 2] |= (uint8_t) (iq_scale_field(id, scales[ib]) << (4 * (ib % 2)));
                }
            }
            break;
        case TEVO_TYPE_IQ2_S:
            {
                block_iq2_s * y = (block_iq2_s *) vy;
                for (int k = 0; k < QK_K / 8; ++k) {
                    y->qs[k] = (uint8_t) (index[k] & 255);
                    y->qh[k / 4] |= (uint8_t) ((index[k] >> 8) << (2 * (k % 4)));
                    y->qs[QK_K / 8 + k] = b.signs[k];
                }
                for (int ib = 0; ib < QK_K / 16; ++ib) {
                    y->scales[ib / 2] |= (uint8_t) (iq_scale_field(id, scales[ib]) << (4 * (ib % 2)));
                }
            }
            break;
        case TEVO_TYPE_IQ3_XXS:
            {
                block_iq3_xxs * y = (block_iq3_xxs *) vy;
                for (int k = 0; k < QK_K / 4; ++k) y->qs[k] = (uint8_t) index[k];
                for (int ib = 0; ib < QK_K / 32; ++ib) {
                    uint32_t w = (uint32_t) iq_scale_field(id, scales[ib]) << 28;
                    for (int l = 0; l < 4; ++l) w |= (uint32_t) b.signs[4 * ib + l] << (7 * l);
                    memcpy(y->qs + QK_K / 4 + 4 * ib, &w, 4);
                }
            }
            break;
        case TEVO_TYPE_IQ3_S:
            {
                block_iq3_s * y = (block_iq3_s *) vy;
                for (int k = 0; k < QK_K / 4; ++k) {
                    y->qs[k] = (uint8_t) (index[k] & 255);
                    y->qh[k / 8] |= (uint8_t) ((index[k] >> 8) << (k % 8));
                }
                memcpy(y->signs, b.signs, sizeof(y->signs));
                for (int ib = 0; ib < QK_K / 32; ++ib) {
                    y->scales[ib / 2] |= (uint8_t) (iq_scale_field(id, scales[ib]) << (4 * (ib % 2)));
                }
            }
            break;
        default: TEVO_ABORT("fatal error");
    }
}

iq_grid_view iq_view(const tevo_iq_grid_reader & r) {
    iq_grid_view v;
    v.grid8      = r.grid8;
    v.grid4      = r.grid4;
    v.map        = r.map;
    v.neighbours = r.neighbours;
    v.width      = r.grid8 ? 8 : 4;
    v.bits       = r.grid8 ? 2 : 3;
    return v;
}

size_t iq_quantize(enum tevo_type type, const float * src, void * dst, int64_t nrows, int64_t n_per_row,
                   const float * quant_weights) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    if (nrows == 0) {
        return 0;
    }
    if (type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS) {
        TEVO_Q_CHECK(quant_weights != NULL, "quant_weights && \"missing quantization weights\"");
    }
    const tevo_iq_grid_reader grid(type);
    return tevo_iq_quantize_rows(type, grid, src, dst, nrows, n_per_row, quant_weights);
}

} // namespace

size_t tevo_iq_quantize_rows(enum tevo_type type, const tevo_iq_grid_reader & grid, const float * src, void * dst,
                             int64_t nrows, int64_t n_per_row, const float * quant_weights) {
    if (type == TEVO_TYPE_IQ1_S || type == TEVO_TYPE_IQ1_M) {
        return tevo_iq1_quantize_rows(type, grid, src, dst, nrows, n_per_row, quant_weights);
    }
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    if (type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS) {
        TEVO_Q_CHECK(nrows == 0 || quant_weights != NULL, "quant_weights && \"missing quantization weights\"");
    }
    const iq_params &  P   = iq_params_for(type);
    const iq_grid_view g   = iq_view(grid);
    const int64_t      nb  = n_per_row / QK_K;
    char *             out = (char *) dst;
    for (int64_t row = 0; row < nrows; ++row) {
        const float * x = src + row * n_per_row;
        for (int64_t ibl = 0; ibl < nb; ++ibl) {
            iq_quantize_block(g, P, x + ibl * QK_K, quant_weights ? quant_weights + ibl * QK_K : NULL, out);
            out += P.size;
        }
    }
    return (size_t) nrows * (size_t) nb * P.size;
}

extern "C" {

// ---------------------------------------------------------------------------
// dequantizers

void dequantize_row_iq2_xxs(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq2_xxs * x = (const block_iq2_xxs *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t w0 = iq_u32(&x[i].qs[4 * ib]);
            const uint32_t w1 = iq_u32(&x[i].qs[4 * ib + 2]);
            const float    ds = d * (0.5f + (float) (w1 >> 28)) * 0.25f;
            for (int l = 0; l < 4; ++l) {
                iq_put8(y, ds, iq2_xxs_grid[(w0 >> (8 * l)) & 255], iq2_sign_patterns[(w1 >> (7 * l)) & 127]);
                y += 8;
            }
        }
    }
}

void dequantize_row_iq2_xs(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq2_xs * x = (const block_iq2_xs *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const float ds0 = d * (0.5f + (float) (x[i].scales[ib] & 15)) * 0.25f;
            const float ds1 = d * (0.5f + (float) (x[i].scales[ib] >> 4)) * 0.25f;
            for (int l = 0; l < 4; ++l) {
                const uint16_t q = x[i].qs[4 * ib + l];
                iq_put8(y, l < 2 ? ds0 : ds1, iq2_xs_grid[q & 511], iq2_sign_patterns[q >> 9]);
                y += 8;
            }
        }
    }
}

void dequantize_row_iq2_s(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq2_s * x = (const block_iq2_s *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const float ds0 = d * (0.5f + (float) (x[i].scales[ib] & 15)) * 0.25f;
            const float ds1 = d * (0.5f + (float) (x[i].scales[ib] >> 4)) * 0.25f;
            for (int l = 0; l < 4; ++l) {
                const int idx = x[i].qs[4 * ib + l] | (((x[i].qh[ib] >> (2 * l)) & 3) << 8);
                iq_put8(y, l < 2 ? ds0 : ds1, iq2_s_grid[idx], x[i].qs[QK_K / 8 + 4 * ib + l]);
                y += 8;
            }
        }
    }
}

void dequantize_row_iq3_xxs(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq3_xxs * x = (const block_iq3_xxs *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float     d  = tevo_q_fp32(x[i].d);
        const uint8_t * qs = x[i].qs;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t w  = iq_u32(qs + QK_K / 4 + 4 * ib);
            const float    ds = d * (0.5f + (float) (w >> 28)) * 0.5f;
            for (int l = 0; l < 4; ++l) {
                const uint8_t  pattern = iq2_sign_patterns[(w >> (7 * l)) & 127];
                const uint64_t point   = (uint64_t) iq3_xxs_grid[qs[8 * ib + 2 * l]] |
                                       (uint64_t) iq3_xxs_grid[qs[8 * ib + 2 * l + 1]] << 32;
                iq_put8(y, ds, point, pattern);
                y += 8;
            }
        }
    }
}

void dequantize_row_iq3_s(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq3_s * x = (const block_iq3_s *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const float ds = d * (float) (1 + 2 * ((x[i].scales[ib / 2] >> (4 * (ib % 2))) & 15));
            for (int l = 0; l < 4; ++l) {
                const int idx1 = x[i].qs[8 * ib + 2 * l] | (((x[i].qh[ib] >> (2 * l)) & 1) << 8);
                const int idx2 = x[i].qs[8 * ib + 2 * l + 1] | (((x[i].qh[ib] >> (2 * l + 1)) & 1) << 8);
                const uint64_t point = (uint64_t) iq3_s_grid[idx1] | (uint64_t) iq3_s_grid[idx2] << 32;
                iq_put8(y, ds, point, x[i].signs[4 * ib + l]);
                y += 8;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// quantizers

size_t quantize_iq2_xxs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    return iq_quantize(TEVO_TYPE_IQ2_XXS, src, dst, nrows, n_per_row, qw);
}

size_t quantize_iq2_xs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    return iq_quantize(TEVO_TYPE_IQ2_XS, src, dst, nrows, n_per_row, qw);
}

size_t quantize_iq2_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    return iq_quantize(TEVO_TYPE_IQ2_S, src, dst, nrows, n_per_row, qw);
}

size_t quantize_iq3_xxs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    return iq_quantize(TEVO_TYPE_IQ3_XXS, src, dst, nrows, n_per_row, qw);
}

size_t quantize_iq3_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    return iq_quantize(TEVO_TYPE_IQ3_S, src, dst, nrows, n_per_row, qw);
}

void quantize_row_iq2_s_ref(const float * x, void * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    quantize_iq2_s(x, y, 1, k, NULL);
}

void quantize_row_iq3_xxs_ref(const float * x, void * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    quantize_iq3_xxs(x, y, 1, k, NULL);
}

void quantize_row_iq3_s_ref(const float * x, void * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    quantize_iq3_s(x, y, 1, k, NULL);
}

} // extern "C"
