// Seeded random sequences of scheduler calls (see sched-random.h) over five
// setups: the CPU alone, one and two devices with memory of their own (which
// can refuse buffers) before the CPU, and a meta device over two and over
// three CPU devices before the CPU. Every step's results must be those of the
// same graph computed afresh on one CPU backend.
//
// TEVO_SCHED_RANDOM_SEEDS sets how many seeds each setup runs (from
// TEVO_SCHED_RANDOM_FIRST, 1 by default), TEVO_SCHED_RANDOM_SEED runs that one
// seed alone, TEVO_SCHED_RANDOM_STEPS the steps of each,
// TEVO_SCHED_RANDOM_VERBOSE=1 prints every step as it starts, and
// TEVO_SCHED_RANDOM_WITHOUT leaves patterns out (e.g. "realloc,pin"; see
// schedrandom::pattern). A seed is printed before it runs, so a seed that
// aborts is known too. The fuzz target fuzz-sched (tools/fuzz.sh) runs the
// same steps for longer. Under the sanitizers fewer seeds run by default.

#include "sched-random.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int DEFAULT_SEEDS = 16;
#else
constexpr int DEFAULT_SEEDS = 120;
#endif

int env_int(const char * name, int fallback) {
    const char * value = getenv(name);
    return value != nullptr && *value != '\0' ? atoi(value) : fallback;
}

// error lines only: the graph allocator reports every growth of its buffers
void errors_only(enum tevo_log_level level, const char * text, void *) {
    if (level == TEVO_LOG_LEVEL_ERROR) {
        fputs(text, stderr);
    }
}

class SchedRandom : public ::testing::TestWithParam<schedrandom::setup_kind> {};

TEST_P(SchedRandom, EveryStepComputesAsTheFreshGraph) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    const schedrandom::setup_kind setup   = GetParam();
    const int                     n_seeds = env_int("TEVO_SCHED_RANDOM_SEEDS", DEFAULT_SEEDS);
    const int                     n_steps = env_int("TEVO_SCHED_RANDOM_STEPS", 250);
    const unsigned without = schedrandom::patterns_named(getenv("TEVO_SCHED_RANDOM_WITHOUT"));
    const int                     one     = env_int("TEVO_SCHED_RANDOM_SEED", -1);
    const int                     from    = env_int("TEVO_SCHED_RANDOM_FIRST", 1);
    const int                     first   = one >= 0 ? one : from;
    const int                     last    = one >= 0 ? one : from + n_seeds - 1;
    tevo_log_set(errors_only, nullptr);
    for (int seed = first; seed <= last; seed++) {
        fprintf(stderr, "sched-random %s seed %d\n", schedrandom::setup_name(setup), seed);
        fflush(stderr);
        std::mt19937        rng((uint32_t) seed * schedrandom::N_SETUPS + (uint32_t) setup);
        schedrandom::chooser ch;
        ch.rng = &rng;
        std::string failure;
        {
            schedrandom::runner r(setup, ch);
            r.verbose = env_int("TEVO_SCHED_RANDOM_VERBOSE", 0) != 0;
            r.without = without;
            failure = r.run(n_steps);
        }
        if (!failure.empty()) {
            ADD_FAILURE() << "setup " << schedrandom::setup_name(setup) << ", seed " << seed
                          << " (TEVO_SCHED_RANDOM_SEED=" << seed << "), " << failure;
        }
    }
    tevo_log_set(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Setups, SchedRandom,
                         ::testing::Values(schedrandom::SETUP_CPU, schedrandom::SETUP_DEV, schedrandom::SETUP_DEV2,
                                           schedrandom::SETUP_META2, schedrandom::SETUP_META3),
                         [](const ::testing::TestParamInfo<schedrandom::setup_kind> & info) {
                             return std::string(schedrandom::setup_name(info.param));
                         });

} // namespace
