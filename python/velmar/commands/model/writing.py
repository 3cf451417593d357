"""The files ``velmar model quantize`` writes: a velmar file or GGUF, streamed tensor by tensor."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterator
from dataclasses import replace
from typing import Any

import numpy as np

from velmar.commands.common import UsageError
from velmar.commands.model.choosing import Choice, spec_name
from velmar.commands.model.reading import Entry, GgufSource, Source
from velmar.commands.model.work import Done
from velmar.layout import BFLOAT16, Layout

Plan = list[tuple[Entry, Choice]]
COPY_BYTES = 16 << 20  # bytes copied at a time from an input GGUF


def write_safe(path: str, plan: Plan, results: Iterator[Done], src: Source) -> None:
    from velmar import io

    entries = []
    layouts: dict[str, Layout] = {}
    for entry, choice in plan:
        if choice.scheme is not None:
            layouts[entry.name] = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
        elif entry.stored is not None:
            layouts[entry.name] = entry.stored
        else:  # GGUF blocks velmar has no scheme for are written decoded
            dt = "float32" if entry.blocks else entry.dtype
            entries.append((entry.name, io.ST_NAMES[np.dtype(BFLOAT16) if dt == "bfloat16" else np.dtype(dt)],
                            entry.shape))
            continue
        entries += io.quantized_entries(entry.name, layouts[entry.name])
    meta = io.header_metadata(layouts, src.metadata)
    with io.Writer(path, entries, meta) as w:
        for d in results:
            if d.parts is None:
                if isinstance(d.kept, np.ndarray):
                    w.put(d.entry.name, d.kept)
                    continue
                d.parts = io.parts_of(d.kept)
            for part, array in d.parts.items():
                w.put(io.part_key(d.entry.name, part), array.reshape(-1))


# ---------------------------------------------------------------- GGUF


def gguf_plan(src: Source, plan: Plan, fallback: str | None) -> tuple[Plan, list[Any]]:
    """What each tensor becomes in GGUF, before any work: the plan as it will run and the file's slots.

    A scheme with a GGUF type gives that type; a tensor whose rows are not
    whole blocks of it falls back to the type's fallback or is kept; tensors
    quantized already are kept (a GGUF input's byte for byte); what has no
    GGUF type is refused, or with a fallback written decoded as f16 or f32.
    """
    from velmar import gguf_io

    copying = isinstance(src, GgufSource)  # kept tensors go from the input's bytes to the output's

    def plain(entry: Entry, choice: Choice) -> tuple[Any, Choice]:
        kind = gguf_io.PLAIN_OF.get(np.dtype(BFLOAT16) if entry.dtype == "bfloat16" else np.dtype(entry.dtype))
        return kind, replace(choice, copy=copying and kind is not None)

    out, slots = [], []
    for entry, choice in plan:
        kind, what = None, entry.dtype
        if isinstance(src, GgufSource) and entry.blocks:
            kind, choice = src.reader.by_name[entry.name].kind, replace(choice, copy=True)
        elif choice.scheme is not None or entry.stored is not None:
            lay = entry.stored
            if choice.scheme is not None:
                lay = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
            assert lay is not None
            what = spec_name(lay.scheme(), lay.scale_member)
            b = gguf_io.block_type(lay)
            while b is not None and not gguf_io.whole_rows(lay, b) and b.fallback is not None and entry.stored is None:
                b = gguf_io.BLOCK_TYPES[b.fallback]
                lay = Layout.for_scheme(b.scheme, b.scale, entry.shape, dtype=entry.dtype)
                choice = Choice(b.scheme, b.scale, f"{choice.reason}; rows of {lay.row_len} as {b.gguf.name}")
            if b is not None and gguf_io.whole_rows(lay, b):
                kind = b.gguf
            elif b is not None and entry.stored is None:
                kind, choice = plain(entry, Choice(None, choice.scale, f"rows of {lay.row_len} are not whole "
                                                                       f"blocks of {b.scheme.block}"))
        else:
            kind, choice = plain(entry, choice)
        if kind is None:
            if fallback is None:
                known = ", ".join(f"{b.gguf.name} is {spec_name(b.scheme, b.scale)}" for b in gguf_io.BLOCK_TYPES.values())
                raise UsageError(f"{entry.name}: {what} has no GGUF type ({known}, along the last axis); "
                                 "choose such a scheme or pass --gguf-fallback f16|f32")
            kind = gguf_io.PLAIN_OF[np.dtype(gguf_io.FALLBACKS[fallback])]
            choice = Choice(None, choice.scale, f"as {fallback}")
        out.append((entry, choice))
        slots.append(gguf_io.Slot(entry.name, entry.shape, kind))
    return out, slots


def gguf_fields(src: Source, slots: list[Any]) -> list[tuple[str, bytes]]:
    """The input's keys and values (or the architecture alone), the file type set to the type most values have."""
    from velmar import gguf_io

    fields = src.reader.fields() if isinstance(src, GgufSource) else [gguf_io.field("general.architecture", "velmar")]
    counts = Counter[Any]()
    for s in slots:
        if s.kind in gguf_io.BLOCK_TYPES:
            counts[s.kind] += int(np.prod(s.shape))
    if counts:
        new = gguf_io.field(gguf_io.FILE_TYPE_KEY, gguf_io.BLOCK_TYPES[counts.most_common(1)[0][0]].file_type)
        at = [i for i, (k, _) in enumerate(fields) if k == gguf_io.FILE_TYPE_KEY]
        fields = [*fields[: at[0]], new, *fields[at[0] + 1 :]] if at else [*fields, new]
    return fields


def write_gguf(path: str, src: Source, slots: list[Any], results: Iterator[Done]) -> None:
    from velmar import gguf_io, io

    alignment = src.reader.alignment if isinstance(src, GgufSource) else 32
    with gguf_io.Writer(path, gguf_fields(src, slots), slots, alignment) as w:
        for d, slot in zip(results, slots):
            b = gguf_io.BLOCK_TYPES.get(slot.kind)
            if d.choice.copy:
                assert isinstance(src, GgufSource)
                t = src.reader.by_name[slot.name]
                unit = b.block_bytes if b else 16  # whole blocks, or whole elements of any plain type
                step = max(1, COPY_BYTES // unit) * unit
                for start in range(0, t.nbytes, step):
                    w.put(src.reader.raw(t, start, start + step))
            elif b is not None and d.parts is not None:
                w.put(b.encode(d.parts, int(np.prod(d.entry.shape)) // b.scheme.block))
            elif b is not None:
                w.put(gguf_io.block_bytes(d.kept))
            else:
                obj: Any = d.kept if d.layout is None else io.build(d.layout, d.parts or {})
                values = obj if isinstance(obj, np.ndarray) else obj.dequantize()
                w.put(np.ascontiguousarray(values, gguf_io.PLAIN_TYPES[slot.kind]))
