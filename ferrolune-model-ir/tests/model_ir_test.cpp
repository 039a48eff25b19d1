#include "ferrolune/model_ir/model_ir.h"

#include <gtest/gtest.h>

#include <limits>

namespace ferrolune {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

struct KvCase {
    const char* name;
    std::optional<uint64_t> l, e, c, h, k;
    std::optional<double> expected;
};

class KvCache : public ::testing::TestWithParam<KvCase> {};

TEST_P(KvCache, follows_the_formula) {
    const auto& p = GetParam();
    EXPECT_EQ(kv_cache_size_mb(p.l, p.e, p.c, p.h, p.k), p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KvCache,
    ::testing::Values(KvCase{"grouped_query", 32, 4096, 8192, 32, 8, 1024.0},
                      KvCase{"kv_heads_fall_back_to_heads", 32, 4096, 8192, 32, std::nullopt, 4096.0},
                      KvCase{"zero_heads_is_absent_not_infinite", 32, 4096, 8192, 0, 8, std::nullopt},
                      KvCase{"missing_context", 32, 4096, std::nullopt, 32, 8, std::nullopt},
                      KvCase{"fractional_head_width_kept", 1, 10, 1048576, 4, 1, 2.0 * 2.5 * 1048576 * 2 / 1048576},
                      KvCase{"context_beyond_32_bits", 1, 1, 4294967296ull, 1, 1, 16384.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelIr, parameter_metrics_follow_the_count) {
    ModelIR ir;
    ir.param_count = 7'000'000'000ull;
    derive_param_metrics(ir);
    EXPECT_EQ(ir.memory_footprint_mb, 13351.4404296875);
    EXPECT_EQ(ir.flops_per_token, 14'000'000'000.0);
    ir.param_count.reset();
    derive_param_metrics(ir);
    EXPECT_FALSE(ir.memory_footprint_mb);
    EXPECT_FALSE(ir.flops_per_token);
}

TEST(ModelIr, estimate_saturates_instead_of_wrapping) {
    EXPECT_EQ(estimate_param_count(32, 4096), 12ull * 32 * 4096 * 4096);
    EXPECT_EQ(estimate_param_count(0, kMax), 0u);
    EXPECT_EQ(estimate_param_count(1, 1ull << 32), kMax);  // E^2 alone overflows
    EXPECT_EQ(estimate_param_count(kMax / 11, 1), kMax);   // 12 * L overflows
    EXPECT_EQ(saturating_add(kMax, 1), kMax);
}

}  // namespace
}  // namespace ferrolune
