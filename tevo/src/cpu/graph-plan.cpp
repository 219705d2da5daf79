#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Planning a CPU graph run: how many threads each node can use and how much
// shared work buffer its kernel writes.

#include "cpu/impl.h"
#include "cpu/ops/ops.h"
#include "cpu/ops/flash-attn.h"
#include "cpu/ops/tiled.h"
#include "cpu/extra-buffer-types.h"

#include <stdio.h>

// bytes per thread added to every non-zero work size, so that per-thread
// areas can start on their own cache line
static const size_t TEVO_CACHE_LINE_SIZE = 64;

int tevo_get_n_tasks(struct tevo_tensor * node, int n_threads) {
    int n_tasks = 0;

    switch (node->op) {
        case TEVO_OP_NONE:
        case TEVO_OP_SUB:
        case TEVO_OP_SQR:
        case TEVO_OP_SQRT:
        case TEVO_OP_LOG:
        case TEVO_OP_SIN:
        case TEVO_OP_COS:
        case TEVO_OP_SUM:
        case TEVO_OP_SUM_ROWS:
        case TEVO_OP_MEAN:
        case TEVO_OP_ARGMAX:
        case TEVO_OP_REPEAT:
        case TEVO_OP_REPEAT_BACK:
        case TEVO_OP_SCALE:
        case TEVO_OP_SET:
        case TEVO_OP_RESHAPE:
        case TEVO_OP_VIEW:
        case TEVO_OP_PERMUTE:
        case TEVO_OP_TRANSPOSE:
        case TEVO_OP_GET_ROWS:
        case TEVO_OP_GET_ROWS_BACK:
        case TEVO_OP_SET_ROWS:
        case TEVO_OP_DIAG:
        case TEVO_OP_CLAMP:
        case TEVO_OP_POOL_1D:
        case TEVO_OP_POOL_2D:
        case TEVO_OP_POOL_2D_BACK:
        case TEVO_OP_LEAKY_RELU:
        case TEVO_OP_WIN_PART:
        case TEVO_OP_WIN_UNPART:
        case TEVO_OP_GET_REL_POS:
            n_tasks = 1;
            break;
        case TEVO_OP_SOFT_MAX:
            n_tasks = (int) TEVO_MIN((int64_t) n_threads, tevo_nrows(node->src[0]));
            break;
        case TEVO_OP_RWKV_WKV6:
        case TEVO_OP_GATED_LINEAR_ATTN:
        case TEVO_OP_RWKV_WKV7:
            n_tasks = (int) TEVO_MIN(node->src[1]->ne[1], (int64_t) n_threads);
            break;
        case TEVO_OP_UNARY: {
            const uint32_t uop = (uint32_t) tevo_get_op_params_i32(node, 0);
            if (uop >= TEVO_UNARY_OP_COUNT) {
                TEVO_ABORT("fatal error");
            }
            // every sub-operator but GELU, GELU_QUICK, SILU, GELU_ERF and XIELU is cheap
            n_tasks = ((0x3CF8FFu >> uop) & 1u) ? 1 : n_threads;
        } break;
        case TEVO_OP_GLU: {
            const uint32_t gop = (uint32_t) tevo_get_op_params_i32(node, 0);
            if (gop >= TEVO_GLU_OP_COUNT) {
                TEVO_ABORT("fatal error");
            }
            n_tasks = n_threads;
        } break;
        case TEVO_OP_MAP_CUSTOM1:
        case TEVO_OP_MAP_CUSTOM2:
        case TEVO_OP_MAP_CUSTOM3:
        case TEVO_OP_CUSTOM: {
            const int32_t count = tevo_get_op_params_i32(node, 2);
            n_tasks = count == TEVO_N_TASKS_MAX ? n_threads : TEVO_MIN(count, n_threads);
        } break;
        case TEVO_OP_COUNT:
            TEVO_ABORT("fatal error");
        default:
            if ((int) node->op > (int) TEVO_OP_COUNT || (int) node->op < 0) {
                fprintf(stderr, "%s: op not implemented: ", "tevo_get_n_tasks");
                fprintf(stderr, "%d\n", (int) node->op);
                TEVO_ABORT("fatal error");
            }
            n_tasks = n_threads;
            break;
    }
    return n_tasks;
}

static bool tevo_is_f16_or_bf16(enum tevo_type type) {
    return type == TEVO_TYPE_F16 || type == TEVO_TYPE_BF16;
}

// The copy kernel widens each source row into a per-thread float row before
// converting it when it goes from F32, F16 or BF16 to a type it cannot
// convert to directly (block formats, and I32 from the 16-bit floats).
static bool tevo_cpy_uses_float_row(enum tevo_type src, enum tevo_type dst) {
    if (src == dst) {
        return false;
    }
    switch (src) {
        case TEVO_TYPE_F32:  return dst != TEVO_TYPE_F16 && dst != TEVO_TYPE_BF16 && dst != TEVO_TYPE_I32;
        case TEVO_TYPE_F16:  return dst != TEVO_TYPE_F32 && dst != TEVO_TYPE_BF16;
        case TEVO_TYPE_BF16: return dst != TEVO_TYPE_F32 && dst != TEVO_TYPE_F16;
        default:             return false;
    }
}

// Work-buffer bytes of a node that no extra buffer type claims. n_tasks is
// the node's task count; n_threads the requested count, which bounds the
// threads of any run of this plan. least: the room the kernel cannot run
// without, instead of the room it runs best in.
static size_t tevo_node_work_size(const struct tevo_tensor * node, int n_tasks, int n_threads, bool least) {
    const struct tevo_tensor * src0 = node->src[0];
    const struct tevo_tensor * src1 = node->src[1];
    const struct tevo_tensor * src2 = node->src[2];
    const size_t               c    = (size_t) n_tasks;

    size_t cur = 0;

    switch (node->op) {
        case TEVO_OP_DUP:
        case TEVO_OP_CPY: {
            if (tevo_is_quantized(node->type) ||
                (src1 != NULL &&
                 ((src0->type == TEVO_TYPE_F32 && src1->type == TEVO_TYPE_I32) ||
                  (src0->type == TEVO_TYPE_I32 && src1->type == TEVO_TYPE_F32) ||
                  (src0->type == TEVO_TYPE_F16 && src1->type == TEVO_TYPE_BF16) ||
                  (src0->type == TEVO_TYPE_BF16 && src1->type == TEVO_TYPE_F16)))) {
                cur = 4 * c * (size_t) node->ne[0];
            }
            // every thread widens a whole source row, which may be longer
            // than a destination row
            if (tevo_cpy_uses_float_row(src0->type, node->type)) {
                cur = TEVO_MAX(cur, 4 * (size_t) n_threads * (size_t) src0->ne[0]);
            }
        } break;
        case TEVO_OP_ADD:
        case TEVO_OP_ADD_ID:
        case TEVO_OP_ADD1:
            if (tevo_is_quantized(src0->type)) {
                cur = 4 * c * (size_t) src0->ne[0];
            }
            break;
        case TEVO_OP_ACC:
            if (tevo_is_quantized(src0->type)) {
                cur = 4 * c * (size_t) src1->ne[0];
            }
            break;
        case TEVO_OP_OUT_PROD:
            if (tevo_is_quantized(src0->type) || src0->type == TEVO_TYPE_F16) {
                cur = 4 * c * (size_t) src0->ne[0];
            }
            break;
        case TEVO_OP_SET_ROWS:
            // one task, but the kernel hands rows, each with its own float
            // row, to every thread of the run
            if (src0->type == TEVO_TYPE_F16 && node->type != TEVO_TYPE_F16) {
                cur = 4 * (size_t) n_threads * (size_t) src0->ne[0];
            }
            break;
        case TEVO_OP_SOFT_MAX:
        case TEVO_OP_ROPE:
        case TEVO_OP_ROPE_BACK:
            cur = 4 * c * (size_t) node->ne[0];
            break;
        case TEVO_OP_COUNT_EQUAL:
            cur = c * tevo_type_size(node->type);
            break;
        case TEVO_OP_CROSS_ENTROPY_LOSS:
            cur = tevo_cross_entropy_loss_wsize(node, n_tasks);
            break;
        case TEVO_OP_TOP_K:
            cur = 4 * c * (size_t) src0->ne[0];
            break;
        case TEVO_OP_LIGHTNING_INDEXER:
            cur = 4 * c * (size_t) src1->ne[0];
            break;
        case TEVO_OP_GATED_DELTA_NET: {
            const size_t s = (size_t) src2->ne[0];
            cur = tevo_get_op_params_i32(node, 0) >= 2 ? 4 * c * (s + s * s) : 4 * c * s;
        } break;
        case TEVO_OP_MUL_MAT: {
            const enum tevo_type vec_dot_type = tevo_get_type_traits_cpu(src0->type)->vec_dot_type;
            if (src1->type != vec_dot_type) {
                cur = TEVO_PAD(tevo_row_size(vec_dot_type, tevo_nelements(src1)), (size_t) 64);
            }
            cur += tevo_tiled_wdata_size(n_tasks, node);
            // the panel path needs its scratch in place of the converted src1;
            // with less room the product takes the converted src1
            if (!least) {
                cur = TEVO_MAX(cur, tevo_mul_mat_panel_wsize(node, n_tasks));
            }
        } break;
        case TEVO_OP_MUL_MAT_ID: {
            const struct tevo_tensor * ids          = src2;
            const enum tevo_type       vec_dot_type = tevo_get_type_traits_cpu(src0->type)->vec_dot_type;
            const size_t               n_as         = (size_t) src0->ne[2];
            if (src1->type != vec_dot_type) {
                cur += tevo_row_size(vec_dot_type, tevo_nelements(src1)) + sizeof(int64_t);
            }
            cur += n_as * sizeof(int64_t);                                        // row counts
            cur += n_as * TEVO_CACHE_LINE_SIZE;                                   // chunk counters
            cur += n_as * (size_t) ids->ne[0] * (size_t) ids->ne[1] * sizeof(struct mmid_row_mapping);
            cur += 143;                                                           // alignments
            cur &= ~(size_t) 63;
            cur += tevo_tiled_wdata_size(n_tasks, node);
        } break;
        case TEVO_OP_CONV_TRANSPOSE_1D: {
            TEVO_ASSERT(node->src[0]->ne[3] == 1);
            TEVO_ASSERT(node->src[1]->ne[2] == 1);
            TEVO_ASSERT(node->src[1]->ne[3] == 1);
            const size_t ne00 = (size_t) src0->ne[0], ne01 = (size_t) src0->ne[1], ne02 = (size_t) src0->ne[2];
            const size_t ne10 = (size_t) src1->ne[0], ne11 = (size_t) src1->ne[1];
            if (tevo_is_f16_or_bf16(src0->type) && src1->type == TEVO_TYPE_F32) {
                cur = 2 * (ne00 * ne01 * ne02 + ne10 * ne11);
            } else if (src0->type == TEVO_TYPE_F32 && src1->type == TEVO_TYPE_F32) {
                cur = 4 * (ne00 * ne01 * ne02 + ne10 * ne11);
            } else {
                TEVO_ABORT("fatal error");
            }
        } break;
        case TEVO_OP_CONV_TRANSPOSE_2D: {
            TEVO_ASSERT(node->src[0]->type == TEVO_TYPE_F16 || node->src[0]->type == TEVO_TYPE_F32);
            TEVO_ASSERT(node->src[1]->type == TEVO_TYPE_F32);
            cur = tevo_type_size(src0->type) * (size_t) (tevo_nelements(src0) + tevo_nelements(src1));
        } break;
        case TEVO_OP_CONV_2D:
        case TEVO_OP_CONV_3D:
            // the kernel makes its batches of patches as large as the room
            // allows, and cannot run without room for one patch
            cur = tevo_conv_direct_least_wsize(node);
            if (!least) {
                cur = TEVO_MAX(cur, (size_t) 16 * 1024 * 1024);
            }
            break;
        case TEVO_OP_FLASH_ATTN_EXT: {
            const int64_t dk = src1->ne[0];
            const int64_t dv = src2->ne[0];
            cur = 4 * c * (size_t) TEVO_MAX(dk + 2 * dv + (dv + 2) * src0->ne[2], 128 * (dk + dv) + 8192);
            if (src0->ne[1] == 1 && src0->ne[3] == 1) {
                // one query row: the split-key path keeps a record per head
                // and piece of keys, however many threads there are
                cur = TEVO_MAX(cur, 4 * tevo_flash_attn_ext_split_floats(n_threads, dk, dv, src0->ne[2], src1->ne[1]));
            }
        } break;
        case TEVO_OP_FLASH_ATTN_BACK: {
            if (src1->type == TEVO_TYPE_F32 || tevo_is_f16_or_bf16(src1->type)) {
                // two scratch rows of max(D, keys rounded up to 4) + 16 floats
                // per thread; the 16 keep a small head size from running past
                const int64_t d     = src0->ne[0];
                const int64_t ne11p = TEVO_PAD(src1->ne[1], (int64_t) 4);
                cur = 4 * 2 * c * (size_t) (TEVO_MAX(d, ne11p) + 16);
            }
        } break;
        case TEVO_OP_COUNT:
            TEVO_ABORT("fatal error");
        default:
            break;
    }
    return cur;
}

struct tevo_cplan tevo_graph_plan(const struct tevo_cgraph * cgraph, int n_threads, struct tevo_threadpool * threadpool) {
    if (n_threads <= 0) {
        n_threads = threadpool ? threadpool->n_threads_max : TEVO_DEFAULT_N_THREADS;
    }

    struct tevo_cplan cplan;
    memset(&cplan, 0, sizeof(cplan));

    int    max_tasks = 1;
    size_t work_size = 0;

    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * node = cgraph->nodes[i];

        const int n_tasks = tevo_is_empty(node) ? 1 : tevo_get_n_tasks(node, n_threads);
        max_tasks         = TEVO_MAX(max_tasks, n_tasks);

        size_t cur = 0;
        if (!tevo_cpu_extra_work_size(n_threads, node, &cur)) {
            cur = tevo_node_work_size(node, n_tasks, n_threads, false);
        }
        work_size = TEVO_MAX(work_size, cur);
    }

    if (work_size > 0) {
        work_size += TEVO_CACHE_LINE_SIZE * (size_t) n_threads;
    }

    cplan.threadpool = threadpool;
    cplan.n_threads  = TEVO_MIN(max_tasks, n_threads);
    cplan.work_size  = work_size;
    cplan.work_data  = NULL;
    return cplan;
}

size_t tevo_graph_work_least(const struct tevo_cgraph * cgraph, int n_threads, int * node_idx) {
    size_t least = 0;
    *node_idx    = -1;

    for (int i = 0; i < cgraph->n_nodes; i++) {
        struct tevo_tensor * node = cgraph->nodes[i];
        // only the nodes the walk hands to a kernel: an operator number
        // outside the table computes nothing there
        if (tevo_node_is_skipped(node) || tevo_is_empty(node) || (int) node->op < 0 ||
            (int) node->op >= (int) TEVO_OP_COUNT) {
            continue;
        }
        size_t cur = 0;
        if (!tevo_cpu_extra_work_size(n_threads, node, &cur)) {
            cur = tevo_node_work_size(node, tevo_get_n_tasks(node, n_threads), n_threads, true);
        }
        if (cur > least) {
            least     = cur;
            *node_idx = i;
        }
    }

    if (least > 0) {
        least += TEVO_CACHE_LINE_SIZE * (size_t) n_threads;
    }
    return least;
}
