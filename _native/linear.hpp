// Linear estimation: least squares by singular value decomposition, and the penalised fit
// that solves the regularised normal equations.
#pragma once

#include "common.hpp"

namespace zelk {

// Minimum-norm least-squares solution of X b = y, from Eigen's divide-and-conquer SVD with
// thin factors and its least-squares solve (library defaults: no prescribed threshold, the
// default switch to one-sided Jacobi below 16 columns). Never fails for rank deficiency;
// square, tall and wide X alike. Throws std::invalid_argument when len(y) != rows of X.
// A NaN or infinite entry in X or y gives a vector of p NaNs.
Vector ols(const Matrix& X, const Vector& y);

// The normal equations of the least-squares problem Phi b = y: A holds Phi^T Phi in its lower
// triangle (diagonal included), bit for bit as the full product gives it, and unspecified
// values above; b = Phi^T y. Throws std::invalid_argument when len(y) != rows of Phi.
struct NormalEquations {
    Matrix A;
    Vector b;
};
NormalEquations normal_equations(const Matrix& Phi, const Vector& y);

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi^T y, n = len(y), with a
// pivoted LDL^T factorisation of the lower triangle. A penalty is applied when its weight is
// != 0 (NaN and negative weights included) and its pointer is non-null; an applied penalty
// must be p x p. Throws std::invalid_argument for a length or shape mismatch, before any work.
// A NaN or infinite entry in Phi, y, ridge, an applied weight or an applied penalty gives a
// vector of p NaNs.
Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

}  // namespace zelk
