"""Model files: velmar model quantize against one safetensors read, and velmar.io.load against load_file.

    PYTHONPATH=build/dev python3 bench/models.py [--size-mib 1024] [--dir DIR] [--repeat 3]

Generates a float32 safetensors model of about --size-mib (one tensor of an
eighth of it, the rest 4096 x 4096, and some 1-D ones), then, each in a fresh
process (timed after its imports) and after one warm-up run so that every
run reads from the page cache: reading every tensor once with safetensors;
`velmar model quantize --workers 2` (its time and peak resident memory);
loading the quantized file with velmar.io.load and with
safetensors.numpy.load_file; and quantizing the same model as a float16 GGUF
to Q8_0 GGUF (its peak resident memory). Prints the median of --repeat runs
and the ratios.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from typing import IO, Any

import numpy as np

CHILD = r"""
import json, sys, time
kind, path, out = sys.argv[1:4]
# Imports first: the figures are about the work, not the interpreter's start.
from safetensors import safe_open
from safetensors.numpy import load_file
from velmar import cli, io
start = time.perf_counter()
if kind == "read":
    with safe_open(path, "numpy") as f:
        for k in f.keys():
            f.get_tensor(k).sum()  # touch every byte, then let it go
elif kind == "quantize":
    assert cli.main(["model", "quantize", path, "-o", out, "--workers", "2", "--progress", "never"]) == 0
elif kind == "gguf":
    assert cli.main(["model", "quantize", path, "-o", out, "--scheme", "symmetric:8@f16", "--progress", "never"]) == 0
elif kind == "load":
    io.load(path)
elif kind == "load_file":
    load_file(path)
seconds = time.perf_counter() - start
# VmHWM, not ru_maxrss: Linux carries the latter over from the forking parent.
hwm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"seconds": seconds, "peak_rss": hwm * 1024}))
"""
MIB = 1 << 20


def generate(path: str, size_mib: int) -> int:
    """The model as float32 safetensors at path, and as float16 GGUF beside it; returns its largest tensor's bytes."""
    import gguf
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    side = 4096 if size_mib >= 512 else 1024
    tensors = {"model.embed.weight": rng.standard_normal((size_mib * MIB // 8 // (4 * side), side), np.float32) * 0.02}
    for i in range(max(0, size_mib * 7 // 8 * MIB // (4 * side * side))):
        tensors[f"model.layers.{i}.weight"] = rng.standard_normal((side, side), np.float32) * 0.02
        tensors[f"model.layers.{i}.norm.weight"] = np.ones(side, np.float32)
    save_file(tensors, path)
    w = gguf.GGUFWriter(path + ".gguf", "llama")
    for name, t in tensors.items():
        w.add_tensor(name, t.astype(np.float16))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return max(t.nbytes for t in tensors.values())


def child(kind: str, path: str, out: str = "") -> Any:
    res = subprocess.run([sys.executable, "-c", CHILD, kind, path, out], capture_output=True, text=True, check=True)
    return json.loads(res.stdout.splitlines()[-1])


def median(kind: str, path: str, out: str, repeat: int) -> tuple[float, int]:
    child(kind, path, out)  # warm-up: the file in the page cache, the imports compiled
    runs = [child(kind, path, out) for _ in range(repeat)]
    return statistics.median(r["seconds"] for r in runs), max(r["peak_rss"] for r in runs)


def measure(out: IO[str], size_mib: int, repeat: int, directory: str) -> list[tuple[str, float]]:
    model = os.path.join(directory, f"velmar-bench-model.{os.getpid()}.safetensors")
    quantized = os.path.join(directory, f"velmar-bench-model.{os.getpid()}.q8.safetensors")
    try:
        largest = generate(model, size_mib)
        size = os.path.getsize(model)
        read_s, read_rss = median("read", model, "", repeat)
        quant_s, quant_rss = median("quantize", model, quantized, repeat)
        load_s, _ = median("load", quantized, "", repeat)
        load_file_s, _ = median("load_file", quantized, "", repeat)
        gguf_s, gguf_rss = median("gguf", model + ".gguf", quantized + ".gguf", repeat)
    finally:
        for f in (model, quantized, model + ".gguf", quantized + ".gguf"):
            if os.path.exists(f):
                os.unlink(f)
    budget = 1.5 * largest + 100 * MIB
    print(f"model: {size / MIB:.0f} MiB float32, largest tensor {largest / MIB:.0f} MiB; medians of {repeat} runs", file=out)
    print(f"read once with safetensors   {read_s:7.3f} s   peak RSS {read_rss / MIB:6.0f} MiB", file=out)
    print(f"velmar model quantize -w 2   {quant_s:7.3f} s   peak RSS {quant_rss / MIB:6.0f} MiB", file=out)
    print(f"  time ratio {quant_s / read_s:.2f}x; peak {quant_rss / MIB:.0f} MiB against "
          f"1.5 x largest + 100 MiB = {budget / MIB:.0f} MiB", file=out)
    print(f"velmar.io.load               {load_s:7.3f} s", file=out)
    print(f"safetensors load_file        {load_file_s:7.3f} s", file=out)
    print(f"  load ratio {load_s / load_file_s:.2f}x", file=out)
    gguf_budget = 2 * largest / 2 + 100 * MIB  # the GGUF holds float16
    print(f"f16 GGUF to Q8_0 GGUF        {gguf_s:7.3f} s   peak RSS {gguf_rss / MIB:6.0f} MiB against "
          f"2 x largest + 100 MiB = {gguf_budget / MIB:.0f} MiB", file=out)
    what = f"{size_mib} MiB"
    return [(f"quantize vs one read | {what} | time", quant_s / read_s),
            (f"quantize | {what} | peak memory over 1.5 x largest + 100 MiB", quant_rss / budget),
            (f"io.load vs load_file | {what} | time", load_s / load_file_s),
            (f"GGUF to GGUF | {what} | peak memory over 2 x largest + 100 MiB", gguf_rss / gguf_budget)]


def run(level: str, out: IO[str]) -> list[tuple[str, float]]:
    """The topic's entry for bench/run.py."""
    quick = level == "quick"
    return measure(out, 16 if quick else 1024, 1 if quick else 3, tempfile.gettempdir())


def main() -> None:
    p = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    p.add_argument("--size-mib", type=int, default=1024)
    p.add_argument("--dir", default=tempfile.gettempdir())
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    measure(sys.stdout, args.size_mib, args.repeat, args.dir)


if __name__ == "__main__":
    main()
