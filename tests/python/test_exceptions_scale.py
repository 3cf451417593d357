"""Exception classes and the Scale enumeration."""

import copy
import operator
import pickle

import numpy as np
import pytest

import velmar
from velmar import (
    InvalidBitsError,
    InvalidBlockError,
    InvalidToleranceError,
    LengthMismatchError,
    QuantizeError,
    Scale,
)

OOR = "out of range integral type conversion attempted"
SUBCLASSES = [InvalidBitsError, InvalidBlockError, InvalidToleranceError, LengthMismatchError]
ALL_ERRORS = [QuantizeError] + SUBCLASSES


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def notes(e):
    return getattr(e, "__notes__", None)


# ---------------------------------------------------------------- class tree

@pytest.mark.parametrize("cls", ALL_ERRORS)
def test_class_identity(cls):
    assert cls.__module__ == "velmar"
    assert f"{cls.__module__}.{cls.__qualname__}" == f"velmar.{cls.__name__}"
    assert cls.__bases__ == ((Exception,) if cls is QuantizeError else (QuantizeError,))
    assert issubclass(cls, QuantizeError) and issubclass(cls, Exception)
    assert getattr(velmar._native, cls.__name__) is cls
    assert not hasattr(cls, "message")


@pytest.mark.parametrize(
    "cls, sig",
    [
        (QuantizeError, "(message)"),
        (InvalidBitsError, "(bits)"),
        (InvalidBlockError, "(block)"),
        (LengthMismatchError, "(expected, got)"),
        (InvalidToleranceError, "()"),
    ],
)
def test_text_signature_and_no_doc(cls, sig):
    assert cls.__text_signature__ == sig
    assert not cls.__doc__


@pytest.mark.parametrize("cls", SUBCLASSES)
def test_specific_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_quantize_error_subclass_from_python():
    class MyError(QuantizeError):
        pass

    e = MyError("custom text")
    assert type(e) is MyError
    assert str(e) == "custom text" and e.args == ("custom text",)
    with pytest.raises(QuantizeError):
        raise e


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize(
    "make, text, args, rep",
    [
        (lambda: QuantizeError("any text, verbatim \u2014 ok"), "any text, verbatim \u2014 ok",
         ("any text, verbatim \u2014 ok",), "QuantizeError('any text, verbatim \u2014 ok')"),
        (lambda: QuantizeError(""), "", ("",), "QuantizeError('')"),
        (lambda: InvalidBitsError(20), "bit width 20 is outside the supported range 2..=16", (20,),
         "InvalidBitsError(20)"),
        (lambda: InvalidBitsError(4294967295),
         "bit width 4294967295 is outside the supported range 2..=16", (4294967295,),
         "InvalidBitsError(4294967295)"),
        (lambda: InvalidBlockError(0), "block size 0 must be at least 1", (0,), "InvalidBlockError(0)"),
        (lambda: InvalidBlockError(2**64 - 1), "block size 18446744073709551615 must be at least 1",
         (2**64 - 1,), "InvalidBlockError(18446744073709551615)"),
        (lambda: InvalidToleranceError(), "tolerance must be a finite number greater than 0", (),
         "InvalidToleranceError()"),
        (lambda: LengthMismatchError(3, 2), "length mismatch: expected 3, got 2", (3, 2),
         "LengthMismatchError(3, 2)"),
        (lambda: LengthMismatchError(4, 3), "length mismatch: expected 4, got 3", (4, 3),
         "LengthMismatchError(4, 3)"),
    ],
)
def test_str_args_repr(make, text, args, rep):
    e = make()
    assert str(e) == text
    assert e.args == args
    assert repr(e) == rep
    # the base class's string form reads the same stored message
    assert QuantizeError.__str__(e) == text
    assert not hasattr(e, "message")


def test_attributes_are_ints():
    e = InvalidBitsError(Idx(7))
    assert e.bits == 7 and type(e.bits) is int
    assert str(e) == "bit width 7 is outside the supported range 2..=16"
    b = InvalidBlockError(np.uint64(12))
    assert b.block == 12 and type(b.block) is int
    m = LengthMismatchError(np.int32(5), Idx(9))
    assert (m.expected, m.got) == (5, 9) and type(m.expected) is int and type(m.got) is int
    assert str(m) == "length mismatch: expected 5, got 9"


def test_str_follows_fields_not_args():
    e = InvalidBitsError(20)
    e.args = (3,)
    assert str(e) == "bit width 20 is outside the supported range 2..=16"
    m = LengthMismatchError(1, 2)
    m.args = ()
    assert str(m) == "length mismatch: expected 1, got 2"
    q = QuantizeError("stored")
    q.args = ("other",)
    assert str(q) == "stored"


@pytest.mark.parametrize(
    "obj, attr",
    [
        (InvalidBitsError(3), "bits"),
        (InvalidBlockError(0), "block"),
        (LengthMismatchError(1, 2), "expected"),
        (LengthMismatchError(1, 2), "got"),
    ],
)
def test_attributes_read_only(obj, attr):
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, 99)
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert getattr(obj, attr) == before


@pytest.mark.parametrize(
    "call, exc, msg, note",
    [
        (lambda: InvalidBitsError(-1), OverflowError, OOR, "bits"),
        (lambda: InvalidBitsError(2**32), OverflowError, OOR, "bits"),
        (lambda: InvalidBitsError(-(2**63)), OverflowError, OOR, "bits"),
        (lambda: InvalidBitsError(2**64), OverflowError, None, "bits"),
        (lambda: InvalidBitsError("3"), TypeError, None, "bits"),
        (lambda: InvalidBitsError(3.0), TypeError, None, "bits"),
        (lambda: InvalidBlockError(-1), OverflowError, None, "block"),
        (lambda: InvalidBlockError(2**64), OverflowError, None, "block"),
        (lambda: InvalidBlockError(None), TypeError, None, "block"),
        (lambda: LengthMismatchError(-1, "x"), OverflowError, None, "expected"),
        (lambda: LengthMismatchError(1, "x"), TypeError, None, "got"),
        (lambda: QuantizeError(5), TypeError, None, "message"),
        (lambda: QuantizeError(b"bytes"), TypeError, None, "message"),
    ],
)
def test_constructor_conversion_errors(call, exc, msg, note):
    with pytest.raises(exc) as ei:
        call()
    assert type(ei.value) is exc
    if msg is not None:
        assert str(ei.value) == msg
    assert notes(ei.value) == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "call, msg",
    [
        (lambda: InvalidToleranceError(1),
         "InvalidToleranceError.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: InvalidToleranceError(1, 2),
         "InvalidToleranceError.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: InvalidToleranceError(x=1),
         "InvalidToleranceError.__new__() got an unexpected keyword argument 'x'"),
        (lambda: QuantizeError(), "QuantizeError.__new__() missing 1 required positional argument: 'message'"),
        (lambda: QuantizeError("a", "b"),
         "QuantizeError.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: InvalidBitsError(), "InvalidBitsError.__new__() missing 1 required positional argument: 'bits'"),
        (lambda: InvalidBlockError(1, 2),
         "InvalidBlockError.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: LengthMismatchError(),
         "LengthMismatchError.__new__() missing 2 required positional arguments: 'expected' and 'got'"),
        (lambda: LengthMismatchError(1),
         "LengthMismatchError.__new__() missing 1 required positional argument: 'got'"),
        (lambda: LengthMismatchError(1, 2, 3),
         "LengthMismatchError.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: LengthMismatchError(1, expected=2),
         "LengthMismatchError.__new__() got multiple values for argument 'expected'"),
        (lambda: InvalidBitsError(3, nope=1),
         "InvalidBitsError.__new__() got an unexpected keyword argument 'nope'"),
    ],
)
def test_constructor_binding_errors(call, msg):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == msg


@pytest.mark.parametrize(
    "call",
    [
        lambda: InvalidBitsError(bits=3),
        lambda: InvalidBlockError(block=3),
        lambda: QuantizeError(message="m"),
        lambda: LengthMismatchError(expected=1, got=2),
    ],
)
def test_keyword_construction_refused(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------- raised by the module

@pytest.mark.parametrize(
    "call, cls, args, attrs, text",
    [
        (lambda: velmar.quantize([1.0], bits=20), InvalidBitsError, (20,), {"bits": 20},
         "bit width 20 is outside the supported range 2..=16"),
        (lambda: velmar.quantize([1.0], block=0), InvalidBlockError, (0,), {"block": 0},
         "block size 0 must be at least 1"),
        (lambda: velmar.adaptive_quantize([1.0], tolerance=0.0), InvalidToleranceError, (), {},
         "tolerance must be a finite number greater than 0"),
    ],
)
def test_raised_by_quantizers(call, cls, args, attrs, text):
    with pytest.raises(QuantizeError) as ei:
        call()
    e = ei.value
    assert type(e) is cls and e.args == args and str(e) == text
    assert all(getattr(e, k) == v for k, v in attrs.items())
    assert notes(e) is None


def test_inherited_exception_machinery():
    e = LengthMismatchError(3, 2)
    e.add_note("extra")
    assert e.__notes__ == ["extra"]
    try:
        try:
            raise ValueError("inner")
        except ValueError as inner:
            raise InvalidBitsError(1) from inner
    except InvalidBitsError as outer:
        assert isinstance(outer.__cause__, ValueError)
        assert outer.__traceback__ is not None


@pytest.mark.parametrize(
    "e", [QuantizeError("m"), InvalidBitsError(20), InvalidBlockError(0),
          InvalidToleranceError(), LengthMismatchError(4, 3)],
    ids=lambda e: type(e).__name__,
)
def test_exceptions_pickle(e):
    r = pickle.loads(pickle.dumps(e))
    assert type(r) is type(e) and r.args == e.args and str(r) == str(e)


# ---------------------------------------------------------------- Scale

MEMBERS = [("F32", 0, "f32", -4800647303603446203),
           ("F16", 1, "f16", 2206609067086327257),
           ("Bf16", 2, "bf16", -6569889354672326634)]


def test_scale_class():
    assert Scale.__module__ == "velmar" and Scale.__name__ == "Scale"
    assert Scale.__bases__ == (object,)
    assert Scale.__doc__ == "Runtime choice of `Quantized<f32>`, `Quantized<f16>`, or `Quantized<bf16>`."
    assert velmar._native.Scale is Scale
    with pytest.raises(TypeError):
        Scale()
    with pytest.raises(TypeError):
        Scale(0)
    with pytest.raises(TypeError):
        type("Sub", (Scale,), {})


@pytest.mark.parametrize("name, index, state, h", MEMBERS)
def test_scale_member(name, index, state, h):
    m = getattr(Scale, name)
    assert type(m) is Scale
    assert m is getattr(Scale, name)
    assert repr(m) == str(m) == f"Scale.{name}"
    assert int(m) == index and type(int(m)) is int
    assert hash(m) == h
    assert m.__getstate__() == state
    assert m.__reduce__() == (Scale._from_pickle, (state,))
    assert Scale._from_pickle(state) is m
    assert Scale._from_pickle(name=state) is m
    with pytest.raises((AttributeError, TypeError)):
        m.extra = 1


def test_scale_comparison():
    members = [Scale.F32, Scale.F16, Scale.Bf16]
    for i, a in enumerate(members):
        for j, b in enumerate(members):
            assert (a == b) is (i == j)
            assert (a != b) is (i != j)
    for other in (0, 1, "f32", "Scale.F32", None, 0.0):
        assert (Scale.F32 == other) is False
        assert (Scale.F32 != other) is True
    assert (Scale.F16 == 1) is False
    assert Scale.F32.__eq__(0) is NotImplemented


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_scale_ordering_refused(op):
    with pytest.raises(TypeError):
        op(Scale.F32, Scale.F16)
    with pytest.raises(TypeError):
        op(Scale.F32, 0)


def test_scale_as_keys():
    d = {Scale.F32: "a", Scale.F16: "b", Scale.Bf16: "c"}
    assert d[Scale._from_pickle("f16")] == "b"
    assert len({Scale.F32, Scale.F32, Scale.Bf16}) == 2


@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", ["F32", "F16", "Bf16"])
def test_scale_pickle_identity(name, proto):
    m = getattr(Scale, name)
    data = pickle.dumps(m, protocol=proto)
    assert pickle.loads(data) is m
    assert b"velmar" in data and b"_from_pickle" in data
    assert copy.copy(m) is m and copy.deepcopy(m) is m
    assert copy.deepcopy([m, m])[1] is m


@pytest.mark.parametrize("bad", ["F32", "float32", "", " f32", "f32 ", "F16", "BF16", "bf16\x00", "f64"])
def test_scale_from_pickle_bad_name(bad):
    with pytest.raises(ValueError) as ei:
        Scale._from_pickle(bad)
    assert type(ei.value) is ValueError and str(ei.value) == "malformed pickle state"


@pytest.mark.parametrize("bad", [0, None, b"f32", ["f32"], Scale.F32])
def test_scale_from_pickle_not_str(bad):
    with pytest.raises(TypeError) as ei:
        Scale._from_pickle(bad)
    assert notes(ei.value) == ["while processing 'name'"]


@pytest.mark.parametrize(
    "call, msg",
    [
        (lambda: Scale._from_pickle(), "Scale._from_pickle() missing 1 required positional argument: 'name'"),
        (lambda: Scale._from_pickle("f32", "f16"),
         "Scale._from_pickle() takes 1 positional arguments but 2 were given"),
        (lambda: Scale._from_pickle(nom="f32"), "Scale._from_pickle() got an unexpected keyword argument 'nom'"),
    ],
)
def test_scale_from_pickle_binding(call, msg):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == msg


def test_scale_method_signatures():
    assert Scale.__getstate__.__text_signature__ == "($self)"
    assert Scale.__reduce__.__text_signature__ == "($self)"
    assert Scale._from_pickle.__text_signature__ == "(name)"
    with pytest.raises(TypeError):
        Scale.F32.__getstate__(1)
    with pytest.raises(TypeError):
        Scale.F32.__reduce__(1)


def test_scale_reported_by_quantized_is_the_member():
    for m in (Scale.F32, Scale.F16, Scale.Bf16):
        assert velmar.quantize([1.0], scale=m).scale is m
