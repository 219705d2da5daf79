#include "kestu-vad-impl.h"

// The voice-activity pre-filter of the transcription driver: only the speech
// of the input is kept, with short silences between segments, and the state
// records how times of the filtered audio map back to the input.
//
// Each segment but the last is copied with a short overlap after it, then
// 0.1 s of silence follows. The map is linear inside a segment's own samples,
// holds the segment's end across the overlap and runs linearly across the
// silence to the next segment's start.

#include <algorithm>
#include <memory>

namespace {

const char * const FILTER = "kestu_vad";

// samples between two segments in the filtered audio
constexpr int64_t GAP_SAMPLES = 1600;

int64_t samples_of(int64_t t) {
    return (int64_t) ((double) t / 100.0 * 16000.0 + 0.5);
}

int64_t centis_of(int64_t n) {
    return (int64_t) ((double) n / 16000.0 * 100.0 + 0.5);
}

struct segments_deleter {
    void operator()(kestu_vad_segments * s) const { kestu_vad_free_segments(s); }
};

} // namespace

bool kestu_vad(kestu_context * ctx, kestu_state * state, const float * samples, int n_samples,
               std::vector<float> & filtered, kestu_full_params params) {
    KESTU_LOG_INFO("%s: VAD is enabled, processing speech segments only\n", FILTER);

    // nothing of an earlier run may describe this one
    state->vad_mapping_table.clear();
    state->vad_segments.clear();
    state->has_vad_segments = false;

    if (n_samples < 0 || (n_samples > 0 && samples == nullptr)) {
        KESTU_LOG_ERROR("%s: invalid samples (n_samples = %d)\n", FILTER, n_samples);
        return false;
    }

    // a context of another file would detect with the wrong model
    if (state->vad_context != nullptr && params.vad_model_file != nullptr &&
        state->vad_model_file != params.vad_model_file) {
        kestu_vad_free(state->vad_context);
        state->vad_context = nullptr;
    }
    if (state->vad_context == nullptr) {
        if (params.vad_model_file == nullptr) {
            KESTU_LOG_ERROR("%s: no VAD model file given\n", FILTER);
            return false;
        }
        kestu_vad_context_params cparams = kestu_vad_default_context_params();
        cparams.n_threads                = 4;
        cparams.use_gpu                  = false;
        cparams.gpu_device               = 0;
        state->vad_context               = kestu_vad_init_from_file_with_params(params.vad_model_file, cparams);
        if (state->vad_context == nullptr) {
            KESTU_LOG_ERROR("%s: failed to initialize VAD context\n", FILTER);
            return false;
        }
        state->vad_model_file = params.vad_model_file;
    }

    std::unique_ptr<kestu_vad_segments, segments_deleter> segments(
        kestu_vad_segments_from_samples(state->vad_context, samples, n_samples, params.vad_settings));
    if (!segments) {
        return false;
    }

    const std::vector<kestu_vad_segment> & segs = segments->data;
    const int                              n    = (int) segs.size();
    if (n == 0) {
        return true;
    }

    std::vector<vad_segment_info>       infos;
    std::vector<vad_time_mapping_point> table;
    infos.reserve(n);
    table.reserve(4 * size_t(n));
    KESTU_LOG_INFO("%s: detected %d speech segments\n", FILTER, n);

    // overlap in samples; a negative, non-numeric or huge setting is clamped
    // to what the audio can hold
    const float overlap_f = 16000.0f * params.vad_settings.segment_overlap_s;
    int64_t     overlap   = 0;
    if (overlap_f > 0.0f) {
        overlap = overlap_f >= (float) n_samples ? n_samples : (int64_t) overlap_f;
    }
    const int64_t last = int64_t(n_samples) - 1;

    int64_t total = 0;
    for (int i = 0; i < n; i++) {
        const bool    is_last = i == n - 1;
        const int64_t s       = samples_of(segs[i].t0);
        const int64_t e       = samples_of(segs[i].t1);
        const int64_t ov      = is_last ? 0 : overlap;
        const int64_t len     = std::min(e + ov, last) - std::min(s, last);
        total += std::max<int64_t>(len, 0);

        const float x = is_last ? 0.0f : params.vad_settings.segment_overlap_s;
        KESTU_LOG_INFO("%s: Including segment %d: %.2f - %.2f (duration: %.2f)\n", FILTER, i, segs[i].t0 / 100.0,
                       segs[i].t1 / 100.0 + x, (segs[i].t1 - segs[i].t0) / 100.0 + x);
    }
    const int64_t filtered_size = total + GAP_SAMPLES * (n - 1);
    KESTU_LOG_INFO("%s: total duration of speech segments: %.2f seconds\n", FILTER, (float) total / 16000.0f);

    try {
        filtered.assign(size_t(filtered_size), 0.0f);
    } catch (const std::bad_alloc &) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for filtered samples\n", FILTER);
        return false;
    }

    int64_t offset = 0;
    for (int i = 0; i < n; i++) {
        const bool    is_last = i == n - 1;
        const int64_t ov      = is_last ? 0 : overlap;
        const int64_t s       = std::min(samples_of(segs[i].t0), last);
        const int64_t e       = std::min(samples_of(segs[i].t1), last);
        const int64_t stop    = std::min(samples_of(segs[i].t1) + ov, last);
        const int64_t length  = stop - s;
        if (length <= 0) {
            continue;
        }

        vad_segment_info info;
        info.orig_start = segs[i].t0;
        info.orig_end   = segs[i].t1;
        info.vad_start  = centis_of(offset);
        info.vad_end    = centis_of(offset + e - s);

        table.push_back({info.vad_start, info.orig_start});
        table.push_back({info.vad_end, info.orig_end});
        KESTU_LOG_INFO("%s: vad_segment_info: orig_start: %.2f, orig_end: %.2f, vad_start: %.2f, vad_end: %.2f\n",
                       FILTER, info.orig_start / 100.0, info.orig_end / 100.0, info.vad_start / 100.0,
                       info.vad_end / 100.0);
        infos.push_back(info);

        std::copy(samples + s, samples + stop, filtered.begin() + offset);
        offset += length;

        if (!is_last) {
            table.push_back({centis_of(offset), segs[i].t1});
            table.push_back({centis_of(offset + GAP_SAMPLES), segs[i + 1].t0});
            // the silence is already there: filtered was zero-filled
            offset += GAP_SAMPLES;
        }
    }

    std::stable_sort(table.begin(), table.end(),
                     [](const vad_time_mapping_point & a, const vad_time_mapping_point & b) {
                         return a.processed_time < b.processed_time;
                     });
    table.erase(std::unique(table.begin(), table.end(),
                            [](const vad_time_mapping_point & a, const vad_time_mapping_point & b) {
                                return a.processed_time == b.processed_time;
                            }),
                table.end());
    KESTU_LOG_INFO("%s: Created time mapping table with %d points\n", FILTER, (int) table.size());

    KESTU_LOG_INFO("%s: Reduced audio from %d to %d samples (%.1f%% reduction)\n", FILTER, n_samples, (int) offset,
                   (1.0f - (float) offset / (float) n_samples) * 100.0f);

    state->vad_segments      = std::move(infos);
    state->vad_mapping_table = std::move(table);
    state->has_vad_segments  = true;
    return true;
}
