// Cost of voice-activity detection per 32 ms window (512 samples) at 1 and 4
// threads (and any counts given), on a random-weight voice-activity model from
// the model writer over 30 s of noise: the wall time per window and the
// processor time the whole process spent per window (all its threads, so a
// thread that spins shows up there). Medians of several detections; every row
// carries the one-minute load average.
//
//   bench-vad [threads...]

#include "speech-bench.h"
#include "vad/kestu-vad-impl.h"
#include "vad-writer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <vector>

using namespace speech_bench;

namespace {

constexpr int REPS    = 7;
constexpr int SECONDS = 30;

double cpu_ms() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-3;
}

} // namespace

int main(int argc, char ** argv) {
    quiet_logs();
    const std::vector<int> threads = thread_counts(argc, argv, { 1, 4 });

    char model[] = "/tmp/bench-vad-XXXXXX";
    const int fd = mkstemp(model);
    if (fd < 0 || !kestu_write_vad_model_file(kestu_vad_model_recipe{}, model)) {
        fprintf(stderr, "cannot write the voice-activity model\n");
        return 1;
    }
    close(fd);

    std::vector<float>                    audio((size_t) SECONDS * 16000);
    std::mt19937                          rng(7);
    std::uniform_real_distribution<float> dist(-0.3f, 0.3f);
    for (float & x : audio) {
        x = dist(rng);
    }

    printf("machine: %d cores; random voice-activity model, %d s of noise, 512-sample windows\n", cores(), SECONDS);
    printf("per window, median of %d detections; cpu = processor time of all threads; load = 1-minute average\n\n",
           REPS);
    printf("%7s | %10s %10s | %8s | %5s\n", "threads", "wall ms", "cpu ms", "total ms", "load");

    for (int n_threads : threads) {
        kestu_vad_context_params cp = kestu_vad_default_context_params();
        cp.n_threads                = n_threads;
        kestu_vad_context * vctx    = kestu_vad_init_from_file_with_params(model, cp);
        if (vctx == nullptr) {
            fprintf(stderr, "cannot load the voice-activity model\n");
            unlink(model);
            return 1;
        }
        kestu_vad_detect_speech(vctx, audio.data(), (int) audio.size()); // warm-up

        std::vector<double> wall, cpu;
        for (int r = 0; r < REPS; ++r) {
            const double c0 = cpu_ms();
            const auto   t0 = clock::now();
            if (!kestu_vad_detect_speech(vctx, audio.data(), (int) audio.size())) {
                fprintf(stderr, "detection failed\n");
                unlink(model);
                return 1;
            }
            wall.push_back(ms_since(t0));
            cpu.push_back(cpu_ms() - c0);
        }
        const int    n_windows = kestu_vad_n_probs(vctx);
        const double w         = median(wall);
        printf("%7d | %10.4f %10.4f | %8.1f | %5.1f\n", n_threads, w / n_windows, median(cpu) / n_windows, w,
               load1());
        fflush(stdout);
        kestu_vad_free(vctx);
    }
    unlink(model);
    return 0;
}
