// A quantized speech model runs on repacked weights without any change by
// its user: loading a random-weight model of width 512 puts its matrix
// weights in "CPU_REPACK" buffers, and its encoder output and logits equal
// (within float rounding) those of the same model with every weight in plain
// CPU buffers, chosen through the test-only buffer-type list.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

void put_i32(std::vector<uint8_t> & out, int32_t v) {
    uint8_t b[4];
    memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

// The writer stores matrix weights as F16 for every ftype but the F32 one;
// the records of its two-dimensional F16 tensors (exactly the matrix
// weights the loader expects in the ftype's type) are rewritten here as
// `type`, quantized from the writer's values.
std::vector<uint8_t> quantized_model(const kestu_model_recipe & recipe, tevo_type type) {
    kestu_writer_layout                    layout;
    const std::vector<uint8_t>             image   = kestu_write_model(recipe, &layout);
    const std::vector<kestu_writer_tensor> tensors = kestu_writer_tensors(recipe);

    std::vector<uint8_t> out(image.begin(), image.begin() + (long) layout.tensors);
    for (const kestu_writer_tensor & t : tensors) {
        const kestu_writer_record_span * span = kestu_writer_find_record(layout, t.name);
        EXPECT_NE(span, nullptr) << t.name;
        if (span == nullptr) {
            continue;
        }
        if (t.type != KESTU_WRITER_F16 || t.ne.size() != 2) {
            out.insert(out.end(), image.begin() + (long) span->begin, image.begin() + (long) span->end);
            continue;
        }
        put_i32(out, 2);
        put_i32(out, (int32_t) t.name.size());
        put_i32(out, (int32_t) type);
        put_i32(out, t.ne[0]);
        put_i32(out, t.ne[1]);
        out.insert(out.end(), t.name.begin(), t.name.end());
        std::vector<uint8_t> data(tevo_row_size(type, t.ne[0]) * (size_t) t.ne[1]);
        tevo_quantize_chunk(type, t.values.data(), data.data(), 0, t.ne[1], t.ne[0], nullptr);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

kestu_buft_list plain_cpu_only(const kestu_context_params & params) {
    (void) params;
    return { { tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU), tevo_backend_cpu_buffer_type() } };
}

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
using ctx_ptr = std::unique_ptr<kestu_context, ctx_deleter>;

ctx_ptr load(const std::vector<uint8_t> & image, bool plain) {
    kestu_buft_list_for_tests = plain ? plain_cpu_only : nullptr;
    ctx_ptr ctx(kestu_init_from_buffer_with_params((void *) image.data(), image.size(),
                                                   kestu_context_default_params()));
    kestu_buft_list_for_tests = nullptr;
    return ctx;
}

// matrix weights (by name) in a CPU_REPACK buffer
std::vector<std::string> repacked_weights(const kestu_context & ctx) {
    std::vector<std::string> names;
    for (const auto & [name, t] : ctx.model.tensors) {
        if (std::string(tevo_backend_buft_name(tevo_backend_buffer_get_type(t->buffer))) == "CPU_REPACK") {
            names.push_back(name);
        }
    }
    return names;
}

struct run_result {
    std::vector<float> enc;
    std::vector<float> logits;
};

run_result run(kestu_context & ctx, const std::vector<float> & mel, int n_mel, int n_frames, int n_threads) {
    kestu_state & state = *ctx.state;
    state.mel.n_len     = n_frames;
    state.mel.n_len_org = n_frames;
    state.mel.n_mel     = n_mel;
    state.mel.data      = mel;

    run_result r;
    EXPECT_EQ(kestu_encode(&ctx, 0, n_threads), 0);
    r.enc.resize((size_t) tevo_nelements(state.embd_enc));
    tevo_backend_tensor_get(state.embd_enc, r.enc.data(), 0, r.enc.size() * sizeof(float));

    const kestu_token tokens[4] = { 50257, 50362, 1000, 123 };
    EXPECT_EQ(kestu_decode(&ctx, tokens, 4, 0, n_threads), 0);
    r.logits = state.logits;
    return r;
}

struct diff {
    double max_err = 0, rms_err = 0, rms = 0;
};

diff compare(const std::vector<float> & got, const std::vector<float> & want) {
    diff d;
    EXPECT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
        EXPECT_TRUE(std::isfinite(got[i])) << i;
        const double e = std::fabs((double) got[i] - (double) want[i]);
        d.max_err      = std::max(d.max_err, e);
        d.rms_err += e * e;
        d.rms += (double) want[i] * want[i];
    }
    d.rms_err = std::sqrt(d.rms_err / (double) std::max<size_t>(1, want.size()));
    d.rms     = std::sqrt(d.rms / (double) std::max<size_t>(1, want.size()));
    return d;
}

TEST(RepackModel, AQuantizedModelGivesTheSameLogitsOnRepackedWeights) {
    struct c {
        int32_t   ftype;
        tevo_type type;
    };
    for (const c & k : { c{ TEVO_FTYPE_MOSTLY_Q4_0, TEVO_TYPE_Q4_0 }, c{ TEVO_FTYPE_MOSTLY_Q4_K, TEVO_TYPE_Q4_K },
                         c{ TEVO_FTYPE_MOSTLY_IQ4_NL, TEVO_TYPE_IQ4_NL } }) {
        SCOPED_TRACE(tevo_type_name(k.type));
        kestu_model_recipe recipe;
        recipe.n_audio_ctx   = 64;
        recipe.n_audio_state = 512;
        recipe.n_audio_head  = 8;
        recipe.n_audio_layer = 1;
        recipe.n_text_ctx    = 32;
        recipe.n_text_state  = 512;
        recipe.n_text_head   = 8;
        recipe.n_text_layer  = 1;
        recipe.ftype         = k.ftype;
        recipe.seed          = 3;
        const std::vector<uint8_t> image = quantized_model(recipe, k.type);

        ctx_ptr repacked = load(image, false);
        ctx_ptr plain    = load(image, true);
        ASSERT_NE(repacked, nullptr);
        ASSERT_NE(plain, nullptr);

        // every matrix weight but the token embedding (a row lookup) is repacked
        const std::vector<std::string> names = repacked_weights(*repacked);
        EXPECT_EQ(names.size(), 6u + 10u); // encoder layer: 6 matrices; decoder layer: 10
        for (const std::string & name : names) {
            const tevo_tensor * t = repacked->model.tensors.at(name);
            EXPECT_EQ(t->type, k.type) << name;
            EXPECT_NE(t->extra, nullptr) << name;
        }
        EXPECT_TRUE(repacked_weights(*plain).empty());

        std::mt19937                          rng(5);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        const int                             n_mel = 80, n_frames = 2 * recipe.n_audio_ctx;
        std::vector<float>                    mel((size_t) n_mel * n_frames);
        for (float & v : mel) {
            v = dist(rng);
        }

        // The yardstick of float tolerance for this model: how far the plain
        // weights' results move when the spectrogram moves by one ulp. Every
        // product quantizes its activations to 8 bits, so a last-bit change
        // flips a code here and there and the flips add up through the
        // layers; two correct kernels that round their sums apart differ by
        // as much.
        std::vector<float> mel_ulp = mel;
        for (float & v : mel_ulp) {
            v = std::nextafter(v, 2.0f);
        }

        for (int n_threads : { 1, 4 }) {
            SCOPED_TRACE("threads " + std::to_string(n_threads));
            const run_result a    = run(*repacked, mel, n_mel, n_frames, n_threads);
            const run_result b    = run(*plain, mel, n_mel, n_frames, n_threads);
            const run_result bulp = run(*plain, mel_ulp, n_mel, n_frames, n_threads);
            const diff       e    = compare(a.enc, b.enc);
            const diff       l    = compare(a.logits, b.logits);
            const diff       eulp = compare(bulp.enc, b.enc);
            const diff       lulp = compare(bulp.logits, b.logits);
            printf("%s, %d threads: encoder difference max %.3g rms %.3g (one ulp of input: %.3g, %.3g; values rms "
                   "%.3g), logits difference max %.3g rms %.3g (one ulp: %.3g, %.3g; values rms %.3g)\n",
                   tevo_type_name(k.type), n_threads, e.max_err, e.rms_err, eulp.max_err, eulp.rms_err, e.rms,
                   l.max_err, l.rms_err, lulp.max_err, lulp.rms_err, l.rms);
            EXPECT_GT(e.rms, 0.1);
            EXPECT_GT(l.rms, 0.1);
            EXPECT_GT(lulp.rms_err, 0.0); // the yardstick measures something
            EXPECT_LT(e.max_err, 3 * eulp.max_err);
            EXPECT_LT(e.rms_err, 3 * eulp.rms_err);
            EXPECT_LT(l.max_err, 3 * lulp.max_err);
            EXPECT_LT(l.rms_err, 3 * lulp.rms_err);
        }
    }
}

} // namespace
