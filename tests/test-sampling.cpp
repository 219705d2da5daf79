// Sampling: argmax and draws with the per-decoder generator, the timestamp
// statistics of each token record, independence from the thread count, beam
// proposals, and beam search over a tiny synthetic model compared with an
// exhaustive search of every sequence.

#include "decode-test-vocab.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace {

// probabilities straight into a decoder, as logits processing leaves them
void set_probs(kestu_decoder & d, const std::vector<float> & probs) {
    d.probs = probs;
    d.logprobs.resize(probs.size());
    d.logits.resize(probs.size());
    for (size_t i = 0; i < probs.size(); ++i) {
        d.logprobs[i] = probs[i] > 0.0f ? std::log(probs[i]) : -INFINITY;
        d.logits[i]   = d.logprobs[i];
    }
}

// the driver's way of running the job: w - 1 threads plus the caller
void run_job(kestu_state & st, const kestu_context & ctx, const kestu_full_params & p, float t, int n_dec, int n_threads,
             std::vector<std::vector<kestu_beam_candidate>> & cands) {
    std::atomic<int32_t>     next{0};
    const int                w = std::min(n_dec, n_threads);
    std::vector<std::thread> threads;
    for (int k = 1; k < w; ++k) {
        threads.emplace_back([&] { kestu_decoder_job(next, n_dec, st, p, t, ctx, cands); });
    }
    kestu_decoder_job(next, n_dec, st, p, t, ctx, cands);
    for (auto & th : threads) {
        th.join();
    }
}

class Sampling : public ::testing::Test {
protected:
    // 6 text tokens, 4 timestamps
    test_vocab                   tv{{}, 6, 4};
    std::unique_ptr<kestu_state> st = std::make_unique<kestu_state>();

    int beg() const { return tv.beg(); }
    int nv() const { return tv.n_vocab(); }

    std::vector<float> probs_with(std::initializer_list<std::pair<int, float>> entries) const {
        std::vector<float> p(nv(), 0.0f);
        for (const auto & e : entries) {
            p[e.first] = e.second;
        }
        return p;
    }
};

TEST_F(Sampling, ArgmaxTakesTheFirstMaximumAndLeavesTheGeneratorAlone) {
    struct argmax_case {
        std::vector<std::pair<int, float>> probs;
        int                                id;
    };
    const std::vector<argmax_case> cases = {
        {{{2, 0.5f}, {3, 0.3f}}, 2},
        {{{1, 0.25f}, {4, 0.25f}, {5, 0.25f}}, 1}, // ties: the lowest id
        {{{0, 0.1f}, {5, 0.7f}}, 5},
    };
    for (const auto & c : cases) {
        kestu_decoder & d = st->decoders[0];
        std::vector<float> probs(nv(), 0.0f);
        for (const auto & e : c.probs) {
            probs[e.first] = e.second;
        }
        set_probs(d, probs);
        d.rng = std::mt19937(0);
        const kestu_token_data t = kestu_sample_token(*tv.ctx, d, true);
        EXPECT_EQ(t.id, c.id);
        EXPECT_EQ(t.p, probs[c.id]);
        EXPECT_EQ(t.log_p, d.logprobs[c.id]);
        EXPECT_EQ(t.t0, -1);
        EXPECT_EQ(t.t1, -1);
        EXPECT_EQ(t.t_dtw, -1);
        EXPECT_TRUE(d.rng == std::mt19937(0));
    }
}

// No token is made up where none is possible: token 0 would decode on as if
// it had been drawn.
TEST_F(Sampling, NothingPossibleGivesNoToken) {
    kestu_decoder & d = st->decoders[0];
    set_probs(d, std::vector<float>(nv(), 0.0f));
    for (bool best : {true, false}) {
        const kestu_token_data t = kestu_sample_token(*tv.ctx, d, best);
        EXPECT_EQ(t.id, -1);
        EXPECT_EQ(t.p, 0.0f);
    }
    EXPECT_TRUE(kestu_sample_token_topk(*tv.ctx, d, 3).empty());
}

// Rows that are no distribution, through logits processing and each way of
// sampling: nothing but -inf and NaN leaves no token, and so does a NaN among
// finite logits or two +inf (their ratio is unknown); the decoder then fails
// at once. One +inf among finite logits takes every draw.
TEST_F(Sampling, NonFiniteLogitsFailTheDecoderOrTakeTheInfiniteToken) {
    const int text_id = 3;
    const int ts_id   = beg() + 2;
    std::vector<float> finite(nv());
    for (int i = 0; i < nv(); ++i) {
        finite[i] = -1.0f - 0.25f * (float) (i % 7);
    }
    auto with = [&](std::vector<float> row, std::initializer_list<std::pair<int, float>> set) {
        for (const auto & e : set) {
            row[e.first] = e.second;
        }
        return row;
    };
    std::vector<float> mixed(nv(), -INFINITY);
    for (int i = 0; i < nv(); i += 2) {
        mixed[i] = NAN;
    }

    struct dist_case {
        const char *       name;
        std::vector<float> row;
        int                id; // -1: no token is possible
    };
    const std::vector<dist_case> cases = {
        {"all -inf", std::vector<float>(nv(), -INFINITY), -1},
        {"all NaN", std::vector<float>(nv(), NAN), -1},
        {"NaN and -inf", mixed, -1},
        {"one NaN among finite", with(finite, {{2, NAN}}), -1},
        {"one +inf among finite", with(finite, {{text_id, INFINITY}}), text_id},
        {"one +inf timestamp among finite", with(finite, {{ts_id, INFINITY}}), ts_id},
        {"one +inf among -inf", with(std::vector<float>(nv(), -INFINITY), {{text_id, INFINITY}}), text_id},
        {"two +inf", with(finite, {{1, INFINITY}, {4, INFINITY}}), -1},
    };
    struct mode_case {
        const char *            name;
        kestu_sampling_strategy strategy;
        float                   temperature;
    };
    const mode_case modes[] = {
        {"greedy argmax", KESTU_SAMPLING_GREEDY, 0.0f},
        {"greedy draw", KESTU_SAMPLING_GREEDY, 0.7f},
        {"beam search", KESTU_SAMPLING_BEAM_SEARCH, 0.0f},
    };

    for (const auto & c : cases) {
        for (const auto & m : modes) {
            for (uint32_t seed = 0; seed < 4; ++seed) {
                SCOPED_TRACE(testing::Message() << c.name << ", " << m.name << ", seed " << seed);
                kestu_full_params p{};
                p.sampling_strategy = m.strategy;
                p.beam_width        = 4;

                st->logits        = c.row;
                kestu_decoder & d = st->decoders[0];
                test_reset_decoder(d);
                d.i_batch = 0;
                d.rng     = std::mt19937(seed);
                kestu_filter_logits(*tv.ctx, *st, d, p, m.temperature, nullptr);

                std::vector<std::vector<kestu_beam_candidate>> cands(1);
                run_job(*st, *tv.ctx, p, m.temperature, 1, 1, cands);

                if (m.strategy == KESTU_SAMPLING_BEAM_SEARCH) {
                    if (c.id < 0) {
                        EXPECT_TRUE(cands[0].empty());
                        std::vector<kestu_beam_candidate> merged;
                        kestu_beam_hand_out(*st, 1, 0, cands, merged);
                        EXPECT_TRUE(d.failed);
                        EXPECT_TRUE(d.no_token);
                        EXPECT_TRUE(d.sequence.tokens.empty());
                    } else {
                        ASSERT_EQ(cands[0].size(), 4u);
                        for (const auto & cand : cands[0]) {
                            EXPECT_EQ(cand.sequence.tokens.back().id, c.id);
                            EXPECT_EQ(cand.sequence.tokens.back().p, 1.0f);
                            EXPECT_EQ(cand.sequence.tokens.back().log_p, 0.0f);
                        }
                    }
                    continue;
                }
                if (c.id < 0) {
                    EXPECT_TRUE(d.failed);
                    EXPECT_TRUE(d.no_token);
                    EXPECT_TRUE(d.sequence.tokens.empty());
                } else {
                    EXPECT_FALSE(d.failed);
                    ASSERT_EQ(d.sequence.tokens.size(), 1u);
                    EXPECT_EQ(d.sequence.tokens[0].id, c.id);
                    EXPECT_EQ(d.sequence.tokens[0].p, 1.0f);
                    EXPECT_EQ(d.sequence.tokens[0].log_p, 0.0f);
                    EXPECT_EQ(d.sequence.sum_logprobs_all, 0.0);
                }
            }
        }
    }
}

TEST_F(Sampling, TimestampStatisticsOfEveryRecord) {
    struct ts_case {
        const char *                       name;
        std::vector<std::pair<int, float>> probs; // offsets >= 100 are timestamps beg + (x - 100)
        bool                               best;
        int                                id;         // expected token (argmax cases)
        int                                ts_greedy;  // expected timestamp_id; -1: beg for beam, 0 for greedy
        double                             ts_max;
        double                             ts_sum;
    };
    const std::vector<ts_case> cases = {
        {"text token, most probable timestamp", {{1, 0.6f}, {101, 0.1f}, {102, 0.3f}}, true, 1, 102, 0.3, 0.4},
        {"equal timestamps: the lowest", {{1, 0.6f}, {101, 0.2f}, {103, 0.2f}}, true, 1, 101, 0.2, 0.4},
        {"no timestamp mass", {{2, 1.0f}}, true, 2, -1, 0.0, 0.0},
        {"a timestamp token is its own", {{1, 0.2f}, {101, 0.1f}, {102, 0.7f}}, true, 102, 102, 0.7, 0.8},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> probs(nv(), 0.0f);
        for (const auto & e : c.probs) {
            probs[e.first >= 100 ? beg() + e.first - 100 : e.first] = e.second;
        }
        const int id = c.id >= 100 ? beg() + c.id - 100 : c.id;
        kestu_decoder & d = st->decoders[0];
        set_probs(d, probs);

        const kestu_token_data g = kestu_sample_token(*tv.ctx, d, true);
        ASSERT_EQ(g.id, id);
        const int want_ts = c.ts_greedy < 0 ? 0 : (c.ts_greedy >= 100 ? beg() + c.ts_greedy - 100 : c.ts_greedy);
        EXPECT_EQ(g.timestamp_id, want_ts);
        EXPECT_FLOAT_EQ(g.timestamp_p_sum, (float) c.ts_sum);
        if (id >= beg()) {
            EXPECT_EQ(g.timestamp_p, g.p);
        } else {
            EXPECT_FLOAT_EQ(g.timestamp_p, (float) (c.ts_max / (c.ts_sum + 1e-10)));
        }

        // beam proposals: the same statistics, but beg when no timestamp has mass
        d.rng = std::mt19937(1);
        for (const kestu_token_data & t : kestu_sample_token_topk(*tv.ctx, d, 4)) {
            if (t.id >= beg()) {
                EXPECT_EQ(t.timestamp_id, t.id);
                EXPECT_EQ(t.timestamp_p, t.p);
            } else {
                EXPECT_EQ(t.timestamp_id, c.ts_greedy < 0 ? beg() : want_ts);
            }
            EXPECT_FLOAT_EQ(t.timestamp_p_sum, (float) c.ts_sum);
        }
    }
}

TEST_F(Sampling, DrawsFollowTheProbabilitiesAndSkipBrokenWeights) {
    std::vector<float> probs = probs_with({{0, 0.5f}, {2, 0.3f}, {beg() + 1, 0.2f}});
    probs[4]                 = NAN; // a broken entry weighs nothing
    probs[5]                 = INFINITY;
    kestu_decoder & d        = st->decoders[0];
    set_probs(d, probs);
    d.rng = std::mt19937(0);

    const int        n = 40000;
    std::vector<int> counts(nv(), 0);
    for (int k = 0; k < n; ++k) {
        const kestu_token_data t = kestu_sample_token(*tv.ctx, d, false);
        ASSERT_GE(t.id, 0);
        ASSERT_LT(t.id, nv());
        counts[t.id]++;
        ASSERT_EQ(t.p, probs[t.id]);
    }
    for (int id = 0; id < nv(); ++id) {
        const double p     = std::isfinite(probs[id]) ? probs[id] : 0.0;
        const double sigma = std::sqrt(n * p * (1 - p));
        EXPECT_NEAR(counts[id], n * p, 5 * sigma + 1e-9) << id;
    }
}

TEST_F(Sampling, EqualSeedsDrawEqualTokens) {
    const std::vector<float> probs = probs_with({{0, 0.2f}, {1, 0.2f}, {2, 0.2f}, {3, 0.2f}, {4, 0.2f}});
    auto draws = [&](uint32_t seed) {
        kestu_decoder & d = st->decoders[seed % KESTU_MAX_DECODERS];
        set_probs(d, probs);
        d.rng = std::mt19937(seed);
        std::vector<int> ids;
        for (int k = 0; k < 64; ++k) {
            ids.push_back(kestu_sample_token(*tv.ctx, d, false).id);
        }
        return ids;
    };
    EXPECT_EQ(draws(3), draws(3));
    EXPECT_NE(draws(3), draws(4));
}

TEST_F(Sampling, JobGivesTheSameTokensForEveryThreadCount) {
    kestu_full_params p{};
    std::mt19937      gen(11);
    std::vector<std::vector<float>> rows(KESTU_MAX_DECODERS);
    for (auto & r : rows) {
        r.assign(nv(), 0.0f);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        float                                 s = 0.0f;
        for (float & x : r) {
            s += (x = u(gen));
        }
        for (float & x : r) {
            x /= s;
        }
    }

    for (auto strategy : {KESTU_SAMPLING_GREEDY, KESTU_SAMPLING_BEAM_SEARCH}) {
        p.sampling_strategy = strategy;
        p.beam_width        = 3;
        std::vector<std::vector<std::vector<kestu_token>>> per_threads;
        for (int n_threads : {1, 2, 3, 8}) {
            SCOPED_TRACE(n_threads);
            std::vector<std::vector<kestu_beam_candidate>> cands(KESTU_MAX_DECODERS);
            for (int j = 0; j < KESTU_MAX_DECODERS; ++j) {
                kestu_decoder & d = st->decoders[j];
                test_reset_decoder(d);
                set_probs(d, rows[j]);
                d.rng = std::mt19937(j);
            }
            st->decoders[2].completed = true;
            st->decoders[5].failed    = true;

            std::vector<std::vector<kestu_token>> seen(KESTU_MAX_DECODERS);
            for (int step = 0; step < 6; ++step) {
                for (auto & c : cands) {
                    c.clear();
                }
                run_job(*st, *tv.ctx, p, 0.8f, KESTU_MAX_DECODERS, n_threads, cands);
                for (int j = 0; j < KESTU_MAX_DECODERS; ++j) {
                    if (strategy == KESTU_SAMPLING_BEAM_SEARCH) {
                        for (const auto & c : cands[j]) {
                            seen[j].push_back(c.sequence.tokens.back().id);
                        }
                    }
                }
            }
            for (int j = 0; j < KESTU_MAX_DECODERS; ++j) {
                if (strategy == KESTU_SAMPLING_GREEDY) {
                    for (const auto & t : st->decoders[j].sequence.tokens) {
                        seen[j].push_back(t.id);
                    }
                }
            }
            EXPECT_TRUE(seen[2].empty());
            EXPECT_TRUE(seen[5].empty());
            EXPECT_EQ(seen[0].size(), strategy == KESTU_SAMPLING_GREEDY ? 6u : 18u);
            per_threads.push_back(seen);
        }
        for (size_t k = 1; k < per_threads.size(); ++k) {
            EXPECT_EQ(per_threads[k], per_threads[0]) << "strategy " << strategy;
        }
    }
}

TEST_F(Sampling, GreedyJobAppendsAndSums) {
    kestu_full_params p{};
    kestu_decoder &   d = st->decoders[0];
    test_reset_decoder(d);
    set_probs(d, probs_with({{1, 0.25f}, {3, 0.75f}}));
    std::vector<std::vector<kestu_beam_candidate>> cands;
    for (int step = 0; step < 3; ++step) {
        run_job(*st, *tv.ctx, p, 0.0f, 1, 1, cands);
    }
    ASSERT_EQ(d.sequence.tokens.size(), 3u);
    for (const auto & t : d.sequence.tokens) {
        EXPECT_EQ(t.id, 3);
    }
    EXPECT_NEAR(d.sequence.sum_logprobs_all, 3 * std::log(0.75), 1e-6);
    EXPECT_TRUE(d.rng == std::mt19937()); // argmax draws nothing
}

TEST_F(Sampling, BeamJobProposesExtendedCopies) {
    kestu_full_params p{};
    p.sampling_strategy = KESTU_SAMPLING_BEAM_SEARCH;
    for (int width : {0, 1, 4}) {
        SCOPED_TRACE(width);
        p.beam_width       = width;
        kestu_decoder & d  = st->decoders[1];
        test_reset_decoder(d);
        d.sequence.tokens  = test_tokens({2, 4});
        d.sequence.sum_logprobs_all = -1.5;
        d.seek_delta       = 140;
        d.has_ts           = true;
        set_probs(d, probs_with({{0, 0.5f}, {1, 0.5f}}));
        st->decoders[0].completed = true;

        std::vector<std::vector<kestu_beam_candidate>> cands(2);
        run_job(*st, *tv.ctx, p, 0.0f, 2, 1, cands);
        EXPECT_TRUE(cands[0].empty());
        ASSERT_EQ(cands[1].size(), (size_t) std::max(width, 1)); // an active decoder always proposes
        for (const auto & c : cands[1]) {
            EXPECT_EQ(c.decoder_idx, 1);
            EXPECT_EQ(c.seek_delta, 140);
            EXPECT_TRUE(c.has_ts);
            ASSERT_EQ(c.sequence.tokens.size(), 3u);
            EXPECT_EQ(c.sequence.tokens[0].id, 2);
            EXPECT_EQ(c.sequence.tokens[1].id, 4);
            EXPECT_NEAR(c.sequence.sum_logprobs_all, -1.5 + std::log(0.5), 1e-6);
        }
        EXPECT_EQ(d.sequence.tokens.size(), 2u); // the decoder itself waits for the hand-out
    }
}

// ---------------------------------------------------------------------------
// beam search over a tiny model: tokens a, b, c and the end of text; the
// next-token probabilities are a fixed function of the prefix, and every
// sequence ends at depth `depth` at the latest.

struct tiny_model {
    int                                              depth;
    std::map<std::vector<int>, std::array<double, 4>> table; // a, b, c, end

    std::array<double, 4> next(const std::vector<int> & prefix) const {
        if ((int) prefix.size() >= depth) {
            return {0, 0, 0, 1};
        }
        const auto it = table.find(prefix);
        if (it != table.end()) {
            return it->second;
        }
        // near-flat, but different for every prefix: no two sequences tie
        uint32_t seed = 17;
        for (int t : prefix) {
            seed = seed * 31 + (uint32_t) t + 1;
        }
        std::mt19937                           gen(seed);
        std::uniform_real_distribution<double> u(0.5, 1.5);
        std::array<double, 4>                  w;
        double                                 s = 0;
        for (double & x : w) {
            s += (x = u(gen));
        }
        for (double & x : w) {
            x /= s;
        }
        return w;
    }

    // a full row of the vocabulary; specials and timestamps are masked later
    std::vector<float> row(const test_vocab & tv, const std::vector<int> & prefix) const {
        std::vector<float> r(tv.n_vocab(), 0.0f);
        const auto         p = next(prefix);
        for (int k = 0; k < 3; ++k) {
            r[k] = p[k] > 0 ? (float) std::log(p[k]) : -INFINITY;
        }
        r[tv.eot()] = p[3] > 0 ? (float) std::log(p[3]) : -INFINITY;
        return r;
    }
};

double sequence_score(const kestu_full_params & p, double sum, int n) {
    return p.beam_length_penalty > 0 ? sum / std::pow((5.0 + n) / 6.0, p.beam_length_penalty) : sum / n;
}

// every sequence of the model, scored as the ranking scores them
std::pair<std::vector<int>, double> exhaustive_best(const tiny_model & m, const kestu_full_params & p, int eot) {
    std::vector<int> best_seq;
    double           best = -INFINITY;
    std::function<void(std::vector<int> &, double)> walk = [&](std::vector<int> & prefix, double sum) {
        const auto probs = m.next(prefix);
        if (probs[3] > 0) {
            std::vector<int> seq = prefix;
            seq.push_back(eot);
            const double s = sequence_score(p, sum + std::log(probs[3]), (int) seq.size());
            if (s > best) {
                best     = s;
                best_seq = seq;
            }
        }
        for (int k = 0; k < 3; ++k) {
            if (probs[k] > 0) {
                prefix.push_back(k);
                walk(prefix, sum + std::log(probs[k]));
                prefix.pop_back();
            }
        }
    };
    std::vector<int> empty;
    walk(empty, 0.0);
    return {best_seq, best};
}

double model_logprob(const tiny_model & m, const std::vector<kestu_token_data> & tokens, int eot) {
    std::vector<int> prefix;
    double           sum = 0.0;
    for (const auto & t : tokens) {
        const auto p = m.next(prefix);
        sum += std::log(p[t.id == eot ? 3 : t.id]);
        prefix.push_back(t.id);
    }
    return sum;
}

std::vector<int> ids_of(const kestu_sequence & s) {
    std::vector<int> r;
    for (const auto & t : s.tokens) {
        r.push_back(t.id);
    }
    return r;
}

struct decode_result {
    std::vector<int> ids;
    double           score;
};

// the driver's token loop over the tiny model, without timestamps
decode_result decode_tiny(const test_vocab & tv, const tiny_model & m, const kestu_full_params & p, int n_cur,
                          int n_threads) {
    auto               st_ptr = std::make_unique<kestu_state>();
    kestu_state &      st     = *st_ptr;
    kestu_context &    ctx    = *tv.ctx;
    const float        t      = 0.0f;
    const int          n_max  = m.depth + 1;
    const bool         beam   = p.sampling_strategy == KESTU_SAMPLING_BEAM_SEARCH;
    for (int j = 0; j < n_cur; ++j) {
        test_reset_decoder(st.decoders[j]);
        st.decoders[j].rng = std::mt19937(j);
    }

    st.logits                  = m.row(tv, {});
    st.decoders[0].i_batch     = 0;
    kestu_filter_logits(ctx, st, st.decoders[0], p, t, nullptr);
    for (int j = 1; j < n_cur; ++j) {
        st.decoders[j].probs    = st.decoders[0].probs;
        st.decoders[j].logits   = st.decoders[0].logits;
        st.decoders[j].logprobs = st.decoders[0].logprobs;
    }

    std::vector<std::vector<kestu_beam_candidate>> cands(n_cur);
    std::vector<kestu_beam_candidate>              merged;
    for (int i = 0; i < n_max; ++i) {
        for (auto & c : cands) {
            c.clear();
        }
        run_job(st, ctx, p, t, n_cur, n_threads, cands);
        if (beam) {
            // what the hand-out must give: the best distinct proposals
            std::vector<std::pair<double, std::vector<int>>> proposals;
            for (const auto & list : cands) {
                for (const auto & c : list) {
                    proposals.emplace_back(c.sequence.sum_logprobs_all, ids_of(c.sequence));
                }
            }
            std::stable_sort(proposals.begin(), proposals.end(),
                             [](const auto & a, const auto & b) { return a.first > b.first; });
            std::vector<std::vector<int>> distinct;
            for (const auto & pr : proposals) {
                if (std::find(distinct.begin(), distinct.end(), pr.second) == distinct.end()) {
                    distinct.push_back(pr.second);
                }
            }
            std::vector<int> active;
            for (int j = 0; j < n_cur; ++j) {
                if (!st.decoders[j].completed && !st.decoders[j].failed) {
                    active.push_back(j);
                }
            }

            kestu_beam_hand_out(st, n_cur, i, cands, merged);

            if (i > 0) {
                const size_t n_held = std::min(active.size(), distinct.size());
                for (size_t k = 0; k < n_held; ++k) {
                    EXPECT_EQ(ids_of(st.decoders[active[k]].sequence), distinct[k]) << "step " << i;
                }
            } else {
                // step 0 does not skip equal proposals: all take the best ones in order
                for (size_t k = 0; k < active.size() && k < proposals.size(); ++k) {
                    EXPECT_EQ(ids_of(st.decoders[active[k]].sequence), proposals[k].second);
                }
            }
            for (int j : active) {
                const kestu_sequence & s = st.decoders[j].sequence;
                EXPECT_NEAR(s.sum_logprobs_all, model_logprob(m, s.tokens, tv.eot()), 1e-4);
            }
        }
        bool done = true;
        for (int j = 0; j < n_cur; ++j) {
            kestu_decoder_check(ctx, st, st.decoders[j], p, i, n_max, 0, 1 << 20);
            done = done && (st.decoders[j].completed || st.decoders[j].failed);
        }
        if (done) {
            break;
        }
        std::vector<float> rows;
        int                n_rows = 0;
        for (int j = 0; j < n_cur; ++j) {
            kestu_decoder & d = st.decoders[j];
            if (d.completed || d.failed) {
                continue;
            }
            const auto r = m.row(tv, ids_of(d.sequence));
            rows.insert(rows.end(), r.begin(), r.end());
            d.i_batch = n_rows++;
        }
        st.logits = rows;
        for (int j = 0; j < n_cur; ++j) {
            kestu_decoder & d = st.decoders[j];
            if (!d.completed && !d.failed) {
                kestu_filter_logits(ctx, st, d, p, t, nullptr);
            }
        }
    }
    const int best = kestu_rank_decoders(st, p, n_cur, 0);
    return {ids_of(st.decoders[best].sequence), st.decoders[best].sequence.score};
}

TEST(BeamSearch, FindsTheBestSequenceOfAnExhaustiveSearch) {
    test_vocab tv({"a", "b", "c"}, 3, 1);
    const int  A = 0, B = 1, C = 2;
    (void) C;

    struct model_case {
        const char * name;
        tiny_model   model;
        float        length_penalty;
    };
    // greedy follows "a a ..." into a flat continuation; "a b <end>" is better
    const tiny_model trap = {3,
                             {{{}, {0.6, 0.25, 0.1, 0.05}},
                              {{A}, {0.45, 0.3, 0.2, 0.05}},
                              {{A, B}, {0.01, 0.006, 0.004, 0.98}},
                              {{A, C}, {0.12, 0.1, 0.08, 0.7}}}};
    // a longer best path: "a c b <end>" (no equal probabilities anywhere, so no
    // two proposals tie)
    const tiny_model deep = {4,
                             {{{}, {0.7, 0.11, 0.1, 0.09}},
                              {{A}, {0.5, 0.1, 0.35, 0.05}},
                              {{A, A}, {0.32, 0.3, 0.28, 0.1}},
                              {{A, C}, {0.1, 0.85, 0.04, 0.01}},
                              {{A, C, B}, {0.012, 0.01, 0.008, 0.97}}}};
    const std::vector<model_case> cases = {
        {"trap, average log-probability", trap, -1.0f},
        {"trap, length penalty 1", trap, 1.0f},
        {"deep, average log-probability", deep, -1.0f},
        {"deep, length penalty 0.5", deep, 0.5f},
    };

    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        kestu_full_params p{};
        p.no_timestamps       = true;
        p.beam_length_penalty = c.length_penalty;
        p.entropy_threshold   = 2.4f;

        const auto want = exhaustive_best(c.model, p, tv.eot());

        p.sampling_strategy = KESTU_SAMPLING_GREEDY;
        const decode_result greedy = decode_tiny(tv, c.model, p, 1, 1);
        EXPECT_LT(greedy.score, want.second - 0.01) << "the model must defeat greedy decoding";

        p.sampling_strategy = KESTU_SAMPLING_BEAM_SEARCH;
        p.beam_width        = 5;
        for (int n_threads : {1, 4}) {
            SCOPED_TRACE(n_threads);
            const decode_result beam = decode_tiny(tv, c.model, p, 5, n_threads);
            EXPECT_EQ(beam.ids, want.first);
            EXPECT_NEAR(beam.score, want.second, 1e-5);
        }
    }
}

} // namespace
