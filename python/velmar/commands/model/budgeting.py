"""``--target-bpw B``: a type per tensor so that the file averages at most B bits per value with the least
(importance-weighted) error.

Tensors kept as they are, and those a rule names a scheme for, stay as they are and count in the average;
every tensor the default scheme would take may take any allowed type instead. Each such tensor is
quantized with every allowed type (and each measured, weighted by its importance where there is some),
then velmar.budget chooses by marginal error per bit.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace

from velmar import budget
from velmar.commands.common import UsageError
from velmar.commands.model.choosing import Choice, fitted, parse_spec, spec_name
from velmar.commands.model.reading import Entry, Source
from velmar.commands.model.work import chunks, quantized

ALLOWED = "q2_k,q3_k,q4_k,q5_k,q6_k"


@dataclass(frozen=True)
class Chosen:
    """The plan of one tensor under the budget, for the dry run."""

    entry: Entry
    choice: Choice
    bits: int
    error: float


def _measure(src: Source, entry: Entry, choices: list[Choice]) -> list[budget.Choice]:
    """Every choice's stored bits and (weighted) squared error on this tensor, read chunk by chunk."""
    bits, errors = [0] * len(choices), [0.0] * len(choices)
    measured = any(c.scheme is not None for c in choices)  # a kept tensor (a 0-d one, say) is not read at all
    for start, chunk in chunks(src.rows(entry.name), entry.shape) if measured else ():
        for k, choice in enumerate(choices):
            if choice.scheme is None:
                continue
            for values, weights, qt in quantized(chunk, choice, start):
                bits[k] += qt.nbytes * 8
                errors[k] += budget.squared_error(values, qt.dequantize(), weights)
    return [budget.Choice(spec_name(c.scheme, c.scale), b if c.scheme else entry.nbytes * 8, e)
            for c, b, e in zip(choices, bits, errors)]


def choose_types(src: Source, plan: list[tuple[Entry, Choice]], target: float, allowed: str,
                 block: int) -> list[Chosen]:
    """The plan with the default scheme's tensors given their budget choice."""
    options = [parse_spec(text, block) for text in allowed.split(",") if text.strip()]
    if not options:
        raise UsageError("--allow names no scheme")
    tensors, candidates = [], []
    for entry, choice in plan:
        mine: list[Choice] = []
        if choice.scheme is not None and choice.reason == "default":
            for scheme, scale in options:
                c = fitted(entry, replace(choice, scheme=scheme, scale=scale or choice.scale))
                if all(spec_name(c.scheme, c.scale) != spec_name(o.scheme, o.scale) for o in mine):
                    mine.append(c)
        else:
            mine.append(choice)
        candidates.append(mine)
        tensors.append(budget.Tensor(entry.name, math.prod(entry.shape), tuple(_measure(src, entry, mine))))
    try:
        picked = budget.choose(tensors, target)
    except ValueError as e:
        raise UsageError(f"--target-bpw {target}: {e}") from None
    out = []
    for (entry, _), mine, t in zip(plan, candidates, tensors):
        got = picked[entry.name]
        choice = mine[t.choices.index(got)]
        out.append(Chosen(entry, choice, got.bits, got.error))
    return out
