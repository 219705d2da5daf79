#include "kestu-impl.h"

// Hooks of an optional external encoder. None exists in this system: init
// gives no handle, so a state that asks for one fails to be created.

struct kestu_hollin_context * kestu_hollin_init(const char * path_model) {
    return nullptr;
}

void kestu_hollin_encode(struct kestu_hollin_context * hctx, int64_t mel_ne0, int64_t mel_ne1, const float * mel,
                         float * out) {
}

void kestu_hollin_free(struct kestu_hollin_context * hctx) {
}

int kestu_ctx_init_openvino_encoder_with_state(struct kestu_context * ctx, struct kestu_state * state,
                                               const char * model_path, const char * device,
                                               const char * cache_dir) {
    return 1;
}

int kestu_ctx_init_openvino_encoder(struct kestu_context * ctx, const char * model_path, const char * device,
                                    const char * cache_dir) {
    return 1;
}
