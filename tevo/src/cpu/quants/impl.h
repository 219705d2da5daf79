#pragma once

// What the CPU's quantized kernels share: the block records, the reference
// quantizers the row quantizers forward to, the lookup tables their scales
// are widened through and the length check of the dot products.

#include "core/impl.h"
#include "cpu/quants/quants.h"
#include "cpu/vec/tables.h"
#include "quants/quants.h"

#include <math.h>
#include <string.h>

// half scales through the engine's table, as every kernel reads them
#define TEVO_Q_H2F(h) tevo_table_f32_f16[(h)]

// n whole weight blocks: a tail would be dropped from the product
#define TEVO_VEC_DOT_CHECK(n, qk) TEVO_ASSERT_AS((n) >= 0 && (n) % (qk) == 0, "n >= 0 && n % " #qk " == 0")

#define TEVO_VEC_DOT_UNUSED() \
    do {                      \
        (void) bs;            \
        (void) bx;            \
        (void) by;            \
        (void) nrc;           \
    } while (0)
