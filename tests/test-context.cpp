// Contexts, objects and tensor records.

#include "core/impl.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Ctx {
    explicit Ctx(size_t size, bool no_alloc = false, void * buf = nullptr) {
        ctx = tevo_init({ size, buf, no_alloc });
    }
    ~Ctx() { tevo_free(ctx); }
    tevo_context * ctx;
};

TEST(Records, SizesAndFieldOffsets) {
    EXPECT_EQ(sizeof(tevo_object), 32u);
    EXPECT_EQ(TEVO_OBJECT_SIZE, 32u);
    EXPECT_EQ(sizeof(tevo_tensor), 336u);
    EXPECT_EQ(TEVO_TENSOR_SIZE, 336u);
    EXPECT_EQ(tevo_tensor_overhead(), 368u);

    EXPECT_EQ(offsetof(tevo_object, offs), 0u);
    EXPECT_EQ(offsetof(tevo_object, size), 8u);
    EXPECT_EQ(offsetof(tevo_object, next), 16u);
    EXPECT_EQ(offsetof(tevo_object, type), 24u);

    EXPECT_EQ(offsetof(tevo_tensor, type), 0u);
    EXPECT_EQ(offsetof(tevo_tensor, buffer), 8u);
    EXPECT_EQ(offsetof(tevo_tensor, ne), 16u);
    EXPECT_EQ(offsetof(tevo_tensor, nb), 48u);
    EXPECT_EQ(offsetof(tevo_tensor, op), 80u);
    EXPECT_EQ(offsetof(tevo_tensor, op_params), 84u);
    EXPECT_EQ(offsetof(tevo_tensor, flags), 148u);
    EXPECT_EQ(offsetof(tevo_tensor, src), 152u);
    EXPECT_EQ(offsetof(tevo_tensor, view_src), 232u);
    EXPECT_EQ(offsetof(tevo_tensor, view_offs), 240u);
    EXPECT_EQ(offsetof(tevo_tensor, data), 248u);
    EXPECT_EQ(offsetof(tevo_tensor, name), 256u);
    EXPECT_EQ(offsetof(tevo_tensor, extra), 320u);
}

TEST(Context, OwnedPoolIsRoundedAndCallerPoolIsKept) {
    Ctx a(1000);
    EXPECT_EQ(tevo_get_mem_size(a.ctx), 1008u);
    EXPECT_EQ((uintptr_t) tevo_get_mem_buffer(a.ctx) % 4096, 0u);
    EXPECT_EQ(tevo_used_mem(a.ctx), 0u);

    alignas(16) static char pool[1000];
    Ctx b(1000, false, pool);
    EXPECT_EQ(tevo_get_mem_size(b.ctx), 1000u);
    EXPECT_EQ(tevo_get_mem_buffer(b.ctx), pool);
}

TEST(Context, TensorsWithDataLieBehindTheirRecords) {
    Ctx c(1 << 16);
    tevo_tensor * t = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 3);
    EXPECT_EQ(t->data, (void *) (t + 1));
    EXPECT_EQ((uintptr_t) t->data % 16, 0u);
    EXPECT_EQ(tevo_used_mem(c.ctx), 32u + TEVO_PAD(336 + 60, 16));
    const size_t nb[4] = { 4, 20, 60, 60 };
    const int64_t ne[4] = { 5, 3, 1, 1 };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t->ne[i], ne[i]);
        EXPECT_EQ(t->nb[i], nb[i]);
    }
    EXPECT_EQ(t->op, TEVO_OP_NONE);
    EXPECT_EQ(t->buffer, nullptr);
    EXPECT_STREQ(t->name, "");
    for (int i = 0; i < 16; ++i) EXPECT_EQ(t->op_params[i], 0);
}

TEST(Context, NoAllocTensorsCostOnlyTheirRecord) {
    Ctx c(10 * tevo_tensor_overhead(), true);
    tevo_tensor * t = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4096, 4096);
    EXPECT_EQ(tevo_used_mem(c.ctx), 368u);
    EXPECT_EQ(t->data, nullptr);
    EXPECT_EQ(tevo_nbytes(t), (size_t) 4096 * 4096 * 4);
}

TEST(Context, BlockTypeStrides) {
    Ctx c(1 << 12, true);
    tevo_tensor * t = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q4_0, 64, 3);
    const size_t nb[4] = { 18, 36, 108, 108 };
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t->nb[i], nb[i]);
}

TEST(Context, ViewsPointAtTheRoot) {
    Ctx c(1 << 16);
    tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 64);
    tevo_set_name(a, "a");
    tevo_tensor * v1 = tevo_new_tensor_impl(c.ctx, TEVO_TYPE_F32, 1, &a->ne[0] - 0, a, 0);
    const int64_t n = 16;
    tevo_tensor * v2 = tevo_new_tensor_impl(c.ctx, TEVO_TYPE_F32, 1, &n, a, 32);
    tevo_tensor * v3 = tevo_new_tensor_impl(c.ctx, TEVO_TYPE_F32, 1, &n, v2, 16);
    EXPECT_EQ(v1->view_src, a);
    EXPECT_EQ(v3->view_src, a);
    EXPECT_EQ(v3->view_offs, 48u);
    EXPECT_EQ(v3->data, (char *) a->data + 48);

    tevo_tensor * w = tevo_view_tensor(c.ctx, v2);
    EXPECT_EQ(w->view_src, a);
    EXPECT_EQ(w->view_offs, 32u);
    EXPECT_STREQ(w->name, " (view)");
    tevo_tensor * av = tevo_view_tensor(c.ctx, a);
    EXPECT_STREQ(av->name, "a (view)");
    EXPECT_TRUE(tevo_is_view(av));
    EXPECT_FALSE(tevo_is_view(a));

    tevo_tensor * d = tevo_dup(c.ctx, a);
    EXPECT_EQ(d->op, TEVO_OP_DUP);
    EXPECT_EQ(d->src[0], a);
    EXPECT_EQ(d->view_src, nullptr);
    tevo_tensor * di = tevo_dup_inplace(c.ctx, a);
    EXPECT_EQ(di->view_src, a);
    EXPECT_EQ(di->src[0], a);
}

TEST(Context, ViewsInNoAllocContextsHaveNoData) {
    Ctx c(1 << 12, true);
    tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 64);
    tevo_tensor * v = tevo_view_tensor(c.ctx, a);
    EXPECT_EQ(v->data, nullptr);
}

TEST(Context, NamesAreCutAt63Characters) {
    Ctx c(1 << 12, true);
    tevo_tensor * t = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    const std::string long_name(100, 'n');
    tevo_set_name(t, long_name.c_str());
    EXPECT_EQ(std::string(tevo_get_name(t)), long_name.substr(0, 63));
    tevo_format_name(t, "%s (view)", long_name.c_str());
    EXPECT_EQ(std::string(t->name), long_name.substr(0, 63));
    tevo_format_name(t, "x%d", 5);
    EXPECT_STREQ(t->name, "x5");
}

TEST(Context, IterationSkipsOtherObjectsAndFindsByName) {
    Ctx c(1 << 14);
    tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_set_name(a, "a");
    void * buf = tevo_new_buffer(c.ctx, 100);
    ASSERT_NE(buf, nullptr);
    ASSERT_NE(tevo_new_object(c.ctx, TEVO_OBJECT_TYPE_GRAPH, 64), nullptr);
    tevo_tensor * b = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 8);
    tevo_set_name(b, "b");
    tevo_tensor * b2 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
    tevo_set_name(b2, "b");

    EXPECT_EQ(tevo_get_first_tensor(c.ctx), a);
    EXPECT_EQ(tevo_get_next_tensor(c.ctx, a), b);
    EXPECT_EQ(tevo_get_next_tensor(c.ctx, b), b2);
    EXPECT_EQ(tevo_get_next_tensor(c.ctx, b2), nullptr);
    EXPECT_EQ(tevo_get_tensor(c.ctx, "b"), b);
    EXPECT_EQ(tevo_get_tensor(c.ctx, "c"), nullptr);
    EXPECT_EQ(c.ctx->n_objects, 3);
    EXPECT_EQ(tevo_get_max_tensor_size(c.ctx), 32u);

    tevo_reset(c.ctx);
    EXPECT_EQ(tevo_get_first_tensor(c.ctx), nullptr);
    EXPECT_EQ(tevo_used_mem(c.ctx), 0u);
    EXPECT_EQ(c.ctx->n_objects, 0);
    tevo_tensor * again = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    EXPECT_EQ((void *) again, (void *) ((char *) tevo_get_mem_buffer(c.ctx) + 32));
}

TEST(Context, FullPoolGivesNoObject) {
    Ctx c(512);
    EXPECT_EQ(tevo_new_object(c.ctx, TEVO_OBJECT_TYPE_WORK_BUFFER, 481), nullptr);
    EXPECT_NE(tevo_new_object(c.ctx, TEVO_OBJECT_TYPE_WORK_BUFFER, 470), nullptr); // 480 + 32 fits
    EXPECT_EQ(tevo_new_object(c.ctx, TEVO_OBJECT_TYPE_WORK_BUFFER, 0), nullptr);
    EXPECT_EQ(tevo_new_object(c.ctx, TEVO_OBJECT_TYPE_WORK_BUFFER, SIZE_MAX - 100), nullptr);
}

TEST(Context, PrintObjects) {
    std::vector<std::string> lines;
    tevo_log_set([](tevo_log_level, const char * text, void * ud) {
        static_cast<std::vector<std::string> *>(ud)->push_back(text);
    }, &lines);
    Ctx c(1 << 12, true);
    tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    tevo_print_objects(c.ctx);
    tevo_log_set(nullptr, nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("tevo_print_objects: objects in context ", 0), 0u);
    EXPECT_EQ(lines[1].rfind(" - tevo_object: type = 0, offset = 32, size = 336, next = ", 0), 0u);
    EXPECT_EQ(lines[2], "tevo_print_objects: --- end ---\n");
}

tevo_context * make_ctx(size_t size, bool no_alloc, void * buf = nullptr) {
    return tevo_init({ size, buf, no_alloc });
}

const int64_t ones5[5] = { 1, 1, 1, 1, 1 };

class ContextDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("TEVO_NO_BACKTRACE", "1", 1); }
};

TEST_F(ContextDeathTest, TinyPoolIsExhaustedByTheFirstTensor) {
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(0, false);
            tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
        },
        "tevo_new_object: not enough space in the context's memory pool \\(needed 384, available 16\\)\n"
        "tevo/src/tevo:[0-9]+: TEVO_ASSERT\\(obj_new\\) failed\n");
}

TEST_F(ContextDeathTest, RetiredTypesAreRefused) {
    for (int type : { 4, 5, 31, 33, 36, 38 }) {
        EXPECT_DEATH(
            {
                tevo_context * ctx = make_ctx(4096, true);
                tevo_new_tensor_1d(ctx, (tevo_type) type, 32);
            },
            "tevo/src/tevo:[0-9]+: TEVO_ASSERT\\(tevo_blck_size\\(type\\) > 0\\) failed")
            << type;
    }
}

TEST_F(ContextDeathTest, BadArgumentsAreRefused) {
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, true);
            tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 48, 2);
        },
        "TEVO_ASSERT\\(ne\\[0\\] % tevo_blck_size\\(type\\) == 0\\) failed");
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, true);
            tevo_new_tensor_1d(ctx, TEVO_TYPE_COUNT, 1);
        },
        "TEVO_ASSERT\\(type >= 0 && type < TEVO_TYPE_COUNT\\) failed");
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, true);
            tevo_new_tensor(ctx, TEVO_TYPE_F32, 5, ones5);
        },
        "TEVO_ASSERT\\(n_dims >= 1 && n_dims <= TEVO_MAX_DIMS\\) failed");
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, true);
            tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, (int64_t) 1 << 40, (int64_t) 1 << 20, 1 << 10);
        },
        "TEVO_ASSERT\\(INT64_MAX / ne\\[i\\] > current_nelements\\) failed");
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, true);
            tevo_tensor * a = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 8);
            const int64_t n = 4;
            tevo_new_tensor_impl(ctx, TEVO_TYPE_F32, 1, &n, a, 20);
        },
        "TEVO_ASSERT\\(view_src == NULL \\|\\| data_size == 0 \\|\\| data_size \\+ view_offs <= "
        "tevo_nbytes\\(view_src\\)\\) failed");
}

// A negative extent is refused when the record is made, with or without
// data, naming the extent; an empty one is a tensor like any other.
TEST_F(ContextDeathTest, NegativeExtentIsRefusedInEveryContext) {
    struct Case {
        const char * label;
        int          n_dims;
        int64_t      ne[4];
        const char * message;
    };
    const Case cases[] = {
        { "1-D", 1, { -1, 1, 1, 1 }, "negative extent: ne\\[0\\] = -1" },
        { "2-D", 2, { 4, -3, 1, 1 }, "negative extent: ne\\[1\\] = -3" },
        { "3-D", 3, { 4, 0, -2, 1 }, "negative extent: ne\\[2\\] = -2" },
        { "4-D, most negative", 4, { 4, 3, 2, INT64_MIN }, "negative extent: ne\\[3\\] = -9223372036854775808" },
    };
    for (bool no_alloc : { true, false }) {
        for (const Case & c : cases) {
            SCOPED_TRACE(std::string(c.label) + (no_alloc ? ", no data" : ", with data"));
            EXPECT_DEATH(
                {
                    tevo_context * ctx = make_ctx(4096, no_alloc);
                    switch (c.n_dims) {
                        case 1: tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, c.ne[0]); break;
                        case 2: tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, c.ne[0], c.ne[1]); break;
                        case 3: tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, c.ne[0], c.ne[1], c.ne[2]); break;
                        default: tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, c.ne[0], c.ne[1], c.ne[2], c.ne[3]);
                    }
                },
                std::string("tevo/src/tevo:[0-9]+: ") + c.message + "\n");
        }
    }
    Ctx           c(4096, true);
    tevo_tensor * empty = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 0, 2);
    EXPECT_EQ(tevo_nelements(empty), 0);
    EXPECT_EQ(tevo_nbytes(empty), 0u);
}

// a byte size that wraps would reserve a few bytes for a huge tensor
TEST_F(ContextDeathTest, ByteSizeThatWrapsIsRefused) {
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, false);
            tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, ((int64_t) 1 << 62) + 1);
        },
        "TEVO_ASSERT\\(ne\\[0\\] <= 0 \\|\\| \\(size_t\\) ne\\[0\\] <= SIZE_MAX / tevo_type_size\\(type\\)\\) failed");
    EXPECT_DEATH(
        {
            tevo_context * ctx = make_ctx(4096, false);
            tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, (int64_t) 1 << 31, (int64_t) 1 << 31);
        },
        "TEVO_ASSERT\\(ne\\[i\\] <= 1 \\|\\| SIZE_MAX / ne\\[i\\] >= data_size\\) failed");
}

TEST_F(ContextDeathTest, MisalignedCallerPoolIsRefused) {
    alignas(16) static char pool[256];
    EXPECT_DEATH(make_ctx(128, false, pool + 4),
                 "TEVO_ASSERT\\(\\(\\(uintptr_t\\) \\(ctx->mem_buffer\\)\\)%TEVO_MEM_ALIGN == 0\\) failed");
}

} // namespace
