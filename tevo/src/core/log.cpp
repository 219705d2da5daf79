#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Logging, the abort path with its backtrace, page and heap allocation,
// status texts, version, clocks and graph identifiers.

#include "core/impl.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

// Every state creation installs the pair again, on whichever thread makes
// it: set and read under one lock, so that a logger never pairs one callback
// with another's user data.
static std::mutex            g_log_mutex;
static tevo_log_callback     g_log_callback  = tevo_log_callback_default;
static void *                g_log_user_data = nullptr;
static tevo_abort_callback_t g_abort_callback = nullptr;
static std::atomic<uint64_t> g_graph_uid{1};

extern "C" {

void tevo_log_callback_default(enum tevo_log_level level, const char * text, void * user_data) {
    (void) level;
    (void) user_data;
    fputs(text, stderr);
    fflush(stderr);
}

static void tevo_log_internal_v(enum tevo_log_level level, const char * format, va_list args) {
    if (format == NULL) {
        return;
    }
    tevo_log_callback callback;
    void *            user_data;
    tevo_log_get(&callback, &user_data);
    va_list args_copy;
    va_copy(args_copy, args);
    char buffer[128];
    int  len = vsnprintf(buffer, 128, format, args);
    if (len < 128) {
        callback(level, buffer, user_data);
    } else {
        char * buffer2 = (char *) calloc(len + 1, sizeof(char));
        if (buffer2 != NULL) {
            vsnprintf(buffer2, len + 1, format, args_copy);
            buffer2[len] = 0;
            callback(level, buffer2, user_data);
            free(buffer2);
        }
    }
    va_end(args_copy);
}

void tevo_log_internal(enum tevo_log_level level, const char * format, ...) {
    va_list args;
    va_start(args, format);
    tevo_log_internal_v(level, format, args);
    va_end(args);
}

void tevo_log_set(tevo_log_callback callback, void * user_data) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_callback  = callback ? callback : tevo_log_callback_default;
    g_log_user_data = user_data;
}

void tevo_log_get(tevo_log_callback * callback, void ** user_data) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    *callback  = g_log_callback;
    *user_data = g_log_user_data;
}

tevo_abort_callback_t tevo_set_abort_callback(tevo_abort_callback_t callback) {
    tevo_abort_callback_t prev = g_abort_callback;
    g_abort_callback           = callback;
    return prev;
}

void tevo_print_backtrace(void) {
    if (getenv("TEVO_NO_BACKTRACE")) {
        return;
    }
    if (getenv("TEVO_BACKTRACE_LLDB")) {
        // Linux restricts ptrace to ancestors: let our own child attach.
        tevo_platform_allow_ptrace();
        const int pid   = (int) getpid();
        const int child = fork();
        if (child < 0) {
            return;
        }
        if (child == 0) {
            char attach[32];
            snprintf(attach, sizeof(attach), "attach %d", pid);
            execlp("gdb", "gdb", "--batch", "-ex", "set style enabled on", "-ex", attach, "-ex",
                   "bt -frame-info source-and-location", "-ex", "detach", "-ex", "quit", (char *) NULL);
            // "attach " is 7 characters: what follows is the pid as text
            execlp("lldb", "lldb", "--batch", "-o", "bt", "-o", "quit", "-p", &attach[7], (char *) NULL);
            tevo_platform_native_backtrace();
            _Exit(0);
        }
        int wstatus;
        waitpid(child, &wstatus, 0);
        return;
    }
    fprintf(stderr, "WARNING: Using native backtrace. Set TEVO_BACKTRACE_LLDB for more info.\n");
    fprintf(stderr, "WARNING: TEVO_BACKTRACE_LLDB may cause native MacOS Terminal.app to crash.\n");
    fprintf(stderr, "See the README's section on debugging for how to get a symbolised trace.\n");
    tevo_platform_native_backtrace();
}

void tevo_abort(const char * file, int line, const char * fmt, ...) {
    fflush(stdout);

    char message[2048];
    int  offset = snprintf(message, sizeof(message), "%s:%d: ", file, line);
    if (offset < 0) {
        offset = 0;
    }
    if ((size_t) offset < sizeof(message)) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(message + offset, sizeof(message) - offset, fmt, args);
        va_end(args);
    }

    if (g_abort_callback) {
        g_abort_callback(message);
    } else {
        fprintf(stderr, "%s\n", message);
        tevo_print_backtrace();
    }
    abort();
}

void * tevo_malloc_impl(size_t size, const char * func) {
    if (size == 0) {
        TEVO_LOG_WARN("Behavior may be unexpected when allocating 0 bytes for tevo_malloc!\n");
        return NULL;
    }
    void * result = malloc(size);
    if (result == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate %6.2f MB\n", func, size / (1024.0 * 1024.0));
        TEVO_ABORT("fatal error");
    }
    return result;
}

void * tevo_calloc_impl(size_t num, size_t size, const char * func) {
    if (num == 0 || size == 0) {
        TEVO_LOG_WARN("Behavior may be unexpected when allocating 0 bytes for tevo_calloc!\n");
        return NULL;
    }
    void * result = calloc(num, size);
    if (result == NULL) {
        TEVO_LOG_ERROR("%s: failed to allocate %6.2f MB\n", func, (double) num * size / (1024.0 * 1024.0));
        TEVO_ABORT("fatal error");
    }
    return result;
}

void * tevo_aligned_malloc(size_t size) {
    if (size == 0) {
        TEVO_LOG_WARN("Behavior may be unexpected when allocating 0 bytes for tevo_aligned_malloc!\n");
        return NULL;
    }
    int    err    = 0;
    void * result = tevo_platform_page_alloc(size, &err);
    if (result == NULL) {
        const char * error_desc = "unknown allocation error";
        switch (err) {
            case 1: error_desc = "invalid alignment value"; break;
            case 3: error_desc = "insufficient memory"; break;
            default: break;
        }
        TEVO_LOG_ERROR("%s: %s (attempted to allocate %6.2f MB)\n", "tevo_aligned_malloc", error_desc,
                       size / (1024.0 * 1024.0));
        return NULL;
    }
    return result;
}

void tevo_aligned_free(void * ptr, size_t size) {
    if (ptr == NULL) {
        return;
    }
    tevo_platform_page_free(ptr, size);
}

const char * tevo_status_to_string(enum tevo_status status) {
    switch (status) {
        case TEVO_STATUS_ALLOC_FAILED: return "TEVO status: error (failed to allocate memory)";
        case TEVO_STATUS_FAILED:       return "TEVO status: error (operation failed)";
        case TEVO_STATUS_SUCCESS:      return "TEVO status: success";
        case TEVO_STATUS_ABORTED:      return "TEVO status: warning (operation aborted)";
    }
    return "TEVO status: unknown";
}

const char * tevo_version(void) {
    return "0.26.0";
}

const char * tevo_commit(void) {
    return "unknown";
}

void tevo_time_init(void) {}

int64_t tevo_time_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t) ts.tv_sec * 1000 + (int64_t) ts.tv_nsec / 1000000;
}

int64_t tevo_time_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t) ts.tv_sec * 1000000 + (int64_t) ts.tv_nsec / 1000;
}

int64_t tevo_cycles(void) {
    return (int64_t) clock();
}

int64_t tevo_cycles_per_ms(void) {
    // clock() ticks per millisecond on the original platform; Linux's CLOCKS_PER_SEC is also 1000000
    return CLOCKS_PER_SEC / 1000;
}

FILE * tevo_fopen(const char * fname, const char * mode) {
    return fopen(fname, mode);
}

uint64_t tevo_graph_next_uid(void) {
    return g_graph_uid.fetch_add(1);
}

bool tevo_guid_matches(tevo_guid_t guid_a, tevo_guid_t guid_b) {
    return memcmp(guid_a, guid_b, sizeof(tevo_guid)) == 0;
}

} // extern "C"
