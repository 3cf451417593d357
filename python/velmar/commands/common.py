"""What every subcommand shares: the user's mistake, the scheme syntax, files' first bytes, optional packages, progress."""

from __future__ import annotations

import importlib
import os
import sys
import threading
import tokenize
import zipfile
import zlib
from types import ModuleType
from typing import Any, TextIO

import numpy as np

from velmar._native import Scheme
from velmar.files import Staged, open_regular

__all__ = ["NPY_DAMAGED", "SCHEME_SYNTAX", "Progress", "UsageError", "human", "npy_header", "optional", "parse_scheme",
           "read_magic", "save_figure"]

SCHEME_SYNTAX = "symmetric[:BITS], asymmetric[:BITS] or adaptive[:TOLERANCE]"
# Optional packages by module: what to install, and the extra that brings it.
OPTIONAL = {
    "matplotlib": ("matplotlib", "cli"),
    "distributed": ("Dask", "dask"),
    "gguf": ("gguf", "files"),
    "safetensors": ("safetensors", "files"),
}


class UsageError(Exception):
    """A mistake in the command line or the input: reported in one line, without a traceback."""


def optional(module: str, purpose: str) -> ModuleType:
    """Import an optional package, or say in one line what to install for ``purpose``."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package, extra = OPTIONAL[module.partition(".")[0]]
        raise UsageError(f"{purpose} needs {package}: pip install 'velmar[{extra}]'") from None


def parse_scheme(text: str, block: int | None = None) -> Scheme:
    """Parse ``symmetric:4``, ``asymmetric``, ``adaptive:0.01`` and the like."""
    kind, _, param = text.strip().partition(":")
    kind = kind.lower()
    block = Scheme.symmetric().block if block is None else block
    try:
        if not param.isascii() or "_" in param:  # int() and float() read 4_0 as 40, and digits of any script
            raise ValueError
        if kind in ("symmetric", "asymmetric"):
            make = Scheme.symmetric if kind == "symmetric" else Scheme.asymmetric
            if not param:
                return make(block=block)
            bits = int(param)
            if bits < 0:
                raise ValueError
            return make(bits, block)
        if kind == "adaptive":
            return Scheme.adaptive(block, float(param)) if param else Scheme.adaptive(block)
    except (ValueError, OverflowError):
        raise UsageError(f"bad scheme {text!r}: the parameter is not a valid number") from None
    raise UsageError(f"unknown scheme {text!r}: expected {SCHEME_SYNTAX}")


def read_magic(path: str, n: int) -> bytes:
    """The first n bytes of a file, or UsageError saying why it cannot be read."""
    try:
        with open_regular(path) as f:
            return f.read(n)
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except OSError as e:
        raise UsageError(f"{path}: cannot read: {e.strerror or e}") from None


def save_figure(fig: Any, path: str, dpi: int) -> None:
    """A matplotlib figure written whole to ``path`` (in the format its extension names), or UsageError."""
    ext = os.path.splitext(path)[1][1:].lower()
    try:
        with Staged(path) as out:
            fig.savefig(out.file, format=ext or None, dpi=dpi)
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot write the plot {path}: {e}") from None


# What NumPy's .npy and .npz readers raise, besides ValueError, for damaged bytes (NotImplementedError: a zip
# feature Python lacks).
NPY_DAMAGED = (zipfile.BadZipFile, zlib.error, EOFError, SyntaxError, tokenize.TokenError, NotImplementedError)


def npy_header(f: Any, size: int) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    """(shape, Fortran order, dtype) of a .npy stream of ``size`` bytes, which is left at its data."""
    version = np.lib.format.read_magic(f)
    if version not in ((1, 0), (2, 0), (3, 0)):
        raise ValueError(f".npy format version {version[0]}.{version[1]} is not one NumPy writes")
    at, width = f.tell(), 2 if version == (1, 0) else 4
    raw = f.read(width)
    length = int.from_bytes(raw, "little")
    if len(raw) == width and length > size - at - width:  # NumPy would allocate it before finding the end
        raise ValueError(f"a .npy header of {length} bytes, but {max(size - at - width, 0)} bytes follow")
    f.seek(at)
    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, fortran, dtype = read(f)
    # NumPy's check lets negative sizes and booleans through: a size of -1 would read the whole file.
    if any(type(d) is not int or d < 0 for d in shape):
        raise ValueError(f"a .npy header with shape {shape!r:.80}: sizes are whole numbers, none negative")
    return shape, fortran, dtype


def human(n: float) -> str:
    """A byte count for people: 512 B, 3.2 MiB."""
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return str(n)  # pragma: no cover


class Progress:
    """A progress line on stderr: tqdm's bar where installed, a plain counter otherwise. Safe across threads."""

    def __init__(self, total: int, desc: str, show: bool, *, in_bytes: bool = False, stream: TextIO | None = None):
        self.total, self.desc, self.show, self.in_bytes = total, desc, show, in_bytes
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self.lock = threading.Lock()
        self.bar: Any = None
        if show:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            scaled = {"unit": "B", "unit_scale": True, "unit_divisor": 1024} if in_bytes else {}
            self.bar = tqdm(total=total, desc=desc, file=self.stream, leave=False, **scaled)

    def update(self, n: int = 1) -> None:
        if not self.show:
            return
        with self.lock:
            self.done += n
            if self.bar is not None:
                self.bar.update(n)
                return
            count = (f"{human(self.done)}/{human(self.total)}" if self.in_bytes else f"{self.done}/{self.total}")
            self.stream.write(f"\r{self.desc} {count}\x1b[K")
            self.stream.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.show and self.done:
            self.stream.write("\n")
