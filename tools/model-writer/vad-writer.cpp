// Voice-activity model writer: the weight list of a kestu_vad_model_recipe in id
// order, filled with random or given values, and the file image.
//
// Random weights keep the network's values moderate, so probabilities of
// random models spread over (0, 1) rather than sitting at 0 or 1: convolution
// kernels ~ N(0, 2/fan_in) (ReLU follows them), recurrent matrices
// ~ N(0, 1/H), small biases. Each weight draws from its own stream (seed mixed
// with its name).
#include "vad-writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

uint64_t splitmix64(uint64_t & x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint64_t fnv1a(const std::string & s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h = (h ^ c) * 0x100000001b3ull;
    }
    return h;
}

// Box-Muller over splitmix64: the same numbers on every platform
struct normal_stream {
    uint64_t state;
    bool     has_spare = false;
    double   spare     = 0.0;

    double uniform() { return ((splitmix64(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

    double next() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        const double a = 2.0 * M_PI * uniform();
        spare          = r * std::sin(a);
        has_spare      = true;
        return r * std::cos(a);
    }
};

void put_bytes(std::vector<uint8_t> & out, const void * p, size_t n) {
    const uint8_t * b = static_cast<const uint8_t *>(p);
    out.insert(out.end(), b, b + n);
}

void put_i32(std::vector<uint8_t> & out, int32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(uint32_t(v) >> 8), uint8_t(uint32_t(v) >> 16), uint8_t(uint32_t(v) >> 24)};
    put_bytes(out, b, 4);
}

int64_t element_count(const std::vector<int32_t> & ne) {
    int64_t n = 1;
    for (int32_t e : ne) {
        if (e < 0) {
            throw std::invalid_argument("vad writer: negative extent");
        }
        n *= e;
    }
    return n;
}

} // namespace

const char * const kestu_vad_writer_names[15] = {
    "_model.stft.forward_basis_buffer",
    "_model.encoder.0.reparam_conv.weight",
    "_model.encoder.0.reparam_conv.bias",
    "_model.encoder.1.reparam_conv.weight",
    "_model.encoder.1.reparam_conv.bias",
    "_model.encoder.2.reparam_conv.weight",
    "_model.encoder.2.reparam_conv.bias",
    "_model.encoder.3.reparam_conv.weight",
    "_model.encoder.3.reparam_conv.bias",
    "_model.decoder.rnn.weight_ih",
    "_model.decoder.rnn.weight_hh",
    "_model.decoder.rnn.bias_ih",
    "_model.decoder.rnn.bias_hh",
    "_model.decoder.decoder.2.weight",
    "_model.decoder.decoder.2.bias",
};

std::vector<kestu_writer_tensor> kestu_vad_writer_tensors(const kestu_vad_model_recipe & recipe) {
    if (recipe.in_channels.size() < 4 || recipe.out_channels.size() < 4 || recipe.kernel_size.size() < 4) {
        throw std::invalid_argument("vad writer: the weights need four encoder layers");
    }
    const int32_t F32 = KESTU_WRITER_F32;
    const int32_t F16 = KESTU_WRITER_F16;
    const int32_t H   = recipe.lstm_hidden_size;

    struct desc {
        int32_t              type;
        std::vector<int32_t> ne;
        double               scale;
    };
    std::vector<desc> descs;
    descs.push_back({F16, {256, 1, 258}, 1.0 / 16.0});
    for (int i = 0; i < 4; i++) {
        const int32_t k = recipe.kernel_size[i], in = recipe.in_channels[i], out = recipe.out_channels[i];
        descs.push_back({F16, {k, in, out}, std::sqrt(2.0 / std::max<int64_t>(int64_t(k) * in, 1))});
        descs.push_back({F32, {out}, 0.1});
    }
    const double rs = 1.0 / std::sqrt(double(std::max(H, 1)));
    descs.push_back({F32, {H, 4 * H}, rs});
    descs.push_back({F32, {H, 4 * H}, rs});
    descs.push_back({F32, {4 * H}, 0.1});
    descs.push_back({F32, {4 * H}, 0.1});
    descs.push_back({F16, {recipe.final_conv_in, 1}, 2.0 * rs});
    descs.push_back({F32, {1}, 0.1});

    size_t                           n_used = 0;
    std::vector<kestu_writer_tensor> out;
    for (size_t id = 0; id < descs.size(); id++) {
        kestu_writer_tensor t;
        t.name            = kestu_vad_writer_names[id];
        t.type            = descs[id].type;
        t.ne              = descs[id].ne;
        const int64_t n   = element_count(t.ne);
        auto          it  = recipe.overrides.find(t.name);
        if (it != recipe.overrides.end()) {
            if (int64_t(it->second.size()) != n) {
                throw std::invalid_argument("vad writer: override of " + t.name + " has " +
                                            std::to_string(it->second.size()) + " values, expected " +
                                            std::to_string(n));
            }
            t.values = it->second;
            ++n_used;
        } else {
            normal_stream rng{recipe.seed * 0x2545f4914f6cdd1dull ^ fnv1a(t.name)};
            t.values.resize(size_t(n));
            for (float & v : t.values) {
                v = float(descs[id].scale * rng.next());
            }
        }
        if (t.type == F16) {
            for (float & v : t.values) {
                v = kestu_writer_fp16_to_fp32(kestu_writer_fp32_to_fp16(v));
            }
        }
        out.push_back(std::move(t));
    }
    if (n_used != recipe.overrides.size()) {
        throw std::invalid_argument("vad writer: override of an unknown weight");
    }
    return out;
}

std::vector<uint8_t> kestu_write_vad_model(const kestu_vad_model_recipe & recipe,
                                           const std::vector<kestu_writer_tensor> & tensors,
                                           kestu_vad_writer_layout * layout) {
    const size_t n_layers = recipe.in_channels.size();
    if (recipe.out_channels.size() != n_layers || recipe.kernel_size.size() != n_layers) {
        throw std::invalid_argument("vad writer: per-layer lists differ in length");
    }

    kestu_vad_writer_layout lay;
    std::vector<uint8_t>    out;

    put_i32(out, int32_t(KESTU_WRITER_MAGIC));
    lay.model_type = out.size();
    put_i32(out, int32_t(recipe.model_type.size()));
    put_bytes(out, recipe.model_type.data(), recipe.model_type.size());
    lay.version = out.size();
    for (int32_t v : recipe.version) {
        put_i32(out, v);
    }
    lay.n_window = out.size();
    put_i32(out, recipe.n_window);
    lay.n_window_aux = out.size();
    put_i32(out, recipe.n_window_aux);
    lay.n_layers = out.size();
    put_i32(out, int32_t(n_layers));
    lay.layers = out.size();
    for (size_t i = 0; i < n_layers; i++) {
        put_i32(out, recipe.in_channels[i]);
        put_i32(out, recipe.out_channels[i]);
        put_i32(out, recipe.kernel_size[i]);
    }
    lay.lstm_input = out.size();
    for (int32_t v : {recipe.lstm_input_size, recipe.lstm_hidden_size, recipe.final_conv_in, recipe.final_conv_out}) {
        put_i32(out, v);
    }

    lay.tensors = out.size();
    for (const kestu_writer_tensor & t : tensors) {
        kestu_writer_record_span span;
        span.name  = t.name;
        span.begin = out.size();
        put_i32(out, int32_t(t.ne.size()));
        put_i32(out, int32_t(t.name.size()));
        put_i32(out, t.type);
        for (int32_t e : t.ne) {
            put_i32(out, e);
        }
        put_bytes(out, t.name.data(), t.name.size());
        span.data_begin = out.size();
        for (float v : t.values) {
            if (t.type == KESTU_WRITER_F16) {
                const uint16_t h = kestu_writer_fp32_to_fp16(v);
                out.push_back(uint8_t(h));
                out.push_back(uint8_t(h >> 8));
            } else {
                uint32_t u;
                std::memcpy(&u, &v, 4);
                put_i32(out, int32_t(u));
            }
        }
        span.end = out.size();
        lay.records.push_back(std::move(span));
    }
    lay.size = out.size();
    if (layout) {
        *layout = std::move(lay);
    }
    return out;
}

std::vector<uint8_t> kestu_write_vad_model(const kestu_vad_model_recipe & recipe, kestu_vad_writer_layout * layout) {
    return kestu_write_vad_model(recipe, kestu_vad_writer_tensors(recipe), layout);
}

bool kestu_write_vad_model_file(const kestu_vad_model_recipe & recipe, const std::string & path) {
    std::vector<uint8_t> bytes;
    try {
        bytes = kestu_write_vad_model(recipe);
    } catch (const std::exception & e) {
        std::fprintf(stderr, "%s\n", e.what());
        return false;
    }
    FILE * f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

kestu_vad_model_recipe kestu_vad_constant_recipe(bool speech, uint64_t seed) {
    kestu_vad_model_recipe recipe;
    recipe.seed = seed;
    recipe.overrides[kestu_vad_writer_names[13]] = std::vector<float>(size_t(recipe.final_conv_in), 0.0f);
    recipe.overrides[kestu_vad_writer_names[14]] = {speech ? 20.0f : -20.0f};
    return recipe;
}

kestu_vad_model_recipe kestu_vad_energy_recipe(float threshold_rms) {
    kestu_vad_model_recipe recipe;
    const int32_t        H = recipe.lstm_hidden_size;

    // Hann-windowed Fourier basis: channel c < 129 the cosine of bin c, channel
    // 129 + c its sine
    std::vector<float> basis(256 * 258, 0.0f);
    for (int c = 0; c < 129; c++) {
        for (int n = 0; n < 256; n++) {
            const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * n / 256.0);
            const double a = 2.0 * M_PI * c * n / 256.0;
            basis[size_t(c) * 256 + n]         = float(w * std::cos(a));
            basis[size_t(129 + c) * 256 + n]   = float(-w * std::sin(a));
        }
    }

    // kernel [k, in, out]: element (t, i, o) at (o * in + i) * k + t
    auto kernel = [](int k, int in, int out, int o, int i, int t, float v, std::vector<float> * w) {
        if (w->empty()) {
            w->assign(size_t(k) * in * out, 0.0f);
        }
        (*w)[(size_t(o) * in + i) * k + t] = v;
    };
    // layer 0: channel 0 = mean magnitude over the 129 bins (centre tap);
    // layers 1 and 2 average over their three taps, gains chosen so that a
    // steady magnitude M arrives as M; layer 3 passes channel 0 through
    std::vector<float> w0, w1, w2, w3;
    for (int i = 0; i < 129; i++) {
        kernel(3, 129, 128, 0, i, 1, 1.0f / 129.0f, &w0);
    }
    for (int t = 0; t < 3; t++) {
        kernel(3, 128, 64, 0, 0, t, 1.0f / 3.0f, &w1);
        kernel(3, 64, 64, 0, 0, t, 3.0f / 5.0f, &w2);
    }
    kernel(3, 64, 128, 0, 0, 1, 1.0f, &w3);

    // mean magnitude of a Hann-windowed bin of white noise: sqrt(pi/4 * 96) sigma
    const float theta = float(std::sqrt(M_PI / 4.0 * 96.0)) * threshold_rms;
    const float k     = 4.0f / theta;

    // gates [i, f, g, o] of H each: input and output gates open, forget gate
    // closed, candidate of unit 0 = tanh(k (E - theta))
    std::vector<float> w_ih(size_t(H) * 4 * H, 0.0f);
    std::vector<float> b_ih(size_t(4) * H, 0.0f);
    w_ih[size_t(2 * H) * H + 0] = k; // row 2H (candidate of unit 0), column 0
    for (int j = 0; j < H; j++) {
        b_ih[j]         = 10.0f;
        b_ih[H + j]     = -10.0f;
        b_ih[3 * H + j] = 10.0f;
    }
    b_ih[2 * H] = -k * theta;

    std::vector<float> w_out(size_t(recipe.final_conv_in), 0.0f);
    w_out[0] = 16.0f;

    recipe.overrides[kestu_vad_writer_names[0]]  = basis;
    recipe.overrides[kestu_vad_writer_names[1]]  = w0;
    recipe.overrides[kestu_vad_writer_names[2]]  = std::vector<float>(128, 0.0f);
    recipe.overrides[kestu_vad_writer_names[3]]  = w1;
    recipe.overrides[kestu_vad_writer_names[4]]  = std::vector<float>(64, 0.0f);
    recipe.overrides[kestu_vad_writer_names[5]]  = w2;
    recipe.overrides[kestu_vad_writer_names[6]]  = std::vector<float>(64, 0.0f);
    recipe.overrides[kestu_vad_writer_names[7]]  = w3;
    recipe.overrides[kestu_vad_writer_names[8]]  = std::vector<float>(128, 0.0f);
    recipe.overrides[kestu_vad_writer_names[9]]  = w_ih;
    recipe.overrides[kestu_vad_writer_names[10]] = std::vector<float>(size_t(H) * 4 * H, 0.0f);
    recipe.overrides[kestu_vad_writer_names[11]] = b_ih;
    recipe.overrides[kestu_vad_writer_names[12]] = std::vector<float>(size_t(4) * H, 0.0f);
    recipe.overrides[kestu_vad_writer_names[13]] = w_out;
    recipe.overrides[kestu_vad_writer_names[14]] = {-6.0f};
    return recipe;
}
