// What checking a grammar costs: a grammar of any lower-case words followed
// by a chain of n nullable rule references, checked and expanded on its own
// (kestu_grammar_init), and the refusal by kestu_full of an invalid grammar
// of the same size (a rule that reaches itself through the chain); both
// should grow with n, not with its square. Beside them a whole run under the
// valid grammar and one without a grammar: kestu_full on a 3-second clip
// (samples/01) with the shipped F16 model, greedy, the worker's settings,
// one thread. (Most of a run's grammar time is filtering the vocabulary at
// every step, whatever n.)
//
// Medians of several runs; every row carries the one-minute load average.
//
//   bench-grammar

#include "speech-bench.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace speech_bench;

namespace {

constexpr int REPS = 3;

const std::string SAMPLES = std::string(KESTU_MODELS_DIR) + "/samples";

using rule = std::vector<kestu_grammar_element>;

// root ::= text r2; text ::= [ a-z] text | [ a-z]; r2 ::= r3, ..., r(n+1) ::= "";
// invalid adds loop ::= r2 loop, which reaches itself consuming nothing. The
// text rule keeps its index, so every n filters the tokens alike.
std::vector<rule> chain_grammar(int n, bool invalid) {
    std::vector<rule> rules(n + 2);
    rules[0] = { { KESTU_GRETYPE_RULE_REF, 1 }, { KESTU_GRETYPE_RULE_REF, 2 }, { KESTU_GRETYPE_END, 0 } };
    const rule letter = { { KESTU_GRETYPE_CHAR, ' ' }, { KESTU_GRETYPE_CHAR_ALT, 'a' },
                          { KESTU_GRETYPE_CHAR_RNG_UPPER, 'z' } };
    rule & t = rules[1];
    t.insert(t.end(), letter.begin(), letter.end());
    t.push_back({ KESTU_GRETYPE_RULE_REF, 1 });
    t.push_back({ KESTU_GRETYPE_ALT, 0 });
    t.insert(t.end(), letter.begin(), letter.end());
    t.push_back({ KESTU_GRETYPE_END, 0 });
    for (int i = 2; i <= n; ++i) {
        rules[i] = { { KESTU_GRETYPE_RULE_REF, (uint32_t) i + 1 }, { KESTU_GRETYPE_END, 0 } };
    }
    rules[n + 1] = { { KESTU_GRETYPE_END, 0 } };
    if (invalid) {
        const uint32_t loop = (uint32_t) rules.size();
        rules.push_back({ { KESTU_GRETYPE_RULE_REF, 2 }, { KESTU_GRETYPE_RULE_REF, loop }, { KESTU_GRETYPE_END, 0 } });
    }
    return rules;
}

struct timed {
    double ms     = 0;
    int    status = 0;
};

struct rule_list {
    std::vector<rule>                          rules;
    std::vector<const kestu_grammar_element *> ptrs;

    explicit rule_list(std::vector<rule> r) : rules(std::move(r)) {
        for (const rule & x : rules) {
            ptrs.push_back(x.data());
        }
    }
};

timed time_full(kestu_context * ctx, kestu_full_params params, const rule_list * grammar,
                const std::vector<float> & audio) {
    if (grammar != nullptr) {
        params.grammar_rule_list  = grammar->ptrs.data();
        params.grammar_rule_count = grammar->ptrs.size();
    }
    std::vector<double> ms;
    int                 status = 0;
    for (int r = 0; r < REPS; ++r) {
        const auto t0 = clock::now();
        status        = kestu_full(ctx, params, audio.data(), (int) audio.size());
        ms.push_back(ms_since(t0));
    }
    return { median(ms), status };
}

double time_init(const rule_list & grammar) {
    std::vector<double> ms;
    for (int r = 0; r < REPS; ++r) {
        const auto          t0 = clock::now();
        const kestu_grammar g  = kestu_grammar_init(grammar.ptrs.data(), grammar.ptrs.size(), 0);
        ms.push_back(ms_since(t0));
        if (g.stacks.empty()) {
            fprintf(stderr, "the grammar of %zu rules was not taken\n", grammar.rules.size());
        }
    }
    return median(ms);
}

} // namespace

int main() {
    quiet_logs();
    const std::string model_path = std::string(KESTU_MODELS_DIR) + "/digits-tiny-f16.bin";
    kestu_context *   ctx = kestu_init_from_file_with_params(model_path.c_str(), kestu_context_default_params());
    if (ctx == nullptr) {
        fprintf(stderr, "cannot load %s\n", model_path.c_str());
        return 1;
    }
    const std::vector<float> audio = read_clip(SAMPLES + "/01.f32");

    const kestu_full_params params = worker_like_params(1);
    kestu_full(ctx, params, audio.data(), (int) audio.size()); // warm-up
    const timed plain = time_full(ctx, params, nullptr, audio);

    printf("machine: %d cores; shipped model, clip 01 (%.1f s), greedy, 1 thread\n", cores(),
           audio.size() / (double) KESTU_SAMPLE_RATE);
    printf("times in ms (median of %d runs); load = 1-minute load average\n\n", REPS);
    printf("%7s | %8s %9s %6s | %9s %9s | %5s | %s\n", "rules", "check", "refusal", "code", "run", "no gram.",
           "load", "text");
    for (int n : { 10000, 20000, 40000, 100000 }) {
        const rule_list   good(chain_grammar(n, false));
        const rule_list   bad(chain_grammar(n, true));
        const double      check   = time_init(good);
        const timed       refused = time_full(ctx, params, &bad, audio);
        const timed       run     = time_full(ctx, params, &good, audio);
        const std::string text    = run.status == 0 ? transcript(ctx) : "(status " + std::to_string(run.status) + ")";
        printf("%7d | %8.1f %9.1f %6d | %9.1f %9.1f | %5.1f | %s\n", n, check, refused.ms, refused.status, run.ms,
               plain.ms, load1(), text.c_str());
        fflush(stdout);
    }
    kestu_free(ctx);
    return 0;
}
