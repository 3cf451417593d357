"""``velmar [vector] [FILE.npy]``: the compression report of one vector (see velmar.report)."""

from __future__ import annotations

import argparse
import json
import os
import pickle
import sys
from typing import TextIO

from velmar import _native, report
from velmar._native import Quantized
from velmar.commands.common import UsageError, optional, parse_scheme
from velmar.files import Staged
from velmar.layout import SCALES


def _save(q: Quantized, path: str) -> None:
    try:
        with Staged(path) as f:
            pickle.dump(q, f.file, protocol=pickle.HIGHEST_PROTOCOL)
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None


def run(args: argparse.Namespace, out: TextIO) -> None:
    if not 1 <= args.block < 2**63:
        raise UsageError(f"--block must be at least 1 (and fit 63 bits), not {args.block}")
    if args.out and not args.scheme:
        raise UsageError("--out needs --scheme to say how to quantize")
    if args.plot:
        optional("matplotlib", "--plot")  # fail before the work, not after it

    if args.file is None:
        values, source = report.sample(), "built-in sample"
    else:
        values, source = report.load_vector(args.file, flatten=args.flatten), args.file

    chosen = parse_scheme(args.scheme, args.block) if args.scheme else None
    schemes = [chosen] if chosen else report.candidate_schemes(values, args.block)
    scales = [SCALES[args.scale]] if args.scale else list(SCALES.values())
    progress = args.progress == "always" or (
        args.progress == "auto" and values.size >= report.PROGRESS_THRESHOLD and sys.stderr.isatty()
    )
    rows = report.run(values, schemes, scales, progress=progress)

    if chosen is not None and args.out:
        _save(chosen.quantize(values, scale=SCALES[args.scale or "f32"]), args.out)

    if args.plot:
        report.plot(rows, args.plot, title=f"velmar on {os.path.basename(source)} ({values.size} values)")

    if args.json:
        doc = {
            "velmar": _native.__version__,
            "source": source,
            "len": int(values.size),
            "block": args.block,
            "rows": [r.as_dict() for r in rows],
        }
        if args.out:
            doc["out"] = args.out
        json.dump(doc, out, indent=2, allow_nan=False)
        out.write("\n")
        return

    print(f"velmar {_native.__version__}: {values.size} values from {source}, block {args.block}", file=out)
    print(file=out)
    print(report.format_table(rows), file=out)
    if args.out:
        print(f"\nsaved {report.scheme_name(chosen) if chosen else ''} ({args.scale or 'f32'}) to {args.out}", file=out)
