// Parallel transcription of the shared model's clips: 70 seconds with a
// clip at the start of every window the chunks will see, cut for 2 and 4
// processors: each clip's text comes back in its chunk's place, in order,
// with its token times shifted along; an offset and a duration split only
// the span asked for.

#include "full-test-helpers.h"

#include <gtest/gtest.h>

using namespace full_test;

namespace {

constexpr int64_t SR = 16000;

// the shared model with time warping, so tokens carry times to shift
kestu_context * dtw_context() {
    static ctx_ptr ctx = [] {
        kestu_context_params cp = cpu_params();
        cp.flash_attn           = false;
        cp.dtw_token_timestamps = true;
        cp.dtw_aheads_preset    = KESTU_AHEADS_N_TOP_MOST;
        cp.dtw_n_top            = 2;
        return ctx_ptr(kestu_init_from_file_with_params(model_path("digits-tiny-f16.bin").c_str(), cp));
    }();
    return ctx.get();
}

struct layout {
    std::vector<float>   samples;
    std::vector<int64_t> starts_cs; // where each clip begins
    std::vector<int>     clips;     // which clips
};

// 70 s of silence with clips at the given seconds
layout place_clips(const std::vector<double> & seconds, const std::vector<int> & which) {
    layout l;
    l.samples.assign(70 * SR, 0.0f);
    for (size_t i = 0; i < seconds.size(); i++) {
        const clip &  c     = sample_clips().at(which[i]);
        const int64_t begin = (int64_t) (seconds[i] * SR);
        std::copy(c.samples.begin(), c.samples.end(), l.samples.begin() + begin);
        l.starts_cs.push_back(begin / 160);
        l.clips.push_back(which[i]);
    }
    return l;
}

kestu_full_params run_params() {
    kestu_full_params p   = worker_params(KESTU_SAMPLING_GREEDY, 2);
    p.compute_token_times = true;
    return p;
}

std::string trimmed(const std::string & s) {
    const size_t i = s.find_first_not_of(' ');
    return i == std::string::npos ? "" : s.substr(i);
}

// Segment k holds clip k: its text, a start where the clip's window starts,
// an end no later than the next segment's start, time-warped token times
// inside it in order, and probability-based token times inside its chunk.
// chunk_starts_cs: where each chunk's samples begin (the first at 0).
void expect_clips_in_place(const kestu_context & ctx, const kestu_state & st, const layout & l, size_t first,
                           size_t n, const std::vector<int64_t> & chunk_starts_cs, int64_t span_end_cs) {
    ASSERT_EQ(st.result.size(), n);
    int64_t last_time = 0;
    for (size_t k = 0; k < st.result.size(); k++) {
        const kestu_segment & s = st.result[k];
        SCOPED_TRACE(testing::Message() << "segment " << k << " [" << s.t0 << ", " << s.t1 << "]");
        EXPECT_EQ(trimmed(s.text), sample_clips().at(l.clips[first + k]).text);
        EXPECT_EQ(s.t0, l.starts_cs[first + k]);
        EXPECT_LE(s.t0, s.t1);
        const int64_t end = k + 1 < st.result.size() ? st.result[k + 1].t0 : span_end_cs;
        EXPECT_LE(s.t1, end);
        int64_t chunk_start = 0;
        for (int64_t c : chunk_starts_cs) {
            chunk_start = c <= s.t0 ? c : chunk_start;
        }
        int n_text = 0;
        for (const kestu_token_data & t : s.tokens) {
            if (t.id >= ctx.vocab.token_eot) {
                continue;
            }
            n_text++;
            EXPECT_GE(t.t_dtw, s.t0);
            EXPECT_LE(t.t_dtw, s.t1);
            EXPECT_GE(t.t_dtw, last_time);
            last_time = t.t_dtw;
            for (int64_t v : {t.t0, t.t1}) {
                EXPECT_GE(v, chunk_start);
                EXPECT_LE(v, s.t1);
            }
        }
        EXPECT_GT(n_text, 0);
    }
}

struct parallel_case {
    int                 n_processors;
    std::vector<double> seconds; // the clips at the starts of the chunks' windows
};

class ParallelClips : public testing::TestWithParam<parallel_case> {};

TEST_P(ParallelClips, EachChunkLandsInItsPlace) {
    const parallel_case & c   = GetParam();
    kestu_context *       ctx = dtw_context();
    ASSERT_NE(ctx, nullptr);
    const layout l = place_clips(c.seconds, {1, 6, 9, 2});

    log_capture       log;
    kestu_full_params p = run_params();
    ASSERT_EQ(kestu_full_parallel(ctx, p, l.samples.data(), (int) l.samples.size(), c.n_processors), KESTU_FULL_OK);
    std::vector<int64_t> chunk_starts;
    for (int k = 0; k < c.n_processors; k++) {
        chunk_starts.push_back(k * 7000 / c.n_processors);
    }
    expect_clips_in_place(*ctx, *ctx->state, l, 0, 4, chunk_starts, 7000);

    const int64_t per_cs = 7000 / c.n_processors;
    for (int k = 1; k < c.n_processors; k++) {
        EXPECT_EQ(log.count("split " + std::to_string(k) + " - " + kestu_format_timestamp(k * per_cs)), 1);
    }
    EXPECT_EQ(log.count("split into " + std::to_string(c.n_processors) + " chunks"), 1);
}

INSTANTIATE_TEST_SUITE_P(TwoAndFour, ParallelClips,
                         testing::Values(parallel_case{2, {0.0, 30.0, 35.0, 65.0}},
                                         parallel_case{4, {0.0, 17.5, 35.0, 52.5}}),
                         [](const testing::TestParamInfo<parallel_case> & info) {
                             return std::to_string(info.param.n_processors) + "Processors";
                         });

TEST(Parallel, AnOffsetAndADurationSplitOnlyTheSpanAskedFor) {
    kestu_context * ctx = dtw_context();
    ASSERT_NE(ctx, nullptr);
    const layout l = place_clips({0.0, 17.5, 35.0, 52.5}, {1, 6, 9, 2});

    // 17.5 s .. 52.5 s in two chunks: the clips at 17.5 s and 35 s only
    kestu_full_params p   = run_params();
    p.start_offset_ms     = 17500;
    p.process_duration_ms = 35000;
    ASSERT_EQ(kestu_full_parallel(ctx, p, l.samples.data(), (int) l.samples.size(), 2), KESTU_FULL_OK);
    expect_clips_in_place(*ctx, *ctx->state, l, 1, 2, {0, 3500}, 5250);
    EXPECT_LE(ctx->state->result.back().t1, 5250);
}

} // namespace
