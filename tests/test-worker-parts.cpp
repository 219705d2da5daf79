// The worker's parts that do not need a model: command-line settings, the
// audio context fitted to a request, the request reader over a pipe, and the
// JSON lines with their escaping.

#include "worker.h"
#include "worker-test-helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

using worker_test::json_parser;
using worker_test::json_value;
using worker_test::valid_utf8;

namespace {

TEST(WorkerArgs, DefaultThreadCountFollowsTheHardware) {
    const struct {
        unsigned hw;
        int      threads;
    } cases[] = {{0, 1}, {1, 1}, {3, 1}, {4, 2}, {5, 2}, {6, 3}, {7, 3}, {8, 4}, {64, 4}};
    for (const auto & c : cases) {
        EXPECT_EQ(worker_default_threads(c.hw), c.threads) << "hw " << c.hw;
    }
}

TEST(WorkerArgs, EveryPositionReadsAsDocumented) {
    const struct {
        std::vector<const char *> args; // after the program name
        unsigned                  hw;
        int                       threads;
        bool                      use_gpu;
        bool                      fit;
    } cases[] = {
        {{"m"}, 8, 4, true, false},
        {{"m"}, 2, 1, true, false},
        {{"m", "0"}, 8, 4, true, false},
        {{"m", "-3"}, 8, 4, true, false},
        {{"m", "abc"}, 6, 3, true, false},
        {{"m", ""}, 8, 4, true, false},
        {{"m", "12"}, 8, 12, true, false},
        {{"m", "12"}, 2, 12, true, false},
        {{"m", " 7"}, 8, 7, true, false},   // leading blanks as atoi reads them
        {{"m", "3x"}, 8, 3, true, false},   // digits up to the first other character
        {{"m", "256"}, 8, 256, true, false},
        {{"m", "257"}, 8, 256, true, false},
        {{"m", "99999999999999999999999"}, 8, 256, true, false},
        {{"m", "-99999999999999999999999"}, 8, 4, true, false},
        {{"m", "2", "cpu"}, 8, 2, false, false},
        {{"m", "2", "CPU"}, 8, 2, true, false},
        {{"m", "2", "cpu "}, 8, 2, true, false},
        {{"m", "2", "gpu", "fit"}, 8, 2, true, true},
        {{"m", "2", "cpu", "fit"}, 8, 2, false, true},
        {{"m", "2", "cpu", "FIT"}, 8, 2, false, false},
        {{"m", "2", "cpu", "fit", "extra", "words"}, 8, 2, false, true},
    };
    for (const auto & c : cases) {
        std::vector<const char *> argv = {"kestu-worker"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        worker_settings s;
        std::string     label;
        for (const char * a : c.args) {
            label += std::string("'") + a + "' ";
        }
        ASSERT_TRUE(worker_parse_args((int) argv.size(), argv.data(), c.hw, s)) << label;
        EXPECT_STREQ(s.model_path, "m") << label;
        EXPECT_EQ(s.n_threads, c.threads) << label;
        EXPECT_EQ(s.use_gpu, c.use_gpu) << label;
        EXPECT_EQ(s.fit, c.fit) << label;
    }
}

TEST(WorkerArgs, NoModelPathIsTheUsageCase) {
    const char *    argv[] = {"kestu-worker"};
    worker_settings s;
    EXPECT_FALSE(worker_parse_args(1, argv, 8, s));
    EXPECT_FALSE(worker_parse_args(0, argv, 8, s));
}

TEST(WorkerRequest, FittedAudioContext) {
    const struct {
        uint32_t n;
        int      audio_ctx;
    } cases[] = {{0, 512},       {1, 512},       {16000, 512},   {123199, 512},  {123200, 576},
                 {160000, 640},  {430399, 1472}, {430400, 1500}, {480000, 1500}, {1920000, 1500}};
    for (const auto & c : cases) {
        EXPECT_EQ(worker_fit_audio_ctx(c.n), c.audio_ctx) << c.n << " samples";
    }

    // never more than the model's own context, the 512 of short requests
    // included
    const struct {
        uint32_t n;
        int      model_ctx;
        int      audio_ctx;
    } capped[] = {{16000, 256, 256},     {16000, 400, 400},     {16000, 1000, 512},   {123200, 576, 576},
                  {123200, 575, 575},    {320000, 1000, 1000},  {160000, 1000, 640},  {480000, 1000, 1000},
                  {1920000, 400, 400},   {430399, 1500, 1472},  {480000, 1500, 1500}, {480000, 2000, 1500}};
    for (const auto & c : capped) {
        EXPECT_EQ(worker_fit_audio_ctx(c.n, c.model_ctx), c.audio_ctx)
            << c.n << " samples, model context " << c.model_ctx;
    }
}

TEST(WorkerRequest, AudioMillisecondsTruncate) {
    EXPECT_EQ(worker_audio_ms(16000), 1000);
    EXPECT_EQ(worker_audio_ms(8), 0);
    EXPECT_EQ(worker_audio_ms(15), 0);
    EXPECT_EQ(worker_audio_ms(16), 1);
    EXPECT_EQ(worker_audio_ms(WORKER_MAX_SAMPLES), 120000);
}

TEST(WorkerRequest, NonFiniteSamplesAreFound) {
    const float inf = std::numeric_limits<float>::infinity();
    const float big = std::numeric_limits<float>::max();
    const float sub = std::numeric_limits<float>::denorm_min();
    EXPECT_TRUE(all_finite(nullptr, 0));
    EXPECT_TRUE((all_finite(std::vector<float>{0.0f, -0.0f, big, -big, sub}.data(), 5)));
    for (const float bad : {std::nanf(""), inf, -inf}) {
        std::vector<float> v(1000, 0.25f);
        v[999] = bad;
        EXPECT_FALSE(all_finite(v.data(), v.size())) << bad;
        v[999] = 0.0f;
        v[0]   = bad;
        EXPECT_FALSE(all_finite(v.data(), v.size())) << bad;
    }
}

// A writer that hands the bytes over in pieces of 1 to 7 bytes: the reader
// must put the pieces together, and tell the end of input from a short read.
TEST(WorkerRequest, ReadExactJoinsPiecesAndSeesTheEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string bytes;
    for (int i = 0; i < 4004; ++i) {
        bytes += (char) (i * 7);
    }
    std::thread writer([&] {
        size_t pos = 0;
        for (size_t k = 0; pos < bytes.size(); ++k) {
            const size_t n = std::min<size_t>(1 + k % 7, bytes.size() - pos);
            ASSERT_EQ(write(fds[1], bytes.data() + pos, n), (ssize_t) n);
            pos += n;
            if (k % 97 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        close(fds[1]);
    });
    FILE * in = fdopen(fds[0], "rb");
    ASSERT_NE(in, nullptr);
    std::string got(4000, '\0');
    ASSERT_TRUE(read_exact(in, &got[0], 4));
    ASSERT_TRUE(read_exact(in, &got[4], 3996));
    EXPECT_EQ(got, bytes.substr(0, 4000));
    char rest[8];
    EXPECT_FALSE(read_exact(in, rest, 8)); // only 4 bytes are left
    writer.join();
    fclose(in);
}

// A non-blocking pipe with nothing in it yet is waited for, not taken for
// the end of input; the end and a failed read are told apart by ferror.
TEST(WorkerRequest, ReadExactWaitsForANonBlockingInputAndTellsTheEndFromErrors) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    std::thread writer([&] {
        // the reader finds the pipe empty before each part
        for (const char * part : {"abcd", "efgh"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ASSERT_EQ(write(fds[1], part, 4), 4);
        }
        close(fds[1]);
    });
    FILE * in = fdopen(fds[0], "rb");
    ASSERT_NE(in, nullptr);
    char got[8] = {};
    EXPECT_TRUE(read_exact(in, got, 8));
    EXPECT_EQ(std::string(got, 8), "abcdefgh");
    char more = 0;
    EXPECT_FALSE(read_exact(in, &more, 1));
    EXPECT_FALSE(ferror(in)) << "the end of input is no error";
    writer.join();
    fclose(in);

    FILE * dir = fopen(testing::TempDir().c_str(), "rb");
    ASSERT_NE(dir, nullptr);
    EXPECT_FALSE(read_exact(dir, got, 4));
    EXPECT_TRUE(ferror(dir)) << "a directory cannot be read";
    EXPECT_EQ(errno, EISDIR);
    fclose(dir);
}

// A line written to a non-blocking pipe that is full waits until the reader
// makes room, and arrives whole; failed writes say why through errno.
TEST(WorkerLines, WriteLineWaitsForRoomAndReportsErrors) {
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    size_t            filled = 0;
    const std::string filler(512, 'x');
    for (ssize_t w; (w = write(fds[1], filler.data(), filler.size())) > 0;) {
        filled += (size_t) w;
    }
    ASSERT_EQ(errno, EAGAIN);

    std::string drained;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        char buf[4096];
        for (ssize_t r; (r = read(fds[0], buf, sizeof(buf))) > 0;) {
            drained.append(buf, (size_t) r);
        }
    });
    FILE * out = fdopen(fds[1], "wb");
    ASSERT_NE(out, nullptr);
    const std::string line = worker_answer_line("hello", 1, 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(write_line(out, line)) << "line " << i;
    }
    fclose(out);
    reader.join();
    close(fds[0]);
    ASSERT_EQ(drained.size(), filled + 3 * line.size());
    EXPECT_EQ(drained.substr(filled), line + line + line);

    FILE * full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(write_line(full, line));
    EXPECT_EQ(errno, ENOSPC);
    fclose(full);

    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    FILE * unread = fdopen(fds[1], "wb");
    ASSERT_NE(unread, nullptr);
    EXPECT_FALSE(write_line(unread, line));
    EXPECT_EQ(errno, EPIPE);
    fclose(unread);
}

// A parent that closed the worker's output reads no more answers: that is a
// normal end. Any other failed write is an error of its own.
TEST(WorkerLines, OnlyAClosedOutputIsANormalEndOfWriting) {
    EXPECT_EQ(worker_write_failure_status(EPIPE), 0);
    for (const int err : {ENOSPC, EBADF, EIO, EFBIG}) {
        EXPECT_EQ(worker_write_failure_status(err), WORKER_EXIT_IO) << err;
    }
    EXPECT_NE(WORKER_EXIT_IO, 0);
    EXPECT_NE(WORKER_EXIT_IO, 2);
    EXPECT_NE(WORKER_EXIT_IO, 3);
}

TEST(WorkerLines, FixedLinesAre32Bytes) {
    for (const char * line : {WORKER_LINE_USAGE, WORKER_LINE_MODEL, WORKER_LINE_TOO_LONG}) {
        EXPECT_EQ(strlen(line), 32u) << line;
    }
    EXPECT_STREQ(WORKER_LINE_USAGE, "{\"ready\":false,\"error\":\"usage\"}\n");
    EXPECT_STREQ(WORKER_LINE_MODEL, "{\"ready\":false,\"error\":\"model\"}\n");
    EXPECT_STREQ(WORKER_LINE_TOO_LONG, "{\"ok\":false,\"error\":\"too_long\"}\n");
    EXPECT_STREQ(WORKER_LINE_BAD_AUDIO, "{\"ok\":false,\"error\":\"bad_audio\"}\n");
    EXPECT_STREQ(WORKER_LINE_TRANSCRIBE, "{\"ok\":false,\"error\":\"transcribe\"}\n");
}

TEST(WorkerLines, ReadyAndAnswerLines) {
    EXPECT_EQ(worker_ready_line(123, 4, "AVX = 1 | \"x\""),
              "{\"ready\":true,\"load_ms\":123,\"threads\":4,\"system\":\"AVX = 1 | \\\"x\\\"\"}\n");
    EXPECT_EQ(worker_answer_line("one\ttwo", 45, 1000),
              "{\"ok\":true,\"text\":\"one\\ttwo\",\"ms\":45,\"audio_ms\":1000}\n");
    EXPECT_EQ(worker_answer_line("", 0, 0), "{\"ok\":true,\"text\":\"\",\"ms\":0,\"audio_ms\":0}\n");
}

TEST(WorkerLines, OnlyLeadingSpacesAreTrimmed) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {" one", "one"},
        {" one two", "one two"},
        {std::string(" one") + " two", "one two"}, // two segments each opening with a space
        {"\tone", "\tone"},
        {" \none ", "\none "},
        {"one  ", "one  "},
    };
    for (const auto & c : cases) {
        std::string t = c.in;
        trim_leading_spaces(t);
        EXPECT_EQ(t, c.out) << "'" << c.in << "'";
    }
}

TEST(WorkerJson, EscapesControlCharactersQuotesAndBackslashes) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},
        {"\t\"\x01", "\\t\\\"\\u0001"},
        {"\n\r\\", "\\n\\r\\\\"},
        {std::string("\0", 1), "\\u0000"},
        {"\x1b[0m", "\\u001b[0m"},
        {"\x1f\x20", "\\u001f "},
        {"\b\f", "\\u0008\\u000c"},
        {"\x7f", "\x7f"},
        {"/", "/"},
        {"h\xc3\xa9llo \xe2\x82\xac \xf0\x9d\x84\x9e", "h\xc3\xa9llo \xe2\x82\xac \xf0\x9d\x84\x9e"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(json_escape(c.in), c.out) << c.in;
    }
}

// Each invalid sequence (its longest start that could have become a
// character, or one byte) becomes one U+FFFD.
TEST(WorkerJson, InvalidUtf8BecomesReplacementCharacters) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
    } cases[] = {
        {"\x80", R},
        {"\xbf\x80", R + R},
        {"\xff", R},
        {"\xe2\x82", R},                        // the euro sign cut short at the end
        {"a\xe2\x82" "b", "a" + R + "b"},       // ... and inside the text
        {"\xe2\x82\xac", "\xe2\x82\xac"},       // ... and whole
        {"\xf0\x9f\x98" "x", R + "x"},
        {"\xc0\xaf", R + R},                    // overlong slash
        {"\xe0\x80\xaf", R + R + R},            // overlong slash in three bytes
        {"\xed\xa0\x80", R + R + R},            // a surrogate
        {"\xf4\x90\x80\x80", R + R + R + R},    // above U+10FFFF
        {"\xf5\x80", R + R},
        {"\xc3", R},
        {"\xc3\xc3\xa9", R + "\xc3\xa9"},
        {"\xe2\x82\"", R + "\\\""},             // the quote after a cut sequence stays escaped
    };
    for (const auto & c : cases) {
        EXPECT_EQ(json_escape(c.in), c.out) << c.in;
    }
}

// Every string of up to two bytes, and many longer random ones, escape into a
// valid JSON string in valid UTF-8; valid input comes back unchanged.
TEST(WorkerJson, AnyBytesGiveAValidJsonString) {
    auto check = [](const std::string & in) {
        const std::string line = "\"" + json_escape(in) + "\"";
        ASSERT_TRUE(valid_utf8(line)) << in;
        json_value  v;
        std::string error;
        ASSERT_TRUE(json_parser(line).parse(v, error)) << error;
        ASSERT_EQ(v.kind, json_value::STRING);
        ASSERT_TRUE(valid_utf8(v.text));
        if (valid_utf8(in)) {
            ASSERT_EQ(v.text, in);
        }
    };
    for (int a = 0; a < 256; ++a) {
        check(std::string(1, (char) a));
        for (int b = 0; b < 256; ++b) {
            check(std::string{(char) a, (char) b});
        }
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::string s(1 + rng() % 12, '\0');
        for (char & ch : s) {
            // mostly high bytes, where the sequences are
            ch = (char) (rng() % 4 == 0 ? rng() % 128 : 0x80 + rng() % 128);
        }
        check(s);
    }
}

// The line checker the end-to-end tests rely on must refuse what a strict
// parent would refuse.
TEST(WorkerJson, TheLineCheckerRefusesInvalidLines) {
    const char * const good[] = {
        "{}", "{\"a\":[1,-2.5e3,true,false,null,\"\\u00e9\\ud834\\udd1e\"]}", " {\"k\" : {\"n\":0}} ",
    };
    for (const char * line : good) {
        json_value  v;
        std::string error;
        EXPECT_TRUE(json_parser(line).parse(v, error)) << line << ": " << error;
    }
    const char * const bad[] = {
        "", "{", "{\"a\":1,}", "{\"a\" 1}", "{a:1}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":+1}",
        "{\"a\":\"\t\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\ud834\"}", "{\"a\":\"\\udd1e\"}", "{\"a\":\"x}",
        "{} {}", "{\"a\":tru}", "[1 2]",
    };
    for (const char * line : bad) {
        json_value  v;
        std::string error;
        EXPECT_FALSE(json_parser(line).parse(v, error)) << line;
    }
    EXPECT_TRUE(valid_utf8("a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"));
    for (const char * bytes : {"\x80", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
        EXPECT_FALSE(valid_utf8(bytes)) << bytes;
    }
}

} // namespace
