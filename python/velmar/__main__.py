"""``python -m velmar``: the same command tree as ``velmar`` (see velmar.cli)."""

from velmar.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
