#include "kestu-impl.h"

// Decisions around sampling: the hand-out of beam candidates, the per-step
// checks that complete or fail a decoder, the scores and entropy test after
// the token loop, and whether an attempt is accepted or the next temperature
// is tried.
//
// In the self-attention cache decoder j owns sequence id j; during the
// hand-out ids j + 8 hold the cells a decoder is about to take over, so that
// two decoders may swap histories without losing either.

#include <algorithm>
#include <limits>

namespace {

constexpr int32_t k_pos_all = std::numeric_limits<int32_t>::max(); // cells at positions 0 .. INT32_MAX - 1

bool same_tokens(const kestu_sequence & a, const kestu_sequence & b) {
    if (a.tokens.size() != b.tokens.size()) {
        return false;
    }
    for (size_t i = 0; i < a.tokens.size(); ++i) {
        if (a.tokens[i].id != b.tokens[i].id) {
            return false;
        }
    }
    return true;
}

// NaN sorts last instead of breaking the ordering
double sort_key(double x) {
    return std::isnan(x) ? -INFINITY : x;
}

bool active(const kestu_decoder & d) {
    return !d.completed && !d.failed;
}

} // namespace

void kestu_sequence_score(const kestu_full_params & params, kestu_sequence & sequence) {
    const int n = std::min<int>(sequence.result_len, (int) sequence.tokens.size());
    if (n <= 0) {
        return;
    }

    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += sequence.tokens[i].log_p;
    }
    sequence.sum_logprobs = sum;
    sequence.avg_logprobs = sum / n;

    if (params.beam_length_penalty > 0.0f) {
        const double penalty = std::pow((5.0 + n) / 6.0, (double) params.beam_length_penalty);
        sequence.score       = sum / penalty;
    } else {
        sequence.score = sequence.avg_logprobs;
    }

    // entropy of the ids of the last 32 tokens: low means a repeating loop
    std::map<kestu_token, int> counts;
    const int                  n_last = std::min(n, 32);
    for (int i = n - n_last; i < n; ++i) {
        counts[sequence.tokens[i].id]++;
    }
    double entropy = 0.0;
    for (const auto & kv : counts) {
        const double p = (double) kv.second / n_last;
        entropy -= p * std::log(p);
    }
    sequence.entropy = entropy;
}

void kestu_beam_hand_out(kestu_state & state, int n_cur, int i,
                         std::vector<std::vector<kestu_beam_candidate>> & beam_candidates,
                         std::vector<kestu_beam_candidate> & merged) {
    KESTU_ASSERT(n_cur <= KESTU_MAX_DECODERS && (int) beam_candidates.size() >= n_cur);

    merged.clear();
    for (int j = 0; j < n_cur; ++j) {
        if (beam_candidates[j].empty()) {
            continue;
        }
        state.n_sample++;
        for (auto & c : beam_candidates[j]) {
            merged.push_back(std::move(c));
        }
        beam_candidates[j].clear();
    }

    // stable: equal sums stay in decoder order, and in draw order within one
    std::stable_sort(merged.begin(), merged.end(), [](const kestu_beam_candidate & a, const kestu_beam_candidate & b) {
        return sort_key(a.sequence.sum_logprobs_all) > sort_key(b.sequence.sum_logprobs_all);
    });

    size_t c = 0;
    for (int j = 0; j < n_cur; ++j) {
        kestu_decoder & decoder = state.decoders[j];
        if (!active(decoder)) {
            continue;
        }
        if (merged.empty()) {
            // nothing was proposed: no decoder had a possible token
            decoder.failed   = true;
            decoder.no_token = true;
            continue;
        }
        if (c >= merged.size()) {
            c = 0;
        }
        const kestu_beam_candidate & cur = merged[c++];
        if (i > 0) {
            while (c < merged.size() && same_tokens(merged[c].sequence, cur.sequence)) {
                ++c;
            }
        }

        decoder.seek_delta = cur.seek_delta;
        decoder.has_ts     = cur.has_ts;
        decoder.sequence   = cur.sequence;
        decoder.grammar    = cur.grammar;

        kestu_kv_cache_seq_cp(state.kv_self, cur.decoder_idx, j + KESTU_MAX_DECODERS, 0, k_pos_all);
    }

    for (int j = 0; j < n_cur; ++j) {
        if (!active(state.decoders[j])) {
            continue;
        }
        kestu_kv_cache_drop_cells(state.kv_self, j, -1);
        kestu_kv_cache_seq_cp(state.kv_self, j + KESTU_MAX_DECODERS, j, 0, k_pos_all);
        kestu_kv_cache_drop_cells(state.kv_self, j + KESTU_MAX_DECODERS, -1);
    }
}

void kestu_decoder_check(const kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, int i, int n_max, int seek, int seek_end) {
    (void) state;
    if (!active(decoder) || decoder.sequence.tokens.empty()) {
        return;
    }
    const kestu_vocab &      vocab = ctx.vocab;
    const kestu_token_data & token = decoder.sequence.tokens.back();
    kestu_sequence &         seq   = decoder.sequence;

    if (token.id > vocab.token_beg) {
        const int32_t d = 2 * (token.id - vocab.token_beg);
        if (decoder.has_ts && decoder.seek_delta > d && seq.result_len < i) {
            // the timestamps went backwards
            decoder.failed = true;
            return;
        }
        decoder.seek_delta = d;
        seq.result_len     = i + 1;
        decoder.has_ts     = true;
    }

    if (!decoder.grammar.rules.empty() && !decoder.grammar.stacks.empty()) {
        const auto it = vocab.id_to_token.find(token.id);
        if (it == vocab.id_to_token.end() || it->second.rfind("[_", 0) != 0) {
            kestu_grammar_accept_token(vocab, decoder.grammar, token.id);
        }
    }

    const bool at_end = (int64_t) seek + decoder.seek_delta + 10 >= seek_end;
    // the token limit ends a sequence at the timestamp it forced; without
    // timestamps there is none, and the text is cut into segments afterwards
    const bool segment_full =
        params.max_segment_tokens > 0 && !params.no_timestamps && i >= params.max_segment_tokens;
    if (token.id == vocab.token_eot || segment_full || (decoder.has_ts && at_end)) {
        if (seq.result_len == 0 && !params.no_timestamps) {
            if (at_end) {
                seq.result_len = i + 1;
            } else {
                // ended with no timestamp while audio remains
                decoder.failed = true;
                return;
            }
        }
        if (params.one_segment_per_window || params.no_timestamps) {
            seq.result_len     = i + 1;
            decoder.seek_delta = 3000;
        }
        decoder.completed = true;
        return;
    }

    if (ctx.model.n_loaded == 0) {
        decoder.seek_delta = 3000;
        decoder.completed  = true;
        return;
    }
    if (i == n_max - 1 && (seq.result_len == 0 || decoder.seek_delta < 1500)) {
        // stuck repeating, or less than 15 s of the window decoded
        decoder.failed = true;
    }
}

int kestu_rank_decoders(kestu_state & state, const kestu_full_params & params, int n_cur, int best_decoder_id) {
    KESTU_ASSERT(n_cur >= 1 && n_cur <= KESTU_MAX_DECODERS);

    // an index from outside this attempt would pick a sequence of an earlier
    // attempt or window, whose audio is not the current one
    if (best_decoder_id < 0 || best_decoder_id >= n_cur) {
        best_decoder_id = 0;
    }

    double best_score = -INFINITY;
    for (int j = 0; j < n_cur; ++j) {
        kestu_decoder & decoder = state.decoders[j];
        if (decoder.failed) {
            continue;
        }
        kestu_sequence & seq = decoder.sequence;
        seq.tokens.resize(std::max(seq.result_len, 0));

        if (seq.result_len > 0) {
            kestu_sequence_score(params, seq);
            if (seq.result_len > 32 && seq.entropy < params.entropy_threshold) {
                decoder.failed = true;
                state.n_fail_h++;
                continue;
            }
        }

        if (seq.score > best_score) {
            best_score      = seq.score;
            best_decoder_id = j;
        }
    }
    return best_decoder_id;
}

bool kestu_accept_attempt(const kestu_state & state, const kestu_decoder & best, const kestu_full_params & params,
                          bool last_temperature) {
    if (last_temperature) {
        return true;
    }
    if (best.failed) {
        return false;
    }
    // a low average is accepted when the window is likely silence
    if (best.sequence.avg_logprobs < params.avg_logprob_threshold && state.no_speech_prob < params.no_speech_threshold) {
        return false;
    }
    return true;
}

bool kestu_attempt_found_no_token(const kestu_state & state, int n_cur) {
    for (int j = 0; j < n_cur; ++j) {
        if (!state.decoders[j].no_token) {
            return false;
        }
    }
    return n_cur > 0;
}
