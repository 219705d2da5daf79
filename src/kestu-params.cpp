#include "kestu-impl.h"

// Parameter records and their defaults: by value, and on the heap (_by_ref)
// with a matching free.

struct kestu_context_params kestu_context_default_params(void) {
    KESTU_NOT_BUILT();
    return kestu_context_params{};
}

struct kestu_context_params * kestu_context_default_params_by_ref(void) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_free_context_params(struct kestu_context_params * params) {
    KESTU_NOT_BUILT();
}

struct kestu_full_params kestu_full_default_params(enum kestu_sampling_strategy strategy) {
    KESTU_NOT_BUILT();
    return kestu_full_params{};
}

struct kestu_full_params * kestu_full_default_params_by_ref(enum kestu_sampling_strategy strategy) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_free_params(struct kestu_full_params * params) {
    KESTU_NOT_BUILT();
}
