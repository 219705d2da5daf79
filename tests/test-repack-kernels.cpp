// Repacked-weight layouts and kernels called directly: every layout's
// repacking followed by its GEMV and GEMM kernels against the ordinary dot
// product of the type on the same weights and the same activation codes; the
// x86 kernels beside their portable twins; the 4-row activation quantizers
// beside the row quantizers; the record bytes the layouts promise; and the
// truncation rules of the call contract.

#include "repack-test-helpers.h"

#include "cpu/impl.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// the lookup tables the kernels read; the repacking's debug lines are not wanted here
struct init_tables {
    init_tables() {
        tevo_cpu_init();
        tevo_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    }
} tables_ready;

int64_t weight_qk(tevo_type type) {
    return tevo_blck_size(type);
}

// n values per row for a layout: blocks of the weight type, a whole number
// of activation blocks
std::vector<int64_t> row_lengths(const rt::layout & l) {
    const int64_t qk = weight_qk(l.type);
    return { qk, 3 * qk, 8 * qk };
}

// a few ulp of the sum of magnitudes
double tolerance(double magnitude) {
    return 8.0 * FLT_EPSILON * magnitude + 1e-30;
}

// ---------------------------------------------------------------------------
// kernels against the ordinary dot products

struct Kernels : ::testing::TestWithParam<rt::layout> {};

TEST_P(Kernels, GemvAndGemmMatchTheDotProductOfTheSameWeightsAndCodes) {
    const rt::layout & l = GetParam();
    for (int64_t n : row_lengths(l)) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const int64_t              nc    = 2 * l.nb_cols;
        const std::vector<uint8_t> plain = rt::random_weights(l.type, n, nc, (uint32_t) (n + 7));
        rt::repacked               w(l, n, nc, plain);
        ASSERT_EQ(w.status, 0);
        const size_t wrow = tevo_row_size(l.type, n);

        std::mt19937             rng((uint32_t) n);
        const int                nr = 8;
        const std::vector<float> x  = qt::uniform_row(nr * n, rng);

        // GEMM over two runs of 4-row records
        const size_t         run_bytes = 4 * tevo_row_size(l.param, n);
        std::vector<uint8_t> records(2 * run_bytes);
        for (int g = 0; g < 2; ++g) {
            l.quantize_4rows(x.data() + 4 * g * n, records.data() + g * run_bytes, n);
        }
        const size_t       bs = (size_t) nc + 3;
        std::vector<float> s((size_t) nr * bs, 1234.5f);
        l.gemm((int) n, s.data(), bs, w.t->data, records.data(), nr, (int) nc);

        for (int r = 0; r < nr; ++r) {
            const std::vector<uint8_t> run(records.begin() + (r / 4) * run_bytes,
                                           records.begin() + (r / 4 + 1) * run_bytes);
            const std::vector<uint8_t> arow = rt::plain_row_of_records(l.param, run, n, l.inter, r % 4);
            for (int64_t c = 0; c < nc; ++c) {
                const float  want = rt::vec_dot(l.type, n, plain.data() + c * wrow, arow.data());
                const double mag  = rt::magnitude(l.type, plain.data() + c * wrow, l.param, arow.data(), n);
                EXPECT_NEAR(s[r * bs + c], want, tolerance(mag)) << "GEMM row " << r << " column " << c;
            }
            for (size_t c = nc; c < bs; ++c) {
                EXPECT_EQ(s[r * bs + c], 1234.5f) << "GEMM wrote between rows";
            }
        }

        // GEMV of one row quantized by the row quantizer of the activation type
        const std::vector<float>   x0(x.begin(), x.begin() + n);
        const std::vector<uint8_t> arow = qt::quantize_cpu(l.param, x0);
        std::vector<float>         v((size_t) nc, NAN);
        l.gemv((int) n, v.data(), 0, w.t->data, arow.data(), 1, (int) nc);
        for (int64_t c = 0; c < nc; ++c) {
            const float  want = rt::vec_dot(l.type, n, plain.data() + c * wrow, arow.data());
            const double mag  = rt::magnitude(l.type, plain.data() + c * wrow, l.param, arow.data(), n);
            EXPECT_NEAR(v[c], want, tolerance(mag)) << "GEMV column " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, Kernels, ::testing::ValuesIn(rt::layouts()),
                         [](const ::testing::TestParamInfo<rt::layout> & info) { return std::string(info.param.name); });

// The x86 kernels and their portable twins compute the same integer sums:
// on the same records they agree within float rounding, and an x86 4-bit
// GEMV gives the same bits as its GEMM for the same row.
TEST(RepackKernels, X86FormsAgreeWithTheirTwins) {
    struct pair {
        const char *     name;
        tevo_type        type;
        tevo_repack_mm_t gemv, gemv_generic, gemm, gemm_generic;
        bool             gemv_equals_gemm;
    };
    const pair pairs[] = {
        { "q4_0_8x8", TEVO_TYPE_Q4_0, tevo_gemv_q4_0_8x8_q8_0, tevo_gemv_q4_0_8x8_q8_0_generic,
          tevo_gemm_q4_0_8x8_q8_0, tevo_gemm_q4_0_8x8_q8_0_generic, true },
        { "iq4_nl_8x8", TEVO_TYPE_IQ4_NL, tevo_gemv_iq4_nl_8x8_q8_0, tevo_gemv_iq4_nl_8x8_q8_0_generic,
          tevo_gemm_iq4_nl_8x8_q8_0, tevo_gemm_iq4_nl_8x8_q8_0_generic, true },
        { "mxfp4_8x8", TEVO_TYPE_MXFP4, tevo_gemv_mxfp4_8x8_q8_0, tevo_gemv_mxfp4_8x8_q8_0_generic,
          tevo_gemm_mxfp4_8x8_q8_0, tevo_gemm_mxfp4_8x8_q8_0_generic, true },
        { "q4_K_8x8", TEVO_TYPE_Q4_K, tevo_gemv_q4_K_8x8_q8_K, tevo_gemv_q4_K_8x8_q8_K_generic,
          tevo_gemm_q4_K_8x8_q8_K, tevo_gemm_q4_K_8x8_q8_K_generic, false },
        { "q2_K_8x8", TEVO_TYPE_Q2_K, tevo_gemv_q2_K_8x8_q8_K, tevo_gemv_q2_K_8x8_q8_K_generic,
          tevo_gemm_q2_K_8x8_q8_K, tevo_gemm_q2_K_8x8_q8_K_generic, false },
    };
    for (const pair & p : pairs) {
        SCOPED_TRACE(p.name);
        const tevo_type param = tevo_blck_size(p.type) == 32 ? TEVO_TYPE_Q8_0 : TEVO_TYPE_Q8_K;
        const int64_t   n     = 4 * weight_qk(p.type);
        const int64_t   nc    = 24;
        const rt::layout l    = { p.name, p.type, 8, 8, param, p.gemv, p.gemm, nullptr, false };
        const std::vector<uint8_t> plain = rt::random_weights(p.type, n, nc, 3);
        rt::repacked               w(l, n, nc, plain);
        ASSERT_EQ(w.status, 0);

        // 20 rows: the x86 GEMM takes 16 in one pass and the last 4 alone
        const int                nr = 20;
        std::mt19937             rng(11);
        const std::vector<float> x = qt::uniform_row(nr * n, rng);
        const size_t             run_bytes = 4 * tevo_row_size(param, n);
        std::vector<uint8_t>     records(nr / 4 * run_bytes);
        for (int g = 0; g < nr / 4; ++g) {
            (param == TEVO_TYPE_Q8_0 ? tevo_quantize_mat_q8_0_4x8 : tevo_quantize_mat_q8_K_4x8)(
                x.data() + 4 * g * n, records.data() + g * run_bytes, n);
        }
        std::vector<float> fast((size_t) (nr * nc)), slow((size_t) (nr * nc));
        p.gemm((int) n, fast.data(), nc, w.t->data, records.data(), nr, (int) nc);
        p.gemm_generic((int) n, slow.data(), nc, w.t->data, records.data(), nr, (int) nc);

        const size_t       wrow = tevo_row_size(p.type, n);
        std::vector<float> single((size_t) (nr * nc));
        for (int r = 0; r < nr; ++r) {
            const std::vector<uint8_t> run(records.begin() + (r / 4) * run_bytes, records.begin() + (r / 4 + 1) * run_bytes);
            const std::vector<uint8_t> arow = rt::plain_row_of_records(param, run, n, 8, r % 4);
            // the GEMV of the same row (plain blocks taken out of the record)
            float * v = single.data() + r * nc;
            float   vg[24];
            p.gemv((int) n, v, 0, w.t->data, arow.data(), 1, (int) nc);
            p.gemv_generic((int) n, vg, 0, w.t->data, arow.data(), 1, (int) nc);
            for (int64_t c = 0; c < nc; ++c) {
                const double mag = rt::magnitude(p.type, plain.data() + c * wrow, param, arow.data(), n);
                EXPECT_NEAR(fast[r * nc + c], slow[r * nc + c], tolerance(mag)) << r << " " << c;
                EXPECT_NEAR(v[c], vg[c], tolerance(mag));
                if (p.gemv_equals_gemm) {
                    EXPECT_EQ(v[c], fast[r * nc + c]) << "GEMV and GEMM differ for row " << r;
                } else {
                    EXPECT_NEAR(v[c], fast[r * nc + c], tolerance(mag));
                }
            }
        }

        // the x86 GEMV computes nr rows of plain blocks, one after another
        std::vector<uint8_t> rows;
        for (int r = 0; r < 3; ++r) {
            const std::vector<uint8_t> run(records.begin(), records.begin() + run_bytes);
            const std::vector<uint8_t> arow = rt::plain_row_of_records(param, run, n, 8, r);
            rows.insert(rows.end(), arow.begin(), arow.end());
        }
        std::vector<float> three((size_t) (3 * 32), -7.0f);
        p.gemv((int) n, three.data(), 32, w.t->data, rows.data(), 3, (int) nc);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < nc; ++c) {
                EXPECT_EQ(three[r * 32 + c], single[r * nc + c]) << "multi-row GEMV " << r << " " << c;
            }
            EXPECT_EQ(three[r * 32 + nc], -7.0f);
        }
    }
}

// The x86 q4_0 GEMM and GEMV give per output exactly the sum taken block by
// block in ascending order, one fused multiply-add of the float product of
// the two scales and the exact integer block sum each: bit for bit.
TEST(RepackKernels, X86Q4_0GivesTheBlockwiseFusedSumExactly) {
    const int64_t              n     = 8 * 32;
    const int64_t              nc    = 16;
    const int                  nr    = 20;
    const rt::layout           l     = { "q4_0_8x8", TEVO_TYPE_Q4_0, 8, 8, TEVO_TYPE_Q8_0,
                                         tevo_gemv_q4_0_8x8_q8_0, tevo_gemm_q4_0_8x8_q8_0, nullptr, false };
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, n, nc, 21);
    rt::repacked               w(l, n, nc, plain);
    ASSERT_EQ(w.status, 0);

    std::mt19937             rng(23);
    const std::vector<float> x         = qt::uniform_row(nr * n, rng);
    const size_t             run_bytes = 4 * tevo_row_size(TEVO_TYPE_Q8_0, n);
    std::vector<uint8_t>     records(nr / 4 * run_bytes);
    for (int g = 0; g < nr / 4; ++g) {
        tevo_quantize_mat_q8_0_4x8(x.data() + 4 * g * n, records.data() + g * run_bytes, n);
    }
    std::vector<float> gemm((size_t) (nr * nc));
    tevo_gemm_q4_0_8x8_q8_0((int) n, gemm.data(), nc, w.t->data, records.data(), nr, (int) nc);

    const size_t wrow = tevo_row_size(TEVO_TYPE_Q4_0, n);
    for (int r = 0; r < nr; ++r) {
        const std::vector<uint8_t> run(records.begin() + (r / 4) * run_bytes, records.begin() + (r / 4 + 1) * run_bytes);
        const std::vector<uint8_t> arow = rt::plain_row_of_records(TEVO_TYPE_Q8_0, run, n, 8, r % 4);
        const block_q8_0 *         a    = (const block_q8_0 *) arow.data();
        float                      gemv[nc];
        tevo_gemv_q4_0_8x8_q8_0((int) n, gemv, 0, w.t->data, arow.data(), 1, (int) nc);
        for (int64_t c = 0; c < nc; ++c) {
            const block_q4_0 * wb  = (const block_q4_0 *) (plain.data() + c * wrow);
            float              acc = 0.0f;
            for (int64_t b = 0; b < n / 32; ++b) {
                int32_t sumi = 0;
                for (int i = 0; i < 16; ++i) {
                    sumi += ((wb[b].qs[i] & 0x0f) - 8) * a[b].qs[i] + ((wb[b].qs[i] >> 4) - 8) * a[b].qs[i + 16];
                }
                const float d = tevo_fp16_to_fp32(wb[b].d) * tevo_fp16_to_fp32(a[b].d);
                acc           = std::fma(d, (float) sumi, acc);
            }
            EXPECT_EQ(gemm[r * nc + c], acc) << "GEMM row " << r << " column " << c;
            EXPECT_EQ(gemv[c], acc) << "GEMV row " << r << " column " << c;
        }
    }
}

// The x86 q4_K kernels give per output exactly acc - macc, where each step
// adds one fused multiply-add of the float product of the two scales and the
// exact integer sum: the scaled value sums into acc, the mins times the
// activation sums into macc. A step is a 64-value part in the GEMM, a whole
// block in the GEMV. Bit for bit.
TEST(RepackKernels, X86Q4_KGivesTheStepwiseFusedSumsExactly) {
    const int64_t              n     = 3 * 256;
    const int64_t              nc    = 16;
    const int                  nr    = 28; // one pass of 16 rows, then three runs of 4
    const rt::layout           l     = { "q4_K_8x8", TEVO_TYPE_Q4_K, 8, 8, TEVO_TYPE_Q8_K,
                                         tevo_gemv_q4_K_8x8_q8_K, tevo_gemm_q4_K_8x8_q8_K, nullptr, false };
    std::vector<uint8_t>       plain = rt::random_weights(TEVO_TYPE_Q4_K, n, nc, 31);
    // large scales and mins in some sub-blocks, so that 16-bit partial sums
    // and the mins' products are exercised near their limits
    block_q4_K * pb = (block_q4_K *) plain.data();
    for (int64_t i = 0; i < nc * (n / 256); i += 3) {
        for (int j = 0; j < 12; ++j) {
            pb[i].scales[j] |= 0xc0 >> (j % 3);
        }
    }
    rt::repacked w(l, n, nc, plain);
    ASSERT_EQ(w.status, 0);

    std::mt19937             rng(37);
    const std::vector<float> x         = qt::uniform_row(nr * n, rng);
    const size_t             run_bytes = 4 * tevo_row_size(TEVO_TYPE_Q8_K, n);
    std::vector<uint8_t>     records(nr / 4 * run_bytes);
    for (int g = 0; g < nr / 4; ++g) {
        tevo_quantize_mat_q8_K_4x8(x.data() + 4 * g * n, records.data() + g * run_bytes, n);
    }
    std::vector<float> gemm((size_t) (nr * nc));
    tevo_gemm_q4_K_8x8_q8_K((int) n, gemm.data(), nc, w.t->data, records.data(), nr, (int) nc);

    // scale and min of sub-block i of a plain block
    auto scale_min = [](const block_q4_K & B, int i, int * s, int * m) {
        const uint8_t * q = B.scales;
        if (i < 4) {
            *s = q[i] & 63;
            *m = q[i + 4] & 63;
        } else {
            *s = (q[i + 4] & 15) | ((q[i - 4] >> 6) << 4);
            *m = (q[i + 4] >> 4) | ((q[i] >> 6) << 4);
        }
    };
    const size_t wrow = tevo_row_size(TEVO_TYPE_Q4_K, n);
    for (int r = 0; r < nr; ++r) {
        const std::vector<uint8_t> run(records.begin() + (r / 4) * run_bytes, records.begin() + (r / 4 + 1) * run_bytes);
        const std::vector<uint8_t> arow = rt::plain_row_of_records(TEVO_TYPE_Q8_K, run, n, 8, r % 4);
        const block_q8_K *         a    = (const block_q8_K *) arow.data();
        float                      gemv[nc];
        tevo_gemv_q4_K_8x8_q8_K((int) n, gemv, 0, w.t->data, arow.data(), 1, (int) nc);
        for (int64_t c = 0; c < nc; ++c) {
            const block_q4_K * wb = (const block_q4_K *) (plain.data() + c * wrow);
            float              acc_part = 0.0f, macc_part = 0.0f, acc_block = 0.0f, macc_block = 0.0f;
            for (int64_t b = 0; b < n / 256; ++b) {
                const float dd = a[b].d * tevo_fp16_to_fp32(wb[b].d);
                const float dm = a[b].d * tevo_fp16_to_fp32(wb[b].dmin);
                int32_t     sumi_block = 0, summ_block = 0;
                for (int p = 0; p < 4; ++p) {
                    int32_t sumi = 0, summ = 0;
                    for (int g = 2 * p; g < 2 * p + 2; ++g) {
                        int s, m;
                        scale_min(wb[b], g, &s, &m);
                        int32_t dot = 0;
                        for (int t = 0; t < 32; ++t) {
                            const uint8_t byte = wb[b].qs[32 * p + t];
                            dot += (g % 2 ? byte >> 4 : byte & 0x0f) * a[b].qs[32 * g + t];
                        }
                        sumi += s * dot;
                        summ += m * (a[b].bsums[2 * g] + a[b].bsums[2 * g + 1]);
                    }
                    acc_part  = std::fma(dd, (float) sumi, acc_part);
                    macc_part = std::fma(dm, (float) summ, macc_part);
                    sumi_block += sumi;
                    summ_block += summ;
                }
                acc_block  = std::fma(dd, (float) sumi_block, acc_block);
                macc_block = std::fma(dm, (float) summ_block, macc_block);
            }
            EXPECT_EQ(gemm[r * nc + c], acc_part - macc_part) << "GEMM row " << r << " column " << c;
            EXPECT_EQ(gemv[c], acc_block - macc_block) << "GEMV row " << r << " column " << c;
        }
    }
}

// Only whole groups are computed: columns past the last whole group of
// NB_COLS, GEMM rows past the last whole 4, and nothing at all below one
// group; a row shorter than one block gives zeros.
TEST(RepackKernels, OnlyWholeGroupsAreWrittenAndShortRowsGiveZeros) {
    for (const rt::layout & l : rt::layouts()) {
        SCOPED_TRACE(l.name);
        const int64_t              n     = weight_qk(l.type);
        const int64_t              nrow  = 2 * l.nb_cols;
        const std::vector<uint8_t> plain = rt::random_weights(l.type, n, nrow, 5);
        rt::repacked               w(l, n, nrow, plain);
        ASSERT_EQ(w.status, 0);

        std::mt19937               rng(2);
        const std::vector<float>   x = qt::uniform_row(8 * n, rng);
        std::vector<uint8_t>       records(8 * tevo_row_size(l.param, n));
        l.quantize_4rows(x.data(), records.data(), n);
        l.quantize_4rows(x.data() + 4 * n, records.data() + 4 * tevo_row_size(l.param, n), n);
        const std::vector<uint8_t> arow = qt::quantize_cpu(l.param, std::vector<float>(x.begin(), x.begin() + n));

        const int nc = l.nb_cols + l.nb_cols / 2; // one whole group and a half
        const int bs = 2 * l.nb_cols;
        std::vector<float> s((size_t) 8 * bs, 99.0f);
        l.gemm((int) n, s.data(), bs, w.t->data, records.data(), 6, nc); // 6 rows: one run of 4
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < bs; ++c) {
                const bool written = r < 4 && c < l.nb_cols;
                EXPECT_EQ(s[r * bs + c] != 99.0f, written) << "GEMM row " << r << " column " << c;
            }
        }
        std::fill(s.begin(), s.end(), 99.0f);
        l.gemm((int) n, s.data(), bs, w.t->data, records.data(), 3, nc);
        l.gemm((int) n, s.data(), bs, w.t->data, records.data(), 4, l.nb_cols - 1);
        l.gemv((int) n, s.data(), 0, w.t->data, arow.data(), 1, l.nb_cols - 1);
        for (float f : s) {
            EXPECT_EQ(f, 99.0f) << "a call below one group wrote";
        }
        l.gemv((int) n, s.data(), 0, w.t->data, arow.data(), 1, nc);
        for (int c = 0; c < bs; ++c) {
            EXPECT_EQ(s[c] != 99.0f, c < l.nb_cols) << "GEMV column " << c;
        }

        // n below one weight block: the whole groups read nothing and are 0
        const int short_n = l.param == TEVO_TYPE_Q8_0 ? 16 : 128;
        std::fill(s.begin(), s.end(), 99.0f);
        l.gemv(short_n, s.data(), 0, w.t->data, arow.data(), 1, l.nb_cols);
        l.gemm(short_n, s.data() + bs, bs, w.t->data, records.data(), 4, l.nb_cols);
        for (int c = 0; c < l.nb_cols; ++c) {
            EXPECT_EQ(s[c], 0.0f);
            for (int r = 1; r < 5; ++r) {
                EXPECT_EQ(s[r * bs + c], 0.0f);
            }
        }
    }
}

// Hand-made records with known products.
TEST(RepackKernels, KnownProducts) {
    // q4_0: every nibble 15 (value 7), d = 1, against 32 activation ones: 224 per block
    {
        std::vector<block_q4_0> blocks(8);
        for (block_q4_0 & b : blocks) {
            b.d = tevo_fp32_to_fp16(1.0f);
            memset(b.qs, 0xff, sizeof(b.qs));
        }
        const rt::layout &   l = rt::find("q4_0_8x8");
        std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 8));
        rt::repacked         w(l, 32, 8, plain);
        block_q8_0           a;
        a.d = tevo_fp32_to_fp16(1.0f);
        memset(a.qs, 1, sizeof(a.qs));
        float s[8];
        for (auto gemv : { tevo_gemv_q4_0_8x8_q8_0, tevo_gemv_q4_0_8x8_q8_0_generic }) {
            gemv(32, s, 0, w.t->data, &a, 1, 8);
            for (float v : s) {
                EXPECT_EQ(v, 224.0f);
            }
        }
    }
    // mxfp4: exponent 128 (scale 1 after the doubled table), every code 2 (doubled value 2): 64 per block
    {
        std::vector<block_mxfp4> blocks(8);
        for (block_mxfp4 & b : blocks) {
            b.e = 128;
            memset(b.qs, 0x22, sizeof(b.qs));
        }
        const rt::layout &   l = rt::find("mxfp4_8x8");
        std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 8));
        rt::repacked         w(l, 32, 8, plain);
        block_q8_0           a;
        a.d = tevo_fp32_to_fp16(1.0f);
        memset(a.qs, 1, sizeof(a.qs));
        float s[8];
        for (auto gemv : { tevo_gemv_mxfp4_8x8_q8_0, tevo_gemv_mxfp4_8x8_q8_0_generic }) {
            gemv(32, s, 0, w.t->data, &a, 1, 8);
            for (float v : s) {
                EXPECT_EQ(v, 64.0f);
            }
        }
    }
    // iq4_nl: every nibble 0 (level -127), d = 1, against 32 activation codes -127: each
    // pair of products (2 * 127 * 127 = 32258) fills a 16-bit lane without saturating
    {
        std::vector<block_iq4_nl> blocks(8);
        for (block_iq4_nl & b : blocks) {
            b.d = tevo_fp32_to_fp16(1.0f);
            memset(b.qs, 0x00, sizeof(b.qs));
        }
        std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 8));
        block_q8_0           a;
        a.d = tevo_fp32_to_fp16(1.0f);
        memset(a.qs, -127, sizeof(a.qs));
        block_q8_0x4 a4;
        for (int m = 0; m < 4; ++m) {
            a4.d[m] = a.d;
        }
        memset(a4.qs, -127, sizeof(a4.qs));
        const float want = 32.0f * 127 * 127;
        for (const char * name : { "iq4_nl_8x8", "iq4_nl_8x8_generic", "iq4_nl_4x4" }) {
            SCOPED_TRACE(name);
            const rt::layout & l = rt::find(name);
            rt::repacked       w(l, 32, 8, plain);
            float              s[4 * 8];
            l.gemv(32, s, 0, w.t->data, &a, 1, 8);
            for (int c = 0; c < 8; ++c) {
                EXPECT_EQ(s[c], want);
            }
            l.gemm(32, s, 8, w.t->data, &a4, 4, 8);
            for (float v : s) {
                EXPECT_EQ(v, want);
            }
        }
        // low nibble 0 (-127) and high nibble 15 (113) against codes 1: 16 * (113 - 127) per block
        for (block_iq4_nl & b : blocks) {
            memset(b.qs, 0xF0, sizeof(b.qs));
        }
        std::vector<uint8_t> mixed((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 8));
        memset(a.qs, 1, sizeof(a.qs));
        for (const char * name : { "iq4_nl_8x8", "iq4_nl_8x8_generic", "iq4_nl_4x4" }) {
            SCOPED_TRACE(name);
            const rt::layout & l = rt::find(name);
            rt::repacked       w(l, 32, 8, mixed);
            float              s[8];
            l.gemv(32, s, 0, w.t->data, &a, 1, 8);
            for (float v : s) {
                EXPECT_EQ(v, 16.0f * (113 - 127));
            }
        }
    }
    // q1_0: every sign bit clear, d = 0.5, against four blocks of 32 twos: -128
    {
        std::vector<block_q1_0> blocks(4);
        for (block_q1_0 & b : blocks) {
            b.d = tevo_fp32_to_fp16(0.5f);
            memset(b.qs, 0, sizeof(b.qs));
        }
        const rt::layout &   l = rt::find("q1_0_4x4");
        std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 4));
        rt::repacked         w(l, 128, 4, plain);
        block_q8_0           a[4];
        for (block_q8_0 & b : a) {
            b.d = tevo_fp32_to_fp16(1.0f);
            memset(b.qs, 2, sizeof(b.qs));
        }
        float s[4];
        tevo_gemv_q1_0_4x4_q8_0(128, s, 0, w.t->data, a, 1, 4);
        for (float v : s) {
            EXPECT_EQ(v, -128.0f);
        }
    }
    // iq4_nl-sized products in 16 bits: q4_K nibbles 15 against 127 everywhere stay exact
    {
        std::vector<block_q4_K> blocks(8);
        for (block_q4_K & b : blocks) {
            b.d    = tevo_fp32_to_fp16(1.0f);
            b.dmin = tevo_fp32_to_fp16(0.0f);
            memset(b.scales, 0, sizeof(b.scales));
            for (int i = 0; i < 4; ++i) {
                b.scales[i] = 1; // sub-blocks 0..3: scale 1; 4..7: scale 0
            }
            memset(b.qs, 0xff, sizeof(b.qs));
        }
        std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 8));
        const rt::layout &   l = rt::find("q4_K_8x8");
        rt::repacked w(l, 256, 8, plain);
        block_q8_K   a = {};
        a.d            = 1.0f;
        memset(a.qs, 127, sizeof(a.qs));
        for (int h = 0; h < 16; ++h) {
            a.bsums[h] = 16 * 127;
        }
        float s[8];
        for (auto gemv : { tevo_gemv_q4_K_8x8_q8_K, tevo_gemv_q4_K_8x8_q8_K_generic }) {
            gemv(256, s, 0, w.t->data, &a, 1, 8);
            for (float v : s) {
                EXPECT_EQ(v, 4.0f * 32 * 15 * 127);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// activation quantizers

// The x86 q8_0 4-row quantizer gives each row the bytes and scale of the x86
// row quantizer, so GEMM rows and GEMV rows agree; the portable ones follow
// the reference quantizer (ties away from zero).
TEST(RepackQuantizers, Q8_0RecordsHoldTheRowsOfTheRowQuantizers) {
    std::mt19937       rng(4);
    const int64_t      k = 96;
    std::vector<float> x = qt::uniform_row(4 * k, rng, -3.0f, 3.0f);
    // ties: row 1's block 0 has amax 127 (id exactly 1), so 2.5 and -2.5 are ties
    x[k + 0] = 127.0f;
    x[k + 1] = 2.5f;
    x[k + 2] = -2.5f;
    x[k + 3] = 0.5f;
    x[2 * k + 40] = INFINITY; // row 2's block 1 is not finite
    x[3 * k + 64] = NAN;

    struct q { const char * name; tevo_repack_quantize_t fn; int W; bool x86; };
    for (const q & c : { q{ "4x8", tevo_quantize_mat_q8_0_4x8, 8, true }, q{ "4x8_generic", tevo_quantize_mat_q8_0_4x8_generic, 8, false },
                         q{ "4x4", tevo_quantize_mat_q8_0_4x4, 4, false } }) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> rec(4 * tevo_row_size(TEVO_TYPE_Q8_0, k));
        c.fn(x.data(), rec.data(), k);
        for (int r = 0; r < 4; ++r) {
            const std::vector<float>   row(x.begin() + r * k, x.begin() + (r + 1) * k);
            const std::vector<uint8_t> want = c.x86 ? qt::quantize_cpu(TEVO_TYPE_Q8_0, row) : qt::quantize_ref(TEVO_TYPE_Q8_0, row);
            EXPECT_EQ(rt::plain_row_of_records(TEVO_TYPE_Q8_0, rec, k, c.W, r), want) << "row " << r;
        }
        const block_q8_0x4 * b = (const block_q8_0x4 *) rec.data();
        // value i of row 1 lies at (i / W) 4 W + W + i % W
        auto at = [&](int i) { return b[0].qs[(i / c.W) * 4 * c.W + c.W + i % c.W]; };
        EXPECT_EQ(at(0), 127);
        EXPECT_EQ(at(1), c.x86 ? 2 : 3);
        EXPECT_EQ(at(2), c.x86 ? -2 : -3);
        EXPECT_EQ(at(3), c.x86 ? 0 : 1);
        EXPECT_EQ(b[1].d[2], 0x7c00);
    }
    // zeros: scale 0 and zero bytes; a row length past whole blocks leaves the tail unread
    std::vector<float>   zeros(4 * 40, 0.0f);
    std::vector<uint8_t> rec(sizeof(block_q8_0x4) + 8, 0xA5);
    tevo_quantize_mat_q8_0_4x8(zeros.data(), rec.data(), 40);
    tevo_quantize_mat_q8_0_4x4(zeros.data(), rec.data(), 40);
    for (size_t i = 0; i < sizeof(block_q8_0x4); ++i) {
        EXPECT_EQ(rec[i], 0) << i;
    }
    EXPECT_EQ(rec[sizeof(block_q8_0x4)], 0xA5);
}

// The q8_K records hold each row as the row quantizer gives it; the x86 form
// may give a row the opposite sign (bytes, sums and scale together) when its
// largest magnitude occurs negative first and positive later.
TEST(RepackQuantizers, Q8_KRecordsHoldTheRowsOfTheRowQuantizer) {
    std::mt19937       rng(6);
    const int64_t      k = 512;
    std::vector<float> x = qt::uniform_row(4 * k, rng, -2.0f, 2.0f);
    x[0]                 = -3.0f; // row 0, block 0: -3 before +3
    x[100]               = 3.0f;
    x[k + 300]           = 127.0f; // row 1, block 1: 63.5 -> -64, 0.5 -> 0 (ties to even)
    x[k + 301]           = 63.5f;
    x[k + 302]           = 0.5f;
    std::fill(x.begin() + 2 * k, x.begin() + 2 * k + 256, 0.0f); // row 2, block 0 all zero
    x[3 * k + 400]       = NAN;

    struct q { const char * name; tevo_repack_quantize_t fn; int W; };
    for (const q & c : { q{ "4x8", tevo_quantize_mat_q8_K_4x8, 8 }, q{ "4x8_generic", tevo_quantize_mat_q8_K_4x8_generic, 8 },
                         q{ "4x4", tevo_quantize_mat_q8_K_4x4, 4 } }) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> rec(4 * tevo_row_size(TEVO_TYPE_Q8_K, k));
        c.fn(x.data(), rec.data(), k);
        for (int r = 0; r < 4; ++r) {
            const std::vector<float>   row(x.begin() + r * k, x.begin() + (r + 1) * k);
            const std::vector<uint8_t> want = qt::quantize_cpu(TEVO_TYPE_Q8_K, row);
            const std::vector<uint8_t> got  = rt::plain_row_of_records(TEVO_TYPE_Q8_K, rec, k, c.W, r);
            for (int64_t b = 0; b < k / 256; ++b) {
                const block_q8_K & g = ((const block_q8_K *) got.data())[b];
                const block_q8_K & w = ((const block_q8_K *) want.data())[b];
                const bool flipped = std::string(c.name) == "4x8" && r == 0 && b == 0;
                const int  sign    = flipped ? -1 : 1;
                EXPECT_TRUE(g.d == sign * w.d || (std::isinf(g.d) && std::isinf(w.d))) << r << " " << b;
                for (int e = 0; e < 256; ++e) {
                    ASSERT_EQ(g.qs[e], sign * w.qs[e]) << "row " << r << " block " << b << " value " << e;
                }
                for (int h = 0; h < 16; ++h) {
                    ASSERT_EQ(g.bsums[h], sign * w.bsums[h]) << "row " << r << " block " << b << " sum " << h;
                }
            }
        }
        const block_q8_Kx4 * b = (const block_q8_Kx4 *) rec.data();
        EXPECT_EQ(b[1].d[1], -1.0f);
        EXPECT_EQ(b[0].d[2], 0.0f);
        EXPECT_TRUE(std::isinf(b[1].d[3]));
    }
    std::vector<uint8_t> rec(sizeof(block_q8_Kx4), 0xA5);
    tevo_quantize_mat_q8_K_4x8(x.data(), rec.data(), 255);
    tevo_quantize_mat_q8_K_4x4(x.data(), rec.data(), 255);
    for (uint8_t v : rec) {
        EXPECT_EQ(v, 0xA5) << "a row shorter than one block wrote";
    }
}

// ---------------------------------------------------------------------------
// record bytes

tevo::cpu::repack::tensor_traits_base * traits(tevo_type type, int inter, int nb_cols) {
    return tevo::cpu::repack::get_traits(type, inter, nb_cols);
}

TEST(RepackLayouts, Q4_0RecordsStoreNibblesAsSignedValuesWovenByTheInterleave) {
    // byte j of row r: (r * 16 + j) with the low nibble of row 0 byte 0 set to 0x0F
    const int64_t           nrow = 8;
    std::vector<block_q4_0> blocks(nrow);
    for (int r = 0; r < nrow; ++r) {
        blocks[r].d = (tevo_fp16_t) (0x3c00 + r);
        for (int j = 0; j < 16; ++j) {
            blocks[r].qs[j] = (uint8_t) (r * 16 + j);
        }
    }
    blocks[0].qs[0] = 0x0F;
    blocks[1].qs[0] = 0x80; // nibbles 0 and 8: stored 8 and 0
    std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + nrow));

    struct c { int W, R; };
    for (const c & k : { c{ 4, 4 }, c{ 8, 4 }, c{ 8, 8 } }) {
        SCOPED_TRACE("W " + std::to_string(k.W) + " R " + std::to_string(k.R));
        rt::layout   l = { "", TEVO_TYPE_Q4_0, k.W, k.R, TEVO_TYPE_Q8_0, nullptr, nullptr, nullptr, false };
        rt::repacked w(l, 32, nrow, plain);
        ASSERT_EQ(w.status, 0);
        const uint8_t * rec  = (const uint8_t *) w.t->data;
        const size_t    size = 2 * k.R + 16 * k.R;
        for (int g = 0; g < nrow / k.R; ++g) {
            const uint8_t * r0 = rec + g * size;
            for (int r = 0; r < k.R; ++r) {
                tevo_fp16_t d;
                memcpy(&d, r0 + 2 * r, 2);
                EXPECT_EQ(d, blocks[g * k.R + r].d);
            }
            for (int N = 0; N < 16 * k.R; ++N) {
                const int row = g * k.R + (N / k.W) % k.R;
                const int j   = (N / (k.R * k.W)) * k.W + N % k.W;
                EXPECT_EQ(r0[2 * k.R + N], blocks[row].qs[j] ^ 0x88) << "byte " << N;
            }
        }
        EXPECT_EQ(rec[2 * k.R], 0x87);
        EXPECT_EQ(rec[2 * k.R + k.W], 0x08);
    }

    // 12 rows: no 8-row layout, nothing written; the 4-row layout takes 3 groups
    std::vector<uint8_t> twelve = rt::random_weights(TEVO_TYPE_Q4_0, 64, 12, 1);
    rt::layout           l88    = { "", TEVO_TYPE_Q4_0, 8, 8, TEVO_TYPE_Q8_0, nullptr, nullptr, nullptr, false };
    tevo_init_params     p      = { 1 << 16, nullptr, false };
    tevo_context *       ctx    = tevo_init(p);
    tevo_tensor *        t      = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 64, 12);
    memset(t->data, 0x5a, tevo_nbytes(t));
    EXPECT_EQ(traits(TEVO_TYPE_Q4_0, 8, 8)->repack(t, twelve.data(), twelve.size()), -1);
    for (size_t i = 0; i < tevo_nbytes(t); ++i) {
        ASSERT_EQ(((uint8_t *) t->data)[i], 0x5a);
    }
    EXPECT_EQ(traits(TEVO_TYPE_Q4_0, 4, 4)->repack(t, twelve.data(), twelve.size()), 0);
    // no rows: nothing to write
    tevo_tensor * empty = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 64, 0);
    EXPECT_EQ(traits(TEVO_TYPE_Q4_0, 4, 4)->repack(empty, nullptr, 0), 0);
    (void) l88;
    tevo_free(ctx);
}

// iq4_nl nibbles are level indices: woven by the interleave, never transformed.
TEST(RepackLayouts, IQ4_NLRecordsKeepTheNibblesWovenByTheInterleave) {
    const int64_t             nrow = 16, n = 64;
    std::vector<block_iq4_nl> blocks(nrow * 2);
    for (size_t i = 0; i < blocks.size(); ++i) {
        blocks[i].d = (tevo_fp16_t) (0x3c00 + i);
        for (int j = 0; j < 16; ++j) {
            blocks[i].qs[j] = (uint8_t) (i * 16 + j);
        }
    }
    std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + blocks.size()));

    for (const char * name : { "iq4_nl_4x4", "iq4_nl_8x8" }) {
        SCOPED_TRACE(name);
        const rt::layout & l = rt::find(name);
        const int          R = l.nb_cols, W = l.inter;
        rt::repacked       w(l, n, nrow, plain);
        ASSERT_EQ(w.status, 0);
        const uint8_t * rec  = (const uint8_t *) w.t->data;
        const size_t    size = 2 * R + 16 * R;
        EXPECT_EQ(size, R == 4 ? sizeof(block_iq4_nlx4) : sizeof(block_iq4_nlx8));
        // group g, block b: record g * 2 + b holds block b of rows g R .. g R + R - 1
        for (int g = 0; g < nrow / R; ++g) {
            for (int b = 0; b < 2; ++b) {
                const uint8_t * r0 = rec + (g * 2 + b) * size;
                for (int r = 0; r < R; ++r) {
                    tevo_fp16_t d;
                    memcpy(&d, r0 + 2 * r, 2);
                    EXPECT_EQ(d, blocks[(g * R + r) * 2 + b].d);
                }
                for (int N = 0; N < 16 * R; ++N) {
                    const int row = g * R + (N / W) % R;
                    const int j   = (N / (R * W)) * W + N % W;
                    ASSERT_EQ(r0[2 * R + N], blocks[row * 2 + b].qs[j]) << "group " << g << " block " << b
                                                                        << " byte " << N;
                }
            }
        }
    }

    // 12 rows: no 8-row layout and nothing written; the 4-row layout takes 3 groups
    const std::vector<uint8_t> twelve = rt::random_weights(TEVO_TYPE_IQ4_NL, n, 12, 1);
    tevo_init_params           p      = { 1 << 16, nullptr, false };
    tevo_context *             ctx    = tevo_init(p);
    tevo_tensor *              t      = tevo_new_tensor_2d(ctx, TEVO_TYPE_IQ4_NL, n, 12);
    memset(t->data, 0x5a, tevo_nbytes(t));
    EXPECT_EQ(traits(TEVO_TYPE_IQ4_NL, 8, 8)->repack(t, twelve.data(), twelve.size()), -1);
    for (size_t i = 0; i < tevo_nbytes(t); ++i) {
        ASSERT_EQ(((uint8_t *) t->data)[i], 0x5a);
    }
    EXPECT_EQ(traits(TEVO_TYPE_IQ4_NL, 4, 4)->repack(t, twelve.data(), twelve.size()), 0);
    const block_iq4_nlx4 * r3 = (const block_iq4_nlx4 *) t->data + 2 * 2; // group 2, block 0
    EXPECT_EQ(r3->d[1], ((const block_iq4_nl *) twelve.data())[9 * 2].d);
    tevo_free(ctx);
}

TEST(RepackLayoutsDeathTest, IQ4_NLRepackingRefusesAnotherTypeOrSize) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    tevo_init_params     p    = { 1 << 16, nullptr, false };
    tevo_context *       ctx  = tevo_init(p);
    tevo_tensor *        q4   = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 64, 8);
    tevo_tensor *        iq4  = tevo_new_tensor_2d(ctx, TEVO_TYPE_IQ4_NL, 64, 8);
    std::vector<uint8_t> data = rt::random_weights(TEVO_TYPE_IQ4_NL, 64, 8, 1);
    EXPECT_DEATH(traits(TEVO_TYPE_IQ4_NL, 8, 8)->repack(q4, data.data(), data.size()), "t->type == TEVO_TYPE_IQ4_NL");
    EXPECT_DEATH(traits(TEVO_TYPE_IQ4_NL, 4, 4)->repack(iq4, data.data(), data.size() - 18),
                 "data_size == nrow \\* nblocks \\* sizeof\\(block_iq4_nl\\)");
    tevo_free(ctx);
}

TEST(RepackLayouts, Q1_0BitsAreWovenByTheInterleave) {
    std::vector<block_q1_0> blocks(4);
    memset(blocks.data(), 0, blocks.size() * sizeof(block_q1_0));
    blocks[0].qs[0] = 0xA5;
    std::vector<uint8_t> plain((uint8_t *) blocks.data(), (uint8_t *) (blocks.data() + 4));
    const uint8_t        want4[4] = { 0x05, 0x00, 0x0A, 0x00 };
    const uint8_t        want8[4] = { 0xA5, 0x00, 0x00, 0x00 };
    for (int W : { 4, 8 }) {
        rt::layout   l = { "", TEVO_TYPE_Q1_0, W, 4, TEVO_TYPE_Q8_0, nullptr, nullptr, nullptr, false };
        rt::repacked w(l, 128, 4, plain);
        ASSERT_EQ(w.status, 0);
        const block_q1_0x4 * rec = (const block_q1_0x4 *) w.t->data;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(rec->qs[i], W == 4 ? want4[i] : want8[i]) << "W " << W << " byte " << i;
        }
    }
}

TEST(RepackLayouts, KQuantRecordsKeepEveryValueInPlace) {
    // q4_K, 16 rows of 2 blocks: records (rows 0-7, block 0), (rows 0-7, block 1), (rows 8-15, ...)
    const int64_t              n     = 512;
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_K, n, 16, 9);
    const block_q4_K *         src   = (const block_q4_K *) plain.data();
    for (int W : { 4, 8 }) {
        SCOPED_TRACE("W " + std::to_string(W));
        rt::layout   l = { "", TEVO_TYPE_Q4_K, W, 8, TEVO_TYPE_Q8_K, nullptr, nullptr, nullptr, false };
        rt::repacked w(l, n, 16, plain);
        ASSERT_EQ(w.status, 0);
        const block_q4_Kx8 * rec = (const block_q4_Kx8 *) w.t->data;
        for (int g = 0; g < 2; ++g) {
            for (int b = 0; b < 2; ++b) {
                const block_q4_Kx8 & R = rec[2 * g + b];
                for (int j = 0; j < 8; ++j) {
                    const block_q4_K & B = src[(8 * g + j) * 2 + b];
                    EXPECT_EQ(R.d[j], B.d);
                    EXPECT_EQ(R.dmin[j], B.dmin);
                    for (int t = 0; t < 128; ++t) {
                        ASSERT_EQ(R.qs[(8 * (t / W) + j) * W + t % W], B.qs[t]);
                    }
                }
            }
        }
        // chunk 1 is the first W bytes of row 1; chunk 8 row 0's second W bytes
        EXPECT_EQ(memcmp(rec[0].qs + W, src[2].qs, W), 0);
        EXPECT_EQ(memcmp(rec[0].qs + 8 * W, src[0].qs + W, W), 0);
    }

    // each element of a q6_K and q2_K record decodes to the plain block's value:
    // checked through a single-column product against unit activations
    for (tevo_type type : { TEVO_TYPE_Q6_K, TEVO_TYPE_Q2_K, TEVO_TYPE_Q5_K }) {
        for (const rt::layout & l : rt::layouts()) {
            if (l.type != type) {
                continue;
            }
            SCOPED_TRACE(l.name);
            const std::vector<uint8_t> w8 = rt::random_weights(type, 256, 8, 12);
            rt::repacked               w(l, 256, 8, w8);
            ASSERT_EQ(w.status, 0);
            const std::vector<float> plain_values = qt::dequantize(type, w8, 256 * 8);
            for (int e = 0; e < 256; e += 37) {
                // the activation row that picks value e: code 1 at e, d = 1
                block_q8_K a = {};
                a.d          = 1.0f;
                a.qs[e]      = 1;
                a.bsums[e / 16] = 1;
                float s[8];
                l.gemv(256, s, 0, w.t->data, &a, 1, 8);
                for (int j = 0; j < 8; ++j) {
                    // the kernel and the dequantizer round the scale products apart
                    EXPECT_NEAR(s[j], plain_values[j * 256 + e], 4e-6) << "value " << e << " row " << j;
                }
            }
        }
    }

    // a row count that is not a multiple of 8: -1 and nothing written
    for (tevo_type type : { TEVO_TYPE_Q4_K, TEVO_TYPE_Q5_K, TEVO_TYPE_Q6_K, TEVO_TYPE_Q2_K }) {
        const std::vector<uint8_t> w12 = rt::random_weights(type, 256, 12, 1);
        tevo_init_params           p   = { 1 << 16, nullptr, false };
        tevo_context *             ctx = tevo_init(p);
        tevo_tensor *              t   = tevo_new_tensor_2d(ctx, type, 256, 12);
        memset(t->data, 0x33, tevo_nbytes(t));
        EXPECT_EQ(traits(type, 8, 8)->repack(t, w12.data(), w12.size()), -1) << tevo_type_name(type);
        for (size_t i = 0; i < tevo_nbytes(t); ++i) {
            ASSERT_EQ(((uint8_t *) t->data)[i], 0x33);
        }
        tevo_free(ctx);
    }
}

} // namespace
