// The CPU kernels of ADD (float operands), SUB, MUL and DIV: every accepted
// type triple against a reference that rounds one float operation once, over
// broadcast shapes, permuted, padded and transposed sources, in place, at 1,
// 3 and 8 threads, and through the CPU backend; the refused triples and the
// layout assertions with their texts and lines.

#include "kernel-test-helpers.h"
#include "cpu/ops/elementwise-binary.h"

#include <immintrin.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using kt::bits;
using kt::from_bits;

// ---------------------------------------------------------------------------
// reference conversions, independent of the library's

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
    return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT); // IEEE round to nearest even
}

float ref_bf16_to_float(uint16_t h) {
    return from_bits((uint32_t) h << 16);
}

uint16_t ref_float_to_bf16(float f) {
    const uint32_t u = bits(f);
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) {
        return (uint16_t) ((u >> 16) | 0x40u);
    }
    return (uint16_t) ((u + 0x7FFFu + ((u >> 16) & 1u)) >> 16);
}

float ref_value(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    const uint32_t b = kt::get_bits(t, i0, i1, i2, i3);
    switch (t->type) {
        case TEVO_TYPE_F32: return from_bits(b);
        case TEVO_TYPE_F16: return ref_half_to_float((uint16_t) b);
        default:            return ref_bf16_to_float((uint16_t) b);
    }
}

uint32_t ref_bits_of(enum tevo_type type, float v) {
    switch (type) {
        case TEVO_TYPE_F32: return bits(v);
        case TEVO_TYPE_F16: return ref_float_to_half(v);
        default:            return ref_float_to_bf16(v);
    }
}

// ---------------------------------------------------------------------------
// operators

struct Op {
    const char *  name;
    enum tevo_op  op;
    float (*f)(float, float);
    tevo_tensor * (*make)(tevo_context *, tevo_tensor *, tevo_tensor *);
    tevo_tensor * (*make_inplace)(tevo_context *, tevo_tensor *, tevo_tensor *);
};

float f_add(float a, float b) { return a + b; }
float f_sub(float a, float b) { return a - b; }
float f_mul(float a, float b) { return a * b; }
float f_div(float a, float b) { return a / b; }

const Op kOps[] = {
    { "add", TEVO_OP_ADD, f_add, tevo_add, tevo_add_inplace },
    { "sub", TEVO_OP_SUB, f_sub, tevo_sub, tevo_sub_inplace },
    { "mul", TEVO_OP_MUL, f_mul, tevo_mul, tevo_mul_inplace },
    { "div", TEVO_OP_DIV, f_div, tevo_div, tevo_div_inplace },
};

struct Triple {
    enum tevo_type t0, t1, td;
};

const Triple kTriples[] = {
    { TEVO_TYPE_F32, TEVO_TYPE_F32, TEVO_TYPE_F32 },    { TEVO_TYPE_F16, TEVO_TYPE_F16, TEVO_TYPE_F16 },
    { TEVO_TYPE_F16, TEVO_TYPE_F32, TEVO_TYPE_F16 },    { TEVO_TYPE_F16, TEVO_TYPE_F32, TEVO_TYPE_F32 },
    { TEVO_TYPE_BF16, TEVO_TYPE_BF16, TEVO_TYPE_BF16 }, { TEVO_TYPE_BF16, TEVO_TYPE_F32, TEVO_TYPE_BF16 },
    { TEVO_TYPE_BF16, TEVO_TYPE_F32, TEVO_TYPE_F32 },
};

// how a source's memory is laid out behind its logical extents
enum class Layout {
    packed,
    permuted,   // dimensions 1 and 2 exchanged in memory
    padded,     // rows further apart than their length, data at an offset
    transposed, // elements of a row not adjacent (src1 only)
};

tevo_tensor * make_source(tevo_context * ctx, enum tevo_type type, const int64_t * ne, Layout layout) {
    switch (layout) {
        case Layout::packed:
            return tevo_new_tensor(ctx, type, 4, ne);
        case Layout::permuted: {
            tevo_tensor * base = tevo_new_tensor_4d(ctx, type, ne[0], ne[2], ne[1], ne[3]);
            return tevo_permute(ctx, base, 0, 2, 1, 3);
        }
        case Layout::padded: {
            tevo_tensor * base = tevo_new_tensor_4d(ctx, type, ne[0] + 3, ne[1], ne[2], ne[3]);
            return tevo_view_4d(ctx, base, ne[0], ne[1], ne[2], ne[3], base->nb[1], base->nb[2], base->nb[3],
                                tevo_type_size(type));
        }
        case Layout::transposed: {
            tevo_tensor * base = tevo_new_tensor_4d(ctx, type, ne[1], ne[0], ne[2], ne[3]);
            return tevo_transpose(ctx, base);
        }
    }
    return nullptr;
}

// random values of magnitude 0.25 to 2 and either sign (no division by ~0)
void fill_operand(tevo_tensor * t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> mag(0.25f, 2.0f);
    std::bernoulli_distribution           neg(0.5);
    kt::for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        kt::set(t, neg(rng) ? -mag(rng) : mag(rng), i0, i1, i2, i3);
    });
}

// every dst element against round(src0 op src1 broadcast), bit for bit
void check_against_reference(const Op & op, const tevo_tensor * a, const tevo_tensor * b,
                             const std::vector<float> & a_vals, const tevo_tensor * dst, const std::string & what) {
    int     bad = 0;
    int64_t idx = 0;
    kt::for_each(dst, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        const float    x    = a_vals[idx++];
        const float    y    = ref_value(b, i0 % b->ne[0], i1 % b->ne[1], i2 % b->ne[2], i3 % b->ne[3]);
        const uint32_t want = ref_bits_of(dst->type, op.f(x, y));
        const uint32_t got  = kt::get_bits(dst, i0, i1, i2, i3);
        if (got != want && bad++ < 5) {
            ADD_FAILURE() << what << " at " << i0 << "," << i1 << "," << i2 << "," << i3 << ": got 0x" << std::hex
                          << got << " want 0x" << want;
        }
    });
    (void) a;
}

std::vector<float> values_of(const tevo_tensor * t) {
    std::vector<float> v;
    kt::for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { v.push_back(ref_value(t, i0, i1, i2, i3)); });
    return v;
}

struct ShapeCase {
    const char * name;
    int64_t      ne0[4];
    int64_t      ne1[4];
    Layout       l0;
    Layout       l1;
};

const ShapeCase kShapes[] = {
    { "same shape", { 7, 3, 2, 2 }, { 7, 3, 2, 2 }, Layout::packed, Layout::packed },
    { "one row over all", { 37, 3, 2, 2 }, { 37, 1, 1, 1 }, Layout::packed, Layout::packed },
    { "one value per row", { 19, 3, 2, 2 }, { 1, 3, 2, 2 }, Layout::packed, Layout::packed },
    { "one value", { 21, 2, 1, 1 }, { 1, 1, 1, 1 }, Layout::packed, Layout::packed },
    { "rows modulo dims 2 and 3", { 9, 3, 4, 2 }, { 9, 3, 2, 1 }, Layout::packed, Layout::packed },
    { "short row repeated in rows", { 12, 3, 2, 1 }, { 4, 3, 1, 1 }, Layout::packed, Layout::packed },
    { "long row repeated in rows", { 40, 2, 1, 1 }, { 20, 1, 1, 1 }, Layout::packed, Layout::packed },
    { "src0 permuted", { 13, 3, 4, 1 }, { 13, 1, 4, 1 }, Layout::permuted, Layout::packed },
    { "src0 padded rows", { 17, 5, 2, 1 }, { 17, 5, 1, 1 }, Layout::padded, Layout::packed },
    { "src1 permuted", { 11, 3, 4, 1 }, { 11, 3, 4, 1 }, Layout::packed, Layout::permuted },
    { "src1 elements strided", { 10, 4, 2, 1 }, { 5, 4, 1, 1 }, Layout::packed, Layout::transposed },
    { "src1 strided, same shape", { 6, 5, 1, 1 }, { 6, 5, 1, 1 }, Layout::padded, Layout::transposed },
    { "one long row", { 1003, 1, 1, 1 }, { 1003, 1, 1, 1 }, Layout::packed, Layout::packed },
};

TEST(KernelBinary, EveryTripleShapeAndThreadCountMatchesTheReference) {
    std::mt19937 rng(7);
    for (const Op & op : kOps) {
        for (const Triple & tr : kTriples) {
            for (const ShapeCase & sc : kShapes) {
                kt::Ctx c;
                tevo_tensor * a = make_source(c.ctx, tr.t0, sc.ne0, sc.l0);
                tevo_tensor * b = make_source(c.ctx, tr.t1, sc.ne1, sc.l1);
                fill_operand(a, rng);
                fill_operand(b, rng);
                const std::vector<float> a_vals = values_of(a);

                // the node as the constructors make it when the triple allows,
                // otherwise by hand with the wanted dst type
                tevo_tensor * dst;
                if (tr.td == tr.t0 && tr.t1 == tr.t0) {
                    dst = op.make(c.ctx, a, b);
                } else {
                    dst         = tevo_new_tensor(c.ctx, tr.td, 4, a->ne);
                    dst->op     = op.op;
                    dst->src[0] = a;
                    dst->src[1] = b;
                }
                for (int nt : kt::thread_counts()) {
                    kt::poison(dst);
                    kt::compute(c.ctx, { dst }, nt);
                    const std::string what = std::string(op.name) + " " + tevo_type_name(tr.t0) + "," +
                                             tevo_type_name(tr.t1) + "->" + tevo_type_name(tr.td) + " " + sc.name +
                                             " threads " + std::to_string(nt);
                    check_against_reference(op, a, b, a_vals, dst, what);
                }
            }
        }
    }
}

TEST(KernelBinary, InPlaceGivesTheSameBitsAsOutOfPlace) {
    std::mt19937 rng(11);
    for (const Op & op : kOps) {
        for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
            for (int nt : kt::thread_counts()) {
                kt::Ctx       c;
                const int64_t ne0[4] = { 45, 7, 3, 1 };
                const int64_t ne1[4] = { 45, 1, 3, 1 };
                tevo_tensor * a      = make_source(c.ctx, type, ne0, Layout::packed);
                tevo_tensor * b      = make_source(c.ctx, type, ne1, Layout::packed);
                fill_operand(a, rng);
                fill_operand(b, rng);
                const std::vector<float> a_vals = values_of(a);

                tevo_tensor * out = op.make(c.ctx, a, b);
                kt::compute(c.ctx, { out }, nt);
                tevo_tensor * in = op.make_inplace(c.ctx, a, b);
                kt::compute(c.ctx, { in }, nt);

                ASSERT_EQ(in->data, a->data);
                EXPECT_EQ(memcmp(in->data, out->data, tevo_nbytes(out)), 0) << op.name << " " << tevo_type_name(type);
                check_against_reference(op, a, b, a_vals, out, op.name);
            }
        }
    }
}

// the second operand may also be the destination, when shapes agree
TEST(KernelBinary, DestinationMayBeTheSecondOperand) {
    std::mt19937 rng(13);
    for (const Op & op : kOps) {
        for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
            kt::Ctx       c;
            tevo_tensor * a = tevo_new_tensor_2d(c.ctx, type, 29, 4);
            tevo_tensor * b = tevo_new_tensor_2d(c.ctx, type, 29, 4);
            fill_operand(a, rng);
            fill_operand(b, rng);
            const std::vector<float> a_vals = values_of(a);
            const std::vector<float> b_vals = values_of(b);

            tevo_tensor * dst = tevo_view_tensor(c.ctx, b);
            dst->op           = op.op;
            dst->src[0]       = a;
            dst->src[1]       = b;
            kt::call_kernel(op.op == TEVO_OP_ADD   ? tevo_compute_forward_add_non_quantized
                            : op.op == TEVO_OP_SUB ? tevo_compute_forward_sub
                            : op.op == TEVO_OP_MUL ? tevo_compute_forward_mul
                                                   : tevo_compute_forward_div,
                            dst);
            for (size_t i = 0; i < a_vals.size(); ++i) {
                ASSERT_EQ(kt::get_bits(dst, (int64_t) i % 29, (int64_t) i / 29),
                          ref_bits_of(type, op.f(a_vals[i], b_vals[i])))
                    << op.name << " " << i;
            }
        }
    }
}

// a destination starting one element above its source reads what it wrote
// one step before: the element loop runs, not the vector one
TEST(KernelBinary, OverlapAboveTheSourceRunsElementByElement) {
    for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        kt::Ctx       c;
        const int64_t n    = 40;
        tevo_tensor * base = tevo_new_tensor_1d(c.ctx, type, n + 1);
        tevo_tensor * one  = tevo_new_tensor_1d(c.ctx, type, 1);
        for (int64_t i = 0; i <= n; ++i) {
            kt::set(base, i == 0 ? 1.0f : 0.0f, i);
        }
        kt::set(one, 1.0f, 0);

        tevo_tensor * src = tevo_view_1d(c.ctx, base, n, 0);
        tevo_tensor * dst = tevo_view_1d(c.ctx, base, n, tevo_type_size(type));
        dst->op           = TEVO_OP_ADD;
        dst->src[0]       = src;
        dst->src[1]       = one;
        kt::call_kernel(tevo_compute_forward_add_non_quantized, dst);
        for (int64_t i = 0; i <= n; ++i) {
            ASSERT_EQ(kt::get(base, i), (float) (i + 1)) << tevo_type_name(type) << " " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// fixed rounding

struct BitsCase {
    const char *   what;
    enum tevo_op   op;
    Triple         types;
    uint32_t       a, b; // stored bits of the operands
    uint32_t       want;
};

const BitsCase kBitsCases[] = {
    // operand order of the reversed operators, on the platform path and the element loop
    { "f32 5 - 2", TEVO_OP_SUB, kTriples[0], 0x40A00000u, 0x40000000u, 0x40400000u },
    { "f32 6 / 3", TEVO_OP_DIV, kTriples[0], 0x40C00000u, 0x40400000u, 0x40000000u },
    { "f16 5 - 2", TEVO_OP_SUB, kTriples[1], 0x4500u, 0x4000u, 0x4200u },
    { "f16 6 / 3", TEVO_OP_DIV, kTriples[1], 0x4600u, 0x4200u, 0x4000u },
    { "bf16 1 - 4", TEVO_OP_SUB, kTriples[4], 0x3F80u, 0x4080u, 0xC040u },
    { "bf16 1 / 4", TEVO_OP_DIV, kTriples[4], 0x3F80u, 0x4080u, 0x3E80u },
    // division by zero
    { "f32 1 / 0", TEVO_OP_DIV, kTriples[0], 0x3F800000u, 0u, 0x7F800000u },
    { "f32 -1 / 0", TEVO_OP_DIV, kTriples[0], 0xBF800000u, 0u, 0xFF800000u },
    { "f16 1 / 0", TEVO_OP_DIV, kTriples[1], 0x3C00u, 0u, 0x7C00u },
    { "f16 0 / 0 (x86 NaN has its sign bit set)", TEVO_OP_DIV, kTriples[1], 0u, 0u, 0xFE00u },
    { "bf16 0 / 0", TEVO_OP_DIV, kTriples[4], 0u, 0u, 0xFFC0u },
    // half overflow: 65504 + 16 = 65520 rounds to infinity, 65504 + 15 = 65519 does not
    { "f16 65520", TEVO_OP_ADD, kTriples[2], 0x7BFFu, 0x41800000u, 0x7C00u },
    { "f16 -65520", TEVO_OP_SUB, kTriples[2], 0xFBFFu, 0x41800000u, 0xFC00u },
    { "f16 65519", TEVO_OP_ADD, kTriples[2], 0x7BFFu, 0x41700000u, 0x7BFFu },
    // half subnormal result, rounded to nearest even: 2^-24 * 1.5 -> 2^-23
    { "f16 subnormal tie", TEVO_OP_MUL, kTriples[2], 0x0001u, 0x3FC00000u, 0x0002u },
    // brain-float ties go to the even last bit
    { "bf16 1 + 2^-8", TEVO_OP_ADD, kTriples[5], 0x3F80u, 0x3B800000u, 0x3F80u },
    { "bf16 1 + 3*2^-8", TEVO_OP_ADD, kTriples[5], 0x3F80u, 0x3C400000u, 0x3F82u },
    // a NaN operand: half NaN payloads are dropped, brain-float NaNs made quiet
    { "f16 NaN payload", TEVO_OP_ADD, kTriples[1], 0x7D01u, 0x3C00u, 0x7E00u },
    { "bf16 signalling NaN", TEVO_OP_MUL, kTriples[5], 0xFF81u, 0x3F800000u, 0xFFC1u },
    { "f16 NaN widened to f32", TEVO_OP_ADD, kTriples[3], 0x7E01u, 0u, 0x7FC02000u },
};

TEST(KernelBinary, FixedRoundingBitForBit) {
    for (const BitsCase & bc : kBitsCases) {
        // the element alone, at the start of a vector body and in a tail
        for (int64_t n : { 1, 8, 11 }) {
            kt::Ctx       c;
            tevo_tensor * a = tevo_new_tensor_1d(c.ctx, bc.types.t0, n);
            tevo_tensor * b = tevo_new_tensor_1d(c.ctx, bc.types.t1, n);
            for (int64_t i = 0; i < n; ++i) {
                memcpy(kt::elem_ptr(a, i, 0, 0, 0), &bc.a, tevo_type_size(bc.types.t0));
                memcpy(kt::elem_ptr(b, i, 0, 0, 0), &bc.b, tevo_type_size(bc.types.t1));
            }
            tevo_tensor * dst = tevo_new_tensor_1d(c.ctx, bc.types.td, n);
            dst->op           = bc.op;
            dst->src[0]       = a;
            dst->src[1]       = b;
            kt::compute(c.ctx, { dst }, 1);
            for (int64_t i = 0; i < n; ++i) {
                EXPECT_EQ(kt::get_bits(dst, i), bc.want) << bc.what << " n " << n << " i " << i;
            }
        }
    }
}

// the library's own conversions of the element-wise kernels, eight at a
// time, against the one-at-a-time ones and the IEEE rule, over many patterns
TEST(KernelBinary, HalfAndBrainFloatRoundingOfManyFloats) {
    kt::Ctx       c;
    const int64_t n = 1 << 16;
    tevo_tensor * a = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n);
    tevo_tensor * z = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 1);
    kt::set(z, 0.0f, 0);
    std::mt19937 rng(3);
    for (int64_t i = 0; i < n; ++i) {
        // every exponent, random mantissas, every sign; the tail hits the half
        // range and its rounding edges more often
        uint32_t u = rng();
        if (i % 2) {
            u = (u & 0x807FFFFFu) | ((uint32_t) (100 + rng() % 50) << 23);
        }
        memcpy(kt::elem_ptr(a, i, 0, 0, 0), &u, 4);
    }
    // 0 + x rounded to a half or brain-float destination: the rounding of x
    // itself (and +0 for -0)
    for (enum tevo_type t : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        tevo_tensor * zeros = tevo_new_tensor_1d(c.ctx, t, n);
        memset(zeros->data, 0, tevo_nbytes(zeros));
        tevo_tensor * dst = tevo_new_tensor_1d(c.ctx, t, n);
        dst->op           = TEVO_OP_ADD;
        dst->src[0]       = zeros;
        dst->src[1]       = a;
        kt::compute(c.ctx, { dst }, 3);
        int bad = 0;
        for (int64_t i = 0; i < n && bad < 5; ++i) {
            const float    x    = 0.0f + kt::get(a, i);
            const uint32_t want = ref_bits_of(t, x);
            if (kt::get_bits(dst, i) != want) {
                ++bad;
                ADD_FAILURE() << tevo_type_name(t) << " of 0x" << std::hex << bits(kt::get(a, i)) << ": got 0x"
                              << kt::get_bits(dst, i) << " want 0x" << want;
            }
        }
    }
}

TEST(KernelBinary, ThroughTheCpuBackend) {
    for (enum tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        tevo_tensor *      a = nullptr;
        tevo_tensor *      b = nullptr;
        std::vector<float> a_vals;
        std::mt19937       rng(5);
        kt::compute_on_backend(
            [&](tevo_context * ctx) {
                a = tevo_new_tensor_3d(ctx, type, 384, 6, 2);
                b = tevo_new_tensor_3d(ctx, type, 384, 1, 2);
                return tevo_mul(ctx, tevo_add(ctx, a, b), b);
            },
            [&]() {
                std::vector<uint8_t> buf(tevo_nbytes(a));
                tevo_tensor          host = *a;
                host.data                 = buf.data();
                fill_operand(&host, rng);
                a_vals = values_of(&host);
                tevo_backend_tensor_set(a, buf.data(), 0, buf.size());
                std::vector<uint8_t> bbuf(tevo_nbytes(b));
                tevo_tensor          bhost = *b;
                bhost.data                 = bbuf.data();
                fill_operand(&bhost, rng);
                tevo_backend_tensor_set(b, bbuf.data(), 0, bbuf.size());
            },
            [&](tevo_tensor * out) {
                int64_t idx = 0;
                kt::for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    const float y   = ref_value(b, i0, 0, i2, i3);
                    const float sum = type == TEVO_TYPE_F32 ? a_vals[idx] + y
                                                            : ref_half_to_float(ref_float_to_half(a_vals[idx] + y));
                    ++idx;
                    ASSERT_EQ(kt::get_bits(out, i0, i1, i2, i3), ref_bits_of(type, sum * y));
                });
            });
    }
}

// ---------------------------------------------------------------------------
// refusals

std::string binary_re(int line, const std::string & message) {
    std::string pattern = "tevo/src/tevo-cpu/binary-ops:" + std::to_string(line) + ": ";
    for (char ch : message) {
        if (strchr("\\^$.|?*+()[]{}", ch)) {
            pattern += '\\';
        }
        pattern += ch;
    }
    return pattern;
}

TEST(KernelBinaryDeath, RefusedTypeTriplesNameAllThreeTypes) {
    struct Refused {
        enum tevo_op op;
        Triple       types;
        const char * text;
    } cases[] = {
        { TEVO_OP_ADD, { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_F32 }, "dst: f32, src0: f32, src1: f16" },
        { TEVO_OP_SUB, { TEVO_TYPE_F16, TEVO_TYPE_F16, TEVO_TYPE_F32 }, "dst: f32, src0: f16, src1: f16" },
        { TEVO_OP_MUL, { TEVO_TYPE_F32, TEVO_TYPE_F32, TEVO_TYPE_F16 }, "dst: f16, src0: f32, src1: f32" },
        { TEVO_OP_DIV, { TEVO_TYPE_BF16, TEVO_TYPE_F16, TEVO_TYPE_BF16 }, "dst: bf16, src0: bf16, src1: f16" },
        { TEVO_OP_SUB, { TEVO_TYPE_I32, TEVO_TYPE_I32, TEVO_TYPE_I32 }, "dst: i32, src0: i32, src1: i32" },
        { TEVO_OP_MUL, { TEVO_TYPE_Q4_0, TEVO_TYPE_F32, TEVO_TYPE_Q4_0 }, "dst: q4_0, src0: q4_0, src1: f32" },
    };
    for (const Refused & r : cases) {
        kt::Ctx       c;
        tevo_tensor * a   = tevo_new_tensor_2d(c.ctx, r.types.t0, 32, 2);
        tevo_tensor * b   = tevo_new_tensor_2d(c.ctx, r.types.t1, 32, 2);
        tevo_tensor * dst = tevo_new_tensor_2d(c.ctx, r.types.td, 32, 2);
        dst->op           = r.op;
        dst->src[0]       = a;
        dst->src[1]       = b;
        EXPECT_DEATH(kt::compute(c.ctx, { dst }, 1),
                     binary_re(136, std::string("binary_op: unsupported types: ") + r.text + "\n"))
            << r.text;
    }
}

TEST(KernelBinaryDeath, LayoutAssertionsWithTheirLines) {
    kt::Ctx c;
    // src1 that does not divide src0 (set after construction, which refuses it)
    {
        tevo_tensor * a   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 2);
        tevo_tensor * dst = tevo_mul(c.ctx, a, a);
        dst->src[1]       = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 2);
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_mul, dst),
                     binary_re(54, "TEVO_ASSERT(tevo_can_repeat(src1, src0) && tevo_are_same_shape(src0, dst)) failed"));
    }
    // an empty src1 over a non-empty src0
    {
        tevo_tensor * a   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 2);
        tevo_tensor * dst = tevo_sub(c.ctx, a, a);
        dst->src[1]       = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 0, 2);
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_sub, dst), binary_re(54, "TEVO_ASSERT(tevo_can_repeat"));
    }
    // dst shaped differently from src0
    {
        tevo_tensor * a   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 2);
        tevo_tensor * dst = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 4);
        dst->op           = TEVO_OP_DIV;
        dst->src[0]       = a;
        dst->src[1]       = a;
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_div, dst), binary_re(54, "TEVO_ASSERT(tevo_can_repeat"));
    }
    // in place on a transposed src0: dst's own elements are not packed
    {
        tevo_tensor * a   = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 6, 4));
        tevo_tensor * dst = tevo_add_inplace(c.ctx, a, a);
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_add_non_quantized, dst),
                     binary_re(58, "TEVO_ASSERT(nb0 == sizeof(dst_t)) failed"));
    }
    // out of place on a transposed src0
    {
        tevo_tensor * a   = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 4));
        tevo_tensor * dst = tevo_mul(c.ctx, a, a);
        EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_mul, dst),
                     binary_re(59, "TEVO_ASSERT(nb00 == sizeof(src0_t)) failed"));
    }
}

// rows are the unit of work: with more threads than rows the rest do nothing,
// and a thread writes exactly its block of ceil(nr / nth) rows
TEST(KernelBinary, EachThreadWritesItsBlockOfRows) {
    kt::Ctx       c;
    tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 10);
    tevo_tensor * b = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
    std::mt19937  rng(1);
    fill_operand(a, rng);
    fill_operand(b, rng);
    tevo_tensor * dst = tevo_add(c.ctx, a, b);
    struct {
        int nth, ith, first, last; // rows [first, last)
    } cases[] = { { 4, 0, 0, 3 }, { 4, 3, 9, 10 }, { 12, 9, 9, 10 }, { 12, 10, 0, 0 } };
    for (const auto & cs : cases) {
        kt::poison(dst);
        kt::call_kernel(tevo_compute_forward_add_non_quantized, dst, cs.ith, cs.nth);
        for (int64_t r = 0; r < 10; ++r) {
            const bool mine = r >= cs.first && r < cs.last;
            EXPECT_EQ(!std::isnan(kt::get(dst, 0, r)), mine) << cs.ith << "/" << cs.nth << " row " << r;
        }
    }
}

} // namespace
