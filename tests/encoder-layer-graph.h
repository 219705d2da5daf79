#pragma once

// One pre-norm transformer encoder layer at the speech model's shapes, with
// the convolution stem in front of it, as a tevo graph. Shared by the
// end-to-end test and the benchmark.
//
//   stem:  conv1d(k3, p1) + b, GELU, conv1d(k3, s2, p1) + b, GELU, + positions
//   layer: x + attn(norm(x)), then + mlp(norm(.)), attention with 6 heads
//          through a row softmax, the MLP 4 times as wide with GELU

#include "tevo-alloc.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "tevo.h"

#include <cmath>
#include <map>
#include <random>
#include <vector>

namespace enc {

struct Hparams {
    int64_t n_mel   = 80;
    int64_t n_state = 384;
    int64_t n_head  = 6;
    int64_t n_ctx   = 1500; // positions after the stem

    int64_t n_mlp() const { return 4 * n_state; }
    int64_t n_frames() const { return 2 * n_ctx; }
    int64_t d_head() const { return n_state / n_head; }
};

struct Model {
    Hparams   hp;
    tevo_type wtype = TEVO_TYPE_F32; // of the matrices; biases, norms and positions stay F32

    tevo_context *        ctx = nullptr;
    tevo_backend_buffer_t buf = nullptr;

    tevo_tensor *conv1_w, *conv1_b, *conv2_w, *conv2_b, *pos;
    tevo_tensor *ln0_w, *ln0_b, *q_w, *q_b, *k_w, *k_b, *v_w, *v_b, *o_w, *o_b;
    tevo_tensor *ln1_w, *ln1_b, *fc1_w, *fc1_b, *fc2_w, *fc2_b;

    // every weight's values as stored (half weights already rounded)
    std::map<const tevo_tensor *, std::vector<float>> values;

    Model()                          = default;
    Model(const Model &)             = delete;
    Model & operator=(const Model &) = delete;

    ~Model() {
        if (buf)
            tevo_backend_buffer_free(buf);
        if (ctx)
            tevo_free(ctx);
    }

    const std::vector<float> & operator[](const tevo_tensor * t) const { return values.at(t); }
};

inline void init_model(Model & m, const Hparams & hp, tevo_type wtype, tevo_backend_t backend, uint32_t seed) {
    m.hp    = hp;
    m.wtype = wtype;

    tevo_init_params params = { 32 * tevo_tensor_overhead(), nullptr, true };
    m.ctx                   = tevo_init(params);

    const int64_t C = hp.n_state, M = hp.n_mlp();
    auto          mat = [&](int64_t ne0, int64_t ne1) { return tevo_new_tensor_2d(m.ctx, wtype, ne0, ne1); };
    auto          vec = [&](int64_t ne0) { return tevo_new_tensor_1d(m.ctx, TEVO_TYPE_F32, ne0); };

    m.conv1_w = tevo_new_tensor_3d(m.ctx, wtype, 3, hp.n_mel, C);
    m.conv1_b = tevo_new_tensor_2d(m.ctx, TEVO_TYPE_F32, 1, C);
    m.conv2_w = tevo_new_tensor_3d(m.ctx, wtype, 3, C, C);
    m.conv2_b = tevo_new_tensor_2d(m.ctx, TEVO_TYPE_F32, 1, C);
    m.pos     = tevo_new_tensor_2d(m.ctx, TEVO_TYPE_F32, C, hp.n_ctx);
    m.ln0_w   = vec(C);
    m.ln0_b   = vec(C);
    m.q_w     = mat(C, C);
    m.q_b     = vec(C);
    m.k_w     = mat(C, C);
    m.k_b     = vec(C);
    m.v_w     = mat(C, C);
    m.v_b     = vec(C);
    m.o_w     = mat(C, C);
    m.o_b     = vec(C);
    m.ln1_w   = vec(C);
    m.ln1_b   = vec(C);
    m.fc1_w   = mat(C, M);
    m.fc1_b   = vec(M);
    m.fc2_w   = mat(M, C);
    m.fc2_b   = vec(C);

    m.buf = tevo_backend_alloc_ctx_tensors(m.ctx, backend);

    std::mt19937 rng(seed);
    // uniform values of the given spread around a centre
    auto set = [&](tevo_tensor * t, float centre, float spread) {
        std::uniform_real_distribution<float> dist(-spread, spread);
        const int64_t                         n = tevo_nelements(t);
        std::vector<float>                    v((size_t) n);
        for (float & x : v) x = centre + dist(rng);
        if (t->type == TEVO_TYPE_F16) {
            std::vector<tevo_fp16_t> h((size_t) n);
            for (int64_t i = 0; i < n; ++i) {
                h[i] = tevo_fp32_to_fp16(v[i]);
                v[i] = tevo_fp16_to_fp32(h[i]);
            }
            tevo_backend_tensor_set(t, h.data(), 0, h.size() * sizeof(tevo_fp16_t));
        } else {
            tevo_backend_tensor_set(t, v.data(), 0, v.size() * sizeof(float));
        }
        m.values[t] = std::move(v);
    };
    // products keep unit variance: spread sqrt(3 / fan-in)
    auto fan = [](int64_t n) { return std::sqrt(3.0f / (float) n); };

    set(m.conv1_w, 0.0f, fan(3 * hp.n_mel));
    set(m.conv1_b, 0.0f, 0.1f);
    set(m.conv2_w, 0.0f, fan(3 * C));
    set(m.conv2_b, 0.0f, 0.1f);
    set(m.pos, 0.0f, 0.5f);
    set(m.ln0_w, 1.0f, 0.2f);
    set(m.ln0_b, 0.0f, 0.1f);
    set(m.q_w, 0.0f, fan(C));
    set(m.q_b, 0.0f, 0.1f);
    set(m.k_w, 0.0f, fan(C));
    set(m.k_b, 0.0f, 0.1f);
    set(m.v_w, 0.0f, fan(C));
    set(m.v_b, 0.0f, 0.1f);
    set(m.o_w, 0.0f, fan(C));
    set(m.o_b, 0.0f, 0.1f);
    set(m.ln1_w, 1.0f, 0.2f);
    set(m.ln1_b, 0.0f, 0.1f);
    set(m.fc1_w, 0.0f, fan(C));
    set(m.fc1_b, 0.0f, 0.1f);
    set(m.fc2_w, 0.0f, fan(M));
    set(m.fc2_b, 0.0f, 0.1f);
}

struct Graph {
    tevo_context * ctx = nullptr;
    tevo_cgraph *  gf  = nullptr;
    tevo_tensor *  mel = nullptr; // input [n_frames, n_mel]
    tevo_tensor *  out = nullptr; // [n_state, n_ctx]

    ~Graph() {
        if (ctx)
            tevo_free(ctx);
    }
};

// the layer's graph in a fresh no-allocation context (the scheduler allocates it)
inline void build_graph(Graph & g, const Model & m) {
    const Hparams & hp = m.hp;
    const int64_t   C = hp.n_state, H = hp.n_head, D = hp.d_head(), T = hp.n_ctx;
    const float     eps = 1e-5f;

    tevo_init_params params = { 256 * tevo_tensor_overhead() + tevo_graph_overhead(), nullptr, true };
    g.ctx                   = tevo_init(params);
    tevo_context * ctx      = g.ctx;

    g.mel = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, hp.n_frames(), hp.n_mel);
    tevo_set_name(g.mel, "mel");
    tevo_set_input(g.mel);

    // stem: [time, channels] until the transpose
    tevo_tensor * cur = tevo_conv_1d_ph(ctx, m.conv1_w, g.mel, 1, 1);
    cur               = tevo_gelu(ctx, tevo_add(ctx, cur, m.conv1_b));
    cur               = tevo_conv_1d_ph(ctx, m.conv2_w, cur, 2, 1);
    cur               = tevo_gelu(ctx, tevo_add(ctx, cur, m.conv2_b));
    cur               = tevo_cont(ctx, tevo_transpose(ctx, cur));
    cur               = tevo_add(ctx, cur, m.pos);

    // attention
    tevo_tensor * residual = cur;
    cur                    = tevo_add(ctx, tevo_mul(ctx, tevo_norm(ctx, cur, eps), m.ln0_w), m.ln0_b);

    tevo_tensor * q = tevo_add(ctx, tevo_mul_mat(ctx, m.q_w, cur), m.q_b);
    tevo_tensor * k = tevo_add(ctx, tevo_mul_mat(ctx, m.k_w, cur), m.k_b);
    tevo_tensor * v = tevo_add(ctx, tevo_mul_mat(ctx, m.v_w, cur), m.v_b);

    q = tevo_permute(ctx, tevo_reshape_3d(ctx, q, D, H, T), 0, 2, 1, 3);                 // [D, T, H]
    k = tevo_permute(ctx, tevo_reshape_3d(ctx, k, D, H, T), 0, 2, 1, 3);                 // [D, T, H]
    v = tevo_cont(ctx, tevo_permute(ctx, tevo_reshape_3d(ctx, v, D, H, T), 1, 2, 0, 3)); // [T, D, H]

    tevo_tensor * kq  = tevo_mul_mat(ctx, k, q); // [T_k, T_q, H]
    kq                = tevo_soft_max_ext(ctx, kq, nullptr, 1.0f / std::sqrt((float) D), 0.0f);
    tevo_tensor * kqv = tevo_mul_mat(ctx, v, kq);                                    // [D, T_q, H]
    cur               = tevo_cont_2d(ctx, tevo_permute(ctx, kqv, 0, 2, 1, 3), C, T); // [C, T]

    cur = tevo_add(ctx, tevo_mul_mat(ctx, m.o_w, cur), m.o_b);
    cur = tevo_add(ctx, cur, residual);

    // MLP
    residual = cur;
    cur      = tevo_add(ctx, tevo_mul(ctx, tevo_norm(ctx, cur, eps), m.ln1_w), m.ln1_b);
    cur      = tevo_gelu(ctx, tevo_add(ctx, tevo_mul_mat(ctx, m.fc1_w, cur), m.fc1_b));
    cur      = tevo_add(ctx, tevo_mul_mat(ctx, m.fc2_w, cur), m.fc2_b);
    g.out    = tevo_add(ctx, cur, residual);
    tevo_set_name(g.out, "out");
    tevo_set_output(g.out);

    g.gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(g.gf, g.out);
}

// multiply-adds of the layer's products, times 2
inline double flops(const Hparams & hp) {
    const double C = (double) hp.n_state, T = (double) hp.n_ctx, L = (double) hp.n_frames();
    const double stem = 2.0 * L * (3 * hp.n_mel) * C + 2.0 * T * (3 * C) * C;
    const double proj = 4 * 2.0 * T * C * C;
    const double attn = 2 * 2.0 * T * T * C;
    const double mlp  = 2 * 2.0 * T * C * hp.n_mlp();
    return stem + proj + attn + mlp;
}

} // namespace enc
