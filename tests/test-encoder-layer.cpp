// End to end: the convolution stem and one pre-norm transformer encoder layer
// at the speech model's widths (80 mel bins, width 384, 6 heads, MLP 1536),
// computed through the CPU backend and the scheduler, against a reference in
// double precision, with F32 and with F16 weights.
//
// The reference rounds to half exactly where the graph does so by design:
// the convolution's patch matrix and kernel, the activations entering a
// product with half weights, and GELU, which is a half-precision table.
// What is left is float arithmetic, so the tolerances stay tight.

#include "encoder-layer-graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double half(double v) {
    return (double) tevo_fp16_to_fp32(tevo_fp32_to_fp16((float) v));
}

double gelu_ref(double x) {
    if (x <= -10.0)
        return 0.0;
    if (x >= 10.0)
        return x;
    const double f = half(x);
    return half(0.5 * f * (1.0 + std::tanh(0.7978845608028654 * (f + 0.044715 * f * f * f))));
}

using Mat = std::vector<double>; // row-major [rows][cols]

// y[t][o] = b[o] + sum_i w[o][i] x[t][i]; w as stored: [in, out] with in fastest
Mat linear(const Mat & x, int64_t T, int64_t in, int64_t out, const std::vector<float> & w,
           const std::vector<float> & b, bool half_input) {
    Mat xi = x;
    if (half_input) {
        for (double & v : xi) v = half(v);
    }
    Mat y((size_t) (T * out));
    for (int64_t t = 0; t < T; ++t) {
        const double * xr = &xi[(size_t) (t * in)];
        for (int64_t o = 0; o < out; ++o) {
            const float * wr  = &w[(size_t) (o * in)];
            double        acc = 0;
            for (int64_t i = 0; i < in; ++i) acc += (double) wr[i] * xr[i];
            y[(size_t) (t * out + o)] = acc + b[(size_t) o];
        }
    }
    return y;
}

Mat layer_norm(const Mat & x, int64_t T, int64_t C, const std::vector<float> & w, const std::vector<float> & b) {
    Mat y(x.size());
    for (int64_t t = 0; t < T; ++t) {
        const double * r    = &x[(size_t) (t * C)];
        double         mean = 0, var = 0;
        for (int64_t c = 0; c < C; ++c) mean += r[c];
        mean /= (double) C;
        for (int64_t c = 0; c < C; ++c) var += (r[c] - mean) * (r[c] - mean);
        var /= (double) C;
        const double s = 1.0 / std::sqrt(var + 1e-5);
        for (int64_t c = 0; c < C; ++c) y[(size_t) (t * C + c)] = (r[c] - mean) * s * w[(size_t) c] + b[(size_t) c];
    }
    return y;
}

// x: [IC][L] channel rows; kernel [3, IC, OC] as stored; padding 1; the
// patches and the kernel enter the product as halves
Mat conv1d(const Mat & x, int64_t IC, int64_t L, int64_t OC, int stride, const std::vector<float> & w,
           const std::vector<float> & b) {
    const int64_t OL = (L - 1) / stride + 1;
    Mat           xh = x;
    for (double & v : xh) v = half(v);
    Mat y((size_t) (OC * OL));
    for (int64_t oc = 0; oc < OC; ++oc) {
        for (int64_t t = 0; t < OL; ++t) {
            double acc = 0;
            for (int64_t ic = 0; ic < IC; ++ic) {
                for (int64_t k = 0; k < 3; ++k) {
                    const int64_t i = t * stride + k - 1;
                    if (i < 0 || i >= L)
                        continue;
                    acc += half(w[(size_t) ((oc * IC + ic) * 3 + k)]) * xh[(size_t) (ic * L + i)];
                }
            }
            y[(size_t) (oc * OL + t)] = acc + b[(size_t) oc];
        }
    }
    return y;
}

// [C, T] output (position-major, as the graph stores it) from the mel [n_mel][n_frames]
Mat reference(const enc::Model & m, const std::vector<float> & mel) {
    const enc::Hparams & hp = m.hp;
    const int64_t        C = hp.n_state, T = hp.n_ctx, H = hp.n_head, D = hp.d_head(), M = hp.n_mlp();
    const bool           hw = m.wtype == TEVO_TYPE_F16;

    Mat x(mel.begin(), mel.end());
    x = conv1d(x, hp.n_mel, hp.n_frames(), C, 1, m[m.conv1_w], m[m.conv1_b]);
    for (double & v : x) v = gelu_ref(v);
    x = conv1d(x, C, hp.n_frames(), C, 2, m[m.conv2_w], m[m.conv2_b]);
    for (double & v : x) v = gelu_ref(v);

    // to [T][C], plus positions
    Mat cur((size_t) (T * C));
    for (int64_t t = 0; t < T; ++t)
        for (int64_t c = 0; c < C; ++c)
            cur[(size_t) (t * C + c)] = x[(size_t) (c * T + t)] + m[m.pos][(size_t) (t * C + c)];

    // attention
    Mat       h = layer_norm(cur, T, C, m[m.ln0_w], m[m.ln0_b]);
    const Mat q = linear(h, T, C, C, m[m.q_w], m[m.q_b], hw);
    const Mat k = linear(h, T, C, C, m[m.k_w], m[m.k_b], hw);
    const Mat v = linear(h, T, C, C, m[m.v_w], m[m.v_b], hw);

    Mat                 att((size_t) (T * C));
    std::vector<double> p((size_t) T);
    const double        scale = 1.0 / std::sqrt((double) D);
    for (int64_t hd = 0; hd < H; ++hd) {
        for (int64_t tq = 0; tq < T; ++tq) {
            double max = -INFINITY;
            for (int64_t tk = 0; tk < T; ++tk) {
                double s = 0;
                for (int64_t d = 0; d < D; ++d)
                    s += q[(size_t) (tq * C + hd * D + d)] * k[(size_t) (tk * C + hd * D + d)];
                p[(size_t) tk] = s * scale;
                max            = std::max(max, p[(size_t) tk]);
            }
            double sum = 0;
            for (double & e : p) {
                e = std::exp(e - max);
                sum += e;
            }
            for (int64_t d = 0; d < D; ++d) {
                double acc = 0;
                for (int64_t tk = 0; tk < T; ++tk) acc += p[(size_t) tk] * v[(size_t) (tk * C + hd * D + d)];
                att[(size_t) (tq * C + hd * D + d)] = acc / sum;
            }
        }
    }
    Mat o = linear(att, T, C, C, m[m.o_w], m[m.o_b], hw);
    for (size_t i = 0; i < cur.size(); ++i) cur[i] += o[i];

    // MLP
    h = layer_norm(cur, T, C, m[m.ln1_w], m[m.ln1_b]);
    h = linear(h, T, C, M, m[m.fc1_w], m[m.fc1_b], hw);
    for (double & e : h) e = gelu_ref(e);
    h = linear(h, T, M, C, m[m.fc2_w], m[m.fc2_b], hw);
    for (size_t i = 0; i < cur.size(); ++i) cur[i] += h[i];
    return cur;
}

struct Result {
    double max_err = 0; // largest |got - ref|
    double rms_err = 0;
    double rms_ref = 0;
};

Result run_layer(tevo_type wtype, int64_t n_ctx, int n_threads) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    enc::Hparams hp;
    hp.n_ctx = n_ctx;

    tevo_backend_t backend = tevo_backend_cpu_init();
    EXPECT_NE(backend, nullptr);
    tevo_backend_cpu_set_n_threads(backend, n_threads);

    Result r;
    {
        enc::Model m;
        enc::init_model(m, hp, wtype, backend, 1234);

        enc::Graph g;
        enc::build_graph(g, m);

        tevo_backend_sched_t sched = tevo_backend_sched_new(&backend, nullptr, 1, 2048, false, false);
        EXPECT_TRUE(tevo_backend_sched_reserve(sched, g.gf));
        EXPECT_TRUE(tevo_backend_sched_alloc_graph(sched, g.gf));

        std::mt19937                          rng(99);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float>                    mel((size_t) tevo_nelements(g.mel));
        for (float & v : mel) v = dist(rng);
        tevo_backend_tensor_set(g.mel, mel.data(), 0, mel.size() * sizeof(float));

        EXPECT_EQ(tevo_backend_sched_graph_compute(sched, g.gf), TEVO_STATUS_SUCCESS);
        std::vector<float> out((size_t) tevo_nelements(g.out));
        tevo_backend_tensor_get(g.out, out.data(), 0, out.size() * sizeof(float));
        tevo_backend_sched_free(sched);

        const Mat ref = reference(m, mel);
        EXPECT_EQ(ref.size(), out.size());
        for (size_t i = 0; i < out.size() && i < ref.size(); ++i) {
            const double e = std::fabs((double) out[i] - ref[i]);
            r.max_err      = std::isnan(e) ? INFINITY : std::max(r.max_err, e);
            r.rms_err += e * e;
            r.rms_ref += ref[i] * ref[i];
        }
        r.rms_err = std::sqrt(r.rms_err / (double) out.size());
        r.rms_ref = std::sqrt(r.rms_ref / (double) out.size());
        printf("%s weights: max error %.3g, rms error %.3g, rms of the output %.3g\n", tevo_type_name(wtype), r.max_err,
               r.rms_err, r.rms_ref);
    }
    tevo_backend_free(backend);
    return r;
}

// 250 positions (500 frames) keep the double reference at about a second;
// the widths are the model's
constexpr int64_t kPositions = 250;

TEST(EncoderLayer, F32WeightsMatchTheReference) {
    const Result r = run_layer(TEVO_TYPE_F32, kPositions, 3);
    EXPECT_GT(r.rms_ref, 0.5); // the output carries signal, not just the residual's size
    // a value that rounds the other way to half (in the stem's GELU, on the
    // residual path) moves the output by one half-precision step, about 5e-4
    EXPECT_LT(r.max_err, 2e-3);
    EXPECT_LT(r.rms_err, 1.5e-4);
}

TEST(EncoderLayer, F16WeightsMatchTheReference) {
    const Result r = run_layer(TEVO_TYPE_F16, kPositions, 3);
    EXPECT_GT(r.rms_ref, 0.5);
    EXPECT_LT(r.max_err, 4e-3);
    EXPECT_LT(r.rms_err, 6e-4);
}

} // namespace
