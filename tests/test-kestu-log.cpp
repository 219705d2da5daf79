// Logging of the speech library: whole delivery of long messages, the
// default callback's level filter, and the callback shared with the tensor
// library; the version and the system-information text.

#include "kestu-impl.h"

#include <gtest/gtest.h>

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

class KestuLog : public ::testing::Test {
protected:
    std::vector<captured_line> lines;

    void SetUp() override { kestu_log_set(capture, &lines); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }
};

TEST_F(KestuLog, MessagesOfEveryLengthArriveWhole) {
    // 1023 characters fit the stack buffer; from 1024 on the heap takes over
    for (size_t len : {0u, 1u, 1022u, 1023u, 1024u, 1025u, 5000u}) {
        lines.clear();
        const std::string body(len, 'x');
        kestu_log_message(TEVO_LOG_LEVEL_WARN, "%s", body.c_str());
        ASSERT_EQ(lines.size(), 1u) << len;
        EXPECT_EQ(lines[0].text, body) << len;
        EXPECT_EQ(lines[0].level, TEVO_LOG_LEVEL_WARN);
    }
}

TEST_F(KestuLog, MacrosCarryTheirLevelsAndFormatArguments) {
    KESTU_LOG_DEBUG("%s: %d\n", "a", 1);
    KESTU_LOG_INFO("%s: %d\n", "b", 2);
    KESTU_LOG_WARN("%s: %d\n", "c", 3);
    KESTU_LOG_ERROR("%s: %d\n", "d", 4);
    ASSERT_EQ(lines.size(), 4u);
    const tevo_log_level levels[] = {TEVO_LOG_LEVEL_DEBUG, TEVO_LOG_LEVEL_INFO, TEVO_LOG_LEVEL_WARN,
                                     TEVO_LOG_LEVEL_ERROR};
    const char * texts[] = {"a: 1\n", "b: 2\n", "c: 3\n", "d: 4\n"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].level, levels[i]);
        EXPECT_EQ(lines[i].text, texts[i]);
    }
}

TEST_F(KestuLog, TheTensorLibraryLogsThroughTheSameCallback) {
    tevo_log_callback cb = nullptr;
    void * ud = nullptr;
    tevo_log_get(&cb, &ud);
    EXPECT_EQ(cb, &capture);
    EXPECT_EQ(ud, &lines);
}

TEST(KestuLogDefault, NullRestoresTheDefaultWhichDropsDebugOnly) {
    kestu_log_set(nullptr, nullptr);
    kestu_log_callback cb = nullptr;
    void * ud = nullptr;
    kestu_log_get(&cb, &ud);
    EXPECT_EQ(cb, &kestu_log_callback_default);

    testing::internal::CaptureStderr();
    kestu_log_message(TEVO_LOG_LEVEL_DEBUG, "hidden\n");
    kestu_log_message(TEVO_LOG_LEVEL_INFO, "shown %d\n", 1);
    kestu_log_message(TEVO_LOG_LEVEL_ERROR, "shown %d\n", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown 1\nshown 2\n");
}

TEST(KestuSystemInfo, AcceleratorsThenEveryFeatureOfTheCpuRegistry) {
    const std::string text = kestu_print_system_info();
    const std::string head = "KESTU : VITISAI = 0 | COREML = 0 | OPENVINO = 0 | CPU : ";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;

    // the feature pairs as the registry hands them out
    std::string features;
    size_t n_features = 0;
    tevo_backend_reg_t cpu = nullptr;
    for (size_t i = 0; i < tevo_backend_reg_count(); i++) {
        if (std::string(tevo_backend_reg_name(tevo_backend_reg_get(i))) == "CPU") {
            cpu = tevo_backend_reg_get(i);
        }
    }
    ASSERT_NE(cpu, nullptr);
    auto get_features =
        (tevo_backend_get_features_t) tevo_backend_reg_get_proc_address(cpu, "tevo_backend_get_features");
    ASSERT_NE(get_features, nullptr);
    for (const tevo_backend_feature * f = get_features(cpu); f->name != nullptr; f++) {
        features += std::string(f->name) + " = " + f->value + " | ";
        n_features++;
    }
    ASSERT_GT(n_features, 0u);
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_EQ(text, head + features);
    EXPECT_NE(text.find(" REPACK = 1 | "), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 3), " | ");
}

TEST(KestuSystemInfo, EveryCallRebuildsTheSameText) {
    const char * first = kestu_print_system_info();
    const std::string copy = first;
    const char * second = kestu_print_system_info();
    EXPECT_EQ(copy, second);
    EXPECT_EQ(std::string(first), copy); // an earlier pointer sees the rebuilt text
}

TEST(KestuVersion, Text) {
    EXPECT_STREQ(kestu_version(), "1.9.5-dev");
}

TEST(KestuLogEmpty, AnEmptyCallbackSilencesBothLibraries) {
    kestu_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    testing::internal::CaptureStderr();
    kestu_log_message(TEVO_LOG_LEVEL_ERROR, "kestu line\n");
    tevo_log_internal(TEVO_LOG_LEVEL_ERROR, "tevo line\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    kestu_log_set(nullptr, nullptr);
    testing::internal::CaptureStderr();
    tevo_log_internal(TEVO_LOG_LEVEL_ERROR, "tevo line\n");
    tevo_log_internal(TEVO_LOG_LEVEL_DEBUG, "tevo debug\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tevo line\n");
}

TEST(KestuAssertDeathTest, ReportsSourceLineAndCondition) {
    kestu_log_set(nullptr, nullptr);
    EXPECT_DEATH(KESTU_ASSERT(1 + 1 == 3), "KESTU_ASSERT: src/kestu:[0-9]+: 1 \\+ 1 == 3");
}

} // namespace
