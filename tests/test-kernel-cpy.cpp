// The copy kernel behind DUP, CPY and CONT: element k of the source in
// natural order lands at element k of the destination, converted bit for
// bit by the element rules, over contiguous, permuted, transposed, padded
// and reshaped layouts, on 1, 3 and 8 threads; and the refused pairs.

#include "kernel-test-helpers.h"
#include "cpu/impl.h"

#include <climits>
#include <cmath>
#include <functional>
#include <string>

using namespace kt;

namespace {

// ---------------------------------------------------------------------------
// reference conversions, written from the rules rather than the library

uint16_t ref_f32_to_f16(float f) {
    const uint16_t sign = (uint16_t) ((bits(f) >> 16) & 0x8000);
    if (std::isnan(f)) {
        return sign | 0x7e00;
    }
    const double v = std::fabs((double) f);
    if (v >= 65520.0) { // half of the last step above 65504 rounds to even: infinity
        return sign | 0x7c00;
    }
    if (v < 6.103515625e-05) { // below 2^-14: subnormal steps of 2^-24
        return sign | (uint16_t) std::nearbyint(v * 16777216.0);
    }
    int e;
    std::frexp(v, &e);
    int    E = e - 1;
    double r = std::nearbyint(std::ldexp(v, 10 - E));
    if (r == 2048.0) {
        r = 1024.0;
        E++;
    }
    return sign | (uint16_t) (((E + 15) << 10) | ((int) r - 1024));
}

uint16_t ref_f32_to_bf16(float f) {
    const uint32_t u = bits(f);
    if ((u & 0x7fffffff) > 0x7f800000) {
        return (uint16_t) ((u >> 16) | 0x40);
    }
    return (uint16_t) ((u + 0x7fff + ((u >> 16) & 1)) >> 16);
}

int32_t ref_f32_to_i32(float f) {
    if (std::isnan(f)) {
        return 0;
    }
    if ((double) f >= 2147483648.0) {
        return INT32_MAX;
    }
    if ((double) f < -2147483648.0) {
        return INT32_MIN;
    }
    return (int32_t) std::trunc((double) f);
}

// element bits of type st (in the low bytes of a uint32) to a float
float ref_to_f32(tevo_type st, uint32_t bits) {
    switch (st) {
        case TEVO_TYPE_F32:  return from_bits(bits);
        case TEVO_TYPE_F16:  return tevo_table_f32_f16[bits & 0xffff];
        case TEVO_TYPE_BF16: return from_bits(bits << 16);
        case TEVO_TYPE_I32:  return (float) (int32_t) bits;
        default:             abort();
    }
}

uint32_t ref_from_f32(tevo_type dt, float f) {
    switch (dt) {
        case TEVO_TYPE_F32:  return bits(f);
        case TEVO_TYPE_F16:  return ref_f32_to_f16(f);
        case TEVO_TYPE_BF16: return ref_f32_to_bf16(f);
        case TEVO_TYPE_I32:  return (uint32_t) ref_f32_to_i32(f);
        default:             abort();
    }
}

uint32_t ref_convert(tevo_type st, tevo_type dt, uint32_t bits) {
    if (st == dt) {
        return bits;
    }
    return ref_from_f32(dt, ref_to_f32(st, bits));
}

uint32_t load_bits(const tevo_tensor * t, int64_t k) {
    uint32_t v = 0;
    memcpy(&v, (const char *) t->data + offset_of(t, k), tevo_type_size(t->type));
    return v;
}

void store_bits(tevo_tensor * t, int64_t k, uint32_t v) {
    memcpy((char *) t->data + offset_of(t, k), &v, tevo_type_size(t->type));
}

// a value of type t: moderate floats (some negative, some fractional, a few
// beyond the half range), or integers up to ±10^8
uint32_t random_bits(tevo_type t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> u(-70000.0f, 70000.0f);
    switch (t) {
        case TEVO_TYPE_F32:  return bits(u(rng) / (float) (1 + rng() % 1000));
        case TEVO_TYPE_F16:  return ref_f32_to_f16(u(rng) / (float) (2 + rng() % 1000));
        case TEVO_TYPE_BF16: return ref_f32_to_bf16(u(rng) / (float) (1 + rng() % 1000));
        case TEVO_TYPE_I32:  return (uint32_t) (int32_t) (rng() % 200000001) - 100000000;
        default:             abort();
    }
}

bool pair_converts(tevo_type st, tevo_type dt) {
    if (st == dt) {
        return true;
    }
    switch (st) {
        case TEVO_TYPE_F32:  return true;
        case TEVO_TYPE_F16:  return true;
        case TEVO_TYPE_BF16: return true;
        case TEVO_TYPE_I32:  return dt == TEVO_TYPE_F32;
        default:             return false;
    }
}

// ---------------------------------------------------------------------------
// layouts: how the source and the destination are made

struct Layout {
    const char * name;
    // source in the given type
    std::function<tevo_tensor *(tevo_context *, tevo_type)> src;
    // destination node for a source: a CPY into some target, or a CONT
    std::function<tevo_tensor *(tevo_context *, tevo_tensor *, tevo_type)> dst;
};

const Layout layouts[] = {
    { "contiguous 37x5x3",
      [](tevo_context * c, tevo_type t) { return tevo_new_tensor_3d(c, t, 37, 5, 3); },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) { return tevo_cpy(c, s, tevo_new_tensor_3d(c, t, 37, 5, 3)); } },
    { "6x4 into 8x3",
      [](tevo_context * c, tevo_type t) { return tevo_new_tensor_2d(c, t, 6, 4); },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) { return tevo_cpy(c, s, tevo_new_tensor_2d(c, t, 8, 3)); } },
    { "permuted source",
      [](tevo_context * c, tevo_type t) {
          return tevo_permute(c, tevo_new_tensor_4d(c, t, 5, 37, 3, 2), 1, 0, 3, 2); // ne 37, 5, 2, 3
      },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) { return tevo_cpy(c, s, tevo_new_tensor_4d(c, t, 37, 5, 2, 3)); } },
    { "padded rows into padded rows",
      [](tevo_context * c, tevo_type t) {
          tevo_tensor * b = tevo_new_tensor_3d(c, t, 41, 5, 3);
          return tevo_view_3d(c, b, 37, 5, 3, b->nb[1], b->nb[2], 2 * b->nb[0]);
      },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) {
          tevo_tensor * b = tevo_new_tensor_3d(c, t, 39, 6, 3);
          return tevo_cpy(c, s, tevo_view_3d(c, b, 37, 5, 3, b->nb[1], b->nb[2], b->nb[1]));
      } },
    { "into a transposed view",
      [](tevo_context * c, tevo_type t) { return tevo_new_tensor_2d(c, t, 37, 11); },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) {
          return tevo_cpy(c, s, tevo_transpose(c, tevo_new_tensor_2d(c, t, 11, 37)));
      } },
    { "rows into a padded view of another shape",
      [](tevo_context * c, tevo_type t) { return tevo_new_tensor_3d(c, t, 37, 5, 3); },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) {
          tevo_tensor * b = tevo_new_tensor_2d(c, t, 16, 37);
          return tevo_cpy(c, s, tevo_view_2d(c, b, 15, 37, b->nb[1], b->nb[0]));
      } },
    { "transposed into a reshaped padded view",
      [](tevo_context * c, tevo_type t) { return tevo_transpose(c, tevo_new_tensor_2d(c, t, 21, 35)); },
      [](tevo_context * c, tevo_tensor * s, tevo_type t) {
          tevo_tensor * b = tevo_new_tensor_2d(c, t, 17, 49);
          return tevo_cpy(c, s, tevo_view_2d(c, b, 15, 49, b->nb[1], 0));
      } },
};

const tevo_type plain_types[] = { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16, TEVO_TYPE_I32 };

struct Cpy : ::testing::Test {
    void SetUp() override { death_setup(); }
};

TEST_F(Cpy, EveryPlainPairOverEveryLayoutAndThreadCount) {
    std::mt19937 rng(42);
    for (const Layout & l : layouts) {
        for (tevo_type st : plain_types) {
            for (tevo_type dt : plain_types) {
                if (!pair_converts(st, dt)) {
                    continue;
                }
                for (int nt : { 1, 3, 8 }) {
                    SCOPED_TRACE(std::string(l.name) + " " + tevo_type_name(st) + " -> " + tevo_type_name(dt) +
                                 " threads " + std::to_string(nt));
                    tevo_context * ctx = new_ctx();
                    tevo_tensor *  src = l.src(ctx, st);
                    tevo_tensor *  out = l.dst(ctx, src, dt);
                    // a float source into I32 from a half type needs packed rows
                    // and a packed destination; the layouts that give neither are
                    // among the refusals below
                    const bool quantizing = st != dt && dt == TEVO_TYPE_I32 && st != TEVO_TYPE_F32;
                    if (quantizing && (!tevo_is_contiguous(out) || src->nb[0] != tevo_type_size(st))) {
                        tevo_free(ctx);
                        continue;
                    }
                    const int64_t n = tevo_nelements(src);
                    std::vector<uint32_t> in(n);
                    for (int64_t k = 0; k < n; ++k) {
                        in[k] = random_bits(st, rng);
                        store_bits(src, k, in[k]);
                    }
                    compute(ctx, out, nt);
                    int bad = 0;
                    for (int64_t k = 0; k < n && bad < 5; ++k) {
                        const uint32_t want = ref_convert(st, dt, in[k]);
                        const uint32_t got  = load_bits(out, k);
                        if (want != got) {
                            ADD_FAILURE() << "element " << k << ": want " << std::hex << want << " got " << got;
                            bad++;
                        }
                    }
                    tevo_free(ctx);
                }
            }
        }
    }
}

// Conversions over bit patterns that matter: every half and brain-float
// pattern, and floats with NaN payloads, infinities, subnormals, ties and
// values at the edges of the half and int32 ranges. Rows of odd length so
// that the vector loops and their tails both see every kind.
std::vector<uint32_t> special_f32() {
    std::vector<uint32_t> v = {
        0x00000000, 0x80000000, 0x7f800000, 0xff800000, 0x7fc00000, 0xffc00000, 0x7f800001, 0xff812345,
        0x7fffffff, 0x00000001, 0x80000001, 0x007fffff, 0x33000000, 0x33000001, 0x387fe000, 0x38800000,
        0x477fe000, 0x477fefff, 0x477ff000, 0x477ff001, 0x47800000, 0x3f808000, 0x3f818000, 0x3f80c000,
        0x4effffff, 0x4f000000, 0x4f000001, 0xcf000000, 0xcf000001, 0x7f7fffff, 0xff7fffff,
    };
    const float more[] = { 1.00390625f, 1.01171875f, -1.7f, 1.7f, -0.5f, 2147483520.0f, -2147483648.0f, 3e9f,
                           -3e9f, 65504.0f, 65519.996f, 5.9604645e-08f, 2.9802322e-08f, 2.9802326e-08f };
    for (float f : more) {
        v.push_back(bits(f));
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 60000; ++i) {
        v.push_back((uint32_t) rng());
    }
    return v;
}

void check_all_pairs_from(tevo_type st, const std::vector<uint32_t> & in) {
    const int64_t ne0 = 331;
    const int64_t ne1 = ((int64_t) in.size() + ne0 - 1) / ne0;
    for (tevo_type dt : plain_types) {
        if (dt == st || !pair_converts(st, dt)) {
            continue;
        }
        for (int nt : { 1, 3 }) {
            SCOPED_TRACE(std::string(tevo_type_name(st)) + " -> " + tevo_type_name(dt) + " threads " +
                         std::to_string(nt));
            tevo_context * ctx = new_ctx();
            tevo_tensor *  src = tevo_new_tensor_2d(ctx, st, ne0, ne1);
            for (int64_t k = 0; k < ne0 * ne1; ++k) {
                store_bits(src, k, in[k % in.size()]);
            }
            tevo_tensor * out = tevo_cast(ctx, src, dt);
            compute(ctx, out, nt);
            int bad = 0;
            for (int64_t k = 0; k < ne0 * ne1 && bad < 5; ++k) {
                const uint32_t want = ref_convert(st, dt, in[k % in.size()]);
                const uint32_t got  = load_bits(out, k);
                if (want != got) {
                    ADD_FAILURE() << "input " << std::hex << in[k % in.size()] << ": want " << want << " got " << got;
                    bad++;
                }
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Cpy, FloatSourcesConvertBitForBit) {
    check_all_pairs_from(TEVO_TYPE_F32, special_f32());
}

TEST_F(Cpy, EveryHalfAndBrainFloatPatternConvertsBitForBit) {
    std::vector<uint32_t> all(65536);
    for (uint32_t i = 0; i < 65536; ++i) {
        all[i] = i;
    }
    check_all_pairs_from(TEVO_TYPE_F16, all);
    check_all_pairs_from(TEVO_TYPE_BF16, all);
}

TEST_F(Cpy, IntegersConvertToTheNearestFloat) {
    std::vector<uint32_t> in = { 16777217u, 16777219u, (uint32_t) INT32_MAX, (uint32_t) INT32_MIN, 0u,
                                 (uint32_t) -16777217, 33554435u };
    std::mt19937 rng(3);
    for (int i = 0; i < 5000; ++i) {
        in.push_back((uint32_t) rng());
    }
    check_all_pairs_from(TEVO_TYPE_I32, in);
}

// The conversions the edge cases name, spelled out.
TEST_F(Cpy, NamedConversions) {
    tevo_context * ctx = new_ctx();
    auto one = [&](tevo_type st, uint32_t bits, tevo_type dt) {
        tevo_tensor * s = tevo_new_tensor_1d(ctx, st, 1);
        store_bits(s, 0, bits);
        tevo_tensor * d = tevo_cast(ctx, s, dt);
        compute(ctx, d, 1);
        return load_bits(d, 0);
    };
    EXPECT_EQ(one(TEVO_TYPE_F32, bits(1.00390625f), TEVO_TYPE_BF16), 0x3f80u);  // a tie: to even, 1.0
    EXPECT_EQ(one(TEVO_TYPE_F32, bits(1.01171875f), TEVO_TYPE_BF16), 0x3f82u);  // 1.015625
    EXPECT_EQ((int32_t) one(TEVO_TYPE_F32, bits(-1.7f), TEVO_TYPE_I32), -1);
    EXPECT_EQ(from_bits(one(TEVO_TYPE_I32, 16777217u, TEVO_TYPE_F32)), 16777216.0f);
    EXPECT_EQ(one(TEVO_TYPE_F32, 0x7fc00000u, TEVO_TYPE_F16), 0x7e00u);
    EXPECT_EQ(one(TEVO_TYPE_F32, 0xff812345u, TEVO_TYPE_F16), 0xfe00u);
    EXPECT_EQ(one(TEVO_TYPE_F32, 0x7f800000u, TEVO_TYPE_F16), 0x7c00u);
    tevo_free(ctx);
}

// NaN and out-of-range floats have a defined integer: 0 and the limits,
// in the vector loop and in its tail, and through the 16-bit sources.
TEST_F(Cpy, FloatToIntegerIsDefinedForNaNAndOutOfRange) {
    const float   in[]   = { NAN, -NAN, 3e9f, -3e9f, INFINITY, -INFINITY, 2147483648.0f, -2147483648.0f,
                             2147483520.0f, -2147483904.0f, 1e20f, 0.99f, -0.99f };
    const int32_t want[] = { 0, 0, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN,
                             2147483520, INT32_MIN, INT32_MAX, 0, 0 };
    const int     n      = (int) (sizeof(in) / sizeof(in[0]));
    for (tevo_type st : { TEVO_TYPE_F32, TEVO_TYPE_BF16, TEVO_TYPE_F16 }) {
        SCOPED_TRACE(tevo_type_name(st));
        tevo_context * ctx = new_ctx();
        tevo_tensor *  s   = tevo_new_tensor_2d(ctx, st, n, 2);
        for (int k = 0; k < 2 * n; ++k) {
            store_bits(s, k, ref_from_f32(st, in[k % n]));
        }
        tevo_tensor * d = tevo_cast(ctx, s, TEVO_TYPE_I32);
        compute(ctx, d, 2);
        for (int k = 0; k < 2 * n; ++k) {
            const float v = ref_to_f32(st, ref_from_f32(st, in[k % n]));
            EXPECT_EQ(get<int32_t>(d, k), ref_f32_to_i32(v)) << k;
            if (st == TEVO_TYPE_F32) { // the 16-bit types round or cannot hold the inputs
                EXPECT_EQ(get<int32_t>(d, k), want[k % n]) << k;
            }
        }
        tevo_free(ctx);
    }
}

TEST_F(Cpy, TransposedViewIsLaidOutDensely) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 2); // [[0 1 2] [3 4 5]]
    for (int k = 0; k < 6; ++k) {
        put<float>(a, k, (float) k);
    }
    tevo_tensor * c = tevo_cont(ctx, tevo_transpose(ctx, a));
    compute(ctx, c, 3);
    const float want[] = { 0, 3, 1, 4, 2, 5 };
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(((float *) c->data)[k], want[k]);
    }
    tevo_free(ctx);
}

TEST_F(Cpy, MoreThreadsThanBlocksStillCopiesEverything) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F16, 5);
    for (int k = 0; k < 5; ++k) {
        put<uint16_t>(a, k, (uint16_t) (0x3c00 + k));
    }
    tevo_tensor * d = tevo_dup(ctx, a);
    compute(ctx, d, 8);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(get<uint16_t>(d, k), 0x3c00 + k);
    }
    tevo_free(ctx);
}

// Same-type block copies move whole blocks, whatever their bytes mean.
TEST_F(Cpy, BlockTypesCopyWholeBlocks) {
    for (int nt : { 1, 3, 8 }) {
        tevo_context * ctx = new_ctx();
        // 3 rows of 2 Q8_0 blocks, rows padded by one block
        const size_t  bs  = tevo_type_size(TEVO_TYPE_Q8_0);
        tevo_tensor * big = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q8_0, 96, 3);
        for (size_t i = 0; i < tevo_nbytes(big); ++i) {
            ((uint8_t *) big->data)[i] = (uint8_t) (i * 7 + 1);
        }
        tevo_tensor * v   = tevo_view_2d(ctx, big, 64, 3, big->nb[1], bs);
        tevo_tensor * out = tevo_cont(ctx, v);
        // and into padded rows of another tensor (row copies)
        tevo_tensor * big2 = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q8_0, 128, 3);
        memset(big2->data, 0, tevo_nbytes(big2));
        tevo_tensor * out2 = tevo_cpy(ctx, v, tevo_view_2d(ctx, big2, 64, 3, big2->nb[1], 0));
        compute(ctx, out, nt);
        compute(ctx, out2, nt);
        for (int r = 0; r < 3; ++r) {
            const uint8_t * s = (const uint8_t *) big->data + r * big->nb[1] + bs;
            EXPECT_EQ(memcmp((const uint8_t *) out->data + r * 2 * bs, s, 2 * bs), 0) << r;
            EXPECT_EQ(memcmp((const uint8_t *) big2->data + r * big2->nb[1], s, 2 * bs), 0) << r;
        }
        tevo_free(ctx);
    }
}

TEST_F(Cpy, ThroughTheCpuBackend) {
    Backend b(3);
    tevo_tensor * a = tevo_new_tensor_3d(b.ctx, TEVO_TYPE_F32, 37, 4, 3);
    tevo_tensor * d = tevo_new_tensor_3d(b.ctx, TEVO_TYPE_F16, 37, 4, 3);
    tevo_tensor * c = tevo_cpy(b.ctx, tevo_permute(b.ctx, a, 0, 2, 1, 3), d); // ne 37, 3, 4
    b.alloc();
    std::vector<float> in(37 * 12);
    for (size_t k = 0; k < in.size(); ++k) {
        in[k] = (float) k * 0.37f - 50.0f;
    }
    b.set(a, in);
    b.run(c);
    const std::vector<uint16_t> out = b.get<uint16_t>(d);
    // element (i0, i1, i2) of the permuted view is a's (i0, i2, i1)
    for (int i2 = 0; i2 < 4; ++i2) {
        for (int i1 = 0; i1 < 3; ++i1) {
            for (int i0 = 0; i0 < 37; ++i0) {
                EXPECT_EQ(out[(i2 * 3 + i1) * 37 + i0], ref_f32_to_f16(in[(i1 * 4 + i2) * 37 + i0]));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// block formats: through their converters when they exist, refused otherwise

TEST_F(Cpy, QuantizingCopyUsesTheRowQuantizer) {
    const bool built = tevo_get_type_traits(TEVO_TYPE_Q8_0)->from_float_ref != nullptr;
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 64, 3);
    for (int k = 0; k < 192; ++k) {
        put<float>(a, k, std::sin((float) k));
    }
    tevo_tensor * q = tevo_cast(ctx, a, TEVO_TYPE_Q8_0);
    if (!built) {
        EXPECT_DEATH(compute(ctx, q, 3), "not implemented");
    } else {
        compute(ctx, q, 3);
        std::vector<uint8_t> want(tevo_nbytes(q));
        tevo_get_type_traits(TEVO_TYPE_Q8_0)->from_float_ref((const float *) a->data, want.data(), 192);
        EXPECT_EQ(memcmp(q->data, want.data(), want.size()), 0);
    }
    tevo_free(ctx);
}

TEST_F(Cpy, DequantizingCopyUsesTheRowConverter) {
    const tevo_to_float_t to_float = tevo_get_type_traits(TEVO_TYPE_Q4_0)->to_float;
    tevo_context *        ctx      = new_ctx();
    tevo_tensor *         q        = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 64, 3);
    for (size_t i = 0; i < tevo_nbytes(q); ++i) {
        ((uint8_t *) q->data)[i] = (uint8_t) (i * 13 + 5);
    }
    for (int r = 0; r < 6; ++r) { // small finite scales in every block
        uint16_t * scale = (uint16_t *) ((char *) q->data + r * tevo_type_size(TEVO_TYPE_Q4_0));
        *scale           = 0x2c00;
    }
    tevo_tensor * f = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 96, 2);
    tevo_tensor * c = tevo_cpy(ctx, q, f);
    if (to_float == nullptr) {
        EXPECT_DEATH(compute(ctx, c, 3), "tevo/src/tevo-cpu/ops:[0-9]+: CPY: no row-to-float converter for type q4_0");
    } else {
        compute(ctx, c, 3);
        std::vector<float> want(192);
        to_float(q->data, want.data(), 192);
        EXPECT_EQ(memcmp(f->data, want.data(), sizeof(float) * 192), 0);
    }
    tevo_free(ctx);
}

// The dequantizing copy writes whole blocks of floats: element-strided
// targets, and padded rows that split blocks, are refused before any
// converter is looked up.
TEST_F(Cpy, DequantizingCopyRefusesTargetsThatSplitBlocks) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  q   = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 64, 2);
    memset(q->data, 0, tevo_nbytes(q));

    tevo_tensor * t = tevo_transpose(ctx, tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 16, 8)); // nb0 = 64 bytes
    EXPECT_DEATH(compute(ctx, tevo_cpy(ctx, q, t), 2),
                 "tevo/src/tevo-cpu/ops:[0-9]+: TEVO_ASSERT\\(nb10 == tevo_type_size\\(dst->type\\)\\) failed");

    tevo_tensor * wide = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 20, 8);
    tevo_tensor * rows = tevo_view_2d(ctx, wide, 16, 8, wide->nb[1], 0); // rows of 16: half a block
    EXPECT_DEATH(compute(ctx, tevo_cpy(ctx, q, rows), 2),
                 "tevo/src/tevo-cpu/ops:[0-9]+: TEVO_ASSERT\\(\\(ne10 % qk\\) == 0 \\|\\| "
                 "tevo_is_contiguous\\(dst\\)\\) failed");
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// refusals

struct Refusal {
    tevo_type   st;
    tevo_type   dt;
    bool        strided_dst;
    const char *text;
};

TEST_F(Cpy, RefusedPairsAbortWithTheirText) {
    const Refusal cases[] = {
        { TEVO_TYPE_F32, TEVO_TYPE_IQ2_XXS, false,
          "CPY: no float-to-row converter for type iq2_xxs.*tevo/src/tevo-cpu/ops:[0-9]+: not implemented" },
        { TEVO_TYPE_F32, TEVO_TYPE_I16, false,
          "CPY: no float-to-row converter for type i16.*tevo/src/tevo-cpu/ops:[0-9]+: not implemented" },
        { TEVO_TYPE_F16, TEVO_TYPE_F64, false, "CPY: no float-to-row converter for type f64.*not implemented" },
        { TEVO_TYPE_I32, TEVO_TYPE_F16, false, "tevo/src/tevo-cpu/ops:[0-9]+: not implemented" },
        { TEVO_TYPE_F32, TEVO_TYPE_Q8_0, true, "tevo/src/tevo-cpu/ops:[0-9]+: not implemented" },
        { TEVO_TYPE_F16, TEVO_TYPE_I32, true, "tevo/src/tevo-cpu/ops:[0-9]+: not implemented" },
        { TEVO_TYPE_Q4_0, TEVO_TYPE_F16, false, "tevo/src/tevo-cpu/ops:[0-9]+: fatal error" },
        { TEVO_TYPE_I16, TEVO_TYPE_F32, false, "tevo/src/tevo-cpu/ops:[0-9]+: fatal error" },
        { TEVO_TYPE_Q8_1, TEVO_TYPE_F32, false, "tevo/src/tevo-cpu/ops:[0-9]+: CPY: no row-to-float converter for type q8_1" },
        { TEVO_TYPE_Q8_K, TEVO_TYPE_F32, false, "CPY: no row-to-float converter for type q8_K" },
    };
    for (const Refusal & r : cases) {
        SCOPED_TRACE(std::string(tevo_type_name(r.st)) + " -> " + tevo_type_name(r.dt));
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, r.st, 256, 2);
        memset(a->data, 0, tevo_nbytes(a));
        tevo_tensor * target = r.strided_dst ? tevo_view_2d(ctx, tevo_new_tensor_2d(ctx, r.dt, 512, 2), 256, 2,
                                                            tevo_row_size(r.dt, 512), 0)
                                             : tevo_new_tensor_2d(ctx, r.dt, 256, 2);
        tevo_tensor * c = tevo_cpy(ctx, a, target);
        EXPECT_DEATH(compute(ctx, c, 2), r.text);
        tevo_free(ctx);
    }
}

}  // namespace
