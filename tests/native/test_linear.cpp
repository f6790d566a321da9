// The Gram kernel of the penalised fit: the lower triangle of Phi^T Phi and Phi^T y, against a
// plain double loop, on shapes that leave partial tiles and rows beyond the last group of four,
// and the same bits for any number of threads.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "linear.hpp"
#include "polled_bdcsvd.hpp"

namespace {

zelk::Matrix random_matrix(Eigen::Index rows, Eigen::Index cols, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    zelk::Matrix M(rows, cols);
    for (Eigen::Index j = 0; j < cols; ++j)
        for (Eigen::Index i = 0; i < rows; ++i) M(i, j) = normal(rng);
    return M;
}

// sum_r a[r] b[r] against the plain sum: within the error bound of a sum of m products
// (m eps times the sum of the magnitudes, generously).
void expect_dot(double got, const double* a, const double* b, Eigen::Index m, const char* what,
                Eigen::Index i, Eigen::Index j) {
    long double sum = 0, size = 0;
    for (Eigen::Index r = 0; r < m; ++r) {
        sum += static_cast<long double>(a[r]) * b[r];
        size += std::fabs(static_cast<long double>(a[r]) * b[r]);
    }
    const double bound = double(m + 4) * std::numeric_limits<double>::epsilon() * double(size);
    EXPECT_NEAR(got, double(sum), bound) << what << " " << m << " rows at " << i << ", " << j;
}

TEST(NormalEquations, AgreeWithAPlainLoop) {
    std::mt19937_64 rng(11);
    for (const Eigen::Index rows : {1, 2, 3, 4, 7, 1000 + 3, 20000 + 1}) {
        for (const Eigen::Index p : {1, 2, 3, 13, 33}) {
            const zelk::Matrix Phi = random_matrix(rows, p, rng);
            const zelk::Vector y = random_matrix(rows, 1, rng);
            const auto eq = zelk::normal_equations(Phi, y);
            ASSERT_EQ(eq.A.rows(), p);
            ASSERT_EQ(eq.b.size(), p);
            for (Eigen::Index j = 0; j < p; ++j) {
                expect_dot(eq.b(j), Phi.col(j).data(), y.data(), rows, "b", j, 0);
                for (Eigen::Index i = j; i < p; ++i)
                    expect_dot(eq.A(i, j), Phi.col(i).data(), Phi.col(j).data(), rows, "A", i, j);
            }
        }
    }
}

// A row-major design (packed a panel at a time) gives the bits of the same design in column-major
// storage, on shapes with partial tiles, tail rows, several segments and several tile groups.
TEST(NormalEquations, SameBitsInEitherStorageOrder) {
    std::mt19937_64 rng(9);
    for (const auto& [rows, p] : {std::pair<Eigen::Index, Eigen::Index>{3, 2}, {1003, 16}, {20001, 13}, {3001, 140}}) {
        const zelk::Matrix Phi = random_matrix(rows, p, rng);
        const zelk::RowMatrix row_major = Phi;
        const zelk::Vector y = random_matrix(rows, 1, rng);
        const auto col = zelk::normal_equations(zelk::MatrixView(Phi), y);
        const auto row = zelk::normal_equations(zelk::MatrixView(row_major), y);
        EXPECT_EQ(std::memcmp(col.A.data(), row.A.data(), sizeof(double) * static_cast<std::size_t>(col.A.size())), 0) << rows << " x " << p;
        EXPECT_EQ(std::memcmp(col.b.data(), row.b.data(), sizeof(double) * static_cast<std::size_t>(col.b.size())), 0) << rows << " x " << p;
    }
}

TEST(NormalEquations, EmptyShapesGiveZeros) {
    const zelk::Vector none(0);
    const auto no_rows = zelk::normal_equations(zelk::Matrix(0, 3), none);
    EXPECT_TRUE(no_rows.A.isZero(0) && no_rows.A.rows() == 3 && no_rows.b.isZero(0));
    const auto no_cols = zelk::normal_equations(zelk::Matrix(5, 0), zelk::Vector::Ones(5));
    EXPECT_EQ(no_cols.A.size(), 0);
    EXPECT_EQ(no_cols.b.size(), 0);
}

// 200002 x 33 is large enough to be cut into segments that run on several threads.
TEST(NormalEquations, SameBitsForAnyNumberOfThreads) {
    std::mt19937_64 rng(5);
    const int before = omp_get_max_threads();
    for (const Eigen::Index rows : {7, 1000 + 3, 200000 + 2}) {
        for (const Eigen::Index p : {1, 3, 13, 33}) {
            const zelk::Matrix Phi = random_matrix(rows, p, rng);
            const zelk::Vector y = random_matrix(rows, 1, rng);
            omp_set_num_threads(1);
            const auto one = zelk::normal_equations(Phi, y);
            for (int threads = 2; threads <= 4; ++threads) {
                omp_set_num_threads(threads);
                const auto more = zelk::normal_equations(Phi, y);
                for (Eigen::Index j = 0; j < p; ++j) {
                    ASSERT_EQ(more.b(j), one.b(j)) << rows << " x " << p << ", " << threads;
                    for (Eigen::Index i = j; i < p; ++i)
                        ASSERT_EQ(more.A(i, j), one.A(i, j))
                            << rows << " x " << p << " at " << i << ", " << j << ", " << threads;
                }
            }
        }
    }
    omp_set_num_threads(before);
}

}  // namespace

namespace {

// Eigen's LDLT, polled between columns: the same bits as Eigen's own, on definite, indefinite,
// semidefinite (zero pivots, rows to swap) and all-zero systems.
TEST(SolveLdlt, GivesEigensBits) {
    std::mt19937_64 rng(17);
    for (const Eigen::Index p : {0, 1, 2, 3, 7, 40, 129}) {
        const zelk::Matrix B = random_matrix(p, p, rng);
        zelk::Matrix low_rank = random_matrix(p, p / 2 + 1, rng);
        low_rank = low_rank * low_rank.transpose();
        const zelk::Matrix systems[] = {
            B * B.transpose() + zelk::Matrix::Identity(p, p),  // definite
            B + B.transpose(),                                  // indefinite
            low_rank,                                           // semidefinite: zero pivots
            zelk::Matrix::Zero(p, p),
            B,                                                  // only its lower triangle counts
        };
        const zelk::Vector b = random_matrix(p, 1, rng);
        for (const zelk::Matrix& A : systems) {
            const zelk::Vector want = Eigen::LDLT<zelk::Matrix, Eigen::Lower>(A).solve(b);
            const zelk::Vector got = zelk::solve_ldlt(zelk::Matrix(A), b);
            ASSERT_EQ(got.size(), p);
            for (Eigen::Index i = 0; i < p; ++i)
                ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(double)), 0) << p << " at " << i;
        }
    }
}

}  // namespace

namespace {

bool same_bits(const zelk::Matrix& a, const zelk::Matrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}

// The polled copy of Eigen's BDCSVD computes what Eigen's does, bit for bit: shapes on both sides
// of the switch to Jacobi (16 columns), of the blocked bidiagonalization (48) and of the packed
// products that merge the halves (100), tall, wide and rank-deficient.
TEST(PolledBdcsvd, GivesEigensBits) {
    std::mt19937_64 rng(23);
    const std::pair<Eigen::Index, Eigen::Index> shapes[] = {
        {5, 3}, {20, 20}, {40, 17}, {17, 40}, {60, 60}, {130, 120}, {300, 250}, {250, 300}, {311, 150}};
    for (const auto& [m, p] : shapes) {
        for (const bool deficient : {false, true}) {
            zelk::Matrix X = random_matrix(m, p, rng);
            if (deficient) X = X.leftCols(p / 3 + 1) * random_matrix(p / 3 + 1, p, rng);
            const zelk::Vector y = random_matrix(m, 1, rng);
            const auto options = Eigen::ComputeThinU | Eigen::ComputeThinV;
            const Eigen::BDCSVD<zelk::Matrix> want(X, options);
            const Eigen::PolledBDCSVD<zelk::Matrix> got(X, options);
            EXPECT_TRUE(same_bits(got.singularValues(), want.singularValues())) << m << " x " << p;
            EXPECT_TRUE(same_bits(got.matrixU(), want.matrixU())) << m << " x " << p;
            EXPECT_TRUE(same_bits(got.matrixV(), want.matrixV())) << m << " x " << p;
            EXPECT_TRUE(same_bits(got.solve(y), want.solve(y))) << m << " x " << p;
        }
    }
}

}  // namespace
