#include "kestu-impl.h"

// Encoder and decoder runs on a state's schedulers: build, allocate, fill the
// inputs, compute, read back. Also the public encode and decode functions and
// the graph-compute step the voice-activity network shares.

bool kestu_graph_compute(tevo_backend_sched_t sched, tevo_cgraph * graph, int n_threads, bool reset) {
    KESTU_NOT_BUILT();
    return false;
}

void kestu_batch_fill(kestu_batch & batch, const kestu_token * tokens, int n_tokens, int n_past, int32_t seq_id) {
    KESTU_NOT_BUILT();
}

bool kestu_run_encoder(kestu_context & ctx, kestu_state & state, int mel_offset, int n_threads,
                       kestu_abort_callback abort_callback, void * abort_callback_data) {
    KESTU_NOT_BUILT();
    return false;
}

bool kestu_run_decoder(kestu_context & ctx, kestu_state & state, const kestu_batch & batch, int n_threads,
                       bool save_alignment_heads, kestu_abort_callback abort_callback, void * abort_callback_data) {
    KESTU_NOT_BUILT();
    return false;
}

int kestu_encode_with_state(struct kestu_context * ctx, struct kestu_state * state, int offset, int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_encode(struct kestu_context * ctx, int offset, int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}

int kestu_decode_with_state(struct kestu_context * ctx, struct kestu_state * state, const kestu_token * tokens,
                            int n_tokens, int n_past, int n_threads) {
    KESTU_NOT_BUILT();
    return 1;
}

int kestu_decode(struct kestu_context * ctx, const kestu_token * tokens, int n_tokens, int n_past, int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}
