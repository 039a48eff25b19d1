#include "ferrolune/optimizer/measurement_log.h"

#include "ferrolune/optimizer/search.h"

namespace ferrolune::optimizer {

std::vector<BenchmarkOutcome> measure_and_record(std::vector<RuntimeConfig> configs, const ModelDescription& model,
                                                 const HardwareProfile& hw, const MeasureFn& measure,
                                                 std::vector<Measurement>& rows, Repeat repeat) {
    std::vector<BenchmarkOutcome> raw = run_benchmarks(std::move(configs), model, measure);
    std::vector<bool> failed;
    failed.reserve(raw.size());
    for (const BenchmarkOutcome& o : raw) failed.push_back(!o.result);
    std::vector<BenchmarkOutcome> outcomes = apply_llama_estimates(std::move(raw), model, hw);
    // The estimates keep the order and replace failures only, so a failure
    // that now has a figure is an estimate.
    std::vector<bool> estimated(outcomes.size(), false);
    for (std::size_t i = 0; i < outcomes.size() && i < failed.size(); ++i)
        estimated[i] = failed[i] && outcomes[i].result.has_value();
    record_measurements(rows, outcomes, estimated, repeat);
    return outcomes;
}

}  // namespace ferrolune::optimizer
