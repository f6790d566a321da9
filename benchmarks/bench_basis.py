"""Design matrices and penalty matrices against vectorised NumPy computing the same quantities.

Besides the timings, prints the peak memory of one call of each (the rise of the process's
peak resident set over its resident set before the call).
"""

import ctypes
import gc
import itertools
import re

import numpy as np

import zelk_core as z
from harness import Table


# --- peak memory --------------------------------------------------------------------------

def _status_kib(key):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M).group(1))


def _release_free_heap():
    """Hands memory freed earlier back to the system, so that reusing it counts again."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_mib(fn):
    """Peak resident memory that one call of fn adds, in MiB (None where it cannot be reset)."""
    gc.collect()
    _release_free_heap()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current resident set
    except OSError:
        return None
    base = _status_kib("VmRSS")
    result = fn()
    peak = _status_kib("VmHWM")
    del result
    return (peak - base) / 1024


def report_memory(function, case, entries):
    parts = []
    for name, fn in entries:
        mib = peak_mib(fn)
        parts.append(f"{name} {mib:.2f} MiB" if mib is not None else f"{name} n/a")
    print(f"  peak memory  {function:32s} {case:24s} " + ", ".join(parts), flush=True)


# --- NumPy peers --------------------------------------------------------------------------

def np_vander(deg, x):
    return np.vander(x, deg + 1, increasing=True)


def np_power(deg, x):
    return x[:, None] ** np.arange(deg + 1)


def np_cumprod_f(deg, x):
    """Running products along the powers, laid out column by column (F order) like ours."""
    A = np.empty((deg + 1, x.size))
    A[0] = 1.0
    A[1:] = x
    np.multiply.accumulate(A, axis=0, out=A)
    return A.T


def np_nd_indexed(mis, X):
    """Each power of each coordinate once, then one product per column by fancy indexing."""
    mis = np.asarray(mis)
    pw = [x[:, None] ** np.arange(mis[:, d].max() + 1) for d, x in enumerate(X)]
    Phi = pw[0][:, mis[:, 0]]
    for d in range(1, len(X)):
        Phi *= pw[d][:, mis[:, d]]
    return Phi


def np_nd_outer(degrees, X):
    """The full tensor basis as a broadcast outer product of per-coordinate powers."""
    n = X[0].size
    Phi = np.ones((n, 1))
    for deg, x in zip(degrees, X):
        Phi = (Phi[:, :, None] * (x[:, None] ** np.arange(deg + 1))[:, None, :]).reshape(n, -1)
    return Phi


def _grid(x_min, x_max, n_grid):
    dx = (x_max - x_min) / (n_grid - 1)
    return x_min + np.arange(n_grid) * dx, dx


def _penalties_from_powers(pw, dx):
    """R1 and R2 from the powers x^q, q = 0 .. deg-1, one row per grid point."""
    n_grid, deg = pw.shape
    p = np.arange(deg + 1)
    d1 = np.zeros((n_grid, deg + 1))
    d2 = np.zeros((n_grid, deg + 1))
    d1[:, 1:] = pw * p[1:]
    d2[:, 2:] = pw[:, :-1] * (p[2:] * (p[2:] - 1))
    return dx * (d1.T @ d1), dx * (d2.T @ d2)


def np_penalties_1d(deg, x_min, x_max, n_grid):
    x, dx = _grid(x_min, x_max, n_grid)
    return _penalties_from_powers(x[:, None] ** np.arange(deg), dx)


def np_penalties_1d_cumprod(deg, x_min, x_max, n_grid):
    """The same with the powers as running products instead of pow."""
    x, dx = _grid(x_min, x_max, n_grid)
    pw = np.cumprod(np.column_stack([np.ones_like(x)] + [x] * (deg - 1)), axis=1)
    return _penalties_from_powers(pw, dx)


def _tables(degrees, bounds, n):
    dV, tabs = 1.0, []
    for deg, (lo, hi) in zip(degrees, bounds):
        dV = (hi - lo) / (n - 1) * dV
        x = np.linspace(lo, hi, n)[:, None]
        p = np.arange(deg + 1)
        t0 = x ** p
        t1 = np.where(p >= 1, p * x ** np.maximum(p - 1, 0), 0.0)
        t2 = np.where(p >= 2, p * (p - 1) * x ** np.maximum(p - 2, 0), 0.0)
        tabs.append((t0, t1, t2))
    return dV, tabs


def _terms(D):
    hess = [[(d == i) + (d == j) for d in range(D)] for i in range(D) for j in range(D)]
    grad = [[int(d == i) for d in range(D)] for i in range(D)]
    return hess, grad


def np_penalties_nd_direct(degrees, bounds, n):
    """The grid sum itself: a G x M matrix per derivative combination and dV W'W."""
    D = len(degrees)
    dV, tabs = _tables(degrees, bounds, n)
    mis = np.array(list(itertools.product(*[range(d + 1) for d in degrees])))
    k = np.unravel_index(np.arange(n ** D), (n,) * D, order="F")
    M = len(mis)

    def gram(orders):
        W = tabs[0][orders[0]][k[0]][:, mis[:, 0]]
        for d in range(1, D):
            W *= tabs[d][orders[d]][k[d]][:, mis[:, d]]
        return dV * (W.T @ W)

    hess, grad = _terms(D)
    R2 = np.zeros((M, M))
    for o in hess:
        R2 += gram(o)
    R1 = np.zeros((M, M))
    for o in grad:
        R1 += gram(o)
    return R1, R2


def np_penalties_nd_kron(degrees, bounds, n):
    """Per-axis Gram matrices of the derivative tables, combined by Kronecker products."""
    D = len(degrees)
    dV, tabs = _tables(degrees, bounds, n)
    grams = [[t.T @ t for t in axis] for axis in tabs]

    def term(orders):
        K = grams[0][orders[0]]
        for d in range(1, D):
            K = np.kron(K, grams[d][orders[d]])
        return K

    hess, grad = _terms(D)
    return dV * sum(term(o) for o in grad), dV * sum(term(o) for o in hess)


# --- the comparisons ----------------------------------------------------------------------

def run(table):
    rng = np.random.default_rng(5)

    # design_matrix_1d: 10^6 points, degree 8.
    x = rng.uniform(-1.5, 1.5, 10**6)
    deg = 8
    case = "n = 1e6, deg 8"
    ours = lambda: z.design_matrix_1d(deg, x)
    table.compare("design_matrix_1d", case, ours, "cumprod (F order)", lambda: np_cumprod_f(deg, x))
    table.compare("design_matrix_1d", case, ours, "np.vander", lambda: np_vander(deg, x))
    table.compare("design_matrix_1d", case, ours, "x ** arange", lambda: np_power(deg, x))
    report_memory("design_matrix_1d", case, [("zelk_core", ours),
                                              ("cumprod", lambda: np_cumprod_f(deg, x)),
                                              ("np.vander", lambda: np_vander(deg, x))])

    # design_matrix_nd: 10^5 points in 3-D, degrees 4 (M = 125).
    degrees = [4, 4, 4]
    X = [rng.uniform(-1.5, 1.5, 10**5) for _ in degrees]
    mis = [list(mi) for mi in itertools.product(*[range(d + 1) for d in degrees])]
    case = "n = 1e5, 3-D, deg 4"
    ours = lambda: z.design_matrix_nd(mis, X)
    table.compare("design_matrix_nd", case, ours, "powers + indexed products",
                  lambda: np_nd_indexed(mis, X))
    table.compare("design_matrix_nd", case, ours, "broadcast outer product",
                  lambda: np_nd_outer(degrees, X))
    report_memory("design_matrix_nd", case, [("zelk_core", ours),
                                              ("indexed", lambda: np_nd_indexed(mis, X)),
                                              ("outer", lambda: np_nd_outer(degrees, X))])

    # smoothness_penalty_matrices_1d: degree 10, 600 points.
    args = (10, -1.0, 2.0, 600)
    case = "deg 10, 600 points"
    ours = lambda: z.smoothness_penalty_matrices_1d(*args)
    table.compare("smoothness_penalty_matrices_1d", case, ours, "pow + d'd", lambda: np_penalties_1d(*args))
    table.compare("smoothness_penalty_matrices_1d", case, ours, "cumprod + d'd",
                  lambda: np_penalties_1d_cumprod(*args))

    # build_penalty_matrices_nd: 30 points per axis.
    for degrees in ([6, 6], [4, 4, 4], [4, 4, 4, 4]):
        D = len(degrees)
        bounds = [(-1.0, 1.0 + 0.5 * d) for d in range(D)]
        M = int(np.prod([d + 1 for d in degrees]))
        case = f"{D}-D, deg {degrees[0]}, M = {M}, G = {30 ** D}"
        ours = lambda: z.build_penalty_matrices_nd(degrees, bounds, 30)
        if D < 4:
            table.compare("build_penalty_matrices_nd", case, ours, "direct grid sum",
                          lambda: np_penalties_nd_direct(degrees, bounds, 30))
        table.compare("build_penalty_matrices_nd", case, ours, "per-axis Grams + np.kron",
                      lambda: np_penalties_nd_kron(degrees, bounds, 30))
        entries = [("zelk_core", ours), ("np.kron", lambda: np_penalties_nd_kron(degrees, bounds, 30))]
        if D < 4:
            entries.append(("direct", lambda: np_penalties_nd_direct(degrees, bounds, 30)))
        report_memory("build_penalty_matrices_nd", case, entries)
    print("  (the direct grid sum at 4-D would need a 810000 x 625 work matrix, 4 GB, per "
          "derivative combination: not run)", flush=True)


if __name__ == "__main__":
    run(Table())
