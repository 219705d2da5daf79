// The client in tools/: it sends 16-bit PCM WAV files at 16 kHz mono and raw
// float files to the worker and prints each answer; any other WAV file is
// refused with what it holds, and the others are still sent.

#include "worker-test-helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

    // two files refused, so the status says not everything went through
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"speech.wav\t" + a.text, b.name + "\t" + b.text}));
    EXPECT_NE(r.err.find("stereo.wav: found 16-bit PCM, 2 channels, 44100 Hz"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("float.wav: found 32-bit IEEE float, 1 channel, 16000 Hz"), std::string::npos) << r.err;
}

} // namespace
