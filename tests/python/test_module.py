"""Module registration, the shared call frame and value conversion."""

import array
import inspect
import pathlib
import sys
import threading
import time
import tomllib

import numpy as np
import pytest

import velmar
import velmar._native as native
from velmar import Scale

NAMES = [
    "__version__", "QuantizeError", "InvalidBitsError", "InvalidBlockError",
    "InvalidToleranceError", "LengthMismatchError", "Scale", "Scheme", "Quantized",
    "quantize", "quantize_tensor", "asymmetric_quantize", "asymmetric_quantize_tensor",
    "adaptive_quantize", "refine", "fit_scale_and_zero_point",
]
FUNCS = NAMES[9:]
QUANTIZERS = FUNCS[:5]
V = "values must be a 1-D float32 array or a sequence of floats"
E = "values must be native-endian"
OOR = "out of range integral type conversion attempted"


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


def note_of(e):
    return getattr(e, "__notes__", None)


def same(a, b):
    """Two Quantized objects hold the same tensor."""
    assert (a.kind, a.bits, a.block, len(a), a.scale) == (b.kind, b.bits, b.block, len(b), b.scale)
    assert a.codes.tobytes() == b.codes.tobytes()
    assert a.scales.view(np.uint32).tolist() == b.scales.view(np.uint32).tolist()
    assert a.zero_points.view(np.uint32).tolist() == b.zero_points.view(np.uint32).tolist()
    return True


# ---------------------------------------------------------------- registration

def test_all_and_version():
    assert native.__all__ == NAMES
    assert type(native.__all__) is list
    pyproject = pathlib.Path(__file__).parents[2] / "pyproject.toml"
    assert native.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]
    assert not native.__doc__


def test_registration_order_in_namespace():
    # __all__ is created by the first registration, then each name is set in turn
    keys = [k for k in vars(native) if k in NAMES or k == "__all__"]
    assert keys == ["__all__"] + NAMES


@pytest.mark.parametrize("name", NAMES)
def test_package_reexports(name):
    assert getattr(velmar, name) is getattr(native, name)


@pytest.mark.parametrize("name", NAMES[1:9])
def test_classes_report_velmar(name):
    cls = getattr(native, name)
    assert isinstance(cls, type) and cls.__module__ == "velmar" and cls.__name__ == name


@pytest.mark.parametrize(
    "name, sig",
    [
        ("quantize", "(values, bits=8, block=32, *, scale=...)"),
        ("quantize_tensor", "(values, bits=8, *, scale=...)"),
        ("asymmetric_quantize", "(values, bits=8, block=32, *, scale=...)"),
        ("asymmetric_quantize_tensor", "(values, bits=8, *, scale=...)"),
        ("adaptive_quantize", "(values, block=32, tolerance=0.001, *, scale=...)"),
        ("refine", "(quantized, values)"),
        ("fit_scale_and_zero_point", "(values, codes)"),
    ],
)
def test_function_signatures(name, sig):
    f = getattr(native, name)
    assert f.__name__ == name
    assert f.__text_signature__ == sig
    assert f.__doc__ is None
    params = inspect.signature(f).parameters
    kinds = {p.name: p.kind for p in params.values()}
    if "scale" in kinds:
        assert kinds.pop("scale") is inspect.Parameter.KEYWORD_ONLY
    assert set(kinds.values()) == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


# ---------------------------------------------------------------- argument binding

@pytest.mark.parametrize(
    "call, msg",
    [
        (lambda: velmar.quantize(), "quantize() missing 1 required positional argument: 'values'"),
        (lambda: velmar.quantize(scale=Scale.F16, bits=4),
         "quantize() missing 1 required positional argument: 'values'"),
        (lambda: velmar.quantize([1.0], 8, 32, Scale.F32),
         "quantize() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: velmar.quantize_tensor([1.0], 8, 32),
         "quantize_tensor() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: velmar.asymmetric_quantize(1, 2, 3, 4, 5),
         "asymmetric_quantize() takes from 1 to 3 positional arguments but 5 were given"),
        (lambda: velmar.asymmetric_quantize_tensor([1.0], 8, 2),
         "asymmetric_quantize_tensor() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: velmar.adaptive_quantize([1.0], 32, 0.1, Scale.F32),
         "adaptive_quantize() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: velmar.quantize([1.0], foo=1), "quantize() got an unexpected keyword argument 'foo'"),
        (lambda: velmar.quantize_tensor([1.0], block=4),
         "quantize_tensor() got an unexpected keyword argument 'block'"),
        (lambda: velmar.adaptive_quantize([1.0], bits=4),
         "adaptive_quantize() got an unexpected keyword argument 'bits'"),
        (lambda: velmar.quantize([1.0], 8, bits=8), "quantize() got multiple values for argument 'bits'"),
        (lambda: velmar.quantize([1.0], values=[1.0]),
         "quantize() got multiple values for argument 'values'"),
        (lambda: velmar.refine(), "refine() missing 2 required positional arguments: 'quantized' and 'values'"),
        (lambda: velmar.refine(values=[]), "refine() missing 1 required positional argument: 'quantized'"),
        (lambda: velmar.refine(None), "refine() missing 1 required positional argument: 'values'"),
        (lambda: velmar.refine(1, 2, 3), "refine() takes 2 positional arguments but 3 were given"),
        (lambda: velmar.fit_scale_and_zero_point(),
         "fit_scale_and_zero_point() missing 2 required positional arguments: 'values' and 'codes'"),
        (lambda: velmar.fit_scale_and_zero_point([1.0], [1], codes=[1]),
         "fit_scale_and_zero_point() got multiple values for argument 'codes'"),
        (lambda: velmar.fit_scale_and_zero_point([1.0], [1], [2], [3]),
         "fit_scale_and_zero_point() takes 2 positional arguments but 4 were given"),
        # binding comes before any conversion
        (lambda: velmar.quantize("bad", bits="x", foo=1), "quantize() got an unexpected keyword argument 'foo'"),
        (lambda: velmar.quantize(None, 1.5, None, object()),
         "quantize() takes from 1 to 3 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(call, msg):
    with pytest.raises(TypeError) as ei:
        call()
    assert type(ei.value) is TypeError and str(ei.value) == msg
    assert note_of(ei.value) is None


def test_keywords_accepted():
    q = velmar.quantize(values=[1.0, -2.0], block=1, bits=4, scale=Scale.F16)
    assert (q.bits, q.block, q.scale) == (4, 1, Scale.F16)
    q = velmar.adaptive_quantize(tolerance=0.5, values=[0.0, 3.0], block=2)
    assert q.block == 2 and q.block_bits.tolist() == [2]


def test_defaults():
    v = np.linspace(-1, 1, 70, dtype=np.float32)
    q = velmar.quantize(v)
    assert (q.bits, q.block, q.scale) == (8, 32, Scale.F32)
    assert same(q, velmar.quantize(v, 8, 32, scale=Scale.F32))
    a = velmar.adaptive_quantize(v)
    assert same(a, velmar.adaptive_quantize(v, 32, 0.001, scale=Scale.F32))
    assert velmar.quantize_tensor(v).bits == 8
    assert velmar.asymmetric_quantize(v).block == 32


# ---------------------------------------------------------------- scalar conversions

@pytest.mark.parametrize("fn", ["quantize", "quantize_tensor", "asymmetric_quantize", "asymmetric_quantize_tensor"])
@pytest.mark.parametrize(
    "bits, exc, msg",
    [
        (-1, OverflowError, OOR),
        (2**32, OverflowError, OOR),
        (2**32 + 8, OverflowError, OOR),
        (2**63 - 1, OverflowError, OOR),
        (-(2**63), OverflowError, OOR),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (2**80, OverflowError, None),
        (Idx(-1), OverflowError, OOR),
        (Idx(2**32), OverflowError, OOR),
        (1.5, TypeError, None),
        (8.0, TypeError, None),
        ("8", TypeError, None),
        (None, TypeError, None),
        (np.float64(8.0), TypeError, None),
        (Flt(8.0), TypeError, None),
    ],
)
def test_bits_conversion_errors(fn, bits, exc, msg):
    with pytest.raises(exc) as ei:
        getattr(velmar, fn)([1.0, 2.0], bits)
    assert type(ei.value) is exc
    if msg:
        assert str(ei.value) == msg
    assert note_of(ei.value) == ["while processing 'bits'"]


@pytest.mark.parametrize("bits, expect", [(Idx(4), 4), (np.int64(5), 5), (np.uint8(6), 6), (True, None),
                                          (4294967295, None), (Idx(0), None)])
def test_bits_conversion_accepted(bits, expect):
    if expect is None:
        with pytest.raises(velmar.InvalidBitsError) as ei:
            velmar.quantize([1.0], bits)
        assert ei.value.bits == int(bits.v if isinstance(bits, Idx) else bits)
    else:
        assert velmar.quantize([1.0], bits).bits == expect


@pytest.mark.parametrize("fn", ["quantize", "asymmetric_quantize", "adaptive_quantize"])
@pytest.mark.parametrize("block, exc", [(-1, OverflowError), (2**64, OverflowError), (-(2**70), OverflowError),
                                        (1.5, TypeError), ("32", TypeError), (None, TypeError)])
def test_block_conversion_errors(fn, block, exc):
    with pytest.raises(exc) as ei:
        getattr(velmar, fn)([1.0], block=block)
    assert type(ei.value) is exc
    assert note_of(ei.value) == ["while processing 'block'"]


@pytest.mark.parametrize("block", [2**64 - 1, 2**63, 2**32 + 1, Idx(7), np.int32(7), np.uint64(7)])
def test_block_huge_or_index(block):
    v = [1.0, -2.0, 3.0]
    q = velmar.quantize(v, 8, block)
    assert q.block == int(block.v if isinstance(block, Idx) else block)
    assert len(q.scales) == 1 and q.unpacked_codes.tolist() == [42, -85, 127]


@pytest.mark.parametrize("fn", ["asymmetric_quantize", "adaptive_quantize"])
def test_block_huge_other_quantizers(fn):
    q = getattr(velmar, fn)([1.0, -2.0, 3.0], block=2**64 - 1)
    assert q.block == 2**64 - 1 and len(q.scales) == 1 and len(q) == 3


@pytest.mark.parametrize("tol", ["0.1", None, [0.1], object()])
def test_tolerance_conversion_errors(tol):
    with pytest.raises(TypeError) as ei:
        velmar.adaptive_quantize([1.0], tolerance=tol)
    assert note_of(ei.value) == ["while processing 'tolerance'"]


@pytest.mark.parametrize("tol", [1e-50, -1e-50, 0.0, -0.0, -1.0, 1e39, -1e39, float("inf"), float("nan")])
def test_tolerance_invalid_after_f32_rounding(tol):
    with pytest.raises(velmar.InvalidToleranceError):
        velmar.adaptive_quantize([0.0, 1.0], tolerance=tol)


@pytest.mark.parametrize(
    "tol, width",
    [
        (0.5, 2),
        (0.49999999999, 2),  # rounds to 0.5 in f32, meeting the threshold exactly
        (0.4999, 3),
        (Flt(0.49999999999), 2),
        (Idx(1), 2),
        (1, 2),
        (np.float64(0.4999), 3),
        (1e-45, 8),
        (3e38, 2),
    ],
)
def test_tolerance_accepted_as_f32(tol, width):
    q = velmar.adaptive_quantize([0.0, 3.0], tolerance=tol)
    assert q.block_bits.tolist() == [width]


@pytest.mark.parametrize("fn", QUANTIZERS)
@pytest.mark.parametrize(
    "scale, msg",
    [
        (None, "'None' is not an instance of 'Scale'"),
        (0, "'int' object is not an instance of 'Scale'"),
        ("F32", "'str' object is not an instance of 'Scale'"),
        (Scale, "'type' object is not an instance of 'Scale'"),
        (np.float32(1), "'float32' object is not an instance of 'Scale'"),
    ],
)
def test_scale_conversion_errors(fn, scale, msg):
    with pytest.raises(TypeError) as ei:
        getattr(velmar, fn)([1.0], scale=scale)
    assert str(ei.value) == msg
    assert note_of(ei.value) == ["while processing 'scale'"]


@pytest.mark.parametrize(
    "obj, msg",
    [
        (None, "'None' is not an instance of 'Quantized'"),
        ([1.0], "'list' object is not an instance of 'Quantized'"),
        (Scale.F32, "'Scale' object is not an instance of 'Quantized'"),
    ],
)
def test_quantized_conversion_error(obj, msg):
    with pytest.raises(TypeError) as ei:
        velmar.refine(obj, [1.0])
    assert str(ei.value) == msg
    assert note_of(ei.value) == ["while processing 'quantized'"]


# ---------------------------------------------------------------- values

def ref_q(values):
    with np.errstate(over="ignore"):
        return velmar.quantize(np.asarray(values, dtype=np.float32), 8, 4)


class Seq:
    """A sequence by __getitem__ alone, with a failing len()."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


class NamedArray(list):
    pass


NamedArray.__name__ = "array"


class FloatList(list):
    pass


class BadIter:
    def __getitem__(self, i):
        if i == 2:
            raise RuntimeError("boom")
        return 1.0

    def __len__(self):
        return 4


class BadFloat:
    def __float__(self):
        raise ValueError("nope")


ACCEPTED = [
    ([1, 2.5, True, False, -3], [1.0, 2.5, 1.0, 0.0, -3.0]),
    ((1.0, -2.0, 3.5), [1.0, -2.0, 3.5]),
    (range(-3, 4), list(range(-3, 4))),
    (np.arange(-5, 5, dtype=np.int32), list(range(-5, 5))),
    (np.arange(-5, 5, dtype=np.int64) * 3, [3.0 * i for i in range(-5, 5)]),
    (np.array([0.1, -1e39, 1e39, 1e-300], dtype=np.float64), [0.1, -1e39, 1e39, 1e-300]),
    (np.array([True, False, True]), [1.0, 0.0, 1.0]),
    (np.array([1.5, -2.25], dtype=np.float16), [1.5, -2.25]),
    (np.array([200, 3], dtype=np.uint8), [200.0, 3.0]),
    (np.array(["1.5", "-2"]), [1.5, -2.0]),
    (np.arange(20, dtype=np.float32)[::2], list(range(0, 20, 2))),
    (np.arange(20, dtype=np.float32)[::-3], list(range(19, -1, -3))),
    (np.arange(12, dtype=np.float64).reshape(3, 4)[:, 1], [1.0, 5.0, 9.0]),
    (np.arange(6, dtype=np.float32).view(type("Sub", (np.ndarray,), {})), list(range(6))),
    (np.array([1.0, 2.0], dtype="<f4"), [1.0, 2.0]),
    (b"\x01\x05", [1.0, 5.0]),
    (Seq([0.5, 1.5, -2.0]), [0.5, 1.5, -2.0]),
    (FloatList([4.0, Flt(2.0), Idx(3), np.float64(0.25)]), [4.0, 2.0, 3.0, 0.25]),
    ([0.1, 1 + 2**-24, 1 + 3 * 2**-24, 16777217.0], [0.1, 1 + 2**-24, 1 + 3 * 2**-24, 16777217.0]),
    ([], []),
]


@pytest.mark.parametrize("values, expect", ACCEPTED, ids=range(len(ACCEPTED)))
def test_values_accepted(values, expect):
    with np.errstate(over="ignore"):
        got = velmar.quantize(values, 8, 4)
    assert same(got, ref_q(expect))


def test_values_rounded_to_nearest_f32():
    # at 2 bits (qmax 1) a one-element scale exposes the f32 value the double became
    for x in [0.1, 1 + 2**-24, 1 + 3 * 2**-24, 1 - 2**-25, 3.4028235677973366e38, 1e39]:
        q = velmar.quantize_tensor([x], 2)
        with np.errstate(over="ignore"):
            expect = np.float32(x)
        assert q.scales.view(np.uint32)[0] == expect.view(np.uint32)


BIG = np.array([1.0, 2.0], dtype=">f4")


@pytest.mark.parametrize(
    "values, msg",
    [
        (np.ones((2, 2), dtype=np.float32), V),
        (np.array(1.0, dtype=np.float32), V),
        (np.ones((1, 3)), V),
        (np.array([1.0, "x"], dtype=object), V),
        (np.array([1.0, 2.0], dtype=object), V),
        ("1.0", V),
        (type("S", (str,), {})("12"), V),
        (array.array("f", [1.0, 2.0]), V),
        (memoryview(b"\x01\x02"), V),
        (NamedArray([1.0, 2.0]), V),
        ((x for x in [1.0]), V),
        (iter([1.0, 2.0]), V),
        ({0: 1.0, 1: 2.0}, V),
        ({1.0, 2.0}, V),
        (np.float32(1.0), V),
        (1.0, V),
        (None, V),
        ([1.0, "2.0"], V),
        ([1.0, None], V),
        ([1.0, [2.0]], V),
        ([BadFloat()], V),
        (BadIter(), V),
        (BIG, E),
        (np.array([1, 2], dtype=">i4"), E),
        (np.array([1.0, 2.0], dtype=">f8"), E),
        (np.ones((2, 2), dtype=">f4"), V),
    ],
)
def test_values_rejected(values, msg):
    with pytest.raises(TypeError) as ei:
        velmar.quantize(values)
    assert type(ei.value) is TypeError and str(ei.value) == msg
    assert note_of(ei.value) is None
    assert ei.value.__context__ is None and ei.value.__cause__ is None


def test_numpy_cast_error_propagates():
    with pytest.raises(ValueError) as ei:
        velmar.quantize(np.array(["1.0", "abc"]))
    assert "abc" in str(ei.value)
    assert note_of(ei.value) is None


@pytest.mark.parametrize("fn", ["quantize", "quantize_tensor", "asymmetric_quantize",
                                "asymmetric_quantize_tensor", "adaptive_quantize"])
def test_every_quantizer_uses_value_conversion(fn):
    with pytest.raises(TypeError, match="^" + E + "$"):
        getattr(velmar, fn)(BIG)
    with pytest.raises(TypeError, match="^" + V + "$"):
        getattr(velmar, fn)("abc")
    assert len(getattr(velmar, fn)(range(5))) == 5


# ---------------------------------------------------------------- check order

@pytest.mark.parametrize(
    "call, exc, note",
    [
        (lambda: velmar.quantize("str", bits=1.5), TypeError, "bits"),
        (lambda: velmar.quantize([1.0], bits="x", block="y"), TypeError, "bits"),
        (lambda: velmar.quantize([1.0], 8, "y", scale=None), TypeError, "block"),
        (lambda: velmar.quantize(BIG, bits=-1, scale=None), OverflowError, "bits"),
        (lambda: velmar.quantize(BIG, 8, 32, scale=None), TypeError, "scale"),
        (lambda: velmar.adaptive_quantize("str", block="x", tolerance="y"), TypeError, "block"),
        (lambda: velmar.adaptive_quantize("str", block=0, tolerance="y"), TypeError, "tolerance"),
        (lambda: velmar.adaptive_quantize([1.0], 0, float("nan"), scale=0), TypeError, "scale"),
        (lambda: velmar.quantize_tensor("str", 0, scale=1), TypeError, "scale"),
        (lambda: velmar.refine(None, "str"), TypeError, "quantized"),
    ],
)
def test_scalar_before_values(call, exc, note):
    with pytest.raises(exc) as ei:
        call()
    assert type(ei.value) is exc and note_of(ei.value) == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "call, exc, attrs",
    [
        (lambda: velmar.quantize("str", bits=1), TypeError, None),
        (lambda: velmar.quantize(np.ones((2, 2)), 0, 0), TypeError, None),
        (lambda: velmar.adaptive_quantize(BIG, 0, -1.0), TypeError, None),
        (lambda: velmar.quantize([], 1, 0), velmar.InvalidBitsError, {"bits": 1}),
        (lambda: velmar.quantize([], 17), velmar.InvalidBitsError, {"bits": 17}),
        (lambda: velmar.asymmetric_quantize([1.0], 0, 0), velmar.InvalidBitsError, {"bits": 0}),
        (lambda: velmar.quantize([1.0], 8, 0), velmar.InvalidBlockError, {"block": 0}),
        (lambda: velmar.adaptive_quantize([], 0, -1.0), velmar.InvalidBlockError, {"block": 0}),
        (lambda: velmar.adaptive_quantize([], 0, float("nan")), velmar.InvalidBlockError, {"block": 0}),
        (lambda: velmar.adaptive_quantize([], 32, 1e-50), velmar.InvalidToleranceError, {}),
        (lambda: velmar.quantize_tensor([], 1), velmar.InvalidBitsError, {"bits": 1}),
        (lambda: velmar.asymmetric_quantize_tensor([], 17), velmar.InvalidBitsError, {"bits": 17}),
    ],
)
def test_values_before_core_and_core_order(call, exc, attrs):
    with pytest.raises(exc) as ei:
        call()
    assert type(ei.value) is exc and note_of(ei.value) is None
    if attrs is None:
        assert str(ei.value) in (V, E)
    else:
        assert all(getattr(ei.value, k) == v for k, v in attrs.items())


@pytest.mark.parametrize("fn", ["quantize_tensor", "asymmetric_quantize_tensor"])
@pytest.mark.parametrize("n, block", [(0, 1), (1, 1), (2, 2), (100, 100)])
def test_tensor_block(fn, n, block):
    q = getattr(velmar, fn)([0.5 * i for i in range(n)])
    assert q.block == block and len(q) == n


def test_empty_inputs_are_not_errors():
    for fn in QUANTIZERS:
        q = getattr(velmar, fn)([])
        assert len(q) == 0 and q.is_empty()


# ---------------------------------------------------------------- no trace

@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"bits": -1}, OverflowError),
        ({"bits": 1}, velmar.InvalidBitsError),
        ({"block": 0}, velmar.InvalidBlockError),
        ({"scale": "F16"}, TypeError),
        ({"bits": 8, "nope": 1}, TypeError),
    ],
)
def test_failed_call_leaves_no_trace(kwargs, exc):
    arr = np.arange(8, dtype=np.float32)
    lst = [3.0, -1.0, 2.5]
    snapshot = arr.copy()
    kwargs = {"scale": Scale.F16, **kwargs}
    scale = kwargs["scale"]
    for values in (arr, lst):
        before = (sys.getrefcount(values), sys.getrefcount(scale))
        for _ in range(50):
            with pytest.raises(exc):
                velmar.quantize(values, **kwargs)
        assert (sys.getrefcount(values), sys.getrefcount(scale)) == before
    assert arr.tobytes() == snapshot.tobytes() and arr.flags.writeable
    assert lst == [3.0, -1.0, 2.5]


def test_rejected_values_leave_no_trace():
    item = "not a float"
    lst = [1.0, item]
    big = np.arange(4, dtype=">f4")
    before = (sys.getrefcount(lst), sys.getrefcount(item), sys.getrefcount(big))
    for _ in range(50):
        with pytest.raises(TypeError):
            velmar.quantize(lst)
        with pytest.raises(TypeError):
            velmar.quantize(big)
    assert (sys.getrefcount(lst), sys.getrefcount(item), sys.getrefcount(big)) == before
    assert lst == [1.0, item] and big.tolist() == [0.0, 1.0, 2.0, 3.0]


def test_success_does_not_touch_input_or_alias_it():
    arr = np.array([1.0, -4.0, 2.0, 8.0], dtype=np.float32)
    before = sys.getrefcount(arr)
    q = velmar.quantize(arr, 4, 2)
    assert sys.getrefcount(arr) == before
    assert arr.tolist() == [1.0, -4.0, 2.0, 8.0]
    codes = q.codes.tobytes()
    arr[:] = 1000.0
    assert q.codes.tobytes() == codes


# ---------------------------------------------------------------- interpreter lock

def test_concurrent_quantize_matches_sequential():
    rng = np.random.default_rng(5)
    jobs = [
        (rng.standard_normal(1 << 21).astype(np.float32), 3, 33, Scale.F16),
        (rng.standard_normal(1 << 21).astype(np.float32) * 100, 8, 32, Scale.Bf16),
        (rng.standard_normal(1 << 21).astype(np.float32), 4, 17, Scale.F32),
    ]
    expected = [velmar.quantize(v, b, k, scale=s) for v, b, k, s in jobs]
    results = [[None] * 3, [None] * 3]

    def work(slot):
        for i, (v, b, k, s) in enumerate(jobs):
            results[slot][i] = velmar.quantize(v, b, k, scale=s)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for slot in results:
        assert all(same(r, e) for r, e in zip(slot, expected))


class Watched(np.ndarray):
    """Signals once the frame has taken its float32 copy."""

    def astype(self, *args, **kwargs):
        out = np.asarray(self).astype(*args, **kwargs)
        self.converted.set()
        return out


class Trigger:
    """The last item of a sequence: converting it ends the value conversion."""

    def __init__(self, event):
        self.event = event

    def __float__(self):
        self.event.set()
        return 0.0


def _watched_array(n, converted):
    base = np.random.default_rng(9).standard_normal(n)
    arr = base.copy().view(Watched)
    arr.converted = converted
    raw = arr.view(np.ndarray)

    def mutate():
        raw[::7] = 1e6
        raw[1::5] = -1e-3

    return base, arr, mutate


def _watched_list(n, converted):
    base = np.random.default_rng(9).standard_normal(n).tolist() + [0.0]
    lst = base[:-1] + [Trigger(converted)]

    def mutate():
        lst[0:n:7] = [1e6] * len(range(0, n, 7))
        lst[1] = -1e-3

    return base, lst, mutate


# Only the array is large enough for the unlocked computation to outlast a few
# switch intervals; the list case checks the result alone.
@pytest.mark.parametrize("make, n, timed", [(_watched_array, 1 << 24, True), (_watched_list, 1 << 21, False)],
                         ids=["float64-array", "list"])
def test_mutation_during_quantize_does_not_change_result(make, n, timed):
    converted, done = threading.Event(), threading.Event()
    base, values, mutate = make(n, converted)
    expected = velmar.quantize(np.asarray(base, dtype=np.float32), 3, 32)
    stamps = []

    def mutator():
        if not converted.wait(10):
            return
        while not done.is_set():
            stamps.append(time.perf_counter())
            mutate()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    t = threading.Thread(target=mutator)
    t.start()
    try:
        start = time.perf_counter()
        q = velmar.quantize(values, 3, 32)
        end = time.perf_counter()
    finally:
        done.set()
        t.join()
        sys.setswitchinterval(interval)
    assert converted.is_set()
    assert same(q, expected)
    # A lock held through the computation lets the mutator in only once the call
    # has returned, within a switch interval or so of `end`.
    if timed:
        inside = [s for s in stamps if s < end - 0.005]
        assert inside, f"no mutation while quantize ran for {end - start:.3f}s"
