// Constructors of the rotary position embedding, the YaRN correction
// dimensions and the rotation offset.

#include "test-ops-util.h"

#include <cmath>

using namespace opstest;

namespace {

// the sixteen words as written for the given values
std::vector<Word> rope_words(int n_dims, int mode, int n_ctx_orig, float freq_base, float freq_scale,
                             float ext_factor, float attn_factor, float beta_fast, float beta_slow,
                             const int * sections = nullptr) {
    std::vector<Word> w = {
        { 1, (uint32_t) n_dims },         { 2, (uint32_t) mode },           { 4, (uint32_t) n_ctx_orig },
        { 5, f32_bits(freq_base) },       { 6, f32_bits(freq_scale) },      { 7, f32_bits(ext_factor) },
        { 8, f32_bits(attn_factor) },     { 9, f32_bits(beta_fast) },       { 10, f32_bits(beta_slow) },
    };
    if (sections) {
        for (int i = 0; i < 4; ++i) {
            w.push_back({ 11 + i, (uint32_t) sections[i] });
        }
    }
    return w;
}

const int k_sections[4] = { 16, 24, 24, 0 };

} // namespace

TEST(OpsRope, Constructors) {
    const std::vector<Word> defaults = rope_words(64, 0, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    const std::vector<Word> ext      = rope_words(64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f, 1.0f);

    std::vector<Case> cases = {
        { "rope",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(64, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{ tevo_rope(c.ctx, a, b, 64, 0), { a, b } };
          },
          { TEVO_TYPE_F32, { 64, 8, 10, 1 }, TEVO_OP_ROPE, defaults, "" } },
        { "rope_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 64, 8, 10, 1, "q");
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{ tevo_rope_inplace(c.ctx, a, b, 64, 0), { a, b }, a };
          },
          { TEVO_TYPE_F16, { 64, 8, 10, 1 }, TEVO_OP_ROPE, defaults, "q (view)" } },
        { "rope_ext with factors",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              tevo_tensor * f = c.f32(32);
              return Built{ tevo_rope_ext(c.ctx, a, b, f, 64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f, 1.0f),
                            { a, b, f } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE, ext, "" } },
        { "rope_ext_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10, 1, "k");
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{
                  tevo_rope_ext_inplace(c.ctx, a, b, NULL, 64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f, 1.0f),
                  { a, b }, a };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE, ext, "k (view)" } },
        { "rope_ext in a multi-section mode writes no sections",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(64, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 40);
              return Built{ tevo_rope_ext(c.ctx, a, b, NULL, 64, 8, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 64, 8, 10, 1 }, TEVO_OP_ROPE,
            rope_words(64, 8, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f), "" } },
        { "rope_multi writes sections in a multi-section mode",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 40);
              return Built{ tevo_rope_multi(c.ctx, a, b, NULL, 128, k_sections, 8, 128000, 1000000.0f, 1.0f, 0.0f,
                                            1.0f, 32.0f, 1.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE,
            rope_words(128, 8, 128000, 1000000.0f, 1.0f, 0.0f, 1.0f, 32.0f, 1.0f, k_sections), "" } },
        { "rope_multi_inplace in the vision mode",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10, 1, "v");
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 40);
              return Built{ tevo_rope_multi_inplace(c.ctx, a, b, NULL, 64, k_sections, TEVO_ROPE_TYPE_VISION, 0,
                                                    10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f),
                            { a, b }, a };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE,
            rope_words(64, 24, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, k_sections), "v (view)" } },
        { "rope_multi with interleaved sections",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 40);
              return Built{ tevo_rope_multi(c.ctx, a, b, NULL, 128, k_sections, TEVO_ROPE_TYPE_MULTI_INTERLEAVED, 0,
                                            10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE,
            rope_words(128, 40, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, k_sections), "" } },
        { "rope_multi in a single-position mode writes no sections",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{ tevo_rope_multi(c.ctx, a, b, NULL, 128, k_sections, 0, 0, 10000.0f, 1.0f, 0.0f, 1.0f,
                                            0.0f, 0.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE,
            rope_words(128, 0, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f), "" } },
        { "rope_custom",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{ tevo_rope_custom(c.ctx, a, b, 64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f, 1.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE, ext, "" } },
        { "rope_custom_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10, 1, "k");
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              return Built{ tevo_rope_custom_inplace(c.ctx, a, b, 64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f,
                                                     1.0f),
                            { a, b }, a };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE, ext, "k (view)" } },
        { "rope_ext_back differs only in op",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 10);
              tevo_tensor * f = c.f32(40);
              return Built{
                  tevo_rope_ext_back(c.ctx, a, b, f, 64, 2, 4096, 500000.0f, 0.25f, 1.0f, 1.5f, 32.0f, 1.0f),
                  { a, b, f } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE_BACK, ext, "" } },
        { "rope_multi_back",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(128, 8, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 40);
              return Built{ tevo_rope_multi_back(c.ctx, a, b, NULL, 128, k_sections, 8, 0, 10000.0f, 1.0f, 0.0f,
                                                 1.0f, 0.0f, 0.0f),
                            { a, b } };
          },
          { TEVO_TYPE_F32, { 128, 8, 10, 1 }, TEVO_OP_ROPE_BACK,
            rope_words(128, 8, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, k_sections), "" } },
    };
    run_table(cases);
}

TEST(OpsRope, SetOffset) {
    Ctx           c;
    tevo_tensor * a    = c.f32(128, 8, 10);
    tevo_tensor * b    = c.t(TEVO_TYPE_I32, 10);
    tevo_tensor * rope = tevo_rope(c.ctx, a, b, 64, TEVO_ROPE_TYPE_HALVES);
    EXPECT_EQ(tevo_rope_set_offset(rope, 64), rope);
    EXPECT_EQ(rope->op_params[15], 64);

    tevo_tensor * back =
        tevo_rope_ext_back(c.ctx, a, b, NULL, 64, 0, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    EXPECT_EQ(tevo_rope_set_offset(back, 0), back);
    EXPECT_EQ(back->op_params[15], 0);
    EXPECT_EQ(tevo_rope_set_offset(back, 32), back);
    EXPECT_EQ(back->op_params[15], 32);
}

TEST(OpsRope, YarnCorrectionDims) {
    float dims[2] = { -1.0f, -1.0f };
    tevo_rope_yarn_corr_dims(128, 4096, 10000.0f, 32.0f, 1.0f, dims);
    EXPECT_EQ(dims[0], 20.0f); // floor of 20.94
    EXPECT_EQ(dims[1], 46.0f); // ceil of 45.03

    // bounds are clamped to [0, n_dims - 1]
    tevo_rope_yarn_corr_dims(64, 4096, 10000.0f, 4096.0f, 1e-7f, dims);
    EXPECT_EQ(dims[0], 0.0f);
    EXPECT_EQ(dims[1], 63.0f);

    // a NaN bound passes through unclamped
    tevo_rope_yarn_corr_dims(64, 0, 10000.0f, 0.0f, 0.0f, dims);
    EXPECT_TRUE(std::isnan(dims[0]));
    EXPECT_TRUE(std::isnan(dims[1]));
}

TEST(OpsRopeDeath, Checks) {
    const char * mode_text = "(mode & 1) == 0 && \"mode & 1 == 1 is no longer supported\"";
    run_deaths({
        // the mode is refused before the positions are looked at
        { "mode 1", [](Ctx & c) { tevo_rope(c.ctx, c.f32(64, 8, 10), c.f32(3, 3), 64, 1); }, mode_text },
        { "mode 3", [](Ctx & c) { tevo_rope(c.ctx, c.f32(64, 8, 10), c.f32(3, 3), 64, 3); }, mode_text },
        { "positions not a vector", [](Ctx & c) { tevo_rope(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 10, 2), 64, 0); },
          "tevo_is_vector(b)" },
        { "positions f32", [](Ctx & c) { tevo_rope(c.ctx, c.f32(64, 8, 10), c.f32(10), 64, 0); },
          "b->type == TEVO_TYPE_I32" },
        { "multi-section with one position each",
          [](Ctx & c) {
              tevo_rope_ext(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 10), NULL, 64, 8, 0, 10000.0f, 1.0f, 0.0f,
                            1.0f, 0.0f, 0.0f);
          },
          "a->ne[2] * 4 == b->ne[0]" },
        { "single position with four each",
          [](Ctx & c) { tevo_rope(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 40), 64, 2); },
          "a->ne[2] == b->ne[0]" },
        { "factors f16",
          [](Ctx & c) {
              tevo_rope_ext(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 10), c.t(TEVO_TYPE_F16, 32), 64, 0, 0,
                            10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f);
          },
          "c->type == TEVO_TYPE_F32" },
        { "too few factors",
          [](Ctx & c) {
              tevo_rope_ext(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 10), c.f32(31), 64, 0, 0, 10000.0f, 1.0f,
                            0.0f, 1.0f, 0.0f, 0.0f);
          },
          "c->ne[0] >= n_dims / 2" },
        { "set_offset on a non-rope node", [](Ctx & c) { tevo_rope_set_offset(tevo_scale(c.ctx, c.f32(4), 1), 0); },
          "a->op == TEVO_OP_ROPE || a->op == TEVO_OP_ROPE_BACK" },
        { "negative offset",
          [](Ctx & c) { tevo_rope_set_offset(tevo_rope(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 10), 64, 0), -2); },
          "n_offs >= 0" },
        { "offset in the vision mode",
          [](Ctx & c) {
              tevo_rope_set_offset(tevo_rope_multi(c.ctx, c.f32(64, 8, 10), c.t(TEVO_TYPE_I32, 40), NULL, 64,
                                                   k_sections, TEVO_ROPE_TYPE_VISION, 0, 10000.0f, 1.0f, 0.0f, 1.0f,
                                                   0.0f, 0.0f),
                                   0);
          },
          "mode != TEVO_ROPE_TYPE_VISION" },
    });
}
