#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The 1-bit i-quants iq1_s and iq1_m: every value is -1, 0 or +1 plus an
// offset of 1/8 of either sign, times a sub-block scale; groups of 8 levels
// are points of the 2048-point grid that both types share.
//
// With three levels the best split of a sub-block's values is found
// exactly: sorted by value, every pair of boundaries is tried from prefix
// sums. The grid is enforced afterwards, group by group, through the
// neighbour lists of the grid's search state.
//
// Equal values sort by position, so the same row always gives the same
// bytes. A sub-block too small to quantize is written as the all-zero grid
// point, the nearest the format has to zero (its values are 1/8 of the
// smallest sub-block scale).

#include "quants/impl.h"
#include "quants/iquants-tables.h"
#include "quants/iquants.h"

#include <algorithm>
#include <float.h>
#include <stdio.h>

namespace {

// the levels with the offset applied: P for +1/8, M for -1/8
const float iq1_table_p[3] = { -0.875f, 0.125f, 1.125f };
const float iq1_table_m[3] = { -1.125f, -0.125f, 0.875f };

// the packed point of 8 values at level 1 (value 0)
const int iq1_zero_point = 0x5555;

struct iq1_grid {
    const uint64_t * grid; // working form: byte j = 2 * level + 1
    const int32_t *  map;
    const uint16_t * neighbours;
    int              n_points;

    int level(int g, int j) const { return ((int) (uint8_t) (grid[g] >> (8 * j)) - 1) / 2; }
};

float iq1_distance(const iq1_grid & G, int g, const float * x, const float * w, const float * table, float scale) {
    float d2 = 0.0f;
    for (int j = 0; j < 8; ++j) {
        const float d = scale * table[G.level(g, j)] - x[j];
        d2 += w[j] * d * d;
    }
    return d2;
}

// The listed grid point nearest to the 8 values under their weights (the
// first of equals), else the nearest of the whole grid; its levels go to L.
int iq1_find_nearest_grid_point(const iq1_grid & G, const uint16_t * list, const float * x, const float * w,
                                const float * table, int8_t * L, float scale) {
    const int n = list[0];
    TEVO_Q_CHECK(n > 0, "num_neighbors > 0");
    float best = 0.0f;
    int   idx  = -1;
    for (int k = 1; k <= n; ++k) {
        const float d2 = iq1_distance(G, list[k], x, w, table, scale);
        if (idx < 0 ? d2 == d2 : d2 < best) {
            best = d2;
            idx  = list[k];
        }
    }
    for (int g = 0; idx < 0 && g < G.n_points; ++g) {
        const float d2 = iq1_distance(G, g, x, w, table, scale);
        if (d2 == d2) {
            idx = g;
        }
    }
    if (idx < 0) {
        printf("Oops, did not find grid point\n");
        printf("Have %d neighbours\n", n);
        for (int k = 1; k <= n; ++k) {
            float sumqx = 0.0f, sumq2 = 0.0f;
            for (int j = 0; j < 8; ++j) {
                const float q = table[G.level(list[k], j)];
                sumqx += q * w[j] * x[j];
                sumq2 += q * w[j] * q;
            }
            printf("    neighbour %d: sumqx = %g sumq2 = %g\n", k, sumqx, sumq2);
        }
        TEVO_Q_CHECK(false, "grid_index >= 0");
    }
    for (int j = 0; j < 8; ++j) L[j] = (int8_t) G.level(idx, j);
    return idx;
}

// the grid index of a group's levels, moved onto the grid when off it
int iq1_group_index(const iq1_grid & G, const float * x, const float * w, const float * table, int8_t * L,
                    float scale, bool * off) {
    int u = 0;
    for (int j = 0; j < 8; ++j) u |= L[j] << (2 * j);
    const int32_t entry = G.map[u];
    if (entry >= 0) {
        return entry;
    }
    *off = true;
    return iq1_find_nearest_grid_point(G, G.neighbours - entry - 1, x, w, table, L, scale);
}

int iq1_zero_index(const iq1_grid & G) {
    const int32_t entry = G.map[iq1_zero_point];
    return entry >= 0 ? entry : G.neighbours[-entry]; // the first listed neighbour
}

// (value, position) pairs ascending by value, equal values by position
struct iq1_pair {
    float v;
    int   i;
};

void iq1_sort(const float * x, int n, iq1_pair * p) {
    for (int i = 0; i < n; ++i) p[i] = { x[i], i };
    std::sort(p, p + n, [](const iq1_pair & a, const iq1_pair & b) { return a.v < b.v || (a.v == b.v && a.i < b.i); });
}

void iq1_weights(const float * x, const float * qw, float * w) {
    float sumx2 = 0.0f;
    for (int i = 0; i < QK_K; ++i) sumx2 += x[i] * x[i];
    const float sigma2 = 2.0f * sumx2 / (float) QK_K;
    for (int i = 0; i < QK_K; ++i) {
        w[i] = qw ? qw[i] * sqrtf(sigma2 + x[i] * x[i]) : x[i] * x[i];
    }
}

float iq1_max_abs(const float * x, int n) {
    float max = 0.0f;
    for (int i = 0; i < n; ++i) max = TEVO_MAX(max, fabsf(x[i]));
    return max;
}

inline int iq1_scale_field(float id, float scale) {
    return TEVO_MAX(0, TEVO_MIN(7, tevo_q_nearest_int(0.5f * (id * scale - 1.0f))));
}

// ---------------------------------------------------------------------------
// iq1_s: eight sub-blocks of 32 values, one offset sign each

void iq1_s_block(const iq1_grid & G, const float * x, const float * qw, block_iq1_s * y) {
    memset(y, 0, sizeof(*y));
    if (!tevo_q_in_range(x, QK_K)) {
        y->d = TEVO_Q_FP16_INF;
        return;
    }
    float w[QK_K];
    iq1_weights(x, qw, w);

    float scales[QK_K / 32];
    bool  negative[QK_K / 32];
    float smax = 0.0f;
    for (int ib = 0; ib < QK_K / 32; ++ib) {
        const float * xb = x + 32 * ib;
        const float * wb = w + 32 * ib;
        scales[ib]       = 0.0f;
        negative[ib]     = false;

        bool have = iq1_max_abs(xb, 32) >= 1e-12f;
        int  i1 = 0, i2 = 0;
        bool neg   = false;
        float scale = 0.0f;
        iq1_pair srt[32];
        if (have) {
            iq1_sort(xb, 32, srt);
            float S[33], W[33];
            S[0] = W[0] = 0.0f;
            for (int j = 0; j < 32; ++j) {
                S[j + 1] = S[j] + wb[srt[j].i] * srt[j].v;
                W[j + 1] = W[j] + wb[srt[j].i];
            }
            float best = -FLT_MAX;
            have       = false;
            for (int a = 0; a <= 32; ++a) {
                for (int b = a; b <= 32; ++b) {
                    for (int m = 0; m < 2; ++m) {
                        const float * t     = m ? iq1_table_m : iq1_table_p;
                        const float   sumqx = S[a] * t[0] + (S[b] - S[a]) * t[1] + (S[32] - S[b]) * t[2];
                        const float   sumq2 =
                            W[a] * t[0] * t[0] + (W[b] - W[a]) * t[1] * t[1] + (W[32] - W[b]) * t[2] * t[2];
                        if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
                            scale = sumqx / sumq2;
                            best  = scale * sumqx;
                            i1    = a;
                            i2    = b;
                            neg   = m == 1;
                            have  = true;
                        }
                    }
                }
            }
        }
        if (!have) {
            const int z = iq1_zero_index(G);
            for (int k = 0; k < 4; ++k) {
                y->qs[4 * ib + k] = (uint8_t) (z & 255);
                y->qh[ib] |= (uint16_t) ((z >> 8) << (3 * k));
            }
            continue;
        }

        int8_t L[32];
        for (int j = 0; j < 32; ++j) L[srt[j].i] = (int8_t) (j < i1 ? 0 : (j < i2 ? 1 : 2));
        if (scale < 0.0f) {
            for (int j = 0; j < 32; ++j) L[j] = (int8_t) (2 - L[j]);
            scale = -scale;
            neg   = !neg;
        }
        const float * table = neg ? iq1_table_m : iq1_table_p;

        int  index[4];
        bool off = false;
        for (int k = 0; k < 4; ++k) {
            index[k] = iq1_group_index(G, xb + 8 * k, wb + 8 * k, table, L + 8 * k, scale, &off);
        }
        if (off) {
            float sumqx = 0.0f, sumq2 = 0.0f;
            for (int j = 0; j < 32; ++j) {
                const float q = table[L[j]];
                sumqx += wb[j] * q * xb[j];
                sumq2 += wb[j] * q * q;
            }
            if (sumqx > 0.0f && sumq2 > 0.0f) {
                scale = sumqx / sumq2;
            }
        }
        for (int k = 0; k < 4; ++k) {
            y->qs[4 * ib + k] = (uint8_t) (index[k] & 255);
            y->qh[ib] |= (uint16_t) ((index[k] >> 8) << (3 * k));
        }
        TEVO_Q_CHECK(scale >= 0.0f, "scale >= 0");
        scales[ib]   = scale;
        negative[ib] = neg;
        smax         = TEVO_MAX(smax, scale);
    }

    if (smax == 0.0f) {
        memset(y, 0, sizeof(*y));
        return;
    }
    const float d  = smax / 15.0f;
    const float id = 1.0f / d;
    y->d           = tevo_q_fp16(d * 1.125f);
    for (int ib = 0; ib < QK_K / 32; ++ib) {
        const int l = iq1_scale_field(id, scales[ib]) | (negative[ib] ? 8 : 0);
        y->qh[ib] |= (uint16_t) (l << 12);
    }
}

// ---------------------------------------------------------------------------
// iq1_m: sixteen sub-blocks of 16 values, an offset sign per group of 8

void iq1_m_block(const iq1_grid & G, const float * x, const float * qw, block_iq1_m * y) {
    memset(y, 0, sizeof(*y));
    uint16_t sc[4] = { 0, 0, 0, 0 };
    if (!tevo_q_in_range(x, QK_K)) {
        // the half infinity 0x7c00 in the top nibbles
        sc[2] = 0xc000;
        sc[3] = 0x7000;
        memcpy(y->scales, sc, sizeof(sc));
        return;
    }
    float w[QK_K];
    iq1_weights(x, qw, w);

    // combination k: the offset signs of (first group, second group),
    // 0 (+, +), 1 (+, -), 2 (-, +), 3 (-, -)
    float scales[QK_K / 16];
    int   comb[QK_K / 16];
    float smax = 0.0f;
    for (int ib = 0; ib < QK_K / 16; ++ib) {
        const float * xb = x + 16 * ib;
        const float * wb = w + 16 * ib;
        scales[ib]       = 0.0f;
        comb[ib]         = 0;

        bool     have  = iq1_max_abs(xb, 16) >= 1e-7f;
        int      i1 = 0, i2 = 0, k_best = 0;
        float    scale = 0.0f;
        iq1_pair srt[16];
        if (have) {
            iq1_sort(xb, 16, srt);
            // prefix sums per group over the sorted order
            float S[2][17], W[2][17];
            S[0][0] = S[1][0] = W[0][0] = W[1][0] = 0.0f;
            for (int j = 0; j < 16; ++j) {
                const int g = srt[j].i / 8;
                for (int h = 0; h < 2; ++h) {
                    S[h][j + 1] = S[h][j] + (h == g ? wb[srt[j].i] * srt[j].v : 0.0f);
                    W[h][j + 1] = W[h][j] + (h == g ? wb[srt[j].i] : 0.0f);
                }
            }
            float best = -FLT_MAX;
            have       = false;
            for (int a = 0; a <= 16; ++a) {
                for (int b = a; b <= 16; ++b) {
                    for (int k = 0; k < 4; ++k) {
                        float sumqx = 0.0f, sumq2 = 0.0f;
                        for (int h = 0; h < 2; ++h) {
                            const bool    neg = h == 0 ? k >= 2 : (k & 1) != 0;
                            const float * t   = neg ? iq1_table_m : iq1_table_p;
                            sumqx += S[h][a] * t[0] + (S[h][b] - S[h][a]) * t[1] + (S[h][16] - S[h][b]) * t[2];
                            sumq2 += W[h][a] * t[0] * t[0] + (W[h][b] - W[h][a]) * t[1] * t[1] +
                                     (W[h][16] - W[h][b]) * t[2] * t[2];
                        }
                        if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
                            scale  = sumqx / sumq2;
                            best   = scale * sumqx;
                            i1     = a;
                            i2     = b;
                            k_best = k;
                            have   = true;
                        }
                    }
                }
            }
        }
        if (!have) {
            const int z       = iq1_zero_index(G);
            y->qs[2 * ib]     = (uint8_t) (z & 255);
            y->qs[2 * ib + 1] = (uint8_t) (z & 255);
            y->qh[ib]         = (uint8_t) ((z >> 8) | ((z >> 8) << 4));
            continue;
        }

        int8_t L[16];
        for (int j = 0; j < 16; ++j) L[srt[j].i] = (int8_t) (j < i1 ? 0 : (j < i2 ? 1 : 2));
        if (scale < 0.0f) {
            for (int j = 0; j < 16; ++j) L[j] = (int8_t) (2 - L[j]);
            scale  = -scale;
            k_best = 3 - k_best;
        }
        const float * tables[2] = { k_best >= 2 ? iq1_table_m : iq1_table_p, (k_best & 1) ? iq1_table_m : iq1_table_p };

        int  index[2];
        bool off = false;
        for (int h = 0; h < 2; ++h) {
            index[h] = iq1_group_index(G, xb + 8 * h, wb + 8 * h, tables[h], L + 8 * h, scale, &off);
        }
        if (off) {
            float sumqx = 0.0f, sumq2 = 0.0f;
            for (int j = 0; j < 16; ++j) {
                const float q = tables[j / 8][L[j]];
                sumqx += wb[j] * q * xb[j];
                sumq2 += wb[j] * q * q;
            }
            if (sumqx > 0.0f && sumq2 > 0.0f) {
                scale = sumqx / sumq2;
            }
        }
        y->qs[2 * ib]     = (uint8_t) (index[0] & 255);
        y->qs[2 * ib + 1] = (uint8_t) (index[1] & 255);
        y->qh[ib]         = (uint8_t) ((index[0] >> 8) | ((index[1] >> 8) << 4));
        TEVO_Q_CHECK(scale >= 0.0f, "scale >= 0");
        scales[ib] = scale;
        comb[ib]   = k_best;
        smax       = TEVO_MAX(smax, scale);
    }

    if (smax == 0.0f) {
        memset(y, 0, sizeof(*y));
        return;
    }
    const float   d              = smax / 15.0f;
    const float   id             = 1.0f / d;
    const uint8_t sign_bits[4]   = { 0x00, 0x80, 0x08, 0x88 };
    int           fields[QK_K / 16];
    for (int ib = 0; ib < QK_K / 16; ++ib) {
        fields[ib] = iq1_scale_field(id, scales[ib]);
        sc[ib / 4] |= (uint16_t) (fields[ib] << (3 * (ib % 4)));
        y->qh[ib] |= sign_bits[comb[ib]];
    }

    // the block scale refitted to the stored levels and sub-block fields
    float sumqx = 0.0f, sumq2 = 0.0f;
    for (int ib = 0; ib < QK_K / 16; ++ib) {
        for (int h = 0; h < 2; ++h) {
            const int     idx   = y->qs[2 * ib + h] | (((y->qh[ib] >> (4 * h)) & 7) << 8);
            const bool    neg   = (y->qh[ib] >> (4 * h + 3)) & 1;
            const float * table = neg ? iq1_table_m : iq1_table_p;
            for (int j = 0; j < 8; ++j) {
                const int   i = 16 * ib + 8 * h + j;
                const float q = table[G.level(idx, j)] * (float) (2 * fields[ib] + 1);
                sumqx += w[i] * q * x[i];
                sumq2 += w[i] * q * q;
            }
        }
    }
    const float       dr = sumq2 > 0.0f ? sumqx / sumq2 : d;
    const tevo_fp16_t h  = tevo_q_fp16(dr * 1.1125f);
    sc[0] |= (uint16_t) ((h & 0x000f) << 12);
    sc[1] |= (uint16_t) ((h & 0x00f0) << 8);
    sc[2] |= (uint16_t) ((h & 0x0f00) << 4);
    sc[3] |= (uint16_t) (h & 0xf000);
    memcpy(y->scales, sc, sizeof(sc));
}

} // namespace

size_t tevo_iq1_quantize_rows(enum tevo_type type, const tevo_iq_grid_reader & grid, const float * src, void * dst,
                              int64_t nrows, int64_t n_per_row, const float * quant_weights) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    if (type == TEVO_TYPE_IQ1_S) {
        TEVO_Q_CHECK(nrows == 0 || quant_weights != NULL, "quant_weights && \"missing quantization weights\"");
    }
    const iq1_grid G    = { grid.grid8, grid.map, grid.neighbours, grid.n_points };
    const int64_t  nb   = n_per_row / QK_K;
    const size_t   size = type == TEVO_TYPE_IQ1_S ? sizeof(block_iq1_s) : sizeof(block_iq1_m);
    char *         out  = (char *) dst;
    for (int64_t row = 0; row < nrows; ++row) {
        const float * x = src + row * n_per_row;
        for (int64_t ibl = 0; ibl < nb; ++ibl) {
            const float * qw = quant_weights ? quant_weights + ibl * QK_K : NULL;
            if (type == TEVO_TYPE_IQ1_S) {
                iq1_s_block(G, x + ibl * QK_K, qw, (block_iq1_s *) out);
            } else {
                iq1_m_block(G, x + ibl * QK_K, qw, (block_iq1_m *) out);
            }
            out += size;
        }
    }
    return (size_t) nrows * (size_t) nb * size;
}

extern "C" {

void dequantize_row_iq1_s(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq1_s * x = (const block_iq1_s *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t h     = x[i].qh[ib];
            const float    ds    = d * (float) (2 * ((h >> 12) & 7) + 1);
            const float    delta = (h & 0x8000) ? -0.125f : 0.125f;
            for (int l = 0; l < 4; ++l) {
                const uint64_t point = iq1_s_grid[x[i].qs[4 * ib + l] | (((h >> (3 * l)) & 7) << 8)];
                for (int j = 0; j < 8; ++j) {
                    y[j] = ds * ((float) (int8_t) (point >> (8 * j)) + delta);
                }
                y += 8;
            }
        }
    }
}

void dequantize_row_iq1_m(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq1_m * x = (const block_iq1_m *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        uint16_t sc[4];
        memcpy(sc, x[i].scales, sizeof(sc));
        const tevo_fp16_t hd = (tevo_fp16_t) ((sc[0] >> 12) | ((sc[1] >> 8) & 0x00f0) | ((sc[2] >> 4) & 0x0f00) |
                                              (sc[3] & 0xf000));
        const float d = tevo_q_fp32(hd);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t w     = sc[ib / 2];
            const int      shift = 6 * (ib % 2);
            const float    ds[2] = { d * (float) (2 * ((w >> shift) & 7) + 1),
                                     d * (float) (2 * ((w >> (shift + 3)) & 7) + 1) };
            for (int l = 0; l < 4; ++l) {
                const uint8_t  q     = x[i].qh[2 * ib + l / 2];
                const int      hi    = (q >> (4 * (l % 2))) & 15;
                const uint64_t point = iq1_s_grid[x[i].qs[4 * ib + l] | ((hi & 7) << 8)];
                const float    delta = (hi & 8) ? -0.125f : 0.125f;
                for (int j = 0; j < 8; ++j) {
                    y[j] = ds[l / 2] * ((float) (int8_t) (point >> (8 * j)) + delta);
                }
                y += 8;
            }
        }
    }
}

size_t quantize_iq1_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    if (nrows == 0) {
        return 0;
    }
    TEVO_Q_CHECK(qw != NULL, "quant_weights && \"missing quantization weights\"");
    const tevo_iq_grid_reader grid(TEVO_TYPE_IQ1_S);
    return tevo_iq1_quantize_rows(TEVO_TYPE_IQ1_S, grid, src, dst, nrows, n_per_row, qw);
}

size_t quantize_iq1_m(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    if (nrows == 0) {
        return 0;
    }
    const tevo_iq_grid_reader grid(TEVO_TYPE_IQ1_M);
    return tevo_iq1_quantize_rows(TEVO_TYPE_IQ1_M, grid, src, dst, nrows, n_per_row, qw);
}

} // extern "C"
