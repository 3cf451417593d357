"""Importance files as llama.cpp's tools write them: a weight per input column.

An importance file holds, for each matrix of a model, the mean squared
activation of every input channel over some calibration text: the columns
whose inputs are large matter more to the layer's output, and a fit weighted
by them (``quantize_array(..., weights=w)``) spends its accuracy there.

Two forms are read:

- GGUF (``general.type`` = "imatrix"): per matrix ``NAME``, ``NAME.in_sum2``
  (float32 sums of squared activations, one row per expert of a stacked
  expert tensor) and ``NAME.counts`` (the number of activations summed, one
  per expert). The weights are in_sum2 / counts.
- the older binary ``.dat``: an int32 entry count; per entry an int32 name
  length, the UTF-8 name, an int32 call count, an int32 value count and that
  many float32 values; then, optionally, an int32 chunk count and a dataset
  name. The weights are the values over the call count.

Every length is checked against the file before anything is read into
memory; a file that does not add up raises ValueError naming the entry.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from velmar.files import open_regular

__all__ = ["Importance", "load"]

_IN_SUM2 = ".in_sum2"
_COUNTS = ".counts"


class Importance(Mapping[str, npt.NDArray[np.float32]]):
    """Weights by tensor name: (cols,) for a matrix, (experts, cols) for stacked experts."""

    def __init__(self, vectors: Mapping[str, npt.NDArray[np.float32]], source: str) -> None:
        self._vectors = dict(vectors)
        self.source = source

    def __getitem__(self, name: str) -> npt.NDArray[np.float32]:
        return self._vectors[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._vectors)

    def __len__(self) -> int:
        return len(self._vectors)

    def for_tensor(self, name: str, cols: int) -> npt.NDArray[np.float32] | None:
        """The weights of tensor ``name`` whose rows hold ``cols`` values, or None
        when the file has none for it; ValueError when they do not fit its rows."""
        w = self._vectors.get(name)
        if w is None:
            return None
        if w.ndim == 1 and w.size > cols and cols and w.size % cols == 0:  # experts, flattened
            w = w.reshape(-1, cols)
        if w.shape[-1] != cols:
            raise ValueError(
                f"{name}: {self.source} holds {w.shape[-1]} weights per row, but its rows have {cols} values")
        return w


def load(path: str | os.PathLike[str]) -> Importance:
    """The importance file at ``path``, in either form."""
    name = os.fspath(path)
    try:
        with open_regular(name) as f:
            magic = f.read(4)
    except OSError as e:
        raise ValueError(f"{name}: cannot read: {e.strerror or e}") from None
    vectors = _from_gguf(name) if magic == b"GGUF" else _from_dat(name)
    if not vectors:
        raise ValueError(f"{name}: no importance vectors in the file")
    return Importance(vectors, os.path.basename(name))


def _weights(name: str, sums: npt.NDArray[Any], counts: npt.NDArray[Any], where: str) -> npt.NDArray[np.float32]:
    """sums over counts, one count per row of sums; a row never counted gets equal weights."""
    s = np.asarray(sums, np.float64)
    c = np.asarray(counts, np.float64).reshape(-1, 1)
    if s.ndim not in (1, 2) or s.shape[-1] == 0 or c.shape[0] != (1 if s.ndim == 1 else s.shape[0]):
        raise ValueError(f"{where}: {name}: {s.shape} sums do not match {c.shape[0]} counts")
    if not (np.isfinite(s).all() and np.isfinite(c).all() and (s >= 0).all() and (c >= 0).all()):
        raise ValueError(f"{where}: {name}: sums and counts must be finite and not negative")
    rows = s.reshape(-1, s.shape[-1])
    out = np.ones_like(rows)
    seen = c[:, 0] > 0
    out[seen] = rows[seen] / c[seen]
    if not (out <= np.finfo(np.float32).max).all():  # a count far below one
        raise ValueError(f"{where}: {name}: sums over counts overflow float32")
    return out.reshape(s.shape).astype(np.float32)


def _from_gguf(path: str) -> dict[str, npt.NDArray[np.float32]]:
    from gguf import GGMLQuantizationType as GT

    from velmar.gguf_io import Reader

    reader = Reader(path)  # checks every tensor's shape and extent before anything is read
    try:
        tensors = reader.by_name
        vectors = {}
        for key, t in tensors.items():
            if not key.endswith(_IN_SUM2):
                continue
            name = key[: -len(_IN_SUM2)]
            counts = tensors.get(name + _COUNTS)
            if counts is None:
                raise ValueError(f"{path}: {name} has {key} but no {name}{_COUNTS}")
            if t.kind != GT.F32 or counts.kind != GT.F32:
                raise ValueError(f"{path}: {name}: the sums and counts must be F32")
            sums = reader.rows(t, 0, 2**63)
            vectors[name] = _weights(name, sums, reader.rows(counts, 0, 2**63), path)
        return vectors
    finally:
        reader.close()


def _from_dat(path: str) -> dict[str, npt.NDArray[np.float32]]:
    with open(path, "rb") as f:
        data = f.read()
    at = 0

    def take(n: int, what: str) -> bytes:
        nonlocal at
        if n < 0 or n > len(data) - at:
            raise ValueError(f"{path}: {what} runs past the end of the file ({len(data)} bytes)")
        at += n
        return data[at - n : at]

    def int32(what: str) -> int:
        value: int = struct.unpack("<i", take(4, what))[0]
        return value

    count = int32("the entry count")
    if count < 0 or count > len(data) // 16:  # an entry takes at least 16 bytes
        raise ValueError(f"{path}: not an importance file: {count} entries in {len(data)} bytes")
    vectors = {}
    for k in range(count):
        raw = take(int32(f"entry {k}"), f"entry {k}'s name")
        try:
            name = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{path}: entry {k}'s name is not UTF-8") from None
        calls, nval = int32(name), int32(name)
        if nval <= 0:
            raise ValueError(f"{path}: {name}: {nval} values")
        values = np.frombuffer(take(4 * nval, f"{name}'s {nval} values"), "<f4")
        if name in vectors:
            raise ValueError(f"{path}: {name} appears twice")
        vectors[name] = _weights(name, values, np.array([calls]), path)
    return vectors

