"""The velmar file (velmar.io) and GGUF (velmar.gguf_io): round trips, the loader's checks, exactness against gguf."""

import json
import os
import struct

import gguf
import ml_dtypes
import numpy as np
import pytest
from gguf import GGMLQuantizationType as GT
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmar
from velmar import Scale, Scheme, gguf_io, io
from velmar.tensor import quantize

SCALES = [Scale.F32, Scale.F16, Scale.Bf16]


def same(a, b):
    """Equal objects: every part's bits, and decoding to the same bits."""
    assert type(a) is type(b)
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        return
    assert a.__getstate__() == b.__getstate__()
    assert a.dequantize().tobytes() == b.dequantize().tobytes()


@st.composite
def tensors(draw):
    shape = tuple(draw(st.lists(st.integers(0, 9), min_size=1, max_size=3)))
    axis = draw(st.integers(-len(shape), len(shape) - 1))
    block = draw(st.sampled_from([1, 3, 8, 32]))
    kind = draw(st.sampled_from(["symmetric", "asymmetric", "adaptive"]))
    scheme = (Scheme.adaptive(block, draw(st.sampled_from([0.5, 0.01, 1e-4]))) if kind == "adaptive"
              else getattr(Scheme, kind)(draw(st.integers(2, 16)), block))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 3, size=shape)
    dtype = draw(st.sampled_from([np.float32, np.float16, ml_dtypes.bfloat16]))
    return quantize(x.astype(dtype), scheme, scale=draw(st.sampled_from(SCALES)), axis=axis)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(objs=st.lists(tensors(), min_size=1, max_size=3), vector=tensors())
def test_save_then_load_gives_back_every_bit(tmp_path, objs, vector):
    items = {f"t.{i}": t for i, t in enumerate(objs)}
    items["vector"] = velmar.quantize(vector.dequantize().ravel(), 5, 7, scale=Scale.Bf16)
    items["adaptive vector"] = velmar.adaptive_quantize(vector.dequantize().ravel(), 9, 0.01)
    items["plain"] = np.arange(6, dtype=np.int16).reshape(2, 3)
    items["bf16"] = np.ones(3, ml_dtypes.bfloat16)
    path = tmp_path / "m.safetensors"
    io.save(path, items, metadata={"origin": "test"})
    loaded = io.load(path)
    assert set(loaded) == set(items)
    for name, obj in items.items():
        same(loaded[name], obj)
    with io.File(path) as f:  # lazily, one tensor at a time
        assert f.metadata == {"origin": "test"}
        same(f["t.0"], objs[0])
    assert [p for p in os.listdir(tmp_path) if p != "m.safetensors"] == []


def rewrite(path, change):
    """Apply change(header) to a saved file's JSON header; the index comes as a parsed dict."""
    raw = path.read_bytes()
    n = struct.unpack("<Q", raw[:8])[0]
    header = json.loads(raw[8 : 8 + n])
    index = json.loads(header["__metadata__"]["velmar.tensors"])
    change(header, index)
    header["__metadata__"]["velmar.tensors"] = json.dumps(index)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    path.write_bytes(struct.pack("<Q", len(text)) + text + raw[8 + n :])


def set_field(field, value, name="w"):
    return lambda h, idx: idx[name].__setitem__(field, value)


def set_part(part, **kv):
    return lambda h, idx: h[f"w:{part}"].update(kv)


@pytest.mark.parametrize("change, field", [
    (set_field("kind", "Symmetric"), "kind"),
    (set_field("bits", 17), "bits"),
    (set_field("bits", True), "bits"),
    (set_field("block", 0), "block"),
    (set_field("scale", "f64"), "scale"),
    (set_field("scale", ["f16"]), "scale"),  # found by the fuzzer: unhashable
    (set_field("shape", [2**32, 2**32]), "shape"),
    (set_field("shape", [-1, 64]), "shape"),
    (set_field("shape", []), "shape"),
    (set_field("shape", 5), "shape"),
    (set_field("shape", [4, 32]), "codes"),
    (set_field("axis", 2), "axis"),
    (set_field("dtype", "object"), "dtype"),
    (set_field("extra", 1), "extra"),
    (set_field("kind", "adaptive"), "bits"),
    (set_field("tolerance", -1.0, "a"), "'a': tolerance"),
    (set_field("tolerance", 0.1), "tolerance"),
    (lambda h, idx: idx.__setitem__("w", [1]), "description"),
    (lambda h, idx: h.pop("w:zero_points"), "zero_points"),
    (set_part("scales", dtype="BF16"), "scales"),
    (lambda h, idx: h.__setitem__("w", {"dtype": "U8", "shape": [0], "data_offsets": [0, 0]}), "name"),
])
def test_the_loader_names_the_tensor_and_field_of_each_problem(tmp_path, change, field):
    path = tmp_path / "m.safetensors"
    x = np.ones((3, 64), np.float32)
    io.save(path, {"w": quantize(x, bits=4, scale=Scale.F16), "a": quantize(x, kind="adaptive")})
    rewrite(path, change)
    with pytest.raises(ValueError) as e:
        io.load(path)
    assert "tensor " + (field if field.startswith("'") else f"'w': {field}") in str(e.value)


def test_the_loader_checks_adaptive_widths_and_refuses_unknown_versions(tmp_path):
    path = tmp_path / "a.safetensors"
    t = quantize(np.linspace(-1, 1, 100, dtype=np.float32).reshape(2, 50), kind="adaptive", block=16)
    io.save(path, {"w": t})
    raw = bytearray(path.read_bytes())
    widths = t.parts()["widths"].tobytes()
    at = raw.index(widths)
    raw[at] = 9  # a width beyond 8 bits
    path.write_bytes(bytes(raw))
    with io.File(path) as f:  # the header alone is fine
        with pytest.raises(ValueError, match="tensor 'w': widths"):
            f["w"]
    raw[at] = 2 if widths[0] != 2 else 3  # a valid width the codes do not match
    path.write_bytes(bytes(raw))
    with pytest.raises(ValueError, match="tensor 'w': codes"):
        io.load(path)
    rewrite(path, lambda h, idx: h["__metadata__"].__setitem__("velmar.format", "2"))
    with pytest.raises(ValueError, match="format '2'"):
        io.load(path)
    path.write_bytes(b"\x10" + bytes(30))
    with pytest.raises(ValueError, match="not a safetensors file"):
        io.load(path)


class Exploding:
    """A tensor whose parts fail halfway through a save."""

    def __init__(self, t):
        self.t = t
        for name in ("shape", "axis", "scheme", "scale", "dtype"):
            setattr(self, name, getattr(t, name))

    def parts(self):
        raise RuntimeError("disk on fire")


def test_a_failed_save_leaves_the_previous_file_and_no_partial_one(tmp_path):
    path = tmp_path / "m.safetensors"
    t = quantize(np.ones((2, 40), np.float32))
    io.save(path, {"a": t})
    before = path.read_bytes()
    with pytest.raises(RuntimeError):
        io.save(path, {"a": t, "b": Exploding(t)})
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["m.safetensors"]


# ---------------------------------------------------------------- GGUF


@st.composite
def gguf_arrays(draw):
    rows = draw(st.integers(1, 5))
    blocks = draw(st.integers(1, 4))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = (rng.standard_normal((rows, 32 * blocks)) * 10.0 ** rng.integers(-4, 4, (rows, 1))).astype(np.float32)
    if draw(st.booleans()):
        x[0, :32] = 0.0  # an all-zero block
    return x


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(x=gguf_arrays())
def test_gguf_export_and_import_agree_with_gguf_bit_for_bit(tmp_path, x):
    q8 = quantize(x, bits=8, scale=Scale.F16)
    q4 = quantize(x, bits=4, scale=Scale.F16)
    path = tmp_path / "m.gguf"
    gguf_io.export(path, {"q8": q8, "q4": q4, "f": x})
    data = {t.name: t for t in gguf.GGUFReader(path).tensors}
    assert (data["q8"].tensor_type, data["q4"].tensor_type) == (GT.Q8_0, GT.Q4_0)
    # Q8_0: gguf's own quantizer gives the same bytes but for the scale of all-zero blocks.
    ours, theirs = np.array(data["q8"].data).reshape(-1, 34), gguf.quants.quantize(x, GT.Q8_0).reshape(-1, 34)
    zero = ~x.reshape(-1, 32).any(axis=1)
    assert np.array_equal(ours[:, 2:], theirs[:, 2:]) and np.array_equal(ours[~zero], theirs[~zero])
    for name, q in (("q8", q8), ("q4", q4)):
        decoded = gguf.quants.dequantize(np.array(data[name].data), data[name].tensor_type)
        assert decoded.tobytes() == q.dequantize().tobytes()
    back = gguf_io.load(path)
    same(back["q8"], q8), same(back["q4"], q4), same(back["f"], x)
    # Import of what gguf quantized: decodes to what gguf decodes.
    for kind in (GT.Q8_0, GT.Q4_0):
        blocks = gguf.quants.quantize(x, kind)
        imported = gguf_io.from_blocks(blocks, x.shape, kind)
        assert imported.dequantize().tobytes() == gguf.quants.dequantize(blocks, kind).tobytes()


def test_gguf_refuses_inexact_schemes_unless_asked_to_write_them_decoded(tmp_path):
    x = np.linspace(-1, 1, 128, dtype=np.float32).reshape(2, 64)
    for t in (quantize(x, bits=8), quantize(x, bits=5, scale=Scale.F16), quantize(x, bits=8, scale=Scale.F16, axis=0),
              quantize(x[:, :40], bits=8, scale=Scale.F16)):
        with pytest.raises(ValueError, match="'w'.*no GGUF type"):
            gguf_io.export(tmp_path / "m.gguf", {"w": t})
    assert os.listdir(tmp_path) == []
    t = quantize(x, kind="asymmetric", bits=4)
    gguf_io.export(tmp_path / "m.gguf", {"w": t}, fallback="f16")
    assert np.array_equal(gguf_io.load(tmp_path / "m.gguf")["w"], t.dequantize().astype(np.float16))
