"""The robust fit on many rows (zelk/_large.py): the S-stage on a subsample, everything else on
all rows in the kernels. The threshold is lowered through the module's constants so that the
path runs on a few thousand rows; its exact pieces are checked against the full path's own."""

import numpy as np
import pytest

pytest.importorskip("sklearn")

from zelk import RobustPolynomialRegressor, _basis, _large  # noqa: E402
from zelk._final import reject_largest, residual_factors  # noqa: E402
from zelk._linalg import Penalty  # noqa: E402

P = np.polynomial.polynomial


@pytest.fixture
def large_from(monkeypatch):
    """Sends fits above ``n`` rows down the large-n path (subsample of 800 rows), counting them."""
    calls = []
    real = _large.large_robust_fit

    def spy(*args, **kwargs):
        calls.append(args[1].size)
        return real(*args, **kwargs)

    def set_threshold(n):
        monkeypatch.setattr(_large, "LARGE_N", n)
        monkeypatch.setattr(_large, "SUBSAMPLE", 800)
        monkeypatch.setattr(_large, "large_robust_fit", spy)
        return calls
    return set_threshold


def cubic(n, share, kind, seed, sigma=0.05):
    rng = np.random.default_rng([22, n, seed])
    truth = np.array([0.3, -0.6, 0.2, 0.5])
    x = rng.uniform(-1, 1, n)
    y = P.polyval(x, truth) + rng.normal(0, sigma, n)
    bad = np.zeros(n, bool)
    bad[rng.choice(n, int(share * n), replace=False)] = True
    idx = np.flatnonzero(bad)
    shift = rng.uniform(1, 4, idx.size)
    if kind == "one-sided":
        y[idx] += shift
    elif kind == "two-sided":
        y[idx] += rng.choice([-1.0, 1.0], idx.size) * shift
    else:  # leverage: half to each end of the range, shifted away from the curve
        hi, lo = idx[: idx.size // 2], idx[idx.size // 2:]
        x[hi] = rng.uniform(0.9, 1.0, hi.size)
        x[lo] = rng.uniform(-1.0, -0.9, lo.size)
        y[idx] = P.polyval(x[idx], truth) + rng.normal(0, sigma, idx.size)
        y[hi] -= shift[: hi.size]
        y[lo] += shift[hi.size:]
    return x, y, truth, ~bad


def rms_to_truth(model, x, truth, good):
    return np.sqrt(np.mean((model.predict(x[good, None]) - P.polyval(x[good], truth)) ** 2))


def oracle_rms(x, y, truth, good):
    return np.sqrt(np.mean((P.polyval(x[good], P.polyfit(x[good], y[good], 3)) - P.polyval(x[good], truth)) ** 2))


def test_large_path_agrees_with_the_full_one(large_from):
    """10 % outliers, where both are right: the same fit to a small part of its own standard
    error, the same outliers flagged, and as close to the truth."""
    x, y, truth, good = cubic(3000, 0.1, "one-sided", seed=0)
    full = [RobustPolynomialRegressor(3, random_state=s).fit(x[:, None], y) for s in range(3)]
    calls = large_from(2000)
    large = [RobustPolynomialRegressor(3, random_state=s).fit(x[:, None], y) for s in range(3)]
    assert calls == [3000] * 3
    oracle = oracle_rms(x, y, truth, good)
    grid = np.linspace(-1, 1, 101)[:, None]
    for f, g in zip(full, large):
        assert rms_to_truth(g, x, truth, good) < 1.05 * oracle
        # the standard error of a prediction is about sigma sqrt(p / n) = 0.002
        assert np.max(np.abs(f.predict(grid) - g.predict(grid))) < 0.1 * 0.05 * np.sqrt(4 / good.sum())
        np.testing.assert_array_equal(f.inlier_mask_, g.inlier_mask_)
        assert g.scale_ == pytest.approx(f.scale_, rel=1e-3)
        assert g.s_scale_ == pytest.approx(f.s_scale_, rel=0.02)


def test_large_path_is_reproducible(large_from):
    x, y, _, _ = cubic(3000, 0.2, "two-sided", seed=1)
    calls = large_from(2000)
    a, b = (RobustPolynomialRegressor(3, random_state=7).fit(x[:, None], y) for _ in range(2))
    assert len(calls) == 2
    for name in ("coef_", "intercept_", "scale_", "s_scale_", "inlier_mask_", "stderr_", "restart_scales_"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))


@pytest.mark.parametrize("kind", ["one-sided", "two-sided", "leverage"])
def test_large_path_handles_45_percent_outliers(large_from, kind):
    x, y, truth, good = cubic(4000, 0.45, kind, seed=2, sigma=0.1)
    calls = large_from(2000)
    model = RobustPolynomialRegressor(3, random_state=3).fit(x[:, None], y)
    assert calls == [4000]
    assert rms_to_truth(model, x, truth, good) < 1.3 * oracle_rms(x, y, truth, good)
    assert np.mean(model.inlier_mask_ == good) > 0.98
    assert model.scale_ == pytest.approx(0.1, rel=0.1)


def test_rejection_on_the_tail_equals_the_full_rule():
    """_Rows.reject (leverages of the rows near the threshold only, the tail sorted in parts)
    rejects exactly the rows _final.reject_largest rejects, at the same cut, ties included."""
    rng = np.random.default_rng(8)
    n = 20000
    Phi = np.polynomial.legendre.legvander(rng.uniform(-1, 1, n), 3)
    for share, weights in [(0.0, "bisquare"), (0.1, "keep"), (0.3, "bisquare"), (0.3, "keep")]:
        r = rng.normal(0, 1, n)
        bad = rng.random(n) < share
        r[bad] = rng.choice([3.0, 4.5, 8.0, 30.0], bad.sum())  # ties among the outliers
        if weights == "keep":
            w = (np.abs(r) < 10.0).astype(float)
        else:
            w = np.clip(1.0 - (r / 4.685) ** 2, 0.0, None) ** 2
        G = (Phi.T * w) @ Phi
        rows = _large._Rows(Phi, np.zeros(n), Penalty(), 4, None)
        out, cut = rows.reject(G, int(np.count_nonzero(w)), w.__getitem__, r, 0.9)
        tau, dof = residual_factors(Phi, w, None)
        keep, want_cut = reject_largest(np.abs(r) / (0.9 * np.maximum(tau, 1e-8)), dof)
        np.testing.assert_array_equal(out, np.flatnonzero(keep == 0))
        assert cut == pytest.approx(want_cut, rel=1e-12)


@pytest.mark.parametrize("kind", ["uniform", "sorted", "ties", "cauchy", "constant"])
def test_selection_gives_numpys_quantiles_to_the_bit(monkeypatch, kind):
    monkeypatch.setattr(_basis, "SELECT_ROWS", 1000)
    monkeypatch.setattr(_basis, "_SELECT_SAMPLE", 256)
    rng = np.random.default_rng(9)
    for n in (5001, 5002):
        a = {"uniform": rng.uniform(-1, 1, n), "sorted": np.sort(rng.normal(size=n)),
             "ties": rng.integers(0, 4, n).astype(float), "cauchy": rng.standard_cauchy(n),
             "constant": np.full(n, 2.5)}[kind]
        X = np.column_stack([a, rng.normal(size=n)])
        center, scale = _basis.robust_center_scale(X)
        np.testing.assert_array_equal(center, np.median(X, axis=0))
        if kind != "constant":
            np.testing.assert_array_equal(scale, _basis.MAD_TO_SD * np.median(np.abs(X - center), axis=0))
        lo_hi = np.array([_basis._percentiles(col, [2.5, 97.5]) for col in X.T]).T
        np.testing.assert_array_equal(lo_hi, np.percentile(X, [2.5, 97.5], axis=0))


def test_weighted_fits_take_the_full_path_and_agree_with_repeated_rows(large_from):
    """The large-n path counts rows, so a weighted fit goes down the full path; with integer
    weights it agrees with the repeated rows, which go down the large one."""
    calls = large_from(1500)
    x, y, truth, good = cubic(1200, 0.2, "one-sided", 3)
    k = np.random.default_rng(5).integers(1, 4, x.size)
    weighted = RobustPolynomialRegressor(3, random_state=0).fit(x[:, None], y, sample_weight=k)
    assert calls == []
    repeated = RobustPolynomialRegressor(3, random_state=0).fit(np.repeat(x, k)[:, None], np.repeat(y, k))
    assert calls == [k.sum()]
    gap = np.abs(np.r_[weighted.intercept_, weighted.coef_] - np.r_[repeated.intercept_, repeated.coef_])
    assert np.all(gap < np.r_[repeated.intercept_stderr_, repeated.stderr_])
    assert rms_to_truth(weighted, x, truth, good) < 0.02


def test_newton_m_step_reaches_the_irls_root():
    """The M-step on all rows (Newton with the subsample's correction, stopped once the steps'
    steady shrinking puts the root within tol) lands on the root that IRLS reaches at a far
    tighter tol, in fewer passes."""
    from zelk._final import m_step

    x, y, _, _ = cubic(20000, 0.1, "one-sided", seed=4)
    Phi = np.polynomial.legendre.legvander(x, 3)
    rng = np.random.default_rng(0)
    sub = np.sort(_large.sample_rows(x.size, 3000, rng))
    start = np.linalg.lstsq(Phi[sub][:200], y[sub][:200], rcond=None)[0]
    scale = 0.06
    rows = _large._Rows(Phi, y, Penalty(), 4, None)
    part = _large._Rows(Phi[sub], y[sub], Penalty(), 4, None)
    beta0, _ = _large.irls(part, start, scale, 4.685, 1e-10, 500)
    beta, G, used, n_iter, converged = _large.large_m_step(rows, beta0, scale, 4.685, 1e-10, 500, part)
    want, _, irls_iter, _ = m_step(Phi, y, beta0, scale, 4.685, Penalty(), 1e-15, 500)
    assert converged and n_iter < irls_iter
    np.testing.assert_allclose(beta, want, rtol=0, atol=1e-10)
    np.testing.assert_allclose(G, (Phi.T * _large.K.bisquare_weights(y - Phi @ beta, scale, 4.685)) @ Phi, rtol=1e-6)


def test_large_path_covariance_is_least_squares_on_the_kept_rows(large_from):
    """The covariance reuses the Gram matrix of the last least-squares fit: it must be that of
    the rows the fit kept (weights_), as NumPy computes it from them."""
    from zelk._basis import legendre_design

    x, y, _, _ = cubic(3000, 0.2, "two-sided", seed=5)
    large_from(2000)
    model = RobustPolynomialRegressor(3, random_state=1).fit(x[:, None], y)
    assert 0 < model.weights_.sum() < x.size
    U = (x[:, None] - model._x_center) / model._x_scale
    Phi = legendre_design(U, model._indices, model._degrees)
    G = (Phi.T * model.weights_) @ Phi
    T = model._y_scale * _basis.tensor_map(model._degrees, model._indices, model._x_center, model._x_scale)
    sigma = model.scale_ / model._y_scale
    want = T @ (sigma**2 * np.linalg.inv(G)) @ T.T
    np.testing.assert_allclose(model.covariance_, want, rtol=1e-9)


@pytest.mark.parametrize("k,degree,basis,spread", [(1, 3, "total", 1.05), (1, 7, "total", 0.9), (2, 3, "total", 1.3),
                                                   (3, 2, "tensor", 1.05)])
def test_legendre_row_bound_bounds_the_design_rows(k, degree, basis, spread):
    """The leverage bound of the large-n path comes from the extremes of U alone: never below
    the longest row of the design (inside [-1, 1] too), and that row's length with one feature."""
    rng = np.random.default_rng([k, degree])
    U = rng.uniform(-spread, spread, (5000, k))
    indices = _basis.multi_indices([degree] * k, basis)
    exact = _large.largest_row_norm2(_basis.legendre_design(U, indices, [degree] * k))
    bound = _basis.legendre_row_bound(U, indices)
    assert bound >= exact
    if k == 1:
        assert bound == pytest.approx(exact, rel=1e-9) if spread > 1 else exact <= bound <= (degree + 1) * (1 + 1e-9)
