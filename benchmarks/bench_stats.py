"""mad and compute_sr against the NumPy expressions a user would write."""

import numpy as np

import zelk_core as z
from harness import Table


def run(table):
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


if __name__ == "__main__":
    t = Table()
    run(t)
