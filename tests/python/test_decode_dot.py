"""Decoding, dot products and the array conversions they rely on.

Tensors are mostly rebuilt from hand-packed pickle states, so the expected
floats depend only on the bytes written here, not on any quantizer.
"""
import array
import gc
import math
import struct

import numpy as np
import pytest

import velmar
from velmar import Scale
from float_reference import pack, same_f32

F = np.float32
SCALES = [Scale.F32, Scale.F16, Scale.Bf16]
SCALE_IDS = ["f32", "f16", "bf16"]
NAN, INF = float("nan"), float("inf")

C = ("codes must be a 1-D signed integer array or a sequence of int; packed Quantized.codes "
     "is uint8 and must not be passed here \u2014 use unpacked_codes")
R = "code is outside the i32 range"
O1 = "out must be a 1-D writable C-contiguous native-endian float32 array"
O2 = "out must be writable and C-contiguous"
V = "values must be a 1-D float32 array or a sequence of floats"


# ---------------------------------------------------------------- helpers

def encode(x32, scale):
    x32 = np.asarray(x32, dtype=np.float32)
    if scale == Scale.F32:
        return x32.astype("<f4").tobytes()
    if scale == Scale.F16:
        with np.errstate(all="ignore"):
            return x32.astype("<f2").tobytes()
    u = x32.view(np.uint32)  # bf16: round to nearest even on the top half
    r = ((u >> 15) & 1) & ((((u >> 16) & 1) | ((u & 0x7FFF) != 0)).astype(np.uint32))
    h = np.where((u & 0x7FFFFFFF) > 0x7F800000, (u >> 16) | 0x40, (u >> 16) + r)
    return h.astype("<u2").tobytes()


def widen(raw, scale):
    """to_f32 of stored elements, straight from their bytes."""
    if scale == Scale.F32:
        return np.frombuffer(raw, "<f4").astype(np.float32)
    h = np.frombuffer(raw, "<u2").astype(np.uint32)
    if scale == Scale.F16:
        out = h.astype(np.uint16).view(np.float16).astype(np.float32)
        return np.where(np.isnan(out), (out.view(np.uint32) | 0x400000).view(np.float32), out)
    nan = (h & 0x7FFF) > 0x7F80
    return (np.where(nan, h | 0x40, h) << 16).astype(np.uint32).view(np.float32)


def bits_of(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32).tolist()


class T:
    """A tensor rebuilt from a state, with the numbers the reference needs."""

    def __init__(self, kind, scale, block, codes, bits, scales, zps=None, widths=()):
        n = len(codes)
        self.kind, self.block, self.codes = kind, block, np.asarray(codes, np.int64)
        sraw = encode(scales, scale)
        zraw = encode(zps, scale) if zps is not None else b""
        if kind == "adaptive":
            data = b"".join(pack(codes[i * block:(i + 1) * block], w) for i, w in enumerate(widths))
            bits = 0
        else:
            data = pack(codes, bits)
        self.state = (1, kind, scale, block, n, data, bits, tuple(widths), sraw, zraw)
        self.q = velmar.Quantized._from_pickle(self.state)
        self.s = widen(sraw, scale)
        self.z = widen(zraw, scale)

    def blk(self):
        return np.arange(len(self.codes)) // self.block


def ref_decode(t):
    q, b = t.codes.astype(np.float32), t.blk()
    with np.errstate(all="ignore"):
        if t.kind == "symmetric":
            return q * t.s[b]
        return t.s[b] * (q - t.z[b])


def ref_dot(t, x):
    x = np.asarray(x, dtype=np.float32)
    n, q, b = len(x), t.codes.astype(np.float32), t.blk()
    with np.errstate(all="ignore"):
        if n == 0:
            return F(0.0)
        if t.kind == "symmetric" and t.state[6] == 8:
            total = F(0.0)
            for c in range(0, n, t.block):
                partial = F(0.0)
                for j in range(c, min(c + t.block, n)):
                    partial = partial + x[j] * q[j]
                total = total + partial * t.s[c // t.block]
            return total
        if t.kind == "symmetric":
            acc = F(0.0)
            for i in range(n):
                acc = acc + (t.s[b[i]] * q[i]) * x[i]
            return acc
        if t.kind == "asymmetric":
            acc = F(0.0)
            for i in range(n):
                acc = acc + x[i] * (t.s[b[i]] * (q[i] - t.z[b[i]]))
            return acc
        d, acc = ref_decode(t), F(-0.0)
        for i in range(n):
            acc = acc + d[i] * x[i]
        return acc


def random_tensor(rng, kind, scale, bits, n, block):
    nb = -(-n // block)
    if kind == "adaptive":
        widths = rng.integers(2, 9, nb).tolist()
        codes = np.concatenate([rng.integers(-(1 << (w - 1)), 1 << (w - 1), min(block, n - i * block))
                                for i, w in enumerate(widths)]) if n else np.zeros(0, np.int64)
    else:
        widths = ()
        codes = rng.integers(-(1 << (bits - 1)), 1 << (bits - 1), n)
    scales = (rng.standard_normal(nb) * 10.0 ** rng.uniform(-3, 2, nb)).astype(np.float32)
    zps = None
    if kind != "symmetric":
        hi = 1 << ((max(widths) if widths else bits) - 1)
        zps = rng.uniform(-hi - 2, hi + 2, nb).astype(np.float32)
    return T(kind, scale, block, codes.tolist(), bits, scales, zps, widths)


KIND_WIDTHS = ([("symmetric", w) for w in range(2, 17)] + [("asymmetric", w) for w in range(2, 17)]
               + [("adaptive", 0)])
SHAPES = [(1, 1), (5, 2), (37, 3), (64, 32), (100, 16), (70, 32)]


# ---------------------------------------------------------------- dequantize

@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("kind,bits", KIND_WIDTHS)
def test_dequantize_matches_formula(kind, bits, scale):
    rng = np.random.default_rng(bits * 7 + int(scale))
    for n, block in SHAPES:
        t = random_tensor(rng, kind, scale, bits, n, block)
        got = t.q.dequantize()
        assert got.dtype == np.float32 and got.shape == (n,)
        same_f32(got, ref_decode(t))
        out = np.full(n, 7.0, np.float32)
        assert t.q.dequantize(out=out) is out
        assert bits_of(out) == bits_of(got)
        assert bits_of(t.q.dequantize(None)) == bits_of(got)


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("make", [
    lambda x, s: velmar.quantize(x, 8, 32, scale=s),
    lambda x, s: velmar.quantize(x, 4, 7, scale=s),
    lambda x, s: velmar.quantize(x, 11, 5, scale=s),
    lambda x, s: velmar.asymmetric_quantize(x, 8, 32, scale=s),
    lambda x, s: velmar.asymmetric_quantize(x, 3, 9, scale=s),
    lambda x, s: velmar.adaptive_quantize(x, 10, 0.01, scale=s),
], ids=["sym8", "sym4", "sym11", "asym8", "asym3", "adaptive"])
def test_quantizer_outputs_decode_and_dot(make, scale):
    rng = np.random.default_rng(11)
    x = (rng.standard_normal(133) * 4).astype(np.float32)
    q = make(x, scale)
    t = T.__new__(T)
    t.kind, t.block, t.codes = q.kind, q.block, q.unpacked_codes.astype(np.int64)
    t.s, t.z, t.state = q.scales, q.zero_points, (None,) * 6 + (q.bits,)
    same_f32(q.dequantize(), ref_decode(t))
    y = rng.standard_normal(133).astype(np.float32)
    assert bits_of([q.dot(y)]) == bits_of([ref_dot(t, y)])


@pytest.mark.parametrize("kind,bits", [("symmetric", 4), ("symmetric", 8), ("symmetric", 3),
                                       ("asymmetric", 5), ("adaptive", 0)])
def test_empty_tensor_decodes_and_dots(kind, bits):
    t = T(kind, Scale.F32, 32, [], bits, [], [] if kind != "symmetric" else None)
    d = t.q.dequantize()
    assert d.dtype == np.float32 and d.shape == (0,)
    out = np.empty(0, np.float32)
    assert t.q.dequantize(out=out) is out
    r = t.q.dot([])
    assert type(r) is float and r == 0.0 and math.copysign(1, r) == 1
    with pytest.raises(velmar.LengthMismatchError) as ei:
        t.q.dequantize(out=np.zeros(3, np.float32))
    assert (ei.value.expected, ei.value.got) == (0, 3)


def test_symmetric_block_assignment():
    # 5 codes with block 2: scales 0, 0, 1, 1, 2, at a fast width and the general one
    for bits in (4, 3, 8):
        t = T("symmetric", Scale.F32, 2, [-4, 1, 2, 3, -1], bits, [0.5, 2.0, -8.0])
        assert t.q.dequantize().tolist() == [-2.0, 0.5, 4.0, 6.0, 8.0]
    t = T("symmetric", Scale.F32, 4, [-8, 0, 1, 0, 0], 4, [0.5, NAN])
    assert t.q.dequantize()[:4].tolist() == [-4.0, 0.0, 0.5, 0.0] and np.isnan(t.q.dequantize()[4])


def test_asymmetric_examples():
    assert T("asymmetric", Scale.F32, 8, [3], 4, [2.0], [0.5]).q.dequantize().tolist() == [5.0]
    d = T("asymmetric", Scale.F32, 8, [-128], 8, [0.1], [-128.0]).q.dequantize()
    assert bits_of(d) == [0]


def test_asymmetric_no_fused_or_expanded_form():
    rng = np.random.default_rng(3)
    s = rng.uniform(0.01, 3, 64).astype(np.float32)
    z = rng.uniform(-50, 50, 64).astype(np.float32)
    codes = rng.integers(-128, 128, 64)
    t = T("asymmetric", Scale.F32, 1, codes.tolist(), 8, s, z)
    got = t.q.dequantize()
    two_step = s * (codes.astype(np.float32) - z)
    fused = (s.astype(np.float64) * (codes - z.astype(np.float64))).astype(np.float32)
    expanded = s * codes.astype(np.float32) - s * z
    assert bits_of(got) == bits_of(two_step)
    assert bits_of(two_step) != bits_of(fused) and bits_of(two_step) != bits_of(expanded)


def test_adaptive_mixed_widths_short_last_block():
    codes = list(range(-2, 2)) * 2 + list(range(-128, 128, 32)) + [-4, 3, 0, 1, -1]
    t = T("adaptive", Scale.F32, 8, codes, 0, [1.0, 0.5, 2.0], [0.0, 0.5, -1.0], widths=(2, 8, 3))
    assert len(t.state[5]) == 2 + 8 + 2
    same_f32(t.q.dequantize(), ref_decode(t))


def test_returned_array_owns_its_memory():
    t = T("symmetric", Scale.F32, 2, [1, 2, 3], 8, [1.0, 2.0])
    a, b = t.q.dequantize(), t.q.dequantize()
    assert not np.shares_memory(a, b)
    for arr in (a, b):
        assert arr.ndim == 1 and arr.flags.c_contiguous and arr.flags.writeable
    a[:] = 99.0
    assert t.q.dequantize().tolist() == [1.0, 2.0, 6.0]
    del t
    gc.collect()
    assert b.tolist() == [1.0, 2.0, 6.0]
    # a buffer with neither ownership nor a base object would never be freed
    assert b.flags.owndata or b.base is not None


# ---------------------------------------------------------------- dot

@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("kind,bits", KIND_WIDTHS)
def test_dot_matches_sequential_sum(kind, bits, scale):
    rng = np.random.default_rng(1000 + bits * 7 + int(scale))
    for n, block in SHAPES:
        t = random_tensor(rng, kind, scale, bits, n, block)
        x = (rng.standard_normal(n) * 3).astype(np.float32)
        r = t.q.dot(x)
        assert type(r) is float
        assert bits_of([r]) == bits_of([ref_dot(t, x)])
        assert t.q.dot(x.tolist()) == r and t.q.dot(values=x.astype(np.float64)) == r


def test_dot_paths_are_distinct():
    # data chosen so that scaling per block and per element round differently
    rng = np.random.default_rng(8)
    codes = rng.integers(-128, 128, 64).tolist()
    x = rng.standard_normal(64).astype(np.float32)
    s = [0.1, 0.3]
    t8 = T("symmetric", Scale.F32, 32, codes, 8, s)
    t9 = T("symmetric", Scale.F32, 32, codes, 9, s)
    per_block, per_elem = ref_dot(t8, x), ref_dot(t9, x)
    assert bits_of([per_block]) != bits_of([per_elem])
    assert bits_of([t8.q.dot(x)]) == bits_of([per_block])
    assert bits_of([t9.q.dot(x)]) == bits_of([per_elem])


@pytest.mark.parametrize("bits", [8, 4])
def test_dot_examples(bits):
    t = T("symmetric", Scale.F32, 32, [1, 2], bits, [0.5])
    assert t.q.dot([2.0, 3.0]) == 4.0
    assert T("asymmetric", Scale.F32, 4, [3], 4, [2.0], [0.5]).q.dot([1.5]) == 7.5


@pytest.mark.parametrize("kind,bits,sign", [("symmetric", 8, 1), ("symmetric", 4, 1), ("symmetric", 5, 1),
                                            ("asymmetric", 8, 1), ("adaptive", 0, -1)])
def test_dot_sign_of_zero(kind, bits, sign):
    zps = None if kind == "symmetric" else [0.0]
    t = T(kind, Scale.F32, 4, [0, 0, 0], bits, [1.0], zps, widths=(2,))
    r = t.q.dot([-1.0, -1.0, -1.0])
    assert r == 0.0 and math.copysign(1, r) == sign


def test_dot_nan_and_infinite_scale():
    t = T("symmetric", Scale.F32, 2, [1, 2, 3, 4], 8, [0.5, 1.0])
    assert math.isnan(t.q.dot([1.0, NAN, 0.0, 0.0]))
    t = T("symmetric", Scale.F32, 2, [0, 0, 1, 1], 8, [INF, 1.0])
    assert math.isnan(t.q.dot([1.0, 1.0, 1.0, 1.0]))


@pytest.mark.parametrize("kind,bits", [("symmetric", 8), ("symmetric", 4), ("asymmetric", 6), ("adaptive", 0)])
@pytest.mark.parametrize("m", [3, 5, 0])
def test_dot_length_mismatch(kind, bits, m):
    t = random_tensor(np.random.default_rng(0), kind, Scale.F32, bits, 4, 3)
    with pytest.raises(velmar.LengthMismatchError) as ei:
        t.q.dot(np.ones(m, np.float32))
    e = ei.value
    assert (e.expected, e.got, e.args) == (4, m, (4, m))
    assert str(e) == f"length mismatch: expected 4, got {m}"
    assert isinstance(e, velmar.QuantizeError)


@pytest.mark.parametrize("bad,msg", [
    ("abcd", V), (np.zeros((2, 2), np.float32), V), (array.array("f", [1, 2, 3, 4]), V),
    (memoryview(b"abcd"), V), (iter([1.0] * 4), V), ([1.0, 2.0, "x", 4.0], V),
    (np.zeros(4, ">f4"), "values must be native-endian"), (np.zeros(3, ">f4"), "values must be native-endian"),
])
def test_dot_values_errors(bad, msg):
    t = T("symmetric", Scale.F32, 2, [1, 2, 3, 4], 8, [1.0, 1.0])
    with pytest.raises(TypeError) as ei:
        t.q.dot(bad)
    assert str(ei.value) == msg


# ---------------------------------------------------------------- out conversion

def _readonly(n):
    a = np.zeros(n, np.float32)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make,exc,msg", [
    (lambda: np.zeros(4, np.float64), TypeError, O1),
    (lambda: np.zeros(9, np.float64), TypeError, O1),
    (lambda: np.zeros(4, np.int32), TypeError, O1),
    (lambda: np.zeros((2, 2), np.float32), TypeError, O1),
    (lambda: np.zeros((4, 1), np.float32), TypeError, O1),
    (lambda: np.zeros(4, ">f4"), TypeError, O1),
    (lambda: np.zeros(5, ">f4"), TypeError, O1),
    (lambda: [0.0] * 4, TypeError, O1),
    (lambda: np.float32(0), TypeError, O1),
    (lambda: _readonly(4), ValueError, O2),
    (lambda: _readonly(9), ValueError, O2),
    (lambda: np.zeros(8, np.float32)[::2], ValueError, O2),
    (lambda: np.zeros(10, np.float32)[::2], ValueError, O2),
])
def test_out_rejected(make, exc, msg):
    t = T("symmetric", Scale.F32, 2, [1, 2, 3, 4], 8, [1.0, 1.0])
    out = make()
    before = np.array(out, copy=True)
    with pytest.raises(exc) as ei:
        t.q.dequantize(out=out)
    assert type(ei.value) is exc and str(ei.value) == msg
    assert np.array_equal(np.asarray(out), before)


@pytest.mark.parametrize("n", [3, 5, 0])
@pytest.mark.parametrize("kind,bits", [("symmetric", 8), ("symmetric", 4), ("symmetric", 7),
                                       ("asymmetric", 8), ("adaptive", 0)])
def test_out_wrong_length_writes_nothing(kind, bits, n):
    t = random_tensor(np.random.default_rng(1), kind, Scale.F32, bits, 4, 2)
    out = np.full(n, 7.0, np.float32)
    with pytest.raises(velmar.LengthMismatchError) as ei:
        t.q.dequantize(out)
    assert (ei.value.expected, ei.value.got) == (4, n)
    assert out.tolist() == [7.0] * n


def test_out_slice_of_larger_array():
    t = T("symmetric", Scale.F32, 2, [1, 2, 3, 4], 8, [1.0, 0.5])
    buf = np.full(8, 7.0, np.float32)
    view = buf[2:6]
    assert t.q.dequantize(out=view) is view
    assert buf.tolist() == [7.0, 7.0, 1.0, 2.0, 1.5, 2.0, 7.0, 7.0]


# ---------------------------------------------------------------- codes conversion

@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64])
def test_codes_signed_arrays_accepted(dtype):
    codes = np.array([0, 1, 2], dtype)
    assert velmar.fit_scale_and_zero_point([1.0, 3.0, 5.0], codes) == (2.0, -0.5)


@pytest.mark.parametrize("codes,exc,msg", [
    (np.array([0, 1], np.uint8), TypeError, C),
    (np.array([0, 1], np.uint32), TypeError, C),
    (np.array([0, 1], np.bool_), TypeError, C),
    (np.array([0, 1], np.float32), TypeError, C),
    (np.array([0, 1], object), TypeError, C),
    (np.zeros((1, 2), np.int32), TypeError, C),
    (np.array([0, 1], ">i4"), TypeError, C),
    (np.array([2**31, 0], np.int64), OverflowError, R),
    (np.array([-(2**31) - 1, 0], np.int64), OverflowError, R),
    ([1.5, 0], TypeError, C),
    (["1", 0], TypeError, C),
    ([2**40, 0], OverflowError, R),
    ([0, -(2**31) - 1], OverflowError, R),
    ([2**70, 0], TypeError, C),
    ([2**40, 1.5], TypeError, C),  # every item is read before any range check
    ([2**40, 2**70], TypeError, C),
    (2, TypeError, C),
    (True, TypeError, C),
    ("01", TypeError, C),
    (array.array("i", [0, 1]), TypeError, C),
    (memoryview(b"\x00\x01"), TypeError, C),
    (iter([0, 1]), TypeError, C),
])
def test_codes_rejected(codes, exc, msg):
    with pytest.raises(exc) as ei:
        velmar.fit_scale_and_zero_point([1.0, 2.0], codes)
    assert type(ei.value) is exc and str(ei.value) == msg


def test_codes_array_range_stops_at_first_bad_value():
    with pytest.raises(OverflowError, match=R):
        velmar.fit_scale_and_zero_point([1.0] * 3, np.array([0, 2**31, 1], np.int64))


@pytest.mark.parametrize("codes", [[1, -2, True], (1, -2, 1), np.array([1, -2, 1], np.int16),
                                   np.array([9, 1, 9, -2, 9, 1], np.int64)[1::2]])
def test_codes_sequences_and_views(codes):
    ref = velmar.fit_scale_and_zero_point([0.5, 2.0, 7.0], np.array([1, -2, 1], np.int32))
    assert velmar.fit_scale_and_zero_point([0.5, 2.0, 7.0], codes) == ref
    assert velmar.fit_scale_and_zero_point([0.5, 2.0], range(1, -3, -3)) == \
        velmar.fit_scale_and_zero_point([0.5, 2.0], [1, -2])


def test_codes_extremes_accepted():
    lo, hi = -(2**31), 2**31 - 1
    a = velmar.fit_scale_and_zero_point([1.0, 2.0], np.array([lo, hi], np.int64))
    b = velmar.fit_scale_and_zero_point([1.0, 2.0], [lo, hi])
    assert a == b and all(type(v) is float for v in a)


def test_values_converted_before_codes():
    with pytest.raises(TypeError) as ei:
        velmar.fit_scale_and_zero_point("ab", np.zeros(2, np.uint8))
    assert str(ei.value) == V
    q = velmar.quantize([1.0, 2.0, 3.0, 4.0], 8, 2)
    with pytest.raises(TypeError) as ei:
        velmar.fit_scale_and_zero_point([1.0] * 4, q.codes)
    assert str(ei.value) == C


# ---------------------------------------------------------------- method frame

def test_method_signatures_and_binding():
    Q = velmar.Quantized
    assert Q.dequantize.__text_signature__ == "($self, out=None)"
    assert Q.dot.__text_signature__ == "($self, values)"
    q = velmar.quantize([1.0, 2.0], 8, 2)
    cases = [
        (lambda: q.dot(), "Quantized.dot() missing 1 required positional argument: 'values'"),
        (lambda: q.dot([1.0, 2.0], [1.0]), "Quantized.dot() takes 1 positional arguments but 2 were given"),
        (lambda: q.dot(x=[1.0, 2.0]), "Quantized.dot() got an unexpected keyword argument 'x'"),
        (lambda: q.dot([1.0, 2.0], values=[1.0, 2.0]),
         "Quantized.dot() got multiple values for argument 'values'"),
        (lambda: q.dequantize(None, None),
         "Quantized.dequantize() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: q.dequantize(output=None), "Quantized.dequantize() got an unexpected keyword argument 'output'"),
    ]
    for call, msg in cases:
        with pytest.raises(TypeError) as ei:
            call()
        assert str(ei.value) == msg


def test_scale_bytes_decoded_per_element_type():
    # one raw 2-byte pattern read as f16 and as bf16 gives different scales
    raw = struct.pack("<H", 0x3E00)
    for scale, expect in [(Scale.F16, 1.5), (Scale.Bf16, 0.125)]:
        st = (1, "symmetric", scale, 4, 2, bytes([2, 0xFE]), 8, (), raw, b"")
        assert velmar.Quantized._from_pickle(st).dequantize().tolist() == [2 * expect, -2 * expect]
