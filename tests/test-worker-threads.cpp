// The worker's thread argument end to end: the ready line reports the count
// in use. Large counts start that many threads per graph run, which is slow
// under the sanitizers, hence a file of its own.

#include "worker-test-helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace worker_test;

namespace {

// The thread count in the ready line is the count in use: the default for
// anything below 1 or not a number, the value itself up to 256, 256 above.
TEST(WorkerThreads, ReadyLineReportsTheThreadCountInUse) {
    const unsigned hw  = std::thread::hardware_concurrency();
    const int      def = hw > 7 ? 4 : hw >= 4 ? (int) hw / 2 : 1;
    const struct {
        std::vector<std::string> args;
        int                      threads;
    } cases[] = {
        {{}, def},
        {{"0"}, def},
        {{"-3"}, def},
        {{"12", "CPU"}, 12}, // upper-case CPU is just another word
        {{"1000", "cpu", "fit"}, 256},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no thread argument" : c.args[0]);
        ready_worker w(shared_model_args(c.args));
        EXPECT_EQ(w.threads, c.threads);
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        EXPECT_TRUE(r.lines.empty());
    }
}

} // namespace
