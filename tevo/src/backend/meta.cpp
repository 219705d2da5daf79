#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// The framework's two questions to the multi-device backend. That backend
// does not exist yet, so no buffer belongs to it.

#include "backend/impl.h"
#include "core/impl.h"

bool tevo_backend_buffer_is_meta(tevo_backend_buffer_t buffer) {
    TEVO_UNUSED(buffer);
    return false;
}

void tevo_backend_meta_buffer_set_usage(tevo_backend_buffer_t buffer, enum tevo_backend_buffer_usage usage) {
    TEVO_UNUSED(usage);
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
}
