"""The one converter of array arguments: every array the tensor API takes goes through here.

Accepted: NumPy arrays of real numbers in any byte order and memory layout
(booleans, integers, floats, ml_dtypes' bfloat16 and narrow floats and
integers), PyTorch tensors (detached, their negative and conjugate views
resolved), other objects with ``__dlpack__`` or ``__array__``, buffers
(``bytes``, ``bytearray``, ``memoryview``; bytes are uint8) and nested
sequences of numbers. Everything else is a TypeError. Integers beyond
2**24 in magnitude, which float32 would round, are a ValueError.
"""

from __future__ import annotations

import sys
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from velmar import _tensor
from velmar.layout import is_real

__all__ = ["ACCEPTED", "check_out", "real_array", "vectors"]

ACCEPTED: Final = (
    "an array of real numbers (a NumPy array of booleans, integers, floats or ml_dtypes types, "
    "a PyTorch or other DLPack tensor, an object with __array__, a buffer or a sequence of numbers)"
)
# Integers up to this magnitude convert to float32 exactly.
EXACT_INT: Final = 1 << 24
# torch types NumPy's DLPack import lacks: their bits travel as integers of the same size.
_TORCH_BITS: Final = ("bfloat16", "float8_e4m3fn", "float8_e5m2", "float8_e4m3fnuz", "float8_e5m2fnuz")


def real_array(a: object, name: str) -> npt.NDArray[Any]:
    """``a`` as a NumPy array of real numbers, in place where NumPy can read it so."""
    arr = _import(a, name)
    if not is_real(arr.dtype):
        raise TypeError(f"{name}: expected {ACCEPTED}; got {type(a).__name__} of dtype {arr.dtype}")
    if arr.dtype.kind in "iu" and arr.dtype.itemsize >= 4 and arr.size:
        _check_exact(int(arr.min()), int(arr.max()), arr.dtype.name, name)
    return arr


def vectors(x: object, n: int, name: str) -> tuple[npt.NDArray[np.float32], bool]:
    """A vector of ``n`` values or a batch of them as float32 rows (k, n), and whether it was one vector."""
    xs = real_array(x, name)
    if xs.ndim not in (1, 2) or xs.shape[-1] != n:
        raise ValueError(f"{name}: expected shape ({n},) or (k, {n}), got {xs.shape}")
    rows = np.require(xs, np.float32, ["C", "A"])
    if np.may_share_memory(rows, xs):
        # The native module reads a vector once per row with the lock released:
        # rows that saw another thread's writes would each have used another vector.
        rows = _copy_whole(rows)
    return rows.reshape(len(xs) if xs.ndim == 2 else 1, n), xs.ndim == 1


def _copy_whole(a: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """A copy of ``a`` (C-contiguous float32) read a whole value at a time, though another thread writes it."""
    out = np.empty_like(a)
    _tensor.copy_whole(a, out)
    return out


def check_out(out: object, shape: tuple[int, ...], name: str = "out") -> npt.NDArray[np.float32]:
    """A caller's array to write results into: float32, native, C-contiguous, writeable, of ``shape``."""
    if not isinstance(out, np.ndarray) or out.dtype != np.float32 or not out.dtype.isnative:
        got = out.dtype if isinstance(out, np.ndarray) else type(out).__name__
        raise TypeError(f"{name}: expected a float32 NumPy array, got {got}")
    if out.shape != shape:
        raise ValueError(f"{name}: expected shape {shape}, got {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError(f"{name}: expected a C-contiguous, writeable array")
    return out


def _check_exact(lo: int, hi: int, dtype: str, name: str) -> None:
    worst = hi if hi > -lo else lo
    if abs(worst) > EXACT_INT:
        raise ValueError(
            f"{name}: {dtype} values convert to float32 exactly only up to 2**24 in magnitude; got {worst} "
            "(convert the array to float32 yourself to accept the rounding)"
        )


def _import(a: object, name: str) -> npt.NDArray[Any]:
    if isinstance(a, np.ndarray):
        return a
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(a, torch.Tensor):
        return _from_torch(a, torch, name)
    if isinstance(a, (bytes, bytearray)):
        return np.frombuffer(a, np.uint8)
    dlpack_error = None
    try:
        if hasattr(a, "__dlpack__"):
            return np.from_dlpack(a)
    except MemoryError:
        raise
    except Exception as e:  # the object's own code may raise anything; __array__ may still work
        dlpack_error = e
    try:
        arr = np.asarray(a)
    except MemoryError:
        raise
    except Exception as e:
        raise _unreadable(a, name, dlpack_error or e) from None
    if arr.dtype == object and dlpack_error is not None:
        raise _unreadable(a, name, dlpack_error)
    if isinstance(a, (list, tuple)) and arr.size and (arr.dtype == object or _beyond_exact(arr)):
        # NumPy turns Python integers it cannot hold in 64 bits, and NumPy
        # integers among floats, into floats or objects; they are integers
        # still, and their rule holds.
        ints = [int(v) for v in np.array(a, dtype=object).flat if type(v) is int or isinstance(v, np.integer)]
        if ints:
            _check_exact(min(ints), max(ints), "integer", name)
        if len(ints) == arr.size:
            return arr.astype(np.int64)
    return arr


def _unreadable(a: object, name: str, e: Exception) -> TypeError:
    return TypeError(f"{name}: expected {ACCEPTED}; got {type(a).__name__} that NumPy cannot read "
                     f"({type(e).__name__}: {e})")


def _beyond_exact(arr: npt.NDArray[Any]) -> bool:
    return arr.dtype.kind == "f" and bool(np.fmax.reduce(np.abs(arr), axis=None, initial=0) > EXACT_INT)


def _from_torch(t: Any, torch: Any, name: str) -> npt.NDArray[Any]:
    # Model weights are Parameters with gradients; views may carry a negative or
    # conjugate bit that DLPack does not, which would hand over flipped values.
    t = t.detach().resolve_conj().resolve_neg()
    kind = str(t.dtype).removeprefix("torch.")
    try:
        if kind in _TORCH_BITS:
            import ml_dtypes  # on first need: it is slow to load

            same_size = {1: torch.uint8, 2: torch.int16}[t.element_size()]
            return np.from_dlpack(t.view(same_size)).view(getattr(ml_dtypes, kind))
        return np.from_dlpack(t)
    except (BufferError, RuntimeError, TypeError, ValueError) as e:
        raise TypeError(f"{name}: expected {ACCEPTED}; got a torch tensor NumPy cannot read ({e})") from None
