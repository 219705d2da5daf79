// libFuzzer entry of one fuzz program; KESTU_FUZZ_BODY names its body.

#include "fuzz-bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    return KESTU_FUZZ_BODY(data, size);
}
