// The registry of adapters, one per runtime kind, and the fixed benchmark
// sequence it runs on one of them. It sits above the adapters: it creates
// them, they never see it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <string_view>

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
    // dropped, the measured run_inference, shutdown; the first error is
    // returned unchanged.
    Result<BenchmarkResult> benchmark(const RuntimeConfig& config, const ModelDescription& model,
                                      std::string_view prompt);

private:
    std::map<RuntimeKind, std::unique_ptr<RuntimeAdapter>> adapters_;
};

}  // namespace ferrolune
