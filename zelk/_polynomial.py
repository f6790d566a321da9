"""Robust polynomial regression in one or several features."""

from __future__ import annotations

from numbers import Integral, Real

import numpy as np
from sklearn.utils._param_validation import Interval, StrOptions

from ._base import SHARED_ATTRIBUTES, SHARED_PARAMETERS, RobustRegressorBase, graded_order
from ._basis import legendre_design, legendre_penalties, multi_indices
from ._robust import Penalty
from ._selection import Candidate, admissible, degree_scores, embed


class RobustPolynomialRegressor(RobustRegressorBase):
    __doc__ = f"""Robust polynomial regression in one or several features, resistant to gross outliers.

    The model is a polynomial in the features: with one feature ``y = intercept + sum_p
    coef[p-1] x^p``; with several, a sum over the products x_0^e_0 x_1^e_1 ... named by
    ``multi_indices_``. Inside, the fit uses Legendre polynomials of the features mapped to
    about [-1, 1] by their central 95 % range (a well-conditioned basis), and the target
    standardised by its median and median absolute deviation; it reports monomial
    coefficients in the caller's units. A Tukey-bisquare S-fit (50 % breakdown), found from many
    starts judged on all samples (zelk_core's tournament sampler, exact fits through random
    elemental subsets of the full basis and of its lower degrees), is followed by an M-step and
    least squares on the samples that adaptive hard rejection keeps. The fit is equivariant
    under affine changes of y and of each feature, withstands up to about half of the samples
    being gross outliers, and on the good samples is as precise as least squares.

    Parameters
    ----------
    degree : int, list of int or "auto", default=3
        Polynomial degree: one for all features, one per feature, or ``"auto"`` to choose a
        common degree from 0 up to ``max_degree``. The candidates are the degrees whose basis
        leaves at least three samples per coefficient (degree 0 always), each fitted robustly;
        each is refitted at one residual scale (the smallest, with degrees of freedom counted,
        among the candidates with six samples per coefficient, and degrees 0 and 1) and scored
        by its bisquare deviance at that scale plus a price per coefficient: ln(n_samples), or
        at small samples the 97.5 % point of an F test of one more term, if larger. The
        lowest score wins.
    basis : {{"total", "tensor"}}, default="total"
        ``"tensor"``: every product with exponent e_d <= degree_d in each feature (zelk_core's
        tensor-product basis); ``"total"``: those whose exponents also sum to at most the
        largest degree. Both are the same for one feature.
    max_degree : int, default=7
        Largest degree that ``degree="auto"`` tries (fewer with few samples: a degree is tried
        only with at least three samples per coefficient).
    gamma1, gamma2 : float, default=0.0
        Weights of zelk_core's smoothness penalties (integrated squared gradient and squared
        Hessian of the fitted polynomial of the standardised features over their observed
        range, in units of the standardised target), added in the sampler and in every
        reweighted fit.
{SHARED_PARAMETERS}
    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Monomial coefficients in the units of X and y, one per row of ``multi_indices_``.
    intercept_ : float
        Constant term, in the units of y.
    multi_indices_ : ndarray of int of shape (n_terms, n_features)
        Exponents of each coefficient: row j names x_0^e_0 x_1^e_1 ... for ``coef_[j]``.
    degree_ : int or tuple of int
        The degree used (the chosen one for ``degree="auto"``).
    degree_scores_ : dict
        With ``degree="auto"``: the criterion of each candidate degree (lowest wins); the
        degrees left out for lack of samples are absent.
{SHARED_ATTRIBUTES}
    See Also
    --------
    RobustLinearRegressor : the same fit for a linear model.

    Examples
    --------
    >>> import numpy as np
    >>> from zelk import RobustPolynomialRegressor
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(-1, 1, 300)
    >>> y = 0.3 - 0.6 * x + 0.5 * x**3 + rng.normal(0, 0.02, 300)
    >>> y[:90] += 3.0                                    # 30 % gross outliers
    >>> model = RobustPolynomialRegressor(degree="auto", random_state=0).fit(x[:, None], y)
    >>> model.degree_, np.round(model.coef_, 1) + 0.0
    (3, array([-0.6,  0. ,  0.5]))
    """

    _parameter_constraints: dict = {
        **RobustRegressorBase._parameter_constraints,
        "degree": [Interval(Integral, 0, None, closed="left"), StrOptions({"auto"}), list, tuple],
        "basis": [StrOptions({"total", "tensor"})],
        "max_degree": [Interval(Integral, 0, None, closed="left")],
        "gamma1": [Interval(Real, 0, None, closed="left")],
        "gamma2": [Interval(Real, 0, None, closed="left")],
    }

    def __init__(self, degree=3, *, basis: str = "total", max_degree: int = 7, gamma1: float = 0.0,
                 gamma2: float = 0.0, n_restarts: int = 2, max_samples: int = 300, n_chains: int = 25,
                 n_warmup: int = 100, n_deep: int = 300, n_subsets: int = 200, c: float = 4.685, outlier_threshold: float = 2.5,
                 tol: float = 1e-10, max_iter: int = 500, random_state=None):
        self.degree = degree
        self.basis = basis
        self.max_degree = max_degree
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.n_restarts = n_restarts
        self.max_samples = max_samples
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_subsets = n_subsets
        self.c = c
        self.outlier_threshold = outlier_threshold
        self.tol = tol
        self.max_iter = max_iter
        self.random_state = random_state

    @property
    def multi_indices_(self) -> np.ndarray:
        """Exponents of each coefficient of ``coef_``, one row per coefficient."""
        if not hasattr(self, "_multi_indices"):
            raise AttributeError("multi_indices_ is set by fit")
        return self._multi_indices

    def _basis_indices(self, n_features, degree):
        if isinstance(degree, (list, tuple)):
            if len(degree) != n_features or not all(isinstance(g, Integral) and g >= 0 for g in degree):
                raise ValueError(f"degree must list one non-negative int per feature ({n_features}), got {degree!r}")
            degrees = [int(g) for g in degree]
        else:
            degrees = [int(degree)] * n_features
        return degrees, graded_order(multi_indices(degrees, self.basis))

    def _penalty(self, degrees, indices, U):
        if self.gamma1 == 0.0 and self.gamma2 == 0.0:
            return Penalty()
        key = (tuple(degrees), tuple(indices))
        cache = getattr(self, "_penalty_cache", None)
        if cache is None or cache[0] != key:
            bounds = [(float(lo), float(hi)) for lo, hi in zip(U.min(axis=0), U.max(axis=0))]
            self._penalty_cache = (key, legendre_penalties(degrees, indices, bounds))
        R1, R2 = self._penalty_cache[1]
        return Penalty(R1, R2, float(self.gamma1), float(self.gamma2))

    def _fit_standardised(self, U, z, ctx):
        self._penalty_cache = None
        if isinstance(self.degree, str):
            self._fit_auto(U, z, ctx)
        else:
            degrees, indices = self._basis_indices(U.shape[1], self.degree)
            fit = self._robust_fit(U, z, degrees, indices, ctx)
            self._set_fit(U, z, degrees, indices, fit, ctx)
            self.degree_ = degrees[0] if len(set(degrees)) == 1 else tuple(degrees)
        del self._penalty_cache

    def _fit_auto(self, U, z, ctx):
        n, n_features = U.shape
        candidates, fits = [], {}
        for d in range(self.max_degree + 1):
            degrees, indices = self._basis_indices(n_features, d)
            if d > 0 and not admissible(n, len(indices)):
                break
            extra = [] if not candidates else [embed(candidates[-1].beta, candidates[-1].indices, indices)]
            fits[d] = self._robust_fit(U, z, degrees, indices, ctx, extra)
            candidates.append(Candidate(d, degrees, indices, legendre_design(U, indices, degrees),
                                        self._penalty(degrees, indices, U), fits[d].beta))
        scores, _ = degree_scores(candidates, z, self.c, ctx.get("sw"))
        best = min(scores, key=lambda d: (scores[d], d))
        self._set_fit(U, z, candidates[best].degrees, candidates[best].indices, fits[best], ctx)
        self.degree_ = best
        self.degree_scores_ = scores
