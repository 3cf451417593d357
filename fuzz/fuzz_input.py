"""atheris entry point for the array-input converter: python fuzz/fuzz_input.py CORPUS -max_total_time=N

Any array, in any form an array argument takes, must give quantize_array, t @ x and t.search the values a
plain float32 conversion gives, or be refused by all with the same error, as judged from the array alone
(search refuses a query of the wrong length with LengthMismatchError)."""

import os
import sys

import atheris

with atheris.instrument_imports():
    import ml_dtypes
    import numpy as np

    import velmar
    from velmar import quantize_array
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pickle_target import Bytes  # noqa: E402

import torch  # noqa: E402

DTYPES = ["?", "i1", "u1", "<i2", ">i2", "<i4", ">u4", "<i8", ">i8", "<u8", "<f2", ">f2", "<f4", ">f4", "<f8", ">f8",
          "g", "<c8", "U2", "O", "M8[s]", "V4", ml_dtypes.bfloat16, ml_dtypes.float8_e4m3fn, ml_dtypes.float8_e5m2,
          ml_dtypes.int4, ml_dtypes.float4_e2m1fn]
ML_REAL = {"bfloat16", "float8_e4m3fn", "float8_e5m2", "int4", "float4_e2m1fn"}
TORCH = {n: getattr(torch, n) for n in ["bool", "int8", "uint8", "int16", "int32", "int64", "uint32", "float16",
                                         "float32", "float64", "complex64", "bfloat16", "float8_e4m3fn", "float8_e5m2"]}


def only(**methods):
    return type("Only", (), methods)()


def make_array(b):
    dtype, shape = np.dtype(b.pick(DTYPES)), tuple(b.u8() % 5 for _ in range(b.u8() % 4))
    count = int(np.prod(shape))
    if dtype.kind in "OUMV":
        return np.zeros(count, dtype).reshape(shape)
    raw = b.raw(count * dtype.itemsize + 1)
    arr = np.frombuffer(raw[1:] if b.u8() % 2 else raw[:-1], dtype).reshape(shape)  # unaligned half the time
    if dtype.kind in "iu" and dtype.itemsize >= 4 and b.u8() % 3:
        arr = np.asarray(arr % np.array(1 << 20, dtype), dtype)  # mostly within 2**24
    if dtype.kind == "f" and b.u8() % 2:
        arr = np.asarray(np.nan_to_num(arr.astype(np.float64), posinf=1, neginf=-1).clip(-1e6, 1e6), dtype)
    what = b.u8() % 5
    if what < 3 and arr.ndim:
        arr = [arr[::-1], arr.T, np.broadcast_to(arr[:1], arr.shape)][what]
    return arr.copy() if what == 3 else arr


def torch_form(b, arr):
    """A torch tensor holding arr's values, or arr where torch has no such type."""
    native = np.array(arr, arr.dtype.newbyteorder("="), order="C")
    kind = TORCH.get(native.dtype.name)
    if kind is None:
        return arr
    t = torch.from_numpy(native.astype(np.float32) if native.dtype.name in ML_REAL else native).to(kind)
    what = b.u8() % 5
    if what == 0 and t.is_floating_point():
        t = torch.nn.Parameter(t)
    elif what == 1 and t.dtype in (torch.float32, torch.float64):
        t = torch.complex(t, -t).conj().imag  # the negative bit; the values of t
    elif what == 2 and t.is_floating_point():
        t = t._neg_view()._neg_view()
    elif what == 3 and t.ndim > 1:
        t = t.mT.contiguous().mT
    return t


def form(b, arr):
    """(the argument, the array whose values it holds)."""
    what = b.u8() % 7
    if what == 1 and arr.dtype.kind not in "OUMV":  # Python integers keep the integers' rule
        return arr.tolist(), arr if arr.dtype.kind in "iu" and arr.size else np.asarray(arr.tolist())
    if what == 2 and arr.flags.c_contiguous:
        try:
            return memoryview(arr), arr
        except ValueError:  # a type buffers cannot describe
            pass
    if what == 3:
        raw = arr.tobytes()
        return (bytes(raw) if b.u8() % 2 else bytearray(raw)), np.frombuffer(raw, np.uint8)
    if what == 4:
        return only(__array__=lambda self, dtype=None, copy=None: arr), arr
    if what == 5 and arr.dtype.kind in "biuf" and arr.dtype.name not in ML_REAL and arr.dtype.itemsize <= 8:
        exported = np.array(arr, arr.dtype.newbyteorder("="))  # what DLPack can carry
        exported.flags.writeable = bool(b.u8() % 2)  # the read-only flag of a versioned capsule
        return only(__dlpack__=lambda self, **kw: exported.__dlpack__(**kw), __dlpack_device__=lambda self: (1, 0)), arr
    return (torch_form(b, arr) if what == 6 else arr), arr


def expected(values):
    """The float32 values, or the exception type a converter must raise for them."""
    dt = values.dtype
    if dt.kind not in "biuf" and dt.name not in ML_REAL:
        return TypeError
    if dt.kind in "iu" and dt.itemsize >= 4 and any(abs(int(v)) > 2**24 for v in values.flat):
        return ValueError
    return values.astype(np.float32)


def outcome(call):
    try:
        return call()
    except (TypeError, ValueError, velmar.LengthMismatchError) as e:
        assert "internal" not in str(e), e
        return e


def check(data):
    b = Bytes(data)
    arr = make_array(b)
    value, values = form(b, arr)
    want = expected(values)
    n = arr.shape[-1] if arr.ndim else 0
    t = quantize_array(np.linspace(-1, 1, 3 * n, dtype=np.float32).reshape(3, n), bits=2 + b.u8() % 7)
    got_q = outcome(lambda: quantize_array(value, bits=4, block=3, axis=0))
    got_x = outcome(lambda: t @ value)
    got_s = outcome(lambda: t.search(value, 2))
    if isinstance(want, type):
        assert all(isinstance(got, want) for got in (got_q, got_x, got_s)), (got_q, got_x, got_s, want, value)
        assert str(got_q).split(": ", 1)[1] == str(got_x).split(": ", 1)[1] == str(got_s).split(": ", 1)[1]
        return
    if want.ndim == 0:
        assert isinstance(got_q, ValueError) and "0-d" in str(got_q), got_q
    else:
        assert isinstance(got_q, velmar.QuantizedTensor), (got_q, value, want)
        ref = quantize_array(want, bits=4, block=3, axis=0).__getstate__()
        assert got_q.__getstate__()[5] == ref[5] and got_q.shape == want.shape, (value, want)
    if want.ndim in (1, 2) and want.shape[-1] == n:
        assert isinstance(got_x, np.ndarray) and got_x.tobytes() == (t @ want).tobytes(), (value, got_x)
        assert [r.tobytes() for r in got_s] == [r.tobytes() for r in t.search(want, 2)], (value, got_s)
    else:
        assert isinstance(got_x, ValueError) and "expected shape" in str(got_x), got_x
        wrong = velmar.LengthMismatchError if want.ndim in (1, 2) else ValueError
        assert isinstance(got_s, wrong), got_s


def main():
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
