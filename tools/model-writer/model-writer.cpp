// Model-file writer: builds the tensor list of a kestu_model_recipe in the loader's
// creation order, fills it (random or given values), stores each tensor in
// its element type and serialises it. Block formats go through the tensor
// library's own chunk quantizer, so a written file holds exactly what a
// quantizing tool of the library would make.
//
// Random weights are scaled so that a transformer made of them stays
// numerically tame: matrices ~ N(0, 1/fan_in), norms near 1, small biases.
// Each tensor draws from its own stream (seed mixed with its name), so
// overriding one tensor or adding a layer leaves the others unchanged.
#include "model-writer.h"

#include "tevo.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

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

// Box-Muller over splitmix64: the same numbers on every platform.
struct normal_stream {
    uint64_t state;
    bool has_spare = false;
    double spare = 0.0;

    double uniform() { return ((splitmix64(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

    double next() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double u1 = uniform();
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        spare = r * std::sin(2.0 * M_PI * u2);
        has_spare = true;
        return r * std::cos(2.0 * M_PI * u2);
    }
};

// How a tensor's random values are drawn.
enum class init_kind { matrix, norm_weight, bias, positional };

struct tensor_desc {
    std::string name;
    int32_t type;
    std::vector<int32_t> ne;
    init_kind init;
};

void add_layer(std::vector<tensor_desc> & out, const std::string & prefix, int32_t n, int32_t wtype, bool cross) {
    const int32_t F32 = KESTU_WRITER_F32;
    auto add = [&](const std::string & name, int32_t type, std::vector<int32_t> ne, init_kind k) {
        out.push_back({prefix + name, type, std::move(ne), k});
    };
    if (!cross) {
        add("mlp_ln.weight", F32, {n}, init_kind::norm_weight);
        add("mlp_ln.bias", F32, {n}, init_kind::bias);
        add("mlp.0.weight", wtype, {n, 4 * n}, init_kind::matrix);
        add("mlp.0.bias", F32, {4 * n}, init_kind::bias);
        add("mlp.2.weight", wtype, {4 * n, n}, init_kind::matrix);
        add("mlp.2.bias", F32, {n}, init_kind::bias);
    }
    const std::string a = cross ? "cross_attn" : "attn";
    add(a + "_ln.weight", F32, {n}, init_kind::norm_weight);
    add(a + "_ln.bias", F32, {n}, init_kind::bias);
    add(a + ".query.weight", wtype, {n, n}, init_kind::matrix);
    add(a + ".query.bias", F32, {n}, init_kind::bias);
    add(a + ".key.weight", wtype, {n, n}, init_kind::matrix);
    add(a + ".value.weight", wtype, {n, n}, init_kind::matrix);
    add(a + ".value.bias", F32, {n}, init_kind::bias);
    add(a + ".out.weight", wtype, {n, n}, init_kind::matrix);
    add(a + ".out.bias", F32, {n}, init_kind::bias);
}

std::vector<tensor_desc> describe(const kestu_model_recipe & sp) {
    const int32_t F32 = KESTU_WRITER_F32;
    const int32_t wtype = kestu_writer_weight_type(sp.ftype);
    const int32_t conv_type = wtype == KESTU_WRITER_F32 ? KESTU_WRITER_F32 : KESTU_WRITER_F16;
    const int32_t s = sp.n_audio_state;
    const int32_t t = sp.n_text_state;

    std::vector<tensor_desc> out;
    out.push_back({"encoder.positional_embedding", F32, {s, sp.n_audio_ctx}, init_kind::positional});
    out.push_back({"encoder.conv1.weight", conv_type, {3, sp.n_mels, s}, init_kind::matrix});
    out.push_back({"encoder.conv1.bias", F32, {1, s}, init_kind::bias});
    out.push_back({"encoder.conv2.weight", conv_type, {3, s, s}, init_kind::matrix});
    out.push_back({"encoder.conv2.bias", F32, {1, s}, init_kind::bias});
    out.push_back({"encoder.ln_post.weight", F32, {s}, init_kind::norm_weight});
    out.push_back({"encoder.ln_post.bias", F32, {s}, init_kind::bias});
    for (int32_t il = 0; il < sp.n_audio_layer; ++il) {
        add_layer(out, "encoder.blocks." + std::to_string(il) + ".", s, wtype, false);
    }
    out.push_back({"decoder.positional_embedding", F32, {t, sp.n_text_ctx}, init_kind::positional});
    out.push_back({"decoder.token_embedding.weight", wtype, {t, sp.n_vocab}, init_kind::matrix});
    out.push_back({"decoder.ln.weight", F32, {t}, init_kind::norm_weight});
    out.push_back({"decoder.ln.bias", F32, {t}, init_kind::bias});
    for (int32_t il = 0; il < sp.n_text_layer; ++il) {
        const std::string prefix = "decoder.blocks." + std::to_string(il) + ".";
        add_layer(out, prefix, t, wtype, false);
        add_layer(out, prefix, t, wtype, true);
    }
    return out;
}

int64_t element_count(const std::vector<int32_t> & ne) {
    int64_t n = 1;
    for (int32_t e : ne) {
        if (e < 0) {
            throw std::invalid_argument("model writer: negative extent");
        }
        n *= e;
    }
    return n;
}

void put_bytes(std::vector<uint8_t> & out, const void * p, size_t n) {
    const uint8_t * b = static_cast<const uint8_t *>(p);
    out.insert(out.end(), b, b + n);
}

void put_i32(std::vector<uint8_t> & out, int32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(uint32_t(v) >> 8), uint8_t(uint32_t(v) >> 16), uint8_t(uint32_t(v) >> 24)};
    put_bytes(out, b, 4);
}

void put_f32(std::vector<uint8_t> & out, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    put_i32(out, int32_t(u));
}

// Stores t.values as t.type: t.data gets the bytes, t.values what they read
// back as.
void store(kestu_writer_tensor & t) {
    t.data.clear();
    if (t.type == KESTU_WRITER_F32) {
        t.data.reserve(4 * t.values.size());
        for (float v : t.values) {
            put_f32(t.data, v);
        }
        return;
    }
    if (t.type == KESTU_WRITER_F16) {
        t.data.reserve(2 * t.values.size());
        for (float & v : t.values) {
            const uint16_t h = kestu_writer_fp32_to_fp16(v);
            t.data.push_back(uint8_t(h));
            t.data.push_back(uint8_t(h >> 8));
            v = kestu_writer_fp16_to_fp32(h);
        }
        return;
    }
    if (!kestu_writer_type_is_storable(t.type)) {
        const bool named = t.type >= 0 && t.type < TEVO_TYPE_COUNT;
        throw std::invalid_argument("model writer: cannot write " + t.name + " as " +
                                    (named ? tevo_type_name(tevo_type(t.type)) : "type " + std::to_string(t.type)) +
                                    " (no quantizer)");
    }
    const tevo_type type = tevo_type(t.type);
    // the chunk quantizer would abort on a row tail that is not a whole block
    const int64_t n_per_row = t.ne.empty() ? 1 : t.ne[0];
    if (n_per_row % tevo_blck_size(type) != 0) {
        throw std::invalid_argument("model writer: rows of " + t.name + " hold " + std::to_string(n_per_row) +
                                    " values, not whole blocks of " + std::to_string(tevo_blck_size(type)) +
                                    " for " + tevo_type_name(type));
    }
    const int64_t n = int64_t(t.values.size());
    const int64_t nrows = n_per_row > 0 ? n / n_per_row : 0;
    t.data.resize(tevo_row_size(type, n_per_row) * size_t(nrows));
    if (n == 0) {
        return;
    }
    // Rows are quantized independently, so a tensor is split among threads
    // by rows with the same bytes as a single call (the lattice types'
    // searches take about a microsecond a value).
    const int64_t n_threads = std::clamp<int64_t>(n / (1 << 16), 1, 8);
    const int64_t rows_per_thread = (nrows + n_threads - 1) / n_threads;
    // The 1- and 2-bit lattice types quantize only against importance
    // weights of the row's columns. Random weights come with no activations
    // to measure them from, so every column counts the same; other types
    // keep their own weighting (no importance).
    const std::vector<float> importance(tevo_quantize_requires_imatrix(type) ? size_t(n_per_row) : 0, 1.0f);
    const float * imatrix = importance.empty() ? nullptr : importance.data();
    std::atomic<bool> valid{true};
    std::vector<std::thread> workers;
    for (int64_t r0 = 0; r0 < nrows; r0 += rows_per_thread) {
        const int64_t rows = std::min(rows_per_thread, nrows - r0);
        workers.emplace_back([&t, &valid, type, r0, rows, n_per_row, imatrix] {
            const size_t row_size = tevo_row_size(type, n_per_row);
            uint8_t * data = t.data.data() + size_t(r0) * row_size;
            tevo_quantize_chunk(type, t.values.data(), t.data.data(), r0 * n_per_row, rows, n_per_row, imatrix);
            // a NaN or infinite weight leaves a block that no reader can use
            if (!tevo_validate_row_data(type, data, size_t(rows) * row_size)) {
                valid = false;
                return;
            }
            tevo_get_type_traits(type)->to_float(data, t.values.data() + r0 * n_per_row, rows * n_per_row);
        });
    }
    for (std::thread & w : workers) {
        w.join();
    }
    if (!valid) {
        throw std::invalid_argument("model writer: " + t.name + " holds a value that " + tevo_type_name(type) +
                                    " cannot store");
    }
}

const char * const k_words[] = {
    "the", "a", "and", "of", "to", "in", "is", "it", "that", "you", "he", "she", "we", "they", "i",
    "was", "for", "on", "are", "with", "as", "be", "at", "this", "have", "from", "or", "one", "had",
    "by", "word", "but", "not", "what", "all", "were", "when", "your", "can", "said", "there", "use",
    "an", "each", "which", "do", "how", "their", "if", "will", "up", "other", "about", "out", "many",
    "then", "them", "these", "so", "some", "her", "would", "make", "like", "him", "into", "time",
    "has", "look", "two", "more", "write", "go", "see", "number", "no", "way", "could", "people",
    "my", "than", "first", "water", "been", "call", "who", "oil", "its", "now", "find", "long",
    "down", "day", "did", "get", "come", "made", "may", "part", "hello", "world", "yes", "left",
    "right", "stop", "off", "oh", "zero", "three", "four", "five", "six", "seven", "eight", "nine",
    "ten", "test", "speech", "model", "audio", "text", "good", "morning", "thank", "thanks",
    "please", "okay", "ok", "Hello", "The", "I", "And", "So", "Yes", "No", "It", "We", "You",
};

} // namespace

int32_t kestu_writer_weight_type(int32_t ftype) {
    const int32_t f = ftype % 1000;
    // the values the loader refuses (no element type) would abort the mapping
    const bool named = f >= TEVO_FTYPE_ALL_F32 && f <= TEVO_FTYPE_MOSTLY_Q2_0 &&
                       !(f > TEVO_FTYPE_MOSTLY_Q4_1 && f < TEVO_FTYPE_MOSTLY_Q8_0);
    return named ? int32_t(tevo_ftype_to_tevo_type(tevo_ftype(f))) : KESTU_WRITER_F16;
}

bool kestu_writer_type_is_storable(int32_t type) {
    if (type == KESTU_WRITER_F32 || type == KESTU_WRITER_F16) {
        return true;
    }
    if (type < 0 || type >= TEVO_TYPE_COUNT) {
        return false;
    }
    // both directions: read back through the dequantizer, written through
    // the chunk quantizer, which every type with a dequantizer has (the
    // activation-only formats have neither)
    const tevo_type_traits * tr = tevo_get_type_traits(tevo_type(type));
    return tr->blck_size > 0 && tr->to_float != nullptr;
}

uint16_t kestu_writer_fp32_to_fp16(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    const uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t mag = x & 0x7fffffffu;
    if (mag > 0x7f800000u) {
        return uint16_t(sign | 0x7e00u); // NaN
    }
    if (mag >= 0x477ff000u) {
        return uint16_t(sign | 0x7c00u); // overflows to infinity after rounding
    }
    if (mag < 0x38800000u) {
        // subnormal half (or zero): scale so the integer part is the mantissa
        float a;
        std::memcpy(&a, &mag, 4);
        const float scaled = a * 16777216.0f; // 2^24
        return uint16_t(sign | uint32_t(std::nearbyint(scaled)));
    }
    // normal: round the 13 dropped bits to nearest even
    const uint32_t lsb = (mag >> 13) & 1u;
    mag += 0xfffu + lsb;
    return uint16_t(sign | ((mag - 0x38000000u) >> 13));
}

float kestu_writer_fp16_to_fp32(uint16_t h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    const uint32_t exp = (h >> 10) & 0x1fu;
    const uint32_t man = h & 0x3ffu;
    float f;
    if (exp == 0) {
        f = std::ldexp(float(man), -24);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        u |= sign;
        std::memcpy(&f, &u, 4);
        return f;
    }
    uint32_t u;
    if (exp == 31) {
        u = sign | 0x7f800000u | (man << 13);
    } else {
        u = sign | ((exp + 112u) << 23) | (man << 13);
    }
    std::memcpy(&f, &u, 4);
    return f;
}

std::vector<std::string> kestu_writer_default_vocab(int32_t n_vocab) {
    int32_t size = n_vocab > 51864 ? 50257 : std::min<int32_t>(n_vocab, 50256);
    if (size < 0) {
        size = 0;
    }
    std::vector<std::string> v;
    v.reserve(size);
    for (int32_t i = 0; i < 256 && int32_t(v.size()) < size; ++i) {
        v.push_back(std::string(1, char(i)));
    }
    // texts are unique, as in a real vocabulary (single letters are bytes already)
    std::set<std::string> seen(v.begin(), v.end());
    for (const char * w : k_words) {
        for (std::string text : {std::string(" ") + w, std::string(w)}) {
            if (int32_t(v.size()) < size && seen.insert(text).second) {
                v.push_back(text);
            }
        }
    }
    while (int32_t(v.size()) < size) {
        v.push_back("<fill:" + std::to_string(v.size()) + ">");
    }
    return v;
}

std::vector<float> kestu_writer_mel_filters(int32_t n_mel, int32_t n_fft) {
    if (n_mel <= 0 || n_fft <= 0) {
        return {};
    }
    const double sr = 16000.0;
    const double f_max = sr / 2;
    const double n_fft_full = 2.0 * (n_fft - 1);

    // Slaney mel scale: linear below 1 kHz, logarithmic above
    auto hz_to_mel = [](double hz) {
        const double f_sp = 200.0 / 3, min_log_hz = 1000.0, logstep = std::log(6.4) / 27.0;
        return hz < min_log_hz ? hz / f_sp : min_log_hz / f_sp + std::log(hz / min_log_hz) / logstep;
    };
    auto mel_to_hz = [](double mel) {
        const double f_sp = 200.0 / 3, min_log_hz = 1000.0, min_log_mel = min_log_hz / f_sp,
                     logstep = std::log(6.4) / 27.0;
        return mel < min_log_mel ? mel * f_sp : min_log_hz * std::exp(logstep * (mel - min_log_mel));
    };

    std::vector<double> hz(n_mel + 2);
    const double mel_max = hz_to_mel(f_max);
    for (int32_t i = 0; i < n_mel + 2; ++i) {
        hz[i] = mel_to_hz(mel_max * i / (n_mel + 1));
    }
    std::vector<float> out(size_t(n_mel) * n_fft, 0.0f);
    for (int32_t m = 0; m < n_mel; ++m) {
        const double norm = 2.0 / (hz[m + 2] - hz[m]);
        for (int32_t k = 0; k < n_fft; ++k) {
            const double f = n_fft_full > 0 ? k * sr / n_fft_full : 0.0;
            const double lower = (f - hz[m]) / (hz[m + 1] - hz[m]);
            const double upper = (hz[m + 2] - f) / (hz[m + 2] - hz[m + 1]);
            const double w = std::max(0.0, std::min(lower, upper));
            out[size_t(m) * n_fft + k] = float(w * norm);
        }
    }
    return out;
}

std::vector<std::string> kestu_writer_tensor_names(const kestu_model_recipe & recipe) {
    std::vector<std::string> names;
    for (tensor_desc & d : describe(recipe)) {
        names.push_back(std::move(d.name));
    }
    return names;
}

std::vector<kestu_writer_tensor> kestu_writer_tensors(const kestu_model_recipe & recipe) {
    std::vector<tensor_desc> descs = describe(recipe);

    size_t n_used = 0;
    std::vector<kestu_writer_tensor> out;
    out.reserve(descs.size());
    for (const tensor_desc & d : descs) {
        kestu_writer_tensor t;
        t.name = d.name;
        t.type = d.type;
        t.ne = d.ne;
        const int64_t n = element_count(d.ne);

        auto it = recipe.overrides.find(d.name);
        if (it != recipe.overrides.end()) {
            if (int64_t(it->second.size()) != n) {
                throw std::invalid_argument("model writer: override of " + d.name + " has " +
                                            std::to_string(it->second.size()) + " values, expected " +
                                            std::to_string(n));
            }
            t.values = it->second;
            ++n_used;
        } else {
            normal_stream rng{recipe.seed * 0x2545f4914f6cdd1dull ^ fnv1a(d.name)};
            t.values.resize(size_t(n));
            double scale = 0.02;
            double offset = 0.0;
            switch (d.init) {
                case init_kind::matrix: {
                    // fan-in: everything but the output dimension (last extent)
                    int64_t fan_in = 1;
                    for (size_t i = 0; i + 1 < d.ne.size(); ++i) {
                        fan_in *= d.ne[i];
                    }
                    scale = 1.0 / std::sqrt(double(std::max<int64_t>(fan_in, 1)));
                    break;
                }
                case init_kind::norm_weight: offset = 1.0; scale = 0.05; break;
                case init_kind::bias:        scale = 0.02; break;
                case init_kind::positional:  scale = 0.1; break;
            }
            for (int64_t i = 0; i < n; ++i) {
                t.values[size_t(i)] = float(offset + scale * rng.next());
            }
        }
        store(t);
        out.push_back(std::move(t));
    }
    if (n_used != recipe.overrides.size()) {
        for (const auto & kv : recipe.overrides) {
            bool known = false;
            for (const tensor_desc & d : descs) {
                known = known || d.name == kv.first;
            }
            if (!known) {
                throw std::invalid_argument("model writer: override of unknown tensor " + kv.first);
            }
        }
    }
    return out;
}

std::vector<uint8_t> kestu_write_model(const kestu_model_recipe & recipe, kestu_writer_layout * layout) {
    kestu_writer_layout lay;
    std::vector<uint8_t> out;

    put_i32(out, int32_t(KESTU_WRITER_MAGIC));
    lay.hparams = out.size();
    for (int32_t v : {recipe.n_vocab, recipe.n_audio_ctx, recipe.n_audio_state, recipe.n_audio_head, recipe.n_audio_layer,
                      recipe.n_text_ctx, recipe.n_text_state, recipe.n_text_head, recipe.n_text_layer, recipe.n_mels,
                      recipe.ftype}) {
        put_i32(out, v);
    }

    lay.filters = out.size();
    const int32_t n_mel = recipe.filters_n_mel < 0 ? recipe.n_mels : recipe.filters_n_mel;
    const int32_t n_fft = recipe.filters_n_fft;
    std::vector<float> filters = recipe.filters.empty() ? kestu_writer_mel_filters(n_mel, n_fft) : recipe.filters;
    put_i32(out, n_mel);
    put_i32(out, n_fft);
    for (float f : filters) {
        put_f32(out, f);
    }

    lay.vocab = out.size();
    const std::vector<std::string> vocab =
        recipe.empty_vocab ? std::vector<std::string>{}
                         : (recipe.vocab.empty() ? kestu_writer_default_vocab(recipe.n_vocab) : recipe.vocab);
    put_i32(out, int32_t(vocab.size()));
    for (const std::string & text : vocab) {
        put_i32(out, int32_t(text.size()));
        put_bytes(out, text.data(), text.size());
    }

    lay.tensors = out.size();
    for (const kestu_writer_tensor & t : kestu_writer_tensors(recipe)) {
        kestu_writer_record_span span;
        span.name = t.name;
        span.begin = out.size();
        put_i32(out, int32_t(t.ne.size()));
        put_i32(out, int32_t(t.name.size()));
        put_i32(out, t.type);
        for (int32_t e : t.ne) {
            put_i32(out, e);
        }
        put_bytes(out, t.name.data(), t.name.size());
        span.data_begin = out.size();
        put_bytes(out, t.data.data(), t.data.size());
        span.end = out.size();
        lay.records.push_back(std::move(span));
    }
    lay.size = out.size();
    if (layout) {
        *layout = std::move(lay);
    }
    return out;
}

bool kestu_write_model_file(const kestu_model_recipe & recipe, const std::string & path) {
    std::vector<uint8_t> bytes;
    try {
        bytes = kestu_write_model(recipe);
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

void kestu_writer_put_i32(std::vector<uint8_t> & bytes, size_t offset, int32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(offset + i) = uint8_t(uint32_t(value) >> (8 * i));
    }
}

int32_t kestu_writer_get_i32(const std::vector<uint8_t> & bytes, size_t offset) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) {
        u |= uint32_t(bytes.at(offset + i)) << (8 * i);
    }
    return int32_t(u);
}

const kestu_writer_record_span * kestu_writer_find_record(const kestu_writer_layout & layout, const std::string & name) {
    for (const kestu_writer_record_span & r : layout.records) {
        if (r.name == name) {
            return &r;
        }
    }
    return nullptr;
}
