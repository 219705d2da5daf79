#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// WIN_PART and WIN_UNPART: a map of feature vectors [C, W, H] cut into
// w × w windows [C, w, w, npx·npy] (zero-padded at the right and bottom
// edges to whole windows, windows numbered row of windows by row of
// windows), and the windows put back together into a map of a given width
// and height, padding dropped.
//
// The planner gives both one task: thread 0 makes the single pass. Every
// row of C floats is copied through the tensors' own strides, and the shapes
// are checked against the window parameters before any element is read.

#include "cpu/ops/ops.h"

#include <string.h>

namespace {

// one row of n floats, element by element unless both sides are packed
inline void tevo_win_copy_row(char * y, size_t nby, const char * x, size_t nbx, int64_t n) {
    if (nby == sizeof(float) && nbx == sizeof(float)) {
        memcpy(y, x, (size_t) n * sizeof(float));
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        *(float *) (y + i * nby) = *(const float *) (x + i * nbx);
    }
}

inline void tevo_win_zero_row(char * y, size_t nby, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        *(float *) (y + i * nby) = 0.0f;
    }
}

} // namespace

// src: [C, W, H, 1] -> dst: [C, w, w, npx·npy]
void tevo_compute_forward_win_part(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src = dst->src[0];
    if (src->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    const int64_t npx = tevo_get_op_params_i32(dst, 0);
    const int64_t npy = tevo_get_op_params_i32(dst, 1);
    const int64_t w   = tevo_get_op_params_i32(dst, 2);

    const int64_t C = src->ne[0], W = src->ne[1], H = src->ne[2];
    TEVO_ASSERT(w > 0);
    TEVO_ASSERT(src->ne[3] == 1);
    TEVO_ASSERT(dst->ne[0] == C && dst->ne[1] == w && dst->ne[2] == w && dst->ne[3] == npx * npy);
    // the windows cover the map
    TEVO_ASSERT(npx * w >= W && npy * w >= H);

    for (int64_t py = 0; py < npy; ++py) {
        for (int64_t px = 0; px < npx; ++px) {
            const int64_t i3 = py * npx + px;
            for (int64_t i2 = 0; i2 < w; ++i2) {
                const int64_t i02 = py * w + i2;
                for (int64_t i1 = 0; i1 < w; ++i1) {
                    const int64_t i01 = px * w + i1;
                    char * y = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3];
                    if (i02 >= H || i01 >= W) {
                        tevo_win_zero_row(y, dst->nb[0], C);
                    } else {
                        const char * x = (const char *) src->data + i01 * src->nb[1] + i02 * src->nb[2];
                        tevo_win_copy_row(y, dst->nb[0], x, src->nb[0], C);
                    }
                }
            }
        }
    }
}

// src: [C, w, w, windows] -> dst: [C, W, H]
void tevo_compute_forward_win_unpart(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src = dst->src[0];
    if (src->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    const int64_t w = tevo_get_op_params_i32(dst, 0);
    const int64_t C = dst->ne[0], W = dst->ne[1], H = dst->ne[2];

    // the window side divides, and the windows must hold every position
    TEVO_ASSERT(w > 0);
    const int64_t npx = (W + w - 1) / w;
    const int64_t npy = (H + w - 1) / w;
    TEVO_ASSERT(dst->ne[3] == 1);
    TEVO_ASSERT(src->ne[0] == C && src->ne[1] == w && src->ne[2] == w);
    TEVO_ASSERT(src->ne[3] >= npx * npy);

    for (int64_t i2 = 0; i2 < H; ++i2) {
        for (int64_t i1 = 0; i1 < W; ++i1) {
            const int64_t win = (i2 / w) * npx + i1 / w;
            const char *  x   = (const char *) src->data + (i1 % w) * src->nb[1] + (i2 % w) * src->nb[2] +
                             win * src->nb[3];
            char * y = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2];
            tevo_win_copy_row(y, dst->nb[0], x, src->nb[0], C);
        }
    }
}
