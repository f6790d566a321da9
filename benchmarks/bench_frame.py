"""Argument conversion. float64 arrays in C or F order are read where they are: compute_sr(v, v,
eps) then costs only its counting pass, and mdl_score_reg with zero weights does not read its two
penalty matrices at all; the peer is what copying the same arguments would cost (np.copyto).
Arrays of other types or layouts are still converted once: float32 vectors against NumPy's own
conversion of the same data (astype).

"reused buffers": the peer copies into arrays allocated once. "fresh memory": the peer allocates
new arrays each time, as a copying core would (page faults included)."""

import numpy as np

import zelk_core as z

VECTOR_SIZES = [(12_000, "reused buffers"), (1 << 18, "fresh memory"), (10**6, "fresh memory")]
MATRIX_SHAPES = [((1_000, 11), "reused buffers"), ((10**5, 11), "fresh memory")]


def run(table):
    rng = np.random.default_rng(7)
    for n, memory in VECTOR_SIZES:
        v = rng.standard_normal(n)
        a, b = np.empty_like(v), np.empty_like(v)
        if memory == "reused buffers":
            peer = lambda: (np.copyto(a, v), np.copyto(b, v))  # noqa: E731
        else:
            peer = lambda: (np.copyto(np.empty_like(v), v), np.copyto(np.empty_like(v), v))  # noqa: E731
        table.compare("vector arguments (x2)", f"n = {n:.0e}, {memory}",
                      lambda: z.compute_sr(v, v, 0.5), "np.copyto", peer)
    for n, _ in VECTOR_SIZES[1:]:
        v32 = rng.standard_normal(n).astype(np.float32)
        table.compare("float32 vector arguments (x2)", f"n = {n:.0e}, converted",
                      lambda: z.compute_sr(v32, v32, 0.5), "astype(float64) x2",
                      lambda: (v32.astype(np.float64), v32.astype(np.float64)))
    one, beta = np.ones(4), np.ones(1)
    for (m, p), memory in MATRIX_SHAPES:
        C = rng.standard_normal((m, p))
        a, b = np.empty((m, p), order="F"), np.empty((m, p), order="F")
        if memory == "reused buffers":
            peer = lambda: (np.copyto(a, C), np.copyto(b, C))  # noqa: E731
        else:
            peer = lambda: (np.asfortranarray(C), np.asfortranarray(C))  # noqa: E731
        table.compare("C-order matrix arguments (x2)", f"({m:.0e}, {p}), {memory}",
                      lambda: z.mdl_score_reg(one, one, 1, 20, beta, C, C, 0.0, 0.0),
                      "np.copyto (F order)", peer)
