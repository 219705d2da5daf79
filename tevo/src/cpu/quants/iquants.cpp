#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// The portable dot products of the lattice i-quants (iq2_xxs, iq2_xs,
// iq2_s, iq3_xxs, iq3_s, iq1_s, iq1_m) with q8_K activations. They define
// the arithmetic: per block an exact integer sum of grid bytes, signs and
// sub-block scales times the activation codes, then one fused multiply-add
// with the two block scales. The constant factor of the sub-block scales
// (1/8 for the 2-bit types, 1/4 for iq3_xxs) is applied once at the end;
// the 1-bit types carry a second integer sum for the offset of +-1/8.

#include "cpu/quants/impl.h"
#include "quants/iquants-tables.h"

static inline uint32_t iq_u32(const void * p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// 8 grid magnitudes times 8 codes, negated where the pattern's bit is set
static inline int32_t iq_dot8(uint64_t point, uint8_t pattern, const int8_t * q8) {
    int32_t sum = 0;
    for (int j = 0; j < 8; ++j) {
        const int32_t v = (int32_t) (uint8_t) (point >> (8 * j)) * q8[j];
        sum += (pattern >> j) & 1 ? -v : v;
    }
    return sum;
}

// 8 signed 1-bit grid values times 8 codes
static inline int32_t iq1_dot8(uint64_t point, const int8_t * q8) {
    int32_t sum = 0;
    for (int j = 0; j < 8; ++j) sum += (int32_t) (int8_t) (point >> (8 * j)) * q8[j];
    return sum;
}

static inline int32_t iq_sum8(const int8_t * q8) {
    int32_t sum = 0;
    for (int j = 0; j < 8; ++j) sum += q8[j];
    return sum;
}

extern "C" {

void tevo_vec_dot_iq2_xxs_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_xxs * xq = (const block_iq2_xxs *) x;
    const block_q8_K *    yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float    d    = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        const int8_t * q8   = yq[i].qs;
        int32_t        bsum = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t w0   = iq_u32(&xq[i].qs[4 * ib]);
            const uint32_t w1   = iq_u32(&xq[i].qs[4 * ib + 2]);
            const int32_t  ls   = 2 * (int32_t) (w1 >> 28) + 1;
            int32_t        sumi = 0;
            for (int l = 0; l < 4; ++l) {
                sumi += iq_dot8(iq2_xxs_grid[(w0 >> (8 * l)) & 255], iq2_sign_patterns[(w1 >> (7 * l)) & 127], q8);
                q8 += 8;
            }
            bsum += sumi * ls;
        }
        sumf = fmaf(d, (float) bsum, sumf);
    }
    *s = 0.125f * sumf;
}

void tevo_vec_dot_iq2_xs_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_xs * xq = (const block_iq2_xs *) x;
    const block_q8_K *   yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float    d    = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        const int8_t * q8   = yq[i].qs;
        int32_t        bsum = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int32_t ls1 = 2 * (xq[i].scales[ib] & 15) + 1;
            const int32_t ls2 = 2 * (xq[i].scales[ib] >> 4) + 1;
            int32_t       sumi[2] = { 0, 0 };
            for (int l = 0; l < 4; ++l) {
                const uint16_t q = xq[i].qs[4 * ib + l];
                sumi[l / 2] += iq_dot8(iq2_xs_grid[q & 511], iq2_sign_patterns[q >> 9], q8);
                q8 += 8;
            }
            bsum += ls1 * sumi[0] + ls2 * sumi[1];
        }
        sumf = fmaf(d, (float) bsum, sumf);
    }
    *s = 0.125f * sumf;
}

void tevo_vec_dot_iq2_s_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq2_s * xq = (const block_iq2_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float     d     = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        const int8_t *  q8    = yq[i].qs;
        const uint8_t * signs = xq[i].qs + QK_K / 8;
        int32_t         bsum  = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int32_t ls1 = 2 * (xq[i].scales[ib] & 15) + 1;
            const int32_t ls2 = 2 * (xq[i].scales[ib] >> 4) + 1;
            int32_t       sumi[2] = { 0, 0 };
            for (int l = 0; l < 4; ++l) {
                const int idx = xq[i].qs[4 * ib + l] | (((xq[i].qh[ib] >> (2 * l)) & 3) << 8);
                sumi[l / 2] += iq_dot8(iq2_s_grid[idx], signs[4 * ib + l], q8);
                q8 += 8;
            }
            bsum += ls1 * sumi[0] + ls2 * sumi[1];
        }
        sumf = fmaf(d, (float) bsum, sumf);
    }
    *s = 0.125f * sumf;
}

void tevo_vec_dot_iq3_xxs_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq3_xxs * xq = (const block_iq3_xxs *) x;
    const block_q8_K *    yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float     d    = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        const int8_t *  q8   = yq[i].qs;
        const uint8_t * qs   = xq[i].qs;
        int32_t         bsum = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint32_t w    = iq_u32(qs + QK_K / 4 + 4 * ib);
            const int32_t  ls   = 2 * (int32_t) (w >> 28) + 1;
            int32_t        sumi = 0;
            for (int l = 0; l < 4; ++l) {
                const uint64_t point = (uint64_t) iq3_xxs_grid[qs[8 * ib + 2 * l]] |
                                       (uint64_t) iq3_xxs_grid[qs[8 * ib + 2 * l + 1]] << 32;
                sumi += iq_dot8(point, iq2_sign_patterns[(w >> (7 * l)) & 127], q8);
                q8 += 8;
            }
            bsum += sumi * ls;
        }
        sumf = fmaf(d, (float) bsum, sumf);
    }
    *s = 0.25f * sumf;
}

void tevo_vec_dot_iq3_s_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq3_s * xq = (const block_iq3_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float    d    = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        const int8_t * q8   = yq[i].qs;
        int32_t        bsum = 0;
        // one scales byte per pair of sub-blocks
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int32_t ls   = 2 * ((xq[i].scales[ib / 2] >> (4 * (ib % 2))) & 15) + 1;
            const uint8_t qh   = xq[i].qh[ib];
            int32_t       sumi = 0;
            for (int l = 0; l < 4; ++l) {
                const int      idx1  = xq[i].qs[8 * ib + 2 * l] | (((qh >> (2 * l)) & 1) << 8);
                const int      idx2  = xq[i].qs[8 * ib + 2 * l + 1] | (((qh >> (2 * l + 1)) & 1) << 8);
                const uint64_t point = (uint64_t) iq3_s_grid[idx1] | (uint64_t) iq3_s_grid[idx2] << 32;
                sumi += iq_dot8(point, xq[i].signs[4 * ib + l], q8);
                q8 += 8;
            }
            bsum += sumi * ls;
        }
        sumf = fmaf(d, (float) bsum, sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_iq1_s_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq1_s * xq = (const block_iq1_s *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const int8_t * q8    = yq[i].qs;
        int32_t        sumi  = 0;
        int32_t        sumi1 = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t h    = xq[i].qh[ib];
            const int32_t  ls   = 2 * ((h >> 12) & 7) + 1;
            const int32_t  sign = (h & 0x8000) ? -1 : 1;
            int32_t        lsum = 0;
            for (int l = 0; l < 4; ++l) {
                lsum += iq1_dot8(iq1_s_grid[xq[i].qs[4 * ib + l] | (((h >> (3 * l)) & 7) << 8)], q8);
                q8 += 8;
            }
            sumi += ls * lsum;
            // the offset needs only the codes' sums, which the block carries
            sumi1 += ls * sign * (yq[i].bsums[2 * ib] + yq[i].bsums[2 * ib + 1]);
        }
        const float d = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        sumf          = fmaf(d, fmaf((float) sumi1, 0.125f, (float) sumi), sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_iq1_m_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq1_m * xq = (const block_iq1_m *) x;
    const block_q8_K *  yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        uint16_t sc[4];
        memcpy(sc, xq[i].scales, sizeof(sc));
        const uint16_t hd = (uint16_t) ((sc[0] >> 12) | ((sc[1] >> 8) & 0x00f0) | ((sc[2] >> 4) & 0x0f00) |
                                        (sc[3] & 0xf000));
        const int8_t * q8    = yq[i].qs;
        int32_t        sumi  = 0;
        int32_t        sumi1 = 0;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const uint16_t w   = sc[ib / 2];
            const int      t   = 6 * (ib % 2);
            const int32_t  ls1 = 2 * ((w >> t) & 7) + 1;
            const int32_t  ls2 = 2 * ((w >> (t + 3)) & 7) + 1;
            int32_t        main[2] = { 0, 0 }, offset[2] = { 0, 0 };
            for (int l = 0; l < 4; ++l) {
                const int     hi   = (xq[i].qh[2 * ib + l / 2] >> (4 * (l % 2))) & 15;
                const int32_t sign = (hi & 8) ? -1 : 1;
                main[l / 2] += iq1_dot8(iq1_s_grid[xq[i].qs[4 * ib + l] | ((hi & 7) << 8)], q8);
                offset[l / 2] += sign * iq_sum8(q8);
                q8 += 8;
            }
            sumi += ls1 * main[0] + ls2 * main[1];
            sumi1 += ls1 * offset[0] + ls2 * offset[1];
        }
        const float d = TEVO_Q_H2F(hd) * yq[i].d;
        sumf          = fmaf(d, fmaf((float) sumi1, 0.125f, (float) sumi), sumf);
    }
    *s = sumf;
}

} // extern "C"
