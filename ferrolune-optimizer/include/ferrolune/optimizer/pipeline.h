// The optimization pipeline: hardware and model stages, runtime
// preselection, the Bayesian search, the latency check, and the exhaustive
// fallback when the search found nothing usable.
#pragma once

#include <optional>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/error.h"
#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/optimizer/search.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

// Writes the stage lines to stderr. Every measurement goes through
// `measure`. The error, when both searches failed, is "cartesian fallback
// also failed: {fallback}" caused by the Bayesian phase's error. With a
// canceller (created on the calling thread), a stop ends the search with
// cancel::interrupted_error() and no result. `missing_tool` decides which
// runtimes count as installed (empty: the adapters' own probes). Both
// searches keep to the quantizations `measurable` allows.
Result<OptimizationResult> run_pipeline(const ModelDescription& model, std::optional<double> max_latency_ms,
                                        const HardwareProfile& hw, const MeasureFn& measure = measure_with_adapters,
                                        cancel::Canceller* canceller = nullptr,
                                        const InstalledCheck& missing_tool = {},
                                        const MeasurableQuantizations& measurable = {});

}  // namespace ferrolune::optimizer
