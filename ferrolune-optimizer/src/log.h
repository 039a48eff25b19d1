// Progress lines on standard error. Every line is written whole under one
// lock and flushed, so lines from different threads never interleave.
#pragma once

#include <string>
#include <string_view>

#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

// Writes `line` followed by a line feed.
void log_line(std::string_view line);

// A configuration as the progress lines name it:
// "LlamaCpp/Q4_K_M/4 threads/0 gpu_layers".
std::string describe_config(const RuntimeConfig& c);

}  // namespace ferrolune::optimizer
