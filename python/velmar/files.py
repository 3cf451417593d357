"""Files and bytes from outside, and files written whole.

Nothing here needs an optional package: the command line's plain outputs
use it as much as the model files do.
"""

from __future__ import annotations

import errno
import io
import json
import os
import stat
import threading
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, Self

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["DuplicateKeyError", "Staged", "durable_replace", "open_regular", "parse_json", "staging_name"]


class DuplicateKeyError(ValueError):
    """A JSON object names a key twice: readers disagree on which value it has."""


def _distinct(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    doc: dict[str, Any] = {}
    for key, value in pairs:
        if key in doc:
            raise DuplicateKeyError(f"the key {key!r:.80} appears twice in one object")
        doc[key] = value
    return doc


def parse_json(text: str | bytes) -> Any:
    """JSON whose objects name each key once; raises DuplicateKeyError, or ValueError for what is no JSON."""
    return json.loads(text, object_pairs_hook=_distinct)


def open_regular(path: str | os.PathLike[str]) -> IO[bytes]:
    """``path`` opened for reading if it is a regular file; OSError otherwise.

    Opened without blocking, then checked: a named pipe would otherwise wait
    for a writer forever, and a device has no size to check a header against.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file (a pipe or a device)", os.fspath(path))
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def durable_replace(temp: str, final: str) -> None:
    """Renames a finished temporary file over `final`, flushed to disk first, so
    that a crash leaves either the old file or the whole new one."""
    _fsync(temp)
    os.replace(temp, final)
    _fsync(os.path.dirname(os.path.abspath(final)))


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# Longest file name most file systems take, in bytes.
NAME_MAX = 255


def staging_name(path: str) -> str:
    """A temporary name next to ``path``, unique to this thread, that fits where ``path``'s name does."""
    directory, base = os.path.split(os.path.abspath(path))
    tail = f".{os.getpid()}.{threading.get_ident()}.part"
    # Cut in bytes: a character cut in two decodes to escapes that encode back to the same bytes.
    kept = os.fsdecode(os.fsencode(base)[: NAME_MAX - 1 - len(tail)])
    return os.path.join(directory, f".{kept}{tail}")


class _Output(io.FileIO):
    """The temporary file, whose write errors (a full disk) name the output the caller chose."""

    def __init__(self, fd: int, path: str) -> None:
        super().__init__(fd, "wb")
        self.target = path

    def write(self, data: ReadableBuffer, /) -> int:
        try:
            return super().write(data)
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.target) from None


class Staged:
    """A file written under a temporary name next to ``path``; it gets its name only in ``commit``.

    Subclasses write to ``self.file`` and end their ``commit`` with
    ``_publish``; leaving a ``with`` block early, or a failed commit, removes
    the temporary file, so an incomplete file is never left behind. Errors
    name ``path``: the temporary name is nothing the caller chose. A ``path``
    that is a symbolic link stays one: the file it points to is replaced.
    """

    def __init__(self, path: str | os.PathLike[str], shown: str | None = None) -> None:
        # A folder's shard is written inside its temporary folder, and shown in the folder asked for.
        self.shown = os.fspath(path) if shown is None else shown
        # Renamed onto a link, the file would replace the link: it goes where the link points instead.
        self.path = os.path.realpath(path) if os.path.islink(path) else os.fspath(path)
        self.temp = staging_name(self.path)
        try:
            # The rename would put a regular file in place of a device or a pipe.
            mode = os.stat(self.path).st_mode
        except FileNotFoundError:
            mode = stat.S_IFREG
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.shown) from None
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.shown)
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file (a pipe or a device)", self.shown)
        try:
            fd = os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.shown) from None
        self.file: IO[bytes] = io.BufferedWriter(_Output(fd, self.shown))

    def commit(self) -> None:
        self._publish()

    def _publish(self) -> None:
        self.file.close()
        try:
            durable_replace(self.temp, self.path)
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.shown) from None

    def abort(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass  # on a full disk the last flush fails too; the file goes all the same
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        if kind is None:
            try:
                self.commit()
            except BaseException:
                self.abort()  # a file that could not be completed is not left behind either
                raise
        else:
            self.abort()
