// kestu-model-writer: writes a speech model file with random weights.
//
//   kestu-model-writer [--n_vocab N] [--n_audio_ctx N] ... [--ftype N]
//                      [--seed N] [--vocab FILE] OUT
//
// --vocab reads one token text per line (the line break is not part of it).
#include "model-writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

static void usage(const char * argv0) {
    std::fprintf(stderr,
                 "usage: %s [options] OUT\n"
                 "  --n_vocab N --n_audio_ctx N --n_audio_state N --n_audio_head N --n_audio_layer N\n"
                 "  --n_text_ctx N --n_text_state N --n_text_head N --n_text_layer N --n_mels N\n"
                 "  --ftype N     0: F32 weights, 1: F16 matrices and convolution kernels\n"
                 "  --seed N      random weights (default 1)\n"
                 "  --vocab FILE  one token text per line (default: generated)\n",
                 argv0);
}

int main(int argc, char ** argv) {
    kestu_model_spec spec;
    struct field {
        const char * flag;
        int32_t * value;
    } fields[] = {
        {"--n_vocab", &spec.n_vocab},           {"--n_audio_ctx", &spec.n_audio_ctx},
        {"--n_audio_state", &spec.n_audio_state}, {"--n_audio_head", &spec.n_audio_head},
        {"--n_audio_layer", &spec.n_audio_layer}, {"--n_text_ctx", &spec.n_text_ctx},
        {"--n_text_state", &spec.n_text_state},   {"--n_text_head", &spec.n_text_head},
        {"--n_text_layer", &spec.n_text_layer},   {"--n_mels", &spec.n_mels},
        {"--ftype", &spec.ftype},
    };
    std::string out;
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
            continue;
        }
        if (arg == "--seed" && i + 1 < argc) {
            spec.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--vocab" && i + 1 < argc) {
            std::ifstream in(argv[++i], std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            for (std::string line; std::getline(in, line);) {
                spec.vocab.push_back(line);
            }
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
    if (!kestu_write_model_file(spec, out)) {
        std::fprintf(stderr, "failed to write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
