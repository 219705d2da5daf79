#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// Weight blocks into a weight tile, one routine per quantized type: every
// value becomes one byte (its signed integer value plus the type's offset),
// every block a float scale (and min scale), every sub-block an integer
// scale (and min), so that
//     w = d * scale * (byte - offset) - dmin * min
// is the value the type's dequantizer gives. The i-quants' odd sub-block
// scales 2s + 1 carry the formats' half steps, and their grid magnitudes come
// from the same tables the dequantizers and dot products read.
//
// The types the benchmarks and speech models use most (q4_K, q6_K, iq4_xs)
// expand 32 values at a time in vector registers; the others value by value.

#include "cpu/tiled/tiled.h"
#include "cpu/vec/tables.h"
#include "quants/blocks.h"
#include "quants/iquants-tables.h"

#include <immintrin.h>
#include <string.h>

namespace {

// one block's share of the tile
struct tiled_dst {
    uint8_t * qs;     // 256 value bytes
    float *   d;
    float *   dmin;
    int32_t * scales; // NSUB entries
    int32_t * mins;
};

inline float tiled_fp16(tevo_fp16_t h) {
    return tevo_cpu_fp16_lookup(h);
}

inline uint32_t tiled_u32(const void * p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// The common frame: block b (outer) of row r (inner) goes to the indices of
// the tile arrangement.
template <typename BLOCK, int NSUB, typename F>
inline void tiled_unpack(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                         uint64_t n_blocks, F one) {
    TEVO_ASSERT(n_rows <= TILED_TILE_ROWS);
    if (n_rows < 1) {
        return;
    }
    const BLOCK * x = (const BLOCK *) src;
    for (uint64_t b = 0; b < n_blocks; ++b) {
        for (int32_t r = 0; r < n_rows; ++r) {
            const uint64_t rb = (uint64_t) r * n_blocks + b;
            tiled_dst      t  = { tile->qs + rb * QK_K, &tile->d[b * 16 + (uint64_t) r], &tile->dmin[b * 16 + (uint64_t) r],
                                  tile->scales + rb * NSUB, tile->mins + rb * NSUB };
            one(x[(uint64_t) r * row_stride + b], t);
        }
    }
}

// 8 grid magnitudes with the sign bits of `signs` applied, plus 128
inline void tiled_put8_signed(uint8_t * q, uint64_t grid, uint8_t signs) {
    for (int m = 0; m < 8; ++m) {
        const int mag = (int) ((grid >> (8 * m)) & 0xff);
        q[m]          = (uint8_t) (((signs >> m) & 1 ? -mag : mag) + 128);
    }
}

// the eight 6-bit scales and mins of q4_K and q5_K
inline void tiled_scales_q4_K(const uint8_t * sc, int32_t * scales, int32_t * mins) {
    for (int j = 0; j < 4; ++j) {
        scales[j] = sc[j] & 63;
        mins[j]   = sc[j + 4] & 63;
    }
    for (int j = 4; j < 8; ++j) {
        scales[j] = (sc[j + 4] & 15) | ((sc[j - 4] >> 6) << 4);
        mins[j]   = (sc[j + 4] >> 4) | ((sc[j] >> 6) << 4);
    }
}

// q4_K's nibbles: byte 32g + t holds value 64g + t low and 64g + 32 + t high
inline void tiled_nibbles_q4_K(const uint8_t * qs, uint8_t * q) {
    const __m256i m4 = _mm256_set1_epi8(15);
    for (int g = 0; g < 4; ++g) {
        const __m256i v = _mm256_loadu_si256((const __m256i *) (qs + 32 * g));
        _mm256_store_si256((__m256i *) (q + 64 * g), _mm256_and_si256(v, m4));
        _mm256_store_si256((__m256i *) (q + 64 * g + 32), _mm256_and_si256(_mm256_srli_epi16(v, 4), m4));
    }
}

} // namespace

void tiled_unpack_src0_q2_K(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                            uint64_t n_blocks) {
    tiled_unpack<block_q2_K, 16>(src, row_stride, n_rows, tile, n_blocks, [](const block_q2_K & x, tiled_dst t) {
        *t.d    = tiled_fp16(x.d);
        *t.dmin = tiled_fp16(x.dmin);
        for (int j = 0; j < 16; ++j) {
            t.scales[j] = x.scales[j] & 15;
            t.mins[j]   = x.scales[j] >> 4;
        }
        const __m256i m3 = _mm256_set1_epi8(3);
        for (int h = 0; h < 2; ++h) {
            const __m256i v = _mm256_loadu_si256((const __m256i *) (x.qs + 32 * h));
            for (int s = 0; s < 4; ++s) {
                _mm256_store_si256((__m256i *) (t.qs + 128 * h + 32 * s),
                                   _mm256_and_si256(_mm256_srli_epi16(v, 2 * s), m3));
            }
        }
    });
}

void tiled_unpack_src0_q3_K(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                            uint64_t n_blocks) {
    tiled_unpack<block_q3_K, 16>(src, row_stride, n_rows, tile, n_blocks, [](const block_q3_K & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d);
        for (int j = 0; j < 16; ++j) {
            const int lo = j < 8 ? (x.scales[j] & 15) : (x.scales[j - 8] >> 4);
            const int hi = (x.scales[8 + j % 4] >> (2 * (j / 4))) & 3;
            t.scales[j]  = (lo | (hi << 4)) - 32;
        }
        const __m256i m3    = _mm256_set1_epi8(3);
        const __m256i one   = _mm256_set1_epi8(1);
        const __m256i hmask = _mm256_loadu_si256((const __m256i *) x.hmask);
        for (int h = 0; h < 2; ++h) {
            const __m256i v = _mm256_loadu_si256((const __m256i *) (x.qs + 32 * h));
            for (int s = 0; s < 4; ++s) {
                const __m256i low  = _mm256_and_si256(_mm256_srli_epi16(v, 2 * s), m3);
                const __m256i high = _mm256_and_si256(_mm256_srli_epi16(hmask, 4 * h + s), one);
                _mm256_store_si256((__m256i *) (t.qs + 128 * h + 32 * s),
                                   _mm256_or_si256(low, _mm256_slli_epi16(high, 2)));
            }
        }
    });
}

void tiled_unpack_src0_q4_K(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                            uint64_t n_blocks) {
    tiled_unpack<block_q4_K, 8>(src, row_stride, n_rows, tile, n_blocks, [](const block_q4_K & x, tiled_dst t) {
        *t.d    = tiled_fp16(x.d);
        *t.dmin = tiled_fp16(x.dmin);
        tiled_scales_q4_K(x.scales, t.scales, t.mins);
        tiled_nibbles_q4_K(x.qs, t.qs);
    });
}

void tiled_unpack_src0_q5_K(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                            uint64_t n_blocks) {
    tiled_unpack<block_q5_K, 8>(src, row_stride, n_rows, tile, n_blocks, [](const block_q5_K & x, tiled_dst t) {
        *t.d    = tiled_fp16(x.d);
        *t.dmin = tiled_fp16(x.dmin);
        tiled_scales_q4_K(x.scales, t.scales, t.mins);
        tiled_nibbles_q4_K(x.qs, t.qs);
        const __m256i one = _mm256_set1_epi8(1);
        const __m256i qh  = _mm256_loadu_si256((const __m256i *) x.qh);
        for (int j = 0; j < 8; ++j) {
            const __m256i bit = _mm256_and_si256(_mm256_srli_epi16(qh, j), one);
            const __m256i q   = _mm256_load_si256((const __m256i *) (t.qs + 32 * j));
            _mm256_store_si256((__m256i *) (t.qs + 32 * j), _mm256_or_si256(q, _mm256_slli_epi16(bit, 4)));
        }
    });
}

void tiled_unpack_src0_q6_K(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                            uint64_t n_blocks) {
    tiled_unpack<block_q6_K, 16>(src, row_stride, n_rows, tile, n_blocks, [](const block_q6_K & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d);
        for (int j = 0; j < 16; ++j) {
            t.scales[j] = x.scales[j];
        }
        const __m256i m4 = _mm256_set1_epi8(15);
        const __m256i m3 = _mm256_set1_epi8(3);
        for (int h = 0; h < 2; ++h) {
            const __m256i ql0 = _mm256_loadu_si256((const __m256i *) (x.ql + 64 * h));
            const __m256i ql1 = _mm256_loadu_si256((const __m256i *) (x.ql + 64 * h + 32));
            const __m256i qh  = _mm256_loadu_si256((const __m256i *) (x.qh + 32 * h));
            const __m256i low[4] = { _mm256_and_si256(ql0, m4), _mm256_and_si256(ql1, m4),
                                     _mm256_and_si256(_mm256_srli_epi16(ql0, 4), m4),
                                     _mm256_and_si256(_mm256_srli_epi16(ql1, 4), m4) };
            for (int s = 0; s < 4; ++s) {
                const __m256i high = _mm256_and_si256(_mm256_srli_epi16(qh, 2 * s), m3);
                _mm256_store_si256((__m256i *) (t.qs + 128 * h + 32 * s),
                                   _mm256_or_si256(low[s], _mm256_slli_epi16(high, 4)));
            }
        }
    });
}

void tiled_unpack_src0_iq2_xxs(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                               uint64_t n_blocks) {
    tiled_unpack<block_iq2_xxs, 8>(src, row_stride, n_rows, tile, n_blocks,
                                   [](const block_iq2_xxs & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d) * 0.125f;
        const uint8_t * qs = (const uint8_t *) x.qs;
        for (int j = 0; j < 8; ++j) {
            const uint32_t a = tiled_u32(qs + 8 * j + 4);
            t.scales[j]      = 2 * (int32_t) (a >> 28) + 1;
            for (int k = 0; k < 4; ++k) {
                tiled_put8_signed(t.qs + 32 * j + 8 * k, iq2_xxs_grid[qs[8 * j + k]],
                                  iq2_sign_patterns[(a >> (7 * k)) & 127]);
            }
        }
    });
}

void tiled_unpack_src0_iq2_xs(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                              uint64_t n_blocks) {
    tiled_unpack<block_iq2_xs, 16>(src, row_stride, n_rows, tile, n_blocks,
                                   [](const block_iq2_xs & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d) * 0.125f;
        for (int j = 0; j < 8; ++j) {
            t.scales[2 * j]     = 2 * (x.scales[j] & 15) + 1;
            t.scales[2 * j + 1] = 2 * (x.scales[j] >> 4) + 1;
            for (int k = 0; k < 4; ++k) {
                const uint16_t w = x.qs[4 * j + k];
                tiled_put8_signed(t.qs + 32 * j + 8 * k, iq2_xs_grid[w & 511], iq2_sign_patterns[w >> 9]);
            }
        }
    });
}

void tiled_unpack_src0_iq3_xxs(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                               uint64_t n_blocks) {
    tiled_unpack<block_iq3_xxs, 8>(src, row_stride, n_rows, tile, n_blocks,
                                   [](const block_iq3_xxs & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d) * 0.25f;
        for (int j = 0; j < 8; ++j) {
            const uint32_t a = tiled_u32(x.qs + 64 + 4 * j);
            t.scales[j]      = 2 * (int32_t) (a >> 28) + 1;
            for (int k = 0; k < 4; ++k) {
                const uint64_t grid = (uint64_t) iq3_xxs_grid[x.qs[8 * j + 2 * k]] |
                                      (uint64_t) iq3_xxs_grid[x.qs[8 * j + 2 * k + 1]] << 32;
                tiled_put8_signed(t.qs + 32 * j + 8 * k, grid, iq2_sign_patterns[(a >> (7 * k)) & 127]);
            }
        }
    });
}

// iq1_s and iq1_m: grid values g in {-1, 0, 1} with the offset of one
// eighth: 8g - 1 (sign bit set) or 8g + 1, plus 128
static inline void tiled_put8_iq1(uint8_t * q, uint64_t grid, bool minus) {
    const int base = minus ? 127 : 129;
    for (int m = 0; m < 8; ++m) {
        q[m] = (uint8_t) (8 * (int) (int8_t) (grid >> (8 * m)) + base);
    }
}

void tiled_unpack_src0_iq1_s(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                             uint64_t n_blocks) {
    tiled_unpack<block_iq1_s, 8>(src, row_stride, n_rows, tile, n_blocks, [](const block_iq1_s & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d) * 0.125f;
        for (int j = 0; j < 8; ++j) {
            const uint16_t h = x.qh[j];
            t.scales[j]      = 2 * ((h >> 12) & 7) + 1;
            for (int k = 0; k < 4; ++k) {
                tiled_put8_iq1(t.qs + 32 * j + 8 * k, iq1_s_grid[x.qs[4 * j + k] | (((h >> (3 * k)) & 7) << 8)],
                               (h & 0x8000) != 0);
            }
        }
    });
}

void tiled_unpack_src0_iq3_s(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                             uint64_t n_blocks) {
    tiled_unpack<block_iq3_s, 8>(src, row_stride, n_rows, tile, n_blocks, [](const block_iq3_s & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d);
        for (int m = 0; m < 4; ++m) {
            t.scales[2 * m]     = 2 * (x.scales[m] & 15) + 1;
            t.scales[2 * m + 1] = 2 * (x.scales[m] >> 4) + 1;
        }
        for (int g = 0; g < 64; g += 2) {
            const int      i0   = x.qs[g] | (((x.qh[g / 8] >> (g % 8)) & 1) << 8);
            const int      i1   = x.qs[g + 1] | (((x.qh[(g + 1) / 8] >> ((g + 1) % 8)) & 1) << 8);
            const uint64_t grid = (uint64_t) iq3_s_grid[i0] | (uint64_t) iq3_s_grid[i1] << 32;
            tiled_put8_signed(t.qs + 4 * g, grid, x.signs[g / 2]);
        }
    });
}

void tiled_unpack_src0_iq2_s(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                             uint64_t n_blocks) {
    tiled_unpack<block_iq2_s, 16>(src, row_stride, n_rows, tile, n_blocks, [](const block_iq2_s & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d) * 0.125f;
        for (int j = 0; j < 8; ++j) {
            t.scales[2 * j]     = 2 * (x.scales[j] & 15) + 1;
            t.scales[2 * j + 1] = 2 * (x.scales[j] >> 4) + 1;
            for (int k = 0; k < 4; ++k) {
                const int idx = x.qs[4 * j + k] | (((x.qh[j] >> (2 * k)) & 3) << 8);
                tiled_put8_signed(t.qs + 32 * j + 8 * k, iq2_s_grid[idx], x.qs[QK_K / 8 + 4 * j + k]);
            }
        }
    });
}

void tiled_unpack_src0_iq4_xs(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                              uint64_t n_blocks) {
    tiled_unpack<block_iq4_xs, 8>(src, row_stride, n_rows, tile, n_blocks, [](const block_iq4_xs & x, tiled_dst t) {
        *t.d = tiled_fp16(x.d);
        for (int j = 0; j < 8; ++j) {
            t.scales[j] = (((x.scales_l[j / 2] >> (4 * (j % 2))) & 15) | (((x.scales_h >> (2 * j)) & 3) << 4)) - 32;
        }
        // the 16 levels plus 128, looked up 32 nibbles at a time
        uint8_t levels[16];
        for (int i = 0; i < 16; ++i) {
            levels[i] = (uint8_t) (iq4_nl_values[i] + 128);
        }
        const __m128i lut = _mm_loadu_si128((const __m128i *) levels);
        const __m256i tab = _mm256_setr_m128i(lut, lut);
        const __m256i m4  = _mm256_set1_epi8(15);
        for (int j = 0; j < 8; j += 2) {
            // 16 bytes of sub-block j, then 16 of sub-block j + 1
            const __m256i v  = _mm256_loadu_si256((const __m256i *) (x.qs + 16 * j));
            const __m256i lo = _mm256_shuffle_epi8(tab, _mm256_and_si256(v, m4));
            const __m256i hi = _mm256_shuffle_epi8(tab, _mm256_and_si256(_mm256_srli_epi16(v, 4), m4));
            // sub-block j: lo[0..15], hi[0..15]; sub-block j + 1: lo[16..31], hi[16..31]
            _mm256_store_si256((__m256i *) (t.qs + 32 * j), _mm256_permute2x128_si256(lo, hi, 0x20));
            _mm256_store_si256((__m256i *) (t.qs + 32 * j + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
        }
    });
}

void tiled_unpack_src0_iq1_m(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                             uint64_t n_blocks) {
    tiled_unpack<block_iq1_m, 16>(src, row_stride, n_rows, tile, n_blocks, [](const block_iq1_m & x, tiled_dst t) {
        uint16_t sc[4];
        memcpy(sc, x.scales, sizeof(sc));
        const tevo_fp16_t hd = (tevo_fp16_t) ((sc[0] >> 12) | ((sc[1] >> 12) << 4) | ((sc[2] >> 12) << 8) |
                                              ((sc[3] >> 12) << 12));
        *t.d = tiled_fp16(hd) * 0.125f;
        for (int j = 0; j < 8; ++j) {
            const uint16_t w    = sc[j / 2];
            const int      sh   = 6 * (j % 2);
            t.scales[2 * j]     = 2 * ((w >> sh) & 7) + 1;
            t.scales[2 * j + 1] = 2 * ((w >> (sh + 3)) & 7) + 1;
            for (int k = 0; k < 4; ++k) {
                const int f = x.qh[2 * j + k / 2] >> (4 * (k % 2));
                tiled_put8_iq1(t.qs + 32 * j + 8 * k, iq1_s_grid[x.qs[4 * j + k] | ((f & 7) << 8)], (f & 8) != 0);
            }
        }
    });
}
