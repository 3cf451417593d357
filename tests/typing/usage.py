"""A typed user of velmar, checked with mypy --strict by scripts/check-typing.

assert_type pins what the stub promises; each `type: ignore` marks a misuse the
stub must reject (strict mode reports an unneeded ignore, so a stub that became
too loose fails the check). The file also runs.
"""

import pickle
from typing import assert_type

import numpy as np
import numpy.typing as npt

import velmar
from velmar import InvalidBitsError, LengthMismatchError, Quantized, Scale, Scheme

F32 = npt.NDArray[np.float32]


def main() -> None:
    x = np.linspace(-1.0, 1.0, 1000, dtype=np.float32)
    q = velmar.quantize(x, 4, 64, scale=Scale.F16)
    assert_type(q.kind, "velmar._native._Kind")
    assert_type(q.bits, int | None)
    assert_type(q.block_bits, npt.NDArray[np.uint32] | None)
    assert_type(q.codes, npt.NDArray[np.uint8])
    assert_type(q.unpacked_codes, npt.NDArray[np.int32])
    assert_type(q.scales, F32)
    out: F32 = np.empty(len(q), dtype=np.float32)
    assert_type(q.dequantize(out=out), F32)
    assert_type(q.dot([0.5] * len(q)), float)
    for p in [velmar.quantize_tensor([1, 2, 3], 8), velmar.asymmetric_quantize(x.astype(np.float64), bits=8, block=32),
              velmar.asymmetric_quantize_tensor((True, 1.5, 2), scale=Scale.Bf16),
              velmar.adaptive_quantize(x, tolerance=0.01), Scheme.adaptive(block=128, tolerance=1e-3).quantize(range(256))]:
        assert_type(p.copy(), Quantized)
        assert_type(p.is_empty(), bool)
        assert_type(p.bits_per_element, float)
    assert_type(velmar.refine(q, x), Quantized)
    scale, zero = velmar.fit_scale_and_zero_point(x[:4], np.array([0, 1, 2, 3], dtype=np.int16))
    assert_type(scale + zero, float)
    assert_type(Scheme.symmetric(bits=3).tolerance, float | None)
    assert_type(Scheme.Q4_32 == Scheme.Q8_32, bool)
    assert_type(int(Scale.F16), int)
    copied: Quantized = pickle.loads(pickle.dumps(q))
    assert_type(Quantized._from_pickle(copied.__getstate__()), Quantized)
    try:
        Scheme.symmetric(20).quantize(x)
    except InvalidBitsError as e:
        assert_type(e.bits, int)
    try:
        q.dot(x[:10])
    except LengthMismatchError as e:
        assert_type((e.expected, e.got), tuple[int, int])

    # Misuses the stub must refuse.
    velmar.quantize(x, scale="f16")  # type: ignore[arg-type]
    velmar.quantize(x, 4, 32, Scale.F16)  # type: ignore[call-arg]
    velmar.quantize("1.0, 2.0")  # type: ignore[arg-type]
    velmar.fit_scale_and_zero_point(x, q.codes)  # type: ignore[arg-type]
    q.dequantize(out=np.empty(len(q)))  # type: ignore[type-var]
    q.len  # type: ignore[attr-defined]


if __name__ == "__main__":
    try:
        main()
    except TypeError as e:
        # The misuses above really do fail at run time too.
        print("refused:", e)
