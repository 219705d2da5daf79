// The K-quants q2_K .. q6_K and q8_K: worked blocks, the scale searches,
// the scale packing, round trips within each format's error bound, the
// importance-weighted chunk quantizers.

#include "quant-test-helpers.h"

#include "quants/impl.h"
#include "quants/kquants-search.h"
#include "quants/kquants.h"

namespace {

const tevo_type kquants[] = { TEVO_TYPE_Q2_K, TEVO_TYPE_Q3_K, TEVO_TYPE_Q4_K, TEVO_TYPE_Q5_K, TEVO_TYPE_Q6_K };

TEST(QuantsKQuants, ZeroBlocksAreZeroBytes) {
    const std::vector<float> z(512, 0.0f);
    for (tevo_type t : kquants) {
        const std::vector<uint8_t> q = qt::quantize_ref(t, z);
        for (uint8_t b : q) ASSERT_EQ(b, 0) << tevo_type_name(t);
        for (float v : qt::dequantize(t, q, 512)) ASSERT_EQ(v, 0.0f) << tevo_type_name(t);
    }
    block_q8_K y;
    memset(&y, 0x77, sizeof(y));
    quantize_row_q8_K_ref(z.data(), &y, 256);
    EXPECT_EQ(y.d, 0.0f);
    for (int8_t v : y.qs) EXPECT_EQ(v, 0);
}

TEST(QuantsKQuants, Q8KScaleAndSums) {
    std::mt19937       rng(1);
    std::vector<float> x = qt::uniform_row(256, rng, -4.0f, 4.0f);
    x[17]                = 5.0f;
    block_q8_K y;
    quantize_row_q8_K_ref(x.data(), &y, 256);
    EXPECT_EQ(y.d, 1.0f / (-127.0f / 5.0f));
    EXPECT_EQ(y.qs[17], -127);
    for (int j = 0; j < 16; ++j) {
        int sum = 0;
        for (int i = 0; i < 16; ++i) sum += y.qs[16 * j + i];
        EXPECT_EQ(y.bsums[j], sum);
    }
    std::vector<float> back(256);
    dequantize_row_q8_K(&y, back.data(), 256);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR(back[i], x[i], 5.0 / 127 * 0.5001);
}

TEST(QuantsKQuants, ScaleMinPacking) {
    uint8_t q[12] = {};
    for (int j = 0; j < 8; ++j) tevo_kq_pack_scale_min(j, j == 5 ? 45 : 3, j == 5 ? 50 : 7, q);
    EXPECT_EQ(q[9], 0x2d);
    EXPECT_EQ(q[1] & 0xc0, 0x80);
    EXPECT_EQ(q[5] & 0xc0, 0xc0);
    for (int j = 0; j < 8; ++j) {
        uint8_t sc, m;
        tevo_kq_unpack_scale_min(j, q, &sc, &m);
        EXPECT_EQ(sc, j == 5 ? 45 : 3) << j;
        EXPECT_EQ(m, j == 5 ? 50 : 7) << j;
    }
    // q3_K's sixteen six-bit values round-trip too
    uint8_t s3[12] = {};
    for (int j = 0; j < 16; ++j) tevo_kq_q3_set_scale(s3, j, (j * 29 + 5) & 63);
    for (int j = 0; j < 16; ++j) EXPECT_EQ(tevo_kq_q3_scale(s3, j), (j * 29 + 5) & 63) << j;
}

TEST(QuantsKQuants, Searches) {
    // all equal and not positive: scale 0, the value carried by the minimum
    float   x[32];
    float   w[32];
    uint8_t L[32];
    for (int i = 0; i < 32; ++i) {
        x[i] = -2.0f;
        w[i] = 1.0f;
    }
    float mn = -1.0f;
    EXPECT_EQ(tevo_kq_search_scale_min(32, 15, x, w, L, &mn, -1.0f, 0.1f, 21, TEVO_KQ_SQUARED), 0.0f);
    EXPECT_EQ(mn, 2.0f);
    for (uint8_t l : L) EXPECT_EQ(l, 0);

    // eight equal values with equal weights: every code 63, scale v/63
    float   v[8], vw[8];
    uint8_t Lv[8];
    for (int i = 0; i < 8; ++i) {
        v[i]  = 0.7f;
        vw[i] = 2.0f;
    }
    EXPECT_NEAR(tevo_kq_quantize_nonneg_weighted(8, 63, v, Lv, vw), 0.7f / 63, 1e-8);
    for (uint8_t l : Lv) EXPECT_EQ(l, 63);
    for (float & f : v) f = 0.0f;
    EXPECT_EQ(tevo_kq_quantize_nonneg_weighted(8, 63, v, Lv, vw), 0.0f);
    for (uint8_t l : Lv) EXPECT_EQ(l, 0);

    // the signed searches: the value of largest magnitude gets the lowest code
    int8_t Ls[16];
    float  xs[16];
    std::mt19937 rng(2);
    const std::vector<float> r = qt::gaussian_row(16, rng);
    std::copy(r.begin(), r.end(), xs);
    xs[4]             = 3.0f;
    const float scale = tevo_kq_refine_signed_scale(xs, Ls);
    EXPECT_LT(scale, 0.0f);
    EXPECT_EQ(Ls[4], 0);
    for (int i = 0; i < 16; ++i) {
        EXPECT_GE(Ls[i], 0);
        EXPECT_LE(Ls[i], 7);
    }
    const float s6 = tevo_kq_search_signed_scale(16, 32, xs, Ls, nullptr);
    EXPECT_LT(s6, 0.0f);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(s6 * (Ls[i] - 32), xs[i], std::fabs(s6) * 0.75) << i;
}

// An all-equal negative sub-block in q4_K dequantizes to about its value
// through the minimum alone.
TEST(QuantsKQuants, NegativeConstantSubBlock) {
    std::mt19937       rng(3);
    std::vector<float> x = qt::gaussian_row(256, rng);
    for (int i = 64; i < 96; ++i) x[i] = -2.0f;
    const std::vector<float> y = qt::dequantize(TEVO_TYPE_Q4_K, qt::quantize_ref(TEVO_TYPE_Q4_K, x), 256);
    for (int i = 64; i < 96; ++i) EXPECT_NEAR(y[i], -2.0f, 0.05f) << i;
}

// Relative RMS error on Gaussian rows: each bound sits a little above what
// the format reaches, so a wrong rounding rule (about twice the error), a
// wrong scale or a swapped nibble breaks it.
TEST(QuantsKQuants, RoundTripErrors) {
    struct Case {
        tevo_type type;
        double    rms;
    };
    const Case   cases[] = { { TEVO_TYPE_Q2_K, 0.32 }, { TEVO_TYPE_Q3_K, 0.165 }, { TEVO_TYPE_Q4_K, 0.078 },
                             { TEVO_TYPE_Q5_K, 0.040 }, { TEVO_TYPE_Q6_K, 0.020 } };
    std::mt19937 rng(4);
    for (const Case & c : cases) {
        const std::vector<float> x = qt::gaussian_row(256 * 64, rng);
        const std::vector<float> y = qt::dequantize(c.type, qt::quantize_ref(c.type, x), (int64_t) x.size());
        double                   e = 0, s = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            e += (x[i] - y[i]) * (double) (x[i] - y[i]);
            s += x[i] * (double) x[i];
        }
        EXPECT_LT(std::sqrt(e / s), c.rms) << tevo_type_name(c.type);
        EXPECT_GT(std::sqrt(e / s), c.rms / 4) << tevo_type_name(c.type);
    }
}

TEST(QuantsKQuants, ChunkWithoutWeightsIsTheReference) {
    std::mt19937             rng(5);
    const std::vector<float> x = qt::gaussian_row(3 * 512, rng);
    for (tevo_type t : kquants) {
        std::vector<uint8_t> q(qt::row_bytes(t, 3 * 512));
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), q.data(), 0, 3, 512, nullptr), 3 * tevo_row_size(t, 512));
        EXPECT_EQ(q, qt::quantize_ref(t, x)) << tevo_type_name(t);

        // a later chunk lands at its own rows and leaves the others alone
        std::vector<uint8_t> p(q.size(), 0xcd);
        EXPECT_EQ(tevo_quantize_chunk(t, x.data(), p.data(), 512, 2, 512, nullptr), 2 * tevo_row_size(t, 512));
        const size_t rs = tevo_row_size(t, 512);
        for (size_t i = 0; i < rs; ++i) ASSERT_EQ(p[i], 0xcd);
        EXPECT_TRUE(std::equal(p.begin() + rs, p.end(), q.begin() + rs)) << tevo_type_name(t);
    }
}

// Heavily weighted columns come out more exactly with the weights than
// without, for every K-quant.
TEST(QuantsKQuants, ImportanceWeightsChangeTheChoice) {
    const int64_t            nrows = 100, npr = 512;
    std::mt19937             rng(6);
    const std::vector<float> x = qt::gaussian_row(nrows * npr, rng);
    std::vector<float>       im(npr, 1.0f);
    const int                heavy[] = { 3, 77, 300, 511 };
    for (int c : heavy) im[c] = 1000.0f;
    for (tevo_type t : kquants) {
        std::vector<uint8_t> qw(qt::row_bytes(t, nrows * npr)), qp(qw.size());
        tevo_quantize_chunk(t, x.data(), qw.data(), 0, nrows, npr, im.data());
        tevo_quantize_chunk(t, x.data(), qp.data(), 0, nrows, npr, nullptr);
        const std::vector<float> yw = qt::dequantize(t, qw, nrows * npr);
        const std::vector<float> yp = qt::dequantize(t, qp, nrows * npr);
        double                   ew = 0, ep = 0, tw = 0, tp = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            const double dw = x[i] - yw[i], dp = x[i] - yp[i];
            tw += dw * dw;
            tp += dp * dp;
            for (int c : heavy) {
                if ((int64_t) i % npr == c) {
                    ew += dw * dw;
                    ep += dp * dp;
                }
            }
        }
        EXPECT_LT(ew, 0.5 * ep) << tevo_type_name(t);
        // and the others pay only moderately for it
        EXPECT_LT(tw, 1.3 * tp) << tevo_type_name(t);
    }
}

TEST(QuantsKQuantsDeathTest, PartialBlocksAreRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    std::vector<float>   x(512, 1.0f);
    std::vector<uint8_t> q(1024);
    EXPECT_DEATH(quantize_row_q4_K_ref(x.data(), q.data(), 300), "k % QK_K == 0");
    EXPECT_DEATH(dequantize_row_q6_K(q.data(), x.data(), 128), "k % QK_K == 0");
    EXPECT_DEATH(quantize_q3_K(x.data(), q.data(), 2, 200, x.data()), "n_per_row % QK_K == 0");
}

} // namespace
