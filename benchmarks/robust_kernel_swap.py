"""How fast the robust fit could be with zelk._kernels: the current fit's steps swapped for the
kernels, in this process only (zelk's own modules are patched here, never edited), against the
current fit and RANSACRegressor in the same run.

Variants, each a whole RobustPolynomialRegressor(degree=3).fit:
  current   the fit as it is;
  kernels   the same algorithm with each step on the kernels: the M-scale, one fused pass per
            IRLS step (residuals, bisquare weights, weighted Gram and right-hand side), the
            normal equations solved with the same ridge of 1e-10;
  fast-S    kernels, and the S-stage on a random subsample of --sub rows (fast S-estimation):
            the starts, their two concentration steps and the refinement of the best on the
            subsample; the full data only for the last concentration steps (the M-scale warm-
            started from the previous one) and the MM step. The covariance's two Gram matrices
            come from weighted_gram as well;
  fast-S lean  fast-S with at most --full-steps concentration steps on all rows, the design
            built once (the fit builds it twice today) by legendre_design, the covariance from
            bisquare_sandwich and the inlier scale's steps from truncated_sum_squares.
For each it prints the CPU time per fit, the time of each stage (fast-S), the RMS of fit minus
truth over the inliers over the oracle's (least squares on the true inliers), and the largest
difference of the predictions from the current fit's.

    .venv/bin/python benchmarks/robust_kernel_swap.py                 # n = 1e5, 1e6; 1 and 3 features
    .venv/bin/python benchmarks/robust_kernel_swap.py --ns 100000 --features 1 --repeat 3
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
import warnings
from collections import defaultdict

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import robust_scaling  # noqa: E402

import zelk  # noqa: E402
import pkgutil  # noqa: E402

zelk.__path__ = pkgutil.extend_path(zelk.__path__, "zelk")  # run from the source tree too
import zelk._base as B  # noqa: E402
import zelk._kernels as K  # noqa: E402
import zelk._robust as R  # noqa: E402

STAGES: dict[str, float] = defaultdict(float)
VARIANTS = ("current", "kernels", "fast-S", "fast-S lean")


@contextlib.contextmanager
def stage(name):
    t = time.process_time()
    try:
        yield
    finally:
        STAGES[name] += time.process_time() - t


def solve(A, b, pen, n):
    """zelk_core.fit_regularized_linear's system: ridge 1e-10 and the penalties weighted by n."""
    A = A + 1e-10 * np.eye(len(b))
    if pen.active:
        if pen.gamma1 and pen.R1 is not None:
            A = A + n * pen.gamma1 * pen.R1
        if pen.gamma2 and pen.R2 is not None:
            A = A + n * pen.gamma2 * pen.R2
    try:
        return np.linalg.solve(A, b)
    except np.linalg.LinAlgError:
        return np.linalg.lstsq(A, b, rcond=None)[0]


def k_weighted_fit(Phi, z, w, pen):
    A, b = K.weighted_normal_equations(Phi, z, w)
    return solve(A, b, pen, len(z))


def k_s_refine(Phi, z, beta, pen, max_iter=50, tol=1e-6, s=None):
    """R.s_refine on the kernels; `s`, when given, is the M-scale of beta's residuals."""
    s = K.m_scale(K.residuals(Phi, z, beta)) if s is None else s
    best = (beta, s)
    for _ in range(max_iter):
        if s == 0.0:
            break
        A, b, _, active = K.bisquare_normal_equations(Phi, z, beta, s, R.S_TUNING)
        if active == 0:
            break
        beta_new = solve(A, b, pen, len(z))
        s_new = K.m_scale(K.residuals(Phi, z, beta_new), start=s)  # the same root, from nearby
        if not s_new < best[1]:
            break
        best = (beta_new, s_new)
        done = s - s_new <= tol * s
        beta, s = beta_new, s_new
        if done:
            break
    return best


def k_m_step(Phi, z, beta, scale, c, pen, tol, max_iter):
    """R.m_step on the kernels."""
    if scale == 0.0:
        r = np.abs(K.residuals(Phi, z, beta))
        return beta, (r <= 1e-12 * max(1.0, float(np.max(np.abs(z))))).astype(float), 0
    for it in range(1, max_iter + 1):
        A, b, _, active = K.bisquare_normal_equations(Phi, z, beta, scale, c)
        if active == 0:
            return beta, K.bisquare_weights(K.residuals(Phi, z, beta), scale, c), it
        beta_new = solve(A, b, pen, len(z))
        step = float(np.max(np.abs(beta_new - beta))) if beta.size else 0.0
        beta = beta_new
        if step <= tol * max(1.0, float(np.max(np.abs(beta)))):
            return beta, K.bisquare_weights(K.residuals(Phi, z, beta), scale, c), it
    return beta, K.bisquare_weights(K.residuals(Phi, z, beta), scale, c), max_iter


def fast_mm_fit(Phi, z, pen, settings, seeds, rows, c, tol, max_iter, subsets=None, extra_starts=(),
                sub_size=4000, full_steps=50):
    """R.mm_fit with the S-stage on a subsample (see the module docstring)."""
    n = len(z)
    if n > sub_size:
        sub = np.sort(np.random.default_rng(seeds[0]).choice(n, sub_size, replace=False))
        PhiS, zS = Phi[sub], z[sub]
    else:
        PhiS, zS = Phi, z
    with stage("starts (sampler, subsets)"):
        starts, energies = R.sampler_starts(Phi, z, pen, settings, seeds, rows)
        n_sampler = len(starts)
        extra = R.subset_starts(Phi, z, rows, np.empty((0, 0), int) if subsets is None else subsets)
    with stage("S on the subsample"):
        starts += extra + list(extra_starts) + [k_weighted_fit(PhiS, zS, None, pen)]
        kinds = ["sampler"] * n_sampler + ["subset"] * len(extra) + ["given"] * len(extra_starts) + ["least squares"]
        candidates = [k_s_refine(PhiS, zS, b, pen, max_iter=2) for b in starts]
        best = int(np.argmin([s for _, s in candidates]))
        beta_sub, _ = k_s_refine(PhiS, zS, candidates[best][0], pen)
    with stage("S on all rows"):
        beta0, scale = k_s_refine(Phi, z, beta_sub, pen, max_iter=full_steps)
    with stage("MM step"):
        beta, w, n_iter = k_m_step(Phi, z, beta0, scale, c, pen, tol, max_iter)
    refined = candidates[:n_sampler]
    return R.RobustFit(beta=beta, scale=scale, weights=w, n_iter=n_iter, start=kinds[best],
                       restart_betas=np.array([b for b, _ in refined]).reshape(len(refined), Phi.shape[1]),
                       restart_scales=np.array([s for _, s in refined]), sampler_energies=np.array(energies))


def k_m_covariance(Phi, z, beta, scale, c):
    """R.m_covariance with its two Gram matrices from weighted_gram."""
    n, p = Phi.shape
    if scale == 0.0:
        return np.zeros((p, p))
    if n <= p:
        return np.full((p, p), np.nan)
    t = K.residuals(Phi, z, beta) / scale
    v = (t / c) ** 2
    inside = v < 1.0
    psi = np.where(inside, t * (1.0 - v) ** 2, 0.0)
    dpsi = np.where(inside, (1.0 - v) * (1.0 - 5.0 * v), 0.0)
    M = K.weighted_gram(Phi, dpsi)
    Q = K.weighted_gram(Phi, psi**2 * n / (n - p))
    M_inv = np.linalg.pinv(M)
    return scale**2 * M_inv @ Q @ M_inv


def lean_m_covariance(Phi, z, beta, scale, c):
    """R.m_covariance with both matrices from bisquare_sandwich."""
    n, p = Phi.shape
    if scale == 0.0:
        return np.zeros((p, p))
    if n <= p:
        return np.full((p, p), np.nan)
    M, Q = K.bisquare_sandwich(Phi, z, beta, scale, c)
    M_inv = np.linalg.pinv(M)
    return scale**2 * M_inv @ (Q * (n / (n - p))) @ M_inv


def lean_inlier_scale(r, start, n_params, tol=1e-12, max_iter=100):
    """R.inlier_scale with each step of its fixed point one truncated_sum_squares pass."""
    if not start > 0.0:
        return 0.0
    s = start
    for _ in range(max_iter):
        m, total = K.truncated_sum_squares(r, R._TRUNCATION * s)
        if m <= n_params:
            return s
        s_new = float(np.sqrt(total / (m - n_params) / R._TRUNCATED_VARIANCE))
        if abs(s_new - s) <= tol * s:
            return s_new
        s = s_new
    return s


def timed(name, call):
    """Wraps a module function so that its CPU time goes into STAGES[name]."""
    def wrapper(*a, **k):
        with stage(name):
            return call(*a, **k)
    return wrapper


def design_once(build):
    """legendre_design that builds each fit's design once (the fit asks for it twice); the
    cache is cleared when a fit starts."""
    cache = {}

    def wrapper(U, indices, degrees):
        key = (id(U), U.shape, tuple(map(tuple, indices)), tuple(degrees))
        if key not in cache:
            cache.clear()
            cache[key] = build(U, indices, degrees)
        return cache[key]
    wrapper.cache = cache
    return wrapper


@contextlib.contextmanager
def variant(name, sub_size, full_steps=50):
    """Patches zelk's modules for one variant, and restores them."""
    saved = [(R, k, getattr(R, k)) for k in ("m_scale", "weighted_fit", "s_refine", "m_step")]
    saved += [(B, k, getattr(B, k)) for k in ("mm_fit", "m_covariance", "inlier_scale", "legendre_design")]
    saved += [(B.RobustRegressorBase, "fit", B.RobustRegressorBase.fit)]
    try:
        if name in ("kernels", "fast-S"):
            R.m_scale = lambda r, c=R.S_TUNING, b=R.S_BREAKDOWN, tol=1e-12, max_iter=100: K.m_scale(r, c, b, tol, max_iter)
            R.weighted_fit = k_weighted_fit
            R.s_refine = k_s_refine
            R.m_step = k_m_step
        if name.startswith("fast-S"):
            lean = name == "fast-S lean"
            B.mm_fit = lambda *a, **k: fast_mm_fit(*a, **k, sub_size=sub_size, full_steps=full_steps if lean else 50)
            B.m_covariance = timed("covariance", lean_m_covariance if lean else k_m_covariance)
            B.inlier_scale = timed("inlier scale", lean_inlier_scale if lean else B.inlier_scale)
            design = design_once(lambda U, indices, degrees: K.legendre_design(U, indices)) if lean else B.legendre_design
            B.legendre_design = timed("Legendre design", design)
            if lean:
                fit = B.RobustRegressorBase.fit

                def fresh_fit(self, X, y):
                    design.cache.clear()
                    return fit(self, X, y)
                B.RobustRegressorBase.fit = fresh_fit
        yield
    finally:
        for mod, k, v in saved:
            setattr(mod, k, v)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ns", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--features", type=int, nargs="+", default=[1, 3])
    parser.add_argument("--repeat", type=int, default=2, help="fits per variant (the fastest counts)")
    parser.add_argument("--sub", type=int, default=4000, help="fast-S: rows of the subsample")
    parser.add_argument("--full-steps", type=int, default=3,
                        help="fast-S lean: most concentration steps on all rows (and the design built once)")
    args = parser.parse_args()
    from sklearn.linear_model import RANSACRegressor
    from threadpoolctl import threadpool_limits

    print(f"load average at start: {' '.join(f'{x:.1f}' for x in os.getloadavg())} (2 cores)")
    with threadpool_limits(limits=1), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for k in args.features:
            X, y, truth, good = robust_scaling.make_case(300, k, 99)  # imports and caches: not timed
            for v in VARIANTS:
                with variant(v, args.sub, args.full_steps):
                    zelk.RobustPolynomialRegressor(degree=3, random_state=0).fit(X, y)
            for n in args.ns:
                X, y, truth, good = robust_scaling.make_case(n, k, 0)
                oracle = robust_scaling.oracle(X, y, good)
                o_rms = np.sqrt(np.mean((oracle[good] - truth[good]) ** 2))
                F = robust_scaling.monomials(X)
                rows, ref = [], None
                for v in ("ransac",) + VARIANTS:
                    best_t, pred, stages = np.inf, None, {}
                    for _ in range(args.repeat):
                        STAGES.clear()
                        t = time.process_time()
                        if v == "ransac":
                            model = RANSACRegressor(random_state=0).fit(F, y)
                            dt = time.process_time() - t
                            pred = model.predict(F)
                        else:
                            with variant(v, args.sub, args.full_steps):
                                model = zelk.RobustPolynomialRegressor(degree=3, random_state=0).fit(X, y)
                                dt = time.process_time() - t
                            pred = model.predict(X)
                        if dt < best_t:
                            best_t, stages = dt, dict(STAGES)
                    if v == "current":
                        ref = pred
                    rms = np.sqrt(np.mean((pred[good] - truth[good]) ** 2))
                    rows.append((v, best_t, rms / o_rms, None if ref is None else float(np.max(np.abs(pred - ref))), stages))
                t_ransac = rows[0][1]
                print(f"\n## {k} feature(s), n = {n:.0e} (load {os.getloadavg()[0]:.1f}); CPU s per fit")
                print("| variant | time s | / RANSAC | RMS / oracle | max |pred - current| |")
                print("|---|---|---|---|---|")
                for v, t, ratio, diff, stages in rows:
                    print(f"| {v} | {t:.3f} | {t / t_ransac:.2f} | {ratio:.3f} | {'' if diff is None else f'{diff:.1e}'} |")
                for v, t, _, _, stages in rows:
                    if stages:
                        rest = t - sum(stages.values())
                        print(f"{v} stages: " + ", ".join(f"{s} {1e3 * x:.0f} ms" for s, x in stages.items())
                              + f", everything else (standardising, final scale, score) {1e3 * rest:.0f} ms")


if __name__ == "__main__":
    main()
