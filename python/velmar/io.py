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
import threading
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Self, TypeAlias, Union

import numpy as np
import numpy.typing as npt
from safetensors import SafetensorError, safe_open

from velmar._native import Quantized
from velmar.layout import BFLOAT16, PARTS, Layout, LayoutError, scale_dtype
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
# Element types a quantized tensor may say it came from.
ORIGIN_DTYPES = {str(d) for d in ST_DTYPES.values()}
MAX_SIZE = 2**63 - 1

Stored: TypeAlias = Union[QuantizedTensor, Quantized, npt.NDArray[Any]]


def part_key(name: str, part: str) -> str:
    return f"{name}:{part}"


def parse_layout(doc: object) -> Layout:
    """One tensor's JSON description, checked; raises LayoutError naming the first wrong field."""
    layout = Layout.from_json(doc)
    if layout.dtype not in ORIGIN_DTYPES:
        raise LayoutError("dtype", f"unknown element type {layout.dtype!r:.60}")
    return layout


# ---------------------------------------------------------------- objects <-> parts


def parts_of(obj: Any) -> dict[str, npt.NDArray[Any]]:
    if isinstance(obj, Quantized):
        _, _, scale, _, _, codes, _, widths, scales, zps = obj.__getstate__()
        e = scale_dtype(scale)
        return {
            "codes": np.frombuffer(codes, np.uint8),
            "scales": np.frombuffer(scales, e),
            "zero_points": np.frombuffer(zps, e),
            "widths": np.asarray(widths, np.uint32),
        }
    parts: dict[str, npt.NDArray[Any]] = obj.parts()
    return parts


def build(layout: Layout, parts: Mapping[str, npt.NDArray[Any]]) -> Any:
    """The object the parts describe; the parts' sizes are checked already."""
    if layout.vector:
        state = (
            1, layout.kind, layout.scale_member, layout.block, layout.row_len,
            parts["codes"].tobytes(), layout.bits, tuple(int(w) for w in parts["widths"]),
            parts["scales"].tobytes(), parts["zero_points"].tobytes(),
        )
        return Quantized._from_pickle(state)
    dtype = BFLOAT16 if layout.dtype == "bfloat16" else np.dtype(layout.dtype)
    return QuantizedTensor.from_parts(
        shape=layout.shape, axis=layout.axis, scheme=layout.scheme(), scale=layout.scale_member,
        dtype=dtype, codes=parts["codes"], scales=parts["scales"], zero_points=parts["zero_points"],
        widths=parts["widths"],
    )


# ---------------------------------------------------------------- writing


def durable_replace(temp: str, final: str) -> None:
    """Renames a finished temporary file over `final`, flushed to disk first, so
    that a crash leaves either the old file or the whole new one."""
    _fsync(temp)
    os.replace(temp, final)
    _fsync(os.path.dirname(os.path.abspath(final)))


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class Staged:
    """A file written under a temporary name next to ``path``; it gets its name only in ``commit``.

    Subclasses write to ``self.file`` and end their ``commit`` with
    ``_publish``; leaving a ``with`` block early, or a failed commit, removes
    the temporary file, so an incomplete file is never left behind.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        directory, base = os.path.split(os.path.abspath(self.path))
        self.temp = os.path.join(directory, f".{base}.{os.getpid()}.{threading.get_ident()}.part")
        fd = os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self.file = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self._publish()

    def _publish(self) -> None:
        self.file.close()
        durable_replace(self.temp, self.path)

    def abort(self) -> None:
        self.file.close()
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        if kind is None:
            try:
                self.commit()
            except BaseException:
                self.abort()  # a file that could not be completed is not left behind either
                raise
        else:
            self.abort()


class Writer(Staged):
    """A safetensors file written one array at a time, under a temporary name.

    The header comes first in the file but its offsets are known only at the
    end, so its space is reserved from upper bounds of every array's size and
    the final header is padded with spaces (which JSON ignores) to fill it.
    Arrays go to the file as they are given, so only one needs to be in
    memory; the file gets its real name only in ``commit``.
    """

    def __init__(self, path: str | os.PathLike[str], entries: list[tuple[str, str, tuple[int, ...]]],
                 metadata: Mapping[str, str]) -> None:
        self.metadata = dict(metadata)
        # key -> (dtype name, upper bound of the shape); the real shape may be smaller.
        self.declared = {key: (dt, shape) for key, dt, shape in entries}
        if len(self.declared) != len(entries):
            raise ValueError("two arrays have the same name")
        self.written: dict[str, tuple[str, list[int], int, int]] = {}
        bound = sum(ST_DTYPES[dt].itemsize * math.prod(shape) for dt, shape in self.declared.values())
        widest = {k: {"dtype": dt, "shape": list(shape), "data_offsets": [bound, bound]}
                  for k, (dt, shape) in self.declared.items()}
        self.reserved = -(-len(self._header(widest)) // 8) * 8
        super().__init__(path)
        self.offset = 0
        self.file.seek(8 + self.reserved)

    def _header(self, entries: Mapping[str, Any]) -> bytes:
        doc: dict[str, Any] = {"__metadata__": self.metadata} if self.metadata else {}
        doc.update(entries)
        return json.dumps(doc, separators=(",", ":"), ensure_ascii=True).encode()

    def put(self, key: str, array: npt.NDArray[Any]) -> None:
        dt, bound = self.declared[key]
        if key in self.written:
            raise ValueError(f"{key!r} written twice")
        a = np.ascontiguousarray(array)
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


def header_metadata(layouts: Mapping[str, Layout], metadata: Mapping[str, str] | None) -> dict[str, str]:
    meta = dict(metadata or {})
    for k, v in meta.items():
        if not isinstance(k, str) or not isinstance(v, str):
            raise TypeError("metadata keys and values must be strings")
        if k.startswith("velmar."):
            raise ValueError(f"metadata key {k!r}: keys starting with 'velmar.' are reserved")
    meta[FORMAT_KEY] = str(FORMAT_VERSION)
    meta[INDEX_KEY] = json.dumps({n: lay.as_json() for n, lay in layouts.items()}, separators=(",", ":"))
    return meta


def save(path: str | os.PathLike[str], tensors: Mapping[str, Stored], metadata: Mapping[str, str] | None = None) -> None:
    """Write quantized tensors (and plain arrays) to ``path``.

    The file appears under its name only when complete; on any error the
    previous file at ``path``, if any, is left as it was.
    """
    layouts: dict[str, Layout] = {}
    entries: list[tuple[str, str, tuple[int, ...]]] = []
    for name, obj in tensors.items():
        if not isinstance(name, str):
            raise TypeError(f"tensor names are strings, not {type(name).__name__}")
        if isinstance(obj, np.ndarray):
            entries.append(plain_entry(name, obj))
        else:
            layouts[name] = Layout.of(obj)
            entries += quantized_entries(name, layouts[name])
    with Writer(path, entries, header_metadata(layouts, metadata)) as w:
        for name, obj in tensors.items():
            if isinstance(obj, np.ndarray):
                w.put(name, obj)
            else:
                for part, array in parts_of(obj).items():
                    w.put(part_key(name, part), array.reshape(-1))


# ---------------------------------------------------------------- reading


class File:
    """An opened velmar (or plain safetensors) file; tensors are read one at a time.

    Opening reads and checks the header only. ``f[name]`` reads that
    tensor's arrays and nothing else.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        try:
            self._st: Any = safe_open(self.path, framework="numpy")
        except (SafetensorError, UnicodeDecodeError) as e:
            raise ValueError(f"{self.path}: not a safetensors file: {e}") from None
        self._fd = -1
        try:
            self._check_header()
            self._fd = os.open(self.path, os.O_RDONLY)
            # safetensors has checked the header; its offsets let read_rows
            # read a few rows without mapping the whole file into memory.
            n = int.from_bytes(os.pread(self._fd, 8, 0), "little")
            entries = json.loads(os.pread(self._fd, n, 8))
            self._data_start = 8 + n
            self._offsets = {k: int(v["data_offsets"][0]) for k, v in entries.items() if k != "__metadata__"}
        except BaseException:
            self.close()
            raise

    def _fail(self, name: str, field: str, problem: str) -> ValueError:
        return ValueError(f"{self.path}: tensor {name!r}: {field}: {problem}")

    def _check_header(self) -> None:
        meta = dict(self._st.metadata() or {})
        version = meta.pop(FORMAT_KEY, None)
        index_text = meta.pop(INDEX_KEY, None)
        self.metadata: dict[str, str] = meta
        if version is None:
            if index_text is not None:
                raise ValueError(f"{self.path}: {INDEX_KEY} without {FORMAT_KEY}")
            index: dict[str, Any] = {}
        elif version != str(FORMAT_VERSION):
            raise ValueError(f"{self.path}: velmar file format {version!r:.20} is not one this velmar reads "
                             f"(it reads {FORMAT_VERSION})")
        else:
            try:
                index = json.loads(index_text or "")
            except (ValueError, RecursionError):
                raise ValueError(f"{self.path}: {INDEX_KEY}: not valid JSON") from None
            if not isinstance(index, dict):
                raise ValueError(f"{self.path}: {INDEX_KEY}: not a JSON object")
        keys = set(self._st.keys())
        self.layouts: dict[str, Layout] = {}
        claimed: set[str] = set()
        for name, doc in index.items():
            try:
                layout = parse_layout(doc)
            except LayoutError as e:
                raise self._fail(name, e.field, e.problem) from None
            if name in keys:
                raise self._fail(name, "name", "also stored as a plain array")
            for part, count in layout.part_counts().items():
                key = part_key(name, part)
                if key not in keys:
                    raise self._fail(name, part, "missing")
                claimed.add(key)
                sl = self._st.get_slice(key)
                dt, shape = sl.get_dtype(), sl.get_shape()
                want = ST_NAMES[layout.part_dtype(part)]
                if dt != want or len(shape) != 1:
                    raise self._fail(name, part, f"expected a 1-D {want} array, got {dt}{shape}")
                if count is not None and shape[0] != count:
                    raise self._fail(name, part, f"expected {count} elements, got {shape[0]}")
                if count is None and layout.rows * layout.row_len > 4 * shape[0]:
                    # Every width is at least 2 bits: fewer bytes cannot hold the codes.
                    raise self._fail(name, part, f"{shape[0]} bytes cannot hold {layout.rows * layout.row_len} codes")
            self.layouts[name] = layout
        # In the order of the data, which is the order they were saved in.
        ordered = self._st.offset_keys() if hasattr(self._st, "offset_keys") else self._st.keys()
        owner = {part_key(n, p): n for n in self.layouts for p in PARTS}
        self.names = list(dict.fromkeys(owner.get(k, k) for k in ordered))
        for k in self.names:
            if k not in self.layouts and self._st.get_slice(k).get_dtype() not in ST_DTYPES:
                raise self._fail(k, "dtype", f"element type {self._st.get_slice(k).get_dtype()} is not supported")

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
        sl = self._st.get_slice(name)
        return ST_DTYPES[sl.get_dtype()], tuple(sl.get_shape())

    def read_rows(self, key: str, start: int = 0, stop: int = MAX_SIZE) -> npt.NDArray[Any]:
        """Rows start to stop (along the first axis) of any array in the file, read straight from it.

        Unlike a memory map, the pages read do not stay in the process: a
        model read slice by slice never holds more than a slice.
        """
        sl = self._st.get_slice(key)
        dtype, shape = ST_DTYPES[sl.get_dtype()], tuple(sl.get_shape())
        if not shape:
            return np.asarray(self._st.get_tensor(key))
        stop = max(start, min(stop, shape[0]))
        out = np.empty((stop - start, *shape[1:]), dtype)
        skip = start * (out.nbytes // (stop - start)) if stop > start else 0
        view = out.reshape(-1).view(np.uint8).data
        offset = self._data_start + self._offsets[key] + skip
        done = 0
        while done < out.nbytes:
            got = os.preadv(self._fd, [view[done:]], offset + done)
            if got <= 0:
                raise ValueError(f"{self.path}: {key!r}: the file ends inside its data")
            done += got
        return out

    def __getitem__(self, name: str) -> Stored:
        layout = self.layout(name)
        if layout is None:
            array: npt.NDArray[Any] = self._st.get_tensor(name)
            return array
        parts: dict[str, npt.NDArray[Any]] = {}
        for part in ("widths", "scales", "zero_points", "codes"):
            # Mapped, not read: pages are read as the tensor is used.
            parts[part] = self._st.get_tensor(part_key(name, part))
            parts[part].flags.writeable = False  # so that the tensor adopts it without a copy
            if part == "widths" and layout.kind == "adaptive":
                try:
                    need = layout.part_counts(parts["widths"])["codes"]
                except ValueError:
                    raise self._fail(name, "widths", "every width is from 2 to 8 bits") from None
            if part == "codes" and layout.kind == "adaptive":
                if parts["codes"].size != need:
                    raise self._fail(name, "codes", f"the widths need {need} bytes, got {parts['codes'].size}")
        try:
            return build(layout, parts)  # type: ignore[no-any-return]
        except (ValueError, TypeError, OverflowError) as e:
            raise self._fail(name, "parts", str(e)) from None

    def close(self) -> None:
        if getattr(self, "_fd", -1) >= 0:
            os.close(self._fd)
            self._fd = -1
        st = getattr(self, "_st", None)
        if st is not None:
            st.__exit__(None, None, None)

    def __enter__(self) -> File:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def load(path: str | os.PathLike[str]) -> dict[str, Stored]:
    """Every tensor of a file written by ``save`` (plain arrays as NumPy arrays)."""
    with File(path) as f:
        return {name: f[name] for name in f.keys()}
