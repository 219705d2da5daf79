#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the iq4_nl and iq4_xs dot products: the 32 nibbles of a
// block become signed levels by one byte shuffle over the 16-level table,
// and the level's sign moves onto the activation code so that the byte
// multiply-add can take the magnitude as unsigned (no pair of products
// exceeds 2 * 127 * 127, inside the 16-bit lanes). iq4_nl runs two blocks
// at a time into two accumulators; iq4_xs scales each sub-block's 16-bit
// pair sums by its 6-bit scale in integers and converts once per block.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"
#include "quants/iquants-tables.h"

static inline __m256i iq4_levels(const uint8_t * qs, __m256i table) {
    return _mm256_shuffle_epi8(table, tevo_q_bytes_from_nibbles(qs));
}

static inline __m256i iq4_table(void) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *) iq4_nl_values));
}

extern "C" {

void tevo_vec_dot_iq4_nl_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK4_NL);
    const block_iq4_nl * xq = (const block_iq4_nl *) x;
    const block_q8_0 *   yq = (const block_q8_0 *) y;
    const int            nb = n / QK4_NL;

    const __m256i table = iq4_table();
    __m256        acc[2] = { _mm256_setzero_ps(), _mm256_setzero_ps() };
    int           i      = 0;
    for (; i + 1 < nb; i += 2) {
        for (int b = 0; b < 2; ++b) {
            const __m256i lv = iq4_levels(xq[i + b].qs, table);
            const __m256i q8 = _mm256_loadu_si256((const __m256i *) yq[i + b].qs);
            const __m256i p  = tevo_q_mul_sum_i8(lv, q8);
            const float   d  = TEVO_Q_H2F(xq[i + b].d) * TEVO_Q_H2F(yq[i + b].d);
            acc[b]           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(p), _mm256_set1_ps(d), acc[b]);
        }
    }
    float sumf = tevo_q_hsum(_mm256_add_ps(acc[0], acc[1]));
    for (; i < nb; ++i) {
        int32_t sumi = 0;
        for (int j = 0; j < 16; ++j) {
            sumi += yq[i].qs[j] * iq4_nl_values[xq[i].qs[j] & 15] + yq[i].qs[j + 16] * iq4_nl_values[xq[i].qs[j] >> 4];
        }
        const float d = TEVO_Q_H2F(xq[i].d) * TEVO_Q_H2F(yq[i].d);
        sumf          = fmaf(d, (float) sumi, sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_iq4_xs_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq4_xs * xq = (const block_iq4_xs *) x;
    const block_q8_K *   yq = (const block_q8_K *) y;

    const __m256i table = iq4_table();
    __m256        acc   = _mm256_setzero_ps();
    for (int i = 0; i < n / QK_K; ++i) {
        __m256i sumi = _mm256_setzero_si256();
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int e =
                ((xq[i].scales_l[ib / 2] >> (4 * (ib % 2))) & 15) | (((xq[i].scales_h >> (2 * ib)) & 3) << 4);
            const __m256i lv  = iq4_levels(xq[i].qs + 16 * ib, table);
            const __m256i q8  = _mm256_loadu_si256((const __m256i *) (yq[i].qs + 32 * ib));
            const __m256i p16 = _mm256_maddubs_epi16(_mm256_sign_epi8(lv, lv), _mm256_sign_epi8(q8, lv));
            sumi = _mm256_add_epi32(sumi, _mm256_madd_epi16(p16, _mm256_set1_epi16((short) (e - 32))));
        }
        const float dd = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        acc            = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(dd), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
