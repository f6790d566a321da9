"""A score for model selection that outliers cannot dominate.

``score()`` is scikit-learn's R², a mean of squared residuals: on held-out data with gross
outliers it is mostly the outliers' squares, and which model wins is a matter of how each
happens to lean towards them. ``robust_scorer`` scores each held-out sample by a loss of its
residual r in units of the scale s that the model reports (``scale_``), bounded for outliers:

    loss(r) = -ln( (1 - eps) * phi(r / s) / s + eps / R ),   score = -mean(loss),

the log score of the error law the fit claims, a normal of scale s for the good samples, with a
share eps = 0.1 of gross errors spread evenly over a range R as wide as the held-out targets.
A good sample costs about (r / s)^2 / 2 + ln s; a sample further than about 3.5 scales from
the fit costs ln(R / eps) however far it lies, so outliers neither dominate the score nor pull
it towards a model that leans to them. The scale enters the score: a model that claims a larger
scale than its residuals have (an underfitted one) loses through ln s, and one that claims a
smaller one (an overfitted one) loses its good samples to the bound. Greater is better, as
scikit-learn's scorers go.
"""

from __future__ import annotations

import math
from numbers import Real

import numpy as np


def fitted_scale(estimator) -> float:
    """``scale_`` of the estimator, or of the last step of a pipeline."""
    final = estimator
    while hasattr(final, "steps") and not hasattr(final, "scale_"):
        final = final.steps[-1][1]
    if not hasattr(final, "scale_"):
        raise TypeError("robust_scorer needs a fitted estimator that reports its residual scale "
                        f"(scale_), such as zelk's, or a Pipeline ending in one; got {type(estimator).__name__}")
    return float(final.scale_)


class RobustScorer:
    """Scorer object for ``scoring=`` in ``GridSearchCV``, ``cross_val_score`` and the like:
    ``scorer(estimator, X, y)`` is minus the mean over the samples of
    -ln((1 - eps) phi(r / s) / s + eps / R), r the residuals of ``estimator.predict(X)``, s its
    fitted ``scale_``, phi the standard normal density and R the range of the held-out targets
    (see the module's description). It is comparable between models scored on the same held-out
    data, as every cross-validation score is.

    Parameters
    ----------
    eps : float, default=0.1
        The share of gross errors the loss allows for, between 0 and 1 (exclusive). It sets
        where the loss stops growing, about 3.5 scales out for eps = 0.1 and a range of a
        hundred scales; the choice moves that point little.
    """

    def __init__(self, eps: float = 0.1):
        if isinstance(eps, bool) or not isinstance(eps, Real) or not 0.0 < eps < 1.0:
            raise ValueError(f"eps must be a number between 0 and 1 (exclusive), got {eps!r}")
        self.eps = float(eps)

    def loss(self, residuals, scale: float, y_range: float) -> np.ndarray:
        """The loss of each residual for a model of scale ``scale``, outliers spread over
        ``y_range``. NaN when the scale is NaN (the fit could not estimate it)."""
        r = np.asarray(residuals, dtype=float)
        if not scale >= 0.0:
            return np.full(r.shape, np.nan)
        # A range of at least the largest residual keeps the bound meaningful when the held-out
        # targets are all equal (one sample, as in leave-one-out). A scale of 0, a claimed exact
        # fit, counts as the smallest one the residuals resolve: a held-out sample off the fit
        # then costs the bound, one on it nearly nothing.
        R = max(float(y_range), float(np.max(np.abs(r), initial=0.0)), np.finfo(float).tiny)
        s = max(float(scale), np.finfo(float).eps * R)
        t = r / s
        inlier = (1.0 - self.eps) * np.exp(-0.5 * t * t) / (math.sqrt(2.0 * math.pi) * s)
        return -np.log(inlier + self.eps / R)

    def __call__(self, estimator, X, y_true, sample_weight=None) -> float:
        scale = fitted_scale(estimator)
        y = np.asarray(y_true, dtype=float).ravel()
        residuals = y - np.asarray(estimator.predict(X), dtype=float).ravel()
        y_range = float(np.ptp(y)) if y.size else 0.0
        return -float(np.average(self.loss(residuals, scale, y_range), weights=sample_weight))

    def __repr__(self) -> str:
        return "robust_scorer" if self.eps == 0.1 else f"RobustScorer(eps={self.eps!r})"


robust_scorer = RobustScorer()
