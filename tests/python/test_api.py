"""The module's surface as data: names, signatures, reprs, and every error's type, text and note."""

import array
import importlib.util
import pathlib
import pickle
import tomllib

import numpy as np
import pytest

import velmar
import velmar._native as native
from velmar import (InvalidBitsError, InvalidBlockError, InvalidToleranceError, LengthMismatchError, Quantized,
                    QuantizeError, Scale, Scheme)

NAMES = ["__version__", "QuantizeError", "InvalidBitsError", "InvalidBlockError", "InvalidToleranceError",
         "LengthMismatchError", "Scale", "Scheme", "Quantized", "quantize", "quantize_tensor", "asymmetric_quantize",
         "asymmetric_quantize_tensor", "adaptive_quantize", "refine", "fit_scale_and_zero_point"]


def test_names():
    version = tomllib.loads((pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]
    assert native.__all__ == NAMES and velmar.__all__[:len(NAMES)] == NAMES
    assert native.__version__ == velmar.__version__ == version
    assert all(getattr(velmar, n) is getattr(native, n) for n in NAMES)
    for cls in [getattr(native, n) for n in NAMES[2:9]]:
        assert cls.__module__ == "velmar" and (not cls.__doc__ or cls is Scale)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    sub = type("Sub", (QuantizeError,), {})("custom")  # the base alone is open to Python subclasses
    assert str(sub) == "custom" and sub.args == ("custom",)
    assert Scale.__doc__ == "Runtime choice of `Quantized<f32>`, `Quantized<f16>`, or `Quantized<bf16>`."
    assert [c.__bases__ for c in (QuantizeError, InvalidBitsError, Quantized, Scale)] == [
        (Exception,), (QuantizeError,), (object,), (object,)]


SIGNATURES = [
    (velmar.quantize, "(values, bits=8, block=32, *, scale=...)"),
    (velmar.quantize_tensor, "(values, bits=8, *, scale=...)"),
    (velmar.asymmetric_quantize, "(values, bits=8, block=32, *, scale=...)"),
    (velmar.asymmetric_quantize_tensor, "(values, bits=8, *, scale=...)"),
    (velmar.adaptive_quantize, "(values, block=32, tolerance=0.001, *, scale=...)"),
    (velmar.refine, "(quantized, values)"), (velmar.fit_scale_and_zero_point, "(values, codes)"),
    (Quantized.copy, "($self)"), (Quantized.is_empty, "($self)"), (Quantized.dequantize, "($self, out=None)"),
    (Quantized.dot, "($self, values)"), (Quantized.__getstate__, "($self)"), (Quantized.__reduce__, "($self)"),
    (Quantized._from_pickle, "(state)"), (Scheme.symmetric, "($cls, bits=8, block=32)"),
    (Scheme.asymmetric, "($cls, bits=8, block=32)"), (Scheme.adaptive, "($cls, block=32, tolerance=0.001)"),
    (Scheme.quantize, "($self, values, *, scale=...)"), (Scheme._from_pickle, "(kind, bits, block, tolerance)"),
    (Scheme.__getstate__, "($self)"), (Scale.__reduce__, "($self)"), (Scale._from_pickle, "(name)"),
    (QuantizeError, "(message)"), (InvalidBitsError, "(bits)"), (InvalidBlockError, "(block)"),
    (LengthMismatchError, "(expected, got)"), (InvalidToleranceError, "()"),
]


@pytest.mark.parametrize("obj, sig", SIGNATURES)
def test_signature(obj, sig):
    assert obj.__text_signature__ == sig and not obj.__doc__


REPRS = [
    (velmar.quantize([1.0]), "Quantized(kind='symmetric', bits=8, block=32, len=1, scale=Scale.F32)"),
    (velmar.asymmetric_quantize(np.arange(100.0), 4, 32, scale=Scale.F16),
     "Quantized(kind='asymmetric', bits=4, block=32, len=100, scale=Scale.F16)"),
    (velmar.adaptive_quantize(np.arange(10.0), 64, scale=Scale.Bf16),
     "Quantized(kind='adaptive', block=64, len=10, scale=Scale.Bf16)"),
    (velmar.quantize_tensor(np.arange(7.0), 16), "Quantized(kind='symmetric', bits=16, block=7, len=7, scale=Scale.F32)"),
    (velmar.quantize([1.0], 2, 2**64 - 1), "Quantized(kind='symmetric', bits=2, block=18446744073709551615, len=1, scale=Scale.F32)"),
    (Scheme.symmetric(), "Scheme(kind='symmetric', bits=8, block=32)"),
    (Scheme.asymmetric(block=2**64 - 1, bits=4294967295),
     "Scheme(kind='asymmetric', bits=4294967295, block=18446744073709551615)"),
    (Scheme.adaptive(), "Scheme(kind='adaptive', block=32, tolerance=0.001)"),
    *[(Scheme.adaptive(3, t), f"Scheme(kind='adaptive', block=3, tolerance={text})") for t, text in [
        (float("nan"), "NaN"), (1e39, "inf"), (-1e39, "-inf"), (-0.0, "-0"), (1e20, "100000000000000000000"),
        (1e-45, "0." + "0" * 44 + "1")]],
    (Scale.F32, "Scale.F32"), (Scale.F16, "Scale.F16"), (Scale.Bf16, "Scale.Bf16"),
    (QuantizeError("any text \u2014 ok"), "QuantizeError('any text \u2014 ok')"),
    (InvalidBitsError(20), "InvalidBitsError(20)"), (InvalidBlockError(2**64 - 1), "InvalidBlockError(18446744073709551615)"),
    (InvalidToleranceError(), "InvalidToleranceError()"), (LengthMismatchError(3, 2), "LengthMismatchError(3, 2)"),
]


@pytest.mark.parametrize("obj, text", REPRS)
def test_repr(obj, text):
    assert repr(obj) == text and (str(obj) == text or isinstance(obj, Exception))


# exception object, str, args, attributes
EXCEPTIONS = [
    (QuantizeError(""), "", ("",), {}),
    (InvalidBitsError(4294967295), "bit width 4294967295 is outside the supported range 2..=16", (4294967295,),
     {"bits": 4294967295}),
    (InvalidBlockError(np.uint64(12)), "block size 12 must be at least 1", (12,), {"block": 12}),
    (InvalidToleranceError(), "tolerance must be a finite number greater than 0", (), {}),
    (LengthMismatchError(np.int32(4), np.int64(3)), "length mismatch: expected 4, got 3", (4, 3), {"expected": 4, "got": 3}),
]


@pytest.mark.parametrize("e, text, args, attrs", EXCEPTIONS)
def test_exception_values(e, text, args, attrs):
    assert str(e) == QuantizeError.__str__(e) == text and e.args == args and not hasattr(e, "message")
    for k, v in attrs.items():
        assert getattr(e, k) == v and type(getattr(e, k)) is int
        for change in (lambda: setattr(e, k, 9), lambda: delattr(e, k)):
            with pytest.raises(AttributeError):
                change()
    r = pickle.loads(pickle.dumps(e))
    assert type(r) is type(e) and r.args == e.args and str(r) == text
    if importlib.util.find_spec("tblib"):  # Dask pickles exceptions through tblib
        from tblib.pickling_support import pickle_exception
        fn, rebuilt = pickle_exception(e)[:2]
        assert str(fn(*rebuilt)) == text
    e.args = (7,)  # the text follows the fields, not args
    assert str(e) == text


V = "values must be a 1-D float32 array or a sequence of floats"
E = "values must be native-endian"
OOR = "out of range integral type conversion attempted"
C = ("codes must be a 1-D signed integer array or a sequence of int; packed Quantized.codes "
     "is uint8 and must not be passed here \u2014 use unpacked_codes")
R = "code is outside the i32 range"
O1 = "out must be a 1-D writable C-contiguous native-endian float32 array"
O2 = "out must be writable and C-contiguous"
q4 = velmar.quantize([1.0, 2.0, 3.0, 4.0], 8, 2)
ro = np.zeros(4, np.float32)
ro.flags.writeable = False
Q, FIT, Sch = velmar.quantize, velmar.fit_scale_and_zero_point, Scheme


def Idx(v):  # noqa: N802 - an integer by __index__ alone
    return type("Idx", (), {"__index__": lambda s: v})()


Bad = type("Bad", (), {"__float__": lambda s: float("nope")})  # float() raises ValueError


def missing(fn, n, names):
    return f"{fn}() missing {n} required positional argument{'s' if n > 1 else ''}: {names}"


def positional(fn, allowed, given):
    return f"{fn}() takes {allowed} positional arguments but {given} w{'as' if given == 1 else 'ere'} given"


# call, exception type, text (None: the interpreter's own), note naming the parameter
ERRORS = [
    # binding, before any conversion
    (lambda: Q(), TypeError, missing("quantize", 1, "'values'"), None),
    (lambda: Q(None, 1.5, None, object()), TypeError, positional("quantize", "from 1 to 3", 4), None),
    (lambda: Q("bad", bits="x", foo=1), TypeError, "quantize() got an unexpected keyword argument 'foo'", None),
    (lambda: Q([1.0], 8, bits=8), TypeError, "quantize() got multiple values for argument 'bits'", None),
    (lambda: velmar.refine(), TypeError, missing("refine", 2, "'quantized' and 'values'"), None),
    (lambda: velmar.refine(1, 2, 3), TypeError, positional("refine", 2, 3), None),
    (lambda: q4.dot(), TypeError, missing("Quantized.dot", 1, "'values'"), None),
    (lambda: q4.dot([1.0] * 4, [1.0]), TypeError, positional("Quantized.dot", 1, 2), None),
    (lambda: q4.dequantize(None, None), TypeError, positional("Quantized.dequantize", "from 0 to 1", 2), None),
    (lambda: Sch.symmetric(1, 2, 3), TypeError, positional("Scheme.symmetric", "from 0 to 2", 3), None),
    (lambda: Sch.Q8_32.quantize([1.0], Scale.F32), TypeError, positional("Scheme.quantize", 1, 2), None),
    (lambda: Sch._from_pickle(), TypeError,
     missing("Scheme._from_pickle", 4, "'kind', 'bits', 'block', and 'tolerance'"), None),
    (lambda: Scale._from_pickle(nom="f32"), TypeError,
     "Scale._from_pickle() got an unexpected keyword argument 'nom'", None),
    (lambda: InvalidToleranceError(1), TypeError, positional("InvalidToleranceError.__new__", 0, 1), None),
    (lambda: LengthMismatchError(1), TypeError, missing("LengthMismatchError.__new__", 1, "'got'"), None),
    (lambda: InvalidBitsError(bits=3), TypeError, None, None),
    (lambda: q4.copy(1), TypeError, None, None),
    (lambda: Q([1.0], Scale.F32), TypeError, None, "bits"),
    # scalar conversions, each in parameter order and before the values
    *[(lambda b=b: Q([1.0, 2.0], b), OverflowError, OOR, "bits") for b in (-1, 2**32, Idx(-1))],
    *[(lambda b=b: Q([1.0], b), OverflowError, None, "bits") for b in (2**63, -(2**63) - 1)],
    *[(lambda b=b: Q([1.0], b), TypeError, None, "bits") for b in (1.5, None, np.float64(8.0))],
    (lambda: Q([1.0], bits="x", block="y"), TypeError, None, "bits"),
    (lambda: velmar.asymmetric_quantize([1.0], 8, -1), OverflowError, None, "block"),
    (lambda: Q([1.0], 8, "y", scale=None), TypeError, None, "block"),
    (lambda: velmar.adaptive_quantize("s", block="x", tolerance="y"), TypeError, None, "block"),
    (lambda: velmar.adaptive_quantize("s", 0, tolerance=[0.1]), TypeError, None, "tolerance"),
    (lambda: Q(np.ones(2, ">f4"), 8, 32, scale=None), TypeError, "'None' is not an instance of 'Scale'", "scale"),
    (lambda: velmar.adaptive_quantize([1.0], 0, float("nan"), scale=0), TypeError,
     "'int' object is not an instance of 'Scale'", "scale"),
    (lambda: Sch.Q8_32.quantize("abc", scale=np.float32(1)), TypeError,
     "'float32' object is not an instance of 'Scale'", "scale"),
    (lambda: velmar.refine(None, "abc"), TypeError, "'None' is not an instance of 'Quantized'", "quantized"),
    (lambda: Sch.symmetric(bits=-1), OverflowError, OOR, "bits"),
    (lambda: Sch.adaptive(tolerance="x"), TypeError, None, "tolerance"),
    (lambda: Sch._from_pickle(1, -1, 32, None), TypeError, "'int' object cannot be converted to 'PyString'", "kind"),
    (lambda: Sch._from_pickle("quantile", 2**32, 32, None), OverflowError, None, "bits"),
    (lambda: Sch._from_pickle("symmetric", 8, None, None), TypeError, None, "block"),
    (lambda: Sch._from_pickle("bad", None, 32, "x"), TypeError, None, "tolerance"),
    (lambda: Scale._from_pickle(b"f32"), TypeError, "'bytes' object cannot be converted to 'PyString'", "name"),
    (lambda: InvalidBitsError(2**32), OverflowError, OOR, "bits"),
    (lambda: LengthMismatchError(-1, "x"), OverflowError, None, "expected"),
    (lambda: LengthMismatchError(1, "x"), TypeError, None, "got"),
    (lambda: QuantizeError(b"bytes"), TypeError, None, "message"),
    # values, then the core's checks in order: bits, block, tolerance
    *[(lambda v=v: Q(v, 1, 0), TypeError, V, None) for v in (
        np.ones((2, 2), np.float32), np.array(1.0, np.float32), np.array([1.0, 2.0], object), "1.0",
        array.array("f", [1.0]), memoryview(b"\x01"), iter([1.0]), {0: 1.0}, {1.0}, 1.0, None, [1.0, "2"],
        [1.0, [2.0]], [Bad()], np.ones((2, 2), ">f4"), type("S", (str,), {})("12"),
        type("Boom", (), {"__len__": lambda s: 4, "__getitem__": lambda s, i: 1 / 0})())],
    *[(lambda v=v: velmar.adaptive_quantize(v, 0, -1.0), TypeError, E, None) for v in (
        np.ones(2, ">f4"), np.ones(2, ">i4"), np.ones(2, ">f8"))],
    (lambda: Q([], 1, 0), InvalidBitsError, "bit width 1 is outside the supported range 2..=16", None),
    (lambda: velmar.asymmetric_quantize_tensor([], 17), InvalidBitsError,
     "bit width 17 is outside the supported range 2..=16", None),
    (lambda: Q([1.0], 8, 0), InvalidBlockError, "block size 0 must be at least 1", None),
    (lambda: velmar.adaptive_quantize([], 0, float("nan")), InvalidBlockError, "block size 0 must be at least 1", None),
    *[(lambda t=t: velmar.adaptive_quantize([1.0], 32, t), InvalidToleranceError,
       "tolerance must be a finite number greater than 0", None) for t in (
        0.0, -0.0, -1e-3, 1e-50, 1e39, float("inf"), float("nan"))],
    (lambda: Sch.adaptive(tolerance=-1.0).quantize([]), InvalidToleranceError,
     "tolerance must be a finite number greater than 0", None),
    # lengths, outputs and codes
    (lambda: q4.dot(np.ones(3, np.float32)), LengthMismatchError, "length mismatch: expected 4, got 3", None),
    (lambda: q4.dot(np.ones(3, ">f4")), TypeError, E, None),
    (lambda: q4.dot("abcd"), TypeError, V, None),
    (lambda: velmar.refine(q4, [1.0] * 5), LengthMismatchError, "length mismatch: expected 4, got 5", None),
    (lambda: FIT([1.0] * 2, [1]), LengthMismatchError, "length mismatch: expected 2, got 1", None),
    *[(lambda o=o: q4.dequantize(out=o), TypeError, O1, None) for o in (
        np.zeros(4), np.zeros(4, np.int32), np.zeros((4, 1), np.float32), np.zeros(4, ">f4"), [0.0] * 4, np.float32(0))],
    *[(lambda o=o: q4.dequantize(out=o), ValueError, O2, None) for o in (ro, np.zeros(8, np.float32)[::2])],
    *[(lambda c=c: FIT([1.0, 2.0], c), TypeError, C, None) for c in (
        np.zeros(2, np.uint8), np.zeros(2, bool), np.zeros(2, np.float32), np.zeros(2, object), np.zeros((1, 2), np.int32),
        np.zeros(2, ">i4"), [1.5, 0], ["1", 0], [2**70, 0], [2**40, 1.5], 2, "01", array.array("i", [0, 1]),
        iter([0, 1]))],
    *[(lambda c=c: FIT([1.0, 2.0], c), OverflowError, R, None) for c in (
        np.array([2**31, 0]), np.array([0, -(2**31) - 1]), [2**40, 0], [0, -(2**31) - 1])],
    (lambda: FIT("ab", np.zeros(2, np.uint8)), TypeError, V, None),
    (lambda: FIT([1.0] * 4, q4.codes), TypeError, C, None),
    (lambda: Q(np.array(["1.0", "abc"])), ValueError, None, None),  # NumPy's own
    # pickle names
    (lambda: Scale._from_pickle("F16"), ValueError, "malformed pickle state", None),
    (lambda: hash(Scheme.Q8_32), TypeError, "unhashable type: 'Scheme'", None),
]


@pytest.mark.parametrize("case", range(len(ERRORS)))
def test_error(case):
    call, exc, text, note = ERRORS[case]
    with pytest.raises(exc) as ei:
        call()
    e = ei.value
    assert type(e) is exc
    assert text is None or str(e) == text
    assert getattr(e, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert e.__cause__ is None and e.__context__ is None


# A sequence by __getitem__ alone, whose len() fails.
Seq = type("Seq", (), {"__getitem__": lambda s, i: [0.5, 1.5, -2.0][i], "__len__": lambda s: 1 // 0})


# accepted spellings of the values: what they must quantize like
ACCEPTED = [
    ([1, 2.5, True, False, -3], [1.0, 2.5, 1.0, 0.0, -3.0]), ((1.0, -2.0), [1.0, -2.0]), (range(-3, 4), range(-3, 4)),
    (np.arange(-5, 5, dtype=np.int64) * 3, [3.0 * i for i in range(-5, 5)]), (np.array([True, False]), [1.0, 0.0]),
    (np.array([0.1, -1e39, 1e39, 1e-300]), [0.1, -1e39, 1e39, 1e-300]), (np.array([1.5, -2.25], np.float16), [1.5, -2.25]),
    (np.array(["1.5", "-2"]), [1.5, -2.0]), (np.arange(20, dtype=np.float32)[::-3], range(19, -1, -3)),
    (np.arange(12.0).reshape(3, 4)[:, 1], [1.0, 5.0, 9.0]), (b"\x01\x05", [1.0, 5.0]), (Seq(), [0.5, 1.5, -2.0]),
    (np.arange(6, dtype=np.float32).view(type("Sub", (np.ndarray,), {})), range(6)),
    ([4.0, type("Fl", (), {"__float__": lambda s: 2.0})(), Idx(3), np.float64(0.25)], [4.0, 2.0, 3.0, 0.25]),
    ([0.1, 1 + 2**-24, 1 + 3 * 2**-24, 16777217.0, 3.4028235677973366e38], "f32"),
]


@pytest.mark.parametrize("values, want", ACCEPTED)
def test_values_accepted(values, want):
    with np.errstate(over="ignore"):
        want = np.array(values if want == "f32" else list(want), np.float32)
        for fn in (velmar.quantize_tensor, lambda v: velmar.asymmetric_quantize(v, 16, 3)):
            assert fn(values).__getstate__() == fn(want).__getstate__()
        # at 2 bits a one-element block stores its value as the scale: the double's nearest float32
        assert velmar.quantize(values, 2, 1).scales.tolist() == np.where(want == 0, 1, np.abs(want)).tolist()


@pytest.mark.parametrize("quantize", [lambda v: velmar.quantize(v, 3, 24), lambda v: velmar.asymmetric_quantize(v, 12, 7),
                                      lambda v: velmar.adaptive_quantize(v, 32, 0.05)])
@pytest.mark.parametrize("dtype", [np.float16, np.float64])
def test_long_float64_and_float16_arrays_quantize_as_their_float32_cast(quantize, dtype):
    # Read a piece at a time, yet the record of NumPy's cast, with what that cast reports; every half.
    a = np.random.default_rng(3).standard_normal(150_001) * 3
    if dtype == np.float16:
        a = np.tile(np.arange(65536, dtype=np.uint16), 3).view(np.float16)
    assert quantize(a).__getstate__() == quantize(a.astype(np.float32)).__getstate__()
    if dtype == np.float16:
        return
    for far, what in ((1e300, "over"), (1e-300, "under")):
        a[140_000] = far
        with np.errstate(**{what: "raise"}), pytest.raises(FloatingPointError, match=f"{what}flow encountered in cast"):
            quantize(a)
        with np.errstate(**{what: "warn"}), pytest.warns(RuntimeWarning, match=f"{what}flow encountered in cast"):
            got = quantize(a)
        with np.errstate(all="ignore"):
            assert got.__getstate__() == quantize(a.astype(np.float32)).__getstate__()


@pytest.mark.parametrize("bits, block, tol, want", [
    (Idx(4), Idx(7), Idx(1), (4, 7, 2)), (np.int64(5), np.uint64(2**64 - 1), np.float64(0.4999), (5, 2**64 - 1, 3)),
    (np.uint8(6), np.int32(7), type("T", (), {"__float__": lambda s: 0.49999999999})(), (6, 7, 2)),
])
def test_parameters_accepted_through_their_protocols(bits, block, tol, want):
    q, a = velmar.quantize([0.0, 3.0], bits, block), velmar.adaptive_quantize([0.0, 3.0], block, tol)
    assert (q.bits, q.block, a.block_bits.tolist()) == (want[0], want[1], [want[2]])
    assert velmar.quantize(values=[1.0, -2.0], block=1, bits=4, scale=Scale.F16).scale is Scale.F16
    assert velmar.quantize([1.0]).__getstate__() == velmar.quantize([1.0], 8, 32, scale=Scale.F32).__getstate__()
