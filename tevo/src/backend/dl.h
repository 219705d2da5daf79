#pragma once

// Shared libraries behind backend registries: owning handles and the
// registry's internal registration, shared by the registry and the loader.

#include "backend/impl.h"

#include <memory>
#include <string>

struct dl_handle_deleter {
    void operator()(void * handle) const;  // dlclose
};

// owns one dlopen handle; destroying it closes the library
using dl_handle_ptr = std::unique_ptr<void, dl_handle_deleter>;

// dlopen with RTLD_NOW | RTLD_LOCAL; NULL on failure
void *      dl_load_library(const char * path);
void *      dl_get_sym(void * handle, const char * name);
// dlerror() as text, empty when there is none
std::string dl_error();

// Adds reg with its library handle, which the registry then owns. A NULL or
// already registered reg changes nothing and the handle stays with the caller.
void registry_register_backend(tevo_backend_reg_t reg, dl_handle_ptr & handle);
