#include "cpu_detection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace ferrolune::hardware {
namespace {

// CPUID leaves from a table; unknown leaves read as zero.
CpuidFunction fake_cpuid(std::map<uint32_t, CpuidRegisters> leaves) {
    return [leaves = std::move(leaves)](uint32_t leaf, uint32_t) {
        auto it = leaves.find(leaf);
        return it == leaves.end() ? CpuidRegisters{} : it->second;
    };
}

// The three brand leaves holding `brand` (padded with zero bytes to 48).
CpuidFunction brand_cpuid(std::string brand) {
    brand.resize(48, '\0');
    std::map<uint32_t, CpuidRegisters> leaves{{0x80000000u, {0x80000008u, 0, 0, 0}}};
    for (uint32_t i = 0; i < 3; ++i) {
        CpuidRegisters r;
        std::memcpy(&r.eax, brand.data() + 16 * i, 4);
        std::memcpy(&r.ebx, brand.data() + 16 * i + 4, 4);
        std::memcpy(&r.ecx, brand.data() + 16 * i + 8, 4);
        std::memcpy(&r.edx, brand.data() + 16 * i + 12, 4);
        leaves[0x80000002u + i] = r;
    }
    return fake_cpuid(leaves);
}

FileReader fake_files(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const std::string& path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

TEST(CpuBrand, reads_the_extended_leaves_and_trims_them) {
    EXPECT_EQ(cpuid_brand(brand_cpuid("   Intel(R) Core(TM) i9-13900K  ")), "Intel(R) Core(TM) i9-13900K");
    EXPECT_EQ(cpuid_brand(brand_cpuid(std::string(48, 'x'))), std::string(48, 'x'));
    EXPECT_EQ(cpuid_brand(brand_cpuid("\xff\xfe bad")), "Invalid Processor Brand String");
}

TEST(CpuBrand, falls_back_to_cpuinfo_when_the_leaves_are_blank_or_missing) {
    auto files = fake_files({{"/proc/cpuinfo", "processor\t: 0\nmodel name\t: AMD EPYC 7B13\n"}});
    EXPECT_EQ(cpu_brand(brand_cpuid("            "), files), "AMD EPYC 7B13");
    EXPECT_EQ(cpu_brand(fake_cpuid({{0x80000000u, {0x80000001u, 0, 0, 0}}}), files), "AMD EPYC 7B13");
    EXPECT_EQ(cpu_brand(brand_cpuid("   "), fake_files({})), "Unknown");
}

struct CpuinfoCase {
    const char* label;
    std::optional<std::string> text;
    std::string brand;
};

class CpuinfoBrand : public ::testing::TestWithParam<CpuinfoCase> {};

TEST_P(CpuinfoBrand, takes_the_first_model_name_line) {
    const auto& c = GetParam();
    EXPECT_EQ(cpuinfo_brand(c.text ? std::optional<std::string_view>(*c.text) : std::nullopt), c.brand);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CpuinfoBrand,
    ::testing::Values(
        CpuinfoCase{"plain", "processor\t: 0\nmodel name\t: Xeon\nmodel name\t: Other\n", "Xeon"},
        CpuinfoCase{"colon_in_value", "model name\t: CPU: fast one\n", "CPU: fast one"},
        CpuinfoCase{"empty_value", "model name\t:\n", ""},
        CpuinfoCase{"crlf", "model name : Xeon\r\n", "Xeon"},
        CpuinfoCase{"no_colon_in_first_line", "model name Xeon\nmodel name: Later\n", "Unknown"},
        CpuinfoCase{"prefix_only", "model names: many\n", "many"},
        CpuinfoCase{"case_sensitive", "Model Name: Xeon\n", "Unknown"},
        CpuinfoCase{"no_line", "processor: 0\n", "Unknown"},
        CpuinfoCase{"invalid_utf8", std::string("model name: X\xff\n"), "Unknown"},
        CpuinfoCase{"unreadable", std::nullopt, "Unknown"}),
    [](const auto& info) { return std::string(info.param.label); });

struct SimdCase {
    const char* label;
    uint32_t max_leaf;
    uint32_t leaf7_ebx;
    uint32_t leaf1_ecx;
    SimdLevel expected;
};

class Simd : public ::testing::TestWithParam<SimdCase> {};

TEST_P(Simd, decides_from_feature_bits) {
    const auto& c = GetParam();
    auto cpuid = fake_cpuid({{0, {c.max_leaf, 0, 0, 0}}, {1, {0, 0, c.leaf1_ecx, 0}}, {7, {0, c.leaf7_ebx, 0, 0}}});
    EXPECT_EQ(simd_level(cpuid), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Simd,
    ::testing::Values(SimdCase{"avx512", 13, (1u << 16) | (1u << 5), 1u << 28, SimdLevel::AVX512},
                      SimdCase{"avx512_without_avx2", 13, 1u << 16, 0, SimdLevel::AVX512},
                      SimdCase{"avx2", 13, 1u << 5, 1u << 28, SimdLevel::AVX2},
                      SimdCase{"avx", 13, 0, 1u << 28, SimdLevel::AVX},
                      // Leaf 7 is not consulted below its maximum.
                      SimdCase{"leaf7_unavailable", 6, 1u << 16, 1u << 28, SimdLevel::AVX},
                      SimdCase{"nothing", 13, 0, 0, SimdLevel::None},
                      SimdCase{"no_basic_leaves", 0, 1u << 16, 1u << 28, SimdLevel::None}),
    [](const auto& info) { return std::string(info.param.label); });

const char* const v2_mountinfo =
    "24 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
    "30 24 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

const char* const v1_mountinfo =
    "24 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
    "33 25 0:29 / /sys/fs/cgroup/cpu,cpuacct rw shared:10 - cgroup cgroup rw,cpu,cpuacct\n"
    "34 25 0:30 / /sys/fs/cgroup/memory rw shared:11 - cgroup cgroup rw,memory\n";

struct QuotaCase {
    const char* label;
    std::map<std::string, std::string> files;
    std::optional<uint32_t> limit;
};

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, rounds_the_smallest_quota_up) {
    EXPECT_EQ(cgroup_cpu_limit(fake_files(GetParam().files)), GetParam().limit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CgroupQuota,
    ::testing::Values(
        QuotaCase{"v2_one_and_a_half",
                  {{"/proc/self/cgroup", "0::/app\n"},
                   {"/proc/self/mountinfo", v2_mountinfo},
                   {"/sys/fs/cgroup/app/cpu.max", "150000 100000\n"}},
                  2u},
        QuotaCase{"v2_unlimited",
                  {{"/proc/self/cgroup", "0::/app\n"},
                   {"/proc/self/mountinfo", v2_mountinfo},
                   {"/sys/fs/cgroup/app/cpu.max", "max 100000\n"}},
                  std::nullopt},
        QuotaCase{"v2_parent_is_tighter",
                  {{"/proc/self/cgroup", "0::/outer/inner\n"},
                   {"/proc/self/mountinfo", v2_mountinfo},
                   {"/sys/fs/cgroup/outer/inner/cpu.max", "400000 100000\n"},
                   {"/sys/fs/cgroup/outer/cpu.max", "100000 100000\n"}},
                  1u},
        QuotaCase{"v2_container_root_is_the_group",
                  {{"/proc/self/cgroup", "0::/\n"},
                   {"/proc/self/mountinfo",
                    "30 24 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n"},
                   {"/sys/fs/cgroup/cpu.max", "250000 100000\n"}},
                  3u},
        QuotaCase{"v1_quota",
                  {{"/proc/self/cgroup", "5:memory:/job\n4:cpu,cpuacct:/job\n"},
                   {"/proc/self/mountinfo", v1_mountinfo},
                   {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "150000\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
                  2u},
        QuotaCase{"v1_unlimited",
                  {{"/proc/self/cgroup", "4:cpu,cpuacct:/job\n"},
                   {"/proc/self/mountinfo", v1_mountinfo},
                   {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
                  std::nullopt},
        QuotaCase{"zero_period_ignored",
                  {{"/proc/self/cgroup", "0::/app\n"},
                   {"/proc/self/mountinfo", v2_mountinfo},
                   {"/sys/fs/cgroup/app/cpu.max", "150000 0\n"}},
                  std::nullopt},
        QuotaCase{"no_cgroup_files", {}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CoreCount, quota_caps_the_affinity_mask) {
    EXPECT_EQ(logical_core_count(2u, 8u, 64), 2u);
    EXPECT_EQ(logical_core_count(16u, 8u, 64), 8u);  // never more than the mask
    EXPECT_EQ(logical_core_count(std::nullopt, 8u, 64), 8u);
    EXPECT_EQ(logical_core_count(std::nullopt, std::nullopt, 12), 12u);
    EXPECT_EQ(logical_core_count(std::nullopt, std::nullopt, -1), 1u);
}

TEST(CoreCount, one_and_a_half_cpus_of_quota_on_eight_give_two) {
    auto files = fake_files({{"/proc/self/cgroup", "0::/app\n"},
                             {"/proc/self/mountinfo", v2_mountinfo},
                             {"/sys/fs/cgroup/app/cpu.max", "150000 100000\n"}});
    EXPECT_EQ(logical_core_count(cgroup_cpu_limit(files), 8u, 8), 2u);
}

}  // namespace
}  // namespace ferrolune::hardware
