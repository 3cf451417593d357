"""velmar as a numcodecs codec, so that zarr (and anything else that stores arrays
chunk by chunk through numcodecs) can keep float32 arrays in velmar's form.

``Velmar`` (codec id ``"velmar"``) quantizes each chunk, flattened in its memory
order, either with a velmar scheme (``kind``, ``bits``, ``block``,
``tolerance``, ``scale``: decoding gives exactly what velmar decodes) or, given
``bound``, within that absolute error of every finite value, NaN and
infinities kept bit for bit (``velmar.bounded``). Its zarr 3 form is
``velmar.zarr3.VelmarCodec``.

A chunk is a self-describing byte string: ``VLMC``, the length of a JSON
header (4 bytes, little-endian), the header (format version, the velmar
layout of the quantized values, the bound and the counts of fallback blocks
and kept values), then the parts, little-endian, in the order ``PARTS`` lists.
Every length is checked against the header before anything is allocated; a
chunk that does not add up raises one ValueError saying what is wrong.
"""

from __future__ import annotations

import json
import math
import struct
import sys
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt
from numcodecs.abc import Codec
from numcodecs.compat import ensure_ndarray, ndarray_copy
from numcodecs.registry import register_codec

from velmar import bounded
from velmar._native import QuantizeError, Scale, Scheme
from velmar.files import DuplicateKeyError, parse_json
from velmar.layout import SCALES, Layout, LayoutError, scale_name
from velmar.tensor import QuantizedTensor, quantize

__all__ = ["CODEC_ID", "FORMAT_VERSION", "PARTS", "Velmar", "decode_chunk", "encode_chunk"]

CODEC_ID: Final = "velmar"
FORMAT_VERSION: Final = 1
MAGIC: Final = b"VLMC"
_PREFIX: Final = struct.Struct("<4sI")
_MAX_HEADER: Final = 1 << 16
_HEADER_FIELDS: Final = {"version", "layout", "bound", "wide", "raw", "patches"}
# The parts of a chunk, in their order; the fallback ones are empty without a bound.
PARTS: Final = ("widths", "scales", "zero_points", "codes", "wide_blocks", "wide_scales", "wide_zero_points",
                "wide_codes", "raw_blocks", "raw", "patch_at", "patch_bits")
# Defaults: a scheme's block is velmar's; with a bound, larger blocks halve the zero points' share.
_BLOCK: Final = 32
_BOUND_BLOCK: Final = 64
_MAX_BLOCK: Final = 1 << 31
F32: Final = np.dtype(np.float32)


def _fail(problem: str) -> ValueError:
    return ValueError(f"velmar chunk: {problem}")


# ---------------------------------------------------------------- configuration


@dataclass(frozen=True)
class Config:
    """A checked codec configuration: a scheme, or a bound with its block."""

    scheme: Scheme | None
    bound: float | None
    block: int
    scale: Scale

    @classmethod
    def parse(cls, kind: str | None = None, bits: int | None = None, block: int | None = None,
              tolerance: float | None = None, scale: str | Scale = "f32", bound: float | None = None) -> Config:
        """Raises ValueError naming the first wrong field."""
        if isinstance(scale, Scale):
            scale = scale_name(scale)
        if not isinstance(scale, str) or scale not in SCALES:
            raise ValueError(f"velmar codec: scale: expected f32, f16 or bf16, got {scale!r:.60}")
        member = SCALES[scale]
        if block is not None and (type(block) is not int or not 1 <= block <= _MAX_BLOCK):
            raise ValueError(f"velmar codec: block: expected an integer from 1 to {_MAX_BLOCK}, got {block!r:.60}")
        if bound is not None:
            # Compared before converting: an integer beyond any float would overflow float().
            if type(bound) not in (int, float) or not (0 < bound <= sys.float_info.max):
                raise ValueError(f"velmar codec: bound: expected a positive finite number, got {bound!r:.60}")
            if (kind, bits, tolerance) != (None, None, None):
                raise ValueError("velmar codec: bound: give a bound or a scheme (kind, bits, tolerance), not both")
            return cls(None, float(bound), block or _BOUND_BLOCK, member)
        scheme = _scheme("symmetric" if kind is None else kind, bits, block or _BLOCK, tolerance)
        try:
            scheme.quantize(np.empty(0, F32), scale=member)  # checks bits, block and tolerance
        except QuantizeError as e:
            raise ValueError(f"velmar codec: {e}") from None
        return cls(scheme, None, scheme.block, member)

    def as_dict(self) -> dict[str, Any]:
        s = self.scheme
        return {"kind": s and s.kind, "bits": s and s.bits, "block": self.block, "tolerance": s and s.tolerance,
                "scale": scale_name(self.scale), "bound": self.bound}


def parameters(config: dict[str, Any]) -> dict[str, Any]:
    """``config`` if it names only the codec's parameters; raises ValueError otherwise."""
    unknown = sorted(set(config) - {"kind", "bits", "block", "tolerance", "scale", "bound"})
    if unknown:
        raise ValueError(f"velmar codec: {unknown[0]}: unknown parameter")
    return config


def _scheme(kind: str, bits: int | None, block: int, tolerance: float | None) -> Scheme:
    try:
        return _make_scheme(kind, bits, block, tolerance)
    except OverflowError:  # a number beyond what the native scheme holds
        raise ValueError(f"velmar codec: {'tolerance' if kind == 'adaptive' else 'bits'}: out of range") from None


def _make_scheme(kind: str, bits: int | None, block: int, tolerance: float | None) -> Scheme:
    if kind == "adaptive":
        if bits is not None:
            raise ValueError("velmar codec: bits: the adaptive kind chooses each block's width itself")
        if tolerance is not None and type(tolerance) not in (int, float):
            raise ValueError(f"velmar codec: tolerance: expected a number, got {tolerance!r:.60}")
        return Scheme.adaptive(block, 0.001 if tolerance is None else tolerance)
    if kind not in ("symmetric", "asymmetric"):
        raise ValueError(f"velmar codec: kind: expected symmetric, asymmetric or adaptive, got {kind!r:.60}")
    if tolerance is not None:
        raise ValueError(f"velmar codec: tolerance: only the adaptive kind takes one, not {kind}")
    if bits is not None and type(bits) is not int:
        raise ValueError(f"velmar codec: bits: expected an integer, got {bits!r:.60}")
    make = Scheme.symmetric if kind == "symmetric" else Scheme.asymmetric
    return make(8 if bits is None else bits, block)


# ---------------------------------------------------------------- chunks


def _values(buf: Any) -> npt.NDArray[np.float32]:
    """A chunk's values as one float32 run in their memory order."""
    a = ensure_ndarray(buf)
    # Decoding gives native float32 whatever was encoded: a zarr 2 array of
    # big-endian floats would read its values back byte-swapped.
    if a.dtype != F32:
        raise TypeError(f"velmar codec: expected float32 values in native byte order, got {a.dtype}")
    return np.ascontiguousarray(a.reshape(-1, order="A"), F32)


def _layout_parts(t: QuantizedTensor, prefix: str = "") -> dict[str, npt.NDArray[Any]]:
    return {prefix + name: part for name, part in t.parts().items() if not (prefix and name == "widths")}


def encode_chunk(buf: Any, config: Config) -> bytes:
    """The chunk of ``buf``'s float32 values (any shape, read in memory order)."""
    x = _values(buf)
    parts: dict[str, npt.NDArray[Any]]
    if config.bound is None:
        assert config.scheme is not None
        main = quantize(x, config.scheme, scale=config.scale)
        parts = _layout_parts(main)
        counts = {"wide": 0, "raw": 0, "patches": 0}
    else:
        b = bounded.encode(x, config.bound, config.block, config.scale)
        main = b.main
        parts = {**_layout_parts(main), "wide_blocks": b.wide_blocks, **_layout_parts(b.wide, "wide_"),
                 "raw_blocks": b.raw_blocks, "raw": b.raw, "patch_at": b.patch_at, "patch_bits": b.patch_bits}
        counts = {"wide": b.wide_blocks.size, "raw": b.raw_blocks.size, "patches": b.patch_at.size}
    header = json.dumps({"version": FORMAT_VERSION, "layout": Layout.of(main).as_json(), "bound": config.bound,
                         **counts}, separators=(",", ":")).encode()
    chunks: list[bytes | memoryview] = [_PREFIX.pack(MAGIC, len(header)), header]
    chunks += [np.ascontiguousarray(parts[name]).view(np.uint8).data for name in PARTS if name in parts]
    return b"".join(chunks)


class _Reader:
    """Views of the parts, each checked against the bytes left before it is taken."""

    def __init__(self, data: memoryview, at: int) -> None:
        self.data, self.at = data, at

    def take(self, name: str, dtype: np.dtype[Any], count: int) -> npt.NDArray[Any]:
        need, left = count * dtype.itemsize, len(self.data) - self.at
        if need > left:
            raise _fail(f"{name}: the header calls for {need} bytes, {left} are left")
        # Native order is little-endian on every CPU velmar builds for.
        part = np.frombuffer(self.data, dtype, count, self.at)
        self.at += need
        # The native decoders take whole, aligned elements only: a part at an odd offset is copied.
        return part if part.ctypes.data % dtype.itemsize == 0 else part.copy()

    def increasing(self, name: str, count: int, below: int, what: str) -> npt.NDArray[np.int64]:
        at = self.take(name, np.dtype(np.int64), count)
        # Each bound on its own: differences of numbers far apart wrap in int64.
        if at.size and (np.any(at < 0) or np.any(at >= below) or np.any(np.diff(at) <= 0)):
            raise _fail(f"{name}: expected increasing {what} below {below}")
        return at

    def tensor(self, prefix: str, layout: Layout, widths: npt.NDArray[Any]) -> QuantizedTensor:
        try:
            counts = layout.part_counts(widths)
        except ValueError as e:  # a width outside 2..8
            raise _fail(str(e)) from None
        parts = {p: self.take(prefix + p, layout.part_dtype(p), int(counts[p] or 0))
                 for p in ("scales", "zero_points", "codes")}
        try:
            return QuantizedTensor.from_parts(shape=layout.shape, axis=0, scheme=layout.scheme(),
                                              scale=layout.scale_member, dtype=F32, widths=widths, **parts)
        except (ValueError, TypeError, QuantizeError) as e:
            raise _fail(f"{prefix}parts: {e}") from None


def _header(data: memoryview) -> tuple[dict[str, Any], int]:
    if len(data) < _PREFIX.size:
        raise _fail(f"{len(data)} bytes are too few for a chunk")
    magic, size = _PREFIX.unpack_from(data)
    if magic != MAGIC:
        raise _fail("not a velmar chunk (it does not start with VLMC)")
    if size > min(_MAX_HEADER, len(data) - _PREFIX.size):
        raise _fail(f"a header of {size} bytes does not fit in a chunk of {len(data)}")
    try:
        header = parse_json(bytes(data[_PREFIX.size : _PREFIX.size + size]))
    except DuplicateKeyError as e:
        raise _fail(f"the header: {e}") from None
    except (ValueError, RecursionError):
        raise _fail("the header is not JSON") from None
    if not isinstance(header, dict) or set(header) != _HEADER_FIELDS:
        raise _fail(f"the header must hold exactly {', '.join(sorted(_HEADER_FIELDS))}")
    if header["version"] != FORMAT_VERSION:
        raise _fail(f"format version {header['version']!r:.20} is not one this velmar reads (it reads {FORMAT_VERSION})")
    return header, _PREFIX.size + size


def _count(header: dict[str, Any], field: str, most: int) -> int:
    v = header[field]
    if type(v) is not int or not 0 <= v <= most:
        raise _fail(f"{field}: expected an integer from 0 to {most}, got {v!r:.60}")
    return v


def _in_place(dest: npt.NDArray[Any]) -> npt.NDArray[np.float32] | None:
    """An output's memory as the flat float32 values a chunk decodes to, if they can be written there directly."""
    contiguous = dest.flags.c_contiguous or dest.flags.f_contiguous
    if not (contiguous and dest.flags.writeable) or dest.ctypes.data % F32.itemsize:
        return None
    return dest.reshape(-1, order="A").view(F32)


def decode_chunk(buf: Any, out: npt.NDArray[np.float32] | None = None, count: int | None = None) -> npt.NDArray[np.float32]:
    """The float32 values of a chunk, as one flat array, or copied into ``out``; ``count`` values if given."""
    data = np.ascontiguousarray(ensure_ndarray(buf)).data.cast("B")  # a view of a chunk may be strided
    header, start = _header(data)
    try:
        layout = Layout.from_json(header["layout"])
    except LayoutError as e:
        raise _fail(f"layout: {e}") from None
    if layout.vector or len(layout.shape) != 1 or layout.dtype != "float32":
        raise _fail("layout: expected a 1-D float32 tensor")
    bound = header["bound"]
    n, blocks = layout.shape[0], layout.blocks
    if count is not None and n != count:
        raise _fail(f"{n} values where {count} are expected")
    if out is not None:
        dest: npt.NDArray[Any] = ensure_ndarray(out)
        if dest.dtype.itemsize != 1 and dest.dtype != F32:  # the values' bits would land in other numbers
            raise TypeError(f"velmar codec: out: expected float32 values or bytes, got {dest.dtype}")
        if dest.nbytes != n * F32.itemsize:
            raise _fail(f"{n} float32 values do not fill an output of {dest.nbytes} bytes")
    if bound is not None and (type(bound) not in (int, float) or not 0 < bound < math.inf):
        raise _fail(f"bound: expected a positive finite number or null, got {bound!r:.60}")
    if bound is not None and (layout.kind, layout.bits) != ("asymmetric", 8):
        raise _fail("layout: a bounded chunk is asymmetric 8-bit")
    free = 0 if bound is None else blocks  # fallbacks exist only with a bound
    wide, raw = _count(header, "wide", free), _count(header, "raw", free)
    patches = _count(header, "patches", 0 if bound is None else n)
    read = _Reader(data, start)
    main = read.tensor("", layout, read.take("widths", np.dtype(np.uint32), blocks if layout.kind == "adaptive" else 0))
    wide_blocks = read.increasing("wide_blocks", wide, blocks, "block numbers")
    wide_layout = Layout.for_scheme(Scheme.asymmetric(16, layout.block), layout.scale_member,
                                    (bounded.span(wide_blocks, layout.block, n),), 0)
    wide_tensor = read.tensor("wide_", wide_layout, np.empty(0, np.uint32))
    raw_blocks = read.increasing("raw_blocks", raw, blocks, "block numbers")
    if np.intersect1d(wide_blocks, raw_blocks).size:
        raise _fail("raw_blocks: a block is also among the wide ones")
    raw_values = read.take("raw", F32, bounded.span(raw_blocks, layout.block, n))
    patch_at = read.increasing("patch_at", patches, n, "positions")
    patch_bits = read.take("patch_bits", np.dtype(np.uint32), patches)
    if read.at != len(data):
        raise _fail(f"the header describes {read.at} bytes, the chunk holds {len(data)}")
    if bound is None:
        if out is not None and (flat := _in_place(dest)) is not None:
            main.dequantize(flat)
            return dest
        result = main.dequantize()
    else:
        result = bounded.decode(bounded.Bounded(main, wide_blocks, wide_tensor, raw_blocks, raw_values,
                                                patch_at, patch_bits))
    return result if out is None else ndarray_copy(result, out)


# ---------------------------------------------------------------- the codec


class Velmar(Codec):  # type: ignore[misc]  # numcodecs has no type information
    """A numcodecs codec that stores float32 chunks in velmar's form (see the module doc).

    ``Velmar(kind="symmetric", bits=4, block=32, scale="f16")`` quantizes with
    that scheme; ``Velmar(bound=1e-3)`` keeps every finite value within 1e-3.
    Follow it with a lossless compressor (Zstd): a bounded chunk's codes are
    bytes that compress further.
    """

    codec_id = CODEC_ID

    def __init__(self, kind: str | None = None, bits: int | None = None, block: int | None = None,
                 tolerance: float | None = None, scale: str | Scale = "f32", bound: float | None = None) -> None:
        self._config = Config.parse(kind, bits, block, tolerance, scale, bound)
        for field, value in self._config.as_dict().items():
            setattr(self, field, value)

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> Velmar:
        return cls(**parameters(config))

    def get_config(self) -> dict[str, Any]:
        return {"id": CODEC_ID, **{k: v for k, v in self._config.as_dict().items() if v is not None}}

    def __getstate__(self) -> dict[str, Any]:
        return self._config.as_dict()

    def __setstate__(self, state: object) -> None:
        # Checked as a configuration is (the checked one it held is derived again): a pickled block of 0
        # or 2**40 would fail in encode, or allocate.
        if not isinstance(state, dict):
            raise ValueError(f"velmar codec: a pickled state is a dict of parameters, not {type(state).__name__}")
        self.__init__(**parameters({k: v for k, v in state.items() if k != "_config"}))  # type: ignore[misc]

    def encode(self, buf: Any) -> bytes:
        return encode_chunk(buf, self._config)

    def decode(self, buf: Any, out: Any = None) -> Any:
        return decode_chunk(buf, out)


# Installed, velmar names the codec through numcodecs' entry points; imported, it registers it here too.
register_codec(Velmar)
