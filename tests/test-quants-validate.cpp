// Row validation over every element type, and the non-finite blocks the
// quantizers write for rows holding a NaN or an infinity: refused by
// validation, never plausible numbers, the row's other blocks untouched. Rows
// of extreme finite values are held or refused, never lost.

#include "quant-test-helpers.h"

#include <algorithm>
#include <cfloat>
#include <string>

namespace {

bool validate(tevo_type t, const void * data, size_t n, std::string * err = nullptr) {
    testing::internal::CaptureStderr();
    const bool ok      = tevo_validate_row_data(t, data, n);
    const std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return ok;
}

TEST(ValidateRows, EmptyRowsOfEveryTypeWithALayout) {
    const uint8_t dummy = 0;
    for (int t = 0; t < TEVO_TYPE_COUNT; ++t) {
        const bool layout = tevo_blck_size((tevo_type) t) > 0 && t != TEVO_TYPE_Q8_1;
        EXPECT_EQ(validate((tevo_type) t, &dummy, 0), layout) << t;
    }
}

TEST(ValidateRows, TypeAndSizeFaults) {
    std::string err;
    uint8_t     buf[64] = {};
    EXPECT_FALSE(validate((tevo_type) 43, buf, 4, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: invalid type 43\n");
    EXPECT_FALSE(validate((tevo_type) -1, buf, 4, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: invalid type -1\n");
    EXPECT_FALSE(validate((tevo_type) 4, buf, 4, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: invalid type 4\n");
    EXPECT_FALSE(validate(TEVO_TYPE_Q8_1, buf, 36, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: invalid type 9\n");
    EXPECT_FALSE(validate(TEVO_TYPE_Q4_0, buf, 20, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: invalid size 20 for type q4_0 (type size = 18)\n");
    EXPECT_TRUE(validate(TEVO_TYPE_I32, buf, 64));
}

TEST(ValidateRows, PlainTypes) {
    std::string err;
    const float f[4] = { 1.0f, 2.0f, INFINITY, NAN };
    EXPECT_TRUE(validate(TEVO_TYPE_F32, f, 8));
    EXPECT_FALSE(validate(TEVO_TYPE_F32, f, 16, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found inf value at block 2\n");
    EXPECT_FALSE(validate(TEVO_TYPE_F32, f + 3, 4, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 0\n");

    const double dd[2] = { 0.0, NAN };
    EXPECT_FALSE(validate(TEVO_TYPE_F64, dd, 16, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 1\n");

    const uint16_t h[4] = { 0x3c00, 0x7c00, 0xfc00, 0x7e00 };
    EXPECT_FALSE(validate(TEVO_TYPE_F16, h, 8, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found inf value at block 1\n");
    EXPECT_FALSE(validate(TEVO_TYPE_F16, h + 2, 2, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found inf value at block 0\n");
    EXPECT_FALSE(validate(TEVO_TYPE_F16, h + 3, 2, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 0\n");

    // bf16 counts over the row, and NaNs are reported before infinities
    const uint16_t b[5] = { 0x7f80, 0x7fc0, 0xff81, 0x3f80, 0xff80 };
    EXPECT_FALSE(validate(TEVO_TYPE_BF16, b, 10, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found 2 NaNs in row of 5 BF16 values\n");
    const uint16_t bi[3] = { 0x7f80, 0x3f80, 0xff80 };
    EXPECT_FALSE(validate(TEVO_TYPE_BF16, bi, 6, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found 2 infinities in row of 3 BF16 values\n");
}

// Every block type's scale fields, the first field tested before the second.
TEST(ValidateRows, BlockScaleFields) {
    struct Case {
        tevo_type type;
        int       off0, off1;
    };
    const Case cases[] = {
        { TEVO_TYPE_Q4_0, 0, -1 },     { TEVO_TYPE_Q4_1, 0, 2 },     { TEVO_TYPE_Q5_0, 0, -1 },
        { TEVO_TYPE_Q5_1, 0, 2 },      { TEVO_TYPE_Q8_0, 0, -1 },    { TEVO_TYPE_Q2_K, 80, 82 },
        { TEVO_TYPE_Q3_K, 108, -1 },   { TEVO_TYPE_Q4_K, 0, 2 },     { TEVO_TYPE_Q5_K, 0, 2 },
        { TEVO_TYPE_Q6_K, 208, -1 },   { TEVO_TYPE_TQ1_0, 52, -1 },  { TEVO_TYPE_TQ2_0, 64, -1 },
        { TEVO_TYPE_Q1_0, 0, -1 },     { TEVO_TYPE_Q2_0, 0, -1 },    { TEVO_TYPE_IQ2_XXS, 0, -1 },
        { TEVO_TYPE_IQ2_XS, 0, -1 },   { TEVO_TYPE_IQ2_S, 0, -1 },   { TEVO_TYPE_IQ3_XXS, 0, -1 },
        { TEVO_TYPE_IQ3_S, 0, -1 },    { TEVO_TYPE_IQ1_S, 0, -1 },   { TEVO_TYPE_IQ4_NL, 0, -1 },
        { TEVO_TYPE_IQ4_XS, 0, -1 },
    };
    std::mt19937 rng(1);
    for (const Case & c : cases) {
        const size_t         size = tevo_type_size(c.type);
        std::vector<uint8_t> q    = qt::random_bytes(3 * size, rng);
        for (size_t b = 0; b < 3; ++b) {
            for (int off : { c.off0, c.off1 }) {
                if (off >= 0) qt::put_half(q.data() + b * size + off, 0.5f);
            }
        }
        EXPECT_TRUE(validate(c.type, q.data(), q.size())) << tevo_type_name(c.type);
        for (int off : { c.off0, c.off1 }) {
            if (off < 0) continue;
            for (uint16_t bad : { 0x7c00, 0xfc00, 0x7e01 }) {
                std::vector<uint8_t> p = q;
                memcpy(p.data() + 2 * size + off, &bad, 2);
                std::string err;
                EXPECT_FALSE(validate(c.type, p.data(), p.size(), &err)) << tevo_type_name(c.type);
                EXPECT_EQ(err, std::string("tevo_validate_row_data: found ") + (bad == 0x7e01 ? "nan" : "inf") +
                                   " value at block 2\n")
                    << tevo_type_name(c.type);
            }
        }
        if (c.off1 >= 0) {
            // both fields bad: the first one is the one reported
            std::vector<uint8_t> p   = q;
            const uint16_t       inf = 0x7c00, nan = 0x7e00;
            memcpy(p.data() + size + c.off0, &nan, 2);
            memcpy(p.data() + size + c.off1, &inf, 2);
            std::string err;
            EXPECT_FALSE(validate(c.type, p.data(), p.size(), &err));
            EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 1\n");
        }
    }
}

TEST(ValidateRows, SpecialScaleEncodings) {
    std::string err;
    // q8_K: the float scale
    std::vector<block_q8_K> k(2);
    memset(k.data(), 0, sizeof(block_q8_K) * 2);
    EXPECT_TRUE(validate(TEVO_TYPE_Q8_K, k.data(), sizeof(block_q8_K) * 2));
    k[1].d = -INFINITY;
    EXPECT_FALSE(validate(TEVO_TYPE_Q8_K, k.data(), sizeof(block_q8_K) * 2, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found inf value at block 1\n");

    // iq1_m: the half scale from the top nibbles of four words
    uint8_t m[56] = {};
    const uint16_t words[4] = { 0x7123, 0xe456, 0x7789, 0x0abc }; // nibbles 7, e, 7, 0 -> 0x07e7 finite
    memcpy(m + 48, words, 8);
    EXPECT_TRUE(validate(TEVO_TYPE_IQ1_M, m, 56));
    const uint16_t nanw[4] = { 0x0000, 0x1000, 0xe000, 0x7000 }; // 0x7e10
    memcpy(m + 48, nanw, 8);
    EXPECT_FALSE(validate(TEVO_TYPE_IQ1_M, m, 56, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 0\n");

    // mxfp4: exponent 255 is invalid, 254 is not
    uint8_t mx[34] = {};
    mx[17]         = 254;
    EXPECT_TRUE(validate(TEVO_TYPE_MXFP4, mx, 34));
    mx[17] = 255;
    EXPECT_FALSE(validate(TEVO_TYPE_MXFP4, mx, 34, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found invalid e value 255 at block 1\n");

    // nvfp4: the E4M3 NaN pattern 0x7f marks a non-finite sub-block
    uint8_t nv[72] = {};
    nv[36 + 2]     = 0x7e;
    EXPECT_TRUE(validate(TEVO_TYPE_NVFP4, nv, 72));
    nv[36 + 3] = 0x7f;
    EXPECT_FALSE(validate(TEVO_TYPE_NVFP4, nv, 72, &err));
    EXPECT_EQ(err, "tevo_validate_row_data: found nan value at block 1\n");
}

// Rows with a NaN or an infinity in one block: the reference quantizers, the
// chunk quantizers (with and without importance weights) and the CPU row
// quantizers write that block as non-finite, which validation refuses and
// which never dequantizes to finite numbers where a half scale carries it;
// the other blocks come out as they would from the clean row.
TEST(ValidateRows, NonFiniteInputMakesNonFiniteBlocks) {
    const tevo_type types[] = { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0,  TEVO_TYPE_Q5_1,  TEVO_TYPE_Q8_0,
                                TEVO_TYPE_Q8_1, TEVO_TYPE_Q1_0, TEVO_TYPE_Q2_0,  TEVO_TYPE_MXFP4, TEVO_TYPE_NVFP4,
                                TEVO_TYPE_TQ1_0, TEVO_TYPE_TQ2_0, TEVO_TYPE_Q2_K, TEVO_TYPE_Q3_K, TEVO_TYPE_Q4_K,
                                TEVO_TYPE_Q5_K, TEVO_TYPE_Q6_K, TEVO_TYPE_Q8_K };
    std::mt19937    rng(2);
    for (tevo_type t : types) {
        const int64_t      qk    = tevo_blck_size(t);
        const int64_t      npr   = 4 * qk;
        const std::vector<float> clean = qt::gaussian_row(npr, rng);
        for (float bad : { NAN, INFINITY, -INFINITY }) {
            std::vector<float> x = clean;
            x[2 * qk + qk / 3]   = bad;
            SCOPED_TRACE(std::string(tevo_type_name(t)) + " " + std::to_string(bad));

            std::vector<std::vector<uint8_t>> outs;
            auto quantize_with = [&](tevo_from_float_t f) {
                std::vector<uint8_t> q(qt::row_bytes(t, npr));
                f(x.data(), q.data(), npr);
                outs.push_back(q);
            };
            if (tevo_get_type_traits(t)->from_float_ref) quantize_with(tevo_get_type_traits(t)->from_float_ref);
            if (t == TEVO_TYPE_Q8_K) quantize_with(quantize_row_q8_K_ref);
            quantize_with(tevo_get_type_traits_cpu(t)->from_float);
            const bool chunked = t != TEVO_TYPE_Q8_1 && t != TEVO_TYPE_Q8_K;
            if (chunked) {
                const std::vector<float> im(npr, 1.5f);
                for (const float * w : { (const float *) nullptr, im.data() }) {
                    std::vector<uint8_t> q(qt::row_bytes(t, npr));
                    tevo_quantize_chunk(t, x.data(), q.data(), 0, 1, npr, w);
                    outs.push_back(q);
                }
            }
            const size_t size = tevo_type_size(t);
            for (const std::vector<uint8_t> & q : outs) {
                if (t != TEVO_TYPE_Q8_1) {
                    std::string err;
                    EXPECT_FALSE(validate(t, q.data(), q.size(), &err));
                    EXPECT_NE(err.find("at block 2"), std::string::npos) << err;
                    EXPECT_TRUE(validate(t, q.data(), 2 * size));
                }
                if (t != TEVO_TYPE_MXFP4 && t != TEVO_TYPE_NVFP4 && t != TEVO_TYPE_Q8_1) {
                    std::vector<float> y = qt::dequantize(t, q.data() + 2 * size, qk);
                    for (float v : y) ASSERT_FALSE(std::isfinite(v));
                }
            }
            // the reference path: clean blocks are the clean row's
            std::vector<uint8_t> ref(qt::row_bytes(t, npr));
            (t == TEVO_TYPE_Q8_K ? quantize_row_q8_K_ref : tevo_get_type_traits(t)->from_float_ref)(
                clean.data(), ref.data(), npr);
            const std::vector<uint8_t> & got = outs[0];
            for (size_t b : { 0, 1, 3 }) {
                EXPECT_TRUE(std::equal(got.begin() + b * size, got.begin() + (b + 1) * size, ref.begin() + b * size))
                    << "block " << b;
            }
        }
    }
}

// Extreme finite rows through every chunk quantizer, with and without
// importance weights: Gaussian rows scaled to 1e12, 1e18 and 1e30, ordinary
// rows with +-FLT_MAX among the values of some blocks, and rows of denormals
// and of values near the smallest normal float. Nothing aborts, the result
// is the rows' size, and each block is refused by validation or holds its
// values about as well as the type holds an ordinary row (within three times
// that error, and never so badly that an all-zero block would pass). Tiny
// values below every format's resolution validate and stay within their own
// magnitude; the clean blocks of a mixed row validate.
TEST(ValidateRows, ExtremeFiniteRowsAreHeldOrRefused) {
    const int64_t n = 512;
    struct Row {
        const char *       name;
        std::vector<float> x;
        bool               tiny;
    };
    std::mt19937             rng(3);
    std::vector<Row>         rows;
    const std::vector<float> g = qt::gaussian_row(n, rng);
    auto scaled = [&](double s) {
        std::vector<float> x = g;
        for (float & v : x) v = (float) (v * s);
        return x;
    };
    rows.push_back({ "1e12", scaled(1e12), false });
    rows.push_back({ "1e18", scaled(1e18), false });
    rows.push_back({ "1e30", scaled(1e30), false });
    std::vector<float> mix = g; // the first 256 values stay ordinary
    for (int i : { 300, 333, 401, 470 }) mix[i] = i % 2 ? FLT_MAX : -FLT_MAX;
    rows.push_back({ "FLT_MAX among ordinary values", mix, false });
    rows.push_back({ "denormals", scaled(1e-40), true });
    rows.push_back({ "smallest denormals", std::vector<float>(n, -1.4e-45f), true });
    rows.push_back({ "near the smallest normal", scaled(1e-38), true });

    std::vector<float> im(n);
    for (float & w : im) w = std::uniform_real_distribution<float>(0.5f, 2.0f)(rng);

    auto block_error = [](const float * x, const float * y, int64_t k) {
        double e2 = 0.0, x2 = 0.0;
        for (int64_t i = 0; i < k; ++i) {
            e2 += ((double) y[i] - x[i]) * ((double) y[i] - x[i]);
            x2 += (double) x[i] * x[i];
        }
        return std::sqrt(e2 / x2);
    };

    for (int t = 0; t < TEVO_TYPE_COUNT; ++t) {
        const tevo_type type = (tevo_type) t;
        if (tevo_blck_size(type) == 0 || !tevo_is_quantized(type) || type == TEVO_TYPE_Q8_1 || type == TEVO_TYPE_Q8_K) {
            continue;
        }
        const int64_t qk   = tevo_blck_size(type);
        const size_t  size = tevo_type_size(type);
        for (const float * w : { (const float *) nullptr, (const float *) im.data() }) {
            if (!w && tevo_quantize_requires_imatrix(type)) continue;
            auto quantize = [&](const std::vector<float> & x) {
                std::vector<uint8_t> q(qt::row_bytes(type, n));
                EXPECT_EQ(tevo_quantize_chunk(type, x.data(), q.data(), 0, 2, n / 2, w), q.size());
                return q;
            };
            const double ordinary = block_error(g.data(), qt::dequantize(type, quantize(g), n).data(), n);
            const double bound    = std::min(0.9, 3 * ordinary);

            for (const Row & r : rows) {
                SCOPED_TRACE(std::string(tevo_type_name(type)) + (w ? " weighted, " : ", ") + r.name);
                const std::vector<uint8_t> q = quantize(r.x);
                const std::vector<float>   y = qt::dequantize(type, q, n);
                testing::internal::CaptureStderr();
                for (int64_t b = 0; b < n / qk; ++b) {
                    const float * xb    = r.x.data() + b * qk;
                    const float * yb    = y.data() + b * qk;
                    const bool    valid = tevo_validate_row_data(type, q.data() + b * size, size);
                    float         amax = 0.0f, ymax = 0.0f;
                    for (int64_t i = 0; i < qk; ++i) {
                        amax = std::max(amax, std::fabs(xb[i]));
                        ymax = std::max(ymax, std::isfinite(yb[i]) ? std::fabs(yb[i]) : INFINITY);
                    }
                    if (r.tiny) {
                        EXPECT_TRUE(valid) << "block " << b;
                        EXPECT_LE(ymax, 2 * amax) << "block " << b;
                    } else if (valid) {
                        EXPECT_LE(block_error(xb, yb, qk), bound) << "block " << b;
                    } else {
                        EXPECT_GE(amax, 1e5f) << "block " << b << ": an ordinary block refused";
                    }
                }
                testing::internal::GetCapturedStderr();
            }
        }
    }
}

} // namespace
