"""N-D arrays quantized along one axis, row by row.

The rows of an array are the array with ``axis`` moved last, in C order,
reshaped to ``(m, n)`` with ``n = shape[axis]``. Each row is quantized exactly
as the 1-D functions quantize it, so ``t.row(i)`` equals ``velmar.quantize`` (or
the scheme's quantizer) of that row, and ``t @ x`` gives, element by element,
``t.row(i).dot(x)``.

The parts of all rows are stored one row after another (``parts()``): the
packed code bytes, the scales and zero points in their stored element type
(float32, float16 or ``ml_dtypes.bfloat16``), and the adaptive widths (uint32,
one per block). ``len(t)`` is the number of rows and ``t[i]`` the row ``i``.

``quantize`` takes either a ``velmar.Scheme`` or the keywords ``kind``,
``bits``, ``block`` and ``tolerance`` (defaults: symmetric, 8 bits, blocks of
32, tolerance 0.001 for the adaptive kind); giving both is an error.
"""

from __future__ import annotations

import math
import operator
import sys
from collections.abc import Mapping
from typing import Any, Final, Literal, SupportsIndex, TypeAlias

import ml_dtypes
import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar._native import Quantized, Scale, Scheme

__all__ = ["QuantizedTensor", "quantize"]

Kind: TypeAlias = Literal["symmetric", "asymmetric", "adaptive"]
F32Array: TypeAlias = npt.NDArray[np.float32]

_SCALES: Final = (Scale.F32, Scale.F16, Scale.Bf16)
_STORED: Final[tuple[npt.DTypeLike, ...]] = (np.float32, np.float16, ml_dtypes.bfloat16)
_BITS_VIEW: Final[tuple[str, ...]] = ("<u4", "<u2", "<u2")
_BFLOAT16: Final = np.dtype(ml_dtypes.bfloat16)
# Integers up to this magnitude convert to float32 exactly.
_EXACT_INT: Final = 1 << 24
_ACCEPTED: Final = (
    "a NumPy array of real numbers (float16/32/64, bfloat16, integers or booleans), "
    "a DLPack tensor, an object with __array__, a buffer or a sequence of numbers"
)
_STATE_VERSION: Final = 1
# codes, scales, zero_points, widths (as bytes), rows, cols, kind, bits, block, scale index
_NativeParts: TypeAlias = tuple[
    npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], int, int, str, int, int, int
]


def _scale_index(scale: object) -> int:
    if not isinstance(scale, Scale):
        raise TypeError(f"scale: expected a velmar.Scale member, got {type(scale).__name__}")
    return int(scale)


def _make_scheme(
    scheme: Scheme | None, kind: str | None, bits: int | None, block: int | None, tolerance: float | None
) -> Scheme:
    if scheme is not None:
        if not isinstance(scheme, Scheme):
            raise TypeError(f"scheme: expected a velmar.Scheme, got {type(scheme).__name__}")
        if (kind, bits, block, tolerance) != (None, None, None, None):
            raise TypeError("give either a scheme or kind/bits/block/tolerance, not both")
        return scheme
    kind = "symmetric" if kind is None else kind
    block = 32 if block is None else block
    if kind == "adaptive":
        if bits is not None:
            raise TypeError("bits: the adaptive kind chooses the width of each block itself")
        return Scheme.adaptive(block, 0.001 if tolerance is None else tolerance)
    if tolerance is not None:
        raise TypeError(f"tolerance: only the adaptive kind takes one, not {kind!r}")
    if kind == "symmetric":
        return Scheme.symmetric(8 if bits is None else bits, block)
    if kind == "asymmetric":
        return Scheme.asymmetric(8 if bits is None else bits, block)
    raise ValueError(f"kind: expected 'symmetric', 'asymmetric' or 'adaptive', got {kind!r}")


def _check_scheme(scheme: Scheme, scale: Scale) -> None:
    # The 1-D quantizer checks bits, block and tolerance and raises its own
    # errors (InvalidBitsError, ...); on no values it does nothing else.
    scheme.quantize(np.empty(0, np.float32), scale=scale)


def _as_array(a: object) -> npt.NDArray[Any]:
    """The input as a NumPy array without copying where NumPy can avoid it."""
    if isinstance(a, np.ndarray):
        arr: npt.NDArray[Any] = a
    elif hasattr(a, "__dlpack__"):
        try:
            arr = np.from_dlpack(a)
        except (BufferError, RuntimeError, TypeError, ValueError):
            arr = _torch_bfloat16(a)
    else:
        arr = np.asarray(a)
    dtype = arr.dtype
    if dtype != _BFLOAT16 and dtype.kind not in "fiub":
        raise TypeError(f"quantize() takes {_ACCEPTED}; got {type(a).__name__} of dtype {dtype}")
    if dtype.kind in "iu" and dtype.itemsize >= 4 and arr.size:
        lo, hi = int(arr.min()), int(arr.max())
        worst = hi if hi > -lo else lo
        if abs(worst) > _EXACT_INT:
            raise ValueError(
                f"{dtype} values convert to float32 exactly only up to 2**24 in magnitude; got {worst} "
                "(convert the array to float32 yourself to accept the rounding)"
            )
    return arr


def _torch_bfloat16(a: object) -> npt.NDArray[Any]:
    # NumPy's DLPack import has no bfloat16; the same bits travel as int16.
    torch = sys.modules.get("torch")
    if torch is None or not isinstance(a, torch.Tensor) or a.dtype != torch.bfloat16:
        raise TypeError(f"quantize() takes {_ACCEPTED}; got {type(a).__name__} that NumPy cannot import")
    bits = np.from_dlpack(a.view(torch.int16))
    return bits.view(_BFLOAT16)


def _axis(axis: SupportsIndex, ndim: int) -> int:
    try:
        ax = operator.index(axis)
    except TypeError:
        raise TypeError(f"axis: expected an integer, got {type(axis).__name__}") from None
    if not -ndim <= ax < ndim:
        raise ValueError(f"axis: expected -{ndim} to {ndim - 1} for an array of {ndim} dimensions, got {ax}")
    return ax % ndim


def _float32_rows(arr: npt.NDArray[Any], axis: int) -> F32Array:
    """The rows as one C-ordered float32 array: at most one copy."""
    moved = np.moveaxis(arr, axis, -1)
    return np.require(moved, np.float32, ["C", "A"])


def quantize(
    a: object,
    scheme: Scheme | None = None,
    *,
    kind: Kind | None = None,
    bits: int | None = None,
    block: int | None = None,
    tolerance: float | None = None,
    scale: Scale = Scale.F32,
    axis: SupportsIndex = -1,
) -> QuantizedTensor:
    """Quantizes every row of ``a`` along ``axis`` (the last one by default)."""
    sch = _make_scheme(scheme, kind, bits, block, tolerance)
    index = _scale_index(scale)
    _check_scheme(sch, scale)
    arr = _as_array(a)
    if arr.ndim == 0:
        raise ValueError("a 0-d array has no axis to quantize along; give at least one dimension")
    ax = _axis(axis, arr.ndim)
    rows = _float32_rows(arr, ax)
    m, n = math.prod(rows.shape[:-1]), rows.shape[-1]
    codes, scales, zero_points, widths = _tensor.quantize(
        rows, m, n, sch.kind, sch.bits or 0, sch.block, sch.tolerance or 0.0, index
    )
    stored = _STORED[index]
    return QuantizedTensor._adopt(
        arr.shape,
        ax,
        sch,
        _SCALES[index],
        arr.dtype,
        np.frombuffer(codes, np.uint8),
        np.frombuffer(scales, stored),
        np.frombuffer(zero_points, stored),
        np.frombuffer(widths, np.uint32),
    )


def _expected_counts(
    shape: tuple[int, ...], axis: int, scheme: Scheme, widths: npt.NDArray[np.uint32] | None
) -> dict[str, int]:
    """Element counts of every part, in exact integer arithmetic."""
    n = shape[axis]
    m = math.prod(shape) // n if n else math.prod(s for i, s in enumerate(shape) if i != axis)
    block = scheme.block
    nb = -(-n // block)
    blocks = m * nb
    counts = {"scales": blocks, "zero_points": 0 if scheme.kind == "symmetric" else blocks, "widths": 0}
    if scheme.kind != "adaptive":
        counts["codes"] = m * -(-(n * (scheme.bits or 0)) // 8)
        return counts
    counts["widths"] = blocks
    if widths is None or widths.size != blocks:
        counts["codes"] = -1  # decided once the widths are right
        return counts
    bad = (widths < 2) | (widths > 8)
    if bad.any():
        raise ValueError(f"widths: expected values 2 to 8, got {int(widths[bad][0])}")
    # Full blocks and the short last block of each row, counted per width.
    per_row = widths.reshape(m, nb) if m else widths.reshape(0, nb)
    short = n % block
    full = per_row[:, :-1] if short else per_row
    total = 0
    for w, count in enumerate(np.bincount(full.ravel(), minlength=9).tolist()):
        total += count * -(-(block * w) // 8)
    if short:
        for w, count in enumerate(np.bincount(per_row[:, -1], minlength=9).tolist()):
            total += count * -(-(short * w) // 8)
    counts["codes"] = total
    return counts


def _part(value: object, name: str, dtype: npt.DTypeLike) -> npt.NDArray[Any]:
    """A 1-D read-only part: a read-only array of the right type is kept as is."""
    arr = np.asarray(value)
    want = np.dtype(dtype)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a 1-D array, got {arr.ndim} dimensions")
    if arr.dtype != want and not (arr.size == 0 and arr.dtype.kind in "fiu"):
        raise TypeError(f"{name}: expected dtype {want}, got {arr.dtype}")
    if arr.flags.writeable or not arr.flags.c_contiguous or not arr.flags.aligned or arr.dtype != want:
        arr = np.array(arr, dtype=want, order="C")
        arr.flags.writeable = False
    return arr


class QuantizedTensor:
    """An N-D array quantized row by row along one axis (see the module doc)."""

    __slots__ = ("_shape", "_axis", "_scheme", "_scale", "_dtype", "_parts", "_row_starts", "_norms")

    _shape: tuple[int, ...]
    _axis: int
    _scheme: Scheme
    _scale: Scale
    _dtype: np.dtype[Any]
    _parts: dict[str, npt.NDArray[Any]]
    _row_starts: npt.NDArray[np.int64] | None
    _norms: npt.NDArray[np.float32] | None

    def __init__(self) -> None:
        raise TypeError("QuantizedTensor objects come from velmar.tensor.quantize() or QuantizedTensor.from_parts()")

    @classmethod
    def _adopt(
        cls,
        shape: tuple[int, ...],
        axis: int,
        scheme: Scheme,
        scale: Scale,
        dtype: np.dtype[Any],
        codes: npt.NDArray[np.uint8],
        scales: npt.NDArray[Any],
        zero_points: npt.NDArray[Any],
        widths: npt.NDArray[np.uint32],
    ) -> QuantizedTensor:
        self = object.__new__(cls)
        self._shape = tuple(int(s) for s in shape)
        self._axis = axis
        self._scheme = scheme
        self._scale = scale
        self._dtype = np.dtype(dtype)
        self._parts = {"codes": codes, "scales": scales, "zero_points": zero_points, "widths": widths}
        self._row_starts = None
        self._norms = None
        return self

    @classmethod
    def from_parts(
        cls,
        *,
        shape: tuple[SupportsIndex, ...],
        axis: SupportsIndex,
        scheme: Scheme,
        scale: Scale,
        dtype: npt.DTypeLike,
        codes: npt.ArrayLike,
        scales: npt.ArrayLike,
        zero_points: npt.ArrayLike,
        widths: npt.ArrayLike,
    ) -> QuantizedTensor:
        """Rebuilds a tensor from its parts, checking every count against shape and scheme."""
        dims = tuple(operator.index(s) for s in shape)
        if not dims or min(dims) < 0:
            raise ValueError(f"shape: expected at least one dimension, none negative, got {dims}")
        ax = _axis(axis, len(dims))
        if not isinstance(scheme, Scheme):
            raise TypeError(f"scheme: expected a velmar.Scheme, got {type(scheme).__name__}")
        index = _scale_index(scale)
        _check_scheme(scheme, scale)
        stored = _STORED[index]
        parts = {
            "codes": _part(codes, "codes", np.uint8),
            "scales": _part(scales, "scales", stored),
            "zero_points": _part(zero_points, "zero_points", stored),
            "widths": _part(widths, "widths", np.uint32),
        }
        counts = _expected_counts(dims, ax, scheme, parts["widths"])
        for name in ("widths", "scales", "zero_points", "codes"):
            if parts[name].size != counts[name]:
                raise ValueError(
                    f"{name}: expected {counts[name]} elements for shape {dims} along axis {ax} "
                    f"with {scheme!r}, got {parts[name].size}"
                )
        return cls._adopt(dims, ax, scheme, _SCALES[index], np.dtype(dtype), **parts)

    # ---- description ----

    @property
    def shape(self) -> tuple[int, ...]:
        return self._shape

    @property
    def axis(self) -> int:
        return self._axis

    @property
    def kind(self) -> Kind:
        kind: Kind = self._scheme.kind
        return kind

    @property
    def scheme(self) -> Scheme:
        return self._scheme

    @property
    def scale(self) -> Scale:
        return self._scale

    @property
    def dtype(self) -> np.dtype[Any]:
        """The dtype of the array this tensor was quantized from."""
        return self._dtype

    @property
    def row_shape(self) -> tuple[int, int]:
        """(rows, values per row)."""
        n = self._shape[self._axis]
        rest = math.prod(s for i, s in enumerate(self._shape) if i != self._axis)
        return rest, n

    @property
    def nbytes(self) -> int:
        return sum(int(p.nbytes) for p in self._parts.values())

    @property
    def bits_per_element(self) -> float:
        size = math.prod(self._shape)
        return self.nbytes * 8 / size if size else 0.0

    def parts(self) -> dict[str, npt.NDArray[Any]]:
        """The stored parts of all rows, row after row (read-only views)."""
        return dict(self._parts)

    def __len__(self) -> int:
        return self.row_shape[0]

    def __repr__(self) -> str:
        s = self._scheme
        width = f"bits={s.bits}" if s.kind != "adaptive" else f"tolerance={s.tolerance:g}"
        scale = ("Scale.F32", "Scale.F16", "Scale.Bf16")[int(self._scale)]
        return (
            f"QuantizedTensor(shape={self._shape}, axis={self._axis}, kind={s.kind!r}, {width}, "
            f"block={s.block}, scale={scale}, dtype={self._dtype})"
        )

    # ---- rows ----

    def _code_range(self, i: int) -> tuple[int, int]:
        m, n = self.row_shape
        if self._scheme.kind != "adaptive":
            rb = -(-(n * (self._scheme.bits or 0)) // 8)
            return i * rb, (i + 1) * rb
        if self._row_starts is None:
            nb = -(-n // self._scheme.block)
            w = self._parts["widths"].astype(np.int64).reshape(m, nb)
            lengths = np.full(nb, self._scheme.block, np.int64)
            if n % self._scheme.block:
                lengths[-1] = n % self._scheme.block
            per_row = ((w * lengths + 7) // 8).sum(axis=1)
            self._row_starts = np.concatenate(([0], np.cumsum(per_row)))
        return int(self._row_starts[i]), int(self._row_starts[i + 1])

    def row(self, i: SupportsIndex) -> Quantized:
        """The 1-D tensor of row ``i``: the one the 1-D quantizer gives for that row."""
        m, n = self.row_shape
        k = operator.index(i)
        if not -m <= k < m:
            raise IndexError(f"row {k} out of range for {m} rows")
        k %= m
        nb = -(-n // self._scheme.block)
        blocks = slice(k * nb, (k + 1) * nb)
        lo, hi = self._code_range(k)
        p = self._parts
        s = self._scheme
        return _tensor.row(
            p["codes"][lo:hi], p["scales"][blocks].view(np.uint8), p["zero_points"][blocks].view(np.uint8),
            p["widths"][blocks], n, s.kind, s.bits or 0, s.block, int(self._scale),
        )

    def __getitem__(self, i: SupportsIndex) -> Quantized:
        return self.row(i)

    # ---- computing ----

    def _native_parts(self) -> _NativeParts:
        s = self._scheme
        m, n = self.row_shape
        p = self._parts
        return (
            p["codes"],
            p["scales"].view(np.uint8),
            p["zero_points"].view(np.uint8),
            p["widths"],
            m,
            n,
            s.kind,
            s.bits or 0,
            s.block,
            int(self._scale),
        )

    def dequantize(self, out: F32Array | None = None) -> F32Array:
        """Decodes to float32 in the original shape; ``out`` as in NumPy."""
        if out is not None:
            _check_out(out, self._shape)
        m, n = self.row_shape
        last = self._axis == len(self._shape) - 1
        if out is not None and last:
            _tensor.dequantize(*self._native_parts(), out)
            return out
        rows = np.empty((m, n), np.float32)
        _tensor.dequantize(*self._native_parts(), rows)
        moved = self._shape[: self._axis] + self._shape[self._axis + 1 :] + (n,)
        result = np.moveaxis(rows.reshape(moved), -1, self._axis)
        if out is not None:
            np.copyto(out, result)
            return out
        return np.ascontiguousarray(result)

    def matvec(self, x: npt.ArrayLike) -> F32Array:
        """``x`` of shape (n,) gives (m,); (k, n) gives (k, m). Element i is ``row(i).dot``."""
        m, n = self.row_shape
        xs = np.asarray(x)
        if xs.dtype != _BFLOAT16 and xs.dtype.kind not in "fiub":
            raise TypeError(f"x: expected real numbers, got dtype {xs.dtype}")
        if xs.ndim not in (1, 2) or xs.shape[-1] != n:
            raise ValueError(f"x: expected shape ({n},) or (k, {n}), got {xs.shape}")
        vectors = np.require(xs, np.float32, ["C", "A"])
        k = 1 if xs.ndim == 1 else xs.shape[0]
        out = np.empty((k, m), np.float32)
        _tensor.matvec(*self._native_parts(), vectors, k, out)
        return out[0] if xs.ndim == 1 else out

    def __matmul__(self, x: npt.ArrayLike) -> F32Array:
        return self.matvec(x)

    def search(
        self, queries: npt.ArrayLike, k: SupportsIndex, *, metric: Literal["inner_product", "cosine"] = "inner_product"
    ) -> tuple[F32Array, npt.NDArray[np.int64]]:
        """The ``k`` best rows for each query, best first: (scores, row indices); see velmar.search."""
        from velmar import search

        return search.search(self, queries, k, metric)

    def _row_norms(self) -> F32Array:
        # Computed from the codes once; the parts never change.
        if self._norms is None:
            norms = np.empty(self.row_shape[0], np.float32)
            _tensor.row_norms(*self._native_parts(), norms)
            self._norms = norms
        return self._norms

    # ---- copying and pickling ----

    def copy(self) -> QuantizedTensor:
        # The parts are read-only, so the copy may share them.
        return QuantizedTensor._adopt(
            self._shape, self._axis, self._scheme, self._scale, self._dtype, **self._parts
        )

    def __copy__(self) -> QuantizedTensor:
        return self.copy()

    def __deepcopy__(self, memo: Mapping[int, object]) -> QuantizedTensor:
        return self.copy()

    def __getstate__(self) -> tuple[Any, ...]:
        """(version, shape, axis, dtype name, tolerance, rows): rows is a 1-D
        state tuple whose len is the row length and whose parts are those of
        all rows; tolerance is the adaptive scheme's (None otherwise)."""
        p = self._parts
        s = self._scheme
        bits_view = _BITS_VIEW[int(self._scale)]
        rows = (
            1,
            s.kind,
            self._scale,
            s.block,
            self._shape[self._axis],
            p["codes"].tobytes(),
            s.bits or 0,
            tuple(p["widths"].tolist()),
            _le_bytes(p["scales"], bits_view),
            _le_bytes(p["zero_points"], bits_view),
        )
        return (_STATE_VERSION, self._shape, self._axis, str(self._dtype), s.tolerance, rows)

    def __reduce__(self) -> tuple[Any, tuple[tuple[Any, ...]]]:
        return (QuantizedTensor._from_state, (self.__getstate__(),))

    @staticmethod
    def _from_state(state: tuple[Any, ...]) -> QuantizedTensor:
        if not isinstance(state, tuple) or len(state) != 6 or state[0] != _STATE_VERSION:
            raise ValueError("malformed QuantizedTensor state")
        _, shape, axis, dtype, tolerance, rows = state
        if not isinstance(rows, tuple) or len(rows) != 10 or rows[0] != 1 or not isinstance(rows[2], Scale):
            raise ValueError("malformed QuantizedTensor state")
        _, kind, scale, block, n, codes, bits, widths, scales, zero_points = rows
        if not isinstance(shape, tuple) or not shape or n != shape[operator.index(axis)]:
            raise ValueError("malformed QuantizedTensor state: the row length differs from the shape")
        if kind == "adaptive":
            scheme = Scheme.adaptive(block, tolerance)
        elif kind in ("symmetric", "asymmetric"):
            scheme = getattr(Scheme, kind)(bits, block)
        else:
            raise ValueError(f"malformed QuantizedTensor state: kind {kind!r}")
        index = int(scale)
        stored = np.dtype(_STORED[index])
        return QuantizedTensor.from_parts(
            shape=shape,
            axis=axis,
            scheme=scheme,
            scale=scale,
            dtype=_BFLOAT16 if dtype == "bfloat16" else np.dtype(dtype),
            codes=np.frombuffer(codes, np.uint8),
            scales=_from_le_bytes(scales, _BITS_VIEW[index], stored),
            zero_points=_from_le_bytes(zero_points, _BITS_VIEW[index], stored),
            widths=np.array(widths, dtype=np.uint32),
        )


def _le_bytes(values: npt.NDArray[Any], bits_view: str) -> bytes:
    """Bit patterns, least significant byte first, as the 1-D state stores them."""
    native = bits_view.replace("<", "=")
    return values.view(native).astype(bits_view).tobytes()


def _from_le_bytes(data: bytes, bits_view: str, stored: np.dtype[Any]) -> npt.NDArray[Any]:
    if len(data) % stored.itemsize:
        raise ValueError("malformed QuantizedTensor state: scale bytes are not whole elements")
    return np.frombuffer(data, bits_view).astype(bits_view.replace("<", "=")).view(stored)


def _check_out(out: object, shape: tuple[int, ...]) -> None:
    if not isinstance(out, np.ndarray) or out.dtype != np.float32 or not out.dtype.isnative:
        got = out.dtype if isinstance(out, np.ndarray) else type(out).__name__
        raise TypeError(f"out: expected a float32 NumPy array, got {got}")
    if out.shape != shape:
        raise ValueError(f"out: expected shape {shape}, got {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out: expected a C-contiguous, writeable array")
