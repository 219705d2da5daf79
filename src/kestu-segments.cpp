#include "kestu-impl.h"

// Segments and timestamps: the accepted tokens of a window cut at timestamp
// tokens, segment texts, live printing, token times from timestamp
// probabilities and signal energy, and the splitting of long segments.

std::string kestu_format_timestamp(int64_t t) {
    KESTU_NOT_BUILT();
    return std::string();
}

void kestu_compute_energy(std::vector<float> & energy, const float * samples, int n_samples) {
    KESTU_NOT_BUILT();
}

int kestu_cut_segments(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                       const std::vector<kestu_token_data> & tokens, int seek, int seek_delta) {
    KESTU_NOT_BUILT();
    return 0;
}

void kestu_exp_compute_token_level_timestamps(kestu_context & ctx, kestu_state & state, int i_segment,
                                              float thold_pt, float thold_ptsum) {
    KESTU_NOT_BUILT();
}

int kestu_split_long_segment(kestu_context & ctx, kestu_state & state, int max_len, bool split_on_word) {
    KESTU_NOT_BUILT();
    return 1;
}
