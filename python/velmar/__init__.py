"""Block-wise low-bit quantization of float32 vectors."""

from velmar import _native
from velmar._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__version__ = _native.__version__
