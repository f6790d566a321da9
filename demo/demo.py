"""Robust polynomial fits with zelk_core, end to end, on generated data.

Case 1 fits a noisy curve with gross outliers three ways: least squares (`ols`), penalised
least squares (`fit_regularized_linear`), and the tournament sampler that minimises the
description length, a robust success rate plus a complexity term plus smoothness penalties
(`TournamentMCMC`). Case 2 does the same for a surface in two dimensions with the tensor-product
basis. Case 3 fits a real data set (the stackloss data bundled with statsmodels) with the robust
estimator of the `zelk` package, next to least squares and scikit-learn's HuberRegressor, and
draws its residuals, the days it flags and the 95 % intervals of its coefficients. Each case
prints a table and draws one row of the figure, written to one PNG.

Each generated sample gets a gross error with probability --outliers, so the share drawn
differs a little from it (the tables print the share drawn). RMS is the root-mean-square
difference between a fit and the true function at the inlier samples (the samples without a
gross error), in the tables and in the figure alike.

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


def figure_path(text):
    """The figure's path, checked before any work: its folder is created and the file opened
    for writing (and removed again if it was not there), and its extension must name a format
    matplotlib writes."""
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    ext = os.path.splitext(text)[1].lower().lstrip(".")
    if ext not in formats:
        raise argparse.ArgumentTypeError(
            f"the figure's file name must end in one of {', '.join('.' + f for f in sorted(formats))}, got {text!r}")
    path = os.path.abspath(text)
    existed = os.path.exists(path)
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "ab"):
            pass
    except OSError as e:
        raise argparse.ArgumentTypeError(f"cannot write the figure to {text!r}: {e.strerror}") from None
    if not existed:
        os.remove(path)
    return text


class _HelpFormatter(argparse.RawDescriptionHelpFormatter, argparse.ArgumentDefaultsHelpFormatter):
    pass


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="demo.py", description=__doc__, formatter_class=_HelpFormatter)
    parser.add_argument("--n", type=samples, default=2000, metavar="N",
                        help=f"samples per case, at least {MIN_SAMPLES}")
    parser.add_argument("--seed", type=seed, default=7, metavar="S",
                        help="random seed for the data and the sampler, 0 to 2**64 - 1")
    parser.add_argument("--outliers", type=outlier_share, default=0.15, metavar="F",
                        help=f"probability that a generated sample gets a gross error, 0 to {MAX_OUTLIERS} "
                             "(the tables print the share drawn)")
    parser.add_argument("--n-deep", type=steps, default=2000, metavar="D",
                        help="refinement steps per elite chain of the sampler")
    parser.add_argument("--out", type=figure_path, default=os.path.join("out", "demo.png"), metavar="PATH",
                        help="where to write the figure (PNG; .pdf, .svg and matplotlib's other formats work too)")
    return parser.parse_args(argv)


# --- Cases --------------------------------------------------------------------------------------

@dataclass
class Fit:
    beta: np.ndarray
    seconds: float
    function: str = ""   # the zelk_core function behind it
    error: float = 0.0   # |beta - truth|
    score: float = 0.0   # description length with the penalties
    success: float = 0.0
    rms: float = 0.0     # RMS of fit - truth at the inlier samples


@dataclass
class Case:
    """One fitted problem: its table and its row of the figure. A new case is a function that
    builds one of these (see `curve`, `surface` and `stackloss`) and an entry in CASES."""
    heading: str         # short: names the case in the figure
    title: str           # printed above its table
    draw: Callable       # draw(case, subfigure): fills the case's row of the figure
    fits: dict = field(default_factory=dict)   # name -> Fit, in table order
    data: dict = field(default_factory=dict)   # whatever `draw` needs
    lines: list = field(default_factory=list)  # printed below the table


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


# How the tables and the figure name the fits (the function of zelk_core behind each in brackets).
NAMES = {"ols": "least squares", "fit_regularized_linear": "penalised least squares", "TournamentMCMC": "robust (sampler)"}


def three_fits(case, Phi, y, R1, R2, args):
    """Least squares, the penalised normal equations and the tournament sampler."""
    g1, g2 = GAMMAS
    sampler = z.TournamentMCMC(n_deep=args.n_deep, seed=args.seed)
    runs = {
        "ols": lambda: z.ols(Phi, y),
        "fit_regularized_linear": lambda: z.fit_regularized_linear(Phi, y, R1, R2, g1, g2),
        "TournamentMCMC": lambda: sampler.fit(Phi, y, R1, R2, g1, g2).beta_mcmc,
    }
    return {NAMES[f]: Fit(*timed(f"{case}: {NAMES[f]} ({f})", run), function=f) for f, run in runs.items()}


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
    if case.fits:
        header = (f"  {'fit':24s} {'function':23s} {'|b - truth|':>11s} {'score':>10s} {'success':>8s} "
                  f"{'RMS inliers':>11s} {'time':>10s}")
        print(header)
        print("  " + "-" * (len(header) - 2))
        for name, f in case.fits.items():
            print(f"  {name:24s} {f.function:23s} {f.error:11.4f} {f.score:10.2f} {f.success:8.3f} {f.rms:11.4f} "
                  f"{f.seconds * 1e3:7.1f} ms")
    for line in case.lines:
        print(line)


def drawn_share(inliers, share):
    return f"{1 - inliers.mean():.0%} gross outliers (each sample with probability {share:g})"


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
    return Case(heading, f"{heading}, {args.n} samples, {drawn_share(inliers, args.outliers)}",
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
    heading = f"Case 2: surface of degrees {degrees}"
    return Case(heading, f"{heading} ({len(mi)} coefficients), {args.n} samples, "
                f"{drawn_share(inliers, args.outliers)}", draw_surface, fits, dict(mi=mi, truth=truth))


def stackloss(args, rng):
    """The real data set: the same 21 days whatever the options."""
    progress("stackloss: robust estimator (zelk), least squares, HuberRegressor")
    lines = []
    rows = fit_stackloss(random_state=0, out=lines.append)
    heading = "Case 3: stackloss, a real data set"
    return Case(heading, heading, draw_stackloss, lines=lines, data=rows)


CASES = [curve, surface, stackloss]


# --- Figure -------------------------------------------------------------------------------------

# Least squares and its penalised form nearly coincide: the penalised fit is drawn wide and pale
# below, least squares dashed on top. The truth is a wide grey band under all of them, so a fit
# that follows it runs inside the band instead of vanishing beneath it.
CURVE_STYLES = {
    "penalised least squares": dict(lw=4, alpha=0.45, color="tab:orange", zorder=3),
    "least squares": dict(lw=1.6, ls=(0, (5, 3)), color="tab:blue", zorder=4),
    "robust (sampler)": dict(lw=1.8, color="tab:green", zorder=5),
}
ROBUST_COLOUR, LS_COLOUR = "tab:green", "tab:blue"


def rms_label(fit):
    return f"RMS {fit.rms:.4f} at the inlier samples"


def draw_curve(case, fig):
    d = case.data
    ax = fig.add_subplot()
    x, y, ok = d["x"], d["y"], d["inliers"]
    ax.scatter(x[ok], y[ok], s=4, c="0.65", label="data", zorder=1)
    ax.scatter(x[~ok], y[~ok], s=6, c="tab:red", alpha=0.5, label="gross outliers", zorder=2)
    grid = np.linspace(-1, 1, 400)
    G = z.design_matrix_1d(d["deg"], grid)
    f = G @ d["truth"]
    ax.plot(grid, f, color="k", lw=7, alpha=0.2, solid_capstyle="butt", label="truth", zorder=2.5)
    for name, fit in case.fits.items():
        ax.plot(grid, G @ fit.beta, label=f"{name} ({rms_label(fit)})", **CURVE_STYLES[name])
    ax.set_ylim(f.min() - 1.5, f.max() + 1.5)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title("the data and the fits (outliers beyond the axes not shown)", fontsize=10)
    fig.suptitle(case.title, fontsize=12)
    # Beside the axes, never over the data.
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize=9)


def draw_surface(case, fig):
    d = case.data
    g0, g1 = np.meshgrid(np.linspace(-1, 1, 120), np.linspace(-1, 1, 120))
    G2 = z.design_matrix_nd(d["mi"], [g0.ravel(), g1.ravel()])
    true2 = (G2 @ d["truth"]).reshape(g0.shape)
    errors = {n: (G2 @ fit.beta).reshape(g0.shape) - true2 for n, fit in case.fits.items()}
    lim = max(np.abs(e).max() for e in errors.values())
    maps, bars = square_maps(fig, 1 + len(errors), with_bar=(0, len(errors)))
    extent = (-1, 1, -1, 1)
    im = maps[0].imshow(true2, origin="lower", extent=extent, cmap="viridis")
    maps[0].set_title("the truth\nf(x0, x1)", fontsize=10)
    fig.colorbar(im, cax=bars[0], label="f(x0, x1)")
    for ax, (name, err) in zip(maps[1:], errors.items()):
        im = ax.imshow(err, origin="lower", extent=extent, vmin=-lim, vmax=lim, cmap="RdBu_r")
        ax.set_title(f"{name}: fit - truth\n{rms_label(case.fits[name])}", fontsize=10)
    # the three error maps share one colour scale, shown beside the last
    fig.colorbar(im, cax=bars[-1], label="fit - truth")
    ticks = [-1, -0.5, 0, 0.5, 1]
    for ax in maps:
        ax.set_xticks(ticks)
        ax.set_yticks(ticks)
        ax.set_xlabel("x0")
        ax.set_ylabel("x1", labelpad=1)
    fig.suptitle(case.title, fontsize=12)


def square_maps(fig, count, with_bar, top=0.8, bottom=0.55, left=0.75, bar=(0.1, 0.15, 0.8)):
    """``count`` square map axes in a row of the (sub)figure, all of one size, as large as the
    row's height allows; maps listed in ``with_bar`` get a colour bar of exactly their height
    beside them. Sizes in inches: ``top`` (titles), ``bottom`` (axis labels), ``left`` (the
    y axis of each map), ``bar`` (gap, bar, its ticks and label). Placed by hand, since a layout
    engine sizes a colour bar to the cell instead of to the square map in it."""
    w_in, h_in = fig.get_figure().get_size_inches()
    h_in *= fig.bbox.height / fig.get_figure().bbox.height
    w_in *= fig.bbox.width / fig.get_figure().bbox.width
    side = h_in - top - bottom
    used = count * (left + side) + len(with_bar) * sum(bar)
    side = min(side, side - (used - w_in) / count) if used > w_in else side
    used = count * (left + side) + len(with_bar) * sum(bar)
    spare = max(0.0, w_in - used) / (count + 1)
    maps, bars, x = [], [], spare
    for i in range(count):
        x += left
        maps.append(fig.add_axes([x / w_in, bottom / h_in, side / w_in, side / h_in]))
        x += side
        if i in with_bar:
            bars.append(fig.add_axes([(x + bar[0]) / w_in, bottom / h_in, bar[1] / w_in, side / h_in]))
            x += sum(bar)
        x += spare
    return maps, bars


def draw_stackloss(case, fig):
    rows = case.data
    robust, ls, huber = rows["zelk"], rows["least squares"], rows["Huber"]
    model = robust["model"]
    names = list(model.feature_names_in_)
    res_ax, coef_ax = fig.subplots(1, 2, gridspec_kw=dict(width_ratios=[1.6, 1.0]))

    days = np.arange(1, len(robust["residuals"]) + 1)
    band = model.outlier_threshold * model.scale_
    res_ax.axhspan(-band, band, color=ROBUST_COLOUR, alpha=0.12, lw=0,
                   label=f"within {model.outlier_threshold:g} robust scales (not flagged)")
    res_ax.axhline(0.0, color="0.4", lw=0.8)
    res_ax.plot(days, ls["residuals"], "o", mfc="none", mec=LS_COLOUR, ms=6, label="least squares")
    ok = model.inlier_mask_
    res_ax.plot(days[ok], robust["residuals"][ok], "o", color=ROBUST_COLOUR, ms=6, label="robust (zelk estimator)")
    res_ax.plot(days[~ok], robust["residuals"][~ok], "X", color="tab:red", ms=9,
                label="robust (zelk estimator): flagged days")
    for day, r in zip(days[~ok], robust["residuals"][~ok]):
        res_ax.annotate(f"day {day}", (day, r), xytext=(6, 0), textcoords="offset points", va="center", fontsize=9)
    res_ax.set_xlabel("day")
    res_ax.set_ylabel("residual: observed - fitted stack loss")
    res_ax.set_xticks(days[::2])
    res_ax.set_title("residuals by day", fontsize=10)
    res_ax.legend(loc="lower left", fontsize=9, framealpha=0.9)

    # The slopes only: the constant (about -38) would squeeze them into a corner.
    pos = np.arange(len(names))[::-1]
    for (label, row, colour, dy) in [("robust (zelk estimator)", robust, ROBUST_COLOUR, 0.15),
                                     ("least squares", ls, LS_COLOUR, -0.15)]:
        lo, hi = row["interval"][1:, 0], row["interval"][1:, 1]
        b = row["coef"][1:]
        coef_ax.errorbar(b, pos + dy, xerr=[b - lo, hi - b], fmt="o", color=colour, capsize=4, label=label)
    coef_ax.plot(huber["coef"][1:], pos, "d", color="0.3", ms=5, label="Huber (no interval)")
    coef_ax.axvline(0.0, color="0.4", lw=0.8)
    coef_ax.set_yticks(pos, names)
    coef_ax.set_ylim(-0.6, len(names) - 0.4)
    coef_ax.set_xlabel("coefficient, with its 95 % interval")
    coef_ax.set_title("slopes and their 95 % intervals", fontsize=10)
    coef_ax.legend(loc="lower right", fontsize=9, framealpha=0.9)
    fig.suptitle(case.title + f": robust fit flags days {', '.join(map(str, days[~ok]))}", fontsize=12)


ROW_HEIGHTS = {"draw_curve": 4.6, "draw_surface": 4.0, "draw_stackloss": 4.4}


def build_figure(cases):
    """The figure of all cases, one row each, in their order."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    heights = [ROW_HEIGHTS.get(case.draw.__name__, 4.5) for case in cases]
    fig = plt.figure(figsize=(16, sum(heights) + 0.3 * len(cases)), layout="constrained")
    rows = fig.subfigures(len(cases), 1, height_ratios=heights, hspace=0.04)
    for case, row in zip(cases, np.atleast_1d(rows)):
        case.draw(case, row)
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
    progress("plotting")
    save_figure(build_figure(cases), args.out)
    print(f"\nPlot written to {os.path.abspath(args.out)}")


if __name__ == "__main__":
    main()
