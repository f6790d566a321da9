"""Weighted least squares and its helpers, on a standardised design.

Plain array inputs and outputs: the weighted Gram matrix and right-hand side, the solve of the
(penalised) normal equations, an accurate final solve, leverages, and the coefficient
directions a design identifies.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Penalty:
    """Smoothness penalties in the basis of the design (or none)."""

    R1: np.ndarray | None = None
    R2: np.ndarray | None = None
    gamma1: float = 0.0
    gamma2: float = 0.0

    @property
    def active(self) -> bool:
        return (self.gamma1 != 0.0 and self.R1 is not None) or (self.gamma2 != 0.0 and self.R2 is not None)

    def matrix(self, n: int) -> np.ndarray | None:
        """n gamma1 R1 + n gamma2 R2, the penalties as zelk_core's penalised fit weighs them
        (over all n rows), or None."""
        total = None
        for gamma, R in ((self.gamma1, self.R1), (self.gamma2, self.R2)):
            if gamma != 0.0 and R is not None:
                term = (n * gamma) * np.asarray(R)
                total = term if total is None else total + term
        return total

    def reduced(self, V: np.ndarray) -> Penalty:
        """The same penalties on coefficients beta = V c."""
        if not self.active:
            return self
        R1 = None if self.R1 is None else V.T @ self.R1 @ V
        R2 = None if self.R2 is None else V.T @ self.R2 @ V
        return Penalty(R1, R2, self.gamma1, self.gamma2)


def weighted_gram(Phi: np.ndarray, z: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Phi' W Phi and Phi' W z for the diagonal weights ``w``."""
    B = Phi.T * w
    return B @ Phi, B @ z


def solve_normal(G: np.ndarray, g: np.ndarray, penalty: np.ndarray | None = None) -> np.ndarray:
    """Solves (G + penalty) beta = g; a singular system (a subset of rows that does not fix
    every coefficient) gets the minimum-norm solution."""
    A = G if penalty is None else G + penalty
    try:
        L = np.linalg.cholesky(A)
    except np.linalg.LinAlgError:
        return np.linalg.lstsq(A, g, rcond=None)[0]
    # Cholesky succeeds on some numerically singular matrices; their tiny pivots say so.
    d = np.diag(L)
    if d.size and d.min() <= 1e-7 * d.max():
        return np.linalg.lstsq(A, g, rcond=None)[0]
    return np.linalg.solve(A, g)


def weighted_fit(Phi: np.ndarray, z: np.ndarray, w: np.ndarray, pen: Penalty) -> np.ndarray:
    """Weighted least squares by the normal equations (the penalties, when active, weighed over
    all n rows, as in zelk_core's penalised fit)."""
    G, g = weighted_gram(Phi, z, w)
    return solve_normal(G, g, pen.matrix(len(z)))


def polished_fit(Phi: np.ndarray, z: np.ndarray, w: np.ndarray, pen: Penalty) -> np.ndarray:
    """Weighted least squares to the last digits: by QR of the weighted design when there is
    no penalty (residuals of an exact fit then come out at rounding level, where the normal
    equations leave cond(Phi)^2 times more), else by the normal equations."""
    if pen.active:
        return weighted_fit(Phi, z, w, pen)
    sw = np.sqrt(w)
    return np.linalg.lstsq(Phi * sw[:, None], z * sw, rcond=None)[0]


def identified_basis(Phi: np.ndarray) -> np.ndarray | None:
    """Orthonormal basis V (p x r) of the coefficient directions the rows of ``Phi`` fix, or
    None when they fix all of them (full column rank). The rank rule is LAPACK's (singular
    values above max(n, p) eps times the largest)."""
    n, p = Phi.shape
    R = np.linalg.qr(Phi, mode="r") if n > p else Phi
    _, sv, Vt = np.linalg.svd(R, full_matrices=True)
    tol = max(n, p) * np.finfo(float).eps * (sv[0] if sv.size else 0.0)
    rank = int(np.count_nonzero(sv > tol))
    if rank == p:
        return None
    return Vt[:rank].T


def leverages(Phi: np.ndarray, w: np.ndarray, penalty: np.ndarray | None = None,
              rows: np.ndarray | None = None) -> np.ndarray:
    """w_i phi_i' (Phi' W Phi + penalty)^-1 phi_i: the diagonal of the hat matrix of a weighted
    fit (the share of its own residual that each point's fit absorbs; 0 for weight 0). With
    ``rows`` the fit uses those weights instead, and the result is each point's leverage
    relative to that fit, phi_i' A^-1 phi_i times w_i."""
    fit_w = w if rows is None else rows
    G = (Phi.T * fit_w) @ Phi
    A_inv = np.linalg.pinv(G if penalty is None else G + penalty, hermitian=True)
    return np.clip(w * np.einsum("ij,ij->i", Phi @ A_inv, Phi), 0.0, None)
