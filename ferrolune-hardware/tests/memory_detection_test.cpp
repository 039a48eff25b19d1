#include "memory_detection.h"

#include <gtest/gtest.h>

namespace ferrolune::hardware {
namespace {

struct MeminfoCase {
    const char* label;
    std::string text;
    std::optional<uint64_t> total_mb;  // absent: the sysinfo fallback is needed
    uint64_t available_mb;
};

class Meminfo : public ::testing::TestWithParam<MeminfoCase> {};

TEST_P(Meminfo, reads_total_and_available_in_mib) {
    const auto& c = GetParam();
    auto ram = parse_meminfo(c.text);
    ASSERT_EQ(ram.has_value(), c.total_mb.has_value());
    if (!ram) return;
    EXPECT_EQ(ram->total_mb, *c.total_mb);
    EXPECT_EQ(ram->available_mb, c.available_mb);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Meminfo,
    ::testing::Values(
        MeminfoCase{"typical", "MemTotal:       16315376 kB\nMemFree:  1 kB\nMemAvailable:    8000000 kB\n", 15932u,
                    7812},
        MeminfoCase{"no_available_line", "MemTotal: 2048 kB\nMemFree: 1024 kB\n", 2u, 0},
        // Without a blank the second token is the unit, so the total is unknown.
        MeminfoCase{"no_blank_after_colon", "MemTotal:16315376 kB\nMemAvailable: 8000000 kB\n", std::nullopt, 0},
        MeminfoCase{"plus_sign", "MemTotal: +4096 kB\r\nMemAvailable: +2048 kB\r\n", 4u, 2},
        MeminfoCase{"unit_not_checked", "MemTotal: 3072 MB\n", 3u, 0},
        MeminfoCase{"overflow", "MemTotal: 18446744073709551616 kB\n", std::nullopt, 0},
        MeminfoCase{"first_values_win", "MemTotal: 1024 kB\nMemAvailable: 1024 kB\nMemTotal: 999999 kB\n", 1u, 1},
        MeminfoCase{"bare_key_too_short", "MemTotal:\nMemTotal: 1024 kB\n", 1u, 0},
        MeminfoCase{"invalid_utf8", std::string("MemTotal: 1024 kB\n\xff\n"), std::nullopt, 0},
        MeminfoCase{"empty", "", std::nullopt, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Memory, sysinfo_fallback_reports_a_total) {
    EXPECT_GT(sysinfo_memory().total_mb, 0u);
}

}  // namespace
}  // namespace ferrolune::hardware
