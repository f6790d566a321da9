// Gibbs entropy of an energy sample and the tournament sampler.
#pragma once

#include "common.hpp"

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

}  // namespace zelk
