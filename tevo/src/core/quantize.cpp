#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Chunked quantization entry points: whole rows of floats into any storable
// type through the type's chunk quantizer, and the lattice grids of the
// i-quants, built and released inside the critical section. The activation
// formats q8_1 and q8_K have no chunk quantizer and are refused.

#include "core/impl.h"
#include "quants/iquants.h"
#include "quants/quants.h"

#include <optional>

// builds the grid a type quantizes against; the caller holds the critical
// section
static void tevo_quantize_init_locked(enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_IQ2_XXS:
        case TEVO_TYPE_IQ2_XS:
        case TEVO_TYPE_IQ2_S:
        case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ1_M: iq2xs_init_impl(type); break;
        case TEVO_TYPE_IQ3_XXS: iq3xs_init_impl(256); break;
        case TEVO_TYPE_IQ3_S: iq3xs_init_impl(512); break;
        default: break;
    }
}

// A grid type's chunk: the grid is built and its read lock taken inside the
// critical section, so a tevo_quantize_free from another thread cannot slip
// in between (it waits for the chunk instead).
static size_t tevo_quantize_chunk_grid(enum tevo_type type, const float * src, void * dst, int64_t nrows,
                                       int64_t n_per_row, const float * imatrix) {
    std::optional<tevo_iq_grid_reader> grid;
    tevo_critical_section_start();
    tevo_quantize_init_locked(type);
    grid.emplace(type);
    tevo_critical_section_end();
    return tevo_iq_quantize_rows(type, *grid, src, dst, nrows, n_per_row, imatrix);
}

extern "C" {

bool tevo_quantize_requires_imatrix(enum tevo_type type) {
    return type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS || type == TEVO_TYPE_IQ1_S;
}

void tevo_quantize_init(enum tevo_type type) {
    tevo_critical_section_start();
    tevo_quantize_init_locked(type);
    tevo_critical_section_end();
}

void tevo_quantize_free(void) {
    tevo_critical_section_start();
    iq2xs_free_impl(TEVO_TYPE_IQ2_XXS);
    iq2xs_free_impl(TEVO_TYPE_IQ2_XS);
    iq2xs_free_impl(TEVO_TYPE_IQ2_S);
    iq2xs_free_impl(TEVO_TYPE_IQ1_S);
    iq2xs_free_impl(TEVO_TYPE_IQ1_M);
    iq3xs_free_impl(256);
    iq3xs_free_impl(512);
    tevo_critical_section_end();
}

size_t tevo_quantize_chunk(enum tevo_type type, const float * src, void * dst, int64_t start, int64_t nrows,
                           int64_t n_per_row, const float * imatrix) {
    const int64_t n = (int64_t) nrows * n_per_row;

    if (tevo_quantize_requires_imatrix(type)) {
        TEVO_ASSERT(imatrix != NULL);
    }

    // a retired type has no layout: its block size of 0 would be divided by
    TEVO_ASSERT(type >= 0 && type < TEVO_TYPE_COUNT);
    TEVO_ASSERT(tevo_blck_size(type) > 0);
    TEVO_ASSERT_AS(start % tevo_get_type_traits(type)->blck_size == 0,
                   "start % type_traits[type].blck_size == 0");
    // an empty row length must not be divided by
    TEVO_ASSERT_AS(tevo_is_multiple(start, n_per_row), "start % n_per_row == 0");
    // a row's tail beyond its last whole block would be dropped
    TEVO_ASSERT_AS(n_per_row % tevo_get_type_traits(type)->blck_size == 0,
                   "n_per_row % type_traits[type].blck_size == 0");

    const size_t start_row = n_per_row > 0 ? start / n_per_row : 0;
    const size_t row_size  = tevo_row_size(type, n_per_row);

    size_t result = 0;

    switch (type) {
        case TEVO_TYPE_F32:
            {
                size_t elemsize = sizeof(float);
                result          = n * elemsize;
                memcpy((uint8_t *) dst + start * elemsize, src + start, result);
            } break;
        case TEVO_TYPE_F16:
            {
                size_t elemsize = sizeof(tevo_fp16_t);
                tevo_fp32_to_fp16_row(src + start, (tevo_fp16_t *) dst + start, n);
                result = n * elemsize;
            } break;
        case TEVO_TYPE_BF16:
            {
                size_t elemsize = sizeof(tevo_bf16_t);
                tevo_fp32_to_bf16_row_ref(src + start, (tevo_bf16_t *) dst + start, n);
                result = n * elemsize;
            } break;
#define TEVO_CHUNK(T, fn)                                                                              \
        case T:                                                                                        \
            result = fn(src + start, (char *) dst + start_row * row_size, nrows, n_per_row, imatrix);  \
            break;
        TEVO_CHUNK(TEVO_TYPE_Q4_0, quantize_q4_0)
        TEVO_CHUNK(TEVO_TYPE_Q4_1, quantize_q4_1)
        TEVO_CHUNK(TEVO_TYPE_Q5_0, quantize_q5_0)
        TEVO_CHUNK(TEVO_TYPE_Q5_1, quantize_q5_1)
        TEVO_CHUNK(TEVO_TYPE_Q8_0, quantize_q8_0)
        TEVO_CHUNK(TEVO_TYPE_Q2_K, quantize_q2_K)
        TEVO_CHUNK(TEVO_TYPE_Q3_K, quantize_q3_K)
        TEVO_CHUNK(TEVO_TYPE_Q4_K, quantize_q4_K)
        TEVO_CHUNK(TEVO_TYPE_Q5_K, quantize_q5_K)
        TEVO_CHUNK(TEVO_TYPE_Q6_K, quantize_q6_K)
        TEVO_CHUNK(TEVO_TYPE_TQ1_0, quantize_tq1_0)
        TEVO_CHUNK(TEVO_TYPE_TQ2_0, quantize_tq2_0)
        TEVO_CHUNK(TEVO_TYPE_MXFP4, quantize_mxfp4)
        TEVO_CHUNK(TEVO_TYPE_NVFP4, quantize_nvfp4)
        TEVO_CHUNK(TEVO_TYPE_Q1_0, quantize_q1_0)
        TEVO_CHUNK(TEVO_TYPE_Q2_0, quantize_q2_0)
        TEVO_CHUNK(TEVO_TYPE_IQ4_NL, quantize_iq4_nl)
        TEVO_CHUNK(TEVO_TYPE_IQ4_XS, quantize_iq4_xs)
#undef TEVO_CHUNK
        case TEVO_TYPE_IQ2_XXS:
        case TEVO_TYPE_IQ2_XS:
        case TEVO_TYPE_IQ2_S:
        case TEVO_TYPE_IQ3_XXS:
        case TEVO_TYPE_IQ3_S:
        case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ1_M:
            result = nrows > 0 ? tevo_quantize_chunk_grid(type, src + start, (char *) dst + start_row * row_size,
                                                           nrows, n_per_row, imatrix)
                               : 0;
            break;
        default:
            if (tevo_is_quantized(type) && nrows > 0) {
                tevo_abort(TEVO_SOURCE_PATH, __LINE__, "%s: quantization to %s is not available", __func__,
                           tevo_type_name(type));
            }
            result = 0;
            break;
    }

    TEVO_ASSERT(result == nrows * row_size);

    return result;
}

} // extern "C"
