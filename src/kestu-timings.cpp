#include "kestu-impl.h"

// Timings: the context's load time and the state's accumulated run times and
// counts, read as per-run milliseconds, printed as a report, or reset. All
// arithmetic is single precision; a kind that never ran counts as one run so
// nothing divides by zero.

#include <algorithm>
#include <cstdlib>

namespace {

float per_run_ms(int64_t t_us, int32_t n_runs) {
    return t_us * 0.001f / (float) std::max(1, n_runs);
}

void log_kind(const char * label, int64_t t_us, int32_t n_runs) {
    const float   ms = t_us * 0.001f;
    const int32_t n  = std::max(1, n_runs);
    KESTU_LOG_INFO("%s: %s time = %8.2f ms / %5d runs ( %8.2f ms per run)\n", "kestu_print_timings", label, ms, n,
                   ms / n);
}

} // namespace

struct kestu_timings * kestu_get_timings(struct kestu_context * ctx) {
    if (ctx->state == nullptr) {
        return nullptr;
    }
    const kestu_state & s = *ctx->state;

    // malloc'd: the interface is C, so the caller frees it with free
    kestu_timings * t = (kestu_timings *) malloc(sizeof(kestu_timings));
    if (t == nullptr) {
        KESTU_LOG_ERROR("%s: out of memory\n", __func__);
        return nullptr;
    }
    t->sample_ms = per_run_ms(s.t_sample_us, s.n_sample);
    t->encode_ms = per_run_ms(s.t_encode_us, s.n_encode);
    t->decode_ms = per_run_ms(s.t_decode_us, s.n_decode);
    t->batchd_ms = per_run_ms(s.t_batchd_us, s.n_batchd);
    t->prompt_ms = per_run_ms(s.t_prompt_us, s.n_prompt);
    return t;
}

void kestu_print_timings(struct kestu_context * ctx) {
    const int64_t t_end_us = tevo_time_us();
    const char *  func     = "kestu_print_timings";

    KESTU_LOG_INFO("\n");
    KESTU_LOG_INFO("%s:     load time = %8.2f ms\n", func, ctx->t_load_us / 1000.0f);
    if (ctx->state != nullptr) {
        const kestu_state & s = *ctx->state;
        KESTU_LOG_INFO("%s:     fallbacks = %3d p / %3d h\n", func, s.n_fail_p, s.n_fail_h);
        KESTU_LOG_INFO("%s:      mel time = %8.2f ms\n", func, s.t_mel_us / 1000.0f);
        log_kind("  sample", s.t_sample_us, s.n_sample);
        log_kind("  encode", s.t_encode_us, s.n_encode);
        log_kind("  decode", s.t_decode_us, s.n_decode);
        log_kind("  batchd", s.t_batchd_us, s.n_batchd);
        log_kind("  prompt", s.t_prompt_us, s.n_prompt);
    }
    KESTU_LOG_INFO("%s:    total time = %8.2f ms\n", func, (t_end_us - ctx->t_start_us) / 1000.0f);
}

void kestu_reset_timings(struct kestu_context * ctx) {
    ctx->t_start_us = tevo_time_us();
    if (ctx->state != nullptr) {
        kestu_state & s = *ctx->state;
        s.t_sample_us = 0;
        s.t_encode_us = 0;
        s.t_decode_us = 0;
        s.t_batchd_us = 0;
        s.t_prompt_us = 0;
        s.t_mel_us    = 0;
        // the fallback counters n_fail_p and n_fail_h keep their values
        s.n_sample = 0;
        s.n_encode = 0;
        s.n_decode = 0;
        s.n_batchd = 0;
        s.n_prompt = 0;
    }
}
