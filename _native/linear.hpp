// Linear estimation: least squares by singular value decomposition, and the penalised fit
// that solves the regularised normal equations.
#pragma once

#include "common.hpp"

namespace zelk {

// Minimum-norm least-squares solution of X b = y by Eigen's divide-and-conquer SVD with thin
// factors and its least-squares solve (library defaults: the rank cut-off
// sigma_0 * max(1, min(m, p)) * eps, the switch to one-sided Jacobi below 16 columns). A tall X
// (at least twice as many rows as columns) is first reduced by a Householder QR, with Q^T y formed
// alongside, and the SVD route runs on its p x p triangle, with the cut-off of X's shape.
// Never fails for rank deficiency. Throws std::invalid_argument when len(y) != rows of X.
// A NaN or infinite entry in X or y gives a vector of p NaNs.
Vector ols(const MatrixView& X, const VectorRef& y);

// The normal equations of the least-squares problem Phi b = y: A holds Phi^T Phi in its lower
// triangle (diagonal included) and zeros above; b = Phi^T y. Every sum runs in one fixed order
// (see linear.cpp), so the bits depend neither on the machine nor on the number of threads.
// Throws std::invalid_argument when len(y) != rows of Phi.
struct NormalEquations {
    Matrix A;
    Vector b;
};
NormalEquations normal_equations(const MatrixView& Phi, const VectorRef& y);

// x with A x = b by Eigen's LDL^T with symmetric pivoting of A's lower triangle and its solve
// (pivots of magnitude below the smallest normal double count as zero): the same steps and bits
// as Eigen::LDLT<Matrix, Eigen::Lower>, stopping for Ctrl-C (poll_interrupt) between columns.
Vector solve_ldlt(Matrix&& A, const Vector& b);

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi^T y, n = len(y), the
// penalties and weights taken from `pen`, with a pivoted LDL^T factorisation of the lower
// triangle. A penalty is applied when its weight is != 0 (NaN and negative weights included)
// and its matrix is present; an applied penalty must be p x p. Throws std::invalid_argument for a length or shape mismatch, before any work.
// A NaN or infinite entry in Phi, y, ridge, an applied weight or an applied penalty gives a
// vector of p NaNs.
Vector fit_regularized_linear(const MatrixView& Phi, const VectorRef& y, const PenaltySpec& pen,
                              double ridge);

}  // namespace zelk
