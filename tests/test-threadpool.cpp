// The CPU engine's worker pool: the barrier (spinning, asleep while a thread
// is late, also after threads kept from running), the verdict
// on shared cores from probes given by hand, and the chunk counter under
// several thread counts, pools that run graphs with fewer threads than they
// own, pausing and resuming (a pause lets the run under way finish), polling
// levels, placement masks, the priority warning, priorities outside the list
// and the run word's sequence wrapping around.

#include "cpu/impl.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A pool record without workers, driven by threads of the test itself, as a
// graph run drives the real one: run_word says how many threads take part.
struct BarePool {
    tevo_threadpool * tp;
    explicit BarePool(int n) {
        tp = new tevo_threadpool();
        tp->run_word.store((1u << 16) | (uint32_t) n);
    }
    ~BarePool() { delete tp; }
};

template <typename F> void run_threads(int n, F f) {
    std::vector<std::thread> threads;
    for (int i = 1; i < n; ++i) {
        threads.emplace_back(f, i);
    }
    f(0);
    for (auto & t : threads) {
        t.join();
    }
}

struct barrier_case {
    int  n;
    int  rounds; // few: spinning threads crawl on a loaded machine
    bool late;   // thread 0, asleep itself, comes to each barrier only when the others sleep
};

void check_barrier(const barrier_case & c) {
    SCOPED_TRACE(testing::Message() << c.n << " threads" << (c.late ? ", one late" : ""));
    const int        n = c.n;
    BarePool         pool(n);
    std::vector<int> slots(n, -1); // plain memory: the barrier must order it
    std::vector<int> errors(n, 0);
    const auto meet = [&](int ith) {
        if (c.late && ith == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            while (pool.tp->barrier_sleepers.load() < n - 1) {
                std::this_thread::yield();
            }
        }
        tevo_barrier(pool.tp);
    };
    run_threads(n, [&](int ith) {
        for (int r = 0; r < c.rounds; ++r) {
            slots[ith] = r;
            meet(ith);
            for (int j = 0; j < n; ++j) {
                errors[ith] += slots[j] != r;
            }
            meet(ith);
        }
    });
    for (int e : errors) {
        EXPECT_EQ(e, 0);
    }
    EXPECT_EQ(pool.tp->barrier_passes.load(), 2 * c.rounds);
    EXPECT_EQ(pool.tp->barrier_arrivals.load(), 0);
    EXPECT_EQ(pool.tp->barrier_sleepers.load(), 0);
}

const barrier_case barrier_cases[] = { { 2, 60, false }, { 3, 60, false }, { 8, 60, false },
                                       { 2, 3, true },   { 5, 3, true } };

// Threads meet at the barrier spinning, or, where one comes late, asleep:
// its arrival wakes them all, and every thread sees what the others wrote
// before they came.
TEST(Barrier, EveryThreadSeesTheWritesMadeBeforeIt) {
    for (const barrier_case & c : barrier_cases) {
        check_barrier(c);
    }
}

// Barriers that keep waiting for a thread that is not running, as on cores
// shared with other work, turn the verdict to shared; the barrier then
// orders the writes as before. (The verdict is process-wide and stays for
// the tests after this one: they also run with it.)
TEST(Barrier, ThreadsKeptFromRunningTurnTheVerdictToShared) {
    for (int i = 0; i < 16 && !tevo_threadpool_cores_shared(); ++i) {
        check_barrier({ 3, 64, true });
    }
    ASSERT_TRUE(tevo_threadpool_cores_shared());
    for (const barrier_case & c : barrier_cases) {
        check_barrier(c);
    }
}

// The verdict from probes given by hand: each says how much time the run's
// threads spent between two barriers, how much of it they were kept from
// running beyond a wake-up, whether one that other work switched out kept
// the run waiting over half that time, and when.
TEST(SharedCores, VerdictFollowsThreadsKeptFromRunning) {
    const bool    before = tevo_threadpool_cores_shared();
    const int64_t us     = 1000;
    const int64_t ms     = 1000 * us;
    int64_t       now    = 1000 * ms;
    const auto    probes = [&](int count, int64_t every, int64_t lost, int64_t wall, bool fewer = false,
                            bool preempted = false) {
        for (int i = 0; i < count; ++i) {
            now += every;
            tevo_threadpool_note_probe(lost, wall, now, fewer, preempted);
        }
    };
    // probes until the verdict is `shared`, at most `limit`; one in `one_in`
    // finds threads kept from running
    const auto until = [&](bool shared, int limit, int one_in, int64_t every, int64_t lost, int64_t wall) {
        int count = 0;
        while (tevo_threadpool_cores_shared() != shared && count < limit) {
            probes(1, every, count % one_in == 0 ? lost : 0, wall);
            ++count;
        }
        return count;
    };
    tevo_threadpool_hold_cores_shared(0);
    tevo_threadpool_hold_cores_shared(-1);

    // Quiet cores, long uneven nodes on 8 threads: the threads that finished
    // first slept for milliseconds, but each ran from its wake-up on; a short
    // preemption within a long node is no sign either.
    probes(2000, 25 * ms, 0, 8 * 15 * ms);
    EXPECT_FALSE(tevo_threadpool_cores_shared());
    probes(2000, 50 * ms, 2 * ms, 8 * 40 * ms);
    EXPECT_FALSE(tevo_threadpool_cores_shared());
    // 8 threads on 8 cores: some short task takes a core now and then, and a
    // few runs in a row wait a time slice for the thread it displaced
    for (int i = 0; i < 50; ++i) {
        probes(10, 3 * ms, 2500 * us, 8 * 3 * ms);
        probes(100, 3 * ms, 0, 8 * 3 * ms);
    }
    EXPECT_FALSE(tevo_threadpool_cores_shared());
    // short nodes: a thread kept from running once in a while, or switched
    // out for some short task
    for (int i = 0; i < 50; ++i) {
        probes(1, 1 * ms, 2 * ms, 8 * 50 * us);
        probes(100, 1 * ms, 0, 8 * 50 * us);
        probes(1, 1 * ms, 0, 8 * 50 * us, false, true);
        probes(100, 1 * ms, 0, 8 * 50 * us);
    }
    EXPECT_FALSE(tevo_threadpool_cores_shared());

    // Beside busy work threads keep waiting a time slice for a processor,
    // in short nodes in one probe of several, in long ones in most: shared
    // within a tenth of a second of it.
    const struct {
        int64_t every;
        int     one_in;
    } busy_cases[] = { { 100 * us, 8 }, { 1 * ms, 8 }, { 1 * ms, 1 }, { 40 * ms, 1 } };
    for (const auto & c : busy_cases) {
        SCOPED_TRACE(testing::Message() << c.every << " " << c.one_in);
        tevo_threadpool_hold_cores_shared(0);
        tevo_threadpool_hold_cores_shared(-1);
        probes(10, c.every, 0, 8 * c.every);
        const int64_t busy = now;
        const int64_t wall = 8 * TEVO_MAX(c.every, 500 * us);
        EXPECT_LT(until(true, 100000, c.one_in, c.every, wall / 2, wall), 100000);
        EXPECT_LE(now - busy, 150 * ms);
    }
    // Busy work on half the cores, short nodes on all: each thread waits
    // less than a wake-up may take, but in a quarter of the probes one that
    // other work switched out keeps the run waiting.
    {
        tevo_threadpool_hold_cores_shared(0);
        tevo_threadpool_hold_cores_shared(-1);
        const int64_t busy  = now;
        int           count = 0;
        while (!tevo_threadpool_cores_shared() && count < 100000) {
            probes(1, 1 * ms, 0, 8 * 150 * us, false, count % 4 == 0);
            ++count;
        }
        EXPECT_TRUE(tevo_threadpool_cores_shared());
        EXPECT_LE(now - busy, 150 * ms);
    }

    // On half its threads a run may find them all a core and keep on half
    // while some probes still find threads kept from running...
    for (int i = 0; i < 100; ++i) {
        probes(1, 1 * ms, 2 * ms, 4 * 1 * ms);
        probes(99, 1 * ms, 0, 4 * 1 * ms);
    }
    EXPECT_TRUE(tevo_threadpool_cores_shared());
    // ...and however long none does when the run has fewer threads than its
    // graph asked for, the others may still be kept from running; nor does
    // a short run on all of them now and then find the cores free. Once runs
    // on all threads find none for a while, the verdict turns quiet.
    probes(20000, 1 * ms, 0, 4 * 1 * ms, true);
    EXPECT_TRUE(tevo_threadpool_cores_shared());
    probes(500, 1 * ms, 8 * ms, 16 * ms);
    for (int second = 0; second < 20; ++second) {
        probes(997, 1 * ms, 0, 4 * 1 * ms, true);
        probes(3, 1 * ms, 0, 8 * 1 * ms);
    }
    EXPECT_TRUE(tevo_threadpool_cores_shared());
    const int64_t all_threads = now;
    EXPECT_LT(until(false, 100000, 1, 1 * ms, 0, 8 * 1 * ms), 100000);
    EXPECT_LE(now - all_threads, 1000 * ms);

    // ...and turns back within a second once none does, with probes close
    // together or far apart (a long node per run).
    for (const int64_t every : { 1 * ms, 10 * ms, 40 * ms }) {
        SCOPED_TRACE(every);
        probes(500, 1 * ms, 8 * ms, 16 * ms);
        ASSERT_TRUE(tevo_threadpool_cores_shared());
        const int64_t gone = now;
        EXPECT_LT(until(false, 100000, 1, every, 0, 8 * every), 100000);
        EXPECT_LE(now - gone, 1000 * ms);
    }

    tevo_threadpool_hold_cores_shared(before ? 1 : 0);
    tevo_threadpool_hold_cores_shared(-1);
}

// Probes far apart (a worker left idle for months) weigh as one time
// constant: one probe with evidence after the pause does not turn the
// verdict (and the weight does not overflow).
TEST(SharedCores, ProbesMonthsApartWeighAsOneTimeConstant) {
    const bool    before = tevo_threadpool_cores_shared();
    const int64_t ms     = 1000000;
    const int64_t day    = 86400 * 1000 * ms;
    tevo_threadpool_hold_cores_shared(0);
    tevo_threadpool_hold_cores_shared(-1);
    for (const int64_t pause : { 104 * day, 200 * day, 100000 * day }) {
        SCOPED_TRACE(pause / day);
        const int64_t now = 1000 * ms;
        tevo_threadpool_note_probe(0, 8 * ms, now, false, false);
        tevo_threadpool_note_probe(8 * ms, 16 * ms, now + pause, false, false);
        EXPECT_FALSE(tevo_threadpool_cores_shared());
        tevo_threadpool_hold_cores_shared(0);
        tevo_threadpool_hold_cores_shared(-1);
    }
    tevo_threadpool_hold_cores_shared(before ? 1 : 0);
    tevo_threadpool_hold_cores_shared(-1);
}

// A hold wins over probes judged at the same moment on another thread, and
// lasts while it is held.
TEST(SharedCores, AHoldWinsOverProbesJudgedMeanwhile) {
    const bool        before = tevo_threadpool_cores_shared();
    std::atomic<bool> stop{ false };
    std::thread       prober([&] {
        const int64_t ms  = 1000000;
        int64_t       now = 1000 * ms;
        while (!stop.load(std::memory_order_relaxed)) {
            now += ms;
            tevo_threadpool_note_probe(8 * ms, 16 * ms, now, false, false);
        }
    });
    int lost = 0;
    for (int i = 0; i < 20000; ++i) {
        tevo_threadpool_hold_cores_shared(0);
        for (int k = 0; k < 20; ++k) {
            lost += tevo_threadpool_cores_shared() ? 1 : 0;
        }
        tevo_threadpool_hold_cores_shared(-1);
    }
    stop.store(true);
    prober.join();
    EXPECT_EQ(lost, 0);
    tevo_threadpool_hold_cores_shared(before ? 1 : 0);
    tevo_threadpool_hold_cores_shared(-1);
}

// On shared cores each kind of graph runs on the thread count fastest for
// it, learnt from the costs of its own runs (given by hand here, with
// noise and now and then a run three times as long, as a lost time slice
// makes): short nodes beside busy work on one thread, long nodes on all,
// others in between, also where no count between is faster than the
// next; and it follows when that changes. What trying other
// counts costs stays small.
TEST(SharedCores, EachKindOfGraphRunsOnTheThreadCountFastestForIt) {
    struct choice_case {
        int                 n;
        std::vector<double> cost; // by level: n threads, about n/2, n/4, ... 1
        std::vector<double> then; // the costs after the change; empty: none
    };
    const choice_case cases[] = {
        { 8, { 5.0, 2.0, 1.5, 1.0 }, { 1.0, 1.6, 3.0, 6.0 } },
        { 8, { 1.0, 1.6, 3.0, 6.0 }, { 5.0, 2.0, 1.5, 1.0 } },
        { 8, { 2.0, 1.0, 1.5, 3.0 }, {} },
        { 8, { 1.0, 1.05, 1.5, 3.0 }, {} },
        { 8, { 1.5, 1.0, 1.4, 0.2 }, {} }, // one thread waits at no barrier
        { 6, { 3.0, 2.0, 1.2, 1.0 }, {} },
        { 3, { 1.0, 2.0, 3.0 }, {} },
        { 2, { 1.0, 1.5 }, { 1.5, 1.0 } },
        { 16, { 9.0, 4.0, 2.0, 1.5, 1.0 }, {} },
    };
    uint64_t kind = 0x5eed0000;
    for (const choice_case & c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " threads, " << c.cost.size() << " levels, cost at n " << c.cost[0]);
        kind++;
        std::mt19937                           rng((unsigned) kind);
        std::uniform_real_distribution<double> noise(0.8, 1.25);
        for (const std::vector<double> * costs : { &c.cost, &c.then }) {
            if (costs->empty()) {
                continue;
            }
            // a count within a tenth of the fastest counts as fastest
            const size_t best = std::min_element(costs->begin(), costs->end()) - costs->begin();
            const int    runs = 1000, settle = 300;
            int          at_best = 0;
            double       paid = 0, ideal = 0;
            for (int r = 0; r < runs; ++r) {
                int       level   = -1;
                const int threads = tevo_thread_choice_begin(kind, c.n, 1e6 * (double) kind, &level);
                ASSERT_GE(level, 0);
                ASSERT_LT(level, (int) costs->size());
                ASSERT_EQ(threads, (c.n + (1 << level) - 1) >> level);
                const double factor = noise(rng) * (rng() % 16 == 0 ? 3.0 : 1.0);
                tevo_thread_choice_end(kind, c.n, level, (*costs)[level] * factor);
                if (r >= settle) {
                    at_best += (*costs)[level] <= 1.1 * (*costs)[best] ? 1 : 0;
                    paid += (*costs)[level] * factor;
                    ideal += (*costs)[best] * factor;
                }
            }
            EXPECT_GE(at_best, (runs - settle) * 8 / 10);
            EXPECT_LE(paid, 1.15 * ideal);
        }
    }

    // A new kind starts where the kind nearest in work per node settled,
    // or on half its threads when none is near.
    const double settled = 1e3;
    for (int r = 0; r < 100; ++r) {
        int level = -1;
        tevo_thread_choice_begin(0x5eed1000, 12, settled, &level);
        const double cost[] = { 8.0, 4.0, 1.0, 2.0, 3.0 }; // 12, 6, 3, 2 and 1 threads
        tevo_thread_choice_end(0x5eed1000, 12, level, cost[level]);
    }
    const struct {
        uint64_t kind;
        double   size;
        int      threads;
    } first_runs[] = { { 0x5eed1001, 2 * settled, 3 }, { 0x5eed1002, settled / 4, 3 }, { 0x5eed1003, 1e3 * settled, 6 } };
    for (const auto & f : first_runs) {
        int level = -1;
        EXPECT_EQ(tevo_thread_choice_begin(f.kind, 12, f.size, &level), f.threads) << f.size;
    }
}

// While graphs run on fewer threads than they asked for, about once a
// second one runs on all of them, so that the verdict can find the cores
// free again; its cost moves nothing where it lost.
TEST(SharedCores, ARunOnAllThreadsComesAboutOnceASecond) {
    const uint64_t kind    = 0x5eed2000;
    const double   cost[]  = { 5.0, 2.0, 1.5, 1.0 }; // 8, 4, 2 and 1 threads
    const auto     one_run = [&] {
        int level = -1;
        tevo_thread_choice_begin(kind, 8, 1e9, &level);
        tevo_thread_choice_end(kind, 8, level, cost[level]);
        return level;
    };
    for (int r = 0; r < 300; ++r) {
        one_run();
    }
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    int        all = 0, at_one = 0, runs = 0;
    while (since() < 2.5) {
        const int level = one_run();
        all += level == 0 ? 1 : 0;
        at_one += level == 3 ? 1 : 0;
        runs++;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(all, 2);
    EXPECT_LE(all, (int) since() + 1);
    EXPECT_GE(at_one, runs * 8 / 10);
}

TEST(Barrier, OneThreadNeverTouchesTheCounters) {
    BarePool pool(1);
    for (int i = 0; i < 10; ++i) {
        tevo_barrier(pool.tp);
    }
    EXPECT_EQ(pool.tp->barrier_arrivals.load(), 0);
    EXPECT_EQ(pool.tp->barrier_passes.load(), 0);
}

TEST(ChunkCounter, AddReturnsTheValueBeforeTheAddition) {
    BarePool         pool(4);
    std::vector<int> got(4, -1);
    run_threads(4, [&](int ith) {
        if (ith == 0) {
            tevo_threadpool_chunk_set(pool.tp, 4);
        }
        tevo_barrier(pool.tp);
        got[ith] = tevo_threadpool_chunk_add(pool.tp, 1);
    });
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{ 4, 5, 6, 7 }));
}

TEST(ChunkCounter, HandsOutEveryChunkExactlyOnce) {
    for (int n : { 1, 2, 3, 5, 8 }) {
        SCOPED_TRACE(n);
        BarePool                       pool(n);
        const int                      n_chunks = 1000;
        std::vector<std::vector<int>>  taken(n);
        run_threads(n, [&](int ith) {
            if (ith == 0) {
                tevo_threadpool_chunk_set(pool.tp, n);
            }
            tevo_barrier(pool.tp);
            for (int c = ith; c < n_chunks; c = tevo_threadpool_chunk_add(pool.tp, 1)) {
                taken[ith].push_back(c);
            }
        });
        std::vector<int> all;
        for (auto & v : taken) {
            all.insert(all.end(), v.begin(), v.end());
        }
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), (size_t) n_chunks);
        for (int i = 0; i < n_chunks; ++i) {
            ASSERT_EQ(all[i], i);
        }
    }
}

// ---------------------------------------------------------------------------
// real pools running graphs

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

// three chained products with F16 weights: each node converts its input
// into the work buffer, so threads share the buffer and need the barriers
struct Chain {
    tevo_context * ctx;
    tevo_cgraph *  gf;
    tevo_tensor *  out;

    // layers: another count makes a graph of another kind
    explicit Chain(int layers = 3) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params p = { 16 * 1024 * 1024, nullptr, false };
        ctx                = tevo_init(p);
        std::mt19937                          rng(3);
        std::uniform_real_distribution<float> dist(-0.3f, 0.3f);
        const int                             k = 48, n = 21;
        tevo_tensor *                         x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, k, n);
        for (int i = 0; i < k * n; ++i) {
            ((float *) x->data)[i] = dist(rng);
        }
        tevo_tensor * cur = x;
        for (int l = 0; l < layers; ++l) {
            tevo_tensor * w = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, k, k);
            for (int i = 0; i < k * k; ++i) {
                ((tevo_fp16_t *) w->data)[i] = tevo_fp32_to_fp16(dist(rng));
            }
            cur = tevo_mul_mat(ctx, w, cur);
        }
        out = cur;
        gf  = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
    }
    ~Chain() { tevo_free(ctx); }

    std::vector<float> result() const {
        return std::vector<float>((float *) out->data, (float *) out->data + tevo_nelements(out));
    }
    void clear() { std::fill((float *) out->data, (float *) out->data + tevo_nelements(out), NAN); }

    // computes with a plan for n threads on the pool (NULL: a pool per run)
    enum tevo_status compute(int n, tevo_threadpool * pool) {
        clear();
        tevo_cplan plan = tevo_graph_plan(gf, n, pool);
        plan.n_threads  = n;
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = work.data();
        return tevo_graph_compute(gf, &plan);
    }

    std::vector<float> reference() {
        compute(1, nullptr);
        return result();
    }
};

void expect_same_bits(const std::vector<float> & a, const std::vector<float> & b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(bits(a[i]), bits(b[i])) << i;
    }
}

// Runs take fewer threads while the cores look shared with other work; the
// tests that count a run's threads hold the verdict at quiet.
struct quiet_cores {
    quiet_cores() { tevo_threadpool_hold_cores_shared(0); }
    ~quiet_cores() { tevo_threadpool_hold_cores_shared(-1); }
};

TEST(ThreadPool, EightThreadPoolRunsFourThreadGraphs) {
    quiet_cores quiet;
    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(8);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    const int              runs   = 25;
    for (int r = 0; r < runs; ++r) {
        ASSERT_EQ(chain.compute(4, pool), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
    }
    // threads 4 to 7 saw every run word but took part in none; barriers counted to 4
    EXPECT_EQ(pool->run_word.load(), ((uint32_t) runs << 16) | 4u);
    EXPECT_EQ(pool->barrier_arrivals.load(), 0);
    // the same pool then runs all 8
    ASSERT_EQ(chain.compute(8, pool), TEVO_STATUS_SUCCESS);
    expect_same_bits(chain.result(), ref);
    tevo_threadpool_free(pool);
}

// While the cores look shared with other busy work, the first run of a
// graph of a kind not run before takes half the threads asked for, never
// fewer than two, with the same bits.
TEST(ThreadPool, SharedCoresRunAGraphOnHalfItsThreads) {
    Chain                    chain(7);
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(8);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    const struct {
        int shared, asked, ran;
    } cases[] = { { 1, 8, 4 }, { 1, 7, 4 }, { 1, 3, 2 }, { 1, 2, 2 }, { 0, 8, 8 }, { 0, 3, 3 } };
    for (const auto & c : cases) {
        tevo_threadpool_hold_cores_shared(c.shared);
        ASSERT_EQ(chain.compute(c.asked, pool), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
        EXPECT_EQ(pool->run_word.load() & 0xFFFFu, (uint32_t) c.ran) << c.shared << " " << c.asked;
    }
    tevo_threadpool_hold_cores_shared(-1);
    tevo_threadpool_free(pool);
}

// A graph computed inside a node of a run (a custom operator) leaves the
// outer run's probe of each thread as it was: the outer barrier then reads
// the CPU time that run gave the thread, nested run included, and a quiet
// machine does not look shared.
struct nested_runs {
    Chain *           inner[4];
    std::atomic<int>  moved{ 0 };
    std::atomic<int>  wrong{ 0 };
    std::vector<float> ref;
};

void compute_nested(tevo_tensor *, int ith, int, void * userdata) {
    nested_runs * runs = (nested_runs *) userdata;
    const tevo_probe_mark mark = tevo_threadpool_probe_mark();
    if (runs->inner[ith]->compute(2, nullptr) != TEVO_STATUS_SUCCESS || runs->inner[ith]->result() != runs->ref) {
        runs->wrong++;
    }
    const tevo_probe_mark after = tevo_threadpool_probe_mark();
    runs->moved += after.cpu_ns != mark.cpu_ns || after.preemptions != mark.preemptions ? 1 : 0;
}

TEST(ThreadPool, AGraphComputedInsideANodeKeepsTheOuterRunsProbe) {
    quiet_cores quiet;
    nested_runs runs;
    Chain       chains[4];
    runs.ref = chains[0].reference();
    for (int i = 0; i < 4; ++i) {
        runs.inner[i] = &chains[i];
    }
    tevo_init_params p   = { 1024 * 1024, nullptr, false };
    tevo_context *   ctx = tevo_init(p);
    tevo_tensor *    cur = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    for (int l = 0; l < 3; ++l) {
        tevo_tensor * args[1] = { cur };
        cur = tevo_custom_4d(ctx, TEVO_TYPE_F32, 4, 1, 1, 1, args, 1, compute_nested, 4, &runs);
    }
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, cur);

    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    for (int r = 0; r < 5; ++r) {
        tevo_cplan           plan = tevo_graph_plan(gf, 4, pool);
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = work.data();
        ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
    }
    EXPECT_EQ(runs.wrong.load(), 0);
    EXPECT_EQ(runs.moved.load(), 0);
    tevo_threadpool_free(pool);
    tevo_free(ctx);
}

TEST(ThreadPool, MoreThreadsThanThePoolOwnsRunOnThePool) {
    quiet_cores quiet;
    static std::vector<std::string> lines;
    lines.clear();
    tevo_log_set([](enum tevo_log_level level, const char * text, void *) {
        if (level == TEVO_LOG_LEVEL_WARN) lines.push_back(text);
    }, nullptr);

    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    ASSERT_EQ(chain.compute(8, pool), TEVO_STATUS_SUCCESS);
    expect_same_bits(chain.result(), ref);
    EXPECT_EQ(pool->run_word.load() & 0xFFFFu, 4u);
    tevo_threadpool_free(pool);
    tevo_log_set(nullptr, nullptr);

    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "cplan requested more threads (8) than available (4)\n");
}

TEST(ThreadPool, PauseAndResume) {
    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    EXPECT_FALSE(pool->pause.load());

    tevo_threadpool_pause(pool);
    EXPECT_TRUE(pool->pause.load());
    tevo_threadpool_pause(pool); // pausing a paused pool changes nothing
    EXPECT_TRUE(pool->pause.load());
    tevo_threadpool_resume(pool);
    EXPECT_FALSE(pool->pause.load());
    tevo_threadpool_resume(pool); // nor does resuming a running one
    EXPECT_FALSE(pool->pause.load());

    // a run on a paused pool resumes it
    tevo_threadpool_pause(pool);
    ASSERT_EQ(chain.compute(4, pool), TEVO_STATUS_SUCCESS);
    expect_same_bits(chain.result(), ref);
    EXPECT_FALSE(pool->pause.load());

    // paused and resumed between runs
    for (int r = 0; r < 5; ++r) {
        tevo_threadpool_pause(pool);
        tevo_threadpool_resume(pool);
        ASSERT_EQ(chain.compute(3, pool), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
    }
    tevo_threadpool_free(pool);

    // a pool created paused, freed without ever running
    params.paused = true;
    pool          = tevo_threadpool_new(&params);
    EXPECT_TRUE(pool->pause.load());
    tevo_threadpool_free(pool);
    tevo_threadpool_free(nullptr);
}

// A pause that comes while a graph is computed takes effect after that run:
// the run finishes on all its threads without a resume. One thread computes
// back to back; another pauses at random moments and waits, still paused,
// for the compute under way (or the next, which resumes the pool) to return.
TEST(ThreadPool, APauseLetsTheRunUnderWayFinish) {
    Chain                    chain;
    const std::vector<float> ref = chain.reference();
    const int                cores = (int) std::thread::hardware_concurrency();
#if defined(__SANITIZE_THREAD__)
    const int trials = 20; // each run crawls under ThreadSanitizer
#else
    const int trials = 200;
#endif

    for (int n : { 2, 3, 4, 8 }) {
        if (n > cores) {
            continue;
        }
        SCOPED_TRACE(testing::Message() << n << " threads");
        tevo_threadpool_params params = tevo_threadpool_params_default(n);
        tevo_threadpool *      pool   = tevo_threadpool_new(&params);

        std::atomic<int>  returned{ 0 };
        std::atomic<bool> done{ false };
        std::atomic<int>  wrong{ 0 };
        std::thread       computer([&] {
            while (!done.load()) {
                wrong += chain.compute(n, pool) != TEVO_STATUS_SUCCESS || chain.result() != ref;
                returned++;
            }
        });

        std::mt19937 rng(n);
        for (int t = 0; t < trials; ++t) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
            tevo_threadpool_pause(pool);
            const int before = returned.load();
            while (returned.load() == before) {
                std::this_thread::yield();
            }
            tevo_threadpool_resume(pool);
        }
        done = true;
        computer.join();
        EXPECT_EQ(wrong.load(), 0);
        tevo_threadpool_free(pool);
    }
}

TEST(ThreadPool, WorkersThatSleepAtOnceStillWakeForEveryRun) {
    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    params.poll_rounds            = 0;
    tevo_threadpool * pool        = tevo_threadpool_new(&params);
    for (int r = 0; r < 20; ++r) {
        ASSERT_EQ(chain.compute(4, pool), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
        if (r % 5 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2)); // let them fall asleep
        }
    }
    tevo_threadpool_free(pool);
}

TEST(ThreadPool, APoolPerRunForEveryThreadCount) {
    Chain                    chain;
    const std::vector<float> ref = chain.reference();
    for (int n = 2; n <= 8; ++n) {
        ASSERT_EQ(chain.compute(n, nullptr), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
    }
}

// The sequence number in the run word's high half wraps after 65535 runs
// instead of overflowing a signed value.
TEST(ThreadPool, RunWordSequenceWrapsAround) {
    quiet_cores quiet;
    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    params.paused                 = true; // workers wait without reading the run word
    tevo_threadpool * pool        = tevo_threadpool_new(&params);
    pool->run_word.store(0xFFFF0004u);

    ASSERT_EQ(chain.compute(4, pool), TEVO_STATUS_SUCCESS);
    expect_same_bits(chain.result(), ref);
    EXPECT_EQ(pool->run_word.load(), 0x00000004u);

    ASSERT_EQ(chain.compute(3, pool), TEVO_STATUS_SUCCESS);
    expect_same_bits(chain.result(), ref);
    EXPECT_EQ(pool->run_word.load(), 0x00010003u);
    tevo_threadpool_free(pool);
}

TEST(ThreadPool, PlacementMasksAreRecorded) {
    tevo_threadpool_params params = tevo_threadpool_params_default(4);
    params.cpumask[2]             = true;
    params.cpumask[5]             = true;

    auto only = [](const bool * mask) {
        std::vector<int> set;
        for (int i = 0; i < TEVO_MAX_N_THREADS; ++i) {
            if (mask[i]) set.push_back(i);
        }
        return set;
    };

    // strict: threads 1, 2, 3, then 0 take the next allowed processor in turn
    params.strict_placement = true;
    tevo_threadpool * pool  = tevo_threadpool_new(&params);
    EXPECT_EQ(only(pool->states[1].cpumask), std::vector<int>{ 2 });
    EXPECT_EQ(only(pool->states[2].cpumask), std::vector<int>{ 5 });
    EXPECT_EQ(only(pool->states[3].cpumask), std::vector<int>{ 2 });
    EXPECT_EQ(only(pool->states[0].cpumask), std::vector<int>{ 5 });
    tevo_threadpool_free(pool);

    // otherwise every thread gets the whole mask
    params.strict_placement = false;
    pool                    = tevo_threadpool_new(&params);
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(only(pool->states[j].cpumask), (std::vector<int>{ 2, 5 }));
    }
    tevo_threadpool_free(pool);

    // strict with an empty mask leaves every mask empty
    tevo_threadpool_params none = tevo_threadpool_params_default(3);
    none.strict_placement       = true;
    pool                        = tevo_threadpool_new(&none);
    for (int j = 0; j < 3; ++j) {
        EXPECT_TRUE(only(pool->states[j].cpumask).empty());
    }
    tevo_threadpool_free(pool);
}

// Any integer may be stored as the priority; one outside the list runs the
// threads as low. Stored through its bytes: loading it as the enumeration is
// what must not happen, here as in the pool.
TEST(ThreadPool, PriorityOutsideTheListRunsAsLow) {
    Chain                    chain;
    const std::vector<float> ref = chain.reference();

    for (int32_t prio : { 7, -2, 1 << 20 }) {
        SCOPED_TRACE(prio);
        tevo_threadpool_params params = tevo_threadpool_params_default(3);
        memcpy(&params.priority, &prio, sizeof(prio));
        tevo_threadpool * pool = tevo_threadpool_new(&params);
        EXPECT_EQ(pool->priority, TEVO_SCHED_PRIO_LOW);
        ASSERT_EQ(chain.compute(3, pool), TEVO_STATUS_SUCCESS);
        expect_same_bits(chain.result(), ref);
        int         policy = -1;
        sched_param sp;
        ASSERT_EQ(pthread_getschedparam(pool->states[1].thread, &policy, &sp), 0);
        EXPECT_EQ(policy, SCHED_OTHER);
        EXPECT_EQ(sp.sched_priority, 0);
        tevo_threadpool_free(pool);
    }
}

// gives up root when it can; true when real-time scheduling is then refused
bool drop_privileges_for_real_time() {
    if (geteuid() == 0 && setuid(65534) != 0) {
        return false;
    }
    struct sched_param p;
    memset(&p, 0, sizeof(p));
    p.sched_priority = 80;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == EPERM;
}

TEST(ThreadPoolDeath, RefusedPriorityOnlyWarns) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    // can this machine refuse us at all?
    const pid_t probe = fork();
    if (probe == 0) {
        _exit(drop_privileges_for_real_time() ? 0 : 1);
    }
    int status = 0;
    waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        GTEST_SKIP() << "real-time scheduling cannot be refused here";
    }

    // Raising a thread to real-time scheduling needs privileges; an
    // unprivileged process is refused, warns and carries on.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && setuid(65534) != 0) {
                _exit(3);
            }
            Chain                  chain;
            tevo_threadpool_params params = tevo_threadpool_params_default(2);
            params.priority               = TEVO_SCHED_PRIO_HIGH;
            tevo_threadpool * pool        = tevo_threadpool_new(&params);
            const bool        ok          = chain.compute(2, pool) == TEVO_STATUS_SUCCESS;
            tevo_threadpool_free(pool);
            _exit(ok ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "warn: failed to set thread priority 2 : Operation not permitted \\(1\\)");
}

TEST(ThreadPoolDeath, PoolWithoutThreadsIsRefused) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_threadpool_params params = tevo_threadpool_params_default(0);
    EXPECT_DEATH(tevo_threadpool_new(&params),
                 "TEVO_ASSERT\\(params->n_threads > 0 && params->n_threads <= TEVO_MAX_N_THREADS\\) failed");
}

} // namespace
