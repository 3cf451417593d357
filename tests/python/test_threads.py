"""Threads: the lock is released while quantizing, and readers never see a half-refined object.

refine only swaps scales and zero points for fixed codes, so a shared object is
always in one of three states (as quantized, refined against v1 or v2); any
result that matches none of them is a torn read.
"""

import copy
import pickle
import sys
import threading
import time

import numpy as np
import pytest

import velmar
from velmar import Scale

N = 1 << 15


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("make", [
    lambda v: velmar.quantize(v, 8, 64, scale=Scale.Bf16), lambda v: velmar.quantize(v, 4, 32),
    lambda v: velmar.asymmetric_quantize(v, 5, 33), lambda v: velmar.adaptive_quantize(v, 48, 0.01, scale=Scale.F16),
])
def test_readers_see_whole_states_while_refine_runs(make, fast_switching):
    rng = np.random.default_rng(7)
    v0, x, other = (rng.standard_normal(N).astype(np.float32) for _ in range(3))
    targets = [v0 * np.float32(1.5) + np.float32(0.25), v0 * np.float32(-0.5)]
    q = make(v0)
    views = {"dot": lambda p: p.dot(x), "deq": lambda p: p.dequantize().tobytes(),
             "out": lambda p: p.dequantize(out=np.empty(N, np.float32)).tobytes(), "state": lambda p: p.__getstate__(),
             "pickle": lambda p: pickle.loads(pickle.dumps(p)).__getstate__(),
             "deepcopy": lambda p: copy.deepcopy(p).__getstate__(), "repr": repr, "scales": lambda p: p.scales.tobytes()}
    states = [q.copy()] + [velmar.refine(q.copy(), t) for t in targets]
    allowed = {k: [f(s) for s in states] for k, f in views.items()}
    allowed["out"] = allowed["deq"]
    expected_other = make(other).__getstate__()
    errors, counts, stop = [], {}, threading.Event()

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

    def reader(key):
        def body():
            assert views[key](q) in allowed[key], f"{key} matches no whole state"
        return body

    def refiner():
        velmar.refine(q, targets[0])
        targets.reverse()

    def quantizer():
        assert make(other).__getstate__() == expected_other

    bodies = {k: reader(k) for k in views} | {"refine": refiner, "quantize": quantizer}
    threads = [threading.Thread(target=loop, args=item, daemon=True) for item in bodies.items()]
    for t in threads:
        t.start()
    time.sleep(0.6)
    stop.set()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads), "a thread deadlocked"
    assert errors == [] and all(n > 0 for n in counts.values()), (errors, counts)


class Watched(np.ndarray):
    """Signals once quantize has taken its float32 copy."""

    def astype(self, *args, **kwargs):
        out = np.asarray(self).astype(*args, **kwargs)
        self.converted.set()
        return out


def test_input_may_change_while_the_unlocked_quantizer_runs():
    base = np.random.default_rng(9).standard_normal(1 << 24)
    values = base.copy().view(Watched)
    values.converted, done, stamps = threading.Event(), threading.Event(), []
    raw = values.view(np.ndarray)
    expected = velmar.quantize(base.astype(np.float32), 3, 32).__getstate__()

    def mutator():
        if values.converted.wait(10):
            while not done.is_set():
                stamps.append(time.perf_counter())
                raw[::7] = 1e6

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    t = threading.Thread(target=mutator)
    t.start()
    try:
        q = velmar.quantize(values, 3, 32)
        end = time.perf_counter()
    finally:
        done.set()
        t.join()
        sys.setswitchinterval(interval)
    assert q.__getstate__() == expected
    # with the lock held through the computation the mutator would only run after `end`
    assert [s for s in stamps if s < end - 0.005], "no other thread ran while quantize worked"
