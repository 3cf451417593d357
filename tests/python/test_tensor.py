"""velmar.tensor: every row is the 1-D tensor of that row, and every product its 1-D dot."""

import contextlib
import copy
import math
import pickle
import sys
import threading
import time
import tracemalloc

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from velmar import InvalidBitsError, InvalidBlockError, LengthMismatchError, Scale, Scheme, quantize_array
from velmar import _tensor as native, tensor as vt

from float_reference import SCALES, same_f32


SCHEMES = st.one_of(
    st.builds(lambda kind, bits, block: getattr(Scheme, kind)(bits, block),
              st.sampled_from(["symmetric", "asymmetric"]), st.integers(2, 16), st.integers(1, 70)),
    st.sampled_from([Scheme.Q8_32, Scheme.Q4_32, Scheme.symmetric(4, 16), Scheme.symmetric(8, 7)]),
    st.integers(1, 70).map(lambda b: Scheme.adaptive(b, 0.01)),
    st.just(Scheme.adaptive(2**64 - 1, 0.01)),  # a block longer than any row
)


@settings(max_examples=60, deadline=None)
@given(
    shape=st.lists(st.integers(0, 40), min_size=1, max_size=3),
    axis_pick=st.integers(0, 2),
    scheme=SCHEMES,
    scale=st.sampled_from(SCALES),
    k=st.integers(1, 3),
    seed=st.integers(0, 2**32 - 1),
)
def test_rows_products_decoding_and_pickle_match_the_1d_functions(shape, axis_pick, scheme, scale, k, seed):
    rng = np.random.default_rng(seed)
    a = (rng.standard_normal(shape) * 10 ** rng.uniform(-3, 3)).astype(np.float32)
    if a.size:
        a.flat[rng.integers(a.size)] = rng.choice([np.nan, np.inf, -0.0, 1e30])
    axis = axis_pick % len(shape) - len(shape) * (seed % 2)  # negative axes too
    t = vt.quantize(a, scheme, scale=scale, axis=axis)
    moved = np.moveaxis(a, axis, -1)
    rows = moved.reshape(math.prod(moved.shape[:-1]), moved.shape[-1])
    assert (t.shape, t.axis, t.scheme, t.scale, len(t)) == (a.shape, axis % a.ndim, scheme, scale, rows.shape[0])

    x = rng.standard_normal((k, rows.shape[1])).astype(np.float32)
    product = t @ x
    same_f32(t.matvec(x[0]), product[0])
    out = np.full(a.shape, 7, np.float32)
    assert t.dequantize(out=out) is out
    same_f32(out, t.dequantize())
    decoded = np.moveaxis(out, axis, -1).reshape(rows.shape)
    for i, row in enumerate(rows):
        q = scheme.quantize(row, scale=scale)
        assert t[i].__getstate__() == q.__getstate__()
        same_f32(product[:, i], [q.dot(v) for v in x])
        same_f32(decoded[i], q.dequantize())

    rebuilt = vt.QuantizedTensor.from_parts(shape=t.shape, axis=t.axis, scheme=scheme, scale=scale, dtype=t.dtype,
                                            **t.parts())
    for again in (pickle.loads(pickle.dumps(t)), copy.deepcopy(t), rebuilt):
        assert again.__getstate__() == t.__getstate__()
    assert t.nbytes == sum(t.row(i).nbytes for i in range(len(t)))


def test_many_short_rows_one_column_and_huge_row_counts():
    rng = np.random.default_rng(1)
    # Rows of whole blocks whose bits do not end on a byte (3 x 3 bits) are not one stream.
    cases = [
        ((5000, 3), Scheme.Q8_32),
        ((50, 3), Scheme.symmetric(3, 3)),
        ((300, 1), Scheme.adaptive(4, 0.01)),
        ((40, 100), Scheme.Q4_32),
        # More values than one run of rows copied and quantized together: the runs' parts join.
        ((300_000, 4), Scheme.adaptive(4, 0.05)),
        ((140_000, 8), Scheme.asymmetric(3, 8)),
        # Rows longer than a run go in pieces of whole blocks that start on a byte.
        ((2, 40_001), Scheme.symmetric(3, 7)),
        ((2, 40_000), Scheme.adaptive(33, 0.01)),
    ]
    for shape, scheme in cases:
        a = rng.standard_normal(shape).astype(np.float32)
        t = vt.quantize(a, scheme)
        picks = [0, 1, len(t) // 2, len(t) - 1]
        assert [t[i].__getstate__() for i in picks] == [scheme.quantize(a[i]).__getstate__() for i in picks]
        x = rng.standard_normal(shape[1]).astype(np.float32)
        same_f32((t @ x)[picks], [scheme.quantize(a[i]).dot(x) for i in picks])


def only(**methods):
    """An object NumPy reaches through these methods alone."""
    return type("Only", (), methods)()


def array_forms():
    """(input, dtype of origin, the float32 values it holds) for every form an array argument may take."""
    base = np.arange(-24, 24, dtype=np.float32).reshape(6, 8) / 4
    ints = (base * 4).astype(np.int16)
    f8 = base.astype(ml_dtypes.float8_e4m3fn)
    forms = [
        (base.astype(np.float64, order="F"), np.float64, base),
        (base.astype(">f4")[::-1, ::2], np.float32, base[::-1, ::2]),
        (np.broadcast_to(base[1], (6, 8)), np.float32, np.broadcast_to(base[1], (6, 8))),
        (base.astype(np.float16), np.float16, base),
        (base.astype(ml_dtypes.bfloat16), ml_dtypes.bfloat16, base),
        (f8, ml_dtypes.float8_e4m3fn, f8.astype(np.float32)),
        (ints.astype(">i8"), np.int64, ints),
        (np.abs(ints).astype(np.ulonglong), np.uint64, np.abs(ints)),  # NumPy's other 64-bit type
        (ints > 0, np.bool_, ints > 0),
        (memoryview(ints), np.int16, ints),
        (np.full((2, 8), -(2**24), np.int32), np.int32, np.full((2, 8), -(2**24))),  # the last exact integer
        (bytes(range(48)), np.uint8, np.arange(48)),
        (bytearray(range(48)), np.uint8, np.arange(48)),
        (base.tolist(), np.float64, base),
        (only(__array__=lambda self, dtype=None, copy=None: base), np.float32, base),
        (only(__dlpack__=lambda self, **kw: base.__dlpack__(**kw), __dlpack_device__=lambda self: (1, 0)),
         np.float32, base),
    ]
    torch = pytest.importorskip("torch")
    tb = torch.from_numpy(base.copy())
    return forms + [
        (tb.T, np.float32, base.T),
        (tb.to(torch.bfloat16), ml_dtypes.bfloat16, base),
        (tb.to(torch.float8_e5m2), ml_dtypes.float8_e5m2, base.astype(ml_dtypes.float8_e5m2).astype(np.float32)),
        (torch.nn.Parameter(tb.clone()), np.float32, base),  # model weights: gradients on
        (torch.complex(tb, -tb).conj().imag, np.float32, base),  # the negative bit set
        (torch.complex(tb, tb).conj().imag._neg_view(), np.float32, base),  # ...twice
    ]


def test_every_array_argument_goes_through_one_converter():
    for value, dtype, values in array_forms():
        values = np.asarray(values, np.float32)
        ref = vt.quantize(values, bits=4, block=4, axis=0).__getstate__()
        got = pickle.loads(pickle.dumps(vt.quantize(value, bits=4, block=4, axis=0))).__getstate__()  # keeps the dtype
        assert got == ref[:3] + (np.dtype(dtype).name,) + ref[4:], type(value)
        t = vt.quantize(np.linspace(-1, 1, 3 * values.shape[-1]).reshape(3, -1), bits=5)
        assert (t @ value).tobytes() == (t @ values).tobytes(), type(value)
    torch = pytest.importorskip("torch")
    t = vt.quantize(np.ones((2, 8)))
    # Each refusal is the same error from every entry point, but for the parameter's name.
    refused = [
        (np.ones(8, np.complex64), TypeError, "complex64"),
        (np.array(["a"] * 8), TypeError, "<U1"),
        (np.ones(8, object), TypeError, "of dtype object"),
        (torch.ones(8, dtype=torch.complex64), TypeError, "complex64"),
        (torch.ones(8).to_sparse(), TypeError, "torch tensor NumPy cannot read"),
        ([[1.0, 2.0], [3.0]], TypeError, "NumPy cannot read"),
        # An object's own conversion failing in any way.
        (only(__array__=lambda self, dtype=None, copy=None: {}["x"]), TypeError,
         "Only that NumPy cannot read .KeyError"),
        (only(__dlpack__=lambda self, **kw: 1 / 0, __dlpack_device__=lambda self: (1, 0)), TypeError,
         "Only that NumPy cannot read .ZeroDivisionError"),
        (only(__dlpack__=property(lambda self: [][0])), TypeError, "Only that NumPy cannot read .IndexError"),
        ([2**70] + [1] * 7, ValueError, r"2\*\*24 .* got 1180591620717411303424"),
        ([2**63] + [1] * 7, ValueError, "got 9223372036854775808"),
        ([np.int64(2**40 + 1), 0.5] + [1] * 6, ValueError, "got 1099511627777"),  # made float64 by NumPy
        (np.full(8, -(2**24) - 1, np.int32), ValueError, "got -16777217"),
    ]
    for value, error, message in refused:
        texts = []
        for call in (lambda: vt.quantize(value), lambda: t @ value):
            with pytest.raises(error, match=message) as e:
                call()
            texts.append(str(e.value).split(": ", 1))
        assert [texts[0][0], texts[1][0]] == ["a", "x"] and texts[0][1] == texts[1][1]


def test_input_reaches_the_core_with_at_most_one_copy():
    # float32 along its last axis needs no copy, nor float64, float16 or bfloat16 rows in order (read a run at a
    # time); float64 along a strided axis one float32 copy, half its size.
    for a, axis, limit in [(np.ones((512, 512), np.float32), 1, 0.05), (np.ones((512, 512), np.float64), 1, 0.05),
                           (np.ones((512, 512), np.float16), 1, 0.05), (np.ones((512, 512), ml_dtypes.bfloat16), 1, 0.05),
                           (np.ones((512, 512), np.float64, order="F"), 1, 0.55)]:
        tracemalloc.start()
        vt.quantize(a, axis=axis)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < limit * a.nbytes, (a.dtype, peak)


@pytest.mark.parametrize("dtype", [np.float16, ml_dtypes.bfloat16, np.float64])
@pytest.mark.parametrize("kw", [{"bits": 8, "block": 1}, {"kind": "asymmetric", "bits": 5, "block": 3},
                                {"kind": "adaptive", "tolerance": 0.05, "block": 24}])
def test_rows_of_other_floats_quantize_as_their_float32_cast(dtype, kw):
    # Every bit pattern of the 16-bit types, NaNs and infinities among them; doubles that round, then ones
    # whose cast overflows or underflows, which NumPy reports as it casts.
    bits = np.arange(65536, dtype=np.uint16)
    a = bits.view(dtype) if dtype != np.float64 else np.random.default_rng(5).standard_normal(65536) * 1e3
    a = a.reshape(256, 256)
    with np.errstate(all="ignore"):
        want = vt.quantize(a.astype(np.float32), **kw).parts()
        got = vt.quantize(a, **kw).parts()
    assert all(np.asarray(got[k]).tobytes() == np.asarray(want[k]).tobytes() for k in want)
    odd = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)  # misaligned: cast as before
    odd[...] = a
    assert vt.quantize(odd, **kw).parts()["scales"].tobytes() == np.asarray(want["scales"]).tobytes()
    if dtype == np.float64:
        for far, what in ((1e300, "over"), (1e-300, "under")):
            a[200, 7] = far
            with np.errstate(**{what: "raise"}), pytest.raises(FloatingPointError, match=f"{what}flow .* cast"):
                vt.quantize(a, **kw)
            with np.errstate(**{what: "warn"}), pytest.warns(RuntimeWarning, match=f"{what}flow encountered in cast"):
                vt.quantize(a, **kw)
    with pytest.raises(ValueError, match="source: expected 'f64', 'f16' or 'bf16', got 'f32'"):
        native.quantize_from(bits, 256, 256, "symmetric", 4, 32, 0.0, 0, "f32")
    with pytest.raises(LengthMismatchError):
        native.quantize_from(bits, 256, 255, "symmetric", 4, 32, 0.0, 0, "f16")


def test_bad_input_and_parts_that_disagree_are_refused_before_anything_is_built():
    a, frozen = np.ones((4, 8), np.float32), np.zeros((4, 8), np.float32)
    frozen.flags.writeable = False
    t, ada = vt.quantize(a), vt.quantize(np.ones((3, 40), np.float32), Scheme.adaptive(16, 0.01))
    p = ada.parts()
    good = dict(shape=ada.shape, axis=1, scheme=ada.scheme, scale=ada.scale, dtype=ada.dtype, **p)
    parts = lambda **change: vt.QuantizedTensor.from_parts(**{**good, **change})  # noqa: E731
    # The native module checks again what the package checks, for callers that go around the package.
    f = np.ones(8, np.float32)
    view = (*native.quantize(f, 2, 4, "symmetric", 8, 4, 0.0, 0), 2, 4, "symmetric", 8, 4, 0)
    cases = [
        (lambda: native.quantize(f, 2, 4, "cubic", 8, 4, 0.0, 0), ValueError, "kind: expected 'symmetric', 'asym"),
        (lambda: native.quantize(f, 3, 4, "symmetric", 8, 4, 0.0, 0), LengthMismatchError, "expected 12, got 8"),
        (lambda: native.quantize(f, 2, 4, "symmetric", 1, 4, 0.0, 0), InvalidBitsError, "bit width 1 is outside"),
        (lambda: native.dequantize(*view[:7], 17, *view[8:], np.ones(8, np.float32)), InvalidBitsError, "17"),
        (lambda: native.dequantize(*view[:8], 0, *view[9:], np.ones(8, np.float32)), InvalidBlockError, "size 0"),
        (lambda: native.dequantize(*view, np.ones(7, np.float32)), LengthMismatchError, "expected 8, got 7"),
        (lambda: native.dequantize(*view, np.ones(8, np.int32)), TypeError, "out: a float32 buffer expected"),
        (lambda: native.dequantize(view[0], bytes(6), *view[2:], f), ValueError, "scales: a buffer of 4-byte elements"),
        (lambda: native.row(*view[:4], 4, "symmetric", 8, 4, 0), ValueError, "scales: expected 1, got 2"),
        (lambda: vt.quantize(a, axis=2), ValueError, r"axis: expected -2 to 1 .* got 2"),
        (lambda: vt.quantize(np.float32(1)), ValueError, "0-d"),
        (lambda: vt.quantize(a, Scheme.Q8_32, bits=4), TypeError, "either a scheme"),
        (lambda: vt.quantize(a, kind="symmetric", tolerance=0.1), TypeError, "tolerance"),
        (lambda: vt.quantize(a, bits=20), InvalidBitsError, "20"),
        (lambda: t.dequantize(out=np.zeros((8, 4), np.float32)), ValueError, r"expected shape \(4, 8\)"),
        (lambda: t.dequantize(out=np.zeros((4, 8), np.float64)), TypeError, "float64"),
        (lambda: t.dequantize(out=np.zeros((8, 4), np.float32).T), ValueError, "C-contiguous"),
        (lambda: t.dequantize(out=frozen), ValueError, "writeable"),
        (lambda: t.matvec(np.ones(7)), ValueError, r"expected shape \(8,\) or \(k, 8\), got \(7,\)"),
        (lambda: t.matvec(np.ones((2, 2, 8))), ValueError, "got"),
        (lambda: t.row(4), IndexError, "4"),
        (lambda: np.ones(4) @ t, TypeError, "only from the left"),
        (lambda: parts(shape=(2**40, 2**40, 0)), ValueError, r"shape: .* more values \(or rows\)"),
        (lambda: parts(dtype=object), TypeError, "dtype: expected a real element type, got object"),
        (lambda: parts(dtype="bogus"), TypeError, "dtype: expected a real element type, got 'bogus'"),
        (lambda: parts(shape=(3, 41)), ValueError, r"codes: expected \d+ elements for shape \(3, 41\)"),
        (lambda: parts(shape=(4, 40)), ValueError, "widths: expected 12 elements .* got 9"),
        (lambda: parts(scales=p["scales"][:-1]), ValueError, "scales: expected 9 elements .* got 8"),
        (lambda: parts(zero_points=p["zero_points"][:0]), ValueError, "zero_points: expected 9 elements .* got 0"),
        (lambda: parts(codes=np.append(p["codes"], np.uint8(0))), ValueError, "codes: expected 30 elements .* got 31"),
        (lambda: parts(widths=np.full(9, 9, np.uint32)), ValueError, "widths: expected values 2 to 8, got 9"),
        (lambda: parts(scales=p["scales"].astype(np.float16)), TypeError, "scales: expected dtype float32"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    with pytest.raises(BufferError) as e:
        native.dequantize(*view, bytes(32))
    assert e.value.__notes__ == ["while processing 'out'"]
    # Rows of no values cost nothing, however many are claimed (2**60 of them once took hours).
    empty, none = (np.zeros(0, np.uint8), f[:0], f[:0], np.zeros(0, np.uint32)), f[:0]
    scores, found, done = np.ones(3, np.float32), np.ones(3, np.int64), []
    calls = lambda: (native.dequantize(*empty, 2**60, 0, "adaptive", 0, 32, 0, none),  # noqa: E731
                     native.search(*empty, 2**60, 0, "symmetric", 4, 32, 0, none, 1, 3, None, 5, scores, found, 0),
                     native.search_super(empty[0], 2**60, 0, "q4_k", none, 1, 3, None, 5, scores, found, 0))
    worker = threading.Thread(target=lambda: done.append(calls()), daemon=True)  # a hang fails, not stalls, the run
    worker.start()
    worker.join(60)
    assert done == [(None, 3, 3)], "rows of no values were walked"
    assert (scores.tolist(), found.tolist()) == ([0.0] * 3, [5, 6, 7])


def test_a_malformed_state_is_one_value_error():
    ada = vt.quantize(np.ones((3, 40), np.float32), Scheme.adaptive(16, 0.01))
    sym = vt.quantize(np.ones((3, 40), np.float32), bits=4)

    def edit(t, i, value, row=False):
        """The state of t with item i (of its rows' state if row) replaced."""
        st = list(t.__getstate__())
        rows = list(st[5])
        (rows if row else st)[i] = value
        return tuple(st[:5]) + (tuple(rows),)

    states = [
        edit(ada, 0, True), edit(ada, 1, (3, 41)), edit(ada, 1, (3.0, 40)), edit(ada, 2, 5), edit(ada, 3, "bogus"),
        edit(ada, 3, "object"), edit(ada, 4, 1e-99), edit(ada, 4, None), edit(sym, 4, 0.1), edit(ada, 1, "cubic", 1),
        edit(ada, 3, -1, 1), edit(sym, 6, 8.7, 1), edit(sym, 6, 40, 1), edit(ada, 6, 4, 1), edit(ada, 7, (8.7,) * 9, 1),
        edit(ada, 7, (-1,) * 9, 1), edit(ada, 7, (9,) * 9, 1), edit(ada, 5, "abc", 1), edit(ada, 8, b"\0" * 3, 1),
        edit(ada, 2, Scale.F16.__getstate__(), 1), ada.__getstate__()[:5], "state",
    ]
    for st in states:
        with pytest.raises(ValueError, match="^malformed QuantizedTensor state") as e:
            vt.QuantizedTensor._from_state(st)
        assert type(e.value) is ValueError, st

    # A pickle may follow the object's rebuild with a state of its own.
    assert pickle.loads(pickle.dumps(vt.Q4_K)) == vt.Q4_K
    for rebuilt in [(vt.QuantizedTensor._from_state, (sym.__getstate__(),), (None, {"_parts": {}})),
                    (object.__new__, (type(vt.Q4_K),), {"name": "q4_k", "block_bytes": 1}),
                    (object.__new__, (type(vt.Q4_K),), {"name": ["q4_k"], "block_bytes": 144})]:
        with pytest.raises(ValueError, match="^malformed (QuantizedTensor|SuperBlockScheme) state"):
            pickle.loads(pickle.dumps(type("Hostile", (), {"__reduce__": lambda self, r=rebuilt: r})()))


def test_parts_are_memory_nothing_can_write():
    t = vt.quantize(np.linspace(-1, 1, 120).reshape(3, 40), Scheme.adaptive(16, 0.01))
    state, p = t.__getstate__(), t.parts()
    good = dict(shape=t.shape, axis=1, scheme=t.scheme, scale=t.scale, dtype=t.dtype)
    kept = vt.QuantizedTensor.from_parts(**good, **p).parts()
    assert all(kept[k] is p[k] for k in p)
    assert p["codes"].ctypes.data % 64 == 0  # the row kernels read whole lines
    # Anything whose owner could still change it is copied.
    widths = p["widths"].copy()
    view = widths[:]
    view.flags.writeable = False
    buf = bytearray(widths.tobytes())
    for given, change in [(widths, lambda: widths.fill(9)), (view, lambda: widths.fill(9)),
                          (np.frombuffer(memoryview(buf).toreadonly(), np.uint32), lambda: buf.__setitem__(0, 9))]:
        u = vt.QuantizedTensor.from_parts(**good, **{**p, "widths": given})
        change()
        assert u.__getstate__() == state and u[2].__getstate__() == t[2].__getstate__()
        widths[:] = p["widths"]
        assert u.parts()["codes"].ctypes.data % 64 == 0
    # Immutable but off a line: copied to one, bytes unchanged.
    odd = np.frombuffer(b"\0" + p["codes"].tobytes(), np.uint8, offset=1)
    assert odd.ctypes.data % 64
    moved = vt.QuantizedTensor.from_parts(**good, **{**p, "codes": odd})
    assert moved.parts()["codes"].ctypes.data % 64 == 0 and moved.__getstate__() == state
    for arr in [*p.values(), *u.parts().values()]:
        with pytest.raises(ValueError, match="WRITEABLE"):
            arr.flags.writeable = True


def test_rows_of_no_values_take_no_memory(tmp_path):
    from velmar import io, search

    empty = {k: np.zeros(0, np.uint8 if k == "codes" else np.float32) for k in ("codes", "scales", "zero_points")}
    for scheme in (Scheme.adaptive(32, 0.1), Scheme.Q8_32):
        tracemalloc.start()
        t = vt.QuantizedTensor.from_parts(shape=(2**40, 0), axis=1, scheme=scheme, scale=Scale.F32, dtype=np.float32,
                                          widths=np.zeros(0, np.uint32), **empty)
        assert len(t) == 2**40 and t[-1].__getstate__() == scheme.quantize([]).__getstate__()
        assert t.dequantize().shape == (2**40, 0)  # at once: no walk over the rows either
        assert vt.refine(t, np.zeros(t.shape, np.float32)).row_shape == (2**40, 0)
        io.save(tmp_path / "t.velmar", {"t": t})
        for metric, score in (("inner_product", 0.0), ("cosine", np.nan)):  # in memory, and in a file
            for scores, found in (t.search(np.zeros((2, 0)), 3, metric=metric),
                                  search.search_file(tmp_path / "t.velmar", "t", np.zeros((2, 0)), 3, metric=metric)):
                assert found.tolist() == [[0, 1, 2]] * 2 and np.array_equal(scores, np.full((2, 3), score),
                                                                            equal_nan=True)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < 1 << 16, (scheme, peak)


def test_a_forced_kernel_level_gives_the_same_products():
    t = vt.quantize(np.random.default_rng(3).standard_normal((70, 50)).astype(np.float32), bits=4, block=16)
    x, chosen = np.linspace(-1, 1, 50, dtype=np.float32), native.kernel_level()
    want, ran = t @ x, []
    try:
        for level in ("scalar", "sse2", "avx2", "avx512", "avx512vbmi", "neon"):
            with contextlib.suppress(ValueError):
                native.use_kernel_level(level)
                ran.append(native.kernel_level())
                same_f32(t @ x, want)
        with pytest.raises(ValueError, match="kernel level 'sse9' is not one this CPU runs \\(scalar, "):
            native.use_kernel_level("sse9")
    finally:
        native.use_kernel_level(None)
    assert native.kernel_level() == chosen and chosen in ran and "scalar" in ran


def test_description():
    t = vt.quantize(np.zeros((2, 3, 64), np.float16), bits=4, axis=2, scale=Scale.F16)
    assert repr(t) == ("QuantizedTensor(shape=(2, 3, 64), axis=2, kind='symmetric', bits=4, block=32, "
                       "scale=Scale.F16, dtype=float16)")
    assert (t.nbytes, t.bits_per_element, len(t)) == (6 * 32 + 6 * 2 * 2, 4.5, 6)
    assert vt.quantize(np.zeros((0, 5))).bits_per_element == 0.0


def row_dot(t, i, q):
    """Row i's own dot with q: the 1-D dot, or a super-block row's product."""
    row = t[i]
    return row.dot(q) if hasattr(row, "dot") else (row @ q)[0]


def ranked(scores):
    """Row order best first: higher score, then lower index; NaN last."""
    s = np.asarray(scores, np.float64)
    return np.lexsort((np.arange(len(s)), -np.nan_to_num(s, nan=-np.inf), np.isnan(s)))


@settings(max_examples=40, deadline=None)
@given(scheme=st.one_of(SCHEMES, st.sampled_from(vt.kquants.TYPES)), scale=st.sampled_from(SCALES),
       rows=st.integers(1, 90), k=st.integers(1, 100) | st.just(2**63), seed=st.integers(0, 2**32 - 1))
def test_search_ranks_every_row_by_its_own_dot_and_cosine(scheme, scale, rows, k, seed):
    rng = np.random.default_rng(seed)
    super_block = isinstance(scheme, vt.kquants.SuperBlockScheme)
    cols = 256 * int(rng.integers(1, 3)) if super_block else int(rng.integers(1, 50))
    a = rng.standard_normal((rows, cols)).astype(np.float32)
    a[rng.integers(rows, size=rows // 3)] = a[0]  # equal rows tie
    t = vt.quantize(a, scheme, scale=Scale.F16 if super_block else scale)
    queries = rng.standard_normal((3, cols)).astype(np.float32)
    queries[1, 0] = np.inf  # inf * 0 makes NaN scores, inf * code equal ones
    for metric in ("inner_product", "cosine"):
        scores, found = t.search(queries, k, metric=metric)
        assert scores.shape == found.shape == (3, min(k, rows)) and found.dtype == np.int64
        for q, s, f in zip(queries, scores, found):
            if metric == "cosine":
                norms = [np.float32(np.sqrt(np.sum(t[i].dequantize().astype(np.float64) ** 2))) for i in range(rows)]
                with np.errstate(invalid="ignore", divide="ignore"):  # NaN or infinite queries, zero rows
                    unit = (q / np.sqrt(np.dot(q.astype(np.float64), q))).astype(np.float32)
                    full = np.array([np.float32(row_dot(t, i, unit)) / n for i, n in enumerate(norms)], np.float32)
            else:
                full = np.array([row_dot(t, i, q) for i in range(rows)], np.float32)
            best = ranked(full)[: len(f)]
            assert f.tolist() == best.tolist()
            same_f32(s, full[best])
    one = t.search(queries[2], k)
    assert [x.tolist() for x in one] == [x[2].tolist() for x in t.search(queries, k)]


def test_search_refusals_and_a_search_in_a_file_read_a_slice_at_a_time(tmp_path):
    from velmar import io, search

    rng = np.random.default_rng(5)
    t = vt.quantize(rng.standard_normal((300, 24)).astype(np.float32), kind="adaptive", block=7, tolerance=0.05,
                    scale=Scale.F16)
    q = rng.standard_normal((2, 24)).astype(np.float32)
    cases = [
        (lambda: t.search(q, 0), ValueError, "k: expected at least 1, got 0"),
        (lambda: t.search(q, 2.5), TypeError, "k: expected an integer"),
        (lambda: t.search(q[:, :20], 3), LengthMismatchError, "expected 24, got 20"),
        (lambda: t.search(q[None], 3), ValueError, r"queries: expected one query of shape \(24,\)"),
        (lambda: t.search(np.array(["x"] * 24), 3), TypeError, "queries: expected an array of real numbers"),
        (lambda: t.search(q, 3, metric="l2"), ValueError, "metric: expected 'inner_product' or 'cosine'"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    schemes = {"s8": Scheme.Q8_32, "s4": Scheme.symmetric(4, 5), "a3": Scheme.asymmetric(3, 16), "ad": t.scheme}
    tensors = {name: vt.quantize(rng.standard_normal((300, 24)).astype(np.float32), s) for name, s in schemes.items()}
    tensors |= {"ad": t, "q3": vt.quantize(rng.standard_normal((300, 256)).astype(np.float32), vt.Q3_K)}
    path = tmp_path / "t.velmar"
    io.save(path, tensors | {"plain": np.ones(3, np.float32)})
    for name, tt in tensors.items():
        qq = rng.standard_normal((2, tt.row_shape[1])).astype(np.float32)
        # k beyond the rows allocates only them; slices of 37 rows, and of the default bytes
        for metric, k, rows in (("inner_product", 10, 37), ("cosine", 2**40, 37), ("inner_product", 3, None)):
            want = tt.search(qq, k, metric=metric)
            got = search.search_file(path, name, qq, k, metric=metric, rows_per_slice=rows)
            assert [x.tolist() for x in got] == [x.tolist() for x in want], (name, metric)
    with pytest.raises(ValueError, match="plain array"):
        search.search_file(path, "plain", q, 3)


def test_a_search_releases_the_lock():
    t = vt.quantize(np.random.default_rng(2).standard_normal((40000, 512)).astype(np.float32))
    q, stamps, done = np.ones((16, 512), np.float32), [], threading.Event()

    def other():
        while not done.is_set():
            stamps.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    th = threading.Thread(target=other)
    th.start()
    try:
        start = time.perf_counter()
        t.search(q, 5)
        end = time.perf_counter()
    finally:
        done.set()
        th.join()
        sys.setswitchinterval(interval)
    # with the lock held through the search the other thread would only run after `end`
    assert [s for s in stamps if start < s < end - 0.005], "no other thread ran while search worked"
