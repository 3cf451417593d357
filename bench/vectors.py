"""Speed of velmar on vectors against the cost of touching the same bytes, plain NumPy and peers.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=build/dev python3 bench/vectors.py [--quick] [--sizes ...]

Both OpenBLAS variables are unset because, where the machine sets them, they
force a slower BLAS kernel on NumPy and so flatter velmar's dot ratios.

Every figure is a median over repeats taken in this one process after a
warm-up call, single-threaded (BLAS is pinned to one thread when threadpoolctl
is importable).  Ratios divide velmar's median by a baseline measured in the
same run: `a.copy()` of the float32 input of the same size, a vectorised NumPy
implementation of the same job written below, and, where importable, the gguf
and PyTorch quantizers.  Each ratio is a figure named "operation | size |
dtype | baseline" that bench/goals.toml may hold a goal for (bench/run.py).
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from functools import partial
from typing import IO, Any

import numpy as np
import numpy.typing as npt

import velmar
from velmar import _tensor
from velmar.layout import SCALES
from velmar.report import BLOCK, Timing, seconds_per_call

SIZES = (32, 4096, 1 << 20, 1 << 24)
QUICK_SIZES = (32, 4096, 1 << 16)
LARGE = 1 << 24          # big enough that no cache holds the data
CACHED = 1 << 20         # small enough that a second-level cache may hold it
OPS = ("quantize", "asymmetric", "adaptive", "dequantize", "dot", "refine",
       "peers", "threads", "memory")
DTYPES = ("float32", "float64")
GGUF_ROW = 4096          # gguf quantizes rows; a typical weight row
BENCH_TIMING = Timing(budget=0.5, min_samples=5, max_samples=41)
QUICK_TIMING = Timing(budget=0.03, min_samples=3, max_samples=9)

Array = npt.NDArray[Any]

# The quantized forms the decoding, dot and memory runs use, by short name.
QUANTIZERS: dict[str, Callable[[Array], velmar.Quantized]] = {
    "sym8": lambda v: velmar.quantize(v, 8, BLOCK),
    "sym4": lambda v: velmar.quantize(v, 4, BLOCK),
    "asym4": lambda v: velmar.asymmetric_quantize(v, 4, BLOCK),
    "adaptive": lambda v: velmar.adaptive_quantize(v, BLOCK),
}


def kernel_level() -> str:
    """The instruction-set level of the kernels this process runs."""
    return _tensor.kernel_level()


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
    if scale == "f16":
        return x.astype(np.float16)
    if scale == "bf16":
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


def np_symmetric(values: Any, bits: int = 8, block: int = BLOCK, scale: str = "f32") -> NpQuantized:
    """Blockwise absmax quantization to 8 or 4 bits, packing 4-bit codes."""
    x = _blocks(values, block)
    absmax = np.abs(x).max(axis=1)
    s = absmax / np.float32((1 << (bits - 1)) - 1)
    s[~(absmax > 0)] = 1
    codes = _round_codes(x * (np.float32(1) / s)[:, None], bits)
    n = np.asarray(values).size
    return NpQuantized(n, bits, block, codes, _pack4(codes, n) if bits == 4 else None,
                       _store(s, scale))


def np_asymmetric(values: Any, bits: int = 4, block: int = BLOCK, scale: str = "f32") -> NpQuantized:
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
    twin: str                    # the velmar row that does this job, on whole blocks


def load_peers() -> tuple[list[Peer], list[str]]:
    peers: list[Peer] = []
    notes: list[str] = []
    try:
        gguf = importlib.import_module("gguf")

        def gguf_quant(kind: Any) -> Callable[[np.ndarray], Any]:
            def run(a: np.ndarray) -> Any:
                row = GGUF_ROW if a.size % GGUF_ROW == 0 else a.size
                return gguf.quantize(a.reshape(-1, row), kind)
            return run

        T = gguf.GGMLQuantizationType
        peers.append(Peer("gguf Q8_0", gguf_quant(T.Q8_0), "quantize 8-bit f16"))
        peers.append(Peer("gguf Q4_0", gguf_quant(T.Q4_0), "quantize 4-bit f16"))
        notes.append(f"gguf {importlib.metadata.version('gguf')}: Q8_0 and Q4_0 NumPy quantizers,"
                     f" rows of {GGUF_ROW}")
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

        peers.append(Peer("torch qint8/channel", torch_q8, "quantize 8-bit f32"))
        notes.append(f"torch {torch.__version__}: quantize_per_channel qint8 over rows of {BLOCK},"
                     " absmax/127 scales, 1 thread")
    except Exception as exc:
        notes.append(f"torch skipped ({type(exc).__name__}: {exc})")
    return peers, notes


# ----------------------------------------------------------------- output

COLUMNS = (("impl", 6, "<"), ("operation", 34, "<"), ("size", 10, ">"), ("dtype", 7, "<"),
           ("median", 10, ">"), ("xcopy", 8, ">"), ("xnumpy", 8, ">"), ("xpeer", 8, ">"))


def fmt_time(s: float) -> str:
    for unit, f in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= f:
            return f"{s / f:.3g} {unit}" if s / f < 100 else f"{s / f:.0f} {unit}"
    return f"{s / 1e-9:.0f} ns"


class Report:
    """The table, printed a row at a time as it is measured, and velmar's ratios as named figures."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.figures: list[tuple[str, float]] = []

    def line(self, text: str = "") -> None:
        print(text, file=self.stream, flush=True)

    def header(self) -> None:
        self.line("  ".join(f"{name:{a}{w}}" for name, w, a in COLUMNS).rstrip())
        self.line("  ".join("-" * max(w, len(n)) for n, w, _ in COLUMNS))

    def figure(self, op: str, n: int, dtype: str, baseline: str, ratio: float) -> None:
        self.figures.append((f"{op} | {n} | {dtype} | {baseline}", ratio))

    def row(self, impl: str, op: str, n: int, dtype: str, seconds: float, ratios: dict[str, float],
            peer: str = "") -> None:
        if impl == "velmar":
            for k, v in ratios.items():
                self.figure(op, n, dtype, peer if k == "peer" else k, v)
        cells = [impl, op, f"{n:,}", dtype, fmt_time(seconds)]
        cells += [f"{ratios[k]:.3g}" if k in ratios else "-" for k in ("copy", "numpy", "peer")]
        self.line("  ".join(f"{v:{a}{w}}" for v, (_, w, a) in zip(cells, COLUMNS)).rstrip())


# --------------------------------------------------------------- the runs

def make_data(n: int, dtype: Any = np.float32, seed: int = 12345) -> Array:
    return np.random.default_rng(seed).standard_normal(n, dtype=np.float32).astype(dtype)


@dataclass(frozen=True)
class Job:
    """One quantizer row: what --ops selects it, velmar's call and NumPy's."""
    group: str
    label: str
    run: Callable[[Array], object]
    numpy: Callable[[Array], object] | None = None


def quantize_jobs() -> list[Job]:
    jobs = [Job("quantize", f"quantize {bits}-bit {name}",
                partial(velmar.quantize, bits=bits, block=BLOCK, scale=scale),
                partial(np_symmetric, bits=bits, block=BLOCK, scale=name))
            for bits in (8, 4) for name, scale in SCALES.items()]
    return jobs + [Job("asymmetric", "asymmetric_quantize 4-bit f32", QUANTIZERS["asym4"],
                       lambda v: np_asymmetric(v, 4, BLOCK)),
                   Job("adaptive", "adaptive_quantize f32", QUANTIZERS["adaptive"])]


def run_size(n: int, ops: Iterable[str], dtypes: Iterable[str], timing: Timing, peers: list[Peer],
             report: Report) -> None:
    ops = set(ops)
    a = make_data(n)
    x = make_data(n, seed=54321)
    t_copy = seconds_per_call(timing, a.copy)
    report.row("numpy", "a.copy()", n, "float32", t_copy, {"copy": 1.0})

    def row(op: str, fn: Callable[..., object], *args: Any, baseline: Callable[..., object] | None = None,
            numpy_op: str = "", dtype: str = "float32", f32: float | None = None) -> float:
        """Times velmar's fn and, where given, the NumPy baseline and the peer doing the same job."""
        t = seconds_per_call(timing, fn, *args)
        ratios = {"copy": t / t_copy}
        if f32 is not None:
            ratios["f32"] = t / f32
        if baseline is not None:
            t_np = seconds_per_call(timing, baseline, *args)
            report.row("numpy", numpy_op or op, n, dtype, t_np, {"copy": t_np / t_copy})
            ratios["numpy"] = t / t_np
        # Peers take whole blocks only: gguf's are 32 values, torch's rows here BLOCK.
        whole = n % 32 == 0 and n % BLOCK == 0
        peer = next((p for p in peers if p.twin == op and whole and dtype == "float32"), None)
        if peer is not None:
            t_peer = seconds_per_call(timing, peer.fn, *args)
            impl, name = peer.name.split(None, 1)
            report.row(impl, f"{name} quantize", n, dtype, t_peer, {"copy": t_peer / t_copy})
            ratios["peer"] = t / t_peer
        report.row("velmar", op, n, dtype, t, ratios, peer.name.split()[0] if peer else "")
        return t

    f32_time: dict[str, float] = {}
    for dtype in dtypes:
        values = a if dtype == "float32" else a.astype(dtype)
        for job in quantize_jobs():
            if job.group in ops and (dtype == "float32" or job.label.endswith(" f32")):
                t = row(job.label, job.run, values, baseline=job.numpy, dtype=dtype, f32=f32_time.get(job.label))
                f32_time.setdefault(job.label, t)
    if not ops & {"dequantize", "dot", "refine"}:
        return
    forms: dict[str, tuple[velmar.Quantized, NpQuantized | None]] = {
        "sym8": (QUANTIZERS["sym8"](a), np_symmetric(a, 8)),
        "sym4": (QUANTIZERS["sym4"](a), np_symmetric(a, 4)),
        "asym4": (QUANTIZERS["asym4"](a), np_asymmetric(a, 4)),
        "adaptive": (QUANTIZERS["adaptive"](a), None),
    }
    out = np.empty(n, np.float32)
    for kind, (q, nq) in forms.items():
        decode = None if nq is None else partial(np_decode, nq)
        if "dequantize" in ops:
            row(f"dequantize() {kind}", q.dequantize, baseline=decode)
            row(f"dequantize(out=) {kind}", q.dequantize, out, baseline=decode)
        if "dot" in ops:
            row(f"dot {kind}", q.dot, x, baseline=lambda v, q=q: np.dot(q.dequantize(), v),
                numpy_op=f"np.dot(q.dequantize(), x) {kind}")
        if "refine" in ops and kind in ("asym4", "adaptive"):
            refit = None if nq is None else lambda _q, v, nq=nq: np_refit(v, nq)
            row(f"refine {kind}", velmar.refine, q, a, baseline=refit, numpy_op=f"refine {kind} (least squares)")


def run_threads(n: int, calls: int, rounds: int, report: Report) -> None:
    """Two Python threads quantizing separate arrays against one thread doing both."""
    arrays = [make_data(n, seed=s) for s in (1, 2)]
    velmar.quantize(arrays[0], 8)

    def work(a: Array) -> None:
        for _ in range(calls):
            velmar.quantize(a, 8, BLOCK)

    def one() -> float:
        t0 = time.perf_counter()
        for a in arrays:
            work(a)
        return time.perf_counter() - t0

    def two() -> float:
        start = threading.Barrier(3)

        def worker(a: Array) -> None:
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
    report.figure("two threads", n, "float32", "throughput", t1 / t2)
    report.line(f"two threads: quantize 8-bit f32, 2 x {calls} calls on {n:,} float32 values each: "
                f"one thread {fmt_time(t1)}, two threads {fmt_time(t2)}; throughput {t1 / t2:.3g}x one thread")


def _status(key: str) -> int | None:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return None


def memory_child(op: str, dtype: str, n: int) -> dict[str, Any]:
    """Run in a fresh process: the peak memory one quantizer call adds."""
    a = np.empty(n, dtype=dtype)
    rng = np.random.default_rng(7)
    step = 1 << 20
    for i in range(0, n, step):  # in slices, so that no temporary raises the peak
        a[i:i + step] = rng.standard_normal(min(step, n - i), dtype=np.float32)
    fn = QUANTIZERS[op]
    fn(a[:4096])
    try:  # start a fresh high-water mark at the current resident size
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before, source = _status("VmRSS"), "VmHWM"
    except OSError:
        before, source = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "ru_maxrss"
    q = fn(a)
    after = _status("VmHWM") if source == "VmHWM" else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    assert before is not None and after is not None
    return {"extra": after - before, "result": q.nbytes, "source": source}


def run_memory(n: int, cases: list[tuple[str, str]], report: Report) -> None:
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.abspath(velmar.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    for op, dtype in cases:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", f"{op},{dtype},{n}"],
                              env=env, capture_output=True, text=True, timeout=300)
        if proc.returncode != 0:
            report.line(f"peak memory {op} {dtype}: child failed: {proc.stderr.strip()[-300:]}")
            continue
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        limit = 4 * n + r["result"] + (1 << 20)
        report.figure(f"peak memory {op}", n, dtype, "limit", r["extra"] / limit)
        report.line(f"peak extra memory, {op} of {n:,} {dtype} values: {r['extra'] / 2**20:.2f} MiB "
                    f"({r['source']}; result {r['result'] / 2**20:.2f} MiB); "
                    f"limit 4N + result + 1 MiB = {limit / 2**20:.1f} MiB; {r['extra'] / limit:.3g}x the limit")


# ----------------------------------------------------------------- driver

def parse_size(text: str) -> int:
    text = text.strip().replace("_", "")
    mult = {"k": 1 << 10, "m": 1 << 20}.get(text[-1:].lower(), 1)
    return int(text[:-1] if mult > 1 else text) * mult


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="bench/vectors.py", description=__doc__,
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
    p.add_argument("--memory-child", help=argparse.SUPPRESS)
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


def load_average() -> float:
    return os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0


def measure(args: argparse.Namespace, stream: IO[str]) -> list[tuple[str, float]]:
    """Print the table for these options; returns velmar's ratios as named figures."""
    report = Report(stream)
    timing = QUICK_TIMING if args.quick else BENCH_TIMING
    if args.budget is not None:
        timing = Timing(args.budget, timing.min_samples, timing.max_samples)
    started = time.perf_counter()
    blas, _limiter = blas_info()
    report.line(f"velmar {velmar.__version__} on vectors, {time.strftime('%Y-%m-%d %H:%M')}")
    report.line(f"machine: {cpu_model()}, {os.cpu_count()} cores; Python {platform.python_version()},"
                f" NumPy {np.__version__}; kernels: {kernel_level()}")
    report.line(f"NumPy BLAS: {blas}")
    if load_average() > 0.5:
        report.line(f"warning: load average {load_average():.2f} at start; other processes share the cores")
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
    if set(args.ops) - {"threads", "memory"}:
        for n in args.sizes:
            run_size(n, args.ops, args.dtypes, timing, peers, report)
    report.line()
    if "threads" in args.ops:
        run_threads(args.threads_size, 5 if args.quick else 40, 3 if args.quick else 5, report)
    if "memory" in args.ops:
        cases = [(op, "float32") for op in QUANTIZERS] + [("sym8", "float64")]
        run_memory(args.memory_size, [c for c in cases if c[1] in args.dtypes], report)
    report.line(f"({time.perf_counter() - started:.0f} s; load average {load_average():.2f} at the end)")
    return report.figures


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    return measure(parse_args(["--quick"] if level == "quick" else []), out)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if args.memory_child:
        op, dtype, n = args.memory_child.split(",")
        print(json.dumps(memory_child(op, dtype, int(n))))
        return 0
    measure(args, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
