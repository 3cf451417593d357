"""Quantized tensors in a file that runs no code on load.

The file is a safetensors file: a JSON header, then raw little-endian
buffers, readable by every framework. A quantized tensor NAME is stored as
the plain arrays ``NAME:codes`` (uint8), ``NAME:scales`` and
``NAME:zero_points`` (in the scale's element type), ``NAME:widths`` (uint32,
adaptive only, otherwise empty), and one JSON description per tensor in the
header metadata under ``velmar.tensors``. Arrays that were not quantized are
stored under their own names, as any safetensors writer would.

Nothing in a file is trusted: every count, length and product is checked
against the header, in Python integers, before anything is read or built.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, TypeAlias, Union

import numpy as np
import numpy.typing as npt
from safetensors import SafetensorError, safe_open

from velmar import _tensor
from velmar._native import Quantized
from velmar.files import DuplicateKeyError, Staged, open_regular, parse_json
from velmar.layout import BFLOAT16, ORIGIN_DTYPES, PARTS, Layout, LayoutError, state_parts
from velmar.tensor import QuantizedTensor

__all__ = ["FORMAT_VERSION", "File", "load", "save", "Stored"]

FORMAT_VERSION = 1
FORMAT_KEY = "velmar.format"
INDEX_KEY = "velmar.tensors"
# safetensors' names for the element types velmar reads and writes.
ST_DTYPES: dict[str, np.dtype[Any]] = {
    "F64": np.dtype(np.float64), "F32": np.dtype(np.float32), "F16": np.dtype(np.float16),
    "BF16": BFLOAT16, "I64": np.dtype(np.int64), "I32": np.dtype(np.int32),
    "I16": np.dtype(np.int16), "I8": np.dtype(np.int8), "U64": np.dtype(np.uint64),
    "U32": np.dtype(np.uint32), "U16": np.dtype(np.uint16), "U8": np.dtype(np.uint8),
    "BOOL": np.dtype(np.bool_),
}
ST_NAMES = {v: k for k, v in ST_DTYPES.items()}
MAX_SIZE = 2**63 - 1
# The header's own entry; no array may take its name.
HEADER_KEY = "__metadata__"
# The longest header safetensors reads, in bytes.
MAX_HEADER = 100_000_000

Stored: TypeAlias = Union[QuantizedTensor, Quantized, npt.NDArray[Any]]


def read_into(fd: int, out: memoryview, offset: int) -> bool:
    """Fill ``out`` with the file's bytes from ``offset`` on; False if the file ends first."""
    done = 0
    while done < len(out):
        got = os.preadv(fd, [out[done:]], offset + done)
        if got <= 0:
            return False
        done += got
    return True


def read_array(fd: int, offset: int, nbytes: int, dtype: np.dtype[Any], frozen: bool = False) -> npt.NDArray[Any] | None:
    """A new array of the file's ``nbytes`` from ``offset`` on, None if the file ends first. If ``frozen``, its
    buffer is one nothing can write, on a cache line as the quantizers' are: a part a tensor keeps without a copy."""
    if frozen:
        data = _tensor.read_part(fd, offset, nbytes)
        return None if data is None else np.frombuffer(data, dtype)
    out = np.empty(nbytes // dtype.itemsize, dtype)
    return out if read_into(fd, out.view(np.uint8).data, offset) else None


def part_key(name: str, part: str) -> str:
    return f"{name}:{part}"


# ---------------------------------------------------------------- objects <-> parts


def parts_of(obj: Any) -> dict[str, npt.NDArray[Any]]:
    if isinstance(obj, Quantized):
        _, _, scale, _, _, codes, _, widths, scales, zps = obj.__getstate__()
        return state_parts(scale, codes, widths, scales, zps)
    parts: dict[str, npt.NDArray[Any]] = obj.parts()
    return parts


def build(layout: Layout, parts: Mapping[str, npt.NDArray[Any]]) -> Any:
    """The object the parts describe; raises ValueError for parts that do not fit the layout."""
    if layout.vector:
        state = (
            1, layout.kind, layout.scale_member, layout.block, layout.row_len,
            parts["codes"].tobytes(), layout.bits, tuple(int(w) for w in parts["widths"]),
            parts["scales"].tobytes(), parts["zero_points"].tobytes(),
        )
        return Quantized._from_pickle(state)
    return QuantizedTensor._from_layout(layout, parts)


# ---------------------------------------------------------------- writing


def check_keys(keys: Iterable[str]) -> None:
    """Raises ValueError for the first array name given twice, or the header's own."""
    seen = set()
    for key in keys:
        if key == HEADER_KEY:
            raise ValueError(f"{key!r} is the name of the file's header")
        if key in seen:
            raise ValueError(f"two arrays have the same name {key!r}")
        seen.add(key)


class Writer(Staged):
    """A safetensors file written one array at a time, under a temporary name.

    The header comes first in the file but its offsets are known only at the
    end, so its space is reserved from upper bounds of every array's size and
    the final header is padded with spaces (which JSON ignores) to fill it.
    Arrays go to the file as they are given, so only one needs to be in
    memory; the file gets its real name only in ``commit``.
    """

    def __init__(self, path: str | os.PathLike[str], entries: list[tuple[str, str, tuple[int, ...]]],
                 metadata: Mapping[str, str], shown: str | None = None) -> None:
        self.metadata = dict(metadata)
        # key -> (dtype name, upper bound of the shape); the real shape may be smaller.
        check_keys(key for key, _, _ in entries)
        self.declared = {key: (dt, shape) for key, dt, shape in entries}
        self.written: dict[str, tuple[str, list[int], int, int]] = {}
        bound = sum(ST_DTYPES[dt].itemsize * math.prod(shape) for dt, shape in self.declared.values())
        widest = {k: {"dtype": dt, "shape": list(shape), "data_offsets": [bound, bound]}
                  for k, (dt, shape) in self.declared.items()}
        self.reserved = -(-len(self._header(widest)) // 8) * 8
        if self.reserved > MAX_HEADER:
            raise ValueError(f"the header would take {self.reserved} bytes, more than the {MAX_HEADER} a safetensors "
                             "file can hold: fewer or shorter names or metadata")
        super().__init__(path, shown)
        self.offset = 0
        self.file.seek(8 + self.reserved)

    def _header(self, entries: Mapping[str, Any]) -> bytes:
        doc: dict[str, Any] = {HEADER_KEY: self.metadata} if self.metadata else {}
        doc.update(entries)
        return json.dumps(doc, separators=(",", ":"), ensure_ascii=True).encode()

    def put(self, key: str, array: npt.NDArray[Any]) -> None:
        dt, bound = self.declared[key]
        if key in self.written:
            raise ValueError(f"{key!r} written twice")
        a = np.asarray(array, order="C")  # 0-d stays 0-d
        if ST_NAMES.get(a.dtype) != dt or a.ndim != len(bound) or any(s > b for s, b in zip(a.shape, bound)):
            raise ValueError(f"{key!r}: {a.dtype}{list(a.shape)} does not fit the declared {dt}{list(bound)}")
        self.file.write(a.reshape(-1).view(np.uint8).data)
        self.written[key] = (dt, list(a.shape), self.offset, self.offset + a.nbytes)
        self.offset += a.nbytes

    def commit(self) -> None:
        missing = set(self.declared) - set(self.written)
        if missing:
            raise ValueError(f"{sorted(missing)[0]!r} was never written")
        header = self._header({k: {"dtype": dt, "shape": shape, "data_offsets": [a, b]}
                               for k, (dt, shape, a, b) in self.written.items()})
        header += b" " * (self.reserved - len(header))
        self.file.seek(0)
        self.file.write(len(header).to_bytes(8, "little") + header)
        self._publish()


def quantized_entries(name: str, layout: Layout) -> list[tuple[str, str, tuple[int, ...]]]:
    """The arrays of one quantized tensor; adaptive codes are bounded by 8 bits per value."""
    return [(part_key(name, part), ST_NAMES[layout.part_dtype(part)], (count,))
            for part, count in layout.max_part_counts().items()]


def plain_entry(name: str, array: npt.NDArray[Any]) -> tuple[str, str, tuple[int, ...]]:
    dt = ST_NAMES.get(array.dtype)
    if dt is None:
        raise TypeError(f"{name!r}: cannot store an array of {array.dtype}")
    return (name, dt, tuple(array.shape))


def unicode_text(text: str, what: str) -> str:
    """``text`` if UTF-8 can hold it: a lone surrogate would be written, and the file then refused by its reader."""
    try:
        text.encode()
    except UnicodeEncodeError:
        raise ValueError(f"{what} {text!r:.60} is not valid Unicode (it holds a lone surrogate)") from None
    return text


def storable(name: object, obj: object) -> Stored:
    """``obj`` as it will be stored under ``name``, or an error if ``load`` could not give it back."""
    if not isinstance(name, str):
        raise TypeError(f"tensor names are strings, not {type(name).__name__}")
    unicode_text(name, "tensor name")
    if name == HEADER_KEY:
        raise ValueError(f"{name!r} is the name of the file's header")
    if isinstance(obj, np.ndarray):
        # Files are little-endian: a byte-swapped array is stored as its values.
        return obj if obj.dtype.isnative else obj.astype(obj.dtype.newbyteorder("="))
    if isinstance(obj, QuantizedTensor) and obj.dtype.name not in ORIGIN_DTYPES:
        raise TypeError(f"{name!r}: quantized from {obj.dtype}, which a file cannot name; rebuild it with "
                        "QuantizedTensor.from_parts(dtype=...) to record another type")
    if not isinstance(obj, (QuantizedTensor, Quantized)):
        raise TypeError(f"{name!r}: cannot store a {type(obj).__name__}; save takes QuantizedTensor, Quantized "
                        "and NumPy arrays")
    return obj


def header_metadata(layouts: Mapping[str, Layout], metadata: Mapping[str, str] | None) -> dict[str, str]:
    meta = dict(metadata or {})
    for k, v in meta.items():
        if not isinstance(k, str) or not isinstance(v, str):
            raise TypeError("metadata keys and values must be strings")
        if k.startswith("velmar."):
            raise ValueError(f"metadata key {k!r}: keys starting with 'velmar.' are reserved")
        unicode_text(k, "metadata key")
        unicode_text(v, "metadata value")
    meta[FORMAT_KEY] = str(FORMAT_VERSION)
    meta[INDEX_KEY] = json.dumps({n: lay.as_json() for n, lay in layouts.items()}, separators=(",", ":"))
    return meta


def save(path: str | os.PathLike[str], tensors: Mapping[str, Stored], metadata: Mapping[str, str] | None = None) -> None:
    """Write quantized tensors (and plain arrays) to ``path``.

    Whatever it accepts, ``load`` gives back; what a file cannot hold is
    refused before anything is written. The file appears under its name only
    when complete; on any error the previous file at ``path``, if any, is
    left as it was.
    """
    if not isinstance(tensors, Mapping):
        raise TypeError(f"save takes a mapping of names to tensors, not a {type(tensors).__name__}")
    objects = {name: storable(name, obj) for name, obj in tensors.items()}
    layouts: dict[str, Layout] = {}
    entries: list[tuple[str, str, tuple[int, ...]]] = []
    for name, obj in objects.items():
        if isinstance(obj, np.ndarray):
            entries.append(plain_entry(name, obj))
        else:
            layouts[name] = Layout.of(obj)
            entries += quantized_entries(name, layouts[name])
    with Writer(path, entries, header_metadata(layouts, metadata)) as w:
        for name, obj in objects.items():
            if isinstance(obj, np.ndarray):
                w.put(name, obj)
            else:
                for part, array in parts_of(obj).items():
                    w.put(part_key(name, part), array.reshape(-1))


# ---------------------------------------------------------------- reading


@dataclass(frozen=True)
class _Entry:
    """One array of the file: where its bytes lie, relative to the data."""

    dtype: np.dtype[Any]
    shape: tuple[int, ...]
    begin: int
    end: int


class File:
    """An opened velmar (or plain safetensors) file; tensors are read one at a time.

    Opening reads and checks the header only. ``f[name]`` reads that
    tensor's arrays and nothing else, with ``pread`` rather than through a
    memory map, so a file changed or truncated meanwhile gives a ValueError,
    never a crash, and a tensor read owns its data.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        with open_regular(self.path) as f:  # a pipe would block safetensors' open
            self._fd = os.dup(f.fileno())
        try:
            try:
                # safetensors checks the header: names, types, shapes, offsets.
                with safe_open(self.path, framework="numpy") as st:
                    metadata = dict(st.metadata() or {})
            except (SafetensorError, UnicodeDecodeError) as e:
                raise ValueError(f"{self.path}: not a safetensors file: {e}") from None
            n = int.from_bytes(os.pread(self._fd, 8, 0), "little")
            try:
                header = parse_json(os.pread(self._fd, n, 8)) if 8 + n <= os.fstat(self._fd).st_size else None
            except DuplicateKeyError as e:  # safetensors keeps one of them silently
                raise ValueError(f"{self.path}: header: {e}") from None
            except ValueError:
                header = None
            if not isinstance(header, dict):
                raise ValueError(f"{self.path}: the header changed while it was read")
            self._entries = {k: self._entry(k, v) for k, v in header.items() if k != HEADER_KEY}
            self._data_start = 8 + n
            self._check_header(metadata)
        except BaseException:
            self.close()
            raise

    def _fail(self, name: str, field: str, problem: str) -> ValueError:
        return ValueError(f"{self.path}: tensor {name!r}: {field}: {problem}")

    def _entry(self, key: str, doc: Any) -> _Entry:
        try:
            dtype = ST_DTYPES.get(doc["dtype"])
            shape = tuple(int(d) for d in doc["shape"])
            begin, end = (int(x) for x in doc["data_offsets"])
        except (KeyError, TypeError, ValueError):  # safetensors read another header
            raise self._fail(key, "header", "changed while it was read") from None
        if dtype is None:
            raise self._fail(key, "dtype", f"element type {doc['dtype']} is not supported")
        if end - begin != math.prod(shape) * dtype.itemsize:  # the file changed since safetensors looked
            raise self._fail(key, "data_offsets", f"{end - begin} bytes do not hold {dtype}{list(shape)}")
        return _Entry(dtype, shape, begin, end)

    def _check_header(self, meta: dict[str, str]) -> None:
        version = meta.pop(FORMAT_KEY, None)
        index_text = meta.pop(INDEX_KEY, None)
        # Other velmar.* keys are a later writer's own facts: not the user's
        # metadata (save refuses them there), and no reason to refuse the file.
        self.metadata: dict[str, str] = {k: v for k, v in meta.items() if not k.startswith("velmar.")}
        if version is None:
            if index_text is not None:
                raise ValueError(f"{self.path}: {INDEX_KEY} without {FORMAT_KEY}")
            index: dict[str, Any] = {}
        elif version != str(FORMAT_VERSION):
            raise ValueError(f"{self.path}: velmar file format {version!r:.20} is not one this velmar reads "
                             f"(it reads {FORMAT_VERSION})")
        else:
            try:
                index = parse_json(index_text or "")
            except DuplicateKeyError as e:
                raise ValueError(f"{self.path}: {INDEX_KEY}: {e}") from None
            except (ValueError, RecursionError):
                raise ValueError(f"{self.path}: {INDEX_KEY}: not valid JSON") from None
            if not isinstance(index, dict):
                raise ValueError(f"{self.path}: {INDEX_KEY}: not a JSON object")
        self.layouts: dict[str, Layout] = {}
        for name, doc in index.items():
            try:
                layout = Layout.from_json(doc)
            except LayoutError as e:
                raise self._fail(name, e.field, e.problem) from None
            if name in self._entries:
                raise self._fail(name, "name", "also stored as a plain array")
            if name == HEADER_KEY:  # save refuses it: what loads must save again
                raise self._fail(name, "name", "the name of the file's header")
            for part, (low, high) in layout.part_bounds().items():
                entry = self._entries.get(part_key(name, part))
                if entry is None:
                    raise self._fail(name, part, "missing")
                want = layout.part_dtype(part)
                if entry.dtype != want or len(entry.shape) != 1:
                    raise self._fail(name, part, f"expected a 1-D {ST_NAMES[want]} array, "
                                                 f"got {ST_NAMES[entry.dtype]}{list(entry.shape)}")
                if not low <= entry.shape[0] <= high:
                    expected = f"{low}" if low == high else f"{low} to {high}"
                    raise self._fail(name, part, f"expected {expected} elements, got {entry.shape[0]}")
            self.layouts[name] = layout
        # In the order of the data, which is the order they were saved in.
        owner = {part_key(n, p): n for n in self.layouts for p in PARTS}
        ordered = sorted(self._entries, key=lambda k: self._entries[k].begin)
        self.names = list(dict.fromkeys(owner.get(k, k) for k in ordered))

    def keys(self) -> list[str]:
        return list(self.names)

    def __contains__(self, name: object) -> bool:
        return name in self.names

    def __iter__(self) -> Iterator[str]:
        return iter(self.names)

    def __len__(self) -> int:
        return len(self.names)

    def layout(self, name: str) -> Layout | None:
        """The description of a quantized tensor, or None for a plain array."""
        if name not in self.names:
            raise KeyError(name)
        return self.layouts.get(name)

    def plain(self, name: str) -> tuple[np.dtype[Any], tuple[int, ...]]:
        """Element type and shape of a plain array."""
        entry = self._entries[name]
        return entry.dtype, entry.shape

    def read_rows(self, key: str, start: int = 0, stop: int = MAX_SIZE, *, frozen: bool = False) -> npt.NDArray[Any]:
        """Rows start to stop (along the first axis) of any array in the file, read straight from it.

        ``start`` and ``stop`` are taken as in a Python slice: negative ones
        count from the end. Unlike a memory map, the pages read do not stay in
        the process: a model read slice by slice never holds more than a slice.
        ``frozen`` reads into a buffer nothing can write, which a tensor keeps
        as a part without a copy.
        """
        entry = self._entries[key]
        if not entry.shape:
            return self._read(key, entry, 0, entry.end - entry.begin, frozen).reshape(())
        first, last, _ = slice(start, stop).indices(entry.shape[0])
        row = math.prod(entry.shape[1:]) * entry.dtype.itemsize
        count = max(last - first, 0)
        return self._read(key, entry, first * row, count * row, frozen).reshape(count, *entry.shape[1:])

    def _where(self, key: str) -> tuple[str, str]:
        """(tensor, field) to name in an error about array ``key``."""
        return (key, "data") if key in self.names else tuple(key.rsplit(":", 1))  # type: ignore[return-value]

    def _span(self, key: str, entry: _Entry, skip: int, nbytes: int) -> int:
        """Where in the file ``nbytes`` of an array from ``skip`` on begin, checked against
        the file's size now, before anything is allocated: the file may have shrunk."""
        offset = self._data_start + entry.begin + skip
        size = os.fstat(self._fd).st_size
        if offset + nbytes > size:
            raise self._fail(*self._where(key), f"the file ends inside its data ({size} bytes, "
                                                 f"the array ends at {self._data_start + entry.end})")
        return offset

    def _read(self, key: str, entry: _Entry, skip: int, nbytes: int, frozen: bool = False) -> npt.NDArray[Any]:
        """A new array of ``nbytes`` of an array's bytes from ``skip`` on (``frozen`` as for ``read_array``)."""
        out = read_array(self._fd, self._span(key, entry, skip, nbytes), nbytes, entry.dtype, frozen)
        if out is None:
            raise self._fail(*self._where(key), "the file ends inside its data")
        return out

    def __getitem__(self, name: str) -> Stored:
        layout = self.layout(name)
        if layout is None:
            entry = self._entries[name]
            return self._read(name, entry, 0, entry.end - entry.begin).reshape(entry.shape)
        parts = {part: self.read_rows(part_key(name, part), frozen=True) for part in PARTS}
        try:
            return build(layout, parts)  # type: ignore[no-any-return]
        except LayoutError as e:
            raise self._fail(name, e.field, e.problem) from None
        except ValueError as e:
            raise self._fail(name, "parts", str(e)) from None

    def close(self) -> None:
        if getattr(self, "_fd", -1) >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> File:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def load(path: str | os.PathLike[str]) -> dict[str, Stored]:
    """Every tensor of a file written by ``save`` (plain arrays as NumPy arrays)."""
    with File(path) as f:
        return {name: f[name] for name in f.keys()}
