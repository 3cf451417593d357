"""The Quantized object: properties, sizes, repr, copy and the class itself."""

import gc

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmar
from velmar import Quantized, Scale

SCALES = [Scale.F32, Scale.F16, Scale.Bf16]
WIDTH = {Scale.F32: 4, Scale.F16: 2, Scale.Bf16: 2}


def make(kind, values, scale=Scale.F32, bits=8, block=32, tolerance=0.01):
    if kind == "symmetric":
        return velmar.quantize(values, bits, block, scale=scale)
    if kind == "asymmetric":
        return velmar.asymmetric_quantize(values, bits, block, scale=scale)
    return velmar.adaptive_quantize(values, block, tolerance, scale=scale)


def ref_unpack(data, bits, count):
    acc = int.from_bytes(bytes(data), "little")
    out = []
    for i in range(count):
        v = (acc >> (i * bits)) & ((1 << bits) - 1)
        out.append(v - (1 << bits) if v >> (bits - 1) else v)
    return out


def ref_unpack_adaptive(data, widths, block, n):
    out, off = [], 0
    for b, w in enumerate(widths):
        cnt = min(block, n - b * block)
        m = (cnt * w + 7) // 8
        out += ref_unpack(data[off:off + m], w, cnt)
        off += m
    assert off == len(data)
    return out


def f32_bpe(nbytes, n):
    if n == 0:
        return 0.0
    return float((np.float32(nbytes) * np.float32(8.0)) / np.float32(n))


SAMPLE = (np.sin(np.arange(100, dtype=np.float32)) * 7).astype(np.float32)
KINDS = ["symmetric", "asymmetric", "adaptive"]


# ---------------------------------------------------------------- properties

@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("kind", KINDS)
def test_property_types_and_consistency(kind, scale):
    q = make(kind, SAMPLE, scale, bits=5, block=24)
    nb = 5  # ceil(100 / 24)
    assert q.kind == kind and type(q.kind) is str
    assert q.scale is scale
    assert q.block == 24 and type(q.block) is int
    assert len(q) == 100 and not q.is_empty() and bool(q)
    arrays = {"scales": np.float32, "zero_points": np.float32, "codes": np.uint8, "unpacked_codes": np.int32}
    for name, dt in arrays.items():
        a = getattr(q, name)
        assert type(a) is np.ndarray and a.dtype == np.dtype(dt) and a.dtype.isnative
        assert a.ndim == 1 and a.flags.c_contiguous and a.flags.writeable
    assert len(q.scales) == nb and len(q.unpacked_codes) == 100
    if kind == "symmetric":
        assert len(q.zero_points) == 0
    else:
        assert len(q.zero_points) == nb
    if kind == "adaptive":
        assert q.bits is None
        bb = q.block_bits
        assert type(bb) is np.ndarray and bb.dtype == np.uint32 and bb.ndim == 1 and len(bb) == nb
        assert all(2 <= w <= 8 for w in bb.tolist())
        assert q.unpacked_codes.tolist() == ref_unpack_adaptive(q.codes, bb.tolist(), 24, 100)
    else:
        assert q.bits == 5 and type(q.bits) is int
        assert q.block_bits is None
        assert len(q.codes) == (100 * 5 + 7) // 8
        assert q.unpacked_codes.tolist() == ref_unpack(q.codes, 5, 100)
    k = len(q.block_bits) if kind == "adaptive" else 0
    assert q.nbytes == len(q.codes) + WIDTH[scale] * (len(q.scales) + len(q.zero_points)) + 4 * k
    assert type(q.bits_per_element) is float
    assert q.bits_per_element == f32_bpe(q.nbytes, 100)


@pytest.mark.parametrize("kind", KINDS)
def test_arrays_are_fresh_and_owned(kind):
    q = make(kind, SAMPLE, Scale.F16)
    for name in ("scales", "zero_points", "codes", "unpacked_codes") + (("block_bits",) if kind == "adaptive" else ()):
        a, b = getattr(q, name), getattr(q, name)
        assert a is not b and not np.shares_memory(a, b)
        keep = b.copy()
        if len(a):
            a[:] = a.dtype.type(1) if a.dtype.kind != "f" else np.float32(123.5)
        assert getattr(q, name).tobytes() == keep.tobytes()
    kept = q.codes
    expect = kept.tobytes()
    del q
    gc.collect()
    assert kept.tobytes() == expect  # survives its object


def test_scales_widened_from_storage():
    v = np.array([65504.0 * 127, 1.0, 3.0, -1.00390625 * 127], dtype=np.float32)
    f32 = velmar.quantize(v, 8, 1).scales
    f16 = velmar.quantize(v, 8, 1, scale=Scale.F16).scales
    bf16 = velmar.quantize(v, 8, 1, scale=Scale.Bf16).scales
    assert f16.tolist() == f32.astype(np.float16).astype(np.float32).tolist()
    assert (bf16.view(np.uint32) & 0xFFFF).tolist() == [0, 0, 0, 0]
    assert np.all(np.abs(bf16 - f32) <= np.abs(f32) * 2.0**-8)


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize(
    "kind, bits, block",
    [("symmetric", 5, 32), ("symmetric", 16, 1), ("asymmetric", 3, 7), ("adaptive", None, 32), ("adaptive", None, 1)],
)
def test_empty_objects(kind, bits, block, scale):
    q = make(kind, [], scale, bits=bits or 8, block=block)
    assert len(q) == 0 and q.is_empty() is True and bool(q) is False
    assert q.block == block and q.bits == bits and q.scale is scale
    for name, dt in (("scales", np.float32), ("zero_points", np.float32), ("codes", np.uint8),
                     ("unpacked_codes", np.int32)):
        a = getattr(q, name)
        assert type(a) is np.ndarray and a.dtype == dt and a.shape == (0,)
    if kind == "adaptive":
        assert q.block_bits.dtype == np.uint32 and q.block_bits.shape == (0,)
    else:
        assert q.block_bits is None
    assert q.nbytes == 0
    assert q.bits_per_element == 0.0 and type(q.bits_per_element) is float


# ---------------------------------------------------------------- sizes

@pytest.mark.parametrize(
    "bits, n, scale, nbytes, bpe",
    [
        (8, 64, Scale.F32, 72, 9.0),
        (8, 64, Scale.F16, 68, 8.5),
        (8, 64, Scale.Bf16, 68, 8.5),
        (4, 100, Scale.F32, 66, 5.28000020980835),
        (3, 1, Scale.F32, 5, 40.0),
        (16, 33, Scale.F16, 70, 16.969696044921875),
    ],
)
def test_symmetric_sizes(bits, n, scale, nbytes, bpe):
    q = velmar.quantize(np.ones(n, dtype=np.float32), bits, 32, scale=scale)
    assert q.nbytes == nbytes
    assert q.bits_per_element == bpe


def test_bits_per_element_is_single_precision():
    q = velmar.quantize(np.ones(100, dtype=np.float32), 4, 32)
    assert q.bits_per_element != 66 * 8 / 100
    assert q.bits_per_element == float(np.float32(528) / np.float32(100))


def test_adaptive_nbytes_counts_block_bits():
    v = np.concatenate([np.zeros(8), np.linspace(0, 1, 8), np.linspace(-50, 50, 5)]).astype(np.float32)
    q = velmar.adaptive_quantize(v, 8, 0.01, scale=Scale.F16)
    assert len(q.block_bits) == 3
    assert q.nbytes == len(q.codes) + 2 * 3 + 2 * 3 + 12
    assert len(q.codes) == sum((min(8, 21 - 8 * b) * w + 7) // 8 for b, w in enumerate(q.block_bits.tolist()))


@settings(max_examples=60, deadline=None)
@given(
    st.sampled_from(KINDS),
    st.integers(0, 120),
    st.integers(2, 16),
    st.integers(1, 50),
    st.sampled_from(SCALES),
    st.integers(0, 2**32 - 1),
)
def test_sizes_and_unpacking_random(kind, n, bits, block, scale, seed):
    rng = np.random.default_rng(seed)
    v = (rng.standard_normal(n) * rng.choice([1e-3, 1.0, 1e3])).astype(np.float32)
    q = make(kind, v, scale, bits=bits, block=block, tolerance=0.05)
    nb = -(-n // block)
    assert len(q.scales) == nb
    k = len(q.block_bits) if kind == "adaptive" else 0
    assert q.nbytes == len(q.codes) + WIDTH[scale] * (len(q.scales) + len(q.zero_points)) + 4 * k
    assert q.bits_per_element == f32_bpe(q.nbytes, n)
    if kind == "adaptive":
        assert q.unpacked_codes.tolist() == ref_unpack_adaptive(q.codes, q.block_bits.tolist(), block, n)
    else:
        assert q.unpacked_codes.tolist() == ref_unpack(q.codes, bits, n)


# ---------------------------------------------------------------- repr

@pytest.mark.parametrize(
    "q, text",
    [
        (lambda: velmar.asymmetric_quantize(np.arange(100.0), 4, 32, scale=Scale.F16),
         "Quantized(kind='asymmetric', bits=4, block=32, len=100, scale=Scale.F16)"),
        (lambda: velmar.adaptive_quantize(np.arange(10.0), 64, scale=Scale.Bf16),
         "Quantized(kind='adaptive', block=64, len=10, scale=Scale.Bf16)"),
        (lambda: velmar.quantize([], 5),
         "Quantized(kind='symmetric', bits=5, block=32, len=0, scale=Scale.F32)"),
        (lambda: velmar.quantize_tensor(np.arange(7.0), 16),
         "Quantized(kind='symmetric', bits=16, block=7, len=7, scale=Scale.F32)"),
        (lambda: velmar.quantize([1.0], 2, 2**64 - 1, scale=Scale.Bf16),
         "Quantized(kind='symmetric', bits=2, block=18446744073709551615, len=1, scale=Scale.Bf16)"),
        (lambda: velmar.adaptive_quantize([], 1),
         "Quantized(kind='adaptive', block=1, len=0, scale=Scale.F32)"),
    ],
)
def test_repr(q, text):
    obj = q()
    assert repr(obj) == text
    assert str(obj) == text


# ---------------------------------------------------------------- copy

@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("kind", KINDS)
def test_copy_is_equal_and_independent(kind, scale):
    q = make(kind, SAMPLE, scale, bits=6, block=16)
    c = q.copy()
    assert type(c) is Quantized and c is not q
    assert (c.kind, c.bits, c.block, len(c), c.nbytes, repr(c)) == (q.kind, q.bits, q.block, len(q), q.nbytes, repr(q))
    assert c.scale is q.scale
    for name in ("scales", "zero_points", "codes", "unpacked_codes"):
        assert getattr(c, name).tobytes() == getattr(q, name).tobytes()
    before = {n: getattr(q, n).tobytes() for n in ("scales", "zero_points", "codes")}
    kind_before = q.kind
    target = (SAMPLE[::-1] * 3).copy()
    assert velmar.refine(c, target) is c
    assert {n: getattr(q, n).tobytes() for n in before} == before
    assert q.kind == kind_before
    if kind == "symmetric":
        assert c.kind == "asymmetric" and len(c.zero_points) == len(c.scales)


# ---------------------------------------------------------------- the class

def test_class_shape():
    assert Quantized.__module__ == "velmar" and Quantized.__name__ == "Quantized"
    assert Quantized.__bases__ == (object,)
    assert not Quantized.__doc__
    with pytest.raises(TypeError):
        Quantized()
    with pytest.raises(TypeError):
        type("Sub", (Quantized,), {})


@pytest.mark.parametrize("name", ["copy", "is_empty"])
def test_method_signatures_and_arity(name):
    assert getattr(Quantized, name).__text_signature__ == "($self)"
    q = velmar.quantize([1.0])
    with pytest.raises(TypeError):
        getattr(q, name)(1)
    with pytest.raises(TypeError):
        getattr(q, name)(x=1)


@pytest.mark.parametrize("name", ["kind", "scale", "bits", "block", "scales", "zero_points", "codes",
                                  "unpacked_codes", "block_bits", "nbytes", "bits_per_element"])
def test_properties_read_only(name):
    q = velmar.quantize([1.0, 2.0])
    assert not callable(Quantized.__dict__[name])
    assert not Quantized.__dict__[name].__doc__
    before = getattr(q, name)
    with pytest.raises(AttributeError):
        setattr(q, name, before)
    with pytest.raises(AttributeError):
        delattr(q, name)


def test_identity_semantics_and_no_sequence_protocol():
    q = velmar.quantize([1.0, 2.0, 3.0])
    c = q.copy()
    assert q == q and q != c and not (q == c)
    assert hash(q) == object.__hash__(q) and hash(c) != hash(q)
    with pytest.raises(TypeError):
        q[0]
    with pytest.raises(TypeError):
        iter(q)
    with pytest.raises(TypeError):
        q < c
    assert len(q) == 3
