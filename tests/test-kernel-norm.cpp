// The row normalisations on the CPU: layer norm, RMS norm alone and fused
// with its multiplication, the RMS norm gradient, group norm and L2 norm,
// against double-precision references over contiguous and strided sources.

#include "kernel-test-helpers.h"

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

using kt::Ctx;

// a source of the given extents, possibly a view with other strides
enum class Layout {
    packed,
    permuted,   // dimensions 1 and 2 exchanged: rows packed, planes not
    padded,     // rows further apart than their length
    transposed, // element stride is not 4 bytes
};

struct Shape {
    int64_t ne[4];
    Layout  layout;
};

const char * layout_name(Layout l) {
    switch (l) {
        case Layout::packed: return "packed";
        case Layout::permuted: return "permuted";
        case Layout::padded: return "padded";
        case Layout::transposed: return "transposed";
    }
    return "?";
}

tevo_tensor * make_source(tevo_context * ctx, const Shape & s) {
    const int64_t * ne = s.ne;
    switch (s.layout) {
        case Layout::packed: return tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0], ne[1], ne[2], ne[3]);
        case Layout::permuted: {
            tevo_tensor * base = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0], ne[2], ne[1], ne[3]);
            return tevo_permute(ctx, base, 0, 2, 1, 3);
        }
        case Layout::padded: {
            const int64_t pad  = 5;
            tevo_tensor * base = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0] + pad, ne[1], ne[2], ne[3]);
            return tevo_view_4d(ctx, base, ne[0], ne[1], ne[2], ne[3], base->nb[1], base->nb[2], base->nb[3],
                                2 * sizeof(float));
        }
        case Layout::transposed: {
            tevo_tensor * base = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[1], ne[0], ne[2], ne[3]);
            return tevo_transpose(ctx, base);
        }
    }
    return nullptr;
}

const std::vector<Shape> & row_shapes() {
    static const std::vector<Shape> shapes = {
        { { 16, 4, 1, 1 }, Layout::packed },     { { 384, 7, 1, 1 }, Layout::packed },
        { { 9, 5, 3, 2 }, Layout::packed },      { { 1, 6, 1, 1 }, Layout::packed },
        { { 13, 3, 4, 2 }, Layout::permuted },   { { 21, 4, 3, 1 }, Layout::padded },
        { { 11, 6, 1, 1 }, Layout::transposed },
    };
    return shapes;
}

// the rows of t as double vectors, with their coordinates
struct Row {
    int64_t             i1, i2, i3;
    std::vector<double> v;
};

std::vector<Row> rows_of(const tevo_tensor * t) {
    std::vector<Row> rows;
    for (int64_t i3 = 0; i3 < t->ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
            for (int64_t i1 = 0; i1 < t->ne[1]; ++i1) {
                Row r{ i1, i2, i3, {} };
                for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) {
                    r.v.push_back(kt::get(t, i0, i1, i2, i3));
                }
                rows.push_back(r);
            }
    return rows;
}

// compares out with the reference row by row, |d| <= abs + rel * |ref|
void expect_rows(const tevo_tensor * out, const std::vector<Row> & ref, double abs, double rel) {
    for (const Row & r : ref) {
        for (size_t i0 = 0; i0 < r.v.size(); ++i0) {
            const double got = kt::get(out, (int64_t) i0, r.i1, r.i2, r.i3);
            ASSERT_NEAR(got, r.v[i0], abs + rel * std::fabs(r.v[i0]))
                << "at " << i0 << "," << r.i1 << "," << r.i2 << "," << r.i3;
        }
    }
}

std::vector<Row> ref_norm(const tevo_tensor * x, double eps) {
    std::vector<Row> rows = rows_of(x);
    for (Row & r : rows) {
        const double n    = (double) r.v.size();
        double       mean = 0, var = 0;
        for (double v : r.v) mean += v;
        mean /= n;
        for (double v : r.v) var += (v - mean) * (v - mean);
        var /= n;
        for (double & v : r.v) v = (v - mean) / std::sqrt(var + eps);
    }
    return rows;
}

std::vector<Row> ref_rms_norm(const tevo_tensor * x, double eps) {
    std::vector<Row> rows = rows_of(x);
    for (Row & r : rows) {
        double ss = 0;
        for (double v : r.v) ss += v * v;
        const double scale = 1.0 / std::sqrt(ss / (double) r.v.size() + eps);
        for (double & v : r.v) v *= scale;
    }
    return rows;
}

std::vector<Row> ref_l2_norm(const tevo_tensor * x, double eps) {
    std::vector<Row> rows = rows_of(x);
    for (Row & r : rows) {
        double ss = 0;
        for (double v : r.v) ss += v * v;
        const double scale = 1.0 / std::max(std::sqrt(ss), eps);
        for (double & v : r.v) v *= scale;
    }
    return rows;
}

// ---------------------------------------------------------------------------

TEST(KernelNorm, LayerNormOverShapesAndThreads) {
    for (const Shape & s : row_shapes()) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(std::string(layout_name(s.layout)) + " ne0=" + std::to_string(s.ne[0]) +
                         " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(7);
            tevo_tensor * x = make_source(c.ctx, s);
            kt::fill(x, rng, -1.5f, 2.5f);
            tevo_tensor * y = tevo_norm(c.ctx, x, 1e-5f);
            kt::compute(c.ctx, { y }, nth);
            expect_rows(y, ref_norm(x, 1e-5), 2e-5, 2e-5);
        }
    }
}

TEST(KernelNorm, LayerNormInPlaceAndOneConstantRow) {
    Ctx           c;
    std::mt19937  rng(3);
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 40, 3);
    kt::fill(x, rng);
    for (int i = 0; i < 40; ++i) kt::set(x, 2.0f, i, 1); // variance 0: only eps keeps it finite
    const std::vector<Row> ref = ref_norm(x, 1e-3);
    tevo_tensor *          y   = tevo_norm_inplace(c.ctx, x, 1e-3f);
    kt::compute(c.ctx, { y }, 3);
    expect_rows(x, ref, 2e-5, 2e-5);
    EXPECT_EQ(kt::get(x, 5, 1), 0.0f);
}

TEST(KernelNorm, RmsNormOverShapesAndThreads) {
    for (const Shape & s : row_shapes()) {
        if (s.layout == Layout::transposed) {
            continue; // refused, see the death test
        }
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(std::string(layout_name(s.layout)) + " ne0=" + std::to_string(s.ne[0]) +
                         " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(11);
            tevo_tensor * x = make_source(c.ctx, s);
            kt::fill(x, rng);
            tevo_tensor * y = tevo_rms_norm(c.ctx, x, 1e-6f);
            kt::compute(c.ctx, { y }, nth);
            expect_rows(y, ref_rms_norm(x, 1e-6), 1e-6, 2e-6);
        }
    }
}

TEST(KernelNorm, RmsNormOfAZeroRow) {
    Ctx           c;
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 12, 2);
    memset(x->data, 0, tevo_nbytes(x));
    tevo_tensor * with_eps = tevo_rms_norm(c.ctx, x, 1e-5f);
    tevo_tensor * no_eps   = tevo_rms_norm(c.ctx, x, 0.0f);
    kt::compute(c.ctx, { with_eps, no_eps }, 2);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(kt::get(with_eps, i, 1), 0.0f);
        EXPECT_TRUE(std::isnan(kt::get(no_eps, i, 1))); // 0 times infinity
    }
}

TEST(KernelNorm, RmsNormSumIsFormedInDoubleInIndexOrder) {
    // 64^2 followed by 4096 squares of 2^-12: each is half an ulp of the
    // running float sum and would be lost, a double sum keeps them
    Ctx           c;
    const int64_t n = 4097;
    tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
    float *       d = (float *) x->data;
    d[0]            = 64.0f;
    for (int64_t i = 1; i < n; ++i) d[i] = 1.0f / 64.0f;
    tevo_tensor * y = tevo_rms_norm(c.ctx, x, 0.0f);
    kt::compute(c.ctx, { y }, 1);

    double sum = 0;
    for (int64_t i = 0; i < n; ++i) sum += (double) (d[i] * d[i]);
    const float scale = 1.0f / sqrtf((float) (sum / (double) n));
    EXPECT_EQ(kt::bits(kt::get(y, 0)), kt::bits(64.0f * scale));
    EXPECT_EQ(kt::bits(kt::get(y, 1)), kt::bits((1.0f / 64.0f) * scale));
}

// RMS_NORM then MUL: the walk fuses them unless reference kernels are asked for
struct FusedCase {
    Shape   x;
    int64_t w_rows; // 1: one weight row for all rows
    bool    norm_second;
};

void run_rms_mul(const FusedCase & fc, int nth, bool use_ref, std::vector<float> & out, bool * norm_written) {
    Ctx           c;
    std::mt19937  rng(5);
    tevo_tensor * x = make_source(c.ctx, fc.x);
    kt::fill(x, rng);
    tevo_tensor * w = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, fc.x.ne[0], fc.w_rows);
    kt::fill(w, rng, 0.5f, 1.5f);
    tevo_tensor * n = tevo_rms_norm(c.ctx, x, 1e-5f);
    tevo_tensor * m = fc.norm_second ? tevo_mul(c.ctx, w, n) : tevo_mul(c.ctx, n, w);

    tevo_cgraph * gf = tevo_new_graph(c.ctx);
    tevo_build_forward_expand(gf, m);
    kt::poison(n);
    tevo_cplan           plan = tevo_graph_plan(gf, nth, nullptr);
    std::vector<uint8_t> work(plan.work_size);
    plan.work_data = work.data();
    plan.use_ref   = use_ref;
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);

    *norm_written = !std::isnan(kt::get(n, 0, 0, 0, 0));

    // against the reference too
    std::vector<Row> ref = ref_rms_norm(x, 1e-5);
    for (Row & r : ref) {
        for (size_t i0 = 0; i0 < r.v.size(); ++i0) r.v[i0] *= kt::get(w, (int64_t) i0, r.i1 % fc.w_rows);
    }
    expect_rows(m, ref, 1e-6, 3e-6);

    out.clear();
    kt::for_each(m, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { out.push_back(kt::get(m, i0, i1, i2, i3)); });
}

TEST(KernelNorm, FusedAndUnfusedNormTimesWeightAgreeBitForBit) {
    if (!tevo_cpu_fusion_enabled()) {
        GTEST_SKIP() << "TEVO_CPU_DISABLE_FUSION is set";
    }
    const std::vector<FusedCase> cases = {
        { { { 384, 9, 1, 1 }, Layout::packed }, 9, false }, { { { 384, 9, 1, 1 }, Layout::packed }, 1, false },
        { { { 40, 9, 1, 1 }, Layout::packed }, 9, true },   { { { 19, 4, 3, 1 }, Layout::packed }, 4, false },
        { { { 13, 4, 1, 1 }, Layout::padded }, 1, false },
    };
    for (const FusedCase & fc : cases) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("ne0=" + std::to_string(fc.x.ne[0]) + " w_rows=" + std::to_string(fc.w_rows) +
                         " nth=" + std::to_string(nth));
            std::vector<float> fused, plain;
            bool               fused_wrote = true, plain_wrote = false;
            run_rms_mul(fc, nth, false, fused, &fused_wrote);
            run_rms_mul(fc, nth, true, plain, &plain_wrote);
            EXPECT_FALSE(fused_wrote) << "the fused kernel leaves the norm node alone";
            EXPECT_TRUE(plain_wrote);
            ASSERT_EQ(fused.size(), plain.size());
            for (size_t i = 0; i < fused.size(); ++i) {
                ASSERT_EQ(kt::bits(fused[i]), kt::bits(plain[i])) << i;
            }
        }
    }
}

TEST(KernelNorm, FusionSwitchedOffByTheEnvironment) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    // read when the engine first initialises, so checked in a fresh process
    EXPECT_EXIT(
        {
            setenv("TEVO_CPU_DISABLE_FUSION", "1", 1);
            std::vector<float> out;
            bool               written = false;
            run_rms_mul({ { { 32, 4, 1, 1 }, Layout::packed }, 4, false }, 2, false, out, &written);
            exit(written && !testing::Test::HasFailure() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    testing::FLAGS_gtest_death_test_style = "fast";
}

TEST(KernelNorm, RmsNormBackMatchesTheGradient) {
    for (const Shape & s : { Shape{ { 17, 5, 2, 1 }, Layout::packed }, Shape{ { 384, 3, 1, 1 }, Layout::packed },
                             Shape{ { 10, 4, 3, 1 }, Layout::permuted } }) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("ne0=" + std::to_string(s.ne[0]) + " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(9);
            tevo_tensor * dz = make_source(c.ctx, s);
            tevo_tensor * x  = make_source(c.ctx, s);
            kt::fill(dz, rng);
            kt::fill(x, rng);
            const double  eps = 1e-3;
            tevo_tensor * dx  = tevo_rms_norm_back(c.ctx, dz, x, (float) eps);
            kt::compute(c.ctx, { dx }, nth);

            std::vector<Row>       ref = rows_of(x);
            const std::vector<Row> g   = rows_of(dz);
            for (size_t r = 0; r < ref.size(); ++r) {
                const double n   = (double) ref[r].v.size();
                double       sxx = 0, sxdz = 0;
                for (size_t i = 0; i < ref[r].v.size(); ++i) {
                    sxx += ref[r].v[i] * ref[r].v[i];
                    sxdz += ref[r].v[i] * g[r].v[i];
                }
                const double rrms = 1.0 / std::sqrt(sxx / n + eps);
                for (size_t i = 0; i < ref[r].v.size(); ++i) {
                    ref[r].v[i] = (g[r].v[i] - ref[r].v[i] * sxdz / (sxx + n * eps)) * rrms;
                }
            }
            expect_rows(dx, ref, 2e-6, 2e-6);
        }
    }
}

TEST(KernelNorm, GroupNormOverGroupsOfChannels) {
    struct Case {
        int64_t ne[4];
        int     n_groups;
        bool    permuted;
    };
    // 10 channels in 4 groups: 3, 3, 3 and 1; more groups than channels leaves empty ones
    for (const Case & gc : { Case{ { 6, 5, 10, 2 }, 4, false }, Case{ { 7, 3, 3, 1 }, 5, false },
                             Case{ { 8, 4, 6, 1 }, 2, true }, Case{ { 33, 2, 4, 1 }, 1, false } }) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("groups=" + std::to_string(gc.n_groups) + " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(13);
            tevo_tensor * x = make_source(
                c.ctx, { { gc.ne[0], gc.ne[1], gc.ne[2], gc.ne[3] }, gc.permuted ? Layout::permuted : Layout::packed });
            kt::fill(x, rng, -1.0f, 3.0f);
            const double  eps = 1e-4;
            tevo_tensor * y   = tevo_group_norm(c.ctx, x, gc.n_groups, (float) eps);
            kt::compute(c.ctx, { y }, nth);

            const int64_t per = (gc.ne[2] + gc.n_groups - 1) / gc.n_groups;
            for (int64_t i3 = 0; i3 < gc.ne[3]; ++i3) {
                for (int64_t c0 = 0; c0 < gc.ne[2]; c0 += per) {
                    const int64_t c1   = std::min(c0 + per, gc.ne[2]);
                    double        mean = 0, var = 0, n = 0;
                    for (int64_t i2 = c0; i2 < c1; ++i2)
                        for (int64_t i1 = 0; i1 < gc.ne[1]; ++i1)
                            for (int64_t i0 = 0; i0 < gc.ne[0]; ++i0) {
                                mean += kt::get(x, i0, i1, i2, i3);
                                n += 1;
                            }
                    mean /= n;
                    for (int64_t i2 = c0; i2 < c1; ++i2)
                        for (int64_t i1 = 0; i1 < gc.ne[1]; ++i1)
                            for (int64_t i0 = 0; i0 < gc.ne[0]; ++i0) {
                                const double d = kt::get(x, i0, i1, i2, i3) - mean;
                                var += d * d;
                            }
                    var /= n;
                    for (int64_t i2 = c0; i2 < c1; ++i2)
                        for (int64_t i1 = 0; i1 < gc.ne[1]; ++i1)
                            for (int64_t i0 = 0; i0 < gc.ne[0]; ++i0) {
                                const double want = (kt::get(x, i0, i1, i2, i3) - mean) / std::sqrt(var + eps);
                                ASSERT_NEAR(kt::get(y, i0, i1, i2, i3), want, 1e-5 + 1e-5 * std::fabs(want))
                                    << i0 << "," << i1 << "," << i2 << "," << i3;
                            }
                }
            }
        }
    }
}

TEST(KernelNorm, L2NormOverShapesAndZeroRows) {
    for (const Shape & s : row_shapes()) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(std::string(layout_name(s.layout)) + " ne0=" + std::to_string(s.ne[0]) +
                         " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(17);
            tevo_tensor * x = make_source(c.ctx, s);
            kt::fill(x, rng);
            tevo_tensor * y = tevo_l2_norm(c.ctx, x, 1e-6f);
            kt::compute(c.ctx, { y }, nth);
            expect_rows(y, ref_l2_norm(x, 1e-6), 1e-6, 2e-6);
        }
    }
    Ctx           c;
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 10, 2);
    memset(x->data, 0, tevo_nbytes(x));
    tevo_tensor * with_eps = tevo_l2_norm(c.ctx, x, 1e-3f);
    tevo_tensor * no_eps   = tevo_l2_norm(c.ctx, x, 0.0f);
    kt::compute(c.ctx, { with_eps, no_eps }, 3);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(kt::get(with_eps, i, 1), 0.0f);
        EXPECT_TRUE(std::isnan(kt::get(no_eps, i, 1)));
    }
}

TEST(KernelNorm, MoreThreadsThanRowsLeaveNothingUnwritten) {
    Ctx           c;
    std::mt19937  rng(19);
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 30, 2);
    kt::fill(x, rng);
    tevo_tensor * a = tevo_norm(c.ctx, x, 1e-5f);
    tevo_tensor * b = tevo_rms_norm(c.ctx, x, 1e-5f);
    tevo_tensor * l = tevo_l2_norm(c.ctx, x, 1e-5f);
    kt::poison(a);
    kt::poison(b);
    kt::poison(l);
    kt::compute(c.ctx, { a, b, l }, 8);
    expect_rows(a, ref_norm(x, 1e-5), 2e-5, 2e-5);
    expect_rows(b, ref_rms_norm(x, 1e-5), 1e-6, 2e-6);
    expect_rows(l, ref_l2_norm(x, 1e-5), 1e-6, 2e-6);
}

TEST(KernelNorm, ThroughTheCpuBackend) {
    tevo_tensor * x = nullptr;
    kt::compute_on_backend(
        [&](tevo_context * ctx) {
            x = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 384, 5, 2);
            return tevo_norm(ctx, x, 1e-5f);
        },
        [&] {
            std::mt19937 rng(23);
            kt::fill(x, rng);
        },
        [&](tevo_tensor * y) { expect_rows(y, ref_norm(x, 1e-5), 2e-5, 2e-5); });
}

// ---------------------------------------------------------------------------
// refusals

struct KernelNormDeath : ::testing::Test {
    Ctx           c;
    tevo_tensor * f32(int64_t ne0, int64_t ne1) { return tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne0, ne1); }
};

TEST_F(KernelNormDeath, NegativeOrNanEpsIsRefusedWhereChecked) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float eps : { -1e-5f, nan }) {
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_norm, tevo_norm(c.ctx, f32(8, 2), eps)),
                     kt::kernel_assert_re("eps >= 0.0f"));
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_rms_norm, tevo_rms_norm(c.ctx, f32(8, 2), eps)),
                     kt::kernel_assert_re("eps >= 0.0f"));
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_l2_norm, tevo_l2_norm(c.ctx, f32(8, 2), eps)),
                     kt::kernel_assert_re("eps >= 0.0f"));
        tevo_tensor *       n = tevo_rms_norm(c.ctx, f32(8, 2), eps);
        tevo_tensor *       m = tevo_mul(c.ctx, n, f32(8, 2));
        tevo_compute_params p = {};
        p.nth                 = 1;
        EXPECT_DEATH(tevo_compute_forward_rms_norm_mul_fused(&p, n, m), kt::kernel_assert_re("eps >= 0.0f"));
    }
    // the gradient and group norm take eps as it is
    tevo_tensor * x = f32(8, 2);
    memset(x->data, 0, tevo_nbytes(x));
    kt::call_kernel(tevo_compute_forward_rms_norm_back, tevo_rms_norm_back(c.ctx, x, x, -1.0f));
    kt::call_kernel(tevo_compute_forward_group_norm,
                    tevo_group_norm(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 1, 2), 2, -1.0f));
}

TEST_F(KernelNormDeath, TypesShapesAndStrides) {
    tevo_tensor * h = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 8, 2);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_norm, tevo_norm(c.ctx, h, 1e-5f)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_rms_norm, tevo_rms_norm(c.ctx, h, 1e-5f)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_rms_norm_back, tevo_rms_norm_back(c.ctx, h, h, 1e-5f)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_group_norm, tevo_group_norm(c.ctx, h, 1, 1e-5f)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_l2_norm, tevo_l2_norm(c.ctx, h, 1e-5f)),
                 kt::kernel_abort_re("fatal error"));

    tevo_tensor * bad = tevo_norm(c.ctx, f32(8, 2), 1e-5f);
    bad->ne[1]        = 3;
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_norm, bad),
                 kt::kernel_assert_re("tevo_are_same_shape(src0, dst)"));

    tevo_tensor * t = tevo_transpose(c.ctx, f32(4, 8));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_rms_norm, tevo_rms_norm(c.ctx, t, 1e-5f)),
                 kt::kernel_assert_re("src0->nb[0] == sizeof(float)"));
    EXPECT_DEATH(
        kt::call_kernel(tevo_compute_forward_rms_norm_back, tevo_rms_norm_back(c.ctx, f32(8, 2), f32(8, 3), 1e-5f)),
        kt::kernel_assert_re("tevo_are_same_shape(src0, dst) && tevo_are_same_shape(src0, src1)"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_rms_norm_back, tevo_rms_norm_back(c.ctx, f32(8, 4), t, 1e-5f)),
                 kt::kernel_assert_re("src1->nb[0] == sizeof(float)"));

    // the fused kernel: a MUL that does not read the norm, and no MUL at all
    tevo_tensor *       n = tevo_rms_norm(c.ctx, f32(8, 2), 1e-5f);
    tevo_tensor *       m = tevo_mul(c.ctx, f32(8, 2), f32(8, 2));
    tevo_compute_params p = {};
    p.nth                 = 1;
    EXPECT_DEATH(tevo_compute_forward_rms_norm_mul_fused(&p, n, m),
                 kt::kernel_assert_re("dst_mul->src[0] == dst_rms_norm || dst_mul->src[1] == dst_rms_norm"));
    EXPECT_DEATH(tevo_compute_forward_rms_norm_mul_fused(&p, n, nullptr), kt::kernel_assert_re("dst_mul != nullptr"));
}

TEST_F(KernelNormDeath, GroupNormWithoutGroupsIsRefused) {
    tevo_tensor * x = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 2, 3);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_group_norm, tevo_group_norm(c.ctx, x, 0, 1e-5f)),
                 kt::kernel_assert_re("n_groups > 0"));
}

} // namespace
