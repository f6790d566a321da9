"""zelk.robust_scorer: picks the true degree where R² does not, cannot be gamed through the scale a
model claims, and works where scikit-learn takes a scorer."""

import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.linear_model import LinearRegression  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from scipy import stats  # noqa: E402

import zelk  # noqa: E402
from zelk import RobustPolynomialRegressor, RobustScorer, robust_scorer  # noqa: E402

FAST = dict(n_chains=10, n_warmup=100, n_deep=400)


def cubic(n=200, noise=0.1, seed=0):
    rng = np.random.default_rng([n, int(noise * 1000), seed])
    x = rng.uniform(-1, 1, n)
    y = 0.3 - 0.6 * x + 0.2 * x**2 + 0.5 * x**3 + rng.normal(0, noise, n)
    bad = rng.random(n) < 0.1
    y[bad] += rng.uniform(2, 5, bad.sum())
    return x[:, None], y


def test_grid_search_over_the_degree_picks_the_cubic_where_r2_does_not():
    X, y = cubic(seed=3)  # one draw where R² is misled (how often: benchmarks/bench_scorer.py)
    search = GridSearchCV(RobustPolynomialRegressor(random_state=0, **FAST), {"degree": [1, 2, 3, 4, 5]},
                          scoring={"r2": "r2", "robust": zelk.robust_scorer}, refit="robust",
                          cv=KFold(5, shuffle=True, random_state=0)).fit(X, y)
    picked = {k: search.param_grid["degree"][int(np.argmax(search.cv_results_[f"mean_test_{k}"]))]
              for k in ("r2", "robust")}
    assert picked == {"r2": 4, "robust": 3}
    assert search.best_estimator_.degree_ == 3


class Claimed:
    """A fitted model reduced to what a scorer sees: predictions and a claimed scale."""

    def __init__(self, predictions, scale):
        self.predictions, self.scale_ = predictions, scale

    def predict(self, X):
        return self.predictions


def test_a_model_gains_nothing_by_misstating_its_scale():
    rng = np.random.default_rng(1)
    truth = rng.uniform(-1, 1, 400)
    y = truth + rng.normal(0, 0.1, 400)
    y[:40] += 4.0
    honest = robust_scorer(Claimed(truth, 0.1), None, y)
    garbage = truth + rng.normal(0, 1.0, 400)
    for liar in [Claimed(truth, 1.0), Claimed(truth, 0.01), Claimed(garbage, 1e-6), Claimed(garbage, 0.0)]:
        assert robust_scorer(liar, None, y) < honest
    # a perfect model of noiseless targets that claims an exact fit is the best there is
    assert robust_scorer(Claimed(truth, 0.0), None, truth) > robust_scorer(Claimed(truth, 0.1), None, truth)


def test_the_loss_is_the_contaminated_normal_log_score_and_bounded():
    r = np.array([0.0, 0.05, -0.2, 0.4, 1e3, -1e9])
    loss = robust_scorer.loss(r, 0.1, 5.0)
    R = 1e9  # the range grows to the largest residual
    expected = -np.log(0.9 * stats.norm.pdf(r, scale=0.1) + 0.1 / R)
    np.testing.assert_allclose(loss, expected, rtol=1e-12)
    assert loss[-1] == loss[-2] == pytest.approx(np.log(R / 0.1))
    assert np.isnan(robust_scorer.loss(r, np.nan, 5.0)).all()


def test_works_in_pipelines_cross_validation_and_pickle():
    X, y = cubic(n=120, seed=2)
    pipe = make_pipeline(StandardScaler(), RobustPolynomialRegressor(3, random_state=0, **FAST))
    scores = cross_val_score(pipe, X, y, cv=3, scoring=robust_scorer)
    assert np.all(np.isfinite(scores))
    again = pickle.loads(pickle.dumps(robust_scorer))
    fitted = pipe.fit(X, y)
    assert again(fitted, X, y) == robust_scorer(fitted, X, y)
    # weights: a zero weight leaves a sample out
    w = np.r_[np.zeros(20), np.ones(100)]
    assert robust_scorer(fitted, X, y, sample_weight=w) == pytest.approx(
        -np.mean(robust_scorer.loss(y[20:] - fitted.predict(X[20:]), fitted[-1].scale_, np.ptp(y))))
    assert repr(robust_scorer) == "robust_scorer" and repr(RobustScorer(eps=0.2)) == "RobustScorer(eps=0.2)"


def test_refuses_estimators_without_a_scale_and_bad_settings():
    X, y = cubic(n=60)
    with pytest.raises(TypeError, match=r"scale_.*got LinearRegression"):
        robust_scorer(LinearRegression().fit(X, y), X, y)
    for eps in (0, 1, -0.5, np.nan, True):
        with pytest.raises(ValueError, match="eps must be a number between 0 and 1"):
            RobustScorer(eps=eps)
