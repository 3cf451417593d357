"""Writes valid seeds of every kind fuzz_readers.py reads into fuzz/corpus/readers: python fuzz/reader_seeds.py

A seed is the reader's index byte, four steering bytes and the file. Small on purpose: one or two rows a tensor."""

import io as stdio
import pathlib
import tempfile

import gguf
import numpy as np
from gguf import GGMLQuantizationType as GT
from safetensors.numpy import save as st_bytes

from velmar import ct_io, gguf_io, io, tensor
from velmar.layout import Layout

OUT = pathlib.Path(__file__).resolve().parent / "corpus" / "readers"
CHECKPOINT, MODEL = 5, 6
RNG = np.random.default_rng(7)


def weights(rows, cols):
    return (RNG.standard_normal((rows, cols)) * 0.05).astype(np.float32)


def gguf_file(tensors, order=gguf.GGUFEndian.LITTLE):
    """A GGUF of (name, array, raw type) with a metadata value of every type."""
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d, "m.gguf")
        w = gguf.GGUFWriter(path, "llama", endianess=order)
        w.add_uint8("t.u8", 7), w.add_int8("t.i8", -7), w.add_uint16("t.u16", 700), w.add_int16("t.i16", -700)
        w.add_uint32("t.u32", 7 << 20), w.add_int32("t.i32", -7 << 20), w.add_float32("t.f32", 0.5)
        w.add_uint64("t.u64", 7 << 40), w.add_int64("t.i64", -7 << 40), w.add_float64("t.f64", -0.25)
        w.add_bool("t.bool", True), w.add_string("t.str", "velmar"), w.add_array("t.ints", [1, 2, 3])
        w.add_array("t.strs", ["a", "bc"]), w.add_uint32(gguf_io.FILE_TYPE_KEY, 15)
        for name, data, kind in tensors:
            if kind in gguf_io.PLAIN_TYPES:
                w.add_tensor(name, data, raw_dtype=kind)
            else:
                w.add_tensor(name, data, raw_shape=data.shape, raw_dtype=kind)
        w.write_header_to_file(), w.write_kv_data_to_file(), w.write_tensors_to_file()
        w.close()
        return path.read_bytes()


def blocks(x, scheme):
    """GGUF block bytes of x's rows, as gguf's writer takes them (rows of bytes)."""
    t = tensor.quantize(x, scheme)
    return gguf_io.block_bytes(t).reshape(x.shape[0], -1)


def legacy(scheme):
    from velmar import Scale
    return tensor.quantize(weights(2, 64), scheme, scale=Scale.F16)


def checkpoint_shard(bits, group):
    """A compressed-tensors shard: one packed layer and a plain norm."""
    from velmar import Scale, Scheme
    x = weights(3, 64)
    t = tensor.quantize(x, Scheme.symmetric(bits, group or 64), scale=Scale.F16)
    packed = ct_io.pack(Layout.of(t), io.parts_of(t))
    arrays = {f"layer.{k}": np.ascontiguousarray(v) for k, v in packed.items()}
    arrays["norm.weight"] = np.ones(64, np.float16)
    return st_bytes(arrays)


def npz(compressed):
    buf = stdio.BytesIO()
    (np.savez_compressed if compressed else np.savez)(buf, w=weights(2, 8), b=np.arange(4, dtype=np.int16))
    return buf.getvalue()


def velmar_file():
    from velmar import Scheme
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d, "m.safetensors")
        io.save(path, {"q": tensor.quantize(weights(3, 40), Scheme.adaptive(8, 0.01)),
                       "s": tensor.quantize(weights(2, 32), Scheme.asymmetric(3, 16)), "bias": np.zeros(3, np.float16)})
        return path.read_bytes()


def npy(array):
    buf = stdio.BytesIO()
    np.save(buf, array)
    return buf.getvalue()


def main():
    k = [(f"k{i}", blocks(weights(1, 256), s), GT[s.name.upper()])
         for i, s in enumerate([tensor.Q2_K, tensor.Q3_K, tensor.Q4_K, tensor.Q5_K, tensor.Q6_K])]
    old = [("q8", gguf_io.block_bytes(legacy(gguf_io.BLOCK_TYPES[GT.Q8_0].scheme)).reshape(2, -1), GT.Q8_0),
           ("q4", gguf_io.block_bytes(legacy(gguf_io.BLOCK_TYPES[GT.Q4_0].scheme)).reshape(2, -1), GT.Q4_0)]
    plain = [(f"p{kind.name}", np.arange(6, dtype=dtype).reshape(2, 3), kind)
             for kind, dtype in gguf_io.PLAIN_TYPES.items()]
    seeds = {
        "gguf-k-quants-metadata": (2, gguf_file(k)),
        "gguf-legacy-plain-types": (2, gguf_file(old + plain)),
        "gguf-big-endian-every-block-type": (2, gguf_file(k[:3] + old, gguf.GGUFEndian.BIG)),
        # steering nibbles: bits, type, symmetric, strategy, group size, targets (see checkpoint())
        "checkpoint-4bit-groups": (CHECKPOINT, checkpoint_shard(4, 16), bytes([0x00, 0x00, 0x01, 0x00])),
        "checkpoint-8bit-channels": (CHECKPOINT, checkpoint_shard(8, None), bytes([0x01, 0x20, 0x10, 0x00])),
        # steering: the file's name, how far it shrinks once open (not at all from 64 on), where rows are cut
        "model-npy": (MODEL, npy(weights(3, 5)), bytes([0, 255, 1, 2])),
        "model-npy-fortran-big-endian": (MODEL, npy(np.asfortranarray(weights(2, 3).astype(">f2"))),
                                         bytes([0, 99, 1, 0])),
        "model-npy-shrinks": (MODEL, npy(weights(3, 5)), bytes([0, 40, 1, 2])),
        "model-npz": (MODEL, npz(False), bytes([1, 255, 1, 1])),
        "model-npz-compressed": (MODEL, npz(True), bytes([1, 255, 3, 1])),
        "model-velmar": (MODEL, velmar_file(), bytes([3, 255, 1, 0])),
        "model-gguf": (MODEL, gguf_file(k[3:] + old[:1] + plain[:2]), bytes([2, 255, 1, 0])),
        "model-gguf-shrinks": (MODEL, gguf_file(k[3:] + old[:1] + plain[:2]), bytes([2, 50, 1, 0])),
    }
    for name, (reader, data, *steer) in seeds.items():
        (OUT / name).write_bytes(bytes([reader]) + (steer[0] if steer else bytes(4)) + data)


if __name__ == "__main__":
    main()
