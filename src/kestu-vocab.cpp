#include "kestu-impl.h"

// Tokenizer, special tokens and languages: text to token ids by pre-split
// words and greedy longest-prefix lookup, the special-token getters, and the
// translations between language ids, codes and names.

int kestu_tokenize(struct kestu_context * ctx, const char * text, kestu_token * tokens, int n_max_tokens) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_token_count(struct kestu_context * ctx, const char * text) {
    KESTU_NOT_BUILT();
    return 0;
}

kestu_token kestu_token_eot(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_sot(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_solm(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_prev(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_nosp(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_not(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_beg(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_lang(struct kestu_context * ctx, int lang_id) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_translate(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

kestu_token kestu_token_transcribe(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_lang_max_id(void) {
    KESTU_NOT_BUILT();
    return 0;
}

int kestu_lang_id(const char * lang) {
    KESTU_NOT_BUILT();
    return -1;
}

const char * kestu_lang_str(int id) {
    KESTU_NOT_BUILT();
    return nullptr;
}

const char * kestu_lang_str_full(int id) {
    KESTU_NOT_BUILT();
    return nullptr;
}
