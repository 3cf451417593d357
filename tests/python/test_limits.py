"""Sizes at the edge of 64 bits, widths far outside 2..16, and allocations
that cannot succeed: each must end in a clean Python exception."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velmar

U64 = 2**64
F32, F16 = velmar.Scale.F32, velmar.Scale.F16


def state(kind="symmetric", scale=F32, block=32, n=4, codes=b"\x00" * 4, bits=8, widths=(), scales=b"\0" * 4,
          zps=b""):
    return (1, kind, scale, block, n, codes, bits, widths, scales, zps)


@pytest.mark.parametrize(
    "st",
    [
        # count * bits wraps 64 bits: 2**61 codes of 8 bits are 2**64 bytes.
        state(n=2**61, block=2**61, codes=b""),
        state(n=2**61 + 1, block=2**63, bits=16, codes=b"\x00" * 2),
        state(n=U64 - 1, block=U64 - 1, bits=16, codes=b"\xff" * 8),
        state(n=U64 - 1, block=1, bits=2, codes=b""),
        # ceil(len / block) near the top: len + block - 1 would wrap.
        state(n=U64 - 1, block=U64 - 2, codes=b"", scales=b"\0" * 8),
        state(kind="asymmetric", n=U64 - 1, block=2**63, codes=b"", scales=b"\0" * 8, zps=b"\0" * 8),
        state(kind="adaptive", n=U64 - 1, block=U64 - 1, codes=b"\0" * 16, widths=(8,), scales=b"\0" * 4,
              zps=b"\0" * 4),
        state(kind="adaptive", n=2**62, block=2**61, codes=b"\0" * 3, widths=(2, 2), scales=b"\0" * 8,
              zps=b"\0" * 8),
        state(block=0),
        state(block=0, n=0, codes=b"", scales=b""),
    ],
)
def test_unrepresentable_sizes_are_refused(st):
    with pytest.raises(ValueError, match="^malformed pickle state$"):
        velmar.Quantized._from_pickle(st)


@pytest.mark.parametrize("bits", [0, 1, 17, 24, 31, 32, 33, 40, 2**32 - 1])
@pytest.mark.parametrize("kind", ["symmetric", "asymmetric"])
def test_widths_outside_the_code_range_are_refused(kind, bits):
    n = 4
    codes = b"\x00" * ((n * bits + 7) // 8)
    st = state(kind=kind, n=n, bits=bits, codes=codes, zps=b"\0" * 4 if kind == "asymmetric" else b"")
    with pytest.raises(ValueError, match="^malformed pickle state$"):
        velmar.Quantized._from_pickle(st)


@pytest.mark.parametrize("width", [0, 1, 9, 16, 32, 40, 2**32 - 1])
def test_adaptive_widths_outside_two_to_eight_are_refused(width):
    codes = b"\x00" * ((4 * width + 7) // 8)
    st = state(kind="adaptive", n=4, widths=(width,), codes=codes, zps=b"\0" * 4)
    with pytest.raises(ValueError, match="^malformed pickle state$"):
        velmar.Quantized._from_pickle(st)


@pytest.mark.parametrize(
    "index, value, error",
    [(3, U64, OverflowError), (4, U64, OverflowError), (4, -1, OverflowError), (6, 2**32, OverflowError),
     (7, (2**32,), OverflowError), (0, 2**31, OverflowError), (3, 2.0, TypeError)],
)
def test_fields_beyond_their_integer_types_raise_conversion_errors(index, value, error):
    st = list(state())
    st[index] = value
    with pytest.raises(error):
        velmar.Quantized._from_pickle(tuple(st))


def test_largest_block_is_one_block():
    v = np.arange(5, dtype=np.float32)
    for q in (velmar.quantize(v, 4, U64 - 1), velmar.adaptive_quantize(v, U64 - 1)):
        assert q.block == U64 - 1 and len(q.scales) == 1
        assert np.array_equal(q.dequantize(), velmar.quantize(v, 4, 5).dequantize()) or q.kind == "adaptive"
        again = velmar.Quantized._from_pickle(q.__getstate__())
        assert again.__getstate__() == q.__getstate__()


@pytest.mark.parametrize("call", [
    lambda: velmar.quantize([1.0], 2**32),
    lambda: velmar.quantize([1.0], 8, U64),
    lambda: velmar.adaptive_quantize([1.0], -1),
    lambda: velmar.Scheme.symmetric(8, U64),
])
def test_parameters_beyond_their_types_overflow(call):
    with pytest.raises(OverflowError):
        call()


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
@pytest.mark.parametrize("n", [2**40, 2**60, 2**62])
def test_a_length_hint_that_cannot_be_allocated_raises_memory_error(n):
    with pytest.raises(MemoryError):
        velmar.quantize(Huge(n))
    # The interpreter is intact afterwards.
    assert len(velmar.quantize([1.0, 2.0])) == 2


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                    reason="address-space limits need the plain allocator")
@pytest.mark.parametrize("what", ["quantize", "adaptive", "dequantize", "dot", "copy", "pickle"])
def test_allocation_failure_is_memory_error_not_abort(what):
    # A child process whose address space leaves no room for the work.
    script = textwrap.dedent(f"""
        import resource, numpy as np, velmar
        n = 25_000_000
        v = np.ones(n, np.float32)
        q = velmar.quantize(v, 3, 64) if "{what}" != "quantize" and "{what}" != "adaptive" else None
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
        calls = {{
            "quantize": lambda: velmar.quantize(v, 3, 64),
            "adaptive": lambda: velmar.adaptive_quantize(v, 64, 0.5),
            "dequantize": lambda: q.dequantize(),
            "dot": lambda: q.dot(v),
            "copy": lambda: [q.copy() for _ in range(20)],
            "pickle": lambda: [q.__getstate__() for _ in range(20)],
        }}
        try:
            calls["{what}"]()
        except MemoryError:
            print("MemoryError")
        else:
            print("no error")
        print(len(velmar.quantize([1.0, 2.0])))
    """)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.split() == ["MemoryError", "2"], r.stdout
