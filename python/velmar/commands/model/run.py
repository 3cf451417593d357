"""The two model subcommands, ``report`` and ``quantize``: plan, run the work, print or write."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import TextIO

from velmar import _native
from velmar.commands.common import Progress, UsageError, human, optional
from velmar.commands.model import output, writing
from velmar.commands.model.choosing import Choice, make_rules
from velmar.commands.model.reading import Entry, Source, open_source
from velmar.commands.model.work import run_all

PROGRESS_BYTES = 256 << 20


def _progress(args: argparse.Namespace, plan: list[tuple[Entry, Choice]]) -> Progress:
    total = sum(e.nbytes for e, _ in plan)
    show = args.progress == "always" or (args.progress == "auto" and total >= PROGRESS_BYTES and sys.stderr.isatty())
    return Progress(total, "tensors", show, in_bytes=True)


def planned(args: argparse.Namespace) -> tuple[Source, list[tuple[Entry, Choice]]]:
    if args.workers < 1:
        raise UsageError(f"--workers must be at least 1, not {args.workers}")
    rules = make_rules(args)
    src = open_source(os.path.abspath(args.file))
    return src, [(e, rules.choose(e)) for e in src.entries]


def report(args: argparse.Namespace, out: TextIO) -> None:
    if args.plot:
        optional("matplotlib", "--plot")  # fail before the work, not after it
    src, plan = planned(args)
    bar = _progress(args, plan)
    try:
        done = list(run_all(args.file, plan, True, args.workers, args.dask, bar.update))
    finally:
        bar.close()
    rows = [output.row_of(d) for d in done]
    totals = output.totals_of(done)
    if args.plot:
        output.plot(rows, args.plot, f"velmar on {os.path.basename(args.file)}")
    if args.json:
        json.dump({"velmar": _native.__version__, "source": args.file, "tensors": rows, "totals": totals},
                  out, indent=2, allow_nan=False)
        out.write("\n")
        return
    print(f"velmar {_native.__version__}: {len(rows)} tensors from {args.file}", file=out)
    print(file=out)
    print(output.table(rows, totals), file=out)


def quantize(args: argparse.Namespace, out: TextIO) -> None:
    if os.path.exists(args.output) and os.path.samefile(args.file, args.output):
        raise UsageError("the output would replace the input; choose another name")
    src, plan = planned(args)
    if args.format == "gguf":
        plan = writing.gguf_check(plan, args.gguf_fallback)
    if args.dry_run:
        for entry, choice in plan:
            print(output.plan_line(entry, choice), file=out)
        print(f"dry run: {len(plan)} tensors, nothing written", file=out)
        return
    bar = _progress(args, plan)
    try:
        results = run_all(args.file, plan, False, args.workers, args.dask, bar.update)
        if args.format == "gguf":
            writing.write_gguf(args.output, results, args.gguf_fallback)
        else:
            writing.write_safe(args.output, plan, results, src)
    finally:
        bar.close()
    before = sum(e.nbytes for e, _ in plan)
    after = os.path.getsize(args.output)
    quantized = sum(c.scheme is not None for _, c in plan)
    print(f"wrote {args.output}: {len(plan)} tensors ({quantized} quantized), {human(before)} -> {human(after)}",
          file=out)
