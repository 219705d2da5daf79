// Context creation and release: the creators' failure paths, the caller's
// loader being closed exactly once, the parameter copy, the backend list and
// weight buffer types, and the string formatter.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

class KestuContext : public ::testing::Test {
protected:
    std::vector<captured_line> lines;

    void SetUp() override { kestu_log_set(capture, &lines); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }

    bool logged(tevo_log_level level, const std::string & part) const {
        for (const captured_line & l : lines) {
            if (l.level == level && l.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

// a memory loader that counts its calls
struct counting_loader {
    std::vector<uint8_t> bytes;
    size_t               offset = 0;
    int                  n_close = 0;

    static size_t read(void * ctx, void * out, size_t n) {
        counting_loader * l = static_cast<counting_loader *>(ctx);
        const size_t      c = std::min(n, l->bytes.size() - l->offset);
        std::memcpy(out, l->bytes.data() + l->offset, c);
        l->offset += c;
        return c;
    }
    static bool eof(void * ctx) {
        counting_loader * l = static_cast<counting_loader *>(ctx);
        return l->offset >= l->bytes.size();
    }
    static void close(void * ctx) { static_cast<counting_loader *>(ctx)->n_close++; }

    kestu_model_loader loader() { return {this, read, eof, close}; }
};

kestu_model_recipe tiny_recipe() {
    kestu_model_recipe recipe;
    recipe.n_audio_state = recipe.n_text_state = 32;
    recipe.n_audio_ctx = 64;
    recipe.n_text_ctx  = 32;
    return recipe;
}

TEST_F(KestuContext, AMissingFileGivesNoContext) {
    const char * path = "/nonexistent/dir/model.bin";
    EXPECT_EQ(kestu_init_from_file_with_params_no_state(path, kestu_context_default_params()), nullptr);
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_ERROR,
                       "kestu_init_from_file_with_params_no_state: failed to open '/nonexistent/dir/model.bin'\n"));
    EXPECT_EQ(kestu_init_from_file_with_params(path, kestu_context_default_params()), nullptr);
    EXPECT_EQ(kestu_init_from_file_no_state(path), nullptr);
    EXPECT_EQ(kestu_init_from_file(path), nullptr);
    EXPECT_EQ(kestu_init_from_file_with_params_no_state(nullptr, kestu_context_default_params()), nullptr);
}

TEST_F(KestuContext, FreeIgnoresNull) {
    kestu_free(nullptr);
}

TEST_F(KestuContext, TheCallersLoaderIsClosedOnceOnSuccessAndFailure) {
    for (bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "broken" : "good");
        counting_loader cl;
        cl.bytes = kestu_write_model(tiny_recipe());
        if (broken) {
            cl.bytes[0] ^= 0xff;
        }
        kestu_model_loader loader = cl.loader();
        kestu_context *    ctx    = kestu_init_with_params_no_state(&loader, kestu_context_default_params());
        EXPECT_EQ(ctx != nullptr, !broken);
        EXPECT_EQ(cl.n_close, 1);
        kestu_free(ctx);
    }
}

TEST_F(KestuContext, AnIncompleteLoaderIsRefused) {
    counting_loader    cl;
    kestu_model_loader loader = cl.loader();
    loader.read               = nullptr;
    EXPECT_EQ(kestu_init_with_params_no_state(&loader, kestu_context_default_params()), nullptr);
    EXPECT_EQ(cl.n_close, 1);
    EXPECT_EQ(kestu_init_with_params_no_state(nullptr, kestu_context_default_params()), nullptr);
    EXPECT_EQ(kestu_init_no_state(nullptr), nullptr);
}

TEST_F(KestuContext, FlashAttentionTurnsTokenTimestampsOff) {
    std::vector<uint8_t> bytes  = kestu_write_model(tiny_recipe());
    kestu_context_params params = kestu_context_default_params();
    params.flash_attn           = true;
    params.dtw_token_timestamps = true;
    kestu_context * ctx = kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(), params);
    ASSERT_NE(ctx, nullptr);
    EXPECT_FALSE(ctx->params.dtw_token_timestamps);
    EXPECT_TRUE(ctx->params.flash_attn);
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_WARN, "kestu_init_with_params_no_state: dtw_token_timestamps is not "
                                            "supported with flash_attn - disabling\n"));
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_init_with_params_no_state: dtw        = 0\n"));
    EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_init_from_buffer_with_params_no_state: loading model from buffer\n"));
    EXPECT_EQ(ctx->kv_type, TEVO_TYPE_F16);
    EXPECT_EQ(ctx->state, nullptr);
    kestu_free(ctx);
}

TEST_F(KestuContext, WithStateCreatorsNeverLeaveAContextWithoutState) {
    // whatever state creation does, a returned context has its state
    std::vector<uint8_t> bytes = kestu_write_model(tiny_recipe());
    kestu_context *      ctx   = kestu_init_from_buffer_with_params(bytes.data(), bytes.size(),
                                                                   kestu_context_default_params());
    if (ctx != nullptr) {
        EXPECT_NE(ctx->state, nullptr);
    }
    kestu_free(ctx);
}

TEST_F(KestuContext, BackendListEndsWithTheCpu) {
    for (bool use_gpu : {false, true}) {
        kestu_context_params params = kestu_context_default_params();
        params.use_gpu              = use_gpu;
        std::vector<tevo_backend_t> backends = kestu_backend_init(params);
        ASSERT_FALSE(backends.empty());
        EXPECT_EQ(tevo_backend_dev_type(tevo_backend_get_device(backends.back())), TEVO_BACKEND_DEVICE_TYPE_CPU);
        for (tevo_backend_t b : backends) {
            tevo_backend_free(b);
        }
        EXPECT_TRUE(logged(TEVO_LOG_LEVEL_INFO, "kestu_backend_init_gpu: no GPU found\n"));
    }
}

TEST_F(KestuContext, BufferTypeListEndsWithThePlainCpuType) {
    for (bool use_gpu : {false, true}) {
        kestu_context_params params = kestu_context_default_params();
        params.use_gpu              = use_gpu;
        const kestu_buft_list list  = kestu_make_buffer_type_list(params);
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list.back().second, tevo_backend_cpu_buffer_type());
        EXPECT_EQ(list.back().first, tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU));
        for (const auto & [dev, buft] : list) {
            EXPECT_EQ(tevo_backend_dev_type(dev), TEVO_BACKEND_DEVICE_TYPE_CPU); // no GPU here
        }
    }
}

TEST_F(KestuContext, EveryWeightHasABufferOfItsContext) {
    std::vector<uint8_t> bytes = kestu_write_model(tiny_recipe());
    kestu_context * ctx = kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(),
                                                                     kestu_context_default_params());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->model.ctxs.size(), ctx->model.buffers.size());
    for (const auto & [name, t] : ctx->model.tensors) {
        ASSERT_NE(t->buffer, nullptr) << name;
        ASSERT_NE(t->data, nullptr) << name;
        // matrix weights may take another type; the rest sit in plain host memory
        if (t->type == TEVO_TYPE_F32 && tevo_n_dims(t) == 1) {
            EXPECT_EQ(tevo_backend_buffer_get_type(t->buffer), tevo_backend_cpu_buffer_type()) << name;
        }
    }
    kestu_free(ctx);
}

TEST_F(KestuContext, FormatPrintsLikePrintf) {
    EXPECT_EQ(kestu_format("%s.%d", "encoder.blocks", 3), "encoder.blocks.3");
    EXPECT_EQ(kestu_format("%s", ""), "");
    const std::string long_text(5000, 'y');
    EXPECT_EQ(kestu_format("<%s>", long_text.c_str()), "<" + long_text + ">");
}

} // namespace
