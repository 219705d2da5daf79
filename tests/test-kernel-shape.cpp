// Kernels that tile, join, fill, mask, scale and overwrite tensors: REPEAT,
// REPEAT_BACK, CONCAT, FILL, TRI, SCALE and SET, against plain references,
// over strided sources and several thread counts; and their refusals.

#include "kernel-test-helpers.h"
#include "cpu/impl.h"

#include <cmath>
#include <string>

using namespace kt;

namespace {

struct Shape : ::testing::Test {
    void SetUp() override { death_setup(); }
};

// element bits of any 1-, 2- or 4-byte type
uint32_t bits_at(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    uint32_t v = 0;
    memcpy(&v, (const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3],
           tevo_type_size(t->type));
    return v;
}

void fill_random_bits(tevo_tensor * t, std::mt19937 & rng) {
    for (int64_t k = 0; k < tevo_nelements(t); ++k) {
        const uint32_t v = (uint32_t) rng();
        memcpy((char *) t->data + offset_of(t, k), &v, tevo_type_size(t->type));
    }
}

void fill_random_floats(tevo_tensor * t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    for (int64_t k = 0; k < tevo_nelements(t); ++k) {
        put<float>(t, k, u(rng));
    }
}

// a tensor of extents ne whose rows are padded by 3 elements: rows strided,
// elements packed
tevo_tensor * padded(tevo_context * ctx, tevo_type type, const int64_t ne[4]) {
    tevo_tensor * b = tevo_new_tensor_4d(ctx, type, ne[0] + 3, ne[1], ne[2], ne[3]);
    return tevo_view_4d(ctx, b, ne[0], ne[1], ne[2], ne[3], b->nb[1], b->nb[2], b->nb[3], 0);
}

// ---------------------------------------------------------------------------
// REPEAT and REPEAT_BACK

struct RepeatCase {
    int64_t src[4];
    int64_t dst[4];
};

const RepeatCase repeat_cases[] = {
    { { 2, 1, 1, 1 }, { 4, 3, 1, 1 } },
    { { 3, 2, 1, 2 }, { 6, 4, 3, 2 } },
    { { 5, 3, 1, 1 }, { 15, 6, 2, 1 } },
    { { 7, 1, 2, 1 }, { 7, 5, 4, 3 } },
};

TEST_F(Shape, RepeatTilesBitsOfEveryAcceptedType) {
    std::mt19937 rng(1);
    for (const RepeatCase & c : repeat_cases) {
        for (tevo_type t : { TEVO_TYPE_F32, TEVO_TYPE_I32, TEVO_TYPE_F16, TEVO_TYPE_BF16, TEVO_TYPE_I16 }) {
            for (int nt : { 1, 3, 8 }) {
                SCOPED_TRACE(std::string(tevo_type_name(t)) + " threads " + std::to_string(nt));
                tevo_context * ctx = new_ctx();
                tevo_tensor *  a   = padded(ctx, t, c.src);
                fill_random_bits(a, rng);
                tevo_tensor * r = tevo_repeat_4d(ctx, a, c.dst[0], c.dst[1], c.dst[2], c.dst[3]);
                compute_n(ctx, r, nt);
                for (int64_t i3 = 0; i3 < c.dst[3]; ++i3) {
                    for (int64_t i2 = 0; i2 < c.dst[2]; ++i2) {
                        for (int64_t i1 = 0; i1 < c.dst[1]; ++i1) {
                            for (int64_t i0 = 0; i0 < c.dst[0]; ++i0) {
                                ASSERT_EQ(bits_at(r, i0, i1, i2, i3), bits_at(a, i0 % c.src[0], i1 % c.src[1],
                                                                              i2 % c.src[2], i3 % c.src[3]));
                            }
                        }
                    }
                }
                tevo_free(ctx);
            }
        }
    }
}

TEST_F(Shape, RepeatBackSumsTheTilesInLoopOrder) {
    std::mt19937 rng(2);
    // the named case: [4,3] into [2,1]
    {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 3);
        for (int k = 0; k < 12; ++k) {
            put<float>(a, k, (float) (k + 1));
        }
        tevo_tensor * r = tevo_repeat_back(ctx, a, tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 2, 1));
        compute(ctx, r, 1);
        EXPECT_EQ(get<float>(r, 0), 1.0f + 3 + 5 + 7 + 9 + 11);
        EXPECT_EQ(get<float>(r, 1), 2.0f + 4 + 6 + 8 + 10 + 12);
        tevo_free(ctx);
    }
    for (const RepeatCase & c : repeat_cases) {
        for (int nt : { 1, 3, 8 }) {
            SCOPED_TRACE(nt);
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = padded(ctx, TEVO_TYPE_F32, c.dst);
            fill_random_floats(a, rng);
            tevo_tensor * r = tevo_repeat_back(ctx, a, tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, c.src[0], c.src[1],
                                                                          c.src[2], c.src[3]));
            compute_n(ctx, r, nt);
            for (int64_t k3 = 0; k3 < c.src[3]; ++k3) {
                for (int64_t k2 = 0; k2 < c.src[2]; ++k2) {
                    for (int64_t k1 = 0; k1 < c.src[1]; ++k1) {
                        for (int64_t k0 = 0; k0 < c.src[0]; ++k0) {
                            float want = 0.0f;
                            for (int64_t i3 = 0; i3 < c.dst[3] / c.src[3]; ++i3) {
                                for (int64_t i2 = 0; i2 < c.dst[2] / c.src[2]; ++i2) {
                                    for (int64_t i1 = 0; i1 < c.dst[1] / c.src[1]; ++i1) {
                                        for (int64_t i0 = 0; i0 < c.dst[0] / c.src[0]; ++i0) {
                                            want += from_bits(bits_at(a, i0 * c.src[0] + k0, i1 * c.src[1] + k1,
                                                                i2 * c.src[2] + k2, i3 * c.src[3] + k3));
                                        }
                                    }
                                }
                            }
                            ASSERT_EQ(bits(from_bits(bits_at(r, k0, k1, k2, k3))), bits(want));
                        }
                    }
                }
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Shape, RepeatRefusals) {
    tevo_context * ctx = new_ctx();
    {
        tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F64, 2, 1);
        EXPECT_DEATH(compute(ctx, tevo_repeat_4d(ctx, a, 4, 3, 1, 1), 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    }
    {
        // a target that is not a multiple, behind the constructor's back
        tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 2, 1);
        tevo_tensor * r = tevo_repeat_4d(ctx, a, 4, 3, 1, 1);
        r->ne[0]        = 5;
        EXPECT_DEATH(compute(ctx, r, 1), "TEVO_ASSERT\\(tevo_can_repeat\\(src0, dst\\)\\) failed");
    }
    {
        tevo_tensor * a = tevo_transpose(ctx, tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 3, 2)); // ne 2, 3
        EXPECT_DEATH(compute(ctx, tevo_repeat_4d(ctx, a, 4, 3, 1, 1), 1),
                     "TEVO_ASSERT\\(nb00 == sizeof\\(tevo_fp16_t\\)\\) failed");
    }
    {
        tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 2, 1);
        tevo_tensor * r = tevo_repeat_back(ctx, tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 4, 2), a);
        EXPECT_DEATH(compute(ctx, r, 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    }
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// CONCAT

TEST_F(Shape, ConcatJoinsAlongEveryDimension) {
    std::mt19937 rng(3);
    const int64_t base[4] = { 5, 3, 2, 3 };
    for (int dim = 0; dim < 4; ++dim) {
        for (tevo_type t : { TEVO_TYPE_F32, TEVO_TYPE_I32, TEVO_TYPE_F16, TEVO_TYPE_BF16, TEVO_TYPE_I8 }) {
            for (bool permuted : { false, true }) {
                for (int nt : { 1, 3, 8 }) {
                    SCOPED_TRACE(std::string("dim ") + std::to_string(dim) + " " + tevo_type_name(t) +
                                 (permuted ? " permuted" : "") + " threads " + std::to_string(nt));
                    int64_t ne1[4] = { base[0], base[1], base[2], base[3] };
                    ne1[dim] += 2;
                    tevo_context * ctx = new_ctx();
                    tevo_tensor *  a   = padded(ctx, t, base);
                    tevo_tensor *  b;
                    if (permuted) { // dimensions 0 and 1 swapped: elements strided
                        b = tevo_transpose(ctx, tevo_new_tensor_4d(ctx, t, ne1[1], ne1[0], ne1[2], ne1[3]));
                    } else {
                        b = tevo_new_tensor_4d(ctx, t, ne1[0], ne1[1], ne1[2], ne1[3]);
                    }
                    fill_random_bits(a, rng);
                    fill_random_bits(b, rng);
                    tevo_tensor * c = tevo_concat(ctx, a, b, dim);
                    compute(ctx, c, nt);
                    for (int64_t i3 = 0; i3 < c->ne[3]; ++i3) {
                        for (int64_t i2 = 0; i2 < c->ne[2]; ++i2) {
                            for (int64_t i1 = 0; i1 < c->ne[1]; ++i1) {
                                for (int64_t i0 = 0; i0 < c->ne[0]; ++i0) {
                                    const int64_t i[4] = { i0, i1, i2, i3 };
                                    int64_t       j[4] = { i0, i1, i2, i3 };
                                    const bool    in_a = i[dim] < base[dim];
                                    if (!in_a) {
                                        j[dim] -= base[dim];
                                    }
                                    const uint32_t want =
                                        in_a ? bits_at(a, j[0], j[1], j[2], j[3]) : bits_at(b, j[0], j[1], j[2], j[3]);
                                    ASSERT_EQ(bits_at(c, i0, i1, i2, i3), want) << i0 << " " << i1 << " " << i2 << " " << i3;
                                }
                            }
                        }
                    }
                    tevo_free(ctx);
                }
            }
        }
    }
}

// Block types go by whole rows; along dimension 0 the src1 blocks follow.
TEST_F(Shape, ConcatOfBlockRows) {
    for (int dim : { 0, 1, 2 }) {
        for (int nt : { 1, 3 }) {
            SCOPED_TRACE(dim);
            tevo_context * ctx = new_ctx();
            const size_t   bs  = tevo_type_size(TEVO_TYPE_Q8_0);
            tevo_tensor *  a   = tevo_new_tensor_3d(ctx, TEVO_TYPE_Q8_0, 64, 3, 2);
            int64_t        ne1[3] = { 64, 3, 2 };
            ne1[dim] += dim == 0 ? 32 : 1;
            tevo_tensor * b = tevo_new_tensor_3d(ctx, TEVO_TYPE_Q8_0, ne1[0], ne1[1], ne1[2]);
            for (size_t i = 0; i < tevo_nbytes(a); ++i) {
                ((uint8_t *) a->data)[i] = (uint8_t) (i * 3 + 1);
            }
            for (size_t i = 0; i < tevo_nbytes(b); ++i) {
                ((uint8_t *) b->data)[i] = (uint8_t) (i * 5 + 2);
            }
            tevo_tensor * c = tevo_concat(ctx, a, b, dim);
            compute(ctx, c, nt);
            for (int64_t i2 = 0; i2 < c->ne[2]; ++i2) {
                for (int64_t i1 = 0; i1 < c->ne[1]; ++i1) {
                    const char * row = (const char *) c->data + i1 * c->nb[1] + i2 * c->nb[2];
                    if (dim == 0) {
                        EXPECT_EQ(memcmp(row, (const char *) a->data + i1 * a->nb[1] + i2 * a->nb[2], 2 * bs), 0);
                        EXPECT_EQ(memcmp(row + 2 * bs, (const char *) b->data + i1 * b->nb[1] + i2 * b->nb[2], 3 * bs), 0);
                    } else {
                        const bool    in_a = dim == 1 ? i1 < 3 : i2 < 2;
                        const int64_t j1   = dim == 1 && !in_a ? i1 - 3 : i1;
                        const int64_t j2   = dim == 2 && !in_a ? i2 - 2 : i2;
                        const tevo_tensor * s = in_a ? a : b;
                        EXPECT_EQ(memcmp(row, (const char *) s->data + j1 * s->nb[1] + j2 * s->nb[2], 2 * bs), 0);
                    }
                }
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Shape, ConcatThroughTheCpuBackend) {
    Backend       b(3);
    tevo_tensor * x = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, 3, 2);
    tevo_tensor * y = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, 3, 5);
    tevo_tensor * c = tevo_concat(b.ctx, x, y, 1);
    b.alloc();
    std::vector<float> xv(6), yv(15);
    for (int i = 0; i < 6; ++i) {
        xv[i] = (float) i;
    }
    for (int i = 0; i < 15; ++i) {
        yv[i] = 100.0f + (float) i;
    }
    b.set(x, xv);
    b.set(y, yv);
    b.run(c);
    const std::vector<float> out = b.get<float>(c);
    ASSERT_EQ(out.size(), 21u);
    for (int i = 0; i < 21; ++i) {
        EXPECT_EQ(out[i], i < 6 ? xv[i] : yv[i - 6]);
    }
}

// ---------------------------------------------------------------------------
// FILL

TEST_F(Shape, FillWritesTheConstant) {
    for (int nt : { 1, 3, 8 }) {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 13, 7, 3);
        tevo_tensor *  f   = tevo_fill(ctx, a, -2.5f);
        tevo_tensor *  h   = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, 13, 7, 3);
        tevo_tensor *  g   = tevo_fill_inplace(ctx, h, NAN);
        tevo_tensor *  h2  = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 9, 5);
        tevo_tensor *  g2  = tevo_fill(ctx, h2, 1.00048828125f); // a tie between two halves: to even
        compute(ctx, f, nt);
        compute(ctx, g, nt);
        compute(ctx, g2, nt);
        for (int64_t k = 0; k < tevo_nelements(a); ++k) {
            ASSERT_EQ(get<float>(f, k), -2.5f);
            ASSERT_EQ(get<uint16_t>(h, k), 0x7e00);
        }
        for (int64_t k = 0; k < tevo_nelements(h2); ++k) {
            ASSERT_EQ(get<uint16_t>(g2, k), 0x3c00);
        }
        tevo_free(ctx);
    }
}

TEST_F(Shape, FillRefusesOtherTypes) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 4);
    tevo_tensor *  f   = tevo_fill(ctx, a, 1.0f);
    a->type            = TEVO_TYPE_BF16; // the constructor would not allow it
    f->type            = TEVO_TYPE_BF16;
    EXPECT_DEATH(compute(ctx, f, 2), "tevo/src/tevo-cpu/ops:[0-9]+: unsupported type for tevo_compute_forward_fill: bf16");
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// TRI

TEST_F(Shape, TriKeepsOneTriangle) {
    const float want[4][9] = {
        { 1, 1, 1, 0, 1, 1, 0, 0, 1 }, // upper with the diagonal
        { 0, 1, 1, 0, 0, 1, 0, 0, 0 }, // upper
        { 1, 0, 0, 1, 1, 0, 1, 1, 1 }, // lower with the diagonal
        { 0, 0, 0, 1, 0, 0, 1, 1, 0 }, // lower
    };
    for (int type = 0; type < 4; ++type) {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 3);
        for (int k = 0; k < 9; ++k) {
            put<float>(a, k, 1.0f);
        }
        tevo_tensor * t = tevo_tri(ctx, a, (tevo_tri_type) type);
        compute(ctx, t, 2);
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(get<float>(t, k), want[type][k]) << type << " " << k;
        }
        tevo_free(ctx);
    }
    // batches of matrices, values copied bit for bit, zeros positive
    std::mt19937 rng(4);
    for (int type = 0; type < 4; ++type) {
        for (int nt : { 1, 3, 8 }) {
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, 7, 7, 2, 3);
            fill_random_bits(a, rng);
            tevo_tensor * t = tevo_tri(ctx, a, (tevo_tri_type) type);
            compute(ctx, t, nt);
            for (int64_t i3 = 0; i3 < 3; ++i3) {
                for (int64_t i2 = 0; i2 < 2; ++i2) {
                    for (int64_t i1 = 0; i1 < 7; ++i1) {
                        for (int64_t i0 = 0; i0 < 7; ++i0) {
                            const bool keep = type == 0 ? i0 >= i1 : type == 1 ? i0 > i1 : type == 2 ? i0 <= i1 : i0 < i1;
                            ASSERT_EQ(bits_at(t, i0, i1, i2, i3), keep ? bits_at(a, i0, i1, i2, i3) : 0u);
                        }
                    }
                }
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Shape, TriRefusals) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 3);
    tevo_tensor *  t   = tevo_tri(ctx, a, TEVO_TRI_TYPE_LOWER);
    t->op_params[0]    = 4;
    EXPECT_DEATH(compute(ctx, t, 1), "tevo/src/tevo-cpu/ops:[0-9]+: invalid tri type");
    t->op_params[0] = -1;
    EXPECT_DEATH(compute(ctx, t, 1), "invalid tri type");
    t->op_params[0] = 0;
    a->type         = TEVO_TYPE_I32;
    EXPECT_DEATH(compute(ctx, t, 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// SCALE

TEST_F(Shape, ScaleF32) {
    std::mt19937 rng(5);
    struct Case {
        float s, b;
        bool  inplace;
    };
    const Case cases[] = { { 0.37f, 0.0f, false }, { 0.37f, -0.0f, true }, { -3.1f, 0.25f, false },
                           { 1.7f, 2.5f, true }, { 2.0f, NAN, false } };
    for (const Case & c : cases) {
        for (int nt : { 1, 3, 8 }) {
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 37, 5, 3);
            fill_random_floats(a, rng);
            std::vector<float> in((float *) a->data, (float *) a->data + tevo_nelements(a));
            tevo_tensor *      r = c.inplace ? tevo_scale_bias_inplace(ctx, a, c.s, c.b) : tevo_scale_bias(ctx, a, c.s, c.b);
            compute_n(ctx, r, nt);
            for (size_t k = 0; k < in.size(); ++k) {
                volatile float p    = in[k] * c.s; // two roundings, no fused multiply-add
                const float    want = c.b == 0.0f ? (float) p : p + c.b;
                ASSERT_EQ(bits(((float *) r->data)[k]), bits(want)) << k;
            }
            if (c.inplace) {
                EXPECT_EQ(r->data, a->data);
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Shape, ScaleBF16RoundsTheFusedResultOnce) {
    std::mt19937 rng(6);
    for (float b : { 0.0f, 0.3f }) {
        for (int nt : { 1, 3 }) {
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_BF16, 45, 6);
            for (int64_t k = 0; k < 45 * 6; ++k) {
                const uint16_t v = (uint16_t) (rng() & 0xffff);
                put<uint16_t>(a, k, v);
            }
            const float   s = 1.3f;
            tevo_tensor * r = tevo_scale_bias(ctx, a, s, b);
            compute_n(ctx, r, nt);
            for (int64_t k = 0; k < 45 * 6; ++k) {
                const float    x = from_bits((uint32_t) get<uint16_t>(a, k) << 16);
                const uint32_t u = bits(std::fma(s, x, b));
                const uint16_t want =
                    (u & 0x7fffffff) > 0x7f800000 ? (uint16_t) ((u >> 16) | 0x40) : (uint16_t) ((u + 0x7fff + ((u >> 16) & 1)) >> 16);
                ASSERT_EQ(get<uint16_t>(r, k), want) << k;
            }
            tevo_free(ctx);
        }
    }
}

// Padded rows, which the constructor accepts, are scaled row by row through
// the strides; the gaps between the rows stay as they were.
TEST_F(Shape, ScalePaddedRowsMatchTheReference) {
    std::mt19937  rng(8);
    const int64_t ne[4] = { 37, 5, 3, 2 };
    for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_BF16 }) {
        for (float b : { 0.0f, 0.75f }) {
            for (bool inplace : { false, true }) {
                for (int nt : { 1, 3, 8 }) {
                    SCOPED_TRACE(testing::Message() << tevo_type_name(type) << " b " << b << " inplace " << inplace
                                                    << " nt " << nt);
                    tevo_context * ctx = new_ctx();
                    tevo_tensor *  a   = padded(ctx, type, ne);
                    poison(a->view_src);
                    std::vector<float> in;
                    for (int64_t k = 0; k < tevo_nelements(a); ++k) {
                        const float x = std::uniform_real_distribution<float>(-10.0f, 10.0f)(rng);
                        if (type == TEVO_TYPE_F32) {
                            put<float>(a, k, x);
                            in.push_back(x);
                        } else {
                            const uint16_t h = (uint16_t) (bits(x) >> 16);
                            put<uint16_t>(a, k, h);
                            in.push_back(from_bits((uint32_t) h << 16));
                        }
                    }
                    const std::vector<char> before((const char *) a->view_src->data,
                                                   (const char *) a->view_src->data + tevo_nbytes(a->view_src));
                    const float   s = 1.5f;
                    tevo_tensor * r = inplace ? tevo_scale_bias_inplace(ctx, a, s, b) : tevo_scale_bias(ctx, a, s, b);
                    compute_n(ctx, r, nt);
                    for (int64_t k = 0; k < tevo_nelements(a); ++k) {
                        const float want = std::fma(s, in[k], b);
                        const float got  = type == TEVO_TYPE_F32 ? get<float>(r, k)
                                                                 : from_bits((uint32_t) get<uint16_t>(r, k) << 16);
                        // one bf16 rounding at most
                        ASSERT_NEAR(got, want, type == TEVO_TYPE_F32 ? 1e-5f * (1.0f + std::fabs(want))
                                                                     : 4e-3f * std::fabs(want) + 1e-6f)
                            << k;
                    }
                    // the gaps of the padded source hold their poison
                    const char *  root = (const char *) a->view_src->data;
                    const int64_t row  = ne[0] * (int64_t) tevo_type_size(type);
                    for (size_t off = 0; off < before.size(); ++off) {
                        if ((int64_t) (off % a->nb[1]) >= row) {
                            ASSERT_EQ(root[off], before[off]) << off;
                        }
                    }
                    if (inplace) {
                        EXPECT_EQ(r->data, a->data);
                    }
                    tevo_free(ctx);
                }
            }
        }
    }
}

TEST_F(Shape, ScaleRefusals) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 4, 4);
    EXPECT_DEATH(compute(ctx, tevo_scale(ctx, a, 2.0f), 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    // elements not packed within their row: a node the constructor would refuse
    tevo_tensor * p = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 6);
    tevo_tensor * r = tevo_scale(ctx, tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 6, 4), 2.0f);
    r->src[0]       = tevo_transpose(ctx, p);
    EXPECT_DEATH(compute(ctx, r, 1), "TEVO_ASSERT\\(src0->nb\\[0\\] == tevo_type_size\\(src0->type\\)\\) failed");
    tevo_free(ctx);
}

// ---------------------------------------------------------------------------
// SET

struct SetCase {
    int64_t b[3];   // extents of the written tensor
    int64_t nb1e;   // window strides in elements of a
    int64_t nb2e;
    int64_t offe;   // offset in elements
};

// a is 10 x 6 x 3 elements (180)
const SetCase set_cases[] = {
    { { 7, 1, 1 }, 10, 60, 23 },   // 1-D, unaligned
    { { 4, 3, 1 }, 10, 60, 11 },   // 2-D in a's rows
    { { 3, 2, 2 }, 7, 60, 5 },     // own row stride
    { { 5, 3, 2 }, 10, 60, 95 },   // ending on the last element
    { { 1, 1, 1 }, 10, 60, 179 },  // the last element alone
};

TEST_F(Shape, SetWritesTheWindowAndKeepsTheRest) {
    for (tevo_type t : { TEVO_TYPE_F32, TEVO_TYPE_I32 }) {
        for (const SetCase & c : set_cases) {
            for (bool inplace : { false, true }) {
                for (int nt : { 1, 3, 8 }) {
                    SCOPED_TRACE(std::string(tevo_type_name(t)) + (inplace ? " inplace" : "") + " threads " +
                                 std::to_string(nt) + " offset " + std::to_string(c.offe));
                    tevo_context * ctx = new_ctx();
                    tevo_tensor *  a   = tevo_new_tensor_3d(ctx, t, 10, 6, 3);
                    tevo_tensor *  b   = tevo_new_tensor_3d(ctx, t, c.b[0], c.b[1], c.b[2]);
                    for (int k = 0; k < 180; ++k) {
                        put<uint32_t>(a, k, 1000u + k);
                    }
                    for (int64_t k = 0; k < tevo_nelements(b); ++k) {
                        put<uint32_t>(b, k, 5000u + (uint32_t) k);
                    }
                    tevo_tensor * r = inplace ? tevo_set_inplace(ctx, a, b, 4 * c.nb1e, 4 * c.nb2e, 4 * 180, 4 * c.offe)
                                              : tevo_set(ctx, a, b, 4 * c.nb1e, 4 * c.nb2e, 4 * 180, 4 * c.offe);
                    compute_n(ctx, r, nt);
                    std::vector<uint32_t> want(180);
                    for (int k = 0; k < 180; ++k) {
                        want[k] = 1000u + k;
                    }
                    for (int64_t i2 = 0; i2 < c.b[2]; ++i2) {
                        for (int64_t i1 = 0; i1 < c.b[1]; ++i1) {
                            for (int64_t i0 = 0; i0 < c.b[0]; ++i0) {
                                want[c.offe + i0 + i1 * c.nb1e + i2 * c.nb2e] =
                                    5000u + (uint32_t) (i0 + c.b[0] * (i1 + c.b[1] * i2));
                            }
                        }
                    }
                    for (int k = 0; k < 180; ++k) {
                        ASSERT_EQ(get<uint32_t>(r, k), want[k]) << k;
                    }
                    if (inplace) {
                        EXPECT_EQ(r->data, a->data);
                    } else { // the source is left as it was
                        EXPECT_EQ(get<uint32_t>(a, c.offe), 1000u + c.offe);
                    }
                    tevo_free(ctx);
                }
            }
        }
    }
}

// Windows that do not lie wholly inside the destination are refused, among
// them one that starts exactly at its end, one whose last element straddles
// it and a negative offset (the constructor's checks bypassed).
TEST_F(Shape, SetRefusesWindowsOutsideTheDestination) {
    const char * text =
        "TEVO_ASSERT\\(offset >= 0 && offset \\+ ne10\\*nb0 \\+ im1\\*nb1 \\+ im2\\*nb2 \\+ im3\\*nb3 <= "
        "tevo_nbytes\\(dst\\)\\) failed";
    struct Bad {
        int64_t b0, b1;
        int32_t nb1, offset;
    };
    const Bad bad[] = {
        { 1, 1, 40, 720 },  // starts at the end
        { 2, 1, 40, 716 },  // second element past the end
        { 1, 1, 40, 718 },  // unaligned: last element straddles the end
        { 3, 2, 40, 700 },  // second row past the end
        { 1, 1, 40, -4 },   // negative offset
        { 2, 2, -40, 100 }, // negative stride
    };
    for (const Bad & x : bad) {
        for (bool inplace : { false, true }) {
            SCOPED_TRACE(x.offset);
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 10, 6, 3);
            tevo_tensor *  b   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, x.b0, x.b1);
            tevo_tensor *  r   = inplace ? tevo_set_1d_inplace(ctx, a, b, 0) : tevo_set_1d(ctx, a, b, 0);
            r->op_params[0]    = x.nb1;
            r->op_params[3]    = x.offset;
            EXPECT_DEATH(compute_forced(ctx, r, 3), text);
            tevo_free(ctx);
        }
    }
    // the same window ending exactly at the end is fine
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 10, 6, 3);
    tevo_tensor *  b   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 2, 1);
    tevo_tensor *  r   = tevo_set_1d(ctx, a, b, 0);
    put<float>(b, 0, 1.0f);
    put<float>(b, 1, 2.0f);
    r->op_params[3] = 712;
    compute_forced(ctx, r, 3);
    EXPECT_EQ(get<float>(r, 178), 1.0f);
    EXPECT_EQ(get<float>(r, 179), 2.0f);
    tevo_free(ctx);
}

TEST_F(Shape, SetRefusesOtherTypes) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 8, 2);
    tevo_tensor *  b   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F16, 4);
    EXPECT_DEATH(compute(ctx, tevo_set_1d(ctx, a, b, 0), 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    tevo_free(ctx);
}

TEST_F(Shape, ScaleAndSetThroughTheCpuBackend) {
    Backend       be(3);
    tevo_tensor * a = tevo_new_tensor_2d(be.ctx, TEVO_TYPE_F32, 8, 4);
    tevo_tensor * b = tevo_new_tensor_2d(be.ctx, TEVO_TYPE_F32, 3, 2);
    tevo_tensor * s = tevo_scale(be.ctx, a, 0.5f);
    tevo_tensor * r = tevo_set_2d(be.ctx, s, b, s->nb[1], 4 * 9);
    be.alloc();
    std::vector<float> av(32), bv(6);
    for (int i = 0; i < 32; ++i) {
        av[i] = (float) i;
    }
    for (int i = 0; i < 6; ++i) {
        bv[i] = -1.0f - (float) i;
    }
    be.set(a, av);
    be.set(b, bv);
    be.run(r);
    const std::vector<float> out = be.get<float>(r);
    for (int i = 0; i < 32; ++i) {
        const int row = i / 8, col = i % 8;
        const bool in = (row == 1 || row == 2) && col >= 1 && col < 4;
        EXPECT_EQ(out[i], in ? bv[(row - 1) * 3 + col - 1] : av[i] * 0.5f) << i;
    }
}

}  // namespace
