"""The benchmark: its output parses, and its NumPy baselines do velmar's job.

No timing is asserted; only the shape of the report and the arithmetic of the
baselines, which must compute what velmar computes for the ratios to mean
anything.
"""
import io
import math
import re

import numpy as np
import pytest

import velmar
from velmar import bench, report

IMPLS = {"numpy", "velmar", "gguf", "torch"}
TARGET = re.compile(r"^(\S+) ([0-9.e+-]+)x(<=|<|>=)([0-9.e+-]+) (PASS|FAIL)$")
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def run(*argv):
    out = io.StringIO()
    assert bench.main(list(argv), stream=out) == 0  # without --check, misses do not fail
    return out.getvalue().splitlines()


def seconds(text):
    value, unit = text.split()
    return float(value) * UNITS[unit]


def check_target(text):
    m = TARGET.match(text.strip())
    assert m, text
    value, op, limit, mark = float(m[2]), m[3], float(m[4]), m[5]
    ok = {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[op]
    # a value printed with 3 digits may round onto the limit either way
    if not math.isclose(value, limit, rel_tol=5e-3):
        assert mark == ("PASS" if ok else "FAIL"), text
    return mark


def parse_table(lines):
    start = next(i for i, l in enumerate(lines) if l.startswith("impl"))
    assert set(lines[start + 1].replace(" ", "")) == {"-"}
    rows = []
    for line in lines[start + 2:]:
        if not line:
            break
        cells = re.split(r" {2,}", line.strip(), maxsplit=8)
        assert len(cells) >= 8, line
        impl, op, size, dtype, median, *ratios = cells[:8]
        assert impl in IMPLS and dtype in bench.DTYPES, line
        marks = [check_target(t) for t in cells[8].split("; ")] if len(cells) > 8 else []
        rows.append(dict(impl=impl, op=op, n=int(size.replace(",", "")), dtype=dtype,
                         median=seconds(median), ratios=ratios, marks=marks))
    return rows, lines[start + 2 + len(rows):]


def test_quick_table_is_well_formed():
    lines = run("--quick", "--sizes", "32,100", "--ops", "quantize,asymmetric,adaptive,"
                "dequantize,dot,refine,peers")
    rows, rest = parse_table(lines)
    assert {r["n"] for r in rows} == {32, 100}
    copies = {r["n"]: r["median"] for r in rows if r["op"] == "a.copy()"}
    for r in rows:
        assert r["median"] > 0
        for cell in r["ratios"]:
            assert cell == "-" or float(cell) > 0
        # medians print with 3 significant digits, so the ratio is checked loosely
        assert float(r["ratios"][0]) == pytest.approx(r["median"] / copies[r["n"]], rel=0.02)
    velmar_ops = {(r["op"], r["n"], r["dtype"]) for r in rows if r["impl"] == "velmar"}
    for op in ("quantize 8-bit f32", "quantize 4-bit bf16", "asymmetric_quantize 4-bit f32",
               "adaptive_quantize f32", "dequantize(out=) sym4", "dot asym4", "refine adaptive"):
        assert (op, 100, "float32") in velmar_ops
    assert ("quantize 8-bit f32", 32, "float64") in velmar_ops
    # the call-overhead target applies at 32 values, the NumPy one to every quantize row
    q32 = next(r for r in rows if r["impl"] == "velmar" and r["op"] == "quantize 4-bit f16"
               and r["n"] == 32)
    assert len(q32["marks"]) >= 2
    summary = next(l for l in rest if l.startswith("targets:"))
    n_pass, n_fail = map(int, re.findall(r"(\d+) (?:PASS|FAIL)", summary))
    marks = [m for r in rows for m in r["marks"]]
    assert (n_pass, n_fail) == (marks.count("PASS"), marks.count("FAIL"))


def test_threads_and_memory_lines():
    lines = run("--quick", "--ops", "threads,memory", "--threads-size", "4K",
                "--memory-size", "256K")
    threads = [l for l in lines if l.startswith("two threads:")]
    assert len(threads) == 1
    check_target(threads[0].rsplit("; ", 1)[1])
    memory = [l for l in lines if l.startswith("peak extra memory")]
    assert len(memory) == 5 and sum("float64" in l for l in memory) == 1
    for line in memory:
        # a tiny run may reuse freed pages, so the extra itself can be about 0
        m = re.search(r": (-?[0-9.]+) MiB \((VmHWM|ru_maxrss); result ([0-9.]+) MiB\)", line)
        assert m and float(m[3]) > 0, line
        check_target(line.rsplit("; ", 1)[1])


def test_check_exits_non_zero_on_a_missed_target(monkeypatch):
    monkeypatch.setattr(bench, "GOALS", (bench.Goal(".*", "copy", 0.0),))
    argv = ["--quick", "--sizes", "32", "--ops", "dot"]
    assert bench.main(argv, stream=io.StringIO()) == 0
    assert bench.main(argv + ["--check"], stream=io.StringIO()) == 1


@pytest.mark.parametrize("argv", [["--ops", "quantize,nope"], ["--dtypes", "float16"]])
def test_rejects_unknown_choices(argv):
    with pytest.raises(SystemExit):
        bench.parse_args(argv)


@pytest.mark.parametrize("text,n", [("32", 32), ("64K", 65536), ("16M", 1 << 24),
                                    ("1_000", 1000)])
def test_sizes(text, n):
    assert bench.parse_size(text) == n


def data(n, seed=3):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32) * 3


CASES = [(n, block) for n in (1, 33, 100, 1024) for block in (32, 7)]
SCALE_NAMES = list(report.SCALES)


@pytest.mark.parametrize("scale", SCALE_NAMES)
@pytest.mark.parametrize("bits", [8, 4])
@pytest.mark.parametrize("n,block", CASES)
def test_symmetric_baseline_matches(n, block, bits, scale):
    a = data(n)
    q = velmar.quantize(a, bits, block, scale=report.SCALES[scale])
    nq = bench.np_symmetric(a, bits, block, scale)
    np.testing.assert_array_equal(nq.codes.reshape(-1)[:n], q.unpacked_codes)
    np.testing.assert_array_equal(nq.scales_f32(), q.scales)
    if bits == 4:
        np.testing.assert_array_equal(nq.packed, q.codes)
    np.testing.assert_array_equal(bench.np_decode(nq), q.dequantize())


@pytest.mark.parametrize("scale", SCALE_NAMES)
@pytest.mark.parametrize("bits", [8, 4])
@pytest.mark.parametrize("n,block", CASES)
def test_asymmetric_baseline_matches(n, block, bits, scale):
    a = data(n, seed=5)
    q = velmar.asymmetric_quantize(a, bits, block, scale=report.SCALES[scale])
    nq = bench.np_asymmetric(a, bits, block, scale)
    np.testing.assert_array_equal(nq.codes.reshape(-1)[:n], q.unpacked_codes)
    np.testing.assert_array_equal(nq.scales_f32(), q.scales)
    np.testing.assert_array_equal(nq.zero_points_f32(), q.zero_points)
    out = np.full(n, np.nan, np.float32)
    assert bench.np_decode(nq, out=out) is out
    np.testing.assert_array_equal(out, q.dequantize())


@pytest.mark.parametrize("n,block", [(4096, 32), (100, 7), (70, 32)])
def test_refit_baseline_matches_refine(n, block):
    a = data(n, seed=9)
    q = velmar.asymmetric_quantize(a, 4, block)
    nq = bench.np_asymmetric(a, 4, block)
    s, z = bench.np_refit(a, nq)
    velmar.refine(q, a)
    # NumPy sums pairwise, velmar in element order: close, not equal
    np.testing.assert_allclose(s, q.scales, rtol=1e-4)
    np.testing.assert_allclose(z, q.zero_points, rtol=1e-3, atol=1e-3)


def test_refit_baseline_degenerate_blocks():
    # equal codes in a block leave no slope to fit: scale 1, zero point 0
    a = np.concatenate([np.full(32, 2.5, np.float32), data(32)])
    nq = bench.np_asymmetric(a, 4, 32)
    s, z = bench.np_refit(a, nq)
    assert (s[0], z[0]) == (1.0, 0.0)
    assert s[1] > 0
