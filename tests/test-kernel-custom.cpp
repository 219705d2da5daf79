// Custom operators on the CPU: every thread of the run calls the user's
// function once, with its ith, the run's nth and the user pointer; the task
// count only shapes the plan.

#include "kernel-test-helpers.h"

#include <algorithm>
#include <mutex>

namespace {

using namespace kt;

struct Call {
    const tevo_tensor * dst;
    const tevo_tensor * a;
    const tevo_tensor * b;
    const tevo_tensor * c;
    int                 ith;
    int                 nth;
    void *              userdata;
};

struct Log {
    std::mutex        mutex;
    std::vector<Call> calls;

    void add(const Call & call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }

    std::vector<int> iths() {
        std::vector<int> v;
        for (const Call & call : calls) {
            v.push_back(call.ith);
        }
        std::sort(v.begin(), v.end());
        return v;
    }
};

Log g_log; // the functions may get a null user pointer, so they log here

std::vector<int> iota(int n) {
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i) {
        v[i] = i;
    }
    return v;
}

// each function computes its result over a static share of the rows, as the
// operators' users have to

void rows_of(const tevo_tensor * dst, int ith, int nth, int64_t & r0, int64_t & r1) {
    const int64_t nr = tevo_nrows(dst);
    const int64_t dr = (nr + nth - 1) / nth;
    r0               = std::min(dr * ith, nr);
    r1               = std::min(r0 + dr, nr);
}

void map1_square(tevo_tensor * dst, const tevo_tensor * a, int ith, int nth, void * userdata) {
    g_log.add({ dst, a, nullptr, nullptr, ith, nth, userdata });
    int64_t r0, r1;
    rows_of(dst, ith, nth, r0, r1);
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i < dst->ne[0]; ++i) {
            const float x = get(a, i, r);
            set(dst, x * x, i, r);
        }
    }
}

void map2_sub(tevo_tensor * dst, const tevo_tensor * a, const tevo_tensor * b, int ith, int nth, void * userdata) {
    g_log.add({ dst, a, b, nullptr, ith, nth, userdata });
    int64_t r0, r1;
    rows_of(dst, ith, nth, r0, r1);
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i < dst->ne[0]; ++i) {
            set(dst, get(a, i, r) - get(b, i, r), i, r);
        }
    }
}

void map3_fma(tevo_tensor * dst, const tevo_tensor * a, const tevo_tensor * b, const tevo_tensor * c, int ith, int nth,
              void * userdata) {
    g_log.add({ dst, a, b, c, ith, nth, userdata });
    int64_t r0, r1;
    rows_of(dst, ith, nth, r0, r1);
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i < dst->ne[0]; ++i) {
            set(dst, fmaf(get(a, i, r), get(b, i, r), get(c, i, r)), i, r);
        }
    }
}

// dst = sum of its sources; ith 0 alone, like the speech library's own use
void custom_sum(tevo_tensor * dst, int ith, int nth, void * userdata) {
    g_log.add({ dst, dst->src[0], dst->src[1], dst->src[2], ith, nth, userdata });
    if (ith != 0) {
        return;
    }
    for (int64_t r = 0; r < tevo_nrows(dst); ++r) {
        for (int64_t i = 0; i < dst->ne[0]; ++i) {
            float s = 0.0f;
            for (int k = 0; k < TEVO_MAX_SRC && dst->src[k]; ++k) {
                s += get(dst->src[k], i, r);
            }
            set(dst, s, i, r);
        }
    }
}

void custom_noop(tevo_tensor * dst, int ith, int nth, void * userdata) {
    g_log.add({ dst, nullptr, nullptr, nullptr, ith, nth, userdata });
}

tevo_tensor * random_2d(tevo_context * ctx, int64_t ne0, int64_t ne1, std::mt19937 & rng) {
    tevo_tensor * t = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, ne1);
    fill(t, rng);
    return t;
}

// Runs take fewer threads while the cores look shared with other work;
// the tests that count a run's threads hold the verdict at quiet.
struct quiet_cores {
    quiet_cores() { tevo_threadpool_hold_cores_shared(0); }
    ~quiet_cores() { tevo_threadpool_hold_cores_shared(-1); }
};

TEST(KernelCustom, MapsComputeAtEveryThreadCount) {
    quiet_cores quiet;
    std::mt19937 rng(1);
    int          tag = 0;
    for (int nt : thread_counts()) {
        SCOPED_TRACE(nt);
        Ctx           c(4);
        tevo_tensor * a  = random_2d(c.ctx, 7, 5, rng);
        tevo_tensor * b  = random_2d(c.ctx, 7, 5, rng);
        tevo_tensor * cc = random_2d(c.ctx, 7, 5, rng);

        g_log.calls.clear();
        tevo_tensor * m1 = tevo_map_custom1(c.ctx, a, map1_square, TEVO_N_TASKS_MAX, &tag);
        tevo_tensor * m2 = tevo_map_custom2(c.ctx, a, b, map2_sub, TEVO_N_TASKS_MAX, &tag);
        tevo_tensor * m3 = tevo_map_custom3(c.ctx, a, b, cc, map3_fma, TEVO_N_TASKS_MAX, &tag);
        compute(c.ctx, { m1, m2, m3 }, nt);

        for_each(a, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
            const float x = get(a, i0, i1), y = get(b, i0, i1), z = get(cc, i0, i1);
            ASSERT_EQ(get(m1, i0, i1), x * x);
            ASSERT_EQ(get(m2, i0, i1), x - y);
            ASSERT_EQ(get(m3, i0, i1), fmaf(x, y, z));
        });

        // each of the three nodes: one call per thread, with its own tensors
        ASSERT_EQ(g_log.calls.size(), (size_t) (3 * nt));
        for (const Call & call : g_log.calls) {
            EXPECT_EQ(call.nth, nt);
            EXPECT_EQ(call.userdata, &tag);
            EXPECT_EQ(call.a, a);
            if (call.dst == m1) {
                EXPECT_EQ(call.b, nullptr);
            } else if (call.dst == m2) {
                EXPECT_EQ(call.b, b);
                EXPECT_EQ(call.c, nullptr);
            } else {
                EXPECT_EQ(call.dst, m3);
                EXPECT_EQ(call.b, b);
                EXPECT_EQ(call.c, cc);
            }
        }
    }
}

TEST(KernelCustom, TaskCountShapesOnlyThePlan) {
    quiet_cores quiet;
    int tag = 0;
    {
        // one task among nodes of four: called four times, nth 4
        Ctx           c(1);
        tevo_tensor * a   = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
        tevo_tensor * one = tevo_map_custom1(c.ctx, a, map1_square, 1, &tag);
        tevo_tensor * all = tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 1, 1, 1, 1, nullptr, 0, custom_noop,
                                           TEVO_N_TASKS_MAX, nullptr);
        g_log.calls.clear();
        compute(c.ctx, { one, all }, 4);
        std::vector<Call> of_one;
        for (const Call & call : g_log.calls) {
            if (call.dst == one) {
                of_one.push_back(call);
            }
        }
        ASSERT_EQ(of_one.size(), 4u);
        for (const Call & call : of_one) {
            EXPECT_EQ(call.nth, 4);
            EXPECT_EQ(call.userdata, &tag);
        }
    }
    {
        // a graph of one node with two tasks runs on two threads
        Ctx           c(1);
        tevo_tensor * out = tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 3, 1, 1, 1, nullptr, 0, custom_noop, 2, &tag);
        g_log.calls.clear();
        compute(c.ctx, { out }, 8);
        EXPECT_EQ(g_log.iths(), iota(2));
        for (const Call & call : g_log.calls) {
            EXPECT_EQ(call.nth, 2);
        }
    }
    {
        // all threads: six requested, six calls; a null user pointer stays null
        Ctx           c(1);
        tevo_tensor * out = tevo_custom_4d(c.ctx, TEVO_TYPE_I32, 3, 1, 1, 1, nullptr, 0, custom_noop,
                                           TEVO_N_TASKS_MAX, nullptr);
        g_log.calls.clear();
        compute(c.ctx, { out }, 6);
        EXPECT_EQ(g_log.iths(), iota(6));
        for (const Call & call : g_log.calls) {
            EXPECT_EQ(call.nth, 6);
            EXPECT_EQ(call.userdata, nullptr);
            EXPECT_EQ(call.dst, out);
        }
    }
}

TEST(KernelCustom, CustomReadsItsSources) {
    std::mt19937 rng(2);
    int          tag = 0;
    for (int nt : thread_counts()) {
        SCOPED_TRACE(nt);
        Ctx           c(4);
        tevo_tensor * args[3] = { random_2d(c.ctx, 5, 3, rng), random_2d(c.ctx, 5, 3, rng), random_2d(c.ctx, 5, 3, rng) };
        tevo_tensor * sum = tevo_custom_4d(c.ctx, TEVO_TYPE_F32, 5, 3, 1, 1, args, 3, custom_sum, TEVO_N_TASKS_MAX, &tag);

        // in place: the viewed tensor is the first source, the others follow
        tevo_tensor * base = random_2d(c.ctx, 5, 3, rng);
        std::vector<float> before;
        for_each(base, [&](int64_t i0, int64_t i1, int64_t, int64_t) { before.push_back(get(base, i0, i1)); });
        tevo_tensor * inpl = tevo_custom_inplace(c.ctx, base, args, 2, custom_sum, TEVO_N_TASKS_MAX, &tag);

        g_log.calls.clear();
        compute(c.ctx, { sum, inpl }, nt);
        EXPECT_EQ(g_log.calls.size(), (size_t) (2 * nt));

        size_t k = 0;
        for_each(sum, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
            const float a0 = get(args[0], i0, i1), a1 = get(args[1], i0, i1), a2 = get(args[2], i0, i1);
            ASSERT_EQ(get(sum, i0, i1), (0.0f + a0 + a1) + a2);
            ASSERT_EQ(get(base, i0, i1), ((0.0f + before[k++]) + a0) + a1);
        });
    }
}

TEST(KernelCustom, ThroughTheBackend) {
    quiet_cores quiet;
    tevo_tensor * a   = nullptr;
    int           tag = 0;
    g_log.calls.clear();
    compute_on_backend(
        [&](tevo_context * ctx) {
            a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 2);
            return tevo_map_custom1(ctx, a, map1_square, TEVO_N_TASKS_MAX, &tag);
        },
        [&] {
            const float v[] = { 1, -2, 3, 4, 0.5f, -6 };
            tevo_backend_tensor_set(a, v, 0, sizeof(v));
        },
        [&](tevo_tensor * out) {
            float got[6];
            tevo_backend_tensor_get(out, got, 0, sizeof(got));
            const float want[] = { 1, 4, 9, 16, 0.25f, 36 };
            for (int i = 0; i < 6; ++i) {
                EXPECT_EQ(got[i], want[i]) << i;
            }
            EXPECT_EQ(g_log.iths(), iota(3));
        },
        3);
}

} // namespace
