#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

#include "cpu/backend.h"

#include "backend/impl.h"
#include "core/impl.h"
#include "platform/platform.h"
#include "cpu/extra-buffer-types.h"

#include <stdlib.h>

#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// backend

static tevo_guid tevo_backend_cpu_guid_bytes = {
    0xaa, 0x67, 0xc7, 0x43, 0x96, 0xe6, 0xa3, 0x8a, 0xe3, 0xaf, 0xea, 0x92, 0x36, 0xbc, 0xfc, 0x89,
};

static tevo_guid_t tevo_backend_cpu_guid(void) {
    return &tevo_backend_cpu_guid_bytes;
}

// Work buffers are handed to kernels that lay per-thread rows on cache lines.
static uint8_t * tevo_backend_cpu_alloc_work(size_t size) {
    const size_t align = 64;
    return (uint8_t *) aligned_alloc(align, (size + align - 1) / align * align);
}

static const char * tevo_backend_cpu_get_name(tevo_backend_t backend) {
    return "CPU";
}

static void tevo_backend_cpu_free(tevo_backend_t backend) {
    auto * ctx = (tevo_backend_cpu_context *) backend->context;
    free(ctx->work_data);
    delete ctx;
    delete backend;
}

// a plan together with a copy of the graph record it was made for; the node
// and leaf arrays stay the caller's
struct tevo_backend_plan_cpu {
    struct tevo_cplan  cplan;
    struct tevo_cgraph cgraph;
};

static tevo_backend_graph_plan_t tevo_backend_cpu_graph_plan_create(tevo_backend_t backend,
                                                                    const struct tevo_cgraph * cgraph) {
    auto * ctx = (tevo_backend_cpu_context *) backend->context;

    auto * cpu_plan  = new tevo_backend_plan_cpu;
    cpu_plan->cplan  = tevo_graph_plan(cgraph, ctx->n_threads, ctx->threadpool);
    cpu_plan->cgraph = *cgraph;

    if (cpu_plan->cplan.work_size > 0) {
        cpu_plan->cplan.work_data = tevo_backend_cpu_alloc_work(cpu_plan->cplan.work_size);
        if (cpu_plan->cplan.work_data == NULL) {
            delete cpu_plan;
            return NULL;
        }
    }

    cpu_plan->cplan.abort_callback      = ctx->abort_callback;
    cpu_plan->cplan.abort_callback_data = ctx->abort_callback_data;
    cpu_plan->cplan.use_ref             = ctx->use_ref;

    return cpu_plan;
}

static void tevo_backend_cpu_graph_plan_free(tevo_backend_t backend, tevo_backend_graph_plan_t plan) {
    auto * cpu_plan = (tevo_backend_plan_cpu *) plan;
    free(cpu_plan->cplan.work_data);
    delete cpu_plan;
}

static enum tevo_status tevo_backend_cpu_graph_plan_compute(tevo_backend_t backend, tevo_backend_graph_plan_t plan) {
    auto * cpu_plan = (tevo_backend_plan_cpu *) plan;
    return tevo_graph_compute(&cpu_plan->cgraph, &cpu_plan->cplan);
}

static enum tevo_status tevo_backend_cpu_graph_compute(tevo_backend_t backend, struct tevo_cgraph * cgraph) {
    auto * ctx = (tevo_backend_cpu_context *) backend->context;

    struct tevo_cplan cplan = tevo_graph_plan(cgraph, ctx->n_threads, ctx->threadpool);

    // the buffer only grows, so graphs of similar size allocate nothing
    if (ctx->work_size < cplan.work_size) {
        free(ctx->work_data);
        ctx->work_data = tevo_backend_cpu_alloc_work(cplan.work_size);
        if (ctx->work_data == NULL) {
            // keep the record truthful: no buffer, no size
            ctx->work_size = 0;
            return TEVO_STATUS_ALLOC_FAILED;
        }
        ctx->work_size = cplan.work_size;
    }
    cplan.work_data           = ctx->work_data;
    cplan.abort_callback      = ctx->abort_callback;
    cplan.abort_callback_data = ctx->abort_callback_data;
    cplan.use_ref             = ctx->use_ref;

    return tevo_graph_compute(cgraph, &cplan);
}

static const struct tevo_backend_i tevo_backend_cpu_i = {
    /* .get_name            = */ tevo_backend_cpu_get_name,
    /* .free                = */ tevo_backend_cpu_free,
    /* .set_tensor_async    = */ NULL,
    /* .get_tensor_async    = */ NULL,
    /* .set_tensor_2d_async = */ NULL,
    /* .get_tensor_2d_async = */ NULL,
    /* .cpy_tensor_async    = */ NULL,
    /* .synchronize         = */ NULL,
    /* .graph_plan_create   = */ tevo_backend_cpu_graph_plan_create,
    /* .graph_plan_free     = */ tevo_backend_cpu_graph_plan_free,
    /* .graph_plan_update   = */ NULL,
    /* .graph_plan_compute  = */ tevo_backend_cpu_graph_plan_compute,
    /* .graph_compute       = */ tevo_backend_cpu_graph_compute,
    /* .event_record        = */ NULL,
    /* .event_wait          = */ NULL,
    /* .graph_prepare       = */ NULL,
};

tevo_backend_t tevo_backend_cpu_init(void) {
    tevo_cpu_init();

    auto * ctx                = new tevo_backend_cpu_context;
    ctx->n_threads            = 4;
    ctx->threadpool           = NULL;
    ctx->work_data            = NULL;
    ctx->work_size            = 0;
    ctx->abort_callback       = NULL;
    ctx->abort_callback_data  = NULL;
    ctx->use_ref              = false;

    auto * backend = new tevo_backend{
        /* .guid    = */ tevo_backend_cpu_guid(),
        /* .iface   = */ tevo_backend_cpu_i,
        /* .device  = */ tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0),
        /* .context = */ ctx,
    };
    return backend;
}

bool tevo_backend_is_cpu(tevo_backend_t backend) {
    return backend != NULL && tevo_guid_matches(backend->guid, tevo_backend_cpu_guid());
}

void tevo_backend_cpu_set_n_threads(tevo_backend_t backend_cpu, int n_threads) {
    TEVO_ASSERT(tevo_backend_is_cpu(backend_cpu));
    auto * ctx      = (tevo_backend_cpu_context *) backend_cpu->context;
    ctx->n_threads  = n_threads;
}

void tevo_backend_cpu_set_threadpool(tevo_backend_t backend_cpu, struct tevo_threadpool * threadpool) {
    TEVO_ASSERT(tevo_backend_is_cpu(backend_cpu));
    auto * ctx = (tevo_backend_cpu_context *) backend_cpu->context;
    if (ctx->threadpool != NULL && ctx->threadpool != threadpool) {
        // the old pool's workers would otherwise keep polling for runs that never come
        tevo_threadpool_pause(ctx->threadpool);
    }
    ctx->threadpool = threadpool;
}

void tevo_backend_cpu_set_abort_callback(tevo_backend_t backend_cpu, tevo_abort_callback abort_callback,
                                         void * abort_callback_data) {
    TEVO_ASSERT(tevo_backend_is_cpu(backend_cpu));
    auto * ctx                = (tevo_backend_cpu_context *) backend_cpu->context;
    ctx->abort_callback       = abort_callback;
    ctx->abort_callback_data  = abort_callback_data;
}

void tevo_backend_cpu_set_use_ref(tevo_backend_t backend_cpu, bool use_ref) {
    TEVO_ASSERT(tevo_backend_is_cpu(backend_cpu));
    auto * ctx    = (tevo_backend_cpu_context *) backend_cpu->context;
    ctx->use_ref  = use_ref;
}

// ---------------------------------------------------------------------------
// device

struct tevo_backend_cpu_device_context {
    std::string description;
};

static const tevo_backend_cpu_device_context & tevo_backend_cpu_device_ctx(void) {
    static const tevo_backend_cpu_device_context ctx = [] {
        tevo_backend_cpu_device_context c;
        c.description = "CPU";
        char brand[256];
        size_t len = tevo_platform_cpu_brand(brand, sizeof(brand));
        if (len > 0) {
            c.description.assign(brand, len);
        }
        return c;
    }();
    return ctx;
}

static const char * tevo_backend_cpu_device_get_name(tevo_backend_dev_t dev) {
    return "CPU";
}

static const char * tevo_backend_cpu_device_get_description(tevo_backend_dev_t dev) {
    auto * ctx = (const tevo_backend_cpu_device_context *) dev->context;
    return ctx->description.c_str();
}

static void tevo_backend_cpu_device_get_memory(tevo_backend_dev_t dev, size_t * mem_free, size_t * mem_total) {
    size_t total = (size_t) tevo_platform_mem_total();
    *mem_free    = total;
    *mem_total   = total;
}

static enum tevo_backend_device_type tevo_backend_cpu_device_get_type(tevo_backend_dev_t dev) {
    return TEVO_BACKEND_DEVICE_TYPE_CPU;
}

static void tevo_backend_cpu_device_get_props(tevo_backend_dev_t dev, struct tevo_backend_dev_props * props) {
    props->name        = tevo_backend_cpu_device_get_name(dev);
    props->description = tevo_backend_cpu_device_get_description(dev);
    props->type        = tevo_backend_cpu_device_get_type(dev);
    tevo_backend_cpu_device_get_memory(dev, &props->memory_free, &props->memory_total);
    props->caps = {
        /* .async                = */ false,
        /* .host_buffer          = */ false,
        /* .buffer_from_host_ptr = */ true,
        /* .events               = */ false,
        /* .reserved             = */ true,
    };
}

static tevo_backend_t tevo_backend_cpu_device_init_backend(tevo_backend_dev_t dev, const char * params) {
    return tevo_backend_cpu_init();
}

static tevo_backend_buffer_type_t tevo_backend_cpu_device_get_buffer_type(tevo_backend_dev_t dev) {
    return tevo_backend_cpu_buffer_type();
}

static tevo_backend_buffer_t tevo_backend_cpu_device_buffer_from_host_ptr(tevo_backend_dev_t dev, void * ptr,
                                                                          size_t size, size_t max_tensor_size) {
    return tevo_backend_cpu_buffer_from_ptr(ptr, size);
}

// Block rows are decoded to float by the type's row converter (q8_1 and
// q8_K have none), and float rows are encoded by the CPU's (the seven
// i-quants without a quantizer, I8, I16, I64 and F64 have none).
static bool tevo_backend_cpu_decodes(enum tevo_type type) {
    return tevo_is_quantized(type) && tevo_get_type_traits(type)->to_float != NULL;
}

static bool tevo_backend_cpu_encodes(enum tevo_type type) {
    return tevo_get_type_traits_cpu(type)->from_float != NULL;
}

// the type pairs of the copy kernel
static bool tevo_backend_cpu_can_copy(enum tevo_type src, enum tevo_type dst) {
    if (src == dst) {
        return true;
    }
    switch (src) {
        case TEVO_TYPE_F32:
            return dst == TEVO_TYPE_F16 || dst == TEVO_TYPE_BF16 || dst == TEVO_TYPE_I32 ||
                   tevo_backend_cpu_encodes(dst);
        case TEVO_TYPE_F16:
        case TEVO_TYPE_BF16:
            return dst == TEVO_TYPE_F32 || dst == TEVO_TYPE_F16 || dst == TEVO_TYPE_BF16 ||
                   tevo_backend_cpu_encodes(dst);
        case TEVO_TYPE_I32:
            return dst == TEVO_TYPE_F32;
        default:
            return dst == TEVO_TYPE_F32 && tevo_backend_cpu_decodes(src);
    }
}

// the type triples of the float path of ADD, SUB, MUL and DIV
static bool tevo_backend_cpu_can_binary(enum tevo_type t0, enum tevo_type t1, enum tevo_type td) {
    switch (t0) {
        case TEVO_TYPE_F32:
            return t1 == TEVO_TYPE_F32 && td == TEVO_TYPE_F32;
        case TEVO_TYPE_F16:
        case TEVO_TYPE_BF16:
            return (t1 == t0 && td == t0) || (t1 == TEVO_TYPE_F32 && (td == t0 || td == TEVO_TYPE_F32));
        default:
            return false;
    }
}

// The products compute through the weight type's dot product, after bringing
// src1 into its partner type: from F32, or widened from F16 or BF16 where
// the partner is F32.
static bool tevo_backend_cpu_can_multiply(const struct tevo_tensor * src0, const struct tevo_tensor * src1) {
    const struct tevo_type_traits_cpu * traits = tevo_get_type_traits_cpu(src0->type);
    if (traits->vec_dot == NULL || tevo_get_type_traits_cpu(traits->vec_dot_type)->from_float == NULL) {
        return false;
    }
    const enum tevo_type vec_dot_type = traits->vec_dot_type;
    return src1->type == TEVO_TYPE_F32 || src1->type == vec_dot_type ||
           (src1->type == TEVO_TYPE_BF16 && vec_dot_type == TEVO_TYPE_F32);
}

static bool tevo_backend_cpu_device_supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) {
    const struct tevo_tensor * src0 = op->src[0];
    const struct tevo_tensor * src1 = op->src[1];

    if (tevo_op_is_empty(op->op)) {
        return true;
    }

    // weights in an extra buffer type are that type's to judge
    for (int i = 0; i < 4; i++) {
        const struct tevo_tensor * src = op->src[i];
        if (src != NULL && src->buffer != NULL && tevo_backend_cpu_is_extra_buffer_type(src->buffer->buft)) {
            auto * buft_extra = (tevo::cpu::extra_buffer_type *) src->buffer->buft->context;
            return buft_extra->supports_op(dev, op);
        }
    }

    switch (op->op) {
        case TEVO_OP_MUL_MAT: {
            if (op->op_params[1] == 1 && src0->type == TEVO_TYPE_F32 && op->type == TEVO_TYPE_F32) {
                // the Walsh-Hadamard transform form
                return src1->type == TEVO_TYPE_F32 || src1->type == TEVO_TYPE_F16;
            }
            return tevo_backend_cpu_can_multiply(src0, src1);
        }
        case TEVO_OP_MUL_MAT_ID:
            return tevo_backend_cpu_can_multiply(src0, src1);
        case TEVO_OP_OUT_PROD:
            // quantized rows are decoded to float first (q8_1 and q8_K cannot be)
            return src1->type == TEVO_TYPE_F32 && op->type == TEVO_TYPE_F32 &&
                   (src0->type == TEVO_TYPE_F32 ||
                    ((src0->type == TEVO_TYPE_F16 ||
                      (tevo_is_quantized(src0->type) && tevo_get_type_traits(src0->type)->to_float != NULL)) &&
                     src0->ne[2] == src1->ne[2] && src0->ne[3] == src1->ne[3]));
        case TEVO_OP_CPY:
            return tevo_backend_cpu_can_copy(src0->type, op->type);
        case TEVO_OP_SET_ROWS:
            return tevo_backend_cpu_encodes(op->type);
        case TEVO_OP_GET_ROWS:
            return src0->type == TEVO_TYPE_F32 || src0->type == TEVO_TYPE_I32 || src0->type == TEVO_TYPE_F16 ||
                   src0->type == TEVO_TYPE_BF16 || tevo_backend_cpu_decodes(src0->type);
        case TEVO_OP_ADD:
            // block rows are added one to one, never broadcast
            return tevo_backend_cpu_can_binary(src0->type, src1->type, op->type) ||
                   (tevo_backend_cpu_decodes(src0->type) && src1->type == TEVO_TYPE_F32 &&
                    tevo_backend_cpu_encodes(op->type) && tevo_are_same_shape(src0, src1) &&
                    tevo_are_same_shape(src0, op));
        case TEVO_OP_SUB:
        case TEVO_OP_MUL:
        case TEVO_OP_DIV:
            return tevo_backend_cpu_can_binary(src0->type, src1->type, op->type);
        case TEVO_OP_GET_ROWS_BACK:
            return src0->type == TEVO_TYPE_F32 || src0->type == TEVO_TYPE_F16;
        case TEVO_OP_SOFT_MAX_BACK: {
            float max_bias;
            memcpy(&max_bias, &op->op_params[1], sizeof(float));
            return src0->type == TEVO_TYPE_F32 && src1->type == TEVO_TYPE_F32 && max_bias == 0.0f;
        }
        case TEVO_OP_IM2COL_BACK:
            return src0->type == TEVO_TYPE_F32 && (src1->type == TEVO_TYPE_F32 || src1->type == TEVO_TYPE_F16);
        case TEVO_OP_CONV_2D:
            return tevo_is_contiguous(src0);
        case TEVO_OP_SSM_SCAN:
            return op->op_params[0] == 1 || op->src[3]->ne[0] == 1;
        default:
            return true;
    }
}

static bool tevo_backend_cpu_device_supports_buft(tevo_backend_dev_t dev, tevo_backend_buffer_type_t buft) {
    return tevo_backend_buft_is_host(buft) || tevo_backend_cpu_is_extra_buffer_type(buft);
}

static const struct tevo_backend_device_i tevo_backend_cpu_device_i = {
    /* .get_name             = */ tevo_backend_cpu_device_get_name,
    /* .get_description      = */ tevo_backend_cpu_device_get_description,
    /* .get_memory           = */ tevo_backend_cpu_device_get_memory,
    /* .get_type             = */ tevo_backend_cpu_device_get_type,
    /* .get_props            = */ tevo_backend_cpu_device_get_props,
    /* .init_backend         = */ tevo_backend_cpu_device_init_backend,
    /* .get_buffer_type      = */ tevo_backend_cpu_device_get_buffer_type,
    /* .get_host_buffer_type = */ NULL,
    /* .buffer_from_host_ptr = */ tevo_backend_cpu_device_buffer_from_host_ptr,
    /* .supports_op          = */ tevo_backend_cpu_device_supports_op,
    /* .supports_buft        = */ tevo_backend_cpu_device_supports_buft,
    /* .offload_op           = */ NULL,
    /* .event_new            = */ NULL,
    /* .event_free           = */ NULL,
    /* .event_synchronize    = */ NULL,
};

// ---------------------------------------------------------------------------
// registry

static const char * tevo_backend_cpu_reg_get_name(tevo_backend_reg_t reg) {
    return "CPU";
}

static size_t tevo_backend_cpu_reg_get_device_count(tevo_backend_reg_t reg) {
    return 1;
}

static tevo_backend_dev_t tevo_backend_cpu_reg_get_device(tevo_backend_reg_t reg, size_t index) {
    TEVO_ASSERT(index == 0);

    static tevo_backend_device device = {
        /* .iface   = */ tevo_backend_cpu_device_i,
        /* .reg     = */ reg,
        /* .context = */ (void *) &tevo_backend_cpu_device_ctx(),
    };
    return &device;
}

static tevo_backend_buffer_type_t * tevo_backend_cpu_device_get_extra_bufts(tevo_backend_dev_t device) {
    static std::vector<tevo_backend_buffer_type_t> bufts = [] {
        std::vector<tevo_backend_buffer_type_t> list = tevo_backend_cpu_get_extra_buffer_types();
        list.push_back(NULL);
        return list;
    }();
    return bufts.data();
}

static struct tevo_backend_feature * tevo_backend_cpu_get_features(tevo_backend_reg_t reg) {
    static std::vector<tevo_backend_feature> features = [] {
        tevo_cpu_init();

        std::vector<tevo_backend_feature> list;
        auto add = [&list](const char * name, int has) {
            if (has) {
                list.push_back({name, "1"});
            }
        };
        add("SSE3",        tevo_cpu_has_sse3());
        add("SSSE3",       tevo_cpu_has_ssse3());
        add("AVX",         tevo_cpu_has_avx());
        add("AVX_VNNI",    tevo_cpu_has_avx_vnni());
        add("AVX2",        tevo_cpu_has_avx2());
        add("F16C",        tevo_cpu_has_f16c());
        add("FMA",         tevo_cpu_has_fma());
        add("BMI2",        tevo_cpu_has_bmi2());
        add("AVX512",      tevo_cpu_has_avx512());
        add("AVX512_VBMI", tevo_cpu_has_avx512_vbmi());
        add("AVX512_VNNI", tevo_cpu_has_avx512_vnni());
        add("AVX512_BF16", tevo_cpu_has_avx512_bf16());
        add("AMX_INT8",    tevo_cpu_has_amx_int8());
        add("NEON",        tevo_cpu_has_neon());
        add("ARM_FMA",     tevo_cpu_has_arm_fma());
        add("FP16_VA",     tevo_cpu_has_fp16_va());
        add("MATMUL_INT8", tevo_cpu_has_matmul_int8());
        add("SVE",         tevo_cpu_has_sve());
        add("DOTPROD",     tevo_cpu_has_dotprod());
        if (tevo_cpu_get_sve_cnt() > 0) {
            static std::string sve_cnt = std::to_string(tevo_cpu_get_sve_cnt());
            list.push_back({"SVE_CNT", sve_cnt.c_str()});
        }
        add("SME",         tevo_cpu_has_sme());
        add("SME2",        tevo_cpu_has_sme2());
        add("RISCV_V",     tevo_cpu_has_riscv_v());
        if (tevo_cpu_get_rvv_vlen() > 0) {
            static std::string rvv_vlen = std::to_string(tevo_cpu_get_rvv_vlen());
            list.push_back({"RVV_VLEN", rvv_vlen.c_str()});
        }
        add("VSX",         tevo_cpu_has_vsx());
        add("VXE",         tevo_cpu_has_vxe());
        add("WASM_SIMD",   tevo_cpu_has_wasm_simd());
        add("TORVOFILE",   tevo_cpu_has_torvofile());
        list.push_back({"ACCELERATE", "1"});
        list.push_back({"REPACK", "1"});
        list.push_back({NULL, NULL});
        return list;
    }();
    return features.data();
}

static void * tevo_backend_cpu_get_proc_address(tevo_backend_reg_t reg, const char * name) {
    if (strcmp(name, "tevo_backend_set_n_threads") == 0) {
        tevo_backend_set_n_threads_t fn = tevo_backend_cpu_set_n_threads;
        return (void *) fn;
    }
    if (strcmp(name, "tevo_backend_dev_get_extra_bufts") == 0) {
        tevo_backend_dev_get_extra_bufts_t fn = tevo_backend_cpu_device_get_extra_bufts;
        return (void *) fn;
    }
    if (strcmp(name, "tevo_backend_get_features") == 0) {
        tevo_backend_get_features_t fn = tevo_backend_cpu_get_features;
        return (void *) fn;
    }
    if (strcmp(name, "tevo_backend_set_abort_callback") == 0) {
        tevo_backend_set_abort_callback_t fn = tevo_backend_cpu_set_abort_callback;
        return (void *) fn;
    }
    if (strcmp(name, "tevo_backend_cpu_numa_init") == 0) {
        return (void *) tevo_numa_init;
    }
    if (strcmp(name, "tevo_backend_cpu_is_numa") == 0) {
        return (void *) tevo_is_numa;
    }
    if (strcmp(name, "tevo_backend_cpu_set_use_ref") == 0) {
        return (void *) tevo_backend_cpu_set_use_ref;
    }
    if (strcmp(name, "tevo_threadpool_new") == 0) {
        return (void *) tevo_threadpool_new;
    }
    if (strcmp(name, "tevo_threadpool_free") == 0) {
        return (void *) tevo_threadpool_free;
    }
    if (strcmp(name, "tevo_backend_cpu_set_threadpool") == 0) {
        return (void *) tevo_backend_cpu_set_threadpool;
    }
    return NULL;
}

static const struct tevo_backend_reg_i tevo_backend_cpu_reg_i = {
    /* .get_name         = */ tevo_backend_cpu_reg_get_name,
    /* .get_device_count = */ tevo_backend_cpu_reg_get_device_count,
    /* .get_device       = */ tevo_backend_cpu_reg_get_device,
    /* .get_proc_address = */ tevo_backend_cpu_get_proc_address,
};

tevo_backend_reg_t tevo_backend_cpu_reg(void) {
    tevo_cpu_init();

    static struct tevo_backend_reg tevo_backend_cpu_reg_record = {
        /* .api_version = */ TEVO_BACKEND_API_VERSION,
        /* .iface       = */ tevo_backend_cpu_reg_i,
        /* .context     = */ NULL,
    };
    return &tevo_backend_cpu_reg_record;
}
