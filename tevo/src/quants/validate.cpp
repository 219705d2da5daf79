#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// Row validation: a buffer of one element type is a whole number of blocks
// and holds no infinite or NaN value or block scale. Reads only; the first
// fault is reported on standard error.

#include "quants/impl.h"

#include <math.h>
#include <stdio.h>

static inline uint16_t rd_u16(const uint8_t * p) {
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// the half at byte offset off of block i; false (reported) when not finite
static bool check_fp16(const uint8_t * block, size_t off, size_t i) {
    const uint16_t h = rd_u16(block + off) & 0x7fff;
    if (h == 0x7c00) {
        fprintf(stderr, "tevo_validate_row_data: found inf value at block %zu\n", i);
        return false;
    }
    if (h > 0x7c00) {
        fprintf(stderr, "tevo_validate_row_data: found nan value at block %zu\n", i);
        return false;
    }
    return true;
}

static bool check_blocks(const void * data, size_t nb, size_t size, size_t off0, long off1) {
    const uint8_t * p = (const uint8_t *) data;
    for (size_t i = 0; i < nb; ++i, p += size) {
        if (!check_fp16(p, off0, i)) {
            return false;
        }
        if (off1 >= 0 && !check_fp16(p, (size_t) off1, i)) {
            return false;
        }
    }
    return true;
}

// value v, reported under index i
template <typename T>
static bool check_float(T v, size_t i) {
    if (isinf(v)) {
        fprintf(stderr, "tevo_validate_row_data: found inf value at block %zu\n", i);
        return false;
    }
    if (isnan(v)) {
        fprintf(stderr, "tevo_validate_row_data: found nan value at block %zu\n", i);
        return false;
    }
    return true;
}

// every value of nb, or the value at byte offset off of each block of size
template <typename T>
static bool check_floats(const void * data, size_t nb, size_t size = sizeof(T), size_t off = 0) {
    const uint8_t * p = (const uint8_t *) data;
    for (size_t i = 0; i < nb; ++i) {
        T v;
        memcpy(&v, p + i * size + off, sizeof(T));
        if (!check_float(v, i)) {
            return false;
        }
    }
    return true;
}

extern "C" {

bool tevo_validate_row_data(enum tevo_type type, const void * data, size_t nbytes) {
    if ((int) type < 0 || (int) type >= TEVO_TYPE_COUNT || tevo_blck_size(type) == 0) {
        fprintf(stderr, "%s: invalid type %d\n", __func__, (int) type);
        return false;
    }
    const size_t size = tevo_type_size(type);
    if (nbytes % size != 0) {
        fprintf(stderr, "%s: invalid size %zu for type %s (type size = %zu)\n", __func__, nbytes,
                tevo_type_name(type), size);
        return false;
    }
    const size_t    nb = nbytes / size;
    const uint8_t * p  = (const uint8_t *) data;

    switch (type) {
        case TEVO_TYPE_F32: return check_floats<float>(data, nb);
        case TEVO_TYPE_F64: return check_floats<double>(data, nb);
        case TEVO_TYPE_F16: return check_blocks(data, nb, 2, 0, -1);
        case TEVO_TYPE_BF16:
            {
                int nans = 0;
                int infs = 0;
                for (size_t i = 0; i < nb; ++i) {
                    const uint16_t h = rd_u16(p + 2 * i) & 0x7fff;
                    nans += h > 0x7f80;
                    infs += h == 0x7f80;
                }
                if (nans) {
                    fprintf(stderr, "%s: found %d NaNs in row of %zu BF16 values\n", __func__, nans, nb);
                    return false;
                }
                if (infs) {
                    fprintf(stderr, "%s: found %d infinities in row of %zu BF16 values\n", __func__, infs, nb);
                    return false;
                }
                return true;
            }
        case TEVO_TYPE_Q4_0:
        case TEVO_TYPE_Q5_0:
        case TEVO_TYPE_Q8_0:
        case TEVO_TYPE_Q1_0:
        case TEVO_TYPE_Q2_0:
        case TEVO_TYPE_IQ2_XXS:
        case TEVO_TYPE_IQ2_XS:
        case TEVO_TYPE_IQ2_S:
        case TEVO_TYPE_IQ3_XXS:
        case TEVO_TYPE_IQ3_S:
        case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ4_NL:
        case TEVO_TYPE_IQ4_XS: return check_blocks(data, nb, size, 0, -1);
        case TEVO_TYPE_Q4_1:
        case TEVO_TYPE_Q5_1:
        case TEVO_TYPE_Q4_K:
        case TEVO_TYPE_Q5_K: return check_blocks(data, nb, size, 0, 2);
        case TEVO_TYPE_Q2_K: return check_blocks(data, nb, size, 80, 82);
        case TEVO_TYPE_Q3_K: return check_blocks(data, nb, size, 108, -1);
        case TEVO_TYPE_Q6_K: return check_blocks(data, nb, size, 208, -1);
        case TEVO_TYPE_TQ1_0: return check_blocks(data, nb, size, 52, -1);
        case TEVO_TYPE_TQ2_0: return check_blocks(data, nb, size, 64, -1);
        case TEVO_TYPE_Q8_K: return check_floats<float>(data, nb, size, 0);
        case TEVO_TYPE_IQ1_M:
            // the half scale is spread over the top nibbles of four words
            for (size_t i = 0; i < nb; ++i) {
                const uint8_t * s = p + i * size + 48;
                const uint16_t  h = (uint16_t) ((rd_u16(s) >> 12) | ((rd_u16(s + 2) >> 8) & 0x00f0) |
                                               ((rd_u16(s + 4) >> 4) & 0x0f00) | (rd_u16(s + 6) & 0xf000));
                uint8_t tmp[2];
                memcpy(tmp, &h, sizeof(h));
                if (!check_fp16(tmp, 0, i)) {
                    return false;
                }
            }
            return true;
        case TEVO_TYPE_MXFP4:
            for (size_t i = 0; i < nb; ++i) {
                if (p[i * size] == 255) {
                    fprintf(stderr, "tevo_validate_row_data: found invalid e value %d at block %zu\n", 255, i);
                    return false;
                }
            }
            return true;
        case TEVO_TYPE_NVFP4:
            // 0x7f is the E4M3 NaN: the quantizer marks a non-finite
            // sub-block with it, and a reader would take it for 0
            for (size_t i = 0; i < nb; ++i) {
                for (int s = 0; s < QK_NVFP4 / QK_NVFP4_SUB; ++s) {
                    if (p[i * size + s] == 0x7f) {
                        fprintf(stderr, "tevo_validate_row_data: found nan value at block %zu\n", i);
                        return false;
                    }
                }
            }
            return true;
        case TEVO_TYPE_I8:
        case TEVO_TYPE_I16:
        case TEVO_TYPE_I32:
        case TEVO_TYPE_I64: return true;
        default:
            fprintf(stderr, "%s: invalid type %d\n", __func__, (int) type);
            return false;
    }
}

} // extern "C"
