#pragma once

// Views with gaps between their rows, planes or volumes, for the kernels
// that address their inputs through the strides.

#include "kernel-test-helpers.h"

namespace kt {

// A view of extents ne inside a tensor that is `extra` larger in dimension
// dim: dim 0 leaves a gap after every row (nb[1] grows), dim 1 after every
// plane (nb[2]), dim 2 after every volume (nb[3]). The gaps hold NaN, so a
// kernel that reads them shows it.
inline tevo_tensor * padded(tevo_context * ctx, tevo_type type, const int64_t ne[4], int dim, int64_t extra = 3) {
    int64_t big[4] = { ne[0], ne[1], ne[2], ne[3] };
    big[dim] += extra;
    tevo_tensor * base = tevo_new_tensor(ctx, type, 4, big);
    poison(base);
    return tevo_view_4d(ctx, base, ne[0], ne[1], ne[2], ne[3], base->nb[1], base->nb[2], base->nb[3], 0);
}

} // namespace kt
