"""N-D arrays quantized along one axis, row by row.

The rows of an array are the array with ``axis`` moved last, in C order,
reshaped to ``(m, n)`` with ``n = shape[axis]``. Each row is quantized exactly
as the 1-D functions quantize it, so ``t.row(i)`` equals ``velmar.quantize`` (or
the scheme's quantizer) of that row, and ``t @ x`` gives, element by element,
``t.row(i).dot(x)``.

The parts of all rows are stored one row after another (``parts()``; what
they hold is ``velmar.layout``'s to say). ``len(t)`` is the number of rows and
``t[i]`` the row ``i``. A tensor never changes: its parts are memory no one
can write, so every check made when it was built holds for its lifetime.

``quantize`` takes either a ``velmar.Scheme`` or the keywords ``kind``,
``bits``, ``block`` and ``tolerance`` (defaults: symmetric, 8 bits, blocks of
32, tolerance 0.001 for the adaptive kind); giving both is an error.
``weights`` (one per value along the axis) makes every block's fit minimise
the weighted squared error (a weighted symmetric block may get a negative
scale, its extreme value then taking the lowest code); a block holding a
non-finite value, or whose weights add up to nothing, keeps the unweighted
rule.

The super-block types ``Q2_K`` ... ``Q6_K`` (velmar.kquants; also
``kind="q4_k"``) quantize rows of whole super-blocks of 256 values into
GGUF's own bytes, kept in ``codes``; their rows are tensors of one row.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Mapping
from typing import Any, Final, Literal, NoReturn, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from velmar import _tensor, kquants, search
from velmar._native import Quantized, QuantizeError, Scale, Scheme
from velmar.inputs import check_out, real_array, vectors
from velmar.kquants import Q2_K, Q3_K, Q4_K, Q5_K, Q6_K, SuperBlockScheme
from velmar.layout import PARTS, Layout, is_real, shape_problem, state_items, state_parts

__all__ = ["Q2_K", "Q3_K", "Q4_K", "Q5_K", "Q6_K", "QuantizedTensor", "quantize", "refine"]

Kind: TypeAlias = Literal["symmetric", "asymmetric", "adaptive"]
F32Array: TypeAlias = npt.NDArray[np.float32]
AnyScheme: TypeAlias = Scheme | SuperBlockScheme

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
    scheme: AnyScheme | None, kind: str | None, bits: int | None, block: int | None, tolerance: float | None
) -> AnyScheme:
    if scheme is not None:
        if not isinstance(scheme, (Scheme, SuperBlockScheme)):
            raise TypeError(f"scheme: expected a velmar.Scheme, got {type(scheme).__name__}")
        if (kind, bits, block, tolerance) != (None, None, None, None):
            raise TypeError("give either a scheme or kind/bits/block/tolerance, not both")
        return scheme
    kind = "symmetric" if kind is None else kind
    if isinstance(kind, str) and (sb := kquants.by_name(kind)) is not None:
        if (bits, block, tolerance) != (None, None, None):
            raise TypeError(f"kind {kind!r} takes no bits, block or tolerance")
        return sb
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


def _check_scheme(scheme: AnyScheme, scale: Scale) -> None:
    if isinstance(scheme, SuperBlockScheme):
        if scale not in (Scale.F32, Scale.F16):  # F32 is the default, for schemes with a choice
            raise ValueError(f"scale: {scheme.name} keeps half-precision scales of its own; give Scale.F16 or none")
        return
    # The 1-D quantizer checks bits, block and tolerance and raises its own
    # errors (InvalidBitsError, ...); on no values it does nothing else.
    scheme.quantize(np.empty(0, np.float32), scale=scale)


def _weights(weights: object, n: int) -> F32Array | None:
    """One float32 weight per value along the axis, or None."""
    if weights is None:
        return None
    w, single = vectors(weights, n, "weights")
    if not single:
        raise ValueError(f"weights: expected shape ({n},), one per value along the axis, got {w.shape}")
    row: F32Array = w[0]
    return row


def _axis(axis: SupportsIndex, ndim: int) -> int:
    try:
        ax = operator.index(axis)
    except TypeError:
        raise TypeError(f"axis: expected an integer, got {type(axis).__name__}") from None
    if not -ndim <= ax < ndim:
        raise ValueError(f"axis: expected -{ndim} to {ndim - 1} for an array of {ndim} dimensions, got {ax}")
    return ax % ndim


# Element types the native quantizer reads a run at a time as float32, each
# as NumPy's cast gives it, and its name for them.
_WIDENED: Final = {"float64": "f64", "float16": "f16", "bfloat16": "bf16"}


def _quantize_widened(arr: npt.NDArray[Any], axis: int, layout: Layout, sch: Scheme, index: int) -> tuple[Any, ...] | None:
    """The parts of rows already in order in another float type, without a float32 copy of them all first;
    None for any other array, or when the cast has something to report (then NumPy's own cast does)."""
    moved = np.moveaxis(arr, axis, -1)
    source = _WIDENED.get(moved.dtype.name)
    if source is None or not moved.dtype.isnative or not (moved.flags.c_contiguous and moved.flags.aligned):
        return None
    values = moved.view(np.uint16) if moved.itemsize == 2 else moved
    return _tensor.quantize_from(values, layout.rows, layout.row_len, sch.kind, sch.bits or 0, sch.block,
                                 sch.tolerance or 0.0, index, source)


def _float32_rows(arr: npt.NDArray[Any], axis: int) -> F32Array:
    """The rows as one C-ordered float32 array: at most one copy."""
    moved = np.moveaxis(arr, axis, -1)
    return np.require(moved, np.float32, ["C", "A"])


def quantize(
    a: object,
    scheme: AnyScheme | None = None,
    *,
    kind: Kind | str | None = None,
    bits: int | None = None,
    block: int | None = None,
    tolerance: float | None = None,
    scale: Scale = Scale.F32,
    axis: SupportsIndex = -1,
    weights: npt.ArrayLike | None = None,
) -> QuantizedTensor:
    """Quantizes every row of ``a`` along ``axis`` (the last one by default),
    with ``weights`` (one per value along the axis) fitting each block to the
    weighted squared error."""
    sch = _make_scheme(scheme, kind, bits, block, tolerance)
    index = _scale_index(scale)
    _check_scheme(sch, scale)
    arr = real_array(a, "a")
    if arr.ndim == 0:
        raise ValueError("a 0-d array has no axis to quantize along; give at least one dimension")
    problem = shape_problem(arr.shape)
    if problem:
        raise ValueError(f"a: {problem}")
    ax = _axis(axis, arr.ndim)
    w = _weights(weights, arr.shape[ax])
    if isinstance(sch, SuperBlockScheme):
        if arr.shape[ax] % kquants.SUPER_BLOCK:
            raise ValueError(f"{sch.name} rows are whole super-blocks of 256 values; axis {ax} has {arr.shape[ax]}")
        scale = Scale.F16
    layout = Layout.for_scheme(sch, scale, arr.shape, ax, _origin(arr.dtype).name)
    made = _quantize_widened(arr, ax, layout, sch, index) if isinstance(sch, Scheme) and w is None else None
    if made is None:
        rows = _float32_rows(arr, ax)
        if isinstance(sch, SuperBlockScheme):
            blocks = _tensor.quantize_super(rows, layout.rows, layout.row_len, sch.name, w)
            made = (blocks, b"", b"", b"")
        else:
            # The kernels read the values twice; a private copy spares copying them again.
            shared = np.may_share_memory(rows, arr)
            made = _tensor.quantize(rows, layout.rows, layout.row_len, sch.kind, sch.bits or 0, sch.block,
                                    sch.tolerance or 0.0, index, w, shared)
    parts = {name: np.frombuffer(data, layout.part_dtype(name)) for name, data in zip(PARTS, made)}
    return QuantizedTensor._adopt(layout, sch, scale, parts)


def refine(t: QuantizedTensor, values: object, *, weights: npt.ArrayLike | None = None) -> QuantizedTensor:
    """A tensor with the codes of ``t`` whose every block's scale and zero
    point are refitted by least squares against ``values`` (of ``t``'s shape),
    with ``weights`` as for ``quantize``: what ``velmar.refine`` does for one
    row, so a symmetric tensor's refit is asymmetric."""
    if not isinstance(t, QuantizedTensor):
        raise TypeError(f"refine() takes a QuantizedTensor, got {type(t).__name__}")
    s = t.scheme
    if isinstance(s, SuperBlockScheme):
        raise TypeError(f"{s.name} tensors are fitted by their quantizer; refine() refits the velmar kinds")
    arr = real_array(values, "values")
    if arr.shape != t.shape:
        raise ValueError(f"values: expected shape {t.shape}, got {arr.shape}")
    rows = _float32_rows(arr, t.axis)
    scales, zero_points = _tensor.refine(*t._native_parts(), rows, _weights(weights, t.row_shape[1]))
    scheme = s if s.kind == "adaptive" else Scheme.asymmetric(s.bits or 0, s.block)
    layout = Layout.for_scheme(scheme, t.scale, t.shape, t.axis, t.dtype.name)
    parts = t.parts()
    parts["scales"] = np.frombuffer(scales, layout.part_dtype("scales"))
    parts["zero_points"] = np.frombuffer(zero_points, layout.part_dtype("zero_points"))
    return QuantizedTensor._adopt(layout, scheme, t.scale, parts)


def _origin(dtype: object) -> np.dtype[Any]:
    """The element type a tensor records as quantized from: real, native byte order."""
    try:
        dt: np.dtype[Any] = np.dtype(dtype)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        raise TypeError(f"dtype: expected a real element type, got {dtype!r:.60}") from None
    if not is_real(dt):
        raise TypeError(f"dtype: expected a real element type, got {dt}")
    native: np.dtype[Any] = np.dtype(dt.type)
    return native


def _immutable(arr: npt.NDArray[Any]) -> bool:
    """Whether nothing can write the array's memory: it and every array it views
    are read-only, and their owner is bytes or a buffer velmar's native module made."""
    owner: object = arr
    while isinstance(owner, np.ndarray):
        if owner.flags.writeable:
            return False
        owner = owner.base
    if isinstance(owner, memoryview):  # over bytes or a native buffer it is read-only anyway
        owner = owner.obj
    return type(owner) is bytes or type(owner).__module__ == _tensor.__name__


def _part(value: object, name: str, want: np.dtype[Any]) -> npt.NDArray[Any]:
    """A 1-D part the tensor can keep: the array itself if nothing can write it (and, for
    the codes, it starts on a cache line: the row kernels read whole lines), else a frozen copy."""
    arr = np.asarray(value)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a 1-D array, got {arr.ndim} dimensions")
    if arr.dtype != want and not (arr.size == 0 and arr.dtype.kind in "fiu"):
        raise TypeError(f"{name}: expected dtype {want}, got {arr.dtype}")
    on_line = name != "codes" or arr.size == 0 or arr.ctypes.data % 64 == 0
    if arr.dtype == want and arr.flags.c_contiguous and arr.flags.aligned and on_line and _immutable(arr):
        return arr
    return np.frombuffer(_tensor.copy_part(np.ascontiguousarray(arr, want).view(np.uint8)), want)


class QuantizedTensor:
    """An N-D array quantized row by row along one axis (see the module doc)."""

    __slots__ = ("_layout", "_scheme", "_scale", "_parts", "_row_starts", "_norms")
    # NumPy's operators defer to ours, so that ``x @ t`` reaches __rmatmul__.
    __array_ufunc__ = None

    _layout: Layout
    _scheme: AnyScheme
    _scale: Scale
    _parts: dict[str, npt.NDArray[Any]]
    _row_starts: npt.NDArray[np.int64] | None
    _norms: npt.NDArray[np.float32] | None

    def __init__(self) -> None:
        raise TypeError("QuantizedTensor objects come from velmar.tensor.quantize() or QuantizedTensor.from_parts()")

    @classmethod
    def _adopt(
        cls, layout: Layout, scheme: AnyScheme, scale: Scale, parts: dict[str, npt.NDArray[Any]]
    ) -> QuantizedTensor:
        """A tensor over parts checked already, which nothing can write."""
        self = object.__new__(cls)
        self._layout = layout
        self._scheme = scheme
        self._scale = scale
        self._parts = parts
        self._row_starts = None
        self._norms = None
        return self

    @classmethod
    def _handed_over(cls, layout: Layout, parts: dict[str, npt.NDArray[Any]]) -> QuantizedTensor:
        """A tensor over parts of ``layout`` that their maker gives up: checked and frozen, not copied."""
        for p in parts.values():
            p.flags.writeable = False
        layout.check_parts(parts)
        return cls._adopt(layout, layout.scheme(), layout.scale_member, parts)

    @classmethod
    def from_parts(
        cls,
        *,
        shape: tuple[SupportsIndex, ...],
        axis: SupportsIndex,
        scheme: AnyScheme,
        scale: Scale,
        dtype: npt.DTypeLike,
        codes: npt.ArrayLike,
        scales: npt.ArrayLike,
        zero_points: npt.ArrayLike,
        widths: npt.ArrayLike,
    ) -> QuantizedTensor:
        """Rebuilds a tensor from its parts, checking every count against shape and scheme.

        Parts that something could still write (a writeable array or a view of
        one) are copied; read-only parts of immutable memory are kept as they are,
        but codes that do not start on a 64-byte line are copied to one.
        """
        try:
            dims = tuple(operator.index(s) for s in shape)
        except TypeError:
            raise TypeError(f"shape: expected a sequence of integers, got {shape!r:.60}") from None
        problem = shape_problem(dims)
        if problem:
            raise ValueError(f"shape: {problem}")
        ax = _axis(axis, len(dims))
        if not isinstance(scheme, (Scheme, SuperBlockScheme)):
            raise TypeError(f"scheme: expected a velmar.Scheme, got {type(scheme).__name__}")
        _scale_index(scale)
        _check_scheme(scheme, scale)
        if isinstance(scheme, SuperBlockScheme):
            if scale != Scale.F16:
                raise ValueError(f"scale: {scheme.name} keeps half-precision scales; expected Scale.F16")
            if dims[ax] % kquants.SUPER_BLOCK:
                raise ValueError(f"shape: {scheme.name} rows are whole super-blocks of 256 values, not {dims[ax]}")
        layout = Layout.for_scheme(scheme, scale, dims, ax, _origin(dtype).name)
        given = {"codes": codes, "scales": scales, "zero_points": zero_points, "widths": widths}
        return cls._from_layout(layout, given, scheme, scale)

    @classmethod
    def _from_layout(
        cls, layout: Layout, given: Mapping[str, object], scheme: AnyScheme | None = None,
        scale: Scale | None = None
    ) -> QuantizedTensor:
        """The tensor a checked layout and its parts describe; raises LayoutError for a part that does not fit."""
        parts = {name: _part(given[name], name, layout.part_dtype(name)) for name in PARTS}
        layout.check_parts(parts)
        return cls._adopt(layout, scheme or layout.scheme(), scale or layout.scale_member, parts)

    # ---- description ----

    @property
    def shape(self) -> tuple[int, ...]:
        return self._layout.shape

    @property
    def axis(self) -> int:
        return self._layout.axis

    @property
    def kind(self) -> str:
        return self._scheme.kind

    @property
    def scheme(self) -> AnyScheme:
        return self._scheme

    @property
    def scale(self) -> Scale:
        return self._scale

    @property
    def dtype(self) -> np.dtype[Any]:
        """The dtype of the array this tensor was quantized from."""
        return self._layout.origin_dtype

    @property
    def row_shape(self) -> tuple[int, int]:
        """(rows, values per row)."""
        return self._layout.rows, self._layout.row_len

    @property
    def nbytes(self) -> int:
        return sum(int(p.nbytes) for p in self._parts.values())

    @property
    def bits_per_element(self) -> float:
        size = math.prod(self.shape)
        return self.nbytes * 8 / size if size else 0.0

    def parts(self) -> dict[str, npt.NDArray[Any]]:
        """The stored parts of all rows, row after row (read-only views)."""
        return dict(self._parts)

    def __len__(self) -> int:
        return self._layout.rows

    def __repr__(self) -> str:
        s = self._scheme
        if isinstance(s, SuperBlockScheme):
            return f"QuantizedTensor(shape={self.shape}, axis={self.axis}, kind={s.kind!r}, dtype={self.dtype})"
        width = f"bits={s.bits}" if s.kind != "adaptive" else f"tolerance={s.tolerance:g}"
        return (
            f"QuantizedTensor(shape={self.shape}, axis={self.axis}, kind={s.kind!r}, {width}, "
            f"block={s.block}, scale={self._scale!r}, dtype={self.dtype})"
        )

    # ---- rows ----

    def _code_range(self, i: int) -> tuple[int, int]:
        if self._row_starts is None:
            self._row_starts = self._layout.row_starts(self._parts["widths"])
        return self._layout.code_range(i, self._row_starts)

    def row(self, i: SupportsIndex) -> Quantized | QuantizedTensor:
        """The 1-D tensor of row ``i``: the one the 1-D quantizer gives for that
        row (a super-block kind's, one row of its own kind)."""
        m, n = self.row_shape
        k = operator.index(i)
        if not -m <= k < m:
            raise IndexError(f"row {k} out of range for {m} rows")
        k %= m
        nb = self._layout.row_blocks
        blocks = slice(k * nb, (k + 1) * nb)
        lo, hi = self._code_range(k)
        p = self._parts
        s = self._scheme
        if isinstance(s, SuperBlockScheme):
            layout = Layout.for_scheme(s, self._scale, (n,), 0, self.dtype.name)
            return QuantizedTensor._adopt(layout, s, self._scale, {**p, "codes": p["codes"][lo:hi]})
        return _tensor.row(
            p["codes"][lo:hi], p["scales"][blocks].view(np.uint8), p["zero_points"][blocks].view(np.uint8),
            p["widths"][blocks], n, s.kind, s.bits or 0, s.block, int(self._scale),
        )

    def __getitem__(self, i: SupportsIndex) -> Quantized | QuantizedTensor:
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
        shape, axis = self.shape, self.axis
        if out is not None:
            check_out(out, shape)
        m, n = self.row_shape
        if out is not None and axis == len(shape) - 1:
            self._decode(out)
            return out
        rows = np.empty((m, n), np.float32)
        self._decode(rows)
        moved = shape[:axis] + shape[axis + 1 :] + (n,)
        result = np.moveaxis(rows.reshape(moved), -1, axis)
        if out is not None:
            np.copyto(out, result)
            return out
        return np.ascontiguousarray(result)

    def _decode(self, rows: F32Array) -> None:
        if not rows.size:  # without values there is nothing to decode, however many rows
            return
        if isinstance(self._scheme, SuperBlockScheme):
            m, n = self.row_shape
            _tensor.dequantize_super(self._parts["codes"], m, n, self._scheme.name, rows)
        else:
            _tensor.dequantize(*self._native_parts(), rows)

    def matvec(self, x: npt.ArrayLike) -> F32Array:
        """``x`` of shape (n,) gives (m,); (k, n) gives (k, m). Element i is ``row(i).dot``."""
        m, n = self.row_shape
        xs, single = vectors(x, n, "x")
        out = np.zeros((xs.shape[0], m), np.float32)
        if not m * n:  # without values every dot is 0, however many rows: skip the walk over them
            pass
        elif isinstance(self._scheme, SuperBlockScheme):
            _tensor.matvec_super(self._parts["codes"], m, n, self._scheme.name, xs, xs.shape[0], out)
        else:
            _tensor.matvec(*self._native_parts(), xs, xs.shape[0], out)
        return out[0] if single else out

    def __matmul__(self, x: npt.ArrayLike) -> F32Array:
        return self.matvec(x)

    def search(
        self, queries: npt.ArrayLike, k: SupportsIndex, *, metric: Literal["inner_product", "cosine"] = "inner_product"
    ) -> tuple[F32Array, npt.NDArray[np.int64]]:
        """The ``k`` best rows for each query, best first: (scores, row indices); see velmar.search."""
        return search.search(self, queries, k, metric)

    def _row_norms(self) -> F32Array:
        # Computed from the codes once; the parts never change.
        if self._norms is None:
            m, n = self.row_shape
            norms = np.empty(m, np.float32)
            if isinstance(self._scheme, SuperBlockScheme):
                _tensor.row_norms_super(self._parts["codes"], m, n, self._scheme.name, norms)
            else:
                _tensor.row_norms(*self._native_parts(), norms)
            self._norms = norms
        return self._norms

    def __rmatmul__(self, x: object) -> NoReturn:
        raise TypeError("x @ t: a QuantizedTensor multiplies on its codes only from the left (t @ x, each row's "
                        "dot with x); decode it first for x @ t.dequantize()")

    # ---- copying and pickling ----

    def copy(self) -> QuantizedTensor:
        # The parts never change, so the copy may share them.
        return QuantizedTensor._adopt(self._layout, self._scheme, self._scale, self._parts)

    def __copy__(self) -> QuantizedTensor:
        return self.copy()

    def __deepcopy__(self, memo: Mapping[int, object]) -> QuantizedTensor:
        return self.copy()

    def __getstate__(self) -> tuple[Any, ...]:
        """(version, shape, axis, dtype name, tolerance, rows): rows is a 1-D
        state tuple whose len is the row length and whose parts are those of
        all rows; tolerance is the adaptive scheme's (None otherwise)."""
        s, lay = self._scheme, self._layout
        codes, widths, scales, zero_points = state_items(self._parts)
        rows = (1, s.kind, self._scale, s.block, lay.row_len, codes, s.bits or 0, widths, scales, zero_points)
        return (_STATE_VERSION, lay.shape, lay.axis, lay.dtype, s.tolerance, rows)

    def __reduce__(self) -> tuple[Any, tuple[tuple[Any, ...]]]:
        return (QuantizedTensor._from_state, (self.__getstate__(),))

    def __setstate__(self, state: object) -> NoReturn:
        # Without it a pickle could follow the rebuild with a state that replaces the checked parts.
        raise ValueError("malformed QuantizedTensor state: a tensor is rebuilt whole from its state, never set")

    @staticmethod
    def _from_state(state: object) -> QuantizedTensor:
        try:
            return _rebuild(state)
        except (TypeError, ValueError, OverflowError, QuantizeError) as e:
            raise ValueError(f"malformed QuantizedTensor state: {e}") from None


def _malformed(what: str) -> NoReturn:
    raise ValueError(what)


def _rebuild(state: object) -> QuantizedTensor:
    """A tensor from its pickle state, every item checked for its exact type."""
    if not (isinstance(state, tuple) and len(state) == 6 and type(state[0]) is int and state[0] == _STATE_VERSION):
        _malformed(f"expected a version {_STATE_VERSION} state of 6 items")
    _, shape, axis, dtype, tolerance, rows = state
    if not (isinstance(rows, tuple) and len(rows) == 10 and type(rows[0]) is int and rows[0] == 1):
        _malformed("the rows are not a version 1 state of 10 items")
    _, kind, scale, block, n, codes, bits, widths, scales, zero_points = rows
    if not isinstance(shape, tuple) or any(type(d) is not int for d in shape) or type(axis) is not int:
        _malformed("shape and axis are integers")
    if type(n) is not int or n != shape[_axis(axis, len(shape))]:
        _malformed("the row length differs from the shape")
    if not all(isinstance(b, (bytes, bytearray)) for b in (codes, scales, zero_points)):
        _malformed("codes, scales and zero points are bytes")
    if not isinstance(widths, tuple) or any(type(w) is not int for w in widths):
        _malformed("widths are a tuple of integers")
    if type(block) is not int or type(bits) is not int or not isinstance(scale, Scale) or not isinstance(dtype, str):
        _malformed("block and bits are integers, scale a Scale, dtype a name")
    scheme: AnyScheme
    if kind == "adaptive" and bits == 0 and type(tolerance) is float:
        scheme = Scheme.adaptive(block, tolerance)
    elif kind in ("symmetric", "asymmetric") and tolerance is None:
        scheme = getattr(Scheme, kind)(bits, block)
    elif (isinstance(kind, str) and (sb := kquants.by_name(kind)) is not None and kind == sb.name and bits == 0
          and tolerance is None):
        scheme = sb
    else:
        _malformed(f"kind {kind!r:.40} with bits {bits} and tolerance {tolerance!r:.40}")
    parts = state_parts(scale, bytes(codes), widths, bytes(scales), bytes(zero_points))
    return QuantizedTensor.from_parts(shape=shape, axis=axis, scheme=scheme, scale=scale, dtype=dtype, **parts)
