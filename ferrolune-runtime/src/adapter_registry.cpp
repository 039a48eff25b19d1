#include "ferrolune/runtime/adapter_registry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

#include "ferrolune/core/text.h"
#include "ferrolune/runtime/llamacpp_adapter.h"
#include "ferrolune/runtime/ollama_adapter.h"
#include "ferrolune/runtime/onnx_adapter.h"
#include "ferrolune/runtime/tensorrt_adapter.h"
#include "ferrolune/runtime/vllm_adapter.h"

namespace ferrolune {

RuntimeAdapterError RuntimeAdapterError::not_installed(std::string binary, std::string install_hint) {
    return RuntimeAdapterError(NotInstalled{std::move(binary), std::move(install_hint)});
}
RuntimeAdapterError RuntimeAdapterError::initialization_failed(std::string reason) {
    return RuntimeAdapterError(InitializationFailed{std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::model_load_failed(std::string path, std::string reason) {
    return RuntimeAdapterError(ModelLoadFailed{text::decode_utf8_lossy(path), std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::inference_failed(std::string reason) {
    return RuntimeAdapterError(InferenceFailed{std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::unsupported_configuration(std::string detail) {
    return RuntimeAdapterError(UnsupportedConfiguration{std::move(detail)});
}
RuntimeAdapterError RuntimeAdapterError::other(Error error) { return RuntimeAdapterError(Other{std::move(error)}); }

std::string RuntimeAdapterError::display() const {
    struct Visitor {
        std::string operator()(const NotInstalled& e) const {
            return fmt::format("required binary '{}' was not found in PATH \u2014 {}", e.binary, e.install_hint);
        }
        std::string operator()(const InitializationFailed& e) const {
            return fmt::format("model initialization failed: {}", e.reason);
        }
        std::string operator()(const ModelLoadFailed& e) const {
            return fmt::format("model load failed for '{}': {}", e.path, e.reason);
        }
        std::string operator()(const InferenceFailed& e) const { return fmt::format("inference failed: {}", e.reason); }
        std::string operator()(const UnsupportedConfiguration& e) const {
            return fmt::format("unsupported configuration: {}", e.detail);
        }
        std::string operator()(const Other& e) const { return e.error.render(); }
    };
    return std::visit(Visitor{}, value_);
}

Error RuntimeAdapterError::to_error() const {
    Error e(display());
    e.set_detail(*this);
    return e;
}

const RuntimeAdapterError* adapter_error_of(const Error& e) { return std::any_cast<RuntimeAdapterError>(&e.detail()); }

AdapterRegistry AdapterRegistry::with_all_adapters() {
    AdapterRegistry r;
    r.insert(RuntimeKind::LlamaCpp, std::make_unique<LlamaCppAdapter>());
    r.insert(RuntimeKind::OnnxRuntime, std::make_unique<OnnxAdapter>());
    r.insert(RuntimeKind::TensorRT, std::make_unique<TensorRtAdapter>());
    r.insert(RuntimeKind::Ollama, std::make_unique<OllamaAdapter>());
    r.insert(RuntimeKind::Vllm, std::make_unique<VllmAdapter>());
    return r;
}

void AdapterRegistry::insert(RuntimeKind kind, std::unique_ptr<RuntimeAdapter> adapter) {
    adapters_[kind] = std::move(adapter);
}

RuntimeAdapter* AdapterRegistry::find(RuntimeKind kind) const {
    auto it = adapters_.find(kind);
    return it == adapters_.end() ? nullptr : it->second.get();
}

Result<BenchmarkResult> AdapterRegistry::benchmark(const RuntimeConfig& config, const ModelDescription& model,
                                                   std::string_view prompt) {
    RuntimeAdapter* adapter = find(config.runtime);
    if (!adapter) return failf("no adapter registered for {}", to_string(config.runtime));
    if (auto s = adapter->initialize(config); !s) return fail(std::move(s.error()));
    if (auto s = adapter->load_model(model); !s) return fail(std::move(s.error()));
    // The first run pays for loading the model into caches; only the later ones count.
    if (auto warm = adapter->run_inference(prompt); !warm) return fail(std::move(warm.error()));
    // A single run's figure is within noise of its neighbours; the mean of
    // several, with their spread, lets the optimizer tell a real difference
    // from a lucky run. An adapter whose tool repeats the run itself reports
    // that in `runs` and is not run again.
    std::vector<BenchmarkResult> measured;
    uint32_t covered = 0;
    while (covered < kMinMeasuredRuns) {
        auto run = adapter->run_inference(prompt);
        if (!run) return run;
        covered += std::max<uint32_t>(run->runs, 1);
        measured.push_back(*run);
    }
    if (auto s = adapter->shutdown(); !s) return fail(std::move(s.error()));
    return combine_runs(measured);
}

BenchmarkResult combine_runs(const std::vector<BenchmarkResult>& measured) {
    if (measured.size() == 1) return measured.front();
    BenchmarkResult out;
    out.runs = 0;
    double tps_sum = 0.0, latency_sum = 0.0;
    for (const BenchmarkResult& r : measured) {
        const double w = std::max<uint32_t>(r.runs, 1);
        tps_sum += w * r.tokens_per_sec;
        latency_sum += w * r.latency_ms;
        out.runs += static_cast<uint32_t>(w);
        out.peak_memory_mb = std::max(out.peak_memory_mb, r.peak_memory_mb);
    }
    out.tokens_per_sec = tps_sum / out.runs;
    out.latency_ms = latency_sum / out.runs;
    // Pooled sample variance: each part's own spread plus the spread of the
    // parts' means around the overall mean.
    double ss = 0.0;
    for (const BenchmarkResult& r : measured) {
        const double w = std::max<uint32_t>(r.runs, 1);
        const double sd = r.tokens_per_sec_stddev.value_or(0.0);
        ss += (w - 1.0) * sd * sd + w * (r.tokens_per_sec - out.tokens_per_sec) * (r.tokens_per_sec - out.tokens_per_sec);
    }
    out.tokens_per_sec_stddev = std::sqrt(ss / (out.runs - 1));
    return out;
}

uint64_t estimate_memory_mb(std::optional<uint64_t> param_count, QuantizationStrategy quantization) {
    if (!param_count) return 0;
    double mb = static_cast<double>(*param_count) * bytes_per_param(quantization) / 1'000'000.0;
    if (!(mb > 0.0)) return 0;
    // 2^64 is the first double above the unsigned 64-bit range.
    if (mb >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(mb);
}

std::optional<std::chrono::seconds> bench_time_limit() {
    constexpr std::chrono::seconds kDefault{600};
    const char* raw = std::getenv("FERROLUNE_BENCH_TIMEOUT_S");
    if (!raw) return kDefault;
    auto secs = text::parse_unsigned<uint64_t>(text::trim(raw));
    if (!secs) return kDefault;
    if (*secs == 0) return std::nullopt;
    // Far beyond any real measurement; keeps the millisecond deadline in range.
    constexpr uint64_t kMax = 100ull * 365 * 24 * 3600;
    return std::chrono::seconds(static_cast<int64_t>(std::min(*secs, kMax)));
}

}  // namespace ferrolune
