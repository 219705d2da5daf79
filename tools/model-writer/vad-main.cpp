// kestu-vad-writer: writes a voice-activity model file.
//
//   kestu-vad-writer [--seed N] [--n_window N] OUT             random weights
//   kestu-vad-writer --constant speech|silence [--seed N] OUT  one answer for every window
//   kestu-vad-writer --energy RMS OUT                          speech above that noise level
#include "vad-writer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

static void usage(const char * argv0) {
    std::fprintf(stderr,
                 "usage: %s [options] OUT\n"
                 "  --seed N                   random weights (default 1)\n"
                 "  --n_window N               samples per window (default 512)\n"
                 "  --constant speech|silence  probability about 1 or 0 for every window\n"
                 "  --energy RMS               probability follows the window's energy: above 0.5\n"
                 "                             from about 1.1 x the level of white noise of that RMS\n",
                 argv0);
}

int main(int argc, char ** argv) {
    kestu_vad_model_recipe recipe;
    uint64_t             seed     = 1;
    int32_t              n_window = 0;
    std::string          constant;
    float                energy = 0.0f;
    std::string          out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(argv[0]);
            return 0;
        }
        if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--n_window" && i + 1 < argc) {
            n_window = int32_t(std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--constant" && i + 1 < argc) {
            constant = argv[++i];
        } else if (arg == "--energy" && i + 1 < argc) {
            energy = std::strtof(argv[++i], nullptr);
        } else if (!arg.empty() && arg[0] != '-' && out.empty()) {
            out = arg;
        } else {
            usage(argv[0]);
            return 1;
        }
    }
    if (out.empty() || (!constant.empty() && constant != "speech" && constant != "silence") ||
        (!constant.empty() && energy > 0.0f)) {
        usage(argv[0]);
        return 1;
    }
    if (!constant.empty()) {
        recipe = kestu_vad_constant_recipe(constant == "speech", seed);
    } else if (energy > 0.0f) {
        recipe = kestu_vad_energy_recipe(energy);
    } else {
        recipe.seed = seed;
    }
    if (n_window > 0) {
        recipe.n_window = n_window;
    }
    if (!kestu_write_vad_model_file(recipe, out)) {
        std::fprintf(stderr, "failed to write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
