"""The ``velmar`` command and ``python -m velmar``: one tree of subcommands.

    velmar [vector] [FILE.npy] ...          the compression report of one vector (the default)
    velmar model report|quantize FILE ...   whole model files, tensor by tensor

The tree is declared here; each subcommand's module is imported only when it
is chosen, so that an optional package is needed only where it is used.
Every mistake, whichever subcommand makes it, is one line on stderr,
``velmar: error: ...``, and exit status 2.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from typing import NoReturn

from velmar import _native
from velmar._native import QuantizeError
from velmar.commands.common import SCHEME_SYNTAX, UsageError
from velmar.commands.model.budgeting import ALLOWED
from velmar.commands.model.choosing import SPEC_SYNTAX
from velmar.layout import SCALES

__all__ = ["main", "parser"]


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _vector(p: argparse.ArgumentParser) -> None:
    from velmar.report import BLOCK, PROGRESS_THRESHOLD

    p.add_argument("file", nargs="?", metavar="FILE.npy", help="a NumPy .npy file holding a 1-D numeric array")
    p.add_argument("--flatten", action="store_true", help="accept an array of any shape and quantize its values in C order")
    p.add_argument("--block", type=int, default=BLOCK, help=f"elements per block (default {BLOCK})")
    p.add_argument("--scheme", metavar="SPEC", help=f"only this scheme: {SCHEME_SYNTAX}")
    p.add_argument("--scale", choices=tuple(SCALES), help="only this scale type (default: all three; f32 for --out)")
    p.add_argument("--out", metavar="FILE.pkl", help="quantize with --scheme and --scale and pickle the Quantized object to this file")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.add_argument("--plot", metavar="FILE.png", help="save a plot of RMS error against bits per element (needs matplotlib)")
    p.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                   help=f"progress bar on stderr; auto shows it for inputs of {PROGRESS_THRESHOLD} values or more on a terminal")
    p.set_defaults(run="velmar.commands.vector:run")


def _model_common(q: argparse.ArgumentParser) -> None:
    q.add_argument("file", metavar="FILE", help="a .safetensors, .gguf, .npy or .npz file, or a model folder")
    q.add_argument("--scheme", metavar="SPEC", help=f"the default scheme (symmetric:8): {SPEC_SYNTAX}")
    q.add_argument("--scale", choices=tuple(SCALES), help="scale type where a scheme names none (default f16)")
    q.add_argument("--block", type=int, default=32, help="elements per block (default 32)")
    q.add_argument("--rule", action="append", default=[], metavar="REGEX=SCHEME",
                   help="tensors whose name matches REGEX get SCHEME; the first matching rule wins")
    q.add_argument("--rules", metavar="FILE.toml", help="more rules, a default scheme and keep patterns in TOML")
    q.add_argument("--keep", action="append", default=[], metavar="REGEX", help="leave matching tensors as they are")
    q.add_argument("--workers", type=int, default=1, metavar="N", help="tensors quantized at once, on threads")
    q.add_argument("--dask", metavar="ADDRESS", help="run the per-tensor work on this Dask scheduler")
    q.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                   help="progress bar on stderr (auto: on a terminal, for files of 256 MiB or more)")
    q.add_argument("--imatrix", metavar="FILE", help="weight each fit by llama.cpp importance data (.gguf or .dat)")
    q.add_argument("--target-bpw", type=float, metavar="B",
                   help="choose a type per default-scheme tensor so that the file averages at most B bits per value")
    q.add_argument("--allow", default=ALLOWED, metavar="SPEC,...",
                   help="the types --target-bpw chooses from (default q2_k to q6_k)")


def _model(p: argparse.ArgumentParser) -> None:
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)
    r = sub.add_parser("report", help="per-tensor size and error of a quantization, nothing written")
    _model_common(r)
    r.add_argument("--json", action="store_true", help="print the report as JSON")
    r.add_argument("--plot", metavar="FILE.png", help="save a chart of the error per tensor (needs matplotlib)")
    r.set_defaults(run="velmar.commands.model.run:report")
    q = sub.add_parser("quantize", help="quantize a model into a velmar file or folder, GGUF or compressed-tensors")
    _model_common(q)
    q.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the file (.safetensors, .gguf) or folder to write")
    q.add_argument("--format", choices=("velmar", "gguf", "compressed-tensors"),
                   help="velmar (safetensors), gguf, or compressed-tensors (a folder transformers and vLLM load); "
                        "by default what the output's extension says, else velmar")
    q.add_argument("--max-shard-size", metavar="SIZE",
                   help="write a folder of shards of at most SIZE (5GB, 500MB, 2GiB) instead of the input's shards")
    q.add_argument("--gguf-fallback", choices=("f16", "f32"),
                   help="with --format gguf, write tensors whose scheme has no GGUF type unquantized, as f16 or f32")
    q.add_argument("--dry-run", action="store_true", help="print what would be done and write nothing")
    q.set_defaults(run="velmar.commands.model.run:quantize")


# The subcommands under the root; the first is the one run when none is named.
SUBCOMMANDS = {
    "vector": ("compare the schemes on one vector: size, error and speed (the default)", _vector),
    "model": ("report on and quantize whole model files, tensor by tensor", _model),
}


def parser() -> argparse.ArgumentParser:
    root = _Parser(prog="velmar", description="Block-wise low-bit quantization: reports and model files. "
                   "With no subcommand, the vector report on FILE.npy or on a built-in sample of weight-like values.")
    root.add_argument("--version", action="version", version=f"velmar {_native.__version__}")
    sub = root.add_subparsers(dest="subcommand", metavar="{vector,model}", parser_class=_Parser)
    for name, (text, build) in SUBCOMMANDS.items():
        build(sub.add_parser(name, help=text, description=text))
    return root


def _fail(message: str) -> int:
    print(f"velmar: error: {message}", file=sys.stderr)
    return 2


def main(argv: Sequence[str] | None = None) -> int:
    """Run one subcommand; returns the exit status (2 for a user mistake)."""
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] not in (*SUBCOMMANDS, "-h", "--help", "--version"):
        args.insert(0, next(iter(SUBCOMMANDS)))
    try:
        ns = parser().parse_args(args)
        module, _, name = ns.run.partition(":")
        getattr(importlib.import_module(module), name)(ns, sys.stdout)
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
    except (UsageError, QuantizeError) as e:
        return _fail(str(e))
    except BrokenPipeError:
        # `velmar | head` closed the pipe. Point stdout at /dev/null so that
        # the interpreter's final flush does not complain about it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as e:
        return _fail(f"{e.filename or ''}{': ' if e.filename else ''}{e.strerror or e}")
    except KeyboardInterrupt:
        print("velmar: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
