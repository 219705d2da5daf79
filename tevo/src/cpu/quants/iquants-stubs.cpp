#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// The i-quants have block sizes and table rows but no kernels yet: a graph
// that reaches one stops here with the type's name. Their own sources
// replace these definitions.

#include "cpu/quants/quants.h"

#include "core/impl.h"

#define TEVO_QUANTIZE_MISSING(name)                                            \
    void quantize_row_##name(const float * x, void * y, int64_t k) {          \
        (void) x;                                                              \
        (void) y;                                                              \
        (void) k;                                                              \
        TEVO_ABORT("%s: no CPU quantizer for type %s", __func__, #name);      \
    }

#define TEVO_VEC_DOT_MISSING(name, type)                                       \
    void tevo_vec_dot_##name(TEVO_VEC_DOT_ARGS) {                              \
        (void) n;                                                              \
        (void) s;                                                              \
        (void) bs;                                                             \
        (void) x;                                                              \
        (void) bx;                                                             \
        (void) y;                                                              \
        (void) by;                                                             \
        (void) nrc;                                                            \
        TEVO_ABORT("%s: no CPU dot product for type %s", __func__, type);     \
    }

TEVO_QUANTIZE_MISSING(iq4_nl)
TEVO_QUANTIZE_MISSING(iq4_xs)

TEVO_VEC_DOT_MISSING(iq2_xxs_q8_K, "iq2_xxs")
TEVO_VEC_DOT_MISSING(iq2_xs_q8_K, "iq2_xs")
TEVO_VEC_DOT_MISSING(iq3_xxs_q8_K, "iq3_xxs")
TEVO_VEC_DOT_MISSING(iq1_s_q8_K, "iq1_s")
TEVO_VEC_DOT_MISSING(iq3_s_q8_K, "iq3_s")
TEVO_VEC_DOT_MISSING(iq2_s_q8_K, "iq2_s")
TEVO_VEC_DOT_MISSING(iq4_xs_q8_K, "iq4_xs")
TEVO_VEC_DOT_MISSING(iq1_m_q8_K, "iq1_m")
TEVO_VEC_DOT_MISSING(iq4_nl_q8_0, "iq4_nl")
