"""atheris entry point for QuantizedTensor states and from_parts: python fuzz/fuzz_state.py CORPUS -max_total_time=N

Each input is a real tensor's pickle state with items replaced, or its
from_parts arguments with some replaced (hostile shapes, axes, schemes,
scales, dtypes, and parts of any type, length, order and flags). A state
rebuilds or raises exactly ValueError; from_parts builds or raises TypeError,
ValueError or a velmar error, and builds exactly when the arguments are
consistent as judged here from scratch. A tensor built behaves as its parts
say: each row is the 1-D object of its bytes, the products are its rows' dot
products, and it pickles to itself.
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

DTYPES = [np.float32, ">f4", "bfloat16", ml_dtypes.float8_e4m3fn, bool, np.longdouble, object, "bogus",
          np.complex64, None]
STORED = [np.float32, np.float16, ml_dtypes.bfloat16]


def valid_tensor(b):
    shape = tuple(b.u8() % 7 for _ in range(1 + b.u8() % 3))
    block, kind = 1 + b.u8() % 9, b.pick(KINDS)
    scheme = Scheme.adaptive(block, b.pick([0.5, 0.01])) if kind == "adaptive" else \
        getattr(Scheme, kind)(2 + b.u8() % 15, block)
    x = np.random.default_rng(b.u8()).standard_normal(shape).astype(np.float32)
    return quantize_array(x, scheme, scale=b.pick(SCALES), axis=b.u8() % len(shape))


def hostile(b, t, field, value):
    """Another value for one argument of from_parts."""
    if field == "shape":
        dim = lambda: b.pick([0, 2**40, 2**62, 2**63, -1, 2.0, True, np.int64(3)]) if b.u8() > 220 else b.u8() % 10
        return b.pick([tuple(dim() for _ in range(b.u8() % 4)), (*t.shape, 1), t.shape[:1] + (0,) + t.shape[1:], 5])
    if field == "axis":
        return b.pick([-4, 3, 2**70, 1.0, None, b.u8() % 5])
    if field == "scheme":
        try:
            return b.pick([lambda: Scheme.adaptive(size_value(b), b.pick([0.5, 1e-99, 1e300, -1.0, float("nan")])),
                           lambda: Scheme.symmetric(width_value(b), size_value(b)), lambda: t.kind])()
        except (TypeError, OverflowError):
            return None
    if field == "scale":
        return b.pick([0, "f16", None, *SCALES])
    if field == "dtype":
        return b.pick(DTYPES)
    value = np.asarray(value)  # a part changed already may be a list
    return b.pick([value[:-1], np.append(value, value[:1]), value.reshape(1, -1), value.tolist(),
                   value.astype(b.pick([np.float64, np.int32, ">u4", np.float16])), np.repeat(value, 2)[::2],
                   np.frombuffer(value.tobytes(), value.dtype), np.full(value.size, width_value(b) % 12, np.uint32)])


# ---------------------------------------------------------------- the judge


def counts(dims, axis, kind, bits, block, widths):
    """Element counts of the four parts, from scratch; codes None when the widths cannot say."""
    n, rows = dims[axis], math.prod(d for i, d in enumerate(dims) if i != axis)
    nb = -(-n // block)
    codes = rows * packed_len(n, bits)
    if kind == "adaptive":
        ok = len(widths) == rows * nb and all(2 <= w <= 8 for w in widths)
        codes = sum(packed_len(min(block, n - k % nb * block), w) for k, w in enumerate(widths)) if ok else None
    return {"codes": codes, "scales": rows * nb, "zero_points": 0 if kind == "symmetric" else rows * nb,
            "widths": rows * nb if kind == "adaptive" else 0}


def should_build(a):
    try:
        dims, axis = [operator.index(d) for d in a["shape"]], operator.index(a["axis"])
        dtype = np.dtype(a["dtype"])
    except TypeError:
        return False
    s, scale = a["scheme"], a["scale"]
    if not 1 <= len(dims) <= 64 or min(dims) < 0 or math.prod(d for d in dims if d) >= 2**61:
        return False
    if not -len(dims) <= axis < len(dims) or not isinstance(s, Scheme) or not isinstance(scale, Scale):
        return False
    if s.block < 1 or not (0 < s.tolerance < math.inf if s.kind == "adaptive" else 2 <= s.bits <= 16):
        return False
    if dtype.kind not in "biuf" and dtype.name not in ("bfloat16", "float8_e4m3fn"):
        return False
    want = {"codes": np.uint8, "widths": np.uint32, "scales": STORED[int(scale)], "zero_points": STORED[int(scale)]}
    parts = {name: np.asarray(a[name]) for name in want}
    if any(p.ndim != 1 or (p.dtype != want[k] and not (p.size == 0 and p.dtype.kind in "fiu")) for k, p in parts.items()):
        return False
    c = counts(tuple(dims), axis % len(dims), s.kind, s.bits or 0, s.block, parts["widths"].tolist())
    return all(c[k] == parts[k].size for k in c)


def exercise(t):
    p, s, (m, n) = t.parts(), t.scheme, t.row_shape
    assert counts(t.shape, t.axis, s.kind, s.bits or 0, s.block, p["widths"].tolist()) == {k: v.size for k, v in p.items()}
    for arr in p.values():
        try:
            arr.flags.writeable = True
            raise AssertionError("a part of a tensor is writeable")
        except ValueError:
            pass
    small = m <= 4096 and n <= 4096  # a shape of no values may be huge
    x = np.linspace(-1, 1, n if small else 0, dtype=np.float32)
    product, decoded = (t @ x, np.moveaxis(t.dequantize(), t.axis, -1).reshape(m, n)) if small else (None, None)
    nb, start = -(-n // s.block), 0
    for i in range(min(m, 64)):  # rows one by one, from their bytes
        w = p["widths"][i * nb:(i + 1) * nb]
        size = sum(packed_len(min(s.block, n - j * s.block), wj) for j, wj in enumerate(w.tolist())) if w.size \
            else packed_len(n, s.bits or 0)
        le = [p[k][i * nb:(i + 1) * nb].view(f"<u{p[k].itemsize}").tobytes() for k in ("scales", "zero_points")]
        q = velmar.Quantized._from_pickle((1, s.kind, t.scale, s.block, n, p["codes"][start:start + size].tobytes(),
                                           s.bits or 0, tuple(w.tolist()), *le))
        start += size
        assert t[i].__getstate__() == q.__getstate__()
        if small:
            assert np.array_equal(product[i], np.float32(q.dot(x)), equal_nan=True)
            assert np.array_equal(decoded[i], q.dequantize(), equal_nan=True)
    assert pickle.loads(pickle.dumps(t)).__getstate__() == t.__getstate__()


def check(data):
    b = Bytes(data)
    t = valid_tensor(b)
    if b.u8() % 3 == 0:
        state, rows = list(t.__getstate__()), list(t.__getstate__()[5])
        for _ in range(1 + b.u8() % 3):
            i = b.u8() % 15
            (rows if i >= 5 else state)[i - 5 if i >= 5 else i] = b.pick(
                [size_value(b), width_value(b), b"", None, (), (2**40, 0), 1.0, True, b.pick(DTYPES + KINDS),
                 tuple(width_value(b) for _ in range(b.u8() % 4))])
        try:
            t = QuantizedTensor._from_state(tuple(state[:5]) + (tuple(rows),))
        except ValueError as e:
            assert type(e) is ValueError and str(e).startswith("malformed QuantizedTensor state"), e
            return
    else:
        a = dict(shape=t.shape, axis=t.axis, scheme=t.scheme, scale=t.scale, dtype=t.dtype, **t.parts())
        for _ in range(b.u8() % 4):
            field = b.pick(sorted(a))
            a[field] = hostile(b, t, field, a[field])
        try:
            t = QuantizedTensor.from_parts(**a)
        except (TypeError, ValueError, velmar.QuantizeError) as e:
            assert "internal" not in str(e) and not should_build(a), (e, a)
            return
        assert should_build(a) and t.shape == tuple(map(operator.index, a["shape"])), a
    exercise(t)


def main():
    if not os.environ.get("VELMAR_SANITIZED"):  # the sanitizer reserves far more address space
        limit = 2 << 30  # an allocation sized from an unchecked field fails loudly
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
