// The UNARY operator on the CPU: GELU, quick GELU, SiLU and erf GELU over
// float, half and brain float (the half-table forms bit for bit, with the
// float GELU's limits at -10 and 10), the half tables themselves, and every
// other sub-operator reaching its element-wise kernel through the dispatch.

#include "kernel-test-helpers.h"
#include "cpu/vec/vec.h"

#include <array>

namespace {

using namespace kt;

const tevo_unary_op INLINE_OPS[] = { TEVO_UNARY_OP_GELU, TEVO_UNARY_OP_GELU_QUICK, TEVO_UNARY_OP_SILU,
                                     TEVO_UNARY_OP_GELU_ERF };

float tab(const tevo_fp16_t * table, float x) {
    return tevo_table_f32_f16[table[tevo_fp32_to_fp16(x)]];
}

// the float rows' rules of the four inline sub-operators (SiLU: the formula
// the vector exponential approximates)
float rule_f32(tevo_unary_op op, float x) {
    switch (op) {
        case TEVO_UNARY_OP_GELU:       return x <= -10.0f ? 0.0f : (x >= 10.0f ? x : tab(tevo_table_gelu_f16, x));
        case TEVO_UNARY_OP_GELU_QUICK: return tab(tevo_table_gelu_quick_f16, x);
        case TEVO_UNARY_OP_SILU:       return x / (expf(-x) + 1.0f);
        default:                       return (erff(x * 0.70710677f) + 1.0f) * (x * 0.5f);
    }
}

// the same for half and brain-float rows, before narrowing
float rule_formula(tevo_unary_op op, float x) {
    switch (op) {
        case TEVO_UNARY_OP_GELU:
            return (tanhf((x * 0.7978846f) * fmaf(x, x * 0.044715f, 1.0f)) + 1.0f) * (x * 0.5f);
        case TEVO_UNARY_OP_GELU_QUICK: return (1.0f / (expf(x * -1.702f) + 1.0f)) * x;
        case TEVO_UNARY_OP_SILU:       return x / (expf(-x) + 1.0f);
        default:                       return (erff(x * 0.70710677f) + 1.0f) * (x * 0.5f);
    }
}

double gelu_d(double x) {
    return 0.5 * x * (1.0 + tanh(sqrt(2.0 / M_PI) * (x + 0.044715 * x * x * x)));
}

double gelu_quick_d(double x) {
    return x / (1.0 + exp(-1.702 * x));
}

double reference(tevo_unary_op op, double x) {
    switch (op) {
        case TEVO_UNARY_OP_GELU:       return gelu_d(x);
        case TEVO_UNARY_OP_GELU_QUICK: return gelu_quick_d(x);
        case TEVO_UNARY_OP_SILU:       return x / (1.0 + exp(-x));
        default:                       return 0.5 * x * (1.0 + erf(x / sqrt(2.0)));
    }
}

// computes op over the float values xs laid in one row of a tensor of type
tevo_tensor * run_row(Ctx & c, tevo_type type, tevo_unary_op op, const std::vector<float> & xs, int nt = 1) {
    tevo_tensor * a = tevo_new_tensor_1d(c.ctx, type, (int64_t) xs.size());
    for (size_t i = 0; i < xs.size(); ++i) {
        set(a, xs[i], (int64_t) i);
    }
    tevo_tensor * out = tevo_unary(c.ctx, a, op);
    compute(c.ctx, { out }, nt);
    return out;
}

// --- the half tables

TEST(KernelGeluTables, MinusInfinityTakesTheLimit) {
    tevo_cpu_init();
    EXPECT_EQ(tevo_table_gelu_f16[0xFC00], 0x8000);
    EXPECT_EQ(tevo_table_gelu_quick_f16[0xFC00], 0x8000);
    EXPECT_EQ(tevo_table_gelu_f16[0x7C00], 0x7C00);
    EXPECT_EQ(tevo_table_gelu_quick_f16[0x7C00], 0x7C00);
}

TEST(KernelGeluTables, EveryHalfAgainstDouble) {
    tevo_cpu_init();
    for (int h = 0; h < (1 << 16); ++h) {
        const float f = tevo_table_f32_f16[h];
        ASSERT_EQ(bits(f), bits(tevo_fp16_to_fp32((tevo_fp16_t) h))) << h;
        if (std::isnan(f)) {
            EXPECT_TRUE(std::isnan(tevo_table_f32_f16[tevo_table_gelu_f16[h]])) << h;
            continue;
        }
        const float g = tevo_table_f32_f16[tevo_table_gelu_f16[h]];
        const float q = tevo_table_f32_f16[tevo_table_gelu_quick_f16[h]];
        ASSERT_FALSE(std::isnan(g)) << "gelu of " << f;
        ASSERT_FALSE(std::isnan(q)) << "quick gelu of " << f;
        if (std::isinf(f)) {
            continue;
        }
        const double rg = gelu_d(f), rq = gelu_quick_d(f);
        // one half rounding of the float formula, and half subnormals near 0;
        // tanhf + 1 cancels in the far negative tail, where 1 ulp of 1 shows
        ASSERT_NEAR(g, rg, 6e-4 * fabs(rg) + 6e-8 + 1.5e-7 * fabs(f)) << f;
        ASSERT_NEAR(q, rq, 6e-4 * fabs(rq) + 6e-8) << f;
    }
}

// --- float rows

TEST(KernelGelu, FloatLimitsAndSpecialValues) {
    Ctx         c;
    const float inf = INFINITY;
    struct Case {
        const char *  label;
        tevo_unary_op op;
        float         x;
        uint32_t      want; // bits; 0x7FC00000 stands for any NaN
    };
    const Case cases[] = {
        { "GELU at -10 is 0", TEVO_UNARY_OP_GELU, -10.0f, 0x00000000 },
        { "GELU at 10 is 10", TEVO_UNARY_OP_GELU, 10.0f, bits(10.0f) },
        { "GELU of +inf", TEVO_UNARY_OP_GELU, inf, bits(inf) },
        { "GELU of -inf", TEVO_UNARY_OP_GELU, -inf, 0x00000000 },
        { "GELU of -1e30", TEVO_UNARY_OP_GELU, -1e30f, 0x00000000 },
        { "GELU of 12345", TEVO_UNARY_OP_GELU, 12345.0f, bits(12345.0f) },
        { "GELU of NaN", TEVO_UNARY_OP_GELU, NAN, 0x7FC00000 },
        { "GELU of 0", TEVO_UNARY_OP_GELU, 0.0f, 0x00000000 },
        { "quick GELU beyond the half range", TEVO_UNARY_OP_GELU_QUICK, 1e6f, bits(inf) },
        { "quick GELU of -1e6", TEVO_UNARY_OP_GELU_QUICK, -1e6f, 0x80000000 },
        { "quick GELU at -65520", TEVO_UNARY_OP_GELU_QUICK, -65520.0f, 0x80000000 },
        { "quick GELU of -inf", TEVO_UNARY_OP_GELU_QUICK, -inf, 0x80000000 },
        { "quick GELU of NaN", TEVO_UNARY_OP_GELU_QUICK, NAN, 0x7FC00000 },
        { "erf GELU of 0", TEVO_UNARY_OP_GELU_ERF, 0.0f, 0x00000000 },
        { "SiLU of 0", TEVO_UNARY_OP_SILU, 0.0f, 0x00000000 },
        // the limit below, as far-negative finite values already give it
        { "erf GELU of -1e30", TEVO_UNARY_OP_GELU_ERF, -1e30f, 0x80000000 },
        { "erf GELU of -inf", TEVO_UNARY_OP_GELU_ERF, -inf, 0x80000000 },
        { "erf GELU of +inf", TEVO_UNARY_OP_GELU_ERF, inf, bits(inf) },
        { "SiLU of -1e30", TEVO_UNARY_OP_SILU, -1e30f, 0x80000000 },
        { "SiLU of -inf", TEVO_UNARY_OP_SILU, -inf, 0x80000000 },
        { "SiLU of +inf", TEVO_UNARY_OP_SILU, inf, bits(inf) },
        { "SiLU of NaN", TEVO_UNARY_OP_SILU, NAN, 0x7FC00000 },
    };
    for (const Case & k : cases) {
        SCOPED_TRACE(k.label);
        // at a lane of the vector loop and in the scalar tail
        for (size_t n : { 19, 2 }) {
            std::vector<float> xs(n, 0.25f);
            const size_t       at = n == 2 ? 1 : 9;
            xs[at]                = k.x;
            tevo_tensor * out = run_row(c, TEVO_TYPE_F32, k.op, xs);
            const float   got = get(out, (int64_t) at);
            if (k.want == 0x7FC00000) {
                EXPECT_TRUE(std::isnan(got)) << got;
            } else {
                EXPECT_EQ(bits(got), k.want) << got;
            }
        }
    }

    // the argument is rounded to half: 1 and 1.0001 are the same half
    tevo_tensor * out = run_row(c, TEVO_TYPE_F32, TEVO_UNARY_OP_GELU, { 1.0f, 1.0001f });
    EXPECT_EQ(bits(get(out, 0)), bits(get(out, 1)));
    EXPECT_NEAR(get(out, 0), gelu_d(1.0), 1e-3);
}

TEST(KernelGelu, FloatTableFormsAgainstScalarRuleOverManyValues) {
    // random bit patterns reach subnormals, overflow to half infinity and NaN
    std::mt19937                           rng(23);
    std::uniform_int_distribution<uint32_t> any;
    std::uniform_real_distribution<float>  near(-12.0f, 12.0f);
    std::vector<float>                     xs;
    for (int i = 0; i < 100000; ++i) {
        xs.push_back(from_bits(any(rng)));
        xs.push_back(near(rng));
    }
    // halfway points between halves round to even
    for (int h = 0x3C00; h < 0x3C40; ++h) {
        const float lo = tevo_fp16_to_fp32((tevo_fp16_t) h), hi = tevo_fp16_to_fp32((tevo_fp16_t) (h + 1));
        xs.push_back(0.5f * (lo + hi));
        xs.push_back(-0.5f * (lo + hi));
    }
    for (float v : { 65504.0f, 65519.99f, 65520.0f, -65519.99f, -65520.0f, 6e-8f, -6e-8f, 3e-8f, 2.9802322e-8f }) {
        xs.push_back(v);
    }

    Ctx c(8);
    for (tevo_unary_op op : { TEVO_UNARY_OP_GELU, TEVO_UNARY_OP_GELU_QUICK }) {
        SCOPED_TRACE(tevo_unary_op_name(op));
        tevo_tensor * out = run_row(c, TEVO_TYPE_F32, op, xs, 3);
        for (size_t i = 0; i < xs.size(); ++i) {
            const float want = rule_f32(op, xs[i]);
            const float got  = get(out, (int64_t) i);
            if (std::isnan(want)) {
                ASSERT_TRUE(std::isnan(got)) << xs[i];
                // only a NaN argument gives a NaN
                ASSERT_TRUE(std::isnan(xs[i])) << xs[i];
            } else {
                ASSERT_EQ(bits(got), bits(want)) << "x " << xs[i] << " index " << i;
            }
        }
    }
}

// --- half rows

TEST(KernelGelu, HalfTableFormsEqualTheTable) {
    Ctx c(8);
    for (tevo_unary_op op : { TEVO_UNARY_OP_GELU, TEVO_UNARY_OP_GELU_QUICK }) {
        SCOPED_TRACE(tevo_unary_op_name(op));
        const tevo_fp16_t * table = op == TEVO_UNARY_OP_GELU ? tevo_table_gelu_f16 : tevo_table_gelu_quick_f16;
        tevo_tensor *       a     = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 256, 256);
        for (int h = 0; h < (1 << 16); ++h) {
            ((tevo_fp16_t *) a->data)[h] = (tevo_fp16_t) h;
        }
        tevo_tensor * out = tevo_unary(c.ctx, a, op);
        compute(c.ctx, { out }, 3);
        for (int h = 0; h < (1 << 16); ++h) {
            ASSERT_EQ(((tevo_fp16_t *) out->data)[h], table[h]) << h;
        }
        EXPECT_EQ(((tevo_fp16_t *) out->data)[0x0000], 0x0000);
        EXPECT_EQ(((tevo_fp16_t *) out->data)[0xFC00], 0x8000);
    }
}

// --- all types, layouts and thread counts

enum class Layout { plain, strided, permuted };

// a (ne0, ne1, ne2) tensor: packed, every other row of a wider one, or with
// dimensions 1 and 2 swapped
tevo_tensor * make_source(tevo_context * ctx, tevo_type type, std::array<int64_t, 3> ne, Layout layout) {
    switch (layout) {
        case Layout::plain: return tevo_new_tensor_3d(ctx, type, ne[0], ne[1], ne[2]);
        case Layout::strided: {
            tevo_tensor * base = tevo_new_tensor_3d(ctx, type, ne[0] + 5, 2 * ne[1], ne[2]);
            return tevo_view_3d(ctx, base, ne[0], ne[1], ne[2], 2 * base->nb[1], base->nb[2], 0);
        }
        case Layout::permuted: {
            tevo_tensor * base = tevo_new_tensor_3d(ctx, type, ne[0], ne[2], ne[1]);
            return tevo_permute(ctx, base, 0, 2, 1, 3);
        }
    }
    return nullptr;
}

TEST(KernelGelu, InlineFormsEveryTypeLayoutAndThreadCount) {
    const std::array<int64_t, 3> shapes[] = { { 37, 5, 1 }, { 8, 3, 2 }, { 200, 2, 1 }, { 1, 1, 1 }, { 3, 2, 2 } };
    const tevo_type              types[]  = { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 };
    const Layout                 layouts[] = { Layout::plain, Layout::strided, Layout::permuted };

    std::mt19937 rng(29);
    for (tevo_type type : types) {
        for (const auto & ne : shapes) {
            for (Layout layout : layouts) {
                for (int nt : thread_counts()) {
                    SCOPED_TRACE(testing::Message() << tevo_type_name(type) << " ne0 " << ne[0] << " layout "
                                                    << (int) layout << " threads " << nt);
                    Ctx           c(2);
                    tevo_tensor * a = make_source(c.ctx, type, ne, layout);
                    fill(a, rng, -12.0f, 12.0f);
                    std::vector<tevo_tensor *> outs;
                    for (tevo_unary_op op : INLINE_OPS) {
                        outs.push_back(tevo_unary(c.ctx, a, op));
                        poison(outs.back());
                    }
                    compute(c.ctx, outs, nt);

                    for (size_t k = 0; k < outs.size(); ++k) {
                        const tevo_unary_op op  = INLINE_OPS[k];
                        const tevo_tensor * out = outs[k];
                        SCOPED_TRACE(tevo_unary_op_name(op));
                        for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) {
                            const float x   = get(a, i0, i1, i2);
                            const float got = get(out, i0, i1, i2);
                            if (type == TEVO_TYPE_F32) {
                                const float r = rule_f32(op, x);
                                if (op == TEVO_UNARY_OP_SILU) {
                                    // the engine's vector exponential: last bits may differ
                                    ASSERT_NEAR(got, r, 2e-6 * fabsf(r)) << x;
                                } else {
                                    ASSERT_EQ(bits(got), bits(r)) << x;
                                }
                            } else if (type == TEVO_TYPE_F16) {
                                const tevo_fp16_t h = (tevo_fp16_t) get_bits(a, i0, i1, i2);
                                const tevo_fp16_t want =
                                    op == TEVO_UNARY_OP_GELU         ? tevo_table_gelu_f16[h]
                                    : op == TEVO_UNARY_OP_GELU_QUICK ? tevo_table_gelu_quick_f16[h]
                                                                     : tevo_fp32_to_fp16(rule_formula(op, x));
                                ASSERT_EQ(get_bits(out, i0, i1, i2), want) << x;
                            } else {
                                ASSERT_EQ(get_bits(out, i0, i1, i2), tevo_fp32_to_bf16(rule_formula(op, x)).bits) << x;
                            }

                            // the rules against double: half tables carry half precision
                            const double want  = reference(op, x);
                            const bool   table = op == TEVO_UNARY_OP_GELU || op == TEVO_UNARY_OP_GELU_QUICK;
                            double       tol   = 2e-6 * fabs(want) + 1e-7;
                            if (op == TEVO_UNARY_OP_GELU || op == TEVO_UNARY_OP_GELU_ERF) {
                                // tanhf or erff + 1 cancels in the negative tail
                                tol += 1.5e-7 * fabs(x);
                            }
                            if (type == TEVO_TYPE_F16) {
                                tol += 1e-3 * fabs(want);
                            } else if (type == TEVO_TYPE_BF16) {
                                tol += 4e-3 * fabs(want);
                            } else if (table) {
                                tol += 1.2e-3 * fabs(x);
                            }
                            ASSERT_NEAR(got, want, tol) << x;
                        });
                    }
                }
            }
        }
    }
}

// Half and brain-float rows tend to -0 below too: -inf gives the limit that
// a far-negative finite value already gives, +inf gives +inf.
TEST(KernelGelu, InfinitiesInHalfAndBrainFloatRows) {
    Ctx c;
    for (tevo_type type : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        const float far = type == TEVO_TYPE_F16 ? -60000.0f : -1e30f;
        for (tevo_unary_op op : INLINE_OPS) {
            SCOPED_TRACE(testing::Message() << tevo_unary_op_name(op) << " " << tevo_type_name(type));
            // the values at the start, at a block boundary and in the tail
            std::vector<float> xs(21, 0.25f);
            xs[0]  = -INFINITY;
            xs[8]  = far;
            xs[16] = INFINITY;
            xs[20] = -INFINITY;
            tevo_tensor * out = run_row(c, type, op, xs);
            EXPECT_EQ(get_bits(out, 0), 0x8000u);
            EXPECT_EQ(get_bits(out, 8), 0x8000u);
            EXPECT_EQ(get_bits(out, 20), 0x8000u);
            EXPECT_EQ(get(out, 16), INFINITY);
        }
    }
}

// Float SiLU rows with -inf scattered over several pieces: those elements are
// -0, every other one is bit for bit the engine's SiLU row over the whole row,
// in place or not.
TEST(KernelGelu, FloatSiluAtMinusInfinityKeepsTheOtherBits) {
    std::mt19937 rng(37);
    for (int64_t n : { 200, 64, 7 }) {
        for (bool in_place : { false, true }) {
            SCOPED_TRACE(testing::Message() << "n " << n << (in_place ? " in place" : ""));
            Ctx           c;
            tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, n, 2);
            fill(a, rng, -100.0f, 100.0f);
            for (int64_t i : { 0, 5, 63, 64, 71, 130, 199 }) {
                if (i < n) {
                    set(a, -INFINITY, i, 1);
                }
            }
            const std::vector<float> x((float *) a->data, (float *) a->data + 2 * n);
            std::vector<float>       want(x.size());
            tevo_vec_silu_f32((int) n, want.data(), x.data());
            tevo_vec_silu_f32((int) n, want.data() + n, x.data() + n);

            tevo_tensor * out = in_place ? tevo_unary_inplace(c.ctx, a, TEVO_UNARY_OP_SILU)
                                         : tevo_unary(c.ctx, a, TEVO_UNARY_OP_SILU);
            compute(c.ctx, { out }, 2);
            const float * got = (const float *) out->data;
            for (size_t i = 0; i < x.size(); ++i) {
                const uint32_t w = x[i] == -INFINITY ? 0x80000000u : bits(want[i]);
                ASSERT_EQ(bits(got[i]), w) << "at " << i << " x " << x[i];
            }
        }
    }
}

TEST(KernelGelu, InPlaceGivesTheSameBits) {
    std::mt19937 rng(31);
    for (tevo_unary_op op : INLINE_OPS) {
        for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
            SCOPED_TRACE(testing::Message() << tevo_unary_op_name(op) << " " << tevo_type_name(type));
            Ctx           c(2);
            tevo_tensor * a = tevo_new_tensor_2d(c.ctx, type, 45, 3);
            fill(a, rng, -12.0f, 12.0f);
            tevo_tensor * b = tevo_dup_tensor(c.ctx, a);
            memcpy(b->data, a->data, tevo_nbytes(a));
            tevo_tensor * out = tevo_unary(c.ctx, a, op);
            tevo_tensor * inp = tevo_unary_inplace(c.ctx, b, op);
            compute(c.ctx, { out, inp }, 3);
            EXPECT_EQ(memcmp(out->data, b->data, tevo_nbytes(out)), 0);
        }
    }
}

TEST(KernelGelu, ThroughTheBackend) {
    tevo_tensor * a = nullptr;
    compute_on_backend(
        [&](tevo_context * ctx) {
            a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 9, 2);
            return tevo_gelu(ctx, a);
        },
        [&] {
            std::vector<float> v(18);
            for (int i = 0; i < 18; ++i) {
                v[i] = -11.0f + 1.3f * (float) i;
            }
            tevo_backend_tensor_set(a, v.data(), 0, v.size() * sizeof(float));
        },
        [](tevo_tensor * out) {
            std::vector<float> got(18);
            tevo_backend_tensor_get(out, got.data(), 0, got.size() * sizeof(float));
            for (int i = 0; i < 18; ++i) {
                const float x = -11.0f + 1.3f * (float) i;
                EXPECT_EQ(bits(got[i]), bits(rule_f32(TEVO_UNARY_OP_GELU, x))) << x;
            }
        });
}

// --- the delegated sub-operators

double delegated_reference(tevo_unary_op op, double x, const tevo_tensor * node) {
    switch (op) {
        case TEVO_UNARY_OP_ABS:         return fabs(x);
        case TEVO_UNARY_OP_SGN:         return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
        case TEVO_UNARY_OP_NEG:         return -x;
        case TEVO_UNARY_OP_STEP:        return x > 0 ? 1.0 : 0.0;
        case TEVO_UNARY_OP_TANH:        return tanh(x);
        case TEVO_UNARY_OP_ELU:         return x > 0 ? x : expm1(x);
        case TEVO_UNARY_OP_RELU:        return x > 0 ? x : 0.0;
        case TEVO_UNARY_OP_SIGMOID:     return 1.0 / (1.0 + exp(-x));
        case TEVO_UNARY_OP_HARDSWISH:   return x * std::min(std::max((x + 3.0) / 6.0, 0.0), 1.0);
        case TEVO_UNARY_OP_HARDSIGMOID: return std::min(std::max((x + 3.0) / 6.0, 0.0), 1.0);
        case TEVO_UNARY_OP_EXP:         return exp(x);
        case TEVO_UNARY_OP_EXPM1:       return expm1(x);
        case TEVO_UNARY_OP_SOFTPLUS:    return x > 20 ? x : log1p(exp(x));
        case TEVO_UNARY_OP_XIELU: {
            const double alpha_n = tevo_get_op_params_f32(node, 1), alpha_p = tevo_get_op_params_f32(node, 2);
            const double beta = tevo_get_op_params_f32(node, 3), eps = tevo_get_op_params_f32(node, 4);
            return x > 0 ? x * x * alpha_p + beta * x : (expm1(std::min(x, eps)) - x) * alpha_n + beta * x;
        }
        case TEVO_UNARY_OP_FLOOR: return floor(x);
        case TEVO_UNARY_OP_CEIL:  return ceil(x);
        case TEVO_UNARY_OP_ROUND: return round(x);
        case TEVO_UNARY_OP_TRUNC: return trunc(x);
        default:                  ADD_FAILURE(); return NAN;
    }
}

TEST(KernelUnaryDispatch, DelegatedSubOperatorsAgainstDouble) {
    std::mt19937 rng(37);
    for (int o = 0; o < TEVO_UNARY_OP_COUNT; ++o) {
        const tevo_unary_op op = (tevo_unary_op) o;
        if (std::find(std::begin(INLINE_OPS), std::end(INLINE_OPS), op) != std::end(INLINE_OPS)) {
            continue;
        }
        for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
            for (int nt : thread_counts()) {
                SCOPED_TRACE(testing::Message() << tevo_unary_op_name(op) << " " << tevo_type_name(type)
                                                << " threads " << nt);
                Ctx           c(2);
                tevo_tensor * a = make_source(c.ctx, type, { 23, 4, 2 }, Layout::strided);
                fill(a, rng, -5.0f, 5.0f);
                tevo_tensor * out = op == TEVO_UNARY_OP_XIELU ? tevo_xielu(c.ctx, a, 0.8f, 1.2f, 0.5f, -1e-6f)
                                                              : tevo_unary(c.ctx, a, op);
                // these sub-operators plan one task; a GELU beside them brings the threads
                tevo_tensor * busy = tevo_gelu(c.ctx, a);
                poison(out);
                compute(c.ctx, { out, busy }, nt);

                for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) {
                    const double want = delegated_reference(op, get(a, i0, i1, i2), out);
                    const double tol  = (type == TEVO_TYPE_F16 ? 1e-3 : 4e-6) * fabs(want) + 4e-7;
                    ASSERT_NEAR(get(out, i0, i1, i2), want, tol) << get(a, i0, i1, i2);
                });
            }
        }
    }
}

TEST(KernelUnaryDispatchDeathTest, Refusals) {
    Ctx c(1);
    for (int32_t bad : { 22, -1 }) {
        SCOPED_TRACE(bad);
        tevo_tensor * out = tevo_abs(c.ctx, tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4));
        tevo_set_op_params_i32(out, 0, bad);
        EXPECT_DEATH(call_kernel(tevo_compute_forward_unary, out), kernel_abort_re("fatal error"));
    }
    for (tevo_unary_op op : INLINE_OPS) {
        SCOPED_TRACE(tevo_unary_op_name(op));
        tevo_tensor * out = tevo_unary(c.ctx, tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 4), op);
        EXPECT_DEATH(call_kernel(tevo_compute_forward_unary, out), kernel_abort_re("fatal error"));
    }
}

} // namespace
