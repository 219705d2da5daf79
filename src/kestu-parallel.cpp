#include "kestu-impl.h"

// Parallel transcription: the audio cut into equal chunks, the first on the
// context's state, each other on a state and thread of its own; their
// segments are then shifted to their chunk's place and appended.

int kestu_full_parallel(struct kestu_context * ctx, struct kestu_full_params params, const float * samples,
                        int n_samples, int n_processors) {
    KESTU_NOT_BUILT();
    return KESTU_FULL_ERR_ENCODE;
}
