"""A fit is built aside and swapped in whole, so one that fails leaves the estimator as it was.

A refit that stops half way (bad parameters found late, Ctrl-C, an alarm, a worker being shut
down) must not leave the new centring with the old coefficients: ``predict`` would return
numbers from neither fit, without an error. The fit therefore runs on an unfitted copy that
shares the estimator's parameters, and its results replace the estimator's fitted state in one
assignment of ``__dict__`` at the end, which no signal handler can interrupt half way.
"""

from __future__ import annotations

import copy

# Private attributes that only a fit sets (the public ones end in "_", scikit-learn's rule).
PRIVATE_FIT_STATE = frozenset({
    "_x_center", "_x_scale", "_y_center", "_y_scale", "_degrees", "_indices", "_beta",
    "_multi_indices", "_penalty_cache", "_unused",
})


def is_fit_state(name: str) -> bool:
    return (name.endswith("_") and not name.startswith("__")) or name in PRIVATE_FIT_STATE


def unfitted_copy(estimator):
    """A shallow copy with the same parameters and settings and none of the fitted state."""
    work = copy.copy(estimator)
    for name in [n for n in vars(work) if is_fit_state(n)]:
        delattr(work, name)
    return work


def fit_aside(estimator, run) -> None:
    """Calls ``run(work)`` on an unfitted copy, then gives ``estimator`` the fitted state of the
    copy (every attribute the run set or replaced) and drops what an earlier fit left that this
    one did not set; parameters and settings stay the estimator's own. Nothing of ``estimator``
    changes when ``run`` raises."""
    work = unfitted_copy(estimator)
    before = dict(vars(work))
    run(work)
    fitted = {k: v for k, v in vars(work).items() if k not in before or v is not before[k]}
    kept = {k: v for k, v in vars(estimator).items() if not is_fit_state(k)}
    estimator.__dict__ = {**kept, **fitted}
