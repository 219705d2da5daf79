// Speech segments from window probabilities: a table of probability
// sequences and settings with the segments (in centiseconds) they must give,
// the longest-length limit, segments from audio through a loaded model (ends
// stop at the audio's end), and the segment getters.

#include "vad/kestu-vad-impl.h"
#include "vad-writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

struct run {
    float value;
    int   windows;
};

struct segments_deleter {
    void operator()(kestu_vad_segments * s) const { kestu_vad_free_segments(s); }
};
using segments_ptr = std::unique_ptr<kestu_vad_segments, segments_deleter>;

std::vector<std::pair<int64_t, int64_t>> times_of(const kestu_vad_segments * s) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const kestu_vad_segment & seg : s->data) {
        out.emplace_back(seg.t0, seg.t1);
    }
    return out;
}

class VadSegments : public ::testing::Test {
protected:
    std::vector<std::string> lines;

    void SetUp() override {
        kestu_log_set([](enum tevo_log_level, const char * text, void * ud) {
            static_cast<std::vector<std::string> *>(ud)->push_back(text);
        }, &lines);
    }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }

    bool logged(const std::string & part) const {
        for (const std::string & l : lines) {
            if (l.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(VadSegments, ProbabilitySequencesGiveTheirSegments) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    using edit      = std::function<void(kestu_vad_params &)>;
    auto defaults   = [](kestu_vad_params &) {};

    struct seg_case {
        const char *                             name;
        std::vector<run>                         runs;
        int                                      n_window;
        int64_t                                  n_samples; // -1: every window whole
        edit                                     settings;
        std::vector<std::pair<int64_t, int64_t>> expected;
    };
    const std::vector<seg_case> cases = {
        {"no probabilities", {}, 512, -1, defaults, {}},
        {"no window reaches the threshold", {{0.49f, 20}}, 512, -1, defaults, {}},
        {"all speech: the padding stops at both ends", {{0.9f, 16}}, 512, -1, defaults, {{0, 51}}},
        {"a probability equal to the threshold is speech", {{0.5f, 16}}, 512, -1, defaults, {{0, 51}}},
        {"the last window past the audio's end does not count", {{0.9f, 16}}, 512, 8000, defaults, {{0, 50}}},
        {"speech closed by silence, padded", {{0.0f, 4}, {0.9f, 10}, {0.0f, 10}}, 512, -1, defaults, {{10, 48}}},
        {"a run of 3584 samples is too short", {{0.9f, 7}, {0.0f, 10}}, 512, -1, defaults, {}},
        {"a run of 4096 samples is long enough", {{0.9f, 8}, {0.0f, 10}}, 512, -1, defaults, {{0, 29}}},
        {"the hysteresis wants more than the shortest", {{0.9f, 8}, {0.0f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.shortest_speech_ms = 256; }, {}},
        {"the hysteresis takes one sample more than the shortest", {{0.9f, 8}, {0.0f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.shortest_speech_ms = 255; }, {{0, 29}}},
        {"a NaN window is neither speech nor silence", {{0.9f, 10}, {nan, 10}, {0.0f, 10}}, 512, -1, defaults,
         {{0, 67}}},
        {"threshold 0.1 leaves speech below 0.01", {{0.9f, 10}, {0.005f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.speech_threshold = 0.1f; }, {{0, 35}}},
        {"threshold 0.1: 0.02 is neither", {{0.9f, 10}, {0.02f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.speech_threshold = 0.1f; }, {{0, 64}}},
        {"a gap of 3199 samples is merged", {{0.9f, 1}, {0.0f, 1}, {0.9f, 1}}, 3199, -1,
         [](kestu_vad_params & p) {
             p.closing_silence_ms = 0;
             p.shortest_speech_ms = 0;
             p.segment_pad_ms     = 0;
         },
         {{0, 60}}},
        {"a gap of 3200 samples is kept", {{0.9f, 1}, {0.0f, 1}, {0.9f, 1}}, 3200, -1,
         [](kestu_vad_params & p) {
             p.closing_silence_ms = 0;
             p.shortest_speech_ms = 0;
             p.segment_pad_ms     = 0;
         },
         {{0, 20}, {40, 60}}},
        {"padding wider than half the gap splits it", {{0.9f, 10}, {0.0f, 8}, {0.9f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.segment_pad_ms = 150; }, {{0, 45}, {45, 90}}},
        {"padding narrower than half the gap", {{0.9f, 10}, {0.0f, 8}, {0.9f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.segment_pad_ms = 100; }, {{0, 42}, {48, 90}}},
        {"negative padding counts as none", {{0.0f, 4}, {0.9f, 10}, {0.0f, 10}}, 512, -1,
         [](kestu_vad_params & p) { p.segment_pad_ms = -30; }, {{13, 45}}},
        {"a long segment splits at an earlier silence", {{0.9f, 20}, {0.0f, 7}, {0.9f, 60}}, 512, -1,
         [](kestu_vad_params & p) {
             p.closing_silence_ms = 300;
             p.longest_speech_s   = 2.0f;
         },
         {{0, 67}, {83, 278}}},
        {"the same without a longest length", {{0.9f, 20}, {0.0f, 7}, {0.9f, 60}}, 512, -1,
         [](kestu_vad_params & p) { p.closing_silence_ms = 300; }, {{0, 278}}},
        {"a split piece shorter than the shortest is removed", {{0.9f, 40}}, 512, -1,
         [](kestu_vad_params & p) {
             p.longest_speech_s   = 1.0f;
             p.shortest_speech_ms = 2000;
         },
         {}},
        {"a split piece exactly the shortest is kept", {{0.9f, 30}}, 512, -1,
         [](kestu_vad_params & p) {
             p.longest_speech_s   = 1.0f;
             p.shortest_speech_ms = 928;
         },
         {{0, 96}}},
        {"a split piece one sample under the shortest is removed", {{0.9f, 30}}, 512, -1,
         [](kestu_vad_params & p) {
             p.longest_speech_s   = 1.0f;
             p.shortest_speech_ms = 929;
         },
         {}},
    };

    for (const seg_case & c : cases) {
        SCOPED_TRACE(c.name);
        kestu_vad_context ctx;
        ctx.n_window = c.n_window;
        for (const run & r : c.runs) {
            ctx.probs.insert(ctx.probs.end(), r.windows, r.value);
        }
        ctx.probs_n_samples = c.n_samples < 0 ? int64_t(c.n_window) * int64_t(ctx.probs.size()) : c.n_samples;
        kestu_vad_params params = kestu_vad_default_params();
        c.settings(params);

        segments_ptr segments(kestu_vad_segments_from_probs(&ctx, params));
        ASSERT_NE(segments, nullptr);
        EXPECT_EQ(times_of(segments.get()), c.expected);
    }
}

TEST_F(VadSegments, LongestLengthLimit) {
    const int64_t unlimited = 0x3fffffff;
    struct limit_case {
        float   seconds;
        int64_t expected;
    };
    const limit_case cases[] = {
        {100000.0f, 1599998528},
        {100000.01f, unlimited},
        {FLT_MAX, unlimited},
        {1.0f, 14528},
        {1.9f, 14528}, // whole seconds only
        {0.5f, unlimited},
        {0.0f, unlimited},
        {-1.0f, unlimited},
        {-INFINITY, unlimited},
        {std::numeric_limits<float>::quiet_NaN(), unlimited},
    };
    for (const limit_case & c : cases) {
        EXPECT_EQ(kestu_vad_longest_limit(c.seconds, 512, 480), c.expected) << c.seconds;
    }
}

struct vad_deleter {
    void operator()(kestu_vad_context * ctx) const { kestu_vad_free(ctx); }
};

struct mem_source {
    const std::vector<uint8_t> * bytes;
    size_t                       offset = 0;
};

kestu_vad_context * load_bytes(const std::vector<uint8_t> & bytes) {
    mem_source         src{&bytes};
    kestu_model_loader loader = {
        &src,
        [](void * ctx, void * out, size_t n) {
            auto * m     = static_cast<mem_source *>(ctx);
            size_t count = std::min(n, m->bytes->size() - m->offset);
            std::memcpy(out, m->bytes->data() + m->offset, count);
            m->offset += count;
            return count;
        },
        [](void * ctx) {
            auto * m = static_cast<mem_source *>(ctx);
            return m->offset >= m->bytes->size();
        },
        nullptr,
    };
    return kestu_vad_init_with_params(&loader, kestu_vad_default_context_params());
}

TEST_F(VadSegments, FromSamplesEndsAtTheAudiosEnd) {
    std::unique_ptr<kestu_vad_context, vad_deleter> vctx(load_bytes(kestu_write_vad_model(kestu_vad_constant_recipe(true))));
    ASSERT_NE(vctx, nullptr);

    // 10.284 s: 322 windows reach 10.304 s, the segment stops at 10.28
    const std::vector<float> audio(164544, 0.01f);
    segments_ptr segments(
        kestu_vad_segments_from_samples(vctx.get(), audio.data(), int(audio.size()), kestu_vad_default_params()));
    ASSERT_NE(segments, nullptr);
    EXPECT_EQ(kestu_vad_n_probs(vctx.get()), 322);
    EXPECT_EQ(times_of(segments.get()), (std::vector<std::pair<int64_t, int64_t>>{{0, 1028}}));

    EXPECT_EQ(kestu_vad_segments_n_segments(segments.get()), 1);
    EXPECT_EQ(kestu_vad_segments_get_segment_t0(segments.get(), 0), 0.0f);
    EXPECT_EQ(kestu_vad_segments_get_segment_t1(segments.get(), 0), 1028.0f);

    // the silent model finds nothing: an empty list, not NULL
    std::unique_ptr<kestu_vad_context, vad_deleter> silent(
        load_bytes(kestu_write_vad_model(kestu_vad_constant_recipe(false))));
    ASSERT_NE(silent, nullptr);
    segments_ptr none(
        kestu_vad_segments_from_samples(silent.get(), audio.data(), int(audio.size()), kestu_vad_default_params()));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(kestu_vad_segments_n_segments(none.get()), 0);
}

TEST_F(VadSegments, BadArgumentsAreRefused) {
    const std::vector<float> audio(1024, 0.0f);
    EXPECT_EQ(kestu_vad_segments_from_samples(nullptr, audio.data(), 1024, kestu_vad_default_params()), nullptr);
    EXPECT_TRUE(logged("kestu_vad_segments_from_samples: failed to detect speech"));
    EXPECT_EQ(kestu_vad_segments_from_probs(nullptr, kestu_vad_default_params()), nullptr);

    // a threshold that is no probability would find no speech, or all of it
    kestu_vad_context ctx;
    ctx.n_window = 512;
    ctx.probs.assign(40, 0.9f);
    for (const float threshold : {NAN, 1.5f, -0.5f, INFINITY}) {
        kestu_vad_params params = kestu_vad_default_params();
        params.speech_threshold = threshold;
        EXPECT_EQ(kestu_vad_segments_from_probs(&ctx, params), nullptr) << threshold;
        EXPECT_TRUE(logged("kestu_vad_segments_from_probs: speech_threshold must be a number from 0 to 1")) << threshold;
    }
    // the ends of the range are probabilities
    for (const float threshold : {0.0f, 1.0f}) {
        kestu_vad_params params = kestu_vad_default_params();
        params.speech_threshold = threshold;
        segments_ptr segments(kestu_vad_segments_from_probs(&ctx, params));
        EXPECT_NE(segments, nullptr) << threshold;
    }

    kestu_vad_segments segments;
    segments.data = {{10, 20}};
    EXPECT_EQ(kestu_vad_segments_get_segment_t0(&segments, 1), 0.0f);
    EXPECT_EQ(kestu_vad_segments_get_segment_t1(&segments, -1), 0.0f);
    EXPECT_TRUE(logged("segment index -1 out of range (1 segments)"));
    EXPECT_EQ(kestu_vad_segments_n_segments(nullptr), 0);
    EXPECT_EQ(kestu_vad_segments_get_segment_t0(nullptr, 0), 0.0f);
    kestu_vad_free_segments(nullptr);
}

} // namespace
