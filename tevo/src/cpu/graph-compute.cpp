#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Computing a planned graph: the run start, the walk every thread makes over
// all nodes (skip rules, fusion, extra buffer types, the abort poll and the
// barrier between nodes) and the operator dispatch.

#include "cpu/ops/ops.h"
#include "backend/impl.h"
#include "cpu/impl.h"
#include "cpu/extra-buffer-types.h"
#include "platform/platform.h"

#include <math.h>

void tevo_compute_forward(struct tevo_compute_params * params, struct tevo_tensor * node) {
    switch (node->op) {
        case TEVO_OP_DUP:                     tevo_compute_forward_dup(params, node); break;
        case TEVO_OP_ADD:                     tevo_compute_forward_add(params, node); break;
        case TEVO_OP_ADD_ID:                  tevo_compute_forward_add_id(params, node); break;
        case TEVO_OP_ADD1:                    tevo_compute_forward_add1(params, node); break;
        case TEVO_OP_ACC:                     tevo_compute_forward_acc(params, node); break;
        case TEVO_OP_SUB:                     tevo_compute_forward_sub(params, node); break;
        case TEVO_OP_MUL:                     tevo_compute_forward_mul(params, node); break;
        case TEVO_OP_DIV:                     tevo_compute_forward_div(params, node); break;
        case TEVO_OP_SQR:                     tevo_compute_forward_sqr(params, node); break;
        case TEVO_OP_SQRT:                    tevo_compute_forward_sqrt(params, node); break;
        case TEVO_OP_LOG:                     tevo_compute_forward_log(params, node); break;
        case TEVO_OP_SIN:                     tevo_compute_forward_sin(params, node); break;
        case TEVO_OP_COS:                     tevo_compute_forward_cos(params, node); break;
        case TEVO_OP_SUM:                     tevo_compute_forward_sum(params, node); break;
        case TEVO_OP_SUM_ROWS:                tevo_compute_forward_sum_rows(params, node); break;
        case TEVO_OP_CUMSUM:                  tevo_compute_forward_cumsum(params, node); break;
        case TEVO_OP_MEAN:                    tevo_compute_forward_mean(params, node); break;
        case TEVO_OP_ARGMAX:                  tevo_compute_forward_argmax(params, node); break;
        case TEVO_OP_COUNT_EQUAL:             tevo_compute_forward_count_equal(params, node); break;
        case TEVO_OP_REPEAT:                  tevo_compute_forward_repeat(params, node); break;
        case TEVO_OP_REPEAT_BACK:             tevo_compute_forward_repeat_back(params, node); break;
        case TEVO_OP_CONCAT:                  tevo_compute_forward_concat(params, node); break;
        case TEVO_OP_SILU_BACK:               tevo_compute_forward_silu_back(params, node); break;
        case TEVO_OP_NORM:                    tevo_compute_forward_norm(params, node); break;
        case TEVO_OP_RMS_NORM:                tevo_compute_forward_rms_norm(params, node); break;
        case TEVO_OP_RMS_NORM_BACK:           tevo_compute_forward_rms_norm_back(params, node); break;
        case TEVO_OP_GROUP_NORM:              tevo_compute_forward_group_norm(params, node); break;
        case TEVO_OP_L2_NORM:                 tevo_compute_forward_l2_norm(params, node); break;
        case TEVO_OP_MUL_MAT:                 tevo_compute_forward_mul_mat(params, node); break;
        case TEVO_OP_MUL_MAT_ID:              tevo_compute_forward_mul_mat_id(params, node); break;
        case TEVO_OP_OUT_PROD:                tevo_compute_forward_out_prod(params, node); break;
        case TEVO_OP_SCALE:                   tevo_compute_forward_scale(params, node); break;
        case TEVO_OP_SET:                     tevo_compute_forward_set(params, node); break;
        case TEVO_OP_CPY:                     tevo_compute_forward_cpy(params, node); break;
        case TEVO_OP_CONT:                    tevo_compute_forward_cont(params, node); break;
        case TEVO_OP_RESHAPE:
        case TEVO_OP_VIEW:
        case TEVO_OP_PERMUTE:
        case TEVO_OP_TRANSPOSE:
            break;
        case TEVO_OP_GET_ROWS:                tevo_compute_forward_get_rows(params, node); break;
        case TEVO_OP_GET_ROWS_BACK:           tevo_compute_forward_get_rows_back(params, node); break;
        case TEVO_OP_SET_ROWS:                tevo_compute_forward_set_rows(params, node); break;
        case TEVO_OP_DIAG:                    tevo_compute_forward_diag(params, node); break;
        case TEVO_OP_DIAG_MASK_INF:           tevo_compute_forward_diag_mask_inf(params, node); break;
        case TEVO_OP_DIAG_MASK_ZERO:          tevo_compute_forward_diag_mask_zero(params, node); break;
        case TEVO_OP_SOFT_MAX:                tevo_compute_forward_soft_max(params, node); break;
        case TEVO_OP_SOFT_MAX_BACK:           tevo_compute_forward_soft_max_ext_back(params, node); break;
        case TEVO_OP_ROPE:                    tevo_compute_forward_rope(params, node); break;
        case TEVO_OP_ROPE_BACK:               tevo_compute_forward_rope_back(params, node); break;
        case TEVO_OP_CLAMP:                   tevo_compute_forward_clamp(params, node); break;
        case TEVO_OP_CONV_TRANSPOSE_1D:       tevo_compute_forward_conv_transpose_1d(params, node); break;
        case TEVO_OP_IM2COL:                  tevo_compute_forward_im2col(params, node); break;
        case TEVO_OP_IM2COL_BACK:             tevo_compute_forward_im2col_back_f32(params, node); break;
        case TEVO_OP_IM2COL_3D:               tevo_compute_forward_im2col_3d(params, node); break;
        case TEVO_OP_COL2IM_1D:               tevo_compute_forward_col2im_1d(params, node); break;
        case TEVO_OP_CONV_2D:                 tevo_compute_forward_conv_2d(params, node); break;
        case TEVO_OP_CONV_3D:                 tevo_compute_forward_conv_3d(params, node); break;
        case TEVO_OP_CONV_2D_DW:              tevo_compute_forward_conv_2d_dw(params, node); break;
        case TEVO_OP_CONV_TRANSPOSE_2D:       tevo_compute_forward_conv_transpose_2d(params, node); break;
        case TEVO_OP_POOL_1D:                 tevo_compute_forward_pool_1d(params, node); break;
        case TEVO_OP_POOL_2D:                 tevo_compute_forward_pool_2d(params, node); break;
        case TEVO_OP_POOL_2D_BACK:            tevo_compute_forward_pool_2d_back(params, node); break;
        case TEVO_OP_UPSCALE:                 tevo_compute_forward_upscale(params, node); break;
        case TEVO_OP_PAD:                     tevo_compute_forward_pad(params, node); break;
        case TEVO_OP_PAD_REFLECT_1D:          tevo_compute_forward_pad_reflect_1d(params, node); break;
        case TEVO_OP_ROLL:                    tevo_compute_forward_roll(params, node); break;
        case TEVO_OP_ARANGE:                  tevo_compute_forward_arange(params, node); break;
        case TEVO_OP_TIMESTEP_EMBEDDING:      tevo_compute_forward_timestep_embedding(params, node); break;
        case TEVO_OP_ARGSORT:                 tevo_compute_forward_argsort(params, node); break;
        case TEVO_OP_TOP_K:                   tevo_compute_forward_top_k(params, node); break;
        case TEVO_OP_LEAKY_RELU:              tevo_compute_forward_leaky_relu(params, node); break;
        case TEVO_OP_TRI:                     tevo_compute_forward_tri(params, node); break;
        case TEVO_OP_FILL:                    tevo_compute_forward_fill(params, node); break;
        case TEVO_OP_FLASH_ATTN_EXT:          tevo_compute_forward_flash_attn_ext(params, node); break;
        case TEVO_OP_FLASH_ATTN_BACK: {
            const uint32_t t = (uint32_t) tevo_get_op_params_i32(node, 0);
            TEVO_ASSERT(t == 0 || t == 1);
            tevo_compute_forward_flash_attn_back(params, t != 0, node);
        } break;
        case TEVO_OP_SSM_CONV:                tevo_compute_forward_ssm_conv(params, node); break;
        case TEVO_OP_SSM_SCAN:                tevo_compute_forward_ssm_scan(params, node); break;
        case TEVO_OP_WIN_PART:                tevo_compute_forward_win_part(params, node); break;
        case TEVO_OP_WIN_UNPART:              tevo_compute_forward_win_unpart(params, node); break;
        case TEVO_OP_GET_REL_POS:             tevo_compute_forward_get_rel_pos(params, node); break;
        case TEVO_OP_ADD_REL_POS:             tevo_compute_forward_add_rel_pos(params, node); break;
        case TEVO_OP_RWKV_WKV6:               tevo_compute_forward_rwkv_wkv6(params, node); break;
        case TEVO_OP_GATED_LINEAR_ATTN:       tevo_compute_forward_gla(params, node); break;
        case TEVO_OP_RWKV_WKV7:               tevo_compute_forward_rwkv_wkv7(params, node); break;
        case TEVO_OP_SOLVE_TRI:               tevo_compute_forward_solve_tri(params, node); break;
        case TEVO_OP_GATED_DELTA_NET:         tevo_compute_forward_gated_delta_net(params, node); break;
        case TEVO_OP_LIGHTNING_INDEXER:       tevo_compute_forward_lightning_indexer(params, node); break;
        case TEVO_OP_DSV4_HC_COMB:            tevo_compute_forward_dsv4_hc_comb(params, node); break;
        case TEVO_OP_DSV4_HC_PRE:             tevo_compute_forward_dsv4_hc_pre(params, node); break;
        case TEVO_OP_DSV4_HC_POST:            tevo_compute_forward_dsv4_hc_post(params, node); break;
        case TEVO_OP_UNARY:                   tevo_compute_forward_unary(params, node); break;
        case TEVO_OP_MAP_CUSTOM1:             tevo_compute_forward_map_custom1(params, node); break;
        case TEVO_OP_MAP_CUSTOM2:             tevo_compute_forward_map_custom2(params, node); break;
        case TEVO_OP_MAP_CUSTOM3:             tevo_compute_forward_map_custom3(params, node); break;
        case TEVO_OP_CUSTOM:                  tevo_compute_forward_custom(params, node); break;
        case TEVO_OP_CROSS_ENTROPY_LOSS:      tevo_compute_forward_cross_entropy_loss(params, node); break;
        case TEVO_OP_CROSS_ENTROPY_LOSS_BACK: tevo_compute_forward_cross_entropy_loss_back(params, node); break;
        case TEVO_OP_OPT_STEP_ADAMW:          tevo_compute_forward_opt_step_adamw(params, node); break;
        case TEVO_OP_OPT_STEP_SGD:            tevo_compute_forward_opt_step_sgd(params, node); break;
        case TEVO_OP_GLU:                     tevo_compute_forward_glu(params, node); break;
        case TEVO_OP_NONE:
            break;
        case TEVO_OP_COUNT:
            TEVO_ABORT("fatal error");
        default:
            // an operator number outside the table computes nothing
            break;
    }
}

bool tevo_cpu_can_fuse_rms_norm_mul(const struct tevo_cgraph * cgraph, int node_idx, bool use_ref) {
    if (!tevo_cpu_fusion_enabled()) {
        return false;
    }
    const struct tevo_tensor * node = cgraph->nodes[node_idx];
    if (node->op != TEVO_OP_RMS_NORM || use_ref || node_idx + 2 > cgraph->n_nodes) {
        return false;
    }
    if (tevo_node_get_use_count(cgraph, node_idx) != 1 || (node->flags & TEVO_TENSOR_FLAG_OUTPUT) ||
        node->view_src != NULL) {
        return false;
    }
    const struct tevo_tensor * mul = cgraph->nodes[node_idx + 1];
    if (mul->op != TEVO_OP_MUL || !(mul->flags & TEVO_TENSOR_FLAG_COMPUTE) ||
        (mul->src[0] != node && mul->src[1] != node)) {
        return false;
    }
    if (!tevo_are_same_shape(mul, node)) {
        return false;
    }
    const struct tevo_tensor * other = mul->src[0] == node ? mul->src[1] : mul->src[0];
    return node->src[0]->type == TEVO_TYPE_F32 && mul->type == TEVO_TYPE_F32 && other->type == TEVO_TYPE_F32 &&
           other->ne[0] == node->ne[0] && other->nb[0] == sizeof(float);
}

bool tevo_node_is_skipped(const struct tevo_tensor * node) {
    return tevo_op_is_empty(node->op) || (node->flags & TEVO_TENSOR_FLAG_COMPUTE) == 0;
}

void tevo_graph_compute_thread(struct tevo_compute_state * state) {
    struct tevo_threadpool *   tp     = state->threadpool;
    const struct tevo_cgraph * cgraph = tp->cgraph;
    const struct tevo_cplan *  cplan  = tp->cplan;

    struct tevo_compute_params params;
    params.ith        = state->ith;
    params.nth        = tevo_threadpool_run_threads(tp);
    params.wsize      = cplan->work_size;
    params.wdata      = cplan->work_data;
    params.threadpool = tp;
    params.use_ref    = cplan->use_ref;

    for (int i = 0; i < cgraph->n_nodes; i++) {
        if (tp->abort_node.load(std::memory_order_relaxed) == i) {
            break;
        }

        struct tevo_tensor * node = cgraph->nodes[i];
        if (tevo_node_is_skipped(node)) {
            continue;
        }

        if (tevo_cpu_can_fuse_rms_norm_mul(cgraph, i, params.use_ref)) {
            tevo_compute_forward_rms_norm_mul_fused(&params, node, cgraph->nodes[i + 1]);
            i++;
        } else if (!tevo_is_empty(node)) {
            if (!tevo_cpu_extra_compute_forward(&params, node)) {
                tevo_compute_forward(&params, node);
            }
        }

        if (state->ith == 0 && cplan->abort_callback != NULL &&
            cplan->abort_callback(cplan->abort_callback_data)) {
            tp->abort_node.store(i + 1, std::memory_order_relaxed);
            tp->exit_code = TEVO_EXIT_ABORTED;
        }

        if (i + 1 < cgraph->n_nodes) {
            tevo_barrier(tp);
        }
    }

    tevo_barrier(tp);
}

// A graph's kind for the choice of threads on shared cores: its operators
// in order and its work to within a factor of two, so that the steps of a
// decoder share one kind while its first, longer step has its own. *units:
// that work (elements computed, times the row length in products), to
// compare runs of one kind whose sizes differ.
static uint64_t tevo_graph_kind(const struct tevo_cgraph * cgraph, double * units) {
    uint64_t h    = 0xcbf29ce484222325ull ^ (uint64_t) cgraph->n_nodes;
    double   work = 1.0;
    for (int i = 0; i < cgraph->n_nodes; i++) {
        const struct tevo_tensor * node = cgraph->nodes[i];
        h = (h ^ (uint64_t) node->op) * 0x100000001b3ull;
        if (tevo_node_is_skipped(node)) {
            continue;
        }
        double n = (double) tevo_nelements(node);
        if ((node->op == TEVO_OP_MUL_MAT || node->op == TEVO_OP_MUL_MAT_ID) && node->src[0] != NULL) {
            n *= (double) node->src[0]->ne[0];
        }
        work += n;
    }
    int exponent = 0;
    frexp(work, &exponent);
    *units = work;
    return (h ^ (uint64_t) exponent) * 0x100000001b3ull;
}

enum tevo_status tevo_graph_compute(struct tevo_cgraph * cgraph, struct tevo_cplan * cplan) {
    tevo_cpu_init();

    TEVO_ASSERT(cplan);
    TEVO_ASSERT(cplan->n_threads > 0);
    TEVO_ASSERT(cplan->work_size == 0 || cplan->work_data != NULL);

    int                      n_threads  = cplan->n_threads;
    struct tevo_threadpool * tp         = cplan->threadpool;
    bool                     disposable = false;

    // A work buffer smaller than the graph needs on the threads that will
    // run it (a plan for another graph, or a size lowered by hand) would be
    // written past its end: refuse the run before any node is computed.
    const int run_threads = TEVO_MIN(n_threads, tp ? tp->n_threads_max : TEVO_MAX_N_THREADS);
    int       node_idx    = -1;
    const size_t least    = tevo_graph_work_least(cgraph, run_threads, &node_idx);
    if (cplan->work_size < least) {
        TEVO_LOG_ERROR("%s: the work buffer holds %zu bytes; node %d (%s) needs %zu on %d threads\n",
                       "tevo_graph_compute", cplan->work_size, node_idx, tevo_op_desc(cgraph->nodes[node_idx]),
                       least, run_threads);
        return TEVO_STATUS_FAILED;
    }

    if (tp == NULL) {
        // A pool owns at most TEVO_MAX_N_THREADS threads; a larger request
        // (a caller's thread count) is capped below with the warning rather
        // than refused.
        struct tevo_threadpool_params params =
            tevo_threadpool_params_default(TEVO_MIN(n_threads, TEVO_MAX_N_THREADS));
        tp         = tevo_threadpool_new_impl(&params, cgraph, cplan);
        disposable = true;
    } else {
        tp->cgraph = cgraph;
        tp->cplan  = cplan;
        tp->chunk_counter.store(0);
        tp->abort_node.store(-1);
        tp->exit_code = TEVO_EXIT_SUCCESS;
    }

    if (n_threads > tp->n_threads_max) {
        TEVO_LOG_WARN("cplan requested more threads (%d) than available (%d)\n", n_threads, tp->n_threads_max);
        n_threads = tp->n_threads_max;
    }

    // On cores that other work shares, every barrier waits for whichever
    // thread of the run the system has set aside, and a thread that slept
    // there waits for a processor again: fewer threads may be faster, by
    // how much depends on the graph, and its runs measure it.
    const int asked        = n_threads;
    int       choice_level = -1;
    uint64_t  kind         = 0;
    double    units        = 1.0;
    int64_t   start_ns     = 0;
    if (n_threads > 1 && tevo_threadpool_cores_shared()) {
        kind             = tevo_graph_kind(cgraph, &units);
        const int chosen = tevo_thread_choice_begin(kind, asked, units / TEVO_MAX(cgraph->n_nodes, 1), &choice_level);
        if (chosen < n_threads && tevo_graph_work_least(cgraph, chosen, &node_idx) > cplan->work_size) {
            choice_level = -1;
        } else {
            n_threads = chosen;
        }
        start_ns = tevo_platform_monotonic_ns();
    }

    // this may be a node's graph of an outer run on this thread
    const struct tevo_probe_mark outer_mark = tevo_threadpool_probe_mark();
    tevo_threadpool_start_run(tp, n_threads, n_threads < asked);
    tevo_graph_compute_thread(&tp->states[0]);
    tevo_threadpool_restore_probe_mark(outer_mark);

    const int ret = tp->exit_code;
    if (choice_level >= 0 && ret == TEVO_EXIT_SUCCESS) {
        tevo_thread_choice_end(kind, asked, choice_level, (double) (tevo_platform_monotonic_ns() - start_ns) / units);
    }
    if (disposable) {
        tevo_threadpool_free(tp);
    }
    return (enum tevo_status) ret;
}

enum tevo_status tevo_graph_compute_with_ctx(struct tevo_context * ctx, struct tevo_cgraph * cgraph, int n_threads) {
    struct tevo_cplan cplan = tevo_graph_plan(cgraph, n_threads, NULL);
    cplan.work_data         = (uint8_t *) tevo_new_buffer(ctx, cplan.work_size);
    return tevo_graph_compute(cgraph, &cplan);
}
