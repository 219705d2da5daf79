// What the worker reads on standard input and what follows from a request's
// length: each request is a 32-bit sample count in host byte order followed
// by that many 32-bit floats of 16 kHz mono audio.

#include "worker.h"

#include <cmath>

bool read_exact(FILE * in, void * dst, size_t n) {
    // a pipe may hand over fewer bytes than asked; only a read of nothing
    // means the input ended
    char * p   = (char *) dst;
    size_t got = 0;
    while (got < n) {
        const size_t r = fread(p + got, 1, n - got, in);
        if (r == 0) {
            return false;
        }
        got += r;
    }
    return true;
}

int worker_fit_audio_ctx(uint32_t n_samples) {
    // 50 encoder positions per second of audio plus 128 of margin, rounded
    // up to a multiple of 64; never fewer than 512 nor more than the 1500 of
    // a full window
    const double x = ((double) n_samples / 16000.0 * 50.0 + 128.0 + 63.0) * 0.015625;
    const int    k = (int) x;
    if (k < 9) {
        return 512;
    }
    return k * 64 < 1500 ? k * 64 : 1500;
}

long worker_audio_ms(uint32_t n_samples) {
    return (long) (n_samples / 16);
}

bool all_finite(const float * samples, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (!std::isfinite(samples[i])) {
            return false;
        }
    }
    return true;
}
