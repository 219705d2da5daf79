#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Triangular solve: for every matrix of a batch, X with A X = B, where A is
// lower triangular with a general diagonal, by forward substitution. One work
// item is one right-hand-side column of one batch matrix; items are split in
// contiguous blocks (the column index runs fastest) and are independent, so
// there is no barrier. The strictly upper triangle of A is never read.
//
// Each element is one fused multiply-add per earlier row in ascending order,
// a subtraction from B and a true division by the diagonal: the rounding is
// fixed, whatever thread computes the column.

#include "cpu/ops/ops.h"

#include <math.h>

// A: [n, n, ne02, ne03], B: [m, n, ne02, ne03] -> X: [m, n, ne02, ne03]
void tevo_compute_forward_solve_tri(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0]; // A
    const struct tevo_tensor * src1 = dst->src[1]; // B
    if (src0->type != TEVO_TYPE_F32 || src1->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];

    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(ne00 == ne01);
    TEVO_ASSERT(ne0 == ne10);
    TEVO_ASSERT(ne1 == ne11);
    TEVO_ASSERT(ne02 == ne12 && ne12 == ne2);
    TEVO_ASSERT(ne03 == ne13 && ne13 == ne3);
    // within a matrix elements are found by count
    TEVO_ASSERT(tevo_is_contiguous(src0) && tevo_is_contiguous(src1) && tevo_is_contiguous(dst));

    const int64_t n = ne11; // rows of A, of B and of X
    const int64_t m = ne10; // right-hand sides

    int64_t i0, i1;
    tevo_thread_range(m * ne02 * ne03, params->ith, params->nth, &i0, &i1);
    if (i0 >= i1 || n == 0) {
        return;
    }

    for (int64_t i = i0; i < i1; ++i) {
        const int64_t c  = i % m;
        const int64_t ib = i / m;
        const int64_t i2 = ib % ne02;
        const int64_t i3 = ib / ne02;

        const float * A = (const float *) ((const char *) src0->data + i2 * src0->nb[2] + i3 * src0->nb[3]);
        const float * B = (const float *) ((const char *) src1->data + i2 * src1->nb[2] + i3 * src1->nb[3]);
        float *       X = (float *) ((char *) dst->data + i2 * dst->nb[2] + i3 * dst->nb[3]);

        for (int64_t j = 0; j < n; ++j) {
            const float * Aj = A + j * n;
            float         s  = 0.0f;
            for (int64_t l = 0; l < j; ++l) {
                s = fmaf(Aj[l], X[l * m + c], s);
            }
            X[j * m + c] = (B[j * m + c] - s) / Aj[j];
        }
    }
}
