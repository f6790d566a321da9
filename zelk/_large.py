"""The robust fit on many rows: the S-stage on a random subsample, the rest on all rows in
one-pass native kernels (``zelk._kernels``).

Above ``LARGE_N`` rows the S-stage (every start ranked, the best concentrated) runs on a
random subsample of ``SUBSAMPLE`` rows, as fast S-estimation does; its S-fit is then
concentrated on all rows with exact scales for at most ``FULL_STEPS`` steps, and the final
step (M-step, adaptive hard rejection, least squares on the kept rows) runs on all rows. Every
pass over the rows is a kernel call: IRLS steps by ``bisquare_normal_equations``, least
squares by ``weighted_normal_equations`` (the Legendre basis is well conditioned, so the
normal equations lose nothing that matters; an exact fit still gets the QR solve), M-scales by
``m_scale`` from a warm start, residuals by ``residuals``. The standardised residuals that
adaptive rejection needs exactly are those that can reach its threshold, so leverages are
computed for those rows only (the others are bounded through the largest row length, or an
upper bound on it), and only that tail is sorted.

Below ``LARGE_N`` the fit does not come here, and stays the same bits.

The passes over all rows take optional prior weights ``sw`` (None: all ones), passed to the
kernels as ``w``; the rejection and the scales here still count rows, so the estimators send
weighted fits down the full path at any n.
"""

from __future__ import annotations

import functools

import numpy as np
from scipy.linalg import cho_factor, cho_solve

from ._final import (EXACT_TOL, EXCESS_FACTOR, MIN_GOOD_DOF, FinalFit, _good_dof, rejection_threshold,
                     tail_rejections)
from ._linalg import Penalty, identified_basis, leverages, polished_fit, solve_normal
from ._scale import S_BREAKDOWN, S_LOSS, good_scale, kept_scale, m_scale
from ._sfit import SFit, best_distinct, s_concentrate


class _Kernels:
    """``zelk._kernels``, imported when first used (the package imports before its compiled
    module can be found when the tests run it from the source tree)."""

    def __getattr__(self, name):
        from . import _kernels

        return getattr(_kernels, name)


K = _Kernels()

# Rows above which a fit takes the large-n path. Measured: with one feature (degree 3) it is as
# fast as the full path at 5000 rows and 1.6 times faster at 10000; with three, 4.8 times.
LARGE_N = 10_000
# Rows of the S-stage's subsample. At 45 % outliers a random 3000 rows hold a good majority
# with a margin of five and a half standard deviations.
SUBSAMPLE = 3_000
# Most concentration steps of the subsample's S-fit on all rows.
FULL_STEPS = 1
# Rows whose residual, before the leverage correction, is below this share of the rejection
# threshold cannot reach it as long as every leverage is below 1 - SHORTLIST^2.
SHORTLIST = 0.9
# Residuals beyond the rejection threshold sorted first (see _Rows.reject).
TAIL_PREFIX = 4096
# The M-step's Newton iteration stops a pass early only while its steps shrink at least this fast
# (see large_m_step).
NEWTON_RATE = 0.25


def sample_rows(n: int, k: int, rng: np.random.Generator) -> np.ndarray:
    """``k`` distinct rows out of ``n`` in random order, without permuting all n (NumPy's
    Generator draws a few rows out of many by a set of the rows drawn)."""
    return rng.choice(n, min(k, n), replace=False)


def subsample_groups(sub: np.ndarray, group_size: int, max_groups: int) -> list[np.ndarray]:
    """Disjoint groups of ``group_size`` rows of the (randomly ordered) subsample ``sub``, as
    ``_starts.row_groups`` makes them of all rows."""
    if sub.size <= 2 * group_size:
        return [sub]
    return [sub[g * group_size:(g + 1) * group_size] for g in range(min(max_groups, sub.size // group_size))]


def m_scale_all(r: np.ndarray, n_params: int, start: float | None = None) -> float:
    """``_scale.m_scale`` (the S-scale, n - n_params counted) by the kernel."""
    n = r.size
    if not n > n_params:
        return 0.0
    start = start if start is not None and start > 0.0 else None
    return float(K.m_scale(r, S_LOSS.c, S_BREAKDOWN * (n - n_params) / n, start=start))


def full_rank_basis(Phi: np.ndarray, sub: np.ndarray, row_norm2: float) -> np.ndarray | None:
    """``identified_basis`` without the QR of all rows when the rows ``sub`` alone show full
    rank with a wide margin: the other rows only raise the Gram matrix's smallest eigenvalue,
    and its largest is at most n times the largest squared row length, so a ratio above 1e-8
    there puts the design far inside LAPACK's rank rule. The QR decides otherwise."""
    S = Phi[sub]
    ev = np.linalg.eigvalsh(S.T @ S)
    if ev.size and ev[0] > 1e-8 * Phi.shape[0] * row_norm2:
        return None
    return identified_basis(Phi)


def largest_row_norm2(Phi: np.ndarray) -> float:
    """The largest squared length of a row of ``Phi``."""
    return float(np.max(np.einsum("ij,ij->i", Phi, Phi))) if Phi.size else 0.0


class _Rows:
    """The design and the targets of the large-n path, with what its passes share: the penalty
    matrix over all rows and the largest squared row length or an upper bound on it (a bound
    on the leverages)."""

    def __init__(self, Phi: np.ndarray, z: np.ndarray, pen: Penalty, n_params: int, sw: np.ndarray | None,
                 row_norm2: float | None = None):
        self.Phi, self.z, self.pen, self.n_params, self.sw = Phi, z, pen, n_params, sw
        self.n = len(z)
        self.P = pen.matrix(self.n)
        if row_norm2 is not None:
            self.row_norm2 = row_norm2

    @functools.cached_property
    def row_norm2(self) -> float:
        """The largest squared length of a row of the design."""
        return largest_row_norm2(self.Phi)

    def solve(self, A: np.ndarray, rhs: np.ndarray) -> np.ndarray:
        return solve_normal(A, rhs, self.P)

    def weights(self, w: np.ndarray, rows: np.ndarray | None = None) -> np.ndarray:
        """The weights ``w`` (of all rows, or of ``rows``) times the prior weights."""
        if self.sw is None:
            return w
        return w * (self.sw if rows is None else self.sw[rows])

    def residuals(self, beta: np.ndarray) -> np.ndarray:
        return K.residuals(self.Phi, self.z, beta)

    def least_squares(self, keep: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Least squares on the rows of ``keep`` (0/1) by the normal equations; also their
        matrix (without the penalty)."""
        A, rhs = K.weighted_normal_equations(self.Phi, self.z, self.weights(keep))
        return self.solve(A, rhs), A

    def factors(self, G: np.ndarray, used: int, weights_of, r: np.ndarray, sigma: float, eta: float):
        """``_final.residual_factors`` where it matters: the degrees of freedom sum(1 - w_i h_i)
        over the ``used`` rows of positive weight (their count minus trace((G + P)^-1 G), no pass
        needed), and the standardised residuals |r_i| / (sigma tau_i) of the rows that can reach
        ``eta``, as (rows, values); h_i = phi_i' (G + P)^-1 phi_i, tau_i^2 = 1 - w_i h_i for used
        rows and 1 + h_i for the others. ``G`` is Phi' diag(w) Phi and ``weights_of(rows)`` gives
        w at those rows."""
        A = G if self.P is None else G + self.P
        A_inv = np.linalg.pinv(A, hermitian=True)
        dof = float(used) - float(np.trace(A_inv @ G))
        h_max = self.row_norm2 * float(np.linalg.eigvalsh(A_inv)[-1]) if A_inv.size else 0.0
        if h_max < 1.0 - SHORTLIST**2:
            rows = np.flatnonzero(np.abs(r) >= SHORTLIST * eta * sigma)
        else:
            rows = np.arange(self.n)
        t0 = np.abs(r[rows]) * (1.0 / sigma)
        Pr = self.Phi.take(rows, axis=0)
        h = np.clip(np.einsum("ij,ij->i", Pr @ A_inv, Pr), 0.0, None)
        wr = weights_of(rows)
        tau2 = np.where(wr > 0, np.maximum(1.0 - wr * h, 0.0), 1.0 + h)
        return dof, rows, t0 / np.maximum(np.sqrt(tau2), 1e-8)

    def reject(self, G: np.ndarray, used: int, weights_of, r: np.ndarray,
               sigma: float) -> tuple[np.ndarray, float]:
        """``_final.reject_largest`` of the standardised residuals (see :meth:`factors`): the
        rejected rows (ascending) and the smallest rejected standardised residual (inf when
        none). Only the residuals beyond the threshold are sorted."""
        n = self.n
        eta = rejection_threshold(n)
        dof, rows, t = self.factors(G, used, weights_of, r, sigma, eta)
        tail = t >= eta
        rows, t = rows[tail], t[tail]
        size = t.size
        # The count is decided near the small end of the tail (far outliers cannot change it):
        # sort the smallest few thousand first, and everything only when they do not decide.
        if size > TAIL_PREFIX:
            part = np.flatnonzero(t <= np.partition(t, TAIL_PREFIX - 1)[TAIL_PREFIX - 1])
            order = part[np.argsort(t[part], kind="stable")]  # ties in the order of the rows
            n_out = tail_rejections(t[order], n, dof, size)
        else:
            n_out = None
        if n_out is None:
            order = np.argsort(t, kind="stable")
            n_out = tail_rejections(t[order], n, dof)
        if not n_out:
            return np.empty(0, np.intp), np.inf
        n_in = size - n_out  # the smallest of the tail stay
        out = np.ones(size, bool)
        out[order[:n_in]] = False
        cut = t[order[n_in]] if n_in < order.size else t[out].min()
        return rows[out], float(cut)


def concentrate(Phi: np.ndarray, z: np.ndarray, beta: np.ndarray, pen: Penalty, n_params: int,
                max_steps: int, tol: float, sw: np.ndarray | None = None,
                scale: float | None = None) -> tuple[np.ndarray, float]:
    """Concentration steps with exact M-scales, one kernel pass each (the weighted fit of the
    S-loss weights, then the M-scale from the last): ``_sfit.s_refine`` on the kernels. Stops
    after ``max_steps``, when the scale falls by at most ``tol`` (relative), or when it would
    rise; returns the coefficients with the smallest scale seen and that scale."""
    P = pen.matrix(len(z))
    s = m_scale_all(K.residuals(Phi, z, beta), n_params, start=scale)
    for _ in range(max_steps):
        if not s > 0.0:
            break
        A, rhs, _, active = K.bisquare_normal_equations(Phi, z, beta, s, S_LOSS.c, w=sw)
        if not active:
            break
        beta_new = solve_normal(A, rhs, P)
        s_new = m_scale_all(K.residuals(Phi, z, beta_new), n_params, start=s)
        if not s_new < s:
            break
        done = s - s_new <= tol * s
        beta, s = beta_new, s_new
        if done:
            break
    return beta, s


def large_s_estimate(Phi: np.ndarray, z: np.ndarray, starts: list[np.ndarray], pen: Penalty, n_params: int,
                     sub: np.ndarray, sw: np.ndarray | None = None) -> SFit:
    """The S-fit on the rows ``sub`` as ``_sfit.s_estimate`` finds it on all (two short
    concentration steps from every start; the two best, distinct, concentrated again from where
    they began, here by :func:`concentrate`, to a relative change of 1e-3, and the better one
    on to 1e-4), then at most ``FULL_STEPS`` concentration steps of it on all rows, each
    M-scale warm-started from the last."""
    Phi_s, z_s = Phi[sub], z[sub]
    sw_s = None if sw is None else sw[sub]
    B = np.array(starts, dtype=float).reshape(len(starts), Phi.shape[1])
    B_short, scales = s_concentrate(Phi_s, z_s, B.copy(), pen, n_params, 2)
    chosen = best_distinct(B_short, scales, 2)
    fits = [concentrate(Phi_s, z_s, B[i], pen, n_params, 200, 1e-3, sw_s) for i in chosen]
    k = min(range(len(fits)), key=lambda j: fits[j][1])
    beta, s = concentrate(Phi_s, z_s, fits[k][0], pen, n_params, 200, 1e-4, sw_s, scale=fits[k][1])
    beta, s = concentrate(Phi, z, beta, pen, n_params, FULL_STEPS, 1e-4, sw, scale=s)
    return SFit(beta, s, chosen[k], list(zip(B_short, scales)))


def irls(rows: _Rows, beta: np.ndarray, scale: float, c: float, tol: float, max_iter: int) -> tuple[np.ndarray, int]:
    """``_final.m_step``'s bisquare IRLS, one kernel pass per iteration; returns the
    coefficients and the iterations."""
    for it in range(1, max_iter + 1):
        A, rhs, _, active = K.bisquare_normal_equations(rows.Phi, rows.z, beta, scale, c, w=rows.sw)
        if not active:
            return beta, it
        beta_new = rows.solve(A, rhs)
        step = float(np.max(np.abs(beta_new - beta))) if beta.size else 0.0
        beta = beta_new
        if step <= tol * max(1.0, float(np.max(np.abs(beta)))):
            return beta, it
    return beta, max_iter


def large_m_step(rows: _Rows, beta: np.ndarray, scale: float, c: float, tol: float, max_iter: int,
                 part: _Rows | None = None) -> tuple[np.ndarray, np.ndarray, int, int, bool]:
    """The M-step of ``_final.m_step`` (the root of Phi' W r = P beta, W the bisquare weights at
    ``scale``) with one kernel pass per iteration, by Newton's method, from a start that the
    caller has brought close to the root on the rows of ``part`` (a subsample), so that each
    step gains several digits where a reweighting step gains one. The Jacobian is M + P with
    M = Phi' diag(psi'(t)) Phi; each pass gives A = Phi' W Phi, and M - A, a tenth of A or so,
    comes from the subsample once (scaled to all rows), or from all rows when there is none. A
    step that this matrix cannot take (not positive definite, or more than twice the
    reweighting step) is the reweighting step. Stops as ``m_step`` does, or one pass earlier:
    with the subsample's correction the steps shrink by a steady factor (a hundredth or so),
    so after two Newton steps whose ratio q is below ``NEWTON_RATE`` the distance left to the
    root is at most about q / (1 - q) times the last step, and when that is within ``tol`` the
    pass that would only confirm it is not made. Returns the coefficients, the weighted Gram
    matrix of the last pass and its number of rows of positive weight (one step before the
    coefficients), the iterations and whether it converged."""
    P = rows.P
    src = rows if part is None else part
    M, _ = K.bisquare_sandwich(src.Phi, src.z, beta, scale, c, w=src.sw)
    A_src = K.bisquare_normal_equations(src.Phi, src.z, beta, scale, c, w=src.sw)[0]
    D = (M - A_src) * (rows.n / src.n)
    A = None
    last_newton = np.inf  # size of the last step when it was a Newton step
    for it in range(1, max_iter + 1):
        A, rhs, _, active = K.bisquare_normal_equations(rows.Phi, rows.z, beta, scale, c, w=rows.sw)
        if not active:
            return beta, A, active, it, True
        g = rhs - A @ beta - (0.0 if P is None else P @ beta)
        delta = rows.solve(A, rhs) - beta
        J = A + D if P is None else A + D + P
        try:
            factor = cho_factor(J)
            d = np.abs(np.diag(factor[0]))
            d_newton = cho_solve(factor, g) if np.min(d) > 1e-7 * np.max(d) else None
        except np.linalg.LinAlgError:
            d_newton = None
        newton = d_newton is not None and np.all(np.isfinite(d_newton)) and \
            np.linalg.norm(d_newton) <= 2.0 * np.linalg.norm(delta)
        if newton:
            delta = d_newton
        beta = beta + delta
        step = float(np.max(np.abs(delta))) if beta.size else 0.0
        bound = tol * max(1.0, float(np.max(np.abs(beta))))
        if step <= bound:
            return beta, A, active, it, True
        if newton and last_newton < np.inf:
            q = step / last_newton
            if q < NEWTON_RATE and step * q / (1.0 - q) <= bound:
                return beta, A, active, it, True
        last_newton = step if newton else np.inf
    return beta, A, active, max_iter, False


def large_rejection_refit(rows: _Rows, out: np.ndarray, cut: float, max_rounds: int = 30
                          ) -> tuple[np.ndarray, float, np.ndarray, bool, np.ndarray | None, np.ndarray | None]:
    """``_final.rejection_refit`` on the kernels, from the rejected rows ``out`` (ascending);
    also returns the residuals of the fit and Phi' diag(keep) Phi (both None when the fit came
    from a cycle)."""
    seen: dict[bytes, int] = {}
    rounds: list[tuple[np.ndarray, float, np.ndarray]] = []
    beta, sigma, keep = None, 0.0, None
    for _ in range(max_rounds):
        key = out.tobytes()
        if key in seen:
            cycle = rounds[seen[key]:]
            return min(cycle, key=lambda f: m_scale_all(rows.residuals(f[0]), rows.n_params)) + (True, None, None)
        seen[key] = len(rounds)
        keep = np.ones(rows.n)
        keep[out] = 0.0
        beta, G = rows.least_squares(keep)
        r = rows.residuals(beta)
        sigma = _kept_scale(rows, r, keep, rows.n - out.size, G, cut)
        rounds.append((beta, sigma, keep))
        if not sigma > 0.0:
            return beta, sigma, keep, True, r, G
        new, cut = rows.reject(G, rows.n - out.size, keep.__getitem__, r, sigma)
        cut *= sigma
        if np.array_equal(new, out):
            return beta, sigma, keep, True, r, G
        out = new
    return beta, sigma, keep, False, r, G


def _kept_scale(rows: _Rows, r: np.ndarray, keep: np.ndarray, used: int, G: np.ndarray, cut: float) -> float:
    """``_scale.kept_scale``: sum(tau^2) over the kept rows is their count minus the trace of the
    hat matrix, so no leverage is needed."""
    A = G if rows.P is None else G + rows.P
    dof = float(used) - float(np.trace(np.linalg.pinv(A, hermitian=True) @ G))
    # kept_scale uses the sum of the squared kept residuals and the sum of tau^2 only
    ss = float(np.dot(keep * r, r))
    return kept_scale(np.array([np.sqrt(ss)]), np.ones(1), np.array([np.sqrt(max(dof, 0.0))]), cut)


def large_final_step(Phi: np.ndarray, z: np.ndarray, s_fit: SFit, pen: Penalty, n_params: int, c: float,
                     tol: float, max_iter: int, sw: np.ndarray | None = None,
                     sub: np.ndarray | None = None, row_norm2: float | None = None) -> FinalFit:
    """``_final.final_step`` on all rows with the kernels (see there for the routes). A fit the
    bound accepts is known to have its S-objective below the bound without solving for it: its
    ``objective`` is NaN."""
    beta_s, s_s = s_fit.beta, s_fit.scale
    rows = _Rows(Phi, z, pen, n_params, sw, row_norm2)
    n = rows.n
    if s_s <= EXACT_TOL:
        r = rows.residuals(beta_s)
        on = (np.abs(r) <= EXACT_TOL).astype(float)
        return FinalFit(polished_fit(Phi, z, rows.weights(on), pen), 0.0, on, 0, "exact", True, s_s)
    bound = (1.0 + EXCESS_FACTOR * n_params / n) * s_s
    fits = []
    for route in ("mm", "good scale"):
        if route == "mm":
            sigma = s_s
        else:
            r = rows.residuals(beta_s)
            tau = np.sqrt(np.maximum(1.0 - leverages(Phi, rows.weights(S_LOSS.weights(r / s_s)), rows.P), 0.0))
            sigma = good_scale(r, s_s, n_params, tau)
            if _good_dof(r, sigma, tau) < MIN_GOOD_DOF:
                break
        beta, n_sub = beta_s, 0
        if sub is not None:  # most of the way on the subsample, where an iteration is cheap
            part = _Rows(Phi[sub], z[sub], pen, n_params, None if sw is None else sw[sub])
            beta, n_sub = irls(part, beta, sigma, c, tol, max_iter)
        else:
            part = None
        beta, G, used, n_iter, converged = large_m_step(rows, beta, sigma, c, tol, max_iter, part)
        n_iter += n_sub
        rm = rows.residuals(beta)
        out, cut = rows.reject(G, used, lambda i: rows.weights(K.bisquare_weights(rm[i], sigma, c), i), rm, sigma)
        beta, sigma, keep, settled, r_final, G = large_rejection_refit(rows, out, cut * sigma)
        r_final = rows.residuals(beta) if r_final is None else r_final
        # The M-scale is at most the bound when the mean loss at the bound is at most its target
        # (the mean falls as the scale grows): one pass where solving for the scale takes several.
        if K.mean_bisquare_rho(r_final, bound, S_LOSS.c) <= S_BREAKDOWN * (n - n_params) / n:
            return FinalFit(beta, sigma, keep, n_iter, "adaptive", converged and settled, np.nan, route, G, r_final)
        objective = m_scale_all(r_final, n_params, start=s_s)
        fits.append(FinalFit(beta, sigma, keep, n_iter, "adaptive", converged and settled, objective, route, G,
                             r_final))
    return min(fits, key=lambda f: f.objective)


def large_robust_fit(Phi: np.ndarray, z: np.ndarray, pen: Penalty, starts: list[np.ndarray], kinds: list[str],
                     n_sampler: int, c: float, tol: float, max_iter: int, sub: np.ndarray,
                     sw: np.ndarray | None = None, row_norm2: float | None = None):
    """``_robust.robust_fit`` for many rows: the S-stage on the rows ``sub``
    (:func:`large_s_estimate`), the final step on all rows (:func:`large_final_step`).
    ``row_norm2`` is an upper bound on the squared row lengths of ``Phi`` when the caller has
    one without a pass over it (they are measured otherwise)."""
    from ._robust import RobustFit

    n, p = Phi.shape
    sub = np.sort(sub)
    row_norm2 = largest_row_norm2(Phi) if row_norm2 is None else row_norm2
    V = full_rank_basis(Phi, sub, row_norm2)
    if V is not None:
        Phi_r, pen_r = Phi @ V, pen.reduced(V)
        starts = [V.T @ b for b in starts]
        row_norm2 = None  # of the reduced design, when needed
    else:
        Phi_r, pen_r = Phi, pen
    n_params = Phi_r.shape[1]
    s_fit = large_s_estimate(Phi_r, z, starts, pen_r, n_params, sub, sw)
    final = large_final_step(Phi_r, z, s_fit, pen_r, n_params, c, tol, max_iter, sw, sub, row_norm2)
    back = (lambda b: b) if V is None else (lambda b: V @ b)
    null = np.zeros((p, 0)) if V is None else np.linalg.svd(V.T, full_matrices=True)[2][V.shape[1]:].T
    sampler_fits = s_fit.short[:n_sampler]
    # on the subsample, where the S-stage judged the starts
    restart_scales = np.array([m_scale(z[sub] - Phi_r[sub] @ b, n_params) for b, _ in sampler_fits])
    return RobustFit(beta=back(final.beta), scale=s_fit.scale, sigma=final.sigma, weights=final.weights,
                     n_iter=final.n_iter, start=kinds[s_fit.start], final=final.kind, route=final.route,
                     converged=final.converged, null_space=null,
                     # of the caller's design only
                     gram=final.gram if V is None else None, residuals=final.residuals if V is None else None,
                     restart_betas=np.array([back(b) for b, _ in sampler_fits]).reshape(len(sampler_fits), p),
                     restart_scales=restart_scales)
