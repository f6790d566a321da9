"""A fit that does not finish leaves the estimator as it was, and fits in threads leave the
process's thread pools as they were while keeping their bits."""

import signal
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

from zelk import RobustPolynomialRegressor  # noqa: E402

FAST = dict(n_chains=10, n_warmup=100, n_deep=400)


def data(n=200, seed=0, scale=1.0, shift=0.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    y = 1.0 + x - 0.5 * x**2 + rng.normal(0, 0.05, n)
    y[rng.random(n) < 0.2] += 3.0
    return (scale * x + shift)[:, None], 7.0 * y - 2.0


def snapshot(model):
    return {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in vars(model).items()}


def assert_same_state(model, before):
    now = vars(model)
    assert now.keys() == before.keys()
    for k, v in before.items():
        if isinstance(v, np.ndarray):
            np.testing.assert_array_equal(now[k], v, err_msg=k)
        else:
            assert now[k] == v, k


def pools():
    return sorted((i["filepath"], i["num_threads"]) for i in threadpool_info() if i["user_api"] in ("blas", "openmp"))


class Alarm(Exception):
    pass


def fail_by_parameter(model, X, y):
    # One feature, two degrees: found only after the new centring and scaling were computed.
    model.set_params(degree=[1, 2])
    with pytest.raises(ValueError, match="one non-negative int per feature"):
        model.fit(X, y)


def fail_by_alarm(model, X, y):
    """An alarm whose handler raises, a third of the way into the fit."""
    model.set_params(degree="auto", max_degree=5)
    start = time.perf_counter()
    clone(model).fit(X, y)
    seconds = time.perf_counter() - start

    def ring(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds / 3)
        with pytest.raises(Alarm):
            model.fit(X, y)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("fail", [fail_by_parameter, fail_by_alarm])
def test_a_refit_that_does_not_finish_leaves_the_model_as_it_was(fail):
    X1, y1 = data()
    X2, y2 = data(seed=1, scale=10.0, shift=3.0)
    model = RobustPolynomialRegressor(degree=2, random_state=0, **FAST).fit(X1, y1)
    prediction, before, threads = model.predict(X1), snapshot(model), pools()

    fail(model, X2, y2)

    params = model.get_params()
    model.set_params(**{k: before[k] for k in params})
    assert_same_state(model, before)
    np.testing.assert_array_equal(model.predict(X1), prediction)
    assert pools() == threads
    # and it still fits as a fresh estimator does, to the bit
    fresh = RobustPolynomialRegressor(degree=2, random_state=0, **FAST)
    np.testing.assert_array_equal(model.fit(X2, y2).coef_, fresh.fit(X2, y2).coef_)


@pytest.mark.parametrize("fail", [fail_by_parameter, fail_by_alarm])
def test_a_first_fit_that_does_not_finish_leaves_the_model_unfitted(fail):
    model = RobustPolynomialRegressor(random_state=0, **FAST)
    fail(model, *data())
    assert not [k for k in vars(model) if k.endswith("_") or k.startswith("_x")]
    with pytest.raises(NotFittedError):
        model.predict(np.zeros((1, 1)))


def test_a_refit_replaces_everything_the_previous_fit_set():
    X, y = data()
    model = RobustPolynomialRegressor(degree="auto", max_degree=3, random_state=0, **FAST).fit(X, y)
    assert hasattr(model, "degree_scores_")
    model.set_params(degree=2).fit(X, y)
    assert not hasattr(model, "degree_scores_")


def test_fits_in_threads_leave_the_pools_as_they_were_and_keep_their_bits():
    X, y = data()
    seeds = list(range(16))
    alone = [RobustPolynomialRegressor(degree=2, random_state=s, **FAST).fit(X, y).coef_ for s in seeds]

    def fit(seed):
        if seed == 5:  # one fit fails in the middle of the others
            with pytest.raises(ValueError):
                RobustPolynomialRegressor(degree=[1, 1], random_state=seed, **FAST).fit(X, y)
        return RobustPolynomialRegressor(degree=2, random_state=seed, **FAST).fit(X, y).coef_

    with threadpool_limits(limits=2, user_api="blas"):
        before = pools()
        for _ in range(2):
            with ThreadPoolExecutor(4) as pool:
                together = list(pool.map(fit, seeds))
            assert pools() == before
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(a, b)
