#include "kestu-impl.h"

// The transcription driver: spectrogram, optional language detection, checks
// of the request, prompt, then 30-second windows: one encoder run, decoder
// attempts in temperature order until one is accepted, segments, and the
// advance of the window start.

std::vector<float> kestu_temperature_list(float start_temperature, float temperature_step) {
    KESTU_NOT_BUILT();
    return {};
}

int kestu_full_with_state(struct kestu_context * ctx, struct kestu_state * state, struct kestu_full_params params,
                          const float * samples, int n_samples) {
    KESTU_NOT_BUILT();
    return KESTU_FULL_ERR_ENCODE;
}

int kestu_full(struct kestu_context * ctx, struct kestu_full_params params, const float * samples, int n_samples) {
    KESTU_NOT_BUILT();
    return KESTU_FULL_ERR_ENCODE;
}
