#define TEVO_SOURCE_PATH "tevo/src/tevo-alloc"

// Offset planner of one buffer type. It hands out ranges in up to 16 chunks,
// each of which later becomes one backend buffer, so a plan may exceed the
// buffer type's maximum buffer size.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static size_t aligned_size(size_t size, size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}

static void chunk_remove_block(struct tevo_tallocr_chunk * chunk, int idx) {
    for (int j = idx; j < chunk->n_free_blocks - 1; j++) {
        chunk->free_blocks[j] = chunk->free_blocks[j + 1];
    }
    chunk->n_free_blocks--;
}

struct tevo_dyn_tallocr * tevo_dyn_tallocr_new(size_t alignment, size_t max_size) {
    struct tevo_dyn_tallocr * alloc = (struct tevo_dyn_tallocr *) calloc(1, sizeof(struct tevo_dyn_tallocr));
    TEVO_ASSERT(alloc != NULL);
    alloc->alignment = alignment;
    alloc->max_size  = max_size < (size_t) INT64_MAX ? max_size : (size_t) INT64_MAX;
    alloc->n_chunks  = 0;
    return alloc;
}

void tevo_dyn_tallocr_reset(struct tevo_dyn_tallocr * alloc) {
    for (int i = 0; i < alloc->n_chunks; i++) {
        free(alloc->chunks[i]);
        alloc->chunks[i] = NULL;
    }
    alloc->n_chunks = 0;
}

void tevo_dyn_tallocr_free(struct tevo_dyn_tallocr * alloc) {
    if (alloc == NULL) {
        return;
    }
    tevo_dyn_tallocr_reset(alloc);
    free(alloc);
}

size_t tevo_dyn_tallocr_total_size(const struct tevo_dyn_tallocr * alloc) {
    size_t total = 0;
    for (int i = 0; i < alloc->n_chunks; i++) {
        total += alloc->chunks[i]->max_size;
    }
    return total;
}

struct tevo_buffer_address tevo_dyn_tallocr_alloc(struct tevo_dyn_tallocr * alloc, size_t size,
                                                  const struct tevo_tensor * tensor) {
    TEVO_UNUSED(tensor);
    size = aligned_size(size, alloc->alignment);

    int    best_fit_chunk = -1;
    int    best_fit_block = -1;
    size_t max_avail      = 0;

    // best fit among the inner blocks; a later chunk with a fit wins, and
    // equal sizes go to the later block
    for (int c = 0; c < alloc->n_chunks; c++) {
        struct tevo_tallocr_chunk * chunk         = alloc->chunks[c];
        size_t                      best_fit_size = SIZE_MAX;
        for (int i = 0; i < chunk->n_free_blocks - 1; i++) {
            struct tevo_free_block * block = &chunk->free_blocks[i];
            max_avail = TEVO_MAX(max_avail, block->size);
            if (block->size >= size && block->size <= best_fit_size) {
                best_fit_chunk = c;
                best_fit_block = i;
                best_fit_size  = block->size;
            }
        }
    }

    if (best_fit_block == -1) {
        // the last block of each chunk reaches to the chunk's end: prefer a
        // range that ends inside what the chunk already needs, else the one
        // that grows its chunk least
        int64_t best_reuse = INT64_MIN;
        for (int c = 0; c < alloc->n_chunks; c++) {
            struct tevo_tallocr_chunk * chunk = alloc->chunks[c];
            // a chunk whose blocks were all used up has no last block
            if (chunk->n_free_blocks == 0) {
                continue;
            }
            struct tevo_free_block * block = &chunk->free_blocks[chunk->n_free_blocks - 1];
            max_avail = TEVO_MAX(max_avail, block->size);
            if (block->size < size) {
                continue;
            }
            const int64_t reuse = (int64_t) chunk->max_size - (int64_t) block->offset - (int64_t) size;
            bool          better;
            if (best_fit_chunk == -1) {
                better = true;
            } else if (reuse >= 0) {
                better = best_reuse < 0 || reuse < best_reuse;
            } else {
                better = best_reuse < 0 && reuse > best_reuse;
            }
            if (better) {
                best_fit_chunk = c;
                best_fit_block = chunk->n_free_blocks - 1;
                best_reuse     = reuse;
            }
        }
    }

    if (best_fit_block == -1 && alloc->n_chunks < TEVO_VBUFFER_MAX_CHUNKS) {
        struct tevo_tallocr_chunk * chunk =
            (struct tevo_tallocr_chunk *) calloc(1, sizeof(struct tevo_tallocr_chunk));
        TEVO_ASSERT(chunk != NULL);
        chunk->n_free_blocks          = 1;
        chunk->free_blocks[0].offset  = 0;
        // the last chunk takes whatever is left
        chunk->free_blocks[0].size    = alloc->n_chunks == TEVO_VBUFFER_MAX_CHUNKS - 1 ?
                                            (size_t) INT64_MAX : TEVO_MAX(size, alloc->max_size);
        chunk->max_size               = 0;
        alloc->chunks[alloc->n_chunks] = chunk;
        best_fit_chunk                 = alloc->n_chunks;
        best_fit_block                 = 0;
        alloc->n_chunks++;
    }

    if (best_fit_block == -1) {
        TEVO_LOG_ERROR("%s: not enough space in the buffer to allocate %zu bytes, largest block available %zu bytes\n",
                       "tevo_dyn_tallocr_alloc", size, max_avail);
        TEVO_ABORT("graph allocation: failed to reserve memory");
    }

    struct tevo_tallocr_chunk * chunk = alloc->chunks[best_fit_chunk];
    struct tevo_free_block *    block = &chunk->free_blocks[best_fit_block];

    struct tevo_buffer_address addr = { best_fit_chunk, block->offset };
    block->offset += size;
    block->size -= size;
    if (block->size == 0) {
        chunk_remove_block(chunk, best_fit_block);
    }
    chunk->max_size = TEVO_MAX(chunk->max_size, addr.offset + size);

    return addr;
}

void tevo_dyn_tallocr_free_range(struct tevo_dyn_tallocr * alloc, struct tevo_buffer_address addr, size_t size,
                                 const struct tevo_tensor * tensor) {
    TEVO_UNUSED(tensor);
    size = aligned_size(size, alloc->alignment);

    struct tevo_tallocr_chunk * chunk = alloc->chunks[addr.chunk];

    // join an adjacent block, and then its other neighbour when they meet
    for (int i = 0; i < chunk->n_free_blocks; i++) {
        struct tevo_free_block * block = &chunk->free_blocks[i];
        if (block->offset + block->size == addr.offset) {
            block->size += size;
            if (i < chunk->n_free_blocks - 1) {
                struct tevo_free_block * next = &chunk->free_blocks[i + 1];
                if (block->offset + block->size == next->offset) {
                    block->size += next->size;
                    chunk_remove_block(chunk, i + 1);
                }
            }
            return;
        }
        if (addr.offset + size == block->offset) {
            block->offset = addr.offset;
            block->size += size;
            if (i > 0) {
                struct tevo_free_block * prev = &chunk->free_blocks[i - 1];
                if (prev->offset + prev->size == block->offset) {
                    prev->size += block->size;
                    chunk_remove_block(chunk, i);
                }
            }
            return;
        }
    }

    TEVO_ASSERT(chunk->n_free_blocks < MAX_FREE_BLOCKS && "out of free blocks");

    int insert_pos = 0;
    while (insert_pos < chunk->n_free_blocks && chunk->free_blocks[insert_pos].offset < addr.offset) {
        insert_pos++;
    }
    for (int j = chunk->n_free_blocks; j > insert_pos; j--) {
        chunk->free_blocks[j] = chunk->free_blocks[j - 1];
    }
    chunk->free_blocks[insert_pos].offset = addr.offset;
    chunk->free_blocks[insert_pos].size   = size;
    chunk->n_free_blocks++;
}
