"""Starting points of the robust fit: zelk_core's tournament sampler and exact fits through
random elemental subsets.

Both look at subsamples only; the S-stage (``_robust.s_estimate``) then judges every start on
all rows. The elemental subsets are drawn in several disjoint groups of rows, and the best few
of each group are kept, as fast S- and LTS-estimators do: with 45-49 % outliers a single
subsample of a few hundred rows can hold more outliers than good points by chance alone, and
then every start it ranks first lies on the outliers, while other groups still see the good
majority.
"""

from __future__ import annotations

import numpy as np

import zelk_core

from ._robust import Penalty, SamplerSettings

# At most this many groups of rows for the elemental subsets; the exact fits kept per group (full
# basis) and per smaller block of the basis.
MAX_GROUPS = 5
KEEP_PER_GROUP = 1
KEEP_PER_ORDER = 5
# With several groups, the exact fits are ranked by their median absolute residual on this many
# rows of their group: enough to tell a fit through good points from one through outliers in
# most groups; the S-fit judges the best of each on all rows.
RANK_ROWS = 150


def sampler_starts(Phi: np.ndarray, z: np.ndarray, pen: Penalty, settings: SamplerSettings,
                   seeds: list[int], rows: np.ndarray | None) -> tuple[list[np.ndarray], list[float]]:
    """One tournament per seed (on ``rows`` only, when given); returns the coefficients and
    their energies."""
    A = Phi if rows is None else Phi[rows]
    t = z if rows is None else z[rows]
    args = (pen.R1, pen.R2, pen.gamma1, pen.gamma2) if pen.active else ()
    betas, energies = [], []
    for seed in seeds:
        sampler = zelk_core.TournamentMCMC(n_chains=settings.n_chains, n_warmup=settings.n_warmup,
                                           n_deep=settings.n_deep, n_elite=settings.n_elite, seed=seed)
        result = sampler.fit(A, t, *args)
        betas.append(np.array(result.beta_mcmc))
        energies.append(float(result.energy))
    return betas, energies


def row_groups(n: int, group_size: int, rng: np.random.Generator) -> list[np.ndarray]:
    """Disjoint groups of rows in random order (so that any leading part of a group is a random
    sample, whatever order the data come in): one group of all rows when n <= 2 ``group_size``,
    else up to ``MAX_GROUPS`` groups of ``group_size`` rows."""
    order = rng.permutation(n)
    if n <= 2 * group_size:
        return [order]
    n_groups = min(MAX_GROUPS, n // group_size)
    return [order[g * group_size:(g + 1) * group_size] for g in range(n_groups)]


def _best_exact_fits(Phi: np.ndarray, z: np.ndarray, groups: np.ndarray, q: int, count: int,
                     rng: np.random.Generator, n_keep: int, rank_rows: int) -> list[np.ndarray]:
    """For each group of rows (a row of ``groups``): ``count`` exact fits of the first ``q``
    columns through q random rows of the group each, and the ``n_keep`` with the smallest median
    absolute residual on the first ``rank_rows`` rows of the group, as full-length coefficient
    vectors (zeros beyond q). All groups at once."""
    n_groups, size = groups.shape
    p = Phi.shape[1]
    if count <= 0 or size <= q:
        return []
    # Rows drawn with replacement: a subset that repeats a row is singular and dropped below,
    # which costs a few subsets and saves sorting count x size random keys.
    subsets = np.take_along_axis(groups[:, None, :], rng.integers(0, size, size=(n_groups, count, q)), axis=2)
    Phi_q = Phi[:, :q]
    A = Phi_q[subsets]  # (G, K, q, q)
    # Nearly singular subsets out: |det| against the product of the row lengths (Hadamard's
    # bound) is 1 for orthogonal rows and 0 for dependent ones, whatever the scale.
    sign, logdet = np.linalg.slogdet(A)
    with np.errstate(divide="ignore"):
        bound = 0.5 * np.sum(np.log(np.sum(A * A, axis=3)), axis=2)
    ok = (sign != 0) & (logdet - bound > np.log(1e-10))
    A = np.where(ok[..., None, None], A, np.eye(q))  # placeholders, ranked last below
    betas = np.linalg.solve(A, z[subsets][..., None])[..., 0]  # (G, K, q)
    judge = groups[:, :rank_rows]
    res = np.abs(z[judge][:, None, :] - betas @ Phi_q[judge].transpose(0, 2, 1))
    half = judge.shape[1] // 2
    med = np.where(ok, np.partition(res, half, axis=2)[..., half], np.inf)  # an (upper) median
    out = []
    for g in range(n_groups):
        for i in np.argsort(med[g], kind="stable")[:n_keep]:
            if ok[g, i]:
                beta = np.zeros(p)
                beta[:q] = betas[g, i]
                out.append(beta)
    return out


def elemental_starts(Phi: np.ndarray, z: np.ndarray, groups: list[np.ndarray], n_subsets: int,
                     rng: np.random.Generator, orders: list[int] | None = None) -> list[np.ndarray]:
    """Exact fits through random elemental subsets; from each group of rows the few with the
    smallest median absolute residual on that group.

    The sampler's energy counts points inside a band of 0.4 MAD of y; when a compact cluster of
    outliers holds more points of such a band than the good points do, its best state lies on
    the cluster. A clean elemental subset lands near the good fit whatever the band: with p
    coefficients and a share e of outliers, one subset in (1 - e)^-p is clean.

    ``orders`` lists the sizes of nested leading blocks of columns (a polynomial basis by
    degree: 1, x; then 1, x, x^2; ...), the last the full p. An exact fit through p points of a
    degree-5 polynomial swings wildly where the subset has no points (the ends of the range,
    which leverage outliers crowd), and concentration steps from there settle on the outliers;
    a line or a parabola through two or three good points is clean far more often, and smooth,
    and the concentration steps in the full basis grow it into the good fit. So each block from
    the line up gets ``n_subsets`` subsets of its own (and keeps its best five), beside the
    ``n_subsets`` of the full basis shared out over the groups (the best of each, or the best
    few of each when there are fewer than ``MAX_GROUPS`` groups)."""
    p = Phi.shape[1]
    orders = [p] if not orders else [q for q in orders if 0 < q <= p]
    lower = [q for q in orders if 1 < q < p]
    out: list[np.ndarray] = []
    if not groups or n_subsets <= 0:
        return out
    per_group = -(-n_subsets // len(groups))
    size = min(len(g) for g in groups)
    stacked = np.array([g[:size] for g in groups])
    # as many full-basis fits kept as with all groups, however few there are
    keep = -(-MAX_GROUPS * KEEP_PER_GROUP // len(groups))
    # One group is all the data: its majority is the data's, and a part of it could lose it.
    rank_rows = size if len(groups) == 1 else RANK_ROWS
    out += _best_exact_fits(Phi, z, stacked, p, per_group, rng, keep, rank_rows)
    for i, q in enumerate(lower):
        out += _best_exact_fits(Phi, z, stacked[i % len(groups)][None, :], q, n_subsets, rng, KEEP_PER_ORDER,
                                rank_rows)
    return out
