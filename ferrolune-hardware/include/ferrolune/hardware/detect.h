// Detection of the machine's hardware. Detectors never fail: every source
// that cannot be read falls back field by field.
#pragma once

#include <optional>

#include "ferrolune/hardware/hardware_profile.h"

namespace ferrolune {

// CPU, then nvidia-smi, then (only without an NVIDIA card) the AMD tools,
// then memory.
HardwareProfile detect();

CpuInfo detect_cpu();
RamInfo detect_memory();
std::optional<GpuInfo> detect_nvidia_gpu();
std::optional<GpuInfo> detect_amd_gpu();

}  // namespace ferrolune
