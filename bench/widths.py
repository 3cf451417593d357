"""Every width and every block as multiples of a.copy() of the input.

    PYTHONPATH=build/dev python3 bench/widths.py [--n 16777216] [--repeat 5] [--only widths|blocks] [--kernels LEVEL]

One thread, n float32 values shaped like model weights (velmar.report.sample).
Each figure is the median of paired ratios: the operation and a.copy() of the
same values, both warmed twice, run in turn `repeat` times (three times that
for the tail rows), each going first in every other pair, so a loaded machine
shifts both sides alike. The first table is the width table (symmetric and asymmetric 2-16 bits,
adaptive at tolerances giving mean widths near 3, 6 and 8), the second the
block table (4-bit symmetric at blocks 1 to 4096) and the other calls whose
cost once fell off a cliff: odd blocks, refine, the fit, code arrays, pickles.
Each width is then timed against the same kind at 4 bits (widths up to 8; the
dot always) or 8 bits (wider ones), each block against block 32, in the same
paired way: a ratio of two ratios to the copy carried both sides' noise. --kernels runs every
kernel at one instruction-set level this CPU runs (scalar, sse2, avx2, avx512,
neon), so a regression at one width and one level shows.
"""

from __future__ import annotations

import argparse
import pickle
import statistics
import sys
import time
from collections.abc import Callable
from functools import partial
from typing import IO

import numpy as np

import velmar
from velmar import _tensor
from velmar.report import sample

Figures = list[tuple[str, float]]
Calls = dict[str, Callable[[], object]]
BLOCKS = (1, 2, 4, 8, 16, 24, 32, 48, 100, 128, 4096)
OPS = ("quantize", "dequantize()", "dot")
TAIL_REPEAT = 3


def once(f: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


class Bench:
    def __init__(self, a: np.ndarray, repeat: int, out: IO[str]) -> None:
        self.a, self.repeat, self.out = a, repeat, out
        self.figures: Figures = []

    def ratio(self, f: Callable[[], object], repeat: int = 0, base: Callable[[], object] | None = None) -> float:
        """Median over the paired runs of time(f) / time(base), a.copy() unless given."""
        base = base or self.a.copy
        for _ in range(2):  # first touches, and the allocator settled for both sides
            f()
            base()
        ratios = []
        for i in range(repeat or self.repeat):
            # Each side goes first in turn: whichever runs second meets the memory the other just freed.
            if i % 2:
                t = once(f)
                b = once(base)
            else:
                b = once(base)
                t = once(f)
            ratios.append(t / b)
        return statistics.median(ratios)

    def row(self, label: str, calls: Calls) -> dict[str, float]:
        """Each call's ratio to the copy, printed as one line of the table and kept as figures."""
        ratios = {op: self.ratio(f) for op, f in calls.items()}
        print(f"{label:44} " + " ".join(f"{r:12.2f}x" for r in ratios.values()), file=self.out, flush=True)
        self.figures += [(f"{op} {label} | {self.a.size} | copy", r) for op, r in ratios.items()]
        return ratios

    def over(self, op: str, label: str, mine: Calls, base_label: str, base: Calls) -> None:
        """op of one row timed against op of its baseline row."""
        self.figures.append((f"{op} {label} | {self.a.size} | {base_label}", self.ratio(mine[op], base=base[op])))


def adaptive_tolerances(a: np.ndarray) -> list[tuple[float, float, float]]:
    """(the mean width aimed at, the tolerance, the mean width it gives on a) for 3, 6 and 8 bits."""
    head = a[: 1 << 20]
    found = []
    for want in (3.0, 6.0, 8.0):
        best = (0.0, -1.0)
        for tol in np.geomspace(1e-6, 1e-1, 41):
            widths = velmar.adaptive_quantize(head, tolerance=float(tol)).block_bits
            assert widths is not None
            mean = float(widths.mean())
            if abs(mean - want) < abs(best[1] - want):
                best = (float(tol), mean)
        found.append((want, *best))
    return found


def header(b: Bench, what: str) -> None:
    print(f"{what:44} " + " ".join(f"{op:>13}" for op in OPS) + "   (x a.copy())", file=b.out)


def widths_table(b: Bench) -> None:
    a = b.a
    x = sample(a.size, seed=1)
    header(b, "scheme")
    rows: dict[str, Calls] = {}

    def measure(label: str, make: Callable[[], velmar.Quantized]) -> Calls:
        q = make()
        rows[label] = {"quantize": make, "dequantize()": q.dequantize, "dot": partial(q.dot, x)}
        b.row(label, rows[label])
        return rows[label]

    for kind, fn in (("symmetric", velmar.quantize), ("asymmetric", velmar.asymmetric_quantize)):
        for bits in range(2, 17):
            measure(f"{kind} {bits} bits", partial(fn, a, bits, 32))
        for bits in range(2, 17):
            for op in OPS if bits not in (4, 8) else ():
                base = 4 if bits <= 8 or op == "dot" else 8  # every dot has the 4-bit dot's one running sum
                b.over(op, f"{kind} {bits} bits", rows[f"{kind} {bits} bits"], f"same kind at {base} bits",
                       rows[f"{kind} {base} bits"])
        for bits in range(2, 17):
            if bits not in (4, 8):
                del rows[f"{kind} {bits} bits"]  # their codes, up to 32 MiB each, not kept alive
    for want, tol, mean in adaptive_tolerances(a):
        label = f"adaptive near {want:g} bits"
        print(f"  ({label}: tolerance {tol:.3g}, mean width {mean:.2f} bits)", file=b.out)
        mine = measure(label, partial(velmar.adaptive_quantize, a, tolerance=tol))
        for op in OPS:
            b.over(op, label, mine, "symmetric 4 bits", rows["symmetric 4 bits"])
        del rows[label]


def blocks_table(b: Bench) -> None:
    a = b.a
    x = sample(a.size, seed=1)
    header(b, "quantize(x, 4, block)")
    rows: dict[int, Calls] = {}
    for block in BLOCKS:
        q = velmar.quantize(a, 4, block)
        rows[block] = {"quantize": partial(velmar.quantize, a, 4, block), "dequantize()": q.dequantize,
                       "dot": partial(q.dot, x)}
        b.row(f"block {block}", rows[block])
    for block in BLOCKS:
        for op in OPS if block != 32 else ():
            b.over(op, f"block {block}", rows[block], "block 32", rows[32])
    q = velmar.quantize(a, 4, 32)
    codes = q.unpacked_codes
    print(file=b.out)
    for label, f in {
        "asymmetric_quantize(x, 4, 7)": lambda: velmar.asymmetric_quantize(a, 4, 7),
        "refine(q, x), 4-bit, without its quantize": lambda: velmar.refine(q, a),
        "fit_scale_and_zero_point(x, codes)": lambda: velmar.fit_scale_and_zero_point(a, codes),
        "q.unpacked_codes, 4-bit": lambda: q.unpacked_codes,
        "pickle.loads(pickle.dumps(q)), 4-bit": lambda: pickle.loads(pickle.dumps(q)),
    }.items():
        r = b.ratio(f, TAIL_REPEAT * b.repeat)  # cheap calls whose figures the neighbours move most
        print(f"{label:44} {r:12.2f}x", file=b.out)
        b.figures.append((f"{label} | {a.size} | copy", r))


def measure(out: IO[str], n: int, repeat: int, only: str | None = None) -> Figures:
    print(f"velmar {velmar.__version__}, kernel level {_tensor.kernel_level()}, {n:,} float32 values, "
          f"medians of {repeat} paired runs, one thread", file=out)
    b = Bench(sample(n), repeat, out)
    if only != "blocks":
        widths_table(b)
    if only != "widths":
        print(file=out)
        blocks_table(b)
    print("\nover a baseline (each width over its kind at 4 or 8 bits, each block over block 32):", file=out)
    for name, value in b.figures:
        if not name.endswith("| copy"):
            print(f"  {name:72} {value:6.2f}", file=out)
    return b.figures


def run(level: str, out: IO[str]) -> Figures:
    """The topic's entry for bench/run.py."""
    return measure(out, 1 << 20, 3) if level == "quick" else measure(out, 1 << 24, 5)


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--n", type=int, default=1 << 24)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--only", choices=("widths", "blocks"))
    ap.add_argument("--kernels", metavar="LEVEL", help="the instruction-set level to run (default: the widest)")
    args = ap.parse_args()
    try:
        _tensor.use_kernel_level(args.kernels)
    except ValueError as e:
        ap.error(str(e))
    print("command: python3 bench/widths.py " + " ".join(sys.argv[1:]))
    measure(sys.stdout, args.n, args.repeat, args.only)


if __name__ == "__main__":
    main()
