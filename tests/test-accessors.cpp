// Getters of the model, the context and the results, on a context and a
// state filled by hand: plain reads, the voice-activity time mapping of
// segments and tokens, token texts that never grow the vocabulary, indexes
// outside the results, and contexts without a default state.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

kestu_token_data token(kestu_token id, float p, int64_t t0, int64_t t1) {
    kestu_token_data d{};
    d.id           = id;
    d.timestamp_id = -1;
    d.p            = p;
    d.t0           = t0;
    d.t1           = t1;
    d.t_dtw        = -1;
    return d;
}

class Accessors : public ::testing::Test {
protected:
    kestu_context ctx;
    kestu_state   state;
    std::vector<captured_line> lines;

    void SetUp() override {
        ctx.vocab.id_to_token = {{0, "a"}, {1, " b"}, {2, "c"}};
        ctx.vocab.token_to_id = {{"a", 0}, {" b", 1}, {"c", 2}};

        kestu_segment s0;
        s0.t0 = 50;
        s0.t1 = 100;
        s0.text = " a b";
        s0.no_speech_prob = 0.25f;
        s0.speaker_turn_next = true;
        s0.tokens = {token(0, 0.5f, 50, 75), token(1, 0.75f, 75, 100)};

        kestu_segment s1;
        s1.t0 = 100;
        s1.t1 = 300;
        s1.text = " c";
        s1.no_speech_prob = 0.5f;
        s1.speaker_turn_next = false;
        s1.tokens = {token(2, 0.125f, 100, 300), token(77, 0.0625f, 300, 300)}; // 77 has no text

        state.result = {s0, s1};
        state.lang_id = 2;
        state.mel.n_len_org = 1234;
        state.logits = {1.0f, 2.0f};
        ctx.state = &state;

        kestu_log_set(capture, &lines);
    }
    void TearDown() override {
        ctx.state = nullptr; // the state belongs to the fixture
        kestu_log_set(nullptr, nullptr);
    }
};

TEST_F(Accessors, ModelAndContextValues) {
    kestu_hparams & hp = ctx.model.hparams;
    hp.n_vocab = 51865;
    hp.n_audio_ctx = 1500;
    hp.n_audio_state = 512;
    hp.n_audio_head = 8;
    hp.n_audio_layer = 6;
    hp.n_text_ctx = 448;
    hp.n_text_state = 384;
    hp.n_text_head = 6;
    hp.n_text_layer = 2;
    hp.n_mels = 128;
    hp.ftype = 1;
    ctx.model.type = 2;
    ctx.model.n_loaded = 17;
    ctx.vocab.n_vocab = 51866;

    EXPECT_EQ(kestu_model_n_vocab(&ctx), 51865);
    EXPECT_EQ(kestu_model_n_audio_ctx(&ctx), 1500);
    EXPECT_EQ(kestu_model_n_audio_state(&ctx), 512);
    EXPECT_EQ(kestu_model_n_audio_head(&ctx), 8);
    EXPECT_EQ(kestu_model_n_audio_layer(&ctx), 6);
    EXPECT_EQ(kestu_model_n_text_ctx(&ctx), 448);
    EXPECT_EQ(kestu_model_n_text_state(&ctx), 384);
    EXPECT_EQ(kestu_model_n_text_head(&ctx), 6);
    EXPECT_EQ(kestu_model_n_text_layer(&ctx), 2);
    EXPECT_EQ(kestu_model_n_mels(&ctx), 128);
    EXPECT_EQ(kestu_model_ftype(&ctx), 1);
    EXPECT_EQ(kestu_model_type(&ctx), 2);
    EXPECT_STREQ(kestu_model_type_readable(&ctx), "base");
    EXPECT_EQ(kestu_model_n_tensors_loaded(&ctx), 17);
    EXPECT_EQ(kestu_n_vocab(&ctx), 51866); // the vocabulary's own count
    EXPECT_EQ(kestu_n_text_ctx(&ctx), 448);
    EXPECT_EQ(kestu_n_audio_ctx(&ctx), 1500);
    EXPECT_EQ(kestu_n_len(&ctx), 1234);
    EXPECT_EQ(kestu_n_len_from_state(&state), 1234);
    EXPECT_EQ(kestu_get_logits(&ctx), state.logits.data());
    EXPECT_EQ(kestu_get_logits_from_state(&state), state.logits.data());
}

TEST_F(Accessors, ModelTypeNamesAndMultilingualThreshold) {
    const char * names[] = {"unknown", "tiny", "base", "small", "medium", "large", "unknown", "unknown"};
    const int classes[]  = {0, 1, 2, 3, 4, 5, 6, -1};
    for (int i = 0; i < 8; i++) {
        ctx.model.type = classes[i];
        EXPECT_STREQ(kestu_model_type_readable(&ctx), names[i]) << classes[i];
    }
    for (int n : {51864, 51865, 51866}) {
        ctx.vocab.n_vocab = n;
        EXPECT_EQ(kestu_is_multilingual(&ctx), n > 51864 ? 1 : 0) << n;
    }
}

TEST_F(Accessors, ResultsAsStoredWithoutThePreFilter) {
    // stale voice-activity lists are ignored while the flag is off
    state.vad_mapping_table = {{0, 1000}, {500, 2000}};
    state.vad_segments      = {{1000, 2000, 0, 500}};
    state.has_vad_segments  = false;

    EXPECT_EQ(kestu_full_n_segments(&ctx), 2);
    EXPECT_EQ(kestu_full_n_segments_from_state(&state), 2);
    EXPECT_EQ(kestu_full_lang_id(&ctx), 2);
    EXPECT_EQ(kestu_full_lang_id_from_state(&state), 2);

    EXPECT_EQ(kestu_full_get_segment_t0(&ctx, 0), 50);
    EXPECT_EQ(kestu_full_get_segment_t1(&ctx, 0), 100);
    EXPECT_EQ(kestu_full_get_segment_t0_from_state(&state, 1), 100);
    EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, 1), 300);
    EXPECT_TRUE(kestu_full_get_segment_speaker_turn_next(&ctx, 0));
    EXPECT_FALSE(kestu_full_get_segment_speaker_turn_next_from_state(&state, 1));
    EXPECT_STREQ(kestu_full_get_segment_text(&ctx, 0), " a b");
    EXPECT_STREQ(kestu_full_get_segment_text_from_state(&state, 1), " c");
    EXPECT_EQ(kestu_full_get_segment_no_speech_prob(&ctx, 0), 0.25f);
    EXPECT_EQ(kestu_full_get_segment_no_speech_prob_from_state(&state, 1), 0.5f);

    EXPECT_EQ(kestu_full_n_tokens(&ctx, 0), 2);
    EXPECT_EQ(kestu_full_n_tokens_from_state(&state, 1), 2);
    EXPECT_STREQ(kestu_full_get_token_text(&ctx, 0, 1), " b");
    EXPECT_STREQ(kestu_full_get_token_text_from_state(&ctx, &state, 1, 0), "c");
    EXPECT_EQ(kestu_full_get_token_id(&ctx, 0, 1), 1);
    EXPECT_EQ(kestu_full_get_token_id_from_state(&state, 1, 1), 77);
    EXPECT_EQ(kestu_full_get_token_p(&ctx, 0, 0), 0.5f);
    EXPECT_EQ(kestu_full_get_token_p_from_state(&state, 1, 0), 0.125f);
    const kestu_token_data d = kestu_full_get_token_data(&ctx, 0, 1);
    EXPECT_EQ(d.id, 1);
    EXPECT_EQ(d.p, 0.75f);
    EXPECT_EQ(d.t0, 75);
    EXPECT_EQ(d.t1, 100);
    EXPECT_EQ(kestu_full_get_token_data_from_state(&state, 1, 0).id, 2);
    EXPECT_EQ(kestu_full_get_token_t0(&ctx, 0, 1), 75);
    EXPECT_EQ(kestu_full_get_token_t1(&ctx, 0, 1), 100);
    // an empty token is reported as stored when nothing is mapped
    EXPECT_EQ(kestu_full_get_token_t0_from_state(&state, 1, 1), 300);
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 1, 1), 300);

    EXPECT_EQ(kestu_full_n_vad_segments(&ctx), 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(Accessors, TokenTextOfAnIdWithoutTextIsEmptyAndTheMapsStayAsTheyWere) {
    const size_t n_id_to_token = ctx.vocab.id_to_token.size();
    const size_t n_token_to_id = ctx.vocab.token_to_id.size();
    EXPECT_STREQ(kestu_full_get_token_text(&ctx, 1, 1), "");
    EXPECT_STREQ(kestu_full_get_token_text_from_state(&ctx, &state, 1, 1), "");
    EXPECT_EQ(ctx.vocab.id_to_token.size(), n_id_to_token);
    EXPECT_EQ(ctx.vocab.token_to_id.size(), n_token_to_id);
    EXPECT_EQ(ctx.vocab.id_to_token.count(77), 0u);

    EXPECT_STREQ(kestu_token_to_str(&ctx, 1), " b");
    lines.clear();
    EXPECT_EQ(kestu_token_to_str(&ctx, 77), nullptr);
    EXPECT_EQ(ctx.vocab.id_to_token.size(), n_id_to_token);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "kestu_token_to_str: unknown token id 77\n");
}

// segment times through the time-mapping table
TEST_F(Accessors, SegmentTimesMapThroughTheTable) {
    state.has_vad_segments  = true;
    state.vad_segments      = {{0, 600, 0, 200}}; // token mapping needs a list too
    state.vad_mapping_table = {{0, 0}, {100, 500}, {200, 600}};

    const struct {
        int64_t t;
        int64_t mapped;
    } cases[] = {{50, 250}, {100, 500}, {300, 600}, {-5, 0}, {0, 0}, {200, 600}, {150, 550}, {1, 5}};
    for (const auto & c : cases) {
        state.result[0].t0 = c.t;
        state.result[0].t1 = 100000; // far end: never shortened
        EXPECT_EQ(kestu_full_get_segment_t0_from_state(&state, 0), c.mapped) << c.t;
        EXPECT_EQ(kestu_full_get_segment_t0(&ctx, 0), c.mapped) << c.t;
    }

    // equal processed times: the point before wins
    state.vad_mapping_table = {{0, 0}, {100, 700}, {100, 900}, {200, 1000}};
    state.result[0].t0 = 100;
    EXPECT_EQ(kestu_full_get_segment_t0_from_state(&state, 0), 700);
    state.result[0].t0 = 150;
    EXPECT_EQ(kestu_full_get_segment_t0_from_state(&state, 0), 950);
}

TEST_F(Accessors, MappedSegmentsLastAtLeastTenCentiseconds) {
    state.has_vad_segments  = true;
    state.vad_segments      = {{0, 600, 0, 200}};
    state.vad_mapping_table = {{0, 0}, {100, 500}, {200, 600}};

    // mapped start 500, end 505: reported end 510
    state.result[0].t0 = 100;
    state.result[0].t1 = 105;
    EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, 0), 510);
    EXPECT_EQ(kestu_full_get_segment_t1(&ctx, 0), 510);
    // 500 .. 510 is long enough already
    state.result[0].t1 = 110;
    EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, 0), 510);
    state.result[0].t1 = 150;
    EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, 0), 550);
    // both ends past the table: 600 and 600
    state.result[0].t0 = 400;
    state.result[0].t1 = 500;
    EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, 0), 610);
}

// token times through the speech segments
TEST_F(Accessors, TokenTimesMapThroughTheSpeechSegments) {
    state.has_vad_segments  = true;
    state.vad_mapping_table = {{0, 0}};

    const struct {
        std::vector<vad_segment_info> segments;
        int64_t t;
        int64_t mapped;
    } cases[] = {
        {{{1000, 1200, 0, 200}, {3000, 3100, 200, 300}}, 100, 1100},
        {{{1000, 1200, 0, 200}, {3000, 3100, 200, 300}}, 250, 3050},
        {{{1000, 1200, 0, 200}, {3000, 3100, 200, 300}}, 0, 1000},
        {{{1000, 1200, 0, 200}, {3000, 3100, 200, 300}}, 400, 3100},
        {{{1000, 1200, 0, 200}, {3000, 3100, 200, 300}}, 200, 1200}, // the shared edge: first segment
        {{{1000, 1200, 0, 200}, {3000, 3100, 210, 300}}, 204, 1200}, // gap, mid 205
        {{{1000, 1200, 0, 200}, {3000, 3100, 210, 300}}, 205, 1200},
        {{{1000, 1200, 0, 200}, {3000, 3100, 210, 300}}, 206, 3000},
        {{{1000, 1200, 10, 200}}, -3, 1000},
        {{{1000, 1200, 10, 200}}, -1, -1}, // never set: not mapped
        {{{1000, 1000, 50, 50}, {2000, 2100, 60, 100}}, 56, 2000}, // gap after an empty segment, mid 55
        {{{0, 100, 0, 40}, {1000, 1000, 50, 50}, {2000, 2100, 60, 100}}, 50, 1000}, // inside an empty one
    };
    for (const auto & c : cases) {
        state.vad_segments = c.segments;
        state.result[0].tokens[0].t0 = c.t;
        state.result[0].tokens[0].t1 = 100000;
        EXPECT_EQ(kestu_full_get_token_t0_from_state(&state, 0, 0), c.mapped) << c.t;
        EXPECT_EQ(kestu_full_get_token_t0(&ctx, 0, 0), c.mapped) << c.t;
    }
}

TEST_F(Accessors, MappedTokensEndAfterTheyStart) {
    state.has_vad_segments  = true;
    state.vad_mapping_table = {{0, 0}};
    state.vad_segments      = {{1000, 1200, 0, 200}, {3000, 3100, 210, 300}};

    // both ends in the gap map to 1200: the end is reported as 1201
    state.result[0].tokens[0].t0 = 201;
    state.result[0].tokens[0].t1 = 204;
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 0, 0), 1201);
    EXPECT_EQ(kestu_full_get_token_t1(&ctx, 0, 0), 1201);
    // a start mapped after the end also gives start + 1
    state.result[0].tokens[0].t0 = 250;
    state.result[0].tokens[0].t1 = 100;
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 0, 0), 3045); // 3000 + 100 * 40 / 90, plus 1
    state.result[0].tokens[0].t0 = 100;
    state.result[0].tokens[0].t1 = 250;
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 0, 0), 3044);
    // an end never set stays unset; a start never set is not mapped either
    state.result[0].tokens[0].t0 = 100;
    state.result[0].tokens[0].t1 = -1;
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 0, 0), -1);
    state.result[0].tokens[0].t0 = -1;
    state.result[0].tokens[0].t1 = 0;
    EXPECT_EQ(kestu_full_get_token_t1_from_state(&state, 0, 0), 1000);
}

TEST_F(Accessors, SpeechSegmentsOfThePreFilter) {
    state.vad_segments = {{1000, 1200, 0, 200}, {3000, 3100, 210, 300}};
    state.has_vad_segments = true;
    EXPECT_EQ(kestu_full_n_vad_segments(&ctx), 2);
    EXPECT_EQ(kestu_full_n_vad_segments_from_state(&state), 2);
    EXPECT_EQ(kestu_full_get_vad_segment_t0(&ctx, 1), 3000);
    EXPECT_EQ(kestu_full_get_vad_segment_t1(&ctx, 1), 3100);
    EXPECT_EQ(kestu_full_get_vad_segment_t0_from_state(&state, 0), 1000);
    EXPECT_EQ(kestu_full_get_vad_segment_t1_from_state(&state, 0), 1200);
    EXPECT_TRUE(lines.empty());

    EXPECT_EQ(kestu_full_get_vad_segment_t0_from_state(&state, 2), 0);
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(Accessors, IndexesOutsideTheResultsLogAndGiveTheFailureValue) {
    const int bad_segments[] = {-1, 2, 1000};
    for (int i : bad_segments) {
        SCOPED_TRACE(i);
        lines.clear();
        EXPECT_EQ(kestu_full_get_segment_t0(&ctx, i), 0);
        EXPECT_EQ(kestu_full_get_segment_t1_from_state(&state, i), 0);
        EXPECT_FALSE(kestu_full_get_segment_speaker_turn_next(&ctx, i));
        EXPECT_EQ(kestu_full_get_segment_text(&ctx, i), nullptr);
        EXPECT_EQ(kestu_full_get_segment_no_speech_prob(&ctx, i), 0.0f);
        EXPECT_EQ(kestu_full_n_tokens(&ctx, i), 0);
        EXPECT_EQ(kestu_full_get_token_id(&ctx, i, 0), -1);
        EXPECT_EQ(kestu_full_get_token_text(&ctx, i, 0), nullptr);
        EXPECT_EQ(lines.size(), 8u);
        for (const auto & l : lines) {
            EXPECT_EQ(l.level, TEVO_LOG_LEVEL_ERROR);
            EXPECT_NE(l.text.find("segment " + std::to_string(i) + " out of range (2 segments)"),
                      std::string::npos)
                << l.text;
        }
    }
    for (int i : {-1, 2}) {
        SCOPED_TRACE(i);
        lines.clear();
        EXPECT_EQ(kestu_full_get_token_id_from_state(&state, 0, i), -1);
        EXPECT_EQ(kestu_full_get_token_p(&ctx, 0, i), 0.0f);
        EXPECT_EQ(kestu_full_get_token_t0(&ctx, 0, i), 0);
        EXPECT_EQ(kestu_full_get_token_t1(&ctx, 0, i), 0);
        EXPECT_EQ(kestu_full_get_token_text_from_state(&ctx, &state, 0, i), nullptr);
        const kestu_token_data d = kestu_full_get_token_data(&ctx, 0, i);
        EXPECT_EQ(d.id, -1);
        EXPECT_EQ(d.t0, -1);
        EXPECT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[0].text, "kestu_full_get_token_id_from_state: token " + std::to_string(i) +
                                     " out of range (2 tokens in segment 0)\n");
    }
}

TEST_F(Accessors, ContextFormsWithoutADefaultStateLogAndGiveTheFailureValue) {
    ctx.state = nullptr;
    EXPECT_EQ(kestu_n_len(&ctx), 0);
    EXPECT_EQ(kestu_get_logits(&ctx), nullptr);
    EXPECT_EQ(kestu_full_n_segments(&ctx), 0);
    EXPECT_EQ(kestu_full_lang_id(&ctx), -1);
    EXPECT_EQ(kestu_full_get_segment_t0(&ctx, 0), 0);
    EXPECT_EQ(kestu_full_get_segment_t1(&ctx, 0), 0);
    EXPECT_FALSE(kestu_full_get_segment_speaker_turn_next(&ctx, 0));
    EXPECT_EQ(kestu_full_get_segment_text(&ctx, 0), nullptr);
    EXPECT_EQ(kestu_full_get_segment_no_speech_prob(&ctx, 0), 0.0f);
    EXPECT_EQ(kestu_full_n_tokens(&ctx, 0), 0);
    EXPECT_EQ(kestu_full_get_token_text(&ctx, 0, 0), nullptr);
    EXPECT_EQ(kestu_full_get_token_id(&ctx, 0, 0), -1);
    EXPECT_EQ(kestu_full_get_token_data(&ctx, 0, 0).id, -1);
    EXPECT_EQ(kestu_full_get_token_p(&ctx, 0, 0), 0.0f);
    EXPECT_EQ(kestu_full_get_token_t0(&ctx, 0, 0), 0);
    EXPECT_EQ(kestu_full_get_token_t1(&ctx, 0, 0), 0);
    EXPECT_EQ(kestu_full_n_vad_segments(&ctx), 0);
    EXPECT_EQ(kestu_full_get_vad_segment_t0(&ctx, 0), 0);
    EXPECT_EQ(kestu_full_get_vad_segment_t1(&ctx, 0), 0);

    const char * names[] = {
        "kestu_n_len", "kestu_get_logits", "kestu_full_n_segments", "kestu_full_lang_id",
        "kestu_full_get_segment_t0", "kestu_full_get_segment_t1", "kestu_full_get_segment_speaker_turn_next",
        "kestu_full_get_segment_text", "kestu_full_get_segment_no_speech_prob", "kestu_full_n_tokens",
        "kestu_full_get_token_text", "kestu_full_get_token_id", "kestu_full_get_token_data",
        "kestu_full_get_token_p", "kestu_full_get_token_t0", "kestu_full_get_token_t1",
        "kestu_full_n_vad_segments", "kestu_full_get_vad_segment_t0", "kestu_full_get_vad_segment_t1",
    };
    ASSERT_EQ(lines.size(), sizeof(names) / sizeof(names[0]));
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].level, TEVO_LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[i].text, std::string(names[i]) + ": ERROR state was not loaded.\n");
    }
}

} // namespace
