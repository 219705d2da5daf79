#pragma once

// A program started as a parent starts the worker: pipes on its three
// standard streams, requests written to its input, its output read line by
// line, its error output collected on the side. Used by the worker's tests
// and benchmark. KESTU_WORKER_PATH comes from the build.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char ** environ;

namespace worker_test {

// How the worker's standard input and output are handed to it: by default
// pipes to the test; else a descriptor of the test's own (a directory,
// /dev/full), or none at all.
constexpr int WORKER_STDIO_PIPE   = -1;
constexpr int WORKER_STDIO_CLOSED = -2;

struct worker_stdio {
    int  in              = WORKER_STDIO_PIPE;
    int  out             = WORKER_STDIO_PIPE;
    bool nonblocking_in  = false; // O_NONBLOCK on the worker's end of its input pipe
    bool nonblocking_out = false; // and of its output pipe
    int  out_pipe_size   = 0;     // bytes the output pipe holds; 0 for the default
};

struct worker_result {
    int                      status = -1;   // exit status, or 128 + signal
    std::vector<std::string> lines;         // stdout lines read after start-up, without line feeds
    std::string              unterminated;  // stdout text after the last line feed
    std::string              err;           // everything on stderr
};

class worker_process {
public:
    // the worker, or another program given by its path
    explicit worker_process(const std::vector<std::string> & args, const std::string & program = KESTU_WORKER_PATH,
                            const worker_stdio & io = {}) {
        // a worker that ends early must not kill the test with SIGPIPE
        signal(SIGPIPE, SIG_IGN);

        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            perror("pipe2");
            abort();
        }

        // the flags belong to the file descriptions the worker shares
        if ((io.nonblocking_in && fcntl(in[0], F_SETFL, O_NONBLOCK) != 0) ||
            (io.nonblocking_out && fcntl(out[1], F_SETFL, O_NONBLOCK) != 0) ||
            (io.out_pipe_size > 0 && fcntl(out[0], F_SETPIPE_SZ, io.out_pipe_size) < 0)) {
            perror("fcntl");
            abort();
        }

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const int stdio_fds[2][2] = {{io.in, in[0]}, {io.out, out[1]}};
        for (int target = 0; target < 2; ++target) {
            const int given = stdio_fds[target][0];
            if (given == WORKER_STDIO_CLOSED) {
                posix_spawn_file_actions_addclose(&actions, target);
            } else {
                posix_spawn_file_actions_adddup2(&actions, given >= 0 ? given : stdio_fds[target][1], target);
            }
        }
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        // the ignored SIGPIPE above is not the worker's to inherit
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t dflt;
        sigemptyset(&dflt);
        sigaddset(&dflt, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &dflt);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> argv_text;
        argv_text.push_back(program);
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto & a : argv_text) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);

        // a program that cannot be started gives status -1 at the end
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);

        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_  = in[1];
        out_ = out[0];
        err_ = err[0];
        // no pipe to the test where the worker was given something else
        if (io.in != WORKER_STDIO_PIPE) {
            close_fd(in_);
        }
        if (io.out != WORKER_STDIO_PIPE) {
            close_fd(out_);
        }
        if (rc != 0) {
            pid_ = -1;
        }

        err_reader_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                const ssize_t r = read(err_, buf, sizeof(buf));
                if (r > 0) {
                    err_text_.append(buf, (size_t) r);
                } else if (r == 0 || errno != EINTR) {
                    return;
                }
            }
        });
    }

    worker_process(const worker_process &)             = delete;
    worker_process & operator=(const worker_process &) = delete;

    ~worker_process() {
        if (pid_ > 0) {
            // a test that failed half-way: end our own child
            kill(pid_, SIGKILL);
            finish();
        }
        close_fd(in_);
        close_fd(out_);
        if (err_reader_.joinable()) {
            err_reader_.join();
        }
        close_fd(err_);
    }

    // false once the worker no longer reads (it ended)
    bool send(const void * data, size_t n) {
        const char * p = (const char *) data;
        while (n > 0) {
            const ssize_t w = write(in_, p, n);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            p += w;
            n -= (size_t) w;
        }
        return true;
    }

    bool send(const std::string & bytes) { return send(bytes.data(), bytes.size()); }

    void close_input() { close_fd(in_); }

    // the parent stops reading: the worker's next write fails
    void close_output() { close_fd(out_); }

    // the next line of standard output without its line feed; false at the
    // end of output
    bool read_line(std::string & line) {
        for (;;) {
            const size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return true;
            }
            if (out_ < 0) {
                return false;
            }
            char          buf[4096];
            const ssize_t r = read(out_, buf, sizeof(buf));
            if (r > 0) {
                pending_.append(buf, (size_t) r);
            } else if (r == 0 || errno != EINTR) {
                close_fd(out_);
            }
        }
    }

    // closes the input, reads what is left and waits for the exit
    worker_result finish() {
        worker_result result;
        close_input();
        std::string line;
        while (read_line(line)) {
            result.lines.push_back(line);
        }
        result.unterminated = pending_;
        pending_.clear();
        if (err_reader_.joinable()) {
            err_reader_.join();
        }
        result.err = err_text_;
        if (pid_ > 0) {
            int wstatus = 0;
            while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
            }
            result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            pid_          = -1;
        }
        return result;
    }

private:
    pid_t       pid_ = -1;
    int         in_  = -1;
    int         out_ = -1;
    int         err_ = -1;
    std::string pending_;
    std::string err_text_;
    std::thread err_reader_;

    static void close_fd(int & fd) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
};

// ---------------------------------------------------------------------------
// requests

inline std::string request_header(uint32_t n) {
    return std::string((const char *) &n, sizeof(n));
}

inline std::string request(const std::vector<float> & samples) {
    return request_header((uint32_t) samples.size()) +
           std::string((const char *) samples.data(), samples.size() * sizeof(float));
}

} // namespace worker_test
