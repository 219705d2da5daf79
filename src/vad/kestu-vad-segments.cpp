#include "kestu-vad-impl.h"

// Speech segments from window probabilities: a hysteresis over the windows,
// then merging across short gaps, dropping short segments and padding.

struct kestu_vad_segments * kestu_vad_segments_from_probs(struct kestu_vad_context * ctx,
                                                          struct kestu_vad_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_vad_segments * kestu_vad_segments_from_samples(struct kestu_vad_context * ctx, const float * samples,
                                                            int n_samples, struct kestu_vad_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

int kestu_vad_segments_n_segments(const struct kestu_vad_segments * segments) {
    KESTU_NOT_BUILT();
    return 0;
}

float kestu_vad_segments_get_segment_t0(const struct kestu_vad_segments * segments, int i_segment) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

float kestu_vad_segments_get_segment_t1(const struct kestu_vad_segments * segments, int i_segment) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

void kestu_vad_free_segments(struct kestu_vad_segments * segments) {
    KESTU_NOT_BUILT();
}
