"""bench/run.py finds the topics, runs them against the current API and holds their figures against the goals."""

import importlib.util
import io
import pathlib
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
spec = importlib.util.spec_from_file_location("bench_runner", BENCH / "run.py")
runner = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(runner)


def test_vector_topic_measures_every_operation():
    topics = runner.topics()
    assert {"vectors", "tensors", "models", "widths", "chunks", "kquants"} <= set(topics)
    vectors, out = topics["vectors"], io.StringIO()
    figures = dict(vectors.measure(vectors.parse_args(["--quick", "--sizes", "100", "--ops",
                                                       "quantize,asymmetric,adaptive,dequantize,dot,refine"]), out))
    for name in ("quantize 4-bit f16 | 100 | float32 | numpy", "asymmetric_quantize 4-bit f32 | 100 | float64 | f32",
                 "adaptive_quantize f32 | 100 | float32 | copy", "dequantize(out=) sym4 | 100 | float32 | numpy",
                 "dot asym4 | 100 | float32 | numpy", "refine adaptive | 100 | float32 | copy"):
        assert figures[name] > 0, name
    assert "kernels: " in out.getvalue()


def test_goals_hold_the_figures_of_their_topic_and_check_fails_on_a_miss(tmp_path):
    goals = tmp_path / "goals.toml"
    impossible = '[[goal]]\ntopic = "tensors"\nfigure = "{}"\nop = "<"\nlimit = 0\n'
    goals.write_text((BENCH / "goals.toml").read_text() +  # the real goals load, one no figure meets, one no name is
                     impossible.format("matvec .*") + impossible.format("matvec"))
    argv = ["tensors", "--level", "quick", "--goals", str(goals)]
    out = io.StringIO()
    assert runner.main(argv, out) == 0 and runner.main([*argv, "--check"], io.StringIO()) == 1
    text = out.getvalue()
    assert "== tensors (quick)" in text and "goals: 0 PASS, 2 FAIL" in text
    assert "matvec 512x512 4-bit vs NumPy W_f32 @ x: " in text and " < 0 FAIL" in text
    goals.write_text('[[goal]]\ntopic = "nope"\nfigure = "x"\nop = "<"\nlimit = 1\n')
    with pytest.raises(SystemExit, match="2"):
        runner.main(argv, io.StringIO())
