"""dequantize and dot on tensors rebuilt from hand-packed states, so the expected
floats follow from the bytes written here alone, against the float32 reference."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import float_reference as ref
import velmar
from float_reference import INF, NAN, SCALES, same_f32
from velmar import Scale


def tensor(kind, codes, scales, zps=(), bits=8, block=4, scale=Scale.F32, widths=()):
    """A Quantized holding exactly these codes, and the widened scales and zero points it holds."""
    if kind == "adaptive":
        data = b"".join(ref.pack(codes[i * block:(i + 1) * block], w) for i, w in enumerate(widths))
        bits = 0
    else:
        data = ref.pack(codes, bits)
    s, z = ref.encode(scales, scale), ref.encode(zps, scale) if kind != "symmetric" else b""
    widths = tuple(widths) if kind == "adaptive" else ()
    q = velmar.Quantized._from_pickle((1, kind, scale, block, len(codes), data, bits, widths, s, z))
    return q, ref.widen(s, scale), ref.widen(z, scale)


@st.composite
def tensors(draw):
    kind, scale = draw(st.sampled_from(["symmetric", "asymmetric", "adaptive"])), draw(st.sampled_from(SCALES))
    bits, n, block = draw(st.integers(2, 16)), draw(st.integers(0, 80)), draw(st.integers(1, 40))
    nb = -(-n // block)
    widths = [draw(st.integers(2, 8)) for _ in range(nb)] if kind == "adaptive" else []
    w = lambda i: widths[i // block] if widths else bits
    codes = [draw(st.integers(-(1 << (w(i) - 1)), (1 << (w(i) - 1)) - 1)) for i in range(n)]
    finite = st.floats(-1e3, 1e3, width=32)
    scales = [draw(st.one_of(finite, st.sampled_from([0.0, -0.0, INF, NAN, 1e-40]))) for _ in range(nb)]
    zps = [draw(finite) for _ in range(nb)]
    x = [draw(st.one_of(finite, st.sampled_from([NAN, INF, 1e30])) if i % 17 == 0 else finite) for i in range(n)]
    q, s, z = tensor(kind, codes, scales, zps, bits, block, scale, widths)
    return q, kind, bits, codes, s, z, block, np.array(x, np.float32)


@settings(max_examples=400)
@given(tensors())
def test_decode_and_dot_match_reference(t):
    q, kind, bits, codes, s, z, block, x = t
    want = ref.decode(kind, codes, s, z, block)
    got = q.dequantize()
    assert got.dtype == np.float32 and got.flags.owndata and got.flags.writeable
    same_f32(got, want)
    out = np.full(len(q), 7, np.float32)
    assert q.dequantize(out=out) is out
    same_f32(out, want)
    d = q.dot(x)
    assert type(d) is float
    same_f32(d, ref.dot(kind, bits, codes, s, z, block, x))
    assert q.dot(x.tolist()) == d or math.isnan(d)



@pytest.mark.parametrize("scale", [Scale.F16, Scale.Bf16])
@pytest.mark.parametrize("kind, bits, block", [("symmetric", 4, 1), ("asymmetric", 3, 3), ("symmetric", 5, 100)])
def test_long_rows_with_half_precision_parameters(kind, bits, block, scale):
    # More than 64 Ki values: the parameters are widened a piece of the row at a time.
    x = np.random.default_rng(block).standard_normal(200_003).astype(np.float32)
    quantize = velmar.quantize if kind == "symmetric" else velmar.asymmetric_quantize
    q = quantize(x, bits, block, scale=scale)
    same_f32(q.dequantize(), ref.decode(kind, q.unpacked_codes, q.scales, q.zero_points, block))
    # A long plain float32 array is read where it is, a strided one copied: the same values.
    strided = np.repeat(x, 2)[::2]
    assert quantize(strided, bits, block, scale=scale).__getstate__() == q.__getstate__()
    assert q.dot(x) == q.dot(strided)

# kind, codes, scales, zero points, bits, block, x, dequantized, dot
EXAMPLES = [
    ("symmetric", [-4, 1, 2, 3, -1], [0.5, 2.0, -8.0], (), 4, 2, [1] * 5, [-2.0, 0.5, 4.0, 6.0, 8.0], 16.5),
    ("symmetric", [1, 2], [0.5], (), 8, 32, [2.0, 3.0], [0.5, 1.0], 4.0),
    ("symmetric", [0, 0, 0], [1.0], (), 5, 4, [-1.0] * 3, [0.0] * 3, 0.0),
    ("asymmetric", [3], [2.0], [0.5], 4, 8, [1.5], [5.0], 7.5),
    ("asymmetric", [-128], [0.1], [-128.0], 8, 8, [1.0], [0.0], 0.0),
    ("adaptive", [0, 0, 0], [1.0], [0.0], 0, 4, [-1.0] * 3, [0.0] * 3, -0.0),  # adaptive sums from -0.0
    ("symmetric", [0, 0, 1, 1], [INF, 1.0], (), 8, 2, [1.0] * 4, [NAN, NAN, 1.0, 1.0], NAN),
    ("symmetric", [], [], (), 3, 32, [], [], 0.0),
    ("adaptive", [], [], [], 0, 32, [], [], 0.0),
]


@pytest.mark.parametrize("kind, codes, scales, zps, bits, block, x, want, d", EXAMPLES)
def test_examples(kind, codes, scales, zps, bits, block, x, want, d):
    q = tensor(kind, codes, scales, zps, bits, block, widths=[2] * len(scales))[0]
    same_f32(q.dequantize(), want)
    same_f32(q.dot(x), d)


def test_out_is_written_only_when_it_fits():
    q = tensor("symmetric", [1, 2, 3, 4], [1.0, 0.5], bits=8, block=2)[0]
    buf = np.full(8, 7.0, np.float32)
    assert q.dequantize(out=buf[2:6]) is not None and buf.tolist() == [7, 7, 1, 2, 1.5, 2, 7, 7]
    for n in (3, 5, 0):
        out = np.full(n, 7.0, np.float32)
        with pytest.raises(velmar.LengthMismatchError) as ei:
            q.dequantize(out)
        assert (ei.value.expected, ei.value.got) == (4, n) and out.tolist() == [7.0] * n
    a = q.dequantize()
    a[:] = 99
    assert q.dequantize().tolist() == [1, 2, 1.5, 2]
