"""The estimator machinery shared by the linear and the polynomial regressor."""

from __future__ import annotations

import warnings
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin, _fit_context
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

import zelk_core

from ._basis import feature_center_scale, legendre_design, legendre_row_bound, robust_center_scale, tensor_map
from ._covariance import fit_covariance, unidentified
from ._inference import RegressionSummary, normal_intervals, summarize
from ._robust import EXACT_TOL, Penalty, RobustFit, SamplerSettings, robust_fit, weighted_fit
from . import _large
from ._starts import MAX_GROUPS, elemental_starts, row_groups, sampler_starts
from ._state import fit_aside
from ._threads import single_threaded
from ._warnings import ExactFitWarning, RankDeficientWarning


# Docstring sections that both estimators share.
SHARED_PARAMETERS = """\
    n_restarts : int, default=2
        Number of sampler runs, each with its own seed; each gives one start of the S-fit.
    max_samples : int, default=300
        The sampler sees a random subsample of at most this many rows; the exact fits through
        random subsets are drawn and ranked within up to five disjoint groups of this many rows.
        The S-fit and the final step use every row; above 10000 rows the S-fit ranks and
        concentrates the starts on a random subsample of 3000 rows (the groups are drawn from
        it) and then on every row, as fast S-estimation does.
    n_chains, n_warmup, n_deep : int, default=25, 100, 300
        Settings of ``zelk_core.TournamentMCMC``: warm-up chains, warm-up steps, and
        refinement steps per elite chain.
    n_subsets : int, default=200
        Number of random elemental subsets (p samples, an exact fit) tried as further starts,
        shared out over the groups of rows; in a polynomial basis each smaller degree from 1 up
        gets as many subsets of its own (a line or a parabola through 2 or 3 samples, smooth
        where a full-degree fit through p samples swings wildly). 0 leaves them out.
    c : float, default=4.685
        Tuning constant of the bisquare in the M-step from the S-fit, in units of the residual
        scale; 4.685 gives 95 % efficiency for normal errors. The final fit is least squares on
        the samples that adaptive hard rejection keeps from that M-step's fit.
    outlier_threshold : float, default=2.5
        Samples whose absolute residual exceeds this many residual scales are flagged in
        ``inlier_mask_``.
    tol : float, default=1e-10
        The M-step stops when no coefficient (standardised) changes by more than ``tol`` times
        the largest coefficient.
    max_iter : int, default=500
        Most M-step iterations (a ``ConvergenceWarning`` when they run out).
    random_state : int, RandomState instance or None, default=None
        Seeds of the sampler runs, of the subsample and of the random subsets.
"""

SHARED_ATTRIBUTES = """\
    start_ : str
        Which start the S-fit grew from: "sampler", "subset", "least squares", or (with
        ``degree="auto"``) "given", the fit of the next smaller degree.
    scale_ : float
        Residual scale of the good samples, in the units of y: that of least squares on the
        samples the fit kept (with m - p degrees of freedom, m their number or, with
        ``sample_weight``, the sum of their weights scaled to mean 1; and corrected for the
        residuals cut off at the rejection point); 0 for an exact fit.
    s_scale_ : float
        The S-estimate of scale (bisquare M-scale, 50 % breakdown, residuals counted over
        n - p); consistent without outliers, it grows with their share.
    inlier_mask_ : ndarray of bool of shape (n_samples,)
        True for the samples within ``outlier_threshold * scale_`` of the fit. Samples of
        ``sample_weight`` 0 take no part in the fit; they are judged by the same rule (True
        when they lie within reach of the fit).
    weights_ : ndarray of shape (n_samples,)
        1 for the samples the final least-squares fit uses (each with its ``sample_weight``), 0
        for those it rejected and for samples of ``sample_weight`` 0.
    stderr_ : ndarray of shape (len(coef_),)
        Standard errors of ``coef_``: those of least squares on the kept samples. NaN (with a
        warning) where they cannot be estimated: an exact fit (``ExactFitWarning``), or
        coefficients the data do not identify (``RankDeficientWarning``).
    intercept_stderr_ : float
        Standard error of ``intercept_``.
    covariance_ : ndarray of shape (1 + len(coef_), 1 + len(coef_))
        Covariance of ``intercept_`` (first row and column) and ``coef_``, in the caller's
        units; ``intercept_stderr_`` and ``stderr_`` are the square roots of its diagonal.
        :meth:`conf_int` and :meth:`summary` build on it.
    energy_ : float
        Description length of the fit (``zelk_core.mdl_score``).
    n_iter_ : int
        Iterations of the M-step the final fit grew from.
    restart_scales_ : ndarray of shape (n_restarts,)
        S-scale after two concentration steps from each sampler start.
    restart_spread_ : ndarray of shape (len(coef_),)
        Standard deviation of each coefficient over the S-fits from the individual sampler
        starts (0 when every start leads to the same fit).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.
"""


# scikit-learn's estimator checks that these estimators fail by design, with the reason; pass it
# as ``check_estimator(..., expected_failed_checks=EXPECTED_FAILED_CHECKS)``.
EXPECTED_FAILED_CHECKS = {
    "check_sample_weight_equivalence_on_dense_data": (
        "integer weights act as repeated samples only up to the random draws and within the fit's own "
        "standard errors: the starts are drawn from the distinct samples, the standardisation and the "
        "small-sample corrections count each of them once, and on the check's 15 x 30 design a "
        "50 %-breakdown fit passes exactly through whichever samples carry more than half of the copies, "
        "so its predictions differ by far more than the check's 1e-7"),
}


def prior_weights(sample_weight: np.ndarray) -> tuple[np.ndarray | None, np.ndarray | None]:
    """The prior weights of the rows the fit uses, scaled to mean 1 (None when they are all
    equal: the unweighted fit, to the bit), and which rows those are (None: all; rows of weight
    0 are left out)."""
    used = sample_weight > 0.0
    w = sample_weight[used]
    if np.all(w == w[0]):
        sw = None
    else:
        w = w / np.max(w)  # first, so that the mean of weights near the largest float cannot overflow
        sw = w / np.mean(w)
    return sw, (None if np.all(used) else used)


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
        ctx["design"] = (indices, Phi)  # for _set_fit
        pen = self._penalty(degrees, indices, U)
        settings = SamplerSettings(self.n_chains, self.n_warmup, self.n_deep)
        starts, energies = sampler_starts(Phi, z, pen, settings, ctx["seeds"], ctx["rows"])
        n_sampler = len(starts)
        rng = np.random.default_rng(ctx["subset_seed"])
        # sizes of the leading blocks of columns up to each total degree (the basis is graded)
        totals = np.sort([sum(e) for e in indices])
        orders = sorted(set(np.searchsorted(totals, totals, side="right").tolist()))
        sw = ctx.get("sw")
        # The large-n path counts rows in its rejection and scales, so weighted fits take the
        # full path at any n.
        large = len(z) > _large.LARGE_N and sw is None
        if large:  # the S-stage on a subsample, the groups of rows drawn from it
            sub = _large.sample_rows(len(z), max(_large.SUBSAMPLE, self.max_samples), rng)
            groups = _large.subsample_groups(sub, self.max_samples, MAX_GROUPS)
        else:
            groups = row_groups(len(z), self.max_samples, rng)
        subsets = elemental_starts(Phi, z, groups, self.n_subsets, rng, orders)
        rows = sub if large else slice(None)  # least squares where the S-stage judges the starts
        w_ls = np.ones(len(z[rows])) if sw is None else sw
        starts += subsets + list(extra_starts) + [weighted_fit(Phi[rows], z[rows], w_ls, pen)]
        kinds = (["sampler"] * n_sampler + ["subset"] * len(subsets) + ["given"] * len(extra_starts)
                 + ["least squares"])
        if large:
            fit = _large.large_robust_fit(Phi, z, pen, starts, kinds, n_sampler, self.c, self.tol, self.max_iter, sub,
                                          row_norm2=legendre_row_bound(U, indices))
        else:
            fit = robust_fit(Phi, z, pen, starts, kinds, n_sampler, self.c, self.tol, self.max_iter, sw=sw)
        fit.sampler_energies = np.array(energies)
        return fit

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y, sample_weight=None):
        """Fit the model robustly.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data (a pandas DataFrame works; its column names are kept).
        y : array-like of shape (n_samples,)
            Target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights of the samples (None: all 1). A sample of weight w counts as w
            samples in the S-scale, the M-steps, the rejection of outliers, the residual scale
            and the covariance; integer weights fit as the data with each sample repeated that
            many times would (up to the random draws). Samples of weight 0 are left out before
            the fit (``inlier_mask_`` and ``weights_`` still have one entry per sample). Only
            the ratios of the weights matter: they are scaled to mean 1 over the samples of
            positive weight, so standard errors count each such sample once, as those of
            weighted least squares do (for counts of repeated observations the repeated
            data's standard errors are smaller by sqrt(mean weight)). All samples are judged
            on one residual scale: with weights that state precisions (1 / variance) the
            noisier samples are the first flagged. The starting fits (the sampler and the
            random elemental subsets) ignore the weights apart from leaving out samples of
            weight 0.

        Returns
        -------
        self : object
            The fitted estimator. A fit that raises (bad input, Ctrl-C, an alarm) leaves the
            estimator as it was, fitted or not.
        """
        fit_aside(self, lambda work: work._fit(X, y, sample_weight))
        return self

    def _fit(self, X, y, sample_weight=None) -> None:
        """The fit itself, on the unfitted copy that :func:`fit_aside` swaps in when it ends."""
        X, y = validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        y = np.asarray(y, dtype=np.float64)
        sw, used = None, None
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
            sw, used = prior_weights(sample_weight)
            if used is not None:
                X_all, y_all = X, y
                X, y = X[used], y[used]
        n = X.shape[0]
        if n < 2:
            what = "" if used is None else " of positive sample_weight"
            raise ValueError(f"{type(self).__name__} needs at least 2 samples{what}, got n_samples = {n}")
        x_center, x_scale = feature_center_scale(X)
        y_center, y_scale = robust_center_scale(y[:, None])
        self._x_center, self._x_scale = x_center, x_scale
        self._y_center, self._y_scale = float(y_center[0]), float(y_scale[0])
        U = (X - x_center) / x_scale
        z = (y - self._y_center) / self._y_scale
        rng = check_random_state(self.random_state)
        seeds = [int(s) for s in rng.randint(0, 2**31 - 1, size=self.n_restarts)]
        if n <= self.max_samples:
            rows = None
        elif n <= _large.LARGE_N:
            rows = np.sort(rng.choice(n, self.max_samples, replace=False))
        else:  # RandomState.choice permutes all n rows
            rows = np.sort(_large.sample_rows(n, self.max_samples, np.random.default_rng(rng.randint(0, 2**31 - 1))))
        ctx = {"seeds": seeds, "rows": rows, "subset_seed": int(rng.randint(0, 2**31 - 1)),
               "degree": getattr(self, "degree", 1), "sw": sw}
        # One thread per fit (see _threads): parallelism pays across fits (n_jobs, Dask).
        with single_threaded():
            self._fit_standardised(U, z, ctx)
        if used is not None:
            self._report_unused(X_all, y_all, used)

    def _report_unused(self, X: np.ndarray, y: np.ndarray, used: np.ndarray) -> None:
        """``inlier_mask_`` and ``weights_`` over all samples, the unused ones (weight 0) included:
        judged by the fit's rule, and weight 0."""
        out = ~used
        U = (X[out] - self._x_center) / self._x_scale
        residual = (y[out] - self._y_center) / self._y_scale - legendre_design(U, self._indices, self._degrees) @ self._beta
        mask = np.empty(len(used), bool)
        mask[used] = self.inlier_mask_
        mask[out] = self._flag(residual, self.scale_ / self._y_scale)
        weights = np.zeros(len(used))
        weights[used] = self.weights_
        self.inlier_mask_, self.weights_ = mask, weights
        self._unused = out

    def _flag(self, residual: np.ndarray, sigma: float) -> np.ndarray:
        """Inliers among standardised residuals, at the standardised scale ``sigma``."""
        if sigma > 0:
            return np.abs(residual) <= self.outlier_threshold * sigma
        return np.abs(residual) <= EXACT_TOL

    def _set_fit(self, U: np.ndarray, z: np.ndarray, degrees: list[int], indices: list[tuple[int, ...]],
                 fit: RobustFit, ctx: dict) -> None:
        """Stores the fit and reports it in the caller's units."""
        self._degrees, self._indices, self._beta = degrees, indices, fit.beta
        built, Phi = ctx.get("design", (None, None))
        if built != indices:
            Phi = legendre_design(U, indices, degrees)
        if fit.residuals is None:
            fitted = Phi @ fit.beta
            residual = z - fitted
        else:  # the large-n fit's own, a pass over the rows saved
            residual = fit.residuals
            fitted = z - residual
        k = len(indices)
        pen = self._penalty(degrees, indices, U)
        if pen.active:
            self.energy_ = float(zelk_core.mdl_score_reg(fitted, z, k, 20, fit.beta, pen.R1, pen.R2,
                                                         pen.gamma1, pen.gamma2))
        else:
            self.energy_ = float(zelk_core.mdl_score(fitted, z, k))
        to_caller = self._y_scale * tensor_map(degrees, indices, self._x_center, self._x_scale)
        mono = to_caller @ fit.beta
        # Covariance of the intercept and the coefficients, in the caller's units.
        cov = to_caller @ fit_covariance(Phi, fit, pen, ctx.get("sw")) @ to_caller.T
        blind = unidentified(to_caller, fit.null_space)
        cov[blind, :] = np.nan
        cov[:, blind] = np.nan
        self.covariance_ = 0.5 * (cov + cov.T)  # exactly symmetric; the diagonal stays the same bits
        se = np.sqrt(np.clip(np.diag(cov), 0.0, None))
        self.intercept_ = float(mono[0] + self._y_center)
        self.coef_ = mono[1:]
        self.stderr_ = se[1:]
        self.intercept_stderr_ = float(se[0])
        self.scale_ = float(fit.sigma * self._y_scale)
        self.s_scale_ = float(fit.scale * self._y_scale)
        self.inlier_mask_ = self._flag(residual, fit.sigma)
        self.weights_ = fit.weights
        self.n_iter_ = fit.n_iter
        self.start_ = fit.start
        restarts = np.array([to_caller @ b for b in fit.restart_betas])
        self.restart_scales_ = fit.restart_scales * self._y_scale
        self.restart_spread_ = restarts[:, 1:].std(axis=0) if len(restarts) else np.zeros_like(self.coef_)
        self._multi_indices = np.array(indices[1:], dtype=int).reshape(k - 1, U.shape[1])
        self._warn_about(fit, residual, blind, ctx.get("sw"))

    def _warn_about(self, fit: RobustFit, residual: np.ndarray, blind: np.ndarray,
                    sw: np.ndarray | None = None) -> None:
        """Says what the fit could not determine: an exact fit (more than half of the samples,
        counted by their weights, on it), unidentified coefficients, an iteration limit
        reached."""
        n = len(residual)
        on = np.abs(residual) <= EXACT_TOL
        on_fit = int(np.count_nonzero(on))
        if (2 * on_fit > n) if sw is None else (2.0 * float(np.sum(sw[on])) > float(np.sum(sw))):
            if n <= fit.null_space.shape[0] - fit.null_space.shape[1]:
                what = f"the fit interpolates all {n} samples (no more samples than coefficients)"
            elif on_fit == n:
                what = f"all {n} samples lie exactly on the fit (noiseless data)"
            elif sw is not None and 2 * on_fit <= n:
                share = float(np.sum(sw[on])) / float(np.sum(sw))
                what = (f"{on_fit} of {n} samples, with {share:.0%} of the total sample_weight, lie exactly on the "
                        f"fit; a high-breakdown fit passes through samples holding more than half of the weight "
                        f"whatever the other {n - on_fit} say")
            else:
                what = (f"{on_fit} of {n} samples lie exactly on the fit; it passes through them whatever the "
                        f"other {n - on_fit} say (tied or discrete targets do this as readily as noiseless data)")
            consequence = ("its residual scale is 0 and the standard errors cannot be estimated: they are NaN"
                           if fit.sigma == 0.0 else "the residual scale comes from the samples off the fit")
            warnings.warn(f"{type(self).__name__}: {what}; {consequence}.", ExactFitWarning, stacklevel=2)
        if np.any(blind):
            names = [("intercept_" if j == 0 else f"coef_[{j - 1}]") for j in np.flatnonzero(blind)]
            if len(names) > 6:
                names = names[:5] + [f"{len(names) - 5} more"]
            warnings.warn(f"{type(self).__name__}: the data do not identify {', '.join(names)} (constant or "
                          f"collinear columns, or fewer samples than coefficients); their standard errors are NaN, "
                          f"and the fit sets the undetermined directions to 0.", RankDeficientWarning, stacklevel=2)
        if not fit.converged:
            warnings.warn(f"{type(self).__name__}: the M-step stopped at max_iter={self.max_iter} iterations before "
                          f"reaching tol={self.tol} (or the rejection of outliers did not settle); the fit may be "
                          f"inaccurate. Increase max_iter.", ConvergenceWarning, stacklevel=2)

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
