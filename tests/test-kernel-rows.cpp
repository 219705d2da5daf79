// Row gather and scatter: GET_ROWS widens rows picked by index to floats,
// SET_ROWS converts rows into the places its indices name, GET_ROWS_BACK
// adds rows back by index; over strided tables and index tensors, on 1, 3
// and 8 threads; and the refusals.

#include "kernel-test-helpers.h"
#include "cpu/impl.h"

#include <cmath>
#include <string>

using namespace kt;

namespace {

struct Rows : ::testing::Test {
    void SetUp() override { death_setup(); }
};

// finite values exactly representable in the table's type
void fill_table(tevo_tensor * t, std::mt19937 & rng) {
    std::uniform_real_distribution<float> u(-100.0f, 100.0f);
    for (int64_t k = 0; k < tevo_nelements(t); ++k) {
        const float v = u(rng);
        switch (t->type) {
            case TEVO_TYPE_F32:  put<float>(t, k, v); break;
            case TEVO_TYPE_I32:  put<int32_t>(t, k, (int32_t) rng()); break;
            case TEVO_TYPE_F16:  put<uint16_t>(t, k, tevo_fp32_to_fp16(v)); break;
            case TEVO_TYPE_BF16: put<tevo_bf16_t>(t, k, tevo_fp32_to_bf16(v)); break;
            default:             abort();
        }
    }
}

// element (i0, i1, i2, i3) of a table as the float (or int32 bits) a gather gives
uint32_t widened(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    const char * p = (const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
    uint32_t     v = 0;
    switch (t->type) {
        case TEVO_TYPE_F32:
        case TEVO_TYPE_I32:  memcpy(&v, p, 4); return v;
        case TEVO_TYPE_F16:  memcpy(&v, p, 2); return bits(tevo_table_f32_f16[v]);
        case TEVO_TYPE_BF16: memcpy(&v, p, 2); return v << 16;
        default:             abort();
    }
}

tevo_tensor * padded_rows(tevo_context * ctx, tevo_type type, int64_t ne0, int64_t ne1, int64_t ne2, int64_t ne3) {
    tevo_tensor * b = tevo_new_tensor_4d(ctx, type, ne0 + 5, ne1, ne2, ne3);
    return tevo_view_4d(ctx, b, ne0, ne1, ne2, ne3, b->nb[1], b->nb[2], b->nb[3], 0);
}

// an I32 index tensor of extents ne whose elements are 2 apart
tevo_tensor * strided_ids(tevo_context * ctx, tevo_type type, int64_t ne0, int64_t ne1, int64_t ne2) {
    tevo_tensor * b = tevo_new_tensor_3d(ctx, type, 2 * ne0, ne1, ne2);
    tevo_tensor * v = tevo_view_3d(ctx, b, ne0, ne1, ne2, b->nb[1], b->nb[2], 0);
    v->nb[0]        = 2 * tevo_type_size(type);
    return v;
}

// ---------------------------------------------------------------------------
// GET_ROWS

struct GatherCase {
    int64_t table[4];
    int64_t ids[3];
};

const GatherCase gather_cases[] = {
    { { 37, 10, 1, 1 }, { 5, 1, 1 } },
    { { 5, 7, 2, 1 }, { 5, 2, 1 } }, // second five from matrix 1
    { { 9, 6, 2, 3 }, { 4, 2, 3 } },
    { { 64, 3, 1, 1 }, { 17, 1, 1 } },
};

TEST_F(Rows, GatherWidensRowsOfEveryPlainType) {
    std::mt19937 rng(1);
    for (const GatherCase & c : gather_cases) {
        for (tevo_type t : { TEVO_TYPE_F32, TEVO_TYPE_I32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
            for (bool strided : { false, true }) {
                for (int nt : { 1, 3, 8 }) {
                    SCOPED_TRACE(std::string(tevo_type_name(t)) + (strided ? " strided" : "") + " threads " +
                                 std::to_string(nt));
                    tevo_context * ctx = new_ctx();
                    tevo_tensor *  a   = strided ? padded_rows(ctx, t, c.table[0], c.table[1], c.table[2], c.table[3])
                                                 : tevo_new_tensor_4d(ctx, t, c.table[0], c.table[1], c.table[2], c.table[3]);
                    fill_table(a, rng);
                    tevo_tensor * ids = strided ? strided_ids(ctx, TEVO_TYPE_I32, c.ids[0], c.ids[1], c.ids[2])
                                                : tevo_new_tensor_3d(ctx, TEVO_TYPE_I32, c.ids[0], c.ids[1], c.ids[2]);
                    for (int64_t k = 0; k < tevo_nelements(ids); ++k) {
                        put<int32_t>(ids, k, (int32_t) (rng() % c.table[1]));
                    }
                    tevo_tensor * g = tevo_get_rows(ctx, a, ids);
                    EXPECT_EQ(g->type, t == TEVO_TYPE_I32 ? TEVO_TYPE_I32 : TEVO_TYPE_F32);
                    compute_n(ctx, g, nt);
                    for (int64_t i12 = 0; i12 < c.ids[2]; ++i12) {
                        for (int64_t i11 = 0; i11 < c.ids[1]; ++i11) {
                            for (int64_t i10 = 0; i10 < c.ids[0]; ++i10) {
                                const int32_t r = get<int32_t>(ids, i10 + c.ids[0] * (i11 + c.ids[1] * i12));
                                for (int64_t i0 = 0; i0 < c.table[0]; ++i0) {
                                    uint32_t got;
                                    memcpy(&got, (const char *) g->data + i0 * 4 + i10 * g->nb[1] + i11 * g->nb[2] + i12 * g->nb[3], 4);
                                    ASSERT_EQ(got, widened(a, i0, r, i11, i12)) << i0 << " " << i10 << " " << i11 << " " << i12;
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

TEST_F(Rows, GatherThroughTheCpuBackend) {
    Backend       b(3);
    tevo_tensor * a   = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F16, 40, 9);
    tevo_tensor * ids = tevo_new_tensor_1d(b.ctx, TEVO_TYPE_I32, 6);
    tevo_tensor * g   = tevo_get_rows(b.ctx, a, ids);
    b.alloc();
    std::vector<uint16_t> av(360);
    for (int i = 0; i < 360; ++i) {
        av[i] = tevo_fp32_to_fp16((float) i * 0.25f - 30.0f);
    }
    const std::vector<int32_t> iv = { 8, 0, 3, 3, 7, 1 };
    b.set(a, av);
    b.set(ids, iv);
    b.run(g);
    const std::vector<float> out = b.get<float>(g);
    for (int r = 0; r < 6; ++r) {
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(out[r * 40 + i], (float) (iv[r] * 40 + i) * 0.25f - 30.0f);
        }
    }
}

TEST_F(Rows, GatherFromBlockTypesUsesTheRowConverter) {
    const tevo_to_float_t to_float = tevo_get_type_traits(TEVO_TYPE_Q8_0)->to_float;
    tevo_context *        ctx      = new_ctx();
    tevo_tensor *         a        = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q8_0, 64, 4);
    for (size_t i = 0; i < tevo_nbytes(a); ++i) {
        ((uint8_t *) a->data)[i] = (uint8_t) (i * 11 + 3);
    }
    for (int b = 0; b < 8; ++b) { // finite block scales
        *(uint16_t *) ((char *) a->data + b * tevo_type_size(TEVO_TYPE_Q8_0)) = 0x2400;
    }
    tevo_tensor * ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 3);
    put<int32_t>(ids, 0, 2);
    put<int32_t>(ids, 1, 0);
    put<int32_t>(ids, 2, 3);
    tevo_tensor * g = tevo_get_rows(ctx, a, ids);
    if (to_float == nullptr) {
        EXPECT_DEATH(compute(ctx, g, 2), "tevo/src/tevo-cpu/ops:[0-9]+: GET_ROWS: no row-to-float converter for type q8_0");
    } else {
        compute(ctx, g, 2);
        for (int r = 0; r < 3; ++r) {
            std::vector<float> want(64);
            to_float((const char *) a->data + get<int32_t>(ids, r) * a->nb[1], want.data(), 64);
            EXPECT_EQ(memcmp((const char *) g->data + r * g->nb[1], want.data(), 256), 0) << r;
        }
    }
    tevo_free(ctx);
}

TEST_F(Rows, GatherRefusals) {
    struct Case {
        tevo_type   t;
        const char *text;
    };
    const Case cases[] = {
        { TEVO_TYPE_Q8_1, "tevo/src/tevo-cpu/ops:[0-9]+: GET_ROWS: no row-to-float converter for type q8_1" },
        { TEVO_TYPE_Q8_K, "GET_ROWS: rows of type q8_K cannot be gathered.*tevo/src/tevo-cpu/ops:[0-9]+: fatal error" },
        { TEVO_TYPE_I16, "GET_ROWS: rows of type i16 cannot be gathered.*tevo/src/tevo-cpu/ops:[0-9]+: fatal error" },
        { TEVO_TYPE_F64, "tevo/src/tevo-cpu/ops:[0-9]+: fatal error" },
    };
    for (const Case & c : cases) {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, c.t, 256, 2);
        tevo_tensor *  ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 1);
        put<int32_t>(ids, 0, 0);
        EXPECT_DEATH(compute(ctx, tevo_get_rows(ctx, a, ids), 1), c.text);
        tevo_free(ctx);
    }
    for (int32_t bad : { -1, 7 }) {
        tevo_context * ctx = new_ctx();
        tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 7);
        tevo_tensor *  ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 3);
        put<int32_t>(ids, 0, 1);
        put<int32_t>(ids, 1, bad);
        put<int32_t>(ids, 2, 2);
        EXPECT_DEATH(compute_forced(ctx, tevo_get_rows(ctx, a, ids), 3), "TEVO_ASSERT\\(i01 >= 0 && i01 < ne01\\) failed");
        tevo_free(ctx);
    }
}

// ---------------------------------------------------------------------------
// SET_ROWS

struct ScatterCase {
    int64_t src[4]; // rows to write: ne00, ne01, ne02, ne03
    int64_t ne11, ne12;
    int64_t ne1;    // destination rows per matrix
};

const ScatterCase scatter_cases[] = {
    { { 37, 4, 1, 1 }, 1, 1, 9 },
    { { 8, 3, 4, 1 }, 1, 1, 5 }, // one index row for every matrix
    { { 8, 3, 4, 2 }, 2, 2, 6 },
    { { 64, 5, 2, 3 }, 2, 3, 11 },
};

uint32_t converted(tevo_type st, const tevo_tensor * s, int64_t k, tevo_type dt) {
    float v;
    if (st == TEVO_TYPE_F32) {
        v = get<float>(s, k);
    } else {
        if (dt == TEVO_TYPE_F16) {
            return get<uint16_t>(s, k);
        }
        v = tevo_table_f32_f16[get<uint16_t>(s, k)];
    }
    switch (dt) {
        case TEVO_TYPE_F32:  return bits(v);
        case TEVO_TYPE_F16:  return tevo_fp32_to_fp16(v);
        case TEVO_TYPE_BF16: return tevo_fp32_to_bf16(v).bits;
        default:             abort();
    }
}

TEST_F(Rows, ScatterConvertsRowsIntoTheirPlaces) {
    std::mt19937 rng(2);
    for (const ScatterCase & c : scatter_cases) {
        for (tevo_type st : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
            for (tevo_type dt : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
                for (tevo_type it : { TEVO_TYPE_I32, TEVO_TYPE_I64 }) {
                    for (int nt : { 1, 3, 8 }) {
                        SCOPED_TRACE(std::string(tevo_type_name(st)) + " -> " + tevo_type_name(dt) + " " +
                                     tevo_type_name(it) + " threads " + std::to_string(nt));
                        tevo_context * ctx = new_ctx();
                        tevo_tensor *  src = tevo_new_tensor_4d(ctx, st, c.src[0], c.src[1], c.src[2], c.src[3]);
                        fill_table(src, rng);
                        tevo_tensor * dst = padded_rows(ctx, dt, c.src[0], c.ne1, c.src[2], c.src[3]);
                        const size_t  es  = tevo_type_size(dt);
                        for (size_t i = 0; i < tevo_nbytes(dst->view_src); ++i) {
                            ((uint8_t *) dst->data)[i] = 0xAB;
                        }
                        tevo_tensor * ids = strided_ids(ctx, it, c.src[1], c.ne11, c.ne12);
                        // distinct rows per index row: a shuffled prefix of 0..ne1-1
                        for (int64_t j = 0; j < c.ne11 * c.ne12; ++j) {
                            std::vector<int64_t> perm(c.ne1);
                            for (int64_t r = 0; r < c.ne1; ++r) {
                                perm[r] = r;
                            }
                            std::shuffle(perm.begin(), perm.end(), rng);
                            for (int64_t r = 0; r < c.src[1]; ++r) {
                                if (it == TEVO_TYPE_I32) {
                                    put<int32_t>(ids, j * c.src[1] + r, (int32_t) perm[r]);
                                } else {
                                    put<int64_t>(ids, j * c.src[1] + r, perm[r]);
                                }
                            }
                        }
                        tevo_tensor * out = tevo_set_rows(ctx, dst, src, ids);
                        compute_n(ctx, out, nt);

                        for (int64_t i3 = 0; i3 < c.src[3]; ++i3) {
                            for (int64_t i2 = 0; i2 < c.src[2]; ++i2) {
                                std::vector<int64_t> from(c.ne1, -1); // which source row each dst row got
                                const int64_t        j = (i3 % c.ne12) * c.ne11 + (i2 % c.ne11);
                                for (int64_t r = 0; r < c.src[1]; ++r) {
                                    from[it == TEVO_TYPE_I32 ? get<int32_t>(ids, j * c.src[1] + r)
                                                             : get<int64_t>(ids, j * c.src[1] + r)] = r;
                                }
                                for (int64_t r1 = 0; r1 < c.ne1; ++r1) {
                                    for (int64_t i0 = 0; i0 < c.src[0]; ++i0) {
                                        const char * at = (const char *) dst->data + i0 * es + r1 * dst->nb[1] +
                                                          i2 * dst->nb[2] + i3 * dst->nb[3];
                                        uint32_t     got = 0;
                                        memcpy(&got, at, es);
                                        const int64_t k = i0 + c.src[0] * (from[r1] + c.src[1] * (i2 + c.src[2] * i3));
                                        const uint32_t untouched = es == 4 ? 0xABABABABu : 0xABABu;
                                        const uint32_t want = from[r1] < 0 ? untouched : converted(st, src, k, dt);
                                        ASSERT_EQ(got, want) << i0 << " " << r1 << " " << i2 << " " << i3;
                                    }
                                }
                            }
                        }
                        // the padding after each row is untouched
                        EXPECT_EQ(((uint8_t *) dst->data)[c.src[0] * es], 0xAB);
                        tevo_free(ctx);
                    }
                }
            }
        }
    }
}

TEST_F(Rows, ScatterRefusals) {
    auto node = [](tevo_context * ctx, tevo_type dt) {
        tevo_tensor * dst = tevo_new_tensor_2d(ctx, dt, 256, 4);
        tevo_tensor * src = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 256, 2);
        tevo_tensor * ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I64, 2);
        memset(src->data, 0, tevo_nbytes(src));
        put<int64_t>(ids, 0, 3);
        put<int64_t>(ids, 1, 1);
        return tevo_set_rows(ctx, dst, src, ids);
    };
    tevo_context * ctx = new_ctx();
    EXPECT_DEATH(compute(ctx, node(ctx, TEVO_TYPE_I16), 1),
                 "tevo/src/tevo-cpu/ops:[0-9]+: SET_ROWS: no float-to-row converter for type i16");
    EXPECT_DEATH(compute(ctx, node(ctx, TEVO_TYPE_IQ2_XXS), 1), "SET_ROWS: no float-to-row converter for type iq2_xxs");
    if (tevo_get_type_traits(TEVO_TYPE_Q8_0)->from_float_ref == nullptr) {
        EXPECT_DEATH(compute(ctx, node(ctx, TEVO_TYPE_Q8_0), 1), "not implemented");
    }
    {
        tevo_tensor * n = node(ctx, TEVO_TYPE_F32);
        put<int64_t>(n->src[1], 1, 4);
        EXPECT_DEATH(compute_forced(ctx, n, 3), "TEVO_ASSERT\\(i1 >= 0 && i1 < ne1\\) failed");
        put<int64_t>(n->src[1], 1, -1);
        EXPECT_DEATH(compute_forced(ctx, n, 3), "TEVO_ASSERT\\(i1 >= 0 && i1 < ne1\\) failed");
    }
    {
        tevo_tensor * n = node(ctx, TEVO_TYPE_F32);
        n->src[0]->type = TEVO_TYPE_I32; // behind the constructor's back
        EXPECT_DEATH(compute(ctx, n, 1), "tevo/src/tevo-cpu/ops:[0-9]+: src0->type = 26 \\(i32\\) not supported");
    }
    {
        tevo_tensor * n = node(ctx, TEVO_TYPE_F32);
        n->src[1]->type = TEVO_TYPE_F64;
        EXPECT_DEATH(compute(ctx, n, 1), "src1->type = 28 \\(f64\\) not supported");
    }
    tevo_free(ctx);
}

TEST_F(Rows, ScatterThroughTheCpuBackend) {
    Backend       b(3);
    tevo_tensor * cache = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F16, 16, 6);
    tevo_tensor * src   = tevo_new_tensor_2d(b.ctx, TEVO_TYPE_F32, 16, 2);
    tevo_tensor * ids   = tevo_new_tensor_1d(b.ctx, TEVO_TYPE_I64, 2);
    tevo_tensor * out   = tevo_set_rows(b.ctx, cache, src, ids);
    b.alloc();
    b.set(cache, std::vector<uint16_t>(96, 0));
    std::vector<float> sv(32);
    for (int i = 0; i < 32; ++i) {
        sv[i] = (float) i + 0.5f;
    }
    b.set(src, sv);
    b.set(ids, std::vector<int64_t>{ 4, 1 });
    b.run(out);
    const std::vector<uint16_t> got = b.get<uint16_t>(cache);
    for (int r = 0; r < 6; ++r) {
        for (int i = 0; i < 16; ++i) {
            const uint16_t want = r == 4 ? tevo_fp32_to_fp16(sv[i]) : r == 1 ? tevo_fp32_to_fp16(sv[16 + i]) : 0;
            EXPECT_EQ(got[r * 16 + i], want) << r << " " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// GET_ROWS_BACK

TEST_F(Rows, GatherGradientAddsRowsByIndex) {
    std::mt19937 rng(3);
    for (tevo_type t : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        for (int nt : { 1, 3 }) {
            tevo_context * ctx = new_ctx();
            tevo_tensor *  a   = tevo_new_tensor_2d(ctx, t, 13, 7);
            fill_table(a, rng);
            tevo_tensor * ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 7);
            const int32_t iv[7] = { 2, 0, 2, 4, 2, 0, 1 }; // row 2 three times
            for (int i = 0; i < 7; ++i) {
                put<int32_t>(ids, i, iv[i]);
            }
            tevo_tensor * shape = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 13, 5);
            tevo_tensor * g     = tevo_get_rows_back(ctx, a, ids, shape);
            memset(g->data, 0x7f, tevo_nbytes(g)); // cleared by the kernel
            compute_n(ctx, g, nt);
            for (int r = 0; r < 5; ++r) {
                for (int j = 0; j < 13; ++j) {
                    float want = 0.0f;
                    for (int i = 0; i < 7; ++i) {
                        if (iv[i] == r) {
                            want += from_bits(widened(a, j, i, 0, 0));
                        }
                    }
                    ASSERT_EQ(bits(get<float>(g, r * 13 + j)), bits(want)) << r << " " << j;
                }
            }
            tevo_free(ctx);
        }
    }
}

TEST_F(Rows, GatherGradientRefusals) {
    tevo_context * ctx = new_ctx();
    tevo_tensor *  a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 2);
    tevo_tensor *  ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 2);
    memset(a->data, 0, tevo_nbytes(a));
    put<int32_t>(ids, 0, 0);
    put<int32_t>(ids, 1, 3);
    tevo_tensor * g = tevo_get_rows_back(ctx, a, ids, tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 3));
    EXPECT_DEATH(compute(ctx, g, 1), "TEVO_ASSERT\\(r >= 0 && r < dst->ne\\[1\\]\\) failed");
    a->type = TEVO_TYPE_BF16;
    EXPECT_DEATH(compute(ctx, g, 1), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
    tevo_free(ctx);
}

}  // namespace
