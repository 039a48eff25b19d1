#include "ferrolune/optimizer/bayes.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune::optimizer {
namespace {

using namespace testing_support;
using ::testing::HasSubstr;
using Q = QuantizationStrategy;

SearchSpace two_runtime_space(uint32_t gpu_bound = 32) {
    return SearchSpace{{RuntimeKind::LlamaCpp, RuntimeKind::Ollama},
                       {Q::Q4_K_M, Q::Q4_0},
                       {4, 8, 16},
                       {128, 256, 512},
                       gpu_bound};
}

void expect_point_near(const Point& got, const Point& want, double tol) {
    for (int j = 0; j < 5; ++j) EXPECT_NEAR(got[j], want[j], tol) << "coordinate " << j;
}

TEST(HaltonPoint, index_zero_is_the_origin_and_later_indices_mirror_digits) {
    expect_point_near(halton_point(0), {0, 0, 0, 0, 0}, 0);
    expect_point_near(halton_point(1), {0.5, 1.0 / 3, 0.2, 1.0 / 7, 1.0 / 11}, 1e-15);
    expect_point_near(halton_point(4), {0.125, 4.0 / 9, 0.8, 4.0 / 7, 4.0 / 11}, 1e-15);
    expect_point_near(halton_point(5), {0.625, 7.0 / 9, 0.04, 5.0 / 7, 5.0 / 11}, 1e-15);
}

TEST(PseudoRandomPoint, seeds_give_their_fixed_sequences) {
    expect_point_near(pseudo_random_point(0), {0.0782087, 0.1016988, 0.6053233, 0.4012162, 0.3836258}, 1e-7);
    expect_point_near(pseudo_random_point(1), {0.4232092, 0.5094074, 0.6483594, 0.3828634, 0.7954477}, 1e-7);
    // The seed offset of the candidates wraps instead of overflowing.
    Point wrapped = pseudo_random_point(UINT64_MAX);
    for (double c : wrapped) {
        EXPECT_GE(c, 0.0);
        EXPECT_LT(c, 1.0);
    }
}

TEST(DecodePoint, first_five_halton_points_of_the_two_runtime_space) {
    const SearchSpace space = two_runtime_space();
    // Ollama takes only the quantization: 2 of the 200 configurations, so
    // its slice of the runtime coordinate is 1 % and these five are llama.cpp's.
    const std::vector<std::string> want = {"LlamaCpp/Q4_K_M/4/6/128", "LlamaCpp/Q4_0/4/13/128",
                                           "LlamaCpp/Q4_K_M/8/19/128", "LlamaCpp/Q4_K_M/8/26/256",
                                           "LlamaCpp/Q4_0/16/1/256"};
    for (uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(describe(decode_point(space, halton_point(i))), want[i - 1]);
}

struct DecodeCase {
    const char* name;
    SearchSpace space;
    Point x;
    const char* want;
};

class DecodePointEdges : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodePointEdges, decodes) {
    EXPECT_EQ(describe(decode_point(GetParam().space, GetParam().x)), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodePointEdges,
    ::testing::Values(
        DecodeCase{"cpu_only_bound_gives_no_layers", two_runtime_space(0), {0.9, 0.9, 0.99, 0.9, 0.9},
                   "Ollama/Q4_0/16/0/512"},
        DecodeCase{"single_runtime_always_used",
                   SearchSpace{{RuntimeKind::OnnxRuntime}, {Q::F16}, {2}, {128, 256, 512}, 0},
                   {0.99, 0.5, 0.5, 0.5, 0.0},
                   "OnnxRuntime/F16/2/0/128"},
        DecodeCase{"coordinate_near_one_stays_in_range", two_runtime_space(), {0.9999999, 0.9999999, 0.9999999,
                                                                                0.9999999, 0.9999999},
                   "Ollama/Q4_0/16/32/512"},
        DecodeCase{"negative_coordinate_counts_as_zero", two_runtime_space(), {-0.5, -0.1, -0.2, -1.0, -0.3},
                   "LlamaCpp/Q4_K_M/4/0/128"},
        DecodeCase{"layer_counts_own_equal_slices", two_runtime_space(3), {0, 0, 0.5, 0, 0},
                   "LlamaCpp/Q4_K_M/4/2/128"},
        DecodeCase{"full_offload_owns_a_whole_slice", two_runtime_space(3), {0, 0, 0.76, 0, 0},
                   "LlamaCpp/Q4_K_M/4/3/128"},
        DecodeCase{"runtime_slice_follows_configuration_count", two_runtime_space(0), {0.74, 0, 0, 0, 0},
                   "LlamaCpp/Q4_K_M/4/0/128"},
        DecodeCase{"small_runtime_owns_the_top_slice", two_runtime_space(0), {0.76, 0, 0, 0, 0},
                   "Ollama/Q4_K_M/4/0/128"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KdeDensity, empty_set_and_single_point) {
    Point x{0.3, 0.1, 0.7, 0.2, 0.9};
    EXPECT_EQ(kde_density(x, {}), 1e-10);
    EXPECT_DOUBLE_EQ(kde_density(x, {x}), std::pow(1.0 / (0.212 * 2.5066282746310002), 5));
}

TEST(KdeDensity, identical_samples_use_the_minimum_spread) {
    // Zero standard deviation must not give a zero bandwidth (division by 0).
    Point x{0.5, 0.5, 0.5, 0.5, 0.5};
    double h = 0.01 * 1.06 * std::pow(2.0, -0.2);
    EXPECT_DOUBLE_EQ(kde_density(x, {x, x}), std::pow(1.0 / (h * 2.5066282746310002), 5));
}

TEST(KdeDensity, dimensions_a_runtime_ignores_neither_shape_nor_weigh_its_samples) {
    const SearchSpace space = two_runtime_space();
    const Point llama{0.1, 0.2, 0.9, 0.1, 0.5};  // 4 threads, many layers
    const Point ollama{0.995, 0.2, 0.1, 0.9, 0.5};
    ASSERT_EQ(decode_point(space, ollama).runtime, RuntimeKind::Ollama);
    // A llama.cpp candidate far from Ollama's threads and layers: Ollama's
    // sample ignores them, so moving there changes nothing of its weight.
    const SearchCell a = search_cell(space, {0.1, 0.2, 0.9, 0.1, 0.5});
    const SearchCell b = search_cell(space, {0.1, 0.2, 0.1, 0.9, 0.5});
    EXPECT_FALSE(search_cell(space, ollama).active[2]);
    EXPECT_FALSE(search_cell(space, ollama).active[3]);
    const std::vector<SearchCell> only_ollama = {search_cell(space, ollama), search_cell(space, ollama)};
    EXPECT_DOUBLE_EQ(kde_density(a, only_ollama), kde_density(b, only_ollama));
    // Two points of one configuration are one cell.
    EXPECT_EQ(search_cell(space, llama).point, search_cell(space, {0.2, 0.1, 0.9, 0.2, 0.4}).point);
}

// A point of two_runtime_space's llama.cpp slice decoding to the given cell.
Point llama_point(double quantization, uint32_t layers, double threads, uint32_t bound = 32) {
    return {0.1, quantization, (layers + 0.5) / (bound + 1.0), threads, 0.0};
}

struct NeighbourCase {
    std::string_view name;
    SearchSpace space;
    Point x;
    std::vector<std::string> want;  // sorted
};

class NeighbourPoints : public ::testing::TestWithParam<NeighbourCase> {};

TEST_P(NeighbourPoints, decode_to_the_cells_one_move_away) {
    const NeighbourCase& c = GetParam();
    std::vector<std::string> got;
    for (const Point& p : neighbour_points(c.space, c.x))
        got.push_back(describe(effective_config(c.space, decode_point(c.space, p))));
    std::ranges::sort(got);
    EXPECT_EQ(got, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NeighbourPoints,
    ::testing::Values(
        // The other runtime, the other quantization, threads one step either
        // way, layers 4 and 8 either way and both ends; batch is not the tool's.
        NeighbourCase{"middle_cell_moves_in_every_dimension_it_uses", two_runtime_space(), llama_point(0.25, 16, 0.5),
                      {"LlamaCpp/Q4_0/8/16/0", "LlamaCpp/Q4_K_M/16/16/0", "LlamaCpp/Q4_K_M/4/16/0",
                       "LlamaCpp/Q4_K_M/8/0/0", "LlamaCpp/Q4_K_M/8/12/0", "LlamaCpp/Q4_K_M/8/20/0",
                       "LlamaCpp/Q4_K_M/8/24/0", "LlamaCpp/Q4_K_M/8/32/0", "LlamaCpp/Q4_K_M/8/8/0",
                       "Ollama/Q4_K_M/0/32/0"}},
        // Past the top no long step is left, but the top itself is a move.
        NeighbourCase{"near_full_offload_the_top_stays_a_move", two_runtime_space(), llama_point(0.75, 30, 0.9),
                      {"LlamaCpp/Q4_0/16/0/0", "LlamaCpp/Q4_0/16/22/0", "LlamaCpp/Q4_0/16/26/0",
                       "LlamaCpp/Q4_0/16/32/0", "LlamaCpp/Q4_0/8/30/0", "LlamaCpp/Q4_K_M/16/30/0",
                       "Ollama/Q4_0/0/32/0"}},
        // A long step that lands on an end is not proposed twice.
        NeighbourCase{"a_step_landing_on_an_end_is_one_move", two_runtime_space(), llama_point(0.25, 4, 0.1),
                      {"LlamaCpp/Q4_0/4/4/0", "LlamaCpp/Q4_K_M/4/0/0", "LlamaCpp/Q4_K_M/4/12/0",
                       "LlamaCpp/Q4_K_M/4/32/0", "LlamaCpp/Q4_K_M/4/8/0", "LlamaCpp/Q4_K_M/8/4/0",
                       "Ollama/Q4_K_M/0/32/0"}},
        // Ollama's tool takes only the quantization; the move to llama.cpp
        // keeps the full offload Ollama ran with.
        NeighbourCase{"ollama_moves_in_quantization_and_runtime_only", two_runtime_space(),
                      {0.995, 0.75, 0.5, 0.5, 0.5}, {"LlamaCpp/Q4_0/8/32/0", "Ollama/Q4_K_M/0/32/0"}},
        // Without a GPU the layer count is no dimension.
        NeighbourCase{"without_a_gpu_layers_do_not_move", two_runtime_space(0), llama_point(0.25, 0, 0.5, 0),
                      {"LlamaCpp/Q4_0/8/0/0", "LlamaCpp/Q4_K_M/16/0/0", "LlamaCpp/Q4_K_M/4/0/0",
                       "Ollama/Q4_K_M/0/0/0"}},
        // Every other quantization is one move: they are kinds, not a scale.
        NeighbourCase{"every_other_quantization_is_one_move",
                      SearchSpace{{RuntimeKind::LlamaCpp}, {Q::Q8_0, Q::Q4_K_M, Q::F16}, {4}, {128}, 0},
                      {0.1, 0.1, 0.0, 0.0, 0.0}, {"LlamaCpp/F16/4/0/0", "LlamaCpp/Q4_K_M/4/0/0"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct InitialCase {
    std::string_view name;
    SearchSpace space;
};

class InitialSamples : public ::testing::TestWithParam<InitialCase> {};

// A runtime with a thin slice of the first coordinate would otherwise never
// be measured, and its failure or its win would go unseen.
TEST_P(InitialSamples, every_runtime_is_sampled_among_five_distinct_halton_points) {
    const SearchSpace& space = GetParam().space;
    const auto samples = initial_samples(space);
    ASSERT_EQ(samples.size(), 5u);
    for (RuntimeKind r : space.runtimes)
        EXPECT_TRUE(std::ranges::any_of(samples, [&](const auto& s) { return s.second.runtime == r; }))
            << to_string(r);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].second, effective_config(space, decode_point(space, samples[i].first)));
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(samples[i].second, samples[j].second);
        bool halton = false;
        for (uint64_t k = 1; k <= 4096 && !halton; ++k) halton = samples[i].first == halton_point(k);
        EXPECT_TRUE(halton) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitialSamples,
    ::testing::Values(InitialCase{"ollama_after_llama", two_runtime_space()},
                      InitialCase{"ollama_first", SearchSpace{{RuntimeKind::Ollama, RuntimeKind::LlamaCpp},
                                                              {Q::Q4_K_M, Q::Q4_0}, {4, 8, 16}, {128, 256, 512}, 32}},
                      InitialCase{"three_runtimes", SearchSpace{{RuntimeKind::LlamaCpp, RuntimeKind::Ollama,
                                                                 RuntimeKind::Vllm},
                                                                {Q::Q4_K_M, Q::Q4_0, Q::Q8_0},
                                                                {2, 4, 8, 16},
                                                                {128, 256, 512},
                                                                32}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InitialSamples, the_thin_runtime_takes_the_last_slot_and_the_spread_samples_stay) {
    // Without the reserved slot the fifth sample would be llama.cpp's too.
    std::vector<std::string> got;
    for (const auto& [point, config] : initial_samples(two_runtime_space())) got.push_back(describe(config));
    EXPECT_EQ(got, (std::vector<std::string>{"LlamaCpp/Q4_K_M/4/6/0", "LlamaCpp/Q4_0/4/13/0",
                                             "LlamaCpp/Q4_K_M/8/19/0", "LlamaCpp/Q4_K_M/8/26/0", "Ollama/Q4_K_M/0/32/0"}));
}

TEST(SuggestPoint, few_observations_use_the_seed_of_iteration_plus_count) {
    std::vector<Observation> obs = {{halton_point(1), 5.0}};
    expect_point_near(suggest_point(obs, 0.25, 24, 0), pseudo_random_point(1), 0);
    expect_point_near(suggest_point({}, 0.25, 24, 3), pseudo_random_point(3), 0);
}

TEST(SuggestPoint, prefers_candidates_near_the_good_observations) {
    std::vector<Observation> obs;
    for (uint64_t i = 1; i <= 8; ++i) obs.push_back({halton_point(i), static_cast<double>(i)});
    Point x = suggest_point(obs, 0.25, 24, 0);
    // The winner is one of the 24 candidates and scores at least as well as every other.
    auto score = [&](const Point& p) {
        std::vector<Point> good = {halton_point(8), halton_point(7)}, bad;
        for (uint64_t i = 1; i <= 6; ++i) bad.push_back(halton_point(i));
        return kde_density(p, good) / std::max(kde_density(p, bad), 1e-10);
    };
    bool is_candidate = false;
    for (uint64_t m = 0; m < 24; ++m) {
        Point c = pseudo_random_point(0xDEADBEEFull + m);
        if (c == x) is_candidate = true;
        EXPECT_LE(score(c), score(x));
    }
    EXPECT_TRUE(is_candidate);
}

struct SearchRun {
    BayesianOutcome outcome;
    std::vector<RuntimeConfig> measured;
    std::string log;
};

SearchRun search(const SearchSpace& space, ScriptedSurface::Fn fn) {
    ScriptedSurface surface(std::move(fn));
    ::testing::internal::CaptureStderr();
    BayesianOutcome out = bayesian_search(space, gguf_model(), machine(8, 16000), surface.measure());
    return SearchRun{std::move(out), surface.measured(), ::testing::internal::GetCapturedStderr()};
}

std::vector<std::string> described(const std::vector<RuntimeConfig>& configs) {
    std::vector<std::string> out;
    for (const RuntimeConfig& c : configs) out.push_back(describe(c));
    return out;
}

TEST(BayesianSearch, large_space_measures_twelve_distinct_configurations_and_keeps_the_best) {
    SearchRun r = search(two_runtime_space(), [](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return factor_surface(c);
    });
    ASSERT_EQ(r.measured.size(), 12u);
    std::vector<std::string> got = described(r.measured);
    std::vector<std::string> unique = got;
    std::ranges::sort(unique);
    EXPECT_EQ(std::unique(unique.begin(), unique.end()), unique.end()) << ::testing::PrintToString(got);

    // Ollama's tool gets no threads, layers or batch: two configurations of
    // 200, so the spread samples go to llama.cpp's but for the one slot kept
    // for each runtime.
    std::vector<std::string> initial(got.begin(), got.begin() + 5);
    std::ranges::sort(initial);
    EXPECT_EQ(initial, (std::vector<std::string>{"LlamaCpp/Q4_0/4/13/0", "LlamaCpp/Q4_K_M/4/6/0",
                                                 "LlamaCpp/Q4_K_M/8/19/0", "LlamaCpp/Q4_K_M/8/26/0",
                                                 "Ollama/Q4_K_M/0/32/0"}));

    ASSERT_TRUE(r.outcome.best_config);
    double best = 0.0;
    for (const RuntimeConfig& c : r.measured) best = std::max(best, factor_surface(c).tokens_per_sec);
    EXPECT_DOUBLE_EQ(r.outcome.best_metrics->tokens_per_sec, best);
    EXPECT_EQ(r.outcome.measurements, 12u);
    EXPECT_TRUE(r.outcome.failure_reasons.empty());
    EXPECT_THAT(r.log, HasSubstr("[Bayes init 1/5] LlamaCpp/Q4_K_M/4 threads/6 gpu_layers \u2192 11.9 tok/s\n"
                                 "[Bayes init 2/5] LlamaCpp/Q4_0/4 threads/13 gpu_layers \u2192 17.6 tok/s\n"));
}

TEST(BayesianSearch, same_space_and_measurements_give_the_same_sequence) {
    auto fn = [](const RuntimeConfig& c) -> Result<BenchmarkResult> { return factor_surface(c); };
    SearchRun first = search(two_runtime_space(), fn);
    SearchRun second = search(two_runtime_space(), fn);
    // The initial five run concurrently; from the first refinement on the order is fixed.
    EXPECT_EQ(std::vector(first.measured.begin() + 5, first.measured.end()),
              std::vector(second.measured.begin() + 5, second.measured.end()));
    EXPECT_EQ(first.log, second.log);
}

TEST(BayesianSearch, space_within_the_budget_is_measured_whole_once_and_the_answer_is_exact) {
    // LlamaCpp on a machine without a GPU: 2 quantizations x 3 thread counts,
    // batch ignored, layers 0; Ollama adds one per quantization.
    const SearchSpace space = two_runtime_space(0);
    ASSERT_TRUE(searches_exhaustively(space));
    SearchRun r = search(space, [](const RuntimeConfig& c) -> Result<BenchmarkResult> { return factor_surface(c); });
    std::vector<std::string> got = described(r.measured);
    std::ranges::sort(got);
    std::vector<std::string> all = described(distinct_configurations(space));
    std::ranges::sort(all);
    EXPECT_EQ(got, all);
    EXPECT_EQ(all.size(), 8u);
    ASSERT_TRUE(r.outcome.best_config);
    EXPECT_EQ(describe(*r.outcome.best_config), "LlamaCpp/Q4_0/8/0/0");
    EXPECT_THAT(r.log, HasSubstr("[Bayes init 8/8] "));
    EXPECT_THAT(r.log, ::testing::Not(HasSubstr("[Bayes iter")));
}

TEST(BayesianSearch, failures_are_logged_collected_once_and_four_failures_switch_the_seed) {
    const SearchSpace space = two_runtime_space();
    std::vector<RuntimeConfig> failing;
    for (const auto& [point, config] : initial_samples(space))
        if (failing.size() < 4) failing.push_back(config);
    SearchRun r = search(space, [&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (std::ranges::find(failing, c) != failing.end())
            return fail(Error("tool crashed").context("inference failed: tool crashed"));
        return BenchmarkResult{5.0, 200.0, 10};
    });
    EXPECT_THAT(r.log, HasSubstr("[Bayes init 1/5] LlamaCpp/Q4_K_M \u2192 ERROR: inference failed: tool crashed\n"));
    EXPECT_EQ(r.outcome.failure_reasons, std::vector<std::string>{"tool crashed"});
    // One observation: the first refinement uses the pseudo-random point of seed 0 + 1.
    ASSERT_EQ(r.measured.size(), 12u);
    EXPECT_EQ(r.measured[5], effective_config(space, decode_point(space, pseudo_random_point(1))));
}

TEST(BayesianSearch, three_successes_switch_the_first_refinement_to_the_density_model) {
    const SearchSpace space = two_runtime_space();
    const auto initial = initial_samples(space);
    SearchRun r = search(space, [&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (c == initial[0].second || c == initial[1].second) return fail("down");
        return factor_surface(c);
    });
    std::vector<Observation> observed;
    for (std::size_t i = 2; i < 5; ++i)
        observed.push_back({initial[i].first, factor_surface(initial[i].second).tokens_per_sec});
    auto unmeasured = [&](const Point& p) {
        RuntimeConfig c = effective_config(space, decode_point(space, p));
        return std::ranges::none_of(initial, [&](const auto& s) { return s.second == c; });
    };
    ASSERT_EQ(r.measured.size(), 12u);
    auto suggested = suggest_point(space, observed, 0.25, 24, 0, unmeasured);
    ASSERT_TRUE(suggested);
    EXPECT_EQ(r.measured[5], effective_config(space, decode_point(space, *suggested)));
    EXPECT_NE(r.measured[5], effective_config(space, decode_point(space, pseudo_random_point(2))));
}

TEST(SearchCell, kernels_are_at_least_one_cell_wide_and_three_for_gpu_layers) {
    const SearchCell cell = search_cell(two_runtime_space(), llama_point(0.25, 16, 0.5));
    EXPECT_DOUBLE_EQ(cell.width[1], 1.0 / 2);
    EXPECT_DOUBLE_EQ(cell.width[2], 3.0 / 33);
    EXPECT_DOUBLE_EQ(cell.width[3], 1.0 / 3);
    EXPECT_EQ(search_cell(two_runtime_space(0), llama_point(0.25, 0, 0.5, 0)).width[2], 0.0);
}

// Throughput that climbs steeply towards full offload, with the fastest
// quantization and thread count away from where the spread samples start:
// the search has to step to the end of the layers and across quantizations
// rather than creep a layer at a time from its best sample.
TEST(BayesianSearch, a_best_at_full_offload_is_reached_within_the_budget) {
    SearchRun r = search(two_runtime_space(), [](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (c.runtime == RuntimeKind::Ollama) return BenchmarkResult{5.0, 200.0, 10};
        const double cpu_share = 1.0 - c.gpu_layers / 32.0;
        const double seconds = cpu_share * (c.quantization == Q::Q4_0 ? 2.0 : 1.0) +
                               (1.0 - cpu_share) * (c.quantization == Q::Q4_0 ? 0.1 : 0.16);
        const double tps = 10.0 / seconds * (c.threads == 4 ? 1.05 : 1.0);
        return BenchmarkResult{tps, 1000.0 / tps, 10};
    });
    ASSERT_TRUE(r.outcome.best_config);
    EXPECT_EQ(r.outcome.best_config->gpu_layers, 32u) << ::testing::PrintToString(described(r.measured));
    EXPECT_EQ(r.outcome.best_config->quantization, Q::Q4_0) << ::testing::PrintToString(described(r.measured));
}

TEST(BayesianSearch, equal_throughput_keeps_the_earlier_best) {
    SearchRun r = search(two_runtime_space(), [](const RuntimeConfig&) -> Result<BenchmarkResult> {
        return BenchmarkResult{7.0, 1.0, 1};
    });
    ASSERT_TRUE(r.outcome.best_config);
    EXPECT_EQ(describe(*r.outcome.best_config), "LlamaCpp/Q4_K_M/4/6/0");
}

TEST(SuggestPoint, each_iteration_draws_its_own_candidates_and_skips_measured_ones) {
    std::vector<Observation> obs;
    for (uint64_t i = 1; i <= 8; ++i) obs.push_back({halton_point(i), static_cast<double>(i)});
    std::vector<std::vector<Point>> seen(3);
    for (int k = 0; k < 3; ++k) {
        auto x = suggest_point(obs, 0.25, 24, k, [&](const Point& p) {
            seen[k].push_back(p);
            return true;
        });
        ASSERT_TRUE(x);
        EXPECT_EQ(seen[k].size(), 24u);
    }
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b)
            for (const Point& p : seen[a]) EXPECT_EQ(std::ranges::count(seen[b], p), 0) << a << " and " << b;

    // A rejected point is never the answer, and with nothing acceptable there is none.
    const Point unrestricted = suggest_point(obs, 0.25, 24, 0);
    auto other = suggest_point(obs, 0.25, 24, 0, [&](const Point& p) { return p != unrestricted; });
    ASSERT_TRUE(other);
    EXPECT_NE(*other, unrestricted);
    EXPECT_FALSE(suggest_point(obs, 0.25, 24, 0, [](const Point&) { return false; }));
    EXPECT_FALSE(suggest_point({}, 0.25, 24, 0, [](const Point&) { return false; }));
}

TEST(BayesianSearch, near_tie_of_the_best_two_is_measured_again_and_decided_on_the_pooled_figures) {
    // Two configurations stand out by a margin inside their spread; the
    // first measurement favours one, the second (larger) the other.
    const SearchSpace space = two_runtime_space(0);  // eight configurations, measured whole
    const RuntimeConfig a{RuntimeKind::LlamaCpp, Q::Q4_0, 8, 0, 0};
    const RuntimeConfig b{RuntimeKind::LlamaCpp, Q::Q4_0, 16, 0, 0};
    std::mutex mu;
    std::map<std::string, int> seen;
    SearchRun r = search(space, [&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        int n;
        {
            std::lock_guard lock(mu);
            n = seen[describe(c)]++;
        }
        if (c == a) return BenchmarkResult{20.0, 50.0, 1, 1.0, 3};
        if (c == b) return BenchmarkResult{n == 0 ? 19.5 : 21.5, 50.0, 1, 1.0, 3};
        return BenchmarkResult{5.0, 200.0, 1, 0.5, 3};
    });
    EXPECT_EQ(r.measured.size(), 8u + 2u);
    EXPECT_EQ(r.outcome.measurements, 10u);
    EXPECT_EQ(std::ranges::count(r.measured, a), 2);
    EXPECT_EQ(std::ranges::count(r.measured, b), 2);
    ASSERT_TRUE(r.outcome.best_config);
    EXPECT_EQ(*r.outcome.best_config, b);
    EXPECT_DOUBLE_EQ(r.outcome.best_metrics->tokens_per_sec, 20.5);
    EXPECT_EQ(r.outcome.best_metrics->runs, 6u);
    EXPECT_THAT(r.log, HasSubstr("[Bayes tie] LlamaCpp/Q4_0/8 threads/0 gpu_layers and LlamaCpp/Q4_0/16 threads/0 "
                                 "gpu_layers are within each other's spread \u2014 measuring both again\n"));
}

// Measured again, both of a lucky pair can fall below a third configuration
// that was measured once: the best is the best of every figure held.
TEST(BayesianSearch, a_remeasured_pair_that_falls_below_a_third_configuration_loses_to_it) {
    const SearchSpace space = two_runtime_space(0);  // eight configurations, measured whole
    const RuntimeConfig a{RuntimeKind::LlamaCpp, Q::Q4_0, 8, 0, 0};
    const RuntimeConfig b{RuntimeKind::LlamaCpp, Q::Q4_0, 16, 0, 0};
    const RuntimeConfig c{RuntimeKind::LlamaCpp, Q::Q4_K_M, 8, 0, 0};
    std::mutex mu;
    std::map<std::string, int> seen;
    SearchRun r = search(space, [&](const RuntimeConfig& cfg) -> Result<BenchmarkResult> {
        int n;
        {
            std::lock_guard lock(mu);
            n = seen[describe(cfg)]++;
        }
        if (cfg == a) return BenchmarkResult{n == 0 ? 30.0 : 10.0, 50.0, 1, 2.0, 3};
        if (cfg == b) return BenchmarkResult{n == 0 ? 29.0 : 10.0, 50.0, 1, 2.0, 3};
        if (cfg == c) return BenchmarkResult{25.0, 50.0, 1, 0.5, 3};
        return BenchmarkResult{5.0, 200.0, 1, 0.5, 3};
    });
    EXPECT_EQ(std::ranges::count(r.measured, a), 2);
    EXPECT_EQ(std::ranges::count(r.measured, b), 2);
    ASSERT_TRUE(r.outcome.best_config);
    EXPECT_EQ(*r.outcome.best_config, c);
    EXPECT_DOUBLE_EQ(r.outcome.best_metrics->tokens_per_sec, 25.0);
}

TEST(BayesianSearch, clear_winner_or_figures_without_spread_are_not_measured_again) {
    SearchRun r = search(two_runtime_space(0), [](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return factor_surface(c);  // no spread: exact figures
    });
    EXPECT_EQ(r.measured.size(), 8u);
    EXPECT_THAT(r.log, ::testing::Not(HasSubstr("[Bayes tie]")));

    struct Case {
        BenchmarkResult a, b;
        bool tie;
    };
    for (const Case& c : {Case{{10.0, 1, 1, 1.0, 3}, {11.5, 1, 1, 1.0, 3}, true},
                          Case{{10.0, 1, 1, 1.0, 3}, {12.5, 1, 1, 1.0, 3}, false},
                          Case{{10.0, 1, 1}, {10.0, 1, 1}, false},
                          Case{{10.0, 1, 1, 0.0, 3}, {10.2, 1, 1, 0.5, 3}, true}})
        EXPECT_EQ(within_spread(c.a, c.b), c.tie) << c.a.tokens_per_sec << " vs " << c.b.tokens_per_sec;
}

TEST(BayesianSearch, every_measurement_failing_gives_no_best_and_sorted_reasons) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return fail(c.runtime == RuntimeKind::Ollama ? "b: ollama down" : "a: llama broke");
    });
    ::testing::internal::CaptureStderr();
    BayesianOutcome out = bayesian_search(two_runtime_space(), gguf_model(), machine(8, 16000), surface.measure());
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(out.best_config);
    EXPECT_EQ(out.failure_reasons, (std::vector<std::string>{"a: llama broke", "b: ollama down"}));
    EXPECT_THAT(log, HasSubstr("[Bayes iter 1/7] ERROR: "));
    EXPECT_EQ(surface.measured().size(), 12u);
}

}  // namespace
}  // namespace ferrolune::optimizer
