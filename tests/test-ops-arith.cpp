// Constructors of arithmetic, reductions, repetition and concatenation.

#include "test-ops-util.h"

using namespace opstest;

namespace {

typedef tevo_tensor * (*binary_fn)(tevo_context *, tevo_tensor *, tevo_tensor *);
typedef tevo_tensor * (*unary_fn)(tevo_context *, tevo_tensor *);

struct BinaryOp {
    const char * label;
    binary_fn    fn;
    tevo_op      op;
    bool         inplace;
};

const BinaryOp k_binary[] = {
    { "add",         tevo_add,          TEVO_OP_ADD, false },
    { "add_inplace", tevo_add_inplace,  TEVO_OP_ADD, true  },
    { "sub",         tevo_sub,          TEVO_OP_SUB, false },
    { "sub_inplace", tevo_sub_inplace,  TEVO_OP_SUB, true  },
    { "mul",         tevo_mul,          TEVO_OP_MUL, false },
    { "mul_inplace", tevo_mul_inplace,  TEVO_OP_MUL, true  },
    { "div",         tevo_div,          TEVO_OP_DIV, false },
    { "div_inplace", tevo_div_inplace,  TEVO_OP_DIV, true  },
};

struct UnaryOp {
    const char * label;
    unary_fn     fn;
    tevo_op      op;
    bool         inplace;
};

const UnaryOp k_elementwise[] = {
    { "sqr",          tevo_sqr,          TEVO_OP_SQR,  false },
    { "sqr_inplace",  tevo_sqr_inplace,  TEVO_OP_SQR,  true  },
    { "sqrt",         tevo_sqrt,         TEVO_OP_SQRT, false },
    { "sqrt_inplace", tevo_sqrt_inplace, TEVO_OP_SQRT, true  },
    { "log",          tevo_log,          TEVO_OP_LOG,  false },
    { "log_inplace",  tevo_log_inplace,  TEVO_OP_LOG,  true  },
    { "sin",          tevo_sin,          TEVO_OP_SIN,  false },
    { "sin_inplace",  tevo_sin_inplace,  TEVO_OP_SIN,  true  },
    { "cos",          tevo_cos,          TEVO_OP_COS,  false },
    { "cos_inplace",  tevo_cos_inplace,  TEVO_OP_COS,  true  },
};

} // namespace

TEST(OpsArith, BroadcastingBinaryOperators) {
    std::vector<Case> cases;
    for (const BinaryOp & o : k_binary) {
        // row broadcast, and b of another type: the result keeps a's type
        cases.push_back({ o.label,
                          [o](Ctx & c) {
                              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3, 2, 1, "a");
                              tevo_tensor * b = c.f32(8);
                              return Built{ o.fn(c.ctx, a, b), { a, b }, o.inplace ? a : nullptr };
                          },
                          { TEVO_TYPE_F16, { 8, 3, 2, 1 }, o.op, {}, o.inplace ? "a (view)" : "" } });
    }
    run_table(cases);
}

TEST(OpsArith, InplaceOfViewKeepsSourceAndStrides) {
    Ctx           c;
    tevo_tensor * root = c.f32(8, 6, 1, 1, "root");
    tevo_tensor * v    = tevo_view_2d(c.ctx, root, 4, 3, root->nb[1], 16);
    tevo_tensor * r    = tevo_mul_inplace(c.ctx, v, c.f32(4));
    EXPECT_EQ(r->src[0], v);
    EXPECT_EQ(r->view_src, root);
    EXPECT_EQ(r->view_offs, 16u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r->nb[i], v->nb[i]);
    }
}

TEST(OpsArith, OtherSums) {
    std::vector<Case> cases = {
        { "add_cast f16 to f32",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3);
              tevo_tensor * b = c.f32(8);
              return Built{ tevo_add_cast(c.ctx, a, b, TEVO_TYPE_F32), { a, b } };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_ADD, {}, "" } },
        { "add_cast q4_0 to bf16",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q4_0, 64, 3);
              tevo_tensor * b = c.f32(64, 3);
              return Built{ tevo_add_cast(c.ctx, a, b, TEVO_TYPE_BF16), { a, b } };
          },
          { TEVO_TYPE_BF16, { 64, 3, 1, 1 }, TEVO_OP_ADD, {}, "" } },
        { "add_id",
          [](Ctx & c) {
              tevo_tensor * a   = c.f32(8, 4, 3);
              tevo_tensor * b   = c.f32(8, 5);
              tevo_tensor * ids = c.t(TEVO_TYPE_I32, 4, 3);
              return Built{ tevo_add_id(c.ctx, a, b, ids), { a, b, ids } };
          },
          { TEVO_TYPE_F32, { 8, 4, 3, 1 }, TEVO_OP_ADD_ID, {}, "" } },
        { "add1",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3);
              tevo_tensor * b = c.f32(1);
              return Built{ tevo_add1(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F16, { 8, 3, 1, 1 }, TEVO_OP_ADD1, {}, "" } },
        { "add1_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3, 1, 1, "a");
              tevo_tensor * b = c.f32(1);
              return Built{ tevo_add1_inplace(c.ctx, a, b), { a, b }, a };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_ADD1, {}, "a (view)" } },
        { "acc",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2);
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_acc(c.ctx, a, b, 32, 128, 256, 8), { a, b } };
          },
          { TEVO_TYPE_F32, { 8, 4, 2, 1 }, TEVO_OP_ACC, { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 8 } }, "" } },
        { "acc_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2, 1, "a");
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_acc_inplace(c.ctx, a, b, 32, 128, 256, 8), { a, b }, a };
          },
          { TEVO_TYPE_F32,
            { 8, 4, 2, 1 },
            TEVO_OP_ACC,
            { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 8 }, { 4, 1 } },
            "a (view)" } },
        { "acc window ending exactly at a's end",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4); // 128 bytes
              tevo_tensor * b = c.f32(4, 2); // 80 + 16 + 32 = 128
              return Built{ tevo_acc(c.ctx, a, b, 32, 64, 64, 80), { a, b } };
          },
          { TEVO_TYPE_F32, { 8, 4, 1, 1 }, TEVO_OP_ACC, { { 0, 32 }, { 1, 64 }, { 2, 64 }, { 3, 80 } }, "" } },
    };
    run_table(cases);
}

TEST(OpsArith, ElementwiseFunctions) {
    std::vector<Case> cases;
    for (const UnaryOp & o : k_elementwise) {
        cases.push_back({ o.label,
                          [o](Ctx & c) {
                              tevo_tensor * a = c.t(TEVO_TYPE_BF16, 5, 3, 1, 1, "x");
                              return Built{ o.fn(c.ctx, a), { a }, o.inplace ? a : nullptr };
                          },
                          { TEVO_TYPE_BF16, { 5, 3, 1, 1 }, o.op, {}, o.inplace ? "x (view)" : "" } });
    }
    run_table(cases);
}

TEST(OpsArith, Reductions) {
    std::vector<Case> cases = {
        { "sum keeps the type",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3, 2);
              return Built{ tevo_sum(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F16, { 1, 1, 1, 1 }, TEVO_OP_SUM, {}, "" } },
        { "sum_rows",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3, 2, 5);
              return Built{ tevo_sum_rows(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F16, { 1, 3, 2, 5 }, TEVO_OP_SUM_ROWS, {}, "" } },
        { "mean is f32",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 3, 2, 5);
              return Built{ tevo_mean(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F32, { 1, 3, 2, 5 }, TEVO_OP_MEAN, {}, "" } },
        { "cumsum",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3, 2);
              return Built{ tevo_cumsum(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F32, { 8, 3, 2, 1 }, TEVO_OP_CUMSUM, {}, "" } },
        { "argmax: one index per row",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3);
              return Built{ tevo_argmax(c.ctx, a), { a } };
          },
          { TEVO_TYPE_I32, { 3, 1, 1, 1 }, TEVO_OP_ARGMAX, {}, "" } },
        { "count_equal",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_I32, 8, 3);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 8, 3);
              return Built{ tevo_count_equal(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_I64, { 1, 1, 1, 1 }, TEVO_OP_COUNT_EQUAL, {}, "" } },
    };
    run_table(cases);
}

TEST(OpsArith, RepeatAndConcat) {
    std::vector<Case> cases = {
        { "repeat: b is shape only",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 2, 1);
              tevo_tensor * b = c.f32(4, 3);
              return Built{ tevo_repeat(c.ctx, a, b), { a } };
          },
          { TEVO_TYPE_F16, { 4, 3, 1, 1 }, TEVO_OP_REPEAT, {}, "" } },
        { "repeat of empty to empty",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(0, 1);
              tevo_tensor * b = c.f32(0, 4);
              return Built{ tevo_repeat(c.ctx, a, b), { a } };
          },
          { TEVO_TYPE_F32, { 0, 4, 1, 1 }, TEVO_OP_REPEAT, {}, "" } },
        { "repeat_4d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(2, 1);
              return Built{ tevo_repeat_4d(c.ctx, a, 4, 3, 2, 1), { a } };
          },
          { TEVO_TYPE_F32, { 4, 3, 2, 1 }, TEVO_OP_REPEAT, {}, "" } },
        { "repeat_4d of empty to any extents",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(0, 3);
              return Built{ tevo_repeat_4d(c.ctx, a, 5, 7, 1, 1), { a } };
          },
          { TEVO_TYPE_F32, { 5, 7, 1, 1 }, TEVO_OP_REPEAT, {}, "" } },
        { "repeat_back",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3);
              tevo_tensor * b = c.f32(2, 1);
              return Built{ tevo_repeat_back(c.ctx, a, b), { a } };
          },
          { TEVO_TYPE_F32, { 2, 1, 1, 1 }, TEVO_OP_REPEAT_BACK, {}, "" } },
        { "concat along dim 1",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(3, 2);
              tevo_tensor * b = c.f32(3, 5);
              return Built{ tevo_concat(c.ctx, a, b, 1), { a, b } };
          },
          { TEVO_TYPE_F32, { 3, 7, 1, 1 }, TEVO_OP_CONCAT, { { 0, 1 } }, "" } },
        { "concat along dim 3",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q8_0, 32, 2, 1, 2);
              tevo_tensor * b = c.t(TEVO_TYPE_Q8_0, 32, 2, 1, 3);
              return Built{ tevo_concat(c.ctx, a, b, 3), { a, b } };
          },
          { TEVO_TYPE_Q8_0, { 32, 2, 1, 5 }, TEVO_OP_CONCAT, { { 0, 3 } }, "" } },
    };
    run_table(cases);
}

// ---------------------------------------------------------------------------
// refused shapes

TEST(OpsArithDeath, BinaryOperatorsNeedRepeatableB) {
    for (const BinaryOp & o : k_binary) {
        SCOPED_TRACE(o.label);
        Ctx c;
        EXPECT_DEATH(o.fn(c.ctx, c.f32(4, 3), c.f32(8)), assert_re("tevo_can_repeat(b, a)"));
    }
}

TEST(OpsArithDeath, Sums) {
    run_deaths({
        { "add_cast rows differ", [](Ctx & c) { tevo_add_cast(c.ctx, c.t(TEVO_TYPE_F16, 8, 2), c.f32(4), TEVO_TYPE_F32); },
          "tevo_can_repeat_rows(b, a)" },
        { "add_cast of f32", [](Ctx & c) { tevo_add_cast(c.ctx, c.f32(8, 2), c.f32(8), TEVO_TYPE_F16); },
          "tevo_is_quantized(a->type) || a->type == TEVO_TYPE_F16 || a->type == TEVO_TYPE_BF16" },
        { "add_id row length", [](Ctx & c) { tevo_add_id(c.ctx, c.f32(8, 4, 3), c.f32(7, 5), c.t(TEVO_TYPE_I32, 4, 3)); },
          "a->ne[0] == b->ne[0]" },
        { "add_id ids rows", [](Ctx & c) { tevo_add_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 5), c.t(TEVO_TYPE_I32, 5, 3)); },
          "a->ne[1] == ids->ne[0]" },
        { "add_id ids cols", [](Ctx & c) { tevo_add_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 5), c.t(TEVO_TYPE_I32, 4, 2)); },
          "a->ne[2] == ids->ne[1]" },
        { "add_id ids type", [](Ctx & c) { tevo_add_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 5), c.t(TEVO_TYPE_I64, 4, 3)); },
          "ids->type == TEVO_TYPE_I32" },
        { "add1 of a non-scalar", [](Ctx & c) { tevo_add1(c.ctx, c.f32(8, 2), c.f32(2)); }, "tevo_is_scalar(b)" },
        { "add1 of a transposed a", [](Ctx & c) { tevo_add1(c.ctx, tevo_transpose(c.ctx, c.f32(8, 2)), c.f32(1)); },
          "tevo_is_padded_1d(a)" },
    });
}

TEST(OpsArithDeath, Acc) {
    run_deaths({
        { "b larger", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.f32(5), 16, 16, 16, 0); },
          "tevo_nelements(b) <= tevo_nelements(a)" },
        { "a not contiguous", [](Ctx & c) { tevo_acc(c.ctx, tevo_transpose(c.ctx, c.f32(4, 2)), c.f32(2), 8, 8, 8, 0); },
          "tevo_is_contiguous(a)" },
        { "a f16", [](Ctx & c) { tevo_acc(c.ctx, c.t(TEVO_TYPE_F16, 4), c.f32(2), 8, 8, 8, 0); },
          "a->type == TEVO_TYPE_F32" },
        { "b f16", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.t(TEVO_TYPE_F16, 2), 8, 8, 8, 0); },
          "b->type == TEVO_TYPE_F32" },
        // 32-bit parameter words: values beyond INT32_MAX (or negative ones
        // passed through size_t) would be truncated into wrong addresses
        { "nb1 beyond 31 bits", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.f32(2), (size_t) 1 << 31, 8, 8, 0); },
          "nb1 <= INT32_MAX" },
        { "negative nb2", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.f32(2), 8, (size_t) -8, 8, 0); },
          "nb2 <= INT32_MAX" },
        { "nb3 beyond 31 bits", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.f32(2), 8, 8, (size_t) 1 << 32, 0); },
          "nb3 <= INT32_MAX" },
        { "offset beyond 31 bits", [](Ctx & c) { tevo_acc(c.ctx, c.f32(4), c.f32(2), 8, 8, 8, (size_t) 1 << 32); },
          "offset <= INT32_MAX" },
        { "window one byte past the end",
          [](Ctx & c) { tevo_acc(c.ctx, c.f32(8, 4), c.f32(4, 2), 32, 64, 64, 81); },
          "tevo_window_fits(a, b, nb1, nb2, nb3, offset)" },
        { "window rows past the end",
          [](Ctx & c) { tevo_acc(c.ctx, c.f32(8, 4), c.f32(4, 2), 128, 256, 256, 0); },
          "tevo_window_fits(a, b, nb1, nb2, nb3, offset)" },
    });
}

TEST(OpsArithDeath, ReductionsAndRepeat) {
    run_deaths({
        { "cumsum f16", [](Ctx & c) { tevo_cumsum(c.ctx, c.t(TEVO_TYPE_F16, 4)); }, "a->type == TEVO_TYPE_F32" },
        { "argmax of 3-d", [](Ctx & c) { tevo_argmax(c.ctx, c.f32(4, 3, 2)); }, "tevo_is_matrix(a)" },
        { "argmax of 2^31 columns", [](Ctx & c) { tevo_argmax(c.ctx, c.f32((int64_t) 1 << 31, 2)); },
          "a->ne[0] <= INT32_MAX" },
        { "count_equal shapes", [](Ctx & c) { tevo_count_equal(c.ctx, c.f32(4, 3), c.f32(3, 4)); },
          "tevo_are_same_shape(a, b)" },
        { "repeat of empty to non-empty", [](Ctx & c) { tevo_repeat(c.ctx, c.f32(0, 1), c.f32(4, 4)); },
          "tevo_can_repeat(a, b)" },
        { "repeat to a non-multiple", [](Ctx & c) { tevo_repeat(c.ctx, c.f32(2, 1), c.f32(5, 3)); },
          "tevo_can_repeat(a, b)" },
        { "repeat_4d to a non-multiple", [](Ctx & c) { tevo_repeat_4d(c.ctx, c.f32(2, 2), 4, 3, 1, 1); },
          "can_repeat" },
        { "repeat_back", [](Ctx & c) { tevo_repeat_back(c.ctx, c.f32(4, 3), c.f32(3, 1)); }, "tevo_can_repeat(b, a)" },
    });
}

TEST(OpsArithDeath, Concat) {
    run_deaths({
        // the range is checked before the types are compared
        { "dim -1", [](Ctx & c) { tevo_concat(c.ctx, c.f32(3, 2), c.t(TEVO_TYPE_F16, 3, 2), -1); },
          "dim >= 0 && dim < TEVO_MAX_DIMS" },
        { "dim 4", [](Ctx & c) { tevo_concat(c.ctx, c.f32(3, 2), c.t(TEVO_TYPE_F16, 3, 2), 4); },
          "dim >= 0 && dim < TEVO_MAX_DIMS" },
        { "types differ", [](Ctx & c) { tevo_concat(c.ctx, c.f32(3, 2), c.t(TEVO_TYPE_F16, 3, 2), 0); },
          "a->type == b->type" },
        { "other extent differs", [](Ctx & c) { tevo_concat(c.ctx, c.f32(3, 2), c.f32(4, 2), 1); },
          "a->ne[d] == b->ne[d]" },
    });
}
