"""velmar model report|quantize on small generated model files (their mistakes are in test_cli.py)."""

import importlib.util
import json
import os

import gguf
import ml_dtypes
import numpy as np
import pytest
from gguf import GGMLQuantizationType as GT
from safetensors.numpy import save_file

from velmar import Scale, Scheme, cli, gguf_io, io
from velmar.commands.model import work
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


def run(capsys, *argv, code=0):
    assert cli.main(["model", *map(str, argv)]) == code, capsys.readouterr()
    return capsys.readouterr()


def test_report_rows_measure_what_the_library_gives(capsys, weights, tmp_path, monkeypatch):
    arrays, path = weights
    monkeypatch.setattr(work, "CHUNK_BYTES", 1000)  # the errors add up over many chunks per tensor
    doc = json.loads(run(capsys, "report", path, "--json", "--rule", "attn=symmetric:4", "--workers", "2").out)
    rows = {r["name"]: r for r in doc["tensors"]}
    assert sorted(rows) == sorted(arrays)
    for name, bits in [("embed.weight", 8), ("layers.0.attn.q.weight", 4), ("layers.0.mlp.up.weight", 8)]:
        x, r, t = arrays[name].astype(np.float64), rows[name], quantize(arrays[name], bits=bits, scale=F16)
        err = t.dequantize() - x
        relative = np.sqrt((err**2).sum() / (x**2).sum())
        assert (r["bytes_before"], r["bytes_after"]) == (arrays[name].nbytes, t.nbytes)
        assert (r["relative_rms_error"], r["sqnr_db"]) == pytest.approx((relative, -20 * np.log10(relative)), rel=1e-9)
        assert r["max_error"] == pytest.approx(np.abs(err).max(), rel=1e-12)
    assert [rows[n]["scheme"] for n in ("layers.0.norm.weight", "position_ids")] == ["keep (1-D)", "keep (integer)"]
    assert doc["totals"]["bytes_after"] == sum(r["bytes_after"] for r in rows.values())
    out = run(capsys, "report", path, "--keep", "mlp").out
    lines = out.splitlines()[2:]
    assert len(lines) == 2 + len(arrays) + 2 and len({len(line) for line in lines[:2]}) == 1
    assert "keep (--keep mlp)" in out
    # NumPy files hold tensors too; the plot needs the optional matplotlib, without which the report still runs.
    np.savez(tmp_path / "m.npz", a=arrays["embed.weight"], b=arrays["position_ids"])
    np.save(tmp_path / "w.npy", arrays["embed.weight"])
    plot = ["--plot", tmp_path / "e.png"] if importlib.util.find_spec("matplotlib") else []
    for f, names in (("m.npz", ["a", "b"]), ("w.npy", ["w"])):
        out = run(capsys, "report", tmp_path / f, "--json", *plot).out
        assert [r["name"] for r in json.loads(out)["tensors"]] == names
        assert not plot or (tmp_path / "e.png").read_bytes()[:4] == b"\x89PNG"


def test_quantize_follows_rules_keeps_the_rest_and_replaces_the_output_whole(capsys, weights, tmp_path, monkeypatch):
    arrays, path = weights
    monkeypatch.setattr(work, "CHUNK_BYTES", 1000)  # many chunks per tensor
    (tmp_path / "rules.toml").write_text('scheme = "asymmetric:4@bf16"\nkeep = ["mlp"]\n'
                                         '[rules]\n"attn" = "adaptive:0.05"\n"layers" = "symmetric:3@f32"\n')
    out_path, one = tmp_path / "q.safetensors", tmp_path / "one.safetensors"
    out = run(capsys, "quantize", path, "-o", out_path, "--dry-run", "--scheme", "adaptive:0.1").out
    assert not out_path.exists() and len(out.splitlines()) == len(arrays) + 1
    assert "adaptive:0.1@f16" in out and "<= " in out
    rules = ["--rule", r"q\.weight=symmetric:4", "--rules", tmp_path / "rules.toml"]
    run(capsys, "quantize", path, "-o", out_path, *rules, "--workers", "2")
    loaded = io.load(out_path)
    expected = {
        "embed.weight": (Scheme.asymmetric(4), Scale.Bf16),  # the file's default
        "layers.0.attn.q.weight": (Scheme.symmetric(4), F16),  # the command line's rules come first
        "layers.0.attn.k.weight": (Scheme.adaptive(32, 0.05), F16),  # the first matching rule
    }
    for name, x in arrays.items():
        if name in expected:
            scheme, scale = expected[name]
            assert loaded[name].__getstate__() == quantize(x, scheme, scale=scale).__getstate__()
        else:
            assert loaded[name].dtype == x.dtype and loaded[name].tobytes() == x.tobytes()
    # Threads change nothing in the file.
    run(capsys, "quantize", path, "-o", one, *rules)
    assert one.read_bytes() == out_path.read_bytes()

    def failing(x, *a, **k):
        if x.dtype == np.float16:  # one tensor fails after others are written
            raise MemoryError("simulated")
        return quantize(x, *a, **k)

    monkeypatch.setattr(work.tensor, "quantize", failing)
    with pytest.raises(MemoryError):
        cli.main(["model", "quantize", path, "-o", str(one)])
    assert one.read_bytes() == out_path.read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "one.safetensors", "q.safetensors", "rules.toml"]


def test_gguf_out_and_in(capsys, weights, tmp_path):
    arrays, path = weights
    out_path = tmp_path / "q.gguf"
    argv = ["quantize", path, "-o", out_path, "--format", "gguf", "--rule", "attn=symmetric:4"]
    assert "no GGUF type" in run(capsys, *argv, code=2).err and not out_path.exists()
    run(capsys, *argv, "--gguf-fallback", "f32")
    got, back = {t.name: t.tensor_type for t in gguf.GGUFReader(out_path).tensors}, gguf_io.load(out_path)
    assert got["layers.0.mlp.up.weight"] == GT.F32
    for name, bits, kind in (("embed.weight", 8, GT.Q8_0), ("layers.0.attn.q.weight", 4, GT.Q4_0)):
        want = quantize(arrays[name], bits=bits, scale=F16).parts()
        assert got[name] == kind and all(back[name].parts()[k].tobytes() == want[k].tobytes() for k in want), name
    # A GGUF file as input: stored blocks are reported as they are, plain tensors measured.
    rows = {r["name"]: r for r in json.loads(run(capsys, "report", out_path, "--json").out)["tensors"]}
    assert rows["embed.weight"]["scheme"] == "symmetric:8@f16 (stored)"
    assert rows["layers.0.mlp.up.weight"]["relative_rms_error"] > 0
