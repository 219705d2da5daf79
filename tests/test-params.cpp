// Parameter records: every default of both records, the strategy-dependent
// decoder counts, the heap (_by_ref) twins and the default thread count.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <thread>

namespace {

// field for field, in declaration order
void expect_same(const kestu_context_params & a, const kestu_context_params & b) {
    EXPECT_EQ(a.use_gpu, b.use_gpu);
    EXPECT_EQ(a.flash_attn, b.flash_attn);
    EXPECT_EQ(a.gpu_device, b.gpu_device);
    EXPECT_EQ(a.dtw_token_timestamps, b.dtw_token_timestamps);
    EXPECT_EQ(a.dtw_aheads_preset, b.dtw_aheads_preset);
    EXPECT_EQ(a.dtw_n_top, b.dtw_n_top);
    EXPECT_EQ(a.dtw_aheads.n_heads, b.dtw_aheads.n_heads);
    EXPECT_EQ(a.dtw_aheads.heads, b.dtw_aheads.heads);
    EXPECT_EQ(a.dtw_work_memory, b.dtw_work_memory);
}

// floats compared by bits, so a NaN or a -0 would show
void expect_same_float(float a, float b, const char * name) {
    uint32_t ua, ub;
    memcpy(&ua, &a, 4);
    memcpy(&ub, &b, 4);
    EXPECT_EQ(ua, ub) << name << ": " << a << " vs " << b;
}

void expect_same(const kestu_full_params & a, const kestu_full_params & b) {
#define SAME(f) EXPECT_EQ(a.f, b.f) << #f
#define SAME_F(f) expect_same_float(a.f, b.f, #f)
    EXPECT_EQ(kestu_strategy_of(a), kestu_strategy_of(b)) << "sampling_strategy";
    SAME(n_threads);
    SAME(max_past_text_tokens);
    SAME(start_offset_ms);
    SAME(process_duration_ms);
    SAME(translate_task);
    SAME(discard_past_text);
    SAME(no_timestamps);
    SAME(one_segment_per_window);
    SAME(log_special_tokens);
    SAME(log_progress);
    SAME(log_segments_live);
    SAME(log_segment_times);
    SAME(compute_token_times);
    SAME_F(timestamp_p_threshold);
    SAME_F(timestamp_p_sum_threshold);
    SAME(max_segment_chars);
    SAME(wrap_at_word_boundary);
    SAME(max_segment_tokens);
    SAME(debug_switch);
    SAME(audio_ctx);
    SAME(speaker_turn_detection);
    SAME(suppress_pattern);
    SAME(prompt_text);
    SAME(repeat_prompt_text);
    SAME(prompt_token_ids);
    SAME(prompt_token_count);
    SAME(language); // the same library constant, not just equal text
    SAME(detect_language_only);
    SAME(suppress_leading_blank);
    SAME(suppress_non_speech);
    SAME_F(start_temperature);
    SAME_F(first_timestamp_limit);
    SAME_F(beam_length_penalty);
    SAME_F(temperature_step);
    SAME_F(entropy_threshold);
    SAME_F(avg_logprob_threshold);
    SAME_F(no_speech_threshold);
    SAME(greedy_candidates);
    SAME(beam_width);
    SAME_F(beam_patience);
    SAME(on_new_segment);
    SAME(on_new_segment_user_data);
    SAME(on_progress);
    SAME(on_progress_user_data);
    SAME(encoder_begin_callback);
    SAME(encoder_begin_callback_user_data);
    SAME(on_abort);
    SAME(on_abort_user_data);
    SAME(on_logits);
    SAME(on_logits_user_data);
    SAME(grammar_rule_list);
    SAME(grammar_rule_count);
    SAME(grammar_start_rule);
    SAME_F(grammar_reject_penalty);
    SAME(use_vad);
    SAME(vad_model_file);
    SAME_F(vad_settings.speech_threshold);
    SAME(vad_settings.shortest_speech_ms);
    SAME(vad_settings.closing_silence_ms);
    SAME_F(vad_settings.longest_speech_s);
    SAME(vad_settings.segment_pad_ms);
    SAME_F(vad_settings.segment_overlap_s);
#undef SAME
#undef SAME_F
}

TEST(ContextParams, Defaults) {
    const kestu_context_params p = kestu_context_default_params();
    EXPECT_TRUE(p.use_gpu);
    EXPECT_TRUE(p.flash_attn);
    EXPECT_EQ(p.gpu_device, 0);
    EXPECT_FALSE(p.dtw_token_timestamps);
    EXPECT_EQ(p.dtw_aheads_preset, KESTU_AHEADS_NONE);
    EXPECT_EQ(p.dtw_n_top, -1);
    EXPECT_EQ(p.dtw_aheads.n_heads, 0u);
    EXPECT_EQ(p.dtw_aheads.heads, nullptr);
    EXPECT_EQ(p.dtw_work_memory, 134217728u);
}

TEST(ContextParams, ByRefEqualsByValueAndFrees) {
    kestu_context_params * p = kestu_context_default_params_by_ref();
    ASSERT_NE(p, nullptr);
    expect_same(*p, kestu_context_default_params());
    kestu_free_context_params(p);
    kestu_free_context_params(nullptr);
}

// the defaults that do not depend on the strategy, as literals
kestu_full_params expected_full_defaults() {
    kestu_full_params e;
    memset(&e, 0, sizeof(e)); // every pointer, callback and user-data field null
    e.n_threads                 = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    e.max_past_text_tokens      = 16384;
    e.discard_past_text         = true;
    e.log_progress              = true;
    e.log_segment_times         = true;
    e.timestamp_p_threshold     = 0.01f;
    e.timestamp_p_sum_threshold = 0.01f;
    e.suppress_leading_blank    = true;
    e.first_timestamp_limit     = 1.0f;
    e.beam_length_penalty       = -1.0f;
    e.temperature_step          = 0.2f;
    e.entropy_threshold         = 2.4f;
    e.avg_logprob_threshold     = -1.0f;
    e.no_speech_threshold       = 0.6f;
    e.greedy_candidates         = -1;
    e.beam_width                = -1;
    e.beam_patience             = -1.0f;
    e.grammar_reject_penalty    = 100.0f;
    e.vad_settings.speech_threshold   = 0.5f;
    e.vad_settings.shortest_speech_ms = 250;
    e.vad_settings.closing_silence_ms = 100;
    e.vad_settings.longest_speech_s   = 3.4028235e38f;
    e.vad_settings.segment_pad_ms     = 30;
    e.vad_settings.segment_overlap_s  = 0.1f;
    return e;
}

TEST(FullParams, EveryDefaultForEachStrategy) {
    struct {
        int strategy;
        int greedy_candidates;
        int beam_width;
    } cases[] = {
        {KESTU_SAMPLING_GREEDY, 5, -1},
        {KESTU_SAMPLING_BEAM_SEARCH, -1, 5},
        {7, -1, -1}, // not a strategy: kept, both counts stay -1
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.strategy);
        const kestu_full_params p = kestu_full_default_params((kestu_sampling_strategy) c.strategy);

        ASSERT_NE(p.language, nullptr);
        EXPECT_STREQ(p.language, "en");
        EXPECT_EQ(p.vad_settings.longest_speech_s, FLT_MAX);

        kestu_full_params e    = expected_full_defaults();
        e.sampling_strategy    = (kestu_sampling_strategy) c.strategy;
        e.greedy_candidates    = c.greedy_candidates;
        e.beam_width           = c.beam_width;
        e.language             = p.language; // checked as text above
        expect_same(p, e);
    }
}

TEST(FullParams, ByRefEqualsByValueAndFrees) {
    for (int strategy : {0, 1, 7}) {
        SCOPED_TRACE(strategy);
        kestu_full_params * p = kestu_full_default_params_by_ref((kestu_sampling_strategy) strategy);
        ASSERT_NE(p, nullptr);
        expect_same(*p, kestu_full_default_params((kestu_sampling_strategy) strategy));
        kestu_free_params(p);
    }
    kestu_free_params(nullptr);
}

TEST(FullParams, DefaultThreadCountIsAtMostFourAndAtLeastOne) {
    // a machine that reports no thread count still gets one thread
    const struct {
        unsigned int hardware;
        int expected;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 4}, {16, 4}, {~0u, 4}};
    for (const auto & c : cases) {
        EXPECT_EQ(kestu_default_n_threads(c.hardware), c.expected) << c.hardware;
    }
    EXPECT_EQ(kestu_full_default_params(KESTU_SAMPLING_GREEDY).n_threads,
              kestu_default_n_threads(std::thread::hardware_concurrency()));
}

} // namespace
