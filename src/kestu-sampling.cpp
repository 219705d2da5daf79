#include "kestu-impl.h"

// Sampling: each active decoder takes its most probable token or draws one
// with its own generator (greedy), or proposes beam_width draws (beam search).
// Worker threads take decoder indices from one atomic counter; a decoder's
// draws depend only on its own generator, so the tokens do not depend on
// which thread took which decoder.

#include <algorithm>

namespace {

// the most probable timestamp (lowest id among equals) and the timestamp mass
struct ts_stats {
    kestu_token id;
    float       p;
    float       p_sum;
};

ts_stats timestamp_stats(const kestu_context & ctx, const kestu_decoder & decoder, kestu_token id0) {
    const auto & probs = decoder.probs;
    const int    n     = (int) probs.size();

    double sum = 0.0;
    double max = 0.0;
    kestu_token id = id0;
    for (int i = std::max(ctx.vocab.token_beg, 0); i < n; ++i) {
        const double p = probs[i];
        if (!std::isfinite(p)) {
            continue;
        }
        sum += p;
        if (p > max) {
            max = p;
            id  = i;
        }
    }
    return {id, (float) (max / (sum + 1e-10)), (float) sum};
}

kestu_token_data make_token(const kestu_context & ctx, const kestu_decoder & decoder, kestu_token id,
                            const ts_stats & ts) {
    kestu_token_data t{};
    t.id              = id;
    t.timestamp_id    = ts.id;
    t.p               = decoder.probs[id];
    t.log_p           = decoder.logprobs[id];
    t.timestamp_p     = ts.p;
    t.timestamp_p_sum = ts.p_sum;
    t.t0              = -1;
    t.t1              = -1;
    t.t_dtw           = -1;
    t.voice_length    = 0.0f;
    if (id >= ctx.vocab.token_beg) {
        t.timestamp_id = id;
        t.timestamp_p  = t.p;
    }
    return t;
}

// the answer of an empty distribution: no token (id -1), which fails the
// decoder; a made-up token would decode on as if it had been drawn
kestu_token_data no_token(const ts_stats & ts) {
    kestu_token_data t{};
    t.id              = -1;
    t.timestamp_id    = ts.id;
    t.timestamp_p     = ts.p;
    t.timestamp_p_sum = ts.p_sum;
    t.log_p           = -INFINITY;
    t.t0              = -1;
    t.t1              = -1;
    t.t_dtw           = -1;
    return t;
}

// weights of the draw; a NaN or infinity (from a broken model or callback)
// would make the distribution pick past the vocabulary, so it weighs nothing
bool draw_weights(const kestu_decoder & decoder, std::vector<double> & w) {
    w.resize(decoder.probs.size());
    double sum = 0.0;
    for (size_t i = 0; i < w.size(); ++i) {
        const double p = decoder.probs[i];
        w[i]           = std::isfinite(p) && p > 0.0 ? p : 0.0;
        sum += w[i];
    }
    return sum > 0.0;
}

// A draw that never lands on a token of weight 0: the library's search over
// its cumulative sums can, for a uniform draw of exactly 0 or one above a
// last sum rounded below 1.
int draw(std::discrete_distribution<int> & dist, const std::vector<double> & w, std::mt19937 & rng) {
    const int id = dist(rng);
    if (w[id] > 0.0) {
        return id;
    }
    for (int k = id - 1; k >= 0; --k) {
        if (w[k] > 0.0) {
            return k;
        }
    }
    for (int k = id + 1; k < (int) w.size(); ++k) {
        if (w[k] > 0.0) {
            return k;
        }
    }
    return id;
}

void sample_greedy(const kestu_context & ctx, kestu_decoder & decoder, float temperature) {
    const kestu_token_data t = kestu_sample_token(ctx, decoder, temperature < 1e-6f);
    if (t.id < 0) {
        decoder.failed   = true;
        decoder.no_token = true;
        return;
    }
    decoder.sequence.tokens.push_back(t);
    decoder.sequence.sum_logprobs_all += t.log_p;
}

void sample_beam(const kestu_context & ctx, kestu_decoder & decoder, int j, int beam_width,
                 std::vector<kestu_beam_candidate> & candidates) {
    // at least one proposal unless no token is possible; the hand-out gives
    // a decoder without proposals one of the others'
    const auto tokens = kestu_sample_token_topk(ctx, decoder, std::max(beam_width, 1));
    for (const kestu_token_data & t : tokens) {
        kestu_beam_candidate c{j, decoder.seek_delta, decoder.has_ts, decoder.sequence, decoder.grammar};
        c.sequence.tokens.push_back(t);
        c.sequence.sum_logprobs_all += t.log_p;
        candidates.push_back(std::move(c));
    }
}

} // namespace

bool kestu_token_possible(const kestu_decoder & decoder) {
    for (float p : decoder.probs) {
        if (std::isfinite(p) && p > 0.0f) {
            return true;
        }
    }
    return false;
}

kestu_token_data kestu_sample_token(const kestu_context & ctx, kestu_decoder & decoder, bool best) {
    const ts_stats ts = timestamp_stats(ctx, decoder, 0);
    const auto &   probs = decoder.probs;

    kestu_token id = -1;
    if (best) {
        float max = 0.0f;
        for (int i = 0; i < (int) probs.size(); ++i) {
            if (probs[i] > max) {
                max = probs[i];
                id  = i;
            }
        }
    } else {
        std::vector<double> w;
        if (draw_weights(decoder, w)) {
            std::discrete_distribution<int> dist(w.begin(), w.end());
            id = draw(dist, w, decoder.rng);
        }
    }
    if (id < 0) {
        return no_token(ts);
    }
    return make_token(ctx, decoder, id, ts);
}

std::vector<kestu_token_data> kestu_sample_token_topk(const kestu_context & ctx, kestu_decoder & decoder, int k) {
    const ts_stats ts = timestamp_stats(ctx, decoder, ctx.vocab.token_beg);

    std::vector<kestu_token_data> result;
    if (k <= 0) {
        return result;
    }
    result.reserve(k);

    std::vector<double> w;
    if (!draw_weights(decoder, w)) {
        return result;
    }
    std::discrete_distribution<int> dist(w.begin(), w.end());
    for (int i = 0; i < k; ++i) {
        result.push_back(make_token(ctx, decoder, draw(dist, w, decoder.rng), ts));
    }
    return result;
}

void kestu_decoder_job(std::atomic<int32_t> & next_decoder, int32_t n_decoders, kestu_state & state,
                       const kestu_full_params & params, float temperature, const kestu_context & ctx,
                       std::vector<std::vector<kestu_beam_candidate>> & beam_candidates) {
    const bool beam = kestu_strategy_of(params) == KESTU_SAMPLING_BEAM_SEARCH;
    KESTU_ASSERT(n_decoders <= KESTU_MAX_DECODERS);
    KESTU_ASSERT(!beam || (int32_t) beam_candidates.size() >= n_decoders);

    for (int32_t j = next_decoder.fetch_add(1); j < n_decoders; j = next_decoder.fetch_add(1)) {
        kestu_decoder & decoder = state.decoders[j];
        if (decoder.completed || decoder.failed) {
            continue;
        }
        if (beam) {
            sample_beam(ctx, decoder, j, params.beam_width, beam_candidates[j]);
        } else {
            // any strategy but beam search samples greedily, so every active
            // decoder gains a token each step
            sample_greedy(ctx, decoder, temperature);
        }
    }
}
