#include "kestu-impl.h"

// Logits processing of one decoder: temperature, the masks of special,
// timestamp and suppressed tokens, the caller's callback, log-softmax, the
// timestamp-against-text rule and the grammar penalty. Leaves logits,
// logprobs and probs for sampling.

void kestu_filter_logits_begin(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                               const kestu_full_params & params, float temperature) {
    KESTU_NOT_BUILT();
}

void kestu_filter_logits_end(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                             const kestu_full_params & params, const std::regex * suppress_re) {
    KESTU_NOT_BUILT();
}

void kestu_filter_logits(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, float temperature, const std::regex * suppress_re) {
    KESTU_NOT_BUILT();
}
