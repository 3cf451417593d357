"""python -m velmar.bench runs against the current API, prints its verdicts and, with --check, fails on a miss."""

import io

from velmar import bench


def test_quick_run_prints_every_operation_and_a_summary():
    out = io.StringIO()
    assert bench.main(["--quick", "--sizes", "100", "--ops", "quantize,asymmetric,adaptive,dequantize,dot,refine"],
                      stream=out) == 0
    text = out.getvalue()
    for op in ("quantize 4-bit f16", "asymmetric_quantize 4-bit f32", "adaptive_quantize f32", "dequantize(out=) sym4",
               "dot asym4", "refine adaptive", "kernels: "):
        assert op in text, op
    assert "targets:" in text


def test_check_exits_non_zero_on_a_missed_target(monkeypatch):
    monkeypatch.setattr(bench, "GOALS", (bench.Goal(".*", "copy", 0.0),))
    argv = ["--quick", "--sizes", "32", "--ops", "dot"]
    assert bench.main(argv, stream=io.StringIO()) == 0
    assert bench.main(argv + ["--check"], stream=io.StringIO()) == 1
