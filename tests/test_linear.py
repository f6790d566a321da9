"""Least squares by SVD and the penalised normal-equations fit."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.linalg

import zelk_core as z


def tall(rng, m, p, cond=1e3):
    """A random m x p design with singular values spread over `cond`."""
    u, _ = np.linalg.qr(rng.standard_normal((m, min(m, p))))
    v, _ = np.linalg.qr(rng.standard_normal((p, min(m, p))))
    s = np.geomspace(1.0, 1.0 / cond, min(m, p))
    return (u * s) @ v.T


def low_rank(rng, m, p, r):
    return rng.standard_normal((m, r)) @ rng.standard_normal((r, p))


# --- ols ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("X, y, expected", [
    ([[1, 0], [0, 1], [1, 1]], [1, 2, 3], [1, 2]),
    ([[1, 1], [1, 1], [1, 1]], [2, 2, 2], [1, 1]),     # duplicated column: the minimum-norm split
    ([[1, 1]], [2], [1, 1]),                           # wide: the minimum-norm exact solution
    (np.zeros((4, 3)), np.ones(4), [0, 0, 0]),
    (np.zeros((4, 20)), np.ones(4), np.zeros(20)),
    ([1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [2.0]),         # a 1-D X is one column
], ids=["tall", "duplicated-column", "wide", "zero", "zero-wide-20", "one-column"])
def test_ols_worked_examples(X, y, expected):
    np.testing.assert_allclose(z.ols(X, y), expected, rtol=1e-12, atol=1e-12)


# Tall designs go through a QR of X first, in segments of 8192 rows, folded reflector by
# reflector up to 64 columns and by blocked QR beyond; square and wide ones decompose X directly.
@pytest.mark.parametrize("m, p", [
    (50, 3), (200, 15), (200, 16), (500, 40), (41, 20),  # tall: both sides of the switch at 16
    (20000, 5), (8193, 33), (3000, 70),                   # several segments; the blocked QR
    (15, 15), (40, 40), (39, 20),                         # square, and just short of QR first
    (5, 12), (10, 60),                                    # wide
])
@pytest.mark.parametrize("cond", [1e0, 1e3, 1e6])
def test_ols_agrees_with_lstsq(rng, m, p, cond):
    X = tall(rng, m, p, cond)
    y = X @ rng.standard_normal(p) + rng.standard_normal(m)
    # Both sides are backward stable: they differ by a few rounding errors times the condition.
    rtol = 1e-13 if cond == 1 else 1e-10 if cond <= 1e3 else 1e-7
    expected = np.linalg.lstsq(X, y, rcond=None)[0]
    np.testing.assert_allclose(z.ols(X, y), expected, rtol=rtol, atol=rtol * abs(expected).max())


@pytest.mark.parametrize("m, p, r", [
    (100, 8, 3), (100, 30, 7), (20, 50, 5), (30, 30, 29),
    (20000, 12, 5), (2000, 80, 30),                       # QR first: folded, blocked
])
def test_ols_rank_deficient_gives_the_minimum_norm_solution(rng, m, p, r):
    X = low_rank(rng, m, p, r)
    y = rng.standard_normal(m)
    b = z.ols(X, y)
    np.testing.assert_allclose(b, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-8, atol=1e-10)
    # Minimum norm: no component in the null space of X.
    _, s, vt = np.linalg.svd(X, full_matrices=m < p)     # vt is p x p either way
    assert (s > s[0] * max(m, p) * np.finfo(float).eps).sum() == r
    np.testing.assert_allclose(vt[r:] @ b, 0.0, atol=1e-10)


def test_ols_rank_rule_counts_the_shape_of_x(rng):
    # The cut-off is sigma_0 * min(m, p) * eps, min(m, p) being 5 here, for X and for the triangle
    # of its QR alike: a last singular value of 200 eps is kept (a cut-off counting the 1000 rows
    # would drop it), and one of 0.001 eps is dropped.
    m, p = 1000, 5
    u, _ = np.linalg.qr(rng.standard_normal((m, p)))
    v, _ = np.linalg.qr(rng.standard_normal((p, p)))
    eps = np.finfo(float).eps
    y = rng.standard_normal(m)
    X = (u * [1.0, 0.9, 0.8, 0.7, 200 * eps]) @ v.T
    assert np.linalg.norm(z.ols(X, y)) > 1e12
    X = (u * [1.0, 0.9, 0.8, 0.7, 1e-3 * eps]) @ v.T
    np.testing.assert_allclose(z.ols(X, y), np.linalg.lstsq(X, y, rcond=p * eps)[0], rtol=1e-8)


@pytest.mark.parametrize("m, p", [(60, 20), (20000, 5)])
def test_ols_scaling_of_x_does_not_change_the_rank(rng, m, p):
    X = tall(rng, m, p, cond=1e6)
    y = rng.standard_normal(m)
    for scale in (1e-200, 1e-150, 1e150, 1e200):
        np.testing.assert_allclose(z.ols(X * scale, y) * scale, z.ols(X, y), rtol=1e-8)


# Targets far from 1 in either direction (subnormal ones too), on the QR route and the direct one:
# any finite problem whose solution is finite gets it, as LAPACK's scaled driver does.
@pytest.mark.parametrize("m, p", [(50, 3), (5000, 40), (3, 3), (30, 30), (2, 3)])
@pytest.mark.parametrize("scale", [1e307, 2.0**1000, 2.0**-1000, 1e-300, 1e-310, 2e-321])
def test_ols_far_scales_of_y(rng, m, p, scale):
    X = rng.standard_normal((m, p))
    y = X @ rng.standard_normal(p)
    y = y / np.abs(y).max() * scale                      # the largest target exactly `scale`
    b = z.ols(X, y)
    want = np.linalg.lstsq(X, y, rcond=None)[0]
    assert np.isfinite(b).all()
    # Subnormal solutions keep only as many digits as their exponent leaves.
    np.testing.assert_allclose(b, want, rtol=1e-12, atol=1e-11 * np.abs(want).max() + 1e-321)


@pytest.mark.parametrize("m, p", [(50, 3), (5000, 40), (30, 30)])
def test_ols_y_of_ordinary_scale_keeps_its_bits_when_scaled_by_two(rng, m, p):
    X = rng.standard_normal((m, p))
    y = rng.standard_normal(m)
    assert z.ols(X, y * 2.0**-20).tobytes() == (z.ols(X, y) * 2.0**-20).tobytes()


@pytest.mark.parametrize("shape", [(0, 3), (0, 30), (5, 0), (0, 0)])
def test_ols_empty_design(shape):
    b = z.ols(np.zeros(shape), np.zeros(shape[0]))
    np.testing.assert_array_equal(b, np.zeros(shape[1]))


@pytest.mark.parametrize("p", [3, 20])
@pytest.mark.parametrize("where", ["X-nan", "X-inf", "y-nan", "y-inf"])
def test_ols_non_finite_input_gives_nans(rng, p, where):
    X, y = rng.standard_normal((30, p)), rng.standard_normal(30)
    bad = np.nan if where.endswith("nan") else -np.inf
    if where.startswith("X"):
        X[7, p - 1] = bad
    else:
        y[29] = bad
    b = z.ols(X, y)
    assert b.shape == (p,) and np.isnan(b).all()


@pytest.mark.parametrize("m_y", [3, 5])
def test_ols_length_mismatch_is_refused(m_y):
    with pytest.raises(ValueError, match=rf"^y has {m_y} entries, but X has 4 rows$"):
        z.ols(np.ones((4, 2)), np.ones(m_y))


def test_ols_keywords_and_input_untouched(rng):
    X, y = rng.standard_normal((20, 4)), rng.standard_normal(20)
    X0, y0 = X.copy(), y.copy()
    np.testing.assert_array_equal(z.ols(y=y, X=X), z.ols(X, y))
    np.testing.assert_array_equal(X, X0)
    np.testing.assert_array_equal(y, y0)


DIGESTS = """
    import hashlib, numpy as np, zelk_core as z
    rng = np.random.default_rng(8)
    for m, p in [(30001, 12), (20000, 80), (100003, 46), (5, 3)]:
        X, y = rng.standard_normal((m, p)), rng.standard_normal(m)
        R = np.eye(p)
        for b in (z.ols(X, y), z.fit_regularized_linear(X, y, R, None, 1e-3),
                  z.fit_regularized_linear(np.asfortranarray(X), y)):
            print(hashlib.sha256(b.tobytes()).hexdigest())
"""


# The larger shapes are big enough to run on several threads (segments of rows for the QR and
# the Gram matrix); the bits must not change with their number.
def test_same_bits_for_one_to_four_threads():
    def digests(threads):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(DIGESTS)], env=env,
                             capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        return out.stdout.split()

    runs = {threads: digests(threads) for threads in (1, 2, 3, 4)}
    assert all(run == runs[1] for run in runs.values())


# --- fit_regularized_linear ---------------------------------------------------------------------

def normal_equations(Phi, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, ridge=1e-10):
    """The system the fit solves, built in NumPy, symmetrised from its lower triangle."""
    n = len(y)
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1])
    if gamma1 != 0 and R1 is not None:
        A = A + n * gamma1 * np.asarray(R1, float)
    if gamma2 != 0 and R2 is not None:
        A = A + n * gamma2 * np.asarray(R2, float)
    L = np.tril(A)
    return L + np.tril(A, -1).T, Phi.T @ y


def spd(rng, p):
    B = rng.standard_normal((p, p))
    return B @ B.T / p


@pytest.mark.parametrize("kwargs, expected", [
    (dict(ridge=0.0), [1.0, 2.0]),
    (dict(R1=np.eye(2), gamma1=0.5, ridge=0.0), [0.5, 1.0]),      # n = 2: A = 2 I
    (dict(R2=np.eye(2), gamma2=0.5, ridge=0.0), [0.5, 1.0]),      # the second penalty alone
    (dict(R1=None, gamma1=0.5, ridge=0.0), [1.0, 2.0]),           # weight without matrix
    (dict(R1=np.full((2, 2), 7.0), gamma1=0.0, ridge=0.0), [1.0, 2.0]),  # matrix without weight
    (dict(R1=np.eye(2), gamma1=-0.25, ridge=0.0), [2.0, 4.0]),    # A = I - 0.5 I
    (dict(ridge=1.0), [0.5, 1.0]),
])
def test_fit_worked_examples(kwargs, expected):
    np.testing.assert_allclose(z.fit_regularized_linear(np.eye(2), [1.0, 2.0], **kwargs),
                               expected, rtol=1e-15)


# Rows beyond the last group of four, columns beyond the last tile of three, several segments.
@pytest.mark.parametrize("m, p", [(3, 2), (200, 5), (301, 16), (503, 40), (50001, 11),
                                  (20002, 33)])
def test_fit_solves_the_penalised_equations(rng, m, p):
    Phi, y = rng.standard_normal((m, p)), rng.standard_normal(m)
    args = dict(R1=spd(rng, p), R2=spd(rng, p), gamma1=0.03, gamma2=0.002, ridge=0.5)
    A, b = normal_equations(Phi, y, **args)
    expected = scipy.linalg.solve(A, b, assume_a="sym")
    got = z.fit_regularized_linear(Phi, y, **args)
    np.testing.assert_allclose(got, expected, rtol=1e-11)
    # The design is read as a column-major copy whatever its order: the same bits.
    assert z.fit_regularized_linear(np.asfortranarray(Phi), y, **args).tobytes() == got.tobytes()


def test_fit_indefinite_system(rng):
    p = 6
    Phi, y = rng.standard_normal((40, p)), rng.standard_normal(40)
    args = dict(R1=np.eye(p), gamma1=-0.5, ridge=0.0)            # A = Phi^T Phi - 20 I
    A, b = normal_equations(Phi, y, **args)
    assert np.linalg.eigvalsh(A).min() < 0 < np.linalg.eigvalsh(A).max()
    np.testing.assert_allclose(z.fit_regularized_linear(Phi, y, **args), np.linalg.solve(A, b),
                               rtol=1e-10)


def test_fit_reads_only_the_lower_triangle_of_a_penalty(rng):
    p = 7
    Phi, y = rng.standard_normal((50, p)), rng.standard_normal(50)
    R1 = rng.standard_normal((p, p))                              # not symmetric
    R2 = np.tril(rng.standard_normal((p, p)))
    args = dict(gamma1=0.01, gamma2=0.02, ridge=1.0)
    b = z.fit_regularized_linear(Phi, y, R1, R2, **args)
    A, rhs = normal_equations(Phi, y, R1, R2, **args)
    np.testing.assert_allclose(b, np.linalg.solve(A, rhs), rtol=1e-11)
    # Changing the strict upper triangles changes nothing, to the bit.
    R1u, R2u = R1 + np.triu(rng.standard_normal((p, p)), 1), R2 + np.triu(np.ones((p, p)), 1)
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, R1u, R2u, **args), b)


def test_fit_defaults(rng):
    Phi, y = rng.standard_normal((100, 6)), rng.standard_normal(100)
    b = z.fit_regularized_linear(Phi, y)
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, None, None, 0.0, 0.0, 1e-10), b)
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi=Phi, y=y, R2=None, R1=None), b)
    A, rhs = normal_equations(Phi, y)
    np.testing.assert_allclose(b, np.linalg.solve(A, rhs), rtol=1e-12)
    np.testing.assert_allclose(b, z.ols(Phi, y), rtol=1e-9)


def test_fit_singular_system_zeroes_pivots_instead_of_failing(rng):
    np.testing.assert_array_equal(
        z.fit_regularized_linear(np.zeros((5, 3)), np.ones(5), ridge=0.0), np.zeros(3))
    # A duplicated column makes A exactly singular; the fitted values are still least squares.
    c = rng.standard_normal(30)
    Phi = np.column_stack([c, c, rng.standard_normal(30)])
    y = rng.standard_normal(30)
    b = z.fit_regularized_linear(Phi, y, ridge=0.0)
    assert np.isfinite(b).all()
    np.testing.assert_allclose(Phi @ b, Phi @ np.linalg.lstsq(Phi, y, rcond=None)[0], rtol=1e-10)


@pytest.mark.parametrize("p", [3, 20])
@pytest.mark.parametrize("where", ["Phi", "y", "ridge", "gamma1", "gamma2", "R1", "R2"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_fit_non_finite_input_gives_nans(rng, p, where, bad):
    args = dict(Phi=rng.standard_normal((40, p)), y=rng.standard_normal(40), R1=np.eye(p),
                R2=np.eye(p), gamma1=0.1, gamma2=0.01, ridge=1e-3)
    if where in ("Phi", "R1", "R2"):
        args[where][p - 1, p // 2] = bad
    elif where == "y":
        args["y"][39] = bad
    else:
        args[where] = bad
    b = z.fit_regularized_linear(**args)
    assert b.shape == (p,) and np.isnan(b).all()


def test_fit_non_finite_penalty_that_is_not_applied_changes_nothing():
    Phi, y = np.eye(2), [1.0, 2.0]
    bad = np.full((2, 2), np.nan)
    want = z.fit_regularized_linear(Phi, y)
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, bad, bad), want)
    np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, None, None, np.nan, np.inf), want)


def unit_max(A):
    """A divided by a power of two that brings its largest magnitude into [0.5, 1)."""
    return A / 2.0 ** np.frexp(np.abs(A).max())[1]


# Phi and y beyond 2^+-480 are scaled by powers of two: with Phi, y and the ridge and penalty
# weights scaled consistently, the answer is that of the unscaled problem, to the bit.
@pytest.mark.parametrize("m, p", [(100, 3), (30001, 12)])
@pytest.mark.parametrize("e", [500, 1000, -500, -1000])
def test_fit_far_scales_keep_the_answer(rng, m, p, e):
    Phi, y = unit_max(rng.standard_normal((m, p))), unit_max(rng.standard_normal(m))
    R1, R2 = spd(rng, p), np.tril(rng.standard_normal((p, p)))
    want = z.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-4, 1e-6)
    s = 2.0**e                                            # Phi'Phi and the weights scale by s^2
    w = 2.0 ** (2 * e) if abs(e) <= 500 else None
    got = z.fit_regularized_linear(Phi * s, y * s, R1, R2, 1e-3 * w, 1e-4 * w, 1e-6 * w) if w \
        else z.fit_regularized_linear(Phi * s, y * s, ridge=0.0)
    if w is None:
        want = z.fit_regularized_linear(Phi, y, ridge=0.0)
    assert got.tobytes() == want.tobytes()
    # Only y far away: the solution scales with it.
    assert z.fit_regularized_linear(Phi, y * s, ridge=0.0).tobytes() == (
        z.fit_regularized_linear(Phi, y, ridge=0.0) * s).tobytes()


def test_fit_far_scales_against_least_squares(rng):
    X = rng.standard_normal((200, 3))
    y = X @ [1.0, 2.0, 3.0]
    for s in (1e200, 1e-200, 1e300, 1e-300):
        np.testing.assert_allclose(z.fit_regularized_linear(X * s, y * s, ridge=0.0), [1, 2, 3], rtol=1e-12)
        np.testing.assert_allclose(z.fit_regularized_linear(X * s, y, ridge=0.0), np.array([1, 2, 3]) / s,
                                   rtol=1e-12)
    # A ridge that outweighs Phi'Phi by far more than 2^1000 is not scaled with it: the answer is
    # Phi'y / ridge, as the unscaled normal equations give it.
    Phi = X * 1e-200
    np.testing.assert_allclose(z.fit_regularized_linear(Phi, y, ridge=1e-10), Phi.T @ y / 1e-10,
                               rtol=1e-12)


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_fit_empty_design(shape):
    p = shape[1]
    b = z.fit_regularized_linear(np.zeros(shape), np.zeros(shape[0]), np.eye(p), np.eye(p), 1.0, 1.0)
    np.testing.assert_array_equal(b, np.zeros(p))


def test_fit_converts_penalties_like_matrices(rng):
    Phi, y = rng.standard_normal((20, 3)), rng.standard_normal(20)
    R = np.array([[2.0, 1.0, 0.0], [1.0, 3.0, 1.0], [0.0, 1.0, 2.0]])
    expected = z.fit_regularized_linear(Phi, y, R, gamma1=0.1)
    for form in (R.tolist(), tuple(map(tuple, R)), np.asfortranarray(R), R.astype(np.int64),
                 R.astype(np.float32), np.kron(R, np.ones((2, 2)))[::2, ::2]):
        np.testing.assert_array_equal(z.fit_regularized_linear(Phi, y, form, gamma1=0.1), expected)
    # A 1-D penalty is one column: usable only for a single coefficient.
    np.testing.assert_allclose(z.fit_regularized_linear([[1.0], [1.0]], [1.0, 3.0], [2.0],
                                                        gamma1=0.5, ridge=0.0), [1.0])


# --- errors -------------------------------------------------------------------------------------

CAST = "Unable to cast Python instance of type "


@pytest.mark.parametrize("R1, R2, gamma1, culprit, arg", [
    ("abc", None, 1.0, "str", "R1"),
    ("abc", None, 0.0, "str", "R1"),                     # converted even when its weight is 0
    (None, {"a": 1}, 0.0, "dict", "R2"),
    ("abc", {"a": 1}, 0.0, "str", "R1"),                 # R1 is examined first
    (np.eye(3), np.ones((2, 2, 2)), 0.0, "numpy.ndarray", "R2"),
    ([[1.0, 2.0], [3.0]], None, 0.0, "list", "R1"),
])
def test_fit_unconvertible_penalty_raises_the_cast_error(R1, R2, gamma1, culprit, arg):
    with pytest.raises(RuntimeError, match=rf"^{CAST}{culprit} to a float64 matrix for argument {arg}$"):
        z.fit_regularized_linear(np.eye(3), np.ones(3), R1, R2, gamma1=gamma1)


def test_fit_bad_ridge_is_refused_before_the_penalties_are_looked_at():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        z.fit_regularized_linear(np.eye(2), [1.0, 2.0], "abc", None, ridge="x")


@pytest.mark.parametrize("kwargs, message", [
    (dict(y=np.ones(3)), r"^y has 3 entries, but Phi has 4 rows$"),
    (dict(y=np.ones(5)), r"^y has 5 entries, but Phi has 4 rows$"),
    (dict(R1=np.eye(3), gamma1=1.0), "R1 must be 4 x 4"),
    (dict(R2=np.ones((4, 3)), gamma2=1.0), "R2 must be 4 x 4"),
    (dict(R1=np.eye(4), R2=np.ones((5, 5)), gamma1=1.0, gamma2=-1.0), "R2 must be 4 x 4"),
    (dict(R1=np.ones(4), gamma1=1.0), "got 4 x 1"),
])
def test_fit_shape_mismatch_is_refused(kwargs, message):
    args = dict(Phi=np.ones((4, 4)), y=np.ones(4)) | kwargs
    with pytest.raises(ValueError, match=message):
        z.fit_regularized_linear(**args)


def test_fit_unapplied_penalty_of_any_shape_is_ignored():
    expected = z.fit_regularized_linear(np.eye(2), [1.0, 2.0])
    got = z.fit_regularized_linear(np.eye(2), [1.0, 2.0], np.ones((5, 3)), np.ones(7), 0.0, 0.0)
    np.testing.assert_array_equal(got, expected)
    got = z.fit_regularized_linear(np.eye(2), [1.0, 2.0], None, np.ones(7), 3.0, 0.0)
    np.testing.assert_array_equal(got, expected)
