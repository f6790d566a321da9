"""What scripts/valgrind.sh runs under memcheck: every function of the module once on small
inputs (in the argument forms that take different copy paths), each kind of error the module
raises, and a small fit on the OpenMP team. Sizes are the smallest that still reach the blocked
products and the threaded paths."""

import numpy as np

import zelk_core as z

rng = np.random.default_rng(1)
y = rng.standard_normal(301)
x = rng.uniform(-1, 1, 2000)
X = rng.standard_normal((60, 25))          # row-major float64: the tiled transpose
R = np.eye(25)

z.mad(y)
z.mad(y.astype(np.float32).tolist())
z.compute_sr(y[::-1], y, 0.5)
z.mdl_score(0.9 * y, y, 3)
z.mdl_score_reg(0.9 * y, y, 3, 20, [1.0, -1.0, 0.5], np.eye(3), np.ones((3, 3)), 0.1, 0.2)
z.design_matrix_1d(6, x)
z.smoothness_penalty_matrices_1d(7, -1.0, 1.0, 300)
z.boundary_reduce_1d(6, -1.0, 2.0)
R1, R2, mis = z.build_penalty_matrices_nd([3, 2], [(0.0, 1.0), (-1.0, 1.0)], 7)
z.design_matrix_nd(mis, [x, x[::-1]])
z.design_matrix_nd([[2, 3, 1]] * 40, np.asfortranarray(rng.standard_normal((3, 30000))))  # threaded
z.ols(X, y[:60])
z.ols(np.asfortranarray(X[:, :10]), y[:60])
z.fit_regularized_linear(X, y[:60], R, 2 * R, 1e-2, 1e-3)
z.fit_regularized_linear(X.astype(np.int32), y[:60])
g = z.gibbs_entropy(y, 0.5)
r = z.TournamentMCMC(n_chains=6, n_warmup=20, n_deep=40, n_elite=3).fit(X[:, :3], y[:60], np.eye(3), None, 1e-3)
beta, gibbs = r.beta_mcmc, r.gibbs
del r

for call, exc in [
    (lambda: z.mad("abc"), TypeError),
    (lambda: z.compute_sr(y[:-1], y, 0.5), ValueError),
    (lambda: z.smoothness_penalty_matrices_1d(-1, 0.0, 1.0), ValueError),
    (lambda: z.design_matrix_nd([[1]], [x, x]), ValueError),
    (lambda: z.fit_regularized_linear(X, y[:60], "R"), RuntimeError),
    (lambda: z.TournamentMCMC(n_chains=-1).fit(X, y[:60]), ValueError),
    (lambda: z.design_matrix_1d(2**31 - 1, np.zeros(2**10)), MemoryError),
]:
    try:
        call()
    except exc:
        pass
    else:
        raise AssertionError(f"no {exc.__name__}")
print("workload done")
