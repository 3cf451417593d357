"""Speed of velmar against the cost of touching the same bytes, plain NumPy and peers.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python -m velmar.bench [--quick]

Both OpenBLAS variables are unset because, where the machine sets them, they
force a slower BLAS kernel on NumPy and so flatter velmar's dot ratios.

Every figure is a median over repeats taken in this one process after a
warm-up call, single-threaded (BLAS is pinned to one thread when threadpoolctl
is importable).  Ratios divide velmar's median by a baseline measured in the
same run: `a.copy()` of the float32 input of the same size, a vectorised NumPy
implementation of the same job written below, and, where importable, the gguf
and PyTorch quantizers.  Targets print PASS or FAIL where they apply.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import IO, Any, Callable

import numpy as np

import velmar
from velmar import Scale

BLOCK = 32
SIZES = (32, 4096, 1 << 20, 1 << 24)
QUICK_SIZES = (32, 4096, 1 << 16)
LARGE = 1 << 24          # the size most targets are stated for
CACHED = 1 << 20         # the in-cache size of the 8-bit dot target
OPS = ("quantize", "asymmetric", "adaptive", "dequantize", "dot", "refine",
       "peers", "threads", "memory")
DTYPES = ("float32", "float64")
SCALES = {"F32": Scale.F32, "F16": Scale.F16, "Bf16": Scale.Bf16}
TOLERANCE = 0.001
GGUF_ROW = 4096          # gguf quantizes rows; a typical weight row


# ------------------------------------------------------------------ timing

@dataclass
class Timing:
    budget: float = 0.5  # seconds of samples per measurement, warm-up excluded
    min_samples: int = 5
    max_samples: int = 41


def measure(timing: Timing, fn: Callable[..., Any], *args: Any, **kw: Any) -> float:
    """Median seconds per call of fn(*args, **kw)."""

    def loop(k: int) -> float:
        t0 = time.perf_counter()
        for _ in range(k):
            fn(*args, **kw)
        return time.perf_counter() - t0

    was_enabled = gc.isenabled()
    gc.disable()
    try:
        per = loop(1)
        k = 1
        if per < 1e-3:
            # Tiny calls are batched so one sample spans about a millisecond,
            # well above the timer's resolution.
            per = max(loop(10) / 10, 1e-8)
            k = max(1, math.ceil(1e-3 / per))
        n = int(timing.budget / (k * per))
        n = max(timing.min_samples, min(timing.max_samples, n))
        return statistics.median(loop(k) / k for _ in range(n))
    finally:
        if was_enabled:
            gc.enable()


# ------------------------------------------------- the plain NumPy baseline

@dataclass
class NpQuantized:
    """What the NumPy baseline produces: codes, stored scales and zero points."""
    n: int
    bits: int
    block: int
    codes: np.ndarray            # int8 (blocks, block); zero-padded past n
    packed: np.ndarray | None    # uint8 nibbles for 4 bits, else None
    scales: np.ndarray           # float32, float16, or uint16 bf16 patterns
    zero_points: np.ndarray | None = None

    def scales_f32(self) -> np.ndarray:
        return _widen(self.scales)

    def zero_points_f32(self) -> np.ndarray:
        assert self.zero_points is not None
        return _widen(self.zero_points)


def _blocks(values: Any, block: int) -> np.ndarray:
    x = np.asarray(values, dtype=np.float32)
    nb = -(-x.size // block)
    if nb * block != x.size:
        x = np.concatenate([x, np.zeros(nb * block - x.size, np.float32)])
    return x.reshape(nb, block)


def _to_bf16(x: np.ndarray) -> np.ndarray:
    u = x.astype(np.float32).view(np.uint32)
    nan = (u & 0x7FFFFFFF) > 0x7F800000
    rounded = (u + 0x7FFF + ((u >> 16) & 1)) >> 16
    return np.where(nan, (u >> 16) | 0x40, rounded).astype(np.uint16)


def _store(x: np.ndarray, scale: str) -> np.ndarray:
    if scale == "F16":
        return x.astype(np.float16)
    if scale == "Bf16":
        return _to_bf16(x)
    return x


def _widen(stored: np.ndarray) -> np.ndarray:
    if stored.dtype == np.uint16:
        return (stored.astype(np.uint32) << 16).view(np.float32)
    return stored.astype(np.float32, copy=False)


def _pack4(codes: np.ndarray, n: int) -> np.ndarray:
    u = codes.reshape(-1).view(np.uint8) & np.uint8(0x0F)
    if u.size % 2:
        u = np.concatenate([u, np.zeros(1, np.uint8)])
    return (u[0::2] | (u[1::2] << np.uint8(4)))[: (n + 1) // 2]


def _unpack4(packed: np.ndarray, count: int) -> np.ndarray:
    lo = (packed << np.uint8(4)).view(np.int8) >> np.int8(4)
    hi = packed.view(np.int8) >> np.int8(4)
    return np.stack((lo, hi), axis=1).reshape(-1)[:count]


def _round_codes(t: np.ndarray, bits: int) -> np.ndarray:
    # Written the way a user would, one temporary per step (in-place `out=`
    # tricks would roughly halve its time).  rint rounds ties to even where
    # velmar rounds them away from zero: codes differ only at exact halves.
    codes: np.ndarray = np.clip(np.rint(t), -(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    return codes.astype(np.int8)


def np_symmetric(values: Any, bits: int = 8, block: int = BLOCK, scale: str = "F32") -> NpQuantized:
    """Blockwise absmax quantization to 8 or 4 bits, packing 4-bit codes."""
    x = _blocks(values, block)
    absmax = np.abs(x).max(axis=1)
    s = absmax / np.float32((1 << (bits - 1)) - 1)
    s[~(absmax > 0)] = 1
    codes = _round_codes(x * (np.float32(1) / s)[:, None], bits)
    n = np.asarray(values).size
    return NpQuantized(n, bits, block, codes, _pack4(codes, n) if bits == 4 else None,
                       _store(s, scale))


def np_asymmetric(values: Any, bits: int = 4, block: int = BLOCK, scale: str = "F32") -> NpQuantized:
    """Blockwise min/max quantization with a real zero point."""
    x = _blocks(values, block)
    n = np.asarray(values).size
    if n % block:
        # The zero padding must not widen the last block's range.
        tail = x[-1, : n % block]
        lo_t, hi_t = tail.min(), tail.max()
    lo, hi = x.min(axis=1), x.max(axis=1)
    if n % block:
        lo[-1], hi[-1] = lo_t, hi_t
    qmin = np.float32(-(1 << (bits - 1)))
    s = (hi - lo) / np.float32((1 << bits) - 1)
    degenerate = lo >= hi
    s[degenerate] = 1
    z = qmin - lo / s
    z[degenerate] = 0
    codes = _round_codes(x * (np.float32(1) / s)[:, None] + z[:, None], bits)
    return NpQuantized(n, bits, block, codes, _pack4(codes, n) if bits == 4 else None,
                       _store(s, scale), _store(z, scale))


def _codes_of(q: NpQuantized) -> np.ndarray:
    if q.packed is None:
        return q.codes
    codes = _unpack4(q.packed, q.n)
    if codes.size != q.codes.size:
        codes = np.concatenate([codes, np.zeros(q.codes.size - codes.size, np.int8)])
    return codes.reshape(q.codes.shape)


def np_decode(q: NpQuantized, out: np.ndarray | None = None) -> np.ndarray:
    """Decode the baseline's form; 4-bit codes come from the packed nibbles."""
    codes = _codes_of(q)
    full = q.n == codes.size
    if out is not None and full:
        buf = out.reshape(codes.shape)
    else:
        buf = np.empty(codes.shape, np.float32)
    if q.zero_points is None:
        np.multiply(codes, q.scales_f32()[:, None], out=buf)
    else:
        np.subtract(codes, q.zero_points_f32()[:, None], out=buf, dtype=np.float32)
        buf *= q.scales_f32()[:, None]
    flat = buf.reshape(-1)
    if out is None:
        return flat[: q.n] if not full else flat
    if not full:
        out[:] = flat[: q.n]
    return out


def np_refit(values: Any, q: NpQuantized) -> tuple[np.ndarray, np.ndarray]:
    """Per-block least-squares scale and zero point for fixed codes."""
    x = _blocks(values, q.block)
    c = _codes_of(q).astype(np.float32)
    counts = np.full(x.shape[0], q.block, np.float32)
    if q.n % q.block:
        counts[-1] = q.n % q.block
    # Zero padding adds nothing to the four sums; only the counts see it.
    sq, sx = c.sum(axis=1), x.sum(axis=1)
    sqq, sxq = (c * c).sum(axis=1), (x * c).sum(axis=1)
    mq, mx = sq / counts, sx / counts
    var = sqq - sq * mq
    with np.errstate(divide="ignore", invalid="ignore"):
        s = (sxq - sq * mx) / var
        z = -(mx - mq * s) / s
    bad = (np.abs(var) < np.float32(1e-12)) | (np.abs(s) < np.float32(1e-12))
    s[bad], z[bad] = 1, 0
    return s, z


# ------------------------------------------------------------------- peers

@dataclass
class Peer:
    name: str
    fn: Callable[[np.ndarray], Any]
    twin: tuple[int, str]        # the velmar (bits, scale) that does this job
    fits: Callable[[int], bool]


def load_peers() -> tuple[list[Peer], list[str]]:
    peers, notes = [], []
    try:
        gguf = importlib.import_module("gguf")

        def gguf_quant(kind: Any) -> Callable[[np.ndarray], Any]:
            def run(a: np.ndarray) -> Any:
                row = GGUF_ROW if a.size % GGUF_ROW == 0 else a.size
                return gguf.quantize(a.reshape(-1, row), kind)
            return run


        def fits(n: int) -> bool:
            return n % 32 == 0

        T = gguf.GGMLQuantizationType
        peers.append(Peer("gguf Q8_0", gguf_quant(T.Q8_0), (8, "F16"), fits))
        peers.append(Peer("gguf Q4_0", gguf_quant(T.Q4_0), (4, "F16"), fits))
        version = getattr(gguf, "__version__", None)
        if version is None:
            from importlib.metadata import version as _v
            version = _v("gguf")
        notes.append(f"gguf {version}: Q8_0 and Q4_0 NumPy quantizers, rows of {GGUF_ROW}")
    except Exception as exc:  # any import failure just drops the peer
        notes.append(f"gguf skipped ({type(exc).__name__}: {exc})")
    try:
        torch = importlib.import_module("torch")

        torch.set_num_threads(1)
        warnings.filterwarnings("ignore", category=UserWarning, module="torch")
        warnings.filterwarnings("ignore", message=".*quantize_per_channel.*")

        def torch_q8(a: np.ndarray) -> Any:
            t = torch.from_numpy(a).view(-1, BLOCK)
            s = t.abs().amax(dim=1) / 127.0
            s = torch.where(s > 0, s, torch.ones_like(s))
            zp = torch.zeros(s.shape[0], dtype=torch.int64)
            return torch.quantize_per_channel(t, s, zp, 0, torch.qint8)

        peers.append(Peer("torch qint8/channel", torch_q8, (8, "F32"),
                          lambda n: n % BLOCK == 0))
        notes.append(f"torch {torch.__version__}: quantize_per_channel qint8 over rows of {BLOCK},"
                     " absmax/127 scales, 1 thread")
    except Exception as exc:
        notes.append(f"torch skipped ({type(exc).__name__}: {exc})")
    return peers, notes


# ----------------------------------------------------------------- output

COLUMNS = (("impl", 6, "<"), ("operation", 34, "<"), ("size", 10, ">"), ("dtype", 7, "<"),
           ("median", 10, ">"), ("xcopy", 8, ">"), ("xnumpy", 8, ">"), ("xpeer", 8, ">"),
           ("targets", 0, "<"))


@dataclass
class Target:
    what: str
    value: float
    limit: float
    op: str = "<="   # "<" for "faster than", ">=" for a throughput floor

    @property
    def ok(self) -> bool:
        return {"<=": self.value <= self.limit, "<": self.value < self.limit,
                ">=": self.value >= self.limit}[self.op]

    @property
    def mark(self) -> str:
        return "PASS" if self.ok else "FAIL"

    def __str__(self) -> str:
        return f"{self.what} {self.value:.3g}x{self.op}{self.limit:g} {self.mark}"


@dataclass
class Row:
    impl: str
    op: str
    n: int
    dtype: str
    median: float
    copy: float | None = None
    numpy: float | None = None
    peer: float | None = None
    targets: list[Target] = field(default_factory=list)


def fmt_time(s: float) -> str:
    for unit, f in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= f:
            return f"{s / f:.3g} {unit}" if s / f < 100 else f"{s / f:.0f} {unit}"
    return f"{s / 1e-9:.0f} ns"


def fmt_ratio(r: float | None) -> str:
    return "-" if r is None else f"{r:.3g}"


class Report:
    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.rows: list[Row] = []

    def line(self, text: str = "") -> None:
        print(text, file=self.stream, flush=True)

    def header(self) -> None:
        cells = [f"{name:{a}{w}}" for name, w, a in COLUMNS]
        self.line("  ".join(cells).rstrip())
        self.line("  ".join("-" * max(w, len(n)) for n, w, _ in COLUMNS))

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        values = (row.impl, row.op, f"{row.n:,}", row.dtype, fmt_time(row.median),
                  fmt_ratio(row.copy), fmt_ratio(row.numpy), fmt_ratio(row.peer),
                  "; ".join(map(str, row.targets)))
        self.line("  ".join(f"{v:{a}{w}}" for v, (_, w, a) in zip(values, COLUMNS)).rstrip())
        return row

    def targets(self) -> list[tuple[str, Target]]:
        return [(f"{r.op} {r.n:,} {r.dtype}", t) for r in self.rows for t in r.targets]


# --------------------------------------------------------------- the runs

def make_data(n: int, dtype: Any = np.float32, seed: int = 12345) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(n, dtype=np.float32).astype(dtype)


def run_size(n: int, args: argparse.Namespace, timing: Timing, peers: list[Peer], report: Report) -> None:
    ops, dtypes = set(args.ops), args.dtypes
    a = make_data(n)
    x = make_data(n, seed=54321)
    inputs = {"float32": a, "float64": a.astype(np.float64)}
    t_copy = measure(timing, a.copy)
    report.add(Row("numpy", "a.copy()", n, "float32", t_copy, 1.0))
    big, overhead = n == LARGE, n == 32

    def vs_copy(t: float) -> float:
        return t / t_copy

    quant_ops: list[tuple[str, str, int | None, str]] = [
        ("quantize", "quantize", bits, scale) for bits in (8, 4) for scale in SCALES]
    quant_ops += [("asymmetric", "asymmetric_quantize", 4, "F32"),
                  ("adaptive", "adaptive_quantize", None, "F32")]
    peer_time: dict[tuple[int | None, str], tuple[str, float]] = {}
    if "peers" in ops:
        for p in peers:
            if p.fits(n):
                t = measure(timing, p.fn, a)
                peer_time[p.twin] = (p.name, t)
                report.add(Row(p.name.split()[0], p.name.split(None, 1)[1] + " quantize", n,
                               "float32", t, vs_copy(t)))

    f32_time: dict[str, float] = {}
    for dtype in dtypes:
        values = inputs[dtype]
        for group, fname, bits, scale in quant_ops:
            if group not in ops or (dtype != "float32" and scale != "F32"):
                continue
            kw: dict[str, Any] = {"scale": SCALES[scale]}
            if group == "adaptive":
                label = f"adaptive_quantize {scale}"
                t = measure(timing, velmar.adaptive_quantize, values, BLOCK, TOLERANCE, **kw)
                t_np = None
            else:
                label = f"{fname} {bits}-bit {scale}"
                fn = velmar.quantize if group == "quantize" else velmar.asymmetric_quantize
                t = measure(timing, fn, values, bits, BLOCK, **kw)
                np_fn = np_symmetric if group == "quantize" else np_asymmetric
                t_np = measure(timing, np_fn, values, bits, BLOCK, scale)
                report.add(Row("numpy", label, n, dtype, t_np, vs_copy(t_np)))
            row = Row("velmar", label, n, dtype, t, t / t_copy, None if t_np is None else t / t_np)
            limit = {"quantize": 1.5, "asymmetric": 2.0, "adaptive": 3.0}[group]
            if dtype == "float32":
                f32_time[label] = t
                if big:
                    row.targets.append(Target("copy", t / t_copy, limit))
                if overhead and group == "quantize":
                    row.targets.append(Target("copy", t / t_copy, 8.0))
            elif big and label in f32_time:
                row.targets.append(Target("f32", t / f32_time[label], 1.5))
            if t_np is not None:
                row.targets.append(Target("numpy", t / t_np, 1 / 8))
            peer = peer_time.get((bits, scale)) if dtype == "float32" else None
            if peer is not None:
                row.peer = t / peer[1]
                row.targets.append(Target(peer[0].split()[0], row.peer, 1.0, "<"))
            report.add(row)

    kinds: dict[str, tuple[velmar.Quantized, NpQuantized | None]] = {"sym8": (velmar.quantize(a, 8, BLOCK), np_symmetric(a, 8)),
             "sym4": (velmar.quantize(a, 4, BLOCK), np_symmetric(a, 4)),
             "asym4": (velmar.asymmetric_quantize(a, 4, BLOCK), np_asymmetric(a, 4)),
             "adaptive": (velmar.adaptive_quantize(a, BLOCK, TOLERANCE), None)}
    out = np.empty(n, np.float32)
    if "dequantize" in ops:
        for kind, (q, nq) in kinds.items():
            for form in ("()", "(out=)"):
                kw = {} if form == "()" else {"out": out}
                t = measure(timing, q.dequantize, **kw)
                t_np = None
                if nq is not None:
                    t_np = measure(timing, np_decode, nq, **kw)
                    report.add(Row("numpy", f"dequantize{form} {kind}", n, "float32",
                                   t_np, vs_copy(t_np)))
                row = Row("velmar", f"dequantize{form} {kind}", n, "float32", t, vs_copy(t),
                          None if t_np is None else t / t_np)
                if big and form == "()":
                    limit = 1.25 if kind.startswith("sym") else 2.0
                    row.targets.append(Target("copy", t / t_copy, limit))
                report.add(row)
    if "dot" in ops:
        for kind, (q, _) in kinds.items():
            t = measure(timing, q.dot, x)
            t_np = measure(timing, lambda: np.dot(q.dequantize(), x))
            report.add(Row("numpy", f"np.dot(q.dequantize(), x) {kind}", n, "float32",
                           t_np, vs_copy(t_np)))
            row = Row("velmar", f"dot {kind}", n, "float32", t, vs_copy(t), t / t_np)
            if kind == "sym8" and (big or n == CACHED):
                row.targets.append(Target("numpy", t / t_np, 1.0 if big else 0.6))
            elif kind != "sym8" and n >= CACHED:
                row.targets.append(Target("numpy", t / t_np, 1.5))
            report.add(row)
    if "refine" in ops:
        for kind in ("asym4", "adaptive"):
            q, nq = kinds[kind]
            t = measure(timing, velmar.refine, q, a)
            t_np = None
            if nq is not None:
                t_np = measure(timing, np_refit, a, nq)
                report.add(Row("numpy", f"refine {kind} (least squares)", n, "float32",
                               t_np, vs_copy(t_np)))
            report.add(Row("velmar", f"refine {kind}", n, "float32", t, vs_copy(t),
                           None if t_np is None else t / t_np))


def run_threads(n: int, calls: int, rounds: int, report: Report) -> Target:
    """Two Python threads quantizing separate arrays against one thread doing both."""
    arrays = [make_data(n, seed=s) for s in (1, 2)]
    velmar.quantize(arrays[0], 8)

    def work(a: np.ndarray) -> None:
        for _ in range(calls):
            velmar.quantize(a, 8, BLOCK)

    def one() -> float:
        t0 = time.perf_counter()
        for a in arrays:
            work(a)
        return time.perf_counter() - t0

    def two() -> float:
        start = threading.Barrier(3)

        def worker(a: np.ndarray) -> None:
            start.wait()
            work(a)

        threads = [threading.Thread(target=worker, args=(a,)) for a in arrays]
        for t in threads:
            t.start()
        start.wait()
        t0 = time.perf_counter()
        for t in threads:
            t.join()
        return time.perf_counter() - t0

    one(), two()
    t1 = statistics.median(one() for _ in range(rounds))
    t2 = statistics.median(two() for _ in range(rounds))
    target = Target("throughput", t1 / t2, 1.6, ">=")
    report.line(f"two threads: quantize 8-bit F32, 2 x {calls} calls on {n:,} float32 values each: "
                f"one thread {fmt_time(t1)}, two threads {fmt_time(t2)}; {target}")
    return target


_MEMORY_CHILD = r"""
import json, resource, sys
import numpy as np
import velmar

n, dtype, op = int(sys.argv[1]), sys.argv[2], sys.argv[3]
a = np.empty(n, dtype=dtype)
rng = np.random.default_rng(7)
step = 1 << 20
for i in range(0, n, step):  # in slices, so that no temporary raises the peak
    a[i:i + step] = rng.standard_normal(min(step, n - i), dtype=np.float32)
fn = {"sym8": lambda v: velmar.quantize(v, 8), "sym4": lambda v: velmar.quantize(v, 4),
      "asym4": lambda v: velmar.asymmetric_quantize(v, 4),
      "adaptive": lambda v: velmar.adaptive_quantize(v)}[op]
fn(a[:4096])

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return None

try:  # start a fresh high-water mark at the current resident size
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before, source = status("VmRSS"), "VmHWM"
except OSError:
    before, source = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "ru_maxrss"
q = fn(a)
after = status("VmHWM") if source == "VmHWM" else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"extra": after - before, "result": q.nbytes, "source": source}))
"""


def run_memory(n: int, cases: list[tuple[str, str]], report: Report) -> list[tuple[str, Target]]:
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.abspath(velmar.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    found = []
    for op, dtype in cases:
        proc = subprocess.run([sys.executable, "-c", _MEMORY_CHILD, str(n), dtype, op],
                              env=env, capture_output=True, text=True, timeout=300)
        if proc.returncode != 0:
            report.line(f"peak memory {op} {dtype}: child failed: {proc.stderr.strip()[-300:]}")
            continue
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        limit = 4 * n + r["result"] + (1 << 20)
        target = Target("limit", r["extra"] / limit, 1.0)
        report.line(f"peak extra memory, {op} of {n:,} {dtype} values: {r['extra'] / 2**20:.2f} MiB "
                    f"({r['source']}; result {r['result'] / 2**20:.2f} MiB); "
                    f"target 4N + result + 1 MiB = {limit / 2**20:.1f} MiB; {target}")
        found.append((f"peak memory {op} {dtype}", target))
    return found


# ----------------------------------------------------------------- driver

def parse_size(text: str) -> int:
    text = text.strip().replace("_", "")
    mult = {"k": 1 << 10, "m": 1 << 20}.get(text[-1:].lower(), 1)
    return int(text[:-1] if mult > 1 else text) * mult


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m velmar.bench", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="small sizes and short budgets (a smoke run, figures are rough)")
    p.add_argument("--sizes", type=lambda s: [parse_size(v) for v in s.split(",")],
                   help="comma-separated element counts, K and M suffixes allowed "
                        "(default 32,4096,1M,16M; quick 32,4096,64K)")
    p.add_argument("--ops", type=lambda s: s.split(","), default=list(OPS),
                   help="comma-separated subset of " + ",".join(OPS))
    p.add_argument("--dtypes", type=lambda s: s.split(","), default=list(DTYPES),
                   help="input dtypes of the quantizers: float32,float64")
    p.add_argument("--budget", type=float, help="seconds of samples per measurement")
    p.add_argument("--threads-size", type=parse_size, default=262144)
    p.add_argument("--memory-size", type=parse_size,
                   help="elements quantized in the memory subprocess (default 16M, quick 1M)")
    args = p.parse_args(argv)
    for name, allowed in (("ops", OPS), ("dtypes", DTYPES)):
        bad = set(getattr(args, name)) - set(allowed)
        if bad:
            p.error(f"unknown {name}: {', '.join(sorted(bad))}")
    if args.sizes is None:
        args.sizes = list(QUICK_SIZES if args.quick else SIZES)
    if args.memory_size is None:
        args.memory_size = CACHED if args.quick else LARGE
    return args


def blas_info() -> tuple[str, Any]:
    try:
        threadpoolctl = importlib.import_module("threadpoolctl")
    except ImportError:
        return "unknown (threadpoolctl not importable; BLAS threads not limited)", None
    info = [f"{d.get('internal_api')} {d.get('version')} kernel {d.get('architecture')}"
            for d in threadpoolctl.threadpool_info() if d.get("user_api") == "blas"]
    limiter = threadpoolctl.threadpool_limits(limits=1)
    return (", ".join(info) or "none found") + "; pinned to 1 thread", limiter


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main(argv: list[str] | None = None, stream: IO[str] | None = None) -> int:
    args = parse_args(argv)
    report = Report(stream or sys.stdout)
    timing = Timing()
    if args.quick:
        timing = Timing(budget=0.03, min_samples=3, max_samples=9)
    if args.budget is not None:
        timing.budget = args.budget
    started = time.perf_counter()
    blas, _limiter = blas_info()
    report.line(f"velmar {velmar.__version__} benchmark, {time.strftime('%Y-%m-%d %H:%M')}")
    report.line(f"machine: {cpu_model()}, {os.cpu_count()} cores; Python {platform.python_version()},"
                f" NumPy {np.__version__}")
    report.line(f"NumPy BLAS: {blas}")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
    if load > 0.5:
        report.line(f"warning: load average {load:.2f} at start; other processes share the cores")
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if var in os.environ:
            report.line(f"warning: {var}={os.environ[var]} is set; NumPy may run a slower kernel")
    peers, notes = load_peers() if "peers" in args.ops else ([], [])
    for note in notes:
        report.line(f"peer: {note}")
    report.line(f"block {BLOCK}; medians after a warm-up; xcopy, xnumpy and xpeer are velmar's "
                "median over the baseline's (lower is faster)")
    report.line()
    report.header()
    table_ops = {"quantize", "asymmetric", "adaptive", "dequantize", "dot", "refine", "peers"}
    if table_ops & set(args.ops):
        for n in args.sizes:
            run_size(n, args, timing, peers, report)
    targets = report.targets()
    report.line()
    if "threads" in args.ops:
        calls = 5 if args.quick else 40
        t = run_threads(args.threads_size, calls, 3 if args.quick else 5, report)
        targets.append(("two threads", t))
    if "memory" in args.ops:
        cases = [("sym8", "float32"), ("sym4", "float32"), ("asym4", "float32"),
                 ("adaptive", "float32"), ("sym8", "float64")]
        cases = [c for c in cases if c[1] in args.dtypes]
        targets += run_memory(args.memory_size, cases, report)
    failed = [(where, t) for where, t in targets if not t.ok]
    report.line()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0
    report.line(f"targets: {len(targets) - len(failed)} PASS, {len(failed)} FAIL"
                f" ({time.perf_counter() - started:.0f} s; load average {load:.2f} at the end)")
    for where, t in failed:
        report.line(f"  FAIL {where}: {t}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
