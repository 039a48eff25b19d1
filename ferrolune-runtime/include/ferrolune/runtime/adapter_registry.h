// The registry of adapters, one per runtime kind, and the fixed benchmark
// sequence it runs on one of them. It sits above the adapters: it creates
// them, they never see it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "ferrolune/core/error.h"
#include "ferrolune/runtime/run_records.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune {

// What the adapters are told about the machine: figures the hardware
// profile already holds, so no adapter asks a tool for them again and a
// preset counts.
struct AdapterHost {
    // The first GPU's compute capability (major, minor).
    std::optional<std::pair<uint32_t, uint32_t>> gpu_compute_capability;
};

// One adapter per runtime kind; a registry serves one measurement.
class AdapterRegistry {
public:
    AdapterRegistry() = default;
    AdapterRegistry(AdapterRegistry&&) noexcept = default;
    AdapterRegistry& operator=(AdapterRegistry&&) noexcept = default;

    // LlamaCpp, OnnxRuntime, TensorRT, Ollama and Vllm, each fresh.
    static AdapterRegistry with_all_adapters(const AdapterHost& host = {});

    // Replaces the adapter registered for `kind`.
    void insert(RuntimeKind kind, std::unique_ptr<RuntimeAdapter> adapter);
    RuntimeAdapter* find(RuntimeKind kind) const;

    // initialize, load_model, a warm-up run_inference whose metrics are
    // dropped (unless the adapter warms up itself), measured run_inference calls until they cover
    // kMinMeasuredRuns runs (combined by combine_runs), shutdown; the first
    // error is returned unchanged.
    Result<BenchmarkResult> benchmark(const RuntimeConfig& config, const ModelDescription& model,
                                      std::string_view prompt);

private:
    std::map<RuntimeKind, std::unique_ptr<RuntimeAdapter>> adapters_;
};

// Looks for `kind`'s tool and probes it exactly as that adapter's
// initialize does before a measurement; the error is the adapter's own
// (NotInstalled when the tool is missing).
Status probe_runtime(RuntimeKind kind, const AdapterHost& host = {});

// Every reported figure averages at least this many measured runs: the
// fewest that give a sample standard deviation with any meaning.
inline constexpr uint32_t kMinMeasuredRuns = 3;

// The mean of several measurements weighted by their `runs`, their pooled
// sample standard deviation, the largest peak memory. One measurement is
// returned as it is.
BenchmarkResult combine_runs(const std::vector<BenchmarkResult>& measured);

}  // namespace ferrolune
