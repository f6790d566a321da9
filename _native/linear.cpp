#include "linear.hpp"

#include <cmath>
#include <limits>

#include <Eigen/SVD>

namespace zelk {

Vector ols(const Matrix& X, const Vector& y) {
    require_equal(y.size(), "y (length)", X.rows(), "X (rows)");
    use_reproducible_products();
    // The decomposition flags a non-finite X as invalid input and leaves its factors
    // undefined, so such a fit has no meaningful answer: say so with NaNs.
    if (!X.allFinite() || !y.allFinite()) {
        return Vector::Constant(X.cols(), std::numeric_limits<double>::quiet_NaN());
    }
    // Eigen's SVD does not handle an empty matrix (it crashes); with no rows every b fits and
    // with no columns there is nothing to fit, so the minimum-norm answer is p zeros.
    if (X.size() == 0) return Vector::Zero(X.cols());
    // BDCSVD decomposes its own scaled copy of X.
    const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

namespace {

// A(i, j) += s * R(i, j) as one fused operation, on the lower triangle (diagonal included),
// the only part of A the factorisation reads.
void add_scaled_lower(Matrix& A, double s, const Matrix& R) {
    const Index p = A.cols();
    for (Index j = 0; j < p; ++j) {
        double* a = A.col(j).data();
        const double* r = R.col(j).data();
        for (Index i = j; i < p; ++i) a[i] = std::fma(s, r[i], a[i]);
    }
}

}  // namespace

// Only the lower triangle is formed, with the same sums as the full product for half the work.
// Eigen evaluates a tiny product coefficient by coefficient instead of by blocks (its sums then
// run in another order), and there the full product is kept.
Matrix gram_lower(const Matrix& Phi) {
    const Index p = Phi.cols();
    // Without rows every sum is empty, and without columns there is nothing to form. Eigen's
    // blocked product must not see either: it divides by the depth (the row count) when it
    // sizes its blocks, and takes a reference to the first entry of the result.
    if (Phi.rows() == 0 || p == 0) return Matrix::Zero(p, p);
    if (Phi.rows() + 2 * p < EIGEN_GEMM_TO_COEFFBASED_THRESHOLD) return Phi.transpose() * Phi;
    Matrix A = Matrix::Zero(p, p);
    A.triangularView<Eigen::Lower>() = Phi.transpose() * Phi;
    return A;
}

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    const Index p = Phi.cols();
    require_equal(y.size(), "y (length)", Phi.rows(), "Phi (rows)");
    const bool use1 = gamma1 != 0.0 && R1 != nullptr;
    const bool use2 = gamma2 != 0.0 && R2 != nullptr;
    if (use1) require_square(*R1, p, "R1");
    if (use2) require_square(*R2, p, "R2");

    use_reproducible_products();

    const double n = static_cast<double>(y.size());
    Matrix A = gram_lower(Phi);
    A.diagonal().array() += ridge;
    if (use1) add_scaled_lower(A, n * gamma1, *R1);
    if (use2) add_scaled_lower(A, n * gamma2, *R2);
    const Vector b = Phi.transpose() * y;
    return Eigen::LDLT<Matrix, Eigen::Lower>(A).solve(b);
}

}  // namespace zelk
