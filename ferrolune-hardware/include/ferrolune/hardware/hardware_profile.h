// The machine the optimizer plans for: processor, optional GPU, memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ferrolune {

enum class SimdLevel { None, AVX, AVX2, AVX512 };
enum class GpuVendor { Nvidia, Amd, Apple, Unknown };

std::string_view to_string(SimdLevel s);
std::string_view to_string(GpuVendor v);

struct CpuInfo {
    uint32_t core_count = 0;
    std::string brand;
    SimdLevel simd_level = SimdLevel::None;
};

struct GpuInfo {
    std::string name;
    uint64_t vram_mb = 0;
    std::optional<std::pair<uint32_t, uint32_t>> compute_capability;
    GpuVendor vendor = GpuVendor::Unknown;
};

struct RamInfo {
    uint64_t total_mb = 0;
    uint64_t available_mb = 0;
};

struct HardwareProfile {
    CpuInfo cpu;
    std::optional<GpuInfo> gpu;
    RamInfo ram;
};

// Compact JSON in member order; never fails.
std::string to_json(const HardwareProfile& p);

}  // namespace ferrolune
