// Padding with zeros or wrapped source, reflection padding and roll on the
// CPU, against index references over shapes with padding in every dimension,
// non-contiguous sources and 1, 3 and 8 threads.

#include "kernel-test-helpers.h"

#include <array>

namespace {

using namespace kt;

std::vector<float> row_values(const tevo_tensor * t) {
    std::vector<float> v;
    for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { v.push_back(get(t, i0, i1, i2, i3)); });
    return v;
}

// a contiguous F32 tensor holding 1, 2, 3, ... in index order
tevo_tensor * counting(tevo_context * ctx, int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1, int64_t ne3 = 1) {
    tevo_tensor * t = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne0, ne1, ne2, ne3);
    for (int64_t i = 0; i < tevo_nelements(t); ++i) {
        ((float *) t->data)[i] = (float) (i + 1);
    }
    return t;
}

int64_t wrap(int64_t i, int64_t n) {
    return ((i % n) + n) % n;
}

// the source tensors a case may pad: plain, permuted and strided views
enum class Layout { plain, permuted, strided };

tevo_tensor * make_source(tevo_context * ctx, Layout layout, std::array<int64_t, 4> ne, std::mt19937 & rng) {
    tevo_tensor * t = nullptr;
    switch (layout) {
        case Layout::plain: t = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0], ne[1], ne[2], ne[3]); break;
        case Layout::permuted: {
            // dimensions 0 and 1 swapped: elements of a row are ne[1] floats apart
            tevo_tensor * base = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[1], ne[0], ne[2], ne[3]);
            t                  = tevo_permute(ctx, base, 1, 0, 2, 3);
        } break;
        case Layout::strided: {
            // every other row of a taller tensor
            tevo_tensor * base = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne[0], 2 * ne[1], ne[2], ne[3]);
            t = tevo_view_4d(ctx, base, ne[0], ne[1], ne[2], ne[3], 2 * base->nb[1], base->nb[2], base->nb[3], 0);
        } break;
    }
    fill(t, rng);
    return t;
}

TEST(KernelPad, Examples) {
    Ctx c;
    struct Case {
        const char *       label;
        int                lp0, rp0;
        bool               circular;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        { "zeros around", 1, 2, false, { 0, 1, 2, 3, 0, 0 } },
        { "wrapped around", 1, 2, true, { 3, 1, 2, 3, 1, 2 } },
        { "nothing to add copies", 0, 0, false, { 1, 2, 3 } },
        { "front as wide as the row wraps once", 3, 0, true, { 1, 2, 3, 1, 2, 3 } },
        { "front wider than the row keeps wrapping", 5, 1, true, { 2, 3, 1, 2, 3, 1, 2, 3, 1 } },
        { "back wider than the row", 0, 7, true, { 1, 2, 3, 1, 2, 3, 1, 2, 3, 1 } },
    };
    for (const Case & k : cases) {
        SCOPED_TRACE(k.label);
        tevo_tensor * a   = counting(c.ctx, 3);
        tevo_tensor * out = k.circular ? tevo_pad_ext_circular(c.ctx, a, k.lp0, k.rp0, 0, 0, 0, 0, 0, 0)
                                       : tevo_pad_ext(c.ctx, a, k.lp0, k.rp0, 0, 0, 0, 0, 0, 0);
        compute(c.ctx, { out }, 1);
        EXPECT_EQ(row_values(out), k.want);
    }
}

TEST(KernelPad, EveryDimensionAgainstReference) {
    struct Case {
        std::array<int64_t, 4> ne;
        std::array<int, 8>     p; // lp0, rp0, ..., lp3, rp3
    };
    const std::vector<Case> cases = {
        { { 5, 3, 2, 2 }, { 1, 2, 0, 1, 2, 0, 1, 1 } },
        { { 7, 4, 1, 1 }, { 0, 3, 0, 0, 0, 0, 0, 0 } },         // the tevo_pad form
        { { 3, 2, 3, 2 }, { 4, 5, 3, 1, 0, 4, 2, 0 } },         // wider than the source in front
        { { 17, 9, 1, 1 }, { 0, 0, 0, 0, 0, 0, 0, 0 } },        // a copy
        { { 2, 1, 1, 1 }, { 1, 1, 2, 3, 0, 0, 0, 0 } },         // fewer rows than threads
    };
    const Layout layouts[] = { Layout::plain, Layout::permuted, Layout::strided };

    std::mt19937 rng(7);
    for (const Case & k : cases) {
        for (Layout layout : layouts) {
            for (bool circular : { false, true }) {
                for (int nt : thread_counts()) {
                    SCOPED_TRACE(testing::Message() << "ne0 " << k.ne[0] << " layout " << (int) layout
                                                    << " circular " << circular << " threads " << nt);
                    Ctx           c(4);
                    tevo_tensor * a = make_source(c.ctx, layout, k.ne, rng);
                    const auto &  p = k.p;
                    tevo_tensor * out =
                        circular ? tevo_pad_ext_circular(c.ctx, a, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7])
                                 : tevo_pad_ext(c.ctx, a, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
                    poison(out);
                    compute(c.ctx, { out }, nt);

                    for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                        const int64_t i[4] = { i0, i1, i2, i3 };
                        int64_t       j[4];
                        bool          inside = true;
                        for (int d = 0; d < 4; ++d) {
                            const int64_t lp = p[2 * d], rp = p[2 * d + 1];
                            if (circular) {
                                j[d] = wrap(i[d] - lp, a->ne[d]);
                            } else {
                                inside = inside && lp <= i[d] && i[d] < out->ne[d] - rp;
                                j[d]   = i[d] - lp;
                            }
                        }
                        const float want = inside ? get(a, j[0], j[1], j[2], j[3]) : 0.0f;
                        ASSERT_EQ(bits(get(out, i0, i1, i2, i3)), bits(want)) << i0 << " " << i1 << " " << i2 << " " << i3;
                    });
                }
            }
        }
    }
}

TEST(KernelPad, ThroughTheBackend) {
    tevo_tensor * a = nullptr;
    compute_on_backend(
        [&](tevo_context * ctx) {
            a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 3, 2);
            return tevo_pad_ext_circular(ctx, a, 1, 1, 1, 0, 0, 0, 0, 0);
        },
        [&] {
            const float v[] = { 1, 2, 3, 4, 5, 6 };
            tevo_backend_tensor_set(a, v, 0, sizeof(v));
        },
        [](tevo_tensor * out) {
            std::vector<float> got(15);
            tevo_backend_tensor_get(out, got.data(), 0, sizeof(float) * got.size());
            const std::vector<float> want = { 6, 4, 5, 6, 4, 3, 1, 2, 3, 1, 6, 4, 5, 6, 4 };
            EXPECT_EQ(got, want);
        });
}

TEST(KernelPadReflect, Examples) {
    Ctx c;
    {
        tevo_tensor * out = tevo_pad_reflect_1d(c.ctx, counting(c.ctx, 4), 2, 1);
        compute(c.ctx, { out }, 1);
        EXPECT_EQ(row_values(out), (std::vector<float>{ 3, 2, 1, 2, 3, 4, 3 }));
    }
    {
        tevo_tensor * out = tevo_pad_reflect_1d(c.ctx, counting(c.ctx, 4), 0, 0);
        compute(c.ctx, { out }, 1);
        EXPECT_EQ(row_values(out), (std::vector<float>{ 1, 2, 3, 4 }));
    }
}

TEST(KernelPadReflect, RowsAgainstReference) {
    struct Case {
        std::array<int64_t, 4> ne;
        int                    p0, p1;
    };
    // the voice-activity front end mirrors 64 samples on each side
    const std::vector<Case> cases = {
        { { 576, 3, 1, 1 }, 64, 64 }, { { 9, 5, 3, 2 }, 8, 3 }, { { 2, 1, 1, 1 }, 1, 1 }, { { 6, 2, 1, 1 }, 0, 5 },
    };
    std::mt19937 rng(3);
    for (const Case & k : cases) {
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "ne0 " << k.ne[0] << " threads " << nt);
            Ctx           c(4);
            tevo_tensor * a = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, k.ne[0], k.ne[1], k.ne[2], k.ne[3]);
            fill(a, rng);
            tevo_tensor * out = tevo_pad_reflect_1d(c.ctx, a, k.p0, k.p1);
            poison(out);
            compute(c.ctx, { out }, nt);

            const int64_t n = k.ne[0];
            for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                int64_t j = i0 - k.p0;
                if (j < 0) {
                    j = -j;
                } else if (j >= n) {
                    j = 2 * (n - 1) - j;
                }
                ASSERT_EQ(bits(get(out, i0, i1, i2, i3)), bits(get(a, j, i1, i2, i3))) << i0 << " " << i1;
            });
        }
    }
}

TEST(KernelRoll, Examples) {
    Ctx c;
    const std::pair<int, std::vector<float>> cases[] = {
        { 1, { 4, 1, 2, 3 } }, { -1, { 2, 3, 4, 1 } }, { 0, { 1, 2, 3, 4 } }, { 3, { 2, 3, 4, 1 } } };
    for (const auto & k : cases) {
        SCOPED_TRACE(k.first);
        tevo_tensor * out = tevo_roll(c.ctx, counting(c.ctx, 4), k.first, 0, 0, 0);
        compute(c.ctx, { out }, 1);
        EXPECT_EQ(row_values(out), k.second);
    }
}

TEST(KernelRoll, EveryDimensionAgainstReference) {
    struct Case {
        std::array<int64_t, 4> ne;
        std::array<int, 4>     shift;
    };
    const std::vector<Case> cases = {
        { { 5, 4, 3, 2 }, { 2, -3, 1, -1 } },
        { { 33, 7, 1, 1 }, { -32, 6, 0, 0 } },
        { { 3, 2, 1, 1 }, { 1, 1, 0, 0 } }, // two rows: surplus threads have nothing
        { { 1, 1, 1, 1 }, { 0, 0, 0, 0 } },
    };
    std::mt19937 rng(11);
    for (const Case & k : cases) {
        for (bool strided : { false, true }) {
            for (int nt : thread_counts()) {
                SCOPED_TRACE(testing::Message() << "ne0 " << k.ne[0] << " strided " << strided << " threads " << nt);
                Ctx           c(4);
                tevo_tensor * a = make_source(c.ctx, strided ? Layout::strided : Layout::plain, k.ne, rng);
                tevo_tensor * out = tevo_roll(c.ctx, a, k.shift[0], k.shift[1], k.shift[2], k.shift[3]);
                poison(out);
                compute(c.ctx, { out }, nt);
                for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    const float want = get(a, wrap(i0 - k.shift[0], k.ne[0]), wrap(i1 - k.shift[1], k.ne[1]),
                                           wrap(i2 - k.shift[2], k.ne[2]), wrap(i3 - k.shift[3], k.ne[3]));
                    ASSERT_EQ(bits(get(out, i0, i1, i2, i3)), bits(want)) << i0 << " " << i1 << " " << i2 << " " << i3;
                });
            }
        }
    }
}

TEST(KernelPadDeathTest, RefusedTypes) {
    Ctx c;
    tevo_tensor * h = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F16, 4);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pad, tevo_pad(c.ctx, h, 1, 0, 0, 0)), kernel_abort_re("fatal error"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_roll, tevo_roll(c.ctx, h, 1, 0, 0, 0)),
                 kernel_abort_re("fatal error"));

    // the reflection constructor only builds F32 nodes; the kernel checks again
    tevo_tensor * r = tevo_pad_reflect_1d(c.ctx, counting(c.ctx, 4), 1, 1);
    r->src[0]->type = TEVO_TYPE_F16;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pad_reflect_1d, r), kernel_assert_re("src0->type == TEVO_TYPE_F32"));
    r->src[0]->type = TEVO_TYPE_F32;
    r->type         = TEVO_TYPE_F16;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pad_reflect_1d, r), kernel_assert_re("dst->type == TEVO_TYPE_F32"));
}

} // namespace
