"""Quantized, Scheme and Scale as values: properties, sizes, equality, hashing, immutability."""

import operator

import numpy as np
import pytest
from hypothesis import given, strategies as st

import float_reference as ref
import velmar
from float_reference import F, NAN, SCALES
from velmar import Quantized, Scale, Scheme

X = (np.sin(np.arange(100, dtype=np.float32)) * 7).astype(np.float32)
MAKE = {"symmetric": lambda x, s, b, k: velmar.quantize(x, b, k, scale=s),
        "asymmetric": lambda x, s, b, k: velmar.asymmetric_quantize(x, b, k, scale=s),
        "adaptive": lambda x, s, b, k: velmar.adaptive_quantize(x, k, 0.05, scale=s)}


@given(st.sampled_from(list(MAKE)), st.sampled_from(SCALES), st.integers(0, 120), st.integers(2, 16),
       st.integers(1, 50))
def test_properties_describe_the_buffers(kind, scale, n, bits, block):
    q = MAKE[kind](X[:n] if n <= 100 else np.resize(X, n), scale, bits, block)
    nb, widths = -(-n // block), q.block_bits
    assert (q.kind, q.scale, q.block, len(q), q.is_empty(), bool(q)) == (kind, scale, block, n, n == 0, n > 0)
    assert q.bits == (None if kind == "adaptive" else bits)
    for name, dt, size in [("scales", np.float32, nb), ("zero_points", np.float32, 0 if kind == "symmetric" else nb),
                           ("codes", np.uint8, None), ("unpacked_codes", np.int32, n)]:
        a = getattr(q, name)
        assert type(a) is np.ndarray and a.dtype == dt and a.ndim == 1 and a.flags.c_contiguous
        assert size is None or len(a) == size
    # The codes themselves are the reference's (test_quantizers).
    assert widths is None if kind != "adaptive" else widths.dtype == np.uint32 and len(widths) == nb
    e = ref.WIDTH[int(scale)]
    assert q.nbytes == len(q.codes) + e * (len(q.scales) + len(q.zero_points)) + (4 * nb if kind == "adaptive" else 0)
    assert type(q.bits_per_element) is float
    assert q.bits_per_element == (float(F(q.nbytes) * F(8) / F(n)) if n else 0.0)


@pytest.mark.parametrize("kind", list(MAKE))
def test_arrays_are_fresh_copies(kind):
    q = MAKE[kind](X, Scale.F16, 5, 24)
    for name in ("scales", "zero_points", "codes", "unpacked_codes") + (("block_bits",) if kind == "adaptive" else ()):
        a, keep = getattr(q, name), getattr(q, name).tobytes()
        a[:] = 3
        assert getattr(q, name).tobytes() == keep
    c, codes, st = q.copy(), q.codes, q.__getstate__()
    velmar.refine(c, X[::-1].copy())
    assert q.__getstate__() == st and c.__getstate__() != st  # the copy is independent
    del q
    assert codes.tobytes() == c.codes.tobytes()  # outlives its object; refine left the codes


def test_quantized_is_a_closed_identity_object():
    q = velmar.quantize([1.0, 2.0, 3.0])
    c = q.copy()
    assert q == q and q != c and hash(q) == object.__hash__(q)
    for bad in (lambda: q[0], lambda: iter(q), lambda: q < c, lambda: Quantized()):
        with pytest.raises(TypeError):
            bad()
    for name in ("kind", "scale", "bits", "block", "scales", "zero_points", "codes", "unpacked_codes",
                 "block_bits", "nbytes", "bits_per_element"):
        assert not Quantized.__dict__[name].__doc__
        for change in (lambda: setattr(q, name, 1), lambda: delattr(q, name)):
            with pytest.raises(AttributeError):
                change()


# scheme, kind, bits, block, tolerance (the float32 it became)
SCHEMES = [
    (Scheme.symmetric(), "symmetric", 8, 32, None), (Scheme.asymmetric(4, 64), "asymmetric", 4, 64, None),
    (Scheme.adaptive(), "adaptive", None, 32, 0.0010000000474974513), (Scheme.symmetric(99, 0), "symmetric", 99, 0, None),
    (Scheme.adaptive(7, -2.5), "adaptive", None, 7, -2.5), (Scheme.adaptive(tolerance=1e-50), "adaptive", None, 32, 0.0),
    (Scheme.adaptive(tolerance=1e39), "adaptive", None, 32, float("inf")), (Scheme.Q4_32, "symmetric", 4, 32, None),
    (Scheme.Q8_32, "symmetric", 8, 32, None),
]


@pytest.mark.parametrize("s, kind, bits, block, tol", SCHEMES)
def test_scheme_fields(s, kind, bits, block, tol):
    assert type(s) is Scheme and (s.kind, s.bits, s.block, s.tolerance) == (kind, bits, block, tol)
    assert s.__getstate__() == (kind, bits, block, tol) and (tol is None or type(s.tolerance) is float)
    for name in ("bits", "kind", "other"):
        with pytest.raises(AttributeError):
            setattr(s, name, 3)
    # quantize is the module function of its kind, errors included
    fn, args = (velmar.adaptive_quantize, (X, block, tol)) if kind == "adaptive" else (
        {"symmetric": velmar.quantize, "asymmetric": velmar.asymmetric_quantize}[kind], (X, bits, block))
    for kw in ({}, {"scale": Scale.F16}):
        got = []
        for call in (lambda: s.quantize(values=X, **kw), lambda: fn(*args, **kw)):
            try:
                got.append(call().__getstate__())
            except velmar.QuantizeError as e:
                got.append(repr(e))
        assert got[0] == got[1]


@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_scheme_tolerance_prints_shortest(tol):
    assert repr(Scheme.adaptive(1, tol)).endswith(f"tolerance={np.format_float_positional(F(tol), unique=True, trim='-')})")


@pytest.mark.parametrize("a, b, equal", [
    (Scheme.symmetric(8, 32), Scheme.Q8_32, True), (Scheme.symmetric(8, 32), Scheme.asymmetric(8, 32), False),
    (Scheme.symmetric(8, 32), Scheme.symmetric(8, 33), False), (Scheme.asymmetric(4, 32), Scheme.asymmetric(5, 32), False),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(32, 0.10000000001), True), (Scheme.adaptive(32, 0.0), Scheme.adaptive(32, -0.0), True),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(31, 0.1), False), (Scheme.adaptive(32, 0.1), Scheme.adaptive(32, 0.2), False),
    (Scheme.adaptive(32, NAN), Scheme.adaptive(32, NAN), False), (Scheme.Q8_32, ("symmetric", 8, 32, None), False),
    (Scheme.Q8_32, 8, False), (Scale.F16, 1, False), (Scale.F32, "f32", False), (Scale.F16, Scale.F16, True),
    (Scale.F32, Scale.Bf16, False),
])
def test_equality(a, b, equal):
    assert (a == b, b == a, a != b) == (equal, equal, not equal)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(a, b)


@pytest.mark.parametrize("m, index, name, h", [(Scale.F32, 0, "f32", -4800647303603446203),
                                               (Scale.F16, 1, "f16", 2206609067086327257),
                                               (Scale.Bf16, 2, "bf16", -6569889354672326634)])
def test_scale_members(m, index, name, h):
    assert type(m) is Scale and int(m) == index and hash(m) == h and m.__getstate__() == name
    assert m.__reduce__() == (Scale._from_pickle, (name,)) and Scale._from_pickle(name=name) is m
    assert {Scale.F32: 0, Scale.F16: 1, Scale.Bf16: 2}[Scale._from_pickle(name)] == index
    assert velmar.quantize([1.0], scale=m).scale is m and Scale.F32.__eq__(0) is NotImplemented
    for bad in (lambda: setattr(m, "extra", 1), lambda: Scale(), lambda: Scale(0)):
        with pytest.raises((AttributeError, TypeError)):
            bad()
