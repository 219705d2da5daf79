#include "kestu-impl.h"

// Grammar-constrained sampling: parse stacks over the caller's rules say which
// characters may come next; tokens are matched by their UTF-8 code points,
// and a token may end inside a character.

std::pair<std::vector<uint32_t>, kestu_partial_utf8> kestu_utf8_decode_partial(const char * text,
                                                                             kestu_partial_utf8 partial_start) {
    KESTU_NOT_BUILT();
    return {std::vector<uint32_t>{0}, kestu_partial_utf8{0, -1}};
}

void kestu_grammar_expand_stack(const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
                                kestu_grammar_stacks & new_stacks) {
    KESTU_NOT_BUILT();
}

std::vector<kestu_grammar_candidate> kestu_grammar_filter_for_stack(
    const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
    const std::vector<kestu_grammar_candidate> & candidates) {
    KESTU_NOT_BUILT();
    return {};
}

std::vector<kestu_grammar_candidate> kestu_grammar_filter_candidates(
    const kestu_grammar_rules & rules, const kestu_grammar_stacks & stacks,
    const std::vector<kestu_grammar_candidate> & candidates) {
    KESTU_NOT_BUILT();
    return {};
}

kestu_grammar kestu_grammar_init(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule) {
    KESTU_NOT_BUILT();
    return kestu_grammar{};
}

void kestu_grammar_accept_token(const kestu_vocab & vocab, kestu_grammar & grammar, kestu_token token) {
    KESTU_NOT_BUILT();
}
