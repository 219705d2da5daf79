// Model loading: generated F32 and F16 files (from a file and from memory)
// load with exactly the written weights, vocabulary and filter bank; the
// shipped models load and report their hyper-parameters; every broken
// variant of a file is refused with a log line and no crash, and a header
// count the file cannot hold before anything is built from it.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

// --- allocation budget --------------------------------------------------------
// While a budget is set, the program's operator new counts the bytes asked
// for; the first request past the budget lifts it and throws std::bad_alloc.
// A load that would build gigabytes from a header count then fails at once,
// as an exception, instead of exhausting the machine. (Weight buffers come
// from malloc, uncounted.)

namespace {
std::atomic<size_t> new_budget{0}; // 0: no budget
std::atomic<size_t> new_bytes{0};
std::atomic<bool>   new_budget_exceeded{false};

void * counted_new(size_t n) {
    const size_t budget = new_budget.load(std::memory_order_relaxed);
    if (budget != 0 && new_bytes.fetch_add(n, std::memory_order_relaxed) + n > budget) {
        new_budget          = 0;
        new_budget_exceeded = true;
        throw std::bad_alloc();
    }
    void * p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
} // namespace

// every form that pairs with the plain delete, so malloc and free always meet
void * operator new(size_t n) { return counted_new(n); }
void * operator new[](size_t n) { return counted_new(n); }
void * operator new(size_t n, const std::nothrow_t &) noexcept {
    try {
        return counted_new(n);
    } catch (...) {
        return nullptr;
    }
}
void * operator new[](size_t n, const std::nothrow_t &) noexcept {
    try {
        return counted_new(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void * p) noexcept { std::free(p); }
void operator delete[](void * p) noexcept { std::free(p); }
void operator delete(void * p, size_t) noexcept { std::free(p); }
void operator delete[](void * p, size_t) noexcept { std::free(p); }
void operator delete(void * p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void * p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

struct allocation_budget {
    explicit allocation_budget(size_t bytes) {
        new_bytes           = 0;
        new_budget_exceeded = false;
        new_budget          = bytes;
    }
    ~allocation_budget() { new_budget = 0; }
};

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

std::string models_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/')) + "/../models/";
}

// a small model: one layer each side, width 64, two heads
kestu_model_recipe small_recipe(int32_t ftype) {
    kestu_model_recipe recipe;
    recipe.ftype = ftype;
    recipe.seed  = 7;
    return recipe;
}

class ModelLoad : public ::testing::Test {
protected:
    std::vector<captured_line> lines;

    void SetUp() override { kestu_log_set(capture, &lines); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }

    kestu_context * load(std::vector<uint8_t> & bytes) {
        return kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(), kestu_context_default_params());
    }

    bool logged(tevo_log_level level, const std::string & part) const {
        for (const captured_line & l : lines) {
            if (l.level == level && l.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string all_lines() const {
        std::string s;
        for (const captured_line & l : lines) {
            s += std::to_string(int(l.level)) + " " + l.text;
        }
        return s;
    }
};

// the tensor's data as floats, whatever buffer type holds it
std::vector<float> tensor_values(const tevo_tensor * t) {
    std::vector<uint8_t> raw(tevo_nbytes(t));
    tevo_backend_tensor_get(t, raw.data(), 0, raw.size());
    std::vector<float> out(size_t(tevo_nelements(t)));
    if (t->type == TEVO_TYPE_F32) {
        std::memcpy(out.data(), raw.data(), raw.size());
    } else {
        for (size_t i = 0; i < out.size(); ++i) {
            tevo_fp16_t h;
            std::memcpy(&h, raw.data() + 2 * i, 2);
            out[i] = tevo_fp16_to_fp32(h);
        }
    }
    return out;
}

void expect_matches_recipe(const kestu_context & ctx, const kestu_model_recipe & recipe) {
    const kestu_hparams & hp = ctx.model.hparams;
    EXPECT_EQ(hp.n_vocab, recipe.n_vocab);
    EXPECT_EQ(hp.n_audio_ctx, recipe.n_audio_ctx);
    EXPECT_EQ(hp.n_audio_state, recipe.n_audio_state);
    EXPECT_EQ(hp.n_audio_head, recipe.n_audio_head);
    EXPECT_EQ(hp.n_audio_layer, recipe.n_audio_layer);
    EXPECT_EQ(hp.n_text_ctx, recipe.n_text_ctx);
    EXPECT_EQ(hp.n_text_state, recipe.n_text_state);
    EXPECT_EQ(hp.n_text_head, recipe.n_text_head);
    EXPECT_EQ(hp.n_text_layer, recipe.n_text_layer);
    EXPECT_EQ(hp.n_mels, recipe.n_mels);
    EXPECT_EQ(hp.ftype, recipe.ftype % 1000);
    EXPECT_EQ(ctx.wtype, recipe.ftype == 0 ? TEVO_TYPE_F32 : TEVO_TYPE_F16);

    // filter bank as written
    EXPECT_EQ(ctx.model.filters.n_mel, recipe.n_mels);
    EXPECT_EQ(ctx.model.filters.n_fft, 201);
    EXPECT_EQ(ctx.model.filters.data, kestu_writer_mel_filters(recipe.n_mels, 201));

    // vocabulary: the written texts, then generated special tokens up to n_vocab
    const std::vector<std::string> vocab = kestu_writer_default_vocab(recipe.n_vocab);
    EXPECT_EQ(ctx.vocab.n_vocab, recipe.n_vocab);
    EXPECT_EQ(ctx.vocab.id_to_token.size(), size_t(recipe.n_vocab));
    for (int32_t id : {0, 32, 300, int32_t(vocab.size()) - 1}) {
        EXPECT_EQ(ctx.vocab.id_to_token.at(id), vocab[id]) << id;
    }
    EXPECT_EQ(ctx.vocab.token_to_id.at(" "), 32);

    // every expected tensor, with exactly the written values
    const std::vector<kestu_writer_tensor> tensors = kestu_writer_tensors(recipe);
    EXPECT_EQ(ctx.model.tensors.size(), tensors.size());
    EXPECT_EQ(ctx.model.n_loaded, int32_t(tensors.size()));
    for (const kestu_writer_tensor & wt : tensors) {
        auto it = ctx.model.tensors.find(wt.name);
        ASSERT_NE(it, ctx.model.tensors.end()) << wt.name;
        const tevo_tensor * t = it->second;
        EXPECT_EQ(int32_t(t->type), wt.type) << wt.name;
        for (size_t d = 0; d < 4; ++d) {
            EXPECT_EQ(t->ne[d], d < wt.ne.size() ? wt.ne[d] : 1) << wt.name << " dim " << d;
        }
        EXPECT_EQ(tensor_values(t), wt.values) << wt.name;
    }

    // the named members point at the same tensors
    EXPECT_EQ(ctx.model.e_pe, ctx.model.tensors.at("encoder.positional_embedding"));
    EXPECT_EQ(ctx.model.d_te, ctx.model.tensors.at("decoder.token_embedding.weight"));
    ASSERT_EQ(ctx.model.layers_decoder.size(), size_t(recipe.n_text_layer));
    EXPECT_EQ(ctx.model.layers_decoder[0].cross_attn_v_b,
              ctx.model.tensors.at("decoder.blocks.0.cross_attn.value.bias"));
    EXPECT_EQ(ctx.model.layers_encoder[0].mlp_1_w, ctx.model.tensors.at("encoder.blocks.0.mlp.2.weight"));

    for (tevo_backend_buffer_t buf : ctx.model.buffers) {
        EXPECT_EQ(tevo_backend_buffer_get_usage(buf), TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    }
}

TEST_F(ModelLoad, GeneratedModelsLoadWithTheirWeightsFromFileAndMemory) {
    for (int32_t ftype : {0, 1}) {
        for (bool from_file : {false, true}) {
            SCOPED_TRACE(std::string("ftype ") + std::to_string(ftype) + (from_file ? " file" : " memory"));
            kestu_model_recipe recipe = small_recipe(ftype);
            recipe.n_audio_layer    = 2; // layers must land in their own slots
            recipe.n_text_layer     = 2;
            lines.clear();

            kestu_context * ctx = nullptr;
            if (from_file) {
                const std::string path = testing::TempDir() + "model-load-" + std::to_string(getpid()) + ".bin";
                ASSERT_TRUE(kestu_write_model_file(recipe, path));
                ctx = kestu_init_from_file_with_params_no_state(path.c_str(), kestu_context_default_params());
                std::remove(path.c_str());
                if (ctx) {
                    EXPECT_EQ(ctx->path_model, path);
                }
            } else {
                std::vector<uint8_t> bytes = kestu_write_model(recipe);
                ctx = load(bytes);
            }
            ASSERT_NE(ctx, nullptr) << all_lines();
            expect_matches_recipe(*ctx, recipe);
            EXPECT_EQ(ctx->state, nullptr);
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: n_audio_state = 64\n"));
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: type          = 0 (unknown)\n"));
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: adding 1608 extra tokens\n"));
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: n_langs       = 99\n"));
            EXPECT_FALSE(logged(TEVO_LOG_LEVEL_ERROR, "")) << all_lines();
            kestu_free(ctx);
        }
    }
}

TEST_F(ModelLoad, ShippedModelsLoadAndReportTheirHyperParameters) {
    for (const char * file : {"digits-tiny-f16.bin", "digits-tiny-f32.bin"}) {
        SCOPED_TRACE(file);
        const bool f16 = std::strstr(file, "f16") != nullptr;
        lines.clear();
        const std::string path = models_dir() + file;
        kestu_context * ctx = kestu_init_from_file_with_params_no_state(path.c_str(), kestu_context_default_params());
        ASSERT_NE(ctx, nullptr) << all_lines();

        const kestu_hparams & hp = ctx->model.hparams;
        EXPECT_EQ(hp.n_vocab, 51864);
        EXPECT_EQ(hp.n_audio_ctx, 1500);
        EXPECT_EQ(hp.n_audio_state, 128);
        EXPECT_EQ(hp.n_audio_head, 4);
        EXPECT_EQ(hp.n_audio_layer, 2);
        EXPECT_EQ(hp.n_text_ctx, 448);
        EXPECT_EQ(hp.n_text_state, 128);
        EXPECT_EQ(hp.n_text_head, 4);
        EXPECT_EQ(hp.n_text_layer, 2);
        EXPECT_EQ(hp.n_mels, 80);
        EXPECT_EQ(hp.ftype, f16 ? 1 : 0);
        EXPECT_EQ(ctx->wtype, f16 ? TEVO_TYPE_F16 : TEVO_TYPE_F32);
        EXPECT_EQ(ctx->model.filters.n_mel, 80);
        EXPECT_EQ(ctx->model.filters.n_fft, 201);
        EXPECT_EQ(ctx->model.filters.data.size(), 80u * 201u);

        const kestu_vocab & v = ctx->vocab;
        EXPECT_EQ(v.id_to_token.size(), 51864u);
        EXPECT_EQ(v.token_eot, 50256);
        EXPECT_EQ(v.token_sot, 50257);
        EXPECT_EQ(v.token_not, 50362);
        EXPECT_EQ(v.token_beg, 50363);
        EXPECT_EQ(v.id_to_token.at(50256), "[_EOT_]");
        EXPECT_EQ(v.id_to_token.at(50363), "[_BEG_]");
        EXPECT_EQ(v.id_to_token.at(51863), "[_TT_1500]");
        EXPECT_TRUE(v.token_to_id.count(" zero"));
        EXPECT_TRUE(v.token_to_id.count(" "));

        EXPECT_EQ(ctx->model.n_loaded, int32_t(ctx->model.tensors.size()));
        EXPECT_EQ(kestu_model_n_tensors_loaded(ctx), ctx->model.n_loaded);
        EXPECT_EQ(ctx->model.tensors.size(), 11u + 15u * 2 + 24u * 2);
        EXPECT_EQ(ctx->model.ctxs.size(), ctx->model.buffers.size());
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: n_text_layer  = 2\n"));
        EXPECT_FALSE(logged(TEVO_LOG_LEVEL_ERROR, "")) << all_lines();
        EXPECT_GT(ctx->t_load_us, 0);
        kestu_free(ctx);
    }
}

// --- broken files ------------------------------------------------------------

struct broken_case {
    const char * name;
    // edits the bytes of the small F16 model (layout gives the offsets)
    std::function<void(std::vector<uint8_t> &, const kestu_writer_layout &)> edit;
    const char * message; // part of an error line
};

size_t hp_offset(int index) {
    return 4 + 4 * size_t(index); // n_vocab is 0, ftype 10
}

void put_hp(std::vector<uint8_t> & b, int index, int32_t v) {
    kestu_writer_put_i32(b, hp_offset(index), v);
}

const kestu_writer_record_span & rec(const kestu_writer_layout & l, const char * name) {
    const kestu_writer_record_span * r = kestu_writer_find_record(l, name);
    if (!r) {
        throw std::runtime_error(std::string("no record ") + name);
    }
    return *r;
}

void cut(std::vector<uint8_t> & b, size_t size) {
    b.resize(size);
}

void erase_record(std::vector<uint8_t> & b, const kestu_writer_record_span & r) {
    b.erase(b.begin() + long(r.begin), b.begin() + long(r.end));
}

void duplicate_record(std::vector<uint8_t> & b, const kestu_writer_record_span & r) {
    std::vector<uint8_t> copy(b.begin() + long(r.begin), b.begin() + long(r.end));
    b.insert(b.begin() + long(r.end), copy.begin(), copy.end());
}

const char * const BIAS = "encoder.ln_post.bias";      // F32 [64]
const char * const PE   = "encoder.positional_embedding"; // F32 [64, 1500]
const char * const QW   = "decoder.blocks.0.attn.query.weight"; // F16 [64, 64]

std::vector<broken_case> broken_cases() {
    using B = std::vector<uint8_t>;
    using L = kestu_writer_layout;
    return {
        {"bad magic", [](B & b, const L &) { kestu_writer_put_i32(b, 0, 0x12345678); }, "invalid model data (bad magic)"},
        {"empty image", [](B & b, const L &) { b.clear(); }, "invalid model data (bad magic)"},
        {"cut in magic", [](B & b, const L &) { cut(b, 3); }, "invalid model data (bad magic)"},
        {"ftype 5", [](B & b, const L &) { put_hp(b, 10, 5); }, "invalid model (bad ftype value 5)"},
        {"ftype -1", [](B & b, const L &) { put_hp(b, 10, -1); }, "invalid model (bad ftype value -1)"},
        {"ftype 29", [](B & b, const L &) { put_hp(b, 10, 29); }, "invalid model (bad ftype value 29)"},
        {"ftype 1004", [](B & b, const L &) { put_hp(b, 10, 1004); }, "invalid model (bad ftype value 4)"},
        {"ftype of another weight type", [](B & b, const L &) { put_hp(b, 10, 0); },
         "tensor 'encoder.conv1.weight' has wrong type in model file: got f16, expected f32"},
        {"cut in hyper-parameters", [](B & b, const L &) { cut(b, 20); },
         "unexpected end of model file in the hyper-parameters"},
        {"n_vocab 0", [](B & b, const L &) { put_hp(b, 0, 0); }, "invalid n_vocab 0 in model file"},
        {"n_audio_ctx -1", [](B & b, const L &) { put_hp(b, 1, -1); }, "invalid n_audio_ctx -1 in model file"},
        {"n_audio_layer 0", [](B & b, const L &) { put_hp(b, 4, 0); }, "invalid n_audio_layer 0 in model file"},
        {"n_text_head -3", [](B & b, const L &) { put_hp(b, 7, -3); }, "invalid n_text_head -3 in model file"},
        {"n_text_layer 0", [](B & b, const L &) { put_hp(b, 8, 0); }, "invalid n_text_layer 0 in model file"},
        // more layers than a state's graphs hold (found by fuzzing: the
        // scheduler aborted on an encoder of 96 layers)
        {"n_audio_layer 49", [](B & b, const L &) { put_hp(b, 4, 49); },
         "invalid n_audio_layer 49 in model file (expected at most 48)"},
        {"n_text_layer 49", [](B & b, const L &) { put_hp(b, 8, 49); },
         "invalid n_text_layer 49 in model file (expected at most 48)"},
        {"n_mels 0", [](B & b, const L &) { put_hp(b, 9, 0); }, "invalid n_mels 0 in model file"},
        {"n_vocab below the special tokens", [](B & b, const L &) { put_hp(b, 0, 50363); },
         "n_vocab 50363 is too small for the special tokens (expected >= 50364)"},
        {"widths differ", [](B & b, const L &) { put_hp(b, 6, 128); },
         "encoder and decoder widths differ: n_audio_state 64, n_text_state 128"},
        {"head counts differ", [](B & b, const L &) { put_hp(b, 7, 4); },
         "encoder and decoder head counts differ: n_audio_head 2, n_text_head 4"},
        {"width not a multiple of heads", [](B & b, const L &) { put_hp(b, 3, 3); put_hp(b, 7, 3); },
         "width 64 is not a multiple of the head count 3"},
        {"width not a multiple of the block size", [](B & b, const L &) {
             for (int i : {2, 6}) put_hp(b, i, 48);
             put_hp(b, 10, 2); },
         "width 48 is not a multiple of the block size 32 of q4_0 weights"},
        {"n_audio_ctx overflows", [](B & b, const L &) { put_hp(b, 1, 1 << 30); },
         "hyper-parameters too large: the size of the encoder positional embedding overflows"},
        {"n_vocab overflows", [](B & b, const L &) { put_hp(b, 0, INT32_MAX); },
         "hyper-parameters too large: the size of the token embedding overflows"},
        {"self-attention cache overflows",
         [](B & b, const L &) {
             for (int i : {2, 6}) put_hp(b, i, 4096);
             put_hp(b, 5, 2048);
             put_hp(b, 8, 48);
         },
         "hyper-parameters too large: the size of the self-attention cache overflows"},
        {"n_audio_layer far too large", [](B & b, const L &) { put_hp(b, 4, 100000000); },
         "invalid n_audio_layer 100000000 in model file (expected at most 48)"},
        {"widths overflow", [](B & b, const L &) { for (int i : {2, 6}) put_hp(b, i, 1 << 29); },
         "hyper-parameters too large: the size of 4 x n_audio_state overflows"},
        {"filter bands above n_mels", [](B & b, const L & l) { kestu_writer_put_i32(b, l.filters, 81); },
         "mel filter bank has 81 bands, expected 80"},
        {"filter bands below n_mels", [](B & b, const L & l) { kestu_writer_put_i32(b, l.filters, 40); },
         "mel filter bank has 40 bands, expected 80"},
        {"filter bins above 201", [](B & b, const L & l) { kestu_writer_put_i32(b, l.filters + 4, 202); },
         "mel filter bank has 202 frequency bins, expected 1 to 201"},
        {"filter bins 0", [](B & b, const L & l) { kestu_writer_put_i32(b, l.filters + 4, 0); },
         "mel filter bank has 0 frequency bins, expected 1 to 201"},
        {"cut in filter counts", [](B & b, const L & l) { cut(b, l.filters + 6); },
         "unexpected end of model file in the mel filter bank"},
        {"cut in filter data", [](B & b, const L & l) { cut(b, l.filters + 8 + 1000); },
         "unexpected end of model file in the mel filter bank"},
        {"vocabulary above n_vocab", [](B & b, const L & l) { kestu_writer_put_i32(b, l.vocab, 51865); },
         "vocabulary has 51865 entries, expected 0 to n_vocab (51864)"},
        {"vocabulary count negative", [](B & b, const L & l) { kestu_writer_put_i32(b, l.vocab, -1); },
         "vocabulary has -1 entries, expected 0 to n_vocab (51864)"},
        {"token text absurdly long", [](B & b, const L & l) { kestu_writer_put_i32(b, l.vocab + 4, -2); },
         "token 0 is 4294967294 bytes long"},
        {"cut at the vocabulary count", [](B & b, const L & l) { cut(b, l.vocab + 2); },
         "unexpected end of model file in the vocabulary"},
        {"cut in a token length", [](B & b, const L & l) { cut(b, l.vocab + 4 + 2); },
         "unexpected end of model file in the vocabulary"},
        {"cut in the vocabulary texts", [](B & b, const L & l) { cut(b, (l.vocab + l.tensors) / 2); },
         "unexpected end of model file in the vocabulary"},
        {"invalid n_dims", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin, 5); },
         "invalid n_dims 5 in model file (expected 0 <= n_dims <= 4)"},
        {"invalid ttype", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin + 8, 43); },
         "invalid ttype 43 in model file (expected 0 <= ttype < 43)"},
        {"negative name length", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin + 4, -1); },
         "invalid tensor name length -1 in model file"},
        {"unknown tensor name", [](B & b, const L & l) { b[rec(l, BIAS).data_begin - 1] = 'X'; },
         "unknown tensor 'encoder.ln_post.biaX' in model file"},
        {"wrong shape", [](B & b, const L & l) {
             kestu_writer_put_i32(b, rec(l, PE).begin + 12, 1500);
             kestu_writer_put_i32(b, rec(l, PE).begin + 16, 64); },
         "tensor 'encoder.positional_embedding' has wrong shape in model file: got [1500, 64, 1], expected [64, 1500, 1]"},
        {"wrong element count", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin + 12, 65); },
         "tensor 'encoder.ln_post.bias' has wrong size in model file"},
        {"wrong element count shape line", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin + 12, 65); },
         "shape: [65, 1, 1], expected: [64, 1, 1]"},
        {"negative extent", [](B & b, const L & l) { kestu_writer_put_i32(b, rec(l, BIAS).begin + 12, -64); },
         "tensor 'encoder.ln_post.bias' has wrong size in model file"},
        {"same-size data of another type", [](B & b, const L & l) {
             kestu_writer_put_i32(b, rec(l, BIAS).begin + 8, TEVO_TYPE_I32); },
         "tensor 'encoder.ln_post.bias' has wrong type in model file: got i32, expected f32"},
        {"F32 data for an F16 tensor", [](B & b, const L & l) {
             kestu_writer_put_i32(b, rec(l, QW).begin + 8, TEVO_TYPE_F32); },
         "tensor 'decoder.blocks.0.attn.query.weight' has wrong type in model file: got f32, expected f16"},
        {"duplicated record", [](B & b, const L & l) { duplicate_record(b, rec(l, BIAS)); },
         "tensor 'encoder.ln_post.bias' appears more than once in model file"},
        {"missing record", [](B & b, const L & l) { erase_record(b, rec(l, QW)); },
         "ERROR not all tensors loaded from model file - expected 50, got 49"},
        {"missing record named", [](B & b, const L & l) { erase_record(b, rec(l, QW)); },
         "tensor 'decoder.blocks.0.attn.query.weight' is missing from model file"},
        {"one record repeated in place of another", [](B & b, const L & l) {
             const kestu_writer_record_span & keep = rec(l, "decoder.blocks.0.attn.key.weight");
             std::vector<uint8_t> copy(b.begin() + long(keep.begin), b.begin() + long(keep.end));
             const kestu_writer_record_span & gone = rec(l, QW); // same size, precedes it
             b.erase(b.begin() + long(gone.begin), b.begin() + long(gone.end));
             b.insert(b.end(), copy.begin(), copy.end()); },
         "tensor 'decoder.blocks.0.attn.key.weight' appears more than once in model file"},
        {"cut in a record header", [](B & b, const L & l) { cut(b, rec(l, BIAS).begin + 6); },
         "unexpected end of model file in a tensor record header"},
        {"cut in extents", [](B & b, const L & l) { cut(b, rec(l, PE).begin + 14); },
         "unexpected end of model file in a tensor record header"},
        {"cut in a name", [](B & b, const L & l) { cut(b, rec(l, BIAS).data_begin - 3); },
         "unexpected end of model file in a tensor name"},
        {"cut in tensor data", [](B & b, const L & l) { cut(b, rec(l, PE).data_begin + 1000); },
         "unexpected end of model file in the data of tensor 'encoder.positional_embedding'"},
        {"cut in the last tensor's data", [](B & b, const L &) { cut(b, b.size() - 1); },
         "unexpected end of model file in the data of tensor 'decoder.blocks.0.cross_attn.out.bias'"},
        {"cut between records", [](B & b, const L & l) { cut(b, rec(l, QW).begin); },
         "ERROR not all tensors loaded from model file"},
    };
}

TEST_F(ModelLoad, BrokenFilesAreRefusedWithTheirMessage) {
    kestu_writer_layout        layout;
    const std::vector<uint8_t> good = kestu_write_model(small_recipe(1), &layout);

    for (const broken_case & c : broken_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = good;
        c.edit(bytes, layout);
        lines.clear();

        kestu_context * ctx = load(bytes);
        EXPECT_EQ(ctx, nullptr);
        kestu_free(ctx);
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, c.message)) << all_lines();
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, "kestu_init_with_params_no_state: failed to load model\n"));
        EXPECT_FALSE(logged(TEVO_LOG_LEVEL_ERROR, "exception")) << all_lines();
    }
}

TEST_F(ModelLoad, BrokenFilesAreRefusedFromAFileToo) {
    // the file stream reports short reads its own way
    kestu_writer_layout        layout;
    const std::vector<uint8_t> good = kestu_write_model(small_recipe(0), &layout);
    const std::string          path = testing::TempDir() + "model-load-cut-" + std::to_string(getpid()) + ".bin";

    const std::pair<size_t, const char *> cuts[] = {
        {20, "the hyper-parameters"},
        {layout.filters + 100, "the mel filter bank"},
        {layout.vocab + 100, "the vocabulary"},
        {layout.records[2].begin + 5, "a tensor record header"},
        {layout.records[2].data_begin + 5, "the data of tensor 'encoder.conv1.bias'"},
    };
    for (const auto & [size, what] : cuts) {
        SCOPED_TRACE(what);
        FILE * f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(good.data(), 1, size, f), size);
        std::fclose(f);
        lines.clear();

        kestu_context * ctx = kestu_init_from_file_with_params_no_state(path.c_str(), kestu_context_default_params());
        EXPECT_EQ(ctx, nullptr);
        kestu_free(ctx);
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, std::string("unexpected end of model file in ") + what))
            << all_lines();
    }
    std::remove(path.c_str());
}

// --- header counts the file cannot hold ------------------------------------------

// A model header of a few hundred bytes: magic, the eleven hyper-parameters,
// a filter bank of n_mel x n_fft zeros, the vocabulary count and the given
// texts, then whatever the case appends.
std::vector<uint8_t> small_header(const int32_t (&hp)[11], int32_t n_mel, int32_t n_fft, int32_t n_fft_written,
                                  int32_t n_entries, const std::vector<std::string> & texts) {
    std::vector<uint8_t> b;
    auto put = [&b](int32_t v) {
        b.resize(b.size() + 4);
        kestu_writer_put_i32(b, b.size() - 4, v);
    };
    put(int32_t(KESTU_WRITER_MAGIC));
    for (int32_t v : hp) {
        put(v);
    }
    put(n_mel);
    put(n_fft);
    if (n_fft_written < 0) {
        return b; // the file ends at the filter counts
    }
    b.resize(b.size() + 4 * size_t(n_mel) * size_t(n_fft_written), 0);
    put(n_entries);
    for (const std::string & t : texts) {
        put(int32_t(t.size()));
        b.insert(b.end(), t.begin(), t.end());
    }
    return b;
}

void append_record(std::vector<uint8_t> & b, const std::string & name, int32_t ttype,
                   std::initializer_list<int32_t> ne, size_t data_bytes) {
    const size_t at = b.size();
    b.resize(at + 12 + 4 * ne.size());
    kestu_writer_put_i32(b, at, int32_t(ne.size()));
    kestu_writer_put_i32(b, at + 4, int32_t(name.size()));
    kestu_writer_put_i32(b, at + 8, ttype);
    size_t off = at + 12;
    for (int32_t e : ne) {
        kestu_writer_put_i32(b, off, e);
        off += 4;
    }
    b.insert(b.end(), name.begin(), name.end());
    b.resize(b.size() + data_bytes, 0);
}

struct unholdable_case {
    const char *         name;
    std::vector<uint8_t> bytes;
    const char *         message;
};

std::vector<unholdable_case> unholdable_cases() {
    // n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
    // n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels, ftype
    const int32_t huge_vocab[11] = {1 << 24, 8, 8, 1, 1, 8, 8, 1, 1, 1, 1};
    const int32_t huge_mels[11]  = {51864, 1, 1, 1, 1, 8, 1, 1, 1, 700000000, 1};
    const int32_t wide_q4_0[11]  = {51864, 8, 4096, 1, 1, 8, 4096, 1, 1, 1, 2};

    std::vector<unholdable_case> cases;
    cases.push_back({"2^24 token ids, no vocabulary entries, nothing after",
                     small_header(huge_vocab, 1, 1, 1, 0, {}), "vocabulary has no single-space token"});

    std::vector<uint8_t> cut_record = small_header(huge_vocab, 1, 1, 1, 1, {" "});
    cut_record.insert(cut_record.end(), {2, 0, 0, 0, 4, 0});
    cases.push_back({"2^24 token ids, one entry, a record header cut short", cut_record,
                     "unexpected end of model file in a tensor record header"});

    cases.push_back({"7 x 10^8 mel bands of one bin, file ends at the counts",
                     small_header(huge_mels, 700000000, 1, -1, 0, {}),
                     "unexpected end of model file in the mel filter bank"});

    // a q4_0 layer matrix of 4096 x 16384 (38 MB) with 100 bytes of data
    std::vector<uint8_t> short_weight = small_header(wide_q4_0, 1, 1, 1, 1, {" "});
    append_record(short_weight, "encoder.blocks.0.mlp.0.weight", TEVO_TYPE_Q4_0, {4096, 16384}, 100);
    cases.push_back({"a layer matrix of 38 MB with 100 bytes of data", short_weight,
                     "unexpected end of model file in the data of tensor 'encoder.blocks.0.mlp.0.weight'"});
    return cases;
}

TEST_F(ModelLoad, HeaderCountsTheFileCannotHoldFailAtOnce) {
    // Before any of these built anything, each cost seconds and gigabytes
    // (16 million generated token texts; a 2.8 GB filter bank) or a buffer
    // of the claimed tensor's size; now each fails before building it. The
    // budget turns a regression into an exception instead of a full machine.
    const std::string path = testing::TempDir() + "model-load-unholdable-" + std::to_string(getpid()) + ".bin";
    for (unholdable_case & c : unholdable_cases()) {
        ASSERT_LT(c.bytes.size(), 300u) << c.name;
        for (bool from_file : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (from_file ? " (file)" : " (memory)"));
            lines.clear();
            lines.reserve(256);

            kestu_context * ctx = nullptr;
            if (from_file) {
                FILE * f = std::fopen(path.c_str(), "wb");
                ASSERT_NE(f, nullptr);
                ASSERT_EQ(std::fwrite(c.bytes.data(), 1, c.bytes.size(), f), c.bytes.size());
                std::fclose(f);
                allocation_budget budget(16u << 20);
                ctx = kestu_init_from_file_with_params_no_state(path.c_str(), kestu_context_default_params());
            } else {
                allocation_budget budget(16u << 20);
                ctx = load(c.bytes);
            }
            EXPECT_FALSE(new_budget_exceeded) << "the load asked for more than 16 MB";
            EXPECT_EQ(ctx, nullptr);
            kestu_free(ctx);
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, std::string("kestu_model_load: ") + c.message)) << all_lines();
            EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, "kestu_init_with_params_no_state: failed to load model\n"));
            EXPECT_FALSE(logged(TEVO_LOG_LEVEL_ERROR, "exception")) << all_lines();
        }
    }
    std::remove(path.c_str());
}

// --- edge cases of the format ---------------------------------------------------

TEST_F(ModelLoad, AFileWithoutTensorRecordsLoadsWithZeroWeights) {
    kestu_writer_layout  layout;
    std::vector<uint8_t> bytes = kestu_write_model(small_recipe(1), &layout);
    bytes.resize(layout.tensors);

    kestu_context * ctx = load(bytes);
    ASSERT_NE(ctx, nullptr) << all_lines();
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_WARN,
                       "kestu_model_load: WARN no tensors loaded from model file - assuming empty model for testing\n"));
    EXPECT_EQ(ctx->model.n_loaded, 0);
    EXPECT_EQ(kestu_model_n_tensors_loaded(ctx), 0); // how callers tell such a model
    for (float v : tensor_values(ctx->model.tensors.at(QW))) {
        ASSERT_EQ(v, 0.0f);
    }
    kestu_free(ctx);
}

TEST_F(ModelLoad, TheMostLayersFitEveryGraphOfAState) {
    // 48 layers each side with every decoder layer's alignment heads: state
    // creation builds the largest graph of each kind
    kestu_model_recipe recipe = small_recipe(1);
    recipe.n_audio_state = recipe.n_text_state = 8;
    recipe.n_audio_head = recipe.n_text_head = 1;
    recipe.n_audio_ctx                     = 64;
    recipe.n_text_ctx                      = 32;
    recipe.n_audio_layer = recipe.n_text_layer = 48;
    kestu_writer_layout  layout;
    std::vector<uint8_t> bytes = kestu_write_model(recipe, &layout);
    bytes.resize(layout.tensors); // zero weights are enough to build graphs

    kestu_context_params params = kestu_context_default_params();
    params.use_gpu              = false;
    params.flash_attn           = false;
    params.dtw_token_timestamps = true;
    params.dtw_aheads_preset    = KESTU_AHEADS_N_TOP_MOST;
    params.dtw_n_top            = 48;
    kestu_context * ctx         = kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), params);
    ASSERT_NE(ctx, nullptr) << all_lines();
    EXPECT_NE(ctx->state, nullptr);
    kestu_free(ctx);
}

TEST_F(ModelLoad, FileTypeAboveOneThousandCarriesTheQuantizationVersion) {
    kestu_writer_layout  layout;
    std::vector<uint8_t> bytes = kestu_write_model(small_recipe(1), &layout);
    bytes.resize(layout.tensors); // no Q4_0 data to write, so no records
    put_hp(bytes, 10, 1002);

    kestu_context * ctx = load(bytes);
    ASSERT_NE(ctx, nullptr) << all_lines();
    EXPECT_EQ(ctx->model.hparams.ftype, 2);
    EXPECT_EQ(ctx->wtype, TEVO_TYPE_Q4_0);
    EXPECT_EQ(ctx->model.tensors.at(QW)->type, TEVO_TYPE_Q4_0);
    EXPECT_EQ(ctx->model.tensors.at("encoder.conv1.weight")->type, TEVO_TYPE_F16);
    EXPECT_EQ(ctx->model.tensors.at(BIAS)->type, TEVO_TYPE_F32);
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: ftype         = 2\n"));
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: qntvr         = 1\n"));
    kestu_free(ctx);
}

TEST_F(ModelLoad, MultilingualLargeV3VocabularyAndTypeLine) {
    // 51864 written texts in a 51866 model: the two extra ids are timestamps
    kestu_model_recipe recipe = small_recipe(1);
    recipe.n_vocab          = 51866;
    recipe.n_audio_layer    = 32;
    recipe.vocab            = kestu_writer_default_vocab(51866);
    while (recipe.vocab.size() < 51864) {
        recipe.vocab.push_back("<t" + std::to_string(recipe.vocab.size()) + ">");
    }
    kestu_writer_layout  layout;
    std::vector<uint8_t> bytes = kestu_write_model(recipe, &layout);

    kestu_context * ctx = load(bytes);
    ASSERT_NE(ctx, nullptr) << all_lines();
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: type          = 5 (large v3)\n"));
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: adding 2 extra tokens\n"));
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_model_load: n_langs       = 100\n"));
    const kestu_vocab & v = ctx->vocab;
    EXPECT_EQ(v.token_eot, 50257);
    EXPECT_EQ(v.token_sot, 50258);
    EXPECT_EQ(v.token_translate, 50359);
    EXPECT_EQ(v.token_beg, 50365);
    EXPECT_EQ(v.id_to_token.at(51864), "[_TT_1499]");
    EXPECT_EQ(v.id_to_token.at(51865), "[_TT_1500]");
    EXPECT_EQ(v.id_to_token.at(50300), "<t50300>");
    kestu_free(ctx);
}

TEST_F(ModelLoad, GeneratedSpecialAndLanguageTokenTexts) {
    // a multilingual vocabulary section that stops before the special tokens
    kestu_model_recipe recipe = small_recipe(1);
    recipe.n_vocab          = 51865;
    std::vector<uint8_t> bytes = kestu_write_model(recipe);

    kestu_context * ctx = load(bytes);
    ASSERT_NE(ctx, nullptr) << all_lines();
    const kestu_vocab & v = ctx->vocab;
    EXPECT_EQ(v.id_to_token.size(), 51865u);
    const std::pair<int32_t, const char *> expected[] = {
        {50257, "[_EOT_]"},        {50258, "[_SOT_]"},       {50259, "[_LANG_en]"}, {50260, "[_LANG_zh]"},
        {50357, "[_LANG_su]"},     {50358, "[_TRANSLATE_]"}, {50359, "[_TRANSCRIBE_]"}, {50360, "[_SOLM_]"},
        {50361, "[_PREV_]"},       {50362, "[_NOSP_]"},      {50363, "[_NOT_]"},    {50364, "[_BEG_]"},
        {50365, "[_TT_1]"},        {51864, "[_TT_1500]"},
    };
    for (const auto & [id, text] : expected) {
        EXPECT_EQ(v.id_to_token.at(id), text) << id;
        EXPECT_EQ(v.token_to_id.at(text), id) << text;
    }
    kestu_free(ctx);
}

TEST_F(ModelLoad, AVocabularyWithoutTheSingleSpaceIsRefused) {
    kestu_model_recipe recipe = small_recipe(1);
    for (int i = 0; i < 300; ++i) {
        recipe.vocab.push_back("w" + std::to_string(i));
    }
    std::vector<uint8_t> bytes = kestu_write_model(recipe);
    kestu_context *      ctx   = load(bytes);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR, "kestu_model_load: vocabulary has no single-space token\n"))
        << all_lines();
}

TEST_F(ModelLoad, WeightsAreTheWrittenOnesAfterOverrides) {
    // a weight set by name arrives unchanged (F16-exact values)
    kestu_model_recipe recipe = small_recipe(1);
    std::vector<float> q(64 * 64);
    for (size_t i = 0; i < q.size(); ++i) {
        q[i] = float(int(i % 17) - 8) * 0.125f;
    }
    recipe.overrides[QW] = q;
    std::vector<uint8_t> bytes = kestu_write_model(recipe);
    kestu_context *      ctx   = load(bytes);
    ASSERT_NE(ctx, nullptr) << all_lines();
    EXPECT_EQ(tensor_values(ctx->model.tensors.at(QW)), q);
    kestu_free(ctx);
}

} // namespace
