// Writes speech model files for tests and tools: any hyper-parameters, F32
// or F16 weights (random from a seed, or set by tensor name), a vocabulary
// and a mel filter bank.
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

// Element types as the tensor library numbers them.
enum kestu_writer_type : int32_t {
    KESTU_WRITER_F32 = 0,
    KESTU_WRITER_F16 = 1,
};

struct kestu_model_spec {
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
    // written as given; ftype % 1000 == 0 stores F32 matrices, anything else F16
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
    // rounded to half precision on writing). Others are random from seed.
    std::map<std::string, std::vector<float>> overrides;
};

struct kestu_writer_tensor {
    std::string name;
    int32_t type = KESTU_WRITER_F32;   // element type written
    std::vector<int32_t> ne;           // extents as written, dimension 0 fastest
    std::vector<float> values;         // exactly the stored values (F16 ones already rounded)
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
// loader's creation order, with its values. Throws std::invalid_argument for
// an override of unknown name or wrong element count.
std::vector<kestu_writer_tensor> kestu_writer_tensors(const kestu_model_spec & spec);

// The whole file image; layout (optional) receives the offsets.
std::vector<uint8_t> kestu_write_model(const kestu_model_spec & spec, kestu_writer_layout * layout = nullptr);
bool kestu_write_model_file(const kestu_model_spec & spec, const std::string & path);

// The vocabulary written when the record gives none: one text entry per id below
// the end-of-text id of n_vocab (50256 for English-only sizes, 50257 above
// 51864; the loader generates the special tokens). Ids 0-255 are the single
// bytes (so id 32 is " "), then common words with and without a leading space
// (" the", "hello", " zero" ... " nine", ...), then "<fill:N>" filler.
std::vector<std::string> kestu_writer_default_vocab(int32_t n_vocab);

// Mel filter bank of n_mel triangular bands (Slaney scale, area-normalised)
// over n_fft bins from 0 to 8000 Hz, row by row.
std::vector<float> kestu_writer_mel_filters(int32_t n_mel, int32_t n_fft);

// Byte helpers for tests that patch files.
void kestu_writer_put_i32(std::vector<uint8_t> & bytes, size_t offset, int32_t value);
int32_t kestu_writer_get_i32(const std::vector<uint8_t> & bytes, size_t offset);
const kestu_writer_record_span * kestu_writer_find_record(const kestu_writer_layout & layout, const std::string & name);

// Half-precision rounding used for F16 tensors (round to nearest even).
uint16_t kestu_writer_fp32_to_fp16(float f);
float kestu_writer_fp16_to_fp32(uint16_t h);
