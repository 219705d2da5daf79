#include "kestu-impl.h"

// The library's fixed tables, built in this order before main and read-only
// afterwards: tensor names, the operator each weight feeds, the
// voice-activity operators and names, model-type names, languages,
// alignment-head presets, the spectrogram's trigonometric tables and the
// non-speech texts. All of them live in this one file, so their order of
// construction is the order of definition below.

#include <cmath>

// kind -> role -> name template; "%d" becomes the layer number
const std::map<int32_t, std::map<int32_t, const char *>> kestu_tensor_names = {
    {
        KESTU_KIND_ENCODER,
        {
            {KESTU_ROLE_ENC_POS_EMBD, "encoder.positional_embedding"},
            {KESTU_ROLE_CONV1_W, "encoder.conv1.weight"},
            {KESTU_ROLE_CONV1_B, "encoder.conv1.bias"},
            {KESTU_ROLE_CONV2_W, "encoder.conv2.weight"},
            {KESTU_ROLE_CONV2_B, "encoder.conv2.bias"},
            {KESTU_ROLE_LN_OUT_W, "encoder.ln_post.weight"},
            {KESTU_ROLE_ENC_LN_OUT_B, "encoder.ln_post.bias"},
            {KESTU_ROLE_MLP_LN_W, "encoder.blocks.%d.mlp_ln.weight"},
            {KESTU_ROLE_MLP_LN_B, "encoder.blocks.%d.mlp_ln.bias"},
            {KESTU_ROLE_MLP_0_W, "encoder.blocks.%d.mlp.0.weight"},
            {KESTU_ROLE_MLP_0_B, "encoder.blocks.%d.mlp.0.bias"},
            {KESTU_ROLE_MLP_2_W, "encoder.blocks.%d.mlp.2.weight"},
            {KESTU_ROLE_MLP_2_B, "encoder.blocks.%d.mlp.2.bias"},
            {KESTU_ROLE_ATTN_LN_W, "encoder.blocks.%d.attn_ln.weight"},
            {KESTU_ROLE_ATTN_LN_B, "encoder.blocks.%d.attn_ln.bias"},
            {KESTU_ROLE_ATTN_Q_W, "encoder.blocks.%d.attn.query.weight"},
            {KESTU_ROLE_ATTN_Q_B, "encoder.blocks.%d.attn.query.bias"},
            {KESTU_ROLE_ATTN_K_W, "encoder.blocks.%d.attn.key.weight"},
            {KESTU_ROLE_ATTN_V_W, "encoder.blocks.%d.attn.value.weight"},
            {KESTU_ROLE_ATTN_V_B, "encoder.blocks.%d.attn.value.bias"},
            {KESTU_ROLE_ATTN_OUT_W, "encoder.blocks.%d.attn.out.weight"},
            {KESTU_ROLE_ATTN_OUT_B, "encoder.blocks.%d.attn.out.bias"},
        },
    },
    {
        KESTU_KIND_DECODER,
        {
            {KESTU_ROLE_DEC_POS_EMBD, "decoder.positional_embedding"},
            {KESTU_ROLE_DEC_TOKEN_EMBD, "decoder.token_embedding.weight"},
            {KESTU_ROLE_LN_OUT_W, "decoder.ln.weight"},
            {KESTU_ROLE_DEC_LN_OUT_B, "decoder.ln.bias"},
            {KESTU_ROLE_MLP_LN_W, "decoder.blocks.%d.mlp_ln.weight"},
            {KESTU_ROLE_MLP_LN_B, "decoder.blocks.%d.mlp_ln.bias"},
            {KESTU_ROLE_MLP_0_W, "decoder.blocks.%d.mlp.0.weight"},
            {KESTU_ROLE_MLP_0_B, "decoder.blocks.%d.mlp.0.bias"},
            {KESTU_ROLE_MLP_2_W, "decoder.blocks.%d.mlp.2.weight"},
            {KESTU_ROLE_MLP_2_B, "decoder.blocks.%d.mlp.2.bias"},
            {KESTU_ROLE_ATTN_LN_W, "decoder.blocks.%d.attn_ln.weight"},
            {KESTU_ROLE_ATTN_LN_B, "decoder.blocks.%d.attn_ln.bias"},
            {KESTU_ROLE_ATTN_Q_W, "decoder.blocks.%d.attn.query.weight"},
            {KESTU_ROLE_ATTN_Q_B, "decoder.blocks.%d.attn.query.bias"},
            {KESTU_ROLE_ATTN_K_W, "decoder.blocks.%d.attn.key.weight"},
            {KESTU_ROLE_ATTN_V_W, "decoder.blocks.%d.attn.value.weight"},
            {KESTU_ROLE_ATTN_V_B, "decoder.blocks.%d.attn.value.bias"},
            {KESTU_ROLE_ATTN_OUT_W, "decoder.blocks.%d.attn.out.weight"},
            {KESTU_ROLE_ATTN_OUT_B, "decoder.blocks.%d.attn.out.bias"},
        },
    },
    {
        KESTU_KIND_CROSS,
        {
            {KESTU_ROLE_ATTN_LN_W, "decoder.blocks.%d.cross_attn_ln.weight"},
            {KESTU_ROLE_ATTN_LN_B, "decoder.blocks.%d.cross_attn_ln.bias"},
            {KESTU_ROLE_ATTN_Q_W, "decoder.blocks.%d.cross_attn.query.weight"},
            {KESTU_ROLE_ATTN_Q_B, "decoder.blocks.%d.cross_attn.query.bias"},
            {KESTU_ROLE_ATTN_K_W, "decoder.blocks.%d.cross_attn.key.weight"},
            {KESTU_ROLE_ATTN_V_W, "decoder.blocks.%d.cross_attn.value.weight"},
            {KESTU_ROLE_ATTN_V_B, "decoder.blocks.%d.cross_attn.value.bias"},
            {KESTU_ROLE_ATTN_OUT_W, "decoder.blocks.%d.cross_attn.out.weight"},
            {KESTU_ROLE_ATTN_OUT_B, "decoder.blocks.%d.cross_attn.out.bias"},
        },
    },
};

// role -> the operator the weight feeds first; weight placement tries this
// operation on each candidate buffer type. Role 9 names no tensor but keeps
// its entry.
const std::map<int32_t, enum tevo_op> kestu_tensor_ops = {
    {KESTU_ROLE_ENC_POS_EMBD, TEVO_OP_ADD},
    {KESTU_ROLE_DEC_POS_EMBD, TEVO_OP_GET_ROWS},
    {KESTU_ROLE_DEC_TOKEN_EMBD, TEVO_OP_GET_ROWS},
    {KESTU_ROLE_LN_OUT_W, TEVO_OP_MUL},
    {KESTU_ROLE_DEC_LN_OUT_B, TEVO_OP_ADD},
    {KESTU_ROLE_CONV1_W, TEVO_OP_IM2COL},
    {KESTU_ROLE_CONV1_B, TEVO_OP_ADD},
    {KESTU_ROLE_CONV2_W, TEVO_OP_IM2COL},
    {KESTU_ROLE_CONV2_B, TEVO_OP_ADD},
    {9, TEVO_OP_MUL},
    {KESTU_ROLE_ENC_LN_OUT_B, TEVO_OP_ADD},
    {KESTU_ROLE_MLP_LN_W, TEVO_OP_MUL},
    {KESTU_ROLE_MLP_LN_B, TEVO_OP_ADD},
    {KESTU_ROLE_MLP_0_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_MLP_0_B, TEVO_OP_ADD},
    {KESTU_ROLE_MLP_2_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_MLP_2_B, TEVO_OP_ADD},
    {KESTU_ROLE_ATTN_LN_W, TEVO_OP_MUL},
    {KESTU_ROLE_ATTN_LN_B, TEVO_OP_ADD},
    {KESTU_ROLE_ATTN_Q_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_ATTN_Q_B, TEVO_OP_ADD},
    {KESTU_ROLE_ATTN_K_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_ATTN_V_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_ATTN_V_B, TEVO_OP_ADD},
    {KESTU_ROLE_ATTN_OUT_W, TEVO_OP_MUL_MAT},
    {KESTU_ROLE_ATTN_OUT_B, TEVO_OP_ADD},
};

const std::map<int32_t, enum tevo_op> kestu_vad_tensor_ops = {
    {0, TEVO_OP_IM2COL},    {1, TEVO_OP_IM2COL},   {2, TEVO_OP_ADD},      {3, TEVO_OP_IM2COL},
    {4, TEVO_OP_ADD},       {5, TEVO_OP_IM2COL},   {6, TEVO_OP_ADD},      {7, TEVO_OP_IM2COL},
    {8, TEVO_OP_ADD},       {9, TEVO_OP_MUL_MAT},  {10, TEVO_OP_MUL_MAT}, {11, TEVO_OP_ADD},
    {12, TEVO_OP_ADD},      {13, TEVO_OP_IM2COL},  {14, TEVO_OP_ADD},
};

const std::map<int32_t, const char *> kestu_vad_tensor_names = {
    {0, "_model.stft.forward_basis_buffer"},
    {1, "_model.encoder.0.reparam_conv.weight"},
    {2, "_model.encoder.0.reparam_conv.bias"},
    {3, "_model.encoder.1.reparam_conv.weight"},
    {4, "_model.encoder.1.reparam_conv.bias"},
    {5, "_model.encoder.2.reparam_conv.weight"},
    {6, "_model.encoder.2.reparam_conv.bias"},
    {7, "_model.encoder.3.reparam_conv.weight"},
    {8, "_model.encoder.3.reparam_conv.bias"},
    {9, "_model.decoder.rnn.weight_ih"},
    {10, "_model.decoder.rnn.weight_hh"},
    {11, "_model.decoder.rnn.bias_ih"},
    {12, "_model.decoder.rnn.bias_hh"},
    {13, "_model.decoder.decoder.2.weight"},
    {14, "_model.decoder.decoder.2.bias"},
};

const std::map<int32_t, std::string> kestu_model_type_names = {
    {0, "unknown"}, {1, "tiny"}, {2, "base"}, {3, "small"}, {4, "medium"}, {5, "large"},
};

// code -> (id, full name); the id is the row's position, and the vocabulary's
// language tokens follow the start-of-transcript token in id order
const std::map<std::string, std::pair<int32_t, std::string>> kestu_languages = {
    {"en", {0, "english"}},         {"zh", {1, "chinese"}},     {"de", {2, "german"}},
    {"es", {3, "spanish"}},         {"ru", {4, "russian"}},     {"ko", {5, "korean"}},
    {"fr", {6, "french"}},          {"ja", {7, "japanese"}},    {"pt", {8, "portuguese"}},
    {"tr", {9, "turkish"}},         {"pl", {10, "polish"}},     {"ca", {11, "catalan"}},
    {"nl", {12, "dutch"}},          {"ar", {13, "arabic"}},     {"sv", {14, "swedish"}},
    {"it", {15, "italian"}},        {"id", {16, "indonesian"}}, {"hi", {17, "hindi"}},
    {"fi", {18, "finnish"}},        {"vi", {19, "vietnamese"}}, {"he", {20, "hebrew"}},
    {"uk", {21, "ukrainian"}},      {"el", {22, "greek"}},      {"ms", {23, "malay"}},
    {"cs", {24, "czech"}},          {"ro", {25, "romanian"}},   {"da", {26, "danish"}},
    {"hu", {27, "hungarian"}},      {"ta", {28, "tamil"}},      {"no", {29, "norwegian"}},
    {"th", {30, "thai"}},           {"ur", {31, "urdu"}},       {"hr", {32, "croatian"}},
    {"bg", {33, "bulgarian"}},      {"lt", {34, "lithuanian"}}, {"la", {35, "latin"}},
    {"mi", {36, "maori"}},          {"ml", {37, "malayalam"}},  {"cy", {38, "welsh"}},
    {"sk", {39, "slovak"}},         {"te", {40, "telugu"}},     {"fa", {41, "persian"}},
    {"lv", {42, "latvian"}},        {"bn", {43, "bengali"}},    {"sr", {44, "serbian"}},
    {"az", {45, "azerbaijani"}},    {"sl", {46, "slovenian"}},  {"kn", {47, "kannada"}},
    {"et", {48, "estonian"}},       {"mk", {49, "macedonian"}}, {"br", {50, "breton"}},
    {"eu", {51, "basque"}},         {"is", {52, "icelandic"}},  {"hy", {53, "armenian"}},
    {"ne", {54, "nepali"}},         {"mn", {55, "mongolian"}},  {"bs", {56, "bosnian"}},
    {"kk", {57, "kazakh"}},         {"sq", {58, "albanian"}},   {"sw", {59, "swahili"}},
    {"gl", {60, "galician"}},       {"mr", {61, "marathi"}},    {"pa", {62, "punjabi"}},
    {"si", {63, "sinhala"}},        {"km", {64, "khmer"}},      {"sn", {65, "shona"}},
    {"yo", {66, "yoruba"}},         {"so", {67, "somali"}},     {"af", {68, "afrikaans"}},
    {"oc", {69, "occitan"}},        {"ka", {70, "georgian"}},   {"be", {71, "belarusian"}},
    {"tg", {72, "tajik"}},          {"sd", {73, "sindhi"}},     {"gu", {74, "gujarati"}},
    {"am", {75, "amharic"}},        {"yi", {76, "yiddish"}},    {"lo", {77, "lao"}},
    {"uz", {78, "uzbek"}},          {"fo", {79, "faroese"}},    {"ht", {80, "haitian creole"}},
    {"ps", {81, "pashto"}},         {"tk", {82, "turkmen"}},    {"nn", {83, "nynorsk"}},
    {"mt", {84, "maltese"}},        {"sa", {85, "sanskrit"}},   {"lb", {86, "luxembourgish"}},
    {"my", {87, "myanmar"}},        {"bo", {88, "tibetan"}},    {"tl", {89, "tagalog"}},
    {"mg", {90, "malagasy"}},       {"as", {91, "assamese"}},   {"tt", {92, "tatar"}},
    {"haw", {93, "hawaiian"}},      {"ln", {94, "lingala"}},    {"ha", {95, "hausa"}},
    {"ba", {96, "bashkir"}},        {"jw", {97, "javanese"}},   {"su", {98, "sundanese"}},
    {"yue", {99, "cantonese"}},
};

// Cross-attention heads (text layer, head) that follow the audio best, per
// model shape. The records point into these arrays for the whole process.
namespace {

const kestu_alignment_head g_aheads_3[]  = {{1, 0}, {2, 0}, {2, 5}, {3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}};
const kestu_alignment_head g_aheads_4[]  = {{2, 2}, {3, 0}, {3, 2}, {3, 3}, {3, 4}, {3, 5}};
const kestu_alignment_head g_aheads_5[]  = {{3, 3}, {4, 7}, {5, 1}, {5, 5}, {5, 7}};
const kestu_alignment_head g_aheads_6[]  = {{3, 1}, {4, 2}, {4, 3}, {4, 7}, {5, 1}, {5, 2}, {5, 4}, {5, 6}};
const kestu_alignment_head g_aheads_7[]  = {{6, 6},   {7, 0},   {7, 3},   {7, 8},  {8, 2},   {8, 5},  {8, 7},
                                            {9, 0},   {9, 4},   {9, 8},   {9, 10}, {10, 0},  {10, 1}, {10, 2},
                                            {10, 3},  {10, 6},  {10, 11}, {11, 2}, {11, 4}};
const kestu_alignment_head g_aheads_8[]  = {{5, 3}, {5, 9}, {8, 0}, {8, 4}, {8, 7},
                                            {8, 8}, {9, 0}, {9, 7}, {9, 9}, {10, 5}};
const kestu_alignment_head g_aheads_9[]  = {{11, 4},  {14, 1},  {14, 12}, {14, 14}, {15, 4},  {16, 0},
                                            {16, 4},  {16, 9},  {17, 12}, {17, 14}, {18, 7},  {18, 10},
                                            {18, 15}, {20, 0},  {20, 3},  {20, 9},  {20, 14}, {21, 12}};
const kestu_alignment_head g_aheads_10[] = {{13, 15}, {15, 4}, {15, 15}, {16, 1}, {20, 0}, {23, 4}};
const kestu_alignment_head g_aheads_11[] = {{9, 19},  {11, 2},  {11, 4},  {11, 17}, {22, 7},
                                            {22, 11}, {22, 17}, {23, 2},  {23, 15}};
const kestu_alignment_head g_aheads_12[] = {{10, 12}, {13, 17}, {16, 11}, {16, 12}, {16, 13}, {17, 15},
                                            {17, 16}, {18, 4},  {18, 11}, {18, 19}, {19, 11}, {21, 2},
                                            {21, 3},  {22, 3},  {22, 9},  {22, 12}, {23, 5},  {23, 7},
                                            {23, 13}, {25, 5},  {26, 1},  {26, 12}, {27, 15}};
const kestu_alignment_head g_aheads_13[] = {{7, 0},   {10, 17}, {12, 18}, {13, 12}, {16, 1},
                                            {17, 14}, {19, 11}, {21, 4},  {24, 1},  {25, 6}};
const kestu_alignment_head g_aheads_14[] = {{2, 4}, {2, 11}, {3, 3}, {3, 6}, {3, 11}, {3, 14}};

template <size_t N>
kestu_alignment_heads heads_of(const kestu_alignment_head (&heads)[N]) {
    return kestu_alignment_heads{N, heads};
}

} // namespace

const std::map<enum kestu_alignment_heads_preset, kestu_alignment_heads> kestu_aheads_presets = {
    {KESTU_AHEADS_PRESET_3, heads_of(g_aheads_3)},   {KESTU_AHEADS_PRESET_4, heads_of(g_aheads_4)},
    {KESTU_AHEADS_PRESET_5, heads_of(g_aheads_5)},   {KESTU_AHEADS_PRESET_6, heads_of(g_aheads_6)},
    {KESTU_AHEADS_PRESET_7, heads_of(g_aheads_7)},   {KESTU_AHEADS_PRESET_8, heads_of(g_aheads_8)},
    {KESTU_AHEADS_PRESET_9, heads_of(g_aheads_9)},   {KESTU_AHEADS_PRESET_10, heads_of(g_aheads_10)},
    {KESTU_AHEADS_PRESET_11, heads_of(g_aheads_11)}, {KESTU_AHEADS_PRESET_12, heads_of(g_aheads_12)},
    {KESTU_AHEADS_PRESET_13, heads_of(g_aheads_13)}, {KESTU_AHEADS_PRESET_14, heads_of(g_aheads_14)},
};

float kestu_sin_vals[KESTU_TRIG_N];
float kestu_cos_vals[KESTU_TRIG_N];
float kestu_hann_window[KESTU_TRIG_N];

namespace {

// Fills the transform's sine and cosine tables and the periodic Hann window
// of length 400 before main, so the spectrogram threads only read them.
// The angle is rounded to float first and its sine and cosine are taken in
// double and rounded once, which gives the correctly rounded float value on
// every C library.
struct kestu_trig_tables_init {
    kestu_trig_tables_init() {
        for (int i = 0; i < KESTU_TRIG_N; i++) {
            const float  angle = (float) (2.0 * M_PI * i / KESTU_TRIG_N);
            const float  s     = (float) std::sin((double) angle);
            const float  c     = (float) std::cos((double) angle);
            kestu_sin_vals[i]    = s;
            kestu_cos_vals[i]    = c;
            kestu_hann_window[i] = (float) (0.5 * (1.0 - (double) c));
        }
    }
};

const kestu_trig_tables_init g_trig_tables_init;

} // namespace

// tokens whose text is one of these are suppressed when asked to
const std::vector<std::string> kestu_non_speech_tokens = {
    "\"", "#", "(", ")", "*", "+", "/", ":", ";", "<", "=", ">", "@", "[", "\\", "]", "^", "_", "`",
    "{", "|", "}", "~", "「", "」", "『", "』", "<<", ">>", "<<<", ">>>", "--", "---", "-(", "-[", "('",
    "(\"", "((", "))", "(((", ")))", "[[", "]]", "{{", "}}", "♪♪", "♪♪♪", "♩", "♪", "♫", "♬", "♭",
    "♮", "♯",
};
