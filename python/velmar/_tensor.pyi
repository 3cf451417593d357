"""Types of the compiled module ``velmar._tensor`` (used through ``velmar.tensor``)."""

from collections.abc import Buffer
from typing import SupportsFloat, SupportsIndex

def kernel_level() -> str: ...
def quantize(
    values: Buffer,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    tolerance: SupportsFloat,
    scale: SupportsIndex,
) -> tuple[Buffer, Buffer, Buffer, Buffer]: ...
def dequantize(
    codes: Buffer,
    scales: Buffer,
    zero_points: Buffer,
    widths: Buffer,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    out: Buffer,
) -> None: ...
def matvec(
    codes: Buffer,
    scales: Buffer,
    zero_points: Buffer,
    widths: Buffer,
    rows: SupportsIndex,
    cols: SupportsIndex,
    kind: str,
    bits: SupportsIndex,
    block: SupportsIndex,
    scale: SupportsIndex,
    x: Buffer,
    k: SupportsIndex,
    out: Buffer,
) -> None: ...
