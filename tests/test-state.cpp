// Decoding state creation: cache sizes, the batch and decoder reservations,
// one scheduler per graph kind, the alignment-head masks and their checks,
// the external-encoder hook, and the refusals of what the graphs cannot take.
// Also the worker threads that the state's runs share.

#include "kestu-impl.h"
#include "model-writer.h"
#include "process-threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct captured {
    std::vector<std::string> lines;

    bool has(const std::string & text) const {
        for (const std::string & l : lines) {
            if (l == text) {
                return true;
            }
        }
        return false;
    }
    bool has_prefix(const std::string & text) const {
        for (const std::string & l : lines) {
            if (l.compare(0, text.size(), text) == 0) {
                return true;
            }
        }
        return false;
    }
};

void capture(enum tevo_log_level, const char * text, void * user_data) {
    static_cast<captured *>(user_data)->lines.push_back(text);
}

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
using ctx_ptr = std::unique_ptr<kestu_context, ctx_deleter>;

// four text layers of six heads, so that the alignment-head checks have
// something to refuse
kestu_model_recipe model_recipe(int n_audio_ctx = 64, int n_text_ctx = 32) {
    kestu_model_recipe sp;
    sp.n_audio_ctx   = n_audio_ctx;
    sp.n_audio_state = 96;
    sp.n_audio_head  = 6;
    sp.n_audio_layer = 1;
    sp.n_text_ctx    = n_text_ctx;
    sp.n_text_state  = 96;
    sp.n_text_head   = 6;
    sp.n_text_layer  = 4;
    sp.ftype         = 1;
    return sp;
}

// a context without its state, so that each test makes the state itself
ctx_ptr load(const kestu_model_recipe & sp, const kestu_context_params & params) {
    std::vector<uint8_t> image = kestu_write_model(sp);
    return ctx_ptr(kestu_init_from_buffer_with_params_no_state(image.data(), image.size(), params));
}

class State : public ::testing::Test {
protected:
    captured log;
    void SetUp() override { kestu_log_set(capture, &log); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }
};

TEST_F(State, CachesArePaddedTo256CellsAndEverythingIsReserved) {
    const kestu_model_recipe sp  = model_recipe(1500, 448);
    ctx_ptr                ctx = load(sp, kestu_context_default_params());
    ASSERT_NE(ctx, nullptr);
    log.lines.clear();

    kestu_state * state = kestu_init_state(ctx.get());
    ASSERT_NE(state, nullptr);

    EXPECT_EQ(state->kv_self.size, 512u);
    EXPECT_EQ(state->kv_cross.size, 1536u);
    EXPECT_EQ(state->kv_pad.size, 1536u);
    EXPECT_EQ(tevo_nelements(state->kv_self.k), 96 * 4 * 512);
    EXPECT_EQ(tevo_nelements(state->kv_cross.v), 96 * 4 * 1536);
    EXPECT_EQ(tevo_nelements(state->kv_pad.k), 96 * 1536);
    EXPECT_EQ(state->kv_self.k->type, TEVO_TYPE_F16);
    EXPECT_EQ(state->kv_self_n_decoders, 1);
    for (const kestu_kv_cell & c : state->kv_self.cells) {
        ASSERT_EQ(c.pos, -1);
        ASSERT_TRUE(c.seq_id.empty());
    }

    EXPECT_GE(state->logits.capacity(), (size_t) 51864 * 448);
    ASSERT_NE(state->batch.token, nullptr);
    EXPECT_EQ(state->batch.seq_id[448], nullptr);
    for (int i = 0; i < 448; ++i) {
        ASSERT_NE(state->batch.seq_id[i], nullptr);
    }

    const kestu_decoder & d0 = state->decoders[0];
    EXPECT_GE(d0.sequence.tokens.capacity(), 448u);
    EXPECT_GE(d0.probs.capacity(), 51864u);
    EXPECT_GE(d0.logprobs.capacity(), 51864u);
    EXPECT_GE(d0.logits_id.capacity(), 51864u);
    std::mt19937 seeded0(0), seeded_default;
    EXPECT_EQ(state->decoders[0].rng, seeded0);
    EXPECT_EQ(state->decoders[1].rng, seeded_default);

    for (const kestu_sched * s : { &state->sched_conv, &state->sched_encode, &state->sched_cross,
                                   &state->sched_decode }) {
        EXPECT_NE(s->sched, nullptr);
        EXPECT_EQ(s->meta.size(), tevo_tensor_overhead() * 4096 + tevo_graph_overhead());
        EXPECT_GT(sched_buffer_size(*s), s->meta.size());
    }
    EXPECT_EQ(state->backends.size(), 1u);

    EXPECT_TRUE(log.has_prefix("kestu_init_state: kv self size  = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: kv cross size = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: kv pad  size  = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: compute buffer (conv)   = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: compute buffer (encode) = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: compute buffer (cross)  = "));
    EXPECT_TRUE(log.has_prefix("kestu_init_state: compute buffer (decode) = "));

    kestu_free_state(state);
}

TEST_F(State, NullInputsAreHarmless) {
    kestu_free_state(nullptr);
    EXPECT_EQ(kestu_init_state(nullptr), nullptr);
}

kestu_alignment_head g_layer5[]   = { { 4, 0 } };
kestu_alignment_head g_neg_layer[] = { { -1, 0 } };
kestu_alignment_head g_head7[]    = { { 1, 6 } };
kestu_alignment_head g_neg_head[] = { { 1, -2 } };

TEST_F(State, AlignmentHeadChecksRefuseTheState) {
    struct Case {
        int                          preset; // as a C caller may store it
        int                          n_top;
        kestu_alignment_heads        heads;
        const char *                 message;
    };
    const Case cases[] = {
        { KESTU_AHEADS_NONE, -1, { 0, nullptr }, "aheads_masks_init: dtw_aheads_preset should be != DTW_AHEADS_NONE\n" },
        { KESTU_AHEADS_N_TOP_MOST, 0, { 0, nullptr }, "aheads_masks_init: dtw_n_top must be between 1 and 4 for this model." },
        { KESTU_AHEADS_N_TOP_MOST, 5, { 0, nullptr }, "aheads_masks_init: dtw_n_top must be between 1 and 4 for this model." },
        { KESTU_AHEADS_CUSTOM, -1, { 0, g_layer5 }, "aheads_masks_init: dtw_aheads.n_heads should be > 0" },
        { KESTU_AHEADS_CUSTOM, -1, { 1, nullptr }, "aheads_masks_init: dtw_aheads.heads unset" },
        { KESTU_AHEADS_CUSTOM, -1, { 1, g_layer5 },
          "aheads_masks_init: tried to set alignment head on text layer 5, but model only has 4 text layers" },
        { KESTU_AHEADS_CUSTOM, -1, { 1, g_neg_layer }, "aheads_masks_init: tried to set alignment head on text layer < 0" },
        { KESTU_AHEADS_CUSTOM, -1, { 1, g_head7 },
          "aheads_masks_init: tried to set alignment head on head 7, but model only has 6 heads" },
        { KESTU_AHEADS_CUSTOM, -1, { 1, g_neg_head }, "aheads_masks_init: tried to set alignment head on head < 0" },
        { KESTU_AHEADS_PRESET_14, -1, { 0, nullptr },
          "aheads_masks_init: tried to set alignment head on head 12, but model only has 6 heads" },
        { 15, -1, { 0, nullptr }, "aheads_masks_init: unknown dtw_aheads_preset 15\n" },
        // outside what the enumeration can hold: never read as one
        { 99, -1, { 0, nullptr }, "aheads_masks_init: unknown dtw_aheads_preset 99\n" },
        { -1, -1, { 0, nullptr }, "aheads_masks_init: unknown dtw_aheads_preset -1\n" },
    };

    for (const Case & c : cases) {
        SCOPED_TRACE(c.message);
        kestu_context_params params = kestu_context_default_params();
        params.flash_attn           = false; // it turns the time warping off
        params.dtw_token_timestamps = true;
        static_assert(sizeof params.dtw_aheads_preset == sizeof c.preset, "stored as an int");
        memcpy(&params.dtw_aheads_preset, &c.preset, sizeof c.preset);
        params.dtw_n_top            = c.n_top;
        params.dtw_aheads           = c.heads;
        ctx_ptr ctx                 = load(model_recipe(), params);
        ASSERT_NE(ctx, nullptr);

        log.lines.clear();
        EXPECT_EQ(kestu_init_state(ctx.get()), nullptr);
        EXPECT_TRUE(log.has(c.message));
        EXPECT_TRUE(log.has("kestu_init_state: aheads_masks_init() failed for alignment heads masks\n"));
    }
}

// the selection matrix of a layer: [n_head, heads], 1 at (head, j)
std::vector<float> mask_of(const kestu_state & state, int il) {
    const tevo_tensor * m = state.aheads_masks.m[(size_t) il];
    std::vector<float>  data((size_t) tevo_nelements(m));
    tevo_backend_tensor_get(m, data.data(), 0, tevo_nbytes(m));
    return data;
}

TEST_F(State, AlignmentHeadMasksSelectTheListedHeads) {
    static const kestu_alignment_head heads[] = { { 1, 2 }, { 3, 0 }, { 1, 4 } };

    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = false;
    params.dtw_token_timestamps = true;
    params.dtw_aheads_preset    = KESTU_AHEADS_CUSTOM;
    params.dtw_aheads           = { 3, heads };
    ctx_ptr ctx                 = load(model_recipe(), params);
    ASSERT_NE(ctx, nullptr);

    kestu_state * state = kestu_init_state(ctx.get());
    ASSERT_NE(state, nullptr);
    const std::vector<tevo_tensor *> & m = state->aheads_masks.m;
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], nullptr);
    EXPECT_EQ(m[2], nullptr);
    ASSERT_NE(m[1], nullptr);
    ASSERT_NE(m[3], nullptr);
    EXPECT_EQ(m[1]->ne[0], 6);
    EXPECT_EQ(m[1]->ne[1], 2);

    std::vector<float> expect1(12, 0.0f);
    expect1[0 * 6 + 2] = 1.0f;
    expect1[1 * 6 + 4] = 1.0f;
    EXPECT_EQ(mask_of(*state, 1), expect1);
    std::vector<float> expect3(6, 0.0f);
    expect3[0] = 1.0f;
    EXPECT_EQ(mask_of(*state, 3), expect3);

    EXPECT_EQ(tensor_list_nbytes(m), (12u + 6u) * sizeof(float));
    EXPECT_TRUE(log.has("kestu_init_state: alignment heads masks size = 72 B\n"));
    kestu_free_state(state);
}

TEST_F(State, TopMostLayersGiveEveryHead) {
    kestu_context_params params = kestu_context_default_params();
    params.dtw_aheads_preset    = KESTU_AHEADS_N_TOP_MOST;
    params.dtw_n_top            = 2;
    for (int il = 0; il < 4; ++il) {
        const std::vector<uint32_t> h = alignment_heads_for_layer(params, il, 4, 6);
        if (il < 2) {
            EXPECT_TRUE(h.empty());
        } else {
            EXPECT_EQ(h, (std::vector<uint32_t>{ 0, 1, 2, 3, 4, 5 }));
        }
    }
    params.dtw_aheads_preset = KESTU_AHEADS_NONE;
    EXPECT_TRUE(alignment_heads_for_layer(params, 3, 4, 6).empty());
}

TEST_F(State, AnExternalEncoderThatDoesNotLoadRefusesTheState) {
    ctx_ptr ctx = load(model_recipe(), kestu_context_default_params());
    ASSERT_NE(ctx, nullptr);
    log.lines.clear();

    setenv("HOLLIN_ENCODER", "/nowhere/encoder", 1);
    kestu_state * state = kestu_init_state(ctx.get());
    unsetenv("HOLLIN_ENCODER");

    EXPECT_EQ(state, nullptr);
    EXPECT_TRUE(log.has("kestu_init_state: loading Hollin encoder from '/nowhere/encoder'\n"));
    EXPECT_TRUE(log.has("kestu_init_state: failed to load Hollin encoder from '/nowhere/encoder'\n"));
    EXPECT_FALSE(log.has_prefix("kestu_init_state: compute buffer"));
}

// The cross cache is written with the audio shape and read with the text
// shape: a model where they differ would index outside it. The loader
// refuses such files; the state checks again for models made otherwise.
TEST_F(State, ModelsWhoseAudioAndTextShapesDifferAreRefused) {
    ctx_ptr ctx = load(model_recipe(), kestu_context_default_params());
    ASSERT_NE(ctx, nullptr);
    ctx->model.hparams.n_text_head = 2;
    log.lines.clear();
    EXPECT_EQ(kestu_init_state(ctx.get()), nullptr);
    EXPECT_TRUE(log.has("kestu_init_state: model shape not supported (audio 96 x 6 heads, text 96 x 2 heads)\n"));
}

// The with-state creators hand back no context when the state fails.
TEST_F(State, CreatorsWithStateReturnNothingWhenTheStateFails) {
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = false;
    params.dtw_token_timestamps = true;
    params.dtw_aheads_preset    = KESTU_AHEADS_NONE;
    std::vector<uint8_t> image  = kestu_write_model(model_recipe());
    EXPECT_EQ(kestu_init_from_buffer_with_params(image.data(), image.size(), params), nullptr);

    params.dtw_aheads_preset = KESTU_AHEADS_N_TOP_MOST;
    params.dtw_n_top         = 1;
    kestu_context * ctx      = kestu_init_from_buffer_with_params(image.data(), image.size(), params);
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->state, nullptr);
    kestu_free(ctx);
}

// ---------------------------------------------------------------------------
// graph shapes

TEST_F(State, DecoderGraphOfOneTokenOnOneCellHasAOneByOneMask) {
    ctx_ptr ctx = load(model_recipe(), kestu_context_default_params());
    ASSERT_NE(ctx, nullptr);
    kestu_state * state = kestu_init_state(ctx.get());
    ASSERT_NE(state, nullptr);

    state->kv_self.n    = 1;
    state->kv_self.head = 0;
    tevo_cgraph * gf    = kestu_build_decoder_graph(*ctx, *state, 1, false, false);
    tevo_tensor * mask  = tevo_graph_get_tensor(gf, "KQ_mask");
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(mask->ne[0], 1);
    EXPECT_EQ(mask->ne[1], 1);
    EXPECT_EQ(mask->ne[2], 1);
    // the logits are the last node: [n_vocab, n_tokens]
    tevo_tensor * logits = tevo_graph_node(gf, -1);
    EXPECT_EQ(logits->ne[0], 51864);
    EXPECT_EQ(logits->ne[1], 1);
    kestu_free_state(state);
}

// The fused attention sees exactly the window's positions of the padded
// caches: 1500 of 1536.
TEST_F(State, FusedAttentionViewsExactlyTheWindow) {
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = true;
    ctx_ptr ctx                 = load(model_recipe(1500, 32), params);
    ASSERT_NE(ctx, nullptr);
    kestu_state * state = kestu_init_state(ctx.get());
    ASSERT_NE(state, nullptr);

    auto fused_key_lengths = [](tevo_cgraph * gf) {
        std::vector<int64_t> n;
        for (int i = 0; i < tevo_graph_n_nodes(gf); ++i) {
            const tevo_tensor * t = tevo_graph_node(gf, i);
            if (t->op == TEVO_OP_FLASH_ATTN_EXT) {
                n.push_back(t->src[1]->ne[1]);
                EXPECT_EQ(t->src[2]->ne[1], t->src[1]->ne[1]);
            }
        }
        return n;
    };

    // the encoder graph needs the stem's output record
    kestu_build_conv_graph(*ctx, *state);
    EXPECT_EQ(fused_key_lengths(kestu_build_encoder_graph(*ctx, *state)), std::vector<int64_t>(1, 1500));

    state->exp_n_audio_ctx = 700;
    kestu_build_conv_graph(*ctx, *state);
    EXPECT_EQ(fused_key_lengths(kestu_build_encoder_graph(*ctx, *state)), std::vector<int64_t>(1, 700));

    // decoder: self-attention over kv_self's n cells, cross over the window
    state->kv_self.n    = 3;
    state->kv_self.head = 2;
    EXPECT_EQ(fused_key_lengths(kestu_build_decoder_graph(*ctx, *state, 1, false, false)),
              (std::vector<int64_t>{ 3, 700, 3, 700, 3, 700, 3, 700 }));
    kestu_free_state(state);
}

TEST_F(State, AlignmentWeightsEnterTheGraphOnlyWhenSaved) {
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = false;
    params.dtw_token_timestamps = true;
    params.dtw_aheads_preset    = KESTU_AHEADS_N_TOP_MOST;
    params.dtw_n_top            = 2;
    ctx_ptr ctx                 = load(model_recipe(), params);
    ASSERT_NE(ctx, nullptr);
    kestu_state * state = kestu_init_state(ctx.get());
    ASSERT_NE(state, nullptr);

    state->kv_self.n       = 2;
    state->aheads_cross_QKs = nullptr;
    const int n_without = tevo_graph_n_nodes(kestu_build_decoder_graph(*ctx, *state, 2, false, false));
    EXPECT_EQ(state->aheads_cross_QKs, nullptr);

    tevo_cgraph * gf     = kestu_build_decoder_graph(*ctx, *state, 2, true, false);
    const int     n_with = tevo_graph_n_nodes(gf);
    EXPECT_GT(n_with, n_without);
    ASSERT_NE(state->aheads_cross_QKs, nullptr);
    // [n_tokens, n_audio, heads of the two top layers]
    EXPECT_EQ(state->aheads_cross_QKs->ne[0], 2);
    EXPECT_EQ(state->aheads_cross_QKs->ne[1], 64);
    EXPECT_EQ(state->aheads_cross_QKs->ne[2], 12);
    kestu_free_state(state);
}

// ---------------------------------------------------------------------------
// worker threads

using process_threads_test::process_threads;
using process_threads_test::threads_beyond;

// what a window of the state gives: the encoder output, the logits of a
// prompt's last token and of one more step, and a whole transcription's tokens
struct run_output {
    std::vector<float>       enc;
    std::vector<float>       logits;
    std::vector<kestu_token> tokens;
};

run_output run_window(kestu_context * ctx, kestu_state * state, const std::vector<float> & audio, int n_threads) {
    run_output out;
    const kestu_full_params fp = [&] {
        kestu_full_params p = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
        p.n_threads         = n_threads;
        p.no_timestamps     = true;
        p.log_progress      = false;
        p.language          = "en";
        p.temperature_step  = 0.0f; // one attempt: no fallback
        return p;
    }();
    EXPECT_EQ(kestu_full_with_state(ctx, state, fp, audio.data(), (int) audio.size()), 0);
    for (int i = 0; i < kestu_full_n_segments_from_state(state); ++i) {
        for (int j = 0; j < kestu_full_n_tokens_from_state(state, i); ++j) {
            out.tokens.push_back(kestu_full_get_token_id_from_state(state, i, j));
        }
    }

    EXPECT_EQ(kestu_encode_with_state(ctx, state, 0, n_threads), 0);
    out.enc.resize((size_t) tevo_nelements(state->embd_enc));
    tevo_backend_tensor_get(state->embd_enc, out.enc.data(), 0, out.enc.size() * sizeof(float));
    const kestu_token prompt[4] = { 50257, 50362, 1000, 123 };
    EXPECT_EQ(kestu_decode_with_state(ctx, state, prompt, 3, 0, n_threads), 0);
    EXPECT_EQ(kestu_decode_with_state(ctx, state, prompt + 3, 1, 3, n_threads), 0);
    out.logits = state->logits;
    return out;
}

// The encoder's and decoder's runs share worker threads that the state keeps:
// runs at n threads leave n - 1 of them, the same ones after every further
// run; another count replaces them; freeing the state joins them. Every
// thread count gives the one-thread results bit for bit.
TEST_F(State, RunsShareTheStatesWorkerThreadsAndGiveTheOneThreadResults) {
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = true;
    ctx_ptr ctx                 = load(model_recipe(), params);
    ASSERT_NE(ctx, nullptr);

    std::mt19937                          rng(5);
    std::uniform_real_distribution<float> dist(-0.2f, 0.2f);
    std::vector<float>                    audio(16000);
    for (float & v : audio) {
        v = dist(rng);
    }

    // the thread sanitizer's runtime starts a thread of its own with the
    // first thread made: let that happen before any count is taken
    std::thread([] {}).join();

    const int  cores = (int) std::thread::hardware_concurrency();
    run_output one_thread;
    for (int n_threads : { 1, 2, 4 }) {
        if (n_threads > 1 && n_threads > cores) {
            continue;
        }
        SCOPED_TRACE("threads " + std::to_string(n_threads));
        const std::set<long> before = process_threads();
        ASSERT_FALSE(before.empty());

        kestu_state * state = kestu_init_state(ctx.get());
        ASSERT_NE(state, nullptr);
        std::set<long> workers;
        for (int round = 0; round < 2; ++round) {
            const run_output out = run_window(ctx.get(), state, audio, n_threads);
            if (one_thread.enc.empty()) {
                one_thread = out;
                EXPECT_FALSE(one_thread.tokens.empty());
            }
            EXPECT_EQ(out.tokens, one_thread.tokens) << "round " << round;
            EXPECT_EQ(out.enc, one_thread.enc) << "round " << round;
            EXPECT_EQ(out.logits, one_thread.logits) << "round " << round;

            const std::set<long> extra = threads_beyond(before);
            EXPECT_EQ(extra.size(), (size_t) (n_threads - 1)) << "round " << round;
            if (round == 0) {
                workers = extra;
            }
            EXPECT_EQ(extra, workers) << "round " << round;
        }

        if (n_threads > 2) {
            EXPECT_EQ(kestu_encode_with_state(ctx.get(), state, 0, 2), 0);
            EXPECT_EQ(threads_beyond(before).size(), 1u);
        }

        kestu_free_state(state);
        EXPECT_EQ(process_threads(), before);
    }
}

} // namespace
