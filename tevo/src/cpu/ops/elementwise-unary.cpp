#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/unary-ops"

// One frame for every one-operand element-wise kernel: the type pair, the
// layout checks, contiguous row blocks per thread, widening to float and
// rounding once to dst's type. The operators differ only in their scalar
// function. Arithmetic and rounding operators also have an 8-lane form
// built from exact instructions (same bits as the scalar one); operators
// that need the math library call it once per element.

#include "cpu/ops/elementwise-unary.h"
#include "cpu/ops/elementwise.h"

#include <math.h>
#include <stdio.h>

#include <type_traits>

namespace {

inline __m256 v_sign_mask() {
    return _mm256_set1_ps(-0.0f);
}

// the rounding mode is an immediate of the instruction: a template argument
// keeps it a constant for every compiler, not only for an optimising one
template <int mode> inline float s_round(float x) {
    return _mm_cvtss_f32(_mm_round_ss(_mm_setzero_ps(), _mm_set_ss(x), mode | _MM_FROUND_NO_EXC));
}

// ---------------------------------------------------------------------------
// the scalar functions; `vec` marks those with an exact 8-lane form

struct op_abs {
    static constexpr bool vec = true;
    static float  f(float x) { return tevo_fp32_from_bits(tevo_fp32_to_bits(x) & 0x7FFFFFFFu); }
    static __m256 v(__m256 x) { return _mm256_andnot_ps(v_sign_mask(), x); }
};

struct op_sgn {
    static constexpr bool vec = true;
    static float  f(float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); }
    static __m256 v(__m256 x) {
        const __m256 pos = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ), _mm256_set1_ps(1.0f));
        const __m256 neg = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_LT_OQ), _mm256_set1_ps(-1.0f));
        return _mm256_or_ps(pos, neg);
    }
};

struct op_neg {
    static constexpr bool vec = true;
    static float  f(float x) { return tevo_fp32_from_bits(tevo_fp32_to_bits(x) ^ 0x80000000u); }
    static __m256 v(__m256 x) { return _mm256_xor_ps(v_sign_mask(), x); }
};

struct op_step {
    static constexpr bool vec = true;
    static float  f(float x) { return x > 0.0f ? 1.0f : 0.0f; }
    static __m256 v(__m256 x) {
        return _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ), _mm256_set1_ps(1.0f));
    }
};

struct op_tanh {
    static constexpr bool vec = false;
    static float f(float x) { return tanhf(x); }
};

// the scale of the negative branch is fixed at 1
struct op_elu {
    static constexpr bool vec = false;
    static float f(float x) { return x > 0.0f ? x : expm1f(x); }
};

struct op_relu {
    static constexpr bool vec = true;
    static float  f(float x) { return x > 0.0f ? x : 0.0f; }
    static __m256 v(__m256 x) { return _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ), x); }
};

struct op_sigmoid {
    static constexpr bool vec = false;
    static float f(float x) { return 1.0f / (expf(-x) + 1.0f); }
};

// (x + 3) / 6 by a true division, then clamped to [0, 1]; NaN gives 0
struct op_hardsigmoid {
    static constexpr bool vec = true;
    static float f(float x) {
        float t = (x + 3.0f) / 6.0f;
        t       = t > 0.0f ? t : 0.0f;
        return t < 1.0f ? t : 1.0f;
    }
    static __m256 v(__m256 x) {
        __m256 t = _mm256_div_ps(_mm256_add_ps(x, _mm256_set1_ps(3.0f)), _mm256_set1_ps(6.0f));
        t        = _mm256_and_ps(_mm256_cmp_ps(t, _mm256_setzero_ps(), _CMP_GT_OQ), t);
        return _mm256_blendv_ps(_mm256_set1_ps(1.0f), t, _mm256_cmp_ps(t, _mm256_set1_ps(1.0f), _CMP_LT_OQ));
    }
};

struct op_hardswish {
    static constexpr bool vec = true;
    static float  f(float x) { return x * op_hardsigmoid::f(x); }
    static __m256 v(__m256 x) { return _mm256_mul_ps(x, op_hardsigmoid::v(x)); }
};

struct op_exp {
    static constexpr bool vec = false;
    static float f(float x) { return expf(x); }
};

// expf(x) - 1 in two roundings, not expm1f: tiny x give exactly 0
struct op_expm1 {
    static constexpr bool vec = false;
    static float f(float x) { return expf(x) - 1.0f; }
};

struct op_softplus {
    static constexpr bool vec = false;
    static float f(float x) { return x > 20.0f ? x : logf(expf(x) + 1.0f); }
};

struct op_floor {
    static constexpr bool vec = true;
    static float  f(float x) { return s_round<_MM_FROUND_TO_NEG_INF>(x); }
    static __m256 v(__m256 x) { return _mm256_round_ps(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
};

struct op_ceil {
    static constexpr bool vec = true;
    static float  f(float x) { return s_round<_MM_FROUND_TO_POS_INF>(x); }
    static __m256 v(__m256 x) { return _mm256_round_ps(x, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC); }
};

struct op_trunc {
    static constexpr bool vec = true;
    static float  f(float x) { return s_round<_MM_FROUND_TO_ZERO>(x); }
    static __m256 v(__m256 x) { return _mm256_round_ps(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
};

// Halves away from zero: add the largest float below 0.5 with x's sign, then
// truncate. Integral x come back unchanged (the sum rounds back to x).
struct op_round {
    static constexpr bool vec = true;
    static float f(float x) {
        const float c = tevo_fp32_from_bits(0x3EFFFFFFu | (tevo_fp32_to_bits(x) & 0x80000000u));
        return s_round<_MM_FROUND_TO_ZERO>(x + c);
    }
    static __m256 v(__m256 x) {
        const __m256 c = _mm256_or_ps(_mm256_and_ps(x, v_sign_mask()),
                                      _mm256_castsi256_ps(_mm256_set1_epi32(0x3EFFFFFF)));
        return _mm256_round_ps(_mm256_add_ps(x, c), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
};

struct op_sqr {
    static constexpr bool vec = true;
    static float  f(float x) { return x * x; }
    static __m256 v(__m256 x) { return _mm256_mul_ps(x, x); }
};

struct op_sqrt {
    static constexpr bool vec = true;
    static float  f(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
    static __m256 v(__m256 x) { return _mm256_sqrt_ps(x); }
};

struct op_sin {
    static constexpr bool vec = false;
    static float f(float x) { return sinf(x); }
};

struct op_cos {
    static constexpr bool vec = false;
    static float f(float x) { return cosf(x); }
};

struct op_log {
    static constexpr bool vec = false;
    static float f(float x) { return logf(x); }
};

// XIELU with its four parameters; both branches end in one fused
// multiply-add. Its rows may be padded, dimensions 2 and 3 packed over them.
struct op_xielu {
    static constexpr bool vec = false;

    float alpha_n;
    float alpha_p;
    float beta;
    float eps;

    float f(float x) const {
        if (x > 0.0f) {
            const float p = x * alpha_p;
            const float q = x * beta;
            return fmaf(x, p, q);
        }
        const float m = (isnan(x) || eps < x) ? eps : x;
        const float d = expm1f(m) - x;
        const float q = x * beta;
        return fmaf(d, alpha_n, q);
    }
};

// ---------------------------------------------------------------------------
// the frame

template <typename Op, typename src0_t, typename dst_t>
void unary_row(dst_t * y, const src0_t * x, int64_t n, const Op & op) {
    int64_t i = 0;
    if constexpr (Op::vec) {
        if (tevo_ew_vector_safe(y, sizeof(dst_t), x, sizeof(src0_t), n)) {
            for (; i + 8 <= n; i += 8) {
                tevo_ew_store8(y + i, Op::v(tevo_ew_load8(x + i)));
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = tevo_ew_from_f32<dst_t>(op.f(tevo_ew_to_f32(x[i])));
    }
}

template <typename Op, typename src0_t, typename dst_t>
void unary_op(const struct tevo_compute_params * params, struct tevo_tensor * dst, const Op & op) {
    const struct tevo_tensor * src0 = dst->src[0];

    if constexpr (std::is_same<Op, op_xielu>::value) {
        TEVO_ASSERT(tevo_is_contiguous_1(src0) && tevo_is_contiguous_1(dst) && tevo_are_same_shape(src0, dst));
    } else {
        TEVO_ASSERT(tevo_is_contiguous_rows(src0) && tevo_is_contiguous_rows(dst) && tevo_are_same_shape(src0, dst));
    }

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(nb0 == sizeof(dst_t));
    TEVO_ASSERT(nb00 == sizeof(src0_t));

    const int64_t nr  = tevo_nrows(src0);
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);
    const int64_t n   = dst->ne[0];

    if (ir0 >= ir1 || n < 1) {
        return;
    }

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t r  = ir - i3 * ne02 * ne01;
        const int64_t i2 = r / ne01;
        const int64_t i1 = r - i2 * ne01;

        const src0_t * x = (const src0_t *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03);
        dst_t *        y = (dst_t *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
        unary_row(y, x, n, op);
    }
}

// the type pair is chosen first: the source type, then dst's
template <typename Op>
void unary_dispatch(const struct tevo_compute_params * params, struct tevo_tensor * dst, const Op & op,
                    const char * name) {
    const enum tevo_type t0 = dst->src[0]->type;
    const enum tevo_type td = dst->type;

    if (t0 == TEVO_TYPE_BF16 && td == TEVO_TYPE_BF16) {
        unary_op<Op, tevo_bf16_t, tevo_bf16_t>(params, dst, op);
    } else if (t0 == TEVO_TYPE_BF16 && td == TEVO_TYPE_F32) {
        unary_op<Op, tevo_bf16_t, float>(params, dst, op);
    } else if (t0 == TEVO_TYPE_F16 && td == TEVO_TYPE_F16) {
        unary_op<Op, tevo_fp16_t, tevo_fp16_t>(params, dst, op);
    } else if (t0 == TEVO_TYPE_F16 && td == TEVO_TYPE_F32) {
        unary_op<Op, tevo_fp16_t, float>(params, dst, op);
    } else if (t0 == TEVO_TYPE_F32 && td == TEVO_TYPE_F32) {
        unary_op<Op, float, float>(params, dst, op);
    } else {
        fprintf(stderr, "%s: unsupported types: dst: %s, src0: %s\n", name, tevo_type_name(td), tevo_type_name(t0));
        TEVO_ABORT("fatal error");
    }
}

}  // namespace

#define TEVO_UNARY_KERNEL(name)                                                                          \
    void tevo_compute_forward_##name(const struct tevo_compute_params * params, struct tevo_tensor * dst) { \
        unary_dispatch(params, dst, op_##name(), "unary_op");                                            \
    }

TEVO_UNARY_KERNEL(abs)
TEVO_UNARY_KERNEL(sgn)
TEVO_UNARY_KERNEL(neg)
TEVO_UNARY_KERNEL(step)
TEVO_UNARY_KERNEL(tanh)
TEVO_UNARY_KERNEL(elu)
TEVO_UNARY_KERNEL(relu)
TEVO_UNARY_KERNEL(sigmoid)
TEVO_UNARY_KERNEL(hardswish)
TEVO_UNARY_KERNEL(hardsigmoid)
TEVO_UNARY_KERNEL(exp)
TEVO_UNARY_KERNEL(expm1)
TEVO_UNARY_KERNEL(softplus)
TEVO_UNARY_KERNEL(floor)
TEVO_UNARY_KERNEL(ceil)
TEVO_UNARY_KERNEL(round)
TEVO_UNARY_KERNEL(trunc)
TEVO_UNARY_KERNEL(sqr)
TEVO_UNARY_KERNEL(sqrt)
TEVO_UNARY_KERNEL(sin)
TEVO_UNARY_KERNEL(cos)
TEVO_UNARY_KERNEL(log)

void tevo_compute_forward_xielu(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    op_xielu op;
    op.alpha_n = tevo_get_op_params_f32(dst, 1);
    op.alpha_p = tevo_get_op_params_f32(dst, 2);
    op.beta    = tevo_get_op_params_f32(dst, 3);
    op.eps     = tevo_get_op_params_f32(dst, 4);
    unary_dispatch(params, dst, op, "unary_op_functor");
}
