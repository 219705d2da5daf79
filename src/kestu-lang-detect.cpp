#include "kestu-impl.h"

// Language detection: one encoder run at the offset and one decoder step from
// the start-of-transcript token, then a softmax over the language tokens.
//
// Only the languages the model has tokens for take part: the table has 100
// rows, but a vocabulary with fewer language tokens puts other special tokens
// (translate, transcribe ...) where the missing languages would be.

#include <algorithm>

int kestu_lang_auto_detect_internal(kestu_context & ctx, kestu_state & state, int offset_ms, int n_threads,
                                    float * lang_probs, kestu_abort_callback abort_callback,
                                    void * abort_callback_data) {
    static const char * name = "kestu_lang_auto_detect_internal";

    const int seek = offset_ms / 10;

    if (offset_ms <= -10) {
        KESTU_LOG_ERROR("%s: offset %dms is before the start of the audio\n", name, offset_ms);
        return -1;
    }
    if (seek >= state.mel.n_len_org) {
        KESTU_LOG_ERROR("%s: offset %dms is past the end of the audio (%dms)\n", name, offset_ms,
                        state.mel.n_len_org * 10);
        return -2;
    }

    // language ids below this have a token in the model's vocabulary
    const int n_lang = std::max(0, ctx.vocab.num_languages());
    if (n_lang == 0) {
        KESTU_LOG_ERROR("%s: the model has no language tokens\n", name);
        return -7;
    }

    if (!kestu_run_encoder(ctx, state, std::max(seek, 0), n_threads, abort_callback, abort_callback_data)) {
        KESTU_LOG_ERROR("%s: failed to encode\n", name);
        return -6;
    }

    const kestu_token sot = ctx.vocab.token_sot;
    kestu_batch_fill(state.batch, &sot, 1, 0, 0);
    kestu_kv_cache_drop_cells(state.kv_self, 0, 0);

    if (!kestu_run_decoder(ctx, state, state.batch, n_threads, false, abort_callback, abort_callback_data)) {
        KESTU_LOG_ERROR("%s: failed to decode\n", name);
        return -7;
    }

    const float * logits = state.logits.data();

    auto & probs = state.lang_probs;
    probs.clear();
    for (const auto & kv : kestu_languages) {
        const int32_t id = kv.second.first;
        if (id < 0 || id >= n_lang || sot + 1 + id >= ctx.model.hparams.n_vocab) {
            continue;
        }
        probs.emplace_back(logits[sot + 1 + id], id);
    }

    std::sort(probs.begin(), probs.end(), [](const std::pair<float, int32_t> & a, const std::pair<float, int32_t> & b) {
        return a.first > b.first;
    });

    {
        const float max = probs.front().first;
        double      sum = 0.0;
        for (auto & p : probs) {
            p.first = (float) exp((double) p.first - (double) max);
            sum += p.first;
        }
        for (auto & p : probs) {
            p.first = (float) (p.first / sum);
        }
    }

    if (lang_probs) {
        // languages the model lacks have probability 0
        std::fill(lang_probs, lang_probs + kestu_lang_max_id() + 1, 0.0f);
        for (const auto & p : probs) {
            lang_probs[p.second] = p.first;
        }
    }

    return probs.front().second;
}

int kestu_lang_auto_detect_with_state(struct kestu_context * ctx, struct kestu_state * state, int offset_ms,
                                      int n_threads, float * lang_probs) {
    if (!ctx || !state) {
        KESTU_LOG_ERROR("%s: ERROR state was not loaded.\n", __func__);
        return -6;
    }
    return kestu_lang_auto_detect_internal(*ctx, *state, offset_ms, n_threads, lang_probs, nullptr, nullptr);
}

int kestu_lang_auto_detect(struct kestu_context * ctx, int offset_ms, int n_threads, float * lang_probs) {
    return kestu_lang_auto_detect_with_state(ctx, ctx ? ctx->state : nullptr, offset_ms, n_threads, lang_probs);
}
