// Resampling, padding, roll, generator and sorting constructors.

#include "test-ops-tables.h"

#include <climits>
#include <cmath>

using namespace opstest;

TEST(OpsPadGenSort, Nodes) {
    run_table({
        { "upscale by 2",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 5, 1);
              return Built{ tevo_upscale(c.ctx, a, 2, TEVO_SCALE_MODE_NEAREST), { a } };
          },
          { TEVO_TYPE_F32, { 6, 8, 5, 1 }, TEVO_OP_UPSCALE, words({ 0 }), "" } },
        { "upscale_ext: bilinear with antialias",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 5, 1);
              return Built{ tevo_upscale_ext(c.ctx, a, 7, 9, 5, 2, 0x201), { a } };
          },
          { TEVO_TYPE_F32, { 7, 9, 5, 2 }, TEVO_OP_UPSCALE, words({ 0x201 }), "" } },
        { "interpolate keeps the flag bits",
          [](Ctx & c) {
              auto a = c.f32(3, 4);
              return Built{ tevo_interpolate(c.ctx, a, 5, 2, 3, 1,
                                             TEVO_SCALE_MODE_BICUBIC | TEVO_SCALE_FLAG_ALIGN_CORNERS),
                            { a } };
          },
          { TEVO_TYPE_F32, { 5, 2, 3, 1 }, TEVO_OP_UPSCALE, words({ 0x102 }), "" } },
        { "pad goes after dimension 0, not before",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 4, 5, 6);
              return Built{ tevo_pad(c.ctx, a, 1, 0, 0, 0), { a } };
          },
          { TEVO_TYPE_F16, { 4, 4, 5, 6 }, TEVO_OP_PAD, words({ 0, 1, 0, 0, 0, 0, 0, 0, 0 }), "" } },
        { "pad in every dimension",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_I32, 3, 4, 5, 6);
              return Built{ tevo_pad(c.ctx, a, 1, 2, 3, 4), { a } };
          },
          { TEVO_TYPE_I32, { 4, 6, 8, 10 }, TEVO_OP_PAD, words({ 0, 1, 0, 2, 0, 3, 0, 4, 0 }), "" } },
        { "pad_ext",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 5, 6);
              return Built{ tevo_pad_ext(c.ctx, a, 1, 2, 3, 4, 5, 6, 7, 8), { a } };
          },
          { TEVO_TYPE_F32, { 6, 11, 16, 21 }, TEVO_OP_PAD, words({ 1, 2, 3, 4, 5, 6, 7, 8, 0 }), "" } },
        { "pad_circular",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 5, 6);
              return Built{ tevo_pad_circular(c.ctx, a, 1, 2, 3, 4), { a } };
          },
          { TEVO_TYPE_F32, { 4, 6, 8, 10 }, TEVO_OP_PAD, words({ 0, 1, 0, 2, 0, 3, 0, 4, 1 }), "" } },
        { "pad_ext_circular",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 5, 6);
              return Built{ tevo_pad_ext_circular(c.ctx, a, 1, 2, 3, 4, 5, 6, 7, 8), { a } };
          },
          { TEVO_TYPE_F32, { 6, 11, 16, 21 }, TEVO_OP_PAD, words({ 1, 2, 3, 4, 5, 6, 7, 8, 1 }), "" } },
        { "pad_reflect_1d up to one less than the extent",
          [](Ctx & c) {
              auto a = c.f32(5, 3);
              return Built{ tevo_pad_reflect_1d(c.ctx, a, 4, 2), { a } };
          },
          { TEVO_TYPE_F32, { 11, 3, 1, 1 }, TEVO_OP_PAD_REFLECT_1D, words({ 4, 2 }), "" } },
        { "roll with signed shifts",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_I32, 3, 4, 5, 6);
              return Built{ tevo_roll(c.ctx, a, -2, 3, 0, 5), { a } };
          },
          { TEVO_TYPE_I32, { 3, 4, 5, 6 }, TEVO_OP_ROLL, words({ -2, 3, 0, 5 }), "" } },
        { "timestep_embedding",
          [](Ctx & c) {
              auto t = c.f32(7);
              return Built{ tevo_timestep_embedding(c.ctx, t, 16, 10000), { t } };
          },
          { TEVO_TYPE_F32, { 16, 7, 1, 1 }, TEVO_OP_TIMESTEP_EMBEDDING, words({ 16, 10000 }), "" } },
        { "arange rounds the count up",
          [](Ctx & c) { return Built{ tevo_arange(c.ctx, 0.0f, 1.0f, 0.3f), {} }; },
          { TEVO_TYPE_F32, { 4, 1, 1, 1 }, TEVO_OP_ARANGE, words({ fw(0.0f), fw(1.0f), fw(0.3f) }), "" } },
        { "arange over negative values",
          [](Ctx & c) { return Built{ tevo_arange(c.ctx, -2.0f, 2.0f, 1.0f), {} }; },
          { TEVO_TYPE_F32, { 4, 1, 1, 1 }, TEVO_OP_ARANGE, words({ fw(-2.0f), fw(2.0f), fw(1.0f) }), "" } },
        { "tri",
          [](Ctx & c) {
              auto a = c.f32(4, 4, 2);
              return Built{ tevo_tri(c.ctx, a, TEVO_TRI_TYPE_LOWER), { a } };
          },
          { TEVO_TYPE_F32, { 4, 4, 2, 1 }, TEVO_OP_TRI, words({ 3 }), "" } },
        { "fill keeps the sign of -0.0",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 2);
              return Built{ tevo_fill(c.ctx, a, -0.0f), { a } };
          },
          { TEVO_TYPE_F16, { 3, 2, 1, 1 }, TEVO_OP_FILL, words({ (int32_t) 0x80000000u }), "" } },
        { "fill_inplace is a view",
          [](Ctx & c) {
              auto a = c.f32(3, 2, 1, 1, "x");
              return Built{ tevo_fill_inplace(c.ctx, a, 1.5f), { a }, a };
          },
          { TEVO_TYPE_F32, { 3, 2, 1, 1 }, TEVO_OP_FILL, words({ fw(1.5f) }), "x (view)" } },
        { "argsort",
          [](Ctx & c) {
              auto a = c.f32(10, 3);
              return Built{ tevo_argsort(c.ctx, a, TEVO_SORT_ORDER_DESC), { a } };
          },
          { TEVO_TYPE_I32, { 10, 3, 1, 1 }, TEVO_OP_ARGSORT, words({ 1 }), "" } },
        { "top_k",
          [](Ctx & c) {
              auto a = c.f32(10, 3, 2);
              return Built{ tevo_top_k(c.ctx, a, 4), { a } };
          },
          { TEVO_TYPE_I32, { 4, 3, 2, 1 }, TEVO_OP_TOP_K, {}, "" } },
    });
}

// a descending argsort node, and a view of its first k columns
TEST(OpsPadGenSort, ArgsortTopK) {
    for (int k : { 3, 10 }) {
        SCOPED_TRACE(k);
        Ctx  c;
        auto a = c.f32(10, 3, 2, 1, "scores");

        tevo_tensor * r  = tevo_argsort_top_k(c.ctx, a, k);
        tevo_tensor * as = r->src[0];
        ASSERT_NE(as, nullptr);
        check_node(Built{ as, { a } }, { TEVO_TYPE_I32, { 10, 3, 2, 1 }, TEVO_OP_ARGSORT, words({ 1 }), "" });

        check_node(Built{ r, { as }, as },
                   { TEVO_TYPE_I32, { k, 3, 2, 1 }, TEVO_OP_VIEW, {}, " (view)", { 4, 40, 120, 240 } });
        EXPECT_EQ(r->view_offs, 0u);
    }
}

TEST(OpsPadGenSortDeathTest, Checks) {
    run_deaths({
        { "upscale factor 1", [](Ctx & c) { tevo_upscale(c.ctx, c.f32(3, 4), 1, 0); }, "scale_factor > 1" },
        { "upscale mode checked after the factor",
          [](Ctx & c) { tevo_upscale(c.ctx, c.f32(3, 4), 2, 3); }, "(mode & 0xFF) < TEVO_SCALE_MODE_COUNT" },
        { "upscale_ext mode 3",
          [](Ctx & c) { tevo_upscale_ext(c.ctx, c.f32(3, 4), 6, 8, 1, 1, 3); },
          "(mode & 0xFF) < TEVO_SCALE_MODE_COUNT" },
        { "antialias without bilinear",
          [](Ctx & c) { tevo_upscale_ext(c.ctx, c.f32(3, 4), 6, 8, 1, 1, 0x200); },
          "!(mode & TEVO_SCALE_FLAG_ANTIALIAS) || (mode & 0xFF) == TEVO_SCALE_MODE_BILINEAR" },
        { "interpolate of half floats",
          [](Ctx & c) { tevo_interpolate(c.ctx, c.t(TEVO_TYPE_F16, 3, 4), 6, 8, 1, 1, 1); },
          "a->type == TEVO_TYPE_F32" },
        { "circular padding of an empty dimension",
          [](Ctx & c) { tevo_pad_ext_circular(c.ctx, c.f32(4, 0, 2), 0, 0, 1, 0, 0, 0, 0, 0); },
          "a->ne[i] > 0 || (lp[i] == 0 && rp[i] == 0)" },
        { "reflect negative before", [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, c.f32(5), -1, 0); }, "p0 >= 0" },
        { "reflect negative after", [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, c.f32(5), 0, -1); }, "p1 >= 0" },
        { "reflect before as wide as the row",
          [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, c.f32(5), 5, 0); }, "p0 < a->ne[0]" },
        { "reflect after as wide as the row",
          [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, c.f32(5), 0, 5); }, "p1 < a->ne[0]" },
        { "reflect of a transposed tensor",
          [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, tevo_transpose(c.ctx, c.f32(5, 6)), 1, 1); },
          "tevo_is_contiguous(a)" },
        { "reflect of half floats",
          [](Ctx & c) { tevo_pad_reflect_1d(c.ctx, c.t(TEVO_TYPE_F16, 5), 1, 1); }, "a->type == TEVO_TYPE_F32" },
        { "roll of a transposed tensor",
          [](Ctx & c) { tevo_roll(c.ctx, tevo_transpose(c.ctx, c.f32(5, 6)), 1, 1, 0, 0); },
          "a->nb[0] == tevo_type_size(a->type)" },
        { "roll -3 over 3", [](Ctx & c) { tevo_roll(c.ctx, c.f32(3, 4, 5, 6), -3, 0, 0, 0); },
          "abs(shift0) < a->ne[0]" },
        { "roll dimension 1", [](Ctx & c) { tevo_roll(c.ctx, c.f32(3, 4, 5, 6), 0, 4, 0, 0); },
          "abs(shift1) < a->ne[1]" },
        { "roll dimension 2", [](Ctx & c) { tevo_roll(c.ctx, c.f32(3, 4, 5, 6), 0, 0, -5, 0); },
          "abs(shift2) < a->ne[2]" },
        { "roll dimension 3", [](Ctx & c) { tevo_roll(c.ctx, c.f32(3, 4, 5, 6), 0, 0, 0, 6); },
          "abs(shift3) < a->ne[3]" },
        { "roll by the most negative int", [](Ctx & c) { tevo_roll(c.ctx, c.f32(3, 4, 5, 6), INT_MIN, 0, 0, 0); },
          "abs(shift0) < a->ne[0]" },
        { "tri of half floats", [](Ctx & c) { tevo_tri(c.ctx, c.t(TEVO_TYPE_F16, 4, 4), TEVO_TRI_TYPE_UPPER); },
          "a->type == TEVO_TYPE_F32" },
        { "tri of a transposed tensor",
          [](Ctx & c) { tevo_tri(c.ctx, tevo_transpose(c.ctx, c.f32(4, 4)), TEVO_TRI_TYPE_UPPER); },
          "tevo_is_contiguous(a)" },
        { "tri of a non-square", [](Ctx & c) { tevo_tri(c.ctx, c.f32(4, 3), TEVO_TRI_TYPE_UPPER); },
          "a->ne[0] == a->ne[1]" },
        { "fill of integers", [](Ctx & c) { tevo_fill(c.ctx, c.t(TEVO_TYPE_I32, 4), 1.0f); },
          "a->type == TEVO_TYPE_F32 || a->type == TEVO_TYPE_F16" },
        { "fill_inplace of a transposed tensor",
          [](Ctx & c) { tevo_fill_inplace(c.ctx, tevo_transpose(c.ctx, c.f32(4, 3)), 1.0f); },
          "tevo_is_contiguous(a)" },
        { "argsort of rows above 2^31 - 1",
          [](Ctx & c) { tevo_argsort(c.ctx, c.f32((int64_t) INT32_MAX + 1), TEVO_SORT_ORDER_ASC); },
          "a->ne[0] <= INT32_MAX" },
        { "argsort_top_k of more than the row",
          [](Ctx & c) { tevo_argsort_top_k(c.ctx, c.f32(4, 2), 5); }, "a->ne[0] >= k" },
        { "argsort_top_k checks the row length second",
          [](Ctx & c) { tevo_argsort_top_k(c.ctx, c.f32((int64_t) INT32_MAX + 1), 5); }, "a->ne[0] <= INT32_MAX" },
        { "top_k of more than the row", [](Ctx & c) { tevo_top_k(c.ctx, c.f32(4, 2), 5); }, "a->ne[0] >= k" },
        // the kernel takes the logarithm of the period
        { "timestep_embedding period 0", [](Ctx & c) { tevo_timestep_embedding(c.ctx, c.f32(3), 8, 0); },
          "max_period > 0" },
        { "timestep_embedding negative period",
          [](Ctx & c) { tevo_timestep_embedding(c.ctx, c.f32(3), 8, -10000); }, "max_period > 0" },
        { "arange empty", [](Ctx & c) { tevo_arange(c.ctx, 1.0f, 1.0f, 1.0f); }, "stop > start" },
        { "arange NaN bound", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, NAN, 1.0f); }, "stop > start" },
    });
}

// A step of 0 or below would make the count infinite or negative, and a range
// too wide for a float or for a 64-bit count would make it overflow.
TEST(OpsPadGenSortDeathTest, ArangeNeedsAPositiveStepAndAFiniteCount) {
    const char * finite = "isfinite(steps) && steps < (float) INT64_MAX";
    run_deaths({
        { "step 0", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1.0f, 0.0f); }, "step > 0" },
        { "step -0", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1.0f, -0.0f); }, "step > 0" },
        { "negative step", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1.0f, -0.5f); }, "step > 0" },
        { "NaN step", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1.0f, NAN); }, "step > 0" },
        { "range overflows", [](Ctx & c) { tevo_arange(c.ctx, -3e38f, 3e38f, 1.0f); }, finite },
        { "infinite start", [](Ctx & c) { tevo_arange(c.ctx, -INFINITY, 0.0f, 1.0f); }, finite },
        { "count overflows a float", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1e30f, 1e-10f); }, finite },
        { "count overflows 64 bits", [](Ctx & c) { tevo_arange(c.ctx, 0.0f, 1e20f, 1.0f); }, finite },
    });
}

TEST(OpsPadGenSort, ArangeLargeFiniteCountIsAccepted) {
    Ctx           c;
    tevo_tensor * r = tevo_arange(c.ctx, 0.0f, 1e12f, 1.0f);
    EXPECT_EQ(r->ne[0], (int64_t) 1e12f);
    // the smallest positive step still gives a finite count over a tiny range
    r = tevo_arange(c.ctx, 0.0f, 1e-44f, 1e-45f);
    EXPECT_GT(r->ne[0], 0);
}
