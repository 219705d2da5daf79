// The four-bit floating-point formats mxfp4 and nvfp4: worked blocks and
// scale bytes, the nearest-code rule on random rows, and the exponent clamp
// of tiny mxfp4 blocks.

#include "quant-test-helpers.h"

namespace {

float ue4m3(uint8_t u) {
    if (u == 0 || u == 0x7f) return 0.0f;
    const int e = (u >> 3) & 15, m = u & 7;
    return e ? std::ldexp(1.0f + m / 8.0f, e - 7) : std::ldexp((float) m, -9);
}

TEST(QuantsFp4, MxWorkedBlocks) {
    std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_MXFP4, std::vector<float>(32, 0.0f));
    for (uint8_t b : q) EXPECT_EQ(b, 0);

    std::vector<float> x(32, 0.0f);
    x[0] = 6.0f;
    x[1] = 0.5f;
    x[2] = -1.5f;
    x[3] = 0.25f; // halfway between 0 and 0.5: the lower code
    q    = qt::quantize_ref(TEVO_TYPE_MXFP4, x);
    EXPECT_EQ(q[0], 127);
    EXPECT_EQ(q[1 + 0] & 0x0f, 7);
    EXPECT_EQ(q[1 + 1] & 0x0f, 1);
    EXPECT_EQ(q[1 + 2] & 0x0f, 11);
    EXPECT_EQ(q[1 + 3] & 0x0f, 0);
    const std::vector<float> y = qt::dequantize(TEVO_TYPE_MXFP4, q, 32);
    EXPECT_EQ(y[0], 6.0f);
    EXPECT_EQ(y[1], 0.5f);
    EXPECT_EQ(y[2], -1.5f);
    EXPECT_EQ(y[3], 0.0f);

    x[0] = 7.9f; // same exponent, stored as 6
    q    = qt::quantize_ref(TEVO_TYPE_MXFP4, x);
    EXPECT_EQ(q[0], 127);
    EXPECT_EQ(qt::dequantize(TEVO_TYPE_MXFP4, q, 32)[0], 6.0f);
}

// A block maximum just above the smallest normal float would need an
// exponent byte below 0; it is clamped to 0 rather than wrapping to the
// invalid 255, and the row stays valid.
TEST(QuantsFp4, TinyMxBlocksClampTheExponent) {
    for (float amax : { 1.2e-38f, 1e-40f, 3e-38f }) {
        std::vector<float> x(32, 0.0f);
        x[5] = amax;
        x[6] = -amax / 2;
        const std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_MXFP4, x);
        EXPECT_EQ(q[0], 0) << amax;
        EXPECT_TRUE(tevo_validate_row_data(TEVO_TYPE_MXFP4, q.data(), q.size())) << amax;
    }
}

// Exponent bytes 0 and 1 give subnormal half scales 2^-128 and 2^-127: every
// code decodes to table[code] * 2^(e - 128) exactly, and a block built from
// those values quantizes back to the same exponent and values.
TEST(QuantsFp4, MxSmallExponentsDecodeAndRoundTripExactly) {
    for (int e : { 0, 1, 2, 3, 127, 200 }) {
        SCOPED_TRACE(e);
        block_mxfp4 b;
        b.e = (uint8_t) e;
        for (int j = 0; j < 16; ++j) b.qs[j] = (uint8_t) (j | ((15 - j) << 4));
        std::vector<float> y(32);
        dequantize_row_mxfp4(&b, y.data(), 32);
        std::vector<float> want(32);
        for (int j = 0; j < 16; ++j) {
            want[j]      = (float) (fp4_e2m1_doubled_values[j] * std::ldexp(1.0, e - 128));
            want[j + 16] = (float) (fp4_e2m1_doubled_values[15 - j] * std::ldexp(1.0, e - 128));
        }
        for (int i = 0; i < 32; ++i) ASSERT_EQ(y[i], want[i]) << i;

        // the largest magnitude 6 * 2^(e - 127) picks exponent e again
        const std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_MXFP4, want);
        EXPECT_EQ(q[0], e);
        EXPECT_EQ(qt::dequantize(TEVO_TYPE_MXFP4, q, 32), want);
    }
}

TEST(QuantsFp4, NvScaleBytes) {
    struct Case {
        float   amax;
        uint8_t u;
    };
    const Case cases[] = {
        { 6.0f, 0x38 },    // b = 1: E 7, M 0
        { 1800.0f, 0x7e }, // b = 300: clamped to 448
        { 1380.0f, 0x76 }, // b = 230: E 14, M 6, 224
        { 1500.0f, 0x7e }, // b = 250: the rounding carries past 240
        { 2760.0f, 0x7e }, // b = 460: within the rounding of 448
        { 2784.0f, 0x7f }, // b = 464: rounds past 448, as a half overflows: non-finite
        { 1e12f, 0x7f },
        { 0.0f, 0x00 },
        { 6.0f * 0.0009f, 0x00 }, // below 6 * 2^-10
        { 6.0f * 0.006f, 0x03 },  // subnormal: round(b * 512)
    };
    for (const Case & c : cases) {
        std::vector<float> x(64, 0.0f);
        x[0]                         = c.amax;
        const std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_NVFP4, x);
        EXPECT_EQ(q[0], c.u) << c.amax;
        if (c.u == 0 || c.u == 0x7f) {
            for (int j = 4; j < 12; ++j) EXPECT_EQ(q[j], 0) << c.amax;
        }
    }
    // a stored 0x7f reads as zeros
    block_nvfp4 b;
    memset(&b, 0x33, sizeof(b));
    b.scales[1] = 0x7f;
    std::vector<float> y(64);
    dequantize_row_nvfp4(&b, y.data(), 64);
    for (int j = 16; j < 32; ++j) EXPECT_EQ(y[j], 0.0f);
    EXPECT_NE(y[0], 0.0f);
}

// Every element dequantizes to the nearest of the 16 values under the scale
// actually stored, the lowest code among equals.
TEST(QuantsFp4, RoundTripsTakeTheNearestCode) {
    std::mt19937 rng(1);
    for (tevo_type t : { TEVO_TYPE_MXFP4, TEVO_TYPE_NVFP4 }) {
        for (float sigma : { 1.0f, 300.0f, 1e-3f }) {
            const std::vector<float>   x = qt::gaussian_row(64 * 50, rng, sigma);
            const std::vector<uint8_t> q = qt::quantize_ref(t, x);
            const std::vector<float>   y = qt::dequantize(t, q, (int64_t) x.size());
            for (size_t i = 0; i < x.size(); ++i) {
                float h;
                if (t == TEVO_TYPE_MXFP4) {
                    h = std::ldexp(1.0f, (int) q[(i / 32) * 17] - 128);
                } else {
                    h = ue4m3(q[(i / 64) * 36 + (i % 64) / 16]) * 0.5f;
                }
                float best = fp4_e2m1_doubled_values[0] * h;
                for (int c = 1; c < 16; ++c) {
                    const float v = fp4_e2m1_doubled_values[c] * h;
                    if (std::fabs(v - x[i]) < std::fabs(best - x[i])) best = v;
                }
                ASSERT_EQ(y[i], best) << tevo_type_name(t) << " " << i;
            }
        }
    }
}

TEST(QuantsFp4, ChunksIgnoreWeights) {
    std::mt19937             rng(2);
    const std::vector<float> x = qt::gaussian_row(2 * 128, rng);
    const std::vector<float> im(128, 5.0f);
    for (tevo_type t : { TEVO_TYPE_MXFP4, TEVO_TYPE_NVFP4 }) {
        std::vector<uint8_t> a(qt::row_bytes(t, 256)), b(a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), a.data(), 0, 2, 128, nullptr), a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), b.data(), 0, 2, 128, im.data()), b.size());
        EXPECT_EQ(a, b);
        EXPECT_EQ(a, qt::quantize_ref(t, x));
    }
}

TEST(QuantsFp4DeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<float>   x(64, 1.0f);
    std::vector<uint8_t> q(64);
    EXPECT_DEATH(quantize_row_mxfp4_ref(x.data(), q.data(), 40), "k % QK_MXFP4 == 0");
    EXPECT_DEATH(quantize_row_nvfp4_ref(x.data(), q.data(), 32), "k % QK_NVFP4 == 0");
}

} // namespace
