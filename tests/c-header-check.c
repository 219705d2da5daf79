/* The public headers must compile as C. */
#include "tevo.h"
#include "tevo-meta.h"
#include "tevo-cpu.h"

/* a C caller reaches the repacked-weight buffer type by its plain name */
tevo_backend_buffer_type_t (*tevo_c_header_repack_buffer_type)(void) = tevo_backend_cpu_repack_buffer_type;

int tevo_c_header_check(void) {
    struct tevo_init_params params = { 1024, NULL, true };
    struct tevo_context * ctx = tevo_init(params);
    struct tevo_tensor * t = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    int ok = tevo_nelements(t) == 4;
    tevo_free(ctx);
    return ok;
}
