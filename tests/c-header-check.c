/* The public headers must compile as C. */
#include "tevo.h"
#include "tevo-meta.h"

int tevo_c_header_check(void) {
    struct tevo_init_params params = { 1024, NULL, true };
    struct tevo_context * ctx = tevo_init(params);
    struct tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    int ok = tevo_nelements(t) == 4;
    tevo_free(ctx);
    return ok;
}
