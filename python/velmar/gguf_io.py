"""GGUF files: read them in either byte order, write them tensor by tensor, and the block types velmar's schemes are.

Symmetric 8-bit codes with blocks of 32 and half scales are GGUF's Q8_0
(two bytes of scale, then the 32 codes); 4-bit ones are Q4_0, whose 16 bytes
hold code + 8 of element j in the low nibble and of element j + 16 in the
high one. Both decode as code times scale in float32, so a block decodes to
the same bits on either side. GGUF blocks run along the last axis and never
straddle rows, so tensors quantized along another axis, or with rows that
are not whole blocks, have no GGUF type.

The super-block kinds (velmar.kquants) are Q2_K to Q6_K: their tensors hold
the GGUF blocks themselves, which go out and come back byte for byte.

``BLOCK_TYPES`` is the one table of what maps: each entry's scheme, its
encoder and decoder of block bytes, and what a big-endian file swaps in it.
"""

from __future__ import annotations

import math
import os
from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import gguf
import numpy as np
import numpy.typing as npt
from gguf import GGMLQuantizationType as GT

from velmar import _tensor, io, kquants
from velmar._native import Quantized, Scale, Scheme
from velmar.files import Staged, open_regular
from velmar.kquants import SuperBlockScheme
from velmar.io import Stored
from velmar.layout import BFLOAT16, Layout
from velmar.tensor import QuantizedTensor

__all__ = ["BLOCK_TYPES", "BlockType", "Reader", "Writer", "block_type", "export", "from_blocks", "gguf_type", "load"]

QK = 32
PLAIN_TYPES: dict[GT, np.dtype[Any]] = {
    GT.F32: np.dtype(np.float32), GT.F16: np.dtype(np.float16), GT.F64: np.dtype(np.float64),
    GT.BF16: BFLOAT16, GT.I8: np.dtype(np.int8), GT.I16: np.dtype(np.int16), GT.I32: np.dtype(np.int32),
    GT.I64: np.dtype(np.int64),
}
PLAIN_OF = {dtype: kind for kind, dtype in PLAIN_TYPES.items()}
FALLBACKS = {"f32": np.float32, "f16": np.float16}
FILE_TYPE_KEY = "general.file_type"
QUANT_VERSION_KEY = "general.quantization_version"
QUANT_VERSION = 2  # of ggml's block layouts, which llama.cpp's quantizer records beside the file type
ALIGNMENT_KEY = "general.alignment"
_MAX_VALUES = 2**60  # of a tensor's shape, zeros aside: eight-byte values still addressable
MAX_NAME = 64  # ggml's loaders keep a tensor's name in 64 bytes, its terminating zero included
MAX_DIMS = 4  # and its shape in four sizes
Parts = dict[str, npt.NDArray[Any]]


def _no_zero_points(scales: npt.NDArray[Any]) -> Parts:
    return {"scales": scales, "zero_points": np.zeros(0, scales.dtype), "widths": np.zeros(0, np.uint32)}


def _encoder(nibbles: bool) -> Callable[[Mapping[str, npt.NDArray[Any]], int], npt.NDArray[np.uint8]]:
    """Blocks of two bytes of scale, then the codes (4-bit ones in GGUF's order when ``nibbles``)."""
    def encode(parts: Mapping[str, npt.NDArray[Any]], _blocks: int) -> npt.NDArray[np.uint8]:
        scales, codes = (np.ascontiguousarray(parts[p]).view(np.uint8) for p in ("scales", "codes"))
        return np.frombuffer(_tensor.join_blocks(scales, codes, 2, nibbles), np.uint8)
    return encode


def _decoder(nibbles: bool) -> Callable[[npt.NDArray[np.uint8]], Parts]:
    """``_encoder(nibbles)`` undone, into buffers a tensor keeps."""
    def decode(data: npt.NDArray[np.uint8]) -> Parts:
        scales, codes = _tensor.split_blocks(np.ascontiguousarray(data), data.shape[1], 2, nibbles)
        return {"codes": np.frombuffer(codes, np.uint8), **_no_zero_points(np.frombuffer(scales, np.float16))}
    return decode


@dataclass(frozen=True)
class BlockType:
    """A GGUF block type that a velmar scheme is exactly: the same bytes decode to the same bits."""

    gguf: GT
    scheme: Scheme | SuperBlockScheme  # along the last axis
    scale: Scale
    file_type: int  # general.file_type of a file mostly of this type
    halves: tuple[int, ...]  # where a block holds half floats: swapped in a big-endian file
    encode: Callable[[Mapping[str, npt.NDArray[Any]], int], npt.NDArray[np.uint8]]  # parts, blocks -> bytes, flat
    decode: Callable[[npt.NDArray[np.uint8]], Parts]  # blocks x block bytes -> parts
    fallback: GT | None = None  # the nearest type of shorter blocks, for rows that are not whole blocks

    @property
    def block_bytes(self) -> int:
        return int(gguf.GGML_QUANT_SIZES[self.gguf][1])


def _super_encode(parts: Mapping[str, npt.NDArray[Any]], blocks: int) -> npt.NDArray[np.uint8]:
    return parts["codes"].reshape(-1)  # GGUF's bytes already; (blocks, -1) has no answer for no blocks


def _super_decode(data: npt.NDArray[np.uint8]) -> Parts:
    return {"codes": np.ascontiguousarray(data).reshape(-1), **_no_zero_points(np.zeros(0, np.float16))}


def _super(kind: SuperBlockScheme, file_type: int, halves: tuple[int, ...]) -> BlockType:
    legacy = GT.Q4_0 if kind.fallback.bits == 4 else GT.Q8_0
    return BlockType(GT[kind.name.upper()], kind, Scale.F16, file_type, halves, _super_encode, _super_decode, legacy)


BLOCK_TYPES: dict[GT, BlockType] = {
    b.gguf: b for b in (
        BlockType(GT.Q8_0, Scheme.symmetric(8, QK), Scale.F16, 7, (0,), _encoder(False), _decoder(False)),
        BlockType(GT.Q4_0, Scheme.symmetric(4, QK), Scale.F16, 2, (0,), _encoder(True), _decoder(True)),
        # llama.cpp's file types of files mostly Q2_K, Q3_K_S, Q4_K_S, Q5_K_S, Q6_K; the half floats d and dmin.
        _super(kquants.Q2_K, 10, (80, 82)),
        _super(kquants.Q3_K, 11, (108,)),
        _super(kquants.Q4_K, 14, (0, 2)),
        _super(kquants.Q5_K, 16, (0, 2)),
        _super(kquants.Q6_K, 18, (208,)),
    )
}


def block_type(layout: Layout) -> BlockType | None:
    """The GGUF block type whose scheme and scale this layout has, rows aside; None if there is none."""
    for b in BLOCK_TYPES.values():
        if (layout.kind, layout.bits, layout.block, layout.scale_member) == (
                b.scheme.kind, b.scheme.bits or 0, b.scheme.block, b.scale):
            return b
    return None


def whole_rows(layout: Layout, b: BlockType) -> bool:
    """Whether GGUF blocks of ``b`` can hold this layout's rows: along the last axis, whole blocks each."""
    return layout.axis == len(layout.shape) - 1 and layout.row_len % b.scheme.block == 0


def gguf_type(obj: Any) -> GT | None:
    """The GGUF block type a quantized object is exactly, or None."""
    lay = Layout.of(obj)
    b = block_type(lay)
    return b.gguf if b is not None and not lay.vector and whole_rows(lay, b) else None


def block_bytes(obj: Any) -> npt.NDArray[np.uint8]:
    """The GGUF block bytes of an exactly mapping object, blocks after blocks."""
    lay = Layout.of(obj)
    b = block_type(lay)
    assert b is not None
    return b.encode(io.parts_of(obj), lay.blocks).reshape(-1)


def from_blocks(data: npt.NDArray[np.uint8], shape: tuple[int, ...], kind: GT) -> Stored:
    """A velmar tensor holding GGUF blocks of a type in the table, decoding to what gguf decodes."""
    b = BLOCK_TYPES[kind]
    parts = b.decode(np.ascontiguousarray(data).reshape(-1, b.block_bytes))
    return io.build(Layout.for_scheme(b.scheme, b.scale, shape), parts)  # type: ignore[no-any-return]


# ---------------------------------------------------------------- reading


@dataclass(frozen=True)
class Tensor:
    name: str
    kind: GT
    shape: tuple[int, ...]  # NumPy's order, outermost first
    nbytes: int
    offset: int  # where its data starts in the file


class _CheckedReader(gguf.GGUFReader):
    """gguf's reader with every array's length checked against the bytes left: past the end of the
    file its elements read as empty, so a huge count would loop that many times."""

    def _get_field_parts(self, offset: int, raw_type: int) -> Any:
        if raw_type == gguf.GGUFValueType.ARRAY:
            count = self._get(offset + 4, np.uint64)
            if count.size and int(count[0]) > len(self.data) - offset:  # an element takes a byte at least
                raise ValueError(f"an array of {int(count[0])} values at byte {offset} runs past the end of the file")
        return super()._get_field_parts(offset, raw_type)


def open_gguf(path: str) -> gguf.GGUFReader:
    """gguf's reader of the file at ``path``; whatever is wrong with it, a ValueError naming it."""
    open_regular(path).close()  # gguf's own open would wait on a pipe for a writer
    try:
        with np.errstate(over="ignore"):  # gguf's sum of a huge tensor offset wraps; Reader checks its own
            return _CheckedReader(path)
    except (ValueError, KeyError, IndexError, TypeError, OverflowError, RecursionError) as e:
        raise ValueError(f"{path}: not a readable GGUF file: {e}") from None


def _field_bytes(r: gguf.GGUFReader, f: Any) -> bytes:
    """A key and its value as a little-endian file holds them: a little-endian file's own bytes, in one copy."""
    if r.byte_order == "S":
        return b"".join(p.astype(p.dtype.newbyteorder("<"), copy=False).tobytes() for p in f.parts)
    return r.data[f.offset : f.offset + sum(p.nbytes for p in f.parts)].tobytes()


class Reader:
    """A GGUF file whose tensors are read when asked for; a big-endian file's values are swapped as they are read.

    Data is read with ``pread`` into fresh buffers rather than through a memory
    map, so a model read tensor by tensor never holds more than the tensor
    (mapped pages would stay in the process). Every tensor's extent is checked
    against the file's size when it is opened; tensors of a type whose fields
    velmar cannot swap make a big-endian file a ValueError.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        r = open_gguf(self.path)
        self.big_endian = r.byte_order == "S"
        self.alignment = int(r.alignment)
        # Copied now: gguf's values are views of a memory map, which a file that shrinks later turns into a crash.
        self._fields = [(name, _field_bytes(r, f)) for name, f in r.fields.items()
                        if not name.startswith("GGUF.")]  # the header's own counts, not keys
        self.tensors: list[Tensor] = []
        size = os.path.getsize(self.path)
        for t in r.tensors:
            kind = GT(t.tensor_type)
            if self.big_endian and kind not in PLAIN_TYPES and kind not in BLOCK_TYPES:
                raise ValueError(f"{self.path}: tensor {t.name!r}: a big-endian file of {kind.name} blocks, whose "
                                 "fields velmar cannot swap; convert the file to little-endian first")
            # The header's own offset: gguf adds it to the data's start in 64 bits, which wrap to bytes before it.
            offset = int(t.field.parts[-1][0])
            if offset % self.alignment:
                raise ValueError(f"{self.path}: tensor {t.name!r}: its data starts at byte {offset} of the data, "
                                 f"not a multiple of the alignment {self.alignment}")
            start = int(r.data_offset) + offset
            if start + int(t.n_bytes) > size:
                raise ValueError(f"{self.path}: tensor {t.name!r}: the file ends inside its data")
            shape = tuple(int(d) for d in reversed(t.shape))
            if math.prod(d for d in shape if d) >= _MAX_VALUES:  # even with no values, NumPy refuses the shape
                raise ValueError(f"{self.path}: tensor {t.name!r}: a shape of {shape} is too large to address")
            self.tensors.append(Tensor(t.name, kind, shape, int(t.n_bytes), start))
        self.by_name = {t.name: t for t in self.tensors}
        self._fd = os.open(self.path, os.O_RDONLY)

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def fields(self) -> list[tuple[str, bytes]]:
        """Every key and value as they are written to a little-endian file: the key, then its type and value."""
        return list(self._fields)

    def raw(self, t: Tensor, start: int = 0, stop: int | None = None, frozen: bool = False) -> npt.NDArray[np.uint8]:
        """Bytes start to stop of a tensor's data in little-endian order; start and stop fall between elements.
        ``frozen`` as for ``io.read_array``, in a little-endian file (a big-endian one's are swapped in place)."""
        start, stop = min(start, t.nbytes), t.nbytes if stop is None else max(min(start, t.nbytes), min(stop, t.nbytes))
        data = io.read_array(self._fd, t.offset + start, stop - start, np.dtype(np.uint8), frozen and not self.big_endian)
        if data is None:
            raise ValueError(f"{self.path}: tensor {t.name!r}: the file ends inside its data")
        if not self.big_endian:
            return data
        if t.kind in PLAIN_TYPES:
            width = PLAIN_TYPES[t.kind].itemsize
            return data.view(f">u{width}").astype(f"<u{width}").view(np.uint8)
        b = BLOCK_TYPES[t.kind]
        blocks = data.reshape(-1, b.block_bytes)
        for at in b.halves:
            blocks[:, at : at + 2] = blocks[:, at + 1 : at - 1 if at else None : -1].copy()
        return data

    def read(self, t: Tensor) -> Stored:
        """A tensor as velmar holds it: block types velmar has as quantized tensors, plain types as arrays."""
        if t.kind in PLAIN_TYPES:
            return self.rows(t, 0, 2**63)
        if t.kind not in BLOCK_TYPES:
            raise ValueError(f"{self.path}: tensor {t.name!r}: GGUF type {t.kind.name} has no velmar counterpart")
        # Super-block tensors keep the file's bytes as their codes: read into a buffer they can keep.
        return from_blocks(self.raw(t, frozen=isinstance(BLOCK_TYPES[t.kind].scheme, SuperBlockScheme)), t.shape, t.kind)

    def rows(self, t: Tensor, start: int, stop: int) -> npt.NDArray[Any]:
        """Rows start to stop (along the first axis; a 1-D tensor is one row): plain types as they are, native,
        block types as float32, decoded by gguf."""
        outer = t.shape[0] if len(t.shape) > 1 else 1
        start, stop = min(start, outer), max(min(start, outer), min(stop, outer))
        shape = (stop - start, *t.shape[1:]) if len(t.shape) > 1 else t.shape
        per = t.nbytes // outer if outer else 0
        if t.kind in PLAIN_TYPES:
            return self.raw(t, start * per, stop * per).view(PLAIN_TYPES[t.kind]).reshape(shape)
        if math.prod(shape) == 0:
            return np.zeros(shape, np.float32)
        row_bytes = t.nbytes // math.prod(t.shape[:-1])
        data = self.raw(t, start * per, stop * per).reshape(-1, row_bytes)
        try:
            values = gguf.quants.dequantize(data, t.kind)
        except NotImplementedError:
            raise ValueError(f"{self.path}: tensor {t.name!r}: gguf cannot decode {t.kind.name} blocks") from None
        return np.asarray(values, np.float32).reshape(shape)


def load(path: str | os.PathLike[str]) -> dict[str, Stored]:
    """Every tensor of a GGUF file; Q8_0, Q4_0 and the K-quants become velmar objects, other block types are refused."""
    r = Reader(path)
    try:
        return {t.name: r.read(t) for t in r.tensors}
    finally:
        r.close()


# ---------------------------------------------------------------- writing


def _string(text: str) -> bytes:
    data = text.encode()
    return len(data).to_bytes(8, "little") + data


def field(key: str, value: str | int) -> tuple[str, bytes]:
    """A key and its value (a string, or an unsigned 32-bit integer) as ``Reader.fields`` gives them."""
    if isinstance(value, str):
        return key, _string(key) + int(gguf.GGUFValueType.STRING).to_bytes(4, "little") + _string(value)
    return key, _string(key) + int(gguf.GGUFValueType.UINT32).to_bytes(4, "little") + value.to_bytes(4, "little")


def quantized_fields(fields: Sequence[tuple[str, bytes]], slots: Sequence[Slot]) -> list[tuple[str, bytes]]:
    """``fields`` with, where some slot is quantized, the file type set to the block type most values have and
    the quantization version to ggml's, each in place of an old value or else at the end."""
    counts = Counter[GT]()
    for s in slots:
        if s.kind in BLOCK_TYPES:
            counts[s.kind] += math.prod(s.shape)
    out = list(fields)
    if not counts:
        return out
    for key, value in ((FILE_TYPE_KEY, BLOCK_TYPES[counts.most_common(1)[0][0]].file_type),
                       (QUANT_VERSION_KEY, QUANT_VERSION)):
        at = [i for i, (k, _) in enumerate(out) if k == key]
        if at:
            out[at[0]] = field(key, value)
        else:
            out.append(field(key, value))
    return out


@dataclass(frozen=True)
class Slot:
    """One tensor of a GGUF file to write: what the header says of it."""

    name: str
    shape: tuple[int, ...]  # NumPy's order
    kind: GT

    def __post_init__(self) -> None:
        if len(self.name.encode()) >= MAX_NAME:
            raise ValueError(f"tensor name {self.name!r:.80}: {len(self.name.encode())} bytes, but GGUF readers "
                             f"built on ggml take names of at most {MAX_NAME - 1} bytes")
        if len(self.shape) > MAX_DIMS:
            raise ValueError(f"tensor {self.name!r:.80}: {len(self.shape)} dimensions, but GGUF readers built on ggml "
                             f"take at most {MAX_DIMS}")

    @property
    def nbytes(self) -> int:
        block, size = gguf.GGML_QUANT_SIZES[self.kind]
        return math.prod(self.shape) // block * size


class Writer(Staged):
    """A GGUF file written one tensor at a time, under a temporary name.

    The whole header (keys and values, then every tensor's name, shape, type
    and offset) follows from the slots, so it is written first; the data of
    each tensor follows in the slots' order, each padded to the alignment.
    The file gets its real name only in ``commit``.
    """

    def __init__(self, path: str | os.PathLike[str], fields: Sequence[tuple[str, bytes]], slots: Sequence[Slot],
                 alignment: int = gguf.GGUF_DEFAULT_ALIGNMENT) -> None:
        self.slots, self.alignment = list(slots), alignment
        if len({s.name for s in self.slots}) != len(self.slots):
            raise ValueError("two tensors have the same name")
        header = [b"GGUF", (3).to_bytes(4, "little"), len(self.slots).to_bytes(8, "little"),
                  len(fields).to_bytes(8, "little"), *(raw for _, raw in fields)]
        offset = 0
        for s in self.slots:
            dims = list(reversed(s.shape))  # none for a scalar, as gguf writes one
            header += [_string(s.name), len(dims).to_bytes(4, "little"), *(d.to_bytes(8, "little") for d in dims),
                       int(s.kind).to_bytes(4, "little"), offset.to_bytes(8, "little")]
            offset += self._padded(s.nbytes)
        super().__init__(path)
        head = b"".join(header)
        self.file.write(head + bytes(self._padded(len(head)) - len(head)))
        self.index, self.written = 0, 0  # the slot whose data comes next, and how much of it is written
        self._settle()

    def _padded(self, n: int) -> int:
        return -(-n // self.alignment) * self.alignment

    def _settle(self) -> None:
        """Pad and step past every slot whose data is complete (an empty one is at once)."""
        while self.index < len(self.slots) and self.written == self.slots[self.index].nbytes:
            n = self.slots[self.index].nbytes
            self.file.write(bytes(self._padded(n) - n))
            self.index, self.written = self.index + 1, 0

    def put(self, data: npt.NDArray[Any]) -> None:
        """Bytes of the current tensor's data, all at once or in pieces."""
        raw = np.ascontiguousarray(data).reshape(-1).view(np.uint8)
        if not raw.nbytes:  # an empty tensor's slot was passed when the one before it was complete
            return
        if self.index == len(self.slots) or self.written + raw.nbytes > self.slots[self.index].nbytes:
            raise ValueError("more data than the header declares")
        self.file.write(raw.data)
        self.written += raw.nbytes
        self._settle()

    def commit(self) -> None:
        if self.index < len(self.slots):
            raise ValueError(f"{self.slots[self.index].name!r}: the data is shorter than the header declares")
        self._publish()


def plain_type(name: str, dtype: np.dtype[Any]) -> GT:
    kind = PLAIN_OF.get(np.dtype(dtype).newbyteorder("="))
    if kind is None:
        raise ValueError(f"{name!r}: GGUF has no type for {dtype} arrays")
    return kind


def export(path: str | os.PathLike[str], objects: Mapping[str, Stored], *, fallback: str | None = None,
           arch: str = "velmar") -> None:
    """Write objects to a GGUF file under a temporary name, then rename it into place.

    Q8_0/Q4_0 for exactly mapping schemes; other quantized objects are refused
    unless ``fallback`` is "f32" or "f16", which writes them decoded.
    """
    if fallback is not None and fallback not in FALLBACKS:
        raise ValueError(f"fallback is 'f32', 'f16' or None, not {fallback!r}")
    if not isinstance(arch, str):  # an int would be written as a number, where readers expect a name
        raise TypeError(f"arch is a string, not {type(arch).__name__}")
    if not isinstance(objects, Mapping):
        raise TypeError(f"export takes a mapping of names to tensors, not a {type(objects).__name__}")
    io.unicode_text(arch, "arch")
    arrays: dict[str, npt.NDArray[Any]] = {}
    slots = []
    for name, obj in objects.items():
        if not isinstance(name, str) or not isinstance(obj, (np.ndarray, QuantizedTensor, Quantized)):
            io.storable(name, obj)  # the TypeError of what no file stores
        io.unicode_text(name, "tensor name")
        kind = None if isinstance(obj, np.ndarray) else gguf_type(obj)
        if kind is not None:
            arrays[name] = block_bytes(obj)
            slots.append(Slot(name, Layout.of(obj).shape, kind))
            continue
        if not isinstance(obj, np.ndarray):
            if fallback is None:
                lay = Layout.of(obj)
                what = lay.kind if lay.super_block else (
                    f"{lay.kind} {lay.bits or 'adaptive'}-bit, block {lay.block}, {lay.scale} scales")
                raise ValueError(
                    f"{name!r}: {what} along axis {lay.axis} has no GGUF type (Q8_0 and Q4_0 are symmetric 8 and "
                    "4 bits, block 32, f16 scales, Q2_K to Q6_K the super-block kinds, all along the last axis); "
                    "ask for a fallback to write it decoded as f32 or f16")
            obj = obj.dequantize().astype(FALLBACKS[fallback])
        arrays[name] = np.ascontiguousarray(obj, obj.dtype.newbyteorder("<"))
        slots.append(Slot(name, tuple(obj.shape), plain_type(name, obj.dtype)))
    with Writer(path, quantized_fields([field("general.architecture", arch)], slots), slots) as w:
        for s in slots:
            w.put(arrays[s.name])
