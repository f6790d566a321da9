"""Robust statistics of noisy data with gross outliers.

    scripts/demo.sh [--n N] [--seed S]
"""

import argparse
import time

import numpy as np

import zelk_core as z


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000, help="number of samples")
    parser.add_argument("--seed", type=int, default=7, help="random seed")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    x = np.linspace(-1.0, 1.0, args.n)
    truth = 1.0 - 2.0 * x + 3.0 * x**3
    y = truth + rng.normal(0.0, 0.1, args.n)
    outliers = rng.random(args.n) < 0.1
    y[outliers] += rng.normal(0.0, 20.0, outliers.sum())

    resid = y - truth
    t0 = time.perf_counter()
    m = z.mad(resid)
    eps = 0.4 * m if m > 0 else 0.4
    sr = z.compute_sr(truth, y, eps)
    elapsed = time.perf_counter() - t0

    print(f"{args.n} samples, noise sd 0.1, {outliers.mean():.1%} gross outliers (seed {args.seed})")
    print(f"  standard deviation of residuals : {resid.std():10.4f}   (ruined by the outliers)")
    print(f"  MAD of residuals                : {m:10.4f}   (about 0.6745 x 0.1 for the inliers)")
    print(f"  success rate at eps = 0.4 MAD   : {sr:10.4f}")
    print(f"  zelk_core time                  : {elapsed * 1e3:8.2f} ms")


if __name__ == "__main__":
    main()
