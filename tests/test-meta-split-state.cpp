// Split states derived per operator from the states of stored tensors, their
// cache, their debug log line and the graphs they refuse.

#include "meta-test-devices.h"
#include "test-backend-mock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <functional>

using namespace metatest;

namespace {

struct stored_recipe {
    const char *         name;
    std::vector<int64_t> ne;
    meta_split_state     ss;
    tevo_type            type = TEVO_TYPE_F32;
};

// stored tensors in a meta buffer over two devices, and one graph over them
// placed by the graph allocator
struct scene {
    tevo_context *                       wctx = nullptr;
    tevo_backend_buffer_t                wbuf = nullptr;
    tevo_context *                       gctx = nullptr;
    tevo_gallocr_t                       galloc = nullptr;
    std::map<std::string, tevo_tensor *> t;

    explicit scene(const std::vector<stored_recipe> & specs) {
        wctx = no_alloc_ctx();
        for (const stored_recipe & s : specs) {
            states()[s.name] = s.ss;
            std::vector<int64_t> ne = s.ne;
            tevo_tensor *        w  = tevo_new_tensor(wctx, s.type, (int) ne.size(), ne.data());
            tevo_set_name(w, s.name);
            t[s.name] = w;
        }
        wbuf = tevo_backend_alloc_ctx_tensors_from_buft(wctx, buft());
        gctx = no_alloc_ctx();
    }
    ~scene() {
        tevo_gallocr_free(galloc);
        tevo_free(gctx);
        tevo_backend_buffer_free(wbuf);
        tevo_free(wctx);
    }

    static tevo_backend_buffer_type_t buft() { return tevo_backend_dev_buffer_type(meta_device(plain_set(), 2)); }

    tevo_tensor * operator[](const char * name) { return t.at(name); }

    // places the node's graph, which infers every state in it
    tevo_tensor * place(tevo_tensor * node) {
        tevo_cgraph * g = tevo_new_graph(gctx);
        tevo_build_forward_expand(g, node);
        galloc = tevo_gallocr_new(buft());
        EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
        return node;
    }
};

std::vector<int64_t> extents(const meta_split_state & ss) {
    return { ss.ne[0], ss.ne[1] };
}

TEST(MetaSplitState, ProductOfRowSplitWeightIsSplitAlongItsOutputs) {
    scene s({ { "w_3_5", { 8, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 3, 5 }) },
              { "x_in", { 8, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) } });
    tevo_tensor *          y  = s.place(tevo_mul_mat(s.gctx, s["w_3_5"], s["x_in"]));
    const meta_split_state ss = meta_get_split_state(y, false);
    EXPECT_EQ(ss.axis, TEVO_BACKEND_SPLIT_AXIS_0);
    EXPECT_EQ(extents(ss), (std::vector<int64_t>{ 3, 5 }));
    EXPECT_EQ(meta_simple_tensor(y, 1)->ne[0], 5);
}

TEST(MetaSplitState, ProductOverSplitInnerDimensionIsPartialUntilReduced) {
    scene s({ { "a_inner", { 8, 4 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 4 }) },
              { "b_inner", { 8, 3 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 4 }) } });
    tevo_tensor * y = s.place(tevo_mul_mat(s.gctx, s["a_inner"], s["b_inner"]));
    EXPECT_EQ(meta_get_split_state(y, false).axis, TEVO_BACKEND_SPLIT_AXIS_PARTIAL);
    EXPECT_EQ(meta_get_split_state(y, true).axis, TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
}

TEST(MetaSplitState, BroadcastOperandKeepsTheSplit) {
    scene s({ { "a_rows", { 8, 3 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 1, 2 }) },
              { "b_row", { 8, 1 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) } });
    tevo_tensor *          y  = s.place(tevo_add(s.gctx, s["a_rows"], s["b_row"]));
    const meta_split_state ss = meta_get_split_state(y, false);
    EXPECT_EQ(ss.axis, TEVO_BACKEND_SPLIT_AXIS_1);
    EXPECT_EQ(extents(ss), (std::vector<int64_t>{ 1, 2 }));
}

TEST(MetaSplitState, RowWiseOperatorsNeedWholeRows) {
    scene s({ { "rows_split", { 8, 4 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 1, 3 }) },
              { "cols_split", { 8, 4 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 4 }) } });
    tevo_tensor * y = s.place(tevo_rms_norm(s.gctx, s["rows_split"], 1e-5f));
    EXPECT_EQ(meta_get_split_state(y, false).axis, TEVO_BACKEND_SPLIT_AXIS_1);
    EXPECT_EQ(extents(meta_get_split_state(y, false)), (std::vector<int64_t>{ 1, 3 }));

    tevo_tensor * bad = tevo_rms_norm(s.gctx, s["cols_split"], 1e-5f);
    EXPECT_DEATH(s.place(bad), mock::assert_text("src_ss[0].axis != TEVO_BACKEND_SPLIT_AXIS_0"));
}

TEST(MetaSplitState, ReshapeFollowsTheElementOrder) {
    scene s({ { "rows_4_4", { 64, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 4, 4 }) },
              { "cols_32_32", { 64, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 32, 32 }) } });
    tevo_tensor *          flat = s.place(tevo_reshape_1d(s.gctx, s["rows_4_4"], 512));
    const meta_split_state ss   = meta_get_split_state(flat, false);
    EXPECT_EQ(ss.axis, TEVO_BACKEND_SPLIT_AXIS_0);
    EXPECT_EQ(extents(ss), (std::vector<int64_t>{ 256, 256 }));

    // columns split in every row: eight repeats of the two devices' pieces
    tevo_tensor *          flat_cols = tevo_reshape_1d(s.gctx, s["cols_32_32"], 512);
    tevo_gallocr_t         galloc    = tevo_gallocr_new(scene::buft());
    tevo_cgraph *          g         = tevo_new_graph(s.gctx);
    tevo_build_forward_expand(g, flat_cols);
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    const meta_split_state sc = meta_get_split_state(flat_cols, false);
    EXPECT_EQ(sc.axis, TEVO_BACKEND_SPLIT_AXIS_0);
    EXPECT_EQ(sc.nr[0], 8);
    EXPECT_EQ(extents(sc), (std::vector<int64_t>{ 32, 32 }));
    tevo_gallocr_free(galloc);
}

// One head held by one device: the split axis has extent 1, and the new
// shape's dimensions of extent 1 decide where it lands.
TEST(MetaSplitState, SplitOfExtentOneStaysOnItsDimensionThroughAReshape) {
    struct reshape_case {
        std::vector<int64_t>          src_ne;
        tevo_backend_meta_split_axis  axis;
        std::vector<int64_t>          dst_ne;
        tevo_backend_meta_split_axis  want;
    };
    const std::vector<reshape_case> cases = {
        { { 3, 4, 1 }, TEVO_BACKEND_SPLIT_AXIS_2, { 3, 4, 1 }, TEVO_BACKEND_SPLIT_AXIS_2 }, // values of one head
        { { 3, 1, 1 }, TEVO_BACKEND_SPLIT_AXIS_2, { 3, 1, 1 }, TEVO_BACKEND_SPLIT_AXIS_2 }, // ... of width 1
        { { 4, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1, { 4, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1 },
        { { 1, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1, { 1, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1 },
        // no dimension of extent 1 to carry it: it joins the one below
        { { 4, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1, { 4, 3 }, TEVO_BACKEND_SPLIT_AXIS_0 },
        { { 1, 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_1, { 1, 3 }, TEVO_BACKEND_SPLIT_AXIS_0 },
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const reshape_case & c    = cases[i];
        const std::string    name = "one_head_" + std::to_string(i);
        scene                s({ { name.c_str(), c.src_ne, split(c.axis, { 1, 0 }) } });
        tevo_tensor *        y    = s.place(tevo_reshape(
            s.gctx, s[name.c_str()],
            tevo_new_tensor(s.gctx, TEVO_TYPE_F32, (int) c.dst_ne.size(), c.dst_ne.data())));
        const meta_split_state ss = meta_get_split_state(y, false);
        EXPECT_EQ(ss.axis, c.want) << "case " << i;
        EXPECT_EQ(extents(ss), (std::vector<int64_t>{ y->ne[c.want], 0 })) << "case " << i;
    }
}

TEST(MetaSplitState, PermuteAndTransposeMoveTheAxis) {
    scene s({ { "heads", { 4, 6, 5 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 4 }) },
              { "mat_cols", { 8, 4 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 2, 6 }) } });
    tevo_tensor * p = s.place(tevo_cont(s.gctx, tevo_permute(s.gctx, s["heads"], 0, 2, 1, 3)));
    EXPECT_EQ(meta_get_split_state(p, false).axis, TEVO_BACKEND_SPLIT_AXIS_2);
    EXPECT_EQ(extents(meta_get_split_state(p, false)), (std::vector<int64_t>{ 2, 4 }));

    tevo_tensor *  tr     = tevo_transpose(s.gctx, s["mat_cols"]);
    tevo_gallocr_t galloc = tevo_gallocr_new(scene::buft());
    tevo_cgraph *  g      = tevo_new_graph(s.gctx);
    tevo_build_forward_expand(g, tevo_cont(s.gctx, tr));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(meta_get_split_state(tr, false).axis, TEVO_BACKEND_SPLIT_AXIS_1);
    EXPECT_EQ(extents(meta_get_split_state(tr, false)), (std::vector<int64_t>{ 2, 6 }));
    tevo_gallocr_free(galloc);
}

TEST(MetaSplitState, RefusedGraphsStopWithTheirReason) {
    scene s({ { "w_cols", { 8, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 4 }) },
              { "x_all", { 8, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) },
              { "empty", { 0, 4 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) },  // no elements
              { "cols_in", { 6, 4 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) } });

    EXPECT_DEATH(s.place(tevo_mul_mat(s.gctx, s["w_cols"], s["x_all"])),
                 mock::fatal("unsupported mul_mat split states: node=node_0 src0=w_cols axis=0 src1=x_all axis=10"));
    EXPECT_EQ(meta_get_split_state(s["empty"], true).axis, TEVO_BACKEND_SPLIT_AXIS_UNKNOWN);
    EXPECT_DEATH(s.place(tevo_concat(s.gctx, s["empty"], s["cols_in"], 0)),
                 mock::assert_text("src_ss[i].axis != TEVO_BACKEND_SPLIT_AXIS_UNKNOWN"));
    EXPECT_DEATH(s.place(tevo_col2im_1d(s.gctx, s["cols_in"], 1, 2, 0)),
                 mock::fatal("tevo op not implemented: COL2IM_1D"));
}

TEST(MetaSplitState, ChangedRecordEmptiesTheCache) {
    scene s({ { "w_cache", { 8, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 3, 5 }) },
              { "x_cache", { 8, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) } });
    tevo_tensor *         y   = s.place(tevo_mul_mat(s.gctx, s["w_cache"], s["x_cache"]));
    meta_buffer_context * ctx = (meta_buffer_context *) y->buffer->context;
    meta_get_split_state(y, false);
    meta_get_split_state(y, true);
    ASSERT_GE(ctx->split_cache.size(), 2u);
    EXPECT_EQ(meta_get_split_state(y, false).axis, TEVO_BACKEND_SPLIT_AXIS_0);

    void * data = y->data;
    y->data     = (char *) data + 64;
    EXPECT_EQ(meta_get_split_state(y, false).axis, TEVO_BACKEND_SPLIT_AXIS_0);
    // only the entry made afresh is left
    EXPECT_EQ(ctx->split_cache.size(), 1u);
    y->data = data;
}

std::vector<std::string> & log_lines() {
    static std::vector<std::string> lines;
    return lines;
}

void keep_log(tevo_log_level level, const char * text, void *) {
    if (level == TEVO_LOG_LEVEL_DEBUG) {
        log_lines().push_back(text);
    }
}

TEST(MetaSplitState, DebugLogNamesSourcesAndResult) {
    setenv("TEVO_META_DEBUG", "1", 1);
    log_lines().clear();
    tevo_log_set(keep_log, nullptr);
    {
        scene s({ { "w_log", { 8, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 3, 5 }) },
                  { "x_log", { 8, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) } });
        tevo_tensor * y = tevo_mul_mat(s.gctx, s["w_log"], s["x_log"]);
        tevo_set_name(y, "y_log");
        s.place(y);
    }
    tevo_log_set(nullptr, nullptr);
    unsetenv("TEVO_META_DEBUG");
    const std::string want = "SPLIT_STATE: {w_log[1, {3x1, 5x1}], x_log[MIRRORED, {0x1, 0x1}]} -> y_log[MUL_MAT, 0, {3x1, 5x1}]\n";
    EXPECT_NE(std::find(log_lines().begin(), log_lines().end(), want), log_lines().end());
}

}
