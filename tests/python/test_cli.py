"""The velmar command: the vector report (python -m velmar), and the one-line mistakes of both subcommands."""

import errno
import importlib.util
import io
import json
import math
import os
import pickle
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest

import velmar
from velmar import Scale, cli, report

SCALE_NAMES = {"f32": Scale.F32, "f16": Scale.F16, "bf16": Scale.Bf16}


@pytest.fixture
def vector(tmp_path):
    """Blocks of very different ranges."""
    x = (np.random.default_rng(7).standard_normal(1000) * np.repeat([0.01, 1.0, 30.0, 0.3], 250)).astype(np.float32)
    np.save(tmp_path / "x.npy", x)
    return x, str(tmp_path / "x.npy")


def main(capsys, *argv):
    return (cli.main(list(argv)), *capsys.readouterr())


def rows_of(out):
    return json.loads(out, parse_constant=lambda c: pytest.fail(f"non-standard JSON {c}"))["rows"]


def test_table_and_json_agree_with_the_library(capsys, vector, tmp_path):
    x, path = vector
    plot = ["--plot", str(tmp_path / "e.png")] if importlib.util.find_spec("matplotlib") else []
    code, out, err = main(capsys, path, "--progress", "never", *plot)
    assert code == 0 and err == "" and out.startswith(f"velmar {velmar.__version__}: 1000 values from {path}, block 32")
    assert not plot or (tmp_path / "e.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    table = out.splitlines()[2:]
    assert len({len(line) for line in table}) == 1, "columns are not aligned"
    # Adaptive tolerances are fractions of the data's RMS.
    tols = [s.tolerance for s in report.candidate_schemes(x)[9:]]
    assert tols == pytest.approx([r * math.sqrt(np.mean(x.astype(np.float64) ** 2)) for r in (0.2, 0.05, 0.01)])
    assert report.candidate_schemes(np.zeros(64, np.float32))[9:] == []
    names = [f"symmetric {b}-bit" for b in range(2, 9)] + ["asymmetric 4-bit", "asymmetric 8-bit"] + [
        f"adaptive tol={t:.3g}" for t in tols]
    assert [" ".join(line.split()[:-5]) for line in table[2:]] == [f"{n} {s}" for n in names for s in SCALE_NAMES]
    rows = rows_of(main(capsys, path, "--json")[1])
    assert len(rows) == 36
    for row in rows:
        scale = SCALE_NAMES[row["scale"]]
        q = (velmar.adaptive_quantize(x, 32, row["tolerance"], scale=scale) if row["kind"] == "adaptive" else
             (velmar.quantize if row["kind"] == "symmetric" else velmar.asymmetric_quantize)(x, row["bits"], scale=scale))
        err = q.dequantize().astype(np.float64) - x
        want = [q.nbytes, q.bits_per_element, 4 * x.size / q.nbytes, math.sqrt(np.mean(err**2)), np.abs(err).max()]
        assert [row[k] for k in ("nbytes", "bits_per_element", "ratio", "rms_error", "max_error")] == pytest.approx(
            want, rel=1e-9) and row["values_per_second"] > 0


@pytest.mark.parametrize("spec, scale, kind, bits, tol", [
    ("symmetric:3", "f16", "symmetric", 3, None), ("asymmetric", "bf16", "asymmetric", 8, None),
    ("adaptive:0.01", None, "adaptive", None, float(np.float32(0.01))), ("Symmetric:16", "f32", "symmetric", 16, None),
])
def test_scheme_restricts_the_report_and_out_pickles_it(capsys, vector, tmp_path, spec, scale, kind, bits, tol):
    x, path = vector
    pkl = tmp_path / "q.pkl"
    code, out, err = main(capsys, path, "--scheme", spec, "--out", str(pkl), "--json", *(["--scale", scale] if scale else []))
    assert code == 0, err
    assert [(r["kind"], r["bits"], r["tolerance"], r["scale"]) for r in rows_of(out)] == [
        (kind, bits, tol, s) for s in ([scale] if scale else SCALE_NAMES)]
    q = pickle.loads(pkl.read_bytes())
    assert q.__getstate__() == report.parse_scheme(spec).quantize(x, scale=SCALE_NAMES[scale or "f32"]).__getstate__()


def test_numeric_arrays_are_read_as_float32_and_non_finite_values_left_out_of_the_errors(capsys, tmp_path):
    path = str(tmp_path / "a.npy")
    for array, flatten in [(np.arange(12, dtype=np.int16).reshape(2, 3, 2).T, True), (np.array(2.5, np.float32), True),
                           (np.array([1e300, True, 1.0]), False)]:
        np.save(path, array)
        assert main(capsys, path, "--scheme", "symmetric:4", "--json", *(["--flatten"] * flatten))[0] == 0, array
        with np.errstate(over="ignore"):
            assert report.load_vector(path, flatten=flatten).tolist() == array.astype(np.float32).ravel().tolist()
    np.save(path, np.array([np.nan, 1.0, 0.5, -0.25] * 8, np.float32))
    (row,) = rows_of(main(capsys, path, "--scheme", "symmetric:8", "--block", "4", "--scale", "f32", "--json")[1])
    assert 0 < row["max_error"] <= 1 / 127 / 2
    np.save(path, np.full(5, np.nan, np.float32))
    (row,) = rows_of(main(capsys, path, "--scheme", "symmetric", "--scale", "f16", "--json")[1])
    assert row["rms_error"] is None and row["max_error"] is None


def npz(names, claim=None):
    """An archive of stored .npy headers claiming 10**9 values; with ``claim``, zip records claiming that many bytes."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in names:
            z.writestr(name, b"\x93NUMPY\x01\x00\x76\x00"
                       + b"{'descr': '<f4', 'fortran_order': False, 'shape': (1000000000,), }".ljust(117) + b"\n")
    raw = bytearray(out.getvalue())
    for record, at in ((b"PK\x03\x04", 18), (b"PK\x01\x02", 20)) if claim else ():
        struct.pack_into("<II", raw, raw.index(record) + at, claim, claim)
    return bytes(raw)


# The files the mistakes below read, in the directory {d}.
FILES = {"t.npy": b"1 2 3", "junk": b"\x05" * 40, "g.gguf": b"GGUF" + bytes(40), "r.toml": b'schema = "symmetric"\n', "e.toml": b'scheme = ""', "z.npy": np.ones(3),
         "u.toml": b'scheme = "\xff"', "n.toml": b"keep = " + b"[" * 5000 + b"]" * 5000,
         "l.npy": b"\x93NUMPY\x02\x00\xff\xff\xff\xff", "k.npy": b"\x93NUMPY\x01\x00\x10\x00{'descr': '<f4'\n",
         "s.npy": np.array(["1.0", "2.0"]), "c.npy": np.ones(4, np.complex64), "o.npy": np.array([1.0, None]),
         "m.npy": np.ones((3, 4)), "e.npy": np.ones(0), "p.npy": np.float64(2.5), "b.npz": b"PK\x03\x04" + bytes(40),
         "h.npy": b"\x93NUMPY\x01\x00\x76\x00" + b"{'descr': '<f4', 'fortran_order': False, 'shape': (1099511627776,), }".ljust(117) + b"\n",
         **{f"{k}.npy": b"\x93NUMPY\x01\x00\x76\x00" + f"{{'descr': '<f4', 'fortran_order': False, 'shape': {shape}, }}"
            .encode().ljust(117) + b"\n" + bytes(24)
            for k, shape in (("v", "(-1,)"), ("w", "(True, 3)"), ("r", "(7,)"))},
         "y.npz": npz(["w.npy"], claim=0xFFFF0000), "x.npz": npz(["w.npy", "w"]), "pipe": os.mkfifo, "q.pkl": b"old"}
MISTAKES = [
    ("{d}", "cannot read"),
    ("{d}/t.npy", "t.npy: not a .npy file"),
    ("{d}/s.npy", "non-numeric array of dtype <U3"),
    ("{d}/c.npy", "non-numeric array of dtype complex64"),
    ("{d}/o.npy", "holds Python objects"),
    ("{d}/m.npy", "2-D array of shape 3x4; pass --flatten"),
    ("{d}/p.npy", "0-D array of shape scalar; pass --flatten"),
    ("{d}/e.npy", "holds no values"),
    ("{d}/l.npy", "unreadable .npy file: a .npy header of 4294967295 bytes, but 0 bytes follow"),
    ("{d}/k.npy", "unreadable .npy file: ('EOF in multi-line statement'"),
    ("{d}/w.npy --flatten", "unreadable .npy file: a .npy header with shape (True, 3): sizes are whole numbers"),
    ("{d}/r.npy", "r.npy: unreadable .npy file: its header says float32[7], 28 bytes, but 24 bytes follow it"),
    ("{d}/z.npy --scheme cubic:3", "unknown scheme 'cubic:3'"),
    ("{d}/z.npy --scheme symmetric:-4", "not a valid number"),
    ("{d}/z.npy --scheme symmetric:4_0", "not a valid number"),  # int() reads it as 40
    ("{d}/z.npy --scheme symmetric:20", "bit width 20 is outside the supported range 2..=16"),
    ("{d}/z.npy --scheme adaptive:-1", "tolerance must be a finite number greater than 0"),
    ("{d}/z.npy --out q.pkl", "--out needs --scheme"),
    ("{d}/z.npy --block 0", "--block must be at least 1"),
    ("{d}/z.npy --scheme symmetric --out /nonexistent-dir/q.pkl", "cannot write /nonexistent-dir/q.pkl"),
    ("{d}/z.npy --scheme symmetric --out {d}/q.pkl", "q.pkl: No space left on device"),
    ("{d}/z.npy --scheme symmetric --out {d}/pipe", "pipe: not a regular file"),  # renamed over, it would be gone
    ("{d}/pipe", "pipe: cannot read: not a regular file"),
    ("model report {d}/pipe", "pipe: cannot read: not a regular file"),
    ("model report {d}/z.npy --rules {d}/pipe", "pipe: cannot read: not a regular file"),
    ("model report {d}/z.npy --imatrix {d}/pipe", "pipe: cannot read: not a regular file"),
    ("model report ''", "FILE is empty"),
    ("model quantize {d}/z.npy -o ''", "--output is empty"),
    ("model report {d}/z.npy --scheme ''", "--scheme is empty"),
    ("{d}/z.npy --plot p.png", "--plot needs matplotlib: pip install 'velmar[cli]'"),
    ("model report {d}/g.gguf", "reading GGUF files needs gguf: pip install 'velmar[files]'"),
    ("model report {d}/junk", "reading safetensors files needs safetensors"),
    ("model report {d}/m.npy --dask tcp://127.0.0.1:1", "--dask needs Dask: pip install 'velmar[dask]'"),
    ("model report {d}/z.npy --rule attn", "expected REGEX=SCHEME"),
    ("model report {d}/z.npy --rule (=symmetric", "bad regular expression"),
    ("model report {d}/z.npy --scheme symmetric:40", "'symmetric:40'"),
    ("model report {d}/z.npy --rules {d}/junk", "not valid TOML"),
    ("model report {d}/z.npy --rules {d}/r.toml", "unknown key 'schema'"),
    ("model report {d}/z.npy --rules {d}/e.toml", "unknown scheme ''"),  # not the default
    ("model report {d}/z.npy --rules {d}/u.toml", "not valid TOML: 'utf-8' codec can't decode byte 0xff"),
    ("model report {d}/z.npy --rules {d}/n.toml", "not valid TOML: arrays or tables nested too deeply"),
    ("model report {d}/m.npy --scheme q4_k@f16", "q4_k keeps half-precision scales of its own"),
    ("model report {d}/b.npz", "b.npz: unreadable: not a readable .npz archive: File is not a zip file"),
    ("model report {d}/v.npy", "v.npy: unreadable: a .npy header with shape (-1,): sizes are whole numbers, none negative"),
    ("model report {d}/x.npz", "x.npz: unreadable: 'w': two archive members hold it"),
    ("model report {d}/y.npz", "y.npz: unreadable: 'w': the archive says 4294901760 stored bytes, more than its 236 bytes hold"),
    ("model report {d}/h.npy", "'h': its header says float32[1099511627776], 4398046511104 bytes, but 0 bytes follow it"),
    ("model report {d}/m.npy --imatrix {d}/junk", "not an importance file: 84215045 entries in 40 bytes"),
    ("model quantize {d}/m.npy -o {d}/q.safetensors --target-bpw 1",
     "--target-bpw 1.0: even the smallest choices average 64.0000 bits per value, above the target of 1.0"),
    ("model quantize {d}/m.npy -o {d}/q.safetensors --target-bpw 4 --allow cubic", "unknown scheme 'cubic'"),
    ("model quantize {d}/z.npy -o {d}/z.npy", "replace the input"),
    ("model quantize {d}/z.npy -o {d}/q.safetensors", "writing velmar files needs safetensors: pip install"),
    ("model quantize {d}/z.npy", "required"),
    ("{d}/z.npy --bogus", "unrecognized arguments: --bogus"),
    ("model frobnicate", "invalid choice: 'frobnicate'"),
    ("model", "required: command"),
]


def test_user_mistakes_give_one_line_and_status_2(capsys, tmp_path, monkeypatch):
    for absent in ("matplotlib", "gguf", "safetensors", "distributed"):  # optional: each needed only where used
        monkeypatch.setitem(sys.modules, absent, None)
    for name, content in FILES.items():
        if isinstance(content, bytes):
            (tmp_path / name).write_bytes(content)
        elif callable(content):
            content(tmp_path / name)
        else:
            np.save(tmp_path / name, content, allow_pickle=True)
    def full_disk(obj, f, **_):  # halfway through the pickle: the file it would replace stays whole
        f.write(b"half")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(pickle, "dump", full_disk)
    for argv, message in MISTAKES:
        code, out, err = main(capsys, *[a.format(d=tmp_path) if a != "''" else "" for a in argv.split()])
        assert (code, out, err.count("\n")) == (2, "", 1) and err.startswith("velmar: error: ") and message in err, argv
    assert main(capsys, "model", "report", f"{tmp_path}/m.npy")[0] == 0
    read = np.fromfile  # another program cuts the file short as it is read: mapped, the process would be killed
    monkeypatch.setattr(np, "fromfile", lambda f, *a: (os.truncate(tmp_path / "m.npy", 200), read(f, *a))[1])
    assert main(capsys, f"{tmp_path}/m.npy", "--flatten")[::2] == (
        2, f"velmar: error: {tmp_path}/m.npy: the file ends inside its data (it shrank while it was read)\n")
    assert (tmp_path / "q.pkl").read_bytes() == b"old" and not list(tmp_path.glob(".*"))


def test_both_front_doors_run_the_same_tree(tmp_path):
    nope, env = tmp_path / "nope.npy", dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    np.save(tmp_path / "w.npy", np.ones((2, 32), np.float32))
    version = velmar.__version__
    report = (["model", "report", tmp_path / "w.npy"], 0, f"velmar {version}: 1 tensors from", "")
    for module, argv, code, out, err in [  # python -m velmar, and the module the velmar script calls
            ("velmar", [nope], 2, "", f"velmar: error: {nope}: no such file\n"),
            ("velmar", ["--version"], 0, f"velmar {version}\n", ""),
            ("velmar", ["--scheme", "symmetric:4", "--scale", "f16"], 0,
             f"velmar {version}: 1048576 values from built-in sample, block 32", ""),
            ("velmar", *report), ("velmar.cli", *report)]:
        r = subprocess.run([sys.executable, "-m", module, *map(str, argv)], capture_output=True, text=True, env=env)
        assert (r.returncode, r.stdout[: len(out)], r.stderr) == (code, out, err), (module, argv)


def test_ml_dtypes_is_imported_on_first_need_only():  # it takes most of a second to load
    script = ("import sys, numpy as np, velmar\nfrom velmar import tensor as vt\n"
              "t = vt.quantize(np.ones((2, 32), np.float32)); t @ np.ones(32, np.float32); t.search(np.ones(32), 1)\n"
              "before = 'ml_dtypes' in sys.modules\nvt.quantize(np.ones((2, 32), np.float32), scale=velmar.Scale.Bf16)\n"
              "print(before, 'ml_dtypes' in sys.modules)")
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert r.stdout.split() == ["False", "True"], r.stderr


@pytest.mark.parametrize("have_tqdm", [True, False])
def test_progress_goes_to_stderr_only(capsys, monkeypatch, vector, have_tqdm):
    if have_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(report, "PROGRESS_THRESHOLD", 10)  # auto still stays quiet off a terminal
    argv = [vector[1], "--scheme", "symmetric:8", "--json"]
    (_, quiet, quiet_err), (_, loud, loud_err) = main(capsys, *argv), main(capsys, *argv, "--progress", "always")
    assert quiet_err == "" and "quantizing" in loud_err and (have_tqdm or "quantizing 3/3" in loud_err)
    strip = lambda out: [{k: v for k, v in r.items() if k not in ("seconds", "values_per_second")} for r in rows_of(out)]
    assert strip(loud) == strip(quiet)
