"""High-breakdown start, S-scale and MM final step on a standardised design.

Everything here works on a design ``Phi`` and targets ``z`` that the estimators have already
standardised, so the constants (start spread, step sizes, tolerances) mean the same on every
data set. The sequence is the one MM-estimators use:

1. starts: zelk_core's tournament sampler (several seeds, on a subsample for large n), exact fits
   through random elemental subsets, and least squares;
2. from each start, concentration steps of an S-estimator (Tukey bisquare, 50 % breakdown)
   shrink the M-scale of the residuals; the start with the smallest scale wins;
3. with that scale fixed, iteratively reweighted least squares with a 95 %-efficient bisquare
   converges tightly to the nearest minimum, which keeps the breakdown of the start.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

import zelk_core

# Bisquare tuning: 1.5476 gives the M-scale a 50 % breakdown point (with b = 1/2), 4.685 gives the
# final M-step 95 % efficiency at the normal.
S_TUNING = 1.5476
S_BREAKDOWN = 0.5


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

    def value(self, beta: np.ndarray) -> float:
        total = 0.0
        if self.gamma1 != 0.0 and self.R1 is not None:
            total += self.gamma1 * float(beta @ self.R1 @ beta)
        if self.gamma2 != 0.0 and self.R2 is not None:
            total += self.gamma2 * float(beta @ self.R2 @ beta)
        return total


@dataclass
class SamplerSettings:
    """The tournament settings used for every start."""

    n_chains: int = 25
    n_warmup: int = 200
    n_deep: int = 2000
    n_elite: int = 5


@dataclass
class RobustFit:
    """Outcome of :func:`mm_fit` on the standardised scale."""

    beta: np.ndarray
    scale: float
    weights: np.ndarray
    n_iter: int
    start: str = "sampler"
    restart_betas: np.ndarray = field(default_factory=lambda: np.empty((0, 0)))
    restart_scales: np.ndarray = field(default_factory=lambda: np.empty(0))
    sampler_energies: np.ndarray = field(default_factory=lambda: np.empty(0))


def bisquare_rho(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's bisquare loss, scaled to rise from 0 to 1 at |t| = c."""
    w = 1.0 - np.minimum((t / c) ** 2, 1.0)
    return 1.0 - w * w * w


def bisquare_weight(t: np.ndarray, c: float) -> np.ndarray:
    """psi(t) / t of the bisquare: (1 - (t/c)^2)^2 inside [-c, c], 0 outside."""
    v = (t / c) ** 2
    return np.where(v < 1.0, (1.0 - v) ** 2, 0.0)


def m_scale(r: np.ndarray, c: float = S_TUNING, b: float = S_BREAKDOWN,
            tol: float = 1e-12, max_iter: int = 100) -> float:
    """M-scale s solving mean(rho(r / s)) = b for the bisquare rho (50 % breakdown at b = 1/2).

    Newton's method on g(s) = mean(rho(|r| / s)) - b, which falls monotonically in s, from the
    normalised median absolute residual; a step that would leave the bracket of signs seen so
    far is replaced by bisection. Returns 0 when at least half of the residuals are exactly zero
    (an exact fit).
    """
    a = np.abs(np.asarray(r, dtype=float))
    s = float(np.median(a)) * 1.4826022185056018
    if not s > 0.0:
        return 0.0
    lo, hi = 0.0, np.inf
    for _ in range(max_iter):
        t = a / s
        v = np.minimum((t / c) ** 2, 1.0)
        w = 1.0 - v
        g = float(np.mean(1.0 - w * w * w)) - b
        if g > 0.0:
            lo = s
        else:
            hi = s
        dg = -float(np.mean(6.0 * w * w * v)) / s  # d/ds of mean rho(a / s)
        s_new = s - g / dg if dg < 0.0 else np.nan
        if not lo < s_new < hi:
            s_new = 0.5 * (lo + hi) if np.isfinite(hi) else 2.0 * s
        if abs(s_new - s) <= tol * s:
            return float(s_new)
        s = s_new
    return float(s)


def weighted_fit(Phi: np.ndarray, z: np.ndarray, w: np.ndarray, pen: Penalty) -> np.ndarray:
    """Weighted least squares by zelk_core's penalised normal equations (with its tiny ridge,
    so a rank-deficient design still has an answer). The penalties, when active, are weighted
    over all n rows, so a weight of 1 everywhere gives zelk_core's own penalised fit. The
    Legendre design on about [-1, 1] is well conditioned, so forming the normal equations
    loses nothing that matters, and is far cheaper than an SVD inside the iterations."""
    sw = np.sqrt(w)
    A = Phi * sw[:, None]
    t = z * sw
    if pen.active:
        return np.asarray(zelk_core.fit_regularized_linear(A, t, pen.R1, pen.R2, pen.gamma1, pen.gamma2))
    return np.asarray(zelk_core.fit_regularized_linear(A, t))


def s_refine(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, pen: Penalty,
             max_iter: int = 50, tol: float = 1e-6) -> tuple[np.ndarray, float]:
    """Concentration steps of the bisquare S-estimator from ``beta``; returns the coefficients
    with the smallest M-scale seen and that scale."""
    s = m_scale(z - Phi @ beta)
    best = (beta, s)
    for _ in range(max_iter):
        if s == 0.0:
            break
        w = bisquare_weight((z - Phi @ beta) / s, S_TUNING)
        if not np.any(w > 0):
            break
        beta_new = weighted_fit(Phi, z, w, pen)
        s_new = m_scale(z - Phi @ beta_new)
        if not s_new < best[1]:
            break
        best = (beta_new, s_new)
        done = s - s_new <= tol * s
        beta, s = beta_new, s_new
        if done:
            break
    return best


def m_step(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, scale: float, c: float, pen: Penalty,
           tol: float, max_iter: int) -> tuple[np.ndarray, np.ndarray, int]:
    """Bisquare IRLS with the scale held fixed, from ``beta``, until the largest coefficient
    change is below ``tol`` (relative to the largest coefficient, at least 1). Returns the
    coefficients, the final weights and the number of iterations."""
    if scale == 0.0:
        r = np.abs(z - Phi @ beta)
        return beta, (r <= 1e-12 * max(1.0, float(np.max(np.abs(z))))).astype(float), 0
    w = bisquare_weight((z - Phi @ beta) / scale, c)
    for it in range(1, max_iter + 1):
        if not np.any(w > 0):
            return beta, w, it
        beta_new = weighted_fit(Phi, z, w, pen)
        step = float(np.max(np.abs(beta_new - beta))) if beta.size else 0.0
        beta = beta_new
        w = bisquare_weight((z - Phi @ beta) / scale, c)
        if step <= tol * max(1.0, float(np.max(np.abs(beta)))):
            return beta, w, it
    return beta, w, max_iter


def sampler_starts(Phi: np.ndarray, z: np.ndarray, pen: Penalty, settings: SamplerSettings,
                   seeds: list[int], rows: np.ndarray | None) -> tuple[list[np.ndarray], list[float]]:
    """One tournament per seed (on ``rows`` only, when given); returns the coefficients and
    their energies."""
    A = Phi if rows is None else Phi[rows]
    t = z if rows is None else z[rows]
    args = (pen.R1, pen.R2, pen.gamma1, pen.gamma2) if pen.active else ()
    betas, energies = [], []
    for seed in seeds:
        sampler = zelk_core.TournamentMCMC(n_chains=settings.n_chains, n_warmup=settings.n_warmup,
                                           n_deep=settings.n_deep, n_elite=settings.n_elite, seed=seed)
        result = sampler.fit(A, t, *args)
        betas.append(np.array(result.beta_mcmc))
        energies.append(float(result.energy))
    return betas, energies


def subset_starts(Phi: np.ndarray, z: np.ndarray, rows: np.ndarray | None, subsets: np.ndarray,
                  n_keep: int = 1) -> list[np.ndarray]:
    """Exact fits through random elemental subsets (one row of ``subsets`` = p row numbers);
    returns the ``n_keep`` with the smallest median absolute residual on ``rows``.

    The sampler's energy counts points inside a band as wide as 0.4 MAD of y; when a compact
    cluster of outliers holds more points of such a band than the good points do, its best
    state lies on the cluster. A clean elemental subset lands near the good fit whatever the
    band, and with p coefficients and a share e of outliers one in (1 - e)^-p subsets is
    clean, so a few hundred suffice up to e = 45 % and p = 7."""
    if len(subsets) == 0:
        return []
    A = Phi[subsets]  # (K, p, p)
    t = z[subsets]
    ok = np.abs(np.linalg.det(A)) > 1e-12
    if not np.any(ok):
        return []
    betas = np.linalg.solve(A[ok], t[ok][..., None])[..., 0]
    B = Phi if rows is None else Phi[rows]
    y = z if rows is None else z[rows]
    med = np.median(np.abs(y[None, :] - betas @ B.T), axis=1)
    return [betas[i] for i in np.argsort(med, kind="stable")[:n_keep]]


def mm_fit(Phi: np.ndarray, z: np.ndarray, pen: Penalty, settings: SamplerSettings, seeds: list[int],
           rows: np.ndarray | None, c: float, tol: float, max_iter: int,
           subsets: np.ndarray | None = None, extra_starts: list[np.ndarray] = ()) -> RobustFit:
    """The full robust fit: sampler, subset and least-squares starts, two S-concentration steps from
    each, full S-refinement of the one with the smallest scale, then the MM step. The short
    S-fits of the sampler starts are kept, so that their spread can be reported."""
    starts, energies = sampler_starts(Phi, z, pen, settings, seeds, rows)
    n_sampler = len(starts)
    extra = subset_starts(Phi, z, rows, np.empty((0, 0), int) if subsets is None else subsets)
    starts += extra + list(extra_starts) + [weighted_fit(Phi, z, np.ones_like(z), pen)]
    kinds = ["sampler"] * n_sampler + ["subset"] * len(extra) + ["given"] * len(extra_starts) + ["least squares"]
    # Two concentration steps rank the starts; only the best is refined to the end.
    candidates = [s_refine(Phi, z, b, pen, max_iter=2) for b in starts]
    best = int(np.argmin([s for _, s in candidates]))
    beta0, scale = s_refine(Phi, z, candidates[best][0], pen)
    refined = candidates[:n_sampler]
    beta, w, n_iter = m_step(Phi, z, beta0, scale, c, pen, tol, max_iter)
    return RobustFit(beta=beta, scale=scale, weights=w, n_iter=n_iter, start=kinds[best],
                     restart_betas=np.array([b for b, _ in refined]).reshape(len(refined), Phi.shape[1]),
                     restart_scales=np.array([s for _, s in refined]),
                     sampler_energies=np.array(energies))


def m_covariance(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, scale: float, c: float) -> np.ndarray:
    """Sandwich covariance of an M-estimator with fixed scale: s^2 M^-1 Q M^-1 with
    M = sum psi'(t_i) phi_i phi_i' and Q = n / (n - p) sum psi(t_i)^2 phi_i phi_i', t = r / s.
    For samples far inside the bisquare (psi(t) = t) it is least squares on those samples."""
    n, p = Phi.shape
    if scale == 0.0:
        return np.zeros((p, p))
    if n <= p:
        return np.full((p, p), np.nan)
    t = (z - Phi @ beta) / scale
    v = (t / c) ** 2
    inside = v < 1.0
    psi = np.where(inside, t * (1.0 - v) ** 2, 0.0)
    dpsi = np.where(inside, (1.0 - v) * (1.0 - 5.0 * v), 0.0)
    M = (Phi * dpsi[:, None]).T @ Phi
    Q = (Phi * (psi**2 * n / (n - p))[:, None]).T @ Phi
    M_inv = np.linalg.pinv(M)
    return scale**2 * M_inv @ Q @ M_inv


# E[Z^2 | |Z| < 2.5] for a standard normal Z: makes the truncated scale below consistent.
_TRUNCATION = 2.5
_TRUNCATED_VARIANCE = 0.9112587


def inlier_scale(r: np.ndarray, start: float, n_params: int, tol: float = 1e-12, max_iter: int = 100) -> float:
    """Scale of the residuals of the good samples alone: the fixed point of
    s = sqrt(sum(r^2 over |r| < 2.5 s) / (m - p) / E[Z^2 | |Z| < 2.5]), m the number of those
    samples and p = ``n_params`` (the degrees of freedom the fit used), from ``start``.

    The S-scale counts every outlier as a full unit of loss, so under heavy contamination it
    lies well above the noise level of the good samples; this one does not."""
    if not start > 0.0:
        return 0.0
    s = start
    r2 = np.asarray(r, dtype=float) ** 2
    for _ in range(max_iter):
        keep = r2 < (_TRUNCATION * s) ** 2
        m = int(np.count_nonzero(keep))
        if m <= n_params:
            return s
        s_new = float(np.sqrt(np.sum(r2[keep]) / (m - n_params) / _TRUNCATED_VARIANCE))
        if abs(s_new - s) <= tol * s:
            return s_new
        s = s_new
    return s
