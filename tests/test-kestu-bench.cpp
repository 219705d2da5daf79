// The benchmarks' reports, run small: the memory-copy lines in order for
// several thread counts, the matrix lines with their exact layout and run
// counts (every type the CPU multiplies is measured, with a positive figure
// however slow the machine), and the refusal of a thread count below 1.

#include "kestu-impl.h"
#include "tevo-cpu.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

// error lines logged while it lives
struct error_lines {
    std::vector<std::string> lines;
    error_lines() {
        kestu_log_set(
            [](enum tevo_log_level level, const char * text, void * user_data) {
                if (level == TEVO_LOG_LEVEL_ERROR) {
                    ((error_lines *) user_data)->lines.push_back(text);
                }
            },
            this);
    }
    ~error_lines() { kestu_log_set(nullptr, nullptr); }
    int count(const std::string & part) const {
        int n = 0;
        for (const std::string & l : lines) {
            n += l.find(part) != std::string::npos;
        }
        return n;
    }
};

std::vector<std::string> lines_of(const std::string & text) {
    std::vector<std::string> lines;
    std::istringstream       in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(BenchMemcpy, ReportsHeatUpOneThreadEachCountAndTheSum) {
    const std::string num = "[ 0-9]{4}\\.[0-9]{2}";
    for (int n_threads : {1, 2, 3}) {
        SCOPED_TRACE(n_threads);
        const std::string report = kestu_bench_memcpy_report(n_threads, 4 * 1024 * 1024 + 3, 3);
        ASSERT_FALSE(report.empty());
        EXPECT_EQ(report.back(), '\n');
        const std::vector<std::string> lines = lines_of(report);
        ASSERT_EQ(lines.size(), (size_t) n_threads + 3);

        EXPECT_TRUE(std::regex_match(lines[0], std::regex("memcpy: " + num + " GB/s \\(heat-up\\)"))) << lines[0];
        EXPECT_TRUE(std::regex_match(lines[1], std::regex("memcpy: " + num + " GB/s \\( 1 thread\\)"))) << lines[1];
        for (int k = 1; k <= n_threads; k++) {
            const std::string & l = lines[1 + k];
            EXPECT_TRUE(std::regex_match(l, std::regex("memcpy: " + num + " GB/s \\( " + std::to_string(k) +
                                                       " thread\\)")))
                << l;
        }
        EXPECT_TRUE(std::regex_match(lines.back(), std::regex("sum:    -?[0-9]+\\.[0-9]{6}"))) << lines.back();
    }
}

struct mat_entry {
    std::string name;
    double      gflops;
    int         runs;
};

TEST(BenchMulMat, ThreeLinesPerSizeWithEveryTypeInOrder) {
    const std::vector<size_t> sizes  = {64, 128};
    const std::string         report = kestu_bench_mul_mat_report(2, sizes);
    const std::vector<std::string> lines = lines_of(report);
    ASSERT_EQ(lines.size(), 3 * sizes.size());

    // one decimal, or more for a figure below 0.05 (a slow or sanitized build)
    const std::string e = " *([0-9]+\\.[0-9]+(?:e-[0-9]+)?) GFLOPS \\( *([0-9]+) runs\\)";
    const std::regex  line_re[3] = {
        std::regex("(....) x (....): Q4_0" + e + " \\| Q4_1" + e),
        std::regex("(....) x (....): Q5_0" + e + " \\| Q5_1" + e + " \\| Q8_0" + e),
        std::regex("(....) x (....): F16 " + e + " \\| F32 " + e),
    };
    const std::vector<std::vector<std::string>> names = {{"Q4_0", "Q4_1"}, {"Q5_0", "Q5_1", "Q8_0"}, {"F16", "F32"}};
    const std::vector<std::vector<enum tevo_type>> types = {
        {TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1}, {TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0}, {TEVO_TYPE_F16, TEVO_TYPE_F32}};

    for (size_t s = 0; s < sizes.size(); s++) {
        char head[32];
        snprintf(head, sizeof(head), "%4zu", sizes[s]);
        for (int k = 0; k < 3; k++) {
            const std::string & l = lines[3 * s + k];
            std::smatch         m;
            ASSERT_TRUE(std::regex_match(l, m, line_re[k])) << l;
            EXPECT_EQ(m[1].str(), head);
            EXPECT_EQ(m[2].str(), head);
            for (size_t t = 0; t < names[k].size(); t++) {
                SCOPED_TRACE(names[k][t] + " in " + l);
                const double gflops = std::stod(m[3 + 2 * t].str());
                const int    runs   = std::stoi(m[4 + 2 * t].str());
                // every type the CPU has a dot product for is measured
                const bool cpu_multiplies = tevo_get_type_traits_cpu(types[k][t])->vec_dot != nullptr;
                if (!cpu_multiplies) {
                    EXPECT_EQ(runs, 0);
                    EXPECT_EQ(gflops, 0.0);
                } else {
                    EXPECT_GE(runs, 3);
                    EXPECT_LE(runs, 128);
                    EXPECT_GT(gflops, 0.0);
                }
            }
        }
    }
}

// However slow the machine, a measured figure is printed positive: figures
// below 0.05 keep two significant digits instead of reading "0.0".
TEST(BenchMulMat, SlowFiguresStayPositiveAndFastOnesKeepOneDecimal) {
    struct figure {
        double      gflops;
        const char * text;
    };
    const figure figures[7] = {
        {0.0, "    0.0"},  {1234.56, " 1234.6"},    {12.34, "   12.3"},  {0.05, "    0.1"},
        {0.04, "  0.040"}, {0.00049, "0.00049"}, {3.3e-6, "0.0000033"},
    };
    double gflops[7];
    int    runs[7];
    for (int t = 0; t < 7; t++) {
        gflops[t] = figures[t].gflops;
        runs[t]   = t == 0 ? 0 : 3;
    }
    const std::string want = std::string("  64 x   64: Q4_0 ") + figures[0].text + " GFLOPS (  0 runs) | Q4_1 " +
                             figures[1].text + " GFLOPS (  3 runs)\n" + "  64 x   64: Q5_0 " + figures[2].text +
                             " GFLOPS (  3 runs) | Q5_1 " + figures[3].text + " GFLOPS (  3 runs) | Q8_0 " +
                             figures[4].text + " GFLOPS (  3 runs)\n" + "  64 x   64: F16  " + figures[5].text +
                             " GFLOPS (  3 runs) | F32  " + figures[6].text + " GFLOPS (  3 runs)\n";
    EXPECT_EQ(kestu_bench_mul_mat_lines(64, gflops, runs), want);

    // beyond twelve decimals the figure is written with an exponent
    gflops[6] = 2e-14;
    const std::vector<std::string> lines = lines_of(kestu_bench_mul_mat_lines(64, gflops, runs));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("| F32  2.0e-14 GFLOPS (  3 runs)"), std::string::npos) << lines[2];
}

TEST(BenchEntries, AThreadCountBelowOneIsRefused) {
    for (int n : {0, -2}) {
        error_lines log;
        EXPECT_STREQ(kestu_bench_memcpy_str(n), "");
        EXPECT_STREQ(kestu_bench_tevo_mul_mat_str(n), "");
        EXPECT_EQ(kestu_bench_memcpy(n), -1);
        EXPECT_EQ(kestu_bench_tevo_mul_mat(n), -1);
        EXPECT_EQ(log.count("n_threads must be at least 1"), 4);
    }
}

} // namespace
