#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// The tiled path is not built yet: it takes no node and needs no work buffer.

#include "cpu/ops/tiled.h"

size_t tevo_tiled_wdata_size(int n_threads, const struct tevo_tensor * node) {
    (void) n_threads;
    (void) node;
    return 0;
}

bool tevo_compute_forward_mul_mat_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    (void) params;
    (void) dst;
    return false;
}

bool tevo_compute_forward_mul_mat_id_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                           int64_t expert, int64_t n_rows, const struct mmid_row_mapping * rows,
                                           void * workspace) {
    (void) params;
    (void) dst;
    (void) expert;
    (void) n_rows;
    (void) rows;
    (void) workspace;
    return false;
}
