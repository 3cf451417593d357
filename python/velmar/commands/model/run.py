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
from velmar.commands.model.budgeting import Chosen, choose_types
from velmar.commands.model.choosing import Choice, make_rules, with_importance
from velmar.commands.model.reading import Entry, Source, open_source
from velmar.commands.model.work import run_all

PROGRESS_BYTES = 256 << 20


def _progress(args: argparse.Namespace, plan: list[tuple[Entry, Choice]]) -> Progress:
    total = sum(e.nbytes for e, _ in plan)
    show = args.progress == "always" or (args.progress == "auto" and total >= PROGRESS_BYTES and sys.stderr.isatty())
    return Progress(total, "tensors", show, in_bytes=True)


def planned(args: argparse.Namespace) -> tuple[Source, list[tuple[Entry, Choice]], list[Chosen] | None]:
    """The source, every tensor's choice, and with --target-bpw each one's size and error under the budget."""
    if args.workers < 1:
        raise UsageError(f"--workers must be at least 1, not {args.workers}")
    if not args.file:  # made absolute, it would name the current folder
        raise UsageError("FILE is empty: name a model file or folder")
    rules = make_rules(args)
    src = open_source(os.path.abspath(args.file))
    plan = [(e, rules.choose(e)) for e in src.entries]
    if args.imatrix:
        from velmar import imatrix

        try:
            plan = with_importance(plan, imatrix.load(args.imatrix))
        except ValueError as e:
            raise UsageError(str(e)) from None
    if args.target_bpw is None:
        return src, plan, None
    chosen = choose_types(src, plan, args.target_bpw, args.allow, args.block)
    return src, [(c.entry, c.choice) for c in chosen], chosen


def report(args: argparse.Namespace, out: TextIO) -> None:
    if args.plot:
        optional("matplotlib", "--plot")  # fail before the work, not after it
    src, plan, _ = planned(args)
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


# Output formats named by the output's extension; anything else is a velmar file, or a folder.
EXTENSIONS = {".gguf": "gguf", ".safetensors": "velmar"}


def output_kind(args: argparse.Namespace) -> tuple[str, bool]:
    """The output's format and whether it is a folder: the extension decides, --format may only agree."""
    ext = os.path.splitext(args.output)[1].lower()
    named = EXTENSIONS.get(ext)
    if args.format is not None and named is not None and args.format != named:
        raise UsageError(f"--format {args.format} contradicts the output {args.output}, whose extension {ext} "
                         f"means {named}; drop --format or rename the output")
    fmt = args.format or named or "velmar"
    folder = named is None and (fmt == "compressed-tensors" or os.path.isdir(args.file) or args.max_shard_size)
    if args.max_shard_size and not folder:
        raise UsageError(f"--max-shard-size writes a folder, but {args.output} names a {named or fmt} file")
    return fmt, bool(folder)


def quantize(args: argparse.Namespace, out: TextIO) -> None:
    if not args.output:
        raise UsageError("--output is empty: name the file or folder to write")
    if os.path.exists(args.output) and os.path.samefile(args.file, args.output):
        raise UsageError("the output would replace the input; choose another name")
    fmt, folder = output_kind(args)
    max_bytes = writing.parse_size(args.max_shard_size) if args.max_shard_size else None
    src, plan, chosen = planned(args)
    if fmt == "gguf":
        plan, slots = writing.gguf_plan(src, plan, args.gguf_fallback)
    elif fmt == "compressed-tensors":
        plan = writing.ct_plan(plan)
    for needed in ("safetensors", "gguf") if fmt == "gguf" else ("safetensors",):
        optional(needed, f"writing {fmt} files")
    if fmt != "gguf":
        writing.check_names(fmt, plan)
    shards = writing.shard_plan(src, plan, max_bytes) if folder else []
    if args.dry_run:
        for i, (entry, choice) in enumerate(plan):
            print(output.plan_line(entry, choice) + (f"  in {shards[i]}" if shards else ""), file=out)
        if chosen is not None:
            print(output.budget_lines(chosen, args.target_bpw), file=out)
        print(f"dry run: {len(plan)} tensors, nothing written", file=out)
        return
    bar = _progress(args, plan)
    try:
        results = run_all(args.file, plan, False, args.workers, args.dask, bar.update)
        if folder:
            writing.write_folder(args.output, fmt, src, plan, shards, results)
        elif fmt == "gguf":
            writing.write_gguf(args.output, src, slots, results)
        else:
            writing.write_safe(args.output, plan, results, src)
    finally:
        bar.close()
    before = sum(e.nbytes for e, _ in plan)
    after = _size(args.output)
    quantized = sum(c.scheme is not None for _, c in plan)
    print(f"wrote {args.output}: {len(plan)} tensors ({quantized} quantized), {human(before)} -> {human(after)}",
          file=out)


def _size(path: str) -> int:
    if not os.path.isdir(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)
