"""atheris entry point for QuantizedTensor states and from_parts: python fuzz/fuzz_state.py CORPUS -max_total_time=N

Each input is either a real tensor's pickle state with items replaced, or
from_parts arguments changed one by one (hostile shapes, axes, schemes,
scales, dtypes, and parts of any type, length, order and flags). A state
rebuilds or raises exactly ValueError; from_parts builds or raises TypeError,
ValueError or a velmar error, and builds exactly when the arguments are
consistent as judged here from scratch. A tensor built behaves as its
parts say: each row is the 1-D object of its bytes, the products are its
rows' dot products, and it pickles to itself.
"""

import math
import operator
import os
import pickle
import resource
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports():
    import ml_dtypes
    import numpy as np

    import velmar
    from velmar import QuantizedTensor, Scale, Scheme, quantize_array
from pickle_target import KINDS, SCALES, Bytes, packed_len, size_value, width_value  # noqa: E402

DTYPES = [np.float32, "float64", ">f4", "bfloat16", ml_dtypes.float8_e4m3fn, np.int64, bool, np.longdouble,
          object, "bogus", np.complex64, "U3", None]
REAL = {"b", "i", "u", "f"}
LIMIT = 2**61 - 1  # values or rows in a shape


def dim_value(b):
    sel = b.u8()
    return sel % 10 if sel < 220 else b.pick([0, 2**40, 2**62, 2**63, -1, 2.0, True, np.int64(3), "3"])


def valid_tensor(b):
    shape = tuple(b.u8() % 7 for _ in range(1 + b.u8() % 3))
    kind = b.pick(KINDS)
    block = 1 + b.u8() % 9
    scheme = Scheme.adaptive(block, b.pick([0.5, 0.01])) if kind == "adaptive" else \
        getattr(Scheme, kind)(2 + b.u8() % 15, block)
    x = np.random.default_rng(b.u8()).standard_normal(shape).astype(np.float32)
    return quantize_array(x, scheme, scale=b.pick(SCALES), axis=b.u8() % len(shape))


def scheme_value(b, scheme):
    """The scheme, or one with a parameter changed, or not a scheme."""
    what = b.u8() % 8
    kind, block = scheme.kind, scheme.block
    try:
        if what == 0:
            return Scheme.adaptive(size_value(b), b.pick([0.5, 1e-99, 1e300, -1.0, float("nan"), 2]))
        if what == 1:
            return getattr(Scheme, b.pick(["symmetric", "asymmetric"]))(width_value(b), size_value(b))
        if what == 2:
            return b.pick(["symmetric", None, Scheme])
    except (TypeError, OverflowError):
        return kind  # not a scheme either
    return scheme if what > 3 or kind == "adaptive" else getattr(Scheme, kind)(scheme.bits, block)


def part_value(b, arr):
    """A part, or one changed in length, type, dimensions, order or flags."""
    what = b.u8() % 14
    if what == 0:
        return arr[:-1] if arr.size else arr.astype(np.float64)
    if what == 1:
        return np.append(arr, arr[:1])
    if what == 2:
        return arr.astype(b.pick([np.float64, np.int32, np.uint8, ">u4", np.float16]))
    if what == 3:
        return arr.reshape(1, -1)
    if what == 4:
        return arr.tolist()
    if what == 5:
        return np.repeat(arr, 2)[::2]  # strided
    if what == 6:
        ro = arr.copy()
        ro.flags.writeable = False
        return ro
    if what == 7 and arr.dtype == np.uint32:
        return np.full(arr.size, width_value(b) % 12, np.uint32)
    if what == 8:
        return np.frombuffer(b"\0" + arr.tobytes(), np.uint8)[1:].view(np.uint8) if arr.dtype == np.uint8 else arr
    return arr


def args_from_bytes(b):
    t = valid_tensor(b)
    args = dict(shape=t.shape, axis=t.axis, scheme=t.scheme, scale=t.scale, dtype=t.dtype, **t.parts())
    for _ in range(b.u8() % 4):
        field = b.pick(sorted(args))
        if field == "shape":
            args["shape"] = b.pick([tuple(dim_value(b) for _ in range(b.u8() % 4)), (*t.shape, 1), t.shape[::-1],
                                    t.shape[:1] + (0,) + t.shape[1:], 5])
        elif field == "axis":
            args["axis"] = b.pick([-1, -4, 3, 2**70, 1.0, None, b.u8() % 5])
        elif field == "scheme":
            args["scheme"] = scheme_value(b, t.scheme)
        elif field == "scale":
            args["scale"] = b.pick(SCALES + [0, "f16", None])
        elif field == "dtype":
            args["dtype"] = b.pick(DTYPES)
        else:
            args[field] = part_value(b, np.asarray(args[field]))
    return args


# ---------------------------------------------------------------- the judge


def counts(dims, axis, kind, bits, block, widths):
    """Element counts of the four parts, from scratch; codes None when the widths cannot say."""
    n = dims[axis]
    rows = math.prod(d for i, d in enumerate(dims) if i != axis)
    nb = -(-n // block)
    blocks = rows * nb
    codes = rows * packed_len(n, bits)
    if kind == "adaptive":
        codes = None
        if len(widths) == blocks and all(2 <= w <= 8 for w in widths):
            codes = sum(packed_len(min(block, n - k % nb * block), w) for k, w in enumerate(widths))
    return {"codes": codes, "scales": blocks, "zero_points": 0 if kind == "symmetric" else blocks,
            "widths": blocks if kind == "adaptive" else 0}


def index_or_none(v):
    try:
        return operator.index(v)
    except TypeError:
        return None


def should_build(a):
    dims = [index_or_none(d) for d in a["shape"]] if isinstance(a["shape"], tuple) else [None]
    axis = index_or_none(a["axis"])
    s = a["scheme"]
    if None in dims or not 1 <= len(dims) <= 64 or min(dims) < 0 or math.prod(d for d in dims if d) > LIMIT:
        return False
    if axis is None or not -len(dims) <= axis < len(dims):
        return False
    if not isinstance(s, Scheme) or not isinstance(a["scale"], Scale):
        return False
    if s.block < 1 or (s.kind == "adaptive" and not 0 < s.tolerance < math.inf) or \
            (s.kind != "adaptive" and not 2 <= s.bits <= 16):
        return False
    try:
        dt = np.dtype(a["dtype"])
    except TypeError:
        return False
    if dt.kind not in REAL and dt.name not in ("bfloat16", "float8_e4m3fn"):
        return False
    want = {"codes": np.uint8, "widths": np.uint32, "scales": None, "zero_points": None}
    stored = [np.float32, np.float16, ml_dtypes.bfloat16][int(a["scale"])]
    parts = {}
    for name, w in want.items():
        p = np.asarray(a[name])
        w = np.dtype(stored if w is None else w)
        if p.ndim != 1 or (p.dtype != w and not (p.size == 0 and p.dtype.kind in "fiu")):
            return False
        parts[name] = p
    c = counts(tuple(dims), axis % len(dims), s.kind, s.bits or 0, s.block, parts["widths"].tolist())
    return all(c[k] == parts[k].size for k in c)


def exercise(t, a):
    p = {k: np.asarray(v) for k, v in t.parts().items()}
    s, m, n = t.scheme, *t.row_shape
    assert t.shape == tuple(operator.index(d) for d in a["shape"]) and len(t) == m
    want = counts(t.shape, t.axis, s.kind, s.bits or 0, s.block, p["widths"].tolist())
    assert want == {k: v.size for k, v in p.items()}, (want, t)
    for arr in p.values():
        try:
            arr.flags.writeable = True
            raise AssertionError("a part of a tensor is writeable")
        except ValueError:
            pass
    nb = -(-n // s.block)
    starts = [0]
    for i in range(min(m, 64)):
        w = p["widths"][i * nb:(i + 1) * nb].tolist()
        size = sum(packed_len(min(s.block, n - j * s.block), x) for j, x in enumerate(w)) if w else \
            packed_len(n, s.bits or 0)
        starts.append(starts[-1] + size)
    rows = [min(m - 1, i) for i in (0, 1, m // 2, m - 1) if m]
    small = m <= 4096 and n <= 4096  # a shape of no values may be huge
    x = np.linspace(-1, 1, n if small else 0, dtype=np.float32)
    product = t @ x if small else None
    decoded = t.dequantize() if m * n <= 4096 else None
    if decoded is not None:
        assert decoded.shape == t.shape
        decoded = np.moveaxis(decoded, t.axis, -1).reshape(m, n)
    for i in rows:
        if i >= 64:
            continue
        blocks = slice(i * nb, (i + 1) * nb)
        le = {k: p[k][blocks].view(f"<u{p[k].itemsize}").tobytes() for k in ("scales", "zero_points")}
        codes = p["codes"][starts[i]:starts[i + 1]].tobytes()
        q = velmar.Quantized._from_pickle((1, s.kind, t.scale, s.block, n, codes, s.bits or 0,
                                           tuple(p["widths"][blocks].tolist()), le["scales"], le["zero_points"]))
        assert t[i].__getstate__() == q.__getstate__()
        if product is not None:
            assert np.array_equal(product[i], np.float32(q.dot(x)), equal_nan=True)
        if decoded is not None:
            assert np.array_equal(decoded[i], q.dequantize(), equal_nan=True)
    assert pickle.loads(pickle.dumps(t)).__getstate__() == t.__getstate__()


def check(data):
    b = Bytes(data)
    if b.u8() % 3 == 0:
        state = list(valid_tensor(b).__getstate__())
        rows = list(state[5])
        for _ in range(1 + b.u8() % 3):
            i = b.u8() % 16
            target, i = (rows, i - 6) if i >= 6 else (state, i)
            target[i] = b.pick([size_value(b), width_value(b), b"", "x", None, (), (2**40, 0), 1.0, True,
                                b.pick(DTYPES + KINDS), tuple(width_value(b) for _ in range(b.u8() % 4))])
        state[5] = tuple(rows)
        try:
            t = QuantizedTensor._from_state(tuple(state))
        except ValueError as e:
            assert type(e) is ValueError and str(e).startswith("malformed QuantizedTensor state"), e
            return
        a = dict(shape=t.shape, axis=t.axis)
    else:
        a = args_from_bytes(b)
        try:
            t = QuantizedTensor.from_parts(**a)
        except (TypeError, ValueError, velmar.QuantizeError) as e:
            assert "internal" not in str(e) and not should_build(a), (e, a)
            return
        assert should_build(a), a
    exercise(t, a)


def main():
    if not os.environ.get("VELMAR_SANITIZED"):  # the sanitizer reserves far more address space
        limit = 2 << 30  # an allocation sized from an unchecked field fails loudly
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
