#pragma once

// The operator kernels of the CPU engine, one per operator, in the common
// form: every thread of a run enters with the same node and takes its share
// by ith and nth.

#include "cpu/ops/kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

void tevo_compute_forward_dup(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_add(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_add_id(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_add1(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_acc(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sub(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_mul(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_div(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sqr(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sqrt(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_log(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sin(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_cos(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sum(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sum_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_cumsum(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_mean(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_argmax(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_count_equal(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_repeat(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_repeat_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_concat(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_silu_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rms_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rms_norm_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_group_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_l2_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_mul_mat(const struct tevo_compute_params * params, struct tevo_tensor * dst);
// work-buffer bytes of MUL_MAT's panel path (0 when it does not apply); it converts src1
// itself, so these stand in for the converted src1
size_t tevo_mul_mat_panel_wsize(const struct tevo_tensor * node, int n_threads);
void tevo_compute_forward_mul_mat_id(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_out_prod(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_scale(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_set(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_cpy(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_cont(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_get_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_get_rows_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_set_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_diag(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_diag_mask_inf(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_diag_mask_zero(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_soft_max(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_soft_max_ext_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rope(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rope_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_clamp(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_conv_transpose_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_im2col(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_im2col_back_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_im2col_3d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_col2im_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_conv_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_conv_3d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
// the least work buffer CONV_2D and CONV_3D run in: one thread with one patch
size_t tevo_conv_direct_least_wsize(const struct tevo_tensor * node);
void tevo_compute_forward_conv_2d_dw(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_conv_transpose_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_pool_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_pool_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_pool_2d_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_upscale(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_pad(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_pad_reflect_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_roll(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_arange(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_timestep_embedding(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_argsort(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_top_k(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_leaky_relu(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_tri(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_fill(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_flash_attn_ext(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_ssm_conv(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_ssm_scan(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_win_part(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_win_unpart(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_get_rel_pos(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_add_rel_pos(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rwkv_wkv6(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_gla(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_rwkv_wkv7(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_solve_tri(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_gated_delta_net(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_lightning_indexer(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_dsv4_hc_comb(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_dsv4_hc_pre(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_dsv4_hc_post(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_unary(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_map_custom1(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_map_custom2(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_map_custom3(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_custom(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_cross_entropy_loss(const struct tevo_compute_params * params, struct tevo_tensor * dst);
// the work buffer CROSS_ENTROPY_LOSS needs with nth threads
size_t tevo_cross_entropy_loss_wsize(const struct tevo_tensor * node, int nth);
void tevo_compute_forward_cross_entropy_loss_back(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_opt_step_adamw(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_opt_step_sgd(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_glu(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_add_non_quantized(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_fwht(const struct tevo_compute_params * params, struct tevo_tensor * dst);

// backward pass of fused attention; masked comes from the node's first parameter word
void tevo_compute_forward_flash_attn_back(const struct tevo_compute_params * params, bool masked,
                                          struct tevo_tensor * dst);

// RMS_NORM followed by the MUL that consumes it, written into the MUL node only
void tevo_compute_forward_rms_norm_mul_fused(const struct tevo_compute_params * params,
                                             struct tevo_tensor * dst_rms_norm, struct tevo_tensor * dst_mul);

// the predicates of the triangle kernel, by tri type 0 to 3
bool tevo_tri_pred_ge(int64_t a, int64_t b);
bool tevo_tri_pred_gt(int64_t a, int64_t b);
bool tevo_tri_pred_le(int64_t a, int64_t b);
bool tevo_tri_pred_lt(int64_t a, int64_t b);

#ifdef __cplusplus
}
#endif
