#include "kestu-impl.h"

// Model file reading: magic, hyper-parameters, mel filters, vocabulary with
// its special tokens, then the weight tensors, created per buffer type in
// no-allocation contexts, backed by one buffer per buffer type and filled
// straight from the stream.
//
// The file is untrusted input. Every read is checked (a short read fails the
// load), every hyper-parameter that later sizes a buffer, a loop or a graph is
// bounded here, and every tensor must arrive exactly once with the type and
// shape the model expects: later stages rely on all of it without checking.

#include <climits>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint32_t KESTU_FILE_MAGIC = 0x7465766f;

// bins of the 400-point transform the spectrogram computes
constexpr int32_t KESTU_N_FFT_BINS = 201;

// longest token text and tensor name accepted; real ones are a few dozen bytes
constexpr uint32_t KESTU_MAX_TOKEN_BYTES = 1u << 20;
constexpr int32_t  KESTU_MAX_NAME_BYTES  = 4096;

// Most layers of either stack: a state's graphs and schedulers hold at most
// 4096 nodes, and a decoder layer takes up to 84 of them (with the alignment
// heads of the time warping), an encoder layer 48. The largest models have 32.
constexpr int32_t KESTU_MAX_LAYERS = 48;

// Reads through the caller's loader; the loader reports how many bytes it
// copied. When the source's size is known, every count read from the file is
// held against what is left of it before it sizes anything, so a damaged
// header fails at once instead of building gigabytes first.
struct model_reader {
    kestu_model_loader * loader;
    size_t               size     = KESTU_SOURCE_SIZE_UNKNOWN;
    size_t               consumed = 0;

    size_t read_count(void * dst, size_t n) {
        if (n == 0) {
            return 0;
        }
        const size_t got = loader->read(loader->context, dst, n);
        consumed += got;
        return got;
    }

    // can the rest of the source hold n more bytes?
    bool holds(uint64_t n) const {
        return size == KESTU_SOURCE_SIZE_UNKNOWN || n <= (consumed < size ? size - consumed : 0);
    }

    bool read(void * dst, size_t n) { return n == 0 || read_count(dst, n) == n; }

    bool read_i32(int32_t & v) { return read(&v, sizeof(v)); }

    bool eof() { return loader->eof(loader->context); }
};

void log_truncated(const char * what) {
    KESTU_LOG_ERROR("%s: unexpected end of model file in %s\n", "kestu_model_load", what);
}

// ftype values that name an element type (the others would abort the mapping)
bool ftype_is_valid(int32_t ftype) {
    return ftype >= TEVO_FTYPE_ALL_F32 && ftype <= TEVO_FTYPE_MOSTLY_Q2_0 &&
           !(ftype > TEVO_FTYPE_MOSTLY_Q4_1 && ftype < TEVO_FTYPE_MOSTLY_Q8_0);
}

int64_t sat_mul(int64_t a, int64_t b) {
    if (a > 0 && b > 0 && a > INT64_MAX / b) {
        return INT64_MAX;
    }
    return a * b;
}

int64_t pad256(int64_t x) {
    return (x + 255) & ~int64_t(255);
}

// Bounds on what the rest of the library sizes from the hyper-parameters: the
// weights, caches, logits, spectrogram and attention scores must stay within
// int32 element counts, and the graphs need one width and one head count for
// encoder and decoder, divisible into heads.
bool hparams_are_usable(const kestu_hparams & hp, enum tevo_type wtype) {
    static const char * const func = "kestu_model_load";

    const std::pair<const char *, int32_t> counts[] = {
        {"n_vocab", hp.n_vocab},           {"n_audio_ctx", hp.n_audio_ctx}, {"n_audio_state", hp.n_audio_state},
        {"n_audio_head", hp.n_audio_head}, {"n_audio_layer", hp.n_audio_layer},
        {"n_text_ctx", hp.n_text_ctx},     {"n_text_state", hp.n_text_state}, {"n_text_head", hp.n_text_head},
        {"n_text_layer", hp.n_text_layer}, {"n_mels", hp.n_mels},
    };
    for (const auto & [name, value] : counts) {
        if (value <= 0) {
            KESTU_LOG_ERROR("%s: invalid %s %d in model file (expected > 0)\n", func, name, value);
            return false;
        }
    }

    for (const auto & [name, value] : {std::pair<const char *, int32_t>{"n_audio_layer", hp.n_audio_layer},
                                       std::pair<const char *, int32_t>{"n_text_layer", hp.n_text_layer}}) {
        if (value > KESTU_MAX_LAYERS) {
            KESTU_LOG_ERROR("%s: invalid %s %d in model file (expected at most %d)\n", func, name, value,
                            KESTU_MAX_LAYERS);
            return false;
        }
    }

    // the English-only ids are the smallest the special tokens take
    const int32_t n_vocab_min = kestu_vocab().token_beg + 1;
    if (hp.n_vocab < n_vocab_min) {
        KESTU_LOG_ERROR("%s: n_vocab %d is too small for the special tokens (expected >= %d)\n", func, hp.n_vocab,
                        n_vocab_min);
        return false;
    }
    if (hp.n_audio_state != hp.n_text_state) {
        KESTU_LOG_ERROR("%s: encoder and decoder widths differ: n_audio_state %d, n_text_state %d\n", func,
                        hp.n_audio_state, hp.n_text_state);
        return false;
    }
    if (hp.n_audio_head != hp.n_text_head) {
        KESTU_LOG_ERROR("%s: encoder and decoder head counts differ: n_audio_head %d, n_text_head %d\n", func,
                        hp.n_audio_head, hp.n_text_head);
        return false;
    }
    if (hp.n_audio_state % hp.n_audio_head != 0) {
        KESTU_LOG_ERROR("%s: width %d is not a multiple of the head count %d\n", func, hp.n_audio_state,
                        hp.n_audio_head);
        return false;
    }
    const int64_t blck = tevo_blck_size(wtype);
    if (hp.n_audio_state % blck != 0) {
        KESTU_LOG_ERROR("%s: width %d is not a multiple of the block size %d of %s weights\n", func,
                        hp.n_audio_state, (int) blck, tevo_type_name(wtype));
        return false;
    }

    const int64_t s = hp.n_audio_state, t = hp.n_text_state;
    const int64_t n_tensors = 25 + 15 * int64_t(hp.n_audio_layer) + 24 * int64_t(hp.n_text_layer);
    const std::pair<const char *, int64_t> sizes[] = {
        {"4 x n_audio_state", 4 * s},
        {"the encoder positional embedding", sat_mul(s, hp.n_audio_ctx)},
        {"the first convolution", sat_mul(sat_mul(3, hp.n_mels), s)},
        {"the second convolution", sat_mul(sat_mul(3, s), s)},
        {"the spectrogram window", sat_mul(2 * int64_t(hp.n_audio_ctx), hp.n_mels)},
        {"the encoder attention", sat_mul(sat_mul(hp.n_audio_ctx, hp.n_audio_ctx), hp.n_audio_head)},
        {"the padding cache", sat_mul(s, pad256(hp.n_audio_ctx))},
        {"the decoder positional embedding", sat_mul(t, hp.n_text_ctx)},
        {"the token embedding", sat_mul(t, hp.n_vocab)},
        {"the logits", sat_mul(hp.n_vocab, hp.n_text_ctx)},
        {"the self-attention cache",
         sat_mul(sat_mul(sat_mul(t, hp.n_text_layer), pad256(hp.n_text_ctx)), KESTU_MAX_DECODERS)},
        {"the cross-attention cache", sat_mul(sat_mul(t, hp.n_text_layer), pad256(hp.n_audio_ctx))},
        {"the decoder attention", sat_mul(sat_mul(pad256(hp.n_text_ctx), hp.n_text_ctx), hp.n_text_head)},
        {"the cross attention", sat_mul(sat_mul(pad256(hp.n_audio_ctx), hp.n_text_ctx), hp.n_text_head)},
        {"the tensor records", sat_mul(n_tensors, (int64_t) tevo_tensor_overhead())},
    };
    for (const auto & [what, n] : sizes) {
        if (n > INT32_MAX) {
            KESTU_LOG_ERROR("%s: hyper-parameters too large: the size of %s overflows\n", func, what);
            return false;
        }
    }
    return true;
}

// text of a token id the vocabulary section did not cover
std::string generated_token_text(const kestu_vocab & vocab, int32_t id) {
    if (id > vocab.token_beg) {
        return "[_TT_" + std::to_string(id - vocab.token_beg) + "]";
    }
    if (id == vocab.token_eot)        return "[_EOT_]";
    if (id == vocab.token_sot)        return "[_SOT_]";
    if (id == vocab.token_translate)  return "[_TRANSLATE_]";
    if (id == vocab.token_transcribe) return "[_TRANSCRIBE_]";
    if (id == vocab.token_solm)       return "[_SOLM_]";
    if (id == vocab.token_prev)       return "[_PREV_]";
    if (id == vocab.token_nosp)       return "[_NOSP_]";
    if (id == vocab.token_not)        return "[_NOT_]";
    if (id == vocab.token_beg)        return "[_BEG_]";
    if (id > vocab.token_sot && id <= vocab.token_sot + vocab.num_languages()) {
        const char * code = kestu_lang_str(id - vocab.token_sot - 1);
        if (code != nullptr) {
            return std::string("[_LANG_") + code + "]";
        }
        // a language id beyond the table: keep the text unique all the same
    }
    return "[_extra_token_" + std::to_string(id) + "]";
}

bool read_filters(model_reader & in, const kestu_hparams & hp, kestu_filters & filters) {
    static const char * const func = "kestu_model_load";

    if (!in.read_i32(filters.n_mel) || !in.read_i32(filters.n_fft)) {
        log_truncated("the mel filter bank");
        return false;
    }
    // the spectrogram has n_mels rows and the transform KESTU_N_FFT_BINS bins
    if (filters.n_mel != hp.n_mels) {
        KESTU_LOG_ERROR("%s: mel filter bank has %d bands, expected %d\n", func, filters.n_mel, hp.n_mels);
        return false;
    }
    if (filters.n_fft <= 0 || filters.n_fft > KESTU_N_FFT_BINS) {
        KESTU_LOG_ERROR("%s: mel filter bank has %d frequency bins, expected 1 to %d\n", func, filters.n_fft,
                        KESTU_N_FFT_BINS);
        return false;
    }
    if (!in.holds(uint64_t(filters.n_mel) * uint64_t(filters.n_fft) * sizeof(float))) {
        log_truncated("the mel filter bank");
        return false;
    }
    filters.data.resize(size_t(filters.n_mel) * size_t(filters.n_fft));
    if (!in.read(filters.data.data(), filters.data.size() * sizeof(float))) {
        log_truncated("the mel filter bank");
        return false;
    }
    return true;
}

bool read_vocab(model_reader & in, const kestu_hparams & hp, kestu_vocab & vocab) {
    static const char * const func = "kestu_model_load";

    int32_t n_entries = 0;
    if (!in.read_i32(n_entries)) {
        log_truncated("the vocabulary");
        return false;
    }
    if (n_entries < 0 || n_entries > hp.n_vocab) {
        // more texts than logits would give ids without a row
        KESTU_LOG_ERROR("%s: vocabulary has %d entries, expected 0 to n_vocab (%d)\n", func, n_entries, hp.n_vocab);
        return false;
    }
    // every entry takes at least its length
    if (!in.holds(uint64_t(n_entries) * sizeof(uint32_t))) {
        log_truncated("the vocabulary");
        return false;
    }

    std::vector<char> buf;
    for (int32_t i = 0; i < n_entries; i++) {
        uint32_t len = 0;
        if (!in.read(&len, sizeof(len))) {
            log_truncated("the vocabulary");
            return false;
        }
        if (len > KESTU_MAX_TOKEN_BYTES) {
            KESTU_LOG_ERROR("%s: token %d is %u bytes long (expected at most %u)\n", func, i, len,
                            KESTU_MAX_TOKEN_BYTES);
            return false;
        }
        if (!in.holds(len)) {
            log_truncated("the vocabulary");
            return false;
        }
        std::string word;
        if (len > 0) {
            if (buf.size() < len) {
                buf.resize(len);
            }
            if (!in.read(buf.data(), len)) {
                log_truncated("the vocabulary");
                return false;
            }
            word.assign(buf.data(), len);
        }
        vocab.token_to_id[word] = i;
        vocab.id_to_token[i]    = word;
        vocab.max_token_len     = std::max(vocab.max_token_len, word.size());
    }

    // the first step of every transcription suppresses this token by its text
    // (no generated text is one)
    if (vocab.token_to_id.find(" ") == vocab.token_to_id.end()) {
        KESTU_LOG_ERROR("%s: vocabulary has no single-space token\n", func);
        return false;
    }

    vocab.n_vocab = hp.n_vocab;
    if (vocab.is_multilingual()) {
        const int32_t dt = vocab.n_vocab - 51864;
        vocab.token_eot++;
        vocab.token_sot++;
        vocab.token_translate += dt;
        vocab.token_transcribe += dt;
        vocab.token_solm += dt;
        vocab.token_prev += dt;
        vocab.token_nosp += dt;
        vocab.token_not += dt;
        vocab.token_beg += dt;
    }

    KESTU_LOG_INFO("%s: n_langs       = %d\n", func, vocab.num_languages());
    return true;
}

// Texts of the ids from the end of the vocabulary section to n_vocab. Each
// costs memory, and nothing in the file stands for them, so they are made
// only once the tensor records are read: then the file has held the token
// embedding's n_vocab rows, or no tensors at all (the empty model).
void add_generated_tokens(kestu_vocab & vocab) {
    const int32_t n_entries = int32_t(vocab.id_to_token.size());
    if (n_entries < vocab.n_vocab) {
        KESTU_LOG_INFO("%s: adding %d extra tokens\n", "kestu_model_load", vocab.n_vocab - n_entries);
        for (int32_t i = n_entries; i < vocab.n_vocab; i++) {
            const std::string word = generated_token_text(vocab, i);
            vocab.token_to_id[word] = i;
            vocab.id_to_token[i]    = word;
            vocab.max_token_len     = std::max(vocab.max_token_len, word.size());
        }
    }
}

struct tevo_context_deleter {
    void operator()(tevo_context * ctx) const { tevo_free(ctx); }
};

// Creates every weight the hyper-parameters call for, placed per buffer type.
void create_tensors(kestu_context & ctx, const kestu_buft_list & buft_list,
                    std::map<tevo_backend_buffer_type_t, tevo_context *> & ctx_map) {
    kestu_model &         model = ctx.model;
    const kestu_hparams & hp    = model.hparams;

    const size_t n_tensors = 25 + 15 * size_t(hp.n_audio_layer) + 24 * size_t(hp.n_text_layer);

    tevo_init_params params = {
        /*.mem_size   =*/ n_tensors * tevo_tensor_overhead(),
        /*.mem_buffer =*/ nullptr,
        /*.no_alloc   =*/ true,
    };
    std::unique_ptr<tevo_context, tevo_context_deleter> meta_ctx(tevo_init(params));
    if (!meta_ctx) {
        throw std::runtime_error("failed to create tevo context");
    }

    kestu_placement placement{hp, buft_list, ctx_map, n_tensors, model};

    const enum tevo_type wtype     = ctx.wtype;
    const enum tevo_type conv_type = wtype == TEVO_TYPE_F32 ? TEVO_TYPE_F32 : TEVO_TYPE_F16;
    const enum tevo_type F32       = TEVO_TYPE_F32;

    auto make = [&](int32_t role, int32_t kind, int32_t layer, enum tevo_type type,
                    std::initializer_list<int64_t> ne) {
        tevo_tensor * meta = tevo_new_tensor(meta_ctx.get(), type, int(ne.size()), ne.begin());
        return create_model_tensor(placement, role, kind, meta, layer);
    };

    const int32_t s = hp.n_audio_state;
    const int32_t t = hp.n_text_state;

    model.layers_encoder.resize(hp.n_audio_layer);
    model.layers_decoder.resize(hp.n_text_layer);

    const int32_t ENC = KESTU_KIND_ENCODER, DEC = KESTU_KIND_DECODER, CROSS = KESTU_KIND_CROSS;

    model.e_pe       = make(KESTU_ROLE_ENC_POS_EMBD, ENC, 0, F32, {s, hp.n_audio_ctx});
    model.e_conv_1_w = make(KESTU_ROLE_CONV1_W, ENC, 0, conv_type, {3, hp.n_mels, s});
    model.e_conv_1_b = make(KESTU_ROLE_CONV1_B, ENC, 0, F32, {1, s});
    model.e_conv_2_w = make(KESTU_ROLE_CONV2_W, ENC, 0, conv_type, {3, s, s});
    model.e_conv_2_b = make(KESTU_ROLE_CONV2_B, ENC, 0, F32, {1, s});
    model.e_ln_w     = make(KESTU_ROLE_LN_OUT_W, ENC, 0, F32, {s});
    model.e_ln_b     = make(KESTU_ROLE_ENC_LN_OUT_B, ENC, 0, F32, {s});

    for (int32_t i = 0; i < hp.n_audio_layer; ++i) {
        kestu_layer_encoder & layer = model.layers_encoder[i];

        layer.mlp_ln_w   = make(KESTU_ROLE_MLP_LN_W, ENC, i, F32, {s});
        layer.mlp_ln_b   = make(KESTU_ROLE_MLP_LN_B, ENC, i, F32, {s});
        layer.mlp_0_w    = make(KESTU_ROLE_MLP_0_W, ENC, i, wtype, {s, 4 * s});
        layer.mlp_0_b    = make(KESTU_ROLE_MLP_0_B, ENC, i, F32, {4 * s});
        layer.mlp_1_w    = make(KESTU_ROLE_MLP_2_W, ENC, i, wtype, {4 * s, s});
        layer.mlp_1_b    = make(KESTU_ROLE_MLP_2_B, ENC, i, F32, {s});
        layer.attn_ln_w  = make(KESTU_ROLE_ATTN_LN_W, ENC, i, F32, {s});
        layer.attn_ln_b  = make(KESTU_ROLE_ATTN_LN_B, ENC, i, F32, {s});
        layer.attn_q_w   = make(KESTU_ROLE_ATTN_Q_W, ENC, i, wtype, {s, s});
        layer.attn_q_b   = make(KESTU_ROLE_ATTN_Q_B, ENC, i, F32, {s});
        layer.attn_k_w   = make(KESTU_ROLE_ATTN_K_W, ENC, i, wtype, {s, s});
        layer.attn_v_w   = make(KESTU_ROLE_ATTN_V_W, ENC, i, wtype, {s, s});
        layer.attn_v_b   = make(KESTU_ROLE_ATTN_V_B, ENC, i, F32, {s});
        layer.attn_out_w = make(KESTU_ROLE_ATTN_OUT_W, ENC, i, wtype, {s, s});
        layer.attn_out_b = make(KESTU_ROLE_ATTN_OUT_B, ENC, i, F32, {s});
    }

    model.d_pe   = make(KESTU_ROLE_DEC_POS_EMBD, DEC, 0, F32, {t, hp.n_text_ctx});
    model.d_te   = make(KESTU_ROLE_DEC_TOKEN_EMBD, DEC, 0, wtype, {t, hp.n_vocab});
    model.d_ln_w = make(KESTU_ROLE_LN_OUT_W, DEC, 0, F32, {t});
    model.d_ln_b = make(KESTU_ROLE_DEC_LN_OUT_B, DEC, 0, F32, {t});

    for (int32_t i = 0; i < hp.n_text_layer; ++i) {
        kestu_layer_decoder & layer = model.layers_decoder[i];

        layer.mlp_ln_w   = make(KESTU_ROLE_MLP_LN_W, DEC, i, F32, {t});
        layer.mlp_ln_b   = make(KESTU_ROLE_MLP_LN_B, DEC, i, F32, {t});
        layer.mlp_0_w    = make(KESTU_ROLE_MLP_0_W, DEC, i, wtype, {t, 4 * t});
        layer.mlp_0_b    = make(KESTU_ROLE_MLP_0_B, DEC, i, F32, {4 * t});
        layer.mlp_1_w    = make(KESTU_ROLE_MLP_2_W, DEC, i, wtype, {4 * t, t});
        layer.mlp_1_b    = make(KESTU_ROLE_MLP_2_B, DEC, i, F32, {t});
        layer.attn_ln_w  = make(KESTU_ROLE_ATTN_LN_W, DEC, i, F32, {t});
        layer.attn_ln_b  = make(KESTU_ROLE_ATTN_LN_B, DEC, i, F32, {t});
        layer.attn_q_w   = make(KESTU_ROLE_ATTN_Q_W, DEC, i, wtype, {t, t});
        layer.attn_q_b   = make(KESTU_ROLE_ATTN_Q_B, DEC, i, F32, {t});
        layer.attn_k_w   = make(KESTU_ROLE_ATTN_K_W, DEC, i, wtype, {t, t});
        layer.attn_v_w   = make(KESTU_ROLE_ATTN_V_W, DEC, i, wtype, {t, t});
        layer.attn_v_b   = make(KESTU_ROLE_ATTN_V_B, DEC, i, F32, {t});
        layer.attn_out_w = make(KESTU_ROLE_ATTN_OUT_W, DEC, i, wtype, {t, t});
        layer.attn_out_b = make(KESTU_ROLE_ATTN_OUT_B, DEC, i, F32, {t});

        layer.cross_attn_ln_w  = make(KESTU_ROLE_ATTN_LN_W, CROSS, i, F32, {t});
        layer.cross_attn_ln_b  = make(KESTU_ROLE_ATTN_LN_B, CROSS, i, F32, {t});
        layer.cross_attn_q_w   = make(KESTU_ROLE_ATTN_Q_W, CROSS, i, wtype, {t, t});
        layer.cross_attn_q_b   = make(KESTU_ROLE_ATTN_Q_B, CROSS, i, F32, {t});
        layer.cross_attn_k_w   = make(KESTU_ROLE_ATTN_K_W, CROSS, i, wtype, {t, t});
        layer.cross_attn_v_w   = make(KESTU_ROLE_ATTN_V_W, CROSS, i, wtype, {t, t});
        layer.cross_attn_v_b   = make(KESTU_ROLE_ATTN_V_B, CROSS, i, F32, {t});
        layer.cross_attn_out_w = make(KESTU_ROLE_ATTN_OUT_W, CROSS, i, wtype, {t, t});
        layer.cross_attn_out_b = make(KESTU_ROLE_ATTN_OUT_B, CROSS, i, F32, {t});
    }
}

// Reads tensor records to the end of the stream. Each expected tensor must come
// exactly once, with its own element type and extents.
bool read_tensors(model_reader & in, kestu_model & model, std::set<std::string> & loaded, size_t & total_size) {
    static const char * const func = "kestu_model_load";

    std::vector<char> read_buf;

    model.n_loaded = 0;
    total_size     = 0;

    while (true) {
        int32_t n_dims = 0, name_len = 0, ttype = 0;
        size_t  got = in.read_count(&n_dims, sizeof(n_dims));
        got += in.read_count(&name_len, sizeof(name_len));
        got += in.read_count(&ttype, sizeof(ttype));

        if (in.eof()) {
            // a record header cut short is a truncated file, not the end of the records
            if (got > 0 && got < 3 * sizeof(int32_t)) {
                log_truncated("a tensor record header");
                return false;
            }
            break;
        }
        if (got != 3 * sizeof(int32_t)) {
            log_truncated("a tensor record header");
            return false;
        }

        if (n_dims < 0 || n_dims > 4) {
            KESTU_LOG_ERROR("%s: invalid n_dims %d in model file (expected 0 <= n_dims <= 4)\n", func, n_dims);
            return false;
        }
        if (ttype < 0 || ttype >= TEVO_TYPE_COUNT) {
            KESTU_LOG_ERROR("%s: invalid ttype %d in model file (expected 0 <= ttype < %d)\n", func, ttype,
                            TEVO_TYPE_COUNT);
            return false;
        }
        if (name_len < 0 || name_len > KESTU_MAX_NAME_BYTES) {
            KESTU_LOG_ERROR("%s: invalid tensor name length %d in model file (expected 0 to %d)\n", func, name_len,
                            KESTU_MAX_NAME_BYTES);
            return false;
        }

        int32_t ne[4]     = {1, 1, 1, 1};
        int64_t nelements = 1;
        for (int i = 0; i < n_dims; ++i) {
            if (!in.read_i32(ne[i])) {
                log_truncated("a tensor record header");
                return false;
            }
            // negative or overflowing counts match no tensor
            if (nelements < 0 || ne[i] < 0 || __builtin_mul_overflow(nelements, int64_t(ne[i]), &nelements)) {
                nelements = -1;
            }
        }

        if (!in.holds(uint64_t(name_len))) {
            log_truncated("a tensor name");
            return false;
        }
        std::string name(size_t(name_len), '\0');
        if (!in.read(name.data(), name.size())) {
            log_truncated("a tensor name");
            return false;
        }

        auto it = model.tensors.find(name);
        if (it == model.tensors.end()) {
            KESTU_LOG_ERROR("%s: unknown tensor '%s' in model file\n", func, name.c_str());
            return false;
        }
        tevo_tensor * tensor = it->second;

        if (loaded.count(name) != 0) {
            // a repeat would hide a missing tensor from the final count
            KESTU_LOG_ERROR("%s: tensor '%s' appears more than once in model file\n", func, name.c_str());
            return false;
        }

        if (tevo_nelements(tensor) != nelements) {
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong size in model file\n", func, name.c_str());
            KESTU_LOG_ERROR("%s: shape: [%d, %d, %d], expected: [%d, %d, %d]\n", func, ne[0], ne[1], ne[2],
                            (int) tensor->ne[0], (int) tensor->ne[1], (int) tensor->ne[2]);
            return false;
        }
        if (tensor->ne[0] != ne[0] || tensor->ne[1] != ne[1] || tensor->ne[2] != ne[2]) {
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong shape in model file: got [%d, %d, %d], expected [%d, %d, %d]\n",
                            func, name.c_str(), ne[0], ne[1], ne[2], (int) tensor->ne[0], (int) tensor->ne[1],
                            (int) tensor->ne[2]);
            return false;
        }
        if (ttype != tensor->type) {
            // data of another type of the same byte size would load as garbage
            const char * got_name = tevo_type_name((enum tevo_type) ttype);
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong type in model file: got %s, expected %s\n", func, name.c_str(),
                            got_name ? got_name : "?", tevo_type_name(tensor->type));
            return false;
        }

        const size_t bpe = tevo_type_size(tevo_type(ttype));
        if ((nelements * bpe) / tevo_blck_size(tensor->type) != tevo_nbytes(tensor)) {
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong size in model file: got %zu, expected %zu\n", func,
                            name.c_str(), size_t(nelements * bpe) / size_t(tevo_blck_size(tensor->type)),
                            tevo_nbytes(tensor));
            return false;
        }

        if (tensor->buffer == nullptr) {
            KESTU_LOG_ERROR("%s: tensor '%s' has no buffer\n", func, name.c_str());
            return false;
        }

        const size_t nbytes = tevo_nbytes(tensor);
        if (!in.holds(nbytes)) {
            log_truncated(("the data of tensor '" + name + "'").c_str());
            return false;
        }
        if (tevo_backend_buffer_is_host(tensor->buffer)) {
            if (!in.read(tensor->data, nbytes)) {
                log_truncated(("the data of tensor '" + name + "'").c_str());
                return false;
            }
        } else {
            read_buf.resize(nbytes);
            if (!in.read(read_buf.data(), nbytes)) {
                log_truncated(("the data of tensor '" + name + "'").c_str());
                return false;
            }
            tevo_backend_tensor_set(tensor, read_buf.data(), 0, nbytes);
        }

        loaded.insert(name);
        total_size += nbytes;
        model.n_loaded++;
    }

    return true;
}

} // namespace

bool kestu_model_load(kestu_model_loader * loader, kestu_context & ctx, size_t source_size) {
    KESTU_LOG_INFO("%s: loading model\n", __func__);

    ctx.t_start_us = tevo_time_us();

    kestu_model & model = ctx.model;
    kestu_vocab & vocab = ctx.vocab;
    model_reader  in{loader, source_size};

    // a short read leaves the magic unmatched
    uint32_t magic = 0;
    in.read(&magic, sizeof(magic));
    if (magic != KESTU_FILE_MAGIC) {
        KESTU_LOG_ERROR("%s: invalid model data (bad magic)\n", __func__);
        return false;
    }

    kestu_hparams & hp = model.hparams;
    for (int32_t * field : {&hp.n_vocab, &hp.n_audio_ctx, &hp.n_audio_state, &hp.n_audio_head, &hp.n_audio_layer,
                            &hp.n_text_ctx, &hp.n_text_state, &hp.n_text_head, &hp.n_text_layer, &hp.n_mels,
                            &hp.ftype}) {
        if (!in.read_i32(*field)) {
            log_truncated("the hyper-parameters");
            return false;
        }
    }

    std::string mver;
    switch (hp.n_audio_layer) {
        case 4:  model.type = 1; break;
        case 6:  model.type = 2; break;
        case 12: model.type = 3; break;
        case 24: model.type = 4; break;
        case 32:
            model.type = 5;
            if (hp.n_vocab == 51866) {
                mver = " v3";
            }
            break;
        default: model.type = 0; break;
    }

    const int32_t qntvr = hp.ftype / 1000;
    hp.ftype %= 1000;
    if (!ftype_is_valid(hp.ftype)) {
        KESTU_LOG_ERROR("%s: invalid model (bad ftype value %d)\n", __func__, hp.ftype);
        return false;
    }
    ctx.wtype = tevo_ftype_to_tevo_type((enum tevo_ftype) hp.ftype);

    KESTU_LOG_INFO("%s: n_vocab       = %d\n", __func__, hp.n_vocab);
    KESTU_LOG_INFO("%s: n_audio_ctx   = %d\n", __func__, hp.n_audio_ctx);
    KESTU_LOG_INFO("%s: n_audio_state = %d\n", __func__, hp.n_audio_state);
    KESTU_LOG_INFO("%s: n_audio_head  = %d\n", __func__, hp.n_audio_head);
    KESTU_LOG_INFO("%s: n_audio_layer = %d\n", __func__, hp.n_audio_layer);
    KESTU_LOG_INFO("%s: n_text_ctx    = %d\n", __func__, hp.n_text_ctx);
    KESTU_LOG_INFO("%s: n_text_state  = %d\n", __func__, hp.n_text_state);
    KESTU_LOG_INFO("%s: n_text_head   = %d\n", __func__, hp.n_text_head);
    KESTU_LOG_INFO("%s: n_text_layer  = %d\n", __func__, hp.n_text_layer);
    KESTU_LOG_INFO("%s: n_mels        = %d\n", __func__, hp.n_mels);
    KESTU_LOG_INFO("%s: ftype         = %d\n", __func__, hp.ftype);
    KESTU_LOG_INFO("%s: qntvr         = %d\n", __func__, qntvr);
    KESTU_LOG_INFO("%s: type          = %d (%s%s)\n", __func__, model.type,
                   kestu_model_type_names.at(model.type).c_str(), mver.c_str());

    if (!hparams_are_usable(hp, ctx.wtype)) {
        return false;
    }
    if (!read_filters(in, hp, model.filters)) {
        return false;
    }
    if (!read_vocab(in, hp, vocab)) {
        return false;
    }

    const kestu_buft_list buft_list = kestu_make_buffer_type_list(ctx.params);

    // the contexts themselves are owned by model.ctxs
    std::map<tevo_backend_buffer_type_t, tevo_context *> ctx_map;
    create_tensors(ctx, buft_list, ctx_map);

    for (const auto & [buft, buft_ctx] : ctx_map) {
        tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(buft_ctx, buft);
        if (!buf) {
            // its tensors would have nowhere to put their data
            KESTU_LOG_ERROR("%s: failed to allocate the %s buffer for the weights\n", __func__,
                            tevo_backend_buft_name(buft));
            return false;
        }
        model.buffers.push_back(buf);
        KESTU_LOG_INFO("%s: %12s total size = %8.2f MB\n", __func__, tevo_backend_buffer_name(buf),
                       tevo_backend_buffer_get_size(buf) / 1e6);
    }

    size_t                total_size = 0;
    std::set<std::string> loaded;
    if (!read_tensors(in, model, loaded, total_size)) {
        return false;
    }

    KESTU_LOG_INFO("%s: model size    = %7.2f MB\n", __func__, total_size / 1e6);

    if (model.n_loaded == 0) {
        KESTU_LOG_WARN("%s: WARN no tensors loaded from model file - assuming empty model for testing\n", __func__);
        // zeros rather than whatever the allocation held
        for (tevo_backend_buffer_t buf : model.buffers) {
            tevo_backend_buffer_clear(buf, 0);
        }
    } else if (size_t(model.n_loaded) != model.tensors.size()) {
        KESTU_LOG_ERROR("%s: ERROR not all tensors loaded from model file - expected %zu, got %d\n", __func__,
                        model.tensors.size(), model.n_loaded);
        for (const auto & [name, tensor] : model.tensors) {
            if (loaded.count(name) == 0) {
                KESTU_LOG_ERROR("%s: tensor '%s' is missing from model file\n", __func__, name.c_str());
                break;
            }
        }
        return false;
    }

    add_generated_tokens(vocab);

    for (tevo_backend_buffer_t buf : model.buffers) {
        tevo_backend_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    }

    ctx.t_load_us = tevo_time_us() - ctx.t_start_us;

    return true;
}
