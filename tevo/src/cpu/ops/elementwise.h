#pragma once

// Helpers of the element-wise kernels: the tensor-field locals their texts
// name, and the overlap tests that decide whether a row may go eight
// elements at a time. The element conversions themselves are row-routine
// material: cpu/vec/convert.h (one element) and cpu/vec/x86/convert.h (eight),
// which give the same bits for every input, so a kernel may mix a vector
// body with a scalar tail.

#include "cpu/ops/kernel.h"
#include "cpu/vec/convert.h"
#include "cpu/vec/x86/convert.h"

#include <stdint.h>

// prefix0 .. prefix3 = tensor->field[0 .. 3], as the kernels' texts name
// them (ne00, nb01, ne1, ...)
#define TEVO_EW_LOCALS(type, prefix, tensor, field)              \
    [[maybe_unused]] const type prefix##0 = (tensor)->field[0]; \
    [[maybe_unused]] const type prefix##1 = (tensor)->field[1]; \
    [[maybe_unused]] const type prefix##2 = (tensor)->field[2]; \
    [[maybe_unused]] const type prefix##3 = (tensor)->field[3]

// Whether a loop that loads eight source elements before storing eight
// destination elements gives what the one-element loop gives: the byte
// ranges are disjoint, or both step by the same size and the destination
// does not start above the source (every write then lands on elements
// already read).
static inline bool tevo_ew_vector_safe(const void * dst, size_t dst_elem, const void * src, size_t src_elem,
                                       int64_t n) {
    const uintptr_t d0 = (uintptr_t) dst;
    const uintptr_t s0 = (uintptr_t) src;
    const uintptr_t d1 = d0 + (uintptr_t) n * dst_elem;
    const uintptr_t s1 = s0 + (uintptr_t) n * src_elem;
    if (d1 <= s0 || s1 <= d0) {
        return true;
    }
    return dst_elem == src_elem && d0 <= s0;
}

// whether [p, p + p_bytes) and [q, q + q_bytes) share no byte
static inline bool tevo_ew_disjoint(const void * p, size_t p_bytes, const void * q, size_t q_bytes) {
    const uintptr_t p0 = (uintptr_t) p;
    const uintptr_t q0 = (uintptr_t) q;
    return p0 + p_bytes <= q0 || q0 + q_bytes <= p0;
}
