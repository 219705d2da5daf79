#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The normalised fast Walsh-Hadamard transform of every row: y = H x / sqrt(n)
// with H the n x n Hadamard matrix in natural order. It has no operator of
// its own: a matrix product whose hint word is 1 (its first source being that
// matrix) comes here and costs n log n per row instead of n^2. Rows are split
// in contiguous blocks; each row is transformed in place in its output row.
//
// The row is scaled before the butterflies, and every element of a stage is
// one addition or subtraction of two stored values, so the results do not
// depend on how many lanes a stage runs at once.

#include "cpu/ops/ops.h"

#include <math.h>

// one stage of butterflies of half-width h
static inline void tevo_fwht_stage(float * y, int64_t n, int64_t h) {
    for (int64_t b = 0; b < n; b += 2 * h) {
        float * lo = y + b;
        float * hi = y + b + h;
        for (int64_t j = 0; j < h; ++j) {
            const float a = lo[j];
            const float c = hi[j];
            lo[j]         = a + c;
            hi[j]         = a - c;
        }
    }
}

// src1: [n, ne11, ne12, ne13] (F32 or F16) -> dst rows of n floats
void tevo_compute_forward_fwht(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src1 = dst->src[1];
    if (src1->type != TEVO_TYPE_F32 && src1->type != TEVO_TYPE_F16) {
        TEVO_ABORT("fatal error - fwht supports F32 and F16 input");
    }

    const int64_t n = src1->ne[0];

    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT((n & (n - 1)) == 0);
    // the output rows hold the transform; a product of other shape has
    // shorter rows that the transform would run past
    TEVO_ASSERT(dst->ne[0] == n);
    TEVO_ASSERT(dst->nb[0] == sizeof(float));
    TEVO_ASSERT(src1->nb[0] == tevo_type_size(src1->type));

    const int64_t ne11 = src1->ne[1], ne12 = src1->ne[2];
    const int64_t nr   = ne11 * ne12 * src1->ne[3];

    int64_t ir0, ir1;
    tevo_thread_range(nr, params->ith, params->nth, &ir0, &ir1);
    if (n == 0) {
        return;
    }

    const float s = 1.0f / sqrtf((float) n);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne11 * ne12);
        const int64_t i2 = (ir % (ne11 * ne12)) / ne11;
        const int64_t i1 = (ir % (ne11 * ne12)) % ne11;

        const char * x = (const char *) src1->data + i1 * src1->nb[1] + i2 * src1->nb[2] + i3 * src1->nb[3];
        float *      y = (float *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);

        if (src1->type == TEVO_TYPE_F32) {
            const float * xf = (const float *) x;
            for (int64_t i = 0; i < n; ++i) {
                y[i] = s * xf[i];
            }
        } else {
            const tevo_fp16_t * xh = (const tevo_fp16_t *) x;
            for (int64_t i = 0; i < n; ++i) {
                y[i] = s * tevo_cpu_fp16_lookup(xh[i]);
            }
        }

        for (int64_t h = 1; h < n; h *= 2) {
            tevo_fwht_stage(y, n, h);
        }
    }
}
