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

// One configuration the search measured successfully. A configuration
// measured more than once (a near tie measured again, or the fallback
// reaching one the search already had) is one row with its runs pooled.
struct Measurement {
    RuntimeConfig config;
    BenchmarkResult metrics;
    // A hardware-aware figure standing in for a llama.cpp tool that is missing.
    bool estimate = false;
};

struct OptimizationResult {
    RuntimeConfig config;
    BenchmarkResult metrics;
    // Every successful measurement of the run, highest tokens/s first; the
    // winner is the row whose config equals `config`. Not part of the JSON
    // forms below.
    std::vector<Measurement> measurements = {};
};

// What a second measurement of a configuration already in the rows does:
// pool its runs into the row, or replace the row (a phase that decides on
// its own fresh figures shows those).
enum class Repeat { Pool, Replace };

// Adds `outcomes` to `rows`: a failed outcome is left out (its reason went
// to the log when it happened). `estimated[i]` says whether outcome i is an
// estimate rather than a measurement; a missing entry means it is not. An
// estimate is never pooled: it has no spread to pool, and a real
// measurement of the same configuration replaces it.
void record_measurements(std::vector<Measurement>& rows, const std::vector<BenchmarkOutcome>& outcomes,
                         const std::vector<bool>& estimated, Repeat repeat = Repeat::Pool);

// Highest tokens/s first; equal figures keep their measuring order.
void sort_best_first(std::vector<Measurement>& rows);

// Compact JSON: {"config":{...},"metrics":{...}}.
std::string to_json(const OptimizationResult& r);
// Two-blank indentation, 14 lines, no trailing line feed (metadata.json).
std::string to_json_pretty(const OptimizationResult& r);

}  // namespace ferrolune
