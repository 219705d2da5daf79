#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

const size_t kLengths[] = {0, 1, 7, 8, 9, 33, 1000};

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

std::vector<float> random_floats(size_t n, unsigned seed, float lo = -2.0f, float hi = 2.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (auto & x : v) {
        x = dist(rng);
        if (std::fabs(x) < 0.05f) {
            x = 0.5f; // keep divisors away from zero
        }
    }
    return v;
}

// Address of element 0 of a strided vector inside buf: negative strides
// start at the top and walk down.
float * origin(std::vector<float> & buf, ptrdiff_t stride, size_t n) {
    if (stride < 0 && n > 0) {
        return buf.data() + (ptrdiff_t) (n - 1) * -stride;
    }
    return buf.data();
}

size_t extent(ptrdiff_t stride, size_t n) {
    const size_t s = (size_t) (stride < 0 ? -stride : stride);
    return n == 0 ? 1 : (n - 1) * s + 1;
}

// ---------------------------------------------------------------------------
// element-wise binary routines

typedef void (*binary_fn)(const float *, ptrdiff_t, const float *, ptrdiff_t, float *, ptrdiff_t, size_t);

struct binary_case {
    const char * name;
    binary_fn    fn;
    float (*ref)(float a, float b); // result from (first argument, second argument)
};

float ref_add(float a, float b) { return a + b; }
float ref_sub(float a, float b) { return b - a; }
float ref_mul(float a, float b) { return a * b; }
float ref_div(float a, float b) { return b / a; }

const binary_case kBinary[] = {
    {"vadd", tevo_vdsp_vadd, ref_add},
    {"vsub", tevo_vdsp_vsub, ref_sub},
    {"vmul", tevo_vdsp_vmul, ref_mul},
    {"vdiv", tevo_vdsp_vdiv, ref_div},
};

struct strides {
    ptrdiff_t ia, ib, ic;
};

const strides kStrides[] = {
    {1, 1, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 1}, {2, 2, 2}, {2, 1, 3}, {1, 2, 1}, {-1, 1, 1}, {1, 1, -1},
};

TEST(PlatformVector, BinaryMatchesPlainLoop) {
    for (const auto & op : kBinary) {
        for (const auto & st : kStrides) {
            for (size_t n : kLengths) {
                std::vector<float> abuf = random_floats(extent(st.ia, n), 1 + (unsigned) n);
                std::vector<float> bbuf = random_floats(extent(st.ib, n), 100 + (unsigned) n);
                std::vector<float> cbuf(extent(st.ic, n) + 8, 12345.0f);
                const float * a = origin(abuf, st.ia, n);
                const float * b = origin(bbuf, st.ib, n);
                float * c = origin(cbuf, st.ic, n);

                std::vector<float> expect(cbuf);
                float * e = origin(expect, st.ic, n);
                for (size_t i = 0; i < n; i++) {
                    const ptrdiff_t k = (ptrdiff_t) i;
                    e[k * st.ic] = op.ref(a[k * st.ia], b[k * st.ib]);
                }

                op.fn(a, st.ia, b, st.ib, c, st.ic, n);
                for (size_t j = 0; j < cbuf.size(); j++) {
                    ASSERT_EQ(bits(cbuf[j]), bits(expect[j]))
                        << op.name << " n=" << n << " strides " << st.ia << "," << st.ib << "," << st.ic << " at " << j;
                }
            }
        }
    }
}

TEST(PlatformVector, BinaryInPlace) {
    for (const auto & op : kBinary) {
        for (ptrdiff_t stride : {1, 2}) {
            for (size_t n : kLengths) {
                for (int target = 0; target < 2; target++) { // output over the first or the second input
                    std::vector<float> abuf = random_floats(extent(stride, n), 7 + (unsigned) n);
                    std::vector<float> bbuf = random_floats(extent(stride, n), 70 + (unsigned) n);
                    std::vector<float> expect = target == 0 ? abuf : bbuf;
                    for (size_t i = 0; i < n; i++) {
                        expect[i * stride] = op.ref(abuf[i * stride], bbuf[i * stride]);
                    }
                    float * c = target == 0 ? abuf.data() : bbuf.data();
                    op.fn(abuf.data(), stride, bbuf.data(), stride, c, stride, n);
                    const std::vector<float> & got = target == 0 ? abuf : bbuf;
                    for (size_t j = 0; j < got.size(); j++) {
                        ASSERT_EQ(bits(got[j]), bits(expect[j]))
                            << op.name << " n=" << n << " stride " << stride << " target " << target << " at " << j;
                    }
                }
            }
        }
    }
}

TEST(PlatformVector, OperandOrderOfSubAndDiv) {
    const float a[9] = {1, 2, 4, 8, 1, 2, 4, 8, 5};
    const float b[9] = {8, 8, 8, 8, 8, 8, 8, 8, 20};
    float c[9];
    tevo_vdsp_vsub(a, 1, b, 1, c, 1, 9);
    EXPECT_EQ(c[0], 7.0f);
    EXPECT_EQ(c[3], 0.0f);
    EXPECT_EQ(c[8], 15.0f);
    tevo_vdsp_vdiv(a, 1, b, 1, c, 1, 9);
    EXPECT_EQ(c[0], 8.0f);
    EXPECT_EQ(c[2], 2.0f);
    EXPECT_EQ(c[8], 4.0f);
}

// ---------------------------------------------------------------------------
// vector-scalar routines

TEST(PlatformVector, ScalarRoutinesMatchPlainLoop) {
    const float s = -1.375f;
    const float t = 0.3f;
    for (ptrdiff_t ia : {1, 0, 2, -1}) {
        for (ptrdiff_t ic : {1, 2}) {
            for (size_t n : kLengths) {
                std::vector<float> abuf = random_floats(extent(ia, n), 3 + (unsigned) n);
                const float * a = origin(abuf, ia, n);
                for (int which = 0; which < 3; which++) {
                    std::vector<float> cbuf(extent(ic, n) + 8, -7.0f);
                    std::vector<float> expect(cbuf);
                    for (size_t i = 0; i < n; i++) {
                        const float x = a[(ptrdiff_t) i * ia];
                        if (which == 0) {
                            expect[i * ic] = x + s;
                        } else if (which == 1) {
                            expect[i * ic] = x * s;
                        } else {
                            volatile float p = x * s; // two roundings, never a fused multiply-add
                            expect[i * ic] = p + t;
                        }
                    }
                    if (which == 0) {
                        tevo_vdsp_vsadd(a, ia, &s, cbuf.data(), ic, n);
                    } else if (which == 1) {
                        tevo_vdsp_vsmul(a, ia, &s, cbuf.data(), ic, n);
                    } else {
                        tevo_vdsp_vsmsa(a, ia, &s, &t, cbuf.data(), ic, n);
                    }
                    for (size_t j = 0; j < cbuf.size(); j++) {
                        ASSERT_EQ(bits(cbuf[j]), bits(expect[j]))
                            << "routine " << which << " n=" << n << " ia=" << ia << " ic=" << ic << " at " << j;
                    }
                }
            }
        }
    }
}

TEST(PlatformVector, ScalarRoutinesInPlace) {
    const float s = 0.7f;
    const float t = -2.5f;
    for (ptrdiff_t stride : {1, 2}) {
        for (size_t n : kLengths) {
            for (int which = 0; which < 3; which++) {
                std::vector<float> buf = random_floats(extent(stride, n), 11 + (unsigned) n);
                std::vector<float> expect(buf);
                for (size_t i = 0; i < n; i++) {
                    const float x = buf[i * stride];
                    volatile float p = x * s;
                    expect[i * stride] = which == 0 ? x + s : which == 1 ? x * s : p + t;
                }
                float * p = buf.data();
                if (which == 0) {
                    tevo_vdsp_vsadd(p, stride, &s, p, stride, n);
                } else if (which == 1) {
                    tevo_vdsp_vsmul(p, stride, &s, p, stride, n);
                } else {
                    tevo_vdsp_vsmsa(p, stride, &s, &t, p, stride, n);
                }
                for (size_t j = 0; j < buf.size(); j++) {
                    ASSERT_EQ(bits(buf[j]), bits(expect[j])) << "routine " << which << " n=" << n << " at " << j;
                }
            }
        }
    }
}

TEST(PlatformVector, ScaleByElementOfTheSameRow) {
    // the factor is read before the row is overwritten
    std::vector<float> row = random_floats(20, 5);
    const std::vector<float> orig(row);
    tevo_vdsp_vsmul(row.data(), 1, &row[0], row.data(), 1, row.size());
    for (size_t i = 0; i < row.size(); i++) {
        ASSERT_EQ(bits(row[i]), bits(orig[i] * orig[0])) << i;
    }
}

// ---------------------------------------------------------------------------
// reductions

TEST(PlatformVector, SumAndMeanOfSquares) {
    for (ptrdiff_t ia : {1, 0, 2, -1}) {
        for (size_t n : kLengths) {
            std::vector<float> buf = random_floats(extent(ia, n), 17 + (unsigned) n, -3.0f, 5.0f);
            const float * a = origin(buf, ia, n);
            double sum = 0.0, sum_abs = 0.0, sq = 0.0;
            for (size_t i = 0; i < n; i++) {
                const double x = a[(ptrdiff_t) i * ia];
                sum += x;
                sum_abs += std::fabs(x);
                sq += x * x;
            }
            float got_sum = 123.0f, got_sq = 123.0f;
            tevo_vdsp_sve(a, ia, &got_sum, n);
            tevo_vdsp_measqv(a, ia, &got_sq, n);
            if (n == 0) {
                EXPECT_EQ(bits(got_sum), bits(0.0f));
                EXPECT_EQ(bits(got_sq), bits(0.0f));
                continue;
            }
            // the error bound of recursive float summation: n rounding units of the absolute sum
            const double tol = 6e-8 * (double) (n + 1);
            EXPECT_NEAR(got_sum, sum, tol * sum_abs) << "n=" << n << " ia=" << ia;
            const double mean_sq = sq / (double) n;
            EXPECT_NEAR(got_sq, mean_sq, tol * mean_sq) << "n=" << n << " ia=" << ia;
        }
    }
}

float scan_max(const float * a, ptrdiff_t ia, size_t n) {
    float m = -INFINITY;
    for (size_t i = 0; i < n; i++) {
        const float v = a[(ptrdiff_t) i * ia];
        if (v > m) {
            m = v;
        }
    }
    return m;
}

TEST(PlatformVector, MaxMatchesIndexOrderScan) {
    for (ptrdiff_t ia : {1, 0, 2, -1}) {
        for (size_t n : kLengths) {
            std::vector<float> buf = random_floats(extent(ia, n), 23 + (unsigned) n, -100.0f, 100.0f);
            const float * a = origin(buf, ia, n);
            float got = 0.0f;
            tevo_vdsp_maxv(a, ia, &got, n);
            EXPECT_EQ(bits(got), bits(scan_max(a, ia, n))) << "n=" << n << " ia=" << ia;
        }
    }
    float got = 0.0f;
    tevo_vdsp_maxv(nullptr, 1, &got, 0);
    EXPECT_EQ(got, -INFINITY);
}

TEST(PlatformVector, MaxSpecialValues) {
    const float nan = NAN;
    const float inf = INFINITY;
    struct max_case {
        std::vector<float> v;
        float expect;
    };
    std::vector<max_case> cases = {
        {{nan}, -inf},
        {std::vector<float>(19, nan), -inf},
        {{nan, 1, 2, 3, 4, 5, 6, 7, 8, nan, 9.5f, nan}, 9.5f},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, nan, 3}, 15.0f},
        {{-inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf}, -inf},
        {{-1, -2, inf, -3, -4, -5, -6, -7, -8, -9}, inf},
        // equal zeros: the first one wins, with its sign
        {{-1, -0.0f, -2, -3, -4, -5, -6, 0.0f, -8, 0.0f, -9}, -0.0f},
        {{-1, -2, -3, -4, -5, -6, -7, -8, 0.0f, -0.0f}, 0.0f},
        {{-1, -2, -3, -4, -5, -6, -7, -0.0f, -9, 0.0f}, -0.0f},
        // the zeros in different lanes of an eight-wide scan, the later one in a lower lane
        {{-1, 0.0f, -2, -3, -4, -5, -6, -7, -0.0f, -9, -9, -9, -9, -9, -9, -9}, 0.0f},
        {{-1, -0.0f, -2, -3, -4, -5, -6, -7, 0.0f, -9, -9, -9, -9, -9, -9, -9}, -0.0f},
    };
    for (size_t k = 0; k < cases.size(); k++) {
        float got = 42.0f;
        tevo_vdsp_maxv(cases[k].v.data(), 1, &got, cases[k].v.size());
        EXPECT_EQ(bits(got), bits(cases[k].expect)) << "case " << k;
        EXPECT_EQ(bits(got), bits(scan_max(cases[k].v.data(), 1, cases[k].v.size()))) << "case " << k;
    }
}

// ---------------------------------------------------------------------------
// pattern fill

TEST(PlatformMemory, MemsetPattern16) {
    unsigned char pattern[16];
    for (int i = 0; i < 16; i++) {
        pattern[i] = (unsigned char) (0xA0 + i);
    }
    for (size_t len : {0, 5, 16, 37, 64, 69}) {
        std::vector<unsigned char> buf(len + 16, 0x11);
        tevo_memset_pattern16(buf.data(), pattern, len);
        for (size_t i = 0; i < buf.size(); i++) {
            const unsigned char want = i < len ? pattern[i % 16] : 0x11;
            ASSERT_EQ(buf[i], want) << "len " << len << " byte " << i;
        }
    }
    // four negative infinities, as the attention kernels fill score rows
    const uint32_t ninf[4] = {0xFF800000u, 0xFF800000u, 0xFF800000u, 0xFF800000u};
    std::vector<float> row(13, 1.0f);
    tevo_memset_pattern16(row.data(), ninf, 12 * sizeof(float));
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(row[i], -INFINITY);
    }
    EXPECT_EQ(row[12], 1.0f);
}

// ---------------------------------------------------------------------------
// system services

TEST(PlatformMemory, PageAllocIsAlignedAndZeroed) {
    const size_t page = (size_t) sysconf(_SC_PAGESIZE);
    const size_t size = 3 * page + 1;
    int err = -1;
    unsigned char * p = (unsigned char *) tevo_platform_page_alloc(size, &err);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t) p % page, 0u);
    for (size_t i = 0; i < size; i++) {
        ASSERT_EQ(p[i], 0) << i;
    }
    memset(p, 0x5A, size);
    tevo_platform_page_free(p, size);
    tevo_platform_page_free(nullptr, size);
}

TEST(PlatformMemory, PageAllocFailures) {
    int err = -1;
    EXPECT_EQ(tevo_platform_page_alloc((size_t) 1 << 62, &err), nullptr);
    EXPECT_EQ(err, 3);
    err = -1;
    EXPECT_EQ(tevo_platform_page_alloc(0, &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(tevo_platform_page_alloc((size_t) 1 << 62, nullptr), nullptr);
}

TEST(PlatformSystem, ExecutablePath) {
    char buf[4096];
    const size_t len = tevo_platform_exe_path(buf, sizeof(buf));
    ASSERT_GT(len, 0u);
    EXPECT_EQ(strlen(buf), len);
    const std::string path(buf);
    const std::string tail = "/test-platform";
    ASSERT_GE(path.size(), tail.size());
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);

    // it fits exactly with its terminator, and not one byte less
    std::vector<char> exact(len + 1, 'x');
    EXPECT_EQ(tevo_platform_exe_path(exact.data(), exact.size()), len);
    EXPECT_STREQ(exact.data(), buf);
    std::vector<char> small(len, 'x');
    EXPECT_EQ(tevo_platform_exe_path(small.data(), small.size()), 0u);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(tevo_platform_exe_path(nullptr, 0), 0u);
}

TEST(PlatformSystem, CpuBrand) {
    char buf[256];
    const size_t len = tevo_platform_cpu_brand(buf, sizeof(buf));
    ASSERT_GT(len, 0u);
    EXPECT_EQ(strlen(buf), len);
    EXPECT_NE(buf[0], ' ');

    char small[4];
    EXPECT_EQ(tevo_platform_cpu_brand(small, sizeof(small)), len < 3 ? len : 3u);
    EXPECT_EQ(strncmp(small, buf, strlen(small)), 0);
}

TEST(PlatformSystem, MemoryTotal) {
    const uint64_t total = tevo_platform_mem_total();
    EXPECT_GT(total, (uint64_t) 1 << 24);
    EXPECT_EQ(total % (uint64_t) sysconf(_SC_PAGESIZE), 0u);
}

TEST(PlatformSystem, MonotonicClockNeverGoesBack) {
    int64_t prev = tevo_platform_monotonic_ns();
    EXPECT_GT(prev, 0);
    for (int i = 0; i < 10000; i++) {
        const int64_t now = tevo_platform_monotonic_ns();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

// Two threads held to one processor, each spinning for a while: the system
// switches each out for the other now and then, and each thread counts its
// own switches.
TEST(PlatformSystem, PreemptionsCountAThreadSwitchedOutForOtherWork) {
    cpu_set_t mask;
    ASSERT_EQ(sched_getaffinity(0, sizeof(mask), &mask), 0);
    int cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &mask)) {
        cpu++;
    }
    ASSERT_LT(cpu, CPU_SETSIZE);
    int64_t                  counted[2] = { -1, -1 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            if (sched_setaffinity(0, sizeof(one), &one) != 0) {
                return;
            }
            const int64_t before = tevo_platform_thread_preemptions();
            const int64_t end    = tevo_platform_monotonic_ns() + 300 * 1000 * 1000;
            while (tevo_platform_monotonic_ns() < end) {
            }
            counted[t] = tevo_platform_thread_preemptions() - before;
        });
    }
    for (std::thread & t : threads) {
        t.join();
    }
    if (counted[0] < 0 || counted[1] < 0) {
        GTEST_SKIP() << "threads cannot be held to one processor here";
    }
    EXPECT_GT(counted[0], 0);
    EXPECT_GT(counted[1], 0);
}

TEST(PlatformSystem, NativeBacktraceWritesToStandardError) {
    testing::internal::CaptureStderr();
    tevo_platform_native_backtrace();
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(out.empty());
    EXPECT_NE(out.find("test-platform"), std::string::npos) << out;
}

} // namespace
