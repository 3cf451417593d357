"""Replays the kept fuzz inputs for the pickle rebuild through the same checks
the fuzzer applies, so that a regression shows up without running it."""

import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))
import pickle_target  # noqa: E402

CASES = sorted((FUZZ / "regressions" / "pickle").glob("*")) + sorted((FUZZ / "corpus" / "pickle").glob("*"))


def test_there_is_something_to_replay():
    assert len(CASES) > 50


@pytest.mark.parametrize("path", CASES, ids=lambda p: f"{p.parent.name}/{p.name[:12]}")
def test_kept_input(path):
    pickle_target.check(path.read_bytes())


@pytest.mark.parametrize("block", [2**64 - 1, 2**63, 2**32 + 1])
def test_valid_state_with_a_block_larger_than_any_vector(block):
    # Found as a blind spot of the checker: one block spanning everything.
    import numpy as np
    import velmar
    v = np.linspace(-1, 1, 37, dtype=np.float32)
    q = velmar.asymmetric_quantize(v, 6, block)
    st = q.__getstate__()
    assert st[3] == block
    pickle_target.exercise(velmar.Quantized._from_pickle(st), st)
