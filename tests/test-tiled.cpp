// The tiled integer path of matrix products with K-quant and i-quant
// weights: the unpacked weight tiles against the dequantizers, every
// micro-kernel instance against its integer definition (to the bit), and
// MUL_MAT and MUL_MAT_ID over every eligible type against both the exact
// arithmetic of the path (rebuilt here from the unpacked tiles) and the
// engine's ordinary kernels, for 1 and 4 threads. Also the gate: the work
// size, the reference flag, the environment switches (each read once per
// process, so their cases run in child processes) and products without rows.
//
// This program sets TEVO_CPU_TILED_MM_FORCE=1 (unless the environment holds
// another value) so that products of 1 to 7 activation rows take the path too.

#include "cpu/ops/tiled.h"
#include "cpu/tiled/tiled.h"
#include "quant-test-helpers.h"
#include "quants/blocks.h"
#include "tevo-cpu.h"
#include "tevo.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const bool setup = [] {
    setenv("TEVO_CPU_TILED_MM_FORCE", "1", 0);
    tevo_cpu_init();
    return true;
}();

struct TypeCase {
    tevo_type      type;
    tiled_unpack_t unpack;
    int            sub;
    bool           mins;
    int            offset;
    bool           flag;
};

const TypeCase types[] = {
    { TEVO_TYPE_Q2_K, tiled_unpack_src0_q2_K, 16, true, 0, false },
    { TEVO_TYPE_Q3_K, tiled_unpack_src0_q3_K, 16, false, 4, true },
    { TEVO_TYPE_Q4_K, tiled_unpack_src0_q4_K, 32, true, 0, false },
    { TEVO_TYPE_Q5_K, tiled_unpack_src0_q5_K, 32, true, 0, false },
    { TEVO_TYPE_Q6_K, tiled_unpack_src0_q6_K, 16, false, 32, true },
    { TEVO_TYPE_IQ2_XXS, tiled_unpack_src0_iq2_xxs, 32, false, 128, true },
    { TEVO_TYPE_IQ2_XS, tiled_unpack_src0_iq2_xs, 16, false, 128, true },
    { TEVO_TYPE_IQ3_XXS, tiled_unpack_src0_iq3_xxs, 32, false, 128, true },
    { TEVO_TYPE_IQ1_S, tiled_unpack_src0_iq1_s, 32, false, 128, true },
    { TEVO_TYPE_IQ3_S, tiled_unpack_src0_iq3_s, 32, false, 128, true },
    { TEVO_TYPE_IQ2_S, tiled_unpack_src0_iq2_s, 16, false, 128, true },
    { TEVO_TYPE_IQ4_XS, tiled_unpack_src0_iq4_xs, 32, false, 128, false },
    { TEVO_TYPE_IQ1_M, tiled_unpack_src0_iq1_m, 16, false, 128, true },
};

const TypeCase & type_case(tevo_type t) {
    for (const TypeCase & c : types) {
        if (c.type == t) {
            return c;
        }
    }
    ADD_FAILURE() << "no case for " << tevo_type_name(t);
    return types[0];
}

template <typename T> struct aligned_free {
    void operator()(T * p) const { free(p); }
};
template <typename T> using aligned_ptr = std::unique_ptr<T, aligned_free<T>>;

// a tile record on a 64-byte boundary, filled with a poison byte
template <typename T> aligned_ptr<T> new_tile() {
    T * p = (T *) aligned_alloc(64, sizeof(T));
    memset((void *) p, 0x5A, sizeof(T));
    return aligned_ptr<T>(p);
}

// Rows of random weight blocks: random bytes (every code, grid index, sign
// and sub-block scale of these formats is valid) under random half scales
// between 1/64 and 1/32 (iq1_m keeps its half in the top nibbles of its four
// scale words).
std::vector<uint8_t> random_weights(tevo_type t, int64_t K, int64_t rows, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> scale(1.0f / 64, 1.0f / 32);
    const size_t                          bs = tevo_type_size(t);
    std::vector<uint8_t>                  q  = qt::random_bytes(tevo_row_size(t, K) * (size_t) rows, rng);
    for (size_t b = 0; b < q.size() / bs; ++b) {
        uint8_t * blk = q.data() + b * bs;
        if (t == TEVO_TYPE_IQ1_M) {
            const uint16_t h = qt::half_bits(scale(rng));
            for (int j = 0; j < 4; ++j) {
                uint16_t word;
                memcpy(&word, blk + 48 + 2 * j, 2);
                word = (uint16_t) ((word & 0x0fff) | (((h >> (4 * j)) & 15) << 12));
                memcpy(blk + 48 + 2 * j, &word, 2);
            }
            continue;
        }
        for (int off : qt::half_scale_fields(t).off) {
            if (off >= 0) {
                qt::put_half(blk + off, scale(rng));
            }
        }
    }
    return q;
}

// ---------------------------------------------------------------------------
// the exact arithmetic of the path, from the unpacked tiles

// one weight row unpacked block by block: signed values, scales, mins
struct UnpackedRow {
    std::vector<int>   w;      // value - offset
    std::vector<int>   scales; // NSUB per block
    std::vector<int>   mins;
    std::vector<float> d, dmin;
};

UnpackedRow unpack_row(const TypeCase & tc, const uint8_t * row, int64_t n_blocks) {
    static aligned_ptr<tiled_tile_src0> A    = new_tile<tiled_tile_src0>();
    const int                           nsub = 256 / tc.sub;
    const size_t                        bs   = tevo_type_size(tc.type);
    UnpackedRow                         u;
    u.w.resize((size_t) (n_blocks * 256));
    u.scales.resize((size_t) (n_blocks * nsub));
    u.mins.resize((size_t) (n_blocks * nsub));
    u.d.resize((size_t) n_blocks);
    u.dmin.resize((size_t) n_blocks);
    for (int64_t b = 0; b < n_blocks; ++b) {
        tc.unpack(row + b * bs, 1, 1, A.get(), 1);
        int * w = u.w.data() + b * 256;
        for (int v = 0; v < 256; ++v) {
            w[v] = (int) A->qs[v] - tc.offset;
        }
        for (int j = 0; j < nsub; ++j) {
            u.scales[(size_t) (b * nsub + j)] = A->scales[j];
            u.mins[(size_t) (b * nsub + j)]   = tc.mins ? A->mins[j] : 0;
        }
        u.d[(size_t) b]    = A->d[0];
        u.dmin[(size_t) b] = tc.mins ? A->dmin[0] : 0.0f;
    }
    return u;
}

// t = d0 * isum; u = -dmin * minsum + t (fused); out = u * d1 + out (fused)
// per block in order: what every output of the path is, to the bit. Single-
// threaded test arithmetic, left out of the race detector's bookkeeping,
// which would make it the slowest part of the test.
__attribute__((no_sanitize("thread"))) float exact_dot(const TypeCase & tc, const UnpackedRow & u, const block_q8_K * a, int64_t n_blocks) {
    const int   nsub = 256 / tc.sub;
    const int * w    = u.w.data();
    float       acc  = 0.0f;
    for (int64_t b = 0; b < n_blocks; ++b) {
        const int8_t * q      = a[b].qs;
        int64_t        isum   = 0;
        int64_t        minsum = 0;
        for (int j = 0; j < nsub; ++j) {
            int64_t s = 0, bs = 0;
            for (int t = j * tc.sub; t < (j + 1) * tc.sub; ++t) {
                s  += (int64_t) w[b * 256 + t] * q[t];
                bs += q[t];
            }
            isum   += s * u.scales[(size_t) (b * nsub + j)];
            minsum += bs * u.mins[(size_t) (b * nsub + j)];
        }
        volatile float t = u.d[(size_t) b] * (float) isum;
        float          v = t;
        if (tc.mins) {
            v = std::fma(-u.dmin[(size_t) b], (float) minsum, (float) t);
        }
        acc = std::fma(v, a[b].d, acc);
    }
    return acc;
}

// sum of |w a| over the dequantized values: the scale of rounding errors
__attribute__((no_sanitize("thread"))) double magnitude(const float * w, const block_q8_K * a, int64_t K) {
    double m = 0.0;
    for (int64_t i = 0; i < K; ++i) {
        m += std::fabs((double) w[i] * (double) a[i / 256].d * (double) a[i / 256].qs[i % 256]);
    }
    return m;
}

// the expected outputs of one product: exact bits and the tolerance of
// the ordinary path's result
struct Expected {
    std::vector<float>  exact;
    std::vector<double> tol;
};

// Compares without a gtest macro per element (the sanitizer builds run
// these loops unoptimised); reports the first mismatch.
void check_outputs(const std::vector<float> & got, const std::vector<float> & ordinary, const Expected & e,
                   const std::string & what) {
    ASSERT_EQ(got.size(), e.exact.size());
    for (size_t o = 0; o < got.size(); ++o) {
        if (got[o] != e.exact[o]) {
            FAIL() << what << " output " << o << ": " << got[o] << " but the path's arithmetic gives " << e.exact[o];
        }
        if (!(std::fabs((double) got[o] - (double) ordinary[o]) <= e.tol[o])) {
            FAIL() << what << " output " << o << ": " << got[o] << " but the ordinary kernels give " << ordinary[o];
        }
    }
}

std::vector<block_q8_K> to_q8_K(const float * x, int64_t K) {
    std::vector<block_q8_K> out((size_t) (K / 256));
    tevo_get_type_traits_cpu(TEVO_TYPE_Q8_K)->from_float(x, out.data(), K);
    return out;
}

struct graph_ctx {
    tevo_context * ctx;
    graph_ctx() {
        tevo_init_params p = { 16u << 20, nullptr, false };
        ctx                = tevo_init(p);
    }
    ~graph_ctx() { tevo_free(ctx); }
};

// the node computed alone with nt threads; use_ref takes the ordinary path
std::vector<float> compute(tevo_context * ctx, tevo_tensor * out, int nt, bool use_ref) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    std::fill((float *) out->data, (float *) out->data + tevo_nelements(out), NAN);
    tevo_cplan plan = tevo_graph_plan(gf, nt, nullptr);
    // one buffer for every run: fresh pages per run would cost more than
    // the products
    static std::vector<uint8_t> work;
    if (work.size() < plan.work_size + 64) {
        work.resize(plan.work_size + 64);
    }
    plan.work_data = work.data();
    plan.use_ref   = use_ref;
    EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
    return std::vector<float>((float *) out->data, (float *) out->data + tevo_nelements(out));
}

tevo_tensor * weights(tevo_context * ctx, tevo_type t, int64_t K, int64_t M, int64_t planes,
                      const std::vector<uint8_t> & q) {
    tevo_tensor * w = tevo_new_tensor_3d(ctx, t, K, M, planes);
    EXPECT_EQ(tevo_nbytes(w), q.size());
    memcpy(w->data, q.data(), q.size());
    return w;
}

void fill_uniform(tevo_tensor * x, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int64_t i = 0; i < tevo_nelements(x); ++i) {
        ((float *) x->data)[i] = dist(rng);
    }
}

// ---------------------------------------------------------------------------
// weight tiles

// Rebuilding every weight from its tile, d * scale * (byte - offset) - dmin
// * min, gives the dequantizer's value; the bytes stay in the ranges that
// keep the kernels' 16-bit pair sums from saturating. Rows and blocks land
// at the indices of both arrangements.
TEST(TiledUnpack, EveryTypeRebuildsTheDequantizedWeights) {
    struct Arrangement {
        int32_t  rows;
        uint64_t blocks;
    };
    const Arrangement arrangements[] = { { 1, 1 }, { 37, 1 }, { 256, 1 }, { 16, 3 }, { 5, 2 } };
    const int64_t     K              = 3 * 256;
    for (const TypeCase & tc : types) {
        SCOPED_TRACE(tevo_type_name(tc.type));
        const int64_t              n_rows = 256;
        const std::vector<uint8_t> q      = random_weights(tc.type, K, n_rows, 7);
        const std::vector<float>   w      = qt::dequantize(tc.type, q, K * n_rows);
        const int                  nsub   = 256 / tc.sub;
        for (const Arrangement & ar : arrangements) {
            SCOPED_TRACE("rows " + std::to_string(ar.rows) + " blocks " + std::to_string(ar.blocks));
            aligned_ptr<tiled_tile_src0> A = new_tile<tiled_tile_src0>();
            tc.unpack(q.data(), (uint64_t) (K / 256), ar.rows, A.get(), ar.blocks);
            for (int32_t r = 0; r < ar.rows; ++r) {
                for (uint64_t b = 0; b < ar.blocks; ++b) {
                    const size_t rb   = (size_t) r * ar.blocks + b;
                    const float  d    = A->d[b * 16 + (size_t) r];
                    const float  dmin = A->dmin[b * 16 + (size_t) r];
                    double       wmax = 0.0;
                    for (int v = 0; v < 256; ++v) {
                        wmax = std::max(wmax, std::fabs((double) w[(size_t) (r * K + (int64_t) b * 256 + v)]));
                    }
                    for (int v = 0; v < 256; ++v) {
                        const int    byte = A->qs[rb * 256 + (size_t) v];
                        const int    j    = v / tc.sub;
                        const double got  = (double) d * A->scales[rb * nsub + (size_t) j] * (byte - tc.offset) -
                                           (tc.mins ? (double) dmin * A->mins[rb * nsub + (size_t) j] : 0.0);
                        const double want = w[(size_t) (r * K + (int64_t) b * 256 + v)];
                        // the kernels' pair sums cannot saturate: |w| <= 64 for
                        // the flipped kernels, bytes <= 127 for the unsigned
                        // ones; scales fit in 16 signed bits
                        const bool in_range = (tc.flag ? std::abs(byte - tc.offset) <= 64 : !tc.mins || byte <= 127) &&
                                              std::abs(A->scales[rb * nsub + (size_t) j]) <= 32767;
                        if (!(std::fabs(got - want) <= 1e-6 * wmax) || !in_range) {
                            FAIL() << "row " << r << " block " << b << " value " << v << ": " << got << " vs " << want
                                   << ", byte " << byte << ", scale " << A->scales[rb * nsub + (size_t) j];
                        }
                    }
                }
            }
        }
    }
}

TEST(TiledUnpack, NoRowsLeavesTheTileAndTooManyRowsAbort) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const std::vector<uint8_t>   q = random_weights(TEVO_TYPE_Q4_K, 256, 1, 1);
    aligned_ptr<tiled_tile_src0> A = new_tile<tiled_tile_src0>();
    tiled_unpack_src0_q4_K(q.data(), 1, 0, A.get(), 1);
    for (size_t i = 0; i < sizeof(tiled_tile_src0); ++i) {
        ASSERT_EQ(((const uint8_t *) A.get())[i], 0x5A) << "byte " << i;
    }
    EXPECT_DEATH(tiled_unpack_src0_q4_K(q.data(), 0, 257, A.get(), 1),
                 "tevo/src/tevo-cpu/tiled/tiled:[0-9]+: TEVO_ASSERT\\(n_rows <= TILED_TILE_ROWS\\) failed");
    std::vector<const void *> rows(257, q.data());
    aligned_ptr<tiled_tile_src1> B = new_tile<tiled_tile_src1>();
    EXPECT_DEATH(tiled_gather_src1(rows.data(), 257, B.get(), 0, 1), "n_rows <= TILED_TILE_ROWS");
}

// ---------------------------------------------------------------------------
// activation tiles and the store

TEST(TiledTiles, GatherPadsFlipsAndStoresTransposed) {
    std::mt19937             rng(3);
    std::vector<block_q8_K>  blocks(3 * 17);
    for (block_q8_K & b : blocks) {
        std::vector<float> x = qt::gaussian_row(256, rng);
        tevo_get_type_traits_cpu(TEVO_TYPE_Q8_K)->from_float(x.data(), &b, 256);
    }
    blocks[4].bsums[5] = -300;
    std::vector<const void *> rows;
    for (int c = 0; c < 17; ++c) {
        rows.push_back(&blocks[(size_t) c * 3]);
    }
    aligned_ptr<tiled_tile_src1> B = new_tile<tiled_tile_src1>();

    // one block per row: 17 rows, zero-filled up to 32
    tiled_gather_src1(rows.data(), 17, B.get(), 1, 1);
    for (int c = 0; c < 32; ++c) {
        const block_q8_K * x = c < 17 ? &blocks[(size_t) c * 3 + 1] : nullptr;
        EXPECT_EQ(B->d[c], x ? x->d : 0.0f) << c;
        for (int l = 0; l < 16; ++l) {
            EXPECT_EQ(B->bsums[l * 256 + c], x ? x->bsums[l] : 0) << c;
        }
        for (int v = 0; v < 256; ++v) {
            ASSERT_EQ(B->qs[c * 256 + v], x ? x->qs[v] : 0) << c;
        }
    }
    // several blocks per row: block b of row c at (c * n + b) * 256, sums at
    // (b * 16 + l) * 16 + c, scales at b * 16 + c
    tiled_gather_src1(rows.data(), 3, B.get(), 0, 2);
    EXPECT_EQ(B->bsums[(1 * 16 + 5) * 16 + 1], -300);
    EXPECT_EQ(B->d[1 * 16 + 2], blocks[2 * 3 + 1].d);
    EXPECT_EQ(memcmp(B->qs + (2 * 2 + 1) * 256, blocks[2 * 3 + 1].qs, 256), 0);
    EXPECT_EQ(B->d[0 * 16 + 3], 0.0f);

    // the flip turns a into a + 128 and back
    const int8_t before = B->qs[0];
    tiled_repack_src1(B.get(), 0, 2, false);
    EXPECT_EQ(B->qs[0], before);
    tiled_repack_src1(B.get(), 0, 2, true);
    EXPECT_EQ((uint8_t) B->qs[0], (uint8_t) (before + 128));
    tiled_repack_src1(B.get(), 0, 2, true);
    EXPECT_EQ(B->qs[0], before);

    // the store writes n_rows floats of each of n_cols destination rows
    std::vector<float> out(256 * 256);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = (float) i;
    }
    for (int32_t nr : { 1, 8, 13, 37 }) {
        for (int32_t nc : { 1, 8, 19 }) {
            const size_t       stride = 40;
            std::vector<float> dst(stride * (size_t) nc + 8, -1.0f);
            tiled_store_dst(out.data(), nr, nc, dst.data(), stride);
            for (size_t i = 0; i < dst.size(); ++i) {
                const size_t c = i / stride, r = i % stride;
                const float  want = (c < (size_t) nc && r < (size_t) nr) ? out[r * 256 + c] : -1.0f;
                ASSERT_EQ(dst[i], want) << "rows " << nr << " cols " << nc << " at " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// micro-kernels

// The integer definition with every byte and scale random (saturating pair
// sums and wrapping 32-bit sums included) and the float steps in order.
template <int SUB, bool MINS, int OFFSET, bool FLAG> void check_microtile(std::mt19937 & rng, int32_t n_blocks) {
    SCOPED_TRACE("instance " + std::to_string(SUB) + "," + std::to_string(MINS) + "," + std::to_string(OFFSET) + "," +
                 std::to_string(FLAG) + " blocks " + std::to_string(n_blocks));
    constexpr int                NSUB = 256 / SUB;
    aligned_ptr<tiled_tile_src0> A    = new_tile<tiled_tile_src0>();
    aligned_ptr<tiled_tile_src1> B    = new_tile<tiled_tile_src1>();
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> i32(INT32_MIN, INT32_MAX);
    std::uniform_real_distribution<float> f(-2.0f, 2.0f);
    for (uint8_t & v : A->qs) v = (uint8_t) byte(rng);
    for (int8_t & v : B->qs) v = (int8_t) byte(rng);
    for (int32_t & v : A->scales) v = i32(rng);
    for (int32_t & v : A->mins) v = i32(rng);
    for (int32_t & v : B->bsums) v = i32(rng) >> 12;
    for (float & v : A->d) v = f(rng);
    for (float & v : A->dmin) v = f(rng);
    for (float & v : B->d) v = f(rng);

    const int32_t row0 = n_blocks == 1 ? 32 : 0, col0 = n_blocks == 1 ? 16 : 0;
    const int32_t block = n_blocks == 1 ? 5 : n_blocks - 1; // ignored with one block
    const int     b     = n_blocks == 1 ? 0 : block;

    std::vector<float> out(256 * 256);
    for (float & v : out) v = f(rng);
    std::vector<float> want = out;

    for (int i = 0; i < 16; ++i) {
        for (int k = 0; k < 16; ++k) {
            const int       r  = row0 + i, c = col0 + k;
            const size_t    rb = (size_t) r * n_blocks + b;
            const uint8_t * q  = A->qs + rb * 256;
            const int8_t *  a  = B->qs + ((size_t) c * n_blocks + b) * 256;
            uint32_t        isum = 0;
            for (int p = 0; p < 128; ++p) {
                int prod[2];
                for (int e = 0; e < 2; ++e) {
                    const int t = 2 * p + e;
                    int       u, s;
                    if (FLAG) {
                        u = (uint8_t) a[t];
                        s = (int8_t) (uint8_t) (q[t] - OFFSET);
                    } else if (OFFSET == 128) {
                        const int w = (int8_t) (q[t] ^ 0x80);
                        u           = w < 0 ? (uint8_t) -w : w;
                        s           = w > 0 ? a[t] : w < 0 ? (int8_t) -a[t] : 0;
                    } else {
                        u = q[t];
                        s = a[t];
                    }
                    prod[e] = u * s;
                }
                const int pair = std::min(32767, std::max(-32768, prod[0] + prod[1]));
                const int j    = (2 * p) / SUB;
                isum += (uint32_t) ((int32_t) (int16_t) A->scales[rb * NSUB + (size_t) j] * pair);
            }
            uint32_t minsum = 0;
            if (MINS) {
                for (int j = 0; j < NSUB; ++j) {
                    auto bsum = [&](int l) {
                        return B->bsums[n_blocks == 1 ? l * 256 + c : (b * 16 + l) * 16 + c];
                    };
                    const int32_t bs = SUB == 16 ? bsum(j) : (int32_t) ((uint32_t) bsum(2 * j) + (uint32_t) bsum(2 * j + 1));
                    minsum += (uint32_t) A->mins[rb * NSUB + (size_t) j] * (uint32_t) bs;
                }
            }
            if (FLAG) {
                isum -= (uint32_t) A->mins[rb * NSUB];
            }
            volatile float t = A->d[b * 16 + r] * (float) (int32_t) isum;
            float          u = t;
            if (MINS) {
                u = std::fma(-A->dmin[b * 16 + r], (float) (int32_t) minsum, (float) t);
            }
            want[(size_t) r * 256 + (size_t) c] = std::fma(u, B->d[b * 16 + c], want[(size_t) r * 256 + (size_t) c]);
        }
    }
    tiled_run_microtile<SUB, MINS, OFFSET, FLAG>(A.get(), B.get(), row0, col0, n_blocks, block, out.data(), 256);
    for (size_t i = 0; i < out.size(); ++i) {
        uint32_t g, w;
        memcpy(&g, &out[i], 4);
        memcpy(&w, &want[i], 4);
        ASSERT_EQ(g, w) << "row " << i / 256 << " column " << i % 256 << ": " << out[i] << " vs " << want[i];
    }
}

TEST(TiledMicrotile, EveryInstanceMatchesItsIntegerDefinition) {
    std::mt19937 rng(11);
    for (int32_t nb : { 1, 2, 3 }) {
        check_microtile<32, true, 0, false>(rng, nb);
        check_microtile<32, false, 128, false>(rng, nb);
        check_microtile<32, false, 128, true>(rng, nb);
        check_microtile<16, false, 128, true>(rng, nb);
        check_microtile<16, false, 32, true>(rng, nb);
        check_microtile<16, false, 4, true>(rng, nb);
        check_microtile<16, true, 0, false>(rng, nb);
    }
}

// The correction equals what the flipped activations add: an all-offset
// row gives 0, and flip + correction reproduce the unflipped product.
TEST(TiledMicrotile, FlippedActivationsWithTheCorrectionGiveTheSignedProduct) {
    std::mt19937                       rng(5);
    std::uniform_int_distribution<int> wv(-32, 31), av(-127, 127), sv(-63, 63);
    aligned_ptr<tiled_tile_src0>       A = new_tile<tiled_tile_src0>();
    aligned_ptr<tiled_tile_src1>       B = new_tile<tiled_tile_src1>();
    for (int r = 0; r < 16; ++r) {
        for (int v = 0; v < 256; ++v) {
            A->qs[r * 256 + v] = (uint8_t) (r == 3 ? 32 : wv(rng) + 32);
        }
        for (int j = 0; j < 16; ++j) A->scales[r * 16 + j] = sv(rng);
        A->d[r] = 1.0f;
    }
    for (int c = 0; c < 16; ++c) {
        for (int v = 0; v < 256; ++v) B->qs[c * 256 + v] = (int8_t) av(rng);
        B->d[c] = 1.0f;
    }
    std::vector<int8_t> plain(B->qs, B->qs + 16 * 256);
    tiled_repack_src0<16>(A.get(), 16, 1, 32, true);
    EXPECT_EQ(A->mins[3 * 16], 0);
    tiled_repack_src1(B.get(), 0, 1, true);
    std::vector<float> out(256 * 256, 0.0f);
    tiled_run_microtile<16, false, 32, true>(A.get(), B.get(), 0, 0, 1, 0, out.data(), 256);
    for (int r = 0; r < 16; ++r) {
        for (int c = 0; c < 16; ++c) {
            int64_t s = 0;
            for (int v = 0; v < 256; ++v) {
                s += (int64_t) A->scales[r * 16 + v / 16] * (A->qs[r * 256 + v] - 32) * plain[(size_t) (c * 256 + v)];
            }
            ASSERT_EQ(out[(size_t) (r * 256 + c)], (float) s) << r << "," << c;
        }
    }
}

// ---------------------------------------------------------------------------
// MUL_MAT

struct MatCase {
    int64_t K, M;      // weight row length and rows
    int64_t N, planes; // activation rows per plane, planes (weights broadcast)
};

// every type and shape: the tiled result is the path's exact arithmetic
// (so the path was taken, and the same with 1 and 4 threads) and within a
// few ulp of the sum of magnitudes of the ordinary kernels' result
TEST(TiledMulMat, EveryTypeAndShapeMatchesTheExactPathAndTheOrdinaryKernels) {
    // K-slices of 3, 2 and 1 blocks in the narrow schedule; the 100-row
    // products take the wide one with 1 thread and the narrow one with 4
    const MatCase cases[] = {
        { 768, 48, 1, 1 },   { 768, 48, 7, 1 },    { 768, 48, 8, 1 },  { 768, 48, 9, 1 },
        { 256, 48, 100, 1 }, { 512, 37, 1, 1 },    { 512, 37, 9, 1 },  { 256, 37, 100, 1 },
        { 256, 272, 20, 1 }, { 1280, 20, 16, 1 },  { 1280, 20, 17, 1 }, { 512, 24, 9, 3 },
    };
    for (const TypeCase & tc : types) {
        SCOPED_TRACE(tevo_type_name(tc.type));
        for (const MatCase & mc : cases) {
            SCOPED_TRACE("K " + std::to_string(mc.K) + " M " + std::to_string(mc.M) + " N " + std::to_string(mc.N) +
                         " planes " + std::to_string(mc.planes));
            const std::vector<uint8_t> q  = random_weights(tc.type, mc.K, mc.M, (uint32_t) (mc.M + mc.K));
            const std::vector<float>   wf = qt::dequantize(tc.type, q, mc.K * mc.M);
            graph_ctx                  g;
            tevo_tensor *              w = weights(g.ctx, tc.type, mc.K, mc.M, 1, q);
            tevo_tensor *              x = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, mc.K, mc.N, mc.planes);
            fill_uniform(x, 9);
            tevo_tensor * y = tevo_mul_mat(g.ctx, w, x);

            const int64_t            nb = mc.K / 256;
            std::vector<UnpackedRow> wrows;
            for (int64_t m = 0; m < mc.M; ++m) {
                wrows.push_back(unpack_row(tc, q.data() + m * tevo_row_size(tc.type, mc.K), nb));
            }
            Expected e;
            for (int64_t n = 0; n < mc.N * mc.planes; ++n) {
                const std::vector<block_q8_K> a = to_q8_K((const float *) x->data + n * mc.K, mc.K);
                for (int64_t m = 0; m < mc.M; ++m) {
                    e.exact.push_back(exact_dot(tc, wrows[(size_t) m], a.data(), nb));
                    e.tol.push_back(16.0 * FLT_EPSILON * magnitude(wf.data() + m * mc.K, a.data(), mc.K));
                }
            }
            const std::vector<float> ordinary = compute(g.ctx, y, 1, true);
            for (int nt : { 1, 4 }) {
                check_outputs(compute(g.ctx, y, nt, false), ordinary, e, "threads " + std::to_string(nt));
            }
        }
    }
}

// Activations already in q8_K at strides of their own (a view that skips a
// row of every plane) are read where they are.
TEST(TiledMulMat, StridedQ8KActivationsAreReadAtTheirStrides) {
    const TypeCase &           tc = type_case(TEVO_TYPE_Q4_K);
    const int64_t              K = 512, M = 32, N = 9, P = 2;
    const std::vector<uint8_t> q = random_weights(tc.type, K, M, 2);
    graph_ctx                  g;
    tevo_tensor *              w    = weights(g.ctx, tc.type, K, M, 1, q);
    tevo_tensor *              full = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_Q8_K, K, N + 1, P);
    std::mt19937               rng(4);
    for (int64_t r = 0; r < (N + 1) * P; ++r) {
        std::vector<float> x = qt::gaussian_row(K, rng);
        tevo_get_type_traits_cpu(TEVO_TYPE_Q8_K)->from_float(x.data(), (char *) full->data + r * full->nb[1], K);
    }
    tevo_tensor * x = tevo_view_3d(g.ctx, full, K, N, P, full->nb[1], full->nb[2], 0);
    tevo_tensor * y = tevo_mul_mat(g.ctx, w, x);
    for (int nt : { 1, 4 }) {
        const std::vector<float> got = compute(g.ctx, y, nt, false);
        for (int64_t p = 0; p < P; ++p) {
            for (int64_t n = 0; n < N; ++n) {
                const block_q8_K * a = (const block_q8_K *) ((const char *) full->data + n * full->nb[1] + p * full->nb[2]);
                for (int64_t m = 0; m < M; ++m) {
                    const UnpackedRow u = unpack_row(tc, q.data() + m * tevo_row_size(tc.type, K), K / 256);
                    ASSERT_EQ(got[(size_t) ((p * N + n) * M + m)], exact_dot(tc, u, a, K / 256))
                        << "threads " << nt << " plane " << p << " row " << n << " weight row " << m;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// MUL_MAT_ID

// Experts routed 22, 12, 3, 23 and 0 rows (wide, narrow, forced small,
// wide and none), 72 weight rows (a 64-row group and an 8-row one), with
// one activation row per slot and with one shared by the slots.
TEST(TiledMulMatId, EveryTypeMatchesTheExactPathAndTheOrdinaryKernels) {
    const int64_t K = 512, M = 72, E = 5, n_used = 2, T = 30;
    for (const TypeCase & tc : types) {
        SCOPED_TRACE(tevo_type_name(tc.type));
        const std::vector<uint8_t> q = random_weights(tc.type, K, M * E, 21);
        std::vector<UnpackedRow>   wrows;
        for (int64_t m = 0; m < M * E; ++m) {
            wrows.push_back(unpack_row(tc, q.data() + m * tevo_row_size(tc.type, K), K / 256));
        }
        const std::vector<float> wf = qt::dequantize(tc.type, q, K * M * E);
        for (int64_t ne11 : { n_used, (int64_t) 1 }) {
            SCOPED_TRACE("activation rows per token " + std::to_string(ne11));
            graph_ctx     g;
            tevo_tensor * w   = weights(g.ctx, tc.type, K, M, E, q);
            tevo_tensor * x   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, K, ne11, T);
            tevo_tensor * ids = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, n_used, T);
            fill_uniform(x, 12);
            for (int64_t t = 0; t < T; ++t) {
                ((int32_t *) ids->data)[t * n_used + 0] = t < 22 ? 0 : 3;
                ((int32_t *) ids->data)[t * n_used + 1] = t < 12 ? 1 : t < 15 ? 2 : 3;
            }
            tevo_tensor * y = tevo_mul_mat_id(g.ctx, w, x, ids);
            Expected      e;
            for (int64_t t = 0; t < T; ++t) {
                for (int64_t s = 0; s < n_used; ++s) {
                    const int64_t                 ex = ((int32_t *) ids->data)[t * n_used + s];
                    const std::vector<block_q8_K> a  = to_q8_K((const float *) x->data + ((s % ne11) + ne11 * t) * K, K);
                    for (int64_t m = 0; m < M; ++m) {
                        e.exact.push_back(exact_dot(tc, wrows[(size_t) (ex * M + m)], a.data(), K / 256));
                        e.tol.push_back(16.0 * FLT_EPSILON * magnitude(wf.data() + (ex * M + m) * K, a.data(), K));
                    }
                }
            }
            const std::vector<float> ordinary = compute(g.ctx, y, 1, true);
            for (int nt : { 1, 4 }) {
                check_outputs(compute(g.ctx, y, nt, false), ordinary, e, "threads " + std::to_string(nt));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// the gate

struct no_alloc_ctx {
    tevo_context * ctx;
    no_alloc_ctx() {
        tevo_init_params p = { 64 * tevo_tensor_overhead(), nullptr, true };
        ctx                = tevo_init(p);
    }
    ~no_alloc_ctx() { tevo_free(ctx); }
};

TEST(TiledGate, WorkSizeOnlyForEligibleWeightsWithoutExtra) {
    no_alloc_ctx c;
    for (int t = 0; t < TEVO_TYPE_COUNT; ++t) {
        const tevo_type type = (tevo_type) t;
        if (tevo_type_size(type) == 0 || tevo_blck_size(type) == 0 || (256 % tevo_blck_size(type)) != 0) {
            continue;
        }
        SCOPED_TRACE(tevo_type_name(type));
        tevo_tensor * w    = tevo_new_tensor_2d(c.ctx, type, 256, 16);
        tevo_tensor * x    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 8);
        tevo_tensor * y    = tevo_mul_mat(c.ctx, w, x);
        const bool    elig = tiled_type_eligible(type);
        EXPECT_EQ(tevo_tiled_wdata_size(4, y), elig ? (size_t) 2097216 : (size_t) 0);
        w->extra = (void *) &c;
        EXPECT_EQ(tevo_tiled_wdata_size(4, y), (size_t) 0);
        w->extra = nullptr;
        tevo_reset(c.ctx);
    }
    int n = 0;
    for (const TypeCase & tc : types) {
        n += tiled_type_eligible(tc.type);
    }
    EXPECT_EQ(n, 13);
    EXPECT_FALSE(tiled_type_eligible(TEVO_TYPE_IQ4_NL));
    EXPECT_FALSE(tiled_type_eligible(TEVO_TYPE_Q8_K));
}

TEST(TiledGate, TheReferenceFlagRefusesBothEntriesButKeepsTheWorkSize) {
    no_alloc_ctx c;
    tevo_tensor * w   = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_Q4_K, 256, 16, 2);
    tevo_tensor * x   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 64);
    tevo_tensor * y   = tevo_mul_mat(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q4_K, 256, 16), x);
    tevo_tensor * xi  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 256, 1, 64);
    tevo_tensor * ids = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_I32, 1, 64);
    tevo_tensor * yi  = tevo_mul_mat_id(c.ctx, w, xi, ids);

    tevo_compute_params p = { 0, 1, 0, nullptr, nullptr, true };
    EXPECT_FALSE(tevo_compute_forward_mul_mat_tiled(&p, y));
    struct mmid_row_mapping rows[64] = {};
    EXPECT_FALSE(tevo_compute_forward_mul_mat_id_tiled(&p, yi, 0, 64, rows, nullptr));
    EXPECT_EQ(tevo_tiled_wdata_size(2, y), (size_t) (2 * 524288 + 64));
    EXPECT_EQ(tevo_tiled_wdata_size(2, yi), (size_t) (2 * 524288 + 64));
}

// Without activation rows or weight rows there is no chunk to hand out:
// the gate refuses (forced or not) and the product computes to its empty
// or zero-length result.
TEST(TiledGate, ProductsWithoutRowsAreRefused) {
    struct Empty {
        int64_t M, N, planes;
    };
    for (const Empty & e : { Empty{ 16, 0, 1 }, Empty{ 0, 8, 1 }, Empty{ 0, 0, 1 }, Empty{ 16, 8, 0 } }) {
        SCOPED_TRACE("M " + std::to_string(e.M) + " N " + std::to_string(e.N) + " planes " + std::to_string(e.planes));
        graph_ctx     g;
        tevo_tensor * w = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_Q4_K, 256, e.M);
        tevo_tensor * x = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 256, e.N, e.planes);
        tevo_tensor * y = tevo_mul_mat(g.ctx, w, x);
        tevo_compute_params p = { 0, 1, 0, nullptr, nullptr, false };
        EXPECT_FALSE(tevo_compute_forward_mul_mat_tiled(&p, y));
        for (int nt : { 1, 4 }) {
            EXPECT_TRUE(compute(g.ctx, y, nt, false).empty());
        }
    }
}

// 1 when a Q4_K product of n activation rows in each of `planes` planes
// took the tiled path (its result is the path's exact arithmetic), 0 when not
int took_tiled_path(int64_t n, int64_t planes = 1) {
    const TypeCase &           tc = type_case(TEVO_TYPE_Q4_K);
    const std::vector<uint8_t> q  = random_weights(tc.type, 256, 16, 3);
    graph_ctx                  g;
    tevo_tensor *              w = weights(g.ctx, tc.type, 256, 16, 1, q);
    tevo_tensor *              x = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 256, n, planes);
    fill_uniform(x, 5);
    const std::vector<float> got = compute(g.ctx, tevo_mul_mat(g.ctx, w, x), 1, false);
    for (int64_t r = 0; r < n * planes; ++r) {
        const std::vector<block_q8_K> a = to_q8_K((const float *) x->data + r * 256, 256);
        for (int64_t m = 0; m < 16; ++m) {
            if (got[(size_t) (r * 16 + m)] != exact_dot(tc, unpack_row(tc, q.data() + m * 144, 1), a.data(), 1)) {
                return 0;
            }
        }
    }
    return 1;
}

// MUL_MAT_ID with 7 tokens routed to expert 0 and 8 to expert 1: bit e set
// when expert e took the tiled path
int experts_on_tiled_path() {
    const TypeCase &           tc = type_case(TEVO_TYPE_Q4_K);
    const int64_t              T  = 15;
    const std::vector<uint8_t> q  = random_weights(tc.type, 256, 32, 8);
    graph_ctx                  g;
    tevo_tensor *              w   = weights(g.ctx, tc.type, 256, 16, 2, q);
    tevo_tensor *              x   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 256, 1, T);
    tevo_tensor *              ids = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, 1, T);
    fill_uniform(x, 6);
    for (int64_t t = 0; t < T; ++t) {
        ((int32_t *) ids->data)[t] = t < 7 ? 0 : 1;
    }
    const std::vector<float> got = compute(g.ctx, tevo_mul_mat_id(g.ctx, w, x, ids), 1, false);
    int                      on  = 3;
    for (int64_t t = 0; t < T; ++t) {
        const int                     e = t < 7 ? 0 : 1;
        const std::vector<block_q8_K> a = to_q8_K((const float *) x->data + t * 256, 256);
        for (int64_t m = 0; m < 16; ++m) {
            const UnpackedRow u = unpack_row(tc, q.data() + (e * 16 + m) * 144, 1);
            if (got[(size_t) (t * 16 + m)] != exact_dot(tc, u, a.data(), 1)) {
                on &= ~(1 << e);
            }
        }
    }
    return on;
}

// Each case in a fresh process: the switches are read once, at first use.
TEST(TiledGate, EnvironmentSwitchesAreReadOnceAsNumbers) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    struct Env {
        const char * enabled; // null: unset
        const char * force;
        int64_t      rows;
        int          tiled;
        int64_t      planes = 1;
    };
    const Env cases[] = {
        { nullptr, nullptr, 8, 1 }, { "0", nullptr, 8, 0 }, { "", nullptr, 8, 0 },   { "off", nullptr, 8, 0 },
        { "2", nullptr, 8, 1 },     { "-1", nullptr, 8, 1 }, { nullptr, nullptr, 7, 0 }, { nullptr, "2", 7, 0 },
        { nullptr, "1", 7, 1 },     { nullptr, " +1x", 1, 1 }, { nullptr, "0", 8, 1 },  { nullptr, nullptr, 1, 0, 64 },
    };
    for (const Env & e : cases) {
        SCOPED_TRACE(std::string("TEVO_CPU_TILED_MM=") + (e.enabled ? e.enabled : "(unset)") +
                     " TEVO_CPU_TILED_MM_FORCE=" + (e.force ? e.force : "(unset)") + " rows " + std::to_string(e.rows) + " planes " + std::to_string(e.planes));
        EXPECT_EXIT(
            {
                if (e.enabled) setenv("TEVO_CPU_TILED_MM", e.enabled, 1); else unsetenv("TEVO_CPU_TILED_MM");
                if (e.force) setenv("TEVO_CPU_TILED_MM_FORCE", e.force, 1); else unsetenv("TEVO_CPU_TILED_MM_FORCE");
                const int first = took_tiled_path(e.rows, e.planes);
                // later changes are not seen
                setenv("TEVO_CPU_TILED_MM", e.enabled && atoi(e.enabled) == 0 ? "1" : "0", 1);
                setenv("TEVO_CPU_TILED_MM_FORCE", e.force && atoi(e.force) == 1 ? "0" : "1", 1);
                const int again = took_tiled_path(e.rows, e.planes);
                exit(first == again ? first : 2);
            },
            testing::ExitedWithCode(e.tiled), "");
    }
}

// Each expert is judged by its own routed row count: without the force
// switch the expert of 7 rows goes the ordinary way and the one of 8 the
// tiled way; with it both go tiled.
TEST(TiledGate, EveryExpertIsJudgedByItsOwnRowCount) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            unsetenv("TEVO_CPU_TILED_MM_FORCE");
            exit(experts_on_tiled_path());
        },
        testing::ExitedWithCode(2), "");
    EXPECT_EXIT(
        {
            setenv("TEVO_CPU_TILED_MM_FORCE", "1", 1);
            exit(experts_on_tiled_path());
        },
        testing::ExitedWithCode(3), "");
}

} // namespace
