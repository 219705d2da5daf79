// Log-mel spectrogram: the transform and whole spectrograms against a plain
// double-precision DFT of the same framing, window, filter bank and scaling,
// and bit for bit against a slow float rendering of the same recipe (every
// sum in its fixed order); frame counts, bitwise equality across thread
// counts, and the refusals of bad input.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// The float recipe below must round every product on its own, as the library
// does (it is built without contraction into fused multiply-adds).
#pragma GCC optimize("fp-contract=off")

namespace {

constexpr double PI     = 3.14159265358979323846;
constexpr int    N_MEL  = 80;
constexpr int    N_FFT  = 201;
constexpr int    FRAME  = 400;
constexpr int    STEP   = 160;

// ---------------------------------------------------------------------------
// inputs

// triangular bands evenly spaced on the mel scale from 0 to 8 kHz, peak 1
std::vector<float> make_bank() {
    auto mel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
    auto hz  = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };

    std::vector<double> edge(N_MEL + 2);
    for (int j = 0; j < N_MEL + 2; ++j) {
        edge[j] = hz(mel(8000.0) * j / (N_MEL + 1));
    }
    std::vector<float> bank((size_t) N_MEL * N_FFT, 0.0f);
    for (int j = 0; j < N_MEL; ++j) {
        for (int k = 0; k < N_FFT; ++k) {
            const double f  = 8000.0 * k / (N_FFT - 1);
            const double up = (f - edge[j]) / (edge[j + 1] - edge[j]);
            const double dn = (edge[j + 2] - f) / (edge[j + 2] - edge[j + 1]);
            bank[(size_t) j * N_FFT + k] = (float) std::max(0.0, std::min(up, dn));
        }
    }
    return bank;
}

// non-negative weights over every bin, for bank shapes other than 80 x 201
std::vector<float> make_random_bank(int n_mel, int n_fft, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    std::vector<float>                    bank((size_t) n_mel * n_fft);
    for (float & w : bank) {
        w = dist(rng);
    }
    return bank;
}

// speech-like enough: a few drifting tones over noise, in [-1, 1]
std::vector<float> make_audio(int n, uint32_t seed) {
    std::mt19937                           rng(seed);
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    std::vector<float>                     out((size_t) n);
    for (int i = 0; i < n; ++i) {
        const double t   = i / 16000.0;
        const double env = 0.5 + 0.4 * std::sin(2 * PI * 1.3 * t);
        const double v   = env * (0.4 * std::sin(2 * PI * 220.0 * t) + 0.2 * std::sin(2 * PI * 1250.0 * t + 0.3) +
                                0.1 * std::sin(2 * PI * (3000.0 + 500.0 * t) * t)) +
                         noise(rng);
        out[(size_t) i] = (float) v;
    }
    return out;
}

// ---------------------------------------------------------------------------
// the definitions, in double

// X[k] = sum_t x[t] e^(-2 pi i k t / N), interleaved re, im
std::vector<double> reference_dft(const std::vector<double> & x) {
    const size_t        N = x.size();
    std::vector<double> out(2 * N);
    for (size_t k = 0; k < N; ++k) {
        double re = 0, im = 0;
        for (size_t t = 0; t < N; ++t) {
            const double a = 2 * PI * (double) ((k * t) % N) / (double) N;
            re += x[t] * std::cos(a);
            im -= x[t] * std::sin(a);
        }
        out[2 * k]     = re;
        out[2 * k + 1] = im;
    }
    return out;
}

struct reference_mel {
    int                 n_len = 0;
    std::vector<double> data; // band j, frame i at j * n_len + i
};

// 200 samples reflected in front (sample k at 200 - k, never sample 0), 30 s of
// silence behind, periodic Hann frames of 400 every 160, power of bins 0..200
// onto the bank, log10 floored at 1e-10, clamped to max - 8, (v + 4) / 4
reference_mel reference_spectrogram(const std::vector<float> & samples, const std::vector<float> & bank) {
    const long n = (long) samples.size();

    auto padded = [&](long p) -> double {
        const long s = p - 200;
        if (s >= 0) {
            return s < n ? samples[(size_t) s] : 0.0;
        }
        return -s < n ? samples[(size_t) -s] : 0.0;
    };

    double cs[FRAME], sn[FRAME], win[FRAME];
    for (int m = 0; m < FRAME; ++m) {
        cs[m]  = std::cos(2 * PI * m / FRAME);
        sn[m]  = std::sin(2 * PI * m / FRAME);
        win[m] = 0.5 * (1 - cs[m]);
    }

    reference_mel r;
    r.n_len = (int) ((n + 480000) / STEP);
    r.data.assign((size_t) N_MEL * r.n_len, 0.0);

    double x[FRAME], power[N_FFT];
    for (int i = 0; i < r.n_len; ++i) {
        bool silent = true;
        for (int t = 0; t < FRAME; ++t) {
            x[t]   = win[t] * padded((long) i * STEP + t);
            silent = silent && x[t] == 0.0;
        }
        for (int k = 0; k < N_FFT; ++k) {
            double re = 0, im = 0;
            if (!silent) {
                for (int t = 0; t < FRAME; ++t) {
                    re += x[t] * cs[(k * t) % FRAME];
                    im -= x[t] * sn[(k * t) % FRAME];
                }
            }
            power[k] = re * re + im * im;
        }
        for (int j = 0; j < N_MEL; ++j) {
            double sum = 0;
            for (int k = 0; k < N_FFT; ++k) {
                sum += power[k] * bank[(size_t) j * N_FFT + k];
            }
            r.data[(size_t) j * r.n_len + i] = std::log10(std::max(sum, 1e-10));
        }
    }

    double m = -1e300;
    for (double v : r.data) {
        m = std::max(m, v);
    }
    for (double & v : r.data) {
        v = (std::max(v, m - 8) + 4) / 4;
    }
    return r;
}

// ---------------------------------------------------------------------------
// the recipe with its float rounding, slow and literal

// odd N directly, even N from its even and odd halves; twiddles from the tables
std::vector<float> float_transform(const std::vector<float> & x) {
    const int          N = (int) x.size();
    const int          s = 400 / N;
    std::vector<float> out((size_t) 2 * N, 0.0f);
    if (N == 1) {
        out[0] = x[0];
        return out;
    }
    if (N % 2 == 1) {
        for (int k = 0; k < N; ++k) {
            float re = 0.0f, im = 0.0f;
            for (int n = 0; n < N; ++n) {
                re += x[n] * kestu_cos_vals[(k * n * s) % 400];
                im += -x[n] * kestu_sin_vals[(k * n * s) % 400];
            }
            out[2 * k]     = re;
            out[2 * k + 1] = im;
        }
        return out;
    }
    std::vector<float> ev((size_t) N / 2), od((size_t) N / 2);
    for (int i = 0; i < N / 2; ++i) {
        ev[i] = x[2 * i];
        od[i] = x[2 * i + 1];
    }
    const std::vector<float> E = float_transform(ev), O = float_transform(od);
    for (int k = 0; k < N / 2; ++k) {
        const float c = kestu_cos_vals[k * s], sn = kestu_sin_vals[k * s];
        out[2 * k]           = E[2 * k] + c * O[2 * k] + sn * O[2 * k + 1];
        out[2 * k + 1]       = E[2 * k + 1] + c * O[2 * k + 1] - sn * O[2 * k];
        out[2 * k + N]       = E[2 * k] - c * O[2 * k] - sn * O[2 * k + 1];
        out[2 * k + N + 1]   = E[2 * k + 1] - c * O[2 * k + 1] + sn * O[2 * k];
    }
    return out;
}

// bands as four-bin float groups added into a double, then log10, clamp, rescale
std::vector<float> float_spectrogram(const std::vector<float> & samples, const std::vector<float> & bank, int n_mel,
                                     int n_fft) {
    const int          n_samples = (int) samples.size();
    std::vector<float> padded((size_t) n_samples + 480400, 0.0f);
    std::copy(samples.begin(), samples.end(), padded.begin() + 200);
    for (int k = 1; k < std::min(n_samples, 201); ++k) {
        padded[200 - k] = samples[k];
    }
    const int n_len   = (n_samples + 480000) / 160;
    const int n       = 200 + n_samples;
    const int n_audio = std::min(n_len, n / 160 + 1);

    std::vector<float> data((size_t) n_mel * n_len);
    for (int i = 0; i < n_len; ++i) {
        for (int j = 0; j < n_mel && i >= n_audio; ++j) {
            data[(size_t) j * n_len + i] = -10.0f;
        }
        if (i >= n_audio) {
            continue;
        }
        std::vector<float> frame(400, 0.0f);
        for (int t = 0; t < std::min(400, n - 160 * i); ++t) {
            frame[t] = kestu_hann_window[t] * padded[(size_t) 160 * i + t];
        }
        const std::vector<float> X = float_transform(frame);
        std::vector<float>       power((size_t) n_fft);
        for (int k = 0; k < n_fft; ++k) {
            power[k] = X[2 * k] * X[2 * k] + X[2 * k + 1] * X[2 * k + 1];
        }
        for (int j = 0; j < n_mel; ++j) {
            const float * w     = &bank[(size_t) j * n_fft];
            double        total = 0.0;
            int           k     = 0;
            for (; k + 3 < n_fft; k += 4) {
                float g = power[k] * w[k];
                g += power[k + 1] * w[k + 1];
                g += power[k + 2] * w[k + 2];
                g += power[k + 3] * w[k + 3];
                total += g;
            }
            for (; k < n_fft; ++k) {
                total += power[k] * w[k];
            }
            data[(size_t) j * n_len + i] = (float) std::log10(std::max(total, 1e-10));
        }
    }
    double m = -1e20;
    for (float v : data) {
        m = v > m ? v : m;
    }
    for (float & v : data) {
        v = v < m - 8.0 ? (float) (m - 8.0) : v;
        v = (float) ((v + 4.0) * 0.25);
    }
    return data;
}

// ---------------------------------------------------------------------------
// fixture: a context with an 80-band bank and a default state

struct captured_line {
    tevo_log_level level;
    std::string    text;
};

void capture(enum tevo_log_level level, const char * text, void * user_data) {
    static_cast<std::vector<captured_line> *>(user_data)->push_back({level, text});
}

class Mel : public ::testing::Test {
protected:
    kestu_context              ctx;
    std::vector<captured_line> lines;

    void SetUp() override {
        ctx.model.filters.n_mel = N_MEL;
        ctx.model.filters.n_fft = N_FFT;
        ctx.model.filters.data  = make_bank();
        ctx.state               = new kestu_state;
        kestu_log_set(capture, &lines);
    }
    void TearDown() override {
        kestu_log_set(nullptr, nullptr);
        delete ctx.state;
    }

    kestu_mel & mel() { return ctx.state->mel; }

    bool logged(const std::string & part) const {
        for (const captured_line & l : lines) {
            if (l.level == TEVO_LOG_LEVEL_ERROR && l.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // a spectrogram to find untouched after a refusal
    void install_marker() {
        std::vector<float> marker((size_t) 7 * N_MEL, 0.25f);
        ASSERT_EQ(kestu_set_mel(&ctx, marker.data(), 7, N_MEL), 0);
        lines.clear();
    }
    void expect_marker() {
        EXPECT_EQ(mel().n_len, 7);
        EXPECT_EQ(mel().n_len_org, 7);
        EXPECT_EQ(mel().n_mel, N_MEL);
        ASSERT_EQ(mel().data.size(), (size_t) 7 * N_MEL);
        EXPECT_EQ(mel().data[0], 0.25f);
    }
};

// ---------------------------------------------------------------------------
// tables and transform

TEST(MelTransform, EverySizeDividing400MatchesTheDft) {
    // odd sizes are direct; even ones recurse down to an odd size or 1
    for (int N : {1, 2, 4, 5, 8, 10, 16, 25, 50, 80, 100, 200, 400}) {
        std::mt19937                          rng((uint32_t) N);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);

        // exactly the room the header promises, so that AddressSanitizer sees any overrun
        std::vector<float>  in((size_t) 2 * N);
        std::vector<float>  out((size_t) 6 * N);
        std::vector<double> x((size_t) N);
        double              scale = 0;
        for (int i = 0; i < N; ++i) {
            in[(size_t) i] = dist(rng);
            x[(size_t) i]  = in[(size_t) i];
            scale += std::fabs(x[(size_t) i]);
        }
        kestu_fft(in.data(), N, out.data());

        const std::vector<double> ref = reference_dft(x);
        for (int k = 0; k < 2 * N; ++k) {
            ASSERT_NEAR(out[(size_t) k], ref[(size_t) k], 2e-6 * scale) << "N " << N << " value " << k;
        }
    }
}

TEST(MelTransform, EverySizeFollowsTheFloatRecipeBitForBit) {
    for (int N : {1, 2, 4, 5, 8, 10, 16, 25, 50, 80, 100, 200, 400}) {
        std::mt19937                          rng((uint32_t) N + 100);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float>                    in((size_t) 2 * N), out((size_t) 6 * N);
        std::vector<float>                    x((size_t) N);
        for (int i = 0; i < N; ++i) {
            in[(size_t) i] = x[(size_t) i] = dist(rng);
        }
        kestu_fft(in.data(), N, out.data());
        const std::vector<float> ref = float_transform(x);
        EXPECT_EQ(memcmp(out.data(), ref.data(), ref.size() * sizeof(float)), 0) << "N " << N;
    }
}

// ---------------------------------------------------------------------------
// whole spectrograms

TEST_F(Mel, FrameCountsFollowTheSampleCount) {
    struct {
        int n_samples, n_len, n_len_org;
    } cases[] = {
        {0, 3000, 0}, {1, 3000, 0}, {100, 3000, 1}, {159, 3000, 1}, {360, 3002, 2}, {16000, 3100, 99},
        {480000, 6000, 2999},
    };
    for (const auto & c : cases) {
        const std::vector<float> audio = make_audio(c.n_samples, 1);
        ASSERT_EQ(kestu_pcm_to_mel(&ctx, audio.data(), c.n_samples, 2), 0);
        EXPECT_EQ(mel().n_len, c.n_len) << c.n_samples;
        EXPECT_EQ(mel().n_len_org, c.n_len_org) << c.n_samples;
        EXPECT_EQ(kestu_n_len(&ctx), c.n_len_org) << c.n_samples;
        EXPECT_EQ(mel().n_mel, N_MEL);
        EXPECT_EQ(mel().data.size(), (size_t) N_MEL * c.n_len) << c.n_samples;
    }
}

TEST_F(Mel, SpectrogramMatchesTheDoublePrecisionDefinition) {
    // Float rounding in the transform is relative to the frame's loudest bin,
    // so it shows most in quiet bands: up to ~4e-5 after the log10 and the /4
    // rescale (band 1 of a 30 s clip). A symmetric window, a reflection that
    // repeats sample 0 or is missing, a lost partial last frame, or swapped
    // band and frame axes each move some value by 1e-3 or more.
    const double tol = 1e-4;
    for (int n_samples : {0, 1, 100, 16000, 480000}) {
        const std::vector<float> audio = make_audio(n_samples, 7);
        ASSERT_EQ(kestu_pcm_to_mel(&ctx, n_samples ? audio.data() : nullptr, n_samples, 3), 0);

        const reference_mel ref = reference_spectrogram(audio, ctx.model.filters.data);
        ASSERT_EQ(mel().n_len, ref.n_len);
        ASSERT_EQ(mel().data.size(), ref.data.size());

        double worst = 0;
        size_t where = 0;
        for (size_t i = 0; i < ref.data.size(); ++i) {
            const double d = std::fabs(mel().data[i] - ref.data[i]);
            if (d > worst) {
                worst = d;
                where = i;
            }
        }
        EXPECT_LE(worst, tol) << n_samples << " samples: band " << where / ref.n_len << " frame "
                              << where % ref.n_len << " is " << mel().data[where] << ", expected " << ref.data[where];
    }
}

TEST_F(Mel, SpectrogramFollowsTheFloatRecipeBitForBit) {
    // band counts that are and are not multiples of 8, bins with and without a
    // remainder after the groups of four
    struct {
        int n_mel, n_fft;
    } banks[] = {{80, 201}, {21, 201}, {13, 200}, {3, 7}};
    for (const auto & b : banks) {
        ctx.model.filters.n_mel = b.n_mel;
        ctx.model.filters.n_fft = b.n_fft;
        ctx.model.filters.data  = b.n_mel == N_MEL ? make_bank() : make_random_bank(b.n_mel, b.n_fft, 9);
        for (int n_samples : {1, 100, 16000, 480000}) {
            if (n_samples == 480000 && b.n_mel != N_MEL) {
                continue; // 30 s once is enough
            }
            const std::vector<float> audio = make_audio(n_samples, 11);
            ASSERT_EQ(kestu_pcm_to_mel(&ctx, audio.data(), n_samples, 3), 0);
            const std::vector<float> ref = float_spectrogram(audio, ctx.model.filters.data, b.n_mel, b.n_fft);
            ASSERT_EQ(mel().data.size(), ref.size());
            EXPECT_EQ(memcmp(mel().data.data(), ref.data(), ref.size() * sizeof(float)), 0)
                << b.n_mel << " x " << b.n_fft << ", " << n_samples << " samples";
        }
    }
}

TEST_F(Mel, SilenceGivesMinusOneAndAHalfEverywhere) {
    ASSERT_EQ(kestu_pcm_to_mel(&ctx, nullptr, 0, 1), 0);
    ASSERT_EQ(mel().data.size(), (size_t) N_MEL * 3000);
    for (float v : mel().data) {
        ASSERT_EQ(v, -1.5f);
    }
}

TEST_F(Mel, EveryThreadCountGivesTheSameBits) {
    for (int n_samples : {100, 16000, 480000}) {
        const std::vector<float> audio = make_audio(n_samples, 3);
        ASSERT_EQ(kestu_pcm_to_mel(&ctx, audio.data(), n_samples, 1), 0);
        const std::vector<float> one = mel().data;
        // below 1 counts as one thread; far more threads than blocks of frames
        for (int n_threads : {2, 3, 8, 1000, 0, -4}) {
            ASSERT_EQ(kestu_pcm_to_mel(&ctx, audio.data(), n_samples, n_threads), 0);
            ASSERT_EQ(mel().data.size(), one.size());
            EXPECT_EQ(memcmp(mel().data.data(), one.data(), one.size() * sizeof(float)), 0)
                << n_samples << " samples, " << n_threads << " threads";
        }
    }
}

TEST_F(Mel, ExplicitStateIsFilledAndTheDefaultOneLeftAlone) {
    install_marker();
    kestu_state other;
    const std::vector<float> audio = make_audio(16000, 5);
    ASSERT_EQ(kestu_pcm_to_mel_with_state(&ctx, &other, audio.data(), 16000, 4), 0);
    EXPECT_EQ(other.mel.n_len, 3100);
    EXPECT_GT(other.t_mel_us, 0);
    expect_marker();
}

// ---------------------------------------------------------------------------
// bad input

TEST_F(Mel, BadSamplesAreRefusedAndLeaveTheSpectrogram) {
    const std::vector<float> audio = make_audio(10, 1);
    struct {
        const float * samples;
        int           n_samples;
    } cases[] = {{audio.data(), -1}, {audio.data(), INT_MIN}, {nullptr, 10}, {nullptr, -5}};
    for (const auto & c : cases) {
        install_marker();
        EXPECT_EQ(kestu_pcm_to_mel(&ctx, c.samples, c.n_samples, 2), -1) << c.n_samples;
        EXPECT_TRUE(logged("kestu_pcm_to_mel_with_state: invalid samples")) << c.n_samples;
        expect_marker();
    }
}

TEST_F(Mel, BrokenFilterBankIsRefusedBeforeAnyRead) {
    struct {
        int32_t n_mel, n_fft;
        size_t  n_weights;
    } cases[] = {
        {80, 202, 80 * 202}, // one bin past Nyquist
        {80, 400, 80 * 400}, {80, 0, 0}, {0, 201, 0}, {-1, 201, 0}, {80, 201, 80 * 201 - 1},
    };
    const std::vector<float> audio = make_audio(1000, 1);
    for (const auto & c : cases) {
        install_marker();
        ctx.model.filters.n_mel = c.n_mel;
        ctx.model.filters.n_fft = c.n_fft;
        ctx.model.filters.data.assign(c.n_weights, 0.5f);
        EXPECT_EQ(kestu_pcm_to_mel(&ctx, audio.data(), 1000, 2), -1) << c.n_mel << " x " << c.n_fft;
        EXPECT_TRUE(logged("kestu_pcm_to_mel_with_state: invalid mel filter bank")) << c.n_mel << " x " << c.n_fft;
        ctx.model.filters.n_mel = N_MEL; // the next marker is installed through the context
        expect_marker();
    }
}

TEST_F(Mel, ContextFormsNeedADefaultState) {
    kestu_context bare;
    bare.model.filters = ctx.model.filters;
    const std::vector<float> audio = make_audio(100, 1);
    std::vector<float>       data((size_t) N_MEL * 3, 0.0f);

    EXPECT_EQ(kestu_pcm_to_mel(&bare, audio.data(), 100, 1), -1);
    EXPECT_EQ(kestu_set_mel(&bare, data.data(), 3, N_MEL), -1);
    EXPECT_EQ(kestu_pcm_to_mel(nullptr, audio.data(), 100, 1), -1);
    EXPECT_EQ(kestu_set_mel(nullptr, data.data(), 3, N_MEL), -1);
    EXPECT_EQ(kestu_pcm_to_mel_with_state(&ctx, nullptr, audio.data(), 100, 1), -1);
    EXPECT_EQ(kestu_set_mel_with_state(&ctx, nullptr, data.data(), 3, N_MEL), -1);
    EXPECT_TRUE(logged("kestu_pcm_to_mel: the context has no default state"));
    EXPECT_TRUE(logged("kestu_set_mel: the context has no default state"));
}

TEST_F(Mel, SetMelInstallsValidDataAndRefusesTheRest) {
    std::vector<float> data((size_t) N_MEL * 5);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = (float) i * 0.5f;
    }
    // values an encoder run would turn into logits of NaN
    std::vector<float> with_nan = data, with_inf = data;
    with_nan[87]                = NAN;
    with_inf.back()             = -INFINITY;
    struct {
        const char *  name;
        const float * data;
        int           n_len, n_mel;
        int           result;
        const char *  message; // error line part, for refusals
    } cases[] = {
        {"installs", data.data(), 5, N_MEL, 0, nullptr},
        {"empty", nullptr, 0, N_MEL, 0, nullptr},
        {"other band count", data.data(), 5, 128,
         -1, "kestu_set_mel_with_state: invalid number of mel bands: 128 (expected 80)\n"},
        {"no bands", data.data(), 5, 0, -1, "invalid number of mel bands: 0 (expected 80)"},
        {"negative frames", data.data(), -1, N_MEL, -1, "kestu_set_mel_with_state: invalid number of frames"},
        {"frames x bands overflow", data.data(), INT_MAX / N_MEL + 1, N_MEL, -1,
         "kestu_set_mel_with_state: invalid number of frames"},
        {"no data", nullptr, 5, N_MEL, -1, "kestu_set_mel_with_state: no data"},
        {"a NaN", with_nan.data(), 5, N_MEL, KESTU_FULL_ERR_NON_FINITE,
         "kestu_set_mel_with_state: value 87 (band 17, frame 2) is not a finite number\n"},
        {"an infinity", with_inf.data(), 5, N_MEL, KESTU_FULL_ERR_NON_FINITE,
         "kestu_set_mel_with_state: value 399 (band 79, frame 4) is not a finite number\n"},
    };
    for (const auto & c : cases) {
        install_marker();
        EXPECT_EQ(kestu_set_mel(&ctx, c.data, c.n_len, c.n_mel), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(mel().n_len, c.n_len) << c.name;
            EXPECT_EQ(mel().n_len_org, c.n_len) << c.name;
            EXPECT_EQ(kestu_n_len(&ctx), c.n_len) << c.name;
            EXPECT_EQ(mel().n_mel, c.n_mel) << c.name;
            ASSERT_EQ(mel().data.size(), (size_t) c.n_len * c.n_mel) << c.name;
            if (c.n_len > 0) {
                EXPECT_EQ(memcmp(mel().data.data(), c.data, mel().data.size() * sizeof(float)), 0) << c.name;
            }
        } else {
            EXPECT_TRUE(logged(c.message)) << c.name;
            expect_marker();
        }
    }
}

} // namespace
