// kestu-fuzz-seeds OUT_DIR MODELS_DIR: writes the seed corpus of every fuzz
// target into OUT_DIR/<target>/: tiny generated model files whole, cut
// short and with header fields changed; the shared sample clips as worker
// requests, whole, cut short and with changed counts; texts, patterns,
// grammars and random scheduler sequences.

#include "fuzz-common.h"
#include "vad-writer.h"

#include "kestu.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

std::string out_dir;
int         n_written = 0;

void put(const std::string & target, const std::string & name, const bytes & data) {
    const std::string dir = out_dir + "/" + target;
    mkdir(out_dir.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream f(dir + "/" + name, std::ios::binary);
    f.write(reinterpret_cast<const char *>(data.data()), (std::streamsize) data.size());
    if (!f) {
        fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
        exit(1);
    }
    n_written++;
}

void put_text(const std::string & target, const std::string & name, const std::string & text) {
    put(target, name, bytes(text.begin(), text.end()));
}

bytes cut(const bytes & b, size_t n) {
    return bytes(b.begin(), b.begin() + (long) std::min(n, b.size()));
}

bytes with_i32(bytes b, size_t offset, int32_t v) {
    if (offset + 4 <= b.size()) {
        memcpy(b.data() + offset, &v, 4);
    }
    return b;
}

void append_u32(bytes & b, uint32_t v) {
    const uint8_t * p = reinterpret_cast<const uint8_t *>(&v);
    b.insert(b.end(), p, p + 4);
}

// --- speech model files -------------------------------------------------------

// the header, filters and vocabulary, then (with_records) every tensor record
// but the token embedding, which alone would be most of the file
bytes speech_model(const kestu_model_recipe & recipe, bool with_records, kestu_writer_layout * layout_out = nullptr) {
    kestu_writer_layout layout;
    const bytes         whole = kestu_write_model(recipe, &layout);
    bytes               out(whole.begin(), whole.begin() + (long) layout.tensors);
    if (with_records) {
        for (const kestu_writer_record_span & r : layout.records) {
            if (r.name != "decoder.token_embedding.weight") {
                out.insert(out.end(), whole.begin() + (long) r.begin, whole.begin() + (long) r.end);
            }
        }
    }
    if (layout_out != nullptr) {
        *layout_out = layout;
    }
    return out;
}

void speech_model_seeds() {
    struct variant {
        const char * name;
        int          n_texts, n_audio_ctx, n_text_ctx, n_mels, ftype, n_fft, n_vocab;
    };
    const variant variants[] = {
        {"f16", 40, 32, 8, 4, 1, 32, 51864},
        {"f32", 40, 16, 12, 2, 0, 16, 51864},
        {"q8", 300, 16, 4, 2, 7, 8, 51864},
        {"nofft", 34, 24, 8, 3, 1, 201, 51864},
        // the smallest of everything the loader accepts
        {"least", 33, 1, 1, 1, 1, 1, 50364},
        // a multilingual vocabulary, and one with fewer languages than the table
        {"multilingual", 40, 8, 16, 2, 1, 8, 51866},
        {"few-languages", 40, 8, 16, 2, 1, 8, 51800},
    };
    for (const variant & v : variants) {
        kestu_model_recipe recipe = fuzz_tiny_recipe(v.n_texts, v.n_audio_ctx, v.n_text_ctx, v.n_mels, v.ftype);
        recipe.filters_n_fft    = v.n_fft;
        recipe.n_vocab          = v.n_vocab;
        if (v.ftype == 7) {
            // Q8_0 weights (the records stay F16, so only the empty model loads)
            // need a width of whole blocks of 32
            recipe.n_audio_state = recipe.n_text_state = 32;
        }
        kestu_writer_layout layout;
        const bytes         header_only = speech_model(recipe, false, &layout);
        const bytes         records     = speech_model(recipe, true);
        const std::string base = v.name;
        for (const char * target : {"model-file", "model-buffer"}) {
            put(target, base + "-empty", header_only);
            put(target, base + "-records", records);
            // cut in the header, filters, vocabulary, a record header and its data
            const size_t cuts[] = {3, 20, layout.filters + 6, layout.vocab + 2, layout.vocab + 9,
                                   header_only.size() + 5, header_only.size() + 30};
            for (size_t c : cuts) {
                put(target, base + "-cut-" + std::to_string(c), cut(records, c));
            }
        }
        if (std::string(v.name) != "f16") {
            continue;
        }
        // every header field at a value the loader must refuse or survive
        const int32_t values[] = {0, -1, 1, 3, 50363, 51865, 0x7fffffff, (int32_t) 0x80000000};
        for (int field = 0; field < 11; field++) {
            for (int32_t value : values) {
                const bytes b = with_i32(header_only, 4 + 4 * (size_t) field, value);
                put("model-file", "hp" + std::to_string(field) + "-" + std::to_string(value), b);
                put("model-buffer", "hp" + std::to_string(field) + "-" + std::to_string(value), b);
            }
        }
        const std::pair<const char *, std::pair<size_t, int32_t>> fields[] = {
            {"magic", {0, 0x7465766e}},
            {"n-mel", {layout.filters, 5}},
            {"n-fft", {layout.filters + 4, 202}},
            {"n-fft-0", {layout.filters + 4, 0}},
            {"vocab-count", {layout.vocab, 51865}},
            {"vocab-count-neg", {layout.vocab, -1}},
            {"vocab-len", {layout.vocab + 4, 0x7fffffff}},
            {"vocab-len-1m", {layout.vocab + 4, 1 << 20}},
            {"rec-ndims", {header_only.size(), 5}},
            {"rec-namelen", {header_only.size() + 4, -1}},
            {"rec-type", {header_only.size() + 8, 43}},
            {"rec-type-f32", {header_only.size() + 8, 0}},
            {"rec-ne0", {header_only.size() + 12, 9}},
            {"rec-ne1-neg", {header_only.size() + 16, -32}},
        };
        for (const auto & [name, at] : fields) {
            const bytes b = with_i32(records, at.first, at.second);
            put("model-file", std::string("field-") + name, b);
            put("model-buffer", std::string("field-") + name, b);
        }
        // a record repeated, and one record alone
        bytes twice = records;
        twice.insert(twice.end(), records.begin() + (long) header_only.size(),
                     records.begin() + (long) header_only.size() + 60);
        put("model-file", "record-repeated", twice);
        put("model-buffer", "record-repeated", twice);
    }
    put("model-buffer", "empty", bytes());
    put("model-file", "empty", bytes());
}

// --- voice-activity model files -----------------------------------------------------

void vad_model_seeds() {
    kestu_vad_model_recipe    recipe = kestu_vad_constant_recipe(true);
    kestu_vad_writer_layout layout;
    const bytes             whole = kestu_write_vad_model(recipe, &layout);
    const bytes             header(whole.begin(), whole.begin() + (long) layout.tensors);

    put("vad-model", "whole", whole);
    put("vad-model", "header", header);
    // the small records alone (biases, the output layer)
    bytes small = header;
    for (const kestu_writer_record_span & r : layout.records) {
        if (r.end - r.begin < 4096) {
            small.insert(small.end(), whole.begin() + (long) r.begin, whole.begin() + (long) r.end);
        }
    }
    put("vad-model", "small-records", small);
    for (size_t c : {size_t(2), size_t(6), layout.version + 2, layout.layers + 5, layout.tensors + 7,
                     layout.tensors + 40, whole.size() - 1}) {
        put("vad-model", "cut-" + std::to_string(c), cut(whole, c));
    }
    const std::pair<const char *, std::pair<size_t, int32_t>> fields[] = {
        {"type-len", {layout.model_type, 0x7fffffff}},
        {"type-len-neg", {layout.model_type, -1}},
        {"n-window", {layout.n_window, 64}},
        {"n-window-big", {layout.n_window, 1 << 21}},
        {"n-window-aux", {layout.n_window_aux, -1}},
        {"n-layers", {layout.n_layers, 5}},
        {"n-layers-0", {layout.n_layers, 0}},
        {"n-layers-big", {layout.n_layers, 0x7fffffff}},
        {"in-channels", {layout.layers, 128}},
        {"kernel", {layout.layers + 8, 9}},
        {"kernel-0", {layout.layers + 8, 0}},
        {"lstm-input", {layout.lstm_input, 0}},
        {"lstm-input-big", {layout.lstm_input, 4096}},
        {"lstm-hidden", {layout.lstm_input + 4, 64}},
        {"final-in", {layout.lstm_input + 8, 64}},
        {"final-out", {layout.lstm_input + 12, 2}},
        {"rec-ndims", {layout.tensors, 7}},
        {"rec-type", {layout.tensors + 8, 0}},
    };
    for (const auto & [name, at] : fields) {
        put("vad-model", std::string("field-") + name, with_i32(small, at.first, at.second));
    }
}

// --- worker request streams -----------------------------------------------------

bytes read_file(const std::string & path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bytes request(const bytes & samples, uint32_t count) {
    bytes b;
    append_u32(b, count);
    b.insert(b.end(), samples.begin(), samples.end());
    return b;
}

void worker_seeds(const std::string & models_dir) {
    std::vector<bytes> clips;
    for (int i = 1; i <= 10; i++) {
        char name[32];
        snprintf(name, sizeof(name), "/samples/%02d.f32", i);
        bytes clip = read_file(models_dir + name);
        if (clip.empty()) {
            fprintf(stderr, "cannot read %s%s\n", models_dir.c_str(), name);
            exit(1);
        }
        clips.push_back(clip);
    }
    auto stream = [](uint8_t flags, std::initializer_list<bytes> parts) {
        bytes b{flags};
        for (const bytes & p : parts) {
            b.insert(b.end(), p.begin(), p.end());
        }
        return b;
    };
    auto count_of = [](const bytes & clip) { return (uint32_t) (clip.size() / 4); };

    // whole clips, with and without "fit", on either model
    for (size_t i = 0; i < clips.size(); i += 2) {
        put("worker", "clip-" + std::to_string(i), stream((uint8_t) (i & 3), {request(clips[i], count_of(clips[i]))}));
    }
    const bytes & a = clips[1]; // the shortest
    const bytes   short_clip(a.begin(), a.begin() + 4000 * 4);
    const uint32_t n = 4000;
    put("worker", "two-requests", stream(0, {request(short_clip, n), request(short_clip, n)}));
    put("worker", "two-requests-noisy", stream(2, {request(short_clip, n), request(short_clip, n)}));
    put("worker", "then-zero", stream(1, {request(short_clip, n), request({}, 0), request(short_clip, n)}));
    put("worker", "cut-samples", stream(0, {request(cut(short_clip, 999), n)}));
    put("worker", "cut-count", stream(0, {request(short_clip, n), bytes{1, 2}}));
    put("worker", "count-smaller", stream(0, {request(short_clip, 1000)}));
    put("worker", "count-larger", stream(1, {request(short_clip, 5000)}));
    put("worker", "count-one", stream(0, {request(cut(short_clip, 4), 1)}));
    put("worker", "count-limit", stream(0, {request(short_clip, 1920000)}));
    put("worker", "too-long", stream(0, {request(short_clip, 1920001), request(short_clip, n)}));
    put("worker", "too-long-max", stream(1, {request(short_clip, 0xffffffffu)}));
    put("worker", "empty", bytes{0});

    // non-finite samples between good requests
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()}) {
        bytes bad_clip = short_clip;
        memcpy(bad_clip.data() + 400, &bad, 4);
        const std::string name = std::isnan(bad) ? "nan" : bad > 0 ? "inf" : "ninf";
        put("worker", "bad-" + name, stream(0, {request(bad_clip, n), request(short_clip, n)}));
    }
    // silence, a tone and full scale
    bytes silence(4000 * 4, 0), loud(4000 * 4);
    for (size_t i = 0; i < 4000; i++) {
        const float v = (i & 1) ? 1e30f : -1e30f;
        memcpy(loud.data() + 4 * i, &v, 4);
    }
    put("worker", "silence", stream(0, {request(silence, n)}));
    put("worker", "huge-values", stream(1, {request(loud, n)}));
}

// --- texts, patterns ------------------------------------------------------------

void text_seeds() {
    const char * texts[] = {
        "hello world",
        " zero one two three",
        "it's we'll they've I'm you'd",
        "  \t\n  leading and trailing   ",
        "123 4567 89",
        "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
        "\xff\xfe\x80 broken utf-8 \xc3",
        "!!! ??? ... ,,, --- ",
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
        "'s's's't're",
        "x",
    };
    int i = 0;
    for (const char * t : texts) {
        put_text("tokenizer", "text-" + std::to_string(i++), t);
    }
    put_text("tokenizer", "spaces", std::string(3000, ' ') + "word");
    put_text("tokenizer", "letters", std::string(3000, 'q'));

    // pattern, then NUL-separated texts
    const std::vector<std::string> patterns = {
        std::string("[0-9]+\0 12\0abc\0" "007", 16),
        std::string(" ?(zero|one|two)\0 one\0two\0 three", 33),
        std::string("(a|b)*c\0ababababc\0abab", 23),
        std::string("\\s+\0 \0\t\n\0x", 11),
        std::string("[^a-z]\0A\0a\0\xc3\xa9", 14),
        std::string("(a*)*b\0aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 37),
        std::string("(\\w+)\\s\\1\0hello hello\0ab ac", 27),
        std::string("a{2,5}\0aaa\0aaaaaaa", 18),
        std::string("(?=ab)a.\0ab\0ac", 14),
        std::string("[\0x", 3),
        std::string("(unclosed\0x", 11),
        std::string(".*\0", 3),
    };
    i = 0;
    for (const std::string & p : patterns) {
        put_text("suppress-pattern", "pattern-" + std::to_string(i++), p);
    }
    put_text("suppress-pattern", "long-text", std::string("a+\0", 3) + std::string(400, 'a'));
}

// --- grammars ------------------------------------------------------------------

struct grammar_seed {
    const char *                                      name;
    uint8_t                                           start;
    std::vector<std::pair<int, uint32_t>>             elements; // type (any number), value
    std::vector<std::string>                          texts;
};

bytes grammar_input(const grammar_seed & g) {
    bytes b{g.start, (uint8_t) g.elements.size()};
    for (const auto & [type, value] : g.elements) {
        b.push_back((uint8_t) (type | ((value >> 16) << 4)));
        b.push_back((uint8_t) (value & 0xff));
        b.push_back((uint8_t) ((value >> 8) & 0xff));
    }
    for (size_t i = 0; i < g.texts.size(); i++) {
        b.insert(b.end(), g.texts[i].begin(), g.texts[i].end());
        if (i + 1 < g.texts.size()) {
            b.push_back(0);
        }
    }
    return b;
}

void grammar_seeds() {
    const int END = KESTU_GRETYPE_END, ALT = KESTU_GRETYPE_ALT, REF = KESTU_GRETYPE_RULE_REF,
              CHR = KESTU_GRETYPE_CHAR, NOT = KESTU_GRETYPE_CHAR_NOT, UPPER = KESTU_GRETYPE_CHAR_RNG_UPPER,
              CALT = KESTU_GRETYPE_CHAR_ALT;
    const std::vector<grammar_seed> seeds = {
        // root ::= " yes" | " no"
        {"yes-no", 0,
         {{CHR, ' '}, {CHR, 'y'}, {CHR, 'e'}, {CHR, 's'}, {ALT, 0}, {CHR, ' '}, {CHR, 'n'}, {CHR, 'o'}, {END, 0}},
         {" yes", " no", " y", "es", " maybe", "o"}},
        // root ::= [a-z] rest ; rest ::= [a-z] rest | (nothing)
        {"letters", 0,
         {{CHR, 'a'}, {UPPER, 'z'}, {REF, 1}, {END, 0}, {CHR, 'a'}, {UPPER, 'z'}, {REF, 1}, {ALT, 0}, {END, 0}},
         {"abc", "x", "A", "a1", "zz"}},
        // root ::= [^0-9 ] | [0-9,.] root
        {"sets", 0,
         {{NOT, '0'}, {UPPER, '9'}, {CALT, ' '}, {ALT, 0}, {CHR, '0'}, {UPPER, '9'}, {CALT, ','}, {CALT, '.'},
          {REF, 0}, {END, 0}},
         {"1", "2,5", "x", " ", "9.x"}},
        // root ::= "é" | "日本" (the texts split characters between tokens)
        {"utf8", 0,
         {{CHR, 0xe9}, {ALT, 0}, {CHR, 0x65e5}, {CHR, 0x672c}, {END, 0}},
         {"\xc3", "\xa9", "\xe6\x97", "\xa5\xe6\x9c\xac", "\xff", "e"}},
        // root ::= a* b (two rules, nullable reference first)
        {"nullable-first", 0,
         {{REF, 1}, {CHR, 'b'}, {END, 0}, {CHR, 'a'}, {REF, 1}, {ALT, 0}, {END, 0}},
         {"a", "aa", "b", "ab"}},
        // left recursion only through alternatives that can never complete:
        // root ::= root [x-w] | "a", and root ::= d | "a" ; d ::= d "x"
        {"left-recursion-through-empty-range", 0,
         {{REF, 0}, {CHR, 'x'}, {UPPER, 'w'}, {ALT, 0}, {CHR, 'a'}, {END, 0}},
         {"a", "x", "ax"}},
        {"left-recursive-rule-only-dead-alternative-reaches", 0,
         {{REF, 1}, {ALT, 0}, {CHR, 'a'}, {END, 0}, {REF, 1}, {CHR, 'x'}, {END, 0}},
         {"a", "x", "ax"}},
        // invalid: left recursion, a reference to no rule, a range without a start,
        // an unknown type, a start rule beyond the list
        {"left-recursion", 0, {{REF, 0}, {CHR, 'a'}, {END, 0}}, {"a"}},
        {"hidden-left-recursion", 0, {{REF, 1}, {REF, 0}, {CHR, 'a'}, {END, 0}, {ALT, 0}, {END, 0}}, {"a"}},
        {"missing-rule", 0, {{REF, 5}, {END, 0}}, {"a"}},
        {"range-without-start", 0, {{UPPER, 'z'}, {END, 0}}, {"a"}},
        {"set-without-start", 0, {{CALT, 'z'}, {END, 0}}, {"a"}},
        {"unknown-type", 0, {{7, 'a'}, {END, 0}}, {"a"}},
        {"unknown-type-9", 0, {{CHR, 'a'}, {9, 'a'}, {END, 0}}, {"a"}},
        {"start-beyond", 3, {{CHR, 'a'}, {END, 0}}, {"a"}},
    };
    for (const grammar_seed & g : seeds) {
        put("grammar", g.name, grammar_input(g));
    }
}

// --- scheduler sequences ---------------------------------------------------------

// long random sequences over every setup, so the runs start past the first steps
void sched_seeds() {
    std::mt19937 rng(1);
    for (int setup = 0; setup < 4; setup++) {
        for (int k = 0; k < 2; k++) {
            bytes b(1024);
            b[0] = (uint8_t) setup;
            for (size_t i = 1; i < b.size(); i++) {
                b[i] = (uint8_t) rng();
            }
            put("sched", "random-" + std::to_string(setup) + "-" + std::to_string(k), b);
        }
    }
}

} // namespace

int main(int argc, char ** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s OUT_DIR MODELS_DIR\n", argv[0]);
        return 2;
    }
    out_dir = argv[1];
    speech_model_seeds();
    vad_model_seeds();
    worker_seeds(argv[2]);
    text_seeds();
    grammar_seeds();
    sched_seeds();
    printf("%d seeds in %s\n", n_written, out_dir.c_str());
    return 0;
}
