#include "ferrolune/runtime/measurement_limits.h"

#include <gtest/gtest.h>

#include "ferrolune/testing/case_name.h"
#include "test_support.h"

namespace ferrolune {
namespace {

struct EstimateCase {
    std::optional<uint64_t> params;
    QuantizationStrategy q;
    uint64_t expected;
};

class MemoryEstimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(MemoryEstimate, is_params_times_bytes_per_param_in_megabytes) {
    EXPECT_EQ(estimate_memory_mb(GetParam().params, GetParam().q), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryEstimate,
    ::testing::Values(EstimateCase{7'000'000'000, QuantizationStrategy::Q4_K_M, 3500},
                      EstimateCase{7'000'000'000, QuantizationStrategy::F16, 14000},
                      EstimateCase{7'000'000'000, QuantizationStrategy::Int8, 7000},
                      EstimateCase{std::nullopt, QuantizationStrategy::F16, 0},
                      EstimateCase{1'999'999, QuantizationStrategy::Q8_0, 1},  // truncated, not rounded
                      EstimateCase{9'007'199'254'740'992, QuantizationStrategy::F16, 18'014'398'509}),
    [](const auto& info) {
        return std::string(to_string(info.param.q)) + "_" + (info.param.params ? std::to_string(*info.param.params) : "unknown");
    });

struct LimitCase {
    std::optional<std::string> env;
    std::optional<long> seconds;
};

class BenchTimeLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(BenchTimeLimit, comes_from_the_environment) {
    testing::ScopedEnv env("FERROLUNE_BENCH_TIMEOUT_S", GetParam().env);
    auto limit = bench_time_limit();
    ASSERT_EQ(limit.has_value(), GetParam().seconds.has_value());
    if (limit) EXPECT_EQ(limit->count(), *GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Cases, BenchTimeLimit,
                         ::testing::Values(LimitCase{std::nullopt, 600}, LimitCase{"0", std::nullopt},
                                           LimitCase{"45", 45}, LimitCase{" 7 ", 7}, LimitCase{"abc", 600},
                                           LimitCase{"-3", 600}, LimitCase{"1.5", 600}),
                         [](const auto& info) { return info.param.env ? testing::case_name(*info.param.env) : "unset"; });

}  // namespace
}  // namespace ferrolune
