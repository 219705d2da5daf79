// Fuzz target: the suppress pattern and the token texts it is matched
// against. The input is the pattern, then NUL-separated token texts. The
// pattern is compiled as the driver compiles it; an accepted one is run
// through the logits step that masks every token whose text it matches,
// with the texts standing in for the vocabulary's.
//
// What must hold: a refused pattern is refused with an error line; matching
// ends promptly (libFuzzer's -timeout) without overflowing the stack; a text
// longer than KESTU_SUPPRESS_TEXT_MAX_LEN is never masked by the pattern.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include "kestu-impl.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

int fuzz_suppress_pattern(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    static kestu_context * ctx = fuzz_tiny_context(fuzz_tiny_recipe(300, 64, 16, 4, 1), true);

    const std::string        input(reinterpret_cast<const char *>(data), size);
    const size_t             end_of_pattern = input.find('\0');
    const std::string        pattern        = input.substr(0, end_of_pattern);
    std::vector<std::string> texts;
    if (end_of_pattern != std::string::npos) {
        for (size_t p = end_of_pattern + 1; p <= input.size();) {
            const size_t e = std::min(input.find('\0', p), input.size());
            texts.push_back(input.substr(p, e - p));
            p = e + 1;
        }
    }

    std::regex re;
    const int  errors_before = fuzz_error_lines();
    if (!kestu_compile_suppress_pattern(pattern.c_str(), re)) {
        FUZZ_CHECK(fuzz_error_lines() > errors_before);
        return 0;
    }

    // the texts take the ids of the first text tokens for this one step
    kestu_vocab & vocab = ctx->vocab;
    std::map<kestu_token, std::string> own;
    for (size_t i = 0; i < texts.size() && (int) i < vocab.token_eot; i++) {
        own[(kestu_token) i] = texts[i];
    }
    std::swap(vocab.id_to_token, own);

    // only the pattern may mask a text token here: no other suppression, and
    // no timestamp mass that would outweigh the text
    kestu_full_params params     = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    params.suppress_pattern      = pattern.c_str();
    params.suppress_non_speech   = false;
    params.first_timestamp_limit = 0.0f;

    kestu_decoder decoder;
    decoder.logits.assign(vocab.n_vocab, 0.0f);
    std::fill(decoder.logits.begin() + vocab.token_beg, decoder.logits.end(), -INFINITY);
    decoder.logprobs.assign(vocab.n_vocab, 0.0f);
    decoder.probs.assign(vocab.n_vocab, 0.0f);
    kestu_filter_logits_end(*ctx, *ctx->state, decoder, params, &re);

    std::swap(vocab.id_to_token, own);

    for (size_t i = 0; i < texts.size() && (int) i < vocab.token_eot; i++) {
        if (texts[i].size() > KESTU_SUPPRESS_TEXT_MAX_LEN) {
            FUZZ_CHECK(decoder.logits[i] == 0.0f);
        }
    }
    return 0;
}
