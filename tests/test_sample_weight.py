"""sample_weight in the robust estimators: weight 0 drops a sample, unit and constant weights are
the unweighted fit, integer weights act as repeated samples, and the weighted pieces (M-scale,
rejection rule, final least squares and its covariance) agree with independent computations."""

import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn")
sm = pytest.importorskip("statsmodels.api")

from zelk import ExactFitWarning, RobustLinearRegressor, RobustPolynomialRegressor  # noqa: E402
from zelk._final import adaptive_rejections, final_step, m_step  # noqa: E402
from zelk._linalg import Penalty  # noqa: E402
from zelk._scale import S_BREAKDOWN, S_LOSS, kept_scale, m_scale  # noqa: E402
from zelk._selection import Candidate, coef_price, common_scale, degree_scores  # noqa: E402
from zelk._sfit import s_concentrate, s_estimate  # noqa: E402

FAST = dict(n_chains=10, n_warmup=100, n_deep=300, random_state=0)


def line_with_outliers(n=150, share=0.25, seed=0, noise=0.1):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2)) * [1.0, 3.0] + [0.0, 10.0]
    y = 1.0 + X @ [2.0, -0.5] + rng.normal(0, noise, n)
    bad = rng.random(n) < share
    y[bad] += rng.uniform(5, 10, bad.sum())
    return X, y, bad


def cubic(n=200, share=0.2, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    y = 0.3 - 0.6 * x + 0.5 * x**3 + rng.normal(0, 0.05, n)
    bad = rng.random(n) < share
    y[bad] += rng.uniform(2, 4, bad.sum())
    return x[:, None], y, bad


def state(m):
    return [m.coef_, m.intercept_, m.stderr_, m.intercept_stderr_, m.scale_, m.s_scale_, m.inlier_mask_,
            m.weights_, m.covariance_, m.energy_]


def assert_same_bits(a, b):
    for u, v in zip(state(a), state(b)):
        np.testing.assert_array_equal(u, v)


@pytest.mark.parametrize("Estimator, params, data", [
    (RobustLinearRegressor, {}, line_with_outliers),
    (RobustPolynomialRegressor, dict(degree=3), cubic),
])
def test_uniform_weights_and_zero_weights_leave_the_unweighted_fit(Estimator, params, data):
    """None, all ones and any constant give the unweighted fit to the bit; samples of weight 0
    are left out exactly as if they were not there, wherever they sit in the data."""
    X, y, _ = data()
    n = len(y)
    plain = Estimator(**params, **FAST).fit(X, y)
    for w in (np.ones(n), np.full(n, 0.1), 7):
        assert_same_bits(Estimator(**params, **FAST).fit(X, y, sample_weight=w), plain)

    # interleave junk rows of weight 0 (wild values, far from the fit)
    rng = np.random.default_rng(5)
    junk = rng.choice(n + 30, 30, replace=False)
    used = np.ones(n + 30, bool)
    used[junk] = False
    X2 = np.empty((n + 30, X.shape[1]))
    y2 = np.empty(n + 30)
    X2[used], y2[used] = X, y
    X2[junk] = rng.normal(size=(30, X.shape[1])) * 3
    y2[junk] = rng.normal(size=30) * 1e3
    y2[junk[0]] = Estimator(**params, **FAST).fit(X, y).predict(X2[junk[:1]])[0]  # one on the fit
    dropped = Estimator(**params, **FAST).fit(X2, y2, sample_weight=used.astype(float))
    for name in ("coef_", "intercept_", "stderr_", "scale_", "s_scale_", "covariance_", "energy_"):
        np.testing.assert_array_equal(getattr(dropped, name), getattr(plain, name), err_msg=name)
    assert dropped.inlier_mask_.shape == dropped.weights_.shape == (n + 30,)
    np.testing.assert_array_equal(dropped.inlier_mask_[used], plain.inlier_mask_)
    np.testing.assert_array_equal(dropped.weights_[used], plain.weights_)
    assert not np.any(dropped.weights_[junk])
    # the unused samples are judged by the fit's rule: the one on the fit is an inlier, the wild ones not
    assert dropped.inlier_mask_[junk[0]] and not np.any(dropped.inlier_mask_[junk[1:]])
    assert "(and 30 of weight 0, not used)" in str(dropped.summary())
    dropped.fit(X, y)  # a refit without weights keeps nothing of them
    assert "weight 0" not in str(dropped.summary()) and dropped.inlier_mask_.shape == (n,)


def test_zero_weights_drop_rows_under_unequal_weights_and_scaling_changes_only_bits():
    X, y, _ = line_with_outliers(seed=3)
    rng = np.random.default_rng(0)
    w = rng.uniform(0.2, 3.0, len(y))
    base = RobustLinearRegressor(**FAST).fit(X, y, sample_weight=w)
    # a power of two scales the weights exactly: same bits; any other constant: same fit
    assert_same_bits(RobustLinearRegressor(**FAST).fit(X, y, sample_weight=4.0 * w), base)
    scaled = RobustLinearRegressor(**FAST).fit(X, y, sample_weight=1e-3 * w)
    for u, v in zip(state(scaled), state(base)):
        np.testing.assert_allclose(u, v, rtol=1e-7, atol=1e-12)

    w0 = w.copy()
    w0[::7] = 0.0
    zeroed = RobustLinearRegressor(**FAST).fit(X, y, sample_weight=w0)
    keep = w0 > 0
    without = RobustLinearRegressor(**FAST).fit(X[keep], y[keep], sample_weight=w[keep])
    np.testing.assert_array_equal(np.r_[zeroed.intercept_, zeroed.coef_], np.r_[without.intercept_, without.coef_])
    np.testing.assert_array_equal(zeroed.covariance_, without.covariance_)
    np.testing.assert_array_equal(zeroed.weights_[keep], without.weights_)


@pytest.mark.parametrize("Estimator, params, data, seed", [
    (RobustLinearRegressor, {}, line_with_outliers, 11),
    (RobustPolynomialRegressor, dict(degree=3), cubic, 12),
    (RobustPolynomialRegressor, dict(degree="auto", max_degree=5), cubic, 13),
])
def test_integer_weights_act_as_repeated_samples(Estimator, params, data, seed):
    """Weights k_i fit as the data with sample i repeated k_i times: the coefficients agree within
    the fits' own standard errors, the same samples are flagged, and with degree="auto" the same
    degree wins."""
    X, y, bad = data()
    k = np.random.default_rng(seed).integers(1, 4, len(y))
    weighted = Estimator(**params, **FAST).fit(X, y, sample_weight=k)
    repeated = Estimator(**params, **FAST).fit(np.repeat(X, k, axis=0), np.repeat(y, k))
    est = np.r_[weighted.intercept_, weighted.coef_]
    est_rep = np.r_[repeated.intercept_, repeated.coef_]
    se_rep = np.r_[repeated.intercept_stderr_, repeated.stderr_]
    assert np.all(np.abs(est - est_rep) <= 1.0 * se_rep), (est, est_rep, se_rep)
    # the weighted fit's errors count each sample once: larger by about sqrt(mean weight)
    se = np.r_[weighted.intercept_stderr_, weighted.stderr_]
    np.testing.assert_allclose(se / se_rep, np.sqrt(k.mean()), rtol=0.15)
    np.testing.assert_allclose(weighted.scale_, repeated.scale_, rtol=0.1)
    last_copy = np.cumsum(k) - 1
    assert np.count_nonzero(weighted.inlier_mask_ != repeated.inlier_mask_[last_copy]) <= 2
    assert not np.any(weighted.inlier_mask_[bad])
    if params.get("degree") == "auto":
        assert weighted.degree_ == repeated.degree_ == 3


def test_weighted_fit_on_clean_data_is_weighted_least_squares():
    """Clean normal errors: nothing is rejected, and the fit, its scale and its covariance are
    those of weighted least squares (statsmodels' WLS)."""
    rng = np.random.default_rng(3)
    n = 120
    X = rng.normal(size=(n, 2))
    w = rng.uniform(0.5, 4.0, n)
    y = 1.0 + X @ [0.5, -2.0] + rng.normal(0, 1.0, n)
    model = RobustLinearRegressor(**FAST).fit(X, y, sample_weight=w)
    assert np.all(model.weights_ == 1)
    wls = sm.WLS(y, sm.add_constant(X), weights=w).fit()
    np.testing.assert_allclose(np.r_[model.intercept_, model.coef_], wls.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(model.covariance_, wls.cov_params(), rtol=1e-8)
    np.testing.assert_allclose(model.scale_, np.sqrt(wls.scale * n / w.sum()), rtol=1e-9)


def test_weights_decide_the_majority():
    """The rows are split 55/45, but the 45 % carry three quarters of the weight: the weighted fit
    follows them, the unweighted one the 55 %."""
    rng = np.random.default_rng(4)
    n = 200
    x = rng.uniform(-1, 1, n)
    a = np.arange(n) < 110
    y = np.where(a, 1.0 + 2.0 * x, -1.0 - 1.0 * x) + rng.normal(0, 0.05, n)
    w = np.where(a, 1.0, 110 * 3.0 / 90)
    plain = RobustLinearRegressor(**FAST).fit(x[:, None], y)
    weighted = RobustLinearRegressor(**FAST).fit(x[:, None], y, sample_weight=w)
    np.testing.assert_allclose(plain.coef_, [2.0], atol=0.05)
    np.testing.assert_allclose(weighted.coef_, [-1.0], atol=0.05)
    apart = np.abs(3.0 * x + 2.0) > 0.5  # away from where the lines cross
    np.testing.assert_array_equal(weighted.inlier_mask_[apart], ~a[apart])


def test_weighted_pieces_count_a_row_w_times():
    """Integer prior weights in the M-scale, the scale of the kept rows and the rejection rule
    give what the repeated rows give."""
    rng = np.random.default_rng(0)
    r = np.r_[rng.normal(size=60), rng.normal(8.0, 1.0, 12)]
    k = rng.integers(1, 5, r.size).astype(float)
    rep = np.repeat(r, k.astype(int))
    s = m_scale(r, 3, sw=k)
    np.testing.assert_allclose(s, m_scale(rep, 3), rtol=1e-9)
    # the equation itself: sum w chi(r / s) = b (sum w - p)
    np.testing.assert_allclose(np.dot(k, S_LOSS.chi(r / s)), S_BREAKDOWN * (k.sum() - 3), rtol=1e-9)
    keep = (np.abs(r) < 4).astype(float)
    tau = np.full(r.size, 0.9)
    np.testing.assert_allclose(kept_scale(r, keep, tau, 4.0, sw=k),
                               kept_scale(rep, np.repeat(keep, k.astype(int)), np.full(rep.size, 0.9), 4.0))
    t = np.abs(r)
    n_out = adaptive_rejections(t, 50.0, sw=k)
    order = np.argsort(t, kind="stable")
    assert k[order][::-1][:n_out].sum() == adaptive_rejections(np.abs(rep), 50.0)


@pytest.mark.parametrize("weights, message", [
    (lambda n: -np.ones(n), "Negative values in data passed to `sample_weight`"),
    (lambda n: np.r_[np.nan, np.ones(n - 1)], "NaN"),
    (lambda n: np.r_[np.inf, np.ones(n - 1)], "infinity"),
    (lambda n: np.ones(n - 1), r"sample_weight.shape == \(39,\), expected \(40,\)"),
    (lambda n: np.ones((n, 1)), "1D array"),
    (lambda n: np.zeros(n), "at least one non-zero"),
    (lambda n: np.r_[1.0, np.zeros(n - 1)], "at least 2 samples of positive sample_weight"),
])
def test_bad_weights_raise_and_leave_the_estimator_as_it_was(weights, message):
    X, y, _ = line_with_outliers(n=40)
    model = RobustLinearRegressor(**FAST).fit(X, y)
    before = model.coef_.copy()
    with pytest.raises(ValueError, match=message):
        model.fit(X[::-1], y[::-1] + 1, sample_weight=weights(len(y)))
    np.testing.assert_array_equal(model.coef_, before)


def test_weights_with_exact_and_penalised_fits():
    """A noiseless line with unequal weights stays exact (flags nothing); one sample holding more
    than half of the weight is the majority: the fit passes through it, with NaN standard errors
    and a warning that says why; penalties keep working with weights."""
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, 50)
    y = 1 + 2 * x + rng.normal(0, 0.1, 50)
    w = np.ones(50)
    w[0] = 60.0
    with pytest.warns(ExactFitWarning, match="1 of 50 samples, with 55% of the total sample_weight"):
        heavy = RobustLinearRegressor(**FAST).fit(x[:, None], y, sample_weight=w)
    assert heavy.scale_ == 0 and np.all(np.isnan(heavy.stderr_))
    assert abs(heavy.predict(x[:1, None])[0] - y[0]) < 1e-9
    x = np.linspace(0, 1, 50)
    w = np.linspace(0.5, 2, 50)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exact = RobustLinearRegressor(**FAST).fit(x[:, None], 2 * x + 1, sample_weight=w)
    assert np.all(exact.inlier_mask_)
    np.testing.assert_allclose([exact.intercept_, exact.coef_[0]], [1, 2], atol=1e-9)
    X, y, bad = cubic()
    smooth = RobustPolynomialRegressor(5, gamma2=1e-3, **FAST).fit(X, y, sample_weight=1 + (X[:, 0] > 0))
    assert not np.any(smooth.inlier_mask_[bad]) and np.all(np.isfinite(smooth.stderr_))


def repeated_rows_fixture(n=90, seed=7):
    """A standardised cubic design with 15 % outliers, and integer weights."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    Phi = np.polynomial.legendre.legvander(x, 3)
    z = 0.2 + 0.5 * x - 0.4 * x**3 + rng.normal(0, 0.05, n)
    bad = rng.random(n) < 0.15
    z[bad] += rng.uniform(1, 2, bad.sum())
    k = rng.integers(1, 4, n)
    return Phi, z, k


def test_s_stage_and_final_step_with_integer_weights_are_those_of_repeated_rows():
    """Exact concentration steps, the S-fit and the final step (M-step, rejection, least squares on
    the kept rows) weighted by integer k give what the rows repeated k times give."""
    Phi, z, k = repeated_rows_fixture()
    Phi_rep, z_rep = np.repeat(Phi, k, axis=0), np.repeat(z, k)
    sw = k.astype(float)
    pen = Penalty()
    B0 = np.linalg.lstsq(Phi[::3], z[::3], rcond=None)[0][None, :].repeat(2, axis=0)
    B0[1, 0] += 1.0  # a start on the outliers' side
    B_w, s_w = s_concentrate(Phi, z, B0.copy(), pen, 4, 3, exact=True, sw=sw)
    B_r, s_r = s_concentrate(Phi_rep, z_rep, B0.copy(), pen, 4, 3, exact=True)
    np.testing.assert_allclose(B_w, B_r, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(s_w, s_r, rtol=1e-9)

    starts = list(B0)
    fit_w = s_estimate(Phi, z, starts, pen, 4, sw=sw)
    fit_r = s_estimate(Phi_rep, z_rep, starts, pen, 4)
    np.testing.assert_allclose(fit_w.scale, fit_r.scale, rtol=1e-6)
    np.testing.assert_allclose(fit_w.beta, fit_r.beta, atol=1e-6)

    final_w = final_step(Phi, z, fit_w, pen, 4, 4.685, 1e-10, 500, sw=sw)
    final_r = final_step(Phi_rep, z_rep, fit_w, pen, 4, 4.685, 1e-10, 500)
    np.testing.assert_allclose(final_w.beta, final_r.beta, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(final_w.sigma, final_r.sigma, rtol=1e-9)
    np.testing.assert_array_equal(np.repeat(final_w.weights, k), final_r.weights)
    assert 0 < np.count_nonzero(final_w.weights == 0) < len(z) // 4
    # the M-step's first-order conditions with the prior weights: sum sw w psi-weights r phi = 0
    beta, w, _, converged = m_step(Phi, z, fit_w.beta, fit_w.scale, 4.685, pen, 1e-12, 500, sw)
    assert converged
    np.testing.assert_allclose(Phi.T @ (sw * w * (z - Phi @ beta)), 0.0, atol=1e-9)


def test_degree_scores_with_integer_weights_are_those_of_repeated_rows():
    """The common scale and each candidate's deviance weighted by integer k are those of the
    repeated rows (the price per coefficient counts rows, so it is taken out)."""
    Phi, z, k = repeated_rows_fixture(n=120)
    sw = k.astype(float)
    rep = np.repeat(np.arange(len(z)), k)

    def candidates(P):  # the same fits on both sides: least squares on the first half of the rows
        return [Candidate(d, [d], [(j,) for j in range(d + 1)], P[:, :d + 1], Penalty(),
                          np.linalg.lstsq(Phi[:60, :d + 1], z[:60], rcond=None)[0]) for d in range(4)]

    scores_w, s_w = degree_scores(candidates(Phi), z, 4.685, sw)
    scores_r, s_r = degree_scores(candidates(Phi[rep]), z[rep], 4.685)
    np.testing.assert_allclose(s_w, s_r, rtol=1e-9)
    _, k_scale = common_scale(candidates(Phi), z, sw)
    price_w, price_r = coef_price(len(z), len(z) - k_scale), coef_price(len(rep), len(rep) - k_scale)
    for d in scores_w:
        np.testing.assert_allclose(scores_w[d] - price_w * (d + 1), scores_r[d] - price_r * (d + 1), rtol=1e-8)
