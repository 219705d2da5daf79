// Fused attention (FLASH_ATTN_EXT) on the CPU: the one-chunk kernel, the
// split-key path and the tiled path against a double-precision softmax
// attention, the path choice at its boundaries, the exact rounding points
// (float accumulator, partial records of fixed key pieces merged in piece
// order, the tile product), the same bits on every thread count, masked
// cache slots holding infinities and NaNs, refused key types and work
// buffers, and the speech model's shapes against MUL_MAT + SOFT_MAX + MUL_MAT.

#include "cpu/ops/flash-attn.h"
#include "cpu/impl.h"
#include "kernel-test-helpers.h"
#include "tevo-backend.h"

#include <gtest/gtest.h>

// The exact emulations below round every product and sum on its own, as the
// library does; fused multiply-adds only where written.
#pragma GCC optimize("fp-contract=off")

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

float round_half(float v) {
    return tevo_fp16_to_fp32(tevo_fp32_to_fp16(v));
}

float round_bf16(float v) {
    return tevo_bf16_to_fp32(tevo_fp32_to_bf16(v));
}

// a value as a tensor of the type holds it
float as_type(float v, tevo_type t) {
    switch (t) {
        case TEVO_TYPE_F16:  return round_half(v);
        case TEVO_TYPE_BF16: return round_bf16(v);
        default:             return v;
    }
}

enum class Path { one_chunk, split, tiled };

enum class MaskKind {
    none,
    random,   // finite values and -inf scattered, some rows fully masked
    causal,   // row i sees keys up to n_kv - N + i
    blocks,   // whole 64 x 64 tiles masked, one row fully masked
    padding,  // the last keys masked for every row
    per_head, // one mask per head; head 1 fully masked
    zeros,    // +0 and -0 only, the last keys masked: tiles adding nothing
};

struct Case {
    const char * name;
    int64_t      DK, DV, N, n_kv, H, Hkv, B;
    tevo_type    kv;
    MaskKind     mask;
    float        scale, max_bias, softcap;
    bool         sinks;
    bool         use_ref;
    bool         cache_view; // K and V are views into a larger cache
};

void PrintTo(const Case & c, std::ostream * os) { *os << c.name; }

Path expected_path(const Case & c) {
    const bool pair = (c.kv == TEVO_TYPE_F32 || c.kv == TEVO_TYPE_F16);
    if (!c.use_ref && c.N == 1 && c.B == 1 && pair && c.n_kv >= 512) {
        return Path::split;
    }
    if (!c.use_ref && pair && c.N >= 64) {
        return Path::tiled;
    }
    return Path::one_chunk;
}

// Host copies of the inputs (values exactly as stored) and the graph node.
struct Attn {
    Case c;
    tevo_context * ctx = nullptr;
    tevo_tensor *  q = nullptr, *k = nullptr, *v = nullptr, *mask = nullptr, *sinks = nullptr, *out = nullptr;
    tevo_cgraph *  gf = nullptr;

    int64_t            mrows = 0, mcols = 0, mheads = 1, mbatch = 1;
    std::vector<float> qh, kh, vh, mh, sh;

    explicit Attn(const Case & cs, size_t extra_bytes = 0, uint32_t seed = 7) : c(cs) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        std::mt19937                          rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);

        qh.resize((size_t) (c.DK * c.N * c.H * c.B));
        kh.resize((size_t) (c.DK * c.n_kv * c.Hkv * c.B));
        vh.resize((size_t) (c.DV * c.n_kv * c.Hkv * c.B));
        for (float & x : qh) x = u(rng);
        for (float & x : kh) x = as_kv(u(rng));
        for (float & x : vh) x = as_kv(u(rng));

        if (c.mask != MaskKind::none) {
            mcols  = c.n_kv + 3; // wider than the keys: only the first n_kv are read
            mrows  = c.N + 2;
            mheads = c.mask == MaskKind::per_head ? c.H : 1;
            mbatch = c.B;
            mh.resize((size_t) (mcols * mrows * mheads * mbatch));
            fill_mask(rng);
        }
        if (c.sinks) {
            std::uniform_real_distribution<float> us(-1.0f, 3.0f);
            sh.resize((size_t) c.H);
            for (float & x : sh) x = us(rng);
        }

        const size_t bytes = (qh.size() + kh.size() * 2 + vh.size() * 2 + mh.size() + 64) * 4 + 96 * c.n_kv * 1024 +
                             c.N * c.H * c.B * c.DV * 8 + 8 * 1024 * 1024 + extra_bytes;
        tevo_init_params p = { bytes, nullptr, false };
        ctx                = tevo_init(p);

        q = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, c.DK, c.N, c.H, c.B);
        if (c.cache_view) {
            // rows 11 .. 11 + n_kv of a longer cache; the rest holds NaN
            const int64_t n_ctx = c.n_kv + 37;
            tevo_tensor * kc    = tevo_new_tensor_4d(ctx, c.kv, c.DK, n_ctx, c.Hkv, c.B);
            tevo_tensor * vc    = tevo_new_tensor_4d(ctx, c.kv, c.DV, n_ctx, c.Hkv, c.B);
            fill_nan(kc);
            fill_nan(vc);
            k = tevo_view_4d(ctx, kc, c.DK, c.n_kv, c.Hkv, c.B, kc->nb[1], kc->nb[2], kc->nb[3], 11 * kc->nb[1]);
            v = tevo_view_4d(ctx, vc, c.DV, c.n_kv, c.Hkv, c.B, vc->nb[1], vc->nb[2], vc->nb[3], 11 * vc->nb[1]);
        } else {
            k = tevo_new_tensor_4d(ctx, c.kv, c.DK, c.n_kv, c.Hkv, c.B);
            v = tevo_new_tensor_4d(ctx, c.kv, c.DV, c.n_kv, c.Hkv, c.B);
        }
        store(q, qh);
        store(k, kh);
        store(v, vh);
        if (c.mask != MaskKind::none) {
            mask = tevo_new_tensor_4d(ctx, TEVO_TYPE_F16, mcols, mrows, mheads, mbatch);
            store(mask, mh);
        }

        out = tevo_flash_attn_ext(ctx, q, k, v, mask, c.scale, c.max_bias, c.softcap);
        if (c.sinks) {
            sinks = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, c.H);
            store(sinks, sh);
            tevo_flash_attn_ext_add_sinks(out, sinks);
        }
        gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
    }
    ~Attn() { tevo_free(ctx); }

    float as_kv(float x) const { return as_type(x, c.kv); }

    float & m_at(int64_t col, int64_t row, int64_t head, int64_t batch) {
        return mh[(size_t) (((batch * mheads + head) * mrows + row) * mcols + col)];
    }

    void fill_mask(std::mt19937 & rng) {
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        std::uniform_real_distribution<float> coin(0.0f, 1.0f);
        for (int64_t b = 0; b < mbatch; ++b)
            for (int64_t h = 0; h < mheads; ++h)
                for (int64_t r = 0; r < mrows; ++r)
                    for (int64_t col = 0; col < mcols; ++col) {
                        float x = round_half(u(rng));
                        switch (c.mask) {
                            case MaskKind::random:
                                if (coin(rng) < 0.2f || r % 7 == 3) x = -INFINITY;
                                break;
                            case MaskKind::causal:
                                x = col <= c.n_kv - c.N + r ? 0.0f : -INFINITY;
                                break;
                            case MaskKind::blocks:
                                if ((r / 64 + col / 64) % 3 == 1 || r == 5) x = -INFINITY;
                                break;
                            case MaskKind::padding:
                                x = col < c.n_kv - 20 ? 0.0f : -INFINITY;
                                break;
                            case MaskKind::per_head:
                                if (h == 1 || coin(rng) < 0.1f) x = -INFINITY;
                                break;
                            case MaskKind::zeros:
                                x = col >= c.n_kv - 20 ? -INFINITY : (col + r) % 3 == 0 ? -0.0f : 0.0f;
                                break;
                            case MaskKind::none:
                                break;
                        }
                        m_at(col, r, h, b) = x;
                    }
    }

    // writes host values (in i0-fastest order) through the tensor's strides
    static void store(tevo_tensor * t, const std::vector<float> & src) {
        size_t i = 0;
        for (int64_t i3 = 0; i3 < t->ne[3]; ++i3)
            for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
                for (int64_t i1 = 0; i1 < t->ne[1]; ++i1)
                    for (int64_t i0 = 0; i0 < t->ne[0]; ++i0, ++i) {
                        char * p = (char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
                        if (t->type == TEVO_TYPE_F16) {
                            *(tevo_fp16_t *) p = tevo_fp32_to_fp16(src[i]);
                        } else if (t->type == TEVO_TYPE_BF16) {
                            *(tevo_bf16_t *) p = tevo_fp32_to_bf16(src[i]);
                        } else {
                            *(float *) p = src[i];
                        }
                    }
    }

    static void fill_nan(tevo_tensor * t) {
        const size_t n = (size_t) tevo_nelements(t);
        for (size_t i = 0; i < n; ++i) {
            if (t->type == TEVO_TYPE_F16) {
                ((uint16_t *) t->data)[i] = 0x7E00;
            } else if (t->type == TEVO_TYPE_BF16) {
                ((uint16_t *) t->data)[i] = 0x7FC0;
            } else {
                ((float *) t->data)[i] = NAN;
            }
        }
    }

    // one key's K or V row of the host copies: overwritten (and stored)
    void set_key(int64_t ic, float kval, float vval) {
        for (int64_t b = 0; b < c.B; ++b)
            for (int64_t h = 0; h < c.Hkv; ++h) {
                for (int64_t d = 0; d < c.DK; ++d) kh[(size_t) (((b * c.Hkv + h) * c.n_kv + ic) * c.DK + d)] = kval;
                for (int64_t d = 0; d < c.DV; ++d) vh[(size_t) (((b * c.Hkv + h) * c.n_kv + ic) * c.DV + d)] = vval;
            }
        store(k, kh);
        store(v, vh);
    }

    std::vector<float> compute(int n_threads, bool use_ref) {
        tevo_cplan plan = tevo_graph_plan(gf, n_threads, nullptr);
        plan.use_ref    = use_ref;
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = work.data();
        const size_t n = (size_t) tevo_nelements(out);
        std::fill((float *) out->data, (float *) out->data + n, NAN);
        EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
        return std::vector<float>((float *) out->data, (float *) out->data + n);
    }

    double slope(int64_t h) const {
        if (!(c.max_bias > 0.0f)) return 1.0;
        const int64_t nhl2 = (int64_t) 1 << (int) std::floor(std::log2((double) c.H));
        const double  m0   = std::pow(2.0, -(double) c.max_bias / (double) nhl2);
        const double  m1   = std::pow(2.0, -(double) c.max_bias / 2.0 / (double) nhl2);
        return h < nhl2 ? std::pow(m0, (double) (h + 1)) : std::pow(m1, (double) (2 * (h - nhl2) + 1));
    }

    // softmax(scale q.k [softcapped] + slope mask) v, in double, in dst order;
    // round_q: the query as the one-chunk kernel sees it (rounded to the
    // keys' dot-product type)
    std::vector<double> reference(bool round_q, int64_t row_step = 1) const {
        std::vector<double> ref((size_t) (c.DV * c.H * c.N * c.B), 0.0);
        std::vector<double> score((size_t) c.n_kv);
        std::vector<double> qd((size_t) c.DK);
        for (int64_t i3 = 0; i3 < c.B; ++i3)
            for (int64_t i2 = 0; i2 < c.H; ++i2)
                for (int64_t i1 = 0; i1 < c.N; i1 += row_step) {
                    const int64_t hk = i2 / (c.H / c.Hkv);
                    for (int64_t d = 0; d < c.DK; ++d) {
                        const float x = qh[(size_t) (((i3 * c.H + i2) * c.N + i1) * c.DK + d)];
                        qd[(size_t) d] = round_q ? as_type(x, c.kv) : x;
                    }
                    double mx = -INFINITY;
                    for (int64_t ic = 0; ic < c.n_kv; ++ic) {
                        double mv = 0.0;
                        if (c.mask != MaskKind::none) {
                            const float m = mh[(size_t) ((((i3 % mbatch) * mheads + (i2 % mheads)) * mrows + i1) *
                                                             mcols + ic)];
                            if (m == -INFINITY) {
                                score[(size_t) ic] = -INFINITY;
                                continue;
                            }
                            mv = slope(i2) * m;
                        }
                        const float * kr = &kh[(size_t) (((i3 * c.Hkv + hk) * c.n_kv + ic) * c.DK)];
                        double        s  = 0.0;
                        for (int64_t d = 0; d < c.DK; ++d) s += qd[(size_t) d] * kr[d];
                        s *= c.scale;
                        if (c.softcap != 0.0f) s = c.softcap * std::tanh(s / c.softcap);
                        s += mv;
                        score[(size_t) ic] = s;
                        mx                 = std::max(mx, s);
                    }
                    const double sink = c.sinks ? (double) sh[(size_t) i2] : -INFINITY;
                    mx                = std::max(mx, sink);
                    if (mx == -INFINITY) continue; // every key masked, no sink: zero row
                    double  den = c.sinks ? std::exp(sink - mx) : 0.0;
                    double * o  = &ref[(size_t) (((i3 * c.N + i1) * c.H + i2) * c.DV)];
                    for (int64_t ic = 0; ic < c.n_kv; ++ic) {
                        if (score[(size_t) ic] == -INFINITY) continue;
                        const double w = std::exp(score[(size_t) ic] - mx);
                        den += w;
                        const float * vr = &vh[(size_t) (((i3 * c.Hkv + hk) * c.n_kv + ic) * c.DV)];
                        for (int64_t d = 0; d < c.DV; ++d) o[d] += w * vr[d];
                    }
                    for (int64_t d = 0; d < c.DV; ++d) o[d] /= den;
                }
        return ref;
    }
};

// largest |got - ref| over the rows i1 = 0, step, 2 step, ...
double max_error(const Attn & a, const std::vector<float> & got, const std::vector<double> & ref, int64_t step = 1) {
    double err = 0.0;
    for (int64_t i3 = 0; i3 < a.c.B; ++i3)
        for (int64_t i1 = 0; i1 < a.c.N; i1 += step)
            for (int64_t i2 = 0; i2 < a.c.H; ++i2)
                for (int64_t d = 0; d < a.c.DV; ++d) {
                    const size_t i = (size_t) (((i3 * a.c.N + i1) * a.c.H + i2) * a.c.DV + d);
                    if (!std::isfinite(got[i])) return INFINITY;
                    err = std::max(err, std::fabs((double) got[i] - ref[i]));
                }
    return err;
}

bool same_bits(const std::vector<float> & a, const std::vector<float> & b, size_t * where = nullptr) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (bits(a[i]) != bits(b[i])) {
            if (where) *where = i;
            return false;
        }
    }
    return true;
}

// Every path accumulates in float, whatever V's type: a half accumulator
// (errors near 1e-3) would make results depend on how keys are split.
double tolerance(const Case &) {
    return 2e-6;
}

// ---------------------------------------------------------------------------
// against the double-precision reference, 1 to 8 threads

const float kScale = 0.125f;

const Case kCases[] = {
    // name                       DK  DV   N  n_kv  H Hkv B  K/V            mask                scale  bias softcap sinks  ref    view
    { "one_chunk_f32_random",     64, 64,  5, 100,  2, 2, 1, TEVO_TYPE_F32, MaskKind::random,   kScale, 0, 0,   false, false, false },
    { "one_chunk_f16_causal",     64, 64,  5, 448,  6, 6, 1, TEVO_TYPE_F16, MaskKind::causal,   kScale, 0, 0,   false, false, true  },
    { "one_chunk_n63_blocks",     64, 64, 63, 130,  2, 2, 1, TEVO_TYPE_F32, MaskKind::blocks,   kScale, 0, 0,   true,  false, false },
    { "one_chunk_n1_kv511",       64, 64,  1, 511,  6, 6, 1, TEVO_TYPE_F16, MaskKind::none,     kScale, 0, 0,   true,  false, false },
    { "one_chunk_alibi_12_heads", 32, 40,  7, 90,  12, 4, 1, TEVO_TYPE_F32, MaskKind::random,   kScale, 8, 0,   false, false, false },
    { "one_chunk_softcap_grouped",64, 64,  9, 200,  8, 2, 2, TEVO_TYPE_F16, MaskKind::random,   1.0f,   0, 2,   true,  false, false },
    { "one_chunk_reference_flag", 64, 64,100, 150,  2, 1, 1, TEVO_TYPE_F32, MaskKind::blocks,   kScale, 0, 0,   true,  true,  false },
    { "one_chunk_bf16_n100",      64, 48,100, 300,  4, 2, 1, TEVO_TYPE_BF16,MaskKind::causal,   kScale, 0, 0,   true,  false, true  },
    { "tiled_n64_blocks",         64, 64, 64, 130,  2, 2, 1, TEVO_TYPE_F32, MaskKind::blocks,   kScale, 0, 0,   false, false, false },
    { "tiled_n100_f16_sinks",     64, 64,100, 513,  4, 2, 1, TEVO_TYPE_F16, MaskKind::random,   kScale, 0, 0,   true,  false, false },
    { "tiled_alibi_softcap",      64, 64,100, 100, 12, 3, 1, TEVO_TYPE_F32, MaskKind::random,   1.0f,   8, 2,   false, false, false },
    { "tiled_causal_batches",     64, 64, 70, 200,  8, 2, 2, TEVO_TYPE_F16, MaskKind::causal,   kScale, 0, 0,   false, false, true  },
    { "tiled_per_head_mask",      64, 64, 65, 512,  3, 3, 1, TEVO_TYPE_F32, MaskKind::per_head, kScale, 0, 0,   true,  false, false },
    { "tiled_dv72_no_mask",       64, 72, 64, 77,   2, 2, 1, TEVO_TYPE_F32, MaskKind::none,     kScale, 0, 0,   false, false, false },
    { "tiled_dk40_dv70_f16",      40, 70, 64, 77,   2, 2, 1, TEVO_TYPE_F16, MaskKind::padding,  kScale, 0, 0,   false, false, false },
    // rows 64 to 127 open no key before the second tile; the query tile's d tail
    { "tiled_dk36_late_open",     36, 40,130, 200,  2, 2, 1, TEVO_TYPE_F16, MaskKind::blocks,   kScale, 0, 0,   false, false, false },
    { "tiled_zero_mask_alibi",    64, 64,100, 150,  4, 4, 1, TEVO_TYPE_F32, MaskKind::zeros,    kScale, 8, 0,   true,  false, false },
    // no mask: three query tiles share each key tile
    { "tiled_no_mask_n200_sinks", 48, 64,200, 150,  2, 2, 1, TEVO_TYPE_F16, MaskKind::none,     kScale, 0, 0,   true,  false, false },
    // on 2 threads each chunk is 256 rows of one head: the second head's start in the middle
    { "tiled_n1024_heads_chunked",64, 64,1024,100,  2, 2, 1, TEVO_TYPE_F16, MaskKind::none,     kScale, 0, 0,   false, false, false },
    // keys wider than values: one query tile at a time
    { "tiled_dk64_dv48_random",   64, 48,150, 140,  2, 1, 1, TEVO_TYPE_F16, MaskKind::random,   kScale, 0, 0,   true,  false, true  },
    { "split_kv512_f16_sinks",    64, 64,  1, 512,  6, 6, 1, TEVO_TYPE_F16, MaskKind::none,     kScale, 0, 0,   true,  false, false },
    { "split_kv513_f32_alibi",    64, 64,  1, 513,  6, 2, 1, TEVO_TYPE_F32, MaskKind::random,   kScale, 8, 0,   false, false, true  },
    { "split_per_head_mask",      64, 64,  1, 600,  3, 3, 1, TEVO_TYPE_F32, MaskKind::per_head, 1.0f,   0, 3,   true,  false, false },
    // one query below the split threshold, odd key count
    { "one_chunk_n1_kv301_random",64, 64,  1, 301,  4, 2, 1, TEVO_TYPE_F32, MaskKind::random,   kScale, 0, 0,   false, false, false },
    // the speech model's cross-attention: 4 heads of 32 over 1500 cached keys
    { "split_kv1500_model_shape", 32, 32,  1, 1500, 4, 4, 1, TEVO_TYPE_F16, MaskKind::none,     kScale, 0, 0,   false, false, true  },
    // odd key counts: a short last piece; whole pieces masked
    { "split_kv1537_f16_padding", 64, 64,  1, 1537, 6, 6, 1, TEVO_TYPE_F16, MaskKind::padding,  kScale, 0, 0,   false, false, false },
    { "split_kv1001_f32_blocks",  64, 40,  1, 1001, 5, 5, 1, TEVO_TYPE_F32, MaskKind::blocks,   kScale, 0, 0,   true,  false, false },
    // more records than the slices of one thread hold: the plan's room for
    // the pieces, not the threads
    { "split_64_heads_kv769",     64, 64,  1, 769, 64, 4, 1, TEVO_TYPE_F16, MaskKind::random,   kScale, 0, 0,   false, false, false },
};

struct FlashAttn : ::testing::TestWithParam<Case> {};

// Within tolerance of the double-precision reference, and the same bits on
// 1 to 8 threads on every path: rows never depend on how they were shared
// out, nor keys on how many threads took their pieces.
TEST_P(FlashAttn, MatchesDoublePrecisionWithTheSameBitsOnEveryThreadCount) {
    const Case & c = GetParam();
    Attn         a(c);

    const Path                path = expected_path(c);
    const std::vector<double> ref  = a.reference(path != Path::tiled);

    const int max_threads = std::min(8, (int) std::max(1u, std::thread::hardware_concurrency()));
    std::vector<float> first;
    for (int nt = 1; nt <= max_threads; ++nt) {
        const std::vector<float> got = a.compute(nt, c.use_ref);
        const double             err = max_error(a, got, ref);
        EXPECT_LE(err, tolerance(c)) << "threads " << nt;
        if (nt == 1) {
            first = got;
        } else {
            size_t at = 0;
            EXPECT_TRUE(same_bits(got, first, &at)) << "threads " << nt << " differ at " << at;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FlashAttn, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> & i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// exact behaviour of the paths

tevo_compute_params single_thread(std::vector<uint8_t> & work) {
    tevo_compute_params p;
    p.ith        = 0;
    p.nth        = 1;
    p.wsize      = work.size();
    p.wdata      = work.data();
    p.threadpool = nullptr;
    p.use_ref    = false;
    return p;
}

size_t work_bytes(const Case & c, int nth) {
    const int64_t per = std::max(c.DK + 2 * c.DV + (c.DV + 2) * c.H, (c.DK + c.DV) * 128 + 8192);
    return (size_t) (4 * nth * per + 64 * nth);
}

// Two keys with equal scores and V rows 1 and 2^-12: the second key does
// not rescale (a tie is no new maximum) and has weight 1. In float 1 + 2^-12
// is exact, so every path and V type gives 1/2 + 2^-13; a half accumulator
// would round it to 1 and give exactly 1/2.
TEST(FlashAttnExact, FloatAccumulatorOnEveryPath) {
    struct Sub {
        int64_t   N;
        tevo_type kv;
    } subs[] = {
        { 1, TEVO_TYPE_F16 },
        { 1, TEVO_TYPE_F32 },
        { 1, TEVO_TYPE_BF16 },
        { 64, TEVO_TYPE_F16 },
        { 64, TEVO_TYPE_F32 },
    };
    const float want = 0.5f + 0x1p-13f;
    for (const Sub & s : subs) {
        Case c = { "tie", 32, 16, s.N, 2, 1, 1, 1, s.kv, MaskKind::none, 1.0f, 0, 0, false, false, false };
        Attn a(c);
        std::fill(a.qh.begin(), a.qh.end(), 0.0f);
        Attn::store(a.q, a.qh);
        for (int64_t d = 0; d < c.DV; ++d) {
            a.vh[(size_t) d]          = 1.0f;
            a.vh[(size_t) (c.DV + d)] = 0x1p-12f;
        }
        Attn::store(a.v, a.vh);
        const std::vector<float> got = a.compute(2, false);
        for (float x : got) {
            ASSERT_EQ(bits(x), bits(want)) << "N " << s.N << " type " << tevo_type_name(s.kv) << ": " << x;
        }
    }
}

// The one-chunk kernel, emulated one key at a time exactly as the operator
// fixes it: K's own dot product against the converted query, the score
// scaled, capped and masked, the running maximum with its rescaling, the
// float accumulator (V widened), the sink, the division.
// The kernel's blocking of keys and columns must not change a single bit.
std::vector<float> one_chunk_emulated(const Attn & a) {
    const Case &        c     = a.c;
    const tevo_tensor * k     = a.k;
    const tevo_tensor * v     = a.v;
    const tevo_type     vdt   = tevo_get_type_traits_cpu(k->type)->vec_dot_type;
    const auto          q_cvt = tevo_get_type_traits_cpu(vdt)->from_float;
    const auto          dot   = tevo_get_type_traits_cpu(k->type)->vec_dot;
    const auto          v_cvt = tevo_get_type_traits(v->type)->to_float;
    const tevo_fattn_consts cs = tevo_fattn_consts_of(a.out, c.H);

    std::vector<float>       out((size_t) (c.DV * c.H * c.N * c.B));
    std::vector<uint8_t>     qconv((size_t) c.DK * 4 + 64);
    std::vector<float>       acc((size_t) c.DV), vrow((size_t) c.DV);

    for (int64_t i3 = 0; i3 < c.B; ++i3)
        for (int64_t i2 = 0; i2 < c.H; ++i2)
            for (int64_t i1 = 0; i1 < c.N; ++i1) {
                const float slope = tevo_fattn_slope(&cs, (uint32_t) i2);
                const int64_t hk = i2 / (c.H / c.Hkv);
                const float * qrow = (const float *) ((const char *) a.q->data + i1 * a.q->nb[1] +
                                                      i2 * a.q->nb[2] + i3 * a.q->nb[3]);
                q_cvt(qrow, qconv.data(), c.DK);
                float M = -INFINITY, S = 0.0f;
                std::fill(acc.begin(), acc.end(), 0.0f);
                for (int64_t ic = 0; ic < c.n_kv; ++ic) {
                    float mv = 0.0f;
                    if (a.mask) {
                        const tevo_fp16_t * mrow = (const tevo_fp16_t *) ((const char *) a.mask->data +
                                                                          i1 * a.mask->nb[1] +
                                                                          (i2 % a.mask->ne[2]) * a.mask->nb[2] +
                                                                          (i3 % a.mask->ne[3]) * a.mask->nb[3]);
                        mv = slope * tevo_fp16_to_fp32(mrow[ic]);
                        if (mv == -INFINITY) continue;
                    }
                    const char * krow = (const char *) k->data + ic * k->nb[1] + hk * k->nb[2] + i3 * k->nb[3];
                    const char * vr   = (const char *) v->data + ic * v->nb[1] + hk * v->nb[2] + i3 * v->nb[3];
                    float        sc;
                    dot((int) c.DK, &sc, 0, krow, 0, qconv.data(), 0, 1);
                    sc = sc * cs.scale;
                    if (cs.softcap != 0.0f) sc = cs.softcap * tanhf(sc);
                    sc = sc + mv;
                    float ms = 1.0f, vs = 1.0f;
                    const bool nm = sc > M;
                    if (nm) {
                        ms = expf(M - sc);
                        M  = sc;
                    } else {
                        vs = expf(sc - M);
                    }
                    if (v->type == TEVO_TYPE_F32) {
                        memcpy(vrow.data(), vr, (size_t) c.DV * 4);
                    } else {
                        v_cvt(vr, vrow.data(), c.DV);
                    }
                    for (int64_t d = 0; d < c.DV; ++d) {
                        float x = acc[(size_t) d];
                        if (nm) x = x * ms;
                        acc[(size_t) d] = fmaf(vrow[(size_t) d], vs, x);
                    }
                    S = fmaf(S, ms, vs);
                }
                if (a.sinks) {
                    const float sk = a.sh[(size_t) i2];
                    float       ms = 1.0f, vs = 1.0f;
                    if (sk > M) {
                        ms = expf(M - sk);
                        for (float & x : acc) x = x * ms;
                        M = sk;
                    } else {
                        vs = expf(sk - M);
                    }
                    S = fmaf(S, ms, vs);
                }
                const float inv = S == 0.0f ? 0.0f : 1.0f / S;
                float *     o   = &out[(size_t) (((i3 * c.N + i1) * c.H + i2) * c.DV)];
                for (int64_t d = 0; d < c.DV; ++d) o[d] = acc[(size_t) d] * inv;
            }
    return out;
}

TEST(FlashAttnExact, OneChunkFollowsThePerKeyRuleBitForBit) {
    const Case cases[] = {
        // name          DK  DV   N  n_kv H Hkv B  K/V             mask               scale  bias softcap sinks ref view
        { "f16_dv128",   64, 128, 3, 150, 2, 1, 1, TEVO_TYPE_F16,  MaskKind::random,  kScale, 0, 0,  true,  false, true },
        { "f16_dv70",    40, 70,  5, 77,  4, 2, 2, TEVO_TYPE_F16,  MaskKind::causal,  1.0f,   0, 2,  false, false, false },
        { "f32_dv72",    64, 72,  4, 101, 12, 3, 1, TEVO_TYPE_F32, MaskKind::random,  kScale, 8, 0,  true,  false, false },
        { "f32_dv6",     32, 6,   2, 40,  2, 2, 1, TEVO_TYPE_F32,  MaskKind::none,    kScale, 0, 0,  false, false, false },
        { "bf16_dv48",   64, 48,  3, 90,  2, 2, 1, TEVO_TYPE_BF16, MaskKind::blocks,  kScale, 0, 3,  true,  false, false },
    };
    for (const Case & c : cases) {
        ASSERT_EQ(expected_path(c), Path::one_chunk) << c.name;
        Attn                     a(c);
        const std::vector<float> want = one_chunk_emulated(a);
        for (const int nt : { 1, 3 }) {
            const std::vector<float> got = a.compute(nt, false);
            size_t                   at  = 0;
            EXPECT_TRUE(same_bits(got, want, &at)) << c.name << " threads " << nt << " at " << at << ": "
                                                   << got[at] << " vs " << want[at];
        }
    }
}

// The graph's result at each boundary is the bit pattern of the path the
// operator must have taken, computed by calling that path directly.
TEST(FlashAttnExact, PathChoiceAtTheBoundaries) {
    struct Sub {
        int64_t N, n_kv;
        bool    use_ref;
        Path    path;
    } subs[] = {
        { 63, 100, false, Path::one_chunk },
        { 64, 100, false, Path::tiled },
        { 64, 100, true, Path::one_chunk },
        { 1, 511, false, Path::one_chunk },
        { 1, 512, true, Path::one_chunk },
    };
    for (const Sub & s : subs) {
        Case c = { "boundary", 64, 64, s.N, s.n_kv, 2, 2, 1, TEVO_TYPE_F16, MaskKind::random,
                   kScale, 0, 0, true, s.use_ref, false };
        ASSERT_EQ(expected_path(c), s.path);
        Attn                     a(c);
        const std::vector<float> got = a.compute(3, s.use_ref);

        std::vector<uint8_t> work(work_bytes(c, 1));
        tevo_compute_params  p  = single_thread(work);
        const int32_t        nr = (int32_t) (c.N * c.H * c.B);
        if (s.path == Path::tiled) {
            tevo_flash_attn_ext_tiles(&p, a.out, 0, nr);
        } else {
            tevo_flash_attn_ext_one_chunk(&p, a.out, 0, nr, 0, c.n_kv, nullptr, 0);
        }
        const std::vector<float> direct((float *) a.out->data, (float *) a.out->data + got.size());
        size_t                   at = 0;
        EXPECT_TRUE(same_bits(got, direct, &at)) << "N " << s.N << " n_kv " << s.n_kv << " at " << at;
    }
}

// The split path leaves one record {M, S, acc} per head and piece of 128
// keys and folds them in piece order; rebuilt here from the one-chunk
// kernel's records for each piece, it must give the graph's bits on every
// thread count. 600 keys make four whole pieces and a short one; the mask
// empties piece 1; 30 (head, piece) items on 63 threads leave threads
// without keys, and 6 heads on 8 or 63 threads leave threads without heads.
TEST(FlashAttnExact, SplitRecordsOfFixedPiecesMergedInPieceOrder) {
#if defined(__SANITIZE_THREAD__)
    // dozens of threads spinning on one barrier starve the thread sanitizer's
    // own locks; the idle-thread case runs in the other builds
    const std::vector<int> thread_counts = { 1, 3, 8 };
#else
    const std::vector<int> thread_counts = { 1, 3, 8, 63 };
#endif
    ASSERT_EQ(FATTN_SPLIT_PIECE, 128);
    Case c = { "split", 64, 64, 1, 600, 6, 3, 1, TEVO_TYPE_F16, MaskKind::padding, kScale, 0, 0, true, false, false };
    ASSERT_EQ(expected_path(c), Path::split);
    Attn a(c);
    for (int64_t col = 128; col < 256; ++col) {
        a.m_at(col, 0, 0, 0) = -INFINITY;
    }
    Attn::store(a.mask, a.mh);

    const int64_t        DV = c.DV, H = c.H, n_kv = c.n_kv;
    const int64_t        n_piece = (n_kv + 127) / 128;
    // the direct calls below need the CPU engine's tables, which its first
    // compute makes
    tevo_cpu_init();
    std::vector<float>   rec((size_t) (H * n_piece * (DV + 2)));
    std::vector<uint8_t> work(work_bytes(c, 1));
    tevo_compute_params  p = single_thread(work);
    for (int64_t pc = 0; pc < n_piece; ++pc) {
        tevo_flash_attn_ext_one_chunk(&p, a.out, 0, (int32_t) H, pc * 128, std::min(pc * 128 + 128, n_kv),
                                      rec.data() + pc * (DV + 2), n_piece * (DV + 2));
    }
    std::vector<float> want((size_t) (H * DV));
    for (int64_t h = 0; h < H; ++h) {
        float   M = -INFINITY, S = 0.0f;
        float * o = &want[(size_t) (h * DV)];
        for (int64_t pc = 0; pc < n_piece; ++pc) {
            const float * r = &rec[(size_t) ((h * n_piece + pc) * (DV + 2))];
            if (r[1] == 0.0f) continue;
            const float Mn = std::fmax(M, r[0]);
            const float fa = expf(M - Mn), fb = expf(r[0] - Mn);
            for (int64_t d = 0; d < DV; ++d) {
                const float prod = r[2 + d] * fb;
                o[d] = fmaf(o[d], fa, prod);
            }
            const float sa = S * fa;
            const float sb = r[1] * fb;
            S = sa + sb;
            M = Mn;
        }
        if (S != 0.0f) {
            const float inv = 1.0f / S;
            for (int64_t d = 0; d < DV; ++d) o[d] *= inv;
        }
    }
    for (const int nth : thread_counts) {
        const std::vector<float> got = a.compute(nth, false);
        size_t                   at  = 0;
        EXPECT_TRUE(same_bits(got, want, &at)) << "threads " << nth << " at " << at;
        EXPECT_LE(max_error(a, got, a.reference(true)), 2e-6) << "threads " << nth;
    }
}

// Every output of the tile product is one chain of fused multiply-adds in
// increasing k from its old value; columns beyond N are never touched.
TEST(FlashAttnExact, TileProductIsOneFusedChainPerOutput) {
    std::mt19937                          rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (const int K : { 64, 13, 0 }) {
        for (const int N : { 64, 72, 70, 5 }) {
            std::vector<float> X((size_t) (64 * std::max(K, 1))), Y((size_t) (std::max(K, 1) * N));
            std::vector<float> Z((size_t) (64 * N + 8));
            for (float & x : X) x = u(rng);
            for (float & x : Y) x = u(rng);
            for (float & x : Z) x = u(rng);
            std::vector<float> want = Z;
            for (int i = 0; i < 64; ++i)
                for (int j = 0; j < N; ++j) {
                    float z = want[(size_t) (i * N + j)];
                    for (int kk = 0; kk < K; ++kk) z = fmaf(X[(size_t) (i * K + kk)], Y[(size_t) (kk * N + j)], z);
                    want[(size_t) (i * N + j)] = z;
                }
            tevo_flash_attn_tile_gemm(Z.data(), X.data(), Y.data(), K, N);
            size_t at = 0;
            EXPECT_TRUE(same_bits(Z, want, &at)) << "K " << K << " N " << N << " at " << at;
        }
    }
}

TEST(FlashAttnExact, PrecisionWordsZeroAndTenAgree) {
    for (const int64_t N : { 5, 100 }) {
        Case c = { "prec", 64, 64, N, 200, 2, 2, 1, TEVO_TYPE_F16, MaskKind::random, kScale, 0, 0, false, false,
                   false };
        Attn a(c);
        const std::vector<float> p0 = a.compute(4, false);
        tevo_flash_attn_ext_set_prec(a.out, 10);
        const std::vector<float> p10 = a.compute(4, false);
        EXPECT_TRUE(same_bits(p0, p10)) << "N " << N;
    }
}

TEST(FlashAttnExact, NoKeysGiveZeroRows) {
    for (const int64_t N : { 3, 64 }) {
        Case c = { "no_keys", 64, 64, N, 0, 2, 2, 1, TEVO_TYPE_F16, MaskKind::none, kScale, 0, 0, false, false,
                   false };
        Attn a(c);
        for (const float x : a.compute(3, false)) {
            ASSERT_EQ(bits(x), 0u) << "N " << N;
        }
    }
}

// ---------------------------------------------------------------------------
// masked cache slots

// Unused cache slots may hold anything; with the mask at -inf they must not
// reach any row, on any path: the result equals the one with zeros there.
// Key 90 is masked only for the first half of the rows: its infinite V must
// not touch those rows, and does reach the others.
TEST(FlashAttnMasked, NonFiniteMaskedSlotsContributeNothing) {
    struct Sub {
        int64_t N, n_kv;
        Path    path;
    } subs[] = { { 5, 200, Path::one_chunk }, { 1, 600, Path::split }, { 100, 200, Path::tiled } };
    for (const Sub & s : subs) {
        for (const tevo_type kv : { TEVO_TYPE_F16, TEVO_TYPE_F32 }) {
            Case c = { "slots", 64, 64, s.N, s.n_kv, 2, 2, 1, kv, MaskKind::padding, kScale, 0, 0, false, false,
                       false };
            ASSERT_EQ(expected_path(c), s.path);
            Attn a(c);
            const int64_t half = s.N == 1 ? 1 : s.N / 2;
            for (int64_t r = 0; r < a.mrows; ++r) {
                a.m_at(70, r, 0, 0) = -INFINITY;
                if (r < half) a.m_at(90, r, 0, 0) = -INFINITY;
            }
            Attn::store(a.mask, a.mh);
            for (int64_t ic = s.n_kv - 20; ic < s.n_kv; ++ic) a.set_key(ic, 0.0f, 0.0f);
            a.set_key(70, 0.0f, 0.0f);
            a.set_key(90, 0.5f, 0.0f);
            const std::vector<float> clean = a.compute(4, false);

            for (int64_t ic = s.n_kv - 20; ic < s.n_kv; ++ic) {
                a.set_key(ic, ic % 2 ? NAN : INFINITY, ic % 3 ? -INFINITY : NAN);
            }
            a.set_key(70, NAN, INFINITY);
            a.set_key(90, 0.5f, INFINITY);
            const std::vector<float> dirty = a.compute(4, false);

            const std::string what = std::string(tevo_type_name(kv)) + " N " + std::to_string(s.N);
            for (int64_t i1 = 0; i1 < s.N; ++i1)
                for (int64_t h = 0; h < c.H; ++h)
                    for (int64_t d = 0; d < c.DV; ++d) {
                        const size_t i = (size_t) ((i1 * c.H + h) * c.DV + d);
                        ASSERT_TRUE(std::isfinite(clean[i])) << what;
                        if (i1 < half) {
                            ASSERT_EQ(bits(dirty[i]), bits(clean[i])) << what << " row " << i1 << " at " << i;
                        } else {
                            ASSERT_FALSE(std::isfinite(dirty[i])) << what << " row " << i1 << " at " << i;
                        }
                    }
        }
    }
}

// ---------------------------------------------------------------------------
// refused input

TEST(FlashAttnDeath, PrecisionOtherThanZeroOrTenAborts) {
    Case c = { "prec1", 64, 64, 2, 10, 1, 1, 1, TEVO_TYPE_F32, MaskKind::none, kScale, 0, 0, false, false, false };
    Attn a(c);
    tevo_flash_attn_ext_set_prec(a.out, 1);
    EXPECT_DEATH(a.compute(1, false), "tevo/src/tevo-cpu/ops:[0-9]+: fatal error");
}

// Query rows are read as floats on every path.
TEST(FlashAttnDeath, QueryOtherThanF32IsRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_init_params p   = { 8 * 1024 * 1024, nullptr, false };
    tevo_context *   ctx = tevo_init(p);
    tevo_tensor *    q   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F16, 64, 2, 1, 1);
    tevo_tensor *    k   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F16, 64, 4, 1, 1);
    tevo_tensor *    v   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F16, 64, 4, 1, 1);
    memset(q->data, 0, tevo_nbytes(q));
    memset(k->data, 0, tevo_nbytes(k));
    memset(v->data, 0, tevo_nbytes(v));
    tevo_tensor * out = tevo_flash_attn_ext(ctx, q, k, v, nullptr, 1.0f, 0.0f, 0.0f);
    tevo_cgraph * gf  = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    EXPECT_DEATH(tevo_graph_compute_with_ctx(ctx, gf, 2),
                 R"(tevo/src/tevo-cpu/ops:[0-9]+: TEVO_ASSERT\(q->type == TEVO_TYPE_F32\) failed)");
    tevo_free(ctx);
}

// Types whose CPU row has no dot product still have a query converter; the
// kernel must refuse them instead of calling through a null pointer.
TEST(FlashAttnDeath, KeyTypeWithoutDotProductIsRefused) {
    struct Sub {
        tevo_type type;
        int64_t   DK;
    } subs[] = { { TEVO_TYPE_I32, 32 }, { TEVO_TYPE_Q8_1, 32 }, { TEVO_TYPE_Q8_K, 256 }, { TEVO_TYPE_I8, 32 } };
    for (const Sub & s : subs) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params p   = { 8 * 1024 * 1024, nullptr, false };
        tevo_context *   ctx = tevo_init(p);
        tevo_tensor *    q   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, s.DK, 2, 1, 1);
        tevo_tensor *    k   = tevo_new_tensor_4d(ctx, s.type, s.DK, 4, 1, 1);
        tevo_tensor *    v   = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, 16, 4, 1, 1);
        memset(q->data, 0, tevo_nbytes(q));
        memset(k->data, 0, tevo_nbytes(k));
        memset(v->data, 0, tevo_nbytes(v));
        tevo_tensor * out = tevo_flash_attn_ext(ctx, q, k, v, nullptr, 1.0f, 0.0f, 0.0f);
        tevo_cgraph * gf  = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
        EXPECT_DEATH(tevo_graph_compute_with_ctx(ctx, gf, 2),
                     R"(tevo/src/tevo-cpu/ops:[0-9]+: TEVO_ASSERT\(\( kq_vec_dot\) && "fattn: unsupported K-type"\) failed)")
            << tevo_type_name(s.type);
        tevo_free(ctx);
    }
}

// Every path checks the room its thread takes in the work buffer before it
// writes: a buffer one float short of what the thread needs is refused.
TEST(FlashAttnDeath, WorkBufferTooSmallIsRefused) {
    Case c = { "room", 64, 48, 1, 512, 2, 2, 1, TEVO_TYPE_F16, MaskKind::none, kScale, 0, 0, false, false, false };
    Attn a(c);
    const size_t one   = (size_t) (c.DK + 2 * c.DV + 16);            // one-chunk slice, floats
    const size_t tile  = (size_t) ((c.DK + c.DV) * 128 + 8192 + 16); // tiled slice
    const size_t split = 2 * one + (size_t) (c.H * 4 * (c.DV + 2));  // 2 slices, a record per head and piece
    struct Sub {
        const char * what;
        int          ith;
        size_t       floats;
        const char * cond;
    } subs[] = {
        { "one_chunk", 1, 2 * one, "params->wsize >= (size_t) (params->ith + 1) * slice_floats * sizeof(float)" },
        { "tiled", 1, 2 * tile, "params->wsize >= (size_t) (params->ith + 1) * slice_floats * sizeof(float)" },
        { "split", 0, split,
          "params->wsize >= tevo_flash_attn_ext_split_floats(nth, DK, DV, n_head, n_kv) * sizeof(float)" },
    };
    for (const Sub & s : subs) {
        std::vector<uint8_t> work((s.floats - 1) * sizeof(float));
        tevo_compute_params  p = single_thread(work);
        p.ith                  = s.ith;
        p.nth                  = 2;
        const std::string what = s.what;
        EXPECT_DEATH(
            {
                if (what == "one_chunk") {
                    tevo_flash_attn_ext_one_chunk(&p, a.out, 0, (int32_t) c.H, 0, c.n_kv, nullptr, 0);
                } else if (what == "tiled") {
                    tevo_flash_attn_ext_tiles(&p, a.out, 0, (int32_t) c.H);
                } else {
                    tevo_flash_attn_ext_split_kv(&p, a.out);
                }
            },
            kt::kernel_assert_re(s.cond))
            << s.what;
    }
}

// ---------------------------------------------------------------------------
// the speech model's shapes

// encoder self-attention: 1500 frames over 1536 padded keys, 6 heads of 64
TEST(FlashAttnSpeech, EncoderSelfAttention) {
    Case c = { "encoder", 64, 64, 1500, 1536, 6, 6, 1, TEVO_TYPE_F16, MaskKind::padding, kScale, 0, 0, false, false,
               false };
    Attn a(c);
    const std::vector<float> tiled = a.compute(8, false);
    EXPECT_LE(max_error(a, tiled, a.reference(false, 37), 37), 2e-6);
    // the one-chunk kernel over every row, as the reference flag forces it
    const std::vector<float> chunked = a.compute(8, true);
    EXPECT_LE(max_error(a, chunked, a.reference(true, 37), 37), 2e-6);
    // the one-chunk kernel rounds the query to K's half precision
    double diff = 0.0;
    for (size_t i = 0; i < tiled.size(); ++i) diff = std::max(diff, (double) std::fabs(tiled[i] - chunked[i]));
    EXPECT_LE(diff, 2e-3);
}

// decoder cross-attention (1 query over 1536 keys) and self-attention (1 to
// 5 queries over up to 448 keys, causal), through the CPU backend
TEST(FlashAttnSpeech, DecoderThroughTheBackend) {
    struct Sub {
        int64_t  N, n_kv;
        MaskKind mask;
    } subs[] = { { 1, 1536, MaskKind::none }, { 1, 448, MaskKind::causal }, { 3, 200, MaskKind::causal },
                 { 5, 448, MaskKind::causal } };
    tevo_backend_t backend = tevo_backend_cpu_init();
    ASSERT_NE(backend, nullptr);
    tevo_backend_cpu_set_n_threads(backend, 4);
    for (const Sub & s : subs) {
        Case c = { "decoder", 64, 64, s.N, s.n_kv, 6, 6, 1, TEVO_TYPE_F16, s.mask, kScale, 0, 0, false, false,
                   false };
        Attn a(c);
        const size_t n = (size_t) tevo_nelements(a.out);
        std::fill((float *) a.out->data, (float *) a.out->data + n, NAN);
        ASSERT_EQ(tevo_backend_graph_compute(backend, a.gf), TEVO_STATUS_SUCCESS);
        const std::vector<float> got((float *) a.out->data, (float *) a.out->data + n);
        EXPECT_LE(max_error(a, got, a.reference(true)), 2e-6) << "N " << s.N << " n_kv " << s.n_kv;
    }
    tevo_backend_free(backend);
}

// The fused operator against softmax attention built from its parts:
// kq = K Q, softmax(scale kq + mask), V^T softmax.
TEST(FlashAttnSpeech, AgreesWithMulMatSoftMaxMulMat) {
    struct Sub {
        const char * name;
        int64_t      N, n_kv;
        MaskKind     mask;
        double       tol;
    } subs[] = { { "encoder", 1500, 1536, MaskKind::padding, 1e-4 },
                 { "cross", 1, 1536, MaskKind::none, 1e-4 },
                 { "self", 5, 448, MaskKind::causal, 1e-4 } };
    for (const Sub & s : subs) {
        Case c = { s.name, 64, 64, s.N, s.n_kv, 6, 6, 1, TEVO_TYPE_F16, s.mask, kScale, 0, 0, false, false, false };
        // room for the scores, the probabilities and their F16 copy
        Attn a(c, (size_t) (s.N * s.n_kv * c.H) * 10 + 64 * 1024 * 1024);
        const std::vector<float> fused = a.compute(4, false);

        // the same inputs in the unfused layout: V transposed, mask exactly n_kv wide
        tevo_tensor * vt = tevo_new_tensor_3d(a.ctx, TEVO_TYPE_F16, c.n_kv, c.DV, c.Hkv);
        std::vector<float> vth((size_t) (c.n_kv * c.DV * c.Hkv));
        for (int64_t h = 0; h < c.Hkv; ++h)
            for (int64_t ic = 0; ic < c.n_kv; ++ic)
                for (int64_t d = 0; d < c.DV; ++d)
                    vth[(size_t) ((h * c.DV + d) * c.n_kv + ic)] = a.vh[(size_t) ((h * c.n_kv + ic) * c.DV + d)];
        Attn::store(vt, vth);
        tevo_tensor * m = nullptr;
        if (a.mask) {
            m = tevo_new_tensor_2d(a.ctx, TEVO_TYPE_F16, c.n_kv, c.N);
            std::vector<float> mh2((size_t) (c.n_kv * c.N));
            for (int64_t r = 0; r < c.N; ++r)
                for (int64_t col = 0; col < c.n_kv; ++col) mh2[(size_t) (r * c.n_kv + col)] = a.m_at(col, r, 0, 0);
            Attn::store(m, mh2);
        }
        tevo_tensor * kq  = tevo_mul_mat(a.ctx, a.k, a.q);
        tevo_tensor * sm  = tevo_soft_max_ext(a.ctx, kq, m, c.scale, 0.0f);
        tevo_tensor * kqv = tevo_mul_mat(a.ctx, vt, sm); // [DV, N, H]
        tevo_cgraph * gu  = tevo_new_graph(a.ctx);
        tevo_build_forward_expand(gu, kqv);
        ASSERT_EQ(tevo_graph_compute_with_ctx(a.ctx, gu, 4), TEVO_STATUS_SUCCESS);

        double diff = 0.0;
        for (int64_t i1 = 0; i1 < c.N; ++i1)
            for (int64_t h = 0; h < c.H; ++h)
                for (int64_t d = 0; d < c.DV; ++d) {
                    const float f = fused[(size_t) ((i1 * c.H + h) * c.DV + d)];
                    const float u = ((const float *) kqv->data)[(h * c.N + i1) * c.DV + d];
                    diff          = std::max(diff, (double) std::fabs(f - u));
                }
        // the unfused product rounds the probabilities to F16 for the F16 V
        EXPECT_LE(diff, s.tol) << s.name;
    }
}

} // namespace
