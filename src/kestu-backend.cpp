#include "kestu-impl.h"

// Which backends a state computes on, and in which buffer type each model
// weight lives: matrix and row-lookup weights take the first buffer type
// whose device accepts a trial operation on them, all others the plain type.

std::vector<tevo_backend_t> kestu_backend_init(const kestu_context_params & params) {
    KESTU_NOT_BUILT();
    return {};
}

kestu_buft_list kestu_make_buffer_type_list(const kestu_context_params & params) {
    KESTU_NOT_BUILT();
    return {};
}

tevo_tensor * create_model_tensor(kestu_placement & placement, int32_t role, int32_t kind, tevo_tensor * meta,
                                  int32_t layer) {
    KESTU_NOT_BUILT();
    return nullptr;
}
