"""The S-fit, as fast S-estimation finds it (Salibian-Barrera and Yohai, 2006): a few
concentration steps on all rows from every start, the best few refined to convergence.

A concentration step is the weighted least-squares fit with the bisquare weights of the S-loss
at the current M-scale; without penalties it never raises the M-scale (the S-objective).

Prior weights of the rows (``sw``, None for all 1) multiply the bisquare weights of every step
and weigh the M-scale: sum sw_i chi(r_i / s) = b (sum sw - p).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._linalg import Penalty, weighted_fit
from ._scale import S_BREAKDOWN, S_LOSS, m_scale, m_scale_rows


def s_step(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, s: float, pen: Penalty,
           n_params: int, sw: np.ndarray | None = None) -> tuple[np.ndarray, float]:
    """One concentration step: the weighted fit with the S-loss weights at scale ``s``, and the
    M-scale of its residuals. Without penalties it never raises the M-scale."""
    w = S_LOSS.weights((z - Phi @ beta) / s)
    if sw is not None:
        w *= sw
    beta = weighted_fit(Phi, z, w, pen)
    return beta, m_scale(z - Phi @ beta, n_params, start=s, sw=sw)


def s_refine(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, pen: Penalty, n_params: int,
             scale: float | None = None, max_steps: int = 200, tol: float = 1e-4,
             sw: np.ndarray | None = None) -> tuple[np.ndarray, float, int]:
    """Concentration steps from ``beta`` until the M-scale falls by less than ``tol`` (relative)
    or ``max_steps``; returns the coefficients with the smallest M-scale seen, that scale and the
    number of steps."""
    s = m_scale(z - Phi @ beta, n_params, sw=sw) if scale is None else scale
    best = (beta, s)
    steps = 0
    while steps < max_steps and s > 0.0:
        beta, s_new = s_step(Phi, z, beta, s, pen, n_params, sw)
        steps += 1
        if not s_new < best[1]:
            break
        best = (beta, s_new)
        done = s - s_new <= tol * s
        s = s_new
        if done:
            break
    return best[0], best[1], steps


def _one_minus_u(R: np.ndarray, s: np.ndarray) -> np.ndarray:
    """1 - min((r / (c s))^2, 1) for the S-loss, row by row, in one temporary."""
    v = R * (1.0 / (S_LOSS.c * s))[:, None]
    np.square(v, out=v)
    np.minimum(v, 1.0, out=v)
    np.subtract(1.0, v, out=v)
    return v


class _Pairs:
    """Products of the column pairs (i <= j) of a design, so that the weighted Gram matrices of
    many weight vectors come from one matrix product: W @ pairs. Held whole when small, else
    formed block by block of rows (the whole would take n p (p + 1) / 2 values)."""

    MAX_VALUES = 2_000_000

    def __init__(self, Phi: np.ndarray):
        self.Phi = Phi
        self.upper = np.triu_indices(Phi.shape[1])
        n_pairs = len(self.upper[0])
        self.block = max(1, self.MAX_VALUES // n_pairs)
        self.whole = self._of(slice(None)) if Phi.shape[0] <= self.block else None

    def _of(self, rows: slice) -> np.ndarray:
        return self.Phi[rows, self.upper[0]] * self.Phi[rows, self.upper[1]]

    def gram(self, W: np.ndarray) -> np.ndarray:
        """The K x p x p matrices Phi' diag(W[k]) Phi."""
        if self.whole is not None:
            G_upper = W @ self.whole
        else:
            n = self.Phi.shape[0]
            G_upper = sum(W[:, i:i + self.block] @ self._of(slice(i, i + self.block)) for i in range(0, n, self.block))
        p = self.Phi.shape[1]
        G = np.empty((len(W), p, p))
        G[:, self.upper[0], self.upper[1]] = G_upper
        G[:, self.upper[1], self.upper[0]] = G_upper
        return G


def _concentrate_rows(Phi: np.ndarray, z: np.ndarray, R: np.ndarray, s: np.ndarray, pairs: _Pairs,
                      Pz: np.ndarray, P: np.ndarray | None, n_params: int,
                      sw: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """One concentration step from each row of residuals ``R`` (scales ``s``): the weighted fits
    with the S-loss weights, their residuals, and the one-step update of the M-scale,
    s' = s sqrt(mean chi(r' / s) / b'), that fast S-estimation uses between exact solutions.
    ``pairs`` gives the weighted Gram matrices and ``Pz`` is Phi * z, so that all normal
    equations come from two matrix products. They get a ridge of 1e-12 of their largest
    diagonal entry, so that no start can stop the batch. Prior weights ``sw`` multiply the
    bisquare weights and weigh the mean of chi."""
    n = len(z) if sw is None else float(np.sum(sw))
    W = _one_minus_u(R, s)
    np.square(W, out=W)  # the bisquare weights (1 - u)^2
    if sw is not None:
        W *= sw
    G = pairs.gram(W)
    if P is not None:
        G += P
    diag = np.einsum("kii->ki", G)
    diag += 1e-12 * diag.max(axis=1, keepdims=True) + 1e-300
    B = np.linalg.solve(G, (W @ Pz)[..., None])[..., 0]
    R = z[None, :] - B @ Phi.T
    w = _one_minus_u(R, s)
    w2 = np.square(w)
    if sw is not None:
        w2 *= sw
    chi = 1.0 - np.vecdot(w2, w) / n  # mean chi(r' / s)
    b = S_BREAKDOWN * (n - n_params) / n
    return B, R, s * np.sqrt(chi / b)


def _row_mad(R: np.ndarray, max_cols: int = 500) -> np.ndarray:
    """Normalised median absolute value of each row of ``R``, from at most about ``max_cols``
    evenly spaced columns: a starting scale, which needs no more."""
    A = np.abs(R[:, :: max(1, R.shape[1] // max_cols)])
    half = A.shape[1] // 2
    return np.partition(A, half, axis=1)[:, half] * 1.4826022185056018


def s_concentrate(Phi: np.ndarray, z: np.ndarray, B: np.ndarray, pen: Penalty, n_params: int,
                  max_steps: int, tol: float = 0.0, exact: bool = False,
                  pairs: _Pairs | None = None, sw: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Concentration steps from each row of ``B`` at once, ``max_steps`` of them or until no
    scale falls by more than ``tol`` (relative); returns the coefficients and their M-scales.
    The first step weighs by the normalised median absolute residual; later ones by the
    one-step update of the scale, or with ``exact`` by the M-scale itself (slower per step, but
    fewer steps to a settled fit). The starting scale ignores prior weights ``sw`` (it only
    starts the iteration); every step and scale after it uses them."""
    n = len(z)
    P = pen.matrix(n)
    pairs = _Pairs(Phi) if pairs is None else pairs
    Pz = Phi * z[:, None]
    R = z[None, :] - B @ Phi.T
    s = _row_mad(R)
    if exact:
        s = m_scale_rows(np.abs(R), n_params, start=np.where(s > 0.0, s, np.nan), sw=sw)
    live = s > 0.0  # a start through more than half of the points stays as it is
    for _ in range(max_steps):
        if not np.any(live):
            break
        idx = np.flatnonzero(live)
        B_new, R_new, s_new = _concentrate_rows(Phi, z, R[idx], s[idx], pairs, Pz, P, n_params, sw)
        if exact:
            s_new = m_scale_rows(np.abs(R_new), n_params, start=s_new, sw=sw)
        B[idx], R[idx] = B_new, R_new
        live[idx] = (s_new > 0.0) & (s[idx] - s_new > tol * s[idx])
        s[idx] = s_new
    if exact:
        return B, s
    # Two Newton steps from the one-step scales rank the starts well enough (the one-step scales
    # alone do not); the few that go on are refined with exact scales.
    return B, m_scale_rows(np.abs(R), n_params, start=np.where(s > 0.0, s, np.nan), max_iter=2, sw=sw)


def best_distinct(B: np.ndarray, scales: np.ndarray, n_best: int) -> list[int]:
    """Indices of the ``n_best`` rows of ``B`` with the smallest ``scales``, skipping a row that
    equals one already chosen (two starts that met would be refined twice)."""
    chosen: list[int] = []
    for i in np.argsort(scales, kind="stable"):
        gaps = np.abs(B[chosen] - B[i]).max(axis=1, initial=0.0) if chosen else ()
        if not any(g <= 1e-12 + 1e-9 * np.abs(B[i]).max(initial=0.0) for g in gaps):
            chosen.append(int(i))
        if len(chosen) == n_best:
            break
    return chosen


@dataclass
class SFit:
    beta: np.ndarray
    scale: float
    start: int  # index of the start it grew from
    short: list[tuple[np.ndarray, float]]  # (coefficients, scale) after the short refinement of each start


def s_estimate(Phi: np.ndarray, z: np.ndarray, starts: list[np.ndarray], pen: Penalty, n_params: int,
               n_short: int = 2, n_best: int = 2, chunk: int = 2_000_000, sw: np.ndarray | None = None) -> SFit:
    """The S-fit, as fast S-estimation finds it: ``n_short`` concentration steps on all rows
    from every start, then the ``n_best`` distinct ones with the smallest M-scale concentrated
    until the scale settles (relative change below 1e-3), and finally the best of them to the
    end (:func:`s_refine`). The short steps only rank the starts: weighted by approximate
    scales, they can take a start into another basin than exact ones would, so the chosen
    starts are concentrated again from where they began. ``sw``: prior weights of the rows
    (None for all 1)."""
    B = np.array(starts, dtype=float).reshape(len(starts), Phi.shape[1])
    pairs = _Pairs(Phi)
    per = max(1, chunk // max(len(z), 1))  # starts per batch, to bound the K x n temporaries
    parts = [s_concentrate(Phi, z, B[i:i + per].copy(), pen, n_params, n_short, pairs=pairs, sw=sw)
             for i in range(0, len(B), per)]
    B_short = np.concatenate([b for b, _ in parts])
    scales = np.concatenate([s for _, s in parts])
    chosen = best_distinct(B_short, scales, n_best)
    B_best, s_best = s_concentrate(Phi, z, B[chosen].copy(), pen, n_params, 500, tol=1e-3, exact=True,
                                   pairs=pairs, sw=sw)
    k = int(np.argmin(s_best))
    beta, s, _ = s_refine(Phi, z, B_best[k], pen, n_params, scale=s_best[k], sw=sw)
    return SFit(beta, s, chosen[k], list(zip(B_short, scales)))
