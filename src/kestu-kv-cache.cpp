#include "kestu-impl.h"

#include <algorithm>

// Key-value caches: one backend buffer per cache, and the cell bookkeeping of
// which positions of which sequences each cell holds, where the next batch
// goes and which cells a sequence gives up.
//
// The cells describe only kv_self; kv_cross and kv_pad keep theirs unused.
// K and V are flat tensors whose records live in the cache's own ctx_buf, so
// re-making a cache needs no tensor context to outlive the call.

bool kestu_kv_cache_init(kestu_kv_cache & cache, tevo_backend_t backend, enum tevo_type wtype, int64_t n_text_state,
                         int64_t n_text_layer, int n_ctx) {
    cache.ctx_buf.resize(2u * tevo_tensor_overhead());

    cache.head = 0;
    cache.size = (uint32_t) n_ctx;
    cache.cells.resize((size_t) n_ctx);
    cache.k = nullptr;
    cache.v = nullptr;

    tevo_init_params params = {
        /*.mem_size   =*/cache.ctx_buf.size(),
        /*.mem_buffer =*/cache.ctx_buf.data(),
        /*.no_alloc   =*/true,
    };
    tevo_context * ctx = tevo_init(params);
    if (!ctx) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for the kv cache context\n", __func__);
        return false;
    }

    const int64_t n_elements = n_text_state * n_text_layer * (int64_t) n_ctx;
    cache.k = tevo_new_tensor_1d(ctx, wtype, n_elements);
    cache.v = tevo_new_tensor_1d(ctx, wtype, n_elements);

    cache.buffer = tevo_backend_alloc_ctx_tensors(ctx, backend);
    if (!cache.buffer) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for the kv cache\n", __func__);
        tevo_free(ctx);
        cache.k = nullptr;
        cache.v = nullptr;
        return false;
    }

    tevo_backend_buffer_clear(cache.buffer, 0);
    // the records of k and v stay in ctx_buf; only the context goes
    tevo_free(ctx);
    return true;
}

void kestu_kv_cache_free(kestu_kv_cache & cache) {
    tevo_backend_buffer_free(cache.buffer);
    cache.buffer = nullptr;
    cache.k      = nullptr;
    cache.v      = nullptr;
}

void kestu_kv_cache_clear(kestu_kv_cache & cache) {
    for (kestu_kv_cell & cell : cache.cells) {
        cell.pos = -1;
        cell.seq_id.clear();
    }
    cache.head = 0;
    if (cache.buffer) {
        tevo_backend_buffer_clear(cache.buffer, 0);
    }
}

bool kestu_kv_cache_find_slot(kestu_kv_cache & cache, const kestu_batch & batch) {
    const uint32_t n_ctx    = cache.size;
    const uint32_t n_tokens = (uint32_t) batch.n_tokens;

    if (n_tokens > n_ctx) {
        KESTU_LOG_ERROR("%s: n_tokens=%d > n_ctx=%d\n", "kestu_kv_cache_find_slot", (int) n_tokens, (int) n_ctx);
        return false;
    }

    uint32_t n_tested = 0;
    while (true) {
        if (cache.head + n_tokens > n_ctx) {
            n_tested += n_ctx - cache.head;
            cache.head = 0;
            continue;
        }

        bool found = true;
        for (uint32_t i = 0; i < n_tokens; i++) {
            if (cache.cells[cache.head + i].pos >= 0) {
                found = false;
                cache.head += i + 1;
                n_tested += i + 1;
                break;
            }
        }

        if (found) {
            break;
        }
        if (n_tested >= n_ctx) {
            return false;
        }
    }

    for (uint32_t i = 0; i < n_tokens; i++) {
        kestu_kv_cell & cell = cache.cells[cache.head + i];
        cell.pos = batch.pos[i];
        for (int32_t j = 0; j < batch.n_seq_id[i]; j++) {
            cell.seq_id.insert(batch.seq_id[i][j]);
        }
    }

    // attend up to the last used cell; cell 0 always counts
    uint32_t n = 1;
    for (uint32_t i = n_ctx; i > 1; i--) {
        const kestu_kv_cell & cell = cache.cells[i - 1];
        if (cell.pos >= 0 && !cell.seq_id.empty()) {
            n = i;
            break;
        }
    }
    cache.n = std::min(n_ctx, n);

    return true;
}

void kestu_kv_cache_drop_cells(kestu_kv_cache & cache, int32_t seq_id, int32_t p0) {
    if (cache.size == 0) {
        return;
    }
    const int32_t p_min    = std::max(p0, 0);
    uint32_t      new_head = cache.size;

    for (uint32_t i = 0; i < cache.size; i++) {
        kestu_kv_cell & cell = cache.cells[i];
        if (cell.pos < p_min) {
            continue;
        }
        if (seq_id < 0) {
            cell.seq_id.clear();
        } else if (cell.has_seq_id(seq_id)) {
            cell.seq_id.erase(seq_id);
        } else {
            continue;
        }
        if (cell.seq_id.empty()) {
            cell.pos = -1;
            if (new_head == cache.size) {
                new_head = i;
            }
        }
    }

    if (new_head != cache.size) {
        cache.head = new_head;
    }
}

void kestu_kv_cache_seq_cp(kestu_kv_cache & cache, int32_t seq_src, int32_t seq_dst, int32_t p0, int32_t p1) {
    cache.head = 0;
    for (kestu_kv_cell & cell : cache.cells) {
        if (cell.has_seq_id(seq_src) && cell.pos >= p0 && cell.pos < p1) {
            cell.seq_id.insert(seq_dst);
        }
    }
}
