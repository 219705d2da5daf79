#pragma once

// Helpers of the worker's end-to-end tests: a strict JSON and UTF-8 checker
// for every line the worker writes, the checks of its lines, and the shipped
// clips. KESTU_WORKER_PATH and KESTU_MODELS_DIR come from the build.

#include "worker-process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace worker_test {

inline std::string models_dir() {
    return KESTU_MODELS_DIR;
}

inline std::string model_path(const char * name) {
    return models_dir() + "/" + name;
}

// ---------------------------------------------------------------------------
// UTF-8 and JSON

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(const std::string & s) {
    const unsigned char * p = (const unsigned char *) s.data();
    const size_t          n = s.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        size_t              len;
        unsigned char       lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            lo  = c == 0xE0 ? 0xA0 : 0x80;
            hi  = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            lo  = c == 0xF0 ? 0x90 : 0x80;
            hi  = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + len > n || p[i + 1] < lo || p[i + 1] > hi) {
            return false;
        }
        for (size_t k = 2; k < len; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

struct json_value {
    enum kind_t { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool                                             boolean = false;
    double                                           number  = 0;
    std::string                                      text;  // number's spelling, or the decoded string
    std::vector<json_value>                          items;
    std::vector<std::pair<std::string, json_value>> members; // in the order written

    const json_value * get(const std::string & key) const {
        for (const auto & m : members) {
            if (m.first == key) {
                return &m.second;
            }
        }
        return nullptr;
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> k;
        for (const auto & m : members) {
            k.push_back(m.first);
        }
        return k;
    }
};

// RFC 8259 parser, strict: one value, no trailing text, no lone surrogates.
class json_parser {
public:
    explicit json_parser(const std::string & s) : s_(s) {}

    bool parse(json_value & out, std::string & error) {
        skip_ws();
        if (!value(out, 0)) {
            error = error_ + " at byte " + std::to_string(pos_);
            return false;
        }
        skip_ws();
        if (pos_ != s_.size()) {
            error = "trailing text at byte " + std::to_string(pos_);
            return false;
        }
        return true;
    }

private:
    const std::string & s_;
    size_t              pos_ = 0;
    std::string         error_;

    bool fail(const char * why) {
        error_ = why;
        return false;
    }

    void skip_ws() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool literal(const char * word) {
        const size_t n = strlen(word);
        if (s_.compare(pos_, n, word) != 0) {
            return fail("bad literal");
        }
        pos_ += n;
        return true;
    }

    bool value(json_value & v, int depth) {
        if (depth > 64) {
            return fail("nesting too deep");
        }
        if (pos_ >= s_.size()) {
            return fail("missing value");
        }
        const char c = s_[pos_];
        if (c == '{') {
            return object(v, depth);
        }
        if (c == '[') {
            return array(v, depth);
        }
        if (c == '"') {
            v.kind = json_value::STRING;
            return string(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind    = json_value::BOOLEAN;
            v.boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v.kind = json_value::NUL;
            return literal("null");
        }
        return number(v);
    }

    bool object(json_value & v, int depth) {
        v.kind = json_value::OBJECT;
        ++pos_;
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_ws();
            std::string key;
            if (pos_ >= s_.size() || s_[pos_] != '"' || !string(key)) {
                return fail(error_.empty() ? "expected a key" : error_.c_str());
            }
            skip_ws();
            if (pos_ >= s_.size() || s_[pos_] != ':') {
                return fail("expected ':'");
            }
            ++pos_;
            skip_ws();
            json_value item;
            if (!value(item, depth + 1)) {
                return false;
            }
            v.members.emplace_back(key, std::move(item));
            skip_ws();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(json_value & v, int depth) {
        v.kind = json_value::ARRAY;
        ++pos_;
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_ws();
            json_value item;
            if (!value(item, depth + 1)) {
                return false;
            }
            v.items.push_back(std::move(item));
            skip_ws();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(uint32_t & u) {
        if (pos_ + 4 > s_.size()) {
            return fail("short \\u escape");
        }
        u = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = s_[pos_++];
            u <<= 4;
            if (h >= '0' && h <= '9') {
                u |= (uint32_t) (h - '0');
            } else if (h >= 'a' && h <= 'f') {
                u |= (uint32_t) (h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                u |= (uint32_t) (h - 'A' + 10);
            } else {
                return fail("bad hex digit");
            }
        }
        return true;
    }

    static void append_utf8(std::string & out, uint32_t u) {
        if (u < 0x80) {
            out += (char) u;
        } else if (u < 0x800) {
            out += (char) (0xC0 | (u >> 6));
            out += (char) (0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += (char) (0xE0 | (u >> 12));
            out += (char) (0x80 | ((u >> 6) & 0x3F));
            out += (char) (0x80 | (u & 0x3F));
        } else {
            out += (char) (0xF0 | (u >> 18));
            out += (char) (0x80 | ((u >> 12) & 0x3F));
            out += (char) (0x80 | ((u >> 6) & 0x3F));
            out += (char) (0x80 | (u & 0x3F));
        }
    }

    bool string(std::string & out) {
        ++pos_; // opening quote
        out.clear();
        while (pos_ < s_.size()) {
            const unsigned char c = (unsigned char) s_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return fail("raw control character in a string");
            }
            if (c != '\\') {
                out += (char) c;
                continue;
            }
            if (pos_ >= s_.size()) {
                break;
            }
            const char e = s_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t u;
                    if (!hex4(u)) {
                        return false;
                    }
                    if (u >= 0xDC00 && u <= 0xDFFF) {
                        return fail("lone low surrogate");
                    }
                    if (u >= 0xD800 && u <= 0xDBFF) {
                        uint32_t lo;
                        if (s_.compare(pos_, 2, "\\u") != 0) {
                            return fail("lone high surrogate");
                        }
                        pos_ += 2;
                        if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) {
                            return fail("lone high surrogate");
                        }
                        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    append_utf8(out, u);
                    break;
                }
                default: return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    bool number(json_value & v) {
        const size_t start = pos_;
        auto digit = [&](size_t i) { return i < s_.size() && s_[i] >= '0' && s_[i] <= '9'; };
        if (pos_ < s_.size() && s_[pos_] == '-') {
            ++pos_;
        }
        if (!digit(pos_)) {
            return fail("bad value");
        }
        if (s_[pos_] == '0') {
            ++pos_;
        } else {
            while (digit(pos_)) {
                ++pos_;
            }
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digit(pos_)) {
                return fail("bad fraction");
            }
            while (digit(pos_)) {
                ++pos_;
            }
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) {
                ++pos_;
            }
            if (!digit(pos_)) {
                return fail("bad exponent");
            }
            while (digit(pos_)) {
                ++pos_;
            }
        }
        v.kind   = json_value::NUMBER;
        v.text   = s_.substr(start, pos_ - start);
        v.number = strtod(v.text.c_str(), nullptr);
        return true;
    }
};

// One line of the worker's output (without its line feed) as a JSON object
// in valid UTF-8; a test failure names the line otherwise.
inline json_value parse_line(const std::string & line) {
    json_value v;
    EXPECT_TRUE(valid_utf8(line)) << "not valid UTF-8: " << line;
    std::string error;
    EXPECT_TRUE(json_parser(line).parse(v, error)) << error << ": " << line;
    EXPECT_EQ(v.kind, json_value::OBJECT) << line;
    return v;
}

// Every test's closing checks: the exit status, nothing on stderr, and
// every stdout line a JSON object in valid UTF-8.
inline void expect_clean_end(const worker_result & r, int status) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "") << "standard error must stay empty";
    EXPECT_EQ(r.unterminated, "") << "output after the last line feed";
    for (const auto & line : r.lines) {
        parse_line(line);
    }
}

// ---------------------------------------------------------------------------
// requests and clips

struct clip {
    std::string        name;
    std::string        text; // what is spoken
    std::vector<float> samples;
};

inline std::vector<float> read_f32(const std::string & path) {
    std::ifstream     f(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(f.good() || f.eof()) << path;
    EXPECT_EQ(bytes.size() % 4, 0u) << path;
    std::vector<float> samples(bytes.size() / 4);
    memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

// the shipped clips with the words spoken in each, from samples.tsv
inline const std::vector<clip> & sample_clips() {
    static const std::vector<clip> clips = [] {
        std::vector<clip> v;
        std::ifstream     tsv(models_dir() + "/samples/samples.tsv");
        std::string       line;
        std::getline(tsv, line); // header
        while (std::getline(tsv, line)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) {
                continue;
            }
            clip c;
            c.name    = line.substr(0, tab);
            c.text    = line.substr(tab + 1);
            c.samples = read_f32(models_dir() + "/samples/" + c.name);
            v.push_back(std::move(c));
        }
        return v;
    }();
    return clips;
}

// The ready line's fields, checked for shape; returns the thread count.
inline int expect_ready_line(const std::string & line) {
    const json_value v = parse_line(line);
    EXPECT_EQ(v.keys(), (std::vector<std::string>{"ready", "load_ms", "threads", "system"})) << line;
    const json_value * ready   = v.get("ready");
    const json_value * load_ms = v.get("load_ms");
    const json_value * threads = v.get("threads");
    const json_value * system  = v.get("system");
    if (!ready || !load_ms || !threads || !system) {
        ADD_FAILURE() << "not a ready line: " << line;
        return -1;
    }
    EXPECT_TRUE(ready->kind == json_value::BOOLEAN && ready->boolean) << line;
    EXPECT_EQ(load_ms->kind, json_value::NUMBER);
    EXPECT_GE(load_ms->number, 0);
    EXPECT_EQ(system->kind, json_value::STRING);
    EXPECT_EQ(threads->kind, json_value::NUMBER);
    return (int) threads->number;
}

// An ordinary answer's fields, checked for shape; returns the text.
inline std::string expect_answer(const std::string & line, long audio_ms) {
    const json_value v = parse_line(line);
    EXPECT_EQ(v.keys(), (std::vector<std::string>{"ok", "text", "ms", "audio_ms"})) << line;
    const json_value * ok   = v.get("ok");
    const json_value * text = v.get("text");
    const json_value * ms   = v.get("ms");
    const json_value * ams  = v.get("audio_ms");
    if (!ok || !text || !ms || !ams) {
        ADD_FAILURE() << "not an answer: " << line;
        return "";
    }
    EXPECT_TRUE(ok->kind == json_value::BOOLEAN && ok->boolean) << line;
    EXPECT_EQ(text->kind, json_value::STRING) << line;
    EXPECT_EQ(ms->kind, json_value::NUMBER) << line;
    EXPECT_GE(ms->number, 0) << line;
    EXPECT_EQ(ams->kind, json_value::NUMBER) << line;
    EXPECT_EQ(ams->text, std::to_string(audio_ms)) << line;
    return text->text;
}

// a fresh directory under the test temporary directory, removed with all
// it holds at the end of the test
struct temp_dir {
    std::string path;

    temp_dir() {
        std::string tmpl = testing::TempDir() + "kestu-worker-XXXXXX";
        EXPECT_NE(mkdtemp(&tmpl[0]), nullptr);
        path = tmpl;
    }

    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

inline void write_file(const std::string & path, const std::string & bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), (std::streamsize) bytes.size());
    ASSERT_TRUE(f.good()) << path;
}

// the model most tests run on
constexpr const char * SHARED_MODEL = "digits-tiny-f16.bin";

inline std::vector<std::string> shared_model_args(const std::vector<std::string> & more = {}) {
    std::vector<std::string> args = {model_path(SHARED_MODEL)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// a worker started with these arguments whose ready line was read
struct ready_worker {
    worker_process process;
    int            threads = -1; // from the ready line

    explicit ready_worker(const std::vector<std::string> & args, const worker_stdio & io = {})
        : process(args, KESTU_WORKER_PATH, io) {
        std::string line;
        if (!process.read_line(line)) {
            ADD_FAILURE() << "no ready line";
            return;
        }
        threads = expect_ready_line(line);
    }
};

} // namespace worker_test
