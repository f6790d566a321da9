"""Choosing the polynomial degree: a robust Schwarz criterion at a common residual scale.

Every candidate degree is fitted robustly, from the smallest up, each with the fit of the
degree below as one more start: the bases are nested, so the S-scale can only fall as the
degree grows, and the largest model cannot lose the good fit that a smaller one found. The
smallest S-scale ``s`` serves every candidate, each scored by

    2 * sum(rho(r_i / s)) + k * ln(n)

with the bisquare rho scaled to behave as t^2 / 2 near zero, so that for normal errors the first
term is the residual sum of squares in units of s^2. A common scale is what makes the degrees
comparable (each model's own scale would reward overfitting), and the bounded rho keeps
outliers from voting for extra terms.
"""

from __future__ import annotations

import numpy as np

from ._robust import bisquare_rho


def robust_bic(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, scale: float, c: float) -> float:
    """2 sum rho(r / scale) + k ln n, rho the bisquare scaled to t^2 / 2 at the origin."""
    n, k = Phi.shape
    if scale == 0.0:
        loss = 0.0 if np.allclose(z, Phi @ beta) else np.inf
    else:
        loss = 2.0 * (c * c / 6.0) * float(np.sum(bisquare_rho((z - Phi @ beta) / scale, c)))
    return loss + k * np.log(n)


def embed(beta: np.ndarray, indices: list[tuple[int, ...]], into: list[tuple[int, ...]]) -> np.ndarray:
    """Coefficients of a smaller nested basis as coefficients of ``into`` (zeros elsewhere)."""
    out = np.zeros(len(into))
    pos = {e: j for j, e in enumerate(into)}
    for b, e in zip(beta, indices):
        out[pos[e]] = b
    return out
