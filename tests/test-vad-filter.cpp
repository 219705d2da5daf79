// The transcription driver's voice-activity pre-filter: with a hand-set model
// whose output follows the window's energy, noise bursts in silence become
// the filtered audio (segments with their overlap, silence between them) and
// the time map back to the input; runs without speech leave nothing behind;
// a missing model file is refused, also after a state made its model from
// another file, and a new file replaces the state's model; audio whose
// spectrogram overflows is refused before the pre-filter; and a shared
// sample clip embedded in long silence is transcribed with its text and with
// times inside the speech, its unset token times left unset.

#include "full-test-helpers.h"
#include "vad/kestu-vad-impl.h"
#include "vad-writer.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace full_test;

namespace {

kestu_context * digits() {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    EXPECT_NE(ctx, nullptr);
    return ctx;
}

// an energy-following model on disk, written once and removed at exit
struct model_file {
    std::string path = testing::TempDir() + "vad-energy-" + std::to_string(getpid()) + ".bin";
    bool        written = kestu_write_vad_model_file(kestu_vad_energy_recipe(0.002f), path);
    ~model_file() { unlink(path.c_str()); }
};

const std::string & energy_model_path() {
    static const model_file file;
    EXPECT_TRUE(file.written);
    return file.path;
}

// silence with noise bursts of RMS 0.1 over [begin, end) sample ranges
std::vector<float> bursts(size_t n, const std::vector<std::pair<size_t, size_t>> & ranges, uint32_t seed) {
    std::mt19937                    rng(seed);
    std::normal_distribution<float> dist(0.0f, 0.1f);
    std::vector<float>              x(n, 0.0f);
    for (const auto & [b, e] : ranges) {
        for (size_t i = b; i < e; i++) {
            x[i] = dist(rng);
        }
    }
    return x;
}

kestu_full_params vad_params() {
    kestu_full_params p = worker_params();
    p.use_vad           = true;
    p.vad_model_file    = energy_model_path().c_str();
    return p;
}

struct map_point {
    int64_t processed, original;
    bool operator==(const map_point & o) const { return processed == o.processed && original == o.original; }
};

std::vector<map_point> table_of(const kestu_state & st) {
    std::vector<map_point> v;
    for (const vad_time_mapping_point & p : st.vad_mapping_table) {
        v.push_back({p.processed_time, p.original_time});
    }
    return v;
}

std::vector<std::vector<int64_t>> segments_of(const kestu_state & st) {
    std::vector<std::vector<int64_t>> v;
    for (const vad_segment_info & s : st.vad_segments) {
        v.push_back({s.orig_start, s.orig_end, s.vad_start, s.vad_end});
    }
    return v;
}

::std::ostream & operator<<(::std::ostream & os, const map_point & p) {
    return os << "(" << p.processed << ", " << p.original << ")";
}

// Bursts of RMS 0.1 aligned to the 512-sample windows, so the model's decisions are
// exact: a burst over [16384, 32768) is one segment from 15904 to 33248
// samples with the 480-sample padding, 99 to 208 centiseconds.
TEST(VadFilter, BurstsBecomeTheFilteredAudioAndTheTimeMap) {
    kestu_context *      ctx = digits();
    ASSERT_NE(ctx, nullptr);
    state_ptr st(kestu_init_state(ctx));
    ASSERT_NE(st, nullptr);

    struct filter_case {
        const char *                              name;
        size_t                                    n_samples;
        std::vector<std::pair<size_t, size_t>>    ranges;
        std::vector<std::vector<int64_t>>         segments; // orig_start, orig_end, vad_start, vad_end
        std::vector<map_point>                    table;
        // (first input sample, count) copied in order; between them 1600 zeros
        std::vector<std::pair<size_t, size_t>>    copied;
    };
    const std::vector<filter_case> cases = {
        {"silence", 64000, {}, {}, {}, {}},
        // one segment: no overlap, no silence, two points
        {"one burst", 64000, {{16384, 32768}}, {{99, 208, 0, 109}}, {{0, 99}, {109, 208}}, {{15840, 33280 - 15840}}},
        // the first segment gets 1600 samples of overlap, then 1600 of silence;
        // the point at the second segment's start appears twice and is kept once
        {"two bursts", 96000, {{16384, 32768}, {65536, 81920}},
         {{99, 208, 0, 109}, {407, 515, 129, 237}},
         {{0, 99}, {109, 208}, {119, 208}, {129, 407}, {237, 515}},
         {{15840, 33280 + 1600 - 15840}, {65120, 82400 - 65120}}},
        // speech to the end: the segment ends at the audio's end, and the very
        // last input sample stays out
        {"burst to the end", 48000, {{16384, 48000}}, {{99, 300, 0, 201}}, {{0, 99}, {201, 300}},
         {{15840, 47999 - 15840}}},
    };

    for (const filter_case & c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> audio = bursts(c.n_samples, c.ranges, 3);
        std::vector<float>       filtered;
        ASSERT_TRUE(kestu_vad(ctx, st.get(), audio.data(), int(audio.size()), filtered, vad_params()));

        EXPECT_EQ(segments_of(*st), c.segments);
        EXPECT_EQ(table_of(*st), c.table);
        EXPECT_EQ(st->has_vad_segments, !c.segments.empty());
        EXPECT_EQ(kestu_full_n_vad_segments_from_state(st.get()), (int) c.segments.size());

        size_t expected_size = 0;
        for (const auto & [first, count] : c.copied) {
            expected_size += count;
        }
        expected_size += c.copied.empty() ? 0 : 1600 * (c.copied.size() - 1);
        ASSERT_EQ(filtered.size(), expected_size);
        size_t offset = 0;
        for (size_t i = 0; i < c.copied.size(); i++) {
            const auto [first, count] = c.copied[i];
            EXPECT_TRUE(std::equal(filtered.begin() + offset, filtered.begin() + offset + count, audio.begin() + first))
                << "segment " << i;
            offset += count;
            if (i + 1 < c.copied.size()) {
                EXPECT_TRUE(std::all_of(filtered.begin() + offset, filtered.begin() + offset + 1600,
                                        [](float v) { return v == 0.0f; }));
                offset += 1600;
            }
        }
    }

    // a run without speech after one with speech leaves no segment behind
    const std::vector<float> two = bursts(96000, {{16384, 32768}, {65536, 81920}}, 3);
    std::vector<float>       filtered;
    ASSERT_TRUE(kestu_vad(ctx, st.get(), two.data(), int(two.size()), filtered, vad_params()));
    ASSERT_EQ(kestu_full_n_vad_segments_from_state(st.get()), 2);
    const std::vector<float> quiet(48000, 0.0f);
    filtered.clear();
    ASSERT_TRUE(kestu_vad(ctx, st.get(), quiet.data(), int(quiet.size()), filtered, vad_params()));
    EXPECT_TRUE(filtered.empty());
    EXPECT_FALSE(st->has_vad_segments);
    EXPECT_TRUE(st->vad_segments.empty());
    EXPECT_TRUE(st->vad_mapping_table.empty());
    EXPECT_EQ(kestu_full_n_vad_segments_from_state(st.get()), 0);
}

TEST(VadFilter, MissingOrBrokenModelFilesAreRefused) {
    kestu_context *      ctx = digits();
    ASSERT_NE(ctx, nullptr);
    log_capture              logs;
    const std::vector<float> audio = bursts(32000, {{8192, 24576}}, 5);

    // kestu_full refuses the request; the pre-filter alone fails
    kestu_full_params p = vad_params();
    p.vad_model_file    = nullptr;
    EXPECT_EQ(kestu_full(ctx, p, audio.data(), int(audio.size())), KESTU_FULL_ERR_NO_VAD_MODEL);
    EXPECT_EQ(logs.count("use_vad is set but no vad_model_file is given"), 1);
    state_ptr          st(kestu_init_state(ctx));
    std::vector<float> filtered;
    EXPECT_FALSE(kestu_vad(ctx, st.get(), audio.data(), int(audio.size()), filtered, p));
    EXPECT_EQ(logs.count("kestu_vad: no VAD model file given"), 1);

    // a file that cannot be read fails the run
    p.vad_model_file = "/nonexistent/vad-model.bin";
    EXPECT_FALSE(kestu_vad(ctx, st.get(), audio.data(), int(audio.size()), filtered, p));
    EXPECT_EQ(logs.count("failed to initialize VAD context"), 1);
    EXPECT_EQ(st->vad_context, nullptr);
    EXPECT_FALSE(st->has_vad_segments);

    // a broken file: the loader's line, then the driver's
    const std::string broken = testing::TempDir() + "vad-broken-" + std::to_string(getpid()) + ".bin";
    kestu_vad_model_recipe recipe = kestu_vad_energy_recipe(0.005f);
    recipe.n_window             = 0;
    ASSERT_TRUE(kestu_write_vad_model_file(recipe, broken));
    p.vad_model_file = broken.c_str();
    kestu_vad_free(ctx->state->vad_context);
    ctx->state->vad_context = nullptr;
    EXPECT_EQ(kestu_full(ctx, p, audio.data(), int(audio.size())), KESTU_FULL_ERR_VAD);
    EXPECT_EQ(logs.count("invalid n_window 0"), 1);
    EXPECT_EQ(logs.count("kestu_full: failed to compute VAD"), 1);
    unlink(broken.c_str());
}

// A state keeps its voice-activity model only while runs name the same file:
// a missing file fails as on a first run, and another model is used.
TEST(VadFilter, ANewModelFileReplacesTheStatesModel) {
    kestu_context * ctx = digits();
    ASSERT_NE(ctx, nullptr);
    // hears nothing: the bursts are far below its threshold
    const std::string deaf = testing::TempDir() + "vad-deaf-" + std::to_string(getpid()) + ".bin";
    ASSERT_TRUE(kestu_write_vad_model_file(kestu_vad_energy_recipe(10.0f), deaf));
    const std::vector<float> audio = bursts(48000, {{16384, 32768}}, 7);

    struct model_case {
        const char * path;
        int          status;
        int          n_vad; // speech segments found
    };
    const std::vector<model_case> cases = {
        {energy_model_path().c_str(), KESTU_FULL_OK, 1},
        {"/nonexistent/vad-model.bin", KESTU_FULL_ERR_VAD, 0},
        {energy_model_path().c_str(), KESTU_FULL_OK, 1},
        {deaf.c_str(), KESTU_FULL_OK, 0},
        {energy_model_path().c_str(), KESTU_FULL_OK, 1},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const model_case & c = cases[i];
        SCOPED_TRACE(testing::Message() << "run " << i << ": " << c.path);
        kestu_full_params p = vad_params();
        p.vad_model_file    = c.path;
        log_capture logs;
        EXPECT_EQ(kestu_full(ctx, p, audio.data(), int(audio.size())), c.status);
        EXPECT_EQ(kestu_full_n_vad_segments(ctx), c.n_vad);
        EXPECT_EQ(logs.count("kestu_vad: failed to initialize VAD context"), c.status == KESTU_FULL_OK ? 0 : 1);
        EXPECT_EQ(logs.count("kestu_full: failed to compute VAD"), c.status == KESTU_FULL_OK ? 0 : 1);
        if (c.n_vad == 0) {
            EXPECT_EQ(kestu_full_n_segments(ctx), 0);
        }
    }
    unlink(deaf.c_str());
}

struct refused_audio_case {
    const char *       name;
    std::vector<float> samples;
    bool               use_vad;
};

// Audio the run refuses is refused before the pre-filter too: samples so
// large that the spectrogram overflows, though finite, give -10 either way,
// and no segment of the pre-filter is reported.
TEST(VadFilter, AudioTheRunRefusesIsRefusedBeforeThePreFilter) {
    kestu_context * ctx = digits();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> speech = bursts(48000, {{16384, 32768}}, 7);
    std::vector<float>       spike  = speech;
    spike[20000]                    = 3e19f;
    const std::vector<float> huge(48000, 1e18f);

    const std::vector<refused_audio_case> cases = {
        {"all samples 1e18", huge, false},
        {"all samples 1e18, pre-filtered", huge, true},
        {"a spike of 3e19 in speech", spike, false},
        {"a spike of 3e19 in speech, pre-filtered", spike, true},
    };
    for (const refused_audio_case & c : cases) {
        SCOPED_TRACE(c.name);
        // the run before found speech
        ASSERT_EQ(kestu_full(ctx, vad_params(), speech.data(), int(speech.size())), KESTU_FULL_OK);
        ASSERT_EQ(kestu_full_n_vad_segments(ctx), 1);
        const int64_t t_vad_us = ctx->state->vad_context->t_vad_us;

        kestu_full_params p = vad_params();
        p.use_vad           = c.use_vad;
        log_capture logs;
        EXPECT_EQ(kestu_full(ctx, p, c.samples.data(), int(c.samples.size())), KESTU_FULL_ERR_NON_FINITE);
        EXPECT_EQ(logs.count("the spectrogram is not finite"), 1);
        EXPECT_EQ(kestu_full_n_segments(ctx), 0);
        EXPECT_EQ(kestu_full_n_vad_segments(ctx), 0);
        EXPECT_EQ(ctx->state->vad_context->t_vad_us, t_vad_us); // the pre-filter never ran
    }
}

TEST(VadFilter, FullRunWithoutSpeechGivesNoSegments) {
    kestu_context *      ctx = digits();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> quiet(3 * 16000, 0.0f);
    ASSERT_EQ(kestu_full(ctx, vad_params(), quiet.data(), int(quiet.size())), KESTU_FULL_OK);
    EXPECT_EQ(kestu_full_n_segments(ctx), 0);
    EXPECT_EQ(kestu_full_n_vad_segments(ctx), 0);
}

// Clips sit in faint noise (below the clips' own noise floor): 5 s before the
// first, 3 s between two, 4 s after the last. Each speech segment must lie
// inside one clip in the input's timeline, and the transcribed segments
// inside the speech, give or take the 30 ms padding and one 32 ms window.
TEST(VadFilter, ClipsInLongSilenceAreTranscribedWithTimesInsideTheSpeech) {
    kestu_context * ctx = digits();
    ASSERT_NE(ctx, nullptr);

    const int64_t                    slack = 7; // centiseconds
    const std::vector<std::vector<size_t>> cases = {{1}, {5}, {1, 6}};
    for (const std::vector<size_t> & indices : cases) {
        std::vector<float>                       audio = noise(5 * 16000, 17, 0.0003f);
        std::vector<std::pair<int64_t, int64_t>> spans; // each clip, centiseconds
        std::string                              text;
        for (size_t index : indices) {
            const clip & c = sample_clips().at(index);
            spans.emplace_back(audio.size() / 160, (audio.size() + c.samples.size()) / 160);
            audio.insert(audio.end(), c.samples.begin(), c.samples.end());
            const std::vector<float> gap = noise((index == indices.back() ? 4 : 3) * 16000, 18, 0.0003f);
            audio.insert(audio.end(), gap.begin(), gap.end());
            text += (text.empty() ? "" : " ") + c.text;
        }
        SCOPED_TRACE(text);

        ASSERT_EQ(kestu_full(ctx, vad_params(), audio.data(), int(audio.size())), KESTU_FULL_OK);
        EXPECT_EQ(text_of(*ctx->state), text);

        const int n_vad = kestu_full_n_vad_segments(ctx);
        ASSERT_GE(n_vad, (int) indices.size());
        std::vector<int> per_clip(spans.size(), 0);
        for (int i = 0; i < n_vad; i++) {
            const int64_t t0 = kestu_full_get_vad_segment_t0(ctx, i);
            const int64_t t1 = kestu_full_get_vad_segment_t1(ctx, i);
            EXPECT_LT(t0, t1);
            bool inside = false;
            for (size_t k = 0; k < spans.size(); k++) {
                if (t0 >= spans[k].first - slack && t1 <= spans[k].second + slack) {
                    inside = true;
                    per_clip[k]++;
                }
            }
            EXPECT_TRUE(inside) << "speech segment " << i << ": " << t0 << " - " << t1;
        }
        for (size_t k = 0; k < spans.size(); k++) {
            EXPECT_GE(per_clip[k], 1) << "clip " << k;
        }

        ASSERT_GE(kestu_full_n_segments(ctx), 1);
        for (int i = 0; i < kestu_full_n_segments(ctx); i++) {
            const int64_t t0 = kestu_full_get_segment_t0(ctx, i);
            const int64_t t1 = kestu_full_get_segment_t1(ctx, i);
            EXPECT_LE(t0, t1);
            EXPECT_GE(t0, spans.front().first - slack) << "segment " << i;
            EXPECT_LE(t1, spans.back().second + slack) << "segment " << i;
            // token times are off: their unset times are not mapped
            for (int j = 0; j < kestu_full_n_tokens(ctx, i); j++) {
                const kestu_token_data d = kestu_full_get_token_data(ctx, i, j);
                EXPECT_EQ(d.t0, -1);
                EXPECT_EQ(d.t1, -1);
                EXPECT_EQ(kestu_full_get_token_t0(ctx, i, j), -1) << i << "/" << j;
                EXPECT_EQ(kestu_full_get_token_t1(ctx, i, j), -1) << i << "/" << j;
            }
        }
        // far less audio than the input was transcribed
        EXPECT_LT(ctx->state->mel.n_len_org, (int) (audio.size() / 160 / 2));
    }
}

} // namespace
