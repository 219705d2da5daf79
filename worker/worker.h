#pragma once

// The transcription worker's parts that do not touch the speech library:
// command-line settings, the request stream on standard input, and the JSON
// lines on standard output. serve.cpp and main.cpp put them together with
// the library; the tests call them directly.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// command line (args.cpp)

// More compute threads than this only cost memory and start-up time, and an
// unbounded count read from the command line would be handed to every graph
// run as is.
constexpr int WORKER_MAX_THREADS = 256;

struct worker_settings {
    const char * model_path = nullptr;
    int          n_threads  = 1;     // in use, after the default and the cap
    bool         use_gpu    = true;  // false only for the word "cpu"
    bool         fit        = false; // audio context sized to each request
};

// 4 above 7 hardware threads, half of them for 4 to 7, else 1
int worker_default_threads(unsigned hardware_threads);

// false when the model path is missing (the usage case)
bool worker_parse_args(int argc, const char * const * argv, unsigned hardware_threads, worker_settings & settings);

// ---------------------------------------------------------------------------
// requests on standard input (request.cpp)

// 120 seconds of 16 kHz audio; a larger count is refused
constexpr uint32_t WORKER_MAX_SAMPLES = 1920000;
constexpr int      WORKER_SAMPLE_RATE = 16000;

// true when a read or write on fd that failed with err only has to be made
// again: it was interrupted, or the descriptor is non-blocking and had no
// data or room for now, which is then waited for
bool worker_retry_io(int fd, int err, bool writing);

// false when the input ends, or fails, before n bytes came; ferror(in)
// tells the two apart. An input with no data yet (a non-blocking one) is
// waited for.
bool read_exact(FILE * in, void * dst, size_t n);

// the encoder's audio context for a request of n samples when fitting is on,
// never more than the model's own
int worker_fit_audio_ctx(uint32_t n_samples, int model_audio_ctx = 1500);

// whole milliseconds of n samples of 16 kHz audio
long worker_audio_ms(uint32_t n_samples);

// false when a sample is NaN or infinite
bool all_finite(const float * samples, size_t n);

// ---------------------------------------------------------------------------
// JSON lines on standard output (lines.cpp, json-escape.cpp)

// The fixed lines, 32 bytes each.
extern const char WORKER_LINE_USAGE[];
extern const char WORKER_LINE_MODEL[];
extern const char WORKER_LINE_TOO_LONG[];
// The failures a request can be answered with while the worker keeps serving.
extern const char WORKER_LINE_BAD_AUDIO[];
extern const char WORKER_LINE_TRANSCRIBE[];

std::string worker_ready_line(long load_ms, int n_threads, const std::string & system_info);
std::string worker_answer_line(const std::string & text, long ms, long audio_ms);

// drops the space characters (0x20 only) in front of the text
void trim_leading_spaces(std::string & text);

// A JSON string body: control characters escaped, valid UTF-8 copied as it
// is, and each invalid UTF-8 sequence replaced by U+FFFD.
std::string json_escape(const std::string & text);

// writes the whole line and flushes it, waiting on an output that takes no
// more for now (a non-blocking one); false when the stream failed, with
// errno telling why
bool write_line(FILE * out, const std::string & line);

// ---------------------------------------------------------------------------
// exit status

// 2 is the usage case and 3 the model; a read or write error on standard
// input or output is neither a normal end (0) nor either of them
constexpr int WORKER_EXIT_IO = 4;

// the status after a failed write_line: 0 when the parent closed our
// output (it reads no more answers), else WORKER_EXIT_IO
int worker_write_failure_status(int err);
