#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// AVX2 kernels of the q4_K and q2_K 8x8 layouts with q8_K activations.
//
// The quantized bytes of a step are decoded into vectors whose 32-bit lanes
// hold four values of one column, columns in the lane order 0 4 1 5 2 6 3 7
// (as in the 4-bit kernels); the weights are unsigned, so they multiply the
// activation bytes directly. The products of one sub-block are added in
// 16 bits (at most 16 x 15 x 127 for q4_K), times the sub-block's scale into
// 32 bits, and summed over the sub-blocks of a step; the minimums meet the
// activations' 16-value sums in column order. Each step ends in two fused
// multiply-adds per column: acc = fma(d_a * d_w, float(sumi), acc) and
// macc = fma(d_a * dmin_w, float(summ), macc); the result is acc - macc. A
// step is a whole block in the GEMV, a 64-value part (q4_K) or a 128-value
// half (q2_K) in the GEMM. The q4_K GEMV skips the lane reordering (one
// row cannot pay for it) and takes the bytes as they lie; see there.

#include "cpu/repack/repack.h"

#include <immintrin.h>
#include <string.h>

namespace {

inline __m256i lane_order() {
    return _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
}
inline __m256i column_order() {
    return _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
}

inline __m256i bcast4(const int8_t * p) {
    int32_t v;
    memcpy(&v, p, sizeof(v));
    return _mm256_set1_epi32(v);
}

// two 16-bit values in every 32-bit lane
inline __m256i bcast_pair(int lo, int hi) {
    return _mm256_set1_epi32((int32_t) ((uint32_t) (uint16_t) lo | ((uint32_t) (uint16_t) hi << 16)));
}

// The quantized bytes of chunk row q (bytes 64q .. 64q+63 of the area: 8
// bytes of each column) as two vectors: a with bytes 0..3, b with bytes
// 4..7 of every column, lanes in the order 0 4 1 5 2 6 3 7.
inline void load_chunk_row(const uint8_t * area, int q, __m256i * a, __m256i * b) {
    const __m256i v0 = _mm256_loadu_si256((const __m256i *) (area + 64 * q));
    const __m256i v1 = _mm256_loadu_si256((const __m256i *) (area + 64 * q + 32));
    *a               = _mm256_blend_epi32(v0, _mm256_shuffle_epi32(v1, 0xb1), 0xaa);
    *b               = _mm256_blend_epi32(_mm256_shuffle_epi32(v0, 0xb1), v1, 0xaa);
}

// Eight 8-bit values of the columns (byte c: column c) as 16-bit pairs in the
// lane order, both halves of a lane the same.
inline __m256i scales_in_lane_order(const __m128i bytes) {
    const __m128i idx = _mm_setr_epi8(0, 0, 4, 4, 1, 1, 5, 5, 2, 2, 6, 6, 3, 3, 7, 7);
    return _mm256_cvtepu8_epi16(_mm_shuffle_epi8(bytes, idx));
}

// ---------------------------------------------------------------------------
// q4_K

// Scales and mins of one record: sc[g] holds sub-block g of the 8 columns,
// mins[p] part p's two sub-blocks.
struct q4_K_scales {
    __m256i sc[8];   // 16-bit pairs in lane order
    __m256i mins[4]; // part p: (min of sub-block 2p, of 2p+1) per column, column order
};

// Scale groups g and g + 1 (12 bytes each; 16 are read, the last group's
// extra four lie in the record's qs), one per 128-bit lane: the 8 scales in
// bytes 0..7 and the 8 mins in bytes 8..15, column c in byte c. In 32-bit
// lanes a group is u0 u1 u2, and the result's lanes are u0 & 63,
// (u2 & 15) | (u0 >> 6) << 4, u1 & 63, (u2 >> 4) | (u1 >> 6) << 4, byte by
// byte.
inline __m256i q4_K_scale_groups(const uint8_t * p) {
    const __m256i x  = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *) p)),
                                               _mm_loadu_si128((const __m128i *) (p + 12)), 1);
    const __m256i lo = _mm256_and_si256(
        _mm256_srlv_epi32(_mm256_shuffle_epi32(x, 0x98), _mm256_setr_epi32(0, 0, 0, 4, 0, 0, 0, 4)),
        _mm256_setr_epi32(0x3f3f3f3f, 0x0f0f0f0f, 0x3f3f3f3f, 0x0f0f0f0f, 0x3f3f3f3f, 0x0f0f0f0f, 0x3f3f3f3f,
                          0x0f0f0f0f));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(_mm256_shuffle_epi32(x, 0x50), 2),
                                        _mm256_setr_epi32(0, 0x30303030, 0, 0x30303030, 0, 0x30303030, 0, 0x30303030));
    return _mm256_or_si256(lo, hi);
}

// part p's (min of sub-block 2p, of 2p+1) per column, column order, from
// its two scale groups
inline __m256i q4_K_part_mins(__m256i groups) {
    return _mm256_cvtepu8_epi16(
        _mm_unpackhi_epi8(_mm256_castsi256_si128(groups), _mm256_extracti128_si256(groups, 1)));
}

inline void unpack_q4_K(const block_q4_Kx8 & w, q4_K_scales * out) {
    for (int p = 0; p < 4; ++p) {
        const __m256i g      = q4_K_scale_groups(w.scales + 24 * p);
        out->sc[2 * p]       = scales_in_lane_order(_mm256_castsi256_si128(g));
        out->sc[2 * p + 1]   = scales_in_lane_order(_mm256_extracti128_si256(g, 1));
        out->mins[p]         = q4_K_part_mins(g);
    }
}

// The weights of one sub-block: 2p + h of part p (h = 0 the low nibbles, 1
// the high ones); w[i] holds its values 4i .. 4i + 3 of each column.
inline void decode_q4_K_sub(const block_q4_Kx8 & w, int p, int h, __m256i * out) {
    const __m256i m4 = _mm256_set1_epi8(0x0f);
    for (int q = 0; q < 4; ++q) {
        __m256i a, b;
        load_chunk_row(w.qs, 4 * p + q, &a, &b);
        if (h != 0) {
            a = _mm256_srli_epi16(a, 4);
            b = _mm256_srli_epi16(b, 4);
        }
        out[2 * q]     = _mm256_and_si256(a, m4);
        out[2 * q + 1] = _mm256_and_si256(b, m4);
    }
}

// scale * sum of q * a over a decoded sub-block, per column lane, the
// activation's values 4i .. 4i + 3 at act + off(i). The sixteen products
// of a 16-bit lane fit (16 x 15 x 127). Unrolled so that the offsets are
// constants: left as a loop, the compiler computes them per row.
template <typename OFF> inline __m256i q4_K_sub_sum(const __m256i * w, const int8_t * act, __m256i scale, OFF off) {
    __m256i s16 = _mm256_maddubs_epi16(w[0], bcast4(act + off(0)));
#pragma GCC unroll 8
    for (int i = 1; i < 8; ++i) {
        s16 = _mm256_add_epi16(s16, _mm256_maddubs_epi16(w[i], bcast4(act + off(i))));
    }
    return _mm256_madd_epi16(s16, scale);
}

// per 32-bit lane p: (sum of sub-block 2p's activations, of 2p + 1's) as
// two 16-bit values, from the 16-value sums bs[4p .. 4p + 3] (|sum| <= 4064)
inline __m128i q4_K_bsum_pairs(const int16_t * bs) {
    return _mm_hadd_epi16(_mm_loadu_si128((const __m128i *) bs), _mm_loadu_si128((const __m128i *) (bs + 8)));
}

// The GEMV takes the record's quantized bytes as they lie: a 32-byte load
// holds 8 bytes of each of four columns (0-3 or 4-7), and the 8 matching
// activation bytes are broadcast to every quad word, so no lane reordering
// is needed. The 16-bit lanes of column c are the four of its quad word:
// each sub-block's scales are spread to those lanes, and a horizontal add
// per block leaves the columns in the order 0 1 4 5 2 3 6 7.
struct q4_K_gemv_scales {
    __m256i sc[8][2]; // sub-block g: columns 0-3, 4-7, each scale in its column's four 16-bit lanes
    __m256i mins[4];  // as in q4_K_scales
};

inline void unpack_q4_K_gemv(const block_q4_Kx8 & w, q4_K_gemv_scales * out) {
    const __m256i idx0 = _mm256_setr_epi8(0, -1, 0, -1, 0, -1, 0, -1, 1, -1, 1, -1, 1, -1, 1, -1, 2, -1, 2, -1, 2, -1,
                                          2, -1, 3, -1, 3, -1, 3, -1, 3, -1);
    const __m256i idx1 = _mm256_setr_epi8(4, -1, 4, -1, 4, -1, 4, -1, 5, -1, 5, -1, 5, -1, 5, -1, 6, -1, 6, -1, 6, -1,
                                          6, -1, 7, -1, 7, -1, 7, -1, 7, -1);
    for (int p = 0; p < 4; ++p) {
        const __m256i g = q4_K_scale_groups(w.scales + 24 * p);
        for (int h = 0; h < 2; ++h) {
            // sub-block 2p + h's bytes in both lanes
            const __m256i b          = h == 0 ? _mm256_permute4x64_epi64(g, 0x44) : _mm256_permute4x64_epi64(g, 0xee);
            out->sc[2 * p + h][0] = _mm256_shuffle_epi8(b, idx0);
            out->sc[2 * p + h][1] = _mm256_shuffle_epi8(b, idx1);
        }
        out->mins[p] = q4_K_part_mins(g);
    }
}

inline __m256i bcast8(const int8_t * p) {
    int64_t v;
    memcpy(&v, p, sizeof(v));
    return _mm256_set1_epi64x(v);
}

void gemv_q4_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr <= 0 || nc < 8) {
        return;
    }
    const int            nb    = n / QK_K;
    const block_q4_Kx8 * x     = (const block_q4_Kx8 *) vx;
    const __m256i        m4    = _mm256_set1_epi8(0x0f);
    // lane k holds column order[k], an order that is its own inverse
    const __m256i        order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    q4_K_gemv_scales     sc;

    for (int y = 0; y < nr; ++y) {
        const block_q8_K * a = (const block_q8_K *) vy + (size_t) y * nb;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const block_q4_Kx8 * wr   = x + (size_t) gx * nb;
            __m256               acc  = _mm256_setzero_ps();
            __m256               macc = _mm256_setzero_ps();
            for (int b = 0; b < nb; ++b) {
                unpack_q4_K_gemv(wr[b], &sc);
                const int8_t *      aq = a[b].qs;
                const uint8_t *     qs = wr[b].qs;
                alignas(16) int32_t pairs[4];
                _mm_store_si128((__m128i *) pairs, q4_K_bsum_pairs(a[b].bsums));
                __m256i i0   = _mm256_setzero_si256(); // columns 0-3, two lanes each
                __m256i i1   = _mm256_setzero_si256(); // columns 4-7
                __m256i summ = _mm256_setzero_si256();
#pragma GCC unroll 4
                for (int p = 0; p < 4; ++p) {
                    // 16-bit sums of the low (sub-block 2p) and high (2p + 1) nibbles, columns 0-3 and 4-7:
                    // eight products per lane, at most 8 x 15 x 127
                    __m256i lo0 = _mm256_setzero_si256(), lo1 = lo0, hi0 = lo0, hi1 = lo0;
#pragma GCC unroll 4
                    for (int q = 0; q < 4; ++q) {
                        // chunk row 4p + q: bytes 8q .. 8q + 7 of the part of every column
                        const __m256i v0  = _mm256_loadu_si256((const __m256i *) (qs + 64 * (4 * p + q)));
                        const __m256i v1  = _mm256_loadu_si256((const __m256i *) (qs + 64 * (4 * p + q) + 32));
                        const __m256i alo = bcast8(aq + 64 * p + 8 * q);
                        const __m256i ahi = bcast8(aq + 64 * p + 32 + 8 * q);
                        lo0 = _mm256_add_epi16(lo0, _mm256_maddubs_epi16(_mm256_and_si256(v0, m4), alo));
                        lo1 = _mm256_add_epi16(lo1, _mm256_maddubs_epi16(_mm256_and_si256(v1, m4), alo));
                        hi0 = _mm256_add_epi16(
                            hi0, _mm256_maddubs_epi16(_mm256_and_si256(_mm256_srli_epi16(v0, 4), m4), ahi));
                        hi1 = _mm256_add_epi16(
                            hi1, _mm256_maddubs_epi16(_mm256_and_si256(_mm256_srli_epi16(v1, 4), m4), ahi));
                    }
                    i0 = _mm256_add_epi32(i0, _mm256_add_epi32(_mm256_madd_epi16(lo0, sc.sc[2 * p][0]),
                                                               _mm256_madd_epi16(hi0, sc.sc[2 * p + 1][0])));
                    i1 = _mm256_add_epi32(i1, _mm256_add_epi32(_mm256_madd_epi16(lo1, sc.sc[2 * p][1]),
                                                               _mm256_madd_epi16(hi1, sc.sc[2 * p + 1][1])));
                    summ = _mm256_add_epi32(summ, _mm256_madd_epi16(sc.mins[p], _mm256_set1_epi32(pairs[p])));
                }
                const __m256i sumi = _mm256_hadd_epi32(i0, i1);
                const __m256  da   = _mm256_set1_ps(a[b].d);
                const __m256  dw   = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].d));
                const __m256  dm   = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].dmin));
                acc  = _mm256_fmadd_ps(_mm256_mul_ps(da, _mm256_permutevar8x32_ps(dw, order)), _mm256_cvtepi32_ps(sumi),
                                       acc);
                macc = _mm256_fmadd_ps(_mm256_mul_ps(da, dm), _mm256_cvtepi32_ps(summ), macc);
            }
            const __m256 out = _mm256_sub_ps(_mm256_permutevar8x32_ps(acc, order), macc);
            _mm256_storeu_ps(s + (size_t) y * bs + gx * 8, out);
        }
    }
}

// G activation groups (4 G rows, G <= 4) against the column groups: a
// decoded sub-block of a weight record (eight vectors, kept in registers)
// serves all rows before the next is decoded; a part's low sub-block sums
// wait in part[] for its high one.
template <int G>
void gemm_q4_K_rows(int nb, float * s, size_t bs, const block_q4_Kx8 * x, const block_q8_Kx4 * a0, int nc) {
    constexpr int R  = 4 * G;
    // value 4i of a sub-block of row m: byte 32 (i / 2) + 4 (i % 2) after its first
    const auto    at = [](int i) { return 32 * (i / 2) + 4 * (i % 2); };
    q4_K_scales   sc;
    __m256i       w[8];

    for (int gx = 0; gx < nc / 8; ++gx) {
        const block_q4_Kx8 * wr = x + (size_t) gx * nb;
        __m256               acc[R], macc[R];
        for (int r = 0; r < R; ++r) {
            acc[r]  = _mm256_setzero_ps();
            macc[r] = _mm256_setzero_ps();
        }
        for (int b = 0; b < nb; ++b) {
            unpack_q4_K(wr[b], &sc);
            const __m256 dw = _mm256_permutevar8x32_ps(_mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].d)),
                                                       lane_order());
            const __m256 dm = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].dmin));
            const block_q8_Kx4 * a[G];
            for (int g = 0; g < G; ++g) {
                a[g] = a0 + (size_t) g * nb + b;
            }
            // the rows' scale products, the same for the block's four parts
            __m256 ddw[R], ddm[R];
            for (int r = 0; r < R; ++r) {
                const __m256 da = _mm256_set1_ps(a[r / 4]->d[r % 4]);
                ddw[r]          = _mm256_mul_ps(da, dw);
                ddm[r]          = _mm256_mul_ps(da, dm);
            }
            for (int p = 0; p < 4; ++p) {
                // row m's sub-block sums of the part in lane m
                alignas(16) int32_t pairs[R];
                for (int g = 0; g < G; ++g) {
                    _mm_store_si128((__m128i *) (pairs + 4 * g), q4_K_bsum_pairs(a[g]->bsums + 16 * p));
                }
                __m256i part[R];
                decode_q4_K_sub(wr[b], p, 0, w);
#pragma GCC unroll 16
                for (int r = 0; r < R; ++r) {
                    part[r] = q4_K_sub_sum(w, a[r / 4]->qs + 256 * p + 8 * (r % 4), sc.sc[2 * p], at);
                }
                decode_q4_K_sub(wr[b], p, 1, w);
#pragma GCC unroll 16
                for (int r = 0; r < R; ++r) {
                    const __m256i sumi = _mm256_add_epi32(
                        part[r], q4_K_sub_sum(w, a[r / 4]->qs + 256 * p + 128 + 8 * (r % 4), sc.sc[2 * p + 1], at));
                    const __m256i summ = _mm256_madd_epi16(sc.mins[p], _mm256_set1_epi32(pairs[r]));
                    acc[r]             = _mm256_fmadd_ps(ddw[r], _mm256_cvtepi32_ps(sumi), acc[r]);
                    macc[r]            = _mm256_fmadd_ps(ddm[r], _mm256_cvtepi32_ps(summ), macc[r]);
                }
            }
        }
        for (int r = 0; r < R; ++r) {
            const __m256 out = _mm256_sub_ps(_mm256_permutevar8x32_ps(acc[r], column_order()), macc[r]);
            _mm256_storeu_ps(s + (size_t) r * bs + gx * 8, out);
        }
    }
}

// Rows 16 at a time (four records of 4), the rest as one pass of 4, 8 or 12.
void gemm_q4_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr < 4 || nc < 8) {
        return;
    }
    const int            nb = n / QK_K;
    const block_q4_Kx8 * x  = (const block_q4_Kx8 *) vx;
    const block_q8_Kx4 * a0 = (const block_q8_Kx4 *) vy;

    const int ngroups = nr / 4;
    for (int y0 = 0; y0 < ngroups; y0 += 4) {
        const block_q8_Kx4 * a   = a0 + (size_t) y0 * nb;
        float *              out = s + (size_t) (4 * y0) * bs;
        switch (ngroups - y0 < 4 ? ngroups - y0 : 4) {
            case 1: gemm_q4_K_rows<1>(nb, out, bs, x, a, nc); break;
            case 2: gemm_q4_K_rows<2>(nb, out, bs, x, a, nc); break;
            case 3: gemm_q4_K_rows<3>(nb, out, bs, x, a, nc); break;
            default: gemm_q4_K_rows<4>(nb, out, bs, x, a, nc); break;
        }
    }
}

// ---------------------------------------------------------------------------
// q2_K

struct q2_K_scales {
    __m256i sc[16];  // sub-block scales, 16-bit pairs in lane order
    __m256i mins[8]; // group g: (min of sub-block 2g, of 2g+1) per column, column order
};

inline void unpack_q2_K(const block_q2_Kx8 & w, q2_K_scales * out) {
    const __m128i m4 = _mm_set1_epi8(0x0f);
    for (int g = 0; g < 8; ++g) {
        // byte 2c + t: column c, sub-block 2g + t
        const __m128i bytes = _mm_loadu_si128((const __m128i *) (w.scales + 16 * g));
        const __m128i scl   = _mm_and_si128(bytes, m4);
        const __m128i even  = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1);
        const __m128i odd   = _mm_setr_epi8(1, 3, 5, 7, 9, 11, 13, 15, -1, -1, -1, -1, -1, -1, -1, -1);
        out->sc[2 * g]      = scales_in_lane_order(_mm_shuffle_epi8(scl, even));
        out->sc[2 * g + 1]  = scales_in_lane_order(_mm_shuffle_epi8(scl, odd));
        out->mins[g]        = _mm256_cvtepu8_epi16(_mm_and_si128(_mm_srli_epi16(bytes, 4), m4));
    }
}

// sum over half h of scale * q * a, per column lane; act(e) points at value e
template <typename ACT> inline __m256i q2_K_half_sum(const block_q2_Kx8 & w, const q2_K_scales & sc, int h, ACT act) {
    const __m256i m2 = _mm256_set1_epi8(0x03);
    __m256i       a[4], b[4];
    for (int q = 0; q < 4; ++q) {
        load_chunk_row(w.qs, 4 * h + q, &a[q], &b[q]);
    }
    __m256i sum = _mm256_setzero_si256();
    for (int sh = 0; sh < 4; ++sh) {
        // values 128h + 32 sh + j, j = 8q + 0..7: sub-block 8h + 2 sh + q / 2
        for (int u = 0; u < 2; ++u) {
            __m256i s16 = _mm256_setzero_si256();
            for (int q = 2 * u; q < 2 * u + 2; ++q) {
                const int     e0 = 128 * h + 32 * sh + 8 * q;
                const __m256i wa = _mm256_and_si256(_mm256_srli_epi16(a[q], 2 * sh), m2);
                const __m256i wb = _mm256_and_si256(_mm256_srli_epi16(b[q], 2 * sh), m2);
                s16              = _mm256_add_epi16(s16, _mm256_maddubs_epi16(wa, bcast4(act(e0))));
                s16              = _mm256_add_epi16(s16, _mm256_maddubs_epi16(wb, bcast4(act(e0 + 4))));
            }
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(s16, sc.sc[8 * h + 2 * sh + u]));
        }
    }
    return sum;
}

template <typename BSUM> inline __m256i q2_K_half_min(const q2_K_scales & sc, int h, BSUM bsum) {
    __m256i sum = _mm256_setzero_si256();
    for (int g = 4 * h; g < 4 * h + 4; ++g) {
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(sc.mins[g], bcast_pair(bsum(2 * g), bsum(2 * g + 1))));
    }
    return sum;
}

void gemv_q2_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr <= 0 || nc < 8) {
        return;
    }
    const int            nb = n / QK_K;
    const block_q2_Kx8 * x  = (const block_q2_Kx8 *) vx;
    q2_K_scales          sc;

    for (int y = 0; y < nr; ++y) {
        const block_q8_K * a = (const block_q8_K *) vy + (size_t) y * nb;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const block_q2_Kx8 * wr   = x + (size_t) gx * nb;
            __m256               acc  = _mm256_setzero_ps();
            __m256               macc = _mm256_setzero_ps();
            for (int b = 0; b < nb; ++b) {
                unpack_q2_K(wr[b], &sc);
                const int8_t *  aq   = a[b].qs;
                const int16_t * bsum = a[b].bsums;
                __m256i         sumi = _mm256_setzero_si256();
                __m256i         summ = _mm256_setzero_si256();
                for (int h = 0; h < 2; ++h) {
                    sumi = _mm256_add_epi32(sumi, q2_K_half_sum(wr[b], sc, h, [aq](int e) { return aq + e; }));
                    summ = _mm256_add_epi32(summ, q2_K_half_min(sc, h, [bsum](int g) { return (int) bsum[g]; }));
                }
                const __m256 da = _mm256_set1_ps(a[b].d);
                const __m256 dw = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].d));
                const __m256 dm = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].dmin));
                acc  = _mm256_fmadd_ps(_mm256_mul_ps(da, _mm256_permutevar8x32_ps(dw, lane_order())),
                                       _mm256_cvtepi32_ps(sumi), acc);
                macc = _mm256_fmadd_ps(_mm256_mul_ps(da, dm), _mm256_cvtepi32_ps(summ), macc);
            }
            const __m256 out = _mm256_sub_ps(_mm256_permutevar8x32_ps(acc, column_order()), macc);
            _mm256_storeu_ps(s + (size_t) y * bs + gx * 8, out);
        }
    }
}

void gemm_q2_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr < 4 || nc < 8) {
        return;
    }
    const int            nb = n / QK_K;
    const block_q2_Kx8 * x  = (const block_q2_Kx8 *) vx;
    const block_q8_Kx4 * a0 = (const block_q8_Kx4 *) vy;
    q2_K_scales          sc;

    const int ngroups = nr / 4;
    for (int y0 = 0; y0 < ngroups; y0 += 4) {
        const int G = ngroups - y0 < 4 ? ngroups - y0 : 4;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const block_q2_Kx8 * wr = x + (size_t) gx * nb;
            __m256               acc[16], macc[16];
            for (int r = 0; r < 4 * G; ++r) {
                acc[r]  = _mm256_setzero_ps();
                macc[r] = _mm256_setzero_ps();
            }
            for (int b = 0; b < nb; ++b) {
                unpack_q2_K(wr[b], &sc);
                const __m256 dw = _mm256_permutevar8x32_ps(
                    _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].d)), lane_order());
                const __m256 dm = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].dmin));
                for (int h = 0; h < 2; ++h) {
                    for (int g = 0; g < G; ++g) {
                        const block_q8_Kx4 & a = a0[(size_t) (y0 + g) * nb + b];
                        for (int m = 0; m < 4; ++m) {
                            const int8_t *  aq   = a.qs + 8 * m;
                            const int16_t * bsum = a.bsums + 4 * m;
                            const __m256i   sumi =
                                q2_K_half_sum(wr[b], sc, h, [aq](int e) { return aq + 32 * (e / 8) + e % 8; });
                            const __m256i summ =
                                q2_K_half_min(sc, h, [bsum](int k) { return (int) bsum[(k / 4) * 16 + k % 4]; });
                            const __m256 da = _mm256_set1_ps(a.d[m]);
                            const int    r  = 4 * g + m;
                            acc[r]  = _mm256_fmadd_ps(_mm256_mul_ps(da, dw), _mm256_cvtepi32_ps(sumi), acc[r]);
                            macc[r] = _mm256_fmadd_ps(_mm256_mul_ps(da, dm), _mm256_cvtepi32_ps(summ), macc[r]);
                        }
                    }
                }
            }
            for (int r = 0; r < 4 * G; ++r) {
                const __m256 out = _mm256_sub_ps(_mm256_permutevar8x32_ps(acc[r], column_order()), macc[r]);
                _mm256_storeu_ps(s + (size_t) (4 * y0 + r) * bs + gx * 8, out);
            }
        }
    }
}

} // namespace

extern "C" {

void tevo_gemv_q4_K_8x8_q8_K(TEVO_REPACK_MM_ARGS) {
    gemv_q4_K(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemm_q4_K_8x8_q8_K(TEVO_REPACK_MM_ARGS) {
    gemm_q4_K(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemv_q2_K_8x8_q8_K(TEVO_REPACK_MM_ARGS) {
    gemv_q2_K(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemm_q2_K_8x8_q8_K(TEVO_REPACK_MM_ARGS) {
    gemm_q2_K(n, s, bs, vx, vy, nr, nc);
}

} // extern "C"
