"""Robust linear regression."""

from __future__ import annotations

from ._base import RobustRegressorBase, graded_order
from ._basis import multi_indices


class RobustLinearRegressor(RobustRegressorBase):
    """Robust linear regression: y = intercept + X @ coef, resistant to gross outliers.

    The features and the target are standardised by their medians and median absolute
    deviations, which makes the fit equivariant: ``a * y + b`` gives ``a * coef_`` and
    ``a * intercept_ + b``, and rescaling or shifting a feature transforms its coefficient to
    match. zelk_core's tournament sampler, started from several seeds (on a subsample of at
    most ``max_samples`` rows), supplies high-breakdown starts; concentration steps of a Tukey
    bisquare S-estimator pick the best start and its residual scale, and an MM step
    (bisquare IRLS at that scale, 95 % efficient at ``c=4.685``) finishes the fit. The fit
    withstands up to about half of the samples being gross outliers, in y or in X.

    Parameters
    ----------
    n_restarts : int, default=3
        Number of sampler runs, each with its own seed; the one whose residuals have the
        smallest robust scale is kept.
    max_samples : int, default=500
        The sampler sees a random subsample of at most this many rows (the S- and MM-steps
        always use every row).
    n_chains, n_warmup, n_deep : int, default=25, 200, 2000
        Settings of ``zelk_core.TournamentMCMC``: warm-up chains, warm-up steps, and
        refinement steps per elite chain.
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

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
        Coefficients, in the units of X and y.
    intercept_ : float
        Intercept, in the units of y.
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
    stderr_ : ndarray of shape (n_features,)
        Asymptotic (sandwich) standard errors of ``coef_`` from the final M-step.
    intercept_stderr_ : float
        Standard error of ``intercept_``.
    energy_ : float
        Description length of the fit (``zelk_core.mdl_score``).
    n_iter_ : int
        Iterations of the final M-step.
    restart_scales_ : ndarray of shape (n_restarts,)
        Residual scale after two S-steps from each sampler start.
    restart_spread_ : ndarray of shape (n_features,)
        Standard deviation of each coefficient over the S-fits from the individual sampler
        starts (0 when every start leads to the same fit).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features, when X has string column names.

    See Also
    --------
    RobustPolynomialRegressor : the same fit in a polynomial basis of the features.

    Examples
    --------
    >>> import numpy as np
    >>> from zelk import RobustLinearRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(200, 2))
    >>> y = 1.0 + X @ [2.0, -1.0] + rng.normal(0, 0.1, 200)
    >>> y[:60] += 20.0                                   # 30 % gross outliers
    >>> model = RobustLinearRegressor(random_state=0).fit(X, y)
    >>> np.round(model.coef_, 1), round(model.intercept_, 1), int((~model.inlier_mask_).sum())
    (array([ 2., -1.]), 1.0, 60)
    """

    def __init__(self, *, n_restarts: int = 3, max_samples: int = 500, n_chains: int = 25,
                 n_warmup: int = 200, n_deep: int = 2000, c: float = 4.685, outlier_threshold: float = 2.5,
                 tol: float = 1e-10, max_iter: int = 500, random_state=None):
        self.n_restarts = n_restarts
        self.max_samples = max_samples
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.c = c
        self.outlier_threshold = outlier_threshold
        self.tol = tol
        self.max_iter = max_iter
        self.random_state = random_state

    def _basis_indices(self, n_features, degree):
        return [1] * n_features, graded_order(multi_indices([1] * n_features, "total"))
