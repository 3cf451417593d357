"""The work on each tensor (quantize it chunk by chunk, or read it to keep it), on threads or Dask workers."""

from __future__ import annotations

import math
import os
import re
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velmar import tensor
from velmar.commands.common import UsageError, optional
from velmar.commands.model.choosing import Choice
from velmar.commands.model.reading import Entry, open_source
from velmar.layout import PARTS, Layout

if TYPE_CHECKING:
    from velmar.io import Stored

# Input bytes quantized in one call: large enough to keep the native code
# busy, small enough that the error statistics' float64 copies stay modest.
CHUNK_BYTES = 16 << 20


@dataclass
class Done:
    """One tensor handled: a quantized layout and parts, or the kept object, and the error statistics."""

    entry: Entry
    choice: Choice
    layout: Layout | None = None
    parts: dict[str, npt.NDArray[Any]] | None = None
    kept: Stored | None = None
    after: int = 0
    sse: float = 0.0  # sums over the finite inputs, in float64
    ssx: float = 0.0
    max_error: float = 0.0

    @property
    def count(self) -> int:
        return math.prod(self.entry.shape)


def work(path: str, entry: Entry, choice: Choice, measure: bool) -> Done:
    """Quantize (or read, if kept) one tensor; runs in a thread or on a Dask worker."""
    try:
        return _work(path, entry, choice, measure)
    except ValueError as e:  # a corrupt tensor in a file whose header was fine
        raise UsageError(f"{path}: {entry.name}: {e}") from None


def _work(path: str, entry: Entry, choice: Choice, measure: bool) -> Done:
    if choice.copy:
        return Done(entry, choice, after=entry.nbytes)
    src = open_source(path)
    if choice.scheme is None:
        kept = src.read(entry)
        return Done(entry, choice, kept=kept, after=int(kept.nbytes))
    done = Done(entry, choice)
    shape = entry.shape
    pieces: dict[str, list[npt.NDArray[Any]]] = {p: [] for p in PARTS}
    for start, chunk in chunks(src.rows(entry.name), shape):
        for values, _, qt in quantized(chunk, choice, start):
            for part, array in qt.parts().items():
                pieces[part].append(array)
            if measure:
                _accumulate(done, values, qt.dequantize())
    done.parts = {p: np.concatenate(v) for p, v in pieces.items()}
    done.layout = Layout.for_scheme(choice.scheme, choice.scale, shape, dtype=entry.dtype)
    done.after = sum(a.nbytes for a in done.parts.values())
    return done


def chunks(rows: Any, shape: tuple[int, ...]) -> Iterator[tuple[int, npt.NDArray[Any]]]:
    """(first row, rows) of a tensor, a chunk of rows along its first axis at a time. A tensor of no values is
    one empty chunk, however many rows of nothing its shape claims: slices of 2**60 of them would never end."""
    if not math.prod(shape):
        yield 0, np.zeros(shape, np.float32)
        return
    step = max(1, CHUNK_BYTES // (4 * math.prod(shape[1:])))
    for start in range(0, shape[0], step):
        yield start, np.asarray(rows[start : min(start + step, shape[0])])


def quantized(chunk: npt.NDArray[Any], choice: Choice,
              start: int) -> Iterator[tuple[npt.NDArray[Any], Any, tensor.QuantizedTensor]]:
    """The chunk (indices start... of the first axis) quantized whole, or one expert at a time where the
    importance weights have a row per expert: (values, their weights, tensor). A refusal names its row as
    a row of the whole tensor."""
    w = choice.weights
    per_index = math.prod(chunk.shape[1:-1])
    slices = [(i, chunk[i], w[start + i]) for i in range(chunk.shape[0])] if w is not None and w.ndim == 2 \
        else [(0, chunk, w)]
    for first, part, weights in slices:
        try:
            qt = tensor.quantize(part, choice.scheme, scale=choice.scale, weights=weights)
        except ValueError as e:
            at = re.match(r"row (\d+): (.*)", str(e))
            if at is None:
                raise
            raise ValueError(f"row {(start + first) * per_index + int(at[1])}: {at[2]}") from None
        yield part, weights, qt


def _accumulate(done: Done, values: npt.NDArray[Any], decoded: npt.NDArray[np.float32]) -> None:
    x = np.asarray(values).reshape(-1).astype(np.float64)  # flat first: NumPy refuses float64 (2**60, 0)
    ok = np.isfinite(x)
    x = x[ok]
    with np.errstate(over="ignore", invalid="ignore"):
        err = decoded.reshape(-1)[ok].astype(np.float64) - x
        done.sse += float(np.dot(err, err))
        done.ssx += float(np.dot(x, x))
        if err.size:
            done.max_error = max(done.max_error, float(np.max(np.abs(err))))


def run_all(path: str, plan: list[tuple[Entry, Choice]], measure: bool, workers: int, dask: str | None,
            progress: Callable[[int], None]) -> Iterator[Done]:
    """Every tensor's result in plan order, with at most ``workers`` tensors in memory at once."""
    if dask is not None:
        connect: Any = optional("distributed", "--dask").Client  # untyped
        try:
            client = connect(dask, timeout="10s")
        except (OSError, TimeoutError, ValueError) as e:
            raise UsageError(f"cannot reach the Dask scheduler at {dask}: {e}") from None
        submit: Callable[..., Any] = lambda *a: client.submit(work, *a, pure=False)  # noqa: E731
        close: Callable[[], None] = client.close
        window = max(workers, sum(client.nthreads().values()))
    else:
        pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="velmar")
        submit = lambda *a: pool.submit(work, *a)  # noqa: E731
        close = lambda: pool.shutdown(cancel_futures=True)  # noqa: E731
        window = workers
    pending: deque[Future[Done]] = deque()
    todo = iter(plan)
    try:
        while True:
            while len(pending) < window:
                nxt = next(todo, None)
                if nxt is None:
                    break
                pending.append(submit(os.path.abspath(path), nxt[0], nxt[1], measure))
            if not pending:
                return
            done = pending.popleft().result()
            progress(done.entry.nbytes)
            yield done
    finally:
        for f in pending:
            f.cancel()
        close()
