// Timings of a context and its default state: per-run milliseconds, the
// printed report, and the reset that keeps the fallback counters.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

class Timings : public ::testing::Test {
protected:
    kestu_context ctx;
    kestu_state   state;
    std::vector<captured_line> lines;

    void SetUp() override {
        ctx.t_load_us   = 12345;
        state.t_sample_us = 500;   state.n_sample = 0; // never counted: one run
        state.t_encode_us = 3000;  state.n_encode = 2;
        state.t_decode_us = 0;     state.n_decode = 0;
        state.t_batchd_us = 7000;  state.n_batchd = 4;
        state.t_prompt_us = 1000;  state.n_prompt = 3;
        state.t_mel_us    = 2500;
        state.n_fail_p    = 2;
        state.n_fail_h    = 5;
        ctx.state = &state;
        kestu_log_set(capture, &lines);
    }
    void TearDown() override {
        ctx.state = nullptr;
        kestu_log_set(nullptr, nullptr);
    }
};

TEST_F(Timings, PerRunMilliseconds) {
    kestu_timings * t = kestu_get_timings(&ctx);
    ASSERT_NE(t, nullptr);
    EXPECT_FLOAT_EQ(t->sample_ms, 0.5f);
    EXPECT_FLOAT_EQ(t->encode_ms, 1.5f);
    EXPECT_EQ(t->decode_ms, 0.0f);
    EXPECT_FLOAT_EQ(t->batchd_ms, 1.75f);
    EXPECT_FLOAT_EQ(t->prompt_ms, 1.0f / 3.0f);
    free(t);

    ctx.state = nullptr;
    EXPECT_EQ(kestu_get_timings(&ctx), nullptr);
}

TEST_F(Timings, ReportLinesWithAState) {
    ctx.t_start_us = tevo_time_us();
    kestu_print_timings(&ctx);
    const char * expected[] = {
        "\n",
        "kestu_print_timings:     load time =    12.35 ms\n",
        "kestu_print_timings:     fallbacks =   2 p /   5 h\n",
        "kestu_print_timings:      mel time =     2.50 ms\n",
        "kestu_print_timings:   sample time =     0.50 ms /     1 runs (     0.50 ms per run)\n",
        "kestu_print_timings:   encode time =     3.00 ms /     2 runs (     1.50 ms per run)\n",
        "kestu_print_timings:   decode time =     0.00 ms /     1 runs (     0.00 ms per run)\n",
        "kestu_print_timings:   batchd time =     7.00 ms /     4 runs (     1.75 ms per run)\n",
        "kestu_print_timings:   prompt time =     1.00 ms /     3 runs (     0.33 ms per run)\n",
    };
    ASSERT_EQ(lines.size(), 10u);
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(lines[i].text, expected[i]) << i;
        EXPECT_EQ(lines[i].level, TEVO_LOG_LEVEL_INFO);
    }
    EXPECT_EQ(lines[9].text.rfind("kestu_print_timings:    total time = ", 0), 0u) << lines[9].text;
    EXPECT_EQ(lines[9].text.substr(lines[9].text.size() - 4), " ms\n");
}

TEST_F(Timings, ReportWithoutAStateHasLoadAndTotalOnly) {
    ctx.state = nullptr;
    kestu_print_timings(&ctx);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "\n");
    EXPECT_EQ(lines[1].text, "kestu_print_timings:     load time =    12.35 ms\n");
    EXPECT_EQ(lines[2].text.rfind("kestu_print_timings:    total time = ", 0), 0u);
}

TEST_F(Timings, ResetClearsTimesAndRunsButKeepsFallbacks) {
    const int64_t before = tevo_time_us();
    kestu_reset_timings(&ctx);
    EXPECT_GE(ctx.t_start_us, before);

    kestu_timings * t = kestu_get_timings(&ctx);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->sample_ms, 0.0f);
    EXPECT_EQ(t->encode_ms, 0.0f);
    EXPECT_EQ(t->decode_ms, 0.0f);
    EXPECT_EQ(t->batchd_ms, 0.0f);
    EXPECT_EQ(t->prompt_ms, 0.0f);
    free(t);
    EXPECT_EQ(state.t_mel_us, 0);
    EXPECT_EQ(state.n_encode, 0);
    EXPECT_EQ(state.n_prompt, 0);

    kestu_print_timings(&ctx);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2].text, "kestu_print_timings:     fallbacks =   2 p /   5 h\n");

    // without a state only the clock restarts
    ctx.state = nullptr;
    kestu_reset_timings(&ctx);
    EXPECT_GE(ctx.t_start_us, before);
}

} // namespace
