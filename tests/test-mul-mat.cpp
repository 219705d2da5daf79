// Matrix multiplication on the CPU: MUL_MAT and MUL_MAT_ID over F32, F16 and
// BF16 weights against a double-precision reference, for odd shapes,
// non-contiguous src1, broadcasting over dimensions 2 and 3, and every
// thread count from 1 to 8 (results must be the same bits for all of them).

#include "cpu/impl.h"
#include "cpu/ops/ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

float read_value(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    const char * p = (const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
    switch (t->type) {
        case TEVO_TYPE_F32:  return *(const float *) p;
        case TEVO_TYPE_F16:  return tevo_fp16_to_fp32(*(const tevo_fp16_t *) p);
        case TEVO_TYPE_BF16: return tevo_bf16_to_fp32(*(const tevo_bf16_t *) p);
        default:             ADD_FAILURE() << "type"; return 0.0f;
    }
}

// the value src1 has after conversion to the weights' partner type
float as_partner(float v, tevo_type partner) {
    switch (partner) {
        case TEVO_TYPE_F16:  return tevo_fp16_to_fp32(tevo_fp32_to_fp16(v));
        case TEVO_TYPE_BF16: return tevo_bf16_to_fp32(tevo_fp32_to_bf16(v));
        default:             return v;
    }
}

// fills every element (through the strides) with a value in [-1, 1]
void fill(tevo_tensor * t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int64_t i3 = 0; i3 < t->ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
            for (int64_t i1 = 0; i1 < t->ne[1]; ++i1)
                for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) {
                    char * p = (char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
                    const float v = dist(rng);
                    switch (t->type) {
                        case TEVO_TYPE_F32:  *(float *) p = v; break;
                        case TEVO_TYPE_F16:  *(tevo_fp16_t *) p = tevo_fp32_to_fp16(v); break;
                        case TEVO_TYPE_BF16: *(tevo_bf16_t *) p = tevo_fp32_to_bf16(v); break;
                        default:             FAIL();
                    }
                }
}

struct Ctx {
    tevo_context * ctx;
    explicit Ctx(size_t mb = 64) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params p = { mb * 1024 * 1024, nullptr, false };
        ctx                = tevo_init(p);
    }
    ~Ctx() { tevo_free(ctx); }
};

// Computes the graph of `out` with 1 to 8 threads; every run must give the
// bits of the first. Returns the first run's result.
std::vector<float> compute_all_thread_counts(tevo_context * ctx, tevo_tensor * out) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    const size_t       n = (size_t) tevo_nelements(out);
    std::vector<float> first;
    for (int nt = 1; nt <= 8; ++nt) {
        std::fill((float *) out->data, (float *) out->data + n, NAN);
        EXPECT_EQ(tevo_graph_compute_with_ctx(ctx, gf, nt), TEVO_STATUS_SUCCESS);
        std::vector<float> got((float *) out->data, (float *) out->data + n);
        if (nt == 1) {
            first = got;
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            if (bits(got[i]) != bits(first[i])) {
                ADD_FAILURE() << "threads " << nt << " differ at " << i << ": " << got[i] << " vs " << first[i];
                break;
            }
        }
    }
    return first;
}

// ---------------------------------------------------------------------------
// MUL_MAT

enum class Src1Layout { contiguous, padded_rows, permuted };

struct MulMatCase {
    const char * name;
    tevo_type    t0, t1;
    int64_t      k, ne01, ne11;
    int64_t      ne02, ne03, ne12, ne13;
    Src1Layout   layout;
};

void PrintTo(const MulMatCase & c, std::ostream * os) { *os << c.name; }

struct MulMat : ::testing::TestWithParam<MulMatCase> {};

TEST_P(MulMat, MatchesDoublePrecisionForEveryThreadCount) {
    const MulMatCase & c = GetParam();
    Ctx                cx;
    std::mt19937       rng(42);

    tevo_tensor * a = tevo_new_tensor_4d(cx.ctx, c.t0, c.k, c.ne01, c.ne02, c.ne03);
    tevo_tensor * b = nullptr;
    switch (c.layout) {
        case Src1Layout::contiguous:
            b = tevo_new_tensor_4d(cx.ctx, c.t1, c.k, c.ne11, c.ne12, c.ne13);
            break;
        case Src1Layout::padded_rows: {
            // rows 5 elements apart from their neighbours' ends
            tevo_tensor * wide = tevo_new_tensor_4d(cx.ctx, c.t1, c.k + 5, c.ne11, c.ne12, c.ne13);
            b = tevo_view_4d(cx.ctx, wide, c.k, c.ne11, c.ne12, c.ne13, wide->nb[1], wide->nb[2], wide->nb[3],
                             tevo_type_size(c.t1) * 2);
        } break;
        case Src1Layout::permuted: {
            // dimensions 1 and 2 swapped
            tevo_tensor * base = tevo_new_tensor_4d(cx.ctx, c.t1, c.k, c.ne12, c.ne11, c.ne13);
            b                  = tevo_permute(cx.ctx, base, 0, 2, 1, 3);
        } break;
    }
    ASSERT_EQ(b->ne[1], c.ne11);
    ASSERT_EQ(b->ne[2], c.ne12);
    ASSERT_EQ(c.layout == Src1Layout::contiguous, tevo_is_contiguous(b));
    fill(a, rng);
    fill(b, rng);

    tevo_tensor * out = tevo_mul_mat(cx.ctx, a, b);
    const std::vector<float> got = compute_all_thread_counts(cx.ctx, out);

    const tevo_type partner = tevo_get_type_traits_cpu(c.t0)->vec_dot_type;
    const int64_t   r2 = c.ne12 / c.ne02, r3 = c.ne13 / c.ne03;
    size_t          idx = 0;
    for (int64_t i3 = 0; i3 < c.ne13; ++i3)
        for (int64_t i2 = 0; i2 < c.ne12; ++i2)
            for (int64_t i1 = 0; i1 < c.ne11; ++i1)
                for (int64_t i0 = 0; i0 < c.ne01; ++i0, ++idx) {
                    double ref = 0.0, mag = 0.0;
                    for (int64_t k = 0; k < c.k; ++k) {
                        const double x = read_value(a, k, i0, i2 / r2, i3 / r3);
                        const double y = as_partner(read_value(b, k, i1, i2, i3), partner);
                        ref += x * y;
                        mag += std::fabs(x * y);
                    }
                    const double tol = (double) (c.k + 4) * 1.2e-7 * mag + 1e-30;
                    ASSERT_NEAR(got[idx], ref, tol) << "at " << i0 << "," << i1 << "," << i2 << "," << i3;
                }
}

const MulMatCase mul_mat_cases[] = {
    { "one_by_one", TEVO_TYPE_F32, TEVO_TYPE_F32, 1, 1, 1, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_17x33", TEVO_TYPE_F32, TEVO_TYPE_F32, 67, 17, 33, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_17x33", TEVO_TYPE_F16, TEVO_TYPE_F32, 67, 17, 33, 1, 1, 1, 1, Src1Layout::contiguous },
    { "bf16_17x33", TEVO_TYPE_BF16, TEVO_TYPE_F32, 67, 17, 33, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_by_f16_in_place", TEVO_TYPE_F16, TEVO_TYPE_F16, 45, 17, 33, 1, 1, 1, 1, Src1Layout::contiguous },
    { "bf16_by_bf16_in_place", TEVO_TYPE_BF16, TEVO_TYPE_BF16, 45, 17, 20, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_by_f16_widened", TEVO_TYPE_F32, TEVO_TYPE_F16, 40, 9, 11, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_by_bf16_widened", TEVO_TYPE_F32, TEVO_TYPE_BF16, 40, 9, 11, 1, 1, 1, 1, Src1Layout::contiguous },
    { "short_rows", TEVO_TYPE_F16, TEVO_TYPE_F32, 5, 3, 7, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_broadcast_2_3", TEVO_TYPE_F32, TEVO_TYPE_F32, 40, 9, 5, 2, 3, 4, 6, Src1Layout::contiguous },
    { "f16_broadcast_2_3", TEVO_TYPE_F16, TEVO_TYPE_F32, 33, 7, 3, 1, 2, 3, 4, Src1Layout::contiguous },
    { "bf16_broadcast_2_3", TEVO_TYPE_BF16, TEVO_TYPE_F32, 33, 7, 3, 3, 1, 3, 2, Src1Layout::contiguous },
    { "f32_padded_src1", TEVO_TYPE_F32, TEVO_TYPE_F32, 37, 17, 33, 1, 1, 2, 1, Src1Layout::padded_rows },
    { "f16_padded_src1", TEVO_TYPE_F16, TEVO_TYPE_F32, 37, 17, 33, 1, 1, 2, 1, Src1Layout::padded_rows },
    { "f32_permuted_src1", TEVO_TYPE_F32, TEVO_TYPE_F32, 35, 10, 5, 1, 1, 3, 1, Src1Layout::permuted },
    { "f16_by_f16_permuted", TEVO_TYPE_F16, TEVO_TYPE_F16, 35, 10, 5, 3, 1, 3, 1, Src1Layout::permuted },
    { "matrix_vector", TEVO_TYPE_F16, TEVO_TYPE_F32, 384, 203, 1, 1, 1, 1, 1, Src1Layout::contiguous },
    { "vector_matrix", TEVO_TYPE_F32, TEVO_TYPE_F32, 70, 1, 150, 1, 1, 1, 1, Src1Layout::contiguous },
    { "tall_100x3", TEVO_TYPE_F32, TEVO_TYPE_F32, 50, 100, 3, 1, 1, 1, 1, Src1Layout::contiguous },
    { "many_chunks", TEVO_TYPE_F32, TEVO_TYPE_F32, 130, 70, 90, 1, 1, 1, 1, Src1Layout::contiguous },
    { "many_chunks_bf16", TEVO_TYPE_BF16, TEVO_TYPE_F32, 96, 70, 90, 1, 1, 1, 1, Src1Layout::contiguous },
};

INSTANTIATE_TEST_SUITE_P(Shapes, MulMat, ::testing::ValuesIn(mul_mat_cases),
                         [](const ::testing::TestParamInfo<MulMatCase> & info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// MUL_MAT bit for bit: every output value is the one-row dot product of its
// src0 row and its converted src1 row, whichever path computes it (the
// panels where src1 has enough rows, the block routines where it has few),
// for every thread count.

// the row of src1 as the dot product sees it: converted to the weights' partner type
std::vector<uint8_t> partner_row(const tevo_tensor * b, int64_t i1, int64_t i2, int64_t i3, tevo_type partner) {
    const int64_t      k   = b->ne[0];
    const char *       row = (const char *) b->data + i1 * b->nb[1] + i2 * b->nb[2] + i3 * b->nb[3];
    std::vector<float> f((size_t) k);
    for (int64_t i = 0; i < k; ++i) f[(size_t) i] = read_value(b, i, i1, i2, i3);
    std::vector<uint8_t> out(tevo_row_size(partner, k));
    if (b->type == partner) {
        memcpy(out.data(), row, out.size());
    } else if (partner == TEVO_TYPE_F32) {
        memcpy(out.data(), f.data(), out.size()); // widening is exact
    } else {
        tevo_get_type_traits_cpu(partner)->from_float(f.data(), out.data(), k);
    }
    return out;
}

struct MulMatBits : ::testing::TestWithParam<MulMatCase> {};

TEST_P(MulMatBits, EveryValueIsTheOneRowDotProduct) {
    const MulMatCase & c = GetParam();
    Ctx                cx;
    std::mt19937       rng(7);

    tevo_tensor * a = tevo_new_tensor_4d(cx.ctx, c.t0, c.k, c.ne01, c.ne02, c.ne03);
    tevo_tensor * b = nullptr;
    switch (c.layout) {
        case Src1Layout::contiguous: b = tevo_new_tensor_4d(cx.ctx, c.t1, c.k, c.ne11, c.ne12, c.ne13); break;
        case Src1Layout::padded_rows: {
            tevo_tensor * wide = tevo_new_tensor_4d(cx.ctx, c.t1, c.k + 5, c.ne11, c.ne12, c.ne13);
            b = tevo_view_4d(cx.ctx, wide, c.k, c.ne11, c.ne12, c.ne13, wide->nb[1], wide->nb[2], wide->nb[3],
                             tevo_type_size(c.t1) * 3);
        } break;
        case Src1Layout::permuted: {
            tevo_tensor * base = tevo_new_tensor_4d(cx.ctx, c.t1, c.k, c.ne12, c.ne11, c.ne13);
            b                  = tevo_permute(cx.ctx, base, 0, 2, 1, 3);
        } break;
    }
    fill(a, rng);
    fill(b, rng);
    tevo_tensor *            out = tevo_mul_mat(cx.ctx, a, b);
    const std::vector<float> got = compute_all_thread_counts(cx.ctx, out);

    const tevo_type_traits_cpu * traits = tevo_get_type_traits_cpu(c.t0);
    const int64_t                r2 = c.ne12 / c.ne02, r3 = c.ne13 / c.ne03;
    size_t                       idx = 0;
    for (int64_t i3 = 0; i3 < c.ne13; ++i3)
        for (int64_t i2 = 0; i2 < c.ne12; ++i2)
            for (int64_t i1 = 0; i1 < c.ne11; ++i1) {
                const std::vector<uint8_t> y = partner_row(b, i1, i2, i3, traits->vec_dot_type);
                for (int64_t i0 = 0; i0 < c.ne01; ++i0, ++idx) {
                    const char * x =
                        (const char *) a->data + i0 * a->nb[1] + (i2 / r2) * a->nb[2] + (i3 / r3) * a->nb[3];
                    float want;
                    traits->vec_dot((int) c.k, &want, 0, x, 0, y.data(), 0, 1);
                    ASSERT_EQ(bits(got[idx]), bits(want))
                        << "at " << i0 << "," << i1 << "," << i2 << "," << i3 << ": " << got[idx] << " vs " << want;
                }
            }
}

// Sizes off the panels' tiles (4 src0 rows of long rows, 8 of short ones,
// groups of 3 and pairs of src1 rows, blocks of 32 values), rows cut into
// parts (more than 1536 values), runs of src1 rows on different src0
// matrices, strided src1, and too few src1 rows for the panels.
const MulMatCase mul_mat_bits_cases[] = {
    { "f32_tails", TEVO_TYPE_F32, TEVO_TYPE_F32, 33, 13, 17, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_below_one_block", TEVO_TYPE_F32, TEVO_TYPE_F32, 19, 11, 17, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_short_tails", TEVO_TYPE_F16, TEVO_TYPE_F32, 100, 37, 50, 1, 1, 1, 1, Src1Layout::contiguous },
    { "bf16_whole_blocks", TEVO_TYPE_BF16, TEVO_TYPE_F32, 64, 9, 16, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_long_tails", TEVO_TYPE_F32, TEVO_TYPE_F32, 800, 22, 19, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_two_parts", TEVO_TYPE_F16, TEVO_TYPE_F32, 1609, 11, 22, 1, 1, 1, 1, Src1Layout::contiguous },
    { "bf16_three_parts", TEVO_TYPE_BF16, TEVO_TYPE_F32, 3200, 6, 17, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_broadcast_2_3", TEVO_TYPE_F32, TEVO_TYPE_F32, 160, 10, 7, 2, 3, 4, 6, Src1Layout::contiguous },
    { "f16_heads", TEVO_TYPE_F16, TEVO_TYPE_F32, 64, 150, 40, 3, 1, 3, 1, Src1Layout::contiguous },
    { "f16_permuted_src1", TEVO_TYPE_F16, TEVO_TYPE_F32, 65, 24, 9, 1, 1, 5, 1, Src1Layout::permuted },
    { "bf16_padded_src1", TEVO_TYPE_BF16, TEVO_TYPE_F32, 130, 17, 20, 1, 1, 2, 1, Src1Layout::padded_rows },
    { "f32_padded_src1", TEVO_TYPE_F32, TEVO_TYPE_F32, 47, 30, 20, 1, 1, 1, 1, Src1Layout::padded_rows },
    { "f32_by_f16_widened", TEVO_TYPE_F32, TEVO_TYPE_F16, 170, 16, 33, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f32_by_bf16_widened", TEVO_TYPE_F32, TEVO_TYPE_BF16, 90, 7, 21, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_by_f16_in_place", TEVO_TYPE_F16, TEVO_TYPE_F16, 128, 8, 48, 1, 1, 1, 1, Src1Layout::contiguous },
    { "bf16_by_bf16_permuted", TEVO_TYPE_BF16, TEVO_TYPE_BF16, 40, 12, 6, 1, 1, 4, 1, Src1Layout::permuted },
    { "f32_many_chunks", TEVO_TYPE_F32, TEVO_TYPE_F32, 384, 203, 190, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_many_short_chunks", TEVO_TYPE_F16, TEVO_TYPE_F32, 96, 203, 190, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_few_src1_rows", TEVO_TYPE_F16, TEVO_TYPE_F32, 384, 40, 5, 1, 1, 1, 1, Src1Layout::contiguous },
    // enough src1 rows for a block per thread: chunks of whole src0 ranges,
    // which stay packed (short rows) or not (long rows), and src1 blocks
    // across the runs of different src0 matrices
    { "f16_src1_blocks_per_thread", TEVO_TYPE_F16, TEVO_TYPE_F32, 1600, 100, 300, 1, 1, 1, 1, Src1Layout::contiguous },
    { "f16_short_src1_blocks_per_thread", TEVO_TYPE_F16, TEVO_TYPE_F32, 64, 40, 800, 1, 1, 1, 1,
      Src1Layout::contiguous },
    { "f16_src1_blocks_across_matrices", TEVO_TYPE_F16, TEVO_TYPE_F32, 64, 30, 300, 2, 1, 4, 1, Src1Layout::contiguous },
};

INSTANTIATE_TEST_SUITE_P(Shapes, MulMatBits, ::testing::ValuesIn(mul_mat_bits_cases),
                         [](const ::testing::TestParamInfo<MulMatCase> & info) { return std::string(info.param.name); });

TEST(MulMatDeath, HalfSrc1WithBrainFloatWeightsCannotBeWidened) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    Ctx           cx;
    tevo_tensor * a   = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_BF16, 8, 2);
    tevo_tensor * b   = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_F16, 8, 2);
    tevo_tensor * out = tevo_mul_mat(cx.ctx, a, b);
    tevo_cgraph * gf  = tevo_new_graph(cx.ctx);
    tevo_build_forward_expand(gf, out);
    EXPECT_DEATH(tevo_graph_compute_with_ctx(cx.ctx, gf, 2),
                 "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: TEVO_ASSERT\\(!widen \\|\\| vec_dot_type == TEVO_TYPE_F32\\) failed");
}

// ---------------------------------------------------------------------------
// MUL_MAT_ID

struct MulMatIdCase {
    const char * name;
    tevo_type    t0;
    int64_t      k, rows, experts;
    int64_t      n_ids, tokens, ne11; // ne11: 1 (one row shared by all slots) or n_ids
    bool         padded_src1;
};

void PrintTo(const MulMatIdCase & c, std::ostream * os) { *os << c.name; }

struct MulMatId : ::testing::TestWithParam<MulMatIdCase> {};

TEST_P(MulMatId, MatchesDoublePrecisionForEveryThreadCount) {
    const MulMatIdCase & c = GetParam();
    Ctx                  cx;
    std::mt19937         rng(7);

    tevo_tensor * as = tevo_new_tensor_3d(cx.ctx, c.t0, c.k, c.rows, c.experts);
    tevo_tensor * b  = nullptr;
    if (c.padded_src1) {
        tevo_tensor * wide = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, c.k + 3, c.ne11, c.tokens);
        b = tevo_view_3d(cx.ctx, wide, c.k, c.ne11, c.tokens, wide->nb[1], wide->nb[2], 4);
    } else {
        b = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, c.k, c.ne11, c.tokens);
    }
    tevo_tensor * ids = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_I32, c.n_ids, c.tokens);
    fill(as, rng);
    fill(b, rng);
    // the last expert is never chosen
    for (int64_t t = 0; t < c.tokens; ++t) {
        for (int64_t s = 0; s < c.n_ids; ++s) {
            ((int32_t *) ids->data)[t * c.n_ids + s] = (int32_t) ((t * 3 + s * 5) % (c.experts - 1));
        }
    }

    tevo_tensor * out = tevo_mul_mat_id(cx.ctx, as, b, ids);
    const std::vector<float> got = compute_all_thread_counts(cx.ctx, out);

    const tevo_type partner = tevo_get_type_traits_cpu(c.t0)->vec_dot_type;
    for (int64_t t = 0; t < c.tokens; ++t) {
        for (int64_t s = 0; s < c.n_ids; ++s) {
            const int32_t e = ((int32_t *) ids->data)[t * c.n_ids + s];
            for (int64_t i0 = 0; i0 < c.rows; ++i0) {
                double ref = 0.0, mag = 0.0;
                for (int64_t k = 0; k < c.k; ++k) {
                    const double x = read_value(as, k, i0, e, 0);
                    const double y = as_partner(read_value(b, k, s % c.ne11, t, 0), partner);
                    ref += x * y;
                    mag += std::fabs(x * y);
                }
                const size_t idx = (size_t) ((t * c.n_ids + s) * c.rows + i0);
                ASSERT_NEAR(got[idx], ref, (double) (c.k + 4) * 1.2e-7 * mag + 1e-30)
                    << "token " << t << " slot " << s << " row " << i0;
            }
        }
    }
}

const MulMatIdCase mul_mat_id_cases[] = {
    { "shared_row", TEVO_TYPE_F32, 45, 13, 4, 2, 5, 1, false },
    { "row_per_slot", TEVO_TYPE_F32, 45, 13, 4, 2, 5, 2, false },
    { "f16_experts", TEVO_TYPE_F16, 64, 20, 3, 2, 7, 2, false },
    { "bf16_experts", TEVO_TYPE_BF16, 40, 9, 3, 3, 4, 3, false },
    { "padded_src1", TEVO_TYPE_F32, 33, 10, 3, 2, 6, 2, true },
    { "f16_padded_src1", TEVO_TYPE_F16, 33, 10, 3, 2, 6, 2, true },
    { "many_routed_rows", TEVO_TYPE_F32, 40, 35, 3, 2, 40, 2, false },
};

INSTANTIATE_TEST_SUITE_P(Shapes, MulMatId, ::testing::ValuesIn(mul_mat_id_cases),
                         [](const ::testing::TestParamInfo<MulMatIdCase> & info) {
                             return std::string(info.param.name);
                         });

// An expert id outside [0, experts) is refused before any routing list is
// written, instead of indexing past the counts.
TEST(MulMatIdDeath, ExpertIdOutOfRangeIsRefused) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    for (int32_t bad : { 4, -1, 1000000 }) {
        SCOPED_TRACE(bad);
        Ctx           cx;
        tevo_tensor * as  = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, 8, 3, 4);
        tevo_tensor * b   = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, 8, 1, 2);
        tevo_tensor * ids = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_I32, 2, 2);
        memset(as->data, 0, tevo_nbytes(as));
        memset(b->data, 0, tevo_nbytes(b));
        int32_t * id = (int32_t *) ids->data;
        id[0] = 0; id[1] = 1; id[2] = 2; id[3] = bad;
        tevo_tensor * out = tevo_mul_mat_id(cx.ctx, as, b, ids);
        tevo_cgraph * gf  = tevo_new_graph(cx.ctx);
        tevo_build_forward_expand(gf, out);
        EXPECT_DEATH(tevo_graph_compute_with_ctx(cx.ctx, gf, 3),
                     "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: TEVO_ASSERT\\(i02 >= 0 && i02 < n_as\\) failed");
    }
}

// The routing lists and counters must fit the work buffer the caller gave:
// a graph run refuses such a plan, and the kernel itself checks its room.
TEST(MulMatIdDeath, WorkBufferTooSmallForTheRoutingIsRefused) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    Ctx           cx;
    tevo_tensor * as  = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, 8, 3, 4);
    tevo_tensor * b   = tevo_new_tensor_3d(cx.ctx, TEVO_TYPE_F32, 8, 1, 2);
    tevo_tensor * ids = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_I32, 2, 2);
    memset(as->data, 0, tevo_nbytes(as));
    memset(b->data, 0, tevo_nbytes(b));
    memset(ids->data, 0, tevo_nbytes(ids));
    tevo_tensor * out = tevo_mul_mat_id(cx.ctx, as, b, ids);
    tevo_cgraph * gf  = tevo_new_graph(cx.ctx);
    tevo_build_forward_expand(gf, out);

    tevo_cplan plan = tevo_graph_plan(gf, 2, nullptr);
    ASSERT_GT(plan.work_size, 64u);
    std::vector<uint8_t> work(64);
    plan.work_size = work.size(); // 4 experts need 4 counts, lists and 4 counter lines
    plan.work_data = work.data();
    tevo_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_FAILED);
    tevo_log_set(nullptr, nullptr);

    tevo_compute_params p = {};
    p.nth                 = 2;
    p.wsize               = work.size();
    p.wdata               = work.data();
    EXPECT_DEATH(tevo_compute_forward_mul_mat_id(&p, out),
                 "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: TEVO_ASSERT\\(params->wsize >= "
                 "\\(size_t\\)\\(\\(char \\*\\) wdata_cur - \\(char \\*\\) params->wdata\\)\\) failed");
}

// ---------------------------------------------------------------------------
// chunking seen from outside: every output value is written exactly once

TEST(MulMatChunks, EveryOutputValueIsWrittenOnce) {
    // products of ones count how often each value was summed: a chunk
    // computed twice or skipped would leave NaN or a wrong count
    Ctx           cx;
    tevo_tensor * a = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_F32, 3, 4096);
    tevo_tensor * b = tevo_new_tensor_2d(cx.ctx, TEVO_TYPE_F32, 3, 1);
    for (int i = 0; i < 3 * 4096; ++i) ((float *) a->data)[i] = 1.0f;
    for (int i = 0; i < 3; ++i) ((float *) b->data)[i] = 1.0f;
    tevo_tensor * out = tevo_mul_mat(cx.ctx, a, b);
    const std::vector<float> got = compute_all_thread_counts(cx.ctx, out);
    for (float v : got) {
        ASSERT_EQ(v, 3.0f);
    }
}

} // namespace
