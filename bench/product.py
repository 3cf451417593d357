"""Matrix products on the codes against the same product on the floats.

    PYTHONPATH=build/dev python3 bench/product.py [--repeat N] [--level avx2]

A 4096 x 4096 float32 matrix W (standard normal values times 0.02, like model
weights) and its quantized tensors t: the time of ``t @ x`` over the time of
``W @ x`` with NumPy's BLAS pinned to one thread (threadpoolctl), each the
median of N paired runs (one of each in turn, so that a busy machine slows
both alike); then ``t @ X`` for k vectors at once, the time per vector over
one ``W @ x``. ``--level`` forces velmar's kernels to one instruction-set
level (velmar._tensor.use_kernel_level), to show what a CPU without the wider
ones gets.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable

import numpy as np
from threadpoolctl import threadpool_limits

from velmar import _tensor
from velmar import tensor as vt

# (name, quantize keywords, target ratio to W @ x)
KINDS = [
    ("symmetric 8-bit", {"bits": 8}, 0.4),
    ("symmetric 4-bit", {"bits": 4}, 0.3),
    ("asymmetric 8-bit", {"kind": "asymmetric", "bits": 8}, 0.5),
    ("asymmetric 4-bit", {"kind": "asymmetric", "bits": 4}, 0.5),
    ("adaptive, tolerance 0.002", {"kind": "adaptive", "tolerance": 0.002}, 0.5),
]


def timed(f: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def paired(f: Callable[[], object], base: Callable[[], object], repeat: int) -> tuple[float, float, float]:
    """Median of the paired ratios f / base, and the median time of each."""
    f(), base()
    pairs = [(timed(base), timed(f)) for _ in range(repeat)]
    return (statistics.median(t / b for b, t in pairs), statistics.median(t for _, t in pairs),
            statistics.median(b for b, _ in pairs))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--level", help="force velmar's kernels to this level (scalar, sse2, avx2, avx512, neon)")
    args = ap.parse_args()
    if args.level:
        _tensor.use_kernel_level(args.level)
    print(f"$ {' '.join([os.path.basename(sys.executable)] + sys.argv)}")
    print(f"kernel level: {_tensor.kernel_level()}; NumPy {np.__version__}, BLAS pinned to one thread; "
          f"load average {os.getloadavg()[0]:.1f}")
    rng = np.random.default_rng(0)
    w = (rng.standard_normal((4096, 4096), dtype=np.float32) * np.float32(0.02))
    x = rng.standard_normal(4096, dtype=np.float32)
    with threadpool_limits(1):
        print("\nt @ x, 4096 x 4096: median of paired runs against W @ x")
        print(f"{'tensor':28} {'bits/elem':>9} {'t @ x':>9} {'W @ x':>9} {'ratio':>7} {'target':>7}")
        tensors = {}
        for name, kw, target in KINDS:
            t = tensors[name] = vt.quantize(w, **kw)  # type: ignore[arg-type]
            ratio, tt, tb = paired(lambda: t @ x, lambda: w @ x, args.repeat)
            verdict = "met" if ratio <= target else "not met"
            print(f"{name:28} {t.bits_per_element:9.2f} {tt * 1e3:7.2f}ms {tb * 1e3:7.2f}ms {ratio:7.3f} "
                  f"{'<= ' + str(target):>7} {verdict}")
        print("\nt @ X for k vectors: time per vector over one W @ x (medians of paired runs)")
        print(f"{'tensor':28} " + " ".join(f"{'k=' + str(k):>8}" for k in (1, 8, 32, 128)))
        for name in ("symmetric 8-bit", "symmetric 4-bit", "asymmetric 4-bit"):
            t, cells = tensors[name], []
            for k in (1, 8, 32, 128):
                xs = rng.standard_normal((k, 4096), dtype=np.float32)
                ratio, _, _ = paired(lambda: t @ xs, lambda: w @ x, max(3, args.repeat // 3))
                cells.append(f"{ratio / k:8.3f}")
            print(f"{name:28} " + " ".join(cells))


if __name__ == "__main__":
    main()
