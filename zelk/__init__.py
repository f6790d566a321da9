"""Robust regression estimators built on the zelk_core module.

``RobustLinearRegressor`` and ``RobustPolynomialRegressor`` follow the scikit-learn estimator
interface (``fit``, ``predict``, ``score``, ``get_params``/``set_params``) and so work in
pipelines, grid searches and cross-validation. Each fit standardises the data robustly, finds a
Tukey-bisquare S-fit (50 % breakdown) from many starts (zelk_core's tournament sampler and exact
fits through random subsets of the samples), and finishes with least squares on the samples
that an adaptive hard-rejection rule keeps: the breakdown point of the S-fit and the precision
of least squares on the good samples. ``summary()``, ``conf_int()`` and ``covariance_`` give the
inference statsmodels users expect; ``robust_scorer`` scores held-out data for model selection
(``GridSearchCV(..., scoring=zelk.robust_scorer)``) without letting outliers dominate.

``ExactFitWarning`` and ``RankDeficientWarning`` say when the data leave something undetermined
(scikit-learn's ``ConvergenceWarning`` when an iteration limit is reached).

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
from ._warnings import ExactFitWarning, RankDeficientWarning

__all__ = ["ExactFitWarning", "RankDeficientWarning", "RegressionSummary", "RobustLinearRegressor",
           "RobustPolynomialRegressor", "RobustScorer", "robust_scorer"]
