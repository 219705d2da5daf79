#include "kestu-impl.h"

// Key-value caches: one backend buffer per cache, and the cell bookkeeping of
// which positions of which sequences each cell holds, where the next batch
// goes and which cells a sequence gives up.

bool kestu_kv_cache_init(kestu_kv_cache & cache, tevo_backend_t backend, enum tevo_type wtype, int64_t n_text_state,
                         int64_t n_text_layer, int n_ctx) {
    KESTU_NOT_BUILT();
    return false;
}

void kestu_kv_cache_free(kestu_kv_cache & cache) {
    KESTU_NOT_BUILT();
}

void kestu_kv_cache_clear(kestu_kv_cache & cache) {
    KESTU_NOT_BUILT();
}

bool kestu_kv_cache_find_slot(kestu_kv_cache & cache, const kestu_batch & batch) {
    KESTU_NOT_BUILT();
    return false;
}

void kestu_kv_cache_drop_cells(kestu_kv_cache & cache, int32_t seq_id, int32_t p0) {
    KESTU_NOT_BUILT();
}

void kestu_kv_cache_seq_cp(kestu_kv_cache & cache, int32_t seq_src, int32_t seq_dst, int32_t p0, int32_t p1) {
    KESTU_NOT_BUILT();
}
