"""gibbs_entropy against NumPy."""

import numpy as np

import zelk_core as z


def np_gibbs(E, T=1.0):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -np.sum(p * np.log(p + 1e-300))
    Hmax = np.log(max(E.size, 2))
    He = H / (Hmax + 1e-300)
    return H, Hmax, He, 0.01 + 0.99 * He, E.var(), T


def run(table):
    rng = np.random.default_rng(3)
    for n in (10**3, 10**6):
        E = 100 + 3 * rng.standard_normal(n)
        table.compare("gibbs_entropy", f"N = {n:.0e}", lambda: z.gibbs_entropy(E), "NumPy",
                      lambda: np_gibbs(E))
