"""Argument conversion: what copying an array into the core costs, against NumPy copying the same
data. compute_sr(v, v, eps) does almost nothing besides copying its two arguments, and
mdl_score_reg with zero weights copies its two penalty matrices without reading them.

"reused buffers": the copies fit where the allocator hands back memory that is already mapped
(a block under its mmap threshold, freed by the previous call), and the peer copies into arrays
allocated once. "fresh memory": blocks large enough that the allocator maps new pages on every
call, and the peer allocates new arrays each time too."""

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
