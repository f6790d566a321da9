"""The tournament sampler written with NumPy, in two ways, both with the same phases and the same
number of energy evaluations as zelk_core's:

- `fit`: the chains of each phase advanced together as one batch (one matrix product and one
  vectorised score per step for all chains, into buffers allocated once), the fastest NumPy
  rendering we know;
- `fit_per_chain`: one chain at a time, as the algorithm reads, each step a matrix-vector
  product and a vectorised score.
"""

import numpy as np


class Scores:
    """Scores of batches of coefficient vectors (one row each) against (X, y), as fast as NumPy
    allows: the predictions of all rows as one product B @ X.T into a preallocated (rows x m)
    buffer, the residuals' magnitudes in place, and the hits as a byte sum of the mask along
    rows (several times faster than count_nonzero along an axis)."""

    def __init__(self, X, y, H, eps, max_rows, penalties=None):
        m, k = X.shape
        self.penalties = penalties
        self.XT, self.y, self.eps, self.m = np.ascontiguousarray(X.T), y, eps, m
        self.complexity = k * np.log(2 * H) / m * k if k > 0 else 0.0
        self.buf = np.empty((max_rows, m))
        self.mask = np.empty((max_rows, m), dtype=bool)

    def hits(self, B):
        c = B.shape[0]
        buf, mask = self.buf[:c], self.mask[:c]
        np.dot(B, self.XT, out=buf)
        np.subtract(buf, self.y, out=buf)
        np.abs(buf, out=buf)
        np.less(buf, self.eps, out=mask)
        return mask.view(np.uint8).sum(axis=1)

    def __call__(self, B):
        sr = np.maximum(self.hits(B) / self.m, 0.5 / self.m)
        E = self.complexity - self.m * np.log(sr)
        if self.penalties is not None:
            R1, R2, gamma1, gamma2 = self.penalties
            E += gamma1 * np.einsum("ci,ij,cj->c", B, R1, B) + gamma2 * np.einsum("ci,ij,cj->c", B, R2, B)
        return E


def tolerance(y):
    mad = np.median(np.abs(y - np.median(y)))
    return 0.4 * mad if mad > 0 else 0.4


def fit(X, y, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42,
        penalties=None):
    """`penalties`: None or (R1, R2, gamma1, gamma2), both matrices present."""
    rng = np.random.default_rng(seed)
    m, k = X.shape
    scores = Scores(X, y, H_piH, tolerance(y), n_chains, penalties)

    B = rng.normal(0.0, 0.5, (n_chains, k))
    E = scores(B)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, B.shape)
        Ec = scores(Bc)
        with np.errstate(over="ignore", invalid="ignore"):
            accept = (Ec < E) | (rng.random(n_chains) < np.exp(np.minimum(0.0, (E - Ec) / T)))
        B[accept], E[accept] = Bc[accept], Ec[accept]
        T *= 0.995

    w = np.exp(-(E - E.min()))
    p = w / w.sum()
    He = -np.sum(p * np.log(p + 1e-300)) / np.log(max(n_chains, 2))
    r_heat = 0.01 + 0.99 * He

    order = np.argsort(E, kind="stable")
    elite = [order[0]]
    for i in order[1:]:
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(B[i] - B[j]) > 0.1 for j in elite):
            elite.append(i)
    j = len(elite)
    while len(elite) < n_elite and j < n_chains:
        elite.append(order[j])
        j += 1

    # The elite chains are independent apart from their temperatures, so they advance together,
    # each on its own stretch of the shared cooling schedule.
    Be, Ee = B[elite].copy(), E[elite].copy()
    ne = len(elite)
    T = 0.5 * r_heat * 0.9997 ** (np.arange(ne) * n_deep)
    best_b, best_e = Be[0].copy(), Ee[0]
    for _ in range(n_deep):
        Bc = Be + rng.normal(0.0, 0.3 * step_size, Be.shape)
        Ec = scores(Bc)
        with np.errstate(over="ignore", invalid="ignore"):
            accept = (Ec < Ee) | (rng.random(ne) < np.exp(np.minimum(0.0, (Ee - Ec) / T)))
        Be[accept], Ee[accept] = Bc[accept], Ec[accept]
        i = np.argmin(Ee)
        if Ee[i] < best_e:
            best_b, best_e = Be[i].copy(), Ee[i]
        T *= 0.9997
    return best_b, best_e


def products_and_counts(X, y, n_evaluations, block=None, seed=0):
    """The bare work of a fit's energy evaluations in NumPy: n_evaluations coefficient vectors,
    their predictions and hit counts, in blocks of `block` vectors (no sampling around them). By
    default a block's predictions fill about 2 MB (at least 25 vectors), which times best."""
    if block is None:
        block = max(25, (1 << 18) // X.shape[0])
    B = np.random.default_rng(seed).normal(0.0, 0.5, (block, X.shape[1]))
    scores = Scores(X, y, 20, tolerance(y), block)
    total = 0
    for start in range(0, n_evaluations, block):
        total += int(scores.hits(B[:min(block, n_evaluations - start)]).sum())
    return total


def score(yp, y, k, H, eps):
    n = y.size
    sr = max(np.count_nonzero(np.abs(yp - y) < eps) / n, 0.5 / n)
    return -n * np.log(sr) + (k * np.log(2 * H) / n * k if k > 0 else 0.0)


def metropolis(X, y, k, H, eps, rng, b, e, step, T, cooling, n_steps, best=None):
    for _ in range(n_steps):
        bc = b + rng.normal(0.0, step, k)
        ec = score(X @ bc, y, k, H, eps)
        if ec < e or rng.random() < np.exp(min(0.0, (e - ec) / T)):
            b, e = bc, ec
        if best is not None and e < best[1]:
            best = (b, e)
        T *= cooling
    return b, e, T, best


def fit_per_chain(X, y, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05,
                  H_piH=20, seed=42):
    rng = np.random.default_rng(seed)
    m, k = X.shape
    eps = tolerance(y)
    chains = []
    for _ in range(n_chains):
        b = rng.normal(0.0, 0.5, k)
        e = score(X @ b, y, k, H_piH, eps)
        b, e, _, _ = metropolis(X, y, k, H_piH, eps, rng, b, e, step_size, 2.0, 0.995, n_warmup)
        chains.append((b, e))
    E = np.array([e for _, e in chains])
    w = np.exp(-(E - E.min()))
    p = w / w.sum()
    r_heat = 0.01 + 0.99 * -np.sum(p * np.log(p + 1e-300)) / np.log(max(n_chains, 2))
    chains.sort(key=lambda c: c[1])
    elite = [0]
    for i in range(1, n_chains):
        if len(elite) >= n_elite:
            break
        if all(np.linalg.norm(chains[i][0] - chains[j][0]) > 0.1 for j in elite):
            elite.append(i)
    j = len(elite)
    while len(elite) < n_elite and j < n_chains:
        elite.append(j)
        j += 1
    best, T = chains[0], 0.5 * r_heat
    for i in elite:
        b, e = chains[i]
        _, _, T, best = metropolis(X, y, k, H_piH, eps, rng, b, e, 0.3 * step_size, T, 0.9997,
                                   n_deep, best)
    return best


def evaluations(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5):
    return n_chains * (1 + n_warmup) + min(max(n_elite, 1), n_chains) * n_deep
