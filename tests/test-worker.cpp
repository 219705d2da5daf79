// The worker as a parent program sees it: started with arguments, fed
// requests through a pipe, read line by line. These cover the command line,
// the unusable model files, the ends of the request stream and the bad
// requests; test-worker-clips.cpp covers the transcriptions themselves.

#include "model-writer.h"
#include "worker-test-helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace worker_test;

namespace {

std::string read_file(const std::string & path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// a small random-weight model with the default vocabulary
kestu_model_recipe small_recipe(int n_audio_ctx, int n_text_ctx) {
    kestu_model_recipe recipe;
    recipe.n_audio_ctx   = n_audio_ctx;
    recipe.n_text_ctx    = n_text_ctx;
    recipe.n_audio_state = 64;
    recipe.n_text_state  = 64;
    recipe.ftype         = 0;
    recipe.seed          = 5;
    return recipe;
}

// ---------------------------------------------------------------------------
// command line and model files

TEST(Worker, NoArgumentsGiveTheUsageLine) {
    worker_process      w({});
    const worker_result r = w.finish();
    expect_clean_end(r, 2);
    EXPECT_EQ(r.lines, std::vector<std::string>{"{\"ready\":false,\"error\":\"usage\"}"});
}

// A file that cannot be a model gives the model line and status 3, whatever
// is wrong with it; nothing reaches standard error.
TEST(Worker, UnusableModelFilesGiveTheModelLine) {
    const temp_dir    tmp;
    const std::string dir   = tmp.path;
    const std::string model = read_file(model_path(SHARED_MODEL));
    ASSERT_GT(model.size(), 1000000u);

    struct bad_file {
        const char * what;
        std::string  path;
    };
    std::vector<bad_file> cases = {
        {"missing file", dir + "/no-such-model.bin"},
        {"a directory", dir},
    };
    const struct {
        const char * what;
        size_t       size;
    } cuts[] = {
        {"empty", 0},
        {"magic only", 4},
        {"inside the hyper-parameters", 20},
        {"inside the filter bank", 1000},
        {"inside the vocabulary", 100000},
        {"inside the weights", model.size() / 2},
        {"last byte missing", model.size() - 1},
    };
    for (const auto & c : cuts) {
        const std::string path = dir + "/cut-" + std::to_string(c.size) + ".bin";
        write_file(path, model.substr(0, c.size));
        cases.push_back({c.what, path});
    }
    std::string wrong_magic = model;
    wrong_magic[0] ^= 0x20;
    write_file(dir + "/wrong-magic.bin", wrong_magic);
    cases.push_back({"wrong magic", dir + "/wrong-magic.bin"});
    // the library loads this as an empty model, zero weights for testing
    {
        kestu_writer_layout        layout;
        const std::vector<uint8_t> bytes = kestu_write_model(small_recipe(256, 32), &layout);
        write_file(dir + "/no-tensors.bin", std::string(bytes.begin(), bytes.begin() + (long) layout.tensors));
        cases.push_back({"ends right after the vocabulary", dir + "/no-tensors.bin"});
    }

    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        worker_process      w({c.path, "1", "cpu"});
        const worker_result r = w.finish();
        expect_clean_end(r, 3);
        EXPECT_EQ(r.lines, std::vector<std::string>{"{\"ready\":false,\"error\":\"model\"}"});
    }
}

// ---------------------------------------------------------------------------
// requests

// The parent waits for each answer before it sends the next request, as a
// real parent does; bad audio is refused and the worker goes on.
TEST(Worker, AnswersEachRequestInTurnAndRefusesBadAudio) {
    const clip & first  = sample_clips().at(0);
    const clip & second = sample_clips().at(1);

    std::vector<float> nan_clip = first.samples;
    nan_clip[nan_clip.size() / 2] = std::nanf("");
    std::vector<float> inf_clip(16000, 0.0f);
    inf_clip[0] = std::numeric_limits<float>::infinity();
    std::vector<float> minus_inf_clip(8, 0.0f);
    minus_inf_clip[7] = -std::numeric_limits<float>::infinity();
    // finite, but large enough to overflow the spectrogram
    std::vector<float> huge_clip(16000, 0.0f);
    huge_clip[8000] = 1e30f;

    ready_worker w(shared_model_args({"2", "cpu", "fit"}));
    auto ask = [&](const std::vector<float> & samples) {
        EXPECT_TRUE(w.process.send(request(samples)));
        std::string line;
        EXPECT_TRUE(w.process.read_line(line));
        return line;
    };

    EXPECT_EQ(expect_answer(ask(first.samples), (long) first.samples.size() / 16), first.text);
    EXPECT_EQ(ask(nan_clip), "{\"ok\":false,\"error\":\"bad_audio\"}");
    EXPECT_EQ(expect_answer(ask(second.samples), (long) second.samples.size() / 16), second.text);
    EXPECT_EQ(ask(inf_clip), "{\"ok\":false,\"error\":\"bad_audio\"}");
    EXPECT_EQ(ask(minus_inf_clip), "{\"ok\":false,\"error\":\"bad_audio\"}");
    EXPECT_EQ(ask(huge_clip), "{\"ok\":false,\"error\":\"bad_audio\"}");
    EXPECT_EQ(expect_answer(ask(second.samples), (long) second.samples.size() / 16), second.text);
    // too short to hold a word: an empty text, and 8 samples are 0 ms
    EXPECT_EQ(expect_answer(ask(std::vector<float>(8, 0.0f)), 0), "");
    expect_answer(ask(std::vector<float>(16000, 0.0f)), 1000);
    // the bad requests left nothing behind
    EXPECT_EQ(expect_answer(ask(first.samples), (long) first.samples.size() / 16), first.text);

    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    EXPECT_TRUE(r.lines.empty());
}

// A request that arrives in pieces of a few bytes, with pauses, is put
// together before it is transcribed.
TEST(Worker, RequestsArrivingInPiecesAreAnsweredWhole) {
    const clip &      c     = sample_clips().at(2);
    const std::string bytes = request(c.samples) + request(c.samples);

    ready_worker w(shared_model_args({"2", "cpu"}));
    size_t       pos = 0;
    for (size_t k = 0; pos < bytes.size(); ++k) {
        // single bytes through the first header, then odd-sized chunks that
        // split samples and the second header
        const size_t n = std::min(bytes.size() - pos, k < 4 ? (size_t) 1 : (size_t) 997 + k % 5);
        ASSERT_TRUE(w.process.send(bytes.data() + pos, n));
        pos += n;
        if (k < 8 || k % 16 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    ASSERT_EQ(r.lines.size(), 2u);
    for (const auto & line : r.lines) {
        EXPECT_EQ(expect_answer(line, (long) c.samples.size() / 16), c.text);
    }
}

// A count of 0, and input that ends inside a header or inside the samples,
// end the worker quietly with status 0; what came before is answered.
TEST(Worker, EndsOfTheRequestStream) {
    const clip & c = sample_clips().at(3);
    const struct {
        const char * what;
        std::string  tail;
    } cases[] = {
        {"count 0, then a request that is never read", request_header(0) + request(c.samples)},
        {"two bytes of a header", request_header(16000).substr(0, 2)},
        {"half of the samples", request(std::vector<float>(16000, 0.0f)).substr(0, 4 + 32000)},
        {"the samples but the last byte", request(std::vector<float>(16000, 0.0f)).substr(0, 4 + 63999)},
    };
    for (const auto & t : cases) {
        SCOPED_TRACE(t.what);
        ready_worker w(shared_model_args({"2", "cpu"}));
        ASSERT_TRUE(w.process.send(request(c.samples)));
        w.process.send(t.tail); // after a count of 0 the worker may be gone
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_EQ(expect_answer(r.lines[0], (long) c.samples.size() / 16), c.text);
    }
}

// A count above 1920000 is refused at once: the worker answers and ends
// without waiting for samples (the input stays open here).
TEST(Worker, TooLongCountEndsTheWorkerWithoutReadingTheSamples) {
    ready_worker w(shared_model_args({"2", "cpu"}));
    ASSERT_TRUE(w.process.send(request_header(1920001)));
    std::string line;
    ASSERT_TRUE(w.process.read_line(line));
    EXPECT_EQ(line, "{\"ok\":false,\"error\":\"too_long\"}");
    EXPECT_FALSE(w.process.read_line(line)); // the worker ended, the input still open
    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    EXPECT_TRUE(r.lines.empty());
}

// A parent that stops reading the answers ends the worker through its failed
// write, with status 0, not by SIGPIPE.
TEST(Worker, ClosedOutputEndsTheWorkerThroughTheFailedWrite) {
    ready_worker w(shared_model_args({"2", "cpu"}));
    w.process.close_output();
    ASSERT_TRUE(w.process.send(request(std::vector<float>(16000, 0.0f))));
    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    EXPECT_TRUE(r.lines.empty());
}

// ---------------------------------------------------------------------------
// a small random-weight model: 256 audio positions, a vocabulary of broken
// UTF-8

// Every text entry is a cut or invalid UTF-8 sequence made unique by its id,
// so whatever the random weights pick, the raw text is not valid UTF-8.
std::vector<std::string> broken_utf8_vocab(size_t n) {
    const char * const pieces[] = {"\xe2\x82", "\x80", "\xf0\x9f\x98", "\xff", " \xc3", "\xed\xa0\x80", "\xc0\xaf"};
    std::vector<std::string> vocab(n);
    for (size_t i = 0; i < n; ++i) {
        vocab[i] = pieces[i % 7] + std::to_string(i);
    }
    vocab[220] = " "; // the loader insists on the single-space token
    return vocab;
}

std::string write_small_model(const std::string & dir, int n_text_ctx = 32) {
    kestu_model_recipe recipe = small_recipe(256, n_text_ctx);
    recipe.vocab              = broken_utf8_vocab(50256);
    const std::string path    = dir + "/small-broken-vocab-" + std::to_string(n_text_ctx) + ".bin";
    EXPECT_TRUE(kestu_write_model_file(recipe, path));
    return path;
}

std::vector<float> noise(size_t n, unsigned seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float>                    v(n);
    for (float & x : v) {
        x = u(rng);
    }
    return v;
}

// Token texts that are not valid UTF-8 reach the answer as U+FFFD, so the
// line stays valid JSON.
TEST(Worker, BrokenUtf8InTokenTextsBecomesReplacementCharacters) {
    const temp_dir    tmp;
    const std::string model = write_small_model(tmp.path);
    ready_worker      w({model, "2", "cpu"});
    ASSERT_TRUE(w.process.send(request(noise(16000, 1))));
    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    const std::string text = expect_answer(r.lines[0], 1000);
    // random weights still pick some text tokens, each of them broken
    EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << text;
}

// A transcription that fails is answered with the transcribe error, not with
// an empty text, and the worker goes on serving. This model's text context
// of 1 position cannot hold the 2 tokens of the prompt, so every request
// fails.
TEST(Worker, FailedTranscriptionIsReportedAndTheWorkerGoesOn) {
    const temp_dir    tmp;
    const std::string model = write_small_model(tmp.path, 1);
    ready_worker      w({model, "2", "cpu", "fit"});
    std::vector<float> bad(16000, 0.0f);
    bad[5] = std::nanf("");
    ASSERT_TRUE(w.process.send(request(noise(16000, 1)) + request(bad) + request(noise(32000, 2))));
    const worker_result r = w.process.finish();
    expect_clean_end(r, 0);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"{\"ok\":false,\"error\":\"transcribe\"}",
                                                 "{\"ok\":false,\"error\":\"bad_audio\"}",
                                                 "{\"ok\":false,\"error\":\"transcribe\"}"}));
}

// Fitting never asks for more audio positions than the model has, the 512
// of short requests included: every request is transcribed.
TEST(Worker, FittedAudioContextStaysWithinTheModels) {
    const temp_dir tmp;
    for (const int n_audio_ctx : {400, 1000}) {
        SCOPED_TRACE("n_audio_ctx " + std::to_string(n_audio_ctx));
        const std::string model = tmp.path + "/ctx-" + std::to_string(n_audio_ctx) + ".bin";
        ASSERT_TRUE(kestu_write_model_file(small_recipe(n_audio_ctx, 16), model));
        ready_worker w({model, "2", "cpu", "fit"});
        const uint32_t lengths[] = {16000, 20 * 16000, 30 * 16000};
        for (const uint32_t n : lengths) {
            ASSERT_TRUE(w.process.send(request(noise(n, n))));
        }
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        ASSERT_EQ(r.lines.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            expect_answer(r.lines[i], (long) lengths[i] / 16);
        }
    }
}

// ---------------------------------------------------------------------------
// standard input and output as a parent may hand them over

// A non-blocking descriptor with no data or room for now is waited for:
// nothing is lost and the worker ends as usual.
TEST(Worker, NonBlockingInputAndOutputAreWaitedFor) {
    const clip & c = sample_clips().at(0);

    {
        SCOPED_TRACE("input with no data yet");
        worker_stdio io;
        io.nonblocking_in = true;
        ready_worker      w(shared_model_args({"2", "cpu"}), io);
        const std::string bytes = request(c.samples);
        EXPECT_TRUE(w.process.send(bytes.data(), bytes.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_TRUE(w.process.send(bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2));
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        EXPECT_EQ(r.lines.size(), 1u);
        if (!r.lines.empty()) {
            EXPECT_EQ(expect_answer(r.lines[0], (long) c.samples.size() / 16), c.text);
        }
    }
    {
        // the parent reads nothing for a while: a pipe of one page fills
        // after about a hundred answers
        SCOPED_TRACE("output with no room for now");
        worker_stdio io;
        io.nonblocking_out = true;
        io.out_pipe_size   = 4096;
        ready_worker w(shared_model_args({"2", "cpu"}), io);
        // the clip first: the worker has read all of it before the output fills
        std::string bytes = request(c.samples);
        const int   n_bad = 1000;
        for (int i = 0; i < n_bad; ++i) {
            bytes += request({std::nanf("")});
        }
        EXPECT_TRUE(w.process.send(bytes));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        ASSERT_EQ(r.lines.size(), (size_t) n_bad + 1);
        EXPECT_EQ(expect_answer(r.lines[0], (long) c.samples.size() / 16), c.text);
        for (int i = 1; i <= n_bad; ++i) {
            ASSERT_EQ(r.lines[i], "{\"ok\":false,\"error\":\"bad_audio\"}") << "line " << i;
        }
    }
}

// A read or write that fails is not the end of the requests: the worker ends
// with status 4, saying nothing on standard error.
TEST(Worker, ReadAndWriteErrorsEndTheWorkerWithTheirOwnStatus) {
    const temp_dir tmp;
    const int      dir  = open(tmp.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int      full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_GE(full, 0);

    const struct {
        const char * what;
        int          in;
        int          out;
    } cases[] = {
        {"input is a directory", dir, WORKER_STDIO_PIPE},
        {"no input descriptor", WORKER_STDIO_CLOSED, WORKER_STDIO_PIPE},
        {"output to a full device", WORKER_STDIO_PIPE, full},
        {"no output descriptor", WORKER_STDIO_PIPE, WORKER_STDIO_CLOSED},
    };
    for (const auto & t : cases) {
        SCOPED_TRACE(t.what);
        worker_stdio io;
        io.in  = t.in;
        io.out = t.out;
        worker_process w(shared_model_args({"2", "cpu"}), KESTU_WORKER_PATH, io);
        // the output cases fail on the ready line, before reading anything
        w.send(request(std::vector<float>(16000, 0.0f)));
        const worker_result r = w.finish();
        expect_clean_end(r, 4);
        if (t.out == WORKER_STDIO_PIPE) {
            ASSERT_EQ(r.lines.size(), 1u);
            expect_ready_line(r.lines[0]);
        }
    }
    close(dir);
    close(full);
}

// A model with a non-finite weight is not served as if sound: its logits
// leave no possible token, so every request is answered with the transcribe
// error (after one decoder step, not after decoding garbage at every
// temperature), and the worker goes on to the next request.
TEST(Worker, ModelWithNonFiniteWeightsAnswersTranscribeErrors) {
    const temp_dir tmp;
    const struct {
        const char * tensor;
        size_t       index;
        float        value;
    } cases[] = {
        {"decoder.token_embedding.weight", 1000 * 64 + 5, std::numeric_limits<float>::quiet_NaN()},
        {"decoder.ln.bias", 7, std::numeric_limits<float>::infinity()},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.tensor);
        kestu_model_recipe recipe = small_recipe(256, 32);
        for (const kestu_writer_tensor & t : kestu_writer_tensors(recipe)) {
            if (t.name == c.tensor) {
                recipe.overrides[t.name]          = t.values;
                recipe.overrides[t.name][c.index] = c.value;
            }
        }
        ASSERT_EQ(recipe.overrides.size(), 1u);
        const std::string path = tmp.path + "/non-finite.bin";
        ASSERT_TRUE(kestu_write_model_file(recipe, path));

        ready_worker w({path, "2", "cpu"});
        auto ask = [&](const std::vector<float> & samples) {
            EXPECT_TRUE(w.process.send(request(samples)));
            std::string line;
            EXPECT_TRUE(w.process.read_line(line));
            return line;
        };
        EXPECT_EQ(ask(noise(32000, 3)), "{\"ok\":false,\"error\":\"transcribe\"}");
        EXPECT_EQ(ask(noise(16000, 4)), "{\"ok\":false,\"error\":\"transcribe\"}");
        const worker_result r = w.process.finish();
        expect_clean_end(r, 0);
        EXPECT_TRUE(r.lines.empty());
    }
}

} // namespace
