// The transcription driver on the shipped model and on small random-weight
// models: requests refused before any work (and what each refusal returns),
// the return codes of failing runs and callbacks, the temperature list and
// temperatures too small to divide by, the prompt budget, the no-speech
// probability, the audio context of language detection and of the window
// advance, the caller's callbacks on the caller's thread, segments cut at
// timestamp tokens, and the state a run leaves for the next one.

#include "full-test-helpers.h"

#include <atomic>
#include <cfloat>
#include <climits>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace full_test;

namespace {

kestu_context * digits() {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    EXPECT_NE(ctx, nullptr);
    return ctx;
}

const clip & first_clip() {
    return sample_clips().at(0);
}

int run(kestu_context * ctx, kestu_state * st, const kestu_full_params & p, const std::vector<float> & x) {
    return kestu_full_with_state(ctx, st, p, x.data(), (int) x.size());
}

// ---------------------------------------------------------------------------
// temperatures

TEST(FullTemperatures, ListFromStartAndStep) {
    struct tcase {
        float              start;
        float              step;
        std::vector<float> want;
    };
    const std::vector<tcase> cases = {
        {0.0f, 0.2f, {0.0f, 0.2f, 0.4f, 0.6f, 0.8f, 1.0f}},
        {0.5f, 0.2f, {0.5f, 0.7f, 0.9f}},
        {0.0f, 0.0f, {0.0f}},
        {0.3f, -0.1f, {0.3f}},
        // a start above 1 still makes one attempt
        {1.5f, 0.2f, {1.5f}},
        {1.0f, 0.5f, {1.0f}},
    };
    for (const tcase & c : cases) {
        std::vector<float> want;
        // the same float additions as the list
        float t = c.start;
        for (size_t i = 0; i < c.want.size(); ++i) {
            want.push_back(i == 0 ? c.start : (t += c.step));
        }
        EXPECT_EQ(kestu_temperature_list(c.start, c.step), want) << c.start << " " << c.step;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_NEAR(want[i], c.want[i], 1e-6f);
        }
    }
}

TEST(FullTemperatures, TinyStepsAreBoundedAndNeverRepeat) {
    for (float step : {1e-9f, 1e-5f, FLT_MIN}) {
        const std::vector<float> list = kestu_temperature_list(0.0f, step);
        EXPECT_GE(list.size(), 1u);
        EXPECT_LE(list.size(), 128u) << step;
        for (size_t i = 1; i < list.size(); ++i) {
            EXPECT_GT(list[i], list[i - 1]);
        }
    }
    // a start where the step is lost in rounding at once
    EXPECT_EQ(kestu_temperature_list(0.5f, 1e-9f), std::vector<float>{0.5f});
}

// A temperature so small that dividing by it overflows the logits left
// several +inf and no token: it takes the most probable one, as 0 does.
TEST(FullTemperatures, ATemperatureTooSmallToDivideByGivesTheTextOfTemperatureZero) {
    kestu_context * ctx = digits();
    const clip &    x   = first_clip();
    ASSERT_EQ(kestu_full(ctx, worker_params(), x.samples.data(), (int) x.samples.size()), KESTU_FULL_OK);
    const std::string want = text_of(*ctx->state);
    EXPECT_EQ(want, x.text);
    for (const float t : {1e-38f, FLT_TRUE_MIN}) {
        SCOPED_TRACE(t);
        kestu_full_params p = worker_params();
        p.start_temperature = t;
        ASSERT_EQ(kestu_full(ctx, p, x.samples.data(), (int) x.samples.size()), KESTU_FULL_OK);
        EXPECT_EQ(text_of(*ctx->state), want);
    }
}

// ---------------------------------------------------------------------------
// refusals and failures

// " yes" | " no", for refusals that need a grammar
const kestu_grammar_element k_yes_no[] = {
    {KESTU_GRETYPE_CHAR, ' '}, {KESTU_GRETYPE_CHAR, 'y'}, {KESTU_GRETYPE_CHAR, 'e'}, {KESTU_GRETYPE_CHAR, 's'},
    {KESTU_GRETYPE_ALT, 0},    {KESTU_GRETYPE_CHAR, ' '}, {KESTU_GRETYPE_CHAR, 'n'}, {KESTU_GRETYPE_CHAR, 'o'},
    {KESTU_GRETYPE_END, 0},
};
const kestu_grammar_element * const k_yes_no_rules[] = {k_yes_no};

void with_grammar_penalty(kestu_full_params & p, float penalty) {
    p.grammar_rule_list      = k_yes_no_rules;
    p.grammar_rule_count     = 1;
    p.grammar_reject_penalty = penalty;
}

struct refusal_case {
    const char *                                         name;
    std::function<void(kestu_full_params &, std::vector<float> &)> change;
    int                                                  code;
    const char *                                         log_part;
    // a state that already holds a run's spectrogram, asked with no samples
    // and this count in place of the samples' own
    bool after_run = false;
    int  n_samples = 0;
};

// the pre-filter on (its model is never reached when the request is refused)
void vad_with_threshold(kestu_full_params & p, float threshold) {
    p.use_vad                       = true;
    p.vad_model_file                = "no-such-vad-model.bin";
    p.vad_settings.speech_threshold = threshold;
}

TEST(FullRefusals, BadRequestsAreRefusedBeforeAnyWork) {
    kestu_context * ctx = digits();
    ASSERT_NE(ctx, nullptr);
    const std::vector<refusal_case> cases = {
        {"n_threads 0", [](kestu_full_params & p, std::vector<float> &) { p.n_threads = 0; },
         KESTU_FULL_ERR_N_THREADS, "n_threads"},
        {"n_threads -3", [](kestu_full_params & p, std::vector<float> &) { p.n_threads = -3; },
         KESTU_FULL_ERR_N_THREADS, "n_threads"},
        {"negative offset", [](kestu_full_params & p, std::vector<float> &) { p.start_offset_ms = -10; },
         KESTU_FULL_ERR_NEGATIVE_SPAN, "negative"},
        {"negative duration", [](kestu_full_params & p, std::vector<float> &) { p.process_duration_ms = -1; },
         KESTU_FULL_ERR_NEGATIVE_SPAN, "negative"},
        {"NaN sample", [](kestu_full_params &, std::vector<float> & x) { x[1234] = NAN; },
         KESTU_FULL_ERR_NON_FINITE, "sample 1234 is not a finite number"},
        {"infinite sample", [](kestu_full_params &, std::vector<float> & x) { x.back() = -INFINITY; },
         KESTU_FULL_ERR_NON_FINITE, "not a finite number"},
        // finite, but its power overflows float: the spectrogram is refused
        {"sample of 1e30", [](kestu_full_params &, std::vector<float> & x) { x[1234] = 1e30f; },
         KESTU_FULL_ERR_NON_FINITE, "spectrogram is not finite"},
        {"invalid pattern", [](kestu_full_params & p, std::vector<float> &) { p.suppress_pattern = "([a-z"; },
         KESTU_FULL_ERR_SUPPRESS_PATTERN, "invalid suppress_pattern"},
        {"NaN start temperature",
         [](kestu_full_params & p, std::vector<float> &) { p.start_temperature = NAN; }, KESTU_FULL_ERR_TEMPERATURE,
         "must be finite"},
        {"infinite step", [](kestu_full_params & p, std::vector<float> &) { p.temperature_step = INFINITY; },
         KESTU_FULL_ERR_TEMPERATURE, "must be finite"},
        {"NaN grammar penalty", [](kestu_full_params & p, std::vector<float> &) { with_grammar_penalty(p, NAN); },
         KESTU_FULL_ERR_GRAMMAR_PENALTY, "grammar_reject_penalty (nan) must be a number above -inf"},
        {"-inf grammar penalty",
         [](kestu_full_params & p, std::vector<float> &) { with_grammar_penalty(p, -INFINITY); },
         KESTU_FULL_ERR_GRAMMAR_PENALTY, "grammar_reject_penalty (-inf) must be a number above -inf"},
        {"audio_ctx one above the model's",
         [](kestu_full_params & p, std::vector<float> &) { p.audio_ctx = 1501; }, KESTU_FULL_ERR_AUDIO_CTX,
         "audio_ctx is larger than the maximum allowed (1501 > 1500)"},
        {"9 greedy candidates", [](kestu_full_params & p, std::vector<float> &) { p.greedy_candidates = 9; },
         KESTU_FULL_ERR_TOO_MANY_DECODERS, "too many decoders requested (9), max = 8"},
        {"9 beams",
         [](kestu_full_params & p, std::vector<float> &) {
             p = worker_params(KESTU_SAMPLING_BEAM_SEARCH);
             p.beam_width = 9;
         },
         KESTU_FULL_ERR_TOO_MANY_DECODERS, "too many decoders requested (9), max = 8"},
        // the pre-filter's threshold is a probability; NaN would find no speech
        {"voice-activity threshold NaN",
         [](kestu_full_params & p, std::vector<float> &) { vad_with_threshold(p, NAN); },
         KESTU_FULL_ERR_VAD_THRESHOLD, "speech_threshold must be a number from 0 to 1 (nan)"},
        {"voice-activity threshold 1.5",
         [](kestu_full_params & p, std::vector<float> &) { vad_with_threshold(p, 1.5f); },
         KESTU_FULL_ERR_VAD_THRESHOLD, "speech_threshold must be a number from 0 to 1 (1.500000)"},
        {"voice-activity threshold -0.5",
         [](kestu_full_params & p, std::vector<float> &) { vad_with_threshold(p, -0.5f); },
         KESTU_FULL_ERR_VAD_THRESHOLD, "speech_threshold must be a number from 0 to 1 (-0.500000)"},
        {"audio_ctx -1", [](kestu_full_params & p, std::vector<float> &) { p.audio_ctx = -1; },
         KESTU_FULL_ERR_AUDIO_CTX, "audio_ctx must not be negative (-1)"},
        {"audio_ctx INT_MIN", [](kestu_full_params & p, std::vector<float> &) { p.audio_ctx = INT_MIN; },
         KESTU_FULL_ERR_AUDIO_CTX, "audio_ctx must not be negative"},
        // the earlier run's spectrogram must not be transcribed again
        {"n_samples -1 after a run", [](kestu_full_params &, std::vector<float> &) {}, KESTU_FULL_ERR_NEGATIVE_SPAN,
         "negative n_samples (-1)", true, -1},
        {"n_samples -16000 after a run", [](kestu_full_params &, std::vector<float> &) {},
         KESTU_FULL_ERR_NEGATIVE_SPAN, "negative n_samples (-16000)", true, -16000},
        {"n_samples INT_MIN after a run", [](kestu_full_params &, std::vector<float> &) {},
         KESTU_FULL_ERR_NEGATIVE_SPAN, "negative n_samples", true, INT_MIN},
    };

    for (const refusal_case & c : cases) {
        SCOPED_TRACE(c.name);
        state_ptr st(kestu_init_state(ctx));
        ASSERT_NE(st, nullptr);
        if (c.after_run) {
            ASSERT_EQ(run(ctx, st.get(), worker_params(), first_clip().samples), KESTU_FULL_OK);
            ASSERT_FALSE(st->result.empty());
        }
        // an earlier run's segment must not pass for this run's result
        st->result.push_back(kestu_segment{0, 100, "old", 0.0f, {}, false});
        const int32_t n_encode = st->n_encode;
        const int     n_len    = st->mel.n_len;

        kestu_full_params  p = worker_params();
        std::vector<float> x = first_clip().samples;
        c.change(p, x);
        log_capture log;
        if (c.after_run) {
            EXPECT_EQ(kestu_full_with_state(ctx, st.get(), p, nullptr, c.n_samples), c.code);
        } else {
            EXPECT_EQ(run(ctx, st.get(), p, x), c.code);
        }
        EXPECT_EQ(log.count(c.log_part), 1);
        EXPECT_TRUE(st->result.empty());
        EXPECT_EQ(st->n_encode, n_encode);
        EXPECT_EQ(st->mel.n_len, n_len); // not even the spectrogram was made
        if (!c.after_run) {
            EXPECT_EQ(n_len, 0);
        }
    }
}

TEST(FullRefusals, MissingContextStateOrSamples) {
    kestu_context *   ctx = digits();
    kestu_full_params p   = worker_params();
    const clip &      c   = first_clip();

    EXPECT_EQ(kestu_full(nullptr, p, c.samples.data(), 100), KESTU_FULL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(kestu_full_with_state(nullptr, ctx->state, p, c.samples.data(), 100), KESTU_FULL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(kestu_full_with_state(ctx, nullptr, p, c.samples.data(), 100), KESTU_FULL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(kestu_full(ctx, p, nullptr, 100), KESTU_FULL_ERR_NULL_ARGUMENT);

    ctx_ptr no_state(kestu_init_from_file_with_params_no_state(model_path("digits-tiny-f16.bin").c_str(),
                                                                cpu_params()));
    ASSERT_NE(no_state, nullptr);
    ASSERT_EQ(no_state->state, nullptr);
    log_capture log;
    EXPECT_EQ(kestu_full(no_state.get(), p, c.samples.data(), (int) c.samples.size()),
              KESTU_FULL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(log.count("the context has no state"), 1);
}

TEST(FullRefusals, UnknownLanguageOfAMultilingualModel) {
    kestu_model_recipe recipe = small_recipe();
    recipe.n_vocab          = 51865; // multilingual: 99 language tokens
    ctx_ptr ctx           = random_model(recipe);
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(ctx->vocab.is_multilingual());

    const std::vector<float> x = noise(16000, 5);
    kestu_full_params        p = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    p.n_threads                = 2;
    p.temperature_step         = 0.0f;
    for (const char * lang : {"xx", "klingon", ""}) {
        if (lang[0] == '\0') {
            continue; // empty asks for detection
        }
        p.language = lang;
        log_capture log;
        EXPECT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_ERR_UNKNOWN_LANGUAGE) << lang;
        EXPECT_EQ(log.count("unknown language"), 2) << lang; // the lookup's line and the driver's
        EXPECT_EQ(ctx->state->n_encode, 0);
    }
    // the 100th language has no token in a vocabulary of 99
    p.language = kestu_lang_str(99);
    EXPECT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_ERR_UNKNOWN_LANGUAGE);

    p.language = "de";
    EXPECT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_OK);
    EXPECT_EQ(ctx->state->lang_id, kestu_lang_id("de"));
}

TEST(FullLanguage, EnglishOnlyModelsAreEnglishWithoutDetection) {
    kestu_context * ctx = digits();
    ASSERT_NE(ctx, nullptr);
    ASSERT_FALSE(ctx->vocab.is_multilingual());
    const int                  en = kestu_lang_id("en");
    const std::vector<float> & x  = first_clip().samples;

    // what an English run does
    state_ptr english(kestu_init_state(ctx));
    ASSERT_NE(english, nullptr);
    ASSERT_EQ(run(ctx, english.get(), worker_params(), x), KESTU_FULL_OK);
    const run_result want = result_of(KESTU_FULL_OK, *english);

    for (const char * lang : {(const char *) nullptr, "", "auto"}) {
        SCOPED_TRACE(lang == nullptr ? "null" : lang);
        state_ptr st(kestu_init_state(ctx));
        ASSERT_NE(st, nullptr);
        kestu_full_params p = worker_params();
        p.language          = lang;
        log_capture log;
        EXPECT_EQ(result_of(run(ctx, st.get(), p, x), *st), want);
        EXPECT_EQ(kestu_full_lang_id_from_state(st.get()), en);
        EXPECT_EQ(log.count("auto-detected language"), 0);
        EXPECT_EQ(st->n_encode, english->n_encode); // no encoder run of a detection

        // a later English run on the state reports English as well
        p.language = "en";
        EXPECT_EQ(result_of(run(ctx, st.get(), p, x), *st), want);
        EXPECT_EQ(kestu_full_lang_id_from_state(st.get()), en);

        // asked for the language alone: English, at once
        p.language             = lang;
        p.detect_language_only = true;
        const int32_t n_encode = st->n_encode;
        EXPECT_EQ(run(ctx, st.get(), p, x), KESTU_FULL_OK);
        EXPECT_TRUE(st->result.empty());
        EXPECT_EQ(kestu_full_lang_id_from_state(st.get()), en);
        EXPECT_EQ(st->n_encode, n_encode);
        EXPECT_EQ(log.count("auto-detected language"), 0);
    }
}

TEST(FullFailures, AbortedRunsReturnTheirStepsCode) {
    // on_abort is asked after every encoder and decoder run: the k-th answer
    // true fails the encoder (1), the prompt decode (2), a token step (3)
    kestu_context * ctx = digits();
    struct abort_at {
        int calls = 0;
        int at    = 0;
    };
    for (const auto & c : std::vector<std::pair<int, int>>{{1, KESTU_FULL_ERR_ENCODE},
                                                          {2, KESTU_FULL_ERR_PROMPT_DECODE},
                                                          {3, KESTU_FULL_ERR_DECODE}}) {
        abort_at          a;
        a.at                = c.first;
        kestu_full_params p = worker_params();
        p.on_abort          = [](void * data) {
            auto * s = (abort_at *) data;
            return ++s->calls == s->at;
        };
        p.on_abort_user_data = &a;
        log_capture log;
        EXPECT_EQ(kestu_full(ctx, p, first_clip().samples.data(), (int) first_clip().samples.size()), c.second);
        EXPECT_EQ(log.count(c.first == 1 ? "failed to encode" : "failed to decode"), 1);
    }
}

TEST(FullFailures, FailedSpectrogramIsNotReplacedByTheLastOne) {
    ctx_ptr ctx = random_model(small_recipe());
    ASSERT_NE(ctx, nullptr);
    kestu_full_params p = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    p.n_threads         = 2;
    p.temperature_step  = 0.0f;
    const std::vector<float> x = noise(2 * 16000, 8);
    ASSERT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_OK);
    ASSERT_FALSE(ctx->state->result.empty());

    // a filter bank that cannot be used: the spectrogram fails
    ctx->model.filters.data.clear();
    log_capture log;
    EXPECT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_ERR_INTERNAL);
    EXPECT_EQ(log.count("failed to compute log mel spectrogram"), 1);
    EXPECT_TRUE(ctx->state->result.empty());
    EXPECT_EQ(ctx->state->n_encode, 1);
}

TEST(FullFailures, EncoderBeginCallbackStopsTheRun) {
    kestu_context *   ctx = digits();
    kestu_full_params p   = worker_params();
    p.encoder_begin_callback = [](kestu_context *, kestu_state *, void *) { return false; };
    const clip & c           = first_clip();
    EXPECT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_TRUE(ctx->state->result.empty());

    // an English-only model detects nothing: stopped at the window as in English
    p.language = "auto";
    EXPECT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_TRUE(ctx->state->result.empty());

    kestu_model_recipe recipe = small_recipe();
    recipe.n_vocab            = 51865;
    ctx_ptr multilingual      = random_model(recipe);
    ASSERT_NE(multilingual, nullptr);
    // before detection it is a failure
    EXPECT_EQ(kestu_full(multilingual.get(), p, c.samples.data(), (int) c.samples.size()),
              KESTU_FULL_ERR_LANG_DETECT);
    EXPECT_EQ(multilingual->state->n_encode, 0);
}

TEST(FullFailures, ExceptionsOfCallbacksDoNotCrossTheInterface) {
    kestu_context *   ctx = digits();
    kestu_full_params p   = worker_params();
    p.on_progress         = [](kestu_context *, kestu_state *, int, void *) { throw std::runtime_error("boom"); };
    log_capture  log;
    const clip & c = first_clip();
    EXPECT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_ERR_INTERNAL);
    EXPECT_EQ(log.count("kestu_full_with_state: boom"), 1);
}

// ---------------------------------------------------------------------------
// no possible token

// the caller's logits callback: counts its calls, and from the token count
// `from` on sets every logit to `value` (-inf, NaN) unless it is 0
struct logits_filter {
    std::atomic<int> calls{0};
    int              from  = 0;
    float            value = 0.0f;

    static void call(kestu_context * c, kestu_state *, const kestu_token_data *, int n_tokens, float * logits,
                     void * data) {
        auto * f = (logits_filter *) data;
        f->calls++;
        if (f->value != 0.0f && n_tokens >= f->from) {
            std::fill(logits, logits + c->vocab.n_vocab, f->value);
        }
    }
};

kestu_full_params with_filter(kestu_full_params p, logits_filter & f) {
    p.on_logits           = logits_filter::call;
    p.on_logits_user_data = &f;
    return p;
}

kestu_full_params beam_params() {
    kestu_full_params p = worker_params(KESTU_SAMPLING_BEAM_SEARCH);
    p.beam_width        = 5;
    return p;
}

// Filters that leave no token right after the prompt fail the run with its
// own code, and at once: nothing drawn has happened yet, so every temperature
// and candidate would meet the same row. The caller's filter is asked once.
TEST(FullNoToken, FiltersThatLeaveNoTokenFailTheRunAtOnce) {
    kestu_context * ctx = digits();
    struct filter_case {
        const char * name;
        float        value;   // what the callback writes
        const char * pattern; // suppress_pattern
    };
    const filter_case cases[] = {
        {"callback: every logit -inf", -INFINITY, nullptr},
        {"callback: every logit NaN", NAN, nullptr},
        {"suppress pattern matching every token", 0.0f, ".*"},
    };
    for (const auto & c : cases) {
        for (const bool beam : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (beam ? ", beam search" : ", greedy"));
            logits_filter f;
            f.value             = c.value;
            kestu_full_params p = with_filter(beam ? beam_params() : worker_params(), f);
            p.suppress_pattern  = c.pattern;
            log_capture  log;
            const clip & x = first_clip();
            EXPECT_EQ(kestu_full(ctx, p, x.samples.data(), (int) x.samples.size()), KESTU_FULL_ERR_NO_TOKEN);
            EXPECT_EQ(f.calls.load(), 1);
            EXPECT_EQ(log.count("no token is possible after the prompt"), 1);
            EXPECT_TRUE(ctx->state->result.empty());
        }
    }
    // the context serves the next request as before
    const clip & x = first_clip();
    ASSERT_EQ(kestu_full(ctx, worker_params(), x.samples.data(), (int) x.samples.size()), KESTU_FULL_OK);
    EXPECT_EQ(text_of(*ctx->state), x.text);
}

// A filter that leaves nothing after the first token fails every decoder at
// its second step, at every temperature: the run fails instead of answering
// with tokens nobody drew, and each attempt stops at that step.
TEST(FullNoToken, NoTokenAtALaterStepOfEveryAttemptFailsTheRun) {
    kestu_context * ctx = digits();
    for (const bool beam : {false, true}) {
        SCOPED_TRACE(beam ? "beam search" : "greedy");
        logits_filter f;
        f.from              = 1;
        f.value             = -INFINITY;
        kestu_full_params p = with_filter(beam ? beam_params() : worker_params(), f);
        log_capture       log;
        const clip &      x = first_clip();
        EXPECT_EQ(kestu_full(ctx, p, x.samples.data(), (int) x.samples.size()), KESTU_FULL_ERR_NO_TOKEN);
        EXPECT_EQ(log.count("every decoder came to a step with no possible token"), 1);
        EXPECT_TRUE(ctx->state->result.empty());
        // six temperatures, each asking once after the prompt and once per
        // decoder at the second step
        EXPECT_LE(f.calls.load(), 6 * (1 + KESTU_MAX_DECODERS));
    }
}

// Models with a non-finite weight: the logits after the prompt are NaN or
// hold several +inf, so the run fails after one step instead of decoding
// token 0 to the end of every window at every temperature.
TEST(FullNoToken, NonFiniteWeightsFailTheRunAfterOneStep) {
    struct weight_case {
        const char * tensor;
        size_t       index;
        float        value;
    };
    const kestu_model_recipe base    = small_recipe();
    const size_t             n_state = (size_t) base.n_text_state;
    const weight_case        cases[] = {
        {"decoder.token_embedding.weight", 1000 * n_state + 3, NAN}, // one text token's row
        {"encoder.conv1.weight", 0, NAN},
        {"decoder.ln.bias", 0, INFINITY},
    };
    const std::vector<float> x = noise(2 * 16000, 4);
    for (const auto & c : cases) {
        SCOPED_TRACE(c.tensor);
        kestu_model_recipe recipe = base;
        for (const kestu_writer_tensor & t : kestu_writer_tensors(base)) {
            if (t.name == c.tensor) {
                recipe.overrides[t.name]           = t.values;
                recipe.overrides[t.name][c.index] = c.value;
            }
        }
        ASSERT_EQ(recipe.overrides.size(), 1u);
        ctx_ptr ctx = random_model(recipe);
        ASSERT_NE(ctx, nullptr);
        for (const bool beam : {false, true}) {
            SCOPED_TRACE(beam ? "beam search" : "greedy");
            logits_filter           f;
            const kestu_full_params p = with_filter(beam ? beam_params() : worker_params(), f);
            EXPECT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_ERR_NO_TOKEN);
            EXPECT_EQ(f.calls.load(), 1);
            EXPECT_TRUE(ctx->state->result.empty());
        }
    }
}

// ---------------------------------------------------------------------------
// short audio, offsets and durations

TEST(FullSpans, TooShortAudioGivesNoSegmentsAndNoEncoderRun) {
    kestu_context * ctx = digits();
    const clip &    c   = first_clip();
    struct span_case {
        int  n_samples;
        int  offset_ms;
        int  duration_ms;
        bool too_short;
        bool encodes;
    };
    const int n = (int) c.samples.size();
    const std::vector<span_case> cases = {
        {1000, 0, 0, true, false}, // 6 frames
        {1600, 0, 0, true, false}, // 9 frames
        {0, 0, 0, true, false},    // no audio at all
        {n, 0, 90, true, false},
        {n, 0, 100, false, false}, // long enough, but a window needs more than 10 frames
        {n, 0, 200, false, true},
        {n, 60000, 0, true, false}, // the offset lies past the end
        {n, 60000, 5000, true, false},
        {n, 1000, 0, false, true},
    };
    for (const span_case & s : cases) {
        SCOPED_TRACE(testing::Message() << s.n_samples << " " << s.offset_ms << " " << s.duration_ms);
        state_ptr st(kestu_init_state(ctx));
        kestu_full_params p  = worker_params();
        p.start_offset_ms     = s.offset_ms;
        p.process_duration_ms = s.duration_ms;
        log_capture log;
        EXPECT_EQ(kestu_full_with_state(ctx, st.get(), p, c.samples.data(), s.n_samples), KESTU_FULL_OK);
        EXPECT_EQ(st->n_encode > 0, s.encodes);
        EXPECT_EQ(log.count("input is too short"), s.too_short ? 1 : 0);
        if (!s.encodes) {
            EXPECT_TRUE(st->result.empty());
        }
    }
}

TEST(FullSpans, ProgressRunsFromZeroToAHundred) {
    kestu_context *   ctx = digits();
    std::vector<int>  seen;
    kestu_full_params p = worker_params();
    p.on_progress       = [](kestu_context *, kestu_state *, int progress, void * data) {
        ((std::vector<int> *) data)->push_back(progress);
    };
    p.on_progress_user_data = &seen;
    const clip & c          = first_clip();
    ASSERT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_EQ(seen, (std::vector<int>{0, 100}));
}

// ---------------------------------------------------------------------------
// the audio context

TEST(FullAudioContext, WindowsAdvanceByTheFramesTheEncoderSaw) {
    // 60 s at an audio context of 512: each window sees 1024 frames, so the
    // windows must step by at most that, or most of the audio is skipped
    kestu_context *    ctx = digits();
    const clip &       c   = sample_clips().at(2);
    std::vector<float> x(60 * 16000, 0.0f);
    std::copy(c.samples.begin(), c.samples.end(), x.begin() + 4096 * 160);

    state_ptr         st(kestu_init_state(ctx));
    kestu_full_params p = worker_params();
    p.audio_ctx         = 512;
    ASSERT_EQ(run(ctx, st.get(), p, x), KESTU_FULL_OK);
    EXPECT_EQ(st->n_encode, 6); // windows at 0, 1024, ..., 5120 frames
    ASSERT_FALSE(st->result.empty());
    for (const kestu_segment & s : st->result) {
        EXPECT_EQ(s.t0 % 1024, 0) << s.t0;
        // the last window's segment ends with the audio (5999 frames)
        EXPECT_EQ(s.t1, std::min<int64_t>(s.t0 + 1024, 5999));
    }
    // the window of the clip holds speech
    bool found = false;
    for (const kestu_segment & s : st->result) {
        found = found || (s.t0 == 4096 && s.text.find("off") != std::string::npos);
    }
    EXPECT_TRUE(found);
}

TEST(FullAudioContext, LanguageDetectionUsesTheRunsAudioContext) {
    // only a multilingual model detects its language
    kestu_model_recipe recipe = small_recipe();
    recipe.n_vocab            = 51865;
    ctx_ptr model             = random_model(recipe);
    ASSERT_NE(model, nullptr);
    kestu_context *  ctx = model.get();
    state_ptr        st(kestu_init_state(ctx));
    std::vector<int> seen;

    kestu_full_params p      = worker_params();
    p.language               = "auto";
    p.audio_ctx              = 512;
    p.encoder_begin_callback = [](kestu_context *, kestu_state * state, void * data) {
        ((std::vector<int> *) data)->push_back(state->exp_n_audio_ctx);
        return true;
    };
    p.encoder_begin_callback_user_data = &seen;
    ASSERT_EQ(run(ctx, st.get(), p, first_clip().samples), KESTU_FULL_OK);
    ASSERT_GE(seen.size(), 2u);
    for (int n : seen) {
        EXPECT_EQ(n, 512);
    }
    // the windows then run as in the detected language
    const run_result detected = result_of(KESTU_FULL_OK, *st);
    kestu_full_params named   = worker_params();
    named.language            = kestu_lang_str(st->lang_id);
    named.audio_ctx           = 512;
    state_ptr other(kestu_init_state(ctx));
    EXPECT_EQ(result_of(run(ctx, other.get(), named, first_clip().samples), *other), detected);

    // detection only: the language and nothing else
    p.detect_language_only = true;
    ASSERT_EQ(run(ctx, st.get(), p, first_clip().samples), KESTU_FULL_OK);
    EXPECT_TRUE(st->result.empty());
    EXPECT_GE(st->lang_id, 0);
}

// ---------------------------------------------------------------------------
// prompts and the no-speech probability

TEST(FullPrompt, LongPromptsAreTrimmedWithAWarning) {
    // a text context of 64 allows 32 tokens of earlier text, the
    // previous-text token included
    ctx_ptr ctx = random_model(small_recipe());
    ASSERT_NE(ctx, nullptr);
    std::vector<kestu_token> prompt;
    for (int i = 0; i < 40; ++i) {
        prompt.push_back(1000 + i);
    }
    const std::vector<float> x = noise(2 * 16000, 4);

    for (bool repeat : {true, false}) {
        SCOPED_TRACE(repeat);
        state_ptr         st(kestu_init_state(ctx.get()));
        kestu_full_params p  = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
        p.n_threads          = 2;
        p.temperature_step   = 0.0f;
        p.prompt_token_ids   = prompt.data();
        p.prompt_token_count = (int) prompt.size();
        p.repeat_prompt_text = repeat;
        log_capture log;
        ASSERT_EQ(run(ctx.get(), st.get(), p, x), KESTU_FULL_OK);
        EXPECT_EQ(log.count("initial prompt is too long (40 tokens), will use only the last 31 tokens"), 1);
        if (repeat) {
            ASSERT_EQ(st->initial_prompt_tokens.size(), 31u);
            EXPECT_EQ(st->initial_prompt_tokens.front(), 1000 + 40 - 31);
        }
    }
}

TEST(FullPrompt, TinyBudgetsAndForeignTokensAreSafe) {
    kestu_context *          ctx    = digits();
    const std::vector<kestu_token> prompt = {1000, 1001, 1002, 1003, 1004};
    const clip &             c      = first_clip();

    // a budget of one token after a kept initial token leaves no room for past text
    for (int max_past : {1, 2, 3}) {
        state_ptr         st(kestu_init_state(ctx));
        kestu_full_params p    = worker_params();
        p.prompt_token_ids     = prompt.data();
        p.prompt_token_count   = (int) prompt.size();
        p.repeat_prompt_text   = true;
        p.max_past_text_tokens = max_past;
        st->past_text_tokens   = {1005, 1006, 1007};
        p.discard_past_text    = false;
        EXPECT_EQ(run(ctx, st.get(), p, c.samples), KESTU_FULL_OK) << max_past;
    }

    // ids the model has no embedding for are dropped
    const std::vector<kestu_token> bad = {-5, 1000, 51864, 1 << 30};
    kestu_full_params              p   = worker_params();
    p.prompt_token_ids                 = bad.data();
    p.prompt_token_count               = (int) bad.size();
    log_capture log;
    EXPECT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_EQ(log.count("dropped 3 prompt tokens outside the vocabulary"), 1);
}

TEST(FullPrompt, PromptTextIsTokenized) {
    kestu_context *   ctx = digits();
    state_ptr         st(kestu_init_state(ctx));
    kestu_full_params p = worker_params();
    p.prompt_text       = " zero one two";
    p.discard_past_text = false;
    ASSERT_EQ(run(ctx, st.get(), p, first_clip().samples), KESTU_FULL_OK);
    // the prompt went in front of the past text, and this window's text after it
    ASSERT_GE(st->past_text_tokens.size(), 3u);
    std::vector<kestu_token> want(3);
    ASSERT_EQ(kestu_tokenize(ctx, " zero one two", want.data(), 3), 3);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), st->past_text_tokens.begin()));
}

TEST(FullNoSpeech, ProbabilityComesFromThePromptsLastToken) {
    // the worker's prompt is [sot, no timestamps]; decode it again over the
    // same window and take the softmax of its last row in double precision
    kestu_context * ctx = digits();
    state_ptr       st(kestu_init_state(ctx));
    kestu_full_params p = worker_params();
    p.temperature_step  = 0.0f; // one attempt
    ASSERT_EQ(run(ctx, st.get(), p, first_clip().samples), KESTU_FULL_OK);
    const float got = st->no_speech_prob;

    const kestu_vocab &            v      = ctx->vocab;
    const std::vector<kestu_token> prompt = {v.token_sot, v.token_not};
    ASSERT_EQ(kestu_encode_with_state(ctx, st.get(), 0, 2), 0);
    ASSERT_EQ(kestu_decode_with_state(ctx, st.get(), prompt.data(), 2, 0, 2), 0);
    const int     n_vocab = ctx->model.hparams.n_vocab;
    const float * row     = st->logits.data() + n_vocab;
    double        m       = -INFINITY;
    for (int i = 0; i < n_vocab; ++i) {
        m = std::max(m, (double) row[i]);
    }
    double s = 0.0;
    for (int i = 0; i < n_vocab; ++i) {
        s += std::exp((double) row[i] - m);
    }
    const double want = std::exp((double) row[v.token_nosp] - m) / s;
    EXPECT_NEAR(got, want, 1e-6 + 1e-4 * want);
    EXPECT_GT(want, 0.0);
}

// ---------------------------------------------------------------------------
// callbacks, threads and what a run leaves in the state

TEST(FullCallbacks, LogitsCallbackRunsOnTheCallersThread) {
    kestu_context * ctx = digits();
    struct seen_t {
        std::thread::id  caller;
        std::atomic<int> calls{0};
        std::atomic<int> foreign{0};
        std::atomic<int> max_tokens{0};
    } seen;
    seen.caller = std::this_thread::get_id();

    kestu_full_params p  = worker_params(KESTU_SAMPLING_GREEDY, 4);
    p.start_temperature  = 0.5f; // five candidates from the first attempt
    p.on_logits          = [](kestu_context *, kestu_state *, const kestu_token_data *, int n_tokens, float *,
                     void * data) {
        auto * s = (seen_t *) data;
        s->calls++;
        if (std::this_thread::get_id() != s->caller) {
            s->foreign++;
        }
        s->max_tokens = std::max(s->max_tokens.load(), n_tokens);
    };
    p.on_logits_user_data = &seen;
    const clip & c        = first_clip();
    ASSERT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_GT(seen.calls.load(), 5 * 3);
    EXPECT_GT(seen.max_tokens.load(), 0);
    EXPECT_EQ(seen.foreign.load(), 0);
}

TEST(FullCallbacks, LogitsCallbackCanSteerTheTokens) {
    // every step may end the text: masking all but end-of-text gives nothing
    kestu_context *   ctx = digits();
    kestu_full_params p   = worker_params();
    p.suppress_leading_blank = false;
    p.on_logits           = [](kestu_context * c, kestu_state *, const kestu_token_data *, int, float * logits,
                     void *) {
        for (int i = 0; i < c->vocab.n_vocab; ++i) {
            if (i != c->vocab.token_eot) {
                logits[i] = -INFINITY;
            }
        }
    };
    const clip & c = first_clip();
    ASSERT_EQ(kestu_full(ctx, p, c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_EQ(text_of(*ctx->state), "");
}

TEST(FullState, VoiceActivityMapIsDroppedWithoutVad) {
    kestu_context * ctx           = digits();
    ctx->state->has_vad_segments = true;
    ctx->state->vad_mapping_table = {{0, 500}, {100, 600}};
    const clip & c                = first_clip();
    ASSERT_EQ(kestu_full(ctx, worker_params(), c.samples.data(), (int) c.samples.size()), KESTU_FULL_OK);
    EXPECT_FALSE(ctx->state->has_vad_segments);
    ASSERT_GE(kestu_full_n_segments(ctx), 1);
    EXPECT_EQ(kestu_full_get_segment_t0(ctx, 0), 0);
    ctx->state->vad_mapping_table.clear();
}

// The map an earlier filtered run left is dropped by every entry point, a
// refused run's included: times are reported as this run stored them.
TEST(FullState, VoiceActivityMapIsDroppedByEveryEntryPoint) {
    kestu_context * ctx = digits();
    state_ptr       own(kestu_init_state(ctx));
    ASSERT_NE(own, nullptr);
    const std::vector<float> & x   = first_clip().samples;
    std::vector<float>         bad = x;
    bad[7]                         = NAN;
    const kestu_full_params p      = worker_params();

    struct entry {
        const char *         name;
        kestu_state *        st;
        std::function<int()> call;
        int                  status;
    };
    const std::vector<entry> entries = {
        {"kestu_full_with_state on the context's state", ctx->state, [&] { return run(ctx, ctx->state, p, x); },
         KESTU_FULL_OK},
        {"kestu_full_with_state on a state of its own", own.get(), [&] { return run(ctx, own.get(), p, x); },
         KESTU_FULL_OK},
        {"a refused kestu_full_with_state", own.get(), [&] { return run(ctx, own.get(), p, bad); },
         KESTU_FULL_ERR_NON_FINITE},
        {"kestu_full_parallel", ctx->state,
         [&] { return kestu_full_parallel(ctx, p, x.data(), (int) x.size(), 2); }, KESTU_FULL_OK},
        {"a refused kestu_full_parallel", ctx->state,
         [&] { return kestu_full_parallel(ctx, p, x.data(), (int) x.size(), 0); }, KESTU_FULL_ERR_N_PROCESSORS},
    };
    for (const entry & e : entries) {
        SCOPED_TRACE(e.name);
        e.st->has_vad_segments  = true;
        e.st->vad_mapping_table = {{0, 500}, {100, 600}};
        e.st->vad_segments      = {{1000, 1200, 0, 200}};
        ASSERT_EQ(e.call(), e.status);
        EXPECT_EQ(kestu_full_n_vad_segments_from_state(e.st), 0);
        const int n = kestu_full_n_segments_from_state(e.st);
        EXPECT_EQ(n > 0, e.status == KESTU_FULL_OK);
        for (int i = 0; i < n; i++) {
            const kestu_segment & seg = e.st->result[i];
            EXPECT_EQ(kestu_full_get_segment_t0_from_state(e.st, i), seg.t0) << "segment " << i;
            EXPECT_EQ(kestu_full_get_segment_t1_from_state(e.st, i), seg.t1) << "segment " << i;
            for (int j = 0; j < (int) seg.tokens.size(); j++) {
                EXPECT_EQ(kestu_full_get_token_t0_from_state(e.st, i, j), seg.tokens[j].t0);
                EXPECT_EQ(kestu_full_get_token_t1_from_state(e.st, i, j), seg.tokens[j].t1);
            }
        }
        e.st->vad_mapping_table.clear();
        e.st->vad_segments.clear();
    }
}

TEST(FullState, VoiceActivityFilterFailureIsReported) {
    // an unreadable voice-activity model: the pre-filter fails and nothing is transcribed
    kestu_context *   ctx = digits();
    kestu_full_params p   = worker_params();
    p.use_vad             = true;
    p.vad_model_file      = "/nonexistent/vad-model.bin";
    std::vector<float> x  = first_clip().samples;
    {
        log_capture log;
        EXPECT_EQ(kestu_full(ctx, p, x.data(), (int) x.size()), KESTU_FULL_ERR_VAD);
        EXPECT_EQ(log.count("failed to compute VAD"), 1);
        EXPECT_EQ(kestu_full_n_segments(ctx), 0);
    }
    // no model named at all: refused before any work
    p.vad_model_file = nullptr;
    {
        log_capture log;
        EXPECT_EQ(kestu_full(ctx, p, x.data(), (int) x.size()), KESTU_FULL_ERR_NO_VAD_MODEL);
        EXPECT_EQ(log.count("failed to compute VAD"), 0);
        EXPECT_EQ(kestu_full_n_segments(ctx), 0);
    }
    // a bad request is refused before the filter reads it
    x[7] = NAN;
    log_capture log;
    EXPECT_EQ(kestu_full(ctx, p, x.data(), (int) x.size()), KESTU_FULL_ERR_NON_FINITE);
    EXPECT_EQ(log.count("VAD"), 0);
}

TEST(FullState, SignalEnergyBelongsToTheRunThatMadeIt) {
    kestu_context *   ctx = digits();
    state_ptr         st(kestu_init_state(ctx));
    kestu_full_params p  = worker_params();
    p.compute_token_times = true;
    const clip & c        = first_clip();
    ASSERT_EQ(run(ctx, st.get(), p, c.samples), KESTU_FULL_OK);
    EXPECT_EQ(st->energy.size(), c.samples.size());
    ASSERT_FALSE(st->result.empty());

    // the same spectrogram installed directly: no samples, so no energy
    const std::vector<float> mel = st->mel.data;
    ASSERT_EQ(kestu_set_mel_with_state(ctx, st.get(), mel.data(), st->mel.n_len, st->mel.n_mel), 0);
    log_capture log;
    ASSERT_EQ(kestu_full_with_state(ctx, st.get(), p, nullptr, 0), KESTU_FULL_OK);
    EXPECT_TRUE(st->energy.empty());
    ASSERT_FALSE(st->result.empty());
    EXPECT_GE(log.count("no signal data available"), 1);
    for (const kestu_segment & s : st->result) {
        for (const kestu_token_data & t : s.tokens) {
            EXPECT_GE(t.t0, s.t0);
            EXPECT_LE(t.t1, s.t1);
        }
    }
}

TEST(FullState, InstalledSpectrogramIsTranscribed) {
    kestu_context * ctx = digits();
    state_ptr       a(kestu_init_state(ctx));
    state_ptr       b(kestu_init_state(ctx));
    const clip &    c = first_clip();
    ASSERT_EQ(kestu_pcm_to_mel_with_state(ctx, a.get(), c.samples.data(), (int) c.samples.size(), 2), 0);
    ASSERT_EQ(kestu_set_mel_with_state(ctx, b.get(), a->mel.data.data(), a->mel.n_len, a->mel.n_mel), 0);
    // an installed spectrogram counts every frame as audio: stop at the clip's end
    kestu_full_params p   = worker_params();
    p.process_duration_ms = a->mel.n_len_org * 10;
    ASSERT_EQ(kestu_full_with_state(ctx, b.get(), p, nullptr, 0), KESTU_FULL_OK);
    EXPECT_EQ(text_of(*b), c.text);
    EXPECT_EQ(b->n_encode, 1);
}

// ---------------------------------------------------------------------------
// timestamps on a random-weight model (the shipped one decodes without them)

TEST(FullTimestamps, SegmentsLieInTheirWindowsInOrder) {
    ctx_ptr ctx = random_model(small_recipe(11));
    ASSERT_NE(ctx, nullptr);
    const std::vector<float> x = noise(12 * 16000, 2);

    int               new_segments = 0;
    kestu_full_params p            = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    p.n_threads                    = 2;
    p.compute_token_times          = true;
    p.on_new_segment               = [](kestu_context *, kestu_state *, int n_new, void * data) {
        *(int *) data += n_new;
    };
    p.on_new_segment_user_data = &new_segments;
    ASSERT_EQ(run(ctx.get(), ctx->state, p, x), KESTU_FULL_OK);

    const kestu_state & st = *ctx->state;
    ASSERT_FALSE(st.result.empty());
    EXPECT_EQ(new_segments, (int) st.result.size());
    int64_t last_t0 = 0;
    for (const kestu_segment & s : st.result) {
        EXPECT_GE(s.t0, last_t0);
        EXPECT_LE(s.t0, s.t1);
        EXPECT_FALSE(s.text.empty());
        last_t0 = s.t0;
        // every text token has a time inside the audio
        for (const kestu_token_data & t : s.tokens) {
            if (t.id < ctx->vocab.token_eot) {
                EXPECT_GE(t.t0, 0);
                EXPECT_LE(t.t1, (int64_t) x.size() / 160 + 3000);
            }
        }
    }
}

} // namespace
