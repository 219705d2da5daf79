#pragma once

// The tiled integer path for matrix products with K-quant and i-quant
// weights. The planner asks it for its work-buffer share; MUL_MAT and
// MUL_MAT_ID offer it their nodes before computing them themselves. The
// path itself lives in cpu/tiled/.

#include "cpu/ops/kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

// work-buffer bytes the tiled path needs for a MUL_MAT or MUL_MAT_ID node;
// 0 when it would not take the node
size_t tevo_tiled_wdata_size(int n_threads, const struct tevo_tensor * node);

// true when the tiled path computed the whole node with all threads of the run
bool tevo_compute_forward_mul_mat_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst);

// true when the tiled path handled the routed rows of one expert, using the
// workspace MUL_MAT_ID reserves after its chunk counters
bool tevo_compute_forward_mul_mat_id_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                           int64_t expert, int64_t n_rows, const struct mmid_row_mapping * rows,
                                           void * workspace);

#ifdef __cplusplus
}
#endif
