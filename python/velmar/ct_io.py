"""compressed-tensors checkpoints: velmar's symmetric 4- and 8-bit schemes as its "pack-quantized" group format.

A Linear layer M quantized with symmetric codes in groups along its input
axis is stored as ``M.weight_packed`` (int32 words: each row's codes offset by
2**(bits-1) to unsigned, packed least significant bit first without gaps,
each row padded to whole words), ``M.weight_scale`` (rows x groups, in the
checkpoint's dtype) and ``M.weight_shape`` (int64: rows, columns), described
by ``quantization_config`` in config.json. velmar's codes are two's
complement in the same stream, so converting flips each code's top bit and
pads the rows: no value changes. Symmetric velmar blocks along the last axis
are the format's groups; other schemes have no form in it.
"""

from __future__ import annotations

import math
import re
import re._constants as _sre  # type: ignore[import-not-found]  # no stubs for the parser's modules
import re._parser as _sre_parser  # type: ignore[import-not-found]
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from velmar import io
from velmar._native import Scale, Scheme
from velmar.io import Stored
from velmar.layout import Layout, packed_len, scale_dtype, scale_stored_as

__all__ = ["BITS", "Packed", "build", "find", "load", "pack", "quantization_config", "refusal", "unpack"]

BITS = (4, 8)
SUFFIXES = ("weight_packed", "weight_scale", "weight_shape")
# XOR of a byte of codes that turns two's complement into code + 2**(bits-1).
_FLIP = {4: 0x88, 8: 0x80}
def checkpoint_scale(dtype: str) -> Scale:
    """The scale type of a checkpoint whose weights are ``dtype``: the format keeps scales in it."""
    scale = scale_stored_as(dtype)
    return Scale.F32 if scale is None else scale


def refusal(layout: Layout) -> str | None:
    """Why a quantized layout has no compressed-tensors form, or None when it has one."""
    if layout.kind != "symmetric" or layout.bits not in BITS:
        return "only symmetric 4- and 8-bit schemes have a compressed-tensors form"
    return None


def groups_fit(layout: Layout) -> bool:
    """Whether the rows are whole groups along the last axis of a matrix, as the format needs."""
    return len(layout.shape) == 2 and layout.axis == 1 and layout.row_len % layout.block == 0


def _flipped(codes: npt.NDArray[np.uint8], cols: int, bits: int) -> npt.NDArray[np.uint8]:
    """Rows of code bytes with each code's top bit flipped; the padding of a row of an odd number of 4-bit
    codes stays zero both ways."""
    out = codes ^ np.uint8(_FLIP[bits])
    if cols * bits % 8:
        out[:, -1] &= 0x0F
    return out


def pack(layout: Layout, parts: Mapping[str, npt.NDArray[Any]]) -> dict[str, npt.NDArray[Any]]:
    """The three arrays of one layer (keys are the suffixes after ``M.``)."""
    rows, cols = layout.shape
    row_bytes = packed_len(cols, layout.bits)
    words = -(-row_bytes // 4)
    packed = np.zeros((rows, words * 4), np.uint8)
    packed[:, :row_bytes] = _flipped(parts["codes"].reshape(rows, row_bytes), cols, layout.bits)
    return {
        "weight_packed": packed.view("<i4"),
        "weight_scale": parts["scales"].reshape(rows, layout.row_blocks),
        "weight_shape": np.array([rows, cols], np.int64),
    }


def unpack(layout: Layout, packed: npt.NDArray[Any], scales: npt.NDArray[Any]) -> dict[str, npt.NDArray[Any]]:
    """velmar parts of one layer from its packed words and scales (their shapes checked by ``find``)."""
    rows, cols = layout.shape
    words = np.ascontiguousarray(packed, "<i4").view(np.uint8).reshape(rows, -1)
    codes = _flipped(words[:, : packed_len(cols, layout.bits)], cols, layout.bits)
    empty = np.zeros(0, scales.dtype)
    return {"codes": codes.reshape(-1), "scales": np.ascontiguousarray(scales).reshape(-1), "zero_points": empty,
            "widths": np.zeros(0, np.uint32)}


def _target(module: str) -> str:
    """A target that names ``module`` alone: a plain name that starts with ``re:`` would be read as a pattern."""
    return "re:" + re.escape(module) + r"\Z" if module.startswith("re:") else module


def quantization_config(groups: Mapping[tuple[int, int], list[str]], ignore: list[str]) -> dict[str, Any]:
    """``quantization_config`` for layers quantized with (bits, group size) -> their module names."""
    return {
        "quant_method": "compressed-tensors",
        "format": "pack-quantized",
        "quantization_status": "compressed",
        "config_groups": {
            f"group_{i}": {
                "targets": [_target(n) for n in names],
                "weights": {"num_bits": bits, "type": "int", "symmetric": True, "strategy": "group",
                            "group_size": group, "dynamic": False},
                "input_activations": None,
                "output_activations": None,
                "format": "pack-quantized",
            }
            for i, ((bits, group), names) in enumerate(sorted(groups.items()))
        },
        "ignore": [_target(n) for n in ignore],
    }


@dataclass(frozen=True)
class Packed:
    """One quantized layer of a checkpoint: where its arrays are and what they hold."""

    module: str
    layout: Layout

    @property
    def name(self) -> str:
        return f"{self.module}.weight"

    def key(self, suffix: str) -> str:
        return f"{self.module}.{suffix}"


def _scheme_for(module: str, config: Mapping[str, Any], where: str) -> tuple[int, int | None]:
    """(bits, group size or None for one group per row) of a module, from the config group that targets it.

    A group naming the module (or a ``re:`` expression matching it) wins over
    one that names a class, which this reader cannot tell apart.
    """
    groups = config.get("config_groups")
    groups = [g for g in groups.values() if isinstance(g, dict)] if isinstance(groups, dict) else []
    named, by_class = [], []
    for group in groups:
        targets = group.get("targets")
        targets = [t for t in targets if isinstance(t, str)] if isinstance(targets, list) else []
        for t in targets:
            if t.startswith("re:"):
                _check_target(t, module, where)
        if any(t == module or (t.startswith("re:") and _matches(t[3:], module)) for t in targets):
            named.append(group)
        elif any(not t.startswith("re:") and "." not in t for t in targets):
            by_class.append(group)
    if not named + by_class:
        raise ValueError(f"{where}: {module}.weight_packed: no group of quantization_config targets it")
    w = (named + by_class)[0].get("weights")
    w = w if isinstance(w, dict) else {}
    strategy, group_size = w.get("strategy"), w.get("group_size")
    if w.get("type") != "int" or w.get("symmetric") is not True or w.get("num_bits") not in BITS or strategy not in (
            "group", "channel") or (strategy == "group" and (type(group_size) is not int or group_size < 1)):
        raise ValueError(f"{where}: {module}.weight_packed: velmar reads symmetric int groups or channels of "
                         f"{' or '.join(map(str, BITS))} bits, not {w!r:.120}")
    return int(w["num_bits"]), group_size if strategy == "group" else None


def _matches(pattern: str, name: str) -> bool:
    try:
        return re.match(pattern, name) is not None
    except re.error:
        return False


def _backtracks(items: Any, repeated: bool = False) -> bool:
    """Whether a parsed pattern repeats something that can itself match in more than one way
    (a repeat or alternatives inside a repeat): Python's matcher may then try every split of a
    name, in time exponential in its length, and a config.json could hang the reader."""
    for op, av in items:
        if op in (_sre.MAX_REPEAT, _sre.MIN_REPEAT, _sre.POSSESSIVE_REPEAT):
            if repeated or _backtracks(av[2], av[1] > 1):
                return True
        elif op is _sre.BRANCH:
            if repeated or any(_backtracks(b) for b in av[1]):
                return True
        elif op in (_sre.SUBPATTERN, _sre.ASSERT, _sre.ASSERT_NOT, _sre.ATOMIC_GROUP):
            if _backtracks(av if op is _sre.ATOMIC_GROUP else av[-1], repeated):
                return True
        elif op is _sre.GROUPREF_EXISTS and (repeated or any(_backtracks(b) for b in av[1:] if b)):
            return True
    return False


def _free_repeats(items: Any) -> int:
    """How many repeats of a varying count a parsed pattern holds: a name of n characters
    can be split among k of them one after another in comb(n + k, k) ways."""
    count = 0
    for op, av in items:
        if op in (_sre.MAX_REPEAT, _sre.MIN_REPEAT):
            count += (av[0] != av[1]) + _free_repeats(av[2])
        elif op is _sre.BRANCH:
            count += sum(_free_repeats(b) for b in av[1])
        elif op in (_sre.SUBPATTERN, _sre.ASSERT, _sre.ASSERT_NOT, _sre.ATOMIC_GROUP, _sre.POSSESSIVE_REPEAT):
            count += _free_repeats(av if op is _sre.ATOMIC_GROUP else av[-1])
        elif op is _sre.GROUPREF_EXISTS:
            count += sum(_free_repeats(b) for b in av[1:] if b)
    return count


MATCH_STEPS = 10**7  # of a target against one module name: well under a second


def _check_target(target: str, module: str, where: str) -> None:
    try:
        parsed = _sre_parser.parse(target[3:])
    except (re.error, RecursionError, OverflowError):
        return  # matches nothing
    if _backtracks(parsed):
        raise ValueError(f"{where}: quantization_config: target {target!r:.80} repeats a repetition or "
                         "alternatives, which Python's regular expressions may take exponential time to match")
    if (splits := math.comb(len(module) + (k := _free_repeats(parsed)), k)) > MATCH_STEPS:
        raise ValueError(f"{where}: quantization_config: target {target!r:.80} has {k} repetitions, which "
                         f"Python's regular expressions may try {splits:.1e} ways to match against {module!r:.80}")


def find(config: Mapping[str, Any] | None, arrays: Mapping[str, tuple[np.dtype[Any], tuple[int, ...]]],
         read: Callable[[str], npt.NDArray[Any]], where: str) -> dict[str, Packed]:
    """The quantized layers among a checkpoint's arrays (name -> dtype and shape), by module; every shape checked.

    ``read`` reads one array (only the small ``weight_shape`` ones are read here).
    """
    modules = [k.removesuffix(".weight_packed") for k in arrays if k.endswith(".weight_packed")]
    qc = (config or {}).get("quantization_config")
    if not isinstance(qc, dict) or qc.get("quant_method") != "compressed-tensors":
        return {}  # arrays that happen to bear the name, in a folder that says nothing of the format
    found = {}
    for module in modules:
        p = Packed(module, Layout.for_scheme(Scheme.symmetric(), Scale.F32, (1, 1)))
        missing = [s for s in SUFFIXES if p.key(s) not in arrays]
        if missing:
            raise ValueError(f"{where}: {p.key(missing[0])} is missing")
        bits, group = _scheme_for(module, qc, where)
        shape_dt, shape_shape = arrays[p.key("weight_shape")]
        if shape_dt.kind not in "iu" or shape_shape != (2,):
            raise ValueError(f"{where}: {p.key('weight_shape')}: expected 2 integers, got {shape_dt}{list(shape_shape)}")
        shape = [int(d) for d in read(p.key("weight_shape"))]
        (packed_dt, packed_shape), (scale_dt, scale_shape) = arrays[p.key("weight_packed")], arrays[p.key("weight_scale")]
        if len(shape) != 2 or min(shape) < 1 or (group is not None and shape[1] % group):
            raise ValueError(f"{where}: {p.key('weight_shape')}: {shape} is not a matrix of whole groups")
        rows, cols = shape
        group = group or cols
        if scale_stored_as(str(scale_dt)) is None or scale_shape != (rows, cols // group):
            raise ValueError(f"{where}: {p.key('weight_scale')}: expected float32, float16 or bfloat16 "
                             f"{rows}x{cols // group}, got {scale_dt}{list(scale_shape)}")
        if packed_dt != np.dtype(np.int32) or packed_shape != (rows, -(-cols * bits // 32)):
            raise ValueError(f"{where}: {p.key('weight_packed')}: expected int32 {rows}x{-(-cols * bits // 32)}, "
                             f"got {packed_dt}{list(packed_shape)}")
        scale = checkpoint_scale(str(scale_dt))
        found[module] = Packed(module, Layout.for_scheme(Scheme.symmetric(bits, group), scale, (rows, cols),
                                                         dtype=str(scale_dtype(scale))))
    return found


def build(p: Packed, read: Callable[[str], npt.NDArray[Any]]) -> Stored:
    """The velmar tensor of one quantized layer."""
    return io.build(p.layout, unpack(p.layout, read(p.key("weight_packed")), read(p.key("weight_scale"))))  # type: ignore[no-any-return]


def load(path: str) -> dict[str, Stored]:
    """Every tensor of a model folder: its compressed-tensors layers as velmar tensors, the rest as arrays."""
    from velmar import folders

    folder = folders.open_folder(path)
    try:
        files = {k: f for f in folder.shards.values() for k in f.keys()}
        read = lambda key: np.asarray(files[key][key])  # noqa: E731
        found = find(folder.config, {k: f.plain(k) for k, f in files.items() if f.layout(k) is None}, read, path)
        taken = {p.key(s) for p in found.values() for s in SUFFIXES}
        out: dict[str, Stored] = {}
        for key, f in files.items():
            if key.endswith(".weight_packed") and key.removesuffix(".weight_packed") in found:
                p = found[key.removesuffix(".weight_packed")]
                out[p.name] = build(p, read)
            elif key not in taken:
                out[key] = f[key]
        return out
    finally:
        folder.close()
