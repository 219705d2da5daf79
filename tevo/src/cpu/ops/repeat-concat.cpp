#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Tiling a tensor (REPEAT), summing the tiles back (REPEAT_BACK) and joining
// two tensors along one dimension (CONCAT). All of them move raw bits except
// REPEAT_BACK, which adds.

#include "cpu/ops/ops.h"

// ---------------------------------------------------------------------------
// REPEAT

template <size_t ES>
static void tevo_compute_forward_repeat_elems(struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    TEVO_ASSERT(tevo_can_repeat(src0, dst));
    if (ES == 4) {
        TEVO_ASSERT_AS(dst->nb[0] == ES, "nb0 == sizeof(float)");
        TEVO_ASSERT_AS(src0->nb[0] == ES, "nb00 == sizeof(float)");
    } else {
        TEVO_ASSERT_AS(dst->nb[0] == ES, "nb0 == sizeof(tevo_fp16_t)");
        TEVO_ASSERT_AS(src0->nb[0] == ES, "nb00 == sizeof(tevo_fp16_t)");
    }

    if (tevo_is_empty(dst)) {
        return;
    }

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const int64_t nr0 = dst->ne[0] / ne00;
    const int64_t nr1 = dst->ne[1] / ne01;
    const int64_t nr2 = dst->ne[2] / ne02;
    const int64_t nr3 = dst->ne[3] / ne03;

    const char * s  = (const char *) src0->data;
    char *       d  = (char *) dst->data;
    const size_t rs = (size_t) ne00 * ES;

    for (int64_t i3 = 0; i3 < nr3; i3++) {
        for (int64_t k3 = 0; k3 < ne03; k3++) {
            for (int64_t i2 = 0; i2 < nr2; i2++) {
                for (int64_t k2 = 0; k2 < ne02; k2++) {
                    for (int64_t i1 = 0; i1 < nr1; i1++) {
                        for (int64_t k1 = 0; k1 < ne01; k1++) {
                            const char * row = s + k1 * nb01 + k2 * nb02 + k3 * nb03;
                            char *       out = d + (i1 * ne01 + k1) * nb1 + (i2 * ne02 + k2) * nb2 +
                                         (i3 * ne03 + k3) * nb3;
                            for (int64_t i0 = 0; i0 < nr0; i0++) {
                                memcpy(out + (i0 * ne00) * nb0, row, rs);
                            }
                        }
                    }
                }
            }
        }
    }
}

void tevo_compute_forward_repeat(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    switch (dst->src[0]->type) {
        case TEVO_TYPE_F32:
        case TEVO_TYPE_I32:
            tevo_compute_forward_repeat_elems<4>(dst);
            break;
        case TEVO_TYPE_F16:
        case TEVO_TYPE_BF16:
        case TEVO_TYPE_I16:
            tevo_compute_forward_repeat_elems<2>(dst);
            break;
        default:
            TEVO_ABORT("fatal error");
    }
}

// ---------------------------------------------------------------------------
// REPEAT_BACK

void tevo_compute_forward_repeat_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }

    TEVO_ASSERT(tevo_can_repeat(dst, src0));
    TEVO_ASSERT_AS(dst->nb[0] == sizeof(float), "nb0 == sizeof(float)");
    TEVO_ASSERT_AS(src0->nb[0] == sizeof(float), "nb00 == sizeof(float)");

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    const size_t  nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];
    const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];

    char * d = (char *) dst->data;

    if (tevo_is_contiguous(dst)) {
        memset(d, 0, (size_t) (ne0 * ne1 * ne2 * ne3) * sizeof(float));
    } else {
        for (int64_t k3 = 0; k3 < ne3; k3++) {
            for (int64_t k2 = 0; k2 < ne2; k2++) {
                for (int64_t k1 = 0; k1 < ne1; k1++) {
                    memset(d + k1 * nb1 + k2 * nb2 + k3 * nb3, 0, (size_t) ne0 * sizeof(float));
                }
            }
        }
    }

    if (tevo_is_empty(dst)) {
        return;
    }

    const int64_t nr0 = src0->ne[0] / ne0;
    const int64_t nr1 = src0->ne[1] / ne1;
    const int64_t nr2 = src0->ne[2] / ne2;
    const int64_t nr3 = src0->ne[3] / ne3;

    const char * s = (const char *) src0->data;

    for (int64_t i3 = 0; i3 < nr3; i3++) {
        for (int64_t k3 = 0; k3 < ne3; k3++) {
            for (int64_t i2 = 0; i2 < nr2; i2++) {
                for (int64_t k2 = 0; k2 < ne2; k2++) {
                    for (int64_t i1 = 0; i1 < nr1; i1++) {
                        for (int64_t k1 = 0; k1 < ne1; k1++) {
                            float * y = (float *) (d + k1 * nb1 + k2 * nb2 + k3 * nb3);
                            for (int64_t i0 = 0; i0 < nr0; i0++) {
                                const float * x = (const float *) (s + (i0 * ne0) * nb00 + (i1 * ne1 + k1) * nb01 +
                                                                   (i2 * ne2 + k2) * nb02 + (i3 * ne3 + k3) * nb03);
                                for (int64_t j = 0; j < ne0; j++) {
                                    y[j] += x[j];
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// CONCAT

// n elements of ES bytes; strides in bytes
template <size_t ES>
static inline void concat_copy(char * d, size_t nd, const char * s, size_t ns, int64_t n) {
    if (nd == ES && ns == ES) {
        memcpy(d, s, (size_t) n * ES);
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        memcpy(d + i * nd, s + i * ns, ES);
    }
}

template <size_t ES>
static void tevo_compute_forward_concat_elems(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                              const int64_t o[4]) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2], nb13 = src1->nb[3];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const char * s0 = (const char *) src0->data;
    const char * s1 = (const char *) src1->data;
    char *       d  = (char *) dst->data;

    // A destination row takes its first elements from src0 (all of them
    // unless dim is 0) and the rest from src1, element by element as the
    // plain index test would choose.
    for (int64_t i3 = 0; i3 < ne3; i3++) {
        for (int64_t i2 = params->ith; i2 < ne2; i2 += params->nth) {
            for (int64_t i1 = 0; i1 < ne1; i1++) {
                char *        out = d + i1 * nb1 + i2 * nb2 + i3 * nb3;
                const bool    in0 = i1 < ne01 && i2 < ne02 && i3 < ne03;
                const int64_t n0  = in0 ? TEVO_MIN(ne00, ne0) : 0;
                if (n0 > 0) {
                    concat_copy<ES>(out, nb0, s0 + i1 * nb01 + i2 * nb02 + i3 * nb03, nb00, n0);
                }
                if (n0 < ne0) {
                    const char * row = s1 + (n0 - o[0]) * nb10 + (i1 - o[1]) * nb11 + (i2 - o[2]) * nb12 +
                                       (i3 - o[3]) * nb13;
                    concat_copy<ES>(out + n0 * nb0, nb0, row, nb10, ne0 - n0);
                }
            }
        }
    }
}

static void tevo_compute_forward_concat_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                             int dim, const int64_t o[4]) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    TEVO_ASSERT(tevo_is_contiguous_rows(src0));
    TEVO_ASSERT(tevo_is_contiguous_rows(src1));

    size_t off0 = 0; // where src1 rows start inside a destination row
    if (dim == 0) {
        TEVO_ASSERT(src0->ne[0] % tevo_blck_size(src0->type) == 0);
        TEVO_ASSERT(src1->ne[0] % tevo_blck_size(src1->type) == 0);
        off0 = (size_t) (src0->ne[0] / tevo_blck_size(src0->type)) * dst->nb[0];
    }

    const size_t nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];
    char *       d   = (char *) dst->data;

    const size_t rs0 = tevo_row_size(src0->type, src0->ne[0]);
    for (int64_t i3 = 0; i3 < src0->ne[3]; i3++) {
        for (int64_t i2 = params->ith; i2 < src0->ne[2]; i2 += params->nth) {
            for (int64_t i1 = 0; i1 < src0->ne[1]; i1++) {
                memcpy(d + i1 * nb1 + i2 * nb2 + i3 * nb3,
                       (const char *) src0->data + i1 * src0->nb[1] + i2 * src0->nb[2] + i3 * src0->nb[3], rs0);
            }
        }
    }

    const size_t rs1 = tevo_row_size(src1->type, src1->ne[0]);
    for (int64_t i3 = 0; i3 < src1->ne[3]; i3++) {
        for (int64_t i2 = params->ith; i2 < src1->ne[2]; i2 += params->nth) {
            for (int64_t i1 = 0; i1 < src1->ne[1]; i1++) {
                memcpy(d + off0 + (i1 + o[1]) * nb1 + (i2 + o[2]) * nb2 + (i3 + o[3]) * nb3,
                       (const char *) src1->data + i1 * src1->nb[1] + i2 * src1->nb[2] + i3 * src1->nb[3], rs1);
            }
        }
    }
}

void tevo_compute_forward_concat(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    const int32_t dim = tevo_get_op_params_i32(dst, 0);
    TEVO_ASSERT(dim >= 0 && dim < 4);

    int64_t o[4] = { 0, 0, 0, 0 };
    o[dim]       = src0->ne[dim];

    const size_t ts = tevo_type_size(src0->type);
    if (!tevo_is_quantized(src0->type) && ts == 1) {
        TEVO_ASSERT(tevo_type_size(src0->type) == sizeof(int8_t));
        tevo_compute_forward_concat_elems<1>(params, dst, o);
    } else if (!tevo_is_quantized(src0->type) && ts == 2) {
        TEVO_ASSERT(tevo_type_size(src0->type) == sizeof(tevo_fp16_t));
        tevo_compute_forward_concat_elems<2>(params, dst, o);
    } else if (!tevo_is_quantized(src0->type) && ts == 4) {
        TEVO_ASSERT(tevo_type_size(src0->type) == sizeof(float));
        tevo_compute_forward_concat_elems<4>(params, dst, o);
    } else {
        tevo_compute_forward_concat_rows(params, dst, dim, o);
    }
}
