#include "kestu-impl.h"

// Segments and timestamps: the accepted tokens of a window cut at timestamp
// tokens, segment texts, live printing, token times from timestamp
// probabilities and signal energy, and the splitting of long segments.
//
// Times are centiseconds, the unit of one spectrogram frame (160 samples).

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

constexpr int SAMPLES_PER_CS = 160;

// time of a timestamp id relative to the window start
int64_t timestamp_time(int seek, kestu_token timestamp_id, kestu_token token_beg) {
    return seek + 2 * (int64_t) (timestamp_id - token_beg);
}

const std::string & token_text(const kestu_context & ctx, kestu_token id) {
    return ctx.vocab.id_to_token.at(id);
}

// weighted character count: marks and digits take longer to say
float voice_length(const std::string & text) {
    float         sum = 0.0f;
    const size_t  n   = text.size();
    const auto *  s   = (const unsigned char *) text.data();
    for (size_t i = 0; i < n;) {
        uint32_t cp  = s[i];
        size_t   len = 1;
        if (cp >= 0xF0) {
            len = 4;
            cp &= 0x07;
        } else if (cp >= 0xE0) {
            len = 3;
            cp &= 0x0F;
        } else if (cp >= 0xC0) {
            len = 2;
            cp &= 0x1F;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            ok = (s[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!ok) {
            // a cut or broken sequence: its lead byte counts as one plain character
            sum += 1.0f;
            i += 1;
            continue;
        }
        i += len;

        float w = 1.0f;
        switch (cp) {
            case 0x0020:
            case 0x3000:
                w = 0.01f;
                break;
            case 0x0021:
            case 0x002E:
            case 0x003F:
            case 0x2026:
            case 0x3002:
            case 0xFF01:
            case 0xFF0E:
            case 0xFF1F:
                w = 3.0f;
                break;
            case 0x002C:
            case 0x3001:
            case 0xFF0C:
            case 0xFF1A:
            case 0xFF1B:
                w = 2.0f;
                break;
            default:
                if ((cp >= 0x30 && cp <= 0x39) || (cp >= 0xFF10 && cp <= 0xFF19)) {
                    w = 3.0f;
                }
                break;
        }
        sum += w;
    }
    return sum;
}

// characters of UTF-8 text: bytes that are not continuation bytes
int utf8_chars(const std::string & text) {
    int n = 0;
    for (unsigned char c : text) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

// Appends one segment and makes its token times; returns how many segments
// it became after splitting.
int emit_segment(kestu_context & ctx, kestu_state & state, const kestu_full_params & params, int64_t t0,
                 int64_t t1, const std::string & text, const std::vector<kestu_token_data> & tokens, size_t i0,
                 size_t i1, bool speaker_turn_next) {
    if (params.log_segments_live) {
        if (params.log_segment_times) {
            printf("[%s --> %s]  %s\n", kestu_format_timestamp(t0).c_str(), kestu_format_timestamp(t1).c_str(),
                   text.c_str());
        } else {
            printf("%s", text.c_str());
            fflush(stdout);
        }
    }

    kestu_segment segment;
    segment.t0                = t0;
    segment.t1                = t1;
    segment.text              = text;
    segment.no_speech_prob    = state.no_speech_prob;
    segment.speaker_turn_next = speaker_turn_next;
    segment.tokens.assign(tokens.begin() + i0, tokens.begin() + i1);
    state.result.push_back(std::move(segment));

    int n_new = 1;
    if (params.compute_token_times) {
        kestu_exp_compute_token_level_timestamps(ctx, state, (int) state.result.size() - 1,
                                                 params.timestamp_p_threshold, params.timestamp_p_sum_threshold);
        if (params.max_segment_chars > 0) {
            n_new = kestu_split_long_segment(ctx, state, params.max_segment_chars, params.wrap_at_word_boundary);
        }
    }
    // with time warping the callback waits until the warped times are in
    if (params.on_new_segment != nullptr && !ctx.params.dtw_token_timestamps) {
        params.on_new_segment(&ctx, &state, n_new, params.on_new_segment_user_data);
    }
    return n_new;
}

// Moves token times to where the signal starts and ends around them. Positions
// are absolute sample indices of the run's audio, clamped to it.
void refine_with_energy(const kestu_context & ctx, const std::vector<float> & energy,
                        std::vector<kestu_token_data> & tokens) {
    const int64_t n = (int64_t) energy.size();
    const int     n_tokens = (int) tokens.size();
    auto clamp_pos = [n](int64_t t) { return std::min(std::max<int64_t>(t * SAMPLES_PER_CS, 0), n - 1); };

    for (int j = 0; j < n_tokens; j++) {
        kestu_token_data & token = tokens[j];
        if (token.id >= ctx.vocab.token_eot) {
            continue;
        }
        const int64_t s0 = clamp_pos(token.t0);
        const int64_t s1 = clamp_pos(token.t1);

        const int64_t w0  = std::max<int64_t>(s0 - 2000, 0);
        const int64_t w1  = std::min<int64_t>(s1 + 2000, n);
        double        sum = 0.0;
        for (int64_t k = w0; k < w1; k++) {
            sum += energy[k];
        }
        const float thold = w1 > w0 ? (float) (0.5 * sum / (double) (w1 - w0)) : 0.0f;

        int64_t start = s0;
        if (j > 0 && energy[s0] > thold) {
            int64_t k = s0;
            while (k > 0 && energy[k] > thold) {
                k--;
            }
            const int64_t t = k / SAMPLES_PER_CS;
            token.t0        = std::max(tokens[j - 1].t1, t);
            start           = k;
            if (token.t0 != t) {
                start = s0;
            }
        } else {
            int64_t k = s0;
            while (k < s1 && energy[k] < thold) {
                k++;
            }
            token.t0 = k / SAMPLES_PER_CS;
            start    = k;
        }

        if (energy[s1] > thold) {
            int64_t k = s1;
            while (k < n - 1 && energy[k] > thold) {
                k++;
            }
            token.t1 = k / SAMPLES_PER_CS;
            if (j < n_tokens - 1) {
                token.t1 = std::min(token.t1, tokens[j + 1].t0);
            }
        } else {
            int64_t k = s1;
            while (k > start && energy[k] < thold) {
                k--;
            }
            token.t1 = k / SAMPLES_PER_CS;
        }
    }
}

} // namespace

std::string kestu_format_timestamp(int64_t t) {
    const int64_t hr   = t / 360000;
    int64_t       msec = (t % 360000) * 10;
    const int64_t min  = msec / 60000;
    msec -= min * 60000;
    const int64_t sec = msec / 1000;
    msec -= sec * 1000;

    char buf[64]; // room for any int64 hours; real times take 12 bytes and more
    snprintf(buf, sizeof(buf), "%02" PRId64 ":%02" PRId64 ":%02" PRId64 "%s%03" PRId64, hr, min, sec, ".", msec);
    return std::string(buf);
}

void kestu_compute_energy(std::vector<float> & energy, const float * samples, int n_samples) {
    // mean magnitude over the 65 samples around each one (fewer at the ends,
    // still divided by 65), as a running sum
    constexpr int hw = 32;
    energy.assign(std::max(n_samples, 0), 0.0f);
    double sum = 0.0;
    for (int j = 0; j < std::min(hw, n_samples); j++) {
        sum += std::fabs(samples[j]);
    }
    for (int i = 0; i < n_samples; i++) {
        if (i + hw < n_samples) {
            sum += std::fabs(samples[i + hw]);
        }
        if (i - hw - 1 >= 0) {
            sum -= std::fabs(samples[i - hw - 1]);
        }
        energy[i] = (float) (std::max(sum, 0.0) / (2 * hw + 1));
    }
}

int kestu_cut_segments(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                       const std::vector<kestu_token_data> & tokens, int seek, int seek_delta) {
    const kestu_vocab & vocab     = ctx.vocab;
    const kestu_token   token_beg = vocab.token_beg;
    const size_t        n         = tokens.size();
    const size_t        n_before  = state.result.size();
    if (n == 0) {
        return 0;
    }

    // without timestamp tokens the first token's timestamp id says nothing:
    // the segment starts where the window does
    const int64_t window_end = (int64_t) seek + seek_delta;
    int64_t t0 = std::min(std::max(timestamp_time(seek, tokens[0].timestamp_id, token_beg), (int64_t) seek),
                          window_end);
    size_t      i0 = 0;
    std::string text;
    bool        speaker_turn_next = false;

    // without timestamps nothing marked where a segment of max_segment_tokens
    // text tokens ends: a segment is cut before the text token that would pass
    // the limit, and the window's span is shared by the text tokens
    const int max_text = params.no_timestamps && !params.one_segment_per_window ? params.max_segment_tokens : 0;
    const int64_t t_first = t0;
    int           n_text  = 0;
    for (const kestu_token_data & token : tokens) {
        n_text += token.id < vocab.token_eot;
    }
    int k_text = 0; // text tokens before token i
    int k0     = 0; // text tokens before the current segment

    for (size_t i = 0; i < n; i++) {
        const kestu_token id = tokens[i].id;
        if (max_text > 0 && id < vocab.token_eot) {
            if (k_text - k0 == max_text) {
                const int64_t t1 = t_first + (window_end - t_first) * k_text / n_text;
                emit_segment(ctx, state, params, t0, t1, text, tokens, i0, i, speaker_turn_next);
                text.clear();
                t0                = t1;
                i0                = i;
                k0                = k_text;
                speaker_turn_next = false;
            }
            k_text++;
        }
        if (params.log_special_tokens || id < vocab.token_eot) {
            text += token_text(ctx, id);
        }
        if (params.speaker_turn_detection && id == vocab.token_solm) {
            speaker_turn_next = true;
        }
        if (id <= token_beg || params.one_segment_per_window) {
            continue;
        }

        // a timestamp past the window's end (the audio's or the span's) ends there
        const int64_t t1 = std::min(timestamp_time(seek, tokens[i].timestamp_id, token_beg), window_end);
        if (!text.empty()) {
            emit_segment(ctx, state, params, t0, t1, text, tokens, i0, i + 1, speaker_turn_next);
        }
        text.clear();

        if (i + 1 < n && tokens[i + 1].id > token_beg) {
            // a run of timestamps: the next segment starts at its last one
            while (i + 1 < n && tokens[i + 1].id > token_beg) {
                i++;
                if (params.log_special_tokens) {
                    text += token_text(ctx, tokens[i].id);
                }
            }
            t0 = std::min(timestamp_time(seek, tokens[i].timestamp_id, token_beg), window_end);
            i0 = i + 1;
        } else {
            t0 = t1;
            i0 = i + 1;
        }
        speaker_turn_next = false;
    }
    if (!text.empty()) {
        emit_segment(ctx, state, params, t0, window_end, text, tokens, i0, n, speaker_turn_next);
    }
    return (int) (state.result.size() - n_before);
}

void kestu_exp_compute_token_level_timestamps(kestu_context & ctx, kestu_state & state, int i_segment,
                                              float thold_pt, float thold_ptsum) {
    kestu_segment &                 segment = state.result[i_segment];
    std::vector<kestu_token_data> & tokens  = segment.tokens;

    const kestu_token token_beg = ctx.vocab.token_beg;
    const int         n         = (int) tokens.size();
    const int64_t     T0        = segment.t0;
    const int64_t     T1        = segment.t1;

    if (n == 0) {
        return;
    }
    if (n == 1) {
        tokens[0].t0 = T0;
        tokens[0].t1 = T1;
        return;
    }

    int64_t &     t_beg    = state.t_beg;
    int64_t &     t_last   = state.t_last;
    int32_t &     tid_last = state.tid_last;

    for (int j = 0; j < n; j++) {
        kestu_token_data & token = tokens[j];
        if (j == 0) {
            if (token.id == token_beg) {
                tokens[0].t0 = T0;
                tokens[0].t1 = T0;
                tokens[1].t0 = T0;
                t_beg        = T0;
                t_last       = T0;
                tid_last     = token_beg;
            } else {
                // after a stretch without segments t_last lies before this one
                tokens[0].t0 = std::max(t_last, T0);
            }
        }

        const int64_t tt = t_beg + 2 * (int64_t) (token.timestamp_id - token_beg);

        token.voice_length = voice_length(ctx.vocab.id_to_token.at(token.id));

        // t_beg moves only at a segment opened by <|0.00|>: a window opened by
        // a later timestamp counts from an earlier window, before this segment
        if (token.timestamp_p > thold_pt && token.timestamp_p_sum > thold_ptsum && token.timestamp_id > tid_last &&
            tt >= T0 && tt <= T1) {
            if (j > 0) {
                tokens[j - 1].t1 = tt;
            }
            token.t0 = tt;
            tid_last = token.timestamp_id;
        }
    }

    tokens[n - 2].t1 = T1;
    tokens[n - 1].t0 = T1;
    tokens[n - 1].t1 = T1;
    t_last           = T1;

    // tokens without a time share the span between the known ones by their
    // voice length
    for (int e = 0; e < n;) {
        if (tokens[e].t1 >= 0) {
            e++;
            continue;
        }
        int g = e + 1;
        while (g < n - 1 && tokens[g].t1 < 0) {
            g++;
        }
        g = std::min(g, n - 1);
        double v = 0.0;
        for (int k = e; k <= g; k++) {
            v += tokens[k].voice_length;
        }
        const double span = (double) (tokens[g].t1 - tokens[e].t0);
        for (int k = e; k < g; k++) {
            // texts without weight share the span evenly
            const double share = v > 0.0 ? tokens[k].voice_length / v : 1.0 / (double) (g - e + 1);
            tokens[k].t1       = (int64_t) ((double) tokens[k].t0 + share * span);
            tokens[k + 1].t0   = tokens[k].t1;
        }
        e = g + 1;
    }

    for (int j = 0; j < n - 1; j++) {
        if (tokens[j].t1 < 0) {
            tokens[j + 1].t0 = tokens[j].t1;
        }
        if (j > 0 && tokens[j - 1].t1 > tokens[j].t0) {
            tokens[j].t0 = tokens[j - 1].t1;
            tokens[j].t1 = std::max(tokens[j].t0, tokens[j].t1);
        }
    }

    if (state.energy.empty()) {
        // a run on a spectrogram set directly has no signal to refine with
        KESTU_LOG_WARN("%s: no signal data available\n", "kestu_exp_compute_token_level_timestamps");
        return;
    }
    refine_with_energy(ctx, state.energy, tokens);
}

int kestu_split_long_segment(kestu_context & ctx, kestu_state & state, int max_len, bool split_on_word) {
    kestu_segment segment = state.result.back();
    std::string   text;
    int           acc     = 0;
    int           count   = 1;
    bool          started = false; // a text token is in the current piece

    for (size_t i = 0; i < segment.tokens.size(); i++) {
        const kestu_token_data & token = segment.tokens[i];
        if (token.id >= ctx.vocab.token_eot) {
            continue;
        }
        const std::string & txt = ctx.vocab.id_to_token.at(token.id);
        acc += utf8_chars(txt);

        // the first text token stays whole, even behind leading timestamps:
        // a cut before it would leave a piece without text
        if ((split_on_word && (txt.empty() || txt[0] != ' ')) || !started || acc <= max_len) {
            text += txt;
            started = true;
            continue;
        }

        // token times need not be in order: the cut stays inside the piece
        // so that neither side ends before it starts
        const int64_t cut = std::max(std::min(token.t0, segment.t1), segment.t0);

        kestu_segment & last    = state.result.back();
        last.text               = text;
        last.t1                 = cut;
        last.tokens.resize(i);
        last.speaker_turn_next  = false;

        kestu_segment next;
        next.t0                = cut;
        next.t1                = segment.t1;
        next.no_speech_prob    = segment.no_speech_prob; // the same window's
        next.speaker_turn_next = segment.speaker_turn_next;
        next.tokens.assign(segment.tokens.begin() + i, segment.tokens.end());
        state.result.push_back(next);

        count++;
        segment = std::move(next);
        text.clear();
        acc     = 0;
        started = false;
        i       = (size_t) -1; // the walk restarts at the new segment's first token
    }
    state.result.back().text = text;
    return count;
}
