#define TEVO_SOURCE_PATH "tevo/src/tevo"

#include "core/impl.h"

// Primes roughly doubling, so a set sized from a node count wastes at most
// about half its slots and probing chains stay short.
static const size_t tevo_hash_primes[] = {
    2, 3, 5, 11, 17, 37, 67, 131, 257, 521, 1031, 2053, 4099, 8209, 16411, 32771, 65537, 131101,
    262147, 524309, 1048583, 2097169, 4194319, 8388617, 16777259, 33554467, 67108879, 134217757,
    268435459, 536870923, 1073741827, 2147483659,
};
static const size_t tevo_hash_n_primes = sizeof(tevo_hash_primes) / sizeof(tevo_hash_primes[0]);

size_t tevo_hash_size(size_t min_sz) {
    // smallest prime not below min_sz
    size_t l = 0;
    size_t r = tevo_hash_n_primes;
    while (l < r) {
        const size_t m = (l + r) / 2;
        if (tevo_hash_primes[m] < min_sz) {
            l = m + 1;
        } else {
            r = m;
        }
    }
    // beyond the table an odd size at least avoids even strides
    return l < tevo_hash_n_primes ? tevo_hash_primes[l] : (min_sz | 1);
}

struct tevo_hash_set tevo_hash_set_new(size_t size) {
    size = tevo_hash_size(size);
    struct tevo_hash_set result;
    result.size = size;
    result.keys = (struct tevo_tensor **) tevo_malloc(sizeof(struct tevo_tensor *) * size);
    result.used = (tevo_bitset_t *) tevo_calloc(tevo_bitset_size(size), sizeof(tevo_bitset_t));
    return result;
}

void tevo_hash_set_reset(struct tevo_hash_set * hash_set) {
    memset(hash_set->used, 0, sizeof(tevo_bitset_t) * tevo_bitset_size(hash_set->size));
}

void tevo_hash_set_free(struct tevo_hash_set * hash_set) {
    free(hash_set->used);
    free(hash_set->keys);
    hash_set->used = NULL;
    hash_set->keys = NULL;
}

size_t tevo_hash_insert(struct tevo_hash_set * hash_set, struct tevo_tensor * key) {
    const size_t i = tevo_hash_find(hash_set, key);
    if (i == TEVO_HASHSET_FULL) {
        TEVO_ABORT("fatal error");
    }
    if (tevo_bitset_get(hash_set->used, i)) {
        return TEVO_HASHSET_ALREADY_EXISTS;
    }
    tevo_bitset_set(hash_set->used, i);
    hash_set->keys[i] = key;
    return i;
}

size_t tevo_hash_find_or_insert(struct tevo_hash_set * hash_set, struct tevo_tensor * key) {
    const size_t i = tevo_hash_find(hash_set, key);
    if (i == TEVO_HASHSET_FULL) {
        TEVO_ABORT("fatal error");
    }
    if (!tevo_bitset_get(hash_set->used, i)) {
        tevo_bitset_set(hash_set->used, i);
        hash_set->keys[i] = key;
    }
    return i;
}
