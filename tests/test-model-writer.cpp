// The model-file writer that the speech tests make their models with: half
// rounding identical to the tensor library's, a proper mel filter bank, the
// default vocabulary, the tensor list of the hyper-parameters, weights that
// depend only on the seed and the tensor's name, and the layout it reports.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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
        kestu_model_spec spec;
        spec.ftype         = ftype;
        spec.n_audio_layer = 3;
        spec.n_text_layer  = 2;
        spec.n_vocab       = 51865;
        const std::vector<kestu_writer_tensor> ts = kestu_writer_tensors(spec);
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
    kestu_model_spec spec;
    spec.ftype = 0;
    const std::vector<kestu_writer_tensor> a = kestu_writer_tensors(spec);
    const std::vector<kestu_writer_tensor> b = kestu_writer_tensors(spec);
    spec.seed = 2;
    const std::vector<kestu_writer_tensor> c = kestu_writer_tensors(spec);
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
    spec.seed = 1;
    spec.overrides["decoder.ln.bias"] = std::vector<float>(64, 0.5f);
    const std::vector<kestu_writer_tensor> d = kestu_writer_tensors(spec);
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].name == "decoder.ln.bias") {
            EXPECT_EQ(d[i].values, std::vector<float>(64, 0.5f));
        } else {
            EXPECT_EQ(a[i].values, d[i].values) << a[i].name;
        }
    }
}

TEST(ModelWriter, BadOverridesThrow) {
    kestu_model_spec spec;
    spec.overrides["decoder.ln.bias"] = std::vector<float>(63, 0.0f);
    EXPECT_THROW(kestu_writer_tensors(spec), std::invalid_argument);
    spec.overrides.clear();
    spec.overrides["decoder.nothing"] = std::vector<float>(1, 0.0f);
    EXPECT_THROW(kestu_writer_tensors(spec), std::invalid_argument);
    EXPECT_FALSE(kestu_write_model_file(spec, testing::TempDir() + "never-written.bin"));
}

TEST(ModelWriter, LayoutPointsAtTheFields) {
    kestu_model_spec    spec;
    kestu_writer_layout l;
    const std::vector<uint8_t> bytes = kestu_write_model(spec, &l);
    EXPECT_EQ(l.size, bytes.size());
    EXPECT_EQ(uint32_t(kestu_writer_get_i32(bytes, 0)), KESTU_WRITER_MAGIC);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.hparams), spec.n_vocab);
    EXPECT_EQ(kestu_writer_get_i32(bytes, l.hparams + 40), spec.ftype);
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
