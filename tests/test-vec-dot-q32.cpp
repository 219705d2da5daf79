// Dot products of the 32-element formats: portable and x86 forms against
// each other and against the dequantized rows, on a table of lengths; the
// activation quantizers' x86 forms against the reference.

#include "quant-test-helpers.h"

#include <algorithm>

namespace {

const qt::DotKernel kernels[] = {
    { "q4_0", TEVO_TYPE_Q4_0, tevo_vec_dot_q4_0_q8_0_generic, tevo_vec_dot_q4_0_q8_0 },
    { "q4_1", TEVO_TYPE_Q4_1, tevo_vec_dot_q4_1_q8_1_generic, tevo_vec_dot_q4_1_q8_1 },
    { "q5_0", TEVO_TYPE_Q5_0, tevo_vec_dot_q5_0_q8_0_generic, tevo_vec_dot_q5_0_q8_0 },
    { "q5_1", TEVO_TYPE_Q5_1, tevo_vec_dot_q5_1_q8_1_generic, tevo_vec_dot_q5_1_q8_1 },
    { "q8_0", TEVO_TYPE_Q8_0, tevo_vec_dot_q8_0_q8_0_generic, tevo_vec_dot_q8_0_q8_0 },
};

TEST(VecDotQ32, PortableAndX86MatchTheDequantizedProduct) {
    tevo_cpu_init();
    std::mt19937 rng(11);
    for (const auto & k : kernels) qt::check_dot_against_dequantized(k, rng);
}

TEST(VecDotQ32, IntegerBlockSumsAreEqual) {
    tevo_cpu_init();
    std::mt19937 rng(12);
    for (const auto & k : kernels) qt::check_dot_integer_sums(k, rng);
}

// The several-rows forms give every row the bits of the one-row kernel, for
// row counts around the pass width and rows at a stride beyond their size,
// and write nothing past the last row.
TEST(VecDotQ32, RowsFormsGiveTheOneRowBits) {
    tevo_cpu_init();
    const tevo_vec_dot_rows_t rows[] = { tevo_vec_dot_q4_0_q8_0_rows, tevo_vec_dot_q4_1_q8_1_rows,
                                         tevo_vec_dot_q5_0_q8_0_rows, tevo_vec_dot_q5_1_q8_1_rows,
                                         tevo_vec_dot_q8_0_q8_0_rows };
    std::mt19937 rng(16);
    for (size_t ki = 0; ki < 5; ++ki) {
        const qt::DotKernel & k   = kernels[ki];
        const tevo_type       act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
        for (int nb : { 0, 1, 3, 12, 300 }) {
            const int64_t n = nb * 32;
            for (int nr : { 1, 2, 3, 4, 5, 7, 8, 9 }) {
                for (size_t pad : { (size_t) 0, (size_t) 6 }) {
                    SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n) + " rows=" + std::to_string(nr) +
                                 " pad=" + std::to_string(pad));
                    const size_t         bx = qt::row_bytes(k.wtype, n) + pad;
                    std::vector<uint8_t> w(bx * (size_t) nr, 0);
                    for (int r = 0; r < nr; ++r) {
                        // rows of different magnitudes: scales far apart
                        const std::vector<uint8_t> q =
                            qt::quantize_ref(k.wtype, qt::gaussian_row(n, rng, std::ldexp(1.0f, 3 * r - 8)));
                        std::copy(q.begin(), q.end(), w.begin() + (ptrdiff_t) (r * bx));
                    }
                    const std::vector<uint8_t> a = qt::quantize_cpu(act, qt::gaussian_row(n, rng));
                    std::vector<float>         s((size_t) nr + 1, 1234.5f);
                    rows[ki]((int) n, nr, s.data(), w.data(), bx, a.data());
                    for (int r = 0; r < nr; ++r) {
                        float one = NAN;
                        k.x86((int) n, &one, 0, w.data() + r * bx, 0, a.data(), 0, 1);
                        EXPECT_EQ(memcmp(&one, &s[r], sizeof(float)), 0)
                            << "row " << r << ": " << one << " vs " << s[r];
                    }
                    EXPECT_EQ(s[nr], 1234.5f) << "wrote past the last row";
                }
            }
        }
    }
}

// Every fifth bit alone, none and all, under unit scales against small
// integer activations: each bit must reach its own element, in the one-row
// forms and the several-rows form alike. The top bit of each qh byte takes
// its own path in the x86 forms, so it is worth a case of its own.
TEST(VecDotQ32, FifthBitsReachTheirElements) {
    tevo_cpu_init();
    struct Case {
        const qt::DotKernel & k;
        tevo_vec_dot_rows_t   rows;
        size_t                qh; // offset of qh in the block
    };
    const Case cases[] = { { kernels[2], tevo_vec_dot_q5_0_q8_0_rows, 2 },
                           { kernels[3], tevo_vec_dot_q5_1_q8_1_rows, 4 } };
    std::mt19937 rng(18);
    for (const Case & c : cases) {
        SCOPED_TRACE(c.k.name);
        std::vector<uint32_t> patterns = { 0u, 0xffffffffu, 0x80808080u, 0x7f7f7f7fu };
        for (int i = 0; i < 32; ++i) patterns.push_back(1u << i);
        const tevo_type            act = tevo_get_type_traits_cpu(c.k.wtype)->vec_dot_type;
        const std::vector<uint8_t> a   = qt::integer_activations(act, 32, 9, rng);
        const std::vector<float>   ya  = qt::dequantize(act, a, 32);
        const size_t               bs  = tevo_type_size(c.k.wtype);
        std::vector<uint8_t>       all(bs * patterns.size());
        std::vector<double>        want(patterns.size());
        for (size_t p = 0; p < patterns.size(); ++p) {
            std::vector<uint8_t> w = qt::random_bytes(bs, rng);
            qt::unit_scales(c.k.wtype, w);
            memcpy(w.data() + c.qh, &patterns[p], 4);
            std::copy(w.begin(), w.end(), all.begin() + (ptrdiff_t) (p * bs));
            want[p] = qt::double_dot(qt::dequantize(c.k.wtype, w, 32), ya).dot;
            EXPECT_EQ((double) qt::run_dot(c.k.generic, 32, w, a), want[p]) << "qh " << std::hex << patterns[p];
            EXPECT_EQ((double) qt::run_dot(c.k.x86, 32, w, a), want[p]) << "qh " << std::hex << patterns[p];
        }
        std::vector<float> s(patterns.size());
        c.rows(32, (int) patterns.size(), s.data(), all.data(), bs, a.data());
        for (size_t p = 0; p < patterns.size(); ++p) {
            EXPECT_EQ((double) s[p], want[p]) << "rows form, qh " << std::hex << patterns[p];
        }
    }
}

TEST(VecDotQ32, WorkedCases) {
    tevo_cpu_init();
    std::mt19937 rng(13);
    const std::vector<uint8_t> a = qt::integer_activations(TEVO_TYPE_Q8_0, 64, 9, rng);

    // q4_0 codes all 8 contribute nothing, whatever the activations
    std::vector<uint8_t> w(2 * sizeof(block_q4_0), 0x88);
    qt::unit_scales(TEVO_TYPE_Q4_0, w);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_0_q8_0_generic, 64, w, a), 0.0f);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_0_q8_0, 64, w, a), 0.0f);

    // q4_1 with codes 0 and minimum 1: the sum of the activation blocks' s
    const std::vector<uint8_t> a1 = qt::integer_activations(TEVO_TYPE_Q8_1, 64, 9, rng);
    std::vector<uint8_t>       w1(2 * sizeof(block_q4_1), 0);
    qt::unit_scales(TEVO_TYPE_Q4_1, w1);
    const block_q8_1 * y1 = (const block_q8_1 *) a1.data();
    const float        ss = tevo_fp16_to_fp32(y1[0].s) + tevo_fp16_to_fp32(y1[1].s);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_1_q8_1_generic, 64, w1, a1), ss);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_1_q8_1, 64, w1, a1), ss);
    // with d = 0 the codes do not matter: only the minimum's part is left
    for (size_t b = 0; b < 2; ++b) {
        block_q4_1 * xb = (block_q4_1 *) w1.data() + b;
        xb->d           = qt::half_bits(0.0f);
        memset(xb->qs, 0x5c, sizeof(xb->qs));
    }
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_1_q8_1_generic, 64, w1, a1), ss);
    EXPECT_EQ(qt::run_dot(tevo_vec_dot_q4_1_q8_1, 64, w1, a1), ss);
}

// The x86 activation quantizers round halves to even and divide 127 by the
// block maximum; the reference rounds halves away from zero. Scales agree.
TEST(VecDotQ32, ActivationQuantizersRoundHalvesToEven) {
    std::vector<float> x(32, 0.0f);
    x[0] = 127.0f; // id = 1
    x[1] = 2.5f;
    x[2] = -2.5f;
    x[3] = 3.5f;
    const std::vector<uint8_t> ref = qt::quantize_ref(TEVO_TYPE_Q8_0, x);
    const std::vector<uint8_t> cpu = qt::quantize_cpu(TEVO_TYPE_Q8_0, x);
    const block_q8_0 *         r   = (const block_q8_0 *) ref.data();
    const block_q8_0 *         c   = (const block_q8_0 *) cpu.data();
    EXPECT_EQ(r->d, c->d);
    EXPECT_EQ(r->qs[1], 3);
    EXPECT_EQ(c->qs[1], 2);
    EXPECT_EQ(r->qs[2], -3);
    EXPECT_EQ(c->qs[2], -2);
    EXPECT_EQ(r->qs[3], 4);
    EXPECT_EQ(c->qs[3], 4);

    // on random rows: equal scales (and q8_1 sums), codes at most one apart
    std::mt19937 rng(14);
    for (tevo_type t : { TEVO_TYPE_Q8_0, TEVO_TYPE_Q8_1 }) {
        const std::vector<float>   v  = qt::gaussian_row(32 * 50, rng);
        const std::vector<uint8_t> qr = qt::quantize_ref(t, v);
        const std::vector<uint8_t> qc = qt::quantize_cpu(t, v);
        const size_t               sz = tevo_type_size(t);
        const size_t               hd = t == TEVO_TYPE_Q8_1 ? 4 : 2;
        for (size_t b = 0; b < 50; ++b) {
            EXPECT_EQ(qt::get_half(qr.data() + b * sz), qt::get_half(qc.data() + b * sz)) << b;
            for (size_t i = 0; i < 32; ++i) {
                const int cr = (int8_t) qr[b * sz + hd + i];
                const int cc = (int8_t) qc[b * sz + hd + i];
                EXPECT_LE(std::abs(cr - cc), 1) << b << " " << i;
            }
        }
    }
    // whole blocks only: 64 values write two, nothing is written past them
    const std::vector<uint8_t> two = qt::quantize_cpu(TEVO_TYPE_Q8_1, qt::gaussian_row(64, rng));
    EXPECT_EQ(two.size(), 72u);
}

TEST(VecDotQ32, ZeroBlocksGiveZeroCodes) {
    const std::vector<float> x(64, 0.0f);
    for (tevo_type t : { TEVO_TYPE_Q8_0, TEVO_TYPE_Q8_1 }) {
        for (const auto & q : { qt::quantize_cpu(t, x), qt::quantize_ref(t, x) }) {
            for (uint8_t b : q) EXPECT_EQ(b, 0) << tevo_type_name(t);
        }
    }
}

// Non-finite activations: the block gets an infinite scale, so the product
// is not a plausible number.
TEST(VecDotQ32, NonFiniteActivationsGiveNaN) {
    tevo_cpu_init();
    std::mt19937       rng(15);
    std::vector<float> y = qt::gaussian_row(64, rng);
    for (float bad : { NAN, INFINITY, -INFINITY }) {
        y[40] = bad;
        for (const auto & k : kernels) {
            const tevo_type            act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
            const std::vector<uint8_t> w   = qt::quantize_ref(k.wtype, qt::gaussian_row(64, rng));
            const std::vector<uint8_t> a   = qt::quantize_cpu(act, y);
            EXPECT_EQ(qt::get_half(a.data() + tevo_type_size(act)), 0x7c00) << k.name;
            EXPECT_TRUE(std::isnan(qt::run_dot(k.x86, 64, w, a))) << k.name << " " << bad;
            EXPECT_TRUE(std::isnan(qt::run_dot(k.generic, 64, w, a))) << k.name << " " << bad;
        }
    }
}

TEST(VecDotQ32DeathTest, LengthsOfPartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<uint8_t> w(64), a(64);
    float                s;
    EXPECT_DEATH(tevo_vec_dot_q4_0_q8_0(31, &s, 0, w.data(), 0, a.data(), 0, 1), "n >= 0 && n % QK8_0 == 0");
    EXPECT_DEATH(tevo_vec_dot_q4_1_q8_1_generic(40, &s, 0, w.data(), 0, a.data(), 0, 1), "QK8_1");
    EXPECT_DEATH(tevo_vec_dot_q5_0_q8_0_rows(48, 1, &s, w.data(), 0, a.data()), "n >= 0 && n % QK8_0 == 0");
    std::vector<float> x(40);
    EXPECT_DEATH(quantize_row_q8_0(x.data(), w.data(), 40), "k >= 0 && k % QK8_0 == 0");
    EXPECT_DEATH(quantize_row_q8_1(x.data(), w.data(), 40), "k >= 0 && k % QK8_1 == 0");
}

} // namespace
