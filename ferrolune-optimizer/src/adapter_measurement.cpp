#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune::optimizer {

Result<BenchmarkResult> measure_with_adapters(const RuntimeConfig& config, const ModelDescription& model,
                                              std::string_view prompt) {
    // Nothing is reused between measurements: every one looks its tool up
    // and probes it again.
    AdapterRegistry registry = AdapterRegistry::with_all_adapters();
    return registry.benchmark(config, model, prompt);
}

MeasureFn measure_with_adapters_on(const HardwareProfile& hw) {
    AdapterHost host;
    if (hw.gpu) host.gpu_compute_capability = hw.gpu->compute_capability;
    return [host](const RuntimeConfig& config, const ModelDescription& model, std::string_view prompt) {
        AdapterRegistry registry = AdapterRegistry::with_all_adapters(host);
        return registry.benchmark(config, model, prompt);
    };
}

}  // namespace ferrolune::optimizer
