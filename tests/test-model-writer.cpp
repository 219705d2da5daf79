// The model-file writer that the speech tests make their models with: half
// rounding identical to the tensor library's, a proper mel filter bank, the
// default vocabulary, the tensor list of the hyper-parameters, weights that
// depend only on the seed and the tensor's name, and the layout it reports;
// quantized output for every file type with a quantizer; the reader that
// gives a written model back, refuses cut and corrupt images, and writes a
// model again with another file type.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace {

TEST(ModelWriter, HalfRoundingMatchesTheTensorLibrary) {
    // a stride through every float bit pattern, plus the edges of the half range
    std::vector<uint32_t> patterns;
    for (uint64_t u = 0; u <= 0xffffffffull; u += 4099) {
        patterns.push_back(uint32_t(u));
    }
    for (float f : {0.0f, -0.0f, 65504.0f, 65519.0f, 65520.0f, 1e-8f, 2.98e-8f, 5.96e-8f, 6.1e-5f, -6.1e-5f,
                    INFINITY, -INFINITY, 1.0f + 1.0f / 2048, 1.0f + 3.0f / 2048}) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        patterns.push_back(u);
    }
    for (uint32_t u : patterns) {
        float f;
        std::memcpy(&f, &u, 4);
        if (std::isnan(f)) {
            continue;
        }
        ASSERT_EQ(kestu_writer_fp32_to_fp16(f), tevo_fp32_to_fp16(f)) << std::hex << u;
    }
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const float a = kestu_writer_fp16_to_fp32(uint16_t(h));
        const float b = tevo_fp16_to_fp32(tevo_fp16_t(h));
        if (std::isnan(b)) {
            ASSERT_TRUE(std::isnan(a)) << h;
        } else {
            ASSERT_EQ(a, b) << h;
        }
    }
}

TEST(ModelWriter, MelFilterBankIsTriangularAndCoversTheRange) {
    const int32_t            n_mel = 80, n_fft = 201;
    const std::vector<float> f     = kestu_writer_mel_filters(n_mel, n_fft);
    ASSERT_EQ(f.size(), size_t(n_mel * n_fft));
    int prev_peak = -1;
    for (int m = 0; m < n_mel; ++m) {
        const float * row  = &f[size_t(m) * n_fft];
        int           peak = 0;
        for (int k = 0; k < n_fft; ++k) {
            ASSERT_GE(row[k], 0.0f);
            if (row[k] > row[peak]) {
                peak = k;
            }
        }
        EXPECT_GT(row[peak], 0.0f) << m;
        EXPECT_GE(peak, prev_peak) << m; // centres rise with the band
        prev_peak = peak;
        // one hump: non-zero bins are contiguous
        int first = -1, last = -1;
        for (int k = 0; k < n_fft; ++k) {
            if (row[k] > 0) {
                first = first < 0 ? k : first;
                last  = k;
            }
        }
        for (int k = first; k <= last; ++k) {
            EXPECT_GT(row[k], 0.0f) << m << " " << k;
        }
    }
    EXPECT_GT(prev_peak, 180); // the top band sits near 8 kHz
}

TEST(ModelWriter, DefaultVocabularyHasTheRightSizeAndTheWords) {
    const std::pair<int32_t, size_t> sizes[] = {{51864, 50256}, {51865, 50257}, {51866, 50257}, {300, 300}, {0, 0}};
    for (const auto & [n_vocab, size] : sizes) {
        EXPECT_EQ(kestu_writer_default_vocab(n_vocab).size(), size) << n_vocab;
    }
    const std::vector<std::string> v = kestu_writer_default_vocab(51864);
    EXPECT_EQ(v[32], " ");
    EXPECT_EQ(v[65], "A");
    for (const char * word : {" the", "hello", " hello", " zero", " nine", " yes"}) {
        EXPECT_NE(std::find(v.begin(), v.end(), word), v.end()) << word;
    }
    EXPECT_EQ(std::set<std::string>(v.begin(), v.end()).size(), v.size()); // no repeats
}

TEST(ModelWriter, TensorListFollowsTheHyperParameters) {
    for (int32_t ftype : {0, 1}) {
        kestu_model_recipe recipe;
        recipe.ftype         = ftype;
        recipe.n_audio_layer = 3;
        recipe.n_text_layer  = 2;
        recipe.n_vocab       = 51865;
        const std::vector<kestu_writer_tensor> ts = kestu_writer_tensors(recipe);
        ASSERT_EQ(ts.size(), 11u + 15u * 3 + 24u * 2);
        const int32_t wtype = ftype == 0 ? KESTU_WRITER_F32 : KESTU_WRITER_F16;
        for (const kestu_writer_tensor & t : ts) {
            size_t n = 1;
            for (int32_t e : t.ne) {
                n *= size_t(e);
            }
            EXPECT_EQ(t.values.size(), n) << t.name;
            const bool big = t.name.find(".weight") != std::string::npos && t.ne.size() >= 2;
            EXPECT_EQ(t.type, big ? wtype : KESTU_WRITER_F32) << t.name;
        }
        EXPECT_EQ(ts[1].name, "encoder.conv1.weight");
        EXPECT_EQ(ts[1].ne, (std::vector<int32_t>{3, 80, 64}));
        EXPECT_EQ(ts[2].ne, (std::vector<int32_t>{1, 64}));
        const auto te = std::find_if(ts.begin(), ts.end(),
                                     [](const kestu_writer_tensor & t) { return t.name == "decoder.token_embedding.weight"; });
        ASSERT_NE(te, ts.end());
        EXPECT_EQ(te->ne, (std::vector<int32_t>{64, 51865}));
        EXPECT_EQ(ts.back().name, "decoder.blocks.1.cross_attn.out.bias");
    }
}

TEST(ModelWriter, RandomWeightsAreScaledAndDependOnSeedAndName) {
    kestu_model_recipe recipe;
    recipe.ftype = 0;
    const std::vector<kestu_writer_tensor> a = kestu_writer_tensors(recipe);
    const std::vector<kestu_writer_tensor> b = kestu_writer_tensors(recipe);
    recipe.seed = 2;
    const std::vector<kestu_writer_tensor> c = kestu_writer_tensors(recipe);
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].values, b[i].values) << a[i].name;
        EXPECT_NE(a[i].values, c[i].values) << a[i].name;
    }
    auto stats = [&](const std::string & name) {
        for (const kestu_writer_tensor & t : a) {
            if (t.name == name) {
                double s = 0, s2 = 0;
                for (float v : t.values) {
                    s += v;
                    s2 += double(v) * v;
                }
                const double mean = s / t.values.size();
                return std::make_pair(mean, std::sqrt(s2 / t.values.size() - mean * mean));
            }
        }
        throw std::runtime_error("no tensor " + name);
    };
    // matrices ~ N(0, 1/fan_in), norm weights near 1
    const auto q = stats("encoder.blocks.0.attn.query.weight");
    EXPECT_NEAR(q.first, 0.0, 0.01);
    EXPECT_NEAR(q.second, 1.0 / 8.0, 0.01);
    const auto ln = stats("decoder.ln.weight");
    EXPECT_NEAR(ln.first, 1.0, 0.03);

    // an override changes that tensor only
    recipe.seed = 1;
    recipe.overrides["decoder.ln.bias"] = std::vector<float>(64, 0.5f);
    const std::vector<kestu_writer_tensor> d = kestu_writer_tensors(recipe);
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].name == "decoder.ln.bias") {
            EXPECT_EQ(d[i].values, std::vector<float>(64, 0.5f));
        } else {
            EXPECT_EQ(a[i].values, d[i].values) << a[i].name;
        }
    }
}

TEST(ModelWriter, BadOverridesThrow) {
    kestu_model_recipe recipe;
    recipe.overrides["decoder.ln.bias"] = std::vector<float>(63, 0.0f);
    EXPECT_THROW(kestu_writer_tensors(recipe), std::invalid_argument);
    recipe.overrides.clear();
    recipe.overrides["decoder.nothing"] = std::vector<float>(1, 0.0f);
    EXPECT_THROW(kestu_writer_tensors(recipe), std::invalid_argument);
    EXPECT_FALSE(kestu_write_model_file(recipe, testing::TempDir() + "never-written.bin"));
}

TEST(ModelWriter, LayoutPointsAtTheFields) {
    kestu_model_recipe    recipe;
    kestu_writer_layout l;
    const std::vector<uint8_t> bytes = kestu_write_model(recipe, &l);
    EXPECT_EQ(l.size, bytes.size());
    EXPECT_EQ(uint32_t(kestu_writer_get_i32(bytes, 0)), KESTU_WRITER_MAGIC);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.hparams), recipe.n_vocab);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.hparams + 40), recipe.ftype);
    EXPECT_EQ(l.filters, 48u);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.filters), 80);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.filters + 4), 201);
    EXPECT_EQ(l.vocab, 56u + 4u * 80 * 201);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.vocab), 50256);
    ASSERT_EQ(l.records.size(), 50u);
    EXPECT_EQ(l.records.front().begin, l.tensors);
    EXPECT_EQ(l.records.back().end, bytes.size());
    const kestu_writer_record_span * r = kestu_writer_find_record(l, "encoder.ln_post.bias");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kestu_writer_get_i32(bytes, r->begin), 1);      // n_dims
    EXPECT_EQ(kestu_writer_get_i32(bytes, r->begin + 4), 20); // name length
    EXPECT_EQ(kestu_writer_get_i32(bytes, r->begin + 8), 0);  // F32
    EXPECT_EQ(std::string(bytes.begin() + long(r->data_begin) - 20, bytes.begin() + long(r->data_begin)),
              "encoder.ln_post.bias");
    EXPECT_EQ(r->end - r->data_begin, 64u * 4);
    EXPECT_EQ(kestu_writer_find_record(l, "nothing"), nullptr);
}

} // namespace

// ---------------------------------------------------------------------------
// quantized output and reading back

namespace {

// a width of whole K-quant blocks, small enough for every type in one test
kestu_model_recipe wide_recipe(int32_t ftype) {
    kestu_model_recipe recipe;
    recipe.ftype         = ftype;
    recipe.n_vocab       = 300;
    recipe.n_audio_ctx   = 8;
    recipe.n_audio_state = 256;
    recipe.n_audio_head  = 4;
    recipe.n_text_ctx    = 8;
    recipe.n_text_state  = 256;
    recipe.n_text_head   = 4;
    return recipe;
}

bool is_matrix(const std::string & name) {
    return name == "decoder.token_embedding.weight" ||
           (name.find(".weight") != std::string::npos && name.find("blocks.") != std::string::npos &&
            name.find("_ln.") == std::string::npos);
}

double relative_rms(const std::vector<float> & got, const std::vector<float> & want) {
    double e = 0, r = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        e += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
        r += double(want[i]) * want[i];
    }
    return std::sqrt(e / r);
}

struct ftype_case {
    int32_t   ftype;
    tevo_type wtype;
    double    max_rel_rms; // quantization error of a Gaussian matrix
};

// Each file type stores the layer matrices and the token embedding in its
// weight type, the convolution kernels in F16 (F32 beside F32), the rest
// in F32; the bytes are the library's chunk quantizer over the whole tensor
// in one call (the types that need importance weights given the same for
// every column) and the values exactly their dequantization.
void expect_stored_as_the_loader_expects(const std::vector<ftype_case> & cases,
                                         kestu_model_recipe               recipe = wide_recipe(0)) {
    recipe.ftype                                 = 0;
    const std::vector<kestu_writer_tensor> plain = kestu_writer_tensors(recipe);
    for (const ftype_case & c : cases) {
        SCOPED_TRACE("ftype " + std::to_string(c.ftype));
        EXPECT_EQ(kestu_writer_weight_type(c.ftype), c.wtype);
        recipe.ftype                              = c.ftype;
        const std::vector<kestu_writer_tensor> ts = kestu_writer_tensors(recipe);
        ASSERT_EQ(ts.size(), plain.size());
        for (size_t i = 0; i < ts.size(); ++i) {
            const kestu_writer_tensor & t = ts[i];
            SCOPED_TRACE(t.name);
            ASSERT_EQ(t.name, plain[i].name);
            ASSERT_EQ(t.ne, plain[i].ne);
            const bool conv = t.name.find(".conv") != std::string::npos && t.name.find(".weight") != std::string::npos;
            const int32_t want = is_matrix(t.name) ? c.wtype
                                 : conv            ? (c.wtype == TEVO_TYPE_F32 ? TEVO_TYPE_F32 : TEVO_TYPE_F16)
                                                   : TEVO_TYPE_F32;
            ASSERT_EQ(t.type, want);
            const tevo_type type      = tevo_type(t.type);
            const int64_t   n         = int64_t(plain[i].values.size());
            const int64_t   n_per_row = t.ne[0];
            ASSERT_EQ(t.data.size(), tevo_row_size(type, n_per_row) * size_t(n / n_per_row));

            const std::vector<float> importance(tevo_quantize_requires_imatrix(type) ? size_t(n_per_row) : 0, 1.0f);
            std::vector<uint8_t>     whole(t.data.size());
            tevo_quantize_chunk(type, plain[i].values.data(), whole.data(), 0, n / n_per_row, n_per_row,
                                importance.empty() ? nullptr : importance.data());
            ASSERT_EQ(t.data, whole);
            std::vector<float> back((size_t) n);
            if (type == TEVO_TYPE_F32) {
                std::memcpy(back.data(), t.data.data(), t.data.size());
            } else {
                tevo_get_type_traits(type)->to_float(t.data.data(), back.data(), n);
            }
            ASSERT_EQ(t.values, back);
            if (t.type == int32_t(c.wtype) && is_matrix(t.name)) {
                EXPECT_LE(relative_rms(t.values, plain[i].values), c.max_rel_rms);
            }
        }
    }
}

TEST(ModelWriterQuantized, EveryFileTypeStoresEachTensorAsTheLoaderExpects) {
    expect_stored_as_the_loader_expects({
        {0, TEVO_TYPE_F32, 0.0},      {1, TEVO_TYPE_F16, 3e-4},     {2, TEVO_TYPE_Q4_0, 0.10},
        {3, TEVO_TYPE_Q4_1, 0.095},   {7, TEVO_TYPE_Q8_0, 0.007},   {8, TEVO_TYPE_Q5_0, 0.052},
        {9, TEVO_TYPE_Q5_1, 0.047},   {10, TEVO_TYPE_Q2_K, 0.36},   {11, TEVO_TYPE_Q3_K, 0.19},
        {12, TEVO_TYPE_Q4_K, 0.09},   {13, TEVO_TYPE_Q5_K, 0.045},  {14, TEVO_TYPE_Q6_K, 0.022},
        {24, TEVO_TYPE_BF16, 0.0021}, {25, TEVO_TYPE_MXFP4, 0.14},  {27, TEVO_TYPE_Q1_0, 0.72},
        {1002, TEVO_TYPE_Q4_0, 0.10}, {5, TEVO_TYPE_F16, 3e-4},
    });
    // the quantization version is ignored, a value naming no type writes F16
    for (const auto & [ftype, wtype] : {std::pair<int32_t, tevo_type>{2002, TEVO_TYPE_Q4_0}, {1014, TEVO_TYPE_Q6_K},
                                        {-1, TEVO_TYPE_F16}, {4, TEVO_TYPE_F16}, {6, TEVO_TYPE_F16},
                                        {29, TEVO_TYPE_F16}, {1005, TEVO_TYPE_F16}}) {
        EXPECT_EQ(kestu_writer_weight_type(ftype), wtype) << ftype;
    }
}

// The i-quants' lattice searches take about a microsecond a value: a model
// without layers, whose token embedding of 600 rows the writer splits
// between two threads.
TEST(ModelWriterQuantized, EveryIQuantFileTypeStoresEachTensorAsTheLoaderExpects) {
    kestu_model_recipe recipe = wide_recipe(0);
    recipe.n_vocab            = 600;
    recipe.n_audio_layer = recipe.n_text_layer = 0;
    expect_stored_as_the_loader_expects({
        {18, TEVO_TYPE_IQ1_S, 0.56},  {23, TEVO_TYPE_IQ1_M, 0.59},  {15, TEVO_TYPE_IQ2_XXS, 0.40},
        {16, TEVO_TYPE_IQ2_XS, 0.35}, {21, TEVO_TYPE_IQ2_S, 0.31},  {17, TEVO_TYPE_IQ3_XXS, 0.24},
        {20, TEVO_TYPE_IQ3_S, 0.18},  {22, TEVO_TYPE_IQ4_XS, 0.09}, {19, TEVO_TYPE_IQ4_NL, 0.09},
    }, recipe);
}

TEST(ModelWriterQuantized, UnwritableTypesAndValuesThrow) {
    struct bad_case {
        const char * what;
        int32_t      ftype;
        int32_t      width;
        bool         nan_weight;
    };
    const bad_case cases[] = {
        {"rows of 128 are not whole K-quant blocks", 12, 128, false},
        {"nor whole blocks of iq2_xxs, which has importance weights", 15, 128, false},
        {"rows of 48 are not whole blocks of 32", 2, 48, false},
        {"a NaN weight has no Q8_0 block", 7, 64, true},
        {"nor a Q4_K one", 12, 256, true},
        {"nor an iq1_s one", 18, 256, true},
    };
    for (const bad_case & c : cases) {
        SCOPED_TRACE(c.what);
        kestu_model_recipe recipe = wide_recipe(c.ftype);
        recipe.n_audio_state = recipe.n_text_state = c.width;
        if (c.nan_weight) {
            std::vector<float> w(size_t(c.width) * c.width, 0.01f);
            w[7] = NAN;
            recipe.overrides["decoder.blocks.0.attn.key.weight"] = w;
        }
        EXPECT_THROW(kestu_writer_tensors(recipe), std::invalid_argument);
        EXPECT_THROW(kestu_write_model(recipe), std::invalid_argument);
        EXPECT_FALSE(kestu_write_model_file(recipe, testing::TempDir() + "never-written.bin"));
    }
    // F32 and F16 files store what they are given
    kestu_model_recipe recipe = wide_recipe(0);
    recipe.n_audio_state = recipe.n_text_state = 64;
    recipe.overrides["decoder.blocks.0.attn.key.weight"] = std::vector<float>(64 * 64, NAN);
    EXPECT_NO_THROW(kestu_writer_tensors(recipe));
    recipe.ftype = 1;
    EXPECT_NO_THROW(kestu_writer_tensors(recipe));

    for (int32_t type : {0, 1, 2, 8, 10, 14, 16, 17, 18, 19, 20, 21, 22, 23, 29, 30, 34, 41}) {
        EXPECT_TRUE(kestu_writer_type_is_storable(type)) << type;
    }
    for (int32_t type : {-1, 4, 9, 15, 24, 26, 28, 31, 43}) {
        EXPECT_FALSE(kestu_writer_type_is_storable(type)) << type;
    }
}

// What the writer wrote, the reader gives back: header, filters, every
// vocabulary text (empty ones and arbitrary bytes too), and each record with
// its type, extents, bytes and values.
TEST(ModelReader, GivesBackWhatWasWritten) {
    for (int32_t ftype : {0, 1, 8, 1013}) {
        SCOPED_TRACE(ftype);
        kestu_model_recipe recipe = wide_recipe(ftype);
        recipe.n_audio_layer    = 2;
        recipe.n_mels           = 4;
        recipe.filters_n_fft    = 3;
        recipe.filters          = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        recipe.vocab            = {"a", "", std::string("\0\xff", 2), " zero"};
        recipe.overrides["decoder.ln.bias"] = std::vector<float>(256, -0.25f);

        std::vector<kestu_writer_tensor> read;
        const kestu_model_recipe back = kestu_read_model(kestu_write_model(recipe), &read);
        const int32_t hp[][2] = {{back.n_vocab, recipe.n_vocab},           {back.n_audio_ctx, recipe.n_audio_ctx},
                                 {back.n_audio_state, recipe.n_audio_state}, {back.n_audio_head, recipe.n_audio_head},
                                 {back.n_audio_layer, recipe.n_audio_layer}, {back.n_text_ctx, recipe.n_text_ctx},
                                 {back.n_text_state, recipe.n_text_state},   {back.n_text_head, recipe.n_text_head},
                                 {back.n_text_layer, recipe.n_text_layer},   {back.n_mels, recipe.n_mels},
                                 {back.ftype, recipe.ftype}};
        for (const auto & v : hp) {
            EXPECT_EQ(v[0], v[1]);
        }
        EXPECT_EQ(back.filters_n_mel, 4);
        EXPECT_EQ(back.filters_n_fft, 3);
        EXPECT_EQ(back.filters, recipe.filters);
        EXPECT_EQ(back.vocab, recipe.vocab);
        EXPECT_FALSE(back.empty_vocab);

        const std::vector<kestu_writer_tensor> written = kestu_writer_tensors(recipe);
        ASSERT_EQ(read.size(), written.size());
        ASSERT_EQ(back.overrides.size(), written.size());
        for (size_t i = 0; i < read.size(); ++i) {
            SCOPED_TRACE(written[i].name);
            EXPECT_EQ(read[i].name, written[i].name);
            EXPECT_EQ(read[i].type, written[i].type);
            EXPECT_EQ(read[i].ne, written[i].ne);
            EXPECT_EQ(read[i].data, written[i].data);
            EXPECT_EQ(read[i].values, written[i].values);
            EXPECT_EQ(back.overrides.at(written[i].name), written[i].values);
        }
    }

    kestu_model_recipe recipe = wide_recipe(0);
    recipe.empty_vocab      = true;
    const std::vector<uint8_t> bytes = kestu_write_model(recipe);
    const kestu_model_recipe     back  = kestu_read_model(bytes);
    EXPECT_TRUE(back.empty_vocab);
    EXPECT_TRUE(back.vocab.empty());
    // F32 and F16 files written again with their own type are the same bytes
    EXPECT_EQ(kestu_requantize_model(bytes, 0), bytes);
    recipe.ftype = 1;
    const std::vector<uint8_t> f16 = kestu_write_model(recipe);
    EXPECT_EQ(kestu_requantize_model(f16, 1), f16);
}

// Requantizing keeps everything but the file type and the stored weights,
// which equal a model written with that type from the same values.
TEST(ModelReader, RequantizedModelEqualsOneWrittenWithThatType) {
    kestu_model_recipe recipe = wide_recipe(0);
    recipe.vocab            = {"x", "y", "z"};
    const std::vector<uint8_t> f32 = kestu_write_model(recipe);
    for (int32_t ftype : {1, 3, 7, 11, 14, 18}) {
        SCOPED_TRACE(ftype);
        recipe.ftype = ftype;
        EXPECT_EQ(kestu_requantize_model(f32, ftype), kestu_write_model(recipe));
    }
    // from a quantized file: its dequantized values are what is stored again
    recipe.ftype = 12;
    const std::vector<uint8_t> q4k = kestu_write_model(recipe);
    kestu_model_recipe from_q4k = kestu_read_model(q4k);
    from_q4k.ftype            = 7;
    EXPECT_EQ(kestu_requantize_model(q4k, 7), kestu_write_model(from_q4k));
    // so from one of a type that quantizes only with importance weights
    recipe.ftype = 18;
    const std::vector<uint8_t> iq1s = kestu_write_model(recipe);
    kestu_model_recipe from_iq1s = kestu_read_model(iq1s);
    EXPECT_EQ(from_iq1s.ftype, 18);
    from_iq1s.ftype = 7;
    EXPECT_EQ(kestu_requantize_model(iq1s, 7), kestu_write_model(from_iq1s));
    // to a type the width does not fit
    recipe.n_audio_state = recipe.n_text_state = 64;
    recipe.ftype                             = 0;
    EXPECT_THROW(kestu_requantize_model(kestu_write_model(recipe), 12), std::invalid_argument);
}

// The reader takes images from outside: every cut and every corrupt field is
// refused with std::invalid_argument, never read past.
TEST(ModelReader, RefusesCutAndCorruptImages) {
    kestu_model_recipe recipe = wide_recipe(2);
    recipe.n_audio_state = recipe.n_text_state = 32;
    recipe.n_audio_head = recipe.n_text_head = 2;
    recipe.n_mels                          = 2;
    recipe.filters_n_fft                   = 3;
    recipe.vocab                           = {"ab", "c"};
    kestu_writer_layout        l;
    const std::vector<uint8_t> good = kestu_write_model(recipe, &l);
    ASSERT_NO_THROW(kestu_read_model(good));

    // every cut but those at a record boundary (which only drop records)
    std::set<size_t> boundaries = {l.tensors};
    for (const kestu_writer_record_span & r : l.records) {
        boundaries.insert(r.end);
    }
    // every byte of the header, filters and vocabulary, and around each record's header and data
    std::set<size_t> cuts;
    for (size_t n = 0; n < l.tensors; ++n) {
        cuts.insert(n);
    }
    for (const kestu_writer_record_span & r : l.records) {
        for (size_t n = r.begin; n <= r.data_begin + 1; ++n) {
            cuts.insert(n);
        }
        cuts.insert(r.end - 1);
        cuts.insert(r.end);
    }
    for (size_t n : cuts) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
        if (boundaries.count(n)) {
            EXPECT_NO_THROW(kestu_read_model(cut)) << n;
        } else {
            ASSERT_THROW(kestu_read_model(cut), std::invalid_argument) << n;
        }
    }
    // a model whose records stop early cannot be requantized
    const std::vector<uint8_t> no_last(good.begin(), good.begin() + long(l.records.back().begin));
    EXPECT_THROW(kestu_requantize_model(no_last, 7), std::invalid_argument);

    const kestu_writer_record_span & bias = *kestu_writer_find_record(l, "encoder.ln_post.bias");
    const kestu_writer_record_span & qw   = *kestu_writer_find_record(l, "encoder.blocks.0.attn.query.weight");
    const kestu_writer_record_span & last = l.records.back();
    using field = std::pair<size_t, int32_t>;
    struct patch {
        const char *       what;
        std::vector<field> fields;
    };
    const patch patches[] = {
        {"magic", {{0, 0x7465766e}}},
        {"negative filter size", {{l.filters, -1}}},
        {"filter bank larger than the image", {{l.filters + 4, 1 << 30}}},
        {"negative vocabulary count", {{l.vocab, -2}}},
        {"vocabulary count beyond the image", {{l.vocab, 1 << 29}}},
        {"token length beyond the image", {{l.vocab + 4, int32_t(0xfffffff0u)}}},
        {"n_dims 5", {{bias.begin, 5}}},
        {"n_dims -1", {{bias.begin, -1}}},
        {"negative name length", {{bias.begin + 4, -3}}},
        {"name longer than the image", {{bias.begin + 4, 1 << 30}}},
        {"type 43", {{bias.begin + 8, 43}}},
        {"retired type 4", {{bias.begin + 8, 4}}},
        {"an i-quant type", {{bias.begin + 8, 16}}},
        {"q8_1, which has no dequantizer", {{bias.begin + 8, 9}}},
        {"an integer type", {{bias.begin + 8, 26}}},
        {"rows of 32 as q4_K", {{qw.begin + 8, 12}}},
        {"negative extent", {{bias.begin + 12, -32}}},
        {"extents beyond the image", {{qw.begin + 12, 1 << 30}}},
        // four extents: the last three are read from the name's bytes
        {"extents whose product overflows", {{bias.begin, 4}, {bias.begin + 12, int32_t(0x7fffffff)}}},
        {"data longer than the image", {{last.begin + 12, 64}}},
    };
    for (const patch & p : patches) {
        SCOPED_TRACE(p.what);
        std::vector<uint8_t> bad = good;
        for (const field & f : p.fields) {
            kestu_writer_put_i32(bad, f.first, f.second);
        }
        EXPECT_THROW(kestu_read_model(bad), std::invalid_argument);
    }
    std::vector<uint8_t> twice = good;
    twice.insert(twice.end(), good.begin() + long(bias.begin), good.begin() + long(bias.end));
    EXPECT_THROW(kestu_read_model(twice), std::invalid_argument);
    EXPECT_THROW(kestu_read_model_file(testing::TempDir() + "no-such-model.bin"), std::invalid_argument);
}

#ifdef KESTU_MODELS_DIR
// The shipped F32 model written again as F16 is the shipped F16 model.
TEST(ModelReader, ShippedF32ModelRequantizedToF16IsTheShippedF16Model) {
    const std::string dir = KESTU_MODELS_DIR;
    std::ifstream     f32_file(dir + "/digits-tiny-f32.bin", std::ios::binary);
    std::ifstream     f16_file(dir + "/digits-tiny-f16.bin", std::ios::binary);
    const std::vector<uint8_t> f32((std::istreambuf_iterator<char>(f32_file)), std::istreambuf_iterator<char>());
    const std::vector<uint8_t> f16((std::istreambuf_iterator<char>(f16_file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(f32.empty());
    const kestu_model_recipe recipe = kestu_read_model_file(dir + "/digits-tiny-f32.bin");
    EXPECT_EQ(recipe.n_audio_state, 128);
    EXPECT_EQ(recipe.n_text_layer, 2);
    EXPECT_EQ(recipe.vocab.size(), 50256u);
    EXPECT_EQ(recipe.overrides.size(), 11u + 15u * 2 + 24u * 2);
    EXPECT_TRUE(kestu_requantize_model(f32, 1) == f16);
}
#endif

} // namespace
