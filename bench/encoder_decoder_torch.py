"""The speech model's encoder and decoder in PyTorch, float32, random weights:
the yardstick bench-encoder-decoder runs beside the speech library.

    OMP_WAIT_POLICY=PASSIVE /usr/bin/python3 encoder_decoder_torch.py \
        --state 384 --head 6 --enc-layers 4 --dec-layers 4 --threads 4

Same shapes as the library's graphs: convolution stem (two conv1d, GELU),
positional table added, pre-norm layers with multi-head self-attention
(matrix product, softmax, matrix product), a 4x MLP with GELU, a final norm;
the "encoder" time also projects the encoder output into the cross-attention
keys and values of every text layer, as the library's encoder run does.
A decoder step is one token through self-attention over a growing cache,
cross-attention over those keys and values, the MLP and the logits against
the token embedding. Prints one line per measurement (median of --reps),
after the OpenBLAS kernel family torch multiplies with ("openblas core: X";
OPENBLAS_CORETYPE in the environment sets it; --probe prints only that).
"""

import argparse
import os
import statistics
import sys
import time

ap = argparse.ArgumentParser()
ap.add_argument("--state", type=int, default=384)
ap.add_argument("--head", type=int, default=6)
ap.add_argument("--enc-layers", type=int, default=4)
ap.add_argument("--dec-layers", type=int, default=4)
ap.add_argument("--vocab", type=int, default=51864)
ap.add_argument("--mels", type=int, default=80)
ap.add_argument("--audio-ctx", type=int, default=1500)
ap.add_argument("--text-ctx", type=int, default=448)
ap.add_argument("--steps", type=int, default=20)
ap.add_argument("--threads", type=int, default=1)
ap.add_argument("--reps", type=int, default=3)
ap.add_argument("--config", action="store_true", help="print torch.__config__.show() first")
ap.add_argument("--probe", action="store_true", help="print the OpenBLAS kernel family and stop")
args = ap.parse_args()

# OpenBLAS (pthread build) reads its thread count when it is loaded; torch's
# own count covers only its OpenMP loops
os.environ["OPENBLAS_NUM_THREADS"] = str(args.threads)
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402
from openblas_core import core_line, loaded_openblas  # noqa: E402

torch.set_num_threads(args.threads)
torch.manual_seed(1)

if args.config:
    print(torch.__config__.show())
    print("torch", torch.__version__, "parallel:", torch.__config__.parallel_info().splitlines()[0:4])

openblas = loaded_openblas()
blas_threads = openblas.openblas_get_num_threads() if openblas else -1
if args.config and openblas:
    print("OpenBLAS:", openblas.openblas_get_config().decode())
# the kernel family OpenBLAS picked for this processor, or was given
print(core_line(openblas))
if args.probe:
    sys.exit(0)
print(f"torch threads {torch.get_num_threads()} openblas threads {blas_threads} "
      f"OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY')}")

D, H = args.state, args.head
DH = D // H
N_AUDIO = args.audio_ctx


def rnd(*shape, scale=0.02):
    return torch.randn(*shape, dtype=torch.float32) * scale


def gelu(x):
    # the library's GELU is the tanh form
    return F.gelu(x, approximate="tanh")


def layer_norm(x, p):
    return F.layer_norm(x, (D,), p[0], p[1], 1e-5)


def norm_params():
    return (torch.ones(D) + rnd(D), rnd(D))


def attn_params():
    return {"q": (rnd(D, D), rnd(D)), "k": rnd(D, D), "v": (rnd(D, D), rnd(D)), "o": (rnd(D, D), rnd(D))}


def mlp_params():
    return {"w0": rnd(4 * D, D), "b0": rnd(4 * D), "w1": rnd(D, 4 * D), "b1": rnd(D)}


enc = {
    "conv1": (rnd(D, args.mels, 3), rnd(D)),
    "conv2": (rnd(D, D, 3), rnd(D)),
    "pe": rnd(N_AUDIO, D),
    "layers": [{"ln0": norm_params(), "attn": attn_params(), "ln1": norm_params(), "mlp": mlp_params()}
               for _ in range(args.enc_layers)],
    "ln_post": norm_params(),
}
dec = {
    "te": rnd(args.vocab, D),
    "pe": rnd(args.text_ctx, D),
    "layers": [{"ln0": norm_params(), "attn": attn_params(), "ln1": norm_params(), "cross": attn_params(),
                "ln2": norm_params(), "mlp": mlp_params()} for _ in range(args.dec_layers)],
    "ln": norm_params(),
}


def heads(x):
    # [n, D] -> [H, n, DH]
    return x.view(x.shape[0], H, DH).transpose(0, 1)


def attention(q, k, v):
    # q [H, n, DH], k and v [H, m, DH]; the scale goes on q, the small side
    w = torch.softmax(torch.matmul(q * (DH ** -0.5), k.transpose(1, 2)), dim=-1)
    return torch.matmul(w, v).transpose(0, 1).reshape(q.shape[1], D)


def mlp(x, p):
    return F.linear(gelu(F.linear(x, p["w0"], p["b0"])), p["w1"], p["b1"])


def encode(mel):
    # mel [n_mels, 2 n_audio] -> cross keys and values per text layer
    x = gelu(F.conv1d(mel.unsqueeze(0), *enc["conv1"], padding=1))
    x = gelu(F.conv1d(x, *enc["conv2"], stride=2, padding=1))
    x = x[0].transpose(0, 1) + enc["pe"]
    for p in enc["layers"]:
        h = layer_norm(x, p["ln0"])
        a = p["attn"]
        q = F.linear(h, *a["q"])
        k = F.linear(h, a["k"])
        v = F.linear(h, *a["v"])
        x = x + F.linear(attention(heads(q), heads(k), heads(v)), *a["o"])
        x = x + mlp(layer_norm(x, p["ln1"]), p["mlp"])
    x = layer_norm(x, enc["ln_post"])
    return [(heads(F.linear(x, p["cross"]["k"])), heads(F.linear(x, *p["cross"]["v"]))) for p in dec["layers"]]


def decode_step(token, pos, cross, k_self, v_self):
    # one token at position pos; k_self/v_self [layers, text_ctx, D] grow by one row
    x = dec["te"][token].unsqueeze(0) + dec["pe"][pos].unsqueeze(0)
    for il, p in enumerate(dec["layers"]):
        h = layer_norm(x, p["ln0"])
        a = p["attn"]
        k_self[il, pos] = F.linear(h, a["k"])[0]
        v_self[il, pos] = F.linear(h, *a["v"])[0]
        q = F.linear(h, *a["q"])
        x = x + F.linear(attention(heads(q), heads(k_self[il, :pos + 1]), heads(v_self[il, :pos + 1])), *a["o"])
        h = layer_norm(x, p["ln1"])
        c = p["cross"]
        q = F.linear(h, *c["q"])
        x = x + F.linear(attention(heads(q), *cross[il]), *c["o"])
        x = x + mlp(layer_norm(x, p["ln2"]), p["mlp"])
    x = layer_norm(x, dec["ln"])
    return torch.matmul(x, dec["te"].t())[0]


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return (time.perf_counter() - t0) * 1e3, out


with torch.inference_mode():
    mel = torch.rand(args.mels, 2 * N_AUDIO) * 2 - 1

    cross = encode(mel)  # warm-up
    enc_ms = []
    for _ in range(args.reps):
        ms, cross = timed(lambda: encode(mel))
        enc_ms.append(ms)

    k_self = torch.zeros(args.dec_layers, args.text_ctx, D)
    v_self = torch.zeros(args.dec_layers, args.text_ctx, D)

    def steps():
        token = 50257
        for pos in range(args.steps):
            logits = decode_step(token, pos, cross, k_self, v_self)
            token = int(torch.argmax(logits))
        return token

    steps()  # warm-up
    dec_ms = []
    for _ in range(args.reps):
        ms, _ = timed(steps)
        dec_ms.append(ms / args.steps)

print(f"torch encoder: {statistics.median(enc_ms):.3f} ms")
print(f"torch decoder step: {statistics.median(dec_ms):.3f} ms")
sys.stdout.flush()
