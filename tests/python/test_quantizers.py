"""The three quantizers: worked examples, then every output against the float32 reference."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import float_reference as ref
import velmar
from float_reference import F, INF, NAN, SCALES, same_f32
from velmar import Scale

sym, asym, ada = velmar.quantize, velmar.asymmetric_quantize, velmar.adaptive_quantize
H = [NAN] + [100.0] * 15  # a full group of 16 holding a NaN

# call, scales, zero points (None: symmetric), codes, adaptive widths, packed bytes (hex) or None
WORKED = [
    (lambda: sym([1.0, -1.0, 0.25]), [F(1) / F(127)], None, [127, -127, 32], None, "7f8120"),
    (lambda: sym([3.0, 2.5, -2.5, 0.5], 3), [1.0], None, [3, 3, -3, 1], None, "5b03"),
    (lambda: sym([127.0, 0.5, 1.5, 2.5, -0.5, -1.5, -2.5], 8), [1.0], None, [127, 1, 2, 3, -1, -2, -3], None, None),
    (lambda: sym([3.0, 1.5, -0.75, 0.0], 2), [3.0], None, [1, 1, 0, 0], None, "05"),
    (lambda: sym([-INF, 1.0, -3.0]), [INF], None, [0, 0, 0], None, None),
    (lambda: sym([1e-45, -1e-45, 0.0]), [0.0], None, [127, -128, 0], None, None),
    # a NaN in a full group of 16 makes the maximum NaN and the scale 1: the rest clamps
    (lambda: sym([NAN, 300.0, -300.0, 2.5] + [0.0] * 12), [1.0], None, [0, 127, -128, 3] + [0] * 12, None, None),
    (lambda: sym(H + [1.0, 2.0, 3.0, 4.0]), [F(4) / F(127)], None, [0] + [127] * 15 + [32, 64, 95, 127], None, None),
    (lambda: sym([NAN, 2.0, -6.35]), [F(6.35) / F(127)], None, [0, 40, -127], None, None),
    (lambda: sym([NAN] * 5), [1.0], None, [0] * 5, None, None),
    (lambda: sym([1.0] * 33 + [NAN] + [1.0] * 31 + [2.0], 8, 33),  # groups count from each block's start
     [F(1) / F(127), F(2) / F(127)], None, [127] * 33 + [0] + [64] * 31 + [127], None, None),
    (lambda: velmar.quantize_tensor([NAN] + [50.0] * 31 + [0.5] * 7 + [-3.0]), [F(3) / F(127)], None,
     [0] + [127] * 31 + [21] * 7 + [-127], None, None),
    (lambda: asym([0.0, 1.0, 2.0, 3.0], 8, 4), [F(3) / F(255)], [-128.0], [-128, -43, 42, 127], None, "80d52a7f"),
    (lambda: asym([300.0, 300.0], 8, 2), [1.0], [0.0], [127, 127], None, "7f7f"),
    (lambda: asym([0.0, NAN, 1.0, 2.0, 3.0], 8, 5), [F(3) / F(255)], [-128.0], [-128, 0, -43, 42, 127], None, None),
    (lambda: asym([NAN, 1, 2, 3, 4, 5, 6, 7], 8, 8), [NAN], [NAN], [0] * 8, None, None),
    (lambda: asym([NAN] * 7, 8, 7), [1.0], [0.0], [0] * 7, None, None),
    (lambda: asym([1.0, INF, -2.0], 4, 3), [INF], [-8.0], [-8, 0, -8], None, None),
    (lambda: asym([-INF, 1.0, INF], 8, 3), [INF], [NAN], [0, 0, 0], None, None),
    (lambda: ada([0.0, 0.5, 1.0, 0.0, 2.0], 3, 0.1), [F(1) / F(7), F(2) / F(15)], [-4.0, -8.0],
     [-4, -1, 3, -8, 7], [3, 4], "fc0078"),
    (lambda: ada([0.0, 1.0], 2, 0.001), [F(1) / F(255)], [-128.0], [-128, 127], [8], "807f"),
    (lambda: ada([5.0] * 3, 3, 1e-6), [1.0], [0.0], [1, 1, 1], [2], "15"),
    (lambda: ada(np.arange(10) * 0.125, 5, 0.1), None, None, None, [2, 2], "3e013e01"),  # each block byte-aligned
    # tolerance is rounded to float32 first, and meeting the bound exactly keeps the smaller width
    (lambda: ada([0.0, 3.0], 2, 0.49999999999), [1.0], [-2.0], [-2, 1], [2], "06"),
    (lambda: ada([0.0, 3.0], 2, float((F(3) / F(7)) * F(0.5))), [F(3) / F(7)], [-4.0], [-4, 3], [3], None),
    (lambda: ada([0.0, 3.0], 2, float(np.nextafter((F(3) / F(7)) * F(0.5), F(0)))), [F(3) / F(15)], [-8.0],
     [-8, 7], [4], None),
    (lambda: ada([0.0, 1e30, -5.0, 5.0, -3e38, 3e38], 2, 1e38), None, None, None, [2, 2, 8], None),
]


@pytest.mark.parametrize("case", range(len(WORKED)))
def test_worked_examples(case):
    call, scales, zps, codes, widths, hexbytes = WORKED[case]
    q = call()
    if scales is not None:
        same_f32(q.scales, scales)
    if zps is not None:
        same_f32(q.zero_points, zps)
    if codes is not None:
        assert q.unpacked_codes.tolist() == codes
    assert (None if q.block_bits is None else q.block_bits.tolist()) == widths
    if hexbytes:
        assert q.codes.tobytes().hex() == hexbytes


def expect(kind, x, bits, block, tol):
    """kind, bits, widths, scales, zero points, codes, packed bytes, from the reference."""
    if kind == "symmetric":
        s, c = ref.symmetric(x, bits, block)
        return bits, None, s, np.zeros(0, np.float32), c, ref.pack(c, bits)
    if kind == "asymmetric":
        s, z, c = ref.asymmetric(x, bits, block)
        return bits, None, s, z, c, ref.pack(c, bits)
    s, z, w, c, data = ref.adaptive(x, block, tol)
    return None, w, s, z, c, data


def check(q, kind, x, bits, block, tol, scale):
    bits, widths, s, z, codes, data = expect(kind, x, bits, block, tol)
    assert (q.kind, q.bits, q.block, len(q), q.scale) == (kind, bits, block, len(x), scale)
    assert (None if q.block_bits is None else q.block_bits.tolist()) == widths
    # codes come from the unrounded scale; only the stored numbers are rounded
    assert q.unpacked_codes.tolist() == codes and q.codes.tobytes() == data
    same_f32(q.scales, ref.stored(s, scale))
    same_f32(q.zero_points, ref.stored(z, scale))


VALUES = st.lists(st.one_of(
    st.floats(width=32), st.floats(-4, 4, width=32), st.integers(-200, 200).map(float),
    st.sampled_from([0.0, -0.0, NAN, INF, -INF, 1e-45, -1e-40, 3e38, -3e38, 65520.0 * 127])), max_size=90)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(VALUES, st.sampled_from(["symmetric", "asymmetric", "adaptive"]), st.booleans(),
       st.integers(2, 16), st.integers(1, 40), st.sampled_from(SCALES),
       st.one_of(st.floats(2.0**-20, 10.0, width=32), st.sampled_from([1e-45, 1e38])))
def test_matches_reference(values, kind, whole, bits, block, scale, tol):
    x = np.array(values, np.float32)
    if kind == "adaptive":
        q = ada(x, block, tol, scale=scale)
    elif whole:  # the *_tensor functions: one block of the whole vector
        block = max(len(x), 1)
        q = (velmar.quantize_tensor if kind == "symmetric" else velmar.asymmetric_quantize_tensor)(x, bits, scale=scale)
    else:
        q = (sym if kind == "symmetric" else asym)(x, bits, block, scale=scale)
    check(q, kind, x, bits, block, tol, scale)


@pytest.mark.parametrize("bits", range(2, 17))
@pytest.mark.parametrize("kind", ["symmetric", "asymmetric"])
def test_every_code_of_every_width(kind, bits):
    # Groups that begin with a NaN pin the scale to 1 (symmetric), so integers are their own codes;
    # the asymmetric blocks span exactly the code range.
    lo, hi = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    wanted = list(range(lo, hi + 1)) if bits <= 10 else [lo, lo + 1, -1, 0, 1, hi - 1, hi] * 3
    if kind == "symmetric":
        x = [v for i in range(0, len(wanted), 15) for v in [NAN] + wanted[i:i + 15] + [0] * (15 - len(wanted[i:i + 15]))]
        x += [NAN, hi + 5, lo - 5, 1e30, -1e30, hi + 0.5, lo - 0.5] + [0] * 9
        q = sym(x, bits, 16)
    else:
        x, q = wanted, asym(wanted, bits, len(wanted))
    check(q, kind, np.array(x, np.float32), bits, q.block, 0, Scale.F32)
    assert set(wanted) <= set(q.unpacked_codes.tolist())
