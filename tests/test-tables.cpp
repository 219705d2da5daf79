// The built-in tables: sizes, the structure the loader and the graphs rely on,
// the language rows, the alignment-head presets against the model shapes
// they are made for, the non-speech texts as UTF-8, and the trigonometric
// tables against a long-double computation of their definition.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(TensorNames, KindsHoldTheirRoles) {
    ASSERT_EQ(kestu_tensor_names.size(), 3u);
    EXPECT_EQ(kestu_tensor_names.at(KESTU_KIND_ENCODER).size(), 22u);
    EXPECT_EQ(kestu_tensor_names.at(KESTU_KIND_DECODER).size(), 19u);
    EXPECT_EQ(kestu_tensor_names.at(KESTU_KIND_CROSS).size(), 9u);

    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_ENCODER).at(KESTU_ROLE_ENC_POS_EMBD), "encoder.positional_embedding");
    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_ENCODER).at(KESTU_ROLE_LN_OUT_W), "encoder.ln_post.weight");
    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_DECODER).at(KESTU_ROLE_LN_OUT_W), "decoder.ln.weight");
    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_DECODER).at(KESTU_ROLE_DEC_TOKEN_EMBD),
                 "decoder.token_embedding.weight");
    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_ENCODER).at(KESTU_ROLE_MLP_2_B), "encoder.blocks.%d.mlp.2.bias");
    EXPECT_STREQ(kestu_tensor_names.at(KESTU_KIND_CROSS).at(KESTU_ROLE_ATTN_K_W),
                 "decoder.blocks.%d.cross_attn.key.weight");

    // role 9 names nothing; the key has no bias anywhere
    for (const auto & kind : kestu_tensor_names) {
        EXPECT_EQ(kind.second.count(9), 0u);
        for (const auto & role : kind.second) {
            EXPECT_EQ(std::string(role.second).find("key.bias"), std::string::npos);
        }
    }
}

TEST(TensorNames, LayerNamesAreUniqueAndPerLayerExactlyForRoles11To25) {
    std::set<std::string> seen;
    size_t n = 0;
    for (const auto & kind : kestu_tensor_names) {
        for (const auto & role : kind.second) {
            const std::string name = role.second;
            const bool per_layer = name.find("%d") != std::string::npos;
            EXPECT_EQ(per_layer, role.first >= KESTU_ROLE_MLP_LN_W) << name;
            EXPECT_EQ(name.rfind(kind.first == KESTU_KIND_ENCODER ? "encoder." : "decoder.", 0), 0u) << name;
            EXPECT_EQ(name.find("cross_attn") != std::string::npos, kind.first == KESTU_KIND_CROSS) << name;
            char layer_name[128];
            snprintf(layer_name, sizeof(layer_name), name.c_str(), 3);
            seen.insert(layer_name);
            n++;
        }
    }
    EXPECT_EQ(seen.size(), n);
}

TEST(TensorOps, EveryRoleHasTheOperatorItFeeds) {
    ASSERT_EQ(kestu_tensor_ops.size(), 26u);
    const std::set<int> mul_mat  = {13, 15, 19, 21, 22, 24};
    const std::set<int> get_rows = {1, 2};
    const std::set<int> im2col   = {5, 7};
    const std::set<int> mul      = {3, 9, 11, 17};
    for (int role = 0; role < 26; role++) {
        tevo_op expected = TEVO_OP_ADD;
        if (mul_mat.count(role)) expected = TEVO_OP_MUL_MAT;
        if (get_rows.count(role)) expected = TEVO_OP_GET_ROWS;
        if (im2col.count(role)) expected = TEVO_OP_IM2COL;
        if (mul.count(role)) expected = TEVO_OP_MUL;
        EXPECT_EQ(kestu_tensor_ops.at(role), expected) << role;
    }
    // every named role has an operator
    for (const auto & kind : kestu_tensor_names) {
        for (const auto & role : kind.second) {
            EXPECT_EQ(kestu_tensor_ops.count(role.first), 1u) << role.second;
        }
    }
}

TEST(VadTables, FifteenTensors) {
    ASSERT_EQ(kestu_vad_tensor_ops.size(), 15u);
    ASSERT_EQ(kestu_vad_tensor_names.size(), 15u);
    EXPECT_STREQ(kestu_vad_tensor_names.at(0), "_model.stft.forward_basis_buffer");
    EXPECT_STREQ(kestu_vad_tensor_names.at(10), "_model.decoder.rnn.weight_hh");
    EXPECT_STREQ(kestu_vad_tensor_names.at(14), "_model.decoder.decoder.2.bias");
    for (int i = 0; i < 15; i++) {
        const std::string name = kestu_vad_tensor_names.at(i);
        tevo_op expected = TEVO_OP_IM2COL; // the convolution weights
        if (name.find("bias") != std::string::npos) expected = TEVO_OP_ADD;
        if (name.find("rnn.weight") != std::string::npos) expected = TEVO_OP_MUL_MAT;
        EXPECT_EQ(kestu_vad_tensor_ops.at(i), expected) << name;
    }
}

TEST(ModelTypes, SizeClassNames) {
    const char * names[] = {"unknown", "tiny", "base", "small", "medium", "large"};
    ASSERT_EQ(kestu_model_type_names.size(), 6u);
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(kestu_model_type_names.at(i), names[i]);
    }
}

TEST(Languages, HundredRowsWithIdsInOrder) {
    ASSERT_EQ(kestu_languages.size(), 100u);
    std::set<int> ids;
    int n_spaces = 0;
    for (const auto & row : kestu_languages) {
        ids.insert(row.second.first);
        for (char ch : row.first) {
            EXPECT_TRUE(ch >= 'a' && ch <= 'z') << row.first;
        }
        for (char ch : row.second.second) {
            EXPECT_TRUE((ch >= 'a' && ch <= 'z') || ch == ' ') << row.second.second;
            n_spaces += ch == ' ';
        }
    }
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(*ids.begin(), 0);
    EXPECT_EQ(*ids.rbegin(), 99);
    EXPECT_EQ(n_spaces, 1);

    const struct {
        const char * code;
        int id;
        const char * name;
    } rows[] = {{"en", 0, "english"},  {"zh", 1, "chinese"},         {"de", 2, "german"},
                {"ko", 5, "korean"},   {"no", 29, "norwegian"},      {"jw", 97, "javanese"},
                {"ht", 80, "haitian creole"}, {"haw", 93, "hawaiian"}, {"yue", 99, "cantonese"}};
    for (const auto & r : rows) {
        ASSERT_EQ(kestu_languages.count(r.code), 1u) << r.code;
        EXPECT_EQ(kestu_languages.at(r.code).first, r.id) << r.code;
        EXPECT_EQ(kestu_languages.at(r.code).second, r.name) << r.code;
    }
}

TEST(AlignmentHeadPresets, EachFitsItsModelShapeExactly) {
    // heads per preset, and the smallest text decoder (layers x heads) holding them
    const struct {
        kestu_alignment_heads_preset preset;
        size_t n_heads;
        int layers;
        int heads;
    } cases[] = {
        {KESTU_AHEADS_PRESET_3, 8, 4, 6},     {KESTU_AHEADS_PRESET_4, 6, 4, 6},
        {KESTU_AHEADS_PRESET_5, 5, 6, 8},     {KESTU_AHEADS_PRESET_6, 8, 6, 8},
        {KESTU_AHEADS_PRESET_7, 19, 12, 12},  {KESTU_AHEADS_PRESET_8, 10, 11, 10},
        {KESTU_AHEADS_PRESET_9, 18, 22, 16},  {KESTU_AHEADS_PRESET_10, 6, 24, 16},
        {KESTU_AHEADS_PRESET_11, 9, 24, 20},  {KESTU_AHEADS_PRESET_12, 23, 28, 20},
        {KESTU_AHEADS_PRESET_13, 10, 26, 19}, {KESTU_AHEADS_PRESET_14, 6, 4, 15},
    };
    ASSERT_EQ(kestu_aheads_presets.size(), 12u);
    for (const auto & c : cases) {
        SCOPED_TRACE((int) c.preset);
        const kestu_alignment_heads & h = kestu_aheads_presets.at(c.preset);
        ASSERT_EQ(h.n_heads, c.n_heads);
        ASSERT_NE(h.heads, nullptr);
        int max_layer = -1, max_head = -1;
        std::set<std::pair<int, int>> distinct;
        for (size_t i = 0; i < h.n_heads; i++) {
            EXPECT_GE(h.heads[i].text_layer, 0);
            EXPECT_GE(h.heads[i].head, 0);
            max_layer = std::max(max_layer, h.heads[i].text_layer);
            max_head  = std::max(max_head, h.heads[i].head);
            distinct.insert({h.heads[i].text_layer, h.heads[i].head});
            if (i > 0) { // listed in order
                EXPECT_LT(std::make_pair(h.heads[i - 1].text_layer, h.heads[i - 1].head),
                          std::make_pair(h.heads[i].text_layer, h.heads[i].head));
            }
        }
        EXPECT_EQ(distinct.size(), c.n_heads);
        EXPECT_EQ(max_layer + 1, c.layers);
        EXPECT_EQ(max_head + 1, c.heads);
    }
    const kestu_alignment_heads & p7 = kestu_aheads_presets.at(KESTU_AHEADS_PRESET_7);
    EXPECT_EQ(p7.heads[0].text_layer, 6);
    EXPECT_EQ(p7.heads[0].head, 6);
    EXPECT_EQ(p7.heads[18].text_layer, 11);
    EXPECT_EQ(p7.heads[18].head, 4);
}

std::string utf8(std::initializer_list<uint32_t> code_points) {
    std::string s;
    for (uint32_t cp : code_points) {
        if (cp < 0x80) {
            s += (char) cp;
        } else if (cp < 0x800) {
            s += (char) (0xC0 | (cp >> 6));
            s += (char) (0x80 | (cp & 0x3F));
        } else {
            s += (char) (0xE0 | (cp >> 12));
            s += (char) (0x80 | ((cp >> 6) & 0x3F));
            s += (char) (0x80 | (cp & 0x3F));
        }
    }
    return s;
}

TEST(NonSpeechTokens, FiftyFourTextsInUtf8) {
    const std::vector<std::string> expected = {
        utf8({0x22}), utf8({0x23}), utf8({0x28}), utf8({0x29}), utf8({0x2A}), utf8({0x2B}), utf8({0x2F}),
        utf8({0x3A}), utf8({0x3B}), utf8({0x3C}), utf8({0x3D}), utf8({0x3E}), utf8({0x40}), utf8({0x5B}),
        utf8({0x5C}), utf8({0x5D}), utf8({0x5E}), utf8({0x5F}), utf8({0x60}), utf8({0x7B}), utf8({0x7C}),
        utf8({0x7D}), utf8({0x7E}), utf8({0x300C}), utf8({0x300D}), utf8({0x300E}), utf8({0x300F}),
        utf8({0x3C, 0x3C}), utf8({0x3E, 0x3E}), utf8({0x3C, 0x3C, 0x3C}), utf8({0x3E, 0x3E, 0x3E}),
        utf8({0x2D, 0x2D}), utf8({0x2D, 0x2D, 0x2D}), utf8({0x2D, 0x28}), utf8({0x2D, 0x5B}),
        utf8({0x28, 0x27}), utf8({0x28, 0x22}), utf8({0x28, 0x28}), utf8({0x29, 0x29}),
        utf8({0x28, 0x28, 0x28}), utf8({0x29, 0x29, 0x29}), utf8({0x5B, 0x5B}), utf8({0x5D, 0x5D}),
        utf8({0x7B, 0x7B}), utf8({0x7D, 0x7D}), utf8({0x266A, 0x266A}), utf8({0x266A, 0x266A, 0x266A}),
        utf8({0x2669}), utf8({0x266A}), utf8({0x266B}), utf8({0x266C}), utf8({0x266D}), utf8({0x266E}),
        utf8({0x266F}),
    };
    ASSERT_EQ(expected.size(), 54u);
    ASSERT_EQ(kestu_non_speech_tokens.size(), 54u);
    for (size_t i = 0; i < 54; i++) {
        EXPECT_EQ(kestu_non_speech_tokens[i], expected[i]) << i;
    }
    // the eighth-note pair as bytes, independent of the encoder above
    EXPECT_EQ(kestu_non_speech_tokens[45], "\xE2\x99\xAA\xE2\x99\xAA");
}

// bit pattern of a float, so the comparison is exact and prints usefully
uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

TEST(TrigTables, CorrectlyRoundedValuesOfTheFloatAngle) {
    for (int i = 0; i < KESTU_TRIG_N; i++) {
        const float angle = (float) (2.0 * M_PI * i / 400.0);
        // long double carries 11 more bits than double: rounding it to float
        // gives the correctly rounded sine and cosine of the float angle
        const float s = (float) sinl((long double) angle);
        const float c = (float) cosl((long double) angle);
        const float hann = (float) (0.5 * (1.0 - (double) c));
        EXPECT_EQ(bits(kestu_sin_vals[i]), bits(s)) << i;
        EXPECT_EQ(bits(kestu_cos_vals[i]), bits(c)) << i;
        EXPECT_EQ(bits(kestu_hann_window[i]), bits(hann)) << i;
    }
    EXPECT_EQ(kestu_hann_window[0], 0.0f);
    EXPECT_EQ(kestu_hann_window[200], 1.0f);
    EXPECT_EQ(kestu_cos_vals[0], 1.0f);
    EXPECT_EQ(kestu_sin_vals[0], 0.0f);
    EXPECT_EQ(kestu_cos_vals[200], -1.0f);
}

} // namespace
