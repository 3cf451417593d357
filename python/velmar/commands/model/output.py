"""What the model command prints: the report's rows, table and chart, and the plan of a dry run."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from velmar.commands.common import UsageError, human, optional, save_figure
from velmar.commands.model.budgeting import Chosen
from velmar.commands.model.choosing import Choice, spec_name
from velmar.commands.model.reading import Entry
from velmar.commands.model.work import Done
from velmar.layout import Layout

COLUMNS = ("tensor", "shape", "dtype", "scheme", "bits/elem", "before", "after", "rel rms", "SQNR dB", "max error")


def row_of(d: Done) -> dict[str, Any]:
    quantized = d.layout is not None
    stored = d.entry.stored
    if quantized:
        scheme = spec_name(d.choice.scheme, d.choice.scale)
    elif stored is not None:
        scheme = f"{spec_name(stored.scheme(), stored.scale_member)} (stored)"
    elif d.entry.blocks:
        scheme = f"{d.entry.dtype} (stored)"
    else:
        scheme = f"keep ({d.choice.reason})"
    rms = math.sqrt(d.sse / d.ssx) if quantized and d.ssx > 0 else None
    sqnr = (10 * math.log10(d.ssx / d.sse) if d.sse > 0 else None) if quantized and d.ssx > 0 else None
    return {
        "name": d.entry.name,
        "shape": list(d.entry.shape),
        "dtype": d.entry.dtype,
        "scheme": scheme,
        "bits_per_element": 8 * d.after / d.count if d.count else 0.0,
        "bytes_before": d.entry.nbytes,
        "bytes_after": d.after,
        "relative_rms_error": rms,
        "sqnr_db": sqnr,
        "max_error": d.max_error if quantized else None,
    }


def totals_of(done: Sequence[Done]) -> dict[str, Any]:
    count = sum(d.count for d in done)
    measured = [d for d in done if d.layout is not None]
    sse = sum(d.sse for d in measured)
    ssx = sum(d.ssx for d in measured)
    after = sum(d.after for d in done)
    return {
        "name": f"total ({len(done)} tensors, {len(measured)} quantized)",
        "shape": [count],
        "dtype": "",
        "scheme": "",
        "bits_per_element": 8 * after / count if count else 0.0,
        "bytes_before": sum(d.entry.nbytes for d in done),
        "bytes_after": after,
        "relative_rms_error": math.sqrt(sse / ssx) if ssx > 0 else None,
        "sqnr_db": 10 * math.log10(ssx / sse) if ssx > 0 and sse > 0 else None,
        "max_error": max((d.max_error for d in measured), default=None),
    }


def table(rows: Sequence[dict[str, Any]], totals: dict[str, Any]) -> str:
    def num(v: float | None, spec: str) -> str:
        return "-" if v is None else format(v, spec)

    cells = [
        (r["name"], "x".join(map(str, r["shape"])) or "scalar", r["dtype"], r["scheme"], f"{r['bits_per_element']:.3f}",
         human(r["bytes_before"]), human(r["bytes_after"]), num(r["relative_rms_error"], ".3e"),
         num(r["sqnr_db"], ".1f"), num(r["max_error"], ".3e"))
        for r in [*rows, totals]
    ]
    widths = [max(len(c[i]) for c in [COLUMNS, *cells]) for i in range(len(COLUMNS))]

    def line(cols: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if i < 4 else c.rjust(w) for i, (c, w) in enumerate(zip(cols, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(COLUMNS), rule, *(line(c) for c in cells[:-1]), rule, line(cells[-1])])


def plot(rows: Sequence[dict[str, Any]], path: str, title: str) -> None:
    Figure = optional("matplotlib.figure", "--plot").Figure
    shown = [r for r in rows if r["relative_rms_error"] is not None]
    fig = Figure(figsize=(8, 1.5 + 0.22 * max(1, len(shown))), layout="constrained")
    ax = fig.add_subplot()
    ax.barh(range(len(shown)), [r["relative_rms_error"] for r in shown], color="tab:blue")
    ax.set_yticks(range(len(shown)), [f"{r['name']} ({r['scheme']})" for r in shown], fontsize="small")
    ax.invert_yaxis()
    if any(r["relative_rms_error"] > 0 for r in shown):
        ax.set_xscale("log")
    ax.set_xlabel("relative RMS error")
    ax.set_title(title)
    save_figure(fig, path, 100)


def estimate(entry: Entry, choice: Choice) -> tuple[int, bool]:
    """Bytes the tensor will take, and whether that is only a bound (adaptive widths are known after the work)."""
    if choice.scheme is None:
        return entry.nbytes, False
    lay = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
    return sum(c * lay.part_dtype(p).itemsize for p, c in lay.max_part_counts().items()), lay.row_code_bytes is None


def plan_line(entry: Entry, choice: Choice) -> str:
    what = spec_name(choice.scheme, choice.scale) if choice.scheme else f"keep ({choice.reason})"
    size, bound = estimate(entry, choice)
    note = f"  ({choice.note})" if choice.note else ""
    return (f"{entry.name}  {'x'.join(map(str, entry.shape))}  {entry.dtype}  {what}  "
            f"{human(entry.nbytes)} -> {'<= ' if bound else ''}{human(size)}{note}")


def budget_lines(chosen: Sequence[Chosen], target: float) -> str:
    """Each tensor's size and (weighted) squared error under the budget, then the totals."""
    lines = [f"{c.entry.name}  {spec_name(c.choice.scheme, c.choice.scale)}  "
             f"{c.bits / max(1, math.prod(c.entry.shape)):.4f} bits/value  error {c.error:.4g}" for c in chosen]
    values = sum(math.prod(c.entry.shape) for c in chosen)
    bits = sum(c.bits for c in chosen)
    lines.append(f"budget: {bits / max(1, values):.4f} bits per value (target {target:g}) over {values} values, "
                 f"total error {sum(c.error for c in chosen):.4g}")
    return "\n".join(lines)
