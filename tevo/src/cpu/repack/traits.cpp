#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// The traits objects of the repacked layouts and their two drivers.
//
// MUL_MAT: every thread first quantizes its share of the activations into
// the work buffer, four rows at a time into the records the GEMM kernel
// reads and the rows left over as plain rows for the GEMV kernel; one
// barrier publishes them. The weight rows of each plane are then cut into
// chunks (about four per thread, never below one group of NB_COLS rows,
// boundaries rounded up to whole groups) and claimed through the chunk
// counter: a thread's first chunk is its own index. MUL_MAT_ID quantizes
// every activation row plainly, routes the rows to their experts on thread
// 0, and after the barrier each thread runs one GEMV per routed row over its
// own whole groups of weight rows.
//
// One stateless object per layout: the template arguments name the weight
// block, the interleave (INTER), the rows per record (NB_COLS) and the
// activation type, and through them the kernels and the repacking.

#include "cpu/repack/repack.h"

#include "tevo-cpu.h"

namespace tevo::cpu::repack {

// ---------------------------------------------------------------------------
// the kernels and quantizers of each layout, by name

template <typename BLOCK_TYPE, int64_t INTER, int64_t NB_COLS, enum tevo_type PARAM_TYPE>
void gemv(TEVO_REPACK_MM_ARGS);
template <typename BLOCK_TYPE, int64_t INTER, int64_t NB_COLS, enum tevo_type PARAM_TYPE>
void gemm(TEVO_REPACK_MM_ARGS);

#define TEVO_REPACK_FORWARD(BLOCK, INTER, NB_COLS, PARAM, name)                       \
    template <> void gemv<BLOCK, INTER, NB_COLS, PARAM>(TEVO_REPACK_MM_ARGS) {        \
        tevo_gemv_##name(n, s, bs, vx, vy, nr, nc);                                   \
    }                                                                                 \
    template <> void gemm<BLOCK, INTER, NB_COLS, PARAM>(TEVO_REPACK_MM_ARGS) {        \
        tevo_gemm_##name(n, s, bs, vx, vy, nr, nc);                                   \
    }

TEVO_REPACK_FORWARD(block_q1_0, 4, 4, TEVO_TYPE_Q8_0, q1_0_4x4_q8_0)
TEVO_REPACK_FORWARD(block_q1_0, 8, 4, TEVO_TYPE_Q8_0, q1_0_4x8_q8_0)
TEVO_REPACK_FORWARD(block_q4_0, 4, 4, TEVO_TYPE_Q8_0, q4_0_4x4_q8_0)
TEVO_REPACK_FORWARD(block_q4_0, 8, 4, TEVO_TYPE_Q8_0, q4_0_4x8_q8_0)
TEVO_REPACK_FORWARD(block_q4_0, 8, 8, TEVO_TYPE_Q8_0, q4_0_8x8_q8_0)
TEVO_REPACK_FORWARD(block_q4_K, 4, 8, TEVO_TYPE_Q8_K, q4_K_8x4_q8_K)
TEVO_REPACK_FORWARD(block_q4_K, 8, 8, TEVO_TYPE_Q8_K, q4_K_8x8_q8_K)
TEVO_REPACK_FORWARD(block_q5_K, 4, 8, TEVO_TYPE_Q8_K, q5_K_8x4_q8_K)
TEVO_REPACK_FORWARD(block_q5_K, 8, 8, TEVO_TYPE_Q8_K, q5_K_8x8_q8_K)
TEVO_REPACK_FORWARD(block_q6_K, 4, 8, TEVO_TYPE_Q8_K, q6_K_8x4_q8_K)
TEVO_REPACK_FORWARD(block_q6_K, 8, 8, TEVO_TYPE_Q8_K, q6_K_8x8_q8_K)
TEVO_REPACK_FORWARD(block_q2_K, 8, 8, TEVO_TYPE_Q8_K, q2_K_8x8_q8_K)
TEVO_REPACK_FORWARD(block_iq4_nl, 4, 4, TEVO_TYPE_Q8_0, iq4_nl_4x4_q8_0)
TEVO_REPACK_FORWARD(block_iq4_nl, 8, 8, TEVO_TYPE_Q8_0, iq4_nl_8x8_q8_0)
TEVO_REPACK_FORWARD(block_mxfp4, 4, 4, TEVO_TYPE_Q8_0, mxfp4_4x4_q8_0)
TEVO_REPACK_FORWARD(block_mxfp4, 8, 8, TEVO_TYPE_Q8_0, mxfp4_8x8_q8_0)
TEVO_REPACK_FORWARD(block_q8_0, 4, 4, TEVO_TYPE_Q8_0, q8_0_4x4_q8_0)
TEVO_REPACK_FORWARD(block_q8_0, 8, 4, TEVO_TYPE_Q8_0, q8_0_4x8_q8_0)

#undef TEVO_REPACK_FORWARD

} // namespace tevo::cpu::repack

// four activation rows into the records of the layout's interleave; nrow is always 4
template <int64_t INTER, enum tevo_type PARAM_TYPE>
void tevo_quantize_mat_t(const float * x, void * vy, int64_t nrow, int64_t n_per_row);

template <> void tevo_quantize_mat_t<4, TEVO_TYPE_Q8_0>(const float * x, void * vy, int64_t nrow, int64_t n_per_row) {
    (void) nrow;
    tevo_quantize_mat_q8_0_4x4(x, vy, n_per_row);
}
template <> void tevo_quantize_mat_t<8, TEVO_TYPE_Q8_0>(const float * x, void * vy, int64_t nrow, int64_t n_per_row) {
    (void) nrow;
    tevo_quantize_mat_q8_0_4x8(x, vy, n_per_row);
}
template <> void tevo_quantize_mat_t<4, TEVO_TYPE_Q8_K>(const float * x, void * vy, int64_t nrow, int64_t n_per_row) {
    (void) nrow;
    tevo_quantize_mat_q8_K_4x4(x, vy, n_per_row);
}
template <> void tevo_quantize_mat_t<8, TEVO_TYPE_Q8_K>(const float * x, void * vy, int64_t nrow, int64_t n_per_row) {
    (void) nrow;
    tevo_quantize_mat_q8_K_4x8(x, vy, n_per_row);
}

namespace tevo::cpu::repack {

chunk_plan plan_chunks(int64_t nr, int nth, int64_t nb_cols, bool numa) {
    // no rows, no chunks: nothing below may divide by a count of zero
    if (nr <= 0 || nth <= 0) {
        return { 0, 0, 0 };
    }
    const int64_t chunk_size = (nr + 4 * (int64_t) nth - 1) / (4 * (int64_t) nth);
    int64_t       nchunk     = (nr + chunk_size - 1) / chunk_size;
    if (nr >= nb_cols && nr / nchunk < nb_cols) {
        nchunk = (nr + nb_cols - 1) / nb_cols;
    }
    int64_t dr = (nr + nchunk - 1) / nchunk;
    if (nth == 1) {
        nchunk = 1;
        dr     = nr;
    } else if ((nchunk < nth || numa) && (nr + nth - 1) / nth >= nb_cols) {
        nchunk = nth;
        dr     = (nr + nth - 1) / nth;
    }
    const int64_t per_plane = TEVO_MIN(nchunk, (nr + nb_cols - 1) / nb_cols);
    return { nchunk, dr, per_plane };
}

namespace {

inline int64_t round_up(int64_t x, int64_t m) {
    return (x + m - 1) / m * m;
}

// the activation rows of a product can reach the 4-row quantizer, which reads
// them ne10 floats apart; rows at another stride go through the GEMV kernel
inline bool src1_rows_packed(const struct tevo_tensor * src1) {
    return src1->nb[1] == (size_t) src1->ne[0] * sizeof(float);
}

} // namespace

template <typename BLOCK_TYPE, int64_t INTER, int64_t NB_COLS, enum tevo_type PARAM_TYPE>
class tensor_traits : public tensor_traits_base {
  public:
    bool work_size(int n_threads, const struct tevo_tensor * op, size_t & size) override {
        (void) n_threads;
        const struct tevo_tensor * src0 = op->src[0];
        const struct tevo_tensor * src1 = op->src[1];
        switch (op->op) {
            case TEVO_OP_MUL_MAT:
                size = tevo_row_size(PARAM_TYPE, tevo_nelements(src1));
                return true;
            case TEVO_OP_MUL_MAT_ID: {
                const struct tevo_tensor * ids = op->src[2];
                size = TEVO_PAD(tevo_row_size(PARAM_TYPE, tevo_nelements(src1)), sizeof(int64_t)) +
                       (size_t) src0->ne[2] * sizeof(int64_t) +
                       (size_t) (src0->ne[2] * id_room(ids)) * sizeof(struct mmid_row_mapping);
                return true;
            }
            default:
                return false;
        }
    }

    bool compute_forward(struct tevo_compute_params * params, struct tevo_tensor * op) override {
        switch (op->op) {
            case TEVO_OP_MUL_MAT:
                forward_mul_mat(params, op);
                return true;
            case TEVO_OP_MUL_MAT_ID:
                forward_mul_mat_id(params, op);
                return true;
            default:
                return false;
        }
    }

    int repack(struct tevo_tensor * t, const void * data, size_t data_size) override {
        TEVO_LOG_DEBUG("%s: repack tensor %s with %s_%dx%d\n", "repack", t->name, tevo_type_name(t->type),
                       (int) NB_COLS, (int) INTER);
        return ::tevo::cpu::repack::repack<BLOCK_TYPE, INTER, NB_COLS>(t, data, data_size);
    }

  private:
    // Room of each expert's list of routed rows: every id of every token,
    // so that a token naming one expert twice cannot run past its list.
    static int64_t id_room(const struct tevo_tensor * ids) { return ids->ne[0] * ids->ne[1]; }

    void forward_mul_mat(struct tevo_compute_params * params, struct tevo_tensor * op) {
        const struct tevo_tensor * src0 = op->src[0];
        const struct tevo_tensor * src1 = op->src[1];
        struct tevo_tensor *       dst  = op;

        const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne03 = src0->ne[3];
        const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
        const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
        const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2];
        const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

        TEVO_ASSERT(ne0 == ne01);
        TEVO_ASSERT(ne1 == ne11);
        TEVO_ASSERT(ne2 == ne12);
        TEVO_ASSERT(ne3 == ne13);
        TEVO_ASSERT(nb0 == sizeof(float));
        TEVO_ASSERT(nb0 <= nb1);
        TEVO_ASSERT(nb1 <= nb2);
        TEVO_ASSERT(nb2 <= nb3);
        TEVO_ASSERT(ne03 == 1);
        TEVO_ASSERT(ne13 == 1);
        TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
        TEVO_ASSERT(tevo_n_dims(op->src[0]) == 2);
        // the quantizers read the values of a row one after another
        TEVO_ASSERT(nb10 == sizeof(float));
        // the kernels take int lengths and column counts
        tevo_row_length(dst, ne00);
        TEVO_ASSERT(ne01 <= INT32_MAX);

        const int nth = params->nth;
        const int ith = params->ith;

        if (ne01 == 0 || ne11 == 0 || ne12 == 0) {
            return; // an empty product (every thread sees the same shapes)
        }

        char *                  wdata      = (char *) params->wdata;
        const size_t            S          = tevo_row_size(PARAM_TYPE, ne10);
        const tevo_from_float_t from_float = tevo_get_type_traits_cpu(PARAM_TYPE)->from_float;
        const int64_t           ne11_4     = src1_rows_packed(src1) ? ne11 - ne11 % 4 : 0;

        for (int64_t i12 = 0; i12 < ne12; ++i12) {
            const char * plane = (const char *) src1->data + i12 * nb12;
            for (int64_t i11 = 4 * (int64_t) ith; i11 < ne11_4; i11 += 4 * (int64_t) nth) {
                tevo_quantize_mat_t<INTER, PARAM_TYPE>((const float *) (plane + i11 * nb11),
                                                       wdata + (i12 * ne11 + i11) * S, 4, ne10);
            }
            for (int64_t i11 = ne11_4 + ith; i11 < ne11; i11 += nth) {
                from_float((const float *) (plane + i11 * nb11), wdata + (i12 * ne11 + i11) * S, ne10);
            }
        }

        const int64_t    nr    = tevo_nrows(src0);
        const chunk_plan plan  = plan_chunks(nr, nth, NB_COLS, tevo_is_numa());
        const int64_t    total = ne12 * plan.per_plane;
        // the pool's chunk counter is 32-bit and runs up to total + nth
        TEVO_ASSERT(total <= INT32_MAX - nth);

        if (ith == 0) {
            tevo_threadpool_chunk_set(params->threadpool, nth);
        }
        tevo_barrier(params->threadpool);

        int64_t current = ith;
        while (current < total) {
            const int64_t plane = current / plan.per_plane;
            const int64_t k     = current % plan.per_plane;
            int64_t       start = k * plan.dr;
            int64_t       end   = TEVO_MIN(start + plan.dr, nr);
            start               = round_up(start, NB_COLS);
            end                 = TEVO_MIN(round_up(end, NB_COLS), ne01);
            if (start < end) {
                forward_mul_mat_one_chunk(params, op, start, end, plane * ne11, (plane + 1) * ne11);
            }
            current = tevo_threadpool_chunk_add(params->threadpool, 1);
        }
    }

    // weight rows [ir0_start, ir0_end) (whole groups) against the src1 rows
    // [ir1_start, ir1_end) of one plane
    void forward_mul_mat_one_chunk(struct tevo_compute_params * params, struct tevo_tensor * op, int64_t ir0_start,
                                   int64_t ir0_end, int64_t ir1_start, int64_t ir1_end) {
        const struct tevo_tensor * src0 = op->src[0];
        const struct tevo_tensor * src1 = op->src[1];
        struct tevo_tensor *       dst  = op;

        const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
        const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
        const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2];
        const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2];

        TEVO_ASSERT(ne03 == 1 && ne13 == 1);
        TEVO_ASSERT(ne12 % ne02 == 0);

        const size_t  src1_col_stride = tevo_row_size(PARAM_TYPE, ne10);
        const int64_t i12             = ir1_start / ne11;
        const int64_t i11             = ir1_start % ne11;
        const int64_t nrows           = ir1_end - ir1_start;
        const int64_t i02             = i12 / (ne12 / ne02);

        const char * src1_ptr = (const char *) params->wdata + (i11 + i12 * ne11) * src1_col_stride;
        TEVO_ASSERT(src1_ptr + src1_col_stride * nrows <= (const char *) params->wdata + params->wsize);

        const char * src0_ptr = (const char *) src0->data + i02 * nb02 + ir0_start * nb01;
        char *       dst_ptr  = (char *) dst->data + i11 * nb1 + i12 * nb2 + ir0_start * sizeof(float);
        const int    n        = (int) ne00;
        const int    ncols    = (int) (ir0_end - ir0_start);

        const int64_t nrows_4 = src1_rows_packed(src1) ? nrows - nrows % 4 : 0;
        if (nrows_4 > 0) {
            gemm<BLOCK_TYPE, INTER, NB_COLS, PARAM_TYPE>(n, (float *) dst_ptr, nb1 / nb0, src0_ptr, src1_ptr,
                                                         (int) nrows_4, ncols);
        }
        for (int64_t r = nrows_4; r < nrows; ++r) {
            gemv<BLOCK_TYPE, INTER, NB_COLS, PARAM_TYPE>(n, (float *) (dst_ptr + r * nb1), (size_t) ne01, src0_ptr,
                                                         src1_ptr + r * src1_col_stride, 1, ncols);
        }
    }

    void forward_mul_mat_id(struct tevo_compute_params * params, struct tevo_tensor * op) {
        const struct tevo_tensor * src0 = op->src[0];
        const struct tevo_tensor * src1 = op->src[1];
        const struct tevo_tensor * ids  = op->src[2];
        struct tevo_tensor *       dst  = op;

        const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
        const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
        const int64_t ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
        const size_t  nb00 = src0->nb[0], nb01 = src0->nb[1], nb02 = src0->nb[2];
        const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2];
        const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

        TEVO_ASSERT(nb00 == tevo_type_size(src0->type));
        TEVO_ASSERT(nb10 == tevo_type_size(src1->type));
        TEVO_ASSERT(nb0 == sizeof(float));
        TEVO_ASSERT(nb0 <= nb1);
        TEVO_ASSERT(nb1 <= nb2);
        TEVO_ASSERT(nb2 <= nb3);
        TEVO_ASSERT(ne03 == 1);
        TEVO_ASSERT(ne13 == 1);
        TEVO_ASSERT(ne3 == 1);
        TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
        TEVO_ASSERT(ids->type == TEVO_TYPE_I32);
        tevo_row_length(dst, ne00);
        TEVO_ASSERT(ne01 <= INT32_MAX);

        const int64_t n_as     = ne02;
        const int64_t n_ids    = ids->ne[0];
        const int64_t n_tokens = ids->ne[1];
        // a token reads its own src1 plane and writes its own dst plane, one
        // dst row per id: an ids tensor larger than those would reach past them
        TEVO_ASSERT(n_tokens <= ne12 && n_tokens <= ne2);
        TEVO_ASSERT(n_ids <= ne1);
        TEVO_ASSERT(n_ids <= INT32_MAX && n_tokens <= INT32_MAX);

        const int ith = params->ith;
        const int nth = params->nth;

        const size_t  S    = tevo_row_size(PARAM_TYPE, ne10);
        const size_t  nbw3 = (size_t) (ne11 * ne12) * S;
        const int64_t room = id_room(ids);
        TEVO_ASSERT(params->wsize >= (TEVO_PAD(nbw3, sizeof(int64_t)) + (size_t) n_as * sizeof(int64_t) +
                                      (size_t) (n_as * room) * sizeof(struct mmid_row_mapping)));

        char *                    wdata  = (char *) params->wdata;
        int64_t *                 counts = (int64_t *) (wdata + TEVO_PAD(nbw3, sizeof(int64_t)));
        struct mmid_row_mapping * rows   = (struct mmid_row_mapping *) (counts + n_as);

        const tevo_from_float_t from_float = tevo_get_type_traits_cpu(PARAM_TYPE)->from_float;
        for (int64_t i12 = 0; i12 < ne12; ++i12) {
            for (int64_t i11 = ith; i11 < ne11; i11 += nth) {
                from_float((const float *) ((const char *) src1->data + i12 * nb12 + i11 * nb11),
                           wdata + (i12 * ne11 + i11) * S, ne10);
            }
        }

        if (ith == 0) {
            memset(counts, 0, (size_t) n_as * sizeof(int64_t));
            for (int64_t i = 0; i < n_tokens; ++i) {
                for (int32_t j = 0; j < (int32_t) n_ids; ++j) {
                    const int32_t i02 =
                        *(const int32_t *) ((const char *) ids->data + i * ids->nb[1] + j * ids->nb[0]);
                    TEVO_ASSERT(i02 >= 0 && i02 < n_as);
                    rows[i02 * room + counts[i02]] = { j, (int32_t) i };
                    counts[i02] += 1;
                }
            }
        }

        tevo_barrier(params->threadpool);

        if (ne01 == 0) {
            return;
        }
        // whole groups of NB_COLS weight rows per thread, the same for every expert
        int64_t g0, g1;
        tevo_thread_range(ne01 / NB_COLS, ith, nth, &g0, &g1);
        const int64_t start = g0 * NB_COLS;
        const int64_t end   = g1 * NB_COLS;
        if (start >= end) {
            return;
        }

        for (int64_t e = 0; e < n_as; ++e) {
            const int64_t cne = counts[e];
            if (cne == 0) {
                continue;
            }
            const char * src0_cur = (const char *) src0->data + e * nb02 + start * nb01;
            for (int64_t r = 0; r < cne; ++r) {
                const struct mmid_row_mapping m = rows[e * room + r];
                const int64_t      i11     = m.i1 % ne11;
                const char *       src1_col = wdata + (i11 + (int64_t) m.i2 * ne11) * S;
                float *            dst_col  = (float *) ((char *) dst->data + (int64_t) m.i1 * nb1 +
                                                         (int64_t) m.i2 * nb2 + start * sizeof(float));
                gemv<BLOCK_TYPE, INTER, NB_COLS, PARAM_TYPE>((int) ne00, dst_col, (size_t) ne01, src0_cur, src1_col,
                                                             1, (int) (end - start));
            }
        }
    }
};

tensor_traits_base * get_traits(enum tevo_type type, int64_t inter, int64_t nb_cols) {
    // built on first use, shared by every tensor of the layout, never freed before exit
    static tensor_traits<block_q1_0, 4, 4, TEVO_TYPE_Q8_0>   q1_0_4x4;
    static tensor_traits<block_q1_0, 8, 4, TEVO_TYPE_Q8_0>   q1_0_4x8;
    static tensor_traits<block_q4_0, 4, 4, TEVO_TYPE_Q8_0>   q4_0_4x4;
    static tensor_traits<block_q4_0, 8, 4, TEVO_TYPE_Q8_0>   q4_0_4x8;
    static tensor_traits<block_q4_0, 8, 8, TEVO_TYPE_Q8_0>   q4_0_8x8;
    static tensor_traits<block_q4_K, 4, 8, TEVO_TYPE_Q8_K>   q4_K_8x4;
    static tensor_traits<block_q4_K, 8, 8, TEVO_TYPE_Q8_K>   q4_K_8x8;
    static tensor_traits<block_q5_K, 4, 8, TEVO_TYPE_Q8_K>   q5_K_8x4;
    static tensor_traits<block_q5_K, 8, 8, TEVO_TYPE_Q8_K>   q5_K_8x8;
    static tensor_traits<block_q6_K, 4, 8, TEVO_TYPE_Q8_K>   q6_K_8x4;
    static tensor_traits<block_q6_K, 8, 8, TEVO_TYPE_Q8_K>   q6_K_8x8;
    static tensor_traits<block_q2_K, 8, 8, TEVO_TYPE_Q8_K>   q2_K_8x8;
    static tensor_traits<block_iq4_nl, 4, 4, TEVO_TYPE_Q8_0> iq4_nl_4x4;
    static tensor_traits<block_iq4_nl, 8, 8, TEVO_TYPE_Q8_0> iq4_nl_8x8;
    static tensor_traits<block_mxfp4, 4, 4, TEVO_TYPE_Q8_0>  mxfp4_4x4;
    static tensor_traits<block_mxfp4, 8, 8, TEVO_TYPE_Q8_0>  mxfp4_8x8;
    static tensor_traits<block_q8_0, 4, 4, TEVO_TYPE_Q8_0>   q8_0_4x4;
    static tensor_traits<block_q8_0, 8, 4, TEVO_TYPE_Q8_0>   q8_0_4x8;

    struct entry {
        enum tevo_type       type;
        int64_t              inter, nb_cols;
        tensor_traits_base * traits;
    };
    const entry table[] = {
        { TEVO_TYPE_Q1_0, 4, 4, &q1_0_4x4 },   { TEVO_TYPE_Q1_0, 8, 4, &q1_0_4x8 },
        { TEVO_TYPE_Q4_0, 4, 4, &q4_0_4x4 },   { TEVO_TYPE_Q4_0, 8, 4, &q4_0_4x8 },
        { TEVO_TYPE_Q4_0, 8, 8, &q4_0_8x8 },   { TEVO_TYPE_Q4_K, 4, 8, &q4_K_8x4 },
        { TEVO_TYPE_Q4_K, 8, 8, &q4_K_8x8 },   { TEVO_TYPE_Q5_K, 4, 8, &q5_K_8x4 },
        { TEVO_TYPE_Q5_K, 8, 8, &q5_K_8x8 },   { TEVO_TYPE_Q6_K, 4, 8, &q6_K_8x4 },
        { TEVO_TYPE_Q6_K, 8, 8, &q6_K_8x8 },   { TEVO_TYPE_Q2_K, 8, 8, &q2_K_8x8 },
        { TEVO_TYPE_IQ4_NL, 4, 4, &iq4_nl_4x4 }, { TEVO_TYPE_IQ4_NL, 8, 8, &iq4_nl_8x8 },
        { TEVO_TYPE_MXFP4, 4, 4, &mxfp4_4x4 }, { TEVO_TYPE_MXFP4, 8, 8, &mxfp4_8x8 },
        { TEVO_TYPE_Q8_0, 4, 4, &q8_0_4x4 },   { TEVO_TYPE_Q8_0, 8, 4, &q8_0_4x8 },
    };
    for (const entry & e : table) {
        if (e.type == type && e.inter == inter && e.nb_cols == nb_cols) {
            return e.traits;
        }
    }
    return NULL;
}

} // namespace tevo::cpu::repack
