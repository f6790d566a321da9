"""gibbs_entropy against NumPy, and whole tournament fits against a batched NumPy rendering of
the same algorithm and against the native floor (the bare matrix-vector products and counting
passes of a fit, from benchmarks/native/floor.cpp)."""

import json
import os
import subprocess
import time

import numpy as np

import numpy_sampler
import zelk_core as z
from harness import best_time

SIZES = [(200, 4), (2000, 6), (20000, 8)]
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
        table.compare("gibbs_entropy", f"N = {n:.0e}", lambda: z.gibbs_entropy(E), "NumPy",
                      lambda: np_gibbs(E))

    evals = numpy_sampler.evaluations()
    floors = floor_times()
    for m, k in SIZES:
        X = rng.standard_normal((m, k))
        y = X @ rng.standard_normal(k) + 0.1 * rng.standard_normal(m)
        y[rng.random(m) < 0.1] += 5.0
        sampler = z.TournamentMCMC()
        ratio = table.compare("TournamentMCMC().fit", f"m = {m}, k = {k}", lambda: sampler.fit(X, y),
                              "batched NumPy", lambda: numpy_sampler.fit(X, y), min_total=1.0, repeats=3)
        t_ours = table.rows[-1][2]
        per_chain = table.add("TournamentMCMC().fit", f"m = {m}, k = {k}", t_ours,
                              "NumPy, one chain at a time",
                              best_time(lambda: numpy_sampler.fit_per_chain(X, y), min_total=1.0, repeats=1))
        print(f"    evaluations per second: zelk_core {evals / t_ours:,.0f}, batched NumPy "
              f"{evals / (t_ours * ratio):,.0f}, per-chain NumPy {evals / (t_ours * per_chain):,.0f}")
        if (m, k) in floors:
            table.add("TournamentMCMC().fit", f"m = {m}, k = {k}", t_ours,
                      "C++ floor (X b + count only)", floors[(m, k)])
