"""covariance_, conf_int and summary: checked against statsmodels' OLS and RLM on clean data and against
SciPy's normal distribution, with names from pandas columns and from polynomial exponents."""

import numpy as np
import pytest

pytest.importorskip("sklearn")
sm = pytest.importorskip("statsmodels.api")
from scipy import stats  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402

from zelk import RobustLinearRegressor, RobustPolynomialRegressor  # noqa: E402
from zelk._inference import RegressionSummary  # noqa: E402


def clean_linear(seed=0, n=400):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2)) * [1.0, 3.0] + [0.0, 5.0]
    return X, 1.0 + 2.0 * X[:, 0] - 0.5 * X[:, 1] + rng.normal(0, 0.5, n), X


def clean_cubic(seed=0, n=400):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    return x[:, None], 0.3 - 0.6 * x + 0.5 * x**3 + rng.normal(0, 0.1, n), np.vander(x, 4, increasing=True)[:, 1:]


@pytest.mark.parametrize("model, make", [
    (RobustLinearRegressor(random_state=0), clean_linear),
    (RobustPolynomialRegressor(3, random_state=0), clean_cubic),
])
def test_agrees_with_least_squares_on_the_kept_rows_and_with_rlm_tukey(model, make):
    """The final fit is least squares on the rows it kept (all or nearly all of clean data): its
    estimates are statsmodels' OLS on those rows, its errors OLS's (up to the correction of the
    scale for the few rows cut off), and both are close to RLM Tukey's."""
    X, y, design = make()
    model.fit(X, y)
    params = np.r_[model.intercept_, model.coef_]
    se = np.sqrt(np.diag(model.covariance_))
    keep = model.weights_ > 0
    assert keep.mean() > 0.98
    ols = sm.OLS(y[keep], sm.add_constant(design)[keep]).fit()
    np.testing.assert_allclose(params, ols.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(se, ols.bse, rtol=1e-12 if keep.all() else 0.05)
    rlm = sm.RLM(y, sm.add_constant(design), M=sm.robust.norms.TukeyBiweight(4.685)).fit()
    assert np.all(np.abs(params - rlm.params) < 0.25 * rlm.bse)
    assert np.all((0.8 < se / rlm.bse) & (se / rlm.bse < 1.25))
    np.testing.assert_allclose(model.conf_int(), rlm.conf_int(), atol=0.3 * rlm.bse.max())


@pytest.mark.parametrize("alpha", [0.05, 0.1, 0.01])
def test_intervals_and_tests_are_the_normal_ones(alpha):
    X, y, _ = clean_cubic(seed=1, n=200)
    model = RobustPolynomialRegressor(3, random_state=0).fit(X, y)
    cov = model.covariance_
    np.testing.assert_array_equal(cov, cov.T)
    se = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(se, np.r_[model.intercept_stderr_, model.stderr_], rtol=1e-15)
    params = np.r_[model.intercept_, model.coef_]
    q = stats.norm.ppf(1 - alpha / 2)
    np.testing.assert_allclose(model.conf_int(alpha), np.c_[params - q * se, params + q * se], rtol=1e-12)
    s = model.summary(alpha)
    np.testing.assert_allclose(s.pvalues, 2 * stats.norm.sf(np.abs(params / se)), rtol=1e-10, atol=1e-300)
    np.testing.assert_allclose(s.conf_int, model.conf_int(alpha), rtol=1e-15)


def test_covariance_is_in_the_callers_units():
    """y -> a y + b scales the covariance by a^2; x -> s x rescales the slope's variance by 1/s^2."""
    X, y, _ = clean_linear(seed=2, n=200)
    base = RobustLinearRegressor(random_state=0).fit(X, y)
    moved = RobustLinearRegressor(random_state=0).fit(X * [10.0, 1.0], -3.0 * y + 7.0)
    D = np.diag([1.0, 0.1, 1.0])
    np.testing.assert_allclose(moved.covariance_, 9.0 * D @ base.covariance_ @ D, rtol=1e-6,
                               atol=1e-9 * np.abs(moved.covariance_).max())


def test_summary_names_the_terms_and_reports_the_fit():
    pd = pytest.importorskip("pandas")
    data = sm.datasets.stackloss.load_pandas()
    model = RobustLinearRegressor(random_state=0).fit(data.exog, data.endog)
    text = str(model.summary())
    assert text == repr(model.summary())
    header = next(line for line in text.splitlines() if "std err" in line).split()
    assert header == ["coef", "std", "err", "z", "P>|z|", "[0.025", "0.975]"]
    for name in ["intercept", *data.exog.columns]:
        assert any(line.startswith(name + " ") for line in text.splitlines())
    flagged = int((~model.inlier_mask_).sum())
    assert f"{flagged} ({flagged / 21:.1%})" in text and model.start_ in text
    assert "<table>" in model.summary()._repr_html_()

    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.uniform(-1, 1, (120, 2)), columns=["t", "p"])
    poly = RobustPolynomialRegressor(3, random_state=0, n_deep=200).fit(X, X.t + X.t**2 * X.p + rng.normal(0, .1, 120))
    s = poly.summary(alpha=0.1)
    assert s.names[0] == "intercept" and "t^2 p" in s.names and len(s.names) == 1 + len(poly.coef_)
    assert "[0.05" in str(s) and "0.95]" in str(s) and "Degree" in str(s)
    plain = RobustPolynomialRegressor([2, 1], basis="tensor", random_state=0, n_deep=200).fit(X.to_numpy(), X.t)
    assert plain.summary().names == ["intercept", *("x0", "x1", "x0^2", "x0 x1", "x0^2 x1")]


def test_summary_shows_unidentified_terms_as_nan():
    s = RegressionSummary("fit", ["intercept", "x0"], np.array([1.0, 2.0]), np.array([0.5, np.nan]), 0.05, [])
    row = next(line for line in str(s).splitlines() if line.startswith("x0"))
    assert row.split()[1:] == ["2.000", "nan", "nan", "nan", "nan", "nan"]


@pytest.mark.parametrize("alpha", [0, 1, -0.1, 1.5, np.nan, "0.05", True])
def test_alpha_out_of_range_is_refused(alpha):
    model = RobustLinearRegressor(random_state=0, n_deep=100).fit(*clean_linear(n=50)[:2])
    for call in (model.conf_int, model.summary):
        with pytest.raises(ValueError, match="alpha must be a number between 0 and 1"):
            call(alpha)


def test_inference_needs_a_fit():
    for call in (RobustLinearRegressor().conf_int, RobustLinearRegressor().summary):
        with pytest.raises(NotFittedError):
            call()
