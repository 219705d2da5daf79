// The CPU engine's per-type table, its row conversions, the lookup tables
// filled by tevo_cpu_init, single-element access and the feature answers.

#include "cpu/impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

float from_bits(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof(f));
    return f;
}

struct Traits : ::testing::Test {
    void SetUp() override {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_cpu_init();
    }
};

TEST_F(Traits, TableRows) {
    struct Row {
        tevo_type type;
        bool      from_float, vec_dot;
        tevo_type partner;
        int64_t   nrows;
    };
    const Row rows[] = {
        { TEVO_TYPE_F32, true, true, TEVO_TYPE_F32, 1 },
        { TEVO_TYPE_F16, true, true, TEVO_TYPE_F16, 1 },
        { TEVO_TYPE_BF16, true, true, TEVO_TYPE_BF16, 1 },
        { TEVO_TYPE_Q4_0, true, true, TEVO_TYPE_Q8_0, 1 },
        { TEVO_TYPE_Q4_1, true, true, TEVO_TYPE_Q8_1, 1 },
        { TEVO_TYPE_Q8_1, true, false, TEVO_TYPE_Q8_1, 1 },
        { TEVO_TYPE_Q4_K, true, true, TEVO_TYPE_Q8_K, 1 },
        { TEVO_TYPE_Q8_K, true, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_IQ2_XXS, false, true, TEVO_TYPE_Q8_K, 1 },
        { TEVO_TYPE_IQ4_NL, true, true, TEVO_TYPE_Q8_0, 1 },
        { TEVO_TYPE_I32, true, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_MXFP4, true, true, TEVO_TYPE_Q8_0, 1 },
        { TEVO_TYPE_Q2_0, true, true, TEVO_TYPE_Q8_0, 1 },
        // empty rows
        { (tevo_type) 4, false, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_I8, false, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_I16, false, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_I64, false, false, TEVO_TYPE_F32, 0 },
        { TEVO_TYPE_F64, false, false, TEVO_TYPE_F32, 0 },
        { (tevo_type) 37, false, false, TEVO_TYPE_F32, 0 },
    };
    for (const Row & r : rows) {
        SCOPED_TRACE(r.type);
        const tevo_type_traits_cpu * t = tevo_get_type_traits_cpu(r.type);
        EXPECT_EQ(t->from_float != nullptr, r.from_float);
        EXPECT_EQ(t->vec_dot != nullptr, r.vec_dot);
        EXPECT_EQ(t->vec_dot_type, r.partner);
        EXPECT_EQ(t->nrows, r.nrows);
    }
}

TEST_F(Traits, BrainFloatConversionRoundsToNearestEven) {
    const float in[] = { 1.00390625f, 1.01171875f, -2.0f, 0.0f, INFINITY, from_bits(0x7F800001u),
                         from_bits(0xFFC12345u) };
    tevo_bf16_t out[7];
    tevo_cpu_fp32_to_bf16(in, out, 7);
    EXPECT_EQ(tevo_bf16_to_fp32(out[0]), 1.0f);
    EXPECT_EQ(tevo_bf16_to_fp32(out[1]), 1.015625f);
    EXPECT_EQ(tevo_bf16_to_fp32(out[2]), -2.0f);
    EXPECT_EQ(out[3].bits, 0);
    EXPECT_EQ(out[4].bits, 0x7F80);
    // NaNs stay NaNs, made quiet
    EXPECT_EQ(out[5].bits, 0x7FC0);
    EXPECT_EQ(out[6].bits, 0xFFC1);

    float back[7];
    tevo_cpu_bf16_to_fp32(out, back, 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(bits(back[i]), (uint32_t) out[i].bits << 16);
    }
    // the vector path of the widening
    std::vector<tevo_bf16_t> many(19);
    std::vector<float>       wide(19);
    for (int i = 0; i < 19; ++i) many[i].bits = (uint16_t) (0x3F80 + i * 7);
    tevo_cpu_bf16_to_fp32(many.data(), wide.data(), 19);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(bits(wide[i]), (uint32_t) many[i].bits << 16);
}

TEST_F(Traits, IntegerConversionTruncatesTowardZeroAndSaturates) {
    const float in[] = { -2.7f, 2.7f, -0.5f, 1e10f, -1e10f, NAN, 7.0f, -7.9f, 123456.9f, 3.99f };
    int32_t     out[10];
    tevo_cpu_fp32_to_i32(in, out, 10);
    EXPECT_EQ(out[0], -2);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], INT32_MAX); // out of range saturates
    EXPECT_EQ(out[4], INT32_MIN);
    EXPECT_EQ(out[5], 0);         // NaN has no integer: 0
    EXPECT_EQ(out[6], 7);
    EXPECT_EQ(out[7], -7);
    EXPECT_EQ(out[8], 123456);
    EXPECT_EQ(out[9], 3);
}

TEST_F(Traits, HalfConversionsAgreeWithTheCoreForEveryLength) {
    std::mt19937                          rng(11);
    std::uniform_real_distribution<float> dist(-70000.0f, 70000.0f);
    for (int n = 0; n <= 21; ++n) {
        std::vector<float>       x(n);
        std::vector<tevo_fp16_t> h(n + 1, 0xABCD);
        for (int i = 0; i < n; ++i) {
            x[i] = i % 3 == 0 ? dist(rng) * 1e-4f : dist(rng);
        }
        tevo_cpu_fp32_to_fp16(x.data(), h.data(), n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(h[i], tevo_fp32_to_fp16(x[i])) << n << " " << i;
        }
        EXPECT_EQ(h[n], 0xABCD); // nothing beyond n
    }
    // every half pattern widens exactly
    std::vector<tevo_fp16_t> all(65536);
    std::vector<float>       wide(65536);
    for (int i = 0; i < 65536; ++i) all[i] = (tevo_fp16_t) i;
    tevo_cpu_fp16_to_fp32(all.data(), wide.data(), 65533); // ends with the table path
    for (int i = 0; i < 65533; ++i) {
        const float ref = tevo_fp16_to_fp32((tevo_fp16_t) i);
        if (std::isnan(ref)) {
            ASSERT_TRUE(std::isnan(wide[i])) << i;
        } else {
            ASSERT_EQ(bits(wide[i]), bits(ref)) << i;
        }
    }
}

TEST_F(Traits, LookupTables) {
    for (int i = 0; i < 65536; ++i) {
        const float ref = tevo_fp16_to_fp32((tevo_fp16_t) i);
        ASSERT_EQ(bits(tevo_table_f32_f16[i]), bits(ref)) << i;
    }
    // GELU tables at a few points, against the formulas in double
    for (float x : { -3.0f, -1.0f, -0.5f, 0.0f, 0.25f, 1.0f, 2.0f, 5.0f }) {
        const tevo_fp16_t h    = tevo_fp32_to_fp16(x);
        const double      v    = tevo_fp16_to_fp32(h);
        const double      gelu = 0.5 * v * (1.0 + std::tanh(0.7978845608 * v * (1.0 + 0.044715 * v * v)));
        const double      quick = v / (1.0 + std::exp(-1.702 * v));
        EXPECT_NEAR(tevo_fp16_to_fp32(tevo_table_gelu_f16[h]), gelu, std::fabs(gelu) * 1e-3 + 1e-6) << x;
        EXPECT_NEAR(tevo_fp16_to_fp32(tevo_table_gelu_quick_f16[h]), quick, std::fabs(quick) * 1e-3 + 1e-6) << x;
    }
    EXPECT_EQ(tevo_table_gelu_f16[tevo_fp32_to_fp16(0.0f)], tevo_fp32_to_fp16(0.0f));

    EXPECT_EQ(tevo_table_f32_e8m0_half[127], 0.5f);
    EXPECT_EQ(tevo_table_f32_e8m0_half[128], 1.0f);
    EXPECT_EQ(tevo_table_f32_e8m0_half[0], std::ldexp(1.0f, -128));
    EXPECT_EQ(tevo_table_f32_e8m0_half[1], std::ldexp(1.0f, -127));
    EXPECT_EQ(tevo_table_f32_e8m0_half[255], std::ldexp(1.0f, 127));

    EXPECT_EQ(tevo_table_f32_ue4m3[0x38], 0.5f);
    EXPECT_EQ(tevo_table_f32_ue4m3[0x01], std::ldexp(1.0f, -10));
    EXPECT_EQ(tevo_table_f32_ue4m3[0x00], 0.0f);
    EXPECT_EQ(tevo_table_f32_ue4m3[0x7F], 0.0f);
    EXPECT_EQ(tevo_table_f32_ue4m3[0xFF], 240.0f);
    EXPECT_EQ(tevo_table_f32_ue4m3[0xB8], 0.5f); // bit 7 ignored
    EXPECT_EQ(tevo_table_f32_ue4m3[0x3C], 0.75f); // (1 + 4/8) / 2
}

// Every finite half through the single-precision formulas, rounded to half.
TEST_F(Traits, GeluTablesHoldTheFormulasForEveryFiniteHalf) {
    for (int i = 0; i < 65536; ++i) {
        const tevo_fp16_t h = (tevo_fp16_t) i;
        const float       f = tevo_fp16_to_fp32(h);
        if (!std::isfinite(f)) {
            continue;
        }
        const float half_f = f * 0.5f;
        const float arg    = (f * 0.7978846f) * std::fma(f, f * 0.044715f, 1.0f);
        const float gelu   = half_f * (std::tanh(arg) + 1.0f);
        const float quick  = (1.0f / (std::exp(f * -1.702f) + 1.0f)) * f;
        ASSERT_EQ(tevo_table_gelu_f16[i], tevo_fp32_to_fp16(gelu)) << i;
        ASSERT_EQ(tevo_table_gelu_quick_f16[i], tevo_fp32_to_fp16(quick)) << i;
    }
}

TEST_F(Traits, InitialisingAgainChangesNothing) {
    const float before = tevo_table_f32_f16[0x3C00];
    tevo_cpu_init();
    EXPECT_EQ(tevo_table_f32_f16[0x3C00], before);
    EXPECT_EQ(before, 1.0f);
}

TEST_F(Traits, BuildFeatures) {
    EXPECT_EQ(tevo_cpu_has_avx2(), 1);
    EXPECT_EQ(tevo_cpu_has_f16c(), 1);
    EXPECT_EQ(tevo_cpu_has_fma(), 1);
    EXPECT_EQ(tevo_cpu_has_bmi2(), 1);
    EXPECT_EQ(tevo_cpu_has_sse3(), 1);
    EXPECT_EQ(tevo_cpu_has_avx512(), 0);
    EXPECT_EQ(tevo_cpu_has_neon(), 0);
    EXPECT_EQ(tevo_cpu_get_sve_cnt(), 0);
    EXPECT_FALSE(tevo_is_numa());
    tevo_numa_init();
}

// ---------------------------------------------------------------------------
// element access

struct Elements : Traits {
    tevo_context * ctx = nullptr;
    void SetUp() override {
        Traits::SetUp();
        tevo_init_params p = { 1024 * 1024, nullptr, false };
        ctx                = tevo_init(p);
    }
    void TearDown() override { tevo_free(ctx); }
};

TEST_F(Elements, ScalarsAndFills) {
    tevo_tensor * i = tevo_new_i32(ctx, -7);
    EXPECT_EQ(i->type, TEVO_TYPE_I32);
    EXPECT_EQ(tevo_nelements(i), 1);
    EXPECT_EQ(tevo_get_i32_1d(i, 0), -7);
    tevo_tensor * f = tevo_new_f32(ctx, 2.5f);
    EXPECT_EQ(tevo_get_f32_1d(f, 0), 2.5f);

    struct Case {
        tevo_type type;
        int32_t   ival;
        float     fval;
        int32_t   iread;   // after tevo_set_i32(ival)
        float     fread;   // after tevo_set_f32(fval)
    };
    const Case cases[] = {
        { TEVO_TYPE_I8, 300, -2.7f, 44, -2.0f },          // low 8 bits of 300
        { TEVO_TYPE_I16, 70000, 3.9f, 4464, 3.0f },       // low 16 bits of 70000
        { TEVO_TYPE_I32, -5, -1e3f, -5, -1000.0f },
        { TEVO_TYPE_F16, 3, 0.1f, 3, tevo_fp16_to_fp32(tevo_fp32_to_fp16(0.1f)) },
        { TEVO_TYPE_BF16, 3, 0.1f, 3, tevo_bf16_to_fp32(tevo_fp32_to_bf16(0.1f)) },
        { TEVO_TYPE_F32, 16777217, -0.75f, 16777216, -0.75f }, // through float
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.type);
        tevo_tensor * t = tevo_new_tensor_3d(ctx, c.type, 3, 2, 2);
        tevo_set_i32(t, c.ival);
        for (int k = 0; k < 12; ++k) EXPECT_EQ(tevo_get_i32_1d(t, k), c.iread);
        tevo_set_f32(t, c.fval);
        for (int k = 0; k < 12; ++k) EXPECT_EQ(tevo_get_f32_1d(t, k), c.fread);
    }

    // an int too large for a half becomes infinity
    tevo_tensor * h = tevo_new_tensor_1d(ctx, TEVO_TYPE_F16, 2);
    tevo_set_i32(h, 70000);
    EXPECT_EQ(((tevo_fp16_t *) h->data)[0], 0x7C00);
    EXPECT_EQ(tevo_get_f32_1d(h, 1), INFINITY);
    // reads as int truncate
    tevo_set_f32_1d(h, 0, -3.75f);
    EXPECT_EQ(tevo_get_i32_1d(h, 0), -3);
}

TEST_F(Elements, NonContiguousTensorsAreAddressedThroughTheirStrides) {
    tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 2, 3);
    for (int k = 0; k < 6; ++k) ((float *) a->data)[k] = (float) k;
    tevo_tensor * t = tevo_transpose(ctx, a); // ne [3, 2], nb [8, 4]
    ASSERT_FALSE(tevo_is_contiguous(t));
    // flat index 4 is i0 = 1, i1 = 1: data + 8 + 4
    EXPECT_EQ(tevo_get_f32_1d(t, 4), 3.0f);
    EXPECT_EQ(tevo_get_f32_1d(t, 2), 4.0f); // i0 = 2, i1 = 0: data + 16
    EXPECT_EQ(tevo_get_i32_1d(t, 2), 4);
    tevo_set_f32_1d(t, 1, 9.5f);           // i0 = 1, i1 = 0: data + 8
    EXPECT_EQ(((float *) a->data)[2], 9.5f);
    tevo_set_i32_1d(t, 5, -4);             // i0 = 2, i1 = 1: data + 16 + 4
    EXPECT_EQ(((float *) a->data)[5], -4.0f);

    EXPECT_EQ(tevo_get_f32_nd(a, 1, 2, 0, 0), -4.0f);
    tevo_set_i32_nd(a, 0, 1, 0, 0, 12);
    EXPECT_EQ(tevo_get_i32_nd(a, 0, 1, 0, 0), 12);
    tevo_set_f32_nd(a, 1, 1, 0, 0, 0.5f);
    EXPECT_EQ(((float *) a->data)[3], 0.5f);

    // filling whole rows: a padded view, and a packed one whose stride of
    // dimension 1 (extent 1) is a single element
    tevo_tensor * big    = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 5, 2, 3);
    tevo_tensor * padded = tevo_view_3d(ctx, big, 3, 2, 3, big->nb[1], big->nb[2], 0);
    tevo_tensor * packed = tevo_transpose(ctx, tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 1, 4, 3)); // [4, 1, 3]
    ASSERT_TRUE(tevo_is_contiguous(packed));
    ASSERT_EQ(packed->nb[1], sizeof(float));
    for (tevo_tensor * t : { padded, packed }) {
        tevo_tensor * base = t->view_src;
        memset(base->data, 0, tevo_nbytes(base));
        tevo_set_f32(t, 2.5f);
        for (int64_t k = 0; k < tevo_nelements(t); ++k) EXPECT_EQ(tevo_get_f32_1d(t, (int) k), 2.5f) << k;
        tevo_set_i32(t, -3);
        for (int64_t k = 0; k < tevo_nelements(t); ++k) EXPECT_EQ(tevo_get_i32_1d(t, (int) k), -3) << k;
        // the padding stays as it was
        int64_t set = 0;
        for (int64_t k = 0; k < tevo_nelements(base); ++k) set += ((float *) base->data)[k] != 0.0f;
        EXPECT_EQ(set, tevo_nelements(t));
    }
}

TEST_F(Elements, RefusedTypesAndContexts) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    tevo_tensor * q = tevo_new_tensor_1d(ctx, TEVO_TYPE_Q8_0, 32);
    EXPECT_DEATH(tevo_get_f32_1d(q, 0), "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: fatal error");
    EXPECT_DEATH(tevo_set_i32(q, 1), "fatal error");
    EXPECT_DEATH(tevo_get_i32_nd(q, 0, 0, 0, 0), "fatal error");

    tevo_init_params p      = { 16 * tevo_tensor_overhead(), nullptr, true };
    tevo_context *   no_mem = tevo_init(p);
    EXPECT_DEATH(tevo_new_i32(no_mem, 1), "TEVO_ASSERT\\(!tevo_get_no_alloc\\(ctx\\)\\) failed");
    EXPECT_DEATH(tevo_new_f32(no_mem, 1.0f), "TEVO_ASSERT\\(!tevo_get_no_alloc\\(ctx\\)\\) failed");
    tevo_free(no_mem);
}

} // namespace
