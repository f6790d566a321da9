// Internal routines of the bases (no Python binding), and the fast builders checked bit for bit
// against the plain Eigen formulation they must reproduce.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "basis.hpp"

namespace {

using zelk::Index;
using zelk::Matrix;
using zelk::MultiIndexList;
using zelk::Vector;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Same bits, except that any NaN matches any NaN.
bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

::testing::AssertionResult bitwise_equal(const Matrix& got, const Matrix& want) {
    if (got.rows() != want.rows() || got.cols() != want.cols())
        return ::testing::AssertionFailure() << "shape " << got.rows() << "x" << got.cols()
                                             << " != " << want.rows() << "x" << want.cols();
    for (Index j = 0; j < got.cols(); ++j)
        for (Index i = 0; i < got.rows(); ++i)
            if (!same_bits(got(i, j), want(i, j)))
                return ::testing::AssertionFailure()
                       << "(" << i << ", " << j << "): " << got(i, j) << " != " << want(i, j)
                       << " (diff " << got(i, j) - want(i, j) << ")";
    return ::testing::AssertionSuccess();
}

std::vector<double> row(double x, int deg, int order) {
    Vector out(deg + 1);
    zelk::deriv_row(x, deg, order, out);
    return {out.data(), out.data() + out.size()};
}

TEST(DerivRow, WorkedValues) {
    EXPECT_EQ(row(2.0, 3, 1), (std::vector<double>{0, 1, 4, 12}));
    EXPECT_EQ(row(2.0, 3, 2), (std::vector<double>{0, 0, 2, 12}));
    EXPECT_EQ(row(0.0, 3, 1), (std::vector<double>{0, 1, 0, 0}));
    EXPECT_EQ(row(0.0, 3, 2), (std::vector<double>{0, 0, 2, 0}));
    EXPECT_EQ(row(-1.5, 4, 1), (std::vector<double>{0, 1, -3, 6.75, -13.5}));
    EXPECT_EQ(row(5.0, 0, 1), (std::vector<double>{0}));
    EXPECT_EQ(row(5.0, 0, 2), (std::vector<double>{0}));
    EXPECT_EQ(row(5.0, 1, 2), (std::vector<double>{0, 0}));
    // pow(x, 0) is 1 even for NaN: the lowest non-zero entry stays finite.
    const auto nan1 = row(kNaN, 2, 1);
    EXPECT_EQ(nan1[0], 0.0);
    EXPECT_EQ(nan1[1], 1.0);
    EXPECT_TRUE(std::isnan(nan1[2]));
}

TEST(DerivRow, WritesOnlyTheFirstDegPlusOneEntries) {
    Vector out = Vector::Constant(6, -7.0);
    zelk::deriv_row(2.0, 2, 1, out);
    EXPECT_EQ(out[2], 4.0);
    for (Index i = 3; i < 6; ++i) EXPECT_EQ(out[i], -7.0);
    zelk::deriv_row(2.0, -1, 1, out);  // empty loop
    EXPECT_EQ(out[0], 0.0);
}

TEST(DerivRow, RefusesAShortRowAndUnknownOrders) {
    Vector out(2);
    EXPECT_THROW(zelk::deriv_row(1.0, 2, 1, out), std::invalid_argument);
    Vector ok(3);
    EXPECT_THROW(zelk::deriv_row(1.0, 2, 3, ok), std::invalid_argument);
    EXPECT_THROW(zelk::deriv_row(1.0, 2, -1, ok), std::invalid_argument);
    EXPECT_THROW(zelk::col_deriv_scalar(1.0, 2, 3), std::invalid_argument);
}

TEST(ColDerivScalar, WorkedValuesAndAgreementWithDerivRow) {
    for (int p = 0; p < 5; ++p) {
        EXPECT_EQ(zelk::col_deriv_scalar(0.0, p, 0), p == 0 ? 1.0 : 0.0) << p;
        EXPECT_EQ(zelk::col_deriv_scalar(0.0, p, 1), p == 1 ? 1.0 : 0.0) << p;
        EXPECT_EQ(zelk::col_deriv_scalar(0.0, p, 2), p == 2 ? 2.0 : 0.0) << p;
    }
    EXPECT_EQ(zelk::col_deriv_scalar(kNaN, 0, 0), 1.0);
    EXPECT_EQ(zelk::col_deriv_scalar(-2.0, 3, 0), -8.0);
    EXPECT_EQ(zelk::col_deriv_scalar(-2.0, 3, 2), -12.0);
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(-4.0, 4.0);
    for (int t = 0; t < 200; ++t) {
        const double x = u(gen);
        for (int order = 1; order <= 2; ++order) {
            const auto r = row(x, 9, order);
            for (int p = 0; p <= 9; ++p)
                EXPECT_TRUE(same_bits(r[static_cast<std::size_t>(p)],
                                      zelk::col_deriv_scalar(x, p, order)));
        }
    }
}

MultiIndexList multi_indices(std::vector<int> degrees) {
    MultiIndexList out;
    std::vector<int> current(degrees.size(), 0);
    zelk::generate_multi_indices(degrees, 0, current, out);
    return out;
}

TEST(GenerateMultiIndices, OrderAndCounts) {
    EXPECT_EQ(multi_indices({1, 2}),
              (MultiIndexList{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}));
    EXPECT_EQ(multi_indices({2}), (MultiIndexList{{0}, {1}, {2}}));
    EXPECT_EQ(multi_indices({}), (MultiIndexList{{}}));
    EXPECT_TRUE(multi_indices({1, -1}).empty());
    EXPECT_TRUE(multi_indices({-1, 3}).empty());
    EXPECT_EQ(multi_indices({2, 0, 3}).size(), 12u);
    // Appends after what is already there, from the dimension given.
    MultiIndexList out{{9, 9}};
    std::vector<int> current{1, 0};
    zelk::generate_multi_indices({5, 1}, 1, current, out);
    EXPECT_EQ(out, (MultiIndexList{{9, 9}, {1, 0}, {1, 1}}));
}

// --- The fast builders against the plain formulation ---------------------------------------

// Compiled as a function of its own, as the library function is: inlined into a test body,
// the vectorised pow may be contracted differently and give other last bits.
// The sample vectors as the views design_matrix_nd reads.
std::vector<zelk::VectorRef> views(const std::vector<Vector>& X) {
    return std::vector<zelk::VectorRef>(X.begin(), X.end());
}

[[gnu::noinline]] Matrix plain_design_matrix_nd(const MultiIndexList& mis, const std::vector<Vector>& X) {
    const Index n = X[0].size();
    Matrix Phi(n, static_cast<Index>(mis.size()));
    for (Index j = 0; j < Phi.cols(); ++j) {
        Phi.col(j).setOnes();
        for (std::size_t d = 0; d < X.size(); ++d) {
            const int p = mis[static_cast<std::size_t>(j)][d];
            if (p > 0) Phi.col(j).array() *= X[d].head(n).array().pow(static_cast<double>(p));
        }
    }
    return Phi;
}

TEST(DesignMatrixNd, SameBitsAsEigenArrayPowColumnByColumn) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    std::uniform_int_distribution<int> e(-2, 9);
    // Every remainder modulo the packet size, so that every column alignment occurs.
    for (Index n : {1, 2, 3, 4, 5, 6, 7, 9, 13, 31, 1021, 1024, 1030, 4099}) {
        for (std::size_t D : {1u, 2u, 3u}) {
            std::vector<Vector> X(D);
            for (auto& v : X) {
                v.resize(n + static_cast<Index>(D));  // longer vectors: the tail is ignored
                for (Index i = 0; i < v.size(); ++i) v[i] = u(gen);
            }
            X[0].conservativeResize(n);
            if (n > 8) {
                X[0][3] = 0.0;
                X[0][4] = -0.0;
                X[D - 1][5] = kNaN;
                X[0][6] = kInf;
                X[0][7] = 1e200;
                X[D - 1][8] = -1e-200;
            }
            MultiIndexList mis;
            for (int m = 0; m < 23; ++m) {
                std::vector<int> mi(D + 1);  // entries beyond D are ignored
                for (auto& p : mi) p = e(gen);
                mis.push_back(mi);
            }
            mis.push_back(std::vector<int>(D, 0));
            EXPECT_TRUE(bitwise_equal(zelk::design_matrix_nd(mis, views(X)), plain_design_matrix_nd(mis, X)))
                << "n = " << n << ", D = " << D;
        }
    }
}

TEST(DesignMatrixNd, RefusesInputsItWouldReadPast) {
    const std::vector<Vector> two{Vector::Ones(4), Vector::Ones(3)};
    EXPECT_THROW(zelk::design_matrix_nd({{1, 1}}, views(two)), std::invalid_argument);
    const std::vector<Vector> same{Vector::Ones(4), Vector::Ones(4)};
    EXPECT_THROW(zelk::design_matrix_nd({{1, 1}, {1}}, views(same)), std::invalid_argument);
    EXPECT_THROW(zelk::design_matrix_nd({{1}}, {}), std::invalid_argument);
}

zelk::PenaltyMatrices1D plain_penalties_1d(int deg, double x_min, double x_max, int n_grid) {
    const Index M = deg + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    Matrix R1 = Matrix::Zero(M, M), R2 = Matrix::Zero(M, M);
    Vector d1(M), d2(M);
    for (int g = 0; g < n_grid; ++g) {
        const double x = x_min + g * dx;
        zelk::deriv_row(x, deg, 1, d1);
        zelk::deriv_row(x, deg, 2, d2);
        R1 += (d1 * d1.transpose()) * dx;
        R2 += (d2 * d2.transpose()) * dx;
    }
    return {R1, R2};
}

TEST(SmoothnessPenalties1d, SameBitsAsOuterProductSums) {
    struct Case {
        int deg;
        double lo, hi;
        int n;
    };
    for (const Case& c : {Case{0, 0, 1, 2}, Case{1, 0, 1, 2}, Case{2, -1, 3, 17},
                          Case{10, -1.3, 2.7, 600}, Case{7, 5.0, -2.0, 101},
                          Case{12, 0.1, 0.3, 333}, Case{3, -1e3, 1e3, 50},
                          Case{25, -0.9, 1.1, 2100}}) {  // several row groups and chunks
        const auto fast = zelk::smoothness_penalty_matrices_1d(c.deg, c.lo, c.hi, c.n);
        const auto plain = plain_penalties_1d(c.deg, c.lo, c.hi, c.n);
        EXPECT_TRUE(bitwise_equal(fast.R1, plain.R1)) << "deg " << c.deg << ", n " << c.n;
        EXPECT_TRUE(bitwise_equal(fast.R2, plain.R2)) << "deg " << c.deg << ", n " << c.n;
    }
}

TEST(BoundaryReduce1d, SameBitsAsSymmetrisedOuterProducts) {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int deg = -1; deg <= 12; ++deg) {
        const double lo = u(gen), hi = u(gen);
        const Index M = deg + 1;
        Vector a1(M), a2(M), b1(M), b2(M);
        zelk::deriv_row(lo, deg, 1, a1);
        zelk::deriv_row(lo, deg, 2, a2);
        zelk::deriv_row(hi, deg, 1, b1);
        zelk::deriv_row(hi, deg, 2, b2);
        Matrix Rb = b2 * b1.transpose() - a2 * a1.transpose();
        Matrix S = 0.5 * (Rb + Rb.transpose());
        EXPECT_TRUE(bitwise_equal(zelk::boundary_reduce_1d(deg, lo, hi), S)) << "deg " << deg;
    }
}

}  // namespace

namespace {

// The per-axis Gram matrices are made a chunk of grid points at a time; they must equal the
// sums over the whole axis and its whole derivative tables.
TEST(AxisGrams, ChunkedEqualsWholeAxis) {
    for (Eigen::Index n : {2, 3, 5, 30, 4095, 4096, 4097, 4099, 8195, 12290}) {
        for (int deg : {0, 1, 4}) {
            const double lo = -0.7, hi = 1.3;
            const zelk::Vector axis = zelk::Vector::LinSpaced(n, lo, hi);
            const auto grams = zelk::axis_grams(n, lo, hi, deg);
            for (int o = 0; o < 3; ++o) {
                zelk::Matrix T(n, deg + 1);
                for (int p = 0; p <= deg; ++p)
                    for (Eigen::Index k = 0; k < n; ++k) T(k, p) = zelk::col_deriv_scalar(axis[k], p, o);
                for (int a = 0; a <= deg; ++a) {
                    for (int b = 0; b <= a; ++b) {
                        double s = 0.0;
                        for (Eigen::Index k = 0; k < n; ++k) s = std::fma(T(k, a), T(k, b), s);
                        ASSERT_EQ(grams[o](a, b), s) << "n=" << n << " deg=" << deg << " o=" << o;
                        ASSERT_EQ(grams[o](b, a), s);
                    }
                }
            }
        }
    }
}

}  // namespace
