// What the worker reads on standard input and what follows from a request's
// length: each request is a 32-bit sample count in host byte order followed
// by that many 32-bit floats of 16 kHz mono audio.

#include "worker.h"

#include <poll.h>

#include <cerrno>
#include <cmath>

bool worker_retry_io(int fd, int err, bool writing) {
    if (err == EINTR) {
        return true;
    }
    if ((err != EAGAIN && err != EWOULDBLOCK) || fd < 0) {
        return false;
    }
    pollfd p = {fd, (short) (writing ? POLLOUT : POLLIN), 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    return true;
}

bool read_exact(FILE * in, void * dst, size_t n) {
    // a pipe may hand over fewer bytes than asked; only a read of nothing
    // means the input ended
    char * p   = (char *) dst;
    size_t got = 0;
    while (got < n) {
        errno          = 0;
        const size_t r = fread(p + got, 1, n - got, in);
        got += r;
        if (ferror(in)) {
            if (!worker_retry_io(fileno(in), errno, false)) {
                return false;
            }
            clearerr(in);
        } else if (r == 0) {
            return false;
        }
    }
    return true;
}

int worker_fit_audio_ctx(uint32_t n_samples, int model_audio_ctx) {
    // 50 encoder positions per second of audio plus 128 of margin, rounded
    // up to a multiple of 64; never fewer than 512 nor more than the 1500 of
    // a full window, and never more than the model has (a larger context is
    // refused by the library)
    const double x   = ((double) n_samples / 16000.0 * 50.0 + 128.0 + 63.0) * 0.015625;
    const int    k   = (int) x;
    int          ctx = k < 9 ? 512 : k * 64 < 1500 ? k * 64 : 1500;
    if (model_audio_ctx > 0 && ctx > model_audio_ctx) {
        ctx = model_audio_ctx;
    }
    return ctx;
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
