#!/usr/bin/python3
"""Yardstick for bench-mel: numpy's FFT-based log-mel of 30 s of audio.

Same framing as the library: 200 samples reflected in front (sample 0 not
repeated), 30 s of zeros behind, periodic Hann frames of 400 every 160, power
of the 201 bins onto an 80-band triangular mel bank, log10 floored at 1e-10,
clamped to 8 below the maximum and rescaled by (v + 4) / 4. Like the library,
frames wholly in the trailing silence skip the transform.

Usage: mel_numpy.py [samples.f32]   (raw little-endian float32, 16 kHz mono;
without a file, 30 s of tones and noise). Prints the OpenBLAS kernel family
numpy's mel-bank product runs on ("openblas core: X"; OPENBLAS_CORETYPE sets
it), then the best time in ms.
"""

import sys
import time

import numpy as np
from openblas_core import core_line, loaded_openblas

FRAME, STEP, PAD_FRONT, PAD_BACK = 400, 160, 200, 480000
N_MEL, N_BINS = 80, FRAME // 2 + 1


def mel_bank():
    mel = lambda f: 2595.0 * np.log10(1.0 + f / 700.0)
    hz = lambda m: 700.0 * (10.0 ** (m / 2595.0) - 1.0)
    edge = hz(np.linspace(0.0, mel(8000.0), N_MEL + 2))
    f = np.linspace(0.0, 8000.0, N_BINS)
    up = (f[None, :] - edge[:-2, None]) / (edge[1:-1] - edge[:-2])[:, None]
    dn = (edge[2:, None] - f[None, :]) / (edge[2:] - edge[1:-1])[:, None]
    return np.maximum(0.0, np.minimum(up, dn)).astype(np.float32)


def log_mel(samples, bank, window):
    n = len(samples)
    padded = np.zeros(n + PAD_FRONT + PAD_BACK + PAD_FRONT, dtype=np.float32)
    padded[PAD_FRONT:PAD_FRONT + n] = samples
    k = min(n, PAD_FRONT + 1)
    if n > 1:
        padded[PAD_FRONT - k + 1:PAD_FRONT] = samples[1:k][::-1]

    n_len = (n + PAD_BACK) // STEP
    n_in = PAD_FRONT + n
    n_audio = min(n_len, n_in // STEP + 1)
    # enough of the buffer for the last audio frame's 400 samples
    frames = np.lib.stride_tricks.sliding_window_view(padded[:STEP * (n_audio - 1) + FRAME], FRAME)[::STEP]

    spectrum = np.fft.rfft(frames * window, n=FRAME, axis=1)
    power = (spectrum.real ** 2 + spectrum.imag ** 2).astype(np.float32)

    out = np.full((N_MEL, n_len), -10.0, dtype=np.float32)
    out[:, :n_audio] = np.log10(np.maximum(bank @ power.T, 1e-10))
    out = np.maximum(out, out.max() - 8.0)
    return (out + 4.0) * 0.25


def main():
    if len(sys.argv) > 1:
        samples = np.fromfile(sys.argv[1], dtype="<f4")
    else:
        t = np.arange(PAD_BACK) / 16000.0
        rng = np.random.default_rng(7)
        samples = (0.4 * np.sin(2 * np.pi * 220.0 * t) + rng.uniform(-0.05, 0.05, t.size)).astype(np.float32)

    print(core_line(loaded_openblas()))
    bank = mel_bank()
    window = (0.5 * (1.0 - np.cos(2.0 * np.pi * np.arange(FRAME) / FRAME))).astype(np.float32)

    log_mel(samples, bank, window)  # warm-up
    best = float("inf")
    for _ in range(10):
        t0 = time.perf_counter()
        log_mel(samples, bank, window)
        best = min(best, time.perf_counter() - t0)
    print("numpy log-mel of %d samples: %.3f ms" % (len(samples), best * 1e3))


if __name__ == "__main__":
    main()
