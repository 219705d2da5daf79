#include "kestu-impl.h"

// Decisions around sampling: the hand-out of beam candidates, the per-step
// checks that complete or fail a decoder, the scores and entropy test after
// the token loop, and whether an attempt is accepted or the next temperature
// is tried.

void kestu_sequence_score(const kestu_full_params & params, kestu_sequence & sequence) {
    KESTU_NOT_BUILT();
}

void kestu_beam_hand_out(kestu_state & state, int n_cur, int i,
                         std::vector<std::vector<kestu_beam_candidate>> & beam_candidates,
                         std::vector<kestu_beam_candidate> & merged) {
    KESTU_NOT_BUILT();
}

void kestu_decoder_check(const kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, int i, int n_max, int seek, int seek_end) {
    KESTU_NOT_BUILT();
}

int kestu_rank_decoders(kestu_state & state, const kestu_full_params & params, int n_cur, int best_decoder_id) {
    KESTU_NOT_BUILT();
    return best_decoder_id;
}

bool kestu_accept_attempt(const kestu_state & state, const kestu_decoder & best, const kestu_full_params & params,
                          bool last_temperature) {
    KESTU_NOT_BUILT();
    return true;
}
