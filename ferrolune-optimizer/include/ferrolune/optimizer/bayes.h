// The density-ratio Bayesian search: five Halton-spread samples, then seven
// measurements where good observations are dense and bad ones sparse. Fully
// deterministic: no seed comes from the clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/optimizer/search.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

// Five spread samples cover each of the five dimensions at five levels
// before the model is trusted.
inline constexpr int kInitialSamples = 5;
// Twelve measurements in all: each costs several tool runs, so this bounds
// a search to minutes on a small machine.
inline constexpr int kRefinementIterations = 7;
inline constexpr std::size_t kMeasurementBudget = kInitialSamples + kRefinementIterations;
// Enough random candidates that one lands near a good observation, few
// enough that scoring them stays negligible next to a measurement.
inline constexpr int kCandidatesPerIteration = 24;
// The top quarter is "good": with twelve observations at most three points
// shape the good density, so it stays sharp around the best region.
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
    // Measurements made, the near-tie re-measures included.
    std::size_t measurements = 0;
    // One row per configuration measured successfully, in measuring order;
    // a near tie's re-measures are pooled into its row.
    std::vector<Measurement> rows = {};
};

// True when the space's distinct configurations fit in the budget: each is
// then measured once and the answer is exact.
bool searches_exhaustively(const SearchSpace& space);

// Radical inverses of `index` in bases 2, 3, 5, 7, 11.
Point halton_point(uint64_t index);

// The point of a 64-bit LCG started at `seed`: each coordinate is the top
// 52 bits of the next state.
Point pseudo_random_point(uint64_t seed);

// The initial samples of a space larger than the budget: Halton points from
// index 1 whose configuration (as the runtime runs it) is new, with slots
// kept so that every runtime is sampled at least once; each with its point.
std::vector<std::pair<Point, RuntimeConfig>> initial_samples(const SearchSpace& space);

// Each runtime owns a slice of the first coordinate in proportion to its
// distinct configurations; the other coordinates index their lists.
RuntimeConfig decode_point(const SearchSpace& space, const Point& x);

// What the density model sees of a point: the centre of the cell it decodes
// to in each dimension (so two points of one configuration are one sample),
// and which dimensions change the run for its runtime.
struct SearchCell {
    Point point{};
    std::array<bool, 5> active{true, true, true, true, true};
    // The narrowest kernel in each dimension (0: continuous): one cell, three
    // for GPU layers. Narrower says nothing the cell does not, and makes a
    // one-step move in a coarse dimension look hopeless.
    Point width{};
};
SearchCell search_cell(const SearchSpace& space, const Point& x);

// Points one step away from `x`'s cell in each dimension that changes its
// run (the other runtimes; GPU layers 4 and 8 steps away, and both ends).
std::vector<Point> neighbour_points(const SearchSpace& space, const Point& x);

// Product-Gaussian kernel density of `x` over `samples` (1e-10 when empty).
double kde_density(const Point& x, const std::vector<Point>& samples);
// The same over cells: a dimension counts for a sample only where it is
// active for both the sample and `x`.
double kde_density(const SearchCell& x, const std::vector<SearchCell>& samples);

Point suggest_point(const std::vector<Observation>& observations, double gamma, int candidates, int iteration);

// As above, but only points `acceptable` takes are candidates, and each
// iteration draws its own candidates (no two iterations share one). Nothing
// when no acceptable point turns up within a bounded number of draws.
std::optional<Point> suggest_point(const std::vector<Observation>& observations, double gamma, int candidates,
                                   int iteration, const std::function<bool(const Point&)>& acceptable);
// As above, with the density model over the space's cells (`search_cell`),
// each density mixed with a little of the uniform one, and the unmeasured
// neighbours of the good observations (`neighbour_points`) as candidates too.
std::optional<Point> suggest_point(const SearchSpace& space, const std::vector<Observation>& observations,
                                   double gamma, int candidates, int iteration,
                                   const std::function<bool(const Point&)>& acceptable);

// Whether two figures are within each other's spread: their bands of one
// standard deviation overlap. Figures without a spread are exact and never tie.
bool within_spread(const BenchmarkResult& a, const BenchmarkResult& b);

// Every distinct configuration once when they fit in the budget; otherwise
// five Halton samples and seven density-ratio refinements, never measuring
// a configuration twice. When the best two are within each other's spread
// both are measured again before deciding. Log lines go to stderr.
BayesianOutcome bayesian_search(const SearchSpace& space, const ModelDescription& model, const HardwareProfile& hw,
                                const MeasureFn& measure);

}  // namespace ferrolune::optimizer
