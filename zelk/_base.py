"""The estimator machinery shared by the linear and the polynomial regressor."""

from __future__ import annotations

from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin, _fit_context
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import check_is_fitted, validate_data

import zelk_core

from ._basis import feature_center_scale, legendre_design, robust_center_scale, tensor_map
from ._inference import RegressionSummary, normal_intervals, summarize
from ._robust import Penalty, RobustFit, SamplerSettings, inlier_scale, m_covariance, mm_fit
from ._state import fit_aside
from ._threads import single_threaded


# Docstring sections that both estimators share.
SHARED_PARAMETERS = """\
    n_restarts : int, default=2
        Number of sampler runs, each with its own seed; the one whose residuals have the
        smallest robust scale is kept.
    max_samples : int, default=300
        The sampler sees a random subsample of at most this many rows (the S- and MM-steps
        always use every row).
    n_chains, n_warmup, n_deep : int, default=25, 200, 1000
        Settings of ``zelk_core.TournamentMCMC``: warm-up chains, warm-up steps, and
        refinement steps per elite chain.
    n_subsets : int, default=200
        Number of random elemental subsets (p samples, an exact fit) tried as further starts
        beside the sampler's; 0 leaves them out.
    c : float, default=4.685
        Tuning constant of the bisquare in the final M-step, in units of the residual scale;
        4.685 gives 95 % efficiency for normal errors, larger values more.
    outlier_threshold : float, default=2.5
        Samples whose absolute residual exceeds this many residual scales are flagged in
        ``inlier_mask_``.
    tol : float, default=1e-10
        The M-step stops when no coefficient (standardised) changes by more than ``tol``
        times the largest coefficient.
    max_iter : int, default=500
        Most M-step iterations.
    random_state : int, RandomState instance or None, default=None
        Seeds of the sampler runs and the choice of the subsample.
"""

SHARED_ATTRIBUTES = """\
    start_ : str
        Which start the final fit grew from: "sampler", "subset", "least squares", or (with
        ``degree="auto"``) "given", the fit of the next smaller degree.
    scale_ : float
        Robust scale of the residuals of the good samples, in the units of y: the normal-
        consistent scale of the residuals within 2.5 scales of the fit (iterated from
        ``s_scale_``).
    s_scale_ : float
        The S-estimate of scale (bisquare M-scale, 50 % breakdown) that the final M-step uses;
        it is consistent without outliers and grows with their share.
    inlier_mask_ : ndarray of bool of shape (n_samples,)
        True for the samples within ``outlier_threshold * scale_`` of the fit.
    weights_ : ndarray of shape (n_samples,)
        The final M-step weights (0 for rejected samples, near 1 for good ones).
    stderr_ : ndarray of shape (len(coef_),)
        Asymptotic (sandwich) standard errors of ``coef_`` from the final M-step.
    intercept_stderr_ : float
        Standard error of ``intercept_``.
    covariance_ : ndarray of shape (1 + len(coef_), 1 + len(coef_))
        Covariance of ``intercept_`` (first row and column) and ``coef_``, in the caller's
        units; ``intercept_stderr_`` and ``stderr_`` are the square roots of its diagonal.
        :meth:`conf_int` and :meth:`summary` build on it.
    energy_ : float
        Description length of the fit (``zelk_core.mdl_score``).
    n_iter_ : int
        Iterations of the final M-step.
    restart_scales_ : ndarray of shape (n_restarts,)
        Residual scale after two S-steps from each sampler start.
    restart_spread_ : ndarray of shape (len(coef_),)
        Standard deviation of each coefficient over the S-fits from the individual sampler
        starts (0 when every start leads to the same fit).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.
"""


def graded_order(indices: list[tuple[int, ...]]) -> list[tuple[int, ...]]:
    """Exponent tuples by total degree, then with the first feature's exponent highest first,
    so that degree 1 lists the features in their own order: (1, 0), (0, 1)."""
    return sorted(indices, key=lambda e: (sum(e), [-p for p in e]))


class RobustRegressorBase(RegressorMixin, BaseEstimator):
    """Robust fit of a linear model in a basis of the standardised features.

    Subclasses name the basis (:meth:`_basis_indices`) and the penalties (:meth:`_penalty`);
    this class standardises, runs the robust fit and reports the result in the caller's units.
    """

    _parameter_constraints: dict = {
        "n_restarts": [Interval(Integral, 1, None, closed="left")],
        "max_samples": [Interval(Integral, 2, None, closed="left")],
        "n_chains": [Interval(Integral, 1, None, closed="left")],
        "n_warmup": [Interval(Integral, 0, None, closed="left")],
        "n_deep": [Interval(Integral, 0, None, closed="left")],
        "n_subsets": [Interval(Integral, 0, None, closed="left")],
        "c": [Interval(Real, 0, None, closed="neither")],
        "outlier_threshold": [Interval(Real, 0, None, closed="neither")],
        "tol": [Interval(Real, 0, None, closed="neither")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "random_state": ["random_state"],
    }

    # ---- subclass hooks ---------------------------------------------------------------------
    def _basis_indices(self, n_features: int, degree: int | list[int]) -> tuple[list[int], list[tuple[int, ...]]]:
        raise NotImplementedError

    def _penalty(self, degrees: list[int], indices: list[tuple[int, ...]], U: np.ndarray) -> Penalty:
        return Penalty()

    def _fit_standardised(self, U: np.ndarray, z: np.ndarray, ctx: dict) -> None:
        """Fits the fixed basis of the estimator; :class:`RobustPolynomialRegressor` overrides
        this for ``degree="auto"``."""
        degrees, indices = self._basis_indices(U.shape[1], ctx["degree"])
        self._set_fit(U, z, degrees, indices, self._robust_fit(U, z, degrees, indices, ctx), ctx)

    # ---- the fit ----------------------------------------------------------------------------
    def _robust_fit(self, U: np.ndarray, z: np.ndarray, degrees: list[int],
                    indices: list[tuple[int, ...]], ctx: dict, extra_starts: list[np.ndarray] = ()) -> RobustFit:
        Phi = legendre_design(U, indices, degrees)
        pen = self._penalty(degrees, indices, U)
        settings = SamplerSettings(self.n_chains, self.n_warmup, self.n_deep)
        pool = np.arange(len(z)) if ctx["rows"] is None else ctx["rows"]
        subsets = np.empty((0, Phi.shape[1]), int)
        if self.n_subsets and len(pool) > Phi.shape[1]:
            keys = np.random.default_rng(ctx["subset_seed"]).random((self.n_subsets, len(pool)))
            subsets = pool[np.argpartition(keys, Phi.shape[1], axis=1)[:, : Phi.shape[1]]]
        return mm_fit(Phi, z, pen, settings, ctx["seeds"], ctx["rows"], self.c, self.tol, self.max_iter, subsets,
                      extra_starts)

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Fit the model robustly.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data (a pandas DataFrame works; its column names are kept).
        y : array-like of shape (n_samples,)
            Target values.

        Returns
        -------
        self : object
            The fitted estimator. A fit that raises (bad input, Ctrl-C, an alarm) leaves the
            estimator as it was, fitted or not.
        """
        fit_aside(self, lambda work: work._fit(X, y))
        return self

    def _fit(self, X, y) -> None:
        """The fit itself, on the unfitted copy that :func:`fit_aside` swaps in when it ends."""
        X, y = validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        y = np.asarray(y, dtype=np.float64)
        n = X.shape[0]
        if n < 2:
            raise ValueError(f"{type(self).__name__} needs at least 2 samples, got n_samples = {n}")
        x_center, x_scale = feature_center_scale(X)
        y_center, y_scale = robust_center_scale(y[:, None])
        self._x_center, self._x_scale = x_center, x_scale
        self._y_center, self._y_scale = float(y_center[0]), float(y_scale[0])
        U = (X - x_center) / x_scale
        z = (y - self._y_center) / self._y_scale
        rng = check_random_state(self.random_state)
        seeds = [int(s) for s in rng.randint(0, 2**31 - 1, size=self.n_restarts)]
        rows = np.sort(rng.choice(n, self.max_samples, replace=False)) if n > self.max_samples else None
        ctx = {"seeds": seeds, "rows": rows, "subset_seed": int(rng.randint(0, 2**31 - 1)),
               "degree": getattr(self, "degree", 1)}
        # One thread per fit (see _threads): parallelism pays across fits (n_jobs, Dask).
        with single_threaded():
            self._fit_standardised(U, z, ctx)

    def _set_fit(self, U: np.ndarray, z: np.ndarray, degrees: list[int], indices: list[tuple[int, ...]],
                 fit: RobustFit, ctx: dict) -> None:
        """Stores the fit and reports it in the caller's units."""
        self._degrees, self._indices, self._beta = degrees, indices, fit.beta
        Phi = legendre_design(U, indices, degrees)
        residual = z - Phi @ fit.beta
        k = len(indices)
        pen = self._penalty(degrees, indices, U)
        if pen.active:
            self.energy_ = float(zelk_core.mdl_score_reg(Phi @ fit.beta, z, k, 20, fit.beta, pen.R1, pen.R2,
                                                         pen.gamma1, pen.gamma2))
        else:
            self.energy_ = float(zelk_core.mdl_score(Phi @ fit.beta, z, k))
        to_caller = self._y_scale * tensor_map(degrees, indices, self._x_center, self._x_scale)
        mono = to_caller @ fit.beta
        cov = to_caller @ m_covariance(Phi, z, fit.beta, fit.scale, self.c) @ to_caller.T
        self.covariance_ = 0.5 * (cov + cov.T)  # exactly symmetric; the diagonal stays the same bits
        se = np.sqrt(np.clip(np.diag(cov), 0.0, None))
        self.intercept_ = float(mono[0] + self._y_center)
        self.coef_ = mono[1:]
        self.stderr_ = se[1:]
        self.intercept_stderr_ = float(se[0])
        scale = inlier_scale(residual, fit.scale, k)
        self.scale_ = float(scale * self._y_scale)
        self.s_scale_ = float(fit.scale * self._y_scale)
        if scale > 0:
            self.inlier_mask_ = np.abs(residual) <= self.outlier_threshold * scale
        else:
            self.inlier_mask_ = np.abs(residual) <= 1e-9
        self.weights_ = fit.weights
        self.n_iter_ = fit.n_iter
        self.start_ = fit.start
        restarts = np.array([to_caller @ b for b in fit.restart_betas])
        self.restart_scales_ = fit.restart_scales * self._y_scale
        self.restart_spread_ = restarts[:, 1:].std(axis=0) if len(restarts) else np.zeros_like(self.coef_)
        self._multi_indices = np.array(indices[1:], dtype=int).reshape(k - 1, U.shape[1])

    def predict(self, X):
        """Predict with the fitted model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples.

        Returns
        -------
        y : ndarray of shape (n_samples,)
            Predicted values.
        """
        check_is_fitted(self, "coef_")
        X = validate_data(self, X, reset=False, dtype=np.float64)
        U = (X - self._x_center) / self._x_scale
        return self._y_center + self._y_scale * (legendre_design(U, self._indices, self._degrees) @ self._beta)

    def conf_int(self, alpha: float = 0.05) -> np.ndarray:
        """Confidence intervals of the intercept and the coefficients.

        Large-sample normal intervals from ``covariance_``: estimate -+ z_(1 - alpha/2) times
        its standard error (NaN where the error is NaN).

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the confidence level, between 0 and 1.

        Returns
        -------
        intervals : ndarray of shape (1 + len(coef_), 2)
            Row 0 for ``intercept_``, then one row per entry of ``coef_``; columns lower, upper.
        """
        check_is_fitted(self, "covariance_")
        return normal_intervals(np.r_[self.intercept_, self.coef_], np.r_[self.intercept_stderr_, self.stderr_],
                                alpha)

    def summary(self, alpha: float = 0.05) -> RegressionSummary:
        """A table of the fit: coefficient, standard error, z, p-value and the confidence bounds
        of the intercept and each term, with the scale, the number of flagged samples and the
        start the fit grew from.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the confidence level of the bounds.

        Returns
        -------
        summary : RegressionSummary
            ``print(summary)`` shows the table (a notebook shows it as HTML); its attributes
            ``names``, ``params``, ``bse``, ``zvalues``, ``pvalues`` and ``conf_int`` hold the
            numbers. Terms are named by the columns of a pandas input, else x0, x1, ...;
            polynomial terms by their exponents, e.g. ``x0^2 x1``.
        """
        check_is_fitted(self, "covariance_")
        return summarize(self, alpha)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        return tags
