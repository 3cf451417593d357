"""The Dask example: chunks quantized in worker processes join into the whole quantization."""

import importlib.util
import os

import numpy as np
import pytest

import conftest
import velmar
from velmar import Scale, Scheme

pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs the dask extra")


@pytest.fixture(scope="module")
def example():
    with conftest.script("examples/dask_quantize.py") as module:
        yield module


@pytest.fixture(scope="module")
def client(example):
    import distributed

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("scheme, scale", [(Scheme.symmetric(3, 20), Scale.F32), (Scheme.asymmetric(4, 32), Scale.Bf16),
                                           (Scheme.adaptive(48, 0.05), Scale.F16), (Scheme.symmetric(8, 7), Scale.F16)])
def test_chunks_from_worker_processes_join_into_the_whole(client, example, scheme, scale):
    import dask
    import dask.array as da

    assert os.getpid() not in set(client.run(os.getpid).values())
    x = da.random.default_rng(3).standard_normal(50_003, chunks=9_000, dtype=np.float32)
    parts = dask.compute(*example.quantize_chunks(x, scheme, scale=scale))
    assert len(parts) > 2 and all(len(p) % scheme.block == 0 for p in parts[:-1])
    assert example.join(parts).__getstate__() == scheme.quantize(x.compute(), scale=scale).__getstate__()


def test_join_refuses_parts_that_do_not_fit(example):
    x = np.linspace(-1, 1, 200, dtype=np.float32)
    assert [example.aligned_chunk(c, b) for c, b in [(1000, 32), (1000, 20), (5, 32), (100, 7)]] == [992, 1000, 32, 112]
    for parts, message in [([velmar.quantize(x[:50]), velmar.quantize(x[50:])], "ends inside a block"),
                           ([velmar.quantize(x[:20], 3, 20), velmar.quantize(x[20:], 3, 20)], "or a byte"),
                           ([velmar.quantize(x[:64]), velmar.quantize(x[64:], scale=Scale.F16)], "quantized differently"),
                           ([], "nothing to join")]:
        with pytest.raises(ValueError, match=message):
            example.join(parts)


def test_a_failing_chunk_reports_its_error_at_the_client(client):
    with pytest.raises(Exception) as info:
        client.submit(Scheme.symmetric(20).quantize, [1.0, 2.0]).result()
    # under tblib the class cannot be rebuilt at the client; its repr still says what went wrong
    assert isinstance(info.value, velmar.InvalidBitsError) or "InvalidBitsError(20)" in str(info.value)
