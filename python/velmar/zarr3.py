"""The velmar codec in zarr 3's form: an array-to-bytes codec named "velmar".

    zarr.create_array(store, shape=..., chunks=..., dtype="float32",
                      serializer=VelmarCodec(bound=1e-3), compressors=ZstdCodec(level=1))

Its configuration and chunks are those of ``velmar.codecs.Velmar``. Installing
velmar registers the name through zarr's entry points, so arrays written with
it open anywhere velmar is installed; importing this module registers it too.
"""

from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Self

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import JSON, parse_named_configuration
from zarr.registry import register_codec

from velmar.codecs import CODEC_ID, Config, decode_chunk, encode_chunk, parameters

if TYPE_CHECKING:
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer
    from zarr.core.chunk_grids import ChunkGrid
    from zarr.core.dtype.wrapper import TBaseDType, TBaseScalar, ZDType

__all__ = ["VelmarCodec"]


@dataclass(frozen=True)
class VelmarCodec(ArrayBytesCodec):
    """Stores float32 chunks in velmar's form; see ``velmar.codecs.Velmar`` for the parameters."""

    is_fixed_size = False

    kind: str | None
    bits: int | None
    block: int
    tolerance: float | None
    scale: str
    bound: float | None

    def __init__(self, *, kind: str | None = None, bits: int | None = None, block: int | None = None,
                 tolerance: float | None = None, scale: str = "f32", bound: float | None = None) -> None:
        config = Config.parse(kind, bits, block, tolerance, scale, bound)
        for field, value in config.as_dict().items():
            object.__setattr__(self, field, value)

    @property
    def config(self) -> Config:
        return Config.parse(self.kind, self.bits, self.block, self.tolerance, self.scale, self.bound)

    @classmethod
    def from_dict(cls, data: dict[str, JSON]) -> Self:
        _, configuration = parse_named_configuration(data, CODEC_ID, require_configuration=False)
        return cls(**parameters(configuration or {}))

    def to_dict(self) -> dict[str, JSON]:
        fields = {k: v for k, v in self.config.as_dict().items() if v is not None}
        return {"name": CODEC_ID, "configuration": fields}

    def validate(self, *, shape: tuple[int, ...], dtype: ZDType[TBaseDType, TBaseScalar], chunk_grid: ChunkGrid) -> None:
        if np.dtype(dtype.to_native_dtype()) != np.float32:
            raise ValueError(f"velmar codec: stores float32 arrays, not {dtype.to_native_dtype()}")

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError  # chunks vary in size

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        values = np.ascontiguousarray(chunk_array.as_numpy_array())
        data = await asyncio.to_thread(encode_chunk, values, self.config)
        return chunk_spec.prototype.buffer.from_bytes(data)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        values: Any = await asyncio.to_thread(decode_chunk, chunk_bytes.as_numpy_array(), None,
                                              math.prod(chunk_spec.shape))
        return chunk_spec.prototype.nd_buffer.from_numpy_array(values.reshape(chunk_spec.shape))


register_codec(CODEC_ID, VelmarCodec)
