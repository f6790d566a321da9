// Elite selection, chain ranking, cooling and the acceptance threshold, on hand-made values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// The chains' coefficients as columns, already ranked: order = 0, 1, 2, ...
Elite elite_of(const std::vector<Chain>& ranked, int n_elite) {
    const Eigen::Index k = ranked.empty() ? 0 : ranked[0].beta.size();
    zelk::Matrix B(k, static_cast<Eigen::Index>(ranked.size()));
    std::vector<Eigen::Index> order;
    for (std::size_t q = 0; q < ranked.size(); ++q) {
        B.col(static_cast<Eigen::Index>(q)) = ranked[q].beta;
        order.push_back(static_cast<Eigen::Index>(q));
    }
    return zelk::select_elite(B, order, n_elite);
}

TEST(SelectElite, TopUpRepeatsAndSkipsWithoutMembershipTest) {
    // c0 and c1 are within 0.1 of each other; every other pair is far apart.
    const std::vector<Chain> ranked = {chain({0.0, 0.0}, 1), chain({0.05, 0.0}, 2), chain({1.0, 0.0}, 3),
                                       chain({2.0, 0.0}, 4), chain({3.0, 0.0}, 5)};
    EXPECT_EQ(elite_of(ranked, 10), (Elite{0, 2, 3, 4, 4}));
    EXPECT_EQ(elite_of(ranked, 3), (Elite{0, 2, 3}));
    EXPECT_EQ(elite_of(ranked, 5), (Elite{0, 2, 3, 4, 4}));
}

TEST(SelectElite, AtMostOneEliteKeepsTheBest) {
    const std::vector<Chain> ranked = {chain({0.0}, 1), chain({5.0}, 2)};
    for (int n_elite : {-2, 0, 1}) EXPECT_EQ(elite_of(ranked, n_elite), (Elite{0}));
    EXPECT_EQ(elite_of({chain({0.0}, 1)}, 4), (Elite{0}));
    for (int n_elite : {-2, 0, 1, 2, 5}) EXPECT_EQ(zelk::elite_size(n_elite, 2), n_elite < 1 ? 1 : std::min(n_elite, 2));
}

TEST(SelectElite, DistanceOfExactlyATenthIsTooCloseAndNaNIsFar) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ASSERT_EQ((Vector::Constant(1, 0.1) - Vector::Zero(1)).norm(), 0.1);
    EXPECT_EQ(elite_of({chain({0.0}, 1), chain({0.1}, 2), chain({0.5}, 3)}, 2), (Elite{0, 2}));
    EXPECT_EQ(elite_of({chain({0.0}, 1), chain({nan}, 2), chain({0.0}, 3)}, 2), (Elite{0, 1}));
    // Without coefficients every distance is 0: only the top-up admits further chains.
    EXPECT_EQ(elite_of({chain({}, 1), chain({}, 2), chain({}, 3)}, 3), (Elite{0, 1, 2}));
}

TEST(RankChains, SameOrderAsSortingTheChainsAndNaNLast) {
    // Sorting chain numbers by energy must leave them where std::sort leaves the chains
    // themselves, ties included: which tied chain ranks first decides the elite.
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> level(0, 9);
    for (int n : {5, 16, 17, 40, 200, 5000}) {
        std::vector<Chain> chains;
        Vector energies(n);
        for (int q = 0; q < n; ++q) {
            energies[q] = level(rng);  // many ties
            if (n > 100 && q % 7 == 3) energies[q] = std::numeric_limits<double>::quiet_NaN();
            chains.push_back(chain({double(q)}, energies[q]));
        }
        std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
            return a.energy < b.energy || (!std::isnan(a.energy) && std::isnan(b.energy));
        });
        const std::vector<Eigen::Index> order = zelk::rank_chains(energies);
        ASSERT_EQ(order.size(), chains.size());
        for (int q = 0; q < n; ++q) EXPECT_EQ(order[q], chains[q].beta[0]) << n;
        const auto first_nan = std::find_if(order.begin(), order.end(),
                                            [&](Eigen::Index q) { return std::isnan(energies[q]); });
        EXPECT_TRUE(std::all_of(first_nan, order.end(), [&](Eigen::Index q) { return std::isnan(energies[q]); }));
    }
    // Without NaNs, the plain less-than of a sampler that never sees one.
    Vector energies(64);
    for (int q = 0; q < 64; ++q) energies[q] = level(rng);
    std::vector<Chain> chains;
    for (int q = 0; q < 64; ++q) chains.push_back(chain({double(q)}, energies[q]));
    std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) { return a.energy < b.energy; });
    const std::vector<Eigen::Index> order = zelk::rank_chains(energies);
    for (int q = 0; q < 64; ++q) EXPECT_EQ(order[q], chains[q].beta[0]);
}

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

TEST(Cooling, StopsAtTheFixedPointWithTheLoopsBits) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double factor : {0.9997, 0.995}) {
        for (double T : {0.5, 2.0, 1e-300, 3e-310, 8e-321, 4.9e-324, 0.0, -0.25, inf, nan}) {
            for (long long steps : {0LL, 1LL, 1000LL, 150000LL, 3000000LL}) {
                double plain = T;
                for (long long s = 0; s < steps; ++s) plain *= factor;
                EXPECT_EQ(bits(zelk::cooled(T, factor, steps)), bits(plain)) << factor << " " << T << " " << steps;
            }
        }
    }
    // The cooling of the refinement ends on a subnormal number that it keeps.
    const double fixed = zelk::cooled(0.5, 0.9997, 10000000);
    EXPECT_GT(fixed, 0.0);
    EXPECT_LT(fixed, std::numeric_limits<double>::min());
    EXPECT_EQ(fixed * 0.9997, fixed);
}

TEST(AcceptanceThreshold, SameBitsAsTheFormula) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double temperatures[] = {2.0, 0.5, 1e-3, 1e-300, 2.2250738585072014e-308, 2.2e-308, 1e-315,
                                   8.2e-321, 4.9e-324, inf, nan};
    const double energies[] = {0.0, 1e-300, 1e-200, 3e-16, 1e-3, 0.7, 1.0, 100.0, 1e300, inf, nan};
    for (double T : temperatures) {
        for (double e : energies) {
            for (double ec : energies) {
                for (double sign : {1.0, -1.0}) {
                    const double formula = std::exp(std::min(0.0, (sign * e - ec) / T));
                    EXPECT_EQ(bits(zelk::acceptance_threshold(sign * e, ec, T)), bits(formula))
                        << T << " " << sign * e << " " << ec;
                }
            }
        }
    }
}

}  // namespace
