#include "kestu-impl.h"

// Parameter records and their defaults: by value, and on the heap (_by_ref)
// with a matching free. The records never own what their pointers point to;
// the language default is a constant of the library.

#include <cfloat>
#include <cstring>
#include <thread>

int kestu_default_n_threads(unsigned int hardware_threads) {
    // a machine that cannot tell its thread count reports 0; one thread
    // still works, zero would make every run fail
    const unsigned int n = hardware_threads < 4u ? hardware_threads : 4u;
    return n < 1u ? 1 : (int) n;
}

struct kestu_context_params kestu_context_default_params(void) {
    kestu_context_params result{};
    result.use_gpu              = true;
    result.flash_attn           = true;
    result.gpu_device           = 0;
    result.dtw_token_timestamps = false;
    result.dtw_aheads_preset    = KESTU_AHEADS_NONE;
    result.dtw_n_top            = -1;
    result.dtw_aheads.n_heads   = 0;
    result.dtw_aheads.heads     = nullptr;
    result.dtw_work_memory      = 1024ull * 1024 * 128;
    return result;
}

struct kestu_context_params * kestu_context_default_params_by_ref(void) {
    return new kestu_context_params(kestu_context_default_params());
}

void kestu_free_context_params(struct kestu_context_params * params) {
    delete params;
}

int kestu_strategy_of(const kestu_full_params & params) {
    int strategy = 0;
    static_assert(sizeof strategy == sizeof params.sampling_strategy, "the strategy is stored as an int");
    std::memcpy(&strategy, &params.sampling_strategy, sizeof strategy);
    return strategy;
}

int kestu_aheads_preset_of(const kestu_context_params & params) {
    int preset = 0;
    static_assert(sizeof preset == sizeof params.dtw_aheads_preset, "the preset is stored as an int");
    std::memcpy(&preset, &params.dtw_aheads_preset, sizeof preset);
    return preset;
}

struct kestu_full_params kestu_full_default_params(enum kestu_sampling_strategy strategy) {
    kestu_full_params result{}; // every pointer, callback and user-data field null

    std::memcpy(&result.sampling_strategy, &strategy, sizeof strategy); // kept as given, known or not
    result.n_threads            = kestu_default_n_threads(std::thread::hardware_concurrency());
    result.max_past_text_tokens = 16384;
    result.start_offset_ms      = 0;
    result.process_duration_ms  = 0;

    result.translate_task         = false;
    result.discard_past_text      = true;
    result.no_timestamps          = false;
    result.one_segment_per_window = false;
    result.log_special_tokens     = false;
    result.log_progress           = true;
    result.log_segments_live      = false;
    result.log_segment_times      = true;

    result.compute_token_times       = false;
    result.timestamp_p_threshold     = 0.01f;
    result.timestamp_p_sum_threshold = 0.01f;
    result.max_segment_chars         = 0;
    result.wrap_at_word_boundary     = false;
    result.max_segment_tokens        = 0;

    result.debug_switch           = false;
    result.audio_ctx              = 0;
    result.speaker_turn_detection = false;

    result.suppress_pattern = nullptr;

    result.prompt_text        = nullptr;
    result.repeat_prompt_text = false;
    result.prompt_token_ids   = nullptr;
    result.prompt_token_count = 0;

    result.language             = "en";
    result.detect_language_only = false;

    result.suppress_leading_blank = true;
    result.suppress_non_speech    = false;

    result.start_temperature     = 0.0f;
    result.first_timestamp_limit = 1.0f;
    result.beam_length_penalty   = -1.0f;
    result.temperature_step      = 0.2f;
    result.entropy_threshold     = 2.4f;
    result.avg_logprob_threshold = -1.0f;
    result.no_speech_threshold   = 0.6f;

    result.greedy_candidates = -1;
    result.beam_width        = -1;
    result.beam_patience     = -1.0f;

    result.grammar_rule_list      = nullptr;
    result.grammar_rule_count     = 0;
    result.grammar_start_rule     = 0;
    result.grammar_reject_penalty = 100.0f;

    result.use_vad        = false;
    result.vad_model_file = nullptr;

    result.vad_settings.speech_threshold   = 0.5f;
    result.vad_settings.shortest_speech_ms = 250;
    result.vad_settings.closing_silence_ms = 100;
    result.vad_settings.longest_speech_s   = FLT_MAX;
    result.vad_settings.segment_pad_ms     = 30;
    result.vad_settings.segment_overlap_s  = 0.1f;

    switch (strategy) {
        case KESTU_SAMPLING_GREEDY:
            result.greedy_candidates = 5;
            break;
        case KESTU_SAMPLING_BEAM_SEARCH:
            result.beam_width = 5;
            break;
        default:
            break; // an unknown strategy keeps both at -1
    }

    return result;
}

struct kestu_full_params * kestu_full_default_params_by_ref(enum kestu_sampling_strategy strategy) {
    return new kestu_full_params(kestu_full_default_params(strategy));
}

void kestu_free_params(struct kestu_full_params * params) {
    delete params;
}
