"""What a stored quantized tensor is: its parts, their counts and element types.

A quantized tensor is kept as four flat parts, row after row (the rows being
the array with the quantized axis moved last): ``codes``, the packed code
bytes; ``scales`` and ``zero_points``, one per block in the scale's element
type (none of the latter for the symmetric kind); and ``widths``, one uint32
per block for the adaptive kind only. Each row is exactly the 1-D object of
that row, so a row of a fixed-width kind holds ``packed_len(row_len, bits)``
code bytes, and an adaptive row the sum over its blocks of
``packed_len(block length, width)``.

Every other module asks this one: the tensor class, the velmar file, GGUF and
the command line.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final

import ml_dtypes
import numpy as np
import numpy.typing as npt

from velmar._native import Quantized, Scale, Scheme

__all__ = [
    "BFLOAT16",
    "KINDS",
    "PARTS",
    "SCALES",
    "Layout",
    "LayoutError",
    "adaptive_row_bytes",
    "packed_len",
    "scale_dtype",
    "scale_name",
]

PARTS: Final = ("codes", "scales", "zero_points", "widths")
KINDS: Final = ("symmetric", "asymmetric", "adaptive")
BFLOAT16: Final[np.dtype[Any]] = np.dtype(ml_dtypes.bfloat16)
# Scale names, in the order of the Scale members; a Scale pickles as its name.
SCALES: Final[dict[str, Scale]] = {"f32": Scale.F32, "f16": Scale.F16, "bf16": Scale.Bf16}
_SCALE_DTYPES: Final = (np.dtype(np.float32), np.dtype(np.float16), BFLOAT16)
# Adaptive widths lie in this range; fixed widths in 2..16.
ADAPTIVE_WIDTHS: Final = range(2, 9)
MAX_SIZE: Final = 2**63 - 1
_JSON_FIELDS: Final = {"type", "kind", "bits", "block", "tolerance", "scale", "shape", "axis", "dtype"}


def scale_name(scale: Scale) -> str:
    """f32, f16 or bf16."""
    return str(scale.__getstate__())


def scale_dtype(scale: Scale | str) -> np.dtype[Any]:
    """The NumPy element type scales and zero points are stored in."""
    return _SCALE_DTYPES[int(SCALES[scale] if isinstance(scale, str) else scale)]


def packed_len(count: int, bits: int) -> int:
    """Bytes of ``count`` codes of ``bits`` bits in one stream."""
    return (count * bits + 7) // 8


def adaptive_row_bytes(widths: npt.NDArray[Any], row_len: int, block: int) -> npt.NDArray[np.int64]:
    """Code bytes of every row of an adaptive tensor whose widths are ``widths`` (rows x blocks).

    Raises ValueError when a width lies outside 2..8.
    """
    w = np.asarray(widths)
    if w.size and (int(w.min()) < ADAPTIVE_WIDTHS.start or int(w.max()) >= ADAPTIVE_WIDTHS.stop):
        bad = w[(w < ADAPTIVE_WIDTHS.start) | (w >= ADAPTIVE_WIDTHS.stop)]
        raise ValueError(f"widths: expected values 2 to 8, got {int(bad.reshape(-1)[0])}")
    # Beyond 2**59 values a row's bit count could wrap int64: Python integers then.
    exact: type = object if row_len >= 2**59 else np.int64
    lengths: npt.NDArray[Any] = np.full(w.shape[-1], block, exact)
    if row_len % block:
        lengths[-1] = row_len % block
    per_block = (w.astype(exact) * lengths + 7) // 8
    return np.asarray(per_block.sum(axis=-1), dtype=exact)


class LayoutError(ValueError):
    """One field of a description is wrong: ``field`` names it, ``problem`` says how."""

    def __init__(self, field: str, problem: str) -> None:
        super().__init__(f"{field}: {problem}")
        self.field = field
        self.problem = problem


def _int_field(doc: Mapping[str, Any], field: str, low: int, high: int = MAX_SIZE) -> int:
    v = doc.get(field)
    if type(v) is not int or not low <= v <= high:
        raise LayoutError(field, f"expected an integer from {low} to {high}, got {v!r:.60}")
    return v


@dataclass(frozen=True)
class Layout:
    """One quantized tensor's scheme, scale and shape: everything its parts' sizes follow from."""

    vector: bool  # a 1-D Quantized rather than a QuantizedTensor
    kind: str
    bits: int  # 0 for adaptive
    block: int
    tolerance: float | None
    scale: str  # f32, f16 or bf16
    shape: tuple[int, ...]
    axis: int
    dtype: str  # the element type of the array quantized

    # ---- construction ----

    @classmethod
    def for_scheme(
        cls, scheme: Scheme, scale: Scale, shape: tuple[int, ...], axis: int = -1, dtype: str = "float32"
    ) -> Layout:
        """The layout of ``shape`` quantized with ``scheme`` along ``axis``."""
        dims = tuple(int(d) for d in shape)
        return cls(False, scheme.kind, scheme.bits or 0, scheme.block, scheme.tolerance, scale_name(scale), dims,
                   axis % len(dims), dtype)

    @classmethod
    def of(cls, obj: Any) -> Layout:
        """The layout of a ``Quantized`` or a ``QuantizedTensor``."""
        if isinstance(obj, Quantized):
            return cls(True, obj.kind, obj.bits or 0, obj.block, None, scale_name(obj.scale), (len(obj),), 0,
                       "float32")
        return cls.for_scheme(obj.scheme, obj.scale, obj.shape, obj.axis, str(np.dtype(obj.dtype)))

    @classmethod
    def from_json(cls, doc: object) -> Layout:
        """A description as ``as_json`` writes it, every field checked; raises LayoutError."""
        if not isinstance(doc, dict):
            raise LayoutError("description", "not a JSON object")
        unknown = set(doc) - _JSON_FIELDS
        if unknown:
            raise LayoutError(sorted(unknown)[0], "unknown field")
        kind_of = doc.get("type")
        if kind_of not in ("vector", "tensor"):
            raise LayoutError("type", f"expected 'vector' or 'tensor', got {kind_of!r:.60}")
        kind = doc.get("kind")
        if kind not in KINDS:
            raise LayoutError("kind", f"expected one of {', '.join(KINDS)}, got {kind!r:.60}")
        block = _int_field(doc, "block", 1)
        tolerance: float | None = None
        if kind == "adaptive":
            if doc.get("bits") is not None:
                raise LayoutError("bits", "must be null for adaptive")
            bits = 0
            tol = doc.get("tolerance")  # a 1-D Quantized does not know it
            if tol is not None and (type(tol) not in (int, float) or not (math.isfinite(tol) and tol > 0)):
                raise LayoutError("tolerance", f"expected a positive number or null, got {tol!r:.60}")
            tolerance = None if tol is None else float(tol)
        else:
            bits = _int_field(doc, "bits", 2, 16)
            if doc.get("tolerance") is not None:
                raise LayoutError("tolerance", f"must be null for {kind}")
        scale = doc.get("scale")
        if not isinstance(scale, str) or scale not in SCALES:
            raise LayoutError("scale", f"expected f32, f16 or bf16, got {scale!r:.60}")
        shape = doc.get("shape")
        if not isinstance(shape, list) or not 1 <= len(shape) <= 64:
            raise LayoutError("shape", "expected a list of 1 to 64 sizes")
        if any(type(d) is not int or not 0 <= d <= MAX_SIZE for d in shape):
            raise LayoutError("shape", f"sizes must be integers from 0 to {MAX_SIZE}")
        if math.prod(shape) > MAX_SIZE:  # Python integers: the product cannot wrap
            raise LayoutError("shape", f"{math.prod(shape)} elements is more than any file holds")
        axis = _int_field(doc, "axis", -len(shape), len(shape) - 1) % len(shape)
        dtype = doc.get("dtype")
        if not isinstance(dtype, str):
            raise LayoutError("dtype", f"unknown element type {dtype!r:.60}")
        if kind_of == "vector" and (len(shape) != 1 or dtype != "float32"):
            raise LayoutError("shape", "a vector is 1-D float32")
        return cls(kind_of == "vector", str(kind), bits, block, tolerance, scale, tuple(shape), axis, dtype)

    def as_json(self) -> dict[str, Any]:
        return {
            "type": "vector" if self.vector else "tensor",
            "kind": self.kind,
            "bits": self.bits or None,
            "block": self.block,
            "tolerance": self.tolerance,
            "scale": self.scale,
            "shape": list(self.shape),
            "axis": self.axis,
            "dtype": self.dtype,
        }

    # ---- what follows from it ----

    @property
    def rows(self) -> int:
        return math.prod(d for i, d in enumerate(self.shape) if i != self.axis)

    @property
    def row_len(self) -> int:
        return self.shape[self.axis]

    @property
    def row_blocks(self) -> int:
        """Blocks in one row."""
        return -(-self.row_len // self.block)

    @property
    def blocks(self) -> int:
        return self.rows * self.row_blocks

    @property
    def row_code_bytes(self) -> int | None:
        """Code bytes of one row; None for adaptive, whose rows differ."""
        return None if self.kind == "adaptive" else packed_len(self.row_len, self.bits)

    def part_counts(self, widths: npt.NDArray[Any] | None = None) -> dict[str, int | None]:
        """Element count of each part. Adaptive codes are counted from ``widths``
        (None without them); raises ValueError for a width outside 2..8."""
        nb = self.blocks
        rb = self.row_code_bytes
        if rb is not None:
            codes: int | None = self.rows * rb
        elif widths is not None and np.size(widths) == nb:
            codes = int(self.row_starts(widths)[-1])
        else:
            codes = None
        return {
            "codes": codes,
            "scales": nb,
            "zero_points": 0 if self.kind == "symmetric" else nb,
            "widths": nb if self.kind == "adaptive" else 0,
        }

    def max_part_counts(self) -> dict[str, int]:
        """Upper bounds of the counts, adaptive codes at 8 bits a value."""
        counts = self.part_counts()
        if counts["codes"] is None:
            counts["codes"] = self.rows * self.row_len
        return {p: int(c or 0) for p, c in counts.items()}

    def part_dtype(self, part: str) -> np.dtype[Any]:
        if part == "codes":
            return np.dtype(np.uint8)
        if part == "widths":
            return np.dtype(np.uint32)
        return scale_dtype(self.scale)

    def nbytes(self, widths: npt.NDArray[Any] | None = None) -> int | None:
        """Bytes of all parts; None for adaptive without its widths."""
        counts = self.part_counts(widths)
        if counts["codes"] is None:
            return None
        return sum(int(c or 0) * self.part_dtype(p).itemsize for p, c in counts.items())

    def row_starts(self, widths: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
        """Where every row's code bytes start, and (last) where the codes end: rows + 1 offsets."""
        rb = self.row_code_bytes
        if rb is not None:
            return np.arange(self.rows + 1, dtype=np.int64) * rb
        w = np.asarray(widths).reshape(self.rows, self.row_blocks)
        per_row = adaptive_row_bytes(w, self.row_len, self.block)
        return np.concatenate((np.zeros(1, per_row.dtype), np.cumsum(per_row)))

    def scheme(self) -> Scheme:
        if self.kind == "adaptive":
            return Scheme.adaptive(self.block, self.tolerance if self.tolerance is not None else 0.001)
        make = Scheme.symmetric if self.kind == "symmetric" else Scheme.asymmetric
        return make(self.bits, self.block)

    @property
    def scale_member(self) -> Scale:
        return SCALES[self.scale]
