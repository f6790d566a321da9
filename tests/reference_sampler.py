"""A pure-Python rendering of the tournament sampler, for checking the native one bit for bit.

It reproduces the GNU C++ library's std::mt19937_64, std::normal_distribution<double> (Marsaglia's
polar method, keeping the second value of each pair) and std::uniform_real_distribution<double>,
with the fused multiply-adds the compiler forms in them, and the sampler's own arithmetic. It
covers designs with at most one column, where the matrix-vector product is a single product per
row, and at most 16 chains, where std::sort is an insertion sort (stable).
"""

import math

import numpy as np

MASK = (1 << 64) - 1


class MT19937_64:
    N, M = 312, 156
    A = 0xB5026F5AA96619E9
    UPPER, LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed):
        mt = [seed & MASK]
        for i in range(1, self.N):
            mt.append((6364136223846793005 * (mt[-1] ^ (mt[-1] >> 62)) + i) & MASK)
        self.mt, self.index = mt, self.N

    def _twist(self):
        mt, n, m = self.mt, self.N, self.M
        for i in range(n):
            y = (mt[i] & self.UPPER) | (mt[(i + 1) % n] & self.LOWER)
            mt[i] = mt[(i + m) % n] ^ (y >> 1) ^ (self.A if y & 1 else 0)
        self.index = 0

    def __call__(self):
        if self.index >= self.N:
            self._twist()
        x = self.mt[self.index]
        self.index += 1
        x ^= (x >> 29) & 0x5555555555555555
        x ^= (x << 17) & 0x71D67FFFEDA60000
        x ^= (x << 37) & 0xFFF7EEE000000000
        x ^= x >> 43
        return x & MASK


def canonical(rng):
    """std::generate_canonical<double, 53> on a 64-bit engine: one draw scaled by 2^-64."""
    u = float(rng()) / 2.0**64
    return math.nextafter(1.0, 0.0) if u >= 1.0 else u


class Normal:
    def __init__(self, mean, stddev):
        self.mean, self.stddev, self.saved = mean, stddev, None

    def __call__(self, rng):
        if self.saved is not None:
            ret, self.saved = self.saved, None
        else:
            while True:
                x = 2.0 * canonical(rng) - 1.0
                y = 2.0 * canonical(rng) - 1.0
                r2 = math.fma(x, x, y * y)
                if not (r2 > 1.0 or r2 == 0.0):
                    break
            mult = math.sqrt(-2.0 * math.log(r2) / r2)
            self.saved = x * mult
            ret = y * mult
        return math.fma(ret, self.stddev, self.mean)


def uniform(rng):
    return canonical(rng)


def mad(y):
    y = np.asarray(y, float)
    return float(np.median(np.abs(y - np.median(y)))) if y.size else 0.0


def score(yp, y, k, H, eps, b, pen):
    n = len(y)
    hits = int(np.count_nonzero(np.abs(yp - y) < eps))
    sr = hits / n
    sr = max(sr, 1.0 / (2.0 * n))
    logHk = k * math.log(2.0 * H) if k > 0 else 0.0
    q = logHk / n
    L = math.fma(-float(n), math.log(sr), q * k)
    R1, R2, g1, g2 = pen
    if b is not None and ((g1 != 0 and R1 is not None) or (g2 != 0 and R2 is not None)):
        for R, g in ((R1, g1), (R2, g2)):
            if g != 0 and R is not None:
                qf = sum(b[i] * sum(R[i, j] * b[j] for j in range(len(b))) for i in range(len(b)))
                L = math.fma(qf, g, L)
    return L


def gibbs_r_heat(E):
    emin = min(E)
    w = [math.exp(-(e - emin) / (1.0 + 1e-300)) for e in E]
    wsum = 0.0
    for x in w:
        wsum += x
    H = 0.0
    for x in w:
        p = x / wsum
        H = math.fma(-p, math.log(p + 1e-300), H)
    He = H / (math.log(max(len(E), 2)) + 1e-300)
    return H, math.fma(He, 0.99, 0.01)


def fit(X, y, n_chains=5, n_warmup=20, n_deep=40, n_elite=3, step_size=0.05, H_piH=20, seed=42,
        R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    X, y = np.asarray(X, float), np.asarray(y, float)
    k = X.shape[1]
    assert k <= 1 and 1 <= n_chains <= 16
    m = mad(y)
    eps = 0.4 * m if m > 0 else 0.4
    pen = (R1, R2, gamma1, gamma2)

    def energy(b):
        yp = X[:, 0] * b[0] if k else np.zeros(len(y))
        return score(yp, y, k, H_piH, eps, b, pen)

    def step(rng, prop, unif_draw, T, b, e):
        bc = [bi + prop(rng) for bi in b]
        ec = energy(bc)
        if ec < e:
            return bc, ec
        ratio = (e - ec) / T
        if unif_draw(rng) < math.exp(0.0 if math.isnan(ratio) else min(0.0, ratio)):
            return bc, ec
        return b, e

    chains = []
    for q in range(n_chains):
        rng = MT19937_64(seed + 1000 * q)
        init, prop = Normal(0.0, 0.5), Normal(0.0, step_size)
        b = [init(rng) for _ in range(k)]
        e = energy(b)
        T = 2.0
        for _ in range(n_warmup):
            b, e = step(rng, prop, uniform, T, b, e)
            T *= 0.995
        chains.append((b, e))

    H, r_heat = gibbs_r_heat([e for _, e in chains])
    ranked = sorted(chains, key=lambda c: c[1])          # stable, as insertion sort is
    elite = [0]
    for i in range(1, n_chains):
        if len(elite) >= n_elite:
            break
        bi = ranked[i][0]
        far = True
        for j in elite:
            d = math.sqrt(sum((a - c) * (a - c) for a, c in zip(bi, ranked[j][0])))
            if d <= 0.1:
                far = False
                break
        if far:
            elite.append(i)
    j = len(elite)
    while len(elite) < n_elite and j < n_chains:
        elite.append(j)
        j += 1

    best_b, best_e = ranked[elite[0]]
    T = 0.5 * r_heat
    for ei, idx in enumerate(elite):
        rng = MT19937_64(seed + 7777 + 13 * ei)
        prop = Normal(0.0, 0.3 * step_size)
        b, e = ranked[idx]
        for _ in range(n_deep):
            b, e = step(rng, prop, uniform, T, b, e)
            if e < best_e:
                best_b, best_e = b, e
            T *= 0.9997
    return np.array(best_b, float), best_e, H, r_heat
