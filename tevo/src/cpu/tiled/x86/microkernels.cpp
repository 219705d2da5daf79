#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// The micro-kernel of the tiled path: 16 weight rows times 16 activation
// rows over one 256-value block, added into the float result tile. One
// template for the seven ways the weight types store values, scales and
// mins:
//   - unsigned weights (offset 0, with mins): weight bytes are the unsigned
//     operand of the byte multiply-add, activations the signed one;
//   - sign transfer (offset 128, no flip): |w| times a with w's sign moved
//     onto it, since both sides are signed;
//   - flipped activations (flag): activations stored as a + 128 are the
//     unsigned side, w the signed one, and the weight tile's correction
//     removes the surplus.
// Pair sums saturate at 16 bits as the instruction does; the unpackers keep
// every type's values small enough that they never do. Each weight row's 32
// bytes are loaded once per step and used for 8 activation rows, whose sums
// are kept in 8 accumulators and written with one 8-wide multiply-add.

#include "cpu/tiled/tiled.h"
#include "quants/blocks.h"

#include <immintrin.h>

// the 8 lanes' sums of 8 accumulators, accumulator k in lane k
static inline __m256i tiled_hsum8(const __m256i * acc) {
    const __m256i h01   = _mm256_hadd_epi32(acc[0], acc[1]);
    const __m256i h23   = _mm256_hadd_epi32(acc[2], acc[3]);
    const __m256i h45   = _mm256_hadd_epi32(acc[4], acc[5]);
    const __m256i h67   = _mm256_hadd_epi32(acc[6], acc[7]);
    const __m256i h0123 = _mm256_hadd_epi32(h01, h23);
    const __m256i h4567 = _mm256_hadd_epi32(h45, h67);
    return _mm256_add_epi32(_mm256_permute2x128_si256(h0123, h4567, 0x20),
                            _mm256_permute2x128_si256(h0123, h4567, 0x31));
}

template <int SUB, bool MINS, int OFFSET, bool FLAG>
void tiled_run_microtile(const struct tiled_tile_src0 * A, const struct tiled_tile_src1 * B, int32_t row0,
                         int32_t col0, int32_t n_blocks, int32_t block, float * out, int32_t ld) {
    constexpr int NSUB = QK_K / SUB;
    const int     b    = n_blocks == 1 ? 0 : block;
    const size_t  nb   = (size_t) n_blocks;

    const __m256i off = _mm256_set1_epi8((char) OFFSET);

    const size_t astride = nb * QK_K; // bytes between activation rows

    for (int i = 0; i < 16; ++i) {
        const int       r   = row0 + i;
        const size_t    rb  = (size_t) r * nb + (size_t) b;
        const uint8_t * wq  = A->qs + rb * QK_K;
        const int32_t * sc  = A->scales + rb * NSUB;
        const __m256    d0  = _mm256_set1_ps(A->d[b * 16 + r]);
        float *         row = out + (size_t) r * (size_t) ld;

        for (int half = 0; half < 2; ++half) {
            const int      c0 = col0 + 8 * half;
            const int8_t * a0 = B->qs + ((size_t) c0 * nb + (size_t) b) * QK_K;

            __m256i acc[8];
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k) {
                acc[k] = _mm256_setzero_si256();
            }

            for (int s = 0; s < 8; ++s) {
                const __m256i w = _mm256_load_si256((const __m256i *) (wq + 32 * s));
                __m256i       scale;
                if (SUB == 32) {
                    scale = _mm256_set1_epi16((int16_t) sc[s]);
                } else {
                    scale = _mm256_setr_m128i(_mm_set1_epi16((int16_t) sc[2 * s]),
                                              _mm_set1_epi16((int16_t) sc[2 * s + 1]));
                }
                // the unsigned and signed operands of this step's weights
                __m256i wu, ws;
                if (FLAG) {
                    ws = OFFSET == 128 ? _mm256_xor_si256(w, off) : _mm256_sub_epi8(w, off);
                    wu = ws;
                } else if (OFFSET == 128) {
                    ws = _mm256_xor_si256(w, off);
                    wu = _mm256_sign_epi8(ws, ws);
                } else {
                    wu = w;
                    ws = w;
                }
                const int8_t * as = a0 + 32 * s;
#pragma GCC unroll 8
                for (int k = 0; k < 8; ++k) {
                    const __m256i a = _mm256_load_si256((const __m256i *) (as + k * astride));
                    __m256i       p;
                    if (FLAG) {
                        p = _mm256_maddubs_epi16(a, ws);
                    } else if (OFFSET == 128) {
                        p = _mm256_maddubs_epi16(wu, _mm256_sign_epi8(a, ws));
                    } else {
                        p = _mm256_maddubs_epi16(wu, a);
                    }
                    acc[k] = _mm256_add_epi32(acc[k], _mm256_madd_epi16(p, scale));
                }
            }

            __m256i isum = tiled_hsum8(acc);
            if (FLAG) {
                isum = _mm256_sub_epi32(isum, _mm256_set1_epi32(A->mins[rb * NSUB]));
            }

            const __m256 d1 = _mm256_load_ps(B->d + b * 16 + c0);
            const __m256 t  = _mm256_mul_ps(d0, _mm256_cvtepi32_ps(isum));
            __m256       u  = t;
            if (MINS) {
                const int32_t * mins   = A->mins + rb * NSUB;
                __m256i         minsum = _mm256_setzero_si256();
#pragma GCC unroll 16
                for (int j = 0; j < NSUB; ++j) {
                    __m256i bs;
                    if (SUB == 16) {
                        bs = _mm256_load_si256(
                            (const __m256i *) (B->bsums + (n_blocks == 1 ? j * 256 + c0 : (b * 16 + j) * 16 + c0)));
                    } else {
                        const int     l0 = 2 * j, l1 = 2 * j + 1;
                        const __m256i s0 = _mm256_load_si256(
                            (const __m256i *) (B->bsums + (n_blocks == 1 ? l0 * 256 + c0 : (b * 16 + l0) * 16 + c0)));
                        const __m256i s1 = _mm256_load_si256(
                            (const __m256i *) (B->bsums + (n_blocks == 1 ? l1 * 256 + c0 : (b * 16 + l1) * 16 + c0)));
                        bs = _mm256_add_epi32(s0, s1);
                    }
                    minsum = _mm256_add_epi32(minsum, _mm256_mullo_epi32(_mm256_set1_epi32(mins[j]), bs));
                }
                const __m256 ndmin = _mm256_set1_ps(-A->dmin[b * 16 + r]);
                u                  = _mm256_fmadd_ps(ndmin, _mm256_cvtepi32_ps(minsum), t);
            }
            _mm256_storeu_ps(row + c0, _mm256_fmadd_ps(u, d1, _mm256_loadu_ps(row + c0)));
        }
    }
}

template void tiled_run_microtile<32, true, 0, false>(const struct tiled_tile_src0 *, const struct tiled_tile_src1 *,
                                                      int32_t, int32_t, int32_t, int32_t, float *, int32_t);
template void tiled_run_microtile<32, false, 128, false>(const struct tiled_tile_src0 *,
                                                         const struct tiled_tile_src1 *, int32_t, int32_t, int32_t,
                                                         int32_t, float *, int32_t);
template void tiled_run_microtile<32, false, 128, true>(const struct tiled_tile_src0 *,
                                                        const struct tiled_tile_src1 *, int32_t, int32_t, int32_t,
                                                        int32_t, float *, int32_t);
template void tiled_run_microtile<16, false, 128, true>(const struct tiled_tile_src0 *,
                                                        const struct tiled_tile_src1 *, int32_t, int32_t, int32_t,
                                                        int32_t, float *, int32_t);
template void tiled_run_microtile<16, false, 32, true>(const struct tiled_tile_src0 *, const struct tiled_tile_src1 *,
                                                       int32_t, int32_t, int32_t, int32_t, float *, int32_t);
template void tiled_run_microtile<16, false, 4, true>(const struct tiled_tile_src0 *, const struct tiled_tile_src1 *,
                                                      int32_t, int32_t, int32_t, int32_t, float *, int32_t);
template void tiled_run_microtile<16, true, 0, false>(const struct tiled_tile_src0 *, const struct tiled_tile_src1 *,
                                                      int32_t, int32_t, int32_t, int32_t, float *, int32_t);
