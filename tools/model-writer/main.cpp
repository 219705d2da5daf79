// kestu-model-writer: writes a speech model file with random weights, or
// writes an existing model file again with another file type.
//
//   kestu-model-writer [--n_vocab N] [--n_audio_ctx N] ... [--ftype T]
//                      [--seed N] [--vocab FILE] OUT
//   kestu-model-writer --requantize IN --ftype T OUT
//
// --vocab reads one token text per line (the line break is not part of it).
// T is a file-type number or the name of its weight type (f32, f16, q4_0 ...).
#include "model-writer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// file types by the name of the weight type they give
static const struct {
    const char * name;
    int32_t ftype;
} k_ftypes[] = {
    {"f32", 0},    {"f16", 1},    {"q4_0", 2},   {"q4_1", 3},   {"q8_0", 7},   {"q5_0", 8},   {"q5_1", 9},
    {"q2_k", 10},  {"q3_k", 11},  {"q4_k", 12},  {"q5_k", 13},  {"q6_k", 14},  {"iq2_xxs", 15}, {"iq2_xs", 16},
    {"iq3_xxs", 17}, {"iq1_s", 18}, {"iq4_nl", 19}, {"iq3_s", 20}, {"iq2_s", 21}, {"iq4_xs", 22}, {"iq1_m", 23},
    {"bf16", 24}, {"mxfp4", 25}, {"nvfp4", 26}, {"q1_0", 27},  {"q2_0", 28},
};

static void usage(const char * argv0) {
    std::fprintf(stderr,
                 "usage: %s [options] OUT\n"
                 "       %s --requantize IN --ftype T OUT\n"
                 "  --n_vocab N --n_audio_ctx N --n_audio_state N --n_audio_head N --n_audio_layer N\n"
                 "  --n_text_ctx N --n_text_state N --n_text_head N --n_text_layer N --n_mels N\n"
                 "  --ftype T     file type: a number, or the layer matrices' type:\n"
                 "                f32 (0), f16 (1), q4_0 (2), q4_1 (3), q8_0 (7), q5_0 (8), q5_1 (9),\n"
                 "                q2_k (10) .. q6_k (14), iq2_xxs (15), iq2_xs (16), iq3_xxs (17), iq1_s (18),\n"
                 "                iq4_nl (19), iq3_s (20), iq2_s (21), iq4_xs (22), iq1_m (23), bf16 (24),\n"
                 "                mxfp4 (25), nvfp4 (26), q1_0 (27), q2_0 (28);\n"
                 "                convolution kernels are F16 unless the type is f32 (default 1)\n"
                 "  --seed N      random weights (default 1)\n"
                 "  --vocab FILE  one token text per line (default: generated)\n"
                 "  --requantize IN  write the model file IN again with the --ftype given\n",
                 argv0, argv0);
}

// a whole decimal number, or a name of k_ftypes (any case)
static bool parse_ftype(const char * text, int32_t & ftype) {
    std::string name = text;
    for (char & c : name) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const auto & f : k_ftypes) {
        if (name == f.name) {
            ftype = f.ftype;
            return true;
        }
    }
    char * end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    ftype = int32_t(v);
    return true;
}

static int requantize_file(const std::string & in, int32_t ftype, const std::string & out) {
    std::vector<uint8_t> bytes;
    try {
        std::ifstream f(in, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "cannot read %s\n", in.c_str());
            return 1;
        }
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        bytes = kestu_requantize_model(bytes, ftype);
    } catch (const std::exception & e) {
        std::fprintf(stderr, "%s: %s\n", in.c_str(), e.what());
        return 1;
    }
    FILE * f = std::fopen(out.c_str(), "wb");
    const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (!f || std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "failed to write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char ** argv) {
    kestu_model_recipe recipe;
    struct field {
        const char * flag;
        int32_t * value;
    } fields[] = {
        {"--n_vocab", &recipe.n_vocab},           {"--n_audio_ctx", &recipe.n_audio_ctx},
        {"--n_audio_state", &recipe.n_audio_state}, {"--n_audio_head", &recipe.n_audio_head},
        {"--n_audio_layer", &recipe.n_audio_layer}, {"--n_text_ctx", &recipe.n_text_ctx},
        {"--n_text_state", &recipe.n_text_state},   {"--n_text_head", &recipe.n_text_head},
        {"--n_text_layer", &recipe.n_text_layer},   {"--n_mels", &recipe.n_mels},
    };
    std::string out;
    std::string requantize;
    bool ftype_given = false;
    bool shape_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(argv[0]);
            return 0;
        }
        bool matched = false;
        for (const field & f : fields) {
            if (arg == f.flag && i + 1 < argc) {
                *f.value = int32_t(std::strtol(argv[++i], nullptr, 10));
                matched = true;
            }
        }
        if (matched) {
            shape_given = true;
            continue;
        }
        if (arg == "--ftype" && i + 1 < argc) {
            if (!parse_ftype(argv[++i], recipe.ftype)) {
                std::fprintf(stderr, "unknown file type %s\n", argv[i]);
                return 1;
            }
            ftype_given = true;
        } else if (arg == "--requantize" && i + 1 < argc) {
            requantize = argv[++i];
        } else if (arg == "--seed" && i + 1 < argc) {
            shape_given = true;
            recipe.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--vocab" && i + 1 < argc) {
            std::ifstream in(argv[++i], std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            for (std::string line; std::getline(in, line);) {
                recipe.vocab.push_back(line);
            }
            shape_given = true;
        } else if (!arg.empty() && arg[0] != '-' && out.empty()) {
            out = arg;
        } else {
            usage(argv[0]);
            return 1;
        }
    }
    if (out.empty()) {
        usage(argv[0]);
        return 1;
    }
    if (!requantize.empty()) {
        // everything but the file type comes from the model read
        if (!ftype_given || shape_given) {
            std::fprintf(stderr, "--requantize takes --ftype and no other model option\n");
            return 1;
        }
        return requantize_file(requantize, recipe.ftype, out);
    }
    if (!kestu_write_model_file(recipe, out)) {
        std::fprintf(stderr, "failed to write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
