"""Types of the compiled module ``velmar._tensor`` (used through ``velmar.tensor``)."""

from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy.typing as npt
from typing_extensions import Buffer

from velmar._native import Quantized

# C-contiguous buffers; NumPy arrays are buffers, spelt out for Python 3.11.
_In: TypeAlias = Buffer | npt.NDArray[Any]

def kernel_level() -> str: ...
def use_kernel_level(name: str | None) -> None: ...
def quantize(
    values: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    tolerance: SupportsFloat,
    scale: SupportsIndex,
    weights: _In | None = None,
    shared: bool = True,
) -> tuple[memoryview, memoryview, memoryview, memoryview]: ...
def quantize_from(
    values: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    tolerance: SupportsFloat,
    scale: SupportsIndex,
    source: str,
) -> tuple[memoryview, memoryview, memoryview, memoryview] | None: ...
def dequantize(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    out: _In,
) -> None: ...
def matvec(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    x: _In,
    k: SupportsIndex,
    out: _In,
) -> None: ...
def row(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
) -> Quantized: ...
def refine(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    values: _In,
    weights: _In | None = None,
) -> tuple[memoryview, memoryview]: ...
def search(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    queries: _In,
    nq: SupportsIndex,
    k: SupportsIndex,
    norms: _In | None,
    first_row: SupportsIndex,
    scores: _In,
    rows_out: _In,
    filled: SupportsIndex,
) -> int: ...
def row_norms(
    codes: _In,
    scales: _In,
    zero_points: _In,
    widths: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    out: _In,
) -> None: ...
def copy_whole(values: _In, out: _In) -> None: ...
def read_part(fd: int, offset: int, nbytes: int) -> memoryview | None: ...
def copy_part(values: _In) -> memoryview: ...
def split_blocks(
    data: _In, block_bytes: SupportsIndex, head_bytes: SupportsIndex, nibbles: bool
) -> tuple[memoryview, memoryview]: ...
def join_blocks(heads: _In, tails: _In, head_bytes: SupportsIndex, nibbles: bool) -> memoryview: ...

# (name, bytes per super-block) of every super-block type, in type order.
super_types: tuple[tuple[str, int], ...]

def quantize_super(
    values: _In, rows: SupportsIndex, cols: SupportsIndex, type: str, weights: _In | None = None
) -> memoryview: ...
def dequantize_super(codes: _In, rows: SupportsIndex, cols: SupportsIndex, type: str, out: _In) -> None: ...
def matvec_super(
    codes: _In, rows: SupportsIndex, cols: SupportsIndex, type: str, x: _In, k: SupportsIndex, out: _In
) -> None: ...
def search_super(
    codes: _In,
    rows: SupportsIndex,
    cols: SupportsIndex,
    type: str,
    queries: _In,
    nq: SupportsIndex,
    k: SupportsIndex,
    norms: _In | None,
    first_row: SupportsIndex,
    scores: _In,
    rows_out: _In,
    filled: SupportsIndex,
) -> int: ...
def row_norms_super(codes: _In, rows: SupportsIndex, cols: SupportsIndex, type: str, out: _In) -> None: ...
def centred_codes(
    values: _In,
    block: SupportsIndex,
    step: SupportsFloat,
    threshold: SupportsFloat,
    exact_sums: bool,
    scale: SupportsIndex,
    codes: _In,
    zero_points: _In,
) -> memoryview: ...
