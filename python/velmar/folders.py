"""Model folders as Hugging Face lays them out: ``config.json``, safetensors shards and their index.

A folder holds one or many shards (``model.safetensors``, or
``model-00001-of-00003.safetensors`` and so on) and, when sharded,
``model.safetensors.index.json`` whose ``weight_map`` names the shard of every
stored array. ``open_folder`` checks all of it before anything is read: every
shard the index names exists and is a safetensors file, every array it names
is in that shard, no array is in two shards, ``config.json`` is a JSON object.
Each mistake is one ValueError naming the file and, where there is one, the
array. ``FolderWriter`` writes a folder under a temporary name, shard by
shard, and renames it into place when complete.
"""

from __future__ import annotations

import json
import os
import shutil
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from velmar import io
from velmar.files import Staged, durable_replace, open_regular, parse_json, staging_name
from velmar.layout import PARTS

__all__ = ["CONFIG", "INDEX", "Folder", "FolderWriter", "open_folder", "shard_names", "stored_keys"]

CONFIG = "config.json"
INDEX = "model.safetensors.index.json"
SINGLE = "model.safetensors"


def shard_names(count: int) -> list[str]:
    """The names Hugging Face gives ``count`` shards."""
    if count == 1:
        return [SINGLE]
    return [f"model-{i:05d}-of-{count:05d}.safetensors" for i in range(1, count + 1)]


def stored_keys(f: io.File) -> dict[str, str]:
    """Every array key a velmar or safetensors file stores, to the tensor it belongs to."""
    keys = {}
    for name in f.keys():
        if f.layout(name) is None:
            keys[name] = name
        else:
            keys.update({io.part_key(name, p): name for p in PARTS})
    return keys


def _json(path: str) -> Any:
    try:
        with open_regular(path) as f:
            return parse_json(f.read())
    except OSError as e:  # a folder of that name, say
        raise ValueError(f"{path}: cannot read: {e.strerror or e}") from None
    except (ValueError, RecursionError) as e:
        raise ValueError(f"{path}: not valid JSON: {e}") from None


@dataclass
class Folder:
    path: str
    shards: dict[str, io.File]  # by file name, in order
    config: dict[str, Any] | None
    index: dict[str, Any] | None  # the index's JSON, as read
    others: list[str] = field(default_factory=list)  # everything else, relative paths, copied to an output

    def close(self) -> None:
        for f in self.shards.values():
            f.close()


def open_folder(path: str | os.PathLike[str]) -> Folder:
    """A model folder with every shard opened and every name checked; raises ValueError naming what is wrong."""
    root = os.fspath(path)
    config = None
    if os.path.exists(os.path.join(root, CONFIG)):
        config = _json(os.path.join(root, CONFIG))
        if not isinstance(config, dict):
            raise ValueError(f"{os.path.join(root, CONFIG)}: not a JSON object")
    index_path = os.path.join(root, INDEX)
    index = None
    if os.path.exists(index_path):
        index = _json(index_path)
        weight_map = index.get("weight_map") if isinstance(index, dict) else None
        if not isinstance(weight_map, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                       for k, v in weight_map.items()):
            raise ValueError(f"{index_path}: weight_map: expected an object of array names to shard file names")
        names = list(dict.fromkeys(weight_map.values()))
    else:
        weight_map = None
        names = sorted(n for n in os.listdir(root) if n.endswith(".safetensors"))
        if not names:
            raise ValueError(f"{root}: no safetensors files and no {INDEX}")
    shards: dict[str, io.File] = {}
    folder = Folder(root, shards, config, index)
    try:
        seen: dict[str, str] = {}
        for name in names:
            shard = os.path.join(root, name)
            if os.path.dirname(os.path.normpath(name)) or not os.path.isfile(shard):
                raise ValueError(f"{shard}: a shard {INDEX} names is missing")
            shards[name] = io.File(shard)
            for key in stored_keys(shards[name]):
                if key in seen:
                    raise ValueError(f"{shard}: {key!r} is in {seen[key]} too")
                seen[key] = name
        for key, name in (weight_map or {}).items():
            if seen.get(key) != name:
                raise ValueError(f"{os.path.join(root, name)}: {INDEX} names {key!r} in it, but it does not hold it")
    except BaseException:
        folder.close()
        raise
    skip = {CONFIG, INDEX, *names}
    for base, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for f in sorted(files):
            rel = os.path.relpath(os.path.join(base, f), root)
            # Files only: copying a pipe fails after all the work, a link to /dev/zero never ends.
            if rel not in skip and not f.startswith(".") and os.path.isfile(os.path.join(base, f)):
                folder.others.append(rel)
    return folder


class FolderWriter:
    """A model folder written under a temporary name next to ``path``, one shard after another.

    ``shard(name, entries, metadata)`` starts the next shard (an io.Writer, so
    arrays are streamed into it); ``commit`` writes the index (when there is
    more than one shard), config.json and the copied files, then renames the
    folder into place. A folder that exists already is refused, never merged
    into or replaced.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.path.abspath(os.fspath(path))
        if os.path.lexists(self.path):
            raise ValueError(f"{self.path}: exists already; choose a new folder or remove it")
        self.temp = staging_name(self.path)
        try:
            os.mkdir(self.temp)
        except OSError as e:  # the temporary name is nothing the caller chose
            raise OSError(e.errno, e.strerror, self.path) from None
        self.weight_map: dict[str, str] = {}
        self.total = 0
        self.writer: io.Writer | None = None

    def shard(self, name: str, entries: list[tuple[str, str, tuple[int, ...]]], metadata: Mapping[str, str]) -> io.Writer:
        self._close_shard()
        self.writer = io.Writer(os.path.join(self.temp, name), entries, metadata, os.path.join(self.path, name))
        self.weight_map.update({key: name for key, _, _ in entries})
        return self.writer

    def _close_shard(self) -> None:
        if self.writer is not None:
            writer, self.writer = self.writer, None
            writer.commit()
            self.total += writer.offset

    def commit(self, *, index: Mapping[str, Any] | None, config: Mapping[str, Any] | None, source: str | None,
               others: Sequence[str]) -> None:
        """Finish: the index (keeping the input index's other keys), config.json, then the files copied from source."""
        self._close_shard()
        shards = set(self.weight_map.values())
        if len(shards) > 1 or index is not None:
            doc = {k: v for k, v in (index or {}).items() if k != "weight_map"}
            metadata = doc.get("metadata")
            doc["metadata"] = {**(metadata if isinstance(metadata, dict) else {}), "total_size": self.total}
            doc["weight_map"] = self.weight_map
            self._json(INDEX, doc)
        if config is not None:
            self._json(CONFIG, dict(config))
        try:
            for rel in others if source is not None else ():
                os.makedirs(os.path.dirname(os.path.join(self.temp, rel)), exist_ok=True)
                shutil.copy2(os.path.join(source or "", rel), os.path.join(self.temp, rel))
            for base, _, names in os.walk(self.temp):
                for name in names:  # on disk before the folder gets its name
                    durable_replace(os.path.join(base, name), os.path.join(base, name))
            durable_replace(self.temp, self.path)
        except OSError as e:
            raise OSError(e.errno, e.strerror or str(e), self._shown(e)) from None

    def _shown(self, e: OSError) -> str:
        """What an error names: a file of the temporary folder as the one in the folder asked for.

        A failed copy names both files, the source first; the second is where it failed to write.
        """
        name = e.filename2 if e.filename2 is not None else e.filename
        if not isinstance(name, str):  # none, or a descriptor (fsync's)
            return self.path
        if name == self.temp or name.startswith(self.temp + os.sep):
            return self.path + name[len(self.temp) :]
        return name

    def _json(self, name: str, doc: Any) -> None:
        with Staged(os.path.join(self.temp, name), os.path.join(self.path, name)) as out:
            out.file.write(json.dumps(doc, indent=2).encode())

    def abort(self) -> None:
        if self.writer is not None:
            self.writer.abort()
        shutil.rmtree(self.temp, ignore_errors=True)
