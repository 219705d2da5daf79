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

TEVO_KERNEL_NOT_BUILT(silu_back)
TEVO_KERNEL_NOT_BUILT(out_prod)
TEVO_KERNEL_NOT_BUILT(leaky_relu)
TEVO_KERNEL_NOT_BUILT(ssm_conv)
TEVO_KERNEL_NOT_BUILT(ssm_scan)
TEVO_KERNEL_NOT_BUILT(rwkv_wkv6)
TEVO_KERNEL_NOT_BUILT(gla)
TEVO_KERNEL_NOT_BUILT(rwkv_wkv7)
TEVO_KERNEL_NOT_BUILT(solve_tri)
TEVO_KERNEL_NOT_BUILT(gated_delta_net)
TEVO_KERNEL_NOT_BUILT(lightning_indexer)
TEVO_KERNEL_NOT_BUILT(dsv4_hc_comb)
TEVO_KERNEL_NOT_BUILT(dsv4_hc_pre)
TEVO_KERNEL_NOT_BUILT(dsv4_hc_post)
TEVO_KERNEL_NOT_BUILT(cross_entropy_loss)
TEVO_KERNEL_NOT_BUILT(cross_entropy_loss_back)
TEVO_KERNEL_NOT_BUILT(opt_step_adamw)
TEVO_KERNEL_NOT_BUILT(opt_step_sgd)
TEVO_KERNEL_NOT_BUILT(fwht)

void tevo_compute_forward_flash_attn_back(const struct tevo_compute_params * params, bool masked,
                                          struct tevo_tensor * dst) {
    (void) params;
    (void) masked;
    TEVO_LOG_ERROR("%s: no CPU kernel for %s yet\n", "tevo_compute_forward_flash_attn_back", tevo_op_desc(dst));
    TEVO_ABORT("fatal error");
}

