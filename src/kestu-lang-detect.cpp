#include "kestu-impl.h"

// Language detection: one encoder run at the offset and one decoder step from
// the start-of-transcript token, then a softmax over the language tokens.

int kestu_lang_auto_detect_internal(kestu_context & ctx, kestu_state & state, int offset_ms, int n_threads,
                                    float * lang_probs, kestu_abort_callback abort_callback,
                                    void * abort_callback_data) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_lang_auto_detect_with_state(struct kestu_context * ctx, struct kestu_state * state, int offset_ms,
                                      int n_threads, float * lang_probs) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_lang_auto_detect(struct kestu_context * ctx, int offset_ms, int n_threads, float * lang_probs) {
    KESTU_NOT_BUILT();
    return -1;
}
