"""Native kernels of zelk's robust fit: weighted Gram matrices and IRLS steps in one pass over the rows, bisquare weights, rho and M-scales."""

# Arrays: float64 arrays in native byte order whose strides are whole non-negative multiples of
# 8 bytes (C or Fortran order, or slices of them) are read where they are, without a copy;
# anything else of real numbers (other dtypes, negative strides, lists) is converted once. A
# design must be 2-D and a vector 1-D (ValueError otherwise); other values raise TypeError.
# Lengths that do not match the design raise ValueError, e.g. "z has 7 entries, but Phi has 10
# rows". Sums over rows run in an order fixed by the shape, so results are the same bits on any
# number of threads; long calls stop for Ctrl-C.
#
# The bisquare at (scale, c): with u = (r / scale) / c and v = u * u,
#   weight = (1 - v)**2 for v < 1, else 0 (a NaN residual gets 0);
#   rho = 1 - w**3 with w = 1 - min(v, 1) (NaN stays NaN),
# rounded as NumPy rounds these expressions, so bisquare_weights(r, s, c) is
# zelk._norms.Bisquare(c).weights(r / s) to the bit (but 0 for a NaN residual), and likewise
# for rho (Bisquare(c).chi).

from collections.abc import Sequence
from typing import Annotated, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

import numpy
import numpy.typing

_Design: TypeAlias = Annotated[numpy.typing.ArrayLike, numpy.float64, "[n, p]"]
_Vector: TypeAlias = Annotated[numpy.typing.ArrayLike, numpy.float64, "[n]"]
_Result: TypeAlias = numpy.typing.NDArray[numpy.float64]
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsInt | SupportsIndex

def weighted_gram(Phi: _Design, w: _Vector | None = None) -> _Result:
    """Phi' diag(w) Phi (Phi' Phi without w), p x p and symmetric. Weights of any sign."""

def weighted_normal_equations(Phi: _Design, z: _Vector, w: _Vector | None = None) -> tuple[_Result, _Result]:
    """(A, rhs) = (Phi' W Phi, Phi' W z), W = diag(w) or the identity, in one pass over the rows."""

def residuals(Phi: _Design, z: _Vector, beta: _Vector) -> _Result:
    """z - Phi @ beta, each row's product summed over the columns in order with fused
    multiply-adds."""

def bisquare_normal_equations(
    Phi: _Design, z: _Vector, beta: _Vector, scale: _Float, c: _Float, w: _Vector | None = None
) -> tuple[_Result, _Result, float, int]:
    """One IRLS step's data work in one pass over the rows: with r = residuals(Phi, z, beta) and
    the weights W = w * bisquare_weights(r, scale, c) (w optional prior weights), returns
    (Phi' W Phi, Phi' W z, mean of bisquare_rho(r, scale, c) over all rows (prior weights not
    applied; NaN without rows), number of rows with positive weight). The system equals
    weighted_normal_equations(Phi, z, W) to the bit."""

def bisquare_weights(r: _Vector, scale: _Float, c: _Float) -> _Result:
    """Bisquare weights psi(t) / t of t = r / scale: (1 - (t/c)**2)**2 inside [-c, c], else 0."""

def bisquare_rho(r: _Vector, scale: _Float, c: _Float) -> _Result:
    """Bisquare rho of t = r / scale, scaled to rise from 0 to 1 at |t| = c."""

def mean_bisquare_rho(r: _Vector, scale: _Float, c: _Float) -> float:
    """mean(bisquare_rho(r, scale, c)); NaN for an empty r."""

def m_scale(
    r: _Vector,
    c: _Float = 1.5476,
    b: _Float = 0.5,
    tol: _Float = 1e-12,
    max_iter: _Int = 100,
    start: _Float | None = None,
) -> float:
    """M-scale s solving mean(bisquare_rho(r, s, c)) = b (50 % breakdown at the defaults):
    Newton's method from `start` or else from 1.4826 * median(|r|), bisection where a step would
    leave the bracket, until a step changes s by at most tol * s (or g is exactly 0), at most
    max_iter steps. 0 for an exact fit (at least half the residuals exactly 0) or no residuals,
    NaN when a residual is NaN, inf when the median of |r| is. ValueError for
    max_iter < 0, tol < 0 or a start that is not positive."""

def legendre_design(U: _Design, exponents: Sequence[Sequence[_Int]] | numpy.typing.ArrayLike) -> _Result:
    """The estimators' tensor Legendre design (zelk._basis.legendre_design, to the bit): column j is
    the product over features d with exponents[j][d] > 0 of P_e(U[:, d]), P_e the Legendre
    polynomial by numpy.polynomial.legendre.legvander's recurrence; n x len(exponents), C order.
    ValueError when a tuple's length differs from U's columns or an exponent is negative;
    TypeError for exponents that are not integers."""

def bisquare_sandwich(
    Phi: _Design, z: _Vector, beta: _Vector, scale: _Float, c: _Float, w: _Vector | None = None
) -> tuple[_Result, _Result]:
    """The matrices of the sandwich covariance of a bisquare M-estimate: with
    t = residuals(Phi, z, beta) / scale and v = (t / c)**2, (Phi' diag(w psi'(t)) Phi,
    Phi' diag(w psi(t)**2) Phi), psi(t) = t (1 - v)**2 and psi'(t) = (1 - v)(1 - 5 v) for v < 1, 0
    outside (w optional prior weights). Two passes over the rows."""

def truncated_sum_squares(r: _Vector, bound: _Float) -> tuple[int, float]:
    """(number of entries with r**2 < bound**2, sum of their r**2): one step of a truncated
    scale's fixed point. NaN entries never count."""
