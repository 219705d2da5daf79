#include "kestu-impl.h"

// Log-mel spectrogram: 400-sample Hann frames every 160 samples, a recursive
// transform, power onto the model's mel filters, log10, then clamped to 8
// below the maximum and rescaled. Frames are spread over n_threads threads by
// blocks of frames, so each thread writes its own columns.
//
// Every sum has a fixed order (float within a transform and within a group of
// four bins, double across groups), and a frame's value depends only on the
// frame, so the result is the same bit for bit for any thread count.

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace {

constexpr int MEL_FRAME_SIZE = KESTU_N_FFT;                             // 400
constexpr int MEL_FRAME_STEP = KESTU_HOP_LENGTH;                        // 160
constexpr int MEL_PAD_FRONT  = 200;                                     // reflected
constexpr int MEL_PAD_BACK   = KESTU_SAMPLE_RATE * KESTU_CHUNK_SIZE;    // 30 s of zeros
constexpr int MEL_N_BINS     = MEL_FRAME_SIZE / 2 + 1;                  // 201 bins up to Nyquist

// The recursion copies each half behind its input (N/2 + N/4 + ... < N more
// floats) and transforms the halves into 3 N floats behind its output, whose
// own recursions go further: in needs 2 N floats, out 6 N.
constexpr int MEL_FFT_IN  = 2 * MEL_FRAME_SIZE;
constexpr int MEL_FFT_OUT = 6 * MEL_FRAME_SIZE;

// odd N: direct transform, summed in float in input order
void mel_dft(const float * in, int N, float * out) {
    const int s = KESTU_TRIG_N / N;
    for (int k = 0; k < N; ++k) {
        float re = 0.0f;
        float im = 0.0f;
        // idx walks (k * n * s) mod 400 without a division per term
        const int step = (k * s) % KESTU_TRIG_N;
        int       idx  = 0;
        for (int n = 0; n < N; ++n) {
            re += in[n] * kestu_cos_vals[idx];
            im += -in[n] * kestu_sin_vals[idx];
            idx += step;
            if (idx >= KESTU_TRIG_N) {
                idx -= KESTU_TRIG_N;
            }
        }
        out[2 * k + 0] = re;
        out[2 * k + 1] = im;
    }
}

// The 400-point transform ends in 16 direct transforms of 25 points, which
// would dominate its cost as chains of dependent float adds. Their twiddles
// are gathered once into 25 x 32 matrices (row n, column k, zero beyond 25)
// so that eight k advance at once; each k still sums in order of n, so the
// bits are those of mel_dft.
constexpr int MEL_LEAF   = 25;
constexpr int MEL_LEAF_W = 32;

struct mel_leaf_twiddles {
    float cos_vals[MEL_LEAF][MEL_LEAF_W];
    float sin_vals[MEL_LEAF][MEL_LEAF_W];
};

const mel_leaf_twiddles & mel_leaf() {
    // built on first use, after the tables were filled at start-up
    static const mel_leaf_twiddles t = [] {
        mel_leaf_twiddles r = {};
        const int         s = KESTU_TRIG_N / MEL_LEAF;
        for (int n = 0; n < MEL_LEAF; ++n) {
            for (int k = 0; k < MEL_LEAF; ++k) {
                r.cos_vals[n][k] = kestu_cos_vals[(k * n * s) % KESTU_TRIG_N];
                r.sin_vals[n][k] = kestu_sin_vals[(k * n * s) % KESTU_TRIG_N];
            }
        }
        return r;
    }();
    return t;
}

void mel_dft_25(const float * in, float * out) {
    const mel_leaf_twiddles & t = mel_leaf();

    float re[MEL_LEAF_W] = {};
    float im[MEL_LEAF_W] = {};
    for (int n = 0; n < MEL_LEAF; ++n) {
        const float x  = in[n];
        const float nx = -in[n];
        for (int k = 0; k < MEL_LEAF_W; ++k) {
            re[k] += x * t.cos_vals[n][k];
            im[k] += nx * t.sin_vals[n][k];
        }
    }
    for (int k = 0; k < MEL_LEAF; ++k) {
        out[2 * k + 0] = re[k];
        out[2 * k + 1] = im[k];
    }
}

void mel_fft(float * in, int N, float * out) {
    if (N == 1) {
        out[0] = in[0];
        out[1] = 0.0f;
        return;
    }
    if (N == MEL_LEAF) {
        mel_dft_25(in, out);
        return;
    }
    if (N % 2 == 1) {
        mel_dft(in, N, out);
        return;
    }

    const int half = N / 2;
    const int s    = KESTU_TRIG_N / N;

    float * part = in + N; // one half at a time; its own scratch lies behind it
    float * even = out + 2 * N;
    float * odd  = even + N;

    for (int i = 0; i < half; ++i) {
        part[i] = in[2 * i];
    }
    mel_fft(part, half, even);
    for (int i = 0; i < half; ++i) {
        part[i] = in[2 * i + 1];
    }
    mel_fft(part, half, odd);

    for (int k = 0; k < half; ++k) {
        const float c  = kestu_cos_vals[k * s];
        const float sn = kestu_sin_vals[k * s];

        const float e_re = even[2 * k + 0];
        const float e_im = even[2 * k + 1];
        const float o_re = odd[2 * k + 0];
        const float o_im = odd[2 * k + 1];

        out[2 * k + 0] = e_re + c * o_re + sn * o_im;
        out[2 * k + 1] = e_im + c * o_im - sn * o_re;

        out[2 * (k + half) + 0] = e_re - c * o_re - sn * o_im;
        out[2 * (k + half) + 1] = e_im - c * o_im + sn * o_re;
    }
}

// The filter bank turned bin-major, bands padded to a multiple of 8 with zero
// weights, so that the projection advances eight bands at once. Each band
// still sums its bins as defined (four float products added in float, group
// sums added in double, in bin order), so the bits do not change.
constexpr int MEL_BAND_BLOCK = 8;

struct mel_bank {
    int                n_mel = 0;
    int                n_pad = 0; // n_mel rounded up to MEL_BAND_BLOCK
    int                n_fft = 0;
    std::vector<float> w;         // bin k, band j at k * n_pad + j
};

mel_bank mel_bank_from(const kestu_filters & filters) {
    mel_bank b;
    b.n_mel = filters.n_mel;
    b.n_pad = (filters.n_mel + MEL_BAND_BLOCK - 1) / MEL_BAND_BLOCK * MEL_BAND_BLOCK;
    b.n_fft = filters.n_fft;
    b.w.assign((size_t) b.n_pad * b.n_fft, 0.0f);
    for (int j = 0; j < b.n_mel; ++j) {
        for (int k = 0; k < b.n_fft; ++k) {
            b.w[(size_t) k * b.n_pad + j] = filters.data[(size_t) j * b.n_fft + k];
        }
    }
    return b;
}

// one thread's buffers, made before any thread starts so that threads never allocate
struct mel_scratch {
    std::vector<float>  frame; // MEL_FFT_IN
    std::vector<float>  fft;   // MEL_FFT_OUT
    std::vector<float>  power; // n_fft
    std::vector<double> sums;  // n_pad
};

// Frames go to threads in blocks of 16 (one cache line of each band row),
// block b to thread b mod n_threads: a frame's column is spread over every
// band row, so handing out single frames would have threads writing the same
// cache lines all the time. Which thread computes a frame does not change its
// value.
constexpr int MEL_FRAME_BLOCK = 16;

// one frame with audio: window, transform, power, bands, log10
void mel_frame(int64_t i, const float * padded, int64_t n, const mel_bank & bank, kestu_mel & mel,
               mel_scratch & scratch) {
    float *  frame = scratch.frame.data();
    float *  fft   = scratch.fft.data();
    float *  power = scratch.power.data();
    double * sums  = scratch.sums.data();

    const int n_fft = bank.n_fft;
    const int n_pad = bank.n_pad;

    const int64_t offset = (int64_t) MEL_FRAME_STEP * i;
    const int     avail  = (int) std::min<int64_t>(MEL_FRAME_SIZE, n - offset);
    for (int t = 0; t < avail; ++t) {
        frame[t] = kestu_hann_window[t] * padded[offset + t];
    }
    // the transform leaves its scratch in the frame's tail
    std::fill(frame + avail, frame + MEL_FRAME_SIZE, 0.0f);

    mel_fft(frame, MEL_FRAME_SIZE, fft);

    for (int k = 0; k < n_fft; ++k) {
        power[k] = fft[2 * k + 0] * fft[2 * k + 0] + fft[2 * k + 1] * fft[2 * k + 1];
    }

    std::fill(sums, sums + n_pad, 0.0);
    int k = 0;
    for (; k + 3 < n_fft; k += 4) {
        const float * w0 = bank.w.data() + (size_t) k * n_pad;
        const float * w1 = w0 + n_pad;
        const float * w2 = w1 + n_pad;
        const float * w3 = w2 + n_pad;
        for (int jb = 0; jb < n_pad; jb += MEL_BAND_BLOCK) {
            for (int j = jb; j < jb + MEL_BAND_BLOCK; ++j) {
                sums[j] += power[k + 0] * w0[j] + power[k + 1] * w1[j] + power[k + 2] * w2[j] + power[k + 3] * w3[j];
            }
        }
    }
    for (; k < n_fft; ++k) {
        const float * wk = bank.w.data() + (size_t) k * n_pad;
        for (int j = 0; j < n_pad; ++j) {
            sums[j] += power[k] * wk[j];
        }
    }

    const size_t n_len = (size_t) mel.n_len;
    for (int j = 0; j < bank.n_mel; ++j) {
        mel.data[(size_t) j * n_len + (size_t) i] = (float) std::log10(std::max(sums[j], 1e-10));
    }
}

// thread ith's blocks of frames; n input floats (the reflected front and the
// samples) lie at padded
void mel_worker(int ith, int n_threads, const float * padded, int64_t n, const mel_bank & bank, kestu_mel & mel,
                mel_scratch & scratch) {
    const int64_t n_len   = mel.n_len;
    const int64_t n_audio = std::min<int64_t>(n_len, n / MEL_FRAME_STEP + 1);

    for (int64_t i0 = (int64_t) ith * MEL_FRAME_BLOCK; i0 < n_len; i0 += (int64_t) n_threads * MEL_FRAME_BLOCK) {
        const int64_t i1 = std::min<int64_t>(i0 + MEL_FRAME_BLOCK, n_len);
        for (int64_t i = i0; i < std::min(i1, n_audio); ++i) {
            mel_frame(i, padded, n, bank, mel, scratch);
        }
        // frames wholly in the trailing silence skip the transform: log10 of the floor
        for (int j = 0; j < bank.n_mel; ++j) {
            float * row = mel.data.data() + (size_t) j * (size_t) n_len;
            for (int64_t i = std::max(i0, n_audio); i < i1; ++i) {
                row[i] = -10.0f;
            }
        }
    }
}

bool mel_filters_ok(const kestu_filters & filters) {
    // a 400-point transform has 201 bins up to Nyquist; more would read past it
    if (filters.n_mel < 1 || filters.n_fft < 1 || filters.n_fft > MEL_N_BINS ||
        filters.data.size() != (size_t) filters.n_mel * (size_t) filters.n_fft) {
        KESTU_LOG_ERROR("%s: invalid mel filter bank: %d bands of %d bins, %zu weights\n",
                        "kestu_pcm_to_mel_with_state", filters.n_mel, filters.n_fft, filters.data.size());
        return false;
    }
    return true;
}

int pcm_to_mel(kestu_context & ctx, kestu_state & state, const float * samples, int n_samples, int n_threads) {
    const int64_t t_start_us = tevo_time_us();

    const kestu_filters & filters = ctx.model.filters;
    if (!mel_filters_ok(filters)) {
        return -1;
    }

    // frames of the samples and the 30 s behind them; n_len fits int32 for any int n_samples
    const int64_t n_len     = ((int64_t) n_samples + MEL_PAD_BACK) / MEL_FRAME_STEP;
    const int64_t n_len_org = 1 + ((int64_t) n_samples - MEL_PAD_FRONT) / MEL_FRAME_STEP;
    if (n_len * filters.n_mel > INT_MAX) {
        KESTU_LOG_ERROR("%s: %d samples make %lld frames of %d bands, too many values\n",
                        "kestu_pcm_to_mel_with_state", n_samples, (long long) n_len, filters.n_mel);
        return -1;
    }

    std::vector<float> padded((size_t) n_samples + MEL_PAD_FRONT + MEL_PAD_BACK + MEL_PAD_FRONT, 0.0f);
    if (n_samples > 0) {
        memcpy(padded.data() + MEL_PAD_FRONT, samples, (size_t) n_samples * sizeof(float));
    }
    // reflect the start without repeating sample 0; short audio leaves the far front at 0
    if (n_samples > 1) {
        const int n_reflect = std::min(n_samples, MEL_PAD_FRONT + 1);
        for (int k = 1; k < n_reflect; ++k) {
            padded[MEL_PAD_FRONT - k] = samples[k];
        }
    }

    // below 1 means one thread; beyond one per block of frames, threads would idle
    const int64_t n_blocks = (n_len + MEL_FRAME_BLOCK - 1) / MEL_FRAME_BLOCK;
    n_threads              = (int) std::max<int64_t>(1, std::min<int64_t>(n_threads, n_blocks));

    const mel_bank bank = mel_bank_from(filters);

    std::vector<mel_scratch> scratch((size_t) n_threads);
    for (mel_scratch & s : scratch) {
        s.frame.assign(MEL_FFT_IN, 0.0f);
        s.fft.assign(MEL_FFT_OUT, 0.0f);
        s.power.assign((size_t) bank.n_fft, 0.0f);
        s.sums.assign((size_t) bank.n_pad, 0.0);
    }

    // grow first, so that a failed allocation leaves the old spectrogram whole
    kestu_mel & mel = state.mel;
    mel.data.resize((size_t) filters.n_mel * (size_t) n_len);
    mel.n_mel     = filters.n_mel;
    mel.n_len     = (int32_t) n_len;
    mel.n_len_org = (int32_t) n_len_org;

    const int64_t n = (int64_t) MEL_PAD_FRONT + n_samples;

    // a thread that cannot be started has its frames done on this thread
    // instead: the frames and their values are the same either way
    std::vector<std::thread> workers;
    std::vector<int>         not_started;
    workers.reserve((size_t) n_threads - 1);
    for (int ith = 1; ith < n_threads; ++ith) {
        try {
            workers.emplace_back(mel_worker, ith, n_threads, padded.data(), n, std::cref(bank), std::ref(mel),
                                 std::ref(scratch[ith]));
        } catch (const std::system_error &) {
            not_started.push_back(ith);
        }
    }
    mel_worker(0, n_threads, padded.data(), n, bank, mel, scratch[0]);
    for (int ith : not_started) {
        mel_worker(ith, n_threads, padded.data(), n, bank, mel, scratch[ith]);
    }
    for (std::thread & t : workers) {
        t.join();
    }

    // A finite sample can still overflow the power spectrum (from about 1e17
    // on), and one infinite or NaN band would make the clamp below garbage
    // everywhere: such audio is refused like non-finite samples, and the
    // state keeps no spectrogram that a later run could pick up.
    double mmax = -1e20;
    for (size_t i = 0; i < mel.data.size(); ++i) {
        const float v = mel.data[i];
        if (!std::isfinite(v)) {
            KESTU_LOG_ERROR("%s: the spectrogram is not finite (band %d, frame %d): a sample is out of range\n",
                            "kestu_pcm_to_mel_with_state", (int) (i / (size_t) n_len), (int) (i % (size_t) n_len));
            mel.data.clear();
            mel.n_len     = 0;
            mel.n_len_org = 0;
            return KESTU_FULL_ERR_NON_FINITE;
        }
        if (v > mmax) {
            mmax = v;
        }
    }
    const double v_min = mmax - 8.0;
    for (float & v : mel.data) {
        if (v < v_min) {
            v = (float) v_min;
        }
        v = (float) (((double) v + 4.0) * 0.25);
    }

    state.t_mel_us += tevo_time_us() - t_start_us;
    return 0;
}

} // namespace

void kestu_fft(float * in, int N, float * out) {
    KESTU_ASSERT(N >= 1 && KESTU_TRIG_N % N == 0);
    mel_fft(in, N, out);
}

int kestu_pcm_to_mel_with_state(struct kestu_context * ctx, struct kestu_state * state, const float * samples,
                                int n_samples, int n_threads) {
    if (ctx == nullptr || state == nullptr) {
        KESTU_LOG_ERROR("%s: no context or no state\n", __func__);
        return -1;
    }
    if (n_samples < 0 || (samples == nullptr && n_samples > 0)) {
        KESTU_LOG_ERROR("%s: invalid samples: %d at %p\n", __func__, n_samples, (const void *) samples);
        return -1;
    }
    try {
        return pcm_to_mel(*ctx, *state, samples, n_samples, n_threads);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", __func__, e.what());
        return -1;
    }
}

int kestu_pcm_to_mel(struct kestu_context * ctx, const float * samples, int n_samples, int n_threads) {
    if (ctx == nullptr || ctx->state == nullptr) {
        KESTU_LOG_ERROR("%s: the context has no default state\n", __func__);
        return -1;
    }
    return kestu_pcm_to_mel_with_state(ctx, ctx->state, samples, n_samples, n_threads);
}

int kestu_set_mel_with_state(struct kestu_context * ctx, struct kestu_state * state, const float * data, int n_len,
                             int n_mel) {
    if (ctx == nullptr || state == nullptr) {
        KESTU_LOG_ERROR("%s: no context or no state\n", "kestu_set_mel_with_state");
        return -1;
    }
    if (n_mel != ctx->model.filters.n_mel) {
        KESTU_LOG_ERROR("%s: invalid number of mel bands: %d (expected %d)\n", "kestu_set_mel_with_state", n_mel,
                        ctx->model.filters.n_mel);
        return -1;
    }
    // the rest of the library indexes the spectrogram with int
    if (n_len < 0 || (int64_t) n_len * n_mel > INT_MAX) {
        KESTU_LOG_ERROR("%s: invalid number of frames: %d of %d bands\n", "kestu_set_mel_with_state", n_len, n_mel);
        return -1;
    }
    if (data == nullptr && n_len > 0) {
        KESTU_LOG_ERROR("%s: no data for %d frames\n", "kestu_set_mel_with_state", n_len);
        return -1;
    }
    // a NaN or infinity would run through encoder and decoder into logits
    // of NaN, as a sample out of range would in kestu_pcm_to_mel
    const size_t n_values = (size_t) n_len * (size_t) n_mel;
    const size_t bad      = kestu_first_non_finite(data, n_values);
    if (bad < n_values) {
        KESTU_LOG_ERROR("%s: value %zu (band %zu, frame %zu) is not a finite number\n", "kestu_set_mel_with_state",
                        bad, bad / (size_t) n_len, bad % (size_t) n_len);
        return KESTU_FULL_ERR_NON_FINITE;
    }
    try {
        state->mel.data.resize(n_values);
        if (n_values > 0) {
            memcpy(state->mel.data.data(), data, n_values * sizeof(float));
        }
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", "kestu_set_mel_with_state", e.what());
        return -1;
    }
    state->mel.n_len     = n_len;
    state->mel.n_len_org = n_len;
    state->mel.n_mel     = n_mel;
    return 0;
}

int kestu_set_mel(struct kestu_context * ctx, const float * data, int n_len, int n_mel) {
    if (ctx == nullptr || ctx->state == nullptr) {
        KESTU_LOG_ERROR("%s: the context has no default state\n", __func__);
        return -1;
    }
    return kestu_set_mel_with_state(ctx, ctx->state, data, n_len, n_mel);
}
