#pragma once

// Helpers of the repacked-weight tests: the table of layouts with their
// kernels and 4-row quantizers, random quantized weights, repacking them
// into a tensor, and the records turned back into plain activation rows for
// the ordinary dot products.

#include "cpu/repack/repack.h"
#include "quant-test-helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace rt {

// One layout and the kernels that run on it. A layout with an x86 form is
// listed twice: the form the traits call and its portable twin.
struct layout {
    const char *           name; // <type>_<NB_COLS>x<INTER>, "_generic" for a twin
    tevo_type              type;
    int                    inter, nb_cols;
    tevo_type              param; // activation type
    tevo_repack_mm_t       gemv, gemm;
    tevo_repack_quantize_t quantize_4rows;
    bool                   x86_selects; // the x86-64 build hands it out
};

inline const std::vector<layout> & layouts() {
    static const std::vector<layout> all = {
        { "q1_0_4x4", TEVO_TYPE_Q1_0, 4, 4, TEVO_TYPE_Q8_0, tevo_gemv_q1_0_4x4_q8_0, tevo_gemm_q1_0_4x4_q8_0,
          tevo_quantize_mat_q8_0_4x4, false },
        { "q1_0_4x8", TEVO_TYPE_Q1_0, 8, 4, TEVO_TYPE_Q8_0, tevo_gemv_q1_0_4x8_q8_0, tevo_gemm_q1_0_4x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, false },
        { "q4_0_4x4", TEVO_TYPE_Q4_0, 4, 4, TEVO_TYPE_Q8_0, tevo_gemv_q4_0_4x4_q8_0, tevo_gemm_q4_0_4x4_q8_0,
          tevo_quantize_mat_q8_0_4x4, false },
        { "q4_0_4x8", TEVO_TYPE_Q4_0, 8, 4, TEVO_TYPE_Q8_0, tevo_gemv_q4_0_4x8_q8_0, tevo_gemm_q4_0_4x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, false },
        { "q4_0_8x8", TEVO_TYPE_Q4_0, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_q4_0_8x8_q8_0, tevo_gemm_q4_0_8x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, true },
        { "q4_0_8x8_generic", TEVO_TYPE_Q4_0, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_q4_0_8x8_q8_0_generic,
          tevo_gemm_q4_0_8x8_q8_0_generic, tevo_quantize_mat_q8_0_4x8_generic, false },
        { "q4_K_8x4", TEVO_TYPE_Q4_K, 4, 8, TEVO_TYPE_Q8_K, tevo_gemv_q4_K_8x4_q8_K, tevo_gemm_q4_K_8x4_q8_K,
          tevo_quantize_mat_q8_K_4x4, false },
        { "q4_K_8x8", TEVO_TYPE_Q4_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q4_K_8x8_q8_K, tevo_gemm_q4_K_8x8_q8_K,
          tevo_quantize_mat_q8_K_4x8, true },
        { "q4_K_8x8_generic", TEVO_TYPE_Q4_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q4_K_8x8_q8_K_generic,
          tevo_gemm_q4_K_8x8_q8_K_generic, tevo_quantize_mat_q8_K_4x8_generic, false },
        { "q5_K_8x4", TEVO_TYPE_Q5_K, 4, 8, TEVO_TYPE_Q8_K, tevo_gemv_q5_K_8x4_q8_K, tevo_gemm_q5_K_8x4_q8_K,
          tevo_quantize_mat_q8_K_4x4, false },
        { "q5_K_8x8", TEVO_TYPE_Q5_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q5_K_8x8_q8_K, tevo_gemm_q5_K_8x8_q8_K,
          tevo_quantize_mat_q8_K_4x8, false },
        { "q6_K_8x4", TEVO_TYPE_Q6_K, 4, 8, TEVO_TYPE_Q8_K, tevo_gemv_q6_K_8x4_q8_K, tevo_gemm_q6_K_8x4_q8_K,
          tevo_quantize_mat_q8_K_4x4, false },
        { "q6_K_8x8", TEVO_TYPE_Q6_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q6_K_8x8_q8_K, tevo_gemm_q6_K_8x8_q8_K,
          tevo_quantize_mat_q8_K_4x8, false },
        { "q2_K_8x8", TEVO_TYPE_Q2_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q2_K_8x8_q8_K, tevo_gemm_q2_K_8x8_q8_K,
          tevo_quantize_mat_q8_K_4x8, false },
        { "q2_K_8x8_generic", TEVO_TYPE_Q2_K, 8, 8, TEVO_TYPE_Q8_K, tevo_gemv_q2_K_8x8_q8_K_generic,
          tevo_gemm_q2_K_8x8_q8_K_generic, tevo_quantize_mat_q8_K_4x8_generic, false },
        { "iq4_nl_4x4", TEVO_TYPE_IQ4_NL, 4, 4, TEVO_TYPE_Q8_0, tevo_gemv_iq4_nl_4x4_q8_0, tevo_gemm_iq4_nl_4x4_q8_0,
          tevo_quantize_mat_q8_0_4x4, false },
        { "iq4_nl_8x8", TEVO_TYPE_IQ4_NL, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_iq4_nl_8x8_q8_0, tevo_gemm_iq4_nl_8x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, true },
        { "iq4_nl_8x8_generic", TEVO_TYPE_IQ4_NL, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_iq4_nl_8x8_q8_0_generic,
          tevo_gemm_iq4_nl_8x8_q8_0_generic, tevo_quantize_mat_q8_0_4x8_generic, false },
        { "mxfp4_4x4", TEVO_TYPE_MXFP4, 4, 4, TEVO_TYPE_Q8_0, tevo_gemv_mxfp4_4x4_q8_0, tevo_gemm_mxfp4_4x4_q8_0,
          tevo_quantize_mat_q8_0_4x4, false },
        { "mxfp4_8x8", TEVO_TYPE_MXFP4, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_mxfp4_8x8_q8_0, tevo_gemm_mxfp4_8x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, true },
        { "mxfp4_8x8_generic", TEVO_TYPE_MXFP4, 8, 8, TEVO_TYPE_Q8_0, tevo_gemv_mxfp4_8x8_q8_0_generic,
          tevo_gemm_mxfp4_8x8_q8_0_generic, tevo_quantize_mat_q8_0_4x8_generic, false },
        { "q8_0_4x4", TEVO_TYPE_Q8_0, 4, 4, TEVO_TYPE_Q8_0, tevo_gemv_q8_0_4x4_q8_0, tevo_gemm_q8_0_4x4_q8_0,
          tevo_quantize_mat_q8_0_4x4, false },
        { "q8_0_4x8", TEVO_TYPE_Q8_0, 8, 4, TEVO_TYPE_Q8_0, tevo_gemv_q8_0_4x8_q8_0, tevo_gemm_q8_0_4x8_q8_0,
          tevo_quantize_mat_q8_0_4x8, false },
    };
    return all;
}

inline void PrintTo(const layout & l, std::ostream * os) {
    *os << l.name;
}

inline const layout & find(const std::string & name) {
    for (const layout & l : layouts()) {
        if (name == l.name) {
            return l;
        }
    }
    ADD_FAILURE() << "no layout " << name;
    return layouts()[0];
}

inline bool is_twin(const layout & l) {
    return std::string(l.name).find("_generic") != std::string::npos;
}

// the layouts the traits objects have (twins left out)
inline std::vector<layout> traits_layouts() {
    std::vector<layout> out;
    for (const layout & l : layouts()) {
        if (!is_twin(l)) {
            out.push_back(l);
        }
    }
    return out;
}

// Random weights of nrow rows of n values, quantized by the reference
// quantizer of the type (row after row).
inline std::vector<uint8_t> random_weights(tevo_type type, int64_t n, int64_t nrow, uint32_t seed) {
    std::mt19937         rng(seed);
    std::vector<uint8_t> out;
    for (int64_t r = 0; r < nrow; ++r) {
        const std::vector<uint8_t> q = qt::quantize_ref(type, qt::uniform_row(n, rng));
        out.insert(out.end(), q.begin(), q.end());
    }
    return out;
}

// A tensor of the type and shape with its own data, the plain rows repacked
// into it through the layout's traits object; the repack's result in *status.
struct repacked {
    tevo_context * ctx = nullptr;
    tevo_tensor *  t   = nullptr;
    int            status = 0;

    repacked(const layout & l, int64_t n, int64_t nrow, const std::vector<uint8_t> & plain) {
        tevo_init_params p = { (size_t) plain.size() + 4096, nullptr, false };
        ctx                = tevo_init(p);
        t                  = tevo_new_tensor_2d(ctx, l.type, n, nrow);
        tevo_set_name(t, "w");
        status = tevo::cpu::repack::get_traits(l.type, l.inter, l.nb_cols)->repack(t, plain.data(), plain.size());
    }
    ~repacked() { tevo_free(ctx); }
    repacked(const repacked &)             = delete;
    repacked & operator=(const repacked &) = delete;
};

// Row r (of 4) of a run of 4-row activation records woven W bytes, as a plain
// activation row (block_q8_0 or block_q8_K blocks).
inline std::vector<uint8_t> plain_row_of_records(tevo_type param, const std::vector<uint8_t> & records, int64_t n,
                                                 int W, int r) {
    std::vector<uint8_t> row(tevo_row_size(param, n));
    if (param == TEVO_TYPE_Q8_0) {
        const block_q8_0x4 * rec = (const block_q8_0x4 *) records.data();
        block_q8_0 *         out = (block_q8_0 *) row.data();
        for (int64_t b = 0; b < n / 32; ++b) {
            out[b].d = rec[b].d[r];
            for (int i = 0; i < 32; ++i) {
                out[b].qs[i] = rec[b].qs[(i / W) * 4 * W + r * W + i % W];
            }
        }
    } else {
        const block_q8_Kx4 * rec = (const block_q8_Kx4 *) records.data();
        block_q8_K *         out = (block_q8_K *) row.data();
        for (int64_t b = 0; b < n / 256; ++b) {
            out[b].d = rec[b].d[r];
            for (int e = 0; e < 256; ++e) {
                out[b].qs[e] = rec[b].qs[(4 * (e / W) + r) * W + e % W];
            }
            for (int h = 0; h < 16; ++h) {
                out[b].bsums[h] = rec[b].bsums[(h / 4) * 16 + r * 4 + h % 4];
            }
        }
    }
    return row;
}

// the ordinary path: the type's dot product of a plain weight row and a plain activation row
inline float vec_dot(tevo_type type, int64_t n, const void * w_row, const void * a_row) {
    float s = NAN;
    tevo_get_type_traits_cpu(type)->vec_dot((int) n, &s, 0, w_row, 0, a_row, 0, 1);
    return s;
}

// sum of |w_i a_i| over the dequantized rows: the scale of the rounding error
inline double magnitude(tevo_type wtype, const void * w_row, tevo_type atype, const void * a_row, int64_t n) {
    const std::vector<float> w = qt::dequantize(wtype, w_row, n);
    const std::vector<float> a = qt::dequantize(atype, a_row, n);
    double                   m = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        m += std::fabs((double) w[(size_t) i] * (double) a[(size_t) i]);
    }
    return m;
}

} // namespace rt
