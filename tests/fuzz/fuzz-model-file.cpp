// Fuzz target: a speech model file read from disk, with the default state
// created as the worker creates it. A refused file must be refused with an
// error line and no context; an accepted one must give a usable context,
// which a short transcription with the worker's settings then uses.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include "serve.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// one scratch file per process, rewritten for every input
const std::string & scratch_path() {
    static const std::string path = [] {
        const char * dir  = getenv("TMPDIR");
        std::string  templ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kestu-fuzz-model-XXXXXX";
        const int    fd    = mkstemp(templ.data());
        if (fd < 0) {
            fuzz_fail("cannot make a scratch file");
        }
        close(fd);
        // gone when the process ends, whichever way
        atexit([] { unlink(scratch_path().c_str()); });
        return templ;
    }();
    return path;
}

} // namespace

int fuzz_model_file(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    if (!fuzz_speech_model_affordable(data, size, 256e6)) {
        return 0;
    }

    const std::string & path = scratch_path();
    FILE *              f    = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        fuzz_fail("cannot write the scratch file");
    }

    const int       errors_before = fuzz_error_lines();
    kestu_context * ctx           = kestu_init_from_file_with_params(path.c_str(), fuzz_cpu_params());
    if (ctx == nullptr) {
        FUZZ_CHECK(fuzz_error_lines() > errors_before);
        return 0;
    }
    // what the rest of the library reads of a loaded model
    FUZZ_CHECK(kestu_n_vocab(ctx) >= 50364);
    FUZZ_CHECK(kestu_token_to_str(ctx, kestu_token_eot(ctx)) != nullptr);
    kestu_token tokens[16];
    FUZZ_CHECK(kestu_tokenize(ctx, " hello world", tokens, 16) >= 0);

    // and transcribes as the worker would: whatever the accepted
    // hyper-parameters, a result or a refusal with its reason, never a crash
    // or an exception cut short
    if (fuzz_speech_model_affordable(data, size, 32e6)) {
        std::vector<float> audio(8000);
        for (size_t i = 0; i < audio.size(); i++) {
            audio[i] = 0.1f * (float) std::sin(0.05 * (double) i);
        }
        const int errors = fuzz_error_lines();
        const int status = kestu_full(ctx, worker_full_params(1), audio.data(), (int) audio.size());
        FUZZ_CHECK(status != KESTU_FULL_ERR_INTERNAL);
        if (status == 0) {
            for (int i = 0; i < kestu_full_n_segments(ctx); i++) {
                FUZZ_CHECK(kestu_full_get_segment_text(ctx, i) != nullptr);
            }
        } else {
            FUZZ_CHECK(fuzz_error_lines() > errors);
        }
    }
    kestu_free(ctx);
    return 0;
}
