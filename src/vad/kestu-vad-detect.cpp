#include "kestu-vad-impl.h"

// The voice-activity network over audio: one graph per window of n_window
// samples (transform by convolution, convolutional encoder, one recurrent
// cell step), one speech probability per window; the cell state carries over.

tevo_cgraph * kestu_vad_graph_for_window(kestu_vad_context * vctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_vad_reset_state(struct kestu_vad_context * ctx) {
    KESTU_NOT_BUILT();
}

bool kestu_vad_detect_speech_no_reset(struct kestu_vad_context * ctx, const float * samples, int n_samples) {
    KESTU_NOT_BUILT();
    return false;
}

bool kestu_vad_detect_speech(struct kestu_vad_context * ctx, const float * samples, int n_samples) {
    KESTU_NOT_BUILT();
    return false;
}

int kestu_vad_n_probs(struct kestu_vad_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

float * kestu_vad_probs(struct kestu_vad_context * ctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}
