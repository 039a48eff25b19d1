// The one interface every inference runtime is measured through, and the
// error kinds an adapter reports. Adapters implement it; the registry above
// them picks one per measurement.
//
// Everything here runs on plain worker threads (three measurements at once)
// and never touches Python.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "ferrolune/core/error.h"
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
    // Whether run_inference warms the runtime up before it times anything,
    // so a separate warm-up run would be wasted. Known after initialize.
    virtual bool warms_up_itself() const { return false; }
};

}  // namespace ferrolune
