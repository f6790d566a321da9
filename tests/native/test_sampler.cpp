// Elite selection and chain ranking, on hand-made chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "sampler.hpp"

namespace {

using zelk::Chain;
using zelk::Vector;

Chain chain(std::initializer_list<double> beta, double energy) {
    Vector b(static_cast<Eigen::Index>(beta.size()));
    Eigen::Index i = 0;
    for (double x : beta) b[i++] = x;
    return Chain{b, energy};
}

using Elite = std::vector<std::size_t>;

TEST(SelectElite, TopUpRepeatsAndSkipsWithoutMembershipTest) {
    // c0 and c1 are within 0.1 of each other; every other pair is far apart.
    const std::vector<Chain> ranked = {chain({0.0, 0.0}, 1), chain({0.05, 0.0}, 2), chain({1.0, 0.0}, 3),
                                       chain({2.0, 0.0}, 4), chain({3.0, 0.0}, 5)};
    EXPECT_EQ(zelk::select_elite(ranked, 10), (Elite{0, 2, 3, 4, 4}));
    EXPECT_EQ(zelk::select_elite(ranked, 3), (Elite{0, 2, 3}));
    EXPECT_EQ(zelk::select_elite(ranked, 5), (Elite{0, 2, 3, 4, 4}));
}

TEST(SelectElite, AtMostOneEliteKeepsTheBest) {
    const std::vector<Chain> ranked = {chain({0.0}, 1), chain({5.0}, 2)};
    for (int n_elite : {-2, 0, 1}) EXPECT_EQ(zelk::select_elite(ranked, n_elite), (Elite{0}));
    EXPECT_EQ(zelk::select_elite({chain({0.0}, 1)}, 4), (Elite{0}));
}

TEST(SelectElite, DistanceOfExactlyATenthIsTooCloseAndNaNIsFar) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ASSERT_EQ((Vector::Constant(1, 0.1) - Vector::Zero(1)).norm(), 0.1);
    EXPECT_EQ(zelk::select_elite({chain({0.0}, 1), chain({0.1}, 2), chain({0.5}, 3)}, 2), (Elite{0, 2}));
    EXPECT_EQ(zelk::select_elite({chain({0.0}, 1), chain({nan}, 2), chain({0.0}, 3)}, 2), (Elite{0, 1}));
    // Without coefficients every distance is 0: only the top-up admits further chains.
    EXPECT_EQ(zelk::select_elite({chain({}, 1), chain({}, 2), chain({}, 3)}, 3), (Elite{0, 1, 2}));
}

TEST(RankChains, SameOrderAsPlainLessThanAndNaNLast) {
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> level(0, 9);
    for (int n : {5, 16, 17, 40, 200}) {
        std::vector<Chain> chains;
        for (int q = 0; q < n; ++q) chains.push_back(chain({double(q)}, level(rng)));  // many ties
        auto expected = chains;
        std::sort(expected.begin(), expected.end(),
                  [](const Chain& a, const Chain& b) { return a.energy < b.energy; });
        zelk::rank_chains(chains);
        for (int q = 0; q < n; ++q) EXPECT_EQ(chains[q].beta[0], expected[q].beta[0]) << n;

        for (int q = 0; q < n; q += 3) chains[q].energy = std::numeric_limits<double>::quiet_NaN();
        zelk::rank_chains(chains);
        const auto first_nan = std::find_if(chains.begin(), chains.end(),
                                            [](const Chain& c) { return std::isnan(c.energy); });
        EXPECT_TRUE(std::is_sorted(chains.begin(), first_nan,
                                   [](const Chain& a, const Chain& b) { return a.energy < b.energy; }));
        EXPECT_TRUE(std::all_of(first_nan, chains.end(), [](const Chain& c) { return std::isnan(c.energy); }));
    }
}

}  // namespace
