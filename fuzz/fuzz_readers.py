"""atheris entry point for the readers of outside bytes: python fuzz/fuzz_readers.py CORPUS -max_total_time=N

Byte 0 picks the reader (codec chunk, codec configuration, GGUF model, importance file, model folder,
compressed-tensors checkpoint, the model command's reader of any model file), bytes 1-4 steer it, the rest is what
it reads. Any input gives a result or one ValueError (TypeError for a configuration's types; the command's one-line
error) naming what was read, and allocates little more than the values it holds. Valid seeds of every kind:
fuzz/reader_seeds.py."""

import json
import math
import os
import pathlib
import sys
import tempfile
import tracemalloc

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pickle_target import Bytes, size_value  # noqa: E402

with atheris.instrument_imports():
    import gguf
    import numcodecs
    import numpy as np

    from velmar import codecs, ct_io, folders, gguf_io, imatrix, io
    from velmar.commands.common import UsageError
    from velmar.commands.model import reading, work
    from velmar.tensor import QuantizedTensor, quantize
    from velmar.zarr3 import VelmarCodec

DIR = pathlib.Path(tempfile.mkdtemp(prefix="velmar-fuzz-readers-"))
ODD = [None, True, "", "adaptive", "q4_k", "f16", 2.5, -1, 0, 2**31, 2**64, float("nan"), 1e-30, [], {}, "1"]


def value(b):
    return b.pick(ODD) if b.u8() % 2 else size_value(b)


def named(error, what):
    assert type(error) is ValueError and str(what) in str(error), error


def chunk(b, data):
    if b.u8() % 2:  # one header or layout field replaced
        try:
            n = int.from_bytes(data[4:8], "little")
            header = json.loads(data[8 : 8 + n])
            target = b.pick([header, header["layout"]])
            target[b.pick(sorted(target) + ["x"])] = value(b)
            text = json.dumps(header).encode()
            data = data[:4] + len(text).to_bytes(4, "little") + text + data[8 + n :]
        except (ValueError, TypeError, KeyError, IndexError):
            pass
    try:
        x = codecs.decode_chunk(data)
        assert np.array_equal(numcodecs.get_codec({"id": "velmar"}).decode(data, np.empty_like(x)), x, equal_nan=True)
    except ValueError as e:
        named(e, "velmar chunk: ")
        return
    count = b.pick([x.size, x.size + 1, max(x.size - 1, 0), 0])  # as zarr asks, its chunk's size
    try:
        assert np.array_equal(codecs.decode_chunk(data, None, count), x, equal_nan=True) and count == x.size
    except ValueError as e:
        assert count != x.size, e
        named(e, "velmar chunk: ")


def config(b, data):
    cfg = {b.pick(["kind", "bits", "block", "tolerance", "scale", "bound", "axis"]): value(b)
           for _ in range(b.u8() % 4)}
    x = np.frombuffer(data[: len(data) // 4 * 4], np.float32)
    try:  # the two faces agree, and what they accept round-trips and works
        c = numcodecs.get_codec({"id": "velmar", **cfg})._config
        z = VelmarCodec.from_dict({"name": "velmar", "configuration": cfg})
    except (ValueError, TypeError) as e:
        assert str(e).startswith("velmar codec: "), e
        return
    again = numcodecs.get_codec({**z.to_dict()["configuration"], "id": "velmar"})._config
    assert z.config.as_dict() == c.as_dict() == again.as_dict()
    y = codecs.decode_chunk(codecs.encode_chunk(x, c))
    if c.bound is None:
        assert np.array_equal(y, quantize(x, c.scheme, scale=c.scale).dequantize(), equal_nan=True)
    else:
        assert np.array_equal(np.isfinite(x), np.isfinite(y)) and np.all(np.abs(x - y)[np.isfinite(x)] <= c.bound)


def read_gguf(b, data):
    (path := DIR / "model.gguf").write_bytes(data)
    try:
        r = gguf_io.Reader(path)  # the model command's reader: every type by rows, the mapped ones whole
        try:
            r.fields()
            for t in r.tensors:
                rows = r.rows(t, 0, 2**63)
                assert t.kind not in gguf_io.BLOCK_TYPES or np.array_equal(r.read(t).dequantize(), rows, equal_nan=True)
        finally:
            r.close()
    except ValueError as e:
        named(e, path)


def importance(b, data):
    (path := DIR / "m.imatrix").write_bytes(data)
    try:
        for w in imatrix.load(path).values():
            assert w.ndim in (1, 2) and np.all(w >= 0) and np.all(np.isfinite(w)), w
    except ValueError as e:
        named(e, path)


def folder(b, data):
    if not (root := DIR / "folder").exists():
        root.mkdir()
        io.save(root / "model.safetensors", {"w": quantize(np.ones((2, 4), np.float32)), "x": np.zeros(3, np.int8)})
    if b.u8() % 2:
        shards = ["model.safetensors", "../model.safetensors", "", ".", "sub/x.safetensors", "none.safetensors", 3]
        data = json.dumps({"weight_map": {b.pick(["w", "x", "w:codes"]): b.pick(shards) for _ in range(b.u8() % 4)}})
    (root / b.pick([folders.INDEX, folders.CONFIG])).write_bytes(data if isinstance(data, bytes) else data.encode())
    try:
        folders.open_folder(root).close()
    except ValueError as e:
        named(e, root)
    for name in (folders.INDEX, folders.CONFIG):
        (root / name).unlink(missing_ok=True)


def checkpoint(b, data):
    """A compressed-tensors folder: data is its one shard, the config is steered."""
    (root := DIR / "checkpoint").mkdir(exist_ok=True)
    (root / folders.SINGLE).write_bytes(data)
    n = iter(v >> s & 15 for v in b.raw(4) for s in (0, 4))  # six choices from four bytes
    pick = lambda seq: seq[next(n) % len(seq)]  # noqa: E731
    group = {"num_bits": pick([4, 8, 4, 8, 2, 16, "4", True]), "type": pick(["int", "int", "int", "float"]),
             "symmetric": pick([True, True, True, False, 1]), "strategy": pick(["group", "group", "channel", "tensor"]),
             "group_size": pick([32, 16, 8, 3, 1, 0, -1, 2**63, None, "32", 1.0, 64, 128])}
    targets = pick([["Linear"], ["re:.*"], ["re:("], ["layer"], [], "Linear", [7], ["re:.*"]])
    config = {"quantization_config": ct_io.quantization_config({(4, 32): []}, [])}
    config["quantization_config"]["config_groups"] = {"group_0": {"targets": targets, "weights": group}}
    (root / folders.CONFIG).write_text(json.dumps(config))
    try:
        out = ct_io.load(root)
    except ValueError as e:
        named(e, root)
        return
    try:  # the model command reads the same checkpoint to the same objects
        source = reading._open(str(root))
        again = {e.name: source.read(e) for e in source.entries}
        source.folder.close()
    except (UsageError, ValueError) as e:
        raise AssertionError(f"loads, but the command cannot read it: {e}") from None
    assert sorted(out) == sorted(again), (sorted(out), sorted(again))
    for name, obj in out.items():
        if isinstance(obj, QuantizedTensor):
            assert obj.__getstate__() == again[name].__getstate__() and obj.dequantize().shape == obj.shape
        else:
            assert np.array_equal(obj, again[name], equal_nan=True)


MODEL_NAMES = ["model.npy", "model.npz", "model.gguf", "model.safetensors"]


def model(b, data):
    """The model command's reader, any kind by its magic: every tensor whole and by slices of rows."""
    (path := DIR / b.pick(MODEL_NAMES)).write_bytes(data)
    try:
        source = reading._open(str(path))
    except UsageError as e:
        assert str(path) in str(e), e
        return
    assert source.kind != "npz" or len(source.entries) == len(source.npz.zip.infolist()), "a member is lost"
    shrink = b.u8()
    if shrink < 64:  # the file shrinks between opening and reading
        os.truncate(path, len(data) * shrink // 64)
    try:
        read_all(b, source)
        if isinstance(source, reading.GgufSource):
            source.reader.fields()  # what a GGUF output copies
    except ValueError as e:
        assert shrink < 64, e
    finally:
        for f in {id(f): f for f in getattr(source, "file_of", {}).values()}.values():
            f.close()
        for held in ("reader", "npz"):
            getattr(source, held, None) and getattr(source, held).close()


def read_all(b, source):
    for entry in source.entries:
        try:
            whole = source.read(entry)
            assert (whole.shape if hasattr(whole, "shape") else (len(whole),)) == entry.shape, (entry, whole)
            if entry.floating and len(entry.shape) > 1:  # as the command quantizes it, a chunk of rows at a time
                assert sum(len(c) for _, c in work.chunks(source.rows(entry.name), entry.shape)) == entry.shape[0]
            if entry.stored is None and math.prod(entry.shape) <= 1 << 16:
                rows, cut = source.rows(entry.name), b.u8() % 4
                assert np.array_equal(np.concatenate([rows[:cut], rows[cut:]]) if np.ndim(whole) else rows[...],
                                      whole, equal_nan=True), entry
        except ValueError as e:  # the command names the file and tensor around it
            assert str(e) and type(e) is ValueError, e


READERS = [chunk, config, read_gguf, importance, folder, checkpoint, model]


def check(data):
    tracemalloc.reset_peak()
    held = tracemalloc.get_traced_memory()[0]
    READERS[data[0] % len(READERS) if data else 0](Bytes(data[1:5]), data[5:])
    peak = tracemalloc.get_traced_memory()[1] - held
    assert peak < (4 << 20) + 64 * len(data), f"{peak} bytes allocated for {len(data)}"


def main():
    for read in READERS:  # first uses import and cache what no input should be charged for
        read(Bytes(b""), b"")
    for kind, (_, size) in gguf.GGML_QUANT_SIZES.items():  # so do gguf's decoders
        try:
            gguf.quants.dequantize(np.zeros((1, size), np.uint8), kind)
        except NotImplementedError:
            pass
    tracemalloc.start()
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
