#include "kestu-impl.h"

// Token-level timestamps by dynamic time warping: the window's text tokens
// are decoded once more while the alignment heads' cross-attention weights are
// kept; normalised, median-filtered and averaged, they form a cost matrix
// whose cheapest path gives each token its audio position.

void kestu_dtw_median_filter(tevo_tensor * dst, const tevo_tensor * a, int ith, int nth, void * userdata) {
    KESTU_NOT_BUILT();
}

tevo_tensor * kestu_dtw_path(tevo_context * ctx, tevo_tensor * x) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_dtw_timestamps(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                          int i_segment, int n_segments, int seek, int n_frames, int medfilt_width,
                          int n_threads) {
    KESTU_NOT_BUILT();
}
