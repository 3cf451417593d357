"""Readers, a refiner and quantizers hammering one shared object.

refine only swaps scales and zero points for a fixed set of codes, so the
object can only ever be in one of three states: as quantized, refined
against v1, refined against v2. Every result a reader sees must match one
of those states as a whole; a mix of two means a torn read.
"""

import copy
import pickle
import sys
import threading
import time

import numpy as np
import pytest

import velmar

N = 1 << 15
DURATION = 1.5


def snapshot(q, x):
    return {
        "dot": q.dot(x),
        "deq": q.dequantize().tobytes(),
        "state": q.__getstate__(),
        "scales": q.scales.tobytes(),
        "zero_points": q.zero_points.tobytes(),
        "kind": q.kind,
        "repr": repr(q),
        "nbytes": q.nbytes,
    }


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize(
    "make",
    [
        lambda v, s: velmar.quantize(v, 4, 32, scale=s),
        lambda v, s: velmar.quantize(v, 8, 64, scale=s),
        lambda v, s: velmar.asymmetric_quantize(v, 5, 33, scale=s),
        lambda v, s: velmar.adaptive_quantize(v, 48, 0.01, scale=s),
    ],
    ids=["sym4", "sym8", "asym5", "adaptive"],
)
@pytest.mark.parametrize("scale", [velmar.Scale.F32, velmar.Scale.Bf16], ids=str)
def test_readers_see_whole_states_while_refine_runs(make, scale):
    rng = np.random.default_rng(7)
    v0 = rng.standard_normal(N).astype(np.float32)
    v1 = (v0 * np.float32(1.5) + np.float32(0.25)).astype(np.float32)
    v2 = (v0 * np.float32(-0.5)).astype(np.float32)
    x = rng.standard_normal(N).astype(np.float32)
    other = rng.uniform(-3, 3, N).astype(np.float32)

    # Expected states, computed serially on private objects.
    q = make(v0, scale)
    states = [snapshot(q, x)]
    for v in (v1, v2):
        p = q.copy()
        velmar.refine(p, v)
        states.append(snapshot(p, x))
    allowed = {k: [s[k] for s in states] for k in states[0]}
    expected_other = make(other, scale).__getstate__()

    errors = []
    counts = {}
    stop = threading.Event()

    def seen(key, value):
        if value not in allowed[key]:
            raise AssertionError(f"{key} matches no serial state")

    def loop(name, body):
        n = 0
        try:
            while not stop.is_set():
                body()
                n += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((name, repr(e)))
            stop.set()
        counts[name] = n

    def reader_dot():
        seen("dot", q.dot(x))

    def reader_dequantize():
        seen("deq", q.dequantize().tobytes())
        out = np.empty(N, np.float32)
        assert q.dequantize(out=out) is out
        seen("deq", out.tobytes())

    def reader_properties():
        st = q.__getstate__()
        seen("state", st)
        seen("scales", q.scales.tobytes())
        seen("zero_points", q.zero_points.tobytes())
        seen("kind", q.kind)
        seen("repr", repr(q))
        seen("nbytes", q.nbytes)
        assert len(q) == N and q.scale is scale

    def reader_copies():
        c = q.copy()
        seen("state", c.__getstate__())
        seen("state", pickle.loads(pickle.dumps(q)).__getstate__())
        seen("state", copy.deepcopy(q).__getstate__())

    flip = [v1, v2]

    def refiner():
        assert velmar.refine(q, flip[0]) is q
        flip.reverse()

    def quantizer():
        assert make(other, scale).__getstate__() == expected_other

    bodies = {
        "dot": reader_dot,
        "dequantize": reader_dequantize,
        "properties": reader_properties,
        "copies": reader_copies,
        "refine": refiner,
        "quantize-a": quantizer,
        "quantize-b": quantizer,
    }
    threads = [threading.Thread(target=loop, args=(n, b), daemon=True) for n, b in bodies.items()]
    for t in threads:
        t.start()
    time.sleep(DURATION)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not [t.name for t in threads if t.is_alive()], "a thread deadlocked"
    assert errors == []
    print(f"\n{make(v0, scale)!r}: calls per thread {counts}")
    # Every thread made progress: no starvation behind a held borrow.
    assert all(n > 0 for n in counts.values()), counts
