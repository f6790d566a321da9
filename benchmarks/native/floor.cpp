// The floor under a tournament fit: the bare work of its energy evaluations, nothing else.
// One "fit" here is as many matrix-vector products X b and counting passes as a fit with the
// default settings evaluates (25 x 201 + 5 x 2000), run serially in one thread.
#include <benchmark/benchmark.h>

#include <random>

#include "stats.hpp"

namespace {

constexpr int kEvaluations = 25 * (1 + 200) + 5 * 2000;

void BM_FitFloor(benchmark::State& state) {
    const Eigen::Index m = state.range(0), k = state.range(1);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal;
    zelk::Matrix X(m, k);
    zelk::Vector b(k), y(m), yp(m);
    for (Eigen::Index j = 0; j < k; ++j) b[j] = normal(rng);
    for (Eigen::Index i = 0; i < m; ++i) {
        for (Eigen::Index j = 0; j < k; ++j) X(i, j) = normal(rng);
        y[i] = normal(rng);
    }
    for (auto _ : state) {
        Eigen::Index hits = 0;
        for (int e = 0; e < kEvaluations; ++e) {
            yp.noalias() = X * b;
            hits += zelk::count_hits(yp.data(), y.data(), m, 0.3);
        }
        benchmark::DoNotOptimize(hits);
    }
    state.counters["evaluations_per_second"] =
        benchmark::Counter(kEvaluations, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_FitFloor)->Args({200, 4})->Args({2000, 6})->Args({20000, 8})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
