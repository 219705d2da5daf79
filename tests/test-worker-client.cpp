// The client in tools/: it sends 16-bit PCM WAV files at 16 kHz mono and raw
// float files (named .f32 or .raw, or any name with --raw) to the worker and
// prints each answer; any other WAV file, other audio formats, text and
// unknown bytes are refused with what they hold. Every file gets one line, in
// order, also when the worker fails; faults of the worker or its start are
// one line naming the path at fault, never a traceback.

#include "worker-test-helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

using namespace worker_test;

namespace {

const char * const PYTHON = "/usr/bin/python3";

void put_u32(std::string & s, uint32_t v) {
    s.append((const char *) &v, 4);
}

void put_u16(std::string & s, uint16_t v) {
    s.append((const char *) &v, 2);
}

// a canonical WAV file: RIFF header, fmt chunk, data chunk
std::string wav_file(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits, const std::string & data) {
    std::string fmt;
    put_u16(fmt, format);
    put_u16(fmt, channels);
    put_u32(fmt, rate);
    put_u32(fmt, rate * channels * bits / 8);
    put_u16(fmt, (uint16_t) (channels * bits / 8));
    put_u16(fmt, bits);
    std::string wav = "RIFF";
    put_u32(wav, (uint32_t) (4 + 8 + fmt.size() + 8 + data.size()));
    wav += "WAVEfmt ";
    put_u32(wav, (uint32_t) fmt.size());
    wav += fmt + "data";
    put_u32(wav, (uint32_t) data.size());
    return wav + data;
}

std::string pcm16(const std::vector<float> & samples) {
    std::string out;
    for (float s : samples) {
        const long v = std::lround(std::max(-1.0f, std::min(1.0f, s)) * 32767.0f);
        put_u16(out, (uint16_t) (int16_t) v);
    }
    return out;
}

std::string f32_bytes(const std::vector<float> & samples) {
    return std::string((const char *) samples.data(), samples.size() * 4);
}

worker_result run_client(const std::vector<std::string> & args) {
    std::vector<std::string> all = {KESTU_CLIENT_PATH};
    all.insert(all.end(), args.begin(), args.end());
    worker_process client(all, PYTHON);
    return client.finish();
}

std::vector<std::string> split_lines(const std::string & text) {
    std::vector<std::string> lines;
    size_t                   start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// a file's expected --tsv row: its text, or a refusal that holds `why`
struct row {
    std::string name;
    std::string text;
    std::string why;
};

void expect_rows(const worker_result & r, const std::vector<row> & rows) {
    EXPECT_EQ(r.err.find("Traceback"), std::string::npos) << r.err;
    ASSERT_EQ(r.lines.size(), rows.size()) << "one row per file\n" << r.err;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        if (rows[i].why.empty()) {
            EXPECT_EQ(r.lines[i], rows[i].name + "\t" + rows[i].text);
        } else {
            EXPECT_EQ(r.lines[i].rfind(rows[i].name + "\t[error: ", 0), 0u) << r.lines[i];
            EXPECT_NE(r.lines[i].find(rows[i].why), std::string::npos) << r.lines[i];
        }
    }
}

// a stand-in for the worker: ready at once, answers the first request with
// "hello", then does `then` for each later request
void write_fake_worker(const std::string & path, const std::string & then) {
    write_file(path, "#!/usr/bin/python3\n"
                     "import os, signal, struct, sys\n"
                     "print('{\"ready\":true,\"load_ms\":0,\"threads\":1,\"system\":\"\"}', flush=True)\n"
                     "first = True\n"
                     "while True:\n"
                     "    head = sys.stdin.buffer.read(4)\n"
                     "    if len(head) < 4:\n"
                     "        sys.exit(0)\n"
                     "    sys.stdin.buffer.read(4 * struct.unpack('<I', head)[0])\n"
                     "    if first:\n"
                     "        print('{\"ok\":true,\"text\":\"hello\",\"ms\":1,\"audio_ms\":2}', flush=True)\n"
                     "        first = False\n"
                     "    else:\n"
                     "        " + then + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

TEST(WorkerClient, SendsPcmWavAndRawFloatsAndRefusesOtherWav) {
    if (access(PYTHON, X_OK) != 0) {
        GTEST_SKIP() << "no " << PYTHON;
    }
    const temp_dir    tmp;
    const std::string dir = tmp.path;

    const clip & a = sample_clips().at(0);
    const clip & b = sample_clips().at(1);
    write_file(dir + "/speech.wav", wav_file(1, 1, 16000, 16, pcm16(a.samples)));
    write_file(dir + "/stereo.wav", wav_file(1, 2, 44100, 16, pcm16(a.samples)));
    write_file(dir + "/float.wav",
               wav_file(3, 1, 16000, 32, std::string((const char *) b.samples.data(), b.samples.size() * 4)));

    worker_process client({KESTU_CLIENT_PATH, "--worker", KESTU_WORKER_PATH, "--tsv", "--threads", "2",
                           model_path("digits-tiny-f16.bin"), dir + "/speech.wav", dir + "/stereo.wav",
                           dir + "/float.wav", models_dir() + "/samples/" + b.name},
                          PYTHON);
    const worker_result r = client.finish();

    // two files refused, so the status says not everything went through;
    // they keep their rows, in order
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.lines.size(), 4u) << r.err;
    EXPECT_EQ(r.lines[0], "speech.wav\t" + a.text);
    EXPECT_EQ(r.lines[1].rfind("stereo.wav\t[error: found 16-bit PCM, 2 channels, 44100 Hz", 0), 0u) << r.lines[1];
    EXPECT_EQ(r.lines[2].rfind("float.wav\t[error: found 32-bit IEEE float, 1 channel, 16000 Hz", 0), 0u)
        << r.lines[2];
    EXPECT_EQ(r.lines[3], b.name + "\t" + b.text);
    EXPECT_NE(r.err.find("stereo.wav: found 16-bit PCM, 2 channels, 44100 Hz"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("float.wav: found 32-bit IEEE float, 1 channel, 16000 Hz"), std::string::npos) << r.err;
}

// Only audio is sent: raw floats only from files named as raw, other formats
// by their first bytes; every file keeps its row.
TEST(WorkerClient, SendsOnlyAudioAndGivesEveryFileARow) {
    if (access(PYTHON, X_OK) != 0) {
        GTEST_SKIP() << "no " << PYTHON;
    }
    const temp_dir    tmp;
    const std::string dir = tmp.path;
    const clip &      a   = sample_clips().at(0);
    const clip &      b   = sample_clips().at(1);
    const clip &      c   = sample_clips().at(2);

    std::string unknown;  // no known header, not text; a multiple of 4 bytes
    for (int i = 0; i < 4000; ++i) {
        unknown += (char) (i * 37 % 256);
    }
    const std::string convert = "ffmpeg -i IN -ac 1 -ar 16000 -c:a pcm_s16le OUT.wav";
    const struct {
        std::string name;
        std::string bytes;
        row         expected;
    } files[] = {
        { "speech.wav", wav_file(1, 1, 16000, 16, pcm16(a.samples)), { "speech.wav", a.text, "" } },
        { "clip.f32", f32_bytes(b.samples), { "clip.f32", b.text, "" } },
        { "clip.raw", f32_bytes(c.samples), { "clip.raw", c.text, "" } },
        { "numbers.txt", "0.25 0.5 -0.5 0.125\n0.75 1.0 0.0 -1.000\n", { "numbers.txt", "", "not audio (a text file)" } },
        { "song.flac", std::string("fLaC\0\0\0\x22", 8) + std::string(40, '\x11'), { "song.flac", "", "FLAC audio" } },
        { "song.ogg", std::string("OggS\0\x02", 6) + std::string(42, '\x11'), { "song.ogg", "", "Ogg audio" } },
        { "tagged.mp3", std::string("ID3\x03\0\0\0\0\x01\x11", 10) + std::string(38, '\x11'), { "tagged.mp3", "", "MP3 audio" } },
        { "frames.mp3", std::string("\xff\xfb\x90\x64", 4) + std::string(44, '\x11'), { "frames.mp3", "", "MP3 audio" } },
        { "unknown.bin", unknown, { "unknown.bin", "", "not audio (unrecognised contents" } },
        { "long.f32", std::string((1920000 + 1) * 4, '\0'), { "long.f32", "", "1920001 samples" } },
    };

    std::vector<std::string> args = {"--worker", KESTU_WORKER_PATH, "--tsv", "--threads", "2",
                                     model_path("digits-tiny-f16.bin")};
    std::vector<row>         rows;
    for (const auto & f : files) {
        ASSERT_EQ(f.bytes.size() % 4, 0u) << f.name << " must look like floats by its size";
        write_file(dir + "/" + f.name, f.bytes);
        args.push_back(dir + "/" + f.name);
        rows.push_back(f.expected);
    }
    const worker_result r = run_client(args);

    EXPECT_EQ(r.status, 1);
    expect_rows(r, rows);
    for (const auto & f : files) {
        if (f.expected.why.empty()) {
            continue;
        }
        // the same reason on standard error, with the path
        EXPECT_NE(r.err.find(dir + "/" + f.name + ": "), std::string::npos) << r.err;
        const bool container = f.name.find(".flac") != std::string::npos || f.name.find(".ogg") != std::string::npos ||
                               f.name.find(".mp3") != std::string::npos;
        if (container) {
            EXPECT_NE(r.lines[&f - files].find(convert), std::string::npos) << r.lines[&f - files];
        }
    }
    // the length refused gives figures that differ from the limit's
    EXPECT_NE(r.err.find("at most 1920000 samples"), std::string::npos) << r.err;
}

// --raw reads raw floats under any name; WAV files are still read as WAV.
TEST(WorkerClient, RawOptionReadsFloatsUnderAnyName) {
    if (access(PYTHON, X_OK) != 0) {
        GTEST_SKIP() << "no " << PYTHON;
    }
    const temp_dir    tmp;
    const std::string dir = tmp.path;
    const clip &      a   = sample_clips().at(0);
    const clip &      b   = sample_clips().at(1);
    write_file(dir + "/speech.wav", wav_file(1, 1, 16000, 16, pcm16(a.samples)));
    write_file(dir + "/clip.bin", f32_bytes(b.samples));

    const worker_result r = run_client({"--worker", KESTU_WORKER_PATH, "--tsv", "--raw", "--threads", "2",
                                        model_path("digits-tiny-f16.bin"), dir + "/speech.wav", dir + "/clip.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    expect_rows(r, {{"speech.wav", a.text, ""}, {"clip.bin", b.text, ""}});
}

// A worker that ends, is killed or breaks the protocol mid-run: the file it
// failed on and every later file still get a row, and the one line about the
// fault names the worker and the file.
TEST(WorkerClient, EveryFileGetsARowWhenTheWorkerFails) {
    if (access(PYTHON, X_OK) != 0) {
        GTEST_SKIP() << "no " << PYTHON;
    }
    const temp_dir    tmp;
    const std::string dir = tmp.path;
    const clip &      a   = sample_clips().at(0);
    write_file(dir + "/1.f32", f32_bytes(a.samples));
    write_file(dir + "/2.f32", f32_bytes(a.samples));
    write_file(dir + "/3.txt", "not audio at all\n");
    write_file(dir + "/4.f32", f32_bytes(a.samples));

    const struct {
        const char * name;
        const char * then;  // the fake worker's doing at the second request
        const char * why;   // in the second file's row
    } cases[] = {
        { "exits", "sys.exit(1)", "ended (status 1) without answering" },
        { "killed", "os.kill(os.getpid(), signal.SIGKILL)", "ended (killed by signal 9) without answering" },
        { "not-json", "print('Segmentation fault', flush=True)",
          "wrote a line that is not one of the worker's JSON lines: 'Segmentation fault'" },
        { "json-array", "print('[1, 2]', flush=True)", "wrote a line that is not one of the worker's JSON lines: '[1, 2]'" },
        { "no-answer", "print('{\"ok\":true}', flush=True)", "wrote a JSON line that is not an answer" },
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.name);
        const std::string worker = dir + "/" + c.name + ".py";
        write_fake_worker(worker, c.then);
        const worker_result r = run_client({"--worker", worker, "--tsv", model_path("digits-tiny-f16.bin"),
                                            dir + "/1.f32", dir + "/2.f32", dir + "/3.txt", dir + "/4.f32"});
        EXPECT_EQ(r.status, 1);
        expect_rows(r, {{"1.f32", "hello", ""},
                        {"2.f32", "", std::string("the worker ") + worker + " " + c.why},
                        {"3.txt", "", "not audio"},
                        {"4.f32", "", "not sent"}});
        EXPECT_NE(r.err.find(dir + "/2.f32: not transcribed: the worker " + worker), std::string::npos) << r.err;
    }
}

// A worker path that is not the worker, or a model it cannot load: one line
// naming the path at fault, status 1, no traceback and no rows.
TEST(WorkerClient, StartFailuresAreOneLineNamingThePath) {
    if (access(PYTHON, X_OK) != 0) {
        GTEST_SKIP() << "no " << PYTHON;
    }
    const temp_dir    tmp;
    const std::string dir = tmp.path;
    write_file(dir + "/clip.f32", f32_bytes(sample_clips().at(0).samples));
    write_file(dir + "/hello.sh", "#!/bin/sh\necho hello\n");
    write_file(dir + "/silent.sh", "#!/bin/sh\nexit 0\n");
    write_file(dir + "/bad-model.bin", std::string(300, '\x5a'));
    std::filesystem::permissions(dir + "/hello.sh", std::filesystem::perms::owner_all);
    std::filesystem::permissions(dir + "/silent.sh", std::filesystem::perms::owner_all);
    std::filesystem::create_directory(dir + "/a-directory");

    const std::string model = model_path("digits-tiny-f16.bin");
    const struct {
        std::string worker;
        std::string model;
        std::string why;  // on the one line of standard error
    } cases[] = {
        { dir + "/hello.sh", model, dir + "/hello.sh did not start as the worker: it wrote a line that is not" },
        { dir + "/silent.sh", model, dir + "/silent.sh did not start as the worker: it ended (status 0)" },
        { dir + "/a-directory", model, "cannot start the worker " + dir + "/a-directory" },
        { KESTU_WORKER_PATH, dir + "/no-such-model.bin", "no model file at " + dir + "/no-such-model.bin" },
        { KESTU_WORKER_PATH, dir + "/bad-model.bin", "cannot load the model " + dir + "/bad-model.bin" },
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.worker + " " + c.model);
        const worker_result r = run_client({"--worker", c.worker, "--tsv", c.model, dir + "/clip.f32"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.lines.empty());
        const std::vector<std::string> err = split_lines(r.err);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_EQ(err[0].rfind("kestu-client: ", 0), 0u) << r.err;
        EXPECT_NE(err[0].find(c.why), std::string::npos) << r.err;
    }
}

} // namespace
