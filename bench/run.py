"""Run the benchmark topics and hold their figures against the goals.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=build/dev \
        python3 bench/run.py [TOPIC ...] [--level quick|full] [--check] [--goals FILE]

A topic is a module of this folder with a ``run(level, out)`` function (see
README.md here); with no TOPIC named, every one runs, in name order. The
figures each returns are ratios against baselines measured in the same
process; ``goals.toml`` says which must stay under (or over) what. At the
end the goals met and missed are counted and the missed ones listed; with --check the exit
status is 1 when any fails.
"""

from __future__ import annotations

import argparse
import importlib.util
import operator
import pathlib
import re
import sys
import tomllib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import IO

HERE = pathlib.Path(__file__).resolve().parent
LEVELS = ("quick", "full")
OPS: dict[str, Callable[[float, float], bool]] = {"<=": operator.le, "<": operator.lt, ">=": operator.ge}
Figures = list[tuple[str, float]]


@dataclass(frozen=True)
class Goal:
    topic: str
    figure: re.Pattern[str]  # matched against the whole name of a figure
    op: str
    limit: float
    note: str = ""

    def verdict(self, value: float) -> str:
        return f"{value:.3g} {self.op} {self.limit:g} {'PASS' if OPS[self.op](value, self.limit) else 'FAIL'}"


def topics() -> dict[str, ModuleType]:
    """Every module of this folder with a run(level, out) function, by name."""
    found = {}
    for path in sorted(HERE.glob("*.py")):
        if path.stem == "run" or path.stem.startswith("_"):
            continue
        spec = importlib.util.spec_from_file_location(f"bench_{path.stem}", path)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
        if callable(getattr(module, "run", None)):
            found[path.stem] = module
    return found


def load_goals(path: pathlib.Path, known: Sequence[str]) -> list[Goal]:
    """The goals of a TOML file, each checked: a known topic, a valid expression, an operator and a number."""
    with open(path, "rb") as f:
        doc = tomllib.load(f)
    goals = []
    for i, g in enumerate(doc.get("goal", [])):
        where = f"{path.name}: goal {i + 1}"
        if g.get("topic") not in known:
            raise ValueError(f"{where}: topic {g.get('topic')!r} is none of {', '.join(known)}")
        if g.get("op") not in OPS or not isinstance(g.get("limit"), (int, float)):
            raise ValueError(f"{where}: op is one of {', '.join(OPS)} and limit a number")
        try:
            pattern = re.compile(g["figure"])
        except (KeyError, re.error) as e:
            raise ValueError(f"{where}: figure must be a regular expression: {e}") from None
        goals.append(Goal(g["topic"], pattern, g["op"], float(g["limit"]), g.get("note", "")))
    return goals


def verdicts(topic: str, figures: Figures, goals: Sequence[Goal]) -> list[tuple[str, str, bool]]:
    """(figure, verdict, met) for every figure of the topic that a goal holds."""
    out = []
    for goal in goals:
        if goal.topic == topic:
            for name, value in figures:
                if goal.figure.fullmatch(name):
                    out.append((name, goal.verdict(value), OPS[goal.op](value, goal.limit)))
    return out


def main(argv: Sequence[str] | None = None, out: IO[str] | None = None) -> int:
    out = out or sys.stdout
    found = topics()
    p = argparse.ArgumentParser(prog="bench/run.py", description=(__doc__ or "").splitlines()[0])
    p.add_argument("topic", nargs="*", metavar="TOPIC", help=f"any of {', '.join(found)} (default: all)")
    p.add_argument("--level", choices=LEVELS, default="full", help="quick: a smoke run of rough figures; full: the recorded ones")
    p.add_argument("--check", action="store_true", help="exit with status 1 when a goal is missed")
    p.add_argument("--goals", type=pathlib.Path, default=HERE / "goals.toml", help="the table of goals")
    args = p.parse_args(argv)
    for name in set(args.topic) - set(found):
        p.error(f"unknown topic {name!r}; the topics are {', '.join(found)}")
    try:
        goals = load_goals(args.goals, list(found))
    except (OSError, ValueError, tomllib.TOMLDecodeError) as e:
        p.error(str(e))
    results: list[tuple[str, str, bool]] = []
    for name in args.topic or found:
        print(f"== {name} ({args.level})", file=out, flush=True)
        results += verdicts(name, found[name].run(args.level, out), goals)
        print(file=out)
    failed = [r for r in results if not r[2]]
    print(f"goals: {len(results) - len(failed)} PASS, {len(failed)} FAIL", file=out)
    for name, verdict, _ in failed:
        print(f"  {name}: {verdict}", file=out)
    return 1 if args.check and failed else 0


if __name__ == "__main__":
    sys.exit(main())
