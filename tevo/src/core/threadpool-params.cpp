#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Defaults and comparison of the CPU worker pool's parameter record.

#include "core/impl.h"

extern "C" {

void tevo_threadpool_params_init(struct tevo_threadpool_params * p, int n_threads) {
    p->n_threads        = n_threads;
    p->priority         = TEVO_SCHED_PRIO_NORMAL;
    p->poll_rounds      = 50;
    p->strict_placement = false;
    p->paused           = false;
    memset(p->cpumask, 0, TEVO_MAX_N_THREADS);
}

struct tevo_threadpool_params tevo_threadpool_params_default(int n_threads) {
    struct tevo_threadpool_params p;
    tevo_threadpool_params_init(&p, n_threads);
    return p;
}

bool tevo_threadpool_params_match(const struct tevo_threadpool_params * p0, const struct tevo_threadpool_params * p1) {
    if (p0->n_threads != p1->n_threads) return false;
    if (tevo_threadpool_params_priority(p0) != tevo_threadpool_params_priority(p1)) return false;
    if (p0->poll_rounds != p1->poll_rounds) return false;
    if (p0->strict_placement != p1->strict_placement) return false;
    return memcmp(p0->cpumask, p1->cpumask, TEVO_MAX_N_THREADS) == 0;
}

} // extern "C"
