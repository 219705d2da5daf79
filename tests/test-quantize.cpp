// Chunked quantization entry points and the worker-pool parameter record.

#include "core/impl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(QuantizeChunk, FloatTypesWriteTheirRows) {
    std::vector<float> src(12);
    for (int i = 0; i < 12; ++i) src[i] = 0.5f * i - 2.0f;

    std::vector<tevo_fp16_t> h(12, 0xFFFF);
    EXPECT_EQ(tevo_quantize_chunk(TEVO_TYPE_F16, src.data(), h.data(), 0, 3, 4, nullptr), 24u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(h[i], tevo_fp32_to_fp16(src[i]));

    // a later chunk lands at its own rows
    std::vector<tevo_bf16_t> b(12, tevo_bf16_t{ 0xFFFF });
    EXPECT_EQ(tevo_quantize_chunk(TEVO_TYPE_BF16, src.data(), b.data(), 8, 1, 4, nullptr), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b[i].bits, 0xFFFF);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(b[i].bits, tevo_fp32_to_bf16(src[i]).bits);

    std::vector<float> f(12, 9.0f);
    EXPECT_EQ(tevo_quantize_chunk(TEVO_TYPE_F32, src.data(), f.data(), 4, 2, 4, nullptr), 32u);
    EXPECT_EQ(f[0], 9.0f);
    for (int i = 4; i < 12; ++i) EXPECT_EQ(f[i], src[i]);
}

TEST(QuantizeChunk, ImportanceWeightRequirement) {
    EXPECT_TRUE(tevo_quantize_requires_imatrix(TEVO_TYPE_IQ2_XXS));
    EXPECT_TRUE(tevo_quantize_requires_imatrix(TEVO_TYPE_IQ2_XS));
    EXPECT_TRUE(tevo_quantize_requires_imatrix(TEVO_TYPE_IQ1_S));
    EXPECT_FALSE(tevo_quantize_requires_imatrix(TEVO_TYPE_IQ1_M));
    EXPECT_FALSE(tevo_quantize_requires_imatrix(TEVO_TYPE_Q4_0));
}

TEST(QuantizeChunkDeathTest, BadRequestsAreFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    float src[512] = {};
    char dst[2048];
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_IQ1_S, src, dst, 0, 1, 256, nullptr),
                 "TEVO_ASSERT\\(imatrix != NULL\\) failed");
    // a multiple of the block size but not of the row length
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_F16, src, dst, 4, 1, 8, nullptr),
                 "TEVO_ASSERT\\(start % n_per_row == 0\\) failed");
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_Q8_0, src, dst, 16, 1, 32, nullptr),
                 "TEVO_ASSERT\\(start % type_traits\\[type\\]\\.blck_size == 0\\) failed");
    // a retired type is refused before its block size of 0 is divided by
    EXPECT_DEATH(tevo_quantize_chunk((tevo_type) 4, src, dst, 0, 1, 4, nullptr),
                 "TEVO_ASSERT\\(tevo_blck_size\\(type\\) > 0\\) failed");
    // an empty row length is refused at a start that is not 0, and not divided by
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_F32, src, dst, 4, 1, 0, nullptr),
                 "TEVO_ASSERT\\(start % n_per_row == 0\\) failed");
    // types that cannot be stored by a chunk
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_I32, src, dst, 0, 1, 4, nullptr),
                 "TEVO_ASSERT\\(result == nrows \\* row_size\\) failed");
}

TEST(ThreadpoolParams, DefaultsAndMatching) {
    tevo_threadpool_params p = tevo_threadpool_params_default(8);
    EXPECT_EQ(p.n_threads, 8);
    EXPECT_EQ(p.poll_rounds, 50u);
    EXPECT_EQ(p.priority, TEVO_SCHED_PRIO_NORMAL);
    EXPECT_FALSE(p.strict_placement);
    EXPECT_FALSE(p.paused);
    for (bool b : p.cpumask) EXPECT_FALSE(b);

    tevo_threadpool_params q;
    tevo_threadpool_params_init(&q, 8);
    q.paused = true;
    EXPECT_TRUE(tevo_threadpool_params_match(&p, &q));
    q.cpumask[511] = true;
    EXPECT_FALSE(tevo_threadpool_params_match(&p, &q));
    q.cpumask[511] = false;
    q.poll_rounds = 0;
    EXPECT_FALSE(tevo_threadpool_params_match(&p, &q));
    q.poll_rounds = 50;
    q.priority = TEVO_SCHED_PRIO_HIGH;
    EXPECT_FALSE(tevo_threadpool_params_match(&p, &q));

    // a priority outside the list compares as the integer stored
    const int32_t seven = 7;
    memcpy(&p.priority, &seven, sizeof(seven));
    memcpy(&q.priority, &seven, sizeof(seven));
    EXPECT_TRUE(tevo_threadpool_params_match(&p, &q));
    q.priority = TEVO_SCHED_PRIO_LOW;
    EXPECT_FALSE(tevo_threadpool_params_match(&p, &q));
}

TEST(OpParams, WordEncoding) {
    tevo_context * ctx = tevo_init({ 4096, nullptr, true });
    tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    tevo_set_op_params_f32(t, 1, -0.0f);
    EXPECT_EQ((uint32_t) t->op_params[1], 0x80000000u);
    EXPECT_EQ(t->op_params[0], 0);
    tevo_set_op_params_f32(t, 2, 1.0f);
    EXPECT_EQ((uint32_t) t->op_params[2], 0x3F800000u);
    EXPECT_EQ(tevo_get_op_params_f32(t, 2), 1.0f);

    const uint64_t offs = ((uint64_t) 5 << 32) | 0x89ABCDEFu;
    tevo_set_op_params_u64(t, 4, offs);
    EXPECT_EQ((uint32_t) t->op_params[4], 0x89ABCDEFu);
    EXPECT_EQ(t->op_params[5], 5);
    EXPECT_EQ(tevo_get_op_params_u64(t, 4), offs);

    const int32_t words[3] = { 7, -1, 9 };
    tevo_set_op_params(t, words, sizeof(words));
    EXPECT_EQ(tevo_get_op_params_i32(t, 0), 7);
    EXPECT_EQ(tevo_get_op_params_i32(t, 1), -1);
    tevo_free(ctx);
}

TEST(OpParamsDeathTest, BlockWritesAreChecked) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    int32_t words[17] = {};
    EXPECT_DEATH(tevo_set_op_params(nullptr, words, 4), "^tevo/src/tevo-impl:[0-9]+: TEVO_ASSERT\\(tensor != NULL\\) failed");
    tevo_tensor t;
    EXPECT_DEATH(tevo_set_op_params(&t, words, sizeof(words)), "tevo/src/tevo-impl:[0-9]+: TEVO_ASSERT");
}

} // namespace
