#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Copy with type conversion: the kernel behind DUP, CPY and CONT. Element k
// of the source in natural order becomes element k of the destination; the
// two shapes may differ and either side may be strided.

#include "cpu/ops/ops.h"
#include "cpu/vec/convert.h"

#include <climits>
#include <type_traits>

// ---------------------------------------------------------------------------
// element conversions; every pair of different types goes through a float

static inline float cpy_f16_to_f32(tevo_fp16_t h) {
    return tevo_table_f32_f16[h];
}

// Truncation toward zero, defined for every input: NaN gives 0 and values
// beyond the 32-bit range saturate at its limits.
static inline int32_t cpy_f32_to_i32(float x) {
    if (x != x) {
        return 0;
    }
    if (x >= 2147483648.0f) {
        return INT32_MAX;
    }
    if (x < -2147483648.0f) {
        return INT32_MIN;
    }
    return (int32_t) x;
}

// element types: storage and the conversions to and from a float
struct cpy_f32_t {
    using T = float;
    static float to_f32(T v) { return v; }
    static T     from_f32(float v) { return v; }
};

struct cpy_f16_t {
    using T = tevo_fp16_t;
    static float to_f32(T v) { return cpy_f16_to_f32(v); }
    static T     from_f32(float v) { return TEVO_FP32_TO_FP16(v); }
};

struct cpy_bf16_t {
    using T = tevo_bf16_t;
    static float to_f32(T v) { return TEVO_BF16_TO_FP32(v); }
    static T     from_f32(float v) { return TEVO_FP32_TO_BF16(v); }
};

struct cpy_i32_t {
    using T = int32_t;
    static float to_f32(T v) { return (float) v; }
    static T     from_f32(float v) { return cpy_f32_to_i32(v); }
};

// ---------------------------------------------------------------------------
// packed row conversions (cpu/vec), bit for bit the element rules

// the packed row routine of each converting pair
template <typename S, typename D> struct cpy_row;

#define CPY_ROW(S, D, fn)                                                                   \
    template <> struct cpy_row<S, D> {                                                      \
        static void run(const S::T * x, D::T * y, int64_t n) { fn(x, y, n); }              \
    };

CPY_ROW(cpy_f32_t, cpy_f16_t, tevo_vec_cvt_f32_f16)
CPY_ROW(cpy_f32_t, cpy_bf16_t, tevo_vec_cvt_f32_bf16)
CPY_ROW(cpy_f32_t, cpy_i32_t, tevo_cpu_fp32_to_i32)
CPY_ROW(cpy_f16_t, cpy_f32_t, tevo_vec_cvt_f16_f32)
CPY_ROW(cpy_f16_t, cpy_bf16_t, tevo_vec_cvt_f16_bf16)
CPY_ROW(cpy_bf16_t, cpy_f32_t, tevo_cpu_bf16_to_fp32)
CPY_ROW(cpy_bf16_t, cpy_f16_t, tevo_vec_cvt_bf16_f16)
CPY_ROW(cpy_i32_t, cpy_f32_t, tevo_vec_cvt_i32_f32)

#undef CPY_ROW

// ---------------------------------------------------------------------------
// shared pieces

// rows [ir0, ir1) of every plane for this thread
struct cpy_rows {
    int64_t ir0;
    int64_t ir1;
};

static cpy_rows cpy_thread_rows(const struct tevo_compute_params * params, int64_t ne01) {
    cpy_rows r;
    tevo_thread_range(ne01, params->ith, params->nth, &r.ir0, &r.ir1);
    return r;
}

// Destination position (c0, i1, i2, i3) that walks dst in natural order.
struct cpy_counter {
    int64_t c0 = 0, i1 = 0, i2 = 0, i3 = 0;
    int64_t lim0, ne1, ne2, ne3;

    cpy_counter(int64_t lim0, const struct tevo_tensor * dst)
        : lim0(lim0), ne1(dst->ne[1]), ne2(dst->ne[2]), ne3(dst->ne[3]) {}

    // as n single steps, each carrying into the next counter at its limit
    void advance(int64_t n) {
        c0 += n;
        if (c0 < lim0 || lim0 <= 0) {
            return;
        }
        int64_t q = c0 / lim0;
        c0 -= q * lim0;
        i1 += q;
        if (i1 < ne1) {
            return;
        }
        q = i1 / ne1;
        i1 -= q * ne1;
        i2 += q;
        if (i2 < ne2) {
            return;
        }
        q = i2 / ne2;
        i2 -= q * ne2;
        i3 = (i3 + q) % ne3;
    }
};

// one block of ts bytes, with the common sizes as plain moves
static inline void cpy_block(char * d, const char * s, size_t ts) {
    switch (ts) {
        case 1: *d = *s; break;
        case 2: memcpy(d, s, 2); break;
        case 4: memcpy(d, s, 4); break;
        case 8: memcpy(d, s, 8); break;
        default: memcpy(d, s, ts); break;
    }
}

// n blocks, ns bytes apart in the source, to consecutive places
template <size_t TS>
static void cpy_gather_fixed(char * d, const char * s, int64_t n, size_t ns) {
    for (int64_t k = 0; k < n; ++k) {
        memcpy(d + k * TS, s + k * ns, TS);
    }
}

static void cpy_gather(char * d, const char * s, int64_t n, size_t ns, size_t ts) {
    switch (ts) {
        case 1: cpy_gather_fixed<1>(d, s, n, ns); break;
        case 2: cpy_gather_fixed<2>(d, s, n, ns); break;
        case 4: cpy_gather_fixed<4>(d, s, n, ns); break;
        case 8: cpy_gather_fixed<8>(d, s, n, ns); break;
        default:
            for (int64_t k = 0; k < n; ++k) {
                memcpy(d + k * ts, s + k * ns, ts);
            }
            break;
    }
}

// Rows of n blocks each, their blocks ns bytes apart and the rows nr bytes
// apart, to consecutive rows rs bytes apart. Done in bands of rows, so that
// a transposed source (neighbouring rows adjacent in memory) is read a cache
// line at a time instead of one block per line.
template <size_t TS>
static void cpy_gather_rows_fixed(char * d, size_t rs, const char * s, size_t nr, size_t ns, int64_t rows, int64_t n) {
    const int64_t band = TS >= 4 ? 16 : 64 / TS;
    for (int64_t r0 = 0; r0 < rows; r0 += band) {
        const int64_t nb = TEVO_MIN(band, rows - r0);
        for (int64_t k = 0; k < n; ++k) {
            const char * sk = s + r0 * nr + k * ns;
            char *       dk = d + r0 * rs + k * TS;
            for (int64_t r = 0; r < nb; ++r) {
                memcpy(dk + r * rs, sk + r * nr, TS);
            }
        }
    }
}

static void cpy_gather_rows(char * d, size_t rs, const char * s, size_t nr, size_t ns, int64_t rows, int64_t n,
                            size_t ts) {
    switch (ts) {
        case 1: cpy_gather_rows_fixed<1>(d, rs, s, nr, ns, rows, n); break;
        case 2: cpy_gather_rows_fixed<2>(d, rs, s, nr, ns, rows, n); break;
        case 4: cpy_gather_rows_fixed<4>(d, rs, s, nr, ns, rows, n); break;
        case 8: cpy_gather_rows_fixed<8>(d, rs, s, nr, ns, rows, n); break;
        default:
            for (int64_t r = 0; r < rows; ++r) {
                cpy_gather(d + r * rs, s + r * nr, n, ns, ts);
            }
            break;
    }
}

// ---------------------------------------------------------------------------
// same type: bytes and blocks

static void tevo_compute_forward_dup_bytes(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(src0));
    TEVO_ASSERT(src0->type == dst->type);

    const size_t  ts   = tevo_type_size(src0->type);
    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t blck = tevo_blck_size(src0->type);

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const char * s = (const char *) src0->data;
    char *       d = (char *) dst->data;

    if (tevo_is_contiguous(src0) && tevo_is_contiguous(dst)) {
        TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(src0));
        TEVO_ASSERT(tevo_is_contiguous(dst) && tevo_is_contiguous(src0));
        TEVO_ASSERT(src0->type == dst->type);

        int64_t k0, k1;
        tevo_thread_range(tevo_nelements(src0) / blck, ith, nth, &k0, &k1);
        if (k0 < k1) {
            memcpy(d + (size_t) k0 * ts, s + (size_t) k0 * ts, (size_t) (k1 - k0) * ts);
        }
        return;
    }

    const cpy_rows r = cpy_thread_rows(params, ne01);
    if (r.ir0 >= r.ir1) {
        return;
    }

    if (tevo_are_same_shape(src0, dst) && nb00 == ts && nb0 == ts) {
        const size_t rs = tevo_row_size(src0->type, ne00);
        for (int64_t i03 = 0; i03 < ne03; i03++) {
            for (int64_t i02 = 0; i02 < ne02; i02++) {
                for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                    memcpy(d + i01 * nb1 + i02 * nb2 + i03 * nb3, s + i01 * nb01 + i02 * nb02 + i03 * nb03, rs);
                }
            }
        }
        return;
    }

    const int64_t nk00 = ne00 / blck;

    if (tevo_is_contiguous(dst)) {
        const size_t rs = (size_t) nk00 * ts;
        size_t       id = 0;
        for (int64_t i03 = 0; i03 < ne03; i03++) {
            for (int64_t i02 = 0; i02 < ne02; i02++) {
                id += rs * r.ir0;
                const char * row0 = s + r.ir0 * nb01 + i02 * nb02 + i03 * nb03;
                if (nb00 == ts) {
                    for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                        memcpy(d + id, row0 + (i01 - r.ir0) * nb01, rs);
                        id += rs;
                    }
                } else {
                    cpy_gather_rows(d + id, rs, row0, nb01, nb00, r.ir1 - r.ir0, nk00, ts);
                    id += rs * (r.ir1 - r.ir0);
                }
                id += rs * (ne01 - r.ir1);
            }
        }
        return;
    }

    // strided destination: walk it with counters
    const int64_t nk0 = dst->ne[0] / tevo_blck_size(dst->type);
    cpy_counter   c(nk0, dst);
    for (int64_t i03 = 0; i03 < ne03; i03++) {
        for (int64_t i02 = 0; i02 < ne02; i02++) {
            c.advance(nk00 * r.ir0);
            for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                const char * row = s + i01 * nb01 + i02 * nb02 + i03 * nb03;
                // a run of blocks that stays within one destination row
                for (int64_t k00 = 0; k00 < nk00;) {
                    const int64_t n   = TEVO_MIN(nk00 - k00, c.lim0 - c.c0);
                    char *        out = d + c.c0 * nb0 + c.i1 * nb1 + c.i2 * nb2 + c.i3 * nb3;
                    if (nb0 == ts && nb00 == ts) {
                        memcpy(out, row + k00 * nb00, (size_t) n * ts);
                    } else {
                        for (int64_t k = 0; k < n; ++k) {
                            cpy_block(out + k * nb0, row + (k00 + k) * nb00, ts);
                        }
                    }
                    k00 += n;
                    c.advance(n);
                }
            }
            c.advance(nk00 * (ne01 - r.ir1));
        }
    }
}

// ---------------------------------------------------------------------------
// plain types into plain types

template <typename S, typename D>
static void tevo_compute_forward_dup_convert(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    using ST = typename S::T;
    using DT = typename D::T;

    const struct tevo_tensor * src0 = dst->src[0];

    TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(src0));
    TEVO_ASSERT(!tevo_is_quantized(src0->type) && !tevo_is_quantized(dst->type));

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const cpy_rows r = cpy_thread_rows(params, ne01);
    if (r.ir0 >= r.ir1) {
        return;
    }

    const char * s = (const char *) src0->data;

    if (tevo_is_contiguous(dst)) {
        DT *   y  = (DT *) dst->data;
        size_t id = 0;
        for (int64_t i03 = 0; i03 < ne03; i03++) {
            for (int64_t i02 = 0; i02 < ne02; i02++) {
                id += ne00 * r.ir0;
                if (nb00 == sizeof(ST)) {
                    for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                        cpy_row<S, D>::run((const ST *) (s + i01 * nb01 + i02 * nb02 + i03 * nb03), y + id, ne00);
                        id += ne00;
                    }
                } else {
                    // strided elements: bands of rows, as for same-type copies
                    const int64_t band = 16;
                    for (int64_t b0 = r.ir0; b0 < r.ir1; b0 += band) {
                        const int64_t nb   = TEVO_MIN(band, r.ir1 - b0);
                        const char *  row0 = s + b0 * nb01 + i02 * nb02 + i03 * nb03;
                        for (int64_t i00 = 0; i00 < ne00; i00++) {
                            for (int64_t k = 0; k < nb; ++k) {
                                ST v;
                                memcpy(&v, row0 + k * nb01 + i00 * nb00, sizeof(v));
                                y[id + k * ne00 + i00] = D::from_f32(S::to_f32(v));
                            }
                        }
                        id += ne00 * nb;
                    }
                }
                id += ne00 * (ne01 - r.ir1);
            }
        }
        return;
    }

    char *      d = (char *) dst->data;
    cpy_counter c(dst->ne[0], dst);
    for (int64_t i03 = 0; i03 < ne03; i03++) {
        for (int64_t i02 = 0; i02 < ne02; i02++) {
            c.advance(ne00 * r.ir0);
            for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                const char * row = s + i01 * nb01 + i02 * nb02 + i03 * nb03;
                // a run of elements that stays within one destination row
                for (int64_t i00 = 0; i00 < ne00;) {
                    const int64_t n   = TEVO_MIN(ne00 - i00, c.lim0 - c.c0);
                    char *        out = d + c.c0 * nb0 + c.i1 * nb1 + c.i2 * nb2 + c.i3 * nb3;
                    if (nb0 == sizeof(DT) && nb00 == sizeof(ST)) {
                        cpy_row<S, D>::run((const ST *) (row + i00 * nb00), (DT *) out, n);
                    } else {
                        for (int64_t k = 0; k < n; ++k) {
                            ST v;
                            memcpy(&v, row + (i00 + k) * nb00, sizeof(v));
                            const DT o = D::from_f32(S::to_f32(v));
                            memcpy(out + k * nb0, &o, sizeof(o));
                        }
                    }
                    i00 += n;
                    c.advance(n);
                }
            }
            c.advance(ne00 * (ne01 - r.ir1));
        }
    }
}

// ---------------------------------------------------------------------------
// F32, F16 and BF16 into a type reached through its float-to-row converter

static void cpy_from_float_i32(const float * x, void * y, int64_t n) {
    tevo_cpu_fp32_to_i32(x, (int32_t *) y, n);
}

template <typename S>
static void tevo_compute_forward_dup_to_quant(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    using ST = typename S::T;

    const struct tevo_tensor * src0 = dst->src[0];

    TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(src0));
    TEVO_ASSERT(!tevo_is_quantized(src0->type));

    tevo_from_float_t from_float = tevo_get_type_traits_cpu(dst->type)->from_float;
    if (!tevo_is_contiguous(dst) || src0->nb[0] != sizeof(ST) || from_float == NULL) {
        if (from_float == NULL) {
            TEVO_LOG_ERROR("%s: no float-to-row converter for type %s\n", tevo_op_desc(dst),
                           tevo_type_name(dst->type));
        }
        TEVO_ABORT("not implemented");
    }
    // I32 rows take the same saturating truncation as the direct F32 copy
    if (dst->type == TEVO_TYPE_I32) {
        from_float = cpy_from_float_i32;
    }

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];

    const cpy_rows r = cpy_thread_rows(params, ne01);
    if (r.ir0 >= r.ir1) {
        return;
    }

    float * scratch = NULL;
    if (!std::is_same<S, cpy_f32_t>::value) {
        // each thread owns ne00 + 16 floats of the work buffer
        TEVO_ASSERT(params->wdata != NULL &&
                    params->wsize >= (size_t) (params->ith + 1) * (size_t) (ne00 + 16) * sizeof(float));
        scratch = (float *) params->wdata + (size_t) params->ith * (size_t) (ne00 + 16);
    }

    const size_t rs = dst->nb[0] * (size_t) (ne00 / tevo_blck_size(dst->type));
    const char * s  = (const char *) src0->data;
    char *       d  = (char *) dst->data;
    size_t       id = 0;

    for (int64_t i03 = 0; i03 < ne03; i03++) {
        for (int64_t i02 = 0; i02 < ne02; i02++) {
            id += rs * r.ir0;
            for (int64_t i01 = r.ir0; i01 < r.ir1; i01++) {
                const char * row = s + i01 * nb01 + i02 * nb02 + i03 * nb03;
                if (std::is_same<S, cpy_f32_t>::value) {
                    // float rows go to the converter as they are
                    from_float((const float *) row, d + id, ne00);
                } else {
                    if (std::is_same<S, cpy_f16_t>::value) {
                        tevo_vec_cvt_f16_f32((const tevo_fp16_t *) row, scratch, ne00);
                    } else {
                        tevo_cpu_bf16_to_fp32((const tevo_bf16_t *) row, scratch, ne00);
                    }
                    from_float(scratch, d + id, ne00);
                }
                id += rs;
            }
            id += rs * (ne01 - r.ir1);
        }
    }
}

// ---------------------------------------------------------------------------
// block-quantized into F32, block by block

static void tevo_compute_forward_dup_from_quant(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    // dst is a view of the CPY target; a node without one describes itself
    const struct tevo_tensor * tgt  = dst->src[1] != NULL ? dst->src[1] : dst;

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2];
    const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const int64_t ne10 = tgt->ne[0], ne11 = tgt->ne[1], ne12 = tgt->ne[2];
    const size_t  nb10 = tgt->nb[0], nb11 = tgt->nb[1], nb12 = tgt->nb[2], nb13 = tgt->nb[3];

    const int64_t qk = tevo_blck_size(src0->type);
    const int64_t nr = tevo_nelements(tgt) / qk;

    TEVO_ASSERT(nb10 == tevo_type_size(dst->type));
    TEVO_ASSERT((ne10 % qk) == 0 || tevo_is_contiguous(dst));

    const tevo_to_float_t to_float = tevo_get_type_traits(src0->type)->to_float;
    if (to_float == NULL) {
        TEVO_ABORT("%s: no row-to-float converter for type %s", tevo_op_desc(dst), tevo_type_name(src0->type));
    }

    int64_t ir0, ir1;
    tevo_thread_range(nr, params->ith, params->nth, &ir0, &ir1);

    const char * s = (const char *) src0->data;
    char *       d = (char *) dst->data;

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i = ir * qk;

        const int64_t i03 = i / (ne00 * ne01 * ne02);
        const int64_t i02 = (i - i03 * ne00 * ne01 * ne02) / (ne00 * ne01);
        const int64_t i01 = (i - i03 * ne00 * ne01 * ne02 - i02 * ne00 * ne01) / ne00;
        const int64_t i00 = i - i03 * ne00 * ne01 * ne02 - i02 * ne00 * ne01 - i01 * ne00;

        const int64_t i13 = i / (ne10 * ne11 * ne12);
        const int64_t i12 = (i - i13 * ne10 * ne11 * ne12) / (ne10 * ne11);
        const int64_t i11 = (i - i13 * ne10 * ne11 * ne12 - i12 * ne10 * ne11) / ne10;
        const int64_t i10 = i - i13 * ne10 * ne11 * ne12 - i12 * ne10 * ne11 - i11 * ne10;

        to_float(s + (i00 / qk) * nb00 + i01 * nb01 + i02 * nb02 + i03 * nb03,
                 (float *) (d + i10 * nb10 + i11 * nb11 + i12 * nb12 + i13 * nb13), qk);
    }
}

// ---------------------------------------------------------------------------

void tevo_compute_forward_dup(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const enum tevo_type       st   = src0->type;
    const enum tevo_type       dt   = dst->type;

    if ((unsigned) st >= TEVO_TYPE_COUNT || (unsigned) dt >= TEVO_TYPE_COUNT) {
        TEVO_ABORT("fatal error");
    }

    if (st == dt) {
        tevo_compute_forward_dup_bytes(params, dst);
        return;
    }

    switch (st) {
        case TEVO_TYPE_F32:
            switch (dt) {
                case TEVO_TYPE_F16:  tevo_compute_forward_dup_convert<cpy_f32_t, cpy_f16_t>(params, dst); return;
                case TEVO_TYPE_BF16: tevo_compute_forward_dup_convert<cpy_f32_t, cpy_bf16_t>(params, dst); return;
                case TEVO_TYPE_I32:  tevo_compute_forward_dup_convert<cpy_f32_t, cpy_i32_t>(params, dst); return;
                default:             tevo_compute_forward_dup_to_quant<cpy_f32_t>(params, dst); return;
            }
        case TEVO_TYPE_F16:
            switch (dt) {
                case TEVO_TYPE_F32:  tevo_compute_forward_dup_convert<cpy_f16_t, cpy_f32_t>(params, dst); return;
                case TEVO_TYPE_BF16: tevo_compute_forward_dup_convert<cpy_f16_t, cpy_bf16_t>(params, dst); return;
                default:             tevo_compute_forward_dup_to_quant<cpy_f16_t>(params, dst); return;
            }
        case TEVO_TYPE_BF16:
            switch (dt) {
                case TEVO_TYPE_F32: tevo_compute_forward_dup_convert<cpy_bf16_t, cpy_f32_t>(params, dst); return;
                case TEVO_TYPE_F16: tevo_compute_forward_dup_convert<cpy_bf16_t, cpy_f16_t>(params, dst); return;
                default:            tevo_compute_forward_dup_to_quant<cpy_bf16_t>(params, dst); return;
            }
        case TEVO_TYPE_I32:
            if (dt == TEVO_TYPE_F32) {
                tevo_compute_forward_dup_convert<cpy_i32_t, cpy_f32_t>(params, dst);
                return;
            }
            TEVO_ABORT("not implemented");
        default:
            if (tevo_is_quantized(st) && dt == TEVO_TYPE_F32) {
                tevo_compute_forward_dup_from_quant(params, dst);
                return;
            }
            TEVO_ABORT("fatal error");
    }
}

void tevo_compute_forward_cpy(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_compute_forward_dup(params, dst);
}

void tevo_compute_forward_cont(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_compute_forward_dup(params, dst);
}
