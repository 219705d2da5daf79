// The reduction kernels: SUM (double accumulation for floats, single for
// the 16-bit types), SUM_ROWS, MEAN, CUMSUM, ARGMAX and COUNT_EQUAL, at 1, 3
// and 8 threads, over permuted and transposed sources, through the CPU
// backend, and their refusals.

#include "kernel-test-helpers.h"
#include "cpu/ops/ops.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using kt::bits;

uint16_t ref_float_to_half(float f) {
    if (std::isnan(f)) {
        return (uint16_t) (((bits(f) >> 16) & 0x8000u) | 0x7E00u);
    }
    return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT);
}

uint16_t ref_float_to_bf16(float f) {
    const uint32_t u = bits(f);
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) {
        return (uint16_t) ((u >> 16) | 0x40u);
    }
    return (uint16_t) ((u + 0x7FFFu + ((u >> 16) & 1u)) >> 16);
}

// ---------------------------------------------------------------------------
// SUM

TEST(KernelReduce, SumOfFloatsAccumulatesInDouble) {
    for (int nt : kt::thread_counts()) {
        kt::Ctx       c(4);
        tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 17);
        kt::set(a, 16777216.0f, 0);
        for (int i = 1; i < 17; ++i) {
            kt::set(a, 1.0f, i);
        }
        tevo_tensor * s = tevo_sum(c.ctx, a);
        kt::compute(c.ctx, { s }, nt);
        EXPECT_EQ(kt::get(s, 0), 16777232.0f);
    }
}

// rows in double in index order, row sums in row order, one final rounding;
// for the 16-bit types the same order in single precision
TEST(KernelReduce, SumMatchesTheReferenceForEveryTypeAndLayout) {
    std::mt19937 rng(1);
    for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        for (int layout = 0; layout < 3; ++layout) {
            kt::Ctx       c(4);
            tevo_tensor * a;
            if (layout == 0) {
                a = tevo_new_tensor_4d(c.ctx, type, 37, 5, 3, 2);
            } else if (layout == 1) {
                a = tevo_permute(c.ctx, tevo_new_tensor_4d(c.ctx, type, 37, 3, 5, 2), 0, 2, 1, 3);
            } else {
                a = tevo_transpose(c.ctx, tevo_new_tensor_3d(c.ctx, type, 5, 37, 3)); // elements 20 bytes apart
            }
            kt::fill(a, rng, -100, 100);

            double dtotal = 0;
            float  ftotal = 0;
            for (int64_t i3 = 0; i3 < a->ne[3]; ++i3) {
                for (int64_t i2 = 0; i2 < a->ne[2]; ++i2) {
                    for (int64_t i1 = 0; i1 < a->ne[1]; ++i1) {
                        double drow = 0;
                        float  frow = 0;
                        for (int64_t i0 = 0; i0 < a->ne[0]; ++i0) {
                            drow += kt::get(a, i0, i1, i2, i3);
                            frow += kt::get(a, i0, i1, i2, i3);
                        }
                        dtotal += drow;
                        ftotal += frow;
                    }
                }
            }
            const uint32_t want = type == TEVO_TYPE_F32   ? bits((float) dtotal)
                                  : type == TEVO_TYPE_F16 ? ref_float_to_half(ftotal)
                                                          : ref_float_to_bf16(ftotal);
            tevo_tensor * s = tevo_sum(c.ctx, a);
            for (int nt : kt::thread_counts()) {
                kt::poison(s);
                kt::compute(c.ctx, { s }, nt);
                EXPECT_EQ(kt::get_bits(s, 0), want) << tevo_type_name(type) << " layout " << layout << " threads " << nt;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// SUM_ROWS and MEAN

TEST(KernelReduce, SumRowsAndMeanPerRow) {
    std::mt19937 rng(2);
    for (int nt : kt::thread_counts()) {
        kt::Ctx       c(4);
        // rows further apart than their length
        tevo_tensor * base = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 80, 6, 3);
        tevo_tensor * a    = tevo_view_3d(c.ctx, base, 77, 6, 3, base->nb[1], base->nb[2], 4);
        kt::fill(a, rng);
        tevo_tensor * sr = tevo_sum_rows(c.ctx, a);
        tevo_tensor * mn = tevo_mean(c.ctx, a);
        kt::compute(c.ctx, { sr, mn }, nt);
        for (int64_t i2 = 0; i2 < 3; ++i2) {
            for (int64_t i1 = 0; i1 < 6; ++i1) {
                double sum = 0;
                for (int64_t i0 = 0; i0 < 77; ++i0) {
                    sum += kt::get(a, i0, i1, i2);
                }
                EXPECT_NEAR(kt::get(sr, 0, i1, i2), sum, 1e-5);
                EXPECT_NEAR(kt::get(mn, 0, i1, i2), sum / 77, 1e-6);
            }
        }
    }
}

TEST(KernelReduce, MeanOfSmallRowsAndOfATransposedView) {
    kt::Ctx       c(4);
    tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2);
    const float   v[] = { 1, 2, 3, 4, 10, 20, 30, 40 };
    memcpy(a->data, v, sizeof(v));
    tevo_tensor * m  = tevo_mean(c.ctx, a);
    tevo_tensor * mt = tevo_mean(c.ctx, tevo_transpose(c.ctx, a)); // rows {1, 10}, {2, 20}, ...
    kt::compute(c.ctx, { m, mt }, 3);
    EXPECT_EQ(kt::get(m, 0, 0), 2.5f);
    EXPECT_EQ(kt::get(m, 0, 1), 25.0f);
    for (int64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(kt::get(mt, 0, i), (v[i] + v[4 + i]) / 2) << i;
    }
}

// ---------------------------------------------------------------------------
// CUMSUM

TEST(KernelReduce, CumsumRunsAlongEachRow) {
    std::mt19937 rng(3);
    {
        kt::Ctx       c(4);
        tevo_tensor * a   = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
        const float   v[] = { 1, 2, 3, 4 };
        memcpy(a->data, v, sizeof(v));
        tevo_tensor * s = tevo_cumsum(c.ctx, a);
        kt::compute(c.ctx, { s }, 1);
        EXPECT_EQ(std::vector<float>((float *) s->data, (float *) s->data + 4), std::vector<float>({ 1, 3, 6, 10 }));
    }
    for (int nt : kt::thread_counts()) {
        kt::Ctx       c(4);
        tevo_tensor * a = tevo_permute(c.ctx, tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 29, 3, 7, 2), 0, 2, 1, 3);
        kt::fill(a, rng);
        tevo_tensor * s = tevo_cumsum(c.ctx, a);
        kt::poison(s);
        kt::compute(c.ctx, { s }, nt);
        kt::for_each(s, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            float run = 0;
            for (int64_t k = 0; k <= i0; ++k) {
                run = run + kt::get(a, k, i1, i2, i3);
            }
            ASSERT_EQ(bits(kt::get(s, i0, i1, i2, i3)), bits(run)) << "threads " << nt;
        });
    }
}

// ---------------------------------------------------------------------------
// ARGMAX

TEST(KernelReduce, ArgmaxTakesTheLastOfEqualMaximaAndSkipsNaN) {
    struct {
        std::vector<float> row;
        int32_t            want;
    } cases[] = {
        { { 1, 3, 3, 2 }, 2 },
        { { -INFINITY, -INFINITY }, 1 },
        { { 5, NAN, 3 }, 2 },
        { { NAN, -1, -2 }, 1 },
        { { -7, -3, -5, -4, -3.5f }, 1 },
    };
    for (const auto & cs : cases) {
        kt::Ctx       c(4);
        tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, (int64_t) cs.row.size(), 2);
        for (size_t i = 0; i < cs.row.size(); ++i) {
            kt::set(a, cs.row[i], (int64_t) i, 0);
            kt::set(a, 0.0f, (int64_t) i, 1); // all equal: the last wins
        }
        tevo_tensor * r = tevo_argmax(c.ctx, a);
        kt::compute(c.ctx, { r }, 3);
        EXPECT_EQ(((int32_t *) r->data)[0], cs.want);
        EXPECT_EQ(((int32_t *) r->data)[1], (int32_t) cs.row.size() - 1);
    }
}

TEST(KernelReduce, ArgmaxOfManyRowsAndOfATransposedMatrix) {
    std::mt19937 rng(4);
    for (bool transposed : { false, true }) {
        kt::Ctx       c(4);
        tevo_tensor * a = transposed ? tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 9, 50))
                                     : tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 50, 9);
        kt::fill(a, rng);
        tevo_tensor * r = tevo_argmax(c.ctx, a);
        kt::compute(c.ctx, { r }, 8);
        for (int64_t i1 = 0; i1 < 9; ++i1) {
            int32_t best = 0;
            for (int64_t i0 = 1; i0 < 50; ++i0) {
                if (kt::get(a, i0, i1) >= kt::get(a, best, i1)) {
                    best = (int32_t) i0;
                }
            }
            EXPECT_EQ(((int32_t *) r->data)[i1], best) << (transposed ? "transposed " : "") << i1;
        }
    }
}

// ---------------------------------------------------------------------------
// COUNT_EQUAL

TEST(KernelReduce, CountEqualGivesTheSameCountForAnyThreadCount) {
    // 6 rows: at 8 threads two threads have no rows and count 0
    for (int nt : { 1, 2, 3, 8 }) {
        kt::Ctx       c(4);
        tevo_tensor * a = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_I32, 13, 3, 2);
        tevo_tensor * b = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_I32, 13, 3, 2);
        for (int64_t i = 0; i < 78; ++i) {
            ((int32_t *) a->data)[i] = (int32_t) (i * 7 % 11);
            ((int32_t *) b->data)[i] = (int32_t) (i * 7 % 11);
        }
        tevo_tensor * same = tevo_count_equal(c.ctx, a, b);
        kt::compute(c.ctx, { same }, nt);
        EXPECT_EQ(*(int64_t *) same->data, 78) << nt;

        ((int32_t *) b->data)[61] += 1;
        tevo_tensor * one_off = tevo_count_equal(c.ctx, a, b);
        kt::compute(c.ctx, { one_off }, nt);
        EXPECT_EQ(*(int64_t *) one_off->data, 77) << nt;
    }
}

TEST(KernelReduce, CountEqualStepsThroughStrides) {
    kt::Ctx       c(4);
    tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_I32, 6, 4);
    tevo_tensor * b = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_I32, 4, 6);
    for (int64_t i0 = 0; i0 < 6; ++i0) {
        for (int64_t i1 = 0; i1 < 4; ++i1) {
            ((int32_t *) a->data)[i1 * 6 + i0] = (int32_t) (i0 + 10 * i1);
            ((int32_t *) b->data)[i0 * 4 + i1] = (int32_t) (i0 + 10 * i1) + (i0 == 5 ? 1 : 0);
        }
    }
    tevo_tensor * n = tevo_count_equal(c.ctx, a, tevo_transpose(c.ctx, b));
    kt::compute(c.ctx, { n }, 3);
    EXPECT_EQ(*(int64_t *) n->data, 20);
}

TEST(KernelReduce, ThroughTheCpuBackend) {
    std::vector<float> v(30 * 4);
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = (float) ((i * 13) % 17) - 8.0f;
    }
    std::vector<int32_t> want_idx(4);
    double               total = 0;
    for (int r = 0; r < 4; ++r) {
        float run = 0, row_sum = 0, best = -INFINITY;
        for (int k = 0; k < 30; ++k) {
            run += v[r * 30 + k];
            row_sum += run;
            if (v[r * 30 + k] >= best) {
                best        = v[r * 30 + k];
                want_idx[r] = k;
            }
        }
        total += row_sum / 30;
    }

    tevo_tensor * a = nullptr;
    auto          input = [&](tevo_context * ctx) { return a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 30, 4); };
    auto          fill  = [&]() { tevo_backend_tensor_set(a, v.data(), 0, v.size() * 4); };
    kt::compute_on_backend([&](tevo_context * ctx) { return tevo_sum(ctx, tevo_mean(ctx, tevo_cumsum(ctx, input(ctx)))); },
                           fill, [&](tevo_tensor * out) {
                               float got;
                               tevo_backend_tensor_get(out, &got, 0, 4);
                               EXPECT_NEAR(got, total, 1e-4 * std::max(1.0, std::fabs(total)));
                           });
    kt::compute_on_backend([&](tevo_context * ctx) { return tevo_argmax(ctx, input(ctx)); }, fill,
                           [&](tevo_tensor * out) {
                               std::vector<int32_t> got(4);
                               tevo_backend_tensor_get(out, got.data(), 0, 16);
                               EXPECT_EQ(got, want_idx);
                           });
}

// ---------------------------------------------------------------------------
// refusals

TEST(KernelReduceDeath, Refusals) {
    kt::Ctx c(4);
    tevo_tensor * i32 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_I32, 4, 2);
    tevo_tensor * f16 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 4, 2);
    tevo_tensor * f32 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2);

    EXPECT_DEATH(kt::compute(c.ctx, { tevo_sum(c.ctx, i32) }, 1), kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::compute(c.ctx, { tevo_sum_rows(c.ctx, f16) }, 1), kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::compute(c.ctx, { tevo_mean(c.ctx, f16) }, 1), kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::compute(c.ctx, { tevo_argmax(c.ctx, f16) }, 1), kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::compute(c.ctx, { tevo_count_equal(c.ctx, f32, f32) }, 1), kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::compute(c.ctx, { tevo_count_equal(c.ctx, i32, f32) }, 1),
                 kt::kernel_assert_re("src1->type == TEVO_TYPE_I32"));
    {
        tevo_tensor * cs = tevo_cumsum(c.ctx, f32);
        cs->src[0]       = f16;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_cumsum, cs), kt::kernel_abort_re("fatal error"));
    }
    {
        tevo_tensor * sr = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 2);
        sr->op           = TEVO_OP_SUM_ROWS;
        sr->src[0]       = f32;
        EXPECT_DEATH(kt::compute(c.ctx, { sr }, 1), kt::kernel_assert_re("ne0 == 1"));
    }
    {
        tevo_tensor * cs = tevo_cumsum(c.ctx, tevo_transpose(c.ctx, f32));
        EXPECT_DEATH(kt::compute(c.ctx, { cs }, 1), kt::kernel_assert_re("src0->nb[0] == sizeof(float)"));
    }
}

} // namespace
