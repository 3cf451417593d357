"""Scheme values, the persisted Quantized state, and least-squares refinement."""
import copy
import json
import math
import os
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import velmar
from velmar import Quantized, Scale, Scheme
from float_reference import same_f32, stored

F = np.float32
NAN, INF = float("nan"), float("inf")
SCALES = [Scale.F32, Scale.F16, Scale.Bf16]
SCALE_IDS = ["f32", "f16", "bf16"]
MALFORMED = "malformed pickle state"
NOSTR = "Can't extract `str` to `Vec`"
V = "values must be a 1-D float32 array or a sequence of floats"
EPS = struct.unpack("<f", struct.pack("<I", 0x2B8CBCCC))[0]


def bits_of(a):
    return np.atleast_1d(np.asarray(a, dtype=np.float32)).view(np.uint32).tolist()


# ================================================================ Scheme

@pytest.mark.parametrize("make,kind,bits,block,tol,text", [
    (lambda: Scheme.symmetric(), "symmetric", 8, 32, None, "Scheme(kind='symmetric', bits=8, block=32)"),
    (lambda: Scheme.asymmetric(4, 64), "asymmetric", 4, 64, None, "Scheme(kind='asymmetric', bits=4, block=64)"),
    (lambda: Scheme.adaptive(), "adaptive", None, 32, 0.0010000000474974513,
     "Scheme(kind='adaptive', block=32, tolerance=0.001)"),
    (lambda: Scheme.symmetric(bits=99, block=0), "symmetric", 99, 0, None,
     "Scheme(kind='symmetric', bits=99, block=0)"),
    (lambda: Scheme.asymmetric(block=2**64 - 1, bits=4294967295), "asymmetric", 4294967295, 2**64 - 1, None,
     "Scheme(kind='asymmetric', bits=4294967295, block=18446744073709551615)"),
    (lambda: Scheme.adaptive(7, -2.5), "adaptive", None, 7, -2.5, "Scheme(kind='adaptive', block=7, tolerance=-2.5)"),
    (lambda: Scheme.adaptive(tolerance=1e-50), "adaptive", None, 32, 0.0,
     "Scheme(kind='adaptive', block=32, tolerance=0)"),
    (lambda: Scheme.adaptive(tolerance=1e39), "adaptive", None, 32, INF,
     "Scheme(kind='adaptive', block=32, tolerance=inf)"),
    (lambda: Scheme.Q4_32, "symmetric", 4, 32, None, "Scheme(kind='symmetric', bits=4, block=32)"),
    (lambda: Scheme.Q8_32, "symmetric", 8, 32, None, "Scheme(kind='symmetric', bits=8, block=32)"),
])
def test_scheme_properties(make, kind, bits, block, tol, text):
    s = make()
    assert type(s) is Scheme
    assert (s.kind, s.bits, s.block, s.tolerance) == (kind, bits, block, tol)
    assert repr(s) == text and str(s) == text
    if tol is not None:
        assert type(s.tolerance) is float
    assert s.__getstate__() == (kind, bits, block, tol)


@pytest.mark.parametrize("tol,text", [
    (0.001, "0.001"), (1.0, "1"), (2.5, "2.5"), (1e-10, "0.0000000001"), (NAN, "NaN"), (INF, "inf"),
    (-INF, "-inf"), (-0.0, "-0"), (0.0, "0"), (0.1, "0.1"), (16777216.0, "16777216"),
    (1e20, "100000000000000000000"), (1e-45, "0." + "0" * 44 + "1"), (-123.456, "-123.456"),
])
def test_scheme_tolerance_repr(tol, text):
    assert repr(Scheme.adaptive(3, tol)) == f"Scheme(kind='adaptive', block=3, tolerance={text})"


@settings(max_examples=200, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_scheme_tolerance_repr_is_shortest_positional(tol):
    expect = np.format_float_positional(F(tol), unique=True, trim="-")
    assert repr(Scheme.adaptive(1, tol)) == f"Scheme(kind='adaptive', block=1, tolerance={expect})"


def test_scheme_class_attributes_and_type():
    assert Scheme.Q4_32 is Scheme.Q4_32 and Scheme.Q8_32 is Scheme.Q8_32
    assert Scheme.Q8_32 == Scheme.symmetric() and Scheme.Q4_32 == Scheme.symmetric(4, 32)
    assert Scheme.__module__ == "velmar" and Scheme.__doc__ is None
    with pytest.raises(TypeError):
        Scheme()
    with pytest.raises(TypeError):
        type("Sub", (Scheme,), {})
    s = Scheme.symmetric()
    for name in ("bits", "kind", "other"):
        with pytest.raises(AttributeError):
            setattr(s, name, 3)
    assert (s.bits, s.block) == (8, 32)


@pytest.mark.parametrize("a,b,equal", [
    (Scheme.symmetric(8, 32), Scheme.symmetric(8, 32), True),
    (Scheme.symmetric(8, 32), Scheme.asymmetric(8, 32), False),
    (Scheme.symmetric(8, 32), Scheme.symmetric(8, 33), False),
    (Scheme.asymmetric(4, 32), Scheme.asymmetric(5, 32), False),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(32, 0.1), True),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(32, 0.10000000001), True),  # same float32
    (Scheme.adaptive(32, 0.0), Scheme.adaptive(32, -0.0), True),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(31, 0.1), False),
    (Scheme.adaptive(32, 0.1), Scheme.adaptive(32, 0.2), False),
    (Scheme.adaptive(32, NAN), Scheme.adaptive(32, NAN), False),
])
def test_scheme_equality(a, b, equal):
    assert (a == b) is equal and (a != b) is (not equal)
    assert (b == a) is equal


def test_scheme_nan_tolerance_unequal_to_itself():
    s = Scheme.adaptive(tolerance=NAN)
    assert s != s and not (s == s)
    assert repr(s).endswith("tolerance=NaN)")


@pytest.mark.parametrize("other", [8, "symmetric", None, ("symmetric", 8, 32, None), Scale.F32])
def test_scheme_compared_with_other_types(other):
    s = Scheme.Q8_32
    assert (s == other) is False and (s != other) is True


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_scheme_ordering_unsupported(op):
    import operator
    with pytest.raises(TypeError):
        getattr(operator, op.strip("_"))(Scheme.Q4_32, Scheme.Q8_32)


def test_scheme_unhashable():
    for s in (Scheme.Q8_32, Scheme.adaptive()):
        with pytest.raises(TypeError) as ei:
            hash(s)
        assert str(ei.value) == "unhashable type: 'Scheme'"
    with pytest.raises(TypeError):
        {Scheme.Q4_32}


ALL_SCHEMES = [Scheme.Q4_32, Scheme.Q8_32, Scheme.asymmetric(3, 7), Scheme.adaptive(5, 0.25),
               Scheme.symmetric(99, 0), Scheme.adaptive(1, -0.0), Scheme.adaptive(2, INF)]


@pytest.mark.parametrize("s", ALL_SCHEMES, ids=repr)
def test_scheme_pickle_and_copy(s):
    fn, args = s.__reduce__()
    assert fn == Scheme._from_pickle and args == s.__getstate__()
    assert fn(*args) == s
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        r = pickle.loads(pickle.dumps(s, protocol=proto))
        assert type(r) is Scheme and r == s and repr(r) == repr(s)
    for r in (copy.copy(s), copy.deepcopy(s)):
        assert r == s and repr(r) == repr(s)


def test_scheme_nan_pickle_keeps_nan():
    r = pickle.loads(pickle.dumps(Scheme.adaptive(4, NAN)))
    assert math.isnan(r.tolerance) and r.block == 4


def test_scheme_state_tuples():
    assert Scheme.Q4_32.__getstate__() == ("symmetric", 4, 32, None)
    assert Scheme.asymmetric(2, 9).__getstate__() == ("asymmetric", 2, 9, None)
    st_ = Scheme.adaptive(16, 0.3).__getstate__()
    assert st_ == ("adaptive", None, 16, float(F(0.3))) and type(st_[3]) is float


@pytest.mark.parametrize("args", [
    ("symmetric", None, 32, None), ("adaptive", 8, 32, 0.1), ("Symmetric", 8, 32, None),
    ("quantile", 8, 32, None), ("symmetric", 8, 32, 0.5), ("adaptive", None, 32, None),
    ("asymmetric", None, 32, 0.1), ("", 8, 32, None), ("adaptive ", None, 32, 0.1), ("adaptive", 8, 32, None),
])
def test_scheme_from_pickle_malformed(args):
    with pytest.raises(ValueError) as ei:
        Scheme._from_pickle(*args)
    assert str(ei.value) == MALFORMED


@pytest.mark.parametrize("args,exc,note", [
    ((1, 8, 32, None), TypeError, "kind"),
    ((None, 8, 32, None), TypeError, "kind"),
    ((1, -1, 32, None), TypeError, "kind"),
    (("symmetric", -1, 32, None), OverflowError, "bits"),
    (("quantile", 2**32, 32, None), OverflowError, "bits"),
    (("symmetric", "8", 32, None), TypeError, "bits"),
    (("symmetric", 8, -1, None), OverflowError, "block"),
    (("symmetric", 8, None, None), TypeError, "block"),
    (("adaptive", None, 32, "x"), TypeError, "tolerance"),
    (("bad", None, 32, "x"), TypeError, "tolerance"),
])
def test_scheme_from_pickle_conversion(args, exc, note):
    with pytest.raises(exc) as ei:
        Scheme._from_pickle(*args)
    assert ei.value.__notes__ == [f"while processing '{note}'"]


def test_scheme_from_pickle_accepts():
    assert Scheme._from_pickle(kind="adaptive", bits=None, block=3, tolerance=2) == Scheme.adaptive(3, 2.0)
    assert Scheme._from_pickle("asymmetric", 1, 0, None) == Scheme.asymmetric(1, 0)
    with pytest.raises(TypeError) as ei:
        Scheme._from_pickle()
    assert str(ei.value) == ("Scheme._from_pickle() missing 4 required positional arguments: "
                             "'kind', 'bits', 'block', and 'tolerance'")
    with pytest.raises(TypeError) as ei:
        Scheme._from_pickle("symmetric", 8, 32)
    assert str(ei.value) == "Scheme._from_pickle() missing 1 required positional argument: 'tolerance'"


@pytest.mark.parametrize("member,sig", [
    ("symmetric", "($cls, bits=8, block=32)"), ("asymmetric", "($cls, bits=8, block=32)"),
    ("adaptive", "($cls, block=32, tolerance=0.001)"), ("quantize", "($self, values, *, scale=...)"),
    ("__getstate__", "($self)"), ("__reduce__", "($self)"), ("_from_pickle", "(kind, bits, block, tolerance)"),
])
def test_scheme_signatures(member, sig):
    assert getattr(Scheme, member).__text_signature__ == sig


@pytest.mark.parametrize("call,exc,msg,note", [
    (lambda: Scheme.symmetric(bits=-1), OverflowError, "out of range integral type conversion attempted", "bits"),
    (lambda: Scheme.asymmetric(2**32), OverflowError, "out of range integral type conversion attempted", "bits"),
    (lambda: Scheme.asymmetric(8, -1), OverflowError, None, "block"),
    (lambda: Scheme.adaptive(tolerance="x"), TypeError, None, "tolerance"),
    (lambda: Scheme.adaptive(block=1.5, tolerance="x"), TypeError, None, "block"),
    (lambda: Scheme.symmetric(1, 2, 3), TypeError,
     "Scheme.symmetric() takes from 0 to 2 positional arguments but 3 were given", None),
    (lambda: Scheme.adaptive(bits=4), TypeError, "Scheme.adaptive() got an unexpected keyword argument 'bits'", None),
    (lambda: Scheme.asymmetric(4, bits=4), TypeError,
     "Scheme.asymmetric() got multiple values for argument 'bits'", None),
])
def test_scheme_constructor_errors(call, exc, msg, note):
    with pytest.raises(exc) as ei:
        call()
    if msg is not None:
        assert str(ei.value) == msg
    assert getattr(ei.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("scheme,fn", [
    (Scheme.symmetric(5, 7), lambda x, s: velmar.quantize(x, 5, 7, scale=s)),
    (Scheme.Q4_32, lambda x, s: velmar.quantize(x, 4, 32, scale=s)),
    (Scheme.asymmetric(3, 9), lambda x, s: velmar.asymmetric_quantize(x, 3, 9, scale=s)),
    (Scheme.adaptive(6, 0.02), lambda x, s: velmar.adaptive_quantize(x, 6, 0.02, scale=s)),
], ids=["sym", "q4", "asym", "adaptive"])
def test_scheme_quantize_equals_module_function(scheme, fn, scale):
    x = (np.random.default_rng(2).standard_normal(77) * 3).astype(np.float32)
    x[10] = NAN
    q = scheme.quantize(x, scale=scale)
    assert type(q) is Quantized and q.scale is scale
    assert q.__getstate__() == fn(x, scale).__getstate__()
    if scale == Scale.F32:
        assert scheme.quantize(values=x).__getstate__() == q.__getstate__()


@pytest.mark.parametrize("call,exc,attrs", [
    (lambda: Scheme.symmetric(bits=99).quantize([1.0]), velmar.InvalidBitsError, (99,)),
    (lambda: Scheme.asymmetric(1, 0).quantize([]), velmar.InvalidBitsError, (1,)),
    (lambda: Scheme.asymmetric(8, 0).quantize([1.0]), velmar.InvalidBlockError, (0,)),
    (lambda: Scheme.adaptive(0, NAN).quantize([]), velmar.InvalidBlockError, (0,)),
    (lambda: Scheme.adaptive(tolerance=0.0).quantize([1.0]), velmar.InvalidToleranceError, ()),
    (lambda: Scheme.adaptive(tolerance=-1.0).quantize([]), velmar.InvalidToleranceError, ()),
])
def test_scheme_quantize_core_errors(call, exc, attrs):
    with pytest.raises(exc) as ei:
        call()
    assert ei.value.args == attrs


def test_scheme_quantize_argument_errors():
    with pytest.raises(TypeError) as ei:
        Scheme.symmetric(bits=99).quantize("abc")
    assert str(ei.value) == V
    with pytest.raises(TypeError) as ei:
        Scheme.Q8_32.quantize("abc", scale=None)
    assert str(ei.value) == "'None' is not an instance of 'Scale'"
    assert ei.value.__notes__ == ["while processing 'scale'"]
    with pytest.raises(TypeError) as ei:
        Scheme.Q8_32.quantize([1.0], Scale.F32)
    assert str(ei.value) == "Scheme.quantize() takes 1 positional arguments but 2 were given"


# ================================================================ Quantized state

def sample(kind, scale, n=23, nan=False):
    x = (np.random.default_rng(n).standard_normal(n) * 2).astype(np.float32)
    if nan and n:
        x[:8] = NAN  # a whole head of NaNs: NaN scale and zero point
    if kind == "symmetric":
        return velmar.quantize(x, 5, 8, scale=scale)
    if kind == "asymmetric":
        return velmar.asymmetric_quantize(x, 3, 8, scale=scale)
    return velmar.adaptive_quantize(x, 8, 0.05, scale=scale)


KINDS = ["symmetric", "asymmetric", "adaptive"]


def assert_same_object(r, q):
    assert type(r) is Quantized and r is not q
    assert (r.kind, r.bits, r.block, len(r), repr(r)) == (q.kind, q.bits, q.block, len(q), repr(q))
    assert r.scale is q.scale
    assert bits_of(r.scales) == bits_of(q.scales) and bits_of(r.zero_points) == bits_of(q.zero_points)
    assert r.codes.tobytes() == q.codes.tobytes()
    assert (r.block_bits is None) == (q.block_bits is None)
    if q.block_bits is not None:
        assert r.block_bits.tolist() == q.block_bits.tolist()
    assert bits_of(r.dequantize()) == bits_of(q.dequantize())
    assert r.__getstate__() == q.__getstate__()


@pytest.mark.parametrize("n,nan", [(23, False), (23, True), (0, False)])
@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("kind", KINDS)
def test_round_trip(kind, scale, n, nan):
    q = sample(kind, scale, n, nan)
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert_same_object(pickle.loads(pickle.dumps(q, protocol=proto)), q)
    assert_same_object(copy.copy(q), q)
    assert_same_object(copy.deepcopy(q), q)
    fn, args = q.__reduce__()
    assert fn == Quantized._from_pickle and args == (q.__getstate__(),)
    assert_same_object(Quantized._from_pickle(state=q.__getstate__()), q)


def test_state_layout_asymmetric():
    q = velmar.asymmetric_quantize([0.0, 1.0, 2.0, 3.0], bits=8, block=4)
    st_ = q.__getstate__()
    assert st_ == (1, "asymmetric", Scale.F32, 4, 4, bytes.fromhex("80d52a7f"), 8, (),
                   struct.pack("<f", F(3) / F(255)), struct.pack("<f", -128.0))
    assert st_[2] is Scale.F32
    assert [type(v) for v in st_] == [int, str, Scale, int, int, bytes, int, tuple, bytes, bytes]


@pytest.mark.parametrize("scale,one,zero", [(Scale.F32, "0000803f", "00000000"), (Scale.F16, "003c", "0000"),
                                            (Scale.Bf16, "803f", "0000")])
def test_element_encoding(scale, one, zero):
    q = velmar.asymmetric_quantize([5.0, 5.0, 2.0, 2.0], bits=8, block=2, scale=scale)
    st_ = q.__getstate__()
    assert st_[2] is scale
    assert st_[8].hex() == one * 2 and st_[9].hex() == zero * 2


def test_state_per_kind():
    s = velmar.quantize(np.arange(20, dtype=np.float32), 6, 8).__getstate__()
    assert (s[1], s[6], s[7], s[9]) == ("symmetric", 6, (), b"")
    assert len(s[8]) == 12 and len(s[5]) == 15
    a = velmar.adaptive_quantize(np.arange(20, dtype=np.float32), 8, 0.5, scale=Scale.F16).__getstate__()
    assert a[1] == "adaptive" and a[6] == 0 and len(a[7]) == 3
    assert all(type(w) is int and 2 <= w <= 8 for w in a[7])
    assert len(a[8]) == len(a[9]) == 6
    e = velmar.quantize([], 5, 32).__getstate__()
    assert e == (1, "symmetric", Scale.F32, 32, 0, b"", 5, (), b"", b"")
    e = velmar.asymmetric_quantize([], 16, 3, scale=Scale.Bf16).__getstate__()
    assert e == (1, "asymmetric", Scale.Bf16, 3, 0, b"", 16, (), b"", b"")


def good(kind="symmetric", scale=Scale.F32):
    """A consistent 8-element state of two blocks of 4."""
    e = {Scale.F32: 4}.get(scale, 2)
    if kind == "adaptive":
        return [1, kind, scale, 4, 8, bytes([0x11, 0x02, 0x33, 0x04]), 0, (3, 3), b"\x00" * (2 * e), b"\x00" * (2 * e)]
    z = b"" if kind == "symmetric" else b"\x00" * (2 * e)
    return [1, kind, scale, 4, 8, bytes(range(8)), 8, (), b"\x00" * (2 * e), z]


def with_(base, **items):
    s = list(base)
    for k, v in items.items():
        s[int(k[1:])] = v
    return tuple(s)


@pytest.mark.parametrize("state", [
    list(good()), None, "state", {0: 1}, tuple(good())[:9], tuple(good()) + (None,), (),
    with_(good(), i0=2), with_(good(), i0=0),
    with_(good(), i1="Symmetric"), with_(good(), i1=""), with_(good(), i1="symmetric "),
    with_(good(), i1="quantile"),
    with_(good(), i2="F32"), with_(good(), i2=None), with_(good(), i2=0), with_(good(), i2="f32"),
    with_(good(), i8=b"\x00" * 6), with_(good(), i8=b"\x00" * 7),
    with_(good(scale=Scale.F16), i8=b"\x00" * 5),
    with_(good("asymmetric"), i9=b"\x00" * 3), with_(good("adaptive", Scale.Bf16), i9=b"\x00"),
    with_(good("adaptive"), i8=b"\x00" * 2, i9=b"\x00" * 9),
    # version is checked before the kind's type
    with_(good(), i0=2, i1=5),
    with_(good(), i1="bad", i3=-1), with_(good(), i2="F32", i3=-1),
])
def test_malformed_state(state):
    with pytest.raises(ValueError) as ei:
        Quantized._from_pickle(state)
    assert type(ei.value) is ValueError and str(ei.value) == MALFORMED


@pytest.mark.parametrize("items,exc,msg", [
    ({"i0": "1"}, TypeError, None), ({"i0": 1.0}, TypeError, None), ({"i0": 2**40}, OverflowError, None),
    ({"i0": None}, TypeError, None),
    ({"i1": 5}, TypeError, None), ({"i1": b"symmetric"}, TypeError, None),
    ({"i3": -1}, OverflowError, None), ({"i3": 1.5}, TypeError, None), ({"i3": 2**64}, OverflowError, None),
    ({"i4": 8.0}, TypeError, None), ({"i4": -1}, OverflowError, None),
    ({"i5": "abcdefgh"}, TypeError, NOSTR), ({"i5": [0, 256]}, OverflowError, None),
    ({"i5": [0, -1]}, OverflowError, None), ({"i5": ["a"]}, TypeError, None), ({"i5": 5}, TypeError, None),
    ({"i6": -1}, OverflowError, None), ({"i6": 2**32}, OverflowError, None), ({"i6": "8"}, TypeError, None),
    ({"i7": "ab"}, TypeError, NOSTR), ({"i7": (-1,)}, OverflowError, None), ({"i7": (2**32,)}, OverflowError, None),
    ({"i7": 3}, TypeError, None),
    ({"i8": "ab"}, TypeError, NOSTR), ({"i9": "ab"}, TypeError, NOSTR), ({"i8": [300]}, OverflowError, None),
    # the first faulty item decides
    ({"i0": "x", "i1": 5}, TypeError, None), ({"i1": 5, "i2": "F32"}, TypeError, None),
    ({"i3": -1, "i4": 1.5}, OverflowError, None), ({"i4": -1, "i5": "s"}, OverflowError, None),
    ({"i5": "s", "i6": -1}, TypeError, NOSTR), ({"i6": -1, "i7": "s"}, OverflowError, None),
    ({"i7": "s", "i8": b"\x00" * 6}, TypeError, NOSTR), ({"i8": b"\x00" * 6, "i9": "s"}, TypeError, NOSTR),
])
def test_state_item_conversion_errors(items, exc, msg):
    with pytest.raises(exc) as ei:
        Quantized._from_pickle(with_(good(), **items))
    assert type(ei.value) is exc
    if msg is not None:
        assert str(ei.value) == msg


class TupleSub(tuple):
    pass


def test_state_variants_accepted():
    ref = Quantized._from_pickle(tuple(good())).__getstate__()
    variants = [
        TupleSub(good()),
        with_(good(), i5=list(range(8))), with_(good(), i5=bytearray(range(8))),
        with_(good(), i8=bytearray(8)), with_(good(), i9=b"abc"), with_(good(), i7=(1, 2, 3)),
        with_(good(), i7=[1, 2]), with_(good(), i9=bytearray(b"x")),
    ]
    for v in variants:
        assert Quantized._from_pickle(v).__getstate__() == ref
    a = tuple(good("adaptive"))
    assert Quantized._from_pickle(with_(a, i6=99)).__getstate__() == Quantized._from_pickle(a).__getstate__()
    assert Quantized._from_pickle(with_(a, i7=[3, 3])).__getstate__() == Quantized._from_pickle(a).__getstate__()
    s = tuple(good("asymmetric"))
    assert Quantized._from_pickle(with_(s, i7=(5,))).__getstate__()[7] == ()


def test_f16_six_bytes_are_three_scales():
    st_ = (1, "symmetric", Scale.F16, 2, 6, bytes([1, 2, 3, 4, 5, 0xFF]), 8, (), bytes.fromhex("003c0040003e"), b"")
    q = Quantized._from_pickle(st_)
    assert q.scales.tolist() == [1.0, 2.0, 1.5]
    assert q.dequantize().tolist() == [1.0, 2.0, 6.0, 8.0, 7.5, -1.5]
    assert q.__getstate__() == st_


@pytest.mark.parametrize("scale,patterns", [
    (Scale.F32, [0x7FC01234, 0x80000000, 0x7F800001, 0xFFFFFFFF]),
    (Scale.F16, [0x7E01, 0x8000, 0x7C01, 0xFFFF]),
    (Scale.Bf16, [0xFFC1, 0x8000, 0x7F81, 0x0001]),
])
def test_scale_patterns_survive_bit_for_bit(scale, patterns):
    fmt = "<I" if scale == Scale.F32 else "<H"
    raw = b"".join(struct.pack(fmt, p) for p in patterns)
    st_ = (1, "asymmetric", scale, 2, 8, bytes(range(8)), 8, (), raw, raw[::-1])
    q = Quantized._from_pickle(st_)
    assert q.__getstate__() == st_
    assert pickle.loads(pickle.dumps(q)).__getstate__() == st_
    assert copy.deepcopy(q).__getstate__() == st_


def test_quantized_pickle_members():
    assert Quantized.__getstate__.__text_signature__ == "($self)"
    assert Quantized.__reduce__.__text_signature__ == "($self)"
    assert Quantized._from_pickle.__text_signature__ == "(state)"
    q = velmar.quantize([1.0], 8, 1)
    with pytest.raises(TypeError):
        q.__getstate__(1)
    with pytest.raises(TypeError):
        q.__reduce__(1)
    with pytest.raises(TypeError) as ei:
        Quantized._from_pickle()
    assert str(ei.value) == "Quantized._from_pickle() missing 1 required positional argument: 'state'"
    with pytest.raises(TypeError) as ei:
        Quantized._from_pickle(st=q.__getstate__())
    assert str(ei.value) == "Quantized._from_pickle() got an unexpected keyword argument 'st'"


# ================================================================ hand-made states

ALL_OPS = ["dequantize", "dequantize_out", "dot", "unpacked_codes", "refine"]
NO_SCALE_OPS = ["dequantize", "dequantize_out", "dot"]
F32_2 = struct.pack("<2f", 0.5, 2.0)
F16_2 = struct.pack("<2H", 0x3800, 0x4000)


def sym(block=4, n=8, codes=bytes(8), bits=8, scales=F32_2, scale=Scale.F32):
    return (1, "symmetric", scale, block, n, codes, bits, (), scales, b"")


def asym(block=4, n=8, codes=bytes(8), bits=8, scales=F32_2, zps=F32_2):
    return (1, "asymmetric", Scale.F32, block, n, codes, bits, (), scales, zps)


def adapt(block=4, n=8, data=bytes(4), widths=(3, 3), scales=F32_2, zps=F32_2):
    return (1, "adaptive", Scale.F32, block, n, data, 0, widths, scales, zps)


BROKEN = [
    ("sym scales short", sym(scales=F32_2[:4]), NO_SCALE_OPS),
    ("sym no scales", sym(scales=b""), NO_SCALE_OPS),
    ("sym f16 scales short", sym(scales=F16_2[:2], scale=Scale.F16), NO_SCALE_OPS),
    ("sym codes short", sym(codes=bytes(7)), ALL_OPS),
    ("sym codes short w4", sym(codes=bytes(3), bits=4), ALL_OPS),
    ("sym codes short w5", sym(codes=bytes(4), bits=5), ALL_OPS),
    ("sym codes empty", sym(codes=b""), ALL_OPS),
    ("sym block 0", sym(block=0), ["dequantize", "dequantize_out", "dot", "refine"]),
    ("sym block 0 w4", sym(block=0, bits=4, codes=bytes(4)), ["dequantize", "dequantize_out", "dot", "refine"]),
    ("sym len 2**60 wrapping bytes", sym(block=2**60, n=2**60, codes=b"", bits=16, scales=F32_2[:4]), ALL_OPS),
    ("sym len 2**60", sym(n=2**60), ALL_OPS),
    ("sym len 2**60 block 1", sym(block=1, n=2**60, bits=4), ALL_OPS),
    ("sym w17 short", sym(bits=17, codes=bytes(16)), ALL_OPS),
    ("sym w2**32-1", sym(bits=2**32 - 1), ALL_OPS),
    ("sym w0", sym(bits=0, codes=b""), []),
    ("sym w1", sym(bits=1, codes=bytes(1)), []),
    ("sym w17", sym(bits=17, codes=bytes(17)), []),
    ("sym w40", sym(bits=40, codes=bytes(40)), []),
    ("asym zps short", asym(zps=F32_2[:4]), NO_SCALE_OPS),
    ("asym scales short", asym(scales=F32_2[:4]), NO_SCALE_OPS),
    ("asym codes short", asym(codes=bytes(5)), ALL_OPS),
    ("asym block 0", asym(block=0), ["dequantize", "dequantize_out", "dot", "refine"]),
    ("asym len 2**60 wrapping bytes", asym(block=2**60, n=2**60, codes=b"", bits=16, scales=F32_2[:4],
                                           zps=F32_2[:4]), ALL_OPS),
    ("asym w40", asym(bits=40, codes=bytes(40)), []),
    ("adaptive data short", adapt(data=bytes(3)), ALL_OPS),
    ("adaptive data empty", adapt(data=b""), ALL_OPS),
    ("adaptive scales short", adapt(scales=F32_2[:4]), NO_SCALE_OPS),
    ("adaptive zps short", adapt(zps=b""), NO_SCALE_OPS),
    ("adaptive widths fewer", adapt(widths=(3,), data=bytes(2)), []),
    ("adaptive widths more", adapt(widths=(3, 3, 3)), []),
    ("adaptive block 0", adapt(block=0), ["refine"]),
    ("adaptive len 2**60 wrapping bytes", adapt(block=2**60, n=2**60, data=b"", widths=(16,),
                                                scales=F32_2[:4], zps=F32_2[:4]), ALL_OPS),
    ("adaptive len 2**60", adapt(block=2**60, n=2**60, widths=(8,), scales=F32_2[:4], zps=F32_2[:4]), ALL_OPS),
    ("adaptive w0", adapt(widths=(0, 0), data=b""), []),
    ("adaptive w1", adapt(widths=(1, 1), data=bytes(2)), []),
    ("adaptive w17", adapt(widths=(17, 17), data=bytes(18)), []),
    ("adaptive w40", adapt(widths=(40, 40), data=bytes(40)), []),
]

PROBE = r"""
import json, pickle, sys
import numpy as np
import velmar
state = pickle.loads(bytes.fromhex(sys.argv[1]))
try:
    q = velmar.Quantized._from_pickle(state)
except ValueError as e:
    print(json.dumps({"rebuild": str(e)}))
    sys.exit(0)
n = len(q)
m = n if n <= 4096 else 4
res = {}
def run(name, op):
    try:
        r = op()
        res[name] = "ok"
        if isinstance(r, np.ndarray) and len(r) != n:
            res[name] = "wrong length %d" % len(r)
    except Exception as e:
        res[name] = "raised " + type(e).__name__
run("dequantize", lambda: q.dequantize())
run("dequantize_out", lambda: q.dequantize(out=np.zeros(m, np.float32)))
run("dot", lambda: q.dot(np.ones(m, np.float32)))
run("unpacked_codes", lambda: q.unpacked_codes)
before = q.__getstate__()
run("refine", lambda: velmar.refine(q, np.linspace(-1, 1, m, dtype=np.float32)))
res["refine_kept_state"] = res["refine"] == "ok" or q.__getstate__() == before
for name in ("repr", "nbytes", "bits_per_element", "scales", "zero_points", "codes", "block_bits"):
    run(name, lambda: getattr(q, name) if name != "repr" else repr(q))
run("pickle", lambda: pickle.loads(pickle.dumps(q)).__getstate__())
run("copy", lambda: q.copy().__getstate__())
print(json.dumps(res))
"""


@pytest.mark.parametrize("state,must_raise", [c[1:] for c in BROKEN], ids=[c[0] for c in BROKEN])
def test_inconsistent_state_never_crashes(state, must_raise):
    pkg_root = os.path.dirname(os.path.dirname(os.path.abspath(velmar.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([pkg_root, os.environ.get("PYTHONPATH", "")]))
    p = subprocess.run([sys.executable, "-c", PROBE, pickle.dumps(state).hex()], env=env,
                       capture_output=True, text=True, timeout=30)
    assert p.returncode == 0, f"crashed with {p.returncode}: {p.stderr[-2000:]}"
    res = json.loads(p.stdout.strip().splitlines()[-1])
    if "rebuild" in res:
        assert res["rebuild"] == MALFORMED
        return
    for op in must_raise:
        assert res[op].startswith("raised"), f"{op}: {res[op]}"
    assert res["refine_kept_state"], res
    for op in ALL_OPS:
        assert res[op] == "ok" or res[op].startswith("raised"), f"{op}: {res[op]}"


# ================================================================ fitting

def ref_fit(values, codes):
    x = np.asarray(values, dtype=np.float32)
    q = np.asarray(codes, dtype=np.int64).astype(np.float64).astype(np.float32)
    n = len(x)
    if n == 0:
        return F(1), F(0)
    nf = F(n)
    sq = sx = sqq = sxq = F(0)
    with np.errstate(all="ignore"):
        for xi, qi in zip(x, q):
            sq, sx, sqq, sxq = sq + qi, sx + xi, sqq + qi * qi, sxq + xi * qi
        mq = sq / nf
        t = sq * mq
        if abs(sqq - t) < F(EPS):
            return F(1), F(0)
        var = sqq - t
        mx = sx / nf
        s = (sxq - sq * mx) / var
        if abs(s) < F(EPS):
            return F(1), F(0)
        return F(s), F((-(mx - mq * s)) / s)


@pytest.mark.parametrize("values,codes,expect", [
    ([], [], (1.0, 0.0)),
    ([1.0, 3.0], [0, 1], (2.0, -0.5)),
    ([2.0, 4.0, 6.0], [1, 2, 3], (2.0, -0.0)),
    ([1.0, 2.0, 3.0], [5, 5, 5], (1.0, 0.0)),
    ([7.0, 7.0], [0, 1], (1.0, 0.0)),
    ([3.0, 1.0], [0, 1], (-2.0, 1.5)),
    ([5.0], [3], (1.0, 0.0)),
])
def test_fit_examples(values, codes, expect):
    r = velmar.fit_scale_and_zero_point(values, codes)
    assert type(r) is tuple and len(r) == 2 and all(type(v) is float for v in r)
    assert [struct.pack("<d", v) for v in r] == [struct.pack("<d", v) for v in expect]


def test_fit_nan_propagates():
    s, z = velmar.fit_scale_and_zero_point([1.0, NAN, 3.0], [0, 1, 2])
    assert math.isnan(s) and math.isnan(z)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.one_of(st.floats(-100, 100, width=32), st.floats(width=32)),
                          st.one_of(st.integers(-8, 7), st.integers(-(2**31), 2**31 - 1))), max_size=40))
def test_fit_matches_reference(pairs):
    values, codes = [p[0] for p in pairs], [p[1] for p in pairs]
    s, z = velmar.fit_scale_and_zero_point(np.array(values, np.float32), np.array(codes, np.int64))
    es, ez = ref_fit(values, codes)
    same_f32([s, z], [es, ez])


@pytest.mark.parametrize("nv,nc", [(2, 1), (1, 2), (0, 3), (3, 0)])
def test_fit_length_mismatch(nv, nc):
    with pytest.raises(velmar.LengthMismatchError) as ei:
        velmar.fit_scale_and_zero_point([1.0] * nv, [1] * nc)
    assert (ei.value.expected, ei.value.got) == (nv, nc)
    assert str(ei.value) == f"length mismatch: expected {nv}, got {nc}"


def test_learned_signatures_and_binding():
    assert velmar.refine.__text_signature__ == "(quantized, values)"
    assert velmar.fit_scale_and_zero_point.__text_signature__ == "(values, codes)"
    cases = [
        (lambda: velmar.fit_scale_and_zero_point(),
         "fit_scale_and_zero_point() missing 2 required positional arguments: 'values' and 'codes'"),
        (lambda: velmar.fit_scale_and_zero_point([1.0]),
         "fit_scale_and_zero_point() missing 1 required positional argument: 'codes'"),
        (lambda: velmar.refine(values=[1.0]), "refine() missing 1 required positional argument: 'quantized'"),
        (lambda: velmar.refine(1, 2, 3), "refine() takes 2 positional arguments but 3 were given"),
    ]
    for call, msg in cases:
        with pytest.raises(TypeError) as ei:
            call()
        assert str(ei.value) == msg
    assert velmar.fit_scale_and_zero_point(codes=[0, 1], values=[1.0, 3.0]) == (2.0, -0.5)


# ================================================================ refine

def expected_refit(q, x):
    codes, b = q.unpacked_codes.astype(np.int64), q.block
    fits = [ref_fit(x[i:i + b], codes[i:i + b]) for i in range(0, len(x), b)]
    return stored([f[0] for f in fits], q.scale), stored([f[1] for f in fits], q.scale)


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("make", [
    lambda x, s: velmar.quantize(x, 4, 16, scale=s),
    lambda x, s: velmar.quantize(x, 8, 32, scale=s),
    lambda x, s: velmar.quantize(x, 11, 7, scale=s),
    lambda x, s: velmar.quantize_tensor(x, 6, scale=s),
    lambda x, s: velmar.asymmetric_quantize(x, 3, 10, scale=s),
    lambda x, s: velmar.adaptive_quantize(x, 12, 0.05, scale=s),
], ids=["sym4", "sym8", "sym11", "symtensor", "asym3", "adaptive"])
def test_refine_fits_each_block(make, scale):
    rng = np.random.default_rng(4)
    x = (rng.standard_normal(90) * 2).astype(np.float32)
    x[58] = NAN  # in a tail for the asymmetric kernels, so only the fit sees it
    q = make(x, scale)
    before = q.__getstate__()
    codes, nblocks = q.unpacked_codes, len(q.scales)
    es, ez = expected_refit(q, x)
    assert velmar.refine(q, x) is q
    after = q.__getstate__()
    assert q.kind == ("adaptive" if before[1] == "adaptive" else "asymmetric")
    assert after[2] is scale and after[3:8] == before[3:8]  # block, len, codes, bits, widths
    assert q.unpacked_codes.tolist() == codes.tolist()
    assert len(q.scales) == len(q.zero_points) == nblocks
    same_f32(q.scales, es)
    same_f32(q.zero_points, ez)
    nan_block = 58 // q.block
    assert np.isnan(q.scales[nan_block]) and np.isfinite(np.delete(q.scales, nan_block)).all()
    d, blk = q.dequantize(), np.arange(90) // q.block
    same_f32(d, q.scales[blk] * (codes.astype(np.float32) - q.zero_points[blk]))
    velmar.refine(q, x)
    assert q.__getstate__() == after


def test_refine_symmetric_becomes_asymmetric():
    x = np.linspace(-1, 3, 40, dtype=np.float32)
    q = velmar.quantize(x, 4, 16)
    codes = q.codes.tobytes()
    velmar.refine(q, x.tolist())
    assert (q.kind, q.bits, q.block, len(q), q.block_bits) == ("asymmetric", 4, 16, 40, None)
    assert q.codes.tobytes() == codes and len(q.zero_points) == 3
    assert repr(q) == "Quantized(kind='asymmetric', bits=4, block=16, len=40, scale=Scale.F32)"
    assert q.nbytes == 20 + 4 * (3 + 3)
    assert q.__getstate__()[1] == "asymmetric"


def test_refine_mismatch_and_empty():
    q = velmar.adaptive_quantize(np.arange(10, dtype=np.float32), 4)
    before = q.__getstate__()
    for m in (9, 11, 0):
        with pytest.raises(velmar.LengthMismatchError) as ei:
            velmar.refine(q, np.ones(m, np.float32))
        assert (ei.value.expected, ei.value.got) == (10, m)
        assert q.__getstate__() == before
    for e in (velmar.quantize([], 5, 7), velmar.adaptive_quantize([], 3)):
        st_ = e.__getstate__()
        assert velmar.refine(e, []) is e and e.__getstate__() == st_


def test_refine_copy_is_independent():
    x = np.linspace(-2, 2, 33, dtype=np.float32)
    q = velmar.quantize(x, 8, 8, scale=Scale.F16)
    c = q.copy()
    st_ = q.__getstate__()
    velmar.refine(c, x)
    assert q.__getstate__() == st_ and c.kind == "asymmetric" and q.kind == "symmetric"


@pytest.mark.parametrize("args,exc,msg,note", [
    ((None, []), TypeError, "'None' is not an instance of 'Quantized'", "quantized"),
    ((1, []), TypeError, "'int' object is not an instance of 'Quantized'", "quantized"),
    ((Scheme.Q8_32, []), TypeError, "'Scheme' object is not an instance of 'Quantized'", "quantized"),
    ((None, "abc"), TypeError, "'None' is not an instance of 'Quantized'", "quantized"),
    (("q", "abc"), TypeError, "'str' object is not an instance of 'Quantized'", "quantized"),
])
def test_refine_argument_errors(args, exc, msg, note):
    with pytest.raises(exc) as ei:
        velmar.refine(*args)
    assert str(ei.value) == msg and ei.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("bad,msg", [("abc", V), (np.zeros((2, 2), np.float32), V),
                                     (np.zeros(4, ">f4"), "values must be native-endian")])
def test_refine_values_errors(bad, msg):
    q = velmar.quantize([1.0, 2.0, 3.0, 4.0], 8, 2)
    st_ = q.__getstate__()
    with pytest.raises(TypeError) as ei:
        velmar.refine(q, bad)
    assert str(ei.value) == msg and not getattr(ei.value, "__notes__", None)
    assert q.__getstate__() == st_
