"""Float32 and packing references shared by the quantizer and decoder tests."""

import numpy as np

from velmar import Scale


def same_f32(actual, expected):
    """Bit equality, with any NaN matching any NaN."""
    a = np.atleast_1d(np.asarray(actual, dtype=np.float32))
    e = np.atleast_1d(np.asarray(expected, dtype=np.float32))
    assert a.shape == e.shape, (a, e)
    ok = (a.view(np.uint32) == e.view(np.uint32)) | (np.isnan(a) & np.isnan(e))
    assert ok.all(), f"got {a[~ok][:5]!r} expected {e[~ok][:5]!r} at {np.flatnonzero(~ok)[:5]}"


def bf16_round(x):
    """float32 -> stored bf16 -> float32, bit rule of the element type."""
    u = np.atleast_1d(np.asarray(x, dtype=np.float32)).view(np.uint32)
    nan = (u & 0x7FFFFFFF) > 0x7F800000
    r = ((u >> 15) & 1) & ((((u >> 16) & 1) | ((u & 0x7FFF) != 0)).astype(np.uint32))
    h = ((u >> 16) + r) & 0xFFFF
    h = np.where(nan, (u >> 16) | 0x40, h).astype(np.uint32)
    return (h << 16).view(np.float32)


def stored(x, scale):
    """What a scale or zero point reads back as after storage under `scale`."""
    x = np.atleast_1d(np.asarray(x, dtype=np.float32))
    if scale == Scale.F32:
        return x
    if scale == Scale.F16:
        with np.errstate(all="ignore"):
            return x.astype(np.float16).astype(np.float32)
    return bf16_round(x)


def pack(codes, bits):
    """Codes as one little-endian bit stream, least significant bit first."""
    acc, mask = 0, (1 << bits) - 1
    for i, c in enumerate(codes):
        acc |= (int(c) & mask) << (i * bits)
    return acc.to_bytes((len(codes) * bits + 7) // 8, "little")
