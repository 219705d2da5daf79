// The worker's command line: model path, thread count, GPU word and fit
// word, in that order; anything after them is ignored.

#include "worker.h"

#include <cstdlib>
#include <cstring>

int worker_default_threads(unsigned hardware_threads) {
    if (hardware_threads > 7) {
        return 4;
    }
    if (hardware_threads >= 4) {
        return (int) (hardware_threads / 2);
    }
    // also when the machine reports no count at all
    return 1;
}

// atoi's reading (leading blanks, a sign, the digits up to the first other
// character) without its undefined overflow: out-of-range values saturate.
static long parse_leading_integer(const char * text) {
    return strtol(text, nullptr, 10);
}

bool worker_parse_args(int argc, const char * const * argv, unsigned hardware_threads, worker_settings & settings) {
    settings = worker_settings{};
    if (argc < 2) {
        return false;
    }
    settings.model_path = argv[1];

    const long requested = argc > 2 ? parse_leading_integer(argv[2]) : 0;
    if (requested < 1) {
        settings.n_threads = worker_default_threads(hardware_threads);
    } else if (requested > WORKER_MAX_THREADS) {
        settings.n_threads = WORKER_MAX_THREADS;
    } else {
        settings.n_threads = (int) requested;
    }

    settings.use_gpu = !(argc > 3 && strcmp(argv[3], "cpu") == 0);
    settings.fit     = argc > 4 && strcmp(argv[4], "fit") == 0;
    return true;
}
