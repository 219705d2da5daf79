// The shipped model on its sample clips, through the spectrogram, the
// encoder and the decoder one step at a time: with the clip's own words fed
// back, every step's largest logit is the next word, then end of text.
// Slow (a full 30-second window per clip), so not run under the sanitizers;
// the graphs and runs are checked there by test-encoder-decoder.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
using ctx_ptr = std::unique_ptr<kestu_context, ctx_deleter>;

std::vector<float> last_logits(kestu_context & ctx, kestu_state & state, int n_tokens) {
    const int n_vocab = ctx.model.hparams.n_vocab;
    return std::vector<float>(state.logits.begin() + (size_t) (n_tokens - 1) * n_vocab,
                              state.logits.begin() + (size_t) n_tokens * n_vocab);
}

std::string models_dir() {
#ifdef KESTU_MODELS_DIR
    return KESTU_MODELS_DIR;
#else
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../models";
#endif
}

std::vector<float> read_clip(const std::string & path) {
    std::ifstream      in(path, std::ios::binary);
    std::vector<char>  bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// Decoded from [start of transcript, no timestamps], with both attention paths.
TEST(SharedModel, EachStepPredictsTheNextWordOfTheClip) {
    const std::string dir = models_dir();

    for (bool flash : { true, false }) {
        SCOPED_TRACE(flash ? "fused" : "softmax");
        kestu_context_params params = kestu_context_default_params();
        params.flash_attn           = flash;
        ctx_ptr ctx(kestu_init_from_file_with_params((dir + "/digits-tiny-f16.bin").c_str(), params));
        ASSERT_NE(ctx, nullptr);

        std::ifstream tsv(dir + "/samples/samples.tsv");
        ASSERT_TRUE(tsv.good());
        std::string line;
        std::getline(tsv, line); // header
        int n_clips = 0;
        while (std::getline(tsv, line)) {
            if (line.empty()) {
                continue;
            }
            const std::string file = line.substr(0, line.find('\t'));
            const std::string text = line.substr(line.find('\t') + 1);
            SCOPED_TRACE(file + ": " + text);

            const std::vector<float> pcm = read_clip(dir + "/samples/" + file);
            ASSERT_FALSE(pcm.empty());
            ASSERT_EQ(kestu_pcm_to_mel(ctx.get(), pcm.data(), (int) pcm.size(), 4), 0);
            ASSERT_EQ(kestu_encode(ctx.get(), 0, 4), 0);

            std::vector<kestu_token> expected;
            std::istringstream       words(text);
            std::string              word;
            while (words >> word) {
                const auto it = ctx->vocab.token_to_id.find(" " + word);
                ASSERT_NE(it, ctx->vocab.token_to_id.end()) << word;
                expected.push_back(it->second);
            }
            expected.push_back(kestu_token_eot(ctx.get()));

            std::vector<kestu_token> seq = { kestu_token_sot(ctx.get()), kestu_token_not(ctx.get()) };
            ASSERT_EQ(kestu_decode(ctx.get(), seq.data(), 2, 0, 4), 0);
            for (size_t step = 0; step < expected.size(); ++step) {
                const std::vector<float> logits = last_logits(*ctx, *ctx->state, step == 0 ? 2 : 1);
                const kestu_token        best =
                    (kestu_token) (std::max_element(logits.begin(), logits.end()) - logits.begin());
                EXPECT_EQ(best, expected[step]) << "step " << step;
                if (step + 1 < expected.size()) {
                    const kestu_token next = expected[step];
                    ASSERT_EQ(kestu_decode(ctx.get(), &next, 1, (int) seq.size(), 4), 0);
                    seq.push_back(next);
                }
            }
            ++n_clips;
        }
        EXPECT_EQ(n_clips, 10);
    }
}

} // namespace
