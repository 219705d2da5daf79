// Fallback and best-decoder choice: scores with and without the length
// penalty, the entropy test, the ranking, the accept-or-fall-back decision,
// the per-step checks that end or fail a decoder, and the beam hand-out with
// its cache sequence moves.

#include "decode-test-vocab.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

kestu_sequence sequence_of(const std::vector<kestu_token> & ids, const std::vector<float> & log_p, int result_len) {
    kestu_sequence s;
    for (size_t i = 0; i < ids.size(); ++i) {
        s.tokens.push_back(test_token(ids[i], log_p[i % log_p.size()]));
    }
    s.result_len = result_len;
    return s;
}

// entropy of the ids of the last min(n, 32) of the first n tokens
double entropy_ref(const std::vector<kestu_token> & ids, int n) {
    const int                  m = std::min(n, 32);
    std::map<kestu_token, int> c;
    for (int i = n - m; i < n; ++i) {
        c[ids[i]]++;
    }
    double e = 0;
    for (const auto & kv : c) {
        e -= (double) kv.second / m * std::log((double) kv.second / m);
    }
    return e;
}

TEST(SequenceScore, SumsAveragesPenaltiesAndEntropy) {
    struct score_case {
        const char *             name;
        std::vector<kestu_token> ids;
        std::vector<float>       log_p;
        int                      result_len;
        float                    penalty;
    };
    std::vector<kestu_token> long_ids;
    for (int i = 0; i < 40; ++i) {
        long_ids.push_back(i < 8 ? 100 + i : i % 2); // the last 32 alternate between two ids
    }
    const std::vector<score_case> cases = {
        {"average without penalty", {1, 2, 3}, {-0.5f, -1.0f, -0.25f}, 3, -1.0f},
        {"zero penalty averages too", {1, 2, 3}, {-0.5f, -1.0f, -0.25f}, 3, 0.0f},
        {"penalty 1", {1, 2, 3, 4}, {-0.5f, -1.0f, -0.25f, -2.0f}, 4, 1.0f},
        {"penalty 0.6", {1, 2, 3, 4, 5}, {-0.1f, -0.7f}, 5, 0.6f},
        {"only the first result_len tokens", {1, 2, 3, 4}, {-0.5f, -1.0f, -3.0f, -9.0f}, 2, -1.0f},
        {"entropy of the last 32", long_ids, {-0.3f, -0.4f, -0.2f}, 40, 1.0f},
        {"one token", {7}, {-0.125f}, 1, 1.0f},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        kestu_full_params p{};
        p.beam_length_penalty = c.penalty;
        kestu_sequence s      = sequence_of(c.ids, c.log_p, c.result_len);
        kestu_sequence_score(p, s);

        double sum = 0;
        for (int i = 0; i < c.result_len; ++i) {
            sum += c.log_p[i % c.log_p.size()];
        }
        const int n = c.result_len;
        EXPECT_NEAR(s.sum_logprobs, sum, 1e-12);
        EXPECT_NEAR(s.avg_logprobs, sum / n, 1e-12);
        const double score = c.penalty > 0 ? sum / std::pow((5.0 + n) / 6.0, (double) c.penalty) : sum / n;
        EXPECT_NEAR(s.score, score, 1e-9);
        EXPECT_NEAR(s.entropy, entropy_ref(c.ids, n), 1e-12);
    }
}

class Fallback : public ::testing::Test {
protected:
    test_vocab                   tv{{"a", "b"}, 10, 1501};
    std::unique_ptr<kestu_state> st = std::make_unique<kestu_state>();
    kestu_full_params            p{};

    void SetUp() override {
        p.entropy_threshold     = 2.4f;
        p.avg_logprob_threshold = -1.0f;
        p.no_speech_threshold   = 0.6f;
        for (auto & d : st->decoders) {
            test_reset_decoder(d);
        }
    }
};

TEST_F(Fallback, EntropyTestStartsAfter32Tokens) {
    for (int n : {32, 33}) {
        SCOPED_TRACE(n);
        SetUp();
        st->n_fail_h   = 0;
        kestu_decoder & d = st->decoders[0];
        d.sequence        = sequence_of(std::vector<kestu_token>(n, 4), {-0.1f}, n);
        p.entropy_threshold = 100.0f; // however high
        kestu_rank_decoders(*st, p, 1, 0);
        EXPECT_EQ(d.failed, n == 33);
        EXPECT_EQ(st->n_fail_h, n == 33 ? 1 : 0);
    }
}

TEST_F(Fallback, RankingTakesTheStrictlyBestAndCutsToTheResult) {
    // decoder: log_p per token, tokens, result_len, failed before ranking
    struct dec {
        float log_p;
        int   n_tokens;
        int   result_len;
        bool  failed;
    };
    struct rank_case {
        const char *     name;
        std::vector<dec> decs;
        int              best_in;
        int              best;
    };
    const std::vector<rank_case> cases = {
        {"highest average", {{-0.5f, 4, 4, false}, {-0.2f, 4, 3, false}, {-0.3f, 4, 4, false}}, 0, 1},
        {"equal scores: the lowest index", {{-0.5f, 4, 4, false}, {-0.2f, 4, 4, false}, {-0.2f, 4, 4, false}}, 0, 1},
        {"failed decoders do not compete", {{-0.5f, 4, 4, false}, {-0.2f, 4, 4, true}}, 0, 0},
        {"all failed keeps an index of this attempt", {{-0.5f, 4, 4, true}, {-0.2f, 4, 4, true}}, 1, 1},
        {"an index from an earlier window falls back to 0", {{-0.5f, 4, 4, true}, {-0.2f, 4, 4, true}}, 5, 0},
        {"nothing scored: index 0, not a stale one", {{-0.5f, 4, 0, false}}, 3, 0},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const int n_cur = (int) c.decs.size();
        for (int j = 0; j < n_cur; ++j) {
            kestu_decoder & d = st->decoders[j];
            d.sequence        = sequence_of(std::vector<kestu_token>(c.decs[j].n_tokens, j + 1), {c.decs[j].log_p},
                                            c.decs[j].result_len);
            d.failed          = c.decs[j].failed;
        }
        EXPECT_EQ(kestu_rank_decoders(*st, p, n_cur, c.best_in), c.best);
        for (int j = 0; j < n_cur; ++j) {
            if (!c.decs[j].failed) {
                EXPECT_EQ((int) st->decoders[j].sequence.tokens.size(), c.decs[j].result_len);
            }
        }
    }
}

TEST_F(Fallback, AnUnscoredDecoderCompetesWithTheScoreItBrought) {
    st->decoders[0].sequence = sequence_of({1, 2}, {-2.0f}, 2);
    st->decoders[1].sequence = sequence_of({1}, {-0.1f}, 0);
    st->decoders[1].sequence.score = -0.5; // from a beam candidate
    EXPECT_EQ(kestu_rank_decoders(*st, p, 2, 0), 1);
}

TEST_F(Fallback, AcceptOrFallBack) {
    struct accept_case {
        const char * name;
        double       avg;
        float        no_speech;
        bool         failed;
        bool         last;
        bool         accept;
    };
    const std::vector<accept_case> cases = {
        {"good average", -0.5, 0.1f, false, false, true},
        {"low average over silence is accepted", -1.5, 0.7f, false, false, true},
        {"low average over speech falls back", -1.5, 0.5f, false, false, false},
        {"no-speech at the threshold accepts", -1.5, 0.6f, false, false, true},
        {"failed falls back", -0.5, 0.1f, true, false, false},
        {"the last temperature accepts anything", -3.0, 0.0f, true, true, true},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        kestu_decoder & d          = st->decoders[0];
        d.sequence.avg_logprobs    = c.avg;
        d.failed                   = c.failed;
        st->no_speech_prob         = c.no_speech;
        EXPECT_EQ(kestu_accept_attempt(*st, d, p, c.last), c.accept);
    }
}

TEST_F(Fallback, StepChecksEndAndFailDecoders) {
    const int beg = tv.beg();
    const int eot = tv.eot();
    struct check_case {
        const char *                             name;
        std::vector<kestu_token>                 tokens; // x >= 10000: timestamp beg + (x - 10000)
        std::function<void(kestu_decoder &)>     prep;
        std::function<void(kestu_full_params &)> params;
        int                                      i, n_max, seek, seek_end;
        bool                                     completed, failed;
        int                                      result_len, seek_delta;
        bool                                     has_ts;
    };
    auto nop  = [](kestu_decoder &) {};
    auto none = [](kestu_full_params &) {};
    const int T = 10000;
    const std::vector<check_case> cases = {
        {"a timestamp sets the delta", {1, T + 50}, nop, none, 1, 220, 0, 10000, false, false, 2, 100, true},
        {"timestamp 0 does not count", {T + 0}, nop, none, 0, 220, 0, 10000, false, false, 0, 3000, false},
        {"a later timestamp moves on",
         {1, T + 50, 2, T + 60},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         none, 3, 220, 0, 10000, false, false, 4, 120, true},
        {"timestamps going back fail",
         {1, T + 50, 2, 3, T + 40},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         none, 4, 220, 0, 10000, false, true, 2, 100, true},
        {"a timestamp right after the last timed token may go back",
         {1, T + 50, T + 40},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         none, 2, 220, 0, 10000, false, false, 3, 80, true},
        {"end of text without a timestamp far from the end fails", {1, 2, 3, 4, 5, eot}, nop, none, 5, 220, 0, 4000,
         false, true, 0, 3000, false},
        {"end of text without a timestamp near the end completes", {1, eot}, nop, none, 1, 220, 0, 2900, true, false,
         2, 3000, false},
        {"end of text without timestamps",
         {1, 2, eot},
         nop,
         [](kestu_full_params & q) { q.no_timestamps = true; },
         2, 220, 0, 10000, true, false, 3, 3000, false},
        {"end of text after a timestamp",
         {1, T + 50, eot},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         none, 2, 220, 0, 10000, true, false, 2, 100, true},
        {"one segment per window takes everything",
         {1, T + 50, eot},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         [](kestu_full_params & q) { q.one_segment_per_window = true; },
         2, 220, 0, 10000, true, false, 3, 3000, true},
        {"a timestamp reaching the end of the audio completes", {1, T + 1000}, nop, none, 1, 220, 1000, 3000, true,
         false, 2, 2000, true},
        {"segment token limit",
         {1, T + 50, 2},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         [](kestu_full_params & q) { q.max_segment_tokens = 2; },
         2, 220, 0, 10000, true, false, 2, 100, true},
        {"last step with less than 15 s fails",
         {1, T + 50, 2},
         [](kestu_decoder & d) {
             d.has_ts              = true;
             d.seek_delta          = 100;
             d.sequence.result_len = 2;
         },
         none, 219, 220, 0, 10000, false, true, 2, 100, true},
        {"last step with nothing timed fails", {1, 2}, nop, none, 219, 220, 0, 10000, false, true, 0, 3000, false},
        {"last step past 15 s goes on to the ranking",
         {1, T + 800},
         nop, none, 219, 220, 0, 10000, false, false, 220, 1600, true},
        {"a step before the last goes on", {1, 2}, nop, none, 218, 220, 0, 10000, false, false, 0, 3000, false},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        p = kestu_full_params{};
        c.params(p);
        kestu_decoder & d = st->decoders[0];
        test_reset_decoder(d);
        std::vector<kestu_token> ids;
        for (kestu_token t : c.tokens) {
            ids.push_back(t >= T ? beg + (t - T) : t);
        }
        d.sequence.tokens = test_tokens(ids);
        c.prep(d);
        kestu_decoder_check(*tv.ctx, *st, d, p, c.i, c.n_max, c.seek, c.seek_end);
        EXPECT_EQ(d.completed, c.completed);
        EXPECT_EQ(d.failed, c.failed);
        EXPECT_EQ(d.sequence.result_len, c.result_len);
        EXPECT_EQ(d.seek_delta, c.seek_delta);
        EXPECT_EQ(d.has_ts, c.has_ts);
    }
}

TEST_F(Fallback, AModelWithoutWeightsCompletesAtOnce) {
    tv.ctx->model.n_loaded = 0;
    kestu_decoder & d      = st->decoders[0];
    d.sequence.tokens      = test_tokens({1});
    d.seek_delta           = 100;
    kestu_decoder_check(*tv.ctx, *st, d, p, 0, 220, 0, 10000);
    EXPECT_TRUE(d.completed);
    EXPECT_EQ(d.seek_delta, 3000);
}

// ---------------------------------------------------------------------------
// beam hand-out

class HandOut : public Fallback {
protected:
    std::vector<std::vector<kestu_beam_candidate>> cands = std::vector<std::vector<kestu_beam_candidate>>(8);
    std::vector<kestu_beam_candidate>              merged;

    void propose(int j, const std::vector<kestu_token> & ids, double sum, int seek_delta = 3000) {
        kestu_beam_candidate c{j, seek_delta, false, sequence_of(ids, {-0.1f}, 0), {}};
        c.sequence.sum_logprobs_all = sum;
        cands[j].push_back(c);
    }

    std::vector<int> held(int j) const {
        std::vector<int> r;
        for (const auto & t : st->decoders[j].sequence.tokens) {
            r.push_back(t.id);
        }
        return r;
    }
};

TEST_F(HandOut, BestFirstTiesByDecoderAndTheSequenceWithItsFields) {
    propose(0, {1, 2}, -1.0, 200);
    propose(0, {1, 3}, -0.5, 300);
    propose(1, {4, 5}, -0.5, 400); // ties with decoder 0's: decoder 0 first
    propose(1, {4, 6}, -2.0, 500);
    cands[1].back().has_ts                   = true;
    cands[1].back().sequence.result_len      = 1;
    cands[1].back().grammar.partial_utf8     = {5, 1};
    st->n_sample = 0;

    kestu_beam_hand_out(*st, 4, 1, cands, merged);
    EXPECT_EQ(st->n_sample, 2);
    ASSERT_EQ(merged.size(), 4u);
    EXPECT_EQ(held(0), (std::vector<int>{1, 3}));
    EXPECT_EQ(held(1), (std::vector<int>{4, 5}));
    EXPECT_EQ(held(2), (std::vector<int>{1, 2}));
    EXPECT_EQ(held(3), (std::vector<int>{4, 6}));
    EXPECT_EQ(st->decoders[0].seek_delta, 300);
    EXPECT_EQ(st->decoders[2].seek_delta, 200);
    EXPECT_EQ(st->decoders[3].seek_delta, 500);
    EXPECT_TRUE(st->decoders[3].has_ts);
    EXPECT_EQ(st->decoders[3].sequence.result_len, 1);
    EXPECT_EQ(st->decoders[3].sequence.sum_logprobs_all, -2.0);
    EXPECT_EQ(st->decoders[3].grammar.partial_utf8.value, 5u);
}

TEST_F(HandOut, ManyEqualSumsKeepDecoderAndDrawOrder) {
    // enough entries that an unstable sort would reorder them
    for (int j = 0; j < 8; ++j) {
        for (int k = 0; k < 3; ++k) {
            propose(j, {j, k}, -1.0);
        }
    }
    propose(7, {7, 9}, -0.5); // the one better proposal comes first
    kestu_beam_hand_out(*st, 8, 1, cands, merged);
    EXPECT_EQ(held(0), (std::vector<int>{7, 9}));
    for (int j = 1; j < 8; ++j) {
        const int m = j - 1;
        EXPECT_EQ(held(j), (std::vector<int>{m / 3, m % 3})) << j;
    }
}

TEST_F(HandOut, EqualProposalsAreSkippedFromTheSecondStepAndTheCursorWraps) {
    for (int i : {0, 1}) {
        SCOPED_TRACE(i);
        SetUp();
        for (auto & c : cands) {
            c.clear();
        }
        propose(0, {1, 2}, -0.5);
        propose(0, {1, 2}, -0.5);
        propose(1, {1, 2}, -0.5);
        propose(1, {3, 3}, -0.9);
        st->decoders[2].sequence = sequence_of({9}, {0.0f}, 0);
        kestu_beam_hand_out(*st, 3, i, cands, merged);
        if (i == 0) {
            // equal proposals go to every decoder in turn
            EXPECT_EQ(held(0), (std::vector<int>{1, 2}));
            EXPECT_EQ(held(1), (std::vector<int>{1, 2}));
            EXPECT_EQ(held(2), (std::vector<int>{1, 2}));
        } else {
            // two distinct proposals for three decoders: the third wraps round
            EXPECT_EQ(held(0), (std::vector<int>{1, 2}));
            EXPECT_EQ(held(1), (std::vector<int>{3, 3}));
            EXPECT_EQ(held(2), (std::vector<int>{1, 2}));
        }
    }
}

TEST_F(HandOut, EndedDecodersKeepTheirSequences) {
    st->decoders[0].completed = true;
    st->decoders[0].sequence  = sequence_of({7}, {0.0f}, 1);
    st->decoders[2].failed    = true;
    propose(1, {1}, -0.1);
    propose(1, {2}, -0.2);
    kestu_beam_hand_out(*st, 3, 1, cands, merged);
    EXPECT_EQ(held(0), (std::vector<int>{7}));
    EXPECT_EQ(held(1), (std::vector<int>{1}));
    EXPECT_TRUE(held(2).empty());
}

TEST_F(HandOut, NoProposalsFailTheActiveDecoders) {
    st->decoders[0].sequence = sequence_of({7}, {0.0f}, 1);
    kestu_beam_hand_out(*st, 2, 1, cands, merged);
    EXPECT_TRUE(st->decoders[0].failed);
    EXPECT_TRUE(st->decoders[1].failed);
    EXPECT_EQ(held(0), (std::vector<int>{7}));
}

TEST_F(HandOut, CacheCellsFollowTheSequences) {
    // cells: the prompt (positions 0, 1) shared by decoders 0..2, then one
    // token of each decoder at position 2
    kestu_kv_cache & kv = st->kv_self;
    kv.size             = 8;
    kv.cells.assign(8, kestu_kv_cell{});
    kv.cells[0] = {0, {0, 1, 2}};
    kv.cells[1] = {1, {0, 1, 2}};
    kv.cells[2] = {2, {0}};
    kv.cells[3] = {2, {1}};
    kv.cells[4] = {2, {2}};
    kv.head     = 5;

    // decoder 0 continues decoder 1's history, 1 continues 0's, 2 continues 1's
    propose(1, {11, 20}, -0.1);
    propose(0, {10, 21}, -0.2);
    propose(1, {11, 22}, -0.3);
    kestu_beam_hand_out(*st, 3, 1, cands, merged);
    EXPECT_EQ(held(0), (std::vector<int>{11, 20}));
    EXPECT_EQ(held(1), (std::vector<int>{10, 21}));
    EXPECT_EQ(held(2), (std::vector<int>{11, 22}));

    const std::set<int32_t> all = {0, 1, 2};
    EXPECT_EQ(kv.cells[0].seq_id, all);
    EXPECT_EQ(kv.cells[1].seq_id, all);
    EXPECT_EQ(kv.cells[2].seq_id, (std::set<int32_t>{1}));
    EXPECT_EQ(kv.cells[3].seq_id, (std::set<int32_t>{0, 2}));
    EXPECT_EQ(kv.cells[4].pos, -1); // decoder 2's old token is nobody's now
    EXPECT_TRUE(kv.cells[4].seq_id.empty());
    for (const auto & cell : kv.cells) {
        for (int32_t id : cell.seq_id) {
            EXPECT_LT(id, KESTU_MAX_DECODERS);
        }
    }
}

} // namespace
