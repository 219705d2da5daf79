// The lines the worker writes on standard output. Every line is one JSON
// object written whole and flushed at once, so a parent reading lines never
// sees half of one.

#include "worker.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>

const char WORKER_LINE_USAGE[]      = "{\"ready\":false,\"error\":\"usage\"}\n";
const char WORKER_LINE_MODEL[]      = "{\"ready\":false,\"error\":\"model\"}\n";
const char WORKER_LINE_TOO_LONG[]   = "{\"ok\":false,\"error\":\"too_long\"}\n";
const char WORKER_LINE_BAD_AUDIO[]  = "{\"ok\":false,\"error\":\"bad_audio\"}\n";
const char WORKER_LINE_TRANSCRIBE[] = "{\"ok\":false,\"error\":\"transcribe\"}\n";

static std::string format_line(const char * format, ...) __attribute__((format(printf, 1, 2)));

static std::string format_line(const char * format, ...) {
    va_list args;
    va_start(args, format);
    va_list args_copy;
    va_copy(args_copy, args);
    const int   len = vsnprintf(nullptr, 0, format, args);
    std::string line((size_t) (len > 0 ? len : 0), '\0');
    if (len > 0) {
        vsnprintf(&line[0], (size_t) len + 1, format, args_copy);
    }
    va_end(args_copy);
    va_end(args);
    return line;
}

std::string worker_ready_line(long load_ms, int n_threads, const std::string & system_info) {
    return format_line("{\"ready\":true,\"load_ms\":%ld,\"threads\":%d,\"system\":\"%s\"}\n", load_ms, n_threads,
                       json_escape(system_info).c_str());
}

std::string worker_answer_line(const std::string & text, long ms, long audio_ms) {
    return format_line("{\"ok\":true,\"text\":\"%s\",\"ms\":%ld,\"audio_ms\":%ld}\n", json_escape(text).c_str(), ms,
                       audio_ms);
}

void trim_leading_spaces(std::string & text) {
    const size_t first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
}

bool write_line(FILE * out, const std::string & line) {
    const int fd = fileno(out);
    if (fd < 0) {
        // a stream in memory: nothing to wait for
        const bool written = fwrite(line.data(), 1, line.size(), out) == line.size();
        return fflush(out) == 0 && written;
    }
    // straight to the descriptor: a stream's buffer drops what a
    // non-blocking output refused
    if (fflush(out) != 0) {
        return false;
    }
    const char * p    = line.data();
    size_t       left = line.size();
    while (left > 0) {
        const ssize_t w = write(fd, p, left);
        if (w < 0) {
            if (!worker_retry_io(fd, errno, true)) {
                return false;
            }
            continue;
        }
        p += w;
        left -= (size_t) w;
    }
    return true;
}

int worker_write_failure_status(int err) {
    return err == EPIPE ? 0 : WORKER_EXIT_IO;
}
