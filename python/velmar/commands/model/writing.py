"""The files ``velmar model quantize`` writes: a velmar file or GGUF."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from velmar.commands.common import UsageError
from velmar.commands.model.choosing import Choice, spec_name
from velmar.commands.model.reading import Entry, Source
from velmar.commands.model.work import Done
from velmar.layout import BFLOAT16, Layout


def gguf_check(plan: list[tuple[Entry, Choice]], fallback: str | None) -> list[tuple[Entry, Choice]]:
    """Refuse, before any work, what GGUF cannot hold; with a fallback, keep it to be cast."""
    from velmar import gguf_io

    out = []
    for entry, choice in plan:
        stored = entry.stored
        if choice.scheme is not None:
            lay = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
            ok = _maps(lay, gguf_io)
            what = spec_name(choice.scheme, choice.scale)
        elif stored is not None:
            ok, what = _maps(stored, gguf_io), spec_name(stored.scheme(), stored.scale_member)
        else:
            ok = entry.dtype in ("float32", "float16", "float64", "bfloat16", "int8", "int16", "int32", "int64")
            what = entry.dtype
        if not ok and fallback is None:
            raise UsageError(
                f"{entry.name}: {what} has no GGUF type (Q8_0 is symmetric:8@f16 and Q4_0 symmetric:4@f16, "
                "block 32, rows of whole blocks); choose such a scheme or pass --gguf-fallback f16|f32")
        out.append((entry, choice if ok else Choice(None, choice.scale, f"as {fallback}")))
    return out


def _maps(lay: Layout, gguf_io: Any) -> bool:
    return (lay.kind == "symmetric" and lay.bits in gguf_io.EXACT and lay.block == gguf_io.QK and lay.scale == "f16"
            and lay.row_len % gguf_io.QK == 0)


def write_safe(path: str, plan: list[tuple[Entry, Choice]], results: Iterator[Done], src: Source) -> None:
    from velmar import io

    entries = []
    layouts: dict[str, Layout] = {}
    for entry, choice in plan:
        if choice.scheme is not None:
            layouts[entry.name] = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
        elif entry.stored is not None:
            layouts[entry.name] = entry.stored
        else:
            dt = io.ST_NAMES[np.dtype(BFLOAT16) if entry.dtype == "bfloat16" else np.dtype(entry.dtype)]
            entries.append((entry.name, dt, entry.shape))
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


def write_gguf(path: str, results: Iterator[Done], fallback: str | None) -> None:
    from velmar import gguf_io, io

    prepared: list[tuple[str, npt.NDArray[Any], Any]] = []
    for d in results:
        obj: Any = d.kept if d.layout is None else io.build(d.layout, d.parts or {})
        if d.choice.reason.startswith("as ") and fallback is not None:
            values = obj.dequantize() if not isinstance(obj, np.ndarray) else obj
            prepared.append((d.entry.name, np.asarray(values, gguf_io.FALLBACKS[fallback]), None))
        elif isinstance(obj, np.ndarray):
            prepared.append((d.entry.name, *gguf_io._plain(d.entry.name, obj)))
        else:
            kind = gguf_io.gguf_type(obj)
            assert kind is not None  # checked before the work
            prepared.append((d.entry.name, gguf_io.to_blocks(obj, kind), kind))
    gguf_io.write(path, prepared, "velmar")
