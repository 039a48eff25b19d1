// Reading the GPU vendors' tools. The parsers take the tool's standard
// output so tests can feed them fixture text.
#pragma once

#include <optional>
#include <string_view>

#include "ferrolune/hardware/hardware_profile.h"

namespace ferrolune::hardware {

// The first line of `nvidia-smi --query-gpu=name,memory.total,compute_cap
// --format=csv,noheader,nounits`.
std::optional<GpuInfo> parse_nvidia_smi(std::string_view output);

enum class AmdTool { RocmSmi, AmdSmi };

// The first data row of a CSV table from rocm-smi or amd-smi; the tools
// differ only in which header names mark the name and memory columns.
std::optional<GpuInfo> parse_amd_table(std::string_view output, AmdTool tool);

}  // namespace ferrolune::hardware
