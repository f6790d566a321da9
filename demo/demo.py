"""Robust polynomial fits with zelk_core, end to end, on generated data.

Case 1 fits a noisy curve with a share of gross outliers three ways: ordinary least squares,
the penalised normal equations, and the tournament sampler that minimises the description
length (a robust success rate plus a complexity term plus smoothness penalties). Case 2 does
the same for a surface in two dimensions with the tensor-product basis. Each case prints a
table and both are drawn into one PNG.

    scripts/demo.sh [--n N] [--seed S] [--outliers F] [--out PATH] [--n-deep D]
"""

import argparse
import os
import sys
import time

import numpy as np

import zelk_core as z


GAMMAS = (1e-5, 1e-6)  # weights of the first- and second-derivative penalties


def progress(msg):
    print(f"  .. {msg}", file=sys.stderr, flush=True)


def timed(label, fn):
    progress(f"{label}")
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def corrupt(rng, y, share):
    """Adds gross errors to a share of the samples; returns the mask of inliers."""
    bad = rng.random(y.size) < share
    y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(1.0, 4.0, bad.sum())
    return ~bad


def three_fits(case, Phi, y, R1, R2, args):
    """Least squares, the penalised normal equations and the tournament sampler: coefficients
    and seconds of each."""
    g1, g2 = GAMMAS
    sampler = z.TournamentMCMC(n_deep=args.n_deep, seed=args.seed)
    return {
        "ols": timed(f"{case}: ols", lambda: z.ols(Phi, y)),
        "fit_regularized_linear": timed(f"{case}: fit_regularized_linear",
                                        lambda: z.fit_regularized_linear(Phi, y, R1, R2, g1, g2)),
        "TournamentMCMC": timed(f"{case}: TournamentMCMC",
                                lambda: sampler.fit(Phi, y, R1, R2, g1, g2).beta_mcmc),
    }


def report(title, rows, truth, Phi, y, inliers, k, R1, R2):
    g1, g2 = GAMMAS
    print(f"\n{title}")
    header = f"  {'fit':28s} {'|b - truth|':>11s} {'score':>10s} {'success':>8s} {'RMS inliers':>11s} {'time':>9s}"
    print(header)
    print("  " + "-" * (len(header) - 2))
    m = z.mad(y)
    eps = 0.4 * m if m > 0 else 0.4
    f_true = Phi @ truth
    for name, (beta, seconds) in rows.items():
        yp = Phi @ beta
        score = z.mdl_score_reg(yp, y, k, 20, beta, R1, R2, g1, g2)
        sr = z.compute_sr(yp, y, eps)
        rms = float(np.sqrt(np.mean((yp - f_true)[inliers] ** 2)))
        err = float(np.linalg.norm(beta - truth))
        print(f"  {name:28s} {err:11.4f} {score:10.2f} {sr:8.3f} {rms:11.4f} {seconds * 1e3:7.1f} ms")


def curve(args, rng):
    deg = 5
    truth = np.array([0.3, -0.6, 0.2, 0.5, -0.3, 0.25])
    x = np.sort(rng.uniform(-1.0, 1.0, args.n))
    Phi = z.design_matrix_1d(deg, x)
    y = Phi @ truth + rng.normal(0.0, 0.03, args.n)
    inliers = corrupt(rng, y, args.outliers)
    R1, R2 = z.smoothness_penalty_matrices_1d(deg, -1.0, 1.0)
    rows = three_fits("curve", Phi, y, R1, R2, args)
    report(f"Case 1: degree-{deg} curve, {args.n} samples, {1 - inliers.mean():.0%} gross outliers",
           rows, truth, Phi, y, inliers, deg + 1, R1, R2)
    return dict(x=x, y=y, inliers=inliers, truth=truth, deg=deg, rows=rows)


def surface(args, rng):
    degrees = [2, 2]
    R1, R2, mi = z.build_penalty_matrices_nd(degrees, [(-1.0, 1.0), (-1.0, 1.0)])
    truth = np.zeros(len(mi))
    for j, (a, b) in enumerate(mi):
        truth[j] = 0.5 / (1 + a + b) * (-1) ** (a * b)
    n = args.n
    x0, x1 = rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)
    Phi = z.design_matrix_nd(mi, [x0, x1])
    y = Phi @ truth + rng.normal(0.0, 0.03, n)
    inliers = corrupt(rng, y, args.outliers)
    rows = three_fits("surface", Phi, y, R1, R2, args)
    report(f"Case 2: surface of degrees {degrees} ({len(mi)} coefficients), {n} samples, "
           f"{1 - inliers.mean():.0%} gross outliers", rows, truth, Phi, y, inliers, len(mi), R1, R2)
    return dict(mi=mi, truth=truth, rows=rows)


def plot(path, c, s):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(13, 8.5))
    ax = fig.add_subplot(2, 1, 1)
    x, y, ok = c["x"], c["y"], c["inliers"]
    ax.scatter(x[ok], y[ok], s=4, c="0.6", label="data")
    ax.scatter(x[~ok], y[~ok], s=6, c="tab:red", alpha=0.5, label="gross outliers")
    grid = np.linspace(-1, 1, 400)
    G = z.design_matrix_1d(c["deg"], grid)
    ax.plot(grid, G @ c["truth"], "k--", lw=2, label="truth")
    styles = {"ols": dict(ls=":", lw=3), "fit_regularized_linear": dict(lw=1.5), "TournamentMCMC": dict(lw=2)}
    for name, (beta, _) in c["rows"].items():
        ax.plot(grid, G @ beta, label=name, **styles[name])
    f = G @ c["truth"]
    ax.set_ylim(f.min() - 1.5, f.max() + 1.5)
    ax.set_title("Case 1: curve (outliers beyond the axes not shown)")
    ax.legend(loc="upper left", ncol=3, fontsize=9)

    # Case 2: the true surface, then each fit's error against it on one shared scale.
    g0, g1 = np.meshgrid(np.linspace(-1, 1, 120), np.linspace(-1, 1, 120))
    G2 = z.design_matrix_nd(s["mi"], [g0.ravel(), g1.ravel()])
    true2 = (G2 @ s["truth"]).reshape(g0.shape)
    errors = [(n, (G2 @ b).reshape(g0.shape) - true2) for n, (b, _) in s["rows"].items()]
    lim = max(np.abs(e).max() for _, e in errors)
    ax = fig.add_subplot(2, 4, 5)
    im = ax.imshow(true2, origin="lower", extent=(-1, 1, -1, 1), cmap="viridis")
    ax.set_title("Case 2: true surface", fontsize=9)
    fig.colorbar(im, ax=ax, shrink=0.8)
    for i, (name, err) in enumerate(errors):
        ax = fig.add_subplot(2, 4, 6 + i)
        im = ax.imshow(err, origin="lower", extent=(-1, 1, -1, 1), vmin=-lim, vmax=lim, cmap="RdBu_r")
        ax.set_title(f"error of {name}\nRMS {np.sqrt(np.mean(err ** 2)):.4f}", fontsize=9)
    for ax in fig.axes:
        if ax.get_title().startswith(("Case 2", "error")):
            ax.set_xticks([])
            ax.set_yticks([])
    fig.colorbar(im, ax=fig.axes[-3:], shrink=0.8, label="fit - truth")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=2000, help="samples per case (default 2000)")
    parser.add_argument("--seed", type=int, default=7, help="random seed for data and sampler (default 7)")
    parser.add_argument("--outliers", type=float, default=0.15, help="share of gross outliers (default 0.15)")
    parser.add_argument("--n-deep", type=int, default=2000, help="refinement steps per elite chain (default 2000)")
    parser.add_argument("--out", default=os.path.join("out", "demo.png"), help="where to write the plot")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    c = curve(args, rng)
    s = surface(args, rng)
    progress("plotting")
    plot(args.out, c, s)
    print(f"\nPlot written to {os.path.abspath(args.out)}")


if __name__ == "__main__":
    main()
