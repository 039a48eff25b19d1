#include "ferrolune/runtime/adapter_registry.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "ferrolune/runtime/llamacpp_adapter.h"
#include "ferrolune/runtime/ollama_adapter.h"
#include "ferrolune/runtime/onnx_adapter.h"
#include "ferrolune/runtime/tensorrt_adapter.h"
#include "ferrolune/runtime/vllm_adapter.h"

namespace ferrolune {

AdapterRegistry AdapterRegistry::with_all_adapters(const AdapterHost& host) {
    AdapterRegistry r;
    r.insert(RuntimeKind::LlamaCpp, std::make_unique<LlamaCppAdapter>());
    r.insert(RuntimeKind::OnnxRuntime, std::make_unique<OnnxAdapter>());
    r.insert(RuntimeKind::TensorRT, std::make_unique<TensorRtAdapter>(host.gpu_compute_capability));
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
    if (!adapter->warms_up_itself())
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

Status probe_runtime(RuntimeKind kind, const AdapterHost& host) {
    AdapterRegistry registry = AdapterRegistry::with_all_adapters(host);
    RuntimeAdapter* adapter = registry.find(kind);
    if (!adapter) return failf("no adapter registered for {}", to_string(kind));
    RuntimeConfig config;
    config.runtime = kind;
    return adapter->initialize(config);
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

}  // namespace ferrolune
