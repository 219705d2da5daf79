// Custom-operator, loss, optimiser and triangular-solve constructors.

#include "test-ops-tables.h"

using namespace opstest;

namespace {

void map1(tevo_tensor *, const tevo_tensor *, int, int, void *) {}

void map2(tevo_tensor *, const tevo_tensor *, const tevo_tensor *, int, int, void *) {}

void map3(tevo_tensor *, const tevo_tensor *, const tevo_tensor *, const tevo_tensor *, int, int, void *) {}

void custom(tevo_tensor *, int, int, void *) {}

int user_data_target;

// the custom record: function in words 0-1, n_tasks in 2, 0 in 3, user data in 4-5
std::vector<Word> custom_words(const void * fn, int n_tasks, const void * ud) {
    const uint64_t f = (uint64_t) (uintptr_t) fn, u = (uint64_t) (uintptr_t) ud;
    return {
        { 0, (uint32_t) f }, { 1, (uint32_t) (f >> 32) }, { 2, (uint32_t) n_tasks },
        { 4, (uint32_t) u }, { 5, (uint32_t) (u >> 32) },
    };
}

tevo_tensor * param(Ctx & c, int64_t ne0, int64_t ne1 = 1) {
    tevo_tensor * t = c.f32(ne0, ne1, 1, 1, "w");
    t->flags |= TEVO_TENSOR_FLAG_PARAM;
    return t;
}

} // namespace

TEST(OpsCustomLoss, CustomNodes) {
    void * ud = &user_data_target;
    run_table({
        { "map_custom1, all threads",
          [=](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 4);
              return Built{ tevo_map_custom1(c.ctx, a, map1, TEVO_N_TASKS_MAX, ud), { a } };
          },
          { TEVO_TYPE_F16, { 3, 4, 1, 1 }, TEVO_OP_MAP_CUSTOM1,
            custom_words((const void *) map1, TEVO_N_TASKS_MAX, ud), "" } },
        { "map_custom1_inplace, no user data",
          [](Ctx & c) {
              auto a = c.f32(3, 4, 1, 1, "a");
              return Built{ tevo_map_custom1_inplace(c.ctx, a, map1, 3, nullptr), { a }, a };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_MAP_CUSTOM1, custom_words((const void *) map1, 3, nullptr),
            "a (view)" } },
        { "map_custom2",
          [=](Ctx & c) {
              auto a = c.f32(3, 4), b = c.f32(5);
              return Built{ tevo_map_custom2(c.ctx, a, b, map2, 1, ud), { a, b } };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_MAP_CUSTOM2, custom_words((const void *) map2, 1, ud), "" } },
        { "map_custom2_inplace",
          [=](Ctx & c) {
              auto a = c.f32(3, 4, 1, 1, "a"), b = c.f32(5);
              return Built{ tevo_map_custom2_inplace(c.ctx, a, b, map2, 2, ud), { a, b }, a };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_MAP_CUSTOM2, custom_words((const void *) map2, 2, ud),
            "a (view)" } },
        { "map_custom3",
          [=](Ctx & c) {
              auto a = c.t(TEVO_TYPE_I32, 3, 4, 2), b = c.f32(5), d = c.f32(6);
              return Built{ tevo_map_custom3(c.ctx, a, b, d, map3, 4, ud), { a, b, d } };
          },
          { TEVO_TYPE_I32, { 3, 4, 2, 1 }, TEVO_OP_MAP_CUSTOM3, custom_words((const void *) map3, 4, ud), "" } },
        { "map_custom3_inplace",
          [=](Ctx & c) {
              auto a = c.f32(3, 4, 1, 1, "a"), b = c.f32(5), d = c.f32(6);
              return Built{ tevo_map_custom3_inplace(c.ctx, a, b, d, map3, TEVO_N_TASKS_MAX, ud), { a, b, d }, a };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_MAP_CUSTOM3,
            custom_words((const void *) map3, TEVO_N_TASKS_MAX, ud), "a (view)" } },
        { "custom_4d with nine inputs",
          [=](Ctx & c) {
              std::vector<tevo_tensor *> args;
              for (int i = 0; i < 9; ++i) {
                  args.push_back(c.f32(i + 1));
              }
              return Built{ tevo_custom_4d(c.ctx, TEVO_TYPE_F16, 2, 3, 4, 5, args.data(), 9, custom, 3, ud), args };
          },
          { TEVO_TYPE_F16, { 2, 3, 4, 5 }, TEVO_OP_CUSTOM, custom_words((const void *) custom, 3, ud), "" } },
        { "custom_4d without inputs",
          [=](Ctx & c) {
              return Built{ tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 7, 1, 1, 1, nullptr, 0, custom, 2, ud), {} };
          },
          { TEVO_TYPE_F32, { 7, 1, 1, 1 }, TEVO_OP_CUSTOM, custom_words((const void *) custom, 2, ud), "" } },
        { "custom_inplace with eight more inputs",
          [=](Ctx & c) {
              auto                       a = c.f32(3, 4, 1, 1, "a");
              std::vector<tevo_tensor *> args;
              for (int i = 0; i < 8; ++i) {
                  args.push_back(c.f32(i + 1));
              }
              std::vector<tevo_tensor *> src = { a };
              src.insert(src.end(), args.begin(), args.end());
              return Built{ tevo_custom_inplace(c.ctx, a, args.data(), 8, custom, TEVO_N_TASKS_MAX, ud), src, a };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_CUSTOM, custom_words((const void *) custom, TEVO_N_TASKS_MAX, ud),
            "a (view)" } },
    });
}

TEST(OpsCustomLoss, CustomRecordReadsBack) {
    Ctx           c;
    tevo_tensor * r = tevo_map_custom1(c.ctx, c.f32(4), map1, 1, &user_data_target);

    tevo_custom_call call;
    memcpy(&call, r->op_params, sizeof(call));
    EXPECT_EQ(call.fn.map1, &map1);
    EXPECT_EQ(call.n_tasks, 1);
    EXPECT_EQ(call.user_data, &user_data_target);
    EXPECT_EQ(r->op_params[3], 0);
}

TEST(OpsCustomLoss, TrainingAndSolveNodes) {
    run_table({
        { "cross_entropy_loss",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 10, 3), b = c.t(TEVO_TYPE_F16, 10, 3);
              return Built{ tevo_cross_entropy_loss(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F16, { 1, 1, 1, 1 }, TEVO_OP_CROSS_ENTROPY_LOSS, {}, "" } },
        { "cross_entropy_loss_back",
          [](Ctx & c) {
              auto a = c.f32(1), b = c.t(TEVO_TYPE_F16, 10, 3), d = c.f32(10, 3);
              return Built{ tevo_cross_entropy_loss_back(c.ctx, a, b, d), { a, b, d } };
          },
          { TEVO_TYPE_F16, { 10, 3, 1, 1 }, TEVO_OP_CROSS_ENTROPY_LOSS_BACK, {}, "" } },
        { "opt_step_adamw updates the parameter in place",
          [](Ctx & c) {
              auto a = param(c, 5, 2), g = c.f32(5, 2), m = c.f32(5, 2), v = c.f32(5, 2), p = c.f32(7);
              return Built{ tevo_opt_step_adamw(c.ctx, a, g, m, v, p), { a, g, m, v, p }, a };
          },
          { TEVO_TYPE_F32, { 5, 2, 1, 1 }, TEVO_OP_OPT_STEP_ADAMW, {}, "w (view)" } },
        { "opt_step_sgd",
          [](Ctx & c) {
              auto a = param(c, 5, 2), g = c.f32(5, 2), p = c.f32(2);
              return Built{ tevo_opt_step_sgd(c.ctx, a, g, p), { a, g, p }, a };
          },
          { TEVO_TYPE_F32, { 5, 2, 1, 1 }, TEVO_OP_OPT_STEP_SGD, {}, "w (view)" } },
        { "solve_tri",
          [](Ctx & c) {
              auto a = c.f32(4, 4, 2), b = c.f32(3, 4, 2);
              return Built{ tevo_solve_tri(c.ctx, a, b, true, true, false), { a, b } };
          },
          { TEVO_TYPE_F32, { 3, 4, 2, 1 }, TEVO_OP_SOLVE_TRI, {}, "" } },
    });
}

TEST(OpsCustomLossDeathTest, Checks) {
    const char * tasks = "n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0";
    run_deaths({
        { "map_custom1 with 0 tasks", [](Ctx & c) { tevo_map_custom1(c.ctx, c.f32(3), map1, 0, nullptr); }, tasks },
        { "map_custom1 with -2 tasks", [](Ctx & c) { tevo_map_custom1(c.ctx, c.f32(3), map1, -2, nullptr); },
          tasks },
        { "map_custom1_inplace", [](Ctx & c) { tevo_map_custom1_inplace(c.ctx, c.f32(3), map1, 0, nullptr); },
          tasks },
        { "map_custom2", [](Ctx & c) { tevo_map_custom2(c.ctx, c.f32(3), c.f32(3), map2, 0, nullptr); }, tasks },
        { "map_custom2_inplace",
          [](Ctx & c) { tevo_map_custom2_inplace(c.ctx, c.f32(3), c.f32(3), map2, -3, nullptr); }, tasks },
        { "map_custom3",
          [](Ctx & c) { tevo_map_custom3(c.ctx, c.f32(3), c.f32(3), c.f32(3), map3, 0, nullptr); }, tasks },
        { "map_custom3_inplace",
          [](Ctx & c) { tevo_map_custom3_inplace(c.ctx, c.f32(3), c.f32(3), c.f32(3), map3, 0, nullptr); }, tasks },
        { "custom_4d with 0 tasks",
          [](Ctx & c) { tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 1, 1, 1, 1, nullptr, 0, custom, 0, nullptr); }, tasks },
        { "custom_inplace with -5 tasks",
          [](Ctx & c) { tevo_custom_inplace(c.ctx, c.f32(3), nullptr, 0, custom, -5, nullptr); }, tasks },
        { "custom_4d with ten inputs",
          [](Ctx & c) {
              tevo_tensor * args[10];
              for (auto & t : args) {
                  t = c.f32(1);
              }
              tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 1, 1, 1, 1, args, 10, custom, 1, nullptr);
          },
          "n_args < TEVO_MAX_SRC" },
        { "custom_inplace with nine more inputs",
          [](Ctx & c) {
              tevo_tensor * args[9];
              for (auto & t : args) {
                  t = c.f32(1);
              }
              tevo_custom_inplace(c.ctx, c.f32(3), args, 9, custom, 1, nullptr);
          },
          "n_args < TEVO_MAX_SRC - 1" },
        { "loss shapes", [](Ctx & c) { tevo_cross_entropy_loss(c.ctx, c.f32(10, 3), c.f32(10, 2)); },
          "tevo_are_same_shape(a, b)" },
        { "loss_back gradient not scalar",
          [](Ctx & c) { tevo_cross_entropy_loss_back(c.ctx, c.f32(2), c.f32(10, 3), c.f32(10, 3)); },
          "tevo_is_scalar(a)" },
        { "loss_back shapes",
          [](Ctx & c) { tevo_cross_entropy_loss_back(c.ctx, c.f32(1), c.f32(10, 3), c.f32(3, 10)); },
          "tevo_are_same_shape(b, c)" },
        { "adamw on a tensor that is no parameter",
          [](Ctx & c) {
              tevo_opt_step_adamw(c.ctx, c.f32(5), c.f32(5), c.f32(5), c.f32(5), c.f32(7));
          },
          "a->flags & TEVO_TENSOR_FLAG_PARAM" },
        { "adamw gradient",
          [](Ctx & c) { tevo_opt_step_adamw(c.ctx, param(c, 5), c.f32(4), c.f32(5), c.f32(5), c.f32(7)); },
          "tevo_are_same_shape(a, grad)" },
        { "adamw without a gradient",
          [](Ctx & c) { tevo_opt_step_adamw(c.ctx, param(c, 5), nullptr, c.f32(5), c.f32(5), c.f32(7)); },
          "grad != NULL && \"no gradient: the parameter does not feed the loss\"" },
        { "adamw first moment",
          [](Ctx & c) { tevo_opt_step_adamw(c.ctx, param(c, 5), c.f32(5), c.f32(5, 2), c.f32(5), c.f32(7)); },
          "tevo_are_same_shape(a, m)" },
        { "adamw second moment",
          [](Ctx & c) { tevo_opt_step_adamw(c.ctx, param(c, 5), c.f32(5), c.f32(5), c.f32(6), c.f32(7)); },
          "tevo_are_same_shape(a, v)" },
        { "adamw half-float settings",
          [](Ctx & c) {
              tevo_opt_step_adamw(c.ctx, param(c, 5), c.f32(5), c.f32(5), c.f32(5), c.t(TEVO_TYPE_F16, 7));
          },
          "adamw_params->type == TEVO_TYPE_F32" },
        { "adamw six settings",
          [](Ctx & c) { tevo_opt_step_adamw(c.ctx, param(c, 5), c.f32(5), c.f32(5), c.f32(5), c.f32(6)); },
          "tevo_nelements(adamw_params) == 7" },
        { "sgd on a tensor that is no parameter",
          [](Ctx & c) { tevo_opt_step_sgd(c.ctx, c.f32(5), c.f32(5), c.f32(2)); },
          "a->flags & TEVO_TENSOR_FLAG_PARAM" },
        { "sgd gradient", [](Ctx & c) { tevo_opt_step_sgd(c.ctx, param(c, 5), c.f32(5, 2), c.f32(2)); },
          "tevo_are_same_shape(a, grad)" },
        { "sgd without a gradient", [](Ctx & c) { tevo_opt_step_sgd(c.ctx, param(c, 5), nullptr, c.f32(2)); },
          "grad != NULL && \"no gradient: the parameter does not feed the loss\"" },
        { "sgd half-float settings",
          [](Ctx & c) { tevo_opt_step_sgd(c.ctx, param(c, 5), c.f32(5), c.t(TEVO_TYPE_F16, 2)); },
          "params->type == TEVO_TYPE_F32" },
        { "sgd three settings", [](Ctx & c) { tevo_opt_step_sgd(c.ctx, param(c, 5), c.f32(5), c.f32(3)); },
          "tevo_nelements(params) == 2" },
        { "solve_tri half-float a",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.t(TEVO_TYPE_F16, 4, 4), c.f32(3, 4), true, true, false); },
          "a->type == TEVO_TYPE_F32" },
        { "solve_tri half-float b",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4), c.t(TEVO_TYPE_F16, 3, 4), true, true, false); },
          "b->type == TEVO_TYPE_F32" },
        { "solve_tri not square",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 3), c.f32(3, 3), true, true, false); },
          "a->ne[0] == a->ne[1]" },
        { "solve_tri rows",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4), c.f32(3, 5), true, true, false); },
          "a->ne[1] == b->ne[1]" },
        { "solve_tri planes",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4, 2), c.f32(3, 4, 1), true, true, false); },
          "a->ne[2] == b->ne[2]" },
        { "solve_tri batches",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4, 1, 2), c.f32(3, 4, 1, 3), true, true, false); },
          "a->ne[3] == b->ne[3]" },
        { "solve_tri transposed a",
          [](Ctx & c) {
              tevo_solve_tri(c.ctx, tevo_transpose(c.ctx, c.f32(4, 4)), c.f32(3, 4), true, true, false);
          },
          "tevo_is_contiguous(a)" },
        { "solve_tri transposed b",
          [](Ctx & c) {
              tevo_solve_tri(c.ctx, c.f32(4, 4), tevo_transpose(c.ctx, c.f32(4, 3)), true, true, false);
          },
          "tevo_is_contiguous(b)" },
        { "solve_tri unit diagonal",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4), c.f32(3, 4), true, true, true); },
          "lower && left && !uni" },
        { "solve_tri upper",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4), c.f32(3, 4), true, false, false); },
          "lower && left && !uni" },
        { "solve_tri right side",
          [](Ctx & c) { tevo_solve_tri(c.ctx, c.f32(4, 4), c.f32(3, 4), false, true, false); },
          "lower && left && !uni" },
    });
}
