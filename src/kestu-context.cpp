#include "kestu-impl.h"

// Context creation and release: from a file, a memory image or a caller's
// loader, with or without the default state, plus the file and memory
// loaders and the printf-style string formatter of the library.

#include <cstdarg>

std::string kestu_format(const char * fmt, ...) {
    KESTU_NOT_BUILT();
    return std::string();
}

struct kestu_context * kestu_init_from_file_with_params_no_state(const char * path_model, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_buffer_with_params_no_state(void * buffer, size_t buffer_size, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_with_params_no_state(struct kestu_model_loader * loader, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_file_with_params(const char * path_model, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_buffer_with_params(void * buffer, size_t buffer_size, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_with_params(struct kestu_model_loader * loader, struct kestu_context_params params) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_file(const char * path_model) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_buffer(void * buffer, size_t buffer_size) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init(struct kestu_model_loader * loader) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_file_no_state(const char * path_model) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_from_buffer_no_state(void * buffer, size_t buffer_size) {
    KESTU_NOT_BUILT();
    return nullptr;
}

struct kestu_context * kestu_init_no_state(struct kestu_model_loader * loader) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_free(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
}
