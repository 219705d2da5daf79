// Fuzz target: a voice-activity model file, read through a loader over the
// input. A refused file must be refused with an error line and no context;
// an accepted one must compute probabilities for a little audio.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include <cstring>
#include <vector>

namespace {

struct memory_stream {
    const uint8_t * data;
    size_t          size;
    size_t          offset;
};

size_t memory_read(void * ctx, void * output, size_t read_size) {
    memory_stream * m = static_cast<memory_stream *>(ctx);
    const size_t    n = read_size < m->size - m->offset ? read_size : m->size - m->offset;
    if (n > 0) {
        memcpy(output, m->data + m->offset, n);
    }
    m->offset += n;
    return n;
}

bool memory_eof(void * ctx) {
    const memory_stream * m = static_cast<const memory_stream *>(ctx);
    return m->offset >= m->size;
}

void memory_close(void * ctx) {
    (void) ctx;
}

} // namespace

int fuzz_vad_model(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();

    std::vector<uint8_t> image(data, data + size);
    memory_stream        stream{image.data(), image.size(), 0};
    kestu_model_loader   loader{&stream, memory_read, memory_eof, memory_close};

    kestu_vad_context_params params = kestu_vad_default_context_params();
    params.n_threads                = 1;
    params.use_gpu                  = false;

    const int           errors_before = fuzz_error_lines();
    kestu_vad_context * vctx          = kestu_vad_init_with_params(&loader, params);
    if (vctx == nullptr) {
        FUZZ_CHECK(fuzz_error_lines() > errors_before);
        return 0;
    }

    // a loaded model computes: one probability per window, each in [0, 1]
    std::vector<float> samples(2048);
    for (size_t i = 0; i < samples.size(); i++) {
        samples[i] = (float) ((i * 7919) % 200) / 1000.0f - 0.1f;
    }
    if (kestu_vad_detect_speech(vctx, samples.data(), (int) samples.size())) {
        const int     n     = kestu_vad_n_probs(vctx);
        const float * probs = kestu_vad_probs(vctx);
        FUZZ_CHECK(n >= 0);
        for (int i = 0; i < n; i++) {
            // NaN weights may give NaN; anything else must be a probability
            FUZZ_CHECK(probs[i] != probs[i] || (probs[i] >= 0.0f && probs[i] <= 1.0f));
        }
    }
    kestu_vad_free(vctx);
    return 0;
}
