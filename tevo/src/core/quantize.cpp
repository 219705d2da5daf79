#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Chunked quantization entry points. The block formats themselves come with
// the quantization formats; until they exist, only F32, F16 and BF16 can be
// stored and the block types are refused.

#include "core/impl.h"

extern "C" {

bool tevo_quantize_requires_imatrix(enum tevo_type type) {
    return type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS || type == TEVO_TYPE_IQ1_S;
}

void tevo_quantize_init(enum tevo_type type) {
    // No lattice tables exist yet: nothing to prepare for any type.
    (void) type;
}

void tevo_quantize_free(void) {}

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

    tevo_quantize_init(type);

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
        default:
            if (tevo_is_quantized(type) && nrows > 0) {
                tevo_abort(TEVO_SOURCE_PATH, __LINE__, "%s: quantization to %s is not available", __func__,
                           tevo_type_name(type));
            }
            result = 0;
            break;
    }

    (void) start_row;
    TEVO_ASSERT(result == nrows * row_size);

    return result;
}

} // extern "C"
