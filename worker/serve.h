#pragma once

// The worker's use of the speech library: its transcription settings and
// the request loop.

#include "kestu.h"

#include <cstdio>

// greedy decoding of English without timestamps, past text discarded
// between requests, nothing logged
kestu_full_params worker_full_params(int n_threads);

// Answers requests from `in` on `out` until the input ends, a count of 0
// comes, a count is too long, or `out` can no longer be written. Returns
// the exit status: 0, or WORKER_EXIT_IO after a read or write error (a
// closed output is a normal end).
int worker_serve(kestu_context * ctx, kestu_full_params params, bool fit, FILE * in, FILE * out);
