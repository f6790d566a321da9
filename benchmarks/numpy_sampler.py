"""The tournament sampler written with NumPy, in two ways, both with the same phases and the same
number of energy evaluations as zelk_core's:

- `fit`: the chains of each phase advanced together as one batch (one matrix product and one
  vectorised score per step for all chains), the fastest NumPy rendering we know;
- `fit_per_chain`: one chain at a time, as the algorithm reads, each step a matrix-vector
  product and a vectorised score.
"""

import numpy as np


def scores(Yp, y, k, H, eps):
    """Score of every column of Yp (predictions of one chain each)."""
    n = y.size
    hits = np.count_nonzero(np.abs(Yp - y[:, None]) < eps, axis=0)
    sr = np.maximum(hits / n, 0.5 / n)
    return -n * np.log(sr) + (k * np.log(2 * H) / n * k if k > 0 else 0.0)


def fit(X, y, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42):
    rng = np.random.default_rng(seed)
    m, k = X.shape
    mad = np.median(np.abs(y - np.median(y)))
    eps = 0.4 * mad if mad > 0 else 0.4

    B = rng.normal(0.0, 0.5, (k, n_chains))
    E = scores(X @ B, y, k, H_piH, eps)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, B.shape)
        Ec = scores(X @ Bc, y, k, H_piH, eps)
        with np.errstate(over="ignore", invalid="ignore"):
            accept = (Ec < E) | (rng.random(n_chains) < np.exp(np.minimum(0.0, (E - Ec) / T)))
        B[:, accept], E[accept] = Bc[:, accept], Ec[accept]
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
        if all(np.linalg.norm(B[:, i] - B[:, j]) > 0.1 for j in elite):
            elite.append(i)
    j = len(elite)
    while len(elite) < n_elite and j < n_chains:
        elite.append(order[j])
        j += 1

    # The elite chains are independent apart from their temperatures, so they advance together,
    # each on its own stretch of the shared cooling schedule.
    Be, Ee = B[:, elite].copy(), E[elite].copy()
    ne = len(elite)
    T = 0.5 * r_heat * 0.9997 ** (np.arange(ne) * n_deep)
    best_b, best_e = Be[:, 0].copy(), Ee[0]
    for _ in range(n_deep):
        Bc = Be + rng.normal(0.0, 0.3 * step_size, Be.shape)
        Ec = scores(X @ Bc, y, k, H_piH, eps)
        with np.errstate(over="ignore", invalid="ignore"):
            accept = (Ec < Ee) | (rng.random(ne) < np.exp(np.minimum(0.0, (Ee - Ec) / T)))
        Be[:, accept], Ee[accept] = Bc[:, accept], Ec[accept]
        i = np.argmin(Ee)
        if Ee[i] < best_e:
            best_b, best_e = Be[:, i].copy(), Ee[i]
        T *= 0.9997
    return best_b, best_e


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
    mad = np.median(np.abs(y - np.median(y)))
    eps = 0.4 * mad if mad > 0 else 0.4
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
