// The encoder and decoder graphs and runs against a double-precision
// reference of the same model written here: convolution stem with GELU,
// positional table, pre-norm attention and MLP layers, cross-attention over
// the encoder output, causal self-attention over the cache, final norm and
// logits against the token embedding. Random-weight models from the writer,
// F32 and F16 weights, fused and softmax attention, 1 to 8 threads.
//
// The reference rounds to half exactly where the graphs do by design: the
// convolution patches and kernels, activations entering a product with half
// weights, the GELU table, and the keys, values and queries of attention
// (the caches hold halves). What is left is float arithmetic.
//
// Also: stale cache cells past the window never take part, a fitted window
// after a longer one equals a fresh state, the argument checks of the public
// runs, and language detection over a vocabulary with fewer languages.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// reference

double half(double v) {
    return (double) tevo_fp16_to_fp32(tevo_fp32_to_fp16((float) v));
}

double gelu_ref(double x) {
    if (x <= -10.0) {
        return 0.0;
    }
    if (x >= 10.0) {
        return x;
    }
    const double f = half(x);
    return half(0.5 * f * (1.0 + std::tanh(0.7978845608028654 * (f + 0.044715 * f * f * f))));
}

using Mat = std::vector<double>; // row-major [rows][cols]

struct Weights {
    std::map<std::string, std::vector<float>> by_name;
    bool                                      f16 = false;

    const std::vector<float> & operator()(const std::string & name) const { return by_name.at(name); }
};

// y[t][o] = b[o] + sum_i w[o][i] x[t][i]; w as stored: [in, out], in fastest
Mat linear(const Mat & x, int64_t T, int64_t in, int64_t out, const std::vector<float> & w,
           const std::vector<float> * b, bool half_input) {
    Mat y((size_t) (T * out));
    std::vector<double> xr((size_t) in);
    for (int64_t t = 0; t < T; ++t) {
        for (int64_t i = 0; i < in; ++i) {
            const double v = x[(size_t) (t * in + i)];
            xr[(size_t) i] = half_input ? half(v) : v;
        }
        for (int64_t o = 0; o < out; ++o) {
            const float * wr  = &w[(size_t) (o * in)];
            double        acc = 0;
            for (int64_t i = 0; i < in; ++i) {
                acc += (double) wr[i] * xr[(size_t) i];
            }
            y[(size_t) (t * out + o)] = acc + (b ? (*b)[(size_t) o] : 0.0);
        }
    }
    return y;
}

Mat linear(const Weights & W, const std::string & name, const Mat & x, int64_t T, int64_t in, int64_t out,
           bool bias = true) {
    return linear(x, T, in, out, W(name + ".weight"), bias ? &W(name + ".bias") : nullptr, W.f16);
}

Mat layer_norm(const Weights & W, const std::string & name, const Mat & x, int64_t T, int64_t C) {
    const std::vector<float> & w = W(name + ".weight");
    const std::vector<float> & b = W(name + ".bias");
    Mat                        y(x.size());
    for (int64_t t = 0; t < T; ++t) {
        const double * r    = &x[(size_t) (t * C)];
        double         mean = 0, var = 0;
        for (int64_t c = 0; c < C; ++c) {
            mean += r[c];
        }
        mean /= (double) C;
        for (int64_t c = 0; c < C; ++c) {
            var += (r[c] - mean) * (r[c] - mean);
        }
        var /= (double) C;
        const double s = 1.0 / std::sqrt(var + 1e-5);
        for (int64_t c = 0; c < C; ++c) {
            y[(size_t) (t * C + c)] = (r[c] - mean) * s * w[(size_t) c] + b[(size_t) c];
        }
    }
    return y;
}

// x: [IC][L] channel rows; kernel [3, IC, OC] as stored; padding 1
Mat conv1d(const Mat & x, int64_t IC, int64_t L, int64_t OC, int stride, const std::vector<float> & w,
           const std::vector<float> & b) {
    const int64_t OL = (L - 1) / stride + 1;
    Mat           xh = x;
    for (double & v : xh) {
        v = half(v);
    }
    Mat y((size_t) (OC * OL));
    for (int64_t oc = 0; oc < OC; ++oc) {
        for (int64_t t = 0; t < OL; ++t) {
            double acc = 0;
            for (int64_t ic = 0; ic < IC; ++ic) {
                for (int64_t k = 0; k < 3; ++k) {
                    const int64_t i = t * stride + k - 1;
                    if (i < 0 || i >= L) {
                        continue;
                    }
                    acc += half(w[(size_t) ((oc * IC + ic) * 3 + k)]) * xh[(size_t) (ic * L + i)];
                }
            }
            y[(size_t) (oc * OL + t)] = acc + b[(size_t) oc];
        }
    }
    return y;
}

// softmax(q k^T * scale) v per head, q: [Tq][C], k, v: [Tk][C]; query t sees
// keys 0 .. visible(t) - 1; probs (optional) receives the weights [H][Tq][Tk]
template <typename Visible>
Mat attention(const Mat & q, const Mat & k, const Mat & v, int64_t Tq, int64_t Tk, int64_t C, int64_t H,
              double scale, Visible visible, Mat * probs = nullptr) {
    const int64_t       D = C / H;
    Mat                 att((size_t) (Tq * C));
    std::vector<double> p((size_t) Tk);
    if (probs) {
        probs->assign((size_t) (H * Tq * Tk), 0.0);
    }
    for (int64_t h = 0; h < H; ++h) {
        for (int64_t tq = 0; tq < Tq; ++tq) {
            const int64_t n   = visible(tq);
            double        max = -INFINITY;
            for (int64_t tk = 0; tk < n; ++tk) {
                double s = 0;
                for (int64_t d = 0; d < D; ++d) {
                    s += q[(size_t) (tq * C + h * D + d)] * k[(size_t) (tk * C + h * D + d)];
                }
                p[(size_t) tk] = s * scale;
                max            = std::max(max, p[(size_t) tk]);
            }
            double sum = 0;
            for (int64_t tk = 0; tk < n; ++tk) {
                p[(size_t) tk] = std::exp(p[(size_t) tk] - max);
                sum += p[(size_t) tk];
            }
            for (int64_t d = 0; d < D; ++d) {
                double acc = 0;
                for (int64_t tk = 0; tk < n; ++tk) {
                    acc += p[(size_t) tk] * v[(size_t) (tk * C + h * D + d)];
                }
                att[(size_t) (tq * C + h * D + d)] = acc / sum;
            }
            for (int64_t tk = 0; probs && tk < n; ++tk) {
                (*probs)[(size_t) ((h * Tq + tq) * Tk + tk)] = p[(size_t) tk] / sum;
            }
        }
    }
    return att;
}

void add_into(Mat & a, const Mat & b) {
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] += b[i];
    }
}

void round_half(Mat & a, double scale = 1.0) {
    for (double & v : a) {
        v = half((double) (float) ((float) v * (float) scale));
    }
}

// d^-1/4 as the graphs compute it: from the float head size, passed as float
double kscale(int64_t d_head) {
    return (double) (float) std::pow((double) (float) d_head, -0.25);
}

// MLP block with its residual; x: [T][C]
void mlp(const Weights & W, const std::string & p, Mat & x, int64_t T, int64_t C) {
    Mat h = layer_norm(W, p + "mlp_ln", x, T, C);
    h     = linear(W, p + "mlp.0", h, T, C, 4 * C);
    for (double & e : h) {
        e = gelu_ref(e);
    }
    h = linear(W, p + "mlp.2", h, T, 4 * C, C);
    add_into(x, h);
}

// encoder output [n_ctx][C] of the mel [n_mel][2 n_ctx]
Mat reference_encoder(const Weights & W, const kestu_model_recipe & sp, const std::vector<float> & mel, int64_t n_ctx) {
    const int64_t C = sp.n_audio_state, H = sp.n_audio_head, T = n_ctx;

    Mat x(mel.begin(), mel.end());
    x = conv1d(x, sp.n_mels, 2 * T, C, 1, W("encoder.conv1.weight"), W("encoder.conv1.bias"));
    for (double & v : x) {
        v = gelu_ref(v);
    }
    x = conv1d(x, C, 2 * T, C, 2, W("encoder.conv2.weight"), W("encoder.conv2.bias"));
    for (double & v : x) {
        v = gelu_ref(v);
    }

    Mat                        cur((size_t) (T * C));
    const std::vector<float> & pe = W("encoder.positional_embedding");
    for (int64_t t = 0; t < T; ++t) {
        for (int64_t c = 0; c < C; ++c) {
            cur[(size_t) (t * C + c)] = x[(size_t) (c * T + t)] + pe[(size_t) (t * C + c)];
        }
    }

    for (int il = 0; il < sp.n_audio_layer; ++il) {
        const std::string p = "encoder.blocks." + std::to_string(il) + ".";
        Mat               h = layer_norm(W, p + "attn_ln", cur, T, C);
        Mat               q = linear(W, p + "attn.query", h, T, C, C);
        Mat               k = linear(W, p + "attn.key", h, T, C, C, false);
        Mat               v = linear(W, p + "attn.value", h, T, C, C);
        round_half(q);
        round_half(k);
        round_half(v);
        const Mat att = attention(q, k, v, T, T, C, H, 1.0 / std::sqrt((double) (C / H)),
                                  [&](int64_t) { return T; });
        add_into(cur, linear(W, p + "attn.out", att, T, C, C));
        mlp(W, p, cur, T, C);
    }
    return layer_norm(W, "encoder.ln_post", cur, T, C);
}

// logits [n_tokens][n_vocab] of tokens at positions 0.. given the encoder
// output enc [n_audio][C]; causal self-attention. cross_probs (optional)
// receives each layer's cross-attention weights [H][n_tokens][n_audio].
Mat reference_decoder(const Weights & W, const kestu_model_recipe & sp, const std::vector<float> & enc, int64_t n_audio,
                      const std::vector<kestu_token> & tokens, std::vector<Mat> * cross_probs = nullptr) {
    const int64_t C = sp.n_text_state, H = sp.n_text_head, T = (int64_t) tokens.size();
    const double  ks = kscale(C / H);

    const std::vector<float> & te = W("decoder.token_embedding.weight");
    const std::vector<float> & pe = W("decoder.positional_embedding");

    Mat x((size_t) (T * C));
    for (int64_t t = 0; t < T; ++t) {
        for (int64_t c = 0; c < C; ++c) {
            x[(size_t) (t * C + c)] = (double) te[(size_t) (tokens[t] * C + c)] + pe[(size_t) (t * C + c)];
        }
    }
    const Mat e(enc.begin(), enc.end());

    for (int il = 0; il < sp.n_text_layer; ++il) {
        const std::string p = "decoder.blocks." + std::to_string(il) + ".";

        Mat h = layer_norm(W, p + "attn_ln", x, T, C);
        Mat q = linear(W, p + "attn.query", h, T, C, C);
        Mat k = linear(W, p + "attn.key", h, T, C, C, false);
        Mat v = linear(W, p + "attn.value", h, T, C, C);
        round_half(q, ks);
        round_half(k, ks);
        round_half(v);
        Mat att = attention(q, k, v, T, T, C, H, 1.0, [](int64_t tq) { return tq + 1; });
        add_into(x, linear(W, p + "attn.out", att, T, C, C));

        h      = layer_norm(W, p + "cross_attn_ln", x, T, C);
        q      = linear(W, p + "cross_attn.query", h, T, C, C);
        Mat kx = linear(W, p + "cross_attn.key", e, n_audio, C, C, false);
        Mat vx = linear(W, p + "cross_attn.value", e, n_audio, C, C);
        round_half(q);
        round_half(kx, ks);
        round_half(vx);
        Mat probs;
        att = attention(q, kx, vx, T, n_audio, C, H, ks, [&](int64_t) { return n_audio; }, &probs);
        if (cross_probs) {
            cross_probs->push_back(probs);
        }
        add_into(x, linear(W, p + "cross_attn.out", att, T, C, C));

        mlp(W, p, x, T, C);
    }

    const Mat h = layer_norm(W, "decoder.ln", x, T, C);
    return linear(h, T, C, sp.n_vocab, te, nullptr, W.f16);
}

// ---------------------------------------------------------------------------
// models and runs

struct captured {
    std::vector<std::string> lines;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    if (level >= TEVO_LOG_LEVEL_WARN) {
        static_cast<captured *>(user_data)->lines.push_back(text);
    }
}

kestu_model_recipe small_recipe(bool f16) {
    kestu_model_recipe sp;
    sp.n_audio_ctx   = 64;
    sp.n_audio_state = 64;
    sp.n_audio_head  = 4;
    sp.n_audio_layer = 2;
    sp.n_text_ctx    = 32;
    sp.n_text_state  = 64;
    sp.n_text_head   = 4;
    sp.n_text_layer  = 2;
    sp.ftype         = f16 ? 1 : 0;
    sp.seed          = 42;
    return sp;
}

Weights weights_of(const kestu_model_recipe & sp) {
    Weights W;
    W.f16 = sp.ftype % 1000 != 0;
    for (kestu_writer_tensor & t : kestu_writer_tensors(sp)) {
        W.by_name[t.name] = std::move(t.values);
    }
    return W;
}

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
using ctx_ptr = std::unique_ptr<kestu_context, ctx_deleter>;

ctx_ptr load(const std::vector<uint8_t> & image, bool flash_attn) {
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = flash_attn;
    return ctx_ptr(kestu_init_from_buffer_with_params((void *) image.data(), image.size(), params));
}

ctx_ptr load(const kestu_model_recipe & sp, bool flash_attn) {
    std::vector<uint8_t> image  = kestu_write_model(sp);
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = flash_attn;
    return ctx_ptr(kestu_init_from_buffer_with_params(image.data(), image.size(), params));
}

// a random spectrogram of n_frames frames
std::vector<float> random_mel(int n_mel, int n_frames, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float>                    mel((size_t) n_mel * n_frames);
    for (float & v : mel) {
        v = dist(rng);
    }
    return mel;
}

void set_mel(kestu_state & state, const std::vector<float> & mel, int n_mel, int n_frames) {
    state.mel.n_len     = n_frames;
    state.mel.n_len_org = n_frames;
    state.mel.n_mel     = n_mel;
    state.mel.data      = mel;
}

// the window [0, 2 n_ctx) of a band-major spectrogram of n_frames frames
std::vector<float> window(const std::vector<float> & mel, int n_mel, int n_frames, int n_ctx) {
    std::vector<float> w((size_t) n_mel * 2 * n_ctx, 0.0f);
    for (int j = 0; j < n_mel; ++j) {
        for (int i = 0; i < std::min(n_frames, 2 * n_ctx); ++i) {
            w[(size_t) j * 2 * n_ctx + i] = mel[(size_t) j * n_frames + i];
        }
    }
    return w;
}

std::vector<float> encoder_output(kestu_state & state) {
    std::vector<float> out((size_t) tevo_nelements(state.embd_enc));
    tevo_backend_tensor_get(state.embd_enc, out.data(), 0, out.size() * sizeof(float));
    return out;
}

std::vector<float> last_logits(kestu_context & ctx, kestu_state & state, int n_tokens) {
    const int n_vocab = ctx.model.hparams.n_vocab;
    return std::vector<float>(state.logits.begin() + (size_t) (n_tokens - 1) * n_vocab,
                              state.logits.begin() + (size_t) n_tokens * n_vocab);
}

struct Error {
    double max_err = 0;
    double rms_err = 0;
    double rms_ref = 0;
};

template <typename Ref> Error compare(const std::vector<float> & got, const Ref & ref, size_t ref_offset = 0) {
    Error e;
    for (size_t i = 0; i < got.size(); ++i) {
        const double d = std::fabs((double) got[i] - (double) ref[ref_offset + i]);
        e.max_err      = std::isnan(d) ? INFINITY : std::max(e.max_err, d);
        e.rms_err += d * d;
        e.rms_ref += (double) ref[ref_offset + i] * (double) ref[ref_offset + i];
    }
    e.rms_err = std::sqrt(e.rms_err / (double) got.size());
    e.rms_ref = std::sqrt(e.rms_ref / (double) got.size());
    return e;
}

// ---------------------------------------------------------------------------
// the reference runs

struct RunCase {
    bool f16;
    bool flash;
    int  n_threads;
};

std::string case_name(const RunCase & c) {
    return std::string(c.f16 ? "F16" : "F32") + (c.flash ? " fused" : " softmax") + " threads " +
           std::to_string(c.n_threads);
}

// Tolerances, about twice the largest error seen. What is left besides the
// rounding the reference copies: float sums in another order (the fused
// path's online softmax rescales its sums as it goes). A 10 % error
// in one attention scale moves the logits' rms error to 3e-3 and the
// encoder's to 3e-2; a missing bias, a swapped head or a position off by
// one move them by 1e-2 to 1.
struct Tolerance {
    double enc_max, enc_rms, logit_max, logit_rms;
};

Tolerance tolerance(bool flash) {
    return flash ? Tolerance{ 8e-3, 2e-3, 8e-3, 1.8e-3 } : Tolerance{ 3e-3, 8e-4, 5e-3, 1.1e-3 };
}

TEST(EncoderDecoder, EveryWeightTypePathAndThreadCountMatchesTheReference) {
    std::vector<RunCase> cases;
    for (bool f16 : { false, true }) {
        for (bool flash : { false, true }) {
            for (int nt : { 1, 3, 8 }) {
                cases.push_back({ f16, flash, nt });
            }
        }
    }

    std::map<bool, Weights>              weights;
    std::map<bool, Mat>                  enc_ref;
    std::map<bool, std::vector<uint8_t>> images;

    const int                      n_mel    = 80;
    const int                      n_ctx    = 64;
    const int                      n_frames = 2 * n_ctx - 10; // zero-padded at the end
    const std::vector<float>       mel      = random_mel(n_mel, n_frames, 7);
    const std::vector<kestu_token> tokens   = { 50257, 50362, 1000, 123, 51000 };

    for (const RunCase & c : cases) {
        SCOPED_TRACE(case_name(c));
        const kestu_model_recipe sp = small_recipe(c.f16);
        if (!weights.count(c.f16)) {
            weights[c.f16] = weights_of(sp);
            images[c.f16]  = kestu_write_model(sp);
            enc_ref[c.f16] = reference_encoder(weights[c.f16], sp, window(mel, n_mel, n_frames, n_ctx), n_ctx);
        }
        const Weights &   W   = weights[c.f16];
        const Tolerance   tol = tolerance(c.flash);

        ctx_ptr ctx = load(images[c.f16], c.flash);
        ASSERT_NE(ctx, nullptr);
        kestu_state & state = *ctx->state;
        set_mel(state, mel, n_mel, n_frames);

        ASSERT_EQ(kestu_encode(ctx.get(), 0, c.n_threads), 0);
        const std::vector<float> enc = encoder_output(state);
        ASSERT_EQ(enc.size(), (size_t) n_ctx * sp.n_audio_state);
        const Error ee = compare(enc, enc_ref[c.f16]);
        printf("%s: encoder max error %.3g, rms error %.3g, rms %.3g\n", case_name(c).c_str(), ee.max_err,
               ee.rms_err, ee.rms_ref);
        EXPECT_GT(ee.rms_ref, 0.5);
        EXPECT_LT(ee.max_err, tol.enc_max);
        EXPECT_LT(ee.rms_err, tol.enc_rms);

        // the decoder's reference starts from the library's encoder output,
        // so that the two are checked apart
        const Mat logits_ref = reference_decoder(W, sp, enc, n_ctx, tokens);
        const int n_vocab    = sp.n_vocab;

        // a prompt of 3, then 2 more tokens on the cache
        ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 3, 0, c.n_threads), 0);
        Error le = compare(last_logits(*ctx, state, 3), logits_ref, (size_t) 2 * n_vocab);
        printf("%s: logits max error %.3g, rms error %.3g, rms %.3g\n", case_name(c).c_str(), le.max_err,
               le.rms_err, le.rms_ref);
        EXPECT_GT(le.rms_ref, 0.3);
        EXPECT_LT(le.max_err, tol.logit_max);
        EXPECT_LT(le.rms_err, tol.logit_rms);

        ASSERT_EQ(kestu_decode(ctx.get(), tokens.data() + 3, 2, 3, c.n_threads), 0);
        le = compare(last_logits(*ctx, state, 2), logits_ref, (size_t) 4 * n_vocab);
        EXPECT_LT(le.max_err, tol.logit_max);
        EXPECT_LT(le.rms_err, tol.logit_rms);

        // decoding again at position 3 replaces the tokens from there
        std::vector<kestu_token> other = { tokens[0], tokens[1], tokens[2], 777 };
        const Mat                other_ref = reference_decoder(W, sp, enc, n_ctx, other);
        ASSERT_EQ(kestu_decode(ctx.get(), &other[3], 1, 3, c.n_threads), 0);
        le = compare(last_logits(*ctx, state, 1), other_ref, (size_t) 3 * n_vocab);
        EXPECT_LT(le.max_err, tol.logit_max);
        EXPECT_LT(le.rms_err, tol.logit_rms);
    }
}

// Two sequences in one batch, sharing their prompt's cells: each sees the
// prompt and its own token only.
TEST(EncoderDecoder, TwoSequencesInOneBatchSeeOnlyTheirOwnCells) {
    for (bool flash : { false, true }) {
        SCOPED_TRACE(flash ? "fused" : "softmax");
        const kestu_model_recipe sp = small_recipe(false);
        const Weights          W  = weights_of(sp);
        ctx_ptr                ctx = load(sp, flash);
        ASSERT_NE(ctx, nullptr);
        kestu_state & state = *ctx->state;
        const int     n_ctx = sp.n_audio_ctx;
        set_mel(state, random_mel(80, 2 * n_ctx, 3), 80, 2 * n_ctx);
        ASSERT_EQ(kestu_encode(ctx.get(), 0, 2), 0);
        const std::vector<float> enc = encoder_output(state);

        const std::vector<kestu_token> prompt = { 50257, 400, 500 };
        ASSERT_EQ(kestu_decode(ctx.get(), prompt.data(), 3, 0, 2), 0);
        kestu_kv_cache_seq_cp(state.kv_self, 0, 1, 0, 3);

        kestu_batch & batch = state.batch;
        batch.n_tokens      = 2;
        const kestu_token next[2] = { 600, 700 };
        for (int i = 0; i < 2; i++) {
            batch.token[i]     = next[i];
            batch.pos[i]       = 3;
            batch.n_seq_id[i]  = 1;
            batch.seq_id[i][0] = i;
            batch.logits[i]    = 1;
        }
        ASSERT_TRUE(kestu_run_decoder(*ctx, state, batch, 2, false, nullptr, nullptr));

        for (int i = 0; i < 2; i++) {
            std::vector<kestu_token> seq = prompt;
            seq.push_back(next[i]);
            const Mat          ref = reference_decoder(W, sp, enc, n_ctx, seq);
            const std::vector<float> got(state.logits.begin() + (size_t) i * sp.n_vocab,
                                         state.logits.begin() + (size_t) (i + 1) * sp.n_vocab);
            const Error e = compare(got, ref, (size_t) 3 * sp.n_vocab);
            EXPECT_LT(e.max_err, tolerance(flash).logit_max) << "sequence " << i;
        }
    }
}

// The cross-attention weights of the alignment heads, collected for the
// time warping: [n_tokens, n_audio, heads], heads in layer order, each
// layer's in list order.
TEST(EncoderDecoder, AlignmentHeadWeightsAreTheCrossAttentionOfThoseHeads) {
    static const kestu_alignment_head heads[] = { { 1, 2 }, { 0, 3 }, { 1, 0 } };

    const kestu_model_recipe sp = small_recipe(false);
    const Weights          W  = weights_of(sp);
    std::vector<uint8_t>   image = kestu_write_model(sp);
    kestu_context_params   params = kestu_context_default_params();
    params.flash_attn             = false;
    params.dtw_token_timestamps   = true;
    params.dtw_aheads_preset      = KESTU_AHEADS_CUSTOM;
    params.dtw_aheads             = { 3, heads };
    ctx_ptr ctx(kestu_init_from_buffer_with_params(image.data(), image.size(), params));
    ASSERT_NE(ctx, nullptr);
    kestu_state & state = *ctx->state;

    const int n_ctx = sp.n_audio_ctx;
    set_mel(state, random_mel(80, 2 * n_ctx, 9), 80, 2 * n_ctx);
    ASSERT_EQ(kestu_encode(ctx.get(), 0, 2), 0);
    const std::vector<float> enc = encoder_output(state);

    const std::vector<kestu_token> tokens = { 50257, 50362, 77 };
    kestu_batch_fill(state.batch, tokens.data(), 3, 0, 0);
    ASSERT_TRUE(kestu_run_decoder(*ctx, state, state.batch, 2, true, nullptr, nullptr));
    tevo_tensor * qks = state.aheads_cross_QKs;
    ASSERT_NE(qks, nullptr);
    ASSERT_EQ(qks->ne[0], 3);
    ASSERT_EQ(qks->ne[1], n_ctx);
    ASSERT_EQ(qks->ne[2], 3);
    std::vector<float> got((size_t) tevo_nelements(qks));
    tevo_backend_tensor_get(qks, got.data(), 0, tevo_nbytes(qks));

    std::vector<Mat> probs;
    reference_decoder(W, sp, enc, n_ctx, tokens, &probs);
    const int order[3][2] = { { 0, 3 }, { 1, 2 }, { 1, 0 } }; // (layer, head)
    double    max_err = 0;
    for (int j = 0; j < 3; ++j) {
        const Mat & p = probs[(size_t) order[j][0]];
        for (int a = 0; a < n_ctx; ++a) {
            for (int t = 0; t < 3; ++t) {
                const double ref = p[(size_t) ((order[j][1] * 3 + t) * n_ctx + a)];
                max_err = std::max(max_err, std::fabs(ref - got[(size_t) (t + 3 * (a + n_ctx * j))]));
            }
        }
    }
    printf("alignment weights: max error %.3g\n", max_err);
    // weights of about 1/64 each
    EXPECT_LT(max_err, 5e-5);
}

// Cells past the window hold whatever an earlier, longer window left, here
// made large on purpose: neither path may read them.
TEST(EncoderDecoder, StaleCellsPastTheWindowNeverContribute) {
    const kestu_model_recipe         sp     = small_recipe(false);
    const int                      n_ctx  = sp.n_audio_ctx; // 64 of 256 padded cells
    const std::vector<float>       mel    = random_mel(80, 2 * n_ctx, 11);
    const std::vector<kestu_token> tokens = { 50257, 50362, 42 };

    auto run = [&](bool flash, bool dirty) {
        ctx_ptr ctx = load(sp, flash);
        EXPECT_NE(ctx, nullptr);
        kestu_state & state = *ctx->state;
        if (dirty) {
            for (kestu_kv_cache * cache : { &state.kv_pad, &state.kv_cross }) {
                for (tevo_tensor * t : { cache->k, cache->v }) {
                    std::vector<tevo_fp16_t> big((size_t) tevo_nelements(t), tevo_fp32_to_fp16(50.0f));
                    tevo_backend_tensor_set(t, big.data(), 0, tevo_nbytes(t));
                }
            }
        }
        set_mel(state, mel, 80, 2 * n_ctx);
        EXPECT_EQ(kestu_encode(ctx.get(), 0, 4), 0);
        EXPECT_EQ(kestu_decode(ctx.get(), tokens.data(), 3, 0, 4), 0);
        return std::make_pair(encoder_output(state), last_logits(*ctx, state, 3));
    };

    const auto soft        = run(false, false);
    const auto flash_clean = run(true, false);
    const auto flash_dirty = run(true, true);

    EXPECT_EQ(flash_clean.first, flash_dirty.first);
    EXPECT_EQ(flash_clean.second, flash_dirty.second);
    EXPECT_LT(compare(flash_clean.first, soft.first).max_err, tolerance(true).enc_max);
    EXPECT_LT(compare(flash_clean.second, soft.second).max_err, tolerance(true).logit_max);
}

// A fitted (smaller) audio context after a full one gives what a fresh state
// gives, and what the reference gives for that context.
TEST(EncoderDecoder, FittedWindowAfterALongerOneEqualsAFreshState) {
    const kestu_model_recipe         sp     = small_recipe(false);
    const Weights                  W      = weights_of(sp);
    const int                      n_fit  = 40;
    const std::vector<float>       mel    = random_mel(80, 2 * sp.n_audio_ctx, 5);
    const std::vector<kestu_token> tokens = { 50257, 50362, 9 };

    for (bool flash : { false, true }) {
        SCOPED_TRACE(flash ? "fused" : "softmax");
        ctx_ptr ctx = load(sp, flash);
        ASSERT_NE(ctx, nullptr);
        kestu_state & used = *ctx->state;
        set_mel(used, mel, 80, 2 * sp.n_audio_ctx);
        ASSERT_EQ(kestu_encode(ctx.get(), 0, 2), 0);
        ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 3, 0, 2), 0);

        used.exp_n_audio_ctx = n_fit;
        ASSERT_EQ(kestu_encode(ctx.get(), 0, 2), 0);
        ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 3, 0, 2), 0);
        const std::vector<float> enc_used    = encoder_output(used);
        const std::vector<float> logits_used = last_logits(*ctx, used, 3);

        kestu_state * fresh = kestu_init_state(ctx.get());
        ASSERT_NE(fresh, nullptr);
        set_mel(*fresh, mel, 80, 2 * sp.n_audio_ctx);
        fresh->exp_n_audio_ctx = n_fit;
        ASSERT_EQ(kestu_encode_with_state(ctx.get(), fresh, 0, 2), 0);
        ASSERT_EQ(kestu_decode_with_state(ctx.get(), fresh, tokens.data(), 3, 0, 2), 0);
        EXPECT_EQ(enc_used, encoder_output(*fresh));
        EXPECT_EQ(logits_used, last_logits(*ctx, *fresh, 3));
        kestu_free_state(fresh);

        ASSERT_EQ(enc_used.size(), (size_t) n_fit * sp.n_audio_state);
        const Mat enc_ref = reference_encoder(W, sp, window(mel, 80, 2 * sp.n_audio_ctx, n_fit), n_fit);
        const Error ee = compare(enc_used, enc_ref);
        printf("fitted: encoder max error %.3g, rms error %.3g\n", ee.max_err, ee.rms_err);
        EXPECT_LT(ee.max_err, tolerance(flash).enc_max);
        EXPECT_LT(ee.rms_err, tolerance(flash).enc_rms);
        const Mat logits_ref = reference_decoder(W, sp, enc_used, n_fit, tokens);
        EXPECT_LT(compare(logits_used, logits_ref, (size_t) 2 * sp.n_vocab).max_err, tolerance(flash).logit_max);
    }
}

// A window that starts past the spectrogram's end is all zeros: the same
// output as an empty spectrogram.
TEST(EncoderDecoder, WindowPastTheEndIsSilence) {
    const kestu_model_recipe sp  = small_recipe(false);
    ctx_ptr                ctx = load(sp, false);
    ASSERT_NE(ctx, nullptr);
    kestu_state & state = *ctx->state;

    set_mel(state, random_mel(80, 100, 1), 80, 100);
    ASSERT_EQ(kestu_encode(ctx.get(), 100, 1), 0);
    const std::vector<float> past = encoder_output(state);

    const Weights W   = weights_of(sp);
    const Mat     ref = reference_encoder(W, sp, std::vector<float>((size_t) 80 * 2 * sp.n_audio_ctx, 0.0f),
                                          sp.n_audio_ctx);
    EXPECT_LT(compare(past, ref).max_err, tolerance(false).enc_max);
}

// One token is a decode run; 2 to 15 tokens count in the batched count, 16
// or more in the prompt count, token by token.
TEST(EncoderDecoder, RunsAreCountedByKind) {
    ctx_ptr ctx = load(small_recipe(false), false);
    ASSERT_NE(ctx, nullptr);
    kestu_state & state = *ctx->state;
    set_mel(state, random_mel(80, 128, 1), 80, 128);

    ASSERT_EQ(kestu_encode(ctx.get(), 0, 1), 0);
    EXPECT_EQ(state.n_encode, 1);
    EXPECT_GT(state.t_encode_us, 0);

    std::vector<kestu_token> tokens(20, 50);
    ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 20, 0, 1), 0);
    ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 3, 20, 1), 0);
    ASSERT_EQ(kestu_decode(ctx.get(), tokens.data(), 1, 23, 1), 0);
    EXPECT_EQ(state.n_prompt, 20);
    EXPECT_EQ(state.n_batchd, 3);
    EXPECT_EQ(state.n_decode, 1);
}

// ---------------------------------------------------------------------------
// argument checks

class EncoderDecoderArgs : public ::testing::Test {
protected:
    captured log;
    ctx_ptr  ctx;

    void SetUp() override {
        ctx = load(small_recipe(false), false);
        ASSERT_NE(ctx, nullptr);
        set_mel(*ctx->state, random_mel(80, 128, 1), 80, 128);
        kestu_log_set(capture, &log);
    }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }
};

TEST_F(EncoderDecoderArgs, DecodeRefusesWhatWouldReadOutsideATable) {
    const kestu_token good[2] = { 50257, 10 };
    const kestu_token bad_hi[2] = { 50257, 51864 };
    const kestu_token bad_lo[2] = { -1, 10 };
    struct Case {
        const char *        what;
        const kestu_token * tokens;
        int                 n_tokens;
        int                 n_past;
    };
    const Case cases[] = {
        { "id above the vocabulary", bad_hi, 2, 0 },
        { "negative id", bad_lo, 2, 0 },
        { "no tokens", good, 0, 0 },
        { "negative count", good, -3, 0 },
        { "null tokens", nullptr, 2, 0 },
        { "negative past", good, 2, -1 },
        { "past the text context", good, 2, 31 }, // 31 + 2 > 32 positions, though 256 cells
        { "past overflowing", good, 2, 2147483647 },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.what);
        log.lines.clear();
        EXPECT_EQ(kestu_decode_with_state(ctx.get(), ctx->state, c.tokens, c.n_tokens, c.n_past, 1), 1);
        EXPECT_EQ(kestu_decode(ctx.get(), c.tokens, c.n_tokens, c.n_past, 1), 1);
        EXPECT_FALSE(log.lines.empty());
    }
    // the last position is still allowed
    EXPECT_EQ(kestu_decode(ctx.get(), good, 2, 30, 1), 0);
}

TEST_F(EncoderDecoderArgs, EncodeRefusesANegativeOffsetAndAnAudioContextOutOfRange) {
    EXPECT_EQ(kestu_encode(ctx.get(), -1, 1), -1);
    EXPECT_FALSE(log.lines.empty());

    for (int audio_ctx : { -1, 65 }) {
        log.lines.clear();
        ctx->state->exp_n_audio_ctx = audio_ctx;
        EXPECT_EQ(kestu_encode(ctx.get(), 0, 1), -1) << audio_ctx;
        const kestu_token t = 50257;
        EXPECT_EQ(kestu_decode(ctx.get(), &t, 1, 0, 1), 1) << audio_ctx;
        EXPECT_GE(log.lines.size(), 2u);
    }
    ctx->state->exp_n_audio_ctx = 64;
    EXPECT_EQ(kestu_encode(ctx.get(), 0, 1), 0);
    // past the end is a valid silent window
    EXPECT_EQ(kestu_encode(ctx.get(), 100000, 1), 0);
}

TEST_F(EncoderDecoderArgs, AContextWithoutStateRefusesTheRuns) {
    std::vector<uint8_t> image = kestu_write_model(small_recipe(false));
    kestu_context *      bare =
        kestu_init_from_buffer_with_params_no_state(image.data(), image.size(), kestu_context_default_params());
    ASSERT_NE(bare, nullptr);
    const kestu_token t = 50257;

    log.lines.clear();
    EXPECT_EQ(kestu_encode(bare, 0, 1), -1);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "kestu_encode: ERROR state was not loaded.\n");

    log.lines.clear();
    EXPECT_EQ(kestu_decode(bare, &t, 1, 0, 1), -1);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "kestu_decode: ERROR state was not loaded.\n");

    EXPECT_LT(kestu_lang_auto_detect(bare, 0, 1, nullptr), 0);
    kestu_free(bare);
}

// ---------------------------------------------------------------------------
// language detection

// With the final norm's weight 0 every token's state is the norm's bias b, so
// logit(v) = row v of the embedding . b: the test sets which token wins. An
// English-only vocabulary has 99 language tokens; the 100th language's
// token would be the translate token.
TEST(LanguageDetection, ScoresOnlyTheModelsLanguages) {
    kestu_model_recipe sp = small_recipe(false);
    const int        C  = sp.n_text_state;

    std::vector<kestu_writer_tensor> tensors = kestu_writer_tensors(sp);
    std::vector<float>               te;
    for (const kestu_writer_tensor & t : tensors) {
        if (t.name == "decoder.token_embedding.weight") {
            te = t.values;
        }
    }
    const int         sot = 50257;
    const std::string de  = "de";
    const int         id_de = kestu_languages.at(de).first;
    // b = 0.1 everywhere; translate (sot + 1 + 99) gets the largest logit,
    // German the second
    std::vector<float> bias((size_t) C, 0.1f);
    for (int c = 0; c < C; ++c) {
        te[(size_t) (sot + 1 + 99) * C + c] = 5.0f;
        te[(size_t) (sot + 1 + id_de) * C + c] = 3.0f;
    }
    sp.overrides["decoder.token_embedding.weight"] = te;
    sp.overrides["decoder.ln.weight"]              = std::vector<float>((size_t) C, 0.0f);
    sp.overrides["decoder.ln.bias"]                = bias;

    ctx_ptr ctx = load(sp, false);
    ASSERT_NE(ctx, nullptr);
    set_mel(*ctx->state, random_mel(80, 300, 2), 80, 300);

    std::vector<float> probs((size_t) kestu_lang_max_id() + 1, -1.0f);
    const int          id = kestu_lang_auto_detect(ctx.get(), 0, 2, probs.data());
    EXPECT_EQ(id, id_de);
    EXPECT_EQ(probs[99], 0.0f);
    double sum = 0;
    for (int i = 0; i < 99; ++i) {
        EXPECT_GE(probs[(size_t) i], 0.0f);
        EXPECT_LE(probs[(size_t) i], probs[(size_t) id_de]);
        sum += probs[(size_t) i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_EQ(ctx->state->lang_probs.size(), 99u);
    EXPECT_EQ(ctx->state->lang_probs.front().second, id_de);
}

TEST(LanguageDetection, OffsetsOutsideTheAudioAreRefused) {
    ctx_ptr ctx = load(small_recipe(false), false);
    ASSERT_NE(ctx, nullptr);
    set_mel(*ctx->state, random_mel(80, 300, 2), 80, 300);
    captured log;
    kestu_log_set(capture, &log);
    EXPECT_EQ(kestu_lang_auto_detect(ctx.get(), -10, 1, nullptr), -1);
    EXPECT_EQ(kestu_lang_auto_detect(ctx.get(), 3000, 1, nullptr), -2);
    kestu_log_set(nullptr, nullptr);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "kestu_lang_auto_detect_internal: offset -10ms is before the start of the audio\n");
    EXPECT_EQ(log.lines[1], "kestu_lang_auto_detect_internal: offset 3000ms is past the end of the audio (3000ms)\n");
    EXPECT_GE(kestu_lang_auto_detect(ctx.get(), -5, 1, nullptr), 0);
}

} // namespace
