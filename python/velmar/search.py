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
from typing import TYPE_CHECKING, Any, Final, Literal, SupportsIndex, TypeAlias

import ml_dtypes
import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar._native import LengthMismatchError

if TYPE_CHECKING:
    from velmar.io import File
    from velmar.tensor import QuantizedTensor

__all__ = ["search", "search_file"]

Metric: TypeAlias = Literal["inner_product", "cosine"]
Result: TypeAlias = tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]
# codes, scales, zero_points, widths (as bytes), rows, cols, kind, bits, block, scale index
_Parts: TypeAlias = tuple[
    npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], int, int, str, int, int, int
]

_METRICS: Final = ("inner_product", "cosine")
_BFLOAT16: Final = np.dtype(ml_dtypes.bfloat16)
# Rows read from a file at a time, at most.
_SLICE_ROWS: Final = 1 << 16


def _queries(queries: object, n: int, metric: object) -> tuple[npt.NDArray[np.float32], bool]:
    """The queries as a C-ordered (nq, n) float32 array, and whether one was given alone."""
    if metric not in _METRICS:
        raise ValueError(f"metric: expected 'inner_product' or 'cosine', got {metric!r}")
    q = np.asarray(queries)
    if q.dtype != _BFLOAT16 and q.dtype.kind not in "fiub":
        raise TypeError(f"queries: expected real numbers, got dtype {q.dtype}")
    if q.ndim not in (1, 2):
        raise ValueError(f"queries: expected one query of shape ({n},) or a batch of shape (nq, {n}), got {q.shape}")
    if q.shape[-1] != n:
        raise LengthMismatchError(n, q.shape[-1])
    single = q.ndim == 1
    q = np.require(q.reshape(1, n) if single else q, np.float32, ["C", "A"])
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
    """Each query's k best so far, merged slice by slice in the native module."""

    def __init__(self, nq: int, k: int) -> None:
        self.k = k
        self.scores = np.zeros((nq, k), np.float32)
        self.rows = np.zeros((nq, k), np.int64)
        self.filled = 0

    def add(self, parts: _Parts, queries: npt.NDArray[np.float32], norms: npt.NDArray[np.float32] | None,
            first_row: int) -> None:
        self.filled = _tensor.search(*parts, queries, queries.shape[0], self.k, norms, first_row, self.scores,
                                     self.rows, self.filled)

    def result(self, single: bool) -> Result:
        scores, rows = self.scores[:, : self.filled], self.rows[:, : self.filled]
        return (scores[0], rows[0]) if single else (np.ascontiguousarray(scores), np.ascontiguousarray(rows))


def search(t: QuantizedTensor, queries: npt.ArrayLike, k: SupportsIndex, metric: Metric = "inner_product") -> Result:
    """The k best rows of t for each query: (scores, rows), best first."""
    m, n = t.row_shape
    q, single = _queries(queries, n, metric)
    merge = _Merge(q.shape[0], _k(k))
    parts = t._native_parts()
    merge.add(parts, q, t._row_norms() if metric == "cosine" else None, 0)
    return merge.result(single)


def search_file(source: str | os.PathLike[str] | File, name: str, queries: npt.ArrayLike, k: SupportsIndex,
                metric: Metric = "inner_product", rows_per_slice: SupportsIndex = _SLICE_ROWS) -> Result:
    """``search`` on the quantized tensor `name` of a velmar file, read a slice of rows at a time."""
    from velmar import io

    if not isinstance(source, io.File):
        with io.File(source) as f:
            return search_file(f, name, queries, k, metric, rows_per_slice)
    layout = source.layout(name)
    if layout is None:
        raise ValueError(f"{source.path}: {name!r} is a plain array, not a quantized tensor")
    m, n = layout.rows, layout.row_len
    q, single = _queries(queries, n, metric)
    merge = _Merge(q.shape[0], _k(k))
    step = max(1, operator.index(rows_per_slice))
    nb = -(-n // layout.block)
    e = np.dtype(io.SCALE_DTYPES[layout.scale]).itemsize
    scale = ("f32", "f16", "bf16").index(layout.scale)
    code_at = 0
    for first in range(0, m, step):
        rows = min(step, m - first)
        blocks = (first * nb, (first + rows) * nb)
        widths = source.read_rows(io.part_key(name, "widths"), *blocks) if layout.kind == "adaptive" else None
        if widths is None:
            code_bytes = rows * -(-(n * layout.bits) // 8)
        else:
            lengths = np.full(nb, layout.block, np.int64)
            if n % layout.block:
                lengths[-1] = n % layout.block
            code_bytes = int(((widths.astype(np.int64).reshape(rows, nb) * lengths + 7) // 8).sum())
        codes = source.read_rows(io.part_key(name, "codes"), code_at, code_at + code_bytes)
        code_at += code_bytes
        scales = source.read_rows(io.part_key(name, "scales"), *blocks).view(np.uint8)
        zero_points = (source.read_rows(io.part_key(name, "zero_points"), *blocks).view(np.uint8)
                       if layout.kind != "symmetric" else np.empty(0, np.uint8))
        parts: _Parts = (codes, scales, zero_points, widths if widths is not None else np.empty(0, np.uint32), rows,
                         n, layout.kind, layout.bits, layout.block, scale)
        if len(codes) != code_bytes or len(scales) != rows * nb * e:
            raise ValueError(f"{source.path}: tensor {name!r}: the file ends inside its parts")
        norms = None
        if metric == "cosine":
            norms = np.empty(rows, np.float32)
            _tensor.row_norms(*parts, norms)
        merge.add(parts, q, norms, first)
    return merge.result(single)
