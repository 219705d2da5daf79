#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The UNARY operator: GELU, quick GELU, SiLU and erf GELU are computed here,
// every other function by the element-wise kernel of the same name.

#include "cpu/vec/gelu.h"
#include "cpu/ops/ops.h"
#include "cpu/ops/elementwise-unary.h"
#include "cpu/vec/vec.h"

#include <stdint.h>

namespace {

// Rows [ir0, ir1) of this thread, each handed to fn(dst row, src row, ne0).
template <typename T, typename RowFn>
void tevo_unary_rows(const tevo_compute_params * params, tevo_tensor * dst, RowFn fn) {
    const tevo_tensor * src0 = dst->src[0];

    // the row routines take an int length
    const int ne0 = tevo_row_length(dst, src0->ne[0]);

    int64_t ir0, ir1;
    tevo_thread_range(tevo_nrows(src0), params->ith, params->nth, &ir0, &ir1);

    if (ir0 >= ir1 || ne0 < 1) {
        return;
    }

    const int64_t ne1 = src0->ne[1];
    const int64_t ne2 = src0->ne[2];

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne1 * ne2);
        const int64_t r  = ir - i3 * ne1 * ne2;
        const int64_t i2 = r / ne1;
        const int64_t i1 = r - i2 * ne1;

        const T * x = (const T *) ((const char *) src0->data + i1 * src0->nb[1] + i2 * src0->nb[2] + i3 * src0->nb[3]);
        T *       y = (T *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);
        fn(y, x, ne0);
    }
}

// every element of a half or brain-float row through a float function
template <typename F>
void tevo_row_f16(tevo_fp16_t * y, const tevo_fp16_t * x, int n, F f) {
    for (int i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(f(tevo_table_f32_f16[x[i]]));
    }
}

template <typename F>
void tevo_row_bf16(tevo_bf16_t * y, const tevo_bf16_t * x, int n, F f) {
    for (int i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(f(TEVO_BF16_TO_FP32(x[i])));
    }
}

// half GELU and quick GELU are the table entry of the element's own pattern
void tevo_row_f16_table(tevo_fp16_t * y, const tevo_fp16_t * x, int n, const tevo_fp16_t * table) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const tevo_fp16_t a = table[x[i + 0]];
        const tevo_fp16_t b = table[x[i + 1]];
        const tevo_fp16_t c = table[x[i + 2]];
        const tevo_fp16_t d = table[x[i + 3]];
        y[i + 0]            = a;
        y[i + 1]            = b;
        y[i + 2]            = c;
        y[i + 3]            = d;
    }
    for (; i < n; ++i) {
        y[i] = table[x[i]];
    }
}

void tevo_row_gelu_f32(float * y, const float * x, int n) {
    tevo_vec_gelu_f32(n, y, x);
}

void tevo_row_gelu_quick_f32(float * y, const float * x, int n) {
    tevo_vec_gelu_quick_f32(n, y, x);
}

void tevo_row_silu_f32(float * y, const float * x, int n) {
    tevo_vec_silu_f32(n, y, x);
}

void tevo_row_gelu_erf_f32(float * y, const float * x, int n) {
    for (int i = 0; i < n; ++i) {
        y[i] = tevo_gelu_erf_f32(x[i]);
    }
}

void tevo_compute_forward_gelu_family(const tevo_compute_params * params, tevo_tensor * dst, tevo_unary_op op) {
    const tevo_tensor * src0 = dst->src[0];

    switch (src0->type) {
        case TEVO_TYPE_BF16: {
            tevo_unary_rows<tevo_bf16_t>(params, dst, [op](tevo_bf16_t * y, const tevo_bf16_t * x, int n) {
                switch (op) {
                    case TEVO_UNARY_OP_GELU:       tevo_row_bf16(y, x, n, tevo_gelu_formula_f32); break;
                    case TEVO_UNARY_OP_GELU_QUICK: tevo_row_bf16(y, x, n, tevo_gelu_quick_formula_f32); break;
                    case TEVO_UNARY_OP_SILU:       tevo_row_bf16(y, x, n, tevo_silu_formula_f32); break;
                    default:                       tevo_row_bf16(y, x, n, tevo_gelu_erf_f32); break;
                }
            });
        } break;
        case TEVO_TYPE_F16: {
            tevo_unary_rows<tevo_fp16_t>(params, dst, [op](tevo_fp16_t * y, const tevo_fp16_t * x, int n) {
                switch (op) {
                    case TEVO_UNARY_OP_GELU:       tevo_row_f16_table(y, x, n, tevo_table_gelu_f16); break;
                    case TEVO_UNARY_OP_GELU_QUICK: tevo_row_f16_table(y, x, n, tevo_table_gelu_quick_f16); break;
                    case TEVO_UNARY_OP_SILU:       tevo_row_f16(y, x, n, tevo_silu_formula_f32); break;
                    default:                       tevo_row_f16(y, x, n, tevo_gelu_erf_f32); break;
                }
            });
        } break;
        case TEVO_TYPE_F32: {
            tevo_unary_rows<float>(params, dst, [op](float * y, const float * x, int n) {
                switch (op) {
                    case TEVO_UNARY_OP_GELU:       tevo_row_gelu_f32(y, x, n); break;
                    case TEVO_UNARY_OP_GELU_QUICK: tevo_row_gelu_quick_f32(y, x, n); break;
                    case TEVO_UNARY_OP_SILU:       tevo_row_silu_f32(y, x, n); break;
                    default:                       tevo_row_gelu_erf_f32(y, x, n); break;
                }
            });
        } break;
        default: TEVO_ABORT("fatal error");
    }
}

} // namespace

void tevo_compute_forward_unary(const tevo_compute_params * params, tevo_tensor * dst) {
    // unsigned, so that negative words land in the default branch
    const uint32_t op = (uint32_t) tevo_get_unary_op(dst);

    switch (op) {
        case TEVO_UNARY_OP_ABS:         tevo_compute_forward_abs(params, dst); break;
        case TEVO_UNARY_OP_SGN:         tevo_compute_forward_sgn(params, dst); break;
        case TEVO_UNARY_OP_NEG:         tevo_compute_forward_neg(params, dst); break;
        case TEVO_UNARY_OP_STEP:        tevo_compute_forward_step(params, dst); break;
        case TEVO_UNARY_OP_TANH:        tevo_compute_forward_tanh(params, dst); break;
        case TEVO_UNARY_OP_ELU:         tevo_compute_forward_elu(params, dst); break;
        case TEVO_UNARY_OP_RELU:        tevo_compute_forward_relu(params, dst); break;
        case TEVO_UNARY_OP_SIGMOID:     tevo_compute_forward_sigmoid(params, dst); break;
        case TEVO_UNARY_OP_GELU:
        case TEVO_UNARY_OP_GELU_QUICK:
        case TEVO_UNARY_OP_SILU:
        case TEVO_UNARY_OP_GELU_ERF:    tevo_compute_forward_gelu_family(params, dst, (tevo_unary_op) op); break;
        case TEVO_UNARY_OP_HARDSWISH:   tevo_compute_forward_hardswish(params, dst); break;
        case TEVO_UNARY_OP_HARDSIGMOID: tevo_compute_forward_hardsigmoid(params, dst); break;
        case TEVO_UNARY_OP_EXP:         tevo_compute_forward_exp(params, dst); break;
        case TEVO_UNARY_OP_EXPM1:       tevo_compute_forward_expm1(params, dst); break;
        case TEVO_UNARY_OP_SOFTPLUS:    tevo_compute_forward_softplus(params, dst); break;
        case TEVO_UNARY_OP_XIELU:       tevo_compute_forward_xielu(params, dst); break;
        case TEVO_UNARY_OP_FLOOR:       tevo_compute_forward_floor(params, dst); break;
        case TEVO_UNARY_OP_CEIL:        tevo_compute_forward_ceil(params, dst); break;
        case TEVO_UNARY_OP_ROUND:       tevo_compute_forward_round(params, dst); break;
        case TEVO_UNARY_OP_TRUNC:       tevo_compute_forward_trunc(params, dst); break;
        default:                        TEVO_ABORT("fatal error");
    }
}
