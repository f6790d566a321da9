// Kernels of zelk's robust fit (the `zelk._kernels` module): what one step of bisquare
// iteratively reweighted least squares and the bisquare M-scale need, each in one pass over the
// rows of the design, reading the caller's arrays where they are.
//
// Python name -> native function (all in namespace zelk):
//   weighted_gram              -> weighted_gram
//   weighted_normal_equations  -> weighted_normal_equations
//   residuals                  -> residuals
//   bisquare_normal_equations  -> bisquare_normal_equations
//   bisquare_weights           -> bisquare_weights
//   bisquare_rho               -> bisquare_rho
//   mean_bisquare_rho          -> mean_bisquare_rho
//   m_scale                    -> m_scale
//   legendre_design            -> legendre_design
//   bisquare_sandwich          -> bisquare_sandwich
//   truncated_sum_squares      -> truncated_sum_squares
//
// Bisquare conventions (those of zelk._robust): with u = (r / scale) / c and v = u * u,
//   weight(r) = (1 - v)^2 for v < 1, else 0   (psi(t) / t; a NaN residual gets weight 0),
//   rho(r)    = 1 - w^3, w = 1 - min(v, 1)    (0 at r = 0, 1 from |r| = c * scale on; NaN stays NaN),
// each operation rounded as NumPy rounds the same expression, so the element-wise results are
// NumPy's bits.
//
// Sums over rows run in an order fixed by the shape alone (see robust_kernels.cpp), so results are
// the same bits on any number of threads. Long calls poll for interrupts (runtime.hpp), and
// threads start only where the runtime allows them.
#pragma once

#include "common.hpp"

#include <cstdint>
#include <optional>

namespace zelk {

// Read-only views of caller-owned data. A design is rows x cols with any non-negative strides
// in elements (row-major, column-major, or a slice of either); a vector has any non-negative
// stride. Entry (i, j) of a design lies at data[i * inner + j * outer].
using DesignView = Eigen::Map<const Matrix, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;
using VectorView = Eigen::Map<const Vector, 0, Eigen::InnerStride<>>;

// Views of the core's own types (column-major matrices, contiguous vectors).
inline DesignView view_of(const Matrix& M) {
    return DesignView(M.data(), M.rows(), M.cols(),
                      Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(M.rows(), 1));
}
inline VectorView view_of(const Vector& v) { return VectorView(v.data(), v.size(), Eigen::InnerStride<>(1)); }

// The weighted least-squares system A b = rhs: A = Phi^T W Phi (symmetric, both triangles
// filled), rhs = Phi^T W z.
struct WeightedSystem {
    Matrix A;
    Vector rhs;
};

// One step of bisquare IRLS from coefficients beta at a fixed scale: the system of the weights
// w_i = prior_i * weight(z_i - phi_i beta), and what the same pass learns about the residuals.
struct BisquareStep {
    Matrix A;          // Phi^T W Phi
    Vector rhs;        // Phi^T W z
    double mean_rho;   // mean over all rows of rho(z_i - phi_i beta) (prior weights not applied);
                       // NaN when there are no rows
    Index n_active;    // rows whose weight is > 0 (the system is empty when this is 0)
};

// Phi^T W Phi with W = diag(w), or Phi^T Phi without w. Throws std::invalid_argument when w's
// length differs from Phi's rows. Weights may be of any sign.
Matrix weighted_gram(const DesignView& Phi, const VectorView* w);

// A = Phi^T W Phi and rhs = Phi^T W z in one pass (W = I without w). Throws
// std::invalid_argument when z's or w's length differs from Phi's rows.
WeightedSystem weighted_normal_equations(const DesignView& Phi, const VectorView& z,
                                         const VectorView* w);

// z - Phi beta, each entry as z_i - (((phi_i0 beta_0 + phi_i1 beta_1) + ...) with every term after
// the first one fused multiply-add. Throws std::invalid_argument for a length mismatch.
Vector residuals(const DesignView& Phi, const VectorView& z, const VectorView& beta);

// One IRLS step's data work in one pass: residuals from beta, bisquare weights at
// (scale, c) times the optional prior weights, the weighted system, mean rho and the count of
// rows with positive weight. The residuals are those of residuals(), the weights those of
// bisquare_weights() times prior (one rounding). Throws std::invalid_argument for a length
// mismatch.
BisquareStep bisquare_normal_equations(const DesignView& Phi, const VectorView& z,
                                       const VectorView& beta, double scale, double c,
                                       const VectorView* prior);

// The two matrices of the sandwich covariance of a bisquare M-estimate, from the residuals
// r = z - Phi beta at (scale, c), t = r / scale, v = (t / c)^2: M = Phi' diag(prior psi'(t)) Phi and
// Q = Phi' diag(prior psi(t)^2) Phi, with psi(t) = t (1 - v)^2 and psi'(t) = (1 - v)(1 - 5 v) for
// v < 1 (0 outside). Two passes over the rows. Throws std::invalid_argument for a length mismatch.
struct Sandwich {
    Matrix M;
    Matrix Q;
};
Sandwich bisquare_sandwich(const DesignView& Phi, const VectorView& z, const VectorView& beta,
                           double scale, double c, const VectorView* prior);

// The residuals with r^2 < bound^2 (squares compared, as NumPy's r**2 < bound**2): how many, and
// the sum of their squares (in 8 lanes, an order fixed by the length).
struct TruncatedSquares {
    Index count;
    double sum;
};
TruncatedSquares truncated_sum_squares(const VectorView& r, double bound);

// Element-wise bisquare weights and rho of r at (scale, c), as above.
Vector bisquare_weights(const VectorView& r, double scale, double c);
Vector bisquare_rho(const VectorView& r, double scale, double c);

// mean(rho(r)) at (scale, c); NaN for an empty r.
double mean_bisquare_rho(const VectorView& r, double scale, double c);

// The M-scale s solving mean(rho(r / s)) = b for the bisquare rho with tuning c: Newton's method
// on g(s) = mean(rho) - b, which falls in s, from `start` or, without one, from the median of |r|
// times 1.4826022185056018; a step that would leave the bracket of signs seen so far is replaced
// by bisection (or a doubling while no upper end is known). Stops when a step changes s by at
// most tol * s, when g is exactly 0 (s is returned), or after max_iter steps. Returns 0 when the
// start is 0 (at least half of the residuals exactly zero: an exact fit, or no residuals at
// all), NaN when any residual is NaN, and infinity when the start is infinite. Throws std::invalid_argument when max_iter < 0, tol
// is negative or NaN, or a given start is not positive.
double m_scale(const VectorView& r, double c, double b, double tol, int max_iter,
               std::optional<double> start = std::nullopt);

// The tensor Legendre design of the estimators (zelk._basis.legendre_design): entry (i, j) is the
// product over features d with exponents(j, d) > 0, in feature order, of P_e(U(i, d)), with P_e
// by the three-term recurrence as numpy.polynomial.legendre.legvander rounds it:
// P_0 = u * 0 + 1, P_1 = u, P_e = ((P_{e-1} * u) * (2e - 1) - P_{e-2} * (e - 1)) / e; the same
// bits as the NumPy construction. Rows x exponents.rows(), row-major (as NumPy builds it).
// Throws std::invalid_argument when exponents has another number of columns than U or a
// negative entry.
using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Exponents = Eigen::Matrix<std::int64_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
RowMajorMatrix legendre_design(const DesignView& U, const Exponents& exponents);

}  // namespace zelk
