"""ols against LAPACK's least squares (numpy.linalg.lstsq), and fit_regularized_linear against
the same normal equations formed in NumPy and solved by SciPy's symmetric solver.

Designs are C-ordered, as NumPy makes them; zelk_core reads them where they are (the Gram
kernel packs panels of rows in cache, the QR reads blocks of rows), and for the larger sizes an
extra row with a Fortran-ordered design shows what the row-major layout costs. The tall shapes
are those of a one-dimensional basis of degree 10 (11 columns) and a two-dimensional one (16
columns); 2000 x 4 is a small fit, where fixed costs decide."""

import os
import subprocess
import sys

import numpy as np
import scipy.linalg

import zelk_core as z
from harness import Table

SIZES = [(2000, 4), (10**3, 8), (10**5, 11), (10**5, 16), (10**4, 200)]
# The penalised fit and its peer take milliseconds and both use every core: more, shorter rounds
# keep a moment of load on a shared machine from deciding the ratio.
TIMING = dict(min_total=0.6, repeats=15)


def penalties(rng, p):
    B1, B2 = rng.standard_normal((p, p)), rng.standard_normal((p, p))
    return B1 @ B1.T / p, B2 @ B2.T / p


def run(table):
    rng = np.random.default_rng(3)
    for m, p in SIZES:
        X = rng.standard_normal((m, p))
        y = X @ rng.standard_normal(p) + 0.1 * rng.standard_normal(m)
        case = f"({m:.0e}, {p})"
        table.compare("ols", case, lambda: z.ols(X, y),
                      "np.linalg.lstsq", lambda: np.linalg.lstsq(X, y, rcond=None)[0])

        R1, R2 = penalties(rng, p)
        g1, g2, ridge = 1e-3, 1e-4, 1e-10
        eye = np.eye(p)

        def scipy_route(X=X):
            A = X.T @ X + ridge * eye + (m * g1) * R1 + (m * g2) * R2
            return scipy.linalg.solve(A, X.T @ y, assume_a="sym")

        table.compare("fit_regularized_linear", case,
                      lambda: z.fit_regularized_linear(X, y, R1, R2, g1, g2, ridge),
                      "scipy.linalg.solve(sym)", scipy_route, **TIMING)
        if m * p >= 10**6:
            XF = np.asfortranarray(X)
            table.compare("ols", case + " F-order", lambda: z.ols(XF, y),
                          "np.linalg.lstsq", lambda: np.linalg.lstsq(XF, y, rcond=None)[0])
            table.compare("fit_regularized_linear", case + " F-order",
                          lambda: z.fit_regularized_linear(XF, y, R1, R2, g1, g2, ridge),
                          "scipy.linalg.solve(sym)", lambda: scipy_route(XF), **TIMING)


# Prints, for each shape, the hex digest of both results computed in this process.
_DIGESTS = """
import hashlib, numpy as np, zelk_core as z
rng = np.random.default_rng(11)
for m, p in SHAPES:
    X, y = rng.standard_normal((m, p)), rng.standard_normal(m)
    R1 = np.eye(p) + 0.1
    for b in (z.ols(X, y), z.fit_regularized_linear(X, y, R1, None, 1e-3)):
        print(hashlib.sha256(b.tobytes()).hexdigest()[:16], end=" ")
    print()
"""


def thread_dependence(shapes=((2000, 4), (10**3, 8), (300, 40), (1000, 16), (2000, 200),
                              (5000, 100), (10**4, 200), (10**5, 11), (10**5, 16), (400, 400),
                              (500, 500))):
    """Whether the results change in their bits with the number of OpenMP threads."""
    code = _DIGESTS.replace("SHAPES", repr(list(shapes)))
    runs = {}
    for threads in (1, 2):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                             text=True, check=True).stdout.split("\n")
        runs[threads] = [line.split() for line in out if line]
    print("shape            ols: 1 vs 2 threads   fit_regularized_linear: 1 vs 2 threads")
    for (m, p), one, two in zip(shapes, runs[1], runs[2]):
        same = ["same bits" if a == b else "DIFFERENT" for a, b in zip(one, two)]
        print(f"({m:6d}, {p:3d})    {same[0]:22s}{same[1]}")


if __name__ == "__main__":
    if "--threads" in sys.argv:
        thread_dependence()
    else:
        run(Table())
