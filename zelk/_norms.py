"""Robust losses, one class per loss, in the style of statsmodels' robust norms.

A loss gives rho (the loss itself), psi (its derivative), weights (psi(t) / t, the IRLS weight)
and psi_deriv (psi'), all functions of a standardised residual t = r / s. Its tuning constant
is set directly or for a property under normal errors: ``for_breakdown`` gives the M-scale
built on the loss that breakdown point, ``for_efficiency`` gives the M-estimator with the loss
that asymptotic efficiency. The expectations under the standard normal are exact (truncated
normal moments), so the tuning constants come out to the precision of the root finder.
"""

from __future__ import annotations

from functools import lru_cache

import numpy as np
from scipy.optimize import brentq
from scipy.special import ndtr

_SQRT_2PI = np.sqrt(2.0 * np.pi)


def truncated_normal_moments(c: float, k_max: int) -> np.ndarray:
    """m[k] = E[Z^k ; |Z| <= c] for a standard normal Z and even k = 0, 2, ..., k_max (odd
    entries are 0), by m[k] = (k - 1) m[k - 2] - 2 c^(k - 1) phi(c)."""
    m = np.zeros(k_max + 1)
    phi = np.exp(-0.5 * c * c) / _SQRT_2PI
    m[0] = 2.0 * ndtr(c) - 1.0
    for k in range(2, k_max + 1, 2):
        m[k] = (k - 1) * m[k - 2] - 2.0 * c ** (k - 1) * phi
    return m


class RobustLoss:
    """Interface of a robust loss with tuning constant ``c``."""

    def __init__(self, c: float):
        self.c = float(c)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(c={self.c!r})"

    def rho(self, t):
        raise NotImplementedError

    def psi(self, t):
        raise NotImplementedError

    def weights(self, t):
        raise NotImplementedError

    def psi_deriv(self, t):
        raise NotImplementedError


class Bisquare(RobustLoss):
    """Tukey's bisquare (biweight): rho(t) = c^2/6 (1 - (1 - (t/c)^2)^3) for |t| <= c and c^2/6
    beyond, so psi(t) = t (1 - (t/c)^2)^2 vanishes outside [-c, c] and every residual beyond c
    scales counts as a full unit of ``chi``.

    ``Bisquare.for_breakdown(0.5)`` (c = 1.5476) is the loss of the 50 %-breakdown S-scale,
    ``Bisquare.for_efficiency(0.95)`` (c = 4.6851) that of the 95 %-efficient M-step.
    """

    @property
    def max_rho(self) -> float:
        return self.c * self.c / 6.0

    def _u(self, t):
        return np.minimum((np.asarray(t, dtype=float) / self.c) ** 2, 1.0)

    def chi(self, t):
        """rho(t) / max_rho, rising from 0 to 1 at |t| = c."""
        w = 1.0 - self._u(t)
        return 1.0 - w * w * w

    def rho(self, t):
        return self.max_rho * self.chi(t)

    def weights(self, t):
        w = 1.0 - self._u(t)
        return w * w

    def psi(self, t):
        return np.asarray(t, dtype=float) * self.weights(t)

    def psi_deriv(self, t):
        u = self._u(t)
        return np.where(u < 1.0, (1.0 - u) * (1.0 - 5.0 * u), 0.0)

    # ---- expectations under the standard normal ------------------------------------------------
    def expected_chi(self) -> float:
        """E[chi(Z)]: the b that makes the M-scale with this loss consistent at the normal."""
        c = self.c
        m = truncated_normal_moments(c, 6)
        return float(3.0 * m[2] / c**2 - 3.0 * m[4] / c**4 + m[6] / c**6 + (1.0 - m[0]))

    def expected_psi2(self) -> float:
        """E[psi(Z)^2]."""
        c2 = self.c**2
        m = truncated_normal_moments(self.c, 10)
        return float(m[2] - 4.0 * m[4] / c2 + 6.0 * m[6] / c2**2 - 4.0 * m[8] / c2**3 + m[10] / c2**4)

    def expected_psi_deriv(self) -> float:
        """E[psi'(Z)]."""
        c2 = self.c**2
        m = truncated_normal_moments(self.c, 4)
        return float(m[0] - 6.0 * m[2] / c2 + 5.0 * m[4] / c2**2)

    def efficiency(self) -> float:
        """Asymptotic efficiency of the M-estimator of location or regression at the normal,
        relative to least squares: E[psi']^2 / E[psi^2]."""
        return self.expected_psi_deriv() ** 2 / self.expected_psi2()

    # ---- tuning -----------------------------------------------------------------------------
    @classmethod
    def for_breakdown(cls, breakdown: float = 0.5) -> Bisquare:
        """The loss whose normal-consistent M-scale (b = E[chi(Z)]) has this breakdown point
        (b itself, for b <= 1/2)."""
        return cls(_tune_breakdown(float(breakdown)))

    @classmethod
    def for_efficiency(cls, efficiency: float = 0.95) -> Bisquare:
        """The loss whose M-estimator has this asymptotic efficiency at the normal."""
        return cls(_tune_efficiency(float(efficiency)))


@lru_cache(maxsize=16)
def _tune_breakdown(breakdown: float) -> float:
    if not 0.0 < breakdown <= 0.5:
        raise ValueError(f"breakdown must be in (0, 0.5], got {breakdown}")
    return float(brentq(lambda c: Bisquare(c).expected_chi() - breakdown, 0.1, 50.0, xtol=1e-14))


@lru_cache(maxsize=16)
def _tune_efficiency(efficiency: float) -> float:
    if not 0.0 < efficiency < 1.0:
        raise ValueError(f"efficiency must be in (0, 1), got {efficiency}")
    return float(brentq(lambda c: Bisquare(c).efficiency() - efficiency, 0.5, 100.0, xtol=1e-14))
