// The one- and two-bit formats q1_0 and q2_0: worked blocks, round trips
// against the rule written out, and the chunk quantizers.

#include "quant-test-helpers.h"

namespace {

TEST(QuantsLowbit, Q1WorkedBlocks) {
    std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_Q1_0, std::vector<float>(128, 0.0f));
    EXPECT_EQ(qt::get_half(q.data()), 0);
    for (int j = 2; j < 18; ++j) EXPECT_EQ(q[j], 0xff);
    for (float v : qt::dequantize(TEVO_TYPE_Q1_0, q, 128)) EXPECT_EQ(v, 0.0f);

    q = qt::quantize_ref(TEVO_TYPE_Q1_0, std::vector<float>(128, -1.0f));
    EXPECT_EQ(qt::get_half(q.data()), qt::half_bits(1.0f));
    for (int j = 2; j < 18; ++j) EXPECT_EQ(q[j], 0x00);
    for (float v : qt::dequantize(TEVO_TYPE_Q1_0, q, 128)) EXPECT_EQ(v, -1.0f);

    std::vector<float> pm(128);
    for (int i = 0; i < 128; ++i) pm[i] = (i * 7) % 3 == 0 ? 2.0f : -2.0f;
    EXPECT_EQ(qt::dequantize(TEVO_TYPE_Q1_0, qt::quantize_ref(TEVO_TYPE_Q1_0, pm), 128), pm);
}

TEST(QuantsLowbit, Q2WorkedBlocks) {
    std::vector<float> x(64, 0.0f);
    x[0] = 4.0f;
    x[1] = 2.0f;
    x[2] = -2.0f;
    x[3] = 1.9f;
    std::vector<uint8_t> q = qt::quantize_ref(TEVO_TYPE_Q2_0, x);
    EXPECT_EQ(qt::get_half(q.data()), qt::half_bits(4.0f));
    // codes 2, 2, 0, 1 in bits 0-1, 2-3, 4-5, 6-7 of byte 0
    EXPECT_EQ(q[2], 2 | (2 << 2) | (0 << 4) | (1 << 6));

    q = qt::quantize_ref(TEVO_TYPE_Q2_0, std::vector<float>(64, 0.0f));
    EXPECT_EQ(qt::get_half(q.data()), 0);
    for (int j = 2; j < 18; ++j) EXPECT_EQ(q[j], 0x55);
}

// q1_0 keeps each sign and the mean magnitude; q2_0 maps each value to the
// nearest of -amax, 0 and +amax (halves away from zero).
TEST(QuantsLowbit, RoundTripsFollowTheRule) {
    std::mt19937 rng(1);
    const std::vector<float> x  = qt::gaussian_row(128 * 40, rng);
    const std::vector<float> y1 = qt::dequantize(TEVO_TYPE_Q1_0, qt::quantize_ref(TEVO_TYPE_Q1_0, x), (int64_t) x.size());
    for (size_t b = 0; b < x.size() / 128; ++b) {
        float sum = 0.0f;
        for (int j = 0; j < 128; ++j) sum += std::fabs(x[128 * b + j]);
        const float d = tevo_fp16_to_fp32(qt::half_bits(sum * (1.0f / 128)));
        for (int j = 0; j < 128; ++j) {
            ASSERT_EQ(y1[128 * b + j], x[128 * b + j] >= 0.0f ? d : -d) << b << " " << j;
        }
    }
    const std::vector<float> y2 = qt::dequantize(TEVO_TYPE_Q2_0, qt::quantize_ref(TEVO_TYPE_Q2_0, x), (int64_t) x.size());
    for (size_t b = 0; b < x.size() / 64; ++b) {
        float amax = 0.0f;
        for (int j = 0; j < 64; ++j) amax = std::max(amax, std::fabs(x[64 * b + j]));
        const float d = tevo_fp16_to_fp32(qt::half_bits(amax));
        for (int j = 0; j < 64; ++j) {
            const float v    = x[64 * b + j];
            const float want = std::fabs(v) >= amax / 2 ? (v < 0 ? -d : d) : 0.0f;
            ASSERT_EQ(y2[64 * b + j], want) << b << " " << j;
        }
    }
}

TEST(QuantsLowbit, ChunksWithAndWithoutWeightsAgree) {
    std::mt19937             rng(2);
    const std::vector<float> x = qt::gaussian_row(3 * 256, rng);
    const std::vector<float> im(256, 3.0f);
    for (tevo_type t : { TEVO_TYPE_Q1_0, TEVO_TYPE_Q2_0 }) {
        std::vector<uint8_t> a(qt::row_bytes(t, 3 * 256)), b(a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), a.data(), 0, 3, 256, nullptr), a.size());
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), b.data(), 0, 3, 256, im.data()), b.size());
        EXPECT_EQ(a, b) << tevo_type_name(t);
        EXPECT_EQ(a, qt::quantize_ref(t, x)) << tevo_type_name(t);
    }
}

TEST(QuantsLowbitDeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<float>   x(128, 1.0f);
    std::vector<uint8_t> q(64);
    EXPECT_DEATH(quantize_row_q1_0_ref(x.data(), q.data(), 100), "k % QK1_0 == 0");
    EXPECT_DEATH(quantize_row_q2_0_ref(x.data(), q.data(), 100), "k % QK2_0 == 0");
    EXPECT_DEATH(dequantize_row_q1_0(q.data(), x.data(), 64), "k % QK1_0 == 0");
}

} // namespace
