// Dot products of tq1_0 and tq2_0 with q8_K activations: portable and x86
// forms against each other and against the dequantized rows; the x86 forms'
// digit extraction over every byte value.

#include "quant-test-helpers.h"

namespace {

const qt::DotKernel kernels[] = {
    { "tq1_0", TEVO_TYPE_TQ1_0, tevo_vec_dot_tq1_0_q8_K_generic, tevo_vec_dot_tq1_0_q8_K },
    { "tq2_0", TEVO_TYPE_TQ2_0, tevo_vec_dot_tq2_0_q8_K_generic, tevo_vec_dot_tq2_0_q8_K },
};

TEST(VecDotTernary, PortableAndX86MatchTheDequantizedProduct) {
    tevo_cpu_init();
    std::mt19937 rng(31);
    for (const auto & k : kernels) qt::check_dot_against_dequantized(k, rng);
}

TEST(VecDotTernary, IntegerBlockSumsAreEqual) {
    tevo_cpu_init();
    std::mt19937 rng(32);
    for (const auto & k : kernels) qt::check_dot_integer_sums(k, rng);
}

// Every tq1_0 byte value in every position: the x86 digits are the
// dequantizer's.
TEST(VecDotTernary, EveryByteValueDecodesAlike) {
    tevo_cpu_init();
    std::mt19937 rng(33);
    for (int base = 0; base < 256; base += 52) {
        std::vector<uint8_t> w(sizeof(block_tq1_0));
        for (int i = 0; i < 52; ++i) w[i] = (uint8_t) ((base + i) & 0xff);
        qt::unit_scales(TEVO_TYPE_TQ1_0, w);
        const std::vector<uint8_t> a = qt::integer_activations(TEVO_TYPE_Q8_K, 256, 3, rng);
        const qt::DoubleDot r = qt::double_dot(qt::dequantize(TEVO_TYPE_TQ1_0, w, 256), qt::dequantize(TEVO_TYPE_Q8_K, a, 256));
        EXPECT_EQ((double) qt::run_dot(tevo_vec_dot_tq1_0_q8_K, 256, w, a), r.dot) << base;
    }
}

TEST(VecDotTernary, WorkedCases) {
    tevo_cpu_init();
    std::mt19937               rng(34);
    const std::vector<uint8_t> a = qt::integer_activations(TEVO_TYPE_Q8_K, 512, 100, rng);

    // digits all 1 (a block quantized from zeros) contribute nothing
    const std::vector<float> zeros(512, 0.0f);
    for (const auto & k : kernels) {
        const std::vector<uint8_t> w = qt::quantize_ref(k.wtype, zeros);
        EXPECT_EQ(qt::run_dot(k.generic, 512, w, a), 0.0f) << k.name;
        EXPECT_EQ(qt::run_dot(k.x86, 512, w, a), 0.0f) << k.name;
    }

    // tq2_0 with every digit 2 and d = 1: the sum of the activation codes,
    // which the x86 form gets as digit products less the block sums
    std::vector<uint8_t> w(2 * sizeof(block_tq2_0), 0xaa);
    qt::unit_scales(TEVO_TYPE_TQ2_0, w);
    double sum = 0.0;
    for (int b = 0; b < 2; ++b)
        for (int i = 0; i < 256; ++i) sum += ((const block_q8_K *) a.data())[b].qs[i];
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_tq2_0_q8_K_generic, 512, w, a), (float) sum);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_tq2_0_q8_K, 512, w, a), (float) sum);
}

TEST(VecDotTernaryDeathTest, LengthsOfPartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<uint8_t> w(1024), a(1024);
    float                s;
    EXPECT_DEATH(tevo_vec_dot_tq1_0_q8_K(255, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_K == 0");
    EXPECT_DEATH(tevo_vec_dot_tq2_0_q8_K_generic(300, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_K == 0");
}

} // namespace
