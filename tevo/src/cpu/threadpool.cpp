#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The worker pool of the CPU engine: threads that poll for a new run, then
// sleep on a condition variable; the barrier between nodes, where threads
// spin briefly, then sleep; the shared chunk counter through which kernels
// hand out work. Waiting threads sleep soon because the cores may be shared:
// a run waits at every barrier for its slowest thread, and a thread that has
// lost its processor comes back sooner when the others give theirs up.
// When recent barriers show that the cores are shared, they hardly spin.

#include "cpu/impl.h"
#include "platform/platform.h"

#include <immintrin.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>

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

// Whether the cores are shared with other busy work, judged from barriers
// at which a thread slept because a spin of TEVO_BARRIER_SPIN_NS was not
// enough: on a quiet machine few do (under a tenth), beside as many busy
// threads as cores nearly all. On shared cores spinning only keeps processors
// from the threads a run waits for, so waiting threads sleep after a few steps
// and idle workers do not poll. Two barriers in every TEVO_PROBE_EVERY always
// spin and the second one is measured, so that the verdict can turn back:
// shared once the moving share of such barriers passes a half, quiet again
// below a quarter. Process-wide, updated without a lock by the last thread at
// a measured barrier; a lost update only delays the verdict.
static const uint32_t TEVO_PROBE_EVERY = 16;
alignas(64) static std::atomic<int32_t> tevo_slept_share{ 0 }; // in 1/1024, moving by 1/16
alignas(64) static std::atomic<bool> tevo_shared_verdict{ false };
static std::atomic<bool>             tevo_verdict_held{ false };

bool tevo_threadpool_cores_shared(void) {
    return tevo_shared_verdict.load(std::memory_order_relaxed);
}

void tevo_threadpool_hold_cores_shared(int shared) {
    if (shared >= 0) {
        tevo_shared_verdict.store(shared != 0, std::memory_order_relaxed);
        tevo_slept_share.store(shared != 0 ? 1024 : 0, std::memory_order_relaxed);
    }
    tevo_verdict_held.store(shared >= 0, std::memory_order_relaxed);
}

static void tevo_note_probe(bool slept) {
    if (tevo_verdict_held.load(std::memory_order_relaxed)) {
        return;
    }
    int32_t share = tevo_slept_share.load(std::memory_order_relaxed);
    share += ((slept ? 1024 : 0) - share) / 16;
    tevo_slept_share.store(share, std::memory_order_relaxed);

    const bool shared = tevo_threadpool_cores_shared();
    if (shared ? share < 256 : share > 512) {
        tevo_shared_verdict.store(!shared, std::memory_order_relaxed);
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

void tevo_threadpool_start_run(struct tevo_threadpool * tp, int n) {
    pthread_mutex_lock(&tp->mutex);

    // unsigned: the sequence number in the high half wraps around
    const uint32_t w = tp->run_word.load(std::memory_order_relaxed);
    tp->run_word.exchange(((w & ~0xFFFFu) + (uint32_t) n) + 0x10000u);

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

    const int32_t passes = tp->barrier_passes.load(std::memory_order_relaxed);
    // on shared cores, the first barrier of a probe brings the threads
    // together and the second is measured
    const uint32_t probe    = (uint32_t) passes % TEVO_PROBE_EVERY;
    const bool     spinning = probe < 2 || !tevo_threadpool_cores_shared();

    if (tp->barrier_arrivals.fetch_add(1, std::memory_order_seq_cst) == n - 1) {
        // last to arrive: reset for the next barrier, then release the others
        tp->barrier_arrivals.store(0, std::memory_order_relaxed);
        if (probe == 1) {
            tevo_note_probe(tp->barrier_sleepers.load(std::memory_order_relaxed) > 0);
        }
        tp->barrier_passes.fetch_add(1, std::memory_order_seq_cst);
        if (tp->barrier_sleepers.load(std::memory_order_seq_cst) > 0) {
            tevo_platform_word_wake_all(&tp->barrier_passes);
        }
        return;
    }

    const int64_t spin_ns = spinning ? TEVO_BARRIER_SPIN_NS : 0;
    int64_t       t_end   = 0;
    for (uint32_t i = 0; tp->barrier_passes.load(std::memory_order_acquire) == passes; i++) {
        if (tevo_spin_expired(i, spin_ns, &t_end)) {
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
