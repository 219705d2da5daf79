#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the lattice i-quant dot products, one 32-value sub-block
// per step: the four (or eight) grid entries are gathered into 32 bytes in
// value order, the activation codes take the signs of the weights, the byte
// multiply-add sums adjacent products into 16-bit lanes (a pair never
// exceeds 2 * 62 * 127, so the lanes are exact) and a word multiply-add
// with the sub-block scale sums pairs of those into eight 32-bit lanes:
// lane k holds the scaled products of values 4k..4k+3. Each block adds its
// lanes to eight float sums with one fused multiply-add; the portable
// forms' integer block sums are reproduced exactly.
//
// The codes are negated as bytes, so they must lie in -127..127, as the
// q8_K quantizer makes them.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"
#include "quants/iquants-tables.h"

namespace {

// entry i: byte j is -1 where bit j of iq2_sign_patterns[i] is set, else +1
constexpr std::array<uint64_t, 128> make_sign_bytes() {
    std::array<uint64_t, 128> t{};
    for (int i = 0; i < 128; ++i) {
        uint64_t e = 0;
        for (int j = 0; j < 8; ++j) {
            e |= (uint64_t) (((iq2_sign_patterns[i] >> j) & 1) ? 0xff : 0x01) << (8 * j);
        }
        t[i] = e;
    }
    return t;
}

constexpr std::array<uint64_t, 128> iq2_sign_bytes = make_sign_bytes();

inline uint32_t iq_u32(const void * p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

inline __m256i iq_set64(uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3) {
    return _mm256_set_epi64x((long long) a3, (long long) a2, (long long) a1, (long long) a0);
}

// four sign bytes in a row (bit j of byte l: value 8l + j negative) as 32
// bytes of -1 and +1
inline __m256i iq_signs_from_bytes(const uint8_t * p) {
    return _mm256_or_si256(tevo_q_bytes_from_bits(p), _mm256_set1_epi8(1));
}

// unsigned grid bytes times signed codes, scaled: eight 32-bit lanes
inline __m256i iq_scaled_dot(__m256i grid, __m256i codes, __m256i scales) {
    return _mm256_madd_epi16(_mm256_maddubs_epi16(grid, codes), scales);
}

inline __m256i iq_scale_halves(int lo, int hi) {
    return _mm256_set_m128i(_mm_set1_epi16((short) hi), _mm_set1_epi16((short) lo));
}

inline __m256i iq_load32(const int8_t * q8) {
    return _mm256_loadu_si256((const __m256i *) q8);
}

} // namespace

extern "C" {

void tevo_vec_dot_iq2_xxs_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_xxs * xq = (const block_iq2_xxs *) x;
    const block_q8_K *    yq = (const block_q8_K *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        __m256i sumi = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t w0    = iq_u32(&xq[i].qs[4 * ib]);
            const uint32_t w1    = iq_u32(&xq[i].qs[4 * ib + 2]);
            const __m256i  grid  = iq_set64(iq2_xxs_grid[w0 & 255], iq2_xxs_grid[(w0 >> 8) & 255],
                                            iq2_xxs_grid[(w0 >> 16) & 255], iq2_xxs_grid[w0 >> 24]);
            const __m256i  signs = iq_set64(iq2_sign_bytes[w1 & 127], iq2_sign_bytes[(w1 >> 7) & 127],
                                            iq2_sign_bytes[(w1 >> 14) & 127], iq2_sign_bytes[(w1 >> 21) & 127]);
            const __m256i  q8    = _mm256_sign_epi8(iq_load32(yq[i].qs + 32 * ib), signs);
            const short    ls    = (short) (2 * (w1 >> 28) + 1);
            sumi                 = _mm256_add_epi32(sumi, iq_scaled_dot(grid, q8, _mm256_set1_epi16(ls)));
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = 0.125f * tevo_q_hsum(acc);
}

void tevo_vec_dot_iq2_xs_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_xs * xq = (const block_iq2_xs *) x;
    const block_q8_K *   yq = (const block_q8_K *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        __m256i sumi = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t * q     = xq[i].qs + 4 * ib;
            const __m256i    grid  = iq_set64(iq2_xs_grid[q[0] & 511], iq2_xs_grid[q[1] & 511],
                                              iq2_xs_grid[q[2] & 511], iq2_xs_grid[q[3] & 511]);
            const __m256i    signs = iq_set64(iq2_sign_bytes[q[0] >> 9], iq2_sign_bytes[q[1] >> 9],
                                                  iq2_sign_bytes[q[2] >> 9], iq2_sign_bytes[q[3] >> 9]);
            const __m256i    q8    = _mm256_sign_epi8(iq_load32(yq[i].qs + 32 * ib), signs);
            const uint8_t    sc    = xq[i].scales[ib];
            sumi = _mm256_add_epi32(sumi, iq_scaled_dot(grid, q8, iq_scale_halves(2 * (sc & 15) + 1, 2 * (sc >> 4) + 1)));
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = 0.125f * tevo_q_hsum(acc);
}

void tevo_vec_dot_iq2_s_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_s * xq = (const block_iq2_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        const uint8_t * qs    = xq[i].qs;
        const uint8_t * sgn   = xq[i].qs + QK_K / 8;
        __m256i         sumi  = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int     qh    = xq[i].qh[ib];
            const __m256i grid  = iq_set64(iq2_s_grid[qs[4 * ib] | ((qh << 8) & 0x300)],
                                           iq2_s_grid[qs[4 * ib + 1] | ((qh << 6) & 0x300)],
                                           iq2_s_grid[qs[4 * ib + 2] | ((qh << 4) & 0x300)],
                                           iq2_s_grid[qs[4 * ib + 3] | ((qh << 2) & 0x300)]);
            const __m256i signs = iq_signs_from_bytes(sgn + 4 * ib);
            const __m256i q8    = _mm256_sign_epi8(iq_load32(yq[i].qs + 32 * ib), signs);
            const uint8_t sc    = xq[i].scales[ib];
            sumi = _mm256_add_epi32(sumi, iq_scaled_dot(grid, q8, iq_scale_halves(2 * (sc & 15) + 1, 2 * (sc >> 4) + 1)));
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = 0.125f * tevo_q_hsum(acc);
}

void tevo_vec_dot_iq3_xxs_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq3_xxs * xq = (const block_iq3_xxs *) x;
    const block_q8_K *    yq = (const block_q8_K *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        const uint8_t * qs   = xq[i].qs;
        __m256i         sumi = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint8_t * q    = qs + 8 * ib;
            const __m256i   grid = _mm256_set_epi32((int) iq3_xxs_grid[q[7]], (int) iq3_xxs_grid[q[6]],
                                                    (int) iq3_xxs_grid[q[5]], (int) iq3_xxs_grid[q[4]],
                                                    (int) iq3_xxs_grid[q[3]], (int) iq3_xxs_grid[q[2]],
                                                    (int) iq3_xxs_grid[q[1]], (int) iq3_xxs_grid[q[0]]);
            const uint32_t w     = iq_u32(qs + QK_K / 4 + 4 * ib);
            const __m256i  signs = iq_set64(iq2_sign_bytes[w & 127], iq2_sign_bytes[(w >> 7) & 127],
                                            iq2_sign_bytes[(w >> 14) & 127], iq2_sign_bytes[(w >> 21) & 127]);
            const __m256i  q8    = _mm256_sign_epi8(iq_load32(yq[i].qs + 32 * ib), signs);
            const short    ls    = (short) (2 * (w >> 28) + 1);
            sumi                 = _mm256_add_epi32(sumi, iq_scaled_dot(grid, q8, _mm256_set1_epi16(ls)));
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = 0.25f * tevo_q_hsum(acc);
}

void tevo_vec_dot_iq3_s_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq3_s * xq = (const block_iq3_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    const __m256i lane_bits = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256        acc       = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        __m256i sumi = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            // the eight 9-bit indices at once: bit k of qh becomes bit 8 of index k
            const __m256i lo    = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *) (xq[i].qs + 8 * ib)));
            const __m256i hi    = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(xq[i].qh[ib]), lane_bits),
                                                   _mm256_set1_epi32(1));
            const __m256i idx   = _mm256_or_si256(lo, _mm256_slli_epi32(hi, 8));
            const __m256i grid  = _mm256_i32gather_epi32((const int *) iq3_s_grid.data(), idx, 4);
            const __m256i signs = iq_signs_from_bytes(xq[i].signs + 4 * ib);
            const __m256i q8    = _mm256_sign_epi8(iq_load32(yq[i].qs + 32 * ib), signs);
            const short   ls    = (short) (2 * ((xq[i].scales[ib / 2] >> (4 * (ib % 2))) & 15) + 1);
            sumi                = _mm256_add_epi32(sumi, iq_scaled_dot(grid, q8, _mm256_set1_epi16(ls)));
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc);
}

// The 1-bit grids hold signed bytes -1, 0, +1: each code takes the sign of
// its grid value (0 where that is 0) and meets the magnitude. The four
// 11-bit indices of a sub-block are deposited into four 16-bit fields.

void tevo_vec_dot_iq1_s_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq1_s * xq = (const block_iq1_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    __m256 acc  = _mm256_setzero_ps();
    float  accq = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        __m256i sumi  = _mm256_setzero_si256();
        int32_t sumi1 = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t h   = xq[i].qh[ib];
            const uint64_t idx = _pdep_u64(iq_u32(xq[i].qs + 4 * ib), 0x00ff00ff00ff00ffull) |
                                 _pdep_u64(h & 0x0fff, 0x0700070007000700ull);
            const __m256i grid = iq_set64(iq1_s_grid[idx & 0xffff], iq1_s_grid[(idx >> 16) & 0xffff],
                                          iq1_s_grid[(idx >> 32) & 0xffff], iq1_s_grid[idx >> 48]);
            const __m256i q8   = iq_load32(yq[i].qs + 32 * ib);
            const int     ls   = 2 * ((h >> 12) & 7) + 1;
            const __m256i p16  = _mm256_maddubs_epi16(_mm256_sign_epi8(grid, grid), _mm256_sign_epi8(q8, grid));
            sumi               = _mm256_add_epi32(sumi, _mm256_madd_epi16(p16, _mm256_set1_epi16((short) ls)));
            const int32_t bs   = yq[i].bsums[2 * ib] + yq[i].bsums[2 * ib + 1];
            sumi1 += (h & 0x8000) ? -ls * bs : ls * bs;
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
        accq          = fmaf(d, (float) sumi1, accq);
    }
    *s = fmaf(accq, 0.125f, tevo_q_hsum(acc));
}

void tevo_vec_dot_iq1_m_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq1_m * xq = (const block_iq1_m *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    const __m256i ones      = _mm256_set1_epi8(1);
    const __m256i spread_qh = _mm256_set_epi64x(0x0101010101010101ll, 0x0101010101010101ll, 0, 0);
    const __m256i sign_bit  = _mm256_set_epi64x((long long) 0x8080808080808080ull, 0x0808080808080808ll,
                                                (long long) 0x8080808080808080ull, 0x0808080808080808ll);
    __m256        accp      = _mm256_setzero_ps();
    __m256        accq = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        uint16_t sc[4];
        memcpy(sc, xq[i].scales, sizeof(sc));
        const uint16_t hd = (uint16_t) ((sc[0] >> 12) | ((sc[1] >> 8) & 0x00f0) | ((sc[2] >> 4) & 0x0f00) |
                                        (sc[3] & 0xf000));
        __m256i sumi  = _mm256_setzero_si256();
        __m256i sumi1 = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t qh  = (uint32_t) xq[i].qh[2 * ib] | ((uint32_t) xq[i].qh[2 * ib + 1] << 8);
            const uint64_t idx = _pdep_u64(iq_u32(xq[i].qs + 4 * ib), 0x00ff00ff00ff00ffull) |
                                 _pdep_u64(_pext_u32(qh, 0x7777), 0x0700070007000700ull);
            const __m256i grid = iq_set64(iq1_s_grid[idx & 0xffff], iq1_s_grid[(idx >> 16) & 0xffff],
                                          iq1_s_grid[(idx >> 32) & 0xffff], iq1_s_grid[idx >> 48]);
            // the offset signs of the four groups (bits 3, 7, 11, 15 of qh) as
            // runs of -1 or +1: each group's byte of qh spread over its 8 bytes
            const __m256i qb  = _mm256_shuffle_epi8(_mm256_set1_epi32((int) qh), spread_qh);
            const __m256i off = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_and_si256(qb, sign_bit), sign_bit), ones);
            const uint16_t w      = sc[ib / 2];
            const int      t      = 6 * (ib % 2);
            const __m256i  scales = iq_scale_halves(2 * ((w >> t) & 7) + 1, 2 * ((w >> (t + 3)) & 7) + 1);
            const __m256i  q8     = iq_load32(yq[i].qs + 32 * ib);
            const __m256i  p16 = _mm256_maddubs_epi16(_mm256_sign_epi8(grid, grid), _mm256_sign_epi8(q8, grid));
            const __m256i  o16 = _mm256_maddubs_epi16(ones, _mm256_sign_epi8(q8, off));
            sumi               = _mm256_add_epi32(sumi, _mm256_madd_epi16(p16, scales));
            sumi1              = _mm256_add_epi32(sumi1, _mm256_madd_epi16(o16, scales));
        }
        const __m256 d = _mm256_set1_ps(TEVO_Q_H2F(hd) * yq[i].d);
        accp           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), d, accp);
        accq           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi1), d, accq);
    }
    *s = fmaf(tevo_q_hsum(accq), 0.125f, tevo_q_hsum(accp));
}

} // extern "C"
