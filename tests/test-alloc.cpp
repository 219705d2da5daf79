// Placing tensors: the offset planner (best fit, merging, chunks), the
// linear allocator, the graph allocator (in-place reuse, release, buffers
// per slot, re-planning) and the chunked placement of a context's tensors.

#include "test-backend-mock.h"

#include "tevo-alloc.h"
#include "backend/impl.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "core/impl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

using mock::assert_text;
using mock::fatal;

namespace {

// ---------------------------------------------------------------------------
// offset planner

struct Planner {
    tevo_dyn_tallocr * alloc;

    Planner(size_t alignment, size_t max_size) : alloc(tevo_dyn_tallocr_new(alignment, max_size)) {}
    ~Planner() { tevo_dyn_tallocr_free(alloc); }

    tevo_buffer_address take(size_t size) { return tevo_dyn_tallocr_alloc(alloc, size, nullptr); }
    void give(tevo_buffer_address a, size_t size) { tevo_dyn_tallocr_free_range(alloc, a, size, nullptr); }

    const tevo_tallocr_chunk & chunk(int i) const { return *alloc->chunks[i]; }
};

void expect_addr(tevo_buffer_address a, int chunk, size_t offset) {
    EXPECT_EQ(a.chunk, chunk);
    EXPECT_EQ(a.offset, offset);
}

TEST(DynAlloc, SizesRoundUpToTheAlignment) {
    Planner p(32, 1 << 20);
    expect_addr(p.take(1), 0, 0);
    expect_addr(p.take(33), 0, 32);
    expect_addr(p.take(64), 0, 96);
    EXPECT_EQ(p.chunk(0).max_size, 160u);
}

TEST(DynAlloc, EqualInnerBlocksGoToTheLaterOne) {
    Planner p(1, 1000);
    auto a = p.take(100);
    auto b = p.take(50);
    auto c = p.take(100);
    auto d = p.take(50);
    p.take(100);
    (void) a;
    (void) c;
    p.give(b, 50);
    p.give(d, 50);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 3);
    expect_addr(p.take(50), 0, 250);
    expect_addr(p.take(50), 0, 100);
}

TEST(DynAlloc, BestFitPrefersTheSmallestInnerBlock) {
    Planner p(1, 1000);
    auto a = p.take(80);
    p.take(10);
    auto b = p.take(40);
    p.take(10);
    p.give(a, 80);
    p.give(b, 40);
    expect_addr(p.take(30), 0, 90);
    expect_addr(p.take(60), 0, 0);
}

TEST(DynAlloc, FreeingBetweenTwoBlocksMergesThem) {
    Planner p(1, 1000);
    auto a = p.take(100);
    auto b = p.take(100);
    auto c = p.take(100);
    p.take(100);
    p.give(a, 100);
    p.give(c, 100);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 3);
    p.give(b, 100);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 2);
    EXPECT_EQ(p.chunk(0).free_blocks[0].offset, 0u);
    EXPECT_EQ(p.chunk(0).free_blocks[0].size, 300u);
}

TEST(DynAlloc, FreeingJoinsTheFollowingBlock) {
    Planner p(1, 1000);
    p.take(100);
    auto b = p.take(100);
    // b touches the tail block: it becomes the tail's new start
    p.give(b, 100);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 1);
    EXPECT_EQ(p.chunk(0).free_blocks[0].offset, 100u);
    EXPECT_EQ(p.chunk(0).free_blocks[0].size, 900u);
}

TEST(DynAlloc, ChunksStayUnderTheMaximumSize) {
    // padded sizes 600, 600, 300 with a maximum of 1000
    Planner p(1, 1000);
    expect_addr(p.take(600), 0, 0);
    expect_addr(p.take(600), 1, 0);
    // both last blocks grow their chunk by 300: the earlier chunk wins
    expect_addr(p.take(300), 0, 600);
    EXPECT_EQ(p.chunk(0).max_size, 900u);
    EXPECT_EQ(p.chunk(1).max_size, 600u);
    EXPECT_EQ(tevo_dyn_tallocr_total_size(p.alloc), 1500u);
}

TEST(DynAlloc, LastBlockInsideTheChunkBeatsGrowth) {
    Planner p(1, 1000);
    p.take(600);
    auto b = p.take(600);
    p.give(b, 600);
    // chunk 0 would grow by 100; chunk 1 already needs 600 bytes
    expect_addr(p.take(100), 1, 0);
    EXPECT_EQ(p.chunk(0).max_size, 600u);
    EXPECT_EQ(p.chunk(1).max_size, 600u);
}

TEST(DynAlloc, OversizedRangeGetsAChunkOfItsOwn) {
    Planner p(1, 1000);
    expect_addr(p.take(1500), 0, 0);
    EXPECT_EQ(p.chunk(0).max_size, 1500u);
    expect_addr(p.take(10), 1, 0);
}

TEST(DynAlloc, ChunkWithoutFreeBlocksIsSkipped) {
    Planner p(1, 1000);
    // the whole first chunk is handed out: it has no block left
    expect_addr(p.take(1000), 0, 0);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 0);
    expect_addr(p.take(100), 1, 0);
    expect_addr(p.take(100), 1, 100);
    ASSERT_EQ(p.alloc->n_chunks, 2);
}

TEST(DynAlloc, FreeingIntoAnEmptyChunkAddsABlock) {
    Planner p(1, 1000);
    auto a = p.take(1000);
    p.give(a, 1000);
    ASSERT_EQ(p.chunk(0).n_free_blocks, 1);
    expect_addr(p.take(400), 0, 0);
}

TEST(DynAlloc, SixteenthChunkTakesEverythingLeft) {
    Planner p(1, 100);
    for (int i = 0; i < 15; i++) {
        expect_addr(p.take(100), i, 0);
    }
    expect_addr(p.take(100), 15, 0);
    expect_addr(p.take(5000), 15, 100);
    EXPECT_EQ(p.alloc->n_chunks, 16);
}

TEST(DynAlloc, ResetDropsAllChunks) {
    Planner p(1, 100);
    p.take(10);
    p.take(200);
    tevo_dyn_tallocr_reset(p.alloc);
    EXPECT_EQ(p.alloc->n_chunks, 0);
    EXPECT_EQ(tevo_dyn_tallocr_total_size(p.alloc), 0u);
}

TEST(DynAllocDeath, RunningOutOfFreeBlocksIsFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(
        {
            Planner                          p(1, SIZE_MAX);
            std::vector<tevo_buffer_address> v;
            for (int i = 0; i < 2 * MAX_FREE_BLOCKS + 2; i++) {
                v.push_back(p.take(1));
            }
            for (size_t i = 0; i < v.size(); i += 2) {
                p.give(v[i], 1);
            }
        },
        assert_text("chunk->n_free_blocks < MAX_FREE_BLOCKS && \"out of free blocks\""));
}

// ---------------------------------------------------------------------------
// linear allocator

TEST(Tallocr, PlacesTensorsOneAfterAnother) {
    tevo_context *        ctx = mock::new_meta_ctx();
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 128);
    tevo_tallocr          ta  = tevo_tallocr_new(buf);
    EXPECT_EQ(ta.offset, 0u);
    EXPECT_EQ(ta.alignment, 32u);

    tevo_tensor * a = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_tensor * b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 16);
    EXPECT_EQ(tevo_tallocr_alloc(&ta, a), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(tevo_tallocr_alloc(&ta, b), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(a->data, tevo_backend_buffer_get_base(buf));
    EXPECT_EQ((char *) b->data, (char *) a->data + 64);
    EXPECT_EQ(a->buffer, buf);
    EXPECT_EQ(ta.offset, 128u);

    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
}

TEST(Tallocr, FirstTensorStartsAligned) {
    // a buffer whose base sits 8 bytes past an aligned address
    alignas(64) static char storage[256];
    tevo_backend_buffer_t buf = tevo_backend_cpu_buffer_from_ptr(storage, sizeof(storage));
    buf->context              = storage + 8;
    buf->iface.get_base       = mock::buffer_get_base;
    tevo_tallocr ta           = tevo_tallocr_new(buf);
    EXPECT_EQ(ta.offset, 24u);
    tevo_backend_buffer_free(buf);
}

TEST(TallocrDeath, OverflowIsFatal) {
    tevo_context *        ctx = mock::new_meta_ctx();
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 100);
    tevo_tallocr          ta  = tevo_tallocr_new(buf);
    tevo_tensor *         a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_tensor *         b   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_set_name(b, "b");
    ASSERT_EQ(tevo_tallocr_alloc(&ta, a), TEVO_STATUS_SUCCESS);
    EXPECT_DEATH(tevo_tallocr_alloc(&ta, b),
                 fatal("tevo_tallocr_alloc: not enough space in the buffer to allocate b (needed 64, available 36)") +
                     ".*" + fatal("tevo/src/tevo-alloc:") + "[0-9]+" + fatal(": not enough space in the buffer"));
    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// graph allocator

struct GallocTest : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override { ctx = mock::new_meta_ctx(256); }
    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * leaf(int64_t n = 16, const char * name = nullptr) {
        tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n);
        if (name) {
            tevo_set_name(t, name);
        }
        return t;
    }

    tevo_cgraph * graph(tevo_tensor * out) {
        tevo_cgraph * g = tevo_new_graph_custom(ctx, 64, false);
        tevo_build_forward_expand(g, out);
        return g;
    }
};

TEST_F(GallocTest, SqrThenSqrtRunsInPlace) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_tensor * c = tevo_sqrt(ctx, b);
    tevo_cgraph * g = graph(c);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 64u);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_NE(a->data, nullptr);
    EXPECT_EQ(b->data, a->data);
    EXPECT_EQ(c->data, a->data);
    EXPECT_EQ(tevo_backend_buffer_get_usage(a->buffer), TEVO_BACKEND_BUFFER_USAGE_COMPUTE);
    EXPECT_STREQ(tevo_backend_buffer_name(a->buffer), "CPU");

    // planning the same graph shape again keeps the buffer
    tevo_backend_buffer_t first = a->buffer;
    tevo_tensor *         a2    = leaf();
    tevo_cgraph *         g2    = graph(tevo_sqrt(ctx, tevo_sqr(ctx, a2)));
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g2));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g2));
    EXPECT_EQ(a2->buffer, first);
    EXPECT_EQ(a2->data, a->data);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, OutputIsNeitherOverwrittenNorReleased) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_set_output(b);
    tevo_tensor * c = tevo_sqrt(ctx, b);
    tevo_tensor * d = tevo_mul_mat(ctx, c, c); // would take b's range if b were released
    tevo_cgraph * g = graph(d);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(b->data, a->data);
    EXPECT_EQ((char *) c->data, (char *) b->data + 64);
    EXPECT_EQ((char *) d->data, (char *) b->data + 128);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 160u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, ReleasedRangeIsTakenByTheNextNode) {
    // the same graph without the output flag: c runs in place on b and d
    // follows right after
    tevo_tensor * a = leaf();
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_tensor * c = tevo_sqrt(ctx, b);
    tevo_tensor * d = tevo_mul_mat(ctx, c, c);
    tevo_cgraph * g = graph(d);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(c->data, a->data);
    EXPECT_EQ((char *) d->data, (char *) a->data + 64);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 96u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, SourceReadTwiceIsNotOverwrittenByTheFirstReader) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_tensor * c = tevo_sqrt(ctx, a);
    tevo_tensor * d = tevo_add(ctx, b, c);
    tevo_cgraph * g = graph(d);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_NE(b->data, a->data);
    EXPECT_EQ(c->data, a->data); // the last reader may take it
    EXPECT_EQ(d->data, b->data);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 128u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, ReleasedMemoryIsReused) {
    // MUL_MAT cannot run in place, but the range of a consumed
    // intermediate goes back to the planner for later nodes
    tevo_tensor * a = leaf(16);
    tevo_tensor * w = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 16, 16);
    tevo_tensor * b = tevo_mul_mat(ctx, w, a);
    tevo_tensor * c = tevo_mul_mat(ctx, w, b);
    tevo_tensor * d = tevo_mul_mat(ctx, w, c);
    tevo_cgraph * g = graph(d);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    // c takes a's released range, d the range of b
    EXPECT_EQ(c->data, a->data);
    EXPECT_EQ(d->data, b->data);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 1024u + 2 * 64u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, PendingViewKeepsItsSourceFromBeingOverwritten) {
    tevo_tensor * a = leaf(16);
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_tensor * v = tevo_view_1d(ctx, b, 16, 0);
    tevo_tensor * c = tevo_sqrt(ctx, b); // b's last direct reader, but v is read later
    tevo_tensor * e = tevo_add(ctx, c, v);

    tevo_cgraph * g = tevo_new_graph_custom(ctx, 64, false);
    tevo_build_forward_expand(g, v);
    tevo_build_forward_expand(g, e);
    ASSERT_EQ(g->n_nodes, 4);
    ASSERT_EQ(g->nodes[2], c);

    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(b->data, a->data);
    EXPECT_EQ(v->data, b->data);
    EXPECT_EQ(v->buffer, b->buffer);
    EXPECT_NE(c->data, b->data);
    EXPECT_EQ(e->data, c->data);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 128u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, PlanningTwiceReusesTheBuffers) {
    mock::BufferType mt;
    tevo_gallocr_t   galloc = tevo_gallocr_new(mt.get());

    tevo_tensor * c1 = tevo_sqrt(ctx, tevo_sqr(ctx, leaf()));
    tevo_cgraph * g1 = graph(c1);
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g1));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g1));
    EXPECT_EQ(mt.ctx.n_alloc, 1);

    // a second graph of the same shape goes into the same buffer
    tevo_tensor * c2 = tevo_sqrt(ctx, tevo_sqr(ctx, leaf()));
    tevo_cgraph * g2 = graph(c2);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g2));
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g2));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g2));
    EXPECT_EQ(mt.ctx.n_alloc, 1);
    EXPECT_EQ(c2->buffer, c1->buffer);
    EXPECT_EQ(c2->data, c1->data);

    tevo_gallocr_free(galloc);
    EXPECT_EQ(mt.ctx.n_free, 1);
}

TEST_F(GallocTest, OneSlotReplansWhenTheGraphGrows) {
    mock::BufferType mt;
    tevo_gallocr_t   galloc = tevo_gallocr_new(mt.get());

    tevo_cgraph * g1 = graph(tevo_sqr(ctx, leaf(16)));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g1));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 64u);

    tevo_tensor * a  = leaf(64);
    tevo_tensor * b  = tevo_sqr(ctx, a);
    tevo_tensor * c  = tevo_add(ctx, a, b);
    tevo_cgraph * g2 = graph(c);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g2));
    EXPECT_EQ(mt.ctx.n_alloc, 2);
    EXPECT_EQ(mt.ctx.n_free, 1);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 512u);
    EXPECT_NE(c->data, nullptr);

    // larger tensors in a graph of the same shape also re-plan
    tevo_tensor * a3 = leaf(256);
    tevo_cgraph * g3 = graph(tevo_add(ctx, a3, tevo_sqr(ctx, a3)));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g3));
    EXPECT_EQ(mt.ctx.n_alloc, 3);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 2048u);

    // and a smaller one fits the grown buffer
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g2));
    EXPECT_EQ(mt.ctx.n_alloc, 3);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 2048u);
    tevo_gallocr_free(galloc);
}

// counts the allocator's notes that it planned a graph anew
struct replan_count {
    int n = 0;
    replan_count() { tevo_log_set(callback, this); }
    ~replan_count() { tevo_log_set(nullptr, nullptr); }
    static void callback(tevo_log_level, const char * text, void * user_data) {
        if (strstr(text, "reallocating buffers automatically") != nullptr) {
            ((replan_count *) user_data)->n++;
        }
    }
};

TEST_F(GallocTest, GraphWiredOtherwiseIsPlannedAgain) {
    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());

    // a^2 + (-a): the negation takes a's range, a^2 keeps its own
    tevo_tensor * a1 = leaf(4);
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, graph(tevo_add(ctx, tevo_sqr(ctx, a1), tevo_neg(ctx, a1)))));

    replan_count replans;
    // the same wiring over other tensors keeps the plan
    tevo_tensor * a2 = leaf(4);
    tevo_tensor * c2 = tevo_add(ctx, tevo_sqr(ctx, a2), tevo_neg(ctx, a2));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, graph(c2)));
    EXPECT_EQ(replans.n, 0);
    EXPECT_NE(c2->data, nullptr);

    // (-a)^2 + a: equal counts and sizes, but a is read last; by the old
    // plan the square would overwrite it
    tevo_tensor * a3 = leaf(4);
    tevo_tensor * c3 = tevo_add(ctx, tevo_sqr(ctx, tevo_neg(ctx, a3)), a3);
    tevo_cgraph * g3 = graph(c3);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g3));
    EXPECT_EQ(replans.n, 1);

    const float a[4] = { 1, 2, 3, 4 };
    tevo_backend_tensor_set(a3, a, 0, sizeof(a));
    tevo_backend_t cpu = tevo_backend_cpu_init();
    ASSERT_EQ(tevo_backend_graph_compute(cpu, g3), TEVO_STATUS_SUCCESS);
    float c[4] = {};
    tevo_backend_tensor_get(c3, c, 0, sizeof(c));
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(c[i], a[i] * a[i] + a[i]) << i;
    }
    tevo_backend_free(cpu);
    tevo_gallocr_free(galloc);
}

// Two graphs of the same operators and wiring, the first planned and the
// second allocated by the same allocator. Where the second differs in what
// decided a placement (a source that now broadcasts, a flag, a node that is
// now a view), the plan must be made anew: the second graph then gets the
// placement and the results a fresh allocator gives it.
struct PlanPair {
    const char * label;
    bool         replans;
    std::function<tevo_cgraph *(tevo_context *, bool second)> build;
};

tevo_tensor * f32_2d(tevo_context * ctx, int64_t ne0, int64_t ne1) {
    return tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, ne1);
}

tevo_cgraph * graph_of(tevo_context * ctx, tevo_tensor * out) {
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 64, false);
    tevo_build_forward_expand(g, out);
    return g;
}

// y = 1.5 l, c = x + y, d = c x: c takes y's range when y is x's size
tevo_cgraph * broadcast_chain(tevo_context * ctx, int64_t n, int64_t rows_of_l) {
    tevo_tensor * x = f32_2d(ctx, n, n);
    tevo_tensor * y = tevo_scale(ctx, f32_2d(ctx, n, rows_of_l), 1.5f);
    return graph_of(ctx, tevo_mul(ctx, tevo_add(ctx, x, y), x));
}

// b = 2 a, c = b^2, d = c / 2, b kept as an output when asked
tevo_cgraph * scale_chain(tevo_context * ctx, bool keep_b) {
    tevo_tensor * b = tevo_scale(ctx, f32_2d(ctx, 8, 4), 2.0f);
    if (keep_b) {
        tevo_set_output(b);
    }
    return graph_of(ctx, tevo_scale(ctx, tevo_sqr(ctx, b), 0.5f));
}

const PlanPair plan_pairs[] = {
    { "a source that now broadcasts", true,
      [](tevo_context * ctx, bool second) { return broadcast_chain(ctx, 8, second ? 1 : 8); } },
    { "the same graph again", false, [](tevo_context * ctx, bool) { return broadcast_chain(ctx, 8, 8); } },
    { "smaller extents of the same layouts", false,
      [](tevo_context * ctx, bool second) { return broadcast_chain(ctx, second ? 4 : 8, second ? 4 : 8); } },
    { "an output set in the second graph", true,
      [](tevo_context * ctx, bool second) { return scale_chain(ctx, second); } },
    { "an output set in the first graph only", true,
      [](tevo_context * ctx, bool second) { return scale_chain(ctx, !second); } },
    { "a leaf kept as an output in the second graph", true,
      [](tevo_context * ctx, bool second) {
          tevo_tensor * a = f32_2d(ctx, 8, 4);
          if (second) {
              tevo_set_output(a);
          }
          return graph_of(ctx, tevo_sqrt(ctx, tevo_sqr(ctx, a)));
      } },
    // listed among the nodes as the scheduler lists its input copies: i is
    // read once b's range is free, but its data is set before the run
    { "an input node in the second graph", true,
      [](tevo_context * ctx, bool second) {
          tevo_tensor * b = tevo_sqr(ctx, f32_2d(ctx, 8, 4));
          tevo_cgraph * g = graph_of(ctx, tevo_mul_mat(ctx, b, b));
          tevo_tensor * i = f32_2d(ctx, 8, 4);
          if (second) {
              tevo_set_input(i);
          }
          tevo_tensor * c = tevo_add(ctx, i, i);
          c->flags |= TEVO_TENSOR_FLAG_COMPUTE;
          tevo_graph_add_node(g, i);
          tevo_graph_add_node(g, c);
          return g;
      } },
    // 2 b in place makes c a view of b: b must outlive c's reader
    { "a node that is now a view of its source", true,
      [](tevo_context * ctx, bool second) {
          tevo_tensor * b = tevo_sqr(ctx, f32_2d(ctx, 8, 4));
          tevo_tensor * c = second ? tevo_scale_inplace(ctx, b, 2.0f) : tevo_scale(ctx, b, 2.0f);
          return graph_of(ctx, tevo_add(ctx, c, tevo_sqrt(ctx, b)));
      } },
};

size_t offset_in_buffer(const tevo_tensor * t) {
    return (size_t) ((const char *) t->data - (const char *) tevo_backend_buffer_get_base(t->buffer));
}

void fill(tevo_tensor * t, int seed) {
    std::vector<float> v((size_t) tevo_nelements(t));
    for (size_t k = 0; k < v.size(); k++) {
        v[k] = 0.25f + 0.5f * (float) seed + 0.125f * (float) (k % 13);
    }
    tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
}

// fills the leafs and inputs, computes, and returns every output and the
// last node
std::vector<std::vector<float>> compute(tevo_backend_t cpu, tevo_cgraph * g) {
    for (int i = 0; i < g->n_leafs; i++) {
        fill(g->leafs[i], i);
    }
    for (int i = 0; i < g->n_nodes; i++) {
        if (g->nodes[i]->flags & TEVO_TENSOR_FLAG_INPUT) {
            fill(g->nodes[i], 100 + i);
        }
    }
    EXPECT_EQ(tevo_backend_graph_compute(cpu, g), TEVO_STATUS_SUCCESS);
    std::vector<std::vector<float>> out;
    for (int i = 0; i < g->n_nodes; i++) {
        tevo_tensor * node = g->nodes[i];
        if ((node->flags & TEVO_TENSOR_FLAG_OUTPUT) || i == g->n_nodes - 1) {
            out.emplace_back((size_t) tevo_nelements(node));
            tevo_backend_tensor_get(node, out.back().data(), 0, tevo_nbytes(node));
        }
    }
    return out;
}

TEST(Galloc, ReusedPlanGivesWhatAFreshPlanGives) {
    tevo_backend_t cpu = tevo_backend_cpu_init();
    for (const PlanPair & pair : plan_pairs) {
        SCOPED_TRACE(pair.label);
        tevo_context * ctx   = mock::new_meta_ctx(256);
        tevo_cgraph *  first = pair.build(ctx, false);
        tevo_cgraph *  reuse = pair.build(ctx, true);
        tevo_cgraph *  fresh = pair.build(ctx, true);

        tevo_gallocr_t reused_alloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        tevo_gallocr_t fresh_alloc  = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        ASSERT_TRUE(tevo_gallocr_alloc_graph(reused_alloc, first));
        {
            replan_count replans;
            ASSERT_TRUE(tevo_gallocr_alloc_graph(reused_alloc, reuse));
            EXPECT_EQ(replans.n, pair.replans ? 1 : 0);
        }
        ASSERT_TRUE(tevo_gallocr_alloc_graph(fresh_alloc, fresh));

        ASSERT_EQ(reuse->n_nodes, fresh->n_nodes);
        if (pair.replans) {
            for (int i = 0; i < reuse->n_nodes; i++) {
                EXPECT_EQ(offset_in_buffer(reuse->nodes[i]), offset_in_buffer(fresh->nodes[i]))
                    << reuse->nodes[i]->name << " node " << i;
            }
        }
        const std::vector<std::vector<float>> got  = compute(cpu, reuse);
        const std::vector<std::vector<float>> want = compute(cpu, fresh);
        ASSERT_EQ(got.size(), want.size());
        for (size_t o = 0; o < got.size(); o++) {
            ASSERT_EQ(got[o].size(), want[o].size());
            for (size_t k = 0; k < got[o].size(); k++) {
                if (got[o][k] != want[o][k]) {
                    ADD_FAILURE() << "output " << o << " element " << k << ": " << got[o][k] << " instead of "
                                  << want[o][k];
                    break;
                }
            }
        }

        tevo_gallocr_free(fresh_alloc);
        tevo_gallocr_free(reused_alloc);
        tevo_free(ctx);
    }
    tevo_backend_free(cpu);
}

TEST_F(GallocTest, SeveralSlotsNeedAFreshReserve) {
    mock::BufferType m1({ "M1" });
    mock::BufferType m2({ "M2" });
    tevo_backend_buffer_type_t bufts[2] = { m1.get(), m2.get() };
    tevo_gallocr_t             galloc   = tevo_gallocr_new_n(bufts, 2);

    tevo_tensor * a = leaf(16);
    tevo_tensor * b = tevo_sqr(ctx, a);
    tevo_tensor * c = tevo_mul_mat(ctx, b, b); // not in place
    tevo_cgraph * g = graph(c);
    ASSERT_EQ(g->n_nodes, 2);
    const int node_ids[] = { 0, 1 };
    const int leaf_ids[] = { 0 };
    ASSERT_TRUE(tevo_gallocr_reserve_n(galloc, g, node_ids, leaf_ids));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(b->buffer->buft, m1.get());
    EXPECT_EQ(c->buffer->buft, m2.get());
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 64u);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 1), 32u);

    tevo_cgraph * g2 = graph(tevo_sqrt(ctx, tevo_sqr(ctx, tevo_sqr(ctx, leaf(16)))));
    EXPECT_FALSE(tevo_gallocr_alloc_graph(galloc, g2));
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, SlotsOfOneTypeShareBuffers) {
    mock::BufferType           mt;
    tevo_backend_buffer_type_t bufts[2] = { mt.get(), mt.get() };
    tevo_gallocr_t             galloc   = tevo_gallocr_new_n(bufts, 2);

    tevo_tensor * a = leaf(16);
    tevo_tensor * b = tevo_mul_mat(ctx, a, a);
    tevo_tensor * c = tevo_sqr(ctx, tevo_mul_mat(ctx, b, b));
    tevo_cgraph * g = graph(c);
    std::vector<int> node_ids(g->n_nodes, 1);
    const int        leaf_ids[] = { 0 };

    size_t sizes[2] = { 0, 0 };
    tevo_gallocr_reserve_n_size(galloc, g, node_ids.data(), leaf_ids, sizes);
    EXPECT_EQ(sizes[0], 96u);
    EXPECT_EQ(sizes[1], 96u);
    EXPECT_EQ(mt.ctx.n_alloc, 0);

    ASSERT_TRUE(tevo_gallocr_reserve_n(galloc, g, node_ids.data(), leaf_ids));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 96u);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 1), 0u);
    EXPECT_EQ(mt.ctx.n_alloc, 1);
    tevo_gallocr_free(galloc);
    EXPECT_EQ(mt.ctx.n_free, 1);
}

// an empty graph on a fresh allocator: nothing to place, no storage needed
TEST_F(GallocTest, EmptyGraphOnAFreshAllocator) {
    mock::BufferType mt;
    tevo_cgraph *    g = tevo_new_graph_custom(ctx, 64, false);

    tevo_gallocr_t galloc = tevo_gallocr_new(mt.get());
    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 0u);
    EXPECT_EQ(mt.ctx.n_alloc, 0);
    tevo_gallocr_free(galloc);

    galloc = tevo_gallocr_new(mt.get());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    // a real graph afterwards is planned as usual
    tevo_tensor * c = tevo_sqr(ctx, leaf());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, graph(c)));
    EXPECT_NE(c->data, nullptr);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 64u);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, SizeOnlyReserveThenAllocatePlansAgain) {
    mock::BufferType mt;
    tevo_gallocr_t   galloc = tevo_gallocr_new(mt.get());

    tevo_tensor * c = tevo_sqrt(ctx, tevo_sqr(ctx, leaf()));
    tevo_cgraph * g = graph(c);
    size_t        size = 0;
    tevo_gallocr_reserve_n_size(galloc, g, nullptr, nullptr, &size);
    EXPECT_EQ(size, 64u);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 0u);

    // the plan matches the graph, but no buffer exists yet
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_NE(c->data, nullptr);
    EXPECT_EQ(mt.ctx.n_alloc, 1);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, SizeOnlyReserveWithSeveralSlotsAsksForAReserve) {
    mock::BufferType           m1({ "M1" });
    mock::BufferType           m2({ "M2" });
    tevo_backend_buffer_type_t bufts[2] = { m1.get(), m2.get() };
    tevo_gallocr_t             galloc   = tevo_gallocr_new_n(bufts, 2);

    tevo_tensor * c = tevo_sqrt(ctx, tevo_sqr(ctx, leaf()));
    tevo_cgraph * g = graph(c);
    size_t        sizes[2];
    tevo_gallocr_reserve_n_size(galloc, g, nullptr, nullptr, sizes);
    EXPECT_EQ(sizes[0], 64u);
    EXPECT_EQ(sizes[1], 0u);

    EXPECT_FALSE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(c->data, nullptr);

    ASSERT_TRUE(tevo_gallocr_reserve(galloc, g));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_NE(c->data, nullptr);
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, FailedBufferLeavesTheSlotEmpty) {
    mock::BufferType mt;
    mt.ctx.fail_alloc     = true;
    tevo_gallocr_t galloc = tevo_gallocr_new(mt.get());

    tevo_cgraph * g = graph(tevo_sqr(ctx, leaf()));
    EXPECT_FALSE(tevo_gallocr_reserve(galloc, g));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 0u);
    EXPECT_FALSE(tevo_gallocr_alloc_graph(galloc, g));

    mt.ctx.fail_alloc = false;
    EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    tevo_gallocr_free(galloc);
}

TEST_F(GallocTest, FailedGrowthOfASharedArrayLeavesNoDanglingSlot) {
    mock::BufferType           mt;
    tevo_backend_buffer_type_t bufts[2] = { mt.get(), mt.get() };
    tevo_gallocr_t             galloc   = tevo_gallocr_new_n(bufts, 2);

    ASSERT_TRUE(tevo_gallocr_reserve(galloc, graph(tevo_sqr(ctx, leaf(16)))));
    mt.ctx.fail_alloc = true;
    EXPECT_FALSE(tevo_gallocr_reserve(galloc, graph(tevo_sqr(ctx, leaf(1024)))));
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 0u);
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 1), 0u);
    tevo_gallocr_free(galloc); // must not free the old array twice
    EXPECT_EQ(mt.ctx.n_free, 1);
}

TEST_F(GallocTest, PlanLargerThanTheMaximumSizeUsesSeveralBuffers) {
    mock::BufferType mt({ "SMALL", 32, 256 });
    tevo_gallocr_t   galloc = tevo_gallocr_new(mt.get());

    tevo_tensor * a = leaf(48); // 192 bytes each
    tevo_tensor * b = tevo_mul_mat(ctx, a, a);
    tevo_tensor * c = tevo_add(ctx, tevo_mul_mat(ctx, leaf(48), leaf(48)), b);
    tevo_cgraph * g = graph(c);

    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    ASSERT_GE(mt.ctx.n_alloc, 2);
    size_t total = 0;
    for (size_t s : mt.ctx.alloc_sizes) {
        EXPECT_LE(s, 256u);
        total += s;
    }
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), total);
    for (int i = 0; i < g->n_leafs; i++) {
        tevo_tensor * t = g->leafs[i];
        EXPECT_GE((char *) t->data, (char *) tevo_backend_buffer_get_base(t->buffer));
        EXPECT_LE((char *) t->data + tevo_nbytes(t),
                  (char *) tevo_backend_buffer_get_base(t->buffer) + tevo_backend_buffer_get_size(t->buffer));
    }
    tevo_gallocr_free(galloc);
    EXPECT_EQ(mt.ctx.n_free, mt.ctx.n_alloc);
}

TEST_F(GallocTest, TensorsWithDataAreLeftAlone) {
    tevo_backend_buffer_t wbuf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 64);
    tevo_tensor *         w    = leaf(16);
    tevo_tallocr          ta   = tevo_tallocr_new(wbuf);
    ASSERT_EQ(tevo_tallocr_alloc(&ta, w), TEVO_STATUS_SUCCESS);
    void * wdata = w->data;

    tevo_tensor * b = tevo_sqr(ctx, w);
    tevo_cgraph * g = graph(b);
    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(w->data, wdata);
    EXPECT_NE(b->data, wdata); // never written over a tensor it does not own
    EXPECT_EQ(tevo_gallocr_get_buffer_size(galloc, 0), 64u);
    tevo_gallocr_free(galloc);
    tevo_backend_buffer_free(wbuf);
}

// A view made by tevo_view_tensor has no operator and no source: its source
// x, placed by the caller, is not in the graph, yet the planner files it.
TEST_F(GallocTest, ViewsOfATensorOutsideTheGraphArePlacedAndComputed) {
    struct Case {
        const char *                                               name;
        std::function<tevo_tensor *(tevo_tensor *, tevo_tensor *)> build; // (x, b) -> out
        float                                                      expected;
    };
    const Case cases[] = {
        { "view",
          [&](tevo_tensor * x, tevo_tensor * b) { return tevo_add(ctx, tevo_view_tensor(ctx, x), b); },
          5.0f },
        { "view of a view",
          [&](tevo_tensor * x, tevo_tensor * b) {
              return tevo_add(ctx, tevo_view_tensor(ctx, tevo_view_tensor(ctx, x)), b);
          },
          5.0f },
        { "many views",
          [&](tevo_tensor * x, tevo_tensor * b) {
              tevo_tensor * y = b;
              for (int i = 0; i < 12; ++i) {
                  y = tevo_add(ctx, y, tevo_view_tensor(ctx, x));
              }
              return y;
          },
          27.0f },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        tevo_backend_buffer_t wbuf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 256);
        tevo_tensor *         x    = leaf(4);
        tevo_tensor *         b    = leaf(4);
        tevo_tallocr          ta   = tevo_tallocr_new(wbuf);
        ASSERT_EQ(tevo_tallocr_alloc(&ta, x), TEVO_STATUS_SUCCESS);
        ASSERT_EQ(tevo_tallocr_alloc(&ta, b), TEVO_STATUS_SUCCESS);
        for (int i = 0; i < 4; ++i) {
            ((float *) x->data)[i] = 2.0f;
            ((float *) b->data)[i] = 3.0f;
        }

        tevo_tensor * y = c.build(x, b);
        tevo_cgraph * g = graph(y);
        tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
        ASSERT_NE(y->data, nullptr);
        tevo_cplan           plan = tevo_graph_plan(g, 1, nullptr);
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = work.data();
        ASSERT_EQ(tevo_graph_compute(g, &plan), TEVO_STATUS_SUCCESS);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(((float *) y->data)[i], c.expected);
        }
        EXPECT_EQ(((float *) x->data)[0], 2.0f);
        tevo_gallocr_free(galloc);
        tevo_backend_buffer_free(wbuf);
    }
}

TEST(GallocDeath, BufferIdOutOfRange) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    EXPECT_DEATH(tevo_gallocr_get_buffer_size(galloc, 1),
                 assert_text("buffer_id >= 0 && buffer_id < galloc->n_buffers"));
    tevo_gallocr_free(galloc);
    tevo_gallocr_free(nullptr);
}

TEST(Galloc, InplaceOperatorList) {
    const tevo_op inplace[] = {
        TEVO_OP_ADD,           TEVO_OP_ADD_ID,   TEVO_OP_ADD1,          TEVO_OP_SUB,
        TEVO_OP_MUL,           TEVO_OP_DIV,      TEVO_OP_SQR,           TEVO_OP_SQRT,
        TEVO_OP_LOG,           TEVO_OP_SILU_BACK, TEVO_OP_RMS_NORM,     TEVO_OP_RMS_NORM_BACK,
        TEVO_OP_SCALE,         TEVO_OP_DIAG_MASK_INF, TEVO_OP_DIAG_MASK_ZERO, TEVO_OP_SOFT_MAX,
        TEVO_OP_SOFT_MAX_BACK, TEVO_OP_ROPE,     TEVO_OP_ROPE_BACK,     TEVO_OP_CLAMP,
        TEVO_OP_FILL,          TEVO_OP_UNARY,
    };
    int n = 0;
    for (int op = 0; op < TEVO_OP_COUNT; op++) {
        n += tevo_op_can_inplace((tevo_op) op);
    }
    EXPECT_EQ(n, 22);
    for (tevo_op op : inplace) {
        EXPECT_TRUE(tevo_op_can_inplace(op)) << tevo_op_name(op);
    }
}

// An operator is written over a source only where it reads that source's
// element i for output element i alone (or a whole row before writing it):
// not over rows looked up by id, a scalar, per-row factors or per-head sinks.
// Each graph, placed by the planner and computed on one thread, gives what it
// gives with every tensor in memory of its own.
TEST(Galloc, InPlaceOnlyOverSourcesReadAtTheirOwnPositions) {
    struct Built {
        tevo_tensor *              out;
        tevo_tensor *              node;  // the in-place operator's result
        tevo_tensor *              kept;  // a source whose memory it must not take
        tevo_tensor *              taken; // the source whose memory it takes, or null
        std::vector<tevo_tensor *> inputs;
    };
    struct Case {
        const char *                            name;
        std::function<Built(tevo_context *)>    build;
        std::vector<std::vector<double>>        values; // per input, in order
    };
    const auto in = [](tevo_context * c, tevo_type type, int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1) {
        tevo_tensor * t = tevo_new_tensor_3d(c, type, ne0, ne1, ne2);
        tevo_set_input(t);
        return t;
    };
    // a computed copy, so that the planner places it
    const auto node = [](tevo_context * c, tevo_tensor * t) { return tevo_scale(c, t, 1.0f); };
    const auto rope = [](tevo_context * c, tevo_tensor * x, tevo_tensor * pos, tevo_tensor * ff) {
        return tevo_rope_ext(c, x, pos, ff, 8, 0, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    };
    const std::vector<double> rows = { 100, 100, 100, 100, 200, 200, 200, 200, 300, 300, 300, 300 };
    const std::vector<double> x16  = { 1, 2, 3, 4, 5, 6, 7, 8, -1, -2, -3, -4, -5, -6, -7, -8 };
    const std::vector<double> ff16 = { 1, 2, 4, 8, 1, 1, 1, 1, 3, 3, 3, 3, 9, 9, 9, 9 };
    const Case cases[] = {
        { "add_id keeps the rows it looks up",
          [&](tevo_context * c) {
              tevo_tensor * a0 = in(c, TEVO_TYPE_F32, 4, 3, 1), * b0 = in(c, TEVO_TYPE_F32, 4, 3);
              tevo_tensor * ids = in(c, TEVO_TYPE_I32, 3, 1);
              tevo_tensor * a = node(c, a0), * b = node(c, b0);
              tevo_tensor * r = tevo_add_id(c, a, b, ids);
              return Built{ tevo_add(c, r, a), r, b, nullptr, { a0, b0, ids } };
          },
          { std::vector<double>(12, 0.0), rows, { 2, 1, 0 } } },
        { "add_id takes the rows it adds to",
          [&](tevo_context * c) {
              tevo_tensor * a0 = in(c, TEVO_TYPE_F32, 4, 3, 1), * b0 = in(c, TEVO_TYPE_F32, 4, 3);
              tevo_tensor * ids = in(c, TEVO_TYPE_I32, 3, 1);
              tevo_tensor * a = node(c, a0), * b = node(c, b0);
              tevo_tensor * r = tevo_add_id(c, a, b, ids);
              return Built{ tevo_add(c, r, b), r, b, a, { a0, b0, ids } };
          },
          { std::vector<double>(12, 1.0), rows, { 2, 1, 0 } } },
        { "add1 keeps its scalar",
          [&](tevo_context * c) {
              tevo_tensor * a0 = in(c, TEVO_TYPE_F32, 1), * s0 = in(c, TEVO_TYPE_F32, 1);
              tevo_tensor * a = node(c, a0), * s = node(c, s0);
              tevo_tensor * r = tevo_add1(c, a, s);
              return Built{ tevo_add(c, r, a), r, s, nullptr, { a0, s0 } };
          },
          { { 2 }, { 5 } } },
        { "rope keeps its frequency factors",
          [&](tevo_context * c) {
              tevo_tensor * x0 = in(c, TEVO_TYPE_F32, 8, 1, 2), * ff0 = in(c, TEVO_TYPE_F32, 8, 1, 2);
              tevo_tensor * pos = in(c, TEVO_TYPE_I32, 2);
              tevo_tensor * x = node(c, x0), * ff = node(c, ff0);
              tevo_tensor * r = rope(c, x, pos, ff);
              return Built{ tevo_add(c, r, x), r, ff, nullptr, { x0, ff0, pos } };
          },
          { x16, ff16, { 3, 5 } } },
        { "rope takes its input",
          [&](tevo_context * c) {
              tevo_tensor * x0 = in(c, TEVO_TYPE_F32, 8, 1, 2), * ff0 = in(c, TEVO_TYPE_F32, 8, 1, 2);
              tevo_tensor * pos = in(c, TEVO_TYPE_I32, 2);
              tevo_tensor * x = node(c, x0), * ff = node(c, ff0);
              tevo_tensor * r = rope(c, x, pos, ff);
              return Built{ tevo_add(c, r, ff), r, ff, x, { x0, ff0, pos } };
          },
          { x16, ff16, { 3, 5 } } },
        { "soft_max keeps its sinks",
          [&](tevo_context * c) {
              tevo_tensor * a0 = in(c, TEVO_TYPE_F32, 1), * s0 = in(c, TEVO_TYPE_F32, 1);
              tevo_tensor * a = node(c, a0), * s = node(c, s0);
              tevo_tensor * r = tevo_soft_max_ext(c, a, nullptr, 1.0f, 0.0f);
              tevo_soft_max_add_sinks(r, s);
              return Built{ tevo_add(c, r, a), r, s, nullptr, { a0, s0 } };
          },
          { { 0.5 }, { 1.5 } } },
        { "soft_max takes a mask of its own shape",
          [&](tevo_context * c) {
              tevo_tensor * a0 = in(c, TEVO_TYPE_F32, 4, 3), * m0 = in(c, TEVO_TYPE_F32, 4, 3);
              tevo_tensor * a = node(c, a0), * m = node(c, m0);
              tevo_tensor * r = tevo_soft_max_ext(c, a, m, 1.0f, 0.0f);
              return Built{ tevo_add(c, r, a), r, a, m, { a0, m0 } };
          },
          { { 1, 2, 3, 4, 0, 0, 0, 0, -1, 1, -1, 1 }, { 0, -1, -2, -3, 1, 1, 1, 1, 3, 0, 0, 3 } } },
    };

    const auto set = [](tevo_tensor * t, const std::vector<double> & v) {
        ASSERT_EQ((size_t) tevo_nelements(t), v.size());
        for (size_t i = 0; i < v.size(); ++i) {
            if (t->type == TEVO_TYPE_I32) {
                ((int32_t *) t->data)[i] = (int32_t) v[i];
            } else {
                ((float *) t->data)[i] = (float) v[i];
            }
        }
    };
    const auto values = [](const tevo_tensor * t) {
        const float * p = (const float *) t->data;
        return std::vector<float>(p, p + tevo_nelements(t));
    };

    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);

        // every tensor in memory of its own
        tevo_init_params ip  = { 1024 * 1024, nullptr, false };
        tevo_context *   own = tevo_init(ip);
        Built            ref = c.build(own);
        tevo_cgraph *    rg  = tevo_new_graph(own);
        tevo_build_forward_expand(rg, ref.out);
        for (size_t i = 0; i < ref.inputs.size(); ++i) {
            set(ref.inputs[i], c.values[i]);
        }
        ASSERT_EQ(tevo_graph_compute_with_ctx(own, rg, 1), TEVO_STATUS_SUCCESS);

        // placed by the planner
        tevo_context * ctx = mock::new_meta_ctx(64);
        Built          b   = c.build(ctx);
        tevo_set_output(b.out);
        tevo_cgraph *  g   = tevo_new_graph_custom(ctx, 64, false);
        tevo_build_forward_expand(g, b.out);
        tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
        EXPECT_NE(b.node->data, b.kept->data);
        if (b.taken != nullptr) {
            EXPECT_EQ(b.node->data, b.taken->data);
        }
        for (size_t i = 0; i < b.inputs.size(); ++i) {
            set(b.inputs[i], c.values[i]);
        }
        tevo_cplan plan = tevo_graph_plan(g, 1, nullptr);
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = work.data();
        ASSERT_EQ(tevo_graph_compute(g, &plan), TEVO_STATUS_SUCCESS);
        EXPECT_EQ(values(b.out), values(ref.out));

        tevo_gallocr_free(galloc);
        tevo_free(ctx);
        tevo_free(own);
    }
}

// ---------------------------------------------------------------------------
// all tensors of a context, chunked under the maximum size

struct CtxTensorsTest : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override { ctx = mock::new_meta_ctx(); }
    void TearDown() override { tevo_free(ctx); }
};

TEST_F(CtxTensorsTest, ChunksOf600_600_300) {
    mock::BufferType mt({ "SMALL", 4, 1000 });
    tevo_tensor *    t0 = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 150);
    tevo_tensor *    t1 = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 150);
    tevo_tensor *    t2 = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 75);

    EXPECT_EQ(tevo_backend_alloc_ctx_tensors_from_buft_size(ctx, mt.get()), 1500u);

    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get());
    ASSERT_NE(buf, nullptr);
    ASSERT_EQ(mt.ctx.alloc_sizes, (std::vector<size_t>{ 600, 900 }));
    EXPECT_TRUE(tevo_backend_buffer_is_multi_buffer(buf));
    EXPECT_EQ(tevo_backend_buffer_get_size(buf), 1500u);
    EXPECT_EQ(tevo_backend_buffer_get_base(buf), nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_type(buf), mt.get());

    // tensors belong to the parts
    EXPECT_NE(t0->buffer, buf);
    EXPECT_NE(t1->buffer, t0->buffer);
    EXPECT_EQ(t2->buffer, t1->buffer);
    EXPECT_EQ(t0->data, tevo_backend_buffer_get_base(t0->buffer));
    EXPECT_EQ(t1->data, tevo_backend_buffer_get_base(t1->buffer));
    EXPECT_EQ((char *) t2->data, (char *) t1->data + 600);

    tevo_backend_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    EXPECT_EQ(tevo_backend_buffer_get_usage(buf), TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    EXPECT_EQ(tevo_backend_buffer_get_usage(t0->buffer), TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    EXPECT_EQ(tevo_backend_buffer_get_usage(t2->buffer), TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);

    tevo_backend_buffer_clear(buf, 0xAB);
    EXPECT_EQ(mt.ctx.n_clear, 2);
    EXPECT_EQ(((uint8_t *) t2->data)[299], 0xAB);

    tevo_backend_buffer_free(buf);
    EXPECT_EQ(mt.ctx.n_free, 2);
}

TEST_F(CtxTensorsTest, OneChunkGivesAPlainBuffer) {
    mock::BufferType mt({ "SMALL", 32, 1000 });
    tevo_tensor *    a = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_tensor *    v = tevo_view_1d(ctx, a, 4, 8);
    tevo_tensor *    b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);

    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get());
    ASSERT_NE(buf, nullptr);
    EXPECT_FALSE(tevo_backend_buffer_is_multi_buffer(buf));
    EXPECT_EQ(tevo_backend_buffer_get_size(buf), 128u);
    EXPECT_EQ(a->buffer, buf);
    EXPECT_EQ(v->buffer, buf);
    EXPECT_EQ((char *) v->data, (char *) a->data + 8);
    EXPECT_EQ((char *) b->data, (char *) a->data + 64);
    tevo_backend_buffer_free(buf);
}

TEST_F(CtxTensorsTest, OversizedTensorGetsItsOwnChunk) {
    mock::BufferType mt({ "SMALL", 4, 100 });
    tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 50);
    tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get());
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(mt.ctx.alloc_sizes, (std::vector<size_t>{ 40, 200, 40 }));
    tevo_backend_buffer_free(buf);
    EXPECT_EQ(mt.ctx.n_free, 3);
}

TEST_F(CtxTensorsTest, NothingToPlaceGivesNoBuffer) {
    mock::BufferType mt;
    EXPECT_EQ(tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get()), nullptr);
    EXPECT_EQ(tevo_backend_alloc_ctx_tensors_from_buft_size(ctx, mt.get()), 0u);

    // only pre-allocated tensors and their views
    alignas(32) static float storage[8];
    tevo_backend_buffer_t ext = tevo_backend_cpu_buffer_from_ptr(storage, sizeof(storage));
    tevo_tensor *         a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 8);
    ASSERT_EQ(tevo_backend_tensor_alloc(ext, a, storage), TEVO_STATUS_SUCCESS);
    tevo_tensor * v = tevo_view_1d(ctx, a, 4, 16);

    tevo_tensor * list[] = { a, v };
    EXPECT_EQ(tevo_backend_buft_get_alloc_size_n(mt.get(), list, 2), 0u);
    EXPECT_EQ(tevo_backend_buft_alloc_buffer_n(mt.get(), list, 2), nullptr);
    EXPECT_EQ(tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get()), nullptr);
    EXPECT_EQ(mt.ctx.n_alloc, 0);
    tevo_backend_buffer_free(ext);
}

TEST_F(CtxTensorsTest, ViewOfAPreallocatedTensorIsPlaced) {
    alignas(32) static float storage[8];
    tevo_backend_buffer_t ext = tevo_backend_cpu_buffer_from_ptr(storage, sizeof(storage));
    tevo_tensor *         a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 8);
    ASSERT_EQ(tevo_backend_tensor_alloc(ext, a, storage), TEVO_STATUS_SUCCESS);
    tevo_tensor * v = tevo_view_1d(ctx, a, 4, 16);
    tevo_tensor * b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 8);

    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(v->buffer, ext);
    EXPECT_EQ(v->data, (void *) (storage + 4));
    EXPECT_EQ(b->buffer, buf);
    tevo_backend_buffer_free(buf);
    tevo_backend_buffer_free(ext);
}

TEST_F(CtxTensorsTest, FailedChunkFreesWhatWasMade) {
    mock::BufferType mt({ "SMALL", 4, 100 });
    tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 20);
    tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 20);

    struct fail_second {
        static tevo_backend_buffer_t alloc(tevo_backend_buffer_type_t buft, size_t size) {
            if (mock::ctx_of(buft)->n_alloc == 1) {
                return nullptr;
            }
            return mock::buft_alloc(buft, size);
        }
    };
    mt.buft.iface.alloc_buffer = fail_second::alloc;
    EXPECT_EQ(tevo_backend_alloc_ctx_tensors_from_buft(ctx, mt.get()), nullptr);
    EXPECT_EQ(mt.ctx.n_alloc, 1);
    EXPECT_EQ(mt.ctx.n_free, 1);
}

TEST(CtxTensorsDeath, ContextMustNotAllocate) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_init_params params = { 1024 * 1024, nullptr, false };
    tevo_context *   ctx    = tevo_init(params);
    EXPECT_DEATH(tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type()),
                 assert_text("tevo_get_no_alloc(ctx) == true"));
    tevo_free(ctx);
}

TEST(CtxTensors, ThroughABackendsDefaultType) {
    mock::BufferType mt;
    mock::Backend    be(mt.get());
    tevo_context *   ctx = mock::new_meta_ctx();
    tevo_tensor *    a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 10);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors(ctx, be.get());
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(a->buffer, buf);
    EXPECT_EQ(tevo_backend_buffer_get_type(buf), mt.get());
    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
}

} // namespace
