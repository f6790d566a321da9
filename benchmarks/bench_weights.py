"""sample_weight in the zelk estimators, measured.

Three parts, each over many seeds:

- **repeated**: integer weights k_i in 1..4 against the data with sample i repeated k_i times, for
  a linear model (n = 300, 2 features, 25 % outliers in y) and a cubic (n = 500, 30 % two-sided
  outliers). Per seed: the largest coefficient difference in units of the repeated fit's own
  standard errors, how many samples are flagged differently, the ratio of the scales, and the
  ratio of the standard errors over sqrt(mean k) (1 when the weighted fit's errors count each
  sample once, as documented). Time per fit: weighted, repeated and unweighted.
- **dropped**: weight 0 on a random 20 % of the samples against the fit without them: how many
  seeds give the same bits (coefficients, standard errors, scale).
- **coverage**: clean normal errors, weights U(0.5, 4) (n = 100, 3 features): coverage of the
  95 % intervals from ``conf_int`` against statsmodels' WLS on the same draws, for errors of one
  variance and for errors of variance 1 / w_i (the weights as precisions), and how many clean
  samples are flagged; the unweighted fit (against OLS) on errors of one variance as the
  reference.

    .venv/bin/python benchmarks/bench_weights.py            # 40 seeds (repeated, dropped), 200 (coverage)
    .venv/bin/python benchmarks/bench_weights.py --quick    # 10 and 40
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
import statsmodels.api as sm

from zelk import RobustLinearRegressor, RobustPolynomialRegressor


def linear_case(seed):
    rng = np.random.default_rng([1, seed])
    n = 300
    X = rng.normal(size=(n, 2)) * [1.0, 3.0]
    y = 1.0 + X @ [2.0, -0.5] + rng.normal(0, 0.2, n)
    bad = rng.random(n) < 0.25
    y[bad] += rng.uniform(3, 8, bad.sum())
    return X, y


def cubic_case(seed):
    rng = np.random.default_rng([2, seed])
    n = 500
    x = rng.uniform(-1, 1, n)
    y = 0.3 - 0.6 * x + 0.2 * x**2 + 0.5 * x**3 + rng.normal(0, 0.05, n)
    bad = rng.random(n) < 0.3
    y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(2, 5, bad.sum())
    return x[:, None], y


CASES = {"linear, n=300, 25 % out": (linear_case, lambda: RobustLinearRegressor(random_state=0)),
         "cubic, n=500, 30 % out": (cubic_case, lambda: RobustPolynomialRegressor(3, random_state=0))}


def timed(fit):
    t = time.perf_counter()
    model = fit()
    return model, time.perf_counter() - t


def params(m):
    return np.r_[m.intercept_, m.coef_], np.r_[m.intercept_stderr_, m.stderr_]


def repeated(seeds):
    print("\n== integer weights against repeated samples ==")
    print(f"{'case':24s} {'max|diff|/se: median':>21s} {'max':>6s} {'<1 se':>6s} {'flags differ':>13s} "
          f"{'scale ratio':>12s} {'se ratio/sqrt(mean k)':>22s} {'ms weighted':>12s} {'repeated':>9s} {'unweighted':>11s}")
    for name, (make, estimator) in CASES.items():
        diffs, flags, scales, ses, times = [], [], [], [], []
        for seed in range(seeds):
            X, y = make(seed)
            k = np.random.default_rng([3, seed]).integers(1, 5, len(y))
            w, tw = timed(lambda: estimator().fit(X, y, sample_weight=k))
            r, tr = timed(lambda: estimator().fit(np.repeat(X, k, axis=0), np.repeat(y, k)))
            _, tu = timed(lambda: estimator().fit(X, y))
            (bw, sw), (br, sr) = params(w), params(r)
            diffs.append(np.max(np.abs(bw - br) / sr))
            flags.append(np.count_nonzero(w.inlier_mask_ != r.inlier_mask_[np.cumsum(k) - 1]))
            scales.append(w.scale_ / r.scale_)
            ses.append(np.median(sw / sr) / np.sqrt(k.mean()))
            times.append((tw, tr, tu))
        d, t = np.array(diffs), 1e3 * np.median(times, axis=0)
        print(f"{name:24s} {np.median(d):21.3f} {d.max():6.2f} {np.mean(d < 1):6.0%} "
              f"{np.median(flags):7.0f} (max {max(flags)}) {np.median(scales):6.3f} [{min(scales):.2f}, {max(scales):.2f}] "
              f"{np.median(ses):10.3f} [{min(ses):.2f}, {max(ses):.2f}] {t[0]:12.1f} {t[1]:9.1f} {t[2]:11.1f}")


def dropped(seeds):
    print("\n== weight 0 against the samples left out ==")
    for name, (make, estimator) in CASES.items():
        same = 0
        for seed in range(seeds):
            X, y = make(seed)
            keep = np.random.default_rng([4, seed]).random(len(y)) >= 0.2
            w = estimator().fit(X, y, sample_weight=keep.astype(float))
            d = estimator().fit(X[keep], y[keep])
            same += all(np.array_equal(a, b) for a, b in [(params(w)[0], params(d)[0]), (params(w)[1], params(d)[1]),
                                                          (w.scale_, d.scale_)])
        print(f"{name:24s} same bits in {same} of {seeds} seeds")


def coverage(seeds):
    print("\n== coverage of the 95 % intervals, clean normal errors, weights U(0.5, 4), n = 100, p = 3 ==")
    truth = np.array([1.0, 0.5, -2.0, 0.0])
    for errors in ("one variance", "variance 1/w", "unweighted"):
        hits, hits_wls, flagged, widths = [], [], [], []
        for seed in range(seeds):
            rng = np.random.default_rng([5, seed])
            X = rng.normal(size=(100, 3))
            w = rng.uniform(0.5, 4.0, 100)
            e = rng.normal(size=100) * (1.0 / np.sqrt(w) if errors == "variance 1/w" else 1.0)
            y = truth[0] + X @ truth[1:] + e
            if errors == "unweighted":  # the reference: the same fit without weights (and OLS)
                w = np.ones(100)
            m = RobustLinearRegressor(random_state=0).fit(X, y, sample_weight=None if errors == "unweighted" else w)
            ci = m.conf_int()
            hits.append((ci[:, 0] <= truth) & (truth <= ci[:, 1]))
            wls = sm.WLS(y, sm.add_constant(X), weights=w).fit()
            ci_w = wls.conf_int()
            hits_wls.append((ci_w[:, 0] <= truth) & (truth <= ci_w[:, 1]))
            flagged.append(np.mean(~m.inlier_mask_))
            widths.append(np.median((ci[:, 1] - ci[:, 0]) / (ci_w[:, 1] - ci_w[:, 0])))
        print(f"errors of {errors:13s}: coverage zelk {np.mean(hits):.3f} (per coefficient "
              f"{', '.join(f'{c:.2f}' for c in np.mean(hits, axis=0))}), WLS {np.mean(hits_wls):.3f}; "
              f"clean samples flagged {np.mean(flagged):.1%}; interval width / WLS's {np.median(widths):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10 seeds (repeated, dropped), 40 (coverage)")
    parser.add_argument("--part", choices=["repeated", "dropped", "coverage"], action="append")
    args = parser.parse_args()
    seeds, cover = (10, 40) if args.quick else (40, 200)
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores at the start")
    parts = args.part or ["repeated", "dropped", "coverage"]
    if "repeated" in parts:
        repeated(seeds)
    if "dropped" in parts:
        dropped(seeds)
    if "coverage" in parts:
        coverage(cover)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
