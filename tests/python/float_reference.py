"""A small float32 reference for the quantizers, decoding, the dot product and
the least-squares fit, element by element in NumPy float32: a kernel that
fuses, reorders or groups differently shows up as a bit difference."""

import numpy as np

from velmar import Scale

F = np.float32
NAN, INF = float("nan"), float("inf")
SCALES = [Scale.F32, Scale.F16, Scale.Bf16]
WIDTH = {0: 4, 1: 2, 2: 2}  # bytes per stored scale, by int(Scale)
EPS = np.array([0x2B8CBCCC], np.uint32).view(np.float32)[0]  # the fit's degeneracy threshold


def same_f32(actual, expected):
    """Bit equality, with any NaN matching any NaN."""
    a = np.atleast_1d(np.asarray(actual, dtype=np.float32))
    e = np.atleast_1d(np.asarray(expected, dtype=np.float32))
    assert a.shape == e.shape, (a, e)
    ok = (a.view(np.uint32) == e.view(np.uint32)) | (np.isnan(a) & np.isnan(e))
    assert ok.all(), f"got {a[~ok][:5]!r} expected {e[~ok][:5]!r} at {np.flatnonzero(~ok)[:5]}"


def encode(x, scale):
    """Raw little-endian bytes of values stored under `scale`: f16 and bf16 round to nearest, ties to even."""
    x = np.atleast_1d(np.asarray(x, dtype=np.float32))
    if scale != Scale.Bf16:
        with np.errstate(all="ignore"):
            return x.astype("<f4" if scale == Scale.F32 else "<f2").tobytes()
    u = x.view(np.uint32)
    r = ((u >> 15) & 1) & ((((u >> 16) & 1) | ((u & 0x7FFF) != 0)).astype(np.uint32))
    nan = (u & 0x7FFFFFFF) > 0x7F800000  # stays a quiet NaN
    return np.where(nan, (u >> 16) | 0x40, ((u >> 16) + r) & 0xFFFF).astype("<u2").tobytes()


def widen(raw, scale):
    raw = bytes(raw)
    if scale == Scale.Bf16:
        return (np.frombuffer(raw, "<u2").astype(np.uint32) << 16).view(np.float32)
    return np.frombuffer(raw, "<f4" if scale == Scale.F32 else "<f2").astype(np.float32)


def stored(x, scale):
    """What a scale or zero point reads back as after storage under `scale`."""
    return widen(encode(x, scale), scale)


def pack(codes, bits):
    """Codes as one little-endian bit stream, least significant bit first."""
    acc, mask = 0, (1 << bits) - 1
    for i, c in enumerate(codes):
        acc |= (int(c) & mask) << (i * bits)
    return acc.to_bytes((len(codes) * bits + 7) // 8, "little")


def unpack(raw, count, bits):
    acc = int.from_bytes(bytes(raw), "little")
    out = [(acc >> (i * bits)) & ((1 << bits) - 1) for i in range(count)]
    return [v - (1 << bits) if v >> (bits - 1) else v for v in out]


def blocks(x, block):
    return [x[i:i + block] for i in range(0, len(x), block)]


def to_codes(t, bits):
    """Round half away from zero, clamp, NaN to 0."""
    t = np.asarray(t, dtype=np.float64)
    r = np.clip(np.sign(t) * np.floor(np.abs(t) + 0.5), -(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    return np.where(np.isnan(r), 0, r).astype(np.int64)


def absmax(b):
    # A NaN in a whole group of 16 poisons the group's maximum; the rest folds NaN-skipping.
    m = 16 * (len(b) // 16)
    h = F(NAN) if np.isnan(b[:m]).any() else F(np.abs(b[:m]).max(initial=0))
    for v in np.abs(b[m:]):
        h = v if np.isnan(h) else (h if np.isnan(v) else max(h, v))
    return F(h)


def min_max(b):
    # Same rule with groups of 8.
    m = 8 * (len(b) // 8)
    if np.isnan(b[:m]).any():
        mn = mx = F(NAN)
    else:
        mn, mx = (F(b[:m].min()), F(b[:m].max())) if m else (F(INF), F(-INF))
    for v in b[m:]:
        mn, mx = np.fmin(mn, v), np.fmax(mx, v)
    return F(mn), F(mx)


def symmetric(x, bits, block):
    """(unrounded scales, codes)."""
    qmax, scales, codes = F((1 << (bits - 1)) - 1), [], []
    with np.errstate(all="ignore"):
        for b in blocks(np.asarray(x, np.float32), block):
            a = absmax(b)
            s = F(a / qmax) if a > 0 else F(1)
            scales.append(s)
            codes += to_codes(b * (F(1) / s), bits).tolist()
    return np.array(scales, np.float32), codes


def asym_block(b, bits):
    qmin, qmax = F(-(1 << (bits - 1))), F((1 << (bits - 1)) - 1)
    mn, mx = min_max(b)
    with np.errstate(all="ignore"):
        if mn >= mx:
            s, z = F(1), F(0)
        else:
            s = F(mx - mn) / (qmax - qmin)
            z = F(qmin - mn / s)
        return s, z, to_codes(b * (F(1) / s) + z, bits).tolist()


def asymmetric(x, bits, block):
    """(unrounded scales, zero points, codes)."""
    parts = [asym_block(b, bits) for b in blocks(np.asarray(x, np.float32), block)]
    return (np.array([p[0] for p in parts], np.float32), np.array([p[1] for p in parts], np.float32),
            [c for p in parts for c in p[2]])


def adaptive_width(b, tol):
    mn, mx = min_max(b)
    with np.errstate(all="ignore"):
        rng = F(mx - mn)
        if rng <= 0:
            return 2
        return next((w for w in range(2, 8) if (rng / F((1 << w) - 1)) * F(0.5) <= F(tol)), 8)


def adaptive(x, block, tol):
    """(unrounded scales, zero points, widths, codes, packed bytes)."""
    bs = blocks(np.asarray(x, np.float32), block)
    widths = [adaptive_width(b, tol) for b in bs]
    parts = [asym_block(b, w) for b, w in zip(bs, widths)]
    return (np.array([p[0] for p in parts], np.float32), np.array([p[1] for p in parts], np.float32), widths,
            [c for p in parts for c in p[2]], b"".join(pack(p[2], w) for p, w in zip(parts, widths)))


def decode(kind, codes, s, z, block):
    q, b = np.asarray(codes, np.float32), (np.arange(len(codes), dtype=np.uint64) // np.uint64(block)).astype(np.intp)
    with np.errstate(all="ignore"):
        return q * s[b] if kind == "symmetric" else s[b] * (q - z[b])


def dot(kind, bits, codes, s, z, block, x):
    """Accumulated in element order (the adaptive sum from -0.0); 8-bit symmetric sums each block, then scales it."""
    x, q = np.asarray(x, np.float32), np.asarray(codes, np.float32)
    with np.errstate(all="ignore"):
        if kind == "symmetric" and bits == 8:
            acc = F(0)
            for c in range(0, len(x), block):
                part = F(0)
                for j in range(c, min(c + block, len(x))):
                    part = part + x[j] * q[j]
                acc = acc + part * s[c // block]
            return acc
        acc = F(-0.0) if kind == "adaptive" and len(x) else F(0)
        for d, v in zip(decode(kind, codes, s, z, block), x):
            acc = acc + d * v  # products are exact in either operand order
    return F(acc)


def fit(values, codes):
    """Least squares values ~ s * (codes - z), sums in element order."""
    x, q = np.asarray(values, np.float32), np.asarray(codes, np.int64).astype(np.float32)
    if len(x) == 0:
        return F(1), F(0)
    n, sq, sx, sqq, sxq = F(len(x)), F(0), F(0), F(0), F(0)
    with np.errstate(all="ignore"):
        for xi, qi in zip(x, q):
            sq, sx, sqq, sxq = sq + qi, sx + xi, sqq + qi * qi, sxq + xi * qi
        mq = sq / n
        var = sqq - sq * mq
        if abs(var) < EPS:
            return F(1), F(0)
        s = (sxq - sq * (sx / n)) / var
        if abs(s) < EPS:
            return F(1), F(0)
        return F(s), F(-(sx / n - mq * s) / s)
