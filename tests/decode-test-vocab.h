#pragma once

// A small vocabulary laid out like a model's (text tokens, end of text, the
// special tokens, language tokens, then the timestamps) and a state to go
// with it, for the tests of logits processing, sampling and fallback.

#include "kestu-impl.h"

#include <memory>
#include <string>
#include <vector>

struct test_vocab {
    std::unique_ptr<kestu_context> ctx = std::make_unique<kestu_context>();

    // texts become ids 0, 1, ...; "tokN" fills up to n_text text tokens
    test_vocab(const std::vector<std::string> & texts, int n_text, int n_ts, int n_audio_ctx = 1500) {
        kestu_vocab & v   = ctx->vocab;
        int           id  = 0;
        auto          add = [&](const std::string & text) {
            v.token_to_id[text] = id;
            v.id_to_token[id]   = text;
            v.max_token_len     = std::max(v.max_token_len, text.size());
            return id++;
        };
        for (const std::string & t : texts) {
            add(t);
        }
        while (id < n_text) {
            add("tok" + std::to_string(id));
        }
        v.token_eot = add("[_EOT_]");
        v.token_sot = add("[_SOT_]");
        for (int l = 0; l < (int) kestu_languages.size(); ++l) {
            add("[_LANG_" + std::to_string(l) + "]");
        }
        v.token_translate  = add("[_TRANSLATE_]");
        v.token_transcribe = add("[_TRANSCRIBE_]");
        v.token_solm       = add("[_SOLM_]");
        v.token_prev       = add("[_PREV_]");
        v.token_nosp       = add("[_NOSP_]");
        v.token_not        = add("[_NOT_]");
        v.token_beg        = id;
        for (int i = 0; i < n_ts; ++i) {
            add("[_TT_" + std::to_string(i) + "]");
        }
        v.n_vocab                      = id;
        ctx->model.hparams.n_vocab     = id;
        ctx->model.hparams.n_audio_ctx = n_audio_ctx;
        ctx->model.n_loaded            = 1;
    }

    const kestu_vocab & vocab() const { return ctx->vocab; }
    int                 n_vocab() const { return ctx->vocab.n_vocab; }
    int                 eot() const { return ctx->vocab.token_eot; }
    int                 beg() const { return ctx->vocab.token_beg; }
    int id(const std::string & text) const { return ctx->vocab.token_to_id.at(text); }
};

inline kestu_token_data test_token(kestu_token id, float log_p = 0.0f) {
    kestu_token_data t{};
    t.id    = id;
    t.log_p = log_p;
    t.p     = std::exp(log_p);
    t.t0 = t.t1 = t.t_dtw = -1;
    return t;
}

inline std::vector<kestu_token_data> test_tokens(const std::vector<kestu_token> & ids) {
    std::vector<kestu_token_data> r;
    for (kestu_token id : ids) {
        r.push_back(test_token(id));
    }
    return r;
}

// the decoder state a window's attempt starts from
inline void test_reset_decoder(kestu_decoder & d) {
    d.sequence   = kestu_sequence{};
    d.grammar    = kestu_grammar{};
    d.i_batch    = -1;
    d.seek_delta = 3000;
    d.failed = d.completed = d.has_ts = d.no_token = false;
}
