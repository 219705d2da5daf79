// Fuzz target: grammar rules, and the texts of the tokens decoded under
// them. Input: the start rule (one byte), the count of rule elements (one
// byte), the elements (three bytes each: the low four bits of the first are
// the type, its high four bits and the next two bytes the value), then
// NUL-separated token texts. A rule ends at each END element; the last one is
// ended for the caller, as a caller must end every rule.
//
// An accepted grammar steers a few decoding steps: the logits step lowers the
// tokens it rejects, the best token is accepted, and so on.
//
// What must hold: invalid rules are refused with an error line and give an
// empty grammar; valid ones never crash, loop or blow up; a token the filter
// let through leaves the grammar something to go on with once accepted.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include "kestu-impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_STEPS = 8;

} // namespace

int fuzz_grammar(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    static kestu_context * ctx = fuzz_tiny_context(fuzz_tiny_recipe(300, 64, 16, 4, 1), true);
    if (size < 2) {
        return 0;
    }

    const size_t start_rule = data[0];
    const size_t n_elements = std::min<size_t>(data[1], (size - 2) / 3);
    std::vector<std::vector<kestu_grammar_element>> rules(1);
    for (size_t i = 0; i < n_elements; i++) {
        const uint8_t * e     = data + 2 + 3 * i;
        const int       type  = e[0] & 15;
        const uint32_t  value = (uint32_t) e[1] | ((uint32_t) e[2] << 8) | ((uint32_t) (e[0] >> 4) << 16);
        // stored as a C caller would store it: any number, enumerator or not
        kestu_grammar_element element{KESTU_GRETYPE_END, value};
        memcpy(&element.type, &type, sizeof(type));
        rules.back().push_back(element);
        if (type == KESTU_GRETYPE_END) {
            rules.emplace_back();
        }
    }
    if (rules.back().empty()) {
        rules.pop_back();
    } else {
        rules.back().push_back({KESTU_GRETYPE_END, 0});
    }
    std::vector<const kestu_grammar_element *> list;
    for (const auto & r : rules) {
        list.push_back(r.data());
    }

    std::vector<std::string> texts;
    for (size_t p = 2 + 3 * n_elements; p < size;) {
        const uint8_t * nul = (const uint8_t *) memchr(data + p, 0, size - p);
        const size_t    e   = nul != nullptr ? (size_t) (nul - data) : size;
        texts.emplace_back((const char *) data + p, e - p);
        p = e + 1;
    }

    const int errors_before = fuzz_error_lines();
    if (!kestu_grammar_validate(list.data(), list.size(), start_rule)) {
        FUZZ_CHECK(fuzz_error_lines() > errors_before);
        const kestu_grammar g = kestu_grammar_init(list.data(), list.size(), start_rule);
        FUZZ_CHECK(g.rules.empty() && g.stacks.empty());
        return 0;
    }

    // the texts take the ids of the first text tokens for these steps
    kestu_vocab &                      vocab = ctx->vocab;
    std::map<kestu_token, std::string> own;
    for (size_t i = 0; i < texts.size() && (int) i < vocab.token_eot; i++) {
        own[(kestu_token) i] = texts[i];
    }
    const kestu_token n_texts = (kestu_token) own.size();
    std::swap(vocab.id_to_token, own);

    kestu_full_params params      = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    params.grammar_rule_list      = list.data();
    params.grammar_rule_count     = list.size();
    params.grammar_start_rule     = start_rule;
    params.grammar_reject_penalty = 100.0f;
    params.suppress_non_speech    = false;
    params.first_timestamp_limit  = 0.0f;

    kestu_decoder decoder;
    decoder.grammar = kestu_grammar_init(list.data(), list.size(), start_rule);
    for (size_t step = 0; step < MAX_STEPS && n_texts > 0 && !decoder.grammar.stacks.empty(); step++) {
        // only the texts compete, on equal terms until the grammar speaks
        decoder.logits.assign(vocab.n_vocab, -INFINITY);
        std::fill(decoder.logits.begin(), decoder.logits.begin() + n_texts, 0.0f);
        decoder.logprobs.assign(vocab.n_vocab, 0.0f);
        decoder.probs.assign(vocab.n_vocab, 0.0f);
        kestu_filter_logits_end(*ctx, *ctx->state, decoder, params, nullptr);

        const kestu_token best =
            (kestu_token) (std::max_element(decoder.logits.begin(), decoder.logits.begin() + n_texts) -
                           decoder.logits.begin());
        const bool let_through = decoder.logits[best] == 0.0f && !vocab.id_to_token[best].empty();
        kestu_grammar_accept_token(vocab, decoder.grammar, best);
        if (let_through) {
            FUZZ_CHECK(!decoder.grammar.stacks.empty());
        }
    }

    std::swap(vocab.id_to_token, own);
    return 0;
}
