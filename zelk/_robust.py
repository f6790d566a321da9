"""The robust fit on a standardised design: an S-fit from many starts (``_sfit``), then an
efficient final step that keeps the S-fit's breakdown point (``_final``).

Everything here works on a design ``Phi`` and targets ``z`` that the estimators have already
standardised, so the constants (tolerances, cut-offs) mean the same on every data set.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ._final import EXACT_TOL, FinalFit, final_step
from ._linalg import Penalty, identified_basis, polished_fit, weighted_fit
from ._norms import Bisquare
from ._scale import m_scale
from ._sfit import SFit, s_estimate

__all__ = ["EXACT_TOL", "Penalty", "RobustFit", "SamplerSettings", "bisquare_rho", "robust_fit", "weighted_fit"]


@dataclass
class SamplerSettings:
    """The tournament settings used for every start."""

    n_chains: int = 25
    n_warmup: int = 100
    n_deep: int = 300
    n_elite: int = 5


@dataclass
class RobustFit:
    """Outcome of :func:`robust_fit` on the standardised scale."""

    beta: np.ndarray
    scale: float  # the S-scale (S-objective of the S-fit)
    sigma: float  # scale of the good points around the final fit
    weights: np.ndarray
    n_iter: int
    start: str = "sampler"
    final: str = "adaptive"  # "adaptive" (least squares on the kept points) or "exact"
    route: str = "mm"  # the M-step the final fit grew from: "mm" or "good scale"
    converged: bool = True
    null_space: np.ndarray = field(default_factory=lambda: np.empty((0, 0)))
    restart_betas: np.ndarray = field(default_factory=lambda: np.empty((0, 0)))
    restart_scales: np.ndarray = field(default_factory=lambda: np.empty(0))
    sampler_energies: np.ndarray = field(default_factory=lambda: np.empty(0))
    # Phi' diag(weights) Phi of the caller's design, when the fit computed it on the way (else None)
    gram: np.ndarray | None = None
    residuals: np.ndarray | None = None  # z - Phi beta, likewise


def bisquare_rho(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's bisquare loss, scaled to rise from 0 to 1 at |t| = c."""
    return Bisquare(c).chi(t)


def robust_fit(Phi: np.ndarray, z: np.ndarray, pen: Penalty, starts: list[np.ndarray], kinds: list[str],
               n_sampler: int, c: float, tol: float, max_iter: int, sw: np.ndarray | None = None) -> RobustFit:
    """The robust fit from the given starts (the first ``n_sampler`` from the sampler): the S-fit
    on all rows, then the final step. Directions of the coefficients that the rows do not fix
    (collinear or constant columns, or fewer rows than coefficients) are left at 0: the fit runs
    in the identified subspace.

    ``sw`` holds prior weights of the rows (None: all 1), all positive (rows of weight 0 are
    left out before); a row of weight w counts as w rows in the S-scale, the M-steps, the
    rejection rule and the scale of the kept rows. The estimators scale them to mean 1, so
    that sum(sw) is the number of rows."""
    n, p = Phi.shape
    V = identified_basis(Phi)
    if V is not None:
        Phi_r, pen_r = Phi @ V, pen.reduced(V)
        starts = [V.T @ b for b in starts]
    else:
        Phi_r, pen_r = Phi, pen
    n_params = Phi_r.shape[1]
    if n <= n_params:
        # As many coefficients as rows: least squares interpolates them, and nothing is left to
        # judge a residual by.
        ones = np.ones(n)
        beta = polished_fit(Phi_r, z, ones if sw is None else sw, pen_r)
        s_fit = SFit(beta, 0.0, len(starts) - 1, [(b, np.nan) for b in starts])
        final = FinalFit(beta, 0.0, ones, 0, "exact", True, 0.0)
    else:
        s_fit = s_estimate(Phi_r, z, starts, pen_r, n_params, sw=sw)
        final = final_step(Phi_r, z, s_fit, pen_r, n_params, c, tol, max_iter, sw=sw)
    back = (lambda b: b) if V is None else (lambda b: V @ b)
    null = np.zeros((p, 0)) if V is None else np.linalg.svd(V.T, full_matrices=True)[2][V.shape[1]:].T
    sampler_fits = s_fit.short[:n_sampler]
    restart_scales = np.array([m_scale(z - Phi_r @ b, n_params, sw=sw) if n > n_params else np.nan
                               for b, _ in sampler_fits])
    return RobustFit(beta=back(final.beta), scale=s_fit.scale, sigma=final.sigma, weights=final.weights,
                     n_iter=final.n_iter, start=kinds[s_fit.start], final=final.kind, route=final.route,
                     converged=final.converged, null_space=null,
                     restart_betas=np.array([back(b) for b, _ in sampler_fits]).reshape(len(sampler_fits), p),
                     restart_scales=restart_scales)
