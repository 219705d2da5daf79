// The 32-element formats q4_0, q4_1, q5_0, q5_1, q8_0 and q8_1: worked
// blocks, round trips within each format's step, the importance-weighted
// chunk quantizers, non-finite input and refused row lengths.

#include "quant-test-helpers.h"

#include "quants/impl.h"

namespace {

std::vector<uint8_t> block_bytes(tevo_type t, const std::vector<float> & x) {
    return qt::quantize_ref(t, x);
}

TEST(QuantsQ32, ZeroBlocks) {
    const std::vector<float> z(32, 0.0f);

    std::vector<uint8_t> q = block_bytes(TEVO_TYPE_Q4_0, z);
    EXPECT_EQ(qt::get_half(q.data()), 0x8000); // -0.0: 0 times -1/8
    for (int j = 2; j < 18; ++j) EXPECT_EQ(q[j], 0x88);

    q = block_bytes(TEVO_TYPE_Q5_0, z);
    EXPECT_EQ(qt::get_half(q.data()), 0x8000);
    for (int j = 2; j < 6; ++j) EXPECT_EQ(q[j], 0xff); // every code 16: fifth bit set
    for (int j = 6; j < 22; ++j) EXPECT_EQ(q[j], 0x00);

    for (tevo_type t : { TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0, TEVO_TYPE_Q8_1 }) {
        q = block_bytes(t, z);
        for (uint8_t b : q) EXPECT_EQ(b, 0) << tevo_type_name(t);
    }
    for (tevo_type t : { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0 }) {
        for (float v : qt::dequantize(t, block_bytes(t, z), 32)) EXPECT_EQ(v, 0.0f) << tevo_type_name(t);
    }
}

TEST(QuantsQ32, WorkedBlocks) {
    // a constant block in q4_1: d 0, the value in the minimum
    std::vector<float>   c(32, 0.3f);
    std::vector<uint8_t> q = block_bytes(TEVO_TYPE_Q4_1, c);
    EXPECT_EQ(qt::get_half(q.data()), 0);
    EXPECT_EQ(qt::get_half(q.data() + 2), qt::half_bits(0.3f));
    for (float v : qt::dequantize(TEVO_TYPE_Q4_1, q, 32)) EXPECT_EQ(v, tevo_fp16_to_fp32(qt::half_bits(0.3f)));

    // q4_0 with 8.0 first and -8.0 later: d = -1, 8.0 gets code 0, -8.0
    // would get 16 and is clamped to 15, which reads as -7
    std::vector<float> x(32, 1.0f);
    x[3] = 8.0f;
    x[9] = -8.0f;
    q    = block_bytes(TEVO_TYPE_Q4_0, x);
    EXPECT_EQ(qt::get_half(q.data()), qt::half_bits(-1.0f));
    EXPECT_EQ(q[2 + 3] & 0x0f, 0);
    EXPECT_EQ(q[2 + 9] & 0x0f, 15);
    const std::vector<float> y = qt::dequantize(TEVO_TYPE_Q4_0, q, 32);
    EXPECT_EQ(y[3], 8.0f);
    EXPECT_EQ(y[9], -7.0f);

    // equal magnitudes of opposite sign: the first sets the sign of d
    std::vector<float> e(32, 0.0f);
    e[2] = -3.0f;
    e[7] = 3.0f;
    EXPECT_EQ(qt::get_half(block_bytes(TEVO_TYPE_Q4_0, e).data()), qt::half_bits(0.375f));
    EXPECT_EQ(qt::get_half(block_bytes(TEVO_TYPE_Q5_0, e).data()), qt::half_bits(0.1875f));
    std::swap(e[2], e[7]);
    EXPECT_EQ(qt::get_half(block_bytes(TEVO_TYPE_Q4_0, e).data()), qt::half_bits(-0.375f));

    // q8_0: halves away from zero
    std::vector<float> h(32, 0.0f);
    h[0] = 127.0f;
    h[1] = 2.5f;
    h[2] = -2.5f;
    q    = block_bytes(TEVO_TYPE_Q8_0, h);
    EXPECT_EQ((int8_t) q[2 + 1], 3);
    EXPECT_EQ((int8_t) q[2 + 2], -3);

    // q8_1's s is d times the code sum, from the float d
    std::mt19937             rng(1);
    const std::vector<float> r  = qt::gaussian_row(32, rng);
    q                           = block_bytes(TEVO_TYPE_Q8_1, r);
    const block_q8_1 * b        = (const block_q8_1 *) q.data();
    float              amax     = 0.0f;
    int                sum      = 0;
    for (float v : r) amax = std::max(amax, std::fabs(v));
    for (int8_t v : b->qs) sum += v;
    EXPECT_EQ(b->s, qt::half_bits(amax / 127 * (float) sum));
}

// Every element lies within half a step of its value (a full step for the
// element clamped at the opposite extreme of a symmetric format), the step
// being the block's largest magnitude over nmax or its range over nmax; the
// half-precision rounding of the stored scale adds at most nmax * 2^-11 of a
// step, that of the minimum 2^-11 of its magnitude.
TEST(QuantsQ32, RoundTripsStayWithinHalfAStep) {
    struct Case {
        tevo_type type;
        int       nmax;
        bool      with_min;
    };
    const Case cases[] = {
        { TEVO_TYPE_Q4_0, 8, false }, { TEVO_TYPE_Q5_0, 16, false }, { TEVO_TYPE_Q8_0, 127, false },
        { TEVO_TYPE_Q4_1, 15, true },  { TEVO_TYPE_Q5_1, 31, true },
    };
    std::mt19937 rng(2);
    for (const Case & c : cases) {
        for (int dist = 0; dist < 2; ++dist) {
            const std::vector<float> x = dist ? qt::uniform_row(32 * 200, rng, -3.0f, 1.0f) : qt::gaussian_row(32 * 200, rng);
            const std::vector<float> y = qt::dequantize(c.type, qt::quantize_ref(c.type, x), (int64_t) x.size());
            for (size_t b = 0; b < x.size() / 32; ++b) {
                const float * xb  = &x[32 * b];
                float         mn  = xb[0], mx = xb[0], amax = 0.0f, smax = 0.0f;
                for (int j = 0; j < 32; ++j) {
                    mn = std::min(mn, xb[j]);
                    mx = std::max(mx, xb[j]);
                    if (std::fabs(xb[j]) > amax) {
                        amax = std::fabs(xb[j]);
                        smax = xb[j];
                    }
                }
                const double step = c.with_min ? (mx - mn) / c.nmax : amax / c.nmax;
                const double slack = step * (c.nmax * std::ldexp(1.0, -11) + 1e-5) +
                                     (c.with_min ? std::fabs(mn) * std::ldexp(1.0, -11) : 0.0);
                for (int j = 0; j < 32; ++j) {
                    const bool   clamped = !c.with_min && c.nmax != 127 && xb[j] * smax < 0 &&
                                         std::fabs(xb[j]) > amax - 0.5 * step;
                    const double bound   = (clamped ? 1.0 : 0.5) * step + slack;
                    ASSERT_LE(std::fabs((double) xb[j] - y[32 * b + j]), bound)
                        << tevo_type_name(c.type) << " block " << b << " element " << j;
                }
            }
        }
    }
}

TEST(QuantsQ32, ChunkWithoutWeightsIsTheReference) {
    std::mt19937             rng(3);
    const int64_t            nrows = 3, npr = 96;
    const std::vector<float> x     = qt::gaussian_row(nrows * npr, rng);
    for (tevo_type t : { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0 }) {
        std::vector<uint8_t> q(qt::row_bytes(t, nrows * npr));
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), q.data(), 0, nrows, npr, nullptr), nrows * tevo_row_size(t, npr));
        EXPECT_EQ(q, qt::quantize_ref(t, x)) << tevo_type_name(t);
    }
    // q8_0 ignores the weights
    std::vector<float>   im(npr, 2.0f);
    std::vector<uint8_t> q(qt::row_bytes(TEVO_TYPE_Q8_0, nrows * npr));
    quantize_q8_0(x.data(), q.data(), nrows, npr, im.data());
    EXPECT_EQ(q, qt::quantize_ref(TEVO_TYPE_Q8_0, x));
}

TEST(QuantsQ32, WeightedWorkedBlocks) {
    std::vector<float> im(32, 1.0f);

    // zeros: d 0 and codes 0 where the reference stores codes 8
    std::vector<float> z(32, 0.0f);
    block_q4_0         b40;
    quantize_q4_0(z.data(), &b40, 1, 32, im.data());
    EXPECT_EQ(b40.d, 0);
    for (uint8_t v : b40.qs) EXPECT_EQ(v, 0);

    // all -2: d 0, minimum -2, codes 0
    std::vector<float> m2(32, -2.0f);
    block_q4_1         b41;
    quantize_q4_1(m2.data(), &b41, 1, 32, im.data());
    EXPECT_EQ(b41.d, 0);
    EXPECT_EQ(b41.m, qt::half_bits(-2.0f));
    for (uint8_t v : b41.qs) EXPECT_EQ(v, 0);

    // all positive: the minimum never goes above 0
    std::mt19937 rng(4);
    for (int rep = 0; rep < 50; ++rep) {
        const std::vector<float> p = qt::uniform_row(32, rng, 0.5f, 3.0f);
        quantize_q4_1(p.data(), &b41, 1, 32, im.data());
        EXPECT_LE(tevo_fp16_to_fp32(b41.m), 0.0f);
        block_q5_1 b51;
        quantize_q5_1(p.data(), &b51, 1, 32, im.data());
        EXPECT_LE(tevo_fp16_to_fp32(b51.m), 0.0f);
    }
}

// A column with a large importance weight is reproduced more exactly than
// without weights, and the weighted error over all columns is not worse.
TEST(QuantsQ32, ImportanceWeightsChangeTheChoice) {
    const int64_t nrows = 200, npr = 64;
    std::mt19937  rng(5);
    const std::vector<float> x = qt::gaussian_row(nrows * npr, rng);
    std::vector<float>       im(npr, 1.0f);
    const int                heavy[] = { 5, 40 };
    for (int c : heavy) im[c] = 1000.0f;

    for (tevo_type t : { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1 }) {
        std::vector<uint8_t> qw(qt::row_bytes(t, nrows * npr)), qp(qw.size());
        tevo_quantize_chunk(t, x.data(), qw.data(), 0, nrows, npr, im.data());
        tevo_quantize_chunk(t, x.data(), qp.data(), 0, nrows, npr, nullptr);
        const std::vector<float> yw = qt::dequantize(t, qw, nrows * npr);
        const std::vector<float> yp = qt::dequantize(t, qp, nrows * npr);
        double ew = 0, ep = 0;
        for (int64_t r = 0; r < nrows; ++r) {
            for (int c : heavy) {
                const size_t i = (size_t) (r * npr + c);
                ew += (x[i] - yw[i]) * (double) (x[i] - yw[i]);
                ep += (x[i] - yp[i]) * (double) (x[i] - yp[i]);
            }
        }
        EXPECT_LT(ew, 0.5 * ep) << tevo_type_name(t);
        EXPECT_NE(qw, qp) << tevo_type_name(t);
    }
}

TEST(QuantsQ32, RoundingHelperTiesToEven) {
    EXPECT_EQ(tevo_q_nearest_int(2.5f), 2);
    EXPECT_EQ(tevo_q_nearest_int(3.5f), 4);
    EXPECT_EQ(tevo_q_nearest_int(-2.5f), -2);
    EXPECT_EQ(tevo_q_nearest_int(-2.6f), -3);
    EXPECT_EQ(tevo_q_nearest_int(0.49f), 0);
}

TEST(QuantsQ32DeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<float>   x(64, 1.0f);
    std::vector<uint8_t> q(256);
    EXPECT_DEATH(quantize_row_q4_0_ref(x.data(), q.data(), 40), "k >= 0 && k % QK4_0 == 0");
    EXPECT_DEATH(quantize_row_q5_1_ref(x.data(), q.data(), 31), "k % QK5_1 == 0");
    EXPECT_DEATH(dequantize_row_q8_0(q.data(), x.data(), 33), "k % QK8_0 == 0");
    EXPECT_DEATH(quantize_q4_1(x.data(), q.data(), 1, 48, nullptr), "n_per_row % 32 == 0");
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_Q5_0, x.data(), q.data(), 0, 1, 48, nullptr),
                 "n_per_row % type_traits\\[type\\]\\.blck_size == 0");
    // nothing at all for an empty row
    quantize_row_q4_0_ref(x.data(), q.data(), 0);
}

} // namespace
