// Fuzz target: text to tokens over a vocabulary that holds every single
// byte and a few hundred words. Since every byte has a token, the tokens'
// texts must give back the text exactly; the count must agree with the
// tokens written, and too small an array must be refused with minus the
// count and nothing written past it.

#include "fuzz-bodies.h"
#include "fuzz-common.h"

#include <cstring>
#include <string>
#include <vector>

int fuzz_tokenizer(const uint8_t * data, size_t size) {
    fuzz_quiet_logs();
    static kestu_context * ctx = fuzz_tiny_context(fuzz_tiny_recipe(600, 64, 16, 4, 1), false);

    // the interface takes a C string: the text ends at the first NUL
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *      c_text = text.c_str();
    const size_t      len    = strlen(c_text);

    std::vector<kestu_token> tokens(len + 1, -1);
    const int                n = kestu_tokenize(ctx, c_text, tokens.data(), (int) tokens.size());
    FUZZ_CHECK(n >= 0 && (size_t) n <= len);
    FUZZ_CHECK(tokens[n] == -1);

    std::string back;
    for (int i = 0; i < n; i++) {
        const char * piece = kestu_token_to_str(ctx, tokens[i]);
        FUZZ_CHECK(piece != nullptr);
        back += piece;
    }
    FUZZ_CHECK(back == std::string(c_text, len));

    FUZZ_CHECK(kestu_token_count(ctx, c_text) == n);
    if (n > 0) {
        // one short: refused with the count negated, nothing written
        std::vector<kestu_token> few(n, -1);
        FUZZ_CHECK(kestu_tokenize(ctx, c_text, few.data(), n - 1) == -n);
        for (kestu_token t : few) {
            FUZZ_CHECK(t == -1);
        }
    }
    return 0;
}
