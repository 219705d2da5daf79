#include "kestu-impl.h"

// Context creation and release: from a file, a memory image or a caller's
// loader, with or without the default state, plus the file and memory
// loaders and the printf-style string formatter of the library.
//
// These are C entry points: nothing may be thrown through them. Loading
// errors are caught around kestu_model_load, state-creation errors (a missing
// CPU backend) around kestu_init_state, and anything else at the creator.

#include <climits>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <stdexcept>

std::string kestu_format(const char * fmt, ...) {
    va_list ap;
    va_list ap2;
    va_start(ap, fmt);
    va_copy(ap2, ap);
    const int size = vsnprintf(nullptr, 0, fmt, ap);
    TEVO_ASSERT(size >= 0 && size < INT_MAX);
    std::vector<char> buf(size_t(size) + 1, '\0');
    const int size2 = vsnprintf(buf.data(), buf.size(), fmt, ap2);
    TEVO_ASSERT(size2 == size);
    va_end(ap2);
    va_end(ap);
    return std::string(buf.data(), size_t(size));
}

namespace {

// --- loaders ----------------------------------------------------------------
// Both report the bytes they actually copied, so the model reader can tell a
// truncated file from a complete one.

size_t file_read(void * ctx, void * output, size_t read_size) {
    std::ifstream * fin = static_cast<std::ifstream *>(ctx);
    fin->read(static_cast<char *>(output), std::streamsize(read_size));
    return size_t(fin->gcount());
}

bool file_eof(void * ctx) {
    return static_cast<std::ifstream *>(ctx)->eof();
}

void file_close(void * ctx) {
    static_cast<std::ifstream *>(ctx)->close();
}

struct buf_context {
    const uint8_t * data;
    size_t          size;
    size_t          offset;
};

size_t buffer_read(void * ctx, void * output, size_t read_size) {
    buf_context * buf = static_cast<buf_context *>(ctx);
    const size_t  count = buf->offset + read_size < buf->size ? read_size : buf->size - buf->offset;
    if (count != 0 && buf->data != nullptr) {
        memcpy(output, buf->data + buf->offset, count);
    }
    buf->offset += count;
    return count;
}

bool buffer_eof(void * ctx) {
    const buf_context * buf = static_cast<const buf_context *>(ctx);
    return buf->offset >= buf->size;
}

void buffer_close(void * ctx) {
}

// Bytes of the opened file, taken before loading starts (the loader itself
// never seeks); unknown for a stream that cannot seek, such as a pipe.
size_t file_size(std::ifstream & fin) {
    const std::streamoff start = fin.tellg();
    if (start < 0 || !fin.seekg(0, std::ios::end)) {
        fin.clear();
        return KESTU_SOURCE_SIZE_UNKNOWN;
    }
    const std::streamoff end = fin.tellg();
    fin.seekg(start);
    if (!fin || end < start) {
        fin.clear();
        fin.seekg(start);
        return KESTU_SOURCE_SIZE_UNKNOWN;
    }
    return size_t(end - start);
}

// everything kestu_free releases, for contexts whose creation failed too
void context_release(kestu_context * ctx) {
    if (ctx == nullptr) {
        return;
    }
    for (tevo_context * c : ctx->model.ctxs) {
        tevo_free(c);
    }
    for (tevo_backend_buffer_t b : ctx->model.buffers) {
        tevo_backend_buffer_free(b);
    }
    if (ctx->state != nullptr) {
        kestu_free_state(ctx->state);
    }
    delete ctx;
}

// gives a freshly loaded context its default state, or releases it
kestu_context * attach_state(kestu_context * ctx, const char * func) {
    if (ctx == nullptr) {
        return nullptr;
    }
    try {
        ctx->state = kestu_init_state(ctx);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: exception during state creation: %s\n", func, e.what());
        ctx->state = nullptr;
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception during state creation\n", func);
        ctx->state = nullptr;
    }
    if (ctx->state == nullptr) {
        context_release(ctx);
        return nullptr;
    }
    return ctx;
}

// the creators' common path; source_size as kestu_model_load takes it
kestu_context * init_no_state(kestu_model_loader * loader, kestu_context_params params, size_t source_size) {
    static const char * const func = "kestu_init_with_params_no_state";

    if (loader == nullptr || loader->read == nullptr || loader->eof == nullptr) {
        KESTU_LOG_ERROR("%s: the model loader lacks a read or eof function\n", func);
        if (loader != nullptr && loader->close != nullptr) {
            loader->close(loader->context);
        }
        return nullptr;
    }

    kestu_context * ctx  = nullptr;
    bool            ok   = false;
    try {
        tevo_time_init();

        if (params.flash_attn && params.dtw_token_timestamps) {
            KESTU_LOG_WARN("%s: dtw_token_timestamps is not supported with flash_attn - disabling\n", func);
            params.dtw_token_timestamps = false;
        }

        KESTU_LOG_INFO("%s: use gpu    = %d\n", func, params.use_gpu);
        KESTU_LOG_INFO("%s: flash attn = %d\n", func, params.flash_attn);
        KESTU_LOG_INFO("%s: gpu_device = %d\n", func, params.gpu_device);
        KESTU_LOG_INFO("%s: dtw        = %d\n", func, params.dtw_token_timestamps);
        KESTU_LOG_INFO("%s: devices    = %zu\n", func, tevo_backend_dev_count());
        KESTU_LOG_INFO("%s: backends   = %zu\n", func, tevo_backend_reg_count());

        ctx         = new kestu_context;
        ctx->params = params;

        ok = kestu_model_load(loader, *ctx, source_size);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: exception during model load: %s\n", func, e.what());
        ok = false;
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception during model load\n", func);
        ok = false;
    }

    if (loader->close != nullptr) {
        loader->close(loader->context);
    }

    if (!ok) {
        KESTU_LOG_ERROR("%s: failed to load model\n", func);
        context_release(ctx);
        return nullptr;
    }
    return ctx;
}

} // namespace

struct kestu_context * kestu_init_with_params_no_state(struct kestu_model_loader * loader,
                                                       struct kestu_context_params params) {
    return init_no_state(loader, params, KESTU_SOURCE_SIZE_UNKNOWN);
}

struct kestu_context * kestu_init_from_file_with_params_no_state(const char * path_model,
                                                                 struct kestu_context_params params) {
    if (path_model == nullptr) {
        KESTU_LOG_ERROR("%s: no model path\n", __func__);
        return nullptr;
    }
    KESTU_LOG_INFO("%s: loading model from '%s'\n", __func__, path_model);

    try {
        std::ifstream fin(path_model, std::ios::binary);
        if (!fin) {
            KESTU_LOG_ERROR("%s: failed to open '%s'\n", __func__, path_model);
            return nullptr;
        }

        kestu_model_loader loader = {};
        loader.context = &fin;
        loader.read    = file_read;
        loader.eof     = file_eof;
        loader.close   = file_close;

        kestu_context * ctx = init_no_state(&loader, params, file_size(fin));
        if (ctx) {
            ctx->path_model = path_model;
        }
        return ctx;
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: exception: %s\n", __func__, e.what());
        return nullptr;
    }
}

struct kestu_context * kestu_init_from_buffer_with_params_no_state(void * buffer, size_t buffer_size,
                                                                   struct kestu_context_params params) {
    KESTU_LOG_INFO("%s: loading model from buffer\n", __func__);

    buf_context buf = {static_cast<const uint8_t *>(buffer), buffer_size, 0};

    kestu_model_loader loader = {};
    loader.context = &buf;
    loader.read    = buffer_read;
    loader.eof     = buffer_eof;
    loader.close   = buffer_close;

    return init_no_state(&loader, params, buffer_size);
}

struct kestu_context * kestu_init_from_file_with_params(const char * path_model, struct kestu_context_params params) {
    return attach_state(kestu_init_from_file_with_params_no_state(path_model, params), __func__);
}

struct kestu_context * kestu_init_from_buffer_with_params(void * buffer, size_t buffer_size,
                                                          struct kestu_context_params params) {
    return attach_state(kestu_init_from_buffer_with_params_no_state(buffer, buffer_size, params), __func__);
}

struct kestu_context * kestu_init_with_params(struct kestu_model_loader * loader, struct kestu_context_params params) {
    return attach_state(kestu_init_with_params_no_state(loader, params), __func__);
}

struct kestu_context * kestu_init_from_file(const char * path_model) {
    return kestu_init_from_file_with_params(path_model, kestu_context_default_params());
}

struct kestu_context * kestu_init_from_buffer(void * buffer, size_t buffer_size) {
    return kestu_init_from_buffer_with_params(buffer, buffer_size, kestu_context_default_params());
}

struct kestu_context * kestu_init(struct kestu_model_loader * loader) {
    return kestu_init_with_params(loader, kestu_context_default_params());
}

struct kestu_context * kestu_init_from_file_no_state(const char * path_model) {
    return kestu_init_from_file_with_params_no_state(path_model, kestu_context_default_params());
}

struct kestu_context * kestu_init_from_buffer_no_state(void * buffer, size_t buffer_size) {
    return kestu_init_from_buffer_with_params_no_state(buffer, buffer_size, kestu_context_default_params());
}

struct kestu_context * kestu_init_no_state(struct kestu_model_loader * loader) {
    return kestu_init_with_params_no_state(loader, kestu_context_default_params());
}

void kestu_free(struct kestu_context * ctx) {
    context_release(ctx);
}
