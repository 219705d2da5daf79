#pragma once

// Internal records of the CPU engine: the worker pool with its barrier and
// chunk counter, the run's walk, planning and dispatch. What a kernel sees of
// the engine is in cpu/ops/kernel.h, the lookup tables in cpu/vec/tables.h.

#include "core/impl.h"
#include "cpu/ops/kernel.h"
#include "cpu/vec/tables.h"
#include "tevo-cpu.h"

#include <pthread.h>

#ifdef __cplusplus
#include <atomic>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// status of a run, as tevo_graph_compute returns it
enum {
    TEVO_EXIT_SUCCESS = 0,
    TEVO_EXIT_ABORTED = 1,
};

#ifdef __cplusplus

// one per thread of a pool; entry 0 is the thread that starts the runs
struct tevo_compute_state {
    pthread_t thread;          // entry 0 has none
    uint32_t  last_run_word;   // touched only by the owning worker
    bool      pending;         // a run is waiting for this thread
    bool      cpumask[TEVO_MAX_N_THREADS];

    struct tevo_threadpool * threadpool;
    int32_t                  ith;
};

struct tevo_threadpool {
    pthread_mutex_t mutex; // guards sleeping, waking and pausing
    pthread_cond_t  cond;

    struct tevo_cgraph * cgraph; // of the current run
    struct tevo_cplan *  cplan;

    // Low 16 bits: threads of the current run; high 16 bits: run sequence
    // number. Unsigned so the sequence wraps instead of overflowing.
    alignas(64) std::atomic<uint32_t> run_word;

    alignas(64) std::atomic<int32_t> barrier_arrivals;
    alignas(64) std::atomic<int32_t> barrier_passes;
    std::atomic<int32_t>             barrier_sleepers; // threads asleep at the barrier

    // the probe of the cores, begun by the last thread at a barrier and
    // measured at the next one (the pass numbered probe_pass) of the same run
    alignas(64) std::atomic<int32_t> probe_pass;
    std::atomic<uint32_t>            probe_run_word;
    std::atomic<int64_t>             probe_start_ns; // when that barrier opened
    std::atomic<int64_t>             probe_wall_ns;  // summed over the run's threads up to their arrival,
    std::atomic<int64_t>             probe_lost_ns;  // and the part of it they were kept from running
    std::atomic<int64_t>             probe_preempted_ns; // the most of it lost by one thread that other work switched out
    std::atomic<bool>                run_fewer;      // the run has fewer threads than its graph asked for

    alignas(64) std::atomic<int32_t> chunk_counter;
    // apart from the counter: idle workers keep reading these while others
    // take chunks
    alignas(64) std::atomic<bool> stop;
    std::atomic<bool>    pause;
    uint32_t             paused_run_word; // run word when the pause came; under mutex
    std::atomic<int32_t> abort_node; // every thread stops before this node; -1 none

    alignas(64) struct tevo_compute_state * states;
    int32_t  n_threads_max;
    int32_t  priority;
    uint32_t poll_rounds;
    int32_t  exit_code; // written and read by thread 0 only
};

#endif

// a pool for one graph run (also the body of tevo_threadpool_new)
struct tevo_threadpool * tevo_threadpool_new_impl(struct tevo_threadpool_params * params, struct tevo_cgraph * cgraph,
                                                  struct tevo_cplan * cplan);

// number of threads of the current run (low half of the run word)
int tevo_threadpool_run_threads(struct tevo_threadpool * threadpool);

// whether recent barriers found the cores shared with other busy work (then
// waiting threads hardly spin and idle workers do not poll)
bool tevo_threadpool_cores_shared(void);
// holds that verdict at 0 (quiet) or 1 (shared), or lets the barriers judge
// again (-1): for tests that count a run's threads
void tevo_threadpool_hold_cores_shared(int shared);
// one probe for that verdict, judged at now_ns: from the opening of a
// barrier to their arrival at the next, the threads of a run spent wall_ns
// in all, lost_ns of them kept from running; fewer: the run had fewer
// threads than its graph asked for; preempted: a thread that other work
// switched out kept the run waiting over half the time
void tevo_threadpool_note_probe(int64_t lost_ns, int64_t wall_ns, int64_t now_ns, bool fewer, bool preempted);

// The calling thread's CPU time and preemptions when the probe of its
// current run began. A graph computed inside a node of a run (a custom
// operator) takes the mark for its own run and gives it back when done, so
// that the outer run's probe reads what that run gave the thread.
struct tevo_probe_mark {
    int64_t cpu_ns;
    int64_t preemptions; // involuntary context switches
};
struct tevo_probe_mark tevo_threadpool_probe_mark(void);
void                   tevo_threadpool_restore_probe_mark(struct tevo_probe_mark mark);

// The threads a run of a graph of this kind (see thread-choice.cpp) takes
// while the cores are shared, out of the n it asked for; size: its work per
// node; *level: what to pass back with the run's cost (its time per unit of
// work) once it ended.
int  tevo_thread_choice_begin(uint64_t kind, int n, double size, int * level);
void tevo_thread_choice_end(uint64_t kind, int n, int level, double cost);

// publishes a run of n threads (already capped at the pool's size); fewer:
// the thread choice gave it fewer than its graph asked for
void tevo_threadpool_start_run(struct tevo_threadpool * threadpool, int n, bool fewer);

// whether the walk passes a node by: an operator without a kernel, or a
// node not marked for computing
bool tevo_node_is_skipped(const struct tevo_tensor * node);

// the walk of one thread over the graph of the current run
void tevo_graph_compute_thread(struct tevo_compute_state * state);

// the operator's kernel
void tevo_compute_forward(struct tevo_compute_params * params, struct tevo_tensor * node);

// threads a node can use; fatal for operators outside the table
int tevo_get_n_tasks(struct tevo_tensor * node, int n_threads);

// The least work buffer, in bytes, a run of the graph on n_threads threads
// can be given: what the planner reserves for each node the walk computes,
// except where a kernel fits its work to the room it finds. *node_idx: the
// first node that needs that much (-1 when none needs any).
size_t tevo_graph_work_least(const struct tevo_cgraph * cgraph, int n_threads, int * node_idx);

// whether the RMS_NORM at node_idx and the MUL after it may run as one kernel
bool tevo_cpu_can_fuse_rms_norm_mul(const struct tevo_cgraph * cgraph, int node_idx, bool use_ref);

// false when "TEVO_CPU_DISABLE_FUSION" was 1 when tevo_cpu_init ran
bool tevo_cpu_fusion_enabled(void);

#ifdef __cplusplus
}
#endif
