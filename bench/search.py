"""Top-k search on the codes against FAISS, on 200,000 x 768 vectors.

    PYTHONPATH=build/dev python3 bench/search.py [--repeat N] [--level avx2] [--file-gb G]

The same data for everyone: 200,000 rows of 768 standard normal values, 100
queries drawn alike, k = 10, inner product. velmar quantizes the rows
symmetrically, blocks of 32 with F16 scales, at 8 and 4 bits; FAISS holds
them in IndexFlatIP (the float32 rows) and IndexScalarQuantizer QT_8bit and
QT_4bit, with one OpenMP thread (faiss-cpu, from the `bench` extra). Speeds
are vectors scanned per second per query, one query and a batch of 32, each
the median of N rounds in which every index runs once in turn, so that a busy
machine slows them alike; the ratio is to FAISS QT_8bit (QT_4bit for the
4-bit rows) in the same rounds. recall@10 is the share of the exact float32
top 10 (NumPy) that each finds, over the 100 queries.

--file-gb G also writes a velmar file of about G GiB (the rows repeated,
quantized a slice at a time), searches it with velmar.search.search_file and
reports the process's peak memory against the file's size.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import velmar
from velmar import _tensor, io, search
from velmar import tensor as vt

ROWS, COLS, K = 200_000, 768, 10


def timed(f: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def recall(found: np.ndarray, exact: np.ndarray) -> float:
    return float(np.mean([len(set(f.tolist()) & set(e.tolist())) / K for f, e in zip(found, exact)]))


def file_demo(rows: np.ndarray, gib: float) -> None:
    """A file a good part of memory's size, searched by another process a slice at a time."""
    per_row = COLS + COLS // 32 * 2  # 8-bit codes and F16 scales
    copies = max(1, round(gib * 2**30 / (rows.shape[0] * per_row)))
    with tempfile.TemporaryDirectory(dir=os.environ.get("VELMAR_BENCH_TMP")) as tmp:
        path = os.path.join(tmp, "big.velmar")
        one = vt.quantize(rows, bits=8, scale=velmar.Scale.F16).parts()
        big = vt.QuantizedTensor.from_parts(
            shape=(rows.shape[0] * copies, COLS), axis=1, scheme=velmar.Scheme.Q8_32, scale=velmar.Scale.F16,
            dtype=np.float32, **{p: np.concatenate([one[p]] * copies) for p in one})
        io.save(path, {"rows": big})
        del big
        size = os.path.getsize(path) / 2**30
        # The peak is VmHWM: getrusage's would include this process's, taken over at exec.
        child = (
            "import re, sys, time, numpy as np\n"
            "from velmar import search\n"
            "q = np.random.default_rng(2).standard_normal(768).astype(np.float32)\n"
            "t0 = time.perf_counter(); s, r = search.search_file(sys.argv[1], 'rows', q, 10)\n"
            "peak = int(re.search(r'VmHWM:\\s+(\\d+)', open('/proc/self/status').read()).group(1)) // 1024\n"
            "print(f'{time.perf_counter() - t0:.1f} {peak}')\n"
        )
        out = subprocess.run([sys.executable, "-c", child, path], capture_output=True, text=True, check=True)
        seconds, peak = out.stdout.split()
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
        print(f"\na velmar file of {rows.shape[0] * copies:,} rows, {size:.2f} GiB ({size / total:.0%} of the "
              f"machine's {total:.1f} GiB), searched by a fresh process in {seconds} s: its peak memory {peak} MiB")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--level", help="force velmar's kernels to this level (scalar, sse2, avx2, avx512, neon)")
    ap.add_argument("--file-gb", type=float, default=0.0)
    args = ap.parse_args()
    import faiss  # the bench extra

    faiss.omp_set_num_threads(1)
    if args.level:
        _tensor.use_kernel_level(args.level)
    print(f"$ {' '.join([os.path.basename(sys.executable)] + sys.argv)}")
    print(f"kernel level: {_tensor.kernel_level()}; faiss {faiss.__version__}, one OpenMP thread; "
          f"load average {os.getloadavg()[0]:.1f}")
    rng = np.random.default_rng(0)
    rows = rng.standard_normal((ROWS, COLS), dtype=np.float32)
    queries = rng.standard_normal((100, COLS), dtype=np.float32)
    exact = np.argsort(-(queries @ rows.T), axis=1, kind="stable")[:, :K]

    indexes: dict[str, Any] = {"faiss IndexFlatIP": faiss.IndexFlatIP(COLS)}
    for name, qt in (("faiss SQ QT_8bit", faiss.ScalarQuantizer.QT_8bit), ("faiss SQ QT_4bit", faiss.ScalarQuantizer.QT_4bit)):
        indexes[name] = faiss.IndexScalarQuantizer(COLS, qt, faiss.METRIC_INNER_PRODUCT)
    for index in indexes.values():
        index.train(rows)
        index.add(rows)
    tensors = {f"velmar {b}-bit F16": vt.quantize(rows, bits=b, scale=velmar.Scale.F16) for b in (8, 4)}
    runs: dict[str, Callable[[np.ndarray], Any]] = {n: (lambda q, i=i: i.search(q, K)) for n, i in indexes.items()}
    runs |= {n: (lambda q, t=t: t.search(q, K)) for n, t in tensors.items()}
    found = {n: f(queries)[1] for n, f in runs.items()}
    size = {n: t.nbytes / 2**20 for n, t in tensors.items()}
    size |= {n: i.ntotal * (4 * COLS if "Flat" in n else i.code_size) / 2**20 for n, i in indexes.items()}
    base = {"velmar 8-bit F16": "faiss SQ QT_8bit", "velmar 4-bit F16": "faiss SQ QT_4bit"}
    targets = {("velmar 8-bit F16", 1): 1.5, ("velmar 8-bit F16", 32): 1.0, ("velmar 4-bit F16", 1): 1.5}
    cells: dict[str, list[str]] = {n: [] for n in runs}
    verdicts: dict[str, list[str]] = {n: [] for n in runs}
    for nq in (1, 32):
        times: dict[str, list[float]] = {n: [] for n in runs}
        for _ in range(args.repeat):
            for n, f in runs.items():
                times[n].append(timed(lambda f=f: f(queries[:nq])))
        for n, ts in times.items():
            speed = ROWS * nq / statistics.median(ts) / 1e6
            ratio = statistics.median(b / t for b, t in zip(times[base[n]], ts)) if n in base else None
            cells[n].append(f"{speed:9.2f} {'-' if ratio is None else f'{ratio:.2f}':>6}")
            if (n, nq) in targets and ratio is not None:
                goal = targets[(n, nq)]
                verdicts[n].append(f"{nq} quer{'y' if nq == 1 else 'ies'} >= {goal}x {'met' if ratio >= goal else 'not met'}")
    print(f"\n{ROWS:,} x {COLS}, k = {K}; million vectors per second per query, medians of {args.repeat} rounds; "
          "x: over FAISS's scalar quantizer of the same width")
    print(f"{'index':20} {'MiB':>6} {'recall@10':>9} {'1 query':>9} {'x':>6} {'32 queries':>10} {'x':>6}  targets")
    for n in runs:
        print(f"{n:20} {size[n]:6.0f} {recall(found[n], exact):9.4f} {cells[n][0]} {cells[n][1]:>17}  "
              f"{'; '.join(verdicts[n])}")
    if args.file_gb > 0:
        file_demo(rows, args.file_gb)


if __name__ == "__main__":
    main()
