#include "kestu-impl.h"

// Getters of the model, the context and the last run's results. Forms on a
// context read its default state. When the voice-activity pre-filter ran,
// segment times map back through the time-mapping table and token times
// through the speech segments.
//
// Getters only read: they never insert into the vocabulary maps (a token id
// without text gives ""), and an index outside the results, or a context
// without a default state, gives a log line and the getter's failure value
// instead of a read past the end.

#include <algorithm>

namespace {

// the context's default state, or NULL after a log line naming the getter
kestu_state * default_state(kestu_context * ctx, const char * func) {
    if (ctx->state == nullptr) {
        KESTU_LOG_ERROR("%s: ERROR state was not loaded.\n", func);
    }
    return ctx->state;
}

const kestu_segment * segment_at(const kestu_state * state, int i_segment, const char * func) {
    const int n_segments = (int) state->result.size();
    if (i_segment < 0 || i_segment >= n_segments) {
        KESTU_LOG_ERROR("%s: segment %d out of range (%d segments)\n", func, i_segment, n_segments);
        return nullptr;
    }
    return &state->result[i_segment];
}

const kestu_token_data * token_at(const kestu_state * state, int i_segment, int i_token, const char * func) {
    const kestu_segment * segment = segment_at(state, i_segment, func);
    if (segment == nullptr) {
        return nullptr;
    }
    const int n_tokens = (int) segment->tokens.size();
    if (i_token < 0 || i_token >= n_tokens) {
        KESTU_LOG_ERROR("%s: token %d out of range (%d tokens in segment %d)\n", func, i_token, n_tokens,
                        i_segment);
        return nullptr;
    }
    return &segment->tokens[i_token];
}

const vad_segment_info * vad_segment_at(const kestu_state * state, int i_segment, const char * func) {
    const int n_segments = state->has_vad_segments ? (int) state->vad_segments.size() : 0;
    if (i_segment < 0 || i_segment >= n_segments) {
        KESTU_LOG_ERROR("%s: speech segment %d out of range (%d segments)\n", func, i_segment, n_segments);
        return nullptr;
    }
    return &state->vad_segments[i_segment];
}

// what a token getter reports for a token that is not there
kestu_token_data missing_token_data() {
    kestu_token_data data{};
    data.id           = -1;
    data.timestamp_id = -1;
    data.t0           = -1;
    data.t1           = -1;
    data.t_dtw        = -1;
    return data;
}

// a time of the filtered audio in the caller's audio, through the
// time-mapping table (segment times); the table is sorted by processed_time
int64_t map_segment_time(const std::vector<vad_time_mapping_point> & table, int64_t t) {
    const vad_time_mapping_point & first = table.front();
    const vad_time_mapping_point & last  = table.back();
    if (first.processed_time >= t) {
        return first.original_time;
    }
    if (t >= last.processed_time) {
        return last.original_time;
    }

    // first point at or after t; the checks above put it past the first
    auto it = std::lower_bound(table.begin(), table.end(), t,
                               [](const vad_time_mapping_point & p, int64_t v) { return p.processed_time < v; });
    if (it->processed_time == t) {
        return it->original_time;
    }
    const vad_time_mapping_point & hi = *it;
    const vad_time_mapping_point & lo = *(it - 1);
    if (hi.processed_time == lo.processed_time) {
        return lo.original_time;
    }
    return lo.original_time + (hi.original_time - lo.original_time) * (t - lo.processed_time) /
                                  (hi.processed_time - lo.processed_time);
}

// a time of the filtered audio in the caller's audio, through the speech
// segments (token times); a time between two segments goes to the nearer one
int64_t map_token_time(const std::vector<vad_segment_info> & segments, int64_t t) {
    const size_t n = segments.size();
    if (segments[0].vad_start >= t) {
        return segments[0].orig_start;
    }
    if (t >= segments[n - 1].vad_end) {
        return segments[n - 1].orig_end;
    }

    for (size_t i = 0; i < n; i++) {
        const vad_segment_info & s = segments[i];
        if (s.vad_start <= t && t <= s.vad_end) {
            if (s.vad_start < s.vad_end) {
                return s.orig_start + (s.orig_end - s.orig_start) * (t - s.vad_start) / (s.vad_end - s.vad_start);
            }
            return s.orig_start;
        }
        if (i + 1 < n && s.vad_end < t && t < segments[i + 1].vad_start) {
            const int64_t mid = (s.vad_end + segments[i + 1].vad_start) / 2;
            return mid < t ? segments[i + 1].orig_start : s.orig_end;
        }
    }
    return t;
}

bool maps_segment_times(const kestu_state * state) {
    return state->has_vad_segments && !state->vad_mapping_table.empty();
}

// a token time that was never set; it is returned as it is, not mapped
constexpr int64_t TOKEN_TIME_UNSET = -1;

bool maps_token_times(const kestu_state * state) {
    return state->has_vad_segments && !state->vad_segments.empty();
}

} // namespace

// ---------------------------------------------------------------------------
// model and context

int kestu_model_n_vocab(struct kestu_context * ctx) {
    return ctx->model.hparams.n_vocab;
}

int kestu_model_n_audio_ctx(struct kestu_context * ctx) {
    return ctx->model.hparams.n_audio_ctx;
}

int kestu_model_n_audio_state(struct kestu_context * ctx) {
    return ctx->model.hparams.n_audio_state;
}

int kestu_model_n_audio_head(struct kestu_context * ctx) {
    return ctx->model.hparams.n_audio_head;
}

int kestu_model_n_audio_layer(struct kestu_context * ctx) {
    return ctx->model.hparams.n_audio_layer;
}

int kestu_model_n_text_ctx(struct kestu_context * ctx) {
    return ctx->model.hparams.n_text_ctx;
}

int kestu_model_n_text_state(struct kestu_context * ctx) {
    return ctx->model.hparams.n_text_state;
}

int kestu_model_n_text_head(struct kestu_context * ctx) {
    return ctx->model.hparams.n_text_head;
}

int kestu_model_n_text_layer(struct kestu_context * ctx) {
    return ctx->model.hparams.n_text_layer;
}

int kestu_model_n_mels(struct kestu_context * ctx) {
    return ctx->model.hparams.n_mels;
}

int kestu_model_ftype(struct kestu_context * ctx) {
    return ctx->model.hparams.ftype;
}

int kestu_model_type(struct kestu_context * ctx) {
    return ctx->model.type;
}

const char * kestu_model_type_readable(struct kestu_context * ctx) {
    auto it = kestu_model_type_names.find(ctx->model.type);
    if (it == kestu_model_type_names.end()) {
        return kestu_model_type_names.at(0).c_str(); // "unknown"
    }
    return it->second.c_str();
}

int kestu_model_n_tensors_loaded(struct kestu_context * ctx) {
    return ctx->model.n_loaded;
}

int kestu_n_vocab(struct kestu_context * ctx) {
    return ctx->vocab.n_vocab;
}

int kestu_n_text_ctx(struct kestu_context * ctx) {
    return ctx->model.hparams.n_text_ctx;
}

int kestu_n_audio_ctx(struct kestu_context * ctx) {
    return ctx->model.hparams.n_audio_ctx;
}

int kestu_is_multilingual(struct kestu_context * ctx) {
    return ctx->vocab.is_multilingual() ? 1 : 0;
}

int kestu_n_len(struct kestu_context * ctx) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_n_len_from_state(state) : 0;
}

int kestu_n_len_from_state(struct kestu_state * state) {
    return state->mel.n_len_org;
}

float * kestu_get_logits(struct kestu_context * ctx) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_get_logits_from_state(state) : nullptr;
}

float * kestu_get_logits_from_state(struct kestu_state * state) {
    return state->logits.data();
}

const char * kestu_token_to_str(struct kestu_context * ctx, kestu_token token) {
    // a checked lookup: an id without text is reported, never added
    auto it = ctx->vocab.id_to_token.find(token);
    if (it == ctx->vocab.id_to_token.end()) {
        KESTU_LOG_ERROR("%s: unknown token id %d\n", __func__, token);
        return nullptr;
    }
    return it->second.c_str();
}

// ---------------------------------------------------------------------------
// results of the last run

int kestu_full_n_segments(struct kestu_context * ctx) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_n_segments_from_state(state) : 0;
}

int kestu_full_n_segments_from_state(struct kestu_state * state) {
    return (int) state->result.size();
}

int kestu_full_lang_id(struct kestu_context * ctx) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_lang_id_from_state(state) : -1;
}

int kestu_full_lang_id_from_state(struct kestu_state * state) {
    return state->lang_id;
}

int64_t kestu_full_get_segment_t0(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_segment_t0_from_state(state, i_segment) : 0;
}

int64_t kestu_full_get_segment_t0_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    if (segment == nullptr) {
        return 0;
    }
    if (!maps_segment_times(state)) {
        return segment->t0;
    }
    return map_segment_time(state->vad_mapping_table, segment->t0);
}

int64_t kestu_full_get_segment_t1(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_segment_t1_from_state(state, i_segment) : 0;
}

int64_t kestu_full_get_segment_t1_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    if (segment == nullptr) {
        return 0;
    }
    if (!maps_segment_times(state)) {
        return segment->t1;
    }
    // a mapped segment lasts at least 10 centiseconds
    const int64_t end   = map_segment_time(state->vad_mapping_table, segment->t1);
    const int64_t start = map_segment_time(state->vad_mapping_table, segment->t0);
    return end - start < 10 ? start + 10 : end;
}

bool kestu_full_get_segment_speaker_turn_next(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_segment_speaker_turn_next_from_state(state, i_segment) : false;
}

bool kestu_full_get_segment_speaker_turn_next_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    return segment ? segment->speaker_turn_next : false;
}

const char * kestu_full_get_segment_text(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_segment_text_from_state(state, i_segment) : nullptr;
}

const char * kestu_full_get_segment_text_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    return segment ? segment->text.c_str() : nullptr;
}

float kestu_full_get_segment_no_speech_prob(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_segment_no_speech_prob_from_state(state, i_segment) : 0.0f;
}

float kestu_full_get_segment_no_speech_prob_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    return segment ? segment->no_speech_prob : 0.0f;
}

int kestu_full_n_tokens(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_n_tokens_from_state(state, i_segment) : 0;
}

int kestu_full_n_tokens_from_state(struct kestu_state * state, int i_segment) {
    const kestu_segment * segment = segment_at(state, i_segment, __func__);
    return segment ? (int) segment->tokens.size() : 0;
}

const char * kestu_full_get_token_text(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_text_from_state(ctx, state, i_segment, i_token) : nullptr;
}

const char * kestu_full_get_token_text_from_state(struct kestu_context * ctx, struct kestu_state * state,
                                                  int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    if (token == nullptr) {
        return nullptr;
    }
    // a find, not operator[]: a missing id must not grow the shared map
    // while other threads read it
    auto it = ctx->vocab.id_to_token.find(token->id);
    return it == ctx->vocab.id_to_token.end() ? "" : it->second.c_str();
}

kestu_token kestu_full_get_token_id(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_id_from_state(state, i_segment, i_token) : -1;
}

kestu_token kestu_full_get_token_id_from_state(struct kestu_state * state, int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    return token ? token->id : -1;
}

kestu_token_data kestu_full_get_token_data(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_data_from_state(state, i_segment, i_token) : missing_token_data();
}

kestu_token_data kestu_full_get_token_data_from_state(struct kestu_state * state, int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    return token ? *token : missing_token_data();
}

float kestu_full_get_token_p(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_p_from_state(state, i_segment, i_token) : 0.0f;
}

float kestu_full_get_token_p_from_state(struct kestu_state * state, int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    return token ? token->p : 0.0f;
}

int64_t kestu_full_get_token_t0(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_t0_from_state(state, i_segment, i_token) : 0;
}

int64_t kestu_full_get_token_t0_from_state(struct kestu_state * state, int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    if (token == nullptr) {
        return 0;
    }
    if (!maps_token_times(state) || token->t0 == TOKEN_TIME_UNSET) {
        return token->t0;
    }
    return map_token_time(state->vad_segments, token->t0);
}

int64_t kestu_full_get_token_t1(struct kestu_context * ctx, int i_segment, int i_token) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_token_t1_from_state(state, i_segment, i_token) : 0;
}

int64_t kestu_full_get_token_t1_from_state(struct kestu_state * state, int i_segment, int i_token) {
    const kestu_token_data * token = token_at(state, i_segment, i_token, __func__);
    if (token == nullptr) {
        return 0;
    }
    if (!maps_token_times(state) || token->t1 == TOKEN_TIME_UNSET) {
        return token->t1;
    }
    // a mapped token ends after it starts
    const int64_t start =
        token->t0 == TOKEN_TIME_UNSET ? token->t0 : map_token_time(state->vad_segments, token->t0);
    const int64_t end   = map_token_time(state->vad_segments, token->t1);
    return start < end ? end : start + 1;
}

// ---------------------------------------------------------------------------
// speech segments of the last voice-activity pre-filter

int kestu_full_n_vad_segments(struct kestu_context * ctx) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_n_vad_segments_from_state(state) : 0;
}

int kestu_full_n_vad_segments_from_state(struct kestu_state * state) {
    // the list describes the last run only while the flag is set
    return state->has_vad_segments ? (int) state->vad_segments.size() : 0;
}

int64_t kestu_full_get_vad_segment_t0(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_vad_segment_t0_from_state(state, i_segment) : 0;
}

int64_t kestu_full_get_vad_segment_t0_from_state(struct kestu_state * state, int i_segment) {
    const vad_segment_info * segment = vad_segment_at(state, i_segment, __func__);
    return segment ? segment->orig_start : 0;
}

int64_t kestu_full_get_vad_segment_t1(struct kestu_context * ctx, int i_segment) {
    kestu_state * state = default_state(ctx, __func__);
    return state ? kestu_full_get_vad_segment_t1_from_state(state, i_segment) : 0;
}

int64_t kestu_full_get_vad_segment_t1_from_state(struct kestu_state * state, int i_segment) {
    const vad_segment_info * segment = vad_segment_at(state, i_segment, __func__);
    return segment ? segment->orig_end : 0;
}
