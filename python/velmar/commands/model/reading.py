"""Model files of every supported kind, read one tensor (or one slice of rows) at a time."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from functools import lru_cache
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velmar._native import Scale, Scheme
from velmar.commands.common import UsageError, optional, read_magic
from velmar.layout import BFLOAT16, Layout

if TYPE_CHECKING:
    from velmar import io
    from velmar.io import Stored


@dataclass(frozen=True)
class Entry:
    name: str
    shape: tuple[int, ...]
    dtype: str
    nbytes: int
    floating: bool
    stored: Layout | None  # quantized already: its description


def _entry(name: str, shape: tuple[int, ...], dtype: np.dtype[Any] | str, nbytes: int,
           stored: Layout | None = None) -> Entry:
    dt = dtype if isinstance(dtype, str) else str(dtype)
    floating = stored is None and (isinstance(dtype, str) or dtype.kind == "f" or dt == "bfloat16")
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
        return np.ascontiguousarray(self.rows(entry.name)[...])


class SafetensorsSource(Source):
    kind = "safetensors"

    def __init__(self, path: str) -> None:
        optional("safetensors", "reading safetensors files")
        from velmar import io

        self.file = io.File(path)
        self.metadata = self.file.metadata
        self.entries = []
        for name in self.file.keys():
            layout = self.file.layout(name)
            if layout is not None:
                item = BFLOAT16.itemsize if layout.dtype == "bfloat16" else np.dtype(layout.dtype).itemsize
                self.entries.append(_entry(name, layout.shape, layout.dtype, math.prod(layout.shape) * item, layout))
            else:
                dt, shape = self.file.plain(name)
                self.entries.append(_entry(name, shape, dt, math.prod(shape) * dt.itemsize))

    def rows(self, name: str) -> Any:
        return _Rows(self.file, name)

    def read(self, entry: Entry) -> Stored:
        return self.file[entry.name]


class GgufSource(Source):
    kind = "gguf"

    def __init__(self, path: str) -> None:
        gguf = optional("gguf", "reading GGUF files")
        from velmar import gguf_io

        self.gguf: dict[str, tuple[Any, tuple[int, ...], Any]] = {}
        self.entries = []
        GT = gguf.GGMLQuantizationType
        for name, kind, shape, t in gguf_io.tensors(path):
            self.gguf[name] = (kind, shape, t)
            stored = None
            if kind in (GT.Q8_0, GT.Q4_0):
                bits = 8 if kind == GT.Q8_0 else 4
                stored = Layout.for_scheme(Scheme.symmetric(bits, 32), Scale.F16, shape)
            if kind in gguf_io.PLAIN_TYPES:
                self.entries.append(_entry(name, shape, np.dtype(gguf_io.PLAIN_TYPES[kind]), int(t.n_bytes)))
            elif kind == GT.BF16:
                self.entries.append(_entry(name, shape, BFLOAT16, int(t.n_bytes)))
            else:
                self.entries.append(_entry(name, shape, kind.name, int(t.n_bytes), stored))

    def rows(self, name: str) -> Any:
        from velmar import gguf_io

        kind, shape, t = self.gguf[name]
        if kind.name == "BF16":
            return np.asarray(t.data).view(BFLOAT16).reshape(shape)
        if kind in gguf_io.PLAIN_TYPES:
            return np.asarray(t.data).reshape(shape)
        return _Decoded(np.asarray(t.data).reshape(*shape[:-1], -1), kind)

    def read(self, entry: Entry) -> Stored:
        from velmar import gguf_io

        if entry.stored is not None:
            kind, shape, t = self.gguf[entry.name]
            return gguf_io.convert(entry.name, kind, shape, t)
        return super().read(entry)


class NumpySource(Source):
    """A .npy file (one tensor, named after the file) or a .npz archive, whose headers are read first."""

    def __init__(self, path: str, archive: bool) -> None:
        self.kind = "npz" if archive else "npy"
        self.entries = []
        arrays: dict[str, tuple[tuple[int, ...], np.dtype[Any]]] = {}
        if archive:
            self.npz = np.load(path, allow_pickle=False)
            for name in self.npz.files:
                member = name + ".npy" if name + ".npy" in self.npz.zip.namelist() else name
                with self.npz.zip.open(member) as f:
                    version = np.lib.format.read_magic(f)
                    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
                    shape, _, dtype = read(f)  # the header only
                arrays[name] = (shape, dtype)
        else:
            self.npy = np.load(path, mmap_mode="r", allow_pickle=False)
            arrays[os.path.splitext(os.path.basename(path))[0]] = (self.npy.shape, self.npy.dtype)
        for name, (shape, dtype) in arrays.items():
            if dtype.kind not in "biuf" and str(dtype) != "bfloat16":
                raise ValueError(f"{name!r} holds {dtype} values, not numbers")
            self.entries.append(_entry(name, shape, dtype, math.prod(shape) * dtype.itemsize))

    def rows(self, name: str) -> Any:
        return self.npz[name] if self.kind == "npz" else self.npy


class _Rows:
    """Slices of a safetensors array, read from the file as they are asked for."""

    def __init__(self, file: io.File, name: str) -> None:
        self.file, self.name = file, name

    def __getitem__(self, index: Any) -> npt.NDArray[Any]:
        if isinstance(index, slice) and index.step is None:
            return self.file.read_rows(self.name, index.start or 0, 2**63 if index.stop is None else index.stop)
        return np.asarray(self.file.read_rows(self.name)[index])


class _Decoded:
    """Rows of a GGUF block type velmar has no counterpart for, decoded by gguf itself."""

    def __init__(self, data: npt.NDArray[np.uint8], kind: Any) -> None:
        self.data, self.kind = data, kind

    def __getitem__(self, index: Any) -> npt.NDArray[np.float32]:
        import gguf

        return np.asarray(gguf.quants.dequantize(np.asarray(self.data[index]), self.kind), np.float32)


def _open(path: str) -> Source:
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
