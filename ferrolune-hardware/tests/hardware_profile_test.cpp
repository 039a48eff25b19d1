#include "ferrolune/hardware/hardware_profile.h"

#include <gtest/gtest.h>

namespace ferrolune {
namespace {

struct JsonCase {
    const char* label;
    HardwareProfile profile;
    const char* json;
};

class ProfileJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ProfileJson, writes_compact_members_in_order) { EXPECT_EQ(to_json(GetParam().profile), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileJson,
    ::testing::Values(
        JsonCase{"no_gpu",
                 {{8, "AMD EPYC", SimdLevel::AVX2}, std::nullopt, {16000, 8000}},
                 R"({"cpu":{"core_count":8,"brand":"AMD EPYC","simd_level":"AVX2"},"gpu":null,)"
                 R"("ram":{"total_mb":16000,"available_mb":8000}})"},
        JsonCase{"nvidia",
                 {{16, "i9", SimdLevel::AVX512},
                  GpuInfo{"NVIDIA GeForce RTX 4090", 24564, std::pair{8u, 9u}, GpuVendor::Nvidia},
                  {32000, 1}},
                 R"({"cpu":{"core_count":16,"brand":"i9","simd_level":"AVX512"},)"
                 R"("gpu":{"name":"NVIDIA GeForce RTX 4090","vram_mb":24564,"compute_capability":[8,9],)"
                 R"("vendor":"Nvidia"},"ram":{"total_mb":32000,"available_mb":1}})"},
        JsonCase{"amd_without_capability",
                 {{1, "x", SimdLevel::None}, GpuInfo{"MI300X", 196592, std::nullopt, GpuVendor::Amd}, {0, 0}},
                 R"({"cpu":{"core_count":1,"brand":"x","simd_level":"None"},)"
                 R"("gpu":{"name":"MI300X","vram_mb":196592,"compute_capability":null,"vendor":"Amd"},)"
                 R"("ram":{"total_mb":0,"available_mb":0}})"},
        JsonCase{"escapes_and_extremes",
                 {{4294967295u, "Caf\xC3\xA9 \"8\\core\"\t\x01", SimdLevel::AVX},
                  GpuInfo{"g", 18446744073709551615ull, std::nullopt, GpuVendor::Apple},
                  {18446744073709551615ull, 18446744073709551615ull}},
                 R"({"cpu":{"core_count":4294967295,"brand":"Caf)"
                 "\xC3\xA9"
                 R"( \"8\\core\"\t\u0001","simd_level":"AVX"},)"
                 R"("gpu":{"name":"g","vram_mb":18446744073709551615,"compute_capability":null,"vendor":"Apple"},)"
                 R"("ram":{"total_mb":18446744073709551615,"available_mb":18446744073709551615}})"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace ferrolune
