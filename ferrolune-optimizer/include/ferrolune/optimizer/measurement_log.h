// Measuring a batch of configurations while keeping a row for each one that
// succeeded, so the caller can show the whole table and not only the winner.
#pragma once

#include <vector>

#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

// run_benchmarks, then apply_llama_estimates; the outcomes (estimates in
// place) are returned in `configs` order and recorded into `rows`, each
// marked as an estimate when one replaced a failed measurement.
std::vector<BenchmarkOutcome> measure_and_record(std::vector<RuntimeConfig> configs, const ModelDescription& model,
                                                 const HardwareProfile& hw, const MeasureFn& measure,
                                                 std::vector<Measurement>& rows, Repeat repeat = Repeat::Pool);

}  // namespace ferrolune::optimizer
