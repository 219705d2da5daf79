// Element types: traits table, half and brain-float conversions, file types.

#include "core/impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

float from_bits(uint32_t w) { float f; memcpy(&f, &w, 4); return f; }
uint32_t to_bits(float f) { uint32_t w; memcpy(&w, &f, 4); return w; }

// value of a half bit pattern, computed in double
double half_value(uint16_t h) {
    const int sign = (h >> 15) & 1;
    const int exp  = (h >> 10) & 0x1F;
    const int man  = h & 0x3FF;
    double v;
    if (exp == 0) {
        v = std::ldexp((double) man, -24);
    } else if (exp == 31) {
        v = man ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    } else {
        v = std::ldexp(1.0 + man / 1024.0, exp - 15);
    }
    return sign ? -v : v;
}

TEST(Half, EveryPatternConvertsExactlyAndRoundTrips) {
    for (uint32_t h = 0; h < 65536; ++h) {
        const float  f   = tevo_fp16_to_fp32((tevo_fp16_t) h);
        const double ref = half_value((uint16_t) h);
        if (std::isnan(ref)) {
            ASSERT_TRUE(std::isnan(f)) << h;
            ASSERT_EQ(to_bits(f) >> 31, h >> 15) << h;
            const uint16_t back = tevo_fp32_to_fp16(f);
            ASSERT_EQ(back, (h & 0x8000) | 0x7E00) << h;
            continue;
        }
        ASSERT_EQ((double) f, ref) << h;
        ASSERT_EQ(std::signbit(f), (h >> 15) != 0) << h;
        ASSERT_EQ(tevo_fp32_to_fp16(f), h) << h;
    }
}

TEST(Half, MidpointsRoundToEvenAndNeighboursToNearest) {
    // every pair of consecutive positive finite halves, including subnormals
    for (uint32_t h = 0; h < 0x7BFF; ++h) {
        const double lo  = half_value((uint16_t) h);
        const double hi  = half_value((uint16_t) (h + 1));
        const float  mid = (float) ((lo + hi) / 2); // exact in single precision
        ASSERT_EQ((double) mid, (lo + hi) / 2);
        const uint16_t even = (h & 1) ? h + 1 : h;
        ASSERT_EQ(tevo_fp32_to_fp16(mid), even) << h;
        ASSERT_EQ(tevo_fp32_to_fp16(-mid), even | 0x8000) << h;
        ASSERT_EQ(tevo_fp32_to_fp16(std::nextafter(mid, 0.0f)), h) << h;
        ASSERT_EQ(tevo_fp32_to_fp16(std::nextafter(mid, 1e9f)), h + 1) << h;
    }
}

TEST(Half, EdgeValues) {
    struct Case { float in; uint16_t out; };
    const Case cases[] = {
        { 65504.0f, 0x7BFF },
        { 65519.0f, 0x7BFF },
        { 65520.0f, 0x7C00 },
        { -65520.0f, 0xFC00 },
        { 1e10f, 0x7C00 },
        { std::numeric_limits<float>::infinity(), 0x7C00 },
        { -std::numeric_limits<float>::infinity(), 0xFC00 },
        { std::ldexp(1.0f, -24), 0x0001 },
        { std::ldexp(1.0f, -25), 0x0000 },                         // tie to even
        { std::nextafter(std::ldexp(1.0f, -25), 1.0f), 0x0001 },
        { std::ldexp(3.0f, -25), 0x0002 },                         // 1.5 ulp: tie to even
        { -0.0f, 0x8000 },
        { from_bits(0x7F800001), 0x7E00 },                        // signalling NaN
        { from_bits(0xFFC00000), 0xFE00 },
        { from_bits(0x7FFFFFFF), 0x7E00 },
    };
    for (const Case & c : cases) {
        EXPECT_EQ(tevo_fp32_to_fp16(c.in), c.out) << c.in;
    }
    EXPECT_EQ(tevo_fp16_to_fp32(0x0001), std::ldexp(1.0f, -24));
}

TEST(BrainFloat, RoundingAndNaN) {
    struct Case { uint32_t in; uint16_t out; };
    const Case cases[] = {
        { 0x3F808000, 0x3F80 }, // 1.00390625: tie to even (down)
        { 0x3F818000, 0x3F82 }, // tie to even (up)
        { 0x3F808001, 0x3F81 },
        { 0x7F7FFFFF, 0x7F80 }, // past the largest finite brain float
        { 0xFF800000, 0xFF80 },
        { 0x7F800001, 0x7FC0 }, // signalling NaN: quietened
        { 0xFF812345, 0xFFC1 }, // sign and upper payload kept
        { 0x80000000, 0x8000 },
    };
    for (const Case & c : cases) {
        EXPECT_EQ(tevo_fp32_to_bf16(from_bits(c.in)).bits, c.out) << std::hex << c.in;
    }
    tevo_bf16_t b = { 0x3F80 };
    EXPECT_EQ(tevo_bf16_to_fp32(b), 1.0f);
}

std::vector<float> sample_floats(size_t n) {
    std::mt19937 rng(42);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = from_bits(rng()); // any bit pattern, NaNs and infinities included
    }
    const float specials[] = { 0.0f, -0.0f, 65519.0f, 65520.0f, 1.00390625f, from_bits(0x7F800001),
                               from_bits(0xFFC00001), std::ldexp(1.0f, -25) };
    for (size_t i = 0; i < sizeof(specials) / sizeof(specials[0]) && i < n; ++i) {
        v[i * 3 % n] = specials[i];
    }
    return v;
}

TEST(RowConversions, EqualTheScalarConversionForEveryLength) {
    const std::vector<float> src = sample_floats(4099);
    for (int64_t n : { 0, 1, 3, 4, 5, 8, 9, 17, 4099 }) {
        std::vector<tevo_fp16_t> h(n + 1, 0xABCD);
        tevo_fp32_to_fp16_row(src.data(), h.data(), n);
        std::vector<tevo_bf16_t> b(n + 1, tevo_bf16_t{ 0xABCD });
        tevo_fp32_to_bf16_row(src.data(), b.data(), n);
        std::vector<tevo_bf16_t> bref(n + 1, tevo_bf16_t{ 0xABCD });
        tevo_fp32_to_bf16_row_ref(src.data(), bref.data(), n);
        std::vector<float> fh(n + 1, 7.0f), fb(n + 1, 7.0f);
        tevo_fp16_to_fp32_row(h.data(), fh.data(), n);
        tevo_bf16_to_fp32_row(b.data(), fb.data(), n);
        for (int64_t i = 0; i < n; ++i) {
            ASSERT_EQ(h[i], tevo_fp32_to_fp16(src[i])) << n << " " << i;
            ASSERT_EQ(b[i].bits, tevo_fp32_to_bf16(src[i]).bits) << n << " " << i;
            ASSERT_EQ(bref[i].bits, b[i].bits);
            ASSERT_EQ(to_bits(fh[i]), to_bits(tevo_fp16_to_fp32(h[i]))) << n << " " << i;
            ASSERT_EQ(to_bits(fb[i]), to_bits(tevo_bf16_to_fp32(b[i])));
        }
        // nothing written past the end
        EXPECT_EQ(h[n], 0xABCD);
        EXPECT_EQ(b[n].bits, 0xABCD);
        EXPECT_EQ(fh[n], 7.0f);
        EXPECT_EQ(fb[n], 7.0f);
    }
}

TEST(RowConversions, HalfToFloatRowOverEveryPattern) {
    std::vector<tevo_fp16_t> h(65536);
    for (int i = 0; i < 65536; ++i) h[i] = (tevo_fp16_t) i;
    std::vector<float> f(65536);
    tevo_fp16_to_fp32_row(h.data(), f.data(), 65536);
    for (int i = 0; i < 65536; ++i) {
        ASSERT_EQ(to_bits(f[i]), to_bits(tevo_fp16_to_fp32(h[i]))) << i;
    }
}

TEST(TypeTraits, EveryRow) {
    struct Row { int type; const char * name; int64_t blck; size_t size; bool q; bool to; bool from; };
    // iq2_xxs, iq2_xs, iq1_s and iq1_m are made only from whole rows with
    // importance weights (no reference quantizer); q8_1 and q8_K are
    // activation formats (q8_1 has a quantizer, q8_K neither)
    const Row rows[] = {
        { 0, "f32", 1, 4, false, false, false },   { 1, "f16", 1, 2, false, true, true },
        { 2, "q4_0", 32, 18, true, true, true },  { 3, "q4_1", 32, 20, true, true, true },
        { 4, "DEPRECATED", 0, 0, false, false, false }, { 5, "DEPRECATED", 0, 0, false, false, false },
        { 6, "q5_0", 32, 22, true, true, true },  { 7, "q5_1", 32, 24, true, true, true },
        { 8, "q8_0", 32, 34, true, true, true },  { 9, "q8_1", 32, 36, true, false, true },
        { 10, "q2_K", 256, 84, true, true, true }, { 11, "q3_K", 256, 110, true, true, true },
        { 12, "q4_K", 256, 144, true, true, true }, { 13, "q5_K", 256, 176, true, true, true },
        { 14, "q6_K", 256, 210, true, true, true }, { 15, "q8_K", 256, 292, true, false, false },
        { 16, "iq2_xxs", 256, 66, true, true, false }, { 17, "iq2_xs", 256, 74, true, true, false },
        { 18, "iq3_xxs", 256, 98, true, true, true }, { 19, "iq1_s", 256, 50, true, true, false },
        { 20, "iq4_nl", 32, 18, true, true, true }, { 21, "iq3_s", 256, 110, true, true, true },
        { 22, "iq2_s", 256, 82, true, true, true }, { 23, "iq4_xs", 256, 136, true, true, true },
        { 24, "i8", 1, 1, false, false, false },    { 25, "i16", 1, 2, false, false, false },
        { 26, "i32", 1, 4, false, false, false },   { 27, "i64", 1, 8, false, false, false },
        { 28, "f64", 1, 8, false, false, false },   { 29, "iq1_m", 256, 56, true, true, false },
        { 30, "bf16", 1, 2, false, true, true },
        { 31, "TYPE_Q4_0_4_4 REMOVED, use Q4_0 with runtime repacking", 0, 0, false, false, false },
        { 32, "TYPE_Q4_0_4_8 REMOVED, use Q4_0 with runtime repacking", 0, 0, false, false, false },
        { 33, "TYPE_Q4_0_8_8 REMOVED, use Q4_0 with runtime repacking", 0, 0, false, false, false },
        { 34, "tq1_0", 256, 54, true, true, true }, { 35, "tq2_0", 256, 66, true, true, true },
        { 36, "TYPE_IQ4_NL_4_4 REMOVED, use IQ4_NL with runtime repacking", 0, 0, false, false, false },
        { 37, "TYPE_IQ4_NL_4_8 REMOVED, use IQ4_NL with runtime repacking", 0, 0, false, false, false },
        { 38, "TYPE_IQ4_NL_8_8 REMOVED, use IQ4_NL with runtime repacking", 0, 0, false, false, false },
        { 39, "mxfp4", 32, 17, true, true, true }, { 40, "nvfp4", 64, 36, true, true, true },
        { 41, "q1_0", 128, 18, true, true, true }, { 42, "q2_0", 64, 18, true, true, true },
    };
    ASSERT_EQ(sizeof(rows) / sizeof(rows[0]), (size_t) TEVO_TYPE_COUNT);
    for (const Row & r : rows) {
        const tevo_type_traits * t = tevo_get_type_traits((tevo_type) r.type);
        EXPECT_STREQ(t->type_name, r.name) << r.type;
        EXPECT_EQ(t->blck_size, r.blck) << r.type;
        EXPECT_EQ(t->blck_size_interleave, 0) << r.type;
        EXPECT_EQ(t->type_size, r.size) << r.type;
        EXPECT_EQ(t->is_quantized, r.q) << r.type;
        EXPECT_EQ(t->to_float != nullptr, r.to) << r.type;
        EXPECT_EQ(t->from_float_ref != nullptr, r.from) << r.type;
    }
}

TEST(TypeTraits, Sizes) {
    EXPECT_EQ(tevo_row_size(TEVO_TYPE_Q4_0, 64), 36u);
    EXPECT_EQ(tevo_row_size(TEVO_TYPE_F16, 3), 6u);
    EXPECT_EQ(tevo_row_size(TEVO_TYPE_Q4_K, 512), 288u);
    EXPECT_EQ(tevo_row_size(TEVO_TYPE_MXFP4, 96), 51u);
    EXPECT_DOUBLE_EQ(tevo_type_sizef(TEVO_TYPE_Q4_K), 0.5625);
    EXPECT_DOUBLE_EQ(tevo_type_sizef(TEVO_TYPE_F32), 4.0);
}

TEST(FileTypes, MapToWeightTypes) {
    struct Case { int ftype; tevo_type type; };
    const Case cases[] = {
        { 0, TEVO_TYPE_F32 }, { 1, TEVO_TYPE_F16 }, { 2, TEVO_TYPE_Q4_0 }, { 3, TEVO_TYPE_Q4_1 },
        { 7, TEVO_TYPE_Q8_0 }, { 8, TEVO_TYPE_Q5_0 }, { 9, TEVO_TYPE_Q5_1 }, { 10, TEVO_TYPE_Q2_K },
        { 14, TEVO_TYPE_Q6_K }, { 15, TEVO_TYPE_IQ2_XXS }, { 22, TEVO_TYPE_IQ4_XS }, { 23, TEVO_TYPE_IQ1_M },
        { 24, TEVO_TYPE_BF16 }, { 25, TEVO_TYPE_MXFP4 }, { 26, TEVO_TYPE_NVFP4 }, { 27, TEVO_TYPE_Q1_0 },
        { 28, TEVO_TYPE_Q2_0 },
    };
    for (const Case & c : cases) {
        EXPECT_EQ(tevo_ftype_to_tevo_type((tevo_ftype) c.ftype), c.type) << c.ftype;
    }
}

TEST(FileTypesDeathTest, UnknownFileTypesAreFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    for (int ftype : { 4, 5, 6, 29 }) {
        EXPECT_DEATH(tevo_ftype_to_tevo_type((tevo_ftype) ftype),
                     "tevo/src/tevo:[0-9]+: TEVO_ASSERT\\(wtype != TEVO_TYPE_COUNT\\) failed")
            << ftype;
    }
}

} // namespace
