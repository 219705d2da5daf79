// Model-file reader of the writer library: parses a speech model file image
// back into a kestu_model_recipe (every tensor's values as an override), and
// writes a model again with another file type through the writer.
//
// The speech library's loader is not used: this reader stands alone, checks
// every length against the bytes left before it reads (an image from
// elsewhere may be cut or corrupt), and dequantizes each record by the
// element type the record itself names.
#include "model-writer.h"

#include "tevo.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string & what) {
    throw std::invalid_argument("model reader: " + what);
}

struct cursor {
    const std::vector<uint8_t> & bytes;
    size_t pos = 0;

    size_t left() const { return bytes.size() - pos; }

    const uint8_t * take(size_t n, const char * what) {
        if (n > left()) {
            fail(std::string("image cut in ") + what + " at byte " + std::to_string(pos));
        }
        const uint8_t * p = bytes.data() + pos;
        pos += n;
        return p;
    }

    int32_t i32(const char * what) {
        const uint8_t * p = take(4, what);
        return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    }

    // a count of items of item_size bytes each that must fit in what is left
    size_t count(int64_t n, size_t item_size, const char * what) {
        if (n < 0) {
            fail(std::string("negative ") + what + " " + std::to_string(n) + " at byte " + std::to_string(pos));
        }
        if (item_size > 0 && uint64_t(n) > left() / item_size) {
            fail(std::string(what) + " " + std::to_string(n) + " runs past the image's end at byte " +
                 std::to_string(pos));
        }
        return size_t(n);
    }
};

std::vector<float> f32_values(const uint8_t * p, size_t n) {
    std::vector<float> v(n);
    if (n > 0) {
        std::memcpy(v.data(), p, 4 * n);  // the image is little-endian, as is the host
    }
    return v;
}

kestu_writer_tensor read_record(cursor & in) {
    kestu_writer_tensor t;
    const int32_t n_dims = in.i32("a record header");
    const int32_t name_len = in.i32("a record header");
    t.type = in.i32("a record header");
    if (n_dims < 0 || n_dims > 4) {
        fail("bad n_dims " + std::to_string(n_dims));
    }
    if (!kestu_writer_type_is_storable(t.type)) {
        const bool named = t.type >= 0 && t.type < TEVO_TYPE_COUNT && tevo_blck_size(tevo_type(t.type)) > 0;
        fail("cannot read element type " + (named ? std::string(tevo_type_name(tevo_type(t.type)))
                                                  : std::to_string(t.type)));
    }
    int64_t n = 1;
    for (int32_t i = 0; i < n_dims; ++i) {
        const int32_t e = in.i32("a record header");
        if (e < 0) {
            fail("negative extent " + std::to_string(e));
        }
        t.ne.push_back(e);
        if (e != 0 && n > std::numeric_limits<int64_t>::max() / e) {
            fail("tensor of more than 2^63 values");
        }
        n *= e;
    }
    const uint8_t * name = in.take(in.count(name_len, 1, "name length"), "a tensor name");
    t.name.assign(reinterpret_cast<const char *>(name), size_t(name_len));

    const tevo_type type = tevo_type(t.type);
    const int64_t blck = tevo_blck_size(type);
    const int64_t n_per_row = t.ne.empty() ? 1 : t.ne[0];
    if (n_per_row % blck != 0) {
        fail(t.name + ": rows of " + std::to_string(n_per_row) + " values are not whole blocks of " +
             tevo_type_name(type));
    }
    const size_t n_blocks = in.count(n / blck, tevo_type_size(type), "tensor size");
    const uint8_t * data = in.take(n_blocks * tevo_type_size(type), "tensor data");
    t.data.assign(data, data + n_blocks * tevo_type_size(type));

    if (t.type == KESTU_WRITER_F32) {
        t.values = f32_values(data, size_t(n));
    } else if (t.type == KESTU_WRITER_F16) {
        t.values.resize(size_t(n));
        for (int64_t i = 0; i < n; ++i) {
            t.values[size_t(i)] = kestu_writer_fp16_to_fp32(uint16_t(data[2 * i] | data[2 * i + 1] << 8));
        }
    } else {
        t.values.resize(size_t(n));
        // from the copy: the blocks' scales need their alignment, which the
        // file image does not give
        tevo_get_type_traits(type)->to_float(t.data.data(), t.values.data(), n);
    }
    return t;
}

} // namespace

kestu_model_recipe kestu_read_model(const std::vector<uint8_t> & bytes, std::vector<kestu_writer_tensor> * tensors) {
    cursor in{bytes};
    if (uint32_t(in.i32("the magic")) != KESTU_WRITER_MAGIC) {
        fail("bad magic");
    }
    kestu_model_recipe recipe;
    for (int32_t * v : {&recipe.n_vocab, &recipe.n_audio_ctx, &recipe.n_audio_state, &recipe.n_audio_head,
                        &recipe.n_audio_layer, &recipe.n_text_ctx, &recipe.n_text_state, &recipe.n_text_head,
                        &recipe.n_text_layer, &recipe.n_mels, &recipe.ftype}) {
        *v = in.i32("the hyper-parameters");
    }

    recipe.filters_n_mel = in.i32("the filter bank");
    recipe.filters_n_fft = in.i32("the filter bank");
    if (recipe.filters_n_mel < 0 || recipe.filters_n_fft < 0) {
        fail("bad filter bank size " + std::to_string(recipe.filters_n_mel) + " x " + std::to_string(recipe.filters_n_fft));
    }
    const size_t n_filters = in.count(int64_t(recipe.filters_n_mel) * recipe.filters_n_fft, 4, "filter bank size");
    recipe.filters = f32_values(in.take(4 * n_filters, "the filter bank"), n_filters);

    const size_t n_texts = in.count(in.i32("the vocabulary"), 4, "vocabulary count");
    recipe.vocab.reserve(n_texts);
    for (size_t i = 0; i < n_texts; ++i) {
        const uint32_t len = uint32_t(in.i32("the vocabulary"));
        const uint8_t * text = in.take(in.count(int64_t(len), 1, "token length"), "the vocabulary");
        recipe.vocab.emplace_back(reinterpret_cast<const char *>(text), len);
    }
    // an empty vocabulary stays empty when written again
    recipe.empty_vocab = n_texts == 0;

    std::vector<kestu_writer_tensor> records;
    while (in.left() > 0) {
        kestu_writer_tensor t = read_record(in);
        if (recipe.overrides.count(t.name)) {
            fail("tensor " + t.name + " occurs twice");
        }
        if (tensors) {
            recipe.overrides[t.name] = t.values;
            records.push_back(std::move(t));
        } else {
            recipe.overrides[t.name] = std::move(t.values);
        }
    }
    if (tensors) {
        *tensors = std::move(records);
    }
    return recipe;
}

kestu_model_recipe kestu_read_model_file(const std::string & path, std::vector<kestu_writer_tensor> * tensors) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        fail("cannot open " + path);
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad()) {
        fail("cannot read " + path);
    }
    return kestu_read_model(bytes, tensors);
}

std::vector<uint8_t> kestu_requantize_model(const std::vector<uint8_t> & bytes, int32_t ftype) {
    kestu_model_recipe recipe = kestu_read_model(bytes);
    recipe.ftype = ftype;
    // a tensor without a record would be filled with random weights
    for (const std::string & name : kestu_writer_tensor_names(recipe)) {
        if (recipe.overrides.count(name) == 0) {
            fail("tensor " + name + " has no record");
        }
    }
    return kestu_write_model(recipe);
}
