"""Covariance of the fitted coefficients.

The final fit is least squares on the points that adaptive hard rejection kept, so its
covariance is that of least squares on those rows, with the scale estimated from them on
m - p degrees of freedom (corrected for the residuals cut off beyond the rejection point). An
exact fit (scale 0) has no estimable covariance, and coefficient directions that the data cannot
identify (collinear or constant columns) get NaN.
"""

from __future__ import annotations

import numpy as np

from . import _large
from ._robust import Penalty, RobustFit


def least_squares_covariance(Phi: np.ndarray, keep: np.ndarray, sigma: float,
                             penalty: np.ndarray | None = None, gram: np.ndarray | None = None) -> np.ndarray:
    """sigma^2 A^-1 (Phi_K' Phi_K) A^-1 with A = Phi_K' Phi_K + penalty, Phi_K the kept rows:
    least squares on those rows, the penalised version as a sandwich. ``gram`` is Phi_K' Phi_K
    when the caller has it (a pass over the rows saved)."""
    if gram is not None:
        G = gram
    elif Phi.shape[0] > _large.LARGE_N:
        G = _large.K.weighted_gram(Phi, keep)
    else:
        G = (Phi.T * keep) @ Phi
    A_inv = np.linalg.pinv(G if penalty is None else G + penalty, hermitian=True)
    return sigma**2 * (A_inv @ G @ A_inv)


def fit_covariance(Phi: np.ndarray, fit: RobustFit, pen: Penalty, sw: np.ndarray | None = None) -> np.ndarray:
    """Covariance of ``fit.beta`` on the standardised scale (NaN for an exact fit). With prior
    weights ``sw`` it is that of least squares with weights sw on the kept rows,
    sigma^2 (Phi' W K Phi)^-1, sigma from sum(sw - h) over them."""
    p = Phi.shape[1]
    if fit.final == "exact" or not fit.sigma > 0.0:
        return np.full((p, p), np.nan)
    keep = fit.weights if sw is None else fit.weights * sw
    return least_squares_covariance(Phi, keep, fit.sigma, pen.matrix(Phi.shape[0]),
                                    fit.gram if sw is None else None)


def unidentified(T: np.ndarray, null_space: np.ndarray) -> np.ndarray:
    """Which of the quantities T beta the data cannot identify: those whose row of T has a
    component in ``null_space`` (the coefficient directions the design does not fix)."""
    if null_space.size == 0:
        return np.zeros(T.shape[0], bool)
    norms = np.linalg.norm(T, axis=1)
    return np.linalg.norm(T @ null_space, axis=1) > 1e-9 * norms
