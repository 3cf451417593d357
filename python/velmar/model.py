"""``velmar model report|quantize``: whole model files, tensor by tensor.

Both subcommands read a model (.safetensors, .gguf, .npy or .npz), choose
for each tensor a scheme (the default, the first matching ``--rule``) or to
keep it as it is (1-D, integer, ``--keep``, already quantized), and work
through the tensors one at a time, each in chunks of rows, so that a model
larger than memory can be quantized. ``report`` measures the error of every
choice; ``quantize`` writes the result to a velmar file or to GGUF.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import threading
import tomllib
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Any, NoReturn, TextIO

import gguf
import numpy as np
import numpy.typing as npt

from velmar import _native, gguf_io, io, tensor
from velmar._native import QuantizeError, Scale, Scheme
from velmar.io import Stored
from velmar.layout import BFLOAT16, PARTS, Layout, scale_name
from velmar.report import SCALES, SCHEME_SYNTAX, UsageError, parse_scheme, read_magic

__all__ = ["main"]

# Input bytes quantized in one call: large enough to keep the native code
# busy, small enough that the error statistics' float64 copies stay modest.
CHUNK_BYTES = 16 << 20
PROGRESS_BYTES = 256 << 20
SPEC_SYNTAX = f"{SCHEME_SYNTAX}, optionally followed by @f32, @f16 or @bf16; or keep"


# ---------------------------------------------------------------- choosing


@dataclass(frozen=True)
class Choice:
    """How one tensor is treated: quantized with a scheme and scale, or kept (scheme None)."""

    scheme: Scheme | None
    scale: Scale
    reason: str  # why: "default", the rule that matched, or why it is kept


def parse_spec(text: str, block: int) -> tuple[Scheme | None, Scale | None]:
    """``symmetric:4``, ``adaptive:0.01@bf16``, ``keep``."""
    spec, _, scale = text.strip().partition("@")
    if spec.strip().lower() == "keep":
        if scale:
            raise UsageError(f"bad scheme {text!r}: keep takes no scale")
        return None, None
    if scale and scale.lower() not in SCALES:
        raise UsageError(f"bad scheme {text!r}: the scale after @ is f32, f16 or bf16")
    scheme = parse_scheme(spec, block)
    try:  # the quantizer's own checks of bits, block and tolerance, before any work
        scheme.quantize(np.zeros(0, np.float32))
    except QuantizeError as e:
        raise UsageError(f"bad scheme {text!r}: {e}") from None
    return scheme, SCALES[scale.lower()] if scale else None


def spec_name(scheme: Scheme | None, scale: Scale) -> str:
    if scheme is None:
        return "keep"
    param = f"{scheme.tolerance:.3g}" if scheme.kind == "adaptive" else str(scheme.bits)
    return f"{scheme.kind}:{param}@{scale_name(scale)}"


@dataclass
class Rules:
    default: Scheme
    default_scale: Scale
    scale: Scale  # for rules that name no scale
    rules: list[tuple[re.Pattern[str], Scheme | None, Scale | None, str]] = field(default_factory=list)
    keep: list[re.Pattern[str]] = field(default_factory=list)

    def choose(self, entry: Entry) -> Choice:
        if entry.stored is not None:
            return Choice(None, self.scale, "quantized already")
        if not entry.floating:
            return Choice(None, self.scale, "integer")
        if len(entry.shape) < 2:
            return Choice(None, self.scale, "1-D")
        for pattern in self.keep:
            if pattern.search(entry.name):
                return Choice(None, self.scale, f"--keep {pattern.pattern}")
        for pattern, scheme, scale, text in self.rules:
            if pattern.search(entry.name):
                return Choice(scheme, scale or self.scale, f"rule {text}")
        return Choice(self.default, self.default_scale, "default")


def compile_regex(text: str, where: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as e:
        raise UsageError(f"{where}: bad regular expression {text!r}: {e}") from None


def parse_rule(text: str, block: int, where: str) -> tuple[re.Pattern[str], Scheme | None, Scale | None, str]:
    pattern, sep, spec = text.rpartition("=")
    if not sep or not pattern:
        raise UsageError(f"{where}: bad rule {text!r}: expected REGEX=SCHEME")
    scheme, scale = parse_spec(spec, block)
    return compile_regex(pattern, where), scheme, scale, text


def load_rules_file(path: str, block: int) -> tuple[list[Any], list[re.Pattern[str]], str | None]:
    """A TOML file: ``scheme = "..."``, ``keep = [REGEX, ...]`` and a table ``[rules]`` of REGEX = SCHEME."""
    try:
        with open(path, "rb") as f:
            doc = tomllib.load(f)
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except OSError as e:
        raise UsageError(f"{path}: cannot read: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise UsageError(f"{path}: not valid TOML: {e}") from None
    unknown = set(doc) - {"scheme", "keep", "rules"}
    if unknown:
        raise UsageError(f"{path}: unknown key {sorted(unknown)[0]!r}; expected scheme, keep and [rules]")
    rules, keep = doc.get("rules", {}), doc.get("keep", [])
    default = doc.get("scheme")
    if not isinstance(rules, dict) or not all(isinstance(v, str) for v in rules.values()):
        raise UsageError(f"{path}: [rules] maps regular expressions to scheme strings")
    if not isinstance(keep, list) or not all(isinstance(k, str) for k in keep):
        raise UsageError(f"{path}: keep is a list of regular expressions")
    if default is not None and not isinstance(default, str):
        raise UsageError(f"{path}: scheme is a string")
    parsed = [(compile_regex(k, path), *parse_spec(v, block), f"{k}={v}") for k, v in rules.items()]
    return parsed, [compile_regex(k, path) for k in keep], default


def make_rules(args: argparse.Namespace) -> Rules:
    if not 1 <= args.block < 2**63:
        raise UsageError(f"--block must be at least 1, not {args.block}")
    rules = [parse_rule(r, args.block, "--rule") for r in args.rule]
    keep = [compile_regex(k, "--keep") for k in args.keep]
    default_text = args.scheme
    if args.rules:
        more, more_keep, file_default = load_rules_file(args.rules, args.block)
        rules += more
        keep += more_keep
        default_text = default_text or file_default
    scheme, scale = parse_spec(default_text or "symmetric:8", args.block)
    if scheme is None:
        raise UsageError("the default scheme cannot be keep; use --keep or rules for that")
    fallback = SCALES[args.scale] if args.scale else Scale.F16
    return Rules(scheme, scale or fallback, fallback, rules, keep)


# ---------------------------------------------------------------- reading


@dataclass(frozen=True)
class Entry:
    name: str
    shape: tuple[int, ...]
    dtype: str
    nbytes: int
    floating: bool
    stored: Layout | None  # quantized already: its description


class Source:
    """A model file of any supported kind, read one tensor (or one slice of rows) at a time."""

    def __init__(self, path: str) -> None:
        self.path = path
        magic = read_magic(path, 8)
        try:
            if magic.startswith(b"GGUF"):
                self._open_gguf()
            elif magic.startswith(b"\x93NUMPY") or magic.startswith(b"PK"):
                self._open_numpy(magic.startswith(b"PK"))
            else:
                self._open_safetensors()
        except (ValueError, OSError, EOFError) as e:
            raise UsageError(f"{path}: unreadable: {e}") from None

    def _add(self, name: str, shape: Sequence[int], dtype: np.dtype[Any] | str, nbytes: int,
             stored: Layout | None = None) -> None:
        dt = dtype if isinstance(dtype, str) else str(dtype)
        floating = stored is None and (isinstance(dtype, str) or dtype.kind == "f" or dt == "bfloat16")
        self.entries.append(Entry(name, tuple(int(d) for d in shape), dt, int(nbytes), floating, stored))

    def _open_safetensors(self) -> None:
        self.kind = "safetensors"
        self.file = io.File(self.path)
        self.entries: list[Entry] = []
        for name in self.file.keys():
            layout = self.file.layout(name)
            if layout is not None:
                item = BFLOAT16.itemsize if layout.dtype == "bfloat16" else np.dtype(layout.dtype).itemsize
                self._add(name, layout.shape, layout.dtype, math.prod(layout.shape) * item, layout)
            else:
                dt, shape = self.file.plain(name)
                self._add(name, shape, dt, math.prod(shape) * dt.itemsize)

    def _open_gguf(self) -> None:
        self.kind = "gguf"
        self.entries = []
        self.gguf: dict[str, tuple[gguf.GGMLQuantizationType, tuple[int, ...], Any]] = {}
        for name, kind, shape, t in gguf_io.tensors(self.path):
            self.gguf[name] = (kind, shape, t)
            stored = None
            if kind in (gguf.GGMLQuantizationType.Q8_0, gguf.GGMLQuantizationType.Q4_0):
                bits = 8 if kind == gguf.GGMLQuantizationType.Q8_0 else 4
                stored = Layout.for_scheme(Scheme.symmetric(bits, 32), Scale.F16, shape)
            if kind in gguf_io.PLAIN_TYPES:
                self._add(name, shape, np.dtype(gguf_io.PLAIN_TYPES[kind]), int(t.n_bytes))
            elif kind == gguf.GGMLQuantizationType.BF16:
                self._add(name, shape, BFLOAT16, int(t.n_bytes))
            else:
                self._add(name, shape, kind.name, int(t.n_bytes), stored)

    def _open_numpy(self, archive: bool) -> None:
        self.kind = "npz" if archive else "npy"
        self.entries = []
        if archive:
            self.npz = np.load(self.path, allow_pickle=False)
            names = list(self.npz.files)
            arrays: dict[str, Any] = {}
            for name in names:
                with self.npz.zip.open(name + ".npy" if name + ".npy" in self.npz.zip.namelist() else name) as f:
                    version = np.lib.format.read_magic(f)
                    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
                    shape, _, dtype = read(f)  # the header only
                arrays[name] = (shape, dtype)
        else:
            self.npy = np.load(self.path, mmap_mode="r", allow_pickle=False)
            names = [os.path.splitext(os.path.basename(self.path))[0]]
            arrays = {names[0]: (self.npy.shape, self.npy.dtype)}
        for name, (shape, dtype) in arrays.items():
            if dtype.kind not in "biuf" and str(dtype) != "bfloat16":
                raise ValueError(f"{name!r} holds {dtype} values, not numbers")
            self._add(name, shape, dtype, math.prod(shape) * dtype.itemsize)

    def rows(self, name: str) -> Any:
        """The tensor as something sliceable along its first axis, read slice by slice where the format allows."""
        if self.kind == "safetensors":
            return _Rows(self.file, name)
        if self.kind == "npy":
            return self.npy
        if self.kind == "npz":
            return self.npz[name]
        kind, shape, t = self.gguf[name]
        if kind == gguf.GGMLQuantizationType.BF16:
            return np.asarray(t.data).view(BFLOAT16).reshape(shape)
        if kind in gguf_io.PLAIN_TYPES:
            return np.asarray(t.data).reshape(shape)
        return _Decoded(np.asarray(t.data).reshape(*shape[:-1], -1), kind)

    def read(self, entry: Entry) -> Stored:
        """The whole tensor as it is stored: an array, or a velmar object if quantized already."""
        if self.kind == "safetensors":
            return self.file[entry.name]
        if self.kind == "gguf" and entry.stored is not None:
            kind, shape, t = self.gguf[entry.name]
            return gguf_io.convert(entry.name, kind, shape, t)
        return np.ascontiguousarray(self.rows(entry.name)[...])


class _Rows:
    """Slices of a safetensors array, read from the file as they are asked for."""

    def __init__(self, file: io.File, name: str) -> None:
        self.file, self.name = file, name

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        if isinstance(index, slice) and index.step is None:
            return self.file.read_rows(self.name, index.start or 0, 2**63 if index.stop is None else index.stop)
        return np.asarray(self.file.read_rows(self.name)[index])


class _Decoded:
    """Rows of a GGUF block type velmar has no counterpart for, decoded by gguf itself."""

    def __init__(self, data: npt.NDArray[np.uint8], kind: gguf.GGMLQuantizationType) -> None:
        self.data, self.kind = data, kind

    def __getitem__(self, index: Any) -> npt.NDArray[np.float32]:
        return np.asarray(gguf.quants.dequantize(np.asarray(self.data[index]), self.kind), np.float32)


@lru_cache(maxsize=4)
def open_source(path: str) -> Source:
    # One per process and file: threads share it, Dask workers open their own.
    return Source(path)


# ---------------------------------------------------------------- the work


@dataclass
class Done:
    """One tensor handled: a quantized layout and parts, or the kept object, and the error statistics."""

    entry: Entry
    choice: Choice
    layout: Layout | None = None
    parts: dict[str, npt.NDArray[Any]] | None = None
    kept: Stored | None = None
    after: int = 0
    sse: float = 0.0  # sums over the finite inputs, in float64
    ssx: float = 0.0
    max_error: float = 0.0

    @property
    def count(self) -> int:
        return math.prod(self.entry.shape)


def work(path: str, entry: Entry, choice: Choice, measure: bool) -> Done:
    """Quantize (or read, if kept) one tensor; runs in a thread or on a Dask worker."""
    try:
        return _work(path, entry, choice, measure)
    except ValueError as e:  # a corrupt tensor in a file whose header was fine
        raise UsageError(f"{path}: {entry.name}: {e}") from None


def _work(path: str, entry: Entry, choice: Choice, measure: bool) -> Done:
    src = open_source(path)
    if choice.scheme is None:
        kept = src.read(entry)
        return Done(entry, choice, kept=kept, after=_nbytes(kept))
    done = Done(entry, choice)
    rows = src.rows(entry.name)
    shape = entry.shape
    inner = math.prod(shape[1:])
    step = max(1, CHUNK_BYTES // max(1, 4 * inner))
    pieces: dict[str, list[npt.NDArray[Any]]] = {p: [] for p in PARTS}
    for start in range(0, shape[0], step) if shape[0] else [0]:
        chunk = np.asarray(rows[start : min(start + step, shape[0])]) if shape[0] else np.zeros(shape, np.float32)
        qt = tensor.quantize(chunk, choice.scheme, scale=choice.scale)
        for part, array in qt.parts().items():
            pieces[part].append(array)
        if measure:
            _accumulate(done, chunk, qt.dequantize())
    done.parts = {p: np.concatenate(v) for p, v in pieces.items()}
    scheme = choice.scheme
    done.layout = Layout.for_scheme(scheme, choice.scale, shape, dtype=entry.dtype)
    done.after = sum(a.nbytes for a in done.parts.values())
    return done


def _nbytes(obj: Stored) -> int:
    return int(obj.nbytes)


def _accumulate(done: Done, values: npt.NDArray[Any], decoded: npt.NDArray[np.float32]) -> None:
    x = np.asarray(values, np.float64).reshape(-1)
    ok = np.isfinite(x)
    x = x[ok]
    with np.errstate(over="ignore", invalid="ignore"):
        err = decoded.reshape(-1)[ok].astype(np.float64) - x
        done.sse += float(np.dot(err, err))
        done.ssx += float(np.dot(x, x))
        if err.size:
            done.max_error = max(done.max_error, float(np.max(np.abs(err))))


def run_all(path: str, plan: list[tuple[Entry, Choice]], measure: bool, workers: int, dask: str | None,
            progress: Callable[[int], None]) -> Iterator[Done]:
    """Every tensor's result in plan order, with at most ``workers`` tensors in memory at once."""
    if dask is not None:
        try:
            from distributed import Client
        except ImportError:
            raise UsageError("--dask needs Dask: pip install 'velmar[dask]'") from None
        connect: Any = Client  # untyped
        try:
            client = connect(dask, timeout="10s")
        except (OSError, TimeoutError, ValueError) as e:
            raise UsageError(f"cannot reach the Dask scheduler at {dask}: {e}") from None
        submit: Callable[..., Any] = lambda *a: client.submit(work, *a, pure=False)  # noqa: E731
        close: Callable[[], None] = client.close
        window = max(workers, sum(client.nthreads().values()))
    else:
        pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="velmar")
        submit = lambda *a: pool.submit(work, *a)  # noqa: E731
        close = lambda: pool.shutdown(cancel_futures=True)  # noqa: E731
        window = workers
    pending: deque[Future[Done]] = deque()
    todo = iter(plan)
    try:
        while True:
            while len(pending) < window:
                nxt = next(todo, None)
                if nxt is None:
                    break
                pending.append(submit(os.path.abspath(path), nxt[0], nxt[1], measure))
            if not pending:
                return
            done = pending.popleft().result()
            progress(done.entry.nbytes)
            yield done
    finally:
        for f in pending:
            f.cancel()
        close()


# ---------------------------------------------------------------- output


def human(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return str(n)  # pragma: no cover


def row_of(d: Done) -> dict[str, Any]:
    quantized = d.layout is not None
    stored = d.entry.stored
    if quantized:
        scheme = spec_name(d.choice.scheme, d.choice.scale)
    elif stored is not None:
        scheme = f"{spec_name(stored.scheme(), stored.scale_member)} (stored)"
    else:
        scheme = f"keep ({d.choice.reason})"
    rms = math.sqrt(d.sse / d.ssx) if quantized and d.ssx > 0 else None
    sqnr = (10 * math.log10(d.ssx / d.sse) if d.sse > 0 else None) if quantized and d.ssx > 0 else None
    return {
        "name": d.entry.name,
        "shape": list(d.entry.shape),
        "dtype": d.entry.dtype,
        "scheme": scheme,
        "bits_per_element": 8 * d.after / d.count if d.count else 0.0,
        "bytes_before": d.entry.nbytes,
        "bytes_after": d.after,
        "relative_rms_error": rms,
        "sqnr_db": sqnr,
        "max_error": d.max_error if quantized else None,
    }


COLUMNS = ("tensor", "shape", "dtype", "scheme", "bits/elem", "before", "after", "rel rms", "SQNR dB", "max error")


def table(rows: Sequence[dict[str, Any]], totals: dict[str, Any]) -> str:
    def num(v: float | None, spec: str) -> str:
        return "-" if v is None else format(v, spec)

    cells = [
        (r["name"], "x".join(map(str, r["shape"])) or "scalar", r["dtype"], r["scheme"], f"{r['bits_per_element']:.3f}",
         human(r["bytes_before"]), human(r["bytes_after"]), num(r["relative_rms_error"], ".3e"),
         num(r["sqnr_db"], ".1f"), num(r["max_error"], ".3e"))
        for r in [*rows, totals]
    ]
    widths = [max(len(c[i]) for c in [COLUMNS, *cells]) for i in range(len(COLUMNS))]

    def line(cols: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if i < 4 else c.rjust(w) for i, (c, w) in enumerate(zip(cols, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(COLUMNS), rule, *(line(c) for c in cells[:-1]), rule, line(cells[-1])])


def totals_of(done: Sequence[Done]) -> dict[str, Any]:
    count = sum(d.count for d in done)
    sse = sum(d.sse for d in done if d.layout is not None)
    ssx = sum(d.ssx for d in done if d.layout is not None)
    measured = [d for d in done if d.layout is not None]
    after = sum(d.after for d in done)
    return {
        "name": f"total ({len(done)} tensors, {len(measured)} quantized)",
        "shape": [count],
        "dtype": "",
        "scheme": "",
        "bits_per_element": 8 * after / count if count else 0.0,
        "bytes_before": sum(d.entry.nbytes for d in done),
        "bytes_after": after,
        "relative_rms_error": math.sqrt(sse / ssx) if ssx > 0 else None,
        "sqnr_db": 10 * math.log10(ssx / sse) if ssx > 0 and sse > 0 else None,
        "max_error": max((d.max_error for d in measured), default=None),
    }


def plot(rows: Sequence[dict[str, Any]], path: str, title: str) -> None:
    from matplotlib.figure import Figure

    shown = [r for r in rows if r["relative_rms_error"] is not None]
    fig = Figure(figsize=(8, 1.5 + 0.22 * max(1, len(shown))), layout="constrained")
    ax = fig.add_subplot()
    ax.barh(range(len(shown)), [r["relative_rms_error"] for r in shown], color="tab:blue")
    ax.set_yticks(range(len(shown)), [f"{r['name']} ({r['scheme']})" for r in shown], fontsize="small")
    ax.invert_yaxis()
    if any(r["relative_rms_error"] > 0 for r in shown):
        ax.set_xscale("log")
    ax.set_xlabel("relative RMS error")
    ax.set_title(title)
    try:
        fig.savefig(path, dpi=100)
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot write the plot {path}: {e}") from None


# ---------------------------------------------------------------- commands


def _progress_bar(args: argparse.Namespace, total: int) -> tuple[Callable[[int], None], Callable[[], None]]:
    show = args.progress == "always" or (args.progress == "auto" and total >= PROGRESS_BYTES and sys.stderr.isatty())
    if not show:
        return (lambda n: None), (lambda: None)
    try:
        from tqdm import tqdm
    except ImportError:
        return (lambda n: None), (lambda: None)
    bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, desc="tensors", file=sys.stderr, leave=False)
    lock = threading.Lock()

    def update(n: int) -> None:
        with lock:
            bar.update(n)

    return update, bar.close


def planned(args: argparse.Namespace) -> tuple[Source, list[tuple[Entry, Choice]]]:
    rules = make_rules(args)
    src = open_source(os.path.abspath(args.file))
    return src, [(e, rules.choose(e)) for e in src.entries]


def cmd_report(args: argparse.Namespace, out: TextIO) -> None:
    if args.plot:
        try:
            import matplotlib  # noqa: F401  (fail before the work, not after it)
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install 'velmar[cli]'") from None
    src, plan = planned(args)
    update, close = _progress_bar(args, sum(e.nbytes for e, _ in plan))
    try:
        done = list(run_all(args.file, plan, True, args.workers, args.dask, update))
    finally:
        close()
    rows = [row_of(d) for d in done]
    totals = totals_of(done)
    if args.plot:
        plot(rows, args.plot, f"velmar on {os.path.basename(args.file)}")
    if args.json:
        json.dump({"velmar": _native.__version__, "source": args.file, "tensors": rows, "totals": totals},
                  out, indent=2, allow_nan=False)
        out.write("\n")
        return
    print(f"velmar {_native.__version__}: {len(rows)} tensors from {args.file}", file=out)
    print(file=out)
    print(table(rows, totals), file=out)


def gguf_check(plan: list[tuple[Entry, Choice]], fallback: str | None) -> list[tuple[Entry, Choice]]:
    """Refuse, before any work, what GGUF cannot hold; with a fallback, keep it to be cast."""
    out = []
    for entry, choice in plan:
        stored = entry.stored
        if choice.scheme is not None:
            lay = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
            ok = _maps(lay)
            what = spec_name(choice.scheme, choice.scale)
        elif stored is not None:
            ok, what = _maps(stored), spec_name(stored.scheme(), stored.scale_member)
        else:
            ok = entry.dtype in ("float32", "float16", "float64", "bfloat16", "int8", "int16", "int32", "int64")
            what = entry.dtype
        if not ok and fallback is None:
            raise UsageError(
                f"{entry.name}: {what} has no GGUF type (Q8_0 is symmetric:8@f16 and Q4_0 symmetric:4@f16, "
                "block 32, rows of whole blocks); choose such a scheme or pass --gguf-fallback f16|f32")
        out.append((entry, choice if ok else Choice(None, choice.scale, f"as {fallback}")))
    return out


def _maps(lay: Layout) -> bool:
    return (lay.kind == "symmetric" and lay.bits in gguf_io.EXACT and lay.block == gguf_io.QK and lay.scale == "f16"
            and lay.row_len % gguf_io.QK == 0)


def estimate(entry: Entry, choice: Choice) -> str:
    if choice.scheme is None:
        return human(entry.nbytes)
    lay = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
    size = sum(c * lay.part_dtype(p).itemsize for p, c in lay.max_part_counts().items())
    return ("<= " if lay.row_code_bytes is None else "") + human(size)


def cmd_quantize(args: argparse.Namespace, out: TextIO) -> None:
    if os.path.exists(args.output) and os.path.samefile(args.file, args.output):
        raise UsageError("the output would replace the input; choose another name")
    src, plan = planned(args)
    if args.format == "gguf":
        plan = gguf_check(plan, args.gguf_fallback)
    if args.dry_run:
        for entry, choice in plan:
            what = spec_name(choice.scheme, choice.scale) if choice.scheme else f"keep ({choice.reason})"
            print(f"{entry.name}  {'x'.join(map(str, entry.shape))}  {entry.dtype}  {what}  "
                  f"{human(entry.nbytes)} -> {estimate(entry, choice)}", file=out)
        print(f"dry run: {len(plan)} tensors, nothing written", file=out)
        return
    update, close = _progress_bar(args, sum(e.nbytes for e, _ in plan))
    try:
        results = run_all(args.file, plan, False, args.workers, args.dask, update)
        if args.format == "gguf":
            write_gguf(args.output, results, args.gguf_fallback)
        else:
            write_safe(args.output, plan, results, src)
    finally:
        close()
    before = sum(e.nbytes for e, _ in plan)
    after = os.path.getsize(args.output)
    quantized = sum(c.scheme is not None for _, c in plan)
    print(f"wrote {args.output}: {len(plan)} tensors ({quantized} quantized), {human(before)} -> {human(after)}",
          file=out)


def write_safe(path: str, plan: list[tuple[Entry, Choice]], results: Iterator[Done], src: Source) -> None:
    entries = []
    layouts: dict[str, Layout] = {}
    for entry, choice in plan:
        if choice.scheme is not None:
            s = choice.scheme
            layouts[entry.name] = Layout.for_scheme(s, choice.scale, entry.shape, dtype=entry.dtype)
        elif entry.stored is not None:
            layouts[entry.name] = entry.stored
        else:
            dt = io.ST_NAMES[np.dtype(BFLOAT16) if entry.dtype == "bfloat16" else np.dtype(entry.dtype)]
            entries.append((entry.name, dt, entry.shape))
            continue
        entries += io.quantized_entries(entry.name, layouts[entry.name])
    meta = io.header_metadata(layouts, src.file.metadata if src.kind == "safetensors" else None)
    with io.Writer(path, entries, meta) as w:
        for d in results:
            if d.parts is None:
                if isinstance(d.kept, np.ndarray):
                    w.put(d.entry.name, d.kept)
                    continue
                d.parts = io.parts_of(d.kept)
            for part, array in d.parts.items():
                w.put(io.part_key(d.entry.name, part), array.reshape(-1))


def write_gguf(path: str, results: Iterator[Done], fallback: str | None) -> None:
    prepared: list[tuple[str, npt.NDArray[Any], Any]] = []
    for d in results:
        obj: Any = d.kept if d.layout is None else io.build(d.layout, d.parts or {})
        if d.choice.reason.startswith("as ") and fallback is not None:
            values = obj.dequantize() if not isinstance(obj, np.ndarray) else obj
            prepared.append((d.entry.name, np.asarray(values, gguf_io.FALLBACKS[fallback]), None))
        elif isinstance(obj, np.ndarray):
            prepared.append((d.entry.name, *gguf_io._plain(d.entry.name, obj)))
        else:
            kind = gguf_io.gguf_type(obj)
            assert kind is not None  # checked before the work
            prepared.append((d.entry.name, gguf_io.to_blocks(obj, kind), kind))
    gguf_io.write(path, prepared, "velmar")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        print(f"velmar: error: {message}", file=sys.stderr)
        raise SystemExit(2)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="velmar model", description="Report on and quantize whole model files, tensor by tensor.")
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def common(q: argparse.ArgumentParser) -> None:
        q.add_argument("file", metavar="FILE", help="a .safetensors, .gguf, .npy or .npz file")
        q.add_argument("--scheme", metavar="SPEC", help=f"the default scheme (symmetric:8): {SPEC_SYNTAX}")
        q.add_argument("--scale", choices=tuple(SCALES), help="scale type where a scheme names none (default f16)")
        q.add_argument("--block", type=int, default=32, help="elements per block (default 32)")
        q.add_argument("--rule", action="append", default=[], metavar="REGEX=SCHEME",
                       help="tensors whose name matches REGEX get SCHEME; the first matching rule wins")
        q.add_argument("--rules", metavar="FILE.toml", help="more rules, a default scheme and keep patterns in TOML")
        q.add_argument("--keep", action="append", default=[], metavar="REGEX", help="leave matching tensors as they are")
        q.add_argument("--workers", type=int, default=1, metavar="N", help="tensors quantized at once, on threads")
        q.add_argument("--dask", metavar="ADDRESS", help="run the per-tensor work on this Dask scheduler")
        q.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                       help="progress bar on stderr (auto: on a terminal, for files of 256 MiB or more)")

    r = sub.add_parser("report", help="per-tensor size and error of a quantization, nothing written")
    common(r)
    r.add_argument("--json", action="store_true", help="print the report as JSON")
    r.add_argument("--plot", metavar="FILE.png", help="save a chart of the error per tensor (needs matplotlib)")
    q = sub.add_parser("quantize", help="quantize a model file into a velmar file or GGUF")
    common(q)
    q.add_argument("-o", "--output", required=True, metavar="OUT", help="the file to write")
    q.add_argument("--format", choices=("velmar", "gguf"), default="velmar", help="velmar (safetensors) or gguf")
    q.add_argument("--gguf-fallback", choices=("f16", "f32"),
                   help="with --format gguf, write tensors whose scheme has no GGUF type unquantized, as f16 or f32")
    q.add_argument("--dry-run", action="store_true", help="print what would be done and write nothing")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """``velmar model ...``; returns the exit status (2 for a user mistake)."""
    try:
        args = _parser().parse_args(argv)
    except SystemExit as e:  # --help, or a usage error already printed
        return e.code if isinstance(e.code, int) else 2
    try:
        if args.workers < 1:
            raise UsageError(f"--workers must be at least 1, not {args.workers}")
        (cmd_report if args.command == "report" else cmd_quantize)(args, sys.stdout)
    except (UsageError, QuantizeError) as e:
        print(f"velmar: error: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"velmar: error: {e.filename or ''}{': ' if e.filename else ''}{e.strerror or e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("velmar: interrupted", file=sys.stderr)
        return 130
    return 0
