"""Robust polynomial fits with zelk_core, end to end, on generated data.

Case 1 fits a noisy curve with a share of gross outliers three ways: ordinary least squares,
the penalised normal equations, and the tournament sampler that minimises the description
length (a robust success rate plus a complexity term plus smoothness penalties). Case 2 does
the same for a surface in two dimensions with the tensor-product basis. Each case prints a
table and draws one row of the figure, written to one PNG. Case 3 fits a real data set (the
stackloss data bundled with statsmodels) with the robust estimator of the `zelk` package, next to
least squares and scikit-learn's HuberRegressor.

RMS is the root-mean-square difference between a fit and the true function at the inlier
samples (the samples without a gross error), in the tables and in the figure alike.

    scripts/demo.sh [--n N] [--seed S] [--outliers F] [--n-deep D] [--out PATH]
"""

import argparse
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import zelk_core as z

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_data import fit_stackloss  # noqa: E402


GAMMAS = (1e-5, 1e-6)  # weights of the first- and second-derivative penalties
MIN_SAMPLES = 20       # enough for the 9 coefficients of the surface, with room for outliers
MAX_OUTLIERS = 0.5     # beyond half the samples, "outliers" are the data


def progress(msg):
    print(f"  .. {msg}", file=sys.stderr, flush=True)


# --- Options ------------------------------------------------------------------------------------

def _integer(text, low, high, what):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be a whole number, got {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"{what} must be between {low} and {high}, got {value}")
    return value


def samples(text):
    return _integer(text, MIN_SAMPLES, 10**7, "the number of samples")


def seed(text):
    return _integer(text, 0, 2**64 - 1, "the seed")


def steps(text):
    return _integer(text, 0, 2**31 - 1, "the number of refinement steps")


def outlier_share(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"the outlier share must be a number, got {text!r}") from None
    if not 0.0 <= value <= MAX_OUTLIERS:  # also refuses NaN
        raise argparse.ArgumentTypeError(
            f"the outlier share must be between 0 and {MAX_OUTLIERS} (a fraction, not a percentage), "
            f"got {text}")
    return value


class _HelpFormatter(argparse.RawDescriptionHelpFormatter, argparse.ArgumentDefaultsHelpFormatter):
    pass


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="demo.py", description=__doc__, formatter_class=_HelpFormatter)
    parser.add_argument("--n", type=samples, default=2000, metavar="N",
                        help=f"samples per case, at least {MIN_SAMPLES}")
    parser.add_argument("--seed", type=seed, default=7, metavar="S",
                        help="random seed for the data and the sampler, 0 to 2**64 - 1")
    parser.add_argument("--outliers", type=outlier_share, default=0.15, metavar="F",
                        help=f"share of samples with a gross error, 0 to {MAX_OUTLIERS}")
    parser.add_argument("--n-deep", type=steps, default=2000, metavar="D",
                        help="refinement steps per elite chain of the sampler")
    parser.add_argument("--out", default=os.path.join("out", "demo.png"), metavar="PATH",
                        help="where to write the figure (PNG)")
    return parser.parse_args(argv)


# --- Cases --------------------------------------------------------------------------------------

@dataclass
class Fit:
    beta: np.ndarray
    seconds: float
    error: float = 0.0   # |beta - truth|
    score: float = 0.0   # description length with the penalties
    success: float = 0.0
    rms: float = 0.0     # RMS of fit - truth at the inlier samples


@dataclass
class Case:
    """One fitted problem: its table and its row of the figure. A new case is a function that
    builds one of these (see `curve` and `surface`) and an entry in CASES."""
    heading: str         # short: names the case in the figure
    title: str           # printed above its table
    draw: Callable       # draw(case, fig, subplot_spec): fills the case's row of the figure
    fits: dict = field(default_factory=dict)   # name -> Fit, in table order
    data: dict = field(default_factory=dict)   # whatever `draw` needs


def timed(label, fn):
    progress(label)
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def corrupt(rng, y, share):
    """Adds gross errors to a share of the samples; returns the mask of inliers."""
    bad = rng.random(y.size) < share
    y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(1.0, 4.0, bad.sum())
    return ~bad


def three_fits(case, Phi, y, R1, R2, args):
    """Least squares, the penalised normal equations and the tournament sampler."""
    g1, g2 = GAMMAS
    sampler = z.TournamentMCMC(n_deep=args.n_deep, seed=args.seed)
    runs = {
        "ols": lambda: z.ols(Phi, y),
        "fit_regularized_linear": lambda: z.fit_regularized_linear(Phi, y, R1, R2, g1, g2),
        "TournamentMCMC": lambda: sampler.fit(Phi, y, R1, R2, g1, g2).beta_mcmc,
    }
    return {name: Fit(*timed(f"{case}: {name}", run)) for name, run in runs.items()}


def assess(fits, truth, Phi, y, inliers, k, R1, R2):
    """Fills in each fit's error, score, success rate and RMS at the inlier samples."""
    g1, g2 = GAMMAS
    m = z.mad(y)
    eps = 0.4 * m if m > 0 else 0.4
    f_true = Phi @ truth
    for fit in fits.values():
        yp = Phi @ fit.beta
        fit.error = float(np.linalg.norm(fit.beta - truth))
        fit.score = z.mdl_score_reg(yp, y, k, 20, fit.beta, R1, R2, g1, g2)
        fit.success = z.compute_sr(yp, y, eps)
        fit.rms = float(np.sqrt(np.mean((yp - f_true)[inliers] ** 2)))


def report(case):
    print(f"\n{case.title}")
    header = (f"  {'fit':28s} {'|b - truth|':>11s} {'score':>10s} {'success':>8s} "
              f"{'RMS inliers':>11s} {'time':>10s}")
    print(header)
    print("  " + "-" * (len(header) - 2))
    for name, f in case.fits.items():
        print(f"  {name:28s} {f.error:11.4f} {f.score:10.2f} {f.success:8.3f} {f.rms:11.4f} "
              f"{f.seconds * 1e3:7.1f} ms")


def curve(args, rng):
    deg = 5
    truth = np.array([0.3, -0.6, 0.2, 0.5, -0.3, 0.25])
    x = np.sort(rng.uniform(-1.0, 1.0, args.n))
    Phi = z.design_matrix_1d(deg, x)
    y = Phi @ truth + rng.normal(0.0, 0.03, args.n)
    inliers = corrupt(rng, y, args.outliers)
    R1, R2 = z.smoothness_penalty_matrices_1d(deg, -1.0, 1.0)
    fits = three_fits("curve", Phi, y, R1, R2, args)
    assess(fits, truth, Phi, y, inliers, deg + 1, R1, R2)
    heading = f"Case 1: degree-{deg} curve"
    return Case(heading, f"{heading}, {args.n} samples, {1 - inliers.mean():.0%} gross outliers",
                draw_curve, fits, dict(x=x, y=y, inliers=inliers, truth=truth, deg=deg))


def surface(args, rng):
    degrees = [2, 2]
    R1, R2, mi = z.build_penalty_matrices_nd(degrees, [(-1.0, 1.0), (-1.0, 1.0)])
    truth = np.array([0.5 / (1 + a + b) * (-1) ** (a * b) for a, b in mi])
    x0, x1 = rng.uniform(-1.0, 1.0, args.n), rng.uniform(-1.0, 1.0, args.n)
    Phi = z.design_matrix_nd(mi, [x0, x1])
    y = Phi @ truth + rng.normal(0.0, 0.03, args.n)
    inliers = corrupt(rng, y, args.outliers)
    fits = three_fits("surface", Phi, y, R1, R2, args)
    assess(fits, truth, Phi, y, inliers, len(mi), R1, R2)
    heading = "Case 2: surface"
    return Case(heading, f"{heading} of degrees {degrees} ({len(mi)} coefficients), {args.n} samples, "
                f"{1 - inliers.mean():.0%} gross outliers", draw_surface, fits, dict(mi=mi, truth=truth))


CASES = [curve, surface]


# --- Figure -------------------------------------------------------------------------------------

# ols and fit_regularized_linear nearly coincide: the penalised fit is drawn wide and pale below,
# ols as a dashed line on top, so both stay visible.
CURVE_STYLES = {
    "fit_regularized_linear": dict(lw=4, alpha=0.45, color="tab:orange", zorder=3),
    "ols": dict(lw=1.6, ls=(0, (5, 3)), color="tab:blue", zorder=4),
    "TournamentMCMC": dict(lw=2, color="tab:green", zorder=5),
}


def rms_label(fit):
    return f"RMS {fit.rms:.4f} at the inlier samples"


def draw_curve(case, fig, spec):
    d = case.data
    ax = fig.add_subplot(spec)
    x, y, ok = d["x"], d["y"], d["inliers"]
    ax.scatter(x[ok], y[ok], s=4, c="0.6", label="data", zorder=1)
    ax.scatter(x[~ok], y[~ok], s=6, c="tab:red", alpha=0.5, label="gross outliers", zorder=2)
    grid = np.linspace(-1, 1, 400)
    G = z.design_matrix_1d(d["deg"], grid)
    f = G @ d["truth"]
    ax.plot(grid, f, "k--", lw=2, label="truth", zorder=6)
    for name, fit in case.fits.items():
        ax.plot(grid, G @ fit.beta, label=f"{name} ({rms_label(fit)})", **CURVE_STYLES[name])
    ax.set_ylim(f.min() - 1.5, f.max() + 1.5)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(f"{case.heading} (outliers beyond the axes not shown)")
    # Beside the axes, never over the data.
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize=8)


def draw_surface(case, fig, spec):
    d = case.data
    g0, g1 = np.meshgrid(np.linspace(-1, 1, 120), np.linspace(-1, 1, 120))
    G2 = z.design_matrix_nd(d["mi"], [g0.ravel(), g1.ravel()])
    true2 = (G2 @ d["truth"]).reshape(g0.shape)
    errors = {n: (G2 @ fit.beta).reshape(g0.shape) - true2 for n, fit in case.fits.items()}
    lim = max(np.abs(e).max() for e in errors.values())
    cells = spec.subgridspec(1, 1 + len(errors), wspace=0.35)
    extent = (-1, 1, -1, 1)
    true_ax = fig.add_subplot(cells[0])
    im = true_ax.imshow(true2, origin="lower", extent=extent, cmap="viridis")
    true_ax.set_title(f"{case.heading}: the truth", fontsize=9)
    fig.colorbar(im, ax=true_ax, shrink=0.8, label="f(x0, x1)")
    error_axes = []
    for i, (name, err) in enumerate(errors.items()):
        ax = fig.add_subplot(cells[1 + i])
        im = ax.imshow(err, origin="lower", extent=extent, vmin=-lim, vmax=lim, cmap="RdBu_r")
        ax.set_title(f"error of {name}\n{rms_label(case.fits[name])}", fontsize=9)
        error_axes.append(ax)
    for ax in [true_ax] + error_axes:
        ax.set_xlabel("x0")
        ax.set_ylabel("x1")
    fig.colorbar(im, ax=error_axes, shrink=0.8, label="fit - truth")


def build_figure(cases):
    """The figure of all cases, one row each, in their order."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(14, 4.5 * len(cases)), layout="constrained")
    rows = fig.add_gridspec(len(cases), 1)
    for i, case in enumerate(cases):
        case.draw(case, fig, rows[i])
    return fig


def save_figure(fig, path):
    import matplotlib.pyplot as plt

    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)
    rng = np.random.default_rng(args.seed)
    cases = []
    for make in CASES:
        cases.append(make(args, rng))
        report(cases[-1])
    print("\nCase 3: a real data set")
    progress("fitting stackloss")
    fit_stackloss(random_state=0)
    progress("plotting")
    save_figure(build_figure(cases), args.out)
    print(f"\nPlot written to {os.path.abspath(args.out)}")


if __name__ == "__main__":
    main()
