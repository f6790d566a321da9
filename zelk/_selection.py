"""Choosing the polynomial degree: a penalised robust deviance at one honest residual scale.

Candidates. A degree is tried only while its basis leaves at least ``ROWS_PER_COEF`` rows per
coefficient (degree 0 always): a 50 %-breakdown fit rests on about half of the rows, and with
fewer rows per coefficient it can pass almost exactly through a well-chosen half of clean data,
so its residuals, and any scale taken from them, say nothing about the noise. Each candidate is
fitted robustly, from the smallest degree up, with the fit of the degree below as one more
start (the bases are nested).

Scale. All candidates are judged at one scale ``s``: the smallest, over the candidates with at
least ``SCALE_ROWS_PER_COEF`` rows per coefficient (and degrees 0 and 1 always), of the 50 %-
breakdown bisquare M-scale of the residuals of their robust fits with their degrees of freedom
counted (solved with ``sum rho(r_i / s) = b (n - k)`` rather than ``b n``, k the candidate's
coefficients). Among fits that cannot thread a chosen half of the rows, the smallest scale is
that of a model that has taken in the signal (a smaller model's scale also holds its lack of
fit), and a 50 %-breakdown scale is not pulled up by outliers. The larger candidates compete;
they only do not set the scale, since at three to six rows per coefficient their own scale can
be a fraction of the noise. Degree 1 is kept in the pool at any n because a constant alone,
whose scale takes in the whole trend, would make every slope look like noise.

Counted this way the scale overstates normal noise somewhat at few rows per coefficient (by
about 20 % at n / k = 3, 12 % at 6 and 2-4 % at 25-50, in simulation), which keeps the
comparison cautious where the fits are least reliable.

Score. Each candidate is refitted by bisquare IRLS at ``s`` (from its own fit and from the
refit of the degree below; the lower loss counts) and scored by

    2 * sum(rho(r_i / s)) + k * max(ln(n), F(0.975; 1, n - K))

with the bisquare rho scaled to behave as t^2 / 2 near zero, so that for normal errors the
first term is the residual sum of squares in units of s^2, and each outlier adds a bounded
amount whatever the candidate. The price of a coefficient is Schwarz's ln(n); at small n,
where ln(n) would let a useless term in about one time in ten and the scale itself is
uncertain, it is the 97.5 % point of the F distribution with 1 and n - K degrees of freedom
(K the coefficients of the candidate that gave the scale) instead, the threshold of a
one-in-forty test of one more term. From n of about 150 on, Schwarz's price is the larger.
The lowest score wins; ties go to the smaller degree.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.stats import f as f_distribution

from ._linalg import Penalty, weighted_fit
from ._norms import Bisquare
from ._scale import m_scale

# Rows per coefficient below which a degree is not a candidate.
ROWS_PER_COEF = 3
# Rows per coefficient a candidate needs to set the common scale (degrees 0 and 1 always may).
SCALE_ROWS_PER_COEF = 6
# Tail probability of the F test that prices a coefficient at small n.
TERM_LEVEL = 0.025
# Smallest common scale, in units of the standardised target (median absolute deviation 1):
# below it the data count as exact. The reweighted fits are exact only to about 1e-11 there
# (rounding, and the tiny ridge of the normal equations), so a smaller scale would turn that
# dust into outliers and make an exact line lose to a larger degree.
SCALE_FLOOR = 1e-9


@dataclass
class Candidate:
    """One candidate degree: its basis, design, penalties and robust fit coefficients."""

    degree: int
    degrees: list[int]
    indices: list[tuple[int, ...]]
    Phi: np.ndarray
    pen: Penalty
    beta: np.ndarray


def admissible(n_samples: int, n_coef: int) -> bool:
    """Whether a basis of ``n_coef`` coefficients is a candidate at ``n_samples`` rows."""
    return n_coef == 1 or n_samples >= ROWS_PER_COEF * n_coef


def deviance(r: np.ndarray, scale: float, c: float, sw: np.ndarray | None = None) -> float:
    """2 sum rho(r / scale), rho the bisquare scaled to t^2 / 2 at the origin (each term times
    its prior weight, with ``sw``)."""
    rho = Bisquare(c).rho(r / scale)
    return 2.0 * float(np.sum(rho) if sw is None else np.dot(sw, rho))


def coef_price(n_samples: int, scale_dof: int) -> float:
    """What a coefficient costs: ln(n), or the 97.5 % point of F(1, scale_dof) when larger."""
    price = float(np.log(n_samples))
    if scale_dof > 0:
        price = max(price, float(f_distribution.ppf(1.0 - TERM_LEVEL, 1, scale_dof)))
    return price


def dof_scale(r: np.ndarray, n_coef: int, sw: np.ndarray | None = None) -> float:
    """50 %-breakdown bisquare M-scale of the residuals of an ``n_coef``-coefficient fit, with
    their degrees of freedom counted: the root of sum rho(r_i / s) = b (n - k) instead of b n.
    At least ``SCALE_FLOOR``."""
    return max(m_scale(r, n_params=n_coef, sw=sw), SCALE_FLOOR)


def m_refit(Phi: np.ndarray, z: np.ndarray, starts: list[np.ndarray], scale: float, c: float, pen: Penalty,
            tol: float = 1e-9, max_iter: int = 200, sw: np.ndarray | None = None) -> tuple[float, np.ndarray]:
    """Bisquare IRLS at a fixed scale from each start (the IRLS weights times the prior weights
    ``sw``, when given); returns the smallest deviance reached and its coefficients."""
    best, norm = (np.inf, starts[0]), Bisquare(c)
    for beta in starts:
        for _ in range(max_iter):
            w = norm.weights((z - Phi @ beta) / scale)
            if not np.any(w > 0):
                break
            new = weighted_fit(Phi, z, w if sw is None else w * sw, pen)
            step = float(np.max(np.abs(new - beta)))
            beta = new
            if step <= tol * max(1.0, float(np.max(np.abs(beta)))):
                break
        loss = deviance(z - Phi @ beta, scale, c, sw)
        if loss < best[0]:
            best = (loss, beta)
    return best


def common_scale(candidates: list[Candidate], z: np.ndarray, sw: np.ndarray | None = None) -> tuple[float, int]:
    """The scale all candidates are judged at, and the number of coefficients of the candidate
    it came from."""
    n = len(z)
    pool = [c for c in candidates
            if c.degree <= 1 or n >= SCALE_ROWS_PER_COEF * c.Phi.shape[1]]
    return min((dof_scale(z - c.Phi @ c.beta, c.Phi.shape[1], sw), c.Phi.shape[1]) for c in pool)


def degree_scores(candidates: list[Candidate], z: np.ndarray, c: float,
                  sw: np.ndarray | None = None) -> tuple[dict[int, float], float]:
    """The score of each candidate (lowest wins) and the common scale they were judged at;
    ``candidates`` in increasing degree, each basis nested in the next. Prior weights ``sw``
    (mean 1) weigh the scale, the refits and the deviance; n stays the number of rows."""
    n = len(z)
    s, k_scale = common_scale(candidates, z, sw)
    price = coef_price(n, n - k_scale)
    scores, prev = {}, None
    for cand in candidates:
        starts = [cand.beta] if prev is None else [cand.beta, embed(prev[0], prev[1], cand.indices)]
        loss, beta = m_refit(cand.Phi, z, starts, s, c, cand.pen, sw=sw)
        scores[cand.degree] = float(loss + price * cand.Phi.shape[1])
        prev = (beta, cand.indices)
    return scores, s


def embed(beta: np.ndarray, indices: list[tuple[int, ...]], into: list[tuple[int, ...]]) -> np.ndarray:
    """Coefficients of a smaller nested basis as coefficients of ``into`` (zeros elsewhere)."""
    out = np.zeros(len(into))
    pos = {e: j for j, e in enumerate(into)}
    for b, e in zip(beta, indices):
        out[pos[e]] = b
    return out
