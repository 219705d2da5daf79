// The CPU backend, its device and registry, the extension functions handed
// out by name, and the extra-buffer-type hooks.

#include "backend/impl.h"
#include "tevo-cpu.h"
#include "cpu/backend.h"
#include "cpu/impl.h"
#include "cpu/extra-buffer-types.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace {

struct context_guard {
    struct tevo_context * ctx;
    explicit context_guard(size_t mem_size = 64 * 1024 * 1024) {
        struct tevo_init_params params = {mem_size, NULL, false};
        ctx = tevo_init(params);
    }
    ~context_guard() { tevo_free(ctx); }
};

struct backend_guard {
    tevo_backend_t backend;
    backend_guard() : backend(tevo_backend_cpu_init()) {}
    ~backend_guard() { tevo_backend_free(backend); }
    tevo_backend_cpu_context * ctx() const { return (tevo_backend_cpu_context *) backend->context; }
};

tevo_backend_dev_t cpu_device() {
    return tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0);
}

template <typename F> F proc(const char * name) {
    return (F) tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), name);
}

// deterministic values in [-1, 1)
float value_at(int64_t i, int salt) {
    uint32_t h = (uint32_t) (i * 2654435761u) ^ (uint32_t) (salt * 40503u);
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return (float) (h % 2000u) / 1000.0f - 1.0f;
}

void fill(struct tevo_tensor * t, int salt) {
    const int64_t n = tevo_nelements(t);
    ASSERT_TRUE(tevo_is_contiguous(t));
    for (int64_t i = 0; i < n; i++) {
        const float v = value_at(i, salt);
        if (t->type == TEVO_TYPE_F32) {
            ((float *) t->data)[i] = v;
        } else {
            ASSERT_EQ(t->type, TEVO_TYPE_F16);
            ((tevo_fp16_t *) t->data)[i] = tevo_fp32_to_fp16(v);
        }
    }
}

// element (i0, i1, i2, i3) as float
double elem(const struct tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2 = 0, int64_t i3 = 0) {
    const char * p = (const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
    if (t->type == TEVO_TYPE_F16) {
        return tevo_fp16_to_fp32(*(const tevo_fp16_t *) p);
    }
    return *(const float *) p;
}

// the value the F16 path sees for an F32 input: rounded to half first
double as_half(double v) {
    return tevo_fp16_to_fp32(tevo_fp32_to_fp16((float) v));
}

// A bare node for capability questions: no constructor checks, only what
// supports_op reads.
struct tevo_tensor * node(struct tevo_context * ctx, enum tevo_op op, enum tevo_type type, struct tevo_tensor * src0,
                          struct tevo_tensor * src1 = NULL) {
    struct tevo_tensor * t = tevo_new_tensor_2d(ctx, type, 256, 4);
    t->op     = op;
    t->src[0] = src0;
    t->src[1] = src1;
    return t;
}

}  // namespace

// ---------------------------------------------------------------------------
// objects

TEST(CpuBackend, BackendDeviceAndRegistryObjects) {
    backend_guard b;
    ASSERT_NE(b.backend, nullptr);
    EXPECT_STREQ(tevo_backend_name(b.backend), "CPU");
    EXPECT_TRUE(tevo_backend_is_cpu(b.backend));
    EXPECT_FALSE(tevo_backend_is_cpu(NULL));

    const uint8_t guid[16] = {0xaa, 0x67, 0xc7, 0x43, 0x96, 0xe6, 0xa3, 0x8a,
                              0xe3, 0xaf, 0xea, 0x92, 0x36, 0xbc, 0xfc, 0x89};
    EXPECT_EQ(memcmp(tevo_backend_guid(b.backend), guid, 16), 0);

    // initial context values
    EXPECT_EQ(b.ctx()->n_threads, 4);
    EXPECT_EQ(b.ctx()->threadpool, nullptr);
    EXPECT_EQ(b.ctx()->work_data, nullptr);
    EXPECT_EQ(b.ctx()->work_size, 0u);
    EXPECT_EQ(b.ctx()->abort_callback, nullptr);
    EXPECT_FALSE(b.ctx()->use_ref);

    tevo_backend_reg_t reg = tevo_backend_cpu_reg();
    EXPECT_EQ(reg->api_version, 3);
    EXPECT_STREQ(tevo_backend_reg_name(reg), "CPU");
    EXPECT_EQ(tevo_backend_reg_dev_count(reg), 1u);

    tevo_backend_dev_t dev = tevo_backend_get_device(b.backend);
    EXPECT_EQ(dev, cpu_device());
    EXPECT_EQ(tevo_backend_dev_backend_reg(dev), reg);
    EXPECT_STREQ(tevo_backend_dev_name(dev), "CPU");
    EXPECT_EQ(tevo_backend_dev_type(dev), TEVO_BACKEND_DEVICE_TYPE_CPU);

    char brand[256];
    const size_t brand_len = tevo_platform_cpu_brand(brand, sizeof(brand));
    EXPECT_EQ(std::string(tevo_backend_dev_description(dev)), brand_len > 0 ? std::string(brand, brand_len) : "CPU");

    size_t mem_free = 0, mem_total = 0;
    tevo_backend_dev_memory(dev, &mem_free, &mem_total);
    EXPECT_EQ(mem_total, (size_t) tevo_platform_mem_total());
    EXPECT_EQ(mem_free, mem_total);
    EXPECT_GT(mem_total, 0u);

    struct tevo_backend_dev_props props;
    tevo_backend_dev_get_props(dev, &props);
    EXPECT_STREQ(props.name, "CPU");
    EXPECT_STREQ(props.description, tevo_backend_dev_description(dev));
    EXPECT_EQ(props.memory_total, mem_total);
    EXPECT_EQ(props.memory_free, mem_total);
    EXPECT_EQ(props.type, TEVO_BACKEND_DEVICE_TYPE_CPU);
    EXPECT_EQ(props.device_id, nullptr);
    EXPECT_FALSE(props.caps.async);
    EXPECT_FALSE(props.caps.host_buffer);
    EXPECT_TRUE(props.caps.buffer_from_host_ptr);
    EXPECT_FALSE(props.caps.events);
    EXPECT_TRUE(props.caps.reserved);

    EXPECT_EQ(tevo_backend_dev_buffer_type(dev), tevo_backend_cpu_buffer_type());
    EXPECT_EQ(tevo_backend_get_default_buffer_type(b.backend), tevo_backend_cpu_buffer_type());
    EXPECT_EQ(tevo_backend_dev_host_buffer_type(dev), nullptr);
    EXPECT_FALSE(tevo_backend_dev_offload_op(dev, NULL));
    EXPECT_EQ(tevo_backend_event_new(dev), nullptr);

    // caller memory wrapped without a copy
    alignas(32) static uint8_t host[64];
    tevo_backend_buffer_t buf = tevo_backend_dev_buffer_from_host_ptr(dev, host, sizeof(host), 16);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_base(buf), (void *) host);
    EXPECT_STREQ(tevo_backend_buffer_name(buf), "CPU_Mapped");
    tevo_backend_buffer_free(buf);

    // each device initialisation makes a new backend; the parameter text is ignored
    tevo_backend_t other = tevo_backend_dev_init(dev, "anything");
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, b.backend);
    EXPECT_TRUE(tevo_backend_is_cpu(other));
    tevo_backend_free(other);
}

TEST(CpuBackend, SupportsHostAndExtraBufferTypesOnly) {
    tevo_backend_dev_t dev = cpu_device();
    EXPECT_TRUE(tevo_backend_dev_supports_buft(dev, tevo_backend_cpu_buffer_type()));

    static struct tevo_backend_buffer_type device_only = {};
    device_only.iface.get_name = [](tevo_backend_buffer_type_t) { return "DEVICE_ONLY"; };
    EXPECT_FALSE(tevo_backend_dev_supports_buft(dev, &device_only));
}

TEST(CpuBackend, MisuseIsFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 1),
                 "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: TEVO_ASSERT\\(index == 0\\) failed");

    // a backend record that is not a CPU backend
    static tevo_guid other_guid = {1};
    struct tevo_backend other = {};
    other.guid = &other_guid;
    EXPECT_FALSE(tevo_backend_is_cpu(&other));
    const char * text = "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: TEVO_ASSERT\\(tevo_backend_is_cpu\\(backend_cpu\\)\\) failed";
    EXPECT_DEATH(tevo_backend_cpu_set_n_threads(&other, 2), text);
    EXPECT_DEATH(tevo_backend_cpu_set_threadpool(&other, NULL), text);
    EXPECT_DEATH(tevo_backend_cpu_set_abort_callback(&other, NULL, NULL), text);
    EXPECT_DEATH(tevo_backend_cpu_set_use_ref(&other, true), text);
}

// ---------------------------------------------------------------------------
// extension functions

TEST(CpuBackend, ProcAddressesHandOutTheExtensions) {
    struct named {
        const char * name;
        void *       fn;
    };
    const named table[] = {
        {"tevo_backend_set_n_threads", (void *) tevo_backend_cpu_set_n_threads},
        {"tevo_backend_set_abort_callback", (void *) tevo_backend_cpu_set_abort_callback},
        {"tevo_backend_cpu_numa_init", (void *) tevo_numa_init},
        {"tevo_backend_cpu_is_numa", (void *) tevo_is_numa},
        {"tevo_backend_cpu_set_use_ref", (void *) tevo_backend_cpu_set_use_ref},
        {"tevo_threadpool_new", (void *) tevo_threadpool_new},
        {"tevo_threadpool_free", (void *) tevo_threadpool_free},
        {"tevo_backend_cpu_set_threadpool", (void *) tevo_backend_cpu_set_threadpool},
    };
    for (const named & n : table) {
        EXPECT_EQ(tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), n.name), n.fn) << n.name;
    }
    // the two that have no public name of their own
    EXPECT_NE(tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), "tevo_backend_dev_get_extra_bufts"), nullptr);
    EXPECT_NE(tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), "tevo_backend_get_features"), nullptr);

    for (const char * name : {"", "tevo_backend_set_n_thread", "tevo_backend_set_n_threads ", "TEVO_BACKEND_SET_N_THREADS",
                              "tevo_backend_cpu_init"}) {
        EXPECT_EQ(tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), name), nullptr) << name;
    }

    // NUMA set-up does nothing here, and there is no NUMA
    proc<void (*)(void)>("tevo_backend_cpu_numa_init")();
    EXPECT_FALSE(proc<bool (*)(void)>("tevo_backend_cpu_is_numa")());
}

TEST(CpuBackend, SettersThroughTheExtensions) {
    backend_guard b;
    proc<tevo_backend_set_n_threads_t>("tevo_backend_set_n_threads")(b.backend, 7);
    EXPECT_EQ(b.ctx()->n_threads, 7);

    int data = 0;
    tevo_abort_callback cb = [](void *) { return false; };
    proc<tevo_backend_set_abort_callback_t>("tevo_backend_set_abort_callback")(b.backend, cb, &data);
    EXPECT_EQ(b.ctx()->abort_callback, cb);
    EXPECT_EQ(b.ctx()->abort_callback_data, &data);
    proc<tevo_backend_set_abort_callback_t>("tevo_backend_set_abort_callback")(b.backend, NULL, NULL);
    EXPECT_EQ(b.ctx()->abort_callback, nullptr);

    proc<void (*)(tevo_backend_t, bool)>("tevo_backend_cpu_set_use_ref")(b.backend, true);
    EXPECT_TRUE(b.ctx()->use_ref);

    // a pool made through the extensions; replacing it leaves it to its owner
    struct tevo_threadpool_params params = tevo_threadpool_params_default(2);
    auto pool_new  = proc<struct tevo_threadpool * (*) (struct tevo_threadpool_params *)>("tevo_threadpool_new");
    auto pool_free = proc<void (*)(struct tevo_threadpool *)>("tevo_threadpool_free");
    struct tevo_threadpool * pool1 = pool_new(&params);
    struct tevo_threadpool * pool2 = pool_new(&params);
    auto set_pool = proc<void (*)(tevo_backend_t, struct tevo_threadpool *)>("tevo_backend_cpu_set_threadpool");
    set_pool(b.backend, pool1);
    EXPECT_EQ(b.ctx()->threadpool, pool1);
    // setting the same pool again leaves it running
    set_pool(b.backend, pool1);
    EXPECT_FALSE(pool1->pause.load());
    set_pool(b.backend, pool2);
    EXPECT_EQ(b.ctx()->threadpool, pool2);
    EXPECT_TRUE(pool1->pause.load());
    EXPECT_FALSE(pool2->pause.load());
    set_pool(b.backend, NULL);
    EXPECT_EQ(b.ctx()->threadpool, nullptr);
    EXPECT_TRUE(pool2->pause.load());
    pool_free(pool1);
    pool_free(pool2);
}

TEST(CpuBackend, FeatureListOfTheBuild) {
    auto get_features = proc<tevo_backend_get_features_t>("tevo_backend_get_features");
    struct tevo_backend_feature * features = get_features(tevo_backend_cpu_reg());
    std::vector<std::string> names;
    for (struct tevo_backend_feature * f = features; f->name != NULL; f++) {
        EXPECT_STREQ(f->value, "1") << f->name;
        names.push_back(f->name);
    }
    const std::vector<std::string> expected = {"SSE3", "SSSE3", "AVX", "AVX2", "F16C",
                                               "FMA", "BMI2", "ACCELERATE", "REPACK"};
    EXPECT_EQ(names, expected);
    // built once
    EXPECT_EQ(get_features(tevo_backend_cpu_reg()), features);
}

TEST(CpuBackend, ExtraBufferTypesHoldTheRepackType) {
    auto get_extra = proc<tevo_backend_dev_get_extra_bufts_t>("tevo_backend_dev_get_extra_bufts");
    tevo_backend_buffer_type_t * bufts = get_extra(cpu_device());
    ASSERT_NE(bufts, nullptr);
    ASSERT_NE(tevo_backend_cpu_repack_buffer_type(), nullptr);
    EXPECT_EQ(bufts[0], tevo_backend_cpu_repack_buffer_type());
    EXPECT_EQ(bufts[1], nullptr);
    ASSERT_EQ(tevo_backend_cpu_get_extra_buffer_types().size(), 1u);
    EXPECT_EQ(tevo_backend_cpu_get_extra_buffer_types()[0], tevo_backend_cpu_repack_buffer_type());

    // a node whose sources live in no extra buffer is left to the engine
    context_guard c;
    struct tevo_tensor * t = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    size_t size = 123;
    EXPECT_FALSE(tevo_cpu_extra_work_size(4, t, &size));
    EXPECT_EQ(size, 123u);
    EXPECT_FALSE(tevo_cpu_extra_compute_forward(NULL, t));
}

// ---------------------------------------------------------------------------
// capability rules

TEST(CpuBackend, SupportsOpRules) {
    context_guard c;
    struct tevo_context * ctx = c.ctx;
    tevo_backend_dev_t    dev = cpu_device();

    // 256 values per row suit every block size
    auto t = [&](enum tevo_type type) { return tevo_new_tensor_2d(ctx, type, 256, 4); };

    struct mm_case {
        enum tevo_type src0, src1;
        int            hint;
        bool           expected;
    };
    const mm_case mm_cases[] = {
        {TEVO_TYPE_F32, TEVO_TYPE_F32, 0, true},
        {TEVO_TYPE_F32, TEVO_TYPE_F16, 0, false},   // F32 weights dot F32 rows only
        {TEVO_TYPE_F32, TEVO_TYPE_BF16, 0, true},   // brain floats go with an F32 partner
        {TEVO_TYPE_F16, TEVO_TYPE_F32, 0, true},
        {TEVO_TYPE_F16, TEVO_TYPE_F16, 0, true},
        {TEVO_TYPE_F16, TEVO_TYPE_BF16, 0, false},
        {TEVO_TYPE_BF16, TEVO_TYPE_BF16, 0, true},
        {TEVO_TYPE_Q4_0, TEVO_TYPE_F32, 0, true},
        {TEVO_TYPE_Q4_0, TEVO_TYPE_F16, 0, false},
        {TEVO_TYPE_Q4_0, TEVO_TYPE_Q8_0, 0, true},
        {TEVO_TYPE_Q4_K, TEVO_TYPE_Q8_K, 0, true},
        // the transform form
        {TEVO_TYPE_F32, TEVO_TYPE_F16, 1, true},
        {TEVO_TYPE_F32, TEVO_TYPE_F32, 1, true},
        {TEVO_TYPE_F32, TEVO_TYPE_BF16, 1, false},
        // a hint on other weights changes nothing
        {TEVO_TYPE_F16, TEVO_TYPE_F16, 1, true},
    };
    for (const mm_case & mc : mm_cases) {
        struct tevo_tensor * n = node(ctx, TEVO_OP_MUL_MAT, TEVO_TYPE_F32, t(mc.src0), t(mc.src1));
        n->op_params[1]        = mc.hint;
        EXPECT_EQ(tevo_backend_dev_supports_op(dev, n), mc.expected)
            << tevo_type_name(mc.src0) << " x " << tevo_type_name(mc.src1) << " hint " << mc.hint;
    }

    // copies into every type but the seven i-quants and the four plain types
    // without a quantizer (retired numbers never reach a tensor)
    for (int type = 0; type < TEVO_TYPE_COUNT; type++) {
        if (tevo_type_size((enum tevo_type) type) == 0) {
            continue;
        }
        const bool no_quantizer = type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS || type == TEVO_TYPE_IQ3_XXS ||
                                  type == TEVO_TYPE_IQ1_S || type == TEVO_TYPE_IQ3_S || type == TEVO_TYPE_IQ2_S ||
                                  type == TEVO_TYPE_IQ1_M || type == TEVO_TYPE_I8 || type == TEVO_TYPE_I16 ||
                                  type == TEVO_TYPE_I64 || type == TEVO_TYPE_F64;
        for (enum tevo_op op : {TEVO_OP_CPY, TEVO_OP_SET_ROWS}) {
            struct tevo_tensor * n = node(ctx, op, TEVO_TYPE_F32, t(TEVO_TYPE_F32), t(TEVO_TYPE_F32));
            n->type                = (enum tevo_type) type;
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, n), !no_quantizer) << tevo_op_name(op) << " to " << type;
        }
    }

    // outer products: quantized and half weights need matching upper extents
    {
        struct tevo_tensor * q  = tevo_new_tensor_3d(ctx, TEVO_TYPE_Q4_0, 256, 4, 2);
        struct tevo_tensor * h  = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, 32, 4, 2);
        struct tevo_tensor * f  = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 32, 4, 2);
        struct tevo_tensor * b2 = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 32, 4, 2);
        struct tevo_tensor * b3 = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 32, 4, 3);
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, q, b2)));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, q, b3)));
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, h, b2)));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, h, b3)));
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, f, b3)));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F16, f, b2)));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, f, t(TEVO_TYPE_F16))));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_OUT_PROD, TEVO_TYPE_F32, t(TEVO_TYPE_BF16), b2)));
    }

    EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_GET_ROWS_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F16), t(TEVO_TYPE_I32))));
    EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_GET_ROWS_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_BF16), t(TEVO_TYPE_I32))));

    {
        struct tevo_tensor * n = node(ctx, TEVO_OP_SOFT_MAX_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F32), t(TEVO_TYPE_F32));
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, n));
        const float max_bias = 0.5f;
        memcpy(&n->op_params[1], &max_bias, sizeof(float));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, n));
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_SOFT_MAX_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F16), t(TEVO_TYPE_F32))));
    }

    EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_IM2COL_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F32), t(TEVO_TYPE_F16))));
    EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_IM2COL_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F16), t(TEVO_TYPE_F32))));
    EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_IM2COL_BACK, TEVO_TYPE_F32, t(TEVO_TYPE_F32), t(TEVO_TYPE_BF16))));

    {
        struct tevo_tensor * kernel = t(TEVO_TYPE_F32);
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_CONV_2D, TEVO_TYPE_F32, kernel, t(TEVO_TYPE_F32))));
        struct tevo_tensor * transposed = tevo_transpose(ctx, kernel);
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, node(ctx, TEVO_OP_CONV_2D, TEVO_TYPE_F32, transposed, t(TEVO_TYPE_F32))));
    }

    {
        struct tevo_tensor * n = node(ctx, TEVO_OP_SSM_SCAN, TEVO_TYPE_F32, t(TEVO_TYPE_F32), t(TEVO_TYPE_F32));
        n->src[3]              = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 1);
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, n));
        n->src[3] = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 16);
        EXPECT_FALSE(tevo_backend_dev_supports_op(dev, n));
        n->op_params[0] = 1;
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, n));
    }

    // copy-free operators and everything without a rule (a gather decodes
    // the i-quant's rows; an addition would need F32 for its second source)
    for (enum tevo_op op : {TEVO_OP_NONE, TEVO_OP_RESHAPE, TEVO_OP_VIEW, TEVO_OP_PERMUTE, TEVO_OP_TRANSPOSE,
                            TEVO_OP_SOFT_MAX, TEVO_OP_GET_ROWS}) {
        EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(ctx, op, TEVO_TYPE_F32, t(TEVO_TYPE_IQ2_XS), t(TEVO_TYPE_F16))))
            << tevo_op_name(op);
    }
}

// Weight types without a CPU dot product are refused, so the scheduler can
// place the product elsewhere instead of the computation stopping.
TEST(CpuBackend, ProductsNeedADotProductForTheWeights) {
    context_guard c;
    tevo_backend_dev_t dev = cpu_device();

    struct weight_case {
        enum tevo_type type;
        bool           has_dot;
    };
    const weight_case cases[] = {
        {TEVO_TYPE_F32, true},     {TEVO_TYPE_F16, true},     {TEVO_TYPE_Q4_0, true},    {TEVO_TYPE_Q4_1, true},
        {TEVO_TYPE_Q5_0, true},    {TEVO_TYPE_Q5_1, true},    {TEVO_TYPE_Q8_0, true},    {TEVO_TYPE_Q8_1, false},
        {TEVO_TYPE_Q2_K, true},    {TEVO_TYPE_Q3_K, true},    {TEVO_TYPE_Q4_K, true},    {TEVO_TYPE_Q5_K, true},
        {TEVO_TYPE_Q6_K, true},    {TEVO_TYPE_Q8_K, false},   {TEVO_TYPE_IQ2_XXS, true}, {TEVO_TYPE_IQ2_XS, true},
        {TEVO_TYPE_IQ3_XXS, true}, {TEVO_TYPE_IQ1_S, true},   {TEVO_TYPE_IQ4_NL, true},  {TEVO_TYPE_IQ3_S, true},
        {TEVO_TYPE_IQ2_S, true},   {TEVO_TYPE_IQ4_XS, true},  {TEVO_TYPE_I8, false},     {TEVO_TYPE_I16, false},
        {TEVO_TYPE_I32, false},    {TEVO_TYPE_I64, false},    {TEVO_TYPE_F64, false},    {TEVO_TYPE_IQ1_M, true},
        {TEVO_TYPE_BF16, true},    {TEVO_TYPE_TQ1_0, true},   {TEVO_TYPE_TQ2_0, true},   {TEVO_TYPE_MXFP4, true},
        {TEVO_TYPE_NVFP4, true},   {TEVO_TYPE_Q1_0, true},    {TEVO_TYPE_Q2_0, true},
    };
    for (const weight_case & wc : cases) {
        for (enum tevo_op op : {TEVO_OP_MUL_MAT, TEVO_OP_MUL_MAT_ID}) {
            struct tevo_tensor * w = tevo_new_tensor_2d(c.ctx, wc.type, 256, 4);
            struct tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 4);
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, node(c.ctx, op, TEVO_TYPE_F32, w, x)), wc.has_dot)
                << tevo_op_name(op) << " over " << tevo_type_name(wc.type);
        }
    }

    // src1 must reach the weights' partner type; an outer product decodes
    // its quantized rows, which the activation-only types cannot
    struct pair_case {
        enum tevo_op   op;
        enum tevo_type w, x;
        bool           ok;
    };
    const pair_case pairs[] = {
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_F16, TEVO_TYPE_F16, true},
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_F32, TEVO_TYPE_BF16, true},
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_Q4_0, TEVO_TYPE_Q8_0, true},
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_F16, TEVO_TYPE_I32, false},
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_F16, TEVO_TYPE_BF16, false},
        {TEVO_OP_MUL_MAT_ID, TEVO_TYPE_Q4_0, TEVO_TYPE_F16, false},
        {TEVO_OP_OUT_PROD, TEVO_TYPE_F16, TEVO_TYPE_F32, true},
        {TEVO_OP_OUT_PROD, TEVO_TYPE_Q4_0, TEVO_TYPE_F32, true},
        {TEVO_OP_OUT_PROD, TEVO_TYPE_Q4_K, TEVO_TYPE_F32, true},
        {TEVO_OP_OUT_PROD, TEVO_TYPE_Q8_1, TEVO_TYPE_F32, false},
        {TEVO_OP_OUT_PROD, TEVO_TYPE_Q8_K, TEVO_TYPE_F32, false},
    };
    for (const pair_case & pc : pairs) {
        struct tevo_tensor * w = tevo_new_tensor_2d(c.ctx, pc.w, 256, 4);
        struct tevo_tensor * x = tevo_new_tensor_2d(c.ctx, pc.x, 256, 4);
        EXPECT_EQ(tevo_backend_dev_supports_op(dev, node(c.ctx, pc.op, TEVO_TYPE_F32, w, x)), pc.ok)
            << tevo_op_name(pc.op) << " over " << tevo_type_name(pc.w) << " and " << tevo_type_name(pc.x);
    }
}

// ---------------------------------------------------------------------------
// gather, copy and addition over every element type: the device says yes
// exactly where the kernels compute

namespace {

// every element type a tensor can have (retired numbers have no size)
std::vector<enum tevo_type> real_types() {
    std::vector<enum tevo_type> types;
    for (int t = 0; t < TEVO_TYPE_COUNT; t++) {
        if (tevo_type_size((enum tevo_type) t) != 0) {
            types.push_back((enum tevo_type) t);
        }
    }
    return types;
}

// n floats stored as a row of type t: the plain types by their own rounding,
// block types by the CPU quantizer, or by the reference quantizer (with a
// flat importance matrix) for the i-quants the CPU cannot quantize
std::vector<uint8_t> encode(enum tevo_type t, const float * x, int64_t n) {
    std::vector<uint8_t> out(tevo_row_size(t, n));
    for (int64_t i = 0; i < n && tevo_blck_size(t) == 1; i++) {
        switch (t) {
            case TEVO_TYPE_F32: memcpy(&out[4 * i], &x[i], 4); break;
            case TEVO_TYPE_F16: {
                const tevo_fp16_t h = tevo_fp32_to_fp16(x[i]);
                memcpy(&out[2 * i], &h, 2);
                break;
            }
            case TEVO_TYPE_BF16: {
                uint32_t u;
                memcpy(&u, &x[i], 4);
                const uint16_t h = (uint16_t) ((u + 0x7fffu + ((u >> 16) & 1u)) >> 16);
                memcpy(&out[2 * i], &h, 2);
                break;
            }
            case TEVO_TYPE_I32: {
                const int32_t v = (int32_t) x[i];
                memcpy(&out[4 * i], &v, 4);
                break;
            }
            default: break; // I8, I16, I64, F64 stay zero: nothing computes them
        }
    }
    if (tevo_blck_size(t) > 1) {
        tevo_from_float_t from_float = tevo_get_type_traits_cpu(t)->from_float;
        if (from_float != NULL) {
            from_float(x, out.data(), n);
        } else {
            tevo_quantize_init(t);
            const std::vector<float> imatrix(n, 1.0f);
            tevo_quantize_chunk(t, x, out.data(), 0, 1, n, imatrix.data());
        }
    }
    return out;
}

// a row of type t as floats
std::vector<float> decode(enum tevo_type t, const void * row, int64_t n) {
    std::vector<float> y(n);
    const uint8_t *    p = (const uint8_t *) row;
    for (int64_t i = 0; i < n && tevo_blck_size(t) == 1; i++) {
        switch (t) {
            case TEVO_TYPE_F32: memcpy(&y[i], p + 4 * i, 4); break;
            case TEVO_TYPE_F16: {
                tevo_fp16_t h;
                memcpy(&h, p + 2 * i, 2);
                y[i] = tevo_fp16_to_fp32(h);
                break;
            }
            case TEVO_TYPE_BF16: {
                uint16_t h;
                memcpy(&h, p + 2 * i, 2);
                const uint32_t u = (uint32_t) h << 16;
                memcpy(&y[i], &u, 4);
                break;
            }
            case TEVO_TYPE_I32: {
                int32_t v;
                memcpy(&v, p + 4 * i, 4);
                y[i] = (float) v;
                break;
            }
            default: ADD_FAILURE() << "no decoding for " << tevo_type_name(t); break;
        }
    }
    if (tevo_blck_size(t) > 1) {
        tevo_get_type_traits(t)->to_float(row, y.data(), n);
    }
    return y;
}

// a 256 x 4 tensor of type t holding value_at × 8 (the integer parts reach I32)
struct tevo_tensor * typed_input(struct tevo_context * ctx, enum tevo_type t, int salt) {
    struct tevo_tensor * x = tevo_new_tensor_2d(ctx, t, 256, 4);
    for (int64_t r = 0; r < 4; r++) {
        std::vector<float> v(256);
        for (int64_t i = 0; i < 256; i++) {
            v[i] = 8.0f * value_at(r * 256 + i, salt);
        }
        const std::vector<uint8_t> bytes = encode(t, v.data(), 256);
        memcpy((char *) x->data + r * x->nb[1], bytes.data(), bytes.size());
    }
    return x;
}

void expect_same_floats(const std::vector<float> & got, const std::vector<float> & want, const char * what) {
    ASSERT_EQ(got.size(), want.size());
    int bad = 0;
    for (size_t i = 0; i < got.size(); i++) {
        if (memcmp(&got[i], &want[i], sizeof(float)) != 0 && bad++ < 3) {
            ADD_FAILURE() << what << " at " << i << ": " << got[i] << " vs " << want[i];
        }
    }
}

struct typed_case {
    enum tevo_type type;
    bool           get_rows; // GET_ROWS from a table of this type
    bool           add;      // ADD of an F32 tensor to one of this type, kept in this type
    bool           to_f32;   // CPY of this type into F32
    bool           from_f32; // CPY of F32 into this type
};

// q8_1 and q8_K rows cannot be decoded; the i-quants that the CPU cannot
// quantize, I8, I16, I64 and F64 cannot be written from floats; I32 adds
// nothing and converts to and from F32 only
const typed_case typed_cases[] = {
    {TEVO_TYPE_F32, true, true, true, true},        {TEVO_TYPE_F16, true, true, true, true},
    {TEVO_TYPE_Q4_0, true, true, true, true},       {TEVO_TYPE_Q4_1, true, true, true, true},
    {TEVO_TYPE_Q5_0, true, true, true, true},       {TEVO_TYPE_Q5_1, true, true, true, true},
    {TEVO_TYPE_Q8_0, true, true, true, true},       {TEVO_TYPE_Q8_1, false, false, false, true},
    {TEVO_TYPE_Q2_K, true, true, true, true},       {TEVO_TYPE_Q3_K, true, true, true, true},
    {TEVO_TYPE_Q4_K, true, true, true, true},       {TEVO_TYPE_Q5_K, true, true, true, true},
    {TEVO_TYPE_Q6_K, true, true, true, true},       {TEVO_TYPE_Q8_K, false, false, false, true},
    {TEVO_TYPE_IQ2_XXS, true, false, true, false},  {TEVO_TYPE_IQ2_XS, true, false, true, false},
    {TEVO_TYPE_IQ3_XXS, true, false, true, false},  {TEVO_TYPE_IQ1_S, true, false, true, false},
    {TEVO_TYPE_IQ4_NL, true, true, true, true},     {TEVO_TYPE_IQ3_S, true, false, true, false},
    {TEVO_TYPE_IQ2_S, true, false, true, false},    {TEVO_TYPE_IQ4_XS, true, true, true, true},
    {TEVO_TYPE_I8, false, false, false, false},     {TEVO_TYPE_I16, false, false, false, false},
    {TEVO_TYPE_I32, true, false, true, true},       {TEVO_TYPE_I64, false, false, false, false},
    {TEVO_TYPE_F64, false, false, false, false},    {TEVO_TYPE_IQ1_M, true, false, true, false},
    {TEVO_TYPE_BF16, true, true, true, true},       {TEVO_TYPE_TQ1_0, true, true, true, true},
    {TEVO_TYPE_TQ2_0, true, true, true, true},      {TEVO_TYPE_MXFP4, true, true, true, true},
    {TEVO_TYPE_NVFP4, true, true, true, true},      {TEVO_TYPE_Q1_0, true, true, true, true},
    {TEVO_TYPE_Q2_0, true, true, true, true},
};

}  // namespace

TEST(CpuBackend, GatherCopyAndAddAreSupportedExactlyWhereTheyCompute) {
    ASSERT_EQ(sizeof(typed_cases) / sizeof(typed_cases[0]), real_types().size());
    tevo_backend_dev_t dev = cpu_device();
    for (const typed_case & tc : typed_cases) {
        const enum tevo_type t = tc.type;
        for (int n_threads : {1, 3}) {
            SCOPED_TRACE(testing::Message() << tevo_type_name(t) << ", " << n_threads << " threads");
            context_guard c;
            backend_guard b;
            tevo_backend_cpu_set_n_threads(b.backend, n_threads);
            auto run = [&](struct tevo_tensor * out) {
                struct tevo_cgraph * g = tevo_new_graph(c.ctx);
                tevo_build_forward_expand(g, out);
                ASSERT_EQ(tevo_backend_graph_compute(b.backend, g), TEVO_STATUS_SUCCESS);
            };

            // rows 3 and 0 of the table, widened to float (I32 kept as it is)
            struct tevo_tensor * table = typed_input(c.ctx, t, 1);
            struct tevo_tensor * ids   = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 2);
            ((int32_t *) ids->data)[0] = 3;
            ((int32_t *) ids->data)[1] = 0;
            struct tevo_tensor * rows  = tevo_get_rows(c.ctx, table, ids);
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, rows), tc.get_rows) << "GET_ROWS";
            if (tc.get_rows) {
                run(rows);
                for (int r = 0; r < 2; r++) {
                    const int src = r == 0 ? 3 : 0;
                    expect_same_floats(decode(rows->type, (char *) rows->data + r * rows->nb[1], 256),
                                       decode(t, (char *) table->data + src * table->nb[1], 256), "GET_ROWS");
                }
            }

            // x + y in x's type: the decoded sum, stored as that type stores floats
            struct tevo_tensor * x   = typed_input(c.ctx, t, 2);
            struct tevo_tensor * y   = typed_input(c.ctx, TEVO_TYPE_F32, 3);
            struct tevo_tensor * sum = tevo_add(c.ctx, x, y);
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, sum), tc.add) << "ADD";
            if (tc.add) {
                run(sum);
                for (int r = 0; r < 4; r++) {
                    std::vector<float>       want = decode(t, (char *) x->data + r * x->nb[1], 256);
                    const std::vector<float> yv   = decode(TEVO_TYPE_F32, (char *) y->data + r * y->nb[1], 256);
                    for (int i = 0; i < 256; i++) {
                        want[i] += yv[i];
                    }
                    const std::vector<uint8_t> stored = encode(t, want.data(), 256);
                    expect_same_floats(decode(t, (char *) sum->data + r * sum->nb[1], 256),
                                       decode(t, stored.data(), 256), "ADD");
                }
            }

            // into F32: the decoded rows
            struct tevo_tensor * wide = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 4);
            struct tevo_tensor * down = tevo_cpy(c.ctx, x, wide);
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, down), tc.to_f32) << "CPY to f32";
            if (tc.to_f32) {
                run(down);
                for (int r = 0; r < 4; r++) {
                    expect_same_floats(decode(TEVO_TYPE_F32, (char *) wide->data + r * wide->nb[1], 256),
                                       decode(t, (char *) x->data + r * x->nb[1], 256), "CPY to f32");
                }
            }

            // from F32: the rows as this type stores floats
            struct tevo_tensor * narrow = tevo_new_tensor_2d(c.ctx, t, 256, 4);
            struct tevo_tensor * up     = tevo_cpy(c.ctx, y, narrow);
            EXPECT_EQ(tevo_backend_dev_supports_op(dev, up), tc.from_f32) << "CPY from f32";
            if (tc.from_f32) {
                run(up);
                for (int r = 0; r < 4; r++) {
                    const std::vector<float>   yv     = decode(TEVO_TYPE_F32, (char *) y->data + r * y->nb[1], 256);
                    const std::vector<uint8_t> stored = encode(t, yv.data(), 256);
                    // byte for byte: q8_1 and q8_K rows cannot be decoded
                    EXPECT_EQ(memcmp((char *) narrow->data + r * narrow->nb[1], stored.data(), stored.size()), 0)
                        << "CPY from f32, row " << r;
                }
            }
        }
    }
}

// the refusals above are the kernels' own: computing such a node stops
TEST(CpuBackendDeathTest, RefusedGatherCopyAndAddStopTheKernels) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (enum tevo_type t : {TEVO_TYPE_Q8_1, TEVO_TYPE_Q8_K}) {
        SCOPED_TRACE(tevo_type_name(t));
        context_guard c;
        backend_guard b;
        struct tevo_tensor * x = tevo_new_tensor_2d(c.ctx, t, 256, 4);
        memset(x->data, 0, tevo_nbytes(x));
        struct tevo_tensor * ids = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 1);
        ((int32_t *) ids->data)[0] = 0;
        struct tevo_tensor * y     = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 4);
        const std::pair<const char *, struct tevo_tensor *> nodes[] = {
            {"GET_ROWS", tevo_get_rows(c.ctx, x, ids)},
            {"ADD", tevo_add(c.ctx, x, y)},
            {"CPY", tevo_cpy(c.ctx, x, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 256, 4))},
        };
        for (const auto & n : nodes) {
            EXPECT_FALSE(tevo_backend_dev_supports_op(cpu_device(), n.second)) << n.first;
            struct tevo_cgraph * g = tevo_new_graph(c.ctx);
            tevo_build_forward_expand(g, n.second);
            EXPECT_DEATH(tevo_backend_graph_compute(b.backend, g), "tevo/src/tevo-cpu/ops:[0-9]+: ") << n.first;
        }
    }
}

// ---------------------------------------------------------------------------
// the extra-buffer-type hooks, with a stand-in for the repacked weights

namespace {

struct fake_traits : tevo::cpu::tensor_traits {
    int    work_calls    = 0;
    int    compute_calls = 0;
    bool   handles       = true;
    bool work_size(int n_threads, const struct tevo_tensor * op, size_t & size) override {
        work_calls++;
        size = 1000 + n_threads;
        return handles;
    }
    bool compute_forward(struct tevo_compute_params * params, struct tevo_tensor * op) override {
        compute_calls++;
        return handles;
    }
};

struct fake_extra : tevo::cpu::extra_buffer_type {
    fake_traits traits;
    int         supports_calls = 0;
    bool        answer         = false;
    const struct tevo_tensor * claimed = NULL;  // the node it has traits for
    bool supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) override {
        supports_calls++;
        return answer;
    }
    tevo::cpu::tensor_traits * get_tensor_traits(const struct tevo_tensor * op) override {
        return op == claimed ? &traits : NULL;
    }
};

const char * fake_buft_name(tevo_backend_buffer_type_t) {
    return "FAKE_EXTRA";
}

}  // namespace

TEST(CpuBackend, ExtraBufferTypesTakeOverTheirNodes) {
    // the extension's array is a copy made once, before our stand-in joins
    auto get_extra = proc<tevo_backend_dev_get_extra_bufts_t>("tevo_backend_dev_get_extra_bufts");
    get_extra(cpu_device());

    fake_extra extra;
    struct tevo_backend_buffer_type buft = {};
    buft.iface.get_name = fake_buft_name;
    buft.context        = &extra;
    struct tevo_backend_buffer_type null_ctx_buft = {};
    null_ctx_buft.iface.get_name = fake_buft_name;

    auto &       list       = tevo_backend_cpu_get_extra_buffer_types();
    const size_t first_size = list.size();
    list.push_back(NULL);
    list.push_back(&null_ctx_buft);
    list.push_back(&buft);

    context_guard c;
    tevo_backend_dev_t dev = cpu_device();
    EXPECT_TRUE(tevo_backend_dev_supports_buft(dev, &buft));

    // a weight placed in the extra type: its answer decides, whatever the types
    struct tevo_backend_buffer_i no_slots = {};
    tevo_backend_buffer_t buffer = tevo_backend_buffer_init(&buft, no_slots, NULL, 0);
    struct tevo_tensor * w  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q4_0, 32, 4);
    struct tevo_tensor * x  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 32, 4);
    struct tevo_tensor * mm = node(c.ctx, TEVO_OP_MUL_MAT, TEVO_TYPE_F32, x, w);
    w->buffer               = buffer;
    extra.answer = true;
    EXPECT_TRUE(tevo_backend_dev_supports_op(dev, mm));
    extra.answer = false;
    EXPECT_FALSE(tevo_backend_dev_supports_op(dev, mm));
    EXPECT_EQ(extra.supports_calls, 2);
    // copy-free operators are answered before the extra types are asked
    EXPECT_TRUE(tevo_backend_dev_supports_op(dev, node(c.ctx, TEVO_OP_VIEW, TEVO_TYPE_Q4_0, w)));
    EXPECT_EQ(extra.supports_calls, 2);

    // the planning and compute hooks reach the traits of claimed nodes only
    size_t size = 0;
    EXPECT_FALSE(tevo_cpu_extra_work_size(3, mm, &size));
    EXPECT_FALSE(tevo_cpu_extra_compute_forward(NULL, mm));
    extra.claimed = mm;
    EXPECT_TRUE(tevo_cpu_extra_work_size(3, mm, &size));
    EXPECT_EQ(size, 1003u);
    EXPECT_TRUE(tevo_cpu_extra_compute_forward(NULL, mm));
    extra.traits.handles = false;
    EXPECT_FALSE(tevo_cpu_extra_work_size(3, mm, &size));
    EXPECT_FALSE(tevo_cpu_extra_compute_forward(NULL, mm));
    EXPECT_EQ(extra.traits.work_calls, 2);
    EXPECT_EQ(extra.traits.compute_calls, 2);

    // the extension's array stays as first built
    EXPECT_EQ(get_extra(dev)[0], tevo_backend_cpu_repack_buffer_type());
    EXPECT_EQ(get_extra(dev)[1], nullptr);

    list.resize(first_size);
    w->buffer = NULL;
    tevo_backend_buffer_free(buffer);
}

// ---------------------------------------------------------------------------
// computing graphs

namespace {

// C = A x permute(B) (non-contiguous rows), then D = reshape(C) x E: two
// products joined by copy-free operators.
struct small_graph {
    struct tevo_tensor * a, * b, * e, * c, * d;
    struct tevo_cgraph * graph;

    // in a no-allocation context the inputs get their data from whoever
    // allocates the graph (upload() then fills them)
    small_graph(struct tevo_context * ctx, enum tevo_type weight_type) {
        a = tevo_new_tensor_2d(ctx, weight_type, 7, 5);         // 5 rows of 7
        b = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 7, 2, 3);
        e = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 5, 4);
        if (!tevo_get_no_alloc(ctx)) {
            fill(a, 1);
            fill(b, 2);
            fill(e, 3);
        }
        tevo_set_input(a);
        tevo_set_input(b);
        tevo_set_input(e);
        struct tevo_tensor * bp = tevo_permute(ctx, b, 0, 2, 1, 3);  // [7, 3, 2]
        c = tevo_mul_mat(ctx, a, bp);                                 // [5, 3, 2]
        struct tevo_tensor * r = tevo_reshape_2d(ctx, c, 5, 6);
        d = tevo_mul_mat(ctx, r, e);                                  // [6, 4]
        tevo_set_output(c);
        tevo_set_output(d);
        graph = tevo_new_graph(ctx);
        tevo_build_forward_expand(graph, d);
    }

    // the input values through the backend's transfer path
    void upload() const {
        for (auto [t, salt] : {std::pair{a, 1}, std::pair{b, 2}, std::pair{e, 3}}) {
            std::vector<uint8_t> host(tevo_nbytes(t));
            for (int64_t i = 0; i < tevo_nelements(t); i++) {
                if (t->type == TEVO_TYPE_F16) {
                    ((tevo_fp16_t *) host.data())[i] = tevo_fp32_to_fp16(value_at(i, salt));
                } else {
                    ((float *) host.data())[i] = value_at(i, salt);
                }
            }
            tevo_backend_tensor_set(t, host.data(), 0, host.size());
        }
    }

    // against the input values as made, not as the inputs' memory holds them
    // afterwards (an allocator may reuse it once they are consumed)
    void check(bool half_weights) const {
        auto av = [&](int64_t k, int64_t i0) {
            const double v = value_at(i0 * 7 + k, 1);
            return half_weights ? as_half(v) : v;
        };
        auto bv = [&](int64_t k, int64_t i1, int64_t i2) { return (double) value_at(i2 * 14 + i1 * 7 + k, 2); };
        auto ev = [&](int64_t k, int64_t n) { return (double) value_at(n * 5 + k, 3); };

        // C[i2][i1][i0] = sum_k A[i0][k] * B[i1][i2][k], with B permuted
        for (int64_t i2 = 0; i2 < 2; i2++) {
            for (int64_t i1 = 0; i1 < 3; i1++) {
                for (int64_t i0 = 0; i0 < 5; i0++) {
                    double ref = 0;
                    for (int64_t k = 0; k < 7; k++) {
                        ref += av(k, i0) * (half_weights ? as_half(bv(k, i2, i1)) : bv(k, i2, i1));
                    }
                    EXPECT_NEAR(elem(c, i0, i1, i2), ref, half_weights ? 1e-4 : 1e-5) << i0 << " " << i1 << " " << i2;
                }
            }
        }
        // D[n][m] = sum_k C[m][k] * E[n][k], C seen as 6 rows of 5
        for (int64_t n = 0; n < 4; n++) {
            for (int64_t m = 0; m < 6; m++) {
                double ref = 0;
                for (int64_t k = 0; k < 5; k++) {
                    ref += ((const float *) c->data)[m * 5 + k] * ev(k, n);
                }
                EXPECT_NEAR(elem(d, m, n), ref, 1e-5) << m << " " << n;
            }
        }
    }
};

}  // namespace

TEST(CpuBackend, GraphComputeOverThreadCounts) {
    backend_guard b;
    for (enum tevo_type type : {TEVO_TYPE_F32, TEVO_TYPE_F16}) {
        for (int n_threads = 1; n_threads <= 8; n_threads++) {
            context_guard c;
            small_graph g(c.ctx, type);
            tevo_backend_cpu_set_n_threads(b.backend, n_threads);
            ASSERT_EQ(tevo_backend_graph_compute(b.backend, g.graph), TEVO_STATUS_SUCCESS);
            g.check(type == TEVO_TYPE_F16);
        }
    }
}

TEST(CpuBackend, GraphPlanComputesTheSameGraph) {
    backend_guard b;
    for (enum tevo_type type : {TEVO_TYPE_F32, TEVO_TYPE_F16}) {
        context_guard c;
        small_graph g(c.ctx, type);
        tevo_backend_cpu_set_n_threads(b.backend, 3);
        tevo_backend_graph_plan_t plan = tevo_backend_graph_plan_create(b.backend, g.graph);
        ASSERT_NE(plan, nullptr);
        ASSERT_EQ(tevo_backend_graph_plan_compute(b.backend, plan), TEVO_STATUS_SUCCESS);
        tevo_backend_graph_plan_free(b.backend, plan);
        g.check(type == TEVO_TYPE_F16);
        // the plan brings its own buffer; the backend's stays untouched
        EXPECT_EQ(b.ctx()->work_data, nullptr);
    }
}

TEST(CpuBackend, WorkBufferOnlyGrows) {
    backend_guard b;
    tevo_backend_cpu_set_n_threads(b.backend, 2);

    // F16 weights: src1 is converted to F16 in the work buffer, 2 bytes per value
    auto compute = [&](int64_t n_rows) {
        context_guard c;
        struct tevo_tensor * w = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 1024, 1);
        struct tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 1024, n_rows);
        fill(w, 4);
        fill(x, 5);
        struct tevo_tensor * y     = tevo_mul_mat(c.ctx, w, x);
        struct tevo_cgraph * graph = tevo_new_graph(c.ctx);
        tevo_build_forward_expand(graph, y);
        const struct tevo_cplan plan = tevo_graph_plan(graph, 2, NULL);
        EXPECT_EQ(tevo_backend_graph_compute(b.backend, graph), TEVO_STATUS_SUCCESS);
        // one output checked against the reference
        double ref = 0;
        for (int64_t k = 0; k < 1024; k++) {
            ref += elem(w, k, 0) * as_half(elem(x, k, n_rows - 1));
        }
        EXPECT_NEAR(elem(y, 0, n_rows - 1), ref, 1e-3);
        return plan.work_size;
    };

    const size_t big = compute(512);  // 1 MiB of converted rows
    EXPECT_EQ(big, 1024u * 512u * 2u + 64u * 2u);
    EXPECT_EQ(b.ctx()->work_size, big);
    uint8_t * data = b.ctx()->work_data;
    ASSERT_NE(data, nullptr);

    const size_t small = compute(256);  // 512 KiB
    EXPECT_LT(small, big);
    EXPECT_EQ(b.ctx()->work_data, data);
    EXPECT_EQ(b.ctx()->work_size, big);

    compute(1024);  // 2 MiB: grows
    EXPECT_EQ(b.ctx()->work_size, 1024u * 1024u * 2u + 64u * 2u);
}

TEST(CpuBackend, AbortCallbackStopsTheGraph) {
    backend_guard b;
    context_guard c;
    small_graph g(c.ctx, TEVO_TYPE_F32);
    memset(g.d->data, 0, tevo_nbytes(g.d));

    int calls = 0;
    tevo_backend_cpu_set_abort_callback(
        b.backend, [](void * data) { return ++*(int *) data >= 1; }, &calls);
    tevo_backend_cpu_set_n_threads(b.backend, 4);
    EXPECT_EQ(tevo_backend_graph_compute(b.backend, g.graph), TEVO_STATUS_ABORTED);
    EXPECT_EQ(calls, 1);
    // the second product never ran
    for (int64_t i = 0; i < tevo_nelements(g.d); i++) {
        EXPECT_EQ(((const float *) g.d->data)[i], 0.0f);
    }

    tevo_backend_cpu_set_abort_callback(b.backend, NULL, NULL);
    EXPECT_EQ(tevo_backend_graph_compute(b.backend, g.graph), TEVO_STATUS_SUCCESS);
    g.check(false);
}

TEST(CpuBackend, CallerThreadPool) {
    backend_guard b;
    struct tevo_threadpool_params params = tevo_threadpool_params_default(4);
    struct tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    tevo_backend_cpu_set_threadpool(b.backend, pool);
    for (int n_threads : {4, 2, 1}) {
        context_guard c;
        small_graph g(c.ctx, TEVO_TYPE_F16);
        tevo_backend_cpu_set_n_threads(b.backend, n_threads);
        ASSERT_EQ(tevo_backend_graph_compute(b.backend, g.graph), TEVO_STATUS_SUCCESS);
        g.check(true);
    }
    tevo_backend_cpu_set_threadpool(b.backend, NULL);
    tevo_threadpool_free(pool);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEVO_TEST_SANITIZED 1
#else
#define TEVO_TEST_SANITIZED 0
#endif

TEST(CpuBackend, WorkBufferThatCannotBeHadIsReported) {
    if (TEVO_TEST_SANITIZED) {
        GTEST_SKIP() << "the sanitizers' allocators stop the process on impossible sizes";
    }
    backend_guard b;
    tevo_backend_cpu_set_n_threads(b.backend, 2);

    // F16 weights and 2^46 F32 values: the converted copy would take 128 TiB,
    // more than the address space. Planning reads only shapes, so the tensors
    // need no data.
    struct tevo_init_params params = {16 * tevo_tensor_overhead() + tevo_graph_overhead(), NULL, true};
    struct tevo_context *   ctx    = tevo_init(params);
    struct tevo_tensor *    w      = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 1 << 23, 1);
    struct tevo_tensor *    x      = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 1 << 23, 1 << 23);
    struct tevo_cgraph *    graph  = tevo_new_graph(ctx);
    tevo_build_forward_expand(graph, tevo_mul_mat(ctx, w, x));

    EXPECT_EQ(tevo_backend_graph_compute(b.backend, graph), TEVO_STATUS_ALLOC_FAILED);
    // no stale size is left behind a missing buffer
    EXPECT_EQ(b.ctx()->work_data, nullptr);
    EXPECT_EQ(b.ctx()->work_size, 0u);
    EXPECT_EQ(tevo_backend_graph_plan_create(b.backend, graph), nullptr);
    tevo_free(ctx);

    // the backend still computes what fits
    context_guard c;
    small_graph g(c.ctx, TEVO_TYPE_F16);
    ASSERT_EQ(tevo_backend_graph_compute(b.backend, g.graph), TEVO_STATUS_SUCCESS);
    g.check(true);
    EXPECT_GT(b.ctx()->work_size, 0u);
}

TEST(CpuBackend, GraphThroughTheScheduler) {
    backend_guard b;
    tevo_backend_t backends[1] = {b.backend};
    tevo_backend_sched_t sched = tevo_backend_sched_new(backends, NULL, 1, 256, false, false);
    ASSERT_NE(sched, nullptr);
    for (enum tevo_type type : {TEVO_TYPE_F32, TEVO_TYPE_F16}) {
        for (int n_threads : {1, 3, 8}) {
            struct tevo_init_params params = {64 * tevo_tensor_overhead() + tevo_graph_overhead(), NULL, true};
            struct tevo_context *   ctx    = tevo_init(params);
            small_graph g(ctx, type);
            ASSERT_TRUE(tevo_backend_sched_alloc_graph(sched, g.graph));
            EXPECT_EQ(tevo_backend_sched_get_n_splits(sched), 1);
            g.upload();
            tevo_backend_cpu_set_n_threads(b.backend, n_threads);
            ASSERT_EQ(tevo_backend_sched_graph_compute(sched, g.graph), TEVO_STATUS_SUCCESS);
            // the compute buffers are host memory: the results are read in place
            ASSERT_NE(g.d->buffer, nullptr);
            EXPECT_TRUE(tevo_backend_buffer_is_host(g.d->buffer));
            g.check(type == TEVO_TYPE_F16);
            tevo_backend_sched_reset(sched);
            tevo_free(ctx);
        }
    }
    tevo_backend_sched_free(sched);
}
