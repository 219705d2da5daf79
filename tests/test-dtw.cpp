// Token-level timestamps by dynamic time warping: the warping path against a
// brute-force minimum on small cost matrices, the median filter against a
// reference, and the shared model's clips, whose text tokens all get times
// inside their segment and the clip, in order; short windows and failures
// end without aborting.

#include "full-test-helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>

using namespace full_test;

namespace {

struct tevo_ctx_free {
    void operator()(tevo_context * c) const { tevo_free(c); }
};
using tevo_ctx_ptr = std::unique_ptr<tevo_context, tevo_ctx_free>;

tevo_ctx_ptr work_context(size_t bytes = 16 * 1024 * 1024) {
    tevo_init_params p = {bytes, nullptr, false};
    return tevo_ctx_ptr(tevo_init(p));
}

// x[i][j] of an [N tokens, M positions] matrix
tevo_tensor * cost_matrix(tevo_context * ctx, const std::vector<std::vector<float>> & x) {
    const int64_t N = (int64_t) x.size();
    const int64_t M = (int64_t) x[0].size();
    tevo_tensor * t = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, N, M);
    for (int64_t i = 0; i < N; i++) {
        for (int64_t j = 0; j < M; j++) {
            ((float *) t->data)[j * N + i] = x[i][j];
        }
    }
    return t;
}

std::vector<std::pair<int, int>> path_of(const tevo_tensor * p) {
    EXPECT_EQ(p->type, TEVO_TYPE_I32);
    EXPECT_EQ(p->ne[0], 2);
    std::vector<std::pair<int, int>> out;
    for (int64_t k = 0; k < p->ne[1]; k++) {
        out.push_back({((const int32_t *) p->data)[2 * k], ((const int32_t *) p->data)[2 * k + 1]});
    }
    return out;
}

// the cheapest sum over monotone paths from (0, 0) to (N-1, M-1)
double brute_force_min(const std::vector<std::vector<float>> & x, int i, int j) {
    const int N = (int) x.size();
    const int M = (int) x[0].size();
    if (i == N - 1 && j == M - 1) {
        return x[i][j];
    }
    double best = std::numeric_limits<double>::infinity();
    if (i + 1 < N) {
        best = std::min(best, brute_force_min(x, i + 1, j));
    }
    if (j + 1 < M) {
        best = std::min(best, brute_force_min(x, i, j + 1));
    }
    if (i + 1 < N && j + 1 < M) {
        best = std::min(best, brute_force_min(x, i + 1, j + 1));
    }
    return (double) x[i][j] + best;
}

TEST(DtwPath, FindsTheCheapestMonotonePath) {
    std::mt19937                          rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    int                                   n_checked = 0;
    for (int N = 1; N <= 4; N++) {
        for (int M = 1; M <= 6; M++) {
            for (int rep = 0; rep < 6; rep++) {
                std::vector<std::vector<float>> x(N, std::vector<float>(M));
                for (auto & row : x) {
                    for (float & v : row) {
                        v = dist(rng);
                    }
                }
                auto ctx  = work_context();
                auto path = path_of(kestu_dtw_path(ctx.get(), cost_matrix(ctx.get(), x)));

                SCOPED_TRACE(testing::Message() << N << " x " << M << " rep " << rep);
                ASSERT_FALSE(path.empty());
                EXPECT_EQ(path.front(), std::make_pair(0, 0));
                EXPECT_EQ(path.back(), std::make_pair(N - 1, M - 1));
                double sum = x[0][0];
                for (size_t k = 1; k < path.size(); k++) {
                    const int di = path[k].first - path[k - 1].first;
                    const int dj = path[k].second - path[k - 1].second;
                    EXPECT_TRUE((di == 1 && dj == 0) || (di == 0 && dj == 1) || (di == 1 && dj == 1))
                        << di << " " << dj;
                    sum += x[path[k].first][path[k].second];
                }
                EXPECT_NEAR(sum, brute_force_min(x, 0, 0), 1e-5);
                n_checked++;
            }
        }
    }
    EXPECT_EQ(n_checked, 4 * 6 * 6);
}

TEST(DtwPath, EqualCostsComeFromTheLeft) {
    auto ctx = work_context();
    // every predecessor of the last cell costs the same
    const auto path = path_of(kestu_dtw_path(ctx.get(), cost_matrix(ctx.get(), {{0, 0}, {0, 0}})));
    const std::vector<std::pair<int, int>> want = {{0, 0}, {1, 0}, {1, 1}};
    EXPECT_EQ(path, want);
}

TEST(DtwPath, EachRowStartsWhereItsCheapColumnsBegin) {
    // rows 0..3 cheap on columns 0, 1-2, 3-4, 5
    std::vector<std::vector<float>> x(4, std::vector<float>(6, 1.0f));
    const int                       first[] = {0, 1, 3, 5};
    const int                       last[]  = {0, 2, 4, 5};
    for (int i = 0; i < 4; i++) {
        for (int j = first[i]; j <= last[i]; j++) {
            x[i][j] = -1.0f;
        }
    }
    auto       ctx  = work_context();
    const auto path = path_of(kestu_dtw_path(ctx.get(), cost_matrix(ctx.get(), x)));
    int        row  = -1;
    for (const auto & e : path) {
        if (e.first != row) {
            EXPECT_EQ(e.first, row + 1);
            row = e.first;
            EXPECT_EQ(e.second, first[row]);
        }
    }
    EXPECT_EQ(row, 3);
}

// ---------------------------------------------------------------------------
// median filter

TEST(DtwMedianFilter, ReflectsAtBothEndsOfEachRow) {
    std::mt19937                          rng(5);
    std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
    for (int width : {3, 5, 7}) {
        for (int L : {width + 1, 13}) {
            SCOPED_TRACE(testing::Message() << "width " << width << " length " << L);
            auto          ctx = work_context();
            tevo_tensor * a   = tevo_new_tensor_3d(ctx.get(), TEVO_TYPE_F32, 2, 3, L);
            tevo_tensor * d   = tevo_new_tensor_3d(ctx.get(), TEVO_TYPE_F32, 2, 3, L);
            float *       av  = (float *) a->data;
            float *       dv  = (float *) d->data;
            for (int64_t i = 0; i < tevo_nelements(a); i++) {
                av[i] = dist(rng);
                dv[i] = 99.0f;
            }
            // only thread 0 works
            kestu_dtw_median_filter(d, a, 1, 2, &width);
            EXPECT_EQ(dv[0], 99.0f);
            kestu_dtw_median_filter(d, a, 0, 2, &width);

            for (int i = 0; i < 2; i++) {
                for (int j = 0; j < 3; j++) {
                    for (int k = 0; k < L; k++) {
                        std::vector<float> w;
                        for (int o = -width / 2; o <= width / 2; o++) {
                            int q = k + o;
                            q     = q < 0 ? -q : q >= L ? 2 * (L - 1) - q : q;
                            w.push_back(av[(q * 3 + j) * 2 + i]);
                        }
                        std::nth_element(w.begin(), w.begin() + width / 2, w.end());
                        EXPECT_EQ(dv[(k * 3 + j) * 2 + i], w[width / 2]) << i << " " << j << " " << k;
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// the shared model

ctx_ptr dtw_model(kestu_alignment_heads_preset preset, int n_top = -1, kestu_alignment_heads heads = {0, nullptr},
                  size_t work_memory = 0) {
    kestu_context_params cp = cpu_params();
    cp.flash_attn           = false;
    cp.dtw_token_timestamps = true;
    cp.dtw_aheads_preset    = preset;
    cp.dtw_n_top            = n_top;
    cp.dtw_aheads           = heads;
    if (work_memory > 0) {
        cp.dtw_work_memory = work_memory;
    }
    return ctx_ptr(kestu_init_from_file_with_params(model_path("digits-tiny-f16.bin").c_str(), cp));
}

const kestu_alignment_head k_custom_heads[] = {{0, 1}, {1, 0}, {1, 3}};

struct heads_case {
    const char *                 name;
    kestu_alignment_heads_preset preset;
    int                          n_top;
    kestu_alignment_heads        heads;
    std::vector<size_t>          clips; // which of the shipped ten
};

struct callback_log {
    int  calls      = 0;
    int  segments   = 0;
    bool times_seen = true; // every new segment's text tokens had times when reported
};

void on_segment(kestu_context * ctx, kestu_state * st, int n_new, void * user_data) {
    auto * log = (callback_log *) user_data;
    log->calls++;
    log->segments += n_new;
    for (size_t s = st->result.size() - n_new; s < st->result.size(); s++) {
        for (const kestu_token_data & t : st->result[s].tokens) {
            if (t.id < ctx->vocab.token_eot && t.t_dtw < 0) {
                log->times_seen = false;
            }
        }
    }
}

// every text token timed inside its segment and the clip, never going back
void expect_token_times(const kestu_context & ctx, const kestu_state & st, int64_t clip_cs) {
    int64_t last = 0;
    int     n    = 0;
    for (const kestu_segment & s : st.result) {
        for (const kestu_token_data & t : s.tokens) {
            if (t.id >= ctx.vocab.token_eot) {
                continue;
            }
            n++;
            EXPECT_GE(t.t_dtw, s.t0);
            EXPECT_LE(t.t_dtw, s.t1);
            EXPECT_GE(t.t_dtw, 0);
            EXPECT_LT(t.t_dtw, clip_cs);
            EXPECT_GE(t.t_dtw, last);
            last = t.t_dtw;
        }
    }
    EXPECT_GT(n, 0);
}

TEST(DtwSharedModel, EveryTextTokenGetsATimeInsideItsSegmentInOrder) {
    const std::vector<heads_case> cases = {
        {"both layers", KESTU_AHEADS_N_TOP_MOST, 2, {0, nullptr}, {0, 2, 5, 7, 9}},
        {"top layer", KESTU_AHEADS_N_TOP_MOST, 1, {0, nullptr}, {0, 3}},
        {"custom heads", KESTU_AHEADS_CUSTOM, -1, {3, k_custom_heads}, {7, 4}},
    };
    for (const heads_case & c : cases) {
        SCOPED_TRACE(c.name);
        ctx_ptr ctx = dtw_model(c.preset, c.n_top, c.heads);
        ASSERT_NE(ctx, nullptr);
        ASSERT_TRUE(ctx->params.dtw_token_timestamps);

        for (size_t i : c.clips) {
            const clip & k = sample_clips().at(i);
            SCOPED_TRACE(k.name);
            callback_log      log;
            kestu_full_params p        = worker_params(KESTU_SAMPLING_GREEDY, 2);
            p.on_new_segment           = on_segment;
            p.on_new_segment_user_data = &log;
            ASSERT_EQ(kestu_full(ctx.get(), p, k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
            // the extra decoder run does not change the text
            EXPECT_EQ(text_of(*ctx->state), k.text);
            expect_token_times(*ctx, *ctx->state, (int64_t) k.samples.size() / 160);
            EXPECT_EQ(log.segments, (int) ctx->state->result.size());
            EXPECT_GE(log.calls, 1);
            EXPECT_TRUE(log.times_seen);
        }
    }
}

TEST(DtwSharedModel, TimesFollowTheWindowsOfALongerInput) {
    // one clip in each of two windows (the model knows one clip per window)
    ctx_ptr ctx = dtw_model(KESTU_AHEADS_N_TOP_MOST, 2);
    ASSERT_NE(ctx, nullptr);
    const clip &       a = sample_clips().at(1); // "oh zero"
    const clip &       b = sample_clips().at(6); // "nine three"
    const int64_t      b_start_cs = 3000; // the second window starts with it
    std::vector<float> x(a.samples);
    x.resize((size_t) b_start_cs * 160, 0.0f);
    x.insert(x.end(), b.samples.begin(), b.samples.end());

    kestu_full_params p = worker_params(KESTU_SAMPLING_GREEDY, 2);
    ASSERT_EQ(kestu_full(ctx.get(), p, x.data(), (int) x.size()), KESTU_FULL_OK);
    ASSERT_EQ(ctx->state->result.size(), 2u);
    ASSERT_EQ(text_of(*ctx->state), a.text + " " + b.text);
    expect_token_times(*ctx, *ctx->state, (int64_t) x.size() / 160);

    // each window's tokens within the window; its first word within its clip
    const int64_t windows[2][2] = {{0, 3000}, {3000, (int64_t) x.size() / 160}};
    const int64_t clips[2][2]   = {{0, (int64_t) a.samples.size() / 160},
                                   {b_start_cs, b_start_cs + (int64_t) b.samples.size() / 160}};
    for (int w = 0; w < 2; w++) {
        SCOPED_TRACE(w);
        bool first = true;
        for (const kestu_token_data & t : ctx->state->result[w].tokens) {
            if (t.id >= ctx->vocab.token_eot) {
                continue;
            }
            EXPECT_GE(t.t_dtw, windows[w][0]);
            EXPECT_LT(t.t_dtw, windows[w][1]);
            if (first) {
                EXPECT_GE(t.t_dtw, clips[w][0]);
                EXPECT_LT(t.t_dtw, clips[w][1]);
                first = false;
            }
        }
    }
}

TEST(DtwSharedModel, AWindowShorterThanTheFilterLeavesTimesUnset) {
    ctx_ptr ctx = dtw_model(KESTU_AHEADS_N_TOP_MOST, 2);
    ASSERT_NE(ctx, nullptr);
    const clip &      k = sample_clips().at(0);
    kestu_full_params p = worker_params(KESTU_SAMPLING_GREEDY, 2);
    ASSERT_EQ(kestu_full(ctx.get(), p, k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
    kestu_state & st = *ctx->state;
    ASSERT_FALSE(st.result.empty());

    // 14 frames: 7 audio positions, not more than the filter's 7
    for (int n_frames : {11, 14}) {
        callback_log log;
        p.on_new_segment           = on_segment;
        p.on_new_segment_user_data = &log;
        EXPECT_TRUE(kestu_dtw_timestamps(*ctx, st, p, 0, (int) st.result.size(), 0, n_frames, 7, 2));
        for (const kestu_token_data & t : st.result[0].tokens) {
            EXPECT_EQ(t.t_dtw, -1);
        }
        EXPECT_EQ(log.segments, (int) st.result.size());
    }

    // 16 frames: 8 positions, warped
    p.on_new_segment = nullptr;
    EXPECT_TRUE(kestu_dtw_timestamps(*ctx, st, p, 0, (int) st.result.size(), 100, 16, 7, 2));
    for (const kestu_token_data & t : st.result[0].tokens) {
        if (t.id < ctx->vocab.token_eot) {
            EXPECT_GE(t.t_dtw, 100);
            EXPECT_LT(t.t_dtw, 116);
        }
    }
}

TEST(DtwSharedModel, AFailedDecoderRunIsReportedNotFatal) {
    ctx_ptr ctx = dtw_model(KESTU_AHEADS_N_TOP_MOST, 2);
    ASSERT_NE(ctx, nullptr);
    const clip &      k = sample_clips().at(0);
    kestu_full_params p = worker_params(KESTU_SAMPLING_GREEDY, 2);
    ASSERT_EQ(kestu_full(ctx.get(), p, k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
    kestu_state & st = *ctx->state;

    // an audio context the decoder refuses
    callback_log log;
    p.on_new_segment           = on_segment;
    p.on_new_segment_user_data = &log;
    st.exp_n_audio_ctx         = ctx->model.hparams.n_audio_ctx + 1;
    {
        log_capture lines;
        EXPECT_FALSE(kestu_dtw_timestamps(*ctx, st, p, 0, (int) st.result.size(), 0, 200, 7, 2));
        EXPECT_EQ(lines.count("DECODER FAILED"), 1);
    }
    EXPECT_EQ(log.calls, 0);
    st.exp_n_audio_ctx = 0;

    // the state is still usable
    ASSERT_EQ(kestu_full(ctx.get(), worker_params(), k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
    EXPECT_EQ(text_of(st), k.text);
}

TEST(DtwSharedModel, TooLittleWorkMemoryEndsTheRunWithAnError) {
    ctx_ptr ctx = dtw_model(KESTU_AHEADS_N_TOP_MOST, 2, {0, nullptr}, 64 * 1024);
    ASSERT_NE(ctx, nullptr);
    const clip & k = sample_clips().at(0);
    log_capture  lines;
    EXPECT_EQ(kestu_full(ctx.get(), worker_params(), k.samples.data(), (int) k.samples.size()), KESTU_FULL_ERR_DTW);
    EXPECT_EQ(lines.count("work memory"), 1);
}

TEST(DtwSharedModel, WorkMemoryThatCannotBeHadEndsTheRunWithAnError) {
    const clip & k = sample_clips().at(0);
    // a pool of 1 TiB may be granted where memory is overcommitted; the run
    // then simply succeeds
    void *     probe   = std::malloc(size_t(1) << 40);
    const bool granted = probe != nullptr;
    std::free(probe);

    const size_t sizes[] = {size_t(1) << 40, SIZE_MAX};
    for (size_t bytes : sizes) {
        SCOPED_TRACE(bytes);
        ctx_ptr ctx = dtw_model(KESTU_AHEADS_N_TOP_MOST, 2, {0, nullptr}, bytes);
        ASSERT_NE(ctx, nullptr);
        {
            log_capture lines;
            const int   status = kestu_full(ctx.get(), worker_params(), k.samples.data(), (int) k.samples.size());
            if (bytes == SIZE_MAX || !granted) {
                EXPECT_EQ(status, KESTU_FULL_ERR_DTW);
                EXPECT_EQ(lines.count("failed to allocate"), 1);
            } else {
                EXPECT_EQ(status, KESTU_FULL_OK);
            }
        }
        // the state is still good for a run that can have its memory
        ctx->params.dtw_work_memory = kestu_context_default_params().dtw_work_memory;
        ASSERT_EQ(kestu_full(ctx.get(), worker_params(), k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
        EXPECT_EQ(text_of(*ctx->state), k.text);
        expect_token_times(*ctx, *ctx->state, (int64_t) k.samples.size() * 100 / 16000);
    }
}

TEST(DtwSharedModel, FlashAttentionTurnsTimeWarpingOff) {
    kestu_context_params cp = cpu_params();
    cp.flash_attn           = true;
    cp.dtw_token_timestamps = true;
    cp.dtw_aheads_preset    = KESTU_AHEADS_N_TOP_MOST;
    cp.dtw_n_top            = 1;
    ctx_ptr ctx(kestu_init_from_file_with_params(model_path("digits-tiny-f16.bin").c_str(), cp));
    ASSERT_NE(ctx, nullptr);
    const clip & k = sample_clips().at(2);
    ASSERT_EQ(kestu_full(ctx.get(), worker_params(), k.samples.data(), (int) k.samples.size()), KESTU_FULL_OK);
    for (const kestu_segment & s : ctx->state->result) {
        for (const kestu_token_data & t : s.tokens) {
            EXPECT_EQ(t.t_dtw, -1);
        }
    }
}

} // namespace
