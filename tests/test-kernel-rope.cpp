// Rotary position embedding on the CPU: every mode (adjacent pairs, halves,
// the three multi-section modes) with extended-context scaling, frequency
// factors and offsets, against a double-precision rotation; the backward
// pass as the adjoint of the forward one; the bad parameters it refuses.

#include "kernel-test-helpers.h"

#include <cmath>
#include <vector>

namespace {

using namespace kt;

struct RopeCase {
    const char * name;
    int          mode;
    int64_t      ne[4];
    int          n_dims;
    int          n_offs;
    int          sections[4];
    float        freq_base, freq_scale, ext_factor, attn_factor, beta_fast, beta_slow;
    int          n_ctx_orig;
    bool         freq_factors;
    tevo_type    type;
    bool         strided; // source rows further apart than packed
    bool         inplace;
};

bool is_multi(int mode) {
    return (mode & TEVO_ROPE_TYPE_MULTI) != 0;
}

// What one rope node reads and writes.
struct RopeRun {
    tevo_tensor * x   = nullptr;
    tevo_tensor * pos = nullptr;
    tevo_tensor * ff  = nullptr;
    tevo_tensor * y   = nullptr;
};

tevo_tensor * make_rows(tevo_context * ctx, const RopeCase & rc) {
    if (!rc.strided) {
        return tevo_new_tensor_4d(ctx, rc.type, rc.ne[0], rc.ne[1], rc.ne[2], rc.ne[3]);
    }
    tevo_tensor * base = tevo_new_tensor_4d(ctx, rc.type, rc.ne[0] + 6, rc.ne[1] + 1, rc.ne[2], rc.ne[3]);
    return tevo_view_4d(ctx, base, rc.ne[0], rc.ne[1], rc.ne[2], rc.ne[3], base->nb[1], base->nb[2], base->nb[3],
                        2 * base->nb[0]);
}

tevo_tensor * rope_node(tevo_context * ctx, const RopeCase & rc, tevo_tensor * x, tevo_tensor * pos,
                        tevo_tensor * ff, bool forward) {
    tevo_tensor * y;
    if (!forward) {
        y = is_multi(rc.mode) ? tevo_rope_multi_back(ctx, x, pos, ff, rc.n_dims, rc.sections, rc.mode, rc.n_ctx_orig,
                                                     rc.freq_base, rc.freq_scale, rc.ext_factor, rc.attn_factor,
                                                     rc.beta_fast, rc.beta_slow)
                              : tevo_rope_ext_back(ctx, x, pos, ff, rc.n_dims, rc.mode, rc.n_ctx_orig, rc.freq_base,
                                                   rc.freq_scale, rc.ext_factor, rc.attn_factor, rc.beta_fast,
                                                   rc.beta_slow);
    } else if (is_multi(rc.mode)) {
        y = (rc.inplace ? tevo_rope_multi_inplace : tevo_rope_multi)(
            ctx, x, pos, ff, rc.n_dims, rc.sections, rc.mode, rc.n_ctx_orig, rc.freq_base, rc.freq_scale,
            rc.ext_factor, rc.attn_factor, rc.beta_fast, rc.beta_slow);
    } else {
        y = (rc.inplace ? tevo_rope_ext_inplace : tevo_rope_ext)(ctx, x, pos, ff, rc.n_dims, rc.mode, rc.n_ctx_orig,
                                                                 rc.freq_base, rc.freq_scale, rc.ext_factor,
                                                                 rc.attn_factor, rc.beta_fast, rc.beta_slow);
    }
    if (rc.n_offs != 0) {
        tevo_rope_set_offset(y, rc.n_offs);
    }
    return y;
}

RopeRun build(tevo_context * ctx, const RopeCase & rc, std::mt19937 & rng) {
    RopeRun r;
    r.x = make_rows(ctx, rc);
    fill(r.x, rng, -2.0f, 2.0f);
    const int64_t n_pos = (is_multi(rc.mode) ? 4 : 1) * rc.ne[2];
    r.pos               = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, n_pos);
    std::uniform_int_distribution<int> pd(-3, 17);
    for (int64_t i = 0; i < n_pos; ++i) {
        ((int32_t *) r.pos->data)[i] = pd(rng);
    }
    if (rc.freq_factors) {
        // vision rotates n_dims vectors, the other modes n_dims / 2
        const int64_t n = rc.mode == TEVO_ROPE_TYPE_VISION ? rc.n_dims : rc.n_dims / 2;
        r.ff            = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n + 1);
        std::uniform_real_distribution<float> fd(0.5f, 3.0f);
        for (int64_t i = 0; i <= n; ++i) {
            ((float *) r.ff->data)[i] = fd(rng);
        }
    }
    r.y = rope_node(ctx, rc, r.x, r.pos, r.ff, true);
    return r;
}

// ---------------------------------------------------------------------------
// reference, in double

struct RefAngles {
    std::vector<double> c, s; // per vector, scaled and signed
};

void ref_corr_dims(const RopeCase & rc, double dims[2]) {
    const double pi    = 3.14159265358979323846;
    const double denom = 2.0 * std::log((double) rc.freq_base);
    const double low   = std::floor(std::log(rc.n_ctx_orig / (2.0 * rc.beta_fast * pi)) * rc.n_dims / denom);
    const double high  = std::ceil(std::log(rc.n_ctx_orig / (2.0 * rc.beta_slow * pi)) * rc.n_dims / denom);
    dims[0]            = std::max(0.0, low);
    dims[1]            = std::min((double) rc.n_dims - 1, high);
}

// the base angle of each vector: a position times theta_scale^k, with the
// stream chosen by the vector's sector and, in vision mode, restarted at the
// start of its section
std::vector<double> ref_base_angles(const RopeCase & rc, const int32_t * pos, int64_t i2, int64_t n_vec) {
    const double        ts = std::pow((double) rc.freq_base, -2.0 / rc.n_dims);
    std::vector<double> theta(n_vec);
    if (!is_multi(rc.mode)) {
        for (int64_t k = 0; k < n_vec; ++k) theta[k] = pos[i2] * std::pow(ts, (double) k);
        return theta;
    }
    const int64_t ne2 = rc.ne[2];
    const int *   sec = rc.sections;
    const int64_t sum = sec[0] + sec[1] + sec[2] + sec[3];
    double        p[4], start[4] = { 0, 0, 0, 0 }; // stream values and the vector they restarted at
    for (int j = 0; j < 4; ++j) p[j] = pos[i2 + j * ne2];
    for (int64_t k = 0; k < n_vec; ++k) {
        const int64_t sct = k % sum;
        if (rc.mode == TEVO_ROPE_TYPE_VISION) {
            const int64_t borders[4] = { 0, sec[0], sec[0] + sec[1], sec[0] + sec[1] + sec[2] };
            for (int j = 0; j < 4; ++j) {
                if (sct == borders[j]) {
                    start[j] = (double) k;
                    break;
                }
            }
        }
        int stream;
        if (rc.mode == TEVO_ROPE_TYPE_MULTI_INTERLEAVED) {
            stream = (sct % 3 == 1 && sct < 3 * sec[1])   ? 1
                     : (sct % 3 == 2 && sct < 3 * sec[2]) ? 2
                     : (sct % 3 == 0 && sct < 3 * sec[0]) ? 0
                                                          : 3;
        } else {
            stream = sct < sec[0] ? 0 : sct < sec[0] + sec[1] ? 1 : sct < sec[0] + sec[1] + sec[2] ? 2 : 3;
        }
        theta[k] = p[stream] * std::pow(ts, (double) k - start[stream]);
    }
    return theta;
}

RefAngles ref_angles(const RopeCase & rc, const RopeRun & r, int64_t i2, bool forward) {
    const int64_t n_vec = rc.mode == TEVO_ROPE_TYPE_VISION ? rc.n_dims : rc.n_dims / 2;
    const auto    base  = ref_base_angles(rc, (const int32_t *) r.pos->data, i2, n_vec);
    double        corr[2];
    ref_corr_dims(rc, corr);
    RefAngles a;
    for (int64_t k = 0; k < n_vec; ++k) {
        const double tx = base[k] / (r.ff ? (double) ((const float *) r.ff->data)[k] : 1.0);
        const double ti = rc.freq_scale * tx;
        double       angle = ti, m = rc.attn_factor;
        if (rc.ext_factor != 0.0f) {
            const double y    = ((double) k - corr[0]) / std::max(0.001, corr[1] - corr[0]);
            const double ramp = 1.0 - std::min(1.0, std::max(0.0, y));
            const double mix  = ramp * rc.ext_factor;
            angle             = ti * (1.0 - mix) + tx * mix;
            m                 = rc.attn_factor * (1.0 + 0.1 * std::log(1.0 / rc.freq_scale));
        }
        a.c.push_back(std::cos(angle) * m);
        a.s.push_back(std::sin(angle) * m * (forward ? 1.0 : -1.0));
    }
    return a;
}

// the pair of elements vector k rotates
void pair_of(const RopeCase & rc, int64_t k, int64_t * a, int64_t * b) {
    switch (rc.mode) {
        case TEVO_ROPE_TYPE_NORMAL: *a = rc.n_offs + 2 * k; *b = *a + 1; break;
        case TEVO_ROPE_TYPE_VISION: *a = k; *b = k + rc.n_dims; break;
        default:                    *a = rc.n_offs + k; *b = *a + rc.n_dims / 2; break;
    }
}

// the rotation of every row of xs (values in index order) in double
std::vector<double> ref_rope(const RopeCase & rc, const RopeRun & r, const std::vector<double> & xs, bool forward) {
    const int64_t       ne0 = rc.ne[0], ne1 = rc.ne[1], ne2 = rc.ne[2], ne3 = rc.ne[3];
    const int64_t       n_vec = rc.mode == TEVO_ROPE_TYPE_VISION ? rc.n_dims : rc.n_dims / 2;
    std::vector<double> out(xs);
    for (int64_t i3 = 0; i3 < ne3; ++i3)
        for (int64_t i2 = 0; i2 < ne2; ++i2) {
            const RefAngles a = ref_angles(rc, r, i2, forward);
            for (int64_t i1 = 0; i1 < ne1; ++i1) {
                const int64_t row = ((i3 * ne2 + i2) * ne1 + i1) * ne0;
                for (int64_t k = 0; k < n_vec; ++k) {
                    int64_t ia, ib;
                    pair_of(rc, k, &ia, &ib);
                    const double x0 = xs[row + ia], x1 = xs[row + ib];
                    out[row + ia]   = x0 * a.c[k] - x1 * a.s[k];
                    out[row + ib]   = x0 * a.s[k] + x1 * a.c[k];
                }
            }
        }
    return out;
}

std::vector<double> values(const tevo_tensor * t) {
    std::vector<double> v;
    for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { v.push_back(get(t, i0, i1, i2, i3)); });
    return v;
}

const float kNoYarn[6] = { 10000.0f, 1.0f, 0.0f, 1.0f, 32.0f, 1.0f };

const std::vector<RopeCase> & rope_cases() {
    const tevo_type F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16;
    // freq_base, freq_scale, ext_factor, attn_factor, beta_fast, beta_slow
    static const std::vector<RopeCase> cases = {
        { "normal", 0, { 16, 3, 4, 2 }, 16, 0, {}, 10000, 1, 0, 1, 32, 1, 0, false, F32, false, false },
        { "normal, part of the row, strided", 0, { 20, 2, 5, 1 }, 12, 0, {}, 10000, 1, 0, 1, 32, 1, 0, false, F32,
          true, false },
        { "normal with offset 2", 0, { 8, 2, 3, 2 }, 4, 2, {}, 10000, 1, 0, 1, 32, 1, 0, false, F32, false, false },
        { "normal, yarn and factors", 0, { 24, 3, 3, 1 }, 24, 0, {}, 500, 0.25f, 1.0f, 1.0f, 32, 1, 64, true, F32,
          false, false },
        { "normal, half", 0, { 36, 2, 3, 1 }, 32, 2, {}, 10000, 0.5f, 0, 0.75f, 32, 1, 0, false, F16, true, false },
        { "normal, in place", 0, { 18, 2, 3, 2 }, 18, 0, {}, 1000, 1, 0.5f, 1.25f, 8, 2, 100, true, F32, true,
          true },
        { "no rotated dims", 0, { 10, 2, 2, 1 }, 0, 0, {}, 10000, 1, 0, 1, 32, 1, 0, false, F32, true, false },
        { "halves", 2, { 40, 2, 4, 2 }, 40, 0, {}, 10000, 1, 0, 1, 32, 1, 0, false, F32, false, false },
        { "halves, offset, yarn, strided", 2, { 38, 3, 3, 1 }, 32, 4, {}, 2000, 0.5f, 0.7f, 1, 16, 2, 256, true, F32,
          true, false },
        { "halves, half, in place", 2, { 34, 2, 3, 1 }, 34, 0, {}, 10000, 1, 0, 1, 32, 1, 0, true, F16, true, true },
        { "multi", 8, { 24, 2, 3, 2 }, 24, 0, { 3, 4, 4, 1 }, 10000, 1, 0, 1, 32, 1, 0, false, F32, false, false },
        { "multi, factors, yarn, half", 8, { 32, 2, 3, 1 }, 32, 0, { 2, 3, 3, 8 }, 1000, 0.5f, 1.0f, 1, 32, 1, 128,
          true, F16, true, false },
        { "multi with offset 4, strided", 8, { 30, 2, 3, 1 }, 24, 4, { 3, 4, 4, 1 }, 10000, 1, 0, 1, 32, 1, 0, true,
          F32, true, false },
        { "interleaved with offset 2", 40, { 28, 2, 2, 1 }, 24, 2, { 2, 3, 2, 1 }, 10000, 1, 0, 1, 32, 1, 0, false,
          F32, false, false },
        { "multi with a short cycle", 8, { 40, 1, 2, 1 }, 40, 0, { 2, 1, 0, 0 }, 10000, 1, 0, 1, 32, 1, 0, false,
          F32, false, false },
        { "vision", 24, { 32, 2, 3, 2 }, 16, 0, { 4, 4, 0, 0 }, 10000, 1, 0, 1, 32, 1, 0, false, F32, false,
          false },
        { "vision, factors, strided", 24, { 40, 2, 3, 1 }, 20, 0, { 3, 5, 2, 1 }, 100, 0.5f, 0, 1, 32, 1, 0, true,
          F32, true, false },
        { "vision, half, in place", 24, { 24, 3, 2, 1 }, 12, 0, { 2, 2, 1, 1 }, 10000, 1, 0, 1, 32, 1, 0, false, F16,
          false, true },
        { "interleaved", 40, { 32, 2, 4, 1 }, 32, 0, { 4, 3, 3, 2 }, 10000, 1, 0, 1, 32, 1, 0, false, F32, false,
          false },
        { "interleaved, yarn, factors, strided", 40, { 36, 3, 2, 2 }, 28, 0, { 3, 5, 2, 4 }, 500, 0.25f, 0.6f,
          1.5f, 32, 1, 64, true, F32, true, false },
    };
    return cases;
}

std::string describe(const RopeCase & rc, int nth) {
    return std::string(rc.name) + " mode " + std::to_string(rc.mode) + " threads " + std::to_string(nth);
}

TEST(KernelRope, EveryModeMatchesTheDoubleRotation) {
    for (const RopeCase & rc : rope_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(describe(rc, nth));
            Ctx          c;
            std::mt19937 rng(71);
            RopeRun      r  = build(c.ctx, rc, rng);
            const auto   xs = values(r.x);
            if (!rc.inplace) {
                poison(r.y);
            }
            compute_n(c.ctx, r.y, nth);

            const auto   want = ref_rope(rc, r, xs, true);
            const auto   got  = values(r.y);
            // half results carry their own rounding; float ones the error of
            // angles built by repeated multiplication
            const double tol = rc.type == TEVO_TYPE_F16 ? 4e-3 : 2e-5;
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_NEAR(got[i], want[i], tol * (1.0 + std::fabs(want[i]))) << "element " << i;
            }
        }
    }
}

// <rope(x), y> = <x, rope_back(y)>: the backward pass is the transposed map
TEST(KernelRope, BackwardIsTheAdjointOfTheForward) {
    for (const RopeCase & rc : rope_cases()) {
        if (rc.type != TEVO_TYPE_F32 || rc.inplace) {
            continue;
        }
        for (int nth : thread_counts()) {
            SCOPED_TRACE(describe(rc, nth));
            Ctx           c;
            std::mt19937  rng(73);
            RopeRun       r  = build(c.ctx, rc, rng);
            tevo_tensor * g  = make_rows(c.ctx, rc);
            fill(g, rng, -2.0f, 2.0f);
            tevo_tensor * gb = rope_node(c.ctx, rc, g, r.pos, r.ff, false);
            compute_n(c.ctx, r.y, nth);
            compute_n(c.ctx, gb, nth);

            const auto x = values(r.x), y = values(r.y), gv = values(g), gbv = values(gb);
            double     lhs = 0, rhs = 0, scale = 0;
            for (size_t i = 0; i < x.size(); ++i) {
                lhs += y[i] * gv[i];
                rhs += x[i] * gbv[i];
                scale += std::fabs(y[i] * gv[i]);
            }
            EXPECT_NEAR(lhs, rhs, 1e-5 * (1.0 + scale));
            // and the backward rotation agrees with the transposed reference
            const auto want = ref_rope(rc, r, gv, false);
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_NEAR(gbv[i], want[i], 2e-5 * (1.0 + std::fabs(want[i]))) << "element " << i;
            }
        }
    }
}

TEST(KernelRope, BackwardAfterForwardGivesTheInputBack) {
    RopeCase rc = { "halves", 2, { 20, 2, 3, 1 }, 16, 2, {}, 10000, 1, 0, 1, 32, 1, 0, false, TEVO_TYPE_F32, false,
                    false };
    Ctx           c;
    std::mt19937  rng(75);
    RopeRun       r    = build(c.ctx, rc, rng);
    tevo_tensor * back = rope_node(c.ctx, rc, r.y, r.pos, r.ff, false);
    compute_n(c.ctx, back, 3);
    const auto x = values(r.x), b = values(back);
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_NEAR(b[i], x[i], 1e-5) << i;
    }
}

// The sections' example: mode 24 restarts the angles of each stream at its
// section, mode 8 keeps scaling them from vector 0.
TEST(KernelRope, SectionsChooseAndRestartTheBaseAngles) {
    const int    sections[4] = { 2, 2, 0, 0 };
    const double t = 3, h = 5;
    // vision rotates n_dims = 4 vectors of a row of 8; mode 8 needs n_dims = 8 for as many
    const double tv = std::pow(10000.0, -2.0 / 4), tm = std::pow(10000.0, -2.0 / 8);
    struct Want {
        int    mode;
        int    n_dims;
        double angle[4];
    };
    const Want wants[] = {
        { TEVO_ROPE_TYPE_VISION, 4, { t, t * tv, h, h * tv } },
        { TEVO_ROPE_TYPE_MULTI, 8, { t, t * tm, h * tm * tm, h * tm * tm * tm } },
    };
    for (const Want & w : wants) {
        SCOPED_TRACE(w.mode);
        Ctx           c;
        tevo_tensor * x    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 1);
        tevo_tensor * pos  = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 4);
        const int32_t p[4] = { (int32_t) t, (int32_t) h, 0, 0 };
        memcpy(pos->data, p, sizeof(p));
        // vector k is (k, k + 4) in both layouts: a unit vector along its first element
        float * xv = (float *) x->data;
        for (int i = 0; i < 8; ++i) xv[i] = i < 4 ? 1.0f : 0.0f;
        tevo_tensor * y = tevo_rope_multi(c.ctx, x, pos, nullptr, w.n_dims, sections, w.mode, 0, 10000.0f, 1.0f,
                                          0.0f, 1.0f, 0.0f, 0.0f);
        compute_n(c.ctx, y, 1);
        const float * out = (const float *) y->data;
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(out[k], std::cos(w.angle[k]), 1e-5) << k;
            EXPECT_NEAR(out[k + 4], std::sin(w.angle[k]), 1e-5) << k;
        }
    }
}

TEST(KernelRope, OffsetLeavesTheOuterElementsAlone) {
    Ctx           c;
    tevo_tensor * x   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2);
    tevo_tensor * pos = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 1);
    for (int i = 0; i < 16; ++i) ((float *) x->data)[i] = (float) (i + 1);
    ((int32_t *) pos->data)[0] = 4;
    tevo_tensor * y = tevo_rope_set_offset(tevo_rope(c.ctx, x, pos, 4, TEVO_ROPE_TYPE_NORMAL), 2);
    compute_n(c.ctx, y, 3);
    const float * out = (const float *) y->data;
    for (int i : { 0, 1, 6, 7 }) {
        EXPECT_EQ(out[i], (float) (i + 1)) << i;
    }
    EXPECT_NE(out[2], 3.0f);
    EXPECT_NE(out[5], 6.0f);
}

TEST(KernelRope, HalfResultsRoundLikeTheRule) {
    // attn_factor scales beyond the half range: infinity; a NaN input: 0x7E00
    Ctx           c;
    tevo_tensor * x   = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F16, 4);
    tevo_tensor * pos = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 1);
    ((int32_t *) pos->data)[0] = 0; // angle 0: cos 1, sin 0
    tevo_fp16_t * h = (tevo_fp16_t *) x->data;
    h[0] = tevo_fp32_to_fp16(60000.0f);
    h[1] = tevo_fp32_to_fp16(1.0f);
    h[2] = 0x7E01; // a NaN with a payload
    h[3] = tevo_fp32_to_fp16(2.0f);
    tevo_tensor * y = tevo_rope_ext(c.ctx, x, pos, nullptr, 4, TEVO_ROPE_TYPE_NORMAL, 0, 10000.0f, 1.0f, 0.0f, 2.0f,
                                    0.0f, 0.0f);
    compute_n(c.ctx, y, 1);
    const tevo_fp16_t * o = (const tevo_fp16_t *) y->data;
    EXPECT_EQ(o[0], 0x7C00);
    EXPECT_EQ(o[1], tevo_fp32_to_fp16(2.0f));
    EXPECT_EQ(o[2] & 0x7FFF, 0x7E00);
    EXPECT_EQ(o[3] & 0x7FFF, 0x7E00); // 2·cos 0 + NaN·sin 0
}

// ---------------------------------------------------------------------------
// refusals

tevo_tensor * multi_node(Ctx & c, int mode, const int sections[4], int64_t n_ff, int n_dims, int64_t ne0) {
    tevo_tensor * x   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne0, 1);
    tevo_tensor * pos = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 4);
    memset(pos->data, 0, tevo_nbytes(pos));
    tevo_tensor * ff = n_ff > 0 ? tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, n_ff) : nullptr;
    return tevo_rope_multi(c.ctx, x, pos, ff, n_dims, sections, mode, 0, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f);
}

TEST(KernelRopeDeathTest, Refusals) {
    death_setup();
    Ctx c;
    // sections that sum to 0 would make every sector a division by zero
    const int negative[4] = { -2, 2, 0, 0 };
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, multi_node(c, TEVO_ROPE_TYPE_MULTI, negative, 0, 8, 8)),
                 kernel_assert_re("p.sections[0] >= 0 && p.sections[1] >= 0 && p.sections[2] >= 0 && "
                                  "p.sections[3] >= 0"));
    const int zero[4] = { 0, 0, 0, 0 };
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, multi_node(c, TEVO_ROPE_TYPE_MULTI, zero, 0, 8, 8)),
                 kernel_assert_re("p.sections[0] > 0 || p.sections[1] > 0 || p.sections[2] > 0"));
    // vision reads a factor for each of its n_dims vectors
    const int vis[4] = { 2, 2, 0, 0 };
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, multi_node(c, TEVO_ROPE_TYPE_VISION, vis, 2, 4, 8)),
                 kernel_assert_re("src2->ne[0] >= n_vec"));

    tevo_tensor * x   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2);
    tevo_tensor * pos = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 1);
    memset(pos->data, 0, tevo_nbytes(pos));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, tevo_rope(c.ctx, x, pos, 8, 16)),
                 kernel_abort_re("rope type not supported"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, tevo_rope(c.ctx, x, pos, -2, 0)),
                 kernel_assert_re("n_dims >= 0"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, tevo_rope(c.ctx, x, pos, 10, 0)),
                 kernel_assert_re("n_dims <= ne0"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, tevo_rope_set_offset(tevo_rope(c.ctx, x, pos, 8, 0), 2)),
                 kernel_assert_re("n_offs + n_dims <= ne0"));

    tevo_tensor * q = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q8_0, 32, 2);
    tevo_tensor * n = tevo_rope(c.ctx, q, pos, 8, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_rope, n), kernel_abort_re("fatal error"));
}

} // namespace
