"""Quantize an array too large for one process, chunk by chunk, with Dask.

Every chunk is quantized in a worker process; only the compressed chunks (a
quarter to a tenth of the input's size) travel back, as pickled ``Quantized``
objects, and are joined into one ``Quantized`` that is exactly what
quantizing the whole array in one process would have given.

    pip install 'velmar[dask]'
    python examples/dask_quantize.py --size 50_000_000 --workers 2

Joining works because blocks never straddle chunks: every chunk but the last
holds a whole number of blocks, and a whole number of bytes of codes.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Sequence

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed

import velmar
from velmar import Quantized, Scale, Scheme


def aligned_chunk(chunk: int, block: int) -> int:
    """The chunk length nearest to ``chunk`` that keeps blocks and code bytes whole."""
    unit = math.lcm(block, 8)  # 8 elements fill whole bytes at any width
    return max(1, round(chunk / unit)) * unit


def quantize_chunks(x: da.Array, scheme: Scheme, *, scale: Scale = Scale.F32, chunk: int | None = None) -> list[Delayed]:
    """One delayed ``Quantized`` per chunk of the 1-D array ``x``, in order."""
    if x.ndim != 1:
        raise ValueError("quantize_chunks takes a 1-D array")
    size = aligned_chunk(chunk or x.chunks[0][0], scheme.block)
    # The task is the scheme's own bound method: workers need velmar, not this file.
    return [dask.delayed(scheme.quantize)(part, scale=scale) for part in x.rechunk(size).to_delayed()]


def join(parts: Sequence[Quantized]) -> Quantized:
    """Join the quantized chunks of one array into one ``Quantized``.

    It concatenates their pickle states (version 1), which store codes,
    scales and zero points as plain bytes.
    """
    if not parts:
        raise ValueError("nothing to join")
    states = [p.__getstate__() for p in parts]
    version, kind, scale, block, _, _, bits, _, _, _ = states[0]
    for i, (p, s) in enumerate(zip(parts, states)):
        if (s[0], s[1], s[2], s[3], s[6]) != (version, kind, scale, block, bits):
            raise ValueError(f"part {i} was quantized differently from part 0")
        last = i == len(parts) - 1
        if not last and (len(p) % block or (p.bits is not None and len(p) * p.bits % 8)):
            raise ValueError(f"part {i} ends inside a block or a byte; rechunk with aligned_chunk()")
    state = (
        version,
        kind,
        scale,
        block,
        sum(len(p) for p in parts),
        b"".join(s[5] for s in states),
        bits,
        tuple(w for s in states for w in s[7]),
        b"".join(s[8] for s in states),
        b"".join(s[9] for s in states),
    )
    return Quantized._from_pickle(state)


def main(argv: Sequence[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size", type=lambda s: int(s.replace("_", "")), default=20_000_000)
    p.add_argument("--chunk", type=int, default=2_000_000)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--bits", type=int, default=4)
    args = p.parse_args(argv)

    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True) as cluster, Client(cluster):
        # Generated inside the workers, chunk by chunk: no process ever holds it all.
        x = da.random.default_rng(0).standard_normal(args.size, chunks=args.chunk, dtype=np.float32)
        start = time.perf_counter()
        parts = dask.compute(*quantize_chunks(x, Scheme.symmetric(args.bits), scale=Scale.F16))
        q = join(parts)
        seconds = time.perf_counter() - start
        print(q)
        print(f"{len(parts)} chunks, {4 * len(q) / 2**20:.0f} MiB in, {q.nbytes / 2**20:.1f} MiB out "
              f"({q.bits_per_element:.2f} bits per value), {seconds:.1f} s")
        # The first chunk, quantized here, must match what a worker sent back.
        head = x[: len(parts[0])].compute()
        assert np.array_equal(velmar.quantize(head, args.bits, scale=Scale.F16).codes, parts[0].codes)


if __name__ == "__main__":
    main()
