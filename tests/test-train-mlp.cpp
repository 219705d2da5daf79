// Training end to end: a two-layer perceptron learns a problem that needs its
// hidden layer (the sign of x0·x1 of points in a square), with gradients from
// the backward graph collected in accumulators and AdamW steps in the same
// graph, on 1 and 4 threads. The loss it reaches is out of reach when the
// first layer gets no gradient.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

const int64_t N_IN     = 2;
const int64_t N_HIDDEN = 8;
const int64_t N_OUT    = 2;
const int64_t N_POINTS = 64;

struct Mlp {
    tevo_context * ctx = nullptr;
    tevo_tensor *  w1, *b1, *w2, *b2, *x, *y, *loss, *hp;
    tevo_cgraph *  gb_grad = nullptr; // forward and backward
    tevo_cgraph *  gb_opt  = nullptr; // the same and the optimiser steps

    ~Mlp() { tevo_free(ctx); }
};

// builds the model; with train_first_layer false, w1 and b1 stay fixed, as
// they would with a gradient that never reaches them
void build(Mlp & m, bool train_first_layer) {
    tevo_init_params p = { 32u * 1024 * 1024, nullptr, false };
    m.ctx              = tevo_init(p);
    tevo_context * c   = m.ctx;

    m.w1 = tevo_new_tensor_2d(c, TEVO_TYPE_F32, N_IN, N_HIDDEN);
    m.b1 = tevo_new_tensor_1d(c, TEVO_TYPE_F32, N_HIDDEN);
    m.w2 = tevo_new_tensor_2d(c, TEVO_TYPE_F32, N_HIDDEN, N_OUT);
    m.b2 = tevo_new_tensor_1d(c, TEVO_TYPE_F32, N_OUT);
    m.x  = tevo_new_tensor_2d(c, TEVO_TYPE_F32, N_IN, N_POINTS);
    m.y  = tevo_new_tensor_2d(c, TEVO_TYPE_F32, N_OUT, N_POINTS);
    m.hp = tevo_new_tensor_1d(c, TEVO_TYPE_F32, 7);

    std::mt19937 rng(2024);
    fill(m.w1, rng, -1.0f, 1.0f);
    fill(m.b1, rng, -0.5f, 0.5f);
    fill(m.w2, rng, -0.5f, 0.5f);
    fill(m.b2, rng, -0.1f, 0.1f);

    // the data: class 1 where x0 and x1 have the same sign
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int64_t i = 0; i < N_POINTS; ++i) {
        const float x0 = u(rng), x1 = u(rng);
        set(m.x, x0, 0, i);
        set(m.x, x1, 1, i);
        const bool same = (x0 > 0) == (x1 > 0);
        set(m.y, same ? 0.0f : 1.0f, 0, i);
        set(m.y, same ? 1.0f : 0.0f, 1, i);
    }

    tevo_tensor * params[4] = { m.w1, m.b1, m.w2, m.b2 };
    for (int i = train_first_layer ? 0 : 2; i < 4; ++i) {
        tevo_set_param(params[i]);
    }

    // h: [N_HIDDEN, N_POINTS], logits: [N_OUT, N_POINTS]
    tevo_tensor * h      = tevo_relu(c, tevo_add(c, tevo_mul_mat(c, m.w1, m.x), m.b1));
    tevo_tensor * logits = tevo_add(c, tevo_mul_mat(c, m.w2, h), m.b2);
    m.loss               = tevo_cross_entropy_loss(c, logits, m.y);
    tevo_set_loss(m.loss);

    m.gb_grad = tevo_new_graph_custom(c, 512, true);
    tevo_build_forward_expand(m.gb_grad, m.loss);

    // one accumulator per parameter, given by forward node index
    std::vector<tevo_tensor *> accs((size_t) m.gb_grad->n_nodes, nullptr);
    for (int i = 0; i < m.gb_grad->n_nodes; ++i) {
        tevo_tensor * node = m.gb_grad->nodes[i];
        if (node->flags & TEVO_TENSOR_FLAG_PARAM) {
            accs[(size_t) i] = tevo_new_tensor(c, TEVO_TYPE_F32, 4, node->ne);
        }
    }
    tevo_build_backward_expand(c, m.gb_grad, accs.data());

    m.gb_opt = tevo_graph_dup(c, m.gb_grad, false);
    for (int i = train_first_layer ? 0 : 2; i < 4; ++i) {
        tevo_tensor * w  = params[i];
        tevo_tensor * mo = tevo_new_tensor(c, TEVO_TYPE_F32, 4, w->ne);
        tevo_tensor * vo = tevo_new_tensor(c, TEVO_TYPE_F32, 4, w->ne);
        tevo_build_forward_expand(m.gb_opt,
                                  tevo_opt_step_adamw(c, w, tevo_graph_get_grad(m.gb_grad, w), mo, vo, m.hp));
    }
}

void compute(tevo_cgraph * gf, int n_threads) {
    tevo_cplan           plan = tevo_graph_plan(gf, n_threads, nullptr);
    std::vector<uint8_t> work(plan.work_size);
    plan.work_data = work.data();
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
}

// trains for the given steps and returns the loss after them
float train(Mlp & m, int n_threads, int steps) {
    tevo_graph_reset(m.gb_opt); // moments to 0
    const float beta1 = 0.9f, beta2 = 0.999f;
    float       first = 0.0f;
    for (int it = 1; it <= steps; ++it) {
        const float hp[7] = { 0.05f, beta1, beta2, 1e-8f, 0.0f, 1.0f / (1.0f - powf(beta1, (float) it)),
                              1.0f / (1.0f - powf(beta2, (float) it)) };
        memcpy(m.hp->data, hp, sizeof(hp));
        tevo_graph_reset(m.gb_grad); // accumulators to 0, the loss's gradient to 1
        compute(m.gb_opt, n_threads);
        if (it == 1) {
            first = ((float *) m.loss->data)[0];
        }
    }
    // the loss of the trained parameters
    tevo_cgraph * gf = tevo_new_graph(m.ctx);
    tevo_build_forward_expand(gf, m.loss);
    compute(gf, n_threads);
    const float last = ((float *) m.loss->data)[0];
    EXPECT_NEAR(first, logf(2.0f), 0.5f) << "an untrained model guesses";
    return last;
}

// The trained perceptron gets below 0.01 in 200 steps; with its first layer
// fixed at the random start it stays near 0.26, since eight random features
// do not separate the sign product. A gradient that misses or garbles a
// layer cannot get here.
const float TARGET = 0.02f;

TEST(TrainMlp, AdamWReachesTheTargetLoss) {
    for (int nth : { 1, 4 }) {
        Mlp m;
        build(m, true);
        const float loss = train(m, nth, 200);
        EXPECT_LT(loss, TARGET) << "nth " << nth;
    }
}

TEST(TrainMlp, WithoutGradientsForTheFirstLayerTheTargetIsOutOfReach) {
    Mlp m;
    build(m, false);
    const float loss = train(m, 4, 200);
    EXPECT_GT(loss, 4 * TARGET);
}

} // namespace
