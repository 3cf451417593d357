"""A type per tensor under a size budget.

Every tensor of a model may take one of several choices (a scheme, or being
kept as it is), each with its size and the error it leaves. ``choose`` picks
one per tensor so that the average bits per value stays at or below a target
and the total error is least, by marginal error per bit: every tensor starts
at its smallest choice, and the step that saves the most error per extra bit
and still fits is taken, again and again, until no step fits. Steps follow
each tensor's lower convex hull of (bits, error), so a choice that another
one beats in both size and error, or that lies above the line between two
others, is never taken; on that hull the greedy order is optimal up to the
last step that no longer fits.

The error of a choice is the squared error of the decoded values, each
column weighted by its importance when there is one (``measure``): with the
mean squared activations of an importance file as the weights, that is the
expected squared error of the layer's outputs, which adds up across tensors.
"""

from __future__ import annotations

import heapq
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from velmar._native import Scale

__all__ = ["Choice", "Tensor", "choose", "measure", "squared_error"]


@dataclass(frozen=True)
class Choice:
    label: str  # what the caller calls it: "q4_k", "keep", ...
    bits: int  # stored bits of the whole tensor
    error: float  # the (weighted) squared error it leaves


@dataclass(frozen=True)
class Tensor:
    name: str
    values: int
    choices: tuple[Choice, ...]


def _hull(choices: Sequence[Choice]) -> list[Choice]:
    """The lower convex hull of (bits, error), smallest first."""
    frontier: list[Choice] = []
    for c in sorted(choices, key=lambda c: (c.bits, c.error)):
        if frontier and c.error >= frontier[-1].error:
            continue  # no smaller error for more bits
        while len(frontier) >= 2:
            a, b = frontier[-2], frontier[-1]
            # b lies on or above the line from a to c: a straight step to c saves more per bit
            if (b.error - a.error) * (c.bits - a.bits) >= (c.error - a.error) * (b.bits - a.bits):
                frontier.pop()
            else:
                break
        frontier.append(c)
    return frontier


def choose(tensors: Sequence[Tensor], target_bpw: float) -> dict[str, Choice]:
    """One choice per tensor, averaging at most ``target_bpw`` bits per value
    over all of them, with the least total error (see the module doc)."""
    if not math.isfinite(target_bpw) or target_bpw <= 0:
        raise ValueError(f"the target must be a positive number of bits per value, not {target_bpw}")
    for t in tensors:
        if not t.choices:
            raise ValueError(f"{t.name}: no choices")
    values = sum(t.values for t in tensors)
    budget = target_bpw * values
    hulls = [_hull(t.choices) for t in tensors]
    at = [0] * len(tensors)
    used = sum(h[0].bits for h in hulls)
    if used > budget:
        raise ValueError(
            f"even the smallest choices average {used / max(values, 1):.4f} bits per value, "
            f"above the target of {target_bpw}")

    def step(i: int) -> tuple[float, int, int] | None:
        h, k = hulls[i], at[i]
        if k + 1 >= len(h):
            return None
        saved, cost = h[k].error - h[k + 1].error, h[k + 1].bits - h[k].bits
        return (-saved / cost if cost > 0 else -math.inf, i, k)

    heap = [s for i in range(len(tensors)) if (s := step(i)) is not None]
    heapq.heapify(heap)
    while heap:
        _, i, k = heapq.heappop(heap)
        cost = hulls[i][k + 1].bits - hulls[i][k].bits
        if used + cost > budget:
            continue  # this tensor's further steps cost even more per saved error
        used += cost
        at[i] = k + 1
        if (s := step(i)) is not None:
            heapq.heappush(heap, s)
    return {t.name: hulls[i][at[i]] for i, t in enumerate(tensors)}


def squared_error(values: npt.ArrayLike, decoded: npt.ArrayLike, weights: npt.ArrayLike | None = None) -> float:
    """The squared error of ``decoded`` against ``values`` over the last axis,
    each column times its weight, summed in float64."""
    x = np.asarray(values)
    if not x.size:  # whatever the shape claims ((2**60, 0) or (0, 2**59)): nothing to sum, nothing to allocate
        return 0.0
    x = x.astype(np.float64)
    err = np.square(np.asarray(decoded, np.float64) - x).reshape(-1, x.shape[-1] if x.ndim else 1).sum(axis=0)
    if weights is None:
        return float(err.sum())
    return float(np.dot(err, np.asarray(weights, np.float64).reshape(-1)))


def measure(values: npt.ArrayLike, schemes: Mapping[str, Any], *, weights: npt.ArrayLike | None = None,
            scale: Scale = Scale.F16, keep_bits: int | None = None) -> tuple[Choice, ...]:
    """The choices of one tensor (rows along the last axis): each scheme's
    size and the weighted squared error it leaves, fitted with the same
    weights (``scale`` for the schemes that take one); with ``keep_bits``,
    also keeping the tensor as it is, at no error."""
    from velmar import kquants, tensor

    x = np.asarray(values)
    out = []
    for label, scheme in schemes.items():
        s = Scale.F16 if isinstance(scheme, kquants.SuperBlockScheme) else scale
        t = tensor.quantize(x, scheme, scale=s, weights=weights)
        out.append(Choice(label, t.nbytes * 8, squared_error(x, t.dequantize(), weights)))
    if keep_bits is not None:
        out.append(Choice("keep", keep_bits, 0.0))
    return tuple(out)
