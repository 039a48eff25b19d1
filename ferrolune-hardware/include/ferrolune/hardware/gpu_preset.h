// Built-in GPU descriptions for planning for a card that is not installed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/hardware/hardware_profile.h"

namespace ferrolune {

// Lower-cases the whole text (full Unicode) and deletes spaces and
// hyphen-minus signs; other white space stays.
std::string normalise_gpu_name(std::string_view text);

// The preset for `text`: a GpuInfo, no GPU (absent, empty or "cpu"), or
// the "Unknown GPU model" error naming the normalised text.
Result<std::optional<GpuInfo>> gpu_preset(std::optional<std::string_view> text);

}  // namespace ferrolune
