"""Quantization with a guaranteed absolute error bound.

Every finite value decodes to within ``bound`` of itself; NaN and infinities
decode to their own bits. The stored form is made of velmar records, so the
bulk decodes through velmar's own decoder:

- ``main``, an asymmetric 8-bit tensor of all values whose blocks share one
  scale, the step, chosen just under twice the bound; each block's zero point
  is a whole number of steps near the block's mean, so codes are small
  numbers centred on zero (what a following Zstd compresses best);
- blocks whose values span more than 255 steps, or that fail the check after
  encoding, are stored again as ``wide`` (an asymmetric 16-bit tensor of those
  blocks) or, where 16 bits fail too, as ``raw`` float32; their codes in
  ``main`` are zero;
- ``patch_at`` and ``patch_bits`` hold the positions and bit patterns of the
  non-finite values, which are encoded as their nearest finite predecessor.

Every block is decoded after encoding and compared with its input, so the
bound holds whatever the data, the scale type or the CPU.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar._native import Scale, Scheme
from velmar.layout import Layout, scale_dtype
from velmar.tensor import QuantizedTensor

__all__ = ["Bounded", "decode", "encode", "put", "span", "take"]

F32: Final = np.dtype(np.float32)
# Codes of the wide blocks: the widest the asymmetric kind stores.
_WIDE_BITS: Final = 16


@dataclass(frozen=True)
class Bounded:
    """An array of ``size`` values encoded within a bound (see the module doc)."""

    main: QuantizedTensor
    wide_blocks: npt.NDArray[np.int64]
    wide: QuantizedTensor
    raw_blocks: npt.NDArray[np.int64]
    raw: npt.NDArray[np.float32]
    patch_at: npt.NDArray[np.int64]
    patch_bits: npt.NDArray[np.uint32]

    @property
    def size(self) -> int:
        return self.main.shape[0]

    @property
    def block(self) -> int:
        return self.main.scheme.block


def take(x: npt.NDArray[Any], blocks: npt.NDArray[np.int64], block: int) -> npt.NDArray[Any]:
    """The values of ``blocks`` (sorted) of ``x``, one block after another."""
    whole = x.size // block
    rows = x[: whole * block].reshape(-1, block)[blocks[blocks < whole]].reshape(-1)
    return np.concatenate((rows, x[whole * block :])) if blocks.size and blocks[-1] == whole else rows


def span(blocks: npt.NDArray[np.int64], block: int, n: int) -> int:
    """How many of ``n`` values the (sorted, distinct) ``blocks`` hold."""
    short = n % block if blocks.size and blocks[-1] == n // block else 0
    return blocks.size * block - (block - short if short else 0)


def put(x: npt.NDArray[Any], blocks: npt.NDArray[np.int64], block: int, values: npt.NDArray[Any]) -> None:
    """The inverse of ``take``: writes ``values`` into the places of ``blocks`` in ``x``."""
    whole = x.size // block
    inside = blocks[blocks < whole]
    x[: whole * block].reshape(-1, block)[inside] = values[: inside.size * block].reshape(-1, block)
    if inside.size < blocks.size:
        x[whole * block :] = values[inside.size * block :]


def _round_down(value: float, dtype: np.dtype[Any]) -> float:
    """The largest non-negative number of ``dtype`` not above ``value`` (value >= 0)."""
    x = np.asarray(value).astype(dtype)
    if float(x) > value:
        bits = np.dtype(f"u{dtype.itemsize}")
        x = (x.view(bits) - 1).astype(bits).view(dtype)
    return float(x)


def _step(amax: float, bound: float, stored: np.dtype[Any]) -> np.float32 | None:
    """The shared scale. A step s with s/2 * (1 + 2**-15) + m * 2**-21 <= bound keeps the error of
    a value of magnitude up to m within the bound through every float32 rounding of encoding
    (x / s, minus the zero point) and decoding (s * (q - z)). m is the largest magnitude, but at
    most bound * 2**17, so that one huge value costs no more than a sixteenth of the step: blocks
    beyond it are checked like all others and fall back on their own. None when no positive step
    of the stored type qualifies."""
    target = 2.0 * (bound - min(amax, bound * 2.0**17) * 2.0**-21) * (1.0 - 2.0**-15)
    if not target > 0:
        return None
    s = _round_down(min(target, float(np.finfo(F32).max)), stored)
    s32 = _round_down(s, F32)
    return np.float32(s32) if s32 > 0 and s32 == s else None


def _threshold(bound: float) -> np.float32:
    """A float32 t such that |float32(d - x)| <= t proves |d - x| <= bound."""
    return np.float32(_round_down(min(bound * (1.0 - 2.0**-22), float(np.finfo(F32).max)), F32))


def _finite(x: npt.NDArray[np.float32]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64], npt.NDArray[np.uint32]]:
    """``x`` with every non-finite value replaced by the finite one before it (or after it, at
    the start), the replaced positions and their bit patterns."""
    bad = ~np.isfinite(x)
    at = np.flatnonzero(bad).astype(np.int64)
    bits = x.view(np.uint32)[at]
    good = np.flatnonzero(~bad)
    if good.size == 0:
        return np.zeros_like(x), at, bits
    source = np.maximum.accumulate(np.where(bad, 0, np.arange(x.size)))
    source[: good[0]] = good[0]
    return x[source], at, bits


def _centre(mean: npt.NDArray[np.float32], low: npt.NDArray[np.float32], high: npt.NDArray[np.float32],
            bits: int) -> npt.NDArray[np.float32]:
    """Per block, the centre nearest its mean (in steps) that keeps its range low..high within codes
    of ``bits`` bits, where the range allows."""
    half = 1 << (bits - 1)
    return np.clip(mean, high - (half - 1), low + half)


def _stored_centre(centre: npt.NDArray[Any], stored: np.dtype[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.float32]]:
    """Zero points -centre in the stored type, and the centres they stand for exactly."""
    z = np.negative(np.nan_to_num(centre, nan=0.0, posinf=0.0, neginf=0.0)).astype(stored)
    return z, np.negative(z.astype(F32))


def _rows(x: npt.NDArray[np.float32], blocks: npt.NDArray[np.int64], block: int) -> npt.NDArray[np.float32]:
    """The values of ``blocks`` as rows; a short last block is filled up with its own values,
    which leaves its range alone. A block longer than the array is a row as long as the array:
    filled up to a configured 2**31, it would take gigabytes for a few values."""
    values = take(x, blocks, block)
    width = min(block, x.size)
    return np.resize(values, (blocks.size, width)) if values.size % width else values.reshape(-1, width)


class _Encoder:
    def __init__(self, x: npt.NDArray[np.float32], bound: float, block: int, scale: Scale) -> None:
        self.n, self.block, self.scale = x.size, block, scale
        self.stored = scale_dtype(scale)
        self.blocks = -(-self.n // block)
        with np.errstate(invalid="ignore"):
            lo, hi = float(x.min(initial=0.0)), float(x.max(initial=0.0))
        if np.isfinite(lo) and np.isfinite(hi):
            self.x, self.patch_at, self.patch_bits = x, np.empty(0, np.int64), np.empty(0, np.uint32)
        else:
            self.x, self.patch_at, self.patch_bits = _finite(x)
            lo, hi = float(self.x.min(initial=0.0)), float(self.x.max(initial=0.0))
        self.threshold = _threshold(bound)
        self.step = _step(max(-lo, hi), bound, self.stored)
        # Block sums in steps below 2**24 are exact in float in any order: the same centres on every CPU.
        self.exact_sums = self.step is not None and block * max(-lo, hi) / float(self.step) < 2.0**23
        self.codes = np.zeros(self.n, np.int8)
        self.zero_points = np.zeros(self.blocks, self.stored)

    def tensor(self, bits: int, codes: npt.NDArray[Any], zero_points: npt.NDArray[Any]) -> QuantizedTensor:
        """The asymmetric tensor of ``codes``, which the encoder never writes again, and ``zero_points``."""
        parts = {"codes": codes.view(np.uint8), "zero_points": zero_points, "widths": np.empty(0, np.uint32),
                 "scales": np.full(zero_points.size, 1.0 if self.step is None else self.step, self.stored)}
        layout = Layout.for_scheme(Scheme.asymmetric(bits, self.block), self.scale, (codes.size,), 0)
        return QuantizedTensor._handed_over(layout, parts)

    def bulk(self) -> npt.NDArray[np.int64]:
        """Codes of every block around its mean; returns the blocks that fail the check."""
        assert self.step is not None
        failed = _tensor.centred_codes(self.x, self.block, float(self.step), float(self.threshold), self.exact_sums,
                                       int(self.scale), self.codes, self.zero_points.view(np.uint8))
        return np.frombuffer(failed, np.int64)

    def failing(self, decoded: npt.NDArray[np.float32], x: npt.NDArray[np.float32],
                blocks: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Which of ``blocks`` (whose values ``decoded`` and ``x`` hold, in order) miss the bound;
        overwrites ``decoded``."""
        t = self.threshold
        with np.errstate(over="ignore", invalid="ignore"):
            err = np.subtract(decoded, x, out=decoded)
            if err.max(initial=0.0) <= t and err.min(initial=0.0) >= -t:
                return np.empty(0, np.int64)
            bad = np.flatnonzero(~((err <= t) & (err >= -t)))
        # Every block but the array's last is whole, so a position's block is position // block.
        return np.unique(blocks[bad // self.block])

    def refit(self, blocks: npt.NDArray[np.int64], bits: int) -> tuple[npt.NDArray[np.int64], QuantizedTensor]:
        """Codes of ``bits`` bits for ``blocks``, around their means as far as their range allows;
        returns the blocks that still fail and the tensor of all ``blocks``."""
        assert self.step is not None
        inv = np.float32(1.0) / self.step
        rows = _rows(self.x, blocks, self.block)
        half = 1 << (bits - 1)
        with np.errstate(over="ignore", invalid="ignore"):
            k = np.rint(rows * inv)
            mean = np.rint(np.add.reduce(k, axis=1, dtype=np.float64) / k.shape[1]).astype(F32)
            zero_points, c = _stored_centre(_centre(mean, k.min(axis=1), k.max(axis=1), bits), self.stored)
            np.subtract(k, c[:, None], out=k)
            np.clip(k, -half, half - 1, out=k)
            codes = k.astype(np.int16 if bits > 8 else np.int8)
        x = take(self.x, blocks, self.block)
        t = self.tensor(bits, codes.reshape(-1)[: x.size], zero_points)
        return self.failing(t.dequantize(), x, blocks), t

    def finish(self, failed: npt.NDArray[np.int64]) -> Bounded:
        wide_blocks = np.empty(0, np.int64)
        wide = self.tensor(_WIDE_BITS, np.empty(0, np.int16), np.empty(0, self.stored))
        if failed.size and self.step is not None:
            # Blocks whose mean sits off the middle of their range may still fit 8 bits.
            still, eight = self.refit(failed, 8)
            passed = ~np.isin(failed, still)
            parts = eight.parts()
            put(self.codes, failed[passed], self.block, take(parts["codes"].view(np.int8), np.flatnonzero(passed), self.block))
            self.zero_points[failed[passed]] = parts["zero_points"][passed]
            failed = still
        if failed.size and self.step is not None:
            put(self.codes, failed, self.block, np.zeros(span(failed, self.block, self.n), np.int8))
            self.zero_points[failed] = 0
            still, sixteen = self.refit(failed, _WIDE_BITS)
            if still.size < failed.size:
                ok = np.flatnonzero(~np.isin(failed, still))
                parts = sixteen.parts()
                wide_blocks = failed[ok]
                wide = self.tensor(_WIDE_BITS, take(parts["codes"].view(np.int16), ok, self.block),
                                   parts["zero_points"][ok])
            failed = still
        return Bounded(
            main=self.tensor(8, self.codes, self.zero_points),
            wide_blocks=wide_blocks, wide=wide,
            raw_blocks=failed, raw=take(self.x, failed, self.block),
            patch_at=self.patch_at, patch_bits=self.patch_bits,
        )

def encode(x: npt.ArrayLike, bound: float, block: int, scale: Scale = Scale.F32) -> Bounded:
    """``x`` (1-D float32) encoded so that every finite value decodes within ``bound`` of itself."""
    if not (isinstance(bound, (int, float, np.floating)) and 0 < bound < float("inf")):
        raise ValueError(f"bound: expected a positive finite number, got {bound!r}")
    values = np.ascontiguousarray(x, F32)
    if values.ndim != 1:
        raise ValueError(f"expected a 1-D array, got {values.ndim} dimensions")
    # A step near the ends of the scale's range over- or underflows on the way; every
    # result is checked against the bound, so the caller's NumPy error settings don't apply.
    with np.errstate(all="ignore"):
        enc = _Encoder(values, bound, block, scale)
        if enc.step is None or enc.n == 0:
            return enc.finish(np.arange(enc.blocks, dtype=np.int64))
        return enc.finish(enc.bulk())


def decode(b: Bounded, out: npt.NDArray[np.float32] | None = None) -> npt.NDArray[np.float32]:
    """The values ``b`` stands for, into ``out`` (1-D float32 of ``b.size``) when given."""
    result = b.main.dequantize(out)
    put(result, b.wide_blocks, b.block, b.wide.dequantize())
    put(result, b.raw_blocks, b.block, b.raw)
    result.view(np.uint32)[b.patch_at] = b.patch_bits
    return result
