"""What a stored quantized tensor is: its parts, their counts and element types.

A quantized tensor is kept as four flat parts, row after row (the rows being
the array with the quantized axis moved last): ``codes``, the packed code
bytes; ``scales`` and ``zero_points``, one per block in the scale's element
type (none of the latter for the symmetric kind); and ``widths``, one uint32
per block for the adaptive kind only. Each row is exactly the 1-D object of
that row, so a row of a fixed-width kind holds ``packed_len(row_len, bits)``
code bytes, and an adaptive row the sum over its blocks of
``packed_len(block length, width)``.

The super-block kinds (``q2_k`` ... ``q6_k``, velmar.kquants) keep their
GGUF blocks whole in ``codes``, ``row_len / 256`` blocks a row, and no other
part.

Every other module asks this one: the tensor class, the velmar file, GGUF and
the command line.
"""

from __future__ import annotations

import functools
import math
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import numpy.typing as npt

from velmar import kquants
from velmar._native import Quantized, Scale, Scheme
from velmar.kquants import SuperBlockScheme

__all__ = [
    "BFLOAT16",
    "KINDS",
    "ORIGIN_DTYPES",
    "PARTS",
    "SCALES",
    "Layout",
    "LayoutError",
    "adaptive_row_bytes",
    "dtype_named",
    "is_real",
    "packed_len",
    "scale_dtype",
    "scale_name",
    "scale_stored_as",
    "shape_problem",
    "state_items",
    "state_parts",
]

PARTS: Final = ("codes", "scales", "zero_points", "widths")
CODE_DTYPE: Final[np.dtype[Any]] = np.dtype(np.uint8)
WIDTH_DTYPE: Final[np.dtype[Any]] = np.dtype(np.uint32)
KINDS: Final = ("symmetric", "asymmetric", "adaptive")
# Scale names, in the order of the Scale members; a Scale pickles as its name.
SCALES: Final[dict[str, Scale]] = {"f32": Scale.F32, "f16": Scale.F16, "bf16": Scale.Bf16}
# Adaptive widths lie in this range; fixed widths in 2..16.
ADAPTIVE_WIDTHS: Final = range(2, 9)
MAX_SIZE: Final = 2**63 - 1
# A shape whose non-zero sizes multiply to more than this decodes to (or has
# rows for) more than 2**63 bytes of float32: no operation on it could run.
MAX_ELEMENTS: Final = MAX_SIZE // 4
MAX_DIMS: Final = 64  # NumPy's limit
# Element types an array may be quantized from, under the names files and
# pickles record: NumPy's portable real types and ml_dtypes' narrow ones, all
# held exactly by float32. (long double is real too, but its name and format
# differ between platforms, so a file cannot name it.)
_ML_REALS: Final = (
    "bfloat16", "float4_e2m1fn", "float6_e2m3fn", "float6_e3m2fn", "float8_e3m4", "float8_e4m3",
    "float8_e4m3b11fnuz", "float8_e4m3fn", "float8_e4m3fnuz", "float8_e5m2", "float8_e5m2fnuz", "float8_e5m3fnu",
    "float8_e8m0fnu", "int1", "int2", "int4", "uint1", "uint2", "uint4",
)
if TYPE_CHECKING:
    BFLOAT16: np.dtype[Any]
    ORIGIN_DTYPES: dict[str, np.dtype[Any]]
_NUMPY_ORIGINS: Final[dict[str, np.dtype[Any]]] = {
    d.name: d
    for d in map(np.dtype, [
        np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
        np.float16, np.float32, np.float64,
    ])
}
_JSON_FIELDS: Final = {"type", "kind", "bits", "block", "tolerance", "scale", "shape", "axis", "dtype"}


# ml_dtypes takes most of a second to import: it is loaded on the first use
# of a narrow type (a dtype of its own cannot exist before it is imported).
@functools.cache
def _ml_dtypes() -> tuple[np.dtype[Any], dict[str, np.dtype[Any]], frozenset[type]]:
    import ml_dtypes

    narrow = [np.dtype(getattr(ml_dtypes, n)) for n in _ML_REALS if hasattr(ml_dtypes, n)]
    origins = _NUMPY_ORIGINS | {d.name: d for d in narrow}
    return np.dtype(ml_dtypes.bfloat16), origins, frozenset(d.type for d in narrow)


def __getattr__(name: str) -> Any:
    if name == "BFLOAT16":
        return _ml_dtypes()[0]
    if name == "ORIGIN_DTYPES":
        return _ml_dtypes()[1]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def scale_name(scale: Scale) -> str:
    """f32, f16 or bf16."""
    return str(scale.__getstate__())


def scale_dtype(scale: Scale | str) -> np.dtype[Any]:
    """The NumPy element type scales and zero points are stored in."""
    index = int(SCALES[scale] if isinstance(scale, str) else scale)
    return _ml_dtypes()[0] if index == 2 else _NUMPY_ORIGINS[("float32", "float16")[index]]


def scale_stored_as(dtype_name: str) -> Scale | None:
    """The scale type whose values are stored as the element type ``dtype_name``, or None."""
    return {"float32": Scale.F32, "float16": Scale.F16, "bfloat16": Scale.Bf16}.get(dtype_name)


def dtype_named(name: str) -> np.dtype[Any]:
    """The element type files and pickles record as ``name`` (raises TypeError for no such type)."""
    known = _NUMPY_ORIGINS.get(name) or _ml_dtypes()[1].get(name)
    return np.dtype(name) if known is None else known


def is_real(dtype: np.dtype[Any]) -> bool:
    """Whether arrays of ``dtype`` hold real numbers velmar quantizes (in either byte order)."""
    return dtype.kind in "biuf" or ("ml_dtypes" in sys.modules and dtype.type in _ml_dtypes()[2])


def shape_problem(dims: tuple[int, ...]) -> str | None:
    """What is wrong with a tensor shape, or None."""
    if not 1 <= len(dims) <= MAX_DIMS or min(dims) < 0:
        return f"expected 1 to {MAX_DIMS} dimensions, none negative, got {dims!r:.80}"
    if math.prod(d for d in dims if d) > MAX_ELEMENTS:  # Python integers: the product cannot wrap
        return f"{dims} describes more values (or rows) than any array can hold"
    return None


def _le_bytes(values: npt.NDArray[Any]) -> bytes:
    bits = values.view(f"=u{values.itemsize}")
    return bits.astype(f"<u{values.itemsize}", copy=False).tobytes()


def _from_le_bytes(data: bytes, dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    if len(data) % dtype.itemsize:
        raise ValueError(f"{len(data)} bytes are not whole {dtype.itemsize}-byte elements")
    return np.frombuffer(data, f"<u{dtype.itemsize}").astype(f"=u{dtype.itemsize}", copy=False).view(dtype)


def state_items(parts: Mapping[str, npt.NDArray[Any]]) -> tuple[bytes, tuple[int, ...], bytes, bytes]:
    """Parts as a 1-D state holds them: code bytes, widths, then scales and zero points as their
    bit patterns, least significant byte first."""
    return (parts["codes"].tobytes(), tuple(parts["widths"].tolist()), _le_bytes(parts["scales"]),
            _le_bytes(parts["zero_points"]))


def state_parts(scale: Scale, codes: bytes, widths: tuple[int, ...], scales: bytes,
                zero_points: bytes) -> dict[str, npt.NDArray[Any]]:
    """The inverse of ``state_items``: read-only parts over the bytes (raises ValueError for
    scale bytes that are not whole elements, OverflowError for widths beyond uint32)."""
    e = scale_dtype(scale)
    return {"codes": np.frombuffer(codes, CODE_DTYPE), "scales": _from_le_bytes(scales, e),
            "zero_points": _from_le_bytes(zero_points, e), "widths": np.array(widths, WIDTH_DTYPE)}


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
    lengths: npt.NDArray[Any] = np.full(w.shape[-1], min(block, row_len), exact)  # a block longer than its row
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


def _f32(x: float) -> float:
    """``x`` rounded to float32, as a scheme stores its tolerance (inf beyond the range)."""
    try:
        wide = float(x)
    except OverflowError:
        return math.inf
    with np.errstate(over="ignore"):
        return float(np.float32(wide))


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
        cls, scheme: Scheme | SuperBlockScheme, scale: Scale, shape: tuple[int, ...], axis: int = -1,
        dtype: str = "float32"
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
        return cls.for_scheme(obj.scheme, obj.scale, obj.shape, obj.axis, obj.dtype.name)

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
        if kind not in KINDS and not (isinstance(kind, str) and kquants.by_name(kind) and kind == kind.lower()):
            raise LayoutError("kind", f"expected one of {', '.join(KINDS)} or q2_k to q6_k, got {kind!r:.60}")
        block = _int_field(doc, "block", 1, 2**64 - 1)  # what the quantizers take; larger than a row is one block
        tolerance: float | None = None
        if kind not in KINDS:
            for field, want in (("bits", None), ("block", kquants.SUPER_BLOCK), ("tolerance", None), ("scale", "f16")):
                if doc.get(field) != want:
                    raise LayoutError(field, f"must be {'null' if want is None else want} for {kind}")
            bits = 0
        elif kind == "adaptive":
            if doc.get("bits") is not None:
                raise LayoutError("bits", "must be null for adaptive")
            bits = 0
            tol = doc.get("tolerance")  # a 1-D Quantized does not know it
            if tol is not None and (type(tol) not in (int, float) or not 0 < _f32(tol) < math.inf):
                raise LayoutError("tolerance", f"expected a positive float32 number or null, got {tol!r:.60}")
            tolerance = None if tol is None else float(tol)
        else:
            bits = _int_field(doc, "bits", 2, 16)
            if doc.get("tolerance") is not None:
                raise LayoutError("tolerance", f"must be null for {kind}")
        scale = doc.get("scale")
        if not isinstance(scale, str) or scale not in SCALES:
            raise LayoutError("scale", f"expected f32, f16 or bf16, got {scale!r:.60}")
        shape = doc.get("shape")
        if not isinstance(shape, list) or not 1 <= len(shape) <= MAX_DIMS:
            raise LayoutError("shape", f"expected a list of 1 to {MAX_DIMS} sizes")
        if any(type(d) is not int or not 0 <= d <= MAX_SIZE for d in shape):
            raise LayoutError("shape", f"sizes must be integers from 0 to {MAX_SIZE}")
        problem = shape_problem(tuple(shape))
        if problem:
            raise LayoutError("shape", problem)
        axis = _int_field(doc, "axis", -len(shape), len(shape) - 1) % len(shape)
        dtype = doc.get("dtype")
        if not isinstance(dtype, str) or (dtype not in _NUMPY_ORIGINS and dtype not in _ml_dtypes()[1]):
            raise LayoutError("dtype", f"unknown element type {dtype!r:.60}")
        if kind_of == "vector" and (len(shape) != 1 or dtype != "float32" or kind not in KINDS):
            raise LayoutError("shape", "a vector is 1-D float32 of a velmar kind")
        if kind not in KINDS and shape[axis] % kquants.SUPER_BLOCK:
            raise LayoutError("shape", f"{kind} rows are whole super-blocks of 256 values, not {shape[axis]}")
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
    def super_block(self) -> SuperBlockScheme | None:
        """The super-block type of a super-block kind, else None."""
        return kquants.by_name(self.kind) if self.kind not in KINDS else None

    @property
    def row_code_bytes(self) -> int | None:
        """Code bytes of one row; None for adaptive, whose rows differ."""
        if (sb := self.super_block) is not None:
            return self.row_len // kquants.SUPER_BLOCK * sb.block_bytes
        return None if self.kind == "adaptive" else packed_len(self.row_len, self.bits)

    def _adaptive_codes_at(self, bits: int) -> int:
        """Code bytes of all rows were every block ``bits`` wide (each block is a stream of its own)."""
        whole, rest = divmod(self.row_len, self.block)
        return self.rows * (whole * packed_len(self.block, bits) + packed_len(rest, bits))

    def part_bounds(self) -> dict[str, tuple[int, int]]:
        """Fewest and most elements of each part; adaptive codes lie between 2 and 8 bits a value."""
        nb = self.blocks
        rb = self.row_code_bytes
        codes = (self.rows * rb,) * 2 if rb is not None else (self._adaptive_codes_at(2), self._adaptive_codes_at(8))
        if self.super_block is not None:
            return {"codes": codes, "scales": (0, 0), "zero_points": (0, 0), "widths": (0, 0)}
        return {
            "codes": codes,
            "scales": (nb, nb),
            "zero_points": (0, 0) if self.kind == "symmetric" else (nb, nb),
            "widths": (nb, nb) if self.kind == "adaptive" else (0, 0),
        }

    def max_part_counts(self) -> dict[str, int]:
        return {p: high for p, (_, high) in self.part_bounds().items()}

    def part_counts(self, widths: npt.NDArray[Any]) -> dict[str, int | None]:
        """Element count of each part; adaptive codes are counted from ``widths`` (None unless
        there is one per block). Raises ValueError for a width outside 2..8."""
        counts: dict[str, int | None] = {p: low for p, (low, _) in self.part_bounds().items()}
        if self.kind == "adaptive" and self.blocks:  # else no codes, however long the shape
            w = np.asarray(widths)
            counts["codes"] = None if w.size != self.blocks else int(
                adaptive_row_bytes(w.reshape(self.rows, self.row_blocks), self.row_len, self.block).sum())
        return counts

    def check_parts(self, parts: Mapping[str, npt.NDArray[Any]]) -> None:
        """Raises LayoutError for a shape no array can hold, or the first part whose count (or width) does not fit."""
        problem = shape_problem(self.shape)
        if problem:
            raise LayoutError("shape", problem)
        try:
            counts = self.part_counts(parts["widths"])
        except ValueError as e:
            raise LayoutError("widths", str(e).removeprefix("widths: ")) from None
        for name in ("widths", "scales", "zero_points", "codes"):  # the codes' count follows from the widths
            if parts[name].size != counts[name]:
                raise LayoutError(name, f"expected {counts[name]} elements for shape {self.shape} along axis "
                                        f"{self.axis} with {self.scheme()!r}, got {parts[name].size}")

    def part_dtype(self, part: str) -> np.dtype[Any]:
        if part == "codes":
            return CODE_DTYPE
        if part == "widths":
            return WIDTH_DTYPE
        return scale_dtype(self.scale)

    def row_starts(self, widths: npt.NDArray[Any]) -> npt.NDArray[np.int64] | None:
        """Where every row's code bytes start, and (last) where the codes end: rows + 1 offsets.
        None where ``code_range`` needs none: fixed widths, or rows of no values."""
        if self.row_code_bytes is not None or not self.blocks:
            return None
        per_row = adaptive_row_bytes(np.asarray(widths).reshape(self.rows, self.row_blocks), self.row_len, self.block)
        return np.concatenate((np.zeros(1, per_row.dtype), np.cumsum(per_row)))

    def code_range(self, row: int, starts: npt.NDArray[np.int64] | None) -> tuple[int, int]:
        """Where row ``row``'s code bytes lie; ``starts`` is what ``row_starts`` gave."""
        if starts is None:
            step = self.row_code_bytes or 0
            return row * step, (row + 1) * step
        return int(starts[row]), int(starts[row + 1])

    @property
    def origin_dtype(self) -> np.dtype[Any]:
        """The element type of the array quantized."""
        return dtype_named(self.dtype)

    def scheme(self) -> Scheme | SuperBlockScheme:
        if (sb := self.super_block) is not None:
            return sb
        if self.kind == "adaptive":
            return Scheme.adaptive(self.block, self.tolerance if self.tolerance is not None else 0.001)
        make = Scheme.symmetric if self.kind == "symmetric" else Scheme.asymmetric
        return make(self.bits, self.block)

    @property
    def scale_member(self) -> Scale:
        return SCALES[self.scale]
