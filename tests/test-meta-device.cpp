// The meta device: identity of handles, names, properties, buffer types and
// the backend with its simple backends and communication hook.

#include "meta-test-devices.h"
#include "test-backend-mock.h"

#include <gtest/gtest.h>

using namespace metatest;

namespace {

void devs_of(device_set & set, std::initializer_list<int> idx, std::vector<tevo_backend_dev_t> & out) {
    out.clear();
    for (int i : idx) {
        out.push_back(&set.devs[i]);
    }
}

TEST(MetaDevice, SameArgumentsGiveTheSameHandleAndOtherUserDataAnother) {
    std::vector<tevo_backend_dev_t> devs;
    devs_of(plain_set(), { 0, 1 }, devs);
    int ud_a = 0;
    int ud_b = 0;

    tevo_backend_dev_t a  = tevo_backend_meta_device(devs.data(), 2, state_by_name, &ud_a);
    tevo_backend_dev_t a2 = tevo_backend_meta_device(devs.data(), 2, state_by_name, &ud_a);
    tevo_backend_dev_t b  = tevo_backend_meta_device(devs.data(), 2, state_by_name, &ud_b);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, a2);
    EXPECT_NE(a, b);
    EXPECT_STREQ(tevo_backend_dev_name(a), tevo_backend_dev_name(b));

    // a prefix of the list is another device
    tevo_backend_dev_t one = tevo_backend_meta_device(devs.data(), 1, state_by_name, &ud_a);
    EXPECT_NE(one, a);
}

TEST(MetaDevice, NamesJoinTheSimpleDevices) {
    std::vector<tevo_backend_dev_t> devs;
    devs_of(plain_set(), { 0, 1 }, devs);
    tevo_backend_dev_t two = tevo_backend_meta_device(devs.data(), 2, nullptr, nullptr);
    tevo_backend_dev_t one = tevo_backend_meta_device(devs.data(), 1, nullptr, nullptr);
    EXPECT_STREQ(tevo_backend_dev_name(two), "Meta(CPU,CPU)");
    EXPECT_STREQ(tevo_backend_dev_name(one), "Meta(CPU)");
    const std::string cpu_desc = tevo_backend_dev_description(devs[0]);
    EXPECT_EQ(tevo_backend_dev_description(two), "Meta(" + cpu_desc + "," + cpu_desc + ")");
    EXPECT_EQ(tevo_backend_dev_type(two), TEVO_BACKEND_DEVICE_TYPE_META);
}

TEST(MetaDevice, ZeroDevicesAreRefused) {
    EXPECT_EQ(tevo_backend_meta_device(nullptr, 0, state_by_name, nullptr), nullptr);
}

TEST(MetaDevice, SixteenDevicesAreAcceptedSeventeenAbort) {
    std::vector<tevo_backend_dev_t> devs(17, &plain_set().devs[0]);
    tevo_backend_dev_t              dev = tevo_backend_meta_device(devs.data(), 16, nullptr, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(meta_dev_ctx(dev)->simple_devs.size(), 16u);
    EXPECT_DEATH(tevo_backend_meta_device(devs.data(), 17, nullptr, nullptr),
                 mock::assert_text("n_devs <= TEVO_BACKEND_META_MAX_DEVICES"));
}

TEST(MetaDevice, PropertiesCombineTheDevices) {
    tevo_backend_dev_t            dev = meta_device(plain_set(), 3);
    struct tevo_backend_dev_props props;
    tevo_backend_dev_get_props(dev, &props);

    size_t free1 = 0, total1 = 0;
    tevo_backend_dev_memory(&plain_set().devs[0], &free1, &total1);
    EXPECT_EQ(props.memory_free, 3 * free1);
    EXPECT_EQ(props.memory_total, 3 * total1);
    EXPECT_STREQ(props.name, "Meta(CPU,CPU,CPU)");
    EXPECT_EQ(props.type, TEVO_BACKEND_DEVICE_TYPE_META);
    EXPECT_EQ(props.device_id, nullptr);
    // the CPU has no async queue; it takes host pointers, which the meta device never does
    EXPECT_FALSE(props.caps.async);
    EXPECT_FALSE(props.caps.host_buffer);
    EXPECT_FALSE(props.caps.buffer_from_host_ptr);
    EXPECT_FALSE(props.caps.events);
    EXPECT_TRUE(props.caps.reserved);
    EXPECT_EQ(tevo_backend_dev_host_buffer_type(dev), nullptr);
}

TEST(MetaDevice, BufferTypeIsNotHostMemoryEvenOverHostDevices) {
    tevo_backend_dev_t         dev  = meta_device(plain_set(), 2);
    tevo_backend_buffer_type_t buft = tevo_backend_dev_buffer_type(dev);
    ASSERT_TRUE(tevo_backend_buft_is_host(tevo_backend_cpu_buffer_type()));
    EXPECT_TRUE(tevo_backend_buft_is_meta(buft));
    EXPECT_FALSE(tevo_backend_buft_is_host(buft));
    EXPECT_EQ(buft, tevo_backend_dev_buffer_type(dev));
    EXPECT_STREQ(tevo_backend_buft_name(buft), "Meta(CPU,CPU)");
    EXPECT_EQ(tevo_backend_buft_get_device(buft), dev);
    EXPECT_EQ(tevo_backend_buft_get_alignment(buft), tevo_backend_buft_get_alignment(tevo_backend_cpu_buffer_type()));
}

TEST(MetaDevice, SupportsTheBufferTypesOfTheSameDeviceList) {
    std::vector<tevo_backend_dev_t> fwd;
    std::vector<tevo_backend_dev_t> rev;
    devs_of(plain_set(), { 0, 1 }, fwd);
    devs_of(plain_set(), { 1, 0 }, rev);
    int                ud        = 0;
    tevo_backend_dev_t dev       = tevo_backend_meta_device(fwd.data(), 2, nullptr, nullptr);
    tevo_backend_dev_t same_list = tevo_backend_meta_device(fwd.data(), 2, nullptr, &ud);
    tevo_backend_dev_t reversed  = tevo_backend_meta_device(rev.data(), 2, nullptr, nullptr);

    EXPECT_TRUE(tevo_backend_dev_supports_buft(dev, tevo_backend_dev_buffer_type(same_list)));
    EXPECT_FALSE(tevo_backend_dev_supports_buft(dev, tevo_backend_dev_buffer_type(reversed)));
    EXPECT_FALSE(tevo_backend_dev_supports_buft(dev, tevo_backend_cpu_buffer_type()));
}

TEST(MetaDevice, PredicatesAndAxisNames) {
    EXPECT_FALSE(tevo_backend_buffer_is_meta(nullptr));
    EXPECT_FALSE(tevo_backend_buft_is_meta(nullptr));
    EXPECT_FALSE(tevo_backend_is_meta(nullptr));
    tevo_backend_buffer_t cpu_buf = tevo_backend_buft_alloc_buffer(tevo_backend_cpu_buffer_type(), 64);
    EXPECT_FALSE(tevo_backend_buffer_is_meta(cpu_buf));
    tevo_backend_buffer_free(cpu_buf);

    EXPECT_STREQ(tevo_backend_meta_split_axis_name(TEVO_BACKEND_SPLIT_AXIS_PARTIAL), "PARTIAL");
    EXPECT_STREQ(tevo_backend_meta_split_axis_name(TEVO_BACKEND_SPLIT_AXIS_2), "2");
    EXPECT_STREQ(tevo_backend_meta_split_axis_name(TEVO_BACKEND_SPLIT_AXIS_UNKNOWN), "UNKNOWN");
    EXPECT_DEATH(tevo_backend_meta_split_axis_name((tevo_backend_meta_split_axis) 5), "fatal error");
}

// devices whose only job is to hand out a buffer type of a chosen alignment
struct mock_devices {
    mock::BufferType    bufts[2];
    tevo_backend_device devs[2] = {};

    static const char * name(tevo_backend_dev_t) { return "MOCK"; }
    static tevo_backend_buffer_type_t buft(tevo_backend_dev_t dev) { return (tevo_backend_buffer_type_t) dev->context; }

    mock_devices(size_t align0, size_t align1) :
        bufts{ mock::BufferType(mock::options{ "M0", align0 }), mock::BufferType(mock::options{ "M1", align1 }) } {
        for (int i = 0; i < 2; i++) {
            devs[i].iface.get_name        = name;
            devs[i].iface.get_description = name;
            devs[i].iface.get_buffer_type = buft;
            devs[i].context               = bufts[i].get();
        }
    }

    tevo_backend_buffer_type_t meta_buft() {
        tevo_backend_dev_t list[2] = { &devs[0], &devs[1] };
        return tevo_backend_dev_buffer_type(tevo_backend_meta_device(list, 2, nullptr, nullptr));
    }
};

TEST(MetaDevice, AlignmentIsOneEveryDeviceAccepts) {
    static mock_devices ok(32, 64);
    EXPECT_EQ(tevo_backend_buft_get_alignment(ok.meta_buft()), 64u);

    // 48 is the larger, yet an address aligned to 48 need not be aligned to 32
    static mock_devices bad(32, 48);
    EXPECT_DEATH(tevo_backend_buft_get_alignment(bad.meta_buft()), mock::assert_text("max_alignment % alignment == 0"));
    static mock_devices bad_rev(48, 32);
    EXPECT_DEATH(tevo_backend_buft_get_alignment(bad_rev.meta_buft()),
                 mock::assert_text("max_alignment % alignment == 0"));
}

TEST(MetaDevice, FailedSimpleAllocationGivesNoBuffer) {
    static mock_devices devs(32, 32);
    devs.bufts[1].ctx.fail_alloc = true;
    EXPECT_EQ(tevo_backend_buft_alloc_buffer(devs.meta_buft(), 1000), nullptr);
    // the first device's buffer was given back
    EXPECT_EQ(devs.bufts[0].ctx.n_alloc, 1);
    EXPECT_EQ(devs.bufts[0].ctx.n_free, 1);
    devs.bufts[1].ctx.fail_alloc = false;
}

TEST(MetaBackend, OneSimpleBackendPerDevice) {
    for (int n = 1; n <= max_devices; n++) {
        tevo_backend_t backend = tevo_backend_dev_init(meta_device(plain_set(), n), nullptr);
        ASSERT_NE(backend, nullptr);
        EXPECT_TRUE(tevo_backend_is_meta(backend));
        EXPECT_EQ(tevo_backend_meta_n_backends(backend), (size_t) n);
        for (int j = 0; j < n; j++) {
            tevo_backend_t simple = tevo_backend_meta_simple_backend(backend, j);
            EXPECT_TRUE(tevo_backend_is_cpu(simple));
            EXPECT_EQ(tevo_backend_get_device(simple), &plain_set().devs[j]);
            EXPECT_FALSE(tevo_backend_is_meta(simple));
        }
        EXPECT_EQ(tevo_backend_get_device(backend), meta_device(plain_set(), n));
        tevo_backend_free(backend);
    }
    tevo_backend_t backend = tevo_backend_dev_init(meta_device(plain_set(), 2), nullptr);
    EXPECT_STREQ(tevo_backend_name(backend), "Meta(CPU,CPU)");
    EXPECT_DEATH(tevo_backend_meta_simple_backend(backend, 2), mock::assert_text("index < ctx->cfgs.size()"));
    tevo_backend_free(backend);

    tevo_backend_t cpu = tevo_backend_cpu_init();
    EXPECT_DEATH(tevo_backend_meta_n_backends(cpu), mock::assert_text("tevo_backend_is_meta(meta_backend)"));
    tevo_backend_free(cpu);
}

TEST(MetaBackend, CommunicationIsSetUpForSeveralDevicesAndFreedWithTheBackend) {
    comm_stats & stats = comm_set().stats;
    stats              = {};

    tevo_backend_t single = tevo_backend_dev_init(meta_device(comm_set(), 1), nullptr);
    EXPECT_EQ(stats.n_init, 0);
    tevo_backend_free(single);
    EXPECT_EQ(stats.n_free, 0);

    tevo_backend_t several = tevo_backend_dev_init(meta_device(comm_set(), 3), nullptr);
    EXPECT_EQ(stats.n_init, 1);
    EXPECT_EQ(stats.n_free, 0);
    tevo_backend_free(several);
    EXPECT_EQ(stats.n_free, 1);
}

}
