"""Top-k search on the codes of a quantized tensor, in memory or in a file.

The rows of a tensor are its vectors. For each query, ``search`` returns the
``k`` rows with the largest scores, best first: the inner product (each score
bit for bit ``t.row(i).dot(query)``) or the cosine similarity (that dot with
the query divided by its norm, over the row's norm). Rows that tie keep the
lower index first, a NaN score ranks below every number, and ``k`` larger
than the number of rows returns every row. The selection runs with the
scan: memory is one tile of scores plus ``k`` results per query, so a tensor
of any number of rows can be searched, and a tensor in a velmar file is read
a slice of rows at a time (``search_file``).
"""

from __future__ import annotations

import operator
import os
from typing import TYPE_CHECKING, Final, Literal, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar._native import LengthMismatchError
from velmar.inputs import real_array, vectors
from velmar.kquants import SuperBlockScheme
from velmar.layout import PARTS, Layout, adaptive_row_bytes

if TYPE_CHECKING:
    from velmar.io import File
    from velmar.tensor import QuantizedTensor

__all__ = ["search", "search_file"]

Metric: TypeAlias = Literal["inner_product", "cosine"]
Result: TypeAlias = tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]

_METRICS: Final = ("inner_product", "cosine")
# Bytes of a tensor read from a file at a time, at most: a slice the allocator reuses and the scan finds in cache.
_SLICE_BYTES: Final = 4 << 20


def _queries(queries: object, n: int, metric: object) -> tuple[npt.NDArray[np.float32], bool]:
    """The queries as C-ordered (nq, n) float32 rows, and whether one was given alone."""
    if metric not in _METRICS:
        raise ValueError(f"metric: expected 'inner_product' or 'cosine', got {metric!r}")
    arr = real_array(queries, "queries")
    if arr.ndim not in (1, 2):
        raise ValueError(f"queries: expected one query of shape ({n},) or a batch of shape (nq, {n}), got {arr.shape}")
    if arr.shape[-1] != n:
        raise LengthMismatchError(n, arr.shape[-1])
    q, single = vectors(arr, n, "queries")
    if metric == "cosine":
        # Normalised once, the norm in double precision.
        norms = np.sqrt(np.einsum("ij,ij->i", q, q, dtype=np.float64))
        with np.errstate(invalid="ignore", divide="ignore"):  # a zero or infinite query scores NaN
            q = np.ascontiguousarray((q / norms[:, None]).astype(np.float32))
    return q, single


def _k(k: object) -> int:
    try:
        kk = operator.index(k)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"k: expected an integer, got {type(k).__name__}") from None
    if kk < 1:
        raise ValueError(f"k: expected at least 1, got {kk}")
    return kk


class _Merge:
    """Each query's k best so far, merged tensor by tensor in the native module."""

    def __init__(self, queries: npt.NDArray[np.float32], k: int, metric: Metric) -> None:
        self.queries, self.k, self.metric = queries, k, metric
        self.scores = np.zeros((len(queries), k), np.float32)
        self.rows = np.zeros((len(queries), k), np.int64)
        self.filled = 0

    def add(self, t: QuantizedTensor, first_row: int) -> None:
        """Merges the rows of t, numbered from first_row."""
        q = self.queries
        found = (self.k, t._row_norms() if self.metric == "cosine" else None, first_row, self.scores, self.rows,
                 self.filled)
        if isinstance(t.scheme, SuperBlockScheme):
            m, n = t.row_shape
            self.filled = _tensor.search_super(t.parts()["codes"], m, n, t.scheme.name, q, len(q), *found)
        else:
            self.filled = _tensor.search(*t._native_parts(), q, len(q), *found)

    def no_values(self, rows: int) -> None:
        """Rows of no values all score 0 (0 / 0 for cosine): the first k, without a walk over them."""
        self.filled = min(self.k, rows)
        self.scores[:] = np.nan if self.metric == "cosine" else 0.0
        self.rows[:] = np.arange(self.k)

    def result(self, single: bool) -> Result:
        scores, rows = self.scores[:, : self.filled], self.rows[:, : self.filled]
        return (scores[0], rows[0]) if single else (np.ascontiguousarray(scores), np.ascontiguousarray(rows))


def search(t: QuantizedTensor, queries: npt.ArrayLike, k: SupportsIndex, metric: Metric = "inner_product") -> Result:
    """The k best rows of t for each query: (scores, rows), best first."""
    m, n = t.row_shape
    q, single = _queries(queries, n, metric)
    merge = _Merge(q, min(_k(k), max(m, 1)), metric)  # no more than the rows: k is the caller's, unchecked
    if n:
        merge.add(t, 0)
    else:
        merge.no_values(m)
    return merge.result(single)


def search_file(source: str | os.PathLike[str] | File, name: str, queries: npt.ArrayLike, k: SupportsIndex,
                metric: Metric = "inner_product", rows_per_slice: SupportsIndex | None = None) -> Result:
    """``search`` on the quantized tensor `name` of a velmar file, read a slice of rows at a time (by default,
    as many rows as take 4 MiB)."""
    from velmar import io

    if not isinstance(source, io.File):
        with io.File(source) as f:
            return search_file(f, name, queries, k, metric, rows_per_slice)
    layout = source.layout(name)
    if layout is None:
        raise ValueError(f"{source.path}: {name!r} is a plain array, not a quantized tensor")
    q, single = _queries(queries, layout.row_len, metric)
    merge = _Merge(q, min(_k(k), max(layout.rows, 1)), metric)
    if not layout.row_len:  # a header may claim 2**60 such rows: slices of them would never end
        merge.no_values(layout.rows)
        return merge.result(single)
    step = max(1, _SLICE_BYTES // _row_bytes(layout) if rows_per_slice is None else operator.index(rows_per_slice))
    code_at = 0
    for first in range(0, layout.rows, step):
        piece, parts = _slice(source, name, layout, first, min(step, layout.rows - first), code_at)
        code_at += parts["codes"].size
        merge.add(piece, first)
    return merge.result(single)


def _row_bytes(layout: Layout) -> int:
    """Bytes of one row of the tensor at most, its parts together."""
    row = Layout.for_scheme(layout.scheme(), layout.scale_member, (1, layout.row_len), 1, layout.dtype)
    return sum(count * row.part_dtype(p).itemsize for p, count in row.max_part_counts().items())


def _slice(source: File, name: str, layout: Layout, first: int, rows: int,
           code_at: int) -> tuple[QuantizedTensor, dict[str, npt.NDArray[np.uint8]]]:
    """Rows first to first + rows of a file's tensor, whose codes start at byte code_at, as a tensor of their own."""
    from velmar import io
    from velmar.tensor import QuantizedTensor

    piece = Layout.for_scheme(layout.scheme(), layout.scale_member, (rows, layout.row_len), 1, layout.dtype)
    blocks = (first * layout.row_blocks, (first + rows) * layout.row_blocks)
    counts = piece.max_part_counts()
    parts = {p: source.read_rows(io.part_key(name, p), *blocks, frozen=True) if counts[p]
             else np.empty(0, piece.part_dtype(p)) for p in PARTS if p != "codes"}
    code_bytes = counts["codes"]
    if layout.kind == "adaptive" and parts["widths"].size == counts["widths"]:
        try:
            code_bytes = int(adaptive_row_bytes(parts["widths"].reshape(rows, -1), layout.row_len, layout.block).sum())
        except ValueError as e:
            raise source._fail(name, "widths", str(e)) from None
    parts["codes"] = source.read_rows(io.part_key(name, "codes"), code_at, code_at + code_bytes, frozen=True)
    try:
        return QuantizedTensor._from_layout(piece, parts), parts
    except ValueError as e:
        raise source._fail(name, "parts", f"rows {first} to {first + rows}: {e}") from None
