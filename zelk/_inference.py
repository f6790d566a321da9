"""Inference for a fitted estimator: normal intervals, z-tests and the summary table.

Everything here reads the fitted ``intercept_``, ``coef_`` and their standard errors, the
square roots of the diagonal of ``covariance_`` (that of least squares on the samples the fit
kept, in the caller's units); it computes no covariance of its own.
The intervals and tests are the large-sample normal ones that robust M- and MM-estimators
report (as statsmodels' RLM does): estimate +- z_(1 - alpha/2) * standard error.
"""

from __future__ import annotations

import html
import math
from dataclasses import dataclass
from numbers import Real
from statistics import NormalDist

import numpy as np


def check_alpha(alpha) -> float:
    if isinstance(alpha, bool) or not isinstance(alpha, Real) or not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must be a number between 0 and 1 (exclusive), got {alpha!r}")
    return float(alpha)


def normal_intervals(params: np.ndarray, stderr: np.ndarray, alpha: float) -> np.ndarray:
    """(k, 2) array of params -+ z_(1 - alpha/2) * stderr; NaN where the error is NaN."""
    q = NormalDist().inv_cdf(1.0 - check_alpha(alpha) / 2.0)
    return np.column_stack([params - q * stderr, params + q * stderr])


def term_names(multi_indices: np.ndarray, feature_names) -> list[str]:
    """One name per row of exponents: "x0", "x0^2 x1", or the same with the caller's feature
    names (scikit-learn's PolynomialFeatures names its columns alike)."""
    names = []
    for row in np.asarray(multi_indices, dtype=int):
        parts = [feature_names[d] if e == 1 else f"{feature_names[d]}^{e}" for d, e in enumerate(row) if e]
        names.append(" ".join(parts) if parts else "1")
    return names


def _number(v: float) -> str:
    """Four significant digits, fixed-point where that reads well (statsmodels' tables alike)."""
    if not np.isfinite(v):
        return "nan" if np.isnan(v) else ("inf" if v > 0 else "-inf")
    if v == 0.0 or 1e-4 <= abs(v) < 1e6:
        digits = max(0, 3 - int(math.floor(math.log10(abs(v))))) if v else 4
        return f"{v:.{min(digits, 8)}f}"
    return f"{v:.3e}"


@dataclass(frozen=True, eq=False)
class RegressionSummary:
    """What ``summary()`` returns: ``str()`` and ``repr()`` give the table as text, a notebook
    shows it as HTML; the numbers are attributes (one entry per term, the intercept first).

    Attributes
    ----------
    names : list of str
        "intercept", then one name per coefficient.
    params, bse, zvalues, pvalues : ndarray
        Estimates, standard errors, z = params / bse, and two-sided normal p-values.
    conf_int : ndarray of shape (len(params), 2)
        Lower and upper bounds at level ``1 - alpha``.
    alpha : float
        The level of ``conf_int``.
    info : list of (str, str)
        The lines above the table: what was fitted and how.
    """

    title: str
    names: list[str]
    params: np.ndarray
    bse: np.ndarray
    alpha: float
    info: list[tuple[str, str]]

    @property
    def zvalues(self) -> np.ndarray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.params / self.bse

    @property
    def pvalues(self) -> np.ndarray:
        return np.array([math.erfc(abs(z) / math.sqrt(2.0)) for z in self.zvalues])

    @property
    def conf_int(self) -> np.ndarray:
        return normal_intervals(self.params, self.bse, self.alpha)

    def _columns(self) -> list[str]:
        lo, hi = self.alpha / 2.0, 1.0 - self.alpha / 2.0
        return ["coef", "std err", "z", "P>|z|", f"[{lo:g}", f"{hi:g}]"]

    def _rows(self) -> list[list[str]]:
        ci = self.conf_int
        return [[_number(b), _number(s), f"{z:.3f}", f"{p:.3f}", _number(a), _number(c)]
                for b, s, z, p, (a, c) in zip(self.params, self.bse, self.zvalues, self.pvalues, ci)]

    def as_text(self) -> str:
        rows = self._rows()
        name_w = max(len(n) for n in [*self.names, "intercept"])
        col_w = max(10, *(len(c) for r in rows for c in r)) + 1
        width = name_w + 6 * col_w
        half = (width - 4) // 2
        info = [f"{label + ':':<{max(half - len(value), len(label) + 2)}}{value}" for label, value in self.info]
        lines = [self.title.center(width).rstrip(), "=" * width]
        for i in range(0, len(info), 2):
            lines.append("    ".join(f"{s:<{half}}" for s in info[i:i + 2]).rstrip())
        lines += ["=" * width, " " * name_w + "".join(f"{c:>{col_w}}" for c in self._columns()), "-" * width]
        lines += [f"{n:<{name_w}}" + "".join(f"{c:>{col_w}}" for c in r) for n, r in zip(self.names, rows)]
        lines.append("=" * width)
        return "\n".join(lines)

    def as_html(self) -> str:
        esc = html.escape
        info = "".join(f"<tr><th style='text-align:left'>{esc(k)}</th><td style='text-align:right'>{esc(v)}</td></tr>"
                       for k, v in self.info)
        head = "".join(f"<th>{esc(c)}</th>" for c in self._columns())
        body = "".join(f"<tr><th style='text-align:left'>{esc(n)}</th>" + "".join(f"<td>{esc(c)}</td>" for c in r)
                       + "</tr>" for n, r in zip(self.names, self._rows()))
        return (f"<div><table><caption>{esc(self.title)}</caption>{info}</table>"
                f"<table><thead><tr><th></th>{head}</tr></thead><tbody>{body}</tbody></table></div>")

    def __str__(self) -> str:
        return self.as_text()

    __repr__ = __str__

    def _repr_html_(self) -> str:
        return self.as_html()


def summarize(model, alpha: float) -> RegressionSummary:
    """The summary of a fitted zelk estimator."""
    alpha = check_alpha(alpha)
    n_all = len(model.inlier_mask_)
    unused = getattr(model, "_unused", None)  # samples of weight 0: not part of the fit
    used = np.ones(n_all, bool) if unused is None else ~unused
    n = int(np.count_nonzero(used))
    features = getattr(model, "feature_names_in_", None)
    features = [str(f) for f in features] if features is not None else [f"x{d}" for d in range(model.n_features_in_)]
    names = ["intercept", *term_names(model._multi_indices, features)]
    flagged = int(np.count_nonzero(~model.inlier_mask_[used]))
    # What the fit reports about itself, each line only where the estimator has it.
    observations = str(n) if n == n_all else f"{n} (and {n_all - n} of weight 0, not used)"
    lines = [("Observations", lambda m: observations), ("Terms (with intercept)", lambda m: str(len(names))),
             ("Scale", lambda m: _number(m.scale_)), ("S-scale", lambda m: _number(m.s_scale_)),
             ("Flagged as outliers", lambda m: f"{flagged} ({flagged / n:.1%})"), ("Start", lambda m: m.start_),
             ("M-step loss", lambda m: f"bisquare, c = {m.c:g}"), ("Covariance", lambda m: "least squares, kept"),
             ("Kept by the final fit", lambda m: f"{int(np.count_nonzero(m.weights_))} of {n}"),
             ("Degree", lambda m: str(m.degree_)), ("M-step iterations", lambda m: str(m.n_iter_))]
    info = []
    for label, value in lines:
        try:
            info.append((label, value(model)))
        except AttributeError:
            pass
    params = np.r_[model.intercept_, model.coef_]
    bse = np.r_[model.intercept_stderr_, model.stderr_]
    return RegressionSummary(f"{type(model).__name__} results", names, params, bse, alpha, info)
