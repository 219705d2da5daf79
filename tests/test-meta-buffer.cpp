// Meta buffers: allocation, sub-tensors, and uploads and read-backs that
// scatter a tensor over the devices by its split state and gather it back.

#include "meta-test-devices.h"
#include "test-backend-mock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <random>

using namespace metatest;

namespace {

struct placement {
    int     dev;
    int64_t local;
};

// where each position along the axis lives: segments in order, each nr[s]
// times, the pieces of devices 0, 1, ... one after another
std::vector<placement> axis_placement(const meta_split_state & ss, int n) {
    std::vector<placement> map;
    std::vector<int64_t>   next(n, 0);
    for (int s = 0; s < ss.n_segments; s++) {
        for (int r = 0; r < ss.nr[s]; r++) {
            for (int j = 0; j < n; j++) {
                for (int64_t e = 0; e < ss.ne[s * n + j]; e++) {
                    map.push_back({ j, next[j]++ });
                }
            }
        }
    }
    return map;
}

// what each device should hold of a contiguous F32 tensor
std::vector<std::vector<float>> expected_devices(const std::vector<float> & full, const int64_t * ne,
                                                 const meta_split_state & ss, int n) {
    std::vector<std::vector<float>> out(n);
    if (ss.axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        for (int j = 0; j < n; j++) {
            out[j] = full;
        }
        return out;
    }
    if (ss.axis == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
        for (int j = 0; j < n; j++) {
            for (float x : full) {
                out[j].push_back(x / (float) n);
            }
        }
        return out;
    }
    const int                    a   = (int) ss.axis;
    const std::vector<placement> map = axis_placement(ss, n);
    std::vector<std::array<int64_t, 4>> sub_ne(n);
    for (int j = 0; j < n; j++) {
        for (int i = 0; i < 4; i++) {
            sub_ne[j][i] = ne[i];
        }
        sub_ne[j][a] = meta_share(ss, n, j);
        out[j].assign((size_t) (sub_ne[j][0] * sub_ne[j][1] * sub_ne[j][2] * sub_ne[j][3]), 0.0f);
    }
    int64_t idx[4];
    size_t  flat = 0;
    for (idx[3] = 0; idx[3] < ne[3]; idx[3]++) {
        for (idx[2] = 0; idx[2] < ne[2]; idx[2]++) {
            for (idx[1] = 0; idx[1] < ne[1]; idx[1]++) {
                for (idx[0] = 0; idx[0] < ne[0]; idx[0]++, flat++) {
                    const placement p     = map[idx[a]];
                    int64_t         li[4] = { idx[0], idx[1], idx[2], idx[3] };
                    li[a]                 = p.local;
                    const std::array<int64_t, 4> & sn = sub_ne[p.dev];
                    const int64_t off = li[0] + sn[0] * (li[1] + sn[1] * (li[2] + sn[2] * li[3]));
                    out[p.dev][off]   = full[flat];
                }
            }
        }
    }
    return out;
}

meta_split_state segments(tevo_backend_meta_split_axis axis, const std::vector<std::vector<int64_t>> & ne,
                          const std::vector<int32_t> & nr) {
    meta_split_state ss = meta_split_state_plain(axis);
    const int        n  = (int) ne[0].size();
    ss.n_segments       = (int32_t) ne.size();
    for (size_t s = 0; s < ne.size(); s++) {
        ss.nr[s] = nr[s];
        for (int j = 0; j < n; j++) {
            ss.ne[s * n + j] = ne[s][j];
        }
    }
    return ss;
}

// one stored tensor in a meta buffer of its own
struct stored {
    tevo_context *        ctx    = nullptr;
    tevo_tensor *         t      = nullptr;
    tevo_backend_buffer_t buffer = nullptr;

    stored(int n, const char * name, tevo_type type, std::vector<int64_t> ne, const meta_split_state & ss) {
        states()[name] = ss;
        ctx            = no_alloc_ctx();
        ne.resize(4, 1);
        t = tevo_new_tensor(ctx, type, 4, ne.data());
        tevo_set_name(t, name);
        buffer = tevo_backend_alloc_ctx_tensors_from_buft(ctx, tevo_backend_dev_buffer_type(meta_device(plain_set(), n)));
    }
    ~stored() {
        tevo_backend_buffer_free(buffer);
        tevo_free(ctx);
    }
};

std::vector<float> random_floats(size_t n, unsigned seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float>                    v(n);
    for (float & x : v) {
        x = dist(rng);
    }
    return v;
}

std::vector<float> device_values(const tevo_tensor * t, int j) {
    const tevo_tensor * sub = meta_simple_tensor(t, j);
    std::vector<float>  v((size_t) tevo_nelements(sub));
    tevo_backend_tensor_get(sub, v.data(), 0, tevo_nbytes(sub));
    return v;
}

struct round_trip_case {
    const char *         name;
    int                  n;
    std::vector<int64_t> ne;
    meta_split_state     ss;
};

class MetaBufferRoundTrip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(MetaBufferRoundTrip, UploadScattersByStateAndReadBackGathers) {
    const round_trip_case & c = GetParam();
    stored                  s(c.n, c.name, TEVO_TYPE_F32, c.ne, c.ss);
    ASSERT_NE(s.buffer, nullptr);
    EXPECT_EQ(s.t->data, (void *) TEVO_META_BULK_DATA);

    const size_t             n    = (size_t) tevo_nelements(s.t);
    const std::vector<float> data = random_floats(n, 7);
    tevo_backend_tensor_set(s.t, data.data(), 0, n * sizeof(float));

    const std::vector<std::vector<float>> want = expected_devices(data, s.t->ne, c.ss, c.n);
    for (int j = 0; j < c.n; j++) {
        const std::vector<float> got = device_values(s.t, j);
        ASSERT_EQ(got.size(), want[j].size()) << "device " << j;
        for (size_t i = 0; i < got.size(); i++) {
            ASSERT_EQ(got[i], want[j][i]) << "device " << j << " element " << i;
        }
    }

    std::vector<float> back(n, -1.0f);
    tevo_backend_tensor_get(s.t, back.data(), 0, n * sizeof(float));
    for (size_t i = 0; i < n; i++) {
        // partial values are summed back from their shares: float rounding
        ASSERT_NEAR(back[i], data[i], 1e-6f * (1.0f + std::fabs(data[i]))) << "element " << i;
    }

    // a read of a whole-block range in the middle gathers just that range
    if (meta_axis_is_split(c.ss.axis) && c.ss.n_segments == 1 && c.ss.nr[0] == 1) {
        const size_t block = c.ss.axis == TEVO_BACKEND_SPLIT_AXIS_3 ? tevo_nbytes(s.t) : s.t->nb[c.ss.axis + 1];
        const size_t nblk  = tevo_nbytes(s.t) / block;
        if (nblk >= 2) {
            std::vector<float> part(block / sizeof(float));
            tevo_backend_tensor_get(s.t, part.data(), block * (nblk - 1), block);
            for (size_t i = 0; i < part.size(); i++) {
                ASSERT_EQ(part[i], data[(nblk - 1) * block / sizeof(float) + i]);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, MetaBufferRoundTrip,
    ::testing::Values(
        round_trip_case{ "rows_2_4", 2, { 4, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 4 }) },
        round_trip_case{ "cols_3_5", 2, { 8, 3, 2 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 3, 5 }) },
        round_trip_case{ "planes_1_2_3", 3, { 4, 3, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_2, { 1, 2, 3 }) },
        round_trip_case{ "axis3_2_0_3", 3, { 2, 3, 2, 5 }, split(TEVO_BACKEND_SPLIT_AXIS_3, { 2, 0, 3 }) },
        round_trip_case{ "cols_four", 4, { 10, 3 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 3, 2, 1 }) },
        round_trip_case{ "mirrored", 3, { 5, 4 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) },
        round_trip_case{ "partial_2", 2, { 7, 3 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL) },
        round_trip_case{ "partial_3", 3, { 7, 3 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL) },
        round_trip_case{ "seg_cols", 2, { 8, 4 }, segments(TEVO_BACKEND_SPLIT_AXIS_0, { { 2, 2 }, { 1, 3 } }, { 1, 1 }) },
        round_trip_case{ "rep_cols", 2, { 12, 2 }, segments(TEVO_BACKEND_SPLIT_AXIS_0, { { 1, 2 } }, { 4 }) },
        round_trip_case{ "rep_rows", 2, { 3, 12, 2 }, segments(TEVO_BACKEND_SPLIT_AXIS_1, { { 2, 4 } }, { 2 }) },
        round_trip_case{ "seg_rows", 3, { 6, 4 },
                         segments(TEVO_BACKEND_SPLIT_AXIS_1, { { 1, 0, 1 }, { 0, 1, 1 } }, { 1, 1 }) }),
    [](const ::testing::TestParamInfo<round_trip_case> & info) { return std::string(info.param.name); });

TEST(MetaBuffer, BlockTypesRoundTripAlongTheirBlocks) {
    struct block_case {
        const char * name;
        tevo_type    type;
        int64_t      ne0;
    };
    for (const block_case & c : { block_case{ "f16_cols", TEVO_TYPE_F16, 8 }, block_case{ "q8_cols", TEVO_TYPE_Q8_0, 64 } }) {
        const int64_t blck = tevo_blck_size(c.type);
        stored        s(2, c.name, c.type, { c.ne0, 3 }, split(TEVO_BACKEND_SPLIT_AXIS_0, even_shares(c.ne0, 2, blck)));
        std::vector<uint8_t> bytes(tevo_nbytes(s.t));
        std::mt19937         rng(3);
        for (uint8_t & b : bytes) {
            b = (uint8_t) rng();
        }
        tevo_backend_tensor_set(s.t, bytes.data(), 0, bytes.size());
        std::vector<uint8_t> back(bytes.size(), 0);
        tevo_backend_tensor_get(s.t, back.data(), 0, back.size());
        EXPECT_EQ(back, bytes) << c.name;
        EXPECT_EQ(tevo_nbytes(meta_simple_tensor(s.t, 0)), tevo_row_size(c.type, c.ne0 / 2) * 3) << c.name;
    }
}

TEST(MetaBuffer, PartialWritesDivideAmongTheMarkedDevices) {
    const float value = 8.0f;
    {
        stored s(2, "partial_both", TEVO_TYPE_F32, { 1 }, split(TEVO_BACKEND_SPLIT_AXIS_PARTIAL, { 1, 1 }));
        tevo_backend_tensor_set(s.t, &value, 0, sizeof(value));
        EXPECT_EQ(device_values(s.t, 0)[0], 4.0f);
        EXPECT_EQ(device_values(s.t, 1)[0], 4.0f);
    }
    {
        stored s(2, "partial_first", TEVO_TYPE_F32, { 1 }, split(TEVO_BACKEND_SPLIT_AXIS_PARTIAL, { 5, 0 }));
        tevo_backend_tensor_set(s.t, &value, 0, sizeof(value));
        EXPECT_EQ(device_values(s.t, 0)[0], 8.0f);
        EXPECT_EQ(device_values(s.t, 1)[0], 0.0f);
        float back = 0.0f;
        tevo_backend_tensor_get(s.t, &back, 0, sizeof(back));
        EXPECT_EQ(back, 8.0f);
    }
}

TEST(MetaBuffer, MemsetOfPartialTensorsOnlyClears) {
    stored             s(2, "partial_memset", TEVO_TYPE_F32, { 4 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL));
    std::vector<float> data = { 1, 2, 3, 4 };
    tevo_backend_tensor_set(s.t, data.data(), 0, sizeof(float) * 4);
    tevo_backend_tensor_memset(s.t, 0, 0, sizeof(float) * 4);
    for (int j = 0; j < 2; j++) {
        for (float x : device_values(s.t, j)) {
            EXPECT_EQ(x, 0.0f);
        }
    }
    EXPECT_DEATH(tevo_backend_tensor_memset(s.t, 1, 0, sizeof(float) * 4), mock::assert_text("value == 0"));
}

TEST(MetaBuffer, MemsetOfSplitTensorsFillsEachPiece) {
    stored s(2, "memset_cols", TEVO_TYPE_F32, { 4, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 1, 3 }));
    std::vector<float> zeros(24, 0.0f);
    tevo_backend_tensor_set(s.t, zeros.data(), 0, sizeof(float) * 24);
    // rows 1 to 3, each straddling both devices
    tevo_backend_tensor_memset(s.t, 0xff, 4 * sizeof(float), 3 * 4 * sizeof(float));
    std::vector<uint32_t> back(24);
    tevo_backend_tensor_get(s.t, back.data(), 0, sizeof(float) * 24);
    for (int i = 0; i < 24; i++) {
        EXPECT_EQ(back[i], (i >= 4 && i < 16) ? 0xffffffffu : 0u) << i;
    }
}

TEST(MetaBuffer, RangesMustCoverWholeBlocksOfTheSplit) {
    stored             s(2, "rows_bad_offset", TEVO_TYPE_F32, { 4, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 4 }));
    std::vector<float> buf(24);
    EXPECT_DEATH(tevo_backend_tensor_get(s.t, buf.data(), sizeof(float), 4 * sizeof(float)),
                 mock::assert_text("offset % chunk_size_full == 0"));
    EXPECT_DEATH(tevo_backend_tensor_get(s.t, buf.data(), 0, 6 * sizeof(float)),
                 mock::assert_text("size % chunk_size_full == 0"));
}

TEST(MetaBuffer, CallbackStatesAreChecked) {
    EXPECT_DEATH(stored(2, "q8_bad_blocks", TEVO_TYPE_Q8_0, { 64 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 16, 48 })),
                 mock::assert_text("ret.ne[s*n_bufs + j] % granularity == 0"));
    stored ok(2, "q8_good_blocks", TEVO_TYPE_Q8_0, { 64 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 32, 32 }));
    EXPECT_NE(ok.buffer, nullptr);

    EXPECT_DEATH(stored(2, "rows_short", TEVO_TYPE_F32, { 4, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 3 })),
                 mock::assert_text("ne_sum == tensor->ne[ret.axis]"));
    meta_split_state too_many = split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 4 });
    too_many.n_segments       = 17;
    EXPECT_DEATH(stored(2, "rows_many_segments", TEVO_TYPE_F32, { 4, 6 }, too_many),
                 mock::assert_text("ret.n_segments >= 1 && ret.n_segments <= TEVO_BACKEND_META_MAX_SEGMENTS"));
    meta_split_state negative = split(TEVO_BACKEND_SPLIT_AXIS_1, { -2, 8 });
    EXPECT_DEATH(stored(2, "rows_negative", TEVO_TYPE_F32, { 4, 6 }, negative),
                 mock::assert_text("ret.ne[s*n_bufs + j] >= 0"));
    meta_split_state two_part = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL);
    two_part.n_segments       = 2;
    EXPECT_DEATH(stored(2, "partial_two_segments", TEVO_TYPE_F32, { 4 }, two_part),
                 mock::assert_text("ret.n_segments == 1"));
}

TEST(MetaBuffer, AllocationGivesOneBufferPerDeviceAtAFixedBase) {
    tevo_backend_buffer_type_t buft = tevo_backend_dev_buffer_type(meta_device(plain_set(), 2));
    tevo_backend_buffer_t      buf  = tevo_backend_buft_alloc_buffer(buft, 1000);
    ASSERT_NE(buf, nullptr);
    EXPECT_TRUE(tevo_backend_buffer_is_meta(buf));
    EXPECT_EQ(tevo_backend_buffer_get_size(buf), 1000u);
    EXPECT_EQ(tevo_backend_buffer_get_base(buf), (void *) 0x1000000000000000ull);
    EXPECT_FALSE(tevo_backend_buffer_is_host(buf));

    meta_buffer_context * ctx = (meta_buffer_context *) buf->context;
    ASSERT_EQ(ctx->bufs.size(), 2u);
    for (tevo_backend_buffer_t simple : ctx->bufs) {
        EXPECT_EQ(tevo_backend_buffer_get_size(simple), 1000u);
    }

    tevo_backend_buffer_set_usage(buf, TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    for (tevo_backend_buffer_t simple : ctx->bufs) {
        EXPECT_EQ(tevo_backend_buffer_get_usage(simple), TEVO_BACKEND_BUFFER_USAGE_WEIGHTS);
    }
    tevo_backend_buffer_clear(buf, 0x5a);
    for (tevo_backend_buffer_t simple : ctx->bufs) {
        const uint8_t * base = (const uint8_t *) tevo_backend_buffer_get_base(simple);
        EXPECT_EQ(base[0], 0x5a);
        EXPECT_EQ(base[999], 0x5a);
    }
    tevo_backend_buffer_free(buf);
}

TEST(MetaBuffer, BulkStorageIsSizedForEachDevicesShare) {
    stored                s(2, "rows_1_7", TEVO_TYPE_F32, { 16, 8 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 1, 7 }));
    meta_buffer_context * ctx = (meta_buffer_context *) s.buffer->context;
    EXPECT_GE(tevo_backend_buffer_get_size(ctx->bufs[0]), 16u * 4u);
    EXPECT_LT(tevo_backend_buffer_get_size(ctx->bufs[0]), 16u * 4u * 7u);
    EXPECT_GE(tevo_backend_buffer_get_size(ctx->bufs[1]), 16u * 4u * 7u);
    EXPECT_EQ(tevo_backend_buffer_get_size(s.buffer), tevo_backend_buffer_get_size(ctx->bufs[1]));
}

TEST(MetaBuffer, ViewsAliasTheirSourcesSubTensorsAndZeroSharesSkipTheNode) {
    stored w(2, "w_rows_0_6", TEVO_TYPE_F32, { 4, 6 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 0, 6 }));

    tevo_context * gctx = no_alloc_ctx();
    tevo_tensor *  view = tevo_view_2d(gctx, w.t, 4, 6, w.t->nb[1], 0);
    ASSERT_EQ(tevo_backend_view_init(view), TEVO_STATUS_SUCCESS);
    for (int j = 0; j < 2; j++) {
        EXPECT_EQ(meta_simple_tensor(view, j)->data, meta_simple_tensor(w.t, j)->data);
        EXPECT_EQ(meta_simple_tensor(view, j)->view_src, meta_simple_tensor(w.t, j));
    }

    // a product over the weight's rows: device 0 holds none of them
    tevo_tensor * x = tevo_new_tensor_2d(gctx, TEVO_TYPE_F32, 4, 3);
    tevo_tensor * y = tevo_mul_mat(gctx, w.t, x);
    tevo_cgraph * g = tevo_new_graph(gctx);
    tevo_build_forward_expand(g, y);
    tevo_gallocr_t galloc = tevo_gallocr_new(tevo_backend_dev_buffer_type(meta_device(plain_set(), 2)));
    ASSERT_TRUE(tevo_gallocr_alloc_graph(galloc, g));
    EXPECT_EQ(meta_simple_tensor(y, 0)->flags & TEVO_TENSOR_FLAG_COMPUTE, 0);
    EXPECT_NE(meta_simple_tensor(y, 1)->flags & TEVO_TENSOR_FLAG_COMPUTE, 0);
    EXPECT_EQ(meta_simple_tensor(y, 0)->ne[0], 0);
    EXPECT_EQ(meta_simple_tensor(y, 1)->ne[0], 6);
    tevo_gallocr_free(galloc);
    tevo_free(gctx);
}

struct async_case {
    const char *         name;
    std::vector<int64_t> ne;
    meta_split_state     ss;
};

TEST(MetaBuffer, AsyncTransfersThroughTheBackendRoundTrip) {
    const std::vector<async_case> cases = {
        { "async_cols", { 9, 2 }, split(TEVO_BACKEND_SPLIT_AXIS_0, { 4, 0, 5 }) },
        { "async_rows", { 3, 5 }, split(TEVO_BACKEND_SPLIT_AXIS_1, { 2, 2, 1 }) },
        { "async_planes", { 2, 2, 3 }, split(TEVO_BACKEND_SPLIT_AXIS_2, { 1, 1, 1 }) },
        { "async_axis3", { 2, 2, 1, 4 }, split(TEVO_BACKEND_SPLIT_AXIS_3, { 1, 2, 1 }) },
        { "async_mirrored", { 5, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED) },
        { "async_partial", { 5, 2 }, meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_PARTIAL) },
    };
    tevo_backend_t backend = tevo_backend_dev_init(meta_device(plain_set(), 3), nullptr);
    for (const async_case & c : cases) {
        stored                   s(3, c.name, TEVO_TYPE_F32, c.ne, c.ss);
        const size_t             n    = (size_t) tevo_nelements(s.t);
        const std::vector<float> data = random_floats(n, 11);
        tevo_backend_tensor_set_async(backend, s.t, data.data(), 0, n * sizeof(float));
        std::vector<float> back(n, 0.0f);
        tevo_backend_tensor_get_async(backend, s.t, back.data(), 0, n * sizeof(float));
        tevo_backend_synchronize(backend);
        for (size_t i = 0; i < n; i++) {
            ASSERT_NEAR(back[i], data[i], 1e-6f * (1.0f + std::fabs(data[i]))) << c.name << " element " << i;
        }
        // the synchronous read sees the same scatter
        std::vector<float> sync_back(n, 0.0f);
        tevo_backend_tensor_get(s.t, sync_back.data(), 0, n * sizeof(float));
        for (size_t i = 0; i < n; i++) {
            ASSERT_NEAR(sync_back[i], data[i], 1e-6f * (1.0f + std::fabs(data[i]))) << c.name;
        }
    }
    tevo_backend_free(backend);
}

}
