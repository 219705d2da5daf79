#pragma once

// What every CPU kernel receives and what it may ask of the engine running
// it: its share of the run (ith of nth), the work buffer shared by the run's
// threads, the barrier and the chunk counter. The engine (cpu/) implements
// these; no kernel includes an engine header.

#include "core/impl.h"
#include "cpu/vec/tables.h"
#include "tevo-cpu.h"

#include <inttypes.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The first argument of every CPU kernel. All threads of a run enter each
// node with the same nth and split the work by ith.
struct tevo_compute_params {
    int32_t ith;
    int32_t nth;

    size_t wsize; // bytes of wdata
    void * wdata; // one work buffer shared by all threads of the run

    struct tevo_threadpool * threadpool;

    bool use_ref; // reference paths only: no fusion, tiled or other shortcuts
};

// one routed row of MUL_MAT_ID
struct mmid_row_mapping {
    int32_t i1; // slot within the token's id row
    int32_t i2; // token
};

// waits until every thread of the run has arrived
void tevo_barrier(struct tevo_threadpool * threadpool);

// plain store; follow it with tevo_barrier before anyone reads the counter
void tevo_threadpool_chunk_set(struct tevo_threadpool * threadpool, int value);
// returns the value before the addition
int  tevo_threadpool_chunk_add(struct tevo_threadpool * threadpool, int value);

// Items [*i0, *i1) of thread ith of nth: contiguous blocks of ceil(n / nth).
// Counts of elements, blocks and rows stay in 64 bits all the way, so a
// tensor of 2^31 rows or more splits like a small one instead of wrapping to
// a negative count that leaves every thread idle. Threads past the end get
// an empty range at n.
static inline void tevo_thread_range(int64_t n, int ith, int nth, int64_t * i0, int64_t * i1) {
    const int64_t dr = (n + nth - 1) / nth;
    *i0              = TEVO_MIN(dr * ith, n);
    *i1              = TEVO_MIN(*i0 + dr, n);
}

// The longest row a row routine that takes an int length accepts (the dot
// products, softmax, the activations). It stays a little below 2^31 so that
// the routines' group indices (i + 8, i + 32 ...) cannot pass INT32_MAX.
#define TEVO_MAX_ROW_LENGTH (INT32_MAX - 63)

// The length of a row handed to such a routine: a row of 2^31 - 63 elements
// or more is refused with a clear error instead of wrapping to a negative
// length.
static inline int tevo_row_length(const struct tevo_tensor * dst, int64_t n) {
    if (n > TEVO_MAX_ROW_LENGTH) {
        TEVO_ABORT("%s: a row of %" PRId64 " elements; rows are limited to %d elements", tevo_op_desc(dst), n,
                   TEVO_MAX_ROW_LENGTH);
    }
    return (int) n;
}

// Row ir of t, counting the rows of dimensions 1 to 3 in order, through t's
// own strides. A packed tensor's stride of an extent-1 dimension may be
// anything (a transposed view keeps it), so rows are never stepped by nb[1]
// alone.
static inline char * tevo_row_at(const struct tevo_tensor * t, int64_t ir) {
    const int64_t ne1 = t->ne[1];
    const int64_t ne2 = t->ne[2];
    const int64_t i3  = ir / (ne2 * ne1);
    const int64_t i2  = (ir - i3 * ne2 * ne1) / ne1;
    const int64_t i1  = ir - i3 * ne2 * ne1 - i2 * ne1;
    return (char *) t->data + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
}

#ifdef __cplusplus
}
#endif
