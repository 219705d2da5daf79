#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// The tiled path's front door: whether a node takes it, how much work
// buffer it needs, and the two entry points MUL_MAT and MUL_MAT_ID offer
// their products through. A refusal is a plain false, after which the engine
// computes the product itself. Every thread of a node must decide alike,
// since the driver meets the others at a barrier: the decision reads only
// the node's tensors, the routed row count and the two switches, which are
// read from the environment once per process and never change.

#include "cpu/ops/tiled.h"
#include "cpu/tiled/tiled.h"

#include <stdlib.h>

// unset: on; set: on unless its number is 0 (so also for "" or a word)
static bool tiled_enabled() {
    static const bool enabled = [] {
        const char * s = getenv("TEVO_CPU_TILED_MM");
        return s == NULL || atoi(s) != 0;
    }();
    return enabled;
}

// products of 7 activation rows or fewer take the path only when this
// parses to exactly 1
static bool tiled_force() {
    static const bool force = [] {
        const char * s = getenv("TEVO_CPU_TILED_MM_FORCE");
        return s != NULL && atoi(s) == 1;
    }();
    return force;
}

bool tiled_type_eligible(enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_Q2_K:
        case TEVO_TYPE_Q3_K:
        case TEVO_TYPE_Q4_K:
        case TEVO_TYPE_Q5_K:
        case TEVO_TYPE_Q6_K:
        case TEVO_TYPE_IQ2_XXS:
        case TEVO_TYPE_IQ2_XS:
        case TEVO_TYPE_IQ3_XXS:
        case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ3_S:
        case TEVO_TYPE_IQ2_S:
        case TEVO_TYPE_IQ4_XS:
        case TEVO_TYPE_IQ1_M: return true;
        default:              return false;
    }
}

// the checks the work size shares with both gates
static bool tiled_weights_qualify(const struct tevo_tensor * src0) {
    return tiled_enabled() && src0->extra == NULL && tiled_type_eligible(src0->type);
}

// small products go the ordinary way unless forced
static bool tiled_rows_qualify(int64_t rows_per_plane) {
    return rows_per_plane > 7 || tiled_force();
}

size_t tevo_tiled_wdata_size(int n_threads, const struct tevo_tensor * node) {
    if (!tiled_weights_qualify(node->src[0])) {
        return 0;
    }
    return (size_t) TILED_SLICE_BYTES * (size_t) n_threads + 64;
}

bool tevo_compute_forward_mul_mat_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->use_ref) {
        return false;
    }
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    if (!tiled_weights_qualify(src0)) {
        return false;
    }
    // Without weight rows or activation rows there would be no chunk to
    // hand out and the chunk sizes would divide by zero; the ordinary path
    // writes the (empty) result instead.
    if (tevo_nrows(src0) <= 0 || tevo_nrows(src1) <= 0) {
        return false;
    }
    if (!tiled_rows_qualify(src1->ne[1])) {
        return false;
    }
    return tiled_mul_mat_run(params, dst, NULL, 0, 0, NULL);
}

bool tevo_compute_forward_mul_mat_id_tiled(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                           int64_t expert, int64_t n_rows, const struct mmid_row_mapping * rows,
                                           void * workspace) {
    if (params->use_ref) {
        return false;
    }
    if (!tiled_weights_qualify(dst->src[0])) {
        return false;
    }
    if (!tiled_rows_qualify(n_rows)) {
        return false;
    }
    return tiled_mul_mat_run(params, dst, rows, expert, n_rows, workspace);
}
