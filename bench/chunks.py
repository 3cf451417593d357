"""Error-bounded compression of float32 arrays: velmar's codec against numcodecs' lossy
filters (each followed by Zstd), SZ3 and ZFP.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/dev python3 bench/chunks.py [--repeat N] [--rows R] [--field N] [--cube N]

For three data sets (embedding-like rows, a noisy 2-D field, a smooth 3-D field)
and absolute bounds of 1e-2 and 1e-3 of each one's value range, every method is
asked for that bound, and the table gives its compression ratio, its largest
error over the bound (above 1 means it broke the bound), and its compression and
decompression speed in MB/s of float32 input. Speed is also given as a ratio to
SZ3's: every repetition runs all methods in turn and the column is the median
of the per-repetition ratios, so a loaded machine shifts both sides alike.
Everything runs on one thread (pysz without OpenMP, zstd level 1). Methods whose
package is missing are left out (numcodecs itself is needed); install them with
pip install 'velmar[bench]'.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

Compress = Callable[[np.ndarray], Any]
Decompress = Callable[[Any], np.ndarray]
Figures = list[tuple[str, float]]
# The methods that run only where their package is installed, by the module that brings each.
OPTIONAL = {"SZ3": "pysz", "ZFP (accuracy)": "zfpy"}


# ---------------------------------------------------------------- data


def embeddings(rows: int, dim: int = 768, seed: int = 0) -> np.ndarray:
    """Unit rows, Gaussian per coordinate with spreads varying across coordinates and a few
    coordinates offset far from zero, as sentence embeddings are."""
    rng = np.random.default_rng(seed)
    spread = np.exp(rng.normal(0, 0.3, dim)).astype(np.float32)
    offset = np.zeros(dim, np.float32)
    offset[rng.choice(dim, 4, replace=False)] = rng.normal(0, 6, 4)
    x = rng.standard_normal((rows, dim), dtype=np.float32) * spread + offset
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def noisy_field(n: int = 4096, seed: int = 1) -> np.ndarray:
    """A smooth 2-D signal with white noise of a tenth of its range on top, as measurements are."""
    rng = np.random.default_rng(seed)
    y, x = np.meshgrid(np.linspace(0, 1, n, dtype=np.float32), np.linspace(0, 1, n, dtype=np.float32), indexing="ij")
    signal = np.sin(6 * x) * np.cos(4 * y) + 0.5 * np.sin(15 * x * y)
    field: np.ndarray = (signal + 0.2 * rng.standard_normal((n, n), dtype=np.float32)).astype(np.float32)
    return field


def smooth_field(n: int = 256) -> np.ndarray:
    """A smooth 3-D field, as simulations write."""
    g = np.linspace(0, 1, n, dtype=np.float32)
    z, y, x = np.meshgrid(g, g, g, indexing="ij")
    field: np.ndarray = (np.sin(5 * x + 2 * y) * np.cos(3 * z) + 0.3 * np.sin(9 * x * y * z)).astype(np.float32)
    return field


# ---------------------------------------------------------------- methods


def zstd_after(codec: Any) -> tuple[Compress, Decompress]:
    import numcodecs
    from numcodecs.compat import ensure_ndarray

    zstd = numcodecs.Zstd(level=1)
    # BitRound decodes to the bytes it was given: every result is read as float32.
    return (lambda x: zstd.encode(codec.encode(x)),
            lambda c: ensure_ndarray(codec.decode(zstd.decode(c))).view(np.float32))


def methods(x: np.ndarray, bound: float) -> dict[str, tuple[Compress, Decompress]]:
    """Each method set up to keep ``bound`` as well as its own parameters allow."""
    import numcodecs

    from velmar.codecs import Velmar

    lo, hi = float(x.min()), float(x.max())
    found: dict[str, tuple[Compress, Decompress]] = {"velmar + Zstd": zstd_after(Velmar(bound=bound))}
    levels = (hi - lo) / (2 * bound)  # FixedScaleOffset rounds to steps of 1 / scale
    found["FixedScaleOffset + Zstd"] = zstd_after(numcodecs.FixedScaleOffset(
        offset=lo, scale=1 / (2 * bound), dtype="f4", astype="u1" if levels < 255 else "u2" if levels < 65535 else "u4"))
    # Quantize keeps 2**ceil(log2(10**digits)) steps per unit: the fewest digits whose half step fits.
    digits = next(d for d in range(-10, 30) if 0.5 / 2.0 ** math.ceil(math.log2(10.0**d)) <= bound)
    found["Quantize + Zstd"] = zstd_after(numcodecs.Quantize(digits=digits, dtype="f4"))
    # BitRound keeps keepbits mantissa bits: a relative error of 2**-(keepbits + 1) at the largest magnitude.
    keep = min(23, max(0, math.ceil(math.log2(max(abs(lo), abs(hi)) / bound)) - 1))
    found["BitRound + Zstd"] = zstd_after(numcodecs.BitRound(keepbits=keep))
    if importlib.util.find_spec(OPTIONAL["SZ3"]):
        import pysz

        def sz3(a: np.ndarray) -> Any:
            config = pysz.szConfig(a.shape)
            config.errorBoundMode = pysz.szErrorBoundMode.ABS
            config.absErrorBound = bound
            config.openmp = False
            return pysz.sz.compress(a, config)[0]

        found["SZ3"] = (sz3, lambda c: pysz.sz.decompress(c, np.float32, x.shape)[0])
    if importlib.util.find_spec(OPTIONAL["ZFP (accuracy)"]):
        import zfpy

        found["ZFP (accuracy)"] = (lambda a: zfpy.compress_numpy(a, tolerance=bound), zfpy.decompress_numpy)
    return found


# ---------------------------------------------------------------- measuring


@dataclass
class Row:
    name: str
    ratio: float
    error: float  # largest error over the bound
    compress: list[float]
    decompress: list[float]


def timed(f: Callable[[], Any]) -> tuple[float, Any]:
    t0 = time.perf_counter()
    result = f()
    return time.perf_counter() - t0, result


def measure_one(x: np.ndarray, bound: float, repeat: int) -> list[Row]:
    rows: dict[str, Row] = {}
    for _ in range(repeat):
        for name, (compress, decompress) in methods(x, bound).items():
            tc, packed = timed(lambda: compress(x))
            td, back = timed(lambda: decompress(packed))
            back = np.asarray(back, np.float32).reshape(x.shape)
            size = packed.nbytes if isinstance(packed, np.ndarray) else len(packed)
            err = float(np.max(np.abs(back.astype(np.float64) - x))) / bound
            row = rows.setdefault(name, Row(name, x.nbytes / size, err, [], []))
            row.compress.append(tc)
            row.decompress.append(td)
            del packed, back
    return list(rows.values())


def speedup(base: Row, r: Row, k: str) -> float:
    """The median over repetitions of base's time over r's: above 1, r is the faster."""
    return float(statistics.median(a / b for a, b in zip(getattr(base, k), getattr(r, k))))


def table(x: np.ndarray, rows: list[Row]) -> str:
    mb = x.nbytes / 1e6
    ref = next((r for r in rows if r.name == "SZ3"), None)
    out = [f"{'method':24} {'ratio':>8} {'err/bound':>9} {'comp MB/s':>10} {'dec MB/s':>9} {'comp xSZ3':>10} {'dec xSZ3':>9}"]
    for r in rows:
        vs = ("", "") if ref is None else tuple(f"{speedup(ref, r, k):.2f}" for k in ("compress", "decompress"))
        out.append(f"{r.name:24} {r.ratio:8.2f} {r.error:9.4f} {mb / statistics.median(r.compress):10.0f} "
                   f"{mb / statistics.median(r.decompress):9.0f} {vs[0]:>10} {vs[1]:>9}")
    return "\n".join(out)


def figures(what: str, rows: list[Row]) -> Figures:
    """velmar's largest error over the bound, and its ratio and speeds over every other method's."""
    mine = next(r for r in rows if r.name == "velmar + Zstd")
    found = [(f"velmar largest error | {what} | bound", mine.error)]
    for r in rows:
        if r is not mine:
            found += [(f"velmar compression ratio | {what} | {r.name}", mine.ratio / r.ratio),
                      (f"velmar compression speed | {what} | {r.name}", speedup(r, mine, "compress")),
                      (f"velmar decompression speed | {what} | {r.name}", speedup(r, mine, "decompress"))]
    return found


def measure(out: IO[str], rows: int, field: int, cube: int, repeat: int) -> Figures:
    """Every data set at both bounds; the figures' names give the data, its size and the bound."""
    if importlib.util.find_spec("numcodecs") is None:
        print("numcodecs is not installed (pip install 'velmar[bench]'): nothing to measure", file=out)
        return []
    for name, module in OPTIONAL.items():
        if importlib.util.find_spec(module) is None:
            print(f"{name} left out: {module} is not installed (pip install 'velmar[bench]')", file=out)
    found: Figures = []
    for name, x in [(f"embedding-like {rows}x768", embeddings(rows)), (f"noisy field {field}x{field}", noisy_field(field)),
                    (f"smooth field {cube}^3", smooth_field(cube))]:
        span = float(x.max()) - float(x.min())
        for relative in (1e-2, 1e-3):
            bound = relative * span
            print(f"\n{name}, bound {relative:g} of the range ({bound:.3g})", file=out)
            measured = measure_one(x, bound, repeat)
            print(table(x, measured), file=out, flush=True)
            found += figures(f"{name} | {relative:g} of the range", measured)
    return found


def run(level: str, out: IO[str]) -> Figures:
    """The topic's entry for bench/run.py."""
    return measure(out, 20_000, 1024, 64, 1) if level == "quick" else measure(out, 200_000, 4096, 256, 3)


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--rows", type=int, default=200_000, help="rows of the embedding-like data (768 wide)")
    p.add_argument("--field", type=int, default=4096, help="side of the noisy 2-D field")
    p.add_argument("--cube", type=int, default=256, help="side of the smooth 3-D field")
    args = p.parse_args(argv)
    print("$ " + " ".join(["python3", "bench/chunks.py", *(argv if argv is not None else sys.argv[1:])]))
    measure(sys.stdout, args.rows, args.field, args.cube, args.repeat)


if __name__ == "__main__":
    main()
