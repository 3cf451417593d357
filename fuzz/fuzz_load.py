"""atheris entry point for the velmar file loader: python fuzz/fuzz_load.py CORPUS -max_total_time=N

A valid file damaged in its header or bytes, or any bytes, must load to consistent objects or raise ValueError,
and a search of it a slice of rows at a time must rank as the loaded tensor does; the address space is capped so
that an allocation sized from an unchecked field fails loudly."""

import json
import os
import pathlib
import resource
import struct
import sys
import tempfile

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pickle_target import KINDS, SCALES, Bytes, size_value  # noqa: E402

with atheris.instrument_imports():
    import numpy as np

    import velmar
    from velmar import io, search
    from velmar.tensor import QuantizedTensor, quantize

FIELDS = ["type", "kind", "bits", "block", "tolerance", "scale", "shape", "axis", "dtype", "extra"]
ODD = [None, True, "", "adaptive", "f16", "bfloat16", 2.5, -1, [], {}, [0], [2**40, 2**40], [3, -2], "1", 10**30]
PATH = pathlib.Path(tempfile.gettempdir(), f"velmar-fuzz-load-{os.getpid()}.safetensors")


def valid_file(b):
    tensors = {}
    for i in range(1 + b.u8() % 2):
        shape = tuple(b.u8() % 7 for _ in range(1 + b.u8() % 3))
        x = np.random.default_rng(b.u8()).standard_normal(shape).astype(np.float32)
        kind = b.pick(KINDS)
        args = {"tolerance": b.pick([0.5, 0.01])} if kind == "adaptive" else {"bits": 2 + b.u8() % 15}
        tensors[f"t{i}"] = quantize(x, kind=kind, block=1 + b.u8() % 9, scale=b.pick(SCALES),
                                    axis=b.u8() % len(shape), **args)
    if b.u8() % 2:
        tensors["v"] = velmar.adaptive_quantize(np.arange(b.u8() % 40, dtype=np.float32), 1 + b.u8() % 8, 0.1)
    tensors["plain"] = np.arange(b.u8() % 5, dtype=np.int16)
    io.save(PATH, tensors)
    return bytearray(PATH.read_bytes())


def with_header(raw, change):
    n = struct.unpack("<Q", raw[:8])[0]
    header = json.loads(raw[8 : 8 + n])
    change(header)
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + raw[8 + n :]


def mutate_index(b, header):
    meta = header["__metadata__"]
    index = json.loads(meta["velmar.tensors"])
    name, field = b.pick(sorted(index)), b.pick(FIELDS)
    index[name][field] = b.pick(ODD) if b.u8() % 2 else size_value(b)
    if b.u8() % 8 == 0:
        meta["velmar.format"] = b.pick(["2", "0", "", "1.0"])
    meta["velmar.tensors"] = json.dumps(index)


def mutate_entry(b, header):
    key = b.pick(sorted(k for k in header if k != "__metadata__"))
    entry = header[key]
    what = b.u8() % 4
    if what == 0:
        entry["dtype"] = b.pick(["U8", "F16", "BF16", "F32", "U32", "I64", "F8_E4M3"])
    elif what == 1:
        entry["shape"] = [size_value(b) for _ in range(b.u8() % 3)]
    elif what == 2:
        header[b.pick(["t0", "t0:codes", "t1:widths", "x"])] = entry
    else:
        del header[key]


def file_from_bytes(data):
    b = Bytes(data)
    mode = b.u8() % 5
    if mode == 0:
        return data[1:]
    raw = valid_file(b)
    if mode < 3:
        return with_header(raw, lambda h: [mutate_index, mutate_entry][mode - 1](b, h))
    for _ in range(1 + b.u8() % 4):  # overwrite bytes, header or data
        raw[(b.u8() << 8 | b.u8()) % len(raw)] = b.u8()
    return bytes(raw)


def consistent(name, obj):
    if isinstance(obj, np.ndarray):
        return
    vector = isinstance(obj, velmar.Quantized)
    assert obj.dequantize().shape == ((len(obj),) if vector else obj.shape)
    assert vector or obj.nbytes == sum(p.nbytes for p in obj.parts().values())
    io.save(PATH, {name: obj})
    assert io.load(PATH)[name].__getstate__() == obj.__getstate__()


def searched(loaded, rows_per_slice):
    """Every quantized tensor searched in the file: as the loaded one ranks, or a ValueError if none loaded."""
    try:
        with io.File(PATH) as f:
            layouts = {name: f.layout(name) for name in f.keys() if f.layout(name) is not None}
    except ValueError:
        return
    for name, layout in layouts.items():
        if layout.row_len > 4096:  # a tensor of no rows may have long ones
            continue
        q = np.linspace(-1, 1, 2 * layout.row_len, dtype=np.float32).reshape(2, -1)
        try:
            got = search.search_file(PATH, name, q, 3, rows_per_slice=rows_per_slice)
        except ValueError as e:
            assert loaded is None and type(e) is ValueError and str(e).startswith(str(PATH)), e
            continue
        if loaded is not None and isinstance(loaded[name], QuantizedTensor):
            want = loaded[name].search(q, 3)
            assert [x.tobytes() for x in got] == [x.tobytes() for x in want], (name, got, want)


def check(data):
    PATH.write_bytes(file_from_bytes(data))
    try:
        loaded = io.load(PATH)
    except ValueError:
        loaded = None
    searched(loaded, 1 + data[-1] % 4 if data else 1)
    for name, obj in (loaded or {}).items():
        consistent(name, obj)


def main():
    limit = 2 << 30  # far above what a small file may need
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
