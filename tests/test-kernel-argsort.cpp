// Index sorting: ARGSORT orders each row's column indices by value, TOP_K
// keeps those of the k largest values (the first two exchanged); rows with
// NaN stay within the row; and the triangle predicates.

#include "kernel-test-helpers.h"
#include "cpu/ops/ops.h"

#include <algorithm>
#include <cmath>
#include <string>

using namespace kt;

namespace {

struct Argsort : ::testing::Test {
    void SetUp() override { death_setup(); }
};

std::vector<int32_t> row_of(const tevo_tensor * t, int64_t r) {
    const int32_t * p = (const int32_t *) ((const char *) t->data + r * t->nb[1]);
    return std::vector<int32_t>(p, p + t->ne[0]);
}

// each value of the row once, ordered as asked; equal values in any order
void expect_sorted_permutation(const std::vector<int32_t> & idx, const float * x, int64_t n, bool desc) {
    ASSERT_EQ((int64_t) idx.size(), n);
    std::vector<int32_t> seen(idx);
    std::sort(seen.begin(), seen.end());
    for (int64_t j = 0; j < n; ++j) {
        ASSERT_EQ(seen[j], j);
    }
    for (int64_t j = 1; j < n; ++j) {
        if (desc) {
            ASSERT_GE(x[idx[j - 1]], x[idx[j]]) << j;
        } else {
            ASSERT_LE(x[idx[j - 1]], x[idx[j]]) << j;
        }
    }
}

TEST_F(Argsort, NamedRows) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 3);
    put<float>(a, 0, 3.0f);
    put<float>(a, 1, 1.0f);
    put<float>(a, 2, 2.0f);
    tevo_tensor * asc  = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
    tevo_tensor * desc = tevo_argsort(ctx, a, TEVO_SORT_ORDER_DESC);
    compute(ctx, asc, 1);
    compute(ctx, desc, 1);
    EXPECT_EQ(row_of(asc, 0), (std::vector<int32_t>{ 1, 2, 0 }));
    EXPECT_EQ(row_of(desc, 0), (std::vector<int32_t>{ 0, 2, 1 }));

    tevo_tensor * b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    const float   bv[4] = { 5, 1, 9, 7 };
    for (int i = 0; i < 4; ++i) {
        put<float>(b, i, bv[i]);
    }
    tevo_tensor * k1 = tevo_top_k(ctx, b, 1);
    tevo_tensor * k2 = tevo_top_k(ctx, b, 2);
    tevo_tensor * k3 = tevo_top_k(ctx, b, 3);
    tevo_tensor * k4 = tevo_top_k(ctx, b, 4);
    for (tevo_tensor * k : { k1, k2, k3, k4 }) {
        compute(ctx, k, 2);
    }
    EXPECT_EQ(row_of(k1, 0), (std::vector<int32_t>{ 2 }));
    EXPECT_EQ(row_of(k2, 0), (std::vector<int32_t>{ 3, 2 }));
    EXPECT_EQ(row_of(k3, 0), (std::vector<int32_t>{ 3, 2, 0 }));
    EXPECT_EQ(row_of(k4, 0), (std::vector<int32_t>{ 3, 2, 0, 1 }));
    tevo_free(ctx);
}

TEST_F(Argsort, RowsOfEveryShapeAndThreadCount) {
    std::mt19937 rng(1);
    const int64_t shapes[][4] = { { 1, 1, 1, 1 }, { 37, 5, 1, 1 }, { 100, 3, 2, 2 }, { 8, 1, 9, 1 } };
    for (const auto & ne : shapes) {
        for (int nt : { 1, 3, 8 }) {
            SCOPED_TRACE(std::to_string(ne[0]) + " threads " + std::to_string(nt));
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0], ne[1], ne[2], ne[3]);
            for (int64_t k = 0; k < tevo_nelements(a); ++k) {
                put<float>(a, k, (float) (rng() % 50) - 25.0f); // many ties
            }
            tevo_tensor * asc  = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
            tevo_tensor * desc = tevo_argsort(ctx, a, TEVO_SORT_ORDER_DESC);
            const int     k    = (int) std::min<int64_t>(5, ne[0]);
            tevo_tensor * top  = tevo_top_k(ctx, a, k);
            compute(ctx, asc, nt);
            compute(ctx, desc, nt);
            compute(ctx, top, nt);
            for (int64_t r = 0; r < tevo_nrows(a); ++r) {
                const float * x = (const float *) a->data + r * ne[0];
                expect_sorted_permutation(row_of(asc, r), x, ne[0], false);
                expect_sorted_permutation(row_of(desc, r), x, ne[0], true);

                // top k: the k largest values, descending after undoing the exchange
                std::vector<int32_t> t = row_of(top, r);
                if (k > 1) {
                    std::swap(t[0], t[1]);
                }
                std::vector<float> want(x, x + ne[0]);
                std::sort(want.begin(), want.end(), std::greater<float>());
                std::vector<int32_t> uniq(t);
                std::sort(uniq.begin(), uniq.end());
                EXPECT_TRUE(std::adjacent_find(uniq.begin(), uniq.end()) == uniq.end());
                for (int j = 0; j < k; ++j) {
                    ASSERT_GE(t[j], 0);
                    ASSERT_LT(t[j], ne[0]);
                    ASSERT_EQ(x[t[j]], want[j]) << j;
                }
            }
            tevo_free(ctx);
        }
    }
}

// A source made by transposing [1, n, m] is packed, but its stride of
// dimension 1 (extent 1) is one element: rows are found by all its strides.
TEST_F(Argsort, PackedRowsWithAnElementStrideInDimensionOne) {
    std::mt19937 rng(2);
    for (int nt : { 1, 4 }) {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_transpose(ctx, tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 1, 9, 5)); // [9, 1, 5]
        ASSERT_TRUE(tevo_is_contiguous(a));
        fill(a, rng, -10.0f, 10.0f);
        tevo_tensor * asc = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
        tevo_tensor * top = tevo_top_k(ctx, a, 3);
        compute(ctx, asc, nt);
        compute(ctx, top, nt);
        for (int64_t r = 0; r < 5; ++r) {
            const float * x = (const float *) elem_ptr(a, 0, 0, r, 0);
            expect_sorted_permutation(row_of(asc, r), x, 9, false);
            std::vector<float> want(x, x + 9);
            std::sort(want.begin(), want.end(), std::greater<float>());
            std::vector<int32_t> t = row_of(top, r);
            std::swap(t[0], t[1]);
            for (int j = 0; j < 3; ++j) {
                ASSERT_EQ(x[t[j]], want[(size_t) j]) << r << "," << j;
            }
        }
        tevo_free(ctx);
    }
}

// NaN makes < no ordering; every index must still appear once, the numbers
// in order, and the NaNs after them.
TEST_F(Argsort, RowsWithNaNStayWithinTheRow) {
    std::mt19937 rng(2);
    for (int nt : { 1, 3 }) {
        tevo_context * ctx = new_ctx();
        const int64_t  n   = 300;
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, n, 4);
        for (int64_t k = 0; k < n * 4; ++k) {
            put<float>(a, k, rng() % 3 == 0 ? NAN : (float) (rng() % 1000));
        }
        tevo_tensor * asc  = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
        tevo_tensor * desc = tevo_argsort(ctx, a, TEVO_SORT_ORDER_DESC);
        tevo_tensor * top  = tevo_top_k(ctx, a, 20);
        compute(ctx, asc, nt);
        compute(ctx, desc, nt);
        compute(ctx, top, nt);
        for (int64_t r = 0; r < 4; ++r) {
            const float * x = (const float *) a->data + r * n;
            for (tevo_tensor * s : { asc, desc }) {
                std::vector<int32_t> idx  = row_of(s, r);
                std::vector<int32_t> seen = idx;
                std::sort(seen.begin(), seen.end());
                for (int64_t j = 0; j < n; ++j) {
                    ASSERT_EQ(seen[j], j);
                }
                bool nan_seen = false;
                for (int64_t j = 0; j < n; ++j) {
                    if (std::isnan(x[idx[j]])) {
                        nan_seen = true;
                    } else {
                        ASSERT_FALSE(nan_seen) << "a number after a NaN";
                        if (j > 0) {
                            ASSERT_TRUE(s == asc ? x[idx[j - 1]] <= x[idx[j]] : x[idx[j - 1]] >= x[idx[j]]);
                        }
                    }
                }
            }
            for (int32_t i : row_of(top, r)) {
                ASSERT_GE(i, 0);
                ASSERT_LT(i, n);
                ASSERT_FALSE(std::isnan(x[i]));
            }
        }
        tevo_free(ctx);
    }
}

TEST_F(Argsort, ThroughTheCpuBackend) {
    Backend       b(3);
    tevo_tensor * a = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, 6, 3);
    tevo_tensor * s = tevo_argsort(b.ctx, a, TEVO_SORT_ORDER_DESC);
    b.alloc();
    const std::vector<float> av = { 0.5f, -1, 3, 2, 9, -7, 1, 2, 3, 4, 5, 6, -1, -2, -3, -4, -5, -6 };
    b.set(a, av);
    b.run(s);
    EXPECT_EQ(b.get<int32_t>(s), (std::vector<int32_t>{ 4, 2, 3, 0, 1, 5, 5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5 }));
}

TEST_F(Argsort, Refusals) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 5, 2);
    memset(a->data, 0, tevo_nbytes(a));
    tevo_tensor * s = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
    s->op_params[0] = 2;
    EXPECT_DEATH(compute(ctx, s, 1), "tevo/src/tevo-cpu/ops:[0-9]+: invalid sort order");

    tevo_tensor * h = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 5, 2);
    EXPECT_DEATH(compute(ctx, tevo_argsort(ctx, h, TEVO_SORT_ORDER_ASC), 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    EXPECT_DEATH(compute(ctx, tevo_top_k(ctx, h, 2), 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");

    tevo_tensor * t = tevo_argsort(ctx, a, TEVO_SORT_ORDER_ASC);
    t->nb[0]        = 8;
    EXPECT_DEATH(compute(ctx, t, 1), "TEVO_ASSERT\\(nb0 == sizeof\\(float\\)\\) failed");
    tevo_free(ctx);
}

TEST_F(Argsort, TrianglePredicates) {
    for (int32_t a = -2; a <= 2; ++a) {
        for (int32_t b = -2; b <= 2; ++b) {
            EXPECT_EQ(tevo_tri_pred_ge(a, b), a >= b);
            EXPECT_EQ(tevo_tri_pred_gt(a, b), a > b);
            EXPECT_EQ(tevo_tri_pred_le(a, b), a <= b);
            EXPECT_EQ(tevo_tri_pred_lt(a, b), a < b);
        }
    }
}

}  // namespace
