// Parsing /proc/meminfo, separated from the file so tests can feed text.
#pragma once

#include <optional>
#include <string_view>

#include "ferrolune/hardware/hardware_profile.h"

namespace ferrolune::hardware {

// Total and available memory in MiB, or nothing when the text is not UTF-8
// or has no usable MemTotal line (the caller then asks sysinfo).
std::optional<RamInfo> parse_meminfo(std::string_view meminfo);

// Memory figures from sysinfo(2).
RamInfo sysinfo_memory();

}  // namespace ferrolune::hardware
