#include "kestu-impl.h"

// Sampling: each active decoder takes its most probable token or draws one
// with its own generator (greedy), or proposes beam_width draws (beam search).
// Worker threads take decoder indices from one atomic counter.

kestu_token_data kestu_sample_token(const kestu_context & ctx, kestu_decoder & decoder, bool best) {
    KESTU_NOT_BUILT();
    return kestu_token_data{};
}

std::vector<kestu_token_data> kestu_sample_token_topk(const kestu_context & ctx, kestu_decoder & decoder, int k) {
    KESTU_NOT_BUILT();
    return {};
}

void kestu_decoder_job(std::atomic<int32_t> & next_decoder, int32_t n_decoders, kestu_state & state,
                       const kestu_full_params & params, float temperature, const kestu_context & ctx,
                       std::vector<std::vector<kestu_beam_candidate>> & beam_candidates) {
    KESTU_NOT_BUILT();
}
