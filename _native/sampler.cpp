#include "sampler.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <omp.h>

#include "runtime.hpp"

namespace zelk {

namespace {

// gibbs_entropy with its two temporaries of N doubles given (the sampler allocates them with
// the rest of its working memory, before any work).
GibbsResult gibbs_into(const Vector& energies, double T, Vector& w, Vector& log_p) {
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

// Sorts `order` (the chain numbers, in any order on entry) as rank_chains describes.
void rank_into(const Vector& energies, std::vector<Index>& order) {
    order.resize(static_cast<std::size_t>(energies.size()));
    std::iota(order.begin(), order.end(), Index{0});
    PollBudget budget;  // a sort of millions of chains takes a while
    std::sort(order.begin(), order.end(), [&](Index a, Index b) {
        if (budget.spend(1)) poll_interrupt();
        const double ea = energies[a], eb = energies[b];
        return ea < eb || (!std::isnan(ea) && std::isnan(eb));
    });
}

// select_elite, with the admitted chains' coefficients kept in `members` (at least
// elite_size(n_elite, len(order)) vectors of length rows(B)) and the ranks written to `elite`.
// Each candidate is compared as a vector of its own, as in a sampler that keeps every chain's
// coefficients in a vector: the norm then sums in the same order, to the same bits.
void select_into(const Matrix& B, const std::vector<Index>& order, int n_elite,
                 std::vector<Vector>& members, std::vector<std::size_t>& elite) {
    elite.clear();
    const std::size_t n = order.size();
    if (n == 0) return;
    const auto below_target = [&] { return static_cast<long long>(elite.size()) < n_elite; };
    members[0] = B.col(order[0]);
    elite.push_back(0);
    PollBudget budget;  // every chain against every member: quadratic in the number of chains
    for (std::size_t i = 1; i < n && below_target(); ++i) {
        Vector& candidate = members[elite.size()];
        candidate = B.col(order[i]);
        bool diverse = true;
        for (std::size_t j = 0; j < elite.size(); ++j) {
            if (budget.spend(B.rows() + 8)) poll_interrupt();
            if ((candidate - members[j]).norm() <= 0.1) {  // NaN distance counts as far
                diverse = false;
                break;
            }
        }
        if (diverse) elite.push_back(i);
    }
    for (std::size_t j = elite.size(); below_target() && j < n; ++j) elite.push_back(j);
}

}  // namespace

GibbsResult gibbs_entropy(const Vector& energies, double T) {
    Vector w(energies.size()), log_p(energies.size());
    return gibbs_into(energies, T, w, log_p);
}

std::vector<Index> rank_chains(const Vector& energies) {
    std::vector<Index> order;
    rank_into(energies, order);
    return order;
}

std::vector<std::size_t> select_elite(const Matrix& B, const std::vector<Index>& order, int n_elite) {
    const Index size = order.empty() ? 0 : elite_size(n_elite, static_cast<Index>(order.size()));
    std::vector<Vector> members(static_cast<std::size_t>(size), Vector(B.rows()));
    std::vector<std::size_t> elite;
    select_into(B, order, n_elite, members, elite);
    return elite;
}

Index elite_size(int n_elite, Index c) { return std::max<Index>(1, std::min<Index>(n_elite, c)); }

double cooled(double T, double factor, long long steps) noexcept {
    for (long long s = 0; s < steps; ++s) {
        const double next = T * factor;
        if (next == T || std::isnan(next)) return next;  // fixed from here on
        T = next;
    }
    return T;
}

double acceptance_threshold(double e, double ec, double T) noexcept {
    const double d = e - ec;
    // Below the normal range of T, d <= -2^-900 gives d / T <= -2^122.
    if (d <= -0x1p-900 && T > 0.0 && T < 0x1p-1022) return 0.0;
    const double r = std::min(0.0, d / T);  // a NaN ratio gives 0
    // exp is exactly 0 from -1024 down (and -inf), reached after an underflow it must raise.
    return r <= -1024.0 ? 0.0 : std::exp(r);
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

    // Heap bytes of an instance for n_chains chains of k coefficients.
    static double bytes(Index k, Index n_chains) {
        return 8.0 * static_cast<double>(n_chains) + 16.0 * static_cast<double>(k) + 96.0;
    }

private:
    const Energy& E_;
    std::vector<Index> hits_;
    Vector beta_, t_;  // a penalised chain's coefficients, and R b
};

// Storage for n values of a trivially destructible type, each made in place when its chain is
// first used: allocating it writes nothing, and each thread fills the pages of its own chains.
template <typename T>
class Slots {
    static_assert(std::is_trivially_destructible_v<T>);

public:
    explicit Slots(Index n) : p_(static_cast<T*>(::operator new(bytes(n)))) {}
    ~Slots() { ::operator delete(p_); }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    template <typename... Args>
    T& make(Index i, Args&&... args) {
        return *new (p_ + i) T{std::forward<Args>(args)...};
    }
    T& operator[](Index i) { return p_[i]; }
    static std::size_t bytes(Index n) { return static_cast<std::size_t>(n) * sizeof(T); }

private:
    T* p_;
};

// A chain's random stream, proposal and uniform distributions, and temperature. `frozen` once
// the cooling has reached a fixed point: T times the factor gives T again (see cooled()).
struct ChainState {
    std::mt19937_64 rng;
    Normal prop;
    std::uniform_real_distribution<double> unif;
    double T;
    bool frozen;
};

// After every step: T times the factor, until that changes nothing.
inline void cool(ChainState& s, double factor) {
    if (s.frozen) return;
    const double next = s.T * factor;
    s.frozen = next == s.T || std::isnan(next);
    s.T = next;
}

// The chains of one phase: coefficients (one column each), energies, and the states, made by
// the phase itself as it starts each chain.
struct Chains {
    Matrix B;
    Vector e;
    Slots<ChainState> s;

    Chains(Index k, Index c) : B(k, c), e(c), s(c) {}
    static double bytes(Index k, Index c) {
        return static_cast<double>(c) * (8.0 * static_cast<double>(k) + 8.0 + sizeof(ChainState));
    }
};

// The Metropolis rule at temperature T: a strictly better proposal is accepted without a draw;
// otherwise a uniform draw must fall below exp(min(0, (e - ec) / T)) (a NaN ratio gives 1).
inline bool accept(double e, double ec, ChainState& s) {
    return ec < e || s.unif(s.rng) < acceptance_threshold(e, ec, s.T);
}

// Chains [q0, q1) take one Metropolis step together, each with its own stream and temperature:
// proposals (one draw per coordinate, chain by chain), one evaluation pass, acceptance.
// Bc and ec hold the group's proposals and their energies.
void step_group(Chains& ch, Index q0, Index q1, Lockstep& energy, Matrix& Bc, double* ec) {
    const Index k = ch.B.rows();
    for (Index q = q0; q < q1; ++q) {
        ChainState& s = ch.s[q];
        for (Index i = 0; i < k; ++i) Bc(i, q - q0) = ch.B(i, q) + s.prop(s.rng);
    }
    energy.evaluate(Bc.data(), ec);
    for (Index q = q0; q < q1; ++q) {
        if (accept(ch.e[q], ec[q - q0], ch.s[q])) {
            ch.B.col(q) = Bc.col(q - q0);
            ch.e[q] = ec[q - q0];
        }
    }
}

// Multiply-adds worth sharing with other threads (a few milliseconds of work).
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

// How a phase of c chains and `steps` steps is cut into groups and pieces, and how many threads
// share it: groups of up to 8 chains (one evaluation pass serves a group), about two per thread
// so that a thread that the machine holds up delays only its own group, and no helper for less
// work than is worth waking one for.
struct Layout {
    Index size = 1, groups = 0;
    int piece = 1, helpers = 0;

    Layout(Index m, Index k, Index c, int steps, int threads) {
        if (c == 0) return;
        threads = std::max(threads, 1);
        size = std::clamp<Index>((c + 2 * threads - 1) / (2 * threads), 1, 8);
        groups = (c + size - 1) / size;
        const double per_step = static_cast<double>(m) * static_cast<double>(std::max<Index>(k, 1));
        piece = static_cast<int>(std::clamp(kPieceWork / (per_step * static_cast<double>(size)), 1.0, 1e6));
        const double work = per_step * static_cast<double>(c) * (1.0 + std::max(steps, 0));
        if (groups > 1 && work >= kParallelWork)
            helpers = static_cast<int>(std::min<Index>(threads - 1, groups - 1));
    }

    double bytes(Index k) const {
        const double per_group = sizeof(Group) + 64.0 + Lockstep::bytes(k, size) +
                                 8.0 * static_cast<double>(size) * static_cast<double>(k + 1);
        return static_cast<double>(groups) * (per_group + sizeof(std::unique_ptr<Group>));
    }
};

// The groups of one phase, made before any work.
class Schedule {
public:
    Schedule(const Energy& E, Index c, int steps, const Layout& layout) : steps_(steps), layout_(layout) {
        groups_.reserve(static_cast<std::size_t>(layout.groups));
        for (Index g = 0; g < layout.groups; ++g) {
            groups_.push_back(std::make_unique<Group>(E, g * layout.size,
                                                      std::min(c, (g + 1) * layout.size)));
        }
    }

    // Runs `run(group, from, to)` over steps [0, steps) of every group, in pieces of a few steps.
    // Threads take whichever group is free next, so a thread that the machine starts late or
    // pauses holds up at most one group, and the calling thread never waits for a helper that has
    // not started: it does all the work itself if need be. A helper that finds nothing free
    // leaves; the calling thread waits for a piece to end (polling for interrupts meanwhile). The
    // pieces of one group run in order, and the chains are independent, so neither the grouping
    // nor the threads change a result. The first piece of a group has from = 0 (also when
    // steps = 0).
    template <typename Run>
    void run(const Run& run) {
        const Index n = layout_.groups;
        std::atomic<Index> remaining{n};
        StopFlag flag;
        Event released;
        const std::function<void(int)> body = [&](int slot) {
            const bool caller = slot == 0;
            const Index first = slot % n;
            while (remaining.load(std::memory_order_acquire) > 0) {
                const std::uint32_t seen = released.seen();
                bool advanced = false;
                for (Index i = 0; i < n; ++i) {
                    if (caller ? flag.poll() : flag.stopped()) return;
                    Group& w = *groups_[static_cast<std::size_t>((first + i) % n)];
                    bool expected = false;
                    if (!w.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) continue;
                    if (!w.done && !flag.stopped()) {
                        const int to = w.next + std::min(layout_.piece, steps_ - w.next);
                        try {
                            run(w, w.next, to);
                            w.next = to;
                        } catch (...) {
                            w.failed = std::current_exception();
                        }
                        if (to >= steps_ || w.failed) {
                            w.done = true;
                            remaining.fetch_sub(1, std::memory_order_acq_rel);
                        }
                        advanced = true;
                    }
                    w.busy.store(false, std::memory_order_release);
                    if (advanced) released.notify();
                }
                if (!advanced) {
                    if (!caller) return;
                    released.wait(seen, 2000);
                }
            }
        };
        share_work(layout_.helpers, body);
        flag.rethrow();
        for (const auto& w : groups_)
            if (w->failed) std::rethrow_exception(w->failed);
    }

private:
    int steps_;
    Layout layout_;
    std::vector<std::unique_ptr<Group>> groups_;
};

// Binary units with three significant digits: "5.37 TiB".
std::string format_bytes(double bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 6) {
        bytes /= 1024.0;
        ++u;
    }
    char text[64];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.3g %s", bytes, units[u]);
    return text;
}

// MemoryError with a message (the bindings raise what() as its text).
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// Every buffer of a fit whose size grows with the number of chains, allocated (not filled)
// before any work, so that a fit that cannot have its memory fails at once with MemoryError
// naming the size, and none fails half-way through for want of it.
struct Workspace {
    Layout warm_layout, deep_layout;
    Chains warm;
    Schedule warm_groups;
    Vector w, log_p;                    // gibbs_entropy's temporaries
    std::vector<Index> order;           // chain numbers ranked by energy
    std::vector<Vector> members;        // the admitted elite's coefficients
    std::vector<std::size_t> elite;     // ranks of the elite
    Chains deep;
    Schedule deep_groups;
    std::vector<double> starts;         // each elite chain's starting temperature
    Matrix best_b;                      // each elite chain's best state
    std::vector<double> best_e;

    // Bytes of the whole workspace.
    static double bytes(Index k, Index c, Index n_el, const Layout& warm, const Layout& deep) {
        const double kd = static_cast<double>(k), cd = static_cast<double>(c), ed = static_cast<double>(n_el);
        return Chains::bytes(k, c) + warm.bytes(k) + cd * (16.0 + 8.0) + ed * (8.0 * kd + 48.0 + 8.0) +
               Chains::bytes(k, n_el) + deep.bytes(k) + ed * (8.0 + 8.0 * kd + 8.0);
    }

    Workspace(const Energy& E, Index c, Index n_el, int n_warmup, int n_deep, const Layout& wl,
              const Layout& dl)
        : warm_layout(wl), deep_layout(dl), warm(E.X.cols(), c),
          warm_groups(E, c, n_warmup, wl), w(c), log_p(c),
          members(static_cast<std::size_t>(n_el), Vector(E.X.cols())), deep(E.X.cols(), n_el),
          deep_groups(E, n_el, n_deep, dl), best_b(E.X.cols(), n_el) {
        order.reserve(static_cast<std::size_t>(c));
        elite.reserve(static_cast<std::size_t>(n_el));
        starts.reserve(static_cast<std::size_t>(n_el));
        best_e.reserve(static_cast<std::size_t>(n_el));
    }
};

// Warm-up tournament: chain q starts from its own stream (seed + 1000 q) and takes n_warmup
// annealed steps from T = 2, cooling by 0.995 after every step. Leaves the chains' final states
// in ch, in chain order. Each group starts its own chains, on whichever thread takes it first.
void warm_up(const Energy& E, Chains& ch, Schedule& groups, double step_size, std::uint64_t seed) {
    const Index k = E.X.cols();
    groups.run([&](Group& w, int from, int to) {
        if (from == 0) {
            for (Index q = w.q0; q < w.q1; ++q) {
                ChainState& s = ch.s.make(q, std::mt19937_64(seed + 1000u * static_cast<std::uint64_t>(q)),
                                          Normal(0.0, step_size),
                                          std::uniform_real_distribution<double>(0.0, 1.0), 2.0, false);
                Normal init(0.0, 0.5);
                for (Index i = 0; i < k; ++i) ch.B(i, q) = init(s.rng);
            }
            w.energy.evaluate(ch.B.col(w.q0).data(), ch.e.data() + w.q0);
        }
        for (int step = from; step < to; ++step) {
            step_group(ch, w.q0, w.q1, w.energy, w.Bc, w.ec.data());
            for (Index q = w.q0; q < w.q1; ++q) cool(ch.s[q], 0.995);
        }
    });
}

// Refinement: elite chain ei continues from its state with its own stream (seed + 7777 + 13 ei)
// for n_deep steps. The temperature is one cooling sequence from T0 through all elite chains in
// turn (chain ei starts where chain ei - 1 ended), so each chain's start is computed first and the
// chains then run independently. Each chain keeps the first state at its own lowest energy;
// folding those in list order with a strict comparison, from the first elite chain's state,
// gives the best state that running the chains one after another finds.
Chain refine(Workspace& ws, int n_deep, double step_size, std::uint64_t seed, double T0) {
    const Matrix& B = ws.warm.B;
    const Vector& e = ws.warm.e;
    const auto chain_of = [&](std::size_t ei) { return ws.order[ws.elite[ei]]; };
    const std::size_t n = ws.elite.size();
    double t = T0;
    for (std::size_t ei = 0; ei < n; ++ei) {
        ws.starts.push_back(t);
        t = cooled(t, 0.9997, n_deep);  // at most a few million steps until it is fixed
    }
    Chain best{B.col(chain_of(0)), e[chain_of(0)]};
    if (n_deep <= 0) return best;
    ws.best_e.assign(n, std::numeric_limits<double>::infinity());
    Chains& ch = ws.deep;
    ws.deep_groups.run([&](Group& w, int from, int to) {
        if (from == 0) {
            for (Index q = w.q0; q < w.q1; ++q) {
                const auto u = static_cast<std::size_t>(q);
                ch.s.make(q, std::mt19937_64(seed + 7777u + 13u * static_cast<std::uint64_t>(u)),
                          Normal(0.0, 0.3 * step_size), std::uniform_real_distribution<double>(0.0, 1.0),
                          ws.starts[u], false);
                ch.B.col(q) = B.col(chain_of(u));
                ch.e[q] = e[chain_of(u)];
            }
        }
        for (int step = from; step < to; ++step) {
            step_group(ch, w.q0, w.q1, w.energy, w.Bc, w.ec.data());
            for (Index q = w.q0; q < w.q1; ++q) {
                const auto u = static_cast<std::size_t>(q);
                if (ch.e[q] < ws.best_e[u]) {
                    ws.best_e[u] = ch.e[q];
                    ws.best_b.col(q) = ch.B.col(q);
                }
                cool(ch.s[q], 0.9997);
            }
        }
    });
    for (std::size_t ei = 0; ei < n; ++ei) {
        if (ws.best_e[ei] < best.energy) best = Chain{ws.best_b.col(static_cast<Index>(ei)), ws.best_e[ei]};
    }
    return best;
}

}  // namespace

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const PenaltySpec& pen) const {
    if (n_chains_ < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    if (n_chains_ == 0) throw std::invalid_argument("n_chains must be at least 1");
    require_equal(y.size(), "y", X.rows(), "X", "rows");
    const Index k = X.cols(), c = n_chains_, n_el = elite_size(n_elite_, c);
    require_penalties(pen, k);

    const int threads = omp_get_max_threads();
    const Layout warm_layout(X.rows(), k, c, n_warmup_, threads);
    const Layout deep_layout(X.rows(), k, n_el, n_deep_, threads);
    const double need = Workspace::bytes(k, c, n_el, warm_layout, deep_layout);
    const std::string what = format_bytes(need) + " of working memory for " + std::to_string(c) +
                             (c == 1 ? " chain of " : " chains of ") + counted(k, "coefficients");
    if (need > memory_ceiling()) {
        throw OutOfMemory("TournamentMCMC.fit needs " + what + ", more than the " +
                          format_bytes(memory_ceiling()) + " this machine has");
    }
    // The tolerance waits for the memory: a fit that cannot run does no work.
    Energy E{X, y, 0.0, complexity_term(static_cast<int>(k), H_piH_, y.size()), pen};
    std::unique_ptr<Workspace> ws;
    try {
        ws = std::make_unique<Workspace>(E, c, n_el, n_warmup_, n_deep_, warm_layout, deep_layout);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("TournamentMCMC.fit could not allocate its " + what);
    }
    E.eps = tolerance_from_mad(mad(y));

    warm_up(E, ws->warm, ws->warm_groups, step_size_, seed_);
    const GibbsResult gb = gibbs_into(ws->warm.e, 1.0, ws->w, ws->log_p);
    rank_into(ws->warm.e, ws->order);
    select_into(ws->warm.B, ws->order, n_elite_, ws->members, ws->elite);

    Chain best = refine(*ws, n_deep_, step_size_, seed_, 0.5 * gb.r_heat);
    return MCMCResult{std::move(best.beta), best.energy, gb, n_chains_, n_elite_};
}

}  // namespace zelk
