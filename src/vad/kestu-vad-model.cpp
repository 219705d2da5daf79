#include "kestu-vad-impl.h"

// The voice-activity model: its parameter defaults, the model file read
// through a loader, the placement of each weight, the backends, recurrent
// state and scheduler of the context, and its release.

struct kestu_vad_context_params kestu_vad_default_context_params(void) {
    KESTU_NOT_BUILT();
    return kestu_vad_context_params{};
}

struct kestu_vad_params kestu_vad_default_params(void) {
    KESTU_NOT_BUILT();
    return kestu_vad_params{};
}

size_t kestu_vad_file_loader_read(void * ctx, void * output, size_t read_size) {
    KESTU_NOT_BUILT();
    return 0;
}

bool kestu_vad_file_loader_eof(void * ctx) {
    KESTU_NOT_BUILT();
    return true;
}

void kestu_vad_file_loader_close(void * ctx) {
    KESTU_NOT_BUILT();
}

tevo_tensor * kestu_vad_create_tensor(kestu_vad_context & vctx, const kestu_buft_list & buft_list,
                                      std::map<tevo_backend_buffer_type_t, tevo_context *> & ctx_map, int32_t id,
                                      tevo_tensor * meta) {
    KESTU_NOT_BUILT();
    return nullptr;
}

bool kestu_vad_init_context(kestu_vad_context * vctx) {
    KESTU_NOT_BUILT();
    return false;
}

struct kestu_vad_context * kestu_vad_init_from_file_with_params(const char * path_model,
                                                                struct kestu_vad_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_vad_context * kestu_vad_init_with_params(struct kestu_model_loader * loader,
                                                      struct kestu_vad_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_vad_free(struct kestu_vad_context * ctx) {
    KESTU_NOT_BUILT();
}
