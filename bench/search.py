"""Top-k search on the codes against FAISS, on 200,000 x 768 vectors.

    PYTHONPATH=build/dev python3 bench/search.py [--repeat N] [--level avx2] [--file-gb G] [--quick]

The same data for everyone: 200,000 rows of 768 standard normal values, 100
queries drawn alike, k = 10, inner product. velmar quantizes the rows
symmetrically, blocks of 32 with F16 scales, at 8 and 4 bits; FAISS holds
them in IndexFlatIP (the float32 rows) and IndexScalarQuantizer QT_8bit and
QT_4bit, with one OpenMP thread (faiss-cpu, from the `bench` extra; without
it only the brute-force baseline runs: NumPy's q @ rows.T with one BLAS
thread, then argpartition). velmar's Q4_K tensor runs beside them. Speeds
are vectors scanned per second per query, one query and a batch of 32, each
the median of N rounds in which every index runs once in turn, so that a busy
machine slows them alike; the ratio is to FAISS QT_8bit (QT_4bit for the
4-bit rows) in the same rounds. recall@10 is the share of the exact float32
top 10 (NumPy) that each finds, over the 100 queries.

--file-gb G also writes a velmar file of about G GiB (the rows repeated,
quantized a slice at a time), searches it with velmar.search.search_file and
reports the process's peak memory against the file's size. --quick (and the
quick level of bench/run.py) searches 20,000 rows.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import IO, Any

import numpy as np

import velmar
from velmar import _tensor, io
from velmar import tensor as vt

COLS, K = 768, 10


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


def one_blas_thread() -> contextlib.AbstractContextManager[object]:
    try:
        threadpoolctl: Any = importlib.import_module("threadpoolctl")
    except ImportError:  # set OPENBLAS_NUM_THREADS=1 instead
        return contextlib.nullcontext()
    limits: contextlib.AbstractContextManager[object] = threadpoolctl.threadpool_limits(1)
    return limits


def indexes(rows: np.ndarray, out: IO[str]) -> dict[str, Any]:
    """FAISS's indexes over the rows, or none when FAISS is missing."""
    try:
        import faiss
    except ImportError:
        print("faiss is not installed (the bench extra): the brute-force baseline only", file=out)
        return {}
    faiss.omp_set_num_threads(1)
    print(f"faiss {faiss.__version__}, one OpenMP thread", file=out)
    found: dict[str, Any] = {"faiss IndexFlatIP": faiss.IndexFlatIP(COLS)}
    for name, qt in (("faiss SQ QT_8bit", faiss.ScalarQuantizer.QT_8bit),
                     ("faiss SQ QT_4bit", faiss.ScalarQuantizer.QT_4bit)):
        found[name] = faiss.IndexScalarQuantizer(COLS, qt, faiss.METRIC_INNER_PRODUCT)
    for index in found.values():
        index.train(rows)
        index.add(rows)
    return found


def brute_force(rows: np.ndarray) -> Callable[[np.ndarray], Any]:
    def top(q: np.ndarray) -> np.ndarray:
        scores = q @ rows.T
        return np.argpartition(-scores, K, axis=1)[:, :K]
    return top


def two_threads(rows: np.ndarray, queries: np.ndarray, repeat: int) -> float:
    """Two threads searching a tensor each, over the two searches one after the other: medians of paired runs."""
    a, b = (vt.quantize(half, bits=8, scale=velmar.Scale.F16) for half in (rows, rows[::-1].copy()))

    def both() -> None:
        ts = [threading.Thread(target=t.search, args=(queries, K)) for t in (a, b)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    pairs = [(timed(lambda: (a.search(queries, K), b.search(queries, K))), timed(both)) for _ in range(repeat)]
    return statistics.median(t / s for s, t in pairs)


def rows_found(search: Callable[[np.ndarray, int], tuple[Any, Any]]) -> Callable[[np.ndarray], Any]:
    """The rows a (scores, rows) search finds for a batch of queries."""
    return lambda q: search(q, K)[1]


def measure(out: IO[str], repeat: int, n_rows: int) -> list[tuple[str, float]]:
    print(f"kernel level: {_tensor.kernel_level()}; load average {os.getloadavg()[0]:.1f}", file=out)
    rng = np.random.default_rng(0)
    rows = rng.standard_normal((n_rows, COLS), dtype=np.float32)
    queries = rng.standard_normal((100, COLS), dtype=np.float32)
    exact = np.argsort(-(queries @ rows.T), axis=1, kind="stable")[:, :K]

    faiss_indexes = indexes(rows, out)
    tensors = {f"velmar {b}-bit F16": vt.quantize(rows, bits=b, scale=velmar.Scale.F16) for b in (8, 4)}
    tensors["velmar q4_k"] = vt.quantize(rows, vt.Q4_K)
    runs: dict[str, Callable[[np.ndarray], Any]] = {"NumPy brute force": brute_force(rows)}
    runs |= {n: rows_found(i.search) for n, i in faiss_indexes.items()}
    runs |= {n: rows_found(t.search) for n, t in tensors.items()}
    found = {n: f(queries) for n, f in runs.items()}
    size = {n: t.nbytes / 2**20 for n, t in tensors.items()} | {"NumPy brute force": rows.nbytes / 2**20}
    size |= {n: i.ntotal * (4 * COLS if "Flat" in n else i.code_size) / 2**20 for n, i in faiss_indexes.items()}
    peer = {"velmar 8-bit F16": "faiss SQ QT_8bit", "velmar 4-bit F16": "faiss SQ QT_4bit",
            "velmar q4_k": "faiss SQ QT_4bit"}
    peer = {n: p for n, p in peer.items() if p in runs}
    recalls = {n: recall(found[n], exact) for n in runs}
    figures = []
    cells: dict[str, list[str]] = {n: [] for n in runs}
    with one_blas_thread():
        for nq in (1, 32):
            times: dict[str, list[float]] = {n: [] for n in runs}
            for _ in range(repeat):
                for n, f in runs.items():
                    times[n].append(timed(lambda: f(queries[:nq])))
            for n, ts in times.items():
                speed = n_rows * nq / statistics.median(ts) / 1e6
                ratio = statistics.median(b / t for b, t in zip(times[peer[n]], ts)) if n in peer else None
                cells[n].append(f"{speed:9.2f} {'-' if ratio is None else f'{ratio:.2f}':>6}")
                if n.startswith("velmar"):
                    where = f"{n.removeprefix('velmar ')} {nq} quer{'y' if nq == 1 else 'ies'} | {n_rows}x{COLS}"
                    brute = statistics.median(b / t for b, t in zip(times["NumPy brute force"], ts))
                    figures.append((f"search speed {where} | brute force", brute))
                    if ratio is not None:
                        figures.append((f"search speed {where} | {peer[n]}", ratio))
    for n, p in peer.items():
        figures.append((f"recall@10 {n.removeprefix('velmar ')} | {n_rows}x{COLS} | {p}",
                        recalls[n] / recalls[p]))
    both = two_threads(rows, queries[:32], repeat)
    figures.append((f"two threads searching a tensor each | {n_rows}x{COLS} | one after the other", both))
    print(f"\ntwo threads, 32 queries each on a tensor of their own, over one search after the other: {both:.2f}",
          file=out)
    print(f"\n{n_rows:,} x {COLS}, k = {K}; million vectors per second per query, medians of {repeat} rounds; "
          "x: over FAISS's scalar quantizer of the same width", file=out)
    print(f"{'index':20} {'MiB':>6} {'recall@10':>9} {'1 query':>9} {'x':>6} {'32 queries':>10} {'x':>6}", file=out)
    for n in runs:
        print(f"{n:20} {size[n]:6.0f} {recalls[n]:9.4f} {cells[n][0]} {cells[n][1]:>17}", file=out)
    return figures


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    return measure(out, 3, 20_000) if level == "quick" else measure(out, 7, 200_000)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--level", help="force velmar's kernels to this level (scalar, sse2, avx2, avx512, neon)")
    ap.add_argument("--file-gb", type=float, default=0.0)
    ap.add_argument("--quick", action="store_true", help="20,000 rows instead of 200,000")
    args = ap.parse_args()
    if args.level:
        _tensor.use_kernel_level(args.level)
    print(f"$ {' '.join([os.path.basename(sys.executable)] + sys.argv)}")
    figures = measure(sys.stdout, args.repeat, 20_000 if args.quick else 200_000)
    print()
    for name, value in figures:
        print(f"{name}: {value:.3f}")
    if args.file_gb > 0:
        rows = np.random.default_rng(0).standard_normal((200_000, COLS), dtype=np.float32)
        file_demo(rows, args.file_gb)


if __name__ == "__main__":
    main()
