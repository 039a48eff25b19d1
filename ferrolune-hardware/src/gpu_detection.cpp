#include "gpu_detection.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"
#include "ferrolune/hardware/detect.h"

namespace ferrolune::hardware {

namespace {

// Standard output of a tool that exited normally with status 0, decoded
// lossily; nothing when it could not start or failed.
std::optional<std::string> run_tool(const char* program, std::vector<std::string> args) {
    process::Command cmd;
    cmd.program = program;
    cmd.args = std::move(args);
    cmd.stdin_mode = process::Input::Null;
    cmd.stdout_mode = process::Output::Capture;
    cmd.stderr_mode = process::Output::Capture;
    auto done = process::run(cmd);
    if (!done || !done->success()) return std::nullopt;
    return text::decode_utf8_lossy(done->stdout_bytes);
}

std::vector<std::string_view> trimmed_fields(std::string_view line) {
    std::vector<std::string_view> fields = text::split(line, ',');
    for (auto& f : fields) f = text::trim(f);
    return fields;
}

std::optional<size_t> find_column(const std::vector<std::string_view>& header,
                                  std::initializer_list<std::string_view> needles) {
    for (size_t i = 0; i < header.size(); ++i) {
        std::string lower = text::unicode_lower(header[i]);
        for (std::string_view needle : needles)
            if (lower.find(needle) != std::string::npos) return i;
    }
    return std::nullopt;
}

}  // namespace

std::optional<GpuInfo> parse_nvidia_smi(std::string_view output) {
    std::vector<std::string_view> lines = text::split_lines(output);
    if (lines.empty()) return std::nullopt;
    // One line per card; only the first card counts.
    std::vector<std::string_view> fields = text::split(text::trim(lines.front()), ',');
    if (fields.size() < 3) return std::nullopt;

    GpuInfo gpu;
    gpu.name = std::string(text::trim(fields[0]));
    auto vram = text::parse_unsigned<uint64_t>(text::trim(fields[1]));
    if (!vram) return std::nullopt;
    gpu.vram_mb = *vram;
    // "[N/A]" and other non-numbers leave the capability absent, not the card.
    std::vector<std::string_view> pieces = text::split(text::trim(fields[2]), '.');
    if (pieces.size() >= 2) {
        auto major = text::parse_unsigned<uint32_t>(text::trim(pieces[0]));
        auto minor = text::parse_unsigned<uint32_t>(text::trim(pieces[1]));
        if (major && minor) gpu.compute_capability = std::pair{*major, *minor};
    }
    gpu.vendor = GpuVendor::Nvidia;
    return gpu;
}

std::optional<GpuInfo> parse_amd_table(std::string_view output, AmdTool tool) {
    std::vector<std::string_view> lines = text::split_lines(output);
    size_t row = 0;
    while (row < lines.size() && text::trim(lines[row]).empty()) ++row;
    if (row == lines.size()) return std::nullopt;
    std::vector<std::string_view> header = trimmed_fields(lines[row]);

    std::optional<size_t> name_col, mem_col;
    if (tool == AmdTool::RocmSmi) {
        name_col = find_column(header, {"card", "name"});
        mem_col = find_column(header, {"vram", "memory"});
    } else {
        name_col = find_column(header, {"name"});
        mem_col = find_column(header, {"mem_total", "memory_total", "vram"});
    }
    if (!name_col || !mem_col) return std::nullopt;

    ++row;
    while (row < lines.size() && text::trim(lines[row]).empty()) ++row;
    if (row == lines.size()) return std::nullopt;
    std::vector<std::string_view> data = trimmed_fields(lines[row]);

    if (*name_col >= data.size() || data[*name_col].empty()) return std::nullopt;
    if (*mem_col >= data.size()) return std::nullopt;
    auto memory = text::parse_unsigned<uint64_t>(data[*mem_col]);
    if (!memory) return std::nullopt;

    GpuInfo gpu;
    gpu.name = std::string(data[*name_col]);
    // The tools print MiB or bytes depending on version; no card has more
    // than a million MiB, so larger figures are bytes.
    gpu.vram_mb = *memory <= 1000000 ? *memory : *memory / 1048576;
    gpu.vendor = GpuVendor::Amd;
    return gpu;
}

}  // namespace ferrolune::hardware

namespace ferrolune {

std::optional<GpuInfo> detect_nvidia_gpu() {
    using namespace hardware;
    auto out = run_tool("nvidia-smi", {"--query-gpu=name,memory.total,compute_cap", "--format=csv,noheader,nounits"});
    return out ? parse_nvidia_smi(*out) : std::nullopt;
}

std::optional<GpuInfo> detect_amd_gpu() {
    using namespace hardware;
    if (auto out = run_tool("rocm-smi", {"--showproductname", "--showmeminfo", "vram", "--csv"}))
        if (auto gpu = parse_amd_table(*out, AmdTool::RocmSmi)) return gpu;
    if (auto out = run_tool("amd-smi", {"monitor", "--gpu", "--csv"}))
        if (auto gpu = parse_amd_table(*out, AmdTool::AmdSmi)) return gpu;
    return std::nullopt;
}

HardwareProfile detect() {
    HardwareProfile profile;
    profile.cpu = detect_cpu();
    profile.gpu = detect_nvidia_gpu();
    if (!profile.gpu) profile.gpu = detect_amd_gpu();
    profile.ram = detect_memory();
    return profile;
}

}  // namespace ferrolune
