// The density-ratio Bayesian search: five Halton-spread samples, then seven
// measurements where good observations are dense and bad ones sparse. Fully
// deterministic: no seed comes from the clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/search.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

inline constexpr int kInitialSamples = 5;
inline constexpr int kRefinementIterations = 7;
inline constexpr int kCandidatesPerIteration = 24;
inline constexpr double kGoodFraction = 0.25;

// Coordinates in [0, 1): runtime, quantization, GPU layers, threads, batch size.
using Point = std::array<double, 5>;

struct Observation {
    Point point;
    double tokens_per_sec = 0.0;
};

struct BayesianOutcome {
    std::optional<RuntimeConfig> best_config;
    std::optional<BenchmarkResult> best_metrics;
    // Distinct root-cause texts, ascending byte order.
    std::vector<std::string> failure_reasons;
};

// Radical inverses of `index` in bases 2, 3, 5, 7, 11.
Point halton_point(uint64_t index);

// The point of a 64-bit LCG started at `seed`: each coordinate is the top
// 52 bits of the next state.
Point pseudo_random_point(uint64_t seed);

RuntimeConfig decode_point(const SearchSpace& space, const Point& x);

// Product-Gaussian kernel density of `x` over `samples` (1e-10 when empty).
double kde_density(const Point& x, const std::vector<Point>& samples);

Point suggest_point(const std::vector<Observation>& observations, double gamma, int candidates, int iteration);

// Twelve measurements through `measure`, with their log lines on stderr.
BayesianOutcome bayesian_search(const SearchSpace& space, const ModelDescription& model, const HardwareProfile& hw,
                                const MeasureFn& measure);

}  // namespace ferrolune::optimizer
