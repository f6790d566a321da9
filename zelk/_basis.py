"""Well-conditioned polynomial bases and the maps back to monomials.

The estimators fit in a Legendre basis of robustly standardised features: column j of the
design is the product over features d of P_{e_jd}(u_d), u_d = (x_d - center_d) / scale_d, with
P_k the Legendre polynomial of degree k. Its columns are far closer to orthogonal than the
monomials x^e, which is what the sampler and the reweighted fits need. Everything here is a
linear map between that basis and zelk_core's monomial basis, so penalties and coefficients
move between the two exactly.
"""

from __future__ import annotations

import functools
import itertools
import math
from collections.abc import Sequence

import numpy as np
from numpy.polynomial import legendre as _leg
from numpy.polynomial import polynomial as _poly

import zelk_core

# 1 / Phi^-1(3/4): makes the MAD a consistent estimate of a normal standard deviation.
MAD_TO_SD = 1.4826022185056018


# Above this many rows, order statistics are selected from a bracket that a strided sample of
# the column finds (Floyd and Rivest's selection), instead of partitioning the whole column.
SELECT_ROWS = 65_536
_SELECT_SAMPLE = 8_192


def order_statistics(a: np.ndarray, ks: Sequence[int]) -> np.ndarray:
    """The ``ks``-th smallest values of the 1-D array ``a`` (no NaN), exactly as
    ``np.partition(a, ks)[ks]``. On many rows each cluster of ranks is bracketed by two order
    statistics of a strided sample; only the values inside the bracket are partitioned (a few per cent
    of them), and a bracket that misses falls back to the whole column."""
    a = np.asarray(a, dtype=float)
    ks = np.asarray(ks, dtype=np.intp)
    n = a.size
    if n <= SELECT_ROWS:
        return np.partition(a, ks)[ks]
    sample = a[:: n // _SELECT_SAMPLE]
    m = sample.size
    margin = int(4.0 * np.sqrt(m)) + 8
    out = np.empty(ks.size)
    wanted = np.unique(ks)
    # ranks close together (a median's two, a quantile's pair) share one bracket
    clusters = np.split(wanted, np.flatnonzero(np.diff(wanted) * m > margin * n) + 1)
    ends = [(int(c[0]) * m // n - margin, int(c[-1]) * m // n + margin) for c in clusters]
    # the brackets' ends are order statistics of the sample: selected, not sorted
    ranks = sorted({j for pair in ends for j in pair if 0 <= j < m})
    sample = np.partition(sample, ranks) if ranks else sample
    for cluster, (j_lo, j_hi) in zip(clusters, ends):
        lo = sample[j_lo] if j_lo >= 0 else -np.inf
        hi = sample[j_hi] if j_hi < m else np.inf
        below = int(np.count_nonzero(a < lo))
        mask = a >= lo
        mask &= a <= hi
        inside = a[mask]
        if below <= cluster[0] and cluster[-1] < below + inside.size:
            values = np.partition(inside, cluster - below)[cluster - below]
        else:
            values = np.partition(a, cluster)[cluster]
        for k, v in zip(cluster, values):
            out[ks == k] = v
    return out


def _median(a: np.ndarray) -> float:
    """np.median of a 1-D array without NaN (the same bits), by :func:`order_statistics`."""
    n = a.size
    if n % 2:
        return float(order_statistics(a, [n // 2])[0])
    lo, hi = order_statistics(a, [n // 2 - 1, n // 2])
    return float((lo + hi) / 2.0)


def robust_center_scale(a: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Column-wise median and normal-consistent MAD of a 2-D array.

    A column whose MAD is zero (more than half its values equal) falls back to the mean
    absolute deviation from the median, then to 1, so the scale is always positive and
    transforms with the data: scaling a column by ``a`` scales its scale by ``|a|``.
    """
    a = np.asarray(a, dtype=float)
    if a.shape[0] > SELECT_ROWS:
        center = np.array([_median(col) for col in a.T])
        dev = None
        # the median of |a - median|, by the selection above: np.median's bits, as zelk_core.mad's
        scale = MAD_TO_SD * np.array([_median(np.abs(col - c)) for col, c in zip(a.T, center)])
    else:
        center = np.median(a, axis=0)
        dev = np.abs(a - center)
        scale = MAD_TO_SD * np.median(dev, axis=0)
    flat = ~(scale > 0)
    if np.any(flat):
        mean_dev = np.mean(np.abs(a - center) if dev is None else dev, axis=0)
        scale = np.where(flat, mean_dev, scale)
        scale = np.where(scale > 0, scale, 1.0)
    return center, scale


def feature_center_scale(X: np.ndarray, share: float = 0.95) -> tuple[np.ndarray, np.ndarray]:
    """Column-wise midpoint and half-width of the central ``share`` of the values (quantiles
    2.5 % and 97.5 % by default), so that u = (x - center) / scale spans about [-1, 1], the
    Legendre polynomials' own interval.

    The median and MAD would serve as well for equivariance, but a cluster of points at one end
    of the range pulls them far off centre and stretches the other end to |u| of 3 or more,
    where high-degree Legendre columns grow by orders of magnitude; the quantile range ignores
    how the points are spread inside it. A column without spread gets a half-width of 1.
    """
    X = np.asarray(X, dtype=float)
    tail = 50.0 * (1.0 - share)
    if X.shape[0] > SELECT_ROWS:
        lo, hi = np.array([_percentiles(col, [tail, 100.0 - tail]) for col in X.T]).T
    else:
        lo, hi = np.percentile(X, [tail, 100.0 - tail], axis=0)
    center = 0.5 * (lo + hi)
    scale = 0.5 * (hi - lo)
    if np.any(~(scale > 0)):
        _, fallback = robust_center_scale(X)
        scale = np.where(scale > 0, scale, fallback)
    return center, scale


def _percentiles(a: np.ndarray, q: Sequence[float]) -> np.ndarray:
    """np.percentile(a, q) (linear interpolation, the same bits) of a 1-D array without NaN, by
    :func:`order_statistics`."""
    n = a.size
    virtual = np.asarray(q, dtype=float) / 100.0 * (n - 1)
    below = np.floor(virtual)
    gamma = virtual - below
    k = below.astype(np.intp)
    values = order_statistics(a, np.concatenate([k, np.minimum(k + 1, n - 1)]))
    lo, hi = values[:k.size], values[k.size:]
    diff = hi - lo
    return np.where(gamma >= 0.5, hi - diff * (1.0 - gamma), lo + diff * gamma)


def multi_indices(degrees: Sequence[int], basis: str) -> list[tuple[int, ...]]:
    """Exponent tuples of the basis, in zelk_core's order (last feature fastest).

    ``basis="tensor"`` keeps every tuple with e_d <= degrees[d]; ``basis="total"`` keeps
    those whose sum is at most max(degrees) as well. The total basis is generated directly,
    one step per tuple (C(p + d, d) of them for p features of degree d), never by filtering
    the (d + 1)^p tuples of the tensor grid.
    """
    bounds = [int(g) for g in degrees]
    if basis == "tensor":
        return [tuple(e) for e in itertools.product(*(range(g + 1) for g in bounds))]
    top = max(bounds) if bounds else 0
    return list(_bounded_tuples(bounds, top))


def _bounded_tuples(bounds: list[int], top: int):
    """Tuples e with e_d <= bounds[d] and sum(e) <= top, in lexicographic order.

    The successor of e raises the rightmost entry that can still grow (below its bound, and
    with the entries before it leaving room under ``top``) and clears every entry after it.
    """
    e = [0] * len(bounds)
    yield tuple(e)
    while True:
        prefix = [0]
        for v in e:
            prefix.append(prefix[-1] + v)
        for d in range(len(e) - 1, -1, -1):
            if e[d] < bounds[d] and prefix[d + 1] < top:
                e[d] += 1
                e[d + 1:] = [0] * (len(e) - d - 1)
                break
        else:
            return
        yield tuple(e)


def legendre_values(u: np.ndarray, degree: int) -> np.ndarray:
    """(len(u), degree + 1) array of P_0(u) .. P_degree(u) by the three-term recurrence."""
    return _leg.legvander(np.asarray(u, dtype=float), degree)


def legendre_design(U: np.ndarray, indices: Sequence[tuple[int, ...]], degrees: Sequence[int]) -> np.ndarray:
    """Design matrix of the tensor Legendre basis named by ``indices`` at the rows of ``U``."""
    n, n_features = U.shape
    if n > SELECT_ROWS:
        from . import _kernels  # one pass over the rows, the same bits

        return _kernels.legendre_design(U, indices)
    values = [legendre_values(U[:, d], int(degrees[d])) for d in range(n_features)]
    Phi = np.ones((n, len(indices)))
    for j, e in enumerate(indices):
        for d, p in enumerate(e):
            if p:
                Phi[:, j] *= values[d][:, p]
    return Phi


def legendre_row_bound(U: np.ndarray, indices: Sequence[tuple[int, ...]]) -> float:
    """An upper bound on the largest squared row length of :func:`legendre_design` (U, indices)
    from the largest |u| of each feature alone (one pass over U, none over the design):
    |P_e(u)| <= 1 on [-1, 1] and |P_e(u)| = P_e(|u|) grows with |u| beyond, so column j is at
    most the product over features of max(1, |P_e(m_d)|), m_d = max |U[:, d]|. It is the exact
    largest length when one row holds every feature's extreme (one feature, for instance); a
    relative margin of 1e-12 covers rounding."""
    U = np.asarray(U, dtype=float)
    if U.shape[0] == 0 or not indices:
        return 0.0
    E = np.array(indices, dtype=int).reshape(len(indices), U.shape[1])
    col = np.ones(len(indices))
    for d in range(U.shape[1]):
        m = max(float(np.max(U[:, d])), -float(np.min(U[:, d])))
        values = np.maximum(1.0, np.abs(legendre_values(np.array([m]), int(E[:, d].max()))[0]))
        col *= values[E[:, d]] ** 2
    return float(np.sum(col)) * (1.0 + 1e-12)


def legendre_to_monomial_1d(degree: int, center: float = 0.0, scale: float = 1.0) -> np.ndarray:
    """Matrix T with column k = monomial coefficients (in x) of P_k((x - center) / scale)."""
    L = _legendre_in_u(int(degree))  # column k: P_k as a polynomial in u
    # u^j = ((x - center) / scale)^j = sum_i C(j, i) x^i (-center)^(j - i) / scale^j
    j = np.arange(degree + 1)
    binom = np.array([[math.comb(int(b), int(a)) for b in j] for a in j], dtype=float)
    with np.errstate(invalid="ignore"):
        powers = np.where(j[None, :] >= j[:, None], (-center) ** np.maximum(j[None, :] - j[:, None], 0), 0.0)
    M = binom * powers / scale ** j[None, :]
    return M @ L


@functools.lru_cache(maxsize=32)
def _legendre_in_u(degree: int) -> np.ndarray:
    L = np.zeros((degree + 1, degree + 1))
    for k in range(degree + 1):
        L[: k + 1, k] = _leg.leg2poly(np.eye(degree + 1)[k][: k + 1])
    L.setflags(write=False)
    return L


def tensor_map(degrees: Sequence[int], indices: Sequence[tuple[int, ...]],
               centers: Sequence[float] | None = None, scales: Sequence[float] | None = None) -> np.ndarray:
    """Map from Legendre coefficients (columns ``indices``) to monomial ones on the same indices.

    Entry (i, j) is the product over features d of T_d[e_i[d], e_j[d]], T_d the
    one-dimensional map of feature d: the block of the Kronecker product of the T_d that
    ``indices`` select. An affine change of each coordinate keeps every exponent within its
    own bound and the total degree, so nothing outside ``indices`` is needed.
    """
    n_features = len(degrees)
    centers = [0.0] * n_features if centers is None else centers
    scales = [1.0] * n_features if scales is None else scales
    E = np.array(indices, dtype=int).reshape(len(indices), n_features)
    M = np.ones((len(indices), len(indices)))
    for d in range(n_features):
        T = legendre_to_monomial_1d(int(degrees[d]), float(centers[d]), float(scales[d]))
        M *= T[np.ix_(E[:, d], E[:, d])]
    return M


def legendre_penalties(degrees: Sequence[int], indices: Sequence[tuple[int, ...]],
                       bounds: Sequence[tuple[float, float]]) -> tuple[np.ndarray, np.ndarray]:
    """zelk_core's smoothness penalties (squared first and second derivatives over ``bounds``)
    carried over to the Legendre basis: c'(T'RT)c equals b'Rb for the monomial b = Tc."""
    degrees = [int(g) for g in degrees]
    if len(degrees) == 1:
        R1, R2 = zelk_core.smoothness_penalty_matrices_1d(degrees[0], *bounds[0])
        full_indices = [(p,) for p in range(degrees[0] + 1)]
    else:
        R1, R2, full = zelk_core.build_penalty_matrices_nd(degrees, [tuple(b) for b in bounds])
        full_indices = [tuple(e) for e in full]
    pos = [full_indices.index(tuple(e)) for e in indices]
    T = tensor_map(degrees, indices)
    R1 = np.asarray(R1)[np.ix_(pos, pos)]
    R2 = np.asarray(R2)[np.ix_(pos, pos)]
    return T.T @ R1 @ T, T.T @ R2 @ T
