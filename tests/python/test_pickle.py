"""The persisted Quantized state, its rebuild, and pickling of all three classes."""

import copy
import pathlib
import pickle
import struct
import sys

import numpy as np
import pytest

import velmar
from float_reference import NAN, SCALES
from velmar import Quantized, Scale, Scheme

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))
import pickle_target  # noqa: E402

MALFORMED = "malformed pickle state"
NOSTR = "Can't extract `str` to `Vec`"
U64 = 2**64


def good(kind="symmetric", scale=Scale.F32, **items):
    """A consistent state of 8 values in blocks of 4, with items replaced (i5=... sets item 5)."""
    e = 4 if scale == Scale.F32 else 2
    z = b"" if kind == "symmetric" else bytes(2 * e)
    codes, bits, widths = (bytes([0x11, 2, 0x33, 4]), 0, (3, 3)) if kind == "adaptive" else (bytes(range(8)), 8, ())
    st = [1, kind, scale, 4, 8, codes, bits, widths, bytes(2 * e), z]
    for k, v in items.items():
        st[int(k[1:])] = v
    return tuple(st)


def test_state_layout():
    st = velmar.asymmetric_quantize([0.0, 1.0, 2.0, 3.0], 8, 4).__getstate__()
    assert st == (1, "asymmetric", Scale.F32, 4, 4, bytes.fromhex("80d52a7f"), 8, (),
                  struct.pack("<f", np.float32(3) / np.float32(255)), struct.pack("<f", -128.0))
    assert [type(v) for v in st] == [int, str, Scale, int, int, bytes, int, tuple, bytes, bytes]
    st = velmar.adaptive_quantize([0.0, 0.5, 1.0, 0.0, 2.0], 3, 0.1, scale=Scale.Bf16).__getstate__()
    assert st[6:8] == (0, (3, 4)) and (st[8].hex(), st[9].hex()) == ("123e093e", "80c000c1")
    assert velmar.quantize([], 5).__getstate__() == (1, "symmetric", Scale.F32, 32, 0, b"", 5, (), b"", b"")


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("kind", ["symmetric", "asymmetric", "adaptive"])
@pytest.mark.parametrize("n, nans", [(23, 0), (23, 8), (0, 0)])
def test_round_trip(kind, scale, n, nans):
    x = (np.random.default_rng(n).standard_normal(n) * 2).astype(np.float32)
    x[:nans] = NAN  # a head of NaNs: NaN scale and zero point
    q = {"symmetric": lambda: velmar.quantize(x, 5, 8, scale=scale),
         "asymmetric": lambda: velmar.asymmetric_quantize(x, 3, 8, scale=scale),
         "adaptive": lambda: velmar.adaptive_quantize(x, 8, 0.05, scale=scale)}[kind]()
    st = q.__getstate__()
    assert q.__reduce__() == (Quantized._from_pickle, (st,))
    again = [pickle.loads(pickle.dumps(q, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    again += [copy.copy(q), copy.deepcopy(q), q.copy(), Quantized._from_pickle(state=st)]
    for r in again:
        assert type(r) is Quantized and r is not q and r.scale is scale and repr(r) == repr(q)
        assert r.__getstate__() == st and r.dequantize().tobytes() == q.dequantize().tobytes()


@pytest.mark.parametrize("scale, patterns", [
    (Scale.F32, [0x7FC01234, 0x80000000, 0x7F800001, 0xFFFFFFFF]),
    (Scale.F16, [0x7E01, 0x8000, 0x7C01, 0xFFFF]),
    (Scale.Bf16, [0xFFC1, 0x8000, 0x7F81, 0x0001]),
])
def test_stored_bytes_survive_bit_for_bit(scale, patterns):
    raw = b"".join(struct.pack("<I" if scale == Scale.F32 else "<H", p) for p in patterns)
    st = (1, "asymmetric", scale, 2, 8, bytes(range(8)), 8, (), raw, raw[::-1])
    for q in (Quantized._from_pickle(st), pickle.loads(pickle.dumps(Quantized._from_pickle(st)))):
        assert q.__getstate__() == st


# Refused whole: wrong shapes, unknown names, buffers of no whole elements; then one state per field the record
# check refuses (each condition of that check is the core tests'), sizes that wrap 64 bits among them.
MALFORMED_STATES = [
    list(good()), None, "state", {0: 1}, good()[:9], good() + (None,), (),
    good(i0=2), good(i0=0), good(i0=2, i1=5),  # the version is read before the kind's type
    good(i1="Symmetric"), good(i1=""), good(i1="symmetric "), good(i1="bad", i3=-1),
    good(i2="F32"), good(i2=None), good(i2=0), good(i2="F32", i3=-1),
    good(i8=bytes(7)), good(scale=Scale.F16, i8=bytes(5)), good("asymmetric", i9=bytes(3)),
    good("adaptive", Scale.Bf16, i9=b"\x00"), good(i8=bytes(6)), good("asymmetric", i9=bytes(4)),
    good(i5=bytes(7)), good(i3=0), good(i6=17, i5=bytes(17)), good("asymmetric", i6=1, i5=bytes(1)),
    good("adaptive", i5=bytes(3)), good("adaptive", i7=(3,)), good("adaptive", i7=(9, 9), i5=bytes(9)),
    good(i3=U64 - 1, i4=U64 - 1, i5=bytes(8), i6=16, i8=bytes(4)), good(i3=1, i4=U64 - 1, i5=b"", i6=2),
    good("adaptive", i3=U64 - 1, i4=U64 - 1, i5=bytes(16), i7=(8,), i8=bytes(4), i9=bytes(4)),
]


@pytest.mark.parametrize("state", MALFORMED_STATES)
def test_malformed_state(state):
    with pytest.raises(ValueError) as ei:
        Quantized._from_pickle(state)
    assert type(ei.value) is ValueError and str(ei.value) == MALFORMED


# Items of the wrong type: the first faulty item decides, with the conversion's own error.
CONVERSION = [
    ({"i0": "1"}, TypeError, None), ({"i0": 1.0}, TypeError, None), ({"i0": 2**40}, OverflowError, None),
    ({"i1": 5}, TypeError, None), ({"i1": b"symmetric"}, TypeError, None),
    ({"i3": -1}, OverflowError, None), ({"i3": 1.5}, TypeError, None), ({"i3": U64}, OverflowError, None),
    ({"i4": 8.0}, TypeError, None), ({"i4": -1}, OverflowError, None), ({"i4": U64}, OverflowError, None),
    ({"i5": "abcdefgh"}, TypeError, NOSTR), ({"i5": [0, 256]}, OverflowError, None),
    ({"i5": [0, -1]}, OverflowError, None), ({"i5": ["a"]}, TypeError, None), ({"i5": 5}, TypeError, None),
    ({"i6": -1}, OverflowError, None), ({"i6": 2**32}, OverflowError, None), ({"i6": "8"}, TypeError, None),
    ({"i7": "ab"}, TypeError, NOSTR), ({"i7": (-1,)}, OverflowError, None), ({"i7": (2**32,)}, OverflowError, None),
    ({"i7": 3}, TypeError, None), ({"i8": "ab"}, TypeError, NOSTR), ({"i9": "ab"}, TypeError, NOSTR),
    ({"i8": [300]}, OverflowError, None),
    ({"i0": "x", "i1": 5}, TypeError, None), ({"i1": 5, "i2": "F32"}, TypeError, None),
    ({"i3": -1, "i4": 1.5}, OverflowError, None), ({"i4": -1, "i5": "s"}, OverflowError, None),
    ({"i5": "s", "i6": -1}, TypeError, NOSTR), ({"i6": -1, "i7": "s"}, OverflowError, None),
    ({"i7": "s", "i8": bytes(6)}, TypeError, NOSTR), ({"i8": bytes(6), "i9": "s"}, TypeError, NOSTR),
]


@pytest.mark.parametrize("items, exc, msg", CONVERSION)
def test_state_item_conversion_errors(items, exc, msg):
    with pytest.raises(exc) as ei:
        Quantized._from_pickle(good(**items))
    assert type(ei.value) is exc and (msg is None or str(ei.value) == msg)


TupleSub = type("TupleSub", (tuple,), {})


def test_equivalent_spellings_accepted():
    for kind in ("symmetric", "asymmetric", "adaptive"):
        want = Quantized._from_pickle(good(kind)).__getstate__()
        variants = [TupleSub(good(kind)), good(kind, i5=list(good(kind)[5])), good(kind, i5=bytearray(good(kind)[5])),
                    good(kind, i8=bytearray(8)), good(kind, i7=list(good(kind)[7]))]
        variants += [good(kind, i9=b"abc"), good(kind, i7=(5,))] if kind == "symmetric" else []
        variants += [good(kind, i6=99)] if kind == "adaptive" else []
        for v in variants:
            assert Quantized._from_pickle(v).__getstate__() == want



def test_bytearray_item_resized_while_a_later_item_converts():
    scales = bytearray(8)

    class Resizes:
        def __index__(self):
            scales[:] = b"\xff" * 4096  # frees and moves the buffer of item 8
            return 0

    want = Quantized._from_pickle(good("asymmetric")).__getstate__()
    assert Quantized._from_pickle(good("asymmetric", i8=scales, i9=[Resizes()] * 8)).__getstate__() == want

CASES = sorted((FUZZ / "regressions" / "pickle").glob("*")) + sorted((FUZZ / "corpus" / "pickle").glob("*"))


@pytest.mark.parametrize("path", CASES, ids=lambda p: f"{p.parent.name}/{p.name[:12]}")
def test_kept_fuzz_input(path):
    pickle_target.check(path.read_bytes())


def test_there_are_fuzz_inputs_to_replay():
    assert len(CASES) > 50


@pytest.mark.parametrize("block", [U64 - 1, 2**63, 2**32 + 1])
def test_one_block_larger_than_any_vector(block):
    for q in (velmar.asymmetric_quantize(np.linspace(-1, 1, 37, dtype=np.float32), 6, block),
              velmar.adaptive_quantize([1.0, -2.0, 3.0], block), velmar.quantize([1.0, -2.0, 3.0], 8, block)):
        st = q.__getstate__()
        assert st[3] == block and len(q.scales) == 1
        pickle_target.exercise(Quantized._from_pickle(st), st)


SCHEMES = [Scheme.Q4_32, Scheme.asymmetric(3, 7), Scheme.adaptive(5, 0.25), Scheme.symmetric(99, 0),
           Scheme.adaptive(1, -0.0), Scheme.adaptive(2, float("inf")), Scheme.adaptive(4, NAN)]


@pytest.mark.parametrize("s", SCHEMES, ids=repr)
def test_scheme_and_scale_pickles(s):
    fn, args = s.__reduce__()
    assert fn == Scheme._from_pickle and repr(fn(*args)) == repr(s)
    for r in [pickle.loads(pickle.dumps(s, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
            copy.copy(s), copy.deepcopy(s)]:
        assert type(r) is Scheme and repr(r) == repr(s) and r.__getstate__()[:3] == s.__getstate__()[:3]
    for m in SCALES:
        assert pickle.loads(pickle.dumps(m)) is m and copy.deepcopy([m, m])[1] is m


# Scheme._from_pickle(kind, bits, block, tolerance): names and the None pattern must agree
@pytest.mark.parametrize("args", [
    ("symmetric", None, 32, None), ("adaptive", 8, 32, 0.1), ("Symmetric", 8, 32, None), ("quantile", 8, 32, None),
    ("symmetric", 8, 32, 0.5), ("adaptive", None, 32, None), ("asymmetric", None, 32, 0.1), ("", 8, 32, None),
])
def test_scheme_malformed_state(args):
    with pytest.raises(ValueError, match=f"^{MALFORMED}$"):
        Scheme._from_pickle(*args)
    for bad in ("F32", "float32", " f32", "bf16\x00", "f64"):
        with pytest.raises(ValueError, match=f"^{MALFORMED}$"):
            Scale._from_pickle(bad)
