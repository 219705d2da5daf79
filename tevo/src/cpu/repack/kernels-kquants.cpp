#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// Portable kernels over the K-quant records (8 weight rows each) with
// activations quantized to q8_K: GEMV (one plain activation row) and GEMM
// (runs of block_q8_Kx4 records woven like the weights).
//
// Per step of 2 INTER values of every row the integer sum, sub-block scales
// included, is exact in 32 bits and meets the scales once: acc =
// fma(sumi * d_w, d_a, acc). The minimums of q4_K, q5_K and q2_K meet the
// activations only through their 16-value sums, once per block after its
// steps. Blocks and steps go in ascending order, which fixes the float
// result the x86 twins are compared with.

#include "cpu/repack/repack.h"
#include "cpu/vec/tables.h"

#include <math.h>

#define H2F(h) tevo_table_f32_f16[(h)]

namespace {

// The activations of one row of a GEMV (a plain block_q8_K) or of row m of a
// GEMM record woven W bytes: value e and the sum of values 16h..16h+15.
struct act_row {
    const block_q8_K * a;
    int8_t             q(int e) const { return a->qs[e]; }
    int                bsum(int h) const { return a->bsums[h]; }
    float              d() const { return a->d; }
};

template <int W> struct act_rec {
    const block_q8_Kx4 * a;
    int                  m;
    int8_t               q(int e) const { return a->qs[(4 * (e / W) + m) * W + e % W]; }
    int                  bsum(int h) const { return a->bsums[(h / 4) * 16 + m * 4 + h % 4]; }
    float                d() const { return a->d[m]; }
};

// ---------------------------------------------------------------------------
// q4_K and q5_K

// the 6-bit scales and mins of sub-block g of the 8 rows (index: the row)
inline void unpack_scales_k4(const uint8_t * scales, uint8_t sc[8][8], uint8_t mn[8][8]) {
    for (int g = 0; g < 8; ++g) {
        const uint8_t * q = scales + 12 * g;
        for (int j = 0; j < 8; ++j) {
            if (j < 4) {
                sc[g][j] = q[j] & 63;
                mn[g][j] = q[j + 4] & 63;
            } else {
                sc[g][j] = (uint8_t) ((q[j + 4] & 15) | ((q[j - 4] >> 6) << 4));
                mn[g][j] = (uint8_t) ((q[j + 4] >> 4) | ((q[j] >> 6) << 4));
            }
        }
    }
}

// One record against one activation row: adds its steps to sumf and its
// minimums to summ, for the 8 columns.
template <typename REC, bool Q5, int W, typename ACT>
inline void record_q45_K(const REC & w, const ACT & a, float * sumf, float * summ) {
    uint8_t sc[8][8], mn[8][8];
    unpack_scales_k4(w.scales, sc, mn);

    for (int k = 0; k < QK_K / (2 * W); ++k) {
        const int G = (k * W) / 32;
        const int o = (k * W) % 32;
        for (int j = 0; j < 8; ++j) {
            int sumi = 0;
            for (int i = 0; i < W; ++i) {
                const uint8_t b  = w.qs[(8 * k + j) * W + i];
                int           lo = b & 15;
                int           hi = b >> 4;
                if constexpr (Q5) {
                    const int     u  = o + i;
                    const uint8_t hb = w.qh[(8 * (u / W) + j) * W + u % W];
                    lo += 16 * ((hb >> (2 * G)) & 1);
                    hi += 16 * ((hb >> (2 * G + 1)) & 1);
                }
                sumi += lo * a.q(64 * G + o + i) * sc[2 * G][j] + hi * a.q(64 * G + 32 + o + i) * sc[2 * G + 1][j];
            }
            sumf[j] = fmaf((float) sumi * H2F(w.d[j]), a.d(), sumf[j]);
        }
    }
    for (int g = 0; g < 8; ++g) {
        for (int j = 0; j < 8; ++j) {
            const float t = (float) (mn[g][j] * (a.bsum(2 * g) + a.bsum(2 * g + 1))) * H2F(w.dmin[j]);
            summ[j]       = fmaf(t, a.d(), summ[j]);
        }
    }
}

// ---------------------------------------------------------------------------
// q6_K

// value e (-32..31) of row j of a q6_Kx8 record woven W bytes
template <int W> inline int q6_value(const block_q6_Kx8 & w, int e, int j) {
    const int h    = e / 128;
    const int r    = e % 128;
    const int b    = 64 * h + r % 64;
    const int u    = 32 * h + r % 32;
    const int low  = (w.ql[(8 * (b / W) + j) * W + b % W] >> (r < 64 ? 0 : 4)) & 15;
    const int high = (w.qh[(8 * (u / W) + j) * W + u % W] >> (2 * (r / 32))) & 3;
    return (low | (high << 4)) - 32;
}

template <int W, typename ACT> inline void record_q6_K(const block_q6_Kx8 & w, const ACT & a, float * acc) {
    for (int k = 0; k < (QK_K / 2) / W; ++k) {
        for (int j = 0; j < 8; ++j) {
            int sumi = 0;
            for (int i = 0; i < W; ++i) {
                const int b    = k * W + i; // ql byte: a low and a high nibble, 64 values apart
                const int e_lo = b < 64 ? b : b + 64;
                const int e_hi = e_lo + 64;
                sumi += q6_value<W>(w, e_lo, j) * a.q(e_lo) * w.scales[8 * (e_lo / 16) + j];
                sumi += q6_value<W>(w, e_hi, j) * a.q(e_hi) * w.scales[8 * (e_hi / 16) + j];
            }
            acc[j] = fmaf((float) sumi * H2F(w.d[j]), a.d(), acc[j]);
        }
    }
}

// ---------------------------------------------------------------------------
// q2_K

// scale byte t (low nibble scale, high nibble min) of row j
inline uint8_t q2_scale_byte(const block_q2_Kx8 & w, int t, int j) {
    return w.scales[16 * (t / 2) + 2 * j + t % 2];
}

template <typename ACT> inline void record_q2_K(const block_q2_Kx8 & w, const ACT & a, float * sumf, float * summ) {
    for (int k = 0; k < 8; ++k) {
        for (int j = 0; j < 8; ++j) {
            int sumi = 0;
            for (int i = 0; i < 8; ++i) {
                const int     b    = 8 * k + i;
                const uint8_t byte = w.qs[64 * k + 8 * j + i];
                for (int s4 = 0; s4 < 4; ++s4) {
                    const int e = 128 * (b / 32) + 32 * s4 + b % 32;
                    sumi += ((byte >> (2 * s4)) & 3) * a.q(e) * (q2_scale_byte(w, e / 16, j) & 15);
                }
            }
            sumf[j] = fmaf((float) sumi * H2F(w.d[j]), a.d(), sumf[j]);
        }
    }
    for (int q = 0; q < 8; ++q) {
        for (int j = 0; j < 8; ++j) {
            const int t = (q2_scale_byte(w, 2 * q, j) >> 4) * a.bsum(2 * q) +
                          (q2_scale_byte(w, 2 * q + 1, j) >> 4) * a.bsum(2 * q + 1);
            summ[j] = fmaf((float) t * H2F(w.dmin[j]), a.d(), summ[j]);
        }
    }
}

// ---------------------------------------------------------------------------
// the drivers over groups of 8 columns (and runs of 4 activation rows)

// every record kind through one signature: with or without a minimum term
template <typename REC, int W, typename ACT> struct record_fn;

template <int W, typename ACT> struct record_fn<block_q4_Kx8, W, ACT> {
    static void run(const block_q4_Kx8 & w, const ACT & a, float * f, float * m) {
        record_q45_K<block_q4_Kx8, false, W>(w, a, f, m);
    }
};
template <int W, typename ACT> struct record_fn<block_q5_Kx8, W, ACT> {
    static void run(const block_q5_Kx8 & w, const ACT & a, float * f, float * m) {
        record_q45_K<block_q5_Kx8, true, W>(w, a, f, m);
    }
};
template <int W, typename ACT> struct record_fn<block_q6_Kx8, W, ACT> {
    static void run(const block_q6_Kx8 & w, const ACT & a, float * f, float * m) {
        (void) m;
        record_q6_K<W>(w, a, f);
    }
};
template <int W, typename ACT> struct record_fn<block_q2_Kx8, W, ACT> {
    static void run(const block_q2_Kx8 & w, const ACT & a, float * f, float * m) { record_q2_K(w, a, f, m); }
};

template <typename REC, int W> void gemv_k(int n, float * s, const void * vx, const void * vy, int nc) {
    const int          nb = n / QK_K;
    const REC *        x  = (const REC *) vx;
    const block_q8_K * a  = (const block_q8_K *) vy;

    for (int gx = 0; gx < nc / 8; ++gx) {
        float       sumf[8] = {};
        float       summ[8] = {};
        const REC * w       = x + (size_t) gx * nb;
        for (int l = 0; l < nb; ++l) {
            record_fn<REC, W, act_row>::run(w[l], act_row{ &a[l] }, sumf, summ);
        }
        for (int j = 0; j < 8; ++j) {
            s[gx * 8 + j] = sumf[j] - summ[j];
        }
    }
}

template <typename REC, int W>
void gemm_k(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    const int            nb = n / QK_K;
    const REC *          x  = (const REC *) vx;
    const block_q8_Kx4 * a0 = (const block_q8_Kx4 *) vy;

    for (int y = 0; y < nr / 4; ++y) {
        const block_q8_Kx4 * a = a0 + (size_t) y * nb;
        for (int gx = 0; gx < nc / 8; ++gx) {
            float       sumf[4][8] = {};
            float       summ[4][8] = {};
            const REC * w          = x + (size_t) gx * nb;
            for (int l = 0; l < nb; ++l) {
                for (int m = 0; m < 4; ++m) {
                    record_fn<REC, W, act_rec<W>>::run(w[l], act_rec<W>{ &a[l], m }, sumf[m], summ[m]);
                }
            }
            for (int m = 0; m < 4; ++m) {
                for (int j = 0; j < 8; ++j) {
                    s[(size_t) (4 * y + m) * bs + gx * 8 + j] = sumf[m][j] - summ[m][j];
                }
            }
        }
    }
}

} // namespace

extern "C" {

// Portable GEMV kernels read one activation row; GEMM returns on fewer than 4 rows.
#define TEVO_REPACK_K_KERNELS(name, REC, W)                          \
    void tevo_gemv_##name(TEVO_REPACK_MM_ARGS) {                     \
        (void) bs;                                                   \
        (void) nr;                                                   \
        gemv_k<REC, W>(n, s, vx, vy, nc);                            \
    }                                                                \
    void tevo_gemm_##name(TEVO_REPACK_MM_ARGS) {                     \
        if (nr < 4) {                                                \
            return;                                                  \
        }                                                            \
        gemm_k<REC, W>(n, s, bs, vx, vy, nr, nc);                    \
    }

TEVO_REPACK_K_KERNELS(q4_K_8x4_q8_K, block_q4_Kx8, 4)
TEVO_REPACK_K_KERNELS(q4_K_8x8_q8_K_generic, block_q4_Kx8, 8)
TEVO_REPACK_K_KERNELS(q5_K_8x4_q8_K, block_q5_Kx8, 4)
TEVO_REPACK_K_KERNELS(q5_K_8x8_q8_K, block_q5_Kx8, 8)
TEVO_REPACK_K_KERNELS(q6_K_8x4_q8_K, block_q6_Kx8, 4)
TEVO_REPACK_K_KERNELS(q6_K_8x8_q8_K, block_q6_Kx8, 8)
TEVO_REPACK_K_KERNELS(q2_K_8x8_q8_K_generic, block_q2_Kx8, 8)

} // extern "C"
