"""GGUF files: export the schemes that map onto GGUF block types exactly, import them back.

Symmetric 8-bit codes with blocks of 32 and half scales are GGUF's Q8_0
(two bytes of scale, then the 32 codes); 4-bit ones are Q4_0, whose 16 bytes
hold code + 8 of element j in the low nibble and of element j + 16 in the
high one. Both decode as code times scale in float32, so a block decodes to
the same bits on either side. GGUF blocks run along the last axis and never
straddle rows, so tensors quantized along another axis, or with rows that
are not whole blocks, have no GGUF type.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from typing import Any

import gguf
import numpy as np
import numpy.typing as npt
from gguf import GGMLQuantizationType as GT

from velmar import io
from velmar._native import Scale, Scheme
from velmar.io import Stored
from velmar.layout import BFLOAT16, Layout

__all__ = ["export", "gguf_type", "load", "tensors"]

QK = 32
EXACT = {8: GT.Q8_0, 4: GT.Q4_0}
PLAIN_TYPES = {GT.F32: np.float32, GT.F16: np.float16, GT.F64: np.float64, GT.I8: np.int8,
               GT.I16: np.int16, GT.I32: np.int32, GT.I64: np.int64}
FALLBACKS = {"f32": np.float32, "f16": np.float16}


def gguf_type(obj: Any) -> GT | None:
    """The GGUF block type a quantized object is exactly, or None."""
    lay = Layout.of(obj)
    if (lay.kind == "symmetric" and lay.bits in EXACT and lay.block == QK and lay.scale == "f16"
            and lay.axis == len(lay.shape) - 1 and lay.row_len % QK == 0):
        return EXACT[lay.bits]
    return None


def to_blocks(obj: Any, kind: GT) -> npt.NDArray[np.uint8]:
    """GGUF block bytes of an exactly mapping object, one row of bytes per tensor row."""
    lay = Layout.of(obj)
    parts = io.parts_of(obj)
    nb = lay.blocks
    d = parts["scales"].view(np.uint8).reshape(nb, 2)
    if kind == GT.Q8_0:
        qs = parts["codes"].reshape(nb, QK)
    else:
        c = parts["codes"].reshape(nb, QK // 2)
        q = np.empty((nb, QK), np.uint8)
        q[:, 0::2] = c & 0xF
        q[:, 1::2] = c >> 4
        q ^= 8  # two's complement nibble -> code + 8
        qs = q[:, : QK // 2] | (q[:, QK // 2 :] << 4)
    per_row = lay.row_len // QK * gguf.GGML_QUANT_SIZES[kind][1]
    return np.concatenate([d, qs], axis=1).reshape(*lay.shape[:-1], per_row)


def from_blocks(data: npt.NDArray[np.uint8], shape: tuple[int, ...], kind: GT) -> Stored:
    """A velmar object holding GGUF blocks, decoding to what gguf decodes."""
    size = gguf.GGML_QUANT_SIZES[kind][1]
    blocks = np.ascontiguousarray(data).reshape(-1, size)
    scales = np.ascontiguousarray(blocks[:, :2]).view(np.float16).reshape(-1)
    qs = blocks[:, 2:]
    codes: npt.NDArray[Any]
    if kind == GT.Q8_0:
        codes = np.ascontiguousarray(qs).reshape(-1)
        bits = 8
    else:
        q = np.concatenate([qs & 0xF, qs >> 4], axis=1) ^ np.uint8(8)
        codes = (q[:, 0::2] | (q[:, 1::2] << 4)).reshape(-1)
        bits = 4
    lay = Layout.for_scheme(Scheme.symmetric(bits, QK), Scale.F16, shape)
    empty = np.zeros(0, np.float16)
    return io.build(lay, {"codes": codes.astype(np.uint8, copy=False), "scales": scales,  # type: ignore[no-any-return]
                          "zero_points": empty, "widths": np.zeros(0, np.uint32)})


def _plain(name: str, array: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], GT | None]:
    if array.dtype == BFLOAT16:
        return array.view(np.uint16), GT.BF16
    if array.dtype.type not in PLAIN_TYPES.values():
        raise ValueError(f"{name!r}: GGUF has no type for {array.dtype} arrays")
    return array, None


def export(path: str | os.PathLike[str], objects: Mapping[str, Stored], *, fallback: str | None = None,
           arch: str = "velmar") -> None:
    """Write objects to a GGUF file under a temporary name, then rename it into place.

    Q8_0/Q4_0 for exactly mapping schemes; other quantized objects are refused
    unless ``fallback`` is "f32" or "f16", which writes them decoded.
    """
    if fallback is not None and fallback not in FALLBACKS:
        raise ValueError(f"fallback is 'f32', 'f16' or None, not {fallback!r}")
    prepared: list[tuple[str, npt.NDArray[Any], GT | None]] = []
    for name, obj in objects.items():
        if isinstance(obj, np.ndarray):
            prepared.append((name, *_plain(name, obj)))
            continue
        kind = gguf_type(obj)
        if kind is not None:
            prepared.append((name, to_blocks(obj, kind), kind))
        elif fallback is not None:
            decoded = obj.dequantize()
            prepared.append((name, decoded.astype(FALLBACKS[fallback]), None))
        else:
            lay = Layout.of(obj)
            raise ValueError(
                f"{name!r}: {lay.kind} {lay.bits or 'adaptive'}-bit, block {lay.block}, {lay.scale} scales "
                "has no GGUF type (Q8_0 and Q4_0 are symmetric 8 and 4 bits, block 32, f16 scales, "
                "along the last axis); ask for a fallback to write it decoded as f32 or f16"
            )
    write(path, prepared, arch)


def write(path: str | os.PathLike[str], prepared: list[tuple[str, npt.NDArray[Any], GT | None]], arch: str) -> None:
    final = os.fspath(path)
    directory, base = os.path.split(os.path.abspath(final))
    temp = os.path.join(directory, f".{base}.{os.getpid()}.part")
    writer = gguf.GGUFWriter(temp, arch)
    try:
        for name, array, kind in prepared:
            writer.add_tensor(name, array, raw_dtype=kind)
        writer.write_header_to_file()
        writer.write_kv_data_to_file()
        writer.write_tensors_to_file()
        writer.close()
        io.durable_replace(temp, final)
    except BaseException:
        writer.close()
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def tensors(path: str | os.PathLike[str]) -> Iterator[tuple[str, GT, tuple[int, ...], Any]]:
    """(name, GGUF type, shape, reader tensor) for every tensor of a GGUF file, reading no data."""
    try:
        reader = gguf.GGUFReader(path)
    except (ValueError, KeyError, IndexError, TypeError, OverflowError) as e:
        raise ValueError(f"{os.fspath(path)}: not a readable GGUF file: {e}") from None
    for t in reader.tensors:
        yield t.name, t.tensor_type, tuple(int(d) for d in reversed(t.shape)), t


def convert(name: str, kind: GT, shape: tuple[int, ...], t: Any) -> Stored:
    """One GGUF tensor as velmar sees it: Q8_0/Q4_0 as a quantized object, plain types as arrays."""
    if kind in (GT.Q8_0, GT.Q4_0):
        return from_blocks(t.data, shape, kind)
    if kind == GT.BF16:
        return np.array(t.data).view(BFLOAT16).reshape(shape)
    if kind in PLAIN_TYPES:
        return np.array(t.data).reshape(shape)
    raise ValueError(f"{name!r}: GGUF type {kind.name} has no velmar counterpart")


def load(path: str | os.PathLike[str]) -> dict[str, Stored]:
    """Every tensor of a GGUF file; Q8_0/Q4_0 become velmar objects, other block types are refused."""
    return {name: convert(name, kind, shape, t) for name, kind, shape, t in tensors(path)}
