"""python -m velmar.bench still runs against the current API and prints its verdicts."""

import io

from velmar import bench


def test_quick_run_prints_every_operation_and_a_summary():
    out = io.StringIO()
    assert bench.main(["--quick", "--sizes", "100", "--ops", "quantize,asymmetric,adaptive,dequantize,dot,refine"],
                      stream=out) == 0
    text = out.getvalue()
    for op in ("quantize 4-bit F16", "asymmetric_quantize 4-bit F32", "adaptive_quantize F32", "dequantize(out=) sym4",
               "dot asym4", "refine adaptive"):
        assert op in text
    assert "targets:" in text
