"""The estimators where robust fits are hardest: 45 % outliers with real noise, a good majority
that only all rows reveal, small samples, exact and tied data, unidentified coefficients and
iteration limits. Small simulations with fixed seeds; the full grids are in
benchmarks/bench_robust.py."""

import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.exceptions import ConvergenceWarning  # noqa: E402

import zelk  # noqa: E402
from zelk import ExactFitWarning, RankDeficientWarning, RobustLinearRegressor, RobustPolynomialRegressor  # noqa: E402

P = np.polynomial.polynomial


def heavy_case(degree, kind, seed, n=2000, share=0.45, sigma=0.1):
    """45 % outliers 10-40 noise sds away: shifted up, up or down, or moved to the ends of the
    range (half to each, shifted away from the curve)."""
    rng = np.random.default_rng([31, degree, seed])
    truth = rng.uniform(-1, 1, degree + 1)
    truth[-1] = 0.8
    x = rng.uniform(-1, 1, n)
    bad = np.zeros(n, bool)
    bad[rng.choice(n, int(share * n), replace=False)] = True
    idx = np.flatnonzero(bad)
    hi, lo = idx[: idx.size // 2], idx[idx.size // 2:]
    if kind == "leverage":
        x[hi] = rng.uniform(0.9, 1.0, hi.size)
        x[lo] = rng.uniform(-1.0, -0.9, lo.size)
    y = P.polyval(x, truth) + rng.normal(0, sigma, n)
    shift = rng.uniform(1, 4, idx.size)
    if kind == "one-sided":
        y[idx] += shift
    elif kind == "two-sided":
        y[idx] += rng.choice([-1.0, 1.0], idx.size) * shift
    else:
        y[hi] -= shift[: hi.size]
        y[lo] += shift[hi.size:]
    return x, y, truth, bad


@pytest.mark.parametrize("degree, kind", [(3, "one-sided"), (3, "two-sided"), (3, "leverage"), (5, "leverage")])
def test_heavy_contamination_with_real_noise(degree, kind):
    x, y, truth, bad = heavy_case(degree, kind, seed=1)
    model = RobustPolynomialRegressor(degree, random_state=5).fit(x[:, None], y)
    good = ~bad
    rms = lambda coef: np.sqrt(np.mean((P.polyval(x[good], coef) - P.polyval(x[good], truth)) ** 2))  # noqa: E731
    oracle = P.polyfit(x[good], y[good], degree)  # least squares on the true inliers
    assert rms(np.r_[model.intercept_, model.coef_]) < 1.3 * rms(oracle)
    assert np.mean(model.inlier_mask_ == good) > 0.98
    assert model.scale_ == pytest.approx(0.1, rel=0.1)
    # the S-scale is inflated by the outliers: a bisquare step at it would reach them
    assert model.s_scale_ > 2.5 * 0.1


def test_a_majority_clear_in_all_rows_is_not_lost():
    """48 % of the points on a second line: a subsample of 300 rows often holds more of them than
    of the good points, all rows never do."""
    for seed in range(3):
        rng = np.random.default_rng([47, seed])
        x = rng.uniform(-1, 1, 3000)
        y = 0.5 - x + rng.normal(0, 0.05, x.size)
        other = np.zeros(x.size, bool)
        other[rng.choice(x.size, int(0.48 * x.size), replace=False)] = True
        y[other] = -0.3 + 1.2 * x[other] + rng.normal(0, 0.05, other.sum())
        model = RobustLinearRegressor(random_state=seed).fit(x[:, None], y)
        np.testing.assert_allclose([model.intercept_, model.coef_[0]], [0.5, -1.0], atol=0.01)


def small_design_draws(name, n_draws, seed):
    """Clean normal errors on a real design: the truth and noise of least squares on its data."""
    sm = pytest.importorskip("statsmodels.api")
    data = getattr(sm.datasets, name).load_pandas()
    X = np.asarray(data.exog, float)
    A = sm.add_constant(X)
    ols = sm.OLS(np.asarray(data.endog, float), A).fit()
    rng = np.random.default_rng(seed)
    return X, A, ols.params, [A @ ols.params + rng.normal(0, np.sqrt(ols.scale), len(A)) for _ in range(n_draws)]


@pytest.mark.parametrize("name, min_coverage, max_spread", [("stackloss", 0.88, 1.3), ("longley", 0.8, 1.5)])
def test_small_samples_are_honest(name, min_coverage, max_spread):
    """Intervals coef_ +- 1.96 stderr_ cover the truth near their level, few clean points are
    flagged and the estimates spread about as little as RLM Tukey's (stackloss: 21 samples, 4
    coefficients; longley: 16 and 7, where the spread of this small check is itself wide)."""
    sm = pytest.importorskip("statsmodels.api")
    X, A, beta, draws = small_design_draws(name, 30, seed=3)
    coverage, flagged, fits, rlm = [], [], [], []
    for i, y in enumerate(draws):
        model = RobustLinearRegressor(random_state=i).fit(X, y)
        b = np.r_[model.intercept_, model.coef_]
        se = np.r_[model.intercept_stderr_, model.stderr_]
        coverage.append(np.mean(np.abs(b - beta) <= 1.96 * se))
        flagged.append(np.mean(~model.inlier_mask_))
        fits.append(b)
        rlm.append(sm.RLM(y, A, M=sm.robust.norms.TukeyBiweight()).fit().params)
    assert np.mean(coverage) >= min_coverage
    assert np.mean(flagged) <= 0.05
    assert np.max(np.std(fits, axis=0) / np.std(rlm, axis=0)) <= max_spread


def test_longley_is_not_overconfident():
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.longley.load_pandas()
    model = RobustLinearRegressor(random_state=0).fit(data.exog, data.endog)
    ols = sm.OLS(data.endog, sm.add_constant(data.exog)).fit()
    assert (~model.inlier_mask_).sum() <= 2
    ratio = np.r_[model.intercept_stderr_, model.stderr_] / np.asarray(ols.bse)
    assert np.all((ratio > 0.5) & (ratio < 2.0))


def test_noiseless_data_are_an_exact_fit():
    x = np.linspace(-3, 7, 200)
    with pytest.warns(ExactFitWarning, match="all 200 samples lie exactly on the fit"):
        model = RobustLinearRegressor(random_state=0).fit(x[:, None], 2.0 - 0.5 * x)
    np.testing.assert_allclose([model.intercept_, model.coef_[0]], [2.0, -0.5], rtol=1e-12)
    assert model.inlier_mask_.all() and model.scale_ == 0.0
    assert np.isnan(model.stderr_).all() and np.isnan(model.intercept_stderr_)


def test_a_majority_exactly_on_a_line_is_reported():
    rng = np.random.default_rng(8)
    x = rng.uniform(0, 1, 200)
    y = 1.0 + 2.0 * x
    off = np.zeros(200, bool)
    off[:50] = True
    y[off] += rng.uniform(1, 3, 50)
    with pytest.warns(ExactFitWarning, match="150 of 200 samples lie exactly on the fit"):
        model = RobustLinearRegressor(random_state=0).fit(x[:, None], y)
    np.testing.assert_allclose([model.intercept_, model.coef_[0]], [1.0, 2.0], rtol=1e-12)
    np.testing.assert_array_equal(model.inlier_mask_, ~off)
    assert model.scale_ == 0.0 and np.isnan(model.stderr_).all()


def test_tied_targets_never_give_zero_standard_errors():
    """statsmodels' cpunish: 9 of 17 executions counts equal 1."""
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.cpunish.load_pandas()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = RobustLinearRegressor(random_state=0).fit(data.exog, data.endog)
    se = np.r_[model.intercept_stderr_, model.stderr_]
    assert not np.any(se == 0.0)
    if model.scale_ == 0.0:
        assert np.isnan(se).all() and any(issubclass(w.category, ExactFitWarning) for w in caught)
    else:
        assert np.all(np.isfinite(se) & (se > 0))
        assert (~model.inlier_mask_).sum() < 9


def test_unidentified_coefficients_get_nan_standard_errors():
    rng = np.random.default_rng(9)
    X = rng.normal(size=(120, 3))
    y = 1.0 + X @ [1.0, -2.0, 0.5] + rng.normal(0, 0.1, 120)
    y[:20] += 5.0
    reference = RobustLinearRegressor(random_state=0).fit(X, y)
    # a duplicated column: the two share the slope; the intercept is still identified
    with pytest.warns(RankDeficientWarning, match=r"coef_\[0\], coef_\[3\]"):
        dup = RobustLinearRegressor(random_state=0).fit(np.c_[X, X[:, 0]], y)
    assert dup.coef_[0] + dup.coef_[3] == pytest.approx(reference.coef_[0], rel=1e-6)
    assert np.isnan(dup.stderr_[[0, 3]]).all() and np.isfinite(dup.stderr_[[1, 2]]).all()
    assert np.isfinite(dup.intercept_stderr_)
    np.testing.assert_allclose(dup.predict(np.c_[X, X[:, 0]]), reference.predict(X), rtol=1e-6, atol=1e-9)
    # a constant column cannot be told apart from the intercept
    with pytest.warns(RankDeficientWarning, match=r"intercept_, coef_\[1\]"):
        const = RobustLinearRegressor(random_state=0).fit(np.c_[X[:, :1], np.full(120, 4.0), X[:, 1:]], y)
    assert const.coef_[1] == pytest.approx(0.0, abs=1e-12)
    assert np.isnan(const.stderr_[1]) and np.isnan(const.intercept_stderr_)
    assert np.isfinite(const.stderr_[[0, 2, 3]]).all()


def test_fewer_samples_than_coefficients_interpolate_with_warnings():
    rng = np.random.default_rng(10)
    X, y = rng.normal(size=(4, 6)), rng.normal(size=4)
    with pytest.warns(ExactFitWarning, match="interpolates all 4 samples"), \
            pytest.warns(RankDeficientWarning):
        model = RobustLinearRegressor(random_state=0).fit(X, y)
    np.testing.assert_allclose(model.predict(X), y, atol=1e-12)
    assert np.isnan(model.stderr_).all() and model.inlier_mask_.all()


def test_an_iteration_limit_warns():
    rng = np.random.default_rng(11)
    x = rng.uniform(-1, 1, 300)
    y = 1 + x + rng.normal(0, 0.1, 300)
    with pytest.warns(ConvergenceWarning, match="max_iter=1"):
        RobustLinearRegressor(max_iter=1, random_state=0).fit(x[:, None], y)


def test_warnings_are_exported_user_warnings():
    assert {"ExactFitWarning", "RankDeficientWarning"} <= set(zelk.__all__)
    assert issubclass(ExactFitWarning, UserWarning) and issubclass(RankDeficientWarning, UserWarning)
