// Logging, the abort path, status texts, clocks and graph identifiers.

#include "core/impl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Captured {
    std::vector<std::pair<int, std::string>> lines;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<Captured *>(user_data)->lines.emplace_back(level, text);
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { tevo_log_set(capture, &cap); }
    void TearDown() override { tevo_log_set(nullptr, nullptr); }
    Captured cap;
};

TEST_F(LogTest, MessagesOfEveryLengthArriveWhole) {
    for (size_t len : { 0u, 1u, 127u, 128u, 129u, 2000u }) {
        cap.lines.clear();
        const std::string text(len, 'x');
        tevo_log_internal(TEVO_LOG_LEVEL_WARN, "%s", text.c_str());
        ASSERT_EQ(cap.lines.size(), 1u) << len;
        EXPECT_EQ(cap.lines[0].first, TEVO_LOG_LEVEL_WARN);
        EXPECT_EQ(cap.lines[0].second, text) << len;
    }
    // formatting with several arguments past the stack buffer
    cap.lines.clear();
    const std::string tail(200, 'y');
    tevo_log_internal(TEVO_LOG_LEVEL_ERROR, "%s: %d %s\n", "fn", 42, tail.c_str());
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0].second, "fn: 42 " + tail + "\n");
}

TEST_F(LogTest, NullFormatDoesNothing) {
    tevo_log_internal(TEVO_LOG_LEVEL_INFO, nullptr);
    EXPECT_TRUE(cap.lines.empty());
}

TEST(Log, SetNullInstallsTheDefaultAndKeepsUserData) {
    int marker = 0;
    tevo_log_set(nullptr, &marker);
    tevo_log_callback cb = nullptr;
    void * ud = nullptr;
    tevo_log_get(&cb, &ud);
    EXPECT_EQ(cb, tevo_log_callback_default);
    EXPECT_EQ(ud, &marker);
    tevo_log_set(nullptr, nullptr);
}

TEST(Log, ZeroByteAllocationsWarnAndYieldNull) {
    Captured cap;
    tevo_log_set(capture, &cap);
    EXPECT_EQ(tevo_aligned_malloc(0), nullptr);
    EXPECT_EQ(tevo_malloc(0), nullptr);
    EXPECT_EQ(tevo_calloc(0, 4), nullptr);
    tevo_aligned_free(nullptr, 4096);
    tevo_log_set(nullptr, nullptr);
    ASSERT_EQ(cap.lines.size(), 3u);
    EXPECT_EQ(cap.lines[0].second, "Behavior may be unexpected when allocating 0 bytes for tevo_aligned_malloc!\n");
    EXPECT_EQ(cap.lines[1].second, "Behavior may be unexpected when allocating 0 bytes for tevo_malloc!\n");
    EXPECT_EQ(cap.lines[2].second, "Behavior may be unexpected when allocating 0 bytes for tevo_calloc!\n");
    EXPECT_EQ(cap.lines[0].first, TEVO_LOG_LEVEL_WARN);
}

TEST(Log, PageAllocationFailureIsReported) {
    Captured cap;
    tevo_log_set(capture, &cap);
    EXPECT_EQ(tevo_aligned_malloc((size_t) 1 << 62), nullptr);
    tevo_log_set(nullptr, nullptr);
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0].first, TEVO_LOG_LEVEL_ERROR);
    EXPECT_EQ(cap.lines[0].second.rfind("tevo_aligned_malloc: insufficient memory (attempted to allocate", 0), 0u);
}

TEST(Log, PagesAreAlignedAndZeroed) {
    const size_t n = 3 * 4096 + 5;
    unsigned char * p = (unsigned char *) tevo_aligned_malloc(n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t) p % 4096, 0u);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0);
    tevo_aligned_free(p, n);
}

TEST(Status, Texts) {
    EXPECT_STREQ(tevo_status_to_string(TEVO_STATUS_ALLOC_FAILED), "TEVO status: error (failed to allocate memory)");
    EXPECT_STREQ(tevo_status_to_string(TEVO_STATUS_FAILED), "TEVO status: error (operation failed)");
    EXPECT_STREQ(tevo_status_to_string(TEVO_STATUS_SUCCESS), "TEVO status: success");
    EXPECT_STREQ(tevo_status_to_string(TEVO_STATUS_ABORTED), "TEVO status: warning (operation aborted)");
    EXPECT_STREQ(tevo_status_to_string((tevo_status) 2), "TEVO status: unknown");
    EXPECT_STREQ(tevo_status_to_string((tevo_status) -3), "TEVO status: unknown");
    EXPECT_STREQ(tevo_version(), "0.26.0");
    EXPECT_STREQ(tevo_commit(), "unknown");
}

TEST(Time, MonotonicAndConsistent) {
    tevo_time_init();
    const int64_t us0 = tevo_time_us();
    const int64_t ms0 = tevo_time_ms();
    const int64_t us1 = tevo_time_us();
    EXPECT_LE(us0, us1);
    EXPECT_LE(ms0, us1 / 1000 + 1);
    EXPECT_GE(ms0, us0 / 1000);
    EXPECT_EQ(tevo_cycles_per_ms(), 1000);
    EXPECT_GE(tevo_cycles(), 0);
}

TEST(GraphUid, StartsAtOneAndIncreases) {
    // first call of the process
    EXPECT_EQ(tevo_graph_next_uid(), 1u);
    EXPECT_EQ(tevo_graph_next_uid(), 2u);
}

TEST(Guid, Matches) {
    tevo_guid a = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 };
    tevo_guid b;
    memcpy(b, a, sizeof(a));
    EXPECT_TRUE(tevo_guid_matches(&a, &b));
    b[15] = 0;
    EXPECT_FALSE(tevo_guid_matches(&a, &b));
}

TEST(AbortDeathTest, AssertionPrintsPathLineAndCondition) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH({ int x = 1; TEVO_ASSERT(x == 2); }, "^[^\n]*:[0-9]+: TEVO_ASSERT\\(x == 2\\) failed\n$");
    EXPECT_DEATH(tevo_abort("tevo/src/tevo", 17, "fatal error"), "^tevo/src/tevo:17: fatal error\n$");
}

TEST(AbortDeathTest, LongMessagesAreCutToTheBuffer) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    const std::string long_text(5000, 'z');
    // 2047 characters of path, line and message, then the newline
    EXPECT_DEATH(tevo_abort("p", 1, "%s", long_text.c_str()), "^p:1: z{2042}\n$");
}

void write_marker(const char * message) {
    fprintf(stdout, "callback got [%s]\n", message);
    fflush(stdout);
}

TEST(AbortDeathTest, CallbackReplacesPrintingButNotTheAbort) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(
        {
            tevo_set_abort_callback(write_marker);
            tevo_abort("f", 3, "boom %d", 7);
        },
        "^$");
    EXPECT_EQ(tevo_set_abort_callback(nullptr), nullptr);
}

TEST(AbortDeathTest, NativeBacktraceNoticeWhenAllowed) {
    EXPECT_DEATH(
        {
            unsetenv("TEVO_NO_BACKTRACE");
            unsetenv("TEVO_BACKTRACE_LLDB");
            tevo_abort("f", 3, "boom");
        },
        "f:3: boom\nWARNING: Using native backtrace. Set TEVO_BACKTRACE_LLDB for more info.\n");
}

} // namespace
