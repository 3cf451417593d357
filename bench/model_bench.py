"""Model-file figures: velmar model quantize against one safetensors read, and velmar.io.load against load_file.

    PYTHONPATH=build/dev python3 bench/model_bench.py [--size-mib 1024] [--dir DIR]

Generates a float32 safetensors model of about --size-mib (one 8192 x 4096
tensor, the rest 4096 x 4096, and some 1-D ones), then, each in a fresh
process (timed after its imports) and after one warm-up run so that every
run reads from the page cache: reading every tensor once with safetensors; `velmar model quantize
--workers 2` (its time and peak resident memory); and loading the quantized
file with velmar.io.load and with safetensors.numpy.load_file. Prints the
median of --repeat runs and the ratios against the targets.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

CHILD = r"""
import json, sys, time
kind, path, out = sys.argv[1:4]
# Imports first: the figures are about the work, not the interpreter's start.
from safetensors import safe_open
from safetensors.numpy import load_file
from velmar import cli, io, model
start = time.perf_counter()
if kind == "read":
    with safe_open(path, "numpy") as f:
        for k in f.keys():
            f.get_tensor(k).sum()  # touch every byte, then let it go
elif kind == "quantize":
    assert cli.main(["model", "quantize", path, "-o", out, "--workers", "2", "--progress", "never"]) == 0
elif kind == "load":
    io.load(path)
elif kind == "load_file":
    load_file(path)
seconds = time.perf_counter() - start
# VmHWM, not ru_maxrss: Linux carries the latter over from the forking parent.
hwm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"seconds": seconds, "peak_rss": hwm * 1024}))
"""


def generate(path, size_mib):
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    big = (8192, 4096)
    rest = max(0, (size_mib - 128) // 64)
    tensors = {"model.embed.weight": (rng.standard_normal(big, np.float32) * 0.02)}
    for i in range(rest):
        tensors[f"model.layers.{i}.weight"] = rng.standard_normal((4096, 4096), np.float32) * 0.02
        tensors[f"model.layers.{i}.norm.weight"] = np.ones(4096, np.float32)
    save_file(tensors, path)
    return max(t.nbytes for t in tensors.values())


def child(kind, path, out=""):
    res = subprocess.run([sys.executable, "-c", CHILD, kind, path, out], capture_output=True, text=True, check=True)
    return json.loads(res.stdout.splitlines()[-1])


def median(kind, path, out, repeat):
    child(kind, path, out)  # warm-up: the file in the page cache, the imports compiled
    runs = [child(kind, path, out) for _ in range(repeat)]
    return statistics.median(r["seconds"] for r in runs), max(r["peak_rss"] for r in runs)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size-mib", type=int, default=1024)
    p.add_argument("--dir", default=tempfile.gettempdir())
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    model = os.path.join(args.dir, "velmar-bench-model.safetensors")
    out = os.path.join(args.dir, "velmar-bench-model.q8.safetensors")
    try:
        largest = generate(model, args.size_mib)
        size = os.path.getsize(model)
        read_s, read_rss = median("read", model, "", args.repeat)
        quant_s, quant_rss = median("quantize", model, out, args.repeat)
        load_s, _ = median("load", out, "", args.repeat)
        load_file_s, _ = median("load_file", out, "", args.repeat)
    finally:
        for f in (model, out):
            if os.path.exists(f):
                os.unlink(f)
    mib = 1 << 20
    budget = 1.5 * largest + 100 * mib
    print(f"model: {size / mib:.0f} MiB float32, largest tensor {largest / mib:.0f} MiB; medians of {args.repeat} runs")
    print(f"read once with safetensors   {read_s:7.3f} s   peak RSS {read_rss / mib:6.0f} MiB")
    print(f"velmar model quantize -w 2   {quant_s:7.3f} s   peak RSS {quant_rss / mib:6.0f} MiB")
    print(f"  time ratio {quant_s / read_s:.2f}x (target <= 3x); peak {quant_rss / mib:.0f} MiB against "
          f"1.5 x largest + 100 MiB = {budget / mib:.0f} MiB")
    print(f"velmar.io.load               {load_s:7.3f} s")
    print(f"safetensors load_file        {load_file_s:7.3f} s")
    print(f"  load ratio {load_s / load_file_s:.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
