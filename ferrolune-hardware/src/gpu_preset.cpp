#include "ferrolune/hardware/gpu_preset.h"

#include <array>

#include "ferrolune/core/text.h"

namespace ferrolune {

namespace {

struct Preset {
    std::string_view key;
    std::string_view name;
    uint64_t vram_mb;
    uint32_t major, minor;
};

constexpr std::array<Preset, 23> presets{{
    {"4090", "NVIDIA GeForce RTX 4090", 24576, 8, 9},
    {"rtx4090", "NVIDIA GeForce RTX 4090", 24576, 8, 9},
    {"4080", "NVIDIA GeForce RTX 4080", 16384, 8, 9},
    {"rtx4080", "NVIDIA GeForce RTX 4080", 16384, 8, 9},
    {"4070ti", "NVIDIA GeForce RTX 4070 Ti", 12288, 8, 9},
    {"rtx4070ti", "NVIDIA GeForce RTX 4070 Ti", 12288, 8, 9},
    {"4070", "NVIDIA GeForce RTX 4070", 12288, 8, 9},
    {"rtx4070", "NVIDIA GeForce RTX 4070", 12288, 8, 9},
    {"3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
    {"rtx3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
    {"3080", "NVIDIA GeForce RTX 3080", 10240, 8, 6},
    {"rtx3080", "NVIDIA GeForce RTX 3080", 10240, 8, 6},
    {"3070", "NVIDIA GeForce RTX 3070", 8192, 8, 6},
    {"rtx3070", "NVIDIA GeForce RTX 3070", 8192, 8, 6},
    {"3060", "NVIDIA GeForce RTX 3060", 12288, 8, 6},
    {"rtx3060", "NVIDIA GeForce RTX 3060", 12288, 8, 6},
    {"2080ti", "NVIDIA GeForce RTX 2080 Ti", 11264, 7, 5},
    {"rtx2080ti", "NVIDIA GeForce RTX 2080 Ti", 11264, 7, 5},
    {"2080", "NVIDIA GeForce RTX 2080", 8192, 7, 5},
    {"rtx2080", "NVIDIA GeForce RTX 2080", 8192, 7, 5},
    {"a100", "NVIDIA A100", 81920, 8, 0},
    {"a10g", "NVIDIA A10G", 24576, 8, 6},
    {"h100", "NVIDIA H100", 81920, 9, 0},
}};

}  // namespace

std::string normalise_gpu_name(std::string_view text) {
    std::string lower = text::unicode_lower(text);
    std::string out;
    out.reserve(lower.size());
    for (char c : lower)
        if (c != ' ' && c != '-') out.push_back(c);
    return out;
}

Result<std::optional<GpuInfo>> gpu_preset(std::optional<std::string_view> text) {
    if (!text) return std::optional<GpuInfo>();
    std::string key = normalise_gpu_name(*text);
    if (key.empty() || key == "cpu") return std::optional<GpuInfo>();
    for (const Preset& p : presets) {
        if (p.key != key) continue;
        return GpuInfo{std::string(p.name), p.vram_mb, std::pair{p.major, p.minor}, GpuVendor::Nvidia};
    }
    return failf("Unknown GPU model: '{}'. Try: 4090, 4080, 3090, 3080, 3070, 2080ti, a100, h100, or 'cpu'", key);
}

}  // namespace ferrolune
