#include "kestu-impl.h"

// Log-mel spectrogram: 400-sample Hann frames every 160 samples, a recursive
// transform, power onto the model's mel filters, log10, then clamped to 8
// below the maximum and rescaled. Frames are spread over n_threads threads by
// stride, so each thread writes its own columns.

void kestu_fft(float * in, int N, float * out) {
    KESTU_NOT_BUILT();
}

int kestu_pcm_to_mel_with_state(struct kestu_context * ctx, struct kestu_state * state, const float * samples,
                                int n_samples, int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_pcm_to_mel(struct kestu_context * ctx, const float * samples, int n_samples, int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_set_mel_with_state(struct kestu_context * ctx, struct kestu_state * state, const float * data, int n_len,
                             int n_mel) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_set_mel(struct kestu_context * ctx, const float * data, int n_len, int n_mel) {
    KESTU_NOT_BUILT();
    return -1;
}
