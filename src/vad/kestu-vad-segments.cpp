#include "kestu-vad-impl.h"

// Speech segments from window probabilities: a hysteresis over the windows,
// then merging across short gaps, dropping short segments and padding.
//
// Positions are sample indices, kept in 64 bits so that long audio and large
// settings cannot overflow. Segments end at the end of the analysed audio,
// not at the end of the zero-filled last window.

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

namespace {

const char * const FROM_PROBS = "kestu_vad_segments_from_probs";

// limit meaning no limit on a segment's length
constexpr int64_t UNLIMITED = 0x3fffffff;

// speech runs separated by less than this many samples (200 ms) are merged
constexpr int64_t MERGE_GAP = 3199;

// silence longer than this (98 ms) marks a possible end for a split
constexpr int64_t SPLIT_SILENCE = 1569;

struct raw_segment {
    int64_t start;
    int64_t end; // exclusive
};

int64_t centis(int64_t n) {
    return (int64_t) ((double) n / 16000.0 * 100.0 + 0.5);
}

// settings in samples; a negative length means none
int64_t ms_to_samples(int ms) {
    return std::max<int64_t>(ms, 0) * 16;
}

// the hysteresis over the windows: a high threshold enters speech, a low one
// leaves it after a closing silence; segments over the longest length split
std::vector<raw_segment> hysteresis(const std::vector<float> & probs, int64_t n_window, int64_t total,
                                    float threshold, float neg_threshold, int64_t shortest, int64_t closing,
                                    int64_t longest) {
    std::vector<raw_segment> segments;
    segments.reserve(256);

    bool    triggered  = false;
    int64_t start      = 0;
    int64_t temp_end   = 0;
    int64_t prev_end   = 0;
    int64_t next_start = 0;

    for (size_t k = 0; k < probs.size(); k++) {
        const int64_t cur     = int64_t(k) * n_window;
        const float   p       = probs[k];
        const bool    speech  = p >= threshold;
        const bool    silence = p < neg_threshold;

        if (speech && temp_end != 0 && next_start < prev_end) {
            next_start = cur;
        }
        if (speech && !triggered) {
            triggered = true;
            start     = cur;
            temp_end  = 0;
            continue;
        }
        if (speech) {
            temp_end = 0;
        }
        if (triggered && cur - start > longest) {
            if (prev_end != 0) {
                segments.push_back({start, prev_end});
                if (next_start < prev_end) {
                    triggered = false;
                } else {
                    start = next_start;
                }
                prev_end = next_start = temp_end = 0;
            } else {
                segments.push_back({start, cur});
                triggered = false;
                prev_end = next_start = temp_end = 0;
                continue;
            }
        }
        if (silence && triggered) {
            if (temp_end == 0) {
                temp_end = cur;
            }
            if (cur - temp_end >= SPLIT_SILENCE) {
                prev_end = temp_end;
            }
            if (cur - temp_end < closing) {
                continue;
            }
            if (temp_end - start > shortest) {
                segments.push_back({start, temp_end});
            }
            triggered = false;
            prev_end = next_start = temp_end = 0;
        }
    }
    if (triggered && total - start > shortest) {
        segments.push_back({start, total});
    }
    return segments;
}

} // namespace

// The seconds are truncated before the multiplication; a negative result or
// one beyond 32 bits means no limit.
int64_t kestu_vad_longest_limit(float longest_speech_s, int64_t n_window, int64_t pad) {
    if (!(longest_speech_s <= 100000.0f) || longest_speech_s < 0.0f) {
        return UNLIMITED; // above 100000 s, not a number, or negative (its result would be)
    }
    const int64_t limit = (int64_t) std::trunc(longest_speech_s) * 16000 - n_window - 2 * pad;
    return limit < 0 || limit > INT32_MAX ? UNLIMITED : limit;
}

struct kestu_vad_segments * kestu_vad_segments_from_probs(struct kestu_vad_context * ctx,
                                                          struct kestu_vad_params params) {
    if (ctx == nullptr) {
        KESTU_LOG_ERROR("%s: no VAD context given\n", FROM_PROBS);
        return nullptr;
    }
    if (!kestu_vad_threshold_valid(params.speech_threshold)) {
        KESTU_LOG_ERROR("%s: speech_threshold must be a number from 0 to 1 (%f)\n", FROM_PROBS,
                        params.speech_threshold);
        return nullptr;
    }
    const std::vector<float> & probs = ctx->probs;
    KESTU_LOG_INFO("%s: detecting speech timestamps using %d probabilities\n", FROM_PROBS, (int) probs.size());

    try {
        const int64_t n_window = ctx->n_window;
        // the last window is zero-filled past the audio: stop at the audio's end
        int64_t total = n_window * int64_t(probs.size());
        if (ctx->probs_n_samples >= 0) {
            total = std::min(total, ctx->probs_n_samples);
        }

        const float   threshold     = params.speech_threshold;
        const float   neg_threshold = std::max(threshold - 0.15f, 0.01f);
        const int64_t shortest      = ms_to_samples(params.shortest_speech_ms);
        const int64_t closing       = ms_to_samples(params.closing_silence_ms);
        const int64_t pad           = ms_to_samples(params.segment_pad_ms);
        const int64_t longest       = kestu_vad_longest_limit(params.longest_speech_s, n_window, pad);

        std::vector<raw_segment> segments =
            hysteresis(probs, n_window, total, threshold, neg_threshold, shortest, closing, longest);

        if (segments.size() > 1) {
            int n_merged = 0;
            for (size_t i = 0; i + 1 < segments.size();) {
                if (segments[i + 1].start - segments[i].end <= MERGE_GAP) {
                    segments[i].end = segments[i + 1].end;
                    segments.erase(segments.begin() + i + 1);
                    n_merged++;
                } else {
                    i++;
                }
            }
            KESTU_LOG_INFO("%s: Merged %d adjacent segments, now have %d segments\n", FROM_PROBS, n_merged,
                           (int) segments.size());
        }

        for (size_t i = 0; i < segments.size();) {
            const int64_t len = segments[i].end - segments[i].start;
            if (len < shortest) {
                KESTU_LOG_INFO("%s: Removing segment %d (too short: %d samples)\n", FROM_PROBS, (int) i, (int) len);
                segments.erase(segments.begin() + i);
            } else {
                i++;
            }
        }
        KESTU_LOG_INFO("%s: Final speech segments after filtering: %d\n", FROM_PROBS, (int) segments.size());

        std::unique_ptr<kestu_vad_segments> result(new kestu_vad_segments);
        result->data.resize(segments.size());

        const size_t n = segments.size();
        if (n > 0) {
            segments[0].start = std::max<int64_t>(segments[0].start - pad, 0);
        }
        for (size_t i = 0; i < n; i++) {
            raw_segment & seg = segments[i];
            if (i + 1 < n) {
                raw_segment & next = segments[i + 1];
                const int64_t gap  = next.start - seg.end;
                if (gap < 2 * pad) {
                    const int64_t h = gap / 2;
                    seg.end += h;
                    next.start = std::max<int64_t>(next.start - h, 0);
                } else {
                    seg.end    = std::min(seg.end + pad, total);
                    next.start = std::max<int64_t>(next.start - pad, 0);
                }
            } else {
                seg.end = std::min(seg.end + pad, total);
            }
            result->data[i].t0 = centis(seg.start);
            result->data[i].t1 = centis(seg.end);
            KESTU_LOG_INFO("%s: VAD segment %d: start = %.2f, end = %.2f (duration: %.2f)\n", FROM_PROBS, (int) i,
                           result->data[i].t0 / 100.0, result->data[i].t1 / 100.0,
                           (result->data[i].t1 - result->data[i].t0) / 100.0);
        }
        return result.release();
    } catch (const std::bad_alloc &) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for final segments\n", FROM_PROBS);
        return nullptr;
    }
}

struct kestu_vad_segments * kestu_vad_segments_from_samples(struct kestu_vad_context * ctx, const float * samples,
                                                            int n_samples, struct kestu_vad_params params) {
    KESTU_LOG_INFO("%s: detecting speech timestamps in %d samples\n", __func__, n_samples);
    kestu_vad_reset_state(ctx);
    if (!kestu_vad_detect_speech_no_reset(ctx, samples, n_samples)) {
        KESTU_LOG_ERROR("%s: failed to detect speech\n", __func__);
        return nullptr;
    }
    return kestu_vad_segments_from_probs(ctx, params);
}

int kestu_vad_segments_n_segments(const struct kestu_vad_segments * segments) {
    return segments ? (int) segments->data.size() : 0;
}

// the segment at i, or NULL after a log line
static const kestu_vad_segment * segment_at(const kestu_vad_segments * segments, int i, const char * func) {
    const int n = kestu_vad_segments_n_segments(segments);
    if (i < 0 || i >= n) {
        KESTU_LOG_ERROR("%s: segment index %d out of range (%d segments)\n", func, i, n);
        return nullptr;
    }
    return &segments->data[i];
}

float kestu_vad_segments_get_segment_t0(const struct kestu_vad_segments * segments, int i_segment) {
    const kestu_vad_segment * s = segment_at(segments, i_segment, __func__);
    return s ? (float) s->t0 : 0.0f;
}

float kestu_vad_segments_get_segment_t1(const struct kestu_vad_segments * segments, int i_segment) {
    const kestu_vad_segment * s = segment_at(segments, i_segment, __func__);
    return s ? (float) s->t1 : 0.0f;
}

void kestu_vad_free_segments(struct kestu_vad_segments * segments) {
    delete segments;
}
