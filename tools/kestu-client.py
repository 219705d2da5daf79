#!/usr/bin/python3
"""Sends audio files to kestu-worker and prints what it heard in each.

    tools/kestu-client.py [options] MODEL FILE...

Starts the worker on MODEL, waits for its ready line, then sends each FILE as
one request and prints the answer. A FILE is either a 16-bit PCM WAV file at
16 kHz mono, or raw little-endian 32-bit floats at 16 kHz mono (any name, for
example the shipped models/samples/NN.f32). Other WAV files are refused with
what they hold. Python 3 standard library only.
"""

import argparse
import array
import json
import os
import struct
import subprocess
import sys

SAMPLE_RATE = 16000
MAX_SAMPLES = 1920000  # 120 s: the worker refuses longer requests and ends

WAV_FORMATS = {
    0x0001: "PCM",
    0x0003: "IEEE float",
    0x0006: "A-law",
    0x0007: "mu-law",
    0x0011: "IMA ADPCM",
    0x0055: "MP3",
    0xFFFE: "extensible",
}


class AudioError(Exception):
    pass


def default_worker():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.path.join(root, "build", "worker", "kestu-worker")


def wav_chunks(data):
    """Yields (id, body) of each chunk after the RIFF/WAVE header."""
    pos = 12
    while pos + 8 <= len(data):
        cid, size = struct.unpack_from("<4sI", data, pos)
        body = data[pos + 8:pos + 8 + size]  # streaming writers overstate sizes
        yield cid, body
        pos += 8 + size + (size & 1)


def read_wav(path, data):
    if len(data) < 12 or data[8:12] != b"WAVE":
        raise AudioError("RIFF file that is not WAVE audio")
    fmt = None
    samples = None
    for cid, body in wav_chunks(data):
        if cid == b"fmt " and fmt is None:
            if len(body) < 16:
                raise AudioError("WAV file with a damaged fmt chunk")
            fmt = body
        elif cid == b"data" and samples is None:
            samples = body
    if fmt is None:
        raise AudioError("WAV file without a fmt chunk")
    if samples is None:
        raise AudioError("WAV file without a data chunk")

    code, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", fmt, 0)
    name = WAV_FORMATS.get(code, "format 0x%04x" % code)
    if code == 0xFFFE and len(fmt) >= 26:
        sub = struct.unpack_from("<H", fmt, 24)[0]
        code = sub
        name = WAV_FORMATS.get(sub, "format 0x%04x" % sub) + " (extensible)"
    if code != 1 or bits != 16 or channels != 1 or rate != SAMPLE_RATE:
        raise AudioError(
            "found %d-bit %s, %d channel%s, %d Hz; only 16-bit PCM WAV at "
            "16000 Hz mono is accepted (for example: ffmpeg -i IN -ac 1 -ar 16000 "
            "-c:a pcm_s16le OUT.wav)"
            % (bits, name, channels, "" if channels == 1 else "s", rate))

    pcm = array.array("h")
    pcm.frombytes(samples[:len(samples) - len(samples) % 2])
    if sys.byteorder != "little":
        pcm.byteswap()
    return array.array("f", (s / 32768.0 for s in pcm))


def read_audio(path):
    """The file's samples as 16 kHz mono floats."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"RIFF":
        return read_wav(path, data)
    if path.lower().endswith(".wav"):
        raise AudioError("named .wav but has no RIFF header")
    if len(data) % 4 != 0:
        raise AudioError("raw audio must be 32-bit floats, but %d bytes is not a multiple of 4"
                         % len(data))
    samples = array.array("f")
    samples.frombytes(data)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


def request_bytes(samples):
    body = array.array("f", samples)
    if sys.byteorder != "little":
        body.byteswap()
    return struct.pack("<I", len(body)) + body.tobytes()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model", help="speech model file")
    ap.add_argument("files", nargs="+", metavar="FILE", help="audio files")
    ap.add_argument("--worker", default=default_worker(), help="worker program (default: %(default)s)")
    ap.add_argument("--threads", type=int, default=0, help="compute threads (default: the worker's choice)")
    ap.add_argument("--fit", action="store_true", help="size the audio context to each request")
    ap.add_argument("--cpu", action="store_true", help="never use a GPU")
    ap.add_argument("--tsv", action="store_true", help="print FILE<TAB>TEXT lines only")
    args = ap.parse_args()

    if not os.access(args.worker, os.X_OK):
        sys.exit("kestu-client: no worker at %s (build it first, or give --worker)" % args.worker)

    cmd = [args.worker, args.model, str(args.threads), "cpu" if args.cpu else "any",
           "fit" if args.fit else "full"]
    worker = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    ready = json.loads(worker.stdout.readline() or "{}")
    if not ready.get("ready"):
        worker.stdin.close()
        status = worker.wait()
        sys.exit("kestu-client: the worker is not ready: %s (exit status %d)"
                 % (ready.get("error", "no answer"), status))
    if not args.tsv:
        print("ready in %d ms, %d threads" % (ready["load_ms"], ready["threads"]), file=sys.stderr)

    failures = 0
    for path in args.files:
        name = os.path.basename(path)
        try:
            samples = read_audio(path)
            if len(samples) == 0:
                raise AudioError("no samples")
            if len(samples) > MAX_SAMPLES:
                raise AudioError("%.1f s long; at most 120 s go in one request"
                                 % (len(samples) / SAMPLE_RATE))
        except (OSError, AudioError) as e:
            print("%s: %s" % (path, e), file=sys.stderr)
            failures += 1
            continue

        try:
            worker.stdin.write(request_bytes(samples))
            worker.stdin.flush()
        except BrokenPipeError:
            print("kestu-client: the worker ended early", file=sys.stderr)
            failures += 1
            break
        line = worker.stdout.readline()
        if not line:
            print("kestu-client: the worker ended without answering %s" % path, file=sys.stderr)
            failures += 1
            break
        answer = json.loads(line)
        if not answer.get("ok"):
            failures += 1
            text = "[error: %s]" % answer.get("error")
        else:
            text = answer["text"]
        if args.tsv:
            print("%s\t%s" % (name, text))
        elif answer.get("ok"):
            print("%s: %s  (%d ms for %d ms of audio)" % (name, text, answer["ms"], answer["audio_ms"]))
        else:
            print("%s: %s" % (name, text))
        sys.stdout.flush()

    try:
        worker.stdin.close()
    except BrokenPipeError:
        pass
    status = worker.wait()
    if status != 0:
        print("kestu-client: the worker ended with status %d" % status, file=sys.stderr)
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
