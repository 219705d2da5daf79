#include "kestu-vad-impl.h"

// The voice-activity pre-filter of the transcription driver: only the speech
// of the input is kept, with short silences between segments, and the state
// records how times of the filtered audio map back to the input.

bool kestu_vad(kestu_context * ctx, kestu_state * state, const float * samples, int n_samples,
               std::vector<float> & filtered, kestu_full_params params) {
    KESTU_NOT_BUILT();
    return false;
}
