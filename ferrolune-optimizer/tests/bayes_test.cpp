#include "ferrolune/optimizer/bayes.h"

#include <cmath>

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

TEST(HaltonPoint, IndexZeroIsTheOriginAndLaterIndicesMirrorDigits) {
    expect_point_near(halton_point(0), {0, 0, 0, 0, 0}, 0);
    expect_point_near(halton_point(1), {0.5, 1.0 / 3, 0.2, 1.0 / 7, 1.0 / 11}, 1e-15);
    expect_point_near(halton_point(4), {0.125, 4.0 / 9, 0.8, 4.0 / 7, 4.0 / 11}, 1e-15);
    expect_point_near(halton_point(5), {0.625, 7.0 / 9, 0.04, 5.0 / 7, 5.0 / 11}, 1e-15);
}

TEST(PseudoRandomPoint, SeedsGiveTheirFixedSequences) {
    expect_point_near(pseudo_random_point(0), {0.0782087, 0.1016988, 0.6053233, 0.4012162, 0.3836258}, 1e-7);
    expect_point_near(pseudo_random_point(1), {0.4232092, 0.5094074, 0.6483594, 0.3828634, 0.7954477}, 1e-7);
    // The seed offset of the candidates wraps instead of overflowing.
    Point wrapped = pseudo_random_point(UINT64_MAX);
    for (double c : wrapped) {
        EXPECT_GE(c, 0.0);
        EXPECT_LT(c, 1.0);
    }
}

TEST(DecodePoint, FirstFiveHaltonPointsOfTheTwoRuntimeSpace) {
    const SearchSpace space = two_runtime_space();
    const std::vector<std::string> want = {"Ollama/Q4_K_M/4/6/128", "LlamaCpp/Q4_0/4/13/128",
                                           "Ollama/Q4_K_M/8/19/128", "LlamaCpp/Q4_K_M/8/26/256",
                                           "Ollama/Q4_0/16/1/256"};
    for (uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(describe(decode_point(space, halton_point(i))), want[i - 1]);
}

struct DecodeCase {
    const char* name;
    SearchSpace space;
    Point x;
    const char* want;
};

class DecodePointEdges : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodePointEdges, Decodes) {
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
        DecodeCase{"half_layer_rounds_away_from_zero", two_runtime_space(3), {0, 0, 0.5, 0, 0},
                   "LlamaCpp/Q4_K_M/4/2/128"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KdeDensity, EmptySetAndSinglePoint) {
    Point x{0.3, 0.1, 0.7, 0.2, 0.9};
    EXPECT_EQ(kde_density(x, {}), 1e-10);
    EXPECT_DOUBLE_EQ(kde_density(x, {x}), std::pow(1.0 / (0.212 * 2.5066282746310002), 5));
}

TEST(KdeDensity, IdenticalSamplesUseTheMinimumSpread) {
    // Zero standard deviation must not give a zero bandwidth (division by 0).
    Point x{0.5, 0.5, 0.5, 0.5, 0.5};
    double h = 0.01 * 1.06 * std::pow(2.0, -0.2);
    EXPECT_DOUBLE_EQ(kde_density(x, {x, x}), std::pow(1.0 / (h * 2.5066282746310002), 5));
}

TEST(SuggestPoint, FewObservationsUseTheSeedOfIterationPlusCount) {
    std::vector<Observation> obs = {{halton_point(1), 5.0}};
    expect_point_near(suggest_point(obs, 0.25, 24, 0), pseudo_random_point(1), 0);
    expect_point_near(suggest_point({}, 0.25, 24, 3), pseudo_random_point(3), 0);
}

TEST(SuggestPoint, PrefersCandidatesNearTheGoodObservations) {
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

TEST(BayesianSearch, ScriptedSurfaceGivesTwelveMeasurementsAndTheBest) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> { return factor_surface(c); });
    ::testing::internal::CaptureStderr();
    BayesianOutcome out = bayesian_search(two_runtime_space(), gguf_model(), machine(8, 16000), surface.measure());
    std::string log = ::testing::internal::GetCapturedStderr();

    std::vector<RuntimeConfig> measured = surface.measured();
    ASSERT_EQ(measured.size(), 12u);
    std::vector<std::string> got;
    for (const RuntimeConfig& c : measured) got.push_back(describe(c));
    // The initial five run concurrently, so their call order is free; the
    // refinements are one at a time.
    std::vector<std::string> initial(got.begin(), got.begin() + 5);
    std::ranges::sort(initial);
    EXPECT_EQ(initial, (std::vector<std::string>{"LlamaCpp/Q4_0/4/13/128", "LlamaCpp/Q4_K_M/8/26/256",
                                                 "Ollama/Q4_0/16/1/256", "Ollama/Q4_K_M/4/6/128",
                                                 "Ollama/Q4_K_M/8/19/128"}));
    for (int k = 5; k < 12; ++k) EXPECT_EQ(got[k], "LlamaCpp/Q4_0/8/28/256") << "refinement " << k - 4;

    ASSERT_TRUE(out.best_config);
    EXPECT_EQ(describe(*out.best_config), "LlamaCpp/Q4_0/8/28/256");
    EXPECT_DOUBLE_EQ(out.best_metrics->tokens_per_sec, 38.671875);
    EXPECT_TRUE(out.failure_reasons.empty());

    EXPECT_THAT(log, HasSubstr("[Bayes init 1/5] Ollama/Q4_K_M/4 threads/6 gpu_layers \u2192 8.3 tok/s\n"
                               "[Bayes init 2/5] LlamaCpp/Q4_0/4 threads/13 gpu_layers \u2192 17.6 tok/s\n"));
    EXPECT_THAT(log, HasSubstr("[Bayes iter 1/7] LlamaCpp/Q4_0/8 threads/28 gpu_layers\n"
                               "[Bayes iter 1/7] Result: 38.7 tok/s\n"));
    EXPECT_THAT(log, HasSubstr("[Bayes iter 7/7] Result: 38.7 tok/s\n"));
}

TEST(BayesianSearch, FailuresAreLoggedCollectedOnceAndFourFailuresSwitchTheSeed) {
    // The first four initial configurations fail with the same root cause.
    const SearchSpace space = two_runtime_space();
    std::vector<RuntimeConfig> failing;
    for (uint64_t i = 1; i <= 4; ++i) failing.push_back(decode_point(space, halton_point(i)));
    ScriptedSurface surface([&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (std::ranges::find(failing, c) != failing.end())
            return fail(Error("tool crashed").context("inference failed: tool crashed"));
        return BenchmarkResult{5.0, 200.0, 10};
    });
    ::testing::internal::CaptureStderr();
    BayesianOutcome out = bayesian_search(space, gguf_model(), machine(8, 16000), surface.measure());
    std::string log = ::testing::internal::GetCapturedStderr();

    EXPECT_THAT(log, HasSubstr("[Bayes init 1/5] Ollama/Q4_K_M \u2192 ERROR: inference failed: tool crashed\n"));
    EXPECT_EQ(out.failure_reasons, std::vector<std::string>{"tool crashed"});
    // One observation: the first refinement uses the pseudo-random point of seed 0 + 1.
    ASSERT_EQ(surface.measured().size(), 12u);
    EXPECT_EQ(surface.measured()[5], decode_point(space, pseudo_random_point(1)));
}

TEST(BayesianSearch, ThreeSuccessesSwitchTheFirstRefinementToTheDensityModel) {
    const SearchSpace space = two_runtime_space();
    const RuntimeConfig first = decode_point(space, halton_point(1));
    const RuntimeConfig second = decode_point(space, halton_point(2));
    ScriptedSurface surface([&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (c == first || c == second) return fail("down");
        return factor_surface(c);
    });
    ::testing::internal::CaptureStderr();
    bayesian_search(space, gguf_model(), machine(8, 16000), surface.measure());
    ::testing::internal::GetCapturedStderr();

    std::vector<Observation> observed;
    for (uint64_t i = 3; i <= 5; ++i)
        observed.push_back({halton_point(i), factor_surface(decode_point(space, halton_point(i))).tokens_per_sec});
    ASSERT_EQ(surface.measured().size(), 12u);
    EXPECT_EQ(surface.measured()[5], decode_point(space, suggest_point(observed, 0.25, 24, 0)));
    EXPECT_NE(surface.measured()[5], decode_point(space, pseudo_random_point(3)));
}

TEST(BayesianSearch, EqualThroughputKeepsTheEarlierBest) {
    ScriptedSurface surface([](const RuntimeConfig&) -> Result<BenchmarkResult> { return BenchmarkResult{7.0, 1.0, 1}; });
    ::testing::internal::CaptureStderr();
    BayesianOutcome out = bayesian_search(two_runtime_space(), gguf_model(), machine(8, 16000), surface.measure());
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(out.best_config);
    EXPECT_EQ(describe(*out.best_config), "Ollama/Q4_K_M/4/6/128");
}

TEST(BayesianSearch, EveryMeasurementFailingGivesNoBestAndSortedReasons) {
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
