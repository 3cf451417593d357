"""Quantizing chunk by chunk in Dask worker processes, with the example's helpers."""

import copyreg
import importlib.util
import os
import pathlib

import numpy as np
import pytest

import velmar
from velmar import Scale, Scheme

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("dask") is None or importlib.util.find_spec("distributed") is None,
    reason="needs the dask extra: pip install '.[dask]'",
)

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_quantize.py"


@pytest.fixture(scope="module")
def example():
    # Importing dask installs tblib's reducers for every exception class that
    # exists by then, velmar's included, and those cannot rebuild an exception
    # whose constructor takes arguments. Import it late and undo that after,
    # so that the other test modules pickle exceptions the ordinary way.
    saved = dict(copyreg.dispatch_table)
    try:
        spec = importlib.util.spec_from_file_location("dask_quantize", EXAMPLE)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        yield module
    finally:
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(saved)


@pytest.fixture(scope="module")
def client(example):
    import distributed

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def same_quantization(a, b):
    assert repr(a) == repr(b)
    assert a.codes.tobytes() == b.codes.tobytes()
    assert a.scales.tobytes() == b.scales.tobytes()
    assert a.zero_points.tobytes() == b.zero_points.tobytes()
    bb = lambda q: None if q.block_bits is None else q.block_bits.tolist()
    assert bb(a) == bb(b)
    assert a.dequantize().tobytes() == b.dequantize().tobytes()


@pytest.mark.parametrize(
    "scheme, scale",
    [
        (Scheme.symmetric(3, 20), Scale.F32),  # 20 codes of 3 bits end inside a byte
        (Scheme.asymmetric(4, 32), Scale.Bf16),
        (Scheme.adaptive(48, 0.05), Scale.F16),
        (Scheme.symmetric(8, 7), Scale.F16),
    ],
)
def test_chunks_from_worker_processes_join_into_the_whole_quantization(client, example, scheme, scale):
    import dask
    import dask.array as da

    workers = set(client.run(os.getpid).values())
    assert len(workers) == 2 and os.getpid() not in workers
    x = da.random.default_rng(3).standard_normal(50_003, chunks=9_000, dtype=np.float32)
    parts = dask.compute(*example.quantize_chunks(x, scheme, scale=scale))
    assert len(parts) > 2
    assert all(len(p) % scheme.block == 0 for p in parts[:-1])
    joined = example.join(parts)
    same_quantization(joined, scheme.quantize(x.compute(), scale=scale))


@pytest.mark.parametrize("chunk, block, expected", [(1000, 32, 992), (1000, 20, 1000), (5, 32, 32), (100, 7, 112)])
def test_aligned_chunk_keeps_blocks_and_bytes_whole(example, chunk, block, expected):
    assert example.aligned_chunk(chunk, block) == expected


def test_join_refuses_parts_that_do_not_fit_together(example):
    x = np.linspace(-1, 1, 200, dtype=np.float32)
    with pytest.raises(ValueError, match="ends inside a block"):
        example.join([velmar.quantize(x[:50]), velmar.quantize(x[50:])])
    with pytest.raises(ValueError, match="ends inside a block or a byte"):
        example.join([velmar.quantize(x[:20], 3, 20), velmar.quantize(x[20:], 3, 20)])
    with pytest.raises(ValueError, match="quantized differently"):
        example.join([velmar.quantize(x[:64]), velmar.quantize(x[64:], scale=Scale.F16)])
    with pytest.raises(ValueError, match="nothing to join"):
        example.join([])


def test_a_failing_chunk_reports_its_error_at_the_client(client):
    future = client.submit(Scheme.symmetric(20).quantize, [1.0, 2.0])
    with pytest.raises(Exception) as info:
        future.result()
    # Under tblib the class itself cannot be rebuilt at the client (see the
    # example fixture); its repr still says what went wrong.
    e = info.value
    assert isinstance(e, velmar.InvalidBitsError) or "InvalidBitsError(20)" in str(e)
