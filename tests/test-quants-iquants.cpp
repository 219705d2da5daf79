// The i-quants: dequantizers on hand-built blocks, round trips of every
// quantizer on random rows with random importance weights within a bound
// per type, the sign-parity rule, zero and non-finite blocks, determinism,
// the reference entries, and the argument checks.

#include "kernel-test-helpers.h"
#include "quant-test-helpers.h"

#include "quants/iquants-tables.h"
#include "quants/iquants.h"

namespace {

const tevo_type iquants[] = { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ2_S,  TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S,
                              TEVO_TYPE_IQ1_S,   TEVO_TYPE_IQ1_M,  TEVO_TYPE_IQ4_NL, TEVO_TYPE_IQ4_XS };

// rows through the chunk quantizer (which builds the grid)
std::vector<uint8_t> quantize(tevo_type t, const std::vector<float> & x, int64_t n_per_row, const float * im) {
    const int64_t        nrows = (int64_t) x.size() / n_per_row;
    std::vector<uint8_t> q(tevo_row_size(t, n_per_row) * (size_t) nrows + 1, 0xA5);
    EXPECT_EQ(tevo_quantize_chunk(t, x.data(), q.data(), 0, nrows, n_per_row, im), q.size() - 1);
    EXPECT_EQ(q.back(), 0xA5) << tevo_type_name(t) << ": wrote past the rows";
    q.pop_back();
    return q;
}

std::vector<float> random_weights(int64_t n, std::mt19937 & rng) {
    std::uniform_real_distribution<float> u(0.05f, 2.0f);
    std::vector<float>                    w((size_t) n);
    for (float & v : w) v = u(rng);
    return w;
}

struct Error {
    double rms;  // relative, plain
    double wrms; // relative, under the importance weights
};

Error rel_error(const std::vector<float> & x, const std::vector<float> & y, const std::vector<float> & w) {
    double e = 0, s = 0, ew = 0, sw = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double d  = (double) x[i] - y[i];
        const double wi = w[i % w.size()];
        e += d * d;
        s += (double) x[i] * x[i];
        ew += wi * d * d;
        sw += wi * x[i] * (double) x[i];
    }
    return { std::sqrt(e / s), std::sqrt(ew / sw) };
}

// ---------------------------------------------------------------------------
// dequantizers

TEST(QuantsIQuants, DequantizersOnHandBuiltBlocks) {
    // iq2_xxs: d 1, grid point 0 (all 8), sign field 1 in group 0 (pattern
    // 129: values 0 and 7 negative), scale field 3: ds = 3.5 / 4
    block_iq2_xxs a;
    memset(&a, 0, sizeof(a));
    a.d                 = qt::half_bits(1.0f);
    const uint32_t w1   = 1u | (3u << 28);
    memcpy(&a.qs[2], &w1, 4);
    std::vector<float> y(256);
    dequantize_row_iq2_xxs(&a, y.data(), 256);
    EXPECT_EQ(y[0], -7.0f);
    EXPECT_EQ(y[1], 7.0f);
    EXPECT_EQ(y[7], -7.0f);
    EXPECT_EQ(y[32], 1.0f); // sub-block 1: scale field 0, ds 1/8

    // iq3_xxs: the largest magnitude is 62 (level 7), not 60
    block_iq3_xxs b;
    memset(&b, 0, sizeof(b));
    b.d = qt::half_bits(1.0f);
    int top = -1;
    for (int k = 0; k < 256 && top < 0; ++k) {
        if ((iq3_xxs_grid[k] & 0xff) == 62) top = k;
    }
    ASSERT_GE(top, 0);
    b.qs[0] = (uint8_t) top;
    dequantize_row_iq3_xxs(&b, y.data(), 256);
    EXPECT_EQ(y[0], 62.0f * 0.25f);

    // iq3_s: signs byte 0x01 negates value 0 only; scales 0xf0: ls 1 and 31
    block_iq3_s c;
    memset(&c, 0, sizeof(c));
    c.d         = qt::half_bits(1.0f);
    c.signs[0]  = 0x01;
    c.scales[0] = 0xf0;
    dequantize_row_iq3_s(&c, y.data(), 256);
    EXPECT_EQ(y[0], -1.0f);
    EXPECT_EQ(y[1], 1.0f);
    EXPECT_EQ(y[32], 31.0f);

    // iq1_s: grid point 0 is eight -1; offset +1/8, or -1/8 with bit 15
    block_iq1_s e;
    memset(&e, 0, sizeof(e));
    e.d     = qt::half_bits(1.0f);
    e.qh[1] = 0x8000;
    dequantize_row_iq1_s(&e, y.data(), 256);
    EXPECT_EQ(y[0], -0.875f);
    EXPECT_EQ(y[32], -1.125f);

    // iq1_m: the block scale from the top nibbles (0x3c00 = 1.0); bit 3 of
    // qh[0] gives group 0 the negative offset
    block_iq1_m m;
    memset(&m, 0, sizeof(m));
    const uint16_t sc[4] = { 0, 0, 0xc000, 0x3000 };
    memcpy(m.scales, sc, 8);
    m.qh[0] = 0x08;
    dequantize_row_iq1_m(&m, y.data(), 256);
    EXPECT_EQ(y[0], -1.125f);
    EXPECT_EQ(y[8], -0.875f);
    // every top nibble 0: scale +0
    const uint16_t sc0[4] = { 0x0fff, 0x0fff, 0x0fff, 0x0fff };
    memcpy(m.scales, sc0, 8);
    dequantize_row_iq1_m(&m, y.data(), 256);
    EXPECT_EQ(y[0], -0.0f);

    // iq4_xs: field 32 gives a zero sub-block, field 0 the scale -32 d
    block_iq4_xs f;
    memset(&f, 0, sizeof(f));
    f.d           = qt::half_bits(1.0f);
    f.scales_h    = 0x0002; // sub-block 0: field 32; sub-block 1: 0
    f.scales_l[0] = 0x00;
    memset(f.qs, 0x88, sizeof(f.qs)); // level 1 everywhere
    dequantize_row_iq4_xs(&f, y.data(), 256);
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_EQ(y[32], -32.0f);

    // iq2_s and iq3_s hold any sign pattern; iq2_xxs, iq2_xs and iq3_xxs
    // always an even number of negatives per 8 values
    std::mt19937 rng(1);
    for (tevo_type t : { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ3_XXS }) {
        std::vector<uint8_t> q = qt::random_bytes(tevo_type_size(t) * 4, rng);
        for (int b = 0; b < 4; ++b) qt::put_half(q.data() + b * tevo_type_size(t), 1.0f);
        const std::vector<float> v = qt::dequantize(t, q, 1024);
        for (int g = 0; g < 128; ++g) {
            int neg = 0;
            for (int j = 0; j < 8; ++j) neg += std::signbit(v[8 * g + j]);
            ASSERT_EQ(neg % 2, 0) << tevo_type_name(t) << " group " << g;
        }
    }
}

// ---------------------------------------------------------------------------
// round trips

// Relative RMS error on Gaussian rows, with and without random importance
// weights. The bounds sit a little above what the formats reach: a grid
// search that took any listed neighbour instead of the best, or a scale
// search that stopped at its start, exceeds them. With weights the weighted
// error must also beat the unweighted quantization's.
TEST(QuantsIQuants, RoundTripsWithinTheirBounds) {
    struct Case {
        tevo_type type;
        double    rms;
    };
    const Case cases[] = {
        { TEVO_TYPE_IQ1_S, 0.52 },   { TEVO_TYPE_IQ1_M, 0.52 },   { TEVO_TYPE_IQ2_XXS, 0.37 },
        { TEVO_TYPE_IQ2_XS, 0.322 }, { TEVO_TYPE_IQ2_S, 0.272 },  { TEVO_TYPE_IQ3_XXS, 0.212 },
        { TEVO_TYPE_IQ3_S, 0.158 },  { TEVO_TYPE_IQ4_NL, 0.079 }, { TEVO_TYPE_IQ4_XS, 0.079 },
    };
    const int64_t npr = 512, nrows = 48;
    std::mt19937  rng(4);
    for (const Case & c : cases) {
        SCOPED_TRACE(tevo_type_name(c.type));
        const std::vector<float> x  = qt::gaussian_row(npr * nrows, rng);
        const std::vector<float> im = random_weights(npr, rng);
        const std::vector<float> yw = qt::dequantize(c.type, quantize(c.type, x, npr, im.data()), npr * nrows);
        const Error              ew = rel_error(x, yw, im);
        EXPECT_LT(ew.rms, c.rms);
        EXPECT_GT(ew.rms, c.rms / 3);
        if (tevo_quantize_requires_imatrix(c.type)) {
            continue;
        }
        const std::vector<float> yp = qt::dequantize(c.type, quantize(c.type, x, npr, nullptr), npr * nrows);
        const Error              ep = rel_error(x, yp, im);
        EXPECT_LT(ep.rms, c.rms);
        EXPECT_LT(ew.wrms, ep.wrms);
    }
}

// Heavily weighted columns come out more exactly with the weights.
TEST(QuantsIQuants, ImportanceWeightsChangeTheChoice) {
    const int64_t            npr = 512, nrows = 40;
    std::mt19937             rng(6);
    const std::vector<float> x = qt::gaussian_row(npr * nrows, rng);
    std::vector<float>       flat(npr, 1.0f), im(npr, 1.0f);
    const int                heavy[] = { 3, 77, 300, 511 };
    for (int c : heavy) im[c] = 1000.0f;
    for (tevo_type t : iquants) {
        SCOPED_TRACE(tevo_type_name(t));
        const std::vector<float> yw = qt::dequantize(t, quantize(t, x, npr, im.data()), npr * nrows);
        const std::vector<float> yp = qt::dequantize(t, quantize(t, x, npr, flat.data()), npr * nrows);
        double                   ew = 0, ep = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            for (int c : heavy) {
                if ((int64_t) i % npr == c) {
                    ew += (x[i] - yw[i]) * (double) (x[i] - yw[i]);
                    ep += (x[i] - yp[i]) * (double) (x[i] - yp[i]);
                }
            }
        }
        EXPECT_LT(ew, 0.6 * ep);
    }
}

// A sub-block of values all near 1 with an odd number of negatives: the
// parity flip hands the weighted scale fit of iq2_xxs a value that must not
// be negative (its level would wrap round and zero the whole sub-block,
// leaving values of about d / 8 there).
TEST(QuantsIQuants, ParityFlipKeepsIq2XxsSubBlocks) {
    std::mt19937                          rng(8);
    std::uniform_real_distribution<float> u(0.9f, 1.1f);
    std::vector<float>                    x(256);
    for (int i = 0; i < 256; ++i) x[i] = (i % 8 == 3 ? -1.0f : 1.0f) * u(rng);
    const std::vector<float> w(256, 1.0f);
    const std::vector<float> y = qt::dequantize(TEVO_TYPE_IQ2_XXS, quantize(TEVO_TYPE_IQ2_XXS, x, 256, w.data()), 256);
    for (int ib = 0; ib < 8; ++ib) {
        double mean = 0;
        for (int i = 32 * ib; i < 32 * ib + 32; ++i) mean += std::fabs(y[i]) / 32;
        EXPECT_GT(mean, 0.5) << "sub-block " << ib;
    }
}

// The least important value of a group with an odd number of negatives
// (smallest weight * x²) takes the wrong sign, whether it was negative or
// positive; iq2_s and iq3_s keep every sign.
TEST(QuantsIQuants, SignParityRule) {
    const float group_a[8] = { 1.0f, -0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, 0.3f }; // 0.3 flips to negative
    const float group_b[8] = { 1.0f, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.45f, -0.3f }; // -0.3 flips to positive
    std::vector<float> x(256);
    for (int g = 0; g < 32; ++g) {
        for (int j = 0; j < 8; ++j) x[8 * g + j] = (g % 2 ? group_b : group_a)[j];
    }
    const std::vector<float> w(256, 1.0f);
    for (tevo_type t : { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ3_S }) {
        SCOPED_TRACE(tevo_type_name(t));
        const bool               parity = t != TEVO_TYPE_IQ2_S && t != TEVO_TYPE_IQ3_S;
        const std::vector<float> y      = qt::dequantize(t, quantize(t, x, 256, w.data()), 256);
        for (int i = 0; i < 256; ++i) {
            const bool flipped = parity && i % 8 == 7;
            EXPECT_EQ(std::signbit(y[i]), std::signbit(x[i]) != flipped) << i;
        }
    }
}

TEST(QuantsIQuants, ZeroBlocks) {
    const std::vector<float> z(512, 0.0f);
    const std::vector<float> w(512, 1.0f);
    for (tevo_type t : iquants) {
        SCOPED_TRACE(tevo_type_name(t));
        const std::vector<uint8_t> q = quantize(t, z, 512, w.data());
        for (float v : qt::dequantize(t, q, 512)) ASSERT_EQ(v, 0.0f);
        if (t == TEVO_TYPE_IQ4_NL) {
            // scale +0, every index 8 (level 1)
            for (int b = 0; b < 16; ++b) {
                EXPECT_EQ(qt::get_half(q.data() + 18 * b), 0);
                for (int j = 0; j < 16; ++j) ASSERT_EQ(q[18 * b + 2 + j], 0x88);
            }
        } else if (t == TEVO_TYPE_IQ4_XS) {
            // scale -0, every sub-block field 32, every index 8
            const block_iq4_xs * y = (const block_iq4_xs *) q.data();
            EXPECT_EQ(y->d, 0x8000);
            EXPECT_EQ(y->scales_h, 0xaaaa);
            for (uint8_t l : y->scales_l) EXPECT_EQ(l, 0);
            for (uint8_t b : y->qs) ASSERT_EQ(b, 0x88);
        } else {
            for (uint8_t b : q) ASSERT_EQ(b, 0);
        }
    }
}

// A sub-block far below the rest is written as the all-zero grid point of
// the 1-bit grid, the nearest to zero those formats hold: 1/8 of the
// smallest sub-block scale, not 7/8.
TEST(QuantsIQuants, OneBitZeroSubBlocks) {
    std::mt19937       rng(9);
    std::vector<float> x = qt::gaussian_row(256, rng);
    for (int i = 64; i < 96; ++i) x[i] = 0.0f;
    const std::vector<float> w(256, 1.0f);
    for (tevo_type t : { TEVO_TYPE_IQ1_S, TEVO_TYPE_IQ1_M }) {
        const std::vector<uint8_t> q = quantize(t, x, 256, w.data());
        const std::vector<float>   y = qt::dequantize(t, q, 256);
        float                      d = 0.0f;
        if (t == TEVO_TYPE_IQ1_S) {
            d = tevo_fp16_to_fp32(((const block_iq1_s *) q.data())->d);
        } else {
            uint16_t sc[4];
            memcpy(sc, ((const block_iq1_m *) q.data())->scales, 8);
            d = tevo_fp16_to_fp32((uint16_t) ((sc[0] >> 12) | ((sc[1] >> 8) & 0xf0) | ((sc[2] >> 4) & 0xf00) |
                                              (sc[3] & 0xf000)));
        }
        ASSERT_GT(d, 0.0f);
        for (int i = 64; i < 96; ++i) EXPECT_EQ(y[i], 0.125f * d) << tevo_type_name(t) << " " << i;
    }
}

// All equal non-zero values of a 1-bit sub-block take one level.
TEST(QuantsIQuants, OneBitEqualValues) {
    std::mt19937       rng(10);
    std::vector<float> x = qt::gaussian_row(256, rng);
    for (int i = 0; i < 32; ++i) x[i] = 0.7f;
    const std::vector<float> w(256, 1.0f);
    for (tevo_type t : { TEVO_TYPE_IQ1_S, TEVO_TYPE_IQ1_M }) {
        const std::vector<float> y = qt::dequantize(t, quantize(t, x, 256, w.data()), 256);
        for (int i = 1; i < 32; ++i) EXPECT_EQ(y[i], y[0]) << tevo_type_name(t) << " " << i;
        EXPECT_NEAR(y[0], 0.7f, 0.2f) << tevo_type_name(t);
    }
}

// Rows with many equal values give the same bytes every time and wherever
// they sit in a chunk.
TEST(QuantsIQuants, SameRowSameBytes) {
    std::mt19937                    rng(11);
    std::uniform_int_distribution<> pick(-3, 3);
    std::vector<float>              x(256 * 3);
    for (float & v : x) v = 0.25f * (float) pick(rng);
    const std::vector<float> w(256, 1.0f);
    for (tevo_type t : iquants) {
        SCOPED_TRACE(tevo_type_name(t));
        const std::vector<uint8_t> all = quantize(t, x, 256, w.data());
        const size_t               rs  = tevo_row_size(t, 256);
        for (int r = 0; r < 3; ++r) {
            const std::vector<float>   row(x.begin() + 256 * r, x.begin() + 256 * (r + 1));
            const std::vector<uint8_t> one = quantize(t, row, 256, w.data());
            EXPECT_TRUE(std::equal(one.begin(), one.end(), all.begin() + rs * r)) << r;
            EXPECT_EQ(quantize(t, row, 256, w.data()), one);
        }
    }
}

// A NaN or an infinity makes a block with an infinite scale (every other
// field zero), which row validation refuses; the other blocks are as usual.
TEST(QuantsIQuants, NonFiniteBlocks) {
    std::mt19937             rng(12);
    std::vector<float>       x = qt::gaussian_row(512, rng);
    const std::vector<float> clean(x.begin() + 256, x.end());
    x[17]                      = NAN;
    const std::vector<float> w(512, 1.0f);
    for (tevo_type t : iquants) {
        SCOPED_TRACE(tevo_type_name(t));
        const std::vector<uint8_t> q  = quantize(t, x, 512, w.data());
        const size_t               bs = tevo_type_size(t) * (size_t) (256 / tevo_blck_size(t));
        EXPECT_FALSE(tevo_validate_row_data(t, q.data(), bs));
        const std::vector<float> y = qt::dequantize(t, q, 256);
        EXPECT_FALSE(std::isfinite(y[17]));
        // the second half is quantized as if alone
        const std::vector<uint8_t> q2 = quantize(t, clean, 256, w.data());
        EXPECT_TRUE(std::equal(q2.begin(), q2.end(), q.begin() + bs));
        EXPECT_TRUE(tevo_validate_row_data(t, q.data() + bs, bs));
    }
}

TEST(QuantsIQuants, ReferenceQuantizers) {
    std::mt19937             rng(13);
    const std::vector<float> x = qt::gaussian_row(512, rng);
    for (tevo_type t : { TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S, TEVO_TYPE_IQ4_XS }) {
        tevo_quantize_init(t);
        EXPECT_EQ(qt::quantize_ref(t, x), quantize(t, x, 512, nullptr)) << tevo_type_name(t);
    }
    for (tevo_type t : { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ1_S, TEVO_TYPE_IQ1_M }) {
        EXPECT_EQ(tevo_get_type_traits(t)->from_float_ref, nullptr) << tevo_type_name(t);
    }

    // iq4_nl without tries: one non-zero value v takes index 0 (level -127)
    // and the scale -v/127; zeros take index 8
    std::vector<float> one(32, 0.0f);
    one[5] = 2.5f;
    block_iq4_nl b;
    quantize_row_iq4_nl_ref(one.data(), &b, 32);
    EXPECT_EQ(b.d, qt::half_bits(-2.5f / 127.0f));
    EXPECT_EQ(b.qs[5], 0x80);
    EXPECT_EQ(b.qs[0], 0x88);

    // iq4_xs: sub-blocks all of one scale get field 0 (l = -32)
    std::vector<float> same(256);
    for (int i = 0; i < 256; ++i) same[i] = (i % 32 == 0) ? 3.0f : 0.0f;
    block_iq4_xs xs;
    quantize_row_iq4_xs_ref(same.data(), &xs, 256);
    EXPECT_EQ(xs.scales_h, 0);
    for (uint8_t l : xs.scales_l) EXPECT_EQ(l, 0);
    std::vector<float> back(256);
    dequantize_row_iq4_xs(&xs, back.data(), 256);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR(back[i], same[i], 0.05f) << i;
}

// With every importance weight 0 the candidate sums are 0: the start
// scale stays and the block is still finite.
TEST(QuantsIQuants, ZeroImportanceWeights) {
    std::mt19937             rng(14);
    const std::vector<float> x = qt::gaussian_row(256, rng);
    const std::vector<float> w(256, 0.0f);
    for (tevo_type t : { TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S }) {
        const std::vector<uint8_t> q = quantize(t, x, 256, w.data());
        EXPECT_TRUE(tevo_validate_row_data(t, q.data(), q.size())) << tevo_type_name(t);
        EXPECT_NE(qt::get_half(q.data()), 0) << tevo_type_name(t);
    }
}

TEST(QuantsIQuantsDeathTest, BadArguments) {
    kt::death_setup();
    std::vector<float>   x(512, 1.0f);
    std::vector<uint8_t> q(1024);
    // the weights are checked before the grid is looked for
    EXPECT_DEATH(quantize_iq2_xxs(x.data(), q.data(), 1, 256, nullptr), "missing quantization weights");
    EXPECT_DEATH(quantize_iq2_xs(x.data(), q.data(), 1, 256, nullptr), "missing quantization weights");
    EXPECT_DEATH(quantize_iq1_s(x.data(), q.data(), 1, 256, nullptr), "missing quantization weights");
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_IQ1_S, x.data(), q.data(), 0, 1, 256, nullptr), "imatrix != NULL");
    // partial blocks are refused before anything is written
    EXPECT_DEATH(quantize_iq3_s(x.data(), q.data(), 1, 300, nullptr), "n_per_row % QK_K == 0");
    EXPECT_DEATH(quantize_iq4_nl(x.data(), q.data(), 1, 40, nullptr), "n_per_row % QK4_NL == 0");
    EXPECT_DEATH(quantize_row_iq4_xs_ref(x.data(), q.data(), 128), "k % QK_K == 0");
    EXPECT_DEATH(dequantize_row_iq1_m(q.data(), x.data(), 100), "k % QK_K == 0");
    // iq1_m works without weights
    tevo_quantize_init(TEVO_TYPE_IQ1_M);
    EXPECT_EQ(quantize_iq1_m(x.data(), q.data(), 1, 256, nullptr), 56u);
}

} // namespace
