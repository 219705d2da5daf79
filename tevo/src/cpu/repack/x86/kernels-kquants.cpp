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
// half (q2_K) in the GEMM.

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

// Scales and mins of one record: sc[g] and mn[g] hold sub-block g of the 8
// columns, byte c for column c.
struct q4_K_scales {
    __m256i sc[8];   // 16-bit pairs in lane order
    __m256i mins[4]; // part p: (min of sub-block 2p, of 2p+1) per column, column order
};

inline void unpack_q4_K(const block_q4_Kx8 & w, q4_K_scales * out) {
    uint64_t sc[8], mn[8];
    for (int g = 0; g < 8; ++g) {
        uint32_t u[3];
        memcpy(u, w.scales + 12 * g, sizeof(u));
        const uint32_t sc_lo = u[0] & 0x3f3f3f3f;
        const uint32_t mn_lo = u[1] & 0x3f3f3f3f;
        const uint32_t sc_hi = (u[2] & 0x0f0f0f0f) | ((u[0] >> 2) & 0x30303030);
        const uint32_t mn_hi = ((u[2] >> 4) & 0x0f0f0f0f) | ((u[1] >> 2) & 0x30303030);
        sc[g]                = sc_lo | ((uint64_t) sc_hi << 32);
        mn[g]                = mn_lo | ((uint64_t) mn_hi << 32);
    }
    for (int g = 0; g < 8; ++g) {
        out->sc[g] = scales_in_lane_order(_mm_cvtsi64_si128((long long) sc[g]));
    }
    for (int p = 0; p < 4; ++p) {
        const __m128i pair = _mm_unpacklo_epi8(_mm_cvtsi64_si128((long long) mn[2 * p]),
                                               _mm_cvtsi64_si128((long long) mn[2 * p + 1]));
        out->mins[p]       = _mm256_cvtepu8_epi16(pair);
    }
}

// The weights of part p (values 64p .. 64p+63 of every column): lo[i] the
// low nibbles (sub-block 2p), hi[i] the high ones (2p + 1); vector i holds
// values 64p + 4i .. 64p + 4i + 3 (plus 32 for hi) of each column.
inline void decode_q4_K_part(const block_q4_Kx8 & w, int p, __m256i * lo, __m256i * hi) {
    const __m256i m4 = _mm256_set1_epi8(0x0f);
    for (int q = 0; q < 4; ++q) {
        __m256i a, b;
        load_chunk_row(w.qs, 4 * p + q, &a, &b);
        lo[2 * q]     = _mm256_and_si256(a, m4);
        lo[2 * q + 1] = _mm256_and_si256(b, m4);
        hi[2 * q]     = _mm256_and_si256(_mm256_srli_epi16(a, 4), m4);
        hi[2 * q + 1] = _mm256_and_si256(_mm256_srli_epi16(b, 4), m4);
    }
}

// sum over part p of scale * q * a, per column lane; act(e) points at value e
template <typename ACT>
inline __m256i q4_K_part_sum(const __m256i * lo, const __m256i * hi, const q4_K_scales & sc, int p, ACT act) {
    __m256i slo = _mm256_setzero_si256();
    __m256i shi = _mm256_setzero_si256();
    for (int i = 0; i < 8; ++i) {
        slo = _mm256_add_epi16(slo, _mm256_maddubs_epi16(lo[i], bcast4(act(64 * p + 4 * i))));
        shi = _mm256_add_epi16(shi, _mm256_maddubs_epi16(hi[i], bcast4(act(64 * p + 32 + 4 * i))));
    }
    return _mm256_add_epi32(_mm256_madd_epi16(slo, sc.sc[2 * p]), _mm256_madd_epi16(shi, sc.sc[2 * p + 1]));
}

// sum over part p of min * (activation sum of the sub-block), column order;
// bsum(h) is the sum of values 16h .. 16h+15
template <typename BSUM> inline __m256i q4_K_part_min(const q4_K_scales & sc, int p, BSUM bsum) {
    const int s0 = bsum(4 * p) + bsum(4 * p + 1);
    const int s1 = bsum(4 * p + 2) + bsum(4 * p + 3);
    return _mm256_madd_epi16(sc.mins[p], bcast_pair(s0, s1));
}

void gemv_q4_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr <= 0 || nc < 8) {
        return;
    }
    const int            nb = n / QK_K;
    const block_q4_Kx8 * x  = (const block_q4_Kx8 *) vx;
    q4_K_scales          sc;
    __m256i              lo[8], hi[8];

    for (int y = 0; y < nr; ++y) {
        const block_q8_K * a = (const block_q8_K *) vy + (size_t) y * nb;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const block_q4_Kx8 * wr   = x + (size_t) gx * nb;
            __m256               acc  = _mm256_setzero_ps();
            __m256               macc = _mm256_setzero_ps();
            for (int b = 0; b < nb; ++b) {
                unpack_q4_K(wr[b], &sc);
                const int8_t *  aq   = a[b].qs;
                const int16_t * bsum = a[b].bsums;
                __m256i         sumi = _mm256_setzero_si256();
                __m256i         summ = _mm256_setzero_si256();
                for (int p = 0; p < 4; ++p) {
                    decode_q4_K_part(wr[b], p, lo, hi);
                    sumi = _mm256_add_epi32(sumi, q4_K_part_sum(lo, hi, sc, p, [aq](int e) { return aq + e; }));
                    summ = _mm256_add_epi32(summ, q4_K_part_min(sc, p, [bsum](int h) { return (int) bsum[h]; }));
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

// Up to 16 activation rows (four records of 4) at a time, so that a decoded
// part of a weight record serves them all.
void gemm_q4_K(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    if (nr < 4 || nc < 8) {
        return;
    }
    const int            nb = n / QK_K;
    const block_q4_Kx8 * x  = (const block_q4_Kx8 *) vx;
    const block_q8_Kx4 * a0 = (const block_q8_Kx4 *) vy;
    q4_K_scales          sc;
    __m256i              lo[8], hi[8];

    const int ngroups = nr / 4;
    for (int y0 = 0; y0 < ngroups; y0 += 4) {
        const int G = ngroups - y0 < 4 ? ngroups - y0 : 4;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const block_q4_Kx8 * wr = x + (size_t) gx * nb;
            __m256               acc[16], macc[16];
            for (int r = 0; r < 4 * G; ++r) {
                acc[r]  = _mm256_setzero_ps();
                macc[r] = _mm256_setzero_ps();
            }
            for (int b = 0; b < nb; ++b) {
                unpack_q4_K(wr[b], &sc);
                const __m256 dw = _mm256_permutevar8x32_ps(
                    _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].d)), lane_order());
                const __m256 dm = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) wr[b].dmin));
                for (int p = 0; p < 4; ++p) {
                    decode_q4_K_part(wr[b], p, lo, hi);
                    for (int g = 0; g < G; ++g) {
                        const block_q8_Kx4 & a = a0[(size_t) (y0 + g) * nb + b];
                        for (int m = 0; m < 4; ++m) {
                            // value e of row m: byte (4 (e / 8) + m) 8 + e % 8
                            const int8_t *  aq   = a.qs + 8 * m;
                            const int16_t * bsum = a.bsums + 4 * m;
                            const __m256i   sumi =
                                q4_K_part_sum(lo, hi, sc, p, [aq](int e) { return aq + 32 * (e / 8) + e % 8; });
                            const __m256i summ =
                                q4_K_part_min(sc, p, [bsum](int h) { return (int) bsum[(h / 4) * 16 + h % 4]; });
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
