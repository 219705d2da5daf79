// Writes voice-activity model files for tests and tools: any header values,
// random weights from a seed, weights set by name, and two hand-set models
// (a constant answer, and one that follows the window's energy).
//
// Layout written (little-endian, no padding): magic 0x7465766f; the model-type
// length and text; version major, minor, patch; n_window; n_window_aux;
// n_encoder_layers and one (in channels, out channels, kernel size) triple per
// layer; lstm_input_size (the transform's hop), lstm_hidden_size,
// final_conv_in, final_conv_out; then one record per weight: n_dims, name
// length, element type, extents, name, data.
#pragma once

#include "model-writer.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct kestu_vad_model_recipe {
    std::string model_type = "kestu-test-vad";
    int32_t version[3] = {1, 0, 0};

    int32_t n_window     = 512;
    int32_t n_window_aux = 64;

    // one entry per encoder layer, written as n_encoder_layers triples
    std::vector<int32_t> in_channels  = {129, 128, 64, 64};
    std::vector<int32_t> out_channels = {128, 64, 64, 128};
    std::vector<int32_t> kernel_size  = {3, 3, 3, 3};

    int32_t lstm_input_size  = 128; // hop of the transform
    int32_t lstm_hidden_size = 128;
    int32_t final_conv_in    = 128;
    int32_t final_conv_out   = 1;

    uint64_t seed = 1;

    // Weights set by name (element count must match; F16 weights are rounded
    // to half precision on writing). Others are random from seed.
    std::map<std::string, std::vector<float>> overrides;
};

// Where each part of a written file lies, for tests that corrupt or cut files.
struct kestu_vad_writer_layout {
    size_t model_type   = 4; // the model-type length field
    size_t version      = 0; // version major
    size_t n_window     = 0;
    size_t n_window_aux = 0;
    size_t n_layers     = 0; // n_encoder_layers
    size_t layers       = 0; // first triple
    size_t lstm_input   = 0; // lstm_input_size, then hidden, final in, final out
    size_t tensors      = 0; // first tensor record
    size_t size         = 0;
    std::vector<kestu_writer_record_span> records;
};

// the weight names in id order (0 .. 14)
extern const char * const kestu_vad_writer_names[15];

// Every weight the header calls for, in id order, with its values. Throws
// std::invalid_argument for an override of unknown name or wrong count, or
// per-layer lists shorter than four.
std::vector<kestu_writer_tensor> kestu_vad_writer_tensors(const kestu_vad_model_recipe & recipe);

// The whole file image; layout (optional) receives the offsets. Every tensor
// of the list is written, in its order; tests may drop or repeat some.
std::vector<uint8_t> kestu_write_vad_model(const kestu_vad_model_recipe & recipe,
                                           kestu_vad_writer_layout * layout = nullptr);
std::vector<uint8_t> kestu_write_vad_model(const kestu_vad_model_recipe & recipe,
                                           const std::vector<kestu_writer_tensor> & tensors,
                                           kestu_vad_writer_layout * layout = nullptr);
bool kestu_write_vad_model_file(const kestu_vad_model_recipe & recipe, const std::string & path);

// Random weights with the output layer set: weight 0 and bias +20 (speech,
// probability about 1) or -20 (silence, about 2e-9) for every window.
kestu_vad_model_recipe kestu_vad_constant_recipe(bool speech, uint64_t seed = 1);

// Hand-set weights whose output follows the window's energy: the transform is
// a Hann-windowed Fourier basis, the encoder passes the mean magnitude through
// one channel, the recurrent cell keeps no memory and turns that magnitude into
// a probability near 1 above the level of white noise of the given RMS and
// near 0 (0.0025) below it; the probability is 0.5 at about 1.1 times it.
kestu_vad_model_recipe kestu_vad_energy_recipe(float threshold_rms);
