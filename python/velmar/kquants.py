"""GGUF's super-block types (the K-quants) as velmar schemes.

``Q2_K``, ``Q3_K``, ``Q4_K``, ``Q5_K`` and ``Q6_K`` quantize rows that are
whole super-blocks of 256 values. A super-block's sub-blocks of 16 or 32
values each get a small integer scale (and, for Q2_K, Q4_K and Q5_K, an
integer offset), themselves scaled by one or two half-precision numbers per
super-block, and every super-block is stored in exactly the bytes of its
GGUF type: a tensor quantized along its last axis goes to a GGUF file as it
is, and gguf's own decoder gives back what velmar decodes, bit for bit.

Each sub-block's scale and offset come from a search: sixteen candidate
scales, each refitted by (weighted) least squares to the codes it gives; the
sub-block scales are then rounded against the super-block's halves, trying
the integers on either side and keeping the pair whose refitted codes leave
the least error.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

from velmar import _tensor
from velmar._native import Scheme

__all__ = ["Q2_K", "Q3_K", "Q4_K", "Q5_K", "Q6_K", "SUPER_BLOCK", "SuperBlockScheme", "TYPES", "by_name"]

SUPER_BLOCK: Final = 256
_FALLBACK_BITS: Final = {"q2_k": 4, "q3_k": 4, "q4_k": 4, "q5_k": 8, "q6_k": 8}


@dataclass(frozen=True)
class SuperBlockScheme:
    """One super-block type, for ``velmar.quantize_array(a, Q4_K)``; its ``kind`` is its name."""

    name: str  # q2_k ... q6_k, the GGUF type's name in lower case
    block_bytes: int  # bytes of one super-block

    @property
    def kind(self) -> str:
        return self.name

    @property
    def block(self) -> int:
        return SUPER_BLOCK

    @property
    def bits(self) -> None:
        return None

    @property
    def tolerance(self) -> None:
        return None

    @property
    def bits_per_element(self) -> float:
        return self.block_bytes * 8 / SUPER_BLOCK

    @property
    def fallback(self) -> Scheme:
        """What a tensor whose rows are not whole super-blocks takes instead (with half scales):
        GGUF's Q4_0 or Q8_0, the nearest of the legacy types, as llama.cpp's quantizer falls back."""
        return Scheme.symmetric(_FALLBACK_BITS[self.name], 32)

    def __repr__(self) -> str:
        return f"velmar.tensor.{self.name.upper()}"

    def __setstate__(self, state: object) -> None:
        # A pickle names a type of the table; sizes of its own would disagree with every tensor's.
        name = state.get("name") if isinstance(state, dict) else None
        known = _BY_NAME.get(name) if isinstance(name, str) else None
        if known is None or state != {"name": known.name, "block_bytes": known.block_bytes}:
            raise ValueError(f"malformed SuperBlockScheme state: {state!r:.80}")
        object.__setattr__(self, "name", known.name)
        object.__setattr__(self, "block_bytes", known.block_bytes)


TYPES: Final = tuple(SuperBlockScheme(name, size) for name, size in _tensor.super_types)
Q2_K, Q3_K, Q4_K, Q5_K, Q6_K = TYPES
_BY_NAME: Final = {t.name: t for t in TYPES}


def by_name(name: str) -> SuperBlockScheme | None:
    """The type called ``name`` (``q4_k``, any case), or None."""
    return _BY_NAME.get(name.strip().lower())
