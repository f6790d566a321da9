"""Scaling mode of bench_robust.py: the robust fits from a thousand to a million rows.

Data: n rows of one or three features drawn from U(-1, 1), a polynomial of total degree 3 with
coefficients drawn from U(-1, 1) per seed, noise sd 0.02, and 10 % one-sided outliers
(y + U(2, 5)). zelk fits RobustPolynomialRegressor(degree=3) on the features; the peers
(RANSACRegressor, HuberRegressor, statsmodels' RLM with TukeyBiweight, all with their defaults)
get the monomials of total degree 1..3 of the features, as a user would give them. The oracle is
least squares on the true inliers. Every method runs with one BLAS and OpenMP thread
(threadpoolctl).

Per method it prints the time per fit (the median over the seeds, CPU time of the process and
wall time: on a shared machine the CPU time is the steadier measure; a fit under a second is
timed five times and its median counts), the time over zelk's, the
RMS of fit minus truth over the inliers and that RMS over the oracle's. A peer whose time,
extrapolated linearly from the previous n, would exceed --cap seconds is not run at the larger n
(marked "capped" with the estimate).

    .venv/bin/python benchmarks/bench_robust.py --scaling                       # n = 1e3 .. 1e6
    .venv/bin/python benchmarks/bench_robust.py --scaling --ns 1000 100000 --features 1
"""

from __future__ import annotations

import os
import time
import warnings
from itertools import combinations_with_replacement

import numpy as np

DEGREE = 3
NOISE = 0.02
SHARE = 0.10
METHODS = ("zelk", "ransac", "huber", "rlm-tukey")
DEFAULT_NS = (1_000, 10_000, 100_000, 1_000_000)
# Seeds per n when --seeds is not given: the small fits are noisy and cheap.
DEFAULT_SEEDS = {1_000: 5, 10_000: 3, 100_000: 2}
REPEATS = 5
REPEAT_BELOW = 1.0


def monomials(X: np.ndarray, degree: int = DEGREE) -> np.ndarray:
    """Columns prod_d x_d^e_d for every exponent tuple of total degree 1..degree."""
    cols = [np.prod(X[:, list(c)], axis=1) for k in range(1, degree + 1)
            for c in combinations_with_replacement(range(X.shape[1]), k)]
    return np.column_stack(cols)


def make_case(n: int, n_features: int, seed: int):
    """(X, y, truth at every row, inlier mask)."""
    rng = np.random.default_rng([n, n_features, DEGREE, seed, 22])
    X = rng.uniform(-1.0, 1.0, (n, n_features))
    F = monomials(X)
    coef = rng.uniform(-1.0, 1.0, F.shape[1] + 1)
    truth = coef[0] + F @ coef[1:]
    y = truth + rng.normal(0.0, NOISE, n)
    bad = np.zeros(n, bool)
    bad[rng.choice(n, int(round(SHARE * n)), replace=False)] = True
    y[bad] += rng.uniform(2.0, 5.0, int(bad.sum()))
    return X, y, truth, ~bad


def fit(name: str, X: np.ndarray, y: np.ndarray, seed: int) -> np.ndarray:
    """Predictions of one method at every row."""
    if name == "zelk":
        import zelk

        return zelk.RobustPolynomialRegressor(degree=DEGREE, random_state=seed).fit(X, y).predict(X)
    F = monomials(X)
    if name == "ransac":
        from sklearn.linear_model import RANSACRegressor

        return RANSACRegressor(random_state=seed).fit(F, y).predict(F)
    if name == "huber":
        from sklearn.linear_model import HuberRegressor

        return HuberRegressor().fit(F, y).predict(F)
    if name == "rlm-tukey":
        import statsmodels.api as sm

        A = sm.add_constant(F, has_constant="add")
        return A @ np.asarray(sm.RLM(y, A, M=sm.robust.norms.TukeyBiweight()).fit().params)
    raise ValueError(name)


def oracle(X: np.ndarray, y: np.ndarray, good: np.ndarray) -> np.ndarray:
    A = np.column_stack([np.ones(len(y)), monomials(X)])
    return A @ np.linalg.lstsq(A[good], y[good], rcond=None)[0]


def run(ns=DEFAULT_NS, features=(1, 3), seeds: int | None = None, cap: float = 120.0) -> dict:
    """Fits every method and prints one table per number of features; returns
    {(features, n, method): (cpu s, wall s, rms) medians, or None when capped}."""
    from threadpoolctl import threadpool_limits

    results = {}
    with threadpool_limits(limits=1):
        for k in features:  # first calls pay for imports and caches: not timed
            X, y, _, _ = make_case(300, k, 99)
            for m in METHODS:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    fit(m, X, y, 0)
        for k in features:
            last = {}  # method -> (n, cpu seconds) of its last run
            for n in ns:
                per = {m: [] for m in METHODS}
                oracle_rms = []
                capped = {}
                for m in METHODS:
                    if m in last and m != "zelk":
                        estimate = last[m][1] * n / last[m][0]
                        if estimate > cap:
                            capped[m] = estimate
                for seed in range(seeds or DEFAULT_SEEDS.get(n, 1)):
                    X, y, truth, good = make_case(n, k, seed)
                    oracle_rms.append(np.sqrt(np.mean((oracle(X, y, good)[good] - truth[good]) ** 2)))
                    for m in METHODS:
                        if m in capped:
                            continue
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore")
                            times = []
                            # a fit under REPEAT_BELOW seconds is timed REPEATS times (the median
                            # counts): on a shared machine single short timings scatter widely
                            while True:
                                c0, w0 = time.process_time(), time.perf_counter()
                                pred = fit(m, X, y, seed)
                                times.append((time.process_time() - c0, time.perf_counter() - w0))
                                if len(times) == REPEATS or times[0][0] >= REPEAT_BELOW:
                                    break
                            cpu, wall = np.median(np.array(times), axis=0)
                        rms = np.sqrt(np.mean((pred[good] - truth[good]) ** 2))
                        per[m].append((cpu, wall, rms))
                for m in METHODS:
                    if m in capped:
                        results[(k, n, m)] = None
                        results[(k, n, m, "estimate")] = capped[m]
                    else:
                        results[(k, n, m)] = tuple(np.median(np.array(per[m]), axis=0))
                        last[m] = (n, results[(k, n, m)][0])
                results[(k, n, "oracle")] = float(np.median(oracle_rms))
                print(f"# {k} feature(s), n = {n}: done", flush=True)
    print_table(results, ns, features)
    return results


def print_table(results: dict, ns, features) -> None:
    load = os.getloadavg()
    print(f"\n## scaling: degree {DEGREE}, {SHARE:.0%} one-sided outliers, one BLAS thread; "
          f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f} (2-core machine)")
    print("time: median per fit, CPU seconds of the process (wall seconds); x zelk: time / zelk's time; "
          "RMS: fit minus truth over the inliers; / oracle: over least squares on the true inliers")
    for k in features:
        print(f"\n| n | method ({k} feature{'s' if k > 1 else ''}) | time s | wall s | x zelk | RMS | / oracle |")
        print("|---|---|---|---|---|---|---|")
        for n in ns:
            o = results[(k, n, "oracle")]
            z = results[(k, n, "zelk")]
            for m in METHODS:
                r = results[(k, n, m)]
                if r is None:
                    est = results[(k, n, m, "estimate")]
                    print(f"| {n:.0e} | {m} | capped (est. {est:.0f} s) | | | | |")
                    continue
                cpu, wall, rms = r
                print(f"| {n:.0e} | {m} | {cpu:.3g} | {wall:.3g} | {cpu / z[0]:.2f} | {rms:.2e} | {rms / o:.2f} |")
            print(f"| {n:.0e} | oracle | | | | {o:.2e} | 1.00 |")
