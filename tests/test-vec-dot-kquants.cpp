// Dot products of the K-quants with q8_K activations: portable and x86
// forms against each other and against the dequantized rows, on a table of
// lengths; the activation quantizer's block sums.

#include "quant-test-helpers.h"

namespace {

const qt::DotKernel kernels[] = {
    { "q2_K", TEVO_TYPE_Q2_K, tevo_vec_dot_q2_K_q8_K_generic, tevo_vec_dot_q2_K_q8_K },
    { "q3_K", TEVO_TYPE_Q3_K, tevo_vec_dot_q3_K_q8_K_generic, tevo_vec_dot_q3_K_q8_K },
    { "q4_K", TEVO_TYPE_Q4_K, tevo_vec_dot_q4_K_q8_K_generic, tevo_vec_dot_q4_K_q8_K },
    { "q5_K", TEVO_TYPE_Q5_K, tevo_vec_dot_q5_K_q8_K_generic, tevo_vec_dot_q5_K_q8_K },
    { "q6_K", TEVO_TYPE_Q6_K, tevo_vec_dot_q6_K_q8_K_generic, tevo_vec_dot_q6_K_q8_K },
};

TEST(VecDotKQuants, PortableAndX86MatchTheDequantizedProduct) {
    tevo_cpu_init();
    std::mt19937 rng(41);
    for (const auto & k : kernels) qt::check_dot_against_dequantized(k, rng);
}

TEST(VecDotKQuants, IntegerBlockSumsAreEqual) {
    tevo_cpu_init();
    std::mt19937 rng(42);
    for (const auto & k : kernels) qt::check_dot_integer_sums(k, rng);
}

TEST(VecDotKQuants, WorkedCases) {
    tevo_cpu_init();
    // q4_K: d 1, dmin 0, every scale 1 and minimum 0, every code 1, against
    // activations d 1, codes 1, sums 16: 256
    block_q4_K w;
    w.d    = qt::half_bits(1.0f);
    w.dmin = qt::half_bits(0.0f);
    const uint8_t sc[12] = { 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1 };
    memcpy(w.scales, sc, 12);
    memset(w.qs, 0x11, sizeof(w.qs));
    block_q8_K y;
    y.d = 1.0f;
    memset(y.qs, 1, sizeof(y.qs));
    for (auto & b : y.bsums) b = 16;
    std::vector<uint8_t> wv((uint8_t *) &w, (uint8_t *) &w + sizeof(w));
    std::vector<uint8_t> yv((uint8_t *) &y, (uint8_t *) &y + sizeof(y));
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_K_q8_K_generic, 256, wv, yv), 256.0f);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_K_q8_K, 256, wv, yv), 256.0f);

    // weights with d = dmin = 0 contribute exactly 0, whatever their codes;
    // so does an activation block with d = 0, whatever its sums hold
    std::mt19937 rng(43);
    for (const auto & k : kernels) {
        std::vector<uint8_t> wz = qt::random_bytes(tevo_type_size(k.wtype), rng);
        for (int off : qt::half_scale_fields(k.wtype).off) {
            if (off >= 0) qt::put_half(wz.data() + off, 0.0f);
        }
        std::vector<uint8_t> a = qt::integer_activations(TEVO_TYPE_Q8_K, 256, 100, rng);
        EXPECT_EQ(qt::run_dot(k.generic, 256, wz, a), 0.0f) << k.name;
        EXPECT_EQ(qt::run_dot(k.x86, 256, wz, a), 0.0f) << k.name;

        std::vector<uint8_t> wr = qt::quantize_ref(k.wtype, qt::gaussian_row(256, rng));
        ((block_q8_K *) a.data())->d = 0.0f;
        EXPECT_EQ(qt::run_dot(k.generic, 256, wr, a), 0.0f) << k.name;
        EXPECT_EQ(qt::run_dot(k.x86, 256, wr, a), 0.0f) << k.name;
    }
}

// An all-zero activation block writes zero sums rather than leaving the
// bytes the kernels read as they were.
TEST(VecDotKQuants, ZeroActivationBlocksWriteTheirSums) {
    std::vector<float> x(512, 0.0f);
    std::mt19937       rng(44);
    const std::vector<float> g = qt::gaussian_row(256, rng);
    std::copy(g.begin(), g.end(), x.begin() + 256);
    for (auto fn : { quantize_row_q8_K, quantize_row_q8_K_generic, quantize_row_q8_K_ref }) {
        std::vector<block_q8_K> y(2);
        memset(y.data(), 0x5a, sizeof(block_q8_K) * 2);
        fn(x.data(), y.data(), 512);
        EXPECT_EQ(y[0].d, 0.0f);
        for (int8_t q : y[0].qs) EXPECT_EQ(q, 0);
        for (int16_t b : y[0].bsums) EXPECT_EQ(b, 0);
        for (int j = 0; j < 16; ++j) {
            int sum = 0;
            for (int i = 0; i < 16; ++i) sum += y[1].qs[16 * j + i];
            EXPECT_EQ(y[1].bsums[j], sum);
        }
    }
}

TEST(VecDotKQuantsDeathTest, LengthsOfPartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<uint8_t> w(1024), a(1024);
    std::vector<float>   x(300);
    float                s;
    EXPECT_DEATH(tevo_vec_dot_q4_K_q8_K(128, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_K == 0");
    EXPECT_DEATH(tevo_vec_dot_q6_K_q8_K_generic(300, &s, 0, w.data(), 0, a.data(), 0, 1), "n % QK_K == 0");
    EXPECT_DEATH(quantize_row_q8_K(x.data(), w.data(), 300), "k % QK_K == 0");
}

} // namespace
