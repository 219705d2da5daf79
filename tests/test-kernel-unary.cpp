// The one-operand element-wise kernels: every operator and type pair, through
// the graph, against its scalar function (math-library calls included, so bit
// for bit), over special values, vector bodies and tails, permuted and padded
// sources, in place, at 1, 3 and 8 threads and through the CPU backend; the
// division of rows among threads; the refused pairs and layouts.

#include "kernel-test-helpers.h"
#include "cpu/ops/elementwise-unary.h"

#include <immintrin.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using kt::bits;
using kt::from_bits;

typedef void (*kernel_fn)(const tevo_compute_params *, tevo_tensor *);

// ---------------------------------------------------------------------------
// reference conversions and functions, written from the rules

float ref_half_to_float(uint16_t h) {
    const uint32_t sign = (uint32_t) (h >> 15) << 31;
    const int      e    = (h >> 10) & 31;
    const uint32_t m    = h & 1023;
    if (e == 31) {
        return from_bits(sign | 0x7F800000u | (m << 13));
    }
    const float mag = e == 0 ? std::ldexp((float) m, -24) : std::ldexp((float) (m + 1024), e - 25);
    return sign ? -mag : mag;
}

uint16_t ref_float_to_half(float f) {
    if (std::isnan(f)) {
        return (uint16_t) (((bits(f) >> 16) & 0x8000u) | 0x7E00u);
    }
    return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT);
}

uint16_t ref_float_to_bf16(float f) {
    const uint32_t u = bits(f);
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) {
        return (uint16_t) ((u >> 16) | 0x40u);
    }
    return (uint16_t) ((u + 0x7FFFu + ((u >> 16) & 1u)) >> 16);
}

float ref_widen(enum tevo_type type, uint32_t b) {
    switch (type) {
        case TEVO_TYPE_F32: return from_bits(b);
        case TEVO_TYPE_F16: return ref_half_to_float((uint16_t) b);
        default:            return from_bits(b << 16);
    }
}

uint32_t ref_narrow(enum tevo_type type, float v) {
    switch (type) {
        case TEVO_TYPE_F32: return bits(v);
        case TEVO_TYPE_F16: return ref_float_to_half(v);
        default:            return ref_float_to_bf16(v);
    }
}

float r_abs(float x) { return from_bits(bits(x) & 0x7FFFFFFFu); }
float r_sgn(float x) { return x > 0 ? 1.0f : x < 0 ? -1.0f : 0.0f; }
float r_neg(float x) { return from_bits(bits(x) ^ 0x80000000u); }
float r_step(float x) { return x > 0 ? 1.0f : 0.0f; }
float r_tanh(float x) { return tanhf(x); }
float r_elu(float x) { return x > 0 ? x : expm1f(x); }
float r_relu(float x) { return x > 0 ? x : 0.0f; }
float r_sigmoid(float x) {
    const float e = expf(-x);
    return 1.0f / (e + 1.0f);
}
float r_hardsigmoid(float x) {
    const float s = x + 3.0f;
    const float t = s / 6.0f;
    return std::isnan(t) || t <= 0 ? 0.0f : (t >= 1 ? 1.0f : t);
}
float r_hardswish(float x) { return x * r_hardsigmoid(x); }
float r_exp(float x) { return expf(x); }
float r_expm1(float x) {
    const float e = expf(x);
    return e - 1.0f;
}
float r_softplus(float x) {
    if (x > 20.0f) {
        return x;
    }
    const float e = expf(x) + 1.0f;
    return logf(e);
}
float r_floor(float x) { return floorf(x); }
float r_ceil(float x) { return ceilf(x); }
float r_round(float x) {
    const float s = x + copysignf(from_bits(0x3EFFFFFFu), x);
    return truncf(s);
}
float r_trunc(float x) { return truncf(x); }
float r_sqr(float x) { return x * x; }
float r_sqrt(float x) { return sqrtf(x); }
float r_sin(float x) { return sinf(x); }
float r_cos(float x) { return cosf(x); }
float r_log(float x) { return logf(x); }

struct UnaryOp {
    const char *  name;
    kernel_fn     kernel;
    float (*ref)(float);
    enum tevo_op  op;      // TEVO_OP_UNARY for the sub-operators
    int           sub_op;  // word 0 of a unary node
};

const UnaryOp kOps[] = {
    { "abs", tevo_compute_forward_abs, r_abs, TEVO_OP_UNARY, TEVO_UNARY_OP_ABS },
    { "sgn", tevo_compute_forward_sgn, r_sgn, TEVO_OP_UNARY, TEVO_UNARY_OP_SGN },
    { "neg", tevo_compute_forward_neg, r_neg, TEVO_OP_UNARY, TEVO_UNARY_OP_NEG },
    { "step", tevo_compute_forward_step, r_step, TEVO_OP_UNARY, TEVO_UNARY_OP_STEP },
    { "tanh", tevo_compute_forward_tanh, r_tanh, TEVO_OP_UNARY, TEVO_UNARY_OP_TANH },
    { "elu", tevo_compute_forward_elu, r_elu, TEVO_OP_UNARY, TEVO_UNARY_OP_ELU },
    { "relu", tevo_compute_forward_relu, r_relu, TEVO_OP_UNARY, TEVO_UNARY_OP_RELU },
    { "sigmoid", tevo_compute_forward_sigmoid, r_sigmoid, TEVO_OP_UNARY, TEVO_UNARY_OP_SIGMOID },
    { "hardswish", tevo_compute_forward_hardswish, r_hardswish, TEVO_OP_UNARY, TEVO_UNARY_OP_HARDSWISH },
    { "hardsigmoid", tevo_compute_forward_hardsigmoid, r_hardsigmoid, TEVO_OP_UNARY, TEVO_UNARY_OP_HARDSIGMOID },
    { "exp", tevo_compute_forward_exp, r_exp, TEVO_OP_UNARY, TEVO_UNARY_OP_EXP },
    { "expm1", tevo_compute_forward_expm1, r_expm1, TEVO_OP_UNARY, TEVO_UNARY_OP_EXPM1 },
    { "softplus", tevo_compute_forward_softplus, r_softplus, TEVO_OP_UNARY, TEVO_UNARY_OP_SOFTPLUS },
    { "floor", tevo_compute_forward_floor, r_floor, TEVO_OP_UNARY, TEVO_UNARY_OP_FLOOR },
    { "ceil", tevo_compute_forward_ceil, r_ceil, TEVO_OP_UNARY, TEVO_UNARY_OP_CEIL },
    { "round", tevo_compute_forward_round, r_round, TEVO_OP_UNARY, TEVO_UNARY_OP_ROUND },
    { "trunc", tevo_compute_forward_trunc, r_trunc, TEVO_OP_UNARY, TEVO_UNARY_OP_TRUNC },
    { "sqr", tevo_compute_forward_sqr, r_sqr, TEVO_OP_SQR, 0 },
    { "sqrt", tevo_compute_forward_sqrt, r_sqrt, TEVO_OP_SQRT, 0 },
    { "sin", tevo_compute_forward_sin, r_sin, TEVO_OP_SIN, 0 },
    { "cos", tevo_compute_forward_cos, r_cos, TEVO_OP_COS, 0 },
    { "log", tevo_compute_forward_log, r_log, TEVO_OP_LOG, 0 },
};

struct Pair {
    enum tevo_type src, dst;
};

const Pair kPairs[] = {
    { TEVO_TYPE_F32, TEVO_TYPE_F32 },   { TEVO_TYPE_F16, TEVO_TYPE_F16 },  { TEVO_TYPE_F16, TEVO_TYPE_F32 },
    { TEVO_TYPE_BF16, TEVO_TYPE_BF16 }, { TEVO_TYPE_BF16, TEVO_TYPE_F32 },
};

// values the operators treat specially, then random ones
const float kSpecials[] = {
    0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, 0.5f, 1.5f, 2.5f, -2.5f, -0.5f, 0.49999997f, 8388609.0f, -0.3f,
    -0.7f, 1e-8f, -1e-8f, 20.0f, 20.000002f, 100.0f, -100.0f, -4.0f, -3.0f, 3.0f, 1e-40f, -1e-40f, 65520.0f,
    -1e30f, 3.4e38f,
};

// All threads of a run enter the kernel at once with the same node, as the
// graph walk does; these kernels need no barrier.
void run_threads(kernel_fn kernel, tevo_tensor * dst, int nth) {
    std::vector<std::thread> threads;
    for (int ith = 0; ith < nth; ++ith) {
        threads.emplace_back([=]() { kt::call_kernel(kernel, dst, ith, nth); });
    }
    for (std::thread & t : threads) {
        t.join();
    }
}

void fill_values(tevo_tensor * t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> dist(-8.0f, 8.0f);
    size_t                                k = 0;
    kt::for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        const float v = k < sizeof(kSpecials) / sizeof(kSpecials[0]) ? kSpecials[k] : dist(rng);
        ++k;
        char * p = kt::elem_ptr(t, i0, i1, i2, i3);
        switch (t->type) {
            case TEVO_TYPE_F32:  memcpy(p, &v, 4); break;
            case TEVO_TYPE_F16:  *(uint16_t *) p = ref_float_to_half(v); break;
            default:             *(uint16_t *) p = ref_float_to_bf16(v); break;
        }
    });
}

std::vector<uint32_t> bits_of(const tevo_tensor * t) {
    std::vector<uint32_t> v;
    kt::for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { v.push_back(kt::get_bits(t, i0, i1, i2, i3)); });
    return v;
}

void check(const char * what, float (*ref)(float), enum tevo_type src_type, const std::vector<uint32_t> & src_bits,
           const tevo_tensor * dst) {
    int     bad = 0;
    int64_t idx = 0;
    kt::for_each(dst, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        const float    x    = ref_widen(src_type, src_bits[idx++]);
        const uint32_t want = ref_narrow(dst->type, ref(x));
        const uint32_t got  = kt::get_bits(dst, i0, i1, i2, i3);
        if (got != want && bad++ < 4) {
            ADD_FAILURE() << what << " of 0x" << std::hex << bits(x) << " at " << std::dec << i0 << "," << i1 << ","
                          << i2 << "," << i3 << ": got 0x" << std::hex << got << " want 0x" << want;
        }
    });
}

tevo_tensor * make_node(tevo_context * ctx, const UnaryOp & op, tevo_tensor * src, enum tevo_type dst_type) {
    tevo_tensor * dst = tevo_new_tensor(ctx, dst_type, 4, src->ne);
    dst->op           = op.op;
    dst->src[0]       = src;
    if (op.op == TEVO_OP_UNARY) {
        dst->op_params[0] = op.sub_op;
    }
    return dst;
}

enum class Layout { packed, permuted, padded };

tevo_tensor * make_source(tevo_context * ctx, enum tevo_type type, const int64_t * ne, Layout layout) {
    if (layout == Layout::permuted) {
        return tevo_permute(ctx, tevo_new_tensor_4d(ctx, type, ne[0], ne[2], ne[1], ne[3]), 0, 2, 1, 3);
    }
    if (layout == Layout::padded) {
        tevo_tensor * base = tevo_new_tensor_4d(ctx, type, ne[0] + 5, ne[1], ne[2], ne[3]);
        return tevo_view_4d(ctx, base, ne[0], ne[1], ne[2], ne[3], base->nb[1], base->nb[2], base->nb[3],
                            2 * tevo_type_size(type));
    }
    return tevo_new_tensor(ctx, type, 4, ne);
}

struct ShapeCase {
    const char * name;
    int64_t      ne[4];
    Layout       layout;
};

const ShapeCase kShapes[] = {
    { "rows of 37", { 37, 3, 2, 1 }, Layout::packed },
    { "rows shorter than a vector", { 5, 7, 1, 1 }, Layout::packed },
    { "permuted", { 16, 3, 4, 1 }, Layout::permuted },
    { "padded rows", { 29, 4, 2, 2 }, Layout::padded },
};

TEST(KernelUnary, EveryOperatorPairAndShapeMatchesItsScalarFunction) {
    std::mt19937 rng(17);
    for (const UnaryOp & op : kOps) {
        for (const Pair & pair : kPairs) {
            for (const ShapeCase & sc : kShapes) {
                kt::Ctx       c;
                tevo_tensor * src = make_source(c.ctx, pair.src, sc.ne, sc.layout);
                fill_values(src, rng);
                const std::vector<uint32_t> src_bits = bits_of(src);
                tevo_tensor *               dst      = make_node(c.ctx, op, src, pair.dst);
                for (int nt : kt::thread_counts()) {
                    kt::poison(dst);
                    kt::compute(c.ctx, { dst }, nt);
                    const std::string what = std::string(op.name) + " " + tevo_type_name(pair.src) + "->" +
                                             tevo_type_name(pair.dst) + " " + sc.name + " threads " +
                                             std::to_string(nt);
                    check(what.c_str(), op.ref, pair.src, src_bits, dst);
                }
            }
        }
    }
}

TEST(KernelUnary, InPlaceGivesTheSameBits) {
    std::mt19937 rng(19);
    for (const UnaryOp & op : kOps) {
        for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
            kt::Ctx       c;
            const int64_t ne[4] = { 43, 5, 1, 1 };
            tevo_tensor * src   = tevo_new_tensor(c.ctx, type, 4, ne);
            fill_values(src, rng);
            tevo_tensor * out = make_node(c.ctx, op, src, type);
            run_threads(op.kernel, out, 3);

            tevo_tensor * in = tevo_view_tensor(c.ctx, src);
            in->op           = op.op;
            in->op_params[0] = op.sub_op;
            in->src[0]       = src;
            run_threads(op.kernel, in, 8);
            EXPECT_EQ(memcmp(src->data, out->data, tevo_nbytes(out)), 0) << op.name << " " << tevo_type_name(type);
        }
    }
}

TEST(KernelUnary, ThroughTheGraphConstructorsAndTheCpuBackend) {
    std::mt19937 rng(23);
    // a chain of the constructors, the last one in place
    kt::Ctx       c;
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 100, 9);
    kt::fill(x, rng, 0.1f, 4.0f);
    tevo_tensor * y = tevo_cos_inplace(c.ctx, tevo_sin(c.ctx, tevo_log(c.ctx, tevo_sqrt(c.ctx, tevo_sqr(c.ctx, x)))));
    kt::compute(c.ctx, { y }, 3);
    for (int64_t i = 0; i < 900; ++i) {
        const float v  = ((const float *) x->data)[i];
        const float sq = v * v;
        ASSERT_EQ(bits(((const float *) y->data)[i]), bits(cosf(sinf(logf(sqrtf(sq)))))) << i;
    }

    std::vector<float> vals(64 * 6);
    for (float & v : vals) {
        v = std::uniform_real_distribution<float>(0.5f, 3.0f)(rng);
    }
    tevo_tensor * in = nullptr;
    kt::compute_on_backend(
        [&](tevo_context * ctx) {
            in = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 64, 6);
            return tevo_sqrt(ctx, tevo_sqr(ctx, in));
        },
        [&]() {
            std::vector<uint16_t> h(vals.size());
            for (size_t i = 0; i < h.size(); ++i) {
                h[i] = ref_float_to_half(vals[i]);
            }
            tevo_backend_tensor_set(in, h.data(), 0, h.size() * 2);
        },
        [&](tevo_tensor * out) {
            std::vector<uint16_t> got(vals.size());
            tevo_backend_tensor_get(out, got.data(), 0, got.size() * 2);
            for (size_t i = 0; i < got.size(); ++i) {
                const float    h  = ref_half_to_float(ref_float_to_half(vals[i]));
                const uint16_t sq = ref_float_to_half(h * h);
                const float    s  = ref_half_to_float(sq);
                ASSERT_EQ(got[i], ref_float_to_half(sqrtf(s))) << i;
            }
        });
}

// ---------------------------------------------------------------------------
// values fixed by the rules, one element at a time

struct Fixed {
    const char *   what;
    kernel_fn      kernel;
    enum tevo_type src, dst;
    uint32_t       x, want; // stored bits
};

const Fixed kFixed[] = {
    { "round 0.5", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x3F000000u, 0x3F800000u },
    { "round 1.5", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x3FC00000u, 0x40000000u },
    { "round 2.5", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x40200000u, 0x40400000u },
    { "round -2.5", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xC0200000u, 0xC0400000u },
    { "round 0.49999997", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x3EFFFFFFu, 0u },
    { "round -0.3", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xBE99999Au, 0x80000000u },
    { "round -0", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x80000000u, 0x80000000u },
    { "round 8388609", tevo_compute_forward_round, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x4B000001u, 0x4B000001u },
    { "round f16 2.5", tevo_compute_forward_round, TEVO_TYPE_F16, TEVO_TYPE_F16, 0x4100u, 0x4200u },
    { "expm1 1e-8", tevo_compute_forward_expm1, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x322BCC77u, 0u },
    { "expm1 -inf", tevo_compute_forward_expm1, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xFF800000u, 0xBF800000u },
    { "elu -1e-8", tevo_compute_forward_elu, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xB22BCC77u, 0xB22BCC77u },
    { "elu -0", tevo_compute_forward_elu, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x80000000u, 0x80000000u },
    { "sigmoid -100", tevo_compute_forward_sigmoid, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xC2C80000u, 0u },
    { "sigmoid 100", tevo_compute_forward_sigmoid, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x42C80000u, 0x3F800000u },
    { "softplus 20.000002", tevo_compute_forward_softplus, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x41A00001u, 0x41A00001u },
    { "hardswish -4", tevo_compute_forward_hardswish, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xC0800000u, 0x80000000u },
    { "hardswish NaN", tevo_compute_forward_hardswish, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x7FC00000u, 0x7FC00000u },
    { "hardsigmoid NaN", tevo_compute_forward_hardsigmoid, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x7FC00000u, 0u },
    { "sgn NaN", tevo_compute_forward_sgn, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xFFC00000u, 0u },
    { "sgn -0", tevo_compute_forward_sgn, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x80000000u, 0u },
    { "step NaN", tevo_compute_forward_step, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x7FC00000u, 0u },
    { "relu NaN", tevo_compute_forward_relu, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x7FC00000u, 0u },
    { "relu -0", tevo_compute_forward_relu, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x80000000u, 0u },
    { "abs f32 NaN keeps its payload", tevo_compute_forward_abs, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xFF812345u,
      0x7F812345u },
    { "neg f32 NaN keeps its payload", tevo_compute_forward_neg, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x7F812345u,
      0xFF812345u },
    { "abs f16 NaN", tevo_compute_forward_abs, TEVO_TYPE_F16, TEVO_TYPE_F16, 0xFE01u, 0x7E00u },
    { "neg f16 NaN", tevo_compute_forward_neg, TEVO_TYPE_F16, TEVO_TYPE_F16, 0x7E01u, 0xFE00u },
    { "neg f16 NaN widened", tevo_compute_forward_neg, TEVO_TYPE_F16, TEVO_TYPE_F32, 0x7E01u, 0xFFC02000u },
    { "neg bf16 NaN", tevo_compute_forward_neg, TEVO_TYPE_BF16, TEVO_TYPE_BF16, 0xFF81u, 0x7FC1u },
    { "sqrt -0", tevo_compute_forward_sqrt, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x80000000u, 0x80000000u },
    { "sqrt 2", tevo_compute_forward_sqrt, TEVO_TYPE_F32, TEVO_TYPE_F32, 0x40000000u, 0x3FB504F3u },
    { "ceil -0.5", tevo_compute_forward_ceil, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xBF000000u, 0x80000000u },
    { "trunc -0.7", tevo_compute_forward_trunc, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xBF333333u, 0x80000000u },
    { "floor -0.5", tevo_compute_forward_floor, TEVO_TYPE_F32, TEVO_TYPE_F32, 0xBF000000u, 0xBF800000u },
    { "log 0", tevo_compute_forward_log, TEVO_TYPE_F32, TEVO_TYPE_F32, 0u, 0xFF800000u },
    { "sqr f16 to inf", tevo_compute_forward_sqr, TEVO_TYPE_F16, TEVO_TYPE_F16, 0x5C00u, 0x7C00u },
};

TEST(KernelUnary, FixedValuesBitForBit) {
    for (const Fixed & fx : kFixed) {
        // alone, inside a vector body and in a tail
        for (int64_t n : { 1, 8, 13 }) {
            kt::Ctx       c;
            tevo_tensor * src = tevo_new_tensor_1d(c.ctx, fx.src, n);
            for (int64_t i = 0; i < n; ++i) {
                memcpy(kt::elem_ptr(src, i, 0, 0, 0), &fx.x, tevo_type_size(fx.src));
            }
            tevo_tensor * dst = tevo_new_tensor_1d(c.ctx, fx.dst, n);
            dst->src[0]       = src;
            kt::call_kernel(fx.kernel, dst);
            for (int64_t i = 0; i < n; ++i) {
                EXPECT_EQ(kt::get_bits(dst, i), fx.want) << fx.what << " n " << n << " i " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// XIELU

float r_xielu(float x, float alpha_n, float alpha_p, float beta, float eps) {
    if (x > 0) {
        const float p = x * alpha_p;
        const float q = x * beta;
        return fmaf(x, p, q);
    }
    const float m = (std::isnan(x) || eps < x) ? eps : x;
    const float e = expm1f(m);
    const float d = e - x;
    const float q = x * beta;
    return fmaf(d, alpha_n, q);
}

TEST(KernelUnary, XieluFromItsStoredWordsOnPaddedRows) {
    std::mt19937 rng(29);
    for (const Pair & pair : kPairs) {
        kt::Ctx c;
        // rows padded; dimension 2 packed over the padded row stride
        tevo_tensor * base = tevo_new_tensor_3d(c.ctx, pair.src, 24, 5, 3);
        tevo_tensor * src  = tevo_view_3d(c.ctx, base, 19, 5, 3, base->nb[1], base->nb[2], 0);
        fill_values(src, rng);
        const std::vector<uint32_t> src_bits = bits_of(src);

        tevo_tensor * node = tevo_xielu(c.ctx, src, 0.8f, 0.6f, 0.5f, -1e-6f);
        tevo_tensor * dst  = tevo_new_tensor(c.ctx, pair.dst, 4, src->ne);
        dst->op            = TEVO_OP_UNARY;
        memcpy(dst->op_params, node->op_params, sizeof(dst->op_params));
        dst->src[0] = src;

        const float alpha_n = tevo_get_op_params_f32(dst, 1);
        const float alpha_p = tevo_get_op_params_f32(dst, 2);
        const float beta    = tevo_get_op_params_f32(dst, 3);
        const float eps     = tevo_get_op_params_f32(dst, 4);
        for (int nt : kt::thread_counts()) {
            kt::poison(dst);
            kt::compute(c.ctx, { dst }, nt);
            int64_t idx = 0;
            kt::for_each(dst, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const float    x    = ref_widen(pair.src, src_bits[idx++]);
                const uint32_t want = ref_narrow(pair.dst, r_xielu(x, alpha_n, alpha_p, beta, eps));
                ASSERT_EQ(kt::get_bits(dst, i0, i1, i2, i3), want)
                    << tevo_type_name(pair.src) << "->" << tevo_type_name(pair.dst) << " x " << x;
            });
        }
    }
}

// ---------------------------------------------------------------------------
// division of work

TEST(KernelUnary, EachThreadWritesItsBlockOfRows) {
    struct {
        int nr, nth, ith, first, last; // rows [first, last) are the thread's
    } cases[] = { { 10, 4, 0, 0, 3 }, { 10, 4, 1, 3, 6 }, { 10, 4, 3, 9, 10 }, { 3, 4, 2, 2, 3 }, { 3, 4, 3, 0, 0 } };
    std::mt19937 rng(2);
    for (const auto & cs : cases) {
        kt::Ctx       c;
        tevo_tensor * src = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, cs.nr);
        kt::fill(src, rng);
        tevo_tensor * dst = tevo_sqr(c.ctx, src);
        kt::poison(dst);
        kt::call_kernel(tevo_compute_forward_sqr, dst, cs.ith, cs.nth);
        for (int64_t r = 0; r < cs.nr; ++r) {
            EXPECT_EQ(!std::isnan(kt::get(dst, 0, r)), r >= cs.first && r < cs.last)
                << "nr " << cs.nr << " thread " << cs.ith << "/" << cs.nth << " row " << r;
        }
    }
}

// ---------------------------------------------------------------------------
// refusals

std::string unary_re(const std::string & message) {
    std::string pattern;
    for (char ch : message) {
        if (strchr("\\^$.|?*+()[]{}", ch)) {
            pattern += '\\';
        }
        pattern += ch;
    }
    return pattern;
}

TEST(KernelUnaryDeath, RefusedPairsPrintTheirTypesThenStop) {
    struct Refused {
        kernel_fn      kernel;
        enum tevo_type src, dst;
        const char *   line;
    } cases[] = {
        { tevo_compute_forward_sqrt, TEVO_TYPE_F32, TEVO_TYPE_F16, "unary_op: unsupported types: dst: f16, src0: f32" },
        { tevo_compute_forward_abs, TEVO_TYPE_F16, TEVO_TYPE_BF16,
          "unary_op: unsupported types: dst: bf16, src0: f16" },
        { tevo_compute_forward_relu, TEVO_TYPE_I32, TEVO_TYPE_I32, "unary_op: unsupported types: dst: i32, src0: i32" },
        { tevo_compute_forward_xielu, TEVO_TYPE_F32, TEVO_TYPE_BF16,
          "unary_op_functor: unsupported types: dst: bf16, src0: f32" },
    };
    for (const Refused & r : cases) {
        kt::Ctx       c;
        tevo_tensor * src = tevo_new_tensor_2d(c.ctx, r.src, 8, 2);
        tevo_tensor * dst = tevo_new_tensor_2d(c.ctx, r.dst, 8, 2);
        dst->src[0]       = src;
        EXPECT_DEATH(kt::call_kernel(r.kernel, dst),
                     unary_re(std::string(r.line) + "\n") + ".*tevo/src/tevo-cpu/unary-ops:[0-9]+: fatal error")
            << r.line;
    }
}

TEST(KernelUnaryDeath, LayoutAssertions) {
    kt::Ctx c;
    const std::string prefix = "tevo/src/tevo-cpu/unary-ops:[0-9]+: ";
    // elements of a row not adjacent (the unary constructors refuse such a
    // source, so the node is made by hand)
    {
        tevo_tensor * src = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 6));
        tevo_tensor * dst = tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 4, src->ne);
        dst->src[0]       = src;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_tanh, dst),
                     prefix + unary_re("TEVO_ASSERT(tevo_is_contiguous_rows(src0) && tevo_is_contiguous_rows(dst) && "
                                       "tevo_are_same_shape(src0, dst)) failed"));
    }
    // one element per row, not at its element stride
    {
        tevo_tensor * src = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 6, 1));
        tevo_tensor * dst = tevo_new_tensor(c.ctx, TEVO_TYPE_F16, 4, src->ne);
        dst->src[0]       = src;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_exp, dst),
                     prefix + unary_re("TEVO_ASSERT(nb00 == sizeof(src0_t)) failed"));
    }
    // in place on such a source: dst's own stride
    {
        tevo_tensor * src = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 1));
        tevo_tensor * dst = tevo_view_tensor(c.ctx, src);
        dst->src[0]       = src;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_neg, dst),
                     prefix + unary_re("TEVO_ASSERT(nb0 == sizeof(dst_t)) failed"));
    }
    // XIELU wants dimensions 2 and 3 packed over the row stride
    {
        tevo_tensor * src = tevo_permute(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 3, 4), 0, 2, 1, 3);
        tevo_tensor * dst = tevo_new_tensor(c.ctx, TEVO_TYPE_F32, 4, src->ne);
        dst->src[0]       = src;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_xielu, dst),
                     prefix + unary_re("TEVO_ASSERT(tevo_is_contiguous_1(src0) && tevo_is_contiguous_1(dst) && "
                                       "tevo_are_same_shape(src0, dst)) failed"));
    }
}

} // namespace
