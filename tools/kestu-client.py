#!/usr/bin/python3
"""Sends audio files to kestu-worker and prints what it heard in each.

    tools/kestu-client.py [options] MODEL FILE...

Starts the worker on MODEL, waits for its ready line, then sends each FILE as
one request and prints the answer. A FILE is either a 16-bit PCM WAV file at
16 kHz mono, or raw little-endian 32-bit floats at 16 kHz mono in a file named
.f32 or .raw (for example the shipped models/samples/NN.f32), or any other name
with --raw. Other WAV files, other audio formats (FLAC, Ogg, MP3, ...), text
and unknown contents are refused with what they hold. Every FILE gets one line,
in order: its text, or why it was not transcribed. Python 3 standard library
only.
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
RAW_SUFFIXES = (".f32", ".raw")
ACCEPTED = ("only 16-bit PCM WAV at 16000 Hz mono is accepted (for example: ffmpeg -i IN -ac 1 "
            "-ar 16000 -c:a pcm_s16le OUT.wav)")

WAV_FORMATS = {
    0x0001: "PCM",
    0x0003: "IEEE float",
    0x0006: "A-law",
    0x0007: "mu-law",
    0x0011: "IMA ADPCM",
    0x0055: "MP3",
    0xFFFE: "extensible",
}


# (offset, first bytes, name) of audio containers the worker cannot take
CONTAINERS = [
    (0, b"fLaC", "FLAC"),
    (0, b"OggS", "Ogg"),
    (0, b"ID3", "MP3"),
    (4, b"ftyp", "MP4/M4A"),
    (0, b"\x1a\x45\xdf\xa3", "Matroska/WebM"),
    (0, b"FORM", "AIFF"),
    (0, b".snd", "AU"),
    (0, b"caff", "CAF"),
    (0, b"#!AMR", "AMR"),
    (0, b"\x30\x26\xb2\x75\x8e\x66\xcf\x11", "WMA"),
    (0, b"RF64", "RF64"),
]


class AudioError(Exception):
    pass


class WorkerError(Exception):
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
        raise AudioError("found %d-bit %s, %d channel%s, %d Hz; %s"
                         % (bits, name, channels, "" if channels == 1 else "s", rate, ACCEPTED))

    pcm = array.array("h")
    pcm.frombytes(samples[:len(samples) - len(samples) % 2])
    if sys.byteorder != "little":
        pcm.byteswap()
    return array.array("f", (s / 32768.0 for s in pcm))


def container(data):
    """The name of the audio format that the first bytes show, or None."""
    for offset, magic, name in CONTAINERS:
        if data[offset:offset + len(magic)] == magic:
            if name == "AIFF" and data[8:12] not in (b"AIFF", b"AIFC"):
                continue
            return name
    # an MPEG audio frame header: 11 sync bits; layer bits 0 are AAC's ADTS
    if len(data) >= 2 and data[0] == 0xFF and data[1] & 0xE0 == 0xE0:
        return "AAC" if data[1] & 0x06 == 0 else "MP3"
    return None


def is_text(data):
    head = data[:4096]
    try:
        text = head.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.start < len(head) - 3:
            return False
        text = head[:e.start].decode("utf-8")  # a character cut by the 4096 bytes
    return all(c.isprintable() or c in "\t\n\r\f\v\ufeff" for c in text)


def read_audio(path, raw=False):
    """The file's samples as 16 kHz mono floats. Raw floats have no header to
    tell them from anything else, so only files named or declared as raw are
    read as raw."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"RIFF":
        return read_wav(path, data)
    if not raw and not path.lower().endswith(RAW_SUFFIXES):
        kind = container(data)
        if kind:
            raise AudioError("%s audio, not WAV; %s" % (kind, ACCEPTED))
        if path.lower().endswith(".wav"):
            raise AudioError("named .wav but has no RIFF header")
        if not data:
            raise AudioError("not audio (an empty file)")
        if is_text(data):
            raise AudioError("not audio (a text file)")
        raise AudioError("not audio (unrecognised contents; raw 32-bit floats must be named "
                         ".f32 or .raw, or sent with --raw)")
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


def status_text(status):
    return "killed by signal %d" % -status if status < 0 else "status %d" % status


def close_input(worker):
    try:
        worker.stdin.close()
    except BrokenPipeError:
        pass  # what was still buffered for a worker that ended


def read_line(worker, what):
    """The worker's next line as a JSON object; WorkerError when it ended or
    wrote something else."""
    line = worker.stdout.readline()
    if not line:
        close_input(worker)
        try:
            status = worker.wait(timeout=30)
        except subprocess.TimeoutExpired:
            worker.kill()
            status = worker.wait()
        raise WorkerError("ended (%s) without %s" % (status_text(status), what))
    try:
        value = json.loads(line)
    except ValueError:
        value = None
    if not isinstance(value, dict):
        raise WorkerError("wrote a line that is not one of the worker's JSON lines: %r"
                          % line.rstrip(b"\n").decode("utf-8", "replace")[:200])
    return value


def answer_text(answer):
    """(ok, text) of an answer line; WorkerError when it is not one."""
    if answer.get("ok") is True and isinstance(answer.get("text"), str) and \
            isinstance(answer.get("ms"), int) and isinstance(answer.get("audio_ms"), int):
        return True, answer["text"]
    if answer.get("ok") is False and isinstance(answer.get("error"), str):
        return False, "[error: %s]" % answer["error"]
    raise WorkerError("wrote a JSON line that is not an answer: %s" % json.dumps(answer)[:200])


def stop(worker):
    """Ends the worker after it broke the protocol; its state is unknown."""
    close_input(worker)
    worker.kill()
    worker.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model", help="speech model file")
    ap.add_argument("files", nargs="+", metavar="FILE", help="audio files")
    ap.add_argument("--worker", default=default_worker(), help="worker program (default: %(default)s)")
    ap.add_argument("--threads", type=int, default=0, help="compute threads (default: the worker's choice)")
    ap.add_argument("--fit", action="store_true", help="size the audio context to each request")
    ap.add_argument("--cpu", action="store_true", help="never use a GPU")
    ap.add_argument("--raw", action="store_true",
                    help="read every FILE that is not WAV as raw 32-bit floats, whatever its name "
                         "(without it, only FILEs named .f32 or .raw)")
    ap.add_argument("--tsv", action="store_true", help="print FILE<TAB>TEXT lines only")
    args = ap.parse_args()

    if not os.access(args.worker, os.X_OK):
        sys.exit("kestu-client: no worker at %s (build it first, or give --worker)" % args.worker)

    cmd = [args.worker, args.model, str(args.threads), "cpu" if args.cpu else "any",
           "fit" if args.fit else "full"]
    try:
        worker = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    except OSError as e:
        sys.exit("kestu-client: cannot start the worker %s: %s" % (args.worker, e.strerror or e))

    try:
        ready = read_line(worker, "a ready line")
        if not isinstance(ready.get("ready"), bool):
            raise WorkerError("wrote a JSON line that is not a ready line: %s" % json.dumps(ready)[:200])
    except WorkerError as e:
        if worker.poll() is None:
            stop(worker)
        sys.exit("kestu-client: %s did not start as the worker: it %s" % (args.worker, e))
    if not ready["ready"]:
        close_input(worker)
        status = worker.wait()
        error = ready.get("error", "no reason")
        if error == "model" and not os.path.isfile(args.model):
            sys.exit("kestu-client: no model file at %s" % args.model)
        if error == "model":
            sys.exit("kestu-client: the worker cannot load the model %s: not a readable model file "
                     "(exit status %d)" % (args.model, status))
        sys.exit("kestu-client: the worker %s is not ready: %s (exit status %d)"
                 % (args.worker, error, status))
    if not args.tsv:
        print("ready in %s ms, %s threads" % (ready.get("load_ms"), ready.get("threads")), file=sys.stderr)

    def not_transcribed(path, why):
        # one line per file, also for the files the worker never saw
        print("%s: %s" % (path, why), file=sys.stderr)
        if args.tsv:
            print("%s\t[error: %s]" % (os.path.basename(path), why))
            sys.stdout.flush()

    failures = 0
    ended = None  # why the worker takes no more requests
    for path in args.files:
        name = os.path.basename(path)
        try:
            samples = read_audio(path, args.raw)
            if len(samples) == 0:
                raise AudioError("no samples")
            if len(samples) > MAX_SAMPLES:
                raise AudioError("%d samples (%.6f s) is too long; at most %d samples (120 s) go in "
                                 "one request" % (len(samples), len(samples) / SAMPLE_RATE, MAX_SAMPLES))
        except (OSError, AudioError) as e:
            not_transcribed(path, e)
            failures += 1
            continue
        if ended:
            not_transcribed(path, "not sent: %s" % ended)
            failures += 1
            continue

        try:
            try:
                worker.stdin.write(request_bytes(samples))
                worker.stdin.flush()
            except BrokenPipeError:
                pass  # it ended: the answer's read says how
            answer = read_line(worker, "answering")
            ok, text = answer_text(answer)
        except WorkerError as e:
            if worker.poll() is None:
                stop(worker)
            ended = "the worker %s stopped at %s" % (args.worker, path)
            not_transcribed(path, "not transcribed: the worker %s %s" % (args.worker, e))
            failures += 1
            continue
        if not ok:
            failures += 1
        if args.tsv:
            print("%s\t%s" % (name, text))
        elif ok:
            print("%s: %s  (%d ms for %d ms of audio)" % (name, text, answer["ms"], answer["audio_ms"]))
        else:
            print("%s: %s" % (name, text))
        sys.stdout.flush()

    if ended:
        return 1
    close_input(worker)
    status = worker.wait()
    if status != 0:
        print("kestu-client: the worker %s ended with %s" % (args.worker, status_text(status)), file=sys.stderr)
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
