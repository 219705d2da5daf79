#include "kestu-impl.h"

// The library's fixed tables, built in this order before main and read-only
// afterwards: tensor names, the operator each weight feeds, the
// voice-activity operators and names, model-type names, languages,
// alignment-head presets, the spectrogram's trigonometric tables and the
// non-speech texts.

const std::map<int32_t, std::map<int32_t, const char *>> kestu_tensor_names;
const std::map<int32_t, enum tevo_op> kestu_tensor_ops;
const std::map<int32_t, enum tevo_op> kestu_vad_tensor_ops;
const std::map<int32_t, const char *> kestu_vad_tensor_names;
const std::map<int32_t, std::string> kestu_model_type_names;
const std::map<std::string, std::pair<int32_t, std::string>> kestu_languages;
const std::map<enum kestu_alignment_heads_preset, kestu_alignment_heads> kestu_aheads_presets;

float kestu_sin_vals[KESTU_TRIG_N];
float kestu_cos_vals[KESTU_TRIG_N];
float kestu_hann_window[KESTU_TRIG_N];

const std::vector<std::string> kestu_non_speech_tokens;
