// Tensors of 2^31 elements or rows and more: the CPU kernels count elements,
// blocks and rows in 64 bits, so such tensors are computed whole instead of
// wrapping to a negative count that leaves every thread idle.
// - a same-type contiguous copy of 2^31 + 64 one-byte elements (about 4.3 GB);
// - the row-wise copy over 2^31 + 64 rows of one element from a strided
//   source (about 6.5 GB);
// - the thread ranges themselves, with counts above 2^32;
// - rows too long for the int-length row routines are refused by name.
// The two copies need a few gigabytes and seconds each: CTest runs them
// alone and not under the sanitizers.

#include "kernel-test-helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

const int64_t kBig = (INT64_C(1) << 31) + 64;

struct FreeDeleter {
    void operator()(uint8_t * p) const { free(p); }
};
using Bytes = std::unique_ptr<uint8_t, FreeDeleter>;

// n bytes, untouched until written; empty when the machine cannot give them
Bytes big_buffer(int64_t n) {
    return Bytes((uint8_t *) malloc((size_t) n));
}

// a byte of every position, both halves of the position mixed in, so that a
// block copied to the wrong place (by any multiple of a power of two) shows;
// 32-bit products keep the fill of gigabytes quick
inline uint8_t pattern(uint64_t i) {
    return (uint8_t) (((uint32_t) i * 0x9E3779B1u ^ (uint32_t) (i >> 32) * 0x85EBCA6Bu) >> 24);
}

// a context for tensor records only; the tests point them at their own buffers
struct RecordCtx {
    tevo_context * ctx;
    RecordCtx() {
        tevo_cpu_init();
        tevo_init_params p = { 1024 * 1024, nullptr, true };
        ctx                = tevo_init(p);
    }
    ~RecordCtx() { tevo_free(ctx); }
};

// exactly n threads through the node, the work buffer from the plan
void run(tevo_tensor * out, int n_threads) {
    tevo_context * meta = kt::new_ctx(1);
    tevo_cgraph *  gf   = tevo_new_graph(meta);
    tevo_build_forward_expand(gf, out);
    tevo_cplan plan = tevo_graph_plan(gf, n_threads, nullptr);
    plan.n_threads  = n_threads;
    std::vector<uint8_t> work(plan.work_size + 1);
    plan.work_data = work.data();
    EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
    tevo_free(meta);
}

// the first position where dst differs from want(i), or -1
template <typename Want> int64_t first_mismatch(const uint8_t * dst, int64_t n, Want want) {
    for (int64_t i = 0; i < n; ++i) {
        if (dst[i] != want(i)) {
            return i;
        }
    }
    return -1;
}

TEST(LargeCounts, SameTypeContiguousCopyOfMoreThan2To31BytesCopiesEveryByte) {
    Bytes src = big_buffer(kBig);
    Bytes dst = big_buffer(kBig);
    if (!src || !dst) {
        GTEST_SKIP() << "no memory for two buffers of " << kBig << " bytes";
    }
    for (int64_t i = 0; i < kBig; ++i) {
        src.get()[i] = pattern((uint64_t) i);
    }

    RecordCtx     rc;
    tevo_tensor * a = tevo_new_tensor_1d(rc.ctx, TEVO_TYPE_I8, kBig);
    tevo_tensor * b = tevo_new_tensor_1d(rc.ctx, TEVO_TYPE_I8, kBig);
    a->data         = src.get();
    b->data         = dst.get();
    tevo_tensor * c = tevo_cpy(rc.ctx, a, b);

    for (int n_threads : { 1, 4 }) {
        SCOPED_TRACE(n_threads);
        memset(dst.get(), 0, (size_t) kBig);
        run(c, n_threads);
        EXPECT_EQ(memcmp(dst.get(), src.get(), (size_t) kBig), 0)
            << "first wrong byte at " << first_mismatch(dst.get(), kBig, [&](int64_t i) { return src.get()[i]; });
    }
}

TEST(LargeCounts, RowWiseCopyOverMoreThan2To31RowsOfOneElementCopiesEveryRow) {
    // the source's rows are every other byte of a buffer twice as long, so
    // the copy goes row by row, split among the threads
    Bytes src = big_buffer(2 * kBig);
    Bytes dst = big_buffer(kBig);
    if (!src || !dst) {
        GTEST_SKIP() << "no memory for buffers of " << 2 * kBig << " and " << kBig << " bytes";
    }
    for (int64_t i = 0; i < 2 * kBig; ++i) {
        src.get()[i] = pattern((uint64_t) i);
    }

    RecordCtx     rc;
    tevo_tensor * whole = tevo_new_tensor_1d(rc.ctx, TEVO_TYPE_I8, 2 * kBig);
    tevo_tensor * b     = tevo_new_tensor_2d(rc.ctx, TEVO_TYPE_I8, 1, kBig);
    whole->data         = src.get();
    b->data             = dst.get();
    tevo_tensor * a     = tevo_view_2d(rc.ctx, whole, 1, kBig, 2, 0);
    ASSERT_FALSE(tevo_is_contiguous(a));
    tevo_tensor * c = tevo_cpy(rc.ctx, a, b);

    for (int n_threads : { 1, 4 }) {
        SCOPED_TRACE(n_threads);
        memset(dst.get(), 0, (size_t) kBig);
        run(c, n_threads);
        const int64_t bad = first_mismatch(dst.get(), kBig, [&](int64_t i) { return src.get()[2 * i]; });
        EXPECT_EQ(bad, -1) << "row " << bad << " wrong";
    }
}

TEST(LargeCounts, ThreadRangesCoverCountsAbove2To32InOrder) {
    const int64_t counts[] = { (INT64_C(1) << 32) + 3, (INT64_C(1) << 33) + 5, (INT64_C(1) << 31) + 64,
                               INT64_C(3) << 40 };
    for (int64_t n : counts) {
        for (int nth : { 1, 3, 4, 7, 512 }) {
            SCOPED_TRACE(testing::Message() << n << " items, " << nth << " threads");
            const int64_t share = (n + nth - 1) / nth;
            int64_t       next  = 0;
            for (int ith = 0; ith < nth; ++ith) {
                int64_t i0 = -1, i1 = -1;
                tevo_thread_range(n, ith, nth, &i0, &i1);
                ASSERT_EQ(i0, next) << "thread " << ith;
                ASSERT_GE(i1, i0) << "thread " << ith;
                ASSERT_LE(i1 - i0, share) << "thread " << ith;
                // every thread but those past the end takes a full share
                if (i1 < n) {
                    ASSERT_EQ(i1 - i0, share) << "thread " << ith;
                }
                next = i1;
            }
            EXPECT_EQ(next, n);
        }
    }
}

TEST(LargeCounts, RowLengthsUpToTheLimitPassUnchanged) {
    RecordCtx     rc;
    tevo_tensor * t = tevo_new_tensor_1d(rc.ctx, TEVO_TYPE_F32, 8);
    EXPECT_EQ(tevo_row_length(t, 0), 0);
    EXPECT_EQ(tevo_row_length(t, 4096), 4096);
    EXPECT_EQ(tevo_row_length(t, TEVO_MAX_ROW_LENGTH), TEVO_MAX_ROW_LENGTH);
    EXPECT_EQ(TEVO_MAX_ROW_LENGTH, (INT64_C(1) << 31) - 64);
}

// Kernels whose rows go to routines of int length refuse longer rows before
// they read any data (the tensors here have none): 2^31 elements, or 2^31 - 1
// where the constructor already refuses more (32-bit result indices).
TEST(LargeCounts, RowsTooLongForTheRowRoutinesAreRefusedByName) {
    kt::death_setup();

    struct Case {
        const char * op;
        int64_t      n;
        tevo_tensor * (*build)(tevo_context *, tevo_tensor *);
        void (*kernel)(const tevo_compute_params *, tevo_tensor *);
    };
    const Case cases[] = {
        { "SOFT_MAX", INT64_C(1) << 31, [](tevo_context * c, tevo_tensor * a) { return tevo_soft_max(c, a); },
          tevo_compute_forward_soft_max },
        { "GELU", INT64_C(1) << 31, [](tevo_context * c, tevo_tensor * a) { return tevo_gelu(c, a); },
          tevo_compute_forward_unary },
        { "MUL_MAT", INT64_C(1) << 31, [](tevo_context * c, tevo_tensor * a) { return tevo_mul_mat(c, a, a); },
          tevo_compute_forward_mul_mat },
        { "ARGSORT", INT32_MAX,
          [](tevo_context * c, tevo_tensor * a) { return tevo_argsort(c, a, TEVO_SORT_ORDER_ASC); },
          tevo_compute_forward_argsort },
        { "ARGMAX", INT32_MAX, [](tevo_context * c, tevo_tensor * a) { return tevo_argmax(c, a); },
          tevo_compute_forward_argmax },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.op);
        RecordCtx     rc;
        tevo_tensor * a   = tevo_new_tensor_2d(rc.ctx, TEVO_TYPE_F32, c.n, 1);
        tevo_tensor * dst = c.build(rc.ctx, a);
        EXPECT_DEATH(kt::call_kernel(c.kernel, dst), std::string(c.op) + ": a row of " + std::to_string(c.n) +
                                                         " elements; rows are limited to 2147483584 elements");
    }
}

} // namespace
