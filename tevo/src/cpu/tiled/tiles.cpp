#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// The tile routines that do not depend on the weight type: gathering
// activation blocks into a tile, the sign flip of activation rows and the
// matching correction of weight rows that the flipped-activation kernels
// need, and writing a finished result tile into the destination.
//
// The flip exists because the byte multiply-add instruction takes one
// unsigned and one signed operand: when the weights are the signed side,
// the activations a become the unsigned a + 128, and the surplus
// 128 * (sum of the weights) per sub-block is subtracted once per weight
// row instead of once per product.

#include "cpu/tiled/tiled.h"
#include "quants/blocks.h"

#include <immintrin.h>
#include <string.h>

void tiled_gather_src1(const void * const * rows, int32_t n_rows, struct tiled_tile_src1 * tile, int32_t k0,
                       int32_t n_blocks) {
    TEVO_ASSERT(n_rows <= TILED_TILE_ROWS);
    if (n_blocks <= 0 || n_rows <= 0) {
        return;
    }
    const int32_t padded = (n_rows + 15) & ~15;
    for (int32_t b = 0; b < n_blocks; ++b) {
        for (int32_t c = 0; c < padded; ++c) {
            int8_t *  qs = tile->qs + ((size_t) c * (size_t) n_blocks + (size_t) b) * QK_K;
            const int d  = b * 16 + c;
            if (c < n_rows) {
                const block_q8_K * x = (const block_q8_K *) rows[c] + k0 + b;
                for (int i = 0; i < QK_K; i += 32) {
                    _mm256_store_si256((__m256i *) (qs + i), _mm256_loadu_si256((const __m256i *) (x->qs + i)));
                }
                for (int l = 0; l < 16; ++l) {
                    const int idx      = n_blocks == 1 ? l * 256 + c : (b * 16 + l) * 16 + c;
                    tile->bsums[idx]   = x->bsums[l];
                }
                tile->d[d] = x->d;
            } else {
                memset(qs, 0, QK_K);
                for (int l = 0; l < 16; ++l) {
                    const int idx      = n_blocks == 1 ? l * 256 + c : (b * 16 + l) * 16 + c;
                    tile->bsums[idx]   = 0;
                }
                tile->d[d] = 0.0f;
            }
        }
    }
}

void tiled_repack_src1(struct tiled_tile_src1 * tile, int32_t c0, int32_t n_blocks, bool flag) {
    if (!flag || n_blocks <= 0) {
        return;
    }
    const __m256i flip = _mm256_set1_epi8((char) 0x80);
    int8_t *      p    = tile->qs + (size_t) c0 * (size_t) n_blocks * QK_K;
    const size_t  n    = (size_t) 16 * (size_t) n_blocks * QK_K;
    for (size_t i = 0; i < n; i += 32) {
        const __m256i v = _mm256_load_si256((const __m256i *) (p + i));
        _mm256_store_si256((__m256i *) (p + i), _mm256_xor_si256(v, flip));
    }
}

template <int SUB>
void tiled_repack_src0(struct tiled_tile_src0 * tile, int32_t n_rows, int32_t n_blocks, int32_t offset, bool flag) {
    if (!flag || n_blocks <= 0 || n_rows <= 0) {
        return;
    }
    constexpr int NSUB = QK_K / SUB;
    const __m256i zero = _mm256_setzero_si256();
    for (int32_t b = 0; b < n_blocks; ++b) {
        for (int32_t r = 0; r < n_rows; ++r) {
            const size_t    rb = (size_t) r * (size_t) n_blocks + (size_t) b;
            const uint8_t * q  = tile->qs + rb * QK_K;
            const int32_t * sc = tile->scales + rb * NSUB;
            uint32_t        corr = 0; // wraps like the kernels' 32-bit sums
            for (int s = 0; s < QK_K / 32; ++s) {
                // four sums of 8 bytes each
                const __m256i sad = _mm256_sad_epu8(_mm256_load_si256((const __m256i *) (q + 32 * s)), zero);
                const int64_t p0  = _mm256_extract_epi64(sad, 0) + _mm256_extract_epi64(sad, 1);
                const int64_t p1  = _mm256_extract_epi64(sad, 2) + _mm256_extract_epi64(sad, 3);
                if (SUB == 32) {
                    const int32_t S = (int32_t) (p0 + p1) - 32 * offset;
                    corr += (uint32_t) S * (uint32_t) sc[s] * 128u;
                } else {
                    const int32_t S0 = (int32_t) p0 - 16 * offset;
                    const int32_t S1 = (int32_t) p1 - 16 * offset;
                    corr += (uint32_t) S0 * (uint32_t) sc[2 * s] * 128u;
                    corr += (uint32_t) S1 * (uint32_t) sc[2 * s + 1] * 128u;
                }
            }
            tile->mins[rb * NSUB] = (int32_t) corr;
        }
    }
}

template void tiled_repack_src0<16>(struct tiled_tile_src0 *, int32_t, int32_t, int32_t, bool);
template void tiled_repack_src0<32>(struct tiled_tile_src0 *, int32_t, int32_t, int32_t, bool);

// Result tile rows are weight rows, destination rows activation rows: the
// store transposes. Blocks of 8 x 8 go through registers; the edges one by
// one.
static inline void tiled_transpose8(const float * src, float * const * dst8) {
    __m256 r0 = _mm256_loadu_ps(src + 0 * 256), r1 = _mm256_loadu_ps(src + 1 * 256);
    __m256 r2 = _mm256_loadu_ps(src + 2 * 256), r3 = _mm256_loadu_ps(src + 3 * 256);
    __m256 r4 = _mm256_loadu_ps(src + 4 * 256), r5 = _mm256_loadu_ps(src + 5 * 256);
    __m256 r6 = _mm256_loadu_ps(src + 6 * 256), r7 = _mm256_loadu_ps(src + 7 * 256);
    __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
    __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
    __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
    __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    _mm256_storeu_ps(dst8[0], _mm256_permute2f128_ps(s0, s4, 0x20));
    _mm256_storeu_ps(dst8[1], _mm256_permute2f128_ps(s1, s5, 0x20));
    _mm256_storeu_ps(dst8[2], _mm256_permute2f128_ps(s2, s6, 0x20));
    _mm256_storeu_ps(dst8[3], _mm256_permute2f128_ps(s3, s7, 0x20));
    _mm256_storeu_ps(dst8[4], _mm256_permute2f128_ps(s0, s4, 0x31));
    _mm256_storeu_ps(dst8[5], _mm256_permute2f128_ps(s1, s5, 0x31));
    _mm256_storeu_ps(dst8[6], _mm256_permute2f128_ps(s2, s6, 0x31));
    _mm256_storeu_ps(dst8[7], _mm256_permute2f128_ps(s3, s7, 0x31));
}

static void tiled_store(const float * out, int32_t n_rows, int32_t n_cols, float * const * dst_rows) {
    const int32_t rows8 = n_rows & ~7;
    const int32_t cols8 = n_cols & ~7;
    for (int32_t c = 0; c < cols8; c += 8) {
        for (int32_t r = 0; r < rows8; r += 8) {
            float * d8[8];
            for (int k = 0; k < 8; ++k) {
                d8[k] = dst_rows[c + k] + r;
            }
            tiled_transpose8(out + (size_t) r * 256 + c, d8);
        }
        for (int32_t k = 0; k < 8; ++k) {
            for (int32_t r = rows8; r < n_rows; ++r) {
                dst_rows[c + k][r] = out[(size_t) r * 256 + c + k];
            }
        }
    }
    for (int32_t c = cols8; c < n_cols; ++c) {
        for (int32_t r = 0; r < n_rows; ++r) {
            dst_rows[c][r] = out[(size_t) r * 256 + c];
        }
    }
}

void tiled_store_dst(const float * out, int32_t n_rows, int32_t n_cols, float * dst, size_t stride) {
    float * rows[TILED_TILE_ROWS];
    for (int32_t c = 0; c < n_cols; ++c) {
        rows[c] = dst + (size_t) c * stride;
    }
    tiled_store(out, n_rows, n_cols, rows);
}

void tiled_store_dst_rows(const float * out, int32_t n_rows, int32_t n_cols, float * const * dst_rows) {
    tiled_store(out, n_rows, n_cols, dst_rows);
}
