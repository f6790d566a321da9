"""Choosing the polynomial degree: a robust Schwarz criterion at a common residual scale.

The most complex candidate is fitted robustly first (sampler starts, S-scale, MM step). Its
residual scale ``s`` and its weights serve every smaller degree: each is fitted by the MM step
from a weighted least-squares start on the samples the large model accepts, and scored by

    2 * sum(rho(r_i / s)) + k * ln(n)

with the bisquare rho scaled to behave as t^2 / 2 near zero, so that for normal errors the first
term is the residual sum of squares in units of s^2. A common scale is what makes the degrees
comparable (each model's own scale would reward overfitting), and the bounded rho keeps
outliers from voting for extra terms.
"""

from __future__ import annotations

import numpy as np

from ._basis import legendre_design
from ._robust import Penalty, RobustFit, bisquare_rho, m_step, weighted_fit


def robust_bic(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, scale: float, c: float) -> float:
    """2 sum rho(r / scale) + k ln n, rho the bisquare scaled to t^2 / 2 at the origin."""
    n, k = Phi.shape
    if scale == 0.0:
        loss = 0.0 if np.allclose(z, Phi @ beta) else np.inf
    else:
        loss = 2.0 * (c * c / 6.0) * float(np.sum(bisquare_rho((z - Phi @ beta) / scale, c)))
    return loss + k * np.log(n)


def candidate_fit(U: np.ndarray, z: np.ndarray, degrees: list[int], indices: list[tuple[int, ...]],
                  pen: Penalty, reference: RobustFit, c: float, tol: float, max_iter: int) -> np.ndarray:
    """MM coefficients of a candidate basis, started from weighted least squares on the
    samples that the reference (largest) model keeps."""
    Phi = legendre_design(U, indices, degrees)
    start = weighted_fit(Phi, z, (reference.weights > 0).astype(float), pen)
    if reference.scale == 0.0:
        return start
    return m_step(Phi, z, start, reference.scale, c, pen, tol, max_iter)[0]
