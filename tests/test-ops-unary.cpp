// Constructors of the unary family, leaky ReLU, SiLU gradient and the gated
// linear units.

#include "test-ops-util.h"

#include <cmath>

using namespace opstest;

namespace {

typedef tevo_tensor * (*unary_fn)(tevo_context *, tevo_tensor *);
typedef tevo_tensor * (*split_fn)(tevo_context *, tevo_tensor *, tevo_tensor *);

struct UnaryMember {
    const char *       label;
    unary_fn           fn;
    unary_fn           inplace; // NULL: no in-place form
    tevo_unary_op      op;
};

const UnaryMember k_unary[] = {
    { "abs",         tevo_abs,         tevo_abs_inplace,         TEVO_UNARY_OP_ABS },
    { "sgn",         tevo_sgn,         tevo_sgn_inplace,         TEVO_UNARY_OP_SGN },
    { "neg",         tevo_neg,         tevo_neg_inplace,         TEVO_UNARY_OP_NEG },
    { "step",        tevo_step,        tevo_step_inplace,        TEVO_UNARY_OP_STEP },
    { "tanh",        tevo_tanh,        tevo_tanh_inplace,        TEVO_UNARY_OP_TANH },
    { "elu",         tevo_elu,         tevo_elu_inplace,         TEVO_UNARY_OP_ELU },
    { "relu",        tevo_relu,        tevo_relu_inplace,        TEVO_UNARY_OP_RELU },
    { "sigmoid",     tevo_sigmoid,     tevo_sigmoid_inplace,     TEVO_UNARY_OP_SIGMOID },
    { "gelu",        tevo_gelu,        tevo_gelu_inplace,        TEVO_UNARY_OP_GELU },
    { "gelu_quick",  tevo_gelu_quick,  tevo_gelu_quick_inplace,  TEVO_UNARY_OP_GELU_QUICK },
    { "silu",        tevo_silu,        tevo_silu_inplace,        TEVO_UNARY_OP_SILU },
    { "hardswish",   tevo_hardswish,   nullptr,                  TEVO_UNARY_OP_HARDSWISH },
    { "hardsigmoid", tevo_hardsigmoid, nullptr,                  TEVO_UNARY_OP_HARDSIGMOID },
    { "exp",         tevo_exp,         tevo_exp_inplace,         TEVO_UNARY_OP_EXP },
    { "expm1",       tevo_expm1,       tevo_expm1_inplace,       TEVO_UNARY_OP_EXPM1 },
    { "softplus",    tevo_softplus,    tevo_softplus_inplace,    TEVO_UNARY_OP_SOFTPLUS },
    { "gelu_erf",    tevo_gelu_erf,    tevo_gelu_erf_inplace,    TEVO_UNARY_OP_GELU_ERF },
    { "floor",       tevo_floor,       tevo_floor_inplace,       TEVO_UNARY_OP_FLOOR },
    { "ceil",        tevo_ceil,        tevo_ceil_inplace,        TEVO_UNARY_OP_CEIL },
    { "round",       tevo_round,       tevo_round_inplace,       TEVO_UNARY_OP_ROUND },
    { "trunc",       tevo_trunc,       tevo_trunc_inplace,       TEVO_UNARY_OP_TRUNC },
};

struct GluMember {
    const char * label;
    unary_fn     plain;
    unary_fn     swapped;
    split_fn     split;
    tevo_glu_op  op;
};

const GluMember k_glu[] = {
    { "reglu",       tevo_reglu,       tevo_reglu_swapped,       tevo_reglu_split,       TEVO_GLU_OP_REGLU },
    { "geglu",       tevo_geglu,       tevo_geglu_swapped,       tevo_geglu_split,       TEVO_GLU_OP_GEGLU },
    { "swiglu",      tevo_swiglu,      tevo_swiglu_swapped,      tevo_swiglu_split,      TEVO_GLU_OP_SWIGLU },
    { "geglu_erf",   tevo_geglu_erf,   tevo_geglu_erf_swapped,   tevo_geglu_erf_split,   TEVO_GLU_OP_GEGLU_ERF },
    { "geglu_quick", tevo_geglu_quick, tevo_geglu_quick_swapped, tevo_geglu_quick_split, TEVO_GLU_OP_GEGLU_QUICK },
};

// a view whose elements are not packed: nb[0] is a row stride
tevo_tensor * unpacked_rows(Ctx & c, int64_t ne0, int64_t ne1) {
    return tevo_transpose(c.ctx, c.f32(ne1, ne0));
}

} // namespace

TEST(OpsUnary, NamedMembersStoreTheirSubOperator) {
    std::vector<Case> cases;
    for (const UnaryMember & m : k_unary) {
        const uint32_t word0 = (uint32_t) m.op;
        cases.push_back({ m.label,
                          [m](Ctx & c) {
                              tevo_tensor * a = c.t(TEVO_TYPE_F16, 6, 2, 3, 1, "x");
                              return Built{ m.fn(c.ctx, a), { a } };
                          },
                          { TEVO_TYPE_F16, { 6, 2, 3, 1 }, TEVO_OP_UNARY, { { 0, word0 } }, "" } });
        if (m.inplace) {
            cases.push_back({ m.label,
                              [m](Ctx & c) {
                                  tevo_tensor * a = c.t(TEVO_TYPE_F16, 6, 2, 3, 1, "x");
                                  return Built{ m.inplace(c.ctx, a), { a }, a };
                              },
                              { TEVO_TYPE_F16, { 6, 2, 3, 1 }, TEVO_OP_UNARY, { { 0, word0 } }, "x (view)" } });
        }
        cases.push_back({ "generic unary",
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(6, 2);
                              return Built{ tevo_unary(c.ctx, a, m.op), { a } };
                          },
                          { TEVO_TYPE_F32, { 6, 2, 1, 1 }, TEVO_OP_UNARY, { { 0, word0 } }, "" } });
        cases.push_back({ "generic unary_inplace",
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(6, 2, 1, 1, "y");
                              return Built{ tevo_unary_inplace(c.ctx, a, m.op), { a }, a };
                          },
                          { TEVO_TYPE_F32, { 6, 2, 1, 1 }, TEVO_OP_UNARY, { { 0, word0 } }, "y (view)" } });
    }
    run_table(cases);
}

TEST(OpsUnary, XieluStoresDerivedCoefficients) {
    const float softplus_0   = logf(expf(0.0f) + 1.0f); // log 2
    const float softplus_1_5 = logf(expf(1.5f) + 1.0f);
    std::vector<Case> cases = {
        // p1 above 20 is taken as is, no logarithm
        { "p1 = 30",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 2);
              return Built{ tevo_xielu(c.ctx, a, 30.0f, 1.5f, 0.25f, -1e-6f), { a } };
          },
          { TEVO_TYPE_F32,
            { 4, 2, 1, 1 },
            TEVO_OP_UNARY,
            { { 0, 17 }, { 1, f32_bits(0.25f + 30.0f) }, { 2, f32_bits(softplus_1_5) }, { 3, f32_bits(0.25f) },
              { 4, f32_bits(-1e-6f) } },
            "" } },
        { "p1 = 0",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 2);
              return Built{ tevo_xielu(c.ctx, a, 0.0f, 25.0f, 0.5f, 0.0f), { a } };
          },
          { TEVO_TYPE_F32,
            { 4, 2, 1, 1 },
            TEVO_OP_UNARY,
            { { 0, 17 }, { 1, f32_bits(0.5f + softplus_0) }, { 2, f32_bits(25.0f) }, { 3, f32_bits(0.5f) } },
            "" } },
        { "no row check",
          [](Ctx & c) {
              tevo_tensor * a = unpacked_rows(c, 4, 3);
              return Built{ tevo_xielu(c.ctx, a, 30.0f, 30.0f, 0.0f, 0.0f), { a } };
          },
          { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_UNARY, { { 0, 17 }, { 1, f32_bits(30.0f) }, { 2, f32_bits(30.0f) } },
            "" } },
    };
    run_table(cases);
}

TEST(OpsUnary, LeakyReluAndSiluBack) {
    std::vector<Case> cases = {
        { "leaky_relu",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 2);
              return Built{ tevo_leaky_relu(c.ctx, a, 0.125f, false), { a } };
          },
          { TEVO_TYPE_F32, { 4, 2, 1, 1 }, TEVO_OP_LEAKY_RELU, { { 0, f32_bits(0.125f) } }, "" } },
        { "leaky_relu in place, slope -0.0 keeps its sign bit",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 2, 1, 1, "x");
              return Built{ tevo_leaky_relu(c.ctx, a, -0.0f, true), { a }, a };
          },
          { TEVO_TYPE_F32, { 4, 2, 1, 1 }, TEVO_OP_LEAKY_RELU, { { 0, 0x80000000u } }, "x (view)" } },
        { "silu_back",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 2);
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_silu_back(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 4, 2, 1, 1 }, TEVO_OP_SILU_BACK, {}, "" } },
    };
    run_table(cases);
}

TEST(OpsUnary, GatedLinearUnits) {
    std::vector<Case> cases;
    for (const GluMember & m : k_glu) {
        const uint32_t word0 = (uint32_t) m.op;
        // an odd row of 7 halves to 3
        cases.push_back({ m.label,
                          [m](Ctx & c) {
                              tevo_tensor * a = c.t(TEVO_TYPE_F16, 7, 3, 2);
                              return Built{ m.plain(c.ctx, a), { a } };
                          },
                          { TEVO_TYPE_F16, { 3, 3, 2, 1 }, TEVO_OP_GLU, { { 0, word0 } }, "" } });
        cases.push_back({ m.label,
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(8, 3);
                              return Built{ m.swapped(c.ctx, a), { a } };
                          },
                          { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_GLU, { { 0, word0 }, { 1, 1 } }, "" } });
        cases.push_back({ m.label,
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(8, 3);
                              tevo_tensor * b = c.f32(8, 3);
                              return Built{ m.split(c.ctx, a, b), { a, b } };
                          },
                          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_GLU, { { 0, word0 } }, "" } });
        cases.push_back({ "glu swapped",
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(8, 3);
                              return Built{ tevo_glu(c.ctx, a, m.op, true), { a } };
                          },
                          { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_GLU, { { 0, word0 }, { 1, 1 } }, "" } });
    }
    cases.push_back({ "glu_split without b halves like glu",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(7, 3);
                          return Built{ tevo_glu_split(c.ctx, a, NULL, TEVO_GLU_OP_GEGLU), { a } };
                      },
                      { TEVO_TYPE_F32, { 3, 3, 1, 1 }, TEVO_OP_GLU, { { 0, 1 } }, "" } });
    cases.push_back({ "glu_split",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(7, 3);
                          tevo_tensor * b = c.f32(7, 3);
                          return Built{ tevo_glu_split(c.ctx, a, b, TEVO_GLU_OP_SWIGLU), { a, b } };
                      },
                      { TEVO_TYPE_F32, { 7, 3, 1, 1 }, TEVO_OP_GLU, { { 0, 2 } }, "" } });
    cases.push_back({ "swiglu_oai",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(8, 3);
                          tevo_tensor * b = c.f32(8, 3);
                          return Built{ tevo_swiglu_oai(c.ctx, a, b, 1.702f, 7.0f), { a, b } };
                      },
                      { TEVO_TYPE_F32,
                        { 8, 3, 1, 1 },
                        TEVO_OP_GLU,
                        { { 0, 3 }, { 2, f32_bits(1.702f) }, { 3, f32_bits(7.0f) } },
                        "" } });
    cases.push_back({ "swiglu_clamp leaves word 2",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(8, 3);
                          tevo_tensor * b = c.f32(8, 3);
                          return Built{ tevo_swiglu_clamp(c.ctx, a, b, 10.0f), { a, b } };
                      },
                      { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_GLU, { { 0, 6 }, { 3, f32_bits(10.0f) } }, "" } });
    cases.push_back({ "glu with padded rows",
                      [](Ctx & c) {
                          tevo_tensor * root = c.f32(10, 3);
                          tevo_tensor * a    = tevo_view_2d(c.ctx, root, 8, 3, root->nb[1], 0);
                          return Built{ tevo_swiglu(c.ctx, a), { a } };
                      },
                      { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_GLU, { { 0, 2 } }, "" } });
    run_table(cases);
}

TEST(OpsUnaryDeath, RowsMustBePacked) {
    for (const UnaryMember & m : k_unary) {
        SCOPED_TRACE(m.label);
        Ctx c;
        EXPECT_DEATH(m.fn(c.ctx, unpacked_rows(c, 4, 3)), assert_re("tevo_is_contiguous_rows(a)"));
        if (m.inplace) {
            EXPECT_DEATH(m.inplace(c.ctx, unpacked_rows(c, 4, 3)), assert_re("tevo_is_contiguous_rows(a)"));
        }
    }
}

TEST(OpsUnaryDeath, GatedLinearUnits) {
    run_deaths({
        { "one source, unpacked rows", [](Ctx & c) { tevo_swiglu(c.ctx, unpacked_rows(c, 8, 3)); },
          "tevo_is_contiguous_1(a)" },
        { "glu, unpacked rows", [](Ctx & c) { tevo_glu(c.ctx, unpacked_rows(c, 8, 3), TEVO_GLU_OP_REGLU, false); },
          "tevo_is_contiguous_1(a)" },
        { "split, unpacked a", [](Ctx & c) { tevo_swiglu_split(c.ctx, unpacked_rows(c, 8, 3), c.f32(8, 3)); },
          "tevo_is_contiguous_1(a)" },
        { "split, unpacked b", [](Ctx & c) { tevo_geglu_split(c.ctx, c.f32(8, 3), unpacked_rows(c, 8, 3)); },
          "tevo_is_contiguous_1(b)" },
        { "split, shapes differ", [](Ctx & c) { tevo_swiglu_split(c.ctx, c.f32(8, 3), c.f32(8, 4)); },
          "tevo_are_same_shape(a, b)" },
        { "split, types differ", [](Ctx & c) { tevo_swiglu_split(c.ctx, c.f32(8, 3), c.t(TEVO_TYPE_F16, 8, 3)); },
          "a->type == b->type" },
        { "oai, types differ", [](Ctx & c) { tevo_swiglu_oai(c.ctx, c.f32(8, 3), c.t(TEVO_TYPE_F16, 8, 3), 1, 1); },
          "a->type == b->type" },
    });
}
