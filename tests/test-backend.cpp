// Backend framework: dispatcher defaults of empty slots, NULL handles,
// transfers and their bounds, copies, the host buffer types, the
// multi-buffer, the critical section, tensor placement, and graph copy and
// comparison between two backends.

#include "test-backend-mock.h"

#include "tevo-alloc.h"
#include "backend/impl.h"
#include "tevo-backend.h"
#include "core/impl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using mock::assert_text;
using mock::fatal;

namespace {

struct Fixture : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override { ctx = mock::new_meta_ctx(128); }
    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * f32(int64_t n) { return tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, n); }

    // a fresh tensor placed in a new buffer of the given type
    tevo_tensor * placed(tevo_backend_buffer_type_t buft, int64_t n, tevo_backend_buffer_t * buf) {
        tevo_tensor * t = f32(n);
        *buf            = tevo_backend_buft_alloc_buffer(buft, tevo_nbytes(t));
        EXPECT_EQ(tevo_backend_tensor_alloc(*buf, t, tevo_backend_buffer_get_base(*buf)), TEVO_STATUS_SUCCESS);
        return t;
    }
};

// ---------------------------------------------------------------------------
// buffer types and buffers

TEST(Dispatch, EmptyBufferTypeSlotsTakeTheirDefaults) {
    mock::BufferType mt;
    tevo_context *   ctx = mock::new_meta_ctx();
    tevo_tensor *    t   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 3, 5);

    EXPECT_STREQ(tevo_backend_buft_name(mt.get()), "MOCK");
    EXPECT_EQ(tevo_backend_buft_get_max_size(mt.get()), SIZE_MAX);
    EXPECT_FALSE(tevo_backend_buft_is_host(mt.get()));
    EXPECT_EQ(tevo_backend_buft_get_alloc_size(mt.get(), t), tevo_nbytes(t));
    EXPECT_EQ(tevo_backend_buft_get_alignment(mt.get()), 32u);
    EXPECT_EQ(tevo_backend_buft_get_device(mt.get()), nullptr);
    tevo_free(ctx);
}

TEST(Dispatch, ZeroSizeBufferHasNoStorage) {
    mock::BufferType      mt;
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(mt.get(), 0);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(mt.ctx.n_alloc, 0);
    EXPECT_EQ(tevo_backend_buffer_get_size(buf), 0u);
    EXPECT_EQ(tevo_backend_buffer_get_base(buf), nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_type(buf), mt.get());
    EXPECT_EQ(tevo_backend_buffer_get_usage(buf), TEVO_BACKEND_BUFFER_USAGE_ANY);
    EXPECT_STREQ(tevo_backend_buffer_name(buf), "MOCK");
    EXPECT_EQ(buf->context, nullptr);
    tevo_backend_buffer_clear(buf, 1); // nothing to clear, no slot called
    tevo_backend_buffer_reset(buf);
    tevo_backend_buffer_free(buf);
    EXPECT_EQ(mt.ctx.n_free, 0);
}

TEST(Dispatch, EmptyBufferSlotsTakeTheirDefaults) {
    mock::BufferType      mt;
    tevo_backend_buffer_i none = {};
    tevo_backend_buffer_t buf  = tevo_backend_buffer_init(mt.get(), none, nullptr, 16);
    tevo_context *        ctx  = mock::new_meta_ctx();
    tevo_tensor *         t    = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    tevo_tensor *         u    = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 4);
    t->buffer                  = buf;

    EXPECT_EQ(tevo_backend_buffer_get_base(buf), nullptr);
    EXPECT_EQ(tevo_backend_buffer_init_tensor(buf, t), TEVO_STATUS_SUCCESS);
    EXPECT_FALSE(tevo_backend_buffer_copy_tensor(u, t));
    EXPECT_EQ(tevo_backend_buffer_get_alignment(buf), 32u);
    EXPECT_EQ(tevo_backend_buffer_get_max_size(buf), SIZE_MAX);
    EXPECT_FALSE(tevo_backend_buffer_is_host(buf));
    EXPECT_FALSE(tevo_backend_buffer_is_multi_buffer(buf));
    tevo_backend_buffer_reset(buf);
    tevo_backend_buffer_free(buf);
    tevo_free(ctx);
}

TEST(DispatchDeath, BaseMustNotBeNull) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    mock::BufferType      mt;
    tevo_backend_buffer_i iface = {};
    iface.get_base              = [](tevo_backend_buffer_t) -> void * { return nullptr; };
    tevo_backend_buffer_t buf   = tevo_backend_buffer_init(mt.get(), iface, nullptr, 16);
    EXPECT_DEATH(tevo_backend_buffer_get_base(buf),
                 fatal("tevo/src/tevo-backend:") + "[0-9]+" +
                     fatal(": TEVO_ASSERT(base != NULL && \"backend buffer base cannot be NULL\") failed"));
    tevo_backend_buffer_free(buf);
}

TEST(Dispatch, AllocSizeLargerThanTheSpan) {
    mock::BufferType mt({ "PAD", 32, 0, false, 32 });
    tevo_context *   ctx = mock::new_meta_ctx();
    tevo_tensor *    a   = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 4);
    tevo_tensor *    q   = tevo_new_tensor_1d(ctx, TEVO_TYPE_Q4_0, 64);
    tevo_tensor *    mm  = tevo_mul_mat(ctx, a, a);
    tevo_tensor *    add = tevo_add(ctx, a, a);

    // plain leaves, quantized rows and operators that may need scratch room
    EXPECT_EQ(tevo_backend_buft_get_alloc_size(mt.get(), a), tevo_nbytes(a) + 32);
    EXPECT_EQ(tevo_backend_buft_get_alloc_size(mt.get(), q), tevo_nbytes(q) + 32);
    EXPECT_EQ(tevo_backend_buft_get_alloc_size(mt.get(), mm), tevo_nbytes(mm) + 32);
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_buft_get_alloc_size(mt.get(), add),
                 assert_text("size <= tevo_nbytes(tensor) || tevo_op_is_empty(tensor->op) || "
                             "tevo_is_quantized(tensor->type) || tevo_op_alloc_size_may_expand(tensor->op)"));
    tevo_free(ctx);
}

TEST(Dispatch, OperatorsWhoseSizeMayExpand) {
    int n = 0;
    for (int op = 0; op < TEVO_OP_COUNT; op++) {
        n += tevo_op_alloc_size_may_expand((tevo_op) op);
    }
    EXPECT_EQ(n, 6);
    for (tevo_op op : { TEVO_OP_CUMSUM, TEVO_OP_MUL_MAT, TEVO_OP_MUL_MAT_ID, TEVO_OP_ARGSORT, TEVO_OP_TOP_K,
                        TEVO_OP_FLASH_ATTN_EXT }) {
        EXPECT_TRUE(tevo_op_alloc_size_may_expand(op));
    }
}

// ---------------------------------------------------------------------------
// backends, devices, registries, events

tevo_status aborted_compute(tevo_backend_t, tevo_cgraph *) {
    return TEVO_STATUS_ABORTED;
}

TEST(Dispatch, EmptyBackendSlotsTakeTheirDefaults) {
    mock::BufferType mt;
    mock::Backend    be(mt.get());
    tevo_backend_t   backend      = be.get();
    backend->iface.synchronize    = nullptr;
    backend->iface.graph_compute  = aborted_compute;

    tevo_cgraph g = {};
    // the compute status comes back even without a synchronize slot
    EXPECT_EQ(tevo_backend_graph_compute(backend, &g), TEVO_STATUS_ABORTED);
    EXPECT_EQ(tevo_backend_graph_compute_async(backend, &g), TEVO_STATUS_ABORTED);
    tevo_backend_synchronize(backend);

    EXPECT_STREQ(tevo_backend_name(backend), "TEST");
    EXPECT_EQ(tevo_backend_get_device(backend), &be.dev);
    EXPECT_EQ(tevo_backend_get_default_buffer_type(backend), mt.get());
    EXPECT_EQ(tevo_backend_get_alignment(backend), 32u);
    EXPECT_EQ(tevo_backend_get_max_size(backend), SIZE_MAX);
    EXPECT_TRUE(tevo_backend_supports_op(backend, nullptr));
    EXPECT_FALSE(tevo_backend_offload_op(backend, nullptr));

    tevo_backend_buffer_t buf = tevo_backend_alloc_buffer(backend, 100);
    EXPECT_EQ(tevo_backend_buffer_get_type(buf), mt.get());
    EXPECT_EQ(mt.ctx.alloc_sizes, std::vector<size_t>{ 100 });
    tevo_backend_buffer_free(buf);

    EXPECT_EQ(tevo_backend_dev_host_buffer_type(&be.dev), nullptr);
    EXPECT_FALSE(tevo_backend_dev_offload_op(&be.dev, nullptr));
    EXPECT_EQ(tevo_backend_event_new(&be.dev), nullptr);
    EXPECT_EQ(tevo_backend_dev_backend_reg(&be.dev), nullptr);
}

TEST(Dispatch, GraphComputeSynchronizesAfterwards) {
    mock::BufferType mt;
    mock::Backend    be(mt.get());
    tevo_cgraph      g = {};
    EXPECT_EQ(tevo_backend_graph_compute(be.get(), &g), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(be.ctx.n_compute, 1);
    EXPECT_EQ(be.ctx.n_sync, 1);
    EXPECT_EQ(tevo_backend_graph_compute_async(be.get(), &g), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(be.ctx.n_sync, 1);
}

TEST(DispatchDeath, EmptyBackendSlotsThatAreFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    mock::BufferType mt;
    mock::Backend    be(mt.get());
    tevo_backend_t   b = be.get();
    tevo_cgraph      g = {};
    tevo_backend_event ev = { &be.dev, nullptr };

    EXPECT_DEATH(tevo_backend_graph_plan_create(b, &g), assert_text("backend->iface.graph_plan_create != NULL"));
    EXPECT_DEATH(tevo_backend_graph_plan_free(b, nullptr), assert_text("backend->iface.graph_plan_free != NULL"));
    EXPECT_DEATH(tevo_backend_graph_plan_compute(b, nullptr),
                 assert_text("backend->iface.graph_plan_compute != NULL"));
    EXPECT_DEATH(tevo_backend_event_record(&ev, b), assert_text("backend->iface.event_record != NULL"));
    EXPECT_DEATH(tevo_backend_event_wait(b, &ev), assert_text("backend->iface.event_wait != NULL"));
    EXPECT_DEATH(tevo_backend_event_synchronize(&ev), assert_text("event->device->iface.event_synchronize"));
}

TEST(Dispatch, NullHandles) {
    EXPECT_STREQ(tevo_backend_name(nullptr), "NULL");
    EXPECT_EQ(tevo_backend_guid(nullptr), nullptr);
    EXPECT_EQ(tevo_backend_event_new(nullptr), nullptr);
    tevo_backend_free(nullptr);
    tevo_backend_buffer_free(nullptr);
    tevo_backend_event_free(nullptr);
    EXPECT_FALSE(tevo_backend_buffer_is_meta(nullptr));
}

TEST(DispatchDeath, NullHandleIsNamedInTheAssertion) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    const std::vector<std::pair<std::function<void()>, const char *>> cases = {
        { [] { tevo_backend_buft_name(nullptr); }, "buft" },
        { [] { tevo_backend_buft_alloc_buffer(nullptr, 8); }, "buft" },
        { [] { tevo_backend_buffer_get_size(nullptr); }, "buffer" },
        { [] { tevo_backend_buffer_clear(nullptr, 0); }, "buffer" },
        { [] { tevo_backend_get_device(nullptr); }, "backend" },
        { [] { tevo_backend_synchronize(nullptr); }, "backend" },
        { [] { tevo_backend_dev_name(nullptr); }, "device" },
        { [] { tevo_backend_dev_get_props(nullptr, nullptr); }, "device" },
        { [] { tevo_backend_reg_name(nullptr); }, "reg" },
        { [] { tevo_backend_reg_get_proc_address(nullptr, "x"); }, "reg" },
        { [] { tevo_backend_event_synchronize(nullptr); }, "event" },
    };
    for (const auto & c : cases) {
        EXPECT_DEATH(c.first(), assert_text(c.second)) << c.second;
    }
}

struct EventDevice {
    tevo_backend_device dev   = {};
    int                 n_new = 0, n_free = 0, n_sync = 0;

    static EventDevice * of(tevo_backend_dev_t d) { return (EventDevice *) d->context; }

    EventDevice() {
        dev.context                 = this;
        dev.iface.event_new         = [](tevo_backend_dev_t d) -> tevo_backend_event_t {
            of(d)->n_new++;
            return new tevo_backend_event{ d, nullptr };
        };
        dev.iface.event_free        = [](tevo_backend_dev_t d, tevo_backend_event_t e) {
            of(d)->n_free++;
            delete e;
        };
        dev.iface.event_synchronize = [](tevo_backend_dev_t d, tevo_backend_event_t) { of(d)->n_sync++; };
    }
};

TEST(Dispatch, EventsGoThroughTheirDevice) {
    EventDevice          ed;
    tevo_backend_event_t ev = tevo_backend_event_new(&ed.dev);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->device, &ed.dev);
    tevo_backend_event_synchronize(ev);
    tevo_backend_event_free(ev);
    EXPECT_EQ(ed.n_new, 1);
    EXPECT_EQ(ed.n_sync, 1);
    EXPECT_EQ(ed.n_free, 1);
}

TEST(Dispatch, DevicePropertiesStartZeroed) {
    tevo_backend_device dev = {};
    dev.iface.get_props     = [](tevo_backend_dev_t, tevo_backend_dev_props * p) {
        p->name             = "only the name";
        p->caps.events      = true;
    };
    tevo_backend_dev_props props;
    memset(&props, 0x5A, sizeof(props));
    tevo_backend_dev_get_props(&dev, &props);
    EXPECT_STREQ(props.name, "only the name");
    EXPECT_EQ(props.description, nullptr);
    EXPECT_EQ(props.memory_free, 0u);
    EXPECT_EQ(props.memory_total, 0u);
    EXPECT_EQ(props.type, TEVO_BACKEND_DEVICE_TYPE_CPU);
    EXPECT_EQ(props.device_id, nullptr);
    EXPECT_FALSE(props.caps.async);
    EXPECT_FALSE(props.caps.host_buffer);
    EXPECT_FALSE(props.caps.buffer_from_host_ptr);
    EXPECT_TRUE(props.caps.events);
    EXPECT_FALSE(props.caps.reserved);
}

TEST(Dispatch, DeviceAndRegistrySlots) {
    static tevo_backend_device dev = {};
    static tevo_backend_reg    reg = {};
    dev.iface.get_name             = [](tevo_backend_dev_t) { return "DEV"; };
    dev.iface.get_description      = [](tevo_backend_dev_t) { return "a device"; };
    dev.iface.get_memory           = [](tevo_backend_dev_t, size_t * f, size_t * t) {
        *f = 1;
        *t = 2;
    };
    dev.iface.get_type             = [](tevo_backend_dev_t) { return TEVO_BACKEND_DEVICE_TYPE_ACCEL; };
    dev.iface.supports_buft        = [](tevo_backend_dev_t, tevo_backend_buffer_type_t b) { return b != nullptr; };
    dev.iface.offload_op           = [](tevo_backend_dev_t, const tevo_tensor *) { return true; };
    dev.reg                        = &reg;
    reg.api_version                = TEVO_BACKEND_API_VERSION;
    reg.iface.get_name             = [](tevo_backend_reg_t) { return "REG"; };
    reg.iface.get_device_count     = [](tevo_backend_reg_t) -> size_t { return 1; };
    reg.iface.get_device           = [](tevo_backend_reg_t, size_t) -> tevo_backend_dev_t { return &dev; };

    EXPECT_STREQ(tevo_backend_dev_name(&dev), "DEV");
    EXPECT_STREQ(tevo_backend_dev_description(&dev), "a device");
    size_t f = 0, t = 0;
    tevo_backend_dev_memory(&dev, &f, &t);
    EXPECT_EQ(f, 1u);
    EXPECT_EQ(t, 2u);
    EXPECT_EQ(tevo_backend_dev_type(&dev), TEVO_BACKEND_DEVICE_TYPE_ACCEL);
    EXPECT_TRUE(tevo_backend_dev_supports_buft(&dev, tevo_backend_cpu_buffer_type()));
    EXPECT_TRUE(tevo_backend_dev_offload_op(&dev, nullptr));
    EXPECT_EQ(tevo_backend_dev_backend_reg(&dev), &reg);

    EXPECT_STREQ(tevo_backend_reg_name(&reg), "REG");
    EXPECT_EQ(tevo_backend_reg_dev_count(&reg), 1u);
    EXPECT_EQ(tevo_backend_reg_dev_get(&reg, 0), &dev);
    EXPECT_EQ(tevo_backend_reg_get_proc_address(&reg, "tevo_backend_set_n_threads"), nullptr);
    reg.iface.get_proc_address = [](tevo_backend_reg_t, const char * name) -> void * {
        return strcmp(name, "x") == 0 ? (void *) &reg : nullptr;
    };
    EXPECT_EQ(tevo_backend_reg_get_proc_address(&reg, "x"), (void *) &reg);
}

// ---------------------------------------------------------------------------
// transfers

struct Transfer : Fixture {};

TEST_F(Transfer, BoundsOfPlainReadsAndWrites) {
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(tevo_backend_cpu_buffer_type(), 16, &buf);

    const float in = 3.5f;
    float       out = 0.0f;
    tevo_backend_tensor_set(t, &in, 60, 4);
    tevo_backend_tensor_get(t, &out, 60, 4);
    EXPECT_EQ(out, 3.5f);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    char tmp[8] = {};
    EXPECT_DEATH(tevo_backend_tensor_set(t, tmp, 60, 5),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""));
    EXPECT_DEATH(tevo_backend_tensor_get(t, tmp, 61, 4),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\""));
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, ZeroBytesNeedABufferButNoData) {
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 64);
    tevo_tensor *         t   = f32(16);
    t->buffer                 = buf; // placed nowhere yet
    tevo_backend_tensor_set(t, nullptr, 1000, 0);
    tevo_backend_tensor_get(t, nullptr, 1000, 0);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    float v = 0;
    EXPECT_DEATH(tevo_backend_tensor_set(t, &v, 0, 4), assert_text("tensor->data != NULL && \"tensor not allocated\""));
    tevo_tensor * loose = f32(16);
    EXPECT_DEATH(tevo_backend_tensor_set(loose, &v, 0, 0),
                 assert_text("buf != NULL && \"tensor buffer not set\""));
    EXPECT_DEATH(tevo_backend_tensor_get(loose, &v, 0, 0),
                 assert_text("buf != NULL && \"tensor buffer not set\""));
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, ViewsWriteIntoTheirSourcesBuffer) {
    tevo_tensor * a = f32(16);
    tevo_tensor * v = tevo_view_1d(ctx, a, 4, 32);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    const float in[4] = { 1, 2, 3, 4 };
    tevo_backend_tensor_set(v, in, 0, sizeof(in));
    float all[16];
    tevo_backend_tensor_get(a, all, 0, sizeof(all));
    EXPECT_EQ(all[8], 1.0f);
    EXPECT_EQ(all[11], 4.0f);
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, AsyncChecksBoundsBeforeAnything) {
    mock::Backend         be(tevo_backend_cpu_buffer_type());
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(tevo_backend_cpu_buffer_type(), 16, &buf);

    const float in = 7.0f;
    tevo_backend_tensor_set_async(be.get(), t, &in, 4, 4);
    EXPECT_EQ(be.ctx.n_sync, 1); // no async slot: synchronize, then write
    float out = 0;
    tevo_backend_tensor_get_async(be.get(), t, &out, 4, 4);
    EXPECT_EQ(out, 7.0f);
    EXPECT_EQ(be.ctx.n_sync, 2);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_set_async(be.get(), t, &in, 65, 0),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""));
    EXPECT_DEATH(tevo_backend_tensor_get_async(be.get(), t, &out, 65, 0),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\""));
    tevo_tensor * loose = f32(4);
    EXPECT_DEATH(tevo_backend_tensor_set_async(be.get(), loose, &in, 0, 0),
                 assert_text("tensor->data != NULL && \"tensor not allocated\""));
    EXPECT_DEATH(tevo_backend_tensor_set_async(nullptr, t, &in, 0, 0), assert_text("backend"));
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, StridedWithTheBuffersSlot) {
    mock::BufferType      mt({ "MOCK2D", 32, 0, false, 0, true });
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(mt.get(), 16, &buf);

    const float in[6] = { 1, 2, 3, 4, 5, 6 };
    // one block: a plain write, not the slot
    tevo_backend_tensor_set_2d(t, in, 0, 8, 1, 16, 8);
    EXPECT_EQ(mt.ctx.n_set_2d, 0);
    EXPECT_EQ(mt.ctx.sets.size(), 1u);

    // three blocks of two floats, every fourth float of the tensor
    tevo_backend_tensor_set_2d(t, in, 4, 8, 3, 16, 8);
    EXPECT_EQ(mt.ctx.n_set_2d, 1);
    float out[16];
    tevo_backend_tensor_get_2d(t, out, 0, 64, 1, 0, 0);
    EXPECT_EQ(out[1], 1.0f);
    EXPECT_EQ(out[2], 2.0f);
    EXPECT_EQ(out[5], 3.0f);
    EXPECT_EQ(out[10], 6.0f);

    float blk[6] = {};
    tevo_backend_tensor_get_2d(t, blk, 4, 8, 3, 16, 8);
    EXPECT_EQ(mt.ctx.n_get_2d, 1);
    EXPECT_EQ(blk[4], 5.0f);

    // zero bytes or copies return before the checks
    tevo_backend_tensor_set_2d(t, in, 1000, 0, 3, 16, 8);
    tevo_backend_tensor_set_2d(t, in, 1000, 8, 0, 16, 8);
    EXPECT_EQ(mt.ctx.n_set_2d, 1);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_set_2d(t, in, 4, 8, 3, 28, 8),
                 assert_text("offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor write "
                             "out of bounds\""));
    EXPECT_DEATH(tevo_backend_tensor_get_2d(t, blk, 4, 8, 3, 28, 8),
                 assert_text("offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor read "
                             "out of bounds\""));
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, StridedWithoutTheSlotWritesBlockByBlock) {
    mock::BufferType      mt;
    mock::Backend         be(mt.get());
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(mt.get(), 16, &buf);

    const float in[6] = { 1, 2, 3, 4, 5, 6 };
    tevo_backend_tensor_set_2d(t, in, 4, 8, 3, 16, 8);
    ASSERT_EQ(mt.ctx.sets.size(), 3u);
    EXPECT_EQ(mt.ctx.sets[2], (std::pair<size_t, size_t>{ 36, 8 }));

    tevo_backend_tensor_set_2d_async(be.get(), t, in, 0, 4, 2, 32, 4);
    ASSERT_EQ(mt.ctx.sets.size(), 5u);
    EXPECT_EQ(mt.ctx.sets[4], (std::pair<size_t, size_t>{ 32, 4 }));

    float out[2] = {};
    tevo_backend_tensor_get_2d_async(be.get(), t, out, 36, 4, 2, 16, 4);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(out[1], 0.0f);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    // each block is checked on its own
    EXPECT_DEATH(tevo_backend_tensor_set_2d(t, in, 4, 8, 3, 28, 8),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""));
    tevo_backend_buffer_free(buf);
}

TEST_F(Transfer, Memset) {
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(tevo_backend_cpu_buffer_type(), 4, &buf);
    tevo_backend_tensor_memset(t, 0xFF, 4, 8);
    uint8_t out[16];
    tevo_backend_tensor_get(t, out, 0, 16);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(out[11], 0xFF);
    EXPECT_EQ(out[12], 0);

    tevo_tensor * loose = f32(4);
    tevo_backend_tensor_memset(loose, 0, 0, 0); // nothing to do, nothing checked

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_memset(t, 0, 8, 9),
                 assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""));
    EXPECT_DEATH(tevo_backend_tensor_memset(loose, 0, 0, 4), assert_text("buf != NULL && \"tensor buffer not set\""));
    buf->iface.memset_tensor = nullptr;
    EXPECT_DEATH(tevo_backend_tensor_memset(t, 0, 0, 4),
                 assert_text("buf->iface.memset_tensor != NULL && \"memset not implemented by backend buffer\""));
    tevo_backend_buffer_free(buf);
}

// An offset so large that offset + size wraps around to a small number must
// still be refused, not turned into a write before or far past the tensor.
TEST_F(Transfer, WrappingOffsetsAreOutOfBounds) {
    mock::BufferType      mt({ "MOCK2D", 32, 0, false, 0, true });
    mock::Backend         be(mt.get());
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(mt.get(), 16, &buf);

    const std::string write = assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\"");
    const std::string read  = assert_text("offset + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\"");
    const std::string write_2d = assert_text(
        "offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\"");
    const std::string read_2d = assert_text(
        "offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\"");

    char         tmp[16] = {};
    const size_t huge    = SIZE_MAX - 1; // huge + 4 wraps to 2

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_set(t, tmp, huge, 4), write);
    EXPECT_DEATH(tevo_backend_tensor_get(t, tmp, huge, 4), read);
    EXPECT_DEATH(tevo_backend_tensor_set_async(be.get(), t, tmp, huge, 4), write);
    EXPECT_DEATH(tevo_backend_tensor_get_async(be.get(), t, tmp, huge, 4), read);
    EXPECT_DEATH(tevo_backend_tensor_memset(t, 0, huge, 4), write);
    // a stride whose product wraps, and an offset that wraps the sum
    EXPECT_DEATH(tevo_backend_tensor_set_2d(t, tmp, 0, 4, 3, SIZE_MAX / 2 + 1, 4), write_2d);
    EXPECT_DEATH(tevo_backend_tensor_get_2d(t, tmp, huge, 4, 2, 4, 4), read_2d);

    // the largest offsets that still fit keep working
    const float in = 2.5f;
    float       out = 0.0f;
    tevo_backend_tensor_set(t, &in, 60, 4);
    tevo_backend_tensor_get_2d(t, &out, 60, 4, 2, 0, 0);
    EXPECT_EQ(out, 2.5f);
    tevo_backend_buffer_free(buf);
}

// ---------------------------------------------------------------------------
// copies

struct Copy : Fixture {};

TEST_F(Copy, OntoItselfDoesNothing) {
    mock::BufferType      mt;
    tevo_backend_buffer_t buf;
    tevo_tensor *         t = placed(mt.get(), 4, &buf);
    tevo_backend_tensor_copy(t, t);
    tevo_backend_tensor_copy_async(nullptr, nullptr, t, t);
    EXPECT_TRUE(mt.ctx.sets.empty());
    EXPECT_TRUE(mt.ctx.gets.empty());
    tevo_backend_buffer_free(buf);
}

TEST_F(Copy, LayoutsMustMatch) {
    tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 4);
    tevo_tensor * b = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 4);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_cpu_buffer_type());
    tevo_tensor * bt = tevo_transpose(ctx, b); // same shape, other strides
    ASSERT_EQ(tevo_backend_view_init(bt), TEVO_STATUS_SUCCESS);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    const std::string text =
        assert_text("tevo_are_same_layout(src, dst) && \"cannot copy tensors with different layouts\"");
    EXPECT_DEATH(tevo_backend_tensor_copy(a, bt), text);
    EXPECT_DEATH(tevo_backend_tensor_copy_async(nullptr, nullptr, a, bt), text);
    tevo_backend_buffer_free(buf);
}

TEST_F(Copy, HostSourceIsWrittenIntoTheDestination) {
    mock::BufferType      mt;
    tevo_backend_buffer_t hbuf, dbuf;
    tevo_tensor *         h = placed(tevo_backend_cpu_buffer_type(), 8, &hbuf);
    tevo_tensor *         d = placed(mt.get(), 8, &dbuf);
    for (int i = 0; i < 8; i++) {
        ((float *) h->data)[i] = (float) i;
    }
    tevo_backend_tensor_copy(h, d);
    EXPECT_EQ(mt.ctx.sets, (std::vector<std::pair<size_t, size_t>>{ { 0, 32 } }));
    EXPECT_EQ(memcmp(h->data, d->data, 32), 0);

    // and back: the host destination reads the source
    memset(h->data, 0, 32);
    tevo_backend_tensor_copy(d, h);
    EXPECT_EQ(mt.ctx.gets, (std::vector<std::pair<size_t, size_t>>{ { 0, 32 } }));
    EXPECT_EQ(((float *) h->data)[7], 7.0f);
    tevo_backend_buffer_free(hbuf);
    tevo_backend_buffer_free(dbuf);
}

TEST_F(Copy, BetweenForeignBuffersGoesThroughHostMemory) {
    mock::BufferType      m1({ "M1" });
    mock::BufferType      m2({ "M2" });
    tevo_backend_buffer_t b1, b2;
    tevo_tensor *         s = placed(m1.get(), 10, &b1);
    tevo_tensor *         d = placed(m2.get(), 10, &b2);
    const float           in[10] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };
    tevo_backend_tensor_set(s, in, 0, sizeof(in));
    m1.ctx.sets.clear();

    tevo_backend_tensor_copy(s, d);
    EXPECT_EQ(m1.ctx.gets, (std::vector<std::pair<size_t, size_t>>{ { 0, 40 } }));
    EXPECT_EQ(m2.ctx.sets, (std::vector<std::pair<size_t, size_t>>{ { 0, 40 } }));
    EXPECT_EQ(memcmp(d->data, in, 40), 0);

    // a CPU buffer cannot copy out of foreign memory by itself either
    tevo_backend_buffer_t hb;
    tevo_tensor *         h = placed(tevo_backend_cpu_buffer_type(), 10, &hb);
    EXPECT_FALSE(tevo_backend_buffer_copy_tensor(s, h));
    tevo_backend_buffer_t hb2;
    tevo_tensor *         h2 = placed(tevo_backend_cpu_buffer_type(), 10, &hb2);
    EXPECT_TRUE(tevo_backend_buffer_copy_tensor(h2, h));
    tevo_backend_buffer_free(b1);
    tevo_backend_buffer_free(b2);
    tevo_backend_buffer_free(hb);
    tevo_backend_buffer_free(hb2);
}

TEST_F(Copy, FailedTemporaryIsAClearError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator reports the huge request itself";
#endif
    mock::BufferType      m1({ "M1" });
    mock::BufferType      m2({ "M2" });
    tevo_backend_buffer_t b1 = tevo_backend_buft_alloc_buffer(m1.get(), 64);
    tevo_backend_buffer_t b2 = tevo_backend_buft_alloc_buffer(m2.get(), 64);
    // a span no host can hold; the copy must not get as far as the data
    tevo_tensor * s = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, INT64_C(1) << 60);
    tevo_tensor * d = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, INT64_C(1) << 60);
    s->buffer       = b1;
    s->data         = tevo_backend_buffer_get_base(b1);
    d->buffer       = b2;
    d->data         = tevo_backend_buffer_get_base(b2);
    tevo_set_name(s, "huge");

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_copy(s, d),
                 fatal("tevo_backend_tensor_copy: failed to allocate 4611686018427387904 bytes of host memory to "
                       "copy huge") +
                     ".*" + fatal("failed to allocate host memory for a tensor copy"));
    tevo_backend_buffer_free(b1);
    tevo_backend_buffer_free(b2);
}

TEST_F(Copy, AsyncUsesTheDestinationSlotFirst) {
    mock::BufferType      mt;
    mock::Backend         src_be(tevo_backend_cpu_buffer_type());
    mock::Backend         dst_be(mt.get(), true);
    tevo_backend_buffer_t hb, db;
    tevo_tensor *         h = placed(tevo_backend_cpu_buffer_type(), 4, &hb);
    tevo_tensor *         d = placed(mt.get(), 4, &db);

    dst_be.ctx.cpy_async_done = true;
    tevo_backend_tensor_copy_async(src_be.get(), dst_be.get(), h, d);
    EXPECT_EQ(dst_be.ctx.n_cpy_async, 1);
    EXPECT_EQ(src_be.ctx.n_sync + dst_be.ctx.n_sync, 0);
    EXPECT_TRUE(mt.ctx.sets.empty());

    // a refusal synchronizes both queues and copies synchronously
    dst_be.ctx.cpy_async_done = false;
    tevo_backend_tensor_copy_async(src_be.get(), dst_be.get(), h, d);
    EXPECT_EQ(dst_be.ctx.n_cpy_async, 2);
    EXPECT_EQ(src_be.ctx.n_sync, 1);
    EXPECT_EQ(dst_be.ctx.n_sync, 1);
    EXPECT_EQ(mt.ctx.sets.size(), 1u);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_tensor_copy_async(src_be.get(), nullptr, h, d), assert_text("backend_dst"));
    tevo_backend_buffer_free(hb);
    tevo_backend_buffer_free(db);
}

// ---------------------------------------------------------------------------
// host buffer types, multi-buffer, critical section

TEST(HostBuffers, CpuBufferType) {
    tevo_backend_buffer_type_t cpu = tevo_backend_cpu_buffer_type();
    EXPECT_STREQ(tevo_backend_buft_name(cpu), "CPU");
    EXPECT_EQ(tevo_backend_buft_get_alignment(cpu), 32u);
    EXPECT_EQ(tevo_backend_buft_get_max_size(cpu), SIZE_MAX);
    EXPECT_TRUE(tevo_backend_buft_is_host(cpu));
    EXPECT_EQ(tevo_backend_buft_get_device(cpu), nullptr);
    EXPECT_EQ(tevo_backend_cpu_buffer_type(), cpu);

    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(cpu, 100);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ((uintptr_t) tevo_backend_buffer_get_base(buf) % 32, 0u);
    EXPECT_EQ(tevo_backend_buffer_get_size(buf), 100u);
    tevo_backend_buffer_clear(buf, 0x7E);
    EXPECT_EQ(((uint8_t *) tevo_backend_buffer_get_base(buf))[99], 0x7E);
    tevo_backend_buffer_free(buf);
}

TEST(HostBuffers, CpuAllocationFailureGivesNull) {
    EXPECT_EQ(tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), SIZE_MAX / 2), nullptr);
}

TEST(HostBuffers, MappedBufferOverCallerMemory) {
    alignas(32) static uint8_t mem[64];
    memset(mem, 0x11, sizeof(mem));
    tevo_backend_buffer_t buf = tevo_backend_cpu_buffer_from_ptr(mem, sizeof(mem));
    EXPECT_STREQ(tevo_backend_buffer_name(buf), "CPU_Mapped");
    EXPECT_EQ(tevo_backend_buffer_get_base(buf), (void *) mem);
    EXPECT_TRUE(tevo_backend_buffer_is_host(buf));

    tevo_context * ctx = mock::new_meta_ctx();
    tevo_tensor *  t   = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 16);
    ASSERT_EQ(tevo_backend_tensor_alloc(buf, t, mem), TEVO_STATUS_SUCCESS);
    const float v = 2.5f;
    tevo_backend_tensor_set(t, &v, 8, 4);
    float out = 0;
    tevo_backend_tensor_get(t, &out, 8, 4);
    EXPECT_EQ(out, 2.5f);
    EXPECT_EQ(memcmp(mem + 8, &v, 4), 0);

    tevo_backend_buffer_free(buf);
    EXPECT_EQ(memcmp(mem + 8, &v, 4), 0);
    EXPECT_EQ(mem[0], 0x11);
    tevo_free(ctx);
}

TEST(HostBuffersDeath, MisalignedPointerIsRejected) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    alignas(32) static uint8_t mem[96];
    EXPECT_DEATH(tevo_backend_cpu_buffer_from_ptr(mem + 16, 64),
                 assert_text("(uintptr_t)ptr % TENSOR_ALIGNMENT == 0 && \"buffer pointer must be aligned\""));
}

TEST(HostBuffers, MultiBufferOwnsItsParts) {
    mock::BufferType      mt;
    tevo_backend_buffer_t parts[2] = { tevo_backend_buft_alloc_buffer(mt.get(), 100),
                                       tevo_backend_buft_alloc_buffer(mt.get(), 0) };
    tevo_backend_buffer_t multi    = tevo_backend_multi_buffer_alloc_buffer(parts, 2);
    EXPECT_TRUE(tevo_backend_buffer_is_multi_buffer(multi));
    EXPECT_FALSE(tevo_backend_buffer_is_multi_buffer(parts[0]));
    EXPECT_EQ(tevo_backend_buffer_get_size(multi), 100u);
    EXPECT_EQ(tevo_backend_buffer_get_type(multi), mt.get());

    tevo_backend_buffer_clear(multi, 3);
    EXPECT_EQ(mt.ctx.n_clear, 1);
    EXPECT_EQ(((uint8_t *) tevo_backend_buffer_get_base(parts[0]))[99], 3);

    tevo_backend_buffer_set_usage(multi, TEVO_BACKEND_BUFFER_USAGE_COMPUTE);
    EXPECT_EQ(tevo_backend_buffer_get_usage(parts[0]), TEVO_BACKEND_BUFFER_USAGE_COMPUTE);
    EXPECT_EQ(tevo_backend_buffer_get_usage(parts[1]), TEVO_BACKEND_BUFFER_USAGE_COMPUTE);

    tevo_backend_buffer_free(multi);
    EXPECT_EQ(mt.ctx.n_free, 1);
}

TEST(HostBuffersDeath, PartSettersCheckTheirBuffer) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 32);
    EXPECT_FALSE(tevo_backend_buffer_is_meta(buf));
    EXPECT_DEATH(tevo_backend_multi_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_ANY),
                 assert_text("tevo_backend_buffer_is_multi_buffer(buffer)"));
    EXPECT_DEATH(tevo_backend_meta_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_ANY),
                 fatal("tevo/src/tevo-backend-meta:") + "[0-9]+" +
                     fatal(": TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer)) failed"));
    tevo_backend_buffer_t none[1] = { nullptr };
    EXPECT_DEATH(tevo_backend_multi_buffer_alloc_buffer(none, 1), assert_text("buffer"));
    tevo_backend_buffer_free(buf);
}

TEST(CriticalSection, SerialisesThreads) {
    long                     counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < 20000; i++) {
                tevo_critical_section_start();
                counter = counter + 1;
                tevo_critical_section_end();
            }
        });
    }
    for (auto & th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
}

// ---------------------------------------------------------------------------
// placement

struct Placement : Fixture {};

TEST_F(Placement, TensorMustEndInsideTheBuffer) {
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 64);
    char *                base = (char *) tevo_backend_buffer_get_base(buf);
    tevo_tensor *         t    = f32(4);
    ASSERT_EQ(tevo_backend_tensor_alloc(buf, t, base + 48), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(t->buffer, buf);
    EXPECT_EQ(t->data, base + 48);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_tensor * u = f32(4);
    EXPECT_DEATH(tevo_backend_tensor_alloc(buf, u, base + 49),
                 assert_text("tevo_backend_buffer_is_meta(buffer) || (char *) addr + "
                             "tevo_backend_buffer_get_alloc_size(buffer, tensor) <= (char *) "
                             "tevo_backend_buffer_get_base(buffer) + tevo_backend_buffer_get_size(buffer)"));
    EXPECT_DEATH(tevo_backend_tensor_alloc(buf, u, base - 32),
                 assert_text("addr >= tevo_backend_buffer_get_base(buffer)"));
    EXPECT_DEATH(tevo_backend_tensor_alloc(buf, t, base), assert_text("tensor->buffer == NULL"));
    EXPECT_DEATH(tevo_backend_tensor_alloc(nullptr, u, base), assert_text("buffer"));
    tevo_tensor * v = tevo_view_1d(ctx, f32(4), 2, 0);
    EXPECT_DEATH(tevo_backend_tensor_alloc(buf, v, base), assert_text("tensor->view_src == NULL"));
    tevo_backend_buffer_free(buf);
}

TEST_F(Placement, PlacementReturnsTheInitStatus) {
    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 64);
    buf->iface.init_tensor    = [](tevo_backend_buffer_t, tevo_tensor * t) {
        t->extra = t;
        return TEVO_STATUS_FAILED;
    };
    tevo_tensor * t = f32(4);
    EXPECT_EQ(tevo_backend_tensor_alloc(buf, t, tevo_backend_buffer_get_base(buf)), TEVO_STATUS_FAILED);
    EXPECT_EQ(t->extra, t);
    tevo_backend_buffer_free(buf);
}

TEST_F(Placement, ViewTakesItsSourcesAddressPlusOffset) {
    tevo_tensor * a = f32(64);
    tevo_tensor * v = tevo_view_1d(ctx, a, 16, 128);
    EXPECT_EQ(v->data, nullptr);

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_view_init(v), assert_text("tensor->view_src->buffer != NULL"));
    EXPECT_DEATH(tevo_backend_view_init(a), assert_text("tensor->view_src != NULL"));

    tevo_backend_buffer_t buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 256);
    ASSERT_EQ(tevo_backend_tensor_alloc(buf, a, tevo_backend_buffer_get_base(buf)), TEVO_STATUS_SUCCESS);
    ASSERT_EQ(tevo_backend_view_init(v), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(v->buffer, buf);
    EXPECT_EQ((char *) v->data, (char *) a->data + 128);
    EXPECT_DEATH(tevo_backend_view_init(v), assert_text("tensor->buffer == NULL"));
    tevo_backend_buffer_free(buf);
}

// ---------------------------------------------------------------------------
// graph copy and comparison

struct GraphCopy : Fixture {
    mock::BufferType device_mem{ mock::options{ "DEVICE" } };
    mock::Backend    host{ tevo_backend_cpu_buffer_type() };
    mock::Backend    device{ device_mem.get() };
    tevo_gallocr_t   galloc = nullptr;

    tevo_tensor * a = nullptr;
    tevo_tensor * b = nullptr;

    void TearDown() override {
        tevo_gallocr_free(galloc);
        Fixture::TearDown();
    }

    // c = a + b, d = c², r = d viewed 4×2, e = √r; placed and computed on the host
    tevo_cgraph * build() {
        a               = f32(8);
        b               = f32(8);
        tevo_tensor * c = tevo_add(ctx, a, b);
        tevo_tensor * d = tevo_sqr(ctx, c);
        tevo_tensor * r = tevo_reshape_2d(ctx, d, 4, 2);
        tevo_tensor * e = tevo_sqrt(ctx, r);
        // keep the inputs intact, so nodes can be computed again
        tevo_set_output(a);
        tevo_set_output(b);
        tevo_set_name(c, "c");
        tevo_set_name(d, "d");
        tevo_set_name(e, "e");
        tevo_cgraph * g = tevo_new_graph(ctx);
        tevo_build_forward_expand(g, e);

        galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
        EXPECT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
        for (int i = 0; i < 8; i++) {
            ((float *) a->data)[i] = (float) i;
            ((float *) b->data)[i] = 0.5f;
        }
        EXPECT_EQ(tevo_backend_graph_compute(host.get(), g), TEVO_STATUS_SUCCESS);
        return g;
    }
};

TEST_F(GraphCopy, CopiesNodesAndDataToTheOtherBackend) {
    tevo_cgraph * g = build();

    tevo_backend_graph_copy_result copy = tevo_backend_graph_copy(device.get(), g);
    ASSERT_NE(copy.buffer, nullptr);
    ASSERT_NE(copy.graph, nullptr);
    EXPECT_EQ(tevo_backend_buffer_get_type(copy.buffer), device_mem.get());
    ASSERT_EQ(copy.graph->n_nodes, g->n_nodes);
    EXPECT_EQ(copy.graph->n_leafs, 0);

    for (int i = 0; i < g->n_nodes; i++) {
        tevo_tensor * s = g->nodes[i];
        tevo_tensor * t = copy.graph->nodes[i];
        EXPECT_STREQ(t->name, s->name);
        EXPECT_EQ(t->op, s->op);
        EXPECT_TRUE(tevo_are_same_layout(s, t));
        EXPECT_NE(t->data, s->data);
        std::vector<float> want(tevo_nelements(s)), got(tevo_nelements(s));
        tevo_backend_tensor_get(s, want.data(), 0, tevo_nbytes(s));
        tevo_backend_tensor_get(t, got.data(), 0, tevo_nbytes(t));
        EXPECT_EQ(want, got) << s->name;
    }

    // sources are linked to their copies; the view shares its source's copy
    tevo_tensor * c2 = copy.graph->nodes[0];
    tevo_tensor * r2 = copy.graph->nodes[2];
    ASSERT_EQ(r2->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(r2->view_src, copy.graph->nodes[1]);
    EXPECT_EQ(r2->data, copy.graph->nodes[1]->data);
    EXPECT_EQ(r2->buffer, copy.graph->nodes[1]->buffer);
    EXPECT_EQ(tevo_backend_buffer_get_type(c2->src[0]->buffer), device_mem.get());
    float a5 = 0;
    tevo_backend_tensor_get(c2->src[0], &a5, 20, 4);
    EXPECT_EQ(a5, 5.0f);

    tevo_backend_graph_copy_free(copy);
    EXPECT_EQ(device_mem.ctx.n_free, device_mem.ctx.n_alloc);
}

TEST_F(GraphCopy, UnallocatedGraphIsRefused) {
    tevo_tensor * c = tevo_sqr(ctx, f32(4));
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, c);
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_graph_copy(device.get(), g), assert_text("src->data && \"graph must be allocated\""));
}

TEST_F(GraphCopy, FailedBufferGivesAnEmptyResult) {
    tevo_cgraph * g           = build();
    device_mem.ctx.fail_alloc = true;
    tevo_backend_graph_copy_result copy = tevo_backend_graph_copy(device.get(), g);
    EXPECT_EQ(copy.buffer, nullptr);
    EXPECT_EQ(copy.ctx_allocated, nullptr);
    EXPECT_EQ(copy.ctx_unallocated, nullptr);
    EXPECT_EQ(copy.graph, nullptr);
    EXPECT_FALSE(tevo_backend_compare_graph_backend(host.get(), device.get(), g,
                                                    [](int, tevo_tensor *, tevo_tensor *, void *) { return true; },
                                                    nullptr, nullptr, 0));
}

struct compare_log {
    std::vector<int> nodes;
    std::vector<int> mismatches;
};

bool same_values(int i, tevo_tensor * t1, tevo_tensor * t2, void * user_data) {
    compare_log * log = (compare_log *) user_data;
    log->nodes.push_back(i);
    std::vector<float> x(tevo_nelements(t1)), y(tevo_nelements(t2));
    tevo_backend_tensor_get(t1, x.data(), 0, tevo_nbytes(t1));
    tevo_backend_tensor_get(t2, y.data(), 0, tevo_nbytes(t2));
    if (x != y) {
        log->mismatches.push_back(i);
    }
    return x == y;
}

TEST_F(GraphCopy, CompareNodeByNode) {
    tevo_cgraph * g = build();
    compare_log   log;
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, nullptr, 0));
    // the reshape is a view operation and is not reported
    EXPECT_EQ(log.nodes, (std::vector<int>{ 0, 1, 3 }));
    EXPECT_EQ(device_mem.ctx.n_free, device_mem.ctx.n_alloc);
}

TEST_F(GraphCopy, CompareReportsAMismatch) {
    tevo_cgraph * g        = build();
    device.ctx.sqr_bias    = 1.0f;
    compare_log   log;
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, nullptr, 0));
    // stops at the first mismatch
    EXPECT_EQ(log.nodes, (std::vector<int>{ 0, 1 }));
}

// the callback is how the caller hears of a mismatch; the answer only says
// that the copy was made and compared
TEST_F(GraphCopy, MismatchGoesToTheCallbackAndTheAnswerStaysTrue) {
    tevo_cgraph * g     = build();
    device.ctx.sqr_bias = 1.0f;

    compare_log log;
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, nullptr, 0));
    EXPECT_EQ(log.mismatches, (std::vector<int>{ 1 }));

    // the selected nodes: the square and the root of its view both differ
    compare_log   sel_log;
    tevo_tensor * sel[] = { g->nodes[3], g->nodes[1] };
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &sel_log, sel, 2));
    EXPECT_EQ(sel_log.mismatches, (std::vector<int>{ 1, 3 }));
    EXPECT_EQ(device_mem.ctx.n_free, device_mem.ctx.n_alloc);
}

TEST_F(GraphCopy, CompareSelectedNodes) {
    tevo_cgraph * g = build();
    tevo_tensor * d = g->nodes[1];
    tevo_tensor * e = g->nodes[3];
    compare_log   log;
    tevo_tensor * sel[] = { e, d };
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, sel, 2));
    EXPECT_EQ(log.nodes, (std::vector<int>{ 1, 3 }));

    device.ctx.sqr_bias = 1.0f;
    log.nodes.clear();
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, sel, 2));
    EXPECT_EQ(log.nodes, (std::vector<int>{ 1, 3 }));

    setenv("TEVO_NO_BACKTRACE", "1", 1);
    tevo_tensor * other[] = { a };
    EXPECT_DEATH(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, other, 1),
                 assert_text("verified"));
    EXPECT_DEATH(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, nullptr, 1),
                 assert_text("test_nodes"));
}

TEST_F(GraphCopy, GraphOfViewsIsNeverReported) {
    tevo_tensor * x = f32(8);
    tevo_tensor * r = tevo_reshape_2d(ctx, x, 2, 4);
    tevo_tensor * t = tevo_transpose(ctx, r);
    tevo_cgraph * g = tevo_new_graph(ctx);
    tevo_build_forward_expand(g, t);
    ASSERT_EQ(g->n_nodes, 2);
    galloc = tevo_gallocr_new(tevo_backend_cpu_buffer_type());
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));

    compare_log log;
    EXPECT_TRUE(tevo_backend_compare_graph_backend(host.get(), device.get(), g, same_values, &log, nullptr, 0));
    EXPECT_TRUE(log.nodes.empty());
}

} // namespace
