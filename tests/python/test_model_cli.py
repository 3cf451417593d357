"""velmar model report|quantize on small generated model files."""

import importlib.util
import json
import os
import subprocess
import sys

import gguf
import ml_dtypes
import numpy as np
import pytest
from gguf import GGMLQuantizationType as GT
from safetensors.numpy import save_file

from velmar import Scale, Scheme, cli, gguf_io, io, model
from velmar.tensor import quantize

F16 = Scale.F16


@pytest.fixture
def weights(tmp_path):
    rng = np.random.default_rng(3)
    arrays = {
        "embed.weight": rng.standard_normal((40, 64)).astype(np.float32),
        "layers.0.attn.q.weight": (rng.standard_normal((2, 16, 96)) * 0.01).astype(np.float16),
        "layers.0.mlp.up.weight": rng.standard_normal((24, 50)).astype(ml_dtypes.bfloat16),
        "layers.0.attn.k.weight": rng.standard_normal((3, 70)).astype(np.float32),
        "layers.0.norm.weight": np.ones(64, np.float32),
        "position_ids": np.arange(8, dtype=np.int64),
    }
    path = tmp_path / "m.safetensors"
    save_file(arrays, path)
    return arrays, str(path)


def run(capsys, *argv):
    code = cli.main(["model", *map(str, argv)])
    out, err = capsys.readouterr()
    return code, out, err


def test_report_rows_measure_what_the_library_gives(capsys, weights):
    arrays, path = weights
    code, out, err = run(capsys, "report", path, "--json", "--rule", "attn=symmetric:4", "--workers", "2")
    assert code == 0, err
    doc = json.loads(out)
    rows = {r["name"]: r for r in doc["tensors"]}
    assert sorted(rows) == sorted(arrays)
    for name, scheme in [("embed.weight", Scheme.symmetric(8)), ("layers.0.attn.q.weight", Scheme.symmetric(4)),
                         ("layers.0.mlp.up.weight", Scheme.symmetric(8))]:
        x = arrays[name]
        t = quantize(x, scheme, scale=F16)
        ref = x.astype(np.float64)
        err = t.dequantize().astype(np.float64) - ref
        r = rows[name]
        assert r["bytes_after"] == t.nbytes and r["bytes_before"] == x.nbytes
        assert r["relative_rms_error"] == pytest.approx(np.sqrt((err**2).sum() / (ref**2).sum()), rel=1e-9)
        assert r["sqnr_db"] == pytest.approx(10 * np.log10((ref**2).sum() / (err**2).sum()), rel=1e-9)
        assert r["max_error"] == pytest.approx(np.abs(err).max(), rel=1e-12)
    assert rows["layers.0.norm.weight"]["scheme"] == "keep (1-D)"
    assert rows["position_ids"]["scheme"] == "keep (integer)"
    assert doc["totals"]["bytes_after"] == sum(r["bytes_after"] for r in rows.values())
    code, out, _ = run(capsys, "report", path, "--keep", "mlp")
    lines = out.splitlines()[2:]
    assert code == 0 and len(lines) == 2 + len(arrays) + 2
    assert "keep (--keep mlp)" in out and len({len(line) for line in lines[:2]}) == 1


def test_quantize_follows_rules_keeps_the_rest_and_matches_the_library(capsys, weights, tmp_path, monkeypatch):
    arrays, path = weights
    monkeypatch.setattr(model, "CHUNK_BYTES", 1000)  # many chunks per tensor
    (tmp_path / "rules.toml").write_text('scheme = "asymmetric:4@bf16"\nkeep = ["mlp"]\n'
                                         '[rules]\n"attn" = "adaptive:0.05"\n"layers" = "symmetric:3@f32"\n')
    out_path = tmp_path / "q.safetensors"
    rules = ["--rule", r"q\.weight=symmetric:4", "--rules", tmp_path / "rules.toml"]
    code, out, err = run(capsys, "quantize", path, "-o", out_path, *rules, "--workers", "2")
    assert code == 0, err
    loaded = io.load(out_path)
    expected = {
        "embed.weight": (Scheme.asymmetric(4), Scale.Bf16),  # the file's default
        "layers.0.attn.q.weight": (Scheme.symmetric(4), F16),  # the command line's rules come first
        "layers.0.attn.k.weight": (Scheme.adaptive(32, 0.05), F16),  # the first matching rule
    }
    for name, x in arrays.items():
        if name in expected:
            scheme, scale = expected[name]
            want = quantize(x, scheme, scale=scale)
            assert loaded[name].__getstate__() == want.__getstate__()
        else:
            assert loaded[name].dtype == x.dtype and loaded[name].tobytes() == x.tobytes()
    # Threads change nothing in the file.
    one = tmp_path / "one.safetensors"
    run(capsys, "quantize", path, "-o", one, *rules)
    assert one.read_bytes() == out_path.read_bytes()


def test_gguf_in_and_out(capsys, weights, tmp_path):
    arrays, path = weights
    out_path = tmp_path / "q.gguf"
    code, _, err = run(capsys, "quantize", path, "-o", out_path, "--format", "gguf", "--rule", "attn=symmetric:4")
    assert code == 2 and "no GGUF type" in err and not out_path.exists()
    code, _, err = run(capsys, "quantize", path, "-o", out_path, "--format", "gguf", "--rule", "attn=symmetric:4",
                       "--gguf-fallback", "f32")
    assert code == 0, err
    got = {t.name: t for t in gguf.GGUFReader(out_path).tensors}
    assert got["embed.weight"].tensor_type == GT.Q8_0 and got["layers.0.attn.q.weight"].tensor_type == GT.Q4_0
    assert got["layers.0.mlp.up.weight"].tensor_type == GT.F32
    decoded = gguf.quants.dequantize(np.array(got["embed.weight"].data), GT.Q8_0)
    assert decoded.tobytes() == quantize(arrays["embed.weight"], scale=F16).dequantize().tobytes()
    # A GGUF file as input: stored blocks are reported as they are, plain tensors measured.
    code, out, err = run(capsys, "report", out_path, "--json")
    rows = {r["name"]: r for r in json.loads(out)["tensors"]}
    assert code == 0 and rows["embed.weight"]["scheme"] == "symmetric:8@f16 (stored)"
    assert rows["layers.0.mlp.up.weight"]["relative_rms_error"] > 0
    back = gguf_io.load(out_path)["layers.0.attn.q.weight"].parts()
    want = quantize(arrays["layers.0.attn.q.weight"], bits=4, scale=F16).parts()
    assert all(back[k].tobytes() == want[k].tobytes() for k in want)


def test_dry_run_numpy_inputs_and_plot(capsys, weights, tmp_path):
    arrays, path = weights
    out_path = tmp_path / "q.safetensors"
    code, out, _ = run(capsys, "quantize", path, "-o", out_path, "--dry-run", "--scheme", "adaptive:0.1")
    assert code == 0 and not out_path.exists() and len(out.splitlines()) == len(arrays) + 1
    assert "adaptive:0.1@f16" in out and "<= " in out
    np.savez(tmp_path / "m.npz", a=arrays["embed.weight"], b=arrays["position_ids"])
    np.save(tmp_path / "w.npy", arrays["embed.weight"])
    # The plot needs the optional matplotlib; without it the report must still run.
    plot = ["--plot", tmp_path / "e.png"] if importlib.util.find_spec("matplotlib") else []
    for f, names in (("m.npz", ["a", "b"]), ("w.npy", ["w"])):
        code, out, err = run(capsys, "report", tmp_path / f, "--json", *plot)
        assert code == 0, err
        assert [r["name"] for r in json.loads(out)["tensors"]] == names
        assert not plot or (tmp_path / "e.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("argv, message", [
    (["report", "missing.safetensors"], "no such file"),
    (["report", "{junk}"], "unreadable"),
    (["report", "{model}", "--rule", "attn"], "expected REGEX=SCHEME"),
    (["report", "{model}", "--rule", "(=symmetric"], "bad regular expression"),
    (["report", "{model}", "--scheme", "cubic:3"], "unknown scheme"),
    (["report", "{model}", "--scheme", "symmetric:40"], "'symmetric:40'"),
    (["report", "{model}", "--rules", "{junk}"], "not valid TOML"),
    (["report", "{model}", "--rules", "{toml}"], "unknown key 'schema'"),
    (["quantize", "{model}", "-o", "{model}"], "replace the input"),
    (["quantize", "{model}"], "required"),
])
def test_mistakes_are_one_line_and_exit_2(capsys, weights, tmp_path, argv, message):
    (tmp_path / "junk").write_bytes(b"\x05" * 40)
    (tmp_path / "r.toml").write_text('schema = "symmetric"\n')
    argv = [a.format(model=weights[1], junk=tmp_path / "junk", toml=tmp_path / "r.toml") for a in argv]
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == ""
    assert err.startswith("velmar: error: ") and err.count("\n") == 1 and message in err


def test_a_failure_midway_leaves_no_output(capsys, weights, tmp_path, monkeypatch):
    arrays, path = weights
    out_path = tmp_path / "q.safetensors"
    out_path.write_bytes(b"previous")
    calls = []

    def failing(*a, **k):
        calls.append(1)
        if len(calls) == 2:
            raise MemoryError("simulated")
        return quantize(*a, **k)

    monkeypatch.setattr(model.tensor, "quantize", failing)
    with pytest.raises(MemoryError):
        cli.main(["model", "quantize", path, "-o", str(out_path)])
    assert out_path.read_bytes() == b"previous"
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "q.safetensors"]


def test_the_installed_command_dispatches(weights, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    res = subprocess.run([sys.executable, "-m", "velmar.cli", "model", "report", str(tmp_path / "nope.gguf")],
                         capture_output=True, text=True, env=env)
    assert res.returncode == 2 and res.stderr.startswith("velmar: error:") and "Traceback" not in res.stderr
    res = subprocess.run([sys.executable, "-m", "velmar.cli", "--version"], capture_output=True, text=True, env=env)
    assert res.returncode == 0 and res.stdout.startswith("velmar ")
