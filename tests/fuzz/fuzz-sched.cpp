// Fuzz target: sequences of scheduler calls (tests/sched-random.h) drawn from
// the input. Input: the setup (one byte: the CPU alone, one or two devices
// with memory of their own before the CPU, a meta device over two or three
// CPU devices before the CPU), then the choices of the steps, one byte each;
// the run ends when the bytes do.
//
// What must hold: no call aborts or touches freed memory; every compute that
// succeeds gives the values of the same graph computed afresh on one CPU
// backend, with the inputs set since the allocation; a failure comes only
// where the scheduler's header allows one; when a call returns, the caller's
// graphs read the caller's tensors.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include "sched-random.h"

#include <cstdio>
#include <string>

namespace {

constexpr int MAX_STEPS = 400;

} // namespace

int fuzz_sched(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    if (size < 1) {
        return 0;
    }
    schedrandom::chooser ch;
    ch.data = data + 1;
    ch.size = size - 1;
    std::string failure;
    {
        schedrandom::runner r((schedrandom::setup_kind) (data[0] % schedrandom::N_SETUPS), ch);
        failure = r.run(MAX_STEPS);
    }
    if (!failure.empty()) {
        fprintf(stderr, "%s\n", failure.c_str());
    }
    FUZZ_CHECK(failure.empty());
    return 0;
}
