#pragma once

// The CPU backend's own record, shared with the tests that watch its work
// buffer.

#include "tevo-cpu.h"

#include <stddef.h>
#include <stdint.h>

struct tevo_backend_cpu_context {
    int                      n_threads;
    struct tevo_threadpool * threadpool;   // caller's pool; NULL: a pool per computation

    uint8_t * work_data;                   // grown on demand, never shrunk
    size_t    work_size;

    tevo_abort_callback abort_callback;
    void *              abort_callback_data;

    bool use_ref;
};
