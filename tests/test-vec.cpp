// CPU row routines: the fixed accumulation order of the F32, F16 and BF16 dot
// products (against an emulation of that order, and against double
// precision), the block dot products used by matrix multiplication (bit for
// bit equal to the one-row routines), the 8-lane exponential with its
// overflow and underflow path, the softmax, SiLU and variance routines, and
// the 8-lane row routines (conversions, scaled additions, table GELUs)
// against their one-element rules, bit for bit, over lengths with and
// without a tail.

#include "cpu/vec/convert.h"
#include "cpu/vec/gelu.h"
#include "cpu/vec/vec.h"
#include "cpu/vec/x86/simd.h"
#include "tevo-cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

// separate rounding steps: keeps the compiler from fusing them
float mul_rounded(float a, float b) {
    volatile float p = a * b;
    return p;
}

float add_rounded(float a, float b) {
    volatile float s = a + b;
    return s;
}

float fold8(const float * v) {
    float w[4];
    for (int i = 0; i < 4; ++i) {
        w[i] = add_rounded(v[i], v[i + 4]);
    }
    return add_rounded(add_rounded(w[0], w[1]), add_rounded(w[2], w[3]));
}

// The specified order: 4 accumulators of 8 lanes over blocks of 32, combined
// as (a0 + a2) + (a1 + a3), folded; then the tail.
enum class Kind { f32, f16, bf16 };

float reference_order(Kind kind, const std::vector<float> & x, const std::vector<float> & y) {
    const int n  = (int) x.size();
    const int np = n & ~31;
    float     acc[4][8] = {};
    for (int i = 0; i < np; i += 32) {
        for (int m = 0; m < 4; ++m) {
            for (int l = 0; l < 8; ++l) {
                const float a = x[i + 8 * m + l];
                const float b = y[i + 8 * m + l];
                acc[m][l]     = kind == Kind::bf16 ? add_rounded(acc[m][l], mul_rounded(a, b)) : std::fma(a, b, acc[m][l]);
            }
        }
    }
    float v[8];
    for (int l = 0; l < 8; ++l) {
        v[l] = add_rounded(add_rounded(acc[0][l], acc[2][l]), add_rounded(acc[1][l], acc[3][l]));
    }
    const float sum = fold8(v);
    if (kind == Kind::f32) {
        float s = sum;
        for (int i = np; i < n; ++i) {
            s = std::fma(x[i], y[i], s);
        }
        return s;
    }
    double sumd = sum;
    for (int i = np; i < n; ++i) {
        sumd += (double) mul_rounded(x[i], y[i]);
    }
    return (float) sumd;
}

struct Rows {
    std::vector<float>       xf, yf; // values as the kernel sees them
    std::vector<tevo_fp16_t> xh, yh;
    std::vector<tevo_bf16_t> xb, yb;
};

Rows make_rows(int n, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    Rows                                  r;
    for (int i = 0; i < n; ++i) {
        const float a = dist(rng), b = dist(rng);
        r.xf.push_back(a);
        r.yf.push_back(b);
        r.xh.push_back(tevo_fp32_to_fp16(a));
        r.yh.push_back(tevo_fp32_to_fp16(b));
        r.xb.push_back(tevo_fp32_to_bf16(a));
        r.yb.push_back(tevo_fp32_to_bf16(b));
    }
    return r;
}

struct VecTest : ::testing::Test {
    void SetUp() override { tevo_cpu_init(); }
};

TEST_F(VecTest, DotProductsFollowTheFixedOrder) {
    for (int n : { 0, 1, 3, 31, 32, 35, 64, 100, 384, 1001 }) {
        SCOPED_TRACE(n);
        const Rows r = make_rows(n, 17u + (uint32_t) n);

        float s = -1.0f;
        tevo_vec_dot_f32(n, &s, 0, r.xf.data(), 0, r.yf.data(), 0, 1);
        EXPECT_EQ(bits(s), bits(reference_order(Kind::f32, r.xf, r.yf)));

        std::vector<float> xh, yh, xb, yb;
        for (int i = 0; i < n; ++i) {
            xh.push_back(tevo_fp16_to_fp32(r.xh[i]));
            yh.push_back(tevo_fp16_to_fp32(r.yh[i]));
            xb.push_back(tevo_bf16_to_fp32(r.xb[i]));
            yb.push_back(tevo_bf16_to_fp32(r.yb[i]));
        }
        tevo_vec_dot_f16(n, &s, 0, r.xh.data(), 0, r.yh.data(), 0, 1);
        EXPECT_EQ(bits(s), bits(reference_order(Kind::f16, xh, yh)));

        tevo_vec_dot_bf16(n, &s, 0, r.xb.data(), 0, r.yb.data(), 0, 1);
        EXPECT_EQ(bits(s), bits(reference_order(Kind::bf16, xb, yb)));

        // and close to the exact sum
        double exact = 0.0, mag = 0.0;
        for (int i = 0; i < n; ++i) {
            exact += (double) r.xf[i] * r.yf[i];
            mag += std::fabs((double) r.xf[i] * r.yf[i]);
        }
        tevo_vec_dot_f32(n, &s, 0, r.xf.data(), 0, r.yf.data(), 0, 1);
        EXPECT_NEAR(s, exact, 1e-6 * mag + 1e-30);
    }
}

TEST_F(VecTest, DotF32WithThirtyFiveValuesUsesOneBlockAndThreeSingleSteps) {
    // 32 ones and three values whose single steps are visible
    std::vector<float> x(35, 1.0f), y(35, 1.0f);
    x[32] = 2.0f;
    x[33] = 3.0f;
    x[34] = 4.0f;
    float s = 0.0f;
    tevo_vec_dot_f32(35, &s, 0, x.data(), 0, y.data(), 0, 1);
    EXPECT_EQ(s, 32.0f + 2.0f + 3.0f + 4.0f);
}

typedef void (*block_fn)(int, int, int, const void *, size_t, const void * const *, float *);
typedef void (*row_fn)(int, float *, const void *, const void *);

void row_f32(int n, float * s, const void * x, const void * y) {
    tevo_vec_dot_f32(n, s, 0, (const float *) x, 0, (const float *) y, 0, 1);
}
void row_f16(int n, float * s, const void * x, const void * y) {
    tevo_vec_dot_f16(n, s, 0, (const tevo_fp16_t *) x, 0, (const tevo_fp16_t *) y, 0, 1);
}
void row_bf16(int n, float * s, const void * x, const void * y) {
    tevo_vec_dot_bf16(n, s, 0, (const tevo_bf16_t *) x, 0, (const tevo_bf16_t *) y, 0, 1);
}

TEST_F(VecTest, BlockDotProductsEqualTheOneRowRoutinesBitForBit) {
    struct Case {
        const char * name;
        block_fn     block;
        row_fn       row;
        size_t       elem;
    };
    const Case cases[] = {
        { "f32", tevo_vec_dot_f32_block, row_f32, 4 },
        { "f16", tevo_vec_dot_f16_block, row_f16, 2 },
        { "bf16", tevo_vec_dot_bf16_block, row_bf16, 2 },
    };
    std::mt19937 rng(5);
    for (const Case & c : cases) {
        for (int n : { 1, 31, 32, 33, 63, 64, 65, 95, 96, 130, 384 }) {
            // rows of x padded by 3 elements, so bx is not the row length
            const size_t         bx = (size_t) (n + 3) * c.elem;
            std::vector<uint8_t> xbuf(16 * bx), ybuf(16 * (size_t) n * c.elem + 64);
            for (auto & b : xbuf) b = (uint8_t) (rng() & 0x3F); // keeps halves and brain floats finite
            for (auto & b : ybuf) b = (uint8_t) (rng() & 0x3F);
            for (int nx : { 1, 3, 4, 7, 8, 9, 16 }) {
                for (int ny : { 1, 2, 3, 5, 16 }) {
                    SCOPED_TRACE(testing::Message() << c.name << " n=" << n << " nx=" << nx << " ny=" << ny);
                    const void * y[16];
                    for (int j = 0; j < ny; ++j) {
                        y[j] = ybuf.data() + (size_t) ((j * 7) % 16) * n * c.elem; // rows in any order
                    }
                    float s[256];
                    c.block(n, nx, ny, xbuf.data(), bx, y, s);
                    for (int j = 0; j < ny; ++j) {
                        for (int i = 0; i < nx; ++i) {
                            float r;
                            c.row(n, &r, xbuf.data() + i * bx, y[j]);
                            ASSERT_EQ(bits(s[j * 16 + i]), bits(r)) << "i=" << i << " j=" << j;
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// the exponential

std::vector<float> v_exp(const std::vector<float> & v) {
    std::vector<float> out(v.size());
    for (size_t i = 0; i + 8 <= v.size(); i += 8) {
        _mm256_storeu_ps(out.data() + i, tevo_v_expf(_mm256_loadu_ps(v.data() + i)));
    }
    return out;
}

float f_of(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof(f));
    return f;
}

// The exponential's six steps, one lane at a time, in single precision.
float exp_steps(float v) {
    const float    z = std::fma(v, 1.44269502f, 12582912.0f);
    const float    n = z - 12582912.0f;
    const float    b = std::fma(n, -1.42860677e-6f, std::fma(n, -0.693145752f, v));
    const uint32_t k = bits(z) << 23;
    const float    j = f_of(k + 0x3F800000u);
    const float    u = b * b;
    const float    w = std::fma(u, std::fma(std::fma(b, 0.00824739039f, 0.0418997668f), u,
                                            std::fma(b, 0.166683957f, 0.499991268f)),
                                b * 0.999999404f);
    if (!(std::fabs(n) > 126.0f)) {
        return std::fma(w, j, j);
    }
    const uint32_t c  = n <= 0.0f ? 0x82000000u : 0u;
    const float    s1 = f_of(c + 0x7F000000u);
    const float    s2 = f_of(k - c);
    if (std::fabs(n) > 192.0f) {
        return s1 * s1;
    }
    return s1 * std::fma(s2, w, s2);
}

TEST_F(VecTest, ExponentialFollowsItsStepsBitForBit) {
    std::vector<float> v;
    std::mt19937       rng(23);
    std::uniform_real_distribution<float> wide(-220.0f, 220.0f), near(-2.0f, 2.0f);
    for (int i = 0; i < 4000; ++i) {
        v.push_back(i % 2 ? wide(rng) : near(rng));
    }
    // the edges of the two slow ranges, and values that saturate
    for (float x : { 87.3f, 88.0f, 88.72f, 88.8f, 89.0f, 133.0f, 134.0f, -87.3f, -88.0f, -88.8f, -100.0f, -103.9f,
                     -104.0f, -133.0f, -134.0f, -150.0f, 0.0f, -0.0f, 1e-30f, -1e-30f, 1000.0f, -1000.0f }) {
        v.push_back(x);
    }
    v.resize(v.size() / 8 * 8);
    const std::vector<float> e = v_exp(v);
    for (size_t i = 0; i < v.size(); ++i) {
        ASSERT_EQ(bits(e[i]), bits(exp_steps(v[i]))) << v[i];
    }
}

TEST_F(VecTest, ExponentialIsAccurateOverTheNormalRange) {
    std::vector<float> v;
    for (float x = -87.0f; x <= 88.0f; x += 0.0137f) {
        v.push_back(x);
    }
    v.resize(v.size() / 8 * 8);
    const std::vector<float> e = v_exp(v);
    double                   worst = 0.0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double ref = std::exp((double) v[i]);
        worst            = std::max(worst, std::fabs(e[i] - ref) / ref);
    }
    // a few units in the last place
    EXPECT_LT(worst, 4e-7);
    EXPECT_EQ(v_exp({ 0, 0, 0, 0, 0, 0, 0, 0 })[0], 1.0f);
}

TEST_F(VecTest, ExponentialOverflowsToInfinityAndUnderflowsThroughSubnormals) {
    const float inf = INFINITY;
    // lanes mixed with normal ones, so the slow path serves a whole vector
    const std::vector<float> v = { 89.0f, 100.0f, 200.0f, inf, -100.0f, -104.0f, -300.0f, -inf };
    const std::vector<float> e = v_exp(v);
    EXPECT_EQ(e[0], inf);
    EXPECT_EQ(e[1], inf);
    EXPECT_EQ(e[2], inf);
    EXPECT_EQ(e[3], inf);
    EXPECT_NEAR(e[4], 3.7200760e-44f, 3e-45f); // subnormal
    EXPECT_GT(e[4], 0.0f);
    EXPECT_LT(e[4], 1.17549435e-38f);
    EXPECT_GE(e[5], 0.0f);
    EXPECT_LE(e[5], 1e-44f);
    EXPECT_EQ(e[6], 0.0f);
    EXPECT_EQ(e[7], 0.0f);

    // the subnormal range stays within a few subnormal steps of the truth
    std::vector<float> w;
    for (float x = -103.0f; x < -87.4f; x += 0.05f) {
        w.push_back(x);
    }
    w.resize(w.size() / 8 * 8);
    const std::vector<float> ew = v_exp(w);
    for (size_t i = 0; i < w.size(); ++i) {
        const double ref = std::exp((double) w[i]);
        EXPECT_NEAR(ew[i], ref, std::max(ref * 4e-7, 3.0 * 1.401298464e-45)) << w[i];
    }

    // just beyond the fast path's range, on the overflow side
    const std::vector<float> h = v_exp({ 87.5f, 88.0f, 88.5f, 88.7f, 88.72f, -87.5f, -88.0f, -88.5f });
    const float              in[8] = { 87.5f, 88.0f, 88.5f, 88.7f, 88.72f, -87.5f, -88.0f, -88.5f };
    for (int i = 0; i < 8; ++i) {
        const double ref = std::exp((double) in[i]);
        if (ref > 3.4028234663852886e38) {
            EXPECT_EQ(h[i], inf) << in[i];
        } else {
            EXPECT_NEAR(h[i], ref, ref * 4e-7 + 3.0 * 1.401298464e-45) << in[i];
        }
    }
}

// ---------------------------------------------------------------------------
// routines built on it

TEST_F(VecTest, SoftMaxOfEqualValuesIsOneEverywhere) {
    std::vector<float> x(19, 3.5f), y(19, 0.0f);
    const double       sum = tevo_vec_soft_max_f32(19, y.data(), x.data(), 3.5f);
    EXPECT_EQ(sum, 19.0);
    for (float v : y) {
        EXPECT_EQ(v, 1.0f);
    }
}

TEST_F(VecTest, SoftMaxMatchesTheExponentialAndSumsInDouble) {
    std::vector<float> x = { 0.0f, -1.0f, -100.0f, -INFINITY, 2.0f, -3.5f, 1.0f, -0.25f, 0.5f, -7.0f, -100.0f };
    std::vector<float> y(x.size());
    const double       sum = tevo_vec_soft_max_f32((int) x.size(), y.data(), x.data(), 2.0f);
    for (size_t i = 0; i < x.size(); ++i) {
        const double e = std::exp((double) x[i] - 2.0);
        EXPECT_NEAR(y[i], e, e * 4e-7 + 4.2e-45) << i;
    }
    // the group of 8 is summed in single precision, then everything in double
    double ref = (double) fold8(y.data());
    for (size_t i = 8; i < x.size(); ++i) {
        ref += (double) y[i];
    }
    EXPECT_EQ(sum, ref);
    EXPECT_EQ(y[3], 0.0f);          // -inf gives 0
    EXPECT_GT(y[2], 0.0f);          // lane 2 of the vector: subnormal through the slow path
    EXPECT_LT(y[2], 1.2e-38f);
    // in place
    std::vector<float> z = x;
    tevo_vec_soft_max_f32((int) z.size(), z.data(), z.data(), 2.0f);
    for (size_t i = 0; i < z.size(); ++i) {
        EXPECT_EQ(bits(z[i]), bits(y[i]));
    }
}

TEST_F(VecTest, LogSoftMax) {
    float y[4] = { 7, 7, 7, 7 };
    EXPECT_EQ(tevo_vec_log_soft_max_f32(0, y, y, 0.0f), -INFINITY);
    EXPECT_EQ(y[0], 7.0f); // nothing written

    const float x[5] = { 1.0f, 2.0f, 3.0f, 0.5f, -1.0f };
    float       out[5];
    const double r = tevo_vec_log_soft_max_f32(5, out, x, 3.0f);
    double       s = 0.0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i], x[i] - 3.0f);
        s += std::exp((double) x[i] - 3.0);
    }
    EXPECT_NEAR(r, std::log(s), 1e-6);
}

TEST_F(VecTest, SiluAndSwiglu) {
    std::vector<float> x = { 0.0f, -100.0f, 100.0f, 1.0f, -1.0f, 2.5f, -20.0f, 0.1f, 3.0f, -0.5f };
    std::vector<float> g = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };
    std::vector<float> y(x.size()), z(x.size());
    tevo_vec_silu_f32((int) x.size(), y.data(), x.data());
    tevo_vec_swiglu_f32((int) x.size(), z.data(), x.data(), g.data());
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_FALSE(std::isnan(y[1]));
    // -inf takes the limit -0 in the vector groups and in the tail alike
    for (int n : { 8, 9 }) {
        std::vector<float> xi(n, 1.0f), gi(n, 3.0f), yi(n), zi(n);
        xi[2]     = -INFINITY;
        xi[n - 1] = -INFINITY;
        tevo_vec_silu_f32(n, yi.data(), xi.data());
        tevo_vec_swiglu_f32(n, zi.data(), xi.data(), gi.data());
        for (int i : { 2, n - 1 }) {
            EXPECT_EQ(yi[i], 0.0f) << n << " " << i;
            EXPECT_TRUE(std::signbit(yi[i])) << n << " " << i;
            EXPECT_EQ(zi[i], 0.0f) << n << " " << i;
            EXPECT_TRUE(std::signbit(zi[i])) << n << " " << i;
        }
        EXPECT_EQ(yi[0], y[3]);
    }
    EXPECT_LE(y[1], 0.0f);
    EXPECT_GT(y[1], -1e-30f);
    for (size_t i = 0; i < x.size(); ++i) {
        const double ref = (double) x[i] / (1.0 + std::exp(-(double) x[i]));
        EXPECT_NEAR(y[i], ref, std::fabs(ref) * 1e-6 + 1e-30) << i;
        EXPECT_NEAR(z[i], ref * g[i], std::fabs(ref * g[i]) * 1e-6 + 1e-30) << i;
    }
}

TEST_F(VecTest, CentredVariance) {
    const float x[4] = { 1, 2, 3, 4 };
    float       y[4];
    EXPECT_EQ(tevo_vec_cvar_f32(4, y, x, 2.5f), 1.25);
    EXPECT_EQ(y[0], -1.5f);
    EXPECT_EQ(y[1], -0.5f);
    EXPECT_EQ(y[2], 0.5f);
    EXPECT_EQ(y[3], 1.5f);

    std::vector<float> big(21), out(21);
    double             ref = 0.0;
    for (int i = 0; i < 21; ++i) {
        big[i] = (float) (i * i) * 0.25f;
    }
    for (int i = 0; i < 21; ++i) {
        const float d = big[i] - 10.0f;
        ref += (double) d * d;
    }
    EXPECT_NEAR(tevo_vec_cvar_f32(21, out.data(), big.data(), 10.0f), ref / 21, 1e-4);
}

// lengths around the 8-lane groups and the 32-wide unrolled body
const int kTailLengths[] = { 0, 1, 7, 8, 9, 31, 32, 33, 45 };

// finite values and, from index 3 on every 5th, the special ones in turn
std::vector<float> special_row(int n, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-12.0f, 12.0f);
    const float special[] = { NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1e-40f, 70000.0f };
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) {
        v[i] = i % 5 == 3 ? special[(i / 5) % 8] : dist(rng);
    }
    return v;
}

template <typename T> uint32_t raw(T v) {
    uint32_t u = 0;
    memcpy(&u, &v, sizeof(v));
    return u;
}

TEST_F(VecTest, RowConversionsGiveTheElementRulesBits) {
    for (int n : kTailLengths) {
        SCOPED_TRACE(n);
        const std::vector<float> x = special_row(n, 5u + (uint32_t) n);
        std::vector<tevo_fp16_t> h(n), h2(n);
        std::vector<tevo_bf16_t> b(n), b2(n);
        std::vector<float>       f(n);
        std::vector<int32_t>     iv(n);

        tevo_vec_cvt_f32_f16(x.data(), h.data(), n);
        tevo_vec_cvt_f32_bf16(x.data(), b.data(), n);
        tevo_vec_cvt_f16_bf16(h.data(), b2.data(), n);
        tevo_vec_cvt_bf16_f16(b.data(), h2.data(), n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(h[i], tevo_fp32_to_fp16(x[i])) << i;
            EXPECT_EQ(b[i].bits, tevo_fp32_to_bf16(x[i]).bits) << i;
            EXPECT_EQ(b2[i].bits, tevo_fp32_to_bf16(tevo_fp16_to_fp32(h[i])).bits) << i;
            EXPECT_EQ(h2[i], tevo_fp32_to_fp16(tevo_bf16_to_fp32(b[i]))) << i;
        }
        tevo_vec_cvt_f16_f32(h.data(), f.data(), n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(raw(f[i]), raw(tevo_fp16_to_fp32(h[i]))) << i;
        }
        for (int i = 0; i < n; ++i) {
            iv[i] = i % 5 == 1 ? INT32_MIN + i : (int32_t) (x[i] == x[i] && std::fabs(x[i]) < 1e6f ? x[i] * 1000.0f : i);
        }
        tevo_vec_cvt_i32_f32(iv.data(), f.data(), n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(f[i], (float) iv[i]) << i;
        }
    }
}

TEST_F(VecTest, ScaledAdditionsRoundLikeTheirElementRules) {
    const float s = -0.8125f;
    for (int n : kTailLengths) {
        SCOPED_TRACE(n);
        const std::vector<float> x = make_rows(n, 40u + (uint32_t) n).xf;
        const std::vector<float> y = make_rows(n, 90u + (uint32_t) n).yf;
        std::vector<tevo_fp16_t> xh(n);
        std::vector<tevo_bf16_t> xb(n);
        for (int i = 0; i < n; ++i) {
            xh[i] = tevo_fp32_to_fp16(x[i]);
            xb[i] = tevo_fp32_to_bf16(x[i]);
        }

        std::vector<float> f32 = y, f16 = y;
        tevo_vec_mad_f32(n, f32.data(), x.data(), s);
        tevo_vec_mad_f32_f16(n, f16.data(), xh.data(), s);
        std::vector<tevo_bf16_t> scaled_b(n);
        tevo_vec_scale_bf16(n, scaled_b.data(), xb.data(), s, 0.375f);

        double sum_sq = 0.0;
        for (int i = 0; i < n; ++i) {
            const float hx = tevo_fp16_to_fp32(xh[i]);
            EXPECT_EQ(raw(f32[i]), raw(std::fma(x[i], s, y[i]))) << i;
            EXPECT_EQ(raw(f16[i]), raw(std::fma(hx, s, y[i]))) << i;
            EXPECT_EQ(scaled_b[i].bits, tevo_fp32_to_bf16(std::fma(s, tevo_bf16_to_fp32(xb[i]), 0.375f)).bits) << i;
            sum_sq += (double) mul_rounded(x[i], x[i]);
        }
        EXPECT_EQ(tevo_vec_sum_sq_f32(n, x.data()), sum_sq);
    }
}

TEST_F(VecTest, TableGelusAndGatedUnitsMatchTheOneElementForms) {
    for (int n : kTailLengths) {
        SCOPED_TRACE(n);
        const std::vector<float> x = special_row(n, 7u + (uint32_t) n);
        const std::vector<float> g = make_rows(n, 300u + (uint32_t) n).yf;
        std::vector<float>       gelu(n), quick(n), reglu(n), geglu(n), geglu_quick(n);
        tevo_vec_gelu_f32(n, gelu.data(), x.data());
        tevo_vec_gelu_quick_f32(n, quick.data(), x.data());
        tevo_vec_reglu_f32(n, reglu.data(), x.data(), g.data());
        tevo_vec_geglu_f32(n, geglu.data(), x.data(), g.data());
        tevo_vec_geglu_quick_f32(n, geglu_quick.data(), x.data(), g.data());
        for (int i = 0; i < n; ++i) {
            const float gl = x[i] <= TEVO_GELU_LOWER ? 0.0f : mul_rounded(tevo_gelu_table_f32(x[i]), g[i]);
            EXPECT_EQ(raw(gelu[i]), raw(tevo_gelu_table_f32(x[i]))) << i;
            EXPECT_EQ(raw(quick[i]), raw(tevo_gelu_quick_table_f32(x[i]))) << i;
            EXPECT_EQ(raw(reglu[i]), raw(x[i] > 0.0f ? mul_rounded(x[i], g[i]) : 0.0f)) << i;
            EXPECT_EQ(raw(geglu[i]), raw(gl)) << i;
            EXPECT_EQ(raw(geglu_quick[i]), raw(mul_rounded(tevo_gelu_quick_table_f32(x[i]), g[i]))) << i;
        }
    }
}

} // namespace
