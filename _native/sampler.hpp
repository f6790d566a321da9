// Gibbs entropy of an energy sample and the tournament sampler.
#pragma once

#include "common.hpp"
#include "stats.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk {

// Summary of the Boltzmann distribution that a sample of energies defines at temperature T.
struct GibbsResult {
    double H = 0.0;       // entropy of the weights (nats)
    double Hmax = 0.0;    // ln(max(N, 2))
    double He = 0.0;      // H / Hmax, in [0, 1]
    double r_heat = 0.0;  // 0.01 + 0.99 He
    double var_E = 0.0;   // population variance of the energies
    double T = 0.0;       // the temperature, as given
};

// Throws std::invalid_argument for an empty sample.
GibbsResult gibbs_entropy(const Vector& energies, double T);

// One Metropolis chain's state.
struct Chain {
    Vector beta;
    double energy = 0.0;
};

// What a tournament fit returns.
struct MCMCResult {
    Vector beta_mcmc;     // best coefficients found
    double energy = 0.0;  // their energy
    GibbsResult gibbs;    // entropy summary of the warm-up energies at T = 1
    int n_chains = 0;     // the sampler's settings, as configured
    int n_elite = 0;
};

// The chain numbers 0 .. len(energies) - 1 in the order in which std::sort leaves chains sorted
// by ascending energy (std::sort moves and compares only what the comparator sees, so sorting the
// numbers by their chains' energies is sorting the chains). Chains whose energy is NaN go after
// every number (plain less-than on NaN is not an ordering and would make the sort undefined).
// Polls for interrupts.
std::vector<Index> rank_chains(const Vector& energies);

// Ranks (positions in `order`, chain numbers sorted by energy) of the elite, in order: the best
// chain, then every chain farther than 0.1 from all chains admitted so far, until n_elite are
// admitted, then a top-up by rank from position len(elite) on, without a membership test. The
// coefficients of chain q are column q of B. Polls for interrupts.
std::vector<std::size_t> select_elite(const Matrix& B, const std::vector<Index>& order, int n_elite);

// How many chains select_elite returns for c > 0 ranked chains: max(1, min(n_elite, c)).
Index elite_size(int n_elite, Index c);

// T multiplied by `factor` `steps` times, one rounding after each step, as a loop would give it;
// the multiplications stop once T * factor == T (or T is NaN), since every later one gives T
// again. A temperature that cools for long ends on such a fixed point, a subnormal number.
double cooled(double T, double factor, long long steps) noexcept;

// The Metropolis acceptance threshold exp(min(0, (e - ec) / T)), the same bits, without the
// division by a subnormal temperature and the exponential's underflow where the threshold is
// exactly 0 (both slow on some processors).
double acceptance_threshold(double e, double ec, double T) noexcept;

// Tournament of annealed Metropolis chains minimising the description-length score of the
// coefficients of y ~ X b: a warm-up tournament, a diverse elite, and a refinement of the elite.
// Chains of each phase step together, one pass over X per step evaluating all their proposals.
class TournamentMCMC {
public:
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size,
                   int H_piH, std::uint64_t seed)
        : n_chains_(n_chains), n_warmup_(n_warmup), n_deep_(n_deep), n_elite_(n_elite),
          step_size_(step_size), H_piH_(H_piH), seed_(seed) {}

    // The seven settings, in constructor order: what a copy needs to be an equal sampler.
    struct Settings {
        int n_chains;
        int n_warmup;
        int n_deep;
        int n_elite;
        double step_size;
        int H_piH;
        std::uint64_t seed;
    };
    Settings settings() const {
        return {n_chains_, n_warmup_, n_deep_, n_elite_, step_size_, H_piH_, seed_};
    }

    // The penalties' matrices may be null (absent). Throws before any sampling:
    // std::length_error for a negative n_chains, std::invalid_argument for no chains,
    // rows(X) != len(y), or an applied penalty that is not k x k, and std::bad_alloc, naming the
    // size, when the fit's working memory (allocated whole before any work) cannot be had.
    MCMCResult fit(const Matrix& X, const Vector& y, const PenaltySpec& pen) const;

private:
    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

}  // namespace zelk
