"""Monomial bases, smoothness penalties and boundary terms, in one and several dimensions."""

import itertools

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

import zelk_core as z


# --- design_matrix_1d -----------------------------------------------------------------------

def test_design_matrix_1d_worked_example():
    np.testing.assert_array_equal(z.design_matrix_1d(3, [2.0, -1.0, 0.0]),
                                  [[1, 2, 4, 8], [1, -1, 1, -1], [1, 0, 0, 0]])


def test_design_matrix_1d_is_repeated_multiplication(rng):
    # Each column is the previous one times x: exactly what a running product gives.
    x = np.r_[rng.normal(0, 3, 5000), 0.0, -0.0, np.nan, np.inf, -np.inf, 1e300, 1e-300]
    deg = 9
    with np.errstate(over="ignore", invalid="ignore"):
        want = np.cumprod(np.column_stack([np.ones_like(x)] + [x] * deg), axis=1)
    got = z.design_matrix_1d(deg, x)
    np.testing.assert_array_equal(got, want)
    assert got.flags.f_contiguous and got.dtype == np.float64
    np.testing.assert_array_equal(z.design_matrix_1d(deg, x.reshape(-1, 1)), want)
    assert np.all(got[:, 0] == 1.0)                      # even for NaN and inf samples
    np.testing.assert_array_equal(got[:, 1], x)


@pytest.mark.parametrize("deg, x, shape", [
    (0, [3.0, -2.0], (2, 1)),
    (4, [], (0, 5)),
    (2, np.empty((0, 1)), (0, 3)),
])
def test_design_matrix_1d_shapes(deg, x, shape):
    Phi = z.design_matrix_1d(deg, x)
    assert Phi.shape == shape
    assert np.all(Phi[:, 0] == 1.0)


@pytest.mark.parametrize("deg", [-1, -7])
def test_design_matrix_1d_refuses_negative_degree(deg):
    with pytest.raises(ValueError, match=r"^deg < 0$"):
        z.design_matrix_1d(deg, [1.0, 2.0])


# --- smoothness_penalty_matrices_1d and boundary_reduce_1d ------------------------------------

def test_penalties_1d_worked_examples():
    R1, R2 = z.smoothness_penalty_matrices_1d(1, 0.0, 1.0, 2)
    np.testing.assert_array_equal(R1, [[0, 0], [0, 2]])
    np.testing.assert_array_equal(R2, np.zeros((2, 2)))
    R1, R2 = z.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 3)
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
    np.testing.assert_array_equal(R2, [[0, 0, 0], [0, 0, 0], [0, 0, 6]])
    R1, R2 = z.smoothness_penalty_matrices_1d(0, -1.0, 1.0, 5)
    np.testing.assert_array_equal(R1, [[0]])
    np.testing.assert_array_equal(R2, [[0]])


def test_penalties_1d_default_grid_is_600_points():
    default = z.smoothness_penalty_matrices_1d(4, -1.0, 2.0)
    explicit = z.smoothness_penalty_matrices_1d(4, -1.0, 2.0, 600)
    for a, b in zip(default, explicit):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("deg, n_grid, message", [
    (-1, 600, "deg < 0"),
    (2, 1, "n_grid < 2"),
    (2, -3, "n_grid < 2"),
    (-1, 1, "deg < 0"),      # the degree is checked first
])
def test_penalties_1d_refused(deg, n_grid, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        z.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


def rectangle_rule_1d(b, x_min, x_max, n_grid):
    """sum_g f'(x_g)^2 dx and sum_g f''(x_g)^2 dx on x_g = x_min + g dx, by NumPy's polynomials."""
    dx = (x_max - x_min) / (n_grid - 1)
    x = x_min + np.arange(n_grid) * dx
    f1 = P.polyval(x, P.polyder(b, 1))
    f2 = P.polyval(x, P.polyder(b, 2))
    return np.sum(f1 * f1) * dx, np.sum(f2 * f2) * dx


@pytest.mark.parametrize("deg, x_min, x_max, n_grid", [
    (1, 0.0, 1.0, 2),
    (3, -1.0, 1.0, 50),
    (6, -0.5, 2.0, 600),
    (10, 0.2, 0.9, 333),
    (5, 3.0, -1.0, 40),      # reversed: negative weights
])
def test_penalties_1d_quadratic_forms_are_rectangle_rule_sums(rng, deg, x_min, x_max, n_grid):
    R1, R2 = z.smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid)
    for R in (R1, R2):
        assert R.shape == (deg + 1, deg + 1)
        np.testing.assert_array_equal(R, R.T)
    assert np.all(R1[0] == 0) and np.all(R1[:, 0] == 0)
    assert np.all(R2[:2] == 0) and np.all(R2[:, :2] == 0)
    for _ in range(5):
        b = rng.standard_normal(deg + 1)
        s1, s2 = rectangle_rule_1d(b, x_min, x_max, n_grid)
        np.testing.assert_allclose(b @ R1 @ b, s1, rtol=1e-11, atol=1e-12 * abs(s1))
        np.testing.assert_allclose(b @ R2 @ b, s2, rtol=1e-11, atol=1e-12 * abs(s2))


def test_boundary_reduce_1d_worked_examples():
    np.testing.assert_array_equal(z.boundary_reduce_1d(2, 0.0, 1.0),
                                  [[0, 0, 0], [0, 0, 0], [0, 0, 4]])
    np.testing.assert_array_equal(z.boundary_reduce_1d(3, -1.0, 1.0),
                                  [[0, 0, 0, 0], [0, 0, 0, 6], [0, 0, 8, 0], [0, 6, 0, 36]])
    np.testing.assert_array_equal(z.boundary_reduce_1d(0, -1.0, 1.0), [[0]])
    assert z.boundary_reduce_1d(-1, -1.0, 1.0).shape == (0, 0)


@pytest.mark.parametrize("deg", [-2, -10])
def test_boundary_reduce_1d_refuses_degree_below_minus_one(deg):
    with pytest.raises(ValueError, match=r"^deg < 0$"):
        z.boundary_reduce_1d(deg, 0.0, 1.0)


@pytest.mark.parametrize("deg, lo, hi", [(1, 0.0, 1.0), (4, -2.0, 1.5), (9, 0.3, 0.7), (5, 2.0, -1.0)])
def test_boundary_reduce_1d_is_the_boundary_term(rng, deg, lo, hi):
    S = z.boundary_reduce_1d(deg, lo, hi)
    np.testing.assert_array_equal(S, S.T)
    assert np.all(S[0] == 0) and np.all(S[:, 0] == 0)
    for _ in range(5):
        b = rng.standard_normal(deg + 1)
        d1, d2 = P.polyder(b, 1), P.polyder(b, 2)
        want = P.polyval(hi, d1) * P.polyval(hi, d2) - P.polyval(lo, d1) * P.polyval(lo, d2)
        np.testing.assert_allclose(b @ S @ b, want, rtol=1e-11, atol=1e-12 * np.abs(S).max())


# --- design_matrix_nd -----------------------------------------------------------------------

def test_design_matrix_nd_worked_examples():
    np.testing.assert_array_equal(
        z.design_matrix_nd([[0, 0], [1, 0], [0, 2], [1, 1]], [[2.0, 3.0], [5.0, 7.0]]),
        [[1, 2, 25, 10], [1, 3, 49, 21]])
    # A negative exponent is no factor at all, never a reciprocal.
    np.testing.assert_array_equal(z.design_matrix_nd([[-1, 1]], [[2.0], [5.0]]), [[5.0]])
    assert z.design_matrix_nd([], [[1.0, 2.0, 3.0]]).shape == (3, 0)
    assert z.design_matrix_nd([[1, 2], [0, 0]], [[], []]).shape == (0, 2)


def products_of_powers(mis, X):
    n = len(X[0])
    Phi = np.ones((n, len(mis)))
    for j, mi in enumerate(mis):
        for d, x in enumerate(X):
            if mi[d] > 0:
                Phi[:, j] *= np.asarray(x[:n], dtype=float) ** mi[d]
    return Phi


def test_design_matrix_nd_matches_products_of_powers(rng):
    # Every remainder of n modulo the vector width, so every column alignment occurs.
    for n in (1, 2, 3, 4, 5, 6, 7, 1001, 4099):
        X = rng.uniform(-3, 3, size=(3, n))
        mis = [list(mi) for mi in itertools.product(range(5), range(-1, 4), range(3))]
        Phi = z.design_matrix_nd(mis, X)           # a 2-D array: each row is one vector
        want = products_of_powers(mis, X)
        assert Phi.shape == (n, len(mis)) and Phi.flags.f_contiguous
        np.testing.assert_allclose(Phi, want, rtol=4e-16 * 8, atol=0)
        assert np.all(Phi[:, 0] == 1.0)


def test_design_matrix_nd_ignores_extra_entries(rng):
    x0, x1 = rng.standard_normal(9), rng.standard_normal(12)
    mis = [[2, 1, 7], [0, 3, 5]]                      # third entries: no such dimension
    np.testing.assert_array_equal(z.design_matrix_nd(mis, [x0, x1]),
                                  z.design_matrix_nd([m[:2] for m in mis], [x0, x1[:9]]))


def test_design_matrix_nd_one_dimension_is_the_1d_basis(rng):
    x = rng.uniform(-2, 2, 3001)
    Phi = z.design_matrix_nd([[p] for p in range(8)], [x])
    ref = z.design_matrix_1d(7, x)
    np.testing.assert_array_equal(Phi[:, :2], ref[:, :2])
    np.testing.assert_allclose(Phi, ref, rtol=1e-14)


@pytest.mark.parametrize("mis, X, message", [
    ([[1]], [], "X_cols holds no sample vectors"),
    ([[1, 1]], [[1.0, 2.0], [3.0]], r"X_cols\[1\] has 1 entry, fewer than the 2 entries of X_cols\[0\]"),
    ([[1, 1], [2]], [[1.0], [2.0]], r"multi_indices\[1\] has 1 entry, fewer than the 2 vectors of X_cols"),
])
def test_design_matrix_nd_refuses_inputs_it_would_read_past(mis, X, message):
    with pytest.raises(ValueError, match=message):
        z.design_matrix_nd(mis, X)


# --- build_penalty_matrices_nd --------------------------------------------------------------

def col_deriv(x, p, order):
    if order == 0:
        return x ** p
    if p < order:
        return np.zeros_like(x)
    return (p if order == 1 else p * (p - 1)) * x ** (p - order)


def direct_penalties_nd(degrees, bounds, n):
    """The grid sum taken directly: one G x M matrix per derivative combination, dV H'H each."""
    D = len(degrees)
    mis = [list(mi) for mi in itertools.product(*[range(d + 1) for d in degrees])]
    dV, axes = 1.0, []
    for lo, hi in bounds:
        dV = (hi - lo) / (n - 1) * dV
        axes.append(np.linspace(lo, hi, n))
    grid_k = np.stack(np.unravel_index(np.arange(n ** D), (n,) * D, order="F"))
    M = len(mis)
    R1, R2 = np.zeros((M, M)), np.zeros((M, M))

    def work(orders):
        W = np.ones((n ** D, M))
        for m, mi in enumerate(mis):
            for d in range(D):
                W[:, m] *= col_deriv(axes[d][grid_k[d]], mi[d], orders[d])
        return W

    for i in range(D):
        for j in range(D):
            H = work([(d == i) + (d == j) for d in range(D)])
            R2 += dV * (H.T @ H)
        G = work([int(d == i) for d in range(D)])
        R1 += dV * (G.T @ G)
    return R1, R2, mis


def test_penalties_nd_worked_examples():
    R1, R2, mis = z.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)], 2)
    assert mis == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    want = np.zeros((4, 4))
    want[3, 3] = 8.0
    np.testing.assert_array_equal(R2, want)

    R1, R2, mis = z.build_penalty_matrices_nd([2], [(0, 1)], 3)
    assert mis == [[0], [1], [2]]
    np.testing.assert_array_equal(R1, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]])
    np.testing.assert_array_equal(R2, [[0, 0, 0], [0, 0, 0], [0, 0, 6]])

    R1, R2, mis = z.build_penalty_matrices_nd([], [], 30)
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])
    assert mis == [[]]

    R1, R2, mis = z.build_penalty_matrices_nd([2, -1], [(0, 1), (0, 1)])
    assert R1.shape == R2.shape == (0, 0) and mis == []


def test_penalties_nd_in_very_many_dimensions():
    # As many dimensions as anyone can pass: the multi-indices come from a loop, not from one
    # call level per dimension, so the stack does not run out.
    D = 200_000
    R1, R2, mis = z.build_penalty_matrices_nd([0] * D, [(0, 1)] * D, 2)
    assert mis == [[0] * D]
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])
    # Mixed degrees keep the order of nested loops, the last dimension fastest.
    degrees = [1, 0, 2] + [0] * 1000 + [1]
    _, _, mis = z.build_penalty_matrices_nd(degrees, [(0, 1)] * len(degrees), 2)
    assert mis == [list(t) for t in itertools.product(*(range(d + 1) for d in degrees))]


@pytest.mark.parametrize("degrees, bounds, n, message", [
    ([2, 3], [(0, 1)], 30, "Dimension mismatch."),
    ([-2], [], 1, "Dimension mismatch."),               # checked first
    ([2, -2], [(0, 1), (0, 1)], 30, "degree < -1"),
    ([-2], [(0, 1)], 1, "degree < -1"),                 # before the grid size
    ([2], [(0, 1)], 1, "n_grid_per_dim < 2"),
    ([2, -1], [(0, 1), (0, 1)], 0, "n_grid_per_dim < 2"),
])
def test_penalties_nd_refused(degrees, bounds, n, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        z.build_penalty_matrices_nd(degrees, bounds, n)


@pytest.mark.parametrize("degrees, bounds, n", [
    ([4], [(-1.0, 2.0)], 40),
    ([3, 2], [(-1.0, 0.5), (0.2, 3.0)], 9),
    ([2, 3], [(1.0, -1.0), (0.0, 2.0)], 7),             # one reversed axis: dV < 0
    ([2, 1, 2], [(-1, 1), (0, 2), (-0.5, 0.25)], 6),
    ([1, 2, 1, 1], [(0, 1), (-1, 1), (0, 3), (-2, -1)], 4),
])
def test_penalties_nd_equal_the_direct_grid_sum(degrees, bounds, n):
    R1, R2, mis = z.build_penalty_matrices_nd(degrees, bounds, n)
    D1, D2, want_mis = direct_penalties_nd(degrees, bounds, n)
    assert mis == want_mis
    for got, want in ((R1, D1), (R2, D2)):
        assert np.abs(got - want).max() <= 1e-13 * np.abs(want).max()
        np.testing.assert_array_equal(got, got.T)
    # Exact zeros: the constant in R1; the constant and every pure linear term in R2.
    for m, mi in enumerate(mis):
        if sum(mi) == 0:
            assert np.all(R1[m] == 0) and np.all(R1[:, m] == 0)
        if sum(mi) <= 1:
            assert np.all(R2[m] == 0) and np.all(R2[:, m] == 0)


def test_penalties_nd_quadratic_forms_are_grid_sums_of_derivatives(rng):
    # f(x, y) = sum_m b_m x^a y^c, derivatives by NumPy's polynomials on the same grid.
    degrees, bounds, n = [3, 4], [(-1.0, 1.5), (0.5, 2.0)], 25
    R1, R2, mis = z.build_penalty_matrices_nd(degrees, bounds, n)
    x, y = (np.linspace(lo, hi, n) for lo, hi in bounds)
    X, Y = np.meshgrid(x, y, indexing="ij")
    dV = np.prod([(hi - lo) / (n - 1) for lo, hi in bounds])
    for _ in range(5):
        b = rng.standard_normal(len(mis))
        C = np.zeros((degrees[0] + 1, degrees[1] + 1))
        for bm, (a, c) in zip(b, mis):
            C[a, c] = bm

        def f(dx, dy):
            return P.polyval2d(X, Y, P.polyder(P.polyder(C, dx, axis=0), dy, axis=1))

        grad = np.sum(f(1, 0) ** 2 + f(0, 1) ** 2) * dV
        hess = np.sum(f(2, 0) ** 2 + 2 * f(1, 1) ** 2 + f(0, 2) ** 2) * dV
        np.testing.assert_allclose(b @ R1 @ b, grad, rtol=1e-11)
        np.testing.assert_allclose(b @ R2 @ b, hess, rtol=1e-11)


def test_penalties_nd_in_one_dimension_agree_with_1d_builder():
    R1, R2, _ = z.build_penalty_matrices_nd([6], [(-0.7, 1.9)], 120)
    S1, S2 = z.smoothness_penalty_matrices_1d(6, -0.7, 1.9, 120)
    np.testing.assert_allclose(R1, S1, rtol=1e-13, atol=1e-13 * np.abs(S1).max())
    np.testing.assert_allclose(R2, S2, rtol=1e-13, atol=1e-13 * np.abs(S2).max())


def test_penalties_nd_do_not_grow_with_the_grid():
    # 10^6 points per axis in four dimensions is 10^24 grid points: only per-axis sums are formed.
    R1, R2, mis = z.build_penalty_matrices_nd([1, 1, 1, 1], [(0, 1)] * 4, 10**6)
    m = mis.index([1, 1, 0, 0])
    # The integral of |grad(x0 x1)|^2 over the unit cube is 2/3; the rule overweights by n/(n-1).
    np.testing.assert_allclose(R1[m, m], 2 / 3, rtol=1e-5)
    np.testing.assert_allclose(R2[m, m], 2.0, rtol=1e-5)   # (d2/dx0 dx1)^2 = 1, counted twice


def test_penalties_nd_default_grid_and_argument_forms():
    want = z.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 2.0)], 30)
    for bounds in ([(0, 1), (-1, 2)], ([0, 1.0], [-1, 2]), np.array([[0, 1], [-1, 2]]),
                   np.array([[0.0, 1.0], [-1.0, 2.0]])):
        for degrees in ([2, 1], (2, 1), np.array([2, 1])):
            got = z.build_penalty_matrices_nd(degrees, bounds)
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])
            assert got[2] == want[2]
    assert all(type(mi) is list and all(type(e) is int for e in mi) for mi in want[2])
    # The matrices are the native results themselves, handed over without a copy.
    for R in want[:2] + z.smoothness_penalty_matrices_1d(3, 0.0, 1.0):
        assert type(R.base).__name__ == "PyCapsule" and R.flags.f_contiguous and R.flags.writeable
    # The list names the columns of design_matrix_nd in the same order.
    Phi = z.design_matrix_nd(want[2], [[2.0], [3.0]])
    np.testing.assert_array_equal(Phi, [[2.0 ** a * 3.0 ** c for a, c in want[2]]])


@pytest.mark.parametrize("degrees, bounds", [
    ([2], [(0, 1, 2)]),
    ([2], [(0,)]),
    ("2", [(0, 1)]),
    ([2.0], [(0, 1)]),
])
def test_penalties_nd_refuse_malformed_arguments(degrees, bounds):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        z.build_penalty_matrices_nd(degrees, bounds)
