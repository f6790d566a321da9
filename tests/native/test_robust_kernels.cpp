// The robust fit's kernels against plain loops in long double, and the properties their callers
// rely on: the same bits from every layout of the design and on any number of threads, the fused
// IRLS pass equal to its separate steps, padding rows that never count, and the M-scale equation
// solved.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "robust_kernels.hpp"

namespace {

using zelk::Index;
using zelk::Matrix;
using zelk::Vector;

Matrix random_matrix(Index rows, Index cols, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    Matrix M(rows, cols);
    for (Index j = 0; j < cols; ++j)
        for (Index i = 0; i < rows; ++i) M(i, j) = normal(rng);
    return M;
}

Vector random_vector(Index n, std::mt19937_64& rng) { return random_matrix(n, 1, rng); }

// The same design stored row-major (a view with rows `cols` apart).
struct RowMajor {
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> data;
    explicit RowMajor(const Matrix& M) : data(M) {}
    zelk::DesignView view() const {
        return zelk::DesignView(data.data(), data.rows(), data.cols(),
                                Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(1, data.cols()));
    }
};

// sum_r w[r] a[r] b[r] in long double, and the bound on the error of a double sum of m such terms.
void expect_weighted_dot(double got, const Matrix& X, Index i, Index j, const Vector* w,
                         const Vector* z = nullptr) {
    long double sum = 0, size = 0;
    for (Index r = 0; r < X.rows(); ++r) {
        const long double t = (w ? (*w)(r) : 1.0L) * X(r, i) * (z ? (*z)(r) : X(r, j));
        sum += t;
        size += std::fabs(t);
    }
    const double bound = double(X.rows() + 8) * 2 * std::numeric_limits<double>::epsilon() * double(size);
    EXPECT_NEAR(got, double(sum), bound) << X.rows() << " rows at " << i << ", " << j;
}

TEST(WeightedGram, AgreesWithAPlainLoopForEveryLayout) {
    std::mt19937_64 rng(3);
    for (const Index rows : {1, 3, 4, 5, 513, 9001}) {
        for (const Index p : {1, 2, 4, 7, 20}) {
            const Matrix X = random_matrix(rows, p, rng);
            const Vector z = random_vector(rows, rng);
            const Vector w = random_vector(rows, rng);  // any sign
            const auto eq = zelk::weighted_normal_equations(zelk::view_of(X), zelk::view_of(z), nullptr);
            const zelk::VectorView wv = zelk::view_of(w);
            const auto wsys = zelk::weighted_normal_equations(zelk::view_of(X), zelk::view_of(z), &wv);
            for (Index j = 0; j < p; ++j) {
                expect_weighted_dot(eq.rhs(j), X, j, 0, nullptr, &z);
                expect_weighted_dot(wsys.rhs(j), X, j, 0, &w, &z);
                for (Index i = 0; i < p; ++i) {
                    expect_weighted_dot(eq.A(i, j), X, i, j, nullptr);
                    expect_weighted_dot(wsys.A(i, j), X, i, j, &w);
                }
            }
            EXPECT_TRUE(wsys.A.isApprox(wsys.A.transpose(), 0.0)) << "A is symmetric to the bit";
            // Row-major, and every other row of a twice-as-tall array: the same bits.
            const RowMajor R(X);
            const auto rsys = zelk::weighted_normal_equations(R.view(), zelk::view_of(z), &wv);
            EXPECT_TRUE(rsys.A == wsys.A && rsys.rhs == wsys.rhs);
            Matrix tall(2 * rows, p);
            for (Index r = 0; r < rows; ++r) tall.row(2 * r) = X.row(r);
            const zelk::DesignView every_other(tall.data(), rows, p,
                                               Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(2 * rows, 2));
            EXPECT_TRUE(zelk::weighted_gram(every_other, &wv) == wsys.A);
        }
    }
}

TEST(WeightedGram, SameBitsOnAnyNumberOfThreads) {
    // Enough work for several segments on several threads.
    std::mt19937_64 rng(5);
    const Matrix X = random_matrix(100003, 48, rng);
    const Vector z = random_vector(X.rows(), rng), beta = random_vector(X.cols(), rng) * 0.1;
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    const auto one = zelk::bisquare_normal_equations(zelk::view_of(X), zelk::view_of(z), zelk::view_of(beta), 2.0, 4.685, nullptr);
    omp_set_num_threads(3);
    const auto three = zelk::bisquare_normal_equations(zelk::view_of(X), zelk::view_of(z), zelk::view_of(beta), 2.0, 4.685, nullptr);
    omp_set_num_threads(threads);
    EXPECT_TRUE(one.A == three.A && one.rhs == three.rhs);
    EXPECT_EQ(one.mean_rho, three.mean_rho);
    EXPECT_EQ(one.n_active, three.n_active);
}

TEST(BisquareStep, EqualsItsSeparateStepsToTheBit) {
    std::mt19937_64 rng(7);
    for (const Index rows : {1, 6, 1001, 30011}) {
        const Index p = 5;
        const Matrix X = random_matrix(rows, p, rng);
        const Vector beta = random_vector(p, rng);
        const Vector z = X * beta + random_vector(rows, rng);
        const Vector prior = random_vector(rows, rng).cwiseAbs();
        const RowMajor R(X);
        const double scale = 0.7, c = 4.685;
        const Vector r = zelk::residuals(R.view(), zelk::view_of(z), zelk::view_of(beta));
        EXPECT_TRUE(r.isApprox(z - X * beta, 1e-13));
        const Vector bw = zelk::bisquare_weights(zelk::view_of(r), scale, c);
        const Vector w = prior.cwiseProduct(bw);
        const zelk::VectorView wv = zelk::view_of(w), pv = zelk::view_of(prior);
        const auto sep = zelk::weighted_normal_equations(R.view(), zelk::view_of(z), &wv);
        const auto step = zelk::bisquare_normal_equations(R.view(), zelk::view_of(z), zelk::view_of(beta), scale, c, &pv);
        EXPECT_TRUE(step.A == sep.A && step.rhs == sep.rhs) << rows;
        EXPECT_EQ(step.n_active, (w.array() > 0).count());
        EXPECT_NEAR(step.mean_rho, zelk::mean_bisquare_rho(zelk::view_of(r), scale, c), 1e-14);
    }
}

TEST(BisquareStep, PaddingRowsNeverCount) {
    // Zero scale: every residual gets weight 0 and rho 1 (0 / 0 would give NaN for a zero row).
    std::mt19937_64 rng(9);
    const Matrix X = random_matrix(7, 3, rng);
    const Vector z = Vector::Constant(7, 1.0), beta = Vector::Zero(3);
    const auto step = zelk::bisquare_normal_equations(zelk::view_of(X), zelk::view_of(z), zelk::view_of(beta), 0.0, 4.685, nullptr);
    EXPECT_TRUE(step.A.isZero(0) && step.rhs.isZero(0));
    EXPECT_EQ(step.mean_rho, 1.0);
    EXPECT_EQ(step.n_active, 0);
}

TEST(Shapes, MismatchesThrowAndEmptyShapesGiveZeros) {
    const Matrix X(5, 2);
    const Vector z4 = Vector::Zero(4), z5 = Vector::Zero(5), b3 = Vector::Zero(3);
    const zelk::VectorView z4v = zelk::view_of(z4);
    EXPECT_THROW(zelk::weighted_gram(zelk::view_of(X), &z4v), std::invalid_argument);
    EXPECT_THROW(zelk::residuals(zelk::view_of(X), zelk::view_of(z5), zelk::view_of(b3)), std::invalid_argument);
    EXPECT_THROW(zelk::bisquare_normal_equations(zelk::view_of(X), zelk::view_of(z4), zelk::view_of(b3), 1, 1, nullptr),
                 std::invalid_argument);
    const Matrix none(0, 3);
    const Vector empty(0);
    const auto eq = zelk::weighted_normal_equations(zelk::view_of(none), zelk::view_of(empty), nullptr);
    EXPECT_TRUE(eq.A.rows() == 3 && eq.A.isZero(0) && eq.rhs.isZero(0));
    const auto step = zelk::bisquare_normal_equations(zelk::view_of(none), zelk::view_of(empty), zelk::view_of(Vector::Zero(3).eval()), 1, 1, nullptr);
    EXPECT_TRUE(std::isnan(step.mean_rho));
    EXPECT_EQ(zelk::m_scale(zelk::view_of(empty), 1.5476, 0.5, 1e-12, 100), 0.0);
}

TEST(MScale, SolvesTheScaleEquation) {
    std::mt19937_64 rng(13);
    for (const Index n : {3, 8, 101, 100000}) {
        Vector r = random_vector(n, rng);
        for (Index i = 0; i < n / 10; ++i) r(i) += 50.0;  // outliers
        const double s = zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, 100);
        EXPECT_NEAR(zelk::mean_bisquare_rho(zelk::view_of(r), s, 1.5476), 0.5, 1e-12) << n;
        // From a start far off, the same root.
        const double from = zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, 100, 100.0 * s);
        EXPECT_NEAR(from, s, 1e-12 * s);
    }
}

TEST(MScale, ExactFitsNaNsAndBadSettings) {
    Vector r = Vector::Zero(9);
    r(0) = 1.0;
    EXPECT_EQ(zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, 100), 0.0);
    r(1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, 100)));
    const Vector inf = Vector::Constant(3, std::numeric_limits<double>::infinity());
    EXPECT_EQ(zelk::m_scale(zelk::view_of(inf), 1.5476, 0.5, 1e-12, 100), std::numeric_limits<double>::infinity());
    EXPECT_THROW(zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, -1), std::invalid_argument);
    EXPECT_THROW(zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, -1.0, 10), std::invalid_argument);
    EXPECT_THROW(zelk::m_scale(zelk::view_of(r), 1.5476, 0.5, 1e-12, 10, 0.0), std::invalid_argument);
}

}  // namespace
