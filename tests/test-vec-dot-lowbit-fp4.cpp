// Dot products of q1_0, q2_0, mxfp4 and nvfp4 with q8_0 activations:
// portable and x86 forms against each other and against the dequantized
// rows, on a table of lengths (mxfp4's odd block counts take the scalar
// tail of the x86 form).

#include "quant-test-helpers.h"

namespace {

const qt::DotKernel kernels[] = {
    { "q1_0", TEVO_TYPE_Q1_0, tevo_vec_dot_q1_0_q8_0_generic, tevo_vec_dot_q1_0_q8_0 },
    // no x86 form: the table's kernel is the portable one
    { "q2_0", TEVO_TYPE_Q2_0, tevo_vec_dot_q2_0_q8_0, tevo_vec_dot_q2_0_q8_0 },
    { "mxfp4", TEVO_TYPE_MXFP4, tevo_vec_dot_mxfp4_q8_0_generic, tevo_vec_dot_mxfp4_q8_0 },
    { "nvfp4", TEVO_TYPE_NVFP4, tevo_vec_dot_nvfp4_q8_0_generic, tevo_vec_dot_nvfp4_q8_0 },
};

TEST(VecDotLowbitFp4, PortableAndX86MatchTheDequantizedProduct) {
    tevo_cpu_init();
    std::mt19937 rng(21);
    for (const auto & k : kernels) qt::check_dot_against_dequantized(k, rng);
}

TEST(VecDotLowbitFp4, IntegerBlockSumsAreEqual) {
    tevo_cpu_init();
    std::mt19937 rng(22);
    for (const auto & k : kernels) qt::check_dot_integer_sums(k, rng);
}

TEST(VecDotLowbitFp4, WorkedCases) {
    tevo_cpu_init();
    std::mt19937               rng(23);
    const std::vector<uint8_t> a = qt::integer_activations(TEVO_TYPE_Q8_0, 128, 9, rng);
    const block_q8_0 *         y = (const block_q8_0 *) a.data();

    // q1_0 with every bit set: d times the activations' sum; clear: its negation
    double sum = 0.0;
    for (int b = 0; b < 4; ++b)
        for (int i = 0; i < 32; ++i) sum += y[b].qs[i];
    block_q1_0 w1;
    w1.d = qt::half_bits(0.5f);
    memset(w1.qs, 0xff, sizeof(w1.qs));
    std::vector<uint8_t> w((uint8_t *) &w1, (uint8_t *) &w1 + sizeof(w1));
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q1_0_q8_0_generic, 128, w, a), (float) (0.5 * sum));
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q1_0_q8_0, 128, w, a), (float) (0.5 * sum));
    memset(w.data() + 2, 0, 16);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q1_0_q8_0, 128, w, a), (float) (-0.5 * sum));

    // q2_0 with every code 1 gives 0
    std::vector<uint8_t> w2(2 * sizeof(block_q2_0), 0x55);
    qt::unit_scales(TEVO_TYPE_Q2_0, w2);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q2_0_q8_0, 128, w2, a), 0.0f);

    // mxfp4 with exponent bytes 0, 1 and 2 (subnormal half scales for the
    // first two; the third block is the x86 form's scalar tail) against
    // activation scales 2^10: every term is exact, so both forms give the
    // double sum to the bit
    std::vector<uint8_t> wm = qt::random_bytes(3 * sizeof(block_mxfp4), rng);
    std::vector<uint8_t> am = qt::integer_activations(TEVO_TYPE_Q8_0, 96, 9, rng);
    double               dm = 0.0;
    for (int b = 0; b < 3; ++b) {
        block_mxfp4 * xb = (block_mxfp4 *) wm.data() + b;
        block_q8_0 *  yb = (block_q8_0 *) am.data() + b;
        xb->e            = (uint8_t) b;
        yb->d            = qt::half_bits(1024.0f);
        for (int j = 0; j < 16; ++j) {
            const int s = fp4_e2m1_doubled_values[xb->qs[j] & 0x0f] * yb->qs[j] +
                          fp4_e2m1_doubled_values[xb->qs[j] >> 4] * yb->qs[j + 16];
            dm += s * std::ldexp(1.0, b - 128 + 10);
        }
    }
    EXPECT_EQ((double) qt::run_dot(tevo_vec_dot_mxfp4_q8_0_generic, 96, wm, am), dm);
    EXPECT_EQ((double) qt::run_dot(tevo_vec_dot_mxfp4_q8_0, 96, wm, am), dm);

    // nvfp4 with every scale byte 0x7f (decoded as 0) gives 0
    std::vector<uint8_t> w4 = qt::random_bytes(2 * sizeof(block_nvfp4), rng);
    for (int b = 0; b < 2; ++b) memset(w4.data() + b * sizeof(block_nvfp4), 0x7f, 4);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_nvfp4_q8_0_generic, 128, w4, a), 0.0f);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_nvfp4_q8_0, 128, w4, a), 0.0f);
}

TEST(VecDotLowbitFp4DeathTest, LengthsOfPartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<uint8_t> w(256), a(256);
    float                s;
    // 64 values are two activation blocks but half a q1_0 block
    EXPECT_DEATH(tevo_vec_dot_q1_0_q8_0(64, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK1_0 == 0");
    EXPECT_DEATH(tevo_vec_dot_q2_0_q8_0(32, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK2_0 == 0");
    EXPECT_DEATH(tevo_vec_dot_mxfp4_q8_0(48, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_MXFP4 == 0");
    EXPECT_DEATH(tevo_vec_dot_nvfp4_q8_0_generic(96, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_NVFP4 == 0");
}

} // namespace
