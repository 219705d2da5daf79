#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// The "CPU_REPACK" buffer type: plain CPU host buffers whose tensors are
// rewritten into interleaved records when they are uploaded, and the rule
// that picks a layout for a weight (or none).
//
// The layout is chosen when the allocator places a tensor (init_tensor keeps
// the traits object in the tensor's extra field); the one upload of the
// whole tensor repacks it; the engine then hands every MUL_MAT and
// MUL_MAT_ID over that weight to the same traits object. A tensor without a
// layout keeps plain rows and is read and written as in a plain buffer.

#include "cpu/repack/repack.h"

#include "tevo-backend.h"
#include "tevo-cpu.h"

#include <string.h>

namespace {

// The first layout whose condition holds, for the processor this build is
// for (the feature queries are build-time constants).
tevo::cpu::repack::tensor_traits_base * select_layout(const struct tevo_tensor * cur) {
    using tevo::cpu::repack::get_traits;

    const bool    avx2       = tevo_cpu_has_avx2();
    const bool    avx512     = tevo_cpu_has_avx512();
    const bool    neon_i8mm  = tevo_cpu_has_neon() && tevo_cpu_has_matmul_int8();
    const bool    neon_dot   = tevo_cpu_has_neon() && tevo_cpu_has_dotprod();
    const bool    sve_i8mm   = tevo_cpu_has_sve() && tevo_cpu_has_matmul_int8() && tevo_cpu_get_sve_cnt() == 32;
    const bool    vxe        = tevo_cpu_has_vxe();
    const int64_t ne1        = cur->ne[1];
    const bool    rows_by_8  = ne1 % 8 == 0;
    const bool    rows_by_4  = ne1 % 4 == 0;

    switch (cur->type) {
        case TEVO_TYPE_Q4_0:
            if ((avx2 || sve_i8mm) && rows_by_8) {
                return get_traits(TEVO_TYPE_Q4_0, 8, 8);
            }
            if (neon_i8mm && rows_by_4) {
                return get_traits(TEVO_TYPE_Q4_0, 8, 4);
            }
            if ((neon_dot || vxe) && rows_by_4) {
                return get_traits(TEVO_TYPE_Q4_0, 4, 4);
            }
            return NULL;
        case TEVO_TYPE_Q4_K:
            if ((avx2 || neon_i8mm) && rows_by_8) {
                return get_traits(TEVO_TYPE_Q4_K, 8, 8);
            }
            if (neon_dot && rows_by_8) {
                return get_traits(TEVO_TYPE_Q4_K, 4, 8);
            }
            return NULL;
        case TEVO_TYPE_Q5_K:
        case TEVO_TYPE_Q6_K:
            if (neon_i8mm && rows_by_8) {
                return get_traits(cur->type, 8, 8);
            }
            if (neon_dot && rows_by_8) {
                return get_traits(cur->type, 4, 8);
            }
            return NULL;
        case TEVO_TYPE_Q2_K:
            return avx512 && rows_by_8 ? get_traits(TEVO_TYPE_Q2_K, 8, 8) : NULL;
        case TEVO_TYPE_IQ4_NL:
            if (avx2 && rows_by_8) {
                return get_traits(TEVO_TYPE_IQ4_NL, 8, 8);
            }
            if (neon_dot && rows_by_4) {
                return get_traits(TEVO_TYPE_IQ4_NL, 4, 4);
            }
            return NULL;
        case TEVO_TYPE_MXFP4:
            if (avx2 && rows_by_8) {
                return get_traits(TEVO_TYPE_MXFP4, 8, 8);
            }
            if (neon_dot && rows_by_4) {
                return get_traits(TEVO_TYPE_MXFP4, 4, 4);
            }
            return NULL;
        case TEVO_TYPE_Q8_0:
        case TEVO_TYPE_Q1_0:
            if (neon_i8mm && rows_by_4) {
                return get_traits(cur->type, 8, 4);
            }
            if (neon_dot && rows_by_4) {
                return get_traits(cur->type, 4, 4);
            }
            return NULL;
        default:
            return NULL;
    }
}

const char * repack_buffer_type_get_name(tevo_backend_buffer_type_t buft) {
    (void) buft;
    return "CPU_REPACK";
}

size_t repack_buffer_type_get_alignment(tevo_backend_buffer_type_t buft) {
    (void) buft;
    return 32;
}

enum tevo_status repack_buffer_init_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor) {
    (void) buffer;
    tensor->extra = (void *) static_cast<tevo::cpu::tensor_traits *>(tevo_repack_select_traits(tensor));
    return TEVO_STATUS_SUCCESS;
}

tevo::cpu::repack::tensor_traits_base * traits_of(const struct tevo_tensor * tensor) {
    return static_cast<tevo::cpu::repack::tensor_traits_base *>((tevo::cpu::tensor_traits *) tensor->extra);
}

void repack_buffer_set_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                              size_t offset, size_t size) {
    (void) buffer;
    tevo::cpu::repack::tensor_traits_base * traits = traits_of(tensor);
    if (traits == NULL) {
        // no layout: plain rows, which the engine's own kernels read
        memcpy((char *) tensor->data + offset, data, size);
        return;
    }
    TEVO_ASSERT(offset == 0);
    TEVO_ASSERT(size == tevo_nbytes(tensor));
    const int OK = traits->repack(tensor, data, size);
    TEVO_ASSERT(OK == 0);
}

// Repacked rows are never converted back; a read of them would hand out
// records as if they were plain blocks, so it stops here with the reason.
void repack_buffer_get_tensor(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                              size_t offset, size_t size) {
    (void) buffer;
    if (tensor->extra == NULL) {
        memcpy(data, (const char *) tensor->data + offset, size);
        return;
    }
    TEVO_ABORT("%s: tensor '%s' holds repacked %s weights, which cannot be read back", "tevo_backend_tensor_get",
               tensor->name, tevo_type_name(tensor->type));
}

tevo_backend_buffer_t repack_buffer_type_alloc_buffer(tevo_backend_buffer_type_t buft, size_t size) {
    tevo_backend_buffer_t buffer = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), size);
    if (buffer == NULL) {
        return NULL;
    }
    buffer->buft              = buft;
    buffer->iface.init_tensor = repack_buffer_init_tensor;
    buffer->iface.set_tensor  = repack_buffer_set_tensor;
    buffer->iface.get_tensor  = repack_buffer_get_tensor;
    buffer->iface.cpy_tensor  = NULL;
    return buffer;
}

bool is_repack_buffer(const struct tevo_tensor * t) {
    return t != NULL && t->buffer != NULL && t->buffer->buft == tevo_backend_cpu_repack_buffer_type();
}

} // namespace

namespace tevo::cpu::repack {

// the context object the engine asks about nodes over CPU_REPACK weights
class extra_buffer_type : public tevo::cpu::extra_buffer_type {
  public:
    bool supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) override {
        (void) dev;
        const struct tevo_tensor * src0 = op->src[0];
        const struct tevo_tensor * src1 = op->src[1];

        const bool mul_mat    = op->op == TEVO_OP_MUL_MAT && tevo_n_dims(src0) == 2;
        const bool mul_mat_id = op->op == TEVO_OP_MUL_MAT_ID && tevo_n_dims(src0) == 3;
        if (!(mul_mat || mul_mat_id) || !is_repack_buffer(src0) || tevo_repack_select_traits(src0) == NULL) {
            return false;
        }
        if (src1->buffer != NULL && !tevo_backend_buft_is_host(src1->buffer->buft)) {
            return false;
        }
        // what the drivers assert: float values one after another, three dimensions
        return src1->type == TEVO_TYPE_F32 && src1->nb[0] == sizeof(float) && src1->ne[3] == 1;
    }

    tevo::cpu::tensor_traits * get_tensor_traits(const struct tevo_tensor * op) override {
        if ((op->op == TEVO_OP_MUL_MAT || op->op == TEVO_OP_MUL_MAT_ID) && is_repack_buffer(op->src[0])) {
            return (tevo::cpu::tensor_traits *) op->src[0]->extra;
        }
        return NULL;
    }
};

} // namespace tevo::cpu::repack

tevo::cpu::repack::tensor_traits_base * tevo_repack_select_traits(const struct tevo_tensor * t) {
    // A weight without rows or values would pass every divisibility test and
    // leave the chunk plan nothing to divide; it stays plain. Rows longer
    // than the kernels' int length stay plain too, where the engine reports them.
    if (t->ne[0] <= 0 || t->ne[1] <= 0 || t->ne[0] > TEVO_MAX_ROW_LENGTH) {
        return NULL;
    }
    return select_layout(t);
}

tevo_backend_buffer_type_t tevo_backend_cpu_repack_buffer_type(void) {
    // a function-local static: concurrent first callers wait for the one that builds it
    static struct tevo_backend_buffer_type buft = [] {
        struct tevo_backend_buffer_type b = {};
        b.iface.get_name      = repack_buffer_type_get_name;
        b.iface.alloc_buffer  = repack_buffer_type_alloc_buffer;
        b.iface.get_alignment = repack_buffer_type_get_alignment;
        b.device              = tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0);
        b.context             = (void *) static_cast<tevo::cpu::extra_buffer_type *>(
            new tevo::cpu::repack::extra_buffer_type());
        return b;
    }();
    return &buft;
}
