#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// How many threads a graph runs on while the cores are shared with other
// work. Beside busy work a run waits at every barrier for whichever of its
// threads the system has set aside, so more threads can be far slower than
// fewer; how much depends on the graph: short nodes lose most, long nodes
// whose chunks balance across threads lose little. No fixed rule fits all,
// so each kind of graph keeps what its own runs measured on each thread
// count it tried: n, then about n/2, n/4, ... down to 1 ("levels"). A new
// kind starts where the known kind nearest to it in work per node settled
// (graphs of short nodes lose most), or on half its threads (at least two)
// when none is known within a factor of TEVO_CHOICE_NEAR; now and then a
// run tries the level above or below, or one thread, and the graph moves
// there when that measured faster (to fewer threads on a tie: they cost the
// machine less), trying the next level that way at once. A try that lost
// waits twice as long before the next one in its direction, up to
// TEVO_CHOICE_GAP_MAX runs, or longer after a try that took several times
// as long, which bounds what trying costs. Only runs on all the threads
// asked count towards the cores being free again (see the verdict in
// threadpool.cpp), so about once every TEVO_CHOICE_ALL_NS one run of the
// process goes on all of them, and its graph moves there if that is faster.

#include "cpu/impl.h"
#include "platform/platform.h"

#include <math.h>
#include <string.h>

#include <mutex>

static const int     TEVO_CHOICE_SLOTS   = 64;
static const int     TEVO_CHOICE_LEVELS  = 10; // 512 threads halve to 1 in 9 steps
static const int     TEVO_CHOICE_GAP_MIN = 4;
static const int     TEVO_CHOICE_GAP_MAX = 64;
static const int     TEVO_CHOICE_GAP_FAR = 2048;
static const double  TEVO_CHOICE_NEAR    = 16.0;
// a level measured longer ago than this (in runs of its graph) starts anew
static const int64_t TEVO_CHOICE_STALE   = 4 * TEVO_CHOICE_GAP_MAX;
static const int64_t TEVO_CHOICE_ALL_NS  = 1000000000;

struct tevo_choice_slot {
    uint64_t key; // graph kind and thread count asked; 0: free
    uint64_t used;
    int64_t  runs;
    int32_t  n;
    double   size; // log of the work per node
    int32_t  n_levels;
    int32_t  best;
    int64_t  next_fewer, next_more; // run at which to try the level below, above
    int32_t  gap_fewer, gap_more;
    int32_t  tries_fewer;
    double   cost[TEVO_CHOICE_LEVELS]; // moving mean of the time per unit of work
    int64_t  at[TEVO_CHOICE_LEVELS];   // run of the last measure; 0 none
};

static std::mutex              tevo_choice_mutex;
static struct tevo_choice_slot tevo_choice_slots[TEVO_CHOICE_SLOTS];
static uint64_t                tevo_choice_clock = 0;
static int64_t                 tevo_choice_all_ns = 0; // last run on all the threads asked

static int tevo_choice_threads(int n, int level) {
    return (n + (1 << level) - 1) >> level;
}

static struct tevo_choice_slot * tevo_choice_find(uint64_t key, int n, double size, bool create) {
    struct tevo_choice_slot * oldest = &tevo_choice_slots[0];
    for (int i = 0; i < TEVO_CHOICE_SLOTS; i++) {
        struct tevo_choice_slot * s = &tevo_choice_slots[i];
        if (s->key == key) {
            s->used = ++tevo_choice_clock;
            return s;
        }
        if (s->used < oldest->used) {
            oldest = s;
        }
    }
    if (!create) {
        return NULL;
    }
    // the level of the settled kind nearest in work per node
    int    prior    = n > 2 ? 1 : 0;
    double distance = log(TEVO_CHOICE_NEAR);
    for (int i = 0; i < TEVO_CHOICE_SLOTS; i++) {
        const struct tevo_choice_slot * k = &tevo_choice_slots[i];
        if (k->key != 0 && k->n == n && k->runs >= 2 && fabs(k->size - size) < distance) {
            distance = fabs(k->size - size);
            prior    = k->best;
        }
    }
    struct tevo_choice_slot * s = oldest;
    memset((void *) s, 0, sizeof(*s));
    s->n        = n;
    s->size     = size;
    s->key      = key;
    s->used     = ++tevo_choice_clock;
    s->n_levels = 1;
    while (s->n_levels < TEVO_CHOICE_LEVELS && tevo_choice_threads(n, s->n_levels - 1) > 1) {
        s->n_levels++;
    }
    s->best       = prior;
    s->gap_fewer  = TEVO_CHOICE_GAP_MIN;
    s->gap_more   = TEVO_CHOICE_GAP_MIN;
    // fewer threads first: on shared cores more can cost many times a run
    s->next_fewer = 2;
    s->next_more  = 2 * TEVO_CHOICE_GAP_MIN + 1;
    return s;
}

static uint64_t tevo_choice_key(uint64_t kind, int n) {
    const uint64_t key = (kind ^ ((uint64_t) n * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return key == 0 ? 1 : key;
}

int tevo_thread_choice_begin(uint64_t kind, int n, double size, int * level_out) {
    *level_out = 0;
    if (n <= 1) {
        return n;
    }
    std::lock_guard<std::mutex> lock(tevo_choice_mutex);
    struct tevo_choice_slot *   s = tevo_choice_find(tevo_choice_key(kind, n), n, log(TEVO_MAX(size, 1.0)), true);
    s->runs++;
    const int64_t now = tevo_platform_monotonic_ns();
    if (tevo_choice_all_ns == 0) {
        tevo_choice_all_ns = now;
    }
    int level = s->best;
    if (s->best > 0 && s->runs > 1 && now - tevo_choice_all_ns >= TEVO_CHOICE_ALL_NS) {
        level = 0;
    } else if (s->best + 1 < s->n_levels && s->runs >= s->next_fewer) {
        // one thread waits at no barrier: beside busy work it can be far
        // faster than the counts between, none of which would win a try,
        // so every other try goes straight there
        level         = s->tries_fewer++ % 2 == 0 ? s->n_levels - 1 : s->best + 1;
        s->next_fewer = s->runs + s->gap_fewer;
    } else if (s->best > 0 && s->runs >= s->next_more) {
        level        = s->best - 1;
        s->next_more = s->runs + s->gap_more;
    }
    if (level == 0) {
        tevo_choice_all_ns = now;
    }
    *level_out = level;
    return tevo_choice_threads(n, level);
}

void tevo_thread_choice_end(uint64_t kind, int n, int level, double cost) {
    if (n <= 1) {
        return;
    }
    std::lock_guard<std::mutex> lock(tevo_choice_mutex);
    struct tevo_choice_slot *   s = tevo_choice_find(tevo_choice_key(kind, n), n, 0.0, false);
    if (s == NULL || level < 0 || level >= s->n_levels) {
        return; // evicted meanwhile
    }

    // the level in use moves slowly, one tried now and then follows its
    // latest measures more closely
    if (s->at[level] == 0 || s->runs - s->at[level] > TEVO_CHOICE_STALE) {
        s->cost[level] = cost;
    } else {
        s->cost[level] += (cost - s->cost[level]) / (level == s->best ? 4 : 2);
    }
    s->at[level] = s->runs;
    if (level == s->best) {
        // a level tried from here that lost against a cost this one no
        // longer holds (twice that since, as when other work came, or a
        // lucky first run) is tried again at once, and measured afresh
        const int tried[] = { level - 1, level + 1, s->n_levels - 1 };
        for (const int k : tried) {
            if (k >= 0 && k != level && s->at[k] != 0 && s->cost[level] > 2.0 * s->cost[k]) {
                s->at[k] = 0;
                if (k > level) {
                    s->next_fewer = TEVO_MIN(s->next_fewer, s->runs + 1);
                } else {
                    s->next_more = TEVO_MIN(s->next_more, s->runs + 1);
                }
            }
        }
        return;
    }
    if (s->runs - s->at[s->best] > TEVO_CHOICE_STALE) {
        return;
    }

    const bool fewer = level > s->best;
    const bool won   = fewer ? s->cost[level] <= s->cost[s->best] : s->cost[level] < 0.9 * s->cost[s->best];
    if (!won && level < s->best - 1) {
        return; // the run on all threads for the verdict; not a try
    }
    int32_t *  gap   = fewer ? &s->gap_fewer : &s->gap_more;
    if (won) {
        // on that way at once; back to the level left only later
        s->best       = level;
        s->gap_fewer  = TEVO_CHOICE_GAP_MIN;
        s->gap_more   = TEVO_CHOICE_GAP_MIN;
        s->next_fewer = s->runs + (fewer ? 1 : 2 * TEVO_CHOICE_GAP_MIN);
        s->next_more  = s->runs + (fewer ? TEVO_CHOICE_GAP_MAX : 1);
    } else {
        // a try that took several times as long waits in proportion, so
        // that trying costs a few percent
        const double ratio = s->cost[level] / TEVO_MAX(s->cost[s->best], 1e-30);
        const int    far   = (int) TEVO_MIN(ratio * 32.0, (double) TEVO_CHOICE_GAP_FAR);
        *gap               = TEVO_MAX(TEVO_MIN(*gap * 2, TEVO_CHOICE_GAP_MAX), far);
        if (fewer) {
            s->next_fewer = s->runs + *gap;
        } else {
            s->next_more = s->runs + *gap;
        }
    }
}
