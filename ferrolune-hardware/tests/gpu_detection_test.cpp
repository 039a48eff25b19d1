#include "gpu_detection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ferrolune/hardware/detect.h"

namespace ferrolune::hardware {
namespace {

namespace fs = std::filesystem;

struct NvidiaCase {
    const char* label;
    std::string output;
    std::optional<GpuInfo> expected;
};

GpuInfo nvidia(std::string name, uint64_t vram, std::optional<std::pair<uint32_t, uint32_t>> cc) {
    return GpuInfo{std::move(name), vram, cc, GpuVendor::Nvidia};
}

void expect_same(const std::optional<GpuInfo>& got, const std::optional<GpuInfo>& want) {
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!got) return;
    EXPECT_EQ(got->name, want->name);
    EXPECT_EQ(got->vram_mb, want->vram_mb);
    EXPECT_EQ(got->compute_capability, want->compute_capability);
    EXPECT_EQ(got->vendor, want->vendor);
}

class NvidiaSmi : public ::testing::TestWithParam<NvidiaCase> {};

TEST_P(NvidiaSmi, reads_the_first_card_line) { expect_same(parse_nvidia_smi(GetParam().output), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NvidiaSmi,
    ::testing::Values(
        NvidiaCase{"rtx4090", "NVIDIA GeForce RTX 4090, 24564, 8.9\n",
                   nvidia("NVIDIA GeForce RTX 4090", 24564, std::pair{8u, 9u})},
        NvidiaCase{"capability_not_available", "Tesla T4, 15360, [N/A]\n", nvidia("Tesla T4", 15360, std::nullopt)},
        NvidiaCase{"capability_without_minor", "Tesla T4, 15360, 7\n", nvidia("Tesla T4", 15360, std::nullopt)},
        NvidiaCase{"capability_extra_pieces", "A, 1, 9.0.1\n", nvidia("A", 1, std::pair{9u, 0u})},
        NvidiaCase{"two_cards_first_wins", "NVIDIA A100, 81920, 8.0\nNVIDIA H100, 81559, 9.0\n",
                   nvidia("NVIDIA A100", 81920, std::pair{8u, 0u})},
        NvidiaCase{"extra_fields_ignored", "  H100 , 81559 , 9.0 , extra\r\n", nvidia("H100", 81559, std::pair{9u, 0u})},
        NvidiaCase{"no_final_line_feed", "L4, 23034, 8.9", nvidia("L4", 23034, std::pair{8u, 9u})},
        NvidiaCase{"memory_not_a_number", "NVIDIA GeForce RTX 4090, [N/A], 8.9\n", std::nullopt},
        NvidiaCase{"too_few_fields", "NVIDIA GeForce RTX 4090, 24564\n", std::nullopt},
        NvidiaCase{"empty_first_line", "\nNVIDIA A100, 81920, 8.0\n", std::nullopt},
        NvidiaCase{"empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

struct AmdCase {
    const char* label;
    AmdTool tool;
    std::string output;
    std::optional<GpuInfo> expected;
};

GpuInfo amd(std::string name, uint64_t vram) { return GpuInfo{std::move(name), vram, std::nullopt, GpuVendor::Amd}; }

class AmdTable : public ::testing::TestWithParam<AmdCase> {};

TEST_P(AmdTable, reads_the_first_data_row) {
    expect_same(parse_amd_table(GetParam().output, GetParam().tool), GetParam().expected);
}

const char* const rocm_header = "device,Card series,Card model,VRAM Total Memory (B),VRAM Total Used Memory (B)\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, AmdTable,
    ::testing::Values(
        AmdCase{"rocm_bytes", AmdTool::RocmSmi,
                std::string(rocm_header) + "card0,Radeon RX 7900 XTX,0x744c,25753026560,12345\n",
                amd("Radeon RX 7900 XTX", 24560)},
        AmdCase{"rocm_exactly_a_million_is_mib", AmdTool::RocmSmi, std::string(rocm_header) + "card0,MI,0x1,1000000,0\n",
                amd("MI", 1000000)},
        AmdCase{"rocm_just_over_a_million_is_bytes", AmdTool::RocmSmi,
                std::string(rocm_header) + "card0,MI,0x1,1000001,0\n", amd("MI", 0)},
        AmdCase{"rocm_blank_lines_and_second_card", AmdTool::RocmSmi,
                std::string("\n  \n") + rocm_header + "\ncard0,First,0x1,16384,0\ncard1,Second,0x1,8192,0\n",
                amd("First", 16384)},
        AmdCase{"rocm_header_lower_cased_fully", AmdTool::RocmSmi, "DEVICE,CARD SERIES,VRAM\ncard0,W7900,49152\n",
                amd("W7900", 49152)},
        AmdCase{"rocm_empty_name", AmdTool::RocmSmi, std::string(rocm_header) + "card0,,0x1,16384,0\n", std::nullopt},
        AmdCase{"rocm_no_memory_column", AmdTool::RocmSmi, "device,Card series\ncard0,W7900\n", std::nullopt},
        AmdCase{"rocm_row_too_short", AmdTool::RocmSmi, std::string(rocm_header) + "card0,W7900,0x1\n", std::nullopt},
        AmdCase{"rocm_memory_not_a_number", AmdTool::RocmSmi, std::string(rocm_header) + "card0,W7900,0x1,N/A,0\n",
                std::nullopt},
        AmdCase{"rocm_no_data_row", AmdTool::RocmSmi, rocm_header, std::nullopt},
        AmdCase{"amd_smi_columns", AmdTool::AmdSmi, "gpu,gfx,name,vram_used,mem_total\n0,10,MI300X,100,196592\n",
                amd("MI300X", 100)},
        AmdCase{"amd_smi_mem_total", AmdTool::AmdSmi, "gpu,product_name,mem_total\n0,MI250,65536\n",
                amd("MI250", 65536)},
        // "card" names a column only for rocm-smi.
        AmdCase{"amd_smi_ignores_card", AmdTool::AmdSmi, "card,vram\nMI250,65536\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// Puts fake vendor tools in a temporary directory that alone forms PATH, and
// restores PATH afterwards.
class FakeTools : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ferrolune-gpu-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        const char* old = std::getenv("PATH");
        old_path_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("PATH", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (old_path_)
            ::setenv("PATH", old_path_->c_str(), 1);
        else
            ::unsetenv("PATH");
        fs::remove_all(dir_);
    }

    // A tool that records its arguments, prints `output` and exits with `status`.
    void tool(const std::string& name, const std::string& output, int status = 0) {
        std::ofstream(dir_ / (name + ".out"), std::ios::binary) << output;
        fs::path script = dir_ / name;
        std::ofstream(script) << "#!/bin/sh\n"
                              << "for a in \"$@\"; do echo \"$a\"; done > '" << (dir_ / (name + ".args")).string()
                              << "'\n/bin/cat '" << (dir_ / (name + ".out")).string() << "'\nexit " << status << "\n";
        fs::permissions(script, fs::perms::owner_all);
    }

    bool ran(const std::string& name) const { return fs::exists(dir_ / (name + ".args")); }
    std::string args(const std::string& name) const {
        std::ifstream in(dir_ / (name + ".args"));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    std::optional<std::string> old_path_;
};

TEST_F(FakeTools, nvidia_card_is_taken_and_amd_tools_are_not_asked) {
    tool("nvidia-smi", "NVIDIA GeForce RTX 4090, 24564, 8.9\n");
    tool("rocm-smi", std::string(rocm_header) + "card0,W7900,0x1,49152,0\n");
    HardwareProfile p = detect();
    ASSERT_TRUE(p.gpu);
    EXPECT_EQ(p.gpu->name, "NVIDIA GeForce RTX 4090");
    EXPECT_EQ(args("nvidia-smi"), "--query-gpu=name,memory.total,compute_cap\n--format=csv,noheader,nounits\n");
    EXPECT_FALSE(ran("rocm-smi"));
}

TEST_F(FakeTools, failing_nvidia_tool_falls_through_to_rocm_smi) {
    tool("nvidia-smi", "NVIDIA GeForce RTX 4090, 24564, 8.9\n", 9);  // output of a failed run is ignored
    tool("rocm-smi", std::string(rocm_header) + "card0,Radeon RX 7900 XTX,0x744c,25753026560,0\n");
    auto gpu = detect_nvidia_gpu();
    EXPECT_FALSE(gpu);
    HardwareProfile p = detect();
    ASSERT_TRUE(p.gpu);
    EXPECT_EQ(p.gpu->vendor, GpuVendor::Amd);
    EXPECT_EQ(p.gpu->vram_mb, 24560u);
    EXPECT_EQ(args("rocm-smi"), "--showproductname\n--showmeminfo\nvram\n--csv\n");
}

TEST_F(FakeTools, unreadable_nvidia_memory_and_empty_rocm_name_reach_amd_smi) {
    tool("nvidia-smi", "NVIDIA GeForce RTX 4090, [N/A], 8.9\n");
    tool("rocm-smi", std::string(rocm_header) + "card0,,0x1,16384,0\n");
    tool("amd-smi", "gpu,name,mem_total\n0,MI300X,196592\n");
    auto gpu = detect_amd_gpu();
    ASSERT_TRUE(gpu);
    EXPECT_EQ(gpu->name, "MI300X");
    EXPECT_EQ(args("amd-smi"), "monitor\n--gpu\n--csv\n");
}

TEST_F(FakeTools, nothing_installed_gives_no_gpu_and_full_cpu_and_memory) {
    HardwareProfile p = detect();
    EXPECT_FALSE(p.gpu);
    EXPECT_GE(p.cpu.core_count, 1u);
    EXPECT_FALSE(p.cpu.brand.empty());
    EXPECT_GT(p.ram.total_mb, 0u);
}

}  // namespace
}  // namespace ferrolune::hardware
