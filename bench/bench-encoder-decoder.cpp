// The speech model's encoder (one 30-second window: convolution stem, the
// encoder layers and the cross-attention keys and values) and 20 one-token
// decoder steps, through the public interface (kestu_set_mel, kestu_encode,
// kestu_decode; fused attention, the default), with random weights at two
// sizes: width 384, 6 heads, 4+4 layers and width 512, 8 heads, 6+6 layers
// (vocabulary 51864, 80 mels, 1500 audio and 448 text positions), F32 and
// F16 weights, at 1, 4 and 8 threads (counts above the machine's cores are
// skipped). Beside it, the same architecture in PyTorch (float32,
// bench/encoder_decoder_torch.py under /usr/bin/python3, OMP_WAIT_POLICY=
// PASSIVE, the same thread count); ratios are PyTorch's time over ours, so
// above 1 means this library is faster. PyTorch multiplies through OpenBLAS:
// it runs with the best kernel family the processor supports and, where that
// is above AVX2, with the AVX2 family too, beside it (openblas-family.h).
// Every figure is a median and carries the one-minute load average taken
// when it was measured.
//
//   bench-encoder-decoder [384|512] [f16|f32] [--no-torch] [threads...]
//   bench-encoder-decoder --per-op [384|512] [f16|f32] [threads...]
//
// --per-op times every graph node on its own through the schedulers'
// evaluation callback (with a persistent worker pool, so that starting
// threads per node does not count) and prints each operator's share of the
// encoder and of a decoder step.

#include "kestu-impl.h"
#include "openblas-family.h"
#include "speech-bench.h"
#include "tevo-cpu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace speech_bench;

namespace {

constexpr int N_MELS  = 80;
constexpr int N_FRAMES = 3000; // one 30-second window
constexpr int N_STEPS = 20;
constexpr int REPS    = 3;

struct options {
    std::vector<model_size> sizes;
    std::vector<bool>       f16s; // weight types: true for F16
    std::vector<int>        threads;
    bool                    torch  = true;
    bool                    per_op = false;
};

options parse(int argc, char ** argv) {
    options o;
    std::vector<int> asked;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--per-op") {
            o.per_op = true;
        } else if (a == "--no-torch") {
            o.torch = false;
        } else if (a == "384") {
            o.sizes.push_back(SIZE_384);
        } else if (a == "512") {
            o.sizes.push_back(SIZE_512);
        } else if (a == "f16" || a == "f32") {
            o.f16s.push_back(a == "f16");
        } else {
            asked.push_back(atoi(a.c_str()));
        }
    }
    if (o.sizes.empty()) {
        o.sizes = { SIZE_384, SIZE_512 };
    }
    if (o.f16s.empty()) {
        o.f16s = { false, true };
    }
    o.threads = thread_counts(asked);
    return o;
}

std::vector<float> random_mel() {
    std::mt19937                          rng(99);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float>                    mel((size_t) N_MELS * N_FRAMES);
    for (float & v : mel) {
        v = dist(rng);
    }
    return mel;
}

bool encode(kestu_context * ctx, int n_threads) {
    return kestu_encode(ctx, 0, n_threads) == 0;
}

// N_STEPS single tokens from the start of transcript, each step fed the
// previous step's best token, so the self-attention cache grows as in decoding
bool decode_steps(kestu_context * ctx, int n_threads) {
    const int   n_vocab = kestu_n_vocab(ctx);
    kestu_token token   = kestu_token_sot(ctx);
    for (int i = 0; i < N_STEPS; ++i) {
        if (kestu_decode(ctx, &token, 1, i, n_threads) != 0) {
            return false;
        }
        const float * logits = kestu_get_logits(ctx);
        token                = (kestu_token) (std::max_element(logits, logits + n_vocab) - logits);
    }
    return true;
}

struct lib_times {
    double enc_ms  = -1; // one window
    double step_ms = -1; // one decoder step
    double load    = -1;
};

lib_times time_library(kestu_context * ctx, int n_threads) {
    lib_times t;
    if (!encode(ctx, n_threads) || !decode_steps(ctx, n_threads)) { // warm-up
        fprintf(stderr, "encode or decode failed\n");
        return t;
    }
    std::vector<double> enc, step;
    for (int r = 0; r < REPS; ++r) {
        const auto t0 = clock::now();
        encode(ctx, n_threads);
        enc.push_back(ms_since(t0));
    }
    for (int r = 0; r < REPS; ++r) {
        const auto t0 = clock::now();
        decode_steps(ctx, n_threads);
        step.push_back(ms_since(t0) / N_STEPS);
    }
    t.enc_ms  = median(enc);
    t.step_ms = median(step);
    t.load    = load1();
    return t;
}

struct torch_times {
    double      enc_ms  = -1;
    double      step_ms = -1;
    double      load    = -1;
    std::string core    = "?"; // the OpenBLAS kernel family it ran with
};

// the OpenBLAS kernel family PyTorch gets here, as the script reads it ("none" without OpenBLAS)
std::string torch_core() {
    const std::string cmd = std::string("/usr/bin/python3 '") + KESTU_ENCODER_DECODER_TORCH_SCRIPT + "' --probe 2>&1";
    FILE *            p   = popen(cmd.c_str(), "r");
    std::string       core;
    char              line[4096];
    char              name[256];
    while (p != nullptr && fgets(line, sizeof(line), p)) {
        if (sscanf(line, "openblas core: %255s", name) == 1) {
            core = name;
        }
    }
    if (p != nullptr) {
        pclose(p);
    }
    return core;
}

// runs the PyTorch script with `family` as OPENBLAS_CORETYPE (nullptr: none
// set); prints its configuration on the first call
torch_times time_torch(const model_size & size, int n_threads, const char * family) {
    static bool shown = false;
    torch_times t;

    char cmd[1024];
    snprintf(cmd, sizeof(cmd),
             "%sOMP_WAIT_POLICY=PASSIVE OMP_NUM_THREADS=%d /usr/bin/python3 '%s' --state %d --head %d "
             "--enc-layers %d --dec-layers %d --steps %d --reps %d --threads %d %s 2>&1",
             openblas_family::env_prefix(family).c_str(), n_threads, KESTU_ENCODER_DECODER_TORCH_SCRIPT,
             size.n_state, size.n_head, size.n_enc_layer, size.n_dec_layer, N_STEPS, REPS, n_threads,
             shown ? "" : "--config");
    FILE * p = popen(cmd, "r");
    if (p == nullptr) {
        return t;
    }
    char line[4096];
    while (fgets(line, sizeof(line), p)) {
        double v = 0;
        char   name[256];
        if (sscanf(line, "torch encoder: %lf ms", &v) == 1) {
            t.enc_ms = v;
        } else if (sscanf(line, "torch decoder step: %lf ms", &v) == 1) {
            t.step_ms = v;
        } else if (sscanf(line, "openblas core: %255s", name) == 1) {
            t.core = name;
        } else if (!shown || strncmp(line, "torch threads", 13) != 0) {
            fputs(line, stdout); // the configuration, or an error
        }
    }
    const int status = pclose(p);
    if (status != 0 && !shown) {
        printf("(the PyTorch peer failed: is python3-torch installed? tools/bench-setup.sh)\n");
    }
    shown  = true;
    t.load = load1();
    return t;
}

std::string ratio(double peer, double ours) {
    if (peer <= 0 || ours <= 0) {
        return "-";
    }
    char buf[32];
    snprintf(buf, sizeof(buf), "%.2fx", peer / ours);
    return buf;
}

void run_table(const options & o) {
    namespace ob                 = openblas_family;
    const std::vector<float> mel = random_mel();
    printf("machine: %d cores; ratio = PyTorch ms / our ms (above 1: we are faster); load = 1-minute load average\n",
           cores());
    ob::plan plan = { nullptr, false };
    if (o.torch) {
        const std::string core = torch_core();
        const ob::level   cpu  = ob::cpu_level();
        if (core == "none") {
            printf("PyTorch's BLAS: no OpenBLAS found in its process\n");
        } else if (!core.empty()) {
            plan = ob::plan_for(core, cpu, ob::user_coretype() != nullptr);
            printf("PyTorch's %s\n", ob::describe(core, cpu, plan).c_str());
        }
    }

    for (const model_size & size : o.sizes) {
        // both weight types kept for every thread count
        std::vector<std::unique_ptr<random_model>> models;
        for (bool f16 : o.f16s) {
            models.push_back(std::make_unique<random_model>(size, f16));
            if (kestu_set_mel(models.back()->ctx, mel.data(), N_FRAMES, N_MELS) != 0) {
                fprintf(stderr, "kestu_set_mel failed\n");
                return;
            }
        }
        for (int n_threads : o.threads) {
            torch_times peer, avx2; // with the best family; with the AVX2 family where that is not the best
            if (o.torch) {
                peer = time_torch(size, n_threads, plan.best);
                if (plan.avx2_too) {
                    avx2 = time_torch(size, n_threads, ob::AVX2_FAMILY);
                }
            }
            if (n_threads == o.threads.front()) {
                printf("\nwidth %s (%d heads, %d+%d layers)", size.name, size.n_head, size.n_enc_layer,
                       size.n_dec_layer);
                if (o.torch) {
                    printf("; torch: PyTorch on OpenBLAS's %s kernels", peer.core.c_str());
                    if (plan.avx2_too) {
                        printf(", avx2: on its %s kernels (ours are AVX2 only)", avx2.core.c_str());
                    }
                }
                printf("\n%-4s %7s | %10s %10s %7s", "w", "threads", "encoder ms", "torch ms", "ratio");
                if (plan.avx2_too) {
                    printf(" %10s %7s", "avx2 ms", "ratio");
                }
                printf(" | %9s %9s %7s", "step ms", "torch ms", "ratio");
                if (plan.avx2_too) {
                    printf(" %9s %7s", "avx2 ms", "ratio");
                }
                printf(" | %5s %5s\n", "load", "tload");
            }
            for (size_t m = 0; m < models.size(); ++m) {
                const lib_times t = time_library(models[m]->ctx, n_threads);
                printf("%-4s %7d | %10.1f %10.1f %7s", o.f16s[m] ? "f16" : "f32", n_threads, t.enc_ms, peer.enc_ms,
                       ratio(peer.enc_ms, t.enc_ms).c_str());
                if (plan.avx2_too) {
                    printf(" %10.1f %7s", avx2.enc_ms, ratio(avx2.enc_ms, t.enc_ms).c_str());
                }
                printf(" | %9.2f %9.2f %7s", t.step_ms, peer.step_ms, ratio(peer.step_ms, t.step_ms).c_str());
                if (plan.avx2_too) {
                    printf(" %9.2f %7s", avx2.step_ms, ratio(avx2.step_ms, t.step_ms).c_str());
                }
                printf(" | %5.1f %5.1f\n", t.load, plan.avx2_too ? avx2.load : peer.load);
                fflush(stdout);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// per-operator timing

struct op_times {
    clock::time_point             start;
    std::map<std::string, double> ms; // by operator
    std::map<std::string, int>    nodes;
    bool                          record = false;

    static bool is_view(const tevo_tensor * t) {
        switch (t->op) {
            case TEVO_OP_NONE:
            case TEVO_OP_VIEW:
            case TEVO_OP_RESHAPE:
            case TEVO_OP_PERMUTE:
            case TEVO_OP_TRANSPOSE: return true;
            default: return false;
        }
    }

    // asked before each node: computes node by node, timing each
    static bool callback(tevo_tensor * t, bool ask, void * user_data) {
        op_times * self = (op_times *) user_data;
        if (ask) {
            if (is_view(t)) {
                return false;
            }
            self->start = clock::now();
            return true;
        }
        if (self->record) {
            std::string name = tevo_op_desc(t);
            if (t->op == TEVO_OP_MUL_MAT || t->op == TEVO_OP_FLASH_ATTN_EXT) {
                name += std::string(" (") + tevo_type_name(t->src[0]->type) + " x " + tevo_type_name(t->src[1]->type) +
                        ")";
            }
            self->ms[name] += ms_since(self->start);
            self->nodes[name]++;
        }
        return true;
    }

    void print(const char * what, double whole_ms, int runs) const {
        double                                      total = 0;
        std::vector<std::pair<double, std::string>> rows;
        for (const auto & kv : ms) {
            total += kv.second / runs;
            rows.push_back({ kv.second / runs, kv.first });
        }
        std::sort(rows.rbegin(), rows.rend());
        printf("  %s: %.2f ms as the library runs it, %.2f ms node by node (load %.1f)\n", what, whole_ms, total,
               load1());
        printf("    %-34s %6s %10s %7s\n", "operator", "nodes", "ms", "share");
        for (const auto & r : rows) {
            printf("    %-34s %6d %10.3f %6.1f%%\n", r.second.c_str(), nodes.at(r.second) / runs, r.first,
                   100.0 * r.first / total);
        }
    }
};

void set_callback(kestu_state & s, op_times * times) {
    const tevo_backend_sched_eval_callback cb = times ? op_times::callback : nullptr;
    for (kestu_sched * k : { &s.sched_conv, &s.sched_encode, &s.sched_cross, &s.sched_decode }) {
        tevo_backend_sched_set_eval_callback(k->sched, cb, times);
    }
}

void run_per_op(const options & o) {
    const std::vector<float> mel = random_mel();
    printf("machine: %d cores\n", cores());
    for (const model_size & size : o.sizes) {
        for (bool f16 : o.f16s) {
            random_model model(size, f16);
            kestu_context * ctx = model.ctx;
            kestu_state &   s   = *ctx->state;
            kestu_set_mel(ctx, mel.data(), N_FRAMES, N_MELS);

            for (int n_threads : o.threads) {
                const lib_times whole = time_library(ctx, n_threads);

                tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
                tevo_threadpool *      pool = tevo_threadpool_new(&tpp);
                tevo_backend_cpu_set_threadpool(s.backends.back(), pool);

                op_times enc, dec;
                set_callback(s, &enc);
                encode(ctx, n_threads);
                enc.record = true;
                for (int r = 0; r < REPS; ++r) {
                    encode(ctx, n_threads);
                }
                set_callback(s, &dec);
                decode_steps(ctx, n_threads);
                dec.record = true;
                for (int r = 0; r < REPS; ++r) {
                    decode_steps(ctx, n_threads);
                }
                set_callback(s, nullptr);
                tevo_backend_cpu_set_threadpool(s.backends.back(), nullptr);
                tevo_threadpool_free(pool);

                printf("\nwidth %s (%d heads, %d+%d layers), %s weights, %d threads\n", size.name, size.n_head,
                       size.n_enc_layer, size.n_dec_layer, f16 ? "F16" : "F32", n_threads);
                enc.print("encoder (stem, layers, cross keys and values)", whole.enc_ms, REPS);
                dec.print("decoder step", whole.step_ms, REPS * N_STEPS);
                fflush(stdout);
            }
        }
    }
}

} // namespace

int main(int argc, char ** argv) {
    quiet_logs();
    const options o = parse(argc, argv);
    try {
        if (o.per_op) {
            run_per_op(o);
        } else {
            run_table(o);
        }
    } catch (const std::exception & e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
