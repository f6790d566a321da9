#include "sampler.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include <omp.h>

#include "runtime.hpp"

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

// std::normal_distribution<double> of the GNU library (Marsaglia's polar method; the second value
// of each pair is kept for the next call), with the two multiply-adds that the release build has
// always fused written as fused steps, so that no build depends on the optimiser's contraction.
class Normal {
public:
    Normal(double mean, double stddev) : mean_(mean), stddev_(stddev) {}

    double operator()(std::mt19937_64& rng) {
        double ret;
        if (saved_available_) {
            saved_available_ = false;
            ret = saved_;
        } else {
            double x, y, r2;
            do {
                x = std::fma(2.0, canonical(rng), -1.0);  // 2 u is exact: one rounding either way
                y = std::fma(2.0, canonical(rng), -1.0);
                r2 = std::fma(x, x, y * y);
            } while (r2 > 1.0 || r2 == 0.0);
            const double mult = std::sqrt(-2 * std::log(r2) / r2);
            saved_ = x * mult;
            saved_available_ = true;
            ret = y * mult;
        }
        return std::fma(ret, stddev_, mean_);
    }

private:
    static double canonical(std::mt19937_64& rng) {
        return std::generate_canonical<double, std::numeric_limits<double>::digits>(rng);
    }

    double mean_, stddev_;
    double saved_ = 0.0;
    bool saved_available_ = false;
};

// Everything one energy evaluation reads, shared read-only by all chains.
struct Energy {
    const Matrix& X;
    const Vector& y;
    double eps;
    double complexity;  // of mdl_score_cached, which depends only on k, H and n
    const PenaltySpec& pen;
};

// Energies of a group of chains' coefficient vectors at once, on one thread: one pass over the
// rows of X forms every chain's products and counts its hits, then each chain's score follows
// from its count, exactly as mdl_score_cached(X b, y, ...) gives it. The buffers are allocated
// once per group, none per evaluation.
class Lockstep {
public:
    Lockstep(const Energy& E, Index n_chains)
        : E_(E), hits_(static_cast<std::size_t>(n_chains)), beta_(E.X.cols()), t_(E.X.cols()) {}

    // energies[q] = the energy of B[q k .. q k + k), for q < n_chains.
    void evaluate(const double* B, double* energies) {
        const Index m = E_.X.rows(), k = E_.X.cols(), c = static_cast<Index>(hits_.size());
        std::fill(hits_.begin(), hits_.end(), Index{0});
        count_hits_of_products(E_.X, B, c, E_.y, E_.eps, 0, m, hits_.data());
        const bool penalised = E_.pen.active();
        for (Index q = 0; q < c; ++q) {
            if (penalised) beta_ = Eigen::Map<const Vector>(B + q * k, k);
            energies[q] = score_from_hits(hits_[static_cast<std::size_t>(q)], m, E_.complexity,
                                          &beta_, &E_.pen, &t_);
        }
    }

private:
    const Energy& E_;
    std::vector<Index> hits_;
    Vector beta_, t_;  // a penalised chain's coefficients, and R b
};

// The Metropolis rule at temperature T: a strictly better proposal is accepted without a draw;
// otherwise a uniform draw must fall below exp(min(0, (e - ec) / T)) (a NaN ratio gives 1).
inline bool accept(double e, double ec, double T, std::uniform_real_distribution<double>& unif,
                   std::mt19937_64& rng) {
    return ec < e || unif(rng) < std::exp(std::min(0.0, (e - ec) / T));
}

// The chains of one phase: coefficients (one column each), energies, temperatures and random
// streams, one engine, proposal distribution and uniform distribution per chain.
struct Chains {
    Matrix B;
    std::vector<double> e, T;
    std::vector<std::mt19937_64> rng;
    std::vector<Normal> prop;
    std::vector<std::uniform_real_distribution<double>> unif;

    Chains(Index k, Index c) : B(k, c), e(static_cast<std::size_t>(c)), T(e.size()) {
        rng.reserve(e.size());
        prop.reserve(e.size());
        unif.reserve(e.size());
    }
    Index size() const { return B.cols(); }
};

// Chains [q0, q1) take one Metropolis step together, each with its own stream and temperature:
// proposals (one draw per coordinate, chain by chain), one evaluation pass, acceptance.
// Bc and ec hold the group's proposals and their energies.
void step_group(Chains& ch, Index q0, Index q1, Lockstep& energy, Matrix& Bc, double* ec) {
    const Index k = ch.B.rows();
    for (Index q = q0; q < q1; ++q) {
        const auto u = static_cast<std::size_t>(q);
        for (Index i = 0; i < k; ++i) Bc(i, q - q0) = ch.B(i, q) + ch.prop[u](ch.rng[u]);
    }
    energy.evaluate(Bc.data(), ec);
    for (Index q = q0; q < q1; ++q) {
        const auto u = static_cast<std::size_t>(q);
        if (accept(ch.e[u], ec[q - q0], ch.T[u], ch.unif[u], ch.rng[u])) {
            ch.B.col(q) = Bc.col(q - q0);
            ch.e[u] = ec[q - q0];
        }
    }
}

// Multiply-adds worth waking other threads for (a few milliseconds of work: on a busy machine a
// woken thread may start late).
constexpr double kParallelWork = 1 << 23;

// Multiply-adds per piece of work: a thread advances one group of chains by this much at a time.
constexpr double kPieceWork = 1 << 19;

// One group of consecutive chains [q0, q1) with its evaluation buffers; `next` is its next step.
// `busy` is held by the thread advancing the group, so the steps of a chain always run in order,
// one thread at a time, whichever thread runs them.
struct Group {
    Index q0, q1;
    Lockstep energy;
    Matrix Bc;
    std::vector<double> ec;
    int next = 0;
    bool done = false;
    std::exception_ptr failed;
    std::atomic<bool> busy{false};

    Group(const Energy& E, Index first, Index last)
        : q0(first), q1(last), energy(E, last - first), Bc(E.X.cols(), last - first),
          ec(static_cast<std::size_t>(last - first)) {}
};

// Runs `run(group, from, to)` over steps [0, steps) of every group of consecutive chains, in
// pieces of a few steps. Threads take whichever group is free next, so a thread that the machine
// starts late or pauses holds up at most one piece; the pieces of one group run in order. The
// chains are independent, so neither the grouping nor the threads change a result. The first
// piece of a group has from = 0 (also when steps = 0).
template <typename Run>
void for_groups(const Energy& E, Index c, int steps, const Run& run) {
    const int threads = omp_get_max_threads();
    const Index size = std::clamp<Index>((c + 2 * threads - 1) / (2 * threads), 1, 8);
    const Index n = (c + size - 1) / size;
    const double per_step = static_cast<double>(E.X.rows()) * static_cast<double>(std::max<Index>(E.X.cols(), 1));
    const bool worth_it = n > 1 && per_step * static_cast<double>(c) * (1.0 + std::max(steps, 0)) >= kParallelWork;
    const int piece = static_cast<int>(std::clamp(kPieceWork / (per_step * static_cast<double>(size)), 1.0, 1e6));
    std::vector<std::unique_ptr<Group>> groups;
    for (Index g = 0; g < n; ++g)
        groups.push_back(std::make_unique<Group>(E, g * size, std::min(c, (g + 1) * size)));
    std::atomic<Index> remaining{n};
    StopFlag flag;
#pragma omp parallel if (zelk::threads_allowed() && worth_it)
    {
        const Index first = omp_get_thread_num() % n;
        while (remaining.load(std::memory_order_acquire) > 0 && !flag.poll()) {
            bool advanced = false;
            for (Index i = 0; i < n; ++i) {
                Group& w = *groups[static_cast<std::size_t>((first + i) % n)];
                bool expected = false;
                if (!w.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) continue;
                if (!w.done && !flag.stopped()) {
                    const int to = w.next + std::min(piece, steps - w.next);
                    try {
                        run(w, w.next, to);
                        w.next = to;
                    } catch (...) {
                        w.failed = std::current_exception();
                    }
                    if (to >= steps || w.failed) {
                        w.done = true;
                        remaining.fetch_sub(1, std::memory_order_acq_rel);
                    }
                    advanced = true;
                }
                w.busy.store(false, std::memory_order_release);
            }
            if (!advanced) std::this_thread::yield();
        }
    }
    flag.rethrow();
    for (const auto& w : groups)
        if (w->failed) std::rethrow_exception(w->failed);
}

// Warm-up tournament: chain q starts from its own stream (seed + 1000 q) and takes n_warmup
// annealed steps from T = 2, cooling by 0.995 after every step. Returns the chains' final states
// in chain order.
std::vector<Chain> warm_up(const Energy& E, int n_chains, int n_warmup, double step_size,
                           std::uint64_t seed) {
    const Index k = E.X.cols(), c = n_chains;
    Chains ch(k, c);
    for (Index q = 0; q < c; ++q) {
        ch.rng.emplace_back(seed + 1000u * static_cast<std::uint64_t>(q));
        Normal init(0.0, 0.5);
        ch.prop.emplace_back(0.0, step_size);
        ch.unif.emplace_back(0.0, 1.0);
        for (Index i = 0; i < k; ++i) ch.B(i, q) = init(ch.rng.back());
        ch.T[static_cast<std::size_t>(q)] = 2.0;
    }
    for_groups(E, c, n_warmup, [&](Group& w, int from, int to) {
        if (from == 0) w.energy.evaluate(ch.B.col(w.q0).data(), ch.e.data() + w.q0);
        for (int step = from; step < to; ++step) {
            step_group(ch, w.q0, w.q1, w.energy, w.Bc, w.ec.data());
            for (Index q = w.q0; q < w.q1; ++q) ch.T[static_cast<std::size_t>(q)] *= 0.995;
        }
    });
    std::vector<Chain> chains;
    chains.reserve(ch.e.size());
    for (Index q = 0; q < c; ++q) chains.push_back(Chain{ch.B.col(q), ch.e[static_cast<std::size_t>(q)]});
    return chains;
}

// Refinement: elite chain ei continues from its state with its own stream (seed + 7777 + 13 ei)
// for n_deep steps. The temperature is one cooling sequence from T0 through all elite chains in
// turn (chain ei starts where chain ei - 1 ended), so each chain's start is computed first and the
// chains then run independently. Each chain keeps the first state at its own lowest energy;
// folding those in list order with a strict comparison, from the first elite chain's state,
// gives the best state that running the chains one after another finds.
Chain refine(const Energy& E, const std::vector<Chain>& ranked, const std::vector<std::size_t>& elite,
             int n_deep, double step_size, std::uint64_t seed, double T0) {
    const Index k = E.X.cols(), c = static_cast<Index>(elite.size());
    const std::size_t n = elite.size();
    Chains ch(k, c);
    double t = T0;
    for (std::size_t ei = 0; ei < n; ++ei) {
        ch.rng.emplace_back(seed + 7777u + 13u * static_cast<std::uint64_t>(ei));
        ch.prop.emplace_back(0.0, 0.3 * step_size);
        ch.unif.emplace_back(0.0, 1.0);
        ch.B.col(static_cast<Index>(ei)) = ranked[elite[ei]].beta;
        ch.e[ei] = ranked[elite[ei]].energy;
        ch.T[ei] = t;
        for (int step = 0; step < n_deep; ++step) t *= 0.9997;
    }
    Matrix best_b(k, c);
    std::vector<double> best_e(n, std::numeric_limits<double>::infinity());
    if (n_deep > 0) {
        for_groups(E, c, n_deep, [&](Group& w, int from, int to) {
            for (int step = from; step < to; ++step) {
                step_group(ch, w.q0, w.q1, w.energy, w.Bc, w.ec.data());
                for (Index q = w.q0; q < w.q1; ++q) {
                    const auto u = static_cast<std::size_t>(q);
                    if (ch.e[u] < best_e[u]) {
                        best_e[u] = ch.e[u];
                        best_b.col(q) = ch.B.col(q);
                    }
                    ch.T[u] *= 0.9997;
                }
            }
        });
    }
    Chain best = ranked[elite[0]];
    for (std::size_t ei = 0; ei < n; ++ei) {
        if (best_e[ei] < best.energy) best = Chain{best_b.col(static_cast<Index>(ei)), best_e[ei]};
    }
    return best;
}

}  // namespace

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const PenaltySpec& pen) const {
    if (n_chains_ < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    if (n_chains_ == 0) throw std::invalid_argument("n_chains must be at least 1");
    require_equal(y.size(), "y", X.rows(), "X", "rows");
    const Index k = X.cols();
    require_penalties(pen, k);
    const Energy E{X, y, tolerance_from_mad(mad(y)),
                   complexity_term(static_cast<int>(k), H_piH_, y.size()), pen};

    std::vector<Chain> chains = warm_up(E, n_chains_, n_warmup_, step_size_, seed_);

    Vector energies(n_chains_);
    for (int q = 0; q < n_chains_; ++q) energies[q] = chains[static_cast<std::size_t>(q)].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    rank_chains(chains);
    const std::vector<std::size_t> elite = select_elite(chains, n_elite_);

    Chain best = refine(E, chains, elite, n_deep_, step_size_, seed_, 0.5 * gb.r_heat);
    return MCMCResult{std::move(best.beta), best.energy, gb, n_chains_, n_elite_};
}

}  // namespace zelk
