"""Importance files in both of llama.cpp's forms, and the choice of a type per tensor under a size budget."""

import itertools
import struct

import gguf
import numpy as np
import pytest

from velmar import budget, imatrix
from velmar import tensor as vt
from velmar.tensor import Q3_K, Q4_K, Q6_K

from conftest import write_gguf


def write_imatrix(path, entries):
    write_gguf(path, {f"{name}.{part}": np.asarray(v, np.float32) for name, sc in entries.items()
                      for part, v in zip(("in_sum2", "counts"), sc)}, "", lambda w: w.add_type(gguf.GGUFType.IMATRIX))


def dat_bytes(entries, tail=b""):
    out = struct.pack("<i", len(entries))
    for name, calls, values in entries:
        raw = name.encode()
        out += struct.pack("<i", len(raw)) + raw + struct.pack("<ii", calls, len(values))
        out += np.asarray(values, "<f4").tobytes()
    return out + tail


def test_both_forms_give_the_mean_squared_activation_per_column(tmp_path):
    write_imatrix(tmp_path / "m.gguf", {"blk.0.attn_q.weight": ([2, 4, 6, 8], [2]),
                                        "blk.0.ffn_up_exps.weight": ([[1, 2, 3, 4], [5, 6, 7, 8]], [1, 0])})
    (tmp_path / "m.dat").write_bytes(dat_bytes([("blk.0.attn_q.weight", 2, [2, 4, 6, 8]),
                                                ("blk.0.ffn_up_exps.weight", 1, [1, 2, 3, 4, 1, 1, 1, 1])],
                                               tail=struct.pack("<ii", 10, 4) + b"wiki"))
    for name in ("m.gguf", "m.dat"):
        imp = imatrix.load(tmp_path / name)
        assert sorted(imp) == ["blk.0.attn_q.weight", "blk.0.ffn_up_exps.weight"]
        np.testing.assert_array_equal(imp.for_tensor("blk.0.attn_q.weight", 4), [1, 2, 3, 4])
        # An expert never reached gets equal weights.
        np.testing.assert_array_equal(imp.for_tensor("blk.0.ffn_up_exps.weight", 4), [[1, 2, 3, 4], [1, 1, 1, 1]])
        assert imp.for_tensor("output.weight", 4) is None
        with pytest.raises(ValueError, match=f"blk.0.attn_q.weight: {name} holds 4 weights per row, but its rows have 5"):
            imp.for_tensor("blk.0.attn_q.weight", 5)


@pytest.mark.parametrize("content, message", [
    (dat_bytes([("a", 1, [1.0, 2.0])])[:-3], "a's 2 values runs past the end of the file"),
    (struct.pack("<i", 1 << 30) + bytes(12), "not an importance file: 1073741824 entries"),
    (dat_bytes([("a", 1, [1.0]), ("a", 1, [2.0])]), "a appears twice"),
    (dat_bytes([("a", 1, [-1.0])]), "a: sums and counts must be finite and not negative"),
    (dat_bytes([("a", -1, [1.0])]), "a: sums and counts must be finite and not negative"),
    (dat_bytes([("a", 1, [])]), "a: 0 values"),
    (dat_bytes([]), "no importance vectors"),
    (struct.pack("<ii", 1, 2) + b"\xff\xfe" + struct.pack("<ii", 1, 1) + bytes(4), "entry 0's name is not UTF-8"),
])
def test_files_that_do_not_add_up_are_refused(tmp_path, content, message):
    (tmp_path / "bad.dat").write_bytes(content)
    with pytest.raises(ValueError, match=message):
        imatrix.load(tmp_path / "bad.dat")


@pytest.mark.parametrize("counts, message", [(None, "x has x.in_sum2 but no x.counts"),
                                             ([1e-40], "x: sums over counts overflow float32")])
def test_gguf_entries_need_counts_that_give_finite_weights(tmp_path, counts, message):
    sums = {"x.in_sum2": np.full(4, 1e30, np.float32)}
    write_gguf(tmp_path / "m.gguf", sums if counts is None else {**sums, "x.counts": np.float32(counts)}, "")
    with pytest.raises(ValueError, match=message):
        imatrix.load(tmp_path / "m.gguf")


def choices(*pairs):
    return tuple(budget.Choice(label, bits, err) for label, bits, err in pairs)


def test_the_budget_goes_where_it_saves_the_most_error_per_bit():
    tensors = [
        budget.Tensor("big", 1000, choices(("a", 3000, 100.0), ("b", 4000, 90.0), ("c", 6000, 85.0))),
        budget.Tensor("small", 100, choices(("a", 300, 50.0), ("b", 400, 10.0), ("c", 600, 1.0))),
        budget.Tensor("norm", 10, choices(("keep", 320, 0.0))),
        # "mid" costs more than "b" and saves less: never taken.
        budget.Tensor("odd", 100, choices(("a", 300, 40.0), ("mid", 500, 35.0), ("b", 450, 5.0))),
    ]
    pick = budget.choose(tensors, target_bpw=4170 / 1210)
    assert {n: c.label for n, c in pick.items()} == {"big": "a", "small": "b", "norm": "keep", "odd": "b"}
    pick = budget.choose(tensors, target_bpw=100)
    assert {n: c.label for n, c in pick.items()} == {"big": "c", "small": "c", "norm": "keep", "odd": "b"}
    with pytest.raises(ValueError, match="the smallest choices average 32.0000 bits per value, above the target of 3"):
        budget.choose(tensors[2:3], 3)


def test_random_plans_meet_the_budget_and_take_no_dominated_choice():
    rng = np.random.default_rng(5)
    for _ in range(200):
        tensors = []
        for i in range(int(rng.integers(1, 6))):
            n = int(rng.integers(1, 1000))
            opts = [budget.Choice(str(k), int(n * rng.uniform(2, 9)), float(rng.uniform(0, 100))) for k in range(4)]
            tensors.append(budget.Tensor(f"t{i}", n, tuple(opts)))
        values = sum(t.values for t in tensors)
        least = sum(min(c.bits for c in t.choices) for t in tensors) / values
        target = least * rng.uniform(1, 2)
        pick = budget.choose(tensors, target)
        assert sum(c.bits for c in pick.values()) <= target * values
        for t in tensors:
            c = pick[t.name]
            assert not any(o.bits <= c.bits and o.error < c.error for o in t.choices)
        # The best plan of all within the budget is at most one step better.
        best = min(sum(c.error for c in combo) for combo in itertools.product(*(t.choices for t in tensors))
                   if sum(c.bits for c in combo) <= target * values)
        steps = max(abs(a.error - b.error) for t in tensors for a in t.choices for b in t.choices)
        assert sum(c.error for c in pick.values()) <= best + steps


def test_measure_weights_the_error_by_column_importance():
    rng = np.random.default_rng(6)
    w = rng.standard_normal((8, 256)).astype(np.float32)
    weights = rng.uniform(0, 4, 256)
    got = budget.measure(w, {"q3_k": Q3_K, "q4_k": Q4_K, "q6_k": Q6_K}, weights=weights, keep_bits=w.size * 32)
    assert [c.label for c in got] == ["q3_k", "q4_k", "q6_k", "keep"]
    assert [c.bits for c in got] == [8 * 110 * 8, 8 * 144 * 8, 8 * 210 * 8, w.size * 32]
    err = (vt.quantize(w, Q4_K, weights=weights).dequantize().astype(np.float64) - w) ** 2
    assert got[1].error == pytest.approx(float((err * weights).sum()), rel=1e-12)
    assert got[0].error > got[1].error > got[2].error > got[3].error == 0
