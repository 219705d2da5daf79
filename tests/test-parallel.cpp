// Parallel transcription on random-weight models: the chunks run on their
// own threads at once (with several thread counts) and merge in chunk order,
// shifted and held to their chunk; the caller's callbacks run one at a time;
// one processor is kestu_full; requests that cannot be shared, or that
// kestu_full refuses, are refused before any chunk runs; states, contexts
// and parallel runs are made on several threads at once.

#include "full-test-helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

using namespace full_test;

namespace {

constexpr int64_t SR = 16000;

// a short audio context keeps every window cheap (5.12 s windows)
ctx_ptr & small_model() {
    static ctx_ptr ctx = [] {
        kestu_model_recipe recipe = small_recipe(3);
        recipe.n_audio_ctx      = 256;
        return random_model(recipe, false);
    }();
    return ctx;
}

// one attempt per window: a random model would fall back through every temperature
kestu_full_params quick_params(int n_threads) {
    kestu_full_params p = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    p.n_threads         = n_threads;
    p.temperature_step  = 0.0f;
    return p;
}

// Random-weight models: the chunks' runs on their own threads at once, with
// several thread counts (this also runs under the thread checker).
TEST(ParallelThreads, ChunksRunAtOnceAndMergeInOrder) {
    ctx_ptr & ctx = small_model();
    ASSERT_NE(ctx, nullptr);
    // the last case: chunks just long enough to decode (125 ms, 112.5 needed)
    for (const auto [n_threads, n_processors, n_samples] :
         {std::tuple<int, int, int>{1, 2, 7 * SR}, {3, 3, 7 * SR}, {2, 4, 7 * SR}, {1, 8, SR}}) {
        SCOPED_TRACE(testing::Message() << n_threads << " threads, " << n_processors << " processors, "
                                        << n_samples << " samples");
        const std::vector<float> x = noise(n_samples, 9);
        kestu_full_params        p = quick_params(n_threads);
        // every chunk is encoded: none is skipped as too short
        std::atomic<int> encoder_runs{0};
        p.encoder_begin_callback = [](kestu_context *, kestu_state *, void * data) {
            ++*(std::atomic<int> *) data;
            return true;
        };
        p.encoder_begin_callback_user_data = &encoder_runs;
        ASSERT_EQ(kestu_full_parallel(ctx.get(), p, x.data(), (int) x.size(), n_processors), KESTU_FULL_OK);
        EXPECT_GE(encoder_runs.load(), n_processors);

        // the same chunks run one by one: their segments, shifted, in chunk order
        const int64_t per = (int64_t) x.size() / n_processors;
        size_t        i   = 0;
        int64_t       last = 0;
        for (int k = 0; k < n_processors; k++) {
            const int64_t begin = k * per;
            const int64_t count = k + 1 < n_processors ? per : (int64_t) x.size() - begin;
            const int64_t shift = begin * 100 / SR;
            const int64_t end   = (begin + count) * 100 / SR;
            state_ptr     st(kestu_init_state(ctx.get()));
            ASSERT_EQ(kestu_full_with_state(ctx.get(), st.get(), p, x.data() + begin, (int) count),
                      KESTU_FULL_OK);
            for (const kestu_segment & want : st->result) {
                ASSERT_LT(i, ctx->state->result.size());
                const kestu_segment & got = ctx->state->result[i++];
                SCOPED_TRACE(testing::Message() << "chunk " << k << " [" << got.t0 << ", " << got.t1 << "]");
                EXPECT_EQ(got.text, want.text);
                EXPECT_EQ(got.t0, std::max(std::min(want.t0 + shift, end), last));
                EXPECT_EQ(got.t1, std::max(std::min(want.t1 + shift, end), got.t0));
                EXPECT_GE(got.t0, shift);
                EXPECT_LE(got.t1, end);
                last = got.t1;
            }
        }
        EXPECT_EQ(i, ctx->state->result.size());
        if (n_samples > SR) {
            // a random model says nothing in a tenth of a second
            EXPECT_GE(i, (size_t) n_processors);
        }
    }
}

// A server sharing one model: two states of one context, two contexts, and
// two parallel runs (which make their states inside) made on two threads at
// once. Under the thread checker none of it may race.
TEST(ParallelThreads, StatesAndContextsAreMadeOnSeveralThreadsAtOnce) {
    kestu_model_recipe   recipe = small_recipe(3);
    recipe.n_audio_ctx          = 256;
    std::vector<uint8_t> bytes  = kestu_write_model(recipe);
    kestu_context_params cp     = cpu_params();
    cp.flash_attn               = false;

    // without a state, so that the two states build the context's first graphs
    ctx_ptr shared(kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(), cp));
    ASSERT_NE(shared, nullptr);
    state_ptr states[2];
    {
        std::thread a([&] { states[0].reset(kestu_init_state(shared.get())); });
        std::thread b([&] { states[1].reset(kestu_init_state(shared.get())); });
        a.join();
        b.join();
    }
    EXPECT_NE(states[0], nullptr);
    EXPECT_NE(states[1], nullptr);

    ctx_ptr ctxs[2];
    {
        std::thread a([&] { ctxs[0].reset(kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), cp)); });
        std::thread b([&] { ctxs[1].reset(kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), cp)); });
        a.join();
        b.join();
    }
    ASSERT_NE(ctxs[0], nullptr);
    ASSERT_NE(ctxs[1], nullptr);

    const std::vector<float> x = noise(3 * SR, 5);
    const kestu_full_params  p = quick_params(1);
    int                      status[2];
    {
        std::thread a([&] { status[0] = kestu_full_parallel(ctxs[0].get(), p, x.data(), (int) x.size(), 2); });
        std::thread b([&] { status[1] = kestu_full_parallel(ctxs[1].get(), p, x.data(), (int) x.size(), 2); });
        a.join();
        b.join();
    }
    // one model, one audio: the two runs agree
    const run_result r0 = result_of(status[0], *ctxs[0]->state);
    EXPECT_EQ(r0.status, KESTU_FULL_OK);
    EXPECT_GE(r0.texts.size(), 2u);
    EXPECT_EQ(result_of(status[1], *ctxs[1]->state), r0);
}

// The caller's callbacks, each of which sleeps a little to widen the window,
// count how many of them run at once: never more than one, although they
// are called from every chunk's thread.
TEST(ParallelThreads, CallerCallbacksRunOneAtATime) {
    ctx_ptr & ctx = small_model();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(7 * SR, 5);

    struct watch {
        std::atomic<int>          inside{0};
        std::atomic<int>          most{0};
        std::atomic<int>          calls{0};
        std::mutex                mutex;
        std::set<std::thread::id> threads;
        std::set<std::string>     kinds;

        void visit(const char * kind) {
            const int n = ++inside;
            for (int m = most.load(); n > m && !most.compare_exchange_weak(m, n);) {
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
                kinds.insert(kind);
            }
            calls++;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --inside;
        }
    };

    for (const auto [n_threads, n_processors] : {std::pair<int, int>{1, 2}, {2, 3}, {1, 4}}) {
        SCOPED_TRACE(testing::Message() << n_threads << " threads, " << n_processors << " processors");
        watch             w;
        kestu_full_params p = quick_params(n_threads);
        p.on_new_segment    = [](kestu_context *, kestu_state *, int, void * data) {
            ((watch *) data)->visit("segment");
        };
        p.on_new_segment_user_data = &w;
        p.on_progress              = [](kestu_context *, kestu_state *, int, void * data) {
            ((watch *) data)->visit("progress");
        };
        p.on_progress_user_data  = &w;
        p.encoder_begin_callback = [](kestu_context *, kestu_state *, void * data) {
            ((watch *) data)->visit("encoder");
            return true;
        };
        p.encoder_begin_callback_user_data = &w;
        p.on_abort                         = [](void * data) {
            ((watch *) data)->visit("abort");
            return false;
        };
        p.on_abort_user_data = &w;
        p.on_logits          = [](kestu_context *, kestu_state *, const kestu_token_data *, int, float *, void * data) {
            ((watch *) data)->visit("logits");
        };
        p.on_logits_user_data = &w;

        ASSERT_EQ(kestu_full_parallel(ctx.get(), p, x.data(), (int) x.size(), n_processors), KESTU_FULL_OK);
        EXPECT_EQ(w.most.load(), 1) << w.calls.load() << " calls";
        EXPECT_EQ(w.inside.load(), 0);
        EXPECT_EQ(w.threads.size(), (size_t) n_processors);
        EXPECT_EQ(w.kinds, (std::set<std::string>{"abort", "encoder", "logits", "progress", "segment"}));
    }
}

TEST(Parallel, OneProcessorIsAPlainRun) {
    kestu_context * ctx = small_model().get();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(6 * SR, 4);
    const kestu_full_params  p = quick_params(2);

    const run_result plain = result_of(kestu_full(ctx, p, x.data(), (int) x.size()), *ctx->state);
    const run_result one   = result_of(kestu_full_parallel(ctx, p, x.data(), (int) x.size(), 1), *ctx->state);
    EXPECT_EQ(one, plain);
    EXPECT_FALSE(plain.texts.empty());
}

TEST(Parallel, RequestsThatCannotBeSharedAreRefused) {
    kestu_context * ctx = small_model().get();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(SR, 2);
    kestu_full_params        p = quick_params(2);

    struct refusal {
        const char *      name;
        kestu_context *   ctx;
        const float *     samples;
        int               n_samples;
        int               n_processors;
        int               start_offset_ms;
        int               process_duration_ms;
        kestu_full_status status;
        const char *      line = "4 kestu_full_parallel: ";
    };
    // a sample kestu_full refuses, in the second chunk
    std::vector<float> x_nan = x;
    x_nan[3 * SR / 4]        = NAN;
    const std::vector<refusal> cases = {
        {"no processor", ctx, x.data(), SR, 0, 0, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"a negative count", ctx, x.data(), SR, -3, 0, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"an offset past the audio", ctx, x.data(), SR, 2, 2000, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"an offset at the end", ctx, x.data(), SR, 3, 1000, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"more processors than samples", ctx, x.data(), 5, 8, 0, 0, KESTU_FULL_ERR_N_PROCESSORS},
        // chunks too short to decode, each of which would cost a state and a thread
        {"chunks of 100 ms", ctx, x.data(), SR, 10, 0, 0, KESTU_FULL_ERR_N_PROCESSORS,
         "4 kestu_full_parallel: 16000 samples from the offset shared among 10 processors make chunks of 1600 "
         "samples, too short to decode (each needs 1800)\n"},
        {"chunks of 111 ms", ctx, x.data(), SR, 9, 0, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"chunks of 100 ms after the offset", ctx, x.data(), SR, 2, 800, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"chunks of 100 ms within the duration", ctx, x.data(), SR, 3, 0, 300, KESTU_FULL_ERR_N_PROCESSORS},
        {"ten thousand processors", ctx, x.data(), SR, 10000, 0, 0, KESTU_FULL_ERR_N_PROCESSORS},
        {"a negative offset", ctx, x.data(), SR, 2, -100, 0, KESTU_FULL_ERR_NEGATIVE_SPAN},
        {"a negative duration", ctx, x.data(), SR, 2, 0, -100, KESTU_FULL_ERR_NEGATIVE_SPAN},
        {"no samples", ctx, nullptr, SR, 2, 0, 0, KESTU_FULL_ERR_NULL_ARGUMENT},
        {"no context", nullptr, x.data(), SR, 2, 0, 0, KESTU_FULL_ERR_NULL_ARGUMENT},
        {"a NaN in the second half", ctx, x_nan.data(), SR, 2, 0, 0, KESTU_FULL_ERR_NON_FINITE,
         "4 kestu_full_with_state: sample 12000 is not a finite number\n"},
    };
    // no chunk may start its work before the request is refused
    std::atomic<int> encoder_runs{0};
    p.encoder_begin_callback = [](kestu_context *, kestu_state *, void * data) {
        ++*(std::atomic<int> *) data;
        return true;
    };
    p.encoder_begin_callback_user_data = &encoder_runs;
    // a result of an earlier run, which a refusal must not leave behind
    for (const refusal & c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(kestu_full(ctx, quick_params(2), x.data(), (int) x.size()), KESTU_FULL_OK);
        ASSERT_FALSE(ctx->state->result.empty());
        p.start_offset_ms     = c.start_offset_ms;
        p.process_duration_ms = c.process_duration_ms;
        log_capture log;
        EXPECT_EQ(kestu_full_parallel(c.ctx, p, c.samples, c.n_samples, c.n_processors), c.status);
        EXPECT_GE(log.count(c.line), 1);
        EXPECT_EQ(encoder_runs.load(), 0);
        if (c.ctx != nullptr) {
            EXPECT_TRUE(ctx->state->result.empty());
        }
    }

    // a finite sample that overflows the second chunk's spectrogram shows
    // only there, and refuses the request all the same
    std::vector<float> x_huge = x;
    x_huge[3 * SR / 4]        = 1e30f;
    p                         = quick_params(2);
    EXPECT_EQ(kestu_full(ctx, p, x_huge.data(), (int) x_huge.size()), KESTU_FULL_ERR_NON_FINITE);
    ASSERT_EQ(kestu_full(ctx, p, x.data(), (int) x.size()), KESTU_FULL_OK);
    EXPECT_EQ(kestu_full_parallel(ctx, p, x_huge.data(), (int) x_huge.size(), 2), KESTU_FULL_ERR_NON_FINITE);
    EXPECT_TRUE(ctx->state->result.empty());

    // the voice-activity pre-filter needs its model
    p                = quick_params(2);
    p.use_vad        = true;
    p.vad_model_file = nullptr;
    EXPECT_EQ(kestu_full_parallel(ctx, p, x.data(), (int) x.size(), 2), KESTU_FULL_ERR_NO_VAD_MODEL);
}

// A chunk whose decoding finds no possible token fails the whole request,
// whichever chunk it is: the others' segments alone would be an answer
// without that chunk's words.
TEST(Parallel, AChunkWithNoPossibleTokenFailsTheRequest) {
    kestu_context * ctx = small_model().get();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(6 * SR, 6);

    struct which {
        kestu_state * first;
        bool          in_first; // mask in the first chunk's state, else in the others
    };
    for (const bool in_first : {false, true}) {
        for (const int n_processors : {2, 3}) {
            SCOPED_TRACE(testing::Message() << (in_first ? "first chunk" : "later chunks") << ", " << n_processors
                                            << " processors");
            ASSERT_EQ(kestu_full(ctx, quick_params(2), x.data(), (int) x.size()), KESTU_FULL_OK);
            ASSERT_FALSE(ctx->state->result.empty());

            which             w{ctx->state, in_first};
            kestu_full_params p = quick_params(2);
            p.on_logits = [](kestu_context * c, kestu_state * st, const kestu_token_data *, int, float * logits,
                             void * data) {
                const which & w = *(const which *) data;
                if ((st == w.first) == w.in_first) {
                    std::fill(logits, logits + c->vocab.n_vocab, -INFINITY);
                }
            };
            p.on_logits_user_data = &w;
            EXPECT_EQ(kestu_full_parallel(ctx, p, x.data(), (int) x.size(), n_processors), KESTU_FULL_ERR_NO_TOKEN);
            EXPECT_TRUE(ctx->state->result.empty());
        }
    }
}

// A later chunk whose run fails (here its encoder is aborted) fails the
// request with that chunk's code instead of answering without its words.
TEST(Parallel, AFailedLaterChunkFailsTheRequest) {
    kestu_context * ctx = small_model().get();
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(6 * SR, 6);

    for (const int n_processors : {2, 3}) {
        SCOPED_TRACE(testing::Message() << n_processors << " processors");
        ASSERT_EQ(kestu_full(ctx, quick_params(2), x.data(), (int) x.size()), KESTU_FULL_OK);
        ASSERT_FALSE(ctx->state->result.empty());

        // the first chunk runs on the calling thread, the others on their own
        std::thread::id   caller = std::this_thread::get_id();
        kestu_full_params p      = quick_params(2);
        p.on_abort = [](void * data) { return std::this_thread::get_id() != *(const std::thread::id *) data; };
        p.on_abort_user_data = &caller;
        EXPECT_EQ(kestu_full_parallel(ctx, p, x.data(), (int) x.size(), n_processors), KESTU_FULL_ERR_ENCODE);
        EXPECT_TRUE(ctx->state->result.empty());
    }
}

} // namespace
