#include "sampler.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zelk {

GibbsResult gibbs_entropy(const Vector& energies, double T) {
    const Index N = energies.size();
    if (N == 0) throw std::invalid_argument("energies is empty: the entropy needs at least one energy");
    const double emin = energies.minCoeff();
    const double denom = T + 1e-300;

    Vector w(N);
    double wsum = 0.0;
    for (Index i = 0; i < N; ++i) {
        w[i] = std::exp(-(energies[i] - emin) / denom);
        wsum += w[i];
    }
    double H = 0.0;
    for (Index i = 0; i < N; ++i) {
        const double p = w[i] / wsum;
        H = std::fma(-p, std::log(p + 1e-300), H);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Index>(N, 2)));
    const double He = H / (Hmax + 1e-300);

    const double meanE = energies.sum() / static_cast<double>(N);
    double var = 0.0;
    for (Index i = 0; i < N; ++i) {
        const double d = energies[i] - meanE;
        var = std::fma(d, d, var);
    }
    var /= static_cast<double>(N);

    return GibbsResult{H, Hmax, He, std::fma(He, 0.99, 0.01), var, T};
}

}  // namespace zelk
