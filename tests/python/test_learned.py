"""fit_scale_and_zero_point and refine against the reference's least-squares fit."""

import numpy as np
import pytest
from hypothesis import given, strategies as st

import float_reference as ref
import velmar
from float_reference import NAN, SCALES, same_f32
from velmar import Scale


@pytest.mark.parametrize("values, codes, want", [
    ([], [], (1.0, 0.0)), ([1.0, 3.0], [0, 1], (2.0, -0.5)), ([2.0, 4.0, 6.0], np.array([1, 2, 3], np.int8), (2.0, -0.0)),
    ([1.0, 2.0, 3.0], [5, 5, 5], (1.0, 0.0)), ([7.0, 7.0], (0, 1), (1.0, 0.0)), ([3.0, 1.0], [0, 1], (-2.0, 1.5)),
    ([1.0, 3.0, 5.0], np.array([9, 0, 9, 1, 9, 2], np.int64)[1::2], (2.0, -0.5)), ([1.0, 3.0], [False, True], (2.0, -0.5)),
    ([1.0, NAN, 3.0], [0, 1, 2], (NAN, NAN)),
])
def test_fit_examples(values, codes, want):
    r = velmar.fit_scale_and_zero_point(values, codes)
    assert type(r) is tuple and [type(v) for v in r] == [float, float]
    same_f32(r, want)


@given(st.lists(st.tuples(st.one_of(st.floats(-100, 100, width=32), st.floats(width=32)),
                          st.one_of(st.integers(-8, 7), st.integers(-(2**31), 2**31 - 1))), max_size=40))
def test_fit_matches_reference(pairs):
    values, codes = [p[0] for p in pairs], [p[1] for p in pairs]
    got = velmar.fit_scale_and_zero_point(np.array(values, np.float32), np.array(codes, np.int64))
    same_f32(got, ref.fit(values, codes))
    assert velmar.fit_scale_and_zero_point(values, codes) == got or np.isnan(got).any()


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("make", [
    lambda x, s: velmar.quantize(x, 4, 16, scale=s), lambda x, s: velmar.quantize(x, 8, 32, scale=s),
    lambda x, s: velmar.quantize_tensor(x, 6, scale=s), lambda x, s: velmar.asymmetric_quantize(x, 3, 10, scale=s),
    lambda x, s: velmar.adaptive_quantize(x, 12, 0.05, scale=s)])
def test_refine_fits_each_block(make, scale):
    x = (np.random.default_rng(4).standard_normal(90) * 2).astype(np.float32)
    x[58] = NAN  # in a tail of the quantizers' grouping, so only the fit sees it
    q = make(x, scale)
    before, codes = q.__getstate__(), q.unpacked_codes.tolist()
    fits = [ref.fit(x[i:i + q.block], codes[i:i + q.block]) for i in range(0, 90, q.block)]
    assert velmar.refine(q, x) is q
    after = q.__getstate__()
    assert after[1] == ("adaptive" if before[1] == "adaptive" else "asymmetric") and after[2:8] == before[2:8]
    same_f32(q.scales, ref.stored([f[0] for f in fits], scale))
    same_f32(q.zero_points, ref.stored([f[1] for f in fits], scale))
    velmar.refine(q, x.tolist())
    assert q.__getstate__() == after


def test_refine_leaves_an_object_alone_on_bad_values_and_empty_ones_as_they_are():
    q = velmar.adaptive_quantize(np.arange(10, dtype=np.float32), 4)
    st = q.__getstate__()
    for bad in (np.ones(9, np.float32), [], "abc"):
        with pytest.raises((velmar.LengthMismatchError, TypeError)):
            velmar.refine(q, bad)
        assert q.__getstate__() == st
    for e in (velmar.quantize([], 5, 7), velmar.adaptive_quantize([], 3, scale=Scale.F16)):
        st = e.__getstate__()
        assert velmar.refine(e, []) is e and e.__getstate__() == st
