"""Raw results of one build, and the comparison of two builds' results.

    python compare-arch.py dump OUT      (run by each interpreter under test)
    python compare-arch.py compare A B   (exit status 1 on a real difference)

Every result is stored as typed byte fields: codes, stored scales and zero
points, widths, decoded values, dots, pickles and refits over a grid of
settings and vectors with NaN, infinities, subnormals and signed zeros. Two
results must be byte-identical unless one of them holds a NaN; then only the
bits of the NaNs themselves (sign and payload) may differ.
"""

import pickle
import struct
import sys

import numpy as np

# Inputs come from integer arithmetic and bit patterns only, so that both
# interpreters see the same bytes whatever their libm does.
SPECIALS = np.array(
    [0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FBFFFFF, 0x7F800000, 0xFF800000,
     0x00000001, 0x807FFFFF, 0x00400000, 0x80000000, 0x00000000, 0x7F7FFFFF, 0xFF7FFFFF],
    dtype=np.uint32,
).view(np.float32)


def vectors() -> list[np.ndarray]:
    rng = np.random.Generator(np.random.PCG64(20261206))
    out = []
    for n in (1, 5, 31, 33, 100, 257):
        out.append((rng.integers(-(1 << 20), 1 << 20, n) / np.float32(1 << 19)).astype(np.float32))
        out.append((rng.integers(0, 1 << 12, n) * np.float32(2.0**-140)).astype(np.float32))  # subnormals
        out.append(rng.integers(0, 1 << 32, n, dtype=np.uint64).astype(np.uint32).view(np.float32))
        mixed = (rng.integers(-1000, 1000, n) / np.float32(64)).astype(np.float32)
        mixed[rng.integers(0, n, max(1, n // 8))] = rng.choice(SPECIALS, max(1, n // 8))
        out.append(mixed)
        offset = (rng.integers(0, 1 << 16, n) / np.float32(1 << 10) + np.float32(100)).astype(np.float32)
        out.append(offset)
    for s in SPECIALS:
        out.append(np.full(40, s, dtype=np.float32))
        v = (np.arange(40, dtype=np.float32) - 20) / np.float32(8)
        v[3] = s
        out.append(v)
    out.append(np.zeros(64, dtype=np.float32))
    out.append(np.full(64, 3e38, dtype=np.float32))
    return out


def settings() -> list[tuple[str, tuple, object]]:
    import velmar
    from velmar import Scale

    grid = []
    for scale in (Scale.F32, Scale.F16, Scale.Bf16):
        for bits in (2, 3, 4, 5, 8, 12, 16):
            for block in (1, 5, 32):
                grid.append(("sym", (bits, block), scale))
        for bits in (2, 3, 4, 8, 16):
            for block in (5, 32):
                grid.append(("asym", (bits, block), scale))
        for tol in (1e-3, 0.05, 1.0):
            for block in (5, 32):
                grid.append(("adapt", (block, tol), scale))
        for bits in (4, 8):
            grid.append(("sym_t", (bits,), scale))
            grid.append(("asym_t", (bits,), scale))
    fns = {"sym": velmar.quantize, "asym": velmar.asymmetric_quantize,
           "adapt": velmar.adaptive_quantize, "sym_t": velmar.quantize_tensor,
           "asym_t": velmar.asymmetric_quantize_tensor}
    return [(f"{k}{args}/{scale!r}", args, (fns[k], scale)) for k, args, scale in grid]


def stored(scale) -> str:
    return {0: "f32", 1: "f16", 2: "bf16"}[int(scale)]


def results_of(q, x: np.ndarray, dot_with: np.ndarray) -> dict[str, list[tuple[str, bytes]]]:
    import velmar

    state = q.__getstate__()
    kind = stored(state[2])
    r = {
        "codes": [("raw", bytes(state[5]))],
        "scales": [(kind, state[8])],
        "zero_points": [(kind, state[9])],
        "widths": [("raw", repr(state[7]).encode())],
        "decoded": [("f32", q.dequantize().tobytes())],
        "dot": [("f64", struct.pack("<d", q.dot(dot_with)))],
        "pickle": [("raw", repr(state[:8]).encode()), (kind, state[8]), (kind, state[9])],
    }
    refit = velmar.refine(q.copy(), x).__getstate__()
    r["refit"] = [("raw", repr(refit[:8]).encode()), (kind, refit[8]), (kind, refit[9])]
    return r


def dump(path: str) -> None:
    import velmar

    out: dict[str, list[tuple[str, bytes]]] = {}
    vs = vectors()
    out["inputs"] = [("raw", b"".join(v.tobytes() for v in vs))]
    for name, args, (fn, scale) in settings():
        for i, x in enumerate(vs):
            dot_with = x[::-1].copy()
            key = f"{name}/v{i}"
            try:
                q = fn(x, *args, scale=scale)
                fields = results_of(q, x, dot_with)
            except velmar.QuantizeError as e:
                out[key + "/error"] = [("raw", type(e).__name__.encode())]
                continue
            for what, f in fields.items():
                out[f"{key}/{what}"] = f
    fit = velmar.fit_scale_and_zero_point
    for i, x in enumerate(vs):
        codes = np.arange(len(x), dtype=np.int32) % 7 - 3
        out[f"fit/v{i}"] = [("f64", struct.pack("<2d", *fit(x, codes)))]
    with open(path, "wb") as f:
        pickle.dump(out, f, protocol=4)


def nan_mask(kind: str, data: bytes) -> np.ndarray | None:
    """Where the field holds NaNs, or None for a field that holds no floats."""
    if kind == "raw":
        return None
    dtype, exp, frac = {"f32": ("<u4", 0x7F800000, 0x007FFFFF), "bf16": ("<u2", 0x7F80, 0x007F),
                        "f16": ("<u2", 0x7C00, 0x03FF),
                        "f64": ("<u8", 0x7FF0000000000000, 0x000FFFFFFFFFFFFF)}[kind]
    u = np.frombuffer(data, dtype=dtype)
    return ((u & exp) == exp) & ((u & frac) != 0)


def same_but_nan_bits(a: list[tuple[str, bytes]], b: list[tuple[str, bytes]]) -> bool:
    for (ka, da), (kb, db) in zip(a, b, strict=True):
        if ka != kb or len(da) != len(db):
            return False
        ma, mb = nan_mask(ka, da), nan_mask(kb, db)
        if ma is None:
            if da != db:
                return False
            continue
        if not np.array_equal(ma, mb):
            return False
        width = len(da) // len(ma) if len(ma) else 1
        ua = np.frombuffer(da, dtype=np.uint8).reshape(-1, width)[~ma]
        ub = np.frombuffer(db, dtype=np.uint8).reshape(-1, width)[~mb]
        if not np.array_equal(ua, ub):
            return False
    return True


def holds_nan(fields: list[tuple[str, bytes]]) -> bool:
    return any(m is not None and bool(m.any()) for m in (nan_mask(k, d) for k, d in fields))


def compare(path_a: str, path_b: str) -> int:
    with open(path_a, "rb") as f:
        a = pickle.load(f)
    with open(path_b, "rb") as f:
        b = pickle.load(f)
    if a.keys() != b.keys():
        print(f"different result sets: {sorted(a.keys() ^ b.keys())[:5]}")
        return 1
    clean = clean_same = nan_same = nan_bits = 0
    bad = []
    for key in a:
        if holds_nan(a[key]) or holds_nan(b[key]):
            if a[key] == b[key]:
                nan_same += 1
            elif same_but_nan_bits(a[key], b[key]):
                nan_bits += 1
            else:
                bad.append(key)
        else:
            clean += 1
            if a[key] == b[key]:
                clean_same += 1
            else:
                bad.append(key)
    print(f"{len(a)} results; {clean} hold no NaN, of which {clean_same} byte-identical; "
          f"{nan_same + nan_bits} hold a NaN: {nan_same} byte-identical, "
          f"{nan_bits} differing only in NaN sign or payload; {len(bad)} real differences")
    for key in bad[:10]:
        print("  differs:", key)
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["dump"] and len(sys.argv) == 3:
        dump(sys.argv[2])
    elif sys.argv[1:2] == ["compare"] and len(sys.argv) == 4:
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
