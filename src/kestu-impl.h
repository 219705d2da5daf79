#pragma once

// Internal records and cross-file functions of the speech library. Every
// library source includes this header first: it fixes the source path that
// assertion lines report before the tensor headers set their own.

#ifndef TEVO_SOURCE_PATH
#define TEVO_SOURCE_PATH "src/kestu"
#endif
#define KESTU_SOURCE_PATH "src/kestu"

#include "kestu.h"
#include "tevo.h"
#include "tevo-alloc.h"
#include "tevo-backend.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// parameter defaults (kestu-params.cpp)

// default n_threads for a machine reporting that many hardware threads (0:
// unknown): the smaller of it and 4, at least 1
int kestu_default_n_threads(unsigned int hardware_threads);

// the strategy as the caller stored it: a C caller may store any int, which
// C++ may not read through the two-valued enum
int kestu_strategy_of(const kestu_full_params & params);
// the alignment-head preset as the caller stored it, for the same reason
int kestu_aheads_preset_of(const kestu_context_params & params);

// ---------------------------------------------------------------------------
// logging and assertions (kestu-log.cpp)

// formats one message and hands it whole to the installed callback
void kestu_log_message(enum tevo_log_level level, const char * format, ...) __attribute__((format(printf, 2, 3)));
// writes every level but debug to standard error
void kestu_log_callback_default(enum tevo_log_level level, const char * text, void * user_data);
// the installed callback (the default when none was set) and its user data
void kestu_log_get(kestu_log_callback * callback, void ** user_data);
// logs "KESTU_ASSERT: %s:%d: %s\n" at error level, then aborts
[[noreturn]] void kestu_assert_fail(const char * file, int line, const char * cond);

#define KESTU_LOG_ERROR(...) kestu_log_message(TEVO_LOG_LEVEL_ERROR, __VA_ARGS__)
#define KESTU_LOG_WARN(...)  kestu_log_message(TEVO_LOG_LEVEL_WARN, __VA_ARGS__)
#define KESTU_LOG_INFO(...)  kestu_log_message(TEVO_LOG_LEVEL_INFO, __VA_ARGS__)
#define KESTU_LOG_DEBUG(...) kestu_log_message(TEVO_LOG_LEVEL_DEBUG, __VA_ARGS__)

#define KESTU_ASSERT(x)                                          \
    do {                                                         \
        if (!(x)) {                                              \
            kestu_assert_fail(KESTU_SOURCE_PATH, __LINE__, #x);  \
        }                                                        \
    } while (0)

// marks a stage that is not written yet
#define KESTU_NOT_BUILT() KESTU_LOG_ERROR("%s: not built\n", __func__)

// printf into a std::string (kestu-context.cpp)
std::string kestu_format(const char * fmt, ...) __attribute__((format(printf, 1, 2)));

// the index of the first of n values that is NaN or infinite; n when none is
inline size_t kestu_first_non_finite(const float * x, size_t n) {
    size_t i = 0;
    while (i < n && std::isfinite(x[i])) {
        i++;
    }
    return i;
}

// ---------------------------------------------------------------------------
// built-in tables (kestu-tables.cpp), built before main, read-only afterwards

// tensor kinds of the name table
enum kestu_tensor_kind {
    KESTU_KIND_ENCODER = 0,
    KESTU_KIND_DECODER = 1,
    KESTU_KIND_CROSS   = 2,
};

// tensor roles (role 9 names nothing)
enum kestu_tensor_role {
    KESTU_ROLE_ENC_POS_EMBD   = 0,
    KESTU_ROLE_DEC_POS_EMBD   = 1,
    KESTU_ROLE_DEC_TOKEN_EMBD = 2,
    KESTU_ROLE_LN_OUT_W       = 3, // encoder.ln_post.weight, decoder.ln.weight
    KESTU_ROLE_DEC_LN_OUT_B   = 4,
    KESTU_ROLE_CONV1_W        = 5,
    KESTU_ROLE_CONV1_B        = 6,
    KESTU_ROLE_CONV2_W        = 7,
    KESTU_ROLE_CONV2_B        = 8,
    KESTU_ROLE_ENC_LN_OUT_B   = 10,
    KESTU_ROLE_MLP_LN_W       = 11,
    KESTU_ROLE_MLP_LN_B       = 12,
    KESTU_ROLE_MLP_0_W        = 13,
    KESTU_ROLE_MLP_0_B        = 14,
    KESTU_ROLE_MLP_2_W        = 15,
    KESTU_ROLE_MLP_2_B        = 16,
    KESTU_ROLE_ATTN_LN_W      = 17,
    KESTU_ROLE_ATTN_LN_B      = 18,
    KESTU_ROLE_ATTN_Q_W       = 19,
    KESTU_ROLE_ATTN_Q_B       = 20,
    KESTU_ROLE_ATTN_K_W       = 21,
    KESTU_ROLE_ATTN_V_W       = 22,
    KESTU_ROLE_ATTN_V_B       = 23,
    KESTU_ROLE_ATTN_OUT_W     = 24,
    KESTU_ROLE_ATTN_OUT_B     = 25,
};

#define KESTU_TRIG_N 400 // entries of the sine, cosine and Hann tables

// kind -> role -> name template ("%d" is the layer)
extern const std::map<int32_t, std::map<int32_t, const char *>> kestu_tensor_names;
// role -> the operator the weight feeds first
extern const std::map<int32_t, enum tevo_op> kestu_tensor_ops;
// voice-activity weight id (0..14) -> placing operator, and -> name
extern const std::map<int32_t, enum tevo_op> kestu_vad_tensor_ops;
extern const std::map<int32_t, const char *> kestu_vad_tensor_names;
// model size class -> "unknown", "tiny", ..., "large"
extern const std::map<int32_t, std::string> kestu_model_type_names;
// code -> (id, full name); 100 rows, iterated in code order
extern const std::map<std::string, std::pair<int32_t, std::string>> kestu_languages;
// presets 3..14
extern const std::map<enum kestu_alignment_heads_preset, kestu_alignment_heads> kestu_aheads_presets;
// the 54 non-speech texts, UTF-8
extern const std::vector<std::string> kestu_non_speech_tokens;
extern float kestu_sin_vals[KESTU_TRIG_N];
extern float kestu_cos_vals[KESTU_TRIG_N];
extern float kestu_hann_window[KESTU_TRIG_N];

// ---------------------------------------------------------------------------
// model

struct kestu_hparams {
    int32_t n_vocab       = 51864;
    int32_t n_audio_ctx   = 1500;
    int32_t n_audio_state = 384;
    int32_t n_audio_head  = 6;
    int32_t n_audio_layer = 4;
    int32_t n_text_ctx    = 448;
    int32_t n_text_state  = 384;
    int32_t n_text_head   = 6;
    int32_t n_text_layer  = 4;
    int32_t n_mels        = 80;
    int32_t ftype         = 1;
    float   eps           = 1e-5f;
};

struct kestu_filters {
    int32_t n_mel = 0;
    int32_t n_fft = 0;
    std::vector<float> data; // n_mel rows of n_fft weights
};

// spectrogram of a state: band j, frame i at j * n_len + i
struct kestu_mel {
    int32_t n_len     = 0; // frames, padding included
    int32_t n_len_org = 0; // frames of the caller's audio
    int32_t n_mel     = 0;
    std::vector<float> data;
};

struct kestu_vocab {
    using id    = int32_t;
    using token = std::string;

    int32_t n_vocab = 51864;

    std::map<token, id> token_to_id;
    std::map<id, token> id_to_token;
    // length of the longest text in token_to_id, kept as entries are added:
    // the tokenizer tries no longer prefix
    size_t max_token_len = 0;

    id token_eot        = 50256;
    id token_sot        = 50257;
    id token_translate  = 50357;
    id token_transcribe = 50358;
    id token_solm       = 50359; // also the speaker-turn token
    id token_prev       = 50360;
    id token_nosp       = 50361;
    id token_not        = 50362;
    id token_beg        = 50363;

    bool is_multilingual() const { return n_vocab > 51864; }
    // language tokens of this vocabulary
    int num_languages() const { return n_vocab - 51765 - (is_multilingual() ? 1 : 0); }
};

struct kestu_layer_encoder {
    tevo_tensor * attn_ln_w;
    tevo_tensor * attn_ln_b;
    tevo_tensor * attn_out_w;
    tevo_tensor * attn_out_b;
    tevo_tensor * attn_q_w;
    tevo_tensor * attn_q_b;
    tevo_tensor * attn_k_w; // no bias
    tevo_tensor * attn_v_w;
    tevo_tensor * attn_v_b;
    tevo_tensor * mlp_ln_w;
    tevo_tensor * mlp_ln_b;
    tevo_tensor * mlp_0_w;
    tevo_tensor * mlp_0_b;
    tevo_tensor * mlp_1_w; // "mlp.2" in the file
    tevo_tensor * mlp_1_b;
};

struct kestu_layer_decoder {
    tevo_tensor * attn_ln_w;
    tevo_tensor * attn_ln_b;
    tevo_tensor * attn_out_w;
    tevo_tensor * attn_out_b;
    tevo_tensor * attn_q_w;
    tevo_tensor * attn_q_b;
    tevo_tensor * attn_k_w;
    tevo_tensor * attn_v_w;
    tevo_tensor * attn_v_b;

    tevo_tensor * cross_attn_ln_w;
    tevo_tensor * cross_attn_ln_b;
    tevo_tensor * cross_attn_out_w;
    tevo_tensor * cross_attn_out_b;
    tevo_tensor * cross_attn_q_w;
    tevo_tensor * cross_attn_q_b;
    tevo_tensor * cross_attn_k_w;
    tevo_tensor * cross_attn_v_w;
    tevo_tensor * cross_attn_v_b;

    tevo_tensor * mlp_ln_w;
    tevo_tensor * mlp_ln_b;
    tevo_tensor * mlp_0_w;
    tevo_tensor * mlp_0_b;
    tevo_tensor * mlp_1_w;
    tevo_tensor * mlp_1_b;
};

struct kestu_model {
    int32_t type = 0; // size class 0 unknown .. 5 large

    kestu_hparams hparams;
    kestu_filters filters;

    // encoder
    tevo_tensor * e_pe       = nullptr;
    tevo_tensor * e_conv_1_w = nullptr;
    tevo_tensor * e_conv_1_b = nullptr;
    tevo_tensor * e_conv_2_w = nullptr;
    tevo_tensor * e_conv_2_b = nullptr;
    tevo_tensor * e_ln_w     = nullptr;
    tevo_tensor * e_ln_b     = nullptr;

    // decoder
    tevo_tensor * d_pe   = nullptr; // positional embedding
    tevo_tensor * d_te   = nullptr; // token embedding
    tevo_tensor * d_ln_w = nullptr;
    tevo_tensor * d_ln_b = nullptr;

    std::vector<kestu_layer_encoder> layers_encoder;
    std::vector<kestu_layer_decoder> layers_decoder;

    std::vector<tevo_context *>         ctxs;    // weight records, one per buffer type
    std::vector<tevo_backend_buffer_t> buffers; // weight data, one per buffer type

    int32_t n_loaded = 0;
    std::map<std::string, tevo_tensor *> tensors;
};

// ---------------------------------------------------------------------------
// key-value caches, batch, schedulers

struct kestu_kv_cell {
    int32_t pos = -1; // -1: free
    std::set<int32_t> seq_id;

    bool has_seq_id(int32_t id) const { return seq_id.find(id) != seq_id.end(); }
};

struct kestu_kv_cache {
    uint32_t head = 0; // first cell to try for the next batch
    uint32_t size = 0; // cells
    uint32_t n    = 0; // cells the next decoder graph attends over

    std::vector<kestu_kv_cell> cells;

    tevo_tensor * k = nullptr; // 1-D, n_state * n_layer * size
    tevo_tensor * v = nullptr;

    std::vector<uint8_t> ctx_buf; // holds the records of k and v
    tevo_backend_buffer_t buffer = nullptr;
};

// Decoder input. Arrays hold n_text_ctx tokens; malloc'd, freed with free.
struct kestu_batch {
    int32_t n_tokens = 0;

    kestu_token * token    = nullptr;
    int32_t *     pos      = nullptr;
    int32_t *     n_seq_id = nullptr;
    int32_t **    seq_id   = nullptr; // per token KESTU_MAX_DECODERS ids; one NULL entry after the last
    int8_t *      logits   = nullptr; // 1: read this token's logits back
};

// one scheduler per graph kind, with the memory its graphs are built in
struct kestu_sched {
    tevo_backend_sched_t sched = nullptr;
    std::vector<uint8_t> meta; // tevo_tensor_overhead() * 4096 + tevo_graph_overhead()
};

struct kestu_aheads_masks {
    std::vector<tevo_tensor *> m; // per text layer [n_text_head, heads of the layer]; NULL without heads
    tevo_context *        ctx    = nullptr;
    tevo_backend_buffer_t buffer = nullptr;
};

// ---------------------------------------------------------------------------
// grammar

struct kestu_partial_utf8 {
    uint32_t value    = 0; // bits decoded so far of an unfinished character
    int32_t  n_remain = 0; // continuation bytes still expected; -1: invalid input
};

// a position in the rules by index, so copies of a grammar stay valid alone
struct kestu_grammar_pos {
    uint32_t rule = 0;
    uint32_t elem = 0;
};

using kestu_grammar_rule   = std::vector<kestu_grammar_element>;
using kestu_grammar_rules  = std::vector<kestu_grammar_rule>;
using kestu_grammar_stack  = std::vector<kestu_grammar_pos>; // top is back()
using kestu_grammar_stacks = std::vector<kestu_grammar_stack>;

struct kestu_grammar {
    kestu_grammar_rules  rules;
    kestu_grammar_stacks stacks;
    kestu_partial_utf8   partial_utf8;
};

struct kestu_grammar_candidate {
    kestu_token        id;
    const uint32_t *   code_points; // into a 0-terminated list owned by the caller
    kestu_partial_utf8 partial_utf8;
};

// ---------------------------------------------------------------------------
// decoding

struct kestu_sequence {
    std::vector<kestu_token_data> tokens;

    int32_t result_len = 0; // tokens that form the result

    double sum_logprobs_all = 0.0;
    double sum_logprobs     = -INFINITY;
    double avg_logprobs     = -INFINITY;
    double entropy          = 0.0;
    double score            = -INFINITY;
};

struct kestu_decoder {
    kestu_sequence sequence;
    kestu_grammar  grammar;

    int32_t i_batch    = -1;   // row of the batch whose logits are this decoder's
    int32_t seek_delta = 3000; // frames the window advances when this decoder wins

    bool failed    = false;
    bool completed = false;
    bool has_ts    = false;
    bool no_token  = false; // failed because its distribution left no token possible

    std::vector<float> probs;
    std::vector<float> logits;
    std::vector<float> logprobs;

    std::vector<std::pair<double, kestu_token>> logits_id; // sampling work list

    std::mt19937 rng; // re-seeded with the decoder index at every run
};

struct kestu_beam_candidate {
    int32_t        decoder_idx;
    int32_t        seek_delta;
    bool           has_ts;
    kestu_sequence sequence;
    kestu_grammar  grammar;
};

struct kestu_segment {
    int64_t     t0;
    int64_t     t1;
    std::string text;
    float       no_speech_prob;

    std::vector<kestu_token_data> tokens;

    bool speaker_turn_next;
};

// ---------------------------------------------------------------------------
// voice-activity time map (filled by kestu_vad, read by the getters)

// a speech threshold is a probability: out of 0 to 1 (or NaN) it would find
// no speech, or all of it
inline bool kestu_vad_threshold_valid(float threshold) {
    return threshold >= 0.0f && threshold <= 1.0f;
}

struct vad_segment_info {
    int64_t orig_start; // centiseconds of the caller's audio
    int64_t orig_end;
    int64_t vad_start; // centiseconds of the filtered audio
    int64_t vad_end;
};

struct vad_time_mapping_point {
    int64_t processed_time;
    int64_t original_time;
};

// ---------------------------------------------------------------------------
// state and context

struct kestu_hollin_context; // external encoder, never present here

// CPU worker threads that a series of graph runs shares: starting and joining
// threads for every run costs more than a small graph's work. Made on the
// first run with two or more threads, again when the count changes; set on
// the CPU backends it runs on until idled or freed. Between runs its threads
// poll for 25 rounds (2.5 ms), which bridges the gaps between a
// token step's graphs and its sampling without a wake-up, then sleep, so
// that they burn nothing while the caller's thread works alone or between
// requests.
struct kestu_threadpool {
    struct tevo_threadpool *    pool        = nullptr;
    int                         n_threads   = 0;
    uint32_t                    poll_rounds = 25;
    std::vector<tevo_backend_t> backends; // those it is set on
};

struct kestu_state {
    int64_t t_sample_us = 0;
    int64_t t_encode_us = 0;
    int64_t t_decode_us = 0;
    int64_t t_batchd_us = 0;
    int64_t t_prompt_us = 0;
    int64_t t_mel_us    = 0;

    int32_t n_sample = 0; // sampling rounds
    int32_t n_encode = 0;
    int32_t n_decode = 0; // one-token decoder runs
    int32_t n_batchd = 0; // tokens of 2..15-token runs
    int32_t n_prompt = 0; // tokens of runs of 16 or more
    int32_t n_fail_p = 0; // temperature fallbacks
    int32_t n_fail_h = 0; // sequences failed for low entropy

    // self-attention cache, sized for kv_self_n_decoders decoders
    kestu_kv_cache kv_self;
    int32_t        kv_self_n_decoders = 0;

    kestu_kv_cache kv_cross; // cross-attention keys and values
    kestu_kv_cache kv_pad;   // encoder keys and values of the flash path

    kestu_mel mel;

    kestu_batch batch;

    kestu_decoder decoders[KESTU_MAX_DECODERS];

    std::vector<tevo_backend_t> backends; // CPU backend last; [0] holds caches and masks

    // the encoder's and decoder's runs share these threads
    kestu_threadpool threadpool;

    kestu_sched sched_conv;
    kestu_sched sched_encode;
    kestu_sched sched_cross;
    kestu_sched sched_decode;

    // staging of the "mel" and "KQ_mask" inputs, reused from run to run
    std::vector<float> inp_mel;
    std::vector<float> inp_mask;

    // decoder output of the last run: n_tokens rows of n_vocab
    std::vector<float> logits;

    std::vector<kestu_segment> result;

    std::vector<kestu_token> initial_prompt_tokens;
    std::vector<kestu_token> past_text_tokens;

    // language detection: (probability, language id), best first
    std::vector<std::pair<float, int32_t>> lang_probs;

    // per-sample magnitude for the token-time pass
    std::vector<float> energy;

    // token-time tracking
    int64_t t_beg    = 0;
    int64_t t_last   = 0;
    int32_t tid_last = 0;

    // audio positions of this run; 0: the model's own
    int32_t exp_n_audio_ctx = 0;

    struct kestu_hollin_context * hollin_encoder = nullptr;

    kestu_aheads_masks aheads_masks;
    tevo_tensor *      aheads_cross_QKs = nullptr;
    std::vector<float> aheads_cross_QKs_data;

    // tensors of the last built graphs
    tevo_tensor * embd_conv = nullptr;
    tevo_tensor * embd_enc  = nullptr;

    int32_t lang_id        = 0; // English by default
    float   no_speech_prob = 0.0f;

    // voice-activity pre-filter
    struct kestu_vad_context *          vad_context = nullptr;
    std::string                         vad_model_file; // the file vad_context was made from
    std::vector<vad_segment_info>       vad_segments;
    bool                                has_vad_segments = false;
    std::vector<vad_time_mapping_point> vad_mapping_table;
};

struct kestu_context {
    int64_t t_load_us  = 0;
    int64_t t_start_us = 0;

    enum tevo_type wtype   = TEVO_TYPE_F16; // large weight matrices
    enum tevo_type kv_type = TEVO_TYPE_F16; // key-value caches

    kestu_context_params params;

    kestu_model model;
    kestu_vocab vocab;

    kestu_state * state = nullptr; // default state of the with-state creators

    std::string path_model;

    // The weights have no names until the first graph that reads them names
    // them (leaf_%d) in this shared model: states made on several threads
    // at once build their graphs one at a time.
    std::mutex graph_build_mutex;
};

// ---------------------------------------------------------------------------
// backends and weight placement (kestu-backend.cpp)

using kestu_buft_list = std::vector<std::pair<tevo_backend_dev_t, tevo_backend_buffer_type_t>>;

// at most one GPU, every accelerator, the CPU backend last; throws
// std::runtime_error("failed to initialize CPU backend")
std::vector<tevo_backend_t> kestu_backend_init(const kestu_context_params & params);

// GPU buffer type (when use_gpu), the CPU extra buffer types, the plain CPU type
kestu_buft_list kestu_make_buffer_type_list(const kestu_context_params & params);

// Tests only: when set, kestu_make_buffer_type_list returns this function's
// list instead (a test keeps every weight in plain CPU buffers with it).
extern kestu_buft_list (*kestu_buft_list_for_tests)(const kestu_context_params & params);

// what the model loader hands to create_model_tensor
struct kestu_placement {
    const kestu_hparams &                                 hparams;
    const kestu_buft_list &                               buft_list;
    std::map<tevo_backend_buffer_type_t, tevo_context *> & ctx_map; // contexts also appended to model.ctxs
    size_t                                                n_tensors;
    kestu_model &                                         model;
};

// places a copy of meta in the chosen buffer type's context, names it from the
// tables and enters it in model.tensors; throws std::runtime_error
tevo_tensor * create_model_tensor(kestu_placement & placement, int32_t role, int32_t kind, tevo_tensor * meta,
                                  int32_t layer);

// ---------------------------------------------------------------------------
// model loading (kestu-model-load.cpp)

// reads the whole model through the loader into a fresh context; false after
// a logged error; may throw (caught by the creator)
//
// source_size: the bytes the source holds (a file's size, a memory image's
// length), so that no header count sizes anything the rest of the source
// cannot hold; KESTU_SOURCE_SIZE_UNKNOWN for a caller's loader.
constexpr size_t KESTU_SOURCE_SIZE_UNKNOWN = SIZE_MAX;
bool kestu_model_load(kestu_model_loader * loader, kestu_context & ctx,
                      size_t source_size = KESTU_SOURCE_SIZE_UNKNOWN);

// ---------------------------------------------------------------------------
// external encoder hooks (kestu-hollin.cpp); empty in this system

struct kestu_hollin_context * kestu_hollin_init(const char * path_model); // always NULL here
void kestu_hollin_encode(struct kestu_hollin_context * hctx, int64_t mel_ne0, int64_t mel_ne1, const float * mel,
                         float * out);
void kestu_hollin_free(struct kestu_hollin_context * hctx);

// ---------------------------------------------------------------------------
// key-value caches (kestu-kv-cache.cpp)

// (re)makes a cache of n_ctx cells on the backend, zero-filled; does not free
// an earlier buffer
bool kestu_kv_cache_init(kestu_kv_cache & cache, tevo_backend_t backend, enum tevo_type wtype, int64_t n_text_state,
                         int64_t n_text_layer, int n_ctx);
// frees the buffer and forgets the tensors
void kestu_kv_cache_free(kestu_kv_cache & cache);
// every cell free, head 0, buffer zero-filled
void kestu_kv_cache_clear(kestu_kv_cache & cache);
// claims cells for the batch and sets cache.n; false when they cannot be had
bool kestu_kv_cache_find_slot(kestu_kv_cache & cache, const kestu_batch & batch);
// removes seq_id (every sequence when < 0) from cells at positions >= max(p0, 0)
void kestu_kv_cache_drop_cells(kestu_kv_cache & cache, int32_t seq_id, int32_t p0);
// head to 0; every cell holding seq_src at p0 <= pos < p1 also gets seq_dst
void kestu_kv_cache_seq_cp(kestu_kv_cache & cache, int32_t seq_src, int32_t seq_dst, int32_t p0, int32_t p1);

// ---------------------------------------------------------------------------
// decoding state (kestu-state.cpp)

// arrays for n_tokens tokens of up to n_seq_max sequence ids each
kestu_batch kestu_batch_init(int32_t n_tokens, int32_t n_seq_max);
void        kestu_batch_free(kestu_batch & batch);

// creates the scheduler, sizes meta, allocates one graph of the builder and resets
bool kestu_sched_graph_init(kestu_sched & sched, std::vector<tevo_backend_t> backends,
                            const std::function<tevo_cgraph *()> & get_graph);
// meta bytes plus the compute buffers of every backend
size_t sched_buffer_size(const kestu_sched & sched);
size_t tensor_list_nbytes(const std::vector<tevo_tensor *> & tensors);
std::vector<uint32_t> alignment_heads_for_layer(const kestu_context_params & params, int il, int n_text_layer,
                                                int n_text_head);

// ---------------------------------------------------------------------------
// graphs (kestu-graph-encoder.cpp, kestu-graph-decoder.cpp)

// mel [2 n_ctx, n_mels] -> embd_conv [n_audio_state, n_ctx]
tevo_cgraph * kestu_build_conv_graph(kestu_context & ctx, kestu_state & state);
// embd_conv -> embd_enc [n_audio_state, n_ctx]
tevo_cgraph * kestu_build_encoder_graph(kestu_context & ctx, kestu_state & state);
// embd_enc -> kv_cross keys and values of every text layer
tevo_cgraph * kestu_build_cross_graph(kestu_context & ctx, kestu_state & state);
// embd, position, KQ_mask -> logits [n_vocab, n_tokens] as the last node
tevo_cgraph * kestu_build_decoder_graph(kestu_context & ctx, kestu_state & state, int32_t n_tokens,
                                        bool save_alignment_heads, bool worst_case);

// ---------------------------------------------------------------------------
// runs (kestu-run.cpp)

// sets the thread count on every backend, and the pool (when given) on every
// CPU backend, computes; resets when asked or on failure
bool kestu_graph_compute(tevo_backend_sched_t sched, tevo_cgraph * graph, int n_threads, bool reset,
                         kestu_threadpool * threadpool = nullptr);
// sets the pool off its backends: its threads sleep until the next run
void kestu_threadpool_idle(kestu_threadpool & threadpool);
// sets it off its backends and frees it; the backends must still exist
void kestu_threadpool_free(kestu_threadpool & threadpool);
// convolution stem, encoder, cross-attention for the window at mel_offset;
// frames from mel_end on are heard as past the end of the audio
bool kestu_run_encoder(kestu_context & ctx, kestu_state & state, int mel_offset, int n_threads,
                       kestu_abort_callback abort_callback, void * abort_callback_data, int mel_end = INT32_MAX);
// one decoder step for the batch; fills state.logits rows of flagged tokens
bool kestu_run_decoder(kestu_context & ctx, kestu_state & state, const kestu_batch & batch, int n_threads,
                       bool save_alignment_heads, kestu_abort_callback abort_callback, void * abort_callback_data);
// n_tokens tokens (ids copied when tokens is not NULL) at n_past.., one sequence
// id each, logits only on the last
void kestu_batch_fill(kestu_batch & batch, const kestu_token * tokens, int n_tokens, int n_past, int32_t seq_id);

// ---------------------------------------------------------------------------
// tokenizer (kestu-vocab.cpp)

// the words kestu_tokenize looks up: contractions, letter, digit and other
// runs with one optional leading space, and whitespace runs
std::vector<std::string> kestu_pre_split(const std::string & text);

// ---------------------------------------------------------------------------
// language detection (kestu-lang-detect.cpp)

// most probable language id, or -1 / -2 (offset), -6 (encoder), -7 (decoder)
int kestu_lang_auto_detect_internal(kestu_context & ctx, kestu_state & state, int offset_ms, int n_threads,
                                    float * lang_probs, kestu_abort_callback abort_callback,
                                    void * abort_callback_data);

// ---------------------------------------------------------------------------
// spectrogram (kestu-mel.cpp)

// N real inputs -> N complex outputs (re, im interleaved), N dividing 400; in
// needs 2 N floats (the recursion's scratch lies behind the N inputs), out 6 N
void kestu_fft(float * in, int N, float * out);

// ---------------------------------------------------------------------------
// logits processing (kestu-logits.cpp)
//
// The caller's logits callback must run on the caller's thread, so the work is
// split around it: _begin runs the steps before the callback, _end the rest.
// suppress_re is the run's compiled suppress_pattern, or NULL.

void kestu_filter_logits_begin(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                               const kestu_full_params & params, float temperature);
void kestu_filter_logits_end(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                             const kestu_full_params & params, const std::regex * suppress_re);
// _begin, the callback (on this thread), _end
void kestu_filter_logits(kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, float temperature, const std::regex * suppress_re);
// by text token id (below end of text): whether the first text token of a
// window may be that token under the run's settings (as the run has them,
// after the model's own rules: no timestamps on some models), with the masks of the
// first step, or of the step after a first timestamp or speaker turn; the
// masks before the logits callback count only without one
std::vector<bool> kestu_first_text_tokens(const kestu_context & ctx, const kestu_full_params & params,
                                          const std::regex * suppress_re);

// ---------------------------------------------------------------------------
// sampling (kestu-sampling.cpp)

// whether some token has a finite, positive probability in decoder.probs
bool kestu_token_possible(const kestu_decoder & decoder);
// the decoder's next token: argmax when best, else a draw with decoder.rng;
// id -1 when no token is possible
kestu_token_data kestu_sample_token(const kestu_context & ctx, kestu_decoder & decoder, bool best);
// k independent draws with decoder.rng; none when no token is possible
std::vector<kestu_token_data> kestu_sample_token_topk(const kestu_context & ctx, kestu_decoder & decoder, int k);
// worker loop: takes decoder indices from next_decoder until n_decoders;
// greedy appends the token, beam search fills beam_candidates[j]; a greedy
// decoder with no possible token is failed (and marked no_token)
void kestu_decoder_job(std::atomic<int32_t> & next_decoder, int32_t n_decoders, kestu_state & state,
                       const kestu_full_params & params, float temperature, const kestu_context & ctx,
                       std::vector<std::vector<kestu_beam_candidate>> & beam_candidates);

// ---------------------------------------------------------------------------
// grammar (kestu-grammar.cpp)

// code points of text (0-terminated list) and the pending state after it
std::pair<std::vector<uint32_t>, kestu_partial_utf8> kestu_utf8_decode_partial(const char * text,
                                                                             kestu_partial_utf8 partial_start);
void kestu_grammar_expand_stack(const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
                                kestu_grammar_stacks & new_stacks);
std::vector<kestu_grammar_candidate> kestu_grammar_filter_for_stack(
    const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
    const std::vector<kestu_grammar_candidate> & candidates);
// a token is rejected only when every stack rejects it
std::vector<kestu_grammar_candidate> kestu_grammar_filter_candidates(
    const kestu_grammar_rules & rules, const kestu_grammar_stacks & stacks,
    const std::vector<kestu_grammar_candidate> & candidates);
// true when every rule ends, every reference names a rule, every character
// set is well formed and no rule reaches itself before consuming a character
// (judged once the alternatives that can never complete are dropped, and
// without the rules the start rule reached only through them); else logs
// what is wrong. When valid and `used` is set, it receives the rules copied,
// each up to its END, without those alternatives.
bool kestu_grammar_validate(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule,
                            kestu_grammar_rules * used = nullptr);
// copies the rules, drops from the rules that can be completed the
// alternatives that cannot (they need a rule that never completes, or a
// character set that matches nothing), and expands every alternative of the
// start rule; an invalid grammar, or one whose start exceeds the expansion, stack or depth
// bound, gives an empty state (no rules, no stacks) after an error line
kestu_grammar kestu_grammar_init(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule);
// advances the grammar by the token's text (special "[_" tokens change nothing)
void kestu_grammar_accept_token(const kestu_vocab & vocab, kestu_grammar & grammar, kestu_token token);
// the text tokens (ids below end of text with a text) the grammar rejects
// next: all of them when no parse stack is left
std::vector<kestu_token> kestu_grammar_rejected_tokens(const kestu_vocab & vocab, const kestu_grammar & grammar);
// whether some text token that first_tokens (by id, from
// kestu_first_text_tokens) allows can begin the grammar; false after an
// error line
bool kestu_grammar_can_begin(const kestu_vocab & vocab, const kestu_grammar & grammar,
                             const std::vector<bool> & first_tokens);
// whether the start rule derives some text, i.e. some alternative of it can
// be completed; false after an error line
bool kestu_grammar_derives_text(const kestu_grammar & grammar, size_t start_rule);

// ---------------------------------------------------------------------------
// transcription driver (kestu-full.cpp)

// start, start + step, ... below 1.0 plus 8 ulp; bounded in length
std::vector<float> kestu_temperature_list(float start_temperature, float temperature_step);
// compiles a run's suppress_pattern into re; false after an error line when
// it is longer than KESTU_SUPPRESS_PATTERN_MAX_LEN or not a valid expression
bool kestu_compile_suppress_pattern(const char * pattern, std::regex & re);
// the code and log line with which the driver refuses the request before any
// work, or KESTU_FULL_OK
int kestu_full_refusal(const kestu_context & ctx, const kestu_full_params & params, const float * samples,
                       int n_samples);
// kestu_full_with_state for audio the pre-filter made: the state's time map
// belongs to this run and is kept for the getters
int kestu_full_keep_vad_map(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                            const float * samples, int n_samples);

// ---------------------------------------------------------------------------
// fallback and best-decoder choice (kestu-fallback.cpp)

// sum, average, score and entropy of the first result_len tokens
void kestu_sequence_score(const kestu_full_params & params, kestu_sequence & sequence);
// merges, ranks and hands the beam candidates of step i to the active decoders;
// when none were proposed, every active decoder is failed (and marked no_token)
void kestu_beam_hand_out(kestu_state & state, int n_cur, int i,
                         std::vector<std::vector<kestu_beam_candidate>> & beam_candidates,
                         std::vector<kestu_beam_candidate> & merged);
// timestamp, grammar and end checks of the decoder's newest token at step i
void kestu_decoder_check(const kestu_context & ctx, kestu_state & state, kestu_decoder & decoder,
                         const kestu_full_params & params, int i, int n_max, int seek, int seek_end);
// scores the decoders of an attempt; the best index, or best_decoder_id when none
// beats -inf (0 when best_decoder_id is not one of the attempt's n_cur decoders)
int kestu_rank_decoders(kestu_state & state, const kestu_full_params & params, int n_cur, int best_decoder_id);
// true: accept the attempt; false: try the next temperature
bool kestu_accept_attempt(const kestu_state & state, const kestu_decoder & best, const kestu_full_params & params,
                          bool last_temperature);
// true when every decoder 0 .. n_cur-1 failed for want of a possible token
bool kestu_attempt_found_no_token(const kestu_state & state, int n_cur);

// ---------------------------------------------------------------------------
// segments and timestamps (kestu-segments.cpp)

// "hh:mm:ss.mmm" of t centiseconds
std::string kestu_format_timestamp(int64_t t);
// per-sample mean magnitude over 65 samples, for the token-time pass
void kestu_compute_energy(std::vector<float> & energy, const float * samples, int n_samples);
// cuts the accepted tokens of the window at [seek, seek + seek_delta) into
// segments, appends them and calls on_new_segment; returns how many were added
int kestu_cut_segments(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                       const std::vector<kestu_token_data> & tokens, int seek, int seek_delta);
void kestu_exp_compute_token_level_timestamps(kestu_context & ctx, kestu_state & state, int i_segment,
                                              float thold_pt, float thold_ptsum);
// splits the last segment; returns how many segments it became
int kestu_split_long_segment(kestu_context & ctx, kestu_state & state, int max_len, bool split_on_word);

// ---------------------------------------------------------------------------
// benchmarks (kestu-bench.cpp); the public entries run them at full size

// heat-up, one thread and 1..n_threads threads over blocks of size bytes
std::string kestu_bench_memcpy_report(int n_threads, size_t size, int n_copies);
// three lines per matrix size; types this build cannot quantize report 0 runs
std::string kestu_bench_mul_mat_report(int n_threads, const std::vector<size_t> & sizes);
// the three lines of one size, for Q4_0, Q4_1, Q5_0, Q5_1, Q8_0, F16 and F32
std::string kestu_bench_mul_mat_lines(size_t N, const double gflops[7], const int runs[7]);

// ---------------------------------------------------------------------------
// token-level timestamps by dynamic time warping (kestu-dtw.cpp)

// gives t_dtw to the text tokens of the n_segments segments from i_segment,
// then calls on_new_segment; a window shorter than the filter leaves them at
// -1; false after a logged failure (decoder run, memory, graph)
bool kestu_dtw_timestamps(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                          int i_segment, int n_segments, int seek, int n_frames, int medfilt_width,
                          int n_threads);
// custom operator: median of medfilt_width values along dimension 2 (userdata: int width)
void kestu_dtw_median_filter(tevo_tensor * dst, const tevo_tensor * a, int ith, int nth, void * userdata);
// path through the cost matrix x [N tokens, M positions]: I32 [2, length] of (row, position)
tevo_tensor * kestu_dtw_path(tevo_context * ctx, tevo_tensor * x);

// ---------------------------------------------------------------------------
// voice-activity pre-filter (vad/kestu-vad-filter.cpp)

// fills filtered with the speech of samples and the state's time map
bool kestu_vad(kestu_context * ctx, kestu_state * state, const float * samples, int n_samples,
               std::vector<float> & filtered, kestu_full_params params);
