#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// AVX2 kernels of the 4-bit 8x8 layouts (q4_0, iq4_nl, mxfp4) with q8_0
// activations.
//
// A record's 128 bytes are decoded once into eight vectors whose 32-bit
// lanes hold four values of one column each, columns in the lane order
// 0 4 1 5 2 6 3 7 (two dword blends of the record's column halves). For
// q4_0 and mxfp4 a byte shuffle turns each nibble into its value plus an
// offset that makes every value unsigned (8 for q4_0, 12 for mxfp4), so the
// unsigned-times-signed byte multiply takes the weights as they are against
// the four matching activation bytes broadcast to all lanes; the offset
// times the block's activation sum is taken off once per block and row. The
// iq4_nl levels reach +-127, beyond any offset within a byte: the shuffle
// gives the signed level, and the multiply takes its magnitude against the
// activation byte carrying the level's sign. The products are added in 16
// bits as far as they cannot overflow, then widened: the block sums are
// exact. Per block and column: acc = fma(d_w * d_a, float(sumi), acc),
// blocks in ascending order, in the GEMV and the GEMM alike, so one row
// gives the same bits in both.

#include "cpu/repack/repack.h"
#include "cpu/vec/tables.h"
#include "quants/iquants-tables.h"
#include "quants/quants.h"

#include <immintrin.h>
#include <string.h>

#define H2F(h) tevo_table_f32_f16[(h)]

namespace {

struct fmt_q4_0 {
    using rec = block_q4_0x8;
    // stored nibble s (the value read as a signed 4-bit number) -> value + 8
    static __m256i table() {
        return _mm256_setr_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0,
                                1, 2, 3, 4, 5, 6, 7);
    }
    static constexpr int  offset        = 8;
    static constexpr bool signed_levels = false;
    // the table is s ^ 8: one XOR of the packed bytes does it for both nibbles
    static constexpr bool xor_8         = true;
    // products of 15 and 127 in pairs: eight of them still fit 16 bits
    static constexpr int adds_in_16_bits = 8;
    static __m256 scales(const rec & w) { return _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) w.d)); }
};

struct fmt_iq4_nl {
    using rec = block_iq4_nlx8;
    // code -> signed level
    static __m256i table() { return _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *) iq4_nl_values)); }
    static constexpr int  offset        = 0;
    static constexpr bool signed_levels = true;
    static constexpr bool xor_8         = false;
    // a pair of products of 127 and 127 (32258) fills a 16-bit lane: widen after each
    static constexpr int adds_in_16_bits = 1;
    static __m256 scales(const rec & w) { return _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) w.d)); }
};

struct fmt_mxfp4 {
    using rec = block_mxfp4x8;
    // code -> twice the E2M1 value + 12
    static __m256i table() {
        return _mm256_setr_epi8(12, 13, 14, 15, 16, 18, 20, 24, 12, 11, 10, 9, 8, 6, 4, 0, 12, 13, 14, 15, 16, 18, 20,
                                24, 12, 11, 10, 9, 8, 6, 4, 0);
    }
    static constexpr int  offset        = 12;
    static constexpr bool signed_levels = false;
    static constexpr bool xor_8         = false;
    // products of 24 and 127 in pairs: four of them fit 16 bits
    static constexpr int adds_in_16_bits = 4;
    static __m256 scales(const rec & w) {
        const float * t = tevo_table_f32_e8m0_half;
        return _mm256_setr_ps(t[w.e[0]], t[w.e[1]], t[w.e[2]], t[w.e[3]], t[w.e[4]], t[w.e[5]], t[w.e[6]], t[w.e[7]]);
    }
};

// lane k of the decoded vectors is column k_order[k]
inline __m256i lane_order() {
    return _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
}
// back to columns 0..7
inline __m256i column_order() {
    return _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
}

// offsets in a block's 32 values of the four values each decoded vector holds per lane
constexpr int value_base[8] = { 0, 4, 16, 20, 8, 12, 24, 28 };

// The record's values (plus the offset): w[i] holds values value_base[i] .. +3 of every column.
template <typename F> inline void decode(const uint8_t * qs, __m256i table, __m256i * w) {
    const __m256i m4 = _mm256_set1_epi8(0x0f);
    for (int h = 0; h < 2; ++h) {
        const __m256i v0 = _mm256_loadu_si256((const __m256i *) (qs + 64 * h));      // columns 0-3
        const __m256i v1 = _mm256_loadu_si256((const __m256i *) (qs + 64 * h + 32)); // columns 4-7
        __m256i       a  = _mm256_blend_epi32(v0, _mm256_shuffle_epi32(v1, 0xb1), 0xaa); // bytes 8h + 0..3
        __m256i       b  = _mm256_blend_epi32(_mm256_shuffle_epi32(v0, 0xb1), v1, 0xaa); // bytes 8h + 4..7
        if constexpr (F::xor_8) {
            a            = _mm256_xor_si256(a, _mm256_set1_epi8((char) 0x88));
            b            = _mm256_xor_si256(b, _mm256_set1_epi8((char) 0x88));
            w[4 * h + 0] = _mm256_and_si256(a, m4);
            w[4 * h + 1] = _mm256_and_si256(b, m4);
            w[4 * h + 2] = _mm256_and_si256(_mm256_srli_epi16(a, 4), m4);
            w[4 * h + 3] = _mm256_and_si256(_mm256_srli_epi16(b, 4), m4);
            continue;
        }
        w[4 * h + 0]     = _mm256_shuffle_epi8(table, _mm256_and_si256(a, m4));
        w[4 * h + 1]     = _mm256_shuffle_epi8(table, _mm256_and_si256(b, m4));
        w[4 * h + 2]     = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(a, 4), m4));
        w[4 * h + 3]     = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(b, 4), m4));
    }
}

inline __m256i bcast4(const int8_t * p) {
    int32_t v;
    memcpy(&v, p, sizeof(v));
    return _mm256_set1_epi32(v);
}

// products of decoded weights and activation bytes, summed in adjacent pairs
// into 16-bit lanes; signed levels give their magnitude and their sign to
// the activation (zero where the level is zero)
template <typename F> inline __m256i mul_pairs(__m256i w, __m256i a) {
    if constexpr (F::signed_levels) {
        return _mm256_maddubs_epi16(_mm256_sign_epi8(w, w), _mm256_sign_epi8(a, w));
    } else {
        return _mm256_maddubs_epi16(w, a);
    }
}

// The 32-value dot products of the decoded record with the activations at
// act(value) (4 bytes from there), per column lane, the offset included.
template <typename F, typename ACT> inline __m256i block_sums(const __m256i * w, ACT act) {
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i       sum  = _mm256_setzero_si256();
    // unrolled so that the activation offsets are constants: left as loops,
    // the compiler computes them per row and block
#pragma GCC unroll 8
    for (int i0 = 0; i0 < 8; i0 += F::adds_in_16_bits) {
        __m256i s16 = mul_pairs<F>(w[i0], bcast4(act(value_base[i0])));
#pragma GCC unroll 8
        for (int i = i0 + 1; i < i0 + F::adds_in_16_bits; ++i) {
            s16 = _mm256_add_epi16(s16, mul_pairs<F>(w[i], bcast4(act(value_base[i]))));
        }
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(s16, ones));
    }
    return sum;
}

// offset times the sum of 32 activation bytes, in every lane
template <typename F> inline __m256i offset_sum32(const int8_t * q) {
    __m256i s = _mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_set1_epi8(1), _mm256_loadu_si256((const __m256i *) q)),
                                  _mm256_set1_epi16(1));
    s         = _mm256_add_epi32(s, _mm256_shuffle_epi32(s, 0x4e));
    s         = _mm256_add_epi32(s, _mm256_shuffle_epi32(s, 0xb1));
    s         = _mm256_add_epi32(s, _mm256_permute2x128_si256(s, s, 0x01));
    return _mm256_mullo_epi32(s, _mm256_set1_epi32(F::offset));
}

// offset times the sums of the four rows of a block_q8_0x4 (any interleave):
// row m in dwords 0 1 4 5 for m = 0 1 2 3
template <typename F> inline __m256i offset_sums_x4(const block_q8_0x4 & a) {
    const __m256i ones8 = _mm256_set1_epi8(1);
    __m256i       t     = _mm256_setzero_si256();
    for (int k = 0; k < 4; ++k) {
        // bytes 32k + 8m .. +7 belong to row m
        t = _mm256_add_epi16(t, _mm256_maddubs_epi16(ones8, _mm256_loadu_si256((const __m256i *) (a.qs + 32 * k))));
    }
    const __m256i d = _mm256_madd_epi16(t, _mm256_set1_epi16(1)); // dwords 2m, 2m + 1: row m
    const __m256i h = _mm256_hadd_epi32(d, d);                     // rows 0 1 0 1 | 2 3 2 3
    return _mm256_mullo_epi32(h, _mm256_set1_epi32(F::offset));
}

template <typename F> void gemv_8x8(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    using rec = typename F::rec;
    if (nr <= 0 || nc < 8) {
        return;
    }
    const int     nb    = n / QK8_0;
    const rec *   x     = (const rec *) vx;
    const __m256i table = F::table();
    __m256i       w[8];

    for (int y = 0; y < nr; ++y) {
        const block_q8_0 * a = (const block_q8_0 *) vy + (size_t) y * nb;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const rec * wr  = x + (size_t) gx * nb;
            __m256      acc = _mm256_setzero_ps();
            for (int b = 0; b < nb; ++b) {
                decode<F>(wr[b].qs, table, w);
                const int8_t * aq  = a[b].qs;
                __m256i        sum = block_sums<F>(w, [aq](int v) { return aq + v; });
                if constexpr (F::offset != 0) {
                    sum = _mm256_sub_epi32(sum, offset_sum32<F>(aq));
                }
                const __m256   sc  = _mm256_mul_ps(_mm256_permutevar8x32_ps(F::scales(wr[b]), lane_order()),
                                                   _mm256_set1_ps(H2F(a[b].d)));
                acc = _mm256_fmadd_ps(sc, _mm256_cvtepi32_ps(sum), acc);
            }
            _mm256_storeu_ps(s + (size_t) y * bs + gx * 8, _mm256_permutevar8x32_ps(acc, column_order()));
        }
    }
}

// Up to 16 activation rows (four records of 4) at a time, so that a decoded
// weight record serves them all.
template <typename F> void gemm_8x8(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    using rec = typename F::rec;
    if (nr < 4 || nc < 8) {
        return;
    }
    const int            nb    = n / QK8_0;
    const rec *          x     = (const rec *) vx;
    const block_q8_0x4 * a0    = (const block_q8_0x4 *) vy;
    const __m256i        table = F::table();
    __m256i              w[8];

    const int ngroups = nr / 4;
    for (int y0 = 0; y0 < ngroups; y0 += 4) {
        const int G = ngroups - y0 < 4 ? ngroups - y0 : 4;
        for (int gx = 0; gx < nc / 8; ++gx) {
            const rec * wr = x + (size_t) gx * nb;
            __m256      acc[16];
            for (int r = 0; r < 4 * G; ++r) {
                acc[r] = _mm256_setzero_ps();
            }
            for (int b = 0; b < nb; ++b) {
                decode<F>(wr[b].qs, table, w);
                const __m256 sw = _mm256_permutevar8x32_ps(F::scales(wr[b]), lane_order());
                for (int g = 0; g < G; ++g) {
                    const block_q8_0x4 & a = a0[(size_t) (y0 + g) * nb + b];
                    __m256i              aoff = _mm256_setzero_si256();
                    if constexpr (F::offset != 0) {
                        aoff = offset_sums_x4<F>(a);
                    }
#pragma GCC unroll 4
                    for (int m = 0; m < 4; ++m) {
                        // value v of row m: byte (v / 8) * 32 + 8 m + v % 8
                        const int8_t * aq  = a.qs + 8 * m;
                        __m256i        sum = block_sums<F>(w, [aq](int v) { return aq + (v / 8) * 32 + v % 8; });
                        if constexpr (F::offset != 0) {
                            sum = _mm256_sub_epi32(sum, _mm256_permutevar8x32_epi32(aoff, _mm256_set1_epi32(m % 2 + 4 * (m / 2))));
                        }
                        const __m256 sc    = _mm256_mul_ps(sw, _mm256_set1_ps(H2F(a.d[m])));
                        acc[4 * g + m]     = _mm256_fmadd_ps(sc, _mm256_cvtepi32_ps(sum), acc[4 * g + m]);
                    }
                }
            }
            for (int r = 0; r < 4 * G; ++r) {
                _mm256_storeu_ps(s + (size_t) (4 * y0 + r) * bs + gx * 8,
                                 _mm256_permutevar8x32_ps(acc[r], column_order()));
            }
        }
    }
}

} // namespace

extern "C" {

void tevo_gemv_q4_0_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemv_8x8<fmt_q4_0>(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemm_q4_0_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemm_8x8<fmt_q4_0>(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemv_iq4_nl_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemv_8x8<fmt_iq4_nl>(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemm_iq4_nl_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemm_8x8<fmt_iq4_nl>(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemv_mxfp4_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemv_8x8<fmt_mxfp4>(n, s, bs, vx, vy, nr, nc);
}
void tevo_gemm_mxfp4_8x8_q8_0(TEVO_REPACK_MM_ARGS) {
    gemm_8x8<fmt_mxfp4>(n, s, bs, vx, vy, nr, nc);
}

} // extern "C"
