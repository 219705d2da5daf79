// Voice-activity model: files of the writer load with exactly the written
// header and weights, every broken variant of a file is refused with a log
// line, and the network's probabilities and carried cell state match an
// independent double-precision computation of the same layers.

#include "vad/kestu-vad-impl.h"
#include "vad-writer.h"
#include "backend/impl.h"
#include "cpu/backend.h"
#include "tevo-cpu.h"
#include "process-threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

struct vad_deleter {
    void operator()(kestu_vad_context * ctx) const { kestu_vad_free(ctx); }
};
using vad_ptr = std::unique_ptr<kestu_vad_context, vad_deleter>;

// a loader over bytes in memory that reports what it copied
struct mem_source {
    const std::vector<uint8_t> * bytes;
    size_t                       offset = 0;
};

size_t mem_read(void * ctx, void * out, size_t n) {
    auto * m     = static_cast<mem_source *>(ctx);
    size_t count = std::min(n, m->bytes->size() - m->offset);
    std::memcpy(out, m->bytes->data() + m->offset, count);
    m->offset += count;
    return count;
}

bool mem_eof(void * ctx) {
    auto * m = static_cast<mem_source *>(ctx);
    return m->offset >= m->bytes->size();
}

kestu_vad_context * load_bytes(const std::vector<uint8_t> & bytes, int n_threads = 2) {
    mem_source         src{&bytes};
    kestu_model_loader loader = {&src, mem_read, mem_eof, nullptr};
    kestu_vad_context_params params = kestu_vad_default_context_params();
    params.n_threads                 = n_threads;
    return kestu_vad_init_with_params(&loader, params);
}

class VadModel : public ::testing::Test {
protected:
    std::vector<captured_line> lines;

    void SetUp() override { kestu_log_set(capture, &lines); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }

    bool logged(tevo_log_level level, const std::string & part) const {
        for (const captured_line & l : lines) {
            if (l.level == level && l.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string all_lines() const {
        std::string s;
        for (const captured_line & l : lines) {
            s += std::to_string(int(l.level)) + " " + l.text;
        }
        return s;
    }
};

std::vector<float> tensor_values(const tevo_tensor * t) {
    std::vector<uint8_t> raw(tevo_nbytes(t));
    tevo_backend_tensor_get(t, raw.data(), 0, raw.size());
    std::vector<float> out(size_t(tevo_nelements(t)));
    if (t->type == TEVO_TYPE_F32) {
        std::memcpy(out.data(), raw.data(), raw.size());
    } else {
        for (size_t i = 0; i < out.size(); ++i) {
            uint16_t h;
            std::memcpy(&h, raw.data() + 2 * i, 2);
            out[i] = kestu_writer_fp16_to_fp32(h);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// loading

TEST_F(VadModel, WrittenFileLoadsWithItsHeaderAndExactWeights) {
    kestu_vad_model_recipe recipe;
    recipe.seed         = 11;
    recipe.model_type   = "test-model";
    recipe.version[0]   = 5;
    recipe.version[1]   = 1;
    recipe.version[2]   = 2;
    recipe.n_window_aux = 77;
    recipe.kernel_size  = {3, 1, 4, 2};
    const std::vector<kestu_writer_tensor> tensors = kestu_vad_writer_tensors(recipe);
    const std::vector<uint8_t>             bytes   = kestu_write_vad_model(recipe, tensors);

    const std::string path = testing::TempDir() + "vad-model-" + std::to_string(getpid()) + ".bin";
    FILE *            f    = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);

    for (bool from_file : {true, false}) {
        SCOPED_TRACE(from_file ? "file" : "loader");
        vad_ptr vctx(from_file ? kestu_vad_init_from_file_with_params(path.c_str(), kestu_vad_default_context_params())
                               : load_bytes(bytes));
        ASSERT_NE(vctx, nullptr) << all_lines();
        EXPECT_EQ(vctx->model_type, "test-model");
        EXPECT_EQ(vctx->model_version, "5.1.2");
        EXPECT_EQ(vctx->n_window, 512);
        EXPECT_EQ(vctx->n_window_aux, 77);
        EXPECT_EQ(vctx->encoder_kernel_size, (std::vector<int32_t>{3, 1, 4, 2}));
        EXPECT_EQ(vctx->lstm_hidden_size, 128);
        EXPECT_EQ(vctx->n_loaded_tensors, 15);
        EXPECT_EQ(vctx->path, from_file ? path : std::string());
        EXPECT_EQ(vctx->params.n_threads, from_file ? 4 : 2);
        for (int id = 0; id < KESTU_VAD_N_WEIGHTS; id++) {
            const tevo_tensor * w = vctx->weights[id];
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(vctx->tensors_by_name.at(tensors[id].name), w);
            EXPECT_EQ(w->type, tensors[id].type == KESTU_WRITER_F16 ? TEVO_TYPE_F16 : TEVO_TYPE_F32);
            EXPECT_EQ(tensor_values(w), tensors[id].values) << tensors[id].name;
        }
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "compute buffer (VAD)")) << all_lines();
    }
    unlink(path.c_str());
}

TEST_F(VadModel, PathsThatCannotBeReadGiveNull) {
    EXPECT_EQ(kestu_vad_init_from_file_with_params(nullptr, kestu_vad_default_context_params()), nullptr);
    EXPECT_EQ(kestu_vad_init_from_file_with_params("/nonexistent/vad.bin", kestu_vad_default_context_params()),
              nullptr);
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, "failed to open VAD model '/nonexistent/vad.bin'"));
    EXPECT_EQ(kestu_vad_init_with_params(nullptr, kestu_vad_default_context_params()), nullptr);
    kestu_model_loader no_read = {nullptr, nullptr, mem_eof, nullptr};
    EXPECT_EQ(kestu_vad_init_with_params(&no_read, kestu_vad_default_context_params()), nullptr);
    kestu_vad_free(nullptr);
}

TEST_F(VadModel, DefaultsAreTheDocumentedOnes) {
    const kestu_vad_context_params cp = kestu_vad_default_context_params();
    EXPECT_EQ(cp.n_threads, 4);
    EXPECT_FALSE(cp.use_gpu);
    EXPECT_EQ(cp.gpu_device, 0);
    const kestu_vad_params p = kestu_vad_default_params();
    EXPECT_EQ(p.speech_threshold, 0.5f);
    EXPECT_EQ(p.shortest_speech_ms, 250);
    EXPECT_EQ(p.closing_silence_ms, 100);
    EXPECT_EQ(p.longest_speech_s, FLT_MAX);
    EXPECT_EQ(p.segment_pad_ms, 30);
    EXPECT_EQ(p.segment_overlap_s, 0.1f);
}

// One broken file per row: it must be refused with the line that names the fault.
TEST_F(VadModel, BrokenFilesAreRefusedWithALogLine) {
    using tensor_list = std::vector<kestu_writer_tensor>;
    struct broken {
        const char * name;
        std::function<void(kestu_vad_model_recipe &)> edit_recipe;
        std::function<void(tensor_list &)> edit_tensors;
        std::function<void(std::vector<uint8_t> &, const kestu_vad_writer_layout &)> edit_bytes;
        const char * expected;
    };
    auto no_recipe    = [](kestu_vad_model_recipe &) {};
    auto no_tensors = [](tensor_list &) {};
    auto no_bytes   = [](std::vector<uint8_t> &, const kestu_vad_writer_layout &) {};
    auto put        = [](size_t offset, int32_t v) {
        return [=](std::vector<uint8_t> & b, const kestu_vad_writer_layout &) { kestu_writer_put_i32(b, offset, v); };
    };
    auto cut = [](std::function<size_t(const kestu_vad_writer_layout &)> at) {
        return [=](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) { b.resize(at(l)); };
    };

    const std::vector<broken> cases = {
        {"bad magic", no_recipe, no_tensors, put(0, 0x12345678), "invalid model data (bad magic)"},
        {"empty file", no_recipe, no_tensors, cut([](const auto &) { return size_t(0); }), "bad magic"},
        {"three encoder layers",
         [](kestu_vad_model_recipe & s) {
             s.in_channels.pop_back();
             s.out_channels.pop_back();
             s.kernel_size.pop_back();
         },
         [](tensor_list & t) { t.clear(); }, no_bytes, "invalid n_encoder_layers 3 in VAD model file (expected 4)"},
        {"negative model type length", no_recipe, no_tensors,
         [](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) { kestu_writer_put_i32(b, l.model_type, -5); },
         "invalid model type length -5"},
        {"model type longer than the file", no_recipe, no_tensors,
         [](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) {
             kestu_writer_put_i32(b, l.model_type, 4000);
             b.resize(l.model_type + 100);
         },
         "unexpected end of VAD model file in the model type"},
        {"cut in the version", no_recipe, no_tensors, cut([](const auto & l) { return l.version + 6; }),
         "unexpected end of VAD model file in the model version"},
        {"cut in the layer sizes", no_recipe, no_tensors, cut([](const auto & l) { return l.layers + 20; }),
         "unexpected end of VAD model file in the encoder layer sizes"},
        {"cut before the last scalar", no_recipe, no_tensors, cut([](const auto & l) { return l.lstm_input + 12; }),
         "unexpected end of VAD model file in the header"},
        {"window of 0", [](kestu_vad_model_recipe & s) { s.n_window = 0; }, no_tensors, no_bytes,
         "invalid n_window 0"},
        {"window shorter than the reflection", [](kestu_vad_model_recipe & s) { s.n_window = 64; }, no_tensors,
         no_bytes, "invalid n_window 64"},
        {"hop of 0", [](kestu_vad_model_recipe & s) { s.lstm_input_size = 0; }, no_tensors, no_bytes,
         "invalid lstm_input_size 0"},
        {"too few transform frames", [](kestu_vad_model_recipe & s) { s.n_window = 480; }, no_tensors, no_bytes,
         "gives 3 transform frames"},
        {"wrong input channels", [](kestu_vad_model_recipe & s) { s.in_channels[1] = 100; }, no_tensors, no_bytes,
         "invalid encoder_in_channels[1] 100"},
        {"wrong output channels", [](kestu_vad_model_recipe & s) { s.out_channels[2] = 32; }, no_tensors, no_bytes,
         "invalid encoder_out_channels[2] 32"},
        {"kernel of 0", [](kestu_vad_model_recipe & s) { s.kernel_size[0] = 0; }, no_tensors, no_bytes,
         "invalid encoder_kernel_size[0] 0"},
        {"kernel wider than its input", [](kestu_vad_model_recipe & s) { s.kernel_size[2] = 5; }, no_tensors,
         no_bytes, "invalid encoder_kernel_size[2] 5 in VAD model file (expected 1 to 4)"},
        {"hidden size 64", [](kestu_vad_model_recipe & s) { s.lstm_hidden_size = 64; s.final_conv_in = 64; },
         no_tensors, no_bytes, "invalid lstm_hidden_size 64"},
        {"final kernel of 64", [](kestu_vad_model_recipe & s) { s.final_conv_in = 64; }, no_tensors, no_bytes,
         "invalid final_conv_in 64"},
        {"no tensor records", no_recipe, [](tensor_list & t) { t.clear(); }, no_bytes,
         "not all tensors loaded from model file - expected 15, got 0"},
        {"one record missing", no_recipe, [](tensor_list & t) { t.erase(t.begin() + 10); }, no_bytes,
         "tensor '_model.decoder.rnn.weight_hh' is missing"},
        {"one record twice, another missing", no_recipe,
         [](tensor_list & t) { t[12] = t[11]; }, no_bytes,
         "tensor '_model.decoder.rnn.bias_ih' appears more than once"},
        {"sixteen records", no_recipe, [](tensor_list & t) { t.push_back(t[3]); }, no_bytes, "appears more than once"},
        {"unknown name", no_recipe, [](tensor_list & t) { t[4].name = "_model.encoder.9.bias"; }, no_bytes,
         "unknown tensor '_model.encoder.9.bias'"},
        {"F32 data for an F16 weight", no_recipe, [](tensor_list & t) { t[1].type = KESTU_WRITER_F32; }, no_bytes,
         "tensor '_model.encoder.0.reparam_conv.weight' has wrong type in model file: got f32, expected f16"},
        {"F16 data for an F32 weight", no_recipe,
         [](tensor_list & t) {
             t[9].type = KESTU_WRITER_F16;
         },
         no_bytes, "has wrong type in model file: got f16, expected f32"},
        {"extents swapped", no_recipe, [](tensor_list & t) { std::swap(t[9].ne[0], t[9].ne[1]); }, no_bytes,
         "tensor '_model.decoder.rnn.weight_ih' has wrong shape in model file: got [512, 128, 1], expected "
         "[128, 512, 1]"},
        {"extent moved to the fourth dimension", no_recipe,
         [](tensor_list & t) { t[0].ne = {256, 1, 1, 258}; },
         no_bytes, "'_model.stft.forward_basis_buffer' has wrong shape"},
        {"wrong element count", no_recipe,
         [](tensor_list & t) {
             t[2].ne = {127};
             t[2].values.pop_back();
         },
         no_bytes, "tensor '_model.encoder.0.reparam_conv.bias' has wrong size in model file"},
        {"negative extent", no_recipe, [](tensor_list & t) { t[2].ne = {-128}; t[2].values.clear(); }, no_bytes,
         "has wrong size"},
        {"negative name length", no_recipe, no_tensors,
         [](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) {
             kestu_writer_put_i32(b, l.records[3].begin + 4, -7);
         },
         "invalid tensor name length -7"},
        {"five dimensions", no_recipe, no_tensors,
         [](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) { kestu_writer_put_i32(b, l.records[5].begin, 5); },
         "invalid n_dims 5"},
        {"element type 99", no_recipe, no_tensors,
         [](std::vector<uint8_t> & b, const kestu_vad_writer_layout & l) {
             kestu_writer_put_i32(b, l.records[5].begin + 8, 99);
         },
         "invalid ttype 99 in model file (expected 0 <= ttype < 43)"},
        {"cut in a record header", no_recipe, no_tensors,
         cut([](const auto & l) { return l.records[7].begin + 6; }),
         "unexpected end of VAD model file in a tensor record header"},
        {"cut in a name", no_recipe, no_tensors, cut([](const auto & l) { return l.records[7].data_begin - 3; }),
         "unexpected end of VAD model file in a tensor name"},
        {"cut in the last weight's data", no_recipe, no_tensors, cut([](const auto & l) { return l.size - 1; }),
         "in the data of tensor '_model.decoder.decoder.2.bias'"},
        {"cut in a middle weight's data", no_recipe, no_tensors,
         cut([](const auto & l) { return l.records[9].data_begin + 100; }),
         "in the data of tensor '_model.decoder.rnn.weight_ih'"},
    };

    for (const broken & c : cases) {
        SCOPED_TRACE(c.name);
        lines.clear();
        kestu_vad_model_recipe recipe;
        c.edit_recipe(recipe);
        tensor_list tensors;
        if (recipe.in_channels.size() >= 4) {
            tensors = kestu_vad_writer_tensors(recipe);
        }
        c.edit_tensors(tensors);
        kestu_vad_writer_layout layout;
        std::vector<uint8_t>    bytes = kestu_write_vad_model(recipe, tensors, &layout);
        c.edit_bytes(bytes, layout);

        vad_ptr vctx(load_bytes(bytes));
        EXPECT_EQ(vctx, nullptr);
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, c.expected)) << all_lines();
    }
}

// ---------------------------------------------------------------------------
// the network against a double-precision computation of the same layers

double half(double x) {
    return kestu_writer_fp16_to_fp32(kestu_writer_fp32_to_fp16(float(x)));
}

double sigmoid(double x) {
    return 1.0 / (1.0 + std::exp(-x));
}

// The model's layers over one stream. Convolution inputs are rounded to half
// precision, as the network's convolutions take them.
struct reference_vad {
    const kestu_vad_model_recipe &             recipe;
    const std::vector<kestu_writer_tensor> & w;
    std::vector<double>                      h, c;

    reference_vad(const kestu_vad_model_recipe & s, const std::vector<kestu_writer_tensor> & t)
        : recipe(s), w(t), h(128, 0.0), c(128, 0.0) {}

    // x [ic][len] -> relu(conv + b) [oc][len'], padding 1
    std::vector<std::vector<double>> conv(const std::vector<std::vector<double>> & x, int layer, int stride) {
        const std::vector<float> & k  = w[1 + 2 * layer].values;
        const std::vector<float> & b  = w[2 + 2 * layer].values;
        const int                  K  = recipe.kernel_size[layer];
        const int                  IC = recipe.in_channels[layer];
        const int                  OC = recipe.out_channels[layer];
        const int                  L  = int(x[0].size());
        const int                  OL = (L + 2 - K) / stride + 1;
        std::vector<std::vector<double>> y(OC, std::vector<double>(OL));
        for (int o = 0; o < OC; o++) {
            for (int j = 0; j < OL; j++) {
                double acc = b[o];
                for (int i = 0; i < IC; i++) {
                    for (int t = 0; t < K; t++) {
                        const int p = j * stride + t - 1;
                        if (p >= 0 && p < L) {
                            acc += double(k[(size_t(o) * IC + i) * K + t]) * half(x[i][p]);
                        }
                    }
                }
                y[o][j] = std::max(acc, 0.0);
            }
        }
        return y;
    }

    double window(const float * frame) {
        const int n   = recipe.n_window;
        const int hop = recipe.lstm_input_size;
        // reflection by 64 on both sides
        std::vector<double> padded(n + 128);
        for (int p = 0; p < n + 128; p++) {
            int idx = p - 64;
            idx     = idx < 0 ? -idx : (idx >= n ? 2 * (n - 1) - idx : idx);
            padded[p] = half(frame[idx]);
        }
        const std::vector<float> & basis = w[0].values;
        std::vector<std::vector<double>> mag(129, std::vector<double>(4));
        for (int f = 0; f < 4; f++) {
            for (int ch = 0; ch < 129; ch++) {
                double re = 0.0, im = 0.0;
                for (int t = 0; t < 256; t++) {
                    re += double(basis[size_t(ch) * 256 + t]) * padded[f * hop + t];
                    im += double(basis[size_t(129 + ch) * 256 + t]) * padded[f * hop + t];
                }
                mag[ch][f] = std::sqrt(re * re + im * im);
            }
        }
        auto x = conv(conv(conv(conv(mag, 0, 1), 1, 2), 2, 2), 3, 1);

        const int                  H    = 128;
        const std::vector<float> & w_ih = w[9].values;
        const std::vector<float> & w_hh = w[10].values;
        const std::vector<float> & b_ih = w[11].values;
        const std::vector<float> & b_hh = w[12].values;
        std::vector<double>        gates(4 * H);
        for (int r = 0; r < 4 * H; r++) {
            double acc = double(b_ih[r]) + double(b_hh[r]);
            for (int j = 0; j < H; j++) {
                acc += double(w_ih[size_t(r) * H + j]) * x[j][0] + double(w_hh[size_t(r) * H + j]) * h[j];
            }
            gates[r] = acc;
        }
        double out = w[14].values[0];
        for (int j = 0; j < H; j++) {
            const double ig = sigmoid(gates[j]);
            const double fg = sigmoid(gates[H + j]);
            const double gg = std::tanh(gates[2 * H + j]);
            const double og = sigmoid(gates[3 * H + j]);
            c[j]            = fg * c[j] + ig * gg;
            h[j]            = og * std::tanh(c[j]);
            out += double(w[13].values[j]) * half(std::max(h[j], 0.0));
        }
        return sigmoid(out);
    }

    std::vector<double> stream(const std::vector<float> & samples) {
        const int           n = recipe.n_window;
        std::vector<double> probs;
        std::vector<float>  frame(n);
        for (size_t start = 0; start < samples.size(); start += n) {
            const size_t len = std::min<size_t>(n, samples.size() - start);
            std::fill(frame.begin(), frame.end(), 0.0f);
            std::copy(samples.begin() + start, samples.begin() + start + len, frame.begin());
            probs.push_back(window(frame.data()));
        }
        return probs;
    }
};

// noise whose level changes every window, so windows differ in energy
std::vector<float> varying_noise(size_t n, uint32_t seed) {
    std::mt19937                     rng(seed);
    std::normal_distribution<float>  dist(0.0f, 1.0f);
    std::uniform_real_distribution<float> level(0.0f, 0.6f);
    std::vector<float>               x(n);
    float                            a = level(rng);
    for (size_t i = 0; i < n; i++) {
        if (i % 512 == 0) {
            a = level(rng);
        }
        x[i] = a * dist(rng);
    }
    return x;
}

std::vector<float> state_values(const tevo_tensor * t) {
    std::vector<float> v(size_t(tevo_nelements(t)));
    tevo_backend_tensor_get(t, v.data(), 0, v.size() * sizeof(float));
    return v;
}

TEST_F(VadModel, ProbabilitiesAndCellStateMatchADoublePrecisionComputation) {
    struct model_case {
        uint64_t             seed;
        std::vector<int32_t> kernels;
        int32_t              n_window;
        int32_t              hop;
        int                  n_threads;
    };
    const model_case cases[] = {
        {3, {3, 3, 3, 3}, 512, 128, 1},
        {4, {3, 3, 3, 3}, 512, 128, 4},
        {5, {5, 2, 1, 3}, 512, 128, 3},  // other kernel widths
        {6, {3, 3, 3, 3}, 640, 96, 2},   // more transform frames than the four read
    };
    for (const model_case & mc : cases) {
        SCOPED_TRACE("seed " + std::to_string(mc.seed) + ", threads " + std::to_string(mc.n_threads));
        kestu_vad_model_recipe recipe;
        recipe.seed            = mc.seed;
        recipe.kernel_size     = mc.kernels;
        recipe.n_window        = mc.n_window;
        recipe.lstm_input_size = mc.hop;
        const auto tensors   = kestu_vad_writer_tensors(recipe);
        vad_ptr    vctx(load_bytes(kestu_write_vad_model(recipe, tensors), mc.n_threads));
        ASSERT_NE(vctx, nullptr) << all_lines();

        // five whole windows and a partial one that is zero-filled
        const std::vector<float> audio = varying_noise(5 * mc.n_window + 100, uint32_t(mc.seed));
        reference_vad            ref(recipe, tensors);
        const std::vector<double> expected = ref.stream(audio);

        ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), int(audio.size())));
        ASSERT_EQ(kestu_vad_n_probs(vctx.get()), 6);
        const float * probs = kestu_vad_probs(vctx.get());
        double        lo = 1.0, hi = 0.0;
        for (int k = 0; k < 6; k++) {
            EXPECT_NEAR(probs[k], expected[k], 2e-5) << "window " << k;
            lo = std::min(lo, expected[k]);
            hi = std::max(hi, expected[k]);
        }
        // probabilities that say something: not pinned to 0 or 1
        EXPECT_GT(hi - lo, 0.02);
        EXPECT_GT(lo, 0.01);
        EXPECT_LT(hi, 0.99);

        // the cell state after the last window, read from the device
        const std::vector<float> h = state_values(vctx->h_state);
        const std::vector<float> c = state_values(vctx->c_state);
        for (int j = 0; j < 128; j++) {
            EXPECT_NEAR(h[j], ref.h[j], 5e-5) << "h " << j;
            EXPECT_NEAR(c[j], ref.c[j], 1e-4) << "c " << j;
        }
    }
}

TEST_F(VadModel, StateCarriesAcrossCallsUntilReset) {
    kestu_vad_model_recipe recipe;
    recipe.seed          = 9;
    const auto tensors = kestu_vad_writer_tensors(recipe);
    vad_ptr    vctx(load_bytes(kestu_write_vad_model(recipe, tensors)));
    ASSERT_NE(vctx, nullptr);

    const std::vector<float> audio = varying_noise(8 * 512, 21);
    ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), int(audio.size())));
    const std::vector<float> whole(kestu_vad_probs(vctx.get()), kestu_vad_probs(vctx.get()) + 8);

    // two halves without a reset continue the stream
    ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), 3 * 512));
    std::vector<float> halves(kestu_vad_probs(vctx.get()), kestu_vad_probs(vctx.get()) + 3);
    ASSERT_TRUE(kestu_vad_detect_speech_no_reset(vctx.get(), audio.data() + 3 * 512, 5 * 512));
    halves.insert(halves.end(), kestu_vad_probs(vctx.get()), kestu_vad_probs(vctx.get()) + 5);
    EXPECT_EQ(halves, whole);

    // the second half alone starts from a zero state
    ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data() + 3 * 512, 5 * 512));
    reference_vad             ref(recipe, tensors);
    const std::vector<double> fresh =
        ref.stream(std::vector<float>(audio.begin() + 3 * 512, audio.end()));
    for (int k = 0; k < 5; k++) {
        EXPECT_NEAR(kestu_vad_probs(vctx.get())[k], fresh[k], 2e-5);
    }
    EXPECT_GT(std::fabs(fresh[0] - whole[3]), 1e-3); // the carried state mattered

    // a fresh context starts from zero even without a reset
    vad_ptr other(load_bytes(kestu_write_vad_model(recipe, tensors)));
    ASSERT_TRUE(kestu_vad_detect_speech_no_reset(other.get(), audio.data(), 3 * 512));
    EXPECT_EQ(std::vector<float>(kestu_vad_probs(other.get()), kestu_vad_probs(other.get()) + 3),
              std::vector<float>(whole.begin(), whole.begin() + 3));
}

TEST_F(VadModel, WindowCountAndBadArguments) {
    vad_ptr vctx(load_bytes(kestu_write_vad_model(kestu_vad_model_recipe{})));
    ASSERT_NE(vctx, nullptr);

    const std::vector<float> audio = varying_noise(2 * 512, 5);
    struct count_case {
        int n_samples;
        int n_probs;
    };
    for (const count_case & c : {count_case{0, 0}, count_case{1, 1}, count_case{512, 1}, count_case{513, 2},
                                 count_case{1024, 2}}) {
        ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), c.n_samples)) << c.n_samples;
        EXPECT_EQ(kestu_vad_n_probs(vctx.get()), c.n_probs) << c.n_samples;
    }

    // 513 samples: the second window is one sample and 511 zeros
    ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), 513));
    const float second = kestu_vad_probs(vctx.get())[1];
    std::vector<float> padded(audio.begin(), audio.begin() + 513);
    padded.resize(1024, 0.0f);
    ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), padded.data(), 1024));
    EXPECT_EQ(kestu_vad_probs(vctx.get())[1], second);

    EXPECT_FALSE(kestu_vad_detect_speech(nullptr, audio.data(), 512));
    EXPECT_FALSE(kestu_vad_detect_speech(vctx.get(), nullptr, 512));
    EXPECT_FALSE(kestu_vad_detect_speech(vctx.get(), audio.data(), -1));
    // samples the network would turn into plausible probabilities; the last
    // detection's probabilities stay
    for (const float bad : {NAN, INFINITY, -INFINITY}) {
        std::vector<float> x(audio.begin(), audio.end());
        x[700] = bad;
        EXPECT_FALSE(kestu_vad_detect_speech(vctx.get(), x.data(), int(x.size()))) << bad;
        EXPECT_FALSE(kestu_vad_detect_speech_no_reset(vctx.get(), x.data(), int(x.size()))) << bad;
        EXPECT_EQ(kestu_vad_n_probs(vctx.get()), 2);
        EXPECT_EQ(kestu_vad_probs(vctx.get())[1], second);
    }
    EXPECT_EQ(kestu_vad_n_probs(nullptr), 0);
    EXPECT_EQ(kestu_vad_probs(nullptr), nullptr);
    kestu_vad_reset_state(nullptr);
}

using process_threads_test::process_threads;
using process_threads_test::threads_beyond;

// Detection runs its windows on worker threads that the context keeps: a
// detection at n threads leaves n - 1 of them, the same ones after every
// further detection; they are off the backend between detections and are
// joined when the context is freed. Every thread count gives the one-thread
// probabilities bit for bit.
TEST_F(VadModel, DetectionKeepsItsWorkerThreadsAndGivesTheOneThreadResult) {
    kestu_vad_model_recipe recipe;
    recipe.seed                      = 12;
    const std::vector<uint8_t> bytes = kestu_write_vad_model(recipe);
    const std::vector<float>   audio = varying_noise(40 * 512 + 77, 12);

    // the thread sanitizer's runtime starts a thread of its own with the
    // first thread made: let that happen before any count is taken
    std::thread([] {}).join();

    std::vector<float> one_thread;
    for (int n_threads : {1, 2, 4}) {
        if (n_threads > 1 && n_threads > int(std::thread::hardware_concurrency())) {
            continue;
        }
        SCOPED_TRACE("threads " + std::to_string(n_threads));
        const std::set<long> before = process_threads();
        ASSERT_FALSE(before.empty());

        vad_ptr vctx(load_bytes(bytes, n_threads));
        ASSERT_NE(vctx, nullptr);
        std::set<long> workers;
        for (int round = 0; round < 3; round++) {
            ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), int(audio.size())));
            ASSERT_EQ(kestu_vad_n_probs(vctx.get()), 41);
            const std::vector<float> probs(kestu_vad_probs(vctx.get()), kestu_vad_probs(vctx.get()) + 41);
            if (one_thread.empty()) {
                one_thread = probs;
            }
            EXPECT_EQ(probs, one_thread) << "round " << round;

            const std::set<long> extra = threads_beyond(before);
            EXPECT_EQ(extra.size(), size_t(n_threads - 1)) << "round " << round;
            if (round == 0) {
                workers = extra;
            }
            EXPECT_EQ(extra, workers) << "round " << round;

            for (tevo_backend_t backend : vctx->backends) {
                if (tevo_backend_is_cpu(backend)) {
                    EXPECT_EQ(((tevo_backend_cpu_context *) backend->context)->threadpool, nullptr);
                }
            }
        }
        vctx.reset();
        EXPECT_EQ(process_threads(), before);
    }
}

TEST_F(VadModel, HandSetModelsAnswerAsBuilt) {
    const std::vector<float> loud  = varying_noise(6 * 512, 8);
    const std::vector<float> quiet(6 * 512, 0.0f);
    for (bool speech : {true, false}) {
        vad_ptr vctx(load_bytes(kestu_write_vad_model(kestu_vad_constant_recipe(speech, 3))));
        ASSERT_NE(vctx, nullptr);
        for (const auto * audio : {&loud, &quiet}) {
            ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio->data(), int(audio->size())));
            for (int k = 0; k < kestu_vad_n_probs(vctx.get()); k++) {
                if (speech) {
                    EXPECT_GT(kestu_vad_probs(vctx.get())[k], 0.999f);
                } else {
                    EXPECT_LT(kestu_vad_probs(vctx.get())[k], 1e-6f);
                }
            }
        }
    }

    // the energy model: white noise well below, near and well above its level
    const float level = 0.01f;
    vad_ptr     vctx(load_bytes(kestu_write_vad_model(kestu_vad_energy_recipe(level))));
    ASSERT_NE(vctx, nullptr);
    struct energy_case {
        float rms;
        float lo, hi;
    };
    for (const energy_case & c : {energy_case{0.0f, 0.0f, 0.01f}, energy_case{0.2f * level, 0.0f, 0.01f},
                                  energy_case{0.5f * level, 0.0f, 0.01f}, energy_case{2.0f * level, 0.9f, 1.0f},
                                  energy_case{50.0f * level, 0.99f, 1.0f}}) {
        std::mt19937                    rng(4);
        std::normal_distribution<float> dist(0.0f, c.rms);
        std::vector<float>              audio(8 * 512);
        for (float & v : audio) {
            v = dist(rng);
        }
        ASSERT_TRUE(kestu_vad_detect_speech(vctx.get(), audio.data(), int(audio.size())));
        for (int k = 0; k < 8; k++) {
            EXPECT_GE(kestu_vad_probs(vctx.get())[k], c.lo) << "rms " << c.rms;
            EXPECT_LE(kestu_vad_probs(vctx.get())[k], c.hi) << "rms " << c.rms;
        }
    }
}

} // namespace
