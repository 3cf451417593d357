"""What ``velmar model quantize`` writes, streamed tensor by tensor: a velmar file or folder, GGUF, compressed-tensors."""

from __future__ import annotations

import itertools
import re
from collections.abc import Iterator
from dataclasses import replace
from typing import Any

import numpy as np

from velmar.commands.common import UsageError
from velmar.commands.model.choosing import Choice, spec_name
from velmar.commands.model.output import estimate
from velmar.commands.model.reading import Entry, GgufSource, SafetensorsSource, Source
from velmar.commands.model.work import Done
from velmar.layout import Layout, dtype_named, scale_name

Plan = list[tuple[Entry, Choice]]
COPY_BYTES = 16 << 20  # bytes copied at a time from an input GGUF


def _plain_array(entry: Entry) -> tuple[str, str, tuple[int, ...]]:
    """A tensor kept as an array; GGUF blocks velmar has no scheme for are written decoded."""
    from velmar import io

    return entry.name, io.ST_NAMES[np.dtype(np.float32) if entry.blocks else dtype_named(entry.dtype)], entry.shape


def _velmar_arrays(items: Plan) -> tuple[list[tuple[str, str, tuple[int, ...]]], dict[str, Layout]]:
    """The arrays a velmar file declares for these tensors, and the layouts of the quantized ones."""
    from velmar import io

    entries = []
    layouts: dict[str, Layout] = {}
    for entry, choice in items:
        if choice.scheme is not None:
            layouts[entry.name] = Layout.for_scheme(choice.scheme, choice.scale, entry.shape, dtype=entry.dtype)
        elif entry.stored is not None:
            layouts[entry.name] = entry.stored
        else:
            entries.append(_plain_array(entry))
            continue
        entries += io.quantized_entries(entry.name, layouts[entry.name])
    return entries, layouts


def check_names(fmt: str, plan: Plan) -> None:
    """Refuse, before any work, input names that collide in the output: a quantized tensor NAME is stored
    as NAME:codes and so on, a compressed-tensors layer M as M.weight_packed and so on."""
    from velmar import io

    entries = _ct_arrays(plan) if fmt == "compressed-tensors" else _velmar_arrays(plan)[0]
    try:
        io.check_keys(key for key, _, _ in entries)
    except ValueError as e:
        raise UsageError(f"a {fmt} output cannot hold the input's names: {e}") from None


def _put_velmar(w: Any, d: Done) -> None:
    from velmar import io

    if d.parts is None:
        if isinstance(d.kept, np.ndarray):
            w.put(d.entry.name, d.kept)
            return
        d.parts = io.parts_of(d.kept)
    for part, array in d.parts.items():
        w.put(io.part_key(d.entry.name, part), array.reshape(-1))


def write_safe(path: str, plan: Plan, results: Iterator[Done], src: Source) -> None:
    from velmar import io

    entries, layouts = _velmar_arrays(plan)
    with io.Writer(path, entries, io.header_metadata(layouts, src.metadata)) as w:
        for d in results:
            _put_velmar(w, d)


# ---------------------------------------------------------------- folders


def parse_size(text: str) -> int:
    """``5GB``, ``500MB``, ``2GiB`` or a count of bytes, as Hugging Face's max_shard_size."""
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMGT]i?B|B)?\s*", text, flags=re.I)
    if not m:
        raise UsageError(f"--max-shard-size: expected a size such as 5GB, 500MB or 2GiB, not {text!r}")
    unit = (m.group(2) or "B").upper()
    scale = 1 if unit == "B" else (1024 if "I" in unit else 1000) ** ("KMGT".index(unit[0]) + 1)
    size = int(float(m.group(1)) * scale)
    if size < 1:
        raise UsageError(f"--max-shard-size: {text!r} is less than a byte")
    return size


def shard_plan(src: Source, plan: Plan, max_bytes: int | None) -> list[str]:
    """The output shard of every tensor: the input's when it had shards and no size is asked, else by size."""
    from velmar import folders

    if max_bytes is None and isinstance(src, SafetensorsSource) and src.folder is not None:
        return [src.shard_of[e.name] for e, _ in plan]
    numbers, count, used = [], 1, 0
    for entry, choice in plan:
        size = estimate(entry, choice)[0]
        if used and max_bytes is not None and used + size > max_bytes:
            count, used = count + 1, 0
        numbers.append(count - 1)
        used += size
    names = folders.shard_names(count)
    return [names[i] for i in numbers]


def ct_plan(plan: Plan) -> Plan:
    """Refuse, before any work, what compressed-tensors cannot hold; keep what is no Linear weight or whole groups."""
    from velmar import ct_io

    out = []
    for entry, choice in plan:
        lay = entry.stored
        if choice.scheme is not None:
            scale = ct_io.checkpoint_scale(entry.dtype)
            if choice.scale != scale and choice.scale_named:
                raise UsageError(f"{entry.name}: compressed-tensors keeps scales in the checkpoint's dtype "
                                 f"({entry.dtype}): name no other scale than @{scale_name(scale)}")
            lay = Layout.for_scheme(choice.scheme, scale, entry.shape, dtype=entry.dtype)
            choice = replace(choice, scale=scale)
        if lay is None:
            out.append((entry, choice))
            continue
        why = ct_io.refusal(lay)
        if why is not None:
            raise UsageError(f"{entry.name}: {spec_name(lay.scheme(), lay.scale_member)}: {why}")
        if choice.scheme is not None and (not entry.name.endswith(".weight") or "embed" in entry.name.lower()):
            choice = Choice(None, choice.scale, "not a Linear weight")
        elif not ct_io.groups_fit(lay):
            if choice.scheme is None:
                raise UsageError(f"{entry.name}: quantized already along another axis or in rows of part groups, "
                                 "which compressed-tensors cannot hold")
            choice = Choice(None, choice.scale, f"rows of {lay.row_len} are not whole groups of {lay.block}")
        out.append((entry, choice))
    return out


def _ct_arrays(items: Plan) -> list[tuple[str, str, tuple[int, ...]]]:
    from velmar import ct_io, io

    entries = []
    for entry, choice in items:
        lay = entry.stored if choice.scheme is None else Layout.for_scheme(choice.scheme, choice.scale, entry.shape)
        if lay is None:
            entries.append(_plain_array(entry))
            continue
        module = entry.name.removesuffix(".weight")
        rows, cols = lay.shape
        entries += [(f"{module}.weight_packed", "I32", (rows, -(-cols * lay.bits // 32))),
                    (f"{module}.weight_scale", io.ST_NAMES[lay.part_dtype("scales")], (rows, lay.row_blocks)),
                    (f"{module}.weight_shape", "I64", (2,))]
    return entries


def _put_ct(w: Any, d: Done) -> None:
    from velmar import ct_io, io

    if d.parts is None and isinstance(d.kept, np.ndarray):
        w.put(d.entry.name, d.kept)
        return
    lay = d.layout or Layout.of(d.kept)
    for suffix, array in ct_io.pack(lay, d.parts if d.parts is not None else io.parts_of(d.kept)).items():
        w.put(f"{d.entry.name.removesuffix('.weight')}.{suffix}", array)


def ct_config(src: Source, plan: Plan) -> dict[str, Any]:
    """The input's config.json with quantization_config for what the plan quantizes; ignore lists what it keeps."""
    from velmar import ct_io

    groups: dict[tuple[int, int], list[str]] = {}
    ignore = []
    for entry, choice in plan:
        lay = entry.stored if choice.scheme is None else Layout.for_scheme(choice.scheme, choice.scale, entry.shape)
        module = entry.name.removesuffix(".weight")
        if lay is not None:
            groups.setdefault((lay.bits, lay.block), []).append(module)
        elif entry.name.endswith(".weight") and len(entry.shape) == 2:
            ignore.append(module)
    config = dict(_input_config(src) or {})
    config["quantization_config"] = ct_io.quantization_config(groups, ignore)
    return config


def _quant_method(config: dict[str, Any]) -> Any:
    """What the config says its weights are quantized by; a quantization_config of no fields says nothing."""
    qc = config.get("quantization_config")
    return qc.get("quant_method") if isinstance(qc, dict) else None


def _input_config(src: Source) -> dict[str, Any] | None:
    return src.folder.config if isinstance(src, SafetensorsSource) and src.folder is not None else None


def write_folder(path: str, fmt: str, src: Source, plan: Plan, shards: list[str], results: Iterator[Done]) -> None:
    """A model folder, shard by shard in the plan's order: velmar files, or compressed-tensors' safetensors."""
    from velmar import folders, io

    try:
        out = folders.FolderWriter(path)
    except ValueError as e:
        raise UsageError(str(e)) from None
    try:
        done = iter(results)
        for shard, group in itertools.groupby(zip(shards, plan), key=lambda x: x[0]):
            items = [item for _, item in group]
            if fmt == "compressed-tensors":
                w, put = out.shard(shard, _ct_arrays(items), {"format": "pt"}), _put_ct
            else:
                entries, layouts = _velmar_arrays(items)
                meta = src.folder.shards[shard].metadata if isinstance(src, SafetensorsSource) and src.folder and \
                    shard in src.folder.shards else src.metadata
                w, put = out.shard(shard, entries, io.header_metadata(layouts, meta)), _put_velmar
            for _ in items:
                put(w, next(done))
        folder = src.folder if isinstance(src, SafetensorsSource) else None
        others = list(folder.others) if folder else []
        config = _input_config(src)
        if fmt == "compressed-tensors":
            config = ct_config(src, plan)
        elif config and _quant_method(config) == "compressed-tensors":
            config = {k: v for k, v in config.items() if k != "quantization_config"}  # no longer what the files hold
        elif config is not None:
            config, others = None, [folders.CONFIG, *others]  # copied as it is
        out.commit(index=folder.index if folder else None, config=config, source=folder.path if folder else None,
                   others=others)
    except BaseException:
        out.abort()
        raise


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
        kind = gguf_io.PLAIN_OF.get(dtype_named(entry.dtype))
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
        try:
            slots.append(gguf_io.Slot(entry.name, entry.shape, kind))
        except ValueError as e:
            raise UsageError(f"a gguf output cannot hold the input: {e}") from None
    return out, slots


def gguf_fields(src: Source, slots: list[Any]) -> list[tuple[str, bytes]]:
    """The input's keys and values (or the architecture alone), with the file type and quantization version of
    what is written."""
    from velmar import gguf_io

    fields = src.reader.fields() if isinstance(src, GgufSource) else [gguf_io.field("general.architecture", "velmar")]
    return gguf_io.quantized_fields(fields, slots)


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
