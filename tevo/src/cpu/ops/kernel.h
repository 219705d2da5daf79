#pragma once

// What every CPU kernel receives and what it may ask of the engine running
// it: its share of the run (ith of nth), the work buffer shared by the run's
// threads, the barrier and the chunk counter. The engine (cpu/) implements
// these; no kernel includes an engine header.

#include "core/impl.h"
#include "cpu/vec/tables.h"
#include "tevo-cpu.h"

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

#ifdef __cplusplus
}
#endif
