// Weight placement: which buffer type of the list each weight takes, decided
// by a trial operation for matrix and row-lookup weights, with a stand-in
// device whose answers the test chooses.

#include "kestu-impl.h"
#include "test-backend-mock.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct trial {
    enum tevo_op               op;
    tevo_backend_buffer_type_t weight_buft; // where the weight seemed to live when asked
    int64_t                    b_ne1;       // second extent of the matrix product's other operand
};

struct fake_device {
    enum tevo_backend_device_type type   = TEVO_BACKEND_DEVICE_TYPE_CPU;
    bool                          answer = true;
    std::vector<trial>            asked;
    tevo_backend_device           dev    = {};

    static fake_device * of(tevo_backend_dev_t d) { return static_cast<fake_device *>(d->context); }

    static enum tevo_backend_device_type get_type(tevo_backend_dev_t d) { return of(d)->type; }
    static const char * get_name(tevo_backend_dev_t) { return "FAKE"; }
    static bool supports_op(tevo_backend_dev_t d, const tevo_tensor * op) {
        const tevo_tensor * w = op->src[0];
        of(d)->asked.push_back({op->op, w->buffer ? w->buffer->buft : nullptr,
                                op->op == TEVO_OP_MUL_MAT ? op->src[1]->ne[1] : 0});
        return of(d)->answer;
    }

    fake_device() {
        dev.iface.get_type    = get_type;
        dev.iface.get_name    = get_name;
        dev.iface.supports_op = supports_op;
        dev.context           = this;
    }
};

struct placement_case {
    const char *                  name;
    enum tevo_backend_device_type fake_type;
    bool                          answer;
    int32_t                       role;
    int32_t                       kind;
    bool                          lands_in_fake; // else the plain CPU type
    bool                          asked;
};

class WeightPlacement : public ::testing::Test {
protected:
    kestu_hparams     hp;
    kestu_model       model;
    mock::BufferType  fake_buft{mock::options{"FAKEBUF"}};
    fake_device       fake;
    tevo_context *    meta_ctx = nullptr;
    std::map<tevo_backend_buffer_type_t, tevo_context *> ctx_map;

    void SetUp() override {
        hp.n_audio_ctx = 96;
        meta_ctx       = mock::new_meta_ctx();
    }
    void TearDown() override {
        tevo_free(meta_ctx);
        for (tevo_context * c : model.ctxs) {
            tevo_free(c);
        }
    }

    kestu_buft_list list_with_fake() {
        return {{&fake.dev, fake_buft.get()},
                {tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU), tevo_backend_cpu_buffer_type()}};
    }
};

TEST_F(WeightPlacement, EachWeightTakesTheFirstBufferTypeThatServesIt) {
    const placement_case cases[] = {
        {"matrix weight, device says yes", TEVO_BACKEND_DEVICE_TYPE_CPU, true, KESTU_ROLE_ATTN_Q_W, KESTU_KIND_ENCODER, true, true},
        {"matrix weight, device says no", TEVO_BACKEND_DEVICE_TYPE_CPU, false, KESTU_ROLE_MLP_0_W, KESTU_KIND_DECODER, false, true},
        {"row lookup, device says yes", TEVO_BACKEND_DEVICE_TYPE_CPU, true, KESTU_ROLE_DEC_TOKEN_EMBD, KESTU_KIND_DECODER, true, true},
        {"row lookup, device says no", TEVO_BACKEND_DEVICE_TYPE_CPU, false, KESTU_ROLE_DEC_POS_EMBD, KESTU_KIND_DECODER, false, true},
        {"bias never asked", TEVO_BACKEND_DEVICE_TYPE_CPU, true, KESTU_ROLE_ATTN_Q_B, KESTU_KIND_CROSS, false, false},
        {"convolution never asked", TEVO_BACKEND_DEVICE_TYPE_CPU, true, KESTU_ROLE_CONV1_W, KESTU_KIND_ENCODER, false, false},
        {"GPU takes a matrix without asking", TEVO_BACKEND_DEVICE_TYPE_GPU, false, KESTU_ROLE_ATTN_K_W, KESTU_KIND_CROSS, true, false},
        {"secondary GPU takes a bias", TEVO_BACKEND_DEVICE_TYPE_GPU_SECONDARY, false, KESTU_ROLE_ATTN_V_B, KESTU_KIND_DECODER, true, false},
    };
    for (const placement_case & c : cases) {
        SCOPED_TRACE(c.name);
        fake.type   = c.fake_type;
        fake.answer = c.answer;
        fake.asked.clear();
        const int n_alloc_before = fake_buft.ctx.n_alloc;

        const kestu_buft_list list = list_with_fake();
        kestu_placement       placement{hp, list, ctx_map, 16, model};
        tevo_tensor *         meta = tevo_new_tensor_2d(meta_ctx, TEVO_TYPE_F16, 64, 32);
        tevo_tensor *         w    = create_model_tensor(placement, c.role, c.kind, meta, 3);

        ASSERT_NE(w, nullptr);
        EXPECT_EQ(meta->buffer, nullptr); // the trial leaves no buffer behind
        EXPECT_EQ(w->buffer, nullptr);
        EXPECT_EQ(w->type, TEVO_TYPE_F16);
        EXPECT_EQ(w->ne[0], 64);
        EXPECT_EQ(w->ne[1], 32);
        const tevo_backend_buffer_type_t want = c.lands_in_fake ? fake_buft.get() : tevo_backend_cpu_buffer_type();
        ASSERT_TRUE(ctx_map.count(want));
        EXPECT_EQ(tevo_get_first_tensor(ctx_map.at(want)) != nullptr, true);

        bool found = false;
        for (tevo_tensor * t = tevo_get_first_tensor(ctx_map.at(want)); t; t = tevo_get_next_tensor(ctx_map.at(want), t)) {
            found = found || t == w;
        }
        EXPECT_TRUE(found);

        EXPECT_EQ(fake.asked.size(), c.asked ? 1u : 0u);
        if (c.asked && !fake.asked.empty()) {
            EXPECT_EQ(fake.asked[0].weight_buft, fake_buft.get());
            EXPECT_EQ(fake.asked[0].op, kestu_tensor_ops.at(c.role));
            if (fake.asked[0].op == TEVO_OP_MUL_MAT) {
                EXPECT_EQ(fake.asked[0].b_ne1, hp.n_audio_ctx);
            }
        }
        // the question needs no storage
        EXPECT_EQ(fake_buft.ctx.n_alloc, n_alloc_before);

        const std::string name = kestu_format(kestu_tensor_names.at(c.kind).at(c.role), 3);
        ASSERT_TRUE(model.tensors.count(name)) << name;
        EXPECT_EQ(model.tensors.at(name), w);
    }
    // one context per buffer type used, each also owned by the model
    EXPECT_EQ(ctx_map.size(), 2u);
    EXPECT_EQ(model.ctxs.size(), 2u);
}

TEST_F(WeightPlacement, NoServingBufferTypeThrowsWithTheNameTemplate) {
    fake.answer = false;
    const kestu_buft_list list = {{&fake.dev, fake_buft.get()}};
    kestu_placement       placement{hp, list, ctx_map, 16, model};
    tevo_tensor *         meta = tevo_new_tensor_1d(meta_ctx, TEVO_TYPE_F32, 64);
    try {
        create_model_tensor(placement, KESTU_ROLE_ATTN_Q_B, KESTU_KIND_ENCODER, meta, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error & e) {
        EXPECT_STREQ(e.what(), "failed to find a compatible buffer type for tensor encoder.blocks.%d.attn.query.bias");
    }
    EXPECT_TRUE(model.tensors.empty());
}

} // namespace
