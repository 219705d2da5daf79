#include "kestu-impl.h"

// Getters of the model, the context and the last run's results. Forms on a
// context read its default state. When the voice-activity pre-filter ran,
// segment times map back through the time-mapping table and token times
// through the speech segments.

int kestu_model_n_vocab(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_audio_ctx(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_audio_state(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_audio_head(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_audio_layer(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_text_ctx(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_text_state(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_text_head(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_text_layer(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_n_mels(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_ftype(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_model_type(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

const char * kestu_model_type_readable(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}

int kestu_n_vocab(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_n_text_ctx(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_n_audio_ctx(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_is_multilingual(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_n_len(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_n_len_from_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
    return 0;
}

float * kestu_get_logits(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}

float * kestu_get_logits_from_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
    return nullptr;
}

const char * kestu_token_to_str(struct kestu_context * ctx, kestu_token token) {
    KESTU_NOT_BUILT();
    return nullptr;
}

int kestu_full_n_segments(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_full_n_segments_from_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_full_lang_id(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_full_lang_id_from_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
    return -1;
}

int64_t kestu_full_get_segment_t0(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_segment_t0_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_segment_t1(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_segment_t1_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

bool kestu_full_get_segment_speaker_turn_next(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return false;
}

bool kestu_full_get_segment_speaker_turn_next_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return false;
}

const char * kestu_full_get_segment_text(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return nullptr;
}

const char * kestu_full_get_segment_text_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return nullptr;
}

float kestu_full_get_segment_no_speech_prob(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

float kestu_full_get_segment_no_speech_prob_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

int kestu_full_n_tokens(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_full_n_tokens_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

const char * kestu_full_get_token_text(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return nullptr;
}

const char * kestu_full_get_token_text_from_state(struct kestu_context * ctx, struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return nullptr;
}

kestu_token kestu_full_get_token_id(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_full_get_token_id_from_state(struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token_data kestu_full_get_token_data(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return kestu_token_data{};
}

kestu_token_data kestu_full_get_token_data_from_state(struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return kestu_token_data{};
}

float kestu_full_get_token_p(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

float kestu_full_get_token_p_from_state(struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0.0f;
}

int64_t kestu_full_get_token_t0(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_token_t0_from_state(struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_token_t1(struct kestu_context * ctx, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_token_t1_from_state(struct kestu_state * state, int i_segment, int i_token) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_full_n_vad_segments(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_full_n_vad_segments_from_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_vad_segment_t0(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_vad_segment_t0_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_vad_segment_t1(struct kestu_context * ctx, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}

int64_t kestu_full_get_vad_segment_t1_from_state(struct kestu_state * state, int i_segment) {
    KESTU_NOT_BUILT();
    return 0;
}
