"""Median absolute deviation and success rate."""

import numpy as np
import pytest

import zelk_core as z


def np_mad(y):
    y = np.asarray(y, dtype=float)
    if y.size == 0:
        return 0.0
    return float(np.median(np.abs(y - np.median(y))))


@pytest.mark.parametrize("y, expected", [
    ([], 0.0),
    ([5.0], 0.0),
    ([1, 2, 3, 4], 1.0),
    ([1, 1, 1, 100], 0.0),
    ([1, 2, 3, 4, 100], 1.0),
    ([-3.0, 3.0], 3.0),
    ([7.0] * 10, 0.0),
])
def test_mad_worked_values(y, expected):
    assert z.mad(y) == expected


def samples(rng):
    """Data sets that exercise both selection paths (small, and radix for large n)."""
    yield "normal-odd", rng.standard_normal(10_001)
    yield "normal-even", rng.standard_normal(10_000)
    yield "small", rng.standard_normal(7)
    yield "ties", rng.integers(-5, 6, size=20_000).astype(float)
    yield "constant", np.full(9_000, 2.5)
    yield "zeros-both-signs", np.where(rng.random(8_000) < 0.5, -0.0, 0.0)
    yield "narrow", 1.0 + rng.random(50_000) * 1e-12           # one radix bucket, several levels
    yield "heavy-tail", rng.standard_cauchy(30_000) * 1e200
    yield "with-inf", np.concatenate([rng.standard_normal(5_000), [np.inf, -np.inf, np.inf]])
    yield "tiny", rng.standard_normal(6_000) * 1e-310          # subnormals
    yield "outliers", np.concatenate([rng.normal(0, 1, 9_000), rng.normal(0, 1e6, 1_000)])
    yield "sorted", np.arange(100_000, dtype=float)


def test_mad_equals_numpy_exactly(rng):
    for name, y in samples(rng):
        assert z.mad(y) == np_mad(y), name


def test_mad_of_data_with_nan_is_nan():
    assert np.isnan(z.mad([1.0, np.nan, 3.0]))
    assert np.isnan(z.mad(np.r_[np.arange(10_000.0), np.nan]))
    assert np.isnan(z.mad([np.inf, 1.0, 2.0, np.inf]))  # inf - inf in the deviations


def test_compute_sr_worked_values():
    assert z.compute_sr([0, 0, 0, 0], [0, 0.5, 1, 2], 0.5) == 0.25
    assert z.compute_sr([9, 9, 9, 9], [0, 0, 0, 0], 0.5) == 0.125    # floor 1/(2n)
    assert z.compute_sr([1, 2, 3], [1, 2, 3], 0.5) == 1.0
    assert z.compute_sr([1, 2, 3], [1, 2, 3], 0.0) == 1 / 6          # strict: eps 0 hits nothing
    assert z.compute_sr([1, 2, 3], [1, 2, 3], -1.0) == 1 / 6
    assert np.isnan(z.compute_sr([], [], 0.5))
    assert z.compute_sr([0, 0, 5, 5, 5], [0, 0], 0.5) == 1.0           # longer yp: only len(yt)
    assert z.compute_sr([0.0, np.nan], [0.0, 0.0], 0.5) == 0.5         # NaN error: no hit
    assert z.compute_sr([0.0, 0.0], [0.0, 0.0], np.nan) == 0.25        # NaN eps: no hit
    assert z.compute_sr([np.inf], [np.inf], 1.0) == 0.5                # inf - inf is NaN


@pytest.mark.parametrize("n", [1, 3, 4, 5, 17, 1000, 100_003])
def test_compute_sr_equals_numpy(rng, n):
    yt = rng.standard_normal(n)
    yp = yt + rng.standard_normal(n) * 0.5
    eps = 0.3
    sr = np.count_nonzero(np.abs(yp - yt) < eps) / n
    assert z.compute_sr(yp, yt, eps) == max(sr, 1 / (2 * n))


def test_compute_sr_with_short_yp_is_refused():
    with pytest.raises(ValueError, match="yp has 2 entries, fewer than the 3 entries of yt"):
        z.compute_sr([1.0, 2.0], [1.0, 2.0, 3.0], 0.1)
    with pytest.raises(ValueError):
        z.compute_sr([], [1.0], 0.1)
