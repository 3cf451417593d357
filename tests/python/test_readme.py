"""Every Python example in README.md runs, and the API reference names everything public."""

import doctest
import pathlib
import re

import pytest

import velmar

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = [
    (TEXT.count("\n", 0, m.start()) + 2, m.group(1))
    for m in re.finditer(r"^```python\n(.*?)^```$", TEXT, flags=re.M | re.S)
]


@pytest.mark.parametrize("line, source", BLOCKS, ids=[f"line{n}" for n, _ in BLOCKS])
def test_readme_example(line, source):
    assert len(BLOCKS) >= 8
    # Optional packages (absent where the wheel is tested under emulation).
    for name in re.findall(r"^>>> (?:import|from) (torch|zarr|numcodecs|dask)\b", source, flags=re.M):
        pytest.importorskip(name)
    # Each block stands alone, as a reader would paste it.
    test = doctest.DocTestParser().get_doctest(source, {}, f"README.md:{line}", str(README), line)
    assert test.examples, "a python block without >>> examples checks nothing"
    report = []
    result = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test, out=report.append)
    assert result.failed == 0, "".join(report)


def test_api_reference_names_every_public_member():
    reference = TEXT[TEXT.index("## API reference") :]
    reference = reference[: reference.index("\n## ", 1)]
    missing = [name for name in velmar.__all__ if f"`{name}" not in reference and f"{name}(" not in reference]
    for cls in (velmar.Quantized, velmar.Scheme, velmar.Scale):
        missing += [
            f"{cls.__name__}.{name}"
            for name in vars(cls)
            if not name.startswith("__") and name != "_from_pickle" and not re.search(rf"\b{name}\b", reference)
        ]
    assert missing == []
