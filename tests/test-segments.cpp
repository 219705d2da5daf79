// Segments and timestamps on synthetic token sequences: cutting at
// timestamp tokens (times held inside the window), segment texts and times,
// token times from timestamp probabilities and signal energy (absolute
// positions, clamped to the audio; a segment's first token starts inside it),
// the splitting of long segments, the energy itself and the time format.

#include "decode-test-vocab.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <random>

namespace {

const std::vector<std::string> k_texts = {" ", "hello", " world", "a", "b", " c", "1.", "，", "\xE3\x80", "Z"};

// a token at a window step: its id and the most probable timestamp then
kestu_token_data tok(kestu_token id, kestu_token timestamp_id, float timestamp_p = 0.0f) {
    kestu_token_data t = test_token(id);
    t.timestamp_id     = timestamp_id;
    t.timestamp_p      = timestamp_p;
    t.timestamp_p_sum  = timestamp_p;
    return t;
}

struct log_capture {
    std::mutex               mutex;
    std::vector<std::string> lines;

    log_capture() {
        kestu_log_set(
            [](enum tevo_log_level, const char * text, void * user_data) {
                auto * self = (log_capture *) user_data;
                std::lock_guard<std::mutex> lock(self->mutex);
                self->lines.push_back(text);
            },
            this);
    }
    ~log_capture() { kestu_log_set(nullptr, nullptr); }

    bool has(const std::string & part) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string & l : lines) {
            if (l.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

class Segments : public ::testing::Test {
public:
    test_vocab                   tv{k_texts, 20, 1501};
    std::unique_ptr<kestu_state> st = std::make_unique<kestu_state>();
    kestu_full_params            p{};

    int             calls = 0;
    std::vector<int> n_news;

    void SetUp() override {
        p.on_new_segment = [](kestu_context *, kestu_state *, int n_new, void * user_data) {
            auto * self = (Segments *) user_data;
            self->calls++;
            self->n_news.push_back(n_new);
        };
        p.on_new_segment_user_data = this;
        p.timestamp_p_threshold     = 0.01f;
        p.timestamp_p_sum_threshold = 0.01f;
    }

    int id(const std::string & text) const { return tv.id(text); }
    int beg() const { return tv.beg(); }
    // timestamp token of k * 20 ms
    kestu_token_data ts(int k) const { return tok(beg() + k, beg() + k, 0.0f); }
    kestu_token_data text(const std::string & t, int ts_k = 0) const { return tok(id(t), beg() + ts_k); }

    int cut(const std::vector<kestu_token_data> & tokens, int seek, int seek_delta) {
        return kestu_cut_segments(*tv.ctx, *st, p, tokens, seek, seek_delta);
    }
};

struct expected_segment {
    int64_t     t0;
    int64_t     t1;
    std::string text;
    size_t      n_tokens;
    bool        speaker_turn_next;
};

struct cut_case {
    const char *                                                        name;
    std::function<std::vector<kestu_token_data>(const Segments &)>     tokens;
    std::function<void(kestu_full_params &)>                            params;
    int                                                                 seek;
    int                                                                 seek_delta;
    std::vector<expected_segment>                                       expected;
};

TEST_F(Segments, CutAtTimestampTokens) {
    auto none = [](kestu_full_params &) {};
    const std::vector<cut_case> cases = {
        {"a repeated timestamp between two texts",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("hello"), s.ts(100), s.ts(100), s.text(" world"),
                                                  s.ts(200)};
         },
         none, 0, 400, {{0, 200, "hello", 3, false}, {200, 400, " world", 2, false}}},
        {"the next segment starts at the last timestamp of a run",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("hello"), s.ts(100), s.ts(125), s.text(" world"),
                                                  s.ts(200)};
         },
         none, 0, 400, {{0, 200, "hello", 3, false}, {250, 400, " world", 2, false}}},
        {"a single timestamp ends one segment and starts the next",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("a"), s.ts(50), s.text("b"), s.ts(90)};
         },
         none, 6000, 180, {{6000, 6100, "a", 3, false}, {6100, 6180, "b", 2, false}}},
        {"no closing timestamp ends at the window advance",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("hello"), s.text(" world")};
         },
         none, 3000, 1200, {{3000, 4200, "hello world", 3, false}}},
        {"one segment per window",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("hello"), s.ts(100), s.ts(100), s.text(" world"),
                                                  s.ts(200)};
         },
         [](kestu_full_params & q) { q.one_segment_per_window = true; }, 0, 3000,
         {{0, 3000, "hello world", 6, false}}},
        {"without timestamps the start is the window start, not before it",
         [](const Segments & s) {
             // greedy leaves timestamp_id 0 when no timestamp had a probability
             std::vector<kestu_token_data> t = {tok(s.id("hello"), 0), tok(s.id(" world"), 0),
                                                tok(s.tv.eot(), 0)};
             return t;
         },
         [](kestu_full_params & q) { q.no_timestamps = true; }, 1000, 3000, {{1000, 4000, "hello world", 3, false}}},
        {"a timestamp id past the window is held at its end",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{tok(s.id("hello"), s.beg() + 1400)};
         },
         none, 0, 500, {{500, 500, "hello", 1, false}}},
        {"a closing timestamp past the window's end ends the segment there",
         [](const Segments & s) {
             // the audio (or the span) ends 5 s into the window
             return std::vector<kestu_token_data>{s.ts(0), s.text("hello"), s.ts(1000)};
         },
         none, 3000, 500, {{3000, 3500, "hello", 3, false}}},
        {"a run of timestamps past the window's end starts the next segment at that end",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("a"), s.ts(100), s.ts(300), s.text("b"),
                                                  s.ts(400)};
         },
         none, 0, 250, {{0, 200, "a", 3, false}, {250, 250, "b", 2, false}}},
        {"timestamps before any text make no empty segment",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.ts(25), s.text("hello"), s.ts(100)};
         },
         none, 0, 200, {{50, 200, "hello", 2, false}}},
        {"special tokens are written with log_special_tokens",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("a"), s.ts(10), s.ts(20), s.text("b"), s.ts(30)};
         },
         [](kestu_full_params & q) { q.log_special_tokens = true; }, 0, 60,
         {{0, 20, "[_TT_0]a[_TT_10]", 3, false}, {40, 60, "[_TT_20]b[_TT_30]", 2, false}}},
        {"a speaker turn marks its segment only",
         [](const Segments & s) {
             return std::vector<kestu_token_data>{s.ts(0), s.text("a"), tok(s.tv.vocab().token_solm, s.beg()),
                                                  s.ts(10), s.text("b"), s.ts(20)};
         },
         [](kestu_full_params & q) { q.speaker_turn_detection = true; }, 0, 40,
         {{0, 20, "a", 4, true}, {20, 40, "b", 2, false}}},
    };

    for (const cut_case & c : cases) {
        SCOPED_TRACE(c.name);
        st->result.clear();
        calls = 0;
        n_news.clear();
        kestu_full_params saved = p;
        c.params(p);
        const int n = cut(c.tokens(*this), c.seek, c.seek_delta);
        p = saved;

        ASSERT_EQ(n, (int) c.expected.size());
        ASSERT_EQ(st->result.size(), c.expected.size());
        EXPECT_EQ(calls, n);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const kestu_segment &    got  = st->result[i];
            const expected_segment & want = c.expected[i];
            EXPECT_EQ(got.t0, want.t0) << i;
            EXPECT_EQ(got.t1, want.t1) << i;
            EXPECT_EQ(got.text, want.text) << i;
            EXPECT_EQ(got.tokens.size(), want.n_tokens) << i;
            EXPECT_EQ(got.speaker_turn_next, want.speaker_turn_next) << i;
        }
    }
}

TEST_F(Segments, EachSegmentCarriesTheWindowsNoSpeechProbability) {
    st->no_speech_prob = 0.25f;
    cut({ts(0), text("a"), ts(10), text("b"), ts(20)}, 0, 40);
    ASSERT_EQ(st->result.size(), 2u);
    EXPECT_EQ(st->result[0].no_speech_prob, 0.25f);
    EXPECT_EQ(st->result[1].no_speech_prob, 0.25f);
}

TEST_F(Segments, CallbackWaitsForTimeWarpingWhenItIsOn) {
    tv.ctx->params.dtw_token_timestamps = true;
    EXPECT_EQ(cut({ts(0), text("a"), ts(10)}, 0, 40), 1);
    EXPECT_EQ(calls, 0);
}

TEST_F(Segments, TokenTimesFollowTheSignalAtAbsolutePositions) {
    // window at 30 s; the segment's tokens share [3000, 3200] by voice length:
    // "a" [3000, 3100], "b" [3100, 3200]; the signal is loud from 31.2 s to
    // 31.8 s only, so "b" is moved onto it
    p.compute_token_times = true;
    const int n_audio      = 40 * 16000;
    st->energy.assign(n_audio, 0.0f);
    for (int i = 3120 * 160; i < 3180 * 160; ++i) {
        st->energy[i] = 1.0f;
    }
    ASSERT_EQ(cut({ts(0), text("a"), text("b"), ts(100)}, 3000, 200), 1);
    const kestu_segment & s = st->result[0];
    ASSERT_EQ(s.tokens.size(), 4u);
    EXPECT_EQ(s.tokens[0].t0, 3000);
    EXPECT_EQ(s.tokens[1].t0, 3000);
    EXPECT_EQ(s.tokens[1].t1, 3100);
    EXPECT_EQ(s.tokens[2].t0, 3120);
    EXPECT_EQ(s.tokens[2].t1, (3180 * 160 - 1) / 160);
    EXPECT_EQ(s.tokens[3].t0, 3200);
    EXPECT_EQ(s.tokens[3].t1, 3200);
}

// every token of the segment starts and ends inside it, in order
void expect_token_times_inside(const kestu_segment & s) {
    for (const kestu_token_data & t : s.tokens) {
        EXPECT_GE(t.t0, s.t0);
        EXPECT_LE(t.t0, t.t1);
        EXPECT_LE(t.t1, s.t1);
    }
}

TEST_F(Segments, AfterAWindowWithoutSegmentsTheFirstTokenStartsInsideItsSegment) {
    // window 1 ends its segment at 2 s; window 2 at 10 s has no timestamp
    // tokens, so its first token starts from where tracking left off, which
    // must not lie before the segment's own start
    p.compute_token_times = true;
    p.no_timestamps       = true;
    st->energy.assign(20 * 16000, 1.0f); // flat: the refinement keeps the times
    ASSERT_EQ(cut({ts(0), text("a"), ts(100)}, 0, 300), 1);
    ASSERT_EQ(cut({tok(id("hello"), 0), tok(id(" world"), 0), tok(tv.eot(), 0)}, 1000, 500), 1);
    const kestu_segment & s = st->result[1];
    ASSERT_EQ(s.t0, 1000);
    ASSERT_EQ(s.t1, 1500);
    expect_token_times_inside(s);
}

TEST_F(Segments, ATimestampCountedFromAnEarlierWindowDoesNotTimeAToken) {
    // window 2 at 30 s opens with <|1.00|>, not <|0.00|>: the timestamps of
    // its tokens are still counted from window 1's start and would put
    // "hello" at 1.2 s, before its segment
    p.compute_token_times = true;
    st->energy.assign(40 * 16000, 1.0f); // flat: the refinement keeps the times
    ASSERT_EQ(cut({ts(0), text("a"), ts(100)}, 0, 300), 1);
    ASSERT_EQ(cut({ts(50), tok(id("hello"), beg() + 60, 0.9f), text(" world"), ts(100)}, 3000, 300), 1);
    const kestu_segment & s = st->result[1];
    ASSERT_EQ(s.t0, 3100);
    ASSERT_EQ(s.t1, 3200);
    expect_token_times_inside(s);
}

TEST_F(Segments, TokenTimesUseConfidentTimestampsAndFillTheGapsByVoiceLength) {
    // "1." weighs 6, "a" 1: the gap [0, 140] is split 6 : 1 after the
    // confident timestamp of " c" fixed its start at 140
    p.compute_token_times = true;
    st->energy.assign(10 * 16000, 1.0f); // flat: the refinement keeps the times
    std::vector<kestu_token_data> tokens = {ts(0), text("1."), text("a"), tok(id(" c"), beg() + 70, 0.9f),
                                            ts(100)};
    ASSERT_EQ(cut(tokens, 0, 200), 1);
    const auto & t = st->result[0].tokens;
    EXPECT_FLOAT_EQ(t[1].voice_length, 6.0f);
    EXPECT_FLOAT_EQ(t[2].voice_length, 1.0f);
    EXPECT_EQ(t[1].t0, 0);
    EXPECT_EQ(t[1].t1, 120);
    EXPECT_EQ(t[2].t0, 120);
    EXPECT_EQ(t[2].t1, 140);
    EXPECT_EQ(t[3].t0, 140);
    EXPECT_EQ(t[3].t1, 200);
}

TEST_F(Segments, VoiceLengthWeighsMarksDigitsAndBrokenBytes) {
    p.compute_token_times = true;
    st->energy.assign(16000, 0.0f);
    const std::vector<std::pair<std::string, float>> cases = {
        {" ", 0.01f}, {"hello", 5.0f}, {" world", 5.01f}, {"1.", 6.0f}, {"，", 2.0f}, {"\xE3\x80", 2.0f},
    };
    std::vector<kestu_token_data> tokens = {ts(0)};
    for (const auto & c : cases) {
        tokens.push_back(text(c.first));
    }
    tokens.push_back(ts(50));
    ASSERT_EQ(cut(tokens, 0, 100), 1);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_FLOAT_EQ(st->result[0].tokens[i + 1].voice_length, cases[i].second) << cases[i].first;
    }
}

TEST_F(Segments, TokenTimesStayInsideAudioShorterThanTheSegment) {
    // a segment past the end of the audio: every energy position is clamped
    p.compute_token_times = true;
    st->energy.assign(1000, 0.5f);
    st->energy[10]        = 3.0f;
    ASSERT_EQ(cut({ts(0), text("a"), text("b"), text(" c"), ts(500)}, 3000, 1000), 1);
    for (const kestu_token_data & t : st->result[0].tokens) {
        EXPECT_GE(t.t0, 0);
        EXPECT_LE(t.t1, 4000);
    }
}

TEST_F(Segments, WithoutSignalTheTokenTimesComeFromProbabilitiesAlone) {
    log_capture log;
    p.compute_token_times = true;
    st->energy.clear();
    ASSERT_EQ(cut({ts(0), text("hello"), text(" world"), ts(100)}, 1000, 200), 1);
    const auto & t = st->result[0].tokens;
    EXPECT_TRUE(log.has("no signal data available"));
    int64_t last = 1000;
    for (size_t i = 1; i < t.size(); ++i) {
        EXPECT_GE(t[i].t0, last) << i;
        EXPECT_LE(t[i].t0, t[i].t1) << i;
        EXPECT_LE(t[i].t1, 1200) << i;
        last = t[i].t0;
    }
}

TEST_F(Segments, LongSegmentsAreSplitOnlyWithTokenTimes) {
    std::vector<kestu_token_data> tokens = {ts(0)};
    for (int i = 0; i < 25; ++i) {
        tokens.push_back(text(i % 2 ? "a" : "b"));
    }
    tokens.push_back(ts(500));

    p.max_segment_chars = 10;
    ASSERT_EQ(cut(tokens, 0, 1000), 1);
    EXPECT_EQ(st->result.size(), 1u);

    st->result.clear();
    n_news.clear();
    p.compute_token_times = true;
    st->energy.assign(20 * 16000, 1.0f);
    ASSERT_EQ(cut(tokens, 0, 1000), 3);
    ASSERT_EQ(n_news, std::vector<int>{3});
    EXPECT_EQ(st->result[0].text, "babababab" "a");
    EXPECT_EQ(st->result[1].text, "babababab" "a");
    EXPECT_EQ(st->result[2].text, "babab");
    for (size_t i = 1; i < st->result.size(); ++i) {
        EXPECT_EQ(st->result[i].t0, st->result[i - 1].t1);
        EXPECT_EQ(st->result[i].t0, st->result[i].tokens[0].t0);
        EXPECT_EQ(st->result[i].no_speech_prob, st->result[0].no_speech_prob);
    }
    EXPECT_EQ(st->result[2].t1, 1000);
}

TEST_F(Segments, SplitKeepsALongTokenWholeAndCanWaitForWordBoundaries) {
    p.compute_token_times = true;
    p.max_segment_chars   = 3;
    st->energy.assign(20 * 16000, 1.0f);

    // a token longer than the limit stays whole at the start of its segment
    ASSERT_EQ(cut({ts(0), text("hello"), text(" world"), ts(300)}, 0, 600), 2);
    EXPECT_EQ(st->result[0].text, "hello");
    EXPECT_EQ(st->result[1].text, " world");

    // at word boundaries only: "a" and "b" stay with "hello"
    st->result.clear();
    p.wrap_at_word_boundary = true;
    ASSERT_EQ(cut({ts(0), text("hello"), text("a"), text("b"), text(" c"), text("Z"), ts(300)}, 0, 600), 2);
    EXPECT_EQ(st->result[0].text, "helloab");
    EXPECT_EQ(st->result[1].text, " cZ");
}

TEST_F(Segments, SplitTimesStayInsideTheSegmentWhateverTheTokenTimes) {
    // token times out of order (as the energy pass can leave them): a cut
    // before " c" at 2521 lies before its piece's start at 2980, one before
    // "Z" at 3100 after the segment's end at 3000
    struct split_case {
        const char *                      name;
        std::vector<int64_t>              token_t0;
        std::vector<std::vector<int64_t>> times;
    };
    const std::vector<split_case> cases = {
        {"a token starting before its piece", {2000, 2980, 2521, 2990}, {{2000, 2980}, {2980, 2980}, {2980, 3000}}},
        {"a token starting after the segment", {2000, 2500, 3100, 2990}, {{2000, 2500}, {2500, 3000}, {3000, 3000}}},
    };
    for (const split_case & c : cases) {
        SCOPED_TRACE(c.name);
        st->result.clear();
        kestu_segment s{};
        s.t0 = 2000;
        s.t1 = 3000;
        for (const char * t : {"hello", " world", " c", "Z"}) {
            s.tokens.push_back(text(t));
        }
        for (size_t i = 0; i < s.tokens.size(); ++i) {
            s.tokens[i].t0 = c.token_t0[i];
        }
        st->result.push_back(s);

        ASSERT_EQ(kestu_split_long_segment(*tv.ctx, *st, 5, false), 3);
        ASSERT_EQ(st->result.size(), 3u);
        EXPECT_EQ(st->result[0].text, "hello");
        EXPECT_EQ(st->result[1].text, " world");
        EXPECT_EQ(st->result[2].text, " cZ");
        for (size_t i = 0; i < st->result.size(); ++i) {
            EXPECT_EQ(st->result[i].t0, c.times[i][0]) << i;
            EXPECT_EQ(st->result[i].t1, c.times[i][1]) << i;
            EXPECT_LE(st->result[i].t0, st->result[i].t1) << i;
        }
    }
}

TEST(SegmentsEnergy, MeanMagnitudeOverSixtyFiveSamples) {
    std::mt19937                          rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int n : {0, 1, 31, 33, 64, 65, 66, 200, 5000}) {
        std::vector<float> x(n);
        for (float & v : x) {
            v = dist(rng);
        }
        std::vector<float> energy;
        kestu_compute_energy(energy, x.data(), n);
        ASSERT_EQ((int) energy.size(), n);
        for (int i = 0; i < n; ++i) {
            double sum = 0.0;
            for (int j = std::max(i - 32, 0); j <= std::min(i + 32, n - 1); ++j) {
                sum += std::fabs((double) x[j]);
            }
            EXPECT_NEAR(energy[i], sum / 65.0, 1e-6) << n << " " << i;
        }
    }
}

TEST(SegmentsFormat, HoursMinutesSecondsAndMilliseconds) {
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {0, "00:00:00.000"},   {1, "00:00:00.010"},       {150, "00:00:01.500"},
        {6000, "00:01:00.000"}, {366012, "01:01:00.120"}, {360000 * 25 + 99, "25:00:00.990"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(kestu_format_timestamp(c.first), c.second) << c.first;
    }
}

} // namespace
