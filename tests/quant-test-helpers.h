#pragma once

// Helpers of the quantized-format tests: random rows, quantizing and
// dequantizing whole rows through the core type-traits table, and the
// field layout the tests need to build blocks by hand (where each block's
// half scales sit).

#include "core/impl.h"
#include "cpu/quants/quants.h"
#include "quants/quants.h"
#include "tevo-cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace qt {

inline std::vector<float> gaussian_row(int64_t n, std::mt19937 & rng, float sigma = 1.0f) {
    std::normal_distribution<float> dist(0.0f, sigma);
    std::vector<float>              v((size_t) n);
    for (float & f : v) f = dist(rng);
    return v;
}

inline std::vector<float> uniform_row(int64_t n, std::mt19937 & rng, float lo = -1.0f, float hi = 1.0f) {
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float>                    v((size_t) n);
    for (float & f : v) f = dist(rng);
    return v;
}

inline size_t row_bytes(tevo_type type, int64_t n) {
    return tevo_row_size(type, n);
}

// the reference quantizer of the core table; the buffer is poisoned first so
// that unwritten bytes show
inline std::vector<uint8_t> quantize_ref(tevo_type type, const std::vector<float> & x) {
    std::vector<uint8_t> q(row_bytes(type, (int64_t) x.size()) + 1, 0xA5);
    tevo_get_type_traits(type)->from_float_ref(x.data(), q.data(), (int64_t) x.size());
    EXPECT_EQ(q.back(), 0xA5) << tevo_type_name(type) << ": wrote past the row";
    q.pop_back();
    return q;
}

// the CPU row quantizer of the CPU table (the x86 forms for q8_0 and q8_1)
inline std::vector<uint8_t> quantize_cpu(tevo_type type, const std::vector<float> & x) {
    std::vector<uint8_t> q(row_bytes(type, (int64_t) x.size()) + 1, 0xA5);
    tevo_get_type_traits_cpu(type)->from_float(x.data(), q.data(), (int64_t) x.size());
    EXPECT_EQ(q.back(), 0xA5) << tevo_type_name(type) << ": wrote past the row";
    q.pop_back();
    return q;
}

// Blocks to floats: the core dequantizer, dequantize_row_q8_K (which no
// table holds), or for q8_1 (which has none) its value d * code.
inline std::vector<float> dequantize(tevo_type type, const void * q, int64_t n) {
    std::vector<float> y((size_t) n);
    if (type == TEVO_TYPE_Q8_1) {
        const block_q8_1 * b = (const block_q8_1 *) q;
        for (int64_t i = 0; i < n; ++i) {
            y[(size_t) i] = tevo_fp16_to_fp32(b[i / 32].d) * (float) b[i / 32].qs[i % 32];
        }
        return y;
    }
    if (type == TEVO_TYPE_Q8_K) {
        dequantize_row_q8_K(q, y.data(), n);
        return y;
    }
    tevo_get_type_traits(type)->to_float(q, y.data(), n);
    return y;
}

inline std::vector<float> dequantize(tevo_type type, const std::vector<uint8_t> & q, int64_t n) {
    return dequantize(type, q.data(), n);
}

inline uint16_t half_bits(float f) {
    return tevo_fp32_to_fp16(f);
}

inline void put_half(uint8_t * p, float f) {
    const uint16_t h = half_bits(f);
    memcpy(p, &h, 2);
}

inline uint16_t get_half(const uint8_t * p) {
    uint16_t h;
    memcpy(&h, p, 2);
    return h;
}

// byte offsets of a block's half scale fields (for the formats with half
// scales); -1 ends the list
struct ScaleFields {
    int off[2];
};

inline ScaleFields half_scale_fields(tevo_type type) {
    switch (type) {
        case TEVO_TYPE_Q4_1:
        case TEVO_TYPE_Q5_1:
        case TEVO_TYPE_Q4_K:
        case TEVO_TYPE_Q5_K: return { { 0, 2 } };
        case TEVO_TYPE_Q2_K: return { { 80, 82 } };
        case TEVO_TYPE_Q3_K: return { { 108, -1 } };
        case TEVO_TYPE_Q6_K: return { { 208, -1 } };
        case TEVO_TYPE_TQ1_0: return { { 52, -1 } };
        case TEVO_TYPE_TQ2_0: return { { 64, -1 } };
        case TEVO_TYPE_MXFP4:
        case TEVO_TYPE_NVFP4: return { { -1, -1 } };
        default: return { { 0, -1 } };
    }
}

// Every scale of every block set to 1 (mxfp4 and nvfp4 through their own
// encodings), so that dequantized values are the integer codes.
inline void unit_scales(tevo_type type, std::vector<uint8_t> & q) {
    const size_t size = tevo_type_size(type);
    for (size_t b = 0; b < q.size() / size; ++b) {
        uint8_t * blk = q.data() + b * size;
        if (type == TEVO_TYPE_MXFP4) {
            blk[0] = 128; // 2^(e - 128) = 1
        } else if (type == TEVO_TYPE_NVFP4) {
            memset(blk, 0x40, 4); // E4M3 2.0, applied at half
        } else {
            for (int off : half_scale_fields(type).off) {
                if (off >= 0) put_half(blk + off, 1.0f);
            }
        }
    }
}

// An activation row of small integer codes (-lim..lim) with scale 1, its
// sums consistent: q8_0, q8_1 or q8_K.
inline std::vector<uint8_t> integer_activations(tevo_type type, int64_t n, int lim, std::mt19937 & rng) {
    std::uniform_int_distribution<int> dist(-lim, lim);
    std::vector<uint8_t>               q(row_bytes(type, n));
    const size_t                       size = tevo_type_size(type);
    for (size_t b = 0; b < q.size() / size; ++b) {
        uint8_t * blk = q.data() + b * size;
        if (type == TEVO_TYPE_Q8_K) {
            block_q8_K * y = (block_q8_K *) blk;
            y->d           = 1.0f;
            for (int j = 0; j < 16; ++j) {
                int sum = 0;
                for (int i = 0; i < 16; ++i) {
                    y->qs[16 * j + i] = (int8_t) dist(rng);
                    sum += y->qs[16 * j + i];
                }
                y->bsums[j] = (int16_t) sum;
            }
        } else if (type == TEVO_TYPE_Q8_1) {
            block_q8_1 * y   = (block_q8_1 *) blk;
            int          sum = 0;
            for (int i = 0; i < 32; ++i) {
                y->qs[i] = (int8_t) dist(rng);
                sum += y->qs[i];
            }
            y->d = half_bits(1.0f);
            y->s = half_bits((float) sum);
        } else {
            block_q8_0 * y = (block_q8_0 *) blk;
            for (int i = 0; i < 32; ++i) y->qs[i] = (int8_t) dist(rng);
            y->d = half_bits(1.0f);
        }
    }
    return q;
}

inline std::vector<uint8_t> random_bytes(size_t n, std::mt19937 & rng) {
    std::uniform_int_distribution<int> dist(0, 255);
    std::vector<uint8_t>               v(n);
    for (uint8_t & b : v) b = (uint8_t) dist(rng);
    return v;
}

// ---------------------------------------------------------------------------
// dot products

struct DotKernel {
    const char *   name;
    tevo_type      wtype;
    tevo_vec_dot_t generic;
    tevo_vec_dot_t x86;
};

inline float run_dot(tevo_vec_dot_t f, int64_t n, const std::vector<uint8_t> & w, const std::vector<uint8_t> & a) {
    float s = NAN;
    f((int) n, &s, 0, w.data(), 0, a.data(), 0, 1);
    return s;
}

struct DoubleDot {
    double dot = 0.0; // of the dequantized rows
    double mag = 0.0; // sum of the terms' magnitudes
};

inline DoubleDot double_dot(const std::vector<float> & a, const std::vector<float> & b) {
    DoubleDot r;
    for (size_t i = 0; i < a.size(); ++i) {
        const double t = (double) a[i] * (double) b[i];
        r.dot += t;
        r.mag += std::fabs(t);
    }
    return r;
}

// The table of row lengths, in weight blocks: none, one, odd counts, many.
inline const std::vector<int> & dot_block_counts() {
    static const std::vector<int> counts = { 0, 1, 3, 7, 300 };
    return counts;
}

// Quantized random rows: the portable and x86 forms agree within a few
// ulp of the sum of the terms' magnitudes, and both match the double dot
// product of the dequantized rows.
inline void check_dot_against_dequantized(const DotKernel & k, std::mt19937 & rng) {
    const tevo_type act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
    const int64_t   qk  = tevo_blck_size(k.wtype);
    for (int nb : dot_block_counts()) {
        const int64_t n = nb * qk;
        SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n));

        const std::vector<uint8_t> w = quantize_ref(k.wtype, gaussian_row(n, rng));
        const std::vector<uint8_t> a = quantize_cpu(act, gaussian_row(n, rng));
        const DoubleDot            r = double_dot(dequantize(k.wtype, w, n), dequantize(act, a, n));

        const float g = run_dot(k.generic, n, w, a);
        const float v = run_dot(k.x86, n, w, a);
        if (n == 0) {
            EXPECT_EQ(g, 0.0f);
            EXPECT_EQ(v, 0.0f);
            continue;
        }
        const double ulp = std::ldexp(r.mag, -23);
        // q8_1 carries d * sum(codes) rounded to half apart from its codes:
        // the minimum of q4_1 and q5_1 meets that rounding
        double s_err = 0.0;
        if (act == TEVO_TYPE_Q8_1) {
            const size_t wsize = tevo_type_size(k.wtype);
            for (int b = 0; b < nb; ++b) {
                const block_q8_1 * yb  = (const block_q8_1 *) a.data() + b;
                int                sum = 0;
                for (int i = 0; i < 32; ++i) sum += yb->qs[i];
                const double m = tevo_fp16_to_fp32(get_half(w.data() + b * wsize + 2));
                s_err += std::fabs(m) * std::fabs((double) tevo_fp16_to_fp32(yb->s) -
                                                  (double) tevo_fp16_to_fp32(yb->d) * sum);
            }
        }
        EXPECT_LE(std::fabs((double) g - (double) v), 4 * ulp) << g << " vs " << v;
        EXPECT_LE(std::fabs((double) g - r.dot), 16 * ulp + s_err) << g << " vs " << r.dot;
        EXPECT_LE(std::fabs((double) v - r.dot), 16 * ulp + s_err) << v << " vs " << r.dot;
    }
}

// Random codes under unit scales against small integer activations: every
// block sum and the whole product are exact integers, so the two forms and
// the dequantized product must agree to the bit.
inline void check_dot_integer_sums(const DotKernel & k, std::mt19937 & rng) {
    const tevo_type act = tevo_get_type_traits_cpu(k.wtype)->vec_dot_type;
    const int64_t   qk  = tevo_blck_size(k.wtype);
    for (int nb : { 1, 3, 4 }) {
        const int64_t n = nb * qk;
        SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n));
        for (int rep = 0; rep < 20; ++rep) {
            std::vector<uint8_t> w = random_bytes(row_bytes(k.wtype, n), rng);
            unit_scales(k.wtype, w);
            const std::vector<uint8_t> a = integer_activations(act, n, 2, rng);
            const DoubleDot            r = double_dot(dequantize(k.wtype, w, n), dequantize(act, a, n));
            ASSERT_LT(r.mag, 16777216.0);
            EXPECT_EQ((double) run_dot(k.generic, n, w, a), r.dot);
            EXPECT_EQ((double) run_dot(k.x86, n, w, a), r.dot);
        }
    }
}

} // namespace qt
