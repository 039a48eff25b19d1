// The two figures every adapter applies the same way: the memory a run is
// estimated to take when the runtime does not report it, and how long one
// child process of a measurement may run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

// param_count × bytes per parameter of `quantization` ÷ 1,000,000, truncated
// and saturated; 0 without a parameter count.
uint64_t estimate_memory_mb(std::optional<uint64_t> param_count, QuantizationStrategy quantization);

// Time limit for each child process of a measurement, from
// FERROLUNE_BENCH_TIMEOUT_S in whole seconds: 600 s when unset or not a
// number, none when 0.
std::optional<std::chrono::seconds> bench_time_limit();

}  // namespace ferrolune
