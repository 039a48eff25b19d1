#include "ferrolune/hardware/gpu_preset.h"

#include <gtest/gtest.h>

#include "ferrolune/testing/case_name.h"

namespace ferrolune {
namespace {

struct PresetCase {
    const char* text;
    const char* name;  // null: no GPU
    uint64_t vram_mb;
    uint32_t major, minor;
};

class Preset : public ::testing::TestWithParam<PresetCase> {};

TEST_P(Preset, normalises_and_looks_up) {
    const auto& c = GetParam();
    auto r = gpu_preset(std::string_view(c.text));
    ASSERT_TRUE(r) << r.error().render();
    if (!c.name) {
        EXPECT_FALSE(r->has_value());
        return;
    }
    ASSERT_TRUE(r->has_value());
    const GpuInfo& g = **r;
    EXPECT_EQ(g.name, c.name);
    EXPECT_EQ(g.vram_mb, c.vram_mb);
    EXPECT_EQ(g.compute_capability, (std::pair{c.major, c.minor}));
    EXPECT_EQ(g.vendor, GpuVendor::Nvidia);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Preset,
    ::testing::Values(PresetCase{"RTX 3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
                      PresetCase{"rtx-3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
                      PresetCase{"Rtx3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
                      PresetCase{"3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
                      PresetCase{"RTX 4070 Ti", "NVIDIA GeForce RTX 4070 Ti", 12288, 8, 9},
                      PresetCase{"4070", "NVIDIA GeForce RTX 4070", 12288, 8, 9},
                      PresetCase{"2080 TI", "NVIDIA GeForce RTX 2080 Ti", 11264, 7, 5},
                      PresetCase{"A100", "NVIDIA A100", 81920, 8, 0},
                      PresetCase{"a10g", "NVIDIA A10G", 24576, 8, 6},
                      PresetCase{"H100", "NVIDIA H100", 81920, 9, 0},
                      PresetCase{"CPU", nullptr, 0, 0, 0}, PresetCase{"cpu", nullptr, 0, 0, 0},
                      PresetCase{"c p u", nullptr, 0, 0, 0}, PresetCase{"", nullptr, 0, 0, 0},
                      PresetCase{" - -", nullptr, 0, 0, 0}),
    [](const auto& info) { return testing::case_name(info.param.text); });

struct UnknownCase {
    const char* text;
    const char* normalised;
};

class UnknownPreset : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownPreset, names_the_normalised_text) {
    auto r = gpu_preset(std::string_view(GetParam().text));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), std::string("Unknown GPU model: '") + GetParam().normalised +
                                      "'. Try: 4090, 4080, 3090, 3080, 3070, 2080ti, a100, h100, or 'cpu'");
}

INSTANTIATE_TEST_SUITE_P(Cases, UnknownPreset,
                         ::testing::Values(UnknownCase{"NVIDIA RTX 4090", "nvidiartx4090"},
                                           UnknownCase{"4090\t", "4090\t"},
                                           UnknownCase{"RTX A100", "rtxa100"},
                                           UnknownCase{"4090\xC2\xA0", "4090\xC2\xA0"},  // no-break space stays
                                           UnknownCase{"\xC3\x84" "100", "\xC3\xA4" "100"}),
                         [](const auto& info) { return testing::case_name(info.param.text); });

TEST(Preset, absent_text_means_no_gpu) {
    auto r = gpu_preset(std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->has_value());
}

}  // namespace
}  // namespace ferrolune
