// Computation graphs: the visited hash set, graph layout and overhead,
// building order, use counts and compute marks, views, copies, resets,
// the fusion check, printing and the Graphviz dump.

#include "core/impl.h"
#include "tevo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct GraphTest : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params params = { 16 * 1024 * 1024, nullptr, false };
        ctx = tevo_init(params);
    }

    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * leaf(const char * name = nullptr, int64_t n = 4) {
        tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n);
        if (name) {
            tevo_set_name(t, name);
        }
        return t;
    }

    // an operator result built by hand, so these tests need no constructors
    tevo_tensor * op(tevo_op o, tevo_tensor * a, tevo_tensor * b = nullptr, const char * name = nullptr) {
        tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, a->ne[0]);
        t->op     = o;
        t->src[0] = a;
        t->src[1] = b;
        if (name) {
            tevo_set_name(t, name);
        }
        return t;
    }
};

int use_count(const tevo_cgraph * g, const tevo_tensor * t) {
    const size_t pos = tevo_hash_find(&g->visited_hash_set, t);
    EXPECT_NE(pos, TEVO_HASHSET_FULL);
    EXPECT_TRUE(tevo_bitset_get(g->visited_hash_set.used, pos));
    return g->use_counts[pos];
}

bool computes(const tevo_tensor * t) {
    return (t->flags & TEVO_TENSOR_FLAG_COMPUTE) != 0;
}

// fake keys for the hash set: only their addresses matter
tevo_tensor * key_at(size_t word) {
    return reinterpret_cast<tevo_tensor *>(word << 4);
}

std::string g_log;

void capture_log(tevo_log_level level, const char * text, void *) {
    if (level == TEVO_LOG_LEVEL_INFO) {
        g_log += text;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// hash set

TEST(HashSet, SizeIsSmallestPrimeNotBelowRequestElseRequestMadeOdd) {
    const struct {
        size_t request, expected;
    } cases[] = {
        { 0, 2 },
        { 1, 2 },
        { 2, 2 },
        { 4, 5 },
        { 12, 17 },
        { 4096, 4099 },
        { 4099, 4099 },
        { 4100, 8209 },
        { 2147483659ull, 2147483659ull },
        { 2147483660ull, 2147483661ull }, // beyond the table
        { 3000000000ull, 3000000001ull },
        { 3000000001ull, 3000000001ull },
    };
    for (const auto & c : cases) {
        EXPECT_EQ(tevo_hash_size(c.request), c.expected) << "request " << c.request;
    }
}

TEST(HashSet, FirstSlotIsAddressShiftedModSizeAndProbingWraps) {
    tevo_hash_set set = tevo_hash_set_new(5);
    ASSERT_EQ(set.size, 5u);

    // three keys that all hash to the last slot
    tevo_tensor * k1 = key_at(4);
    tevo_tensor * k2 = key_at(9);
    tevo_tensor * k3 = key_at(14);

    EXPECT_EQ(tevo_hash_insert(&set, k1), 4u);
    EXPECT_EQ(tevo_hash_insert(&set, k2), 0u);
    EXPECT_EQ(tevo_hash_insert(&set, k3), 1u);
    EXPECT_EQ(tevo_hash_insert(&set, k2), TEVO_HASHSET_ALREADY_EXISTS);
    EXPECT_EQ(tevo_hash_find(&set, k3), 1u);
    EXPECT_TRUE(tevo_hash_contains(&set, k3));
    EXPECT_EQ(tevo_hash_find_or_insert(&set, k2), 0u);

    // an absent key reports the free slot where it would go
    tevo_tensor * k4 = key_at(3);
    EXPECT_FALSE(tevo_hash_contains(&set, k4));
    EXPECT_EQ(tevo_hash_find(&set, k4), 3u);
    EXPECT_EQ(tevo_hash_find_or_insert(&set, k4), 3u);
    EXPECT_TRUE(tevo_hash_contains(&set, k4));
    EXPECT_EQ(tevo_hash_insert(&set, key_at(2)), 2u);

    // full: an absent key has no slot
    EXPECT_EQ(tevo_hash_find(&set, key_at(7)), TEVO_HASHSET_FULL);
    EXPECT_FALSE(tevo_hash_contains(&set, key_at(7)));
    EXPECT_EQ(tevo_hash_find(&set, k1), 4u);

    tevo_hash_set_reset(&set);
    EXPECT_FALSE(tevo_hash_contains(&set, k1));
    EXPECT_EQ(tevo_hash_insert(&set, k3), 4u);

    tevo_hash_set_free(&set);
}

TEST(HashSet, BitsetSpansWordsOfThirtyTwo) {
    tevo_hash_set set = tevo_hash_set_new(60); // 67 slots, 3 words
    ASSERT_EQ(set.size, 67u);
    EXPECT_EQ(tevo_hash_insert(&set, key_at(66)), 66u);
    EXPECT_EQ(set.used[2], 1u << 2);
    EXPECT_EQ(tevo_hash_insert(&set, key_at(32)), 32u);
    EXPECT_EQ(set.used[1], 1u);
    EXPECT_EQ(set.used[0], 0u);
    tevo_hash_set_free(&set);
}

TEST(HashSetDeath, InsertIntoFullSetIsFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(
        {
            tevo_hash_set set = tevo_hash_set_new(2);
            tevo_hash_insert(&set, key_at(1));
            tevo_hash_insert(&set, key_at(2));
            tevo_hash_insert(&set, key_at(3));
        },
        "tevo/src/tevo:[0-9]+: fatal error");
    EXPECT_DEATH(
        {
            tevo_hash_set set = tevo_hash_set_new(2);
            tevo_hash_insert(&set, key_at(1));
            tevo_hash_insert(&set, key_at(2));
            tevo_hash_find_or_insert(&set, key_at(3));
        },
        "fatal error");
}

// ---------------------------------------------------------------------------
// layout and overhead

TEST(GraphOverhead, MatchesLayoutFigures) {
    EXPECT_EQ(sizeof(tevo_cgraph), 96u);
    EXPECT_EQ(tevo_graph_overhead(), 82608u);

    // record + 16 size + 4 hash, padded to 8, + 8 hash (x3 with grads)
    // + 4 per bitset word, then padded to 16 behind a 32-byte header
    auto expected = [](size_t size, bool grads) {
        const size_t hash  = tevo_hash_size(2 * size);
        size_t       bytes = (96 + 16 * size + 4 * hash + 7) / 8 * 8;
        bytes += 8 * hash * (grads ? 3 : 1) + 4 * ((hash + 31) / 32);
        return 32 + (bytes + 15) / 16 * 16;
    };
    const struct {
        size_t size;
        bool   grads;
        size_t bytes;
    } cases[] = {
        { 2048, false, 82608 }, { 2048, true, 148192 }, { 1, false, 176 },
        { 1, true, 208 },       { 4096, true, expected(4096, true) }, { 100, false, expected(100, false) },
    };
    for (const auto & c : cases) {
        EXPECT_EQ(tevo_graph_overhead_custom(c.size, c.grads), c.bytes) << c.size << " " << c.grads;
        EXPECT_EQ(expected(c.size, c.grads), c.bytes);
    }
}

TEST(GraphOverhead, PoolOfExactlyTheOverheadHoldsTheGraph) {
    const struct {
        size_t size;
        bool   grads;
    } cases[] = { { 2048, false }, { 2048, true }, { 7, true }, { 0, false } };
    for (const auto & c : cases) {
        const size_t     overhead = tevo_graph_overhead_custom(c.size, c.grads);
        tevo_init_params params   = { overhead, nullptr, true };
        tevo_context *   ctx      = tevo_init(params);
        tevo_cgraph *    g        = tevo_new_graph_custom(ctx, c.size, c.grads);
        EXPECT_EQ(tevo_used_mem(ctx), overhead);
        EXPECT_EQ(tevo_graph_size(g), (int) c.size);
        EXPECT_EQ(g->visited_hash_set.size, tevo_hash_size(2 * c.size));
        EXPECT_EQ(g->grads != nullptr, c.grads);
        EXPECT_EQ(g->grad_accs != nullptr, c.grads);
        EXPECT_EQ(g->n_nodes, 0);
        EXPECT_EQ(g->n_leafs, 0);
        EXPECT_EQ(g->order, TEVO_CGRAPH_EVAL_ORDER_LEFT_TO_RIGHT);
        EXPECT_EQ(g->uid, 0u);
        for (size_t w = 0; w < tevo_bitset_size(g->visited_hash_set.size); ++w) {
            EXPECT_EQ(g->visited_hash_set.used[w], 0u);
        }
        if (c.grads) {
            for (size_t i = 0; i < g->visited_hash_set.size; ++i) {
                EXPECT_EQ(g->grads[i], nullptr);
                EXPECT_EQ(g->grad_accs[i], nullptr);
            }
        }
        // arrays stay inside the object, keys pointer-aligned
        const char * end = (const char *) g + overhead - TEVO_OBJECT_SIZE;
        EXPECT_LE((const char *) (g->visited_hash_set.used + tevo_bitset_size(g->visited_hash_set.size)), end);
        EXPECT_EQ((uintptr_t) g->visited_hash_set.keys % 8, 0u);
        tevo_free(ctx);
    }
}

TEST(GraphOverheadDeath, GraphThatDoesNotFitIsFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    auto too_small = [] {
        tevo_init_params params;
        params.mem_size   = tevo_graph_overhead() - 16;
        params.mem_buffer = nullptr;
        params.no_alloc   = true;
        tevo_new_graph(tevo_init(params));
    };
    EXPECT_DEATH(too_small(),
        "not enough space in the context's memory pool.*TEVO_ASSERT\\(obj\\) failed");
}

// ---------------------------------------------------------------------------
// building

TEST_F(GraphTest, DiamondOrderUseCountsNamesAndComputeMarks) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, a);
    tevo_tensor * d = op(TEVO_OP_ADD, b, c);

    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, d);

    ASSERT_EQ(g->n_nodes, 3);
    ASSERT_EQ(g->n_leafs, 1);
    EXPECT_EQ(g->nodes[0], b);
    EXPECT_EQ(g->nodes[1], c);
    EXPECT_EQ(g->nodes[2], d);
    EXPECT_EQ(g->leafs[0], a);

    EXPECT_EQ(use_count(g, a), 2);
    EXPECT_EQ(use_count(g, b), 1);
    EXPECT_EQ(use_count(g, c), 1);
    EXPECT_EQ(use_count(g, d), 0);

    EXPECT_STREQ(a->name, "leaf_0");
    EXPECT_STREQ(b->name, "node_0");
    EXPECT_STREQ(c->name, "node_1");
    EXPECT_STREQ(d->name, "node_2");

    EXPECT_FALSE(computes(a));
    EXPECT_TRUE(computes(b));
    EXPECT_TRUE(computes(c));
    EXPECT_TRUE(computes(d));

    for (int i = 0; i < g->n_nodes; ++i) {
        EXPECT_EQ(tevo_node_get_use_count(g, i), use_count(g, g->nodes[i]));
    }
}

TEST_F(GraphTest, RightToLeftOrderVisitsLastSourceFirst) {
    tevo_tensor * a = leaf("a");
    tevo_tensor * x = leaf("x");
    tevo_tensor * b = op(TEVO_OP_SQR, a, nullptr, "b");
    tevo_tensor * c = op(TEVO_OP_SQRT, x, nullptr, "c");
    tevo_tensor * d = op(TEVO_OP_ADD, b, c, "d");

    tevo_cgraph * g = tevo_new_graph(ctx);
    g->order        = TEVO_CGRAPH_EVAL_ORDER_RIGHT_TO_LEFT;
    tevo_build_forward_expand(g, d);

    ASSERT_EQ(g->n_nodes, 3);
    EXPECT_EQ(g->nodes[0], c);
    EXPECT_EQ(g->nodes[1], b);
    EXPECT_EQ(g->nodes[2], d);
    ASSERT_EQ(g->n_leafs, 2);
    EXPECT_EQ(g->leafs[0], x);
    EXPECT_EQ(g->leafs[1], a);
    EXPECT_STREQ(a->name, "a"); // names are kept
}

TEST_F(GraphTest, SameSourceTwiceCountsTwice) {
    tevo_tensor * a = leaf();
    tevo_tensor * e = op(TEVO_OP_MUL, a, a);
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, e);
    EXPECT_EQ(g->n_leafs, 1);
    EXPECT_EQ(use_count(g, a), 2);
}

TEST_F(GraphTest, RepeatedExpandAddsNothingAndSkipsTheLastNodeCheck) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, a);
    tevo_tensor * d = op(TEVO_OP_ADD, b, c);

    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, d);
    tevo_build_forward_expand(g, d);
    tevo_build_forward_expand(g, b); // not last, but nothing is added
    tevo_build_forward_expand(g, a); // a leaf already present

    EXPECT_EQ(g->n_nodes, 3);
    EXPECT_EQ(g->n_leafs, 1);
    EXPECT_EQ(use_count(g, a), 2);
    EXPECT_EQ(use_count(g, b), 1);

    // a second result sharing the first part
    tevo_tensor * e = op(TEVO_OP_MUL, d, b);
    tevo_build_forward_expand(g, e);
    EXPECT_EQ(g->n_nodes, 4);
    EXPECT_EQ(g->nodes[3], e);
    EXPECT_EQ(use_count(g, b), 2);
    EXPECT_EQ(use_count(g, d), 1);
}

TEST_F(GraphTest, NewLeafExpandedAloneGoesToLeafs) {
    tevo_tensor * a = leaf();
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, a);
    EXPECT_EQ(g->n_nodes, 0);
    EXPECT_EQ(g->n_leafs, 1);
    EXPECT_FALSE(computes(a));
}

TEST_F(GraphTest, ParamLeafIsANode) {
    tevo_tensor * w = leaf("w");
    tevo_set_param(w);
    tevo_tensor * y = op(TEVO_OP_SQR, w, nullptr, "y");
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, y);
    ASSERT_EQ(g->n_nodes, 2);
    EXPECT_EQ(g->nodes[0], w);
    EXPECT_EQ(g->nodes[1], y);
    EXPECT_EQ(g->n_leafs, 0);
    EXPECT_FALSE(computes(w)); // it has no operator to run
}

TEST_F(GraphTest, OrderThenExpandMarksTheWholeWalk) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, a);
    tevo_tensor * d = op(TEVO_OP_ADD, b, c);

    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_order(g, d);
    EXPECT_EQ(g->n_nodes, 3);
    EXPECT_FALSE(computes(b) || computes(c) || computes(d));

    tevo_build_forward_expand(g, d);
    EXPECT_EQ(g->n_nodes, 3);
    EXPECT_TRUE(computes(b) && computes(c) && computes(d));
    EXPECT_FALSE(computes(a));
    EXPECT_EQ(use_count(g, a), 2); // repeat visits count nothing
    EXPECT_EQ(use_count(g, b), 1);
}

TEST_F(GraphTest, ExpandOfAnInnerNodeMarksOnlyItsPart) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, b);
    tevo_tensor * d = op(TEVO_OP_ADD, c, a);

    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_order(g, d);
    tevo_build_forward_expand(g, c);
    EXPECT_TRUE(computes(b));
    EXPECT_TRUE(computes(c));
    EXPECT_FALSE(computes(d));
    EXPECT_EQ(g->n_nodes, 3);
}

TEST_F(GraphTest, SelectMarksOnlyTheChosenEntry) {
    tevo_tensor * a  = leaf();
    tevo_tensor * x1 = op(TEVO_OP_SQR, a);
    tevo_tensor * y1 = op(TEVO_OP_SQRT, x1);
    tevo_tensor * x2 = op(TEVO_OP_LOG, a);
    tevo_tensor * y2 = op(TEVO_OP_SIN, x2);

    tevo_tensor * list[2] = { y1, y2 };
    tevo_cgraph * g       = tevo_new_graph(ctx);
    EXPECT_EQ(tevo_build_forward_select(g, list, 2, 1), y2);

    ASSERT_EQ(g->n_nodes, 4);
    EXPECT_EQ(g->nodes[0], x1);
    EXPECT_EQ(g->nodes[1], y1);
    EXPECT_EQ(g->nodes[2], x2);
    EXPECT_EQ(g->nodes[3], y2);
    EXPECT_FALSE(computes(x1) || computes(y1));
    EXPECT_TRUE(computes(x2) && computes(y2));
    EXPECT_EQ(use_count(g, a), 2);
}

TEST_F(GraphTest, NodeAccessCountsNegativeIndicesFromTheEnd) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, b);
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, c);

    EXPECT_EQ(tevo_graph_node(g, -1), c);
    EXPECT_EQ(tevo_graph_node(g, -2), b);
    EXPECT_EQ(tevo_graph_node(g, 0), b);
    EXPECT_EQ(tevo_graph_n_nodes(g), 2);
    EXPECT_EQ(tevo_graph_size(g), TEVO_DEFAULT_GRAPH_SIZE);
    EXPECT_EQ(tevo_graph_nodes(g), g->nodes);

    EXPECT_DEATH(tevo_graph_node(g, 2), "tevo/src/tevo:[0-9]+: TEVO_ASSERT\\(i < cgraph->n_nodes\\) failed");
    EXPECT_DEATH(tevo_graph_node(g, -3), "TEVO_ASSERT\\(cgraph->n_nodes \\+ i >= 0\\) failed");
}

TEST_F(GraphTest, AddNodeBypassesTheHashSet) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 1, false);
    tevo_graph_add_node(g, b);
    EXPECT_EQ(g->n_nodes, 1);
    EXPECT_FALSE(tevo_hash_contains(&g->visited_hash_set, b));
    EXPECT_DEATH(tevo_graph_add_node(g, b), "TEVO_ASSERT\\(cgraph->size > cgraph->n_nodes\\) failed");
}

TEST_F(GraphTest, CapacityOverrunsAreFatal) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, b);
    tevo_tensor * d = op(TEVO_OP_LOG, c);
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 2, false);
    EXPECT_DEATH(tevo_build_forward_expand(g, d), "TEVO_ASSERT\\(cgraph->n_nodes < cgraph->size\\) failed");

    tevo_tensor * e = op(TEVO_OP_ADD, leaf(), leaf());
    tevo_tensor * f = op(TEVO_OP_ADD, e, leaf());
    tevo_cgraph * h = tevo_new_graph_custom(ctx, 2, false);
    EXPECT_DEATH(tevo_build_forward_expand(h, f), "TEVO_ASSERT\\(cgraph->n_leafs < cgraph->size\\) failed");
}

TEST_F(GraphTest, SelectIndexOutOfRangeIsFatal) {
    tevo_tensor * list[1] = { op(TEVO_OP_SQR, leaf()) };
    tevo_cgraph * g       = tevo_new_graph(ctx);
    EXPECT_DEATH(tevo_build_forward_select(g, list, 1, 1), "TEVO_ASSERT\\(idx >= 0 && idx < n_tensors\\) failed");
    EXPECT_DEATH(tevo_build_forward_select(g, list, 1, -1), "TEVO_ASSERT\\(idx >= 0 && idx < n_tensors\\) failed");
}

TEST_F(GraphTest, GetTensorSearchesLeafsBeforeNodes) {
    tevo_tensor * a = leaf("same");
    tevo_tensor * b = op(TEVO_OP_SQR, a, nullptr, "same");
    tevo_tensor * c = op(TEVO_OP_SQRT, b, nullptr, "out");
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, c);
    EXPECT_EQ(tevo_graph_get_tensor(g, "same"), a);
    EXPECT_EQ(tevo_graph_get_tensor(g, "out"), c);
    EXPECT_EQ(tevo_graph_get_tensor(g, "none"), nullptr);
}

// ---------------------------------------------------------------------------
// flags

TEST_F(GraphTest, FlagSetters) {
    tevo_tensor * a = leaf();
    tevo_set_input(a);
    EXPECT_EQ(a->flags, TEVO_TENSOR_FLAG_INPUT);

    tevo_tensor * v1 = tevo_view_tensor(ctx, a);
    tevo_tensor * v2 = tevo_view_tensor(ctx, v1);
    tevo_set_output(v2);
    EXPECT_TRUE(v2->flags & TEVO_TENSOR_FLAG_OUTPUT);
    EXPECT_TRUE(a->flags & TEVO_TENSOR_FLAG_OUTPUT);
    EXPECT_FALSE(v1->flags & TEVO_TENSOR_FLAG_OUTPUT); // not on the chain: views point at the root

    tevo_tensor * s = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    tevo_set_loss(s);
    EXPECT_EQ(s->flags, TEVO_TENSOR_FLAG_LOSS);

    tevo_tensor * b = op(TEVO_OP_SQR, a);
    EXPECT_DEATH(tevo_set_input(b), "TEVO_ASSERT\\(tensor->op == TEVO_OP_NONE\\) failed");
    EXPECT_DEATH(tevo_set_param(b), "TEVO_ASSERT\\(tensor->op == TEVO_OP_NONE\\) failed");
    EXPECT_DEATH(tevo_set_loss(a), "TEVO_ASSERT\\(tevo_is_scalar\\(tensor\\)\\) failed");
    EXPECT_DEATH(tevo_set_loss(tevo_new_tensor_1d(ctx, TEVO_TYPE_F16, 1)),
                 "TEVO_ASSERT\\(tensor->type == TEVO_TYPE_F32\\) failed");
}

// ---------------------------------------------------------------------------
// views, copies, clearing

TEST_F(GraphTest, ViewIsASliceSharingTheVisitedSet) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, b);
    tevo_tensor * d = op(TEVO_OP_LOG, c);
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 16, true);
    tevo_build_forward_expand(g, d);
    g->uid = 7;

    tevo_cgraph v = tevo_graph_view(g, 1, 3);
    EXPECT_EQ(v.size, 0);
    EXPECT_EQ(v.n_nodes, 2);
    EXPECT_EQ(v.n_leafs, 0);
    EXPECT_EQ(v.nodes, g->nodes + 1);
    EXPECT_EQ(tevo_graph_node(&v, 0), c);
    EXPECT_EQ(tevo_graph_node(&v, -1), d);
    EXPECT_EQ(v.leafs, nullptr);
    EXPECT_EQ(v.grads, nullptr);
    EXPECT_EQ(v.grad_accs, nullptr);
    EXPECT_EQ(v.use_counts, g->use_counts);
    EXPECT_EQ(v.visited_hash_set.keys, g->visited_hash_set.keys);
    EXPECT_EQ(v.visited_hash_set.used, g->visited_hash_set.used);
    EXPECT_EQ(v.visited_hash_set.size, g->visited_hash_set.size);
    EXPECT_EQ(v.order, g->order);
    EXPECT_EQ(v.uid, 0u);
    EXPECT_EQ(tevo_node_get_use_count(&v, 0), 1); // c, read by d
}

TEST_F(GraphTest, DupCopiesNodesLeafsAndUseCountsByKey) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_MUL, b, b);
    tevo_tensor * d = op(TEVO_OP_ADD, c, a);
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 8, false);
    g->order        = TEVO_CGRAPH_EVAL_ORDER_RIGHT_TO_LEFT;
    tevo_build_forward_expand(g, d);
    g->uid = 5;

    tevo_cgraph * h = tevo_graph_dup(ctx, g, false);
    EXPECT_EQ(h->size, 8);
    EXPECT_EQ(h->grads, nullptr);
    EXPECT_EQ(h->uid, 0u);
    EXPECT_EQ(h->order, TEVO_CGRAPH_EVAL_ORDER_RIGHT_TO_LEFT);
    ASSERT_EQ(h->n_nodes, g->n_nodes);
    ASSERT_EQ(h->n_leafs, g->n_leafs);
    for (int i = 0; i < g->n_nodes; ++i) {
        EXPECT_EQ(h->nodes[i], g->nodes[i]);
    }
    EXPECT_EQ(h->leafs[0], a);
    for (tevo_tensor * t : { a, b, c, d }) {
        EXPECT_EQ(use_count(h, t), use_count(g, t));
    }
    EXPECT_EQ(use_count(h, b), 2);

    tevo_cgraph * hg = tevo_graph_dup(ctx, g, true);
    ASSERT_NE(hg->grads, nullptr);
    ASSERT_NE(hg->grad_accs, nullptr);
    for (size_t i = 0; i < hg->visited_hash_set.size; ++i) {
        EXPECT_EQ(hg->grads[i], nullptr);
    }
}

TEST_F(GraphTest, CopyMovesGradientsToTheDestinationSlots) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_SQRT, b);
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 4, true);
    tevo_build_forward_expand(g, c);

    tevo_tensor * gb  = leaf("grad b");
    tevo_tensor * gc  = leaf("grad c");
    tevo_tensor * acc = leaf("acc c");
    g->grads[tevo_hash_find(&g->visited_hash_set, b)]     = gb;
    g->grads[tevo_hash_find(&g->visited_hash_set, c)]     = gc;
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, c)] = acc;

    // a larger graph has other slot positions
    tevo_cgraph * h = tevo_new_graph_custom(ctx, 64, true);
    tevo_tensor * stale = leaf("stale");
    h->grads[0]         = stale;
    tevo_graph_cpy(g, h);

    EXPECT_EQ(tevo_graph_get_grad(h, b), gb);
    EXPECT_EQ(tevo_graph_get_grad(h, c), gc);
    EXPECT_EQ(tevo_graph_get_grad_acc(h, c), acc);
    EXPECT_EQ(tevo_graph_get_grad_acc(h, b), nullptr);
    EXPECT_EQ(tevo_graph_get_grad(h, a), nullptr); // leafs carry none here
    for (size_t i = 0; i < h->visited_hash_set.size; ++i) {
        EXPECT_NE(h->grads[i], stale);
    }

    // not in the set, or no gradient arrays at all
    EXPECT_EQ(tevo_graph_get_grad(h, gb), nullptr);
    tevo_cgraph * plain = tevo_graph_dup(ctx, h, false); // keeps grads: the source has them
    EXPECT_EQ(tevo_graph_get_grad(plain, c), gc);
    tevo_cgraph * nograds = tevo_new_graph_custom(ctx, 4, false);
    tevo_build_forward_expand(nograds, c);
    EXPECT_EQ(tevo_graph_get_grad(nograds, c), nullptr);
    EXPECT_EQ(tevo_graph_get_grad_acc(nograds, c), nullptr);

    EXPECT_DEATH(tevo_graph_cpy(g, nograds), "TEVO_ASSERT\\(dst->grads != NULL\\) failed");
}

TEST_F(GraphTest, CopyIntoAGraphThatAlreadyHoldsTheTensors) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_tensor * c = op(TEVO_OP_ADD, b, a);
    tevo_tensor * d = op(TEVO_OP_MUL, c, b);

    tevo_cgraph * src = tevo_new_graph_custom(ctx, 8, false);
    tevo_build_forward_expand(src, d);

    // dst already visited part of the same tensors, with other counts
    tevo_cgraph * dst = tevo_new_graph_custom(ctx, 8, false);
    tevo_build_forward_expand(dst, c);
    const size_t slot_b = tevo_hash_find(&dst->visited_hash_set, b);
    dst->uid            = 9;

    tevo_graph_cpy(src, dst);
    EXPECT_EQ(dst->uid, 9u);
    EXPECT_EQ(dst->n_nodes, 3);
    EXPECT_EQ(tevo_hash_find(&dst->visited_hash_set, b), slot_b);
    for (tevo_tensor * t : { a, b, c, d }) {
        EXPECT_EQ(use_count(dst, t), use_count(src, t));
    }
    EXPECT_EQ(use_count(dst, b), 2);
}

TEST_F(GraphTest, CopyChecksCapacity) {
    tevo_tensor * a = leaf();
    tevo_tensor * d = op(TEVO_OP_SQRT, op(TEVO_OP_SQR, a));
    tevo_cgraph * g = tevo_new_graph_custom(ctx, 4, false);
    tevo_build_forward_expand(g, d);

    tevo_cgraph * small = tevo_new_graph_custom(ctx, 1, false);
    EXPECT_DEATH(tevo_graph_cpy(g, small), "TEVO_ASSERT\\(dst->size >= src->n_nodes\\) failed");

    tevo_cgraph * narrow = tevo_new_graph_custom(ctx, 4, false);
    narrow->visited_hash_set.size = 5; // fewer slots than g's 11
    EXPECT_DEATH(tevo_graph_cpy(g, narrow),
                 "TEVO_ASSERT\\(dst->visited_hash_set.size >= src->visited_hash_set.size\\) failed");
}

TEST_F(GraphTest, ClearEmptiesForRebuilding) {
    tevo_tensor * a = leaf();
    tevo_tensor * b = op(TEVO_OP_SQR, a);
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, b);
    tevo_graph_clear(g);
    EXPECT_EQ(g->n_nodes, 0);
    EXPECT_EQ(g->n_leafs, 0);
    EXPECT_FALSE(tevo_hash_contains(&g->visited_hash_set, a));

    tevo_build_forward_expand(g, b);
    EXPECT_EQ(g->n_nodes, 1);
    EXPECT_EQ(g->n_leafs, 1);
    EXPECT_EQ(use_count(g, a), 1);
}

// ---------------------------------------------------------------------------
// reset of gradient accumulators

TEST_F(GraphTest, ResetSetsLossToOneZeroesOtherAccumulatorsAndMoments) {
    tevo_tensor * w = leaf("w");
    tevo_set_param(w);
    tevo_tensor * m = leaf("m");
    tevo_tensor * v = leaf("v");
    tevo_tensor * y = op(TEVO_OP_SQR, w, nullptr, "y");

    tevo_tensor * loss = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    loss->op           = TEVO_OP_SUM;
    loss->src[0]       = y;
    tevo_set_loss(loss);

    tevo_tensor * step = op(TEVO_OP_OPT_STEP_ADAMW, w, leaf("g"), "step");
    step->src[2]       = m;
    step->src[3]       = v;

    tevo_cgraph * g = tevo_new_graph_custom(ctx, 16, true);
    tevo_build_forward_expand(g, loss);
    tevo_build_forward_expand(g, step);

    tevo_tensor * acc_w    = leaf("acc w");
    tevo_tensor * acc_loss = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, w)]    = acc_w;
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, loss)] = acc_loss;

    for (tevo_tensor * t : { acc_w, acc_loss, m, v, y }) {
        for (int i = 0; i < t->ne[0]; ++i) {
            ((float *) t->data)[i] = 3.5f;
        }
    }

    tevo_graph_reset(g);
    EXPECT_EQ(((float *) acc_loss->data)[0], 1.0f);
    for (tevo_tensor * t : { acc_w, m, v }) {
        for (int i = 0; i < t->ne[0]; ++i) {
            EXPECT_EQ(((float *) t->data)[i], 0.0f) << t->name;
        }
    }
    EXPECT_EQ(((float *) y->data)[0], 3.5f); // no accumulator, untouched

    tevo_graph_reset(nullptr);

    tevo_cgraph * nograds = tevo_new_graph(ctx);
    EXPECT_DEATH(tevo_graph_reset(nograds), "TEVO_ASSERT\\(cgraph->grads != NULL\\) failed");

    // a loss accumulator must be an F32 scalar
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, loss)] = acc_w;
    EXPECT_DEATH(tevo_graph_reset(g), "TEVO_ASSERT\\(tevo_is_scalar\\(grad_acc\\)\\) failed");
}

TEST_F(GraphTest, SetZero) {
    tevo_tensor * t = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 3, 2);
    memset(t->data, 0x5a, tevo_nbytes(t));
    EXPECT_EQ(tevo_set_zero(t), t);
    for (size_t i = 0; i < tevo_nbytes(t); ++i) {
        EXPECT_EQ(((uint8_t *) t->data)[i], 0);
    }

    tevo_tensor * empty = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 0);
    empty->data         = nullptr;
    EXPECT_EQ(tevo_set_zero(empty), empty);

    tevo_tensor * nodata = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 2);
    nodata->data         = nullptr;
    EXPECT_DEATH(tevo_set_zero(nodata), "TEVO_ASSERT\\(tensor->data\\) failed");
}

// ---------------------------------------------------------------------------
// fusion check

struct FusionTest : GraphTest {
    tevo_cgraph * g = nullptr;
    tevo_tensor *a, *b, *c, *d, *e;

    // a -> b=SQR -> c=SQRT -> d=LOG;  e=SIN(b) reads b from outside b..d
    void build() {
        a = leaf("a");
        b = op(TEVO_OP_SQR, a, nullptr, "b");
        c = op(TEVO_OP_SQRT, b, nullptr, "c");
        d = op(TEVO_OP_LOG, c, nullptr, "d");
        e = op(TEVO_OP_SIN, b, nullptr, "e");
        g = tevo_new_graph(ctx);
        tevo_build_forward_expand(g, d);
        tevo_build_forward_expand(g, e);
    }
};

TEST_F(FusionTest, OnlyListedOutputsMayBeReadOutside) {
    build();
    ASSERT_EQ(g->n_nodes, 4); // b c d e
    const tevo_op ops3[] = { TEVO_OP_SQR, TEVO_OP_SQRT, TEVO_OP_LOG };
    const int     run[]  = { 0, 1, 2 };

    const struct {
        const char * what;
        int          idxs[3];
        int          count;
        int          outputs[2];
        int          n_outputs;
        bool         expected;
    } cases[] = {
        { "b is read by e", { 0, 1, 2 }, 3, { 2 }, 1, false },
        { "b listed as output", { 0, 1, 2 }, 3, { 2, 0 }, 2, true },
        { "c..d", { 1, 2 }, 2, { 2 }, 1, true },
        { "output search stops at a bad index", { 0, 1, 2 }, 3, { 9, 0 }, 2, false },
        { "index past the end", { 1, 2, 4 }, 3, { 2 }, 1, false },
        { "negative index", { -1, 1, 2 }, 3, { 2 }, 1, false },
        { "bad later index is never read", { 1, 2, 1000000 }, 3, { 1 }, 1, false },
    };
    for (const auto & cs : cases) {
        const tevo_op * ops = cs.idxs[0] == 1 ? ops3 + 1 : ops3;
        EXPECT_EQ(tevo_can_fuse_subgraph_ext(g, cs.idxs, cs.count, ops, cs.outputs, cs.n_outputs), cs.expected)
            << cs.what;
    }

    const tevo_op wrong[] = { TEVO_OP_SQR, TEVO_OP_LOG, TEVO_OP_LOG };
    const int     out[]   = { 2 };
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(g, run, 3, wrong, out, 1));

    // an intermediate flagged as an output cannot vanish into a kernel
    c->flags |= TEVO_TENSOR_FLAG_OUTPUT;
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(g, run + 1, 2, ops3 + 1, out, 1));
    c->flags &= ~TEVO_TENSOR_FLAG_OUTPUT;
    EXPECT_TRUE(tevo_can_fuse_subgraph_ext(g, run + 1, 2, ops3 + 1, out, 1));

    // a node not marked for computation
    d->flags &= ~TEVO_TENSOR_FLAG_COMPUTE;
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(g, run + 1, 2, ops3 + 1, out, 1));

    EXPECT_DEATH(tevo_can_fuse_subgraph_ext(g, run, 3, ops3, nullptr, 1),
                 "TEVO_ASSERT\\(outputs && num_outputs > 0\\) failed");
    EXPECT_DEATH(tevo_can_fuse_subgraph_ext(g, run, 3, ops3, out, 0),
                 "TEVO_ASSERT\\(outputs && num_outputs > 0\\) failed");
}

TEST_F(FusionTest, ViewsMustStayInsideTheRun) {
    tevo_tensor * x = leaf("x");
    tevo_tensor * p = op(TEVO_OP_SQR, x, nullptr, "p");
    tevo_tensor * v = tevo_view_tensor(ctx, p);
    v->op           = TEVO_OP_VIEW;
    v->src[0]       = p;
    tevo_tensor * q = op(TEVO_OP_SQRT, v, nullptr, "q");

    tevo_tensor * lv = tevo_view_tensor(ctx, x); // view of a leaf without a buffer
    lv->op           = TEVO_OP_VIEW;
    lv->src[0]       = x;
    tevo_tensor * r  = op(TEVO_OP_LOG, lv, nullptr, "r");

    tevo_cgraph * gr = tevo_new_graph(ctx);
    tevo_build_forward_expand(gr, q);
    tevo_build_forward_expand(gr, r);
    ASSERT_EQ(gr->n_nodes, 5); // p v q lv r

    const tevo_op ops_in[] = { TEVO_OP_SQR, TEVO_OP_VIEW, TEVO_OP_SQRT };
    const int     in[]     = { 0, 1, 2 };
    const int     out_q[]  = { 2 };
    EXPECT_TRUE(tevo_can_fuse_subgraph_ext(gr, in, 3, ops_in, out_q, 1));

    // the viewed tensor left out of the run
    const int vq[] = { 1, 2 };
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(gr, vq, 2, ops_in + 1, out_q, 1));

    const tevo_op ops_leaf[] = { TEVO_OP_VIEW, TEVO_OP_LOG };
    const int     lr[]       = { 3, 4 };
    const int     out_r[]    = { 4 };
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(gr, lr, 2, ops_leaf, out_r, 1));
}

// ---------------------------------------------------------------------------
// printing and the Graphviz dump

TEST_F(GraphTest, PrintListsNodesAndLeafs) {
    tevo_tensor * w = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 4, 3, 2);
    tevo_set_name(w, "w");
    tevo_set_param(w);
    tevo_tensor * x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 3);
    tevo_set_name(x, "x");
    tevo_tensor * y = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 4, 3, 2);
    y->op           = TEVO_OP_MUL;
    y->src[0]       = w;
    y->src[1]       = x;
    tevo_set_name(y, "y");

    tevo_cgraph * g = tevo_new_graph_custom(ctx, 8, true);
    tevo_build_forward_expand(g, y);
    g->grads[tevo_hash_find(&g->visited_hash_set, y)] = x; // any tensor as y's gradient

    tevo_log_callback old_cb;
    void *            old_ud;
    tevo_log_get(&old_cb, &old_ud);
    g_log.clear();
    tevo_log_set(capture_log, nullptr);
    tevo_graph_print(g);
    tevo_log_set(old_cb, old_ud);

    const std::string expected = "=== GRAPH ===\n"
                                 "n_nodes = 2\n"
                                 " -   0: [     4,     3,     2]             NONE x\n"
                                 " -   1: [     4,     3,     2]              MUL g\n"
                                 "n_leafs = 1\n"
                                 " -   0: [     4,     3]     NONE                x\n"
                                 "========================================\n";
    EXPECT_EQ(g_log, expected);
}

TEST_F(GraphTest, DumpDotWritesNodesLeafsAndEdges) {
    tevo_tensor * x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 2, 2);
    tevo_set_name(x, "x");
    tevo_tensor * z = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 8); // more than 4 elements: no data marks
    tevo_tensor * y = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, 2, 2, 3);
    y->op           = TEVO_OP_ADD;
    y->src[0]       = x;
    y->src[2]       = z;
    tevo_tensor * s = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    s->op           = TEVO_OP_SUM;
    s->src[0]       = y;
    tevo_set_name(s, "s");

    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, s);
    ASSERT_EQ(g->n_nodes, 2);
    ASSERT_EQ(g->n_leafs, 2);
    tevo_set_name(y, ""); // unnamed nodes print only their type

    char path[] = "/tmp/test-graph-dot-XXXXXX";
    int  fd     = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    tevo_log_callback old_cb;
    void *            old_ud;
    tevo_log_get(&old_cb, &old_ud);
    g_log.clear();
    tevo_log_set(capture_log, nullptr);
    tevo_graph_dump_dot(g, nullptr, path);
    tevo_log_set(old_cb, old_ud);

    std::ifstream     in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    remove(path);

    char buf[4096];
    snprintf(buf, sizeof(buf),
             "digraph G {\n"
             "  newrank = true;\n"
             "  rankdir = TB;\n"
             "  \"%p\" [ style = filled; fillcolor = white; shape = record; label=\"(f16)|0 [2, 2, 3] | <x>x+y\"; ]\n"
             "  \"%p\" [ style = filled; fillcolor = white; shape = record; label=\"s (f32)|1 [1, 1] | <x>Σx\"; ]\n"
             "  \"%p\" [ style = filled; fillcolor = pink; shape = record; label=\"<x>x (f32)|CONST 0 [2, 2] | (#, #, #, #)\"; ]\n"
             "  \"%p\" [ style = filled; fillcolor = pink; shape = record; label=\"<x>leaf_1 (f32)|CONST 1 [8, 1]\"; ]\n"
             "  \"%p\" -> \"%p\" [ arrowhead = vee; style = solid; label = \"src 0\"; ]\n"
             "  \"%p\" -> \"%p\" [ arrowhead = vee; style = solid; label = \"src 2\"; ]\n"
             "  \"%p\" -> \"%p\" [ arrowhead = vee; style = solid; label = \"src 0\"; ]\n"
             "}\n",
             (void *) y, (void *) s, (void *) x, (void *) z, (void *) x, (void *) y, (void *) z, (void *) y,
             (void *) y, (void *) s);
    EXPECT_EQ(ss.str(), std::string(buf));

    const std::string p = path;
    EXPECT_EQ(g_log, "tevo_graph_dump_dot: dot -Tpng " + p + " -o " + p + ".png && open " + p + ".png\n");

    EXPECT_DEATH(tevo_graph_dump_dot(g, nullptr, "/nonexistent-dir/x.dot"), "TEVO_ASSERT\\(fp\\) failed");
}

TEST_F(GraphTest, DumpDotColoursGradientsAndDrawsThemAsOwners) {
    tevo_tensor * w = leaf("w");
    tevo_set_param(w);
    tevo_tensor * y  = op(TEVO_OP_SQR, w, nullptr, "y");
    tevo_tensor * gy = op(TEVO_OP_SCALE, y, nullptr, "gy"); // stands for y's gradient

    tevo_cgraph * gb = tevo_new_graph_custom(ctx, 8, true);
    tevo_build_forward_expand(gb, y);
    tevo_build_forward_expand(gb, gy);
    gb->grads[tevo_hash_find(&gb->visited_hash_set, y)] = gy;

    tevo_cgraph * gf = tevo_new_graph_custom(ctx, 8, false); // forward graph without y

    char path[] = "/tmp/test-graph-dot-XXXXXX";
    int  fd     = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    tevo_log_callback old_cb;
    void *            old_ud;
    tevo_log_get(&old_cb, &old_ud);
    tevo_log_set(capture_log, nullptr);
    tevo_graph_dump_dot(gb, gf, path);
    tevo_log_set(old_cb, old_ud);

    std::ifstream     in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    remove(path);
    const std::string out = ss.str();

    char line[512];
    snprintf(line, sizeof(line),
             "  \"%p\" [ style = filled; fillcolor = yellow; shape = record; label=\"w (f32)|0 [4, 1] | <x>none\"; ]\n",
             (void *) w);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    snprintf(line, sizeof(line),
             "  \"%p\" [ style = filled; fillcolor = lightblue; shape = record; label=\"y (f32)|1 [4, 1] | <x>x^2 | "
             "<g>x*v\"; ]\n",
             (void *) y);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    snprintf(line, sizeof(line), "\"%p\" [", (void *) gy); // no box of its own
    EXPECT_EQ(out.find(line), std::string::npos) << out;
    // the gradient's edge from y is drawn dashed from y to its owner y
    snprintf(line, sizeof(line), "  \"%p\" -> \"%p\" [ arrowhead = empty; style = dashed; label = \"src 0\"; ]\n",
             (void *) y, (void *) y);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    snprintf(line, sizeof(line), "  \"%p\" -> \"%p\" [ arrowhead = vee; style = solid; label = \"src 0\"; ]\n",
             (void *) w, (void *) y);
    EXPECT_NE(out.find(line), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// tensors held in backend buffers

#include "backend/impl.h"

namespace {

// a host-memory buffer whose slots record how they were used
struct RecordingBuffer {
    tevo_backend_buffer buf{};
    static inline int n_memset = 0;
    static inline int n_set    = 0;

    static void memset_tensor(tevo_backend_buffer_t, tevo_tensor * t, uint8_t value, size_t offset, size_t size) {
        n_memset++;
        memset((char *) t->data + offset, value, size);
    }
    static void set_tensor(tevo_backend_buffer_t, tevo_tensor * t, const void * data, size_t offset, size_t size) {
        n_set++;
        memcpy((char *) t->data + offset, data, size);
    }

    explicit RecordingBuffer(tevo_backend_buffer_usage usage) {
        buf.iface.memset_tensor = memset_tensor;
        buf.iface.set_tensor    = set_tensor;
        buf.size                = 1 << 20;
        buf.usage               = usage;
        n_memset = n_set = 0;
    }
};

} // namespace

TEST_F(GraphTest, BufferTensorsAreResetThroughTheBackend) {
    RecordingBuffer rb(TEVO_BACKEND_BUFFER_USAGE_COMPUTE);

    tevo_tensor * w = leaf("w");
    tevo_set_param(w);
    tevo_tensor * loss = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    loss->op           = TEVO_OP_SUM;
    loss->src[0]       = w;
    tevo_set_loss(loss);

    tevo_cgraph * g = tevo_new_graph_custom(ctx, 8, true);
    tevo_build_forward_expand(g, loss);

    tevo_tensor * acc_w    = leaf("acc w");
    tevo_tensor * acc_loss = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    acc_w->buffer          = &rb.buf;
    acc_loss->buffer       = &rb.buf;
    ((float *) acc_w->data)[2] = 7.0f;
    ((float *) acc_loss->data)[0] = 7.0f;
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, w)]    = acc_w;
    g->grad_accs[tevo_hash_find(&g->visited_hash_set, loss)] = acc_loss;

    tevo_graph_reset(g);
    EXPECT_EQ(RecordingBuffer::n_memset, 1);
    EXPECT_EQ(RecordingBuffer::n_set, 1);
    EXPECT_EQ(((float *) acc_w->data)[2], 0.0f);
    EXPECT_EQ(((float *) acc_loss->data)[0], 1.0f);
}

TEST_F(FusionTest, ViewsOfWeightsMayBeFused) {
    RecordingBuffer weights(TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    RecordingBuffer compute(TEVO_BACKEND_BUFFER_USAGE_COMPUTE);

    tevo_tensor * wt = leaf("wt");
    tevo_tensor * v  = tevo_view_tensor(ctx, wt);
    v->op            = TEVO_OP_VIEW;
    v->src[0]        = wt;
    tevo_tensor * y  = op(TEVO_OP_SQR, v, nullptr, "y");

    tevo_cgraph * gr = tevo_new_graph(ctx);
    tevo_build_forward_expand(gr, y);
    ASSERT_EQ(gr->n_nodes, 2);

    const tevo_op ops[] = { TEVO_OP_VIEW, TEVO_OP_SQR };
    const int     run[] = { 0, 1 };
    const int     out[] = { 1 };

    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(gr, run, 2, ops, out, 1)); // no buffer

    wt->buffer = &weights.buf;
    EXPECT_TRUE(tevo_can_fuse_subgraph_ext(gr, run, 2, ops, out, 1));

    tevo_set_param(wt); // trainable: its data changes between runs
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(gr, run, 2, ops, out, 1));
    wt->flags &= ~TEVO_TENSOR_FLAG_PARAM;

    wt->buffer = &compute.buf;
    EXPECT_FALSE(tevo_can_fuse_subgraph_ext(gr, run, 2, ops, out, 1));
}
