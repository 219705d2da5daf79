// Fuzz target: the worker's request stream, served in-process by the
// worker's own loop over a tiny model. The first byte chooses the "fit"
// setting (bit 0) and the model (bit 1); the rest is what standard input
// would carry.
//
// What must hold: one answer line per complete request, of the kind the
// request calls for (bad audio for NaN or infinity, else a transcription or
// its failure line, or bad audio where a sample is large enough to overflow
// the spectrogram), "too_long" for a count above the limit and nothing after
// it, and no line for an incomplete request or after a count of 0.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include "serve.h"
#include "worker.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class answer { any_transcription, huge_audio, bad_audio, too_long };

// below this no sample can overflow the spectrogram's power (it takes
// about 1e17); at or above it bad audio is an answer too
constexpr float HUGE_SAMPLE = 1e12f;

// the answers the stream calls for
std::vector<answer> expected_answers(const uint8_t * p, size_t n) {
    std::vector<answer> out;
    size_t              pos = 0;
    while (n - pos >= sizeof(uint32_t)) {
        uint32_t count = 0;
        memcpy(&count, p + pos, sizeof(count));
        pos += sizeof(count);
        if (count == 0) {
            break;
        }
        if (count > WORKER_MAX_SAMPLES) {
            out.push_back(answer::too_long);
            break;
        }
        const size_t bytes = (size_t) count * sizeof(float);
        if (n - pos < bytes) {
            break;
        }
        bool finite = true;
        bool huge   = false;
        for (size_t i = 0; i < count && finite; i++) {
            float v = 0.0f;
            memcpy(&v, p + pos + i * sizeof(float), sizeof(v));
            finite = std::isfinite(v);
            huge   = huge || std::fabs(v) >= HUGE_SAMPLE;
        }
        out.push_back(!finite ? answer::bad_audio : huge ? answer::huge_audio : answer::any_transcription);
        pos += bytes;
    }
    return out;
}

bool starts_with(const std::string & s, const char * prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

} // namespace

int fuzz_worker(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    if (size < 1) {
        return 0;
    }
    // 512 positions: the worker's fitted context for short requests. The
    // eager model answers in two decoding steps; the random one decodes
    // whatever its weights say, through every fallback temperature, and so
    // gives the answer lines texts of any bytes, at a tenth of the speed.
    static const kestu_model_recipe recipe  = fuzz_tiny_recipe(600, 512, 16, 16, 1);
    static kestu_context *        eager = fuzz_tiny_context(fuzz_eager_recipe(recipe), true);
    static kestu_context *        noisy = fuzz_tiny_context(recipe, true);

    kestu_context * ctx    = (data[0] & 2) != 0 ? noisy : eager;
    const bool      fit    = (data[0] & 1) != 0;
    const uint8_t * stream = data + 1;
    const size_t    n      = size - 1;

    // the request bytes in a buffer of their own, so a read past them is seen
    std::vector<uint8_t> input(stream, stream + n);
    input.push_back(0); // fmemopen wants at least one byte
    FILE * in = fmemopen(input.data(), n > 0 ? n : 1, "rb");
    if (in == nullptr) {
        fuzz_fail("fmemopen");
    }
    if (n == 0) {
        fgetc(in); // an empty stream
    }
    char * out_text = nullptr;
    size_t out_size = 0;
    FILE * out      = open_memstream(&out_text, &out_size);
    if (out == nullptr) {
        fuzz_fail("open_memstream");
    }

    worker_serve(ctx, worker_full_params(1), fit, in, out);
    fclose(in);
    fclose(out);
    const std::string output(out_text, out_size);
    free(out_text);
    if (getenv("KESTU_FUZZ_SHOW") != nullptr) {
        fputs(output.c_str(), stderr);
    }

    // one line per answer, each of the kind its request calls for
    const std::vector<answer> want = expected_answers(stream, n);
    std::vector<std::string>  lines;
    for (size_t p = 0; p < output.size();) {
        const size_t e = output.find('\n', p);
        FUZZ_CHECK(e != std::string::npos); // every line is whole
        lines.push_back(output.substr(p, e - p + 1));
        p = e + 1;
    }
    FUZZ_CHECK(lines.size() == want.size());
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string & line = lines[i];
        switch (want[i]) {
            case answer::too_long:
                FUZZ_CHECK(line == WORKER_LINE_TOO_LONG);
                break;
            case answer::bad_audio:
                FUZZ_CHECK(line == WORKER_LINE_BAD_AUDIO);
                break;
            case answer::huge_audio:
            case answer::any_transcription:
                FUZZ_CHECK(starts_with(line, "{\"ok\":true,\"text\":\"") || line == WORKER_LINE_TRANSCRIBE ||
                           (want[i] == answer::huge_audio && line == WORKER_LINE_BAD_AUDIO));
                // no raw control character may reach the parent's JSON parser
                for (size_t k = 0; k + 1 < line.size(); k++) {
                    FUZZ_CHECK((unsigned char) line[k] >= 0x20);
                }
                break;
        }
    }
    return 0;
}
