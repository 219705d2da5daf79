// Fuzz target: grammar rules (written by the grammar helper's code once it exists).

#include "fuzz-bodies.h"
#include "fuzz-common.h"

int fuzz_grammar(const uint8_t * data, size_t size) {
    (void) data;
    (void) size;
    return 0;
}
