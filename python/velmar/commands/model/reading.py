"""Model files of every supported kind, read one tensor (or one slice of rows) at a time."""

from __future__ import annotations

import math
import os
import zipfile
from collections import Counter
from dataclasses import dataclass
from functools import lru_cache
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velmar.commands.common import NPY_DAMAGED, UsageError, npy_header, optional, read_magic
from velmar.layout import BFLOAT16, Layout

if TYPE_CHECKING:
    from velmar import gguf_io, io
    from velmar.io import Stored


@dataclass(frozen=True)
class Entry:
    name: str
    shape: tuple[int, ...]
    dtype: str
    nbytes: int
    floating: bool
    stored: Layout | None  # quantized already, in a velmar scheme: its description
    blocks: bool = False  # stored in GGUF blocks (dtype names the type), with or without a velmar scheme


def _entry(name: str, shape: tuple[int, ...], dtype: np.dtype[Any] | str, nbytes: int,
           stored: Layout | None = None) -> Entry:
    dt = dtype if isinstance(dtype, str) else str(dtype)
    floating = stored is None and (isinstance(dtype, str) or dtype.kind == "f" or dtype == BFLOAT16)
    return Entry(name, tuple(int(d) for d in shape), dt, int(nbytes), floating, stored)


class Source:
    """One model file: its tensors, each readable whole or as slices of rows."""

    kind: str
    entries: list[Entry]
    metadata: dict[str, str] | None = None  # the file's own, carried to a velmar file written from it

    def rows(self, name: str) -> Any:
        """The tensor as something sliceable along its first axis, read slice by slice where the format allows."""
        raise NotImplementedError

    def read(self, entry: Entry) -> Stored:
        """The whole tensor as it is stored: an array, or a velmar object if quantized already."""
        return np.asarray(self.rows(entry.name)[...], order="C")  # ascontiguousarray would make a 0-d array 1-d


class SafetensorsSource(Source):
    """A safetensors (or velmar) file, or a model folder of them; compressed-tensors layers read as velmar tensors."""

    kind = "safetensors"

    def __init__(self, path: str) -> None:
        optional("safetensors", "reading safetensors files")
        from velmar import ct_io, folders, io

        self.folder: folders.Folder | None = None
        if os.path.isdir(path):
            self.kind = "folder"
            self.folder = folders.open_folder(path)
            shards = self.folder.shards
        else:
            shards = {os.path.basename(path): io.File(path)}
            self.metadata = shards[os.path.basename(path)].metadata
        self.file_of = {k: f for f in shards.values() for k in f.keys()}
        self.shard_of = {k: shard for shard, f in shards.items() for k in f.keys()}
        plain = {k: f.plain(k) for k, f in self.file_of.items() if f.layout(k) is None}
        config = self.folder.config if self.folder else None
        self.packed = {p.name: p for p in ct_io.find(config, plain, self._read_key, path).values()}
        taken = {p.key(s): p.name for p in self.packed.values() for s in ct_io.SUFFIXES}
        self.entries = []
        for key, f in self.file_of.items():
            name = taken.get(key)
            if name is not None:
                if key.endswith(".weight_packed"):
                    lay = self.packed[name].layout
                    self.shard_of[name] = self.shard_of[key]
                    self.entries.append(_entry(name, lay.shape, lay.dtype, _dense_bytes(lay), lay))
                continue
            layout = f.layout(key)
            if layout is not None:
                self.entries.append(_entry(key, layout.shape, layout.dtype, _dense_bytes(layout), layout))
            else:
                dt, shape = plain[key]
                self.entries.append(_entry(key, shape, dt, math.prod(shape) * dt.itemsize))

    def _read_key(self, key: str) -> npt.NDArray[Any]:
        return np.asarray(self.file_of[key][key])

    def rows(self, name: str) -> Any:
        return _Rows(self.file_of[name], name)

    def read(self, entry: Entry) -> Stored:
        from velmar import ct_io

        if entry.name in self.packed:
            return ct_io.build(self.packed[entry.name], self._read_key)
        return self.file_of[entry.name][entry.name]


def _dense_bytes(layout: Layout) -> int:
    """Bytes of the tensor before it was quantized."""
    return math.prod(layout.shape) * layout.origin_dtype.itemsize


class GgufSource(Source):
    kind = "gguf"

    def __init__(self, path: str) -> None:
        optional("gguf", "reading GGUF files")
        from velmar import gguf_io

        self.reader = gguf_io.Reader(path)
        self.entries = []
        for t in self.reader.tensors:
            b = gguf_io.BLOCK_TYPES.get(t.kind)
            if t.kind in gguf_io.PLAIN_TYPES:
                self.entries.append(_entry(t.name, t.shape, gguf_io.PLAIN_TYPES[t.kind], t.nbytes))
            else:
                stored = None if b is None else Layout.for_scheme(b.scheme, b.scale, t.shape)
                self.entries.append(Entry(t.name, t.shape, t.kind.name, t.nbytes, False, stored, True))

    def rows(self, name: str) -> Any:
        return _GgufRows(self.reader, self.reader.by_name[name])

    def read(self, entry: Entry) -> Stored:
        t = self.reader.by_name[entry.name]
        return self.reader.read(t) if entry.stored is not None or not entry.blocks else self.reader.rows(t, 0, 2**63)


_DEFLATE_MOST = 1032  # the most deflate expands its input, so a member's declared size is checked before reading


class NumpySource(Source):
    """A .npy file (one tensor, named after the file) or a .npz archive, whose headers are read first and checked
    against the bytes that follow them."""

    def __init__(self, path: str, archive: bool) -> None:
        self.kind = "npz" if archive else "npy"
        self.entries = []
        arrays: dict[str, tuple[tuple[int, ...], np.dtype[Any], int]] = {}  # shape, dtype, bytes after the header
        try:
            if archive:
                self.npz = np.load(path, allow_pickle=False)
                size = os.path.getsize(path)
                twice = [n for n, count in Counter(self.npz.files).items() if count > 1]
                if twice:  # "w" and "w.npy", or one name twice: NumPy reads one, the other would be lost
                    raise ValueError(f"{twice[0]!r}: two archive members hold it")
                for name in self.npz.files:
                    member = name + ".npy" if name + ".npy" in self.npz.zip.namelist() else name
                    info = self.npz.zip.getinfo(member)
                    if info.flag_bits & 0x1:
                        raise ValueError(f"{name!r}: an encrypted zip member; NumPy writes none")
                    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
                        raise ValueError(f"{name!r}: zip compression method {info.compress_type}; NumPy stores or "
                                         "deflates")
                    if info.header_offset + info.compress_size > size:  # NumPy allocates what the member claims
                        raise ValueError(f"{name!r}: the archive says {info.compress_size} stored bytes, more than "
                                         f"its {size} bytes hold")
                    if info.file_size > info.compress_size * (1 if info.compress_type == zipfile.ZIP_STORED
                                                              else _DEFLATE_MOST):
                        raise ValueError(f"{name!r}: the archive says {info.file_size} bytes, more than its "
                                         f"{info.compress_size} stored bytes can hold")
                    with self.npz.zip.open(member) as f:
                        shape, _, dtype = npy_header(f, info.file_size)  # the header only
                        arrays[name] = (shape, dtype, info.file_size - f.tell())
            else:
                with open(path, "rb") as f:
                    shape, fortran, dtype = npy_header(f, os.fstat(f.fileno()).st_size)
                    self.npy = _NpyRows(path, f.tell(), shape, dtype, fortran)
                held = os.path.getsize(path) - self.npy.offset
                arrays[os.path.splitext(os.path.basename(path))[0]] = (shape, dtype, held)
        except NPY_DAMAGED as e:
            raise ValueError(f"not a readable {'.npz archive' if archive else '.npy file'}: {e}") from None
        for name, (shape, dtype, held) in arrays.items():
            if dtype.kind not in "biuf" and dtype != BFLOAT16:
                raise ValueError(f"{name!r} holds {dtype} values, not numbers")
            nbytes = math.prod(shape) * dtype.itemsize
            if nbytes > held:
                raise ValueError(f"{name!r}: its header says {dtype}{list(shape)}, {nbytes} bytes, "
                                 f"but {held} bytes follow it")
            self.entries.append(_entry(name, shape, dtype, nbytes))

    def rows(self, name: str) -> Any:
        if self.kind == "npy":
            return self.npy
        try:
            return self.npz[name]
        except NPY_DAMAGED as e:
            raise ValueError(f"a damaged archive member: {e}") from None


class _NpyRows:
    """Slices of a .npy file's rows, read as they are asked for: a file that shrinks meanwhile gives a
    ValueError where a memory map would kill the process."""

    def __init__(self, path: str, offset: int, shape: tuple[int, ...], dtype: np.dtype[Any], fortran: bool) -> None:
        self.path, self.offset, self.shape, self.dtype, self.fortran = path, offset, shape, dtype, fortran

    def _read(self, skip: int, count: int) -> npt.NDArray[Any]:
        with open(self.path, "rb") as f:
            f.seek(self.offset + skip)
            out = np.fromfile(f, self.dtype, count)
        if out.size < count:
            raise ValueError(f"{self.path}: the file ends inside its data")
        return out

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        if self.shape and not self.fortran and isinstance(index, slice) and index.step is None:
            first, last, _ = index.indices(self.shape[0])
            per = math.prod(self.shape[1:])
            count = max(last - first, 0)
            return self._read(first * per * self.dtype.itemsize, count * per).reshape(count, *self.shape[1:])
        whole = self._read(0, math.prod(self.shape)).reshape(self.shape, order="F" if self.fortran else "C")
        return np.asarray(whole[index])


class _Rows:
    """Slices of a safetensors array, read from the file as they are asked for."""

    def __init__(self, file: io.File, name: str) -> None:
        self.file, self.name = file, name

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        if isinstance(index, slice) and index.step is None:
            return self.file.read_rows(self.name, index.start or 0, 2**63 if index.stop is None else index.stop)
        return np.asarray(self.file.read_rows(self.name)[index])


class _GgufRows:
    """Slices of rows of a GGUF tensor, read (swapped in a big-endian file, blocks decoded) as they are asked for."""

    def __init__(self, reader: gguf_io.Reader, t: gguf_io.Tensor) -> None:
        self.reader, self.t = reader, t

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        if isinstance(index, slice) and index.step is None:
            return self.reader.rows(self.t, index.start or 0, 2**63 if index.stop is None else index.stop)
        return np.asarray(self.reader.rows(self.t, 0, 2**63)[index])


def _open(path: str) -> Source:
    if os.path.isdir(path):
        try:
            return SafetensorsSource(path)
        except (ValueError, OSError) as e:
            raise UsageError(str(e)) from None
    magic = read_magic(path, 8)
    try:
        if magic.startswith(b"GGUF"):
            return GgufSource(path)
        if magic.startswith(b"\x93NUMPY") or magic.startswith(b"PK"):
            return NumpySource(path, magic.startswith(b"PK"))
        return SafetensorsSource(path)
    except (ValueError, OSError, EOFError) as e:
        raise UsageError(f"{path}: unreadable: {e}") from None


@lru_cache(maxsize=4)
def open_source(path: str) -> Source:
    # One per process and file: threads share it, Dask workers open their own.
    return _open(path)
