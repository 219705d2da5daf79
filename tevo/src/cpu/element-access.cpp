#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Scalar tensors and single-element reads and writes on I8, I16, I32, F16,
// BF16 and F32 tensors. Ints go to float types through float; floats go to
// integer types truncated toward zero.

#include "cpu/impl.h"

#include <immintrin.h>

// truncation toward zero without undefined behaviour: NaN and out-of-range
// values give INT32_MIN, as the processor's conversion does
static inline int32_t tevo_trunc_i32(float v) {
    return _mm_cvttss_si32(_mm_set_ss(v));
}

static inline float tevo_half_to_f32(tevo_fp16_t h) {
    return TEVO_FP16_TO_FP32(h);
}

// ---------------------------------------------------------------------------
// one element at a byte address, by type

static int32_t tevo_read_i32(enum tevo_type type, const void * p) {
    switch (type) {
        case TEVO_TYPE_I8:   return *(const int8_t *) p;
        case TEVO_TYPE_I16:  return *(const int16_t *) p;
        case TEVO_TYPE_I32:  return *(const int32_t *) p;
        case TEVO_TYPE_F16:  return tevo_trunc_i32(tevo_half_to_f32(*(const tevo_fp16_t *) p));
        case TEVO_TYPE_BF16: return tevo_trunc_i32(TEVO_BF16_TO_FP32(*(const tevo_bf16_t *) p));
        case TEVO_TYPE_F32:  return tevo_trunc_i32(*(const float *) p);
        default:             TEVO_ABORT("fatal error");
    }
}

static void tevo_write_i32(enum tevo_type type, void * p, int32_t value) {
    switch (type) {
        case TEVO_TYPE_I8:   *(int8_t *) p = (int8_t) value; break;
        case TEVO_TYPE_I16:  *(int16_t *) p = (int16_t) value; break;
        case TEVO_TYPE_I32:  *(int32_t *) p = value; break;
        case TEVO_TYPE_F16:  *(tevo_fp16_t *) p = TEVO_FP32_TO_FP16((float) value); break;
        case TEVO_TYPE_BF16: *(tevo_bf16_t *) p = TEVO_FP32_TO_BF16((float) value); break;
        case TEVO_TYPE_F32:  *(float *) p = (float) value; break;
        default:             TEVO_ABORT("fatal error");
    }
}

static float tevo_read_f32(enum tevo_type type, const void * p) {
    switch (type) {
        case TEVO_TYPE_I8:   return (float) *(const int8_t *) p;
        case TEVO_TYPE_I16:  return (float) *(const int16_t *) p;
        case TEVO_TYPE_I32:  return (float) *(const int32_t *) p;
        case TEVO_TYPE_F16:  return tevo_half_to_f32(*(const tevo_fp16_t *) p);
        case TEVO_TYPE_BF16: return TEVO_BF16_TO_FP32(*(const tevo_bf16_t *) p);
        case TEVO_TYPE_F32:  return *(const float *) p;
        default:             TEVO_ABORT("fatal error");
    }
}

static void tevo_write_f32(enum tevo_type type, void * p, float value) {
    switch (type) {
        case TEVO_TYPE_I8:   *(int8_t *) p = (int8_t) tevo_trunc_i32(value); break;
        case TEVO_TYPE_I16:  *(int16_t *) p = (int16_t) tevo_trunc_i32(value); break;
        case TEVO_TYPE_I32:  *(int32_t *) p = tevo_trunc_i32(value); break;
        case TEVO_TYPE_F16:  *(tevo_fp16_t *) p = TEVO_FP32_TO_FP16(value); break;
        case TEVO_TYPE_BF16: *(tevo_bf16_t *) p = TEVO_FP32_TO_BF16(value); break;
        case TEVO_TYPE_F32:  *(float *) p = value; break;
        default:             TEVO_ABORT("fatal error");
    }
}

// the 1-D int access of a contiguous tensor insists on packed elements
static void tevo_assert_packed(const struct tevo_tensor * tensor) {
    switch (tensor->type) {
        case TEVO_TYPE_I8:   TEVO_ASSERT(tensor->nb[0] == sizeof(int8_t)); break;
        case TEVO_TYPE_I16:  TEVO_ASSERT(tensor->nb[0] == sizeof(int16_t)); break;
        case TEVO_TYPE_I32:  TEVO_ASSERT(tensor->nb[0] == sizeof(int32_t)); break;
        case TEVO_TYPE_F16:  TEVO_ASSERT(tensor->nb[0] == sizeof(tevo_fp16_t)); break;
        case TEVO_TYPE_BF16: TEVO_ASSERT(tensor->nb[0] == sizeof(tevo_bf16_t)); break;
        case TEVO_TYPE_F32:  TEVO_ASSERT(tensor->nb[0] == sizeof(float)); break;
        default:             TEVO_ABORT("fatal error");
    }
}

static inline void * tevo_element_ptr(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3) {
    return (char *) tensor->data + (int64_t) i0 * tensor->nb[0] + (int64_t) i1 * tensor->nb[1] +
           (int64_t) i2 * tensor->nb[2] + (int64_t) i3 * tensor->nb[3];
}

static inline void * tevo_flat_ptr(const struct tevo_tensor * tensor, int i) {
    return (char *) tensor->data + (int64_t) i * (int64_t) tevo_type_size(tensor->type);
}

// ---------------------------------------------------------------------------

struct tevo_tensor * tevo_new_i32(struct tevo_context * ctx, int32_t value) {
    TEVO_ASSERT(!tevo_get_no_alloc(ctx));
    struct tevo_tensor * result = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 1);
    tevo_set_i32(result, value);
    return result;
}

struct tevo_tensor * tevo_new_f32(struct tevo_context * ctx, float value) {
    TEVO_ASSERT(!tevo_get_no_alloc(ctx));
    struct tevo_tensor * result = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
    tevo_set_f32(result, value);
    return result;
}

struct tevo_tensor * tevo_set_i32(struct tevo_tensor * tensor, int32_t value) {
    const int64_t n  = tevo_nrows(tensor);
    const int64_t nc = tensor->ne[0];
    switch (tensor->type) {
        case TEVO_TYPE_I8: case TEVO_TYPE_I16: case TEVO_TYPE_I32:
        case TEVO_TYPE_F16: case TEVO_TYPE_BF16: case TEVO_TYPE_F32: break;
        default: TEVO_ABORT("fatal error");
    }
    const size_t es = tevo_type_size(tensor->type);
    for (int64_t r = 0; r < n; r++) {
        char * row = tevo_row_at(tensor, r);
        for (int64_t k = 0; k < nc; k++) {
            tevo_write_i32(tensor->type, row + (size_t) k * es, value);
        }
    }
    return tensor;
}

struct tevo_tensor * tevo_set_f32(struct tevo_tensor * tensor, float value) {
    const int64_t n  = tevo_nrows(tensor);
    const int64_t nc = tensor->ne[0];
    switch (tensor->type) {
        case TEVO_TYPE_I8: case TEVO_TYPE_I16: case TEVO_TYPE_I32:
        case TEVO_TYPE_F16: case TEVO_TYPE_BF16: case TEVO_TYPE_F32: break;
        default: TEVO_ABORT("fatal error");
    }
    const size_t es = tevo_type_size(tensor->type);
    for (int64_t r = 0; r < n; r++) {
        char * row = tevo_row_at(tensor, r);
        for (int64_t k = 0; k < nc; k++) {
            tevo_write_f32(tensor->type, row + (size_t) k * es, value);
        }
    }
    return tensor;
}

int32_t tevo_get_i32_1d(const struct tevo_tensor * tensor, int i) {
    if (!tevo_is_contiguous(tensor)) {
        int64_t id[4] = { 0, 0, 0, 0 };
        tevo_unravel_index(tensor, i, &id[0], &id[1], &id[2], &id[3]);
        return tevo_get_i32_nd(tensor, (int) id[0], (int) id[1], (int) id[2], (int) id[3]);
    }
    tevo_assert_packed(tensor);
    return tevo_read_i32(tensor->type, tevo_flat_ptr(tensor, i));
}

void tevo_set_i32_1d(const struct tevo_tensor * tensor, int i, int32_t value) {
    if (!tevo_is_contiguous(tensor)) {
        int64_t id[4] = { 0, 0, 0, 0 };
        tevo_unravel_index(tensor, i, &id[0], &id[1], &id[2], &id[3]);
        tevo_set_i32_nd(tensor, (int) id[0], (int) id[1], (int) id[2], (int) id[3], value);
        return;
    }
    tevo_assert_packed(tensor);
    tevo_write_i32(tensor->type, tevo_flat_ptr(tensor, i), value);
}

int32_t tevo_get_i32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3) {
    return tevo_read_i32(tensor->type, tevo_element_ptr(tensor, i0, i1, i2, i3));
}

void tevo_set_i32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3, int32_t value) {
    tevo_write_i32(tensor->type, tevo_element_ptr(tensor, i0, i1, i2, i3), value);
}

float tevo_get_f32_1d(const struct tevo_tensor * tensor, int i) {
    if (!tevo_is_contiguous(tensor)) {
        int64_t id[4] = { 0, 0, 0, 0 };
        tevo_unravel_index(tensor, i, &id[0], &id[1], &id[2], &id[3]);
        return tevo_get_f32_nd(tensor, (int) id[0], (int) id[1], (int) id[2], (int) id[3]);
    }
    return tevo_read_f32(tensor->type, tevo_flat_ptr(tensor, i));
}

void tevo_set_f32_1d(const struct tevo_tensor * tensor, int i, float value) {
    if (!tevo_is_contiguous(tensor)) {
        int64_t id[4] = { 0, 0, 0, 0 };
        tevo_unravel_index(tensor, i, &id[0], &id[1], &id[2], &id[3]);
        tevo_set_f32_nd(tensor, (int) id[0], (int) id[1], (int) id[2], (int) id[3], value);
        return;
    }
    tevo_write_f32(tensor->type, tevo_flat_ptr(tensor, i), value);
}

float tevo_get_f32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3) {
    return tevo_read_f32(tensor->type, tevo_element_ptr(tensor, i0, i1, i2, i3));
}

void tevo_set_f32_nd(const struct tevo_tensor * tensor, int i0, int i1, int i2, int i3, float value) {
    tevo_write_f32(tensor->type, tevo_element_ptr(tensor, i0, i1, i2, i3), value);
}
