"""The velmar codec: the error bound, velmar's own decoding, configurations, corrupt chunks, zarr and Dask."""

import asyncio
import os
import importlib
import importlib.metadata
import importlib.util
import io
import json
import pathlib
import pickle
import struct
import tomllib
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")

import conftest  # noqa: E402
import velmar  # noqa: E402
from velmar import Scale, Scheme, codecs  # noqa: E402
from velmar.zarr3 import VelmarCodec  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
SPECIALS = [np.nan, np.inf, -np.inf, np.float32(np.nan) * -1, 3e38, -3e38, 1e-45, 0.0, -0.0]


@st.composite
def arrays(draw):
    shape = tuple(draw(st.lists(st.integers(1, 24), min_size=1, max_size=3)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    x = (rng.standard_normal(shape) * 10.0 ** draw(st.integers(-4, 4)) + draw(st.sampled_from([0, 1, -1e3, 1e6])))
    x = x.astype(np.float32)
    for flat, special in draw(st.lists(st.tuples(st.integers(0, x.size - 1), st.sampled_from(SPECIALS)), max_size=6)):
        x.reshape(-1)[flat] = special
    chunks = tuple(draw(st.integers(1, n)) for n in shape)
    return x, chunks


def finite_error_and_kept_bits(x, decoded):
    finite = np.isfinite(x)
    err = np.max(np.abs(decoded[finite].astype(np.float64) - x[finite]), initial=0.0)
    return err, decoded[~finite].view(np.uint32).tolist() == x[~finite].view(np.uint32).tolist()


@settings(max_examples=40)
@given(arrays(), st.floats(1e-7, 1e3), st.sampled_from(["f32", "f16", "bf16"]),
       st.integers(1, 130) | st.integers(4097, 9000))  # blocks longer than the encoder's groups too
def test_the_bound_holds_through_zarr_for_every_finite_value_and_the_rest_is_kept(case, bound, scale, block):
    x, chunks = case
    z = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=chunks, dtype="float32",
                          serializer=VelmarCodec(bound=bound, block=block, scale=scale), compressors=None)
    z[...] = x
    err, kept = finite_error_and_kept_bits(x, z[...])
    assert err <= bound and kept


# One step: every block at 8 bits; huge steps; one finite value, not first; zero, wide and raw blocks and an infinity.
FALLBACKS = [np.float32(x) for x in (
    np.linspace(-1, 1, 5000), np.r_[np.zeros(100), 1e4, np.zeros(27), np.arange(64) * 1e5],
    [np.nan, -np.inf, 2.5, np.nan],
    np.r_[np.zeros(5), np.inf, np.zeros(26), np.linspace(0, 1000, 32), np.linspace(0, 1e6, 32), [7.0]])]


def test_bounded_fallbacks_are_chosen_by_range_and_hold():
    for x in FALLBACKS:
        for bound in (1e-3, 1.0, 1e30, 1e-45, 1e-30):
            with np.errstate(all="raise"):  # a caller's settings; the encoder's extremes are its own business
                b = velmar.bounded.encode(x, bound, 32, Scale.F16)
            assert finite_error_and_kept_bits(x, velmar.bounded.decode(b))[0] <= bound
        assert b.raw_blocks.size == -(-x.size // 32)  # a bound below float32's spacing leaves every block raw
    b = velmar.bounded.encode(x, 0.01, 32)
    assert (b.wide_blocks.tolist(), b.raw_blocks.tolist(), b.patch_at.tolist()) == ([1], [2], [5])
    assert finite_error_and_kept_bits(x, velmar.bounded.decode(b))[0] <= 0.01
    # A block longer than the values, which fail at 8 bits: nothing the encoder allocates is sized by the block.
    tracemalloc.start()
    b = velmar.bounded.encode(x, 0.01, 2**24)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2**20 and finite_error_and_kept_bits(x, velmar.bounded.decode(b))[0] <= 0.01


SCHEMES = [({"kind": "symmetric", "bits": 4}, Scheme.symmetric(4, 32), Scale.F32),
           ({"kind": "asymmetric", "bits": 3, "block": 20, "scale": "bf16"}, Scheme.asymmetric(3, 20), Scale.Bf16),
           ({"kind": "adaptive", "tolerance": 0.05, "block": 48, "scale": "f16"}, Scheme.adaptive(48, 0.05), Scale.F16),
           ({"bits": 16, "block": 7}, Scheme.symmetric(16, 7), Scale.F32)]


@pytest.mark.parametrize("config, scheme, scale", SCHEMES)
def test_a_scheme_decodes_to_exactly_what_velmar_decodes(config, scheme, scale):
    x = np.random.default_rng(5).standard_normal((37, 11)).astype(np.float32)
    x[3, 4] = np.nan
    codec = numcodecs.get_codec({"id": "velmar", **config})
    assert numcodecs.get_codec(codec.get_config()) == codec
    want = velmar.quantize_array(x.reshape(-1), scheme, scale=scale).dequantize()
    chunk = np.frombuffer(codec.encode(x), np.uint8)
    assert np.array_equal(codec.decode(chunk), want, equal_nan=True)
    assert np.array_equal(codec.decode(np.repeat(chunk, 2)[::2]), want, equal_nan=True)  # a strided view of it
    # A Fortran-ordered zarr 2 array hands the codec its chunks in that order.
    z = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=x.shape, dtype="float32", zarr_format=2,
                          order="F", filters=[codec], compressors=numcodecs.Zstd(level=1))
    z[...] = x
    f_order = velmar.quantize_array(x.reshape(-1, order="F"), scheme, scale=scale).dequantize()
    assert np.array_equal(z[...].reshape(-1, order="F"), f_order, equal_nan=True)


@pytest.mark.parametrize("config, message", [
    ({"kind": "cubic"}, "kind: expected symmetric"), ({"kind": ""}, "kind: expected symmetric"), ({"bits": 20}, "bit width 20"), ({"block": 0}, "block:"),
    ({"kind": "adaptive", "tolerance": 0.0}, "tolerance must be"), ({"kind": "adaptive", "bits": 4}, "bits:"),
    ({"tolerance": 0.1}, "only the adaptive kind"), ({"scale": "f64"}, "scale:"), ({"bound": -1.0}, "bound:"),
    ({"bound": float("nan")}, "bound:"), ({"bound": 0.1, "kind": "symmetric"}, "not both"),
    ({"bound": True}, "bound:"), ({"block": 2**40}, "block:"), ({"bits": 4, "width": 4}, "width: unknown"),
    ({"bits": 2**64}, "bits: out of range"), ({"kind": "adaptive", "tolerance": 10**400}, "tolerance: out of range"),
    ({"bound": 10**400}, "bound: expected a positive finite")])
def test_a_wrong_configuration_is_one_value_error(config, message):
    pickled = type("Pickled", (), {"__reduce__": lambda self: (object.__new__, (codecs.Velmar,), config)})()
    with pytest.raises(ValueError, match=message):
        numcodecs.get_codec({"id": "velmar", **config})
    with pytest.raises(ValueError, match=message):
        VelmarCodec.from_dict({"name": "velmar", "configuration": config})
    with pytest.raises(ValueError, match=message):
        pickle.loads(pickle.dumps(pickled))  # the configuration as a pickle's state


def test_entry_points_name_the_codecs():
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["entry-points"]
    for group, cls in [("numcodecs.codecs", codecs.Velmar), ("zarr.codecs", VelmarCodec)]:
        module, name = declared[group]["velmar"].split(":")
        assert getattr(importlib.import_module(module), name) is cls
        installed = importlib.metadata.entry_points(group=group, name="velmar")
        assert all(e.value == declared[group]["velmar"] for e in installed)
    codec = VelmarCodec(bound=0.5, scale="f16")
    assert VelmarCodec.from_dict(codec.to_dict()) == codec
    numcodec = codecs.Velmar(kind="adaptive", tolerance=0.1, block=8)
    assert pickle.loads(pickle.dumps(numcodec)).__dict__ == numcodec.__dict__
    assert codec.to_dict() == {"name": "velmar", "configuration": {"block": 64, "scale": "f16", "bound": 0.5}}


def chunk_with_every_part():
    """A bounded chunk with one wide block, one raw block and one kept NaN."""
    x = np.r_[np.linspace(0, 1000, 32), np.linspace(0, 1, 32), [np.nan, 1e6], np.zeros(35)].astype(np.float32)
    return codecs.Velmar(bound=0.01, block=32).encode(x)


def overwrite(data, at, number):
    """``data`` with an int64 written ``at`` bytes into its parts (from the end if negative)."""
    at = len(data) + at if at < 0 else at + 8 + struct.unpack_from("<I", data, 4)[0]
    return data[:at] + struct.pack("<q", number) + data[at + 8 :]


def header(data, *swap, **fields):
    """``data`` with fields of its JSON header replaced, or the text ``swap[0]`` of it by ``swap[1]``."""
    size = struct.unpack_from("<I", data, 4)[0]
    text = json.dumps({**json.loads(data[8 : 8 + size]), **fields}).encode().replace(*swap or (b"", b""), 1)
    return data[:4] + struct.pack("<I", len(text)) + text + data[8 + size :]


ADAPTIVE = codecs.Velmar(kind="adaptive", tolerance=0.01, block=4).encode(np.linspace(0, 1, 10, dtype=np.float32))
LAYOUT = {"type": "tensor", "kind": "asymmetric", "bits": 8, "block": 32, "tolerance": None, "scale": "f32",
          "shape": [300], "axis": 0, "dtype": "float32"}
CORRUPTIONS = [
    (lambda d: b"XLMC" + d[4:], "does not start with VLMC"), (lambda d: d[:5], "too few"),
    (lambda d: d[:-1], "calls for"), (lambda d: d + b"\0", "the header describes"),
    (lambda d: d[:4] + struct.pack("<I", 1 << 30) + d[8:], "does not fit"),
    (lambda d: d[:8] + b"[" + d[9:], "not JSON"),
    # The int64 block numbers and positions: wide_blocks 133 bytes into the parts, raw_blocks 213, patch_at 12 from the end.
    (lambda d: overwrite(d, 133, 7), "wide_blocks: expected increasing block numbers below 4"),
    (lambda d: overwrite(d, 213, 0), "raw_blocks: a block is also among the wide ones"),
    (lambda d: overwrite(d, -12, 10**6), "patch_at: expected increasing positions below 101"),
    (lambda d: ADAPTIVE[:-43] + b"\x09" + ADAPTIVE[-42:], "widths: expected"),
    (lambda d: ADAPTIVE[:-43] + b"\x01" + ADAPTIVE[-42:], "widths: expected"),
    # A header that does not match its parts.
    (lambda d: header(d, version=2), "format version 2"), (lambda d: header(d, bound=-1), "bound:"),
    (lambda d: header(d, wide=99), "wide: expected an integer from 0 to"),
    (lambda d: header(d, bound=None), "wide: expected an integer from 0 to 0"),
    (lambda d: header(d, extra=1), "exactly"), (lambda d: header(d, patches=2), "patch_at: the header calls for"),
    (lambda d: header(d, b'"bound": ', b'"bound": 1, "bound": '), "the header: the key 'bound' appears twice"),
    (lambda d: header(d, layout=LAYOUT), "(calls for|describes)"),
    (lambda d: header(d, layout={**LAYOUT, "kind": "symmetric", "shape": [160]}), "asymmetric 8-bit"),
    (lambda d: header(d, layout={"type": "tensor", "kind": "asymmetric", "bits": 8, "block": 0}), "layout: block"),
]


@pytest.mark.parametrize("corrupt, message", CORRUPTIONS)
def test_a_corrupt_chunk_is_one_value_error_naming_the_problem(corrupt, message):
    with pytest.raises(ValueError, match=f"velmar chunk: .*{message}"):
        codecs.decode_chunk(corrupt(chunk_with_every_part()))


FIVE = codecs.Velmar().encode(np.ones(5, np.float32))


def test_a_stored_chunk_of_another_size_is_one_value_error():
    store = zarr.storage.MemoryStore()
    z = zarr.create_array(store, shape=(16,), chunks=(8,), dtype="float32", serializer=VelmarCodec(), compressors=None)
    z[:] = np.arange(16, dtype=np.float32)
    asyncio.run(store.set("c/0", zarr.core.buffer.cpu.Buffer.from_bytes(FIVE)))
    with pytest.raises(ValueError, match="velmar chunk: 5 values where 8 are expected"):
        z[:]


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.decode(FIVE, np.empty(8, np.float32)), ValueError, "velmar chunk: 5 float32 values do not fill an output of 32"),
    (lambda c: c.decode(FIVE, np.empty(10, np.float16)), TypeError, "out: expected float32 values or bytes, got float16"),
    (lambda c: c.decode(FIVE, np.empty(5, ">f4")), TypeError, "out: expected float32 values or bytes, got >f4"),
    # A zarr 2 array of big-endian floats would read back byte-swapped values.
    (lambda c: c.encode(np.ones(5, ">f4")), TypeError, "expected float32 values in native byte order, got >f4"),
])
def test_buffers_of_another_type_or_size_are_refused_before_any_work(call, error, message):
    out = np.zeros(5, np.float32)
    with pytest.raises(error, match=message):
        call(codecs.Velmar())
    codecs.Velmar().decode(FIVE, out.view(np.uint8))  # bytes still take them
    assert (out == 1).all()


def test_an_output_takes_the_values_in_its_memory_order_whatever_its_shape_order_and_alignment():
    raw = np.zeros(65 * 4, np.uint8)
    for config in ({"bits": 4}, {"bound": 0.5}):
        c = codecs.Velmar(**config)
        chunk = c.encode(np.linspace(-3, 3, 64, dtype=np.float32))
        want = c.decode(chunk).tobytes()
        outs = {"C": np.zeros((8, 8), np.float32), "F": np.zeros((8, 8), np.float32, order="F"),
                "strided": np.zeros((8, 16), np.float32)[:, ::2], "misaligned bytes": raw[1:257],
                "bytearray": bytearray(256)}
        for name, out in outs.items():
            c.decode(chunk, out)
            assert np.asarray(out).ravel(order="K").tobytes() == want, (config, name)


def test_the_benchmark_keeps_the_bound_and_runs_every_method():
    with conftest.script("bench/chunks.py") as bench:
        figures = bench.measure(io.StringIO(), 300, 64, 16, 1)
    errors = [value for name, value in figures if name.startswith("velmar largest error")]
    assert len(errors) == 6 and max(errors) <= 1
    over_sz3 = [name for name, _ in figures if name.startswith("velmar compression ratio") and name.endswith("| SZ3")]
    assert len(over_sz3) == 6 * (importlib.util.find_spec("pysz") is not None)


# ---------------------------------------------------------------- Dask


@pytest.fixture(scope="module")
def example():
    pytest.importorskip("distributed")
    with conftest.script("examples/dask_zarr.py") as module:
        yield module


# The sanitizer's shadow memory counts against the workers' memory limit, which then kills them.
@pytest.mark.skipif(bool(os.environ.get("VELMAR_SANITIZED")), reason="the memory limit is not the sanitizer's")
def test_dask_workers_write_an_array_larger_than_their_share_through_the_codec(example, tmp_path):
    import dask.array as da
    import distributed

    rows, cols, bound = 131_072, 768, 2e-3
    limit = 300 * 2**20
    assert 4 * rows * cols > limit
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=limit,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        x = example.embeddings(rows, cols, 4096, seed=1)
        path = str(tmp_path / "x.zarr")
        z = example.create(path, x, bound)
        with distributed.get_task_stream() as tasks:
            da.store(x, z, lock=False)
        assert len({t["worker"] for t in tasks.data}) == 2
        assert example.check(zarr.open_array(path), path, x, bound) <= bound
