// The quantized formats in graphs on the CPU backend: MUL_MAT against the
// same weights dequantized to F32, GET_ROWS and copies in both directions
// (into the types the CPU can write), at 1 and 4 threads; the activation
// formats refuse to be quantized whole.

#include "kernel-test-helpers.h"
#include "quant-test-helpers.h"

namespace {

const std::vector<tevo_type> simple = { TEVO_TYPE_Q4_0,  TEVO_TYPE_Q4_1,  TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1,
                                        TEVO_TYPE_Q8_0,  TEVO_TYPE_Q1_0,  TEVO_TYPE_Q2_0, TEVO_TYPE_MXFP4,
                                        TEVO_TYPE_NVFP4, TEVO_TYPE_TQ1_0, TEVO_TYPE_TQ2_0 };
const std::vector<tevo_type> kquants = { TEVO_TYPE_Q2_K, TEVO_TYPE_Q3_K, TEVO_TYPE_Q4_K, TEVO_TYPE_Q5_K,
                                         TEVO_TYPE_Q6_K };
const std::vector<tevo_type> iquants = { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ2_S,
                                         TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S,  TEVO_TYPE_IQ1_S,
                                         TEVO_TYPE_IQ1_M,   TEVO_TYPE_IQ4_NL, TEVO_TYPE_IQ4_XS };

// importance weights for the types that need them (all 1 otherwise unused)
const float * weights_for(tevo_type t, int64_t n_per_row) {
    static std::vector<float> ones;
    if (!tevo_quantize_requires_imatrix(t)) return nullptr;
    ones.assign((size_t) n_per_row, 1.0f);
    return ones.data();
}

void compute_all(kt::Backend & b, std::initializer_list<tevo_tensor *> outs) {
    tevo_cgraph * gf = tevo_new_graph(b.ctx);
    for (tevo_tensor * t : outs) tevo_build_forward_expand(gf, t);
    ASSERT_EQ(tevo_backend_graph_compute(b.be, gf), TEVO_STATUS_SUCCESS);
}

// out = W x A with W quantized, and with W's dequantized values as F32.
// The quantized product must match, tightly, the double product of the
// dequantized weights with the activations as the CPU quantizes them, and
// the F32 product within what the 8-bit activations cost; every thread
// count must give the same bits.
void check_mul_mat(const std::vector<tevo_type> & types) {
    tevo_cpu_init();
    const int64_t K = 512, M = 19;
    for (tevo_type t : types) {
        for (int64_t N : { 1, 6 }) {
            SCOPED_TRACE(std::string(tevo_type_name(t)) + " N=" + std::to_string(N));
            std::mt19937               rng(1000 + (int) t);
            const std::vector<float>   wsrc = qt::gaussian_row(K * M, rng);
            std::vector<uint8_t>       wq(qt::row_bytes(t, K * M));
            ASSERT_EQ(tevo_quantize_chunk(t, wsrc.data(), wq.data(), 0, M, K, weights_for(t, K)), wq.size());
            const std::vector<float>   wd  = qt::dequantize(t, wq, K * M);
            const std::vector<float>   act = qt::gaussian_row(K * N * 2, rng);

            // the activations as the kernel sees them
            const tevo_type    vt = tevo_get_type_traits_cpu(t)->vec_dot_type;
            std::vector<float> aq;
            for (int64_t r = 0; r < N * 2; ++r) {
                const std::vector<float> row(act.begin() + r * K, act.begin() + (r + 1) * K);
                const std::vector<float> back = qt::dequantize(vt, qt::quantize_cpu(vt, row), K);
                aq.insert(aq.end(), back.begin(), back.end());
            }

            std::vector<float> first;
            for (int nth : { 1, 4 }) {
                kt::Backend   b(nth);
                tevo_tensor * w   = tevo_new_tensor_2d(b.ctx, t, K, M);
                tevo_tensor * wf  = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, K, M);
                tevo_tensor * a   = tevo_new_tensor_3d(b.ctx, TEVO_TYPE_F32, K, N, 2);
                tevo_tensor * out = tevo_mul_mat(b.ctx, w, a);
                tevo_tensor * ref = tevo_mul_mat(b.ctx, wf, a);
                b.alloc();
                b.set(w, wq);
                b.set(wf, wd);
                b.set(a, act);
                compute_all(b, { out, ref });
                const std::vector<float> o = b.get<float>(out);
                const std::vector<float> f = b.get<float>(ref);

                for (int64_t c = 0; c < N * 2; ++c) {
                    for (int64_t m = 0; m < M; ++m) {
                        double dq = 0, mag = 0;
                        for (int64_t k = 0; k < K; ++k) {
                            dq += (double) wd[m * K + k] * aq[c * K + k];
                            mag += std::fabs((double) wd[m * K + k] * act[c * K + k]);
                        }
                        const double got = o[c * M + m];
                        // q8_1 carries its code sum rounded to half: q4_1 and
                        // q5_1 meet that rounding through their minimums
                        const double tight = vt == TEVO_TYPE_Q8_1 ? std::ldexp(mag, -9) : std::ldexp(mag, -19);
                        ASSERT_LE(std::fabs(got - dq), tight) << c << " " << m;
                        ASSERT_LE(std::fabs(got - (double) f[c * M + m]), 0.011 * mag) << c << " " << m;
                    }
                }
                if (first.empty()) {
                    first = o;
                } else {
                    EXPECT_EQ(memcmp(first.data(), o.data(), o.size() * sizeof(float)), 0) << "threads " << nth;
                }
            }
        }
    }
}

TEST(QuantsCpuOps, MulMatAgainstDequantizedWeights) {
    check_mul_mat(simple);
    check_mul_mat(kquants);
}

// One activation row against many weight rows, the decoder's output
// projection: the chunk split changes with the row count and the thread
// count, every value must still be the one-row dot product's bits.
TEST(QuantsCpuOps, OneRowProductsGiveTheOneRowKernelBits) {
    tevo_cpu_init();
    const int64_t K = 384;
    for (tevo_type t : { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0 }) {
        // 3 rows: fewer than the threads; 700: chunks shrunk to 64 rows, then
        // one per thread; 5000: 256-row chunks with a short last one
        for (int64_t M : { 3, 700, 5000 }) {
            SCOPED_TRACE(std::string(tevo_type_name(t)) + " rows=" + std::to_string(M));
            std::mt19937               rng(2000 + (int) t);
            std::vector<uint8_t>       wq(qt::row_bytes(t, K * M));
            const std::vector<float>   wsrc = qt::gaussian_row(K * M, rng);
            ASSERT_EQ(tevo_quantize_chunk(t, wsrc.data(), wq.data(), 0, M, K, nullptr), wq.size());
            const std::vector<float>   act = qt::gaussian_row(K, rng);
            const tevo_type            vt  = tevo_get_type_traits_cpu(t)->vec_dot_type;
            const std::vector<uint8_t> aq  = qt::quantize_cpu(vt, act);
            const size_t               rs  = qt::row_bytes(t, K);

            std::vector<float> want((size_t) M);
            for (int64_t m = 0; m < M; ++m) {
                tevo_get_type_traits_cpu(t)->vec_dot((int) K, &want[m], 0, wq.data() + m * rs, 0, aq.data(), 0, 1);
            }
            for (int nth : { 1, 3, 4 }) {
                kt::Backend   b(nth);
                tevo_tensor * w   = tevo_new_tensor_2d(b.ctx, t, K, M);
                tevo_tensor * a   = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, K, 1);
                tevo_tensor * out = tevo_mul_mat(b.ctx, w, a);
                b.alloc();
                b.set(w, wq);
                b.set(a, act);
                compute_all(b, { out });
                const std::vector<float> o = b.get<float>(out);
                EXPECT_EQ(memcmp(o.data(), want.data(), want.size() * sizeof(float)), 0) << "threads " << nth;
            }
        }
    }
}

TEST(QuantsCpuOps, MulMatIQuantsAgainstDequantizedWeights) {
    check_mul_mat(iquants);
}

// GET_ROWS gives the dequantized rows; copies from F32 give the CPU row
// quantizer's bytes and copies back give the dequantized values.
TEST(QuantsCpuOps, GetRowsAndCopies) {
    tevo_cpu_init();
    const int64_t K = 256, R = 5;
    std::vector<tevo_type> all = simple;
    all.insert(all.end(), kquants.begin(), kquants.end());
    all.insert(all.end(), iquants.begin(), iquants.end());
    for (tevo_type t : all) {
        SCOPED_TRACE(tevo_type_name(t));
        std::mt19937             rng(2000 + (int) t);
        const std::vector<float> src = qt::gaussian_row(K * R, rng);
        std::vector<uint8_t>     wq(qt::row_bytes(t, K * R));
        tevo_quantize_chunk(t, src.data(), wq.data(), 0, R, K, weights_for(t, K));
        const std::vector<float> wd = qt::dequantize(t, wq, K * R);
        // most i-quants have no CPU row quantizer: nothing copies into them
        const bool                 writable = tevo_get_type_traits_cpu(t)->from_float != nullptr;
        const std::vector<uint8_t> cpu      = writable ? qt::quantize_cpu(t, src) : std::vector<uint8_t>();
        const std::vector<int32_t> ids = { 4, 0, 2, 2 };

        for (int nth : { 1, 4 }) {
            kt::Backend   b(nth);
            tevo_tensor * w    = tevo_new_tensor_2d(b.ctx, t, K, R);
            tevo_tensor * id   = tevo_new_tensor_1d(b.ctx, TEVO_TYPE_I32, 4);
            tevo_tensor * rows = tevo_get_rows(b.ctx, w, id);
            tevo_tensor * f    = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, K, R);
            tevo_tensor * q    = tevo_new_tensor_2d(b.ctx, t, K, R);
            tevo_tensor * toq  = writable ? tevo_cpy(b.ctx, f, q) : nullptr;
            tevo_tensor * tof  = tevo_cast(b.ctx, w, TEVO_TYPE_F32);
            b.alloc();
            b.set(w, wq);
            b.set(id, ids);
            b.set(f, src);
            if (writable) {
                compute_all(b, { rows, toq, tof });
                EXPECT_EQ(b.get<uint8_t>(q), cpu);
            } else {
                compute_all(b, { rows, tof });
            }

            const std::vector<float> got = b.get<float>(rows);
            for (size_t r = 0; r < ids.size(); ++r) {
                EXPECT_EQ(memcmp(got.data() + r * K, wd.data() + ids[r] * K, K * sizeof(float)), 0) << r;
            }
            const std::vector<float> back = b.get<float>(tof);
            EXPECT_EQ(memcmp(back.data(), wd.data(), wd.size() * sizeof(float)), 0);
        }
    }
}

// NaN activations make NaN outputs, not plausible numbers.
TEST(QuantsCpuOps, NonFiniteActivationsPropagate) {
    tevo_cpu_init();
    const int64_t K = 256, M = 3;
    for (tevo_type t : { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q4_K, TEVO_TYPE_TQ2_0 }) {
        std::mt19937             rng(3);
        const std::vector<float> wsrc = qt::gaussian_row(K * M, rng);
        std::vector<uint8_t>     wq(qt::row_bytes(t, K * M));
        tevo_quantize_chunk(t, wsrc.data(), wq.data(), 0, M, K, nullptr);
        std::vector<float> act = qt::gaussian_row(K * 2, rng);
        act[K + 17]            = NAN;

        kt::Backend   b(2);
        tevo_tensor * w   = tevo_new_tensor_2d(b.ctx, t, K, M);
        tevo_tensor * a   = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, K, 2);
        tevo_tensor * out = tevo_mul_mat(b.ctx, w, a);
        b.alloc();
        b.set(w, wq);
        b.set(a, act);
        b.run(out);
        const std::vector<float> o = b.get<float>(out);
        for (int m = 0; m < M; ++m) {
            EXPECT_TRUE(std::isfinite(o[m])) << tevo_type_name(t);
            EXPECT_TRUE(std::isnan(o[M + m])) << tevo_type_name(t);
        }
    }
}

TEST(QuantsCpuOpsDeathTest, ActivationFormatsRefuse) {
    kt::death_setup();
    tevo_cpu_init();
    std::vector<float>   src(256, 1.0f);
    std::vector<uint8_t> dst(1024);
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_Q8_K, src.data(), dst.data(), 0, 1, 256, nullptr),
                 "quantization to q8_K is not available");
    EXPECT_DEATH(tevo_quantize_chunk(TEVO_TYPE_Q8_1, src.data(), dst.data(), 0, 1, 256, nullptr),
                 "quantization to q8_1 is not available");

    // q8_1 rows have no float form to gather
    auto run_get_rows = [](tevo_type t) {
        kt::Backend   b(1);
        tevo_tensor * w  = tevo_new_tensor_2d(b.ctx, t, 256, 2);
        tevo_tensor * id = tevo_new_tensor_1d(b.ctx, TEVO_TYPE_I32, 1);
        tevo_tensor * r  = tevo_get_rows(b.ctx, w, id);
        b.alloc();
        tevo_backend_buffer_clear(b.buf, 0);
        b.run(r);
    };
    EXPECT_DEATH(run_get_rows(TEVO_TYPE_Q8_1), "no row-to-float converter for type q8_1");
}

} // namespace
