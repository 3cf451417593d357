"""The ``velmar`` command: ``velmar model ...`` for model files, anything else is the vector report."""

from __future__ import annotations

import sys
from collections.abc import Sequence

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if args[:1] == ["model"]:
        from velmar import model

        return model.main(args[1:])
    from velmar import report

    return report.main(args)


if __name__ == "__main__":
    raise SystemExit(main())
