"""The compression report behind ``python -m velmar`` (the command is ``velmar.commands.vector``).

For one vector it quantizes with every scheme worth considering and prints,
per scheme and scale type, the stored bits per element, the compression ratio
against float32, the RMS and largest absolute error of the decoded values and
the quantization throughput.
"""

from __future__ import annotations

import gc
import math
import os
import statistics
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt

from velmar._native import Scale, Scheme
from velmar.commands.common import (NPY_DAMAGED, Progress, UsageError, npy_header, optional, parse_scheme, read_magic,
                                    save_figure)
from velmar.files import open_regular
from velmar.layout import SCALES, scale_name

__all__ = [
    "BLOCK",
    "Row",
    "SCALES",
    "Timing",
    "UsageError",
    "candidate_schemes",
    "format_table",
    "load_vector",
    "read_magic",
    "measure",
    "parse_scheme",
    "plot",
    "run",
    "sample",
    "scale_name",
    "scheme_name",
    "seconds_per_call",
]

F32Array = npt.NDArray[np.float32]


# The block size the quantizers take when given none.
BLOCK: int = Scheme.symmetric().block
SYMMETRIC_BITS = tuple(range(2, 9))
ASYMMETRIC_BITS = (4, 8)
# Adaptive tolerances are absolute; relative to the data's RMS they mean the
# same thing for weights of 0.02 and for embeddings of 10.
ADAPTIVE_RELATIVE_TOLERANCES = (0.2, 0.05, 0.01)
SAMPLE_SIZE = 1 << 20
PROGRESS_THRESHOLD = 1 << 22




def sample(n: int = SAMPLE_SIZE, seed: int = 0) -> F32Array:
    """A deterministic stand-in for model weights.

    Rows of 1024 values, each row with its own spread (log-normal across
    rows) and a few large outliers, so that block-wise scales and adaptive
    widths have something to adapt to.
    """
    rng = np.random.default_rng(seed)
    rows = -(-n // 1024)
    spread = 0.02 * np.exp(rng.normal(0.0, 0.75, size=(rows, 1)))
    values = (rng.standard_normal((rows, 1024)) * spread).ravel()[:n]
    outliers = rng.choice(n, size=max(1, n // 2000), replace=False)
    values[outliers] *= 8.0
    return values.astype(np.float32)



def load_vector(path: str, *, flatten: bool = False) -> F32Array:
    """Read a ``.npy`` file as a contiguous float32 vector, or raise UsageError."""
    magic = read_magic(path, 6)
    if magic != b"\x93NUMPY":
        raise UsageError(f"{path}: not a .npy file")
    try:
        with open_regular(path) as f:
            size = os.fstat(f.fileno()).st_size
            shape, fortran, dtype = npy_header(f, size)
            if dtype.hasobject:
                raise UsageError(f"{path}: holds Python objects, not numbers")
            if dtype.kind not in "biuf":
                raise UsageError(f"{path}: holds a non-numeric array of dtype {dtype}; "
                                 "velmar needs booleans, integers or floating-point numbers")
            if len(shape) != 1 and not flatten:
                raise UsageError(f"{path}: holds a {len(shape)}-D array of shape "
                                 f"{'x'.join(map(str, shape)) or 'scalar'}; "
                                 f"pass --flatten to quantize its {math.prod(shape)} values as one vector")
            if math.prod(shape) == 0:
                raise UsageError(f"{path}: holds no values")
            nbytes, held = math.prod(shape) * dtype.itemsize, size - f.tell()
            if nbytes > held:
                raise ValueError(f"its header says {dtype}{list(shape)}, {nbytes} bytes, but {held} bytes follow it")
            return _read_values(f, shape, fortran, dtype, path)
    except (ValueError, *NPY_DAMAGED) as e:
        raise UsageError(f"{path}: unreadable .npy file: {e}") from None
    except OSError as e:
        raise UsageError(f"{path}: cannot read: {e}") from None


# Values read at a time: a float64 file is never held whole beside its float32 copy.
_READ_VALUES = 1 << 20


def _read_values(f: Any, shape: tuple[int, ...], fortran: bool, dtype: np.dtype[Any], path: str) -> F32Array:
    """The values that follow a .npy header, as float32 in C order. Read, not mapped: a mapped file that
    shrinks meanwhile kills the process."""
    count = math.prod(shape)
    out = np.empty(count, np.float32)
    # float64 values beyond the float32 range become infinities, as in quantize().
    with np.errstate(over="ignore", invalid="ignore"):
        for at in range(0, count, _READ_VALUES):
            want = min(_READ_VALUES, count - at)
            part = np.fromfile(f, dtype, want)
            if part.size < want:
                raise UsageError(f"{path}: the file ends inside its data (it shrank while it was read)")
            out[at : at + want] = part
    if fortran and len(shape) > 1:
        out = np.ascontiguousarray(out.reshape(shape[::-1]).T).reshape(-1)
    return out


def candidate_schemes(values: F32Array, block: int = BLOCK) -> list[Scheme]:
    """The schemes the report compares for these values."""
    schemes = [Scheme.symmetric(b, block) for b in SYMMETRIC_BITS]
    schemes += [Scheme.asymmetric(b, block) for b in ASYMMETRIC_BITS]
    finite = values[np.isfinite(values)].astype(np.float64)
    rms = math.sqrt(float(np.mean(finite * finite))) if finite.size else 0.0
    if rms > 0.0:
        for relative in ADAPTIVE_RELATIVE_TOLERANCES:
            tolerance = float(np.float32(rms * relative))
            if tolerance > 0.0:  # a subnormal RMS can round the tolerance away
                schemes.append(Scheme.adaptive(block, tolerance))
    return schemes


def scheme_name(scheme: Scheme) -> str:
    if scheme.kind == "adaptive":
        return f"adaptive tol={scheme.tolerance:.3g}"
    return f"{scheme.kind} {scheme.bits}-bit"


@dataclass(frozen=True)
class Row:
    """One line of the report."""

    scheme: Scheme
    scale: Scale
    length: int
    nbytes: int
    bits_per_element: float
    rms_error: float
    max_error: float
    seconds: float

    @property
    def ratio(self) -> float:
        """Compression against float32 storage."""
        return 4.0 * self.length / self.nbytes if self.nbytes else math.inf

    @property
    def throughput(self) -> float:
        """Quantized values per second."""
        return self.length / self.seconds if self.seconds > 0 else math.inf

    def as_dict(self) -> dict[str, Any]:
        def finite(x: float) -> float | None:
            return x if math.isfinite(x) else None

        return {
            "scheme": scheme_name(self.scheme),
            "kind": self.scheme.kind,
            "bits": self.scheme.bits,
            "tolerance": self.scheme.tolerance,
            "block": self.scheme.block,
            "scale": scale_name(self.scale),
            "len": self.length,
            "nbytes": self.nbytes,
            "bits_per_element": self.bits_per_element,
            "ratio": finite(self.ratio),
            "rms_error": finite(self.rms_error),
            "max_error": finite(self.max_error),
            "seconds": self.seconds,
            "values_per_second": finite(self.throughput),
        }


@dataclass
class Timing:
    """Seconds of samples per measurement, and bounds on how many."""

    budget: float = 0.01
    min_samples: int = 1
    max_samples: int = 1 << 16


def seconds_per_call(timing: Timing, fn: Callable[..., object], *args: Any, **kw: Any) -> float:
    """Median seconds per call of fn(*args, **kw), with the collector off.

    A first call sizes the samples and is not counted, unless it alone spans
    the budget. Calls under a millisecond are timed in batches of about a
    millisecond, well above the timer's resolution.
    """

    def loop(k: int) -> float:
        t0 = time.perf_counter()
        for _ in range(k):
            fn(*args, **kw)
        return time.perf_counter() - t0

    was_enabled = gc.isenabled()
    gc.disable()
    try:
        per = loop(1)
        if per >= timing.budget:
            return per
        k = 1
        if per < 1e-3:
            per = max(loop(10) / 10, 1e-8)
            k = max(1, math.ceil(1e-3 / per))
        n = max(timing.min_samples, min(timing.max_samples, int(timing.budget / (k * per))))
        return statistics.median(loop(k) / k for _ in range(n))
    finally:
        if was_enabled:
            gc.enable()


def errors(values: F32Array, decoded: F32Array) -> tuple[float, float]:
    """RMS and largest absolute error over the finite input values.

    Non-finite inputs have no meaningful error, and one of them would turn
    both figures into NaN.
    """
    finite = np.isfinite(values)
    if not finite.any():
        return math.nan, math.nan
    diff = decoded[finite].astype(np.float64) - values[finite].astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        rms = math.sqrt(float(np.mean(diff * diff)))
        largest = float(np.max(np.abs(diff)))
    return rms, largest


def measure(values: F32Array, scheme: Scheme, scale: Scale) -> Row:
    q = scheme.quantize(values, scale=scale)
    seconds = seconds_per_call(Timing(), scheme.quantize, values, scale=scale)
    rms, largest = errors(values, q.dequantize())
    return Row(scheme, scale, len(q), q.nbytes, q.bits_per_element, rms, largest, seconds)


def run(
    values: F32Array,
    schemes: Iterable[Scheme],
    scales: Iterable[Scale] = tuple(SCALES.values()),
    *,
    progress: bool = False,
    progress_stream: TextIO | None = None,
) -> list[Row]:
    """Measure every scheme with every scale type, in that order."""
    jobs = [(scheme, scale) for scheme in schemes for scale in scales]
    bar = Progress(len(jobs), "quantizing", progress, stream=progress_stream)
    rows = []
    for scheme, scale in jobs:
        rows.append(measure(values, scheme, scale))
        bar.update()
    bar.close()
    return rows


def _number(x: float, spec: str) -> str:
    return format(x, spec) if math.isfinite(x) else str(x)


COLUMNS = ("scheme", "scale", "bits/elem", "ratio", "rms error", "max error", "Mvalues/s")


def format_table(rows: Sequence[Row]) -> str:
    """An aligned text table: text columns to the left, numbers to the right."""
    cells = [
        (
            scheme_name(r.scheme),
            scale_name(r.scale),
            _number(r.bits_per_element, ".3f"),
            _number(r.ratio, ".2f") + "x",
            _number(r.rms_error, ".3e"),
            _number(r.max_error, ".3e"),
            _number(r.throughput / 1e6, ".1f"),
        )
        for r in rows
    ]
    widths = [max(len(c[i]) for c in [COLUMNS, *cells]) for i in range(len(COLUMNS))]

    def line(cols: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(cols, widths)))

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(COLUMNS), rule, *(line(c) for c in cells)])


def plot(rows: Sequence[Row], path: str, title: str = "") -> None:
    """Save a picture of RMS error against bits per element; needs matplotlib."""
    Figure = optional("matplotlib.figure", "--plot").Figure
    fig = Figure(figsize=(7.5, 4.8), layout="constrained")
    ax = fig.add_subplot()
    markers = {"f32": "o", "f16": "s", "bf16": "^"}
    colours = {"symmetric": "tab:blue", "asymmetric": "tab:orange", "adaptive": "tab:green"}
    for kind, colour in colours.items():
        for name, marker in markers.items():
            pts = sorted(
                (r.bits_per_element, r.rms_error)
                for r in rows
                if r.scheme.kind == kind and r.scale == SCALES[name] and math.isfinite(r.rms_error)
            )
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, ys, marker=marker, color=colour, linestyle="-" if kind == "symmetric" else ":",
                        label=f"{kind}, {name}")
    if any(r.rms_error > 0 for r in rows):
        ax.set_yscale("log")
    ax.set_xlabel("stored bits per element")
    ax.set_ylabel("RMS error")
    ax.set_title(title or "velmar: error against size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small", ncols=3)
    save_figure(fig, path, 110)
