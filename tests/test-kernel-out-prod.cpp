// The outer-product kernel: float sources (tiled, with batch broadcast) and
// half sources, plain and transposed second operands, against a float replay
// of the fused multiply-adds bit for bit and a double-precision reference,
// with 1, 3 and 8 threads; and the refusals, the quantized path's type
// checks among them.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

struct OutProdCase {
    tevo_type type0;
    int64_t   ne00, ne01, ne02, ne03; // src0
    int64_t   ne10, ne12, ne13;       // src1 (ne11 = ne01)
    bool      transposed1;            // src1 stored transposed, as the gradient of a matrix product hands it
};

// dst[i0, i1, i2, i3] = sum over k of src0[i0, k, i02, i03] * src1[i1, k, i2, i3],
// replayed with the kernel's fused multiply-adds in ascending k
void check(const tevo_tensor * s0, const tevo_tensor * s1, const tevo_tensor * dst) {
    const int64_t r2 = dst->ne[2] / s0->ne[2];
    const int64_t r3 = dst->ne[3] / s0->ne[3];
    int           bad = 0;
    for_each(dst, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        float  acc = 0.0f;
        double ref = 0.0;
        for (int64_t k = 0; k < s0->ne[1]; ++k) {
            const float a = get(s0, i0, k, i2 / r2, i3 / r3);
            const float b = get(s1, i1, k, i2, i3);
            acc           = fmaf(a, b, acc);
            ref += (double) a * (double) b;
        }
        const float got = get(dst, i0, i1, i2, i3);
        if (bits(got) != bits(acc) && bad++ < 5) {
            ADD_FAILURE() << "at " << i0 << "," << i1 << "," << i2 << "," << i3 << ": " << got << " vs replay " << acc;
        }
        EXPECT_NEAR(got, ref, 1e-5 * (1.0 + std::fabs(ref)) * (double) (s0->ne[1] + 1));
    });
}

TEST(KernelOutProd, EveryShapeAndThreadCountMatchesTheReplay) {
    const OutProdCase cases[] = {
        { TEVO_TYPE_F32, 13, 33, 1, 1, 7, 1, 1, false },   // one full 32-block and a single-row remainder
        { TEVO_TYPE_F32, 24, 64, 2, 1, 20, 2, 1, false },  // two full blocks, more than 16 rows per thread
        { TEVO_TYPE_F32, 9, 5, 1, 1, 3, 4, 1, false },     // one src0 matrix for four batches
        { TEVO_TYPE_F32, 8, 40, 2, 1, 6, 6, 2, false },    // src0 matrices shared by groups of three
        { TEVO_TYPE_F32, 7, 9, 1, 2, 4, 3, 4, false },     // shared in both upper dimensions
        { TEVO_TYPE_F32, 16, 35, 2, 2, 5, 2, 2, true },    // transposed src1
        { TEVO_TYPE_F32, 5, 0, 1, 1, 4, 1, 1, false },     // nothing to sum: all zeros
        { TEVO_TYPE_F32, 3, 2, 1, 1, 1, 1, 1, false },     // fewer rows than threads
        { TEVO_TYPE_F16, 19, 37, 2, 1, 6, 2, 1, false },
        { TEVO_TYPE_F16, 8, 33, 1, 1, 5, 1, 1, true },
    };
    std::mt19937 rng(7);
    for (const OutProdCase & c : cases) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(testing::Message() << tevo_type_name(c.type0) << " ne00 " << c.ne00 << " ne01 " << c.ne01
                                            << " nth " << nth);
            Ctx           ctx;
            tevo_tensor * s0 = tevo_new_tensor_4d(ctx.ctx, c.type0, c.ne00, c.ne01, c.ne02, c.ne03);
            tevo_tensor * s1;
            if (c.transposed1) {
                s1 = tevo_transpose(ctx.ctx, tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.ne01, c.ne10, c.ne12, c.ne13));
            } else {
                s1 = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.ne10, c.ne01, c.ne12, c.ne13);
            }
            fill(s0, rng);
            fill(s1, rng);
            tevo_tensor * out = tevo_out_prod(ctx.ctx, s0, s1);
            poison(out);
            compute_n(ctx.ctx, out, nth);
            check(s0, s1, out);
        }
    }
}

// a node the constructors would refuse, to reach the kernel's own checks
tevo_tensor * out_prod_node(tevo_context * ctx, tevo_tensor * a, tevo_tensor * b, tevo_type dst_type,
                            const int64_t * ne) {
    tevo_tensor * t = tevo_new_tensor(ctx, dst_type, 4, ne);
    t->op           = TEVO_OP_OUT_PROD;
    t->src[0]       = a;
    t->src[1]       = b;
    return t;
}

TEST(KernelOutProdDeathTest, Refusals) {
    death_setup();
    Ctx c;
    {
        // six batches cannot share four matrices
        tevo_tensor * a       = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 3, 4);
        tevo_tensor * b       = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 5, 3, 6);
        const int64_t ne[4]   = { 4, 5, 6, 1 };
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, out_prod_node(c.ctx, a, b, TEVO_TYPE_F32, ne)),
                     kernel_assert_re("ne2 % ne02 == 0"));
    }
    {
        // half rows are not broadcast (the constructor refuses it too)
        tevo_tensor * a     = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 4, 3, 1);
        tevo_tensor * b     = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 5, 3, 2);
        const int64_t ne[4] = { 4, 5, 2, 1 };
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, out_prod_node(c.ctx, a, b, TEVO_TYPE_F32, ne)),
                     kernel_assert_re("ne02 == ne12"));
    }
    {
        tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 4, 3);
        tevo_tensor * b = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 3);
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, tevo_out_prod(c.ctx, a, b)),
                     kernel_abort_re("fatal error"));
    }
    {
        // block rows: src1 and dst are read and written as floats, so both must be
        tevo_tensor * a     = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q8_0, 32, 3);
        tevo_tensor * bh    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 5, 3);
        tevo_tensor * bf    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 3);
        const int64_t ne[4] = { 32, 5, 1, 1 };
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, tevo_out_prod(c.ctx, a, bh)),
                     kernel_assert_re("src1->type == TEVO_TYPE_F32"));
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, out_prod_node(c.ctx, a, bf, TEVO_TYPE_F16, ne)),
                     kernel_assert_re("dst->type == TEVO_TYPE_F32"));
    }
    {
        // a float destination whose type says otherwise
        tevo_tensor * a     = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
        tevo_tensor * b     = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 3);
        const int64_t ne[4] = { 4, 5, 1, 1 };
        EXPECT_DEATH(call_kernel(tevo_compute_forward_out_prod, out_prod_node(c.ctx, a, b, TEVO_TYPE_F16, ne)),
                     kernel_assert_re("dst->type == TEVO_TYPE_F32"));
    }
}

} // namespace
