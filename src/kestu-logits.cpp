#include "kestu-impl.h"

// Logits processing of one decoder: temperature, the masks of special,
// timestamp and suppressed tokens, the caller's callback, log-softmax, the
// timestamp-against-text rule and the grammar penalty. Leaves logits,
// logprobs and probs for sampling.
//
// The work is split around the caller's callback: _begin and _end may run on
// sampling threads (one decoder per thread), the callback only on the caller's.
// The same masks tell the driver, before decoding, which text tokens a
// window's text may begin with, so that it can refuse a grammar none of
// them begins.

#include <algorithm>

namespace {

// -inf over the ids [from, to), clamped to the vocabulary
void mask_range(std::vector<float> & v, int64_t from, int64_t to) {
    from = std::max<int64_t>(from, 0);
    to   = std::min<int64_t>(to, (int64_t) v.size());
    if (from < to) {
        std::fill(v.begin() + from, v.begin() + to, -INFINITY);
    }
}

void mask_id(std::vector<float> & v, int64_t id) {
    mask_range(v, id, id + 1);
}

void mask_text(std::vector<float> & v, const kestu_vocab & vocab, const std::string & text) {
    const auto it = vocab.token_to_id.find(text);
    if (it != vocab.token_to_id.end()) {
        mask_id(v, it->second);
    }
}

// The masks before the caller's callback: the blank at the start, the
// no-timestamps token, timestamps or a full segment, the special tokens. The
// callback may lift them again.
void mask_before_callback(const kestu_vocab & vocab, const kestu_full_params & params,
                          const std::vector<kestu_token_data> & tokens, std::vector<float> & logits) {
    const int n_logits = (int) logits.size();

    if (tokens.empty() && params.suppress_leading_blank) {
        mask_id(logits, vocab.token_eot);
        mask_text(logits, vocab, " ");
    }

    mask_id(logits, vocab.token_not);

    if (params.no_timestamps) {
        mask_range(logits, vocab.token_beg, n_logits);
    } else if (params.max_segment_tokens > 0 && !params.one_segment_per_window &&
               (int64_t) tokens.size() >= params.max_segment_tokens && vocab.token_eot > 0) {
        // the segment is full: a timestamp (or a special token) must come next
        mask_range(logits, 0, vocab.token_eot);
    }

    mask_id(logits, vocab.token_sot);
    mask_id(logits, vocab.token_nosp);
    if (!params.speaker_turn_detection) {
        mask_id(logits, vocab.token_solm);
    }
    mask_id(logits, vocab.token_translate);
    mask_id(logits, vocab.token_transcribe);
    mask_id(logits, vocab.token_prev);
    for (const auto & lang : kestu_languages) {
        mask_id(logits, (int64_t) vocab.token_sot + 1 + lang.second.first);
    }
}

// The masks after the callback: the suppress pattern, the non-speech tokens
// and the timestamp rules, all from the parameters and the decoder's tokens.
void mask_after_callback(const kestu_context & ctx, const kestu_decoder & decoder, const kestu_full_params & params,
                         const std::regex * suppress_re, std::vector<float> & logits) {
    const kestu_vocab & vocab    = ctx.vocab;
    const int           n_logits = (int) logits.size();
    const int           beg      = vocab.token_beg;

    if (suppress_re) {
        for (const auto & [id, text] : vocab.id_to_token) {
            if (text.size() > KESTU_SUPPRESS_TEXT_MAX_LEN) {
                // the backtracking engine's time and stack grow with the text
                continue;
            }
            bool match = false;
            try {
                match = std::regex_match(text, *suppress_re);
            } catch (const std::regex_error &) {
                // a pattern too costly for one text suppresses nothing there;
                // this may run on a sampling thread, where nothing may escape
            }
            if (match) {
                mask_id(logits, id);
            }
        }
    }

    if (params.suppress_non_speech) {
        for (const std::string & text : kestu_non_speech_tokens) {
            mask_text(logits, vocab, text);
            mask_text(logits, vocab, " " + text);
        }
        mask_text(logits, vocab, " -");
        mask_text(logits, vocab, " '");
    }

    const auto & tokens = decoder.sequence.tokens;

    if (!tokens.empty()) {
        const bool last_was_ts = tokens.back().id >= beg;
        const bool prev_was_ts = tokens.size() < 2 || tokens[tokens.size() - 2].id >= beg;
        if (last_was_ts) {
            if (prev_was_ts) {
                // a lone timestamp at the start, or the second of a pair: text next
                mask_range(logits, beg, n_logits);
            } else {
                // text, then a timestamp: a second timestamp (or the end) next
                mask_range(logits, 0, vocab.token_eot);
            }
        }
    }

    if (tokens.empty() && params.first_timestamp_limit > 0.0f) {
        const float precision = 30.0f / (float) ctx.model.hparams.n_audio_ctx;
        // rounded in double and compared before any int conversion, so a huge
        // limit masks nothing instead of overflowing
        const double k    = std::round((double) (params.first_timestamp_limit / precision));
        const int    n_ts = n_logits - beg;
        if (std::isfinite(k) && k + 1 < (double) n_ts) {
            mask_range(logits, (int64_t) beg + (int64_t) k + 1, n_logits);
        }
    }

    if (decoder.has_ts && decoder.seek_delta > 1) {
        // timestamps may not go back before the last one sampled
        const int tid0 = std::max(decoder.seek_delta / 2, 1);
        mask_range(logits, beg, (int64_t) beg + tid0);
    }
}

// logprobs = log-softmax of logits; -inf stays -inf. One +inf is the limit
// of a logit that outgrows all others: it takes the whole probability. A NaN,
// or two +inf (whose ratio is unknown), leave no distribution at all: every
// logprob is -inf, so no token is possible and the decoder fails.
void log_softmax(const std::vector<float> & logits, std::vector<float> & logprobs) {
    float  m     = -INFINITY;
    int    n_inf = 0;
    size_t i_inf = 0;
    for (size_t i = 0; i < logits.size(); ++i) {
        const float x = logits[i];
        if (std::isnan(x)) {
            n_inf = 2;
            break;
        }
        if (x == INFINITY) {
            n_inf++;
            i_inf = i;
        } else {
            m = std::max(m, x);
        }
    }
    if (n_inf > 0) {
        std::fill(logprobs.begin(), logprobs.end(), -INFINITY);
        if (n_inf == 1) {
            logprobs[i_inf] = 0.0f;
        }
        return;
    }
    double s = 0.0;
    for (float x : logits) {
        if (x != -INFINITY) {
            s += std::exp((double) x - m);
        }
    }
    const float lse = (float) (m + std::log(s));
    for (size_t i = 0; i < logits.size(); ++i) {
        logprobs[i] = logits[i] == -INFINITY ? -INFINITY : logits[i] - lse;
    }
}

// lowers the logits of the text tokens the decoder's grammar rejects; a
// grammar that lost every parse stack rejects them all, so that its text
// can only end
void apply_grammar(const kestu_context & ctx, kestu_decoder & decoder, const kestu_full_params & params) {
    if (decoder.grammar.rules.empty()) {
        return;
    }
    for (const kestu_token id : kestu_grammar_rejected_tokens(ctx.vocab, decoder.grammar)) {
        if (id >= 0 && id < (kestu_token) decoder.logits.size()) {
            decoder.logits[id] -= params.grammar_reject_penalty;
        }
    }
}

} // namespace

void kestu_filter_logits_begin(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                               const kestu_full_params & params, float temperature) {
    const kestu_vocab & vocab = ctx.vocab;

    const int n_logits = (int) vocab.id_to_token.size();
    KESTU_ASSERT(n_logits == ctx.vocab.n_vocab);

    // the decoder's row must lie inside the last run's output
    KESTU_ASSERT(decoder.i_batch >= 0 &&
                 ((size_t) decoder.i_batch + 1) * (size_t) n_logits <= state.logits.size());

    auto & logits = decoder.logits;
    logits.resize(n_logits);
    std::copy_n(state.logits.begin() + (size_t) decoder.i_batch * n_logits, n_logits, logits.begin());

    if (temperature > 0.0f) {
        bool overflow = false;
        for (float & x : logits) {
            const float y = x / temperature;
            overflow      = overflow || (std::isinf(y) && std::isfinite(x));
            x             = y;
        }
        if (overflow) {
            // so small a temperature would leave several +inf and no
            // distribution; its limit is the most probable token, which the
            // unscaled logits give as at temperature 0
            std::copy_n(state.logits.begin() + (size_t) decoder.i_batch * n_logits, n_logits, logits.begin());
        }
    }

    decoder.probs.resize(n_logits);
    decoder.logprobs.resize(n_logits);

    mask_before_callback(vocab, params, decoder.sequence.tokens, logits);
}

void kestu_filter_logits_end(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                             const kestu_full_params & params, const std::regex * suppress_re) {
    (void) state;
    const kestu_vocab & vocab = ctx.vocab;

    auto &    logits   = decoder.logits;
    auto &    logprobs = decoder.logprobs;
    auto &    probs    = decoder.probs;
    const int n_logits = (int) logits.size();
    KESTU_ASSERT(n_logits == vocab.n_vocab && (int) logprobs.size() == n_logits && (int) probs.size() == n_logits);

    const int beg = vocab.token_beg;

    mask_after_callback(ctx, decoder, params, suppress_re, logits);

    log_softmax(logits, logprobs);

    {
        // the summed timestamp probability against the best single text token
        float ts_max = -INFINITY;
        for (int i = std::max(beg, 0); i < n_logits; ++i) {
            ts_max = std::max(ts_max, logprobs[i]);
        }
        float ts = -INFINITY;
        if (ts_max != -INFINITY) {
            double s = 0.0;
            for (int i = std::max(beg, 0); i < n_logits; ++i) {
                if (logprobs[i] != -INFINITY) {
                    s += std::exp((double) logprobs[i] - ts_max);
                }
            }
            ts = s > 0.0 ? (float) (std::log(s) + ts_max) : -INFINITY;
        }

        float tmax = n_logits > 0 ? logprobs[0] : -INFINITY;
        for (int i = 1; i < std::min(beg, n_logits); ++i) {
            tmax = std::max(tmax, logprobs[i]);
        }

        if (ts > tmax) {
            mask_range(logits, 0, beg);
            mask_range(logprobs, 0, beg);
        } else if (params.grammar_rule_count > 0) {
            apply_grammar(ctx, decoder, params);
            log_softmax(logits, logprobs);
        }
    }

    for (int i = 0; i < n_logits; ++i) {
        probs[i] = logits[i] == -INFINITY ? 0.0f : std::exp(logprobs[i]);
    }
}

void kestu_filter_logits(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, float temperature, const std::regex * suppress_re) {
    kestu_filter_logits_begin(ctx, state, decoder, params, temperature);
    if (params.on_logits) {
        params.on_logits(&ctx, &state, decoder.sequence.tokens.data(), (int) decoder.sequence.tokens.size(),
                         decoder.logits.data(), params.on_logits_user_data);
    }
    kestu_filter_logits_end(ctx, state, decoder, params, suppress_re);
}

std::vector<bool> kestu_first_text_tokens(const kestu_context & ctx, const kestu_full_params & params,
                                          const std::regex * suppress_re) {
    const kestu_vocab & vocab = ctx.vocab;
    const int           n     = vocab.n_vocab;
    const int           eot   = std::clamp(vocab.token_eot, 0, n);

    // logits processing of a decoder after `before`, from logits of 0: what
    // it leaves, the callback aside, which may lift the masks before it
    kestu_decoder decoder; // as a window's attempt starts it
    auto          left_after = [&](const std::vector<kestu_token_data> & before) {
        decoder.sequence.tokens = before;
        decoder.logits.assign((size_t) n, 0.0f);
        if (params.on_logits == nullptr) {
            mask_before_callback(vocab, params, decoder.sequence.tokens, decoder.logits);
        }
        mask_after_callback(ctx, decoder, params, suppress_re, decoder.logits);
        return decoder.logits;
    };

    const std::vector<float> first = left_after({});
    std::vector<bool>        takes((size_t) eot, false);
    for (int id = 0; id < eot; id++) {
        takes[id] = first[id] != -INFINITY;
    }

    // A first token that is neither text nor the end (a timestamp, a speaker
    // turn) leaves the grammar where it was, and the step after it no longer
    // suppresses the blank. Which one it was changes nothing for the text
    // tokens of that step.
    for (int id = eot + 1; id < n; id++) {
        if (first[id] == -INFINITY) {
            continue;
        }
        kestu_token_data taken{};
        taken.id                 = id;
        const std::vector<float> next = left_after({taken});
        for (int t = 0; t < eot; t++) {
            takes[t] = takes[t] || next[t] != -INFINITY;
        }
        break;
    }
    return takes;
}
