#include "ferrolune/optimizer/bayes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <fmt/format.h>

#include "ferrolune/core/text.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

constexpr int kMinObservationsForModel = 3;
constexpr uint64_t kCandidateSeedOffset = 0xDEADBEEF;
constexpr double kSqrtTwoPi = 2.5066282746310002;

double radical_inverse(uint64_t i, uint64_t base) {
    double weight = 1.0;
    double value = 0.0;
    while (i != 0) {
        weight /= static_cast<double>(base);
        value += static_cast<double>(i % base) * weight;
        i /= base;
    }
    return value;
}

template <typename T>
const T& pick(const std::vector<T>& list, double u) {
    double f = std::floor(static_cast<double>(list.size()) * u);
    std::size_t idx = f > 0.0 ? static_cast<std::size_t>(std::min(f, static_cast<double>(list.size() - 1))) : 0;
    return list[idx];
}

std::string describe(const RuntimeConfig& c) {
    return fmt::format("{}/{}/{} threads/{} gpu_layers", to_string(c.runtime), to_string(c.quantization), c.threads,
                       c.gpu_layers);
}

struct SearchState {
    std::vector<Observation> observations;
    std::optional<RuntimeConfig> best_config;
    std::optional<BenchmarkResult> best_metrics;
    double best_score = -std::numeric_limits<double>::infinity();
    std::set<std::string> failure_reasons;

    void observe(const Point& x, const RuntimeConfig& config, const BenchmarkResult& metrics) {
        observations.push_back(Observation{x, metrics.tokens_per_sec});
        // Strictly greater: among equal throughputs the earlier one stays.
        if (metrics.tokens_per_sec > best_score) {
            best_score = metrics.tokens_per_sec;
            best_config = config;
            best_metrics = metrics;
        }
    }
};

}  // namespace

Point halton_point(uint64_t index) {
    constexpr uint64_t bases[5] = {2, 3, 5, 7, 11};
    Point p{};
    for (int j = 0; j < 5; ++j) p[j] = radical_inverse(index, bases[j]);
    return p;
}

Point pseudo_random_point(uint64_t seed) {
    uint64_t state = seed;
    Point p{};
    for (int j = 0; j < 5; ++j) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        p[j] = static_cast<double>(state >> 12) * 0x1p-52;
    }
    return p;
}

RuntimeConfig decode_point(const SearchSpace& space, const Point& x) {
    RuntimeConfig c;
    c.runtime = pick(space.runtimes, x[0]);
    c.quantization = pick(space.quantizations, x[1]);
    c.threads = pick(space.threads, x[3]);
    c.batch_size = pick(space.batch_sizes, x[4]);
    if (space.max_gpu_layers == 0) {
        c.gpu_layers = 0;
    } else {
        double r = std::round(static_cast<double>(space.max_gpu_layers) * x[2]);
        uint32_t layers = !(r > 0.0) ? 0 : r >= 4294967295.0 ? std::numeric_limits<uint32_t>::max()
                                                              : static_cast<uint32_t>(r);
        c.gpu_layers = std::min(space.max_gpu_layers, layers);
    }
    return c;
}

double kde_density(const Point& x, const std::vector<Point>& samples) {
    const std::size_t n = samples.size();
    if (n == 0) return 1e-10;
    const double f = std::pow(static_cast<double>(n), -0.2);

    Point h{};
    if (n == 1) {
        h.fill(std::max(0.212 * f, 1e-8));
    } else {
        for (int j = 0; j < 5; ++j) {
            double mean = 0.0;
            for (const Point& p : samples) mean += p[j];
            mean /= static_cast<double>(n);
            double ss = 0.0;
            for (const Point& p : samples) ss += (p[j] - mean) * (p[j] - mean);
            double sigma = std::sqrt(ss / static_cast<double>(n - 1));
            h[j] = std::max(std::max(sigma, 0.01) * 1.06 * f, 1e-8);
        }
    }

    double total = 0.0;
    for (const Point& p : samples) {
        double product = 1.0;
        for (int j = 0; j < 5; ++j) {
            double z = (x[j] - p[j]) / h[j];
            product *= std::exp(-0.5 * z * z) / (h[j] * kSqrtTwoPi);
        }
        total += product;
    }
    return total / static_cast<double>(n);
}

Point suggest_point(const std::vector<Observation>& observations, double gamma, int candidates, int iteration) {
    const uint64_t k = static_cast<uint64_t>(iteration);
    if (observations.size() < static_cast<std::size_t>(kMinObservationsForModel))
        return pseudo_random_point(k + observations.size());

    std::vector<Observation> sorted = observations;
    std::ranges::stable_sort(sorted, [](const Observation& a, const Observation& b) {
        return a.tokens_per_sec > b.tokens_per_sec;
    });
    std::size_t g = static_cast<std::size_t>(std::ceil(static_cast<double>(sorted.size()) * gamma));
    g = std::clamp<std::size_t>(g, 1, sorted.size());
    std::vector<Point> good, bad;
    for (std::size_t i = 0; i < sorted.size(); ++i) (i < g ? good : bad).push_back(sorted[i].point);

    Point best{};
    double best_score = -std::numeric_limits<double>::infinity();
    for (int m = 0; m < candidates; ++m) {
        Point p = pseudo_random_point(k + kCandidateSeedOffset + static_cast<uint64_t>(m));
        double score = kde_density(p, good) / std::max(kde_density(p, bad), 1e-10);
        if (m == 0 || score > best_score) {
            best = p;
            best_score = score;
        }
    }
    return best;
}

BayesianOutcome bayesian_search(const SearchSpace& space, const ModelDescription& model, const HardwareProfile& hw,
                                const MeasureFn& measure) {
    SearchState state;

    std::vector<Point> initial_points;
    std::vector<RuntimeConfig> initial_configs;
    for (uint64_t i = 1; i <= static_cast<uint64_t>(kInitialSamples); ++i) {
        initial_points.push_back(halton_point(i));
        initial_configs.push_back(decode_point(space, initial_points.back()));
    }

    std::vector<BenchmarkOutcome> outcomes =
        apply_llama_estimates(run_benchmarks(initial_configs, model, measure), model, hw);
    for (std::size_t i = 0; i < outcomes.size() && i < initial_points.size(); ++i) {
        const BenchmarkOutcome& o = outcomes[i];
        if (!o.result) {
            log_line(fmt::format("[Bayes init {}/{}] {}/{} \u2192 ERROR: {}", i + 1, kInitialSamples,
                                 to_string(o.config.runtime), to_string(o.config.quantization),
                                 o.result.error().message()));
            state.failure_reasons.insert(o.result.error().root_cause());
            continue;
        }
        log_line(fmt::format("[Bayes init {}/{}] {} \u2192 {} tok/s", i + 1, kInitialSamples, describe(o.config),
                             text::one_decimal(o.result->tokens_per_sec)));
        state.observe(initial_points[i], o.config, *o.result);
    }

    for (int k = 0; k < kRefinementIterations; ++k) {
        if (cancel::Canceller* c = cancel::current(); c && c->stop_requested()) break;
        Point x = suggest_point(state.observations, kGoodFraction, kCandidatesPerIteration, k);
        RuntimeConfig config = decode_point(space, x);
        log_line(fmt::format("[Bayes iter {}/{}] {}", k + 1, kRefinementIterations, describe(config)));

        std::vector<BenchmarkOutcome> single = apply_llama_estimates(run_benchmarks({config}, model, measure), model, hw);
        if (single.empty()) continue;
        const BenchmarkOutcome& o = single.front();
        if (!o.result) {
            log_line(fmt::format("[Bayes iter {}/{}] ERROR: {}", k + 1, kRefinementIterations,
                                 o.result.error().message()));
            state.failure_reasons.insert(o.result.error().root_cause());
            continue;
        }
        log_line(fmt::format("[Bayes iter {}/{}] Result: {} tok/s", k + 1, kRefinementIterations,
                             text::one_decimal(o.result->tokens_per_sec)));
        state.observe(x, o.config, *o.result);
    }

    return BayesianOutcome{state.best_config, state.best_metrics,
                           std::vector<std::string>(state.failure_reasons.begin(), state.failure_reasons.end())};
}

}  // namespace ferrolune::optimizer
