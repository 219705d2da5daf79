#include "kestu-impl.h"

// Logging, version and system information. Every message of the library
// passes through kestu_log_message, which formats it whole (on the stack when
// short, else on the heap) and hands it to one process-wide callback.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct kestu_log_state {
    kestu_log_callback callback  = kestu_log_callback_default;
    void *             user_data = nullptr;
};

// set at start-up only; logging threads just read it
kestu_log_state g_log;

} // namespace

void kestu_log_callback_default(enum tevo_log_level level, const char * text, void * user_data) {
    (void) user_data;
    if (level == TEVO_LOG_LEVEL_DEBUG) {
        return;
    }
    fputs(text, stderr);
    fflush(stderr);
}

void kestu_log_message(enum tevo_log_level level, const char * format, ...) {
    va_list args;
    va_start(args, format);
    va_list args_copy;
    va_copy(args_copy, args);

    char buffer[1024];
    const int len = vsnprintf(buffer, sizeof(buffer), format, args);
    if (len >= 0 && len < (int) sizeof(buffer)) {
        g_log.callback(level, buffer, g_log.user_data);
    } else if (len >= 0) {
        // long messages are delivered whole, never cut
        char * heap = (char *) calloc((size_t) len + 1, 1);
        if (heap != nullptr) {
            vsnprintf(heap, (size_t) len + 1, format, args_copy);
            g_log.callback(level, heap, g_log.user_data);
            free(heap);
        }
    }
    va_end(args_copy);
    va_end(args);
}

void kestu_log_get(kestu_log_callback * callback, void ** user_data) {
    *callback  = g_log.callback;
    *user_data = g_log.user_data;
}

void kestu_log_set(kestu_log_callback log_callback, void * user_data) {
    g_log.callback  = log_callback ? log_callback : kestu_log_callback_default;
    g_log.user_data = user_data;
    tevo_log_set(g_log.callback, user_data);
}

void kestu_assert_fail(const char * file, int line, const char * cond) {
    kestu_log_message(TEVO_LOG_LEVEL_ERROR, "KESTU_ASSERT: %s:%d: %s\n", file, line, cond);
    abort();
}

const char * kestu_version(void) {
    return "1.9.5-dev";
}

const char * kestu_print_system_info(void) {
    // one process-wide text, cleared and rebuilt in place by every call, so
    // a pointer returned earlier sees the new contents
    static std::string s;

    s  = "";
    s += "KESTU : ";
    // accelerator integrations this system does not have
    for (const char * label : {"VITISAI = ", "COREML = ", "OPENVINO = "}) {
        s += label;
        s += "0";
        s += " | ";
    }

    for (size_t i = 0; i < tevo_backend_reg_count(); i++) {
        tevo_backend_reg_t reg = tevo_backend_reg_get(i);
        auto get_features = (tevo_backend_get_features_t) tevo_backend_reg_get_proc_address(
            reg, "tevo_backend_get_features");
        if (get_features == nullptr) {
            continue;
        }
        s += tevo_backend_reg_name(reg);
        s += " : ";
        for (const tevo_backend_feature * f = get_features(reg); f != nullptr && f->name != nullptr; f++) {
            s += f->name;
            s += " = ";
            s += f->value;
            s += " | ";
        }
    }

    return s.c_str();
}
