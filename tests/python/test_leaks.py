"""Repeated calls, successful and failing, leave nothing behind; allocations that
cannot succeed end in MemoryError.

Three meters: reference counts of the objects handed in; live Python blocks
(tracemalloc) allocated under the calls themselves, so other threads and the
test machinery do not count; and the C heap in use (glibc mallinfo2), which
sees the core's vectors. A leak grows in every window of calls, while a cache
that fills late grows in one, so a case passes on its first quiet window.
"""

import copy
import ctypes
import gc
import os
import pickle
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import velmar
from velmar import Scale

CALLS = 600
V = np.linspace(-3, 3, 1000, dtype=np.float32)
X = np.cos(V).astype(np.float32)
Q = {"sym": velmar.quantize(V, 5, 32), "asym": velmar.asymmetric_quantize(V, 4, 48, scale=Scale.F16),
     "adaptive": velmar.adaptive_quantize(V, 40, 0.01, scale=Scale.Bf16), "small": velmar.quantize(V[:40], 4)}
OUT = np.empty(1000, np.float32)
STATE = Q["adaptive"].__getstate__()
BROKEN = STATE[:5] + (STATE[5][:-1],) + STATE[6:]


class Lying:
    """A sequence whose length is not what it claims."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i < 2:
            return float(i)
        raise IndexError(i)


CASES = {
    "quantize": (lambda: velmar.quantize(V, 4, 32, scale=Scale.F16), None),
    "quantize_tensor list": (lambda: velmar.quantize_tensor(list(V[:50]), 3), None),
    "asymmetric": (lambda: velmar.asymmetric_quantize(V, 7, 33), None),
    "asymmetric_tensor": (lambda: velmar.asymmetric_quantize_tensor(V, 9), None),
    "adaptive": (lambda: velmar.adaptive_quantize(V, 16, 0.05), None),
    "scheme.quantize": (lambda: velmar.Scheme.Q4_32.quantize(V, scale=Scale.Bf16), None),
    "lying sequence": (lambda: velmar.quantize(Lying()), None),
    "bits 1": (lambda: velmar.quantize(V, 1), velmar.InvalidBitsError),
    "block 0": (lambda: velmar.asymmetric_quantize(V, 4, 0), velmar.InvalidBlockError),
    "tolerance nan": (lambda: velmar.adaptive_quantize(V, 8, float("nan")), velmar.InvalidToleranceError),
    "bad element": (lambda: velmar.quantize([1.0, "x"]), TypeError),
    "bad scale": (lambda: velmar.quantize(V, scale=3), TypeError),
    "bits overflow": (lambda: velmar.quantize(V, 2**40), OverflowError),
    "extra keyword": (lambda: velmar.quantize(V, nope=1), TypeError),
    "swapped-endian": (lambda: velmar.quantize(V.astype(">f4")), TypeError),
    "dot": (lambda: Q["asym"].dot(X), None),
    "dot list": (lambda: Q["small"].dot([0.5] * 40), None),
    "dot adaptive": (lambda: Q["adaptive"].dot(X), None),
    "dot wrong length": (lambda: Q["sym"].dot(X[:-1]), velmar.LengthMismatchError),
    "dequantize": (lambda: Q["adaptive"].dequantize(), None),
    "dequantize out": (lambda: Q["sym"].dequantize(out=OUT), None),
    "dequantize out short": (lambda: Q["sym"].dequantize(OUT[:-1]), velmar.LengthMismatchError),
    "dequantize out strided": (lambda: Q["sym"].dequantize(np.empty(2000, np.float32)[::2]), ValueError),
    "properties": (lambda: [getattr(q, p) for q in Q.values() for p in (
        "kind", "scale", "bits", "block", "scales", "zero_points", "codes", "unpacked_codes", "block_bits", "nbytes",
        "bits_per_element")], None),
    "len repr copy": (lambda: (len(Q["asym"]), repr(Q["adaptive"]), Q["sym"].copy(), Q["sym"].is_empty()), None),
    "copy surplus arg": (lambda: Q["sym"].copy(1), TypeError),
    "pickle roundtrip": (lambda: [pickle.loads(pickle.dumps(q)) for q in Q.values()], None),
    "deepcopy": (lambda: copy.deepcopy(Q["adaptive"]), None),
    "from_pickle broken": (lambda: velmar.Quantized._from_pickle(BROKEN), ValueError),
    "from_pickle str codes": (lambda: velmar.Quantized._from_pickle(STATE[:5] + ("ab",) + STATE[6:]), TypeError),
    "from_pickle bad byte": (lambda: velmar.Quantized._from_pickle(STATE[:5] + ([1, 300],) + STATE[6:]), OverflowError),
    "scheme pickle": (lambda: pickle.loads(pickle.dumps(velmar.Scheme.adaptive(8, 0.5))), None),
    "scheme from_pickle bad": (lambda: velmar.Scheme._from_pickle("nope", 4, 32, None), ValueError),
    "scale pickle": (lambda: pickle.loads(pickle.dumps(Scale.F16)), None),
    "refine": (lambda: velmar.refine(Q["asym"].copy(), V), None),
    "refine wrong length": (lambda: velmar.refine(Q["sym"], V[:3]), velmar.LengthMismatchError),
    "fit": (lambda: velmar.fit_scale_and_zero_point(V[:64], np.arange(64, dtype=np.int32)), None),
    "fit uint8 codes": (lambda: velmar.fit_scale_and_zero_point(V[:3], np.zeros(3, np.uint8)), TypeError),
    "exceptions": (lambda: (velmar.InvalidBitsError(3), str(velmar.LengthMismatchError(1, 2))), None),
    "exception bad arg": (lambda: velmar.InvalidBitsError(-1), OverflowError),
}


def heap_in_use():
    """Bytes of the C heap in use, or None where glibc's counter is unavailable."""
    if os.environ.get("VELMAR_SANITIZED"):
        return None  # the sanitizer's allocator replaces glibc's
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def collected_heap():
    gc.collect()
    return heap_in_use()


def run(call, error, n):
    for _ in range(n):
        try:
            call()
        except Exception as e:  # noqa: BLE001
            if error is None or not isinstance(e, error):
                raise
        else:
            assert error is None, f"expected {error.__name__}"


def live_blocks():
    """Live traced blocks allocated with one of this file's frames on the stack."""
    gc.collect()
    snap = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__, all_frames=True)])
    return sum(s.count for s in snap.statistics("filename"))


def quiet(measure, call, error, limit):
    """The growth of `measure` over the first of three windows that stays under `limit`, else the last."""
    for _ in range(3):
        before = measure()
        run(call, error, CALLS)
        grown = measure() - before
        if grown < limit:
            break
    return grown


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(name):
    call, error = CASES[name]
    watched = [V, X, OUT, STATE, BROKEN, Scale.F16, *Q.values()]
    run(call, error, 50)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start(16)
    try:
        run(call, error, 100)
        # One leaked object per call is CALLS blocks; a late cache fills a handful.
        blocks = quiet(live_blocks, call, error, CALLS // 4)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert blocks < CALLS // 4, f"{blocks} more live Python blocks after {CALLS} calls"
    if heap_in_use() is not None:
        heap = quiet(collected_heap, call, error, 16 * CALLS)
        assert heap < 16 * CALLS, f"C heap grew by {heap} bytes over {CALLS} calls"


class Huge:
    """Claims an enormous length; has no elements."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        raise IndexError(i)


SANITIZED = bool(os.environ.get("VELMAR_SANITIZED"))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's operator new dies instead of throwing")
def test_a_length_hint_that_cannot_be_allocated_raises_memory_error():
    for n in (2**40, 2**62):
        with pytest.raises(MemoryError):
            velmar.quantize(Huge(n))
    assert len(velmar.quantize([1.0, 2.0])) == 2


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="needs the plain allocator")
def test_allocation_failure_is_memory_error_not_abort():
    # A child whose address space leaves no room for the work; each call must fail cleanly.
    script = textwrap.dedent("""
        import resource, numpy as np, velmar
        v = np.ones(25_000_000, np.float32)
        q = velmar.quantize(v, 3, 64)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
        for call in (lambda: velmar.quantize(v, 3, 64), lambda: velmar.adaptive_quantize(v, 64, 0.5),
                     q.dequantize, lambda: q.dot(v), lambda: [q.copy() for _ in range(20)],
                     lambda: [q.__getstate__() for _ in range(20)]):
            try:
                call()
                print("no error")
            except MemoryError:
                print("MemoryError")
        print(len(velmar.quantize([1.0, 2.0])))
    """)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                       env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.split() == ["MemoryError"] * 6 + ["2"], r.stdout
