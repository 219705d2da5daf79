// Fuzz target: a speech model file read from memory, without a state. A
// refused image must be refused with an error line and no context.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include <vector>

int fuzz_model_buffer(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    if (!fuzz_speech_model_affordable(data, size, 256e6)) {
        return 0;
    }

    // a copy of exactly the input, so that a read past its end is seen
    std::vector<uint8_t> image(data, data + size);
    const int            errors_before = fuzz_error_lines();
    kestu_context *      ctx =
        kestu_init_from_buffer_with_params_no_state(image.data(), image.size(), fuzz_cpu_params());
    if (ctx == nullptr) {
        FUZZ_CHECK(fuzz_error_lines() > errors_before);
        return 0;
    }
    for (kestu_token id : {0, kestu_token_eot(ctx), kestu_token_beg(ctx), kestu_n_vocab(ctx) - 1}) {
        FUZZ_CHECK(kestu_token_to_str(ctx, id) != nullptr);
    }
    kestu_free(ctx);
    return 0;
}
