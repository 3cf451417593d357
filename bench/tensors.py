"""Timings of velmar.tensor against baselines taken in the same run.

    PYTHONPATH=build/dev python3 bench/tensors.py [--repeat N] [--quick]

Every figure is a ratio to a baseline measured alongside it: the two run in
turn N times and the median of the N paired ratios is shown, with the best
time of each side, so that a loaded machine shifts both sides alike. NumPy's
BLAS runs with its default threads; set OPENBLAS_NUM_THREADS=1 to compare one
thread with one thread.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time
from collections.abc import Callable
from typing import IO

import numpy as np

import velmar
from velmar import _tensor
from velmar import tensor as vt


def once(f: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


class Table:
    def __init__(self, out: IO[str], repeat: int) -> None:
        self.out, self.repeat = out, repeat
        self.figures: list[tuple[str, float]] = []

    def compare(self, name: str, f: Callable[[], object], base: Callable[[], object]) -> None:
        """Runs base and f in turn; prints both best times and the median paired ratio."""
        pairs = [(once(base), once(f)) for _ in range(self.repeat)]
        ratio = statistics.median(t / b for b, t in pairs)
        fb, ft = min(b for b, _ in pairs), min(t for _, t in pairs)
        print(f"{name:56} {ft * 1e3:8.2f} ms vs {fb * 1e3:8.2f} ms  median ratio {ratio:5.2f}x", file=self.out)
        self.figures.append((name, ratio))


def measure(out: IO[str], repeat: int, n: int) -> list[tuple[str, float]]:
    """n is the side of the square matrix (4096 for the recorded figures)."""
    rng = np.random.default_rng(0)
    table = Table(out, repeat)
    print(f"kernel level: {_tensor.kernel_level()}", file=out)

    w = rng.standard_normal((n, n), dtype=np.float32)
    flat = w.ravel()
    table.compare(f"quantize {n}x{n} vs 1-D, 8-bit/32", lambda: vt.quantize(w), lambda: velmar.quantize(flat, 8, 32))
    short = rng.standard_normal((n * 25, 100), dtype=np.float32)
    flat10 = short.ravel()
    table.compare(f"quantize {n * 25}x100 vs 1-D, 8-bit/32", lambda: vt.quantize(short),
                  lambda: velmar.quantize(flat10, 8, 32))

    x = rng.standard_normal(n, dtype=np.float32)
    for bits in (8, 4):
        t = vt.quantize(w, bits=bits)
        deq = t.dequantize()
        table.compare(f"matvec {n}x{n} {bits}-bit vs NumPy W_f32 @ x", lambda: t @ x, lambda: deq @ x)
        for k in (4, 16, 64):
            xs = rng.standard_normal((k, n), dtype=np.float32)
            table.compare(f"  batch k={k:<3} {bits}-bit vs k times one vector", lambda: t @ xs, lambda: [t @ v for v in xs])

    # Two threads, each quantizing its own matrix, against one thread doing both.
    a, b = w[: n // 2], w[n // 2 :]

    def two() -> None:
        ts = [threading.Thread(target=vt.quantize, args=(m,)) for m in (a, b)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    table.compare(f"two threads quantizing {n // 2}x{n} each vs one after the other", two,
                  lambda: (vt.quantize(a), vt.quantize(b)))
    return table.figures


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    return measure(out, 3, 512) if level == "quick" else measure(out, 15, 4096)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="a 512 x 512 matrix instead of 4096 x 4096")
    args = ap.parse_args()
    measure(sys.stdout, args.repeat, 512 if args.quick else 4096)


if __name__ == "__main__":
    main()
