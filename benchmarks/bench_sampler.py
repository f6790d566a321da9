"""gibbs_entropy against NumPy, and whole tournament fits against a batched NumPy rendering of
the same algorithm and against the native floor (the bare matrix-vector products and counting
passes of a fit, from benchmarks/native/floor.cpp); and fits that alternate with NumPy matrix
products, as in a script that mixes them, where the sampler's threads and OpenBLAS's share the
cores (with --busy, the row that shows whether either set leaves the other a core short)."""

import json
import os
import subprocess
import time

import numpy as np

import numpy_sampler
import zelk_core as z
from harness import best_time

SIZES = [(200, 4), (2000, 6), (20000, 8), (200000, 8)]
PER_CHAIN_MAX_M = 20000  # one chain at a time in NumPy takes minutes beyond this
FLOOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "zelk_floor")


def np_gibbs(E, T=1.0):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = np.log(max(E.size, 2))
    He = H / (Hmax + 1e-300)
    return H, Hmax, He, 0.01 + 0.99 * He, E.var(), T


def floor_times():
    """Seconds per fit-equivalent of bare work, by (m, k); empty when the floor is not built."""
    if not os.path.exists(FLOOR):
        return {}
    out = subprocess.run([FLOOR, "--benchmark_format=json"], capture_output=True, text=True, check=True)
    times = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        _, m, k = b["name"].split("/")
        times[(int(m), int(k))] = b["real_time"] * {"ms": 1e-3, "us": 1e-6, "ns": 1e-9, "s": 1.0}[b["time_unit"]]
    return times


def run(table):
    rng = np.random.default_rng(3)
    for n in (10**3, 10**5, 10**6):
        E = 100 + 3 * rng.standard_normal(n)
        if table.wants(f"N = {n:.0e}"):
            table.compare("gibbs_entropy", f"N = {n:.0e}", lambda: z.gibbs_entropy(E), "NumPy",
                          lambda: np_gibbs(E))

    evals = numpy_sampler.evaluations()
    floors = floor_times()
    for m, k in SIZES:
        X = rng.standard_normal((m, k))
        y = X @ rng.standard_normal(k) + 0.1 * rng.standard_normal(m)
        y[rng.random(m) < 0.1] += 5.0
        fit_rows(table, f"m = {m}, k = {k}", X, y, evals, per_chain=m <= PER_CHAIN_MAX_M,
                 floor=floors.get((m, k)))

    # Two penalties on the default problem, and a 2-D tensor basis of degree 4 (k = 25).
    X = rng.standard_normal((2000, 6))
    y = X @ rng.standard_normal(6) + 0.1 * rng.standard_normal(2000)
    R1, R2 = np.eye(6), np.diag(np.arange(1.0, 7.0))
    fit_rows(table, "m = 2000, k = 6, two penalties", X, y, evals, penalties=(R1, R2, 1e-3, 1e-4))
    R1, R2, idx = z.build_penalty_matrices_nd([4, 4], [(-1.0, 1.0), (-1.0, 1.0)])
    x = rng.uniform(-1.0, 1.0, (20000, 2))
    X = z.design_matrix_nd(idx, [x[:, 0], x[:, 1]])
    y = np.sin(2 * x[:, 0]) * np.cos(x[:, 1]) + 0.05 * rng.standard_normal(20000)
    fit_rows(table, f"m = 20000, k = {X.shape[1]} (2-D, degree 4)", X, y, evals)

    X = rng.standard_normal((2000, 6))
    y = X @ rng.standard_normal(6) + 0.1 * rng.standard_normal(2000)
    y[rng.random(2000) < 0.1] += 5.0
    alternating_row(table, "m = 2000, k = 6, each fit then a 256 x 256 product", X, y)


def fit_rows(table, case, X, y, evals, per_chain=False, floor=None, penalties=None):
    """Rows of one problem: the fit against batched NumPy, NumPy's bare products and counts of as
    many evaluations in large blocks, and optionally one chain at a time and the C++ floor."""
    if not table.wants(case):
        return
    sampler = z.TournamentMCMC()
    pen = () if penalties is None else penalties
    big = X.shape[0] >= 100000
    timing = dict(min_total=1.0, repeats=2 if big else 3)
    ratio = table.compare("TournamentMCMC().fit", case, lambda: sampler.fit(X, y, *pen),
                          "batched NumPy", lambda: numpy_sampler.fit(X, y, penalties=penalties),
                          **timing)
    t_ours = table.rows[-1][2]
    table.add("TournamentMCMC().fit", case, t_ours, "NumPy products + counts, blocked",
              best_time(lambda: numpy_sampler.products_and_counts(X, y, evals), **timing))
    line = (f"    evaluations per second: zelk_core {evals / t_ours:,.0f}, "
            f"batched NumPy {evals / (t_ours * ratio):,.0f}")
    if per_chain:
        t = best_time(lambda: numpy_sampler.fit_per_chain(X, y), min_total=1.0, repeats=1)
        table.add("TournamentMCMC().fit", case, t_ours, "NumPy, one chain at a time", t)
        line += f", per-chain NumPy {evals / t:,.0f}"
    print(line)
    if floor is not None:
        table.add("TournamentMCMC().fit", case, t_ours, "C++ floor (X b + count only)", floor)


def alternating_row(table, case, X, y):
    """A fit, then a NumPy matrix product large enough for OpenBLAS to use all its threads, over
    and over; the peer does the same with the batched NumPy sampler. In busy mode the one-thread
    column limits the sampler (not OpenBLAS) to one thread."""
    if not table.wants(case):
        return
    rng = np.random.default_rng(4)
    A, B = rng.standard_normal((256, 256)), rng.standard_normal((256, 256))
    sampler = z.TournamentMCMC()

    def ours():
        sampler.fit(X, y)
        return A @ B

    def peer():
        numpy_sampler.fit(X, y)
        return A @ B

    table.compare("TournamentMCMC().fit", case, ours, "batched NumPy, then the product", peer,
                  min_total=1.0, repeats=3)
