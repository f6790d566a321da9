// The penalised fit forms only the lower triangle of its Gram matrix, in parts on several threads
// for a large one; it must hold exactly the sums of the full product, and Phi^T y exactly those
// of the plain product.
#include <gtest/gtest.h>

#include <random>

#include "linear.hpp"

namespace {

TEST(NormalEquations, EqualThePlainProducts) {
    zelk::use_reproducible_products();
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    const int shapes[][2] = {{10, 3},    {13, 3},    {14, 3},   {15, 2},     {1, 9},     {0, 4},
                             {300, 40},  {1000, 16}, {2000, 200}, {5000, 100}, {400, 400}, {600, 60},
                             {100000, 16}, {257, 129}, {48, 24},  {60, 25},    {999, 37},  {4000, 300},
                             {50, 301},  {3001, 59}, {200, 49},  {1200, 61},  {100, 205}, {48, 300},
                             {9000, 13}, {17000, 25}, {30, 1000}, {5, 700},  {3, 800},   {12000, 37}};
    for (const auto& s : shapes) {
        zelk::Matrix Phi(s[0], s[1]);
        for (Eigen::Index j = 0; j < Phi.cols(); ++j)
            for (Eigen::Index i = 0; i < Phi.rows(); ++i) Phi(i, j) = normal(rng);
        zelk::Vector y(s[0]);
        for (auto& v : y) v = normal(rng);
        const zelk::Matrix full = Phi.transpose() * Phi;
        const zelk::Vector moment = Phi.transpose() * y;
        const auto eq = zelk::normal_equations(Phi, y);
        const zelk::Matrix& lower = eq.A;
        for (Eigen::Index i = 0; i < s[1]; ++i)
            ASSERT_EQ(eq.b(i), moment(i)) << s[0] << " x " << s[1] << " at " << i;
        for (Eigen::Index j = 0; j < s[1]; ++j)
            for (Eigen::Index i = j; i < s[1]; ++i)
                ASSERT_EQ(lower(i, j), full(i, j)) << s[0] << " x " << s[1] << " at " << i << ", " << j;
    }
}

}  // namespace
