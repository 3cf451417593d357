"""The super-block kinds (GGUF K-quants): accuracy, importance and speed.

    PYTHONPATH=build/dev python3 bench/kquants.py [--repeat N] [--quick] [--ggml /path/to/libggml-base.so]

Accuracy: relative RMS error (RMS of the error over RMS of the values) on
weight-like data: 64 rows of 4096 standard-normal values, every sixteenth
row carrying four outliers of 8 to 16, against the issue's table of ggml's
quantizer on real weights. Importance: on a layer W (128 x 1024) and
calibration activations X whose channel scales are log-normal, the output
error ||X W^T - X What^T|| with the mean squared activations as weights,
over the same without. Speed, one thread: quantizing 4096 x 4096 float32
values and decoding them back, each timed in turn with a copy of the same
bytes N times; the median paired ratio to the copy is shown with the rate
it implies.

With --ggml (a libggml-base built from ggml's public sources, for example
``cmake -S ggml -B build -DBUILD_SHARED_LIBS=ON && cmake --build build
--target ggml-base``), ggml's own quantizer runs beside velmar on the same
data through its public ``ggml_quantize_chunk``, and its quantizing time is
the baseline of a further ratio. velmar never depends on it.
"""

from __future__ import annotations

import argparse
import ctypes
import statistics
import sys
import time
from collections.abc import Callable
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar import tensor as vt
from velmar.kquants import TYPES

TABLE = {"q2_k": 0.301, "q3_k": 0.153, "q4_k": 0.0725, "q5_k": 0.0367, "q6_k": 0.0181}


def weight_like(rows: int = 64, cols: int = 4096, seed: int = 0) -> npt.NDArray[np.float32]:
    rng = np.random.default_rng(seed)
    w = rng.standard_normal((rows, cols)).astype(np.float32)
    for r in range(0, rows, 16):
        w[r, rng.choice(cols, 4, replace=False)] = rng.choice([-1, 1], 4) * rng.uniform(8, 16, 4)
    return w


class Ggml:
    """ggml's quantizer through its public C entry point."""

    def __init__(self, path: str) -> None:
        import gguf  # only beside ggml: the runner finds this topic without it

        self.gguf = gguf
        self.f = ctypes.CDLL(path).ggml_quantize_chunk
        self.f.restype = ctypes.c_size_t
        self.f.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64,
                           ctypes.c_int64, ctypes.c_void_p]

    def quantize(self, x: npt.NDArray[np.float32], kind: Any, weights: Any = None) -> npt.NDArray[np.uint8]:
        x = np.ascontiguousarray(x, np.float32)
        out = np.empty((x.shape[0], x.shape[1] // 256 * self.gguf.GGML_QUANT_SIZES[kind][1]), np.uint8)
        w = None if weights is None else np.ascontiguousarray(weights, np.float32)
        self.f(int(kind), x.ctypes.data, out.ctypes.data, 0, x.shape[0], x.shape[1], None if w is None else w.ctypes.data)
        return out


def rel_rms(decoded: npt.ArrayLike, x: npt.NDArray[np.float32]) -> float:
    x64 = x.astype(np.float64)
    return float(np.linalg.norm(np.asarray(decoded, np.float64) - x64) / np.linalg.norm(x64))


def ratio(f: Callable[[], object], base: Callable[[], object], repeat: int) -> tuple[float, float]:
    """Median over ``repeat`` paired runs of time(f) / time(base), and base's best time."""
    pairs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        base()
        t1 = time.perf_counter()
        f()
        t2 = time.perf_counter()
        pairs.append((t1 - t0, t2 - t1))
    return statistics.median(t / b for b, t in pairs), min(b for b, _ in pairs)


def measure(out: IO[str], repeat: int, n: int, ggml: Ggml | None = None) -> list[tuple[str, float]]:
    """n is the side of the square matrix timed (4096 for the recorded figures)."""
    print(f"kernel level: {_tensor.kernel_level()}; {repeat} paired runs, medians", file=out)
    w = weight_like()
    rng = np.random.default_rng(1)
    layer = rng.standard_normal((128, 1024)).astype(np.float32)
    acts = (rng.standard_normal((512, 1024)) * np.exp(rng.standard_normal(1024))).astype(np.float32)
    importance = (acts.astype(np.float64) ** 2).mean(axis=0)
    exact = acts @ layer.T

    def output_error(decoded: npt.NDArray[np.float32]) -> float:
        return float(np.linalg.norm(exact - acts @ decoded.T))

    big = np.random.default_rng(2).standard_normal((n, n), dtype=np.float32)
    copy, decoded = np.empty_like(big), np.empty_like(big)
    mb = big.nbytes / 1e6
    figures = []
    head = ("type", "bits/value", "rel RMS", "table", "ggml", "w/plain", "ggml", "quantize MB/s", "x copy",
            "ggml MB/s", "x ggml", "decode GB/s", "x copy")
    print(f"\noutput error with weights over without: w/plain; timed on {n} x {n} values", file=out)
    print("  ".join(f"{h:>10}" for h in head), file=out)
    for kind in TYPES:
        acc = rel_rms(vt.quantize(w, kind).dequantize(), w)
        gain = output_error(vt.quantize(layer, kind, weights=importance).dequantize()) / output_error(
            vt.quantize(layer, kind).dequantize())
        qr, qb = ratio(lambda: vt.quantize(big, kind), lambda: np.copyto(copy, big), repeat)
        t = vt.quantize(big, kind)
        dr, db = ratio(lambda: t.dequantize(out=decoded), lambda: np.copyto(copy, big), repeat)
        figures += [(f"{kind.name} relative RMS error | weight-like | the table's", acc / TABLE[kind.name]),
                    (f"{kind.name} output error | weighted | unweighted", gain),
                    (f"{kind.name} quantize | {n}x{n} | copy", qr), (f"{kind.name} decode | {n}x{n} | copy", dr)]
        theirs: list[float | None] = [None] * 4
        if ggml is not None:
            gt, dequantize = ggml.gguf.GGMLQuantizationType[kind.name.upper()], ggml.gguf.quants.dequantize
            g_plain = output_error(dequantize(ggml.quantize(layer, gt), gt))
            g_weighted = output_error(dequantize(ggml.quantize(layer, gt, importance), gt))
            vr, gb = ratio(lambda: vt.quantize(big, kind), lambda: ggml.quantize(big, gt), repeat)
            theirs = [rel_rms(dequantize(ggml.quantize(w, gt), gt), w), g_weighted / g_plain, mb / gb, vr]
            figures.append((f"{kind.name} quantize | {n}x{n} | ggml", vr))
        cells = [kind.name, kind.bits_per_element, acc, TABLE[kind.name], theirs[0], gain, theirs[1],
                 mb / (qr * qb), qr, theirs[2], theirs[3], mb / 1e3 / (dr * db), dr]
        print("  ".join(f"{c:>10}" if isinstance(c, str) else f"{'-':>10}" if c is None else f"{c:10.4g}"
                        for c in cells), file=out)
    return figures


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    return measure(out, 3, 1024) if level == "quick" else measure(out, 5, 4096)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="time a 1024 x 1024 matrix instead of 4096 x 4096")
    ap.add_argument("--ggml", metavar="LIB", help="libggml-base to compare against")
    args = ap.parse_args()
    measure(sys.stdout, args.repeat, 1024 if args.quick else 4096, Ggml(args.ggml) if args.ggml else None)


if __name__ == "__main__":
    main()
