#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// Portable kernels over the records of the 32-value formats (q4_0, iq4_nl,
// mxfp4, q8_0) and of q1_0, with activations quantized to q8_0: GEMV (one
// plain activation row) and GEMM (runs of 4-row activation records woven
// like the weights).
//
// One template per kind of record. Per step of W values of every row the
// integer sum is exact in 32 bits and meets the scales once: acc =
// fma(sumi * d_w, d_a, acc), blocks and steps in ascending order; that order
// fixes the float result the x86 twins are compared with. q1_0 has no
// integer sums: each value adds q * (d_a * d_w) with its sign.

#include "cpu/repack/repack.h"
#include "cpu/vec/tables.h"
#include "quants/iquants-tables.h"
#include "quants/quants.h"

#include <math.h>

#define H2F(h) tevo_table_f32_f16[(h)]

namespace {

// nibble decoders: the value of each nibble of a record byte and the scale of row j
struct dec_q4_0 {
    // stored XOR 8: the nibble read as a signed 4-bit number is q - 8
    static int lo(uint8_t b) { return (int8_t) (uint8_t) (b << 4) >> 4; }
    static int hi(uint8_t b) { return (int8_t) b >> 4; }
    template <typename REC> static float scale(const REC & w, int j) { return H2F(w.d[j]); }
};

struct dec_iq4_nl {
    static int lo(uint8_t b) { return iq4_nl_values[b & 0x0f]; }
    static int hi(uint8_t b) { return iq4_nl_values[b >> 4]; }
    template <typename REC> static float scale(const REC & w, int j) { return H2F(w.d[j]); }
};

struct dec_mxfp4 {
    static int lo(uint8_t b) { return fp4_e2m1_doubled_values[b & 0x0f]; }
    static int hi(uint8_t b) { return fp4_e2m1_doubled_values[b >> 4]; }
    // half of 2^(e - 127): undoes the doubled table
    template <typename REC> static float scale(const REC & w, int j) { return tevo_table_f32_e8m0_half[w.e[j]]; }
};

// nibble records of R rows woven W bytes: byte i of row j in step k is at
// k R W + j W + i, its low nibble value k W + i, its high one 16 + k W + i
template <typename REC, typename DEC, int R, int W>
void gemv_nibbles(int n, float * s, const void * vx, const void * vy, int nc) {
    const int          qk = QK8_0;
    const int          nb = n / qk;
    const REC *        x  = (const REC *) vx;
    const block_q8_0 * a  = (const block_q8_0 *) vy;

    for (int gx = 0; gx < nc / R; ++gx) {
        float       acc[R] = {};
        const REC * w      = x + (size_t) gx * nb;
        for (int l = 0; l < nb; ++l) {
            const float da = H2F(a[l].d);
            for (int k = 0; k < qk / (2 * W); ++k) {
                for (int j = 0; j < R; ++j) {
                    int sumi = 0;
                    for (int i = 0; i < W; ++i) {
                        const uint8_t b = w[l].qs[k * R * W + j * W + i];
                        sumi += DEC::lo(b) * a[l].qs[k * W + i] + DEC::hi(b) * a[l].qs[k * W + i + qk / 2];
                    }
                    acc[j] = fmaf((float) sumi * DEC::scale(w[l], j), da, acc[j]);
                }
            }
        }
        for (int j = 0; j < R; ++j) {
            s[gx * R + j] = acc[j];
        }
    }
}

template <typename REC, typename DEC, int R, int W>
void gemm_nibbles(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    const int            qk = QK8_0;
    const int            nb = n / qk;
    const REC *          x  = (const REC *) vx;
    const block_q8_0x4 * a0 = (const block_q8_0x4 *) vy;

    for (int y = 0; y < nr / 4; ++y) {
        const block_q8_0x4 * a = a0 + (size_t) y * nb;
        for (int gx = 0; gx < nc / R; ++gx) {
            float       acc[4][R] = {};
            const REC * w         = x + (size_t) gx * nb;
            for (int l = 0; l < nb; ++l) {
                for (int k = 0; k < qk / (2 * W); ++k) {
                    for (int m = 0; m < 4; ++m) {
                        const float da = H2F(a[l].d[m]);
                        for (int j = 0; j < R; ++j) {
                            int sumi = 0;
                            for (int i = 0; i < W; ++i) {
                                const uint8_t b  = w[l].qs[k * R * W + j * W + i];
                                const int     ai = k * 4 * W + m * W + i;
                                sumi += DEC::lo(b) * a[l].qs[ai] + DEC::hi(b) * a[l].qs[ai + 2 * qk];
                            }
                            acc[m][j] = fmaf((float) sumi * DEC::scale(w[l], j), da, acc[m][j]);
                        }
                    }
                }
            }
            for (int m = 0; m < 4; ++m) {
                for (int j = 0; j < R; ++j) {
                    s[(size_t) (4 * y + m) * bs + gx * R + j] = acc[m][j];
                }
            }
        }
    }
}

// q8_0 weights in block_q8_0x4 records (4 rows), W values per step
template <int W> void gemv_q8_0_4xW(int n, float * s, const void * vx, const void * vy, int nc) {
    const int            nb = n / QK8_0;
    const block_q8_0x4 * x  = (const block_q8_0x4 *) vx;
    const block_q8_0 *   a  = (const block_q8_0 *) vy;

    for (int gx = 0; gx < nc / 4; ++gx) {
        float                acc[4] = {};
        const block_q8_0x4 * w      = x + (size_t) gx * nb;
        for (int l = 0; l < nb; ++l) {
            const float da = H2F(a[l].d);
            for (int k = 0; k < QK8_0 / W; ++k) {
                for (int j = 0; j < 4; ++j) {
                    int sumi = 0;
                    for (int i = 0; i < W; ++i) {
                        sumi += w[l].qs[k * 4 * W + j * W + i] * a[l].qs[k * W + i];
                    }
                    acc[j] = fmaf((float) sumi * H2F(w[l].d[j]), da, acc[j]);
                }
            }
        }
        for (int j = 0; j < 4; ++j) {
            s[gx * 4 + j] = acc[j];
        }
    }
}

template <int W> void gemm_q8_0_4xW(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    const int            nb = n / QK8_0;
    const block_q8_0x4 * x  = (const block_q8_0x4 *) vx;
    const block_q8_0x4 * a0 = (const block_q8_0x4 *) vy;

    for (int y = 0; y < nr / 4; ++y) {
        const block_q8_0x4 * a = a0 + (size_t) y * nb;
        for (int gx = 0; gx < nc / 4; ++gx) {
            float                acc[4][4] = {};
            const block_q8_0x4 * w         = x + (size_t) gx * nb;
            for (int l = 0; l < nb; ++l) {
                for (int k = 0; k < QK8_0 / W; ++k) {
                    for (int m = 0; m < 4; ++m) {
                        const float da = H2F(a[l].d[m]);
                        for (int j = 0; j < 4; ++j) {
                            int sumi = 0;
                            for (int i = 0; i < W; ++i) {
                                sumi += w[l].qs[k * 4 * W + j * W + i] * a[l].qs[k * 4 * W + m * W + i];
                            }
                            acc[m][j] = fmaf((float) sumi * H2F(w[l].d[j]), da, acc[m][j]);
                        }
                    }
                }
            }
            for (int m = 0; m < 4; ++m) {
                for (int j = 0; j < 4; ++j) {
                    s[(size_t) (4 * y + m) * bs + gx * 4 + j] = acc[m][j];
                }
            }
        }
    }
}

// the sign bit of value v of row j in a block_q1_0x4 woven W bits at a time
template <int W> inline bool q1_0_bit(const block_q1_0x4 & w, int v, int j) {
    const int P = (v / W) * 4 * W + j * W + v % W;
    return (w.qs[P / 8] >> (P % 8)) & 1;
}

// q1_0: one weight block spans four activation blocks
template <int W> void gemv_q1_0_4xW(int n, float * s, const void * vx, const void * vy, int nc) {
    const int            nb = n / QK1_0;
    const block_q1_0x4 * x  = (const block_q1_0x4 *) vx;
    const block_q8_0 *   a  = (const block_q8_0 *) vy;

    for (int gx = 0; gx < nc / 4; ++gx) {
        float                acc[4] = {};
        const block_q1_0x4 * w      = x + (size_t) gx * nb;
        for (int l = 0; l < nb; ++l) {
            for (int v = 0; v < QK1_0; ++v) {
                const block_q8_0 & at = a[4 * l + v / QK8_0];
                const float        q  = (float) at.qs[v % QK8_0];
                for (int j = 0; j < 4; ++j) {
                    const float p = H2F(at.d) * H2F(w[l].d[j]);
                    acc[j]        = fmaf(q, q1_0_bit<W>(w[l], v, j) ? p : -p, acc[j]);
                }
            }
        }
        for (int j = 0; j < 4; ++j) {
            s[gx * 4 + j] = acc[j];
        }
    }
}

template <int W> void gemm_q1_0_4xW(int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc) {
    const int            nb  = n / QK1_0;
    const int            nba = n / QK8_0; // activation records per run
    const block_q1_0x4 * x   = (const block_q1_0x4 *) vx;
    const block_q8_0x4 * a0  = (const block_q8_0x4 *) vy;

    for (int y = 0; y < nr / 4; ++y) {
        const block_q8_0x4 * a = a0 + (size_t) y * nba;
        for (int gx = 0; gx < nc / 4; ++gx) {
            float                acc[4][4] = {};
            const block_q1_0x4 * w         = x + (size_t) gx * nb;
            for (int l = 0; l < nb; ++l) {
                for (int v = 0; v < QK1_0; ++v) {
                    const block_q8_0x4 & at = a[4 * l + v / QK8_0];
                    const int            u  = v % QK8_0;
                    for (int m = 0; m < 4; ++m) {
                        const float qm = (float) at.qs[(u / W) * 4 * W + m * W + u % W];
                        for (int j = 0; j < 4; ++j) {
                            const float p = H2F(w[l].d[j]) * (q1_0_bit<W>(w[l], v, j) ? qm : -qm);
                            acc[m][j]     = fmaf(H2F(at.d[m]), p, acc[m][j]);
                        }
                    }
                }
            }
            for (int m = 0; m < 4; ++m) {
                for (int j = 0; j < 4; ++j) {
                    s[(size_t) (4 * y + m) * bs + gx * 4 + j] = acc[m][j];
                }
            }
        }
    }
}

} // namespace

extern "C" {

// Portable GEMV kernels read one activation row; GEMM returns on fewer than 4 rows.
#define TEVO_REPACK_GEMV(name, ...)                  \
    void tevo_gemv_##name(TEVO_REPACK_MM_ARGS) {     \
        (void) bs;                                   \
        (void) nr;                                   \
        __VA_ARGS__(n, s, vx, vy, nc);               \
    }
#define TEVO_REPACK_GEMM(name, ...)                  \
    void tevo_gemm_##name(TEVO_REPACK_MM_ARGS) {     \
        if (nr < 4) {                                \
            return;                                  \
        }                                            \
        __VA_ARGS__(n, s, bs, vx, vy, nr, nc);       \
    }

TEVO_REPACK_GEMV(q4_0_4x4_q8_0, gemv_nibbles<block_q4_0x4, dec_q4_0, 4, 4>)
TEVO_REPACK_GEMM(q4_0_4x4_q8_0, gemm_nibbles<block_q4_0x4, dec_q4_0, 4, 4>)
TEVO_REPACK_GEMV(q4_0_4x8_q8_0, gemv_nibbles<block_q4_0x4, dec_q4_0, 4, 8>)
TEVO_REPACK_GEMM(q4_0_4x8_q8_0, gemm_nibbles<block_q4_0x4, dec_q4_0, 4, 8>)
TEVO_REPACK_GEMV(q4_0_8x8_q8_0_generic, gemv_nibbles<block_q4_0x8, dec_q4_0, 8, 8>)
TEVO_REPACK_GEMM(q4_0_8x8_q8_0_generic, gemm_nibbles<block_q4_0x8, dec_q4_0, 8, 8>)
TEVO_REPACK_GEMV(iq4_nl_4x4_q8_0, gemv_nibbles<block_iq4_nlx4, dec_iq4_nl, 4, 4>)
TEVO_REPACK_GEMM(iq4_nl_4x4_q8_0, gemm_nibbles<block_iq4_nlx4, dec_iq4_nl, 4, 4>)
TEVO_REPACK_GEMV(iq4_nl_8x8_q8_0_generic, gemv_nibbles<block_iq4_nlx8, dec_iq4_nl, 8, 8>)
TEVO_REPACK_GEMM(iq4_nl_8x8_q8_0_generic, gemm_nibbles<block_iq4_nlx8, dec_iq4_nl, 8, 8>)
TEVO_REPACK_GEMV(mxfp4_4x4_q8_0, gemv_nibbles<block_mxfp4x4, dec_mxfp4, 4, 4>)
TEVO_REPACK_GEMM(mxfp4_4x4_q8_0, gemm_nibbles<block_mxfp4x4, dec_mxfp4, 4, 4>)
TEVO_REPACK_GEMV(mxfp4_8x8_q8_0_generic, gemv_nibbles<block_mxfp4x8, dec_mxfp4, 8, 8>)
TEVO_REPACK_GEMM(mxfp4_8x8_q8_0_generic, gemm_nibbles<block_mxfp4x8, dec_mxfp4, 8, 8>)
TEVO_REPACK_GEMV(q8_0_4x4_q8_0, gemv_q8_0_4xW<4>)
TEVO_REPACK_GEMM(q8_0_4x4_q8_0, gemm_q8_0_4xW<4>)
TEVO_REPACK_GEMV(q8_0_4x8_q8_0, gemv_q8_0_4xW<8>)
TEVO_REPACK_GEMM(q8_0_4x8_q8_0, gemm_q8_0_4xW<8>)
TEVO_REPACK_GEMV(q1_0_4x4_q8_0, gemv_q1_0_4xW<4>)
TEVO_REPACK_GEMM(q1_0_4x4_q8_0, gemm_q1_0_4xW<4>)
TEVO_REPACK_GEMV(q1_0_4x8_q8_0, gemv_q1_0_4xW<8>)
TEVO_REPACK_GEMM(q1_0_4x8_q8_0, gemm_q1_0_4xW<8>)

} // extern "C"
