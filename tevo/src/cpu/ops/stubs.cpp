#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Kernels whose operators are not computed on the CPU yet. Each stops the
// process when a graph reaches it; a kernel's own source replaces its line.

#include "cpu/ops/ops.h"

#define TEVO_KERNEL_NOT_BUILT(name)                                                                 \
    void tevo_compute_forward_##name(const struct tevo_compute_params * params, struct tevo_tensor * dst) { \
        (void) params;                                                                              \
        TEVO_LOG_ERROR("%s: no CPU kernel for %s yet\n", "tevo_compute_forward_" #name, tevo_op_desc(dst)); \
        TEVO_ABORT("fatal error");                                                                  \
    }

TEVO_KERNEL_NOT_BUILT(rope)
TEVO_KERNEL_NOT_BUILT(rope_back)
TEVO_KERNEL_NOT_BUILT(conv_transpose_1d)
TEVO_KERNEL_NOT_BUILT(conv_2d)
TEVO_KERNEL_NOT_BUILT(conv_3d)
TEVO_KERNEL_NOT_BUILT(conv_2d_dw)
TEVO_KERNEL_NOT_BUILT(conv_transpose_2d)
TEVO_KERNEL_NOT_BUILT(pool_1d)
TEVO_KERNEL_NOT_BUILT(pool_2d)
TEVO_KERNEL_NOT_BUILT(pool_2d_back)
TEVO_KERNEL_NOT_BUILT(upscale)
TEVO_KERNEL_NOT_BUILT(win_part)
TEVO_KERNEL_NOT_BUILT(win_unpart)
TEVO_KERNEL_NOT_BUILT(get_rel_pos)
TEVO_KERNEL_NOT_BUILT(add_rel_pos)
