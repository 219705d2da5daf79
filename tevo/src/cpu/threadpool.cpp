#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The worker pool of the CPU engine: threads that poll for a new run, then
// sleep on a condition variable; the barrier between nodes, where threads
// spin briefly, then sleep; the shared chunk counter through which kernels
// hand out work. Waiting threads sleep soon because the cores may be shared:
// a run waits at every barrier for its slowest thread, and a thread that has
// lost its processor comes back sooner when the others give theirs up.
// When recent barriers show that the cores are shared, idle workers do not
// poll and each kind of graph runs on the thread count its own runs measured
// fastest (thread-choice.cpp).

#include "cpu/impl.h"
#include "platform/platform.h"

#include <immintrin.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <new>

// Time an idle worker polls for the next run, per unit of poll_rounds, before
// it sleeps: back-to-back runs start without a wake-up (a worker that slept
// joins a run tens of microseconds late, every run), while a worker left
// idle gives its processor back within milliseconds (5 ms at the default
// level of 50).
static const int64_t TEVO_POLL_UNIT_NS = 100000;

// How long a thread waits at a barrier, spinning, before it sleeps: about as
// long as a barrier takes when the run's threads each have a processor and
// a node is out of balance, and short beside the time slice for which a run
// waits on a thread of its own that has lost its processor. A spinning
// thread would keep that processor from it (and from everyone else).
static const int64_t TEVO_BARRIER_SPIN_NS = 30000;

// Whether the cores are shared with other busy work. A thread that waits
// long at a barrier proves nothing: in a long node the threads that finish
// their share first wait with every core free. What shared cores do is keep
// threads of the run from running: between two barriers a thread's own CPU
// time falls short of the time that passed, by a wake-up that waited for a
// processor or by a time slice given to other work. About every
// TEVO_PROBE_PERIOD_NS the start of a run or the last thread at a barrier
// begins a probe; at the next barrier of the same run each thread adds up
// the time since and the part of it it was kept from running beyond
// TEVO_WAKE_NS (a free core, even a virtual one, runs a woken thread sooner;
// other work holds a processor for a time slice of milliseconds). A probe
// is evidence when that part passes a quarter of the threads' time: one
// thread that waits a slice now and then for some short task (8 threads on
// 8 cores) costs a run far less than half its threads would. A probe is
// evidence too when a thread of it was switched out for other work (an
// involuntary context switch) and the run waited for a thread kept from
// running over half the time between the barriers: beside busy work on
// part of the cores, a run of short nodes on all of them waits a little at
// many barriers, each time less than a wake-up may take on free cores (a
// quarter of such probes, against less than 1 % on free cores). Beside busy
// work only some probes are evidence, most waits being short; the share of
// time with evidence, moving with a time constant of TEVO_SHARE_TAU_NS, turns
// the verdict shared past a sixteenth, and quiet again below a thirty-second
// and after TEVO_SHARED_HOLD_NS without evidence. Only the time of runs on
// all the threads their graph asked for counts towards quiet: a run on
// fewer beside other work may find them all a core, and would otherwise
// turn back to all threads and lose them again, over and over (the thread
// choice moves a graph back to all its threads where they measure faster).
// On shared cores idle workers do not poll; barriers still spin their
// short while first, since a thread woken from sleep waits for a processor
// again (beside as many busy processes as cores, a run of 2 threads that
// slept at once took 1.5 times as long). Process-wide, updated without a
// lock by the last thread at a measured barrier; a lost update only delays
// the verdict.
static const int64_t TEVO_PROBE_PERIOD_NS = 1000000;
static const int64_t TEVO_WAKE_NS         = 250000;
static const int64_t TEVO_SHARE_TAU_NS    = 100000000;
static const int64_t TEVO_SHARED_HOLD_NS  = 300000000;
alignas(64) static std::atomic<int32_t> tevo_lost_share{ 0 }; // in 1/65536
static std::atomic<int64_t>             tevo_last_note_ns{ 0 };
static std::atomic<int64_t>             tevo_last_lost_ns{ 0 };
// bit 0: the cores are shared; bit 1: held there by hand. One word, so
// that a probe judged at the moment of a hold cannot undo it.
alignas(64) static std::atomic<uint32_t> tevo_verdict{ 0 };
static const uint32_t                    TEVO_VERDICT_SHARED = 1;
static const uint32_t                    TEVO_VERDICT_HELD   = 2;

// this thread's CPU time and preemptions when the probe of its current run
// began for it
static thread_local struct tevo_probe_mark tevo_probe_at = { 0, 0 };

static int64_t tevo_thread_cpu_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t) ts.tv_sec * 1000000000 + ts.tv_nsec;
}

bool tevo_threadpool_cores_shared(void) {
    return (tevo_verdict.load(std::memory_order_relaxed) & TEVO_VERDICT_SHARED) != 0;
}

void tevo_threadpool_hold_cores_shared(int shared) {
    if (shared >= 0) {
        tevo_verdict.store(TEVO_VERDICT_HELD | (shared != 0 ? TEVO_VERDICT_SHARED : 0), std::memory_order_relaxed);
        tevo_lost_share.store(shared != 0 ? 65536 : 0, std::memory_order_relaxed);
        tevo_last_lost_ns.store(0, std::memory_order_relaxed);
        tevo_last_note_ns.store(0, std::memory_order_relaxed);
    } else {
        tevo_verdict.fetch_and(~TEVO_VERDICT_HELD, std::memory_order_relaxed);
    }
}

static void tevo_probe_mark_now(void) {
    tevo_probe_at.cpu_ns      = tevo_thread_cpu_ns();
    tevo_probe_at.preemptions = tevo_platform_thread_preemptions();
}

struct tevo_probe_mark tevo_threadpool_probe_mark(void) {
    return tevo_probe_at;
}

void tevo_threadpool_restore_probe_mark(struct tevo_probe_mark mark) {
    tevo_probe_at = mark;
}

void tevo_threadpool_note_probe(int64_t lost_ns, int64_t wall_ns, int64_t now_ns, bool fewer, bool preempted) {
    uint32_t verdict = tevo_verdict.load(std::memory_order_relaxed);
    if ((verdict & TEVO_VERDICT_HELD) != 0) {
        return;
    }
    const bool kept = (lost_ns > 0 && lost_ns * 4 > wall_ns) || preempted;
    if (fewer && !kept) {
        // a run on fewer threads than asked may find them all a core beside
        // other work: only the time of runs on every thread counts towards
        // quiet
        tevo_last_note_ns.store(now_ns, std::memory_order_relaxed);
        return;
    }
    if (kept) {
        tevo_last_lost_ns.store(now_ns, std::memory_order_relaxed);
    }
    // A probe weighs as the time since the last one, at most a thirty-second
    // with evidence (so that one probe after a pause or in a long node does
    // not turn the verdict alone: beside as many busy processes as there are
    // cores left, single lost slices kept a run on half its threads most of
    // the time) and a quarter without (so that runs of long nodes find their
    // threads again as soon as runs of short ones).
    const int64_t last   = tevo_last_note_ns.exchange(now_ns, std::memory_order_relaxed);
    // at most the time constant, so that probes days apart (a worker left
    // idle) do not overflow the product below
    const int64_t dt     = last == 0 || now_ns < last ? 0 : TEVO_MIN(now_ns - last, TEVO_SHARE_TAU_NS);
    const int64_t weight = TEVO_MAX(1, TEVO_MIN(kept ? 32 : 256, dt * 1024 / TEVO_SHARE_TAU_NS));
    int64_t       share  = tevo_lost_share.load(std::memory_order_relaxed);
    share += ((kept ? 65536 : 0) - share) * weight / 1024;
    tevo_lost_share.store((int32_t) share, std::memory_order_relaxed);

    // a compare-exchange from the word read on entry: it fails where a hold
    // came meanwhile
    if ((verdict & TEVO_VERDICT_SHARED) == 0) {
        if (share > 65536 / 16) {
            tevo_verdict.compare_exchange_strong(verdict, TEVO_VERDICT_SHARED, std::memory_order_relaxed);
        }
    } else if (share < 65536 / 32 && now_ns - tevo_last_lost_ns.load(std::memory_order_relaxed) >= TEVO_SHARED_HOLD_NS) {
        tevo_verdict.compare_exchange_strong(verdict, 0, std::memory_order_relaxed);
    }
}

// For spin loops bounded in time: true once limit_ns have passed since the
// loop's 32nd step. The clock is read only every 32 steps; *t_end starts at 0.
static bool tevo_spin_expired(uint32_t step, int64_t limit_ns, int64_t * t_end) {
    if ((step & 31) != 31) {
        return false;
    }
    const int64_t now = tevo_platform_monotonic_ns();
    if (*t_end == 0) {
        *t_end = now + limit_ns;
        return false;
    }
    return now >= *t_end;
}

// a priority outside the list means low
static int32_t tevo_sched_priority_known(int32_t prio) {
    return prio >= TEVO_SCHED_PRIO_LOW && prio <= TEVO_SCHED_PRIO_REALTIME ? prio : TEVO_SCHED_PRIO_LOW;
}

static void tevo_thread_apply_priority(int32_t prio) {
    struct sched_param p;
    memset(&p, 0, sizeof(p));
    int policy = SCHED_OTHER;
    switch (prio) {
        case TEVO_SCHED_PRIO_NORMAL:   return;
        case TEVO_SCHED_PRIO_MEDIUM:   policy = SCHED_FIFO; p.sched_priority = 40; break;
        case TEVO_SCHED_PRIO_HIGH:     policy = SCHED_FIFO; p.sched_priority = 80; break;
        case TEVO_SCHED_PRIO_REALTIME: policy = SCHED_FIFO; p.sched_priority = 90; break;
        default:                       break; // low
    }
    const int err = pthread_setschedparam(pthread_self(), policy, &p);
    if (err != 0) {
        fprintf(stderr, "warn: failed to set thread priority %d : %s (%d)\n", prio, strerror(err), err);
    }
}

// Each state gets either the whole mask, or (strict placement) the next
// allowed processor at or after the cursor. Recorded only: no affinity call
// is made.
static void tevo_thread_cpumask_next(const bool * global_mask, bool * local_mask, bool strict, int32_t * cursor) {
    if (!strict) {
        memcpy(local_mask, global_mask, TEVO_MAX_N_THREADS);
        return;
    }
    memset(local_mask, 0, TEVO_MAX_N_THREADS);
    for (int32_t i = 0; i < TEVO_MAX_N_THREADS; i++) {
        const int32_t idx = (*cursor + i) % TEVO_MAX_N_THREADS;
        if (global_mask[idx]) {
            local_mask[idx] = true;
            *cursor         = idx + 1;
            return;
        }
    }
}

int tevo_threadpool_run_threads(struct tevo_threadpool * tp) {
    return (int) (tp->run_word.load(std::memory_order_relaxed) & 0xFFFFu);
}

// Notes a new run word; pending when this thread takes part in that run.
static bool tevo_thread_check_run(struct tevo_compute_state * state) {
    struct tevo_threadpool * tp = state->threadpool;
    const uint32_t           w  = tp->run_word.load(std::memory_order_acquire);
    if (w == state->last_run_word) {
        return false;
    }
    state->pending       = state->ith < (int32_t) (w & 0xFFFFu);
    state->last_run_word = w;
    return true;
}

static void tevo_thread_poll(struct tevo_compute_state * state) {
    struct tevo_threadpool * tp = state->threadpool;
    if (tevo_thread_check_run(state)) {
        return;
    }
    const int64_t limit_ns =
        tevo_threadpool_cores_shared() ? 0 : (int64_t) tp->poll_rounds * TEVO_POLL_UNIT_NS;
    int64_t       t_end    = 0;
    for (uint32_t i = 0; limit_ns > 0 && !tevo_spin_expired(i, limit_ns, &t_end); i++) {
        if (tp->stop.load(std::memory_order_relaxed) || tp->pause.load(std::memory_order_relaxed)) {
            return;
        }
        _mm_pause();
        if (tevo_thread_check_run(state)) {
            return;
        }
    }
}

static void tevo_thread_sleep(struct tevo_compute_state * state) {
    struct tevo_threadpool * tp = state->threadpool;
    pthread_mutex_lock(&tp->mutex);
    for (;;) {
        tevo_thread_check_run(state);
        if (state->pending || tp->stop.load() || tp->pause.load()) {
            break;
        }
        pthread_cond_wait(&tp->cond, &tp->mutex);
    }
    pthread_mutex_unlock(&tp->mutex);
}

static void * tevo_graph_compute_secondary_thread(void * data) {
    struct tevo_compute_state * state = (struct tevo_compute_state *) data;
    struct tevo_threadpool *    tp    = state->threadpool;

    tevo_thread_apply_priority(tp->priority);

    for (;;) {
        // A run posted before the pause came is joined first: its other
        // threads wait for this one at the barrier, and a pause takes effect
        // between runs. (A run started later clears the pause.)
        if (tp->pause.load()) {
            pthread_mutex_lock(&tp->mutex);
            const uint32_t w = tp->paused_run_word;
            if (tp->pause.load() && !state->pending && w != state->last_run_word) {
                state->pending       = state->ith < (int32_t) (w & 0xFFFFu);
                state->last_run_word = w;
            }
            if (tp->pause.load() && !state->pending) {
                pthread_cond_wait(&tp->cond, &tp->mutex);
            }
            pthread_mutex_unlock(&tp->mutex);
            if (!state->pending) {
                continue;
            }
        }
        if (tp->stop.load()) {
            break;
        }
        if (!state->pending) {
            tevo_thread_poll(state);
        }
        if (!state->pending) {
            tevo_thread_sleep(state);
        }
        if (state->pending) {
            std::atomic_thread_fence(std::memory_order_seq_cst);
            state->pending = false;
            if (tp->probe_run_word.load(std::memory_order_relaxed) == state->last_run_word) {
                tevo_probe_mark_now();
            }
            tevo_graph_compute_thread(state);
        }
    }
    return (void *) (intptr_t) TEVO_EXIT_SUCCESS;
}

struct tevo_threadpool * tevo_threadpool_new_impl(struct tevo_threadpool_params * params, struct tevo_cgraph * cgraph,
                                                  struct tevo_cplan * cplan) {
    // the run word keeps the thread count in 16 bits; a pool needs state 0
    TEVO_ASSERT(params->n_threads > 0 && params->n_threads <= TEVO_MAX_N_THREADS);

    void * mem = tevo_aligned_malloc(sizeof(struct tevo_threadpool));
    TEVO_ASSERT(mem != NULL);
    struct tevo_threadpool * tp = new (mem) tevo_threadpool();

    tp->cgraph = cgraph;
    tp->cplan  = cplan;
    tp->run_word.store(0);
    tp->barrier_arrivals.store(0);
    tp->barrier_passes.store(0);
    tp->barrier_sleepers.store(0);
    tp->probe_pass.store(0);
    tp->probe_run_word.store(0);
    tp->probe_start_ns.store(0);
    tp->probe_wall_ns.store(0);
    tp->probe_lost_ns.store(0);
    tp->probe_preempted_ns.store(0);
    tp->run_fewer.store(false);
    tp->chunk_counter.store(0);
    tp->stop.store(false);
    tp->pause.store(params->paused);
    tp->paused_run_word = 0;
    tp->abort_node.store(-1);
    tp->n_threads_max = params->n_threads;
    tp->priority      = tevo_sched_priority_known(tevo_threadpool_params_priority(params));
    tp->poll_rounds   = params->poll_rounds;
    tp->exit_code     = TEVO_EXIT_SUCCESS;

    const size_t states_size = sizeof(struct tevo_compute_state) * (size_t) tp->n_threads_max;
    tp->states = (struct tevo_compute_state *) tevo_aligned_malloc(states_size);
    TEVO_ASSERT(tp->states != NULL);
    memset((void *) tp->states, 0, states_size);
    for (int j = 0; j < tp->n_threads_max; j++) {
        tp->states[j].threadpool = tp;
        tp->states[j].ith        = j;
    }

    pthread_mutex_init(&tp->mutex, NULL);
    pthread_cond_init(&tp->cond, NULL);

    int32_t cursor = 0;
    for (int j = 1; j < tp->n_threads_max; j++) {
        tevo_thread_cpumask_next(params->cpumask, tp->states[j].cpumask, params->strict_placement, &cursor);
        const int rc = pthread_create(&tp->states[j].thread, NULL, tevo_graph_compute_secondary_thread,
                                      &tp->states[j]);
        TEVO_ASSERT(rc == 0);
    }
    tevo_thread_cpumask_next(params->cpumask, tp->states[0].cpumask, params->strict_placement, &cursor);

    if (!params->paused) {
        tevo_thread_apply_priority(tp->priority);
    }
    return tp;
}

struct tevo_threadpool * tevo_threadpool_new(struct tevo_threadpool_params * params) {
    return tevo_threadpool_new_impl(params, NULL, NULL);
}

void tevo_threadpool_free(struct tevo_threadpool * tp) {
    if (tp == NULL) {
        return;
    }

    pthread_mutex_lock(&tp->mutex);
    tp->stop.store(true);
    tp->pause.store(false);
    pthread_cond_broadcast(&tp->cond);
    pthread_mutex_unlock(&tp->mutex);

    for (int j = 1; j < tp->n_threads_max; j++) {
        const int rc = pthread_join(tp->states[j].thread, NULL);
        TEVO_ASSERT(rc == TEVO_EXIT_SUCCESS || rc == TEVO_EXIT_ABORTED);
    }

    pthread_mutex_destroy(&tp->mutex);
    pthread_cond_destroy(&tp->cond);

    tevo_aligned_free(tp->states, sizeof(struct tevo_compute_state) * (size_t) tp->n_threads_max);
    tp->~tevo_threadpool();
    tevo_aligned_free(tp, sizeof(struct tevo_threadpool));
}

void tevo_threadpool_pause(struct tevo_threadpool * tp) {
    pthread_mutex_lock(&tp->mutex);
    if (!tp->pause.load()) {
        tp->paused_run_word = tp->run_word.load();
        tp->pause.store(true);
        pthread_cond_broadcast(&tp->cond);
    }
    pthread_mutex_unlock(&tp->mutex);
}

void tevo_threadpool_resume(struct tevo_threadpool * tp) {
    pthread_mutex_lock(&tp->mutex);
    if (tp->pause.load()) {
        tp->pause.store(false);
        pthread_cond_broadcast(&tp->cond);
    }
    pthread_mutex_unlock(&tp->mutex);
}

// a probe of the cores from now on, measured at barrier pass `pass` of the
// run with this run word
static void tevo_probe_begin(struct tevo_threadpool * tp, int64_t now, uint32_t run_word, int32_t pass) {
    tp->probe_start_ns.store(now, std::memory_order_relaxed);
    tp->probe_run_word.store(run_word, std::memory_order_relaxed);
    tp->probe_wall_ns.store(0, std::memory_order_relaxed);
    tp->probe_lost_ns.store(0, std::memory_order_relaxed);
    tp->probe_preempted_ns.store(0, std::memory_order_relaxed);
    tp->probe_pass.store(pass, std::memory_order_relaxed);
}

void tevo_threadpool_start_run(struct tevo_threadpool * tp, int n, bool fewer) {
    pthread_mutex_lock(&tp->mutex);
    tp->run_fewer.store(fewer, std::memory_order_relaxed);

    // unsigned: the sequence number in the high half wraps around
    const uint32_t w    = tp->run_word.load(std::memory_order_relaxed);
    const uint32_t next = ((w & ~0xFFFFu) + (uint32_t) n) + 0x10000u;

    // a probe from the run's start also counts how long its workers take to
    // join it, which on shared cores is a wait for a processor
    const int64_t now = tevo_platform_monotonic_ns();
    if (n > 1 && now - tp->probe_start_ns.load(std::memory_order_relaxed) >= TEVO_PROBE_PERIOD_NS) {
        tevo_probe_begin(tp, now, next, tp->barrier_passes.load(std::memory_order_relaxed));
        tevo_probe_mark_now();
    }
    tp->run_word.exchange(next);

    if (tp->pause.load()) {
        tevo_thread_apply_priority(tp->priority);
        tp->pause.store(false);
    }

    pthread_cond_broadcast(&tp->cond);
    pthread_mutex_unlock(&tp->mutex);
}

void tevo_barrier(struct tevo_threadpool * tp) {
    const int n = tevo_threadpool_run_threads(tp);
    if (n == 1) {
        return;
    }

    const int32_t passes   = tp->barrier_passes.load(std::memory_order_relaxed);
    const bool    measured = tp->probe_pass.load(std::memory_order_relaxed) == passes;
    if (measured) {
        // how long this thread was kept from running since the probe began;
        // a probe begun in an earlier run spans the caller's time between runs
        const uint32_t word = tp->run_word.load(std::memory_order_relaxed);
        if (tp->probe_run_word.load(std::memory_order_relaxed) == word) {
            const int64_t wall = tevo_platform_monotonic_ns() - tp->probe_start_ns.load(std::memory_order_relaxed);
            const int64_t lost = wall - (tevo_thread_cpu_ns() - tevo_probe_at.cpu_ns);
            tp->probe_wall_ns.fetch_add(wall, std::memory_order_relaxed);
            tp->probe_lost_ns.fetch_add(TEVO_MAX(lost - TEVO_WAKE_NS, 0), std::memory_order_relaxed);
            if (tevo_platform_thread_preemptions() != tevo_probe_at.preemptions) {
                int64_t most = tp->probe_preempted_ns.load(std::memory_order_relaxed);
                while (lost > most &&
                       !tp->probe_preempted_ns.compare_exchange_weak(most, lost, std::memory_order_relaxed)) {
                }
            }
        }
    }

    if (tp->barrier_arrivals.fetch_add(1, std::memory_order_seq_cst) == n - 1) {
        // last to arrive: reset for the next barrier, judge or begin a probe,
        // then release the others
        tp->barrier_arrivals.store(0, std::memory_order_relaxed);
        const uint32_t word     = tp->run_word.load(std::memory_order_relaxed);
        const bool     same_run = tp->probe_run_word.load(std::memory_order_relaxed) == word;
        const int64_t  now      = tevo_platform_monotonic_ns();
        const int64_t  start    = tp->probe_start_ns.load(std::memory_order_relaxed);
        if (measured && same_run) {
            // the run waited that long for a thread that other work kept
            const bool preempted = tp->probe_preempted_ns.load(std::memory_order_relaxed) * 2 > now - start;
            tevo_threadpool_note_probe(tp->probe_lost_ns.load(std::memory_order_relaxed),
                                       tp->probe_wall_ns.load(std::memory_order_relaxed), now,
                                       tp->run_fewer.load(std::memory_order_relaxed), preempted);
        }
        const bool probe = now - start >= TEVO_PROBE_PERIOD_NS || (measured && !same_run);
        if (probe) {
            tevo_probe_begin(tp, now, word, passes + 1);
        }
        tp->barrier_passes.fetch_add(1, std::memory_order_seq_cst);
        if (tp->barrier_sleepers.load(std::memory_order_seq_cst) > 0) {
            tevo_platform_word_wake_all(&tp->barrier_passes);
        }
        if (probe) {
            tevo_probe_mark_now();
        }
        return;
    }

    int64_t t_end = 0;
    for (uint32_t i = 0; tp->barrier_passes.load(std::memory_order_acquire) == passes; i++) {
        if (tevo_spin_expired(i, TEVO_BARRIER_SPIN_NS, &t_end)) {
            // Sleep until the last thread opens the barrier. Counted first,
            // so that it either sees the count and wakes us, or we see its
            // pass before we sleep.
            tp->barrier_sleepers.fetch_add(1, std::memory_order_seq_cst);
            while (tp->barrier_passes.load(std::memory_order_seq_cst) == passes) {
                tevo_platform_word_wait(&tp->barrier_passes, (uint32_t) passes);
            }
            tp->barrier_sleepers.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
        _mm_pause();
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (tp->probe_pass.load(std::memory_order_relaxed) == passes + 1) {
        tevo_probe_mark_now();
    }
}

void tevo_threadpool_chunk_set(struct tevo_threadpool * tp, int value) {
    tp->chunk_counter.store(value, std::memory_order_relaxed);
}

int tevo_threadpool_chunk_add(struct tevo_threadpool * tp, int value) {
    return tp->chunk_counter.fetch_add(value, std::memory_order_relaxed);
}

void tevo_numa_init(void) {
}

bool tevo_is_numa(void) {
    return false;
}
