// The ternary formats tq1_0 and tq2_0: the base-3 packing, worked blocks
// and round trips.

#include "quant-test-helpers.h"

namespace {

TEST(QuantsTernary, ZeroBlocks) {
    const std::vector<float> z(256, 0.0f);
    std::vector<uint8_t>     q = qt::quantize_ref(TEVO_TYPE_TQ1_0, z);
    for (int j = 0; j < 48; ++j) EXPECT_EQ(q[j], 0x80);
    for (int j = 48; j < 52; ++j) EXPECT_EQ(q[j], 0x7f);
    EXPECT_EQ(qt::get_half(q.data() + 52), 0);
    for (float v : qt::dequantize(TEVO_TYPE_TQ1_0, q, 256)) EXPECT_EQ(v, 0.0f);

    q = qt::quantize_ref(TEVO_TYPE_TQ2_0, z);
    for (int j = 0; j < 64; ++j) EXPECT_EQ(q[j], 0x55);
    for (float v : qt::dequantize(TEVO_TYPE_TQ2_0, q, 256)) EXPECT_EQ(v, 0.0f);
}

TEST(QuantsTernary, BasePackingOfAByte) {
    // byte 0 holds elements 0, 32, 64, 96, 128
    std::vector<float> x(256, 0.0f);
    const float        digits[5] = { -1.0f, 0.0f, 1.0f, -1.0f, 0.0f }; // 0, 1, 2, 0, 1
    for (int n = 0; n < 5; ++n) x[32 * n] = digits[n];
    x[1] = x[33] = x[65] = x[97] = x[129] = 1.0f; // all 2: byte 1
    const std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_TQ1_0, x);
    EXPECT_EQ(q[0], 49);
    EXPECT_EQ(q[1], 255);
    const std::vector<float> y = qt::dequantize(TEVO_TYPE_TQ1_0, q, 256);
    for (int n = 0; n < 5; ++n) {
        EXPECT_EQ(y[32 * n], digits[n]);
        EXPECT_EQ(y[32 * n + 1], 1.0f);
    }
}

TEST(QuantsTernary, HalvesRoundAwayFromZero) {
    std::vector<float> x(256, 0.0f);
    x[10] = 4.0f;
    x[11] = 2.0f;
    x[12] = -2.0f;
    x[13] = 1.9f;
    for (tevo_type t : { TEVO_TYPE_TQ1_0, TEVO_TYPE_TQ2_0 }) {
        const std::vector<float> y = qt::dequantize(t, qt::quantize_ref(t, x), 256);
        EXPECT_EQ(y[11], 4.0f);
        EXPECT_EQ(y[12], -4.0f);
        EXPECT_EQ(y[13], 0.0f);
    }
}

// Every element is the nearest of -amax, 0, +amax (halves away from zero).
TEST(QuantsTernary, RoundTripsFollowTheRule) {
    std::mt19937             rng(1);
    const std::vector<float> x = qt::gaussian_row(256 * 20, rng);
    for (tevo_type t : { TEVO_TYPE_TQ1_0, TEVO_TYPE_TQ2_0 }) {
        const std::vector<float> y = qt::dequantize(t, qt::quantize_ref(t, x), (int64_t) x.size());
        for (size_t b = 0; b < x.size() / 256; ++b) {
            float amax = 0.0f;
            for (int j = 0; j < 256; ++j) amax = std::max(amax, std::fabs(x[256 * b + j]));
            const float d = tevo_fp16_to_fp32(qt::half_bits(amax));
            for (int j = 0; j < 256; ++j) {
                const float v    = x[256 * b + j];
                const float want = std::fabs(v) * (1.0f / amax) >= 0.5f ? (v < 0 ? -d : d) : 0.0f;
                ASSERT_EQ(y[256 * b + j], want) << tevo_type_name(t) << " " << b << " " << j;
            }
        }
    }
}

TEST(QuantsTernary, ChunksIgnoreWeights) {
    std::mt19937             rng(2);
    const std::vector<float> x = qt::gaussian_row(2 * 512, rng);
    const std::vector<float> im(512, 7.0f);
    for (tevo_type t : { TEVO_TYPE_TQ1_0, TEVO_TYPE_TQ2_0 }) {
        std::vector<uint8_t> a(qt::row_bytes(t, 1024)), b(a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), a.data(), 0, 2, 512, nullptr), a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), b.data(), 0, 2, 512, im.data()), b.size());
        EXPECT_EQ(a, b);
    }
}

TEST(QuantsTernaryDeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<float>   x(300, 1.0f);
    std::vector<uint8_t> q(128);
    EXPECT_DEATH(quantize_row_tq1_0_ref(x.data(), q.data(), 300), "k % QK_K == 0");
    EXPECT_DEATH(quantize_row_tq2_0_ref(x.data(), q.data(), 255), "k % QK_K == 0");
}

} // namespace
