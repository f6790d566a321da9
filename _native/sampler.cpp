#include "sampler.hpp"
#include "runtime.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <random>
#include <stdexcept>
#include <utility>

namespace zelk {

GibbsResult gibbs_entropy(const Vector& energies, double T) {
    const Index N = energies.size();
    if (N == 0) throw std::invalid_argument("energies is empty: the entropy needs at least one energy");
    const double emin = energies.minCoeff();
    const double denom = T + 1e-300;

    // The exponentials and logarithms are independent per entry and may run on several threads
    // for a large sample; the sums run in index order, as one thread would run them. Threads
    // only from some 5 ms of work, and in small dynamic chunks: a worker that gets its core
    // late (a busy machine) finds little left to do, and its delay is small beside the work.
    const bool parallel = N >= (Index{1} << 19);
    constexpr int kChunk = 4096;
    Vector w(N), log_p(N);
    prepare_pages(w);
    prepare_pages(log_p);
#pragma omp parallel for schedule(dynamic, kChunk) if (zelk::threads_allowed() && parallel)
    for (Index i = 0; i < N; ++i) w[i] = std::exp(-(energies[i] - emin) / denom);
    double wsum = 0.0;
    for (Index i = 0; i < N; ++i) wsum += w[i];
#pragma omp parallel for schedule(dynamic, kChunk) if (zelk::threads_allowed() && parallel)
    for (Index i = 0; i < N; ++i) log_p[i] = std::log(w[i] / wsum + 1e-300);
    double H = 0.0;
    for (Index i = 0; i < N; ++i) H = std::fma(-(w[i] / wsum), log_p[i], H);
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

void rank_chains(std::vector<Chain>& chains) {
    std::sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) {
        return a.energy < b.energy || (!std::isnan(a.energy) && std::isnan(b.energy));
    });
}

std::vector<std::size_t> select_elite(const std::vector<Chain>& ranked, int n_elite) {
    std::vector<std::size_t> elite;
    if (ranked.empty()) return elite;
    elite.push_back(0);
    const std::size_t n = ranked.size();
    const auto below_target = [&] { return static_cast<long long>(elite.size()) < n_elite; };
    for (std::size_t i = 1; i < n && below_target(); ++i) {
        bool diverse = true;
        for (std::size_t e : elite) {
            if ((ranked[i].beta - ranked[e].beta).norm() <= 0.1) {  // NaN distance counts as far
                diverse = false;
                break;
            }
        }
        if (diverse) elite.push_back(i);
    }
    for (std::size_t j = elite.size(); below_target() && j < n; ++j) elite.push_back(j);
    return elite;
}

namespace {

// Everything one energy evaluation reads, shared read-only by all chains.
struct Energy {
    const Matrix& X;
    const Vector& y;
    double eps;
    double complexity;  // of mdl_score_cached, which depends only on k, H and n
    PenaltySpec pen;
};

// Per-chain buffers, so that an energy evaluation allocates nothing.
struct Workspace {
    Vector yp;  // X b
    Vector t;   // R b of the penalties

    explicit Workspace(Index m) : yp(m) {}

    // mdl_score_cached(X b, y, k, H, eps, &b, &pen), its complexity term computed once.
    double energy(const Energy& E, const Vector& b) {
        yp.noalias() = E.X * b;
        const Index hits = count_hits(yp.data(), E.y.data(), E.y.size(), E.eps);
        return score_from_hits(hits, E.y.size(), E.complexity, &b, &E.pen, &t);
    }
};

// One Metropolis step from (b, e) at temperature T: propose bc = b + one `prop` draw per
// coordinate, accept when strictly better or, otherwise, when a uniform draw falls below
// exp(min(0, (e - ec) / T)) (a NaN ratio is accepted). On acceptance b and e take the proposal.
template <typename Normal, typename Uniform>
void metropolis_step(const Energy& E, Workspace& ws, std::mt19937_64& rng, Normal& prop,
                     Uniform& unif, double T, Vector& b, Vector& bc, double& e) {
    for (Index i = 0; i < b.size(); ++i) bc[i] = b[i] + prop(rng);
    const double ec = ws.energy(E, bc);
    if (ec < e || unif(rng) < std::exp(std::min(0.0, (e - ec) / T))) {
        std::swap(b, bc);
        e = ec;
    }
}

}  // namespace

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const Matrix* R1,
                               const Matrix* R2, double gamma1, double gamma2) const {
    if (n_chains_ < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    if (n_chains_ == 0) throw std::invalid_argument("n_chains must be at least 1");
    require_equal(y.size(), "y", X.rows(), "X", "rows");
    const Index k = X.cols();
    const Energy E{X, y, tolerance_from_mad(mad(y)),
                   complexity_term(static_cast<int>(k), H_piH_, y.size()),
                   PenaltySpec{R1, R2, gamma1, gamma2}};
    require_penalties(E.pen, k);

    // The work of one Metropolis step, for spreading interrupt polls over the steps.
    const long long step_work = static_cast<long long>(X.rows()) * (k + 1) + k;

    // Warm-up tournament: independent chains, each with its own stream, on the OpenMP team.
    // Every thread polls between steps and leaves its chain once a stop is requested.
    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
    std::vector<std::exception_ptr> failed(chains.size());
    StopFlag stop;
#pragma omp parallel for schedule(dynamic, 1) if (zelk::threads_allowed())
    for (int q = 0; q < n_chains_; ++q) {
        if (stop.poll()) continue;
        try {
            PollBudget budget;
            std::mt19937_64 rng(seed_ + 1000u * static_cast<std::uint64_t>(q));
            std::normal_distribution<double> init(0.0, 0.5);
            std::normal_distribution<double> prop(0.0, step_size_);
            std::uniform_real_distribution<double> unif(0.0, 1.0);
            Workspace ws(X.rows());
            Vector b(k), bc(k);
            for (Index i = 0; i < k; ++i) b[i] = init(rng);
            double e = ws.energy(E, b);
            double T = 2.0;
            for (int step = 0; step < n_warmup_; ++step) {
                if (budget.spend(step_work) && stop.poll()) break;
                metropolis_step(E, ws, rng, prop, unif, T, b, bc, e);
                T *= 0.995;
            }
            chains[static_cast<std::size_t>(q)] = Chain{std::move(b), e};
        } catch (...) {
            failed[static_cast<std::size_t>(q)] = std::current_exception();
        }
    }
    stop.rethrow();
    for (const auto& f : failed)
        if (f) std::rethrow_exception(f);

    Vector energies(n_chains_);
    for (int q = 0; q < n_chains_; ++q) energies[q] = chains[static_cast<std::size_t>(q)].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    rank_chains(chains);
    const std::vector<std::size_t> elite = select_elite(chains, n_elite_);

    // Refinement: the elite one after another, in this thread, at one cooling temperature.
    Vector best_b = chains[elite[0]].beta;
    double best_e = chains[elite[0]].energy;
    double T = 0.5 * gb.r_heat;
    Workspace ws(X.rows());
    Vector b(k), bc(k);
    PollBudget budget;
    for (std::size_t ei = 0; ei < elite.size(); ++ei) {
        std::mt19937_64 rng(seed_ + 7777u + 13u * static_cast<std::uint64_t>(ei));
        std::normal_distribution<double> prop(0.0, 0.3 * step_size_);
        std::uniform_real_distribution<double> unif(0.0, 1.0);
        b = chains[elite[ei]].beta;
        double e = chains[elite[ei]].energy;
        for (int step = 0; step < n_deep_; ++step) {
            if (budget.spend(step_work)) poll_interrupt();
            metropolis_step(E, ws, rng, prop, unif, T, b, bc, e);
            if (e < best_e) {
                best_b = b;
                best_e = e;
            }
            T *= 0.9997;
        }
    }
    return MCMCResult{std::move(best_b), best_e, gb, n_chains_, n_elite_};
}

}  // namespace zelk
