// Hyper-connection constructors.

#include "test-ops-tables.h"

using namespace opstest;

TEST(OpsHc, Nodes) {
    run_table({
        { "hc_comb: four streams",
          [](Ctx & c) {
              auto mixes = c.f32(24, 7), scale = c.f32(3), base = c.f32(24);
              return Built{ tevo_dsv4_hc_comb(c.ctx, mixes, scale, base, 20, 1e-6f), { mixes, scale, base } };
          },
          { TEVO_TYPE_F32, { 4, 4, 7, 1 }, TEVO_OP_DSV4_HC_COMB, words({ fw(1e-6f), 20 }), "" } },
        { "hc_pre",
          [](Ctx & c) {
              auto x = c.f32(512, 4, 9), w = c.f32(4, 9);
              return Built{ tevo_dsv4_hc_pre(c.ctx, x, w), { x, w } };
          },
          { TEVO_TYPE_F32, { 512, 9, 1, 1 }, TEVO_OP_DSV4_HC_PRE, words({ fw(1.0f), 0 }), "" } },
        { "hc_pre_gated: one weight per element",
          [](Ctx & c) {
              auto x = c.f32(64, 3, 5), w = c.f32(64, 3, 5);
              return Built{ tevo_dsv4_hc_pre_gated(c.ctx, x, w, 0.5f), { x, w } };
          },
          { TEVO_TYPE_F32, { 64, 5, 1, 1 }, TEVO_OP_DSV4_HC_PRE, words({ fw(0.5f), 1 }), "" } },
        { "hc_post without comb",
          [](Ctx & c) {
              auto x = c.f32(64, 5), res = c.f32(64, 4, 5), post = c.f32(4, 5);
              return Built{ tevo_dsv4_hc_post(c.ctx, x, res, post, nullptr), { x, res, post } };
          },
          { TEVO_TYPE_F32, { 64, 4, 5, 1 }, TEVO_OP_DSV4_HC_POST, {}, "" } },
        { "hc_post with comb",
          [](Ctx & c) {
              auto x = c.f32(64, 5), res = c.f32(64, 4, 5), post = c.f32(4, 5), comb = c.f32(4, 4, 5);
              return Built{ tevo_dsv4_hc_post(c.ctx, x, res, post, comb), { x, res, post, comb } };
          },
          { TEVO_TYPE_F32, { 64, 4, 5, 1 }, TEVO_OP_DSV4_HC_POST, {}, "" } },
    });
}

TEST(OpsHcDeathTest, CombChecks) {
    const auto comb = [](Ctx & c, int64_t mix, tevo_tensor * scale = nullptr, tevo_tensor * base = nullptr,
                         int n_iter = 1) {
        tevo_dsv4_hc_comb(c.ctx, c.f32(mix, 7), scale ? scale : c.f32(3), base ? base : c.f32(mix), n_iter, 0.0f);
    };
    run_deaths({
        { "half-float mixes",
          [](Ctx & c) { tevo_dsv4_hc_comb(c.ctx, c.t(TEVO_TYPE_F16, 24, 7), c.f32(3), c.f32(24), 1, 0.0f); },
          "mixes->type == TEVO_TYPE_F32" },
        { "half-float scale",
          [](Ctx & c) { tevo_dsv4_hc_comb(c.ctx, c.f32(24, 7), c.t(TEVO_TYPE_F16, 3), c.f32(24), 1, 0.0f); },
          "scale->type == TEVO_TYPE_F32" },
        { "half-float base",
          [](Ctx & c) { tevo_dsv4_hc_comb(c.ctx, c.f32(24, 7), c.f32(3), c.t(TEVO_TYPE_F16, 24), 1, 0.0f); },
          "base->type == TEVO_TYPE_F32" },
        { "no iterations", [&](Ctx & c) { comb(c, 24, nullptr, nullptr, 0); }, "n_iter > 0" },
        { "three streams", [&](Ctx & c) { comb(c, 15); }, "hc == 4" },
        { "between two stream counts", [&](Ctx & c) { comb(c, 20); }, "hc > 0" },
        { "below one stream", [&](Ctx & c) { comb(c, 2); }, "hc > 0" },
        { "mixes planes", [](Ctx & c) { tevo_dsv4_hc_comb(c.ctx, c.f32(24, 7, 2), c.f32(3), c.f32(24), 1, 0.0f); },
          "mixes->ne[2] == 1" },
        { "mixes batches",
          [](Ctx & c) { tevo_dsv4_hc_comb(c.ctx, c.f32(24, 7, 1, 2), c.f32(3), c.f32(24), 1, 0.0f); },
          "mixes->ne[3] == 1" },
        { "two scales", [&](Ctx & c) { comb(c, 24, c.f32(2)); }, "scale->ne[0] >= 3" },
        { "scale rows", [&](Ctx & c) { comb(c, 24, c.f32(3, 2)); }, "scale->ne[1] == 1" },
        { "scale planes", [&](Ctx & c) { comb(c, 24, c.f32(3, 1, 2)); }, "scale->ne[2] == 1" },
        { "scale batches", [&](Ctx & c) { comb(c, 24, c.f32(3, 1, 1, 2)); }, "scale->ne[3] == 1" },
        { "base width", [&](Ctx & c) { comb(c, 24, nullptr, c.f32(23)); }, "base->ne[0] == hc_mix_dim" },
        { "base rows", [&](Ctx & c) { comb(c, 24, nullptr, c.f32(24, 2)); }, "base->ne[1] == 1" },
        { "base planes", [&](Ctx & c) { comb(c, 24, nullptr, c.f32(24, 1, 2)); }, "base->ne[2] == 1" },
        { "base batches", [&](Ctx & c) { comb(c, 24, nullptr, c.f32(24, 1, 1, 2)); }, "base->ne[3] == 1" },
    });
}

TEST(OpsHcDeathTest, PreAndPostChecks) {
    run_deaths({
        { "pre half-float x",
          [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.t(TEVO_TYPE_F16, 8, 4, 3), c.f32(4, 3)); },
          "x->type == TEVO_TYPE_F32" },
        { "pre half-float weights",
          [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3), c.t(TEVO_TYPE_F16, 4, 3)); },
          "weights->type == TEVO_TYPE_F32" },
        { "pre no streams", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 0, 3), c.f32(0, 3)); }, "hc > 0" },
        { "pre batches", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3, 2), c.f32(4, 3)); },
          "x->ne[3] == 1" },
        { "pre weight per stream", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3), c.f32(3, 3)); },
          "weights->ne[0] == hc" },
        { "pre weight tokens", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3), c.f32(4, 2)); },
          "weights->ne[1] == n_tokens" },
        { "pre weight planes", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3), c.f32(4, 3, 2)); },
          "weights->ne[2] == 1" },
        { "pre weight batches", [](Ctx & c) { tevo_dsv4_hc_pre(c.ctx, c.f32(8, 4, 3), c.f32(4, 3, 1, 2)); },
          "weights->ne[3] == 1" },
        { "gated weight width",
          [](Ctx & c) { tevo_dsv4_hc_pre_gated(c.ctx, c.f32(8, 4, 3), c.f32(4, 3), 1.0f); },
          "weights->ne[0] == n_embd" },
        { "gated weight streams",
          [](Ctx & c) { tevo_dsv4_hc_pre_gated(c.ctx, c.f32(8, 4, 3), c.f32(8, 3, 3), 1.0f); },
          "weights->ne[1] == hc" },
        { "gated weight tokens",
          [](Ctx & c) { tevo_dsv4_hc_pre_gated(c.ctx, c.f32(8, 4, 3), c.f32(8, 4, 2), 1.0f); },
          "weights->ne[2] == n_tokens" },
        { "gated weight batches",
          [](Ctx & c) { tevo_dsv4_hc_pre_gated(c.ctx, c.f32(8, 4, 3), c.f32(8, 4, 3, 2), 1.0f); },
          "weights->ne[3] == 1" },
        { "post half-float x",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.t(TEVO_TYPE_F16, 8, 3), c.f32(8, 4, 3), c.f32(4, 3), nullptr); },
          "x->type == TEVO_TYPE_F32" },
        { "post half-float residual",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.t(TEVO_TYPE_F16, 8, 4, 3), c.f32(4, 3), nullptr); },
          "residual->type == TEVO_TYPE_F32" },
        { "post half-float post",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.t(TEVO_TYPE_F16, 4, 3), nullptr); },
          "post->type == TEVO_TYPE_F32" },
        { "post no streams",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 0, 3), c.f32(0, 3), nullptr); }, "hc > 0" },
        { "post x planes",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3, 2), c.f32(8, 4, 3), c.f32(4, 3), nullptr); },
          "x->ne[2] == 1" },
        { "post x batches",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3, 1, 2), c.f32(8, 4, 3), c.f32(4, 3), nullptr); },
          "x->ne[3] == 1" },
        { "post residual width",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(7, 4, 3), c.f32(4, 3), nullptr); },
          "residual->ne[0] == n_embd" },
        { "post residual tokens",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 2), c.f32(4, 3), nullptr); },
          "residual->ne[2] == n_tokens" },
        { "post residual batches",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3, 2), c.f32(4, 3), nullptr); },
          "residual->ne[3] == 1" },
        { "post post streams",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(3, 3), nullptr); },
          "post->ne[0] == hc" },
        { "post post tokens",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 2), nullptr); },
          "post->ne[1] == n_tokens" },
        { "post post planes",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3, 2), nullptr); },
          "post->ne[2] == 1" },
        { "post post batches",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3, 1, 2), nullptr); },
          "post->ne[3] == 1" },
        { "post half-float comb",
          [](Ctx & c) {
              tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3), c.t(TEVO_TYPE_F16, 4, 4, 3));
          },
          "comb->type == TEVO_TYPE_F32" },
        { "post comb columns",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3), c.f32(3, 4, 3)); },
          "comb->ne[0] == hc" },
        { "post comb rows",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3), c.f32(4, 3, 3)); },
          "comb->ne[1] == hc" },
        { "post comb tokens",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3), c.f32(4, 4, 2)); },
          "comb->ne[2] == n_tokens" },
        { "post comb batches",
          [](Ctx & c) { tevo_dsv4_hc_post(c.ctx, c.f32(8, 3), c.f32(8, 4, 3), c.f32(4, 3), c.f32(4, 4, 3, 2)); },
          "comb->ne[3] == 1" },
    });
}
