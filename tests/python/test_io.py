"""The velmar file (velmar.io) and GGUF (velmar.gguf_io): round trips, the loader's checks, exactness against gguf."""

import argparse
import json
import os
import resource
import signal
import struct
from unittest import mock

import gguf
import ml_dtypes
import numpy as np
import pytest
from gguf import GGMLQuantizationType as GT
from hypothesis import HealthCheck, given, settings, strategies as st

import velmar
from velmar import Scale, Scheme, folders, gguf_io, imatrix, io
from velmar.layout import PARTS
from velmar.tensor import QuantizedTensor, quantize

from conftest import write_gguf
from float_reference import SCALES


def same(a, b):
    """Equal objects: every part's bits, and decoding to the same bits."""
    assert type(a) is type(b)
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    else:
        assert a.__getstate__() == b.__getstate__() and a.dequantize().tobytes() == b.dequantize().tobytes()


@st.composite
def tensors(draw):
    shape = tuple(draw(st.lists(st.integers(0, 9), min_size=1, max_size=3)))
    axis = draw(st.integers(-len(shape), len(shape) - 1))
    block = draw(st.sampled_from([1, 3, 8, 32, 2**64 - 1]))  # any block the quantizers take
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
    v = vector.dequantize().ravel()
    items = {**{f"t.{i}": t for i, t in enumerate(objs)}, "vector": velmar.quantize(v, 5, 7, scale=Scale.Bf16),
             "adaptive vector": velmar.adaptive_quantize(v, 9, 0.01), "bf16": np.ones(3, ml_dtypes.bfloat16),
             "plain": np.arange(6, dtype=np.int16).reshape(2, 3)}
    path = tmp_path / "m.safetensors"
    io.save(path, items, metadata={"origin": "test"})
    loaded = io.load(path)
    assert set(loaded) == set(items)
    for name, obj in items.items():
        same(loaded[name], obj)
        if isinstance(obj, QuantizedTensor):  # the row kernels read whole lines
            codes = loaded[name].parts()["codes"]
            assert codes.size == 0 or codes.ctypes.data % 64 == 0
    with io.File(path) as f:
        assert f.metadata == {"origin": "test"}
    # A later writer's own keys are not the user's metadata.
    path.write_bytes(rewrite(path.read_bytes(), lambda h, idx: h["__metadata__"].__setitem__("velmar.extra", "")))
    with io.File(path) as f:
        assert f.metadata == {"origin": "test"} and set(f) == set(items)
    assert [p for p in os.listdir(tmp_path) if p != "m.safetensors"] == []


def rewrite(raw, change):
    """A saved file's bytes with change(header, index) applied to its JSON header; the index comes parsed.
    What no dict can hold, a key twice, change returns as text to replace: (True for the index, old, new)."""
    n = struct.unpack("<Q", raw[:8])[0]
    header = json.loads(raw[8 : 8 + n])
    index = json.loads(header["__metadata__"]["velmar.tensors"])
    swap = change(header, index)
    edit = (lambda text, in_index: text.replace(*swap[1:], 1) if in_index == swap[0] else text) \
        if isinstance(swap, tuple) else (lambda text, in_index: text)
    header["__metadata__"]["velmar.tensors"] = edit(json.dumps(index), True)
    text = edit(json.dumps(header), False).encode()
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text + raw[8 + n :]


def set_field(field, value, name="w"):
    return lambda h, idx: idx[name].__setitem__(field, value)


HEADER_PROBLEMS = [
    (set_field("kind", "Symmetric"), "tensor 'w': kind"),
    (set_field("bits", 17), "tensor 'w': bits"),
    (set_field("bits", True), "tensor 'w': bits"),
    (set_field("block", 0), "tensor 'w': block"),
    (set_field("scale", "f64"), "tensor 'w': scale"),
    (set_field("scale", ["f16"]), "tensor 'w': scale"),  # found by the fuzzer: unhashable
    (set_field("shape", [2**32, 2**32]), "tensor 'w': shape"),
    (set_field("shape", [-1, 64]), "tensor 'w': shape"),
    (set_field("shape", []), "tensor 'w': shape"),
    (set_field("shape", 5), "tensor 'w': shape"),
    (set_field("shape", [4, 32]), "tensor 'w': codes"),
    (set_field("axis", 2), "tensor 'w': axis"),
    (set_field("dtype", "object"), "tensor 'w': dtype"),
    (set_field("extra", 1), "tensor 'w': extra"),
    (set_field("kind", "adaptive"), "tensor 'w': bits"),
    (set_field("tolerance", -1.0, "a"), "tensor 'a': tolerance"),
    (set_field("tolerance", 0.1), "tensor 'w': tolerance"),
    (set_field("tolerance", 1e-99, "a"), "tensor 'a': tolerance"),  # positive, but 0 as a float32
    (set_field("tolerance", 1e300, "a"), "tensor 'a': tolerance"),
    (set_field("shape", [2**62, 0]), "tensor 'w': shape"),
    (set_field("shape", [2.5, 64]), "tensor 'w': shape"),
    (lambda h, idx: h["__metadata__"].pop("velmar.format"), "velmar.tensors without velmar.format"),
    (set_field("dtype", "float128"), "tensor 'w': dtype"),
    (lambda h, idx: idx.__setitem__("w", [1]), "tensor 'w': description"),
    (lambda h, idx: h.pop("w:zero_points"), "tensor 'w': zero_points"),
    (lambda h, idx: h["w:scales"].update(dtype="BF16"), "tensor 'w': scales"),
    (lambda h, idx: h["w:codes"].update(dtype="F8_E4M3"), "tensor 'w:codes': dtype: element type F8_E4M3"),
    (lambda h, idx: h.__setitem__("w", {"dtype": "U8", "shape": [0], "data_offsets": [0, 0]}), "tensor 'w': name"),
    (lambda h, idx: h["__metadata__"].__setitem__("velmar.format", "2"), "format '2'"),
    (lambda h, idx: [idx.__setitem__("__metadata__", idx.pop("a"))]
     + [h.__setitem__(f"__metadata__:{p}", h.pop(f"a:{p}")) for p in PARTS], "tensor '__metadata__': name"),
    # Keys twice: safetensors and json keep the last silently, another reader may keep the first.
    (lambda h, idx: (True, '"bits": 4', '"bits": 8, "bits": 4'), "velmar.tensors: the key 'bits' appears twice"),
    (lambda h, idx: (False, '"w:scales": ', f'"w:scales": {json.dumps(h["w:scales"])}, "w:scales": '),
     "header: the key 'w:scales' appears twice"),
]


def test_a_failed_save_keeps_the_old_file_and_the_loader_names_the_tensor_and_field_of_each_problem(tmp_path):
    path = tmp_path / "m.safetensors"
    x = np.linspace(-1, 1, 192, dtype=np.float32).reshape(3, 64)
    a = quantize(x, kind="adaptive", block=16)
    io.save(path, {"w": quantize(x, bits=4, scale=Scale.F16), "a": a})
    raw = path.read_bytes()
    with pytest.raises(RuntimeError, match="disk on fire"), \
            mock.patch.object(type(a), "parts", side_effect=RuntimeError("disk on fire")):
        io.save(path, {"w": np.ones(3), "a": a})
    with pytest.raises(ValueError, match="'b' was never written"), io.Writer(path, [("b", "F32", (2,))], {}):
        pass
    # A disk that fills halfway: the error names the output, and nothing is left of the attempt.
    limit, ignored = resource.getrlimit(resource.RLIMIT_FSIZE), signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, limit[1]))
    try:
        for write in (io.save, gguf_io.export):
            with pytest.raises(OSError, match=f"File too large: '{path}'"):
                write(path, {"w": np.ones(1 << 12, np.float32)})
        out = folders.FolderWriter(tmp_path / "f")  # its shards are written inside a temporary folder
        with pytest.raises(OSError, match=f"File too large: '{tmp_path / 'f' / 's'}'"):
            out.shard("s", [("w", "F32", (1 << 12,))], {}).put("w", np.ones(1 << 12, np.float32))
        out.abort()
        for name, given in ((folders.CONFIG, {"config": {"k": "v" * (1 << 14)}}),
                            ("m.safetensors", {"source": str(tmp_path), "others": ["m.safetensors"]})):  # copied
            out = folders.FolderWriter(tmp_path / "f")
            with pytest.raises(OSError, match=f"File too large: '{tmp_path / 'f' / name}'"):
                out.commit(**{"index": None, "config": None, "source": None, "others": [], **given})
            out.abort()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, ignored)
    assert path.read_bytes() == raw and os.listdir(tmp_path) == ["m.safetensors"]
    for change, message in HEADER_PROBLEMS:
        path.write_bytes(rewrite(raw, change))
        with pytest.raises(ValueError, match=message):
            io.load(path)
    # The widths are data: the header alone is fine, reading the tensor is not.
    at = raw.index(a.parts()["widths"].tobytes())
    for width, message in [(9, "tensor 'a': widths"), (2 if raw[at] != 2 else 3, "tensor 'a': codes")]:
        path.write_bytes(raw[:at] + bytes([width]) + raw[at + 1 :])
        with io.File(path) as f, pytest.raises(ValueError, match=message):
            f["a"]
    path.write_bytes(b"\x10" + bytes(30))
    with pytest.raises(ValueError, match="not a safetensors file"):
        io.load(path)
    os.mkfifo(tmp_path / "pipe")  # opened plainly, it would wait for a writer
    for load in (io.load, gguf_io.load):
        with pytest.raises(OSError, match="not a regular file"):
            load(tmp_path / "pipe")


def test_a_write_through_a_link_replaces_the_file_it_points_to(tmp_path):
    (tmp_path / "real").mkdir()
    for write, load in ((io.save, io.load), (gguf_io.export, gguf_io.load)):
        (tmp_path / "out").symlink_to(os.path.join("real", "m"))  # made where it points, then replaced there
        for x in (np.ones(3, np.float32), np.zeros(5, np.float32)):
            write(tmp_path / "out", {"w": x})
            assert (tmp_path / "out").is_symlink() and load(tmp_path / "real" / "m")["w"].tobytes() == x.tobytes()
        assert os.listdir(tmp_path / "real") == ["m"]
        (tmp_path / "out").unlink()
        (tmp_path / "real" / "m").unlink()


def test_save_takes_only_what_load_gives_back(tmp_path):
    path = tmp_path / "m.safetensors"
    x = np.linspace(-1, 1, 64).reshape(2, 32)
    i = (x * 100).astype(np.int16)
    given_and_back = {
        "big": (quantize(x.astype(">f4")), quantize(x.astype(np.float32))),
        "i2": (quantize(i.astype(">i2")), quantize(i)),
        "f8": (quantize(x.astype(ml_dtypes.float8_e5m2)), quantize(x.astype(ml_dtypes.float8_e5m2))),
        "scalar": (np.array(3.0), np.array(3.0)),
        "swapped": (np.arange(3, dtype=">f4"), np.arange(3, dtype=np.float32)),
    }
    io.save(path, {})
    assert io.load(path) == {}  # a header and no data
    io.save(path, {n: given for n, (given, _) in given_and_back.items()})
    loaded = io.load(path)
    for name, (_, back) in given_and_back.items():
        same(loaded[name], back)
    raw = path.read_bytes()
    torch = pytest.importorskip("torch")
    refused = [
        ({"__metadata__": np.ones(2)}, ValueError, "header"),
        ({"w": quantize(x.astype(np.longdouble))}, TypeError, f"quantized from {np.dtype(np.longdouble)}"),
        ({"w": torch.ones(2)}, TypeError, "cannot store a Tensor"),
        ({"w": [1.0]}, TypeError, "cannot store a list"),
        ({1: np.ones(2)}, TypeError, "names are strings"),
        ({"w": np.ones(2, np.complex64)}, TypeError, "complex64"),
        ({"w": quantize(x), "w:codes": x}, ValueError, "same name"),
        ({"w\udc80": x}, ValueError, "not valid Unicode"),  # written, its file could not be read
    ]
    for tensors, error, message in refused:
        with pytest.raises(error, match=message):
            io.save(path, {"ok": x, **tensors, "late": quantize(x)})
        assert path.read_bytes() == raw and os.listdir(tmp_path) == ["m.safetensors"]
    for metadata, message in [({"k": "\ud800"}, "metadata value .* not valid Unicode"),
                              ({"\ud800": "v"}, "metadata key .* not valid Unicode"),
                              ({"k": "x" * io.MAX_HEADER}, "header would take")]:  # written, no reader would take it
        with pytest.raises(ValueError, match=message):
            io.save(path, {}, metadata)
    longest = tmp_path / ("n" * 255)  # its temporary name has to fit as well
    io.save(longest, {"x": x})
    same(io.load(longest)["x"], x)


def test_reading_a_file_that_shrinks_or_by_negative_rows(tmp_path):
    path = tmp_path / "m.safetensors"
    x = np.arange(40, dtype=np.float32).reshape(5, 8)
    io.save(path, {"a": x, "b": x + 100, "q": quantize(x, kind="adaptive"), "r": quantize(x)})
    with io.File(path) as f:
        assert "q" in f and "q:codes" not in f and f.read_rows("b").tobytes() == (x + 100).tobytes()
        for start, stop in [(-2, 1), (-2, 5), (1, -1), (-10, 2), (4, 2), (0, 2**63 - 1), (-1, 2**63 - 1)]:
            assert f.read_rows("b", start, stop).tobytes() == (x + 100)[start:stop].tobytes(), (start, stop)
        with pytest.raises(KeyError):
            f.read_rows("q")
        # The data shrinks under the open file: every read past the end is a ValueError naming file and
        # tensor, never a crash.
        os.truncate(path, path.stat().st_size // 2)
        reads = [lambda: f["b"], lambda: f["r"], lambda: f["q"], lambda: f.read_rows("b", -1)]
        for read in reads:
            with pytest.raises(ValueError, match=f"{path}: tensor '(b|r|q)': .*the file ends inside its data"):
                read()
        # It shrinks between the check of its size and the read.
        with mock.patch.object(io.File, "_span", lambda *_: 2**40), pytest.raises(ValueError, match="ends inside"):
            f["r"]


# ---------------------------------------------------------------- GGUF


def gguf_head(tensors, keys):
    return b"GGUF" + struct.pack("<IQQ", 3, tensors, keys)


def one_tensor(shape, kind):
    """A GGUF file of one zeroed tensor."""
    def write(path):
        slot = gguf_io.Slot("a", shape, kind)
        with gguf_io.Writer(path, [], [slot]) as w:
            w.put(np.zeros(slot.nbytes, np.uint8)) if slot.nbytes else None
    return write


def at_offset(offset):
    """A GGUF file of one float32 whose data the header places ``offset`` bytes into the data."""
    head = gguf_head(1, 0) + struct.pack("<Q", 1) + b"a" + struct.pack("<IQIQ", 1, 1, 0, offset)
    return head + bytes(-len(head) % 32 + 64)


def every_row(path):
    r = gguf_io.Reader(path)
    return [r.rows(t, 0, 2**63) for t in r.tensors]


@pytest.mark.parametrize("read, content, message", [
    # an array of bytes whose count runs past the end: gguf alone would read empties that many times
    (imatrix.load, gguf_head(0, 1) + struct.pack("<Q", 1) + b"k" + struct.pack("<IIQ", 9, 0, 2**62),
     "an array of 4611686018427387904"),
    (gguf_io.load, one_tensor((0, 2**62), GT.Q8_0), "tensor 'a': a shape of .* is too large"),
    (every_row, one_tensor((1, 256), GT.Q8_K), "tensor 'a': gguf cannot decode Q8_K"),
    (gguf_io.load, at_offset(1), "tensor 'a': its data starts at byte 1 of the data, not a multiple of the alignment"),
    (gguf_io.load, at_offset(2**64 - 32), "tensor 'a': the file ends inside its data"),  # read the header as data
])
def test_a_damaged_gguf_is_one_value_error_naming_it(tmp_path, read, content, message):
    path = tmp_path / "m.gguf"
    path.write_bytes(content) if isinstance(content, bytes) else content(path)
    with pytest.raises(ValueError, match=f"{path}: .*{message}"):
        read(path)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.integers(1, 5), blocks=st.integers(1, 4), seed=st.integers(0, 2**32 - 1), zeroed=st.integers(0, 2))
def test_gguf_export_and_import_agree_with_gguf_bit_for_bit(tmp_path, rows, blocks, seed, zeroed):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal((rows, 32 * blocks)) * 10.0 ** rng.integers(-4, 4, (rows, 1))).astype(np.float32)
    x[:zeroed, :32] = 0.0  # all-zero blocks
    q8, q4 = quantize(x, bits=8, scale=Scale.F16), quantize(x, bits=4, scale=Scale.F16)
    path = tmp_path / "m.gguf"
    scalar, longest = np.array(x[0, 0]), "s" * 63  # ggml keeps 63 bytes of a name
    empty = x[:0].reshape(0, 1, 1, x.shape[1])  # of four dimensions, the most ggml takes
    # An empty tensor last: its slot passed already.
    gguf_io.export(path, {"q8": q8, "q4": q4, longest: scalar, "f": x, "e": empty})
    reader = gguf.GGUFReader(path)
    data = {t.name: t for t in reader.tensors}
    assert data[longest].data.shape == ()  # gguf reads a scalar back as one, as it writes one
    # as many Q8_0 values as Q4_0 ones: the first type
    assert [reader.fields[k].contents() for k in ("general.file_type", "general.quantization_version")] == [7, 2]
    # Q8_0: gguf's own quantizer gives the same bytes but for the scale of all-zero blocks.
    ours, theirs = np.array(data["q8"].data).reshape(-1, 34), gguf.quants.quantize(x, GT.Q8_0).reshape(-1, 34)
    zero = ~x.reshape(-1, 32).any(axis=1)
    assert np.array_equal(ours[:, 2:], theirs[:, 2:]) and np.array_equal(ours[~zero], theirs[~zero])
    back = gguf_io.load(path)
    same(back["f"], x)
    same(back["e"], empty)
    same(back[longest], scalar)
    for name, q, kind in (("q8", q8, GT.Q8_0), ("q4", q4, GT.Q4_0)):
        assert data[name].tensor_type == kind
        assert gguf.quants.dequantize(np.array(data[name].data), kind).tobytes() == q.dequantize().tobytes()
        same(back[name], q)
        # Import of what gguf quantized: decodes to what gguf decodes.
        theirs = gguf.quants.quantize(x, kind)
        assert gguf_io.from_blocks(theirs, x.shape, kind).dequantize().tobytes() == gguf.quants.dequantize(
            theirs, kind).tobytes()


def test_gguf_refuses_inexact_schemes_unless_asked_to_write_them_decoded(tmp_path):
    x = np.linspace(-1, 1, 4096, dtype=np.float32).reshape(64, 64)
    for t in (quantize(x, bits=8), quantize(x, bits=5, scale=Scale.F16), quantize(x, bits=8, scale=Scale.F16, axis=0),
              quantize(x[:, :40], bits=8, scale=Scale.F16), quantize(np.ones((256, 4)), kind="q4_k", axis=0)):
        with pytest.raises(ValueError, match="'w'.*no GGUF type"):
            gguf_io.export(tmp_path / "m.gguf", {"w": t})
    for write, objs, kw, error, message in [
        (gguf_io.export, {"w": x}, {"arch": 5}, TypeError, "arch is a string"),  # was a number in the file
        (gguf_io.export, {"w": x}, {"arch": None}, TypeError, "arch is a string"),
        (gguf_io.export, {"w\udc80": x}, {}, ValueError, "tensor name .* not valid Unicode"),
        (gguf_io.export, {"x": x, "é" * 32: x}, {}, ValueError, "tensor name 'é{32}': 64 bytes"),  # ggml cuts it
        (gguf_io.export, {"x": x.reshape(1, 1, 1, 64, 64), "y": x}, {}, ValueError, "'x': 5 dimensions"),
        (gguf_io.export, [("w", x)], {}, TypeError, "mapping"),
        (io.save, [("w", x)], {}, TypeError, "mapping"),
    ]:
        with pytest.raises(error, match=message):
            write(tmp_path / "m.gguf", objs, **kw)
    assert os.listdir(tmp_path) == []
    t = quantize(x, kind="asymmetric", bits=4)
    gguf_io.export(tmp_path / "m.gguf", {"w": t}, fallback="f16")
    assert np.array_equal(gguf_io.load(tmp_path / "m.gguf")["w"], t.dequantize().astype(np.float16))


def test_big_endian_gguf_reads_as_its_little_endian_twin_or_is_refused(tmp_path, monkeypatch):
    from gguf.scripts.gguf_convert_endian import convert_byteorder

    x = np.random.default_rng(5).standard_normal((3, 64)).astype(np.float32)
    objects = {"q8": quantize(x, bits=8, scale=Scale.F16), "q4": quantize(x, bits=4, scale=Scale.F16), "f": x,
               "h": x.astype(np.float16), "b": x.astype(ml_dtypes.bfloat16)}
    little, big = tmp_path / "le.gguf", tmp_path / "be.gguf"
    gguf_io.export(little, objects)
    big.write_bytes(little.read_bytes())
    monkeypatch.setattr("builtins.input", lambda *_: "YES")
    reader = gguf.GGUFReader(big, "r+")
    convert_byteorder(reader, argparse.Namespace(order="big", dry_run=False))
    reader.data.flush()
    assert gguf.GGUFReader(big).byte_order == "S" and big.read_bytes() != little.read_bytes()
    for (name, a), b in zip(gguf_io.load(little).items(), gguf_io.load(big).values()):
        same(a, b)
        same(b, objects[name])
    # Blocks whose fields velmar does not know.
    write_gguf(big, {"q5": (gguf.quants.quantize(x, GT.Q5_0), GT.Q5_0)}, "x", endianess=gguf.GGUFEndian.BIG)
    with pytest.raises(ValueError, match="'q5': a big-endian file of Q5_0 blocks"):
        gguf_io.load(big)
