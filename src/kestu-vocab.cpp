#include "kestu-impl.h"

#include <algorithm>
#include <cstring>

// Tokenizer, special tokens and languages: text to token ids by pre-split
// words and greedy longest-prefix lookup, the special-token getters, and the
// translations between language ids, codes and names.
//
// Words are split as the regular expression
//   's|'t|'re|'ve|'m|'ll|'d| ?[[:alpha:]]+| ?[[:digit:]]+| ?[^\s[:alpha:][:digit:]]+|\s+(?!\S)|\s+
// would split them in the default locale, but by a hand-written scanner: the
// standard library's matcher recurses once per character of a run and
// overflows the stack on a run of some ten thousand letters or spaces.
//
// The lookup tries the prefixes of what is left of a word, longest first, in
// the text-to-id map. Prefixes longer than the longest vocabulary entry
// (measured once, as the vocabulary is loaded) cannot match and are not
// tried, so a call costs time linear in its text's length rather than cubic,
// and nothing in the vocabulary's size.

namespace {

// the character classes of the default locale
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// neither space, letter nor digit: punctuation and the bytes of non-ASCII
// UTF-8 characters
bool is_other(char c) {
    return !is_space(c) && !is_alpha(c) && !is_digit(c);
}

// length of the word that starts at p (p < n), taking the first alternative
// of the pattern that matches there
size_t pre_split_word_at(const std::string & text, size_t p) {
    const size_t n = text.size();

    // contractions
    if (text[p] == '\'') {
        for (const char * suffix : {"s", "t", "re", "ve", "m", "ll", "d"}) {
            if (text.compare(p + 1, strlen(suffix), suffix) == 0) {
                return 1 + strlen(suffix);
            }
        }
    }

    // a run of one class, with one optional space in front
    for (bool (*in_class)(char) : {is_alpha, is_digit, is_other}) {
        size_t q = p;
        if (text[q] == ' ' && q + 1 < n && in_class(text[q + 1])) {
            q++;
        }
        if (in_class(text[q])) {
            while (q < n && in_class(text[q])) {
                q++;
            }
            return q - p;
        }
    }

    // whitespace: the run, less its last space when a word follows it
    // (\s+(?!\S)); a single space before a word stands alone (\s+)
    size_t q = p;
    while (q < n && is_space(text[q])) {
        q++;
    }
    if (q < n && q - p >= 2) {
        return q - p - 1;
    }
    return q - p;
}

} // namespace

std::vector<std::string> kestu_pre_split(const std::string & text) {
    std::vector<std::string> words;
    // every byte starts some alternative, so no text is ever skipped
    for (size_t p = 0; p < text.size();) {
        const size_t len = pre_split_word_at(text, p);
        words.push_back(text.substr(p, len));
        p += len;
    }
    return words;
}

namespace {

// appends the ids of one word: the longest vocabulary entry at each position
void tokenize_word(const kestu_vocab & vocab, const std::string & word, std::vector<kestu_token> & ids) {
    const size_t n = word.size();
    size_t i = 0;
    while (i < n) {
        bool found = false;
        for (size_t j = std::min(n, i + vocab.max_token_len); j > i; j--) {
            auto it = vocab.token_to_id.find(word.substr(i, j - i));
            if (it != vocab.token_to_id.end()) {
                ids.push_back(it->second);
                i     = j;
                found = true;
                break;
            }
        }
        if (!found) {
            // a byte no entry covers yields no token
            KESTU_LOG_ERROR("unknown token\n");
            i++;
        }
    }
}

} // namespace

int kestu_tokenize(struct kestu_context * ctx, const char * text, kestu_token * tokens, int n_max_tokens) {
    if (ctx == nullptr || text == nullptr) {
        KESTU_LOG_ERROR("%s: no %s given\n", "kestu_tokenize", ctx == nullptr ? "context" : "text");
        return 0;
    }

    std::vector<kestu_token> ids;
    try {
        for (const std::string & word : kestu_pre_split(text)) {
            tokenize_word(ctx->vocab, word, ids);
        }
    } catch (const std::exception & e) {
        // exceptions never cross the C interface
        KESTU_LOG_ERROR("%s: %s\n", "kestu_tokenize", e.what());
        return 0;
    }

    const int n_ids = (int) ids.size();
    // without an array nothing can be written, whatever the capacity says
    const int capacity = tokens == nullptr ? 0 : n_max_tokens;
    if (n_ids > capacity) {
        KESTU_LOG_ERROR("%s: too many resulting tokens: %d (max %d)\n", "kestu_tokenize", n_ids, capacity);
        return -n_ids;
    }

    for (int i = 0; i < n_ids; i++) {
        tokens[i] = ids[i];
    }
    return n_ids;
}

int kestu_token_count(struct kestu_context * ctx, const char * text) {
    return -kestu_tokenize(ctx, text, nullptr, 0);
}

kestu_token kestu_token_eot(struct kestu_context * ctx) {
    return ctx->vocab.token_eot;
}

kestu_token kestu_token_sot(struct kestu_context * ctx) {
    return ctx->vocab.token_sot;
}

kestu_token kestu_token_solm(struct kestu_context * ctx) {
    return ctx->vocab.token_solm;
}

kestu_token kestu_token_prev(struct kestu_context * ctx) {
    return ctx->vocab.token_prev;
}

kestu_token kestu_token_nosp(struct kestu_context * ctx) {
    return ctx->vocab.token_nosp;
}

kestu_token kestu_token_not(struct kestu_context * ctx) {
    return ctx->vocab.token_not;
}

kestu_token kestu_token_beg(struct kestu_context * ctx) {
    return ctx->vocab.token_beg;
}

kestu_token kestu_token_lang(struct kestu_context * ctx, int lang_id) {
    // language tokens follow the start-of-transcript token in id order
    return kestu_token_sot(ctx) + 1 + lang_id;
}

kestu_token kestu_token_translate(struct kestu_context * ctx) {
    return ctx->vocab.token_translate;
}

kestu_token kestu_token_transcribe(struct kestu_context * ctx) {
    return ctx->vocab.token_transcribe;
}

int kestu_lang_max_id(void) {
    int max_id = 0;
    for (const auto & kv : kestu_languages) {
        max_id = std::max(max_id, (int) kv.second.first);
    }
    return max_id;
}

int kestu_lang_id(const char * lang) {
    if (lang == nullptr) {
        KESTU_LOG_ERROR("%s: unknown language '%s'\n", "kestu_lang_id", "(null)");
        return -1;
    }

    auto it = kestu_languages.find(lang);
    if (it != kestu_languages.end()) {
        return it->second.first;
    }

    for (const auto & kv : kestu_languages) {
        if (kv.second.second == lang) {
            return kv.second.first;
        }
    }

    KESTU_LOG_ERROR("%s: unknown language '%s'\n", "kestu_lang_id", lang);
    return -1;
}

const char * kestu_lang_str(int id) {
    for (const auto & kv : kestu_languages) {
        if (kv.second.first == id) {
            return kv.first.c_str();
        }
    }

    KESTU_LOG_ERROR("%s: unknown language id %d\n", "kestu_lang_str", id);
    return nullptr;
}

const char * kestu_lang_str_full(int id) {
    for (const auto & kv : kestu_languages) {
        if (kv.second.first == id) {
            return kv.second.second.c_str();
        }
    }

    KESTU_LOG_ERROR("%s: unknown language id %d\n", "kestu_lang_str_full", id);
    return nullptr;
}
