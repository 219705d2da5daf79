#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/binary-ops"

// ADD, SUB, MUL and DIV of float, half and brain-float tensors, with src1
// repeated over src0 by rows (modulo its extents) and within rows (modulo
// ne10). Each element is one float operation, rounded once to dst's type.

#include "cpu/ops/elementwise-binary.h"
#include "cpu/ops/elementwise.h"
#include "platform/platform.h"

namespace {

typedef void (*vdsp_fn)(const float *, ptrdiff_t, const float *, ptrdiff_t, float *, ptrdiff_t, size_t);

// The platform's subtraction and division take the subtrahend and the
// divisor first, so every call passes the src1 row first: c = src0 op src1.
struct op_add {
    static float  s(float a, float b) { return a + b; }
    static __m256 v(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
    static constexpr vdsp_fn vdsp = tevo_vdsp_vadd;
};
struct op_sub {
    static float  s(float a, float b) { return a - b; }
    static __m256 v(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
    static constexpr vdsp_fn vdsp = tevo_vdsp_vsub;
};
struct op_mul {
    static float  s(float a, float b) { return a * b; }
    static __m256 v(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
    static constexpr vdsp_fn vdsp = tevo_vdsp_vmul;
};
struct op_div {
    static float  s(float a, float b) { return a / b; }
    static __m256 v(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
    static constexpr vdsp_fn vdsp = tevo_vdsp_vdiv;
};

template <typename Op, typename src0_t, typename src1_t, typename dst_t>
void binary_row_packed(dst_t * c, const src0_t * a, const src1_t * b, int64_t n, int64_t nb);
template <typename Op, typename src0_t, typename src1_t, typename dst_t>
void binary_row_strided(dst_t * c, const src0_t * a, const char * b, int64_t n, int64_t nb, size_t nb10);

template <typename Op, typename src0_t, typename src1_t, typename dst_t>
void binary_op(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(int64_t, ne1, src1, ne);
    TEVO_EW_LOCALS(size_t, nb1, src1, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(tevo_can_repeat(src1, src0) && tevo_are_same_shape(src0, dst));

    // elements of dst and src0 rows are packed; src1 may have any strides

    TEVO_ASSERT(nb0 == sizeof(dst_t));
    TEVO_ASSERT(nb00 == sizeof(src0_t));

    if (ne00 == 0) {
        return;
    }

    // Whole rows are the unit of work, in blocks of ceil(nr / nth). dst may
    // be src0 itself, or a src1 of the same shape: each element is read
    // before its own result is written.
    const int64_t nr  = tevo_nrows(src0);
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);

    const bool src1_packed = tevo_is_contiguous_rows(src1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i03 = ir / (ne02 * ne01);
        const int64_t i02 = (ir - i03 * ne02 * ne01) / ne01;
        const int64_t i01 = ir - i03 * ne02 * ne01 - i02 * ne01;

        const int64_t i13 = i03 % ne13;
        const int64_t i12 = i02 % ne12;
        const int64_t i11 = i01 % ne11;

        dst_t *        dst_row  = (dst_t *) ((char *) dst->data + i03 * nb3 + i02 * nb2 + i01 * nb1);
        const src0_t * src0_row = (const src0_t *) ((const char *) src0->data + i03 * nb03 + i02 * nb02 + i01 * nb01);
        const char *   src1_row = (const char *) src1->data + i13 * nb13 + i12 * nb12 + i11 * nb11;

        if (src1_packed) {
            binary_row_packed<Op, src0_t, src1_t, dst_t>(dst_row, src0_row, (const src1_t *) src1_row, ne00, ne10);
        } else {
            binary_row_strided<Op, src0_t, src1_t, dst_t>(dst_row, src0_row, src1_row, ne00, ne10, nb10);
        }
    }
}

// The type triple is chosen once per call, and a refused one stops before
// any check. Accepted (src0, src1, dst):
//   f32  f32  f32
//   f16  f16  f16
//   f16  f32  f16
//   f16  f32  f32
//   bf16 bf16 bf16
//   bf16 f32  bf16
//   bf16 f32  f32
// Integer and quantized sources never get here from ADD, which keeps them.
template <typename Op> void binary_op_dispatch(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const enum tevo_type t0 = dst->src[0]->type;
    const enum tevo_type t1 = dst->src[1]->type;
    const enum tevo_type td = dst->type;

    if (t0 == TEVO_TYPE_F32) {
        if (t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_F32) {
            return binary_op<Op, float, float, float>(params, dst);
        }
    } else if (t0 == TEVO_TYPE_F16) {
        if (t1 == TEVO_TYPE_F16 && td == TEVO_TYPE_F16) {
            return binary_op<Op, tevo_fp16_t, tevo_fp16_t, tevo_fp16_t>(params, dst);
        }
        if (t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_F16) {
            return binary_op<Op, tevo_fp16_t, float, tevo_fp16_t>(params, dst);
        }
        if (t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_F32) {
            return binary_op<Op, tevo_fp16_t, float, float>(params, dst);
        }
    } else if (t0 == TEVO_TYPE_BF16) {
        if (t1 == TEVO_TYPE_BF16 && td == TEVO_TYPE_BF16) {
            return binary_op<Op, tevo_bf16_t, tevo_bf16_t, tevo_bf16_t>(params, dst);
        }
        if (t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_BF16) {
            return binary_op<Op, tevo_bf16_t, float, tevo_bf16_t>(params, dst);
        }
        if (t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_F32) {
            return binary_op<Op, tevo_bf16_t, float, float>(params, dst);
        }
    }
    TEVO_ABORT("%s: unsupported types: dst: %s, src0: %s, src1: %s\n", "binary_op", tevo_type_name(td),
               tevo_type_name(t0), tevo_type_name(t1));
}

}  // namespace

void tevo_compute_forward_add_non_quantized(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    binary_op_dispatch<op_add>(params, dst);
}

void tevo_compute_forward_sub(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    binary_op_dispatch<op_sub>(params, dst);
}

void tevo_compute_forward_mul(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    binary_op_dispatch<op_mul>(params, dst);
}

void tevo_compute_forward_div(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    binary_op_dispatch<op_div>(params, dst);
}

namespace {

// c[i] = a[i] op b[i] for i < len, eight at a time; b is one value for all i
// when B_ONE
template <typename Op, bool B_ONE, typename src0_t, typename src1_t, typename dst_t>
void binary_span(dst_t * c, const src0_t * a, const src1_t * b, int64_t len) {
    const __m256 b_one = _mm256_set1_ps(tevo_ew_to_f32(b[0]));
    int64_t      i     = 0;
    for (; i + 8 <= len; i += 8) {
        const __m256 bv = B_ONE ? b_one : tevo_ew_load8(b + i);
        tevo_ew_store8(c + i, Op::v(tevo_ew_load8(a + i), bv));
    }
    for (; i < len; ++i) {
        c[i] = tevo_ew_from_f32<dst_t>(Op::s(tevo_ew_to_f32(a[i]), tevo_ew_to_f32(b[B_ONE ? 0 : i])));
    }
}

// c[i] = a[i] op b[i mod nb] for i < n (n a multiple of nb), src1's row packed
template <typename Op, typename src0_t, typename src1_t, typename dst_t>
void binary_row_packed(dst_t * c, const src0_t * a, const src1_t * b, int64_t n, int64_t nb) {
    const size_t c_bytes = (size_t) n * sizeof(dst_t);
    const bool   vector_ok =
        tevo_ew_vector_safe(c, sizeof(dst_t), a, sizeof(src0_t), n) &&
        (nb == n ? tevo_ew_vector_safe(c, sizeof(dst_t), b, sizeof(src1_t), n)
                 : tevo_ew_disjoint(c, c_bytes, b, (size_t) nb * sizeof(src1_t)));

    if (vector_ok) {
        constexpr bool all_f32 = sizeof(src0_t) == 4 && sizeof(src1_t) == 4 && sizeof(dst_t) == 4;
        if constexpr (all_f32) {
            if (nb == 1) {
                // one value per row: one call with that value repeated (stride 0)
                Op::vdsp(b, 0, a, 1, c, 1, (size_t) n);
            } else {
                for (int64_t r = 0; r < n; r += nb) {
                    Op::vdsp(b, 1, a + r, 1, c + r, 1, (size_t) nb);
                }
            }
            return;
        } else {
            if (nb == 1) {
                binary_span<Op, true>(c, a, b, n);
                return;
            }
            if (nb >= 8) {
                for (int64_t r = 0; r < n; r += nb) {
                    binary_span<Op, false>(c + r, a + r, b, nb);
                }
                return;
            }
        }
    }

    for (int64_t r = 0; r < n; r += nb) {
        for (int64_t i = 0; i < nb; ++i) {
            c[r + i] = tevo_ew_from_f32<dst_t>(Op::s(tevo_ew_to_f32(a[r + i]), tevo_ew_to_f32(b[i])));
        }
    }
}

// c[i] = a[i] op (element i mod nb of a src1 row whose elements are nb10 bytes apart)
template <typename Op, typename src0_t, typename src1_t, typename dst_t>
void binary_row_strided(dst_t * c, const src0_t * a, const char * b, int64_t n, int64_t nb, size_t nb10) {
    int64_t k = 0;
    for (int64_t i = 0; i < n; ++i) {
        const src1_t v = *(const src1_t *) (b + k * nb10);
        c[i]           = tevo_ew_from_f32<dst_t>(Op::s(tevo_ew_to_f32(a[i]), tevo_ew_to_f32(v)));
        k              = k + 1 == nb ? 0 : k + 1;
    }
}

}  // namespace
