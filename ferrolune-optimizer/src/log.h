// Progress lines on standard error. Every line is written whole under one
// lock and flushed, so lines from different threads never interleave.
#pragma once

#include <string_view>

namespace ferrolune::optimizer {

// Writes `line` followed by a line feed.
void log_line(std::string_view line);

}  // namespace ferrolune::optimizer
