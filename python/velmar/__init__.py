"""Block-wise low-bit quantization of float32 vectors."""

from velmar import _native
from velmar._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__version__ = _native.__version__

# N-D arrays quantized along an axis, beside the 1-D functions above.
from velmar import tensor  # noqa: E402
from velmar.tensor import QuantizedTensor  # noqa: E402
from velmar.tensor import quantize as quantize_array  # noqa: E402

__all__ += ["QuantizedTensor", "quantize_array"]
