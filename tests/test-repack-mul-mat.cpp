// The "CPU_REPACK" buffer type and the products over its weights: the
// buffer type's record, the layout each weight gets, what the CPU device
// accepts, the work sizes and chunk plans, and MUL_MAT and MUL_MAT_ID over
// every layout (weights in a CPU_REPACK buffer against the same weights in a
// plain CPU buffer, computed by the engine's ordinary kernels) for 1 and 4
// threads. Also the faults the buffer type and drivers refuse or mend:
// strided activations, a token naming one expert twice, weights without
// rows, reading repacked weights back.

#include "repack-test-helpers.h"

#include "cpu/impl.h"
#include "tevo-alloc.h"
#include "tevo-backend.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct quiet_log {
    std::vector<std::string> lines;
    static void cb(enum tevo_log_level level, const char * text, void * user) {
        if (level == TEVO_LOG_LEVEL_DEBUG) {
            ((quiet_log *) user)->lines.push_back(text);
        }
    }
    quiet_log() {
        tevo_cpu_init();
        tevo_log_set(cb, this);
    }
} logs;

tevo_backend_buffer_type_t repack_buft() {
    return tevo_backend_cpu_repack_buffer_type();
}

tevo_backend_dev_t cpu_dev() {
    return tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0);
}

// A weight of the type and shape in a buffer of buft, uploaded from plain
// rows; `layout` (when given) replaces the layout the buffer type chose, so
// that layouts this processor never gets run too.
struct weight {
    tevo_context *        ctx    = nullptr;
    tevo_backend_buffer_t buffer = nullptr;
    tevo_tensor *         t      = nullptr;

    weight(tevo_backend_buffer_type_t buft, tevo_type type, int64_t ne0, int64_t ne1, int64_t ne2,
           const std::vector<uint8_t> & plain, const rt::layout * layout = nullptr) {
        tevo_init_params p = { tevo_tensor_overhead() * 2, nullptr, true };
        ctx                = tevo_init(p);
        t                  = tevo_new_tensor_3d(ctx, type, ne0, ne1, ne2);
        tevo_set_name(t, "w0");
        buffer = tevo_backend_alloc_ctx_tensors_from_buft(ctx, buft);
        if (layout != nullptr) {
            t->extra = (void *) static_cast<tevo::cpu::tensor_traits *>(
                tevo::cpu::repack::get_traits(layout->type, layout->inter, layout->nb_cols));
        }
        tevo_backend_tensor_set(t, plain.data(), 0, plain.size());
    }
    ~weight() {
        tevo_backend_buffer_free(buffer);
        tevo_free(ctx);
    }
    weight(const weight &)             = delete;
    weight & operator=(const weight &) = delete;
};

struct graph_ctx {
    tevo_context * ctx;
    graph_ctx() {
        tevo_init_params p = { 64u << 20, nullptr, false };
        ctx                = tevo_init(p);
    }
    ~graph_ctx() { tevo_free(ctx); }
};

void fill(tevo_tensor * t, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
        for (int64_t i1 = 0; i1 < t->ne[1]; ++i1)
            for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) {
                *(float *) ((char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2]) = dist(rng);
            }
}

std::vector<float> compute(tevo_context * ctx, tevo_tensor * out, int n_threads) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    std::fill((float *) out->data, (float *) out->data + tevo_nelements(out), NAN);
    EXPECT_EQ(tevo_graph_compute_with_ctx(ctx, gf, n_threads), TEVO_STATUS_SUCCESS);
    return std::vector<float>((float *) out->data, (float *) out->data + tevo_nelements(out));
}

// sum over i of |w[row][i] x[i]| for every output: the scale of its rounding
// error; w dequantized from the plain rows
double magnitude(const std::vector<float> & w, int64_t row, const float * x, int64_t n) {
    double m = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        m += std::fabs((double) w[(size_t) (row * n + i)] * (double) x[i]);
    }
    return m;
}

// a few ulp of the magnitude, and room for an activation code that the
// portable 4-row quantizer rounds one step apart from the x86 row quantizer
double tolerance(double mag, double one_code) {
    return 16.0 * FLT_EPSILON * mag + one_code;
}

// ---------------------------------------------------------------------------
// MUL_MAT over every layout

struct MulMatShape {
    int64_t ne11, ne12;
};

TEST(RepackMulMat, EveryLayoutMatchesThePlainWeights) {
    const MulMatShape shapes[] = { { 1, 1 }, { 6, 1 }, { 13, 2 }, { 4, 3 } };
    for (const rt::layout & l : rt::traits_layouts()) {
        const int64_t qk = tevo_blck_size(l.type);
        // Weight rows a multiple of 8 and (for the 4-row layouts) not; the
        // larger counts give 4 threads chunks whose boundaries need rounding
        // up to whole groups (136 rows: chunks of 9 rows).
        const std::vector<int64_t> row_counts =
            l.nb_cols == 8 ? std::vector<int64_t>{ 24, 136 } : std::vector<int64_t>{ 12, 40, 68 };
        for (int64_t ne01 : row_counts) {
            const int64_t ne00 = 3 * qk;
            SCOPED_TRACE(std::string(l.name) + " rows " + std::to_string(ne01));
            const std::vector<uint8_t> plain = rt::random_weights(l.type, ne00, ne01, (uint32_t) ne01);
            const std::vector<float>   wf    = qt::dequantize(l.type, plain, ne00 * ne01);
            // the portable q8_0 4-row quantizer rounds halves away from zero with the
            // inverse scale 1 / d: a code may sit one step from the row quantizer's
            const double code_step = l.param == TEVO_TYPE_Q8_0 && l.inter == 4 ? 1.0 : 0.0;
            weight                     rw(repack_buft(), l.type, ne00, ne01, 1, plain, &l);
            weight                     pw(tevo_backend_cpu_buffer_type(), l.type, ne00, ne01, 1, plain);
            ASSERT_EQ(tevo_backend_buffer_get_type(rw.buffer), repack_buft());

            for (const MulMatShape & sh : shapes) {
                SCOPED_TRACE("src1 rows " + std::to_string(sh.ne11) + " planes " + std::to_string(sh.ne12));
                graph_ctx     g;
                tevo_tensor * x = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, ne00, sh.ne11, sh.ne12);
                fill(x, 3);
                tevo_tensor * yr = tevo_mul_mat(g.ctx, rw.t, x);
                tevo_tensor * yp = tevo_mul_mat(g.ctx, pw.t, x);
                const std::vector<float> want = compute(g.ctx, yp, 1);
                std::vector<float>       first;
                for (int nt : { 1, 4 }) {
                    const std::vector<float> got = compute(g.ctx, yr, nt);
                    if (first.empty()) {
                        first = got;
                    } else {
                        EXPECT_EQ(memcmp(first.data(), got.data(), got.size() * sizeof(float)), 0)
                            << "threads " << nt << " differ from 1";
                    }
                    for (int64_t p = 0; p < sh.ne12; ++p) {
                        for (int64_t r = 0; r < sh.ne11; ++r) {
                            const float * xr = (const float *) x->data + (p * sh.ne11 + r) * ne00;
                            float         amax = 0.0f;
                            for (int64_t i = 0; i < ne00; ++i) {
                                amax = std::max(amax, std::fabs(xr[i]));
                            }
                            for (int64_t c = 0; c < ne01; ++c) {
                                double wmax = 0.0;
                                for (int64_t i = 0; i < ne00; ++i) {
                                    wmax = std::max(wmax, std::fabs((double) wf[(size_t) (c * ne00 + i)]));
                                }
                                const size_t o = (size_t) ((p * sh.ne11 + r) * ne01 + c);
                                ASSERT_NEAR(got[o], want[o],
                                            tolerance(magnitude(wf, c, xr, ne00), code_step * wmax * amax / 127.0))
                                    << "threads " << nt << " plane " << p << " row " << r << " column " << c;
                            }
                        }
                    }
                }
            }
        }
    }
}

// Weights in a CPU_REPACK buffer take the layout the buffer type chooses (or
// none): for every type this processor repacks, a row count that is a
// multiple of 8 is repacked and one that is not stays plain, and both give
// the results of the same weights in a plain buffer.
TEST(RepackMulMat, TheChosenLayoutOrNoneMatchesThePlainWeights) {
    for (const rt::layout & l : rt::layouts()) {
        if (!l.x86_selects) {
            continue;
        }
        tevo::cpu::repack::tensor_traits_base * chosen = tevo::cpu::repack::get_traits(l.type, l.inter, l.nb_cols);
        const int64_t ne00 = 2 * tevo_blck_size(l.type);
        for (int64_t ne01 : { 32, 20 }) {
            SCOPED_TRACE(std::string(l.name) + " rows " + std::to_string(ne01));
            const std::vector<uint8_t> plain = rt::random_weights(l.type, ne00, ne01, (uint32_t) ne01 + 1);
            const std::vector<float>   wf    = qt::dequantize(l.type, plain, ne00 * ne01);
            weight                     rw(repack_buft(), l.type, ne00, ne01, 1, plain);
            weight                     pw(tevo_backend_cpu_buffer_type(), l.type, ne00, ne01, 1, plain);
            EXPECT_EQ(rw.t->extra,
                      ne01 % 8 == 0 ? (void *) static_cast<tevo::cpu::tensor_traits *>(chosen) : nullptr);

            graph_ctx     g;
            tevo_tensor * x = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_F32, ne00, 7);
            fill(x, 9);
            const std::vector<float> want = compute(g.ctx, tevo_mul_mat(g.ctx, pw.t, x), 1);
            for (int nt : { 1, 4 }) {
                const std::vector<float> got = compute(g.ctx, tevo_mul_mat(g.ctx, rw.t, x), nt);
                ASSERT_EQ(got.size(), want.size());
                for (size_t i = 0; i < want.size(); ++i) {
                    const float * xr = (const float *) x->data + (i / ne01) * ne00;
                    // the x86 quantizers give the 4-row records and the plain rows the same codes
                    ASSERT_NEAR(got[i], want[i], tolerance(magnitude(wf, (int64_t) (i % ne01), xr, ne00), 0))
                        << "threads " << nt << " output " << i;
                }
            }
        }
    }
    // the upload of a repacked iq4_nl weight names its layout
    bool seen = false;
    for (const std::string & line : logs.lines) {
        seen = seen || line == "repack: repack tensor w0 with iq4_nl_8x8\n";
    }
    EXPECT_TRUE(seen);
}

// Activation rows at another stride than their length cannot go through the
// 4-row quantizer (it reads four rows one after another): they are quantized
// one by one and multiplied by the GEMV kernel, with the same results.
TEST(RepackMulMat, StridedActivationsGiveThePlainResults) {
    for (const char * name : { "q4_0_8x8", "q4_K_8x8", "q4_0_4x4" }) {
        const rt::layout & l    = rt::find(name);
        const int64_t      ne00 = 2 * tevo_blck_size(l.type);
        const int64_t      ne01 = 16;
        SCOPED_TRACE(name);
        const std::vector<uint8_t> plain = rt::random_weights(l.type, ne00, ne01, 4);
        weight                     rw(repack_buft(), l.type, ne00, ne01, 1, plain, &l);
        weight                     pw(tevo_backend_cpu_buffer_type(), l.type, ne00, ne01, 1, plain);

        graph_ctx     g;
        tevo_tensor * wide = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, ne00 + 32, 8, 2);
        fill(wide, 8);
        tevo_tensor * x = tevo_view_3d(g.ctx, wide, ne00, 8, 2, wide->nb[1], wide->nb[2], 0);
        // the packed copy of the same rows
        tevo_tensor * packed = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, ne00, 8, 2);
        for (int64_t r = 0; r < 16; ++r) {
            memcpy((char *) packed->data + r * packed->nb[1], (char *) wide->data + r * wide->nb[1], ne00 * 4);
        }
        const std::vector<float> strided_repacked = compute(g.ctx, tevo_mul_mat(g.ctx, rw.t, x), 4);
        const std::vector<float> strided_plain    = compute(g.ctx, tevo_mul_mat(g.ctx, pw.t, x), 4);
        const std::vector<float> packed_plain     = compute(g.ctx, tevo_mul_mat(g.ctx, pw.t, packed), 4);
        const std::vector<float> wf = qt::dequantize(l.type, plain, ne00 * ne01);
        ASSERT_EQ(strided_repacked.size(), packed_plain.size());
        for (size_t i = 0; i < packed_plain.size(); ++i) {
            EXPECT_EQ(strided_plain[i], packed_plain[i]);
            // every row through the GEMV kernel with the row quantizer's codes
            const float * xr = (const float *) packed->data + (i / ne01) * ne00;
            EXPECT_NEAR(strided_repacked[i], packed_plain[i], tolerance(magnitude(wf, (int64_t) (i % ne01), xr, ne00), 0))
                << i;
        }
    }
}

// ---------------------------------------------------------------------------
// MUL_MAT_ID

TEST(RepackMulMatId, ExpertsMatchThePlainWeightsEvenWhenATokenNamesOneTwice) {
    const int64_t n_as = 4, n_ids = 2, n_tokens = 3;
    // token 2 names expert 2 twice
    const int32_t ids_rows[n_tokens][n_ids] = { { 1, 3 }, { 3, 0 }, { 2, 2 } };
    for (const rt::layout & l : rt::traits_layouts()) {
        // rows per expert: two and three groups (12 rows for the 4-row layouts)
        for (int64_t ne01 : { 2 * (int64_t) l.nb_cols, 3 * (int64_t) l.nb_cols }) {
            const int64_t ne00 = 2 * tevo_blck_size(l.type);
            SCOPED_TRACE(std::string(l.name) + " rows " + std::to_string(ne01));
            const std::vector<uint8_t> plain = rt::random_weights(l.type, ne00, ne01 * n_as, 21);
            const std::vector<float>   wf    = qt::dequantize(l.type, plain, ne00 * ne01 * n_as);
            weight                     rw(repack_buft(), l.type, ne00, ne01, n_as, plain, &l);
            weight                     pw(tevo_backend_cpu_buffer_type(), l.type, ne00, ne01, n_as, plain);

            for (int64_t ne11 : { (int64_t) 1, n_ids }) {
                graph_ctx     g;
                tevo_tensor * x   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, ne00, ne11, n_tokens);
                tevo_tensor * ids = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, n_ids, n_tokens);
                fill(x, 5);
                memcpy(ids->data, ids_rows, sizeof(ids_rows));
                tevo_tensor *            yr   = tevo_mul_mat_id(g.ctx, rw.t, x, ids);
                tevo_tensor *            yp   = tevo_mul_mat_id(g.ctx, pw.t, x, ids);
                const std::vector<float> want = compute(g.ctx, yp, 1);
                for (int nt : { 1, 4 }) {
                    // every routed row goes through the GEMV kernel with the row quantizer's codes
                    const std::vector<float> got = compute(g.ctx, yr, nt);
                    ASSERT_EQ(got.size(), (size_t) (ne01 * n_ids * n_tokens));
                    for (int64_t t = 0; t < n_tokens; ++t) {
                        for (int64_t j = 0; j < n_ids; ++j) {
                            const int64_t e  = ids_rows[t][j];
                            const float * xr = (const float *) x->data + (t * ne11 + j % ne11) * ne00;
                            for (int64_t c = 0; c < ne01; ++c) {
                                const size_t o = (size_t) ((t * n_ids + j) * ne01 + c);
                                ASSERT_NEAR(got[o], want[o], tolerance(magnitude(wf, e * ne01 + c, xr, ne00), 0))
                                    << "ne11 " << ne11 << " threads " << nt << " token " << t << " slot " << j;
                            }
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// the buffer type

TEST(RepackBufferType, IsAHostBufferTypeOfItsOwnOfferedByTheCpuDevice) {
    tevo_backend_buffer_type_t buft = repack_buft();
    ASSERT_NE(buft, nullptr);
    EXPECT_EQ(buft, tevo_backend_cpu_repack_buffer_type());
    EXPECT_STREQ(tevo_backend_buft_name(buft), "CPU_REPACK");
    EXPECT_EQ(tevo_backend_buft_get_alignment(buft), 32u);
    EXPECT_EQ(tevo_backend_buft_get_max_size(buft), SIZE_MAX);
    EXPECT_FALSE(tevo_backend_buft_is_host(buft));
    EXPECT_EQ(tevo_backend_buft_get_device(buft), cpu_dev());
    EXPECT_TRUE(tevo_backend_dev_supports_buft(cpu_dev(), buft));

    auto get_extra = (tevo_backend_dev_get_extra_bufts_t) tevo_backend_reg_get_proc_address(
        tevo_backend_cpu_reg(), "tevo_backend_dev_get_extra_bufts");
    ASSERT_NE(get_extra, nullptr);
    tevo_backend_buffer_type_t * list = get_extra(cpu_dev());
    EXPECT_EQ(list[0], buft);
    EXPECT_EQ(list[1], nullptr);

    // a weight's allocation size is its plain byte count
    tevo_init_params p   = { tevo_tensor_overhead() * 4, nullptr, true };
    tevo_context *   ctx = tevo_init(p);
    tevo_tensor *    w   = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 4096, 24);
    EXPECT_EQ(tevo_backend_buft_get_alloc_size(buft, w), tevo_nbytes(w));

    // a buffer is plain host memory relabelled; a size-0 one too
    tevo_backend_buffer_t b = tevo_backend_buft_alloc_buffer(buft, 4096);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_type(b), buft);
    EXPECT_EQ(tevo_backend_buffer_get_size(b), 4096u);
    EXPECT_NE(tevo_backend_buffer_get_base(b), nullptr);
    EXPECT_EQ(b->iface.cpy_tensor, nullptr);
    tevo_backend_buffer_free(b);
    tevo_backend_buffer_t b0 = buft->iface.alloc_buffer(buft, 0);
    ASSERT_NE(b0, nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_type(b0), buft);
    EXPECT_EQ(tevo_backend_buffer_get_size(b0), 0u);
    EXPECT_NE(b0->iface.init_tensor, nullptr);
    EXPECT_NE(b0->iface.set_tensor, nullptr);
    tevo_backend_buffer_free(b0);
    tevo_free(ctx);
}

// C callers and loaders look the buffer type up by its plain name (the test
// program exports its symbols for this)
TEST(RepackBufferType, IsExportedUnderItsCName) {
    void * sym = dlsym(RTLD_DEFAULT, "tevo_backend_cpu_repack_buffer_type");
    ASSERT_NE(sym, nullptr);
    auto by_name = (tevo_backend_buffer_type_t (*)(void)) sym;
    EXPECT_EQ(by_name(), tevo_backend_cpu_repack_buffer_type());
    EXPECT_STREQ(tevo_backend_buft_name(by_name()), "CPU_REPACK");
}

TEST(RepackBufferType, LayoutChoiceOnThisProcessor) {
    struct choice {
        tevo_type    type;
        int64_t      ne0, ne1;
        const char * layout; // nullptr: plain
    };
    const choice cases[] = {
        { TEVO_TYPE_Q4_0, 4096, 4096, "q4_0_8x8" },  { TEVO_TYPE_Q4_0, 4096, 12, nullptr },
        { TEVO_TYPE_Q4_0, 4096, 0, nullptr },        { TEVO_TYPE_Q4_K, 4096, 4096, "q4_K_8x8" },
        { TEVO_TYPE_Q4_K, 4096, 20, nullptr },       { TEVO_TYPE_MXFP4, 4096, 4096, "mxfp4_8x8" },
        { TEVO_TYPE_Q5_K, 4096, 4096, nullptr },     { TEVO_TYPE_Q6_K, 4096, 4096, nullptr },
        { TEVO_TYPE_Q8_0, 4096, 4096, nullptr },     { TEVO_TYPE_Q1_0, 4096, 4096, nullptr },
        { TEVO_TYPE_Q2_K, 4096, 4096, nullptr },     { TEVO_TYPE_F16, 4096, 4096, nullptr },
        { TEVO_TYPE_F32, 4096, 4096, nullptr },      { TEVO_TYPE_IQ4_NL, 4096, 4096, "iq4_nl_8x8" },
        { TEVO_TYPE_IQ4_NL, 4096, 12, nullptr },     { TEVO_TYPE_IQ4_NL, 32, 8, "iq4_nl_8x8" },
        { TEVO_TYPE_IQ4_XS, 4096, 4096, nullptr },
    };
    tevo_init_params p   = { tevo_tensor_overhead() * 32, nullptr, true };
    tevo_context *   ctx = tevo_init(p);
    for (const choice & c : cases) {
        tevo_tensor * t = tevo_new_tensor_2d(ctx, c.type, c.ne0, c.ne1);
        SCOPED_TRACE(std::string(tevo_type_name(c.type)) + " rows " + std::to_string(c.ne1));
        tevo::cpu::repack::tensor_traits_base * want = nullptr;
        if (c.layout != nullptr) {
            const rt::layout & l = rt::find(c.layout);
            want                 = tevo::cpu::repack::get_traits(l.type, l.inter, l.nb_cols);
        }
        EXPECT_EQ(tevo_repack_select_traits(t), want);
    }
    tevo_free(ctx);
}

// The device asks the buffer type whenever a node's weight lives in it.
TEST(RepackBufferType, TheCpuDeviceAcceptsTheProductsItsDriversCompute) {
    tevo_init_params p   = { tevo_tensor_overhead() * 64, nullptr, true };
    tevo_context *   ctx = tevo_init(p);

    tevo_backend_buffer_t trial = tevo_backend_buft_alloc_buffer(repack_buft(), 0);
    tevo_backend_buffer_t host  = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 0);

    tevo_tensor * w2  = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 256, 64);
    tevo_tensor * w12 = tevo_new_tensor_2d(ctx, TEVO_TYPE_Q4_0, 256, 12);
    tevo_tensor * w3  = tevo_new_tensor_3d(ctx, TEVO_TYPE_Q4_0, 256, 64, 4);
    tevo_tensor * nl2  = tevo_new_tensor_2d(ctx, TEVO_TYPE_IQ4_NL, 256, 64);
    tevo_tensor * nl12 = tevo_new_tensor_2d(ctx, TEVO_TYPE_IQ4_NL, 256, 12);
    tevo_tensor * nl3  = tevo_new_tensor_3d(ctx, TEVO_TYPE_IQ4_NL, 256, 64, 4);
    for (tevo_tensor * w : { w2, w12, w3, nl2, nl12, nl3 }) {
        w->buffer = trial;
    }
    tevo_tensor * x     = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 256, 7);
    tevo_tensor * x16   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 256, 7);
    tevo_tensor * x_4d  = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, 256, 7, 1, 2);
    tevo_tensor * x_in_host  = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 256, 7);
    tevo_tensor * x_in_other = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 256, 7);
    x_in_host->buffer        = host;
    x_in_other->buffer       = trial; // not host memory
    tevo_tensor * x3  = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 256, 1, 5);
    tevo_tensor * ids = tevo_new_tensor_2d(ctx, TEVO_TYPE_I32, 2, 5);
    tevo_tensor * x3_1 = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 256, 1, 4);

    struct c {
        const char *  name;
        tevo_tensor * node;
        bool          supported;
    };
    const c cases[] = {
        { "matrix product, activations without a buffer", tevo_mul_mat(ctx, w2, x), true },
        { "activations in host memory", tevo_mul_mat(ctx, w2, x_in_host), true },
        { "activations in another kind of memory", tevo_mul_mat(ctx, w2, x_in_other), false },
        { "half activations", tevo_mul_mat(ctx, w2, x16), false },
        { "four-dimensional activations", tevo_mul_mat(ctx, w2, x_4d), false },
        { "weight without a layout", tevo_mul_mat(ctx, w12, x), false },
        { "three-dimensional weight", tevo_mul_mat(ctx, w3, x3_1), false },
        { "experts", tevo_mul_mat_id(ctx, w3, x3, ids), true },
        { "row lookup", tevo_get_rows(ctx, w2, tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 3)), false },
        { "iq4_nl matrix product", tevo_mul_mat(ctx, nl2, x), true },
        { "iq4_nl weight of 12 rows", tevo_mul_mat(ctx, nl12, x), false },
        { "iq4_nl experts", tevo_mul_mat_id(ctx, nl3, x3, ids), true },
    };
    for (const c & k : cases) {
        EXPECT_EQ(tevo_backend_dev_supports_op(cpu_dev(), k.node), k.supported) << k.name;
    }
    for (tevo_tensor * w : { w2, w12, w3, nl2, nl12, nl3 }) {
        w->buffer = nullptr;
    }
    tevo_backend_buffer_free(trial);
    tevo_backend_buffer_free(host);
    tevo_free(ctx);
}

TEST(RepackBufferType, WorkSizesAndTheEngineHooks) {
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, 4096, 16, 1);
    weight                     rw(repack_buft(), TEVO_TYPE_Q4_0, 4096, 16, 1, plain);
    weight                     pw(tevo_backend_cpu_buffer_type(), TEVO_TYPE_Q4_0, 4096, 16, 1, plain);
    ASSERT_NE(rw.t->extra, nullptr);

    tevo_init_params p   = { tevo_tensor_overhead() * 16, nullptr, true };
    tevo_context *   ctx = tevo_init(p);
    tevo_tensor *    x   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4096, 7);
    size_t           size = 0;
    EXPECT_TRUE(tevo_cpu_extra_work_size(4, tevo_mul_mat(ctx, rw.t, x), &size));
    EXPECT_EQ(size, 30464u); // tevo_row_size(Q8_0, 4096 * 7)
    size = 123;
    EXPECT_FALSE(tevo_cpu_extra_work_size(4, tevo_mul_mat(ctx, pw.t, x), &size));
    EXPECT_EQ(size, 123u);
    EXPECT_FALSE(tevo_cpu_extra_work_size(4, tevo_add(ctx, x, x), &size));
    // a traits object handles the two products only
    tevo::cpu::repack::tensor_traits_base * traits = tevo::cpu::repack::get_traits(TEVO_TYPE_Q4_0, 8, 8);
    tevo_tensor *                           other  = tevo_add(ctx, x, x);
    size                                           = 77;
    EXPECT_FALSE(traits->work_size(4, other, size));
    EXPECT_EQ(size, 77u);
    EXPECT_FALSE(traits->compute_forward(nullptr, other));

    // experts: converted rows padded to 8, the counts, room for every id of every token
    const std::vector<uint8_t> plain3 = rt::random_weights(TEVO_TYPE_Q4_0, 4096, 16 * 3, 1);
    weight                     rw3(repack_buft(), TEVO_TYPE_Q4_0, 4096, 16, 3, plain3);
    tevo_tensor *              x3  = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 4096, 1, 5);
    tevo_tensor *              ids = tevo_new_tensor_2d(ctx, TEVO_TYPE_I32, 2, 5);
    EXPECT_TRUE(tevo_cpu_extra_work_size(4, tevo_mul_mat_id(ctx, rw3.t, x3, ids), &size));
    EXPECT_EQ(size, TEVO_PAD(tevo_row_size(TEVO_TYPE_Q8_0, 4096 * 5), 8) + 3 * 8 + 3 * 2 * 5 * 8);
    tevo_free(ctx);

    // the upload logged the layout
    bool seen = false;
    for (const std::string & line : logs.lines) {
        seen = seen || line == "repack: repack tensor w0 with q4_0_8x8\n";
    }
    EXPECT_TRUE(seen);
}

TEST(RepackBufferType, ChunkPlans) {
    struct c {
        int64_t nr;
        int     nth;
        int64_t nb_cols;
        bool    numa;
        int64_t nchunk, dr, per_plane;
    };
    const c cases[] = {
        { 4096, 8, 8, false, 32, 128, 32 }, { 4096, 8, 8, true, 8, 512, 8 }, { 64, 8, 8, false, 8, 8, 8 },
        { 40, 3, 8, false, 5, 8, 5 },       { 4096, 1, 8, false, 1, 4096, 1 }, { 24, 1, 8, false, 1, 24, 1 },
        { 512, 8, 4, false, 32, 16, 32 },   { 1024, 6, 8, false, 24, 43, 24 }, { 16, 8, 8, false, 2, 8, 2 },
        { 0, 4, 8, false, 0, 0, 0 },
    };
    for (const c & k : cases) {
        const tevo::cpu::repack::chunk_plan p = tevo::cpu::repack::plan_chunks(k.nr, k.nth, k.nb_cols, k.numa);
        EXPECT_EQ(p.nchunk, k.nchunk) << k.nr << " rows, " << k.nth << " threads";
        EXPECT_EQ(p.dr, k.dr) << k.nr << " rows, " << k.nth << " threads";
        EXPECT_EQ(p.per_plane, k.per_plane) << k.nr << " rows, " << k.nth << " threads";
    }
}

// ---------------------------------------------------------------------------
// uploads and read-backs

TEST(RepackBufferType, AWeightWithoutLayoutStaysPlainAndReadsBack) {
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, 64, 12, 2);
    weight                     w(repack_buft(), TEVO_TYPE_Q4_0, 64, 12, 1, plain);
    EXPECT_EQ(w.t->extra, nullptr);
    std::vector<uint8_t> back(plain.size());
    tevo_backend_tensor_get(w.t, back.data(), 0, back.size());
    EXPECT_EQ(back, plain);
    // partial writes are plain writes
    const uint8_t patch[4] = { 1, 2, 3, 4 };
    tevo_backend_tensor_set(w.t, patch, 18, 4);
    tevo_backend_tensor_get(w.t, back.data(), 0, back.size());
    EXPECT_EQ(memcmp(back.data() + 18, patch, 4), 0);

    // and the engine computes it with its own kernels
    graph_ctx     g;
    tevo_tensor * x = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_F32, 64, 5);
    fill(x, 1);
    weight                   pw(tevo_backend_cpu_buffer_type(), TEVO_TYPE_Q4_0, 64, 12, 1, plain);
    weight                   w2(repack_buft(), TEVO_TYPE_Q4_0, 64, 12, 1, plain);
    const std::vector<float> got  = compute(g.ctx, tevo_mul_mat(g.ctx, w2.t, x), 4);
    const std::vector<float> want = compute(g.ctx, tevo_mul_mat(g.ctx, pw.t, x), 4);
    EXPECT_EQ(got, want);
}

TEST(RepackBufferTypeDeathTest, RepackedWeightsAreNotReadBackNorUploadedInPieces) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, 64, 16, 2);
    weight                     w(repack_buft(), TEVO_TYPE_Q4_0, 64, 16, 1, plain);
    ASSERT_NE(w.t->extra, nullptr);
    std::vector<uint8_t> back(plain.size());
    EXPECT_DEATH(tevo_backend_tensor_get(w.t, back.data(), 0, back.size()),
                 "tensor 'w0' holds repacked q4_0 weights, which cannot be read back");
    EXPECT_DEATH(tevo_backend_tensor_set(w.t, plain.data(), 0, plain.size() / 2), "size == tevo_nbytes\\(tensor\\)");
    EXPECT_DEATH(tevo_backend_tensor_set(w.t, plain.data(), 18, 18), "offset == 0");
}

// An ids tensor with more tokens than src1 has planes would read past them.
TEST(RepackBufferTypeDeathTest, MoreTokensThanActivationPlanesAreRefused) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, 64, 16 * 2, 2);
    weight                     w(repack_buft(), TEVO_TYPE_Q4_0, 64, 16, 2, plain);
    graph_ctx                  g;
    tevo_tensor *              x       = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 64, 1, 3);
    tevo_tensor *              ids_big = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, 1, 4);
    fill(x, 1);
    memset(ids_big->data, 0, tevo_nbytes(ids_big));
    tevo_tensor * ids = tevo_view_2d(g.ctx, ids_big, 1, 3, ids_big->nb[1], 0);
    tevo_tensor * y   = tevo_mul_mat_id(g.ctx, w.t, x, ids);
    ids->ne[1]        = 4;
    EXPECT_DEATH(compute(g.ctx, y, 1), "n_tokens <= ne12");
}

TEST(RepackBufferTypeDeathTest, AnExpertOutsideTheWeightsIsRefused) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    const std::vector<uint8_t> plain = rt::random_weights(TEVO_TYPE_Q4_0, 64, 16 * 2, 2);
    weight                     w(repack_buft(), TEVO_TYPE_Q4_0, 64, 16, 2, plain);
    for (int32_t bad : { -1, 2 }) {
        graph_ctx     g;
        tevo_tensor * x   = tevo_new_tensor_3d(g.ctx, TEVO_TYPE_F32, 64, 1, 2);
        tevo_tensor * ids = tevo_new_tensor_2d(g.ctx, TEVO_TYPE_I32, 1, 2);
        fill(x, 1);
        ((int32_t *) ids->data)[0] = 0;
        ((int32_t *) ids->data)[1] = bad;
        tevo_tensor * y             = tevo_mul_mat_id(g.ctx, w.t, x, ids);
        EXPECT_DEATH(compute(g.ctx, y, 1), "i02 >= 0 && i02 < n_as");
    }
}

} // namespace
