// Recurrent, state-space and window constructors.

#include "test-ops-tables.h"

using namespace opstest;

namespace {

// valid ssm_scan inputs: d_state 16, head_dim 8, n_head 4, 5 tokens, 2 sequences
struct ScanShapes {
    int64_t   s[4]   = { 16, 8, 4, 3 };
    int64_t   x[4]   = { 8, 4, 5, 2 };
    int64_t   dt[4]  = { 4, 5, 2, 1 };
    int64_t   A[4]   = { 1, 4, 1, 1 };
    int64_t   B[4]   = { 16, 3, 5, 2 };
    int64_t   C[4]   = { 16, 3, 5, 2 };
    int64_t   ids[4] = { 2, 1, 1, 1 };
    tevo_type ids_type = TEVO_TYPE_I32;
    int64_t   K        = 1;
};

struct ScanInputs {
    tevo_tensor *s, *x, *dt, *A, *B, *C, *ids;
};

tevo_tensor * t4(Ctx & c, tevo_type type, const int64_t * ne) {
    return c.t(type, ne[0], ne[1], ne[2], ne[3]);
}

ScanInputs scan_inputs(Ctx & c, const ScanShapes & sh) {
    return { t4(c, TEVO_TYPE_F32, sh.s), t4(c, TEVO_TYPE_F32, sh.x), t4(c, TEVO_TYPE_F32, sh.dt),
             t4(c, TEVO_TYPE_F32, sh.A), t4(c, TEVO_TYPE_F32, sh.B), t4(c, TEVO_TYPE_F32, sh.C),
             t4(c, sh.ids_type, sh.ids) };
}

tevo_tensor * scan(Ctx & c, const ScanInputs & in, int64_t K) {
    return tevo_ssm_scan(c.ctx, in.s, in.x, in.dt, in.A, in.B, in.C, in.ids, K);
}

} // namespace

TEST(OpsRecurrent, Nodes) {
    run_table({
        { "ssm_conv",
          [](Ctx & c) {
              auto sx = c.f32(6, 8, 2), w = c.f32(4, 8);
              return Built{ tevo_ssm_conv(c.ctx, sx, w), { sx, w } };
          },
          { TEVO_TYPE_F32, { 8, 3, 2, 1 }, TEVO_OP_SSM_CONV, {}, "" } },
        { "ssm_conv with no tokens is accepted",
          [](Ctx & c) {
              auto sx = c.f32(3, 8, 2), w = c.f32(4, 8);
              return Built{ tevo_ssm_conv(c.ctx, sx, w), { sx, w } };
          },
          { TEVO_TYPE_F32, { 8, 0, 2, 1 }, TEVO_OP_SSM_CONV, {}, "" } },
        { "ssm_scan keeps two states per sequence with a scalar decay",
          [](Ctx & c) {
              ScanInputs in = scan_inputs(c, ScanShapes{});
              return Built{ scan(c, in, 2), { in.s, in.x, in.dt, in.A, in.B, in.C, in.ids } };
          },
          { TEVO_TYPE_F32, { 8 * 4 * 2 * (5 + 2 * 16), 1, 1, 1 }, TEVO_OP_SSM_SCAN, words({ 2 }), "" } },
        { "ssm_scan with a decay per state element",
          [](Ctx & c) {
              ScanShapes sh;
              sh.A[0]       = 16;
              ScanInputs in = scan_inputs(c, sh);
              return Built{ scan(c, in, 1), { in.s, in.x, in.dt, in.A, in.B, in.C, in.ids } };
          },
          { TEVO_TYPE_F32, { 8 * 4 * 2 * (5 + 16), 1, 1, 1 }, TEVO_OP_SSM_SCAN, words({ 1 }), "" } },
        { "rwkv_wkv6: outputs then states",
          [](Ctx & c) {
              auto k = c.f32(64, 2, 5), v = c.f32(64, 2, 5), r = c.f32(64, 2, 5), tf = c.f32(64, 2),
                   td = c.f32(64, 2, 5), st = c.f32(64 * 64 * 2, 1);
              return Built{ tevo_rwkv_wkv6(c.ctx, k, v, r, tf, td, st), { k, v, r, tf, td, st } };
          },
          { TEVO_TYPE_F32, { 128, 5 + 64, 1, 1 }, TEVO_OP_RWKV_WKV6, {}, "" } },
        { "gated_linear_attn",
          [](Ctx & c) {
              auto k = c.f32(8, 3, 4), v = c.f32(8, 3, 4), q = c.f32(8, 3, 4), g = c.f32(8, 3, 4),
                   st = c.f32(8 * 8 * 3, 2);
              return Built{ tevo_gated_linear_attn(c.ctx, k, v, q, g, st, 0.25f), { k, v, q, g, st } };
          },
          { TEVO_TYPE_F32, { 24, 4 + 16, 1, 1 }, TEVO_OP_GATED_LINEAR_ATTN, words({ fw(0.25f) }), "" } },
        { "rwkv_wkv7",
          [](Ctx & c) {
              auto r = c.f32(8, 3, 4), w = c.f32(8, 3, 4), k = c.f32(8, 3, 4), v = c.f32(8, 3, 4),
                   a = c.f32(8, 3, 4), b = c.f32(8, 3, 4), st = c.f32(8 * 8 * 3, 2);
              return Built{ tevo_rwkv_wkv7(c.ctx, r, w, k, v, a, b, st), { r, w, k, v, a, b, st } };
          },
          { TEVO_TYPE_F32, { 24, 4 + 16, 1, 1 }, TEVO_OP_RWKV_WKV7, {}, "" } },
        { "gated_delta_net, one state kept",
          [](Ctx & c) {
              auto q = c.f32(128, 4, 3, 2), k = c.f32(128, 4, 3, 2), v = c.f32(128, 4, 3, 2),
                   g = c.f32(1, 4, 3, 2), beta = c.f32(1, 4, 3, 2), st = c.f32(128, 128, 4, 2);
              return Built{ tevo_gated_delta_net(c.ctx, q, k, v, g, beta, st, 1), { q, k, v, g, beta, st } };
          },
          { TEVO_TYPE_F32, { 512, 262, 1, 1 }, TEVO_OP_GATED_DELTA_NET, words({ 1 }), "" } },
        { "gated_delta_net, a gate per element and three states kept",
          [](Ctx & c) {
              auto q = c.f32(16, 2, 3, 1), k = c.f32(16, 2, 3, 1), v = c.f32(16, 2, 3, 1),
                   g = c.f32(16, 2, 3, 1), beta = c.f32(1, 2, 3, 1), st = c.f32(16, 16, 2, 1);
              return Built{ tevo_gated_delta_net(c.ctx, q, k, v, g, beta, st, 3), { q, k, v, g, beta, st } };
          },
          { TEVO_TYPE_F32, { 32, 3 + 3 * 16, 1, 1 }, TEVO_OP_GATED_DELTA_NET, words({ 3 }), "" } },
        { "win_part pads 64 to 70",
          [](Ctx & c) {
              auto a = c.f32(768, 64, 64, 1);
              return Built{ tevo_win_part(c.ctx, a, 14), { a } };
          },
          { TEVO_TYPE_F32, { 768, 14, 14, 25 }, TEVO_OP_WIN_PART, words({ 5, 5, 14 }), "" } },
        { "win_part of an unequal grid",
          [](Ctx & c) {
              auto a = c.f32(8, 28, 15, 1);
              return Built{ tevo_win_part(c.ctx, a, 7), { a } };
          },
          { TEVO_TYPE_F32, { 8, 7, 7, 12 }, TEVO_OP_WIN_PART, words({ 4, 3, 7 }), "" } },
        { "win_unpart",
          [](Ctx & c) {
              auto a = c.f32(768, 14, 14, 25);
              return Built{ tevo_win_unpart(c.ctx, a, 64, 64, 14), { a } };
          },
          { TEVO_TYPE_F32, { 768, 64, 64, 1 }, TEVO_OP_WIN_UNPART, words({ 14 }), "" } },
        { "get_rel_pos",
          [](Ctx & c) {
              auto a = c.f32(32, 27);
              return Built{ tevo_get_rel_pos(c.ctx, a, 14, 14), { a } };
          },
          { TEVO_TYPE_F16, { 32, 14, 14, 1 }, TEVO_OP_GET_REL_POS, {}, "" } },
        { "get_rel_pos of a brain-float table gives brain floats",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_BF16, 32, 27);
              return Built{ tevo_get_rel_pos(c.ctx, a, 14, 14), { a } };
          },
          { TEVO_TYPE_BF16, { 32, 14, 14, 1 }, TEVO_OP_GET_REL_POS, {}, "" } },
        { "win_unpart of a padded partition",
          [](Ctx & c) {
              auto a = c.f32(8, 7, 7, 12);
              return Built{ tevo_win_unpart(c.ctx, a, 26, 15, 7), { a } };
          },
          { TEVO_TYPE_F32, { 8, 26, 15, 1 }, TEVO_OP_WIN_UNPART, words({ 7 }), "" } },
        { "add_rel_pos",
          [](Ctx & c) {
              auto a = c.f32(16, 15, 2), pw = c.f32(4, 3, 5, 2), ph = c.f32(4, 3, 5, 2);
              return Built{ tevo_add_rel_pos(c.ctx, a, pw, ph), { a, pw, ph } };
          },
          { TEVO_TYPE_F32, { 16, 15, 2, 1 }, TEVO_OP_ADD_REL_POS, words({ 0 }), "" } },
        { "add_rel_pos_inplace",
          [](Ctx & c) {
              auto a = c.f32(16, 15, 2, 1, "attn"), pw = c.f32(4, 3, 5, 2), ph = c.f32(4, 3, 5, 2);
              return Built{ tevo_add_rel_pos_inplace(c.ctx, a, pw, ph), { a, pw, ph }, a };
          },
          { TEVO_TYPE_F32, { 16, 15, 2, 1 }, TEVO_OP_ADD_REL_POS, words({ 1 }), "attn (view)" } },
    });
}

TEST(OpsRecurrentDeathTest, SsmConvChecks) {
    run_deaths({
        { "4-D input", [](Ctx & c) { tevo_ssm_conv(c.ctx, c.f32(6, 8, 2, 2), c.f32(4, 8)); }, "tevo_is_3d(sx)" },
        { "3-D weights", [](Ctx & c) { tevo_ssm_conv(c.ctx, c.f32(6, 8, 2), c.f32(4, 8, 2)); },
          "tevo_is_matrix(c)" },
        { "channels", [](Ctx & c) { tevo_ssm_conv(c.ctx, c.f32(6, 7, 2), c.f32(4, 8)); },
          "sx->ne[1] == d_inner" },
        { "too few columns", [](Ctx & c) { tevo_ssm_conv(c.ctx, c.f32(2, 8, 2), c.f32(4, 8)); }, "n_t >= 0" },
    });
}

TEST(OpsRecurrentDeathTest, SsmScanChecks) {
    struct Row {
        std::function<void(ScanShapes &)>       change;
        std::function<void(Ctx &, ScanInputs &)> tweak; // after creation, may be empty
        const char *                             cond;
    };
    const auto transpose_2d = [](Ctx & c, tevo_tensor *& t) { t = tevo_transpose(c.ctx, t); };
    const Row  rows[]       = {
        { [](ScanShapes & s) { s.K = 0; }, nullptr, "K >= 1" },
        { [](ScanShapes & s) { s.K = (int64_t) INT32_MAX + 1; }, nullptr, "K <= INT32_MAX" },
        { nullptr, [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.s); }, "tevo_is_contiguous(s)" },
        { nullptr, [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.dt); }, "tevo_is_contiguous(dt)" },
        { [](ScanShapes & s) { s.A[0] = 2; },
          [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.A); }, "tevo_is_contiguous(A)" },
        { nullptr, [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.x); },
          "x->nb[0] == tevo_type_size(x->type)" },
        { nullptr, [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.B); },
          "B->nb[0] == tevo_type_size(B->type)" },
        { nullptr, [&](Ctx & c, ScanInputs & in) { transpose_2d(c, in.C); },
          "C->nb[0] == tevo_type_size(C->type)" },
        { nullptr, [](Ctx &, ScanInputs & in) { in.x->nb[1] += 4; }, "x->nb[1] == x->ne[0]*x->nb[0]" },
        { nullptr, [](Ctx &, ScanInputs & in) { in.B->nb[1] += 4; }, "B->nb[1] == B->ne[0]*B->nb[0]" },
        { nullptr, [](Ctx &, ScanInputs & in) { in.C->nb[1] += 4; }, "C->nb[1] == C->ne[0]*C->nb[0]" },
        { [](ScanShapes & s) { s.C[1] = 2; }, nullptr, "tevo_are_same_shape(B, C)" },
        { [](ScanShapes & s) { s.ids_type = TEVO_TYPE_I64; }, nullptr, "ids->type == TEVO_TYPE_I32" },
        { [](ScanShapes & s) { s.dt[0] = 3; }, nullptr, "dt->ne[0] == n_head" },
        { [](ScanShapes & s) { s.dt[1] = 4; }, nullptr, "dt->ne[1] == n_seq_tokens" },
        { [](ScanShapes & s) { s.dt[2] = 1; }, nullptr, "dt->ne[2] == n_seqs" },
        { [](ScanShapes & s) { s.dt[3] = 2; }, nullptr, "tevo_is_3d(dt)" },
        { [](ScanShapes & s) { s.s[1] = 7; }, nullptr, "s->ne[1] == head_dim" },
        { [](ScanShapes & s) { s.s[2] = 3; }, nullptr, "s->ne[2] == n_head" },
        { [](ScanShapes & s) { s.B[0] = s.C[0] = 8; }, nullptr, "B->ne[0] == d_state" },
        { [](ScanShapes & s) { s.B[2] = s.C[2] = 4; }, nullptr, "B->ne[2] == n_seq_tokens" },
        { [](ScanShapes & s) { s.B[3] = s.C[3] = 1; }, nullptr, "B->ne[3] == n_seqs" },
        { [](ScanShapes & s) { s.ids[0] = 3; }, nullptr, "ids->ne[0] == n_seqs" },
        { [](ScanShapes & s) { s.ids[2] = 2; }, nullptr, "tevo_is_vector(ids)" },
        { [](ScanShapes & s) { s.A[1] = 3; }, nullptr, "A->ne[1] == n_head" },
        { [](ScanShapes & s) { s.A[2] = 2; }, nullptr, "tevo_is_matrix(A)" },
        { [](ScanShapes & s) { s.A[0] = 8; }, nullptr, "A->ne[0] == d_state" },
        { [](ScanShapes & s) { s.A[0] = 16; s.K = 2; }, nullptr, "K == 1" },
    };
    for (const Row & row : rows) {
        SCOPED_TRACE(row.cond);
        ScanShapes sh;
        if (row.change) {
            row.change(sh);
        }
        Ctx        c;
        ScanInputs in = scan_inputs(c, sh);
        if (row.tweak) {
            row.tweak(c, in);
        }
        EXPECT_DEATH(scan(c, in, sh.K), assert_re(row.cond));
    }
}

// the linear-attention family: S 8, H 3, 4 tokens, 2 sequences
TEST(OpsRecurrentDeathTest, LinearAttentionChecks) {
    const auto tok = [](Ctx & c) { return c.f32(8, 3, 4); };
    const auto tr  = [](Ctx & c) { return tevo_transpose(c.ctx, c.f32(8, 12)); };
    const auto st  = [](Ctx & c) { return c.f32(192, 2); };

    run_deaths({
        { "wkv6 k", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tr(c), tok(c), tok(c), tok(c), tok(c), st(c)); },
          "tevo_is_contiguous(k)" },
        { "wkv6 v", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tr(c), tok(c), tok(c), tok(c), st(c)); },
          "tevo_is_contiguous(v)" },
        { "wkv6 r", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tr(c), tok(c), tok(c), st(c)); },
          "tevo_is_contiguous(r)" },
        { "wkv6 tf", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tr(c), tok(c), st(c)); },
          "tevo_is_contiguous(tf)" },
        { "wkv6 td", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tok(c), tr(c), st(c)); },
          "tevo_is_contiguous(td)" },
        { "wkv6 state", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), tr(c)); },
          "tevo_is_contiguous(state)" },
        { "wkv6 v shape",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), c.f32(8, 3, 5), tok(c), tok(c), tok(c), st(c)); },
          "v->ne[0] == S && v->ne[1] == H && v->ne[2] == n_tokens" },
        { "wkv6 r shape",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), c.f32(8, 2, 4), tok(c), tok(c), st(c)); },
          "r->ne[0] == S && r->ne[1] == H && r->ne[2] == n_tokens" },
        { "wkv6 td shape",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tok(c), c.f32(4, 3, 4), st(c)); },
          "td->ne[0] == S && td->ne[1] == H && td->ne[2] == n_tokens" },
        { "wkv6 state size",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), c.f32(191, 2)); },
          "tevo_nelements(state) == S * S * H * n_seqs" },
        { "gla g", [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), tok(c), tr(c), st(c), 1.0f); },
          "tevo_is_contiguous(g)" },
        { "gla q shape",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), c.f32(8, 3, 3), tok(c), st(c), 1.0f); },
          "q->ne[0] == S && q->ne[1] == H && q->ne[2] == n_tokens" },
        { "gla g shape",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), tok(c), c.f32(8, 3), st(c), 1.0f); },
          "g->ne[0] == S && g->ne[1] == H && g->ne[2] == n_tokens" },
        { "gla state size",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), tok(c), tok(c), c.f32(192, 3, 2), 1.0f); },
          "tevo_nelements(state) == S * S * H * n_seqs" },
        { "wkv7 a", [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), tok(c), tok(c), tr(c), tok(c), st(c)); },
          "tevo_is_contiguous(a)" },
        { "wkv7 w shape",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), c.f32(8, 3, 5), tok(c), tok(c), tok(c), tok(c), st(c)); },
          "w->ne[0] == S && w->ne[1] == H && w->ne[2] == n_tokens" },
        { "wkv7 b shape",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), c.f32(8, 4, 4), st(c)); },
          "b->ne[0] == S && b->ne[1] == H && b->ne[2] == n_tokens" },
        { "wkv7 state size",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), tok(c), c.f32(8)); },
          "tevo_nelements(state) == S * S * H * n_seqs" },
    });
}

TEST(OpsRecurrentDeathTest, GatedDeltaNetChecks) {
    struct Row {
        int          which; // 0 q, 1 k, 2 v, 3 g, 4 beta, 5 state
        int          how;   // 0 transpose, 1 F16, 2 change extents
        int64_t      ne[4];
        const char * cond;
    };
    const Row rows[] = {
        { 0, 0, {}, "tevo_is_contiguous_rows(q)" },
        { 1, 0, {}, "tevo_is_contiguous_rows(k)" },
        { 2, 0, {}, "tevo_is_contiguous_rows(v)" },
        { 3, 0, {}, "tevo_is_contiguous(g)" },
        { 4, 0, {}, "tevo_is_contiguous(beta)" },
        { 5, 0, {}, "tevo_is_contiguous(state)" },
        { 0, 1, {}, "q->type == TEVO_TYPE_F32" },
        { 1, 1, {}, "k->type == TEVO_TYPE_F32" },
        { 2, 1, {}, "v->type == TEVO_TYPE_F32" },
        { 3, 1, {}, "g->type == TEVO_TYPE_F32" },
        { 4, 1, {}, "beta->type == TEVO_TYPE_F32" },
        { 5, 1, {}, "state->type == TEVO_TYPE_F32" },
        { 3, 2, { 2, 2, 3, 1 }, "g->ne[0] == 1 || g->ne[0] == S_v" },
        { 4, 2, { 16, 2, 3, 1 }, "beta->ne[0] == 1" },
        { 5, 2, { 8, 16, 2, 1 }, "state->ne[0] == S_v" },
        { 5, 2, { 16, 8, 2, 1 }, "state->ne[1] == S_v" },
        { 5, 2, { 16, 16, 1, 1 }, "state->ne[2] == H" },
        { 5, 2, { 16, 16, 2, 2 }, "state->ne[3] == n_seqs" },
    };
    const int64_t base[6][4] = {
        { 16, 2, 3, 1 }, { 16, 2, 3, 1 }, { 16, 2, 3, 1 }, { 1, 2, 3, 1 }, { 1, 2, 3, 1 }, { 16, 16, 2, 1 },
    };
    for (const Row & row : rows) {
        SCOPED_TRACE(row.cond);
        Ctx           c;
        tevo_tensor * in[6];
        for (int i = 0; i < 6; ++i) {
            const int64_t * ne   = (i == row.which && row.how == 2) ? row.ne : base[i];
            tevo_type       type = (i == row.which && row.how == 1) ? TEVO_TYPE_F16 : TEVO_TYPE_F32;
            in[i]                = c.t(type, ne[0], ne[1], ne[2], ne[3]);
            if (i == row.which && row.how == 0) {
                // q, k, v, state: rows strided; g, beta (one value per row):
                // rows packed but planes not
                in[i] = (i == 3 || i == 4) ? tevo_permute(c.ctx, in[i], 0, 2, 1, 3)
                                           : tevo_permute(c.ctx, in[i], 1, 0, 2, 3);
            }
        }
        EXPECT_DEATH(tevo_gated_delta_net(c.ctx, in[0], in[1], in[2], in[3], in[4], in[5], 1), assert_re(row.cond));
    }

    Ctx c;
    EXPECT_DEATH(tevo_gated_delta_net(c.ctx, c.f32(16, 2, 3), c.f32(16, 2, 3), c.f32(16, 2, 3), c.f32(1, 2, 3),
                                      c.f32(1, 2, 3), c.f32(16, 16, 2), 0),
                 assert_re("K >= 1"));
}

TEST(OpsRecurrentDeathTest, WindowAndRelativePositionChecks) {
    run_deaths({
        { "win_part batch", [](Ctx & c) { tevo_win_part(c.ctx, c.f32(8, 14, 14, 2), 7); }, "a->ne[3] == 1" },
        { "win_part half floats", [](Ctx & c) { tevo_win_part(c.ctx, c.t(TEVO_TYPE_F16, 8, 14, 14), 7); },
          "a->type == TEVO_TYPE_F32" },
        { "win_part window 0 is refused, not divided by",
          [](Ctx & c) { tevo_win_part(c.ctx, c.f32(8, 14, 14), 0); }, "w > 0" },
        { "win_part negative window", [](Ctx & c) { tevo_win_part(c.ctx, c.f32(8, 14, 14), -7); }, "w > 0" },
        { "win_unpart half floats",
          [](Ctx & c) { tevo_win_unpart(c.ctx, c.t(TEVO_TYPE_F16, 8, 7, 7, 4), 14, 14, 7); },
          "a->type == TEVO_TYPE_F32" },
        { "win_unpart window 0 is refused, not divided by",
          [](Ctx & c) { tevo_win_unpart(c.ctx, c.f32(8, 7, 7, 4), 14, 14, 0); }, "w > 0" },
        { "win_unpart windows narrower than w",
          [](Ctx & c) { tevo_win_unpart(c.ctx, c.f32(8, 6, 7, 4), 14, 14, 7); }, "a->ne[1] == w && a->ne[2] == w" },
        { "win_unpart too few windows for the map",
          [](Ctx & c) { tevo_win_unpart(c.ctx, c.f32(8, 7, 7, 4), 15, 14, 7); },
          "a->ne[3] >= (int64_t) ((w0 + w - 1) / w) * ((h0 + w - 1) / w)" },
        { "get_rel_pos unequal", [](Ctx & c) { tevo_get_rel_pos(c.ctx, c.f32(32, 27), 14, 13); }, "qh == kh" },
        { "get_rel_pos rows", [](Ctx & c) { tevo_get_rel_pos(c.ctx, c.f32(32, 26), 14, 14); },
          "2*MAX(qh, kh) - 1 == a->ne[1]" },
        { "add_rel_pos pw and ph",
          [](Ctx & c) { tevo_add_rel_pos(c.ctx, c.f32(16, 15, 2), c.f32(4, 3, 5, 2), c.f32(4, 3, 5, 1)); },
          "tevo_are_same_shape(pw, ph)" },
        { "add_rel_pos transposed a",
          [](Ctx & c) {
              tevo_add_rel_pos(c.ctx, tevo_transpose(c.ctx, c.f32(15, 16, 2)), c.f32(4, 3, 5, 2), c.f32(4, 3, 5, 2));
          },
          "tevo_is_contiguous(a)" },
        { "add_rel_pos transposed pw",
          [](Ctx & c) {
              tevo_add_rel_pos(c.ctx, c.f32(16, 15, 2), tevo_transpose(c.ctx, c.f32(3, 4, 5, 2)), c.f32(4, 3, 5, 2));
          },
          "tevo_is_contiguous(pw)" },
        { "add_rel_pos transposed ph",
          [](Ctx & c) {
              tevo_add_rel_pos_inplace(c.ctx, c.f32(16, 15, 2), c.f32(4, 3, 5, 2),
                                       tevo_transpose(c.ctx, c.f32(3, 4, 5, 2)));
          },
          "tevo_is_contiguous(ph)" },
        { "add_rel_pos half-float ph",
          [](Ctx & c) {
              tevo_add_rel_pos(c.ctx, c.f32(16, 15, 2), c.f32(4, 3, 5, 2), c.t(TEVO_TYPE_F16, 4, 3, 5, 2));
          },
          "ph->type == TEVO_TYPE_F32" },
        { "add_rel_pos half-float pw",
          [](Ctx & c) {
              tevo_add_rel_pos(c.ctx, c.f32(16, 15, 2), c.t(TEVO_TYPE_F16, 4, 3, 5, 2), c.f32(4, 3, 5, 2));
          },
          "pw->type == TEVO_TYPE_F32" },
        { "add_rel_pos planes",
          [](Ctx & c) { tevo_add_rel_pos(c.ctx, c.f32(16, 15, 3), c.f32(4, 3, 5, 2), c.f32(4, 3, 5, 2)); },
          "pw->ne[3] == a->ne[2]" },
        { "add_rel_pos row width",
          [](Ctx & c) { tevo_add_rel_pos(c.ctx, c.f32(15, 15, 2), c.f32(4, 3, 5, 2), c.f32(4, 3, 5, 2)); },
          "pw->ne[0]*pw->ne[0] == a->ne[0]" },
        { "add_rel_pos rows",
          [](Ctx & c) { tevo_add_rel_pos(c.ctx, c.f32(16, 14, 2), c.f32(4, 3, 5, 2), c.f32(4, 3, 5, 2)); },
          "pw->ne[1]*pw->ne[2] == a->ne[1]" },
    });
}

// every input of the linear-attention family is read as floats, tf and r have
// the shapes of their roles, and the tokens split into the sequences
TEST(OpsRecurrentDeathTest, LinearAttentionTypesAndSequences) {
    const auto tok = [](Ctx & c) { return c.f32(8, 3, 4); };
    const auto h16 = [](Ctx & c) { return c.t(TEVO_TYPE_F16, 8, 3, 4); };
    const auto st  = [](Ctx & c) { return c.f32(192, 2); };
    const char * seqs = "n_seqs > 0 && n_tokens % n_seqs == 0";

    run_deaths({
        { "wkv6 half v", [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), h16(c), tok(c), c.f32(8, 3), tok(c), st(c)); },
          "v->type == TEVO_TYPE_F32" },
        { "wkv6 half tf",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), c.t(TEVO_TYPE_F16, 8, 3), tok(c), st(c)); },
          "tf->type == TEVO_TYPE_F32" },
        { "wkv6 half state",
          [&](Ctx & c) {
              tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), c.f32(8, 3), tok(c), c.t(TEVO_TYPE_F16, 192, 2));
          },
          "state->type == TEVO_TYPE_F32" },
        { "wkv6 tf of one head",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), c.f32(8, 1), tok(c), st(c)); },
          "tf->ne[0] == S && tf->ne[1] == H && tevo_nelements(tf) == S * H" },
        { "wkv6 tf per token",
          [&](Ctx & c) { tevo_rwkv_wkv6(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), st(c)); },
          "tf->ne[0] == S && tf->ne[1] == H && tevo_nelements(tf) == S * H" },
        { "wkv6 5 tokens in 2 sequences",
          [&](Ctx & c) {
              tevo_rwkv_wkv6(c.ctx, c.f32(8, 3, 5), c.f32(8, 3, 5), c.f32(8, 3, 5), c.f32(8, 3), c.f32(8, 3, 5), st(c));
          },
          seqs },
        { "gla half q",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), h16(c), tok(c), st(c), 1.0f); },
          "q->type == TEVO_TYPE_F32" },
        { "gla half gate",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), tok(c), h16(c), st(c), 1.0f); },
          "g->type == TEVO_TYPE_F32" },
        { "gla no sequences",
          [&](Ctx & c) { tevo_gated_linear_attn(c.ctx, tok(c), tok(c), tok(c), tok(c), c.f32(192, 0), 1.0f); },
          seqs },
        { "wkv7 half k",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), h16(c), tok(c), tok(c), tok(c), st(c)); },
          "k->type == TEVO_TYPE_F32" },
        { "wkv7 half r",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, h16(c), tok(c), tok(c), tok(c), tok(c), tok(c), st(c)); },
          "r->type == TEVO_TYPE_F32" },
        { "wkv7 half b",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), h16(c), st(c)); },
          "b->type == TEVO_TYPE_F32" },
        { "wkv7 r shape",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, c.f32(8, 3, 3), tok(c), tok(c), tok(c), tok(c), tok(c), st(c)); },
          "r->ne[0] == S && r->ne[1] == H && r->ne[2] == n_tokens" },
        { "wkv7 4 tokens in 3 sequences",
          [&](Ctx & c) { tevo_rwkv_wkv7(c.ctx, tok(c), tok(c), tok(c), tok(c), tok(c), tok(c), c.f32(192, 3)); },
          seqs },
    });
}

// q and k rows as long as v's and token for token; one gate (or one per key
// component) and one strength per head, token and sequence; q and k heads
// and sequences that repeat over v's
TEST(OpsRecurrentDeathTest, GatedDeltaNetExtents) {
    struct Row {
        int          which; // 0 q, 1 k, 3 g, 4 beta
        int64_t      ne[4];
        const char * cond;
    };
    const Row rows[] = {
        { 0, { 8, 2, 3, 2 }, "q->ne[0] == S_v" },
        { 1, { 32, 2, 3, 2 }, "k->ne[0] == S_v" },
        { 0, { 16, 2, 2, 2 }, "q->ne[2] == n_tokens" },
        { 1, { 16, 2, 4, 2 }, "k->ne[2] == n_tokens" },
        { 3, { 1, 1, 3, 2 }, "g->ne[1] == H && g->ne[2] == n_tokens && g->ne[3] == n_seqs" },
        { 3, { 16, 2, 2, 2 }, "g->ne[1] == H && g->ne[2] == n_tokens && g->ne[3] == n_seqs" },
        { 3, { 1, 2, 3, 1 }, "g->ne[1] == H && g->ne[2] == n_tokens && g->ne[3] == n_seqs" },
        { 4, { 1, 4, 3, 2 }, "beta->ne[1] == H && beta->ne[2] == n_tokens && beta->ne[3] == n_seqs" },
        { 4, { 1, 2, 1, 2 }, "beta->ne[1] == H && beta->ne[2] == n_tokens && beta->ne[3] == n_seqs" },
        { 4, { 1, 2, 3, 1 }, "beta->ne[1] == H && beta->ne[2] == n_tokens && beta->ne[3] == n_seqs" },
        { 0, { 16, 0, 3, 2 }, "q->ne[1] >= 1 && k->ne[1] >= 1" },
        { 1, { 16, 0, 3, 2 }, "q->ne[1] >= 1 && k->ne[1] >= 1" },
        { 0, { 16, 2, 3, 0 }, "q->ne[3] >= 1 && n_seqs % q->ne[3] == 0" },
        { 0, { 16, 2, 3, 3 }, "q->ne[3] >= 1 && n_seqs % q->ne[3] == 0" },
        { 1, { 16, 2, 3, 4 }, "k->ne[3] >= 1 && n_seqs % k->ne[3] == 0" },
    };
    // S_v 16, 2 heads, 3 tokens, 2 sequences
    const int64_t base[6][4] = {
        { 16, 2, 3, 2 }, { 16, 2, 3, 2 }, { 16, 2, 3, 2 }, { 1, 2, 3, 2 }, { 1, 2, 3, 2 }, { 16, 16, 2, 2 },
    };
    for (const Row & row : rows) {
        SCOPED_TRACE(row.cond);
        Ctx           c;
        tevo_tensor * in[6];
        for (int i = 0; i < 6; ++i) {
            const int64_t * ne = i == row.which ? row.ne : base[i];
            in[i]              = c.f32(ne[0], ne[1], ne[2], ne[3]);
        }
        EXPECT_DEATH(tevo_gated_delta_net(c.ctx, in[0], in[1], in[2], in[3], in[4], in[5], 1), assert_re(row.cond));
    }

    // one q and k head and sequence shared by every v head and sequence
    Ctx           c;
    tevo_tensor * out = tevo_gated_delta_net(c.ctx, c.f32(16, 1, 3, 1), c.f32(16, 1, 3, 1), c.f32(16, 2, 3, 2),
                                             c.f32(16, 2, 3, 2), c.f32(1, 2, 3, 2), c.f32(16, 16, 2, 2), 1);
    EXPECT_EQ(out->op, TEVO_OP_GATED_DELTA_NET);
}
