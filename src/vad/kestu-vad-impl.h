#pragma once

// Records and internal steps of voice activity detection: the loaded
// network (kestu_vad_context), the segment list, and the loading steps that
// cross files.

#include "../kestu-impl.h"

// weight ids, in file-table order
enum kestu_vad_weight {
    KESTU_VAD_STFT_BASIS = 0,
    KESTU_VAD_ENC0_W     = 1,
    KESTU_VAD_ENC0_B     = 2,
    KESTU_VAD_ENC1_W     = 3,
    KESTU_VAD_ENC1_B     = 4,
    KESTU_VAD_ENC2_W     = 5,
    KESTU_VAD_ENC2_B     = 6,
    KESTU_VAD_ENC3_W     = 7,
    KESTU_VAD_ENC3_B     = 8,
    KESTU_VAD_LSTM_IH_W  = 9,
    KESTU_VAD_LSTM_HH_W  = 10,
    KESTU_VAD_LSTM_IH_B  = 11,
    KESTU_VAD_LSTM_HH_B  = 12,
    KESTU_VAD_FINAL_W    = 13,
    KESTU_VAD_FINAL_B    = 14,
    KESTU_VAD_N_WEIGHTS  = 15,
};

struct kestu_vad_context {
    int64_t t_vad_us = 0; // summed over every detection

    int32_t n_window     = 0; // samples per analysed window
    int32_t n_window_aux = 0; // stored, read by nothing

    kestu_vad_context_params params;

    std::vector<tevo_backend_t> backends;
    tevo_backend_buffer_t       lstm_state_buffer = nullptr; // h_state and c_state
    std::vector<uint8_t>        lstm_state_meta;             // their records
    kestu_sched                 sched;
    // the windows' runs share these threads; idled after each detection
    kestu_threadpool threadpool;

    std::string model_type;
    std::string model_version; // "major.minor.patch"

    int32_t              n_encoder_layers = 0; // always 4
    std::vector<int32_t> encoder_in_channels;
    std::vector<int32_t> encoder_out_channels;
    std::vector<int32_t> encoder_kernel_size;
    int32_t              lstm_input_size  = 0;
    int32_t              lstm_hidden_size = 0;
    int32_t              final_conv_in    = 0;
    int32_t              final_conv_out   = 0;

    tevo_tensor * weights[KESTU_VAD_N_WEIGHTS] = {}; // by kestu_vad_weight id

    std::vector<tevo_context *>         weight_contexts;
    std::vector<tevo_backend_buffer_t> weight_buffers;
    int32_t                             n_loaded_tensors = 0;
    std::map<std::string, tevo_tensor *> tensors_by_name;

    std::string path;

    tevo_tensor * h_state = nullptr; // recurrent cell state, carried between windows
    tevo_tensor * c_state = nullptr;

    std::vector<float> probs; // one speech probability per window of the last detection
    // samples that detection analysed (-1: not known); segment ends stop there,
    // not at the end of the zero-filled last window
    int64_t probs_n_samples = -1;
};

struct kestu_vad_segment {
    int64_t t0; // centiseconds of the analysed audio
    int64_t t1;
};

struct kestu_vad_segments {
    std::vector<kestu_vad_segment> data;
};

// loader slots over a std::ifstream (vad/kestu-vad-model.cpp)
size_t kestu_vad_file_loader_read(void * ctx, void * output, size_t read_size);
bool   kestu_vad_file_loader_eof(void * ctx);
void   kestu_vad_file_loader_close(void * ctx);

// places weight id's template in a buffer type (vad/kestu-vad-model.cpp); throws std::runtime_error
tevo_tensor * kestu_vad_create_tensor(kestu_vad_context & vctx, const kestu_buft_list & buft_list,
                                      std::map<tevo_backend_buffer_type_t, tevo_context *> & ctx_map, int32_t id,
                                      tevo_tensor * meta);
// backends, recurrent state and scheduler; false after a logged error, and the
// caller then frees the context (vad/kestu-vad-model.cpp)
bool kestu_vad_init_context(kestu_vad_context * vctx);

// longest segment in samples for longest_speech_s; 0x3fffffff means no limit
// (vad/kestu-vad-segments.cpp)
int64_t kestu_vad_longest_limit(float longest_speech_s, int64_t n_window, int64_t pad);

// graph of one window: "frame" [n_window] -> "prob" (vad/kestu-vad-detect.cpp)
tevo_cgraph * kestu_vad_graph_for_window(kestu_vad_context * vctx);
