"""The robust estimators at the edges: heavy contamination with real noise, low contamination,
small real designs, the choice of the final step, and the time per fit against RANSAC.

Run through bench_robust.py:

    .venv/bin/python benchmarks/bench_robust.py --mode edge     # 45 %, n = 2000, 20 seeds per cell
    .venv/bin/python benchmarks/bench_robust.py --mode low      # 0 and 10 %, n = 500
    .venv/bin/python benchmarks/bench_robust.py --mode small    # five small designs, 200 draws each
    .venv/bin/python benchmarks/bench_robust.py --mode finals   # candidate final steps side by side
    .venv/bin/python benchmarks/bench_robust.py --mode time     # ms per fit at n = 2000 against RANSAC

The oracle of a data set is least squares on its true inliers (in the same degree); "RMS" is the
root mean square of fit minus truth over the inliers' x. Seeds are this benchmark's own.
"""

from __future__ import annotations

import contextlib
import itertools
import time
import warnings

import numpy as np

P = np.polynomial.polynomial
KINDS = ("one-sided", "two-sided", "leverage")
SEED_BASE = 20240611


# ---- data ----------------------------------------------------------------------------------------
def edge_case(degree, kind, sigma, seed, n=2000, share=0.45):
    """x ~ U(-1, 1), a polynomial with random coefficients plus N(0, sigma^2) noise; a share of
    outliers shifted by U(1, 4) up (one-sided), up or down (two-sided), or moved to the ends of
    the range, half to [0.9, 1] shifted down and half to [-1, -0.9] shifted up (leverage).
    Returns (x, y, truth, inlier mask)."""
    rng = np.random.default_rng([SEED_BASE, degree, KINDS.index(kind), int(round(sigma * 1000)),
                                 int(round(share * 100)), n, seed])
    truth = rng.uniform(-1.0, 1.0, degree + 1)
    truth[-1] = np.sign(truth[-1]) * rng.uniform(0.5, 1.0)
    x = rng.uniform(-1.0, 1.0, n)
    bad = np.zeros(n, bool)
    bad[rng.choice(n, int(round(share * n)), replace=False)] = True
    idx = np.flatnonzero(bad)
    hi, lo = idx[: idx.size // 2], idx[idx.size // 2:]
    if kind == "leverage":
        x[hi] = rng.uniform(0.9, 1.0, hi.size)
        x[lo] = rng.uniform(-1.0, -0.9, lo.size)
    y = P.polyval(x, truth) + rng.normal(0.0, sigma, n)
    shift = rng.uniform(1.0, 4.0, idx.size)
    if kind == "one-sided":
        y[idx] += shift
    elif kind == "two-sided":
        y[idx] += rng.choice([-1.0, 1.0], idx.size) * shift
    else:
        y[hi] -= shift[: hi.size]
        y[lo] += shift[hi.size:]
    return x, y, truth, ~bad


def rms_to_truth(coef, x, truth, good):
    return float(np.sqrt(np.mean((P.polyval(x[good], coef) - P.polyval(x[good], truth)) ** 2)))


def zelk_poly(x, y, degree, seed):
    import zelk

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = zelk.RobustPolynomialRegressor(degree, random_state=seed).fit(x[:, None], y)
    return np.r_[m.intercept_, m.coef_]


def ratio_cells(cells, seeds, fit=zelk_poly):
    """{cell: (max RMS, share of fits beyond 2x the oracle, median RMS / oracle)} for cells of
    (degree, kind, sigma, n, share)."""
    out = {}
    for cell in cells:
        degree, kind, sigma, n, share = cell
        rms, ratios = [], []
        for seed in range(seeds):
            x, y, truth, good = edge_case(degree, kind, sigma, seed, n=n, share=share)
            r = rms_to_truth(fit(x, y, degree, seed), x, truth, good)
            oracle = rms_to_truth(P.polyfit(x[good], y[good], degree), x, truth, good)
            rms.append(r)
            ratios.append(r / oracle)
        ratios = np.array(ratios)
        out[cell] = (max(rms), float(np.mean(ratios > 2.0)), float(np.median(ratios)))
    return out


# ---- modes ---------------------------------------------------------------------------------------
def run_edge(seeds=20):
    """45 % outliers of each kind, degrees 1/3/5, n = 2000, noise sd 0.08 and 0.1."""
    cells = [(d, k, s, 2000, 0.45) for d, k, s in itertools.product((1, 3, 5), KINDS, (0.08, 0.1))]
    t0 = time.perf_counter()
    res = ratio_cells(cells, seeds)
    print(f"\n## 45 % outliers, n = 2000, {seeds} seeds per cell: max RMS to the truth, share of fits "
          f"beyond 2x the oracle, median RMS / oracle")
    print(f"{'degree':>6}  {'kind':<10}{'sd':>6}{'max RMS':>10}{'> 2x':>7}{'median':>8}")
    for (d, k, s, _, _), (mx, over, med) in res.items():
        print(f"{d:>6}  {k:<10}{s:>6}{mx:>10.4f}{over:>7.0%}{med:>8.3f}")
    worst = [max(v[i] for v in res.values()) for i in range(3)]
    print(f"targets: max RMS {worst[0]:.4f} (<= 0.2), worst cell beyond 2x {worst[1]:.0%} (<= 3 %), "
          f"worst median {worst[2]:.3f} (<= 1.05); {time.perf_counter() - t0:.0f} s")
    return res


def run_low(seeds=20):
    """0 and 10 % outliers, n = 500, degrees 1/3/5, noise sd 0.02 and 0.1."""
    cells = [(d, "one-sided", s, 500, 0.0) for d, s in itertools.product((1, 3, 5), (0.02, 0.1))]
    cells += [(d, k, s, 500, 0.1) for d, k, s in itertools.product((1, 3, 5), KINDS, (0.02, 0.1))]
    t0 = time.perf_counter()
    res = ratio_cells(cells, seeds)
    print(f"\n## 0 and 10 % outliers, n = 500, {seeds} seeds per cell: median and largest RMS / oracle")
    print(f"{'degree':>6}  {'share':>5}  {'kind':<10}{'sd':>6}{'median':>8}")
    for (d, k, s, _, share), (mx, over, med) in res.items():
        print(f"{d:>6}  {share:>5.0%}  {k if share else '-':<10}{s:>6}{med:>8.3f}")
    print(f"target: worst cell median {max(v[2] for v in res.values()):.3f} (<= 1.05); "
          f"{time.perf_counter() - t0:.0f} s")
    return res


SMALL_DESIGNS = ("longley", "scotland", "copper", "stackloss", "linnerud")


def small_design(name):
    """(X, y) of a small real data set: statsmodels' longley, scotland, copper and stackloss,
    scikit-learn's linnerud (exercise counts against weight)."""
    if name == "linnerud":
        from sklearn.datasets import load_linnerud

        data = load_linnerud()
        return np.asarray(data.data, float), np.asarray(data.target[:, 0], float)
    import statsmodels.api as sm

    data = getattr(sm.datasets, name).load_pandas()
    return np.asarray(data.exog, float), np.asarray(data.endog, float)


def small_draws(name, draws):
    """Clean normal errors on a real design: truth and noise level of least squares on its data."""
    X, y = small_design(name)
    A = np.column_stack([np.ones(len(X)), X])
    beta = np.linalg.lstsq(A, y, rcond=None)[0]
    sigma = np.sqrt(np.sum((y - A @ beta) ** 2) / (len(y) - A.shape[1]))
    rng = np.random.default_rng([SEED_BASE, SMALL_DESIGNS.index(name)])
    return X, A, beta, A @ beta + sigma * rng.normal(size=(draws, len(y)))


def zelk_linear(X, y, seed):
    import zelk

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = zelk.RobustLinearRegressor(random_state=seed).fit(X, y)
    return np.r_[m.intercept_, m.coef_], np.r_[m.intercept_stderr_, m.stderr_], np.mean(~m.inlier_mask_)


def run_small(draws=200, fit=zelk_linear, label="zelk", quiet=False):
    """Coverage of coef +- 1.96 stderr, share of clean points flagged and spread against RLM
    Tukey's, on clean normal errors simulated on each small design."""
    import statsmodels.api as sm

    out = {}
    if not quiet:
        print(f"\n## clean normal errors on small real designs, {draws} draws each: mean coverage of "
              f"coef +- 1.96 stderr, share flagged, spread / RLM Tukey's (largest over the coefficients)")
        print(f"{'design':<10}{'n':>4}{'p':>4}{label:>10}{'RLM':>8}{'OLS':>8}{'flagged':>9}{'spread':>8}")
    for name in SMALL_DESIGNS:
        X, A, beta, Y = small_draws(name, draws)
        cov, cov_rlm, cov_ols, flagged, est, est_rlm = [], [], [], [], [], []
        for i, y in enumerate(Y):
            b, se, fl = fit(X, y, i)
            cov.append(np.mean(np.abs(b - beta) <= 1.96 * se))
            flagged.append(fl)
            est.append(b)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r = sm.RLM(y, A, M=sm.robust.norms.TukeyBiweight()).fit()
            o = sm.OLS(y, A).fit()
            est_rlm.append(r.params)
            cov_rlm.append(np.mean(np.abs(r.params - beta) <= 1.96 * r.bse))
            cov_ols.append(np.mean(np.abs(o.params - beta) <= 1.96 * o.bse))
        spread = float(np.max(np.std(est, axis=0) / np.std(est_rlm, axis=0)))
        out[name] = (float(np.mean(cov)), float(np.mean(flagged)), spread)
        if not quiet:
            print(f"{name:<10}{A.shape[0]:>4}{A.shape[1]:>4}{np.mean(cov):>10.3f}{np.mean(cov_rlm):>8.3f}"
                  f"{np.mean(cov_ols):>8.3f}{np.mean(flagged):>9.1%}{spread:>8.2f}")
    if not quiet:
        print(f"targets: coverage {min(v[0] for v in out.values()):.3f} (>= 0.88 on every design), flagged "
              f"{max(v[1] for v in out.values()):.1%} (<= 5 %), spread {max(v[2] for v in out.values()):.2f} "
              f"(<= 1.3)")
    return out


# ---- the final step: candidates ------------------------------------------------------------------
def _candidates():
    """Final steps from the same S-fit, each returning the fit the estimator reports. All share
    the S-stage; only what follows the S-fit differs."""
    from scipy.special import ndtr

    from zelk import _final, _robust
    from zelk._final import FinalFit, m_step, polished_fit
    from zelk._linalg import leverages
    from zelk._norms import Bisquare
    from zelk._scale import S_LOSS, good_scale, m_scale

    def exact(Phi, z, s_fit, pen):
        r = z - Phi @ s_fit.beta
        on = (np.abs(r) <= _final.EXACT_TOL).astype(float)
        return FinalFit(polished_fit(Phi, z, on, pen), 0.0, on, 0, "exact", True, s_fit.scale)

    def m_fit(beta, sigma, w, n_iter):
        # reported as an M-fit: the benchmark's covariance below takes the sandwich
        return FinalFit(beta, sigma, w, n_iter, "m", True, 0.0)

    def mm(Phi, z, s_fit, pen, n_params, c, tol, max_iter, guard=False):
        if s_fit.scale <= _final.EXACT_TOL:
            return exact(Phi, z, s_fit, pen)
        beta, w, it, _ = m_step(Phi, z, s_fit.beta, s_fit.scale, c, pen, tol, max_iter)
        if guard and m_scale(z - Phi @ beta, n_params) > (1 + _final.EXCESS_FACTOR * n_params / len(z)) * s_fit.scale:
            r = z - Phi @ s_fit.beta
            return FinalFit(s_fit.beta, s_fit.scale, S_LOSS.weights(r / s_fit.scale), 0, "s", True, 0.0)
        return m_fit(beta, s_fit.scale, w, it)

    def dcml(Phi, z, s_fit, pen, n_params, c, tol, max_iter):
        if s_fit.scale <= _final.EXACT_TOL:
            return exact(Phi, z, s_fit, pen)
        b0, w, it, _ = m_step(Phi, z, s_fit.beta, s_fit.scale, c, pen, tol, max_iter)
        b_ls = polished_fit(Phi, z, np.ones(len(z)), pen)
        n, p = Phi.shape
        d = b_ls - b0
        distance = float(d @ (Phi.T @ Phi / n) @ d) / s_fit.scale**2
        t = 1.0 if distance <= 0.3 * p / n else np.sqrt(0.3 * p / n / distance)
        return m_fit(t * b_ls + (1 - t) * b0, s_fit.scale, w, it)

    def gy(Phi, z, s_fit, pen, n_params, c, tol, max_iter, own_scale=False):
        """Gervini and Yohai as published: normal reference, eta = 2.5, floor(n d), one step."""
        if s_fit.scale <= _final.EXACT_TOL:
            return exact(Phi, z, s_fit, pen)
        r = z - Phi @ s_fit.beta
        s = s_fit.scale
        if own_scale:
            tau = np.sqrt(np.maximum(1 - leverages(Phi, S_LOSS.weights(r / s)), 0))
            s = good_scale(r, s, n_params, tau)
        t = np.abs(r) / s
        ts = np.sort(t)
        beyond = ts >= 2.5
        d = max(0.0, float(np.max(2 * ndtr(ts[beyond]) - 1 - np.flatnonzero(beyond) / len(t)))) if beyond.any() else 0.0
        k = int(np.floor(len(t) * d))
        keep = np.ones(len(t))
        if k:
            keep[np.argsort(t, kind="stable")[len(t) - k:]] = 0.0
        beta = polished_fit(Phi, z, keep, pen)
        rk = (z - Phi @ beta)[keep > 0]
        return FinalFit(beta, float(np.sqrt(rk @ rk / (keep.sum() - n_params))), keep, 0, "adaptive", True, 0.0)

    return {
        "MM at the S-scale": lambda *a: mm(*a),
        "MM, refused -> S": lambda *a: mm(*a, guard=True),
        "DCML": dcml,
        "GY from S": gy,
        "GY from S, good scale": lambda *a: gy(*a, own_scale=True),
        "zelk (shipped)": _robust.final_step,
    }, Bisquare


@contextlib.contextmanager
def _final_step(fn):
    from zelk import _robust

    saved = _robust.final_step
    _robust.final_step = fn
    try:
        yield
    finally:
        _robust.final_step = saved


def _sandwich_stderr(model, X, y):
    """Standard errors of an M-fit (the candidates that end in one): Huber's H1 form with his
    small-sample factor K, as statsmodels' RLM gives them, in the caller's units."""
    from zelk._norms import Bisquare

    A = np.column_stack([np.ones(len(X)), X])
    b = np.r_[model.intercept_, model.coef_]
    s = model.s_scale_
    loss = Bisquare(model.c)
    t = (y - A @ b) / s
    n, p = A.shape
    dpsi = loss.psi_deriv(t)
    m = np.mean(dpsi)
    K = 1 + p / n * np.var(dpsi) / m**2
    cov = K**2 * np.sum(loss.psi(t) ** 2) / (n - p) * s**2 / m**2 * np.linalg.pinv(A.T @ A)
    return np.sqrt(np.diag(cov))


def run_finals(seeds=20, draws=80):
    """The candidate final steps on 45 % outliers (degrees 3 and 5, noise 0.1), clean data
    (n = 500, degree 3) and the small designs."""
    import zelk

    candidates, _ = _candidates()
    cells = [(d, k, 0.1, 2000, 0.45) for d, k in itertools.product((3, 5), KINDS)]
    clean = [(3, "one-sided", 0.02, 500, 0.0)]
    print(f"\n## final step candidates after the same S-fit: 45 % outliers (degrees 3, 5, sd 0.1, n = 2000, "
          f"{seeds} seeds per cell), clean data (degree 3, n = 500) and the small designs ({draws} draws)")
    print(f"{'candidate':<24}{'45 %: max RMS':>14}{'> 2x':>7}{'median':>8}{'clean median':>14}"
          f"{'coverage':>10}{'flagged':>9}{'spread':>8}")
    for name, fn in candidates.items():
        with _final_step(fn):
            heavy = ratio_cells(cells, seeds)
            low = ratio_cells(clean, seeds)

            def fit(X, y, seed):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    m = zelk.RobustLinearRegressor(random_state=seed).fit(X, y)
                se = np.r_[m.intercept_stderr_, m.stderr_]
                if name != "zelk (shipped)" and not name.startswith("GY"):
                    se = _sandwich_stderr(m, X, y)
                return np.r_[m.intercept_, m.coef_], se, np.mean(~m.inlier_mask_)

            small = run_small(draws, fit=fit, quiet=True)
        print(f"{name:<24}{max(v[0] for v in heavy.values()):>14.3f}{max(v[1] for v in heavy.values()):>7.0%}"
              f"{max(v[2] for v in heavy.values()):>8.3f}{low[clean[0]][2]:>14.3f}"
              f"{min(v[0] for v in small.values()):>10.3f}{max(v[1] for v in small.values()):>9.1%}"
              f"{max(v[2] for v in small.values()):>8.2f}", flush=True)
    print("(45 %: worst cell; coverage: smallest over the designs; flagged and spread: largest)")


def run_time(repeats=3):
    """ms per fixed-degree fit at n = 2000 on the cases of the breakdown grid (degrees 1/3/5,
    three kinds, 0-45 % outliers), against RANSACRegressor on the same data in the same run: the
    best of ``repeats`` wall-clock times per case and its CPU time, medians over the cases."""
    import os

    from bench_robust import FRACTIONS, make_case
    from sklearn.linear_model import RANSACRegressor

    import zelk

    wall = {"zelk": [], "ransac": []}
    cpu = {"zelk": [], "ransac": []}
    for degree, kind, frac in itertools.product((1, 3, 5), KINDS, FRACTIONS):
        x, y, _, _ = make_case(degree, 2000, kind, frac, 0)
        F = np.column_stack([x**p for p in range(1, degree + 1)])
        fits = {"zelk": lambda: zelk.RobustPolynomialRegressor(degree, random_state=0).fit(x[:, None], y),
                "ransac": lambda: RANSACRegressor(random_state=0).fit(F, y)}
        best = {k: (np.inf, np.inf) for k in fits}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for _ in range(repeats):
                for k, f in fits.items():
                    w0, c0 = time.perf_counter(), time.process_time()
                    f()
                    best[k] = min(best[k], (time.perf_counter() - w0, time.process_time() - c0))
        for k in fits:
            wall[k].append(best[k][0])
            cpu[k].append(best[k][1])
    mz, mr = np.median(wall["zelk"]), np.median(wall["ransac"])
    cz, cr = np.median(cpu["zelk"]), np.median(cpu["ransac"])
    print(f"\n## time per fit at n = 2000 ({len(wall['zelk'])} cases, best of {repeats}), load "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"wall: zelk {1e3 * mz:.1f} ms, RANSACRegressor {1e3 * mr:.1f} ms, RANSAC / zelk {mr / mz:.2f}")
    print(f"CPU:  zelk {1e3 * cz:.1f} ms, RANSACRegressor {1e3 * cr:.1f} ms, RANSAC / zelk {cr / cz:.2f}")
