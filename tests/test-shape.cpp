// Operator names and the shape and layout queries.

#include "core/impl.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// a record with hand-set extents and strides; only the fields the queries read
tevo_tensor make(tevo_type type, std::initializer_list<int64_t> ne, std::initializer_list<size_t> nb = {}) {
    tevo_tensor t;
    memset(&t, 0, sizeof(t));
    t.type = type;
    int i = 0;
    for (int64_t v : ne) t.ne[i++] = v;
    for (; i < 4; ++i) t.ne[i] = 1;
    if (nb.size() == 0) {
        t.nb[0] = tevo_type_size(type);
        t.nb[1] = t.nb[0] * (t.ne[0] / tevo_blck_size(type));
        for (int d = 2; d < 4; ++d) t.nb[d] = t.nb[d - 1] * t.ne[d - 1];
    } else {
        int d = 0;
        for (size_t v : nb) t.nb[d++] = v;
    }
    return t;
}

TEST(OpNames, TablesAreCompleteAndDistinct) {
    std::set<std::string> names;
    for (int op = 0; op < TEVO_OP_COUNT; ++op) {
        ASSERT_NE(tevo_op_name((tevo_op) op), nullptr);
        ASSERT_NE(tevo_op_symbol((tevo_op) op), nullptr);
        names.insert(tevo_op_name((tevo_op) op));
    }
    EXPECT_EQ(names.size(), 101u);
    EXPECT_STREQ(tevo_op_name(TEVO_OP_NONE), "NONE");
    EXPECT_STREQ(tevo_op_name(TEVO_OP_MUL_MAT), "MUL_MAT");
    EXPECT_STREQ(tevo_op_symbol(TEVO_OP_MUL_MAT), "X*Y");
    EXPECT_STREQ(tevo_op_name(TEVO_OP_FLASH_ATTN_EXT), "FLASH_ATTN_EXT");
    EXPECT_STREQ(tevo_op_symbol(TEVO_OP_SET), "y-\\>view(x)");
    EXPECT_STREQ(tevo_op_symbol(TEVO_OP_SOLVE_TRI), "A X = B, A triangular, solve X");
    EXPECT_STREQ(tevo_op_name(TEVO_OP_GLU), "GLU");
    EXPECT_EQ((int) TEVO_OP_GLU, 100);
    EXPECT_EQ((int) TEVO_OP_UNARY, 91);
    EXPECT_STREQ(tevo_unary_op_name(TEVO_UNARY_OP_ABS), "ABS");
    EXPECT_STREQ(tevo_unary_op_name(TEVO_UNARY_OP_TRUNC), "TRUNC");
    EXPECT_STREQ(tevo_glu_op_name(TEVO_GLU_OP_REGLU), "REGLU");
    EXPECT_STREQ(tevo_glu_op_name(TEVO_GLU_OP_SWIGLU_CLAMP), "SWIGLU_CLAMP");
}

TEST(OpNames, DescriptionUsesTheSubOperator) {
    tevo_tensor t = make(TEVO_TYPE_F32, { 4 });
    t.op = TEVO_OP_GLU;
    t.op_params[0] = 2;
    EXPECT_STREQ(tevo_op_desc(&t), "SWIGLU");
    t.op = TEVO_OP_UNARY;
    t.op_params[0] = 10;
    EXPECT_STREQ(tevo_op_desc(&t), "SILU");
    t.op = TEVO_OP_ADD;
    EXPECT_STREQ(tevo_op_desc(&t), "ADD");
}

TEST(OpNamesDeathTest, SubOperatorOfTheWrongOperator) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_tensor t = make(TEVO_TYPE_F32, { 4 });
    t.op = TEVO_OP_ADD;
    EXPECT_DEATH(tevo_get_unary_op(&t), "TEVO_ASSERT\\(tensor->op == TEVO_OP_UNARY\\) failed");
    EXPECT_DEATH(tevo_get_glu_op(&t), "TEVO_ASSERT\\(tensor->op == TEVO_OP_GLU\\) failed");
}

TEST(Shape, CountsAndSizes) {
    tevo_tensor a = make(TEVO_TYPE_F32, { 3, 4, 5, 6 });
    EXPECT_EQ(tevo_nelements(&a), 360);
    EXPECT_EQ(tevo_nrows(&a), 120);
    EXPECT_EQ(tevo_nbytes(&a), 1440u);
    EXPECT_EQ(tevo_nbytes_pad(&a), 1440u);
    EXPECT_EQ(tevo_element_size(&a), 4u);

    tevo_tensor e = make(TEVO_TYPE_F32, { 0, 3 });
    EXPECT_EQ(tevo_nbytes(&e), 0u);
    tevo_tensor q = make(TEVO_TYPE_Q4_0, { 64, 2 });
    EXPECT_EQ(tevo_nbytes(&q), 72u);
    tevo_tensor h = make(TEVO_TYPE_F16, { 3 });
    EXPECT_EQ(tevo_nbytes_pad(&h), 16u);

    // a transposed view covers the same bytes
    tevo_tensor tr = make(TEVO_TYPE_F32, { 4, 3 }, { 12, 4, 48, 48 });
    EXPECT_EQ(tevo_nbytes(&tr), 48u);
}

TEST(Shape, Dims) {
    struct Case { std::initializer_list<int64_t> ne; int dims; };
    const Case cases[] = { { { 7 }, 1 }, { { 7, 1, 2 }, 3 }, { { 1, 2 }, 2 }, { { 1, 1, 1, 2 }, 4 }, { { 1 }, 1 } };
    for (const Case & c : cases) {
        tevo_tensor t = make(TEVO_TYPE_F32, c.ne);
        EXPECT_EQ(tevo_n_dims(&t), c.dims);
    }
}

TEST(Shape, Unravel) {
    tevo_tensor t = make(TEVO_TYPE_F32, { 3, 4, 5, 6 });
    int64_t i0 = -1, i1 = -1, i2 = -1, i3 = -1;
    const int64_t idx = 2 + 3 * 3 + 4 * 12 + 5 * 60;
    tevo_unravel_index(&t, idx, &i0, &i1, &i2, &i3);
    EXPECT_EQ(i0, 2);
    EXPECT_EQ(i1, 3);
    EXPECT_EQ(i2, 4);
    EXPECT_EQ(i3, 5);
    tevo_unravel_index(&t, idx, nullptr, nullptr, nullptr, nullptr);
    i1 = -7;
    tevo_unravel_index(&t, idx, nullptr, &i1, nullptr, nullptr);
    EXPECT_EQ(i1, 3);
}

TEST(Shape, Predicates) {
    tevo_tensor s = make(TEVO_TYPE_F32, { 1 });
    tevo_tensor v = make(TEVO_TYPE_F32, { 5 });
    tevo_tensor m = make(TEVO_TYPE_F32, { 5, 2 });
    tevo_tensor c3 = make(TEVO_TYPE_F32, { 5, 2, 3 });
    tevo_tensor c4 = make(TEVO_TYPE_F32, { 5, 2, 3, 2 });
    EXPECT_TRUE(tevo_is_scalar(&s));
    EXPECT_FALSE(tevo_is_scalar(&v));
    EXPECT_TRUE(tevo_is_vector(&v));
    EXPECT_FALSE(tevo_is_vector(&m));
    EXPECT_TRUE(tevo_is_matrix(&m));
    EXPECT_FALSE(tevo_is_matrix(&c3));
    EXPECT_TRUE(tevo_is_3d(&c3));
    EXPECT_FALSE(tevo_is_3d(&c4));
    tevo_tensor e = make(TEVO_TYPE_F32, { 5, 0 });
    EXPECT_TRUE(tevo_is_empty(&e));
    EXPECT_FALSE(tevo_is_empty(&m));
    EXPECT_TRUE(tevo_are_same_shape(&c3, &c3));
    EXPECT_FALSE(tevo_are_same_shape(&c3, &c4));
    EXPECT_TRUE(tevo_are_same_stride(&m, &m));
}

TEST(Shape, CanRepeat) {
    tevo_tensor a = make(TEVO_TYPE_F32, { 1, 3 });
    tevo_tensor b = make(TEVO_TYPE_F32, { 4, 6 });
    tevo_tensor c = make(TEVO_TYPE_F32, { 4, 5 });
    tevo_tensor e = make(TEVO_TYPE_F32, { 0, 3 });
    tevo_tensor e2 = make(TEVO_TYPE_F32, { 4, 0 });
    EXPECT_TRUE(tevo_can_repeat(&a, &b));
    EXPECT_FALSE(tevo_can_repeat(&a, &c));
    EXPECT_TRUE(tevo_can_repeat(&e, &e2));
    EXPECT_FALSE(tevo_can_repeat(&e, &b));
    EXPECT_TRUE(tevo_can_repeat(&a, &e2)); // 0 is a multiple of anything
}

TEST(Shape, ContiguityFamily) {
    struct Case {
        const char * what;
        tevo_tensor t;
        bool cont, cont1, cont2, to2, to3, rows, transposed, permuted, alloc;
    };
    const Case cases[] = {
        { "packed", make(TEVO_TYPE_F32, { 4, 3, 2 }), true, true, true, true, true, true, false, false, true },
        { "one-element rows, odd stride", make(TEVO_TYPE_F32, { 1, 5 }, { 12, 4, 20, 20 }),
          true, true, true, true, true, true, true, true, true },
        { "transposed", make(TEVO_TYPE_F32, { 3, 4 }, { 16, 4, 48, 48 }),
          false, false, false, false, false, false, true, true, true },
        { "padded rows", make(TEVO_TYPE_F32, { 4, 3, 2 }, { 4, 32, 96, 192 }),
          false, true, true, false, false, true, false, false, false },
        { "gap between planes", make(TEVO_TYPE_F32, { 4, 3, 2, 2 }, { 4, 16, 64, 128 }),
          false, false, true, true, false, true, false, false, false },
        { "strided volumes", make(TEVO_TYPE_F32, { 4, 3, 2, 2 }, { 4, 16, 48, 200 }),
          false, false, false, true, true, true, false, false, false },
        { "q4_0 one block per row", make(TEVO_TYPE_Q4_0, { 32, 3 }, { 18, 18, 54, 54 }),
          true, true, true, true, true, true, false, false, true },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tevo_is_contiguous(&c.t), c.cont);
        EXPECT_EQ(tevo_is_contiguous_0(&c.t), c.cont);
        EXPECT_EQ(tevo_is_contiguous_1(&c.t), c.cont1);
        EXPECT_EQ(tevo_is_contiguous_2(&c.t), c.cont2);
        EXPECT_EQ(tevo_is_contiguous_to_2(&c.t), c.to2);
        EXPECT_EQ(tevo_is_contiguous_to_3(&c.t), c.to3);
        EXPECT_EQ(tevo_is_contiguous_rows(&c.t), c.rows);
        EXPECT_EQ(tevo_is_contiguous_to_1(&c.t), c.rows);
        EXPECT_EQ(tevo_is_transposed(&c.t), c.transposed);
        EXPECT_EQ(tevo_is_permuted(&c.t), c.permuted);
        EXPECT_EQ(tevo_is_contiguously_allocated(&c.t), c.alloc);
    }
}

TEST(Shape, ChannelsInnermost) {
    // [W, H, C] stored with C fastest
    tevo_tensor t = make(TEVO_TYPE_F32, { 5, 4, 3 }, { 12, 60, 4, 240 });
    EXPECT_TRUE(tevo_is_contiguous_channels(&t));
    tevo_tensor p = make(TEVO_TYPE_F32, { 5, 4, 3 });
    EXPECT_FALSE(tevo_is_contiguous_channels(&p));
}

} // namespace
