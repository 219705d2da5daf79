#include "kestu-impl.h"

// Timings: the context's load time and the state's accumulated run times and
// counts, read as per-run milliseconds, printed as a report, or reset.

struct kestu_timings * kestu_get_timings(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_print_timings(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
}

void kestu_reset_timings(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
}
