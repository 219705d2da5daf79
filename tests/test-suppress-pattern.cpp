// The suppress pattern's bounds: what the driver refuses before any work,
// that accepted patterns keep their meaning and match in bounded time (the
// cases that made the backtracking engine run for hours), and that a token
// text beyond the text bound is never matched.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct log_capture {
    std::mutex               mutex;
    std::vector<std::string> lines;

    log_capture() {
        kestu_log_set(
            [](enum tevo_log_level, const char * text, void * user_data) {
                auto *                      self = (log_capture *) user_data;
                std::lock_guard<std::mutex> lock(self->mutex);
                self->lines.push_back(text);
            },
            this);
    }
    ~log_capture() { kestu_log_set(nullptr, nullptr); }

    int count(const std::string & part) {
        std::lock_guard<std::mutex> lock(mutex);
        int                         n = 0;
        for (const std::string & l : lines) {
            n += l.find(part) != std::string::npos;
        }
        return n;
    }
};

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
using ctx_ptr = std::unique_ptr<kestu_context, ctx_deleter>;

// a tiny random model whose vocabulary section is texts
ctx_ptr tiny_model(const std::vector<std::string> & texts) {
    kestu_model_recipe recipe;
    recipe.n_audio_ctx   = 64;
    recipe.n_audio_state = recipe.n_text_state = 8;
    recipe.n_audio_head = recipe.n_text_head = 1;
    recipe.n_text_ctx                      = 16;
    recipe.n_mels                          = 8;
    recipe.vocab                           = texts;
    std::vector<uint8_t>       bytes     = kestu_write_model(recipe);
    kestu_context_params       cp        = kestu_context_default_params();
    cp.use_gpu                           = false;
    return ctx_ptr(kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), cp));
}

struct bound_case {
    std::string pattern;
    const char * log_part; // NULL: accepted
};

TEST(SuppressPattern, BoundsAreRefusedWithTheirReason) {
    const std::string at_limit(KESTU_SUPPRESS_PATTERN_MAX_LEN, 'a');
    const std::vector<bound_case> cases = {
        {"[0-9]+", nullptr},
        {at_limit, nullptr},
        {at_limit + "a", "longer than 256 bytes"},
        {"(\\w+)\\s\\1", "holds a back-reference"},
        {"(a)(b)\\2", "holds a back-reference"},
        {"\\0", nullptr},                      // the NUL character, not a reference
        {"a{1023}", nullptr},                  // 1024 atoms
        {"a{1024}", "repeats to more than 1024 atoms"},
        {"a{2,99999}", "repeats to more than 1024 atoms"},
        {"(a{40}){40}", "repeats to more than 1024 atoms"},
        {"((a?){10}){10}", nullptr},
        {"(?:a|b){600}", "repeats to more than 1024 atoms"},
        {"a{99999999999999999999}", "repeats to more than 1024 atoms"}, // no overflow to a small count
        {"[]{2000}]", "repeats to more than 1024 atoms"},              // a class ends at its first ']'
        {"([a-z", "invalid suppress_pattern"},
        {"a{3,1}", "invalid suppress_pattern"},
    };
    for (const bound_case & c : cases) {
        SCOPED_TRACE(c.pattern);
        log_capture log;
        std::regex  re;
        EXPECT_EQ(kestu_compile_suppress_pattern(c.pattern.c_str(), re), c.log_part == nullptr);
        if (c.log_part != nullptr) {
            EXPECT_EQ(log.count(c.log_part), 1);
        }
    }
}

struct match_case {
    const char * pattern;
    std::string  text;
    bool         matches;
};

TEST(SuppressPattern, AcceptedPatternsMatchWholeTextsPromptly) {
    const std::string many_a(KESTU_SUPPRESS_TEXT_MAX_LEN, 'a');
    const std::vector<match_case> cases = {
        {"[0-9]+", "123", true},
        {"[0-9]+", " 123", false}, // the whole text, not a part of it
        {" ?(zero|one)", " one", true},
        {"(?=ab)a.", "ab", true},
        {"(?=ab)a.", "ac", false},
        {"\\s+", " \t", true},
        // exponential for a backtracking matcher: hours at this length
        {"(a*)*b", many_a, false},
        {"(a|a)*b", many_a, false},
        {"(a|aa)*c", many_a, false},
        {".*.*.*.*.*.*.*.*=.*", many_a, false},
        {"(a*)*", many_a, true},
        {"((a?){10}){10}a*", many_a, true},
    };
    for (const match_case & c : cases) {
        SCOPED_TRACE(c.pattern);
        std::regex re;
        ASSERT_TRUE(kestu_compile_suppress_pattern(c.pattern, re));
        EXPECT_EQ(std::regex_match(c.text, re), c.matches);
    }
}

TEST(SuppressPattern, TheDriverRefusesBeforeAnyWork) {
    ctx_ptr ctx = tiny_model({});
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> silence(16000, 0.0f);
    for (const char * pattern : {"(\\w)\\1", "x{5000}"}) {
        SCOPED_TRACE(pattern);
        kestu_full_params p = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
        p.n_threads         = 1;
        p.suppress_pattern  = pattern;
        log_capture log;
        EXPECT_EQ(kestu_full(ctx.get(), p, silence.data(), (int) silence.size()), KESTU_FULL_ERR_SUPPRESS_PATTERN);
        EXPECT_EQ(ctx->state->mel.n_len, 0); // not even the spectrogram was made
    }
}

TEST(SuppressPattern, TextsBeyondTheBoundAreNeverMatched) {
    std::vector<std::string> texts = kestu_writer_default_vocab(51864);
    texts.resize(300);
    const kestu_token at_bound = 298, beyond = 299;
    texts[at_bound]            = std::string(KESTU_SUPPRESS_TEXT_MAX_LEN, 'a');
    texts[beyond]              = std::string(KESTU_SUPPRESS_TEXT_MAX_LEN + 1, 'a');
    ctx_ptr ctx                = tiny_model(texts);
    ASSERT_NE(ctx, nullptr);

    std::regex re;
    ASSERT_TRUE(kestu_compile_suppress_pattern("a+", re));
    kestu_full_params p     = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    p.suppress_pattern      = "a+";
    p.suppress_non_speech   = false;
    p.first_timestamp_limit = 0.0f;

    kestu_decoder     decoder;
    const kestu_vocab & vocab = ctx->vocab;
    decoder.logits.assign(vocab.n_vocab, 0.0f);
    // no timestamp mass, which would outweigh the text tokens
    std::fill(decoder.logits.begin() + vocab.token_beg, decoder.logits.end(), -INFINITY);
    decoder.logprobs.assign(vocab.n_vocab, 0.0f);
    decoder.probs.assign(vocab.n_vocab, 0.0f);
    kestu_filter_logits_end(*ctx, *ctx->state, decoder, p, &re);

    EXPECT_EQ(decoder.logits['a'], -INFINITY);
    EXPECT_EQ(decoder.logits[at_bound], -INFINITY);
    EXPECT_EQ(decoder.logits[beyond], 0.0f);
    EXPECT_EQ(decoder.logits['b'], 0.0f);
}

} // namespace
