// The pieces of CPU detection, separated from the machine so that tests can
// feed CPUID leaves and file contents.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/hardware/hardware_profile.h"
#include "file_access.h"

namespace ferrolune::hardware {

struct CpuidRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};
using CpuidFunction = std::function<CpuidRegisters(uint32_t leaf, uint32_t subleaf)>;

CpuidRegisters native_cpuid(uint32_t leaf, uint32_t subleaf);

// The brand from the extended CPUID leaves, trimmed; empty when the leaves
// are missing or hold only blanks.
std::string cpuid_brand(const CpuidFunction& cpuid);
// The "model name" of /proc/cpuinfo text, or "Unknown".
std::string cpuinfo_brand(std::optional<std::string_view> cpuinfo);
// CPUID first, then /proc/cpuinfo.
std::string cpu_brand(const CpuidFunction& cpuid, const FileReader& read);

SimdLevel simd_level(const CpuidFunction& cpuid);

// The CPU limit of the process's control group (v1 or v2): the smallest
// ceil(quota / period) from the process's group up to the hierarchy root,
// or nothing without a positive quota.
std::optional<uint32_t> cgroup_cpu_limit(const FileReader& read);

// The quota caps the affinity count; without an affinity mask the online
// count (at least 1) is used.
uint32_t logical_core_count(std::optional<uint32_t> quota, std::optional<uint32_t> affinity_count,
                            long online_count);

}  // namespace ferrolune::hardware
