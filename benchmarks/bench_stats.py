"""mad and compute_sr against the NumPy expressions a user would write."""

import numpy as np

import zelk_core as z
from harness import Table


def run(table):
    run_robust(table)
    run_score(table)


def run_robust(table):
    rng = np.random.default_rng(1)
    for n in (10**3, 10**5, 10**6):
        y = rng.standard_normal(n)
        y[rng.random(n) < 0.05] *= 50.0  # outliers
        yp = y + 0.3 * rng.standard_normal(n)
        eps = 0.4 * z.mad(y)
        table.compare("mad", f"n = {n:.0e}", lambda: z.mad(y),
                      "np.median(abs(y - median))", lambda: np.median(np.abs(y - np.median(y))))
        table.compare("compute_sr", f"n = {n:.0e}", lambda: z.compute_sr(yp, y, eps),
                      "np.count_nonzero", lambda: max(np.count_nonzero(np.abs(yp - y) < eps) / n,
                                                      0.5 / n))


def np_mdl_score(yp, yt, k, H=20, beta=None, R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    """The score as a careful NumPy user would write it."""
    n = yt.size
    m = np.median(np.abs(yt - np.median(yt)))
    eps = 0.4 * m if m > 0 else 0.4
    sr = max(np.count_nonzero(np.abs(yp - yt) < eps) / n, 0.5 / n)
    L = -n * np.log(sr) + (k * np.log(2 * H) / n * k if k > 0 else 0.0)
    if gamma1:
        L += gamma1 * beta @ (R1 @ beta)
    if gamma2:
        L += gamma2 * beta @ (R2 @ beta)
    return L


def run_score(table):
    rng = np.random.default_rng(2)
    p = 10
    beta = rng.standard_normal(p)
    R1, R2 = rng.standard_normal((p, p)), rng.standard_normal((p, p))
    for n in (10**4, 10**5, 10**6):
        yt = rng.standard_normal(n)
        yp = yt + 0.3 * rng.standard_normal(n)
        table.compare("mdl_score", f"n = {n:.0e}", lambda: z.mdl_score(yp, yt, p),
                      "NumPy", lambda: np_mdl_score(yp, yt, p))
        table.compare("mdl_score_reg", f"n = {n:.0e}, p = {p}",
                      lambda: z.mdl_score_reg(yp, yt, p, 20, beta, R1, R2, 0.1, 0.2),
                      "NumPy", lambda: np_mdl_score(yp, yt, p, 20, beta, R1, R2, 0.1, 0.2))
