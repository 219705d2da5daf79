// Gated linear units on the CPU: the seven forms over float, half and brain
// float, split (plain and swapped) and two-source, against the element rule
// bit for bit and against a double-precision reference, with padded rows and
// 1, 3 and 8 threads.

#include "kernel-test-helpers.h"
#include "cpu/vec/vec.h"

namespace {

using namespace kt;

const float ALPHA = 1.702f;
const float LIMIT = 7.0f;

float half_round(float v) {
    return tevo_fp16_to_fp32(tevo_fp32_to_fp16(v));
}

float tab(const tevo_fp16_t * table, float x) {
    return tevo_table_f32_f16[table[tevo_fp32_to_fp16(x)]];
}

// The element rule of each form as written for the type (x and g already
// widened); the result is then narrowed to the type.
float rule(tevo_glu_op op, tevo_type type, float x, float g) {
    const bool f32 = type == TEVO_TYPE_F32;
    const bool f16 = type == TEVO_TYPE_F16;
    switch (op) {
        case TEVO_GLU_OP_REGLU: return x > 0 ? x * g : 0.0f;
        case TEVO_GLU_OP_GEGLU:
            if (f32) {
                return x <= -10.0f ? 0.0f : (x >= 10.0f ? x * g : tab(tevo_table_gelu_f16, x) * g);
            }
            if (f16) {
                return tab(tevo_table_gelu_f16, x) * g;
            }
            return ((tanhf((x * 0.7978846f) * fmaf(x, x * 0.044715f, 1.0f)) + 1.0f) * (x * 0.5f)) * g;
        case TEVO_GLU_OP_SWIGLU: return (x / (expf(-x) + 1.0f)) * g;
        case TEVO_GLU_OP_GEGLU_ERF: return ((erff(x * 0.70710677f) + 1.0f) * (x * 0.5f)) * g;
        case TEVO_GLU_OP_GEGLU_QUICK:
            if (f32 || f16) {
                return tab(tevo_table_gelu_quick_f16, x) * g;
            }
            return ((1.0f / (expf(x * -1.702f) + 1.0f)) * x) * g;
        case TEVO_GLU_OP_SWIGLU_OAI:
        case TEVO_GLU_OP_SWIGLU_CLAMP: {
            const float xc = LIMIT < x ? LIMIT : x;
            const float gc = g < -LIMIT ? -LIMIT : (LIMIT < g ? LIMIT : g);
            if (op == TEVO_GLU_OP_SWIGLU_OAI) {
                return (gc + 1.0f) * (xc / (expf(ALPHA * (-xc)) + 1.0f));
            }
            return (xc / (expf(-xc) + 1.0f)) * gc;
        }
        default: ADD_FAILURE(); return 0.0f;
    }
}

double gelu_d(double x) {
    return 0.5 * x * (1.0 + tanh(sqrt(2.0 / M_PI) * (x + 0.044715 * x * x * x)));
}

// the activation times the gate in double
double reference(tevo_glu_op op, double x, double g) {
    switch (op) {
        case TEVO_GLU_OP_REGLU:       return x > 0 ? x * g : 0.0;
        case TEVO_GLU_OP_GEGLU:       return gelu_d(x) * g;
        case TEVO_GLU_OP_SWIGLU:      return x / (1.0 + exp(-x)) * g;
        case TEVO_GLU_OP_GEGLU_ERF:   return 0.5 * x * (1.0 + erf(x / sqrt(2.0))) * g;
        case TEVO_GLU_OP_GEGLU_QUICK: return x / (1.0 + exp(-1.702 * x)) * g;
        case TEVO_GLU_OP_SWIGLU_OAI: {
            const double xc = std::min(x, (double) LIMIT), gc = std::max(std::min(g, (double) LIMIT), -(double) LIMIT);
            return (gc + 1.0) * xc / (1.0 + exp(-(double) ALPHA * xc));
        }
        case TEVO_GLU_OP_SWIGLU_CLAMP: {
            const double xc = std::min(x, (double) LIMIT), gc = std::max(std::min(g, (double) LIMIT), -(double) LIMIT);
            return xc / (1.0 + exp(-xc)) * gc;
        }
        default: return NAN;
    }
}

bool accepts(tevo_glu_op op, tevo_type type) {
    if (type == TEVO_TYPE_BF16) {
        return op != TEVO_GLU_OP_SWIGLU_OAI && op != TEVO_GLU_OP_SWIGLU_CLAMP;
    }
    if (type == TEVO_TYPE_F16) {
        return op != TEVO_GLU_OP_SWIGLU_OAI;
    }
    return true;
}

enum class Form { split, swapped, two_sources };

tevo_tensor * build(tevo_context * ctx, tevo_glu_op op, Form form, tevo_tensor * a, tevo_tensor * b) {
    tevo_tensor * out = nullptr;
    if (op == TEVO_GLU_OP_SWIGLU_OAI || op == TEVO_GLU_OP_SWIGLU_CLAMP) {
        tevo_tensor * gate = form == Form::two_sources ? b : nullptr;
        out = op == TEVO_GLU_OP_SWIGLU_OAI ? tevo_swiglu_oai(ctx, a, gate, ALPHA, LIMIT)
                                           : tevo_swiglu_clamp(ctx, a, gate, LIMIT);
        if (form == Form::swapped) {
            tevo_set_op_params_i32(out, 1, 1);
        }
        return out;
    }
    switch (form) {
        case Form::split:       return tevo_glu(ctx, a, op, false);
        case Form::swapped:     return tevo_glu(ctx, a, op, true);
        case Form::two_sources: return tevo_glu_split(ctx, a, b, op);
    }
    return out;
}

// a (ne0, ne1, ne2) tensor; padded rows sit 3 elements further apart than
// their length
tevo_tensor * make_source(tevo_context * ctx, tevo_type type, int64_t ne0, int64_t ne1, int64_t ne2, bool padded,
                          std::mt19937 & rng) {
    tevo_tensor * t = tevo_new_tensor_3d(ctx, type, ne0, ne1, ne2);
    if (padded) {
        tevo_tensor * base = tevo_new_tensor_2d(ctx, type, ne0 + 3, ne1 * ne2);
        t = tevo_view_3d(ctx, base, ne0, ne1, ne2, base->nb[1], base->nb[1] * ne1, 0);
    }
    // wide enough to reach both GEGLU limits and SWIGLU's clamps
    fill(t, rng, -12.0f, 12.0f);
    return t;
}

const char * op_label(tevo_glu_op op) {
    return tevo_glu_op_name(op);
}

TEST(KernelGlu, EveryFormAgainstRules) {
    struct Shape {
        int64_t ne0, ne1, ne2;
        bool    padded;
    };
    const Shape shapes[] = {
        { 70, 5, 1, false }, { 5, 3, 1, false }, { 83, 4, 1, true }, { 16, 2, 3, true },
    };
    const tevo_type types[] = { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 };
    const Form      forms[] = { Form::split, Form::swapped, Form::two_sources };

    std::mt19937 rng(17);
    for (int o = 0; o < TEVO_GLU_OP_COUNT; ++o) {
        const tevo_glu_op op = (tevo_glu_op) o;
        for (tevo_type type : types) {
            if (!accepts(op, type)) {
                continue;
            }
            for (Form form : forms) {
                for (const Shape & s : shapes) {
                    for (int nt : thread_counts()) {
                        SCOPED_TRACE(testing::Message() << op_label(op) << " " << tevo_type_name(type) << " form "
                                                        << (int) form << " ne0 " << s.ne0 << " padded " << s.padded
                                                        << " threads " << nt);
                        Ctx           c(4);
                        tevo_tensor * a = make_source(c.ctx, type, s.ne0, s.ne1, s.ne2, s.padded, rng);
                        tevo_tensor * b = form == Form::two_sources
                                              ? make_source(c.ctx, type, s.ne0, s.ne1, s.ne2, s.padded, rng)
                                              : nullptr;
                        tevo_tensor * out = build(c.ctx, op, form, a, b);
                        poison(out);
                        compute(c.ctx, { out }, nt);

                        const int64_t nc = form == Form::two_sources ? s.ne0 : s.ne0 / 2;
                        ASSERT_EQ(out->ne[0], nc);
                        for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) {
                            float x, g;
                            if (form == Form::two_sources) {
                                x = get(a, i0, i1, i2);
                                g = get(b, i0, i1, i2);
                            } else {
                                const int64_t xi = form == Form::swapped ? i0 + nc : i0;
                                const int64_t gi = form == Form::swapped ? i0 : i0 + nc;
                                x                = get(a, xi, i1, i2);
                                g                = get(a, gi, i1, i2);
                            }
                            const float r   = rule(op, type, x, g);
                            const float got = get(out, i0, i1, i2);
                            if (type == TEVO_TYPE_F32 && op == TEVO_GLU_OP_SWIGLU) {
                                // the engine's vector exponential: last bits may differ
                                ASSERT_NEAR(got, r, 2e-6 * fabsf(r) + 1e-30) << i0 << " " << i1;
                            } else if (type == TEVO_TYPE_F32) {
                                ASSERT_EQ(bits(got), bits(r)) << i0 << " " << i1 << " x " << x << " g " << g;
                            } else if (type == TEVO_TYPE_F16) {
                                ASSERT_EQ(get_bits(out, i0, i1, i2), tevo_fp32_to_fp16(r)) << i0 << " x " << x;
                            } else {
                                ASSERT_EQ(get_bits(out, i0, i1, i2), tevo_fp32_to_bf16(r).bits) << i0 << " x " << x;
                            }

                            // the rule itself against double: the half tables carry half precision
                            const double want  = reference(op, x, g);
                            const bool   table = op == TEVO_GLU_OP_GEGLU || op == TEVO_GLU_OP_GEGLU_QUICK;
                            const double type_rel =
                                type == TEVO_TYPE_F16 ? 1e-3 : (type == TEVO_TYPE_BF16 ? 4e-3 : 0.0);
                            double tol = (type_rel + 1e-6) * fabs(want) + 1e-6 * (fabs(x) + 1.0) * fabs(g) + 1e-30;
                            if (table && type != TEVO_TYPE_BF16) {
                                tol += 1.2e-3 * (fabs(x) + 1.0) * fabs(g);
                            }
                            ASSERT_NEAR(got, want, tol) << "x " << x << " g " << g;
                        });
                    }
                }
            }
        }
    }
}

TEST(KernelGlu, EdgeValues) {
    Ctx c(8);
    const float inf = INFINITY, nan = NAN;
    struct Case {
        const char * label;
        tevo_glu_op  op;
        float        x, g;
        float        want; // NaN: any NaN
    };
    const float oai   = (-7.0f + 1.0f) * (7.0f / (expf(ALPHA * -7.0f) + 1.0f));
    const float clamp = (7.0f / (expf(-7.0f) + 1.0f)) * -7.0f;
    const Case  cases[] = {
        { "REGLU of 0 with an infinite gate", TEVO_GLU_OP_REGLU, 0.0f, inf, 0.0f },
        { "REGLU of a negative with a NaN gate", TEVO_GLU_OP_REGLU, -2.0f, nan, 0.0f },
        { "REGLU of NaN", TEVO_GLU_OP_REGLU, nan, 3.0f, 0.0f },
        { "GEGLU at -10 does not read the gate", TEVO_GLU_OP_GEGLU, -10.0f, nan, 0.0f },
        { "GEGLU at 10 is 10 g", TEVO_GLU_OP_GEGLU, 10.0f, 3.0f, 30.0f },
        { "GEGLU of NaN", TEVO_GLU_OP_GEGLU, nan, 1.0f, nan },
        { "GEGLU_QUICK beyond the half range", TEVO_GLU_OP_GEGLU_QUICK, 1e6f, 2.0f, inf },
        { "GEGLU_QUICK at minus infinity", TEVO_GLU_OP_GEGLU_QUICK, -inf, 2.0f, -0.0f },
        { "SWIGLU_OAI clamps both", TEVO_GLU_OP_SWIGLU_OAI, 100.0f, -100.0f, oai },
        { "SWIGLU_CLAMP clamps both", TEVO_GLU_OP_SWIGLU_CLAMP, 100.0f, -100.0f, clamp },
        { "SWIGLU_CLAMP keeps a NaN gate", TEVO_GLU_OP_SWIGLU_CLAMP, 1.0f, nan, nan },
        // the activations tend to -0 below: -inf takes that limit
        { "SWIGLU at minus infinity", TEVO_GLU_OP_SWIGLU, -inf, 2.0f, -0.0f },
        { "SWIGLU at minus infinity, negative gate", TEVO_GLU_OP_SWIGLU, -inf, -2.0f, 0.0f },
        { "SWIGLU far below", TEVO_GLU_OP_SWIGLU, -1e30f, 2.0f, -0.0f },
        { "GEGLU_ERF at minus infinity", TEVO_GLU_OP_GEGLU_ERF, -inf, 2.0f, -0.0f },
        { "SWIGLU_OAI at minus infinity", TEVO_GLU_OP_SWIGLU_OAI, -inf, 2.0f, -0.0f },
        { "SWIGLU_CLAMP at minus infinity", TEVO_GLU_OP_SWIGLU_CLAMP, -inf, 2.0f, -0.0f },
    };
    for (const Case & k : cases) {
        SCOPED_TRACE(k.label);
        // the value at a lane of the vector loop and in the scalar tail
        for (int64_t n : { 16, 3 }) {
            tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
            tevo_tensor * b = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
            for (int64_t i = 0; i < n; ++i) {
                set(a, i == n - 2 ? k.x : 0.5f, i);
                set(b, i == n - 2 ? k.g : 0.5f, i);
            }
            tevo_tensor * out = build(c.ctx, k.op, Form::two_sources, a, b);
            compute(c.ctx, { out }, 1);
            const float got = get(out, n - 2);
            if (std::isnan(k.want)) {
                EXPECT_TRUE(std::isnan(got)) << got;
            } else {
                EXPECT_EQ(bits(got), bits(k.want)) << got;
            }
        }
    }
}

// Half and brain-float rows at x = -inf: the limit -0 times the gate.
TEST(KernelGlu, MinusInfinityInHalfAndBrainFloatRows) {
    const tevo_glu_op ops[] = { TEVO_GLU_OP_GEGLU, TEVO_GLU_OP_SWIGLU, TEVO_GLU_OP_GEGLU_ERF,
                                TEVO_GLU_OP_GEGLU_QUICK, TEVO_GLU_OP_SWIGLU_CLAMP };
    for (tevo_type type : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        for (tevo_glu_op op : ops) {
            if (!accepts(op, type)) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << op_label(op) << " " << tevo_type_name(type));
            Ctx           c;
            tevo_tensor * a = tevo_new_tensor_1d(c.ctx, type, 19);
            tevo_tensor * b = tevo_new_tensor_1d(c.ctx, type, 19);
            for (int64_t i = 0; i < 19; ++i) {
                set(a, i % 9 == 0 ? -INFINITY : 0.5f, i);
                set(b, 2.0f, i);
            }
            tevo_tensor * out = build(c.ctx, op, Form::two_sources, a, b);
            compute(c.ctx, { out }, 1);
            for (int64_t i : { 0, 9, 18 }) {
                EXPECT_EQ(get_bits(out, i), 0x8000u) << "at " << i;
            }
        }
    }
}

// Float SWIGLU rows with -inf scattered over several pieces: those elements
// are -0 times the gate, every other one is bit for bit the engine's SwiGLU
// row over the whole row.
TEST(KernelGlu, FloatSwigluAtMinusInfinityKeepsTheOtherBits) {
    std::mt19937 rng(41);
    for (int64_t n : { 200, 64, 7 }) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        Ctx           c;
        tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
        tevo_tensor * b = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
        fill(a, rng, -100.0f, 100.0f);
        fill(b, rng, -2.0f, 2.0f);
        for (int64_t i : { 0, 5, 63, 64, 71, 130, 199 }) {
            if (i < n) {
                set(a, -INFINITY, i);
            }
        }
        const std::vector<float> x((float *) a->data, (float *) a->data + n);
        const std::vector<float> g((float *) b->data, (float *) b->data + n);
        std::vector<float>       want((size_t) n);
        tevo_vec_swiglu_f32((int) n, want.data(), x.data(), g.data());

        tevo_tensor * out = build(c.ctx, TEVO_GLU_OP_SWIGLU, Form::two_sources, a, b);
        compute(c.ctx, { out }, 1);
        for (int64_t i = 0; i < n; ++i) {
            const uint32_t w = x[(size_t) i] == -INFINITY ? bits(-0.0f * g[(size_t) i]) : bits(want[(size_t) i]);
            ASSERT_EQ(get_bits(out, i), w) << "at " << i;
        }
    }
}

TEST(KernelGlu, ThroughTheBackend) {
    tevo_tensor * a = nullptr;
    compute_on_backend(
        [&](tevo_context * ctx) {
            a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 2);
            return tevo_reglu_swapped(ctx, a);
        },
        [&] {
            const float v[] = { 2, 3, 1, -1, -4, 5, 6, 7 }; // x is the second half
            tevo_backend_tensor_set(a, v, 0, sizeof(v));
        },
        [](tevo_tensor * out) {
            float got[4];
            tevo_backend_tensor_get(out, got, 0, sizeof(got));
            EXPECT_EQ(got[0], 2.0f);  // x 1, g 2
            EXPECT_EQ(got[1], 0.0f);  // x -1
            EXPECT_EQ(got[2], -24.0f); // x 6, g -4
            EXPECT_EQ(got[3], 35.0f); // x 7, g 5
        });
}

TEST(KernelGluDeathTest, Refusals) {
    Ctx           c(1);
    tevo_tensor * h = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 4, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, tevo_swiglu_oai(c.ctx, h, nullptr, 1.0f, 7.0f)),
                 kernel_abort_re("fatal error"));

    tevo_tensor * bf = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 4, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, tevo_swiglu_clamp(c.ctx, bf, nullptr, 7.0f)),
                 kernel_abort_re("fatal error"));

    tevo_tensor * q = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q8_0, 64, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, tevo_reglu(c.ctx, q)), kernel_abort_re("fatal error"));

    tevo_tensor * f = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2);
    {
        tevo_tensor * out = tevo_reglu(c.ctx, f);
        tevo_set_op_params_i32(out, 0, 7);
        EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, out), kernel_abort_re("fatal error"));
    }
    {
        // a gate of another four-byte type keeps its rows packed
        tevo_tensor * g   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2);
        tevo_tensor * out = tevo_reglu_split(c.ctx, f, g);
        g->type           = TEVO_TYPE_I32;
        EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, out), kernel_assert_re("src0->type == src1->type"));
    }
    {
        tevo_tensor * out = tevo_geglu(c.ctx, f);
        out->ne[0]        = 3;
        EXPECT_DEATH(call_kernel(tevo_compute_forward_glu, out), kernel_assert_re("dst->ne[0] == nc"));
    }
}

} // namespace
