#pragma once

// Speech recognition: loads an encoder-decoder speech model, turns 16 kHz mono
// audio into timed text segments, and exposes the results through getters.
// Plain C interface over two handles: a context (the loaded model) and a
// state (everything one transcription stream needs). The library is C++.

#include "tevo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTU_API __attribute__((visibility("default")))

#define KESTU_SAMPLE_RATE 16000
#define KESTU_N_FFT       400
#define KESTU_HOP_LENGTH  160
#define KESTU_CHUNK_SIZE  30

// most decoders (candidates or beams) one run may use
#define KESTU_MAX_DECODERS 8

// bounds of kestu_full_params.suppress_pattern and the texts it is matched against
#define KESTU_SUPPRESS_PATTERN_MAX_LEN   256
#define KESTU_SUPPRESS_PATTERN_MAX_ATOMS 1024
#define KESTU_SUPPRESS_TEXT_MAX_LEN      256

// ---------------------------------------------------------------------------
// handles and basic records

struct kestu_context;
struct kestu_state;
struct kestu_vad_context;
struct kestu_vad_segments;

typedef struct kestu_context      kestu_context;
typedef struct kestu_state        kestu_state;
typedef struct kestu_vad_context  kestu_vad_context;
typedef struct kestu_vad_segments kestu_vad_segments;

typedef int32_t kestu_token;

// the same callback type as the tensor library's: levels 1 debug .. 4 error
typedef tevo_log_callback kestu_log_callback;

// Per-token result. Times are centiseconds, -1 while not set.
typedef struct kestu_token_data {
    kestu_token id;           // token id
    kestu_token timestamp_id; // most probable timestamp token at this step
    float p;                  // probability of the token
    float log_p;              // its log-probability
    float timestamp_p;        // probability of timestamp_id within the timestamp mass
    float timestamp_p_sum;    // summed probability of all timestamp tokens
    int64_t t0;               // start
    int64_t t1;               // end
    int64_t t_dtw;            // time from dynamic time warping
    float voice_length;       // weighted character count (token-time pass)
} kestu_token_data;

// Every model file is read through this record. read copies the next n bytes
// and returns a count the loader ignores; eof is true once a read hit the
// end; close is called once when loading ends.
typedef struct kestu_model_loader {
    void * context;
    size_t (*read)(void * ctx, void * output, size_t read_size);
    bool (*eof)(void * ctx);
    void (*close)(void * ctx);
} kestu_model_loader;

// Milliseconds per run of each kind (heap record of kestu_get_timings).
typedef struct kestu_timings {
    float sample_ms;
    float encode_ms;
    float decode_ms;
    float batchd_ms;
    float prompt_ms;
} kestu_timings;

// ---------------------------------------------------------------------------
// parameter records

enum kestu_sampling_strategy {
    KESTU_SAMPLING_GREEDY      = 0, // best of N; argmax at temperature 0
    KESTU_SAMPLING_BEAM_SEARCH = 1,
};

// which cross-attention heads feed the token-level time warping
enum kestu_alignment_heads_preset {
    KESTU_AHEADS_NONE       = 0,
    KESTU_AHEADS_N_TOP_MOST = 1, // every head of the top dtw_n_top text layers
    KESTU_AHEADS_CUSTOM     = 2, // the heads listed in dtw_aheads
    KESTU_AHEADS_PRESET_3   = 3, // built-in presets of the model sizes
    KESTU_AHEADS_PRESET_4   = 4,
    KESTU_AHEADS_PRESET_5   = 5,
    KESTU_AHEADS_PRESET_6   = 6,
    KESTU_AHEADS_PRESET_7   = 7,
    KESTU_AHEADS_PRESET_8   = 8,
    KESTU_AHEADS_PRESET_9   = 9,
    KESTU_AHEADS_PRESET_10  = 10,
    KESTU_AHEADS_PRESET_11  = 11,
    KESTU_AHEADS_PRESET_12  = 12,
    KESTU_AHEADS_PRESET_13  = 13,
    KESTU_AHEADS_PRESET_14  = 14,
};

typedef struct kestu_alignment_head {
    int text_layer;
    int head;
} kestu_alignment_head;

typedef struct kestu_alignment_heads {
    size_t n_heads;
    const kestu_alignment_head * heads; // owned by the caller
} kestu_alignment_heads;

typedef struct kestu_context_params {
    bool use_gpu;
    bool flash_attn; // fused attention; turns dtw_token_timestamps off
    int  gpu_device; // index among the GPU devices

    bool dtw_token_timestamps;
    enum kestu_alignment_heads_preset dtw_aheads_preset;
    int dtw_n_top;
    kestu_alignment_heads dtw_aheads;
    size_t dtw_work_memory;
} kestu_context_params;

// Grammar rules are arrays of elements: alternatives separated by ALT, the
// rule ended by END.
enum kestu_gretype {
    KESTU_GRETYPE_END            = 0, // end of a rule
    KESTU_GRETYPE_ALT            = 1, // start of the next alternative
    KESTU_GRETYPE_RULE_REF       = 2, // non-terminal: value is a rule index
    KESTU_GRETYPE_CHAR           = 3, // a character set that matches
    KESTU_GRETYPE_CHAR_NOT       = 4, // a character set that matches what is not in it
    KESTU_GRETYPE_CHAR_RNG_UPPER = 5, // upper end of a range starting at the element before
    KESTU_GRETYPE_CHAR_ALT       = 6, // one more character of the same set
};

typedef struct kestu_grammar_element {
    enum kestu_gretype type;
    uint32_t value; // code point, or rule index for RULE_REF
} kestu_grammar_element;

// Voice-activity segmentation settings (also the last field of
// kestu_full_params).
typedef struct kestu_vad_params {
    float speech_threshold;   // probability at or above which a window is speech
    int   shortest_speech_ms; // shortest speech segment kept
    int   closing_silence_ms; // silence that closes a segment
    float longest_speech_s;   // longest segment; above 100000 means unlimited
    int   segment_pad_ms;     // padding before and after each segment
    float segment_overlap_s;  // extension of every segment but the last in the filtered audio
} kestu_vad_params;

typedef struct kestu_vad_context_params {
    int  n_threads;
    bool use_gpu;
    int  gpu_device;
} kestu_vad_context_params;

// Callbacks get the context and the state being run first and their own user
// data last.
typedef void (*kestu_segment_callback)(struct kestu_context * ctx, struct kestu_state * state, int n_new,
                                       void * user_data);
typedef void (*kestu_progress_callback)(struct kestu_context * ctx, struct kestu_state * state, int progress,
                                        void * user_data);
// false stops the run
typedef bool (*kestu_encoder_begin_callback)(struct kestu_context * ctx, struct kestu_state * state,
                                             void * user_data);
// true makes the encoder or decoder run that just finished fail
typedef bool (*kestu_abort_callback)(void * user_data);
// may change the logits of a decoding step after the built-in suppressions
typedef void (*kestu_logits_callback)(struct kestu_context * ctx, struct kestu_state * state,
                                      const kestu_token_data * tokens, int n_tokens, float * logits,
                                      void * user_data);

// Transcription parameters. The record never owns what its pointers point to.
typedef struct kestu_full_params {
    enum kestu_sampling_strategy sampling_strategy;

    int n_threads;
    int max_past_text_tokens; // earlier text used as prompt, capped at n_text_ctx / 2
    int start_offset_ms;
    int process_duration_ms;  // 0: to the end

    bool translate_task;
    bool discard_past_text;
    bool no_timestamps;
    bool one_segment_per_window;
    bool log_special_tokens;
    bool log_progress;
    bool log_segments_live;
    bool log_segment_times;

    bool  compute_token_times; // token times from timestamp probabilities
    float timestamp_p_threshold;
    float timestamp_p_sum_threshold;
    int   max_segment_chars;   // 0: no limit
    bool  wrap_at_word_boundary;
    int   max_segment_tokens;  // 0: no limit

    bool debug_switch;
    int  audio_ctx;            // 0: the model's own
    bool speaker_turn_detection;

    // Regular expression (ECMAScript) over token texts: a token whose whole
    // text matches is suppressed. Matching is bounded so that no pattern can
    // stall a run or overflow the stack: a pattern longer than
    // KESTU_SUPPRESS_PATTERN_MAX_LEN bytes, one whose counted repetitions
    // ({m,n}) expand it to more than KESTU_SUPPRESS_PATTERN_MAX_ATOMS
    // characters and classes, or one with a back-reference (\1 .. \9) is
    // refused with KESTU_FULL_ERR_SUPPRESS_PATTERN; a token text longer than
    // KESTU_SUPPRESS_TEXT_MAX_LEN bytes is never matched.
    const char * suppress_pattern;

    const char *        prompt_text;
    bool                repeat_prompt_text;
    const kestu_token * prompt_token_ids;
    int                 prompt_token_count;

    const char * language;     // code or name; NULL or "auto" detects
    bool         detect_language_only;

    bool suppress_leading_blank;
    bool suppress_non_speech;

    // Temperatures divide the logits; a temperature so small that the
    // division overflows leaves them undivided, as temperature 0 does.
    // Non-finite temperatures are refused with KESTU_FULL_ERR_TEMPERATURE.
    float start_temperature;
    float first_timestamp_limit;
    float beam_length_penalty;
    float temperature_step;
    float entropy_threshold;
    float avg_logprob_threshold;
    float no_speech_threshold;

    int   greedy_candidates;
    int   beam_width;
    float beam_patience;

    kestu_segment_callback on_new_segment;
    void *                 on_new_segment_user_data;

    kestu_progress_callback on_progress;
    void *                  on_progress_user_data;

    kestu_encoder_begin_callback encoder_begin_callback;
    void *                       encoder_begin_callback_user_data;

    kestu_abort_callback on_abort;
    void *               on_abort_user_data;

    kestu_logits_callback on_logits;
    void *                on_logits_user_data;

    // A grammar the text must keep to: every text token it rejects has its
    // logit lowered by grammar_reject_penalty (+INFINITY masks it; NaN and
    // -INFINITY are refused with KESTU_FULL_ERR_GRAMMAR_PENALTY). Once the
    // text has left the grammar, every text token is rejected and only end
    // of text is free. The grammar constrains which tokens are taken, not
    // where the text ends: end of text is never penalised, so a transcript
    // may end on a prefix of what the grammar allows (" on" of " one").
    // An alternative that can never end (it needs a rule that never ends,
    // or a character set that matches no code point up to 0x10FFFF) is
    // ignored, as if it were not written.
    // Refused with KESTU_FULL_ERR_GRAMMAR: a grammar that matches no text
    // (every alternative of its start rule never ends, or needs a character
    // set that matches nothing); one that no token can begin among those the
    // run may begin its text with (suppress_pattern and the non-speech
    // tokens hold at every step; suppress_leading_blank keeps the blank from
    // beginning it unless a timestamp, on a model that decodes with them, or
    // a speaker turn may come first or on_logits is set); and one whose start
    // exceeds the library's bounds (expansion steps, parse stacks, nesting
    // depth).
    const kestu_grammar_element * const * grammar_rule_list;
    size_t                                grammar_rule_count;
    size_t                                grammar_start_rule;
    float                                 grammar_reject_penalty;

    bool             use_vad;
    const char *     vad_model_file;
    kestu_vad_params vad_settings;
} kestu_full_params;

// Results of kestu_full, kestu_full_with_state and kestu_full_parallel.
// -10 to -16, -18, -19, -21, -23 and -24: requests refused before any work
// (-10 also after the spectrogram, for samples that overflow it, before any
// decoding);
// -17: a run ended by an exception, which never crosses this interface.
enum kestu_full_status {
    KESTU_FULL_OK                    = 0,
    KESTU_FULL_ERR_VAD               = -1,  // voice-activity pre-filter failed
    KESTU_FULL_ERR_LANG_DETECT       = -3,  // language detection failed or stopped
    KESTU_FULL_ERR_TOO_MANY_DECODERS = -4,  // more than KESTU_MAX_DECODERS
    KESTU_FULL_ERR_AUDIO_CTX         = -5,  // audio_ctx below 0 or above the model's
    KESTU_FULL_ERR_ENCODE            = -6,
    KESTU_FULL_ERR_KV_CACHE          = -7,  // self-attention cache could not be re-made
    KESTU_FULL_ERR_PROMPT_DECODE     = -8,
    KESTU_FULL_ERR_DECODE            = -9,
    KESTU_FULL_ERR_NON_FINITE        = -10, // a sample is NaN or infinite, or overflows the spectrogram
    KESTU_FULL_ERR_UNKNOWN_LANGUAGE  = -11, // multilingual model, language not known
    KESTU_FULL_ERR_N_THREADS         = -12, // n_threads below 1
    KESTU_FULL_ERR_NEGATIVE_SPAN     = -13, // n_samples, start_offset_ms or process_duration_ms below 0
    KESTU_FULL_ERR_SUPPRESS_PATTERN  = -14, // suppress_pattern is not a valid expression, or beyond its bounds
    KESTU_FULL_ERR_TEMPERATURE       = -15, // start_temperature or temperature_step not finite
    KESTU_FULL_ERR_N_PROCESSORS      = -16, // kestu_full_parallel: n_processors below 1, or chunks too short
                                            // to decode (below 1800 samples, 112.5 ms, each)
    KESTU_FULL_ERR_INTERNAL          = -17, // an exception (memory, threads, lookup) ended the run
    KESTU_FULL_ERR_NULL_ARGUMENT     = -18, // no context, no state, or no samples for n_samples > 0
    KESTU_FULL_ERR_GRAMMAR           = -19, // grammar rules: a missing rule, a bad character set, a rule
                                            // that reaches itself before consuming a character, a start
                                            // beyond the library's bounds (the log line names the bound),
                                            // no token the run may begin with can begin the grammar, or
                                            // the grammar matches no text
    KESTU_FULL_ERR_DTW               = -20, // token-level time warping failed (decoder run, memory, graph)
    KESTU_FULL_ERR_NO_VAD_MODEL      = -21, // use_vad set and no vad_model_file named
    KESTU_FULL_ERR_NO_TOKEN          = -22, // decoding found no possible token: after logits processing
                                            // every logit was -inf, or one was NaN, or two were +inf
                                            // (non-finite model weights, on_logits, suppress_pattern);
                                            // right after the prompt this ends the run at once, later
                                            // only when every decoder of the last temperature met it
    KESTU_FULL_ERR_GRAMMAR_PENALTY   = -23, // grammar_reject_penalty NaN or -inf (with grammar rules)
    KESTU_FULL_ERR_VAD_THRESHOLD     = -24, // use_vad set and vad_settings.speech_threshold not a number
                                            // from 0 to 1
};

// ---------------------------------------------------------------------------
// parameter defaults

KESTU_API struct kestu_context_params   kestu_context_default_params(void);
KESTU_API struct kestu_context_params * kestu_context_default_params_by_ref(void);
KESTU_API void                          kestu_free_context_params(struct kestu_context_params * params);

KESTU_API struct kestu_full_params   kestu_full_default_params(enum kestu_sampling_strategy strategy);
KESTU_API struct kestu_full_params * kestu_full_default_params_by_ref(enum kestu_sampling_strategy strategy);
KESTU_API void                       kestu_free_params(struct kestu_full_params * params);

// ---------------------------------------------------------------------------
// logging, version, system information

// NULL restores the default (standard error, debug dropped); also installed
// in the tensor library
KESTU_API void         kestu_log_set(kestu_log_callback log_callback, void * user_data);
KESTU_API const char * kestu_version(void);
// owned by the library, rebuilt by every call
KESTU_API const char * kestu_print_system_info(void);

// ---------------------------------------------------------------------------
// context creation and release (NULL on failure)

KESTU_API struct kestu_context * kestu_init_from_file_with_params(const char * path_model,
                                                                  struct kestu_context_params params);
KESTU_API struct kestu_context * kestu_init_from_buffer_with_params(void * buffer, size_t buffer_size,
                                                                    struct kestu_context_params params);
KESTU_API struct kestu_context * kestu_init_with_params(struct kestu_model_loader * loader,
                                                        struct kestu_context_params params);

KESTU_API struct kestu_context * kestu_init_from_file_with_params_no_state(const char * path_model,
                                                                           struct kestu_context_params params);
KESTU_API struct kestu_context * kestu_init_from_buffer_with_params_no_state(void * buffer, size_t buffer_size,
                                                                             struct kestu_context_params params);
KESTU_API struct kestu_context * kestu_init_with_params_no_state(struct kestu_model_loader * loader,
                                                                 struct kestu_context_params params);

// short forms with the default parameters
KESTU_API struct kestu_context * kestu_init_from_file(const char * path_model);
KESTU_API struct kestu_context * kestu_init_from_buffer(void * buffer, size_t buffer_size);
KESTU_API struct kestu_context * kestu_init(struct kestu_model_loader * loader);
KESTU_API struct kestu_context * kestu_init_from_file_no_state(const char * path_model);
KESTU_API struct kestu_context * kestu_init_from_buffer_no_state(void * buffer, size_t buffer_size);
KESTU_API struct kestu_context * kestu_init_no_state(struct kestu_model_loader * loader);

KESTU_API void kestu_free(struct kestu_context * ctx);

// no such encoder in this system: arguments ignored, returns 1
KESTU_API int kestu_ctx_init_openvino_encoder_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                                         const char * model_path, const char * device,
                                                         const char * cache_dir);
KESTU_API int kestu_ctx_init_openvino_encoder(struct kestu_context * ctx, const char * model_path,
                                              const char * device, const char * cache_dir);

// ---------------------------------------------------------------------------
// decoding states

KESTU_API struct kestu_state * kestu_init_state(struct kestu_context * ctx);
KESTU_API void                 kestu_free_state(struct kestu_state * state);

// ---------------------------------------------------------------------------
// log-mel spectrogram

// 0; -1 on bad arguments; KESTU_FULL_ERR_NON_FINITE when the spectrogram is not
// finite (a sample NaN, infinite or large enough to overflow it), which leaves
// the state with no spectrogram
KESTU_API int kestu_pcm_to_mel_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                          const float * samples, int n_samples, int n_threads);
KESTU_API int kestu_pcm_to_mel(struct kestu_context * ctx, const float * samples, int n_samples, int n_threads);
// data: n_mel bands of n_len frames, band after band; 0, -1 on bad arguments
// (n_mel not the model's), KESTU_FULL_ERR_NON_FINITE when a value is NaN or
// infinite; a refusal leaves the state's spectrogram as it was
KESTU_API int kestu_set_mel_with_state(struct kestu_context * ctx, struct kestu_state * state, const float * data,
                                       int n_len, int n_mel);
KESTU_API int kestu_set_mel(struct kestu_context * ctx, const float * data, int n_len, int n_mel);

// ---------------------------------------------------------------------------
// encoder and decoder runs

// 0 on success, -1 on failure
KESTU_API int kestu_encode_with_state(struct kestu_context * ctx, struct kestu_state * state, int offset,
                                      int n_threads);
KESTU_API int kestu_encode(struct kestu_context * ctx, int offset, int n_threads);
// decodes tokens of sequence 0 at positions n_past onward: 0 on success,
// 1 on failure (kestu_decode without a state: -1)
KESTU_API int kestu_decode_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                      const kestu_token * tokens, int n_tokens, int n_past, int n_threads);
KESTU_API int kestu_decode(struct kestu_context * ctx, const kestu_token * tokens, int n_tokens, int n_past,
                           int n_threads);

// ---------------------------------------------------------------------------
// tokenizer, special tokens, languages

// tokens written, or minus the tokens needed when more than n_max_tokens
KESTU_API int kestu_tokenize(struct kestu_context * ctx, const char * text, kestu_token * tokens,
                             int n_max_tokens);
KESTU_API int kestu_token_count(struct kestu_context * ctx, const char * text);

KESTU_API kestu_token kestu_token_eot(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_sot(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_solm(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_prev(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_nosp(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_not(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_beg(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_lang(struct kestu_context * ctx, int lang_id);
KESTU_API kestu_token kestu_token_translate(struct kestu_context * ctx);
KESTU_API kestu_token kestu_token_transcribe(struct kestu_context * ctx);

KESTU_API int          kestu_lang_max_id(void);
// id of a code or full name, -1 when unknown
KESTU_API int          kestu_lang_id(const char * lang);
KESTU_API const char * kestu_lang_str(int id);
KESTU_API const char * kestu_lang_str_full(int id);

// most probable language id, or a negative code; lang_probs NULL or
// kestu_lang_max_id() + 1 floats
KESTU_API int kestu_lang_auto_detect(struct kestu_context * ctx, int offset_ms, int n_threads, float * lang_probs);
KESTU_API int kestu_lang_auto_detect_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                                int offset_ms, int n_threads, float * lang_probs);

// ---------------------------------------------------------------------------
// model and context accessors

KESTU_API int kestu_n_len(struct kestu_context * ctx);
KESTU_API int kestu_n_len_from_state(struct kestu_state * state);
KESTU_API int kestu_n_vocab(struct kestu_context * ctx);
KESTU_API int kestu_n_text_ctx(struct kestu_context * ctx);
KESTU_API int kestu_n_audio_ctx(struct kestu_context * ctx);
KESTU_API int kestu_is_multilingual(struct kestu_context * ctx);

KESTU_API int          kestu_model_n_vocab(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_audio_ctx(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_audio_state(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_audio_head(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_audio_layer(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_text_ctx(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_text_state(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_text_head(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_text_layer(struct kestu_context * ctx);
KESTU_API int          kestu_model_n_mels(struct kestu_context * ctx);
KESTU_API int          kestu_model_ftype(struct kestu_context * ctx);
KESTU_API int          kestu_model_type(struct kestu_context * ctx);
KESTU_API const char * kestu_model_type_readable(struct kestu_context * ctx);
// tensor records read from the model file; 0 for a file that ends after its
// vocabulary, which loads as an empty model (zero weights) for testing
KESTU_API int          kestu_model_n_tensors_loaded(struct kestu_context * ctx);

// logits of the last decoder run: room for n_tokens rows of n_vocab, of
// which a run writes only the last token's row; the rows before it keep
// what an earlier run left there
KESTU_API float * kestu_get_logits(struct kestu_context * ctx);
KESTU_API float * kestu_get_logits_from_state(struct kestu_state * state);

KESTU_API const char * kestu_token_to_str(struct kestu_context * ctx, kestu_token token);

// ---------------------------------------------------------------------------
// transcription

// 0 on success, else a kestu_full_status code
KESTU_API int kestu_full(struct kestu_context * ctx, struct kestu_full_params params, const float * samples,
                         int n_samples);
KESTU_API int kestu_full_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                    struct kestu_full_params params, const float * samples, int n_samples);
// splits the audio into n_processors chunks transcribed at once; the
// callbacks of params are called from the chunks' threads but one at a time,
// never two at once, as in kestu_full; a chunk that fails fails the call with
// its code and no segments. Each processor past the first costs a thread
// running n_threads compute threads and a decoding state of its own, made
// for the call: its key-value caches and compute buffers, whose sizes
// kestu_init_state logs (about 180 MB reserved for a tiny model, more for
// larger ones). Chunks shorter than 1800 samples (112.5 ms) are refused
// (KESTU_FULL_ERR_N_PROCESSORS): no run decodes such short audio.
KESTU_API int kestu_full_parallel(struct kestu_context * ctx, struct kestu_full_params params,
                                  const float * samples, int n_samples, int n_processors);

// ---------------------------------------------------------------------------
// results of the last run (times in centiseconds of the caller's audio)

KESTU_API int kestu_full_n_segments(struct kestu_context * ctx);
KESTU_API int kestu_full_n_segments_from_state(struct kestu_state * state);

KESTU_API int kestu_full_lang_id(struct kestu_context * ctx);
KESTU_API int kestu_full_lang_id_from_state(struct kestu_state * state);

KESTU_API int64_t kestu_full_get_segment_t0(struct kestu_context * ctx, int i_segment);
KESTU_API int64_t kestu_full_get_segment_t0_from_state(struct kestu_state * state, int i_segment);
KESTU_API int64_t kestu_full_get_segment_t1(struct kestu_context * ctx, int i_segment);
KESTU_API int64_t kestu_full_get_segment_t1_from_state(struct kestu_state * state, int i_segment);

KESTU_API bool kestu_full_get_segment_speaker_turn_next(struct kestu_context * ctx, int i_segment);
KESTU_API bool kestu_full_get_segment_speaker_turn_next_from_state(struct kestu_state * state, int i_segment);

KESTU_API const char * kestu_full_get_segment_text(struct kestu_context * ctx, int i_segment);
KESTU_API const char * kestu_full_get_segment_text_from_state(struct kestu_state * state, int i_segment);

KESTU_API float kestu_full_get_segment_no_speech_prob(struct kestu_context * ctx, int i_segment);
KESTU_API float kestu_full_get_segment_no_speech_prob_from_state(struct kestu_state * state, int i_segment);

KESTU_API int kestu_full_n_tokens(struct kestu_context * ctx, int i_segment);
KESTU_API int kestu_full_n_tokens_from_state(struct kestu_state * state, int i_segment);

KESTU_API const char * kestu_full_get_token_text(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API const char * kestu_full_get_token_text_from_state(struct kestu_context * ctx, struct kestu_state * state,
                                                            int i_segment, int i_token);

KESTU_API kestu_token kestu_full_get_token_id(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API kestu_token kestu_full_get_token_id_from_state(struct kestu_state * state, int i_segment, int i_token);

KESTU_API kestu_token_data kestu_full_get_token_data(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API kestu_token_data kestu_full_get_token_data_from_state(struct kestu_state * state, int i_segment,
                                                                int i_token);

KESTU_API float kestu_full_get_token_p(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API float kestu_full_get_token_p_from_state(struct kestu_state * state, int i_segment, int i_token);

KESTU_API int64_t kestu_full_get_token_t0(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API int64_t kestu_full_get_token_t0_from_state(struct kestu_state * state, int i_segment, int i_token);
KESTU_API int64_t kestu_full_get_token_t1(struct kestu_context * ctx, int i_segment, int i_token);
KESTU_API int64_t kestu_full_get_token_t1_from_state(struct kestu_state * state, int i_segment, int i_token);

// speech segments of the last voice-activity pre-filter
KESTU_API int     kestu_full_n_vad_segments(struct kestu_context * ctx);
KESTU_API int     kestu_full_n_vad_segments_from_state(struct kestu_state * state);
KESTU_API int64_t kestu_full_get_vad_segment_t0(struct kestu_context * ctx, int i_segment);
KESTU_API int64_t kestu_full_get_vad_segment_t0_from_state(struct kestu_state * state, int i_segment);
KESTU_API int64_t kestu_full_get_vad_segment_t1(struct kestu_context * ctx, int i_segment);
KESTU_API int64_t kestu_full_get_vad_segment_t1_from_state(struct kestu_state * state, int i_segment);

// ---------------------------------------------------------------------------
// timings and benchmarks

// heap record the caller frees; NULL without a state
KESTU_API struct kestu_timings * kestu_get_timings(struct kestu_context * ctx);
KESTU_API void                   kestu_print_timings(struct kestu_context * ctx);
KESTU_API void                   kestu_reset_timings(struct kestu_context * ctx);

// reports valid until the next call of the same function
KESTU_API const char * kestu_bench_memcpy_str(int n_threads);
KESTU_API int          kestu_bench_memcpy(int n_threads);
KESTU_API const char * kestu_bench_tevo_mul_mat_str(int n_threads);
KESTU_API int          kestu_bench_tevo_mul_mat(int n_threads);

// ---------------------------------------------------------------------------
// voice activity detection

KESTU_API struct kestu_vad_context_params kestu_vad_default_context_params(void);
KESTU_API struct kestu_vad_params         kestu_vad_default_params(void);

KESTU_API struct kestu_vad_context * kestu_vad_init_from_file_with_params(const char * path_model,
                                                                          struct kestu_vad_context_params params);
// reads through the loader's read and eof only; closing is the caller's
KESTU_API struct kestu_vad_context * kestu_vad_init_with_params(struct kestu_model_loader * loader,
                                                                struct kestu_vad_context_params params);
KESTU_API void kestu_vad_free(struct kestu_vad_context * ctx);

// one speech probability per window of n_window samples; false for a sample
// that is NaN or infinite
KESTU_API bool    kestu_vad_detect_speech(struct kestu_vad_context * ctx, const float * samples, int n_samples);
KESTU_API bool    kestu_vad_detect_speech_no_reset(struct kestu_vad_context * ctx, const float * samples,
                                                   int n_samples);
KESTU_API void    kestu_vad_reset_state(struct kestu_vad_context * ctx);
KESTU_API int     kestu_vad_n_probs(struct kestu_vad_context * ctx);
KESTU_API float * kestu_vad_probs(struct kestu_vad_context * ctx);

// speech segments in centiseconds of the analysed audio; the caller frees
// them; NULL when params.speech_threshold is not a number from 0 to 1
KESTU_API struct kestu_vad_segments * kestu_vad_segments_from_probs(struct kestu_vad_context * ctx,
                                                                    struct kestu_vad_params params);
KESTU_API struct kestu_vad_segments * kestu_vad_segments_from_samples(struct kestu_vad_context * ctx,
                                                                      const float * samples, int n_samples,
                                                                      struct kestu_vad_params params);
KESTU_API int   kestu_vad_segments_n_segments(const struct kestu_vad_segments * segments);
KESTU_API float kestu_vad_segments_get_segment_t0(const struct kestu_vad_segments * segments, int i_segment);
KESTU_API float kestu_vad_segments_get_segment_t1(const struct kestu_vad_segments * segments, int i_segment);
KESTU_API void  kestu_vad_free_segments(struct kestu_vad_segments * segments);

#ifdef __cplusplus
}
#endif
