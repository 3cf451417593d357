"""Symmetric block quantization as seen through `quantize` / `quantize_tensor`."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmar
from velmar import Scale

NAN = float("nan")
INF = float("inf")
SCALES = [Scale.F32, Scale.F16, Scale.Bf16]


# ---------------------------------------------------------------- reference

def f32_from_bits(b):
    return np.array([b], dtype=np.uint32).view(np.float32)[0]


def bits_of(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32).tolist()


def bf16_round_trip_bits(x):
    """f32 bit pattern -> stored bf16 -> widened f32 bit pattern."""
    if (x & 0x7FFFFFFF) > 0x7F800000:
        h = ((x >> 16) | 0x0040) & 0xFFFF
    else:
        r = 1 if (x & 0x8000) and (x & 0x17FFF) else 0
        h = ((x >> 16) + r) & 0xFFFF
    if (h & 0x7FFF) > 0x7F80:
        h |= 0x0040
    return h << 16


def stored_scale_bits(scales_f32, scale):
    s = np.asarray(scales_f32, dtype=np.float32)
    if scale is Scale.F32:
        return bits_of(s)
    if scale is Scale.F16:
        with np.errstate(all="ignore"):
            return bits_of(s.astype(np.float16).astype(np.float32))
    return [bf16_round_trip_bits(b) for b in bits_of(s)]


def ref_absmax(blk):
    m = 16 * (len(blk) // 16)
    head, tail = blk[:m], blk[m:]
    h = np.float32(0.0)
    if m:
        h = np.float32(NAN) if np.isnan(head).any() else max(h, np.abs(head).max())
    for x in np.abs(tail):
        if np.isnan(h):
            h = x
        elif not np.isnan(x):
            h = max(h, x)
    return np.float32(h)


def ref_round_away(t):
    t = t.astype(np.float64)
    return np.where(t >= 0, np.floor(t + 0.5), np.ceil(t - 0.5))


def ref_symmetric(values, bits, block):
    """(f32 scales, int codes) following the kernel's arithmetic step by step."""
    v = np.asarray(values, dtype=np.float32)
    qmax = np.float32(2 ** (bits - 1) - 1)
    qmin = np.float32(-(2 ** (bits - 1)))
    scales, codes = [], []
    with np.errstate(all="ignore"):
        for start in range(0, len(v), block):
            blk = v[start:start + block]
            a = ref_absmax(blk)
            scale = np.float32(a / qmax) if a > 0 else np.float32(1.0)
            inv = np.float32(1.0) / scale
            t = blk * inv
            assert t.dtype == np.float32
            r = np.clip(ref_round_away(t), qmin, qmax)
            r = np.where(np.isnan(r), 0, r)
            scales.append(scale)
            codes.extend(int(c) for c in r)
    return np.array(scales, dtype=np.float32), codes


def ref_pack(codes, bits):
    acc = 0
    for i, c in enumerate(codes):
        acc |= (c & ((1 << bits) - 1)) << (i * bits)
    return acc.to_bytes((len(codes) * bits + 7) // 8, "little")


def check_against_reference(values, bits, block, q, scale):
    ref_scales, ref_codes = ref_symmetric(values, bits, block)
    assert q.kind == "symmetric"
    assert q.bits == bits and len(q) == len(values)
    assert bits_of(q.scales) == stored_scale_bits(ref_scales, scale)
    assert q.codes.tobytes() == ref_pack(ref_codes, bits)
    assert q.unpacked_codes.tolist() == ref_codes


# ---------------------------------------------------------------- worked examples

@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize(
    "bits, values, exp_scale, exp_codes",
    [
        (3, [3.0, 2.5, -2.5, 0.5], np.float32(1.0), [3, 3, -3, 1]),
        (2, [3.0, 1.5, -0.75, 0.0], np.float32(3.0), [1, 1, 0, 0]),
        (8, [1.0, -1.0, 0.25], np.float32(1.0) / np.float32(127.0), [127, -127, 32]),
        (4, [0.0, 0.0, -0.0], np.float32(1.0), [0, 0, 0]),
        (8, [INF, 1.0], np.float32(INF), [0, 0]),
        (8, [-INF, 1.0, -3.0], np.float32(INF), [0, 0, 0]),
        # most negative code only through clamping; ties away from zero both ways
        (8, [127.0, 0.5, 1.5, 2.5, -0.5, -1.5, -2.5], np.float32(1.0), [127, 1, 2, 3, -1, -2, -3]),
    ],
)
def test_worked_examples(bits, values, exp_scale, exp_codes, scale):
    q = velmar.quantize(values, bits, scale=scale)
    assert bits_of(q.scales) == stored_scale_bits([exp_scale], scale)
    assert q.unpacked_codes.tolist() == exp_codes
    assert q.codes.tobytes() == ref_pack(exp_codes, bits)


# ---------------------------------------------------------------- NaN grouping

def _run(values, bits, block):
    return velmar.quantize(np.array(values, dtype=np.float32), bits, block)


def test_nan_in_head_of_16_block_gives_unit_scale_and_clamps():
    q = _run([NAN, 300.0, -300.0, 2.5] + [0.0] * 12, 8, 32)
    assert bits_of(q.scales) == bits_of([1.0])
    assert q.unpacked_codes.tolist() == [0, 127, -128, 3] + [0] * 12


def test_nan_in_head_with_tail_uses_tail_only():
    q = _run([NAN] + [100.0] * 15 + [1.0, 2.0, 3.0, 4.0], 8, 32)
    assert bits_of(q.scales) == bits_of([np.float32(4.0) / np.float32(127.0)])
    assert q.unpacked_codes.tolist() == [0] + [127] * 15 + [32, 64, 95, 127]


@pytest.mark.parametrize(
    "values, exp_scale",
    [
        # fewer than 16 elements: everything is tail, NaN ignored
        ([NAN, 2.0, NAN, -6.35] + [1.0] * 11, np.float32(6.35) / np.float32(127)),
        # all-NaN short block: maxNum keeps the head's +0.0
        ([NAN] * 5, np.float32(1.0)),
        # head NaN, tail all NaN: NaN survives
        ([NAN] + [5.0] * 15 + [NAN], np.float32(1.0)),
        # clean head, NaN tail ignored
        ([1.0] * 15 + [-7.0] + [NAN], np.float32(7.0) / np.float32(127)),
        # NaN in head of a 32-block: no tail, absmax NaN
        ([3.0] * 31 + [NAN], np.float32(1.0)),
    ],
    ids=["short", "all-nan-short", "nan-head-nan-tail", "clean-head", "nan-32"],
)
def test_nan_grouping(values, exp_scale):
    q = _run(values, 8, 64)
    assert bits_of(q.scales) == bits_of([exp_scale])
    codes = q.unpacked_codes.tolist()
    assert all(c == 0 for c, v in zip(codes, values) if math.isnan(v))
    check_against_reference(values, 8, 64, q, Scale.F32)


def test_head_is_relative_to_block_start():
    # block 1 starts at 33: its head is 33..64 and its tail is 65 alone
    v = [1.0] * 66
    v[33] = NAN
    v[65] = 2.0
    q = _run(v, 8, 33)
    assert bits_of(q.scales) == bits_of([np.float32(1.0) / np.float32(127),
                                         np.float32(2.0) / np.float32(127)])
    check_against_reference(v, 8, 33, q, Scale.F32)


def test_tensor_whole_vector_head_tail():
    # one block of 40: head 32 holds the NaN, the tail of 8 sets the scale
    v = [NAN] + [50.0] * 31 + [0.5] * 7 + [-3.0]
    q = velmar.quantize_tensor(v, 8)
    assert q.block == 40 and len(q.scales) == 1
    assert bits_of(q.scales) == bits_of([np.float32(3.0) / np.float32(127)])
    check_against_reference(v, 8, 40, q, Scale.F32)


def test_short_last_block_has_its_own_scale():
    v = np.linspace(-100, 100, 64, dtype=np.float32).tolist() + [0.5, -0.25, 0.1, 0.0, 0.3, -0.2]
    q = _run(v, 8, 32)
    assert len(q.scales) == 3
    assert q.scales[2] == np.float32(0.5) / np.float32(127)
    check_against_reference(v, 8, 32, q, Scale.F32)


# ---------------------------------------------------------------- extreme scales

@pytest.mark.parametrize("scale", SCALES)
def test_subnormal_absmax_gives_zero_scale(scale):
    tiny = float(f32_from_bits(1))
    q = velmar.quantize([tiny, -tiny, 0.0, -0.0], 8, scale=scale)
    assert bits_of(q.scales) == [0]
    assert q.unpacked_codes.tolist() == [127, -128, 0, 0]


def test_f16_infinite_scale_keeps_f32_codes():
    v = [1e7, -3e6, 1.0, 123456.0]
    q32 = velmar.quantize(v, 8, scale=Scale.F32)
    q16 = velmar.quantize(v, 8, scale=Scale.F16)
    assert bits_of(q16.scales) == [0x7F800000]
    assert q32.scales[0] == np.float32(1e7) / np.float32(127)
    assert q16.codes.tobytes() == q32.codes.tobytes()
    assert q16.unpacked_codes.tolist() == [127, -38, 0, 2]


# At 2 bits qmax is 1, so a one-element block stores its magnitude as the scale.
@pytest.mark.parametrize(
    "scale, x_bits, stored_bits",
    [
        (Scale.Bf16, 0x3F800000, 0x3F800000),  # 1.0
        (Scale.Bf16, 0x3F808000, 0x3F800000),  # halfway, ties to even (down)
        (Scale.Bf16, 0x3F818000, 0x3F820000),  # halfway, ties to even (up)
        (Scale.Bf16, 0x3F808001, 0x3F810000),  # just above halfway
        (Scale.Bf16, 0x3F807FFF, 0x3F800000),  # just below halfway
        (Scale.Bf16, 0x7F7FFFFF, 0x7F800000),  # largest finite carries into infinity
        (Scale.Bf16, 0x00018000, 0x00020000),  # subnormal, tie to even
        (Scale.Bf16, 0x00008000, 0x00000000),  # subnormal tie rounds to zero
        (Scale.Bf16, 0x7F800000, 0x7F800000),  # infinity
        (Scale.F16, 0x477FF000, 0x7F800000),  # 65520 -> infinity
        (Scale.F16, 0x477FE000, 0x477FE000),  # 65504 stays
        (Scale.F16, 0x477FEFFF, 0x477FE000),  # just under 65520 rounds down
        (Scale.F16, 0x33000000, 0x00000000),  # 2^-25: tie between 0 and 2^-24 -> 0
        (Scale.F16, 0x33400000, 0x33800000),  # 1.5 * 2^-25 -> 2^-24 (no flush)
        (Scale.F16, 0x34400000, 0x34400000),  # 3 * 2^-24 is an exact subnormal
        (Scale.F16, 0x3F801000, 0x3F800000),  # 1 + 2^-11: tie to even -> 1.0
        (Scale.F16, 0x3F803000, 0x3F804000),  # 1 + 3*2^-11: tie to even -> 1 + 2^-9
        (Scale.F16, 0x3F802000, 0x3F802000),  # 1 + 2^-10 exact
        (Scale.F32, 0x3F808001, 0x3F808001),
        (Scale.F32, 0x00000001, 0x00000001),
    ],
)
def test_scale_storage_rounding(scale, x_bits, stored_bits):
    x = float(f32_from_bits(x_bits))
    for v in (x, -x):
        q = velmar.quantize([v], 2, scale=scale)
        assert bits_of(q.scales) == [stored_bits]


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 0x7F800000), st.sampled_from(SCALES))
def test_scale_storage_rounding_any_pattern(x_bits, scale):
    q = velmar.quantize_tensor([float(f32_from_bits(x_bits))], 2, scale=scale)
    assert bits_of(q.scales) == stored_scale_bits([f32_from_bits(x_bits)], scale)


# ---------------------------------------------------------------- packing layout

def _clamp_layout_input(bits, rng):
    """Values whose codes are known exactly: every 16-block starts with NaN (scale 1.0)."""
    qmin, qmax = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
    if bits <= 10:
        wanted = list(range(qmin, qmax + 1))
    else:
        wanted = [qmin, qmin + 1, -1, 0, 1, qmax - 1, qmax] + rng.integers(qmin, qmax + 1, 300).tolist()
    raw = wanted + [qmax + 5, qmin - 5, 1e30, -1e30, qmax + 0.5, qmin - 0.5]
    values, codes = [], []
    for i in range(0, len(raw), 15):
        chunk = raw[i:i + 15]
        chunk = chunk + [0] * (15 - len(chunk))
        values += [NAN] + [float(c) for c in chunk]
        codes += [0] + [int(min(max(c, qmin), qmax)) if abs(c) < 1e20 else (qmax if c > 0 else qmin)
                        for c in chunk]
    return values, codes


@pytest.mark.parametrize("bits", range(2, 17))
def test_packing_layout_every_width(bits):
    values, codes = _clamp_layout_input(bits, np.random.default_rng(bits))
    q = velmar.quantize(values, bits, 16)
    assert q.unpacked_codes.tolist() == codes
    data = q.codes.tobytes()
    assert len(data) == (len(codes) * bits + 7) // 8
    assert data == ref_pack(codes, bits)


def _nan16(codes):
    # a NaN anywhere in a 16-element head forces scale 1.0; keep it last so the
    # wanted codes start at stream offset 0
    return [float(c) for c in codes] + [0.0] * (15 - len(codes)) + [NAN]


@pytest.mark.parametrize(
    "bits, codes, expect",
    [
        (4, [-8, 7], {0: 0x78}),
        (3, [-1, 0, -1], {0: 0xC7, 1: 0x01}),
        (11, [0, 0, -1], {2: 0xC0, 3: 0xFF, 4: 0x01}),
        (8, [-1, -128, 127], {0: 0xFF, 1: 0x80, 2: 0x7F}),
        (16, [-2, 0x1234], {0: 0xFE, 1: 0xFF, 2: 0x34, 3: 0x12}),
        (5, [-1, -1, -1], {0: 0xFF, 1: 0x7F}),
    ],
)
def test_packing_specific_bytes(bits, codes, expect):
    q = velmar.quantize(_nan16(codes), bits, 16)
    data = q.codes.tobytes()
    assert len(data) == (16 * bits + 7) // 8
    assert {k: data[k] for k in expect} == expect
    assert all(b == 0 for k, b in enumerate(data) if k not in expect)
    assert q.unpacked_codes.tolist()[:len(codes)] == codes


def test_packing_top_bits_of_last_byte_are_zero():
    # 3 codes of 5 bits: 15 bits in 2 bytes, bit 15 unused
    q = velmar.quantize([-15.0, -15.0, -15.0], 5)
    assert q.unpacked_codes.tolist() == [-15, -15, -15]
    assert q.codes.tobytes() == ref_pack([-15] * 3, 5)
    assert q.codes[1] & 0x80 == 0


def test_four_bit_odd_block_starts_in_high_nibble():
    v = [1.0, 2.0, 3.0, 4.0, 7.0, -7.0, -1.0, 6.0, 5.0, 3.0]
    q = velmar.quantize(v, 4, 5)
    codes = [1, 2, 3, 4, 7, -7, -1, 6, 5, 3]
    assert q.unpacked_codes.tolist() == codes
    data = q.codes.tobytes()
    assert data == ref_pack(codes, 4)
    assert data[2] >> 4 == (-7) & 0xF


@pytest.mark.parametrize("bits", [4, 8])
@pytest.mark.parametrize("block", [1, 3, 5, 15, 16, 17, 31, 33, 48])
def test_direct_writer_widths_odd_blocks(bits, block):
    rng = np.random.default_rng(block)
    v = (rng.standard_normal(101) * 10).astype(np.float32)
    v[rng.integers(0, 101, 4)] = NAN
    for s in SCALES:
        check_against_reference(v, bits, block, velmar.quantize(v, bits, block, scale=s), s)


# ---------------------------------------------------------------- validation & shape

@pytest.mark.parametrize("values", [[], [1.0, 2.0]])
@pytest.mark.parametrize(
    "bits, block, exc, attr, val",
    [
        (1, 32, velmar.InvalidBitsError, "bits", 1),
        (17, 32, velmar.InvalidBitsError, "bits", 17),
        (0, 32, velmar.InvalidBitsError, "bits", 0),
        (1, 0, velmar.InvalidBitsError, "bits", 1),
        (8, 0, velmar.InvalidBlockError, "block", 0),
    ],
)
def test_validation(values, bits, block, exc, attr, val):
    with pytest.raises(exc) as ei:
        velmar.quantize(values, bits, block)
    assert type(ei.value) is exc and getattr(ei.value, attr) == val
    if block:
        with pytest.raises(exc):
            velmar.quantize_tensor(values, bits)


@pytest.mark.parametrize("bits", [2, 16])
def test_width_limits_accepted(bits):
    q = velmar.quantize([1.0, -1.0], bits)
    assert q.bits == bits


@pytest.mark.parametrize("scale", SCALES)
def test_empty_input(scale):
    q = velmar.quantize([], 5, 32, scale=scale)
    assert (len(q), q.bits, q.block, q.kind) == (0, 5, 32, "symmetric")
    assert len(q.scales) == 0 and len(q.codes) == 0


@pytest.mark.parametrize("n, block", [(0, 1), (1, 1), (2, 2), (100, 100)])
def test_tensor_single_block(n, block):
    v = np.arange(n, dtype=np.float32) - 40
    q = velmar.quantize_tensor(v, 6)
    assert q.block == block and len(q.scales) == (1 if n else 0)
    if n:
        check_against_reference(v, 6, block, q, Scale.F32)


# ---------------------------------------------------------------- random data

_specials = st.sampled_from([0.0, -0.0, NAN, INF, -INF, 1e-45, -1e-45, 1e-40, 3.4028235e38, 0.5, -2.5])
_elems = st.one_of(
    st.floats(width=32),
    st.integers(-200, 200).map(float),
    st.floats(-4.0, 4.0, width=32),
    _specials,
)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(_elems, max_size=90),
    st.integers(2, 16),
    st.integers(1, 40),
    st.sampled_from(SCALES),
)
def test_random_matches_reference(values, bits, block, scale):
    v = np.array(values, dtype=np.float32)
    check_against_reference(v, bits, block, velmar.quantize(v, bits, block, scale=scale), scale)
    tq = velmar.quantize_tensor(v, bits, scale=scale)
    assert tq.block == max(len(v), 1)
    check_against_reference(v, bits, max(len(v), 1), tq, scale)


def test_codes_identical_across_scale_types():
    rng = np.random.default_rng(7)
    v = (rng.standard_normal(257) * 1e3).astype(np.float32)
    outs = {velmar.quantize(v, 7, 19, scale=s).codes.tobytes() for s in SCALES}
    assert len(outs) == 1
    assert outs.pop() == ref_pack(ref_symmetric(v, 7, 19)[1], 7)

