/* The speech library's public header must compile as C. */
#include "kestu.h"

static void on_segment(struct kestu_context * ctx, struct kestu_state * state, int n_new, void * user_data) {
    (void) ctx;
    (void) state;
    (void) n_new;
    (void) user_data;
}

int kestu_c_header_check(const float * samples, int n_samples) {
    struct kestu_context_params cparams = kestu_context_default_params();
    cparams.use_gpu = false;
    struct kestu_context * ctx = kestu_init_from_file_with_params("model.bin", cparams);
    if (ctx == NULL) {
        return -1;
    }
    struct kestu_full_params params = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    params.on_new_segment = on_segment;
    params.vad_settings = kestu_vad_default_params();
    int rc = kestu_full(ctx, params, samples, n_samples);
    if (rc == KESTU_FULL_OK && kestu_full_n_segments(ctx) > 0) {
        kestu_token_data data = kestu_full_get_token_data(ctx, 0, 0);
        rc = (int) (data.t0 + kestu_full_get_segment_t1(ctx, 0)) + (kestu_full_get_segment_text(ctx, 0) != NULL);
    }
    kestu_free(ctx);
    return rc;
}
