// Dot products of the i-quants: portable and x86 forms against each other
// and against the dequantized rows on a table of lengths, exact integer
// block sums on random blocks, and the worked blocks.

#include "quant-test-helpers.h"

#include "quants/iquants-tables.h"
#include "quants/iquants.h"

namespace {

const qt::DotKernel kernels[] = {
    { "iq2_xxs", TEVO_TYPE_IQ2_XXS, tevo_vec_dot_iq2_xxs_q8_K_generic, tevo_vec_dot_iq2_xxs_q8_K },
    { "iq2_xs", TEVO_TYPE_IQ2_XS, tevo_vec_dot_iq2_xs_q8_K_generic, tevo_vec_dot_iq2_xs_q8_K },
    { "iq2_s", TEVO_TYPE_IQ2_S, tevo_vec_dot_iq2_s_q8_K_generic, tevo_vec_dot_iq2_s_q8_K },
    { "iq3_xxs", TEVO_TYPE_IQ3_XXS, tevo_vec_dot_iq3_xxs_q8_K_generic, tevo_vec_dot_iq3_xxs_q8_K },
    { "iq3_s", TEVO_TYPE_IQ3_S, tevo_vec_dot_iq3_s_q8_K_generic, tevo_vec_dot_iq3_s_q8_K },
    { "iq1_s", TEVO_TYPE_IQ1_S, tevo_vec_dot_iq1_s_q8_K_generic, tevo_vec_dot_iq1_s_q8_K },
    { "iq1_m", TEVO_TYPE_IQ1_M, tevo_vec_dot_iq1_m_q8_K_generic, tevo_vec_dot_iq1_m_q8_K },
    { "iq4_nl", TEVO_TYPE_IQ4_NL, tevo_vec_dot_iq4_nl_q8_0_generic, tevo_vec_dot_iq4_nl_q8_0 },
    { "iq4_xs", TEVO_TYPE_IQ4_XS, tevo_vec_dot_iq4_xs_q8_K_generic, tevo_vec_dot_iq4_xs_q8_K },
};

// every block's scale 1.0: the half at byte 0, or for iq1_m the half 0x3c00
// in the top nibbles of its four scale words
void unit_scales(tevo_type t, std::vector<uint8_t> & w) {
    const size_t bs = tevo_type_size(t);
    for (size_t b = 0; b < w.size() / bs; ++b) {
        uint8_t * blk = w.data() + b * bs;
        if (t != TEVO_TYPE_IQ1_M) {
            qt::put_half(blk, 1.0f);
            continue;
        }
        for (int j = 0; j < 4; ++j) {
            uint16_t word;
            memcpy(&word, blk + 48 + 2 * j, 2);
            word = (uint16_t) ((word & 0x0fff) | (((0x3c00 >> (4 * j)) & 15) << 12));
            memcpy(blk + 48 + 2 * j, &word, 2);
        }
    }
}

std::vector<uint8_t> quantize(tevo_type t, const std::vector<float> & x, std::mt19937 & rng) {
    std::uniform_real_distribution<float> u(0.1f, 2.0f);
    std::vector<float>                    im(256);
    for (float & v : im) v = u(rng);
    // one row of whole blocks: the weights repeat per 256 columns
    std::vector<uint8_t> q(tevo_row_size(t, (int64_t) x.size()));
    const int64_t        rows = (int64_t) x.size() / 256;
    tevo_quantize_chunk(t, x.data(), q.data(), 0, rows, 256, im.data());
    return q;
}

// Quantized random rows: both forms agree within a few ulp of the sum of
// the terms' magnitudes and match the double product of the dequantized
// rows.
TEST(VecDotIQuants, PortableAndX86MatchTheDequantizedProduct) {
    tevo_cpu_init();
    std::mt19937 rng(51);
    for (const auto & k : kernels) {
        const tevo_type act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
        const int64_t   qk  = tevo_blck_size(k.wtype);
        // iq4_nl's 32-value blocks also run odd counts past the paired loop
        const std::vector<int> counts = qk == 32 ? std::vector<int>{ 0, 8, 9, 15, 2400 } : std::vector<int>{ 0, 1, 3, 7, 300 };
        for (int nb : counts) {
            const int64_t n = nb * qk;
            SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n));
            const std::vector<uint8_t> w = quantize(k.wtype, qt::gaussian_row(n, rng), rng);
            const std::vector<uint8_t> a = qt::quantize_cpu(act, qt::gaussian_row(n, rng));
            const qt::DoubleDot        r = qt::double_dot(qt::dequantize(k.wtype, w, n), qt::dequantize(act, a, n));
            const float                g = qt::run_dot(k.generic, n, w, a);
            const float                v = qt::run_dot(k.x86, n, w, a);
            if (n == 0) {
                EXPECT_EQ(g, 0.0f);
                EXPECT_EQ(v, 0.0f);
                continue;
            }
            const double ulp = std::ldexp(r.mag, -23);
            EXPECT_LE(std::fabs((double) g - (double) v), 4 * ulp) << g << " vs " << v;
            EXPECT_LE(std::fabs((double) g - r.dot), 16 * ulp) << g << " vs " << r.dot;
            EXPECT_LE(std::fabs((double) v - r.dot), 16 * ulp) << v << " vs " << r.dot;
        }
    }
}

// Random blocks under a unit block scale against small integer codes:
// every block sum and the whole product are exact, so both forms must give
// the dequantized product to the bit. Any byte is a valid block.
TEST(VecDotIQuants, IntegerBlockSumsAreEqual) {
    tevo_cpu_init();
    std::mt19937 rng(52);
    for (const auto & k : kernels) {
        const tevo_type act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
        const int64_t   qk  = tevo_blck_size(k.wtype);
        for (int nb : { 1, 2, 3 }) {
            const int64_t n = (qk == 32 ? 8 * nb + 1 : nb) * qk;
            SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n));
            for (int rep = 0; rep < 20; ++rep) {
                std::vector<uint8_t> w = qt::random_bytes(qt::row_bytes(k.wtype, n), rng);
                unit_scales(k.wtype, w);
                const std::vector<uint8_t> a = qt::integer_activations(act, n, 2, rng);
                const qt::DoubleDot r = qt::double_dot(qt::dequantize(k.wtype, w, n), qt::dequantize(act, a, n));
                // exact in float: iq4 values are integers, the others
                // multiples of 1/8
                const bool whole = k.wtype == TEVO_TYPE_IQ4_NL || k.wtype == TEVO_TYPE_IQ4_XS;
                ASSERT_LT(r.mag, whole ? 16777216.0 : 2097152.0);
                EXPECT_EQ((double) qt::run_dot(k.generic, n, w, a), r.dot);
                EXPECT_EQ((double) qt::run_dot(k.x86, n, w, a), r.dot);
            }
        }
    }
}

// activations d 1, every code 1, every 16-code sum 16
std::vector<uint8_t> ones_q8_K() {
    block_q8_K y;
    y.d = 1.0f;
    memset(y.qs, 1, sizeof(y.qs));
    for (auto & b : y.bsums) b = 16;
    return std::vector<uint8_t>((uint8_t *) &y, (uint8_t *) &y + sizeof(y));
}

template <typename B> std::vector<uint8_t> bytes(const B & b) {
    return std::vector<uint8_t>((const uint8_t *) &b, (const uint8_t *) &b + sizeof(b));
}

void expect_both(const char * name, float want, const std::vector<uint8_t> & w, const std::vector<uint8_t> & a) {
    for (const auto & k : kernels) {
        if (strcmp(k.name, name) != 0) continue;
        EXPECT_EQ(qt::run_dot(k.generic, 256, w, a), want) << name;
        EXPECT_EQ(qt::run_dot(k.x86, 256, w, a), want) << name;
    }
}

TEST(VecDotIQuants, WorkedBlocks) {
    tevo_cpu_init();
    const std::vector<uint8_t> a = ones_q8_K();

    // iq2_xxs: grid point 0 (all 8), no signs, scale field 0: 256; sign
    // field 1 in sub-block 0 negates values 0 and 7 of group 0: 252; scale
    // field 15 multiplies a sub-block by 31
    block_iq2_xxs x2;
    memset(&x2, 0, sizeof(x2));
    x2.d = qt::half_bits(1.0f);
    expect_both("iq2_xxs", 256.0f, bytes(x2), a);
    uint32_t w1 = 1;
    memcpy(&x2.qs[2], &w1, 4);
    expect_both("iq2_xxs", 252.0f, bytes(x2), a);
    w1 = 15u << 28;
    memcpy(&x2.qs[2], &w1, 4);
    expect_both("iq2_xxs", 256.0f - 32.0f + 31.0f * 32.0f, bytes(x2), a);

    // iq2_s with qh 0xff in sub-block 0: its groups index entries 768..1023
    block_iq2_s s2;
    memset(&s2, 0, sizeof(s2));
    s2.d     = qt::half_bits(1.0f);
    s2.qh[0] = 0xff;
    float sub0 = 0.0f;
    for (int j = 0; j < 8; ++j) sub0 += 4.0f * (float) (uint8_t) (iq2_s_grid[768] >> (8 * j));
    expect_both("iq2_s", 224.0f + sub0 / 8.0f, bytes(s2), a);

    // iq3_xxs: grid point 0 (all 4), no signs, ls 1: each value 1: 256
    block_iq3_xxs x3;
    memset(&x3, 0, sizeof(x3));
    x3.d = qt::half_bits(1.0f);
    expect_both("iq3_xxs", 256.0f, bytes(x3), a);

    // iq3_s: grid point 0 (all 1): 256; signs byte 0x01 negates value 0
    block_iq3_s s3;
    memset(&s3, 0, sizeof(s3));
    s3.d = qt::half_bits(1.0f);
    expect_both("iq3_s", 256.0f, bytes(s3), a);
    s3.signs[0] = 0x01;
    expect_both("iq3_s", 254.0f, bytes(s3), a);

    // iq1_s: grid point 0 (all -1), offset +1/8: 256 values of -0.875;
    // with bit 15 everywhere -1.125
    block_iq1_s s1;
    memset(&s1, 0, sizeof(s1));
    s1.d = qt::half_bits(1.0f);
    expect_both("iq1_s", -224.0f, bytes(s1), a);
    for (auto & h : s1.qh) h = 0x8000;
    expect_both("iq1_s", -288.0f, bytes(s1), a);

    // iq1_m: block scale 1.0 from the top nibbles; bit 3 of qh[0] gives
    // group 0 of sub-block 0 the negative offset: 2 less
    block_iq1_m m1;
    memset(&m1, 0, sizeof(m1));
    const uint16_t sc[4] = { 0, 0, 0xc000, 0x3000 };
    memcpy(m1.scales, sc, 8);
    expect_both("iq1_m", -224.0f, bytes(m1), a);
    m1.qh[0] = 0x08;
    expect_both("iq1_m", -226.0f, bytes(m1), a);

    // iq4_xs: sub-block field 32 contributes nothing
    block_iq4_xs x4;
    memset(&x4, 0, sizeof(x4));
    x4.d        = qt::half_bits(1.0f);
    x4.scales_h = 0xaaaa; // every field 32
    memset(x4.qs, 0xff, sizeof(x4.qs));
    expect_both("iq4_xs", 0.0f, bytes(x4), a);

    // a block with d = 0, or activations with d = 0, add nothing
    std::mt19937 rng(53);
    for (const auto & k : kernels) {
        if (k.wtype == TEVO_TYPE_IQ4_NL || k.wtype == TEVO_TYPE_IQ1_M) continue;
        std::vector<uint8_t> wz = qt::random_bytes(tevo_type_size(k.wtype), rng);
        qt::put_half(wz.data(), 0.0f);
        std::vector<uint8_t> ar = qt::integer_activations(TEVO_TYPE_Q8_K, 256, 100, rng);
        EXPECT_EQ(qt::run_dot(k.generic, 256, wz, ar), 0.0f) << k.name;
        EXPECT_EQ(qt::run_dot(k.x86, 256, wz, ar), 0.0f) << k.name;
        qt::put_half(wz.data(), 1.0f);
        ((block_q8_K *) ar.data())->d = 0.0f;
        EXPECT_EQ(qt::run_dot(k.generic, 256, wz, ar), 0.0f) << k.name;
        EXPECT_EQ(qt::run_dot(k.x86, 256, wz, ar), 0.0f) << k.name;
    }
}

// The largest products stay inside the 16-bit lanes of the x86 forms:
// every level at -127 against codes of 127 (iq4_nl) and the largest grid
// magnitudes with every scale at its top.
TEST(VecDotIQuants, ExtremeBlocks) {
    tevo_cpu_init();
    std::mt19937 rng(54);
    for (const auto & k : kernels) {
        const tevo_type      act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
        const int64_t        n   = k.wtype == TEVO_TYPE_IQ4_NL ? 64 : 256;
        std::vector<uint8_t> w(qt::row_bytes(k.wtype, n), 0xff);
        unit_scales(k.wtype, w);
        if (k.wtype == TEVO_TYPE_IQ4_NL) {
            for (int b = 0; b < 2; ++b) memset(w.data() + 18 * b + 2, 0, 16); // level -127
        }
        std::vector<uint8_t> a = qt::integer_activations(act, n, 127, rng);
        const qt::DoubleDot  r = qt::double_dot(qt::dequantize(k.wtype, w, n), qt::dequantize(act, a, n));
        const double         g = qt::run_dot(k.generic, n, w, a);
        const double         v = qt::run_dot(k.x86, n, w, a);
        EXPECT_LE(std::fabs(g - r.dot), std::ldexp(r.mag, -20)) << k.name;
        EXPECT_LE(std::fabs(v - r.dot), std::ldexp(r.mag, -20)) << k.name;
    }
}

TEST(VecDotIQuantsDeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<uint8_t> w(2048), a(2048);
    EXPECT_DEATH(qt::run_dot(tevo_vec_dot_iq2_xxs_q8_K, 300, w, a), "n % QK_K == 0");
    EXPECT_DEATH(qt::run_dot(tevo_vec_dot_iq4_nl_q8_0_generic, 40, w, a), "n % QK4_NL == 0");
}

} // namespace
