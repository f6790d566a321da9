"""Robust regression estimators built on the zelk_core module.

``RobustLinearRegressor`` and ``RobustPolynomialRegressor`` follow the scikit-learn estimator
interface (``fit``, ``predict``, ``score``, ``get_params``/``set_params``) and so work in
pipelines, grid searches and cross-validation. Each fit standardises the data robustly, starts
from zelk_core's tournament sampler (a high-breakdown search over the description length) and
finishes with an MM step (an S-scale of the residuals, then Tukey-bisquare iteratively
reweighted least squares), so it keeps the sampler's resistance to gross outliers and gains
the precision of an M-estimator. ``summary()``, ``conf_int()`` and ``covariance_`` give the
inference statsmodels users expect; ``robust_scorer`` scores held-out data for model selection
(``GridSearchCV(..., scoring=zelk.robust_scorer)``) without letting outliers dominate.

scikit-learn is needed: ``pip install "zelk-core[estimators]"`` (or ``pip install scikit-learn``).
"""

try:
    import sklearn  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "zelk's estimators need scikit-learn: install it with "
        "'pip install \"zelk-core[estimators]\"' (or 'pip install scikit-learn>=1.5')"
    ) from exc

from ._inference import RegressionSummary
from ._linear import RobustLinearRegressor
from ._polynomial import RobustPolynomialRegressor
from ._scoring import RobustScorer, robust_scorer

__all__ = ["RegressionSummary", "RobustLinearRegressor", "RobustPolynomialRegressor", "RobustScorer", "robust_scorer"]
