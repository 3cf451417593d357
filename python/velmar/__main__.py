"""``python -m velmar``: the compression report (see velmar.report)."""

from velmar.report import main

if __name__ == "__main__":
    raise SystemExit(main())
