// Unit tests of internal routines that have no Python binding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "stats.hpp"

namespace {

using zelk::median_inplace;

double sorted_median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size(), hi = n / 2;
    return n % 2 ? v[hi] : 0.5 * (v[hi - 1] + v[hi]);
}

TEST(MedianInplace, WorkedValues) {
    EXPECT_EQ(median_inplace({}), 0.0);
    EXPECT_EQ(median_inplace({3.0}), 3.0);
    EXPECT_EQ(median_inplace({4.0, 1.0}), 2.5);
    EXPECT_EQ(median_inplace({1.0, 2.0, 3.0, 4.0}), 2.5);
    EXPECT_EQ(median_inplace({5.0, 1.0, 3.0}), 3.0);
    EXPECT_EQ(median_inplace({2.0, 2.0, 2.0, 9.0}), 2.0);
    EXPECT_TRUE(std::isnan(median_inplace({1.0, std::nan(""), 2.0})));
}

// Against a full sort, over sizes on both sides of the switch to radix selection (and of the
// digit widths, 12 to 16 bits) and over distributions that land in one bucket, in many, or on ties.
TEST(MedianInplace, AgreesWithSorting) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(-3, 3);
    for (std::size_t n : {1, 2, 3, 10, 4095, 4096, 4097, 4098, 10000, 65537, 300001, 1048578}) {
        for (int kind = 0; kind < 5; ++kind) {
            std::vector<double> v(n);
            for (auto& x : v) {
                switch (kind) {
                    case 0: x = normal(rng); break;
                    case 1: x = small(rng); break;
                    case 2: x = 1.0 + 1e-13 * normal(rng); break;
                    case 3: x = std::ldexp(normal(rng), small(rng) * 300); break;
                    default: x = (rng() & 1) ? 0.0 : -0.0; break;
                }
            }
            EXPECT_EQ(median_inplace(v), sorted_median(v)) << "n=" << n << " kind=" << kind;
        }
    }
}

// A penalty matrix read in either storage order gives the same quadratic form, to the bit.
TEST(QuadForm, SameBitsInEitherStorageOrder) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    for (const Eigen::Index p : {0, 1, 2, 3, 7, 130}) {
        zelk::Matrix R(p, p);
        zelk::Vector b(p), t;
        for (Eigen::Index i = 0; i < R.size(); ++i) R.data()[i] = normal(rng);
        for (Eigen::Index i = 0; i < p; ++i) b[i] = normal(rng);
        const zelk::RowMatrix Rr = R;
        const double col = zelk::quad_form(b, zelk::MatrixView(R), t);
        const double row = zelk::quad_form(b, zelk::MatrixView(Rr), t);
        EXPECT_EQ(std::memcmp(&col, &row, sizeof col), 0) << p;
    }
}

}  // namespace
