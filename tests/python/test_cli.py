"""The command-line report: python -m velmar and the velmar command."""

import json
import math
import os
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pytest

import velmar
from velmar import Scale, report

SCALE_NAMES = {"f32": Scale.F32, "f16": Scale.F16, "bf16": Scale.Bf16}


def strict_json(text):
    def refuse(name):
        raise ValueError(f"non-standard JSON constant {name}")

    return json.loads(text, parse_constant=refuse)


@pytest.fixture
def vector(tmp_path):
    """A small vector with blocks of very different ranges and a short last block."""
    rng = np.random.default_rng(7)
    x = (rng.standard_normal(1000) * np.repeat([0.01, 1.0, 30.0, 0.3], 250)).astype(np.float32)
    path = tmp_path / "x.npy"
    np.save(path, x)
    return x, str(path)


def run_main(capsys, *argv):
    code = report.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_default_report_covers_every_scheme_and_scale_in_an_aligned_table(capsys):
    code, out, err = run_main(capsys, "--progress", "never")
    assert code == 0 and err == ""
    lines = out.splitlines()
    assert lines[0].startswith(f"velmar {velmar.__version__}: {report.SAMPLE_SIZE} values from built-in sample")
    table = lines[2:]
    assert len({len(line) for line in table}) == 1, "columns are not aligned"
    names = [" ".join(line.split()[:-6]) + " " + line.split()[-6] for line in table[2:]]
    expected = (
        [f"symmetric {b}-bit" for b in range(2, 9)]
        + ["asymmetric 4-bit", "asymmetric 8-bit"]
        + [f"adaptive tol={s.tolerance:.3g}" for s in report.candidate_schemes(report.sample())[9:]]
    )
    assert len(expected) == 12
    assert names == [f"{n} {s}" for n in expected for s in ("f32", "f16", "bf16")]


def test_json_rows_agree_with_the_library_and_the_error_bound(capsys, vector):
    x, path = vector
    code, out, _ = run_main(capsys, path, "--json")
    assert code == 0
    doc = strict_json(out)
    assert doc["len"] == x.size and doc["block"] == 32 and doc["source"] == path
    rows = doc["rows"]
    assert len(rows) == 36
    x64 = x.astype(np.float64)
    for row in rows:
        scale = SCALE_NAMES[row["scale"]]
        if row["kind"] == "adaptive":
            q = velmar.adaptive_quantize(x, 32, row["tolerance"], scale=scale)
        else:
            fn = velmar.quantize if row["kind"] == "symmetric" else velmar.asymmetric_quantize
            q = fn(x, row["bits"], 32, scale=scale)
        assert (row["nbytes"], row["bits_per_element"]) == (q.nbytes, q.bits_per_element)
        assert row["ratio"] == pytest.approx(32 / q.bits_per_element, rel=1e-6)
        err = q.dequantize().astype(np.float64) - x64
        assert row["rms_error"] == pytest.approx(math.sqrt(np.mean(err**2)), rel=1e-9)
        assert row["max_error"] == pytest.approx(np.abs(err).max(), rel=1e-9)
        assert row["values_per_second"] > 0
        if row["kind"] == "symmetric" and row["scale"] == "f32":
            # Half a step of the widest block bounds every error.
            step = np.abs(x).max() / (2 ** (row["bits"] - 1) - 1)
            assert row["max_error"] <= step / 2 * (1 + 1e-5)


@pytest.mark.parametrize(
    "spec, scale, kind, bits, tolerance",
    [
        ("symmetric:3", "f16", "symmetric", 3, None),
        ("asymmetric", "bf16", "asymmetric", 8, None),
        ("adaptive:0.01", None, "adaptive", None, float(np.float32(0.01))),
        ("Symmetric:16", "f32", "symmetric", 16, None),
    ],
)
def test_scheme_restricts_the_table_and_out_pickles_that_quantization(
    capsys, vector, tmp_path, spec, scale, kind, bits, tolerance
):
    x, path = vector
    pkl = tmp_path / "q.pkl"
    argv = [path, "--scheme", spec, "--out", str(pkl), "--json"] + (["--scale", scale] if scale else [])
    code, out, err = run_main(capsys, *argv)
    assert code == 0, err
    rows = strict_json(out)["rows"]
    assert [(r["kind"], r["bits"], r["tolerance"], r["scale"]) for r in rows] == [
        (kind, bits, tolerance, s) for s in ([scale] if scale else ["f32", "f16", "bf16"])
    ]
    with open(pkl, "rb") as f:
        q = pickle.load(f)
    assert isinstance(q, velmar.Quantized)
    assert (q.kind, q.bits, len(q)) == (kind, bits, x.size)
    assert q.scale is SCALE_NAMES[scale or "f32"]
    scheme = report.parse_scheme(spec)
    expected = scheme.quantize(x, scale=q.scale)
    assert q.codes.tobytes() == expected.codes.tobytes()
    assert np.array_equal(q.dequantize(), expected.dequantize())


@pytest.mark.parametrize(
    "array, flatten, length",
    [
        (np.arange(12, dtype=np.float64).reshape(3, 4), True, 12),
        (np.arange(12, dtype=np.int16).reshape(2, 3, 2).T, True, 12),
        (np.array([True, False, True]), False, 3),
        (np.array(2.5, dtype=np.float32), True, 1),
        (np.array([1e300, -1e300, 1.0]), False, 3),
    ],
)
def test_numeric_arrays_are_accepted(capsys, tmp_path, array, flatten, length):
    path = tmp_path / "a.npy"
    np.save(path, array)
    code, out, err = run_main(capsys, str(path), "--scheme", "symmetric:4", "--json", *(["--flatten"] if flatten else []))
    assert code == 0, err
    assert strict_json(out)["len"] == length
    with np.errstate(over="ignore"):
        expected = np.asarray(array, np.float32).ravel()
    assert np.array_equal(report.load_vector(str(path), flatten=flatten), expected)


def test_non_finite_values_are_left_out_of_the_errors(capsys, tmp_path):
    path = tmp_path / "nan.npy"
    # Blocks shorter than 16 ignore a NaN when they pick their scale.
    np.save(path, np.array([np.nan, 1.0, 0.5, -0.25] * 8, dtype=np.float32))
    code, out, _ = run_main(capsys, str(path), "--scheme", "symmetric:8", "--block", "4", "--scale", "f32", "--json")
    assert code == 0
    (row,) = strict_json(out)["rows"]
    assert 0 < row["max_error"] <= 1 / 127 / 2
    np.save(path, np.full(5, np.nan, dtype=np.float32))
    code, out, _ = run_main(capsys, str(path), "--scheme", "symmetric", "--scale", "f16", "--json")
    assert code == 0
    (row,) = strict_json(out)["rows"]
    assert row["rms_error"] is None and row["max_error"] is None


def _save(tmp_path, name, array, **kw):
    path = tmp_path / name
    np.save(path, array, **kw)
    return str(path)


@pytest.mark.parametrize(
    "make, extra, message",
    [
        (lambda d: str(d / "missing.npy"), [], "missing.npy: no such file"),
        (lambda d: str(d), [], "cannot read"),
        (lambda d: (d / "t.npy").write_text("1 2 3") and str(d / "t.npy"), [], "t.npy: not a .npy file"),
        (lambda d: _save(d, "s.npy", np.array(["1.0", "2.0"])), [], "non-numeric array of dtype <U3"),
        (lambda d: _save(d, "c.npy", np.ones(4, np.complex64)), [], "non-numeric array of dtype complex64"),
        (lambda d: _save(d, "o.npy", np.array([1.0, None]), allow_pickle=True), [], "holds Python objects"),
        (lambda d: _save(d, "m.npy", np.ones((3, 4))), [], "2-D array of shape 3x4; pass --flatten"),
        (lambda d: _save(d, "e.npy", np.ones(0)), [], "holds no values"),
        (lambda d: _save(d, "z.npy", np.ones(3)), ["--scheme", "cubic:3"], "unknown scheme 'cubic:3'"),
        (lambda d: _save(d, "z.npy", np.ones(3)), ["--scheme", "symmetric:four"], "not a valid number"),
        (lambda d: _save(d, "z.npy", np.ones(3)), ["--scheme", "symmetric:-4"], "not a valid number"),
        (
            lambda d: _save(d, "z.npy", np.ones(3)),
            ["--scheme", "symmetric:20"],
            "bit width 20 is outside the supported range 2..=16",
        ),
        (
            lambda d: _save(d, "z.npy", np.ones(3)),
            ["--scheme", "adaptive:-1"],
            "tolerance must be a finite number greater than 0",
        ),
        (lambda d: _save(d, "z.npy", np.ones(3)), ["--out", "q.pkl"], "--out needs --scheme"),
        (lambda d: _save(d, "z.npy", np.ones(3)), ["--block", "0"], "--block must be at least 1"),
        (
            lambda d: _save(d, "z.npy", np.ones(3)),
            ["--scheme", "symmetric", "--out", "/nonexistent-dir/q.pkl"],
            "cannot write /nonexistent-dir/q.pkl",
        ),
    ],
)
def test_user_mistakes_give_one_line_and_status_2(capsys, tmp_path, make, extra, message):
    path = make(tmp_path)
    code, out, err = run_main(capsys, path, *extra)
    assert code == 2
    assert out == ""
    assert err.startswith("velmar: error: ") and err.count("\n") == 1
    assert message in err


def test_python_m_velmar_reports_mistakes_without_traceback(tmp_path):
    missing = tmp_path / "nope.npy"
    r = subprocess.run([sys.executable, "-m", "velmar", str(missing)], capture_output=True, text=True)
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr == f"velmar: error: {missing}: no such file\n"


def test_python_m_velmar_runs_the_report(vector):
    _, path = vector
    r = subprocess.run(
        [sys.executable, "-m", "velmar", path, "--scheme", "symmetric:4"], capture_output=True, text=True
    )
    assert r.returncode == 0, r.stderr
    rows = r.stdout.splitlines()[4:]
    assert [row.split()[:3] for row in rows] == [["symmetric", "4-bit", s] for s in ("f32", "f16", "bf16")]


# pip puts console scripts beside the interpreter it installs for.
SCRIPT = shutil.which("velmar", path=os.path.dirname(sys.executable))


@pytest.mark.skipif(SCRIPT is None, reason="the velmar command comes with pip install")
def test_console_script_is_the_same_report(vector):
    _, path = vector
    r = subprocess.run([SCRIPT, path, "--scheme", "asymmetric:4", "--scale", "f16", "--json"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert [row["scheme"] for row in strict_json(r.stdout)["rows"]] == ["asymmetric 4-bit"]


def test_plot_writes_a_png(capsys, vector, tmp_path):
    pytest.importorskip("matplotlib")
    _, path = vector
    png = tmp_path / "err.png"
    code, out, err = run_main(capsys, path, "--plot", str(png))
    assert code == 0, err
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert png.stat().st_size > 10_000


def test_plot_without_matplotlib_fails_before_any_work(capsys, monkeypatch, vector, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    _, path = vector
    code, out, err = run_main(capsys, path, "--plot", str(tmp_path / "p.png"))
    assert code == 2 and out == ""
    assert "--plot needs matplotlib" in err
    assert not (tmp_path / "p.png").exists()


@pytest.mark.parametrize("have_tqdm", [True, False])
def test_progress_goes_to_stderr_and_leaves_the_table_alone(capsys, monkeypatch, vector, have_tqdm):
    if have_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    _, path = vector
    argv = [path, "--scheme", "symmetric:8", "--json"]
    code, quiet, quiet_err = run_main(capsys, *argv, "--progress", "never")
    assert code == 0 and quiet_err == ""
    code, loud, loud_err = run_main(capsys, *argv, "--progress", "always")
    assert code == 0
    assert "quantizing" in loud_err
    if not have_tqdm:
        assert "quantizing 3/3" in loud_err
    strip = lambda doc: [{k: v for k, v in r.items() if k not in ("seconds", "values_per_second")} for r in doc["rows"]]
    assert strip(strict_json(loud)) == strip(strict_json(quiet))


def test_progress_auto_stays_quiet_off_a_terminal(capsys, monkeypatch, vector):
    monkeypatch.setattr(report, "PROGRESS_THRESHOLD", 10)
    _, path = vector
    code, _, err = run_main(capsys, path, "--scheme", "symmetric:8")
    assert code == 0 and err == ""


def test_candidate_tolerances_follow_the_data_scale():
    x = report.sample(4096)
    small = report.candidate_schemes(x)
    large = report.candidate_schemes(x * np.float32(1000))
    tol = lambda schemes: [s.tolerance for s in schemes if s.kind == "adaptive"]
    assert len(tol(small)) == 3
    assert tol(large) == pytest.approx([t * 1000 for t in tol(small)], rel=1e-5)
    # The adaptive rows then pick the same widths whatever the units.
    for a, b in zip(small[9:], large[9:]):
        assert np.array_equal(a.quantize(x).block_bits, b.quantize(x * np.float32(1000)).block_bits)
    assert tol(report.candidate_schemes(np.zeros(64, np.float32))) == []
