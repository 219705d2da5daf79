#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Gated linear units: an activation of x times the gate g, element by
// element, with x and g the two halves of each row of one source or the rows
// of two sources.

#include "cpu/vec/gelu.h"
#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"

#include <stdint.h>

namespace {

struct tevo_glu_args {
    float alpha; // SWIGLU_OAI
    float limit; // SWIGLU_OAI and SWIGLU_CLAMP
};

// The shared frame: checks, the choice of halves and this thread's rows;
// fn(dst row, x row, g row, nc) computes one row.
template <typename T, typename RowFn>
void tevo_glu_rows(const tevo_compute_params * params, tevo_tensor * dst, RowFn fn) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];

    TEVO_ASSERT(tevo_is_contiguous_1(src0));
    TEVO_ASSERT(tevo_is_contiguous_1(dst));
    if (src1) {
        TEVO_ASSERT(tevo_is_contiguous_1(src1));
        TEVO_ASSERT(src0->type == src1->type);
    }

    // the row routines take an int length
    const int     nc      = tevo_row_length(dst, src1 ? src0->ne[0] : src0->ne[0] / 2);
    const int64_t nr      = tevo_nrows(src0);
    const bool    swapped = tevo_get_op_params_i32(dst, 1) != 0;

    TEVO_ASSERT(dst->ne[0] == nc);
    TEVO_ASSERT(tevo_nrows(dst) == nr);

    int64_t ir0, ir1;
    tevo_thread_range(nr, params->ith, params->nth, &ir0, &ir1);

    if (ir0 >= ir1 || nc < 1) {
        return;
    }

    for (int64_t r = ir0; r < ir1; ++r) {
        const T * x = (const T *) ((const char *) src0->data + r * src0->nb[1]);
        const T * g = src1 ? (const T *) ((const char *) src1->data + r * src1->nb[1]) : x;
        if (!src1) {
            if (swapped) {
                x += nc;
            } else {
                g += nc;
            }
        }
        fn((T *) ((char *) dst->data + r * dst->nb[1]), x, g, nc);
    }
}

// element rules in float; half and brain-float rows widen, apply and narrow

float tevo_reglu_f32(float x, float g) {
    return x > 0.0f ? x * g : 0.0f;
}

float tevo_geglu_formula_f32(float x, float g) {
    return tevo_gelu_formula_f32(x) * g;
}

float tevo_swiglu_formula_f32(float x, float g) {
    return tevo_silu_formula_f32(x) * g;
}

float tevo_geglu_erf_f32(float x, float g) {
    return tevo_gelu_erf_f32(x) * g;
}

float tevo_geglu_quick_formula_f32(float x, float g) {
    return tevo_gelu_quick_formula_f32(x) * g;
}

// x clamped from above, g on both sides; NaN passes through both
inline float tevo_clamp_x(float x, float limit) {
    return limit < x ? limit : x;
}

inline float tevo_clamp_g(float g, float limit) {
    return g < -limit ? -limit : (limit < g ? limit : g);
}

float tevo_swiglu_oai_f32(float x, float g, const tevo_glu_args & a) {
    const float xc = tevo_clamp_x(x, a.limit);
    const float gc = tevo_clamp_g(g, a.limit);
    return (gc + 1.0f) * tevo_sigmoid_div_f32(xc, expf(a.alpha * (-xc)) + 1.0f);
}

float tevo_swiglu_clamp_f32(float x, float g, const tevo_glu_args & a) {
    const float xc = tevo_clamp_x(x, a.limit);
    const float gc = tevo_clamp_g(g, a.limit);
    return tevo_sigmoid_div_f32(xc, expf(-xc) + 1.0f) * gc;
}

template <typename F>
void tevo_glu_row_f32(float * y, const float * x, const float * g, int n, F f) {
    for (int i = 0; i < n; ++i) {
        y[i] = f(x[i], g[i]);
    }
}

template <typename F>
void tevo_glu_row_f16(tevo_fp16_t * y, const tevo_fp16_t * x, const tevo_fp16_t * g, int n, F f) {
    for (int i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(f(tevo_table_f32_f16[x[i]], tevo_table_f32_f16[g[i]]));
    }
}

template <typename F>
void tevo_glu_row_bf16(tevo_bf16_t * y, const tevo_bf16_t * x, const tevo_bf16_t * g, int n, F f) {
    for (int i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(f(TEVO_BF16_TO_FP32(x[i]), TEVO_BF16_TO_FP32(g[i])));
    }
}

// half GEGLU and GEGLU_QUICK read the table at the pattern of x itself
void tevo_glu_row_f16_table(tevo_fp16_t * y, const tevo_fp16_t * x, const tevo_fp16_t * g, int n,
                            const tevo_fp16_t * table) {
    for (int i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(tevo_table_f32_f16[table[x[i]]] * tevo_table_f32_f16[g[i]]);
    }
}

void tevo_swiglu_row_f32(float * y, const float * x, const float * g, int n) {
    tevo_vec_swiglu_f32(n, y, x, g);
}

void tevo_reglu_row_f32(float * y, const float * x, const float * g, int n) {
    tevo_vec_reglu_f32(n, y, x, g);
}

void tevo_geglu_row_f32(float * y, const float * x, const float * g, int n) {
    tevo_vec_geglu_f32(n, y, x, g);
}

void tevo_geglu_quick_row_f32(float * y, const float * x, const float * g, int n) {
    tevo_vec_geglu_quick_f32(n, y, x, g);
}

void tevo_glu_f32(const tevo_compute_params * params, tevo_tensor * dst, tevo_glu_op op, const tevo_glu_args & a) {
    switch (op) {
        case TEVO_GLU_OP_REGLU:
            tevo_glu_rows<float>(params, dst, tevo_reglu_row_f32);
            break;
        case TEVO_GLU_OP_GEGLU:
            tevo_glu_rows<float>(params, dst, tevo_geglu_row_f32);
            break;
        case TEVO_GLU_OP_SWIGLU:
            tevo_glu_rows<float>(params, dst, tevo_swiglu_row_f32);
            break;
        case TEVO_GLU_OP_SWIGLU_OAI:
            tevo_glu_rows<float>(params, dst, [&a](float * y, const float * x, const float * g, int n) {
                tevo_glu_row_f32(y, x, g, n, [&a](float u, float v) { return tevo_swiglu_oai_f32(u, v, a); });
            });
            break;
        case TEVO_GLU_OP_GEGLU_ERF:
            tevo_glu_rows<float>(params, dst, [](float * y, const float * x, const float * g, int n) {
                tevo_glu_row_f32(y, x, g, n, tevo_geglu_erf_f32);
            });
            break;
        case TEVO_GLU_OP_GEGLU_QUICK:
            tevo_glu_rows<float>(params, dst, tevo_geglu_quick_row_f32);
            break;
        default: // SWIGLU_CLAMP
            tevo_glu_rows<float>(params, dst, [&a](float * y, const float * x, const float * g, int n) {
                tevo_glu_row_f32(y, x, g, n, [&a](float u, float v) { return tevo_swiglu_clamp_f32(u, v, a); });
            });
            break;
    }
}

void tevo_glu_f16(const tevo_compute_params * params, tevo_tensor * dst, tevo_glu_op op, const tevo_glu_args & a) {
    using row_t = const tevo_fp16_t *;
    tevo_glu_rows<tevo_fp16_t>(params, dst, [op, &a](tevo_fp16_t * y, row_t x, row_t g, int n) {
        switch (op) {
            case TEVO_GLU_OP_REGLU:       tevo_glu_row_f16(y, x, g, n, tevo_reglu_f32); break;
            case TEVO_GLU_OP_GEGLU:       tevo_glu_row_f16_table(y, x, g, n, tevo_table_gelu_f16); break;
            case TEVO_GLU_OP_SWIGLU:      tevo_glu_row_f16(y, x, g, n, tevo_swiglu_formula_f32); break;
            case TEVO_GLU_OP_GEGLU_ERF:   tevo_glu_row_f16(y, x, g, n, tevo_geglu_erf_f32); break;
            case TEVO_GLU_OP_GEGLU_QUICK: tevo_glu_row_f16_table(y, x, g, n, tevo_table_gelu_quick_f16); break;
            default:
                tevo_glu_row_f16(y, x, g, n, [&a](float u, float v) { return tevo_swiglu_clamp_f32(u, v, a); });
                break;
        }
    });
}

void tevo_glu_bf16(const tevo_compute_params * params, tevo_tensor * dst, tevo_glu_op op) {
    using row_t = const tevo_bf16_t *;
    tevo_glu_rows<tevo_bf16_t>(params, dst, [op](tevo_bf16_t * y, row_t x, row_t g, int n) {
        switch (op) {
            case TEVO_GLU_OP_REGLU:     tevo_glu_row_bf16(y, x, g, n, tevo_reglu_f32); break;
            case TEVO_GLU_OP_GEGLU:     tevo_glu_row_bf16(y, x, g, n, tevo_geglu_formula_f32); break;
            case TEVO_GLU_OP_SWIGLU:    tevo_glu_row_bf16(y, x, g, n, tevo_swiglu_formula_f32); break;
            case TEVO_GLU_OP_GEGLU_ERF: tevo_glu_row_bf16(y, x, g, n, tevo_geglu_erf_f32); break;
            default:                    tevo_glu_row_bf16(y, x, g, n, tevo_geglu_quick_formula_f32); break;
        }
    });
}

} // namespace

void tevo_compute_forward_glu(const tevo_compute_params * params, tevo_tensor * dst) {
    // unsigned, so that negative words are refused too
    const uint32_t op_word = (uint32_t) tevo_get_glu_op(dst);
    if (op_word > TEVO_GLU_OP_SWIGLU_CLAMP) {
        TEVO_ABORT("fatal error");
    }
    const tevo_glu_op op = (tevo_glu_op) op_word;

    const tevo_glu_args a = { tevo_get_op_params_f32(dst, 2), tevo_get_op_params_f32(dst, 3) };

    // element types each form accepts: brain float, half, float
    const bool bf16_ok = op != TEVO_GLU_OP_SWIGLU_OAI && op != TEVO_GLU_OP_SWIGLU_CLAMP;
    const bool f16_ok  = op != TEVO_GLU_OP_SWIGLU_OAI;

    switch (dst->src[0]->type) {
        case TEVO_TYPE_BF16:
            if (!bf16_ok) {
                TEVO_ABORT("fatal error");
            }
            tevo_glu_bf16(params, dst, op);
            break;
        case TEVO_TYPE_F16:
            if (!f16_ok) {
                TEVO_ABORT("fatal error");
            }
            tevo_glu_f16(params, dst, op, a);
            break;
        case TEVO_TYPE_F32: tevo_glu_f32(params, dst, op, a); break;
        default:            TEVO_ABORT("fatal error");
    }
}
