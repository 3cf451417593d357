"""Repeated calls, successful and failing, must leave nothing behind.

Three meters: reference counts of the objects handed in, Python-level
allocations (tracemalloc, which also sees NumPy's buffers) and the C heap in
use (glibc mallinfo2, which sees the core's vectors). Each case runs a warm-up
first so that caches and free lists have settled.
"""

import copy
import ctypes
import gc
import os
import pickle
import sys
import tracemalloc

import numpy as np
import pytest

import velmar

ROUNDS = 400
V = np.linspace(-3, 3, 1000, dtype=np.float32)
X = np.cos(V).astype(np.float32)
Q = {
    "sym": velmar.quantize(V, 5, 32),
    "asym": velmar.asymmetric_quantize(V, 4, 48, scale=velmar.Scale.F16),
    "adaptive": velmar.adaptive_quantize(V, 40, 0.01, scale=velmar.Scale.Bf16),
}
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
    # quantizers
    "quantize": (lambda: velmar.quantize(V, 4, 32, scale=velmar.Scale.F16), None),
    "quantize_tensor": (lambda: velmar.quantize_tensor(list(V[:50]), 3), None),
    "asymmetric_quantize": (lambda: velmar.asymmetric_quantize(V, 7, 33), None),
    "asymmetric_quantize_tensor": (lambda: velmar.asymmetric_quantize_tensor(V, 9), None),
    "adaptive_quantize": (lambda: velmar.adaptive_quantize(V, 16, 0.05), None),
    "scheme.quantize": (lambda: velmar.Scheme.Q4_32.quantize(V, scale=velmar.Scale.Bf16), None),
    "quantize bits 1": (lambda: velmar.quantize(V, 1), velmar.InvalidBitsError),
    "quantize block 0": (lambda: velmar.asymmetric_quantize(V, 4, 0), velmar.InvalidBlockError),
    "adaptive tolerance nan": (lambda: velmar.adaptive_quantize(V, 8, float("nan")), velmar.InvalidToleranceError),
    "quantize str values": (lambda: velmar.quantize("abc"), TypeError),
    "quantize bad element": (lambda: velmar.quantize([1.0, "x"]), TypeError),
    "quantize lying sequence": (lambda: velmar.quantize(Lying()), None),
    "quantize bad scale": (lambda: velmar.quantize(V, scale=3), TypeError),
    "quantize bits overflow": (lambda: velmar.quantize(V, 2**40), OverflowError),
    "quantize extra kw": (lambda: velmar.quantize(V, nope=1), TypeError),
    "quantize swapped-endian": (lambda: velmar.quantize(V.astype(">f4")), TypeError),
    # decoding and dot
    "dot": (lambda: Q["asym"].dot(X), None),
    "dot list": (lambda: Q["sym"].dot(list(X)), None),
    "dot adaptive": (lambda: Q["adaptive"].dot(X), None),
    "dot wrong length": (lambda: Q["sym"].dot(X[:-1]), velmar.LengthMismatchError),
    "dot bad values": (lambda: Q["sym"].dot(None), TypeError),
    "dequantize": (lambda: Q["adaptive"].dequantize(), None),
    "dequantize out": (lambda: Q["sym"].dequantize(out=OUT), None),
    "dequantize out short": (lambda: Q["sym"].dequantize(OUT[:-1]), velmar.LengthMismatchError),
    "dequantize out f64": (lambda: Q["sym"].dequantize(np.empty(1000)), TypeError),
    "dequantize out strided": (lambda: Q["sym"].dequantize(np.empty(2000, np.float32)[::2]), ValueError),
    # inspection
    "properties": (lambda: [getattr(Q[k], p) for k in Q for p in (
        "kind", "scale", "bits", "block", "scales", "zero_points", "codes", "unpacked_codes",
        "block_bits", "nbytes", "bits_per_element")], None),
    "len repr copy": (lambda: (len(Q["asym"]), repr(Q["adaptive"]), Q["sym"].copy(), Q["sym"].is_empty()), None),
    "copy surplus arg": (lambda: Q["sym"].copy(1), TypeError),
    # pickling
    "pickle roundtrip": (lambda: [pickle.loads(pickle.dumps(q)) for q in Q.values()], None),
    "deepcopy": (lambda: copy.deepcopy(Q["adaptive"]), None),
    "from_pickle": (lambda: velmar.Quantized._from_pickle(STATE), None),
    "from_pickle broken": (lambda: velmar.Quantized._from_pickle(BROKEN), ValueError),
    "from_pickle list": (lambda: velmar.Quantized._from_pickle(list(STATE)), ValueError),
    "from_pickle str codes": (lambda: velmar.Quantized._from_pickle(STATE[:5] + ("ab",) + STATE[6:]), TypeError),
    "from_pickle negative len": (lambda: velmar.Quantized._from_pickle(STATE[:4] + (-1,) + STATE[5:]), OverflowError),
    "from_pickle bad byte": (lambda: velmar.Quantized._from_pickle(STATE[:5] + ([1, 300],) + STATE[6:]), OverflowError),
    "scheme pickle": (lambda: pickle.loads(pickle.dumps(velmar.Scheme.adaptive(8, 0.5))), None),
    "scheme from_pickle bad": (lambda: velmar.Scheme._from_pickle("nope", 4, 32, None), ValueError),
    "scale pickle": (lambda: pickle.loads(pickle.dumps(velmar.Scale.F16)), None),
    # refinement
    "refine": (lambda: velmar.refine(Q["asym"].copy(), V), None),
    "refine wrong length": (lambda: velmar.refine(Q["sym"], V[:3]), velmar.LengthMismatchError),
    "refine not quantized": (lambda: velmar.refine(V, V), TypeError),
    "fit": (lambda: velmar.fit_scale_and_zero_point(V[:64], np.arange(64, dtype=np.int32)), None),
    "fit wrong length": (lambda: velmar.fit_scale_and_zero_point(V[:3], [1, 2]), velmar.LengthMismatchError),
    "fit uint8 codes": (lambda: velmar.fit_scale_and_zero_point(V[:3], np.zeros(3, np.uint8)), TypeError),
    # exception objects
    "exceptions": (lambda: (velmar.InvalidBitsError(3), velmar.LengthMismatchError(1, 2), str(velmar.InvalidBlockError(0))), None),
    "exception bad arg": (lambda: velmar.InvalidBitsError(-1), OverflowError),
}


def heap_in_use():
    """Bytes of the C heap in use, or None where glibc's counter is unavailable."""
    if os.environ.get("VELMAR_SANITIZED"):
        return None  # the sanitizer's allocator replaces glibc's
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def run(call, error, n):
    for _ in range(n):
        try:
            call()
        except Exception as e:  # noqa: BLE001
            if error is None or not isinstance(e, error):
                raise
            del e
        else:
            assert error is None, f"expected {error.__name__}"


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(name):
    call, error = CASES[name]
    watched = [V, X, OUT, STATE, BROKEN, *Q.values()]
    run(call, error, 50)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    heap = heap_in_use()
    tracemalloc.start()
    try:
        # Traced warm-up first: the meter starts seeing caches only now.
        run(call, error, ROUNDS)
        # A leak grows in every window; a cache filling late grows in one.
        for _ in range(3):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            run(call, error, 3 * ROUNDS)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown < 4 * 3 * ROUNDS:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    # One leaked object per call would cost at least 16 bytes a call.
    assert grown < 4 * 3 * ROUNDS, f"Python allocations grew by {grown} bytes over {3 * ROUNDS} calls"
    if heap is not None:
        # A second, longer run: a steady state must not move with the count.
        run(call, error, ROUNDS)
        for _ in range(3):
            gc.collect()
            mid = heap_in_use()
            run(call, error, 3 * ROUNDS)
            gc.collect()
            native = heap_in_use() - mid
            if native < 16 * ROUNDS:
                break
        print(f"{name}: refs steady, traced +{grown} B, heap +{native} B over {3 * ROUNDS} calls")
        assert native < 16 * ROUNDS, f"C heap grew by {native} bytes over {3 * ROUNDS} calls"
