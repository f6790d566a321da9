"""Choosing the degree by cross-validation: R² against zelk.robust_scorer.

Data: the cubic 0.3 - 0.6x + 0.2x^2 + 0.5x^3 on x ~ U(-1, 1) with normal noise and 10 % gross
outliers, one-sided (y + U(2, 5)) or two-sided (y +- U(2, 5)). Per seed, GridSearchCV (5-fold,
shuffled) picks the degree of RobustPolynomialRegressor from 1 to 6 by each scoring; the table
gives how often each degree was picked, per case and scoring. "clipped MSE" is an oracle that
knows the noise level (squared residuals clipped at 25 noise variances): what a score can do
when no outlier can move it, the reference for the other two.

    .venv/bin/python benchmarks/bench_scorer.py            # 40 seeds per case
    .venv/bin/python benchmarks/bench_scorer.py --seeds 10 # quicker
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from sklearn.model_selection import GridSearchCV, KFold

from zelk import RobustPolynomialRegressor, robust_scorer

TRUTH = np.array([0.3, -0.6, 0.2, 0.5])
DEGREES = [1, 2, 3, 4, 5, 6]
CASES = [(200, 0.1, "one-sided"), (200, 0.1, "two-sided"), (300, 0.02, "one-sided"), (500, 0.05, "two-sided")]


def make_case(n, noise, kind, seed):
    rng = np.random.default_rng([n, int(noise * 1000), seed])
    x = rng.uniform(-1, 1, n)
    y = np.polynomial.polynomial.polyval(x, TRUTH) + rng.normal(0, noise, n)
    bad = rng.random(n) < 0.1
    sign = rng.choice([-1.0, 1.0], bad.sum()) if kind == "two-sided" else 1.0
    y[bad] += sign * rng.uniform(2, 5, bad.sum())
    return x[:, None], y


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=40)
    args = parser.parse_args()
    print(f"{'case':<32}{'scoring':<16}" + "".join(f"{'deg ' + str(d):>7}" for d in DEGREES) + f"{'right':>8}")
    t0 = time.perf_counter()
    for n, noise, kind in CASES:
        def clipped_mse(est, X, y, noise=noise):
            return -float(np.mean(np.minimum((y - est.predict(X)) ** 2, 25 * noise**2)))

        scorings = {"R²": "r2", "robust_scorer": robust_scorer, "clipped MSE": clipped_mse}
        picks = {name: [] for name in scorings}
        for seed in range(args.seeds):
            X, y = make_case(n, noise, kind, seed)
            search = GridSearchCV(RobustPolynomialRegressor(random_state=seed), {"degree": DEGREES}, scoring=scorings,
                                  refit=False, cv=KFold(5, shuffle=True, random_state=seed)).fit(X, y)
            for name in scorings:
                picks[name].append(DEGREES[int(np.argmax(search.cv_results_[f"mean_test_{name}"]))])
        label = f"n={n}, sd {noise}, {kind}"
        for name, p in picks.items():
            counts = [p.count(d) for d in DEGREES]
            print(f"{label:<32}{name:<16}" + "".join(f"{c:>7}" for c in counts) + f"{p.count(3) / len(p):>8.0%}")
            label = ""
    print(f"\n{args.seeds} seeds per case, {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
