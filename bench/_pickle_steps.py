"""The first pickle round trip of a fresh process, step by step, against the first a.copy().

    PYTHONPATH=build/dev python3 bench/_pickle_steps.py [--n 16777216] [--runs 5]

velmar.quantize(a, 4, 32) of n float32 values, then in order: velmar's __reduce__ (the state), Python's pickler
on that state, Python's unpickler, velmar's rebuild (_from_pickle), and a.copy(); each step's time and minor
page faults, medians over `runs` fresh processes. A fresh process pays a fault per fresh 4 KiB page wherever
nothing asks for huge pages, which the warm loops of widths.py never see.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

STEPS = ("__reduce__", "pickler", "unpickler", "_from_pickle", "a.copy()")

ONE_RUN = """
import pickle, resource, sys, time, json
import numpy as np, velmar
a = np.random.default_rng(0).standard_normal(int(sys.argv[1]), dtype=np.float32)
q = velmar.quantize(a, 4, 32)
out = []
def step(fn):
    f0, t0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt, time.perf_counter()
    r = fn()
    out.append(((time.perf_counter() - t0) * 1e3, resource.getrusage(resource.RUSAGE_SELF).ru_minflt - f0))
    return r
fn, args = step(q.__reduce__)
s = step(lambda: pickle.dumps(args))
back = step(lambda: pickle.loads(s))
step(lambda: fn(*back))
step(a.copy)
print(json.dumps(out))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--n", type=int, default=1 << 24)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    runs = [json.loads(subprocess.run([sys.executable, "-c", ONE_RUN, str(args.n)], check=True, capture_output=True,
                                      text=True).stdout) for _ in range(args.runs)]
    copy_ms = statistics.median(r[-1][0] for r in runs)
    print(f"{args.n:,} values, medians of {args.runs} fresh processes")
    print(f"{'step':14} {'ms':>8} {'x copy':>8} {'faults':>8}")
    for i, name in enumerate(STEPS):
        ms = statistics.median(r[i][0] for r in runs)
        faults = statistics.median(r[i][1] for r in runs)
        print(f"{name:14} {ms:8.2f} {ms / copy_ms:8.2f} {faults:8.0f}")


if __name__ == "__main__":
    main()
