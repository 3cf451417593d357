"""velmar model report|quantize on small generated model files (their mistakes are in test_cli.py)."""

import importlib.util
import json
import os
import pathlib
import re

import gguf
import ml_dtypes
import numpy as np
import pytest
from gguf import GGMLQuantizationType as GT
from safetensors.numpy import save_file

from velmar import Scale, Scheme, cli, ct_io, folders, gguf_io, io
from velmar.commands.model import work
from velmar.tensor import Q4_K, quantize

from conftest import write_gguf

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
    # e and f: no values, in more rows (or longer ones) than any walk over them or sums along them could take
    np.savez(tmp_path / "m.npz", a=arrays["embed.weight"], b=arrays["position_ids"], c=np.float32(2.5),
             e=np.zeros((2**60, 0), np.float32), f=np.zeros((0, 2**59), np.float32))
    np.save(tmp_path / "w.npy", arrays["embed.weight"])
    plot = ["--plot", tmp_path / "e.png"] if importlib.util.find_spec("matplotlib") else []
    for f, names in (("m.npz", ["a", "b", "c", "e", "f"]), ("w.npy", ["w"])):
        out = run(capsys, "report", tmp_path / f, "--json", *plot).out
        assert [r["name"] for r in json.loads(out)["tensors"]] == names
        assert not plot or (tmp_path / "e.png").read_bytes()[:4] == b"\x89PNG"
    for budget in ([], ["--target-bpw", "20"]):  # a 0-d array stays 0-d, and is not measured
        run(capsys, "quantize", tmp_path / "m.npz", "-o", tmp_path / "m.safetensors", *budget)
        back = io.load(tmp_path / "m.safetensors")
        assert [back[k].shape for k in "cef"] == [(), (2**60, 0), (0, 2**59)]


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
    for out_name, more in (("none/q.safetensors", []), ("none/q.gguf", ["--gguf-fallback", "f16"]),
                           ("none/q", ["--max-shard-size", "1KB"])):  # errors name the output, not a temporary name
        err = run(capsys, "quantize", path, "-o", tmp_path / out_name, *more, code=2).err
        assert err == f"velmar: error: {tmp_path / out_name}: No such file or directory\n"
    save_file({"w": np.ones((2, 64), np.float32), "w:codes": np.ones(2, np.float32), "n" * 64: np.ones(1, np.float32)},
              tmp_path / "w.safetensors")
    for out_name, message in (("c.safetensors", "two arrays have the same name 'w:codes'"),
                              ("c.gguf", f"tensor name '{'n' * 64}': 64 bytes")):
        err = run(capsys, "quantize", tmp_path / "w.safetensors", "-o", tmp_path / out_name, code=2).err
        assert "cannot hold the input" in err and message in err, err  # not after the work
    assert sorted(os.listdir(tmp_path)) == ["m.safetensors", "one.safetensors", "q.safetensors", "rules.toml",
                                            "w.safetensors"]


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


def test_gguf_to_gguf_keeps_every_key_the_order_the_alignment_and_what_it_does_not_quantize(capsys, tmp_path):
    rng = np.random.default_rng(9)
    x = {"tok.weight": rng.standard_normal((32, 64)).astype(np.float16), "blk.0.attn.weight": rng.standard_normal(
        (16, 64)).astype(np.float32), "blk.0.norm": np.ones(64, np.float32), "blk.0.odd": np.ones((4, 70), np.float16)}

    def keys(w):
        w.add_name("tiny"), w.add_context_length(2048), w.add_token_list(["a", "b", "c"]), w.add_file_type(1)
        w.add_custom_alignment(64), w.add_float32("x.scale", 0.5), w.add_bool("x.flag", True), w.add_array("x.ids", [1, -2])

    # A bf16 tensor, and blocks quantized already: kept byte for byte.
    stored = {"blk.0.bias": (np.ones(64, ml_dtypes.bfloat16).view(np.uint8), GT.BF16)}
    stored |= {f"blk.0.{k.name}": (gguf.quants.quantize(x["blk.0.attn.weight"], k), k) for k in (GT.Q4_0, GT.Q5_0)}
    write_gguf(tmp_path / "in.gguf", x | stored, setup=keys)
    plan = run(capsys, "quantize", tmp_path / "in.gguf", "-o", tmp_path / "out.gguf", "--dry-run").out
    assert "blk.0.Q5_0  16x64  Q5_0  keep (quantized already)" in plan and "keep (rows of 70" in plan
    run(capsys, "quantize", tmp_path / "in.gguf", "-o", tmp_path / "out.gguf", "--rule", "attn=symmetric:4@f16")
    before, after = gguf.GGUFReader(tmp_path / "in.gguf"), gguf.GGUFReader(tmp_path / "out.gguf")
    raw = lambda f: b"".join(part.tobytes() for part in f.parts)  # noqa: E731
    new = ["general.quantization_version"]  # as llama.cpp's quantizer records it
    assert [k for k in before.fields if not k.startswith("GGUF.")] + new == [
        k for k in after.fields if not k.startswith("GGUF.")]
    for key, f in before.fields.items():
        if key not in ("general.file_type", "GGUF.kv_count"):
            assert raw(f) == raw(after.fields[key]), key
    assert after.fields["general.file_type"].contents() == 7 and after.alignment == 64  # most values are Q8_0 now
    assert after.fields["general.quantization_version"].contents() == 2
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
    # A GGUF file as input: stored blocks are reported as they are, plain tensors measured.
    rows = {r["name"]: r for r in json.loads(run(capsys, "report", tmp_path / "in.gguf", "--json").out)["tensors"]}
    assert [rows[n]["scheme"] for n in ("blk.0.Q5_0", "blk.0.Q4_0")] == ["Q5_0 (stored)", "symmetric:4@f16 (stored)"]
    assert rows["tok.weight"]["relative_rms_error"] > 0


@pytest.fixture
def folder(tmp_path):
    """A sharded checkpoint as Hugging Face lays one out: three shards, their index, config and other files."""
    rng = np.random.default_rng(4)
    shards = [{"embed.weight": rng.standard_normal((40, 64)).astype(np.float32)},
              {"layers.0.q.weight": rng.standard_normal((16, 64)).astype(ml_dtypes.bfloat16),
               "layers.0.norm.weight": np.ones(64, np.float32)},
              {"layers.0.up.weight": rng.standard_normal((24, 96)).astype(np.float16), "ids": np.arange(3)}]
    root = tmp_path / "model"
    (root / "extra").mkdir(parents=True)
    names = [f"model-0000{i}-of-00003.safetensors" for i in (1, 2, 3)]
    for name, arrays in zip(names, shards):
        save_file(arrays, root / name, metadata={"format": "pt"})
    (root / "model.safetensors.index.json").write_text(json.dumps({"metadata": {"total_size": 1}, "weight_map": {
        k: name for name, arrays in zip(names, shards) for k in arrays}}))
    (root / "config.json").write_text('{"model_type": "toy"}')
    (root / "extra" / "tokenizer.json").write_text("{}")
    return root, {k: v for arrays in shards for k, v in arrays.items()}


def snapshot(root):
    return {p.relative_to(root): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_a_sharded_folder_round_trips_through_report_and_quantize_with_its_index(capsys, folder, tmp_path):
    root, arrays = folder
    os.mkfifo(root / "extra" / "pipe")  # no file to copy
    (root / "config.json").write_text('{"model_type": "toy", "quantization_config": "fp8"}')  # no method of its own: copied
    before = snapshot(root)
    rows = json.loads(run(capsys, "report", root, "--json").out)["tensors"]
    assert sorted(r["name"] for r in rows) == sorted(arrays)
    run(capsys, "quantize", root, "-o", tmp_path / "q", "--rule", "up=symmetric:4")
    out = snapshot(tmp_path / "q")
    index = json.loads(out.pop(pathlib.Path("model.safetensors.index.json")))
    shards = sorted(p.name for p in root.glob("*.safetensors"))
    assert snapshot(root) == before and sorted(set(index["weight_map"].values())) == shards
    for shard in shards:  # the same shard plan, the index naming what each shard holds
        with io.File(tmp_path / "q" / shard) as f:
            assert sorted(folders.stored_keys(f)) == sorted(k for k, s in index["weight_map"].items() if s == shard)
            for name in f.keys():
                bits = 4 if "up" in name else 8
                x = arrays[name]
                want = x if x.ndim < 2 else quantize(x, bits=bits, scale=F16)
                got = f[name]
                assert (got.tobytes() == want.tobytes()) if x.ndim < 2 else got.__getstate__() == want.__getstate__()
    assert index["metadata"]["total_size"] == sum(len(v) - 8 - int.from_bytes(v[:8], "little")
                                                  for k, v in out.items() if k.suffix == ".safetensors")
    copied = {k: v for k, v in before.items() if k.suffix != ".safetensors" and k.name != "model.safetensors.index.json"}
    assert {k: v for k, v in out.items() if k.suffix != ".safetensors"} == copied
    # Quantized already: a second pass keeps every byte; a size limit makes shards of its own.
    run(capsys, "quantize", tmp_path / "q", "-o", tmp_path / "q2")
    assert snapshot(tmp_path / "q2") == snapshot(tmp_path / "q")
    plan = run(capsys, "quantize", root, "-o", tmp_path / "q3", "--max-shard-size", "3KB", "--dry-run").out
    chosen = [line.rsplit(" in ", 1)[1] for line in plan.splitlines()[:-1]]
    assert chosen == sorted(chosen) and set(chosen) == set(folders.shard_names(len(set(chosen)))) and len(set(chosen)) > 2


def misname(name, shard):
    def damage(root):
        index = json.loads((root / "model.safetensors.index.json").read_text())
        index["weight_map"][name] = f"model-0000{shard}-of-00003.safetensors"
        (root / "model.safetensors.index.json").write_text(json.dumps(index))
    return damage


BAD_FOLDERS = [  # what is done to the folder, what the one line says
    (lambda r: (r / "model-00002-of-00003.safetensors").unlink(), "model-00002-of-00003.safetensors: a shard"),
    (misname("ghost.weight", 1), "names 'ghost.weight' in it, but it does not hold it"),
    (misname("layers.0.q.weight", 1), "00001-of-00003.safetensors: model.safetensors.index.json names 'layers.0.q"),
    (lambda r: (r / "config.json").write_text("{model"), "config.json: not valid JSON"),
    (lambda r: (r / "config.json").unlink() or (r / "config.json").mkdir(), "config.json: cannot read"),
    (lambda r: (r / "config.json").unlink() or os.mkfifo(r / "config.json"), "config.json: cannot read"),
    (lambda r: (r / "config.json").write_text('{"a": 1, "a": 2}'), "config.json: not valid JSON: the key 'a' appears"),
    (lambda r: (r / "model-00003-of-00003.safetensors").write_bytes(b"\x10" + bytes(30)), "not a safetensors file"),
    (lambda r: (r / "model.safetensors.index.json").write_text('{"weight_map": []}'), "weight_map: expected"),
]


@pytest.mark.parametrize("damage, message", BAD_FOLDERS)
def test_bad_folders_give_one_line_in_the_command_and_one_value_error_in_the_library(capsys, folder, tmp_path,
                                                                                      damage, message):
    root, _ = folder
    damage(root)
    for sub in ("report", "quantize"):
        code, err = cli.main(["model", sub, str(root), "-o", str(tmp_path / "q")][: 5 if sub == "quantize" else 3]), \
            capsys.readouterr().err
        assert (code, err.count("\n"), err.startswith("velmar: error: "), message in err) == (2, 1, True, True), err
    with pytest.raises(ValueError, match=re.escape(message)):
        ct_io.load(str(root))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model"]  # nothing half-written


def test_a_folder_is_never_merged_into_nor_left_half_written(capsys, folder, tmp_path, monkeypatch):
    root, _ = folder
    (tmp_path / "q").mkdir()
    assert "exists already" in run(capsys, "quantize", root, "-o", tmp_path / "q", code=2).err
    monkeypatch.setattr(work.tensor, "quantize", lambda x, *a, **k: exec("raise MemoryError('simulated')"))
    with pytest.raises(MemoryError):
        cli.main(["model", "quantize", str(root), "-o", str(tmp_path / "r")])
    assert list((tmp_path / "q").iterdir()) == [] and sorted(p.name for p in tmp_path.iterdir()) == ["model", "q"]


def test_compressed_tensors_folders_load_in_transformers_and_decode_as_velmar_does(capsys, tmp_path):
    torch = pytest.importorskip("torch")
    transformers = pytest.importorskip("transformers")
    from compressed_tensors.compressors import PackedQuantizationCompressor
    from compressed_tensors.quantization import QuantizationScheme

    config = transformers.LlamaConfig(hidden_size=64, intermediate_size=96, num_hidden_layers=1, num_attention_heads=2,
                                      num_key_value_heads=1, vocab_size=64, max_position_embeddings=32)
    torch.manual_seed(0)
    model = transformers.LlamaForCausalLM(config)
    for dtype, rules in (("float32", ["--rule", "mlp=symmetric:8", "--block", "64"]), ("bfloat16", [])):
        model.to(getattr(torch, dtype)).save_pretrained(tmp_path / dtype, max_shard_size="30KB")
        run(capsys, "quantize", tmp_path / dtype, "-o", tmp_path / f"ct-{dtype}", "--format", "compressed-tensors",
            "--scheme", "symmetric:4", *rules)
    for argv, message in ((["--scheme", "adaptive:0.1"], "lm_head.weight: adaptive:0.1@bf16: only symmetric 4- and"),
                          (["--scheme", "symmetric:4@f16"], "keeps scales in the checkpoint's dtype (bfloat16)"),
                          (["-o", tmp_path / "x.gguf"], "contradicts the output")):
        err = run(capsys, "quantize", tmp_path / "bfloat16", "-o", tmp_path / "x", "--format", "compressed-tensors",
                  *argv, code=2).err
        assert message in err and not (tmp_path / "x").exists(), err
    # float32, and rows of an odd number of 4-bit codes (padded within their words): compressed-tensors' own
    # decompression gives velmar's decoded bits.
    save_file({"odd.weight": np.linspace(-1, 1, 12, dtype=np.float32).reshape(4, 3)}, tmp_path / "odd.safetensors")
    run(capsys, "quantize", tmp_path / "odd.safetensors", "-o", tmp_path / "ct-odd", "--format", "compressed-tensors",
        "--scheme", "symmetric:4", "--block", "3")
    for folder in ("ct-float32", "ct-odd"):
        ours = ct_io.load(str(tmp_path / folder))
        qc = json.loads((tmp_path / folder / "config.json").read_text())["quantization_config"]
        for group in qc["config_groups"].values():
            for module in group["targets"]:
                arrays = {k: torch.from_numpy(np.asarray(v)) for k, v in _ct_arrays(tmp_path / folder, module).items()}
                dense = PackedQuantizationCompressor.decompress(arrays, QuantizationScheme.model_validate(group))
                assert dense["weight"].numpy().tobytes() == ours[f"{module}.weight"].dequantize().tobytes(), module
    # down_proj's rows of 96 are no whole groups of 64: kept, and listed as such
    qc = json.loads((tmp_path / "ct-float32" / "config.json").read_text())["quantization_config"]
    assert qc["ignore"] == ["model.embed_tokens", "model.layers.0.mlp.down_proj"] and len(qc["config_groups"]) == 2
    # bfloat16: transformers loads the folder; its product is taken in bfloat16, which rounds velmar's float32 one
    # (exact: a code of at most 8 bits times a scale of 8) once, to the nearest bfloat16. (Its decompression on load
    # applies the first config group to every layer, so this folder has one group.)
    from transformers.utils.quantization_config import CompressedTensorsConfig

    loaded = transformers.AutoModelForCausalLM.from_pretrained(
        tmp_path / "ct-bfloat16", quantization_config=CompressedTensorsConfig(dequantize=True)).state_dict()
    ours = ct_io.load(str(tmp_path / "ct-bfloat16"))
    assert sorted(ours) == sorted(loaded) and sum(not isinstance(t, np.ndarray) for t in ours.values()) == 8
    for name, t in ours.items():
        want = t if isinstance(t, np.ndarray) else t.dequantize().astype(ml_dtypes.bfloat16)
        assert loaded[name].view(torch.int16).numpy().tobytes() == want.tobytes(), name
    # Import: the command reads the layers as velmar tensors, and writes them back as they were.
    rows = json.loads(run(capsys, "report", tmp_path / "ct-bfloat16", "--json").out)["tensors"]
    assert {r["scheme"] for r in rows if "mlp" in r["name"]} == {"symmetric:4@bf16 (stored)"}
    run(capsys, "quantize", tmp_path / "ct-bfloat16", "-o", tmp_path / "again", "--format", "compressed-tensors")
    assert snapshot(tmp_path / "again") == snapshot(tmp_path / "ct-bfloat16")


@pytest.mark.parametrize("target, refused", [(r"re:(.|.)*_proj$", True), (r"re:(\w+\.?)+q_proj", True),
                                              ("re:" + ".*" * 14 + "Z", True), (r"re:.*layers.*\..*q.*", False),
                                              (r"re:.*(q|k)_proj$", False), (r"re:(model\.)?layers\.\d+\..*", False)])
def test_compressed_tensors_targets_that_could_backtrack_without_end_are_refused(target, refused):
    # Matching (.|.)* against a module name of 30 characters takes Python's matcher minutes, .* 14 times over
    # as long.
    arrays = {"layers.0.q_proj.weight_packed": (np.dtype(np.int32), (2, 1)),
              "layers.0.q_proj.weight_scale": (np.dtype(np.float32), (2, 1)),
              "layers.0.q_proj.weight_shape": (np.dtype(np.int64), (2,))}
    weights = {"num_bits": 4, "type": "int", "symmetric": True, "strategy": "channel"}
    config = {"quantization_config": {"quant_method": "compressed-tensors",
                                      "config_groups": {"g": {"targets": [target], "weights": weights}}}}
    if refused:
        with pytest.raises(ValueError, match="m: quantization_config: target .* (exponential time|may try)"):
            ct_io.find(config, arrays, lambda key: np.array([2, 8]), "m")
    else:
        assert list(ct_io.find(config, arrays, lambda key: np.array([2, 8]), "m")) == ["layers.0.q_proj"]


def test_compressed_tensors_targets_name_their_module_alone():
    match_name = pytest.importorskip("compressed_tensors.utils.match").match_name
    modules = ["re:a.b", "layers.0.q", "re:.*"]  # a name starting re: would be read as a pattern
    qc = ct_io.quantization_config({(4, 2): modules[:2]}, modules[2:])
    written = [*qc["config_groups"]["group_0"]["targets"], *qc["ignore"]]
    for name in [*modules, "re:a.bc", "re:axb", "layers.0.qk"]:  # by compressed-tensors' own matching
        assert [m for m, t in zip(modules, written) if match_name(name, t)] == [name] * (name in modules), name
    arrays = {"re:a.b.weight_packed": (np.dtype(np.int32), (2, 1)),
              "re:a.b.weight_scale": (np.dtype(np.float32), (2, 4)), "re:a.b.weight_shape": (np.dtype(np.int64), (2,))}
    found = ct_io.find({"quantization_config": qc}, arrays, lambda key: np.array([2, 8]), "m")
    assert found["re:a.b"].layout.block == 2


def _ct_arrays(root, module):
    out = {}
    for shard in root.glob("*.safetensors"):
        with io.File(shard) as f:
            out.update({k.rsplit(".", 1)[1]: f[k] for k in f.keys() if k.startswith(module + ".")})
    return out


def test_gguf_to_gguf_with_super_blocks_importance_and_a_budget(capsys, tmp_path, monkeypatch):
    rng = np.random.default_rng(4)
    arrays = {"blk.0.attn_q.weight": rng.standard_normal((24, 512)).astype(np.float16),
              "blk.0.ffn_up_exps.weight": rng.standard_normal((2, 8, 256)).astype(np.float32),
              "blk.0.odd.weight": rng.standard_normal((8, 320)).astype(np.float32),  # Q4_0 instead
              "blk.0.tiny.weight": rng.standard_normal((8, 20)).astype(np.float32),  # kept
              "output_norm.weight": np.ones(512, np.float32)}
    write_gguf(tmp_path / "m.gguf", arrays)
    sums = {"blk.0.attn_q.weight": (rng.uniform(0, 9, 512), [3]), "blk.0.ffn_up_exps.weight": (np.ones((2, 256)), [1, 1])}
    write_gguf(tmp_path / "i.gguf", {f"{n}.{part}": np.asarray(v, np.float32)
                                     for n, sc in sums.items() for part, v in zip(("in_sum2", "counts"), sc)})
    out_path = tmp_path / "q.gguf"
    argv = ["quantize", tmp_path / "m.gguf", "-o", out_path, "--scheme", "q4_k",
            "--imatrix", tmp_path / "i.gguf"]
    plan = run(capsys, *argv, "--dry-run").out
    assert "blk.0.odd.weight  8x320  float32  symmetric:4@f16" in plan and "not 320" in plan
    assert "keep (q4_k needs rows of whole super-blocks of 256, not 20)" in plan
    assert "unweighted: no importance vector in i.gguf" in plan and plan.count("weighted by i.gguf") == 2
    run(capsys, *argv)
    reader = gguf.GGUFReader(out_path)
    assert int(reader.fields["general.file_type"].parts[-1][0]) == 14  # mostly Q4_K
    types = {t.name: t.tensor_type for t in reader.tensors}
    assert types == {"blk.0.attn_q.weight": GT.Q4_K, "blk.0.ffn_up_exps.weight": GT.Q4_K, "blk.0.odd.weight": GT.Q4_0,
                     "blk.0.tiny.weight": GT.F32, "output_norm.weight": GT.F32}
    back = gguf_io.load(out_path)
    w = sums["blk.0.attn_q.weight"][0] / 3
    want = quantize(arrays["blk.0.attn_q.weight"], Q4_K, weights=w)
    assert back["blk.0.attn_q.weight"].parts()["codes"].tobytes() == want.parts()["codes"].tobytes()
    # A quantized GGUF is stored blocks when read again.
    assert "q4_k (stored)" in run(capsys, "report", out_path).out
    # The budget: every super-block tensor takes some type, the average stays within it.
    plan = run(capsys, *argv[:-4], "--target-bpw", "5", "--dry-run").out.splitlines()
    total = next(line for line in plan if line.startswith("budget:"))
    assert float(total.split()[1]) <= 5 and "(target 5)" in total
    # A NaN deep in a tensor read in chunks: the refusal names the tensor and the row of the whole tensor.
    bad = tmp_path / "bad.gguf"
    a = np.ones((40, 512), np.float32)
    a[37, 5] = np.nan
    write_gguf(bad, {"blk.1.attn_k.weight": a})
    monkeypatch.setattr(work, "CHUNK_BYTES", 20480)
    err = run(capsys, "quantize", bad, "-o", tmp_path / "x.gguf", "--scheme", "q4_k", code=2).err
    assert "blk.1.attn_k.weight: row 37: q4_k has no encoding for infinity or NaN" in err
    assert not (tmp_path / "x.gguf").exists()
