// What the optimizer makes of measurements: the workload classes, the
// relative speed and size of each quantization, one configuration's outcome,
// and the winner of a run with its JSON forms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ferrolune/core/error.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

enum class WorkloadClass { MemoryBound, ComputeBound, Balanced };

std::string_view to_string(WorkloadClass w);

// "[LlamaCpp, Ollama]".
std::string format_runtime_list(const std::vector<RuntimeKind>& kinds);

// Weight size relative to F16, and decode speed relative to Q4_K_M: the
// ratios the estimates and the search's prior use.
double relative_weight_size(QuantizationStrategy q);
double relative_decode_speed(QuantizationStrategy q);

struct BenchmarkOutcome {
    RuntimeConfig config;
    Result<BenchmarkResult> result;
};

struct OptimizationResult {
    RuntimeConfig config;
    BenchmarkResult metrics;
};

// Compact JSON: {"config":{...},"metrics":{...}}.
std::string to_json(const OptimizationResult& r);
// Two-blank indentation, 14 lines, no trailing line feed (metadata.json).
std::string to_json_pretty(const OptimizationResult& r);

}  // namespace ferrolune
