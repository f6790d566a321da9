#include "linear.hpp"
#include "runtime.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include <Eigen/SVD>

#include <omp.h>

namespace zelk {

Vector ols(const Matrix& X, const Vector& y) {
    require_equal(y.size(), "y", X.rows(), "X", "rows");
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

// Where to cut the columns of Phi for forming its Gram matrix in two independent parts: a
// multiple of the 12-row panels Eigen's product kernels work in (so that every entry is summed
// by the same kernel path, in the same order, as in one product), chosen to even out the two
// parts' entries. 0 when the matrix is too small to be worth a second thread.
Index gram_split(Index rows, Index p) {
    constexpr Index kPanel = 12;
    if (p <= kPanel || static_cast<double>(rows) * static_cast<double>(p * p) < 2097152.0) return 0;
    Index best = 0, best_gap = 0;
    for (Index c = kPanel; c < p; c += kPanel) {
        const Index first = c * (c + 1) / 2;
        const Index second = p * (p + 1) / 2 - first;
        const Index gap = first > second ? first - second : second - first;
        if (best == 0 || gap < best_gap) best = c, best_gap = gap;
    }
    return best;
}

}  // namespace

// Only the lower triangle of the Gram matrix is formed, with the same sums as the full product
// for half the work. Eigen evaluates a tiny product coefficient by coefficient instead of by
// blocks (its sums then run in another order), and there the full product is kept.
//
// A large Gram matrix is formed in two parts, side by side with Phi^T y: with Phi = [P1 P2] cut
// after c columns, the lower triangle of P1^T P1, and the rows below it, P2^T P1 beside the
// lower triangle of P2^T P2. The depth of the blocks depends only on the number of rows, and with
// c a multiple of the kernels' panel height every entry is accumulated exactly as in the single
// product: the cut changes the time, never the bits, whatever the number of threads.
NormalEquations normal_equations(const Matrix& Phi, const Vector& y) {
    const Index p = Phi.cols();
    require_equal(y.size(), "y", Phi.rows(), "Phi", "rows");
    use_reproducible_products();
    NormalEquations eq;
    // Without rows every sum is empty, and without columns there is nothing to form. Eigen's
    // blocked product must not see either: it divides by the depth (the row count) when it
    // sizes its blocks, and takes a reference to the first entry of the result.
    if (Phi.rows() == 0 || p == 0) {
        eq.A = Matrix::Zero(p, p);
        eq.b = Vector::Zero(p);
        return eq;
    }
    if (Phi.rows() + 2 * p < EIGEN_GEMM_TO_COEFFBASED_THRESHOLD) {
        eq.A = Phi.transpose() * Phi;
        eq.b = Phi.transpose() * y;
        return eq;
    }
    eq.A = Matrix::Zero(p, p);
    const Index c = gram_split(Phi.rows(), p);
    if (c == 0) {
        eq.A.triangularView<Eigen::Lower>() = Phi.transpose() * Phi;
        eq.b = Phi.transpose() * y;
        return eq;
    }
    Matrix& A = eq.A;
    const auto P1 = Phi.leftCols(c);
    const auto P2 = Phi.rightCols(p - c);
    // The products allocate their packing buffers; a failure must not leave its thread.
    constexpr int kParts = 3;
    std::exception_ptr failure[kParts];
#pragma omp parallel for num_threads(std::min(kParts, omp_get_max_threads())) schedule(dynamic, 1) \
    if (zelk::threads_allowed())
    for (int part = 0; part < kParts; ++part) {
        try {
            if (part == 0) {
                A.topLeftCorner(c, c).triangularView<Eigen::Lower>() = P1.transpose() * P1;
            } else if (part == 1) {
                A.bottomLeftCorner(p - c, c).noalias() = P2.transpose() * P1;
                A.bottomRightCorner(p - c, p - c).triangularView<Eigen::Lower>() =
                    P2.transpose() * P2;
            } else {
                eq.b = Phi.transpose() * y;
            }
        } catch (...) {
            failure[part] = std::current_exception();
        }
    }
    for (const auto& f : failure)
        if (f) std::rethrow_exception(f);
    return eq;
}

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
    const Index p = Phi.cols();
    require_equal(y.size(), "y", Phi.rows(), "Phi", "rows");
    require_penalty(R1, gamma1, p, "R1");
    require_penalty(R2, gamma2, p, "R2");
    // A non-finite value anywhere in the system leaves no meaningful answer (the factorisation
    // would zero NaN pivots and report a finite vector): say so with NaNs, as ols does.
    // (Eigen's allFinite walks every column even when there are no rows: an empty design with
    // millions of columns must not cost a pass over them.)
    const auto finite = [](const auto& a) { return a.size() == 0 || a.allFinite(); };
    const auto applied_finite = [&](const Matrix* R, double gamma) {
        return !penalty_applies(R, gamma) || (std::isfinite(gamma) && finite(*R));
    };
    if (!std::isfinite(ridge) || !applied_finite(R1, gamma1) || !applied_finite(R2, gamma2) ||
        !finite(y) || !finite(Phi)) {
        return Vector::Constant(p, std::numeric_limits<double>::quiet_NaN());
    }

    const double n = static_cast<double>(y.size());
    NormalEquations eq = normal_equations(Phi, y);
    eq.A.diagonal().array() += ridge;
    if (penalty_applies(R1, gamma1)) add_scaled_lower(eq.A, n * gamma1, *R1);
    if (penalty_applies(R2, gamma2)) add_scaled_lower(eq.A, n * gamma2, *R2);
    return Eigen::LDLT<Matrix, Eigen::Lower>(eq.A).solve(eq.b);
}

}  // namespace zelk
