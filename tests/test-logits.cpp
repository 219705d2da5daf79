// Logits processing on synthetic logits: which tokens each rule leaves
// possible, the log-softmax against a double-precision reference, the
// timestamp-against-text rule at its boundary, the temperature, and the
// caller's callback on the caller's thread.

#include "decode-test-vocab.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <random>
#include <thread>

namespace {

const std::vector<std::string> k_texts = {" ", "hello", " world", "(", " (", "♪", " ♪", " -", " '", "a", "b"};

class Logits : public ::testing::Test {
protected:
    test_vocab                   tv{k_texts, 20, 101};
    std::unique_ptr<kestu_state> st = std::make_unique<kestu_state>();
    kestu_full_params            p{};

    int eot() const { return tv.eot(); }
    int beg() const { return tv.beg(); }
    int nv() const { return tv.n_vocab(); }

    // text and special tokens at 0, timestamps far below
    std::vector<float> base_row() const {
        std::vector<float> row(nv(), 0.0f);
        for (int i = beg(); i < nv(); ++i) {
            row[i] = -20.0f;
        }
        return row;
    }

    kestu_decoder & run(const std::vector<kestu_token> & tokens, const std::vector<float> & row, float temperature = 0.0f,
                        const std::regex * re = nullptr, const std::function<void(kestu_decoder &)> & prep = {}) {
        st->logits = row;
        kestu_decoder & d = st->decoders[0];
        test_reset_decoder(d);
        d.sequence.tokens = test_tokens(tokens);
        d.i_batch         = 0;
        if (prep) {
            prep(d);
        }
        kestu_filter_logits(*tv.ctx, *st, d, p, temperature, re);
        return d;
    }

    // tokens masked whatever the parameters (solm: without speaker turns)
    bool special_masked(int id) const {
        const kestu_vocab & v = tv.vocab();
        return id >= v.token_sot && id < v.token_beg && id != v.token_solm;
    }
};

struct mask_case {
    const char *                                        name;
    std::vector<kestu_token>                            tokens; // offsets >= 1000 are timestamps beg + (x - 1000)
    std::function<void(kestu_full_params &)>            params;
    std::function<void(kestu_decoder &)>                decoder;
    // is id still possible? (the always-masked specials are checked apart)
    std::function<bool(int id, int eot, int beg, const test_vocab & tv)> allowed;
};

TEST_F(Logits, EachRuleLeavesExactlyTheTokensItShould) {
    auto none   = [](kestu_full_params &) {};
    auto nodec  = [](kestu_decoder &) {};
    auto all    = [](int, int, int, const test_vocab &) { return true; };
    const int T = 1000; // timestamp marker

    const std::vector<mask_case> cases = {
        {"defaults", {}, none, nodec, all},
        {"blank at the first token",
         {},
         [](kestu_full_params & q) { q.suppress_leading_blank = true; },
         nodec,
         [](int id, int eot, int, const test_vocab & tv) { return id != eot && id != tv.id(" "); }},
        {"blank allowed after the first token",
         {1},
         [](kestu_full_params & q) { q.suppress_leading_blank = true; },
         nodec, all},
        {"no timestamps",
         {},
         [](kestu_full_params & q) { q.no_timestamps = true; },
         nodec,
         [](int id, int, int beg, const test_vocab &) { return id < beg; }},
        {"segment full: a timestamp must come",
         {9, 10},
         [](kestu_full_params & q) { q.max_segment_tokens = 2; },
         nodec,
         [](int id, int eot, int, const test_vocab &) { return id >= eot; }},
        {"segment not yet full",
         {9},
         [](kestu_full_params & q) { q.max_segment_tokens = 2; },
         nodec, all},
        {"segment limit ignored with one segment per window",
         {9, 10},
         [](kestu_full_params & q) {
             q.max_segment_tokens     = 2;
             q.one_segment_per_window = true;
         },
         nodec, all},
        {"a lone timestamp at the start takes text next",
         {T + 3},
         none, nodec,
         [](int id, int, int beg, const test_vocab &) { return id < beg; }},
        {"text then a timestamp takes a timestamp or the end next",
         {1, T + 3},
         none, nodec,
         [](int id, int eot, int, const test_vocab &) { return id >= eot; }},
        {"two timestamps take text next",
         {1, T + 2, T + 3},
         none, nodec,
         [](int id, int, int beg, const test_vocab &) { return id < beg; }},
        {"text after a timestamp leaves everything",
         {T + 2, 1},
         none, nodec, all},
        {"first timestamp limit 1 s at 1500 positions",
         {},
         [](kestu_full_params & q) { q.first_timestamp_limit = 1.0f; },
         nodec,
         [](int id, int, int beg, const test_vocab &) { return id <= beg + 50; }},
        {"first timestamp limit applies to the first token only",
         {1},
         [](kestu_full_params & q) { q.first_timestamp_limit = 1.0f; },
         nodec, all},
        {"first timestamp limit past the last timestamp",
         {},
         [](kestu_full_params & q) { q.first_timestamp_limit = 1e9f; },
         nodec, all},
        {"first timestamp limit at the float maximum",
         {},
         [](kestu_full_params & q) { q.first_timestamp_limit = FLT_MAX; },
         nodec, all},
        {"first timestamp limit infinite",
         {},
         [](kestu_full_params & q) { q.first_timestamp_limit = INFINITY; },
         nodec, all},
        {"first timestamp limit at the last timestamp",
         {},
         [](kestu_full_params & q) { q.first_timestamp_limit = 2.0f; }, // k = 100: the last one
         nodec, all},
        {"timestamps only forward",
         {1},
         none,
         [](kestu_decoder & d) {
             d.has_ts     = true;
             d.seek_delta = 20;
         },
         [](int id, int, int beg, const test_vocab &) { return id < beg || id >= beg + 10; }},
        {"timestamps forward from a delta of 3",
         {1},
         none,
         [](kestu_decoder & d) {
             d.has_ts     = true;
             d.seek_delta = 3;
         },
         [](int id, int, int beg, const test_vocab &) { return id != beg; }},
        {"a delta of 1 masks nothing",
         {1},
         none,
         [](kestu_decoder & d) {
             d.has_ts     = true;
             d.seek_delta = 1;
         },
         all},
        {"a delta past the vocabulary masks every timestamp",
         {1},
         none,
         [](kestu_decoder & d) {
             d.has_ts     = true;
             d.seek_delta = 5000;
         },
         [](int id, int, int beg, const test_vocab &) { return id < beg; }},
        {"no forward rule without a timestamp sampled",
         {1},
         none,
         [](kestu_decoder & d) { d.seek_delta = 20; },
         all},
        {"non-speech tokens",
         {},
         [](kestu_full_params & q) { q.suppress_non_speech = true; },
         nodec,
         [](int id, int, int, const test_vocab & tv) {
             for (const char * s : {"(", " (", "♪", " ♪", " -", " '"}) {
                 if (id == tv.id(s)) {
                     return false;
                 }
             }
             return true;
         }},
    };

    for (const mask_case & c : cases) {
        SCOPED_TRACE(c.name);
        p = kestu_full_params{};
        c.params(p);
        std::vector<kestu_token> tokens;
        for (kestu_token t : c.tokens) {
            tokens.push_back(t >= T ? beg() + (t - T) : t);
        }
        const kestu_decoder & d = run(tokens, base_row(), 0.0f, nullptr, c.decoder);
        for (int id = 0; id < nv(); ++id) {
            const bool want = !special_masked(id) && (id != tv.vocab().token_solm) && c.allowed(id, eot(), beg(), tv);
            ASSERT_EQ(std::isfinite(d.logits[id]), want) << "id " << id;
            ASSERT_EQ(d.probs[id] > 0.0f, want) << "id " << id;
            if (!want) {
                ASSERT_EQ(d.logprobs[id], -INFINITY) << "id " << id;
            }
        }
    }
}

TEST(LogitsFirstTimestamp, StepFollowsTheModelsAudioContext) {
    // 750 positions: 0.04 s a timestamp, so 1 s is k = 25; 0.05 s rounds to 1
    // (1.25) and 0.06 s to 2 (1.5, halves away from zero)
    test_vocab tv(k_texts, 20, 101, 750);
    auto       st = std::make_unique<kestu_state>();
    for (const auto & [limit, k] : std::vector<std::pair<float, int>>{{1.0f, 25}, {0.05f, 1}, {0.06f, 2}}) {
        SCOPED_TRACE(limit);
        kestu_full_params p{};
        p.first_timestamp_limit = limit;
        st->logits.assign(tv.n_vocab(), 0.0f);
        kestu_decoder & d = st->decoders[0];
        test_reset_decoder(d);
        d.i_batch = 0;
        kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr);
        for (int i = tv.beg(); i < tv.n_vocab(); ++i) {
            ASSERT_EQ(std::isfinite(d.logits[i]), i <= tv.beg() + k) << i;
        }
    }
}

TEST_F(Logits, SpeakerTurnDetectionKeepsTheTurnToken) {
    p.speaker_turn_detection = true;
    const kestu_decoder & d  = run({}, base_row());
    EXPECT_TRUE(std::isfinite(d.logits[tv.vocab().token_solm]));
    p.speaker_turn_detection = false;
    EXPECT_EQ(run({}, base_row()).logits[tv.vocab().token_solm], -INFINITY);
}

TEST_F(Logits, SuppressPatternMasksWholeMatchesOnly) {
    struct pattern_case {
        const char *             pattern;
        std::vector<std::string> masked;
    };
    const std::vector<pattern_case> cases = {
        {"h.*", {"hello"}},
        {"ell", {}}, // found inside "hello", but not the whole text
        {" .*", {" ", " world", " (", " ♪", " -", " '"}},
        {"[ab]", {"a", "b"}},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.pattern);
        const std::regex      re(c.pattern);
        const kestu_decoder & d = run({}, base_row(), 0.0f, &re);
        for (const std::string & t : k_texts) {
            const bool masked = std::find(c.masked.begin(), c.masked.end(), t) != c.masked.end();
            EXPECT_EQ(d.logits[tv.id(t)] == -INFINITY, masked) << "'" << t << "'";
        }
    }
    // special texts are texts too
    const std::regex      ts_re("\\[_TT_.*");
    const kestu_decoder & d = run({}, base_row(), 0.0f, &ts_re);
    for (int id = beg(); id < nv(); ++id) {
        ASSERT_EQ(d.logits[id], -INFINITY);
    }
}

TEST_F(Logits, LogSoftmaxMatchesADoublePrecisionReference) {
    std::mt19937                          gen(7);
    std::uniform_real_distribution<float> u(-8.0f, 8.0f);
    for (float temperature : {0.0f, 0.5f, 1.0f, 2.5f}) {
        SCOPED_TRACE(temperature);
        std::vector<float> row(nv());
        for (int i = 0; i < nv(); ++i) {
            row[i] = i < beg() ? u(gen) : u(gen) - 30.0f; // keep the timestamp rule quiet
        }
        const kestu_decoder & d = run({}, row, temperature);

        double m = -INFINITY;
        for (int i = 0; i < nv(); ++i) {
            if (d.logits[i] != -INFINITY) {
                m = std::max(m, (double) d.logits[i]);
            }
        }
        double s = 0.0;
        for (int i = 0; i < nv(); ++i) {
            if (d.logits[i] != -INFINITY) {
                s += std::exp((double) d.logits[i] - m);
            }
        }
        double psum = 0.0;
        for (int i = 0; i < nv(); ++i) {
            if (d.logits[i] == -INFINITY) {
                continue;
            }
            const double t = temperature > 0.0f ? temperature : 1.0f;
            ASSERT_NEAR(d.logits[i], row[i] / t, 1e-6 * std::fabs(row[i] / t)) << i;
            const double ref = (double) d.logits[i] - m - std::log(s);
            ASSERT_NEAR(d.logprobs[i], ref, 1e-5) << i;
            ASSERT_NEAR(d.probs[i], std::exp(ref), 1e-6) << i;
            psum += d.probs[i];
        }
        EXPECT_NEAR(psum, 1.0, 1e-5);
    }
}

TEST_F(Logits, ATemperatureTooSmallToDivideByLeavesTheLogitsUndivided) {
    // text logits around 10: a temperature below about 3e-38 takes them past
    // the largest float, and two +inf left no distribution at all
    std::vector<float> row = base_row();
    for (int i = 0; i < eot(); ++i) {
        row[i] = 10.0f + 0.25f * (float) (i % 7);
    }
    const int best = 6; // the first of the largest
    struct temperature_case {
        float t;
        bool  divided;
    };
    for (const temperature_case c : {temperature_case{1e-38f, false}, {FLT_MIN, false}, {1e-30f, true},
                                     {1e-6f, true}, {0.3f, true}, {1.7f, true}}) {
        SCOPED_TRACE(c.t);
        const kestu_decoder & d = run({}, row, c.t);
        for (int i = 0; i < eot(); ++i) {
            // ordinary temperatures keep their exact division
            ASSERT_EQ(d.logits[i], c.divided ? row[i] / c.t : row[i]) << i;
        }
        int argmax = 0;
        for (int i = 1; i < nv(); ++i) {
            argmax = d.probs[i] > d.probs[argmax] ? i : argmax;
        }
        EXPECT_EQ(argmax, best);
        EXPECT_GT(d.probs[best], 0.0f);
    }
}

TEST_F(Logits, TimestampMassAgainstTheBestTextTokenAtTheBoundary) {
    // one text token at L, the other text at -30, all 101 timestamps at 0:
    // the timestamp mass wins exactly when ln(101) > L
    const int   hello = tv.id("hello");
    const float ln101 = std::log(101.0f);
    for (float delta : {-0.01f, 0.01f}) {
        SCOPED_TRACE(delta);
        std::vector<float> row(nv(), -30.0f);
        row[hello] = ln101 + delta;
        for (int i = beg(); i < nv(); ++i) {
            row[i] = 0.0f;
        }
        const kestu_decoder & d = run({}, row);
        const bool            fired = delta < 0.0f;
        for (int i = 0; i < beg(); ++i) {
            if (fired) {
                ASSERT_EQ(d.logits[i], -INFINITY) << i;
                ASSERT_EQ(d.logprobs[i], -INFINITY) << i;
                ASSERT_EQ(d.probs[i], 0.0f) << i;
            }
        }
        EXPECT_EQ(d.probs[hello] > 0.0f, !fired);
        EXPECT_EQ(d.probs[eot()] > 0.0f, !fired); // the end of text goes too
        for (int i = beg(); i < nv(); ++i) {
            ASSERT_GT(d.probs[i], 0.0f) << i;
        }
        if (fired) {
            // the timestamps keep their share of the full distribution
            double z = 101.0 + std::exp((double) row[hello]);
            for (int i = 0; i < beg(); ++i) {
                if (i != hello && !special_masked(i) && i != tv.vocab().token_solm) {
                    z += std::exp(-30.0);
                }
            }
            EXPECT_NEAR(d.probs[beg()], 1.0 / z, 1e-6);
        }
    }
}

TEST_F(Logits, NoTimestampsNeverFiresTheTimestampRule) {
    p.no_timestamps = true;
    std::vector<float> row(nv(), -5.0f);
    for (int i = beg(); i < nv(); ++i) {
        row[i] = 10.0f;
    }
    const kestu_decoder & d = run({}, row);
    EXPECT_GT(d.probs[tv.id("hello")], 0.0f);
    EXPECT_GT(d.probs[eot()], 0.0f);
}

struct callback_log {
    std::thread::id          thread;
    int                      calls = 0;
    std::vector<kestu_token> tokens;
    float                    not_logit   = 0.0f;
    float                    paren_logit = 0.0f;
    const kestu_context *    ctx         = nullptr;
    const kestu_state *      state       = nullptr;
    int                      hello       = 0;
    int                      world       = 0;
};

void edit_logits(kestu_context * ctx, kestu_state * state, const kestu_token_data * tokens, int n_tokens,
                 float * logits, void * user_data) {
    auto * log   = static_cast<callback_log *>(user_data);
    log->thread  = std::this_thread::get_id();
    log->calls++;
    log->ctx   = ctx;
    log->state = state;
    log->tokens.clear();
    for (int i = 0; i < n_tokens; ++i) {
        log->tokens.push_back(tokens[i].id);
    }
    log->not_logit   = logits[ctx->vocab.token_not];
    log->paren_logit = logits[ctx->vocab.token_to_id.at("(")];
    logits[log->hello] = -INFINITY;
    logits[log->world] = 50.0f;
}

TEST_F(Logits, CallbackSeesTheEarlyMasksAndItsEditsCount) {
    callback_log log;
    log.hello              = tv.id("hello");
    log.world              = tv.id(" world");
    p.on_logits            = edit_logits;
    p.on_logits_user_data  = &log;
    p.suppress_non_speech  = true;

    const kestu_decoder & d = run({tv.id("a"), tv.id("b")}, base_row());
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.thread, std::this_thread::get_id());
    EXPECT_EQ(log.ctx, tv.ctx.get());
    EXPECT_EQ(log.state, st.get());
    EXPECT_EQ(log.tokens, (std::vector<kestu_token>{tv.id("a"), tv.id("b")}));
    EXPECT_EQ(log.not_logit, -INFINITY); // masked before the callback
    EXPECT_EQ(log.paren_logit, 0.0f);    // non-speech comes after it
    EXPECT_EQ(d.logits[tv.id("(")], -INFINITY);
    EXPECT_EQ(d.probs[log.hello], 0.0f);
    EXPECT_GT(d.probs[log.world], 0.99f);
}

TEST_F(Logits, HalvesOnAnotherThreadGiveTheSameResult) {
    // the driver runs the halves on sampling threads and the callback between
    // them on its own; the split must not change the result
    callback_log log;
    log.hello             = tv.id("hello");
    log.world             = tv.id(" world");
    p.on_logits           = edit_logits;
    p.on_logits_user_data = &log;
    p.first_timestamp_limit = 0.5f;

    const std::vector<float> whole = run({}, base_row()).probs;

    kestu_decoder & d = st->decoders[1];
    test_reset_decoder(d);
    d.i_batch = 0;
    std::thread([&] { kestu_filter_logits_begin(*tv.ctx, *st, d, p, 0.0f); }).join();
    p.on_logits(tv.ctx.get(), st.get(), d.sequence.tokens.data(), 0, d.logits.data(), p.on_logits_user_data);
    std::thread([&] { kestu_filter_logits_end(*tv.ctx, *st, d, p, nullptr); }).join();
    EXPECT_EQ(d.probs, whole);
}

TEST_F(Logits, ReadsTheDecodersOwnRow) {
    std::vector<float> rows = base_row();
    std::vector<float> row1 = base_row();
    row1[tv.id("b")]        = 9.0f;
    rows.insert(rows.end(), row1.begin(), row1.end());
    st->logits        = rows;
    kestu_decoder & d = st->decoders[3];
    test_reset_decoder(d);
    d.i_batch = 1;
    kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr);
    EXPECT_GT(d.probs[tv.id("b")], 0.9f);
}

TEST_F(Logits, GrammarRulesWithoutAGrammarStateChangeNothing) {
    const std::vector<float> plain = run({1}, base_row()).probs;
    p.grammar_rule_count           = 1;
    p.grammar_reject_penalty       = 100.0f;
    EXPECT_EQ(run({1}, base_row()).probs, plain);
}

using LogitsDeathTest = Logits;

TEST_F(LogitsDeathTest, AVocabularyOfTheWrongSizeAborts) {
    tv.ctx->vocab.n_vocab += 1;
    EXPECT_DEATH(run({}, std::vector<float>(nv(), 0.0f)), "n_logits == ctx.vocab.n_vocab");
}

TEST_F(LogitsDeathTest, ARowOutsideTheLogitsAborts) {
    st->logits = base_row();
    kestu_decoder & d = st->decoders[0];
    test_reset_decoder(d);
    d.i_batch = 1;
    EXPECT_DEATH(kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr), "KESTU_ASSERT");
}

} // namespace
