#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Index sorting: per row, the column indices ordered by value (ARGSORT) or
// those of the k largest values (TOP_K); and the comparison predicates by
// which the triangle kernel keeps one triangle of a matrix.

#include "cpu/ops/ops.h"

#include <algorithm>
#include <cmath>

bool tevo_tri_pred_ge(int64_t a, int64_t b) { return a >= b; }
bool tevo_tri_pred_gt(int64_t a, int64_t b) { return a > b; }
bool tevo_tri_pred_le(int64_t a, int64_t b) { return a <= b; }
bool tevo_tri_pred_lt(int64_t a, int64_t b) { return a < b; }

// indexed by tevo_tri_type
extern "C" bool (*const tevo_tri_pred_table[4])(int64_t, int64_t) = {
    tevo_tri_pred_ge,
    tevo_tri_pred_gt,
    tevo_tri_pred_le,
    tevo_tri_pred_lt,
};

// The orders compare values as < or >, except that NaN sorts after every
// number: without that the comparison is no strict weak ordering, and the
// library's sort may then step outside the row.
struct argsort_asc {
    const float * v;
    bool operator()(int64_t a, int64_t b) const {
        return !std::isnan(v[a]) && (std::isnan(v[b]) || v[a] < v[b]);
    }
};

struct argsort_desc {
    const float * v;
    bool operator()(int64_t a, int64_t b) const {
        return !std::isnan(v[a]) && (std::isnan(v[b]) || v[a] > v[b]);
    }
};

void tevo_compute_forward_argsort(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT_AS(dst->nb[0] == sizeof(float), "nb0 == sizeof(float)");

    // the indices are 32-bit
    const int64_t ne00  = tevo_row_length(dst, src0->ne[0]);
    const int64_t nr    = tevo_nrows(src0);
    const int32_t order = tevo_get_op_params_i32(dst, 0);

    for (int64_t i = params->ith; i < nr; i += params->nth) {
        const float * x = (const float *) tevo_row_at(src0, i);
        int32_t *     y = (int32_t *) tevo_row_at(dst, i);

        for (int64_t j = 0; j < ne00; ++j) {
            y[j] = (int32_t) j;
        }
        switch (order) {
            case TEVO_SORT_ORDER_ASC:  std::sort(y, y + ne00, argsort_asc{ x }); break;
            case TEVO_SORT_ORDER_DESC: std::sort(y, y + ne00, argsort_desc{ x }); break;
            default:                   TEVO_ABORT("invalid sort order");
        }
    }
}

void tevo_compute_forward_top_k(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT_AS(dst->nb[0] == sizeof(float), "nb0 == sizeof(float)");

    const int64_t ne00 = tevo_row_length(dst, src0->ne[0]);
    const int64_t nr   = tevo_nrows(src0);
    const int64_t k    = dst->ne[0];

    if (nr == 0 || params->ith >= nr) {
        return;
    }
    // each thread sorts in its own ne00 indices, 16 apart from the next
    TEVO_ASSERT(params->wdata != NULL &&
                params->wsize >= (size_t) (params->ith + 1) * (size_t) (ne00 + 16) * sizeof(int32_t));
    int32_t * tmp = (int32_t *) params->wdata + (size_t) params->ith * (size_t) (ne00 + 16);

    for (int64_t i = params->ith; i < nr; i += params->nth) {
        const float * x = (const float *) tevo_row_at(src0, i);
        int32_t *     y = (int32_t *) tevo_row_at(dst, i);

        for (int64_t j = 0; j < ne00; ++j) {
            tmp[j] = (int32_t) j;
        }
        std::partial_sort(tmp, tmp + k, tmp + ne00, argsort_desc{ x });
        memcpy(y, tmp, (size_t) k * sizeof(int32_t));
        if (k > 1) {
            std::swap(y[0], y[1]);
        }
    }
}
