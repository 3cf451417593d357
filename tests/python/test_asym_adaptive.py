"""Asymmetric and adaptive quantization seen from Python.

Expected values come from a float32 step-by-step reference written here, so a
kernel that fuses, reorders or mishandles NaN shows up as a bit difference.
"""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import velmar
from velmar import Scale
from float_reference import bf16_round, pack, same_f32, stored

F = np.float32
NAN, INF = float("nan"), float("inf")
SCALES = [Scale.F32, Scale.F16, Scale.Bf16]
SCALE_IDS = ["f32", "f16", "bf16"]


# ---------------------------------------------------------------- reference

def min_max(x):
    n = len(x)
    m = 8 * (n // 8)
    if m and np.isnan(x[:m]).any():
        mn = mx = F(NAN)
    elif m:
        mn, mx = F(x[:m].min()), F(x[:m].max())
    else:
        mn, mx = F(INF), F(-INF)
    for v in x[m:]:
        mn, mx = np.fmin(mn, v), np.fmax(mx, v)
    return F(mn), F(mx)


def codes_of(x, inv, zp, bits):
    qmin, qmax = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    with np.errstate(all="ignore"):
        t = (x * inv) + zp  # two float32 roundings
    t = t.astype(np.float64)
    r = np.sign(t) * np.floor(np.abs(t) + 0.5)
    r = np.where(np.isnan(r), 0.0, np.clip(r, qmin, qmax))
    return r.astype(np.int64)


def ref_asym_block(x, bits):
    x = np.asarray(x, dtype=np.float32)
    if len(x) == 0:
        return F(1), F(0), np.zeros(0, np.int64)
    qmin, qmax = F(-(1 << (bits - 1))), F((1 << (bits - 1)) - 1)
    mn, mx = min_max(x)
    with np.errstate(all="ignore"):
        if mn >= mx:
            scale, zp = F(1), F(0)
        else:
            scale = F(mx - mn) / (qmax - qmin)
            zp = qmin - (mn / scale)
        inv = F(1) / scale
    return F(scale), F(zp), codes_of(x, inv, zp, bits)


def blocks(x, block):
    return [x[i:i + block] for i in range(0, len(x), block)]


def ref_asym(x, bits, block):
    x = np.asarray(x, dtype=np.float32)
    res = [ref_asym_block(b, bits) for b in blocks(x, block)]
    codes = np.concatenate([r[2] for r in res]) if res else np.zeros(0, np.int64)
    return (np.array([r[0] for r in res], np.float32), np.array([r[1] for r in res], np.float32),
            codes, pack(codes, bits))


def choose_bits(rng, tol):
    tol = F(tol)
    with np.errstate(all="ignore"):
        if rng <= 0:
            return 2
        for w in range(2, 8):
            if (rng / F((1 << w) - 1)) * F(0.5) <= tol:
                return w
    return 8


def ref_adaptive(x, block, tol):
    x = np.asarray(x, dtype=np.float32)
    sc, zp, widths, data, codes = [], [], [], b"", []
    for b in blocks(x, block):
        mn, mx = min_max(b)
        with np.errstate(all="ignore"):
            w = choose_bits(F(mx - mn), tol)
        s, z, c = ref_asym_block(b, w)
        sc.append(s), zp.append(z), widths.append(w), codes.extend(c)
        data += pack(c, w)
    return (np.array(sc, np.float32), np.array(zp, np.float32), widths, data,
            np.array(codes, np.int64))


def check_asym(q, x, bits, block, scale):
    sc, zp, codes, data = ref_asym(x, bits, block)
    assert (q.kind, q.bits, q.block, len(q), q.block_bits) == ("asymmetric", bits, block, len(x), None)
    assert q.scale is scale
    same_f32(q.scales, stored(sc, scale))
    same_f32(q.zero_points, stored(zp, scale))
    assert q.unpacked_codes.tolist() == codes.tolist()
    assert q.codes.tobytes() == data


def check_adaptive(q, x, block, tol, scale):
    sc, zp, widths, data, codes = ref_adaptive(x, block, tol)
    assert (q.kind, q.bits, q.block, len(q)) == ("adaptive", None, block, len(x))
    assert q.scale is scale
    assert q.block_bits.dtype == np.uint32 and q.block_bits.tolist() == widths
    same_f32(q.scales, stored(sc, scale))
    same_f32(q.zero_points, stored(zp, scale))
    assert q.codes.tobytes() == data
    assert q.unpacked_codes.tolist() == codes.tolist()


# ---------------------------------------------------------------- asymmetric

ASYM_TABLE = [
    # bits, values, scale (as arithmetic), its printed form, zero point, codes, bytes
    (8, [0.0, 1.0, 2.0, 3.0], F(3) / F(255), 0.011764706, -128.0, [-128, -43, 42, 127], "80d52a7f"),
    (4, [-1.0, 0.5, 2.0], F(3) / F(15), 0.2, -3.0, [-8, -1, 7], "f807"),
    (2, [-1.0, 1.0], F(2) / F(3), 0.6666667, -0.5, [-2, 1], "06"),
    (8, [5.0, 5.0], F(1), 1.0, 0.0, [5, 5], "0505"),
    (8, [300.0, 300.0], F(1), 1.0, 0.0, [127, 127], "7f7f"),
]


@pytest.mark.parametrize("bits,values,scale,printed,zp,codes,hexbytes", ASYM_TABLE)
def test_asymmetric_worked_examples(bits, values, scale, printed, zp, codes, hexbytes):
    q = velmar.asymmetric_quantize(values, bits=bits, block=len(values))
    same_f32(q.scales, [scale])
    assert float(q.scales[0]) == pytest.approx(printed, rel=1e-6)
    same_f32(q.zero_points, [zp])
    assert q.unpacked_codes.tolist() == codes
    assert q.codes.tobytes().hex() == hexbytes
    assert q.zero_points.dtype == np.float32 and q.scales.dtype == np.float32


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("bits", [2, 16])
def test_asymmetric_empty_keeps_width_and_block(bits, scale):
    q = velmar.asymmetric_quantize([], bits=bits, block=7, scale=scale)
    assert (q.kind, q.bits, q.block, len(q), q.is_empty()) == ("asymmetric", bits, 7, 0, True)
    for arr, dt in [(q.scales, np.float32), (q.zero_points, np.float32), (q.codes, np.uint8),
                    (q.unpacked_codes, np.int32)]:
        assert arr.dtype == dt and arr.shape == (0,)


@pytest.mark.parametrize("n,block", [(0, 1), (1, 1), (2, 2), (100, 100)])
def test_asymmetric_tensor_is_one_block_of_len(n, block):
    x = np.linspace(-3, 5, n, dtype=np.float32)
    q = velmar.asymmetric_quantize_tensor(x, bits=5)
    assert q.block == block and q.bits == 5
    check_asym(q, x, 5, block, Scale.F32)
    assert velmar.asymmetric_quantize_tensor(x).bits == 8


@pytest.mark.parametrize("call,exc,attrs", [
    (lambda: velmar.asymmetric_quantize([], bits=17), velmar.InvalidBitsError, {"bits": 17}),
    (lambda: velmar.asymmetric_quantize([1.0], bits=1, block=0), velmar.InvalidBitsError, {"bits": 1}),
    (lambda: velmar.asymmetric_quantize([], bits=0, block=0), velmar.InvalidBitsError, {"bits": 0}),
    (lambda: velmar.asymmetric_quantize([1.0], 8, 0), velmar.InvalidBlockError, {"block": 0}),
    (lambda: velmar.asymmetric_quantize([], 16, 0), velmar.InvalidBlockError, {"block": 0}),
    (lambda: velmar.asymmetric_quantize_tensor([], bits=17), velmar.InvalidBitsError, {"bits": 17}),
    (lambda: velmar.asymmetric_quantize_tensor([1.0, 2.0], 4294967295), velmar.InvalidBitsError,
     {"bits": 4294967295}),
    (lambda: velmar.adaptive_quantize([], block=0, tolerance=NAN), velmar.InvalidBlockError, {"block": 0}),
    (lambda: velmar.adaptive_quantize([1.0], 0, -1.0), velmar.InvalidBlockError, {"block": 0}),
])
def test_core_validation_order(call, exc, attrs):
    with pytest.raises(exc) as ei:
        call()
    for k, v in attrs.items():
        assert getattr(ei.value, k) == v
    assert ei.value.args == tuple(attrs.values())
    assert isinstance(ei.value, velmar.QuantizeError)


def test_invalid_bits_message():
    with pytest.raises(velmar.InvalidBitsError) as ei:
        velmar.asymmetric_quantize([1.0], bits=17)
    assert str(ei.value) == "bit width 17 is outside the supported range 2..=16"


@pytest.mark.parametrize("tol", [0.0, -0.0, -0.001, INF, -INF, NAN, 1e-50, 1e39])
@pytest.mark.parametrize("values", [[], [1.0, 2.0]])
def test_adaptive_rejects_tolerance(tol, values):
    with pytest.raises(velmar.InvalidToleranceError) as ei:
        velmar.adaptive_quantize(values, block=32, tolerance=tol)
    assert ei.value.args == ()
    assert str(ei.value) == "tolerance must be a finite number greater than 0"


@pytest.mark.parametrize("call,exc,msg,note", [
    (lambda: velmar.asymmetric_quantize([1.0], bits=-1), OverflowError,
     "out of range integral type conversion attempted", "bits"),
    (lambda: velmar.asymmetric_quantize([1.0], bits=2**32), OverflowError,
     "out of range integral type conversion attempted", "bits"),
    (lambda: velmar.asymmetric_quantize_tensor([1.0], bits=2**32), OverflowError,
     "out of range integral type conversion attempted", "bits"),
    (lambda: velmar.asymmetric_quantize([1.0], 8, -1), OverflowError, None, "block"),
    (lambda: velmar.asymmetric_quantize([1.0], 8.0), TypeError, None, "bits"),
    (lambda: velmar.adaptive_quantize([1.0], block=-1, tolerance="x"), OverflowError, None, "block"),
    (lambda: velmar.adaptive_quantize([1.0], block="a", tolerance="x"), TypeError, None, "block"),
    (lambda: velmar.adaptive_quantize([1.0], tolerance="x"), TypeError, None, "tolerance"),
    (lambda: velmar.adaptive_quantize("bad", tolerance="x"), TypeError, None, "tolerance"),
    (lambda: velmar.asymmetric_quantize([1.0], scale=None), TypeError,
     "'None' is not an instance of 'Scale'", "scale"),
    (lambda: velmar.adaptive_quantize([1.0], scale=0), TypeError,
     "'int' object is not an instance of 'Scale'", "scale"),
    (lambda: velmar.asymmetric_quantize_tensor("bad", bits=-1), OverflowError, None, "bits"),
])
def test_scalar_conversion_errors(call, exc, msg, note):
    with pytest.raises(exc) as ei:
        call()
    if msg is not None:
        assert str(ei.value) == msg
    assert ei.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("call", [
    lambda: velmar.asymmetric_quantize("abc", bits=99),
    lambda: velmar.asymmetric_quantize_tensor([[1.0]], bits=99),
    lambda: velmar.adaptive_quantize(np.zeros((2, 2), np.float32), block=0),
    lambda: velmar.adaptive_quantize([1.0, "x"], tolerance=0.0),
])
def test_values_checked_before_core(call):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == "values must be a 1-D float32 array or a sequence of floats"
    assert not getattr(ei.value, "__notes__", None)


@pytest.mark.parametrize("fn,sig", [
    (velmar.asymmetric_quantize, "(values, bits=8, block=32, *, scale=...)"),
    (velmar.asymmetric_quantize_tensor, "(values, bits=8, *, scale=...)"),
    (velmar.adaptive_quantize, "(values, block=32, tolerance=0.001, *, scale=...)"),
])
def test_signatures(fn, sig):
    assert fn.__text_signature__ == sig


@pytest.mark.parametrize("call,msg", [
    (lambda: velmar.asymmetric_quantize([1.0], 8, 32, Scale.F32),
     "asymmetric_quantize() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: velmar.asymmetric_quantize_tensor([1.0], block=3),
     "asymmetric_quantize_tensor() got an unexpected keyword argument 'block'"),
    (lambda: velmar.adaptive_quantize(),
     "adaptive_quantize() missing 1 required positional argument: 'values'"),
    (lambda: velmar.adaptive_quantize([1.0], 32, tolerance=0.1, block=3),
     "adaptive_quantize() got multiple values for argument 'block'"),
])
def test_binding_errors(call, msg):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == msg


def asym1(values, bits=8, scale=Scale.F32):
    return velmar.asymmetric_quantize(values, bits=bits, block=len(values), scale=scale)


def test_nan_in_full_head_poisons_block():
    q = asym1([NAN, 1, 2, 3, 4, 5, 6, 7])
    assert np.isnan(q.scales[0]) and np.isnan(q.zero_points[0])
    assert q.unpacked_codes.tolist() == [0] * 8


def test_short_block_ignores_nan():
    q = asym1([0.0, NAN, 1.0, 2.0, 3.0])
    same_f32(q.scales, [F(3) / F(255)])
    same_f32(q.zero_points, [-128.0])
    assert q.unpacked_codes.tolist() == [-128, 0, -43, 42, 127]


def test_nan_in_head_leaves_tail_range():
    x = [NAN, -50.0, 50.0, 1.0, 1.0, 1.0, 1.0, 1.0, 2.0, 4.0]
    q = asym1(x)
    same_f32(q.scales, [F(2) / F(255)])
    codes = q.unpacked_codes.tolist()
    assert codes[0] == 0 and codes[1] == -128 and codes[2] == 127 and codes[8:] == [-128, 127]
    check_asym(q, np.array(x, np.float32), 8, 10, Scale.F32)


def test_short_all_nan_block_is_degenerate():
    q = asym1([NAN] * 7)
    same_f32(q.scales, [1.0]), same_f32(q.zero_points, [0.0])
    assert q.unpacked_codes.tolist() == [0] * 7


def test_infinite_ranges():
    q = asym1([1.0, INF, -2.0], bits=4)
    same_f32(q.scales, [INF]), same_f32(q.zero_points, [-8.0])
    assert q.unpacked_codes.tolist() == [-8, 0, -8]
    q = asym1([-INF, 1.0, INF])
    assert q.scales[0] == INF and np.isnan(q.zero_points[0])
    assert q.unpacked_codes.tolist() == [0, 0, 0]


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
def test_codes_come_from_unrounded_scale(scale):
    rng = np.random.default_rng(5)
    x = (rng.standard_normal(200) * np.float32(3.1)).astype(np.float32)
    x[::37] += np.float32(1e8)  # f16 scale overflows for some blocks
    q = velmar.asymmetric_quantize(x, bits=7, block=20, scale=scale)
    ref = velmar.asymmetric_quantize(x, bits=7, block=20)
    assert q.codes.tobytes() == ref.codes.tobytes()
    check_asym(q, x, 7, 20, scale)
    if scale == Scale.F16:
        assert np.isinf(q.scales).any()


def test_bf16_storage_rounds_only_the_stored_numbers():
    x = np.array([-3.1, 0.7, 251.9, 17.3], np.float32)
    q32 = asym1(x)
    qb = asym1(x, scale=Scale.Bf16)
    same_f32(qb.zero_points, bf16_round(q32.zero_points))
    same_f32(qb.scales, bf16_round(q32.scales))
    assert qb.zero_points[0] != q32.zero_points[0]  # the rounding is visible
    assert qb.unpacked_codes.tolist() == q32.unpacked_codes.tolist()


def test_last_short_block_has_own_range():
    x = np.array([0, 1, 2, 3, 4, 5, 6, 7, 100, 104], np.float32)
    q = velmar.asymmetric_quantize(x, bits=4, block=8)
    same_f32(q.scales, [F(7) / F(15), F(4) / F(15)])
    assert q.unpacked_codes.tolist()[8:] == [-8, 7]
    assert q.unpacked_codes.tolist()[:8][0] == -8 and q.unpacked_codes.tolist()[7] == 7


values_st = st.lists(
    st.one_of(
        st.floats(-1e3, 1e3, width=32),
        st.floats(width=32),
        st.sampled_from([0.0, -0.0, NAN, INF, -INF, 1e-45, -1e-45, 3e38, -3e38]),
    ),
    max_size=70,
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values_st, st.integers(2, 16), st.integers(1, 40), st.sampled_from(SCALES))
def test_asymmetric_matches_reference(values, bits, block, scale):
    x = np.array(values, dtype=np.float32)
    q = velmar.asymmetric_quantize(x, bits=bits, block=block, scale=scale)
    check_asym(q, x, bits, block, scale)


# ---------------------------------------------------------------- adaptive

ADAPTIVE_TABLE = [
    ([0.0, 0.5, 1.0], 0.1, 3, F(1) / F(7), -4.0, [-4, -1, 3], "fc00"),
    ([0.0, 1.0], 0.001, 8, F(1) / F(255), -128.0, [-128, 127], "807f"),
    ([0.0, 3.0], 0.5, 2, F(1), -2.0, [-2, 1], "06"),
    ([-1.0, 1.0, 0.25, 0.5], 0.05, 5, F(2) / F(31), -0.5, [-16, 15, 3, 7], "f08d03"),
    ([5.0, 5.0, 5.0], 0.001, 2, F(1), 0.0, [1, 1, 1], "15"),
]


@pytest.mark.parametrize("values,tol,width,scale,zp,codes,hexbytes", ADAPTIVE_TABLE)
def test_adaptive_worked_examples(values, tol, width, scale, zp, codes, hexbytes):
    q = velmar.adaptive_quantize(values, block=len(values), tolerance=tol)
    assert q.block_bits.tolist() == [width]
    same_f32(q.scales, [scale])
    same_f32(q.zero_points, [zp])
    assert q.unpacked_codes.tolist() == codes
    assert q.codes.tobytes().hex() == hexbytes


def test_adaptive_layout_example():
    q = velmar.adaptive_quantize([0.0, 0.5, 1.0, 0.0, 2.0], block=3, tolerance=0.1)
    assert q.block_bits.tolist() == [3, 4]
    assert q.codes.tobytes().hex() == "fc0078"
    same_f32(q.scales, [F(1) / F(7), F(2) / F(15)])
    assert float(q.scales[1]) == pytest.approx(0.13333334, rel=1e-7)
    same_f32(q.zero_points, [-4.0, -8.0])
    assert q.unpacked_codes.tolist() == [-4, -1, 3, -8, 7]
    assert repr(q) == "Quantized(kind='adaptive', block=3, len=5, scale=Scale.F32)"


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
def test_adaptive_empty(scale):
    q = velmar.adaptive_quantize([], block=9, tolerance=0.5, scale=scale)
    assert (q.kind, q.bits, q.block, len(q), q.scale) == ("adaptive", None, 9, 0, scale)
    assert q.block_bits.dtype == np.uint32 and q.block_bits.shape == (0,)
    assert q.codes.shape == (0,) and q.scales.shape == (0,) and q.zero_points.shape == (0,)


def test_smallest_subnormal_tolerance_accepted():
    q = velmar.adaptive_quantize([0.0, 1.0], block=2, tolerance=1e-45)
    assert q.block_bits.tolist() == [8]


@pytest.mark.parametrize("c,code", [(0.0, 0), (-0.0, 0), (5.0, 1), (-7.0, -2), (-1.5, -2), (0.5, 1)])
def test_constant_block_gets_two_bits(c, code):
    q = velmar.adaptive_quantize([c] * 6, block=6, tolerance=1e-6)
    assert q.block_bits.tolist() == [2]
    same_f32(q.scales, [1.0]), same_f32(q.zero_points, [0.0])
    assert q.unpacked_codes.tolist() == [code] * 6


def test_threshold_equality_selects_smaller_width():
    # (3 / 7) * 0.5 exactly as float32 is the bound for width 3
    bound = float((F(3) / F(7)) * F(0.5))
    assert velmar.adaptive_quantize([0.0, 3.0], block=2, tolerance=bound).block_bits.tolist() == [3]
    below = float(np.nextafter(F(bound), F(0)))
    assert velmar.adaptive_quantize([0.0, 3.0], block=2, tolerance=below).block_bits.tolist() == [4]


def test_huge_tolerance():
    x = [0.0, 1e30, -5.0, 5.0, -3e38, 3e38]
    q = velmar.adaptive_quantize(x, block=2, tolerance=1e38)
    assert q.block_bits.tolist() == [2, 2, 8]
    check_adaptive(q, np.array(x, np.float32), 2, 1e38, Scale.F32)


def test_adaptive_nan_blocks():
    x = [NAN, 1, 2, 3, 4, 5, 6, 7] + [0.0, NAN, 1.0, 2.0, 3.0] + [NAN] * 5
    q = velmar.adaptive_quantize(x, block=8, tolerance=0.01)
    # blocks of 8 and 8 with NaN heads, then a short all-NaN block
    check_adaptive(q, np.array(x, np.float32), 8, 0.01, Scale.F32)
    assert q.block_bits.tolist()[0] == 8 and np.isnan(q.scales[0])
    q = velmar.adaptive_quantize([0.0, NAN, 1.0, 2.0, 3.0], block=5, tolerance=0.01)
    assert q.block_bits.tolist() == [8]
    assert q.unpacked_codes.tolist() == [-128, 0, -43, 42, 127]
    q = velmar.adaptive_quantize([NAN] * 5, block=5, tolerance=0.01)
    assert q.block_bits.tolist() == [2]
    same_f32(q.scales, [1.0]), same_f32(q.zero_points, [0.0])
    assert q.unpacked_codes.tolist() == [0] * 5


def test_data_is_sum_of_byte_aligned_blocks():
    x = np.arange(10, dtype=np.float32) * np.float32(0.125)  # 2 blocks of 5, range 0.5 each
    q = velmar.adaptive_quantize(x, block=5, tolerance=0.1)
    assert q.block_bits.tolist() == [2, 2]
    assert len(q.codes) == 4  # 2 x ceil(10/8), not ceil(20/8)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values_st, st.integers(1, 40),
       st.one_of(st.floats(2.0**-20, 10.0, width=32), st.sampled_from([1e-45, 1e38, 0.001])),
       st.sampled_from(SCALES))
def test_adaptive_matches_reference(values, block, tol, scale):
    x = np.array(values, dtype=np.float32)
    q = velmar.adaptive_quantize(x, block=block, tolerance=tol, scale=scale)
    check_adaptive(q, x, block, tol, scale)


@pytest.mark.parametrize("scale", SCALES, ids=SCALE_IDS)
@pytest.mark.parametrize("seed", range(4))
def test_adaptive_block_equals_asymmetric_of_that_block(seed, scale):
    rng = np.random.default_rng(seed)
    n, block = int(rng.integers(1, 300)), int(rng.integers(1, 33))
    spread = np.repeat(10.0 ** rng.uniform(-4, 2, size=n // block + 1), block)[:n]
    x = (rng.standard_normal(n) * spread).astype(np.float32)
    if seed % 2:
        x[rng.integers(0, n, size=3)] = NAN
    q = velmar.adaptive_quantize(x, block=block, tolerance=0.01, scale=scale)
    widths, data, pos = q.block_bits.tolist(), q.codes.tobytes(), 0
    assert len(widths) == math.ceil(n / block)
    for b, w in enumerate(widths):
        part = x[b * block:(b + 1) * block]
        a = velmar.asymmetric_quantize(part, bits=w, block=len(part), scale=scale)
        nbytes = len(a.codes)
        assert data[pos:pos + nbytes] == a.codes.tobytes()
        same_f32(q.scales[b:b + 1], a.scales)
        same_f32(q.zero_points[b:b + 1], a.zero_points)
        pos += nbytes
    assert pos == len(data)
