// Tokenizer over a hand-made vocabulary (pre-split words, longest-prefix
// choice, bytes without an entry, the capacity rule), the special-token
// getters for English-only and multilingual models, and the language
// functions.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
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

class Tokenizer : public ::testing::Test {
protected:
    kestu_context ctx;
    std::vector<captured_line> lines;

    void SetUp() override {
        const std::vector<std::pair<std::string, int>> entries = {
            {"h", 1},      {"he", 2},      {"hel", 3},     {"hello", 4},  {" w", 5},     {" wor", 6},
            {" world", 7}, {" ", 8},       {"o", 9},       {"l", 10},     {"!", 11},     {"'s", 12},
            {"it", 13},    {"1", 14},      {"12", 15},     {" 3", 16},    {"\n", 17},    {"  ", 18},
            {"\xC3\xA9", 19}, // "é" as one entry
            {"a", 20},     {" b", 21},     {"c", 22},
        };
        for (const auto & e : entries) {
            ctx.vocab.token_to_id[e.first]  = e.second;
            ctx.vocab.id_to_token[e.second] = e.first;
            ctx.vocab.max_token_len         = std::max(ctx.vocab.max_token_len, e.first.size());
        }
        kestu_log_set(capture, &lines);
    }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }

    int count_lines(const std::string & text) const {
        int n = 0;
        for (const auto & l : lines) {
            n += l.text == text && l.level == TEVO_LOG_LEVEL_ERROR;
        }
        return n;
    }
};

TEST_F(Tokenizer, SplitsWordsAndTakesTheLongestEntryAtEachPosition) {
    const struct {
        const char * text;
        std::vector<kestu_token> ids;
        int unknown; // "unknown token" lines
    } cases[] = {
        {"", {}, 0},
        {"hello world", {4, 7}, 0},
        // a leading space stays on the word; " hello" has no entry, so the
        // space alone and then "hello"
        {" hello world", {8, 4, 7}, 0},
        // whitespace before a word: all but the last space make their own word
        {"   hello", {18, 8, 4}, 0},
        {"help", {3}, 1},           // "hel", then "p" has no entry
        {"hellow", {4}, 1},         // "hello", then "w"
        {" wo", {5, 9}, 0},         // " wor" is longer than the word
        {"it's", {13, 12}, 0},      // contraction split off
        {"123", {15}, 1},           // "12", then "3" has no entry
        {"1 3", {14, 16}, 0},       // digits with their leading space
        {"hello!\n", {4, 11, 17}, 0},
        {"\xC3\xA9h", {19, 1}, 0},  // UTF-8 bytes form a run of their own
        {"\xC3\xA8", {}, 2},        // no entry for either byte: two lines, no token
        {"a b c", {20, 21, 8, 22}, 0},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.text);
        lines.clear();
        std::vector<kestu_token> out(16, -7);
        const int n = kestu_tokenize(&ctx, c.text, out.data(), (int) out.size());
        ASSERT_EQ(n, (int) c.ids.size());
        EXPECT_EQ(std::vector<kestu_token>(out.begin(), out.begin() + n), c.ids);
        for (size_t i = n; i < out.size(); i++) {
            EXPECT_EQ(out[i], -7) << "written past the count at " << i;
        }
        EXPECT_EQ(count_lines("unknown token\n"), c.unknown);
        EXPECT_EQ((int) lines.size(), c.unknown);
    }
}

TEST_F(Tokenizer, TooManyTokensReturnsMinusTheCountAndWritesNothing) {
    // "hello world world world world" is 5 tokens
    const char * text = "hello world world world world";
    std::vector<kestu_token> out(5, -7);
    EXPECT_EQ(kestu_tokenize(&ctx, text, out.data(), 5), 5);

    std::fill(out.begin(), out.end(), -7);
    lines.clear();
    EXPECT_EQ(kestu_tokenize(&ctx, text, out.data(), 3), -5);
    EXPECT_EQ(out, std::vector<kestu_token>(5, -7));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, TEVO_LOG_LEVEL_ERROR);
    EXPECT_EQ(lines[0].text, "kestu_tokenize: too many resulting tokens: 5 (max 3)\n");

    // no array: nothing can be written whatever the capacity
    lines.clear();
    EXPECT_EQ(kestu_tokenize(&ctx, text, nullptr, 100), -5);
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(Tokenizer, TokenCountLogsTheCapacityLineWithMaximumZero) {
    EXPECT_EQ(kestu_token_count(&ctx, "hello world world world world"), 5);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "kestu_tokenize: too many resulting tokens: 5 (max 0)\n");

    lines.clear();
    EXPECT_EQ(kestu_token_count(&ctx, ""), 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(Tokenizer, NullTextIsRefused) {
    kestu_token out[2] = {-7, -7};
    EXPECT_EQ(kestu_tokenize(&ctx, nullptr, out, 2), 0);
    EXPECT_EQ(out[0], -7);
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(Tokenizer, LongTextsSplitInLinearPasses) {
    std::string text;
    for (int i = 0; i < 20000; i++) {
        text += " world";
    }
    std::vector<kestu_token> out(20000);
    ASSERT_EQ(kestu_tokenize(&ctx, text.c_str(), out.data(), (int) out.size()), 20000);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[19999], 7);
}

// ---------------------------------------------------------------------------
// word splitting

// the splitting rule as a regular expression, matched by the standard library
std::vector<std::string> pre_split_by_regex(const std::string & text) {
    static const std::regex re(
        R"('s|'t|'re|'ve|'m|'ll|'d| ?[[:alpha:]]+| ?[[:digit:]]+| ?[^\s[:alpha:][:digit:]]+|\s+(?!\S)|\s+)");
    std::vector<std::string> words;
    std::smatch m;
    for (auto it = text.cbegin(); std::regex_search(it, text.cend(), m, re); it = m[0].second) {
        words.push_back(m.str(0));
    }
    return words;
}

TEST(PreSplit, SplitsAsThePatternDoes) {
    const std::vector<std::string> fixed = {
        "", " ", "  ", "   x", "\t\tx", " \tx", "x  ", "it's", "we're'll", "'S", "'", "''s", " 's",
        "a1b2", " 12 ab", "!!a", " !!", "\xC3\xA9t\xC3\xA9 !", "x\r\n\r\ny", "\v\fq", "'reve", "- 3",
    };
    for (const std::string & text : fixed) {
        EXPECT_EQ(kestu_pre_split(text), pre_split_by_regex(text)) << text;
    }

    // random texts over the bytes that decide between the alternatives
    const char alphabet[] = {'a', 'Z', 's', 't', 'r', 'e', 'v', 'm', 'l', 'd', '0', '7', ' ', ' ', '\t', '\n',
                             '\'', '\'', '!', '-', '\xC3', '\xA9'};
    std::mt19937 rng(12345);
    for (int iter = 0; iter < 20000; iter++) {
        std::string text(rng() % 24, ' ');
        for (char & c : text) {
            c = alphabet[rng() % sizeof(alphabet)];
        }
        ASSERT_EQ(kestu_pre_split(text), pre_split_by_regex(text)) << text;
    }
}

TEST(PreSplit, LongRunsDoNotExhaustTheStack) {
    // runs far longer than a recursive matcher survives
    const struct {
        std::string text;
        std::vector<size_t> lengths;
    } cases[] = {
        {std::string(200000, 'a'), {200000}},
        {std::string(200000, ' ') + "a", {199999, 2}},
        {std::string(200000, '!'), {200000}},
        {" " + std::string(200000, '7'), {200001}},
    };
    for (const auto & c : cases) {
        const std::vector<std::string> words = kestu_pre_split(c.text);
        ASSERT_EQ(words.size(), c.lengths.size());
        for (size_t i = 0; i < words.size(); i++) {
            EXPECT_EQ(words[i].size(), c.lengths[i]);
        }
    }
}

TEST_F(Tokenizer, ALongWordIsLookedUpOnlyAsFarAsTheLongestEntry) {
    // one word of 200000 letters: each "he" position is tried with at most
    // the longest entry's length, so this stays quick
    std::string text;
    for (int i = 0; i < 100000; i++) {
        text += "he";
    }
    std::vector<kestu_token> out(100000);
    ASSERT_EQ(kestu_tokenize(&ctx, text.c_str(), out.data(), (int) out.size()), 100000);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[99999], 2);
    EXPECT_TRUE(lines.empty());
}

// ---------------------------------------------------------------------------
// special tokens

struct special_ids {
    int n_vocab;
    kestu_token eot, sot, translate, transcribe, solm, prev, nosp, not_, beg;
};

void expect_special_ids(kestu_context * ctx, const special_ids & e) {
    EXPECT_EQ(kestu_token_eot(ctx), e.eot);
    EXPECT_EQ(kestu_token_sot(ctx), e.sot);
    EXPECT_EQ(kestu_token_translate(ctx), e.translate);
    EXPECT_EQ(kestu_token_transcribe(ctx), e.transcribe);
    EXPECT_EQ(kestu_token_solm(ctx), e.solm);
    EXPECT_EQ(kestu_token_prev(ctx), e.prev);
    EXPECT_EQ(kestu_token_nosp(ctx), e.nosp);
    EXPECT_EQ(kestu_token_not(ctx), e.not_);
    EXPECT_EQ(kestu_token_beg(ctx), e.beg);
    EXPECT_EQ(kestu_token_lang(ctx, 0), e.sot + 1);
    EXPECT_EQ(kestu_token_lang(ctx, 2), e.sot + 3);
}

TEST(SpecialTokens, ContextBeforeLoadingHasTheEnglishOnlyIds) {
    kestu_context ctx;
    expect_special_ids(&ctx, {51864, 50256, 50257, 50357, 50358, 50359, 50360, 50361, 50362, 50363});
    EXPECT_EQ(kestu_is_multilingual(&ctx), 0);
}

TEST(SpecialTokens, LoadedModelsOfEachVocabularySize) {
    const special_ids cases[] = {
        {51864, 50256, 50257, 50357, 50358, 50359, 50360, 50361, 50362, 50363},
        {51865, 50257, 50258, 50358, 50359, 50360, 50361, 50362, 50363, 50364},
        {51866, 50257, 50258, 50359, 50360, 50361, 50362, 50363, 50364, 50365},
    };
    kestu_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    for (const auto & c : cases) {
        SCOPED_TRACE(c.n_vocab);
        kestu_model_recipe model;
        model.n_vocab     = c.n_vocab;
        model.n_text_ctx  = 8;
        model.n_audio_ctx = 8;
        std::vector<uint8_t> bytes = kestu_write_model(model);

        kestu_context_params cparams = kestu_context_default_params();
        cparams.use_gpu = false;
        kestu_context * ctx = kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(), cparams);
        ASSERT_NE(ctx, nullptr);
        expect_special_ids(ctx, c);
        EXPECT_EQ(kestu_n_vocab(ctx), c.n_vocab);

        // the longest text, generated ones included, measured once at load
        // for every later call
        size_t longest = 0;
        for (const auto & entry : ctx->vocab.token_to_id) {
            longest = std::max(longest, entry.first.size());
        }
        EXPECT_EQ(ctx->vocab.max_token_len, longest);

        // the written vocabulary has every single byte, so any text comes
        // back whole from its tokens
        const std::string mixed = "Hello, world! It's 42 \xC3\xA9t\xC3\xA9...\n  ok";
        std::vector<kestu_token> out(64);
        const int m = kestu_tokenize(ctx, mixed.c_str(), out.data(), 64);
        ASSERT_GT(m, 0);
        std::string joined;
        for (int i = 0; i < m; i++) {
            EXPECT_LT(out[i], kestu_token_eot(ctx));
            joined += kestu_token_to_str(ctx, out[i]);
        }
        EXPECT_EQ(joined, mixed);

        EXPECT_EQ(kestu_is_multilingual(ctx), c.n_vocab > 51864 ? 1 : 0);
        kestu_free(ctx);
    }
    kestu_log_set(nullptr, nullptr);
}

TEST(SpecialTokens, ShippedModelTokenizesItsWords) {
    const std::string here = __FILE__;
    const std::string path = here.substr(0, here.find_last_of('/')) + "/../models/digits-tiny-f16.bin";
    kestu_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    kestu_context_params cparams = kestu_context_default_params();
    cparams.use_gpu = false;
    kestu_context * ctx = kestu_init_from_file_with_params_no_state(path.c_str(), cparams);
    kestu_log_set(nullptr, nullptr);
    ASSERT_NE(ctx, nullptr) << path;

    expect_special_ids(ctx, {51864, 50256, 50257, 50357, 50358, 50359, 50360, 50361, 50362, 50363});

    // every word of the model is one token with its leading space
    const char * text = " zero one two left right stop";
    kestu_token ids[16];
    const int n = kestu_tokenize(ctx, text, ids, 16);
    ASSERT_EQ(n, 6);
    const char * words[] = {" zero", " one", " two", " left", " right", " stop"};
    for (int i = 0; i < n; i++) {
        EXPECT_STREQ(kestu_token_to_str(ctx, ids[i]), words[i]);
    }
    kestu_free(ctx);
}

// ---------------------------------------------------------------------------
// languages

class Languages : public ::testing::Test {
protected:
    std::vector<captured_line> lines;
    void SetUp() override { kestu_log_set(capture, &lines); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }
};

TEST_F(Languages, CodesAndNamesBothFindTheId) {
    const struct {
        const char * text;
        int id;
    } cases[] = {
        {"de", 2}, {"german", 2}, {"en", 0}, {"english", 0}, {"yue", 99}, {"cantonese", 99},
        {"haitian creole", 80}, {"jw", 97},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(kestu_lang_id(c.text), c.id) << c.text;
    }
    EXPECT_TRUE(lines.empty());
}

TEST_F(Languages, UnknownTextsLogAndGiveMinusOne) {
    for (const char * text : {"German", "DE", "", "xx", "english "}) {
        lines.clear();
        EXPECT_EQ(kestu_lang_id(text), -1) << text;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, TEVO_LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[0].text, std::string("kestu_lang_id: unknown language '") + text + "'\n");
    }
    lines.clear();
    EXPECT_EQ(kestu_lang_id(nullptr), -1);
    EXPECT_EQ(lines.size(), 1u);
}

TEST_F(Languages, IdsToCodesAndNames) {
    EXPECT_EQ(kestu_lang_max_id(), 99);
    EXPECT_STREQ(kestu_lang_str(0), "en");
    EXPECT_STREQ(kestu_lang_str_full(0), "english");
    EXPECT_STREQ(kestu_lang_str(2), "de");
    EXPECT_STREQ(kestu_lang_str_full(2), "german");
    EXPECT_STREQ(kestu_lang_str(99), "yue");
    EXPECT_STREQ(kestu_lang_str_full(80), "haitian creole");
    EXPECT_TRUE(lines.empty());

    // every id round-trips through its code and its name
    for (int id = 0; id <= kestu_lang_max_id(); id++) {
        EXPECT_EQ(kestu_lang_id(kestu_lang_str(id)), id);
        EXPECT_EQ(kestu_lang_id(kestu_lang_str_full(id)), id);
    }
}

TEST_F(Languages, UnknownIdsLogAndGiveNull) {
    for (int id : {1000, 100, -1}) {
        lines.clear();
        EXPECT_EQ(kestu_lang_str(id), nullptr);
        EXPECT_EQ(kestu_lang_str_full(id), nullptr);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].text, "kestu_lang_str: unknown language id " + std::to_string(id) + "\n");
        EXPECT_EQ(lines[1].text, "kestu_lang_str_full: unknown language id " + std::to_string(id) + "\n");
    }
}

} // namespace
