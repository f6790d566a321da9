"""Description-length score, with and without penalties."""

import math

import numpy as np
import pytest

import zelk_core as z


def np_score(yp, yt, k, H=20, beta=None, R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    """The score written out in NumPy."""
    yp, yt = np.asarray(yp, float), np.asarray(yt, float)
    n = len(yt)
    m = float(np.median(np.abs(yt - np.median(yt)))) if n else 0.0
    eps = 0.4 * m if m > 0 else 0.4
    sr = max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1 / (2 * n))
    logHk = k * math.log(2 * H) if k > 0 else 0.0
    L = -n * math.log(sr) + logHk / n * k
    if gamma1 != 0 and R1 is not None:
        L += gamma1 * beta @ (R1 @ beta)
    if gamma2 != 0 and R2 is not None:
        L += gamma2 * beta @ (R2 @ beta)
    return L


def test_worked_values():
    n = 10
    y = np.arange(n, dtype=float)
    assert z.mdl_score(y, y, 0) == 0.0                                  # all hits, sr = 1
    assert z.mdl_score(y + 100, y, 0) == pytest.approx(n * math.log(2 * n), rel=1e-15)
    assert z.mdl_score([0.3, 1.5, 2, 3], [0, 1, 2, 3], 0) == pytest.approx(-4 * math.log(0.75), rel=1e-15)
    # k = 2, H = 20, n = 10 adds 0.4 ln 40
    assert z.mdl_score(y, y, 2, 20) == pytest.approx(0.4 * math.log(40), rel=1e-15)
    assert z.mdl_score(y, y, 2) == z.mdl_score(y, y, 2, 20)            # default H
    assert z.mdl_score(y + 100, y, -3) == z.mdl_score(y + 100, y, 0)   # k <= 0: no complexity


def test_constant_targets_use_the_fallback_tolerance():
    yt = np.full(4, 5.0)
    assert z.mdl_score([5.39, 5.39, 5.41, 4.0], yt, 0) == pytest.approx(-4 * math.log(0.5), rel=1e-15)


def test_non_finite_cases():
    y = np.arange(4.0)
    assert math.isnan(z.mdl_score([], [], 0))
    assert z.mdl_score(y, y, 2, 0) == -math.inf         # ln(0) in the complexity term
    assert math.isnan(z.mdl_score(y, y, 2, -1))


def test_agrees_with_numpy(rng):
    for n, k, H in [(1, 1, 20), (7, 3, 5), (1000, 4, 20), (100_001, 10, 7)]:
        yt = rng.standard_normal(n)
        yp = yt + rng.standard_normal(n) * 0.3
        assert z.mdl_score(yp, yt, k, H) == pytest.approx(np_score(yp, yt, k, H), rel=1e-14, abs=1e-12)


@pytest.fixture
def problem(rng):
    n, p = 50, 6
    yt = rng.standard_normal(n)
    yp = yt + 0.4 * rng.standard_normal(n)
    beta = rng.standard_normal(p)
    R1, R2 = rng.standard_normal((p, p)), rng.standard_normal((p, p))  # not symmetric
    return yp, yt, p, beta, R1, R2


@pytest.mark.parametrize("gamma1, gamma2", [(0.0, 0.0), (0.7, 0.0), (0.0, 1.3), (0.7, 1.3), (-2.0, 0.5)])
def test_penalties_agree_with_numpy(problem, gamma1, gamma2):
    yp, yt, p, beta, R1, R2 = problem
    got = z.mdl_score_reg(yp, yt, p, 20, beta, R1, R2, gamma1, gamma2)
    want = np_score(yp, yt, p, 20, beta, R1, R2, gamma1, gamma2)
    assert got == pytest.approx(want, rel=1e-14)


def test_penalty_rules(problem):
    yp, yt, p, beta, R1, R2 = problem
    plain = z.mdl_score(yp, yt, p)
    assert z.mdl_score_reg(yp, yt, p, 20, beta, R1, R2) == plain          # weights default to 0
    assert z.mdl_score_reg(yp, yt, p, 20, beta, np.eye(p), R2, 1.0, 0.0) == pytest.approx(
        plain + beta @ beta, rel=1e-15)
    assert math.isnan(z.mdl_score_reg(yp, yt, p, 20, beta, R1, R2, math.nan, 0.0))
    # A matrix whose weight is 0 is never read, so its shape does not matter.
    assert z.mdl_score_reg(yp, yt, p, 20, beta, np.ones((2, 3)), R2, 0.0, 1.0) == pytest.approx(
        plain + beta @ R2 @ beta, rel=1e-14)
    # Zero coefficients with zero-row penalties contribute nothing.
    assert z.mdl_score_reg(yp, yt, 0, 20, np.empty(0), np.empty((0, 0)), np.empty((0, 0)), 1.0, 1.0) == \
        z.mdl_score(yp, yt, 0)


def test_reg_needs_H_and_matrices():
    y = [1.0, 2.0]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        z.mdl_score_reg(y, y, 1)                                           # no H
    with pytest.raises(TypeError, match="incompatible function arguments"):
        z.mdl_score_reg(y, y, 1, 20, [0.0], None, [[1.0]])                 # None is not a matrix


@pytest.mark.parametrize("call, message", [
    (lambda: z.mdl_score([1.0], [1.0, 2.0], 0), "yp has 1 entry, fewer than the 2 entries of yt"),
    (lambda: z.mdl_score_reg([1.0], [1.0, 2.0], 0, 20, [0.0], [[1.0]], [[1.0]]), "yp has 1"),
    (lambda: z.mdl_score_reg([1.0], [1.0], 1, 20, [1.0, 2.0], np.eye(3), np.eye(2), 1.0, 0.0),
     "R1 must be 2 x 2 to match the coefficients, got 3 x 3"),
    (lambda: z.mdl_score_reg([1.0], [1.0], 1, 20, [1.0, 2.0], np.eye(2), np.ones((2, 1)), 0.0, 1.0),
     "R2 must be 2 x 2 to match the coefficients, got 2 x 1"),
])
def test_shape_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_longer_yp_uses_only_the_first_entries():
    yt = np.arange(6.0)
    assert z.mdl_score(np.r_[yt, 1e9, 1e9], yt, 1) == z.mdl_score(yt, yt, 1)
