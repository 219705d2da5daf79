// Seeded random sequences of scheduler calls (see sched-random.h) over four
// setups: the CPU alone, a device with memory of its own (which can refuse
// buffers) before the CPU, and a meta device over two and over three CPU
// devices before the CPU. Every step's results must be those of the same
// graph computed afresh on one CPU backend.
//
// TEVO_SCHED_RANDOM_SEEDS sets how many seeds each setup runs (from 1),
// TEVO_SCHED_RANDOM_SEED runs that one seed alone, TEVO_SCHED_RANDOM_STEPS the
// steps of each, TEVO_SCHED_RANDOM_VERBOSE=1 prints every step as it starts.
// A seed is printed before it runs, so a seed that aborts is known too. The
// fuzz target fuzz-sched (tools/fuzz.sh) runs the same steps for longer.

#include "sched-random.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

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
    const int                     n_seeds = env_int("TEVO_SCHED_RANDOM_SEEDS", 4);
    const int                     n_steps = env_int("TEVO_SCHED_RANDOM_STEPS", 150);
    const int                     one     = env_int("TEVO_SCHED_RANDOM_SEED", -1);
    const int                     first   = one >= 0 ? one : 1;
    const int                     last    = one >= 0 ? one : n_seeds;
    tevo_log_set(errors_only, nullptr);
    for (int seed = first; seed <= last; seed++) {
        fprintf(stderr, "sched-random %s seed %d\n", schedrandom::setup_name(setup), seed);
        fflush(stderr);
        std::mt19937        rng((uint32_t) seed * 4 + (uint32_t) setup);
        schedrandom::chooser ch;
        ch.rng = &rng;
        std::string failure;
        {
            schedrandom::runner r(setup, ch);
            r.verbose = env_int("TEVO_SCHED_RANDOM_VERBOSE", 0) != 0;
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
                         ::testing::Values(schedrandom::SETUP_CPU, schedrandom::SETUP_DEV, schedrandom::SETUP_META2,
                                           schedrandom::SETUP_META3),
                         [](const ::testing::TestParamInfo<schedrandom::setup_kind> & info) {
                             return std::string(schedrandom::setup_name(info.param));
                         });

} // namespace
