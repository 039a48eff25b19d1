// One interface over the inference runtimes, the error kinds they report,
// and the registry that runs the fixed benchmark sequence on one of them.
//
// Everything here runs on plain worker threads (three measurements at once)
// and never touches Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ferrolune/core/error.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

// Why an adapter failed. An adapter failure is an Error whose message is
// display() and whose detail() holds this value, so callers can tell the
// kinds apart with adapter_error_of().
class RuntimeAdapterError {
public:
    struct NotInstalled {
        std::string binary;
        std::string install_hint;
    };
    struct InitializationFailed {
        std::string reason;
    };
    struct ModelLoadFailed {
        std::string path;
        std::string reason;
    };
    struct InferenceFailed {
        std::string reason;
    };
    struct UnsupportedConfiguration {
        std::string detail;
    };
    struct Other {
        Error error;
    };
    // Same order as the alternatives of the variant.
    enum class Kind { NotInstalled, InitializationFailed, ModelLoadFailed, InferenceFailed, UnsupportedConfiguration, Other };

    using Value = std::variant<NotInstalled, InitializationFailed, ModelLoadFailed, InferenceFailed,
                               UnsupportedConfiguration, Other>;

    explicit RuntimeAdapterError(Value v) : value_(std::move(v)) {}

    static RuntimeAdapterError not_installed(std::string binary, std::string install_hint);
    static RuntimeAdapterError initialization_failed(std::string reason);
    static RuntimeAdapterError model_load_failed(std::string path, std::string reason);
    static RuntimeAdapterError inference_failed(std::string reason);
    static RuntimeAdapterError unsupported_configuration(std::string detail);
    static RuntimeAdapterError other(Error error);

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    const Value& value() const { return value_; }

    // "required binary '{}' was not found in PATH — {}", "model initialization
    // failed: {}", "model load failed for '{}': {}", "inference failed: {}",
    // "unsupported configuration: {}", or the wrapped error's own text.
    std::string display() const;

    // The Error carrying this value: message display(), no causes.
    Error to_error() const;

private:
    Value value_;
};

// The adapter error an Error carries, if any.
const RuntimeAdapterError* adapter_error_of(const Error& e);

inline std::unexpected<Error> fail(const RuntimeAdapterError& e) { return std::unexpected(e.to_error()); }

// Operations in this order; shutdown does nothing by default.
class RuntimeAdapter {
public:
    virtual ~RuntimeAdapter() = default;

    // Finds and probes the tool, keeps its location and a copy of the config.
    virtual Status initialize(const RuntimeConfig& config) = 0;
    // Validates the model and keeps a copy of its description.
    virtual Status load_model(const ModelDescription& model) = 0;
    // One generation with what initialize and load_model kept.
    virtual Result<BenchmarkResult> run_inference(std::string_view prompt) = 0;
    virtual Status shutdown() { return {}; }
};

// One adapter per runtime kind; a registry serves one measurement.
class AdapterRegistry {
public:
    AdapterRegistry() = default;
    AdapterRegistry(AdapterRegistry&&) noexcept = default;
    AdapterRegistry& operator=(AdapterRegistry&&) noexcept = default;

    // LlamaCpp, OnnxRuntime, TensorRT, Ollama and Vllm, each fresh.
    static AdapterRegistry with_all_adapters();

    // Replaces the adapter registered for `kind`.
    void insert(RuntimeKind kind, std::unique_ptr<RuntimeAdapter> adapter);
    RuntimeAdapter* find(RuntimeKind kind) const;

    // initialize, load_model, a warm-up run_inference whose metrics are
    // dropped, measured run_inference calls until they cover
    // kMinMeasuredRuns runs (combined by combine_runs), shutdown; the first
    // error is returned unchanged.
    Result<BenchmarkResult> benchmark(const RuntimeConfig& config, const ModelDescription& model,
                                      std::string_view prompt);

private:
    std::map<RuntimeKind, std::unique_ptr<RuntimeAdapter>> adapters_;
};

// Every reported figure averages at least this many measured runs: the
// fewest that give a sample standard deviation with any meaning.
inline constexpr uint32_t kMinMeasuredRuns = 3;

// The mean of several measurements weighted by their `runs`, their pooled
// sample standard deviation, the largest peak memory. One measurement is
// returned as it is.
BenchmarkResult combine_runs(const std::vector<BenchmarkResult>& measured);

// param_count × bytes per parameter of `quantization` ÷ 1,000,000, truncated
// and saturated; 0 without a parameter count.
uint64_t estimate_memory_mb(std::optional<uint64_t> param_count, QuantizationStrategy quantization);

// Time limit for each child process of a measurement, from
// FERROLUNE_BENCH_TIMEOUT_S in whole seconds: 600 s when unset or not a
// number, none when 0.
std::optional<std::chrono::seconds> bench_time_limit();

}  // namespace ferrolune
