"""Timings of velmar.tensor against baselines taken in the same run.

    PYTHONPATH=build/dev python3 bench/tensor_bench.py [--repeat N]

Every figure is a ratio to a baseline measured alongside it (best of N), so a
loaded machine shifts both sides alike.
"""

from __future__ import annotations

import argparse
import threading
import time
from collections.abc import Callable

import numpy as np

import velmar
from velmar import _tensor
from velmar import tensor as vt


def best(f: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def line(name: str, t: float, base: float, target: str = "") -> None:
    print(f"{name:58} {t * 1e3:9.2f} ms  {t / base:6.2f}x {target}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    r = ap.parse_args().repeat
    rng = np.random.default_rng(0)
    print(f"kernel level: {_tensor.kernel_level()}")

    w = rng.standard_normal((4096, 4096), dtype=np.float32)
    flat = w.ravel()
    base = best(lambda: velmar.quantize(flat, 8, 32), r)
    line("1-D quantize, 16 M values, 8-bit/32 (baseline)", base, base)
    line("quantize 4096x4096 float32, 8-bit/32", best(lambda: vt.quantize(w), r), base, "(target <= 1.3x)")

    short = rng.standard_normal((100_000, 100), dtype=np.float32)
    flat10 = short.ravel()
    base = best(lambda: velmar.quantize(flat10, 8, 32), r)
    line("1-D quantize, 10 M values, 8-bit/32 (baseline)", base, base)
    line("quantize 100,000 x 100, 8-bit/32", best(lambda: vt.quantize(short), r), base, "(target <= 2x)")

    x = rng.standard_normal(4096, dtype=np.float32)
    for bits, target in ((8, "0.5x"), (4, "0.6x")):
        t = vt.quantize(w, bits=bits)
        deq = t.dequantize()
        base = best(lambda: deq @ x, r)
        line(f"NumPy W_f32 @ x, 4096x4096 (baseline for {bits}-bit)", base, base)
        line(f"matvec 4096x4096 {bits}-bit", best(lambda: t @ x, r), base, f"(target <= {target})")
        single = best(lambda: t @ x, r)
        for k in (1, 4, 16, 64):
            xs = rng.standard_normal((k, 4096), dtype=np.float32)
            line(f"  batch k={k:<3} {bits}-bit, per vector vs k=1", best(lambda: t @ xs, r) / k, single)

    # Two threads, each quantizing its own matrix, against one thread doing both.
    a, b = w[:2048], w[2048:]
    one = best(lambda: (vt.quantize(a), vt.quantize(b)), r)

    def two() -> None:
        ts = [threading.Thread(target=vt.quantize, args=(m,)) for m in (a, b)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    both = best(two, r)
    print(f"{'two threads vs one (throughput ratio, target >= 1.7)':58} {one / both:6.2f}")


if __name__ == "__main__":
    main()
