// Writes speech model files for tests and tools: any hyper-parameters, F32,
// F16 or block-quantized weights (random from a seed, or set by tensor name),
// a vocabulary and a mel filter bank; and reads such files back, so that a
// model can be written again with another file type.
//
// Layout written (little-endian, no padding): magic 0x7465766f; eleven
// int32 hyper-parameters; n_mel, n_fft and the filter bank; the vocabulary
// count and entries (uint32 length + bytes); then one record per tensor:
// n_dims, name length, element type, extents, name, data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Element types as the tensor library numbers them (enum tevo_type). Records
// of any type with both a quantizer and a dequantizer can be written and
// read (kestu_writer_type_is_storable); the file type chooses which.
enum kestu_writer_type : int32_t {
    KESTU_WRITER_F32 = 0,
    KESTU_WRITER_F16 = 1,
};

struct kestu_model_recipe {
    // hyper-parameters, in file order
    int32_t n_vocab       = 51864;
    int32_t n_audio_ctx   = 1500;
    int32_t n_audio_state = 64;
    int32_t n_audio_head  = 2;
    int32_t n_audio_layer = 1;
    int32_t n_text_ctx    = 448;
    int32_t n_text_state  = 64;
    int32_t n_text_head   = 2;
    int32_t n_text_layer  = 1;
    int32_t n_mels        = 80;
    // Written as given. Its remainder modulo 1000 picks, as the loader does,
    // the type of the layer matrices and the token embedding (0 F32, 1 F16,
    // 2 Q4_0, 7 Q8_0, 10 Q2_K, ...); convolution kernels are F32 beside F32
    // matrices and F16 otherwise; biases, norms and positional tables are F32.
    // A value that names no type (4-6, negative, 29 and above) stores F16
    // matrices, so that the loader's refusal of it can be tested. The types
    // that quantize only with importance weights (iq2_xxs, iq2_xs, iq1_s)
    // are given the same importance for every column. Writing throws
    // std::invalid_argument for matrices whose rows are not whole blocks of
    // the type, and for a value the type cannot store.
    int32_t ftype         = 1;

    uint64_t seed = 1;

    // Vocabulary texts in id order. Empty: kestu_writer_default_vocab(n_vocab),
    // unless empty_vocab is set, which writes a count of 0.
    std::vector<std::string> vocab;
    bool empty_vocab = false;

    // Filter bank. n_mel < 0: n_mels; data empty: kestu_writer_mel_filters(n_mel, n_fft).
    int32_t filters_n_mel = -1;
    int32_t filters_n_fft = 201;
    std::vector<float> filters;

    // Weights set by tensor name (element count must match; F16 tensors are
    // rounded to half precision and quantized ones quantized on writing).
    // Others are random from seed: the same values whatever the file type.
    std::map<std::string, std::vector<float>> overrides;
};

struct kestu_writer_tensor {
    std::string name;
    int32_t type = KESTU_WRITER_F32;   // element type written
    std::vector<int32_t> ne;           // extents as written, dimension 0 fastest
    std::vector<float> values;         // exactly the stored values (F16 ones rounded, quantized ones dequantized)
    std::vector<uint8_t> data;         // the stored bytes (speech models; empty from the voice-activity writer)
};

// Where each part of a written file lies, for tests that corrupt or cut files.
struct kestu_writer_record_span {
    std::string name;
    size_t begin = 0;       // first byte of the record header (n_dims)
    size_t data_begin = 0;  // first byte of the tensor data
    size_t end = 0;         // one past the last data byte
};

struct kestu_writer_layout {
    size_t hparams = 4;     // first hyper-parameter (n_vocab)
    size_t filters = 0;     // n_mel field
    size_t vocab = 0;       // vocabulary count field
    size_t tensors = 0;     // first tensor record
    size_t size = 0;        // total bytes
    std::vector<kestu_writer_record_span> records;
};

constexpr uint32_t KESTU_WRITER_MAGIC = 0x7465766f;

// Every tensor the model expects for the record's hyper-parameters, in the
// loader's creation order, with its values and bytes. Throws
// std::invalid_argument for an override of unknown name or wrong element
// count, and for a weight type that cannot be written (see ftype).
std::vector<kestu_writer_tensor> kestu_writer_tensors(const kestu_model_recipe & recipe);

// Names of those tensors, in the same order, without making their values.
std::vector<std::string> kestu_writer_tensor_names(const kestu_model_recipe & recipe);

// Element type of the layer matrices and token embedding for a file type.
int32_t kestu_writer_weight_type(int32_t ftype);

// Whether tensors of the element type can be written and read back.
bool kestu_writer_type_is_storable(int32_t type);

// The whole file image; layout (optional) receives the offsets.
std::vector<uint8_t> kestu_write_model(const kestu_model_recipe & recipe, kestu_writer_layout * layout = nullptr);
bool kestu_write_model_file(const kestu_model_recipe & recipe, const std::string & path);

// The vocabulary written when the record gives none: one text entry per id below
// the end-of-text id of n_vocab (50256 for English-only sizes, 50257 above
// 51864; the loader generates the special tokens). Ids 0-255 are the single
// bytes (so id 32 is " "), then common words with and without a leading space
// (" the", "hello", " zero" ... " nine", ...), then "<fill:N>" filler.
std::vector<std::string> kestu_writer_default_vocab(int32_t n_vocab);

// Mel filter bank of n_mel triangular bands (Slaney scale, area-normalised)
// over n_fft bins from 0 to 8000 Hz, row by row.
std::vector<float> kestu_writer_mel_filters(int32_t n_mel, int32_t n_fft);

// Reads a model file image back: hyper-parameters (ftype as stored), filter
// bank and vocabulary into the record, and every tensor record's values
// (dequantized) as an override by name. tensors (optional) receives the
// records in file order with their stored type, values and bytes. Throws
// std::invalid_argument for a malformed or cut image, a tensor of a type
// without a dequantizer, and a name that occurs twice.
kestu_model_recipe kestu_read_model(const std::vector<uint8_t> & bytes, std::vector<kestu_writer_tensor> * tensors = nullptr);
// The same from a file; std::invalid_argument also when it cannot be read.
kestu_model_recipe kestu_read_model_file(const std::string & path, std::vector<kestu_writer_tensor> * tensors = nullptr);

// The model of a file image written again with another file type: the same
// hyper-parameters (but ftype), filters, vocabulary and weights, each
// tensor stored in the type the new ftype gives it. Throws
// std::invalid_argument as kestu_read_model and kestu_writer_tensors do, and
// when a tensor the model expects has no record.
std::vector<uint8_t> kestu_requantize_model(const std::vector<uint8_t> & bytes, int32_t ftype);

// Byte helpers for tests that patch files.
void kestu_writer_put_i32(std::vector<uint8_t> & bytes, size_t offset, int32_t value);
int32_t kestu_writer_get_i32(const std::vector<uint8_t> & bytes, size_t offset);
const kestu_writer_record_span * kestu_writer_find_record(const kestu_writer_layout & layout, const std::string & name);

// Half-precision rounding used for F16 tensors (round to nearest even).
uint16_t kestu_writer_fp32_to_fp16(float f);
float kestu_writer_fp16_to_fp32(uint16_t h);
