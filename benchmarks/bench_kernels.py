"""zelk._kernels (the robust fit's kernels) against the NumPy steps of zelk's fit and
zelk._basis that they replace, at the sizes where the fit is slow."""

import pkgutil

import numpy as np

import zelk

zelk.__path__ = pkgutil.extend_path(zelk.__path__, "zelk")  # run from the source tree too
import zelk._kernels as K  # noqa: E402
from zelk import _basis  # noqa: E402
from zelk._norms import Bisquare  # noqa: E402
from zelk._scale import m_scale  # noqa: E402


def np_weighted(Phi, z, w):
    A = Phi * w[:, None]
    return A.T @ Phi, A.T @ z


def np_irls_step(Phi, z, beta, scale, c):
    return np_weighted(Phi, z, Bisquare(c).weights((z - Phi @ beta) / scale))


def run(table):
    rng = np.random.default_rng(3)
    for n, p in ((10**5, 4), (10**5, 20), (10**6, 4), (10**6, 20)):
        Phi = rng.uniform(-1, 1, (n, p))
        beta = rng.standard_normal(p)
        z = Phi @ beta + 0.1 * rng.standard_normal(n)
        z[rng.random(n) < 0.1] += 3.0
        w = rng.random(n)
        b0 = beta + 0.01
        case = f"({n:.0e}, {p})"
        table.compare("weighted_normal_equations", case, lambda: K.weighted_normal_equations(Phi, z, w),
                      "(Phi * w).T @ [Phi, z]", lambda: np_weighted(Phi, z, w))
        table.compare("bisquare_normal_equations", case, lambda: K.bisquare_normal_equations(Phi, z, b0, 0.1, 4.685),
                      "residuals, weights, (Phi * w).T @ [Phi, z]", lambda: np_irls_step(Phi, z, b0, 0.1, 4.685))
        table.compare("residuals", case, lambda: K.residuals(Phi, z, b0), "z - Phi @ beta", lambda: z - Phi @ b0)
    for n in (10**5, 10**6):
        r = rng.standard_normal(n)
        r[rng.random(n) < 0.1] += 30.0
        table.compare("bisquare_weights", f"n = {n:.0e}", lambda: K.bisquare_weights(r, 0.7, 4.685),
                      "Bisquare.weights", lambda: Bisquare(4.685).weights(r / 0.7))
        table.compare("m_scale", f"n = {n:.0e}", lambda: K.m_scale(r), "zelk._scale.m_scale",
                      lambda: m_scale(r))
    for n, k in ((10**6, 1), (10**5, 3), (10**6, 3)):
        U = rng.uniform(-1, 1, (n, k))
        idx = _basis.multi_indices([3] * k, "total")
        table.compare("legendre_design", f"n = {n:.0e}, {k} feature(s), degree 3", lambda: K.legendre_design(U, idx),
                      "zelk._basis.legendre_design", lambda: _basis.legendre_design(U, idx, [3] * k))
