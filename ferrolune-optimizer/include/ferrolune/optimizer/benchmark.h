// The benchmark executor: measures a batch of configurations on a small pool
// of threads owned by the call, at most three at a time, started in input
// order, and returns one outcome per configuration in input order.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/error.h"
#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

inline constexpr std::string_view kBenchmarkPrompt = "Summarize the following text in one sentence:";
inline constexpr std::size_t kMaxMeasurementsInProgress = 3;

// One measurement. Called concurrently from the executor's threads, so it
// must not share mutable state without its own locking.
using MeasureFn =
    std::function<Result<BenchmarkResult>(const RuntimeConfig&, const ModelDescription&, std::string_view prompt)>;

// A fresh registry of every adapter, used for this one measurement only.
Result<BenchmarkResult> measure_with_adapters(const RuntimeConfig& config, const ModelDescription& model,
                                              std::string_view prompt);
// The same, with the adapters told what `hw` holds (the GPU's compute
// capability, a preset's included).
MeasureFn measure_with_adapters_on(const HardwareProfile& hw);

// Never fails as a whole: a failed or throwing measurement becomes that
// configuration's outcome error. Every thread it starts has ended when it
// returns. With a canceller, the calling thread polls it while it waits
// and the workers run under it (their child processes are stopped when it
// says stop); a stopped call starts nothing more and returns no outcomes.
std::vector<BenchmarkOutcome> run_benchmarks(std::vector<RuntimeConfig> configs, const ModelDescription& model,
                                             const MeasureFn& measure = measure_with_adapters,
                                             cancel::Canceller* canceller = cancel::current());

}  // namespace ferrolune::optimizer
