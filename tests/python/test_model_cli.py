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


def test_gguf_out_follows_the_extension_and_refuses_what_has_no_gguf_type(capsys, weights, tmp_path):
    arrays, path = weights
    out_path = tmp_path / "q.gguf"
    argv = ["quantize", path, "-o", out_path, "--rule", "attn.q=symmetric:4", "--rule", "mlp=asymmetric:4"]
    assert "layers.0.mlp.up.weight: asymmetric:4@f16 has no GGUF type" in run(capsys, *argv, code=2).err
    for contradiction in (["-o", out_path, "--format", "velmar"], ["-o", tmp_path / "q.safetensors", "--format", "gguf"]):
        assert "contradicts the output" in run(capsys, "quantize", path, *contradiction, code=2).err
    assert not out_path.exists()
    plan = run(capsys, *argv, "--gguf-fallback", "f32", "--dry-run").out
    assert "layers.0.attn.k.weight  3x70  float32  keep (rows of 70 are not whole blocks of 32)" in plan
    run(capsys, *argv, "--gguf-fallback", "f32")
    reader = gguf.GGUFReader(out_path)
    got, back = {t.name: t.tensor_type for t in reader.tensors}, gguf_io.load(out_path)
    assert [t.name for t in reader.tensors] == io.File(path).keys() and reader.fields["general.architecture"].contents() == "velmar"
    assert (got["layers.0.mlp.up.weight"], got["layers.0.attn.k.weight"], got["position_ids"]) == (GT.F32, GT.F32, GT.I64)
    for name, bits, kind in (("embed.weight", 8, GT.Q8_0), ("layers.0.attn.q.weight", 4, GT.Q4_0)):
        want = quantize(arrays[name], bits=bits, scale=F16).parts()
        assert got[name] == kind and all(back[name].parts()[k].tobytes() == want[k].tobytes() for k in want), name
    # A GGUF file as input: stored blocks are reported as they are, plain tensors measured.
    rows = {r["name"]: r for r in json.loads(run(capsys, "report", out_path, "--json").out)["tensors"]}
    assert rows["embed.weight"]["scheme"] == "symmetric:8@f16 (stored)"
    assert rows["layers.0.mlp.up.weight"]["relative_rms_error"] > 0


def test_gguf_to_gguf_keeps_every_key_the_order_the_alignment_and_what_it_does_not_quantize(capsys, tmp_path):
    rng = np.random.default_rng(9)
    x = {"tok.weight": rng.standard_normal((32, 64)).astype(np.float16), "blk.0.attn.weight": rng.standard_normal(
        (16, 64)).astype(np.float32), "blk.0.norm": np.ones(64, np.float32), "blk.0.odd": np.ones((4, 70), np.float16)}
    w = gguf.GGUFWriter(tmp_path / "in.gguf", "llama")
    w.add_name("tiny"), w.add_context_length(2048), w.add_token_list(["a", "b", "c"]), w.add_file_type(1)
    w.add_custom_alignment(64), w.add_float32("x.scale", 0.5), w.add_bool("x.flag", True), w.add_array("x.ids", [1, -2])
    for name, a in x.items():
        w.add_tensor(name, a)
    for kind in (GT.Q4_0, GT.Q5_0):  # quantized already: kept byte for byte
        w.add_tensor(f"blk.0.{kind.name}", gguf.quants.quantize(x["blk.0.attn.weight"], kind), raw_dtype=kind)
    w.write_header_to_file(), w.write_kv_data_to_file(), w.write_tensors_to_file(), w.close()
    plan = run(capsys, "quantize", tmp_path / "in.gguf", "-o", tmp_path / "out.gguf", "--dry-run").out
    assert "blk.0.Q5_0  16x64  Q5_0  keep (quantized already)" in plan and "keep (rows of 70" in plan
    run(capsys, "quantize", tmp_path / "in.gguf", "-o", tmp_path / "out.gguf", "--rule", "attn=symmetric:4@f16")
    before, after = gguf.GGUFReader(tmp_path / "in.gguf"), gguf.GGUFReader(tmp_path / "out.gguf")
    raw = lambda f: b"".join(part.tobytes() for part in f.parts)  # noqa: E731
    assert [k for k in before.fields if not k.startswith("GGUF.")] == [k for k in after.fields if not k.startswith("GGUF.")]
    for key, f in before.fields.items():
        if key != "general.file_type":
            assert raw(f) == raw(after.fields[key]), key
    assert after.fields["general.file_type"].contents() == 7 and after.alignment == 64  # most values are Q8_0 now
    assert [t.name for t in after.tensors] == [t.name for t in before.tensors]
    old = {t.name: t for t in before.tensors}
    for t in after.tensors:
        assert t.data_offset % 64 == 0
        if t.name in ("tok.weight", "blk.0.attn.weight"):
            bits, kind = (8, GT.Q8_0) if t.name == "tok.weight" else (4, GT.Q4_0)
            want = quantize(x[t.name], bits=bits, scale=F16).dequantize()
            assert t.tensor_type == kind and gguf.quants.dequantize(np.asarray(t.data), kind).tobytes() == want.tobytes()
        else:
            assert t.tensor_type == old[t.name].tensor_type and np.asarray(t.data).tobytes() == np.asarray(
                old[t.name].data).tobytes(), t.name
    rows = {r["name"]: r["scheme"] for r in json.loads(run(capsys, "report", tmp_path / "in.gguf", "--json").out)["tensors"]}
    assert rows["blk.0.Q5_0"] == "Q5_0 (stored)" and rows["blk.0.Q4_0"] == "symmetric:4@f16 (stored)"
