"""Timings of velmar.tensor against baselines taken in the same run.

    PYTHONPATH=build/dev python3 bench/tensor_bench.py [--repeat N]

Every figure is a ratio to a baseline measured alongside it: the two run in
turn N times and the median of the N paired ratios is shown, with the best
time of each side, so that a loaded machine shifts both sides alike. NumPy's
BLAS runs with its default threads; set OPENBLAS_NUM_THREADS=1 to compare one
thread with one thread.
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time
from collections.abc import Callable

import numpy as np

import velmar
from velmar import _tensor
from velmar import tensor as vt


def once(f: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def compare(name: str, f: Callable[[], object], base: Callable[[], object], repeat: int, target: str = "") -> None:
    """Runs base and f in turn; prints both best times and the median paired ratio."""
    pairs = [(once(base), once(f)) for _ in range(repeat)]
    ratio = statistics.median(t / b for b, t in pairs)
    fb, ft = min(b for b, _ in pairs), min(t for _, t in pairs)
    print(f"{name:52} {ft * 1e3:8.2f} ms vs {fb * 1e3:8.2f} ms  median ratio {ratio:5.2f}x {target}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    r = ap.parse_args().repeat
    rng = np.random.default_rng(0)
    print(f"kernel level: {_tensor.kernel_level()}")

    w = rng.standard_normal((4096, 4096), dtype=np.float32)
    flat = w.ravel()
    compare("quantize 4096x4096 vs 1-D on 16 M, 8-bit/32", lambda: vt.quantize(w),
            lambda: velmar.quantize(flat, 8, 32), r, "(target <= 1.3x)")
    short = rng.standard_normal((100_000, 100), dtype=np.float32)
    flat10 = short.ravel()
    compare("quantize 100,000 x 100 vs 1-D on 10 M, 8-bit/32", lambda: vt.quantize(short),
            lambda: velmar.quantize(flat10, 8, 32), r, "(target <= 2x)")

    x = rng.standard_normal(4096, dtype=np.float32)
    for bits, target in ((8, "0.5x"), (4, "0.6x")):
        t = vt.quantize(w, bits=bits)
        deq = t.dequantize()
        compare(f"matvec 4096x4096 {bits}-bit vs NumPy W_f32 @ x", lambda: t @ x, lambda: deq @ x, r,
                f"(target <= {target})")
        for k in (4, 16, 64):
            xs = rng.standard_normal((k, 4096), dtype=np.float32)
            compare(f"  batch k={k:<3} {bits}-bit vs k times one vector", lambda: t @ xs,
                    lambda: [t @ v for v in xs], r)

    # Two threads, each quantizing its own matrix, against one thread doing both.
    a, b = w[:2048], w[2048:]

    def two() -> None:
        ts = [threading.Thread(target=vt.quantize, args=(m,)) for m in (a, b)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    compare("two threads quantizing 2048x4096 each vs one after the other", two,
            lambda: (vt.quantize(a), vt.quantize(b)), r, "(target <= 1/1.7 = 0.59x)")


if __name__ == "__main__":
    main()
