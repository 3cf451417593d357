"""Which scheme each tensor gets: the default, the first matching rule, or kept as it is."""

from __future__ import annotations

import argparse
import re
import tomllib
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np

from velmar import kquants
from velmar._native import QuantizeError, Scale, Scheme
from velmar.commands.common import SCHEME_SYNTAX, UsageError, parse_scheme
from velmar.files import open_regular
from velmar.kquants import SuperBlockScheme
from velmar.layout import SCALES, scale_name

if TYPE_CHECKING:
    from velmar.commands.model.reading import Entry

SPEC_SYNTAX = f"{SCHEME_SYNTAX}, optionally followed by @f32, @f16 or @bf16; q2_k to q6_k; or keep"
AnyScheme = Scheme | SuperBlockScheme
Rule = tuple[re.Pattern[str], AnyScheme | None, Scale | None, str]


@dataclass(frozen=True)
class Choice:
    """How one tensor is treated: quantized with a scheme and scale, or kept (scheme None)."""

    scheme: AnyScheme | None
    scale: Scale
    reason: str  # why: "default", the rule that matched, or why it is kept
    note: str = ""  # what the plan says beside it: a fallback, the importance weights
    weights: Any = field(default=None, compare=False)  # from --imatrix: one per column, or a row per expert
    copy: bool = False  # kept byte for byte: the writer copies it from the input, the work never reads it
    scale_named: bool = False  # the user named the scale (after @ or with --scale) rather than taking the default


def parse_spec(text: str, block: int) -> tuple[AnyScheme | None, Scale | None]:
    """``symmetric:4``, ``adaptive:0.01@bf16``, ``q4_k``, ``keep``."""
    spec, _, scale = text.strip().partition("@")
    if spec.strip().lower() == "keep":
        if scale:
            raise UsageError(f"bad scheme {text!r}: keep takes no scale")
        return None, None
    if (sb := kquants.by_name(spec)) is not None:
        if scale:
            raise UsageError(f"bad scheme {text!r}: {sb.name} keeps half-precision scales of its own")
        return sb, Scale.F16
    if scale and scale.lower() not in SCALES:
        raise UsageError(f"bad scheme {text!r}: the scale after @ is f32, f16 or bf16")
    scheme = parse_scheme(spec, block)
    try:  # the quantizer's own checks of bits, block and tolerance, before any work
        scheme.quantize(np.zeros(0, np.float32))
    except QuantizeError as e:
        raise UsageError(f"bad scheme {text!r}: {e}") from None
    return scheme, SCALES[scale.lower()] if scale else None


def spec_name(scheme: AnyScheme | None, scale: Scale) -> str:
    if scheme is None:
        return "keep"
    if isinstance(scheme, SuperBlockScheme):
        return scheme.name
    param = f"{scheme.tolerance:.3g}" if scheme.kind == "adaptive" else str(scheme.bits)
    return f"{scheme.kind}:{param}@{scale_name(scale)}"


@dataclass
class Rules:
    default: AnyScheme
    default_scale: Scale
    scale: Scale  # for rules that name no scale
    rules: list[Rule] = field(default_factory=list)
    keep: list[re.Pattern[str]] = field(default_factory=list)
    scale_named: bool = False  # --scale given
    default_named: bool = False  # the default scheme, or --scale, names its scale

    def choose(self, entry: Entry) -> Choice:
        if entry.stored is not None or entry.blocks:
            return Choice(None, self.scale, "quantized already")
        if not entry.floating:
            return Choice(None, self.scale, "integer")
        if len(entry.shape) < 2:
            return Choice(None, self.scale, "1-D")
        for pattern in self.keep:
            if pattern.search(entry.name):
                return Choice(None, self.scale, f"--keep {pattern.pattern}")
        for pattern, scheme, scale, text in self.rules:
            if pattern.search(entry.name):
                return fitted(entry, Choice(scheme, scale or self.scale, f"rule {text}",
                                            scale_named=self.scale_named or bool(scale)))
        return fitted(entry, Choice(self.default, self.default_scale, "default", scale_named=self.default_named))


def fitted(entry: Entry, choice: Choice) -> Choice:
    """The choice, or its legacy type (or keep) where rows are not whole super-blocks."""
    sb = choice.scheme
    if not isinstance(sb, SuperBlockScheme) or entry.shape[-1] % kquants.SUPER_BLOCK == 0:
        return choice
    why = f"{sb.name} needs rows of whole super-blocks of 256, not {entry.shape[-1]}"
    legacy = sb.fallback
    if entry.shape[-1] % legacy.block:
        return Choice(None, choice.scale, why)
    return replace(choice, scheme=legacy, scale=Scale.F16, note=why)


def with_importance(plan: list[tuple[Entry, Choice]], importance: Any) -> list[tuple[Entry, Choice]]:
    """Every quantized tensor's choice with its weights from an importance file, or a note that it has none."""
    out = []
    for entry, choice in plan:
        if choice.scheme is None:
            out.append((entry, choice))
            continue
        try:
            w = importance.for_tensor(entry.name, entry.shape[-1])
        except ValueError as e:
            raise UsageError(str(e)) from None
        if w is None:
            note = f"unweighted: no importance vector in {importance.source}"
        elif w.ndim == 2 and (len(entry.shape) != 3 or entry.shape[0] != w.shape[0]):
            raise UsageError(f"{entry.name}: {importance.source} holds weights for {w.shape[0]} experts, "
                             f"but the tensor's shape is {entry.shape}")
        else:
            note = f"weighted by {importance.source}"
        out.append((entry, replace(choice, weights=w, note="; ".join(n for n in (choice.note, note) if n))))
    return out


def compile_regex(text: str, where: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as e:
        raise UsageError(f"{where}: bad regular expression {text!r}: {e}") from None


def parse_rule(text: str, block: int, where: str) -> Rule:
    pattern, sep, spec = text.rpartition("=")
    if not sep or not pattern:
        raise UsageError(f"{where}: bad rule {text!r}: expected REGEX=SCHEME")
    scheme, scale = parse_spec(spec, block)
    return compile_regex(pattern, where), scheme, scale, text


def load_rules_file(path: str, block: int) -> tuple[list[Rule], list[re.Pattern[str]], str | None]:
    """A TOML file: ``scheme = "..."``, ``keep = [REGEX, ...]`` and a table ``[rules]`` of REGEX = SCHEME."""
    try:
        with open_regular(path) as f:
            doc = tomllib.load(f)
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except OSError as e:
        raise UsageError(f"{path}: cannot read: {e.strerror or e}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise UsageError(f"{path}: not valid TOML: {e}") from None
    except RecursionError:
        raise UsageError(f"{path}: not valid TOML: arrays or tables nested too deeply") from None
    unknown = set(doc) - {"scheme", "keep", "rules"}
    if unknown:
        raise UsageError(f"{path}: unknown key {sorted(unknown)[0]!r}; expected scheme, keep and [rules]")
    rules: Any = doc.get("rules", {})
    keep: Any = doc.get("keep", [])
    default = doc.get("scheme")
    if not isinstance(rules, dict) or not all(isinstance(v, str) for v in rules.values()):
        raise UsageError(f"{path}: [rules] maps regular expressions to scheme strings")
    if not isinstance(keep, list) or not all(isinstance(k, str) for k in keep):
        raise UsageError(f"{path}: keep is a list of regular expressions")
    if default is not None and not isinstance(default, str):
        raise UsageError(f"{path}: scheme is a string")
    parsed = [(compile_regex(k, path), *parse_spec(v, block), f"{k}={v}") for k, v in rules.items()]
    return parsed, [compile_regex(k, path) for k in keep], default


def make_rules(args: argparse.Namespace) -> Rules:
    if not 1 <= args.block < 2**63:
        raise UsageError(f"--block must be at least 1, not {args.block}")
    rules = [parse_rule(r, args.block, "--rule") for r in args.rule]
    keep = [compile_regex(k, "--keep") for k in args.keep]
    if args.scheme is not None and not args.scheme.strip():  # not the default: that is what leaving it out means
        raise UsageError("--scheme is empty: name a scheme or leave the option out")
    default_text = args.scheme
    if args.rules:
        more, more_keep, file_default = load_rules_file(args.rules, args.block)
        rules += more
        keep += more_keep
        default_text = file_default if default_text is None else default_text
    scheme, scale = parse_spec("symmetric:8" if default_text is None else default_text, args.block)
    if scheme is None:
        raise UsageError("the default scheme cannot be keep; use --keep or rules for that")
    fallback = SCALES[args.scale] if args.scale else Scale.F16
    return Rules(scheme, scale or fallback, fallback, rules, keep, bool(args.scale), bool(args.scale or scale))
