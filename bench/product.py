"""Matrix products on the codes against the same product on the floats.

    PYTHONPATH=build/dev python3 bench/product.py [--repeat N] [--level avx2] [--quick] [--cpu-time]

An n x n float32 matrix W (4096; standard normal values times 0.02, like
model weights) and its quantized tensors t: the time of ``t @ x`` over the
time of ``W @ x`` with NumPy's BLAS pinned to one thread (threadpoolctl, from
the `bench` extra), each the median of N paired runs (one of each in turn, so
that a busy machine slows both alike); then ``t @ X`` for k vectors at once,
the time per vector over one ``W @ x``. ``--level`` forces velmar's kernels
to one instruction-set level (velmar._tensor.use_kernel_level), to show what
a CPU without the wider ones gets. As a topic of bench/run.py it runs at the
chosen level.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import statistics
import sys
import time
from collections.abc import Callable
from typing import IO, Any

import numpy as np

from velmar import _tensor
from velmar import tensor as vt

# (name, quantize keywords, target ratio to W @ x); the super-block kinds have none.
KINDS: list[tuple[str, dict[str, Any], float | None]] = [
    ("symmetric 8-bit", {"bits": 8}, 0.4),
    ("symmetric 4-bit", {"bits": 4}, 0.3),
    ("asymmetric 8-bit", {"kind": "asymmetric", "bits": 8}, 0.5),
    ("asymmetric 4-bit", {"kind": "asymmetric", "bits": 4}, 0.5),
    ("adaptive, tolerance 0.002", {"kind": "adaptive", "tolerance": 0.002}, 0.5),
    ("q4_k", {"kind": "q4_k"}, None),
    ("q6_k", {"kind": "q6_k"}, None),
]
BATCHED = ("symmetric 8-bit", "symmetric 4-bit", "asymmetric 4-bit", "q4_k")
BATCHES = (1, 8, 32, 128)


# The wall clock, or with --cpu-time (and always with --against) the calling
# thread's CPU time: on a machine shared with other work a call that is
# preempted is not charged for the wait. Both products run in the calling
# thread (BLAS pinned to one).
clock = time.perf_counter


def timed(f: Callable[[], object]) -> float:
    t0 = clock()
    f()
    return clock() - t0


def paired(f: Callable[[], object], base: Callable[[], object], repeat: int) -> tuple[float, float, float]:
    """Median of the paired ratios f / base, and the median time of each."""
    f(), base()
    pairs = [(timed(base), timed(f)) for _ in range(repeat)]
    return (statistics.median(t / b for b, t in pairs), statistics.median(t for _, t in pairs),
            statistics.median(b for b, _ in pairs))


def one_blas_thread() -> contextlib.AbstractContextManager[object]:
    try:
        threadpoolctl: Any = importlib.import_module("threadpoolctl")
    except ImportError:  # set OPENBLAS_NUM_THREADS=1 instead
        return contextlib.nullcontext()
    limits: contextlib.AbstractContextManager[object] = threadpoolctl.threadpool_limits(1)
    return limits


def measure(out: IO[str], repeat: int, n: int) -> list[tuple[str, float]]:
    print(f"kernel level: {_tensor.kernel_level()}; NumPy {np.__version__}, BLAS pinned to one thread; "
          f"load average {os.getloadavg()[0]:.1f}; {'thread CPU time' if clock is time.thread_time else 'wall clock'}",
          file=out)
    figures: list[tuple[str, float]] = []
    rng = np.random.default_rng(0)
    w = rng.standard_normal((n, n), dtype=np.float32) * np.float32(0.02)
    x = rng.standard_normal(n, dtype=np.float32)
    with one_blas_thread():
        print(f"\nt @ x, {n} x {n}: median of paired runs against W @ x", file=out)
        print(f"{'tensor':28} {'bits/elem':>9} {'t @ x':>9} {'W @ x':>9} {'ratio':>7} {'target':>7}", file=out)
        tensors = {}
        for name, kw, target in KINDS:
            t = tensors[name] = vt.quantize(w, **kw)
            ratio, tt, tb = paired(lambda: t @ x, lambda: w @ x, repeat)
            verdict = "" if target is None else f"{'<= ' + str(target):>7} {'met' if ratio <= target else 'not met'}"
            print(f"{name:28} {t.bits_per_element:9.2f} {tt * 1e3:7.2f}ms {tb * 1e3:7.2f}ms {ratio:7.3f} {verdict}",
                  file=out)
            figures.append((f"t @ x {name} | {n}x{n} | W @ x", ratio))
        print("\nt @ X for k vectors: time per vector over one W @ x (medians of paired runs)", file=out)
        print(f"{'tensor':28} " + " ".join(f"{'k=' + str(k):>8}" for k in BATCHES), file=out)
        for name in BATCHED:
            t, cells = tensors[name], []
            for k in BATCHES:
                xs = rng.standard_normal((k, n), dtype=np.float32)
                ratio, _, _ = paired(lambda: t @ xs, lambda: w @ x, max(3, repeat // 3))
                cells.append(f"{ratio / k:8.3f}")
                figures.append((f"t @ X per vector {name} k={k} | {n}x{n} | W @ x", ratio / k))
            print(f"{name:28} " + " ".join(cells), file=out)
    return figures


def against(out: IO[str], repeat: int, n: int, base: str) -> None:
    """t @ x at the chosen level over t @ x at level `base`, each pair run in turn, in this thread's CPU time:
    both sides are velmar's, single-threaded, so time the machine gives to other work drops out."""
    level = _tensor.kernel_level()
    rng = np.random.default_rng(0)
    w = rng.standard_normal((n, n), dtype=np.float32) * np.float32(0.02)
    x = rng.standard_normal(n, dtype=np.float32)

    def at(lv: str, t: Any) -> Callable[[], object]:
        def product() -> object:
            _tensor.use_kernel_level(lv)
            return t @ x
        return product

    print(f"\nt @ x, {n} x {n}: {level} over {base}, median of paired runs (thread CPU time)", file=out)
    for name, kw, _ in KINDS:
        t = vt.quantize(w, **kw)
        ratio, tt, tb = paired(at(level, t), at(base, t), repeat)
        print(f"{name:28} {tt * 1e3:7.2f}ms {tb * 1e3:7.2f}ms {ratio:7.3f}", file=out)
    _tensor.use_kernel_level(level)


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    return measure(out, 3, 1024) if level == "quick" else measure(out, 15, 4096)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--level", help="force velmar's kernels to this level (scalar, sse2, avx2, avx512, neon)")
    ap.add_argument("--quick", action="store_true", help="a 1024 x 1024 matrix instead of 4096 x 4096")
    ap.add_argument("--against", help="only t @ x, over the same product at this level (a kernel change's gain)")
    ap.add_argument("--cpu-time", action="store_true", help="time by the thread's CPU time, not the wall clock")
    args = ap.parse_args()
    if args.cpu_time or args.against:
        global clock
        clock = time.thread_time
    if args.level:
        _tensor.use_kernel_level(args.level)
    print(f"$ {' '.join([os.path.basename(sys.executable)] + sys.argv)}")
    if args.against:
        against(sys.stdout, args.repeat, 1024 if args.quick else 4096, args.against)
    else:
        measure(sys.stdout, args.repeat, 1024 if args.quick else 4096)


if __name__ == "__main__":
    main()
