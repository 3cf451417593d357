"""Write an array larger than any one worker may hold to zarr through velmar's
error-bounded codec, with Dask worker processes, and check it chunk by chunk.

Every chunk is generated, encoded and written inside a worker; the client
only ever holds one chunk, when it checks that zarr's reading of every chunk
is velmar's decoding of the stored bytes, and within the bound of the input.

    pip install 'velmar[dask,zarr]'
    python examples/dask_zarr.py --rows 1_000_000 --bound 1e-3 --workers 2 --out /tmp/emb.zarr
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Sequence
from itertools import product

import dask.array as da
import numpy as np
import zarr
from numcodecs import Zstd
from zarr.codecs import ZstdCodec

from velmar.codecs import decode_chunk
from velmar.zarr3 import VelmarCodec


def create(path: str, x: da.Array, bound: float) -> zarr.Array:
    """An empty zarr array for ``x``, chunked as ``x`` is, whose chunks go through velmar then Zstd."""
    chunks = tuple(c[0] for c in x.chunks)
    return zarr.create_array(path, shape=x.shape, chunks=chunks, dtype="float32",
                             serializer=VelmarCodec(bound=bound), compressors=ZstdCodec(level=1), overwrite=True)


def stored_chunk(z: zarr.Array, path: str, index: tuple[int, ...]) -> np.ndarray:
    """velmar's decoding of the bytes the store holds for chunk ``index``."""
    with open(os.path.join(path, z.metadata.encode_chunk_key(index)), "rb") as f:
        return decode_chunk(Zstd().decode(f.read())).reshape(z.chunks)


def check(z: zarr.Array, path: str, x: da.Array, bound: float) -> float:
    """The largest error over all chunks; raises AssertionError where zarr and velmar disagree."""
    worst = 0.0
    for index in product(*(range(len(c)) for c in x.chunks)):
        region = tuple(slice(i * c, i * c + n) for i, c, n in zip(index, z.chunks, x.blocks[index].shape))
        original, read = x.blocks[index].compute(), z[region]
        decoded = stored_chunk(z, path, index)[tuple(slice(0, n) for n in read.shape)]
        assert decoded.tobytes() == read.tobytes(), f"chunk {index}: zarr's read is not velmar's decoding"
        err = float(np.max(np.abs(read.astype(np.float64) - original), initial=0.0))
        assert err <= bound, f"chunk {index}: error {err} above the bound {bound}"
        worst = max(worst, err)
    return worst


def embeddings(rows: int, cols: int, chunk_rows: int, seed: int = 0) -> da.Array:
    """Unit rows of Gaussian values, generated chunk by chunk wherever Dask runs them."""
    x = da.random.default_rng(seed).standard_normal((rows, cols), chunks=(chunk_rows, cols), dtype=np.float32)
    return x / da.sqrt((x * x).sum(axis=1, keepdims=True))


def main(argv: Sequence[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=lambda s: int(s.replace("_", "")), default=1_000_000)
    p.add_argument("--cols", type=int, default=768)
    p.add_argument("--chunk-rows", type=int, default=10_000)
    p.add_argument("--bound", type=float, default=1e-3)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--out", default="embeddings.zarr")
    args = p.parse_args(argv)

    from distributed import Client, LocalCluster, get_task_stream

    size = 4 * args.rows * args.cols
    # Each worker may hold less than the whole array: it never needs more than a few chunks.
    limit = max(size // (2 * args.workers), 1 << 30)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit=limit,
                      dashboard_address=None) as cluster, Client(cluster):
        x = embeddings(args.rows, args.cols, args.chunk_rows)
        z = create(args.out, x, args.bound)
        start = time.perf_counter()
        with get_task_stream() as tasks:
            da.store(x, z, lock=False)
        seconds = time.perf_counter() - start
        workers = {t["worker"] for t in tasks.data}
        print(f"{size / 2**20:.0f} MiB written by {len(workers)} workers in {seconds:.1f} s, "
              f"{z.nbytes_stored() / 2**20:.1f} MiB stored (ratio {size / z.nbytes_stored():.2f})")
        print(f"largest error {check(z, args.out, x, args.bound):.7g} (bound {args.bound:g})")


if __name__ == "__main__":
    main()
